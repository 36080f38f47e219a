"""Fast incremental development build, without pip.

Drives the project's CMakeLists.txt (the same build definition pip install
uses): configures once into build/dev-<tag>-cmake, builds the extension
modules that changed there, and lays out the package in build/dev-<tag>/ --
the built modules copied beside the package's Python files, which are
mirrored as symlinks.  Several callers may run it at once: the build runs
under one file lock.

    python tools/devbuild.py [--asan] [Module ...]
    PYTHONPATH=build/dev-<tag> python -m pytest tests

--asan builds with AddressSanitizer and UndefinedBehaviorSanitizer
(TAVRIK_SANITIZE=ON) into build/dev-<tag>-asan/.
"""
import fcntl
import os
import shutil
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(ROOT, "src", "Tavrik")


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
                yield pkg, name


def tool(name):
    # The one installed beside this interpreter (a venv's cmake and ninja), else PATH's.
    here = os.path.join(os.path.dirname(sys.executable), name)
    return here if os.path.exists(here) else shutil.which(name)


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


def configure(cmake, bdir, asan):
    cache = os.path.join(bdir, "CMakeCache.txt")
    # A build dir configured before warnings became errors is configured again.
    if os.path.exists(cache) and "TAVRIK_WERROR:BOOL=ON" in open(cache).read():
        return True
    # Warnings are errors here, as in make test, so none slips in unseen.
    cmd = [cmake, "-S", ROOT, "-B", bdir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTAVRIK_WERROR=ON",
           "-DPython_EXECUTABLE=" + sys.executable, "-DTAVRIK_SANITIZE=" + ("ON" if asan else "OFF")]
    ninja = tool("ninja")
    if ninja:
        cmd += ["-G", "Ninja", "-DCMAKE_MAKE_PROGRAM=" + ninja]
    return subprocess.run(cmd).returncode == 0


def lay_out(bdir, root, pkg, name):
    # A module CMake did not rebuild keeps its copy, so a running test process
    # is never handed a half-written file: copy aside, then rename.
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    built = os.path.join(bdir, name + suffix)
    out = os.path.join(root, "Tavrik", pkg, name + suffix)
    if not os.path.exists(built):
        print("missing %s" % built, file=sys.stderr)
        return False
    if os.path.exists(out) and os.path.getmtime(out) >= os.path.getmtime(built):
        return True
    os.makedirs(os.path.dirname(out), exist_ok=True)
    shutil.copy2(built, out + ".tmp")
    os.replace(out + ".tmp", out)
    return True


def main(argv):
    asan = "--asan" in argv
    wanted = [a for a in argv if not a.startswith("--")]
    root = out_root(asan)
    bdir = root + "-cmake"
    cmake = tool("cmake")
    if not cmake:
        print("cmake not found (pip install cmake ninja)", file=sys.stderr)
        return 1
    mirror_python(root)
    chosen = [(pkg, name) for pkg, name in modules() if not wanted or name in wanted]
    os.makedirs(bdir, exist_ok=True)
    with open(os.path.join(bdir, "devbuild.lock"), "w") as lockf:
        fcntl.flock(lockf, fcntl.LOCK_EX)
        ok = configure(cmake, bdir, asan)
        if ok and chosen:
            cmd = [cmake, "--build", bdir, "-j", "2", "--target"] + ["%s_%s" % m for m in chosen]
            ok = subprocess.run(cmd).returncode == 0
        # Lay out what built even when another module failed.
        for pkg, name in chosen:
            ok = lay_out(bdir, root, pkg, name) and ok
    print(root)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
