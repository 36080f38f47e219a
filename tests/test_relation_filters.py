"""Conditions across relations on every road: `rel.any(cond)` / `rel.has(cond)`
as an EXISTS subquery over one-to-one, one-to-many (either side holding the
key) and many-to-many relations, nested, negated and combined, a relation of
a table to itself, in every call that takes a condition, hostile names inside
the subquery, and the bound values' order around it (asyncpg numbers them)."""
import pytest

from Tavrik.Model.Korvid import Korvid, MiddleKorvid, _KorvidMeta
from Tavrik.Model.ModelProperty import ForeignKey, IntProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)


class RfProfile(Korvid):
    tableName = "rf_profile"
    id = IntProperty(primaryKey=True)
    user_id = IntProperty()
    bio = StrProperty(40, nullable=True)
    user = ForeignKey.oneToOne("RfUser", bindCol="user_id")  # the key on this side


class RfComment(Korvid):
    tableName = "rf_comment"
    id = IntProperty(primaryKey=True)
    post_id = IntProperty()
    body = StrProperty(40)


class RfPost(Korvid):
    tableName = "rf_post"
    id = IntProperty(primaryKey=True)
    user_id = IntProperty()
    title = StrProperty(40)
    comments = ForeignKey.oneToMany(RfComment, targetBindCol=RfComment.post_id)


class RfRole(Korvid):
    tableName = "rf_role"
    id = IntProperty(primaryKey=True)
    name = StrProperty(40)


class RfUser(Korvid):
    tableName = "rf_user"
    id = IntProperty(primaryKey=True)
    name = StrProperty(40)
    profile = ForeignKey.oneToOne(RfProfile, targetBindCol=RfProfile.user_id)
    posts = ForeignKey.oneToMany(RfPost, targetBindCol=RfPost.user_id)
    roles = ForeignKey.manyToMany(RfRole, middleModel="RfUserRole")


class RfUserRole(MiddleKorvid):
    tableName = "rf_user_role"
    id = IntProperty(primaryKey=True)
    rf_user_id = IntProperty()
    rf_role_id = IntProperty()


class RfPerson(Korvid):
    tableName = "rf_person"
    id = IntProperty(primaryKey=True)
    parent_id = IntProperty(nullable=True)
    name = StrProperty(40)
    children = ForeignKey.oneToMany("RfPerson", targetBindCol="parent_id")


# Hostile names: the owner's table named as the subquery's alias would be
# (SQLite reads names without case), quotes, a backquote and placeholders in
# the related table's, reserved words for columns declared with name=.
H_OWNER, H_ITEM = "Tavrik_R1", "rf it's `q` \"x\" %s?"
H_KEY, H_TEXT, H_LABEL = 'o`k"%s', "desc", "select"
HItem = _KorvidMeta("RfHItem", (Korvid,), {
    "tableName": H_ITEM,
    "id": IntProperty(primaryKey=True),
    "owner_id": IntProperty(name=H_KEY),
    "text": StrProperty(40, name=H_TEXT),
})
HOwner = _KorvidMeta("RfHOwner", (Korvid,), {
    "tableName": H_OWNER,
    "id": IntProperty(primaryKey=True),
    "label": StrProperty(40, name=H_LABEL),
    "items": ForeignKey.oneToMany(HItem, targetBindCol="owner_id"),
})

USERS = {1: "ann", 2: "bob", 3: "cat", 4: "dan"}
PROFILES = [(1, 1, "'likes tea'"), (2, 2, "NULL")]
POSTS = [(1, 1, "apple"), (2, 1, "kiwi"), (3, 2, "avocado"), (4, 3, "berry")]
COMMENTS = [(1, 1, "bad"), (2, 4, "good")]
ROLES = {1: "admin", 2: "editor", 3: "guest"}
# dan's junction row names no role: it is no role of his.
USER_ROLES = [(1, 1, 2), (2, 3, 1), (3, 3, 3), (4, 4, 99)]
PEOPLE = [(1, "NULL", "root"), (2, 1, "kid a"), (3, 1, "kid b"), (4, 2, "grand"), (5, "NULL", "lone")]
H_OWNERS = [(1, "one"), (2, "two")]
H_ITEMS = [(1, 1, "it''s %s"), (2, 2, "plain")]


def q(name):
    return "`%s`" % name.replace("`", "``")


def statements():
    def insert(table, rows):
        return "INSERT INTO %s VALUES %s" % (q(table), ", ".join(
            "(%s)" % ", ".join(v if isinstance(v, str) and (v == "NULL" or v.startswith("'")) else
                               ("'%s'" % v if isinstance(v, str) else str(v)) for v in r) for r in rows))

    return [
        "CREATE TABLE rf_user (id INT PRIMARY KEY, name VARCHAR(40) NOT NULL)",
        "CREATE TABLE rf_profile (id INT PRIMARY KEY, user_id INT NOT NULL, bio VARCHAR(40))",
        "CREATE TABLE rf_post (id INT PRIMARY KEY, user_id INT NOT NULL, title VARCHAR(40) NOT NULL)",
        "CREATE TABLE rf_comment (id INT PRIMARY KEY, post_id INT NOT NULL, body VARCHAR(40) NOT NULL)",
        "CREATE TABLE rf_role (id INT PRIMARY KEY, name VARCHAR(40) NOT NULL)",
        "CREATE TABLE rf_user_role (id INT PRIMARY KEY, rf_user_id INT NOT NULL, rf_role_id INT NOT NULL)",
        "CREATE TABLE rf_person (id INT PRIMARY KEY, parent_id INT, name VARCHAR(40) NOT NULL)",
        "CREATE TABLE %s (id INT PRIMARY KEY, %s VARCHAR(40) NOT NULL)" % (q(H_OWNER), q(H_LABEL)),
        "CREATE TABLE %s (id INT PRIMARY KEY, %s INT NOT NULL, %s VARCHAR(40) NOT NULL)"
        % (q(H_ITEM), q(H_KEY), q(H_TEXT)),
        insert("rf_user", sorted(USERS.items())),
        insert("rf_profile", PROFILES),
        insert("rf_post", POSTS),
        insert("rf_comment", COMMENTS),
        insert("rf_role", sorted(ROLES.items())),
        insert("rf_user_role", USER_ROLES),
        insert("rf_person", PEOPLE),
        insert(H_OWNER, H_OWNERS),
        insert(H_ITEM, [(i, o, "'%s'" % t) for i, o, t in H_ITEMS]),
    ]


@pytest.fixture
async def saved(road):  # noqa: F811
    road.ddl(";".join(statements()) + ";", statements())
    await road.open()
    return road


def users(ids):
    return [(i, USERS[i]) for i in ids]


async def found(road, model, cond):
    rows, err = await road.call(lambda: model.getExecutor().findAllBy(cond, orderBy="id"))
    assert err is None, err
    return [(r["id"], r["name"]) for r in rows]


U, P, C, R = RfUser, RfPost, RfComment, RfRole


@pytest.mark.parametrize("cond, ids", [
    (lambda: U.profile.has(), [1, 2]),
    (lambda: U.profile.has(RfProfile.bio != None), [1]),  # noqa: E711
    (lambda: U.posts.any(), [1, 2, 3]),
    (lambda: U.posts.any(P.title.like("a%")), [1, 2]),
    (lambda: U.roles.any(), [1, 3]),
    (lambda: U.roles.any(R.name == "admin"), [3]),
    (lambda: U.posts.any(P.comments.any(C.body == "good")), [3]),
    (lambda: U.posts.any(P.title.like("a%") & P.comments.any()), [1]),
    (lambda: ~U.posts.any(), [4]),
    (lambda: ~U.roles.any(R.name.in_(["admin", "editor"])), [2, 4]),
    (lambda: U.roles.any(R.name == "editor") | U.profile.has(RfProfile.bio == None), [1, 2]),  # noqa: E711
    (lambda: (U.name != "ann") & U.posts.any(P.title.like("a%")), [2]),
])
async def test_owners_with_a_matching_related_row(saved, cond, ids):
    assert await found(saved, U, cond()) == users(ids)


async def test_the_side_holding_the_key_and_the_far_side_of_a_junction(saved):
    rows, err = await saved.call(lambda: RfProfile.getExecutor().findAllBy(RfProfile.user.has(U.name == "bob")))
    assert err is None and [(r["id"], r["user_id"], r["bio"]) for r in rows] == [(2, 2, None)]
    back = getattr(RfRole, "rf_user")  # the reverse descriptor the junction gives the far model
    assert await found(saved, RfRole, back.any(U.name == "cat")) == [(1, "admin"), (3, "guest")]


@pytest.mark.parametrize("cond, ids", [
    (lambda: RfPerson.children.any(), [1, 2]),
    (lambda: RfPerson.children.any(RfPerson.name == "grand"), [2]),
    (lambda: RfPerson.children.any(RfPerson.children.any()), [1]),
    (lambda: ~RfPerson.children.any() & (RfPerson.parent_id != None), [3, 4]),  # noqa: E711
])
async def test_a_relation_of_a_table_to_itself(saved, cond, ids):
    names = {i: n for i, _, n in PEOPLE}
    assert await found(saved, RfPerson, cond()) == [(i, names[i]) for i in ids]


async def test_count_update_and_delete_where(saved):
    n, err = await saved.call(lambda: U.getExecutor().count(U.posts.any()))
    assert err is None and n == 3
    n, err = await saved.call(
        lambda: U.getExecutor().updateWhere(U.roles.any(R.name == "admin") | (U.name == "dan"), {"name": "zed"}))
    assert err is None and n == 2
    assert saved.rows("SELECT id, name FROM rf_user ORDER BY id") == [(1, "ann"), (2, "bob"), (3, "zed"), (4, "zed")]
    n, err = await saved.call(lambda: U.getExecutor().deleteWhere(~U.posts.any()))
    assert err is None and n == 1
    assert saved.rows("SELECT id FROM rf_user ORDER BY id") == [(1,), (2,), (3,)]


async def test_update_and_delete_through_a_relation_to_the_same_table(saved):
    n, err = await saved.call(lambda: RfPerson.getExecutor().updateWhere(
        RfPerson.children.any(RfPerson.name == "grand"), {"name": "has grand"}))
    assert err is None and n == 1
    n, err = await saved.call(lambda: RfPerson.getExecutor().deleteWhere(RfPerson.children.any()))
    assert err is None and n == 2
    assert saved.rows("SELECT id, parent_id, name FROM rf_person ORDER BY id") == [
        (3, 1, "kid b"), (4, 2, "grand"), (5, None, "lone")]


def listed(rows):
    if hasattr(rows, "__aiter__"):
        async def collect():
            return [r["id"] async for r in rows]
        return collect()
    return [r["id"] for r in rows]


def paged(road, cond):
    from Tavrik.Ext.Olvane import Olvane

    return Olvane(U, 1, 1).filter(cond).orderBy(U.id).execute()


A_POSTS = lambda: U.posts.any(P.title.like("a%"))  # noqa: E731  (ann and bob)


@pytest.mark.parametrize("call, shape, want", [
    (lambda r: U.getExecutor().findOneBy(A_POSTS(), orderBy="-id", limit=1), lambda row: row["name"], "bob"),
    (lambda r: U.getExecutor().exists(A_POSTS() & (U.id > 2)), lambda b: b, False),
    (lambda r: U.getExecutor().findAllBy(A_POSTS(), orderBy="id", limit=1, offset=1),
     lambda rows: [x["id"] for x in rows], [2]),
    (lambda r: U.getExecutor().aggregate(A_POSTS(), n=U.id.count(), top=U.id.max()),
     lambda rows: [dict(x) for x in rows], [{"n": 2, "top": 2}]),
    (lambda r: listed(U.getExecutor().iterate(A_POSTS(), batchSize=1)), lambda ids: ids, [1, 2]),
    (lambda r: paged(r, A_POSTS()), lambda p: (p.total, [x["id"] for x in p.content]), (2, [1])),
])
async def test_every_call_taking_a_condition(saved, call, shape, want):
    out, err = await saved.call(lambda: call(saved))
    assert err is None, err
    assert shape(out) == want


async def test_hostile_names_inside_the_subquery(saved):
    value = "it's %s"
    rows, err = await saved.call(lambda: HOwner.getExecutor().findAllBy(HOwner.items.any(HItem.text == value)))
    assert err is None and [(r["id"], r["label"]) for r in rows] == [(1, "one")]
    n, err = await saved.call(lambda: HOwner.getExecutor().updateWhere(
        ~HOwner.items.any(HItem.text == value), {"label": "%s?"}))
    assert err is None and n == 1
    assert saved.rows("SELECT id, %s FROM %s ORDER BY id" % (q(H_LABEL), q(H_OWNER))) == [(1, "one"), (2, "%s?")]


async def test_values_bound_in_order_around_the_subquery(saved):
    # Values of different types on each side, so a value bound to the wrong
    # placeholder fails or matches nothing (asyncpg types each $n).
    def cond():
        return (U.name != "bob") & U.posts.any(P.title.like("a%") & (P.id < 3) & P.comments.any(C.body == "bad")) & \
            (U.id < 10)

    assert await found(saved, U, cond()) == users([1])
    n, err = await saved.call(lambda: U.getExecutor().updateWhere(cond(), {"name": "ann 2"}))
    assert err is None and n == 1
    assert saved.rows("SELECT id, name FROM rf_user ORDER BY id") == [(1, "ann 2"), (2, "bob"), (3, "cat"), (4, "dan")]


@pytest.mark.parametrize("call, text", [
    (lambda: U.profile.any(), "RfUser.profile is a one-to-one relation: use RfUser.profile.has(...)"),
    (lambda: U.posts.has(P.id > 1), "RfUser.posts is a one-to-many relation: use RfUser.posts.any(...)"),
    (lambda: U.roles.has(), "RfUser.roles is a many-to-many relation: use RfUser.roles.any(...)"),
    (lambda: U.posts.any("title = 'x'"), "cond must be a FilterListCell or None, not str"),
])
def test_the_wrong_word_or_condition_is_refused(call, text):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == text


def test_a_relation_condition_survives_pickling():
    import pickle

    cond = U.roles.any(R.name == "admin") & ~RfPerson.children.any()
    assert pickle.loads(pickle.dumps(cond)).render() == cond.render()
