// ModelExecutor: related-object loading on the calling thread, the methods
// (save and update run the plan of saveplan.cpp), plus the validation and
// statement builders both flavours share.
#include "args.hpp"
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

static void validate_items(PyObject* model, PyObject* items, int mode, PyObject* seen) {
    Ref it = new_ref(PyObject_GetIter(items));
    while (Ref item = Ref::consuming_nullable(PyIter_Next(it.get()))) validate_row(model, item.get(), mode, false, seen);
    if (PyErr_Occurred()) throw_error();
}

static void validate_mtm_keys(PyObject* fk, PyObject* items, PyObject* seen) {
    Ref far = getattr(fk, N.directTarget);
    Ref middle = getattr(fk, N.middleModel);
    Ref owner = getattr(fk, N.owner);
    Ref other = call_method1(middle.get(), N.getOtherFkBy, owner.get());
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
    if (!save) require_pk(model, row);
    if (!root) {
        Ref cols = getattr(model, N.col);
        Ref fast = new_ref(PySequence_Fast(cols.get(), "col must be a sequence"));
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
    Ref fast = new_ref(PySequence_Fast(fks.get(), "fk must be a sequence"));
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(fast.get()); i < n; i++) {
        PyObject* fk = PySequence_Fast_GET_ITEM(fast.get(), i);
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
                validate_mtm_keys(fk, v.get(), seen);
            else {
                validate_items(far.get(), v.get(), VM_UPDATE, seen);
                validate_mtm_keys(fk, v.get(), seen);
            }
        }
    }
}

void validate_tree(PyObject* model, PyObject* row, int mode) {
    Ref seen = new_ref(PyDict_New());
    validate_row(model, row, mode, true, seen.get());
}

// ------------------------------------------------------------ statement builders

bool build_insert(PyObject* self, PyObject* instance, PyObject* update_cells) {
    executor_reset(self);
    // A batch built but never run (an un-awaited saveAll) leaves its mark:
    // this statement is a single row, whose new id is wanted.
    X(self)->batch = 0;
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
    if (PyList_GET_SIZE(cells.get()) == 0) return false;
    PyObject* sql = E(self)->sql;
    if (!sql) raise_none_attr("insert");
    Ref ins = call_method1(sql, N.insert, model);
    call_method_seq(ins.get(), N.values, cells.get());
    return true;
}

// The UPDATE of `instance` by its key `pk`, setting `cells`.
static void begin_update(PyObject* self, PyObject* model, PyObject* pk, PyObject* cells) {
    PyObject* sql = E(self)->sql;
    if (!sql) raise_none_attr("update");
    Ref upd = new_ref(I.gen->update_statement(sql, model));
    Ref setres = call_method_seq(upd.get(), N.set, cells);
    Ref pk_col = getattr(model, N.pkCol);
    Ref cond = new_ref(PyObject_RichCompare(pk_col.get(), pk, Py_EQ));
    call_method1(setres.get(), N.where, cond.get());
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

// Batch insertion: one INSERT for many rows.  The column list is every column
// that some row sets (as for save); a row that leaves one of them
// unset gets the column's declared default, or NULL, as a single save would
// have got from the table.
Py_ssize_t build_batch(PyObject* self, PyObject* instances) {
    PyObject* model = model_of(self);
    Ref rows = new_ref(PySequence_List(instances));
    Py_ssize_t nrows = PyList_GET_SIZE(rows.get());
    for (Py_ssize_t r = 0; r < nrows; r++) {
        PyObject* row = PyList_GET_ITEM(rows.get(), r);
        check_row_of(model, row, "instances", true);
    }
    if (nrows == 0) return 0;
    Ref cols = getattr(model, N.col);
    Ref fast = new_ref(PySequence_Fast(cols.get(), "col must be a sequence"));
    Py_ssize_t ncols = PySequence_Fast_GET_SIZE(fast.get());
    std::vector<char> used((size_t)ncols, 0);
    for (Py_ssize_t r = 0; r < nrows; r++) {
        PyObject* row = PyList_GET_ITEM(rows.get(), r);
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
            if (bp->hasDefault && bp->defaultValue &&
                !PyObject_TypeCheck(bp->defaultValue, I.mp->AutoIncrementType) &&
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
    PyObject* sql = E(self)->sql;
    if (!sql) raise_none_attr("insert");
    Ref ins = new_ref(I.gen->insert_values(sql, model, used_cols.get(), params.get()));
    ((ExecObject*)self)->batch = 1;
    return nrows;
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

struct LoadArgs {
    bool deep;
    PyObject* path;  // dict
    long clevel;
    long level;
    PyObject* before;  // str or None
    PyObject* rels;  // dict: relation descriptor -> its resolved members, for one search
};

// What the loader reads of a relation descriptor, read once per search: the
// descriptor's members are computed properties (they resolve models named by
// string), and a list of a thousand rows would otherwise read them a thousand
// times.
enum RelField { RF_DIRECT, RF_DIRECT_TABLE, RF_NAME, RF_BIND_NAME, RF_TYPE, RF_COUNT };

static PyObject* relation_of(const LoadArgs& la, PyObject* fk) {
    if (PyObject* hit = dict_get(la.rels, fk)) return hit;
    Ref direct = getattr(fk, N.directTarget);
    Ref direct_table = getattr(direct.get(), N.tableName);
    Ref name = getattr(fk, N.name);
    Ref bind_name = col_name_of(fk, N.bindCol);
    Ref type = fk_type(fk);
    Ref rel = new_ref(PyTuple_Pack(RF_COUNT, direct.get(), direct_table.get(), name.get(), bind_name.get(), type.get()));
    Require(PyDict_SetItem(la.rels, fk, rel.get()));
    return rel.get();  // held by la.rels
}

// What a query along the relation needs, read when the first query is made
// (a relation never queried is never asked for these): for a many-to-many
// relation the owner's table, the far model's reverse descriptor and the
// junction column holding the owner's key; for the others the target, its
// table, the target's binding column and its name, and the target's key name.
enum QueryField { QF_A, QF_B, QF_C, QF_D, QF_E, QF_COUNT };

static PyObject* relation_query(const LoadArgs& la, PyObject* fk, PyObject* rel) {
    Ref key = new_ref(PyTuple_Pack(2, fk, Py_None));
    if (PyObject* hit = dict_get(la.rels, key.get())) return hit;
    Ref q;
    if (eq(PyTuple_GET_ITEM(rel, RF_TYPE), I.MTM)) {
        Ref owner = getattr(fk, N.owner);
        Ref owner_table = getattr(owner.get(), N.tableName);
        Ref rev = getattr(PyTuple_GET_ITEM(rel, RF_DIRECT), owner_table.get());
        Ref middle = getattr(fk, N.middleModel);
        Ref jname = new_ref(PyUnicode_FromFormat("%U_id", owner_table.get()));
        Ref jcol = getattr(middle.get(), jname.get());
        q = new_ref(PyTuple_Pack(QF_COUNT, owner_table.get(), rev.get(), jcol.get(), Py_None, Py_None));
    } else {
        Ref target = getattr(fk, N.target);
        Ref target_table = getattr(target.get(), N.tableName);
        Ref tbc = getattr(fk, N.targetBindCol);
        Ref tbn = getattr(tbc.get(), N.name);
        Ref tpk = getattr(target.get(), N.pkName);
        q = new_ref(PyTuple_Pack(QF_COUNT, target.get(), target_table.get(), tbc.get(), tbn.get(), tpk.get()));
    }
    Require(PyDict_SetItem(la.rels, key.get(), q.get()));
    return q.get();  // held by la.rels
}

static Ref ffk(PyObject* self, PyObject* instance, const LoadArgs& la);

static Ref new_sync_executor(PyObject* model) {
    Ref ex = call_method0(model, N.getExecutor);
    if (!PyObject_TypeCheck(ex.get(), &ModelExecutorType))
        raise_cannot_convert(ex.get(), "Tavrik.Model.Vantrel.ModelExecutor");
    return ex;
}

// Levels count from the top of a search (1).  A search the caller starts at
// another level c is taken to be at level c + 1, so that with clevel=2 and
// level=3 the row's relations are loaded and the rows below are not.
static long start_level(long clevel) { return clevel == 1 ? clevel : clevel + 1; }

static bool is_search_level(PyObject* clevel) { return clevel && Py_TYPE(clevel) == (PyTypeObject*)I.search_level.get(); }

static bool loads_here(PyObject* ex) {
    if (Py_TYPE(ex) == &ModelExecutorType) return true;
    return PyObject_TypeCheck(ex, &ModelExecutorType) &&
           _PyType_Lookup(Py_TYPE(ex), N.findForeignKey) == _PyType_Lookup(&ModelExecutorType, N.findForeignKey);
}

static void nested(PyObject* ex, PyObject* item, const LoadArgs& la, PyObject* before) {
    LoadArgs sub{true, la.path, la.clevel + 1, la.level, before ? before : Py_None, la.rels};
    if (loads_here(ex)) {
        ffk(ex, item, sub);
        return;
    }
    // An override is called with the row's level marked as one inside the
    // search, so that its call back here takes it as it is.
    Ref cl = new_ref(PyObject_CallFunction(I.search_level, "l", sub.clevel));
    Ref lv = from_long(sub.level);
    Ref kw = new_ref(Py_BuildValue("(OOOOO)", N.deep.get(), N.path.get(), N.clevel.get(), N.level.get(), N.before.get()));
    PyObject* a[6] = {item, Py_True, la.path, cl.get(), lv.get(), sub.before};
    call_method(ex, N.findForeignKey, a, 1, kw.get());
}

static Ref model_of_row(PyObject* row) { return getattr((PyObject*)Py_TYPE(row), N.object); }

static Ref ffk(PyObject* self, PyObject* instance, const LoadArgs& la) {
    PyObject* model = model_of(self);
    Ref table_name = getattr(model, N.tableName);
    if (la.deep) {
        // Levels count from the root (clevel 1); rows beyond `level` are
        // left as they are.
        if (la.clevel > la.level) return Ref::owning(Py_None);
        Ref pk_name = getattr(model, N.pkName);
        Ref key = row_item(instance, pk_name.get());
        Ref entry = new_ref(PyDict_New());
        Require(PyDict_SetItem(entry.get(), key.get(), instance));
        Require(PyDict_SetItem(la.path, table_name.get(), entry.get()));
    }
    Ref fks = getattr(model, N.fk);
    Ref fast = new_ref(PySequence_Fast(fks.get(), "fk must be a sequence"));
    for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(fast.get()); i < n; i++) {
        PyObject* fk = PySequence_Fast_GET_ITEM(fast.get(), i);
        Ref rel = borrow(relation_of(la, fk));
        Ref direct = borrow(PyTuple_GET_ITEM(rel.get(), RF_DIRECT));
        if (la.before != Py_None && eq(PyTuple_GET_ITEM(rel.get(), RF_DIRECT_TABLE), la.before)) continue;
        Ref name = borrow(PyTuple_GET_ITEM(rel.get(), RF_NAME));
        Ref key = row_item(instance, PyTuple_GET_ITEM(rel.get(), RF_BIND_NAME));
        // An unset binding value relates to nothing (querying `= NULL` would
        // pick up unrelated rows).
        if (key.get() == Py_None) continue;
        Ref type = borrow(PyTuple_GET_ITEM(rel.get(), RF_TYPE));
        if (eq(type.get(), I.MTM)) {
            // Many-to-many lists are cached per relation, apart from the
            // registered rows of the far table, whose keys mean something else.
            Ref q = borrow(relation_query(la, fk, rel.get()));
            PyObject* owner_table = PyTuple_GET_ITEM(q.get(), QF_A);
            Ref ckey = new_ref(PyTuple_Pack(2, owner_table, name.get()));
            PyObject* cache = dict_get(la.path, ckey.get());
            if (cache && PyDict_Check(cache)) {
                PyObject* hit = dict_get(cache, key.get());
                if (hit) {
                    Ref msg = text_of({utf8("当前外键").get(), name.get(), utf8("已经查询过").get()});
                    call1(I.log_info, msg.get());
                    row_set(instance, name.get(), hit);
                    continue;
                }
            }
            Ref ex = new_sync_executor(direct.get());
            PyObject* sql = E(ex.get())->sql;
            if (!sql) raise_none_attr("join");
            call_method1(sql, N.join, PyTuple_GET_ITEM(q.get(), QF_B));
            Ref cond = new_ref(PyObject_RichCompare(PyTuple_GET_ITEM(q.get(), QF_C), key.get(), Py_EQ));
            Ref res = executor_find_all(ex.get(), cond.get());
            row_set(instance, name.get(), res.get());
            if (!cache || !PyDict_Check(cache)) {
                Ref fresh = new_ref(PyDict_New());
                Require(PyDict_SetItem(la.path, ckey.get(), fresh.get()));
                cache = fresh.get();
            }
            Require(PyDict_SetItem(cache, key.get(), res.get()));
            if (la.deep && Require(PyObject_Length(res.get())) > 0) {
                Ref first = new_ref(PySequence_GetItem(res.get(), 0));
                Ref m = model_of_row(first.get());
                Ref ex2 = new_sync_executor(m.get());
                Ref it = new_ref(PyObject_GetIter(res.get()));
                while (Ref item = Ref::consuming_nullable(PyIter_Next(it.get())))
                    nested(ex2.get(), item.get(), la, table_name.get());
                if (PyErr_Occurred()) throw_error();
            }
            continue;
        }
        Ref q = borrow(relation_query(la, fk, rel.get()));
        Ref target = borrow(PyTuple_GET_ITEM(q.get(), QF_A));
        PyObject* target_table = PyTuple_GET_ITEM(q.get(), QF_B);
        bool oto = eq(type.get(), I.OTO);
        if (oto && target.get() != model) {
            // Registered rows are keyed by their primary key, so only a
            // relation that binds to the target's primary key can use them.
            PyObject* cache = dict_get(la.path, target_table);
            if (cache && PyDict_Check(cache) &&
                eq(PyTuple_GET_ITEM(q.get(), QF_D), PyTuple_GET_ITEM(q.get(), QF_E))) {
                PyObject* hit = dict_get(cache, key.get());
                if (hit) {
                    row_set(instance, name.get(), hit);
                    continue;
                }
            }
        }
        Ref ex = new_sync_executor(target.get());
        Ref cond = new_ref(PyObject_RichCompare(PyTuple_GET_ITEM(q.get(), QF_C), key.get(), Py_EQ));
        Ref res = executor_find_all(ex.get(), cond.get());
        Py_ssize_t len = Require(PyObject_Length(res.get()));
        if (len == 0) continue;
        Ref first = new_ref(PySequence_GetItem(res.get(), 0));
        if (oto) {
            row_set(instance, name.get(), first.get());
            if (la.deep) {
                Ref m = model_of_row(first.get());
                Ref ex2 = new_sync_executor(m.get());
                nested(ex2.get(), first.get(), la, table_name.get());
            }
        } else if (eq(type.get(), I.OTM)) {
            Ref m = model_of_row(first.get());
            Ref ex2 = new_sync_executor(m.get());
            row_set(instance, name.get(), res.get());
            if (la.deep) {
                Ref it = new_ref(PyObject_GetIter(res.get()));
                while (Ref item = Ref::consuming_nullable(PyIter_Next(it.get())))
                    nested(ex2.get(), item.get(), la, nullptr);
                if (PyErr_Occurred()) throw_error();
            }
        }
    }
    return Ref::owning(instance);
}

// Checks and normalises the loader arguments; returns the path to use.
static Ref load_args(const char* fname, PyObject* const* a, LoadArgs& la) {
    PyObject* path = a[2] ? a[2] : Py_None;
    PyObject* before = a[5] ? a[5] : Py_None;
    check_arg_exact_or_sub(path, PyDict_Check(path), "path", "dict");
    check_str_arg(before, "before");
    la.clevel = a[3] ? (long)to_int32(a[3]) : 1;
    la.level = a[4] ? (long)to_int32(a[4]) : 3;
    la.deep = a[1] ? truthy(a[1]) : false;
    la.before = before;
    Ref p = path == Py_None ? new_ref(PyDict_New()) : Ref::owning(path);
    la.path = p.get();
    return p;
}

// The per-search cache of resolved relations; kept alive by the caller.
static Ref new_relations(LoadArgs& la) {
    Ref rels = new_ref(PyDict_New());
    la.rels = rels.get();
    return rels;
}

static const char* const load_names[] = {"instance", "deep", "path", "clevel", "level", "before"};

static PyObject* m_findForeignKey(FASTCALL_ARGS) {
    return guard([&] {
        PyObject* a[6];
        bind_args("findForeignKey", args, nargs, kwnames, load_names, 6, 1, a);
        check_arg(a[0], I.korvid->ModelInstanceType, "instance", false);
        LoadArgs la;
        Ref keep = load_args("findForeignKey", a, la);
        Ref rels = new_relations(la);
        check_row_of(model_of(self), a[0], "instance", false);
        if (la.deep && !is_search_level(a[3])) la.clevel = start_level(la.clevel);
        return ffk(self, a[0], la).relinquish();
    });
}

static PyObject* m_findListForeignKey(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"instances", "deep", "path", "clevel", "level", "before"};
        PyObject* a[6];
        bind_args("findListForeignKey", args, nargs, kwnames, names, 6, 1, a);
        check_arg(a[0], I.korvid->InstanceListType, "instances");
        LoadArgs la;
        Ref keep = load_args("findListForeignKey", a, la);
        Ref rels = new_relations(la);
        if (a[0] == Py_None) Py_RETURN_NONE;
        // Every item is loaded in depth, all with one shared path.
        la.deep = true;
        la.before = Py_None;
        Ref items = new_ref(PySequence_List(a[0]));
        const long clevel = la.clevel;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            if (loads_here(self)) {
                check_arg(item, I.korvid->ModelInstanceType, "instance", false);
                la.clevel = start_level(clevel);
                ffk(self, item, la);
            } else {
                Ref cl = from_long(la.clevel);
                Ref lv = from_long(la.level);
                Ref kw = new_ref(Py_BuildValue("(OOOO)", N.deep.get(), N.path.get(), N.clevel.get(), N.level.get()));
                PyObject* ca[5] = {item, Py_True, la.path, cl.get(), lv.get()};
                call_method(self, N.findForeignKey, ca, 1, kw.get());
            }
        }
        Py_RETURN_NONE;
    });
}

// ------------------------------------------------------------ Python-facing

static PyObject* m_execute(PyObject* self, PyObject*) {
    return guard([&] { return sync_execute(self).relinquish(); });
}

// The connector of the executor's handle when it runs transactions on the
// caller's thread (the synchronous SQLite connector), else NULL.
static PyObject* transaction_connector(PyObject* self) {
    PyObject* db = ((BaseModelExecutorObject*)self)->db;
    if (!db || !PyObject_TypeCheck(db, I.db->DBType)) return nullptr;
    PyObject* connector = ((DBObject*)db)->connector;
    if (!connector || !PyObject_TypeCheck(connector, I.connector->Sqlite3ConnectorType)) return nullptr;
    return connector;
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

static PyObject* m_save(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"instance"};
        PyObject* a[1];
        bind_args("save", args, nargs, kwnames, names, 1, 1, a);
        return in_transaction(self, [&] { return run_plan(self, OP_SAVE, a); }).relinquish();
    });
}

static PyObject* m_update(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"instance"};
        PyObject* a[1];
        bind_args("update", args, nargs, kwnames, names, 1, 1, a);
        return in_transaction(self, [&] { return run_plan(self, OP_UPDATE, a); }).relinquish();
    });
}

static PyObject* m_saveOTO(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"res", "fk", "instance"};
        PyObject* a[3];
        bind_args("_saveOTO", args, nargs, kwnames, names, 3, 3, a);
        return run_plan(self, OP_SAVE_OTO, a).relinquish();
    });
}

static PyObject* m_saveOTM(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"fk", "instance"};
        PyObject* a[2];
        bind_args("_saveOTM", args, nargs, kwnames, names, 2, 2, a);
        return run_plan(self, OP_SAVE_OTM, a).relinquish();
    });
}

static PyObject* m_saveMTM(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"fk", "instance"};
        PyObject* a[2];
        bind_args("_saveMTM", args, nargs, kwnames, names, 2, 2, a);
        return run_plan(self, OP_SAVE_MTM, a).relinquish();
    });
}

// After a batch has run, its statement (a cell and a parameter tuple per
// row) is dropped at once rather than kept until the next operation: it can
// hold hundreds of thousands of objects for the collector to walk.
void end_batch(PyObject* self) {
    ((ExecObject*)self)->batch = 0;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* r = guard([&] { return executor_reset(self).relinquish(); });
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
    PyErr_Restore(t, v, tb);
}

static PyObject* m_saveAll(FASTCALL_ARGS) {
    return guard([&] {
        static const char* const names[] = {"instances"};
        PyObject* a[1];
        bind_args("saveAll", args, nargs, kwnames, names, 1, 1, a);
        GcPause pause;
        Py_ssize_t n = build_batch(self, a[0]);
        if (n == 0) return from_long(0).relinquish();
        try {
            executor_execute(self);
        } catch (...) {
            end_batch(self);
            throw;
        }
        end_batch(self);
        return from_long(n).relinquish();
    });
}

PyMethodDef sync_methods[] = {
    {"execute", (PyCFunction)m_execute, METH_NOARGS, "把当前语句交给数据库执行"},
    {"save", (PyCFunction)(void (*)(void))m_save, METH_FASTCALL | METH_KEYWORDS, "插入实例及其关联对象，已存在时改为更新"},
    {"update", (PyCFunction)(void (*)(void))m_update, METH_FASTCALL | METH_KEYWORDS, "按主键更新实例及其关联对象"},
    {"_saveOTO", (PyCFunction)(void (*)(void))m_saveOTO, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_saveOTM", (PyCFunction)(void (*)(void))m_saveOTM, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_saveMTM", (PyCFunction)(void (*)(void))m_saveMTM, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"saveAll", (PyCFunction)(void (*)(void))m_saveAll, METH_FASTCALL | METH_KEYWORDS,
     "以一条INSERT语句批量插入实例，返回写入的行数"},
    {"findForeignKey", (PyCFunction)(void (*)(void))m_findForeignKey, METH_FASTCALL | METH_KEYWORDS, "查询实例的关联对象"},
    {"findListForeignKey", (PyCFunction)(void (*)(void))m_findListForeignKey, METH_FASTCALL | METH_KEYWORDS,
     "查询实例列表中每个实例的关联对象"},
    {"prefetch", (PyCFunction)(void (*)(void))executor_prefetch, METH_FASTCALL | METH_KEYWORDS,
     "以每个关系每层一条语句 (按参数上限分块) 加载实例列表的关联对象, 结果与 findListForeignKey 相同; "
     "返回传入的列表"},
    {nullptr},
};

PyTypeObject ModelExecutorType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "Tavrik.Model.Vantrel.ModelExecutor", /* tp_name */
    sizeof(ExecObject),                                                     /* tp_basicsize */
};

void ready_sync_type() {
    PyTypeObject* t = &ModelExecutorType;
    // GC support (flag, traverse, clear) is inherited from the base type.
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t->tp_doc = "\n    同步模型执行器\n    在调用线程上执行语句\n";
    t->tp_base = &BaseModelExecutorType;
    t->tp_methods = sync_methods;
}

}  // namespace vantrel
}  // namespace tavrik
