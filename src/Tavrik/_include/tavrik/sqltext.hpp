// Building SQL text: identifiers are always quoted, never spliced raw.
#pragma once
#include "args.hpp"
#include <cstring>
#include <string>

namespace tavrik {

inline void append_utf8(std::string& out, PyObject* str) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(str, &n);
    if (!s) throw_error();
    out.append(s, (size_t)n);
}

// `name` with backticks doubled.  SQLite and MySQL both read backtick quotes;
// an empty name or one holding NUL cannot be a valid identifier.
inline void quote_ident(std::string& out, PyObject* name) {
    if (!PyUnicode_Check(name)) raise_expected("str", name);
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(name, &n);
    if (!s) throw_error();
    if (n == 0 || memchr(s, '\0', (size_t)n)) {
        PyErr_Format(PyExc_ValueError, "invalid SQL identifier %R", name);
        throw_error();
    }
    out += '`';
    for (Py_ssize_t i = 0; i < n; i++) {
        if (s[i] == '`') out += '`';
        out += s[i];
    }
    out += '`';
}

}  // namespace tavrik
