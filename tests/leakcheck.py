"""The leak check shared by the suites: a program defining `burst()` is run
in a fresh interpreter; after a warm-up, the interpreter's object count and
traced memory must stop growing from one window of bursts to the next."""
import os
import subprocess
import sys

_MEASURE = """
import gc as _gc, tracemalloc as _tm, weakref as _wr
for _ in range(3):
    burst()
_gc.collect()
_tm.start()
_counts, _sizes = [], []
for _ in range(9):
    burst()
    _gc.collect()
    # sqlite3 keeps a weak reference per cursor and prunes them only every
    # few hundred cursors: those come and go (a sawtooth in memory), the
    # rest must not grow.
    _counts.append(sum(1 for o in _gc.get_objects() if type(o) is not _wr.ref))
    _sizes.append(_tm.get_traced_memory()[0])
print(max(_counts[1:5]), max(_counts[5:]), max(_sizes[1:5]), max(_sizes[5:]))
"""

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def assert_bursts_do_not_grow(program, timeout=120):
    """`program` defines burst(); it may use %(path)r for sys.path."""
    script = program % {"path": [p for p in sys.path if p]} + _MEASURE
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout, cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    c1, c2, s1, s2 = map(int, proc.stdout.split())
    # Four bursts lie between the two windows: a leak per statement or per
    # row shows as thousands of objects or hundreds of kilobytes.
    assert c2 - c1 < 50, (c1, c2)
    assert s2 - s1 < 64 * 1024, (s1, s2)
