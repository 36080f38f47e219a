// Related-object loading (findForeignKey, findListForeignKey), written once
// for both executors.  A LoadPlan walks the relations of a row, and in depth
// those of the rows it loads, and stops at each call that reaches the
// database or user code: a related executor's findAllBy, or an overriding
// findForeignKey.  It makes no such call itself; the executor's road runs it
// and hands the result back.  The synchronous executor runs the steps in a
// loop (load_now); the asynchronous one awaits each step
// (Tavrik/Model/_aio_executor.py drives a plan object, see plan.hpp).
#pragma once
#include "plan.hpp"
#include "relation.hpp"
#include "vantrel.hpp"

#include <memory>
#include <vector>

namespace tavrik {
namespace vantrel {

class LoadPlan {
public:
    enum Step { NONE, FIND_ALL, LOAD };

    LoadPlan(const Road& road, PyObject* self);
    LoadPlan(const LoadPlan&) = delete;
    LoadPlan& operator=(const LoadPlan&) = delete;

    // Checks the arguments of findForeignKey (list false) or
    // findListForeignKey (list true) as bound, a[0..6), NULL for a default.
    void bind(PyObject* const* a, bool list);
    // The plan protocol (plan.hpp).
    static constexpr const char* name = "Tavrik.Model.Vantrel._LoadPlan";
    static constexpr const char* doc = "The steps of one related-object search of the asynchronous executor";
    static constexpr const char* throw_doc =
        "throw($self, error, /)\n--\n\nThe last step's error; ends the search with it.";
    static constexpr const char* close_doc = "close($self, /)\n--\n\nEnds the search, dropping what it holds.";
    // Goes on to the next call the search needs; false when the search is
    // over.  A call's error ends the search: no step of a search handles one.
    bool next();
    // Makes the call next() stopped at: its result on the synchronous road,
    // the awaitable of it on the asynchronous one; NULL with the error set.
    PyObject* run();
    // The result of that call.
    void give(Ref result) {
        if (step_ != NONE) take(result.get());
    }
    void give_error() { err_.fetch(); }
    // Raised as the driver gives it, its traceback left to the raise.
    void give_error(PyObject* exc) { thrown_ = Ref::owning(exc); }
    // The row (None when it lies beyond the level bound) for findForeignKey,
    // None for findListForeignKey.
    Ref result() const;

    int traverse(visitproc visit, void* arg) const;

private:
    struct Frame {
        Ref ex;  // the executor of the row's model
        Ref row;
        Ref table;  // the model's tableName
        Ref fks;    // the model's fk, as a fast sequence
        Py_ssize_t next = 0;
        bool deep = true;
        long clevel = 1;
        Ref before;  // str or None
        // The relation whose query is out, and what it was asked for.
        const Relation* rel = nullptr;  // held by rels_
        Ref key;
        Ref cache_key;  // many-to-many only
        // Loaded rows the search continues into, one after the other.
        Ref nested;  // iterator
        Ref nested_ex;
        Ref nested_before;  // str or None
    };

    bool enter(PyObject* ex, PyObject* row, bool deep, long clevel, PyObject* before);
    bool ask(Frame& f, PyObject* fk);
    void continue_into(Frame& f, PyObject* rows, PyObject* first, PyObject* before);
    Ref executor_for(const Frame& f, PyObject* model) const;
    bool loads_here(PyObject* ex) const;
    Relation* relation(PyObject* fk);
    Ref make_call();
    void take(PyObject* result);
    void set_load(PyObject* ex, PyObject* row, Ref clevel, PyObject* before);
    void drop_step();

    const Road& road_;
    Ref self_;
    Ref path_;
    std::vector<std::unique_ptr<Relation>> rels_;  // the relations met, read once per search
    long level_ = 3;
    // findForeignKey: the row and how its search starts, until it has.
    Ref root_;
    bool root_deep_ = false;
    long root_clevel_ = 1;
    Ref root_before_;
    Ref result_;
    // findListForeignKey: the rows still to load.
    Ref roots_;
    Py_ssize_t root_i_ = 0;
    long list_clevel_ = 1;
    std::vector<Frame> stack_;
    // The call next() stopped at.
    Step step_ = NONE;
    Ref step_ex_;
    Ref step_arg_;   // the condition, or the row to load
    Ref step_join_;  // many-to-many: what the far executor's statement joins
    Ref step_clevel_;
    Ref step_before_;  // null: not passed
    // The error of that call, which ends the search.
    Failure err_;
    Ref thrown_;
};

// findForeignKey / findListForeignKey of the synchronous executor.
Ref load_now(PyObject* self, PyObject* const* a, bool list);
// The plan type (PlanType<LoadPlan>) and the helper the asynchronous road
// makes plans with.
void install_loading(PyObject* module);

}  // namespace vantrel
}  // namespace tavrik
