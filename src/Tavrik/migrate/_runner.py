"""Running revisions against a database.

The table ``tavrik_revision`` records, per revision, whether it is applied
or half-way (upgrading or downgrading, with the number of statements done).
Where DDL is transactional (SQLite, PostgreSQL) each revision runs in one
transaction with its record, under the schema lock (SQLite's write
transaction; PostgreSQL's transaction-scoped advisory lock), so it is
applied whole or not at all, once.  MySQL commits each DDL statement by
itself: there every statement's completion is recorded as it commits, under
a session lock (GET_LOCK) held for the whole run, and the next run resumes
at the first statement not done.  A run killed during a DDL statement
leaves the server to finish it unrecorded; the resumed run counts that
statement done when re-running it fails because its change is there.  Connectors are the package's (untyped
here).
"""
from __future__ import annotations

import contextlib
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from Tavrik.migrate._ops import DataStep, Operations, Step
from Tavrik.migrate._revisions import MigrationError, Revision
from Tavrik.migrate._state import Column, State

TABLE = "tavrik_revision"
_LOCK_NAME = "tavrik_migrate"
_APPLIED = "applied"
_COLUMNS: List[Column] = [
    {"name": "revision", "type": "StrProperty", "args": [64], "nullable": False, "primaryKey": True},
    {"name": "state", "type": "StrProperty", "args": [16], "nullable": False, "primaryKey": False},
    {"name": "steps", "type": "IntProperty", "args": [], "nullable": False, "primaryKey": False},
]

Report = Callable[[str], None]


def plan(connector: Any, chain: Sequence[Revision], index: int, upward: bool) -> List[Step]:
    """The statements of revision ``chain[index]`` going up or down, written
    for the state before them."""
    rev = chain[index]
    before: State = (chain[index - 1].state if index > 0 else {}) if upward else rev.state
    op = Operations(connector, before)
    (rev.upgrade if upward else rev.downgrade)(op)
    return op.statements


class _Records:
    """The revision table, read and written through one connector (and a
    connection where statements run on one)."""

    def __init__(self, connector: Any, con: Any = None) -> None:
        from Tavrik.DB.Generator import TableGenerator

        self.connector = connector
        self.con = con
        self.facts: Dict[str, Any] = TableGenerator.schemaFacts(connector)
        q = TableGenerator.quote
        self._table = q(TABLE)
        self._names = ", ".join(q(c["name"]) for c in _COLUMNS)
        self._revision, self._state, self._steps = (q(c["name"]) for c in _COLUMNS)

    def run(self, sql: str, params: Sequence[Any] = ()) -> Any:
        args: Optional[Tuple[Any, ...]] = tuple(params)
        if self.facts["dialect"] == "mysql" and not params:
            args = None  # the text goes to the driver as it is, unformatted
        if self.con is not None:
            return self.connector.execute(sql, con=self.con, args=args)
        return self.connector.execute(sql, args=args)

    def ensure(self) -> None:
        ops = Operations(self.connector, {})
        ops.create_table(TABLE, _COLUMNS)
        for step in ops.statements:
            assert not isinstance(step, DataStep)
            self.run(*step)

    def exists(self) -> bool:
        return TABLE in self.connector.getTableNameList()

    def read(self) -> Dict[str, Tuple[str, int]]:
        rows = self.run("SELECT %s FROM %s" % (self._names, self._table))
        return {r[0]: (r[1], int(r[2])) for r in rows}

    def put(self, revision: str, state: str, steps: int) -> None:
        self.run("DELETE FROM %s WHERE %s = %%s" % (self._table, self._revision), (revision,))
        self.run("INSERT INTO %s (%s) VALUES (%%s, %%s, %%s)" % (self._table, self._names), (revision, state, steps))

    def forget(self, revision: Optional[str] = None) -> None:
        if revision is None:
            self.run("DELETE FROM %s" % self._table)
        else:
            self.run("DELETE FROM %s WHERE %s = %%s" % (self._table, self._revision), (revision,))


class Position:
    """Where the database stands: the index of its applied revision in the
    chain (-1 at base), and a revision left half-way (MySQL)."""

    def __init__(self, chain: Sequence[Revision], records: Dict[str, Tuple[str, int]]) -> None:
        ids = {r.id: i for i, r in enumerate(chain)}
        unknown = sorted(set(records) - set(ids))
        if unknown:
            raise MigrationError("the database records revisions the directory lacks: %s" % ", ".join(unknown))
        self.index = -1
        self.halfway: Optional[Tuple[int, str, int]] = None  # (index, "up"/"down", statements done)
        for rev, (state, steps) in records.items():
            i = ids[rev]
            if state == _APPLIED or state == "down":
                self.index = max(self.index, i)
            if state != _APPLIED:
                self.halfway = (i, state, steps)

    def describe(self, chain: Sequence[Revision]) -> str:
        text = chain[self.index].id if self.index >= 0 else "base"
        if self.halfway is not None:
            i, way, steps = self.halfway
            text += " (%s of %s stopped after %d statement(s))" % (
                "upgrade" if way == "up" else "downgrade", chain[i].id, steps)
        return text


@contextlib.contextmanager
def _session(connector: Any) -> Iterator[_Records]:
    """MySQL: one pooled connection holding the schema lock for the run."""
    con = connector.getCon()
    records = _Records(connector, con)
    locked = False
    try:
        rows = records.run(records.facts["lock"], (_LOCK_NAME,))
        if not rows or rows[0][0] != 1:
            raise MigrationError("could not take the schema lock %r" % _LOCK_NAME)
        locked = True
        con.commit()
        records.ensure()
        con.commit()
        yield records
    finally:
        try:
            con.rollback()
            if locked:
                records.run(records.facts["unlock"], (_LOCK_NAME,))
        finally:
            connector.releaseCon(con)


@contextlib.contextmanager
def _transaction(connector: Any) -> Iterator[_Records]:
    """SQLite, PostgreSQL: one transaction holding the schema lock."""
    with connector.transaction():
        records = _Records(connector)
        if records.facts["lock"]:
            records.run(records.facts["lock"], (_LOCK_NAME,))
        records.ensure()
        yield records


def position(connector: Any, chain: Sequence[Revision]) -> Position:
    records = _Records(connector)
    if not records.exists():
        return Position(chain, {})
    return Position(chain, records.read())


def drift(connector: Any, state: State) -> List[str]:
    """How the live tables differ from ``state``: missing tables, and
    columns missing, extra or of another nullability (types are the
    database's own spelling and are not compared)."""
    records = _Records(connector)
    live = set(connector.getTableNameList())
    out: List[str] = []
    for table, columns in state.items():
        if table not in live:
            out.append("table %r is missing" % (table,))
            continue
        found = {str(r[0]): bool(r[1]) for r in records.run(records.facts["columnsQuery"], (table,))}
        for col in columns:
            name = col["name"]
            if name not in found:
                out.append("column %r of %r is missing" % (name, table))
            elif found[name] != (not col["nullable"] or col["primaryKey"]):
                out.append("column %r of %r is %s" % (name, table, "NOT NULL" if found[name] else "nullable"))
        declared = {c["name"] for c in columns}
        out.extend("column %r of %r is not in the models" % (name, table) for name in found if name not in declared)
    return out


def _refuse_unreviewed(chain: Sequence[Revision], start: int, target: int) -> None:
    unreviewed = [r for r in chain[start + 1:target + 1] if not r.reviewed]
    if unreviewed:
        raise MigrationError(
            "revision(s) %s drop data and are not reviewed: read them, set reviewed = True, then upgrade; "
            "nothing was changed" % ", ".join("%s (%s)" % (r.id, r.path) for r in unreviewed))


def upgrade(connector: Any, chain: Sequence[Revision], target: int, report: Report) -> None:
    _refuse_unreviewed(chain, position(connector, chain).index, target)
    _move(connector, chain, target, report, True)


def downgrade(connector: Any, chain: Sequence[Revision], target: int, report: Report) -> None:
    _move(connector, chain, target, report, False)


class _Way:
    """What differs between going up and going down the chain."""

    def __init__(self, upward: bool) -> None:
        self.upward = upward
        self.name = "up" if upward else "down"
        self.word = "upgrade" if upward else "downgrade"
        self.other = "downgrade" if upward else "upgrade"

    def pending(self, at: Position, target: int) -> bool:
        return at.index < target if self.upward else at.index > target

    def next(self, at: Position) -> int:
        """The revision to apply (up) or undo (down) next."""
        return at.index + 1 if self.upward else at.index

    def finish(self, records: _Records, rev: Revision, statements: int) -> None:
        if self.upward:
            records.put(rev.id, _APPLIED, statements)
        else:
            records.forget(rev.id)

    def done(self, rev: Revision, statements: int) -> str:
        return "%s %s (%d statement(s))" % ("upgraded to" if self.upward else "downgraded", rev.id, statements)


def _move(connector: Any, chain: Sequence[Revision], target: int, report: Report, upward: bool) -> None:
    way = _Way(upward)
    if _transactional(connector):
        while True:
            with _transaction(connector) as records:
                at = Position(chain, records.read())
                if not way.pending(at, target):
                    break
                i = way.next(at)
                if upward:
                    _refuse_unreviewed(chain, at.index, i)
                statements = plan(connector, chain, i, upward)
                _run_whole(records, chain[i], statements, way.word)
                way.finish(records, chain[i], len(statements))
            report(way.done(chain[i], len(statements)))
        return
    with _session(connector) as records:
        while True:
            at = Position(chain, records.read())
            start = 0
            if at.halfway is not None:
                i, halfway, steps = at.halfway
                if halfway != way.name:
                    raise MigrationError("the %s of %s stopped half-way: run %s again to finish it"
                                         % (way.other, chain[i].id, way.other))
                start = steps
            if not way.pending(at, target):
                break
            i = way.next(at)
            if upward:
                _refuse_unreviewed(chain, at.index, i)
            statements = plan(connector, chain, i, upward)
            if at.halfway is not None:
                report("resuming %s%s after %d of %d statement(s)"
                       % ("" if upward else "the downgrade of ", chain[i].id, start, len(statements)))
            _run_steps(records, chain[i], statements, start, way, at.halfway is not None)
            way.finish(records, chain[i], len(statements))
            records.con.commit()
            report(way.done(chain[i], len(statements)))


def stamp(connector: Any, chain: Sequence[Revision], target: int) -> None:
    def mark(records: _Records) -> None:
        records.forget()
        for rev in chain[:target + 1]:
            records.put(rev.id, _APPLIED, 0)

    if _transactional(connector):
        with _transaction(connector) as records:
            mark(records)
        return
    with _session(connector) as records:
        mark(records)
        records.con.commit()


def _transactional(connector: Any) -> bool:
    from Tavrik.DB.Generator import TableGenerator

    return bool(TableGenerator.schemaFacts(connector)["transactionalDdl"])


def _run_whole(records: _Records, rev: Revision, statements: Sequence[Step], what: str) -> None:
    for n, step in enumerate(statements, 1):
        try:
            if isinstance(step, DataStep):
                step.run(records.connector)
            else:
                records.run(*step)
        except Exception as e:
            raise MigrationError("%s of %s failed at statement %d of %d, nothing of it was applied: %s\n  %s"
                                 % (what, rev.id, n, len(statements), e, _text(step))) from e


def _text(step: Step) -> str:
    return step.describe() if isinstance(step, DataStep) else step[0]


def _already_done(records: _Records, e: Exception) -> bool:
    codes = records.facts["ddlAlreadyDone"].split("|")
    return bool(e.args) and str(e.args[0]) in codes


def _run_steps(records: _Records, rev: Revision, statements: Sequence[Step], start: int, way: _Way,
               resumed: bool) -> None:
    if not resumed:
        records.put(rev.id, way.name, 0)
        records.con.commit()
    for n in range(start, len(statements)):
        step = statements[n]
        try:
            if isinstance(step, DataStep):
                # Its rows and its record commit together, on a connection
                # of the block's (the run's own one holds the schema lock).
                with records.connector.transaction():
                    step.run(records.connector)
                    _Records(records.connector).put(rev.id, way.name, n + 1)
                continue
            try:
                records.run(*step)
            except Exception as e:
                # A run killed while the server went on with its DDL left the
                # change made and not recorded: re-run, it says so.
                if not (resumed and n == start and _already_done(records, e)):
                    raise
            records.put(rev.id, way.name, n + 1)
            records.con.commit()
        except Exception as e:
            records.con.rollback()
            raise MigrationError(
                "%s of %s stopped at statement %d of %d (%d done and recorded; the next run resumes at "
                "statement %d): %s\n  %s" % (way.word, rev.id, n + 1, len(statements), n, n + 1, e, _text(step))) from e
