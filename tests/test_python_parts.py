"""The extension modules' Python parts are real, private modules of the
package: an error raised under them shows each of their frames with its file
and source line, and importing one of them before its extension module still
gives one working set of objects."""
import os
import subprocess
import sys
import traceback

import pytest

import Tavrik
from tests.models import Post

PACKAGE = os.path.dirname(os.path.abspath(Tavrik.__file__))


def package_frames(err):
    frames = traceback.extract_tb(err.__traceback__)
    return [f for f in frames if os.path.abspath(f.filename).startswith(PACKAGE + os.sep)
            or "Tavrik" in f.filename]


async def test_failed_async_save_shows_source_lines(async_db):
    # the table is gone, so the insert fails inside the executor's coroutine
    await async_db.execute("DROP TABLE t_post")
    err = None
    try:
        await Post.getExecutor().save(Post(user_id=1, title="lost"))
    except Exception as e:
        err = e
    assert err is not None, "the save reported success"
    frames = package_frames(err)
    files = {os.path.basename(f.filename) for f in frames}
    assert "_aio_executor.py" in files, [f.filename for f in frames]
    assert "_aio_connectors.py" in files, [f.filename for f in frames]
    for f in frames:
        assert f.filename.endswith(".py") and os.path.isfile(f.filename), f.filename
        assert f.line, "no source line for %s:%s" % (f.filename, f.lineno)
    # the frame of the driver running the save names its function
    assert any(f.name == "run" and os.path.basename(f.filename) == "_aio_executor.py" for f in frames)


PROGRAM = """
import sys
import {private} as first
import Tavrik.DB.Connector as C, Tavrik.Ext.Decorators as D, Tavrik.Ext.Olvane as O
import Tavrik.Error.Grelt as G, Tavrik.Error.Strovy as S
import Tavrik.Model.ModelProperty as MP, Tavrik.Model.Vantrel as V
# the module the import handed back is the one the extension uses
assert first is sys.modules["{private}"]
public = {{"Tavrik.Model._foreign": (MP, "ForeignKey"), "Tavrik.Error._grelt": (G, "WhereGrelt"),
          "Tavrik.Error._strovy": (S, "DBInstanceError"), "Tavrik.Ext._decorators": (D, "use_database"),
          "Tavrik.DB._aio_connectors": (C, "_ConRequest")}}.get("{private}")
if public:
    assert getattr(public[0], public[1]) is getattr(first, public[1])
from tests.models import User
import asyncio
from Tavrik.DB.DB import DB
from Tavrik.Ext import generate_table

async def main():
    connector = C.AioSqliteConnector(asyncio.get_running_loop(), path=sys.argv[1], showLog=False)
    DB.create(connector)
    await generate_table()
    async with connector.transaction():
        await User.getExecutor().save(User(name="first"))
    page = await O.Olvane(User, 1, 10).filter().execute()
    await connector.close()
    print(len(page["content"]))

asyncio.run(main())
"""


@pytest.mark.parametrize("private", [
    "Tavrik.DB._aio_connectors", "Tavrik.Model._aio_executor", "Tavrik.Model._foreign", "Tavrik.Ext._olvane",
    "Tavrik.Ext._decorators", "Tavrik.Error._strovy", "Tavrik.Error._grelt",
])
def test_private_module_imported_first(private, tmp_path):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(PACKAGE), root]))
    res = subprocess.run([sys.executable, "-c", PROGRAM.format(private=private), str(tmp_path / "t.db")],
                         capture_output=True, text=True, timeout=60, env=env, cwd=root)
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == "1"
