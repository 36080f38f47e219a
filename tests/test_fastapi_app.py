"""examples/fastapi_app.py as its users run it: under uvicorn in a fresh
interpreter, on each asynchronous road (the connector chosen by URL), driven
over HTTP; what it answers is checked, and what it wrote is read back
through a connection of the test's own."""
import os
import socket
import subprocess
import sys
import time
from urllib.parse import quote

import httpx
import pytest

import Tavrik
from tests.asyncprograms import make_road

APP = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "fastapi_app.py")
KINDS = ["aiosqlite", "mysql", "postgresql"]


def app_url(road):
    if road.kind == "aiosqlite":
        return "sqlite+aiosqlite:///" + os.path.abspath(road.target)
    if road.kind == "postgresql":
        return road.target.replace("postgresql://", "postgresql+asyncpg://", 1)
    s = road.settings
    return "mysql+aiomysql://%s:%s@%s:%d/%s" % (quote(s["user"], safe=""), quote(s["password"], safe=""),
                                                s["host"], s["port"], quote(s["db"], safe=""))


def table(road, name):
    return ("`%s`" if road.kind == "mysql" else '"%s"') % name


@pytest.fixture(params=KINDS)
def service(request, tmp_path):
    """(road, client) with the example serving an empty database."""
    kind = request.param
    road = make_road(kind, tmp_path, request.getfixturevalue("pg_dsn") if kind == "postgresql" else None)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (os.path.dirname(os.path.dirname(Tavrik.__file__)), env.get("PYTHONPATH")) if p)
    proc = subprocess.Popen([sys.executable, APP, app_url(road), str(port)], env=env, cwd=str(tmp_path),
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        client = httpx.Client(base_url="http://127.0.0.1:%d" % port, timeout=30)
        deadline = time.monotonic() + 60
        while True:
            try:
                # Answered once the lifespan made the tables.
                client.get("/users")
                break
            except httpx.TransportError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    proc.kill()
                    pytest.fail("the service did not start: %s" % proc.communicate(timeout=30)[1])
                time.sleep(0.05)
        try:
            yield road, client
        finally:
            client.close()
    finally:
        proc.terminate()
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(30)


def create(client, name="ada", **more):
    r = client.post("/users", json=dict({"name": name}, **more))
    assert r.status_code == 201, r.text
    return r.json()


def test_a_user_is_created_with_its_rows_and_read_back_with_them(service):
    road, client = service
    made = create(client, email="ada@example.org", profile={"bio": "engines"},
                  posts=[{"title": "Notes"}, {"title": "Numbers", "published": True}])
    got = client.get("/users/%d" % made["id"])
    assert got.status_code == 200
    body = got.json()
    assert (body["name"], body["email"], body["profile"]["bio"]) == ("ada", "ada@example.org", "engines")
    assert sorted((p["title"], p["published"]) for p in body["posts"]) == [("Notes", False), ("Numbers", True)]
    assert body["roles"] == []
    rows = road.rows("SELECT title FROM %s WHERE user_id = %d ORDER BY title" % (table(road, "post"), made["id"]))
    assert rows == [("Notes",), ("Numbers",)]


@pytest.mark.parametrize("body", [{"name": "x" * 65}, {"name": "ada", "nickname": "a"},
                                  {"name": "ada", "posts": [{"title": "t" * 201}]}],
                         ids=["over-long", "unknown-field", "over-long-related"])
def test_a_bad_body_is_422_and_writes_nothing(service, body):
    road, client = service
    r = client.post("/users", json=body)
    assert r.status_code == 422, r.text
    assert road.rows("SELECT COUNT(*) FROM %s" % table(road, "user")) == [(0,)]
    assert road.rows("SELECT COUNT(*) FROM %s" % table(road, "post")) == [(0,)]


@pytest.mark.parametrize("method, path", [("GET", "/users/7"), ("PATCH", "/users/7"), ("DELETE", "/users/7"),
                                          ("POST", "/posts/7/move?to=1")])
def test_a_missing_row_is_404(service, method, path):
    _, client = service
    create(client)
    r = client.request(method, path, json={} if method == "PATCH" else None)
    assert r.status_code == 404, r.text


def test_an_update_changes_only_the_fields_sent(service):
    road, client = service
    made = create(client, email="ada@example.org")
    r = client.patch("/users/%d" % made["id"], json={"email": None})
    assert r.status_code == 200, r.text
    assert (r.json()["name"], r.json()["email"]) == ("ada", None)
    assert road.rows("SELECT name, email FROM %s" % table(road, "user")) == [("ada", None)]
    assert client.patch("/users/%d" % made["id"], json={"name": "y" * 65}).status_code == 422


def test_users_are_listed_a_page_at_a_time(service):
    _, client = service
    ids = [create(client, "u%d" % i)["id"] for i in range(5)]
    r = client.get("/users", params={"page": 2, "size": 2})
    assert r.status_code == 200
    page = r.json()
    assert (page["page"], page["total"], page["totalPage"]) == (2, 5, 3)
    assert [u["id"] for u in page["content"]] == ids[2:4]


def test_a_deleted_user_is_gone(service):
    road, client = service
    keep, gone = create(client, "keep")["id"], create(client, "gone")["id"]
    assert client.delete("/users/%d" % gone).status_code == 204
    assert client.get("/users/%d" % gone).status_code == 404
    assert road.rows("SELECT id FROM %s" % table(road, "user")) == [(keep,)]


def test_a_post_moves_to_another_user(service):
    road, client = service
    ada = create(client, "ada", posts=[{"title": "Notes"}])
    alan = create(client, "alan")
    post = ada["posts"][0]["id"]
    r = client.post("/posts/%d/move" % post, params={"to": alan["id"]})
    assert r.status_code == 200, r.text
    assert r.json()["user_id"] == alan["id"]
    # A move to nobody is refused whole: the post stays where it is.
    assert client.post("/posts/%d/move" % post, params={"to": 999}).status_code == 404
    assert road.rows("SELECT user_id FROM %s" % table(road, "post")) == [(alan["id"],)]
