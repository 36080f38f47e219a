// C-level layout and operation table of Tavrik.DB.Connector.
// Version rule: append only; bump the version with every appended entry.
#pragma once
#include "../dialect.hpp"

namespace tavrik {

struct BaseConnectorObject {
    PyObject_HEAD PyObject* _pool;
    int Type;
    int isAsync;
    PyObject* selectCon;
    PyObject* _config;
    int count;
    int isReady;
    int dialect;  // DialectId: what the connector speaks (its `dialect`)
};

#define TAVRIK_CONNECTOR_API_VERSION 7
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
    // Version 3.  The core of a synchronous connector (Sqlite3Connector;
    // from version 4 MysqlConnector too):
    // runs one statement, `sql` in the house form ("%s" placeholders, the
    // connector's dialect), `params` a tuple, or with `batch` a sequence of
    // tuples; commits it unless a transaction block is open.  Returns the
    // raw result (RawField) as a new reference, or NULL with an exception
    // set.  It never calls back into the module that asked.
    PyObject* (*run)(PyObject* connector, PyObject* sql, PyObject* params, int kind, int batch);
    // The core of an asynchronous connector (AioSqliteConnector,
    // AioMysqlConnector): the awaitable of the raw result of one statement,
    // as `run`; `locks` a locking read; on the task's connection, or on
    // `con` when it is not NULL.
    PyObject* (*run_async)(PyObject* connector, PyObject* sql, PyObject* params, int kind, int batch, int locks,
                           PyObject* con);
    // Version 4.  The synchronous MySQL connector; from this version
    // `process`, `transactionBegin`/`transactionEnd` and `run` take it too
    // (its blocks belong to the calling thread and hold one pooled
    // connection, not the module lock).
    PyTypeObject* MysqlConnectorType;
    // Version 5.  The PostgreSQL connector (asyncpg); its core is run_async.
    PyTypeObject* AsyncpgConnectorType;
    // Version 6.  The synchronous PostgreSQL connector (psycopg), a pooled
    // connector as MysqlConnector is: `process`, the transaction pair and
    // `run` take it.
    PyTypeObject* PsycopgConnectorType;
    // Version 7.  Whether the connector's database gives back the new keys
    // of a batch insert (the dialect's BatchKeys, where its version has
    // RETURNING): 1 or 0, 2 while not known yet (a MySQL connector before
    // its first connection), -1 with an exception set.  `run`/`run_async` then
    // take batch mode 2: the generator's keyed batch (return_keys), whose
    // RETURNING rows come up as the raw result's rows.
    int (*batch_keys)(PyObject* connector);
};

// What a connector's core hands up for one statement: a tuple of RAW_SIZE
// items.  RAW_NAMES and RAW_ROWS: the column names (a tuple) and the row
// tuples (a list) of what the statement returned, else None; RAW_KEY: the
// new row's key of a single-row insert, else None; RAW_COUNT: the rows a
// single UPDATE or DELETE matched (SQLite) or changed (MySQL) where the
// driver tells it, else None.  The asynchronous
// connectors' cores hand up the same tuple.
enum RawField : int { RAW_NAMES = 0, RAW_ROWS = 1, RAW_KEY = 2, RAW_COUNT = 3, RAW_SIZE = 4 };

}  // namespace tavrik

namespace tavrik {

// The dialect of `connector`: read from the published layout for the
// package's own connector classes, asked by name of anything else (a
// subclass's `dialect`, a stand-in object).
// `base` is BaseConnector (ConnectorAPI's BaseConnectorType).
inline const Dialect& connector_dialect(PyTypeObject* base, PyObject* connector) {
    if (PyObject_TypeCheck(connector, base) && !(Py_TYPE(connector)->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return dialect_by_id(((BaseConnectorObject*)connector)->dialect);
    return dialect_of(connector);
}

}  // namespace tavrik
