// Value conversions between Python values and what the database stores.
#include "mp.hpp"
#include <datetime.h>
#include <cmath>

namespace tavrik {
namespace mp {

Names names;

void Names::init() {
    MODELPROPERTY_NAMES(TAVRIK_NAME_INTERN)
    space = intern(" ");
    one_str = intern("1");
}

namespace {
Immortal DecimalType;
Immortal ROUND_HALF_UP;
Immortal json_loads;
Immortal json_dumps;
Immortal deepcopy;
Immortal wide_context;  // quantizes any DECIMAL(65, 30) without InvalidOperation
Immortal context_kw;
}  // namespace

void init_convert() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw_error();
    DecimalType = import_attr("decimal", "Decimal");
    ROUND_HALF_UP = import_attr("decimal", "ROUND_HALF_UP");
    json_loads = import_attr("json", "loads");
    json_dumps = import_attr("json", "dumps");
    deepcopy = import_attr("copy", "deepcopy");
    Ref context_type = import_attr("decimal", "Context");
    Ref kw = new_ref(PyDict_New());
    Ref prec = from_long(100);
    Require(PyDict_SetItemString(kw.get(), "prec", prec.get()));
    Require(PyDict_SetItemString(kw.get(), "rounding", ROUND_HALF_UP));
    Ref empty = new_ref(PyTuple_New(0));
    wide_context = new_ref(PyObject_Call(context_type.get(), empty.get(), kw.get()));
    context_kw = new_ref(Py_BuildValue("(s)", "context"));
}

bool is_sentinel(PyObject* v) {
    return v == (PyObject*)&AutoIncrementType || v == (PyObject*)&NullDefaultType ||
           PyObject_TypeCheck(v, &AutoIncrementType) || PyObject_TypeCheck(v, &NullDefaultType);
}

// ------------------------------------------------------------------ errors

static Ref table_text(PyObject* prop) {
    PyObject* owner = P(prop)->owner;
    if (owner) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* name = PyObject_GetAttr(owner, names.tableName.get());
        PyErr_Clear();
        PyErr_Restore(t, v, tb);
        if (name && PyUnicode_Check(name)) return Ref::consuming(name);
        Py_XDECREF(name);
    }
    return intern("?");
}

static Ref column_prefix(PyObject* prop) {
    Ref table = table_text(prop);
    PyObject* col = prop_column(prop);
    if (col && PyUnicode_Check(col))
        return new_ref(PyUnicode_FromFormat("column '%U' of table '%U': ", col, table.get()));
    return new_ref(PyUnicode_FromFormat("column '?' of table '%U': ", table.get()));
}

void raise_column(PyObject* prop, PyObject* exc, const char* msg) {
    Ref prefix = column_prefix(prop);
    PyErr_Format(exc, "%U%s", prefix.get(), msg);
    throw_error();
}

void rethrow_column(PyObject* prop) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (!t) throw_error();
    PyErr_NormalizeException(&t, &v, &tb);
    Ref type = Ref::consuming_nullable(t), val = Ref::consuming_nullable(v), trace = Ref::consuming_nullable(tb);
    PyObject* kind = nullptr;
    if (PyErr_GivenExceptionMatches(t, PyExc_TypeError))
        kind = PyExc_TypeError;
    else if (PyErr_GivenExceptionMatches(t, PyExc_ValueError) || PyErr_GivenExceptionMatches(t, PyExc_ArithmeticError))
        kind = PyExc_ValueError;
    if (!kind) {  // not a conversion failure: pass it on unchanged
        PyErr_Restore(type.relinquish(), val.relinquish(), trace.relinquish());
        throw_error();
    }
    Ref text = Ref::consuming_nullable(val ? PyObject_Str(val.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        text = intern("invalid value");
    }
    Ref prefix = column_prefix(prop);
    Ref msg = new_ref(PyUnicode_Concat(prefix.get(), text.get()));
    Ref exc = new_ref(PyObject_CallOneArg(kind, msg.get()));
    if (val) PyException_SetCause(exc.get(), val.relinquish());
    PyErr_SetObject(kind, exc.get());
    throw_error();
}

[[noreturn]] static void expected(PyObject* prop, const char* what, PyObject* got) {
    Ref prefix = column_prefix(prop);
    PyErr_Format(PyExc_TypeError, "%Uexpected %s, got %.200s", prefix.get(), what, Py_TYPE(got)->tp_name);
    throw_error();
}

// ------------------------------------------------------- to the Python value

static bool is_decimal(PyObject* v) { return PyObject_TypeCheck(v, (PyTypeObject*)DecimalType.get()); }

static Ref to_int(PyObject* prop, PyObject* v) {
    if (PyLong_CheckExact(v)) return borrow(v);
    if (PyBool_Check(v)) return from_long(v == Py_True);
    if (PyLong_Check(v)) return new_ref(PyNumber_Long(v));
    if (PyFloat_Check(v) || is_decimal(v)) {
        if (PyFloat_Check(v) && !std::isfinite(PyFloat_AS_DOUBLE(v)))
            raise_column(prop, PyExc_ValueError, "a non-finite number is not an integer");
        Ref i = Ref::consuming_nullable(PyNumber_Long(v));
        if (!i) rethrow_column(prop);
        int eq = PyObject_RichCompareBool(i.get(), v, Py_EQ);
        if (eq < 0) rethrow_column(prop);
        if (!eq) raise_column(prop, PyExc_ValueError, "a fractional number is not an integer");
        return i;
    }
    if (PyUnicode_Check(v)) {
        Ref i = Ref::consuming_nullable(PyLong_FromUnicodeObject(v, 10));
        if (!i) rethrow_column(prop);
        return i;
    }
    expected(prop, "int", v);
}

static Ref to_float(PyObject* prop, PyObject* v) {
    if (PyFloat_CheckExact(v)) return borrow(v);
    if (PyLong_Check(v) || PyFloat_Check(v) || is_decimal(v) || PyUnicode_Check(v)) {
        Ref f = Ref::consuming_nullable(PyUnicode_Check(v) ? PyFloat_FromString(v) : PyNumber_Float(v));
        if (!f) rethrow_column(prop);
        return f;
    }
    expected(prop, "float", v);
}

static Ref to_decimal(PyObject* prop, PyObject* v) {
    if (Py_TYPE(v) == (PyTypeObject*)DecimalType.get()) return borrow(v);
    Ref src;
    if (is_decimal(v) || PyLong_Check(v) || PyUnicode_Check(v))
        src = borrow(v);
    else if (PyFloat_Check(v))  // the shortest repr, not the binary expansion
        src = new_ref(PyObject_Repr(v));
    else if (PyBytes_Check(v))
        src = new_ref(PyUnicode_FromEncodedObject(v, "ascii", "strict"));
    else
        expected(prop, "Decimal", v);
    if (PyBool_Check(v)) src = from_long(v == Py_True);
    Ref d = Ref::consuming_nullable(PyObject_CallOneArg(DecimalType, src.get()));
    if (!d) rethrow_column(prop);
    return d;
}

// A number read back as REAL or INTEGER (SQLite's NUMERIC columns) comes
// back with the column's scale, as a DECIMAL column gives it: 12.3 -> 12.30.
static Ref stored_decimal(PyObject* prop, PyObject* v) {
    Ref d = to_decimal(prop, v);
    PyObject* args = P(prop)->typeArgs;
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 2) return d;
    long scale = PyLong_AsLong(PyTuple_GET_ITEM(args, 1));
    if (scale == -1 && PyErr_Occurred()) throw_error();
    Ref exp = scale ? new_ref(PyUnicode_FromFormat("1E-%ld", scale)) : intern("1");
    Ref q_exp = new_ref(PyObject_CallOneArg(DecimalType, exp.get()));
    Ref quantize = getattr(d.get(), names.quantize.get());
    PyObject* qargs[2] = {q_exp.get(), wide_context};
    Ref q = Ref::consuming_nullable(PyObject_Vectorcall(quantize.get(), qargs, 1, context_kw));
    if (!q) rethrow_column(prop);
    return q;
}

static Ref to_str(PyObject* prop, PyObject* v) {
    if (PyUnicode_CheckExact(v)) return borrow(v);
    if (PyUnicode_Check(v) || (PyLong_Check(v) && !PyBool_Check(v)) || PyFloat_Check(v) || is_decimal(v))
        return new_ref(PyObject_Str(v));
    expected(prop, "str", v);
}

static Ref to_bool(PyObject* prop, PyObject* v) {
    if (PyBool_Check(v)) return borrow(v);
    if (PyLong_Check(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow && (x == 0 || x == 1)) return borrow(x ? Py_True : Py_False);
        raise_column(prop, PyExc_ValueError, "a boolean is stored as 0 or 1");
    }
    expected(prop, "bool", v);
}

static Ref from_iso(PyObject* prop, PyObject* type, PyObject* text) {
    Ref r = Ref::consuming_nullable(PyObject_CallMethodOneArg(type, names.fromisoformat.get(), text));
    if (!r) rethrow_column(prop);
    return r;
}

static Ref to_date(PyObject* prop, PyObject* v) {
    if (PyDate_CheckExact(v)) return borrow(v);
    if (PyDateTime_Check(v))
        return new_ref(PyDate_FromDate(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v)));
    if (PyDate_Check(v))
        return new_ref(PyDate_FromDate(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v)));
    if (PyBytes_Check(v)) {
        Ref s = new_ref(PyUnicode_FromEncodedObject(v, "ascii", "strict"));
        return to_date(prop, s.get());
    }
    if (PyUnicode_Check(v)) {
        if (PyUnicode_GET_LENGTH(v) > 10) {  // a date with a time part
            Ref dt = from_iso(prop, (PyObject*)PyDateTimeAPI->DateTimeType, v);
            return to_date(prop, dt.get());
        }
        return from_iso(prop, (PyObject*)PyDateTimeAPI->DateType, v);
    }
    expected(prop, "date", v);
}

static Ref to_datetime(PyObject* prop, PyObject* v) {
    if (PyDateTime_CheckExact(v)) return borrow(v);
    if (PyDateTime_Check(v)) return borrow(v);
    if (PyDate_Check(v))
        return new_ref(PyDateTime_FromDateAndTime(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v),
                                                  PyDateTime_GET_DAY(v), 0, 0, 0, 0));
    if (PyBytes_Check(v)) {
        Ref s = new_ref(PyUnicode_FromEncodedObject(v, "ascii", "strict"));
        return to_datetime(prop, s.get());
    }
    if (PyUnicode_Check(v)) return from_iso(prop, (PyObject*)PyDateTimeAPI->DateTimeType, v);
    expected(prop, "datetime", v);
}

static Ref to_json_obj(PyObject* prop, PyObject* v) {
    if (PyUnicode_Check(v) || PyBytes_Check(v) || PyByteArray_Check(v)) {
        // Stored JSON text.  A string that is not JSON is taken as the value.
        Ref r = Ref::consuming_nullable(PyObject_CallOneArg(json_loads, v));
        if (r) return r;
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) rethrow_column(prop);
        PyErr_Clear();
        if (PyUnicode_Check(v)) return borrow(v);
        return new_ref(PyUnicode_FromEncodedObject(v, "utf-8", "replace"));
    }
    return borrow(v);
}

static Ref to_bytes(PyObject* prop, PyObject* v) {
    if (PyBytes_CheckExact(v)) return borrow(v);
    if (PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v)) return new_ref(PyBytes_FromObject(v));
    expected(prop, "bytes", v);
}

Ref to_obj(PyObject* prop, PyObject* v) {
    if (v == Py_None) return borrow(Py_None);
    // Values read from the database mostly have the column's exact type
    // already: answer them before the sentinel and subtype checks.
    const int kind = P(prop)->kind;
    PyTypeObject* t = Py_TYPE(v);
    if ((t == &PyLong_Type && (kind == PK_INT || kind == PK_BIGINT)) ||
        (t == &PyUnicode_Type && (kind == PK_STR || kind == PK_TEXT)) || (t == &PyFloat_Type && kind == PK_FLOAT) ||
        (t == &PyBool_Type && kind == PK_BOOL))
        return borrow(v);
    if (is_sentinel(v)) return borrow(Py_None);
    switch (kind) {
        case PK_INT:
        case PK_BIGINT: return to_int(prop, v);
        case PK_FLOAT: return to_float(prop, v);
        case PK_DECIMAL:
            if (PyFloat_Check(v) || (PyLong_Check(v) && !PyBool_Check(v))) return stored_decimal(prop, v);
            return to_decimal(prop, v);
        case PK_STR:
        case PK_TEXT: return to_str(prop, v);
        case PK_BOOL: return to_bool(prop, v);
        case PK_DATE: return to_date(prop, v);
        case PK_DATETIME: return to_datetime(prop, v);
        case PK_JSON: return to_json_obj(prop, v);
        case PK_BYTES: return to_bytes(prop, v);
        default: return borrow(v);
    }
}

// ----------------------------------------------------- to the database value

static void check_encodable(PyObject* prop, PyObject* s) {
    // A lone surrogate cannot be written as UTF-8 by any driver.
    if (!PyUnicode_AsUTF8AndSize(s, nullptr)) {
        PyErr_Clear();
        raise_column(prop, PyExc_ValueError, "the text is not valid Unicode (lone surrogate)");
    }
}

static Ref decimal_db(PyObject* prop, PyObject* d, bool strict) {
    Ref fin = new_ref(PyObject_CallMethodNoArgs(d, names.is_finite.get()));
    if (!truthy(fin.get())) raise_column(prop, PyExc_ValueError, "a non-finite decimal cannot be stored");
    PyObject* args = P(prop)->typeArgs;  // (precision, scale)
    long precision = 10, scale = 2;
    if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 2) {
        precision = PyLong_AsLong(PyTuple_GET_ITEM(args, 0));
        scale = PyLong_AsLong(PyTuple_GET_ITEM(args, 1));
        if (PyErr_Occurred()) throw_error();
    }
    // Round to the column's scale as the database does, then make sure the
    // integer part fits: a wider value would be clamped or refused later.
    Ref exp = new_ref(PyUnicode_FromFormat("1E-%ld", scale));
    if (scale == 0) exp = intern("1");
    Ref q_exp = new_ref(PyObject_CallOneArg(DecimalType, exp.get()));
    // The default context holds 28 digits; a DECIMAL holds up to 65.
    Ref kw = new_ref(PyDict_New());
    setitem(kw.get(), names.rounding.get(), ROUND_HALF_UP);
    Require(PyDict_SetItemString(kw.get(), "context", wide_context));
    Ref quantize = getattr(d, names.quantize.get());
    Ref argt = new_ref(PyTuple_Pack(1, q_exp.get()));
    Ref q = Ref::consuming_nullable(PyObject_Call(quantize.get(), argt.get(), kw.get()));
    if (!q) {
        if (strict) rethrow_column(prop);
        PyErr_Clear();
        return new_ref(PyObject_Str(d));
    }
    if (strict) {
        Ref zero = from_long(0);
        int nz = PyObject_RichCompareBool(q.get(), zero.get(), Py_NE);
        if (nz < 0) throw_error();
        if (nz) {
            Ref adj = new_ref(PyObject_CallMethodNoArgs(q.get(), names.adjusted.get()));
            long a = PyLong_AsLong(adj.get());
            if (a == -1 && PyErr_Occurred()) throw_error();
            if (a + 1 > precision - scale) {
                Ref prefix = column_prefix(prop);
                PyErr_Format(PyExc_ValueError, "%U%S does not fit DECIMAL(%ld, %ld)", prefix.get(), d, precision,
                             scale);
                throw_error();
            }
        }
    }
    return new_ref(PyObject_Str(q.get()));
}

static Ref iso_text(PyObject* v, bool with_time) {
    if (!with_time) return new_ref(PyObject_CallMethodNoArgs(v, names.isoformat.get()));
    // Fixed width so that stored texts sort and compare in time order.
    Ref args = new_ref(PyTuple_Pack(2, names.space.get(), names.microseconds.get()));
    Ref m = getattr(v, names.isoformat.get());
    return new_ref(PyObject_Call(m.get(), args.get(), nullptr));
}

Ref to_db(PyObject* prop, PyObject* v, bool strict) {
    BasePropertyObject* p = P(prop);
    if (v == Py_None || is_sentinel(v)) {
        if (strict && !p->nullable && !(p->primaryKey && p->defaultValue == auto_increment_instance))
            raise_column(prop, PyExc_ValueError, "NULL is not allowed (the column is NOT NULL)");
        return borrow(Py_None);
    }
    switch (p->kind) {
        case PK_INT:
        case PK_BIGINT: {
            Ref i = to_int(prop, v);
            if (strict) {
                int overflow = 0;
                long long x = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
                if (x == -1 && PyErr_Occurred()) throw_error();
                bool wide = p->kind == PK_BIGINT || p->defaultValue == auto_increment_instance;
                if (overflow || (!wide && (x < INT32_MIN || x > INT32_MAX))) {
                    Ref prefix = column_prefix(prop);
                    PyErr_Format(PyExc_ValueError, "%U%S is out of range for %s", prefix.get(), i.get(),
                                 wide ? "a 64-bit integer" : "a 32-bit integer");
                    throw_error();
                }
            }
            return i;
        }
        case PK_FLOAT: {
            Ref f = to_float(prop, v);
            if (!std::isfinite(PyFloat_AS_DOUBLE(f.get())))
                raise_column(prop, PyExc_ValueError, "a non-finite float cannot be stored");
            return f;
        }
        case PK_DECIMAL: {
            Ref d = to_decimal(prop, v);
            return decimal_db(prop, d.get(), strict);
        }
        case PK_STR:
        case PK_TEXT: {
            Ref s = to_str(prop, v);
            if (strict) {
                check_encodable(prop, s.get());
                if (p->kind == PK_STR && p->length > 0 && PyUnicode_GET_LENGTH(s.get()) > p->length) {
                    Ref prefix = column_prefix(prop);
                    PyErr_Format(PyExc_ValueError, "%Ua text of %zd characters is longer than %zd", prefix.get(),
                                 PyUnicode_GET_LENGTH(s.get()), p->length);
                    throw_error();
                }
            }
            return s;
        }
        case PK_BOOL: {
            Ref b = to_bool(prop, v);
            return from_long(b.get() == Py_True);
        }
        case PK_DATE: {
            Ref d = to_date(prop, v);
            return iso_text(d.get(), false);
        }
        case PK_DATETIME: {
            Ref d = to_datetime(prop, v);
            return iso_text(d.get(), true);
        }
        case PK_JSON: {
            Ref kw = new_ref(PyDict_New());
            setitem(kw.get(), names.ensure_ascii.get(), Py_False);
            setitem(kw.get(), names.allow_nan.get(), Py_False);
            Ref args = new_ref(PyTuple_Pack(1, v));
            Ref text = Ref::consuming_nullable(PyObject_Call(json_dumps, args.get(), kw.get()));
            if (!text) rethrow_column(prop);
            if (strict) check_encodable(prop, text.get());
            return text;
        }
        case PK_BYTES: return to_bytes(prop, v);
        default: return borrow(v);
    }
}

// ------------------------------------------------ numbers of an expression

// An expression's number has a kind but no column: a value bound into it
// and a result read from it are converted by the kind alone.  Decimals keep
// every digit given (no column scale rounds them).
static Ref plain_decimal(PyObject* v) {
    if (Py_TYPE(v) == (PyTypeObject*)DecimalType.get()) return borrow(v);
    Ref src;
    if (PyBool_Check(v))
        src = from_long(v == Py_True);
    else if (is_decimal(v) || PyLong_Check(v) || PyUnicode_Check(v))
        src = borrow(v);
    else if (PyFloat_Check(v))
        src = new_ref(PyObject_Repr(v));
    else {
        PyErr_Format(PyExc_TypeError, "expected Decimal, got %.200s", Py_TYPE(v)->tp_name);
        throw_error();
    }
    return new_ref(PyObject_CallOneArg(DecimalType, src.get()));
}

Ref kind_db(int kind, PyObject* v) {
    if (v == Py_None) return borrow(v);
    switch (kind) {
        case PK_INT:
        case PK_BIGINT: {
            if (PyBool_Check(v) || !PyLong_Check(v)) {
                PyErr_Format(PyExc_TypeError, "expected int, got %.200s", Py_TYPE(v)->tp_name);
                throw_error();
            }
            return new_ref(PyNumber_Long(v));
        }
        case PK_FLOAT: {
            if (PyBool_Check(v) || !(PyLong_Check(v) || PyFloat_Check(v) || is_decimal(v))) {
                PyErr_Format(PyExc_TypeError, "expected float, got %.200s", Py_TYPE(v)->tp_name);
                throw_error();
            }
            Ref f = new_ref(PyNumber_Float(v));
            if (!std::isfinite(PyFloat_AS_DOUBLE(f.get()))) {
                PyErr_SetString(PyExc_ValueError, "a non-finite float cannot be bound");
                throw_error();
            }
            return f;
        }
        case PK_DECIMAL: {
            if (PyBool_Check(v) || PyUnicode_Check(v)) {
                PyErr_Format(PyExc_TypeError, "expected Decimal, got %.200s", Py_TYPE(v)->tp_name);
                throw_error();
            }
            Ref d = plain_decimal(v);
            Ref fin = new_ref(PyObject_CallMethodNoArgs(d.get(), names.is_finite.get()));
            if (!truthy(fin.get())) {
                PyErr_SetString(PyExc_ValueError, "a non-finite decimal cannot be bound");
                throw_error();
            }
            return new_ref(PyObject_Str(d.get()));
        }
        default: return borrow(v);
    }
}

Ref kind_obj(int kind, PyObject* v) {
    if (v == Py_None) return borrow(v);
    switch (kind) {
        case PK_INT:
        case PK_BIGINT:
            if (PyLong_CheckExact(v)) return borrow(v);
            return new_ref(PyNumber_Long(PyUnicode_Check(v) ? plain_decimal(v).get() : v));
        case PK_FLOAT:
            if (PyFloat_CheckExact(v)) return borrow(v);
            if (PyUnicode_Check(v)) return new_ref(PyFloat_FromString(v));
            return new_ref(PyNumber_Float(v));
        case PK_DECIMAL: return plain_decimal(v);
        default: return borrow(v);
    }
}

PyObject* copy_default(PyObject* v) {
    if (PyDict_Check(v) || PyList_Check(v) || PyByteArray_Check(v) || PySet_Check(v))
        return PyObject_CallOneArg(deepcopy, v);
    Py_INCREF(v);
    return v;
}

}  // namespace mp
}  // namespace tavrik
