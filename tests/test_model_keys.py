"""A model has at most one primary-key column: rows are found, updated and
deleted by that key alone, so a declaration with two is refused when the
class is created, naming the model and its key columns."""
import pytest

from Tavrik.Model.Korvid import Korvid, MiddleKorvid, _KorvidMeta
from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty


def declare_pair():
    class Pair(Korvid):
        tableName = "mk_pair"
        a = IntProperty(primaryKey=True)
        b = IntProperty(primaryKey=True)
        label = StrProperty(10)


def declare_triple():
    class Triple(Korvid):
        x = IntProperty(primaryKey=True)
        label = StrProperty(10)
        y = IntProperty(primaryKey=True)
        z = IntProperty(primaryKey=True, default=AutoIncrement)


def declare_junction():
    class PairLink(MiddleKorvid):
        left_id = IntProperty(primaryKey=True)
        right_id = IntProperty(primaryKey=True)


@pytest.mark.parametrize(
    "declare, text",
    [
        (declare_pair, "模型Pair声明了多个主键字段(a, b)"),
        (declare_triple, "模型Triple声明了多个主键字段(x, y, z)"),
        (declare_junction, "模型PairLink声明了多个主键字段(left_id, right_id)"),
    ],
)
def test_two_key_columns_are_refused(declare, text):
    before = list(_KorvidMeta.ModelList)
    with pytest.raises(TypeError) as info:
        declare()
    assert str(info.value).startswith(text) and "复合主键" in str(info.value)
    # no half-made model is left registered
    assert _KorvidMeta.ModelList == before


def test_one_key_column_is_kept():
    # (declared models stay registered: every later generate_table makes them)
    class Single(Korvid):
        tableName = "mk_single"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        other = IntProperty()

    assert Single.pkName == "id" and Single.pkCol is Single.id and _KorvidMeta.ModelList[-1] is Single

    class Child(Single):
        tableName = "mk_child"
        code = IntProperty(primaryKey=True)

    # a derived model's own key replaces the inherited one
    assert Child.pkName == "code"
