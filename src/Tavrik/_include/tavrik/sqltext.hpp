// Building SQL text: identifiers are always quoted, never spliced raw.
#pragma once
#include "args.hpp"
#include "dialect.hpp"
#include <cstring>
#include <string>

namespace tavrik {

inline void append_utf8(std::string& out, PyObject* str) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(str, &n);
    if (!s) throw_error();
    out.append(s, (size_t)n);
}

// `name` in the dialect's identifier quotes, the quote doubled inside it; an
// empty name or one holding NUL cannot be a valid identifier.  The
// generator's own texts use backquotes, which SQLite and MySQL both read.
inline void quote_ident(std::string& out, PyObject* name, const Dialect& d = kSQLite) {
    const char q = d.quote;
    if (!PyUnicode_Check(name)) raise_expected("str", name);
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(name, &n);
    if (!s) throw_error();
    if (n == 0 || memchr(s, '\0', (size_t)n)) {
        PyErr_Format(PyExc_ValueError, "invalid SQL identifier %R", name);
        throw_error();
    }
    out += q;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (s[i] == q) out += q;
        out += s[i];
    }
    out += q;
}

// Statement text as a driver reads it.  Quoted names, string literals and
// comments are copied through untouched by the placeholder rewrite: a "%s"
// or "?" inside a name is part of the name, not a parameter.
//
// Rewrites `sql` (UTF-8; the bytes scanned for are ASCII, so multi-byte
// characters pass through whole) from the generator's "%s" placeholders to
// the dialect's: "?" (SQLite), "$1", "$2", ... (numbered), or left as they
// are ("%s", MySQL), where the driver formats the whole text with `%`, so
// every `%` inside quotes or comments is doubled.  For a dialect whose
// identifier quote is not the backquote, the generator's backquoted names are
// written in its quotes.
inline std::string rewrite_statement(const char* s, size_t n, const Dialect& d) {
    const bool percent = d.percent_formatting;
    const bool keep_placeholders = !d.numbered && std::strcmp(d.placeholder, "%s") == 0;
    int position = 0;
    std::string out;
    out.reserve(n + 8);
    // Copies s[from, to) doubling `%` for a driver that formats with it.
    auto copy_quoted = [&](size_t from, size_t to) {
        for (size_t k = from; k < to; k++) {
            if (percent && s[k] == '%') out += '%';
            out += s[k];
        }
    };
    size_t i = 0;
    while (i < n) {
        char c = s[i];
        if (c == '`' && d.quote != '`') {
            // The generator's backquoted name in the dialect's quotes: a
            // doubled backquote is one inside the name, the dialect's quote
            // is doubled.
            out += d.quote;
            size_t j = i + 1;
            while (j < n) {
                if (s[j] == '`') {
                    if (j + 1 < n && s[j + 1] == '`') {
                        out += '`';
                        j += 2;
                        continue;
                    }
                    j++;
                    break;
                }
                if (s[j] == d.quote) out += d.quote;
                if (percent && s[j] == '%') out += '%';
                out += s[j++];
            }
            out += d.quote;
            i = j;
        } else if (c == '\'' || c == '"' || c == '`' || (c == '[' && d.bracket_names)) {
            const char close = c == '[' ? ']' : c;
            // Backslash escapes are read in string literals, not in names.
            const bool backslash = d.backslash_escapes && c != '`' && c != d.quote;
            size_t j = i + 1;
            while (j < n) {
                if (backslash && s[j] == '\\' && j + 1 < n) {
                    j += 2;
                    continue;
                }
                if (s[j] == close) {
                    if (close != ']' && j + 1 < n && s[j + 1] == close) {
                        j += 2;  // a doubled quote stays inside
                        continue;
                    }
                    j++;
                    break;
                }
                j++;
            }
            copy_quoted(i, j);
            i = j;
        } else if ((c == '-' && i + 1 < n && s[i + 1] == '-') || (d.hash_comments && c == '#')) {
            size_t j = i;
            while (j < n && s[j] != '\n') j++;
            copy_quoted(i, j);
            i = j;
        } else if (c == '/' && i + 1 < n && s[i + 1] == '*') {
            size_t j = i + 2;
            while (j + 1 < n && !(s[j] == '*' && s[j + 1] == '/')) j++;
            j = j + 1 < n ? j + 2 : n;
            copy_quoted(i, j);
            i = j;
        } else if (!keep_placeholders && c == '%' && i + 1 < n && s[i + 1] == 's') {
            out += d.placeholder;
            if (d.numbered) out += std::to_string(++position);
            i += 2;
        } else {
            out += c;
            i++;
        }
    }
    return out;
}

inline Ref rewrite_statement(PyObject* sql, const Dialect& d) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(sql, &n);
    if (!s) throw_error();
    std::string out = rewrite_statement(s, (size_t)n, d);
    return new_ref(PyUnicode_DecodeUTF8(out.data(), (Py_ssize_t)out.size(), nullptr));
}

}  // namespace tavrik
