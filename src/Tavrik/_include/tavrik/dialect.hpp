// How each database spells SQL: one constant per database, the only place
// that knows it.  A connector carries the id of its own dialect (the
// published layout's `dialect`); whatever writes SQL for a connector asks
// dialect_of() for it instead of telling databases apart itself.
#pragma once
#include "ref.hpp"
#include <cstring>
#include <string>

namespace tavrik {

enum DialectId : int { D_SQLITE = 0, D_MYSQL = 1, D_POSTGRESQL = 2, D_COUNT = 3 };

// How a new row's key comes back: the cursor's lastrowid, or a RETURNING
// clause of the INSERT.
enum class NewKey : int { LastRowId, Returning };
// How the new keys of a batch insert come back: not at all, one RETURNING
// row per parameter tuple of one batch run (the driver keeps them apart), or
// RETURNING of INSERTs of many rows of VALUES each, chunked (the rows come
// back in no promised order: the keys are given out sorted).
enum class BatchKeys : int { None, PerRow, MultiRow };
// How a list of keys is bound: IN (...) lists of at most `key_chunk` values,
// or one array parameter (= ANY($1)).
enum class KeyList : int { InChunks, AnyArray };
// Which column types CREATE TABLE writes.
enum class DdlTypes : int { SQLite, MySQL, PostgreSQL };
// How ALTER TABLE changes a column's type, nullability or default: SQLite
// cannot (the table is rebuilt), MySQL redeclares the column (MODIFY
// COLUMN), PostgreSQL alters each of them by its own clause.
enum class AlterColumn : int { Rebuild, Modify, Clauses };
// What a driver's error means to the code that retries or falls back.
enum class ErrorKind : int { Other = 0, Duplicate = 1, Conflict = 2, LockTimeout = 3 };
// Where a driver's error carries what it means: the MySQL error number
// (args[0]), the SQLSTATE (`sqlstate`), or only its message (SQLite).
enum class ErrorCodes : int { Number, SqlState, Message };
// How an INSERT meets a row already stored under a unique key: a clause
// naming the one key it answers (ON CONFLICT (cols) DO UPDATE SET c =
// excluded.c / DO NOTHING), or one answering every unique key of the table
// (ON DUPLICATE KEY UPDATE c = VALUES(c)), which has no "do nothing": a
// no-op assignment stands for it, since INSERT IGNORE would also turn
// truncations and NULLs into warnings.
enum class Upsert : int { OnConflict, DuplicateKey };

struct Dialect {
    DialectId id;
    const char* name;  // "sqlite", "mysql", "postgresql"
    char quote;        // quotes identifiers; doubled inside one
    // A parameter as the driver reads it: "?", "%s", or "$" numbered from 1.
    const char* placeholder;
    bool numbered;  // placeholders carry their position ($1, $2, ...)
    // The driver formats the whole text with `%`: every `%` inside names,
    // literals and comments must reach it doubled.
    bool percent_formatting;
    bool backslash_escapes;  // string literals read backslash escapes
    bool hash_comments;      // `#` begins a comment
    bool bracket_names;      // [name] is a quoted name
    // What ends a locking read; NULL where the database has no such clause
    // (SQLite locks the whole file: its write transaction is the lock).
    const char* for_update;
    const char* empty_insert;  // follows INSERT INTO t for a row of no values
    NewKey new_key;
    KeyList key_list;
    int key_chunk;  // keys per IN list
    // DDL.
    DdlTypes ddl_types;
    bool inline_indexes;        // CREATE TABLE declares the indexes, else CREATE INDEX after it
    int index_prefix_chars;     // longest text an index holds whole (0: no limit)
    const char* table_options;  // follows CREATE TABLE's closing parenthesis
    // Errors: the codes (or message fragments) of each kind, separated by '|'.
    ErrorCodes error_codes;
    const char* duplicate;     // a unique key refused the row
    const char* conflict;      // deadlock or serialisation failure: retry the transaction
    const char* lock_timeout;  // waited too long for a lock
    // An UPDATE's count is of the rows it matched (else of the rows it
    // changed: MySQL's affected rows, 0 for a row already holding the values).
    bool counts_matched;
    // NULL sorts above every value (else below, as SQLite and MySQL sort
    // it): ORDER BY then says where NULLs go, so every database orders alike.
    bool nulls_sort_high;
    // A batch's new keys, and from which version the database has the
    // RETURNING they take (0: always): the version as major * 1000000 +
    // minor * 1000 + patch of the library (SQLite) or of the server whose
    // version text holds `returning_server` (MariaDB; MySQL itself has none).
    BatchKeys batch_keys;
    long returning_since;
    const char* returning_server;
    // Limits of one multi-row INSERT: bound parameters (SQLite's lowest
    // variable limit, whatever its build), and bytes of the statement the
    // driver sends once it has spliced the values in (below every server's
    // packet size); 0 for none.
    int batch_params;
    int batch_bytes;
    // Schema changes.
    bool transactional_ddl;  // DDL runs inside a transaction (else each statement commits itself)
    AlterColumn alter_column;
    bool drop_index_on_table;  // DROP INDEX names its table (DROP INDEX ix ON t)
    // Takes and gives back the lock that keeps two schema changes apart, its
    // one parameter the lock's name ("": the write transaction is the lock).
    const char* schema_lock;
    const char* schema_unlock;  // "": the lock ends with the transaction
    // Where each DDL statement commits itself (no transactional DDL), the
    // error codes by which a statement re-run after a lost answer says its
    // change is already there (table, column or key exists, or is gone).
    const char* ddl_already_done;
    // Reads a live table's columns, in order, as (name, NOT NULL as 0/1),
    // its one parameter (%s) the table's name.
    const char* columns_query;
    Upsert upsert;
};

inline constexpr Dialect kSQLite{D_SQLITE,
                                 "sqlite",
                                 '`',
                                 "?",
                                 false,
                                 false,
                                 false,
                                 false,
                                 true,
                                 nullptr,
                                 " DEFAULT VALUES",
                                 NewKey::LastRowId,
                                 KeyList::InChunks,
                                 900,
                                 DdlTypes::SQLite,
                                 false,
                                 0,
                                 "",
                                 ErrorCodes::Message,
                                 "UNIQUE constraint failed",
                                 "",
                                 "is locked",
                                 true,
                                 false,
                                 BatchKeys::MultiRow,
                                 3035000,
                                 nullptr,
                                 999,
                                 0,
                                 true,
                                 AlterColumn::Rebuild,
                                 false,
                                 "",
                                 "",
                                 "",
                                 "SELECT name, \"notnull\" OR pk > 0 FROM pragma_table_info(%s) ORDER BY cid",
                                 Upsert::OnConflict};
inline constexpr Dialect kMySQL{D_MYSQL,
                                "mysql",
                                '`',
                                "%s",
                                false,
                                true,
                                true,
                                true,
                                false,
                                " FOR UPDATE",
                                " () VALUES ()",
                                NewKey::LastRowId,
                                KeyList::InChunks,
                                900,
                                DdlTypes::MySQL,
                                true,
                                768,
                                " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4",
                                ErrorCodes::Number,
                                "1062",
                                "1213",
                                "1205",
                                false,
                                false,
                                BatchKeys::MultiRow,
                                10005000,
                                "MariaDB",
                                0,
                                1000000,
                                false,
                                AlterColumn::Modify,
                                true,
                                "SELECT GET_LOCK(%s, 3600)",
                                "SELECT RELEASE_LOCK(%s)",
                                "1050|1051|1054|1060|1061|1091|1146",
                                "SELECT COLUMN_NAME, IS_NULLABLE = 'NO' FROM information_schema.COLUMNS "
                                "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = %s ORDER BY ORDINAL_POSITION",
                                Upsert::DuplicateKey};
inline constexpr Dialect kPostgreSQL{D_POSTGRESQL,
                                     "postgresql",
                                     '"',
                                     "$",
                                     true,
                                     false,
                                     false,
                                     false,
                                     false,
                                     " FOR UPDATE",
                                     " DEFAULT VALUES",
                                     NewKey::Returning,
                                     KeyList::AnyArray,
                                     0,
                                     DdlTypes::PostgreSQL,
                                     false,
                                     0,
                                     "",
                                     ErrorCodes::SqlState,
                                     "23505",
                                     "40001|40P01",
                                     "55P03",
                                     true,
                                     true,
                                     BatchKeys::PerRow,
                                     0,
                                     nullptr,
                                     0,
                                     0,
                                     true,
                                     AlterColumn::Clauses,
                                     false,
                                     "SELECT pg_advisory_xact_lock(hashtext(%s))",
                                     "",
                                     "",
                                     "SELECT column_name, CAST(is_nullable = 'NO' AS INTEGER) FROM "
                                     "information_schema.columns WHERE table_schema = current_schema() AND "
                                     "table_name = %s ORDER BY ordinal_position",
                                     Upsert::OnConflict};

inline const Dialect& dialect_by_id(int id) {
    switch (id) {
        case D_MYSQL: return kMySQL;
        case D_POSTGRESQL: return kPostgreSQL;
        default: return kSQLite;
    }
}

inline const Dialect* dialect_named(PyObject* name) {
    if (!PyUnicode_Check(name)) return nullptr;
    for (int i = 0; i < D_COUNT; i++)
        if (PyUnicode_CompareWithASCIIString(name, dialect_by_id(i).name) == 0) return &dialect_by_id(i);
    return nullptr;
}

// A version text ("3.40.1", "5.5.5-10.11.6-MariaDB-...") as a number
// major * 1000000 + minor * 1000 + patch: its last dotted number ahead of
// `server` (MariaDB leads with "5.5.5-" for old clients), or its first.
inline long version_number(const char* text, const char* server) {
    const char* end = server ? std::strstr(text, server) : nullptr;
    if (!end) end = text + std::strlen(text);
    long best = 0;
    for (const char* p = text; p < end;) {
        if (*p < '0' || *p > '9') {
            p++;
            continue;
        }
        long part[3] = {0, 0, 0};
        int n = 0;
        while (p < end && n < 3) {
            long v = 0;
            while (p < end && *p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
            part[n++] = v;
            if (p < end && *p == '.' && p + 1 < end && p[1] >= '0' && p[1] <= '9')
                p++;
            else
                break;
        }
        while (p < end && ((*p >= '0' && *p <= '9') || *p == '.')) p++;
        best = part[0] * 1000000 + part[1] * 1000 + part[2];
        if (!server) break;
    }
    return best;
}

// Whether the database whose version text is `version` returns a batch's
// new keys.
inline bool batch_returns_keys(const Dialect& d, const char* version) {
    if (d.batch_keys == BatchKeys::None) return false;
    if (d.returning_since == 0) return true;
    if (!version) return false;
    if (d.returning_server && !std::strstr(version, d.returning_server)) return false;
    return version_number(version, d.returning_server) >= d.returning_since;
}

// Whether `text` is one of the '|'-separated codes of `codes` (`whole`), or
// holds one of them.
inline bool matches_code(const char* codes, const char* text, bool whole) {
    for (const char* p = codes; *p;) {
        const char* end = std::strchr(p, '|');
        size_t n = end ? (size_t)(end - p) : std::strlen(p);
        if (n > 0 && (whole ? std::strlen(text) == n && std::strncmp(text, p, n) == 0
                            : std::string(text).find(std::string(p, n)) != std::string::npos))
            return true;
        p += n + (end ? 1 : 0);
    }
    return false;
}

// What the driver error `exc` means in dialect `d`.
inline ErrorKind error_kind(const Dialect& d, PyObject* exc) {
    Ref text;
    if (d.error_codes == ErrorCodes::Number) {
        Ref args = Ref::consuming_nullable(PyObject_GetAttrString(exc, "args"));
        if (!args) PyErr_Clear();
        if (!args || !PyTuple_Check(args.get()) || PyTuple_GET_SIZE(args.get()) == 0 ||
            !PyLong_Check(PyTuple_GET_ITEM(args.get(), 0)))
            return ErrorKind::Other;
        text = new_ref(PyObject_Str(PyTuple_GET_ITEM(args.get(), 0)));
    } else if (d.error_codes == ErrorCodes::SqlState) {
        text = Ref::consuming_nullable(PyObject_GetAttrString(exc, "sqlstate"));
        if (!text) PyErr_Clear();
        if (!text || !PyUnicode_Check(text.get())) return ErrorKind::Other;
    } else {
        text = new_ref(PyObject_Str(exc));
    }
    const char* t = PyUnicode_AsUTF8(text.get());
    if (!t) throw_error();
    const bool whole = d.error_codes != ErrorCodes::Message;
    if (matches_code(d.duplicate, t, whole)) return ErrorKind::Duplicate;
    if (matches_code(d.conflict, t, whole)) return ErrorKind::Conflict;
    if (matches_code(d.lock_timeout, t, whole)) return ErrorKind::LockTimeout;
    return ErrorKind::Other;
}

// The dialect of `connector`: the package's connectors (subclasses of
// BaseConnector included) name theirs in `dialect`; another object standing
// in for a connector (the DDL contract asks only for paramsHolder and
// autoFiledAnnounce) speaks SQLite when its paramsHolder is "?" and MySQL
// otherwise, as that contract has always said.
inline const Dialect& dialect_of(PyObject* connector) {
    static Immortal dialect_name(intern("dialect"));
    static Immortal holder_name(intern("paramsHolder"));
    if (!connector || connector == Py_None) return kSQLite;
    Ref named = Ref::consuming_nullable(PyObject_GetAttr(connector, dialect_name));
    if (named) {
        if (const Dialect* d = dialect_named(named.get())) return *d;
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    } else {
        throw_error();
    }
    Ref holder = getattr(connector, holder_name);
    return PyUnicode_Check(holder.get()) && PyUnicode_CompareWithASCIIString(holder.get(), "?") == 0 ? kSQLite : kMySQL;
}

}  // namespace tavrik
