// Rows written as JSON text (UTF-8 bytes) straight from their values: a web
// service hands the bytes to its response as they are.  One growing bytes
// object, no intermediate Python objects but where a type has no C view (a
// Decimal's digits, an aware value's offset, a subclass's own isoformat()).
// Header-only: Korvid's rows and lists and Ext.Dict's DictPlus both write
// through it, and neither module needs the other loaded.
#pragma once
#include "ref.hpp"
#include <datetime.h>
#include <cmath>
#include <cstring>
#if __has_include(<charconv>)
#include <charconv>
#endif

namespace tavrik {
namespace json {

// Deeper than any row tree a query loads: past it the values refer back to
// themselves (a row stored inside its own relation, a list holding itself).
constexpr int kMaxDepth = 128;

#define TAVRIK_JSON_NAMES(X) X(utcoffset) X(isoformat)

// What the writer recognises beyond the built-in types; read once, kept for
// the life of the process (no static here is ever released).
struct Types {
    Immortal date, datetime, time, delta, decimal, utc;
    TAVRIK_JSON_NAMES(TAVRIK_NAME_FIELD)
    bool ready = false;
    void init() {
        Ref dt = import("datetime");
        date = getattr(dt.get(), "date");
        datetime = getattr(dt.get(), "datetime");
        time = getattr(dt.get(), "time");
        delta = getattr(dt.get(), "timedelta");
        Ref tz = getattr(dt.get(), "timezone");
        utc = getattr(tz.get(), "utc");
        decimal = import_attr("decimal", "Decimal");
        TAVRIK_JSON_NAMES(TAVRIK_NAME_INTERN)
        ready = true;
    }
};

inline Types& types() {
    static Types t;
    if (!t.ready) t.init();
    return t;
}

class Writer {
public:
    Writer() : t_(types()), out_(new_ref(PyBytes_FromStringAndSize(nullptr, 4096))) {
        base_ = PyBytes_AS_STRING(out_.get());
        cap_ = 4096;
    }

    void value(PyObject* v, PyObject* key) {
        PyTypeObject* tp = Py_TYPE(v);
        if (tp == &PyUnicode_Type) return str(v, key);
        if (tp == &PyLong_Type) return integer(v);
        if (v == Py_None) return raw("null", 4);
        if (v == Py_True) return raw("true", 4);
        if (v == Py_False) return raw("false", 5);
        if (tp == &PyFloat_Type) return real(v, key);
        if (tp == (PyTypeObject*)t_.datetime.get()) return datetime(v);
        if (PyDict_Check(v)) return object(v, key);
        if (PyList_Check(v) || PyTuple_Check(v)) return array(v, key);
        other(v, key);
    }

    // The text written so far as bytes; the writer is spent.
    Ref finish() {
        PyObject* p = out_.relinquish();
        if (_PyBytes_Resize(&p, (Py_ssize_t)len_) < 0) throw_error();
        return new_ref(p);
    }

private:
    // At least `n` more bytes writable at the end.
    char* room(size_t n) {
        if (len_ + n > cap_) {
            size_t cap = cap_ * 2;
            while (cap < len_ + n) cap *= 2;
            PyObject* p = out_.relinquish();
            if (_PyBytes_Resize(&p, (Py_ssize_t)cap) < 0) throw_error();
            out_ = new_ref(p);
            base_ = PyBytes_AS_STRING(p);
            cap_ = cap;
        }
        return base_ + len_;
    }
    void raw(const char* s, size_t n) {
        std::memcpy(room(n), s, n);
        len_ += n;
    }
    void put(char c) {
        *room(1) = c;
        ++len_;
    }

    void enter(PyObject* key) {
        if (++depth_ > kMaxDepth) {
            if (key)
                PyErr_Format(PyExc_ValueError, "%s %R %s %d %s", "键", key, "处的值嵌套超过", kMaxDepth,
                             "层 (多半是引用自身的循环: 行或列表包含了自己)");
            else
                PyErr_Format(PyExc_ValueError, "%s %d %s", "值嵌套超过", kMaxDepth,
                             "层 (多半是引用自身的循环: 行或列表包含了自己)");
            throw_error();
        }
    }

    void object(PyObject* d, PyObject* at) {
        enter(at);
        put('{');
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool first = true;
        while (PyDict_Next(d, &pos, &k, &v)) {
            // Held: a value's own conversion may run Python code (a tzinfo).
            Ref key = Ref::owning(k);
            Ref val = Ref::owning(v);
            if (!PyUnicode_Check(k)) {
                PyErr_Format(PyExc_TypeError, "%s %R %s %.200s", "JSON 对象的键须为 str, 键", k, "的类型为",
                             Py_TYPE(k)->tp_name);
                throw_error();
            }
            if (!first) put(',');
            first = false;
            str(k, k);
            put(':');
            value(v, k);
        }
        put('}');
        --depth_;
    }

    void array(PyObject* seq, PyObject* key) {
        enter(key);
        put('[');
        const bool list = PyList_Check(seq);
        // Re-read the size each time: a value's conversion may run Python code.
        for (Py_ssize_t i = 0; i < (list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq)); i++) {
            if (i) put(',');
            Ref item = Ref::owning(list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            value(item.get(), key);
        }
        put(']');
        --depth_;
    }

    void digits(unsigned long long u, bool neg) {
        char tmp[24];
        char* e = tmp + sizeof(tmp);
        char* p = e;
        do {
            *--p = (char)('0' + u % 10);
            u /= 10;
        } while (u);
        if (neg) *--p = '-';
        raw(p, (size_t)(e - p));
    }

    void integer(PyObject* v) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (n == -1 && PyErr_Occurred()) throw_error();
        if (!overflow) return digits(n < 0 ? 0ULL - (unsigned long long)n : (unsigned long long)n, n < 0);
        // Beyond 64 bits: the exact decimal digits, as int's own repr gives them.
        Ref text = new_ref(PyLong_Type.tp_repr(v));
        ascii(text.get());
    }

    void ascii(PyObject* s) {
        Py_ssize_t n = 0;
        const char* p = PyUnicode_AsUTF8AndSize(s, &n);
        if (!p) throw_error();
        raw(p, (size_t)n);
    }

    void real(PyObject* v, PyObject* key) {
        double d = PyFloat_AS_DOUBLE(v);
        if (!std::isfinite(d)) {
            Ref r = new_ref(PyFloat_Type.tp_repr(v));
            if (key)
                PyErr_Format(PyExc_ValueError, "%s %R %s %U %s", "键", key, "的值", r.get(), "不是 JSON 能写的数");
            else
                PyErr_Format(PyExc_ValueError, "%s %U %s", "值", r.get(), "不是 JSON 能写的数");
            throw_error();
        }
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
        shortest(d);
#else
        // The shortest text that reads back as the same double (float's repr).
        char* s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!s) throw_error();
        raw(s, std::strlen(s));
        PyMem_Free(s);
#endif
    }

#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    // float's repr without its allocation: the shortest round-trip digits
    // (the library's), laid out as repr lays them out: positional for a
    // decimal point from 4 places left of the first digit to 16 right of
    // it, with ".0" on an integer; otherwise d.ddde+XX.
    void shortest(double d) {
        char sci[32];
        const std::to_chars_result r = std::to_chars(sci, sci + sizeof(sci), d, std::chars_format::scientific);
        const char* c = sci;
        char* p = room(32);
        char* const start = p;
        if (*c == '-') *p++ = *c++;
        char dig[20];
        int nd = 0;
        for (; *c != 'e'; ++c)
            if (*c != '.') dig[nd++] = *c;
        // The exponent: 'e', its sign, its digits (the text is not terminated).
        const bool negexp = c[1] == '-';
        int exp = 0;
        for (c += 2; c < r.ptr; ++c) exp = exp * 10 + (*c - '0');
        if (negexp) exp = -exp;
        const int decpt = exp + 1;
        if (decpt > -4 && decpt <= 16) {
            if (decpt <= 0) {
                *p++ = '0';
                *p++ = '.';
                for (int i = decpt; i < 0; i++) *p++ = '0';
                for (int i = 0; i < nd; i++) *p++ = dig[i];
            } else if (decpt >= nd) {
                for (int i = 0; i < nd; i++) *p++ = dig[i];
                for (int i = nd; i < decpt; i++) *p++ = '0';
                *p++ = '.';
                *p++ = '0';
            } else {
                for (int i = 0; i < decpt; i++) *p++ = dig[i];
                *p++ = '.';
                for (int i = decpt; i < nd; i++) *p++ = dig[i];
            }
        } else {
            *p++ = dig[0];
            if (nd > 1) {
                *p++ = '.';
                for (int i = 1; i < nd; i++) *p++ = dig[i];
            }
            *p++ = 'e';
            *p++ = exp < 0 ? '-' : '+';
            int e = exp < 0 ? -exp : exp;
            if (e >= 100) *p++ = (char)('0' + e / 100);
            p = two(p, e % 100);
        }
        len_ += (size_t)(p - start);
    }
#endif

    // A JSON string: quotes, backslash and control characters escaped,
    // everything else as UTF-8; a lone surrogate has no UTF-8 form.
    void str(PyObject* s, PyObject* key) {
        if (PyUnicode_READY(s) < 0) throw_error();
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        // Worst case six bytes a character (\u00XX), plus the quotes.
        char* p = room((size_t)n * 6 + 2);
        char* const start = p;
        *p++ = '"';
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        if (kind == PyUnicode_1BYTE_KIND) {
            const Py_UCS1* c = (const Py_UCS1*)data;
            if (PyUnicode_IS_ASCII(s)) {
                // Runs of characters that need no escape go in one copy.
                Py_ssize_t i = 0;
                while (i < n) {
                    Py_ssize_t j = i;
                    while (j < n && c[j] >= 0x20 && c[j] != '"' && c[j] != '\\') j++;
                    std::memcpy(p, c + i, (size_t)(j - i));
                    p += j - i;
                    if (j < n) p = escape(p, c[j++]);
                    i = j;
                }
            } else {
                for (Py_ssize_t i = 0; i < n; i++) p = utf8(p, c[i]);
            }
        } else if (kind == PyUnicode_2BYTE_KIND) {
            const Py_UCS2* c = (const Py_UCS2*)data;
            for (Py_ssize_t i = 0; i < n; i++) {
                if (c[i] >= 0xD800 && c[i] <= 0xDFFF) lone_surrogate(s, i, key);
                p = utf8(p, c[i]);
            }
        } else {
            const Py_UCS4* c = (const Py_UCS4*)data;
            for (Py_ssize_t i = 0; i < n; i++) {
                if (c[i] >= 0xD800 && c[i] <= 0xDFFF) lone_surrogate(s, i, key);
                p = utf8(p, c[i]);
            }
        }
        *p++ = '"';
        len_ += (size_t)(p - start);
    }

    static char* escape(char* p, Py_UCS4 ch) {
        static const char hex[] = "0123456789abcdef";
        *p++ = '\\';
        switch (ch) {
            case '"': *p++ = '"'; break;
            case '\\': *p++ = '\\'; break;
            case '\n': *p++ = 'n'; break;
            case '\r': *p++ = 'r'; break;
            case '\t': *p++ = 't'; break;
            case '\b': *p++ = 'b'; break;
            case '\f': *p++ = 'f'; break;
            default:
                *p++ = 'u';
                *p++ = '0';
                *p++ = '0';
                *p++ = hex[ch >> 4];
                *p++ = hex[ch & 15];
        }
        return p;
    }

    static char* utf8(char* p, Py_UCS4 ch) {
        if (ch < 0x80) {
            if (ch >= 0x20 && ch != '"' && ch != '\\')
                *p++ = (char)ch;
            else
                p = escape(p, ch);
        } else if (ch < 0x800) {
            *p++ = (char)(0xC0 | (ch >> 6));
            *p++ = (char)(0x80 | (ch & 0x3F));
        } else if (ch < 0x10000) {
            *p++ = (char)(0xE0 | (ch >> 12));
            *p++ = (char)(0x80 | ((ch >> 6) & 0x3F));
            *p++ = (char)(0x80 | (ch & 0x3F));
        } else {
            *p++ = (char)(0xF0 | (ch >> 18));
            *p++ = (char)(0x80 | ((ch >> 12) & 0x3F));
            *p++ = (char)(0x80 | ((ch >> 6) & 0x3F));
            *p++ = (char)(0x80 | (ch & 0x3F));
        }
        return p;
    }

    [[noreturn]] static void lone_surrogate(PyObject* s, Py_ssize_t i, PyObject* key) {
        Ref at = new_ref(PyLong_FromSsize_t(i));
        if (key && key != s)
            PyErr_Format(PyExc_ValueError, "%s %R %s %S %s", "键", key, "的字符串在位置", at.get(),
                         "有单独的代理字符, 无法写成 UTF-8");
        else
            PyErr_Format(PyExc_ValueError, "%s %R %s %S %s", "字符串", s, "在位置", at.get(),
                         "有单独的代理字符, 无法写成 UTF-8");
        throw_error();
    }

    static char* two(char* p, int v) {
        *p++ = (char)('0' + v / 10);
        *p++ = (char)('0' + v % 10);
        return p;
    }

    void ymd(int y, int m, int d) {
        char* p = room(10);
        char* const start = p;
        p = two(p, y / 100);
        p = two(p, y % 100);
        *p++ = '-';
        p = two(p, m);
        *p++ = '-';
        p = two(p, d);
        len_ += (size_t)(p - start);
    }

    void hms(int h, int m, int s, int us) {
        char* p = room(15);
        char* const start = p;
        p = two(p, h);
        *p++ = ':';
        p = two(p, m);
        *p++ = ':';
        p = two(p, s);
        if (us) {
            *p++ = '.';
            p = two(p, us / 10000);
            p = two(p, us / 100 % 100);
            p = two(p, us % 100);
        }
        len_ += (size_t)(p - start);
    }

    // The offset as isoformat() writes it: +HH:MM, then :SS and .ffffff when
    // they are not zero.
    void offset(PyObject* v, PyObject* tzinfo) {
        if (tzinfo == t_.utc.get()) return raw("+00:00", 6);
        Ref off = call_method(v, t_.utcoffset);
        if (off.get() == Py_None) return;
        if (!PyObject_TypeCheck(off.get(), (PyTypeObject*)t_.delta.get())) {
            PyErr_Format(PyExc_TypeError, "utcoffset() %s %.200s", "返回了", Py_TYPE(off.get())->tp_name);
            throw_error();
        }
        long long total =
            ((long long)PyDateTime_DELTA_GET_DAYS(off.get()) * 86400 + PyDateTime_DELTA_GET_SECONDS(off.get())) *
                1000000LL +
            PyDateTime_DELTA_GET_MICROSECONDS(off.get());
        put(total < 0 ? '-' : '+');
        if (total < 0) total = -total;
        const long long us = total % 1000000;
        const long long secs = total / 1000000;
        char* p = room(16);
        char* const start = p;
        p = two(p, (int)(secs / 3600));
        *p++ = ':';
        p = two(p, (int)(secs / 60 % 60));
        if (secs % 60 || us) {
            *p++ = ':';
            p = two(p, (int)(secs % 60));
            if (us) {
                *p++ = '.';
                p = two(p, (int)(us / 10000));
                p = two(p, (int)(us / 100 % 100));
                p = two(p, (int)(us % 100));
            }
        }
        len_ += (size_t)(p - start);
    }

    void datetime(PyObject* v) {
        put('"');
        ymd(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v));
        put('T');
        hms(PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v), PyDateTime_DATE_GET_SECOND(v),
            PyDateTime_DATE_GET_MICROSECOND(v));
        PyDateTime_DateTime* d = (PyDateTime_DateTime*)v;
        if (d->hastzinfo) offset(v, d->tzinfo);
        put('"');
    }

    void time(PyObject* v) {
        put('"');
        hms(PyDateTime_TIME_GET_HOUR(v), PyDateTime_TIME_GET_MINUTE(v), PyDateTime_TIME_GET_SECOND(v),
            PyDateTime_TIME_GET_MICROSECOND(v));
        PyDateTime_Time* t = (PyDateTime_Time*)v;
        if (t->hastzinfo) offset(v, t->tzinfo);
        put('"');
    }

    // A string of ASCII text (a Decimal's digits, a subclass's isoformat()).
    void quoted(PyObject* text, PyObject* key) {
        if (!PyUnicode_Check(text)) {
            PyErr_Format(PyExc_TypeError, "isoformat() %s %.200s", "返回了", Py_TYPE(text)->tp_name);
            throw_error();
        }
        str(text, key);
    }

    // The types past the hot path: subclasses, the date and time types, Decimal, bytes.
    void other(PyObject* v, PyObject* key) {
        PyTypeObject* tp = Py_TYPE(v);
        if (PyBool_Check(v)) return raw(v == Py_True ? "true" : "false", v == Py_True ? 4 : 5);
        if (PyLong_Check(v)) return integer(v);
        if (PyUnicode_Check(v)) return str(v, key);
        if (PyFloat_Check(v)) return real(v, key);
        if (tp == (PyTypeObject*)t_.date.get()) {
            put('"');
            ymd(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v));
            return put('"');
        }
        if (tp == (PyTypeObject*)t_.time.get()) return time(v);
        if (PyObject_TypeCheck(v, (PyTypeObject*)t_.decimal.get())) {
            // Exact: the decimal's own digits, as a string (a JSON number
            // would be read back as a double by most readers).
            Ref text = new_ref(PyObject_Str(v));
            return quoted(text.get(), key);
        }
        if (PyObject_TypeCheck(v, (PyTypeObject*)t_.date.get()) ||
            PyObject_TypeCheck(v, (PyTypeObject*)t_.time.get())) {
            // A subclass (of datetime too) may write itself otherwise.
            Ref text = call_method(v, t_.isoformat);
            return quoted(text.get(), key);
        }
        if (PyBytes_Check(v)) return base64((const unsigned char*)PyBytes_AS_STRING(v), (size_t)PyBytes_GET_SIZE(v));
        if (PyByteArray_Check(v))
            return base64((const unsigned char*)PyByteArray_AS_STRING(v), (size_t)PyByteArray_GET_SIZE(v));
        if (key)
            PyErr_Format(PyExc_TypeError, "%s %R %s %.200s %s", "键", key, "的值类型", tp->tp_name, "无法写成 JSON");
        else
            PyErr_Format(PyExc_TypeError, "%s %.200s %s", "值类型", tp->tp_name, "无法写成 JSON");
        throw_error();
    }

    // Standard alphabet, padded.
    void base64(const unsigned char* s, size_t n) {
        static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        char* p = room((n + 2) / 3 * 4 + 2);
        char* const start = p;
        *p++ = '"';
        size_t i = 0;
        for (; i + 3 <= n; i += 3) {
            const unsigned w = (unsigned)s[i] << 16 | (unsigned)s[i + 1] << 8 | s[i + 2];
            *p++ = abc[w >> 18];
            *p++ = abc[(w >> 12) & 63];
            *p++ = abc[(w >> 6) & 63];
            *p++ = abc[w & 63];
        }
        if (i < n) {
            const unsigned w = (unsigned)s[i] << 16 | (i + 1 < n ? (unsigned)s[i + 1] << 8 : 0);
            *p++ = abc[w >> 18];
            *p++ = abc[(w >> 12) & 63];
            *p++ = i + 1 < n ? abc[(w >> 6) & 63] : '=';
            *p++ = '=';
        }
        *p++ = '"';
        len_ += (size_t)(p - start);
    }

    Types& t_;
    Ref out_;
    char* base_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
    int depth_ = 0;
};

// The JSON bytes of one value (a row, a list of rows).
inline Ref dumps(PyObject* v) {
    Writer w;
    w.value(v, nullptr);
    return w.finish();
}

}  // namespace json
}  // namespace tavrik
