// The query calls both executors share beyond the basic ones: ordering, row
// windows and column selections (keyword options of the selection
// operations), count() and exists().  Options are checked in full before the
// statement is touched; every name is resolved to one of the model's column
// properties (so the generator quotes it), every value is bound.
#include "args.hpp"
#include "vantrel.hpp"

#include <climits>

namespace tavrik {
namespace vantrel {

namespace {

bool is_prop(PyObject* o) { return PyObject_TypeCheck(o, I.mp->BasePropertyType); }
bool is_expr(PyObject* o) { return PyObject_TypeCheck(o, I.mp->ExpressionType); }

// `u` equals the ASCII word `lit` ignoring case (without encoding `u`: a
// hostile string with lone surrogates is just not equal).
bool ascii_word_ci(PyObject* u, const char* lit) {
    if (!PyUnicode_Check(u)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(u);
    if (n != (Py_ssize_t)strlen(lit)) return false;
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS4 c = PyUnicode_READ_CHAR(u, i);
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != (Py_UCS4)(unsigned char)lit[i]) return false;
    }
    return true;
}

bool is_direction(PyObject* o) { return ascii_word_ci(o, "asc") || ascii_word_ci(o, "desc"); }

bool str_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    int r = PyUnicode_Compare(a, b);
    if (r == -1 && PyErr_Occurred()) throw_error();
    return r == 0;
}

// The column of `cols` (a tuple of the model's properties) that `name`
// names: by the attribute rows are keyed by, else by the database column.
// Borrowed; NULL when none does.
PyObject* named_column(PyObject* cols, PyObject* name) {
    Py_ssize_t n = PyTuple_GET_SIZE(cols);
    // A name written in the program's source is the interned attribute
    // itself: found by identity before any text is compared.
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* p = PyTuple_GET_ITEM(cols, i);
        if (is_prop(p) && ((BasePropertyObject*)p)->name == name) return p;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* p = PyTuple_GET_ITEM(cols, i);
        if (is_prop(p) && ((BasePropertyObject*)p)->name && str_equal(((BasePropertyObject*)p)->name, name)) return p;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* p = PyTuple_GET_ITEM(cols, i);
        if (is_prop(p) && ((BasePropertyObject*)p)->column && str_equal(((BasePropertyObject*)p)->column, name))
            return p;
    }
    return nullptr;
}

[[noreturn]] void raise_unknown_column(const char* option, PyObject* model, PyObject* name) {
    Ref table = Ref::consuming_nullable(PyObject_GetAttr(model, N.tableName));
    if (!table) PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s: %R has no column %R", option, table ? table.get() : model, name);
    throw_error();
}

// A column given by property or by name, as the model's property.
PyObject* resolve_column(const char* option, PyObject* model, PyObject* cols, PyObject* what) {
    if (PyUnicode_Check(what)) {
        PyObject* p = named_column(cols, what);
        if (!p) raise_unknown_column(option, model, what);
        return p;
    }
    return what;
}

Ref model_columns(PyObject* model) {
    Ref c = getattr(model, N.col);
    return new_ref(PySequence_Tuple(c.get()));
}

// One ordering term in the generator's form: a property, or (property,
// 'ASC'|'DESC').  Names resolve against the model ("-name" descends); a
// property of another model is taken as given, and the generator refuses it
// unless the statement joins that model's table.
Ref order_term(PyObject* model, PyObject* cols, PyObject* term) {
    static const char kExpected[] = "a column, its name, an expression, (column, 'asc' or 'desc') or column.desc()";
    if (is_prop(term) || is_expr(term)) return Ref::owning(term);
    if (PyUnicode_Check(term)) {
        if (PyObject* p = named_column(cols, term)) return Ref::owning(p);
        Py_ssize_t n = PyUnicode_GET_LENGTH(term);
        if (n > 1 && PyUnicode_READ_CHAR(term, 0) == '-') {
            Ref rest = new_ref(PyUnicode_Substring(term, 1, n));
            if (PyObject* p = named_column(cols, rest.get())) return new_ref(Py_BuildValue("(Os)", p, "DESC"));
        }
        raise_unknown_column("orderBy", model, term);
    }
    if (PyTuple_Check(term) && PyTuple_GET_SIZE(term) == 2) {
        PyObject* what = PyTuple_GET_ITEM(term, 0);
        PyObject* dir = PyTuple_GET_ITEM(term, 1);
        if (!is_direction(dir)) {
            if (PyUnicode_Check(dir)) {
                PyErr_Format(PyExc_ValueError, "orderBy: the direction must be 'asc' or 'desc', got %R", dir);
                throw_error();
            }
            raise_arg_type("orderBy", kExpected, term);
        }
        if (!is_prop(what) && !is_expr(what) && !PyUnicode_Check(what)) raise_arg_type("orderBy", kExpected, term);
        PyObject* p = is_expr(what) ? what : resolve_column("orderBy", model, cols, what);
        return new_ref(Py_BuildValue("(Os)", p, ascii_word_ci(dir, "desc") ? "DESC" : "ASC"));
    }
    raise_arg_type("orderBy", kExpected, term);
}

// orderBy: one term, or a list or tuple of terms.  A pair whose second item
// is 'asc' or 'desc' is one term: (User.age, "desc").
Ref order_terms(PyObject* model, PyObject* cols, PyObject* orderBy) {
    bool one = !PyList_Check(orderBy) && !PyTuple_Check(orderBy);
    if (PyTuple_Check(orderBy) && PyTuple_GET_SIZE(orderBy) == 2) {
        PyObject* first = PyTuple_GET_ITEM(orderBy, 0);
        one =
            is_direction(PyTuple_GET_ITEM(orderBy, 1)) && (is_prop(first) || is_expr(first) || PyUnicode_Check(first));
    }
    if (one) {
        Ref t = order_term(model, cols, orderBy);
        return new_ref(PyTuple_Pack(1, t.get()));
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(orderBy);  // a list or a tuple here
    Ref out = new_ref(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref t = order_term(model, cols, PySequence_Fast_GET_ITEM(orderBy, i));
        PyTuple_SET_ITEM(out.get(), i, t.relinquish());
    }
    return out;
}

// columns: one column or a list or tuple of them, each the model's own
// property or the name of one.  Sets the properties and the row keys.
void selected_columns(PyObject* model, PyObject* cols, PyObject* columns, QueryOptions& o) {
    Ref seq;
    if (PyList_Check(columns) || PyTuple_Check(columns))
        seq = Ref::owning(columns);
    else
        seq = new_ref(PyTuple_Pack(1, columns));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "columns: name at least one column");
        throw_error();
    }
    Ref props = new_ref(PyTuple_New(n));
    Ref keys = new_ref(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* c = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!is_prop(c) && !PyUnicode_Check(c)) raise_arg_type("columns", "a column or its name", c);
        PyObject* p = resolve_column("columns", model, cols, c);
        bool own = false;
        for (Py_ssize_t j = 0; !own && j < PyTuple_GET_SIZE(cols); j++) own = PyTuple_GET_ITEM(cols, j) == p;
        // Rows are keyed by the model's attributes: another model's column
        // would give rows of keys the model does not have.
        if (!own || !((BasePropertyObject*)p)->name) {
            Ref table = Ref::consuming_nullable(PyObject_GetAttr(model, N.tableName));
            if (!table) PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "columns: %R is not a column of %R", p, table ? table.get() : model);
            throw_error();
        }
        Py_INCREF(p);
        PyTuple_SET_ITEM(props.get(), i, p);
        PyObject* key = ((BasePropertyObject*)p)->name;
        Py_INCREF(key);
        PyTuple_SET_ITEM(keys.get(), i, key);
    }
    o.cols = std::move(props);
    o.keys = std::move(keys);
}

long long window_bound(const char* what, PyObject* v) {
    if (!PyLong_Check(v)) raise_arg_type(what, "int", v);
    long long n = PyLong_AsLongLong(v);
    if (n == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error();
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "%s must fit in a signed 64-bit integer, got %R", what, v);
        throw_error();
    }
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative, got %lld", what, n);
        throw_error();
    }
    return n;
}

void give(QueryOptions& o, const char* name, PyObject* v) {
    if (!o.given) o.given = new_ref(PyDict_New());
    Require(PyDict_SetItemString(o.given.get(), name, v));
}

}  // namespace

Ref written_columns(PyObject* model, PyObject* columns) {
    Ref cols = model_columns(model);
    QueryOptions o;
    selected_columns(model, cols.get(), columns, o);
    PyObject* chosen = o.cols.get();
    Py_ssize_t n = PyTuple_GET_SIZE(chosen);
    Ref out = new_ref(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* p = PyTuple_GET_ITEM(chosen, i);
        // The key picks the row; it is never written.
        if (((BasePropertyObject*)p)->primaryKey) continue;
        bool twice = false;
        for (Py_ssize_t j = 0; !twice && j < PyList_GET_SIZE(out.get()); j++)
            twice = PyList_GET_ITEM(out.get(), j) == p;
        if (!twice) Require(PyList_Append(out.get(), p));
    }
    if (PyList_GET_SIZE(out.get()) == 0) {
        PyErr_SetString(PyExc_ValueError, "columns: 除主键外至少指定一列");
        throw_error();
    }
    return new_ref(PyList_AsTuple(out.get()));
}

QueryOptions query_options(PyObject* model, PyObject* forUpdate, PyObject* orderBy, PyObject* limit, PyObject* offset,
                           PyObject* columns) {
    QueryOptions o;
    if (forUpdate && truthy(forUpdate)) {
        o.lock = true;
        give(o, "forUpdate", Py_True);
    }
    bool ordered = orderBy && orderBy != Py_None;
    bool some = columns && columns != Py_None;
    Ref cols = ordered || some ? model_columns(model) : Ref();
    if (ordered) {
        o.order = order_terms(model, cols.get(), orderBy);
        give(o, "orderBy", orderBy);
    }
    if (limit && limit != Py_None) {
        o.limit = window_bound("limit", limit);
        o.window = true;
        give(o, "limit", limit);
    }
    if (offset && offset != Py_None) {
        o.offset = window_bound("offset", offset);
        // SQL has no OFFSET without LIMIT: an offset alone takes every row after it.
        if (!o.window) o.limit = LLONG_MAX;
        o.window = true;
        give(o, "offset", offset);
    }
    if (some) {
        selected_columns(model, cols.get(), columns, o);
        give(o, "columns", columns);
    }
    return o;
}

void apply_order_window(PyObject* self, const QueryOptions& o) {
    PyObject* sql = E(self)->sql;
    if (!sql) raise_none_attr("orderBy");
    if (o.order) Require(I.gen->order_by(sql, o.order.get()));
    if (o.window) {
        tavrik_paging_fn paging = ((SqlGeneratorHead*)sql)->paging;
        if (!paging) {
            PyErr_SetString(PyExc_TypeError, "the statement generator has no paging member");
            throw_error();
        }
        Require(paging(sql, o.limit, o.offset));
    }
}

void set_shape(PyObject* self, int shape, PyObject* only) {
    ExecObject* x = X(self);
    x->shape = shape;
    Py_XINCREF(only);
    Py_XSETREF(x->only, only);
}

bool counts_or_probes(PyObject* self) { return X(self)->shape != SHAPE_ROWS; }

// aggregate(): one DictPlus per row, each item (alias, column or expression)
// of the selection converted as its column or aggregate gives it.
static Ref aggregate_rows(PyObject* items, PyObject* fast) {
    static Immortal dict_plus(import_attr("Tavrik.Ext.Dict", "DictPlus"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    Py_ssize_t width = PyTuple_GET_SIZE(items);
    Ref out = new_ref(PyList_New(n));
    for (Py_ssize_t r = 0; r < n; r++) {
        PyObject* row = PySequence_Fast_GET_ITEM(fast, r);
        Ref d = new_ref(PyObject_CallNoArgs(dict_plus));
        for (Py_ssize_t i = 0; i < width; i++) {
            PyObject* item = PyTuple_GET_ITEM(items, i);
            PyObject* alias = PyTuple_GET_ITEM(item, 0);
            Ref raw = PyDict_Check(row) ? row_item(row, alias) : new_ref(PySequence_GetItem(row, i));
            Ref v = new_ref(I.mp->operand_result(PyTuple_GET_ITEM(item, 1), raw.get()));
            Require(PyDict_SetItem(d.get(), alias, v.get()));
        }
        PyList_SET_ITEM(out.get(), r, d.relinquish());
    }
    return out;
}

// count: the number in the one row; exists: whether a row came back.
Ref scalar_result(PyObject* self, PyObject* rows) {
    if (rows == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        throw_error();
    }
    Ref fast = new_ref(PySequence_Fast(rows, "rows must be a sequence"));
    if (X(self)->shape == SHAPE_AGGREGATE) return aggregate_rows(X(self)->only, fast.get());
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    if (X(self)->shape == SHAPE_EXISTS) return Ref::owning(n > 0 ? Py_True : Py_False);
    if (n == 0) return from_long(0);
    PyObject* row = PySequence_Fast_GET_ITEM(fast.get(), 0);
    Ref v;
    if (PyDict_Check(row)) {
        Py_ssize_t pos = 0;
        PyObject *k, *val;
        if (!PyDict_Next(row, &pos, &k, &val)) raise_expected("a row with a count", row);
        v = Ref::owning(val);
    } else {
        v = new_ref(PySequence_GetItem(row, 0));
    }
    return new_ref(PyNumber_Long(v.get()));
}

// The rows of a column selection keep only the selected keys (they were
// built as full rows, through the model's own row building).
Ref shape_result(PyObject* self, Ref built) {
    PyObject* only = X(self)->only;
    if (!only) return built;
    return keep_only(std::move(built), only);
}

Ref keep_only(Ref built, PyObject* only) {
    if (!PyList_Check(built.get())) return built;
    Py_ssize_t n = PyList_GET_SIZE(built.get());
    Ref drop = new_ref(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; i++) {
        Ref row = Ref::owning(PyList_GET_ITEM(built.get(), i));
        if (!PyDict_Check(row.get())) continue;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(row.get(), &pos, &k, &v))
            if (!Require(PySequence_Contains(only, k))) Require(PyList_Append(drop.get(), k));
        bool plain = Py_TYPE(row.get())->tp_as_mapping->mp_ass_subscript == PyDict_Type.tp_as_mapping->mp_ass_subscript;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(drop.get()); j++) {
            PyObject* k2 = PyList_GET_ITEM(drop.get(), j);
            Require(plain ? PyDict_DelItem(row.get(), k2) : PyObject_DelItem(row.get(), k2));
        }
        Require(PyList_SetSlice(drop.get(), 0, PyList_GET_SIZE(drop.get()), nullptr));
    }
    return built;
}

// count(Filter=None) / exists(Filter=None): the statement is begun afresh
// like every query's (clauses added before a first execution survive).
static Ref aggregate(PyObject* self, const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     int (*begin)(PyObject*), int shape) {
    static const char* const names[] = {"Filter"};
    PyObject* a[1];
    bind_args(fname, args, nargs, kwnames, names, 1, 0, a);
    PyObject* f = a[0] ? a[0] : Py_None;
    check_filter(f, "Filter");
    executor_reset(self);
    PyObject* sql = E(self)->sql;
    if (!sql) raise_none_attr("select");
    Require(begin(sql));
    Require(I.gen->where(sql, f));
    set_shape(self, shape, nullptr);
    return executor_execute(self);
}

PyObject* m_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(
        [&] { return aggregate(self, "count", args, nargs, kwnames, I.gen->select_count, SHAPE_COUNT).relinquish(); });
}

PyObject* m_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        return aggregate(self, "exists", args, nargs, kwnames, I.gen->select_exists, SHAPE_EXISTS).relinquish();
    });
}

// A term of aggregate()'s orderBy naming one of its named aggregates
// ("total", "-total", ("total", "desc")) as that aggregate's expression.
static Ref named_term(PyObject* named, PyObject* term) {
    if (PyUnicode_Check(term)) {
        if (PyObject* e = PyDict_GetItemWithError(named, term)) return Ref::owning(e);
        if (PyErr_Occurred()) throw_error();
        Py_ssize_t n = PyUnicode_GET_LENGTH(term);
        if (n > 1 && PyUnicode_READ_CHAR(term, 0) == '-') {
            Ref rest = new_ref(PyUnicode_Substring(term, 1, n));
            if (PyObject* e = PyDict_GetItemWithError(named, rest.get()))
                return new_ref(Py_BuildValue("(Os)", e, "DESC"));
            if (PyErr_Occurred()) throw_error();
        }
    } else if (PyTuple_Check(term) && PyTuple_GET_SIZE(term) == 2 && PyUnicode_Check(PyTuple_GET_ITEM(term, 0)) &&
               is_direction(PyTuple_GET_ITEM(term, 1))) {
        if (PyObject* e = PyDict_GetItemWithError(named, PyTuple_GET_ITEM(term, 0)))
            return new_ref(PyTuple_Pack(2, e, PyTuple_GET_ITEM(term, 1)));
        if (PyErr_Occurred()) throw_error();
    }
    return Ref::owning(term);
}

static Ref named_order(PyObject* named, PyObject* orderBy) {
    bool one = !PyList_Check(orderBy) && !PyTuple_Check(orderBy);
    if (PyTuple_Check(orderBy) && PyTuple_GET_SIZE(orderBy) == 2) one = is_direction(PyTuple_GET_ITEM(orderBy, 1));
    if (one) return named_term(named, orderBy);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(orderBy);
    Ref out = new_ref(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; i++)
        PyList_SET_ITEM(out.get(), i, named_term(named, PySequence_Fast_GET_ITEM(orderBy, i)).relinquish());
    return out;
}

// aggregate(cond=None, *, groupBy=None, having=None, orderBy=None,
// limit=None, **named): one SELECT of the group columns and the named
// aggregates.  Everything is checked before the statement is touched.
PyObject* m_aggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"cond", "groupBy", "having", "orderBy", "limit"};
        PyObject* a[5];
        if (nargs > 1) raise_count(Params{"aggregate", names, 1, 0}, nargs);
        Ref named;
        bind_args("aggregate", args, nargs, kwnames, names, 5, 0, a, &named);
        PyObject* cond = a[0] ? a[0] : Py_None;
        PyObject* having = a[2] ? a[2] : Py_None;
        check_filter(cond, "cond");
        check_filter(having, "having");
        PyObject* model = model_of(self);
        Ref groups = new_ref(PyTuple_New(0));
        Ref keys = new_ref(PyTuple_New(0));
        if (a[1] && a[1] != Py_None) {
            Ref cols = model_columns(model);
            QueryOptions g;
            selected_columns(model, cols.get(), a[1], g);
            groups = std::move(g.cols);
            keys = std::move(g.keys);
        }
        if (!named) named = new_ref(PyDict_New());
        if (PyDict_GET_SIZE(named.get()) == 0 && PyTuple_GET_SIZE(groups.get()) == 0) {
            PyErr_SetString(PyExc_ValueError,
                            "aggregate: name at least one aggregate (total=Item.qty.sum()) or groupBy");
            throw_error();
        }
        Py_ssize_t ng = PyTuple_GET_SIZE(groups.get());
        Ref items = new_ref(PyTuple_New(ng + PyDict_GET_SIZE(named.get())));
        for (Py_ssize_t i = 0; i < ng; i++)
            PyTuple_SET_ITEM(
                items.get(), i,
                Require(PyTuple_Pack(2, PyTuple_GET_ITEM(keys.get(), i), PyTuple_GET_ITEM(groups.get(), i))));
        Py_ssize_t pos = 0, i = ng;
        PyObject *k, *v;
        while (PyDict_Next(named.get(), &pos, &k, &v)) {
            if (!is_expr(v) || !I.mp->holds_aggregate(v))
                raise_arg_type("aggregate", "an aggregate such as Item.qty.sum() for each named result", v);
            if (Require(PySequence_Contains(keys.get(), k))) {
                PyErr_Format(PyExc_ValueError, "aggregate: %R names a group column too", k);
                throw_error();
            }
            PyTuple_SET_ITEM(items.get(), i++, Require(PyTuple_Pack(2, k, v)));
        }
        Ref order = a[3] && a[3] != Py_None ? named_order(named.get(), a[3]) : Ref();
        QueryOptions o = query_options(model, nullptr, order ? order.get() : nullptr, a[4], nullptr, nullptr);
        executor_reset(self);
        PyObject* sql = E(self)->sql;
        if (!sql) raise_none_attr("select");
        Require(I.gen->select_grouped(sql, items.get(), groups.get(), having));
        Require(I.gen->where(sql, cond));
        apply_order_window(self, o);
        set_shape(self, SHAPE_AGGREGATE, items.get());
        return executor_execute(self).relinquish();
    });
}

// updateWhere / deleteWhere: a statement over every row the condition
// picks.  A missing condition is refused unless all=True says so: a
// forgotten filter must never rewrite or empty a table.
static PyObject* bulk_condition(const char* fname, PyObject* cond, PyObject* all) {
    PyObject* c = cond ? cond : Py_None;
    check_filter(c, "cond");
    if (c == Py_None && !(all && truthy(all))) {
        PyErr_Format(PyExc_ValueError, "%s: no condition given; pass all=True to change every row of the table", fname);
        throw_error();
    }
    return c;
}

// The SET cells of updateWhere's `values`: each key one of the model's own
// columns (property or name, as columns= takes them), never the key; each
// value converted by its column as update() converts it.
static Ref bulk_cells(PyObject* model, PyObject* values) {
    if (!PyDict_Check(values)) raise_arg_type("values", "dict", values);
    if (PyDict_GET_SIZE(values) == 0) {
        PyErr_SetString(PyExc_ValueError, "updateWhere: values names no column to set");
        throw_error();
    }
    Ref cols = model_columns(model);
    Ref cells = new_ref(PyList_New(0));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(values, &pos, &k, &v)) {
        if (!is_prop(k) && !PyUnicode_Check(k)) raise_arg_type("values", "a column or its name as key", k);
        PyObject* p = resolve_column("values", model, cols.get(), k);
        bool own = false;
        for (Py_ssize_t j = 0; !own && j < PyTuple_GET_SIZE(cols.get()); j++)
            own = PyTuple_GET_ITEM(cols.get(), j) == p;
        if (!own || !((BasePropertyObject*)p)->name) {
            Ref table = Ref::consuming_nullable(PyObject_GetAttr(model, N.tableName));
            if (!table) PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "values: %R is not a column of %R", p, table ? table.get() : model);
            throw_error();
        }
        if (((BasePropertyObject*)p)->primaryKey) {
            PyErr_Format(PyExc_ValueError, "updateWhere: the primary key %R cannot be set",
                         ((BasePropertyObject*)p)->name);
            throw_error();
        }
        // A column or an expression on the right is written as SQL (stock =
        // stock - 1), its own values bound; a plain value is converted by
        // the column set.
        Ref cell;
        if (is_prop(v) || is_expr(v)) {
            if (I.mp->holds_aggregate(v)) {
                PyErr_Format(PyExc_ValueError, "updateWhere: %R cannot be set to an aggregate",
                             ((BasePropertyObject*)p)->name);
                throw_error();
            }
            cell = new_ref(PyTuple_Pack(2, p, v));
        } else {
            cell = new_ref(I.mp->update_cell(p, v));
        }
        Require(PyList_Append(cells.get(), cell.get()));
    }
    return cells;
}

PyObject* m_updateWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"cond", "values", "all"};
        PyObject* a[3];
        if (nargs > 2) raise_count(Params{"updateWhere", names, 2, 2}, nargs);
        bind_args("updateWhere", args, nargs, kwnames, names, 3, 2, a);
        PyObject* cond = bulk_condition("updateWhere", a[0], a[2]);
        PyObject* model = model_of(self);
        Ref cells = bulk_cells(model, a[1]);
        executor_reset(self);
        PyObject* sql = E(self)->sql;
        if (!sql) raise_none_attr("update");
        Require(I.gen->update(sql, model));
        Require(I.gen->set(sql, cells.get()));
        Require(I.gen->where(sql, cond));
        set_shape(self, SHAPE_ROWS, nullptr);
        X(self)->changes = 1;
        return executor_execute(self).relinquish();
    });
}

PyObject* m_deleteWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"cond", "all"};
        PyObject* a[2];
        if (nargs > 1) raise_count(Params{"deleteWhere", names, 1, 1}, nargs);
        bind_args("deleteWhere", args, nargs, kwnames, names, 2, 1, a);
        PyObject* cond = bulk_condition("deleteWhere", a[0], a[1]);
        PyObject* model = model_of(self);
        executor_reset(self);
        PyObject* sql = E(self)->sql;
        if (!sql) raise_none_attr("delete");
        Require(I.gen->delete_from(sql, model));
        Require(I.gen->where(sql, cond));
        set_shape(self, SHAPE_ROWS, nullptr);
        X(self)->changes = 1;
        return executor_execute(self).relinquish();
    });
}

// _v_query_options(executor, forUpdate, orderBy, limit, offset, columns):
// checks the options of the asynchronous findOneBy before its awaitable
// exists; returns the dict of those given, to pass on to findAllBy.
PyObject* h_query_options(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        if (nargs != 6) raise_arity("_v_query_options", "exactly", 6, nargs);
        if (!PyObject_TypeCheck(args[0], &BaseModelExecutorType)) raise_cannot_convert(args[0], "BaseModelExecutor");
        QueryOptions o = query_options(model_of(args[0]), args[1], args[2], args[3], args[4], args[5]);
        return (o.given ? std::move(o.given) : new_ref(PyDict_New())).relinquish();
    });
}

}  // namespace vantrel
}  // namespace tavrik
