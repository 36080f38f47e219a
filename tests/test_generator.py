"""SQL statement builders: statement texts, bound parameters, DDL, and the
statements run for real on an SQLite file."""
import datetime
import decimal
import sqlite3

import pytest

from Tavrik.DB.Generator import (
    BaseSqlGenerator,
    CustomColAnnounce,
    CustomSqlGenerator,
    InOperatorGenerator,
    JoinCell,
    SqlGenerator,
    TableGenerator,
)
from Tavrik.Model.ModelProperty import (
    AutoIncrement,
    BaseProperty,
    BoolProperty,
    BytesProperty,
    DateTimeProperty,
    DecimalProperty,
    FloatProperty,
    ForeignKey,
    IntProperty,
    JsonProperty,
    NullDefault,
    StrProperty,
    TextProperty,
)

HOSTILE = ['x"; DROP TABLE t;--', "a`b", "it's", "back\\slash", "nul\x00byte", "two\nlines", "order", "desc"]


def model(table, **attrs):
    ns = dict(attrs, tableName=table)
    cls = type("M_" + table, (), ns)
    cls.col = [v for v in attrs.values() if isinstance(v, BaseProperty)]
    return cls


User = model(
    "user",
    id=IntProperty(primaryKey=True, default=AutoIncrement),
    name=StrProperty(64),
    age=IntProperty(nullable=True),
)


class MysqlDialect:
    """The MySQL connector's side of the DDL contract: placeholder and the
    auto-increment declaration built from targetType and typeArgs."""

    paramsHolder = "%s"

    def autoFiledAnnounce(self, prop):
        args = str(prop.typeArgs).replace(",)", ")") if prop.typeArgs else ""
        return prop.targetType + args + " AUTO_INCREMENT"


@pytest.fixture
def connector(db_path):
    from Tavrik.DB.Connector import Sqlite3Connector

    con = Sqlite3Connector(db_path, showLog=False)
    yield con
    con.close()


@pytest.fixture
def db(db_path):
    con = sqlite3.connect(db_path)
    yield con
    con.close()


def run(db, gen):
    text, params = gen.statementPair()
    text = text.replace("%s", "?")
    cur = db.cursor()
    if isinstance(params, tuple):
        cur.execute(text, params)
    else:
        cur.executemany(text, params)
    db.commit()
    return cur


# ------------------------------------------------------------------ texts


def test_fresh_generator_and_kinds():
    g = SqlGenerator()
    assert isinstance(g, BaseSqlGenerator) and g.kind == -1 and g.model is None
    assert SqlGenerator(User).model is User and g.bind(User) is g and g.model is User
    assert g.select().kind == 0
    assert g.insert(User).kind == 1 and g.delete(User).kind == 2 and g.update(User).kind == 3
    with pytest.raises(ValueError, match="holds no statement"):
        SqlGenerator(User).statementPair()


def test_select_of_a_model_lists_its_columns_in_order():
    assert SqlGenerator(User).select().statementPair() == (
        "SELECT `user`.`id`, `user`.`name`, `user`.`age` FROM `user`",
        (),
    )
    g = SqlGenerator(User).select(User.name, "age", "*", "a`b")
    assert g.statementPair() == ("SELECT `user`.`name`, `user`.`age`, *, `a``b` FROM `user`", ())


def test_where_conditions_and_and():
    g = SqlGenerator(User).select(*User.col).where(User.id == 1).where(None).where(User.name.like("%a"))
    assert g.statementPair() == (
        "SELECT `user`.`id`, `user`.`name`, `user`.`age` FROM `user` WHERE `user`.`id` = %s AND `user`.`name` LIKE %s",
        (1, "%a"),
    )
    assert g.wherePart() == ("WHERE `user`.`id` = %s AND `user`.`name` LIKE %s", [1, "%a"])
    assert SqlGenerator(User).select().wherePart() == ("", [])


def test_where_errors():
    from Tavrik.Error.Grelt import SetGrelt, WhereGrelt

    with pytest.raises(WhereGrelt) as info:
        SqlGenerator(User).where(User.id == 1)
    assert info.value.msg == "无法在未指定操作类型的sql上添加where子句"
    with pytest.raises(SetGrelt) as info:
        SqlGenerator(User).select().set(User.name.updateCell("x"))
    assert info.value.msg == "无法在非UPDATE语句中添加SET语句"
    with pytest.raises(TypeError) as info:
        SqlGenerator(User).select().where("1=1")
    assert str(info.value) == (
        "Argument 'cond' has incorrect type (expected Tavrik.Model.ModelProperty.FilterListCell, got str)"
    )


def test_insert_single_and_batch():
    g = SqlGenerator(User).insert(User).values(User.name.insertCell("ann"), User.age.insertCell(3))
    assert g.statementPair() == ("INSERT INTO `user` (`name`, `age`) VALUES (%s, %s)", ("ann", 3))
    g.insert(User).valuesMany([(User.name.insertCell(n), User.age.insertCell(i)) for i, n in enumerate("ab")])
    assert g.statementPair() == ("INSERT INTO `user` (`name`, `age`) VALUES (%s, %s)", [("a", 0), ("b", 1)])


@pytest.mark.parametrize(
    "build, exc, text",
    [
        (lambda g: g.insert(User).statementPair(), ValueError, "INSERT without values"),
        (lambda g: g.select().values(User.name.insertCell("a")), ValueError, "call insert(model) first"),
        (
            lambda g: g.insert(User).valuesMany([[User.name.insertCell("a")], [User.age.insertCell(1)]]).statementPair(),
            ValueError,
            "other columns than the first",
        ),
        (lambda g: g.insert(User).values(("name", "x")), TypeError, "Argument 'cells' has incorrect type"),
        (lambda g: g.update(User).statementPair(), ValueError, "UPDATE without SET"),
        (lambda g: g.insert(object), AttributeError, "tableName"),
        (lambda g: g.select().Limit(-1), ValueError, "must not be negative"),
        (lambda g: g.select().Limit(1, -5), ValueError, "must not be negative"),
        (lambda g: g.select().Limit("1"), TypeError, "an integer is required"),
        (lambda g: g.select().Limit(count=1), TypeError, "unexpected keyword argument 'count'"),
        (lambda g: g.select().orderBy(("name", "sideways")), ValueError, "ASC or DESC"),
        (lambda g: g.select().orderBy(3), TypeError, "Argument 'args' has incorrect type"),
        (lambda g: g.delete(User).Limit(1).statementPair(), ValueError, "take no JOIN, ORDER BY or LIMIT"),
        (lambda g: g.select(3), TypeError, "Argument 'cols' has incorrect type"),
    ],
)
def test_statement_misuse(build, exc, text):
    with pytest.raises(exc) as info:
        build(SqlGenerator(User))
    assert text in str(info.value)


def test_update_and_delete():
    g = SqlGenerator(User)
    assert g.update(User).set(User.name.updateCell("b"), User.age.updateCell(None)).where(User.id == 4) is g
    assert g.statementPair() == ("UPDATE `user` SET `name` = %s, `age` = %s WHERE `user`.`id` = %s", ("b", None, 4))
    assert g.delete(User).where(User.id == 9).statementPair() == ("DELETE FROM `user` WHERE `user`.`id` = %s", (9,))


def test_a_new_statement_does_not_inherit_the_previous_where():
    # An executor reuses its generator for delete() without a reset: the old
    # selection's condition must not narrow (or widen) the deletion.
    g = SqlGenerator(User).select().where(User.name == "keep")
    g.delete(User).where(User.id == 2)
    assert g.statementPair() == ("DELETE FROM `user` WHERE `user`.`id` = %s", (2,))


def test_order_by_forms_and_limit():
    g = SqlGenerator(User).select(User.id).orderBy(User.name, "-age", ("id", "desc"), User.age.asc(), User.id.desc())
    g.Limit(2**40, 2**33)
    assert g.statementPair() == (
        "SELECT `user`.`id` FROM `user` ORDER BY `user`.`name`, `user`.`age` DESC, `user`.`id` DESC, "
        "`user`.`age` ASC, `user`.`id` DESC LIMIT %s OFFSET %s",
        (2**40, 2**33),
    )
    # order and joins given before select() survive it
    g = SqlGenerator(User).orderBy("name").select(User.id).Limit(5)
    assert g.statementPair() == ("SELECT `user`.`id` FROM `user` ORDER BY `user`.`name` LIMIT %s OFFSET %s", (5, 0))


def test_join_through_many_to_many_descriptor():
    Role = model("role", id=IntProperty(primaryKey=True, default=AutoIncrement), name=StrProperty(20))
    Junction = model("user_role", id=IntProperty(primaryKey=True), user_id=IntProperty(), role_id=IntProperty())
    Owner = model("user", id=IntProperty(primaryKey=True), roles=ForeignKey.manyToMany(Role, middleModel=Junction))
    g = SqlGenerator(Role)
    g.join(getattr(Role, Owner.tableName))
    g.select(*Role.col).where(getattr(Junction, Owner.tableName + "_id") == 7)
    assert g.statementPair() == (
        "SELECT `role`.`id`, `role`.`name` FROM `role` JOIN `user_role` ON `user_role`.`role_id` = `role`.`id` "
        "WHERE `user_role`.`user_id` = %s",
        (7,),
    )
    g = SqlGenerator(Owner).join(JoinCell(Junction, Junction.user_id == Owner.id, left=True)).select(Owner.id)
    assert g.statementPair()[0] == (
        "SELECT `user`.`id` FROM `user` LEFT JOIN `user_role` ON `user_role`.`user_id` = `user`.`id`"
    )
    # ordering by a joined table's column is the statement's own; by a table it does not read, refused
    assert g.orderBy((Junction.role_id, "DESC")).statementPair()[0].endswith("ORDER BY `user_role`.`role_id` DESC")
    with pytest.raises(ValueError, match="not a column of 'user'"):
        g.orderBy(Role.name)


def test_small_builders():
    assert InOperatorGenerator(User.id, [1, 2]).sql() == ("`user`.`id` IN (%s, %s)", (1, 2))
    assert InOperatorGenerator(User.id, []).sql() == ("1 = 0", ())
    assert InOperatorGenerator(User.id, (5,)).cell().render() == ("`user`.`id` IN (%s)", [5])
    c = CustomSqlGenerator("SELECT %s", (1,), kind=0)
    assert c.kind == 0 and c.statementPair() == ("SELECT %s", (1,))
    assert CustomSqlGenerator("DELETE FROM t WHERE a = %s", [(1,), (2,)]).statementPair()[1] == [(1,), (2,)]
    with pytest.raises(TypeError, match="Argument 'params' has incorrect type"):
        CustomSqlGenerator("x", {"a": 1})
    assert CustomColAnnounce("a`b", "INT NOT NULL").sql() == "`a``b` INT NOT NULL"
    with pytest.raises(ValueError, match="without ';'"):
        CustomColAnnounce("x", "INT); DROP TABLE t; --")


# ------------------------------------------------------------------ DDL

Typed = model(
    "typed",
    id=IntProperty(primaryKey=True, default=AutoIncrement),
    s=StrProperty(20, nullable=False, default="it's \\ here"),
    t=TextProperty(default=NullDefault),
    f=FloatProperty(default=1.5),
    d=DecimalProperty(8, 3, default="2.5"),
    b=BoolProperty(default=True),
    dt=DateTimeProperty(),
    j=JsonProperty(default={"k": "v"}),
    raw=BytesProperty(default=b"\x00\x01"),
)


def test_create_table_sqlite(connector):
    assert TableGenerator(Typed, connector).sql() == (
        "CREATE TABLE IF NOT EXISTS `typed` (`id` INTEGER PRIMARY KEY, "
        "`s` TEXT NOT NULL DEFAULT 'it''s \\ here', `t` TEXT DEFAULT NULL, `f` REAL DEFAULT 1.5, "
        "`d` NUMERIC DEFAULT '2.500', `b` INTEGER DEFAULT 1, `dt` TEXT, `j` TEXT DEFAULT '{\"k\": \"v\"}', "
        "`raw` BLOB DEFAULT X'0001')"
    )


def test_create_table_mysql():
    assert TableGenerator(Typed, MysqlDialect()).sql() == (
        "CREATE TABLE IF NOT EXISTS `typed` (`id` INT AUTO_INCREMENT PRIMARY KEY, "
        "`s` VARCHAR(20) NOT NULL DEFAULT 'it''s \\\\ here', `t` LONGTEXT DEFAULT NULL, `f` DOUBLE DEFAULT 1.5, "
        "`d` DECIMAL(8, 3) DEFAULT '2.500', `b` TINYINT(1) DEFAULT 1, `dt` DATETIME(6), "
        "`j` LONGTEXT DEFAULT ('{\"k\": \"v\"}'), `raw` LONGBLOB DEFAULT (X'0001')) "
        "ENGINE=InnoDB DEFAULT CHARSET=utf8mb4"
    )


def test_a_connector_names_its_dialect_and_the_ddl_follows_it(connector):
    import asyncio

    from Tavrik.DB.Connector import AioMysqlConnector, AioSqliteConnector, BaseConnector, PyMysqlConnector

    loop = asyncio.new_event_loop()
    try:
        assert [c.dialect for c in (connector, AioSqliteConnector(loop, path="x.db"), BaseConnector(),
                                    PyMysqlConnector())] == ["sqlite", "sqlite", "mysql", "mysql"]
    finally:
        loop.close()
    assert AioMysqlConnector.dialect is BaseConnector.dialect  # the base's: MySQL's placeholders

    class SaysMysql(MysqlDialect):
        paramsHolder = "?"  # the named dialect wins over the placeholder
        dialect = "mysql"

    assert TableGenerator(Typed, SaysMysql()).sql() == TableGenerator(Typed, MysqlDialect()).sql()


def test_create_table_composite_key_and_custom_column(connector):
    Pair = model("pair", a=IntProperty(primaryKey=True), b=StrProperty(5, primaryKey=True))
    gen = TableGenerator(Pair, connector).add(CustomColAnnounce("note", "TEXT"))
    assert gen.kind == 4
    assert gen.statementPair() == (
        "CREATE TABLE IF NOT EXISTS `pair` (`a` INTEGER NOT NULL, `b` TEXT NOT NULL, `note` TEXT, "
        "PRIMARY KEY (`a`, `b`))",
        (),
    )


def test_create_table_refuses_unwritable_defaults(connector):
    Bad = model("bad", s=StrProperty())
    Bad.s = StrProperty(default="a\x00b")  # declared after the class: not validated by __set_name__
    Bad.s.__set_name__(Bad, "s")
    Bad.col = [Bad.s]
    with pytest.raises(ValueError, match="NUL"):
        TableGenerator(Bad, connector).sql()


class SneakyInt(int):
    def __str__(self):
        return "0); DROP TABLE t; --"

    __repr__ = __str__


class SneakyFloat(float):
    def __repr__(self):
        return "0); DROP TABLE t; --"

    __str__ = __repr__


def test_number_defaults_are_written_as_numbers(connector):
    # An untyped column keeps its default's own type: the digits, not its text.
    M = model("m", a=BaseProperty(default=SneakyInt(3)), b=BaseProperty(default=SneakyFloat(1.5)))
    assert TableGenerator(M, connector).sql() == "CREATE TABLE IF NOT EXISTS `m` (`a` DEFAULT 3, `b` DEFAULT 1.5)"


# ------------------------------------------------------------------ on SQLite


def test_hostile_names_and_values_round_trip(db, connector):
    Weird = model(
        "we`ird 'order'",
        id=IntProperty(primaryKey=True, default=AutoIncrement),
        **{"desc": TextProperty(), "a`b": StrProperty(100)},
    )
    db.execute(TableGenerator(Weird, connector).sql())
    desc, ab = Weird.col[1], Weird.col[2]
    gen = SqlGenerator(Weird).insert(Weird).valuesMany([[desc.insertCell(v), ab.insertCell(v)] for v in HOSTILE])
    run(db, gen)
    for v in HOSTILE:
        g = SqlGenerator(Weird).select(desc, ab).where((desc == v) & (ab == v))
        assert run(db, g).fetchall() == [(v, v)]
    g = SqlGenerator(Weird).select(desc).where(desc.in_(HOSTILE)).orderBy(Weird.id.desc())
    assert [r[0] for r in run(db, g).fetchall()] == HOSTILE[::-1]
    assert db.execute("SELECT count(*) FROM sqlite_master").fetchone() == (1,)


def test_values_round_trip_through_sqlite(db, connector):
    db.execute(TableGenerator(Typed, connector).sql())
    when = datetime.datetime(2024, 5, 6, 7, 8, 9, 123456)
    cells = [
        Typed.s.insertCell("hé"),
        Typed.d.insertCell(decimal.Decimal("12345.6789")),
        Typed.b.insertCell(False),
        Typed.dt.insertCell(when),
        Typed.j.insertCell({"a": [1, 2.5, None]}),
        Typed.raw.insertCell(bytearray(b"\xff\x00")),
    ]
    cur = run(db, SqlGenerator(Typed).insert(Typed).values(*cells))
    new_id = cur.lastrowid
    names = [p.name for p in Typed.col]
    row = run(db, SqlGenerator(Typed).select().where(Typed.id == new_id)).fetchone()
    got = {n: p.toObjValue(v) for n, p, v in zip(names, Typed.col, row)}
    assert got == {
        "id": new_id,
        "s": "hé",
        "t": None,
        "f": 1.5,
        "d": decimal.Decimal("12345.679"),
        "b": False,
        "dt": when,
        "j": {"a": [1, 2.5, None]},
        "raw": b"\xff\x00",
    }
    # filters convert values the way cells do
    assert run(db, SqlGenerator(Typed).select(Typed.id).where(Typed.dt == when)).fetchall() == [(new_id,)]
    assert run(db, SqlGenerator(Typed).select(Typed.id).where(Typed.b == False)).fetchall() == [(new_id,)]  # noqa


def test_update_delete_and_paging_on_sqlite(db, connector):
    db.execute(TableGenerator(User, connector).sql())
    big = 2**40  # the SQLite key is a 64-bit rowid alias
    run(db, SqlGenerator(User).insert(User).values(User.id.insertCell(big), User.name.insertCell("big")))
    rows = [[User.name.insertCell("n%d" % i), User.age.insertCell(i)] for i in range(5)]
    run(db, SqlGenerator(User).insert(User).valuesMany(rows))
    run(db, SqlGenerator(User).update(User).set(User.age.updateCell(None)).where(User.name == "big"))
    run(db, SqlGenerator(User).delete(User).where((User.age < 2) | User.name.in_([])))
    g = SqlGenerator(User).select(User.name, User.age).where(User.age.notNull()).orderBy("-age").Limit(2, 1)
    assert run(db, g).fetchall() == [("n3", 3), ("n2", 2)]
    assert run(db, SqlGenerator(User).select(User.id).where(User.name == "big")).fetchall() == [(big,)]
    text, params = SqlGenerator(User).select().where(User.age >= 2).wherePart()
    count = db.execute("select count(id) from user " + text.replace("%s", "?"), params).fetchone()
    assert count == (3,)


# ------------------------------------------------------------------ copying


def test_generators_copy_and_pickle_with_their_statement():
    import copy
    import pickle

    from tests.models import Role, User, UserRole

    g = SqlGenerator(Role).join(Role.t_user).select()
    g.where((UserRole.t_user_id == 3) | ~User.name.in_(["a", None])).orderBy("-name").Limit(3, 1)
    copies = [copy.copy(g), copy.deepcopy(g)] + [pickle.loads(pickle.dumps(g, p)) for p in (2, 4, 5)]
    for c in copies:
        assert type(c) is SqlGenerator and c is not g and c.model is Role and c.kind == 0
        assert c.statementPair() == g.statementPair()
    g.insert(User).valuesMany([[User.name.insertCell("x"), User.age.insertCell(1)]] * 2)
    assert pickle.loads(pickle.dumps(g)).statementPair() == g.statementPair()
    # columns are declarations: copies share them, pickles find them on their class
    assert copy.deepcopy(User.name) is User.name and pickle.loads(pickle.dumps(User.name)) is User.name
    cond = chained_condition(User)
    assert pickle.loads(pickle.dumps(cond)).render() == cond.render()
    with pytest.raises(TypeError, match="not an attribute of its model class"):
        pickle.dumps(IntProperty())


def test_a_shallow_copy_does_not_share_the_clauses():
    import copy

    from tests.models import User

    g = SqlGenerator(User).select().orderBy("name")
    before = g.statementPair()
    c = copy.copy(g)
    c.orderBy("-id")
    assert g.statementPair() == before and c.statementPair() != before
    g.insert(User).values(User.name.insertCell("a"))
    c = copy.copy(g)
    c.values(User.name.insertCell("b"))
    assert g.statementPair() == ("INSERT INTO `t_user` (`name`) VALUES (%s)", ("a",))
    g.update(User).set(User.name.updateCell("a"))
    c = copy.copy(g)
    c.set(User.age.updateCell(1))
    assert g.statementPair()[1] == ("a",)


def chained_condition(User):
    from Tavrik.Model.ModelProperty import FilterListCell

    head = FilterListCell("1").link(FilterListCell("name", col=User.name), 0).link(FilterListCell("a"), 3)
    return head.link(User.age > 3, 1)


@pytest.mark.parametrize(
    "target, state",
    [
        ("gen", (0, None, "not a tuple", None, None, None, None, None, 0, 0, 0)),
        ("gen", (9, None, None, None, None, None, None, None, 0, 0, 0)),
        ("gen", (1, None, None, None, None, None, [("x", 1)], None, 0, 0, 0)),
        ("gen", (0, None, None, None, None, None, None, None, -1, 0, 1)),
        ("cell", (3, 0, None, None, 1, None, None, None)),  # a comparison without its column
        ("cell", (6, 0, None, None, None, None, None, None)),  # AND without operands
        ("cell", (0, 0, None, None, None, None, None, ["x"])),
    ],
)
def test_forged_states_are_refused(target, state):
    from Tavrik.Model.ModelProperty import FilterListCell

    obj = SqlGenerator(User) if target == "gen" else FilterListCell("1")
    with pytest.raises((TypeError, ValueError)):
        obj.__setstate__(state)
