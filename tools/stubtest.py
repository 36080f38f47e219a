"""Checks the package's .pyi stubs against the built package with mypy's stubtest.

    python tools/stubtest.py                  # the Tavrik the interpreter imports
    PYTHONPATH=build/dev-39 python tools/stubtest.py

The extension modules' signatures come from their text signatures; what
stubtest reports but cannot judge is listed, with reasons, in
tools/stubtest-allowlist.txt.  The package's private Python modules
(_name.py) carry no stubs and are not type-checked here: their type errors
are left out of stubtest's mypy run, and so are the missing type
information of the database drivers they import.
"""
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ALLOWLIST = os.path.join(ROOT, "tools", "stubtest-allowlist.txt")
UNTYPED = ["pymysql", "pymysql.*", "aiomysql", "aiomysql.*", "aiosqlite", "aiosqlite.*"]


def private_modules(package_dir):
    """Dotted names of the package's private Python modules."""
    top = os.path.dirname(package_dir)
    for dirpath, dirnames, filenames in os.walk(package_dir):
        dirnames[:] = sorted(d for d in dirnames if d != "__pycache__")
        for f in sorted(filenames):
            if f.endswith(".py") and f.startswith("_") and f != "__init__.py":
                rel = os.path.relpath(os.path.join(dirpath, f[:-3]), top)
                yield rel.replace(os.sep, ".")


def mypy_config(package_dir):
    lines = ["[mypy]", "", "[mypy-%s]" % ",".join(UNTYPED), "ignore_missing_imports = True"]
    private = list(private_modules(package_dir))
    if private:
        lines += ["", "[mypy-%s]" % ",".join(private), "ignore_errors = True"]
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
    probe = subprocess.run([sys.executable, "-c", "import Tavrik, os; print(os.path.dirname(Tavrik.__file__))"],
                           capture_output=True, text=True, env=env, timeout=120)
    if probe.returncode != 0:
        sys.stderr.write(probe.stdout + probe.stderr)
        return 1
    package_dir = probe.stdout.strip()
    with tempfile.TemporaryDirectory() as tmp:
        config = os.path.join(tmp, "mypy.ini")
        with open(config, "w") as f:
            f.write(mypy_config(package_dir))
        # Run from an empty directory: a working directory holding the package
        # (a development build's own) would make mypy see it twice.
        cmd = [sys.executable, "-m", "mypy.stubtest", "Tavrik", "--mypy-config-file", config,
               "--allowlist", ALLOWLIST, *argv]
        return subprocess.run(cmd, env=env, cwd=tmp, timeout=600).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
