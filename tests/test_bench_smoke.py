"""The benchmark harness runs end to end on tiny sizes: every Tavrik scenario
executes and checks its own results, and the table is written."""
import importlib.util
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SCENARIOS = ["1", "2", "3m", "3f", "3w", "4", "5", "6", "7a", "7b", "7c", "7d", "7i", "8"]
PG_SCENARIOS = ["10" + c for c in "abcdefg"] + ["11" + c for c in "abcdefg"]


def test_bench_quick_runs_and_writes_the_table(tmp_path):
    out = tmp_path / "results"
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "bench", "run.py"), "--quick", "--out", str(out)],
        cwd=ROOT, env=dict(os.environ), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True,
        timeout=1800,  # a guard against a hang only; nothing here is timed
    )
    assert proc.returncode == 0, proc.stdout[-5000:]

    md = (out / "results.md").read_text(encoding="utf-8")
    assert "| scenario |" in md
    assert "Machine:" in md
    report = json.loads((out / "results.json").read_text(encoding="utf-8"))
    assert report["quick"] is True
    assert report["machine"]["python"] == "%d.%d.%d" % sys.version_info[:3]
    by_id = {sc["id"]: sc for sc in report["scenarios"]}
    for sid in SCENARIOS:
        assert sid in by_id, "scenario %s missing from the report" % sid
        tavrik = by_id[sid]["results"]["Tavrik"]
        raw = by_id[sid]["results"]["raw"]
        assert "error" not in tavrik and "error" not in raw, (sid, tavrik, raw)
        assert tavrik["ratio"] > 0, (sid, tavrik)
        assert "| %s. " % sid in md
    mysql = [sc for sc in report["scenarios"] if sc["id"] in ("7e", "7f", "7g", "7h")]
    if os.environ.get("TAVRIK_MYSQL_HOST"):
        assert len(mysql) == 4
        for sc in mysql:
            assert "error" not in sc["results"]["Tavrik"], sc["results"]["Tavrik"]
    pg = [sc for sc in report["scenarios"] if sc["id"][:2] in ("10", "11")]
    if os.environ.get("TAVRIK_PG_HOST"):
        assert [sc["id"] for sc in pg] == PG_SCENARIOS
        for sc in pg:
            for name, res in sc["results"].items():
                assert "error" not in res, (sc["id"], name, res)
            assert sc["results"]["raw"]["ratio"] == 1.0, sc["id"]
            tavrik = sc["results"]["Tavrik"]
            # The PostgreSQL connectors may be missing from a build: then the
            # entry says so instead of failing.
            assert tavrik.get("ratio", 0) > 0 or "not available in this build" in tavrik.get("skipped", ""), \
                (sc["id"], tavrik)
    else:
        assert pg == []
    if importlib.util.find_spec("matplotlib") is None:
        assert not (out / "results.png").exists()
    else:
        assert (out / "results.png").stat().st_size > 0
