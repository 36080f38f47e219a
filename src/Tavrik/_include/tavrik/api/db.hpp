// C-level layout and operation table of Tavrik.DB.DB.
// Version rule: append only; bump the version with every appended entry.
#pragma once
#include "../ref.hpp"

namespace tavrik {

struct DBObject {
    PyObject_HEAD
    PyObject* connector;
};

#define TAVRIK_DB_API_VERSION 1
#define TAVRIK_DB_CAPSULE "Tavrik.DB.DB._C_API"

struct DBAPI {
    int api_version;
    PyTypeObject* DBType;
    // DB.getInstance() (new reference); raises when no handle exists.
    PyObject* (*get_instance)(void);
    // db.execute(executor=..., con=...) (new reference); `con` may be NULL.
    PyObject* (*execute)(PyObject* db, PyObject* executor, PyObject* con);
};

}  // namespace tavrik
