"""Checks that the C++ keeps the conventions the house adopted (run by make lint).

- arguments are bound through the header layer's params.hpp, never through
  the interpreter's format-string parsers;
- a module's interned names are listed once (an X-macro), not assigned one
  by one beside a struct that declares them again;
- GC slots come from a type's Refs<> list, not from hand-written Py_VISIT;
- one set of call helpers (ref.hpp's call, call_method, call_method_args);
- one place per dialect fact: nothing outside the dialect layer (dialect.hpp,
  sqltext.hpp) tells databases apart by their placeholder (paramsHolder) or
  writes identifier quotes by hand; a method docstring ("name(...): ...")
  may show SQL.

Prints each offending line and exits 1 when there is one.
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src", "Tavrik")
HEADERS = os.path.join(SRC, "_include", "tavrik")

CHECKS = [
    (re.compile(r"\bPyArg_Parse\w*"), None,
     "bind arguments through params.hpp (parse_fast, bind_args, parse_tuple, parse_tuple_kw)"),
    (re.compile(r"\b\w+\.\w+ = (?:\w+::)*intern\(\"|\b\w+\.\w+ = (?:in|name)\(\""), None,
     "list the module's names once: #define X_NAMES(X) ... with TAVRIK_NAME_FIELD/TAVRIK_NAME_INTERN"),
    (re.compile(r"\bPy_VISIT\("), HEADERS,
     "make the GC slots from the type's Refs<> list (type.hpp)"),
    (re.compile(r"\b(?:callm|call1|vcall|call_method0|call_method1|call_by_name|call_method_seq)\s*\("), None,
     "call through ref.hpp's call, call_method or call_method_args"),
]


DIALECT_LAYER = {os.path.join(HEADERS, "dialect.hpp"), os.path.join(HEADERS, "sqltext.hpp")}
DIALECT_CHECKS = [
    (re.compile(r"Compare\w*\([^;]*\"(?:%s|\?)\"|[=!]=\s*\"(?:%s|\?)\"|\bparamsHolder\b"),
     "ask the connector's dialect (dialect.hpp: dialect_of, connector_dialect), never its placeholder"),
    (re.compile(r"'`'|\"[^\"]*`[^\"]*\""),
     "quote identifiers through the dialect (sqltext.hpp: quote_ident)"),
]
# Where a connector answers its own paramsHolder attribute, and docstrings.
ALLOWED = re.compile(r"\{\"paramsHolder\",|\w+_paramsHolder\b|\bparamsHolder_get\b|\): ")


def dialect_offences(path, code):
    if path in DIALECT_LAYER or ALLOWED.search(code):
        return []
    return [advice for pattern, advice in DIALECT_CHECKS if pattern.search(code)]


PY_HOLDER = re.compile(r"paramsHolder\s*[=!]=|[=!]=\s*[\w.]*paramsHolder\b")


def python_offences(path):
    bad = 0
    with open(path, encoding="utf-8") as fh:
        for n, line in enumerate(fh, 1):
            if PY_HOLDER.search(line.split("#", 1)[0]):
                print("%s:%d: ask the connector's `dialect`, never its paramsHolder\n    %s"
                      % (os.path.relpath(path, ROOT), n, line.strip()))
                bad += 1
    return bad


def strip_comment(line):
    i = line.find("//")
    return line if i < 0 else line[:i]


def main():
    bad = 0
    for d, _, files in os.walk(SRC):
        for f in sorted(files):
            path = os.path.join(d, f)
            if f.endswith(".py"):
                bad += python_offences(path)
            if not f.endswith((".cpp", ".hpp")):
                continue
            with open(path, encoding="utf-8") as fh:
                lines = fh.read().split("\n")
            for n, line in enumerate(lines, 1):
                code = strip_comment(line)
                advices = [advice for pattern, allowed_dir, advice in CHECKS
                           if not (allowed_dir and path.startswith(allowed_dir + os.sep)) and pattern.search(code)]
                for advice in advices + dialect_offences(path, code):
                    print("%s:%d: %s\n    %s" % (os.path.relpath(path, ROOT), n, advice, line.strip()))
                    bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
