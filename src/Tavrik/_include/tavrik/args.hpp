// Argument checks that raise the interpreter's own TypeError texts.
#pragma once
#include "ref.hpp"
#include <climits>
#include <cstdint>

namespace tavrik {

inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// "Argument 'x' has incorrect type (expected str, got int)"
[[noreturn]] inline void raise_arg_type(const char* arg, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg, expected,
                 type_name(got));
    throw_error();
}
// "Expected dict, got list"
[[noreturn]] inline void raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", expected, type_name(got));
    throw_error();
}
// "Cannot convert int to ModelInstance"
[[noreturn]] inline void raise_cannot_convert(PyObject* got, const char* target) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(got), target);
    throw_error();
}
// "f() takes at least 1 positional argument (0 given)"
[[noreturn]] inline void raise_arity(const char* func, const char* how, Py_ssize_t n, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, how, n,
                 n == 1 ? "" : "s", given);
    throw_error();
}
[[noreturn]] inline void raise_unexpected_kw(const char* func, PyObject* kw) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, kw);
    throw_error();
}
[[noreturn]] inline void raise_none_attr(const char* attr) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attr);
    throw_error();
}

// Checks `o` is an instance of `tp` (or None when allowed) for argument `arg`.
inline void check_arg(PyObject* o, PyTypeObject* tp, const char* arg, bool allow_none = true) {
    if (o == Py_None && allow_none) return;
    if (!PyObject_TypeCheck(o, tp)) raise_arg_type(arg, tp->tp_name, o);
}
inline void check_arg_exact_or_sub(PyObject* o, int ok, const char* arg, const char* expected, bool allow_none = true) {
    if (o == Py_None && allow_none) return;
    if (!ok) raise_arg_type(arg, expected, o);
}
inline void check_str_arg(PyObject* o, const char* arg, bool allow_none = true) {
    check_arg_exact_or_sub(o, PyUnicode_Check(o), arg, "str", allow_none);
}
inline void check_tuple_arg(PyObject* o, const char* arg, bool allow_none = true) {
    check_arg_exact_or_sub(o, PyTuple_Check(o), arg, "tuple", allow_none);
}

// Python int -> C int32 with the interpreter's texts (TypeError / OverflowError).
inline int32_t to_int32(PyObject* o) {
    if (!PyLong_Check(o)) {
        PyErr_Format(PyExc_TypeError, "an integer is required");
        throw_error();
    }
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) throw_error();
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        throw_error();
    }
    return (int32_t)v;
}
// Python int -> C int64 (row ids and offsets are 64-bit).
inline int64_t to_int64(PyObject* o) {
    if (!PyLong_Check(o)) {
        PyErr_Format(PyExc_TypeError, "an integer is required");
        throw_error();
    }
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) throw_error();
    return (int64_t)v;
}

// Keyword names must be strings: "%.200s() keywords must be strings".
inline void check_kw_strings(PyObject* kwargs, const char* func) {
    if (!kwargs) return;
    PyObject *k, *v;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
        if (!PyUnicode_Check(k)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
            throw_error();
        }
    }
}

}  // namespace tavrik
