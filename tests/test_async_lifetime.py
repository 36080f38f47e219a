"""Asynchronous programs keep their writes: a task's transaction at the end
of the task (main() of asyncio.run included), close(), the pool made again,
quiet cancellation, the statement trace and the in-memory refusal.  Each
program runs in a fresh interpreter; the database is checked afterwards
through a connection of the test's own."""
import asyncio

import pytest

from tests.asyncprograms import make_road


@pytest.fixture(params=["aiosqlite", "mysql", "postgresql"])
def road(request, tmp_path):
    dsn = request.getfixturevalue("pg_dsn") if request.param == "postgresql" else None
    return make_road(request.param, tmp_path, dsn)


def assert_quiet(proc):
    assert "Traceback" not in proc.stderr and "ERROR" not in proc.stderr, proc.stderr
    assert "never retrieved" not in proc.stderr and "CancelledError" not in proc.stderr, proc.stderr


class TestTaskEnd:
    def test_new_users_program_keeps_its_row_and_exits(self, road):
        # The first program of a new user, as written, with and without close().
        for with_close in (True, False):
            proc = road.program('''
                async def main():
                    DB.create(make_connector())
                    await Item.getExecutor().save(Item(name="a"))
                    if %r:
                        await DB.getInstance().connector.close()
                asyncio.run(main())
                print("returned")
            ''' % with_close)
            assert proc.returncode == 0 and proc.stdout == "returned\n", proc.stderr
            assert_quiet(proc)
        assert road.rows("SELECT name FROM p_item ORDER BY id") == [("a",), ("a",)]

    def test_main_and_the_tasks_it_awaited_are_committed_before_run_returns(self, road):
        proc = road.program('''
            async def child(i):
                await Item.getExecutor().save(Item(name="child%d" % i))

            async def main():
                DB.create(make_connector())
                await asyncio.gather(*(asyncio.create_task(child(i)) for i in range(5)))
                await asyncio.create_task(child(5))
                # (On SQLite main then holds the write lock until it ends: it
                # starts no more writers after its own first statement.)
                await Item.getExecutor().save(Item(name="main"))
            asyncio.run(main())
            print(peek("SELECT count(*) FROM p_item")[0][0])
        ''')
        assert proc.returncode == 0 and proc.stdout == "7\n", proc.stderr
        assert_quiet(proc)
        assert road.rows("SELECT count(*) FROM p_item") == [(7,)]

    def test_main_that_raises_is_rolled_back_and_the_error_reaches_the_caller(self, road):
        proc = road.program('''
            async def child():
                await Item.getExecutor().save(Item(name="child"))

            async def main():
                DB.create(make_connector())
                await asyncio.create_task(child())
                await Item.getExecutor().save(Item(name="main"))
                raise KeyError("boom")
            try:
                asyncio.run(main())
            except KeyError as e:
                print("caught", e)
        ''')
        assert proc.returncode == 0 and proc.stdout == "caught 'boom'\n", proc.stderr
        assert road.rows("SELECT name FROM p_item") == [("child",)]

    def test_uncaught_error_in_main_still_lets_the_interpreter_exit(self, road):
        proc = road.program('''
            async def main():
                DB.create(make_connector())
                await Item.getExecutor().save(Item(name="main"))
                raise KeyError("boom")
            asyncio.run(main())
        ''')
        assert proc.returncode == 1 and "KeyError: 'boom'" in proc.stderr
        assert road.rows("SELECT count(*) FROM p_item") == [(0,)]

    def test_task_still_running_at_the_end_is_rolled_back(self, road):
        proc = road.program('''
            async def lingering(started):
                await Item.getExecutor().save(Item(name="lingering"))
                started.set()
                await asyncio.sleep(3600)

            async def main():
                DB.create(make_connector())
                started = asyncio.Event()
                asyncio.create_task(lingering(started))
                await started.wait()
                # main's own write waits for the lingering task's lock on SQLite:
                # write through a task that is done before main returns.
                if ROAD != "aiosqlite":
                    await Item.getExecutor().save(Item(name="main"))
            asyncio.run(main())
            print("returned")
        ''')
        assert proc.returncode == 0 and proc.stdout == "returned\n", proc.stderr
        assert_quiet(proc)
        expected = [] if road.kind == "aiosqlite" else [("main",)]
        assert road.rows("SELECT name FROM p_item") == expected


class TestClose:
    def test_close_commits_its_task_waits_for_the_others_and_refuses_new_work(self, road):
        proc = road.program('''
            async def other(go):
                ex = Item.getExecutor()
                await go.wait()
                await ex.save(Item(name="other1"))
                await asyncio.sleep(0.3)
                await ex.save(Item(name="other2"))

            async def late():
                await Item.getExecutor().save(Item(name="late"))

            async def main():
                c = make_connector()
                DB.create(c)
                go = asyncio.Event()
                t = asyncio.create_task(other(go))
                await Item.getExecutor().save(Item(name="main"))
                go.set()
                await asyncio.sleep(0.05)
                await c.close()
                print("other done:", t.done())
                for attempt in (Item.getExecutor().save(Item(name="after")), asyncio.create_task(late())):
                    try:
                        await attempt
                    except RuntimeError as e:
                        print("refused:", "close()" in str(e))
                await c.close()  # harmless
            asyncio.run(main())
        ''')
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == "other done: True\nrefused: True\nrefused: True\n"
        assert_quiet(proc)
        assert sorted(road.rows("SELECT name FROM p_item")) == [("main",), ("other1",), ("other2",)]

    def test_close_waits_a_bounded_time_then_rolls_back_what_is_left(self, road):
        proc = road.program('''
            async def stuck(started):
                await Item.getExecutor().save(Item(name="stuck"))
                started.set()
                await asyncio.sleep(3600)

            async def main():
                c = make_connector()
                DB.create(c)
                started = asyncio.Event()
                t = asyncio.create_task(stuck(started))
                await started.wait()
                await c.close(timeout=0.5)
                t.cancel()
                print("closed")
            asyncio.run(main())
        ''')
        assert proc.returncode == 0 and proc.stdout == "closed\n", proc.stderr
        assert_quiet(proc)
        assert road.rows("SELECT count(*) FROM p_item") == [(0,)]


def test_pool_is_made_again_once_the_server_is_back(tmp_path):
    road = make_road("mysql", tmp_path)
    # The connector talks to a port where nothing listens yet; then a relay to
    # the server opens there (the server is "back").
    proc = road.program('''
        import socket

        async def relay(reader, writer):
            settings = json.loads(TARGET)
            up_r, up_w = await asyncio.open_connection(settings["host"], settings["port"])

            async def pipe(r, w):
                try:
                    while True:
                        data = await r.read(65536)
                        if not data:
                            break
                        w.write(data)
                        await w.drain()
                finally:
                    w.close()
            await asyncio.gather(pipe(reader, up_w), pipe(up_r, writer), return_exceptions=True)

        async def main():
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
            s.close()
            c = make_connector(host="127.0.0.1", port=port, connect_timeout=2)
            DB.create(c)

            async def save(name):
                await Item.getExecutor().save(Item(name=name))
            try:
                await asyncio.create_task(save("while down"))
            except RuntimeError as e:
                print("down:", str(e).startswith("MySQL连接池创建失败"))
            server = await asyncio.start_server(relay, "127.0.0.1", port)
            await asyncio.create_task(save("back"))
            await c.close()
            server.close()
            await server.wait_closed()
            print("saved")
        asyncio.run(main())
    ''')
    assert proc.returncode == 0 and proc.stdout == "down: True\nsaved\n", proc.stderr
    assert road.rows("SELECT name FROM p_item") == [("back",)]


@pytest.mark.parametrize("kind", ["mysql", "postgresql"])
def test_cancelled_pooled_tasks_are_rolled_back_quietly(tmp_path, kind, request):
    road = make_road(kind, tmp_path, request.getfixturevalue("pg_dsn") if kind == "postgresql" else None)
    proc = road.program('''
        async def body(started):
            await Item.getExecutor().save(Item(name="cut"))
            started.set()
            await DB.getInstance().executeSql("SELECT SLEEP(5)" if ROAD == "mysql" else "SELECT pg_sleep(5)")

        async def main():
            c = make_connector(**({"maxsize": 2} if ROAD == "mysql" else {"max_size": 2}))
            DB.create(c)
            for _ in range(6):
                started = asyncio.Event()
                t = asyncio.create_task(body(started))
                await started.wait()
                await asyncio.sleep(0.05)
                t.cancel()
                try:
                    await t
                except asyncio.CancelledError:
                    pass
            # The pool of two still serves: no connection was lost.
            await asyncio.gather(*(asyncio.create_task(Item.getExecutor().save(Item(name="ok%d" % i)))
                                   for i in range(4)))
            await c.close()
        asyncio.run(main())
        print("returned")
    ''')
    assert proc.returncode == 0 and proc.stdout == "returned\n", proc.stderr
    assert_quiet(proc)
    assert road.rows("SELECT count(*) FROM p_item WHERE name = 'cut'") == [(0,)]
    assert road.rows("SELECT count(*) FROM p_item") == [(4,)]


def test_statement_trace_leaves_the_applications_logging_alone(tmp_path):
    road = make_road("aiosqlite", tmp_path)
    proc = road.program('''
        async def main():
            DB.create(AioSqliteConnector(asyncio.get_running_loop(), path=TARGET, showLog=True))
            await asyncio.create_task(Item.getExecutor().save(Item(name="before")))
            logging.basicConfig(level=logging.INFO, format="APP %(name)s %(message)s")
            await asyncio.create_task(Item.getExecutor().save(Item(name="after")))
        asyncio.run(main())
    ''')
    assert proc.returncode == 0, proc.stderr
    lines = [line for line in proc.stderr.splitlines() if "INSERT" in line]
    assert lines == ['APP root INSERT INTO `p_item` (`name`) VALUES (%s) || params=(\'after\',)'], proc.stderr


@pytest.mark.parametrize("path", [":memory:", ""])
def test_in_memory_database_is_refused_with_the_alternative(path):
    from Tavrik.DB.Connector import AioSqliteConnector

    loop = asyncio.new_event_loop()
    try:
        with pytest.raises(ValueError, match="内存数据库.*数据库文件的路径.*Sqlite3Connector"):
            AioSqliteConnector(loop, path=path)
    finally:
        loop.close()
