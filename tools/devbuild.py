"""Fast incremental development build, without pip.

Compiles every extension module folder src/Tavrik/<pkg>/<Name>/ whose
sources (or the shared headers) changed into build/dev-<tag>/Tavrik/<pkg>/,
and mirrors the package's Python files there as symlinks.  Several callers
may run it at once: each module is compiled under its own file lock.

    python tools/devbuild.py [--asan] [Module ...]
    PYTHONPATH=build/dev-<tag> python -m pytest tests

The installable build (pip install .) goes through CMake; this script only
shortens the edit-compile-test loop.
"""
import fcntl
import os
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src", "Tavrik")
INCLUDE = os.path.join(SRC, "_include")


def out_root(asan):
    tag = "%d%d" % sys.version_info[:2] + ("-asan" if asan else "")
    return os.path.join(ROOT, "build", "dev-" + tag)


def modules():
    for pkg in sorted(os.listdir(SRC)):
        pdir = os.path.join(SRC, pkg)
        if not os.path.isdir(pdir) or pkg.startswith("_"):
            continue
        for name in sorted(os.listdir(pdir)):
            mdir = os.path.join(pdir, name)
            if os.path.isdir(mdir) and any(f.endswith(".cpp") for f in os.listdir(mdir)):
                yield pkg, name, mdir


def newest(paths):
    return max((os.path.getmtime(p) for p in paths), default=0)


def headers():
    for d, _, files in os.walk(INCLUDE):
        for f in files:
            yield os.path.join(d, f)


def mirror_python(root):
    for d, dirs, files in os.walk(SRC):
        rel = os.path.relpath(d, SRC)
        if rel.startswith("_include"):
            continue
        for f in files:
            if f.endswith((".py", ".pyi", ".typed")):
                dst = os.path.join(root, "Tavrik", rel, f)
                os.makedirs(os.path.dirname(dst), exist_ok=True)
                if not os.path.islink(dst):
                    os.symlink(os.path.join(d, f), dst)


def build(pkg, name, mdir, root, asan):
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    out = os.path.join(root, "Tavrik", pkg, name + suffix)
    os.makedirs(os.path.dirname(out), exist_ok=True)
    sources = [os.path.join(mdir, f) for f in sorted(os.listdir(mdir)) if f.endswith(".cpp")]
    local_headers = [os.path.join(mdir, f) for f in os.listdir(mdir) if f.endswith(".hpp")]
    lockf = open(out + ".lock", "w")
    fcntl.flock(lockf, fcntl.LOCK_EX)
    try:
        if os.path.exists(out) and os.path.getmtime(out) >= newest(sources + local_headers + list(headers())):
            return True
        cmd = ["g++", "-std=c++17", "-shared", "-fPIC", "-fvisibility=hidden", "-Wall", "-Wextra",
               "-Wno-unused-parameter", "-Wno-missing-field-initializers", "-Wno-cast-function-type",
               "-I", sysconfig.get_paths()["include"], "-I", INCLUDE, "-o", out + ".tmp"] + sources
        cmd[1:1] = ["-O1", "-g", "-fsanitize=address,undefined", "-fno-omit-frame-pointer"] if asan else ["-O2", "-g"]
        print("building Tavrik.%s.%s" % (pkg, name), flush=True)
        r = subprocess.run(cmd)
        if r.returncode != 0:
            return False
        os.replace(out + ".tmp", out)
        return True
    finally:
        fcntl.flock(lockf, fcntl.LOCK_UN)
        lockf.close()


def main(argv):
    asan = "--asan" in argv
    wanted = [a for a in argv if not a.startswith("--")]
    root = out_root(asan)
    mirror_python(root)
    ok = True
    for pkg, name, mdir in modules():
        if wanted and name not in wanted:
            continue
        ok = build(pkg, name, mdir, root, asan) and ok
    print(root)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
