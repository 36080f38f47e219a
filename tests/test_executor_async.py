"""The asynchronous executor over aiosqlite and MySQL: awaitable operations,
argument errors raised when the awaitable is created, saving and updating
with relations, related-object loading and batch insertion."""

import pytest

from Tavrik.Model.Korvid import InstanceList
from tests.models import Post, Profile, Role, User, UserRole


async def rows_of(sql, args=()):
    from Tavrik.DB.DB import DB

    return [tuple(r) for r in await DB.getInstance().executeSql(sql, args=args)]


async def test_executor_kind_and_unawaited_query(async_db):
    from Tavrik.Model.Vantrel import AsyncModelExecutor

    ex = User.getExecutor()
    assert type(ex) is AsyncModelExecutor
    await ex.save(User(name="ann"))
    ex = User.getExecutor()
    pending = ex.findAllBy(User.name == "ann")
    # the statement is built at once but nothing ran
    text, params = ex.sql.statementPair()
    assert text.startswith("SELECT") and "ann" in params
    assert ex.reset() is None and ex.sql.statementPair() == (text, params)
    pending.close()
    rows = await ex.findAllBy(User.name == "ann")
    assert isinstance(rows, InstanceList) and [r.name for r in rows] == ["ann"]
    assert ex.reset() is ex


async def test_find_one_by(async_db):
    from Tavrik.Error.QueryError import QueryResoutIsNotOne

    ex = User.getExecutor()
    assert await ex.findOneBy(User.name == "nobody") is None
    await ex.save(User(name="twin", age=1))
    await ex.save(User(name="twin", age=2))
    one = await ex.findOneBy(User.age == 2)
    assert one.name == "twin"
    with pytest.raises(QueryResoutIsNotOne):
        await ex.findOneBy(User.name == "twin")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda ex: ex.findOneBy("x"), TypeError, "Argument 'Filter' has incorrect type"),
        (lambda ex: ex.findAllBy(1), TypeError, "Argument 'Filter' has incorrect type"),
        (lambda ex: ex.save(Post(title="wrong")), TypeError, "Argument 'instance' has incorrect type"),
        (lambda ex: ex.update({"id": 1}), TypeError, "Argument 'instance' has incorrect type"),
        (lambda ex: ex.findForeignKey("x"), TypeError, "Argument 'instance' has incorrect type"),
        (lambda ex: ex.findForeignKey(User(id=1), path=[]), TypeError, "Argument 'path' has incorrect type"),
        (lambda ex: ex.findListForeignKey([]), TypeError, "Argument 'instances' has incorrect type"),
        (lambda ex: ex.saveAll([User(name="a"), Role(name="b")]), TypeError, "Argument 'instances'"),
        (lambda ex: ex.findAnyMatch(User(), "1"), TypeError, "an integer is required"),
    ],
)
async def test_argument_errors_when_called(async_db, call, error, message):
    ex = User.getExecutor()
    with pytest.raises(error, match=message):
        call(ex)
    assert await rows_of("SELECT COUNT(*) FROM t_user") == [(0,)]


async def test_update_without_key_raises_when_called(async_db):
    from Tavrik.Error.Strovy import UpdateWithOutPrimaryKeyError

    with pytest.raises(UpdateWithOutPrimaryKeyError):
        User.getExecutor().update(User(name="nokey"))




async def test_save_all(async_db):
    ex = User.getExecutor()
    assert await ex.saveAll([User(name="u%d" % i, age=i) for i in range(20)]) == 20
    assert await rows_of("SELECT COUNT(*) FROM t_user") == [(20,)]
    assert await UserRole.getExecutor().saveAll([{"t_user_id": 1, "t_role_id": 2}]) == 1
    assert await rows_of("SELECT t_user_id, t_role_id FROM t_user_role") == [(1, 2)]
    assert await ex.saveAll([]) == 0


async def test_unawaited_batch_is_built_copied_and_dropped_after_running(async_db):
    import copy
    import pickle

    ex = User.getExecutor()
    coro = ex.saveAll([User(name="a", age=0, active=False), User(name="b", age=2)])
    text, params = ex.sql.statementPair()
    assert text.startswith("INSERT INTO `t_user`") and params == [("a", 0, 0), ("b", 2, 1)]
    # a copy or pickle of the executor carries the statement as it stands
    assert copy.deepcopy(ex).sql.statementPair() == (text, params)
    assert pickle.loads(pickle.dumps(ex.sql)).statementPair() == (text, params)
    assert await coro == 2
    assert ex.sql.kind == -1  # the batch's statement is not kept after it ran
    assert await rows_of("SELECT name, age, active FROM t_user ORDER BY id") == [("a", 0, 0), ("b", 2, 1)]


async def test_unawaited_batch_does_not_spoil_the_next_save(async_db):
    ex = User.getExecutor()
    coro = ex.saveAll([User(name="never")])
    coro.close()  # built, never run
    saved = await ex.save(User(name="single"))
    # keys are not assumed to be 1, 2, ...: a cluster node hands out its own
    assert saved is not None and saved.id
    assert await rows_of("SELECT id, name FROM t_user") == [(saved.id, "single")]


async def test_related_loading_runs_on_the_callers_connection(async_db, db_path):
    """Rows written but not committed on the caller's connection are visible
    only there: loading their relations must read on that connection too."""
    from Tavrik.DB.Connector import AioSqliteConnector

    if isinstance(async_db, AioSqliteConnector):
        import aiosqlite

        con = await aiosqlite.connect(db_path)
        close = con.close
    else:
        con = await async_db.getSelectCon()

        async def close():
            await async_db.releaseCon(con)

    try:
        role = await Role.getExecutor(con).save(Role(name="r"))
        u = await User.getExecutor(con).save(
            User(name="w", posts=[Post(title="p1"), Post(title="p2")], profile=Profile(bio="b"), roles=[role]))
        loaded = await User.getExecutor(con).findForeignKey(User(id=u.id, name="w", check=False), deep=True)
        assert sorted(p.title for p in loaded.posts) == ["p1", "p2"]
        assert loaded.profile.bio == "b" and [r.name for r in loaded.roles] == ["r"]
        await con.rollback()
    finally:
        await close()
    assert await rows_of("SELECT COUNT(*) FROM t_user") == [(0,)]
