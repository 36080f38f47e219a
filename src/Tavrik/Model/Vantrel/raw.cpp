// executor.raw(sql, params=()): a statement written by hand, its rows as the
// model's converted rows.  The text takes "%s" placeholders on every
// database, rewritten for the connector's dialect as the generator's texts
// are (quoted names, literals and comments untouched); the values are bound.
// The result's columns are matched to the model's by attribute name, or by
// the column's own name where `name=` gave it another; a column the model
// does not declare is not part of the rows.
#include "args.hpp"
#include "vantrel.hpp"

#include <tavrik/sqltext.hpp>

namespace tavrik {
namespace vantrel {

namespace {

Ref raw_params(PyObject* params) {
    if (!params || params == Py_None) return new_ref(PyTuple_New(0));
    if (PyTuple_Check(params)) return borrow(params);
    if (PyList_Check(params)) return new_ref(PyList_AsTuple(params));
    raise_arg_type("params", "tuple or list", params);
}

PyObject* connector_of(PyObject* self) {
    PyObject* db = E(self)->db;
    if (!db || db == Py_None) raise_none_attr("execute");
    if (!PyObject_TypeCheck(db, I.db->DBType)) raise_arg_type("db", I.db->DBType->tp_name, db);
    PyObject* c = ((DBObject*)db)->connector;
    if (!c) raise_none_attr("execute");
    return c;
}

// The result's column names as the model's rows read them: a column named
// by `name=` is found under its attribute.
Ref attribute_names(PyObject* model, PyObject* names) {
    Ref mapping = getattr(model, N.mapping);
    if (!PyDict_Check(mapping.get())) raise_expected("dict", mapping.get());
    Ref out = new_ref(PyTuple_New(PyTuple_GET_SIZE(names)));
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(names); i < n; i++) {
        PyObject* name = PyTuple_GET_ITEM(names, i);
        PyObject* attr = name;
        if (!dict_get(mapping.get(), name)) {
            Py_ssize_t pos = 0;
            PyObject *k, *p;
            while (PyDict_Next(mapping.get(), &pos, &k, &p)) {
                if (!PyObject_TypeCheck(p, I.mp->BasePropertyType)) continue;
                PyObject* column = prop_column(p);
                if (!column) continue;
                int same = PyObject_RichCompareBool(column, name, Py_EQ);
                if (same < 0) throw_error();
                if (same) {
                    attr = k;
                    break;
                }
            }
        }
        Py_INCREF(attr);
        PyTuple_SET_ITEM(out.get(), i, attr);
    }
    return out;
}

}  // namespace

Ref raw_start(PyObject* self, PyObject* sql, PyObject* params, bool async) {
    check_str_arg(sql, "sql", false);
    Ref args = raw_params(params);
    PyObject* connector = connector_of(self);
    Ref keep = borrow(connector);
    PyObject* con = E(self)->work && truthy(E(self)->work) ? E(self)->work : nullptr;
    // The core takes the generator's spelling and writes it for its driver.
    if (PyObject* core = core_connector(self, async)) {
        if (async) return new_ref(I.connector->run_async(core, sql, args.get(), SK_SELECT, 0, 0, con));
        return new_ref(I.connector->run(core, sql, args.get(), SK_SELECT, 0));
    }
    // A connector class of the user's: through its own execute(), in the
    // driver's spelling, as dict rows.
    const Dialect& d = connector_dialect(I.connector->BaseConnectorType, connector);
    Ref text = rewrite_statement(sql, d);
    return call_method(connector, N.execute, text.get(), con ? con : Py_None, Py_True, args.get());
}

Ref raw_rows(PyObject* self, PyObject* result) {
    PyObject* model = model_of(self);
    Ref names, rows;
    if (PyTuple_CheckExact(result) && PyTuple_GET_SIZE(result) == RAW_SIZE) {
        names = borrow(PyTuple_GET_ITEM(result, RAW_NAMES));
        rows = borrow(PyTuple_GET_ITEM(result, RAW_ROWS));
        if (names.get() == Py_None) names = new_ref(PyTuple_New(0));
        if (rows.get() == Py_None) rows = new_ref(PyList_New(0));
        if (!PyList_Check(rows.get())) rows = new_ref(PySequence_List(rows.get()));
    } else {
        // Dict rows (a user's connector): the first one's keys name the columns.
        Ref list = new_ref(PySequence_List(result));
        const Py_ssize_t n = PyList_GET_SIZE(list.get());
        names = n ? new_ref(PySequence_Tuple(PyList_GET_ITEM(list.get(), 0))) : new_ref(PyTuple_New(0));
        rows = new_ref(PyList_New(n));
        for (Py_ssize_t r = 0; r < n; r++) {
            PyObject* d = PyList_GET_ITEM(list.get(), r);
            if (!PyDict_Check(d)) raise_expected("dict", d);
            Ref values = new_ref(PyDict_Values(d));
            PyList_SET_ITEM(rows.get(), r, PyList_AsTuple(values.get()));
            if (!PyList_GET_ITEM(rows.get(), r)) throw_error();
        }
    }
    Ref attrs = attribute_names(model, names.get());
    Ref out = new_ref(PyObject_CallNoArgs((PyObject*)I.korvid->InstanceListType));
    GcPause pause(PyList_GET_SIZE(rows.get()) >= 512);
    Require(I.korvid->build_rows(model, attrs.get(), rows.get(), out.get()));
    // A column the statement did not select is not a NULL of the row: an
    // update() of it would write one.
    return keep_only(std::move(out), attrs.get());
}

}  // namespace vantrel
}  // namespace tavrik
