"""Related-object loading on the synchronous executor: direct and deep loading,
the shared cache with its log line, cycles, self references and the level
bound."""
import logging
import sqlite3

import pytest

from Tavrik.Model.Korvid import InstanceList, Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, ForeignKey, IntProperty, StrProperty
from tests.models import Profile, Role, User


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


def raw_count(db_path, table):
    con = sqlite3.connect(db_path)
    try:
        return con.execute("SELECT COUNT(*) FROM `%s`" % table).fetchone()[0]
    finally:
        con.close()


@pytest.fixture
def shop(sqlite_db):
    """Two users with profile, posts and roles; returns the saved users."""
    rex = Role.getExecutor()
    admin, dev = rex.save(Role(name="admin")), rex.save(Role(name="dev"))
    ex = User.getExecutor()
    ann = ex.save(User(name="ann", profile={"bio": "a"}, posts=[{"title": "a1"}, {"title": "a2"}], roles=[admin, dev]))
    bob = ex.save(User(name="bob", roles=[dev]))
    return ann.id, bob.id


@pytest.fixture
def chain(sqlite_db):
    """n1 is the parent of n2, n2 of n3, ... n5; returns the executor and ids."""
    ex = ExNode.getExecutor()
    ids = [ex.save(ExNode(label="n%d" % i)).id for i in range(1, 6)]
    for parent, child in zip(ids, ids[1:]):
        node = ex.findOneBy(ExNode.id == child)
        node.parent_id = parent
        ex.update(node)
    return ex, ids


def depth_of(node):
    """How many levels of children were loaded below `node`."""
    depth = 0
    while "children" in node:
        node = node["children"][0]
        depth += 1
    return depth


def test_direct_loading(shop):
    ann_id, bob_id = shop
    ex = User.getExecutor()
    ann = ex.findOneBy(User.id == ann_id)
    path = {}
    assert ex.findForeignKey(ann, path=path) is ann
    assert ann.profile.bio == "a" and ann.profile.user_id == ann_id
    assert isinstance(ann.posts, InstanceList) and [p.title for p in ann.posts] == ["a1", "a2"]
    assert sorted(r.name for r in ann.roles) == ["admin", "dev"]
    # not deep: related rows are not filled, and the root is not registered
    assert all("roles" not in r and "t_user" not in r for r in ann.roles)
    assert "t_user" not in path
    # a relation without rows leaves the entry as it was
    bob = ex.findOneBy(User.id == bob_id)
    bob["profile"] = "untouched"
    ex.findForeignKey(bob)
    assert bob["profile"] == "untouched" and "posts" not in bob and [r.name for r in bob.roles] == ["dev"]


def test_one_to_one_takes_first_of_several(shop):
    ann_id, _ = shop
    Profile.getExecutor().save(Profile(user_id=ann_id, bio="second"))
    ex = User.getExecutor()
    ann = ex.findForeignKey(ex.findOneBy(User.id == ann_id))
    assert ann.profile.bio == "a"


def test_many_to_many_cache_logs(shop, caplog):
    ann_id, _ = shop
    ex = User.getExecutor()
    rows = InstanceList([ex.findOneBy(User.id == ann_id), ex.findOneBy(User.id == ann_id)])
    caplog.set_level(logging.INFO)
    path = {}
    assert ex.findListForeignKey(rows, path=path) is None
    hits = [r for r in caplog.records if r.getMessage() == "当前外键roles已经查询过"]
    assert len(hits) == 1 and hits[0].levelno == logging.INFO
    assert rows[1].roles is rows[0].roles
    # the loaded far rows are registered by the nested deep calls
    assert "t_role" in path and "t_user" in path


def test_many_to_many_cache_does_not_mix_with_registered_rows(shop):
    ann_id, bob_id = shop
    ex = User.getExecutor()
    users = ex.findAllBy()
    ex.findListForeignKey(users)
    by_name = {u.name: u for u in users}
    # each user gets its own list, never a registered Role row of a like key
    assert sorted(r.name for r in by_name["ann"].roles) == ["admin", "dev"]
    assert isinstance(by_name["bob"].roles, list) and [r.name for r in by_name["bob"].roles] == ["dev"]


def test_deep_cache_and_cycle(sqlite_db, db_path):
    pex = ExPerson.getExecutor()
    ann, bob = pex.save(ExPerson(name="ann")), pex.save(ExPerson(name="bob"))
    tex = ExTicket.getExecutor()
    tex.save(ExTicket(opener_id=ann.id, owner_id=ann.id, title="self"))
    tex.save(ExTicket(opener_id=ann.id, owner_id=bob.id, title="handed"))
    root = pex.findOneBy(ExPerson.id == ann.id)
    path = {}
    pex.findForeignKey(root, deep=True, path=path)
    own, handed = sorted(root.tickets, key=lambda t: t.title == "handed")
    # person -> tickets -> opener leads back to the registered root: cached
    assert own.opener is root and handed.opener is root
    assert own.owner is root
    assert handed.owner.name == "bob" and handed.owner is not root
    # bob was loaded through a ticket: his relation back to tickets is skipped
    assert "tickets" not in handed.owner


def test_self_reference_is_never_cached_and_levels_bound_depth(chain):
    ex, ids = chain
    n1 = ex.findOneBy(ExNode.id == ids[0])
    ex.findForeignKey(n1, deep=True)
    # levels 1..3 are filled; the rows met at level 4 are left as loaded
    assert depth_of(n1) == 3
    n2 = n1.children[0]
    assert [n2.label, n2.children[0].label, n2.children[0].children[0].label] == ["n2", "n3", "n4"]
    # a relation of a model to itself is queried, not taken from the cache
    assert n2.parent.id == n1.id and n2.parent is not n1
    # the parent loaded through a one-to-one relation does not go back down
    assert "children" not in n2.parent
    n1 = ex.findOneBy(ExNode.id == ids[0])
    ex.findForeignKey(n1, deep=True, level=1)
    assert depth_of(n1) == 1
    # a search started at level 2 of 3 counts as level 3: this call loads,
    # the rows it loaded are not continued
    n1 = ex.findOneBy(ExNode.id == ids[0])
    assert ex.findForeignKey(n1, deep=True, clevel=2, level=3) is n1
    assert depth_of(n1) == 1
    # beyond the bound nothing is loaded at all
    n1 = ex.findOneBy(ExNode.id == ids[0])
    assert ex.findForeignKey(n1, deep=True, clevel=4, level=3) is None and "parent" not in n1
    # not deep: one level, whatever the bound
    n1 = ex.findOneBy(ExNode.id == ids[0])
    ex.findForeignKey(n1, level=0)
    assert depth_of(n1) == 1


def test_cycle_of_rows_ends(chain):
    ex, ids = chain
    first = ex.findOneBy(ExNode.id == ids[0])
    first.parent_id = ids[-1]  # n5 -> n1 closes the cycle
    ex.update(first)
    n1 = ex.findOneBy(ExNode.id == ids[0])
    ex.findForeignKey(n1, deep=True, level=12)
    assert depth_of(n1) == 12
    labels = []
    node = n1
    while "children" in node:
        node = node.children[0]
        labels.append(node.label)
    assert labels[:6] == ["n2", "n3", "n4", "n5", "n1", "n2"]


def test_unset_binding_value_is_not_queried(sqlite_db):
    pex = ExPerson.getExecutor()
    ann = pex.save(ExPerson(name="ann"))
    tex = ExTicket.getExecutor()
    tex.save(ExTicket(opener_id=ann.id, title="no owner"))
    # a person whose id is NULL-bound would match this row if `= NULL` ran
    pex.save(ExPerson(name="ghost"))
    t = tex.findOneBy(ExTicket.title == "no owner")
    assert t.owner_id is None
    tex.findForeignKey(t)
    assert t.opener.name == "ann" and "owner" not in t


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(instance={"id": 1}), "Argument 'instance' has incorrect type"),
        (dict(instance="row"), "Argument 'instance' has incorrect type"),
        (dict(path=[]), "Argument 'path' has incorrect type"),
        (dict(before=1), "Argument 'before' has incorrect type"),
        (dict(clevel="1"), "an integer is required"),
        (dict(level=2**40), "too large"),
    ],
)
def test_loader_argument_errors(shop, kwargs, message):
    ex = User.getExecutor()
    ann = ex.findOneBy(User.id == shop[0])
    call = dict(instance=ann)
    call.update(kwargs)
    with pytest.raises((TypeError, OverflowError), match=message):
        ex.findForeignKey(**call)
    with pytest.raises(TypeError, match="Argument 'instances' has incorrect type"):
        ex.findListForeignKey([ann])
    with pytest.raises(TypeError, match="Argument 'instance' has incorrect type"):
        ex.findForeignKey(ExPerson(name="other model"))
    assert "profile" not in ann


def test_find_list_foreign_key_none(sqlite_db):
    assert User.getExecutor().findListForeignKey(None) is None


def test_cache_only_answers_relations_bound_to_the_primary_key(sqlite_db):
    # bob's profile gets id 1 and ann's id 2, so ann's profile id equals bob's user id
    ex = User.getExecutor()
    ann = ex.save(User(name="ann"))
    bob = ex.save(User(name="bob"))
    pex = Profile.getExecutor()
    pex.save(Profile(user_id=bob.id, bio="bob's"))
    pex.save(Profile(user_id=ann.id, bio="ann's"))
    users = ex.findAllBy()
    ex.findListForeignKey(users)
    assert {u.name: u.profile.bio for u in users} == {"ann": "ann's", "bob": "bob's"}
