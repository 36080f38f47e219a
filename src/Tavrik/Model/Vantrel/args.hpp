// Binding of METH_FASTCALL|METH_KEYWORDS arguments to named parameters, with
// the interpreter's own argument-error texts.
#pragma once
#include <tavrik/ref.hpp>
#include <cstring>

namespace tavrik {
namespace vantrel {

// Fills out[0..nparams) with borrowed references (NULL for an omitted
// optional parameter).  The first `nrequired` parameters must be given.
inline void bind_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const char* const* names, int nparams, int nrequired, PyObject** out) {
    for (int i = 0; i < nparams; i++) out[i] = nullptr;
    if (nargs > nparams) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes at most %d argument%s (%zd given)", fname, nparams,
                     nparams == 1 ? "" : "s", nargs);
        throw_error();
    }
    for (Py_ssize_t i = 0; i < nargs; i++) out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int found = -1;
            for (int i = 0; i < nparams; i++) {
                if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                    found = i;
                    break;
                }
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%S'", fname, key);
                throw_error();
            }
            if (out[found]) {
                PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%s') and position (%d)", fname,
                             names[found], found + 1);
                throw_error();
            }
            out[found] = args[nargs + k];
        }
    }
    for (int i = 0; i < nrequired; i++) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %d)", fname, names[i], i + 1);
            throw_error();
        }
    }
}

inline void no_kwargs(const char* fname, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", fname);
        throw_error();
    }
}

}  // namespace vantrel
}  // namespace tavrik
