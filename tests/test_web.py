"""A web service's writes are committed before its answer: a FastAPI
application on uvicorn, each request in one transaction (the ASGI
middleware, or the FastAPI dependency), killed with SIGKILL right after each
2xx it sent; every acknowledged write is in the database, and none of a
request that failed or answered 5xx."""
import http.client
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from tests.asyncprograms import PRELUDE, make_road

SERVER = PRELUDE + textwrap.dedent('''
    import contextlib
    import uvicorn
    from fastapi import Depends, FastAPI, HTTPException
    from fastapi.responses import JSONResponse
    from Tavrik.Ext.web import TransactionMiddleware, transaction

    MODE, PORT = sys.argv[3], int(sys.argv[4])

    @contextlib.asynccontextmanager
    async def lifespan(app):
        c = make_connector()
        DB.create(c)
        yield
        await c.close()

    app = FastAPI(lifespan=lifespan)
    if MODE == "middleware":
        app.add_middleware(TransactionMiddleware)
        block = []
    else:
        block = [Depends(transaction, scope="function")]

    @app.post("/items/{name}", status_code=201, dependencies=block)
    async def create(name: str):
        await Item.getExecutor().save(Item(name=name))
        return {"name": name}

    @app.post("/boom/{name}", dependencies=block)
    async def boom(name: str):
        await Item.getExecutor().save(Item(name=name))
        raise RuntimeError("the endpoint fails after its write")

    @app.post("/busy/{name}", dependencies=block)
    async def busy(name: str):
        await Item.getExecutor().save(Item(name=name))
        raise HTTPException(status_code=503)

    uvicorn.run(app, host="127.0.0.1", port=PORT, log_level="warning", lifespan="on")
''')


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def post(port, path):
    con = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        con.request("POST", path)
        resp = con.getresponse()
        resp.read()
        return resp.status
    finally:
        con.close()


def serve(road, mode):
    """The server started, and its port once it answers."""
    port = free_port()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), os.getcwd()])))
    proc = subprocess.Popen([sys.executable, "-c", SERVER, road.kind, road.target, mode, str(port)], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                proc.kill()
                pytest.fail("the server did not start: %s" % proc.stderr.read())
            time.sleep(0.05)


@pytest.mark.parametrize("kind, mode", [("aiosqlite", "middleware"), ("mysql", "middleware"),
                                        ("postgresql", "middleware"), ("aiosqlite", "dependency")])
def test_every_acknowledged_write_survives_a_kill_after_the_answer(tmp_path, request, kind, mode):
    road = make_road(kind, tmp_path, request.getfixturevalue("pg_dsn") if kind == "postgresql" else None)
    kept = []
    for i in range(5):
        proc, port = serve(road, mode)
        try:
            assert post(port, "/boom/b%d" % i) == 500
            assert post(port, "/busy/s%d" % i) == 503
            assert post(port, "/items/ok%d" % i) == 201
            # Killed the moment the answer is read: no chance to commit after it.
            os.kill(proc.pid, signal.SIGKILL)
            kept.append("ok%d" % i)
        finally:
            proc.kill()
            proc.wait(30)
    assert sorted(r[0] for r in road.rows("SELECT name FROM p_item")) == kept
