"""Paged queries on both roads, on real SQLite files (and MySQL)."""
import logging

import pytest

from tests.models import Post, User


def _fill_sync(n):
    ex = User.getExecutor()
    for i in range(n):
        ex.save(User(name="u%02d" % i, age=i + 1))


@pytest.fixture
def traced(users25, db_path, caplog):
    """Reinstalls the handle with statement tracing; returns the traced SQL."""
    from Tavrik.DB.Connector import Sqlite3Connector
    from Tavrik.DB.DB import DB

    DB.drop()
    connector = Sqlite3Connector(db_path, showLog=True)
    DB.create(connector)
    caplog.set_level(logging.DEBUG, logger="Tavrik.DB")
    yield lambda: [r.getMessage() for r in caplog.records if r.name == "Tavrik.DB"]
    connector.close()


@pytest.fixture
def users25(sqlite_db):
    _fill_sync(25)
    return sqlite_db


def test_pages_of_25_rows(users25):
    from Tavrik.Ext.Olvane import Olvane, Page

    seen = []
    for number, expected in [(1, 10), (2, 10), (3, 5)]:
        page = Olvane(User, page=number, pageSize=10).filter().orderBy(User.id).execute()
        assert isinstance(page, Page) and isinstance(page, dict)
        assert set(page) == {"page", "pageSize", "content", "total", "totalPage"}
        assert (page.page, page.pageSize, page.total, page.totalPage) == (number, 10, 25, 3)
        assert page.total is page["total"]
        assert len(page.content) == expected
        seen += [row.name for row in page.content]
    assert seen == ["u%02d" % i for i in range(25)]


def test_filter_and_order(users25):
    from Tavrik.Ext.Olvane import Olvane

    page = Olvane(User, 1, 4).filter(User.age >= 21).orderBy(User.age.desc()).execute()
    assert page.total == 5 and page.totalPage == 2
    assert [r.age for r in page.content] == [25, 24, 23, 22]
    # exact multiple: 20 rows at 10 per page are 2 pages
    page = Olvane(User, 1, 10).filter(User.age <= 20).execute()
    assert (page.total, page.totalPage) == (20, 2)


@pytest.mark.parametrize("number", [4, 100])
def test_page_past_the_last_runs_no_row_query(traced, number):
    from Tavrik.Ext.Olvane import Olvane

    page = Olvane(User, number, 10).filter().execute()
    assert (page.total, page.totalPage, page.content) == (25, 3, [])
    sql = traced()
    assert any("count(" in s for s in sql)
    assert not any("LIMIT" in s.upper() for s in sql)
    Olvane(User, 3, 10).filter().execute()
    assert any("LIMIT" in s.upper() for s in traced())


def test_no_rows(sqlite_db):
    from Tavrik.Ext.Olvane import Olvane

    page = Olvane(User).filter(User.name == "nobody").execute()
    assert (page.total, page.totalPage, page.content, page.page, page.pageSize) == (0, 0, [], 1, 10)


def test_hostile_filter_value_is_data(users25):
    from Tavrik.Ext.Olvane import Olvane

    page = Olvane(User).filter(User.name.like("x'; DROP TABLE t_user;--%")).execute()
    assert page.total == 0
    assert Olvane(User).filter().execute().total == 25


def test_constructor_checks(sqlite_db):
    from Tavrik.Ext.Olvane import Olvane

    with pytest.raises(AssertionError, match="^page参数必须为大于零的整数$"):
        Olvane(User, page=0)
    # pageSize is tested first
    with pytest.raises(AssertionError, match="^pageSize参数必须为大于零的整数$"):
        Olvane(User, page=0, pageSize=0)
    with pytest.raises(TypeError):
        Olvane(User, page="1")
    with pytest.raises(OverflowError):
        Olvane(User, page=2**40)
    with pytest.raises(TypeError):
        Olvane(User).filter("id = 1")
    with pytest.raises(TypeError):
        Olvane(User).orderBy(User.id, desc=True)


def test_set_page_keeps_page_size_when_zero(users25):
    from Tavrik.Ext.Olvane import Olvane

    q = Olvane(User, 1, 7).filter().orderBy(User.id)
    assert q.setPage(2) is q
    page = q.execute()
    assert (page.page, page.pageSize, len(page.content)) == (2, 7, 7)
    page = Olvane(User, 1, 7).filter().orderBy(User.id).setPage(3, 10).execute()
    assert (page.page, page.pageSize, len(page.content)) == (3, 10, 5)


def test_page_objects():
    from Tavrik.Ext.Olvane import Page

    a, b = Page(1, 10), Page(2, 10)
    assert a.content == [] and a.content is not b.content  # each page its own list
    a.content.append(1)
    assert b.content == []
    p = Page(1, 10, [1, 2], 2)
    assert dict(p) == {"page": 1, "pageSize": 10, "content": [1, 2], "total": 2}
    p.totalPage = 1
    assert p["totalPage"] == 1
    with pytest.raises(TypeError):
        Page(1, 10, content=(1,))
    with pytest.raises(OverflowError):
        Page(2**31, 10)


def test_deep_loads_relations(sqlite_db):
    from Tavrik.Ext.Olvane import Olvane

    u = User.getExecutor().save(User(name="writer", posts=[Post(title="a"), Post(title="b")]))
    page = Olvane(User, findForeign=False).findForeign().filter(User.id == u.id).execute()
    assert [p.title for p in page.content[0].posts] == ["a", "b"]


def test_offset_beyond_32_bits(users25):
    """A huge page number must not wrap around to a small offset."""
    from Tavrik.Ext.Olvane import Olvane

    class Huge(Olvane):
        def _getCount(self):
            return [(3_000_000_000,)]

    page = Huge(User, page=300_000_000, pageSize=10).filter().execute()
    assert page.totalPage == 300_000_000
    assert page.content == []


def test_execute_honours_subclass_result_type(users25):
    from Tavrik.Ext.Olvane import Olvane

    class Wrong(Olvane):
        def _execute(self):
            return {"not": "a page"}

    with pytest.raises(TypeError):
        Wrong(User).filter().execute()


async def test_async_paging(async_db):
    from Tavrik.Ext.Olvane import Olvane

    import asyncio

    async def fill():
        ex = User.getExecutor()
        for i in range(25):
            await ex.save(User(name="a%02d" % i, age=i))

    await asyncio.get_running_loop().create_task(fill())
    await asyncio.sleep(0.05)  # the filling task's commit runs in its release

    async def read(number):
        coro = Olvane(User, number, 10).filter().orderBy(User.id).execute()
        assert asyncio.iscoroutine(coro)
        return await coro

    pages = [await asyncio.get_running_loop().create_task(read(n)) for n in (1, 2, 3, 4)]
    assert [len(p.content) for p in pages] == [10, 10, 5, 0]
    assert all((p.total, p.totalPage) == (25, 3) for p in pages)
    assert pages[2].content[-1].name == "a24"


def test_module_helpers_check_what_they_are_given():
    import Tavrik.Ext.Olvane as olvane

    for call in (lambda: olvane._begin(1), lambda: olvane._limit("x"), lambda: olvane._deep(None),
                 lambda: olvane._count_done(1, 2, 3)):
        with pytest.raises(TypeError):
            call()
