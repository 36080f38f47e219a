// C-level layout and operation table of Tavrik.Model.Vantrel.
// Version rule: append only; bump the version with every appended entry.
#pragma once
#include "../ref.hpp"

namespace tavrik {

struct BaseModelExecutorObject {
    PyObject_HEAD PyObject* model;
    PyObject* sql;  // SqlGenerator or NULL
    PyObject* work;
    PyObject* db;
    int executed;
    PyObject* dict;  // attribute dictionary (holds `instance`)
};

// Version 3 dropped the entries no module called any more (the modules are
// built together; each asks for the version whose layout it reads).
#define TAVRIK_VANTREL_API_VERSION 3
#define TAVRIK_VANTREL_CAPSULE "Tavrik.Model.Vantrel._C_API"

struct VantrelAPI {
    int api_version;
    PyTypeObject* BaseModelExecutorType;
    PyTypeObject* ModelExecutorType;
    PyTypeObject* AsyncModelExecutorType;
    // The executor's result (what its execute() gives) of a raw result of
    // its statement (api/connector.hpp's RawField): rows, a count, the row
    // saved.  New reference, or NULL with an exception set.
    PyObject* (*takeResult)(PyObject* executor, PyObject* raw);
};

}  // namespace tavrik
