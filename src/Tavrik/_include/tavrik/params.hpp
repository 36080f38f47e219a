// Binding call arguments to named parameters (positional or keyword, with
// defaults), with the interpreter's arity and keyword texts.  Every module's
// Python-facing functions bind their arguments through these, never through
// the interpreter's format-string parsers (make lint checks).
#pragma once
#include "args.hpp"
#include <climits>
#include <cstring>

namespace tavrik {

struct Params {
    const char* func;          // name used in messages
    const char* const* names;  // parameter names
    int count;                 // number of parameters
    int required;              // leading parameters without default
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
inline void parse_fast(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                       Ref* extra = nullptr) {
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

// ---- the texts of the interpreter's tuple-and-keywords format parser ----
// For the tp_init and METH_VARARGS entry points whose errors have always
// been that function's ("missing required argument 'x' (pos 1)", "takes at
// most 2 arguments (3 given)", "'x' is an invalid keyword argument for f()",
// which 3.13 words as "f() got an unexpected keyword argument 'x'").
struct KwParams {
    const char* func;          // name used in messages
    const char* const* names;  // parameter names
    int count;                 // number of parameters
    int required;              // leading parameters without default
    int positional;            // leading parameters that may be given by position (the rest keyword-only)
};

// A parameter's value converted the moment it is bound, as the interpreter
// converts (so a conversion error comes before a later argument's error).
struct NoConvert {
    void operator()(int, PyObject*) const noexcept {}
};

template <class Convert = NoConvert>
void parse_tuple_kw(const KwParams& p, PyObject* args, PyObject* kwargs, PyObject** out, Convert&& convert = {}) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    for (int i = 0; i < p.count; ++i) out[i] = nullptr;
    if (nargs + nkw > p.count) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes at most %d %sargument%s (%zd given)", p.func, p.count,
                     nargs == 0 ? "keyword " : "", p.count == 1 ? "" : "s", nargs + nkw);
        throw_error();
    }
    Py_ssize_t left = nkw;  // keywords not yet matched
    for (int i = 0; i < p.count; ++i) {
        // Where the keyword-only ones begin, after the earlier ones converted.
        if (i == p.positional && nargs > p.positional) {
            if (p.positional == 0)
                PyErr_Format(PyExc_TypeError, "%.200s() takes no positional arguments", p.func);
            else
                PyErr_Format(PyExc_TypeError, "%.200s() takes %s %d positional argument%s (%zd given)", p.func,
                             p.required < p.count ? "at most" : "exactly", p.positional, p.positional == 1 ? "" : "s",
                             nargs);
            throw_error();
        }
        PyObject* v = nullptr;
        if (i < nargs) {
            v = PyTuple_GET_ITEM(args, i);
        } else if (left) {
            v = PyDict_GetItemString(kwargs, p.names[i]);
            if (v) --left;
        }
        if (v) {
            out[i] = v;
            convert(i, v);
            continue;
        }
        if (i < p.required) {
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %d)", p.func, p.names[i],
                         i + 1);
            throw_error();
        }
        if (!left) return;
    }
    if (!left) return;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (PyDict_GetItemString(kwargs, p.names[i])) {
            PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%s') and position (%zd)", p.func,
                         p.names[i], i + 1);
            throw_error();
        }
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            throw_error();
        }
        if (param_index(Params{p.func, p.names, p.count, p.required}, key) < 0) {
#if PY_VERSION_HEX >= 0x030D0000
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", p.func, key);
#else
            PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %.200s()", key, p.func);
#endif
            throw_error();
        }
    }
}

// The interpreter's conversions of an argument to a C int ("i"), a C long
// long ("L"), a Py_ssize_t ("n") and a truth value ("p"), with its texts.
inline bool float_refused(PyObject* v) {
#if PY_VERSION_HEX < 0x030A0000
    // 3.9 refuses a float here rather than truncating it.
    if (PyFloat_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "integer argument expected, got float");
        return true;
    }
#else
    (void)v;
#endif
    return false;
}
inline int arg_int(PyObject* v) {
    if (float_refused(v)) throw_error();
    long x = PyLong_AsLong(v);
    if (x == -1 && PyErr_Occurred()) throw_error();
    if (x > INT_MAX || x < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError,
                        x > INT_MAX ? "signed integer is greater than maximum" : "signed integer is less than minimum");
        throw_error();
    }
    return (int)x;
}
inline long long arg_long_long(PyObject* v) {
    if (float_refused(v)) throw_error();
    long long x = PyLong_AsLongLong(v);
    if (x == -1 && PyErr_Occurred()) throw_error();
    return x;
}
inline Py_ssize_t arg_ssize(PyObject* v) {
    if (float_refused(v)) throw_error();
    Ref i = new_ref(PyNumber_Index(v));
    Py_ssize_t x = PyLong_AsSsize_t(i.get());
    if (x == -1 && PyErr_Occurred()) throw_error();
    return x;
}
inline bool arg_bool(PyObject* v) { return Require(PyObject_IsTrue(v)) != 0; }

}  // namespace tavrik
