"""Checks the package's .pyi stubs against the built package with mypy's stubtest.

    python tools/stubtest.py                  # the Tavrik the interpreter imports
    PYTHONPATH=build/dev-39 python tools/stubtest.py

The extension modules' signatures come from their text signatures; what
stubtest reports but cannot judge is listed, with reasons, in
tools/stubtest-allowlist.txt.  The package's private Python modules
(_name.py) carry no stubs; stubtest's mypy run reads them as they are (they
pass mypy --strict, see pyproject.toml and make lint).  The database drivers
they import have no type information: that is all this run is told to
ignore.
"""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ALLOWLIST = os.path.join(ROOT, "tools", "stubtest-allowlist.txt")
UNTYPED = ["pymysql", "pymysql.*", "aiomysql", "aiomysql.*", "aiosqlite", "aiosqlite.*"]


def mypy_config():
    lines = ["[mypy]", "", "[mypy-%s]" % ",".join(UNTYPED), "ignore_missing_imports = True", "follow_imports = skip"]
    return "\n".join(lines) + "\n"


def main(argv):
    # The checker only imports the package to read it: keep a sanitizer
    # run's preloads out of it.
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        env.pop(name, None)
    # The checker runs elsewhere (below): a relative search path must still
    # name the same build.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    # A package that fails to import is reported as it is, not through stubtest.
    probe = subprocess.run([sys.executable, "-c", "import Tavrik"],
                           capture_output=True, text=True, env=env, timeout=120)
    if probe.returncode != 0:
        sys.stderr.write(probe.stdout + probe.stderr)
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        config = os.path.join(tmp, "mypy.ini")
        with open(config, "w") as f:
            f.write(mypy_config())
        # Run from an empty directory: a working directory holding the package
        # (a development build's own) would make mypy see it twice.
        cmd = [sys.executable, "-m", "mypy.stubtest", "Tavrik", "--mypy-config-file", config,
               "--allowlist", ALLOWLIST, *argv]
        return subprocess.run(cmd, env=env, cwd=tmp, timeout=600).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
