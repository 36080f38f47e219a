// save, update and the three relation savers, written once for both
// executors.  A Planner does no I/O: it hands out the next step (run a
// statement built on an executor, read rows, or call an executor's method)
// and takes the step's result or error (the plan protocol of plan.hpp).  The
// synchronous executor runs the steps in run_now (run_plan); the
// asynchronous one hands each step to the coroutine of
// Tavrik/Model/_aio_executor.py, which awaits it.
//
// The executors of a road's own type run their nested saves and updates
// inside the same plan; any other executor (a subclass) is called by method
// name, so that its overrides are called.
#include "args.hpp"
#include "plan.hpp"
#include "vantrel.hpp"

#include <variant>
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

// The kinds of frame, in the order of Frame::of.
enum FrameKind : size_t { F_SAVE, F_UPDATE, F_OTO, F_OTM, F_MTM };

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

// What each kind of frame keeps between its steps.
struct SaveFrame {
    Ref key;    // the condition on the row's stored key (upsert, fall-back)
    Ref res;    // the saved object
    Ref cells;  // what the insert keeps for an update
    Ref fks;    // the model's relations (a fast sequence)
    Py_ssize_t i = 0;
    Ref fk;               // the relation whose overriding saver is called
    Failure orig;         // the insert's error while the fall-back runs
    bool upsert = false;  // a row given with its key is updated first, inserted if none matched

    int traverse(visitproc visit, void* arg) const {
        for (const Ref* r : {&key, &res, &cells, &fks, &fk})
            if (int e = visit_ref(*r, visit, arg)) return e;
        return orig.traverse(visit, arg);
    }
};

struct UpdateFrame {
    Ref cells;               // those save()'s insert kept for this update, or null
    bool has_cells = false;  // the row sets columns of its own
    Ref fks;                 // the model's relations (a fast sequence)
    Py_ssize_t i = 0;
    Ref fk;          // the relation whose items are walked
    Ref item_model;  // their model
    bool mtm = false;
    Ref items;    // iterator over them
    Ref item_ex;  // the executor writing the related row
    Ref item;     // the related row being written

    int traverse(visitproc visit, void* arg) const {
        for (const Ref* r : {&cells, &fks, &fk, &item_model, &items, &item_ex, &item})
            if (int e = visit_ref(*r, visit, arg)) return e;
        return 0;
    }
};

struct OneToOneFrame {
    Ref owner_res;   // the owner's saved object
    Ref fk;          // the relation
    Ref name;        // its name
    Ref holder;      // where the saved related row is put
    Ref related_ex;  // the related row's executor
    Ref related;     // the related row

    int traverse(visitproc visit, void* arg) const {
        for (const Ref* r : {&owner_res, &fk, &name, &holder, &related_ex, &related})
            if (int e = visit_ref(*r, visit, arg)) return e;
        return 0;
    }
};

struct OneToManyFrame {
    Ref fk;                // the relation
    Ref target_bind_name;  // the items' binding column
    Ref bind_value;        // the owner's value for it
    Ref item_ex;           // one executor for all the items
    Ref items;             // iterator over them
    Ref item;

    int traverse(visitproc visit, void* arg) const {
        for (const Ref* r : {&fk, &target_bind_name, &bind_value, &item_ex, &items, &item})
            if (int e = visit_ref(*r, visit, arg)) return e;
        return 0;
    }
};

struct ManyToManyFrame {
    Ref fk;             // the relation
    bool far = false;   // save the far items too
    Ref owner_key;      // the owner's binding value
    Ref owner_col;      // the junction column holding it
    Ref item_col;       // the junction column holding an item's key
    Ref item_key_name;  // the item's key, as the item holds it
    Ref delete_row;     // the owner's junction rows: the delete's row
    Ref delete_filter;  // and its filter
    Ref junction_ex;    // the junction's executor
    Ref far_ex;         // the far items' executor, when they are saved
    Ref items;          // iterator over the items
    Ref item;           // the item, then its junction row

    int traverse(visitproc visit, void* arg) const {
        for (const Ref* r : {&fk, &owner_key, &owner_col, &item_col, &item_key_name, &delete_row, &delete_filter,
                             &junction_ex, &far_ex, &items, &item})
            if (int e = visit_ref(*r, visit, arg)) return e;
        return 0;
    }
};

// A frame: its executor and row, where it resumes, and what its kind keeps.
struct Frame {
    int pc;
    Ref ex, row;
    std::variant<SaveFrame, UpdateFrame, OneToOneFrame, OneToManyFrame, ManyToManyFrame> of;

    template <class K>
    Frame(std::in_place_type_t<K> kind, int pc_, PyObject* ex_, PyObject* row_)
        : pc(pc_), ex(borrow(ex_)), row(borrow(row_)), of(kind) {}
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
                push<SaveFrame>(S_START, self, args[0]);
                break;
            case OP_UPDATE:
                check_row_of(model, args[0], "instance", false);
                require_pk(model, args[0]);
                validate_tree(model, args[0], road_.vm_update);
                push<UpdateFrame>(U_START, self, args[0]);
                break;
            case OP_SAVE_OTO: {
                OneToOneFrame& o = push<OneToOneFrame>(O_START, self, args[2]);
                o.owner_res = borrow(args[0]);
                o.fk = borrow(args[1]);
                break;
            }
            case OP_SAVE_OTM: push<OneToManyFrame>(M_START, self, args[1]).fk = borrow(args[0]); break;
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
                SaveFrame* save = std::get_if<SaveFrame>(&f.of);
                if (save && f.pc == S_INSERTED && !save->orig && err_.matches(I.integrity)) {
                    save->orig = std::move(err_);
                    err_ = Failure();
                } else {
                    // Raised while a refused insert was being handled.
                    if (save && save->orig) err_.chain_to(save->orig);
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
            for (const Ref* r : {&f.ex, &f.row})
                if (int e = visit_ref(*r, visit, arg)) return e;
            if (int e = std::visit([&](const auto& k) { return k.traverse(visit, arg); }, f.of)) return e;
        }
        if (value_)
            if (int e = visit(value_.get(), arg)) return e;
        return err_.traverse(visit, arg);
    }

private:
    // The insert's error stands: the frame has ended.
    [[noreturn]] static void raise_orig(Frame& f, SaveFrame& s) {
        f.pc = DONE;
        s.orig.raise();
    }

    template <class K>
    K& push(int pc, PyObject* ex, PyObject* row) {
        stack_.emplace_back(std::in_place_type<K>, pc, ex, row);
        return std::get<K>(stack_.back().of);
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
        if (save)
            push<SaveFrame>(S_START, ex, row).upsert = upsert;
        else
            push<UpdateFrame>(U_START, ex, row);
        return false;
    }

    // save's insert, for a row found not stored.
    bool insert_new(Frame& f, SaveFrame& s, Action& a) {
        s.upsert = false;
        s.cells = new_ref(PyList_New(0));
        build_insert(f.ex.get(), f.row.get(), s.cells.get());
        f.pc = S_INSERTED;
        return execute(a, f.ex.get());
    }

    // save of a row whose key is stored: update() writes it and its
    // relations, with the values the insert converted.
    bool update_stored(Frame& f, SaveFrame& s, Action& a) {
        PyObject* ex = f.ex.get();
        PyObject* row = f.row.get();
        PyObject* model = model_of(ex);
        X(ex)->matched = -1;
        f.pc = S_UPDATED;
        if (!not_overridden(ex, road_.own, N.update)) return call(a, ex, N.update, row);
        check_row_of(model, row, "instance", false);
        require_pk(model, row);
        validate_tree(model, row, road_.vm_update);
        Ref cells = std::move(s.cells);
        push<UpdateFrame>(U_START, ex, row).cells = std::move(cells);
        return false;
    }

    void push_mtm(PyObject* ex, PyObject* fk, PyObject* row, bool far) {
        ManyToManyFrame& t = push<ManyToManyFrame>(T_START, ex, row);
        t.fk = borrow(fk);
        t.far = far;
    }

    bool step(Action& a) {
        Frame& f = stack_.back();
        switch (f.of.index()) {
            case F_SAVE: return step_save(f, std::get<SaveFrame>(f.of), a);
            case F_UPDATE: return step_update(f, std::get<UpdateFrame>(f.of), a);
            case F_OTO: return step_oto(f, std::get<OneToOneFrame>(f.of), a);
            case F_OTM: return step_otm(f, std::get<OneToManyFrame>(f.of), a);
            case F_MTM: return step_mtm(f, std::get<ManyToManyFrame>(f.of), a);
        }
        return false;
    }

    // ---- save: insert; on an integrity error, update the row when its key is
    // stored; then the relations, owner first.
    // A row whose key (s.key) is, or may well be, stored: without related
    // values it is updated at once and the rows matched tell, where the
    // connector reports them (`updated` resumes); otherwise it is looked for,
    // and locked on MySQL, first (`probed` resumes), as nothing may be
    // written before the key is known to be stored.
    bool update_or_probe(Frame& f, SaveFrame& s, Action& a, int updated, int probed) {
        PyObject* ex = f.ex.get();
        PyObject* row = f.row.get();
        PyObject* model = model_of(ex);
        if (Py_TYPE(ex) == road_.own && !has_related(model, row)) {
            check_row_of(model, row, "instance", false);
            build_update_has_cells(ex, row, s.cells.get());
            X(ex)->matched = -1;
            f.pc = updated;
            return execute(a, ex);
        }
        f.pc = probed;
        return find(a, ex, s.key.get(), true);
    }

    bool step_save(Frame& f, SaveFrame& s, Action& a) {
        PyObject* ex = f.ex.get();
        PyObject* row = f.row.get();
        PyObject* model = model_of(ex);
        switch (f.pc) {
            case S_START:
                s.cells = new_ref(PyList_New(0));
                // A row of no values is inserted all the same: the table's
                // defaults and constraints decide, not a silent "nothing to do".
                build_insert(ex, row, s.cells.get());
                if (s.upsert && (s.key = stored_key_condition(model, row))) {
                    // An item given with its key is mostly stored already.  An
                    // insert first would fail on the key, and on MySQL that
                    // failed insert leaves a shared lock on the key which the
                    // update must then raise: two saves sharing the item
                    // deadlock.  So: update, and insert only if nothing matched.
                    return update_or_probe(f, s, a, S_FIRST_UPDATED, S_FIRST_PROBED);
                }
                f.pc = S_INSERTED;
                return execute(a, ex);
            case S_FIRST_UPDATED: {
                long long matched = X(ex)->matched;
                if (matched > 0) return finish(value_.get());
                if (matched == 0) return insert_new(f, s, a);
                // The count is unknown (MySQL): a locking read tells, and sees
                // a row committed since this transaction's snapshot.
                s.res = std::move(value_);
                f.pc = S_FIRST_CHECKED;
                return find(a, ex, s.key.get(), true);
            }
            case S_FIRST_CHECKED:
                if (length(value_.get()) > 0) return finish(s.res.get());
                return insert_new(f, s, a);
            case S_FIRST_PROBED:
                if (length(value_.get()) == 0) return insert_new(f, s, a);
                return update_stored(f, s, a);
            case S_INSERTED:
                if (!s.orig) {
                    f.pc = S_RELATIONS;
                    s.res = std::move(value_);
                    s.fks = fast_fks(model);
                    return step_save(f, s, a);
                }
                // Only a row whose key is already stored is updated instead; any
                // other integrity error (another unique column, NOT NULL, CHECK,
                // a foreign key) is the caller's, before anything is written.
                s.key = stored_key_condition(model, row);
                if (!s.key) raise_orig(f, s);
                return update_or_probe(f, s, a, S_DIRECT_UPDATED, S_PROBED);
            case S_DIRECT_UPDATED: {
                s.res = std::move(value_);
                long long matched = X(ex)->matched;
                if (matched < 0) {
                    f.pc = S_CHECKED;
                    return find(a, ex, s.key.get(), false);
                }
                if (matched == 0) raise_orig(f, s);
                return finish(s.res.get());
            }
            case S_CHECKED:
                if (length(value_.get()) == 0) raise_orig(f, s);
                return finish(s.res.get());
            case S_PROBED:
                if (length(value_.get()) == 0) raise_orig(f, s);
                return update_stored(f, s, a);
            case S_UPDATED:
                // A row gone before the update reached it: nothing was written,
                // and the insert's error stands (or, for a row updated first,
                // it is inserted after all).
                if (X(ex)->matched == 0) {
                    if (!s.orig) return insert_new(f, s, a);
                    raise_orig(f, s);
                }
                return finish(value_.get());
            case S_RELATIONS:
                for (Py_ssize_t n = PySequence_Fast_GET_SIZE(s.fks.get()); s.i < n;) {
                    PyObject* fk = PySequence_Fast_GET_ITEM(s.fks.get(), s.i++);
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
                    PyObject* res = s.res.get();
                    if (Py_TYPE(ex) != road_.own) {
                        // An overriding saver is called as a method.
                        s.fk = borrow(fk);
                        if (kind == F_OTO) return call(a, ex, saver, res, fk, row);
                        return call(a, ex, saver, fk, row);
                    }
                    if (kind == F_MTM) {
                        push_mtm(ex, fk, row, road_.mtm_saves_far);
                    } else {
                        Ref keep_fk = borrow(fk);
                        Ref keep_res = s.res;
                        if (kind == F_OTO) {
                            OneToOneFrame& o = push<OneToOneFrame>(O_START, ex, row);
                            o.fk = std::move(keep_fk);
                            o.owner_res = std::move(keep_res);
                        } else {
                            push<OneToManyFrame>(M_START, ex, row).fk = std::move(keep_fk);
                        }
                    }
                    return false;
                }
                return finish(s.res.get());
        }
        return false;
    }

    // ---- update: the statement is built first, the related rows are
    // written, then the owner's statement runs.
    bool step_update(Frame& f, UpdateFrame& u, Action& a) {
        PyObject* ex = f.ex.get();
        PyObject* row = f.row.get();
        switch (f.pc) {
            case U_START:
                u.has_cells = build_update_has_cells(ex, row, u.cells ? u.cells.get() : nullptr);
                u.cells.reset();
                u.fks = fast_fks(model_of(ex));
                f.pc = U_RELATIONS;
                /* fall through */
            case U_RELATIONS:
                for (Py_ssize_t n = PySequence_Fast_GET_SIZE(u.fks.get()); u.i < n;) {
                    PyObject* fk = PySequence_Fast_GET_ITEM(u.fks.get(), u.i);
                    Ref name = getattr(fk, N.name);
                    Ref v = row_get(row, name.get());
                    // None means "no related object": there is nothing to update.
                    if (!v || v.get() == Py_None) {
                        u.i++;
                        continue;
                    }
                    Ref type = fk_type(fk);
                    if (eq(type.get(), I.OTO)) {
                        u.i++;
                        Ref target = getattr(fk, N.target);
                        u.item_ex = executor_for(target.get(), ex);
                        u.item = std::move(v);
                        return nested(a, road_.update_saves_oto, u.item_ex.get(), u.item.get());
                    }
                    u.mtm = eq(type.get(), I.MTM);
                    u.fk = borrow(fk);
                    u.item_model = getattr(fk, u.mtm ? N.directTarget : N.target);
                    u.items = new_ref(PyObject_GetIter(v.get()));
                    f.pc = U_ITEMS;
                    return step_update(f, u, a);
                }
                f.pc = U_DONE;
                if (!u.has_cells) return finish(row);
                return execute(a, ex);
            case U_ITEMS: {
                Ref item = Ref::consuming_nullable(PyIter_Next(u.items.get()));
                if (!item) {
                    if (PyErr_Occurred()) throw_error();
                    u.items.reset();
                    u.i++;
                    f.pc = U_RELATIONS;
                    // The owner's junction rows become exactly the list it holds
                    // now; otherwise a changed list saved through save()'s
                    // fall-back to update() would be dropped silently.
                    if (u.mtm) {
                        Ref fk = std::move(u.fk);
                        push_mtm(ex, fk.get(), row, false);
                        return false;
                    }
                    return step_update(f, u, a);
                }
                // A new executor per item, as a nested operation leaves its own
                // statement behind.
                u.item_ex = executor_for(u.item_model.get(), ex);
                u.item = std::move(item);
                return nested(a, u.mtm ? road_.mtm_saves_far : false, u.item_ex.get(), u.item.get(), u.mtm);
            }
            case U_DONE: return finish(value_.get());
        }
        return false;
    }

    // ---- one-to-one: the related row gets the owner's binding value and is
    // saved; the owner's saved object then holds the saved related row.
    bool step_oto(Frame& f, OneToOneFrame& o, Action& a) {
        switch (f.pc) {
            case O_START: {
                PyObject* res = o.owner_res.get();
                PyObject* src = (res && is_mapping(res)) ? res : f.row.get();
                o.name = getattr(o.fk.get(), N.name);
                Ref related = row_item(f.row.get(), o.name.get());
                Ref bind_name = col_name_of(o.fk.get(), N.bindCol);
                Ref target_bind_name = col_name_of(o.fk.get(), N.targetBindCol);
                Ref value = row_item(src, bind_name.get());
                row_set(related.get(), target_bind_name.get(), value.get());
                Ref target = getattr(o.fk.get(), N.target);
                o.related_ex = executor_for(target.get(), f.ex.get());
                o.holder = borrow(src);
                o.related = std::move(related);
                f.pc = O_SAVED;
                return nested(a, true, o.related_ex.get(), o.related.get());
            }
            case O_SAVED: row_set(o.holder.get(), o.name.get(), value_.get()); return finish(Py_None);
        }
        return false;
    }

    // ---- one-to-many: each item gets the owner's binding value and is saved,
    // one executor for all of them.
    bool step_otm(Frame& f, OneToManyFrame& m, Action& a) {
        switch (f.pc) {
            case M_START: {
                Ref name = getattr(m.fk.get(), N.name);
                Ref items = row_item(f.row.get(), name.get());
                Ref bind_name = col_name_of(m.fk.get(), N.bindCol);
                m.target_bind_name = col_name_of(m.fk.get(), N.targetBindCol);
                m.bind_value = row_item(f.row.get(), bind_name.get());
                Ref target = getattr(m.fk.get(), N.target);
                m.item_ex = executor_for(target.get(), f.ex.get());
                m.items = new_ref(PyObject_GetIter(items.get()));
                f.pc = M_ITEMS;
            }
                /* fall through */
            case M_ITEMS: {
                Ref item = Ref::consuming_nullable(PyIter_Next(m.items.get()));
                if (!item) {
                    if (PyErr_Occurred()) throw_error();
                    return finish(Py_None);
                }
                row_set(item.get(), m.target_bind_name.get(), m.bind_value.get());
                PyObject* tex = m.item_ex.get();
                if (Py_TYPE(tex) == road_.own)
                    executor_reset(tex);
                else
                    call_method(tex, N.reset);
                m.item = std::move(item);
                return nested(a, true, tex, m.item.get());
            }
        }
        return false;
    }

    // ---- many-to-many: the owner's junction rows are replaced by one per
    // item (the far items saved first where the road does).
    bool step_mtm(Frame& f, ManyToManyFrame& t, Action& a) {
        switch (f.pc) {
            case T_START: {
                PyObject* fk = t.fk.get();
                Ref middle = getattr(fk, N.middleModel);
                Ref owner = getattr(fk, N.owner);
                Ref other = call_method(middle.get(), N.getOtherFkBy, owner.get());
                Ref bind_name = col_name_of(fk, N.bindCol);
                t.owner_key = row_item(f.row.get(), bind_name.get());
                Ref tbc = getattr(fk, N.targetBindCol);
                t.owner_col = getattr(tbc.get(), N.name);
                t.item_col = col_name_of(other.get(), N.bindCol);
                t.item_key_name = col_name_of(other.get(), N.targetBindCol);
                t.delete_row = new_ref(PyDict_New());
                Require(PyDict_SetItem(t.delete_row.get(), t.owner_col.get(), t.owner_key.get()));
                t.delete_filter = new_ref(PyObject_RichCompare(tbc.get(), t.owner_key.get(), Py_EQ));
                t.junction_ex = executor_for(middle.get(), f.ex.get());
                if (t.far) {
                    Ref far = getattr(fk, N.directTarget);
                    t.far_ex = executor_for(far.get(), f.ex.get());
                }
                // Deleting nothing still locks the index gap on MySQL, and
                // concurrent saves of new owners then deadlock on their inserts:
                // the owner's rows are looked for first (a read that takes no locks).
                f.pc = T_FOUND;
                return find(a, t.junction_ex.get(), t.delete_filter.get(), false);
            }
            case T_FOUND:
                f.pc = T_CLEARED;
                if (length(value_.get()) > 0)
                    return call(a, t.junction_ex.get(), N.delete_, t.delete_row.get(), t.delete_filter.get());
                /* fall through */
            case T_CLEARED: {
                Ref name = getattr(t.fk.get(), N.name);
                Ref items = row_item(f.row.get(), name.get());
                t.items = new_ref(PyObject_GetIter(items.get()));
                f.pc = T_ITEMS;
            }
                /* fall through */
            case T_ITEMS: {
                Ref item = Ref::consuming_nullable(PyIter_Next(t.items.get()));
                if (!item) {
                    if (PyErr_Occurred()) throw_error();
                    return finish(Py_None);
                }
                t.item = std::move(item);
                f.pc = T_FAR_SAVED;
                if (t.far) return nested(a, true, t.far_ex.get(), t.item.get(), true);
            }
                /* fall through */
            case T_FAR_SAVED: {
                // The item's key is read after its own save, which may give it one.
                Ref key = row_item(t.item.get(), t.item_key_name.get());
                Ref junction = new_ref(PyDict_New());
                Require(PyDict_SetItem(junction.get(), t.owner_col.get(), t.owner_key.get()));
                Require(PyDict_SetItem(junction.get(), t.item_col.get(), key.get()));
                t.item = std::move(junction);
                f.pc = T_ITEMS;
                return nested(a, true, t.junction_ex.get(), t.item.get());
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
