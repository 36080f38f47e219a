// Operation table of Tavrik.Model.Korvid.
// Version rule: append only; bump the version with every appended entry.
#pragma once
#include "../ref.hpp"

namespace tavrik {

#define TAVRIK_KORVID_API_VERSION 2
#define TAVRIK_KORVID_CAPSULE "Tavrik.Model.Korvid._C_API"

struct KorvidAPI {
    int api_version;
    // No longer used and left NULL: kept for the table's layout only, as
    // entries are never removed.
    Py_ssize_t (*instance_list_len)(PyObject* list);
    PyTypeObject* KorvidBaseType;  // _Korvid
    PyTypeObject* InstanceListType;
    PyTypeObject* ModelInstanceType;
    // model(row): builds a row of `model` from a row dictionary, taking the
    // fast road when the model class does not customise construction.
    PyObject* (*build_row)(PyObject* model, PyObject* row);
    // Borrowed references to Korvid and MiddleKorvid (created in the module body).
    PyObject* (*korvid_class)(void);
    PyObject* (*middle_korvid_class)(void);
    // Version 2.  Appends to the list `out` one row per tuple of the list
    // `rows` (values in the order of the tuple `names`), as
    // model(dict(zip(names, row))) would build it.  0, or -1 with an error set.
    int (*build_rows)(PyObject* model, PyObject* names, PyObject* rows, PyObject* out);
};

}  // namespace tavrik
