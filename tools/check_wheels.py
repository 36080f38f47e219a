#!/usr/bin/env python3
"""Checks what `make wheel` made, as a user without a compiler meets it.

Each wheel in the directory given is installed into a fresh virtual
environment of its own interpreter, with CC and CXX pointing at a program
that fails and only binary distributions allowed (so nothing can be
compiled), and the README's quickstart (examples/quickstart.py) runs on it
from an empty directory: the package imported must be the installed one.
The source distribution must hold every file of the source tree a build
reads (the git tree's sources, CMake files and pyproject.toml).

    python tools/check_wheels.py dist
"""
import glob
import os
import shutil
import sqlite3
import subprocess
import sys
import tarfile
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYENV = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip() or os.path.expanduser("~/.pyenv")


def interpreter(tag):
    """The python of a wheel's cpXY tag (pyenv's, never a shim)."""
    major, minor = tag[2], tag[3:]
    found = sorted(glob.glob(os.path.join(PYENV, "versions", "%s.%s.*" % (major, minor), "bin", "python%s.%s" % (major, minor))))
    if not found:
        sys.exit("no interpreter for %s" % tag)
    return found[-1]


def check_wheel(path, work):
    name = os.path.basename(path)
    tag = name.split("-")[2]
    if "manylinux" not in name:
        sys.exit("%s: not repaired to a manylinux tag" % name)
    venv = os.path.join(work, "venv-" + tag)
    subprocess.run([interpreter(tag), "-m", "venv", venv], check=True)
    py = os.path.join(venv, "bin", "python")
    env = dict(os.environ, CC="/bin/false", CXX="/bin/false", PIP_DISABLE_PIP_VERSION_CHECK="1")
    env.pop("PYTHONPATH", None)
    subprocess.run([py, "-m", "pip", "install", "-q", "--only-binary", ":all:", path], check=True, env=env)
    run = os.path.join(work, "run-" + tag)
    os.mkdir(run)
    shutil.copy(os.path.join(ROOT, "examples", "quickstart.py"), run)
    probe = "import Tavrik, sys; print(Tavrik.__file__)"
    where = subprocess.run([py, "-c", probe], cwd=run, env=env, capture_output=True, text=True, check=True).stdout
    if not where.startswith(venv):
        sys.exit("%s: imported %s, not the installed package" % (name, where.strip()))
    proc = subprocess.run([py, "quickstart.py"], cwd=run, env=env, capture_output=True, text=True, timeout=120)
    if proc.returncode != 0:
        sys.exit("%s: the quickstart failed:\n%s" % (name, proc.stderr))
    con = sqlite3.connect(os.path.join(run, "app.db"))
    try:
        users = con.execute('SELECT name FROM "user"').fetchall()
    finally:
        con.close()
    if users != [("ada",)]:
        sys.exit("%s: the quickstart stored %r" % (name, users))
    print("ok  %s (no compiler; quickstart stored its rows)" % name)


def check_sdist(path):
    tracked = subprocess.run(["git", "ls-files", "src", "CMakeLists.txt", "cmake", "pyproject.toml", "README.md"],
                             cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()
    with tarfile.open(path) as tar:
        members = {m.split("/", 1)[1] for m in tar.getnames() if "/" in m}
    missing = sorted(f for f in tracked if f not in members)
    if missing:
        sys.exit("%s lacks %d files a source build reads: %s" % (os.path.basename(path), len(missing), missing[:10]))
    print("ok  %s (every source file)" % os.path.basename(path))


def main():
    dist = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "dist")
    wheels = sorted(glob.glob(os.path.join(dist, "*.whl")))
    sdists = sorted(glob.glob(os.path.join(dist, "*.tar.gz")))
    if not wheels or not sdists:
        sys.exit("no wheel or no sdist in %s: run make wheel" % dist)
    work = tempfile.mkdtemp(prefix="tavrik-wheels-")
    try:
        for w in wheels:
            check_wheel(w, work)
        for s in sdists:
            check_sdist(s)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
