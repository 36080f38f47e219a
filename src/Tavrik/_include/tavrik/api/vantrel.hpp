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

#define TAVRIK_VANTREL_API_VERSION 2
#define TAVRIK_VANTREL_CAPSULE "Tavrik.Model.Vantrel._C_API"

struct VantrelAPI {
    int api_version;
    // The executor's internal operations, in their order of declaration.
    PyObject* (*instanceToFilter)(PyObject* executor, PyObject* instance);
    PyObject* (*process)(PyObject* executor, PyObject* raw);
    PyObject* (*processSelect)(PyObject* executor, PyObject* rows);
    PyObject* (*processInsert)(PyObject* executor, long long id);
    PyTypeObject* BaseModelExecutorType;
    PyTypeObject* ModelExecutorType;
    PyTypeObject* AsyncModelExecutorType;
    // Version 2.  The result of a selection fetched as row tuples whose
    // columns are named by the tuple `names`: what processSelect returns for
    // the corresponding row dictionaries.
    PyObject* (*processRows)(PyObject* executor, PyObject* names, PyObject* rows);
};

}  // namespace tavrik
