"""Set-up and registration of a run against the bare history fetch of its bars.

    python benchmarks/bench_registration.py [--quick] [--targets 50] [--days 250]
        [--lookback 30]

A sample market of --targets stocks over --days trading days (plus --lookback days
before them) is written to a temporary bar store, matrix cache off.  In one fresh
child process per look-back (none, then --lookback trading days):

    fetch   the bare history fetch of the bars the run reads: one-minute and day
            bars of every target over the run's days (and its look-back), through
            the history service (the baseline)
    run     vornix.runner.run of a one-minute main over the same days, init
            registering day and five-minute bars: set-up (the main series
            included) plus registration, against `fetch`; target: at most 3x.

Also printed: "to step", the whole time from the call of run to the first step
(the order simulator's set-up and the strategy's init included) against `fetch`,
peak RSS of each child, and the steps' cost per step.  The exit status
is 1 when a check fails, and in a full run also when the target is missed.

--quick: 6 targets over 10 days with 5 days of look-back (a few seconds).
"""

import json
import os
import resource
import sys
import time

from _common import bench_args, finish, run_child, sample_store

TARGET_RATIO = 3.0

STRATEGY = '''
import time

seen = {}


def init(context):
    context.day = context.reg_bars("day")
    context.five = context.reg_bars("min", 5)


def on_data(context):
    if context.step == 0:
        seen["first_step"] = time.perf_counter()
        context.record("n", context.day.values(20).shape[0] + context.five.values(1).shape[0])
'''


def child(cfg):
    from vornix.api.history import _history
    from vornix.runner import run
    from vornix.runner._lookback import data_begin

    table = _history.current_store().target_table()
    codes = [c for c, row in table.items() if row["type"] == "stock"][: cfg["targets"]]
    days = _history.get_trading_days(0, 99999999)
    begin, end = int(days[cfg["skip"]]), int(days[-1])
    first = data_begin("%dd" % cfg["lookback"], begin, codes, "min", 1)

    def fetch_all():
        values = 0
        for frequency in ("min", "day"):
            got = _history.get_k_data_multi({"targets": codes, "frequency": frequency,
                                             "begin_date": first, "end_date": end,
                                             "filled_up": True, "fq_type": 0})
            values += got["KArray"].size
        return values

    fetch_all()  # files opened and read once: the run below finds them warm too
    t0 = time.perf_counter()
    bars = fetch_all()
    fetch = time.perf_counter() - t0
    t_run = time.perf_counter()
    result = run(cfg["strategy"], targets=codes, frequency="min", begin=begin, end=end,
                 quiet=True, out=False, core="local", lookback="%dd" % cfg["lookback"])
    seen = sys.modules["vornix_strategy_strategy_registration"].seen
    return {"targets": len(codes), "steps": result.steps, "first_day": first, "begin": begin,
            "fetch_seconds": fetch, "fetched_values": int(bars),
            "setup_seconds": result.setup_seconds,
            "registration_seconds": result.registration_seconds,
            "before_first_step_seconds": seen["first_step"] - t_run,
            "step_us": result.step_microseconds,
            "window_rows": float(result.records["n"].iloc[0]),
            "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}


def main():
    args = bench_args(__doc__, child, [("--targets", 50), ("--days", 250), ("--lookback", 30)],
                      quick={"targets": 6, "days": 10, "lookback": 5})
    with sample_store("vx-bench-registration-", args.days + args.lookback,
                      max(args.targets, 6)) as (tmp, env):
        env["VX_CORE_CACHE_DIR"] = os.path.join(tmp, "core")
        path = os.path.join(tmp, "strategy_registration.py")
        with open(path, "w") as fh:
            fh.write(STRATEGY)
        rows = {}
        for lookback in (0, args.lookback):
            cfg = {"strategy": path, "targets": args.targets, "skip": args.lookback,
                   "lookback": lookback}
            rows["lookback_%d" % lookback] = run_child(__file__, [json.dumps(cfg)], env,
                                                       "lookback %d" % lookback)

    failures, missed = [], []
    print("set-up + registration of a one-minute main with day and five-minute bars, "
          "%d targets x %d days" % (args.targets, args.days))
    print("%-12s %8s %8s %8s %8s %8s %8s %8s" % ("look-back", "fetch s", "set-up", "regist.",
                                                 "x fetch", "to step", "us/step", "RSS MB"))
    for name, r in rows.items():
        ratio = (r["setup_seconds"] + r["registration_seconds"]) / r["fetch_seconds"]
        r["ratio"] = ratio
        print("%-12s %8.2f %8.2f %8.2f %8.2f %8.2f %8.2f %8.0f"
              % (name, r["fetch_seconds"], r["setup_seconds"], r["registration_seconds"],
                 ratio, r["before_first_step_seconds"] / r["fetch_seconds"], r["step_us"],
                 r["peak_rss_mb"]))
        if ratio > TARGET_RATIO:
            missed.append("%s: set-up + registration %.2fx the fetch > %.1fx"
                          % (name, ratio, TARGET_RATIO))
    bare, back = rows["lookback_0"], rows["lookback_%d" % args.lookback]
    if bare["steps"] != back["steps"] or back["first_day"] >= back["begin"]:
        failures.append("the look-back changed the steps (%d, %d) or loaded nothing before "
                        "begin" % (bare["steps"], back["steps"]))
    return finish("bench_registration", args, {"rows": rows, "target_ratio": TARGET_RATIO},
                  failures, missed)


if __name__ == "__main__":
    sys.exit(main())
