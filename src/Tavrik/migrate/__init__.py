"""Tavrik.migrate: schema migrations for the declared models.

``python -m Tavrik.migrate`` runs the same functions as this module offers
(init, make, upgrade, downgrade, current, history, stamp, sql, check).  A
revision is a Python file in the migrations directory; ``make`` compares the
declared models with the state the last revision recorded, never with the
database.  The statements come from ``TableGenerator``, the DDL writer
generate_table uses, so a migrated database and a freshly created one hold
the same schema.  Connectors and models are the package's (untyped here).
"""
from __future__ import annotations

import importlib
import os
import sys
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, Union

from Tavrik.migrate._ops import DataStep, Operations, Step
from Tavrik.migrate._revisions import MigrationError, Revision, index_of, load_chain, write_revision
from Tavrik.migrate import _runner
from Tavrik.migrate._state import declared_state, diff

__all__ = ["MigrationError", "Operations", "init", "make", "upgrade", "downgrade", "current", "history", "stamp",
           "sql", "check"]

Url = Union[str, Any]
Report = Callable[[str], None]


def _print(text: str) -> None:
    print(text)


def _import_models(models: Optional[str]) -> None:
    if not models:
        return
    if os.getcwd() not in sys.path and "" not in sys.path:
        sys.path.insert(0, os.getcwd())
    importlib.import_module(models)


class _Connection:
    """A connector made from a URL (closed at the end), or the caller's own."""

    def __init__(self, url: Url) -> None:
        self._own = isinstance(url, str)
        if self._own:
            from Tavrik.DB import connect

            self.connector: Any = connect(url)
        else:
            self.connector = url
        if getattr(self.connector, "isAsync", False):
            self.close()
            raise MigrationError("migrations run on a synchronous connector (sqlite://, mysql://, postgresql://)")
        # Data migrations run their models' executors on the database
        # handle: a program without one gets this connector's for the run.
        from Tavrik.DB.DB import DB
        from Tavrik.Error.Strovy import DBInstanceCreateError

        try:
            DB.getInstance()
            self._installed = False
        except DBInstanceCreateError:
            DB.create(self.connector)
            self._installed = True

    def __enter__(self) -> Any:
        return self.connector

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        if getattr(self, "_installed", False):
            from Tavrik.DB.DB import DB

            DB.drop()
            self._installed = False
        if self._own:
            self.connector.close()


def init(directory: str = "migrations") -> str:
    """创建迁移目录 (已存在时不做任何事), 返回其路径。"""
    os.makedirs(directory, exist_ok=True)
    return directory


def _renames(renames: Sequence[str]) -> Dict[Tuple[str, str], str]:
    out: Dict[Tuple[str, str], str] = {}
    for text in renames:
        # table.old:new; the table name may itself hold dots, the column
        # names are what follows the last dot and the colon.
        head, sep, new = text.rpartition(":")
        table, dot, old = head.rpartition(".")
        if not sep or not dot or not table or not old or not new:
            raise MigrationError("--rename takes table.old:new, not %r" % text)
        out[(table, old)] = new
    return out


def _table_renames(renames: Sequence[str]) -> Dict[str, str]:
    out: Dict[str, str] = {}
    for text in renames:
        old, sep, new = text.rpartition(":")
        if not sep or not old or not new:
            raise MigrationError("--rename-table takes old:new, not %r" % text)
        out[old] = new
    return out


def make(message: str, *, models: Optional[str] = None, directory: str = "migrations",
         renames: Sequence[str] = (), tableRenames: Sequence[str] = (), report: Report = _print) -> Optional[str]:
    """
        比较已声明的模型与最后一个修订记录的模型状态, 写出新的修订文件并返回其路径;
        没有变化时不写文件, 返回 None。models: 先导入的模块 (声明模型)。
        renames: "table.old:new" (表用新名); tableRenames: "old:new" (重命名从不猜测)。
        删除数据 (删除列或表) 或可能截断数据 (缩窄类型) 的修订写为 reviewed = False。
    """
    _import_models(models)
    chain = load_chain(directory)
    last = chain[-1].state if chain else {}
    state = declared_state()
    try:
        up, down = diff(last, state, _renames(renames), _table_renames(tableRenames))
    except ValueError as e:
        raise MigrationError(str(e)) from e
    if not up:
        report("no changes")
        return None
    path = write_revision(directory, len(chain) + 1, chain[-1].id if chain else None, message, up, down, state,
                          last)
    report("wrote %s" % path)
    return path


def upgrade(url: Url, revision: str = "head", *, models: Optional[str] = None, directory: str = "migrations",
            report: Report = _print) -> None:
    """
        把数据库升级到给定修订 (默认 head)。SQLite 与 PostgreSQL 上每个修订在一个事务中执行 (全部或没有);
        MySQL 上每条 DDL 自行提交, 每完成一条即记录, 下次从第一条未完成的语句继续。
        有未审阅 (reviewed = False) 的修订时拒绝, 不做任何改动。两个进程同时升级时每个修订只执行一次。
    """
    _import_models(models)
    chain = load_chain(directory)
    target = index_of(chain, revision)
    with _Connection(url) as connector:
        _runner.upgrade(connector, chain, target, report)


def downgrade(url: Url, revision: str, *, models: Optional[str] = None, directory: str = "migrations",
              report: Report = _print) -> None:
    """把数据库降级到给定修订 (base: 撤销全部修订)。"""
    _import_models(models)
    chain = load_chain(directory)
    target = index_of(chain, revision)
    with _Connection(url) as connector:
        _runner.downgrade(connector, chain, target, report)


def current(url: Url, *, models: Optional[str] = None, directory: str = "migrations") -> str:
    """数据库所在的修订 ("base": 尚无修订), 以及未完成的修订 (MySQL)。"""
    _import_models(models)
    chain = load_chain(directory)
    with _Connection(url) as connector:
        return _runner.position(connector, chain).describe(chain)


def history(*, models: Optional[str] = None, directory: str = "migrations") -> List[str]:
    """修订链, 从第一个到 head, 每行 "id <- 前一个: 说明"。"""
    _import_models(models)
    return ["%s <- %s: %s%s" % (r.id, r.down or "base", r.message, "" if r.reviewed else " (not reviewed)")
            for r in load_chain(directory)]


def stamp(url: Url, revision: str, *, models: Optional[str] = None, directory: str = "migrations") -> None:
    """记录数据库已在给定修订, 不执行任何语句。"""
    _import_models(models)
    chain = load_chain(directory)
    target = index_of(chain, revision)
    with _Connection(url) as connector:
        _runner.stamp(connector, chain, target)


def _statements(connector: Any, chain: Sequence[Revision], start: int, end: int) -> Iterator[Tuple[str, Step]]:
    if end >= start:
        for i in range(start + 1, end + 1):
            for s in _runner.plan(connector, chain, i, True):
                yield chain[i].id, s
    else:
        for i in range(start, end, -1):
            for s in _runner.plan(connector, chain, i, False):
                yield chain[i].id, s


def sql(url: Url, span: Optional[str] = None, *, models: Optional[str] = None, directory: str = "migrations",
        report: Report = _print) -> List[Step]:
    """
        打印 (并返回) 从 FROM 到 TO 的语句而不执行 (span: "FROM:TO"; 省略时从数据库当前的修订到 head)。
        语句为连接器接受的形式: 名称用反引号, 占位符 %s。
    """
    _import_models(models)
    chain = load_chain(directory)
    with _Connection(url) as connector:
        if span is None:
            start, end = _runner.position(connector, chain).index, len(chain) - 1
        else:
            first, sep, last = span.partition(":")
            if not sep:
                raise MigrationError("sql takes FROM:TO, not %r" % span)
            start, end = index_of(chain, first or "base"), index_of(chain, last or "head")
        out: List[Step] = []
        rev = None
        for rid, step in _statements(connector, chain, start, end):
            if rid != rev:
                report("-- %s" % rid)
                rev = rid
            if isinstance(step, DataStep):
                report("-- %s (a data migration, run in the revision's transaction)" % step.describe())
            else:
                text, params = step
                report(text + ";" + (" -- %r" % (params,) if params else ""))
            out.append(step)
        return out


def check(url: Url, *, models: Optional[str] = None, directory: str = "migrations",
          report: Report = _print) -> bool:
    """
        模型, 修订与数据库一致时返回 True; 否则报告差异并返回 False。
        数据库的表与列 (名称与可空性) 与其所在修订的状态比较, 手动的改动也会被发现。
    """
    _import_models(models)
    chain = load_chain(directory)
    ok = True
    up, _ = diff(chain[-1].state if chain else {}, declared_state(), {})
    if up:
        ok = False
        report("the models differ from the last revision: %s" % ", ".join(name for name, _ in up))
    with _Connection(url) as connector:
        at = _runner.position(connector, chain)
        if at.index != len(chain) - 1 or at.halfway is not None:
            ok = False
            report("the database is at %s, the head is %s" % (at.describe(chain), chain[-1].id if chain else "base"))
        if at.halfway is None and at.index >= 0:
            # Changed by hand, or by revisions of another directory.
            for line in _runner.drift(connector, chain[at.index].state):
                ok = False
                report("the database differs from %s: %s" % (chain[at.index].id, line))
    if ok:
        report("models, revisions and database agree")
    return ok

