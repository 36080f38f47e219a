"""The database server restarted under a live pool, on the four pooled roads
(AioMysqlConnector, MysqlConnector, AsyncpgConnector, PsycopgConnector).

Each test runs the user's program in a fresh interpreter against a private
server of the tests' own; the program stops at marked points (a line "@name"
on its output, then it waits for a line on its input) while the test stops,
starts or restarts the server, and finally prints what it saw as JSON.  The
database is then read through a connection of the test's own."""
import json
import os
import selectors
import subprocess
import sys
import textwrap
import time

import pytest

from tests.private_servers import MariaDB, PostgreSQL

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

ROADS = ["aiomysql", "pymysql", "asyncpg", "psycopg"]
ASYNC = ("aiomysql", "asyncpg")

PRELUDE = textwrap.dedent(
    """
    import asyncio, json, sys
    from Tavrik.DB.Connector import AioMysqlConnector, AsyncpgConnector, MysqlConnector, PsycopgConnector
    from Tavrik.DB.DB import DB
    from Tavrik.Error import OperationalError
    from Tavrik.Model.Korvid import Korvid
    from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty

    ROAD, TARGET = sys.argv[1], json.loads(sys.argv[2])

    class Item(Korvid):
        tableName = "r_item"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        name = StrProperty(64)

    def connector():
        if ROAD == "aiomysql":
            return AioMysqlConnector(asyncio.get_running_loop(), minsize=1, maxsize=3, connect_timeout=5, **TARGET)
        if ROAD == "asyncpg":
            return AsyncpgConnector(asyncio.get_running_loop(), TARGET, min_size=1, max_size=3, timeout=5)
        if ROAD == "pymysql":
            return MysqlConnector(minsize=1, maxsize=3, connect_timeout=5, **TARGET)
        return PsycopgConnector(TARGET, minsize=1, maxsize=3, connect_timeout=5)

    def kind(e):
        return "OperationalError" if isinstance(e, OperationalError) else type(e).__name__

    def pause(name):
        # The test acts on the server, then answers.
        print("@" + name, flush=True)
        sys.stdin.readline()

    async def apause(name):
        # The loop keeps running meanwhile, as a live service's does.
        await asyncio.get_running_loop().run_in_executor(None, pause, name)

    async def settled(c):
        # A task's transaction ends after the task: its release runs then.
        while c.boundConnections:
            await asyncio.sleep(0.01)

    def pool_size(c):
        if ROAD == "aiomysql":
            return c._pool.size
        if ROAD == "asyncpg":
            return sum(h._con is not None and not h._con.is_closed() for h in c._pool._holders)
        return c._pool.size

    def done(out):
        print(json.dumps(out), flush=True)
    """
)


class Program:
    """The user's program, run in a fresh interpreter; a hang fails the test."""

    def __init__(self, source, road, target, *args):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), ROOT])))
        self.proc = subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(source), road,
                                      json.dumps(target), *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=env, cwd=ROOT)
        self.deadline = time.monotonic() + 120

    def _line(self):
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        try:
            while True:
                left = self.deadline - time.monotonic()
                if left <= 0 or not sel.select(left):
                    self.proc.kill()
                    pytest.fail("the program hung; its errors:\n" + self.proc.communicate()[1])
                line = self.proc.stdout.readline()
                if line == "":
                    pytest.fail("the program ended (%s) early:\n%s" % (self.proc.wait(), self.proc.stderr.read()))
                return line.rstrip("\n")
        finally:
            sel.close()

    def at(self, name):
        line = self._line()
        assert line == "@" + name, (line, self.proc.stderr.read() if line.startswith("{") else "")

    def go(self):
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()

    def result(self):
        out = json.loads(self._line())
        self.proc.stdin.close()
        err = self.proc.stderr.read()
        assert self.proc.wait() == 0, err
        return out, err


def _start(make):
    try:
        return make()
    except (FileNotFoundError, subprocess.CalledProcessError, RuntimeError) as e:
        if os.environ.get("CI"):
            pytest.fail("a private %s server could not start: %r" % (make.__name__, e))
        pytest.skip("no private %s server: %r" % (make.__name__, e))


@pytest.fixture(scope="session")
def mariadb():
    server = _start(MariaDB)
    yield server
    server.remove()


@pytest.fixture(scope="session")
def postgresql():
    server = _start(PostgreSQL)
    yield server
    server.remove()


@pytest.fixture(params=ROADS)
def road(request):
    """(road, the server, the program's target): a fresh r_item table."""
    name = request.param
    if "mysql" in name:
        server = request.getfixturevalue("mariadb")
        server.run("DROP TABLE IF EXISTS r_item")
        server.run("CREATE TABLE r_item (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(64) NOT NULL) ENGINE=InnoDB")
        return name, server, server.settings
    server = request.getfixturevalue("postgresql")
    server.run("DROP TABLE IF EXISTS r_item")
    server.run("CREATE TABLE r_item (id INT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, name VARCHAR(64) NOT NULL)")
    return name, server, server.dsn


def names(server):
    return sorted(r[0] for r in server.run("SELECT name FROM r_item"))


def running_insert(server):
    if isinstance(server, MariaDB):
        sql = "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE INFO LIKE 'INSERT INTO r_item%'"
    else:
        sql = "SELECT COUNT(*) FROM pg_stat_activity WHERE state = 'active' AND query LIKE 'INSERT INTO r_item%'"
    return server.run(sql)[0][0] > 0


def restart(server):
    server.stop()
    server.start()


# The pool is full of idle connections when the server restarts; afterwards
# every statement (a new task each, on the asynchronous roads) succeeds on a
# fresh connection, nothing is left bound, and close() works.
RECOVER_SYNC = """
c = connector()
DB.create(c)
ex = Item.getExecutor()
held = [c.getCon() for _ in range(3)]
for con in held:
    c.releaseCon(con)
ex.save(Item(name="before"))
pause("restart")
seen = []
for i in range(6):
    try:
        ex.save(Item(name="after%d" % i))
        seen.append("ok")
    except Exception as e:
        seen.append(kind(e))
size = pool_size(c)
c.close()
done({"seen": seen, "size": size, "bound": 0})
"""

RECOVER_ASYNC = """
async def main():
    c = connector()
    DB.create(c)

    async def save(name):
        await Item.getExecutor().save(Item(name=name))

    await asyncio.gather(*(asyncio.create_task(save("before%d" % i)) for i in range(3)))
    await settled(c)
    await apause("restart")
    seen = []
    for i in range(6):
        try:
            await asyncio.create_task(save("after%d" % i))
            seen.append("ok")
        except Exception as e:
            seen.append(kind(e))
    await settled(c)
    out = {"seen": seen, "size": pool_size(c), "bound": c.boundConnections}
    await c.close()
    done(out)

asyncio.run(main())
"""


def test_pool_goes_on_after_restart(road):
    name, server, target = road
    prog = Program(RECOVER_ASYNC if name in ASYNC else RECOVER_SYNC, name, target)
    prog.at("restart")
    restart(server)
    prog.go()
    out, err = prog.result()
    assert out == {"seen": ["ok"] * 6, "size": out["size"], "bound": 0}, err
    assert out["size"] <= 3
    assert [n for n in names(server) if n.startswith("after")] == ["after%d" % i for i in range(6)]


# A transaction in flight when the server goes down is reported failed to its
# owner, whether the next thing it meets is a statement or the commit, and
# leaves nothing behind; on the asynchronous roads a task's own transaction
# (written, ended normally after the restart) is reported lost, not
# committed.  Afterwards a new statement succeeds and nothing stays bound.
BLOCK_SYNC = """
c = connector()
DB.create(c)
ex = Item.getExecutor()
MOMENT = sys.argv[3]
out = {}
met = None
try:
    with c.transaction():
        ex.save(Item(name="block-a"))
        pause("restart")
        if MOMENT == "statement":
            try:
                ex.save(Item(name="block-b"))
            except Exception as e:
                met = e
                raise
    out["block"] = "committed"
except Exception as e:
    out["block"] = kind(e)
    # what the owner sees is what the statement met (or a kind made from it)
    out["own"] = met is None or met in (e, e.__cause__)
# the same thread goes on
with c.transaction():
    ex.save(Item(name="after"))
out["size"] = pool_size(c)
out["reports"] = []
c.close()
done(out)
"""

BLOCK_ASYNC = """
async def main():
    c = connector()
    DB.create(c)
    ex = Item.getExecutor()
    MOMENT = sys.argv[3]
    reports = []
    asyncio.get_running_loop().set_exception_handler(lambda loop, ctx: reports.append(kind(ctx.get("exception"))))
    out = {}
    wrote, resume = asyncio.Event(), asyncio.Event()

    async def own():
        # The task's own transaction: committed at its end, if it can be.
        await ex.save(Item(name="task-a"))
        wrote.set()
        await resume.wait()

    async def worker():
        # A long-lived task without blocks: the statement that meets the
        # loss fails, the next ones run on a fresh connection.
        await ex.save(Item(name="worker-a"))
        await resume.wait()
        seen = []
        for name in ("worker-b", "worker-c"):
            try:
                await ex.save(Item(name=name))
                seen.append("ok")
            except Exception as e:
                seen.append(kind(e))
        out["worker"] = seen

    task = asyncio.create_task(own())
    await wrote.wait()
    working = asyncio.create_task(worker())

    async def block():
        met = None
        try:
            async with c.transaction():
                await ex.save(Item(name="block-a"))
                await apause("restart")
                resume.set()
                if MOMENT == "statement":
                    try:
                        await ex.save(Item(name="block-b"))
                    except Exception as e:
                        met = e
                        raise
            out["block"] = "committed"
        except Exception as e:
            out["block"] = kind(e)
            # what the owner sees is what the statement met (or a kind made from it)
            out["own"] = met is None or met in (e, e.__cause__)
        # the same task goes on, as a long-lived worker's does
        async with c.transaction():
            await ex.save(Item(name="after"))

    await asyncio.create_task(block())
    await task
    await working
    await settled(c)
    out["size"] = pool_size(c)
    out["reports"] = reports
    out["bound"] = c.boundConnections
    await c.close()
    done(out)

asyncio.run(main())
"""


@pytest.mark.parametrize("moment", ["statement", "commit"])
def test_transaction_in_flight_is_reported_failed(road, moment):
    name, server, target = road
    prog = Program(BLOCK_ASYNC if name in ASYNC else BLOCK_SYNC, name, target, moment)
    prog.at("restart")
    restart(server)
    prog.go()
    out, err = prog.result()
    reports = ["OperationalError"] if name in ASYNC else []
    worker = ["OperationalError", "ok"] if name in ASYNC else None
    assert (out["block"], out["own"], out["reports"], out.get("worker"), out.get("bound", 0)) == (
        "OperationalError", True, reports, worker, 0), err
    assert out["size"] <= 3
    assert names(server) == (["after", "worker-c"] if name in ASYNC else ["after"])


# While the server is down, a statement fails at once with the driver's
# error (a new task's, on the asynchronous roads); once it is back, the next
# one succeeds.
DOWN_SYNC = """
c = connector()
DB.create(c)
ex = Item.getExecutor()
ex.save(Item(name="before"))
pause("stopped")
seen = []
for i in range(2):
    try:
        ex.save(Item(name="down%d" % i))
        seen.append("ok")
    except Exception as e:
        seen.append(kind(e))
pause("started")
ex.save(Item(name="after"))
seen.append("ok")
out = {"seen": seen, "size": pool_size(c), "bound": 0}
c.close()
done(out)
"""

DOWN_ASYNC = """
async def main():
    c = connector()
    DB.create(c)

    async def save(name):
        await Item.getExecutor().save(Item(name=name))

    await asyncio.create_task(save("before"))
    await settled(c)
    await apause("stopped")
    seen = []
    for i in range(2):
        try:
            await asyncio.create_task(save("down%d" % i))
            seen.append("ok")
        except Exception as e:
            seen.append(kind(e))
    await apause("started")
    await asyncio.create_task(save("after"))
    seen.append("ok")
    await settled(c)
    out = {"seen": seen, "size": pool_size(c), "bound": c.boundConnections}
    await c.close()
    done(out)

asyncio.run(main())
"""


def test_statements_fail_while_server_is_down(road):
    name, server, target = road
    prog = Program(DOWN_ASYNC if name in ASYNC else DOWN_SYNC, name, target)
    prog.at("stopped")
    server.stop()
    try:
        prog.go()
        prog.at("started")
    finally:
        server.start()
    prog.go()
    out, err = prog.result()
    assert (out["seen"], out["bound"]) == (["OperationalError", "OperationalError", "ok"], 0), err
    assert out["size"] <= 3
    assert names(server) == ["after", "before"]


# The pool is full when the server restarts, and one more caller waits for
# a connection: the lost ones free their places, and the waiter goes on
# (on a fresh connection) instead of waiting for ever.
FULL_SYNC = """
import threading
c = connector()
DB.create(c)
ex = Item.getExecutor()
out, holding, go = {}, threading.Barrier(4), threading.Event()

def holder(i):
    try:
        with c.transaction():
            ex.save(Item(name="h%d" % i))
            holding.wait()
            go.wait()
            ex.save(Item(name="h%d-b" % i))
        out["h%d" % i] = "committed"
    except Exception as e:
        out["h%d" % i] = kind(e)

def waiter():
    ex.save(Item(name="waiter"))
    out["waiter"] = "ok"

holders = [threading.Thread(target=holder, args=(i,)) for i in range(3)]
for t in holders:
    t.start()
holding.wait()
w = threading.Thread(target=waiter)
w.start()
pause("restart")
go.set()
for t in holders + [w]:
    t.join()
out["size"] = pool_size(c)
out["bound"] = 0
c.close()
done(out)
"""

FULL_ASYNC = """
async def main():
    c = connector()
    DB.create(c)
    ex = Item.getExecutor()
    out, go = {}, asyncio.Event()
    holding = []

    async def holder(i):
        try:
            async with c.transaction():
                await ex.save(Item(name="h%d" % i))
                holding.append(i)
                await go.wait()
                await ex.save(Item(name="h%d-b" % i))
            out["h%d" % i] = "committed"
        except Exception as e:
            out["h%d" % i] = kind(e)

    async def waiter():
        try:
            await ex.save(Item(name="waiter"))
            out["waiter"] = "ok"
        except Exception as e:
            out["waiter"] = kind(e)

    holders = [asyncio.create_task(holder(i)) for i in range(3)]
    while len(holding) < 3:
        await asyncio.sleep(0.01)
    w = asyncio.create_task(waiter())
    await asyncio.sleep(0.1)  # it waits for a connection
    await apause("restart")
    go.set()
    await asyncio.gather(*holders, w)
    await settled(c)
    out["size"] = pool_size(c)
    out["bound"] = c.boundConnections
    await c.close()
    done(out)

asyncio.run(main())
"""


def test_caller_waiting_on_a_full_pool_goes_on(road):
    name, server, target = road
    prog = Program(FULL_ASYNC if name in ASYNC else FULL_SYNC, name, target)
    prog.at("restart")
    restart(server)
    prog.go()
    out, err = prog.result()
    size, waiter = out.pop("size"), out.pop("waiter")
    assert out == {"h0": "OperationalError", "h1": "OperationalError", "h2": "OperationalError", "bound": 0}, err
    assert size <= 3
    if name == "asyncpg" and waiter != "ok":
        # asyncpg's pool frees a lost connection's place the moment the link
        # drops, so the waiter may try its connection while the server is
        # still down, and fail at once.
        assert waiter == "OperationalError", err
        assert names(server) == []
    else:
        assert (waiter, names(server)) == ("ok", ["waiter"]), err


# A write in flight when the server goes down fails with the driver's error
# and is not sent again (it may have reached the server): after the restart
# the row is not there, and the next statement succeeds.
SLOW_INSERT = {
    "mysql": "INSERT INTO r_item (name) SELECT 'slow' FROM (SELECT SLEEP(%s) AS s) AS w",
    "postgresql": "INSERT INTO r_item (name) SELECT 'slow' FROM pg_sleep(%s)",
}

MIDWAY_SYNC = """
c = connector()
DB.create(c)
ex = Item.getExecutor()
ex.save(Item(name="before"))
out = {}
print("@restart", flush=True)
try:
    c.execute(sys.argv[3], args=(5,))
    out["slow"] = "ok"
except Exception as e:
    out["slow"] = kind(e)
pause("back")
ex.save(Item(name="after"))
out["size"] = pool_size(c)
out["bound"] = 0
c.close()
done(out)
"""

MIDWAY_ASYNC = """
async def main():
    c = connector()
    DB.create(c)
    ex = Item.getExecutor()
    await asyncio.create_task(ex.save(Item(name="before")))
    await settled(c)
    out = {}

    async def slow():
        print("@restart", flush=True)
        try:
            await c.execute(sys.argv[3], args=(5,))
            out["slow"] = "ok"
        except Exception as e:
            out["slow"] = kind(e)

    await asyncio.create_task(slow())
    await apause("back")
    await asyncio.create_task(ex.save(Item(name="after")))
    await settled(c)
    out["size"] = pool_size(c)
    out["bound"] = c.boundConnections
    await c.close()
    done(out)

asyncio.run(main())
"""


def test_write_in_flight_fails_and_is_not_sent_again(road):
    name, server, target = road
    slow = SLOW_INSERT["mysql" if "mysql" in name else "postgresql"]
    prog = Program(MIDWAY_ASYNC if name in ASYNC else MIDWAY_SYNC, name, target, slow)
    prog.at("restart")
    # The statement has reached the server and sleeps there.
    while not running_insert(server):
        assert prog.proc.poll() is None and time.monotonic() < prog.deadline, "the statement never ran"
        time.sleep(0.02)
    restart(server)
    prog.at("back")
    prog.go()
    out, err = prog.result()
    size = out.pop("size")
    assert out == {"slow": "OperationalError", "bound": 0}, err
    assert size <= 3
    assert names(server) == ["after", "before"]
