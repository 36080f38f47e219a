"""Column properties, conditions (FilterListCell) and relation descriptors."""
import datetime
import decimal
import gc
import json
import weakref

import pytest

from Tavrik.Model.ModelProperty import (
    AutoIncrement,
    BaseProperty,
    BigIntProperty,
    BoolProperty,
    BytesProperty,
    DateProperty,
    DateTimeProperty,
    DecimalProperty,
    FilterListCell,
    FloatProperty,
    ForeignKey,
    ForeignType,
    IntProperty,
    JsonProperty,
    NullDefault,
    StrProperty,
    TextProperty,
)

D = decimal.Decimal


def model(table, **attrs):
    """A plain class standing in for a model: tableName, col in order, and
    the properties bound through __set_name__."""
    ns = dict(attrs, tableName=table)
    cls = type("M_" + table, (), ns)
    cls.col = [v for v in attrs.values() if isinstance(v, BaseProperty)]
    return cls


def bound(prop, table="t", name="c"):
    model(table, **{name: prop})
    return prop


# ------------------------------------------------------------------ declaring


def test_set_name_binds_name_owner_and_primary_key():
    User = model("user", id=IntProperty(primaryKey=True, default=AutoIncrement), nick=StrProperty(8, name="nickname"))
    assert User.pkName == "id" and User.pkCol is User.id
    assert User.id.owner is User and User.id.name == "id"
    # Rows are keyed by the attribute; the declared name is the database column's.
    assert User.nick.name == "nick" and User.nick.column == "nickname" and User.id.column == "id"
    assert User.id.nullable is False and User.id.primaryKey is True and User.id.autoIncrement is True
    assert User.nick.nullable is True and User.nick.hasDefault is False and User.nick.Default is None


@pytest.mark.parametrize(
    "prop, value_type, target, args",
    [
        (IntProperty(), int, "INT", ()),
        (BigIntProperty(), int, "BIGINT", ()),
        (FloatProperty(), float, "DOUBLE", ()),
        (DecimalProperty(12, 3), D, "DECIMAL", (12, 3)),
        (DecimalProperty(), D, "DECIMAL", (10, 2)),
        (StrProperty(), str, "VARCHAR", (255,)),
        (StrProperty(20), str, "VARCHAR", (20,)),
        (TextProperty(), str, "LONGTEXT", ()),
        (BoolProperty(), bool, "TINYINT", (1,)),
        (DateProperty(), datetime.date, "DATE", ()),
        (DateTimeProperty(), datetime.datetime, "DATETIME", (6,)),
        (BytesProperty(), bytes, "LONGBLOB", ()),
    ],
)
def test_column_types(prop, value_type, target, args):
    assert prop.valueType is value_type
    assert prop.targetType == target and prop.typeArgs == args


@pytest.mark.parametrize("sentinel", [AutoIncrement, AutoIncrement(), NullDefault, NullDefault()])
def test_sentinels_as_class_or_instance(sentinel):
    if sentinel is AutoIncrement or isinstance(sentinel, AutoIncrement):
        p = IntProperty(primaryKey=True, default=sentinel)
        assert p.autoIncrement is True
    else:
        p = IntProperty(default=sentinel)
        assert p.autoIncrement is False
    assert p.hasDefault is True and p.Default is None and p.toObjValue(sentinel) is None


def test_mutable_default_is_copied_per_read():
    p = bound(JsonProperty(default={"tags": []}))
    a, b = p.Default, p.Default
    assert a == {"tags": []} and a is not b
    a["tags"].append(1)
    assert p.Default == {"tags": []}


@pytest.mark.parametrize(
    "make, exc, text",
    [
        (lambda: IntProperty(name=3), TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda: IntProperty(default=AutoIncrement), ValueError, "AutoIncrement is only for an integer primary key"),
        (lambda: StrProperty(primaryKey=True, default=AutoIncrement), ValueError, "integer primary key"),
        (lambda: StrProperty(0), ValueError, "between 1 and 16383"),
        (lambda: DecimalProperty(5, 6), ValueError, "precision"),
        (lambda: IntProperty(5), TypeError, "IntProperty() takes no positional arguments"),
        (lambda: IntProperty(bogus=1), TypeError, "bogus"),
    ],
)
def test_bad_declarations(make, exc, text):
    with pytest.raises(exc) as info:
        make()
    assert text in str(info.value)


def test_default_that_the_column_cannot_hold_fails_at_declaration():
    # 3.9 wraps errors of __set_name__ in RuntimeError; 3.12 lets them through.
    with pytest.raises((RuntimeError, ValueError)) as info:
        model("t", c=StrProperty(3, default="toolong"))
    cause = info.value.__cause__ if isinstance(info.value, RuntimeError) else info.value
    assert isinstance(cause, ValueError)
    assert "column 'c' of table 't'" in str(cause)


# ------------------------------------------------------------------ values


@pytest.mark.parametrize("prop, value", [(IntProperty(), 7), (StrProperty(), "x"), (FloatProperty(), 1.5),
                                         (TextProperty(), "long")])
def test_to_obj_value_fast_path_returns_the_same_object(prop, value):
    assert prop.toObjValue(value) is value
    assert prop.toObjValue(None) is None


@pytest.mark.parametrize(
    "prop, stored, expected",
    [
        (IntProperty(), "42", 42),
        (IntProperty(), True, 1),
        (IntProperty(), 3.0, 3),
        (BigIntProperty(), 2**62, 2**62),
        (FloatProperty(), 2, 2.0),
        (FloatProperty(), "2.5", 2.5),
        (DecimalProperty(), "3.10", D("3.10")),
        (DecimalProperty(), 0.1, D("0.1")),
        (DecimalProperty(), 5, D(5)),
        (StrProperty(), 12, "12"),
        (BoolProperty(), 1, True),
        (BoolProperty(), 0, False),
        (DateProperty(), "2024-02-29", datetime.date(2024, 2, 29)),
        (DateProperty(), datetime.datetime(2024, 1, 2, 3, 4), datetime.date(2024, 1, 2)),
        (DateTimeProperty(), "2024-01-02 03:04:05.000006", datetime.datetime(2024, 1, 2, 3, 4, 5, 6)),
        (DateTimeProperty(), datetime.date(2024, 1, 2), datetime.datetime(2024, 1, 2)),
        (JsonProperty(), '{"a": [1, 2]}', {"a": [1, 2]}),
        (JsonProperty(), "not json", "not json"),
        (JsonProperty(), {"k": 1}, {"k": 1}),
        (BytesProperty(), memoryview(b"ab"), b"ab"),
        (BytesProperty(), bytearray(b"\x00\xff"), b"\x00\xff"),
    ],
)
def test_to_obj_value(prop, stored, expected):
    got = prop.toObjValue(stored)
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize(
    "prop, value, expected",
    [
        (IntProperty(), 5, 5),
        (BoolProperty(), True, 1),
        (BoolProperty(), False, 0),
        (FloatProperty(), 1, 1.0),
        (DecimalProperty(10, 2), D("3.456"), "3.46"),
        (DecimalProperty(10, 2), "2.005", "2.01"),
        (DecimalProperty(10, 0), 7, "7"),
        (DateProperty(), datetime.date(2024, 3, 1), "2024-03-01"),
        (DateTimeProperty(), datetime.datetime(2024, 3, 1, 8, 9, 10), "2024-03-01 08:09:10.000000"),
        (JsonProperty(), {"ü": [1, None]}, '{"ü": [1, null]}'),
        (JsonProperty(), "123", '"123"'),
        (BytesProperty(), bytearray(b"x"), b"x"),
        (StrProperty(3), "abc", "abc"),
        (IntProperty(primaryKey=True, default=AutoIncrement), 2**40, 2**40),
        (BigIntProperty(), -(2**63), -(2**63)),
    ],
)
def test_insert_and_update_cells_carry_database_values(prop, value, expected):
    bound(prop)
    for cell in (prop.insertCell(value), prop.updateCell(value)):
        assert cell[0] is prop
        assert cell[1] == expected and type(cell[1]) is type(expected)


@pytest.mark.parametrize(
    "prop, value, exc, text",
    [
        (StrProperty(3), "abcd", ValueError, "a text of 4 characters is longer than 3"),
        (StrProperty(), b"bytes", TypeError, "expected str, got bytes"),
        (StrProperty(), "bad \udc80", ValueError, "lone surrogate"),
        (IntProperty(), 2**31, ValueError, "out of range for a 32-bit integer"),
        (BigIntProperty(), 2**63, ValueError, "out of range for a 64-bit integer"),
        (IntProperty(), "12a", ValueError, "invalid literal"),
        (IntProperty(), 1.5, ValueError, "fractional"),
        (IntProperty(), [1], TypeError, "expected int, got list"),
        (FloatProperty(), float("nan"), ValueError, "non-finite"),
        (FloatProperty(), float("inf"), ValueError, "non-finite"),
        (DecimalProperty(5, 2), D("1000"), ValueError, "does not fit DECIMAL(5, 2)"),
        (DecimalProperty(), D("NaN"), ValueError, "non-finite"),
        (DecimalProperty(), "abc", ValueError, ""),
        (BoolProperty(), 2, ValueError, "0 or 1"),
        (DateProperty(), "yesterday", ValueError, "Invalid isoformat"),
        (JsonProperty(), {1, 2}, TypeError, "not JSON serializable"),
        (JsonProperty(), float("nan"), ValueError, "Out of range float"),
        (BytesProperty(), "text", TypeError, "expected bytes, got str"),
        (IntProperty(nullable=False), None, ValueError, "NULL is not allowed"),
    ],
)
def test_values_the_column_cannot_store_are_refused_naming_it(prop, value, exc, text):
    bound(prop, table="user", name="name")
    for make in (prop.insertCell, prop.updateCell):
        with pytest.raises(exc) as info:
            make(value)
        assert str(info.value).startswith("column 'name' of table 'user': ")
        assert text in str(info.value)


# ------------------------------------------------------------------ conditions

T = model(
    "user",
    id=IntProperty(primaryKey=True, default=AutoIncrement),
    name=StrProperty(10),
    active=BoolProperty(),
    born=DateProperty(),
)


@pytest.mark.parametrize(
    "cond, text, params",
    [
        (T.id == 3, "`user`.`id` = %s", [3]),
        (T.id != 3, "`user`.`id` != %s", [3]),
        (T.id < 3, "`user`.`id` < %s", [3]),
        (T.id <= 3, "`user`.`id` <= %s", [3]),
        (T.id > 3, "`user`.`id` > %s", [3]),
        (T.id >= 3, "`user`.`id` >= %s", [3]),
        (3 < T.id, "`user`.`id` > %s", [3]),
        (T.name == None, "`user`.`name` IS NULL", []),  # noqa: E711
        (T.name != None, "`user`.`name` IS NOT NULL", []),  # noqa: E711
        (T.name.isNull(), "`user`.`name` IS NULL", []),
        (T.name.notNull(), "`user`.`name` IS NOT NULL", []),
        (T.active == True, "`user`.`active` = %s", [1]),  # noqa: E712
        (T.born >= datetime.date(2020, 1, 1), "`user`.`born` >= %s", ["2020-01-01"]),
        (T.name.in_(["a", "b"]), "`user`.`name` IN (%s, %s)", ["a", "b"]),
        (T.name.in_([]), "1 = 0", []),
        (T.name.in_(iter(["a", None])), "(`user`.`name` IN (%s) OR `user`.`name` IS NULL)", ["a"]),
        (T.name.like("a%"), "`user`.`name` LIKE %s", ["a%"]),
        ((T.id == 1) & (T.name == "x"), "`user`.`id` = %s AND `user`.`name` = %s", [1, "x"]),
        (
            ((T.id == 1) | (T.id == 2)) & ~(T.name == "x"),
            "(`user`.`id` = %s OR `user`.`id` = %s) AND NOT (`user`.`name` = %s)",
            [1, 2, "x"],
        ),
        (T.id == T.id, "`user`.`id` = `user`.`id`", []),
        # A filter value longer than the column merely matches nothing.
        (T.name == "x" * 50, "`user`.`name` = %s", ["x" * 50]),
    ],
)
def test_conditions_render_with_bound_values(cond, text, params):
    assert isinstance(cond, FilterListCell)
    assert cond.render() == (text, params)


def test_values_are_never_spliced_into_the_text():
    hostile = 'x"; DROP TABLE t;-- a`b \'q\' \x00 \n order desc'
    text, params = (T.name == hostile).render()
    assert text == "`user`.`name` = %s" and params == [hostile]
    text, params = T.name.like(hostile).render()
    assert hostile not in text and params == [hostile]


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: T.id < None, TypeError, "column 'id' of table 'user': NULL can only be tested with == or !="),
        (lambda: T.name.like(5), TypeError, "Argument 'pattern' has incorrect type (expected str, got int)"),
        (lambda: T.id == "abc", ValueError, "column 'id' of table 'user'"),
        (lambda: T.id.in_(5), TypeError, "not iterable"),
        (lambda: T.id == (T.id == 1), TypeError, "cannot be compared with a condition"),
    ],
)
def test_bad_conditions(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert text in str(info.value)


def test_properties_hash_by_identity_and_compare_by_identity_in_containers():
    a, b = IntProperty(), IntProperty()
    assert hash(a) != hash(b) or a is b
    d = {a: 1, b: 2}
    assert d[a] == 1 and d[b] == 2
    assert a in [b, a] and b not in [a]
    assert bool(a == a) and not bool(a == b) and bool(a != b)


def test_link_chain_codes():
    head = FilterListCell("1")
    assert head.render() == ("1 = 1", [])
    res = head.link(FilterListCell("id", col=T.id), 0).link(FilterListCell(5), 2)
    assert res is head
    head.link(FilterListCell("active", col=T.active), 0).link(FilterListCell(True), 3)
    head.link(FilterListCell("name", col=T.name), 1).link(FilterListCell("1"), 2)  # "1" taken as a value here
    assert head.render() == (
        "(`user`.`id` = %s AND `user`.`active` != %s) OR `user`.`name` = %s",
        [5, 1, "1"],
    )


def test_link_accepts_whole_conditions_and_keywords():
    head = FilterListCell("1").link(T.id > 1, 0)
    head.link(other=T.name.isNull(), code=1)
    assert head.render() == ("`user`.`id` > %s OR `user`.`name` IS NULL", [1])


def test_link_with_none_value_tests_null():
    head = FilterListCell("1").link(FilterListCell("name", col=T.name), 0).link(FilterListCell(None), 2)
    assert head.render() == ("`user`.`name` IS NULL", [])


def test_column_without_comparison_raises_missing_relationship():
    from Tavrik.Error.Grelt import SqlMissingRelationshipError

    head = FilterListCell("1").link(FilterListCell("id", col=T.id), 0).link(FilterListCell("name", col=T.name), 0)
    with pytest.raises(SqlMissingRelationshipError) as info:
        head.render()
    assert info.value.msg == "在id与name之间缺少了关系运算符"
    with pytest.raises(SqlMissingRelationshipError) as info:
        FilterListCell("name", col=T.name).render()
    assert info.value.msg == "在name与None之间缺少了关系运算符"


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda h: h.link(FilterListCell(1), 2), ValueError, "needs a column cell"),
        (lambda h: h.link(T.id == 1, 2), ValueError, "takes a value cell"),
        (lambda h: h.link(T.id == 1, 7), ValueError, "unknown link code 7"),
        (lambda h: h.link(5, 0), TypeError,
         "Argument 'other' has incorrect type (expected Tavrik.Model.ModelProperty.FilterListCell, got int)"),
        (lambda h: h.link(h, 0), ValueError, "itself"),
        (lambda h: h.link(T.id == 1), TypeError, "link() takes exactly 2 positional arguments (1 given)"),
        (lambda h: FilterListCell(5).render(), ValueError, "not a condition"),
        (lambda h: FilterListCell("x", col=5), TypeError, "Argument 'col' has incorrect type"),
        (lambda h: FilterListCell(), TypeError, "value"),
    ],
)
def test_link_misuse(call, exc, text):
    with pytest.raises(exc) as info:
        call(FilterListCell("1"))
    assert text in str(info.value)


def test_cyclic_conditions_fail_cleanly_and_are_collected():
    a = FilterListCell("1").link(T.id == 1, 0)
    b = FilterListCell("1").link(a, 0)
    a.link(b, 0)
    with pytest.raises(RecursionError):
        a.render()
    ref = weakref.ref(a)
    del a, b
    gc.collect()
    assert ref() is None


# ------------------------------------------------------------------ relations


def make_relations():
    Profile = model("profile", id=IntProperty(primaryKey=True, default=AutoIncrement), user_id=IntProperty())
    Role = model("role", id=IntProperty(primaryKey=True, default=AutoIncrement), name=StrProperty(20))
    Junction = model("user_role", id=IntProperty(primaryKey=True), user_id=IntProperty(), role_id=IntProperty())
    User = model(
        "user",
        id=IntProperty(primaryKey=True, default=AutoIncrement),
        profile=ForeignKey.oneToOne(Profile, targetBindCol=Profile.user_id),
        profiles=ForeignKey.oneToMany(Profile, targetBindCol="user_id", name="plist"),
        roles=ForeignKey.manyToMany(Role, middleModel=Junction),
    )
    return User, Profile, Role, Junction


def test_foreign_key_defaults_and_access_forms():
    User, Profile, Role, Junction = make_relations()
    fk = User.profile
    assert fk.Type == ForeignType.ONE_TO_ONE and fk["Type"] is ForeignType.ONE_TO_ONE
    assert fk.name == fk["name"] == "profile" and fk.owner is User
    assert fk.target is Profile and fk.directTarget is Profile and fk["target"] is Profile
    assert fk.bindCol is User.id and fk["bindCol"] is User.id
    assert fk.targetBindCol is Profile.user_id and fk.middleModel is None
    assert User.profiles.name == "plist" and User.profiles.targetBindCol is Profile.user_id
    m2m = User.roles
    assert m2m.Type == ForeignType.MANY_TO_MANY
    assert m2m.target is Junction and m2m.directTarget is Role and m2m.middleModel is Junction
    assert m2m.bindCol is User.id and m2m.targetBindCol is Junction.user_id
    with pytest.raises(KeyError):
        fk["nothing"]


def test_many_to_many_gives_the_far_model_a_reverse_descriptor():
    User, Profile, Role, Junction = make_relations()
    back = Role.user
    assert back.Type == ForeignType.MANY_TO_MANY and back.owner is Role and back.name == "user"
    assert back.directTarget is User and back.target is Junction
    assert back.bindCol is Role.id and back.targetBindCol is Junction.role_id


def test_reverse_descriptor_does_not_replace_a_declared_one():
    Role = model("role", id=IntProperty(primaryKey=True), user=StrProperty())
    model("user", id=IntProperty(primaryKey=True), roles=ForeignKey.manyToMany(Role, middleModel="J"))
    assert isinstance(Role.user, StrProperty)


@pytest.mark.parametrize(
    "make, exc, text",
    [
        (lambda: ForeignKey.manyToMany(IntProperty), TypeError, "needs middleModel"),
        (lambda: ForeignKey.oneToMany(IntProperty), TypeError, "needs targetBindCol"),
        (lambda: ForeignKey(9, IntProperty), ValueError, "9 is not a valid ForeignType"),
        (lambda: ForeignKey.oneToOne(5), TypeError, "target must be a model class or a model name"),
    ],
)
def test_bad_foreign_keys(make, exc, text):
    with pytest.raises(exc) as info:
        make()
    assert text in str(info.value)


def test_string_references_resolve_through_the_model_registry():
    from tests.models import Post, Profile, Role, User, UserRole

    assert User.roles.target is UserRole and User.roles.directTarget is Role
    assert User.roles.targetBindCol is UserRole.t_user_id
    assert UserRole.user.bindCol is UserRole.t_user_id and UserRole.user.targetBindCol is User.id
    assert User.posts.target is Post and User.profile.targetBindCol is Profile.user_id
    assert Role.t_user.directTarget is User and Role.t_user.targetBindCol is UserRole.t_role_id
    assert User.pkName == "id" and User.pkCol is User.id
    assert json.loads(json.dumps(User.roles["name"])) == "roles"
