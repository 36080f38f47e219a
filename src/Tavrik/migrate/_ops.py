"""The operations a revision's ``upgrade(op)``/``downgrade(op)`` call.

Each operation writes its statements through ``TableGenerator`` (the DDL
writer generate_table uses) for the table as the state says it is at that
point, records them, and changes the state, so the next operation sees the
table as the previous one left it.  Nothing runs here: the runner executes
the recorded statements (or prints them).
"""
from __future__ import annotations

import copy
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from Tavrik.migrate._revisions import MigrationError
from Tavrik.migrate._state import Column, State, find, make_property

# One statement: (text with %s placeholders in the house quoting, parameters).
Statement = Tuple[str, Tuple[Any, ...]]


class DataStep:
    """A data migration: ``fn(models)`` run at its place in the revision,
    ``models[table]`` the model of that table as the schema is there (its
    attributes named as the columns; ``getExecutor()`` as on any model)."""

    def __init__(self, fn: Callable[[Mapping[str, Any]], Any], state: State) -> None:
        self.fn = fn
        self.state = copy.deepcopy(state)

    def describe(self) -> str:
        return "python: %s.%s" % (getattr(self.fn, "__module__", "?"), getattr(self.fn, "__qualname__", "?"))

    def run(self, connector: Any) -> None:
        from Tavrik.DB.DB import DB
        from Tavrik.Model.Korvid import Korvid, _KorvidMeta

        if DB.getInstance().connector is not connector:
            raise MigrationError("a data migration runs on the database handle's connector: pass "
                             "DB.getInstance().connector to upgrade() and downgrade()")
        meta: Any = type(Korvid)
        made: List[type] = []
        try:
            models: Dict[str, Any] = {}
            for table, columns in self.state.items():
                attrs: Dict[str, Any] = {"tableName": table}
                attrs.update((c["name"], make_property(c)) for c in columns)
                # Named so that no relation given by class name finds it.
                cls = meta(table + "@migration", (Korvid,), attrs)
                made.append(cls)
                models[table] = cls
            self.fn(models)
        finally:
            # Declared models only: make and check must not see these.
            _KorvidMeta.ModelList[:] = [m for m in _KorvidMeta.ModelList if not any(m is c for c in made)]


Step = Union[Statement, DataStep]

# The name a rebuilt table is made under before it takes the old one's.
_REBUILD_PREFIX = "_tavrik_rebuild_"


class _Table:
    """A stand-in model for TableGenerator: a table name and its columns."""

    def __init__(self, name: str, columns: Sequence[Column]) -> None:
        self.tableName = name
        self.col = [make_property(c) for c in columns]


class Operations:
    """
        迁移操作: 修订的 upgrade(op) 与 downgrade(op) 调用它们。每个操作按当时的表结构
        (由之前的修订与之前的操作得出) 写出它的语句, 表名与列名一律由方言引用。
        列以字典给出: {"name", "type" (列类型的类名), "args", "nullable", "primaryKey",
        "unique", "index", "default" (可省略)}。
    """

    def __init__(self, connector: Any, state: State) -> None:
        self._connector = connector
        self.state: State = copy.deepcopy(state)
        self.statements: List[Step] = []
        from Tavrik.DB.Generator import TableGenerator

        self._facts: Dict[str, Any] = TableGenerator.schemaFacts(connector)

    # -------------------------------------------------------------- helpers

    def _generator(self, table: str, columns: Optional[Sequence[Column]] = None) -> Any:
        from Tavrik.DB.Generator import TableGenerator

        return TableGenerator(_Table(table, self._columns(table) if columns is None else columns), self._connector)

    def _columns(self, table: str) -> List[Column]:
        try:
            return self.state[table]
        except KeyError:
            raise ValueError("no table %r at this revision" % (table,)) from None

    def _column(self, table: str, name: str) -> Column:
        col = find(self._columns(table), name)
        if col is None:
            raise ValueError("table %r has no column %r at this revision" % (table, name))
        return col

    def _emit(self, text: str, params: Sequence[Any] = ()) -> None:
        self.statements.append((text, tuple(params)))

    def _index_statements(self, table: str, col: Column, create: bool) -> None:
        gen = self._generator(table)
        prop = make_property(col)
        for unique in (True, False):
            if col.get("unique" if unique else "index"):
                if not unique and col.get("unique"):
                    continue  # one index per column: the unique one
                self._emit(gen.createIndexSql(prop, unique) if create else gen.dropIndexSql(prop, unique))

    # ----------------------------------------------------------- operations

    def create_table(self, table: str, columns: Sequence[Column]) -> None:
        """创建表 (与 generate_table 相同的 CREATE TABLE 与索引)。"""
        if table in self.state:
            raise ValueError("table %r exists at this revision" % (table,))
        self.state[table] = copy.deepcopy(list(columns))
        gen = self._generator(table)
        self._emit(gen.sql())
        for text in gen.indexSql():
            self._emit(text)

    def drop_table(self, table: str) -> None:
        """删除表 (连同其中的数据)。"""
        gen = self._generator(table)
        self._emit(gen.dropTableSql())
        del self.state[table]

    def rename_table(self, table: str, new: str) -> None:
        """重命名表; 它的索引以新表名重建, 与新建的表同名。"""
        if new in self.state:
            raise ValueError("table %r exists at this revision" % (new,))
        columns = self._columns(table)
        for col in columns:
            self._index_statements(table, col, False)
        self._emit(self._generator(table).renameTableSql(new))
        self.state[new] = self.state.pop(table)
        for col in columns:
            self._index_statements(new, col, True)

    def add_column(self, table: str, column: Column) -> None:
        """添加一列 (及其索引)。"""
        columns = self._columns(table)
        if find(columns, column["name"]) is not None:
            raise ValueError("table %r already has a column %r" % (table, column["name"]))
        col = copy.deepcopy(column)
        columns.append(col)
        self._emit(self._generator(table).addColumnSql(make_property(col)))
        self._index_statements(table, col, True)

    def drop_column(self, table: str, name: str) -> None:
        """删除一列 (连同其中的数据; 先删除它的索引)。"""
        col = self._column(table, name)
        self._index_statements(table, col, False)
        self._emit(self._generator(table).dropColumnSql(name))
        self.state[table] = [c for c in self.state[table] if c is not col]

    def rename_column(self, table: str, old: str, new: str) -> None:
        """重命名一列; 它的索引以新名重建, 与新建的表同名。"""
        col = self._column(table, old)
        if find(self._columns(table), new) is not None:
            raise ValueError("table %r already has a column %r" % (table, new))
        self._index_statements(table, col, False)
        self._emit(self._generator(table).renameColumnSql(old, new))
        col["name"] = new
        self._index_statements(table, col, True)

    def alter_column(self, table: str, column: Column) -> None:
        """把已有的列改为给出的声明 (类型, 可空, 默认值; 索引不变)。
        SQLite 不能修改列: 在同一事务中重建该表 (新表, 复制行, 删除旧表, 改名, 重建索引)。"""
        prior = self._column(table, column["name"])
        if bool(prior.get("primaryKey")) != bool(column.get("primaryKey")):
            # MODIFY and ALTER COLUMN leave the key as it is: refused, not half done.
            raise ValueError("alter_column does not change the primary key (%r.%r)" % (table, column["name"]))
        col = copy.deepcopy(column)
        col["unique"] = prior.get("unique", False)
        col["index"] = prior.get("index", False)
        columns = [col if c is prior else c for c in self._columns(table)]
        if self._facts["alterColumn"] == "rebuild":
            self._rebuild(table, columns)
        else:
            for text in self._generator(table, columns).alterColumnSql(make_property(col)):
                self._emit(text)
        self.state[table] = columns

    def _rebuild(self, table: str, columns: List[Column]) -> None:
        temp = _REBUILD_PREFIX + table
        names = [c["name"] for c in columns if find(self._columns(table), c["name"]) is not None]
        fresh = self._generator(temp, columns)
        self._emit(fresh.sql())
        self._emit(fresh.copyRowsSql(table, names))
        self._emit(self._generator(table).dropTableSql())
        self._emit(fresh.renameTableSql(table))
        for text in self._generator(table, columns).indexSql():
            self._emit(text)

    def add_index(self, table: str, column: str, unique: bool = False) -> None:
        """为一列建立索引 (unique=True: 唯一约束)。"""
        col = self._column(table, column)
        key = "unique" if unique else "index"
        if col.get(key):
            raise ValueError("column %r of table %r already has this index" % (column, table))
        self._emit(self._generator(table).createIndexSql(make_property(col), unique))
        col[key] = True

    def drop_index(self, table: str, column: str, unique: bool = False) -> None:
        """删除一列的索引 (unique=True: 唯一约束)。"""
        col = self._column(table, column)
        key = "unique" if unique else "index"
        if not col.get(key):
            raise ValueError("column %r of table %r has no such index" % (column, table))
        self._emit(self._generator(table).dropIndexSql(make_property(col), unique))
        col[key] = False

    def execute(self, sql: str, params: Sequence[Any] = ()) -> None:
        """执行一条手写的语句 (占位符 %s, 参数绑定)。"""
        self._emit(sql, params)

    def run_python(self, fn: Callable[[Mapping[str, Any]], Any]) -> None:
        """
            数据迁移: 在修订的此处调用 fn(models), models[表名] 是该表此时的模型
            (属性名即列名, getExecutor() 取得执行器), 语句与修订在同一事务中 (MySQL: 与该步骤的记录一同提交)。
        """
        self.statements.append(DataStep(fn, self.state))
