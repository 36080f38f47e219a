"""Checks that the C++ keeps the conventions the house adopted (run by make lint).

- arguments are bound through the header layer's params.hpp, never through
  the interpreter's format-string parsers;
- a module's interned names are listed once (an X-macro), not assigned one
  by one beside a struct that declares them again;
- GC slots come from a type's Refs<> list, not from hand-written Py_VISIT;
- one set of call helpers (ref.hpp's call, call_method, call_method_args).

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


def strip_comment(line):
    i = line.find("//")
    return line if i < 0 else line[:i]


def main():
    bad = 0
    for d, _, files in os.walk(SRC):
        for f in sorted(files):
            if not f.endswith((".cpp", ".hpp")):
                continue
            path = os.path.join(d, f)
            with open(path, encoding="utf-8") as fh:
                lines = fh.read().split("\n")
            for n, line in enumerate(lines, 1):
                code = strip_comment(line)
                for pattern, allowed_dir, advice in CHECKS:
                    if allowed_dir and path.startswith(allowed_dir + os.sep):
                        continue
                    if pattern.search(code):
                        print("%s:%d: %s\n    %s" % (os.path.relpath(path, ROOT), n, advice, line.strip()))
                        bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
