// Operation table of Tavrik.Model.Korvid.
// Version rule: append only; bump the version with every appended entry.
#pragma once
#include "../ref.hpp"

namespace tavrik {

// Version 3 dropped the entries no module called any more (the modules are
// built together; each asks for the version whose layout it reads).
#define TAVRIK_KORVID_API_VERSION 3
#define TAVRIK_KORVID_CAPSULE "Tavrik.Model.Korvid._C_API"

struct KorvidAPI {
    int api_version;
    PyTypeObject* KorvidBaseType;  // _Korvid
    PyTypeObject* InstanceListType;
    PyTypeObject* ModelInstanceType;
    // Borrowed references to Korvid and MiddleKorvid (created in the module body).
    PyObject* (*korvid_class)(void);
    PyObject* (*middle_korvid_class)(void);
    // Appends to the list `out` one row per tuple of the list `rows` (values
    // in the order of the tuple `names`), as model(dict(zip(names, row)))
    // would build it: the one place fetched rows become model rows.  0, or
    // -1 with an error set.
    int (*build_rows)(PyObject* model, PyObject* names, PyObject* rows, PyObject* out);
};

}  // namespace tavrik
