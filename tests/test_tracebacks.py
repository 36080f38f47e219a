"""The asynchronous roads' Python parts are real modules of the package: an
error raised under them shows each of their frames with its file and source
line, as any Python code would."""
import os
import traceback

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
    # the frame of the save itself names its function
    assert any(f.name == "_v_save" and os.path.basename(f.filename) == "_aio_executor.py" for f in frames)
