"""A reference cycle through any field an extension object owns is found and
freed by the garbage collector: every such field is visited."""
import asyncio
import gc
import weakref

import pytest

from Tavrik.DB.Connector import AioSqliteConnector, BaseConnector, PyMysqlConnector, Sqlite3Connector
from Tavrik.DB.Generator import CustomSqlGenerator, InOperatorGenerator, JoinCell, SqlGenerator, TableGenerator
from Tavrik.Ext.Dict import DictPlus
from Tavrik.Model.Korvid import InstanceList
from Tavrik.Model.ModelProperty import FilterListCell, IntProperty, StrProperty


class Holder:
    """The Python side of a cycle; a model-like object where one is needed."""

    tableName = "t"


def with_attribute(obj):
    def make(h):
        obj.held = h
        return obj

    return make


CASES = {
    "SqlGenerator.model": lambda h: SqlGenerator(h),
    "CustomSqlGenerator.params": lambda h: CustomSqlGenerator("SELECT %s", (h,)),
    "InOperatorGenerator.values": lambda h: InOperatorGenerator(IntProperty(), [h]),
    "JoinCell.target": lambda h: JoinCell(h, FilterListCell("1")),
    "TableGenerator.model": lambda h: TableGenerator(h, None),
    "FilterListCell.value": lambda h: FilterListCell(h),
    "IntProperty.__dict__": lambda h: with_attribute(IntProperty())(h),
    "StrProperty.__dict__": lambda h: with_attribute(StrProperty(8))(h),
    "DictPlus item": lambda h: DictPlus(h=h),
    "InstanceList item": lambda h: InstanceList([h]),
}


@pytest.mark.parametrize("make", list(CASES.values()), ids=list(CASES))
def test_cycle_through_owned_field_is_collected(make):
    h = Holder()
    gone = weakref.ref(h)
    h.back = make(h)
    del h
    gc.collect()
    assert gone() is None


def closed(connector):
    connector.close()
    return connector


CONNECTORS = {
    "BaseConnector": lambda path, loop: BaseConnector(),
    "PyMysqlConnector": lambda path, loop: PyMysqlConnector(),
    "Sqlite3Connector": lambda path, loop: closed(Sqlite3Connector(path, showLog=False)),
    "AioSqliteConnector": lambda path, loop: AioSqliteConnector(loop, path=path, showLog=False),
}


# The base fields, reached through each connector class's own list.
@pytest.mark.parametrize("make", list(CONNECTORS.values()), ids=list(CONNECTORS))
def test_cycle_through_connector_is_collected(make, db_path):
    loop = asyncio.new_event_loop()
    try:
        connector = make(db_path, loop)
        h = Holder()
        gone = weakref.ref(h)
        connector._config = {"held": h}
        h.back = connector
        del h, connector
        gc.collect()
        assert gone() is None
    finally:
        loop.close()
