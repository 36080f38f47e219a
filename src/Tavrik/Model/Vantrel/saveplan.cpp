// save, update and the three relation savers, written once for both
// executors.  A Planner does no I/O: it hands out the next step (run a
// statement built on an executor, read rows, or call an executor's method)
// and takes the step's result or error.  The synchronous executor runs the
// steps in the loop of run_plan; the asynchronous one hands each step to the
// coroutine of Tavrik/Model/_aio_executor.py, which awaits it.
//
// The executors of a road's own type run their nested saves and updates
// inside the same plan; any other executor (a subclass) is called by method
// name, so that its overrides are called.
#include "args.hpp"
#include "plan.hpp"
#include "vantrel.hpp"

#include <vector>

namespace tavrik {
namespace vantrel {

// The synchronous road follows the original save/update and loading; the
// asynchronous one saves (inserts or updates) related one-to-one rows on
// update and the far items of a many-to-many relation, and loads on the
// caller's connection, skipping absent binding columns.
const Road sync_road = {
    &ModelExecutorType, "Tavrik.Model.Vantrel.ModelExecutor", false, false, VM_SAVE, VM_UPDATE, false, false, false};
const Road async_road = {&AsyncModelExecutorType,
                         "Tavrik.Model.Vantrel.AsyncModelExecutor",
                         true,
                         true,
                         VM_ASYNC_SAVE,
                         VM_ASYNC_UPDATE,
                         true,
                         true,
                         true};

namespace {

enum FrameKind : int { F_SAVE, F_UPDATE, F_OTO, F_OTM, F_MTM };

// Where a frame resumes.
enum : int {
    S_START,
    S_INSERTED,
    S_DIRECT_UPDATED,
    S_CHECKED,
    S_PROBED,
    S_UPDATED,
    S_RELATIONS,
    S_FIRST_UPDATED,
    S_FIRST_CHECKED,
    S_FIRST_PROBED,
    U_START,
    U_RELATIONS,
    U_ITEMS,
    U_DONE,
    O_START,
    O_SAVED,
    M_START,
    M_ITEMS,
    T_START,
    T_FOUND,
    T_CLEARED,
    T_ITEMS,
    T_FAR_SAVED,
    DONE,
};

struct Frame {
    FrameKind kind;
    int pc;
    Ref ex, row;
    Ref res;    // save: the saved object; one-to-one: the owner's saved object
    Ref fk;     // the relation being saved
    Ref cells;  // save: what the insert keeps for an update; update: those cells, or null
    Ref fks;    // the model's relations (a fast sequence)
    Py_ssize_t i = 0;
    Ref it;                   // iterator over related items
    Ref a, b, c, d, e, item;  // per kind, see the steps
    Failure orig;             // save: the insert's error while the fall-back runs
    bool far = false;         // many-to-many: save the far items too
    bool has_cells = false;   // update: the row sets columns of its own
    bool mtm = false;         // update: the items being walked are many-to-many
    bool upsert = false;      // save: a row given with its key is updated first, inserted if none matched

    Frame(FrameKind k, int pc_, PyObject* ex_, PyObject* row_) : kind(k), pc(pc_), ex(borrow(ex_)), row(borrow(row_)) {}
};

Ref col_name_of(PyObject* holder, PyObject* attr) {
    Ref col = getattr(holder, attr);
    return getattr(col.get(), N.name);
}

Ref executor_for(PyObject* model, PyObject* ex) {
    PyObject* work = E(ex)->work;
    if (work) return call_method(model, N.getExecutor, work);
    return call_method(model, N.getExecutor);
}

bool is_mapping(PyObject* o) { return PyDict_Check(o) || (o != Py_None && PyMapping_Check(o)); }

Ref fast_fks(PyObject* model) {
    Ref fks = getattr(model, N.fk);
    return new_ref(PySequence_Fast(fks.get(), "fk must be a sequence"));
}

// Whether the executor's type keeps `name` as `own` has it (no override).
bool not_overridden(PyObject* ex, PyTypeObject* own, PyObject* name) {
    if (Py_TYPE(ex) == own) return true;
    if (!PyObject_TypeCheck(ex, own)) return false;
    Ref mine = getattr((PyObject*)Py_TYPE(ex), name);
    Ref theirs = getattr((PyObject*)own, name);
    return mine.get() == theirs.get();
}

Py_ssize_t length(PyObject* o) { return RequireSize(PyObject_Length(o)); }

// Runs a step: its result, or (for the asynchronous road) the awaitable that
// yields it; NULL with the error set when it failed.
PyObject* perform(const Road& road, const Action& a) {
    return guard([&]() -> PyObject* {
        switch (a.kind) {
            case A_EXECUTE:
                if (Py_TYPE(a.ex) == road.own) return sync_execute_unchecked(a.ex);
                return call_method(a.ex, N.execute).relinquish();
            case A_FIND:
                // An overriding findAllBy is called with the filter alone.
                if (Py_TYPE(a.ex) != road.own && !not_overridden(a.ex, &BaseModelExecutorType, N.findAllBy))
                    return call_method(a.ex, N.findAllBy, a.args[0]).relinquish();
                return executor_find_all(a.ex, a.args[0], a.lock).relinquish();
            case A_CALL: return call_method_args(a.ex, a.name, a.args, a.nargs).relinquish();
        }
        return nullptr;
    });
}

}  // namespace

class Planner {
public:
    explicit Planner(const Road& road) : road_(road) {}

    void start(PyObject* self, PlanOp op, PyObject* const* args) {
        PyObject* model = model_of(self);
        switch (op) {
            case OP_SAVE:
                check_row_of(model, args[0], "instance", true);
                validate_tree(model, args[0], road_.vm_save);
                stack_.emplace_back(F_SAVE, S_START, self, args[0]);
                break;
            case OP_UPDATE:
                check_row_of(model, args[0], "instance", false);
                require_pk(model, args[0]);
                validate_tree(model, args[0], road_.vm_update);
                stack_.emplace_back(F_UPDATE, U_START, self, args[0]);
                break;
            case OP_SAVE_OTO:
                stack_.emplace_back(F_OTO, O_START, self, args[2]);
                stack_.back().res = borrow(args[0]);
                stack_.back().fk = borrow(args[1]);
                break;
            case OP_SAVE_OTM:
                stack_.emplace_back(F_OTM, M_START, self, args[1]);
                stack_.back().fk = borrow(args[0]);
                break;
            case OP_SAVE_MTM: push_mtm(self, args[0], args[1], road_.mtm_saves_far); break;
        }
    }

    static constexpr const char* name = "Tavrik.Model.Vantrel.SavePlan";
    static constexpr const char* doc = "The steps of one save or update on an asynchronous executor.";
    static constexpr const char* throw_doc =
        "throw($self, error, /)\n--\n\nThe last step's error; returns the next step.";
    static constexpr const char* close_doc = "close($self, /)\n--\n\nEnds the plan, dropping what it holds.";

    // Moves on to the next step, or false when the operation has ended (see
    // result()).  An error nothing handles is raised.
    bool next() { return next(a_); }
    PyObject* run() { return perform(road_, a_); }

private:
    bool next(Action& a) {
        for (;;) {
            if (stack_.empty()) {
                if (err_) err_.raise();
                return false;
            }
            if (err_) {
                Frame& f = stack_.back();
                if (f.kind == F_SAVE && f.pc == S_INSERTED && !f.orig && err_.matches(I.integrity)) {
                    f.orig = std::move(err_);
                    err_ = Failure();
                } else {
                    // Raised while a refused insert was being handled.
                    if (f.orig) err_.chain_to(f.orig);
                    stack_.pop_back();
                    continue;
                }
            }
            try {
                if (step(a)) return true;
            } catch (const PyErrOccurred&) {
                err_.fetch();
            }
        }
    }

public:
    void give(Ref value) { value_ = std::move(value); }
    void give_error() { err_.fetch(); }
    void give_error(PyObject* exc) { err_.take(exc); }
    Ref result() { return std::move(value_); }

    // What the plan holds, for the cyclic collector (a plan may hold an
    // error whose traceback holds the frame that holds the plan).
    int traverse(visitproc visit, void* arg) const {
        for (const Frame& f : stack_) {
            for (const Ref* r :
                 {&f.ex, &f.row, &f.res, &f.fk, &f.cells, &f.fks, &f.it, &f.a, &f.b, &f.c, &f.d, &f.e, &f.item})
                if (*r)
                    if (int e = visit(r->get(), arg)) return e;
            if (int e = f.orig.traverse(visit, arg)) return e;
        }
        if (value_)
            if (int e = visit(value_.get(), arg)) return e;
        return err_.traverse(visit, arg);
    }

private:
    // The insert's error stands: the frame has ended.
    [[noreturn]] static void raise_orig(Frame& f) {
        f.pc = DONE;
        f.orig.raise();
    }

    const Road& road_;
    std::vector<Frame> stack_;
    Action a_;  // the step next() stopped at
    Ref value_;
    Failure err_;

    bool finish(PyObject* v) {
        value_ = borrow(v);
        stack_.pop_back();
        return false;
    }

    static bool execute(Action& a, PyObject* ex) {
        a = Action{A_EXECUTE, ex, nullptr, {nullptr, nullptr, nullptr}, 0, false};
        return true;
    }
    static bool find(Action& a, PyObject* ex, PyObject* cond, bool lock) {
        a = Action{A_FIND, ex, nullptr, {cond, nullptr, nullptr}, 1, lock};
        return true;
    }
    static bool call(Action& a, PyObject* ex, PyObject* name, PyObject* x, PyObject* y = nullptr,
                     PyObject* z = nullptr) {
        a = Action{A_CALL, ex, name, {x, y, z}, size_t(z ? 3 : y ? 2 : 1), false};
        return true;
    }

    // A save or update of `row` on `ex`: inside the plan when `ex` is the
    // road's own executor, else a call of its method.  The caller's frame
    // must keep `ex` and `row` alive; it may not be touched afterwards.
    bool nested(Action& a, bool save, PyObject* ex, PyObject* row, bool upsert = false) {
        if (Py_TYPE(ex) != road_.own) return call(a, ex, save ? N.save : N.update, row);
        PyObject* model = model_of(ex);
        check_row_of(model, row, "instance", save);
        if (!save) require_pk(model, row);
        stack_.emplace_back(save ? F_SAVE : F_UPDATE, save ? S_START : U_START, ex, row);
        stack_.back().upsert = save && upsert;
        return false;
    }

    // save's insert, for a row found not stored.
    bool insert_new(Frame& f, Action& a) {
        f.upsert = false;
        f.cells = new_ref(PyList_New(0));
        build_insert(f.ex.get(), f.row.get(), f.cells.get());
        f.pc = S_INSERTED;
        return execute(a, f.ex.get());
    }

    // save of a row whose key is stored: update() writes it and its
    // relations, with the values the insert converted.
    bool update_stored(Frame& f, Action& a) {
        PyObject* ex = f.ex.get();
        PyObject* row = f.row.get();
        PyObject* model = model_of(ex);
        X(ex)->matched = -1;
        f.pc = S_UPDATED;
        if (!not_overridden(ex, road_.own, N.update)) return call(a, ex, N.update, row);
        check_row_of(model, row, "instance", false);
        require_pk(model, row);
        validate_tree(model, row, road_.vm_update);
        Ref cells = std::move(f.cells);
        stack_.emplace_back(F_UPDATE, U_START, ex, row);
        stack_.back().cells = std::move(cells);
        return false;
    }

    void push_mtm(PyObject* ex, PyObject* fk, PyObject* row, bool far) {
        stack_.emplace_back(F_MTM, T_START, ex, row);
        stack_.back().fk = borrow(fk);
        stack_.back().far = far;
    }

    bool step(Action& a) {
        Frame& f = stack_.back();
        switch (f.kind) {
            case F_SAVE: return step_save(f, a);
            case F_UPDATE: return step_update(f, a);
            case F_OTO: return step_oto(f, a);
            case F_OTM: return step_otm(f, a);
            case F_MTM: return step_mtm(f, a);
        }
        return false;
    }

    // ---- save: insert; on an integrity error, update the row when its key is
    // stored; then the relations, owner first.
    bool step_save(Frame& f, Action& a) {
        PyObject* ex = f.ex.get();
        PyObject* row = f.row.get();
        PyObject* model = model_of(ex);
        switch (f.pc) {
            case S_START:
                f.cells = new_ref(PyList_New(0));
                // A row of no values is inserted all the same: the table's
                // defaults and constraints decide, not a silent "nothing to do".
                build_insert(ex, row, f.cells.get());
                if (f.upsert && (f.a = stored_key_condition(model, row))) {
                    // An item given with its key is mostly stored already.  An
                    // insert first would fail on the key, and on MySQL that
                    // failed insert leaves a shared lock on the key which the
                    // update must then raise: two saves sharing the item
                    // deadlock.  So: update, and insert only if nothing matched.
                    if (Py_TYPE(ex) == road_.own && !has_related(model, row)) {
                        check_row_of(model, row, "instance", false);
                        build_update_has_cells(ex, row, f.cells.get());
                        X(ex)->matched = -1;
                        f.pc = S_FIRST_UPDATED;
                        return execute(a, ex);
                    }
                    // Related rows follow the update: the row is looked for
                    // (and locked) first.
                    f.pc = S_FIRST_PROBED;
                    return find(a, ex, f.a.get(), true);
                }
                f.pc = S_INSERTED;
                return execute(a, ex);
            case S_FIRST_UPDATED: {
                long long matched = X(ex)->matched;
                if (matched > 0) return finish(value_.get());
                if (matched == 0) return insert_new(f, a);
                // The count is unknown (MySQL): a locking read tells, and sees
                // a row committed since this transaction's snapshot.
                f.res = std::move(value_);
                f.pc = S_FIRST_CHECKED;
                return find(a, ex, f.a.get(), true);
            }
            case S_FIRST_CHECKED:
                if (length(value_.get()) > 0) return finish(f.res.get());
                return insert_new(f, a);
            case S_FIRST_PROBED:
                if (length(value_.get()) == 0) return insert_new(f, a);
                return update_stored(f, a);
            case S_INSERTED:
                if (!f.orig) {
                    f.pc = S_RELATIONS;
                    f.res = std::move(value_);
                    f.fks = fast_fks(model);
                    return step_save(f, a);
                }
                // Only a row whose key is already stored is updated instead; any
                // other integrity error (another unique column, NOT NULL, CHECK,
                // a foreign key) is the caller's, before anything is written.
                f.a = stored_key_condition(model, row);
                if (!f.a) raise_orig(f);
                if (Py_TYPE(ex) == road_.own && !has_related(model, row)) {
                    // Only the row itself is written: the update tells by the
                    // rows it matches, where the connector reports them.
                    check_row_of(model, row, "instance", false);
                    build_update_has_cells(ex, row, f.cells.get());
                    X(ex)->matched = -1;
                    f.pc = S_DIRECT_UPDATED;
                    return execute(a, ex);
                }
                // The probe locks the row (MySQL), so the update cannot miss it.
                f.pc = S_PROBED;
                return find(a, ex, f.a.get(), true);
            case S_DIRECT_UPDATED: {
                f.res = std::move(value_);
                long long matched = X(ex)->matched;
                if (matched < 0) {
                    f.pc = S_CHECKED;
                    return find(a, ex, f.a.get(), false);
                }
                if (matched == 0) raise_orig(f);
                return finish(f.res.get());
            }
            case S_CHECKED:
                if (length(value_.get()) == 0) raise_orig(f);
                return finish(f.res.get());
            case S_PROBED:
                if (length(value_.get()) == 0) raise_orig(f);
                return update_stored(f, a);
            case S_UPDATED:
                // A row gone before the update reached it: nothing was written,
                // and the insert's error stands (or, for a row updated first,
                // it is inserted after all).
                if (X(ex)->matched == 0) {
                    if (!f.orig) return insert_new(f, a);
                    raise_orig(f);
                }
                return finish(value_.get());
            case S_RELATIONS:
                for (Py_ssize_t n = PySequence_Fast_GET_SIZE(f.fks.get()); f.i < n;) {
                    PyObject* fk = PySequence_Fast_GET_ITEM(f.fks.get(), f.i++);
                    Ref name = getattr(fk, N.name);
                    Ref v = row_get(row, name.get());
                    if (!v || !truthy(v.get())) continue;
                    Ref type = fk_type(fk);
                    FrameKind kind;
                    PyObject* saver;
                    if (eq(type.get(), I.OTO)) {
                        kind = F_OTO;
                        saver = N._saveOTO;
                    } else if (eq(type.get(), I.OTM)) {
                        kind = F_OTM;
                        saver = N._saveOTM;
                    } else if (eq(type.get(), I.MTM)) {
                        kind = F_MTM;
                        saver = N._saveMTM;
                    } else {
                        continue;
                    }
                    PyObject* res = f.res.get();
                    if (Py_TYPE(ex) != road_.own) {
                        // An overriding saver is called as a method.
                        f.fk = borrow(fk);
                        if (kind == F_OTO) return call(a, ex, saver, res, fk, row);
                        return call(a, ex, saver, fk, row);
                    }
                    if (kind == F_MTM) {
                        push_mtm(ex, fk, row, road_.mtm_saves_far);
                    } else {
                        Ref keep_fk = borrow(fk);
                        Ref keep_res = f.res;
                        stack_.emplace_back(kind, kind == F_OTO ? O_START : M_START, ex, row);
                        stack_.back().fk = std::move(keep_fk);
                        stack_.back().res = std::move(keep_res);
                    }
                    return false;
                }
                return finish(f.res.get());
        }
        return false;
    }

    // ---- update: the statement is built first, the related rows are
    // written, then the owner's statement runs.
    bool step_update(Frame& f, Action& a) {
        PyObject* ex = f.ex.get();
        PyObject* row = f.row.get();
        switch (f.pc) {
            case U_START:
                f.has_cells = build_update_has_cells(ex, row, f.cells ? f.cells.get() : nullptr);
                f.cells.reset();
                f.fks = fast_fks(model_of(ex));
                f.pc = U_RELATIONS;
                /* fall through */
            case U_RELATIONS:
                for (Py_ssize_t n = PySequence_Fast_GET_SIZE(f.fks.get()); f.i < n;) {
                    PyObject* fk = PySequence_Fast_GET_ITEM(f.fks.get(), f.i);
                    Ref name = getattr(fk, N.name);
                    Ref v = row_get(row, name.get());
                    // None means "no related object": there is nothing to update.
                    if (!v || v.get() == Py_None) {
                        f.i++;
                        continue;
                    }
                    Ref type = fk_type(fk);
                    if (eq(type.get(), I.OTO)) {
                        f.i++;
                        Ref target = getattr(fk, N.target);
                        f.a = executor_for(target.get(), ex);
                        f.item = std::move(v);
                        return nested(a, road_.update_saves_oto, f.a.get(), f.item.get());
                    }
                    f.mtm = eq(type.get(), I.MTM);
                    f.fk = borrow(fk);
                    f.b = getattr(fk, f.mtm ? N.directTarget : N.target);
                    f.it = new_ref(PyObject_GetIter(v.get()));
                    f.pc = U_ITEMS;
                    return step_update(f, a);
                }
                f.pc = U_DONE;
                if (!f.has_cells) return finish(row);
                return execute(a, ex);
            case U_ITEMS: {
                Ref item = Ref::consuming_nullable(PyIter_Next(f.it.get()));
                if (!item) {
                    if (PyErr_Occurred()) throw_error();
                    f.it.reset();
                    f.i++;
                    f.pc = U_RELATIONS;
                    // The owner's junction rows become exactly the list it holds
                    // now; otherwise a changed list saved through save()'s
                    // fall-back to update() would be dropped silently.
                    if (f.mtm) {
                        Ref fk = std::move(f.fk);
                        push_mtm(ex, fk.get(), row, false);
                        return false;
                    }
                    return step_update(f, a);
                }
                // A new executor per item, as a nested operation leaves its own
                // statement behind.
                f.a = executor_for(f.b.get(), ex);
                f.item = std::move(item);
                return nested(a, f.mtm ? road_.mtm_saves_far : false, f.a.get(), f.item.get(), f.mtm);
            }
            case U_DONE: return finish(value_.get());
        }
        return false;
    }

    // ---- one-to-one: the related row gets the owner's binding value and is
    // saved; the owner's saved object then holds the saved related row.
    bool step_oto(Frame& f, Action& a) {
        switch (f.pc) {
            case O_START: {
                PyObject* res = f.res.get();
                PyObject* src = (res && is_mapping(res)) ? res : f.row.get();
                f.c = getattr(f.fk.get(), N.name);
                Ref related = row_item(f.row.get(), f.c.get());
                Ref bind_name = col_name_of(f.fk.get(), N.bindCol);
                Ref target_bind_name = col_name_of(f.fk.get(), N.targetBindCol);
                Ref value = row_item(src, bind_name.get());
                row_set(related.get(), target_bind_name.get(), value.get());
                Ref target = getattr(f.fk.get(), N.target);
                f.a = executor_for(target.get(), f.ex.get());
                f.b = borrow(src);
                f.item = std::move(related);
                f.pc = O_SAVED;
                return nested(a, true, f.a.get(), f.item.get());
            }
            case O_SAVED: row_set(f.b.get(), f.c.get(), value_.get()); return finish(Py_None);
        }
        return false;
    }

    // ---- one-to-many: each item gets the owner's binding value and is saved,
    // one executor for all of them.
    bool step_otm(Frame& f, Action& a) {
        switch (f.pc) {
            case M_START: {
                Ref name = getattr(f.fk.get(), N.name);
                Ref items = row_item(f.row.get(), name.get());
                Ref bind_name = col_name_of(f.fk.get(), N.bindCol);
                f.b = col_name_of(f.fk.get(), N.targetBindCol);
                f.c = row_item(f.row.get(), bind_name.get());
                Ref target = getattr(f.fk.get(), N.target);
                f.a = executor_for(target.get(), f.ex.get());
                f.it = new_ref(PyObject_GetIter(items.get()));
                f.pc = M_ITEMS;
            }
                /* fall through */
            case M_ITEMS: {
                Ref item = Ref::consuming_nullable(PyIter_Next(f.it.get()));
                if (!item) {
                    if (PyErr_Occurred()) throw_error();
                    return finish(Py_None);
                }
                row_set(item.get(), f.b.get(), f.c.get());
                PyObject* tex = f.a.get();
                if (Py_TYPE(tex) == road_.own)
                    executor_reset(tex);
                else
                    call_method(tex, N.reset);
                f.item = std::move(item);
                return nested(a, true, tex, f.item.get());
            }
        }
        return false;
    }

    // ---- many-to-many: the owner's junction rows are replaced by one per
    // item (the far items saved first where the road does).
    bool step_mtm(Frame& f, Action& a) {
        switch (f.pc) {
            case T_START: {
                PyObject* fk = f.fk.get();
                Ref middle = getattr(fk, N.middleModel);
                Ref owner = getattr(fk, N.owner);
                Ref other = call_method(middle.get(), N.getOtherFkBy, owner.get());
                Ref bind_name = col_name_of(fk, N.bindCol);
                f.b = row_item(f.row.get(), bind_name.get());  // the owner's key
                Ref tbc = getattr(fk, N.targetBindCol);
                f.c = getattr(tbc.get(), N.name);
                f.d = col_name_of(other.get(), N.bindCol);
                f.e = col_name_of(other.get(), N.targetBindCol);
                f.cells = new_ref(PyDict_New());  // the delete's row
                Require(PyDict_SetItem(f.cells.get(), f.c.get(), f.b.get()));
                f.res = new_ref(PyObject_RichCompare(tbc.get(), f.b.get(), Py_EQ));  // the delete's filter
                f.a = executor_for(middle.get(), f.ex.get());
                if (f.far) {
                    Ref far = getattr(fk, N.directTarget);
                    f.fks = executor_for(far.get(), f.ex.get());
                }
                // Deleting nothing still locks the index gap on MySQL, and
                // concurrent saves of new owners then deadlock on their inserts:
                // the owner's rows are looked for first (a read that takes no locks).
                f.pc = T_FOUND;
                return find(a, f.a.get(), f.res.get(), false);
            }
            case T_FOUND:
                f.pc = T_CLEARED;
                if (length(value_.get()) > 0) return call(a, f.a.get(), N.delete_, f.cells.get(), f.res.get());
                /* fall through */
            case T_CLEARED: {
                Ref name = getattr(f.fk.get(), N.name);
                Ref items = row_item(f.row.get(), name.get());
                f.it = new_ref(PyObject_GetIter(items.get()));
                f.pc = T_ITEMS;
            }
                /* fall through */
            case T_ITEMS: {
                Ref item = Ref::consuming_nullable(PyIter_Next(f.it.get()));
                if (!item) {
                    if (PyErr_Occurred()) throw_error();
                    return finish(Py_None);
                }
                f.item = std::move(item);
                f.pc = T_FAR_SAVED;
                if (f.far) return nested(a, true, f.fks.get(), f.item.get(), true);
            }
                /* fall through */
            case T_FAR_SAVED: {
                // The item's key is read after its own save, which may give it one.
                Ref key = row_item(f.item.get(), f.e.get());
                Ref junction = new_ref(PyDict_New());
                Require(PyDict_SetItem(junction.get(), f.c.get(), f.b.get()));
                Require(PyDict_SetItem(junction.get(), f.d.get(), key.get()));
                f.item = std::move(junction);
                f.pc = T_ITEMS;
                return nested(a, true, f.a.get(), f.item.get());
            }
        }
        return false;
    }
};

Ref run_plan(PyObject* self, PlanOp op, PyObject* const* args) {
    Planner p(sync_road);
    p.start(self, op, args);
    return run_now(p);
}

void ready_plan_type() { PlanType<Planner>::ready(); }

Ref new_async_plan(PyObject* self, PlanOp op, PyObject* const* args) {
    std::unique_ptr<Planner> p(new Planner(async_road));
    p->start(self, op, args);
    return PlanType<Planner>::wrap(std::move(p));
}

}  // namespace vantrel
}  // namespace tavrik
