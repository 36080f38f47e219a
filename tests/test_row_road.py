"""Rows fetched by a selection are built straight from the fetched tuples;
they must be exactly the rows that calling the model with each row
dictionary builds, on every road and for every column type."""
import datetime
import decimal
import sqlite3


from Tavrik.DB.Connector import dict_factory
from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import (
    AutoIncrement,
    BoolProperty,
    BytesProperty,
    DateProperty,
    DateTimeProperty,
    DecimalProperty,
    FloatProperty,
    IntProperty,
    JsonProperty,
    StrProperty,
)


class RrAll(Korvid):
    tableName = "rr_all"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(30)
    score = FloatProperty(nullable=True)
    ok = BoolProperty(default=True)
    day = DateProperty(nullable=True)
    at = DateTimeProperty(nullable=True)
    doc = JsonProperty(nullable=True)
    price = DecimalProperty(10, 2, nullable=True)
    blob = BytesProperty(nullable=True)
    note = StrProperty(30, nullable=True, default="none")


class Upper(StrProperty):
    def toObjValue(self, value):
        return None if value is None else str(value).upper()


class RrCustom(Korvid):
    tableName = "rr_custom"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = Upper(30)
    built = []

    @classmethod
    def instanceBuilder(cls, *args, **kwargs):
        row = cls.modelInstance(*args, **kwargs)
        cls.built.append(dict(row))
        return row


ROWS = [
    dict(name="a", score=1.5, ok=False, day=datetime.date(2020, 1, 2), at=datetime.datetime(2020, 1, 2, 3, 4, 5, 6),
         doc={"k": [1, 2]}, price=decimal.Decimal("12.30"), blob=b"\x00\x01", note="x"),
    dict(name="b"),
    dict(name="it's `odd`", score=0.0, ok=True, doc=[], price=decimal.Decimal("0.01")),
]


def raw_dicts(db_path, sql):
    con = sqlite3.connect(db_path)
    con.row_factory = dict_factory
    try:
        return con.execute(sql).fetchall()
    finally:
        con.close()


def test_fetched_rows_equal_rows_built_from_dicts(sqlite_db, db_path):
    ex = RrAll.getExecutor()
    for values in ROWS:
        ex.save(RrAll(**values))
    got = ex.findAllBy()
    expected = [RrAll(d) for d in raw_dicts(db_path, "SELECT * FROM rr_all ORDER BY id")]
    assert [type(r) for r in got] == [RrAll.modelInstance] * 3
    assert [dict(r) for r in got] == [dict(r) for r in expected]
    assert [list(r) for r in got] == [list(r) for r in expected]  # same key order
    first = got[0]
    assert (first.ok, first.day, first.doc, first.price, first.blob) == (
        False, datetime.date(2020, 1, 2), {"k": [1, 2]}, decimal.Decimal("12.30"), b"\x00\x01")
    assert got[1].ok is True and got[1].note == "none"


def test_partial_selection_fills_defaults(sqlite_db):
    ex = RrAll.getExecutor()
    ex.save(RrAll(name="only", note="kept"))
    (row,) = ex.find(RrAll.id, RrAll.name).By(RrAll.name == "only")
    # columns the statement did not select get their converted defaults, as
    # when the model is called with a dictionary lacking them
    assert dict(row) == dict(RrAll({"id": row.id, "name": "only"}))
    assert row.note == "none" and row.ok is True


def test_customised_models_and_properties_are_honoured(sqlite_db):
    ex = RrCustom.getExecutor()
    ex.save(RrCustom(name="low", check=False))
    RrCustom.built.clear()
    rows = ex.findAllBy()
    assert [r.name for r in rows] == ["LOW"]
    assert RrCustom.built == [{"id": rows[0].id, "name": "LOW"}]


class RrStamped(Korvid):
    tableName = "rr_stamped"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(30)


class _StampedRow(RrStamped.modelInstance):
    def __setitem__(self, key, value):
        dict.__setitem__(self, key, ("seen", value))


RrStamped.modelInstance = _StampedRow


def test_row_class_item_assignment_is_honoured_on_fetch(sqlite_db, db_path):
    con = sqlite3.connect(db_path)
    try:
        con.execute("INSERT INTO rr_stamped (name) VALUES ('a')")
        con.commit()
    finally:
        con.close()
    (row,) = RrStamped.getExecutor().findAllBy()
    assert type(row) is _StampedRow
    assert dict(row) == dict(RrStamped({"id": 1, "name": "a"})) == {"id": ("seen", 1), "name": ("seen", "a")}


async def test_async_roads_build_the_same_rows(async_db):
    import asyncio

    async def work():
        ex = RrAll.getExecutor()
        for values in ROWS:
            await ex.save(RrAll(**values))
        return await ex.findAllBy()

    got = await asyncio.get_running_loop().create_task(work())
    assert [r.name for r in got] == ["a", "b", "it's `odd`"]
    assert got[0].doc == {"k": [1, 2]} and got[0].ok is False and got[2].price == decimal.Decimal("0.01")
    assert all(type(r) is RrAll.modelInstance for r in got)


def test_rows_of_atomic_values_are_left_to_reference_counting():
    """Rows of plain values are not followed by the cyclic collector, but a
    row that comes to hold a container is, so a cycle through it is still
    collected."""
    import gc
    import weakref

    row = RrAll(name="a", score=1.0)
    assert not gc.is_tracked(row)
    assert gc.is_tracked(RrAll(name="a", doc={"k": 1}))  # a dict value
    ref = weakref.ref(row)
    row["doc"] = [row]  # a cycle through the row
    assert gc.is_tracked(row)
    del row
    gc.collect()
    assert ref() is None
    # the same for rows built by a query's fast road and by a junction-free model call
    fetched = RrAll({"id": 1, "name": "x"})
    assert not gc.is_tracked(fetched)
    fetched.doc = {"a": [1]}
    assert gc.is_tracked(fetched)


def test_fetched_rows_are_followed_by_the_collector_only_when_they_hold_containers(sqlite_db, db_path):
    """A fetched row of plain values is left to reference counting; one whose
    value is a container (a JSON document) stays tracked, as the row the model
    builds from the same dictionary; a cycle made through a fetched row later
    is still collected."""
    import gc
    import weakref

    ex = RrAll.getExecutor()
    for values in ROWS:
        ex.save(RrAll(**values))
    got = ex.findAllBy()
    expected = [RrAll(d) for d in raw_dicts(db_path, "SELECT * FROM rr_all ORDER BY id")]
    assert [gc.is_tracked(r) for r in got] == [True, False, True]  # doc: a dict, None, an empty list
    assert [gc.is_tracked(r) for r in got] == [gc.is_tracked(r) for r in expected]
    plain = got[1]
    ref = weakref.ref(plain)
    plain["doc"] = [plain]
    assert gc.is_tracked(plain)
    del plain, got
    gc.collect()
    assert ref() is None
