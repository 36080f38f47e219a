"""save, update and the relation savers, one suite over the three roads
(sync SQLite, aiosqlite, MySQL).  The roads agree except where they differ
on purpose: on the asynchronous road update() saves (inserts or updates) a
one-to-one related row, and the items of a many-to-many relation are saved
themselves (by save, and by update instead of being updated)."""
import asyncio

import pytest

from Tavrik.Error.Strovy import UpdateWithOutPrimaryKeyError
from tests.models import Post, Profile, Role, User, UserRole
from tests.asynctools import settle
from tests.roads import road  # noqa: F401  (fixture)


@pytest.fixture
async def on(road):  # noqa: F811
    """A road with the shared models' tables."""
    from Tavrik.Ext import generate_table

    await road.open()
    res, err = await road.call(generate_table)
    assert err is None, repr(err)
    return road


async def ok(on, fn):
    res, err = await on.call(fn)
    assert err is None, repr(err)
    return res


def executor_class(on):
    from Tavrik.Model.Vantrel import AsyncModelExecutor, ModelExecutor

    return ModelExecutor if on.sync else AsyncModelExecutor


USERS = "SELECT id, name, age, active FROM t_user ORDER BY id"
JUNCTION = "SELECT t_user_id, t_role_id FROM t_user_role ORDER BY t_user_id, t_role_id"


# ---------------------------------------------------------------- the same on every road


async def test_save_returns_the_instance_and_falls_back_to_update(on):
    ex = User.getExecutor()
    u = User(name="ann", age=3)
    assert await ok(on, lambda: ex.save(u)) is u and u.id
    again = User(id=u.id, name="ann2", age=4)
    assert await ok(on, lambda: ex.save(again)) is again
    assert on.rows(USERS) == [(u.id, "ann2", 4, 1)]


async def test_junction_rows_save_to_none_and_read_back_as_rows(on):
    ex = UserRole.getExecutor()
    assert await ok(on, lambda: ex.save({"t_user_id": 1, "t_role_id": 2})) is None
    assert await ok(on, lambda: ex.save(UserRole.buildRow(t_user_id=3, t_role_id=4))) is None
    assert on.rows(JUNCTION) == [(1, 2), (3, 4)]
    # calling a junction class gives None, but its rows are rows
    rows = await ok(on, lambda: ex.findAllBy(orderBy=UserRole.t_user_id))
    assert [type(r) for r in rows] == [UserRole.modelInstance] * 2
    assert [(r.t_user_id, r.t_role_id) for r in rows] == [(1, 2), (3, 4)]
    one = await ok(on, lambda: ex.findOneBy(UserRole.t_role_id == 4))
    assert one.t_user_id == 3


async def test_save_with_one_to_one_and_one_to_many(on):
    u = User(name="bob", profile={"bio": "b"}, posts=[{"title": "x"}, {"title": "y"}])
    assert await ok(on, lambda: User.getExecutor().save(u)) is u
    # the related rows carry the owner's binding value and are saved
    assert u.profile.user_id == u.id and u.profile.id
    assert [p.user_id for p in u.posts] == [u.id, u.id] and all(p.id for p in u.posts)
    assert on.rows("SELECT user_id, bio FROM t_profile") == [(u.id, "b")]
    assert on.rows("SELECT user_id, title FROM t_post ORDER BY id") == [(u.id, "x"), (u.id, "y")]


async def test_save_many_to_many_keeps_exactly_the_last_list(on):
    a, b, c = [await ok(on, lambda n=n: Role.getExecutor().save(Role(name=n))) for n in "abc"]
    ex = User.getExecutor()
    u = await ok(on, lambda: ex.save(User(name="bob", roles=[a, b])))
    assert on.rows(JUNCTION) == [(u.id, a.id), (u.id, b.id)]
    # stored: the insert fails, the update rewrites the junction rows
    u.roles = [c]
    await ok(on, lambda: ex.save(u))
    assert on.rows(JUNCTION) == [(u.id, c.id)]
    u.roles = [b, c]
    await ok(on, lambda: ex.save(u))
    assert on.rows(JUNCTION) == [(u.id, b.id), (u.id, c.id)]
    await ok(on, lambda: User.getExecutor()._saveMTM(User.roles, User(id=u.id, roles=[a], check=False)))
    assert on.rows(JUNCTION) == [(u.id, a.id)]
    # save: an empty list is falsy, the relation is not touched
    await ok(on, lambda: ex.save(User(name="carl", roles=[])))
    assert on.rows(JUNCTION) == [(u.id, a.id)]
    # update: the list is what the owner holds now, an empty one included
    u.roles = []
    await ok(on, lambda: User.getExecutor().update(u))
    assert on.rows(JUNCTION) == []


async def test_one_to_many_saver_binds_and_saves_each_item(on):
    ex = User.getExecutor()
    u = await ok(on, lambda: ex.save(User(name="fay")))
    u.posts = [Post(title="x"), Post(title="y")]
    assert await ok(on, lambda: ex._saveOTM(User.posts, u)) is None
    assert on.rows("SELECT user_id, title FROM t_post ORDER BY id") == [(u.id, "x"), (u.id, "y")]


async def test_update(on):
    ex = User.getExecutor()
    u = await ok(on, lambda: ex.save(User(name="gil", age=30, profile={"bio": "old"}, posts=[{"title": "t1"}])))
    for bad in (User(name="nopk"), User(id=0, name="zero", check=False)):
        # raised at the call, before anything is built or awaited
        with pytest.raises(UpdateWithOutPrimaryKeyError):
            ex.update(bad)
    u.name = "gil2"
    u.age = None  # a present falsy value is written
    u.profile.bio = "new"
    u.posts[0].title = "t2"
    assert await ok(on, lambda: ex.update(u)) is u and ex.instance is u
    assert on.rows("SELECT name, age, active FROM t_user") == [("gil2", None, 1)]
    assert on.rows("SELECT bio FROM t_profile") == [("new",)]
    assert on.rows("SELECT title FROM t_post") == [("t2",)]
    # a one-to-many item without a key fails the update before any write
    u.name = "gil3"
    u.posts.append(Post(title="new post"))
    with pytest.raises(UpdateWithOutPrimaryKeyError):
        ex.update(u)
    assert on.rows("SELECT name FROM t_user") == [("gil2",)]
    assert on.rows("SELECT title FROM t_post") == [("t2",)]
    # columns the row does not hold keep their stored values
    await ok(on, lambda: ex.update(User(id=u.id, name="only-name", check=False)))
    assert on.rows("SELECT name, age, active FROM t_user") == [("only-name", None, 1)]


def _spy_class(on, calls):
    """An executor subclass recording the overridable methods a save calls."""
    base = executor_class(on)
    names = ["_saveOTO", "_saveOTM", "_saveMTM", "update", "findAllBy"]

    def make(name):
        if on.sync:
            def method(self, *args, **kw):
                calls.append((name, sorted(kw)))
                return getattr(super(Spy, self), name)(*args, **kw)
        else:
            async def method(self, *args, **kw):
                calls.append((name, sorted(kw)))
                return await getattr(super(Spy, self), name)(*args, **kw)
        return method

    Spy = type("Spy", (base,), {n: make(n) for n in names})
    return Spy


async def test_overrides_are_called(on):
    role = await ok(on, lambda: Role.getExecutor().save(Role(name="r")))
    calls = []
    Spy = _spy_class(on, calls)
    u = User(name="hal", profile={"bio": "h"}, posts=[{"title": "p"}], roles=[role])
    assert await ok(on, lambda: Spy(User).save(u)) is u
    # the savers in the order of the relations; a new row is not probed
    assert calls == [("_saveOTO", []), ("_saveOTM", []), ("_saveMTM", [])]
    del calls[:]
    # a stored key: the probe (with the filter alone) and the update override
    again = User(id=u.id, name="hal2")
    assert await ok(on, lambda: Spy(User).save(again)) is again
    assert calls == [("findAllBy", []), ("update", [])]
    assert on.rows("SELECT name FROM t_user") == [("hal2",)]


def _related_spy(on, calls):
    """An executor for related models recording what a save asks of it."""
    base = executor_class(on)

    class Spy(base):
        def _note(self, *what):
            calls.append((self.table,) + what)

        def reset(self):
            self._note("reset")
            return super().reset()

    def make(name):
        if on.sync:
            def method(self, *args):
                res = getattr(super(Spy, self), name)(*args)
                self._note(name, len(res)) if name == "findAllBy" else self._note(name)
                return res
        else:
            async def method(self, *args):
                res = await getattr(super(Spy, self), name)(*args)
                self._note(name, len(res)) if name == "findAllBy" else self._note(name)
                return res
        return method

    for name in ("findAllBy", "delete", "save", "update"):
        setattr(Spy, name, make(name))
    return Spy


def _named(ex, table):
    ex.table = table
    return ex


async def test_related_executors_are_asked_by_method(on):
    """Related rows go through their executors' methods (overrides included);
    the owner's junction rows are deleted only after a read found some."""
    calls = []
    Spy = _related_spy(on, calls)
    role = await ok(on, lambda: Role.getExecutor().save(Role(name="r")))
    for model in (UserRole, Post):
        model.getExecutor = classmethod(lambda cls, work=None: _named(Spy(cls, work), cls.tableName))
    try:
        ex = User.getExecutor()
        u = await ok(on, lambda: ex.save(User(name="u", posts=[Post(title="p")], roles=[role])))
        assert calls == [("t_post", "reset"), ("t_post", "save"), ("t_user_role", "findAllBy", 0),
                         ("t_user_role", "save")]
        del calls[:]
        # stored: the save becomes an update, which rewrites the junction rows
        u.posts[0].title = "p2"
        await ok(on, lambda: ex.save(u))
        assert calls == [("t_post", "update"), ("t_user_role", "findAllBy", 1), ("t_user_role", "delete"),
                         ("t_user_role", "save")]
    finally:
        for model in (UserRole, Post):
            del model.getExecutor
    assert on.rows("SELECT title FROM t_post") == [("p2",)]
    assert on.rows(JUNCTION) == [(u.id, role.id)]


# ---------------------------------------------------------------- where the roads differ on purpose


async def test_update_of_a_one_to_one_row_without_key(on):
    """Sync: the related row is updated, so it needs a key.  Async: it is
    saved, so a new one is inserted."""
    ex = User.getExecutor()
    u = await ok(on, lambda: ex.save(User(name="cat")))
    u.profile = Profile(bio="fresh")
    u.name = "cat2"
    if on.sync:
        with pytest.raises(UpdateWithOutPrimaryKeyError):
            ex.update(u)
        assert on.rows("SELECT bio FROM t_profile") == []
        assert on.rows("SELECT name FROM t_user") == [("cat",)]
    else:
        assert await ok(on, lambda: ex.update(u)) is u
        assert u.profile.id
        assert on.rows("SELECT bio FROM t_profile") == [("fresh",)]
        assert on.rows("SELECT name FROM t_user") == [("cat2",)]
    # a stored one is updated on both roads
    p = await ok(on, lambda: Profile.getExecutor().save(Profile(bio="kept", user_id=u.id)))
    u.profile = Profile(id=p.id, bio="changed", user_id=u.id)
    await ok(on, lambda: ex.update(u))
    assert on.rows("SELECT bio FROM t_profile WHERE id = %d" % p.id) == [("changed",)]


@pytest.mark.parametrize("method", ["save", "update"])
async def test_many_to_many_items_without_key(on, method):
    """Sync: the items are referred to (save) or updated (update), so they
    need keys, and the whole tree fails before a write.  Async: they are
    saved (inserted) first, then the junction rows refer to their new keys."""
    ex = User.getExecutor()
    u = await ok(on, lambda: ex.save(User(name="dan")))
    u.roles = [Role(name="r1"), Role(name="r2")]
    u.name = "dan2"
    if on.sync:
        with pytest.raises(UpdateWithOutPrimaryKeyError if method == "update" else ValueError):
            getattr(ex, method)(u)
        assert on.rows("SELECT COUNT(*) FROM t_role") == [(0,)]
        assert on.rows(JUNCTION) == []
        assert on.rows("SELECT name FROM t_user") == [("dan",)]
    else:
        assert await ok(on, lambda: getattr(ex, method)(u)) is u
        assert all(r.id for r in u.roles)
        assert on.rows("SELECT name FROM t_role ORDER BY id") == [("r1",), ("r2",)]
        assert on.rows(JUNCTION) == [(u.id, u.roles[0].id), (u.id, u.roles[1].id)]
        assert on.rows("SELECT name FROM t_user") == [("dan2",)]


async def test_save_of_many_to_many_items_that_are_stored(on):
    """A stored item changed in memory: sync save writes only its junction
    row; async saves the item too.  update() writes the item on both roads."""
    ex = User.getExecutor()
    role = await ok(on, lambda: Role.getExecutor().save(Role(name="old")))
    role.name = "renamed"
    u = await ok(on, lambda: ex.save(User(name="eve", roles=[role])))
    assert on.rows(JUNCTION) == [(u.id, role.id)]
    assert on.rows("SELECT name FROM t_role") == [("old",) if on.sync else ("renamed",)]
    u.roles[0].name = "again"
    await ok(on, lambda: ex.update(u))
    assert on.rows("SELECT name FROM t_role") == [("again",)]
    assert on.rows(JUNCTION) == [(u.id, role.id)]


@pytest.mark.parametrize("road", ["aiosqlite", "mysql"], indirect=True)
async def test_concurrent_async_saves_do_not_share_a_plan(on):

    async def program():
        ex = User.getExecutor()
        rows = [User(name="n%d" % i, posts=[{"title": "t%d" % i}]) for i in range(6)]
        await asyncio.gather(*(User.getExecutor().save(r) for r in rows))
        return ex, rows

    ex, rows = await ok(on, program)
    assert sorted(on.rows("SELECT name FROM t_user")) == [("n%d" % i,) for i in range(6)]
    assert sorted(on.rows("SELECT user_id, title FROM t_post")) == sorted((r.id, "t" + r.name[1:]) for r in rows)


@pytest.mark.parametrize("road", ["aiosqlite", "mysql"], indirect=True)
async def test_a_save_cancelled_in_its_fall_back_lets_go_of_the_refused_insert(on):
    # The plan keeps the insert's error while the fall-back runs; that error's
    # traceback holds the driver, which holds the plan: a cancelled save must
    # not leave that cycle behind.
    import gc

    u = await ok(on, lambda: User.getExecutor().save(User(name="ivy")))
    entered = asyncio.Event()

    class Stalling(executor_class(on)):
        async def update(self, instance):
            entered.set()
            await asyncio.Event().wait()

    async def program():
        await Stalling(User).save(User(id=u.id, name="ivy2", profile={"bio": "b"}))

    task = asyncio.get_running_loop().create_task(program())
    await entered.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    del task
    await settle(on.connector)
    gc.collect()
    left = [o for o in gc.get_objects() if isinstance(o, BaseException) and type(o).__name__ == "IntegrityError"]
    assert left == []
    assert on.rows("SELECT name FROM t_user") == [("ivy",)]
