"""Tavrik.DB.connect(url): each URL form reaches its database (real SQLite
files, aiosqlite and MariaDB in whole asyncio programs), query options
arrive typed, keywords win over the URL, and no error text or log line shows
the password."""
import logging
import os
import sqlite3
import subprocess
import sys
import traceback
from urllib.parse import quote

import pytest

from Tavrik.DB import connect
from tests.conftest import _mysql_reset, require_mysql

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def mysql_url(settings, password=None, hosts=1, query="", scheme="mysql+aiomysql"):
    """The test server's URL with every byte of the password percent-encoded
    (only a decoded password logs in)."""
    pw = settings["password"] if password is None else password
    hostport = ",".join(["%s:%d" % (settings["host"], settings["port"])] * hosts)
    return "%s://%s:%s@%s/%s%s" % (
        scheme, quote(settings["user"], safe=""), "".join("%%%02X" % b for b in pw.encode()), hostport,
        quote(settings["db"], safe=""), query)


def file_rows(path):
    con = sqlite3.connect(path)
    try:
        return con.execute("SELECT name FROM t_user").fetchall()
    finally:
        con.close()


def mysql_rows(settings):
    import pymysql

    con = pymysql.connect(**{k: v for k, v in settings.items() if k != "autocommit"})
    try:
        with con.cursor() as cur:
            cur.execute("SELECT name FROM t_user")
            return [tuple(r) for r in cur.fetchall()]
    finally:
        con.close()


@pytest.fixture
def installed():
    """Installs a connector as the handle with the shared models' tables;
    drops and closes it afterwards."""
    from Tavrik.DB.DB import DB
    from Tavrik.Ext import generate_table

    import tests.models  # noqa: F401

    made = []

    def install(connector):
        made.append(connector)
        DB.create(connector)
        generate_table()
        return connector

    yield install
    for connector in made:
        DB.drop()
        connector.close()


# ------------------------------------------------------------ SQLite files

@pytest.mark.parametrize("url, file", [
    ("sqlite:///rel.db", "rel.db"),
    ("sqlite:///sub/rel.db?showLog=false", "sub/rel.db"),
    ("sqlite:///{tmp}/abs.db", "abs.db"),
    ("sqlite:///a%20b%3F.db", "a b?.db"),
    ("sqlite://", None),
    ("sqlite:///:memory:", None),
], ids=["relative", "relative-with-option", "absolute", "percent-encoded", "empty", "memory"])
def test_sqlite_url_opens_its_file(url, file, tmp_path, monkeypatch, installed):
    from tests.models import User

    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    installed(connect(url.format(tmp=tmp_path)))
    users = User.getSyncExecutor()
    users.save(User(name="ada"))
    assert users.findOneBy(User.name == "ada").name == "ada"
    if file is None:  # SQLite's own databases: no file in the working folder
        assert sorted(os.listdir(tmp_path)) == ["sub"] and not os.listdir(tmp_path / "sub")
    else:
        assert file_rows(tmp_path / file) == [("ada",)]


# ------------------------------------------------------------ asyncio programs

PROGRAM = """
import asyncio, sys

from Tavrik.DB import connect
from Tavrik.DB.DB import DB
from Tavrik.Ext import generate_table
from tests.models import User


async def main():
    connector = connect(sys.argv[1])
    DB.create(connector)
    await generate_table()
    await User.getExecutor().save(User(name="ada"))
    await connector.close()


asyncio.run(main())
"""


@pytest.mark.parametrize("kind", ["aiosqlite", "aiomysql", "aiomysql-two-hosts"])
async def test_async_url_in_a_program(kind, tmp_path):
    if kind == "aiosqlite":
        path = tmp_path / "a b.db"
        url = "sqlite+aiosqlite:///%s?showLog=false" % quote(str(path))
    else:
        settings = require_mysql()
        await _mysql_reset(settings)
        url = mysql_url(settings, hosts=2 if kind == "aiomysql-two-hosts" else 1)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    res = subprocess.run([sys.executable, "-c", PROGRAM, url], capture_output=True, text=True, env=env, cwd=ROOT)
    assert res.returncode == 0, res.stderr
    assert (file_rows(path) if kind == "aiosqlite" else mysql_rows(settings)) == [("ada",)]


# ------------------------------------------------------------ options

STATEMENT = "SELECT 42 AS answer"


@pytest.mark.parametrize("text, logged", [
    ("true", True), ("1", True), ("yes", True), ("YES", True),
    ("false", False), ("0", False), ("no", False), ("False", False),
])
def test_bool_option_text(text, logged, tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger="Tavrik.DB")
    connector = connect("sqlite:///%s/t.db?showLog=%s" % (tmp_path, text))
    try:
        connector.execute(STATEMENT)
    finally:
        connector.close()
    assert any(STATEMENT in r.getMessage() for r in caplog.records) is logged


async def test_mysql_options_reach_the_pool():
    settings = require_mysql()
    connector = connect(mysql_url(settings, query="?minsize=1&maxsize=2&connect_timeout=2.5&echo=false"))
    try:
        assert await connector.execute(STATEMENT) == ((42,),)
        pool = connector._pool
        assert (pool.minsize, pool.maxsize) == (1, 2)
        config = connector.config
        assert [(type(config[k]), config[k]) for k in ("minsize", "port", "connect_timeout", "echo")] == [
            (int, 1), (int, settings["port"]), (float, 2.5), (bool, False)]
    finally:
        await connector.close()


@pytest.mark.parametrize("scheme, hosts", [("mysql", 1), ("mysql+pymysql", 2)])
def test_sync_mysql_url_makes_the_pooled_connector(scheme, hosts):
    from Tavrik.DB.Connector import MysqlConnector

    settings = require_mysql()
    connector = connect(mysql_url(settings, hosts=hosts, query="?maxsize=4&minsize=0&connect_timeout=2.5",
                                  scheme=scheme))
    try:
        assert type(connector) is MysqlConnector and connector.execute(STATEMENT) == ((42,),)
        assert (connector._pool.minsize, connector._pool.maxsize) == (0, 4)
        assert connector.config["connect_timeout"] == 2.5 and "password" not in connector.config
    finally:
        connector.close()


@pytest.mark.parametrize("scheme", ["postgresql", "postgresql+psycopg"])
def test_sync_postgresql_url_makes_the_pooled_connector(scheme, pg_dsn):
    from Tavrik.DB.Connector import PsycopgConnector

    connector = connect(scheme + pg_dsn[len("postgresql"):] + "?maxsize=2&minsize=0&prepare_threshold=none")
    try:
        assert type(connector) is PsycopgConnector and connector.execute("SELECT 42") == ((42,),)
        assert (connector._pool.minsize, connector._pool.maxsize) == (0, 2)
        assert connector.config["prepare_threshold"] is None and "password" not in connector.config
    finally:
        connector.close()


# ------------------------------------------------------------ keywords win

@pytest.mark.parametrize("case", ["path", "option"])
def test_keyword_wins_over_the_url(case, tmp_path, caplog):
    caplog.set_level(logging.DEBUG, logger="Tavrik.DB")
    if case == "path":
        connector = connect("sqlite:///%s/url.db?showLog=false" % tmp_path, path=str(tmp_path / "kw.db"))
    else:
        connector = connect("sqlite:///%s/url.db?showLog=true" % tmp_path, showLog=False)
    try:
        connector.execute(STATEMENT)
    finally:
        connector.close()
    if case == "path":
        assert os.listdir(tmp_path) == ["kw.db"]
    else:
        assert not any(STATEMENT in r.getMessage() for r in caplog.records)


async def test_keyword_password_wins_over_the_url():
    settings = require_mysql()
    connector = connect(mysql_url(settings, password="wrong"), password=settings["password"])
    try:
        assert await connector.execute(STATEMENT) == ((42,),)
    finally:
        await connector.close()


# ------------------------------------------------------------ refused URLs

@pytest.mark.parametrize("url, error, words", [
    ("sqlite:///x.db?showLog=maybe", ValueError, ["'showLog'", "true/false/1/0/yes/no"]),
    ("sqlite:///x.db?showLog=1&showLog=0", ValueError, ["'showLog'", "twice"]),
    ("sqlite:///x.db?path=y.db", ValueError, ["'path'", "twice"]),
    ("sqlite:///x.db?showLog", ValueError, ["name=value"]),
    ("sqlite://host/x.db", ValueError, ["no host"]),
    ("mysql+aiomysql://u@h/db?maxsize=many", ValueError, ["'maxsize'", "number"]),
    ("mysql+aiomysql://u@h/db?loop=1", ValueError, ["loop="]),
    ("x.db", ValueError, ["scheme://"]),
    ("oracle://u@h/db", ValueError, ["'oracle'", "sqlite, sqlite+aiosqlite, mysql+aiomysql"]),
    ("sqlite+aiosqlite:///x.db", RuntimeError, ["running event loop"]),
    ("mysql+aiomysql://u@h/db", RuntimeError, ["running event loop"]),
])
def test_refused_url(url, error, words, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as e:
        connect(url)
    assert all(w in str(e.value) for w in words), str(e.value)
    assert os.listdir(tmp_path) == []  # refused before anything was opened


# ------------------------------------------------------------ the password

# The secret is split in two by an unencoded "/" or "?" in some URLs: neither
# piece may show.
PIECES = ("Zq", "8Xw")


@pytest.mark.parametrize("url", [
    "oracle://u:Zq8Xw@h/db",
    "postgresql://u:Zq8Xw@h:port/db",
    "postgresql+asyncpg://u:Zq8Xw@h/db?min_size=few",
    "mysql+aiomysql://u:Zq8Xw@h:port/db",
    "mysql+aiomysql://u:Zq8Xw@h/db?minsize=many",
    "mysql+aiomysql://u:Zq8Xw@h/db?password=Zq8Xw",
    "mysql+aiomysql://h/db?password=Zq8Xw&minsize=x",
    "mysql+aiomysql://h/db?pass%77ord=Zq8Xw&minsize=x",
    "mysql+aiomysql://u:Zq%2F8Xw@h/db",
    "mysql+aiomysql://u:Zq/8Xw@h/db",
    "mysql+aiomysql://u:Zq?8Xw@h/db",
    "mysql+aiomysql://u:12/Zq8Xw@h/db",
    "mysql+aiomysql://u:12/Zq8Xw@h",
    "mysql+aiomysql://u:12?minsize=Zq8Xw@h/db",
])
def test_error_hides_the_password(url):
    with pytest.raises((ValueError, RuntimeError)) as e:
        connect(url)
    text = "".join(traceback.format_exception(e.type, e.value, e.tb))
    assert not any(p in text for p in PIECES), text
    assert "***" in str(e.value)


async def test_log_line_hides_the_password(caplog):
    from Tavrik.DB._url import _Url

    settings = require_mysql()
    caplog.set_level(logging.INFO, logger="Tavrik.DB")
    url = mysql_url(settings)
    connector = connect(url)
    await connector.close()
    encoded = url.split(":")[2].split("@")[0]
    lines = [r.getMessage() for r in caplog.records]
    shown = [line for line in lines if "***" in line]
    assert len(shown) == 1, lines
    assert not any(encoded in line or ":%s@" % settings["password"] in line for line in lines), lines
    assert encoded not in repr(_Url(url)) and "***" in repr(_Url(url))
