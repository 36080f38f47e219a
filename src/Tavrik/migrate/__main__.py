"""python -m Tavrik.migrate: the migration commands (see Tavrik.migrate).

Options not given take their value from ``[tool.tavrik]`` of the nearest
pyproject.toml (``url``, ``models``, ``dir``)."""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, List, Optional

from Tavrik.migrate import (MigrationError, check, current, downgrade, history, init, make, sql, stamp,
                            upgrade)


def _options(parser: argparse.ArgumentParser, top: bool) -> argparse.ArgumentParser:
    # Given before or after the command; a command's own defaults must not
    # hide what was given before it.
    parser.add_argument("--url", help="the database, as Tavrik.DB.connect reads it",
                        default=None if top else argparse.SUPPRESS)
    parser.add_argument("--models", help="module to import: it declares the models",
                        default=None if top else argparse.SUPPRESS)
    parser.add_argument("--dir", help="the revisions' directory (default migrations/)",
                        default=None if top else argparse.SUPPRESS)
    return parser


def _parser() -> argparse.ArgumentParser:
    common = _options(argparse.ArgumentParser(add_help=False), False)
    parser = _options(argparse.ArgumentParser(prog="python -m Tavrik.migrate"), True)
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("init", parents=[common], help="create the revisions' directory")
    p = sub.add_parser("make", parents=[common], help="write a revision from the models' changes")
    p.add_argument("-m", "--message", required=True)
    p.add_argument("--rename", action="append", default=[], metavar="TABLE.OLD:NEW",
                   help="a column renamed (the table by its new name)")
    p.add_argument("--rename-table", action="append", default=[], metavar="OLD:NEW", help="a table renamed")
    p = sub.add_parser("upgrade", parents=[common], help="apply revisions up to REV (head)")
    p.add_argument("revision", nargs="?", default="head")
    p = sub.add_parser("downgrade", parents=[common], help="undo revisions down to REV (or base)")
    p.add_argument("revision")
    sub.add_parser("current", parents=[common], help="the database's revision")
    sub.add_parser("history", parents=[common], help="the revisions, first to head")
    p = sub.add_parser("stamp", parents=[common], help="record REV as applied without running it")
    p.add_argument("revision")
    p = sub.add_parser("sql", parents=[common], help="print the statements FROM:TO without running them")
    p.add_argument("span", nargs="?")
    sub.add_parser("check", parents=[common], help="fail when models, revisions and database disagree")
    return parser


_KEYS = ("url", "models", "dir")


def _read_toml(path: str) -> Dict[str, Any]:
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib
    with open(path, "rb") as f:
        return tomllib.load(f)


def project_defaults(start: str) -> Dict[str, str]:
    """[tool.tavrik] of the nearest pyproject.toml at or above ``start``:
    ``url``, ``models`` and ``dir`` (taken relative to that file)."""
    folder = os.path.abspath(start)
    while not os.path.isfile(os.path.join(folder, "pyproject.toml")):
        parent = os.path.dirname(folder)
        if parent == folder:
            return {}
        folder = parent
    path = os.path.join(folder, "pyproject.toml")
    try:
        table = _read_toml(path).get("tool", {}).get("tavrik", {})
    except ValueError as e:  # tomllib.TOMLDecodeError is a ValueError
        raise MigrationError("%s: %s" % (path, e)) from e
    unknown = sorted(set(table) - set(_KEYS))
    if unknown:
        raise MigrationError("%s: [tool.tavrik] takes %s, not %s" % (path, ", ".join(_KEYS), ", ".join(unknown)))
    for key, value in table.items():
        if not isinstance(value, str):
            raise MigrationError("%s: [tool.tavrik] %s must be a string" % (path, key))
    out = dict(table)
    if "dir" in out:
        out["dir"] = os.path.join(folder, out["dir"])
    if "models" in out and folder not in sys.path:
        sys.path.insert(0, folder)  # the models module sits beside the file that names it
    return out


def _url(url: Optional[str]) -> str:
    if not url:
        raise MigrationError("this command needs --url")
    return url


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        defaults = project_defaults(os.getcwd())
        for key in _KEYS:
            if getattr(args, key) is None:
                setattr(args, key, defaults.get(key))
        args.dir = args.dir or "migrations"
        if args.command == "init":
            print("created %s" % init(args.dir))
        elif args.command == "make":
            make(args.message, models=args.models, directory=args.dir, renames=args.rename,
                 tableRenames=args.rename_table)
        elif args.command == "upgrade":
            upgrade(_url(args.url), args.revision, models=args.models, directory=args.dir)
        elif args.command == "downgrade":
            downgrade(_url(args.url), args.revision, models=args.models, directory=args.dir)
        elif args.command == "current":
            print(current(_url(args.url), models=args.models, directory=args.dir))
        elif args.command == "history":
            for line in history(models=args.models, directory=args.dir):
                print(line)
        elif args.command == "stamp":
            stamp(_url(args.url), args.revision, models=args.models, directory=args.dir)
        elif args.command == "sql":
            sql(_url(args.url), args.span, models=args.models, directory=args.dir)
        elif args.command == "check":
            return 0 if check(_url(args.url), models=args.models, directory=args.dir) else 1
    except MigrationError as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
