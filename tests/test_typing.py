"""The type checkers' view of rows and executors: the README's quickstart,
the example application and the example web service pass `mypy --strict`
and pyright (basedpyright, which bundles pyright and runs offline) with no
casts or ignores, and the mistakes typed rows exist to catch are reported
by both."""
import json
import os
import re
import site
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLES = os.path.join(ROOT, "examples")
QUICKSTART = os.path.join(EXAMPLES, "quickstart.py")
APP = os.path.join(EXAMPLES, "app.py")
WEB_APP = os.path.join(EXAMPLES, "fastapi_app.py")

# Each line marked "# E" must be reported by both checkers; no other line may be.
MISTAKES = textwrap.dedent('''\
    from typing import List, Optional

    from Tavrik.Model.Korvid import Korvid, MiddleKorvid
    from Tavrik.Model.ModelProperty import AutoIncrement, Column, ForeignKey, IntProperty, StrProperty


    class Part(Korvid):
        id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
        name: Column[Optional[str]] = StrProperty(60)
        code: Column[str] = StrProperty(20, nullable=False)
        qty: Column[int] = IntProperty()  # E  a nullable column typed as never None


    class Box(Korvid):
        id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
        parts: ForeignKey[List[Part]] = ForeignKey.oneToMany(Part, targetBindCol="box_id")


    row = Part(nmae="x")  # E  no such column
    row.nmae  # E  no such attribute
    Part(code=3)  # E  wrong value type
    Box(parts=[Box()])  # E  a Box is no Part
    size: int = len(row.code)
    length: int = len(row.name)  # E  may be None
    parts = Part.getSyncExecutor()
    found: Part = parts.findOneBy(Part.code == "a")
    found.nmae  # E  rows found are typed too
    page: bytes = parts.findAllBy().json()
    one: bytes = found.json()
    text: str = found.json()  # E  the JSON text is bytes
    for streamed in parts.iterate(Part.code != "", batchSize=100):
        streamed.nmae  # E  streamed rows are the model's
    totals = parts.aggregate(groupBy=[Part.code], total=Part.qty.sum())
    total = totals[0]["total"]
    changed: int = parts.updateWhere(Part.code == "a", {Part.qty: Part.qty - 1})
    gone: str = parts.deleteWhere(Part.code == "b")  # E  a count of rows
    by_hand: List[Part] = parts.raw("SELECT * FROM part WHERE code = %s", ["a"])
    parts.saveAll([found], onConflict="update", conflictColumns=[Part.code])
    parts.saveAll([found], onConflict="replace")  # E  no such upsert


    async def stream() -> None:
        async for later in Part.getAsyncExecutor().iterate():
            later.nmae  # E  on the asynchronous road too
    all_rows: List[Part] = parts.findAllBy(Part.name.like("a%"))
    boxes: List[Box] = parts.findAllBy()  # E  rows of another model
    len(Part.getAsyncExecutor().findAllBy())  # E  an awaitable, not the rows
    Part.getExecutor().findOneBy().code  # E  either road: must be told apart


    class PartBox(MiddleKorvid):
        id: Column[int] = IntProperty(primaryKey=True, default=AutoIncrement)
        part_id: Column[Optional[int]] = IntProperty()


    link: PartBox = PartBox.buildRow(part_id=1)  # a junction's row, typed
    link_part: Optional[int] = link.part_id
''')


def package_root():
    import Tavrik

    return os.path.dirname(os.path.dirname(os.path.abspath(Tavrik.__file__)))


def marked_lines(text):
    return {i for i, line in enumerate(text.splitlines(), 1) if "# E" in line}


def have(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


@pytest.fixture
def mistakes(tmp_path):
    path = tmp_path / "mistakes.py"
    path.write_text(MISTAKES)
    return str(path)


def test_readme_quickstart_is_the_example_file():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme.split("## Quickstart", 1)[1]
    block = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    with open(QUICKSTART, encoding="utf-8") as f:
        assert block == f.read()


def checker_env():
    # The checkers never load the package: keep a sanitizer run's preloads
    # out of them (and out of the Node that pyright runs on).
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        env.pop(name, None)
    return env


def run_mypy(files, tmp_path):
    env = checker_env()
    root = package_root()
    paths = [EXAMPLES]
    # An installed package is found through the interpreter; a development
    # build (PYTHONPATH) through MYPYPATH, which may not name site-packages.
    if root not in site.getsitepackages():
        paths.insert(0, root)
    env["MYPYPATH"] = os.pathsep.join(paths)
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--hide-error-context",
         "--cache-dir", str(tmp_path / "mypy-cache"), *files],
        capture_output=True, text=True, env=env, timeout=300, cwd=str(tmp_path))
    errors = {}
    for line in proc.stdout.splitlines():
        m = re.match(r"(.*?):(\d+): error: (.*)", line)
        if m:
            errors.setdefault(os.path.abspath(os.path.join(str(tmp_path), m.group(1))), {})[int(m.group(2))] = m.group(3)
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    return errors, proc.stdout + proc.stderr


def run_pyright(files, tmp_path):
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({
        "typeCheckingMode": "standard",
        "pythonVersion": "%d.%d" % sys.version_info[:2],
        "extraPaths": [package_root(), EXAMPLES],
    }))
    proc = subprocess.run(
        [sys.executable, "-m", "basedpyright", "--outputjson", "--pythonpath", sys.executable,
         "--project", str(config), *files],
        capture_output=True, text=True, env=checker_env(), timeout=300, cwd=str(tmp_path))
    report = json.loads(proc.stdout)
    errors = {}
    for d in report["generalDiagnostics"]:
        if d["severity"] == "error":
            errors.setdefault(os.path.abspath(d["file"]), {})[d["range"]["start"]["line"] + 1] = d["message"]
    return errors, proc.stdout[-3000:] + proc.stderr


CHECKERS = [
    pytest.param(run_mypy, "mypy", id="mypy"),
    pytest.param(run_pyright, "basedpyright", id="pyright"),
]


@pytest.mark.parametrize("run, module", CHECKERS)
def test_examples_pass_and_mistakes_are_reported(run, module, tmp_path, mistakes):
    if not have(module):
        pytest.skip("%s is not installed (make test installs it)" % module)
    errors, output = run([QUICKSTART, APP, WEB_APP, mistakes], tmp_path)
    assert errors.get(QUICKSTART, {}) == {}, output
    assert errors.get(APP, {}) == {}, output
    assert errors.get(WEB_APP, {}) == {}, output
    assert set(errors) <= {QUICKSTART, APP, WEB_APP, os.path.abspath(mistakes)}, output
    assert set(errors.get(os.path.abspath(mistakes), {})) == marked_lines(MISTAKES), output


@pytest.mark.parametrize("program, args", [(QUICKSTART, []), (APP, ["demo.db"])], ids=["quickstart", "app"])
def test_examples_run(program, args, tmp_path):
    # The annotations are evaluated when the classes are made (Python 3.9 has
    # no lazy annotations): the programs must run as they are typed.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root(), env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, program, *args], capture_output=True, text=True, env=env,
                          timeout=60, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    if program == APP:
        assert proc.stdout.rstrip().endswith("done.")
        assert "saved again with the same id: ada king" in proc.stdout
