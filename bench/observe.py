"""What observing statements costs on the synchronous SQLite road: the point
lookups (scenario 2) and the single-row saves in :memory: (3m) of run.py,
with no hook, with a hook that does nothing, and instrumented
(OpenTelemetry spans into an SDK provider that exports nowhere).

    python bench/observe.py --builds OLD_BUILD_DIR,NEW_BUILD_DIR --rounds 3

Each measurement is a fresh interpreter on one build (PYTHONPATH=build);
builds and modes alternate within each round so that a noisy neighbour hits
them alike.  Prints CPU microseconds per unit (median of the runs in each
process, then the median over rounds) and the ratios to the old build
with no hook.  `--one` is the child's entry point.
"""
import argparse
import asyncio
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

SCENARIOS = {"2": "lookups", "3m": "saves_memory"}
MODES = ["none", "noop", "otel"]


def noop(event):
    pass


def one(scenario, mode, runs, rows):
    import common
    import run
    import tavrik_impl as t

    sizes = common.Sizes(False, dict(rows=rows, lookups=5000, saves=5000, runs=runs))
    with tempfile.TemporaryDirectory() as tmp:
        ctx = run.Ctx(sizes, tmp, asyncio.new_event_loop())
        runner = getattr(t, SCENARIOS[scenario])(ctx)
        orig_before = runner.before

        def before():
            orig_before()
            from Tavrik.DB.DB import DB

            if mode == "noop":
                DB.getInstance().onStatement(noop)
            elif mode == "otel":
                from opentelemetry.sdk.trace import TracerProvider

                import Tavrik.DB

                Tavrik.DB.instrument(tracerProvider=TracerProvider())

        runner.before = before
        times = []
        try:
            # run.py's loop (a warm-up, then checked runs), timed in CPU time:
            # the machine's neighbours move wall time far more than the
            # difference measured here.
            for i in range(runs + 1):
                runner.before()
                gc.collect()
                t0 = time.process_time()
                res = runner.run()
                t1 = time.process_time()
                runner.check(res)
                if i:
                    times.append(t1 - t0)
        finally:
            runner.close()
    print(json.dumps(statistics.median(times) / runner.units * 1e6))


def main(argv=None):
    p = argparse.ArgumentParser()
    p.add_argument("--builds", help="old,new build directories")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--rows", type=int, default=20_000)
    p.add_argument("--only", default="2,3m")
    p.add_argument("--one", nargs=2, metavar=("SCENARIO", "MODE"))
    args = p.parse_args(argv)
    if args.one:
        return one(args.one[0], args.one[1], args.runs, args.rows)
    old, new = args.builds.split(",")
    plan = [(old, "none")] + [(new, m) for m in MODES]
    results = {}
    for r in range(args.rounds):
        for sc in args.only.split(","):
            for build, mode in plan:
                env = dict(os.environ, PYTHONPATH=os.pathsep.join(
                    [os.path.abspath(build)] + [x for x in os.environ.get("PYTHONPATH", "").split(os.pathsep) if x]))
                out = subprocess.run([sys.executable, __file__, "--one", sc, mode, "--runs", str(args.runs),
                                      "--rows", str(args.rows)], env=env, check=True, capture_output=True,
                                     text=True).stdout
                us = json.loads(out.strip().splitlines()[-1])
                key = (sc, "old" if build == old else "new", mode)
                results.setdefault(key, []).append(us)
                print("round %d %-3s %-3s %-5s %8.2f us" % (r + 1, sc, key[1], mode, us), flush=True)
    print()
    # The median over rounds, and the best round (the least disturbed one
    # on a shared machine).
    for sc in args.only.split(","):
        old_runs = results[(sc, "old", "none")]
        base, base_best = statistics.median(old_runs), min(old_runs)
        print("%s old build, no hook: median %.2f us/unit, best %.2f  (rounds: %s)" % (
            sc, base, base_best, ", ".join("%.2f" % x for x in old_runs)))
        for mode in MODES:
            runs = results[(sc, "new", mode)]
            m, b = statistics.median(runs), min(runs)
            print("%s new build, %-5s median %.2f us/unit (ratio %.3f), best %.2f (ratio %.3f)  (rounds: %s)" % (
                sc, mode + ":", m, m / base, b, b / base_best, ", ".join("%.2f" % x for x in runs)))


if __name__ == "__main__":
    main()
