"""use_database: one connection and transaction around an asynchronous method;
pydantic_support: the hook applied to every model's pydantic model."""
import asyncio
import functools
import inspect
import types

import pytest

from Tavrik.DB.Connector import AioSqliteConnector
from Tavrik.DB.DB import DB
from Tavrik.Error.Strovy import DBInstanceCreateError
from Tavrik.Ext import Decorators
from Tavrik.Ext.Decorators import pydantic_support, use_database


class Recorder:
    """The connector's getCon() result: an asynchronous context manager whose
    connection records commit/rollback, all into one log (the order of
    effects is what these tests observe)."""

    def __init__(self, log, commit_exc=None, rollback_exc=None, swallow=False):
        self.log = log
        self.commit_exc = commit_exc
        self.rollback_exc = rollback_exc
        self.swallow = swallow
        self.con = types.SimpleNamespace(commit=self.commit, rollback=self.rollback, name="con")

    async def commit(self):
        self.log.append("commit")
        if self.commit_exc is not None:
            raise self.commit_exc

    async def rollback(self):
        self.log.append("rollback")
        if self.rollback_exc is not None:
            raise self.rollback_exc

    async def __aenter__(self):
        self.log.append("enter")
        return self.con

    async def __aexit__(self, et, ev, tb):
        self.log.append(("exit", et, ev))
        return self.swallow


class RecordingConnector(AioSqliteConnector):
    recorder = None

    def getCon(self):
        self.recorder.log.append("getCon")
        return self.recorder


@pytest.fixture
async def recording(db_path):
    connector = RecordingConnector(asyncio.get_running_loop(), path=db_path, showLog=False)
    DB.create(connector)
    try:
        yield connector
    finally:
        DB.drop()
        res = connector.close()
        if inspect.isawaitable(res):
            await res


class Service:
    def __init__(self, log):
        self.log = log

    @use_database
    async def work(self, a, b=0, *, c=None):
        """工作"""
        self.log.append(("fun", self.con.name, a, b, c))
        return a + b

    @use_database
    async def fails(self, exc):
        self.log.append("fun")
        raise exc

    @use_database
    async def cancelled(self):
        self.log.append("fun")
        raise asyncio.CancelledError()

    @use_database
    async def swaps(self, other):
        self.log.append("fun")
        self.con = other
        return "swapped"


def test_module_names():
    assert Decorators.DB is DB
    assert Decorators.functools is functools
    assert callable(Decorators.use_database) and callable(Decorators.pydantic_support)


async def test_the_module_db_is_looked_up_at_call_time(monkeypatch, db_path):
    log = []
    recorder = Recorder(log)

    class Handle:
        connector = types.SimpleNamespace(getCon=lambda: recorder)

        @classmethod
        def getInstance(cls):
            log.append("getInstance")
            return cls

    monkeypatch.setattr(Decorators, "DB", Handle)
    assert await Service(log).work(1) == 1
    assert log[:3] == ["getInstance", "enter", ("fun", "con", 1, 0, None)]


def test_wraps_metadata_and_is_lazy():
    calls = []

    async def method(self, x):
        """文档"""
        calls.append(x)

    method.extra = 1
    warp = use_database(method)
    assert calls == []  # decorating calls nothing and touches no database
    assert warp.__name__ == "method"
    assert warp.__qualname__ == method.__qualname__
    assert warp.__doc__ == "文档"
    assert warp.__module__ == method.__module__
    assert warp.__wrapped__ is method
    assert warp.extra == 1
    assert inspect.iscoroutinefunction(warp)
    assert Service.work.__name__ == "work" and Service.work.__doc__ == "工作"


async def test_success_order(recording):
    log = []
    recording.recorder = Recorder(log)
    s = Service(log)
    assert await s.work(1, b=2, c=3) == 3
    assert log == ["getCon", "enter", ("fun", "con", 1, 2, 3), "commit", ("exit", None, None)]
    assert s.con is recording.recorder.con  # kept after the call


async def test_self_as_keyword(recording):
    log = []
    recording.recorder = Recorder(log)
    s = Service(log)
    assert await Service.work(self=s, a=4) == 4
    assert log[-2:] == ["commit", ("exit", None, None)]


async def test_arity():
    with pytest.raises(TypeError) as info:
        await Service.work()
    assert str(info.value) == "warp() takes at least 1 positional argument (0 given)"


async def test_failure_rolls_back_and_reraises_same_object(recording):
    log = []
    recording.recorder = Recorder(log)
    err = ValueError("bad")
    with pytest.raises(ValueError) as info:
        await Service(log).fails(err)
    assert info.value is err
    assert log == ["getCon", "enter", "fun", "rollback", ("exit", ValueError, err)]


async def test_commit_failure_rolls_back(recording):
    log = []
    err = RuntimeError("commit failed")
    recording.recorder = Recorder(log, commit_exc=err)
    with pytest.raises(RuntimeError) as info:
        await Service(log).work(1)
    assert info.value is err
    assert log[2:] == [("fun", "con", 1, 0, None), "commit", "rollback", ("exit", RuntimeError, err)]


async def test_rollback_failure_replaces_the_error(recording):
    log = []
    rb = OSError("rollback failed")
    recording.recorder = Recorder(log, rollback_exc=rb)
    with pytest.raises(OSError) as info:
        await Service(log).fails(ValueError("first"))
    assert info.value is rb
    assert isinstance(info.value.__context__, ValueError)
    assert log[-1] == ("exit", OSError, rb)


async def test_cancellation_is_not_rolled_back(recording):
    log = []
    recording.recorder = Recorder(log)
    with pytest.raises(asyncio.CancelledError):
        await Service(log).cancelled()
    assert "rollback" not in log and "commit" not in log
    assert log[-1][0:2] == ("exit", asyncio.CancelledError)


async def test_swallowing_context_manager(recording):
    log = []
    recording.recorder = Recorder(log, swallow=True)
    assert await Service(log).fails(KeyError("k")) is None
    assert log[-2] == "rollback"
    assert log[-1][0:2] == ("exit", KeyError)


async def test_not_awaitable_result_counts_as_failure(recording):
    log = []
    recording.recorder = Recorder(log)

    class S:
        pass

    warp = use_database(lambda self: 5)
    with pytest.raises(TypeError):
        await warp(S())
    assert log[-2:] == ["rollback", ("exit", TypeError, log[-1][2])]


async def test_commit_reads_con_again(recording):
    log = []
    recording.recorder = Recorder(log)
    other = Recorder(log)
    other.con.commit = lambda: _mark(log, "other-commit")
    assert await Service(log).swaps(other.con) == "swapped"
    assert "other-commit" in log and "commit" not in log


async def _mark(log, what):
    log.append(what)


async def test_object_without_con_attribute(recording):
    log = []
    recording.recorder = Recorder(log)

    class Slotted:
        __slots__ = ()

    warp = use_database(Service.work.__wrapped__)
    with pytest.raises(AttributeError):
        await warp(Slotted(), 1)
    assert log[0:2] == ["getCon", "enter"]
    assert log[-1][0:2] == ("exit", AttributeError)
    assert "commit" not in log and "rollback" not in log


async def test_without_database_handle():
    calls = []

    @use_database
    async def f(self):
        calls.append(1)

    with pytest.raises(DBInstanceCreateError):
        await f(types.SimpleNamespace())
    assert calls == []


# The real asynchronous connectors: the decorated method's statements, run on
# self.con, are committed, or rolled back when it raises.
class UserService:
    @use_database
    async def add(self, name, fail=False):
        from tests.models import User

        row = await User.getExecutor(self.con).save(User(name=name))
        if fail:
            raise ValueError(name)
        return row


async def test_real_connection_commits_and_rolls_back(async_db):
    from tests.models import User

    evil = "x\"; DROP TABLE t_user;--"
    saved = await UserService().add(evil)
    assert saved.name == evil and saved.id
    with pytest.raises(ValueError):
        await UserService().add("gone", fail=True)
    rows = await DB.getInstance().executeSql("SELECT name FROM t_user ORDER BY id")
    assert [tuple(r) for r in rows] == [(evil,)]
    assert [r.name for r in await User.getExecutor().findAllBy(User.id > 0)] == [evil]


class TestPydanticSupport:
    def test_validates_from_attributes(self):
        from pydantic import create_model

        M = create_model("M", a=(int, ...), b=(str, "x"))
        pydantic_support(M)
        assert M.model_config.get("from_attributes") is True
        m = M.model_validate(types.SimpleNamespace(a=1, b="y"))
        assert (m.a, m.b) == (1, "y")
        assert M.model_validate({"a": 2}).b == "x"

    def test_does_not_touch_other_models(self):
        from pydantic import BaseModel, create_model

        M = create_model("M2", a=(int, ...))
        pydantic_support(M)
        assert not BaseModel.model_config.get("from_attributes")
        N = create_model("N", a=(int, ...))
        with pytest.raises(Exception):
            N.model_validate(types.SimpleNamespace(a=1))
