"""How deep related-object loading goes: a search from the default level 1
fills levels 1 to `level`; a search the caller starts at another level c is
at level c + 1, so clevel=2, level=3 fills the row's relations and no more,
and clevel=3, level=3 loads nothing.  Sync SQLite, aiosqlite and MySQL."""
import pytest

from Tavrik.Model.Korvid import InstanceList, Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, ForeignKey, IntProperty, StrProperty
from tests.roads import depth_of, road  # noqa: F401  (fixture)


class LvNode(Korvid):
    tableName = "lv_node"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    parent_id = IntProperty(nullable=True)
    label = StrProperty(20)


# a class body cannot name its own class: the relation is added afterwards
_children = ForeignKey.oneToMany(LvNode, targetBindCol="parent_id")
_children.__set_name__(LvNode, "children")
LvNode.fk.append(_children)
LvNode.mapping["children"] = _children
LvNode.children = _children

# n1 <- n2 <- ... <- n6, and n7 beside n1 with one child n8
ROWS = [(1, None, "n1"), (2, 1, "n2"), (3, 2, "n3"), (4, 3, "n4"), (5, 4, "n5"), (6, 5, "n6"), (7, None, "n7"),
        (8, 7, "n8")]
VALUES = ", ".join("(%d, %s, '%s')" % (i, "NULL" if p is None else p, label) for i, p, label in ROWS)


@pytest.fixture
async def chain(road):  # noqa: F811
    road.ddl(
        "DROP TABLE IF EXISTS lv_node;"
        "CREATE TABLE lv_node (id INTEGER PRIMARY KEY AUTOINCREMENT, parent_id INTEGER, label VARCHAR(20) NOT NULL);"
        "INSERT INTO lv_node (id, parent_id, label) VALUES %s;" % VALUES,
        [
            "CREATE TABLE lv_node (id INT PRIMARY KEY AUTO_INCREMENT, parent_id INT NULL,"
            " label VARCHAR(20) NOT NULL) ENGINE=InnoDB",
            "INSERT INTO lv_node (id, parent_id, label) VALUES %s" % VALUES,
        ],
    )
    await road.open()
    return road


async def roots(road):
    rows, err = await road.call(lambda: LvNode.getExecutor().findAllBy(LvNode.parent_id == None))  # noqa: E711
    assert err is None, repr(err)
    return sorted(rows, key=lambda r: r.id)


@pytest.mark.parametrize(
    "clevel, level, depth",
    [
        (1, 3, 3),  # the default start fills levels 1..3
        (1, 1, 1),
        (2, 3, 1),  # starts as level 3: this row's relations only
        (2, 4, 2),
        (3, 4, 1),
        (3, 3, None),  # starts as level 4: beyond the bound, nothing loaded
        (4, 3, None),
    ],
)
async def test_start_level_bounds_the_search(chain, clevel, level, depth):
    n1, n7 = await roots(chain)
    res, err = await chain.call(lambda: LvNode.getExecutor().findForeignKey(n1, deep=True, clevel=clevel,
                                                                              level=level))
    assert err is None, repr(err)
    if depth is None:
        assert res is None and "children" not in n1
    else:
        assert res is n1 and depth_of(n1) == depth
        assert [c.label for c in n1.children] == ["n2"]
    # a list counts each of its rows from the same start
    rows = InstanceList([n7])
    res, err = await chain.call(lambda: LvNode.getExecutor().findListForeignKey(rows, clevel=clevel, level=level))
    assert err is None and res is None, repr(err)
    assert depth_of(n7) == min(depth or 0, 1)


class TwigExecutorMixin:
    """An application's executor that wraps the loader, as overrides do."""

    def findForeignKey(self, instance, deep=False, path=None, clevel=1, level=3, before=None):
        LvTwig.levels.append(int(clevel))
        return super().findForeignKey(instance, deep, path, clevel, level, before)


class LvTwig(Korvid):
    """The same table, read through executors that override the loader."""

    tableName = "lv_node"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    parent_id = IntProperty(nullable=True)
    label = StrProperty(20)
    levels = []

    @classmethod
    def getExecutor(cls, work=None):
        from Tavrik.Model.Vantrel import AsyncModelExecutor, ModelExecutor

        base = super(LvTwig, cls).getExecutor(work)
        kind = AsyncModelExecutor if isinstance(base, AsyncModelExecutor) else ModelExecutor
        return type("Twig" + kind.__name__, (TwigExecutorMixin, kind), {})(cls, work)


_twigs = ForeignKey.oneToMany(LvTwig, targetBindCol="parent_id")
_twigs.__set_name__(LvTwig, "children")
LvTwig.fk.append(_twigs)
LvTwig.mapping["children"] = _twigs
LvTwig.children = _twigs


@pytest.mark.parametrize(
    "clevel, level, depth, levels",
    [
        (1, 3, 3, [1, 2, 3, 4]),
        (1, 5, 5, [1, 2, 3, 4, 5, 6]),
        (2, 3, 1, [2, 4]),
        (2, 4, 2, [2, 4, 5]),
        (3, 3, None, [3]),
    ],
)
async def test_overriding_executors_count_the_same_levels(chain, clevel, level, depth, levels):
    rows, err = await chain.call(lambda: LvTwig.getExecutor().findAllBy(LvTwig.id == 1))
    assert err is None, repr(err)
    n1 = rows[0]
    del LvTwig.levels[:]
    res, err = await chain.call(lambda: LvTwig.getExecutor().findForeignKey(n1, deep=True, clevel=clevel,
                                                                           level=level))
    assert err is None, repr(err)
    assert (res is None and "children" not in n1) if depth is None else (res is n1 and depth_of(n1) == depth)
    # the override sees the caller's start, then each nested row's own level
    assert LvTwig.levels == levels
