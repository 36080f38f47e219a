"""Writes of rows whose key is stored: save() falls back to an update with
the values it converted for its insert, and update() converts each value
once.  Each case runs on sync SQLite, aiosqlite and MySQL."""
import pytest

from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, JsonProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)


class SwDoc(Korvid):
    tableName = "sw_doc"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    title = StrProperty(20)
    note = StrProperty(20, nullable=True)
    data = JsonProperty(nullable=True)


SQLITE_DDL = """
DROP TABLE IF EXISTS sw_doc;
CREATE TABLE sw_doc (id INTEGER PRIMARY KEY AUTOINCREMENT, title VARCHAR(20) NOT NULL, note VARCHAR(20),
                     data TEXT);
INSERT INTO sw_doc (id, title, note, data) VALUES (1, 'first', 'kept', '{"a": 0}');
"""
MYSQL_DDL = [
    "CREATE TABLE sw_doc (id INT PRIMARY KEY AUTO_INCREMENT, title VARCHAR(20) NOT NULL, note VARCHAR(20) NULL,"
    " data TEXT NULL) ENGINE=InnoDB",
    "INSERT INTO sw_doc (id, title, note, data) VALUES (1, 'first', 'kept', '{\"a\": 0}')",
]
DOCS = "SELECT id, title, note, data FROM sw_doc ORDER BY id"


class Counted(dict):
    """A JSON value that counts how often it is serialised."""

    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        self.serialised = 0

    def items(self):
        self.serialised += 1
        return super().items()


@pytest.fixture
async def seeded(road):  # noqa: F811
    road.ddl(SQLITE_DDL, MYSQL_DDL)
    await road.open()
    return road


@pytest.mark.parametrize("method", ["save", "update"])
async def test_each_value_is_converted_once(seeded, method):
    data = Counted(a=1)
    row = SwDoc(id=1, title="second", note=None, data=data)
    res, err = await seeded.call(lambda: getattr(SwDoc.getExecutor(), method)(row))
    assert err is None and res is row, repr(err)
    assert data.serialised == 1
    # the column held as None is written as NULL by the update
    assert seeded.rows(DOCS) == [(1, "second", None, '{"a": 1}')]


async def test_saving_a_stored_row_unchanged_is_not_a_missing_row(seeded):
    # MySQL reports 0 changed rows for it; the row is there all the same
    row = SwDoc(id=1, title="first", note="kept", data={"a": 0})
    for _ in range(2):
        res, err = await seeded.call(lambda: SwDoc.getExecutor().save(row))
        assert err is None and res is row, repr(err)
    assert seeded.rows(DOCS) == [(1, "first", "kept", '{"a": 0}')]


async def test_fetch_change_save_writes_the_changes(seeded):
    row, err = await seeded.call(lambda: SwDoc.getExecutor().findOneBy(SwDoc.id == 1))
    assert err is None, repr(err)
    row["title"] = "changed"
    row["data"] = {"b": [1, 2]}
    res, err = await seeded.call(lambda: SwDoc.getExecutor().save(row))
    assert err is None and res is row, repr(err)
    assert seeded.rows(DOCS) == [(1, "changed", "kept", '{"b": [1, 2]}')]
