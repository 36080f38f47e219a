// Related-object loading, one algorithm for both executors (see loadplan.hpp).
#include "loadplan.hpp"

#include "args.hpp"

#include <memory>

namespace tavrik {
namespace vantrel {

namespace {

Ref model_of_row(PyObject* row) { return getattr((PyObject*)Py_TYPE(row), N.object); }

// Levels count from the top of a search (1).  A search the caller starts at
// another level c is taken to be at level c + 1, so that with clevel=2 and
// level=3 the row's relations are loaded and the rows below are not.
long start_level(long clevel) { return clevel == 1 ? clevel : clevel + 1; }

bool is_search_level(PyObject* clevel) { return clevel && Py_TYPE(clevel) == (PyTypeObject*)I.search_level.get(); }

}  // namespace

LoadPlan::LoadPlan(const Road& road, PyObject* self) : road_(road), self_(Ref::owning(self)) {}

void LoadPlan::bind(PyObject* const* a, bool list) {
    if (list)
        check_arg(a[0], I.korvid->InstanceListType, "instances");
    else
        check_arg(a[0], I.korvid->ModelInstanceType, "instance", false);
    PyObject* path = a[2] ? a[2] : Py_None;
    PyObject* before = a[5] ? a[5] : Py_None;
    check_arg_exact_or_sub(path, PyDict_Check(path), "path", "dict");
    check_str_arg(before, "before");
    long clevel = a[3] ? (long)to_int32(a[3]) : 1;
    level_ = a[4] ? (long)to_int32(a[4]) : 3;
    bool deep = a[1] ? truthy(a[1]) : false;
    path_ = path == Py_None ? new_ref(PyDict_New()) : Ref::owning(path);
    result_ = Ref::owning(Py_None);
    if (list) {
        // Every item is loaded in depth, all with the one path; `deep` and
        // `before` are not used.
        if (a[0] != Py_None) roots_ = new_ref(PySequence_List(a[0]));
        list_clevel_ = clevel;
        return;
    }
    check_row_of(model_of(self_.get()), a[0], "instance", false);
    // A level handed down by a running search (to an override, which calls
    // back here) is taken as it is.
    if (deep && !is_search_level(a[3])) clevel = start_level(clevel);
    root_ = Ref::owning(a[0]);
    root_deep_ = deep;
    root_clevel_ = clevel;
    root_before_ = Ref::owning(before);
}

// Starts on a row: registers it in the path when the search is deep, unless
// it lies beyond the level bound, where nothing is loaded (false).
bool LoadPlan::enter(PyObject* ex, PyObject* row, bool deep, long clevel, PyObject* before) {
    PyObject* model = model_of(ex);
    Ref table = getattr(model, N.tableName);
    if (deep) {
        if (clevel > level_) return false;
        Ref pk_name = getattr(model, N.pkName);
        Ref key = row_item(row, pk_name.get());
        Ref entry = new_ref(PyDict_New());
        Require(PyDict_SetItem(entry.get(), key.get(), row));
        Require(PyDict_SetItem(path_.get(), table.get(), entry.get()));
    }
    Ref fks = getattr(model, N.fk);
    Frame f;
    f.ex = Ref::owning(ex);
    f.row = Ref::owning(row);
    f.table = std::move(table);
    f.fks = new_ref(PySequence_Fast(fks.get(), "fk must be a sequence"));
    f.deep = deep;
    f.clevel = clevel;
    f.before = Ref::owning(before);
    stack_.push_back(std::move(f));
    return true;
}

bool LoadPlan::next() {
    if (thrown_) {
        drop_step();
        Ref exc = std::move(thrown_);
        PyErr_SetObject((PyObject*)Py_TYPE(exc.get()), exc.get());
        throw_error();
    }
    if (err_) {
        drop_step();
        err_.raise();
    }
    if (step_ != NONE) {
        PyErr_SetString(PyExc_RuntimeError, "the loader's last call has not been given its result");
        throw_error();
    }
    if (root_) {
        Ref row = std::move(root_);
        if (enter(self_.get(), row.get(), root_deep_, root_clevel_, root_before_.get())) result_ = std::move(row);
        root_before_.reset();
    }
    for (;;) {
        if (stack_.empty()) {
            if (!roots_ || root_i_ >= PyList_GET_SIZE(roots_.get())) return false;
            Ref row = Ref::owning(PyList_GET_ITEM(roots_.get(), root_i_));
            root_i_++;
            if (loads_here(self_.get())) {
                check_arg(row.get(), I.korvid->ModelInstanceType, "instance", false);
                check_row_of(model_of(self_.get()), row.get(), "instance", false);
                enter(self_.get(), row.get(), true, start_level(list_clevel_), Py_None);
                continue;
            }
            set_load(self_.get(), row.get(), from_long(list_clevel_), nullptr);
            return true;
        }
        Frame& f = stack_.back();
        if (f.nested) {
            Ref row = Ref::consuming_nullable(PyIter_Next(f.nested.get()));
            if (!row) {
                if (PyErr_Occurred()) throw_error();
                f.nested.reset();
                f.nested_ex.reset();
                f.nested_before.reset();
                continue;
            }
            // enter() may move the frames: what it needs is taken first.
            Ref ex = f.nested_ex;
            Ref before = f.nested_before;
            long clevel = f.clevel + 1;
            if (loads_here(ex.get())) {
                enter(ex.get(), row.get(), true, clevel, before.get());
                continue;
            }
            // An override is called with the row's level marked as one
            // inside the search, so that its call back here takes it as it is.
            set_load(ex.get(), row.get(), new_ref(PyObject_CallFunction(I.search_level, "l", clevel)), before.get());
            return true;
        }
        if (f.next >= PySequence_Fast_GET_SIZE(f.fks.get())) {
            stack_.pop_back();
            continue;
        }
        PyObject* fk = PySequence_Fast_GET_ITEM(f.fks.get(), f.next);
        f.next++;
        if (ask(f, fk)) return true;
    }
}

// One relation of the frame's row: answered from the path or skipped
// (false), or its query becomes the next step (true).
bool LoadPlan::ask(Frame& f, PyObject* fk) {
    Relation* rel = relation(fk);
    if (f.before.get() != Py_None && eq(rel->direct_table.get(), f.before.get())) return false;
    PyObject* name = rel->name.get();
    PyObject* bind = rel->bind_name.get();
    Ref key = road_.skip_absent_binding ? row_get(f.row.get(), bind) : row_item(f.row.get(), bind);
    // An unset binding value relates to nothing (querying `= NULL` would
    // pick up unrelated rows).
    if (!key || key.get() == Py_None) return false;
    resolve_query(*rel);
    Ref ex;
    Ref cache_key;
    if (rel->kind == RK_MTM) {
        // Many-to-many lists are cached per relation, apart from the
        // registered rows of the far table, whose keys mean something else.
        cache_key = new_ref(PyTuple_Pack(2, rel->owner_table.get(), name));
        PyObject* cache = dict_get(path_.get(), cache_key.get());
        if (cache && PyDict_Check(cache)) {
            if (PyObject* found = dict_get(cache, key.get())) {
                Ref hit = Ref::owning(found);
                Ref msg = text_of({utf8("当前外键").get(), name, utf8("已经查询过").get()});
                call(I.log_info, msg.get());
                if (road_.wrap_cached_list && !PyList_Check(hit.get())) {
                    Ref one = new_ref(PyList_New(1));
                    PyList_SET_ITEM(one.get(), 0, hit.relinquish());
                    hit = std::move(one);
                }
                row_set(f.row.get(), name, hit.get());
                return false;
            }
        }
        ex = executor_for(f, rel->direct.get());
        if (!E(ex.get())->sql) raise_none_attr("join");
        step_join_ = rel->rev;
    } else {
        PyObject* target = rel->target.get();
        if (rel->kind == RK_OTO && target != model_of(f.ex.get())) {
            // Registered rows are keyed by their primary key, so only a
            // relation that binds to the target's primary key can use them.
            // A relation of a model to itself is always queried.
            PyObject* cache = dict_get(path_.get(), rel->target_table.get());
            if (cache && PyDict_Check(cache) && rel->pk_bound) {
                if (PyObject* found = dict_get(cache, key.get())) {
                    Ref hit = Ref::owning(found);
                    row_set(f.row.get(), name, hit.get());
                    return false;
                }
            }
        }
        ex = executor_for(f, target);
    }
    step_arg_ = new_ref(PyObject_RichCompare(rel->key_col.get(), key.get(), Py_EQ));
    step_ex_ = std::move(ex);
    step_ = FIND_ALL;
    f.rel = rel;
    f.key = std::move(key);
    f.cache_key = std::move(cache_key);
    return true;
}

PyObject* LoadPlan::run() {
    return guard([&] { return make_call().relinquish(); });
}

Ref LoadPlan::make_call() {
    if (step_ == FIND_ALL) {
        if (step_join_) {
            PyObject* sql = E(step_ex_.get())->sql;
            if (!sql) raise_none_attr("join");
            Require(I.gen->join(sql, step_join_.get()));
        }
        return executor_find_all(step_ex_.get(), step_arg_.get());
    }
    if (step_ != LOAD) {
        PyErr_SetString(PyExc_RuntimeError, "the loader has no call to make");
        throw_error();
    }
    Ref lv = from_long(level_);
    PyObject* a[6] = {step_arg_.get(), Py_True, path_.get(), step_clevel_.get(), lv.get(), step_before_.get()};
    Ref kw = step_before_ ? new_ref(Py_BuildValue("(OOOOO)", N.deep.get(), N.path.get(), N.clevel.get(), N.level.get(),
                                                  N.before.get()))
                          : new_ref(Py_BuildValue("(OOOO)", N.deep.get(), N.path.get(), N.clevel.get(), N.level.get()));
    return call_method_args(step_ex_.get(), N.findForeignKey, a, 1, kw.get());
}

void LoadPlan::take(PyObject* res) {
    Step s = step_;
    drop_step();
    // An overriding findForeignKey filled its row itself; what it returns
    // is not used.
    if (s != FIND_ALL || stack_.empty()) return;
    Frame& f = stack_.back();
    PyObject* name = f.rel->name.get();
    Ref key = std::move(f.key);
    if (f.cache_key) {
        Ref cache_key = std::move(f.cache_key);
        row_set(f.row.get(), name, res);
        PyObject* cache = dict_get(path_.get(), cache_key.get());
        if (!cache || !PyDict_Check(cache)) {
            Ref fresh = new_ref(PyDict_New());
            Require(PyDict_SetItem(path_.get(), cache_key.get(), fresh.get()));
            cache = fresh.get();  // held by the path
        }
        Require(PyDict_SetItem(cache, key.get(), res));
        if (f.deep && truthy(res)) {
            Ref first = new_ref(PySequence_GetItem(res, 0));
            continue_into(f, res, first.get(), f.table.get());
        }
        return;
    }
    if (!truthy(res)) return;  // no row: the entry is left as it was
    Ref first = new_ref(PySequence_GetItem(res, 0));
    if (f.rel->kind == RK_OTO) {
        // Further rows are ignored.
        row_set(f.row.get(), name, first.get());
        if (f.deep) {
            Ref one = new_ref(PyTuple_Pack(1, first.get()));
            continue_into(f, one.get(), first.get(), f.table.get());
        }
    } else if (f.rel->kind == RK_OTM) {
        Ref ex = executor_for(f, model_of_row(first.get()).get());
        row_set(f.row.get(), name, res);
        if (f.deep) {
            f.nested = new_ref(PyObject_GetIter(res));
            f.nested_ex = std::move(ex);
            f.nested_before = Ref::owning(Py_None);
        }
    }
}

// The loaded rows are continued into in depth, all through the executor of
// the first row's model.
void LoadPlan::continue_into(Frame& f, PyObject* rows, PyObject* first, PyObject* before) {
    Ref ex = executor_for(f, model_of_row(first).get());
    f.nested = new_ref(PyObject_GetIter(rows));
    f.nested_ex = std::move(ex);
    f.nested_before = Ref::owning(before);
}

Ref LoadPlan::executor_for(const Frame& f, PyObject* model) const {
    Ref ex;
    if (road_.callers_work) {
        PyObject* work = E(f.ex.get())->work;
        ex = call_method(model, N.getExecutor, work ? work : Py_None);
    } else {
        ex = call_method(model, N.getExecutor);
    }
    if (!PyObject_TypeCheck(ex.get(), road_.own)) raise_cannot_convert(ex.get(), road_.own_name);
    return ex;
}

// Whether `ex` loads with this very algorithm (no override of findForeignKey
// between), so that its rows are continued here instead of through a call.
bool LoadPlan::loads_here(PyObject* ex) const {
    PyTypeObject* t = road_.own;
    if (Py_TYPE(ex) == t) return true;
    if (!PyObject_TypeCheck(ex, t)) return false;
    Ref mine = getattr((PyObject*)Py_TYPE(ex), N.findForeignKey);
    Ref own = getattr((PyObject*)t, N.findForeignKey);
    return mine.get() == own.get();
}

Relation* LoadPlan::relation(PyObject* fk) {
    for (const auto& r : rels_)
        if (r->fk.get() == fk) return r.get();
    std::unique_ptr<Relation> r(new Relation());
    read_relation(*r, fk);
    rels_.push_back(std::move(r));
    return rels_.back().get();
}

void LoadPlan::set_load(PyObject* ex, PyObject* row, Ref clevel, PyObject* before) {
    step_ = LOAD;
    step_ex_ = Ref::owning(ex);
    step_arg_ = Ref::owning(row);
    step_clevel_ = std::move(clevel);
    step_before_ = Ref::owning(before);
}

void LoadPlan::drop_step() {
    step_ = NONE;
    step_ex_.reset();
    step_arg_.reset();
    step_join_.reset();
    step_clevel_.reset();
    step_before_.reset();
}

Ref LoadPlan::result() const { return result_ ? result_ : Ref::owning(Py_None); }

int LoadPlan::traverse(visitproc visit, void* arg) const {
    for (const auto& rel : rels_)
        if (int v = rel->traverse(visit, arg)) return v;
    for (const Ref* r : {&self_, &path_, &root_, &root_before_, &result_, &roots_, &step_ex_, &step_arg_, &step_join_,
                         &step_clevel_, &step_before_, &thrown_}) {
        if (int v = visit_ref(*r, visit, arg)) return v;
    }
    for (const Frame& f : stack_) {
        for (const Ref* r : {&f.ex, &f.row, &f.table, &f.fks, &f.before, &f.key, &f.cache_key, &f.nested, &f.nested_ex,
                             &f.nested_before}) {
            if (int v = visit_ref(*r, visit, arg)) return v;
        }
    }
    return err_.traverse(visit, arg);
}

Ref load_now(PyObject* self, PyObject* const* a, bool list) {
    LoadPlan plan(sync_road, self);
    plan.bind(a, list);
    return run_now(plan);
}

namespace {

// (executor, is_list, instance, deep, path, clevel, level, before) -> a plan
// of the asynchronous road, its arguments checked.
PyObject* h_load_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        if (nargs != 8) raise_arity("_v_load_plan", "exactly", 8, nargs);
        PyObject* self = args[0];
        if (!PyObject_TypeCheck(self, &AsyncModelExecutorType))
            raise_cannot_convert(self, "Tavrik.Model.Vantrel.AsyncModelExecutor");
        bool list = truthy(args[1]);
        std::unique_ptr<LoadPlan> plan(new LoadPlan(async_road, self));
        plan->bind(args + 2, list);
        return PlanType<LoadPlan>::wrap(std::move(plan)).relinquish();
    });
}

PyMethodDef loading_helpers[] = {
    {"_v_load_plan", (PyCFunction)(void (*)(void))h_load_plan, METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void install_loading(PyObject* module) {
    PlanType<LoadPlan>::ready();
    Require(PyModule_AddFunctions(module, loading_helpers));
}

}  // namespace vantrel
}  // namespace tavrik
