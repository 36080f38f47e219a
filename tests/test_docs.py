"""Every Python block of the README and of docs/ runs, so no example rots.

A document's blocks run in order in one fresh interpreter per session (see
docs_run.py).  Markdown comments the reader does not see carry what a block
needs around it:

    <!-- doctest: session mysql      a new session; the database it needs
    code                             run at this point, before the next block
    -->
    <!-- doctest                     more hidden code in the same session
    assert ...                       (checks of what the text promises)
    -->

The database named in a session's header goes into the test's id, so the
cluster leg's ``-k mysql`` runs the MySQL sessions against a Galera node.
"""
import asyncio
import json
import os
import pathlib
import subprocess
import sys

import pytest

from tests.conftest import _mysql_reset, require_mysql

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
DATABASES = ("sqlite", "mysql", "postgresql")


class Session:
    def __init__(self, doc, line, needs):
        self.doc, self.line, self.needs = doc, line, needs
        self.blocks = []

    @property
    def id(self):
        return "%s:%d-%s" % (self.doc.name, self.line, self.needs)


def _dedent(lines):
    indent = min((len(s) - len(s.lstrip()) for s in lines if s.strip()), default=0)
    return "\n".join(s[indent:] for s in lines) + "\n"


def sessions_of(doc):
    lines = doc.read_text(encoding="utf-8").splitlines()
    found, i = [], 0
    current = None

    def where(n):
        return "%s:%d" % (doc.name, n + 1)

    while i < len(lines):
        stripped = lines[i].strip()
        if stripped.startswith("```"):
            start, lang = i, stripped[3:].strip()
            i += 1
            while i < len(lines) and lines[i].strip() != "```":
                i += 1
            if lang == "python":
                if current is None:
                    current = Session(doc, start + 1, "sqlite")
                    found.append(current)
                # Line numbers stay the document's in the traceback.
                current.blocks.append((where(start), "\n" * (start + 1) + _dedent(lines[start + 1:i])))
        elif stripped.startswith("<!-- doctest"):
            start = i
            header = stripped[len("<!-- doctest"):].lstrip(":").replace("-->", "").split()
            body = []
            if not stripped.endswith("-->"):
                i += 1
                while i < len(lines) and not lines[i].strip().endswith("-->"):
                    body.append(lines[i])
                    i += 1
                assert lines[i].strip() == "-->", "%s: end a doctest comment on a line of its own" % where(i)
            if "session" in header:
                needs = [w for w in header if w in DATABASES]
                current = Session(doc, start + 1, needs[0] if needs else "sqlite")
                found.append(current)
            elif current is None:
                raise AssertionError("%s: hidden code before any session" % where(start))
            if body:
                current.blocks.append((where(start), "\n" * (start + 1) + _dedent(body)))
        i += 1
    return found


SESSIONS = [s for doc in DOCUMENTS for s in sessions_of(doc)]


@pytest.mark.parametrize("session", SESSIONS, ids=[s.id for s in SESSIONS])
def test_document_session_runs(session, tmp_path, request):
    # A session starts on an empty database, as a reader's would.
    if session.needs == "mysql":
        asyncio.run(_mysql_reset(dict(require_mysql())))
    elif session.needs == "postgresql":
        request.getfixturevalue("pg_dsn")
    spec = tmp_path / "session.json"
    spec.write_text(json.dumps({"blocks": session.blocks}), encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (os.environ.get("PYTHONPATH"), str(ROOT)) if p))
    done = subprocess.run([sys.executable, str(ROOT / "tests" / "docs_run.py"), str(spec)], cwd=tmp_path,
                          env=env, capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stdout + done.stderr
