// ModelExecutor: related-object loading on the calling thread, the methods
// (save and update run the plan of saveplan.cpp), plus the validation and
// statement builders both flavours share.
#include "args.hpp"
#include "loadplan.hpp"
#include "vantrel.hpp"

#include <climits>
#include <vector>

namespace tavrik {
namespace vantrel {

#define FASTCALL_ARGS PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames

static PyObject* prop_name(PyObject* col) {
    if (!PyObject_TypeCheck(col, I.mp->BasePropertyType)) raise_expected("BaseProperty", col);
    return ((BasePropertyObject*)col)->name;
}

// Whether an insert writes a column's value.  None leaves the column to the
// table's default, and so does a falsy primary key (0 asks for a new key);
// any other value is written, 0, False and "" included: skipping them would
// store the column's default instead (a False saved as a default of True).
static bool written_on_insert(PyObject* col, PyObject* v) {
    if (v == Py_None) return false;
    if (((BasePropertyObject*)col)->primaryKey) return truthy(v);
    return true;
}

static Ref fast_fks_of(PyObject* model) {
    Ref fks = getattr(model, N.fk);
    return new_ref(PySequence_Fast(fks.get(), "fk must be a sequence"));
}

static Ref col_name_of(PyObject* holder, PyObject* attr) {
    Ref col = getattr(holder, attr);
    return getattr(col.get(), N.name);
}

// ------------------------------------------------------------ validation
//
// Everything a save or update will write is checked before the first
// statement runs: the rows belong to the right models, the cells of every
// related row can be built, keys needed for updates are present.  The root
// row's own cells are built by the statement builder, also before any write.

void require_pk(PyObject* model, PyObject* row) {
    Ref pk_name = getattr(model, N.pkName);
    Ref pk = row_get(row, pk_name.get());
    if (!pk || !truthy(pk.get())) {
        PyErr_SetNone(I.UpdateWithOutPrimaryKeyError);
        throw_error();
    }
}

static void validate_row(PyObject* model, PyObject* row, int mode, bool root, PyObject* seen);

// A value put under a column's database name (row["owner_name"] = ... for
// `owner = StrProperty(60, name="owner_name")`) is not where statements read
// the column from: saved, it would become NULL without a word.
static void refuse_column_named_items(PyObject* model, PyObject* row, PyObject* cols) {
    if (!PyDict_Check(row)) return;
    Ref mapping;
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(cols); i < n; i++) {
        PyObject* col = PySequence_Fast_GET_ITEM(cols, i);
        if (!PyObject_TypeCheck(col, I.mp->BasePropertyType)) continue;
        PyObject* column = ((BasePropertyObject*)col)->column;
        PyObject* name = ((BasePropertyObject*)col)->name;
        if (!column || !name || !dict_get(row, column)) continue;
        if (!mapping) mapping = getattr(model, N.mapping);
        if (PyDict_Check(mapping.get()) && dict_get(mapping.get(), column)) continue;  // another attribute's name
        Ref mname =
            new_ref(PyType_Check(model) ? PyUnicode_FromString(((PyTypeObject*)model)->tp_name) : PyObject_Repr(model));
        Ref msg = text_of({mname.get(), utf8(" 的行中的键 ").get(), new_ref(PyObject_Repr(column)).get(),
                           utf8(" 是列名, 行以属性名为键: 请写入 ").get(), new_ref(PyObject_Repr(name)).get()});
        PyErr_SetObject(PyExc_TypeError, msg.get());
        throw_error();
    }
}

static void validate_items(PyObject* model, PyObject* items, int mode, PyObject* seen) {
    Ref it = new_ref(PyObject_GetIter(items));
    while (Ref item = Ref::consuming_nullable(PyIter_Next(it.get())))
        validate_row(model, item.get(), mode, false, seen);
    if (PyErr_Occurred()) throw_error();
}

static void validate_mtm_keys(PyObject* fk, PyObject* items) {
    Ref far = getattr(fk, N.directTarget);
    Ref middle = getattr(fk, N.middleModel);
    Ref owner = getattr(fk, N.owner);
    Ref other = call_method(middle.get(), N.getOtherFkBy, owner.get());
    Ref key_name = col_name_of(other.get(), N.targetBindCol);
    Ref it = new_ref(PyObject_GetIter(items));
    while (Ref item = Ref::consuming_nullable(PyIter_Next(it.get()))) {
        check_row_of(far.get(), item.get(), "instance", true);
        Ref key = row_get(item.get(), key_name.get());
        if (!key || !truthy(key.get())) {
            Ref fname = getattr(fk, N.name);
            Ref msg = text_of({utf8("多对多关联").get(), fname.get(), utf8("的关联对象缺少").get(), key_name.get(),
                               utf8("字段的值").get()});
            PyErr_SetObject(PyExc_ValueError, msg.get());
            throw_error();
        }
    }
    if (PyErr_Occurred()) throw_error();
}

static void validate_row(PyObject* model, PyObject* row, int mode, bool root, PyObject* seen) {
    bool save = mode == VM_SAVE || mode == VM_ASYNC_SAVE;
    bool async = mode == VM_ASYNC_SAVE || mode == VM_ASYNC_UPDATE;
    // A row met again (a cycle, or the same row under another relation) is
    // walked once, but it must belong to the model it is met under each time.
    check_row_of(model, row, "instance", save);
    Ref ident = new_ref(PyLong_FromVoidPtr(row));
    if (dict_get(seen, ident.get())) return;
    // The row is kept alive with its address: an iterable may make rows on
    // the fly, and a freed one's address could come back for another row.
    Require(PyDict_SetItem(seen, ident.get(), row));
    Ref cols = getattr(model, N.col);
    Ref fast = new_ref(PySequence_Fast(cols.get(), "col must be a sequence"));
    refuse_column_named_items(model, row, fast.get());
    if (!save) require_pk(model, row);
    if (!root) {
        for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(fast.get()); i < n; i++) {
            PyObject* col = PySequence_Fast_GET_ITEM(fast.get(), i);
            PyObject* name = prop_name(col);
            if (!name) continue;
            Ref v = row_get(row, name);
            if (!v) continue;
            if (save) {
                if (written_on_insert(col, v.get())) new_ref(I.mp->insert_cell(col, v.get()));
            } else {
                new_ref(I.mp->update_cell(col, v.get()));
            }
        }
    }
    Ref fks = getattr(model, N.fk);
    Ref fkfast = new_ref(PySequence_Fast(fks.get(), "fk must be a sequence"));
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(fkfast.get()); i < n; i++) {
        PyObject* fk = PySequence_Fast_GET_ITEM(fkfast.get(), i);
        Ref name = getattr(fk, N.name);
        Ref v = row_get(row, name.get());
        if (!v) continue;
        if (save ? !truthy(v.get()) : v.get() == Py_None) continue;
        Ref type = fk_type(fk);
        if (eq(type.get(), I.OTO)) {
            Ref target = getattr(fk, N.target);
            int m = save ? mode : (async ? VM_ASYNC_SAVE : VM_UPDATE);
            validate_row(target.get(), v.get(), m, false, seen);
        } else if (eq(type.get(), I.OTM)) {
            Ref target = getattr(fk, N.target);
            validate_items(target.get(), v.get(), save ? mode : VM_UPDATE, seen);
        } else if (eq(type.get(), I.MTM)) {
            Ref far = getattr(fk, N.directTarget);
            if (async)
                validate_items(far.get(), v.get(), VM_ASYNC_SAVE, seen);
            else if (save)
                validate_mtm_keys(fk, v.get());
            else {
                validate_items(far.get(), v.get(), VM_UPDATE, seen);
                validate_mtm_keys(fk, v.get());
            }
        }
    }
}

void validate_tree(PyObject* model, PyObject* row, int mode) {
    Ref seen = new_ref(PyDict_New());
    validate_row(model, row, mode, true, seen.get());
}

// ------------------------------------------------------------ statement builders

// The rows a keyed batch keeps for its keys; gone once it ran, or when a
// batch built but never run (an un-awaited saveAll) is overtaken.
static void forget_batch_rows(PyObject* self) {
    PyObject* d = E(self)->dict;
    for (PyObject* name : {N.instances.get(), N.conflictColumns.get()})
        if (d && PyDict_Check(d) && PyDict_DelItem(d, name) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
            PyErr_Clear();
        }
    X(self)->upsert = 0;
    X(self)->written = -1;
}

void build_insert(PyObject* self, PyObject* instance, PyObject* update_cells) {
    executor_reset(self);
    // A batch built but never run (an un-awaited saveAll) leaves its mark:
    // this statement is a single row, whose new id is wanted.
    X(self)->batch = 0;
    forget_batch_rows(self);
    Require(PyDict_SetItem(instance_dict(self), N.instance, instance));
    PyObject* model = model_of(self);
    Ref cols = getattr(model, N.col);
    Ref fast = new_ref(PySequence_Fast(cols.get(), "col must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    Ref cells = new_ref(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* col = PySequence_Fast_GET_ITEM(fast.get(), i);
        PyObject* name = prop_name(col);
        if (!name) continue;
        Ref v = row_get(instance, name);
        if (!v) continue;
        if (!written_on_insert(col, v.get())) {
            if (update_cells) Require(PyList_Append(update_cells, col));
            continue;
        }
        Ref cell = new_ref(I.mp->insert_cell(col, v.get()));
        Require(PyList_Append(cells.get(), cell.get()));
        if (update_cells) Require(PyList_Append(update_cells, cell.get()));
    }
    // No cells at all is still a row: the generator writes it with every
    // column at its default.
    PyObject* sql = E(self)->sql;
    if (!sql) raise_none_attr("insert");
    Require(I.gen->insert(sql, model));
    Require(I.gen->values(sql, cells.get()));
}

// The UPDATE of `instance` by its key `pk`, setting `cells`.
static void begin_update(PyObject* self, PyObject* model, PyObject* pk, PyObject* cells) {
    PyObject* sql = E(self)->sql;
    if (!sql) raise_none_attr("update");
    Require(I.gen->update(sql, model));
    Require(I.gen->set(sql, cells));
    Ref pk_col = getattr(model, N.pkCol);
    Ref cond = new_ref(PyObject_RichCompare(pk_col.get(), pk, Py_EQ));
    Require(I.gen->where(sql, cond.get()));
}

void build_column_update(PyObject* self, PyObject* instance, PyObject* props) {
    PyObject* model = model_of(self);
    check_row_of(model, instance, "instance", false);
    require_pk(model, instance);
    Ref pk_name = getattr(model, N.pkName);
    Ref pk = row_item(instance, pk_name.get());
    Py_ssize_t n = PyTuple_GET_SIZE(props);
    Ref cells = new_ref(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* col = PyTuple_GET_ITEM(props, i);
        PyObject* name = prop_name(col);
        Ref v = row_get(instance, name);
        // A column asked for must be written: one the row lacks is an error,
        // not a NULL.
        if (!v) {
            Ref msg = text_of({utf8("columns: 实例中没有列 ").get(), name, utf8(" 的值").get()});
            PyErr_SetObject(PyExc_ValueError, msg.get());
            throw_error();
        }
        PyList_SET_ITEM(cells.get(), i, Require(I.mp->update_cell(col, v.get())));
    }
    executor_reset(self);
    Require(PyDict_SetItem(instance_dict(self), N.instance, instance));
    begin_update(self, model, pk.get(), cells.get());
}

// Returns false when the row holds none of the model's columns (nothing to set).
static bool build_update_impl(PyObject* self, PyObject* instance) {
    PyObject* model = model_of(self);
    Ref pk_name = getattr(model, N.pkName);
    Ref pk = row_item(instance, pk_name.get());
    // A statement left from an earlier run (the failed insertion of save)
    // must not leak into the update.
    executor_reset(self);
    Require(PyDict_SetItem(instance_dict(self), N.instance, instance));
    Ref cols = getattr(model, N.col);
    Ref fast = new_ref(PySequence_Fast(cols.get(), "col must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    Ref cells = new_ref(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* col = PySequence_Fast_GET_ITEM(fast.get(), i);
        PyObject* name = prop_name(col);
        if (!name) continue;
        // A column the row does not hold is left as stored, not nulled.
        Ref v = row_get(instance, name);
        if (!v) continue;
        Ref cell = new_ref(I.mp->update_cell(col, v.get()));
        Require(PyList_Append(cells.get(), cell.get()));
    }
    if (PyList_GET_SIZE(cells.get()) == 0) return false;
    begin_update(self, model, pk.get(), cells.get());
    return true;
}

// The UPDATE that save() falls back to, from the cells its INSERT converted
// (see build_insert): each value is converted once per call.
static void build_fallback_update(PyObject* self, PyObject* instance, PyObject* update_cells) {
    PyObject* model = model_of(self);
    Ref pk_name = getattr(model, N.pkName);
    Ref pk = row_item(instance, pk_name.get());
    executor_reset(self);
    Require(PyDict_SetItem(instance_dict(self), N.instance, instance));
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(update_cells); i < n; i++) {
        PyObject* c = PyList_GET_ITEM(update_cells, i);
        if (PyTuple_Check(c)) continue;
        Ref v = row_item(instance, prop_name(c));
        Ref cell = new_ref(I.mp->update_cell(c, v.get()));
        Require(PyList_SetItem(update_cells, i, cell.relinquish()));
    }
    begin_update(self, model, pk.get(), update_cells);
}

// A batch writes its rows alone (their keys do not come back on every
// database, and related rows are the save plan's work): a batch holding any
// is refused before a statement runs, rather than stored without them.
static void refuse_related(PyObject* model, PyObject* rows) {
    Ref fks = fast_fks_of(model);
    Py_ssize_t nfk = PySequence_Fast_GET_SIZE(fks.get());
    if (nfk == 0) return;
    std::vector<Ref> names((size_t)nfk);
    for (Py_ssize_t i = 0; i < nfk; i++) names[(size_t)i] = getattr(PySequence_Fast_GET_ITEM(fks.get(), i), N.name);
    for (Py_ssize_t r = 0, n = PyList_GET_SIZE(rows); r < n; r++) {
        PyObject* row = PyList_GET_ITEM(rows, r);
        for (const Ref& name : names) {
            Ref v = row_get(row, name.get());
            if (!v || !truthy(v.get())) continue;
            Ref index = new_ref(PyLong_FromSsize_t(r));
            Ref msg = text_of({utf8("saveAll 不保存关联对象: instances[").get(), index.get(), utf8("] 的关联 ").get(),
                               name.get(), utf8(" 有值, 请用 save() 逐个保存").get()});
            PyErr_SetObject(PyExc_ValueError, msg.get());
            throw_error();
        }
    }
}

// The model's key column attribute, or none where it declares none.
static Ref declared_key_column(PyObject* model) {
    Ref pk = Ref::consuming_nullable(PyObject_GetAttr(model, N.pkCol));
    if (!pk) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
    return pk;
}

// The key column whose values a save can hand back to its rows: none for a
// junction model (its rows are known by the two keys they link).
static Ref key_column(PyObject* model) {
    if (is_junction(model)) return Ref();
    return declared_key_column(model);
}

// Whether a batch asks for the rows' new keys: the model's key is the
// database's to give (AutoIncrement), some row lacks one, and the executor
// runs the statement itself.  Otherwise today's statement runs unchanged.
static bool wants_keys(PyObject* self, PyObject* model, PyObject* rows) {
    Ref pk = key_column(model);
    if (!pk) return false;
    if (!PyObject_TypeCheck(pk.get(), I.mp->BasePropertyType)) return false;
    BasePropertyObject* bp = (BasePropertyObject*)pk.get();
    if (!bp->hasDefault || !bp->defaultValue || !PyObject_TypeCheck(bp->defaultValue, I.mp->AutoIncrementType))
        return false;
    Ref pk_name = getattr(model, N.pkName);
    if (!PyUnicode_Check(pk_name.get())) return false;
    bool lacking = false;
    for (Py_ssize_t r = 0, n = PyList_GET_SIZE(rows); r < n && !lacking; r++) {
        Ref v = row_get(PyList_GET_ITEM(rows, r), pk_name.get());
        lacking = !v || !truthy(v.get());
    }
    return lacking && own_core_connector(self);
}

// saveAll's onConflict: 0 for None, 1 "update", 2 "ignore".
static int conflict_mode(PyObject* v) {
    if (!v || v == Py_None) return 0;
    if (PyUnicode_Check(v)) {
        if (PyUnicode_CompareWithASCIIString(v, "update") == 0) return 1;
        if (PyUnicode_CompareWithASCIIString(v, "ignore") == 0) return 2;
    }
    Ref msg =
        text_of({utf8("onConflict: 应为 None, 'update' 或 'ignore', 而不是 ").get(), new_ref(PyObject_Repr(v)).get()});
    PyErr_SetObject(PyExc_ValueError, msg.get());
    throw_error();
}

// The unique key an upsert answers: the primary key, or the columns given
// (properties or attribute names), which must be one the model declares:
// its primary key or a column declared unique=True.  A database refuses a
// target it has no unique index for only once the batch runs, and MySQL
// never names one: checked here, before anything is written.
static bool is_column(PyObject* o) { return PyObject_TypeCheck(o, I.mp->BasePropertyType); }

// The model's column `c` names (a property or an attribute name), or NULL.
static PyObject* own_column(PyObject* cols, PyObject* c) {
    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(cols); j++) {
        PyObject* p = PySequence_Fast_GET_ITEM(cols, j);
        if (p == c) return p;
        if (PyUnicode_Check(c) && is_column(p)) {
            PyObject* name = ((BasePropertyObject*)p)->name;
            if (name && PyUnicode_Check(name) && PyUnicode_Compare(name, c) == 0) return p;
            if (PyErr_Occurred()) throw_error();
        }
    }
    return nullptr;
}

static Ref conflict_target(PyObject* model, PyObject* given) {
    Ref pk = declared_key_column(model);
    const bool has_pk = pk && is_column(pk.get());
    if (!given || given == Py_None) {
        if (!has_pk) {
            PyErr_SetString(PyExc_ValueError, "conflictColumns: 模型没有主键, 请给出声明为 unique 的列");
            throw_error();
        }
        return new_ref(PyTuple_Pack(1, pk.get()));
    }
    Ref all = getattr(model, N.col);
    Ref cols = new_ref(PySequence_Fast(all.get(), "col must be a sequence"));
    Ref one = is_column(given) || PyUnicode_Check(given) ? new_ref(PyTuple_Pack(1, given)) : Ref::owning(given);
    Ref seq = new_ref(PySequence_Fast(one.get(), "conflictColumns: 应为列或列的序列"));
    Ref out = new_ref(PyList_New(0));
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(seq.get()); i < n; i++) {
        PyObject* c = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!is_column(c) && !PyUnicode_Check(c)) raise_arg_type("conflictColumns", "a column or its name", c);
        PyObject* p = own_column(cols.get(), c);
        if (!p || !((BasePropertyObject*)p)->name) {
            Ref msg = text_of(
                {utf8("conflictColumns: ").get(), new_ref(PyObject_Repr(c)).get(), utf8(" 不是模型的列").get()});
            PyErr_SetObject(PyExc_ValueError, msg.get());
            throw_error();
        }
        int has = PySequence_Contains(out.get(), p);
        if (has < 0) throw_error();
        if (!has) Require(PyList_Append(out.get(), p));
    }
    const Py_ssize_t n = PyList_GET_SIZE(out.get());
    PyObject* first = n ? PyList_GET_ITEM(out.get(), 0) : nullptr;
    if (n != 1 || !(first == pk.get() || ((BasePropertyObject*)first)->unique)) {
        Ref msg = text_of({utf8("conflictColumns: ").get(), new_ref(PyObject_Repr(given)).get(),
                           utf8(" 不是模型声明的唯一键 (主键, 或一个 unique=True 的列)").get()});
        PyErr_SetObject(PyExc_ValueError, msg.get());
        throw_error();
    }
    return new_ref(PyList_AsTuple(out.get()));
}

// Whether an upsert's RETURNING rows come back: the executor runs the
// statement itself on a model with a key column.  Not for MySQL's "ignore":
// its RETURNING gives back every row of the batch, those left alone too,
// so only the affected rows tell how many were inserted.
static bool upsert_keys(PyObject* self, PyObject* model, int mode) {
    Ref pk = key_column(model);
    if (!pk) return false;
    Ref pk_name = getattr(model, N.pkName);
    if (!is_column(pk.get()) || !PyUnicode_Check(pk_name.get())) return false;
    PyObject* connector = own_core_connector(self);
    if (!connector) return false;
    return !(mode == 2 && connector_dialect(I.connector->BaseConnectorType, connector).upsert == Upsert::DuplicateKey);
}

// Batch insertion: one INSERT for many rows.  The column list is every column
// that some row sets (as for save); a row that leaves one of them
// unset gets the column's declared default, or NULL, as a single save would
// have got from the table.
Py_ssize_t build_batch(PyObject* self, PyObject* instances, PyObject* onConflict, PyObject* conflictColumns) {
    PyObject* model = model_of(self);
    const int mode = conflict_mode(onConflict);
    if (!mode && conflictColumns && conflictColumns != Py_None) {
        PyErr_SetString(PyExc_ValueError, "conflictColumns 只在给出 onConflict 时使用");
        throw_error();
    }
    Ref target = mode ? conflict_target(model, conflictColumns) : Ref();
    Ref rows = new_ref(PySequence_List(instances));
    Py_ssize_t nrows = PyList_GET_SIZE(rows.get());
    for (Py_ssize_t r = 0; r < nrows; r++) {
        PyObject* row = PyList_GET_ITEM(rows.get(), r);
        check_row_of(model, row, "instances", true);
    }
    if (nrows == 0) return 0;
    refuse_related(model, rows.get());
    Ref cols = getattr(model, N.col);
    Ref fast = new_ref(PySequence_Fast(cols.get(), "col must be a sequence"));
    Py_ssize_t ncols = PySequence_Fast_GET_SIZE(fast.get());
    std::vector<char> used((size_t)ncols, 0);
    for (Py_ssize_t r = 0; r < nrows; r++) {
        PyObject* row = PyList_GET_ITEM(rows.get(), r);
        refuse_column_named_items(model, row, fast.get());
        for (Py_ssize_t c = 0; c < ncols; c++) {
            if (used[(size_t)c]) continue;
            PyObject* col = PySequence_Fast_GET_ITEM(fast.get(), c);
            PyObject* name = prop_name(col);
            if (!name) continue;
            Ref v = row_get(row, name);
            if (v && written_on_insert(col, v.get())) used[(size_t)c] = 1;
        }
    }
    bool any = false;
    for (char u : used) any = any || u;
    if (!any) {
        PyErr_SetString(PyExc_ValueError, "批量保存的实例没有任何可写入的字段值");
        throw_error();
    }
    // Every value of every row is converted before the statement exists: one
    // tuple of database values per row, no cell object per value.
    GcPause pause(nrows >= 512);
    std::vector<Py_ssize_t> idx;
    for (Py_ssize_t c = 0; c < ncols; c++)
        if (used[(size_t)c]) idx.push_back(c);
    const Py_ssize_t nused = (Py_ssize_t)idx.size();
    Ref used_cols = new_ref(PyTuple_New(nused));
    for (Py_ssize_t i = 0; i < nused; i++) {
        PyObject* col = PySequence_Fast_GET_ITEM(fast.get(), idx[(size_t)i]);
        Py_INCREF(col);
        PyTuple_SET_ITEM(used_cols.get(), i, col);
    }
    // The database value a row lacking a column gets: the column's declared
    // default, or NULL; converted once, when a row first needs it (so a
    // NOT NULL column without default fails only when a row lacks it).
    std::vector<Ref> defaults((size_t)nused);
    auto default_of = [&](Py_ssize_t i) -> PyObject* {
        Ref& d = defaults[(size_t)i];
        if (!d) {
            PyObject* col = PyTuple_GET_ITEM(used_cols.get(), i);
            BasePropertyObject* bp = (BasePropertyObject*)col;
            Ref dv = borrow(Py_None);
            if (bp->hasDefault && bp->defaultValue && !PyObject_TypeCheck(bp->defaultValue, I.mp->AutoIncrementType) &&
                !PyObject_TypeCheck(bp->defaultValue, I.mp->NullDefaultType) && !PyType_Check(bp->defaultValue))
                dv = new_ref(I.mp->to_obj_value(col, bp->defaultValue));
            d = new_ref(I.mp->to_db_value(col, dv.get()));
        }
        return d.get();
    };
    Ref params = new_ref(PyList_New(nrows));
    for (Py_ssize_t r = 0; r < nrows; r++) {
        PyObject* row = PyList_GET_ITEM(rows.get(), r);
        Ref vals = new_ref(PyTuple_New(nused));
        for (Py_ssize_t i = 0; i < nused; i++) {
            PyObject* col = PyTuple_GET_ITEM(used_cols.get(), i);
            Ref v = row_get(row, prop_name(col));
            PyObject* db;
            if (v && written_on_insert(col, v.get())) {
                db = Require(I.mp->to_db_value(col, v.get()));
            } else {
                db = default_of(i);
                Py_INCREF(db);
            }
            PyTuple_SET_ITEM(vals.get(), i, db);
        }
        PyList_SET_ITEM(params.get(), r, vals.relinquish());
    }
    executor_reset(self);
    forget_batch_rows(self);
    PyObject* sql = E(self)->sql;
    if (!sql) raise_none_attr("insert");
    Ref ins = new_ref(I.gen->insert_values(sql, model, used_cols.get(), params.get()));
    ((ExecObject*)self)->batch = 1;
    if (mode) {
        if (I.gen->upsert(sql, mode, target.get()) < 0) throw_error();
        X(self)->upsert = mode;
        if (upsert_keys(self, model, mode)) {
            Require(PyDict_SetItem(instance_dict(self), N.instances, rows.get()));
            Require(PyDict_SetItem(instance_dict(self), N.conflictColumns, target.get()));
            X(self)->batch = 3;
            batch_keys_known(self, !PyObject_TypeCheck(self, &AsyncModelExecutorType));
        }
        return nrows;
    }
    // A single row's key comes back as save()'s does, on every database; a
    // longer batch's where the database returns them (RETURNING).
    if (wants_keys(self, model, rows.get())) {
        Require(PyDict_SetItem(instance_dict(self), N.instances, rows.get()));
        ((ExecObject*)self)->batch = 3;
        if (nrows == 1)
            ((ExecObject*)self)->batch = 2;
        else
            batch_keys_known(self, !PyObject_TypeCheck(self, &AsyncModelExecutorType));
    }
    return nrows;
}

// A batch waiting to know whether its keys come back (3): asks the
// connector; 2 once they do (the generator told to return them), 1 when not.
// True while still unknown (a MySQL connector before its first connection),
// unless `final`: unknown then means not.
bool batch_keys_known(PyObject* self, bool final) {
    if (((ExecObject*)self)->batch != 3) return false;
    PyObject* connector = own_core_connector(self);
    int keyed = connector ? I.connector->batch_keys(connector) : 0;
    if (keyed < 0) throw_error();
    if (keyed == 2 && !final) return true;
    if (keyed == 1) {
        Require(I.gen->return_keys(E(self)->sql));
        ((ExecObject*)self)->batch = 2;
    } else {
        ((ExecObject*)self)->batch = 1;
        PyObject* d = E(self)->dict;
        if (d && PyDict_DelItem(d, N.instances) < 0) throw_error();
    }
    return false;
}

bool build_update_has_cells(PyObject* self, PyObject* instance, PyObject* cells) {
    if (!cells) return build_update_impl(self, instance);
    build_fallback_update(self, instance, cells);
    return true;
}

// ------------------------------------------------------------ ModelExecutor

// The condition picking the stored row with the row's primary key, or null
// when the row carries no key of its own.
Ref stored_key_condition(PyObject* model, PyObject* row) {
    Ref pk_name = getattr(model, N.pkName);
    if (pk_name.get() == Py_None) return Ref();
    Ref pk = row_get(row, pk_name.get());
    if (!pk || !truthy(pk.get())) return Ref();
    Ref pk_col = getattr(model, N.pkCol);
    if (pk_col.get() == Py_None) return Ref();
    return new_ref(PyObject_RichCompare(pk_col.get(), pk.get(), Py_EQ));
}

// Whether an update of the row also updates related rows.
bool has_related(PyObject* model, PyObject* row) {
    Ref fks = getattr(model, N.fk);
    Ref fast = new_ref(PySequence_Fast(fks.get(), "fk must be a sequence"));
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(fast.get()); i < n; i++) {
        Ref name = getattr(PySequence_Fast_GET_ITEM(fast.get(), i), N.name);
        Ref v = row_get(row, name.get());
        if (v && v.get() != Py_None) return true;
    }
    return false;
}

// ------------------------------------------------------------ loading
// The algorithm is loadplan.cpp's, shared with the asynchronous executor.

static const char* const load_names[] = {"instance", "deep", "path", "clevel", "level", "before"};

static PyObject* m_findForeignKey(FASTCALL_ARGS) {
    return guard([&] {
        PyObject* a[6];
        bind_args("findForeignKey", args, nargs, kwnames, load_names, 6, 1, a);
        return load_now(self, a, false).relinquish();
    });
}

static PyObject* m_findListForeignKey(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"instances", "deep", "path", "clevel", "level", "before"};
        PyObject* a[6];
        bind_args("findListForeignKey", args, nargs, kwnames, names, 6, 1, a);
        return load_now(self, a, true).relinquish();
    });
}

// ------------------------------------------------------------ Python-facing

static PyObject* m_execute(PyObject* self, PyObject*) {
    return guard([&] { return sync_execute(self).relinquish(); });
}

// The connector of the executor's handle when it runs transactions on the
// caller's thread (the synchronous connectors), else NULL.
static PyObject* transaction_connector(PyObject* self) {
    PyObject* db = ((BaseModelExecutorObject*)self)->db;
    if (!db || !PyObject_TypeCheck(db, I.db->DBType)) return nullptr;
    PyObject* connector = ((DBObject*)db)->connector;
    if (!connector) return nullptr;
    if (PyObject_TypeCheck(connector, I.connector->Sqlite3ConnectorType) ||
        PyObject_TypeCheck(connector, I.connector->MysqlConnectorType) ||
        PyObject_TypeCheck(connector, I.connector->PsycopgConnectorType))
        return connector;
    return nullptr;
}

// A save or update with its related rows is one transaction: after a crash
// at any moment either the whole tree or none of it is stored.
template <class F>
static Ref in_transaction(PyObject* self, F&& body) {
    Ref connector = borrow(transaction_connector(self));
    if (!connector) return body();
    if (I.connector->transactionBegin(connector.get()) < 0) throw_error();
    Ref res;
    try {
        res = body();
    } catch (const PyErrOccurred&) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        I.connector->transactionEnd(connector.get(), 0);
        // A failing rollback is raised with the first error as its context.
        restore_or_chain(t, v, tb);
        throw;
    }
    if (I.connector->transactionEnd(connector.get(), 1) < 0) throw_error();
    return res;
}

// On a pooled connector a save or update that can only be one statement (a
// row without related rows; for a save, also without a key, since a save of
// a keyed row may turn into its update) needs no transaction block: the
// statement is atomic by itself, and a block would cost the round trips of
// its BEGIN and COMMIT.
static bool one_statement(PyObject* self, PyObject* row, bool save) {
    Ref connector = borrow(transaction_connector(self));
    if (!connector || PyObject_TypeCheck(connector.get(), I.connector->Sqlite3ConnectorType) || !PyDict_Check(row))
        return false;
    PyObject* model = model_of(self);
    if (save) {
        Ref pk_name = getattr(model, N.pkName);
        Ref key = row_get(row, pk_name.get());
        if (key && key.get() != Py_None) return false;
    }
    return !has_related(model, row);
}

static PyObject* m_save(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"instance"};
        PyObject* a[1];
        bind_args("save", args, nargs, kwnames, names, 1, 1, a);
        if (one_statement(self, a[0], true)) return run_plan(self, OP_SAVE, a).relinquish();
        return in_transaction(self, [&] { return run_plan(self, OP_SAVE, a); }).relinquish();
    });
}

static PyObject* m_update(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"instance", "columns"};
        PyObject* a[2];
        if (nargs > 1) raise_count(Params{"update", names, 1, 1}, nargs);
        bind_args("update", args, nargs, kwnames, names, 2, 1, a);
        if (a[1] && a[1] != Py_None) {
            // Some columns of the row alone: one statement, atomic by itself.
            Ref props = written_columns(model_of(self), a[1]);
            build_column_update(self, a[0], props.get());
            return executor_execute(self).relinquish();
        }
        if (one_statement(self, a[0], false)) return run_plan(self, OP_UPDATE, a).relinquish();
        return in_transaction(self, [&] { return run_plan(self, OP_UPDATE, a); }).relinquish();
    });
}

// The relation savers: their arguments bound by name, then the plan.
template <PlanOp Op, const char* const* Names, int N, const char* Name>
static PyObject* m_saver(FASTCALL_ARGS) {
    return guard([&] {
        PyObject* a[3];
        bind_args(Name, args, nargs, kwnames, Names, N, N, a);
        return run_plan(self, Op, a).relinquish();
    });
}
static constexpr const char* kOtoNames[] = {"res", "fk", "instance"};
static constexpr const char* kRelNames[] = {"fk", "instance"};
static constexpr char kSaveOTO[] = "_saveOTO", kSaveOTM[] = "_saveOTM", kSaveMTM[] = "_saveMTM";

// After a batch has run, its statement (a cell and a parameter tuple per
// row) is dropped at once rather than kept until the next operation: it can
// hold hundreds of thousands of objects for the collector to walk.
void end_batch(PyObject* self) {
    ((ExecObject*)self)->batch = 0;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* d = E(self)->dict;
    for (PyObject* name : {N.instances.get(), N.conflictColumns.get()})
        if (d && PyDict_Check(d) && PyDict_DelItem(d, name) < 0) PyErr_Clear();  // absent: nothing kept
    X(self)->upsert = 0;
    X(self)->written = -1;
    PyObject* r = guard([&] { return executor_reset(self).relinquish(); });
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
    PyErr_Restore(t, v, tb);
}

static PyObject* m_saveAll(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"instances", "onConflict", "conflictColumns"};
        PyObject* a[3];
        bind_args("saveAll", args, nargs, kwnames, names, 3, 1, a);
        Py_ssize_t n;
        {
            // Paused while the rows' cells are made, not while the statement
            // runs: a collection paused interpreter-wide for the length of
            // the I/O would stall every other thread's garbage too.
            GcPause pause;
            n = build_batch(self, a[0], a[1], a[2]);
        }
        if (n == 0) return from_long(0).relinquish();
        try {
            executor_execute(self);
            n = batch_written(self, n);
        } catch (...) {
            end_batch(self);
            throw;
        }
        end_batch(self);
        return from_long(n).relinquish();
    });
}

static PyObject* m_raw(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"sql", "params"};
        PyObject* a[2];
        bind_args("raw", args, nargs, kwnames, names, 2, 1, a);
        Ref result = raw_start(self, a[0], a[1], false);
        return raw_rows(self, result.get()).relinquish();
    });
}

PyMethodDef sync_methods[] = {
    {"execute", (PyCFunction)m_execute, METH_NOARGS,
     "execute($self, /)\n--\n\n"
     "把当前语句交给数据库执行"},
    {"save", (PyCFunction)(void (*)(void))m_save, METH_FASTCALL | METH_KEYWORDS,
     "save($self, /, instance)\n--\n\n"
     "插入实例及其关联对象，已存在时改为更新"},
    {"update", (PyCFunction)(void (*)(void))m_update, METH_FASTCALL | METH_KEYWORDS,
     "update($self, /, instance, *, columns=None)\n--\n\n"
     "按主键更新实例及其关联对象; columns 给出时只写这些列 (不含主键, 不写关联对象)"},
    {"_saveOTO", (PyCFunction)(void (*)(void))m_saver<OP_SAVE_OTO, kOtoNames, 3, kSaveOTO>,
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_saveOTM", (PyCFunction)(void (*)(void))m_saver<OP_SAVE_OTM, kRelNames, 2, kSaveOTM>,
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_saveMTM", (PyCFunction)(void (*)(void))m_saver<OP_SAVE_MTM, kRelNames, 2, kSaveMTM>,
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"saveAll", (PyCFunction)(void (*)(void))m_saveAll, METH_FASTCALL | METH_KEYWORDS, SAVE_ALL_DOC},
    {"iterate", (PyCFunction)(void (*)(void))executor_iterate, METH_FASTCALL | METH_KEYWORDS,
     "iterate($self, /, cond=None, *, batchSize=1000, orderBy=None)\n--\n\n"
     "按条件逐行读取 (生成器): 按 orderBy 加主键分页, 每页一条语句至多 batchSize 行, 页与页之间不占用链接; "
     "中途离开循环即停止"},
    {"raw", (PyCFunction)(void (*)(void))m_raw, METH_FASTCALL | METH_KEYWORDS,
     "raw($self, /, sql, params=())\n--\n\n"
     "执行手写的语句 (占位符写作%s, 按数据库改写, 值总是绑定) 并返回模型的已转换行; 结果列按属性名 "
     "(或 name= 给出的列名) 对应模型的列, 模型没有的列不在行中"},
    {"findForeignKey", (PyCFunction)(void (*)(void))m_findForeignKey, METH_FASTCALL | METH_KEYWORDS,
     "findForeignKey($self, /, instance, deep=False, path=None, clevel=1, level=3, before=None)\n--\n\n"
     "查询实例的关联对象"},
    {"findListForeignKey", (PyCFunction)(void (*)(void))m_findListForeignKey, METH_FASTCALL | METH_KEYWORDS,
     "findListForeignKey($self, /, instances, deep=False, path=None, clevel=1, level=3, before=None)\n--\n\n"
     "查询实例列表中每个实例的关联对象"},
    {"prefetch", (PyCFunction)(void (*)(void))executor_prefetch, METH_FASTCALL | METH_KEYWORDS,
     "prefetch($self, /, rows, level=3)\n--\n\n"
     "以每个关系每层一条语句 (按参数上限分块) 加载实例列表的关联对象, 结果与 findListForeignKey 相同; "
     "返回传入的列表"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject ModelExecutorType = plain_type("Tavrik.Model.Vantrel.ModelExecutor", sizeof(ExecObject));

void ready_sync_type() {
    ready_executor_subtype(&ModelExecutorType,
                           "ModelExecutor(model, work=None)\n--\n\n"
                           "\n    同步模型执行器\n    在调用线程上执行语句\n",
                           sync_methods);
}

}  // namespace vantrel
}  // namespace tavrik
