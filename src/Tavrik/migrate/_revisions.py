"""Revision files: one readable Python file per revision in the migrations
directory, holding its id, the revision it follows, whether it was reviewed,
``upgrade(op)``, ``downgrade(op)`` and the model state after it."""
from __future__ import annotations

import datetime
import decimal
import importlib.util
import os
import pprint
import re
import uuid
from typing import Any, Callable, Dict, List, Optional, Sequence

from Tavrik.migrate._state import Change, State, data_dropping


class MigrationError(Exception):
    """迁移无法进行: 修订链有误, 修订未审阅, 或数据库与修订不一致。"""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class Revision:
    """One loaded revision file."""

    def __init__(self, path: str, module: Any) -> None:
        self.path = path
        self.id: str = module.revision
        self.down: Optional[str] = module.down_revision
        self.message: str = getattr(module, "message", "")
        self.reviewed: bool = bool(getattr(module, "reviewed", True))
        self.upgrade: Callable[[Any], None] = module.upgrade
        self.downgrade: Callable[[Any], None] = module.downgrade
        self.state: State = module.state


def _load(path: str) -> Revision:
    name = "_tavrik_revision_" + re.sub(r"\W", "_", os.path.basename(path)[:-3])
    spec = importlib.util.spec_from_file_location(name, path)
    if spec is None or spec.loader is None:
        raise MigrationError("cannot read revision file %s" % path)
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    except Exception as e:
        raise MigrationError("revision file %s cannot be read: %s: %s" % (path, type(e).__name__, e)) from e
    for attr in ("revision", "down_revision", "upgrade", "downgrade", "state"):
        if not hasattr(module, attr):
            raise MigrationError("revision file %s has no %r" % (path, attr))
    return Revision(path, module)


def load_chain(directory: str) -> List[Revision]:
    """The revisions of the directory in order, from the first to the head."""
    if not os.path.isdir(directory):
        raise MigrationError("no migrations directory %r (run init first)" % directory)
    revisions = [_load(os.path.join(directory, f)) for f in sorted(os.listdir(directory))
                 if f.endswith(".py") and not f.startswith("_")]
    by_down: Dict[Optional[str], Revision] = {}
    ids = set()
    for rev in revisions:
        if rev.id in ids:
            raise MigrationError("two revisions have the id %r" % rev.id)
        ids.add(rev.id)
        if rev.down in by_down:
            raise MigrationError("revisions %r and %r both follow %r: the history must be one line"
                                 % (by_down[rev.down].id, rev.id, rev.down or "base"))
        by_down[rev.down] = rev
    chain: List[Revision] = []
    at: Optional[str] = None
    while at in by_down:
        chain.append(by_down[at])
        at = chain[-1].id
    if len(chain) != len(revisions):
        lost = sorted(r.id for r in revisions if r not in chain)
        raise MigrationError("revisions %s follow no revision of the chain" % ", ".join(lost))
    return chain


def index_of(chain: Sequence[Revision], target: str) -> int:
    """The position of a revision named by id (a unique prefix will do),
    ``head`` or ``base`` (-1)."""
    if target == "base":
        return -1
    if target == "head":
        return len(chain) - 1
    found = [i for i, r in enumerate(chain) if r.id.startswith(target)]
    if len(found) != 1:
        raise MigrationError("no revision %r" % target if not found else "revision %r is ambiguous" % target)
    return found[0]


# ------------------------------------------------------------ writing

def _literal(value: Any) -> str:
    from Tavrik.Model.ModelProperty import AutoIncrement, NullDefault

    if value is AutoIncrement or isinstance(value, AutoIncrement):
        return "AutoIncrement"
    if value is NullDefault or isinstance(value, NullDefault):
        return "NullDefault"
    if isinstance(value, decimal.Decimal):
        return "decimal.Decimal(%r)" % str(value)
    if isinstance(value, (datetime.date, datetime.datetime)):
        return repr(value)
    return pprint.pformat(value, width=100)


def _column_text(col: Dict[str, Any]) -> str:
    return "{%s}" % ", ".join("%r: %s" % (k, _literal(v)) for k, v in col.items())


def _args_text(args: Sequence[Any]) -> str:
    parts = []
    for a in args:
        if isinstance(a, dict):
            parts.append(_column_text(a))
        elif isinstance(a, list):
            parts.append("[\n        %s,\n    ]" % ",\n        ".join(_column_text(c) for c in a))
        else:
            parts.append(repr(a))
    return ", ".join(parts)


def _body(changes: Sequence[Change]) -> str:
    if not changes:
        return "    pass\n"
    return "".join("    op.%s(%s)\n" % (name, _args_text(args)) for name, args in changes)


def _state_text(state: State) -> str:
    if not state:
        return "{}"
    tables = []
    for table, columns in state.items():
        cols = ",\n        ".join(_column_text(c) for c in columns)
        tables.append("    %r: [\n        %s,\n    ]" % (table, cols))
    return "{\n%s,\n}" % ",\n".join(tables)


def write_revision(directory: str, number: int, down: Optional[str], message: str, up: Sequence[Change],
                   down_changes: Sequence[Change], state: State, before: Optional[State] = None) -> str:
    """Writes a new revision file (going up from ``before``) and returns its path."""
    rev = uuid.uuid4().hex[:12]
    drops = data_dropping(before or {}, up)
    reviewed = "False" if drops else "True"
    note = ""
    if drops:
        note = ("# This revision drops data (%s): read it, then set reviewed = True;\n"
                "# upgrade refuses it until then.\n") % ", ".join(drops)
    slug = re.sub(r"[^A-Za-z0-9]+", "_", message).strip("_").lower()[:40] or "revision"
    path = os.path.join(directory, "%04d_%s_%s.py" % (number, rev, slug))
    text = ("%r\n"
            "import datetime  # noqa: F401\n"
            "import decimal  # noqa: F401\n\n"
            "from Tavrik.Model.ModelProperty import AutoIncrement, NullDefault  # noqa: F401\n\n"
            "revision = %r\n"
            "down_revision = %r\n"
            "message = %r\n"
            "%s"
            "reviewed = %s\n\n\n"
            "def upgrade(op):\n%s\n\n"
            "def downgrade(op):\n%s\n\n"
            "# The models as they are after this revision: the next one is made by\n"
            "# comparing the declared models with it.\n"
            "state = %s\n") % (message or "revision", rev, down, message,
                               note, reviewed, _body(up), _body(down_changes), _state_text(state))
    with open(path, "x", encoding="utf-8") as fh:
        fh.write(text)
    return path
