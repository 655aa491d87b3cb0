"""The runner's own cost per step.

    python benchmarks/bench_runner.py [--quick] [--targets 10] [--days 40] [--length 20]

A sample market is written to a temporary bar store; every run happens in a
fresh child process with a local trading core (all folders under one temporary
directory).  The run steps through one-minute bars of --days trading days for
--targets stocks; init registers ("min", 5) bars.  Per step, in one process:

    hand     the same loop written by hand over plain numpy arrays: a
             (targets, 7, bars) float array, per step a copy of the last --length
             columns up to the step (the baseline of this benchmark)
    read     the window read alone: a loop that sets the bar clock and calls
             _windows.get_reg_k_data_values, as on_data would, without the runner
    runner   vornix.runner.run with on_data reading one window as numpy
             (handle.values(length))
    empty    vornix.runner.run with an empty on_data (the runner's loop alone)
    frame    vornix.runner.run with on_data reading the window as a DataFrame
             (handle.frame(length))

The runner's overhead is runner - read; target: under 50 us per step.  Every
ratio is to `hand`, measured in the same process.  The windows the runner's
strategy saw at a few steps are checked against the hand loop's reads of the
same state.  Results are printed and written as JSON to benchmarks/results/.
The exit status is 1 when a check fails, and in a full run also when the target
is missed (--quick only reports it).

--quick: 3 targets over 5 days; for smoke runs (a few seconds).
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

RESULTS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
OVERHEAD_US = 50.0
CHECK_STEPS = 7

STRATEGY = '''
import numpy as np

LENGTH = {length}
KIND = "{kind}"
CHECK = set({check})
seen = {{}}


def init(context):
    context.bars = context.reg_bars("min", 5)
    day = np.floor(context.env.fresh_bar_timeline)
    context.day_starts = set(np.flatnonzero(np.r_[True, day[1:] != day[:-1]]).tolist())


def on_data(context):
    if KIND == "values":
        v = context.bars.values(LENGTH)
        if context.step in CHECK:
            seen[context.step] = v.copy()
    elif KIND == "frame":
        context.bars.frame(LENGTH)
    elif KIND == "rebalance":
        # equal weights at the first step of every day
        if context.step in context.day_starts:
            n = len(context.targets)
            for code in context.targets:
                context.order_target_percent(code, 0.9 / n)
'''


def child(cfg):
    """One measured process: run the strategy of `cfg["kind"]`, then the hand loops."""
    import numpy as np

    from vornix.api.history import _history
    from vornix.api.subscribe import _windows
    from vornix.runner import run
    from vornix.tframe import sysstate

    table = _history.current_store().target_table()
    codes = [c for c, row in table.items() if row["type"] == "stock"][: cfg["targets"]]
    days = _history.get_trading_days(0, 99999999)
    result = run(cfg["strategy"], targets=codes, frequency="min", begin=int(days[0]),
                 end=int(days[-1]), quiet=True, out=False, core="local")
    out = {"steps": result.steps, "targets": len(codes),
           "runner_us": result.step_microseconds, "orders": int(len(result.trades)),
           "orders_placed": int(sum(1 for _ in sysstate.vr.g_VornixUserContext._runner.broker.orders))}
    if cfg["kind"] != "values":
        return out

    vr, length = sysstate.vr, cfg["length"]
    handle = vr.g_VornixUserContext.bars
    read = _windows.get_reg_k_data_values
    n = result.steps

    def read_loop():
        for s in range(n):
            vr.g_VornixSimCurBarFresh = s
            read(handle.reg_idx, s, length, True)

    plain = np.random.default_rng(0).random((len(codes), 7, n + length))

    def hand_loop():
        for s in range(n):
            plain[:, :, s:s + length].copy()

    def best(fn, rounds=3):
        times = []
        for _ in range(rounds):
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
        return min(times) / n * 1e6

    out["read_us"] = best(read_loop)
    out["hand_us"] = best(hand_loop)
    seen = sys.modules["vornix_strategy_strategy_values"].seen
    out["checked"] = len(seen)
    out["mismatch"] = [
        int(s) for s, v in seen.items()
        if not np.array_equal(v, read(handle.reg_idx, s, length, True), equal_nan=True)
    ]
    return out


def _spawn(cfg, env):
    proc = subprocess.run([sys.executable, __file__, "--child", json.dumps(cfg)], env=env,
                          capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit("a child run failed (%s)" % cfg["kind"])
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--targets", type=int, default=10)
    parser.add_argument("--days", type=int, default=40)
    parser.add_argument("--length", type=int, default=20)
    parser.add_argument("--child", default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return 0
    if args.quick:
        args.targets, args.days = 3, 5

    with tempfile.TemporaryDirectory(prefix="vx-bench-runner-") as tmp:
        env = dict(os.environ)
        env.update({"HOME": tmp, "VX_STORE_DIR": os.path.join(tmp, "store"),
                    "VX_CORE_CACHE_DIR": os.path.join(tmp, "core"), "VX_MAT_CACHE": "0"})
        subprocess.run([sys.executable, "-m", "vornix", "data", "sample", "--days",
                        str(args.days), "--stocks", str(max(args.targets, 6))],
                       env=env, check=True, capture_output=True)
        rows = {}
        for kind in ("values", "empty", "frame", "rebalance"):
            path = os.path.join(tmp, "strategy_%s.py" % kind)
            with open(path, "w") as fh:
                fh.write(STRATEGY.format(length=args.length, kind=kind,
                                         check=[0, 1, 239, 240, 241, 600, 1199][:CHECK_STEPS]))
            rows[kind] = _spawn({"kind": kind, "strategy": path, "targets": args.targets,
                                 "length": args.length}, env)

    v = rows["values"]
    hand = v["hand_us"]
    overhead = v["runner_us"] - v["read_us"]
    table = [
        ("hand", hand), ("read", v["read_us"]), ("runner", v["runner_us"]),
        ("empty", rows["empty"]["runner_us"]), ("frame", rows["frame"]["runner_us"]),
        ("rebalance", rows["rebalance"]["runner_us"]),
    ]
    print("runner per step: %d steps of one-minute bars, %d targets, %d-bar windows of (min, 5)"
          % (v["steps"], v["targets"], args.length))
    print("%-8s %12s %10s" % ("", "us/step", "x hand"))
    for name, us in table:
        print("%-8s %12.2f %10.1f" % (name, us, us / hand if hand else float("nan")))
    print("overhead (runner - read): %.2f us per step (target < %.0f us)" % (overhead, OVERHEAD_US))
    reb = rows["rebalance"]
    per_order = ((reb["runner_us"] - rows["empty"]["runner_us"]) * reb["steps"]
                 / max(reb["orders_placed"], 1))
    print("orders: %d placed (equal weights every day), %d filled; %.2f us per order "
          "(target < 20 us); the simulator's cost per step without orders is inside `empty`"
          % (reb["orders_placed"], reb["orders"], per_order))

    failures = []
    if v["mismatch"] or v["checked"] == 0:
        failures.append("windows seen by the strategy differ from the hand reads at steps %s"
                        % v["mismatch"])
    missed = overhead >= OVERHEAD_US
    os.makedirs(RESULTS_DIR, exist_ok=True)
    with open(os.path.join(RESULTS_DIR, "bench_runner%s.json" % ("_quick" if args.quick else "")),
              "w") as fh:
        json.dump({"when": time.strftime("%Y-%m-%d %H:%M:%S"), "machine": platform.platform(),
                   "python": platform.python_version(), "args": vars(args), "rows": rows,
                   "overhead_us": overhead, "target_us": OVERHEAD_US}, fh, indent=2)
    for f in failures:
        print("CHECK FAILED:", f)
    if missed:
        print("TARGET MISSED: overhead %.2f us >= %.0f us" % (overhead, OVERHEAD_US))
    return 1 if failures or (missed and not args.quick) else 0


if __name__ == "__main__":
    raise SystemExit(main())
