// The module lock: one per process, re-entrant for the thread that holds it
// (a transaction block runs its statements under the lock it already holds),
// and replaced in a forked child, which must not wait on a lock that a
// thread of its parent held at the fork.
#include "internal.hpp"

namespace tavrik {
namespace conn {

unsigned long fork_generation = 0;

namespace {

// Guarded by the GIL: only the thread that acquired the lock sets them.
unsigned long g_owner = 0;
long g_depth = 0;

void install_lock(PyObject* m) {
    Ref lock = new_ref(PyObject_CallMethod(import("multiprocessing").get(), "Lock", nullptr));
    Ref acquire = getattr(lock.get(), "acquire");
    Ref release = getattr(lock.get(), "release");
    Require(PyObject_SetAttrString(m, "lock", lock.get()));
    // The parent's objects, after a fork, are left alive (one small lock per
    // fork): a borrowed pointer to them may still be on the stack.
    G.lock = std::move(lock);
    G.lock_acquire = std::move(acquire);
    G.lock_release = std::move(release);
    g_owner = 0;
    g_depth = 0;
}

PyObject* after_fork_child(PyObject*, PyObject*) {
    return guard([&]() -> PyObject* {
        fork_generation++;
        install_lock(G.module);
        Py_RETURN_NONE;
    });
}

PyMethodDef after_fork_def = {"_after_fork_child", after_fork_child, METH_NOARGS, nullptr};

}  // namespace

bool lock_owned() { return g_depth > 0 && g_owner == PyThread_get_thread_ident(); }

void lock_enter() {
    unsigned long me = PyThread_get_thread_ident();
    if (g_depth > 0 && g_owner == me) {
        g_depth++;
        return;
    }
    // Waits with the GIL released.
    call(G.lock_acquire);
    g_owner = me;
    g_depth = 1;
}

void lock_exit() {
    if (g_depth <= 0 || g_owner != PyThread_get_thread_ident()) return;  // a child's fresh lock after a fork
    if (--g_depth > 0) return;
    g_owner = 0;
    call(G.lock_release);
}

void lock_exit_keeping_error() noexcept {
    keeping_error([] { lock_exit(); });
}

void init_lock(PyObject* m) {
    install_lock(m);
    Ref fn = new_ref(PyCFunction_New(&after_fork_def, nullptr));
    Ref reg = import_attr("os", "register_at_fork");
    Ref args = new_ref(PyTuple_New(0));
    Ref kw = new_ref(Py_BuildValue("{sO}", "after_in_child", fn.get()));
    new_ref(PyObject_Call(reg.get(), args.get(), kw.get()));
}

}  // namespace conn
}  // namespace tavrik
