// Binding call arguments to named parameters (positional or keyword, with
// defaults), with the interpreter's arity and keyword texts.  Every module's
// Python-facing functions bind their arguments through these.
#pragma once
#include "args.hpp"
#include <cstring>

namespace tavrik {

struct Params {
    const char* func;        // name used in messages
    const char* const* names;  // parameter names
    int count;               // number of parameters
    int required;            // leading parameters without default
};

// Finds a keyword in `names`; -1 if unknown.
inline int param_index(const Params& p, PyObject* key) {
    for (int i = 0; i < p.count; ++i)
        if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) return i;
    return -1;
}

[[noreturn]] inline void raise_count(const Params& p, Py_ssize_t given) {
    const char* how = p.required == p.count ? "exactly" : (given < p.required ? "at least" : "at most");
    Py_ssize_t n = given < p.required ? p.required : p.count;
    raise_arity(p.func, how, n, given);
}

// Fills out[0..count) with borrowed references (NULL where not given).
// Vectorcall form: `kwnames` is a tuple of names whose values follow args[nargs].
// With `extra`, keywords that name no parameter are collected there (a dict
// made on first use) instead of being refused.
inline void parse_fast(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       PyObject** out, Ref* extra = nullptr) {
    for (int i = 0; i < p.count; ++i) out[i] = nullptr;
    if (nargs > p.count) raise_count(p, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nk; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            int idx = param_index(p, key);
            if (idx < 0) {
                if (!extra) raise_unexpected_kw(p.func, key);
                if (!*extra) *extra = new_ref(PyDict_New());
                Require(PyDict_SetItem(extra->get(), key, args[nargs + k]));
                continue;
            }
            if (out[idx]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", p.func, key);
                throw_error();
            }
            out[idx] = args[nargs + k];
        }
    }
    for (int i = 0; i < p.required; ++i)
        if (!out[i]) raise_count(p, nargs);
}

// The same with the parameters spelt out: names[0..nparams), the first
// `nrequired` of them without default.
inline void bind_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const char* const* names, Py_ssize_t nparams, Py_ssize_t nrequired, PyObject** out,
                      Ref* extra = nullptr) {
    parse_fast(Params{func, names, (int)nparams, (int)nrequired}, args, nargs, kwnames, out, extra);
}

// Tuple/dict form (tp_init, METH_VARARGS).
inline void parse_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (int i = 0; i < p.count; ++i) out[i] = nullptr;
    if (nargs > p.count) raise_count(p, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", p.func);
                throw_error();
            }
            int idx = param_index(p, key);
            if (idx < 0) raise_unexpected_kw(p.func, key);
            if (out[idx]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", p.func, key);
                throw_error();
            }
            out[idx] = value;
        }
    }
    for (int i = 0; i < p.required; ++i)
        if (!out[i]) raise_count(p, nargs);
}

}  // namespace tavrik
