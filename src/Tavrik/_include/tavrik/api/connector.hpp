// C-level layout and operation table of Tavrik.DB.Connector.
// Version rule: append only; bump the version with every appended entry.
#pragma once
#include "../ref.hpp"

namespace tavrik {

struct BaseConnectorObject {
    PyObject_HEAD PyObject* _pool;
    int Type;
    int isAsync;
    PyObject* selectCon;
    PyObject* _config;
    int count;
    int isReady;
};

#define TAVRIK_CONNECTOR_API_VERSION 2
#define TAVRIK_CONNECTOR_CAPSULE "Tavrik.DB.Connector._C_API"

struct ConnectorAPI {
    int api_version;
    // Sqlite3Connector's internal operations, in their order of declaration.
    // A Python subclass's override of the last two is honoured.
    int (*init_sqlite)(PyObject* connector, PyObject* path, int showLog);
    PyObject* (*autoFiledAnnounce)(PyObject* connector, PyObject* prop);
    PyObject* (*getTableNameList)(PyObject* connector);
    PyTypeObject* BaseConnectorType;
    PyTypeObject* Sqlite3ConnectorType;
    PyTypeObject* AioSqliteConnectorType;
    PyTypeObject* AioMysqlConnectorType;
    PyTypeObject* PyMysqlConnectorType;
    // Runs an executor's statement on a synchronous connector (process()).
    PyObject* (*process)(PyObject* connector, PyObject* executor, PyObject* con);
    // Version 2.  A transaction of a Sqlite3Connector on the calling thread:
    // transactionBegin takes the module lock and holds it until the matching
    // transactionEnd, which commits (ok) or rolls back; every statement the
    // thread runs through the connector in between belongs to it.  Pairs nest
    // (as savepoints).  Both return -1 with an exception set on failure;
    // transactionEnd gives the lock back in any case.
    int (*transactionBegin)(PyObject* connector);
    int (*transactionEnd)(PyObject* connector, int ok);
};

}  // namespace tavrik
