// The one protocol of save, load and prefetch plans.  A plan does no I/O: it
// moves on to its next step (next), makes the step (run: the step's result
// on the synchronous road, the awaitable of it on the asynchronous one),
// takes the step's result or error (give, give_error) and, once next() says
// the plan has ended, hands out the operation's result.  The synchronous
// road runs a plan in run_now; the asynchronous one wraps it in a
// PlanType<P> object, which Tavrik/Model/_aio_executor.py (run) drives as a
// generator: send, throw, close, running.
//
// A plan type P provides:
//   bool next();                     // false when the plan has ended; raises an error nothing handled
//   PyObject* run();                 // new reference, or NULL with the error set
//   void give(Ref value);            // the step's result
//   void give_error();               // the step's error, taken off the interpreter
//   void give_error(PyObject* exc);  // the step's error, given by the driver
//   Ref result();
//   int traverse(visitproc, void*) const;
// and, for its Python type, the texts name, doc, throw_doc and close_doc.
#pragma once
#include "vantrel.hpp"

#include <memory>

namespace tavrik {
namespace vantrel {

// An error taken off the interpreter, to be handed on or raised again.
struct Failure {
    Ref t, v, tb;

    explicit operator bool() const noexcept { return bool(t); }
    void fetch() noexcept {
        PyObject *a, *b, *c;
        PyErr_Fetch(&a, &b, &c);
        PyErr_NormalizeException(&a, &b, &c);
        if (c && b) PyException_SetTraceback(b, c);
        t = Ref::consuming_nullable(a);
        v = Ref::consuming_nullable(b);
        tb = Ref::consuming_nullable(c);
    }
    void take(PyObject* exc) noexcept {
        t = Ref::owning((PyObject*)Py_TYPE(exc));
        v = Ref::owning(exc);
        tb = Ref::consuming_nullable(PyException_GetTraceback(exc));
    }
    [[noreturn]] void raise() {
        PyErr_Restore(t.relinquish(), v.relinquish(), tb.relinquish());
        throw_error();
    }
    bool matches(PyObject* exc) const noexcept { return PyErr_GivenExceptionMatches(t.get(), exc) != 0; }
    int traverse(visitproc visit, void* arg) const {
        for (const Ref* r : {&t, &v, &tb})
            if (*r)
                if (int e = visit(r->get(), arg)) return e;
        return 0;
    }
    // Raised while `handled` was being handled: it becomes the context.
    void chain_to(const Failure& handled) noexcept {
        if (!v || !handled.v || v.get() == handled.v.get()) return;
        Py_INCREF(handled.v.get());
        PyException_SetContext(v.get(), handled.v.get());
    }
};

// The synchronous road: each step runs at once and its outcome goes back.
template <class P>
Ref run_now(P& p) {
    while (p.next()) {
        PyObject* r = p.run();
        if (r)
            p.give(Ref::consuming_nullable(r));
        else
            p.give_error();
    }
    return p.result();
}

// The asynchronous road's plan object.
template <class P>
struct PlanType {
    struct Object {
        PyObject_HEAD P* plan;
        bool running;
    };

    static PyTypeObject type;

    static void ready() {
        type = plain_type(P::name, sizeof(Object));
        type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        type.tp_doc = P::doc;
        type.tp_dealloc = dealloc;
        type.tp_traverse = traverse;
        type.tp_clear = clear;
        static PyMethodDef methods[] = {
            {"send", (PyCFunction)send, METH_O,
             "send($self, result, /)\n--\n\nThe last step's result; returns the next step."},
            {"throw", (PyCFunction)throw_, METH_O, P::throw_doc},
            {"close", close, METH_NOARGS, P::close_doc},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyGetSetDef getset[] = {
            {"running", running, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        type.tp_methods = methods;
        type.tp_getset = getset;
        Require(PyType_Ready(&type));
    }

    // Takes the plan over (it is deleted with the object).
    static Ref wrap(std::unique_ptr<P> plan) {
        Object* o = PyObject_GC_New(Object, &type);
        if (!o) throw_error();
        o->plan = plan.release();
        o->running = true;
        PyObject_GC_Track((PyObject*)o);
        return Ref::consuming_nullable((PyObject*)o);
    }

private:
    static P& live(PyObject* self) {
        Object* o = (Object*)self;
        if (!o->plan || !o->running) {
            PyErr_SetString(PyExc_RuntimeError, "the plan has ended");
            throw_error();
        }
        return *o->plan;
    }

    // The next step made, or the result once the plan has ended.
    static PyObject* advance(Object* o, P& p) {
        try {
            while (p.next()) {
                if (PyObject* r = p.run()) return r;
                // A call that fails at once is a failed step like any other.
                p.give_error();
            }
        } catch (...) {
            o->running = false;
            throw;
        }
        o->running = false;
        return p.result().relinquish();
    }

    static PyObject* send(PyObject* self, PyObject* value) {
        return guard([&] {
            P& p = live(self);
            try {
                p.give(Ref::owning(value));
            } catch (...) {
                ((Object*)self)->running = false;
                throw;
            }
            return advance((Object*)self, p);
        });
    }

    static PyObject* throw_(PyObject* self, PyObject* exc) {
        return guard([&] {
            if (!PyExceptionInstance_Check(exc)) raise_expected("BaseException", exc);
            P& p = live(self);
            p.give_error(exc);
            return advance((Object*)self, p);
        });
    }

    static PyObject* running(PyObject* self, void*) { return PyBool_FromLong(((Object*)self)->running); }

    // Drops what the plan holds.  The driver closes every plan it leaves: a
    // plan left half-way (its coroutine cancelled) may hold an error whose
    // traceback holds the driver's frame, which holds the plan; the cycle
    // goes at once instead of waiting for the collector.
    static PyObject* close(PyObject* self, PyObject*) {
        Object* o = (Object*)self;
        P* p = o->plan;
        o->plan = nullptr;
        o->running = false;
        delete p;
        Py_RETURN_NONE;
    }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        P* p = ((Object*)self)->plan;
        return p ? p->traverse(visit, arg) : 0;
    }

    static int clear(PyObject* self) {
        Py_XDECREF(close(self, nullptr));
        return 0;
    }

    static void dealloc(PyObject* self) {
        PyObject_GC_UnTrack(self);
        Py_XDECREF(close(self, nullptr));
        Py_TYPE(self)->tp_free(self);
    }
};

template <class P>
PyTypeObject PlanType<P>::type;

// A reference visited for the collector, when set.
inline int visit_ref(const Ref& r, visitproc visit, void* arg) { return r ? visit(r.get(), arg) : 0; }

}  // namespace vantrel
}  // namespace tavrik
