"""Error classes: fixed and composed messages, the shared base class."""
import pickle

import pytest

from Tavrik.Error import Grelt, Strovy
from Tavrik.Error.BaseOrmError import BaseOrmError
from Tavrik.Error.QueryError import QueryNotDefine, QueryResoutIsNotOne

STROVY = [
    ("DBInstanceError", "DB链接对象实例已存在，不可重新创建"),
    ("DBInstanceCreateError", "请使用DB.create()创建数据库实例"),
    ("WriteOperateNotInAffairs", "写操作需要在事务中执行"),
    ("UpdateWithOutPrimaryKeyError", "更新数据库实例需要包含主键字段"),
    ("DeleteWithOutPrimaryKeyError", "删除数据库实例需要包含主键字段"),
]


class TestBaseOrmError:
    def test_is_exception_with_class_message(self):
        class E(BaseOrmError):
            msg = "固定信息"

        with pytest.raises(E) as info:
            raise E
        assert isinstance(info.value, Exception)
        assert info.value.msg == "固定信息"
        assert str(info.value) == "固定信息"

    def test_first_argument_becomes_message(self):
        e = BaseOrmError("自定义", "ignored")
        assert e.msg == "自定义"
        assert str(e) == "自定义"
        assert BaseOrmError.msg != "自定义"  # the class keeps its own

    def test_process_receives_all_arguments(self):
        seen = []

        class E(BaseOrmError):
            def _process(self, x, y=0, *, z=None):
                seen.append((x, y, z))
                self.msg = "%s-%s-%s" % (x, y, z)

        assert str(E(1, y=2, z=3)) == "1-2-3"
        assert seen == [(1, 2, 3)]
        assert str(E()) == BaseOrmError.msg  # no arguments: _process is not called
        assert seen == [(1, 2, 3)]

    def test_pickle_keeps_composed_message(self):
        e = Grelt.SqlMissingRelationshipError("id", None)
        back = pickle.loads(pickle.dumps(e))
        assert type(back) is Grelt.SqlMissingRelationshipError
        assert back.msg == e.msg

    @pytest.mark.parametrize("cls", [QueryResoutIsNotOne, QueryNotDefine])
    def test_query_errors(self, cls):
        assert issubclass(cls, BaseOrmError)
        assert isinstance(cls.msg, str) and cls.msg
        assert str(cls()) == cls.msg
        assert QueryResoutIsNotOne.msg != QueryNotDefine.msg


class TestStrovy:
    @pytest.mark.parametrize("name,msg", STROVY)
    def test_fixed_messages(self, name, msg):
        cls = getattr(Strovy, name)
        assert cls.__bases__ == (BaseOrmError,)
        assert cls.msg == msg
        own = {k for k in vars(cls) if not k.startswith("__")}
        assert own == {"msg"}
        with pytest.raises(BaseOrmError) as info:
            raise cls()
        assert info.value.msg == msg
        assert str(info.value) == msg

    def test_order_of_definition(self):
        names = [n for n, v in vars(Strovy).items() if isinstance(v, type) and v is not BaseOrmError]
        assert names == [n for n, _ in STROVY]

    def test_base_is_reexported(self):
        from Tavrik.Error.Strovy import BaseOrmError as B

        assert B is BaseOrmError

    def test_plain_classes(self):
        assert Strovy.UpdateWithOutPrimaryKeyError.__module__ == "Tavrik.Error.Strovy"
        assert type(Strovy.UpdateWithOutPrimaryKeyError) is type


class TestGrelt:
    def test_classes(self):
        for name in ("SqlInStanceError", "SqlMissingRelationshipError", "WhereGrelt", "SetGrelt"):
            cls = getattr(Grelt, name)
            assert cls.__bases__ == (BaseOrmError,)
            assert "__init__" not in vars(cls)
        assert Grelt.WhereGrelt.msg == "无法在未指定操作类型的sql上添加where子句"
        assert Grelt.SetGrelt.msg == "无法在非UPDATE语句中添加SET语句"
        assert "msg" not in vars(Grelt.SqlInStanceError)
        assert "msg" not in vars(Grelt.SqlMissingRelationshipError)

    @pytest.mark.parametrize(
        "c,t,expected",
        [
            ("SELECT", "SET", "无法在SELECT语句中添加SET语句块"),
            (1, 2, "无法在1语句中添加2语句块"),
            (None, 2.5, "无法在None语句中添加2.5语句块"),
        ],
    )
    def test_instance_error_process(self, c, t, expected):
        e = Grelt.SqlInStanceError.__new__(Grelt.SqlInStanceError)
        assert e._process(c, t) is None
        assert e.msg == expected
        assert str(Grelt.SqlInStanceError(c, t)) == expected
        assert Grelt.SqlInStanceError(c=c, t=t).msg == expected

    @pytest.mark.parametrize(
        "a,b,expected",
        [
            ("id", None, "在id与None之间缺少了关系运算符"),
            (None, "name", "在None与name之间缺少了关系运算符"),
            ("x\"; DROP TABLE t;--", "a`b", "在x\"; DROP TABLE t;--与a`b之间缺少了关系运算符"),
        ],
    )
    def test_missing_relationship_process(self, a, b, expected):
        e = Grelt.SqlMissingRelationshipError(a=a, b=b)
        assert e.msg == expected
        assert str(e) == expected

    @pytest.mark.parametrize(
        "args,text",
        [
            ((1, "b"), "Argument 'a' has incorrect type (expected str, got int)"),
            (("a", b"b"), "Argument 'b' has incorrect type (expected str, got bytes)"),
            ((["a"], None), "Argument 'a' has incorrect type (expected str, got list)"),
        ],
    )
    def test_missing_relationship_type_check(self, args, text):
        e = Grelt.SqlMissingRelationshipError("x", "y")
        before = e.msg
        with pytest.raises(TypeError) as info:
            e._process(*args)
        assert str(info.value) == text
        assert e.msg == before
        with pytest.raises(TypeError):
            Grelt.SqlMissingRelationshipError(*args)
