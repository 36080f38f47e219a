// Batched loading of related rows: prefetch(rows, level) fills every row of a
// list as findListForeignKey does, with one statement per relation and level
// (chunked) instead of one per owner and relation.
//
// The work is a plan that does no I/O of its own (plan.hpp): each step is
// one statement (text, parameters) on the executor's connector, and the
// step's result is its rows; the plan ends once every row is filled.
// ModelExecutor.prefetch runs it in run_now; AsyncModelExecutor.prefetch
// hands it to the coroutine that drives save and load plans too.
//
// Two passes.  The statements go breadth first: every level asks, per
// relation, for the keys met on the rows fetched one level up (a key already
// fetched is not asked again).  Then the rows are stitched depth first in the
// very order findListForeignKey visits them, with its cache of registered
// rows and many-to-many lists, so the same rows end up in the same places;
// where it would have queried a key a second time it gets fresh row objects,
// built again from the fetched values.
#include "args.hpp"
#include "plan.hpp"
#include "relation.hpp"
#include "vantrel.hpp"

#include <tavrik/sqltext.hpp>

#include <memory>
#include <string>
#include <vector>

namespace tavrik {
namespace vantrel {

namespace {

// Below the smallest bound-parameter limit of the drivers (SQLite builds
// before 3.32 take 999).  MariaDB also turns an IN list of 1000 values or
// more into a join with a temporary table.
constexpr Py_ssize_t kChunk = 900;

Immortal g_relations;  // descriptor -> capsule(Relation*)

void relation_free(PyObject* capsule) { delete (Relation*)PyCapsule_GetPointer(capsule, "tavrik.relation"); }

Py_ssize_t model_stamp() {
    PyObject* korvid = I.korvid->korvid_class();
    if (!korvid) return 0;
    Ref list = getattr((PyObject*)Py_TYPE(korvid), N.ModelList);
    return PyList_Check(list.get()) ? PyList_GET_SIZE(list.get()) : 0;
}

// The capsule holding the descriptor's Relation; the caller keeps it, so the
// Relation outlives a newer one replacing it in the cache meanwhile.
Ref relation_of(PyObject* fk, Py_ssize_t stamp) {
    if (!g_relations) g_relations = new_ref(PyDict_New());
    if (PyObject* cap = dict_get(g_relations, fk)) {
        auto* r = (Relation*)PyCapsule_GetPointer(cap, "tavrik.relation");
        if (!r) throw_error();
        if (r->stamp == stamp) return Ref::owning(cap);
    }
    std::unique_ptr<Relation> r(new Relation());
    r->stamp = stamp;
    read_relation(*r, fk);
    Ref cap = new_ref(PyCapsule_New(r.get(), "tavrik.relation", relation_free));
    r.release();
    Require(PyDict_SetItem(g_relations, fk, cap.get()));
    return cap;
}

Ref model_cols(PyObject* model) {
    Ref c = getattr(model, N.col);
    return new_ref(PySequence_Tuple(c.get()));
}

// What its statements need besides (once).
void resolve_statement(Relation* r) {
    if (r->statement_ready) return;
    resolve_query(*r);
    if (r->kind == RK_MTM) {
        // A junction's rows come back in the junction's own order.
        Ref jpk = getattr(r->middle.get(), N.pkCol);
        r->order = jpk.get() == Py_None ? new_ref(PyTuple_Pack(1, r->key_col.get()))
                                        : new_ref(PyTuple_Pack(2, r->key_col.get(), jpk.get()));
    } else {
        // Each owner's rows in the order of the target's primary key, as the
        // per-owner query reads them through the binding column's index.
        Ref tpk_col = getattr(r->target.get(), N.pkCol);
        r->order = r->pk_bound || tpk_col.get() == Py_None ? new_ref(PyTuple_Pack(1, r->key_col.get()))
                                                           : new_ref(PyTuple_Pack(2, r->key_col.get(), tpk_col.get()));
    }
    if (!PyObject_TypeCheck(r->key_col.get(), I.mp->BasePropertyType)) raise_expected("BaseProperty", r->key_col.get());
    r->cols = model_cols(r->far.get());
    Py_ssize_t n = PyTuple_GET_SIZE(r->cols.get());
    r->names = new_ref(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* c = PyTuple_GET_ITEM(r->cols.get(), i);
        if (!PyObject_TypeCheck(c, I.mp->BasePropertyType)) raise_expected("BaseProperty", c);
        PyObject* nm = ((BasePropertyObject*)c)->name;
        if (!nm) nm = Py_None;
        Py_INCREF(nm);
        PyTuple_SET_ITEM(r->names.get(), i, nm);
    }
    r->statement_ready = true;
}

struct ModelInfo;

// One relation within one load.
struct RelState {
    Relation* rel;
    Ref cap;  // keeps `rel` alive
    Ref fk;
    ModelInfo* owner;
    ModelInfo* far_info = nullptr;
    // dict: key (as the far rows hold it) -> None (no rows), the rows'
    // InstanceList (False once taken), or [InstanceList or None, raw rows]
    // where the raw rows are kept.
    Ref fetched;
    Ref pending;    // dict: key -> the owner's value, to ask for at this level
    Ref fresh;      // list: rows fetched at this level, whose relations the next level asks for
    Ref mtm_cache;  // many-to-many lists already given out, by owner key
    // Some key may be asked for more than once (a repeated key, or owners
    // that are themselves handed out twice): the raw rows are then kept to
    // build the second set from.
    bool repeated = false;
};

struct ModelInfo {
    Ref model, table, pk_name;
    std::vector<RelState*> rels;
};

struct Group {
    ModelInfo* info;
    Ref before;        // table name or None
    Ref rows;          // list
    RelState* source;  // the relation that fetched the rows (none for the given rows)
};

struct Statement {
    RelState* rs;
    Ref keys;  // list of owner values
};

struct Registered {
    Ref table, key, row;
};

class Plan {
public:
    static constexpr const char* name = "Tavrik.Model.Vantrel._PrefetchPlan";
    static constexpr const char* doc = "关联对象批量加载的计划: 每一步是连接器上的一条语句, 其结果是语句的行";
    static constexpr const char* throw_doc =
        "throw($self, error, /)\n--\n\nThe last step's error; ends the load with it.";
    static constexpr const char* close_doc = "close($self, /)\n--\n\nEnds the load, dropping what it holds.";

    // `connector` runs the statements, on `work` (None: the connector's choice).
    Plan(PyObject* model, PyObject* rows, long level, PyObject* connector, PyObject* work, PyObject* result)
        : level_(level),
          dialect_(&dialect_of(connector)),
          connector_(Ref::owning(connector)),
          work_(Ref::owning(work)),
          result_(Ref::owning(result)) {
        stamp_ = model_stamp();
        mtm_caches_ = new_ref(PyDict_New());
        root_ = info_for(model);
        Ref list = new_ref(PySequence_List(rows));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++)
            check_row_of(model, PyList_GET_ITEM(list.get(), i), "rows", false);
        roots_ = list;
        frontier_.push_back(Group{root_, Ref::owning(Py_None), roots_, nullptr});
    }

    // The plan protocol (plan.hpp).  A statement's error ends the load.
    bool next() {
        if (err_) err_.raise();
        // Handed over: the plan may free the fetched rows as it builds.
        statement_ = step(std::move(rows_));
        return statement_.get() != Py_None;
    }
    PyObject* run() {
        return guard([&] {
            PyObject* st = statement_.get();
            PyObject* a[4] = {PyTuple_GET_ITEM(st, 0), work_.get(), Py_False, PyTuple_GET_ITEM(st, 1)};
            // By name: a user's connector subclass may override execute.
            return call_method_args(connector_.get(), N.execute, a, 4).relinquish();
        });
    }
    void give(Ref rows) { rows_ = std::move(rows); }
    void give_error() { err_.fetch(); }
    void give_error(PyObject* exc) { err_.take(exc); }
    Ref result() const { return result_; }

    int traverse(visitproc visit, void* arg) const {
        for (const Ref* r : {&connector_, &work_, &result_, &mtm_caches_, &roots_, &statement_, &rows_})
            if (int e = visit_ref(*r, visit, arg)) return e;
        for (const auto& i : infos_)
            for (const Ref* r : {&i->model, &i->table, &i->pk_name})
                if (int e = visit_ref(*r, visit, arg)) return e;
        for (const auto& rs : states_)
            for (const Ref* r : {&rs->cap, &rs->fk, &rs->fetched, &rs->pending, &rs->fresh, &rs->mtm_cache})
                if (int e = visit_ref(*r, visit, arg)) return e;
        for (const Group& g : frontier_)
            for (const Ref* r : {&g.before, &g.rows})
                if (int e = visit_ref(*r, visit, arg)) return e;
        for (const Statement& st : queue_)
            if (int e = visit_ref(st.keys, visit, arg)) return e;
        for (const Registered& reg : registered_)
            for (const Ref* r : {&reg.table, &reg.key, &reg.row})
                if (int e = visit_ref(*r, visit, arg)) return e;
        return err_.traverse(visit, arg);
    }

private:
    // The rows of the statement handed out last (NULL at the start); returns
    // the next statement, or None when the load is complete.
    Ref step(Ref rows) {
        if (done_) {
            PyErr_SetString(PyExc_RuntimeError, "prefetch plan already complete");
            throw_error();
        }
        if (current_ >= 0) {
            if (!rows || rows.get() == Py_None) raise_expected("rows", rows ? rows.get() : Py_None);
            feed(queue_[(size_t)current_], std::move(rows));
            current_ = -1;
        }
        while (next_ >= queue_.size()) {
            if (!advance()) {
                stitch();
                done_ = true;
                return Ref::owning(Py_None);
            }
        }
        current_ = (Py_ssize_t)next_;
        return render(queue_[next_++]);
    }

    long level_;
    const Dialect* dialect_;  // the connector's: how its driver reads the text
    Ref connector_, work_;
    Ref result_;
    Ref statement_;  // the statement handed out last
    Ref rows_;       // its rows, until the plan takes them
    Failure err_;
    Py_ssize_t stamp_;
    Ref mtm_caches_;
    Ref roots_;
    ModelInfo* root_;
    std::vector<std::unique_ptr<ModelInfo>> infos_;
    std::vector<std::unique_ptr<RelState>> states_;
    std::vector<Group> frontier_;
    std::vector<Statement> queue_;
    size_t next_ = 0;
    Py_ssize_t current_ = -1;
    long cur_level_ = 0;
    bool done_ = false;
    std::vector<Registered> registered_;

    ModelInfo* info_for(PyObject* model) {
        for (auto& i : infos_)
            if (i->model.get() == model) return i.get();
        infos_.emplace_back(new ModelInfo());
        ModelInfo* info = infos_.back().get();
        info->model = Ref::owning(model);
        info->table = getattr(model, N.tableName);
        info->pk_name = getattr(model, N.pkName);
        Ref fks = getattr(model, N.fk);
        Ref fast = new_ref(PySequence_Fast(fks.get(), "fk must be a sequence"));
        for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(fast.get()); i < n; i++) {
            PyObject* fk = PySequence_Fast_GET_ITEM(fast.get(), i);
            states_.emplace_back(new RelState());
            RelState* rs = states_.back().get();
            rs->cap = relation_of(fk, stamp_);
            rs->rel = (Relation*)PyCapsule_GetPointer(rs->cap.get(), "tavrik.relation");
            rs->fk = Ref::owning(fk);
            rs->owner = info;
            rs->fetched = new_ref(PyDict_New());
            rs->pending = new_ref(PyDict_New());
            rs->fresh = new_ref(PyList_New(0));
            info->rels.push_back(rs);
        }
        return info;
    }

    ModelInfo* far_info(RelState* rs) {
        if (!rs->far_info) {
            resolve_statement(rs->rel);
            rs->far_info = info_for(rs->rel->far.get());
        }
        return rs->far_info;
    }

    // The key as the fetched rows hold it: the value the database compares,
    // read back as the column reads it.
    Ref normal_key(Relation* r, PyObject* key) {
        PyObject* col = r->key_col.get();
        int kind = ((BasePropertyObject*)col)->kind;
        if (PyLong_CheckExact(key) && (kind == PK_INT || kind == PK_BIGINT)) return Ref::owning(key);
        if (PyUnicode_CheckExact(key) && (kind == PK_STR || kind == PK_TEXT)) return Ref::owning(key);
        Ref db = new_ref(I.mp->to_db_value(col, key));
        return new_ref(I.mp->to_obj_value(col, db.get()));
    }

    // A key column's value as fetched, read as the column reads it.
    Ref read_key(Relation* r, PyObject* raw) {
        PyObject* col = r->key_col.get();
        int kind = ((BasePropertyObject*)col)->kind;
        if (PyLong_CheckExact(raw) && (kind == PK_INT || kind == PK_BIGINT)) return Ref::owning(raw);
        return new_ref(I.mp->to_obj_value(col, raw));
    }

    // Whether two keys are one dictionary key, answered without the
    // dictionary for the usual exact ints and strings (else: not known).
    static bool same_key(PyObject* a, PyObject* b) {
        if (a == b) return true;
        if (Py_TYPE(a) != Py_TYPE(b)) return false;
        if (PyLong_CheckExact(a)) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(a, &overflow);
            if (overflow) return false;
            long long y = PyLong_AsLongLongAndOverflow(b, &overflow);
            if (overflow || x != y) return false;
            return !(x == -1 && PyErr_Occurred());
        }
        if (PyUnicode_CheckExact(a)) return PyUnicode_Compare(a, b) == 0;
        return false;
    }

    // Collects this level's keys and queues their statements; false when
    // nothing is left to load.
    bool advance() {
        if (cur_level_ > 0) {
            // The rows fetched at the level just done are the next frontier.
            frontier_.clear();
            for (auto& s : states_) {
                RelState* rs = s.get();
                if (PyList_GET_SIZE(rs->fresh.get()) == 0) continue;
                Ref before = Ref::owning(rs->rel->kind == RK_OTM ? Py_None : rs->owner->table.get());
                frontier_.push_back(Group{rs->far_info, before, rs->fresh, rs});
                rs->fresh = new_ref(PyList_New(0));
            }
        }
        cur_level_++;
        queue_.clear();
        next_ = 0;
        if (cur_level_ > level_ || frontier_.empty()) return false;
        std::vector<RelState*> order;
        for (Group& g : frontier_) {
            for (RelState* rs : g.info->rels) {
                Relation* r = rs->rel;
                if (r->kind == RK_OTHER) continue;
                if (g.before.get() != Py_None && eq(r->direct_table.get(), g.before.get())) continue;
                PyObject* rows = g.rows.get();
                bool any = false;
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); i++) {
                    Ref key = row_get(PyList_GET_ITEM(rows, i), r->bind_name.get());
                    // An unset binding value relates to nothing.
                    if (!key || key.get() == Py_None) continue;
                    if (!any) {
                        far_info(rs);
                        any = true;
                        // Owners handed out twice ask for their keys twice.
                        if (g.source && g.source->repeated) rs->repeated = true;
                    }
                    Ref norm = normal_key(r, key.get());
                    if (Require(PyDict_Contains(rs->fetched.get(), norm.get()))) {
                        rs->repeated = true;
                        continue;
                    }
                    if (PyDict_GET_SIZE(rs->pending.get()) == 0) order.push_back(rs);
                    const Py_ssize_t before_n = PyDict_GET_SIZE(rs->pending.get());
                    if (!PyDict_SetDefault(rs->pending.get(), norm.get(), key.get())) throw_error();
                    if (PyDict_GET_SIZE(rs->pending.get()) == before_n) rs->repeated = true;
                }
            }
        }
        for (RelState* rs : order) {
            Ref keys = new_ref(PyList_New(0));
            PyObject *norm, *key;
            Py_ssize_t pos = 0;
            while (PyDict_Next(rs->pending.get(), &pos, &norm, &key)) {
                Require(PyDict_SetItem(rs->fetched.get(), norm, Py_None));
                Require(PyList_Append(keys.get(), key));
                if (dialect_->key_list == KeyList::InChunks && PyList_GET_SIZE(keys.get()) == kChunk) {
                    queue_.push_back(Statement{rs, keys});
                    keys = new_ref(PyList_New(0));
                }
            }
            if (PyList_GET_SIZE(keys.get())) queue_.push_back(Statement{rs, keys});
            PyDict_Clear(rs->pending.get());
        }
        return true;
    }

    Ref render(const Statement& st) {
        Relation* r = st.rs->rel;
        Ref gen = new_generator(r->far.get());
        Ref cols = r->cols;
        if (r->kind == RK_MTM) {
            // The junction's owner column rides along after the far columns.
            Py_ssize_t n = PyTuple_GET_SIZE(r->cols.get());
            cols = new_ref(PyTuple_New(n + 1));
            for (Py_ssize_t i = 0; i < n; i++) {
                PyObject* c = PyTuple_GET_ITEM(r->cols.get(), i);
                Py_INCREF(c);
                PyTuple_SET_ITEM(cols.get(), i, c);
            }
            Py_INCREF(r->key_col.get());
            PyTuple_SET_ITEM(cols.get(), n, r->key_col.get());
        }
        Require(I.gen->select(gen.get(), cols.get()));
        if (r->kind == RK_MTM) Require(I.gen->join(gen.get(), r->rev.get()));
        // One array parameter where the database takes one: a statement per
        // relation and level, whatever the number of keys.
        Ref cond =
            new_ref(dialect_->key_list == KeyList::AnyArray ? I.mp->filter_in_array(r->key_col.get(), st.keys.get())
                                                            : I.mp->filter_in(r->key_col.get(), st.keys.get()));
        Require(I.gen->where(gen.get(), cond.get()));
        Require(I.gen->order_by(gen.get(), r->order.get()));
        Ref pair = new_ref(I.gen->statement_pair_in(gen.get(), dialect_->id));
        if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) raise_expected("tuple", pair.get());
        // The statements go through the connector's execute(), which takes
        // "%s" placeholders; a driver that formats the text with `%` must
        // still find every `%` inside a quoted name doubled.
        if (!dialect_->percent_formatting) return pair;
        Ref t = rewrite_statement(PyTuple_GET_ITEM(pair.get(), 0), *dialect_);
        return new_ref(PyTuple_Pack(2, t.get(), PyTuple_GET_ITEM(pair.get(), 1)));
    }

    // Rows are built a slice at a time: when the fetched rows are ours
    // alone and no raw row is kept, each slice's tuples are freed before the
    // next slice is built, and the rows reuse their memory.
    static constexpr Py_ssize_t kSlice = 256;

    void feed(const Statement& st, Ref rows) {
        RelState* rs = st.rs;
        Relation* r = rs->rel;
        PyObject* seq = rows.get();
        if (!PyTuple_CheckExact(seq) && !PyList_CheckExact(seq)) {
            rows = new_ref(PySequence_List(seq));
            seq = rows.get();
        }
        const bool is_tuple = PyTuple_CheckExact(seq);
        const Py_ssize_t n = is_tuple ? PyTuple_GET_SIZE(seq) : PyList_GET_SIZE(seq);
        // Only a key asked for again needs its rows built a second time, and
        // a key can be asked for again at a later level too.
        const bool keep_raws = rs->repeated || cur_level_ < level_;
        const bool release = !keep_raws && Py_REFCNT(seq) == 1;
        const bool next_level = cur_level_ < level_;  // the rows' own relations are loaded too
        GcPause pause(n >= 512);
        const Py_ssize_t width = PyTuple_GET_SIZE(r->names.get());
        // The rows come ordered by their owner's key: a row mostly goes to
        // the bucket of the row before it.
        Ref last_key;
        PyObject* last_bucket = nullptr;
        for (Py_ssize_t start = 0; start < n; start += kSlice) {
            const Py_ssize_t m = n - start < kSlice ? n - start : kSlice;
            Ref raws = new_ref(PyList_New(m));
            for (Py_ssize_t i = 0; i < m; i++) {
                PyObject** slot = is_tuple ? &PyTuple_GET_ITEM(seq, start + i) : &PyList_GET_ITEM(seq, start + i);
                PyObject* raw = *slot;
                if (release) {
                    // Moved, not copied: the slot no longer holds the row.
                    Py_INCREF(Py_None);
                    *slot = Py_None;
                } else {
                    Py_INCREF(raw);
                }
                PyList_SET_ITEM(raws.get(), i, raw);
            }
            Ref built = new_ref(PyList_New(0));
            Require(I.korvid->build_rows(r->far.get(), r->names.get(), raws.get(), built.get()));
            if (PyList_GET_SIZE(built.get()) != m) raise_expected("rows", built.get());
            for (Py_ssize_t i = 0; i < m; i++) {
                PyObject* row = PyList_GET_ITEM(built.get(), i);
                PyObject* raw = PyList_GET_ITEM(raws.get(), i);
                Ref owner_key;
                if (r->kind == RK_MTM) {
                    if (!PyTuple_Check(raw) || PyTuple_GET_SIZE(raw) <= width) raise_expected("tuple", raw);
                    PyObject* v = PyTuple_GET_ITEM(raw, width);
                    owner_key = v == Py_None ? Ref::owning(Py_None) : read_key(r, v);
                } else {
                    owner_key = row_get(row, r->tbn.get());
                    if (!owner_key) continue;
                }
                PyObject* bucket = nullptr;
                if (last_bucket && same_key(last_key.get(), owner_key.get()))
                    bucket = last_bucket;
                else
                    bucket = dict_get(rs->fetched.get(), owner_key.get());
                if (!bucket || bucket == Py_None) {
                    Ref b = new_ref(PyObject_CallNoArgs((PyObject*)I.korvid->InstanceListType));
                    if (keep_raws) {
                        Ref pair = new_ref(PyList_New(2));
                        PyList_SET_ITEM(pair.get(), 0, b.relinquish());
                        PyList_SET_ITEM(pair.get(), 1, Require(PyList_New(0)));
                        b = std::move(pair);
                    }
                    Require(PyDict_SetItem(rs->fetched.get(), owner_key.get(), b.get()));
                    bucket = b.get();
                }
                if (PyList_CheckExact(bucket)) {
                    Require(PyList_Append(PyList_GET_ITEM(bucket, 0), row));
                    Require(PyList_Append(PyList_GET_ITEM(bucket, 1), raw));
                } else {
                    Require(PyList_Append(bucket, row));
                }
                last_key = owner_key;
                last_bucket = bucket;  // held by rs->fetched, which only grows here
            }
            if (next_level) {
                Py_ssize_t f = PyList_GET_SIZE(rs->fresh.get());
                Require(PyList_SetSlice(rs->fresh.get(), f, f, built.get()));
            }
        }
    }

    // What the per-owner query for `key` would return: the fetched rows the
    // first time, rows built afresh from the same values after that.
    Ref take(RelState* rs, PyObject* key) {
        Relation* r = rs->rel;
        Ref norm = normal_key(r, key);
        PyObject* bucket = dict_get(rs->fetched.get(), norm.get());
        if (!bucket) {
            PyErr_Format(PyExc_RuntimeError, "prefetch: rows of %R for key %R were not fetched", r->name.get(), key);
            throw_error();
        }
        if (bucket == Py_None) return new_ref(PyObject_CallNoArgs((PyObject*)I.korvid->InstanceListType));
        if (!PyList_CheckExact(bucket)) {
            if (bucket == Py_False) {
                PyErr_Format(PyExc_RuntimeError, "prefetch: rows of %R for key %R were not kept", r->name.get(), key);
                throw_error();
            }
            Ref res = Ref::owning(bucket);
            Require(PyDict_SetItem(rs->fetched.get(), norm.get(), Py_False));
            return res;
        }
        PyObject* first = PyList_GET_ITEM(bucket, 0);
        if (first != Py_None) {
            Ref res = Ref::owning(first);
            Py_INCREF(Py_None);
            PyList_SetItem(bucket, 0, Py_None);
            return res;
        }
        PyObject* raws = PyList_GET_ITEM(bucket, 1);
        Ref out = new_ref(PyObject_CallNoArgs((PyObject*)I.korvid->InstanceListType));
        GcPause pause(PyList_GET_SIZE(raws) >= 512);
        Require(I.korvid->build_rows(r->far.get(), r->names.get(), raws, out.get()));
        return out;
    }

    Registered* registered(PyObject* table) {
        for (Registered& e : registered_)
            if (eq(e.table.get(), table)) return &e;
        return nullptr;
    }

    void register_row(ModelInfo* info, PyObject* row) {
        Ref key = row_item(row, info->pk_name.get());
        if (PyObject_Hash(key.get()) == -1) throw_error();
        if (Registered* e = registered(info->table.get())) {
            e->key = key;
            e->row = Ref::owning(row);
            return;
        }
        registered_.push_back(Registered{info->table, key, Ref::owning(row)});
    }

    PyObject* mtm_cache(RelState* rs) {
        if (!rs->mtm_cache) {
            // Shared by relations of one owner table and name, as the
            // per-owner search shares them.
            Ref ckey = new_ref(PyTuple_Pack(2, rs->owner->table.get(), rs->rel->name.get()));
            PyObject* c = dict_get(mtm_caches_.get(), ckey.get());
            if (!c) {
                Ref fresh = new_ref(PyDict_New());
                Require(PyDict_SetItem(mtm_caches_.get(), ckey.get(), fresh.get()));
                c = fresh.get();
            }
            rs->mtm_cache = Ref::owning(c);
        }
        return rs->mtm_cache.get();
    }

    void stitch() {
        GcPause pause;
        PyObject* rows = roots_.get();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); i++) {
            Ref row = Ref::owning(PyList_GET_ITEM(rows, i));
            stitch_row(root_, row.get(), 1, Py_None);
        }
    }

    void stitch_row(ModelInfo* info, PyObject* row, long clevel, PyObject* before) {
        if (clevel > level_) return;
        if (Py_EnterRecursiveCall(" while filling related rows")) throw_error();
        struct Leave {
            ~Leave() { Py_LeaveRecursiveCall(); }
        } leave;
        register_row(info, row);
        for (RelState* rs : info->rels) {
            Relation* r = rs->rel;
            if (before != Py_None && eq(r->direct_table.get(), before)) continue;
            if (r->kind == RK_OTHER) continue;
            Ref key = row_get(row, r->bind_name.get());
            if (!key || key.get() == Py_None) continue;
            if (r->kind == RK_MTM) {
                PyObject* cache = mtm_cache(rs);
                if (PyObject* hit = dict_get(cache, key.get())) {
                    Ref keep = Ref::owning(hit);
                    Ref msg = text_of({utf8("当前外键").get(), r->name.get(), utf8("已经查询过").get()});
                    call(I.log_info, msg.get());
                    row_set(row, r->name.get(), hit);
                    continue;
                }
                Ref res = take(rs, key.get());
                row_set(row, r->name.get(), res.get());
                Require(PyDict_SetItem(cache, key.get(), res.get()));
                ModelInfo* fi = far_info(rs);
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(res.get()); i++) {
                    Ref item = Ref::owning(PyList_GET_ITEM(res.get(), i));
                    stitch_row(fi, item.get(), clevel + 1, info->table.get());
                }
                continue;
            }
            ModelInfo* fi = far_info(rs);
            if (r->kind == RK_OTO && r->target.get() != info->model.get() && r->pk_bound) {
                // A row registered by the search stands in for the query.
                Registered* e = registered(r->target_table.get());
                if (e && eq(e->key.get(), key.get())) {
                    Ref hit = e->row;
                    row_set(row, r->name.get(), hit.get());
                    continue;
                }
            }
            Ref res = take(rs, key.get());
            if (PyList_GET_SIZE(res.get()) == 0) continue;
            if (r->kind == RK_OTO) {
                Ref first = Ref::owning(PyList_GET_ITEM(res.get(), 0));
                row_set(row, r->name.get(), first.get());
                stitch_row(fi, first.get(), clevel + 1, info->table.get());
            } else {
                row_set(row, r->name.get(), res.get());
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(res.get()); i++) {
                    Ref item = Ref::owning(PyList_GET_ITEM(res.get(), i));
                    stitch_row(fi, item.get(), clevel + 1, Py_None);
                }
            }
        }
    }
};

// ------------------------------------------------------------ Python-facing

PyObject* connector_of(PyObject* self) {
    PyObject* db = E(self)->db;
    if (!db || db == Py_None) raise_none_attr("connector");
    if (!PyObject_TypeCheck(db, I.db->DBType)) raise_expected("DB", db);
    PyObject* c = ((DBObject*)db)->connector;
    if (!c) raise_none_attr("execute");
    return c;
}

// The connection the statements run on: the executor's work when it has one.
PyObject* work_of(PyObject* self) {
    PyObject* w = E(self)->work;
    return w && truthy(w) ? w : Py_None;
}

std::unique_ptr<Plan> new_plan(PyObject* self, PyObject* const* a) {
    PyObject* connector = connector_of(self);
    Ref keep = borrow(connector);
    long level = a[1] ? (long)to_int32(a[1]) : 3;
    if (a[0] == Py_None) raise_arg_type("rows", "list of rows", a[0]);
    return std::unique_ptr<Plan>(new Plan(model_of(self), a[0], level, connector, work_of(self), a[0]));
}

const char* const kNames[] = {"rows", "level"};

}  // namespace

PyObject* executor_prefetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[2];
        bind_args("prefetch", args, nargs, kwnames, kNames, 2, 1, a);
        // The collector is paused while rows are built and stitched, never
        // while a statement runs (other threads go on meanwhile).
        std::unique_ptr<Plan> plan = new_plan(self, a);
        return run_now(*plan).relinquish();
    });
}

PyObject* executor_prefetch_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        PyObject* a[2];
        bind_args("prefetch", args, nargs, kwnames, kNames, 2, 1, a);
        Ref plan = PlanType<Plan>::wrap(new_plan(self, a));
        return drive_async(plan.get()).relinquish();
    });
}

void install_prefetch() { PlanType<Plan>::ready(); }

}  // namespace vantrel
}  // namespace tavrik
