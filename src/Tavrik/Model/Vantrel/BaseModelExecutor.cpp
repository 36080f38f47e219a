// BaseModelExecutor: the statement under construction, the query operations
// shared by both flavours and the conversion of raw results into rows.
#include "args.hpp"
#include "vantrel.hpp"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>

namespace tavrik {
namespace vantrel {

// ---------------------------------------------------------------- helpers

Ref row_get(PyObject* row, PyObject* key) {
    if (PyDict_Check(row)) return Ref::owning(dict_get(row, key));
    PyObject* v = PyObject_GetItem(row, key);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
        PyErr_Clear();
    }
    return Ref::consuming_nullable(v);
}

Ref row_item(PyObject* row, PyObject* key) {
    if (PyDict_Check(row)) {
        PyObject* v = dict_get(row, key);
        if (!v) {
            PyErr_SetObject(PyExc_KeyError, key);
            throw_error();
        }
        return Ref::owning(v);
    }
    return getitem(row, key);
}

void row_set(PyObject* row, PyObject* key, PyObject* value) {
    if (PyDict_Check(row))
        Require(PyDict_SetItem(row, key, value));
    else
        setitem(row, key, value);
}

bool eq(PyObject* a, PyObject* b) {
    if (a == b) return true;
    return Require(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

#if PY_VERSION_HEX >= 0x030A0000
GcPause::GcPause(bool active) : paused_(active && PyGC_Disable() != 0) {}
GcPause::~GcPause() {
    if (paused_) PyGC_Enable();
}
#else
static PyObject* gc_module() {
    static Immortal gc;
    if (!gc) gc = Ref::consuming_nullable(PyImport_ImportModule("gc"));
    return gc;
}
GcPause::GcPause(bool active) : paused_(false) {
    if (!active) return;
    PyObject* gc = gc_module();
    if (!gc) {
        PyErr_Clear();
        return;
    }
    PyObject* on = PyObject_CallMethod(gc, "isenabled", nullptr);
    if (on && PyObject_IsTrue(on) == 1) {
        PyObject* r = PyObject_CallMethod(gc, "disable", nullptr);
        paused_ = r != nullptr;
        Py_XDECREF(r);
    }
    Py_XDECREF(on);
    PyErr_Clear();
}
GcPause::~GcPause() {
    if (!paused_) return;
    // Keeps any pending exception of the operation intact.
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* r = PyObject_CallMethod(gc_module(), "enable", nullptr);
    Py_XDECREF(r);
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
}
#endif

Ref utf8(const char* s) { return new_ref(PyUnicode_FromString(s)); }

Ref text_of(std::initializer_list<PyObject*> parts) {
    Ref out = new_ref(PyUnicode_FromString(""));
    for (PyObject* p : parts) {
        Ref s = new_ref(PyObject_Str(p));
        out = new_ref(PyUnicode_Concat(out.get(), s.get()));
    }
    return out;
}

Ref fk_type(PyObject* fk) { return getattr(fk, N.Type); }

PyObject* model_of(PyObject* self) {
    PyObject* m = E(self)->model;
    return m ? m : Py_None;
}

Ref new_generator(PyObject* model) {
    Ref g = new_ref(I.gen->new_bound(model));
    if (!PyObject_TypeCheck(g.get(), I.gen->SqlGeneratorType)) raise_expected("SqlGenerator", g.get());
    return g;
}

PyObject* instance_dict(PyObject* self) {
    Exec* e = E(self);
    if (!e->dict) e->dict = Require(PyDict_New());
    return e->dict;
}

bool is_junction(PyObject* model) {
    PyObject* mk = I.korvid->middle_korvid_class();
    if (!mk || !PyType_Check(model)) return false;
    return Require(PyObject_IsSubclass(model, mk)) != 0;
}

void check_filter(PyObject* f, const char* arg) { check_arg(f, I.mp->FilterListCellType, arg); }

// The row must belong to `model`: a row of another model would write its
// values into the wrong table.  Plain dictionaries are accepted where the
// operation takes any mapping (junction rows).
void check_row_of(PyObject* model, PyObject* row, const char* arg, bool allow_plain_dict) {
    if (PyObject_TypeCheck(row, I.korvid->ModelInstanceType)) {
        Ref rm = Ref::consuming_nullable(PyObject_GetAttr((PyObject*)Py_TYPE(row), N.object));
        if (!rm) PyErr_Clear();
        if (rm.get() == model) return;
        // Name the row class the executor expects, e.g. UserInstance.
        const char* expected = "ModelInstance";
        Ref ic;
        if (PyType_Check(model)) {
            ic = Ref::consuming_nullable(PyObject_GetAttr(model, N.modelInstance));
            if (!ic) PyErr_Clear();
            if (ic && PyType_Check(ic.get())) expected = ((PyTypeObject*)ic.get())->tp_name;
        }
        raise_arg_type(arg, expected, row);
    }
    if (allow_plain_dict && (PyDict_Check(row) || (row != Py_None && PyMapping_Check(row)))) return;
    raise_arg_type(arg, "ModelInstance", row);
}

static Ref sql_or_none(PyObject* self) {
    PyObject* s = E(self)->sql;
    return Ref::owning(s ? s : Py_None);
}

static PyObject* require_sql(PyObject* self, const char* attr) {
    PyObject* s = E(self)->sql;
    if (!s) raise_none_attr(attr);
    return s;
}

Ref executor_reset(PyObject* self) {
    Exec* e = E(self);
    X(self)->changes = 0;
    if (!e->executed) return Ref::owning(Py_None);
    Ref g = new_generator(model_of(self));
    e->executed = 0;
    PyObject* old = e->sql;
    e->sql = g.relinquish();
    Py_XDECREF(old);
    set_shape(self, SHAPE_ROWS, nullptr);
    return Ref::owning(self);
}

// The connector whose core the executor runs its statement through itself:
// the handle's, when it is exactly one of the package's connector classes of
// the executor's road (a subclass's process()/asyncProcess() may be its own,
// so it is called by name through the handle), else NULL.
PyObject* core_connector(PyObject* self, bool async) {
    PyObject* db = E(self)->db;
    if (!db || !PyObject_TypeCheck(db, I.db->DBType)) return nullptr;
    PyObject* c = ((DBObject*)db)->connector;
    if (!c) return nullptr;
    PyTypeObject* t = Py_TYPE(c);
    if (async)
        return t == I.connector->AioSqliteConnectorType || t == I.connector->AioMysqlConnectorType ||
                       t == I.connector->AsyncpgConnectorType
                   ? c
                   : nullptr;
    return (t == I.connector->Sqlite3ConnectorType || t == I.connector->MysqlConnectorType ||
            t == I.connector->PsycopgConnectorType) &&
                   PyObject_TypeCheck(self, &ModelExecutorType)
               ? c
               : nullptr;
}

PyObject* own_core_connector(PyObject* self) {
    const bool async = PyObject_TypeCheck(self, &AsyncModelExecutorType);
    PyTypeObject* base = async ? &AsyncModelExecutorType : &ModelExecutorType;
    if (Py_TYPE(self) != base && _PyType_Lookup(Py_TYPE(self), N.execute) != _PyType_Lookup(base, N.execute))
        return nullptr;
    return core_connector(self, async);
}

static Statement own_statement(PyObject* self, PyObject* connector) {
    const Dialect& d = connector_dialect(I.connector->BaseConnectorType, connector);
    return statement_in(I.gen, E(self)->sql ? E(self)->sql : Py_None, d.id);
}

PyObject* sync_execute_unchecked(PyObject* self) {
    Exec* e = E(self);
    e->executed = 1;
    if (!e->db || e->db == Py_None) raise_none_attr("execute");
    PyObject* con = nullptr;
    if (e->work && truthy(e->work)) con = e->work;
    if (PyObject* connector = core_connector(self, false)) {
        Ref keep = borrow(connector);
        Statement st = own_statement(self, connector);
        // A failed statement comes back as NULL, not unwound (see the core).
        Ref raw =
            Ref::consuming_nullable(I.connector->run(connector, st.sql.get(), st.params.get(), st.kind, st.mode()));
        if (!raw) return nullptr;
        return take_result(self, raw.get()).relinquish();
    }
    return I.db->execute(e->db, self, con);
}

Ref async_run(PyObject* self) {
    Exec* e = E(self);
    PyObject* connector = core_connector(self, true);
    if (!connector) return Ref::owning(Py_None);
    e->executed = 1;
    Ref keep = borrow(connector);
    Statement st = own_statement(self, connector);
    PyObject* con = e->work && truthy(e->work) ? e->work : nullptr;
    return new_ref(
        I.connector->run_async(connector, st.sql.get(), st.params.get(), st.kind, st.mode(), st.locks ? 1 : 0, con));
}

Ref sync_execute(PyObject* self) { return new_ref(sync_execute_unchecked(self)); }

Ref executor_execute(PyObject* self) {
    if (Py_TYPE(self) == &ModelExecutorType) return sync_execute(self);
    if (Py_TYPE(self) == &BaseModelExecutorType) return Ref::owning(Py_None);
    // By name: a user's executor subclass may override execute.
    return call_method(self, N.execute);
}

// A locking read (forUpdate=True): the statement is marked, and each
// database's dialect spells it (SELECT ... FOR UPDATE on MySQL; on SQLite,
// which has no such clause, the asynchronous connector begins the task's
// write transaction first and the synchronous one runs under its lock).
static void lock_rows(PyObject* self) { Require(I.gen->for_update(require_sql(self, "select"))); }

static Ref find_all_impl(PyObject* self, PyObject* filter, const QueryOptions& o) {
    executor_reset(self);
    PyObject* model = model_of(self);
    Ref cols = o.cols ? Ref::owning(o.cols.get()) : getattr(model, N.col);
    PyObject* sql = require_sql(self, "select");
    Require(I.gen->select(sql, cols.get()));
    Require(I.gen->where(sql, filter));
    apply_order_window(self, o);
    if (o.lock) lock_rows(self);
    set_shape(self, SHAPE_ROWS, o.keys.get());
    return executor_execute(self);
}

Ref executor_find_all(PyObject* self, PyObject* filter, const QueryOptions& o) {
    PyTypeObject* t = Py_TYPE(self);
    if (t == &ModelExecutorType || t == &BaseModelExecutorType || t == &AsyncModelExecutorType)
        return find_all_impl(self, filter, o);
    // An override of findAllBy gets the options its caller gave.
    Ref meth = getattr(self, N.findAllBy);
    Ref args = new_ref(PyTuple_Pack(1, filter));
    return new_ref(PyObject_Call(meth.get(), args.get(), o.given.get()));
}

Ref executor_find_all(PyObject* self, PyObject* filter, bool lock) {
    QueryOptions o;
    if (lock) o = query_options(model_of(self), Py_True, nullptr, nullptr, nullptr, nullptr);
    return executor_find_all(self, filter, o);
}

// ------------------------------------------------------- internal operations

static Ref instance_to_filter(PyObject* self, PyObject* instance) {
    Ref head = new_ref(I.mp->filter_true());
    Ref cols = getattr(model_of(self), N.col);
    Ref fast = new_ref(PySequence_Fast(cols.get(), "col must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    // Every declared column takes part, the last one included.
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* col = PySequence_Fast_GET_ITEM(fast.get(), i);
        if (!PyObject_TypeCheck(col, I.mp->BasePropertyType)) raise_expected("BaseProperty", col);
        PyObject* name = ((BasePropertyObject*)col)->name;
        if (!name) continue;
        Ref v = row_get(instance, name);
        if (!v || !truthy(v.get())) continue;
        Ref cc = new_ref(I.mp->filter_column(name, col));
        Ref vc = new_ref(I.mp->filter_value(v.get()));
        Ref linked = new_ref(I.mp->filter_link(head.get(), cc.get(), 0));
        Ref done = new_ref(I.mp->filter_link(linked.get(), vc.get(), 2));
    }
    return head;
}

// A single-row insert's new key: the row saved gets it unless it had one.
static Ref took_key(PyObject* self, PyObject* key) {
    PyObject* model = model_of(self);
    if (is_junction(model)) return Ref::owning(Py_None);
    long long id = (long long)to_int64(key);
    Ref pk_name = getattr(model, N.pkName);
    PyObject* d = E(self)->dict;
    PyObject* inst = d ? dict_get(d, N.instance) : nullptr;
    Ref idobj = from_long(id);
    if (inst && inst != Py_None) {
        Ref cur = row_get(inst, pk_name.get());
        if ((!cur || !truthy(cur.get())) && id != 0) row_set(inst, pk_name.get(), idobj.get());
        return Ref::owning(inst);
    }
    Ref one = new_ref(PyDict_New());
    Require(PyDict_SetItem(one.get(), pk_name.get(), idobj.get()));
    return call(model, one.get());
}

// The rows of `rows` without a key (by position), and the integer keys the
// others carry: a batch's and an upsert's returned keys are told apart by
// them.
static void split_keys(PyObject* rows, PyObject* pk_name, std::vector<Py_ssize_t>& keyless,
                       std::vector<long long>& own) {
    for (Py_ssize_t r = 0, n = PyList_GET_SIZE(rows); r < n; r++) {
        Ref cur = row_get(PyList_GET_ITEM(rows, r), pk_name);
        if (!cur || !truthy(cur.get()))
            keyless.push_back(r);
        else if (PyLong_Check(cur.get()))
            own.push_back((long long)to_int64(cur.get()));
    }
}

// The returned `keys` no row carried, in rising order, to the keyless rows
// in theirs; nothing is given when the counts disagree.
static void give_rising_keys(PyObject* rows, PyObject* pk_name, const std::vector<Py_ssize_t>& keyless,
                             std::vector<long long>& own, std::vector<long long>& keys) {
    std::sort(keys.begin(), keys.end());
    std::sort(own.begin(), own.end());
    std::vector<long long> given;
    given.reserve(keyless.size());
    std::set_difference(keys.begin(), keys.end(), own.begin(), own.end(), std::back_inserter(given));
    if (given.size() != keyless.size()) return;
    for (size_t i = 0; i < keyless.size(); i++)
        row_set(PyList_GET_ITEM(rows, keyless[i]), pk_name, from_long(given[i]).get());
}

// A keyed batch's new keys into its rows that lacked one, as took_key does
// for one row.  A single row's key comes as save()'s; a batch's as its
// RETURNING rows: one per row in order where the dialect runs the batch per
// row (PostgreSQL), else from INSERTs of many rows whose rows come in no
// promised order: the keys sorted, those the rows carried taken out, the
// rest given in rising order to the rows without one (keys rise in the order
// the rows are inserted).
static void fill_batch_keys(PyObject* self, PyObject* raw) {
    PyObject* d = E(self)->dict;
    PyObject* rows = d ? dict_get(d, N.instances) : nullptr;
    if (!rows || !PyList_Check(rows)) return;
    PyObject* model = model_of(self);
    Ref pk_name = getattr(model, N.pkName);
    const Py_ssize_t n = PyList_GET_SIZE(rows);
    std::vector<Py_ssize_t> keyless;
    std::vector<long long> own;
    split_keys(rows, pk_name.get(), keyless, own);
    PyObject* key = PyTuple_GET_ITEM(raw, RAW_KEY);
    if (PyLong_Check(key)) {
        const long long id = (long long)to_int64(key);
        if (n == 1 && keyless.size() == 1 && id != 0)
            row_set(PyList_GET_ITEM(rows, 0), pk_name.get(), from_long(id).get());
        return;
    }
    PyObject* got = PyTuple_GET_ITEM(raw, RAW_ROWS);
    if (!PyList_Check(got) || PyList_GET_SIZE(got) != n) return;
    std::vector<long long> keys((size_t)n);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* row = PyList_GET_ITEM(got, i);
        if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) < 1 || !PyLong_Check(PyTuple_GET_ITEM(row, 0))) return;
        keys[(size_t)i] = (long long)to_int64(PyTuple_GET_ITEM(row, 0));
    }
    PyObject* c = ((DBObject*)E(self)->db)->connector;
    if (connector_dialect(I.connector->BaseConnectorType, c).batch_keys == BatchKeys::PerRow) {
        // The generator's order: rows carrying a key first when some hold
        // None for it (two INSERTs), else the rows' own.
        std::vector<Py_ssize_t> order;
        order.reserve((size_t)n);
        for (int pass = 0; pass < 2; pass++)
            for (Py_ssize_t r = 0; r < n; r++) {
                Ref cur = row_get(PyList_GET_ITEM(rows, r), pk_name.get());
                const bool none = !cur || cur.get() == Py_None;
                if (none == (pass == 1)) order.push_back(r);
            }
        for (Py_ssize_t i = 0; i < n; i++) {
            const Py_ssize_t r = order[(size_t)i];
            Ref cur = row_get(PyList_GET_ITEM(rows, r), pk_name.get());
            if ((!cur || !truthy(cur.get())) && keys[(size_t)i] != 0)
                row_set(PyList_GET_ITEM(rows, r), pk_name.get(), from_long(keys[(size_t)i]).get());
        }
        return;
    }
    give_rising_keys(rows, pk_name.get(), keyless, own, keys);
}

// A value of an upsert's target as the database holds it: a returned one
// read as the column reads it first, so both sides compare in one form.
static Ref stored_form(PyObject* col, PyObject* v, bool returned) {
    if (!returned) return new_ref(I.mp->to_db_value(col, v));
    Ref obj = new_ref(I.mp->to_obj_value(col, v));
    return new_ref(I.mp->to_db_value(col, obj.get()));
}

// An upsert's RETURNING rows into its rows, by what identifies a row, never
// by position (a row left alone returns nothing; one that met a stored row
// returns that row's key).  Targeting the key: the rows without one were
// all inserted, and get the keys no row carried, rising in their order.
// Targeting a unique column: each row gets the key returned beside its
// value there (a row holding None in it is inserted, but cannot be told
// apart, and gets none).
static void fill_upsert_keys(PyObject* self, PyObject* got) {
    PyObject* d = E(self)->dict;
    PyObject* rows = d ? dict_get(d, N.instances) : nullptr;
    PyObject* target = d ? dict_get(d, N.conflictColumns) : nullptr;
    if (!rows || !PyList_Check(rows) || !target || !PyTuple_Check(target)) return;
    PyObject* model = model_of(self);
    Ref pk_name = getattr(model, N.pkName);
    Ref pk_col = getattr(model, N.pkCol);
    const Py_ssize_t n = PyList_GET_SIZE(rows);
    if (PyTuple_GET_SIZE(target) == 1 && PyTuple_GET_ITEM(target, 0) == pk_col.get()) {
        std::vector<Py_ssize_t> keyless;
        std::vector<long long> own, keys;
        split_keys(rows, pk_name.get(), keyless, own);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(got); i++) {
            PyObject* row = PyList_GET_ITEM(got, i);
            if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) < 1 || !PyLong_Check(PyTuple_GET_ITEM(row, 0))) return;
            keys.push_back((long long)to_int64(PyTuple_GET_ITEM(row, 0)));
        }
        give_rising_keys(rows, pk_name.get(), keyless, own, keys);
        return;
    }
    // The returned row: the key, then the target's columns other than the key.
    const Py_ssize_t nt = PyTuple_GET_SIZE(target);
    Ref by_value = new_ref(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(got); i++) {
        PyObject* row = PyList_GET_ITEM(got, i);
        if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != nt + 1) return;
        Ref k = new_ref(PyTuple_New(nt));
        for (Py_ssize_t j = 0; j < nt; j++)
            PyTuple_SET_ITEM(k.get(), j,
                             stored_form(PyTuple_GET_ITEM(target, j), PyTuple_GET_ITEM(row, j + 1), true).relinquish());
        Require(PyDict_SetItem(by_value.get(), k.get(), PyTuple_GET_ITEM(row, 0)));
    }
    for (Py_ssize_t r = 0; r < n; r++) {
        PyObject* row = PyList_GET_ITEM(rows, r);
        Ref k = new_ref(PyTuple_New(nt));
        bool whole = true;
        for (Py_ssize_t j = 0; j < nt && whole; j++) {
            PyObject* col = PyTuple_GET_ITEM(target, j);
            Ref v = row_get(row, ((BasePropertyObject*)col)->name);
            whole = v && v.get() != Py_None;
            PyTuple_SET_ITEM(k.get(), j,
                             whole ? stored_form(col, v.get(), false).relinquish() : Ref::owning(Py_None).relinquish());
        }
        if (!whole) continue;
        if (PyObject* key = dict_get(by_value.get(), k.get())) row_set(row, pk_name.get(), key);
    }
}

// What an upsert's result says: the keys, and for one that leaves stored
// rows alone the rows it inserted (its RETURNING rows, or the driver's count
// where it has none: MySQL's affected rows, 1 per row inserted and 0 per
// duplicate left alone).  One that updates writes every row it is given.
static void take_upsert(PyObject* self, PyObject* raw) {
    PyObject* got = PyTuple_GET_ITEM(raw, RAW_ROWS);
    if (X(self)->batch == 2 && PyList_Check(got)) {
        X(self)->written = PyList_GET_SIZE(got);
        fill_upsert_keys(self, got);
        return;
    }
    PyObject* count = PyTuple_GET_ITEM(raw, RAW_COUNT);
    if (PyLong_Check(count)) {
        long long c = PyLong_AsLongLong(count);
        if (c == -1 && PyErr_Occurred()) throw_error();
        X(self)->written = c;
    }
}

Py_ssize_t batch_written(PyObject* self, Py_ssize_t n) {
    if (X(self)->upsert == 2 && X(self)->written >= 0) return (Py_ssize_t)X(self)->written;
    return n;
}

// MySQL's count is of rows changed, not matched: an update writing the
// values a row already holds reports 0, which save() must not read as "no
// such row".
static bool counts_affected(PyObject* self) {
    PyObject* db = E(self)->db;
    if (!db || !PyObject_TypeCheck(db, I.db->DBType)) return false;
    PyObject* c = ((DBObject*)db)->connector;
    return c && !connector_dialect(I.connector->BaseConnectorType, c).counts_matched;
}

// updateWhere/deleteWhere's result: the rows the statement matched
// (SQLite) or changed (MySQL), None where the connector does not tell.
static Ref changed_rows(PyObject* self, PyObject* raw) {
    X(self)->changes = 0;
    PyObject* count = PyTuple_GET_ITEM(raw, RAW_COUNT);
    if (!PyLong_Check(count)) return Ref::owning(Py_None);
    return Ref::owning(count);
}

// What the executor's statement gives its caller, from the raw result the
// connector's core handed up (api/connector.hpp's RawField).  Every road
// (both SQLite connectors, MySQL, a connector's process() handing rows
// over) ends here; the rows themselves are built by Korvid's build_rows.
Ref take_result(PyObject* self, PyObject* raw) {
    if (!PyTuple_CheckExact(raw) || PyTuple_GET_SIZE(raw) != RAW_SIZE) raise_expected("raw result", raw);
    PyObject* sql = E(self)->sql;
    int kind = sql ? ((BaseSqlGeneratorObject*)sql)->kind : SK_NONE;
    if (X(self)->changes && (kind == SK_UPDATE || kind == SK_DELETE)) return changed_rows(self, raw);
    switch (kind) {
        case SK_SELECT: {
            PyObject* rows = PyTuple_GET_ITEM(raw, RAW_ROWS);
            if (counts_or_probes(self)) return scalar_result(self, rows);
            PyObject* model = model_of(self);
            Ref out = new_ref(PyObject_CallNoArgs((PyObject*)I.korvid->InstanceListType));
            GcPause pause(PyList_Check(rows) && PyList_GET_SIZE(rows) >= 512);
            Require(I.korvid->build_rows(model, PyTuple_GET_ITEM(raw, RAW_NAMES), rows, out.get()));
            return shape_result(self, std::move(out));
        }
        case SK_INSERT:
            if (((ExecObject*)self)->batch) {
                if (X(self)->upsert)
                    take_upsert(self, raw);
                else if (((ExecObject*)self)->batch == 2)
                    fill_batch_keys(self, raw);
                return Ref::owning(Py_None);
            }
            return took_key(self, PyTuple_GET_ITEM(raw, RAW_KEY));
        case SK_UPDATE: {
            // The connectors that know it hand over the rows matched.
            PyObject* count = PyTuple_GET_ITEM(raw, RAW_COUNT);
            if (PyLong_CheckExact(count) && !counts_affected(self)) {
                long long n = PyLong_AsLongLong(count);
                if (n == -1 && PyErr_Occurred()) throw_error();
                X(self)->matched = n;
            }
            PyObject* d = E(self)->dict;
            PyObject* inst = d ? dict_get(d, N.instance) : nullptr;
            return Ref::owning(inst ? inst : Py_None);
        }
        default: return Ref::owning(Py_None);
    }
}

static PyObject* api_takeResult(PyObject* self, PyObject* raw) {
    return guard([&] { return take_result(self, raw).relinquish(); });
}

VantrelAPI capi = {
    TAVRIK_VANTREL_API_VERSION, &BaseModelExecutorType, &ModelExecutorType, &AsyncModelExecutorType, api_takeResult,
};

// ------------------------------------------------------------ type slots

static PyObject* bme_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    X(self)->batch = 0;
    X(self)->shape = SHAPE_ROWS;
    X(self)->only = nullptr;
    X(self)->matched = -1;
    X(self)->changes = 0;
    X(self)->upsert = 0;
    X(self)->written = -1;
    return self;
}

static int bme_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return guard_int([&] {
        static const char* const kwlist[] = {"model", "work"};
        PyObject* a[2];
        parse_tuple_kw(KwParams{"__init__", kwlist, 2, 1, 2}, args, kwds, a);
        PyObject* model = a[0];
        PyObject* work = a[1] ? a[1] : Py_None;
        Ref db = new_ref(I.db->get_instance());
        if (db.get() != Py_None && !PyObject_TypeCheck(db.get(), I.db->DBType)) raise_expected("DB", db.get());
        Ref w = Ref::owning(work);
        if (truthy(work)) {
            int has = PyObject_HasAttr(work, N.con);
            if (has) w = getattr(work, N.con);
        }
        Ref gen = new_generator(model);
        Ref d = new_ref(PyDict_New());
        Exec* e = E(self);
        PyObject* old[5] = {e->db, e->model, e->work, e->sql, e->dict};
        e->db = db.get() == Py_None ? nullptr : db.relinquish();
        Py_INCREF(model);
        e->model = model;
        e->executed = 0;
        e->work = w.relinquish();
        e->sql = gen.relinquish();
        e->dict = d.relinquish();
        for (PyObject* o : old) Py_XDECREF(o);
        set_shape(self, SHAPE_ROWS, nullptr);
        return 0;
    });
}

// The executor's public head, then its own field.
using HeadRefs = Refs<BaseModelExecutorObject, NoRefs, &BaseModelExecutorObject::model, &BaseModelExecutorObject::sql,
                      &BaseModelExecutorObject::work, &BaseModelExecutorObject::db, &BaseModelExecutorObject::dict>;
using ExecRefs = Refs<ExecObject, HeadRefs, &ExecObject::only>;

// ------------------------------------------------------------ properties

static PyObject* get_sql(PyObject* self, void*) {
    return guard([&] { return sql_or_none(self).relinquish(); });
}

static int set_sql(PyObject* self, PyObject* value, void*) {
    return guard_int([&] {
        Exec* e = E(self);
        if (!value || value == Py_None) {
            Py_CLEAR(e->sql);
            return 0;
        }
        if (!PyObject_TypeCheck(value, I.gen->SqlGeneratorType)) raise_expected("SqlGenerator", value);
        Py_INCREF(value);
        Py_XSETREF(e->sql, value);
        return 0;
    });
}

static PyGetSetDef bme_getset[] = {
    {"sql", get_sql, set_sql, "当前正在构建的SQL语句生成器", nullptr},
    {"generator", get_sql, nullptr, "当前正在构建的SQL语句生成器（只读）", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------ methods

#define FASTCALL_ARGS PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames

static PyObject* m_reset(PyObject* self, PyObject*) {
    return guard([&] { return executor_reset(self).relinquish(); });
}

static PyObject* m_editSql(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"func"};
        PyObject* a[1];
        bind_args("editSql", args, nargs, kwnames, names, 1, 1, a);
        Ref s = sql_or_none(self);
        call(a[0], s.get());
        return Ref::owning(self).relinquish();
    });
}

static PyObject* m_find(FASTCALL_ARGS) {
    return guard([&] {
        no_kwargs("find", kwnames);
        executor_reset(self);
        Ref cols = new_ref(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; i++) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(cols.get(), i, args[i]);
        }
        Require(I.gen->select(require_sql(self, "select"), cols.get()));
        set_shape(self, SHAPE_ROWS, nullptr);
        return Ref::owning(self).relinquish();
    });
}

// Keyword-only options of the selection operations, after their own
// parameters: forUpdate, orderBy, limit, offset, columns.
static const char* const find_names[] = {"Filter", "forUpdate", "orderBy", "limit", "offset", "columns"};

// A selection's arguments, bound and checked: the filter and the options.
struct FindCall {
    PyObject* filter;
    QueryOptions options;
};

static FindCall bind_find(const char* fname, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* a[6];
    if (nargs > 1) raise_count(Params{fname, find_names, 1, 0}, nargs);
    bind_args(fname, args, nargs, kwnames, find_names, 6, 0, a);
    PyObject* f = a[0] ? a[0] : Py_None;
    check_filter(f, "Filter");
    return FindCall{f, query_options(model_of(self), a[1], a[2], a[3], a[4], a[5])};
}

static PyObject* m_findAllBy(FASTCALL_ARGS) {
    return guard([&] {
        FindCall c = bind_find("findAllBy", self, args, nargs, kwnames);
        return find_all_impl(self, c.filter, c.options).relinquish();
    });
}

static PyObject* m_findOneBy(FASTCALL_ARGS) {
    return guard([&] {
        FindCall c = bind_find("findOneBy", self, args, nargs, kwnames);
        executor_reset(self);
        Ref rows = executor_find_all(self, c.filter, c.options);
        if (rows.get() == Py_None) {
            PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
            throw_error();
        }
        if (!PyList_Check(rows.get())) raise_expected("list", rows.get());
        if (PyList_GET_SIZE(rows.get()) == 1) return Ref::owning(PyList_GET_ITEM(rows.get(), 0)).relinquish();
        PyErr_SetNone(I.QueryResoutIsNotOne);
        throw_error();
    });
}

static PyObject* m_findAnyMatch(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"instance", "limit", "offset", "forUpdate", "orderBy", "columns"};
        PyObject* a[6];
        // forUpdate, orderBy and columns are keyword-only.
        if (nargs > 3) raise_count(Params{"findAnyMatch", names, 3, 1}, nargs);
        bind_args("findAnyMatch", args, nargs, kwnames, names, 6, 1, a);
        PyObject* model = model_of(self);
        check_arg(a[0], I.korvid->ModelInstanceType, "instance", false);
        check_row_of(model, a[0], "instance", false);
        // Row windows are 64-bit: large tables page past 2**31.
        long long limit = a[1] ? (long long)to_int64(a[1]) : 0;
        long long offset = a[2] ? (long long)to_int64(a[2]) : 0;
        QueryOptions o = query_options(model, nullptr, a[4], nullptr, nullptr, a[5]);
        executor_reset(self);
        Ref cols = o.cols ? Ref::owning(o.cols.get()) : getattr(model, N.col);
        PyObject* sql = require_sql(self, "select");
        Require(I.gen->select(sql, cols.get()));
        Ref filter = instance_to_filter(self, a[0]);
        Require(I.gen->where(sql, filter.get()));
        apply_order_window(self, o);
        set_shape(self, SHAPE_ROWS, o.keys.get());
        if (limit > 0) {
            tavrik_paging_fn paging = ((SqlGeneratorHead*)sql)->paging;
            if (!paging) {
                PyErr_SetString(PyExc_TypeError, "the statement generator has no paging member");
                throw_error();
            }
            Require(paging(sql, limit, offset));
        }
        if (a[3] && truthy(a[3])) lock_rows(self);
        return executor_execute(self).relinquish();
    });
}

static PyObject* m_By(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"Filter"};
        PyObject* a[1];
        bind_args("By", args, nargs, kwnames, names, 1, 0, a);
        PyObject* f = a[0] ? a[0] : Py_None;
        check_filter(f, "Filter");
        Require(I.gen->where(require_sql(self, "where"), f));
        return executor_execute(self).relinquish();
    });
}

static PyObject* m_delete(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"instance", "filter"};
        PyObject* a[2];
        bind_args("delete", args, nargs, kwnames, names, 2, 1, a);
        PyObject* instance = a[0];
        PyObject* filter = a[1] ? a[1] : Py_None;
        check_filter(filter, "filter");
        PyObject* model = model_of(self);
        Ref cond;
        if (filter != Py_None) {
            cond = Ref::owning(filter);
        } else {
            // Neither a row nor a filter: nothing says what to delete.
            if (instance == Py_None) {
                PyErr_SetNone(I.DeleteWithOutPrimaryKeyError);
                throw_error();
            }
            if (PyObject_TypeCheck(instance, I.korvid->ModelInstanceType))
                check_row_of(model, instance, "instance", false);
            Ref pk_name = getattr(model, N.pkName);
            Ref pk = getitem(instance, pk_name.get());
            if (!truthy(pk.get())) {
                PyErr_SetNone(I.DeleteWithOutPrimaryKeyError);
                throw_error();
            }
            Ref pk_col = getattr(model, N.pkCol);
            cond = new_ref(PyObject_RichCompare(pk_col.get(), pk.get(), Py_EQ));
        }
        // A statement left over from an earlier run must not add its WHERE
        // to the deletion; an unexecuted one (editSql) is kept.
        executor_reset(self);
        PyObject* sql = require_sql(self, "delete");
        Require(I.gen->delete_from(sql, model));
        Require(I.gen->where(sql, cond.get()));
        return executor_execute(self).relinquish();
    });
}

static PyObject* m_placeholder_instance(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* fname) {
    return guard([&] {
        static const char* const names[] = {"instance"};
        PyObject* a[1];
        bind_args(fname, args, nargs, kwnames, names, 1, 1, a);
        check_arg(a[0], I.korvid->ModelInstanceType, "instance");
        return Ref::owning(Py_None).relinquish();
    });
}
static PyObject* m_save_placeholder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return m_placeholder_instance(args, nargs, kwnames, "save");
}
static PyObject* m_update_placeholder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return m_placeholder_instance(args, nargs, kwnames, "update");
}
static PyObject* m_execute_placeholder(PyObject*, PyObject*) { Py_RETURN_NONE; }

// ---- copying and pickling: the five fields and the attribute dictionary.

static Ref new_like(PyTypeObject* type, PyObject* model, PyObject* sql, PyObject* work, PyObject* db, int executed,
                    PyObject* dict, int shape, PyObject* only) {
    if (!PyType_IsSubtype(type, &BaseModelExecutorType)) raise_expected("BaseModelExecutor", (PyObject*)type);
    if (sql == Py_None) sql = nullptr;
    if (sql && !PyObject_TypeCheck(sql, I.gen->SqlGeneratorType)) raise_expected("SqlGenerator", sql);
    if (db == Py_None) db = nullptr;
    if (db && !PyObject_TypeCheck(db, I.db->DBType)) raise_expected("DB", db);
    if (dict != Py_None && !PyDict_Check(dict)) raise_expected("dict", dict);
    if (shape < SHAPE_ROWS || shape > SHAPE_AGGREGATE) {
        PyErr_Format(PyExc_ValueError, "invalid result shape %d", shape);
        throw_error();
    }
    if (only == Py_None) only = nullptr;
    if (only && !PyTuple_Check(only)) raise_expected("tuple", only);
    Ref obj = new_ref(type->tp_alloc(type, 0));
    Exec* e = E(obj.get());
    ((ExecObject*)obj.get())->batch = 0;
    set_shape(obj.get(), shape, only);
    X(obj.get())->matched = -1;
    X(obj.get())->upsert = 0;
    X(obj.get())->written = -1;
    Py_XINCREF(model);
    e->model = model;
    Py_XINCREF(sql);
    e->sql = sql;
    Py_XINCREF(work);
    e->work = work;
    Py_XINCREF(db);
    e->db = db;
    e->executed = executed;
    e->dict = dict == Py_None ? Require(PyDict_New()) : Require(PyDict_Copy(dict));
    return obj;
}

static PyObject* m_copy(PyObject* self, PyObject*) {
    return guard([&] {
        Exec* e = E(self);
        PyObject* d = instance_dict(self);
        return new_like(Py_TYPE(self), e->model, e->sql ? e->sql : Py_None, e->work, e->db ? e->db : Py_None,
                        e->executed, d, X(self)->shape, X(self)->only)
            .relinquish();
    });
}

static PyObject* m_deepcopy(PyObject* self, PyObject* memo) {
    return guard([&] {
        // The model, the handle and the connection are shared resources; the
        // statement and the attribute dictionary are the executor's own.
        Exec* e = E(self);
        Ref deepcopy = import_attr("copy", "deepcopy");
        Ref sql = Ref::owning(Py_None);
        if (e->sql) {
            PyObject* a[2] = {e->sql, memo};
            sql = new_ref(PyObject_Vectorcall(deepcopy.get(), a, 2, nullptr));
        }
        PyObject* a2[2] = {instance_dict(self), memo};
        Ref d = new_ref(PyObject_Vectorcall(deepcopy.get(), a2, 2, nullptr));
        Ref obj = new_like(Py_TYPE(self), e->model, sql.get(), e->work, e->db ? e->db : Py_None, e->executed, d.get(),
                           X(self)->shape, X(self)->only);
        if (memo && PyDict_Check(memo)) {
            Ref key = new_ref(PyLong_FromVoidPtr(self));
            Require(PyDict_SetItem(memo, key.get(), obj.get()));
        }
        return obj.relinquish();
    });
}

static Immortal rebuild_fn;  // module-level _rebuild, set at init

static PyObject* m_reduce(PyObject* self, PyObject*) {
    return guard([&] {
        Exec* e = E(self);
        // The handle is the process's one DB: it is pickled as a flag and
        // taken from DB.getInstance() again when the executor is rebuilt.
        PyObject* dbflag = e->db ? Py_True : Py_None;
        PyObject* only = X(self)->only ? X(self)->only : Py_None;
        Ref args = new_ref(Py_BuildValue("(OOOOOiOiO)", (PyObject*)Py_TYPE(self), e->model ? e->model : Py_None,
                                         e->sql ? e->sql : Py_None, e->work ? e->work : Py_None, dbflag, e->executed,
                                         instance_dict(self), X(self)->shape, only));
        return Py_BuildValue("(OO)", rebuild_fn.get(), args.get());
    });
}

static PyObject* f_rebuild(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        // The statement's result shape came later: older pickles lack it.
        if (nargs != 7 && nargs != 9)
            raise_arity("_rebuild", nargs < 7 ? "at least" : "at most", nargs < 7 ? 7 : 9, nargs);
        if (!PyType_Check(args[0])) raise_expected("type", args[0]);
        Ref db = Ref::owning(Py_None);
        if (args[4] == Py_True)
            db = new_ref(I.db->get_instance());
        else if (args[4] != Py_None)
            db = Ref::owning(args[4]);
        int executed = Require(PyObject_IsTrue(args[5]));
        int shape = nargs == 9 ? (int)to_int32(args[7]) : SHAPE_ROWS;
        PyObject* only = nargs == 9 ? args[8] : Py_None;
        return new_like((PyTypeObject*)args[0], args[1], args[2], args[3], db.get(), executed, args[6], shape, only)
            .relinquish();
    });
}

PyMethodDef base_methods[] = {
    {"reset", (PyCFunction)m_reset, METH_NOARGS,
     "reset($self, /)\n--\n\n"
     "重置执行器：执行过的语句被新的语句生成器替换"},
    {"editSql", (PyCFunction)(void (*)(void))m_editSql, METH_FASTCALL | METH_KEYWORDS,
     "editSql($self, /, func)\n--\n\n"
     "以语句生成器调用func，返回执行器"},
    {"find", (PyCFunction)(void (*)(void))m_find, METH_FASTCALL | METH_KEYWORDS,
     "find($self, /, *cols)\n--\n\n"
     "开始查询指定的列，返回执行器"},
    {"findAllBy", (PyCFunction)(void (*)(void))m_findAllBy, METH_FASTCALL | METH_KEYWORDS,
     "findAllBy($self, /, Filter=None, *, forUpdate=False, orderBy=None, limit=None, offset=None, columns=None)\n--\n\n"
     "findAllBy(Filter=None, *, forUpdate=False, orderBy=None, limit=None, offset=None, columns=None)\n"
     "按条件查询所有行。forUpdate=True 时为加锁读 (MySQL: SELECT ... FOR UPDATE, 行锁保持到事务结束; aiosqlite: "
     "先开始任务的写事务; 同步SQLite上不改变什么); "
     "orderBy: 列、列名、'-列名'、列.desc()/列.asc()、(列, 'desc') 或它们的列表 (按先后排序; NULL 升序在前, 降序在后); "
     "limit/offset: 最多返回 limit 行, 跳过前 offset 行 (非负64位整数); columns: 只查询这些列 (列或列名), "
     "结果行只含这些列"},
    {"findOneBy", (PyCFunction)(void (*)(void))m_findOneBy, METH_FASTCALL | METH_KEYWORDS,
     "findOneBy($self, /, Filter=None, *, forUpdate=False, orderBy=None, limit=None, offset=None, columns=None)\n--\n\n"
     "按条件查询唯一的一行: 没有结果或多于一行时都抛出 QueryResoutIsNotOne (异步执行器没有结果时为None); "
     "关键字参数同 findAllBy"},
    {"findAnyMatch", (PyCFunction)(void (*)(void))m_findAnyMatch, METH_FASTCALL | METH_KEYWORDS,
     "findAnyMatch($self, /, instance, limit=0, offset=0, *, forUpdate=False, orderBy=None, columns=None)\n--\n\n"
     "查询与实例中已设置的值相符的行; forUpdate, orderBy, columns 同 findAllBy"},
    {"By", (PyCFunction)(void (*)(void))m_By, METH_FASTCALL | METH_KEYWORDS,
     "By($self, /, Filter=None)\n--\n\n"
     "以条件完成当前查询并执行"},
    {"count", (PyCFunction)(void (*)(void))m_count, METH_FASTCALL | METH_KEYWORDS,
     "count($self, /, Filter=None)\n--\n\n"
     "count(Filter=None): 符合条件的行数 (SELECT COUNT(*)); 异步执行器返回可等待对象"},
    {"exists", (PyCFunction)(void (*)(void))m_exists, METH_FASTCALL | METH_KEYWORDS,
     "exists($self, /, Filter=None)\n--\n\n"
     "exists(Filter=None): 是否有符合条件的行 (SELECT 1 ... LIMIT 1); 异步执行器返回可等待对象"},
    {"aggregate", (PyCFunction)(void (*)(void))m_aggregate, METH_FASTCALL | METH_KEYWORDS,
     "aggregate($self, /, cond=None, *, groupBy=None, having=None, orderBy=None, limit=None, **named)\n--\n\n"
     "aggregate(cond=None, *, groupBy=None, having=None, orderBy=None, limit=None, **named): 一条 SELECT ... "
     "GROUP BY; named 为 {结果名: 聚合} (Item.qty.sum(), .avg(), .min(), .max(), .count(distinct=False), "
     "也可对表达式 (Item.price * Item.qty).sum()); groupBy: 分组的列 (列或列名); having: 对聚合的条件 "
     "(Item.qty.sum() > 10); orderBy 同 findAllBy, 也可写结果名 ('-total'); 返回 DictPlus 的列表, 每行含分组列 "
     "(按属性名) 和各结果: count 为 int, min/max/sum 为列的类型 (sum 对整数列为 int, 对 Decimal 列为 Decimal), "
     "avg 为 float (Decimal 列为 Decimal); 没有值时 sum/avg/min/max 为 None; 异步执行器返回可等待对象"},
    {"updateWhere", (PyCFunction)(void (*)(void))m_updateWhere, METH_FASTCALL | METH_KEYWORDS,
     "updateWhere($self, /, cond, values, *, all=False)\n--\n\n"
     "updateWhere(cond, values, *, all=False): 一条 UPDATE ... SET ... WHERE cond; values 为 {列或列名: 值} "
     "(值由列转换; 值也可为列或表达式, 如 {Item.stock: Item.stock - 1}; 主键不可设); cond=None 时须 all=True; 返回行数 "
     "(SQLite: 匹配的行; MySQL: 改变的行); "
     "异步执行器返回可等待对象"},
    {"deleteWhere", (PyCFunction)(void (*)(void))m_deleteWhere, METH_FASTCALL | METH_KEYWORDS,
     "deleteWhere($self, /, cond, *, all=False)\n--\n\n"
     "deleteWhere(cond, *, all=False): 一条 DELETE ... WHERE cond; cond=None 时须 all=True; 返回删除的行数; "
     "异步执行器返回可等待对象"},
    {"delete", (PyCFunction)(void (*)(void))m_delete, METH_FASTCALL | METH_KEYWORDS,
     "delete($self, /, instance, filter=None)\n--\n\n"
     "按主键或条件删除"},
    {"save", (PyCFunction)(void (*)(void))m_save_placeholder, METH_FASTCALL | METH_KEYWORDS,
     "save($self, /, instance)\n--\n\n"},
    {"update", (PyCFunction)(void (*)(void))m_update_placeholder, METH_FASTCALL | METH_KEYWORDS,
     "update($self, /, instance)\n--\n\n"},
    {"execute", (PyCFunction)m_execute_placeholder, METH_NOARGS, "execute($self, /)\n--\n\n"},
    {"__copy__", (PyCFunction)m_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", (PyCFunction)m_deepcopy, METH_O, nullptr},
    {"__reduce__", (PyCFunction)m_reduce, METH_NOARGS, nullptr},
    // ModelExecutor[User] in annotations.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef rebuild_def = {"_rebuild", (PyCFunction)(void (*)(void))f_rebuild, METH_FASTCALL, nullptr};

void set_rebuild(Ref fn) { rebuild_fn = std::move(fn); }

PyTypeObject BaseModelExecutorType = gc_type<ExecRefs>("Tavrik.Model.Vantrel.BaseModelExecutor", sizeof(ExecObject));

void ready_base_type() {
    BaseModelExecutorType =
        with_slots(BaseModelExecutorType,
                   {"BaseModelExecutor(model, work=None)\n--\n\n"
                    "\n    模型执行器基类\n    保存正在构建的语句，提供查询操作，并把查询结果转换为模型实例\n",
                    base_methods, bme_getset, bme_init, bme_new});
    BaseModelExecutorType.tp_dictoffset = offsetof(BaseModelExecutorObject, dict);
}

}  // namespace vantrel
}  // namespace tavrik
