"""Model declaration: the metaclass, rows, row lists and junction models."""
import os
import subprocess
import sys
import textwrap
import types
import typing

import pytest

import Tavrik.Model.Korvid as korvid_module
from Tavrik.Model.Korvid import (
    InstanceList,
    Korvid,
    MiddleKorvid,
    ModelInstance,
    _Korvid,
    _KorvidMeta,
)
from Tavrik.Model.ModelProperty import (
    AutoIncrement,
    BoolProperty,
    ForeignKey,
    ForeignType,
    IntProperty,
    JsonProperty,
    StrProperty,
)
from tests.models import Post, Profile, Role, User, UserRole


# ------------------------------------------------------------------ helpers

@pytest.fixture(autouse=True)
def _forget_test_models():
    """Models declared by a test (some with deliberately odd table names) are
    taken off the registry afterwards, so later table creation and name
    lookups only see the shared models."""
    saved = list(_KorvidMeta.ModelList)
    yield
    _KorvidMeta.ModelList[:] = saved


def make(name, body=None, base=Korvid):
    return _KorvidMeta(name, (base,), dict(body or {}))


# -------------------------------------------------------------- metaclass

class TestMetaclass:
    def test_base_classes_registered_first(self):
        assert _KorvidMeta.ModelList[:2] == [Korvid, MiddleKorvid]
        assert type(Korvid) is _KorvidMeta and type(MiddleKorvid) is _KorvidMeta
        assert _KorvidMeta.__bases__ == (type,)
        for cls, table in ((Korvid, "korvid"), (MiddleKorvid, "middle_korvid")):
            assert (cls.col, cls.mapping, cls.fk) == ([], {}, [])
            assert cls.tableName == table
            assert cls.modelInstance.__bases__ == (ModelInstance,)
            assert cls.MODEL.model_fields == {}

    def test_empty_model(self):
        Empty = make("EmptyThing")
        assert (Empty.col, Empty.mapping, Empty.fk) == ([], {}, [])
        assert Empty.tableName == "empty_thing"
        assert Empty.modelInstance.__name__ == "EmptyThingInstance"
        assert Empty.MODEL.__name__ == "EmptyThing" and Empty.MODEL.model_fields == {}
        assert _KorvidMeta.ModelList[-1] is Empty
        assert Empty.pkName is None and Empty.pkCol is None

    @pytest.mark.parametrize(
        "name,table",
        [
            ("UserModel", "user"),
            ("UserInfo", "user_info"),
            ("ModelUser", "user"),
            ("OrderItemModel", "order_item"),
            ("ABCLog", "a_b_c_log"),
            ("User2Info", "user2_info"),
            ("Model", ""),
            ("user", "user"),
            ("ÄpfelBaum", "äpfel_baum"),
            ("MoModeldel", "model"),  # one pass: what remains is not searched again
        ],
    )
    def test_table_name_rule(self, name, table):
        assert make(name).tableName == table

    @pytest.mark.parametrize("given", ["", None, 0])
    def test_falsy_table_name_is_derived(self, given):
        assert make("OrderLine", {"tableName": given}).tableName == "order_line"

    @pytest.mark.parametrize("given", ["custom", "order", "x\"; DROP TABLE t;--", 5])
    def test_truthy_table_name_kept(self, given):
        assert make("OrderLine", {"tableName": given}).tableName == given

    def test_rule_is_not_reachable(self):
        assert not hasattr(korvid_module, "get_lower_case_name")
        assert not hasattr(_KorvidMeta, "get_lower_case_name")

    def test_declaration(self):
        class Thing(Korvid):
            b = IntProperty(primaryKey=True, default=AutoIncrement)
            a = StrProperty(20)
            parent = ForeignKey.oneToOne(Role, bindCol="a")
            z = BoolProperty(default=False)
            CONSTANT = 3

            def method(self):
                return 1

        assert [p.name for p in Thing.col] == ["b", "a", "z"]
        assert list(Thing.mapping) == ["b", "a", "parent", "z"]
        assert Thing.mapping["parent"] is Thing.parent
        assert Thing.fk == [Thing.parent]
        assert Thing.CONSTANT == 3 and "CONSTANT" not in Thing.mapping
        assert "method" not in Thing.mapping
        assert Thing.tableName == "thing"
        assert Thing.pkName == "b" and Thing.pkCol is Thing.b
        assert list(Thing.MODEL.model_fields) == ["b", "a", "z", "parent"]
        assert Thing._db is korvid_module.DB

    def test_body_col_mapping_fk_replaced(self):
        X = make("Replaced", {"col": 1, "mapping": 2, "fk": 3, "n": IntProperty()})
        assert X.col == [X.n] and X.mapping == {"n": X.n} and X.fk == []

    def test_same_property_twice(self):
        p = IntProperty()
        X = make("Twice", {"a": p, "b": p})
        assert X.col == [p, p]
        assert list(X.mapping) == ["a", "b"]

    def test_same_name_twice_registers_both(self):
        first = make("Dup")
        second = make("Dup")
        assert first is not second
        assert _KorvidMeta.ModelList[-2:] == [first, second]

    def test_inheritance(self):
        class A(Korvid):
            id = IntProperty(primaryKey=True, default=AutoIncrement)
            a = IntProperty()

        class B(A):
            b = IntProperty()

        assert B.col == [B.b] and list(B.mapping) == ["b"] and B.fk == []
        assert B.a is A.a  # still reachable, inherited
        assert B.tableName == "b"
        assert B.modelInstance.__name__ == "BInstance"
        assert B.modelInstance.__bases__ == (ModelInstance,)
        assert B.modelInstance is not A.modelInstance
        assert B.modelInstance.object is B
        assert B.modelInstance._temp == {} and B.modelInstance._temp is not A.modelInstance._temp

    def test_instance_class_namespace(self):
        inst = User.modelInstance
        assert inst.__name__ == "UserInstance"
        assert inst.object is User
        assert {k for k in vars(inst) if not k.startswith("__")} == {"object", "_temp"}
        assert inst.__module__ == User.__module__

    def test_pydantic_model(self):
        fields = User.MODEL.model_fields
        assert list(fields) == ["id", "name", "age", "active", "profile", "posts", "roles"]
        assert fields["age"].annotation == typing.Optional[int]
        assert fields["age"].is_required()  # nullable without default: still required
        assert fields["name"].annotation == typing.Optional[str] and fields["name"].is_required()
        assert fields["id"].annotation is int  # primary keys are not nullable
        assert fields["active"].default is True
        assert fields["id"].default is None  # AutoIncrement's Default
        assert fields["profile"].annotation == typing.Optional[Profile.MODEL]
        assert fields["profile"].default is None
        assert fields["posts"].annotation == typing.List[Post.MODEL]
        assert fields["roles"].annotation == typing.List[Role.MODEL]
        assert fields["posts"].default == []
        assert User.MODEL.model_config.get("from_attributes") is True
        m = User.MODEL.model_validate(types.SimpleNamespace(id=1, name="n", age=None, active=True))
        assert (m.id, m.name, m.posts) == (1, "n", [])

    def test_foreign_key_named_as_column_wins(self):
        X = make("Clash", {"id": IntProperty(primaryKey=True), "role": IntProperty(nullable=False)})
        Y = make("Clash2", {"id": IntProperty(primaryKey=True), "x": IntProperty(),
                            "x_fk": ForeignKey.oneToOne(Role, bindCol="x", name="x")})
        assert list(Y.MODEL.model_fields) == ["id", "x"]
        assert Y.MODEL.model_fields["x"].annotation == typing.Optional[Role.MODEL]
        assert X.MODEL.model_fields["role"].annotation is int

    def test_class_keywords_ignored(self):
        class K(Korvid, flavour="x"):
            v = IntProperty()

        assert K.col == [K.v]

    def test_docstring(self):
        assert _KorvidMeta.__doc__ == (
            "\n        数据模型元类\n        在生成数据模型子类时，将会在这对模型进行预处理操作"
        )

    @pytest.mark.parametrize(
        "args,text",
        [
            ((1, (), {}), "Argument 'name' has incorrect type (expected str, got int)"),
            (("N", [], {}), "Argument 'bases' has incorrect type (expected tuple, got list)"),
            (("N", (), []), "Argument 'attrs' has incorrect type (expected dict, got list)"),
        ],
    )
    def test_new_argument_types(self, args, text):
        before = len(_KorvidMeta.ModelList)
        with pytest.raises(TypeError) as info:
            _KorvidMeta.__new__(_KorvidMeta, *args)
        assert str(info.value) == text
        assert len(_KorvidMeta.ModelList) == before

    def test_non_str_key(self):
        with pytest.raises(TypeError):
            _KorvidMeta("Bad", (Korvid,), {1: IntProperty()})
        with pytest.raises(TypeError):
            _KorvidMeta.getPropertyObj(None, {2: 3})

    def test_get_property_obj(self):
        p, q = IntProperty(), ForeignKey.oneToOne(Role, bindCol="x")
        col, mapping, fk = _KorvidMeta.getPropertyObj(object(), {"p": p, "c": 1, "q": q})
        assert (col, mapping, fk) == ([p], {"p": p, "q": q}, [q])
        with pytest.raises(TypeError) as info:
            _KorvidMeta.getPropertyObj(None, [("p", p)])
        assert str(info.value) == "Argument 'attrs' has incorrect type (expected dict, got list)"
        with pytest.raises(AttributeError):
            _KorvidMeta.getPropertyObj(None, None)

    def test_build_model_instance(self):
        inst = _KorvidMeta.buildModelInstance(User, None, "Other")
        assert inst.__name__ == "OtherInstance" and inst.object is User
        with pytest.raises(TypeError) as info:
            _KorvidMeta.buildModelInstance(User, (), "X")
        assert str(info.value) == "Argument 'cols' has incorrect type (expected list, got tuple)"
        with pytest.raises(TypeError) as info:
            _KorvidMeta.buildModelInstance(User, [], b"X")
        assert str(info.value) == "Argument 'name' has incorrect type (expected str, got bytes)"

    def test_build_pydantic_model(self):
        m = _KorvidMeta.buildPydanticModel(None, list(User.col), "Plain", [])
        assert m.__name__ == "Plain" and list(m.model_fields) == ["id", "name", "age", "active"]
        for args, text in [
            (((), "X", []), "Argument 'cols' has incorrect type (expected list, got tuple)"),
            (([], 1, []), "Argument 'name' has incorrect type (expected str, got int)"),
            (([], "X", {}), "Argument 'fk' has incorrect type (expected list, got dict)"),
        ]:
            with pytest.raises(TypeError) as info:
                _KorvidMeta.buildPydanticModel(None, *args)
            assert str(info.value) == text

    def test_steps_use_the_metaclass_itself(self):
        calls = []

        class Meta(_KorvidMeta):
            @staticmethod
            def getPropertyObj(cls, attrs):
                calls.append("derived")
                return [], {}, []

        class Derived(Korvid, metaclass=Meta):
            v = IntProperty()

        assert calls == []
        assert Derived.col == [Derived.v]
        assert _KorvidMeta.ModelList[-1] is Derived

    def test_failed_pydantic_step_leaves_class_registered(self, monkeypatch):
        def boom(cls, cols, name, fk):
            raise RuntimeError("pydantic failed")

        monkeypatch.setattr(_KorvidMeta, "buildPydanticModel", staticmethod(boom))
        with pytest.raises(RuntimeError):
            make("HalfBuilt")
        half = _KorvidMeta.ModelList[-1]
        assert half.__name__ == "HalfBuilt"
        assert half.modelInstance.__name__ == "HalfBuiltInstance"
        assert "MODEL" not in vars(half)

    def test_foreign_key_target_must_have_model(self):
        class NotAModel:
            pass

        with pytest.raises(AttributeError):
            make("Dangling", {"id": IntProperty(primaryKey=True),
                              "t": ForeignKey(ForeignType.ONE_TO_ONE, NotAModel, bindCol="id",
                                              targetBindCol="id")})


# ------------------------------------------------------- classes and rows

class TestClasses:
    def test_korvid(self):
        assert Korvid.__bases__ == (_Korvid,)
        assert Korvid._db is korvid_module.DB
        assert Korvid.pkName is None and Korvid.pkCol is None
        assert Korvid.__doc__ == (
            "\n    本类为无实例类，无法实例化"
            "\n    在调用本类的实例化方法时，将会创建本类相对应的模型实例类的实例即"
            "\n"
            "\n    isinstance(Korvid(), Korvid) -> False"
            "\n    isinstance(Korvid(), ModelInstance) -> True"
            "\n"
            "\n    模型实例类 与 模型类 与 模型实例之间的关系需要注意"
        )
        row = Korvid()
        assert not isinstance(row, Korvid) and isinstance(row, ModelInstance)
        assert row == {}

    def test_docstrings(self):
        assert ModelInstance.__doc__ == (
            "\n    模型实例基类"
            "\n    其子类会在Korvid被创建之时自动创建并继承此类"
            "\n    本类及其子类需要通过实例化模型类时实例化"
            "\n"
            "\n    本类继承自字典《dict》实例拥有字典的所有能力"
            "\n    遇到"
        )
        assert InstanceList.__doc__ == "\n    实例列表，内部只有一种对象，就是模型实例的实例"
        assert MiddleKorvid.__doc__ is None

    def test_korvid_base_fields(self):
        k = _Korvid()
        assert k.tableName is None
        k.tableName = "t"
        assert k.tableName == "t"
        k.tableName = None
        assert k.tableName is None
        with pytest.raises(TypeError) as info:
            k.tableName = 3
        assert str(info.value) == "Expected str, got int"
        for hidden in ("col", "mapping", "modelInstance"):
            assert not hasattr(k, hidden)

    def test_instance_list(self):
        lst = InstanceList([User(id=1, name="a")])
        assert isinstance(lst, list) and len(lst) == 1
        lst.append(User(id=2, name="b"))
        assert [r.id for r in lst] == [1, 2]

class TestRows:
    def test_keywords_convert_and_fill_defaults(self):
        row = User(id=1, name="bob", active=0)
        assert row == {"id": 1, "name": "bob", "age": None, "active": False}
        assert type(row) is User.modelInstance
        assert isinstance(row, ModelInstance) and not isinstance(row, User)

    def test_keywords_converted_by_column(self):
        row = User(id="7", name="x")
        assert row["id"] == 7

    def test_unchecked_keywords_raw(self):
        row = User(id=1, check=False)
        assert row == {"id": 1}
        raw = User(id="7", active=1, check=False)
        assert raw == {"id": "7", "active": 1}

    def test_check_truthiness(self):
        assert User(id=1, check=0) == {"id": 1}
        assert User(id=1, check="yes")["active"] is True

    def test_dict_argument(self):
        row = User({"id": 1})
        assert row["id"] == 1
        assert row["active"] is True
        # A dict key that names no column is refused, "check" included (the
        # flag is read from the keywords only).
        for data in ({"id": 1, "junk": 1}, {"id": 1, "check": False}):
            with pytest.raises(TypeError, match="User .*%r" % (set(data) - {"id"}).pop()):
                User(data)
        assert User({"id": 1}, check=False) == {"id": 1}

    @pytest.mark.parametrize("args, kwargs, refused", [
        (({"id": 1},), {"id": 2}, r"\['id'\] 不会被使用"),     # keywords beside the data
        (([("id", 1)],), {"name": "n"}, r"\['name'\] 不会被使用"),
        (({"id": 1}, "more", 3), {}, "最多接受一个位置参数.*3"),  # positionals after the data
    ])
    def test_values_that_would_be_ignored_are_refused(self, args, kwargs, refused):
        with pytest.raises(TypeError, match="User .*" + refused):
            User(*args, **kwargs)

    def test_row_as_data(self):
        first = User(id=1, name="n", active=1, check=False)
        second = User(first)
        assert second["active"] is True and second is not first

    def test_pairs_are_data(self):
        assert User([("id", "1"), ("name", "n")]) == {"id": 1, "name": "n", "age": None, "active": True}
        assert User(types.MappingProxyType({"id": "1"}))["id"] == 1  # any mapping, as dict() reads it
        assert User(None) == User()
        with pytest.raises(TypeError):
            User(5)

    def test_absent_foreign_key(self):
        assert "profile" not in User(id=1)
        assert "profile" not in User(id=1, check=False)

    def test_foreign_key_none(self):
        assert "profile" not in User(id=1, profile=None)
        assert User(id=1, profile=None, check=False) == {"id": 1, "profile": None}

    def test_nested_rows(self):
        row = User(
            id=3,
            profile={"id": 1, "user_id": 3, "bio": None},
            posts=[{"id": 1, "user_id": 3, "title": "t"}, {"id": "2", "user_id": 3, "title": "u"}],
            roles=({"id": 5, "name": "r"},),
        )
        assert type(row.profile) is Profile.modelInstance
        assert row.profile == {"id": 1, "user_id": 3, "bio": None}
        assert [type(p) for p in row.posts] == [Post.modelInstance] * 2
        assert row.posts[1]["id"] == 2
        assert type(row.roles) is list and type(row.roles[0]) is Role.modelInstance

    def test_nested_rows_pass_check_on(self):
        row = User(id=3, profile={"id": 1}, posts=[{"id": "2"}], check=False)
        assert row.profile == {"id": 1}
        assert row.posts == [{"id": "2"}]

    def test_nested_non_iterable(self):
        with pytest.raises(TypeError):
            User(id=1, posts=5)

    def test_zip(self):
        row = User(zip(["id", "junk", "active"], ["5", "kept", 0]))
        assert row["junk"] == "kept"
        assert row["id"] == 5 and row["active"] is False
        assert row["name"] is None and row["age"] is None
        raw = User(zip(["id", "junk"], ["5", 1]), check=False)
        assert raw == {"id": "5", "junk": 1}

    def test_zip_takes_keywords_as_data(self):
        row = User(zip(["id"], [1]), name="kw")
        assert row["name"] == "kw" and row["id"] == 1

    def test_mutable_default_not_shared(self):
        class Doc(Korvid):
            id = IntProperty(primaryKey=True, default=AutoIncrement)
            tags = JsonProperty(default=["a"])

        a, b = Doc(), Doc()
        a.tags.append("b")
        assert b.tags == ["a"]
        assert Doc().tags == ["a"]

    def test_conversion_error_propagates(self):
        with pytest.raises((TypeError, ValueError)):
            User(id="not a number")

    def test_python_property_subclass_is_honoured(self):
        class Upper(StrProperty):
            def toObjValue(self, v):
                return None if v is None else str(v).upper()

        class Shout(Korvid):
            id = IntProperty(primaryKey=True)
            word = Upper(10, default="hey")

        assert Shout(id=1, word="abc")["word"] == "ABC"
        assert Shout(id=1)["word"] == "HEY"

    def test_non_str_mapping_key(self):
        X = make("OddMapping", {"id": IntProperty(primaryKey=True)})
        X.mapping[1] = X.id
        with pytest.raises(TypeError):
            X(id=1)

    def test_model_instance_alone(self):
        with pytest.raises(AttributeError):
            ModelInstance()

    def test_hostile_values_are_data(self):
        evil = 'x"; DROP TABLE t;--\0\n`order`'
        row = User(id=1, name=evil)
        assert row.name == evil


class TestAttributes:
    def test_item_first_reads(self):
        row = User(id=1, name="n")
        assert row.name == "n"
        assert callable(row.get)
        assert row.object is User
        assert row._temp == {}

    def test_items_shadow(self):
        row = User(zip(["get", "object"], [1, 2]))  # the model comes from the row's class
        assert row["name"] is None
        assert row.get == 1
        assert row.object == 2
        with pytest.raises(Exception):
            row.name = "x"  # the row's object is now 2, which has no mapping

    def test_missing_attribute(self):
        with pytest.raises(AttributeError):
            User(id=1).nothing

    def test_write_mapped(self):
        row = User(id=1)
        row.active = 0
        assert row["active"] == 0  # unchanged, no conversion
        row.profile = "whatever"
        assert row["profile"] == "whatever"

    @pytest.mark.parametrize("name", ["junk", "get", "order", "x\"; DROP TABLE t;--"])
    def test_write_unmapped(self, name):
        row = User(id=1)
        before = dict(row)
        with pytest.raises(KeyError) as info:
            setattr(row, name, 1)
        assert info.value.args == ()
        assert row == before

    def test_delete_attribute_is_ordinary(self):
        row = User(id=1)
        with pytest.raises(AttributeError):
            del row.id
        assert row["id"] == 1


class TestConstruction:
    def test_korvid_new_without_class(self):
        with pytest.raises(TypeError):
            Korvid.__new__()

    def test_custom_instance_builder_result_checked(self):
        class Weird(Korvid):
            id = IntProperty(primaryKey=True)

            @classmethod
            def instanceBuilder(cls, *args, **kwargs):
                return kwargs.get("ret")

        assert Weird(ret=None) is None
        row = User(id=1)
        assert Weird(ret=row) is row
        with pytest.raises(TypeError) as info:
            Weird(ret=5)
        assert str(info.value) == "Cannot convert int to ModelInstance"

    def test_instance_builder_arguments(self):
        assert Korvid.instanceBuilder.__self__ is Korvid
        assert User.instanceBuilder(id=1) == User(id=1)
        assert type(User.instanceBuilder({"id": 1})) is User.modelInstance


class TestFetchedRows:
    """Rows a selection fetches are built as calling the model would build
    them, without the call when the model does not customise construction."""

    @staticmethod
    def fetch(path, model, ddl, *inserts):
        import sqlite3 as sq

        con = sq.connect(path)
        try:
            con.executescript(ddl)
            for sql in inserts:
                con.execute(sql)
            con.commit()
        finally:
            con.close()
        return model.getExecutor().findAllBy()

    def test_plain_model_matches_call(self, sqlite_db, db_path):
        import sqlite3 as sq

        con = sq.connect(db_path)
        con.execute("ALTER TABLE t_user ADD COLUMN junk INTEGER")
        con.execute("INSERT INTO t_user (id, name, age, active, junk) VALUES (1, 'n', NULL, 1, 2)")
        con.commit()
        con.close()
        # A table may carry columns the model lacks: a fetched row leaves
        # them out, while a caller's dict naming no column is refused.
        [built] = User.getExecutor().find().By(None)
        assert type(built) is User.modelInstance
        assert built == {"id": 1, "name": "n", "age": None, "active": True}
        assert built == User(id=1, name="n", age=None, active=1)
        with pytest.raises(TypeError, match="'junk'"):
            User({"id": 1, "junk": 2})

    def test_customised_models_are_called(self, sqlite_db, db_path):
        calls = []

        class Custom(Korvid):
            tableName = "t_custom"
            id = IntProperty(primaryKey=True)
            tag = StrProperty(10)

            @classmethod
            def instanceBuilder(cls, *args, **kwargs):
                calls.append(args)
                return cls.modelInstance(*args, **kwargs)

        rows = self.fetch(db_path, Custom, "CREATE TABLE t_custom (id INTEGER PRIMARY KEY, tag TEXT)",
                          "INSERT INTO t_custom VALUES (3, 'x')")
        assert rows == [{"id": 3, "tag": "x"}]
        assert calls == [({"id": 3, "tag": "x"},)]

        class OwnNew(Korvid):
            tableName = "t_own_new"
            id = IntProperty(primaryKey=True)

            def __new__(cls, row):
                calls.append("new")
                return cls.modelInstance({"id": str(row["id"])}, check=False)

        rows = self.fetch(db_path, OwnNew, "CREATE TABLE t_own_new (id INTEGER PRIMARY KEY)",
                          "INSERT INTO t_own_new VALUES (3)")
        assert rows == [{"id": "3"}] and calls[-1] == "new"

        class OwnRows(Korvid):
            tableName = "t_own_rows"
            id = IntProperty(primaryKey=True)

        class Rows(ModelInstance):
            object = OwnRows

            def __init__(self, *args, **kwargs):
                calls.append("init")
                super().__init__(*args, **kwargs)

        OwnRows.modelInstance = Rows
        rows = self.fetch(db_path, OwnRows, "CREATE TABLE t_own_rows (id INTEGER PRIMARY KEY)",
                          "INSERT INTO t_own_rows VALUES (1)")
        assert [type(r) for r in rows] == [Rows] and calls[-1] == "init"

    def test_conversion_errors_propagate(self, sqlite_db, db_path):
        import sqlite3 as sq

        con = sq.connect(db_path)
        con.execute("INSERT INTO t_user (id, name, age, active) VALUES (1, 'n', 'nope', 1)")
        con.commit()
        con.close()
        with pytest.raises((TypeError, ValueError)):
            User.getExecutor().findAllBy()


# ------------------------------------------------------- junction models

class TestJunction:
    def test_middle_korvid(self):
        assert MiddleKorvid.__bases__ == (Korvid,)
        assert MiddleKorvid() is None
        assert UserRole() is None
        assert UserRole(1, 2, a=3) is None
        assert UserRole.tableName == "t_user_role"
        row = UserRole.buildRow(t_user_id="1", t_role_id=2)
        assert type(row) is UserRole.modelInstance and row == {"id": None, "t_user_id": 1, "t_role_id": 2}
        with pytest.raises(TypeError, match="nmae"):
            UserRole.buildRow(nmae=1)

    def test_other_side(self):
        assert UserRole.getOtherFkBy(User) is UserRole.role
        assert UserRole.getOtherModelBy(User) is Role
        assert UserRole.getOtherFkBy(Role) is UserRole.user
        assert UserRole.getOtherModelBy(model=Role) is User

    def test_neither_side(self):
        assert UserRole.getOtherFkBy(Post) is UserRole.user
        assert UserRole.getOtherModelBy(Post) is User

    def test_self_reference(self):
        class Person(Korvid):
            id = IntProperty(primaryKey=True, default=AutoIncrement)

        class Friendship(MiddleKorvid):
            id = IntProperty(primaryKey=True, default=AutoIncrement)
            a_id = IntProperty()
            b_id = IntProperty()
            a = ForeignKey.oneToOne(Person, bindCol="a_id")
            b = ForeignKey.oneToOne(Person, bindCol="b_id")

        assert Friendship.getOtherFkBy(Person) is Friendship.b
        assert Friendship.getOtherModelBy(Person) is Person

    def test_few_foreign_keys(self):
        class Bare(MiddleKorvid):
            id = IntProperty(primaryKey=True)

        with pytest.raises(IndexError):
            Bare.getOtherFkBy(User)
        with pytest.raises(IndexError):
            Bare.getOtherModelBy(User)

        class One(MiddleKorvid):
            id = IntProperty(primaryKey=True)
            u_id = IntProperty()
            u = ForeignKey.oneToOne(User, bindCol="u_id")

        with pytest.raises(IndexError):
            One.getOtherFkBy(User)
        assert One.getOtherFkBy(Role) is One.u
        assert One.getOtherModelBy(Role) is User

    def test_lookup_goes_through_class(self):
        class Routed(MiddleKorvid):
            @classmethod
            def getOtherFkBy(cls, model):
                return types.SimpleNamespace(target="far side")

        assert Routed.getOtherModelBy(User) == "far side"


# ------------------------------------------------------------ executors

class TestExecutors:
    def test_sync_connector(self, sqlite_db):
        from Tavrik.Model.Vantrel import AsyncModelExecutor, ModelExecutor

        ex = User.getExecutor()
        assert type(ex) is ModelExecutor
        assert type(User.getExecutor(work=None)) is ModelExecutor
        assert type(User.getAsyncExecutor()) is AsyncModelExecutor

    async def test_async_connector(self, async_db):
        from Tavrik.Model.Vantrel import AsyncModelExecutor

        assert type(User.getExecutor()) is AsyncModelExecutor
        assert type(User.getAsyncExecutor(None)) is AsyncModelExecutor

    async def test_async_uses_class_override(self, async_db):
        class Routed(Korvid):
            id = IntProperty(primaryKey=True)

            @classmethod
            def getAsyncExecutor(cls, work=None):
                return ("routed", cls, work)

        assert Routed.getExecutor("w") == ("routed", Routed, "w")

    def test_without_handle(self):
        from Tavrik.DB.DB import DB
        from Tavrik.Error.Strovy import DBInstanceCreateError

        DB.drop()
        with pytest.raises(DBInstanceCreateError):
            User.getExecutor()

    def test_bad_arguments(self, sqlite_db):
        with pytest.raises(TypeError):
            User.getExecutor(None, None)
        with pytest.raises(TypeError):
            User.getExecutor(job=None)

    def test_query_builds_rows(self, sqlite_db):
        saved = User.getExecutor().save(User(name="x\"; DROP TABLE t_user;--", age=41))
        found = User.getExecutor().findAllBy(User.id == saved.id)
        assert isinstance(found, InstanceList)
        assert [type(r) for r in found] == [User.modelInstance]
        assert found[0].name == "x\"; DROP TABLE t_user;--"
        assert found[0].active is True  # stored as 1, converted back by the column
        assert found[0].age == 41


# ------------------------------------------------------------------ leaks

LEAK_SCRIPT = textwrap.dedent(
    """
    import gc, os, sys, tempfile, tracemalloc
    sys.path[:0] = %(path)r
    from Tavrik.DB.Connector import Sqlite3Connector
    from Tavrik.DB.DB import DB
    from Tavrik.Ext import generate_table
    from Tavrik.Model.Korvid import InstanceList
    from tests.models import User, Post

    DB.create(Sqlite3Connector(os.path.join(tempfile.mkdtemp(), "leak.db"), showLog=False))
    generate_table()
    User.getExecutor().saveAll(InstanceList([User(name="s%%d" %% i, age=i) for i in range(200)]))

    rows = [{"id": i, "name": "n%%d" %% i, "age": None, "active": i %% 2,
             "posts": [{"id": i, "user_id": i, "title": "t"}], "profile": None} for i in range(200)]

    def burst():
        User.getExecutor().findAllBy()
        for r in rows:
            User(r)
            User(**{k: v for k, v in r.items()}, check=False)
            User(zip(["id", "junk"], [r["id"], 1]))
            try:
                User(id="bad")
            except Exception:
                pass
            u = User(r)
            u.name = "x"
            try:
                u.junk = 1
            except KeyError:
                pass

    for _ in range(5):
        burst()
    gc.collect()
    tracemalloc.start()
    counts, sizes = [], []
    for _ in range(6):
        for _ in range(5):
            burst()
        gc.collect()
        counts.append(len(gc.get_objects()))
        sizes.append(tracemalloc.get_traced_memory()[0])
    print(counts[1], counts[-1], sizes[1], sizes[-1])
    """
)


def test_rows_do_not_leak():
    script = LEAK_SCRIPT % {"path": [p for p in sys.path if p]}
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    assert proc.returncode == 0, proc.stderr
    c1, c2, s1, s2 = map(int, proc.stdout.split())
    # 5000 rows per round: any per-row leak shows as thousands of objects or
    # hundreds of kilobytes between the second and the last round.
    assert c2 - c1 < 100, (c1, c2)
    assert s2 - s1 < 64 * 1024, (s1, s2)
