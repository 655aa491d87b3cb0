"""Parameter sweeps: runs at once against runs one after the other, and what a run
costs before its first step.

    python benchmarks/bench_sweep.py [--quick] [--runs 16] [--days 62] [--jobs 2]

A sample market is written to a temporary bar store, with the matrix cache on (all
folders under one temporary directory).  The demo strategy (examples/weekly_trend.py,
one-minute steps, weekly bars registered in init) is swept over its `weeks`
parameter, --runs values, on the first --days trading days:

    sequential  vornix.sweep.sweep with jobs=1 (the baseline of this benchmark)
    parallel    the same sweep with jobs=--jobs

after one run that warms the matrix cache, so that both find it warm.  The
speed-up is sequential / parallel (target: at least 1.5x with 2 jobs; every run
is a process of its own, so the start-up of each run is part of both).  The two
sweeps must give the same rows, run times aside, without a failed run.

Start-up: one more run of the demo strategy in a fresh process (best of 3), its
time split into the interpreter with the imports of what a run uses, the set-up of
the main series and the registration in init (the matrix cache warm), the steps,
and the rest (trading core, connection and handshake, strategy loading, results).

Results are printed and written as JSON to benchmarks/results/.  The exit status
is 1 when a check fails, and in a full run also when the target is missed.

--quick: 4 runs over 5 days (well under a minute).
"""

import json
import os
import time

from _common import bench_args, finish, run_child, sample_store

EXAMPLE = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "weekly_trend.py"
)
SPEED_UP = 1.5
STARTS = 3


def child(cfg):
    t0 = time.perf_counter()
    import vornix.api.history._history  # noqa: F401
    import vornix.api.subscribe._subscribe  # noqa: F401
    import vornix.core  # noqa: F401
    import vornix.runner._broker  # noqa: F401
    import vornix.runner._results  # noqa: F401
    import vornix.tframe.sysstate  # noqa: F401
    from vornix.runner import run

    imported = time.perf_counter() - t0
    r = run(EXAMPLE, out=False, quiet=True, core="local", begin=cfg["begin"], end=cfg["end"])
    return {
        "import_s": imported,
        "setup_s": r.setup_seconds,
        "registration_s": r.registration_seconds,
        "step_s": r.step_seconds,
        "in_process_s": time.perf_counter() - t0,
        "steps": r.steps,
    }


def main():
    args = bench_args(__doc__, child, [("--runs", 16), ("--days", 62), ("--jobs", 2)],
                      quick={"runs": 4, "days": 5})

    with sample_store("vx-bench-sweep-", max(args.days, 5), 3) as (tmp, env):
        env.update({"VX_MAT_CACHE": "1", "VX_CORE_CACHE_DIR": os.path.join(tmp, "core")})
        os.environ.update(env)
        import pandas as pd

        from vornix.api.history import _history
        from vornix.sweep import sweep

        days = _history.get_trading_days(0, 99999999)
        settings = {
            "begin": int(days[0]),
            "end": int(days[args.days - 1]),
            "core": "local",
            "quiet": True,
        }
        grid = {"weeks": list(range(1, args.runs + 1))}
        warm = sweep(EXAMPLE, {"weeks": [2]}, jobs=1, **settings)
        t0 = time.perf_counter()
        sequential = sweep(EXAMPLE, grid, jobs=1, **settings)
        seq_s = time.perf_counter() - t0
        t0 = time.perf_counter()
        parallel = sweep(EXAMPLE, grid, jobs=args.jobs, **settings)
        par_s = time.perf_counter() - t0

        starts = []
        cfg = json.dumps({"begin": settings["begin"], "end": settings["end"]})
        for _ in range(STARTS):
            t0 = time.perf_counter()
            row = run_child(__file__, [cfg], env, "start-up")
            row["process_s"] = time.perf_counter() - t0
            starts.append(row)
    start = min(starts, key=lambda r: r["process_s"])
    start["interpreter_s"] = start["process_s"] - start["in_process_s"]
    start["rest_s"] = (
        start["in_process_s"]
        - start["import_s"]
        - start["setup_s"]
        - start["registration_s"]
        - start["step_s"]
    )
    start["startup_s"] = start["process_s"] - start["step_s"]

    speed_up = seq_s / par_s if par_s else float("nan")
    steps = int(sequential["steps"].iloc[0]) if sequential["steps"].notna().all() else 0
    print(
        "sweep of weekly_trend over weeks=1..%d: %d runs of %d one-minute steps (%d days, "
        "3 targets)" % (args.runs, args.runs, steps, args.days)
    )
    print("%-11s %9s %12s %9s" % ("", "seconds", "s per run", "x seq"))
    for name, secs in (("sequential", seq_s), ("parallel", par_s)):
        print("%-11s %9.2f %12.2f %9.2f" % (name, secs, secs / args.runs, seq_s / secs))
    print("speed-up with %d jobs: %.2fx (target >= %.1fx)" % (args.jobs, speed_up, SPEED_UP))
    print(
        "one run in a fresh process: %.2f s, of which start-up %.2f s: interpreter and "
        "imports %.2f s, set-up %.3f s and registration %.3f s (warm matrix cache), core, "
        "connection and the rest %.2f s; steps %.2f s"
        % (
            start["process_s"],
            start["startup_s"],
            start["interpreter_s"] + start["import_s"],
            start["setup_s"],
            start["registration_s"],
            start["rest_s"],
            start["step_s"],
        )
    )

    failures = []
    for name, rows in (("warm-up", warm), ("sequential", sequential), ("parallel", parallel)):
        bad = rows[rows["error"].notna()]
        if len(bad):
            failures.append(
                "%s: %d runs failed, the first: %s" % (name, len(bad), bad["error"].iloc[0])
            )
    drop = ["run_seconds", "error_snapshot"]
    try:
        pd.testing.assert_frame_equal(sequential.drop(columns=drop), parallel.drop(columns=drop))
    except AssertionError as exc:
        failures.append("the parallel sweep's rows differ from the sequential ones: %s" % exc)
    missed = []
    if not speed_up >= SPEED_UP:
        missed.append("speed-up %.2fx with %d jobs < %.1fx" % (speed_up, args.jobs, SPEED_UP))
    return finish(
        "bench_sweep",
        args,
        {
            "runs": args.runs,
            "steps_per_run": steps,
            "sequential_s": seq_s,
            "parallel_s": par_s,
            "speed_up": speed_up,
            "start_up": start,
            "cpus": os.cpu_count(),
        },
        failures,
        missed,
    )


if __name__ == "__main__":
    raise SystemExit(main())
