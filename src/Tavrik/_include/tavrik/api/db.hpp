// C-level layout and operation table of Tavrik.DB.DB.
// Version rule: append only; bump the version with every appended entry.
#pragma once
#include "../ref.hpp"

namespace tavrik {

struct DBObject {
    PyObject_HEAD PyObject* connector;
};

#define TAVRIK_DB_API_VERSION 2
#define TAVRIK_DB_CAPSULE "Tavrik.DB.DB._C_API"

struct DBAPI {
    int api_version;
    PyTypeObject* DBType;
    // DB.getInstance() (new reference); raises when no handle exists.
    PyObject* (*get_instance)(void);
    // db.execute(executor=..., con=...) (new reference); `con` may be NULL.
    PyObject* (*execute)(PyObject* db, PyObject* executor, PyObject* con);
    // Version 2.  1 when the installed handle's connector is asynchronous
    // (its isAsync; a Python subclass's own isAsync is honoured), 0 when it
    // is not, -1 with an exception set when there is no handle or connector.
    int (*handle_is_async)(void);
    // The installed handle's connector (new reference); raises as
    // handle_is_async does.
    PyObject* (*handle_connector)(void);
    // handle.executeSql(sql, args=params) (new reference): the rows, or on
    // an asynchronous connector the awaitable of them.
    PyObject* (*execute_sql)(PyObject* sql, PyObject* params);
};

}  // namespace tavrik
