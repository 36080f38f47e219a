"""Related-object loading (findForeignKey, findListForeignKey) on the three
roads: the synchronous executor on SQLite, the asynchronous one on aiosqlite
and on MySQL.  Direct and deep loading, the shared cache with its log line,
cycles, self references, the level bound, argument errors, and the few
points where the roads load differently on purpose, each asserted for each
road."""
import logging

import pytest

from Tavrik.Model.Korvid import InstanceList, Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, ForeignKey, IntProperty, StrProperty
from Tavrik.Model.Vantrel import AsyncModelExecutor, BaseModelExecutor, ModelExecutor
from tests.models import Role, User
from tests.roads import depth_of, road  # noqa: F401  (fixture)


def attach(model, name, fk):
    """Adds a relation to a declared model.  A class body cannot name its own
    class (or a later one) as target, so cycles are closed afterwards."""
    fk.__set_name__(model, name)
    model.fk.append(fk)
    model.mapping[name] = fk
    setattr(model, name, fk)


class ExNode(Korvid):
    tableName = "ex_node"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    parent_id = IntProperty(nullable=True)
    label = StrProperty(20)


attach(ExNode, "parent", ForeignKey.oneToOne(ExNode, bindCol="parent_id"))
attach(ExNode, "children", ForeignKey.oneToMany(ExNode, targetBindCol="parent_id"))


class ExPerson(Korvid):
    tableName = "ex_person"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(20)


class ExTicket(Korvid):
    tableName = "ex_ticket"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    opener_id = IntProperty()
    owner_id = IntProperty(nullable=True)
    title = StrProperty(40)
    opener = ForeignKey.oneToOne(ExPerson, bindCol="opener_id")
    owner = ForeignKey.oneToOne(ExPerson, bindCol="owner_id")


attach(ExPerson, "tickets", ForeignKey.oneToMany(ExTicket, targetBindCol="opener_id"))


class RlBadge(Korvid):
    """Records how its executors are asked for, and can hand out one of the
    wrong kind, as an application's model may."""

    tableName = "rl_badge"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    owner_id = IntProperty(nullable=True)
    label = StrProperty(20)
    calls = []
    wrong = False

    @classmethod
    def getExecutor(cls, *args):
        cls.calls.append(args)
        if cls.wrong:
            return BaseModelExecutor(cls)
        return super(RlBadge, cls).getExecutor(*args)


class RlOwner(Korvid):
    tableName = "rl_owner"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(20)
    badges = ForeignKey.oneToMany(RlBadge, targetBindCol=RlBadge.owner_id)


TABLES = [
    ("t_user", "name VARCHAR(64) NOT NULL, age INTEGER, active BOOLEAN NOT NULL DEFAULT 1"),
    ("t_profile", "user_id INTEGER NOT NULL, bio TEXT"),
    ("t_post", "user_id INTEGER NOT NULL, title VARCHAR(200) NOT NULL"),
    ("t_role", "name VARCHAR(50) NOT NULL"),
    ("t_user_role", "t_user_id INTEGER NOT NULL, t_role_id INTEGER NOT NULL"),
    ("ex_node", "parent_id INTEGER, label VARCHAR(20) NOT NULL"),
    ("ex_person", "name VARCHAR(20) NOT NULL"),
    ("ex_ticket", "opener_id INTEGER NOT NULL, owner_id INTEGER, title VARCHAR(40) NOT NULL"),
    ("rl_owner", "name VARCHAR(20) NOT NULL"),
    ("rl_badge", "owner_id INTEGER, label VARCHAR(20) NOT NULL"),
]


async def open_with(road, *inserts):  # noqa: F811
    """Makes every table of this suite, runs the INSERT statements given
    and installs the road's connector."""
    lite, my = [], []
    for name, cols in TABLES:
        lite.append("DROP TABLE IF EXISTS %s; CREATE TABLE %s (id INTEGER PRIMARY KEY AUTOINCREMENT, %s);"
                    % (name, name, cols))
        my.append("CREATE TABLE %s (id INT PRIMARY KEY AUTO_INCREMENT, %s) ENGINE=InnoDB" % (name, cols))
    lite += [s + ";" for s in inserts]
    my += list(inserts)
    road.ddl("".join(lite), my)
    await road.open()
    return road


async def ok(road, fn):  # noqa: F811
    res, err = await road.call(fn)
    assert err is None, repr(err)
    return res


async def one(road, model, cond):  # noqa: F811
    rows = await ok(road, lambda: model.getExecutor().findAllBy(cond))
    assert len(rows) == 1
    return rows[0]


SHOP = [
    "INSERT INTO t_role (id, name) VALUES (1, 'admin'), (2, 'dev')",
    "INSERT INTO t_user (id, name) VALUES (1, 'ann'), (2, 'bob')",
    "INSERT INTO t_profile (id, user_id, bio) VALUES (1, 1, 'a')",
    "INSERT INTO t_post (id, user_id, title) VALUES (1, 1, 'a1'), (2, 1, 'a2')",
    "INSERT INTO t_user_role (id, t_user_id, t_role_id) VALUES (1, 1, 1), (2, 1, 2), (3, 2, 2)",
]

# n1 is the parent of n2, n2 of n3, ... n5
CHAIN = ["INSERT INTO ex_node (id, parent_id, label) VALUES (1, NULL, 'n1'), (2, 1, 'n2'), (3, 2, 'n3'),"
         " (4, 3, 'n4'), (5, 4, 'n5')"]


@pytest.fixture
async def shop(road):  # noqa: F811
    """Users ann (profile, two posts, roles admin and dev) and bob (role dev)."""
    return await open_with(road, *SHOP)


@pytest.fixture
async def chain(road):  # noqa: F811
    return await open_with(road, *CHAIN)


async def test_direct_loading(shop):
    ex = User.getExecutor()
    ann = await one(shop, User, User.id == 1)
    path = {}
    assert await ok(shop, lambda: ex.findForeignKey(ann, path=path)) is ann
    assert ann.profile.bio == "a" and ann.profile.user_id == 1
    assert isinstance(ann.posts, InstanceList) and sorted(p.title for p in ann.posts) == ["a1", "a2"]
    assert sorted(r.name for r in ann.roles) == ["admin", "dev"]
    # not deep: related rows are not filled, and the root is not registered
    assert all("roles" not in r and "t_user" not in r for r in ann.roles)
    assert "t_user" not in path
    # a relation without rows leaves the entry as it was
    bob = await one(shop, User, User.id == 2)
    bob["profile"] = "untouched"
    assert await ok(shop, lambda: ex.findForeignKey(bob)) is bob
    assert bob["profile"] == "untouched" and "posts" not in bob and [r.name for r in bob.roles] == ["dev"]


async def test_one_to_one_takes_first_of_several(road):  # noqa: F811
    await open_with(road, *SHOP, "INSERT INTO t_profile (id, user_id, bio) VALUES (2, 1, 'second')")
    ann = await one(road, User, User.id == 1)
    assert await ok(road, lambda: User.getExecutor().findForeignKey(ann)) is ann
    assert ann.profile.bio == "a"


async def test_many_to_many_cache_logs(shop, caplog):
    ex = User.getExecutor()
    rows = InstanceList([await one(shop, User, User.id == 1), await one(shop, User, User.id == 1)])
    caplog.set_level(logging.INFO)
    path = {}
    assert await ok(shop, lambda: ex.findListForeignKey(rows, path=path)) is None
    hits = [r for r in caplog.records if r.getMessage() == "当前外键roles已经查询过"]
    assert len(hits) == 1 and hits[0].levelno == logging.INFO
    assert rows[1].roles is rows[0].roles and sorted(r.name for r in rows[1].roles) == ["admin", "dev"]
    # the loaded far rows are registered by the nested deep calls
    assert "t_role" in path and "t_user" in path


async def test_many_to_many_cache_does_not_mix_with_registered_rows(shop):
    ex = User.getExecutor()
    users = await ok(shop, lambda: ex.findAllBy())
    await ok(shop, lambda: ex.findListForeignKey(users))
    by_name = {u.name: u for u in users}
    # each user gets its own list, never a registered Role row of a like key
    assert sorted(r.name for r in by_name["ann"].roles) == ["admin", "dev"]
    assert isinstance(by_name["bob"].roles, list) and [r.name for r in by_name["bob"].roles] == ["dev"]


async def test_deep_cache_and_cycle(road):  # noqa: F811
    await open_with(
        road,
        "INSERT INTO ex_person (id, name) VALUES (1, 'ann'), (2, 'bob')",
        "INSERT INTO ex_ticket (id, opener_id, owner_id, title) VALUES (1, 1, 1, 'self'), (2, 1, 2, 'handed')",
    )
    root = await one(road, ExPerson, ExPerson.id == 1)
    path = {}
    assert await ok(road, lambda: ExPerson.getExecutor().findForeignKey(root, deep=True, path=path)) is root
    own, handed = sorted(root.tickets, key=lambda t: t.title == "handed")
    # person -> tickets -> opener leads back to the registered root: cached
    assert own.opener is root and handed.opener is root
    assert own.owner is root
    assert handed.owner.name == "bob" and handed.owner is not root
    # bob was loaded through a ticket: his relation back to tickets is skipped
    assert "tickets" not in handed.owner


async def test_self_reference_is_never_cached_and_levels_bound_depth(chain):
    ex = ExNode.getExecutor()

    async def load(**kw):
        n1 = await one(chain, ExNode, ExNode.id == 1)
        return n1, await ok(chain, lambda: ex.findForeignKey(n1, **kw))

    n1, res = await load(deep=True)
    # levels 1..3 are filled; the rows met at level 4 are left as loaded
    assert res is n1 and depth_of(n1) == 3
    n2 = n1.children[0]
    assert [n2.label, n2.children[0].label, n2.children[0].children[0].label] == ["n2", "n3", "n4"]
    # a relation of a model to itself is queried, not taken from the cache
    assert n2.parent.id == n1.id and n2.parent is not n1
    # the parent loaded through a one-to-one relation does not go back down
    assert "children" not in n2.parent
    n1, _ = await load(deep=True, level=1)
    assert depth_of(n1) == 1
    # a search started at level 2 of 3 counts as level 3: this call loads,
    # the rows it loaded are not continued
    n1, res = await load(deep=True, clevel=2, level=3)
    assert res is n1 and depth_of(n1) == 1
    # beyond the bound nothing is loaded at all
    n1, res = await load(deep=True, clevel=4, level=3)
    assert res is None and "children" not in n1
    # not deep: one level, whatever the bound
    n1, _ = await load(level=0)
    assert depth_of(n1) == 1


async def test_cycle_of_rows_ends(road):  # noqa: F811
    await open_with(road, CHAIN[0].replace("(1, NULL, 'n1')", "(1, 5, 'n1')"))  # n5 -> n1 closes the cycle
    n1 = await one(road, ExNode, ExNode.id == 1)
    await ok(road, lambda: ExNode.getExecutor().findForeignKey(n1, deep=True, level=12))
    assert depth_of(n1) == 12
    labels = []
    node = n1
    while "children" in node:
        node = node.children[0]
        labels.append(node.label)
    assert labels[:6] == ["n2", "n3", "n4", "n5", "n1", "n2"]


async def test_unset_binding_value_is_not_queried(road):  # noqa: F811
    # a person whose key matched NULL would be taken if `= NULL` ran
    await open_with(
        road,
        "INSERT INTO ex_person (id, name) VALUES (1, 'ann'), (2, 'ghost')",
        "INSERT INTO ex_ticket (id, opener_id, owner_id, title) VALUES (1, 1, NULL, 'no owner')",
        "INSERT INTO t_profile (id, user_id, bio) VALUES (1, 0, 'orphan')",
    )
    t = await one(road, ExTicket, ExTicket.title == "no owner")
    assert t.owner_id is None
    assert await ok(road, lambda: ExTicket.getExecutor().findForeignKey(t)) is t
    assert t.opener.name == "ann" and "owner" not in t
    unsaved = User(name="nobody")
    assert unsaved.id is None
    assert await ok(road, lambda: User.getExecutor().findForeignKey(unsaved, deep=True)) is unsaved
    assert "profile" not in unsaved and "posts" not in unsaved and "roles" not in unsaved


async def test_cache_only_answers_relations_bound_to_the_primary_key(road):  # noqa: F811
    # bob's profile has id 1 and ann's id 2, so ann's profile id equals bob's user id
    await open_with(
        road,
        "INSERT INTO t_user (id, name) VALUES (1, 'bob'), (2, 'ann')",
        "INSERT INTO t_profile (id, user_id, bio) VALUES (1, 1, 'bob''s'), (2, 2, 'ann''s')",
    )
    ex = User.getExecutor()
    users = await ok(road, lambda: ex.findAllBy())
    assert await ok(road, lambda: ex.findListForeignKey(users)) is None
    assert {u.name: u.profile.bio for u in users} == {"ann": "ann's", "bob": "bob's"}


async def test_find_list_foreign_key_of_none(shop):
    assert await ok(shop, lambda: User.getExecutor().findListForeignKey(None)) is None


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(instance={"id": 1}), TypeError, "Argument 'instance' has incorrect type"),
        (dict(instance="row"), TypeError, "Argument 'instance' has incorrect type"),
        (dict(instance=ExPerson(name="other model")), TypeError, "Argument 'instance' has incorrect type"),
        (dict(path=[]), TypeError, "Argument 'path' has incorrect type"),
        (dict(before=1), TypeError, "Argument 'before' has incorrect type"),
        (dict(clevel="1"), TypeError, "an integer is required"),
        (dict(level=2**40), OverflowError, "too large"),
    ],
)
async def test_loader_argument_errors(shop, kwargs, error, message):
    ex = User.getExecutor()
    ann = await one(shop, User, User.id == 1)
    call = dict(instance=ann)
    call.update(kwargs)
    # raised by the call itself, before anything runs (no awaitable is made)
    with pytest.raises(error, match=message):
        ex.findForeignKey(**call)
    with pytest.raises(TypeError, match="Argument 'instances' has incorrect type"):
        ex.findListForeignKey([ann])
    assert "profile" not in ann


async def test_list_of_another_models_rows_is_refused(shop):
    """Every row of a list is checked as findForeignKey checks its row."""
    ex = User.getExecutor()
    ann = await one(shop, User, User.id == 1)
    rows = InstanceList([ann, ExPerson(id=1, name="other model")])
    res, err = await shop.call(lambda: ex.findListForeignKey(rows))
    assert isinstance(err, TypeError) and "Argument 'instance' has incorrect type" in str(err)
    # the rows before it were loaded
    assert ann.profile.bio == "a"


# ---------------------------------------------------------------- the roads
#
# Where the roads load differently, on purpose: each road's behaviour.

async def test_related_executors_are_asked_for_with_the_callers_work(road):  # noqa: F811
    """The asynchronous road reads related rows on the caller's connection
    (getExecutor(work)); the synchronous one lets the handle choose
    (getExecutor())."""
    await open_with(
        road,
        "INSERT INTO rl_owner (id, name) VALUES (1, 'o')",
        "INSERT INTO rl_badge (id, owner_id, label) VALUES (1, 1, 'b1'), (2, 1, 'b2')",
    )
    owner = await one(road, RlOwner, RlOwner.id == 1)
    del RlBadge.calls[:]
    await ok(road, lambda: RlOwner.getExecutor().findForeignKey(owner, deep=True))
    assert sorted(b.label for b in owner.badges) == ["b1", "b2"]
    # the related executor, then the loaded rows' executor
    assert RlBadge.calls == ([()] * 2 if road.sync else [(None,)] * 2)


async def test_related_executor_of_another_kind_is_refused(road):  # noqa: F811
    await open_with(
        road,
        "INSERT INTO rl_owner (id, name) VALUES (1, 'o')",
        "INSERT INTO rl_badge (id, owner_id, label) VALUES (1, 1, 'b1')",
    )
    owner = await one(road, RlOwner, RlOwner.id == 1)
    RlBadge.wrong = True
    try:
        res, err = await road.call(lambda: RlOwner.getExecutor().findForeignKey(owner))
    finally:
        RlBadge.wrong = False
    kind = ModelExecutor if road.sync else AsyncModelExecutor
    assert isinstance(err, TypeError)
    assert str(err) == "Cannot convert Tavrik.Model.Vantrel.BaseModelExecutor to Tavrik.Model.Vantrel.%s" % kind.__name__
    assert "badges" not in owner


async def test_absent_binding_value(shop):
    """A row without its binding column: the synchronous road raises
    KeyError, the asynchronous one skips the relation as an unset one."""
    row = User(name="w", check=False)
    assert "id" not in row
    res, err = await shop.call(lambda: User.getExecutor().findForeignKey(row))
    if shop.sync:
        assert isinstance(err, KeyError) and err.args == ("id",)
    else:
        assert err is None and res is row
    assert set(row) == {"name"}


async def test_cached_many_to_many_answer_that_is_not_a_list(shop, caplog):
    """A cached answer is stored as it is on the synchronous road and wrapped
    in a list on the asynchronous one; both log the hit."""
    role = await one(shop, Role, Role.id == 2)
    path = {("t_user", "roles"): {1: role}}
    ann = await one(shop, User, User.id == 1)
    caplog.set_level(logging.INFO)
    await ok(shop, lambda: User.getExecutor().findForeignKey(ann, path=path))
    assert [r.getMessage() for r in caplog.records].count("当前外键roles已经查询过") == 1
    if shop.sync:
        assert ann.roles is role
    else:
        assert type(ann.roles) is list and len(ann.roles) == 1 and ann.roles[0] is role
    # a cached list is taken as it is on both
    cached = [role]
    path[("t_user", "roles")][1] = cached
    await ok(shop, lambda: User.getExecutor().findForeignKey(ann, path=path))
    assert ann.roles is cached
    # the other relations were queried
    assert ann.profile.bio == "a"


async def test_list_through_an_overriding_loader(shop):
    """findListForeignKey of an executor that overrides findForeignKey calls
    the override for each row, deep, with the caller's level as given and no
    `before`."""
    seen = []

    def wrap(kind):
        class Recording(kind):
            def findForeignKey(self, instance, deep=False, path=None, clevel=1, level=3, before=None):
                seen.append((type(instance).object.tableName, int(clevel), type(clevel) is not int, before))
                return super().findForeignKey(instance, deep, path, clevel, level, before)

        return Recording

    ann = await one(shop, User, User.id == 1)
    base = User.getExecutor()
    ex = wrap(type(base))(User, None)
    await ok(shop, lambda: ex.findListForeignKey(InstanceList([ann])))
    # the rows below go through the plain executors of their models
    assert seen == [("t_user", 1, False, None)]
    assert sorted(p.title for p in ann.posts) == ["a1", "a2"]


LEAK_SCRIPT = """
import asyncio, os, sys, tempfile
sys.path[:0] = %(path)r
from Tavrik.DB.Connector import AioSqliteConnector, Sqlite3Connector
from Tavrik.DB.DB import DB
from Tavrik.Ext import generate_table
from Tavrik.Model.Korvid import InstanceList
from tests.models import Post, Profile, Role, User

path = os.path.join(tempfile.mkdtemp(), "leak.db")
DB.create(Sqlite3Connector(path, showLog=False))
generate_table()
roles = [Role.getExecutor().save(Role(name="r%%d" %% i)) for i in range(3)]
for i in range(10):
    User.getExecutor().save(User(name="u", posts=[Post(title="p")] * 3, profile=Profile(bio="b"), roles=roles))
sync_con = DB.drop()
sync_con.close()
loop = asyncio.new_event_loop()


def run(road):
    # the whole search, the list one, a search cut by an error, and (async)
    # one never run
    ex = User.getExecutor()
    done = (lambda step: step) if road == "sync" else loop.run_until_complete
    users = done(ex.findAllBy())
    done(ex.findListForeignKey(users))
    done(ex.findForeignKey(users[0], deep=True, level=5))
    try:
        done(ex.findListForeignKey(InstanceList([users[0], Role(id=1, name="r")])))
    except TypeError:
        pass
    if road != "sync":
        ex.findForeignKey(User(id=1, name="u")).close()


def burst():
    con = Sqlite3Connector(path, showLog=False)
    DB.create(con)
    for i in range(5):
        run("sync")
    DB.drop()
    con.close()
    con = AioSqliteConnector(loop, path=path, showLog=False)
    DB.create(con)
    for i in range(5):
        run("async")
    DB.drop()
    loop.run_until_complete(con.close())

"""


def test_loading_does_not_leak():
    """Loading over and over on both roads in a fresh interpreter: object
    count and traced memory stop growing."""
    from tests.leakcheck import assert_bursts_do_not_grow

    assert_bursts_do_not_grow(LEAK_SCRIPT)
