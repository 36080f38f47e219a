"""Whole asynchronous programs run in a fresh interpreter, on aiosqlite and on
MySQL, with the database checked afterwards through a connection of the
test's own."""
import json
import os
import sqlite3
import subprocess
import sys
import textwrap

import Tavrik

# The program's models, its connector (from argv) and a separate connection
# (`peek`) that reads what is committed.
PRELUDE = '''
import asyncio, json, logging, sqlite3, sys

from Tavrik.DB.Connector import AioMysqlConnector, AioSqliteConnector
from Tavrik.DB.DB import DB
from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty

ROAD, TARGET = sys.argv[1], sys.argv[2]


class Item(Korvid):
    tableName = "p_item"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(64)


class Counter(Korvid):
    tableName = "p_counter"
    id = IntProperty(primaryKey=True)
    n = IntProperty()


def make_connector(**extra):
    loop = asyncio.get_running_loop()
    if ROAD == "aiosqlite":
        return AioSqliteConnector(loop, path=TARGET, showLog=False, **extra)
    return AioMysqlConnector(loop, **dict(json.loads(TARGET), **extra))


def peek(sql):
    """Rows committed now, read through a connection of its own."""
    if ROAD == "aiosqlite":
        con = sqlite3.connect(TARGET)
        try:
            return [tuple(r) for r in con.execute(sql).fetchall()]
        finally:
            con.close()
    import pymysql
    con = pymysql.connect(**json.loads(TARGET))
    try:
        with con.cursor() as cur:
            cur.execute(sql)
            return [tuple(r) for r in cur.fetchall()]
    finally:
        con.close()
'''

SCHEMA = {
    "aiosqlite": [
        "CREATE TABLE p_item (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(64) NOT NULL)",
        "CREATE TABLE p_counter (id INTEGER PRIMARY KEY, n INTEGER NOT NULL)",
        "INSERT INTO p_counter VALUES (1, 0)",
    ],
    "mysql": [
        "CREATE TABLE p_item (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(64) NOT NULL) ENGINE=InnoDB",
        "CREATE TABLE p_counter (id INT PRIMARY KEY, n INT NOT NULL) ENGINE=InnoDB",
        "INSERT INTO p_counter VALUES (1, 0)",
    ],
}


class Road:
    """One database of a test: its kind, the program's target argument, and
    reads through a connection of the test's own."""

    def __init__(self, kind, target, settings=None):
        self.kind = kind
        self.target = target
        self.settings = settings
        for sql in SCHEMA[kind]:
            self.run(sql)

    def run(self, sql):
        if self.kind == "aiosqlite":
            con = sqlite3.connect(self.target)
            try:
                con.execute(sql)
                con.commit()
            finally:
                con.close()
            return
        import pymysql

        con = pymysql.connect(**self.settings)
        try:
            with con.cursor() as cur:
                cur.execute(sql)
            con.commit()
        finally:
            con.close()

    def rows(self, sql):
        if self.kind == "aiosqlite":
            con = sqlite3.connect(self.target)
            try:
                return [tuple(r) for r in con.execute(sql).fetchall()]
            finally:
                con.close()
        import pymysql

        con = pymysql.connect(**self.settings)
        try:
            with con.cursor() as cur:
                cur.execute(sql)
                return [tuple(r) for r in cur.fetchall()]
        finally:
            con.close()

    def program(self, body, timeout=60):
        """Runs PRELUDE + body in a fresh interpreter; a hang fails the test."""
        source = PRELUDE + textwrap.dedent(body)
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            [os.path.dirname(os.path.dirname(Tavrik.__file__)), env.get("PYTHONPATH", "")])
        return subprocess.run([sys.executable, "-c", source, self.kind, self.target], env=env,
                              capture_output=True, text=True, timeout=timeout)


def make_road(kind, tmp_path):
    if kind == "aiosqlite":
        return Road(kind, str(tmp_path / "app.db"))
    import asyncio

    from tests.conftest import _mysql_reset, require_mysql

    settings = require_mysql()
    asyncio.run(_mysql_reset(settings))
    plain = {k: v for k, v in settings.items() if k != "autocommit"}
    return Road(kind, json.dumps(settings), plain)
