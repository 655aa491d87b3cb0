"""The runner's own cost per step; with --scale, a long run over many targets.

    python benchmarks/bench_runner.py [--quick] [--targets 10] [--days 40] [--length 20]
    python benchmarks/bench_runner.py --scale [--quick] [--targets 300] [--days 726]

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
    rebalance  vornix.runner.run with on_data ordering equal weights of every
             target at the first step of each day (the steps between cost the
             simulator nothing); then its results folder is written, timed against
             the run (target: under 10% of the two together)
    orders   placing 2,000 market orders at one step and filling them at the
             next, timed inside on_data, with the stock market rules off:
             microseconds per order placed and per order filled (execution
             records included; the strategy defines no order callbacks, and the
             framework's defaults, which do nothing, are not called; target: under
             20 us for the two together)
    fields   the named fields: handle.close(length) and handle.values(length,
             fields=("close", "volume")) against handle.values(length), each in a
             loop over the steps of the finished run; target: within 1.2x
    rules    the same with every stock rule on (T+1, price limits, minimum
             commission, stamp duty, the volume cap: orders beyond a quarter of the
             bar wait, so the fill step is timed per order it looks at); target:
             within 1.5x of `orders`

    futures  vornix.runner.run on the continuous future CFE.IF00, on_data reading
             one window as `runner` does, holding one contract from the first
             step: margin, a settlement at every day's end and its rolls into the
             next main contract; against `stock`, the same run (one target on the
             same session and days) holding 100 shares of a stock; each is run
             --rounds times, alternating, and the fastest kept (target: futures
             within 1.5x of stock per step; the contracts' bars, read once at the
             first order, are reported apart)

The runner's overhead is runner - read; target: under 50 us per step.  Every
ratio is to `hand`, measured in the same process.  The windows the runner's
strategy saw at a few steps are checked against the hand loop's reads of the
same state.  Results are printed and written as JSON to benchmarks/results/.
The exit status is 1 when a check fails, and in a full run also when the target
is missed (--quick only reports it).

--quick: 3 targets over 5 days; for smoke runs (a few seconds).

--scale: the sample market of --targets stocks over --days trading days (300 x 726,
about three years), the runs beginning after its first 30 days (the default
look-back finds bars before them); the store of 300 x 756 days takes about 1 GB of
disk and 40 s to write, under $TMPDIR (set TMPDIR to put it elsewhere).  The
strategy is a one-minute main, init registering day and five-minute bars; on_data
reads a few bars of each (recording the sum of their closes) and at each day's
first step rebalances into 5 targets chosen by the date (about 10 orders a day,
stock rules on).  Each run in a fresh child process; per run its peak RSS
(ru_maxrss), chunks, time per step of the steps alone and of the whole run() call:

    year     the first third of the days (a year at 726), unchunked (chunk="0"):
             the baseline of the time per step
    year default   the same range with the default memory budget
    range    all the days with the default memory budget: peak RSS (target
             under 3 GB); its steps alone per step against `year` (target:
             within 1.2x); its whole run per step against `year default` (total
             time linear in the range; target: within 1.2x)
    pair     the first 50 targets over the first 250 days (fewer when --targets
             or --days is smaller), chunk="1M" against chunk="0": peak RSS of the
             chunked run (target: at most half the unchunked one's)

Checks: the chunked and unchunked runs over the same range (the pair, and `year`
against `year default`) give identical records (the windows' sums), fills and
daily equity; a run with chunk="0" is one chunk, the pair's run with "1M" more
than one.  --quick: 6 targets over 30 days, the default-budget runs forced to
chunk="1w" and the pair run with "1w" (a few seconds).
"""

import json
import os
import sys
import time

from _common import bench_args, finish, run_child, sample_store

SCALE_RSS_MB, SCALE_STEP_RATIO, SCALE_LINEAR_RATIO, SCALE_RSS_SHARE = 3072.0, 1.2, 1.2, 0.5
SCALE_HOLD, SCALE_LEAD = 5, 30

OVERHEAD_US, ORDER_US, RULES_RATIO, WRITE_SHARE = 50.0, 20.0, 1.5, 0.10
FUTURES_RATIO, FIELDS_RATIO = 1.5, 1.2
RULES_OFF = {"t_plus_1": False, "price_limits": False, "volume_limit": 0, "min_commission": 0,
             "stamp_duty": 0}
ORDERS = 2000
CHECK_STEPS = 7

STRATEGY = '''
import numpy as np

import time

LENGTH = {length}
KIND = "{kind}"
CHECK = set({check})
seen = {{}}
ORDERS = {orders}


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
    elif KIND in ("stock", "futures"):  # a window each step; one lot held from the first
        context.bars.values(LENGTH)
        if context.step == 0:
            context.order(0, 100 if KIND == "stock" else 1)
    elif KIND in ("orders", "rules"):
        # 100 shares of the first target, ordered at the first step of the second
        # day (the target trades from the first minute on) and filled at the next
        if context.step == sorted(context.day_starts)[1]:
            t0 = time.perf_counter()
            for _ in range(ORDERS):
                context.order(0, 100)
            seen["place_us"] = (time.perf_counter() - t0) / ORDERS * 1e6
            seen["t0"] = time.perf_counter()
        elif "t0" in seen and "fill_us" not in seen:
            seen["fill_us"] = (time.perf_counter() - seen["t0"]) / ORDERS * 1e6
            seen["filled_next_step"] = context.position(0) == 100 * ORDERS
            seen["filled_shares"] = context.position(0)
'''


SCALE_STRATEGY = '''
import numpy as np

HOLD = {hold}


def init(context):
    context.day = context.reg_bars("day")
    context.five = context.reg_bars("min", 5)
    context.today = None
    context.held = []


def on_data(context):
    closes = np.nansum(context.day.close(5)) + np.nansum(context.five.close(3))
    context.record("windows", float(closes))
    today = context.now.date()
    if today == context.today:
        return
    # a new day: into HOLD targets chosen by the date, out of yesterday's others
    context.today = today
    n = len(context.targets)
    picks = [(today.toordinal() * HOLD + i) % n for i in range(min(HOLD, n))]
    for i in context.held:
        if i not in picks:
            context.order_target_percent(i, 0.0)
    for i in picks:
        context.order_target_percent(i, 0.9 / len(picks))
    context.held = picks
'''


def scale_child(cfg):
    """One run of the --scale strategy: its figures, and digests of what it produced."""
    import hashlib
    import resource

    import pandas as pd

    from vornix.api.history import _history
    from vornix.runner import run

    def digest(frame):
        if frame is None or len(frame) == 0:
            return ""
        hashed = pd.util.hash_pandas_object(frame, index=False).to_numpy()
        return hashlib.sha256(hashed.tobytes()).hexdigest()[:16]

    table = _history.current_store().target_table()
    codes = [c for c, row in table.items() if row["type"] == "stock"][: cfg["targets"]]
    days = _history.get_trading_days(0, 99999999)[SCALE_LEAD:SCALE_LEAD + cfg["days"]]
    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    t0, cpu0 = time.perf_counter(), time.process_time()
    result = run(cfg["strategy"], targets=codes, frequency="min", begin=int(days[0]),
                 end=int(days[-1]), quiet=True, out=False, core="local", **cfg["settings"])
    seconds, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    return {"targets": len(codes), "days": len(days), "steps": result.steps,
            "chunks": result.chunks, "run_seconds": seconds, "cpu_seconds": cpu,
            "setup_seconds": result.setup_seconds,
            "registration_seconds": result.registration_seconds,
            "step_seconds": result.step_seconds, "step_us": result.step_microseconds,
            "total_us": seconds / result.steps * 1e6, "orders": int(len(result.orders)),
            "fills": int(len(result.trades)), "equity": float(result.daily["equity"].iloc[-1]),
            "digests": {"records": digest(result.records), "fills": digest(result.trades),
                        "daily": digest(result.daily)},
            "rss_before_mb": rss_before,
            "peak_rss_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}


def child(cfg):
    """One measured process: run the strategy of `cfg["kind"]`, then the hand loops."""
    if cfg.get("scale"):
        return scale_child(cfg)
    import numpy as np

    from vornix.api.history import _history
    from vornix.api.subscribe import _windows
    from vornix.runner import run
    from vornix.tframe import sysstate

    table = _history.current_store().target_table()
    codes = cfg.get("codes") or [c for c, row in table.items()
                                 if row["type"] == "stock"][: cfg["targets"]]
    days = _history.get_trading_days(0, 99999999)
    # cash enough for every order of the "orders" run
    rules = {} if cfg["kind"] == "rules" else RULES_OFF
    t_run = time.perf_counter()
    result = run(cfg["strategy"], targets=codes, frequency="min", begin=int(days[0]),
                 end=int(days[-1]), quiet=True, out=False, core="local", cash=1e12, **rules)
    run_seconds = time.perf_counter() - t_run
    out = {"steps": result.steps, "targets": len(codes),
           "runner_us": result.step_microseconds, "orders": int(len(result.trades)),
           "orders_placed": len(sysstate.vr.g_VornixUserContext._runner.broker.orders)}
    seen = sys.modules["vornix_strategy_strategy_%s" % cfg["kind"]].seen
    if cfg["kind"] in ("stock", "futures"):
        # the steps without the one reading of the contracts' bars at the first order
        broker = sysstate.vr.g_VornixUserContext._runner.broker
        out["load_ms"] = broker.load_seconds * 1e3
        out["runner_us"] = (result.step_seconds - broker.load_seconds) / result.steps * 1e6
    if cfg["kind"] == "futures":
        out["days"] = int(broker.market.day_starts.sum())
        out["settlements"] = len({m[0] for m in broker._marks.get("future", ())
                                  if broker.market.day_ends[m[0]]})
        out["rolls"] = int((result.trades["kind"] == "roll").sum()) // 2
    if cfg["kind"] in ("orders", "rules"):
        out["place_us"], out["fill_us"] = seen["place_us"], seen["fill_us"]
        out["filled_next_step"] = bool(seen["filled_next_step"])
        out["filled_shares"] = float(seen["filled_shares"])
    if cfg["kind"] == "rebalance":  # the results folder of the run, against the run itself
        import tempfile

        from vornix.runner._results import write_results

        with tempfile.TemporaryDirectory() as folder:
            t0 = time.perf_counter()
            write_results(result, os.path.join(folder, "out"))
            out["write_seconds"] = time.perf_counter() - t0
        out["run_seconds"] = run_seconds
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

    ctx = vr.g_VornixUserContext

    def handle_loop(read_one):
        def loop():
            for s in range(n):
                vr.g_VornixSimCurBarFresh = s
                ctx._internal_bar_num = s
                read_one()
        return loop

    # interleaved rounds, so that a busy machine weighs on the three alike
    loops = {"values_us": handle_loop(lambda: handle.values(length)),
             "close_us": handle_loop(lambda: handle.close(length)),
             "fields_us": handle_loop(lambda: handle.values(length, fields=("close", "volume")))}
    times = {key: [] for key in loops}
    for _ in range(5):
        for key, loop in loops.items():
            t0 = time.perf_counter()
            loop()
            times[key].append(time.perf_counter() - t0)
    out.update({key: min(t) / n * 1e6 for key, t in times.items()})
    checks = [np.array_equal(handle.close(length), handle.values(length)[:, 5].reshape(
        len(codes), length), equal_nan=True)]
    out["fields_ok"] = all(checks)
    out["read_us"] = best(read_loop)
    out["hand_us"] = best(hand_loop)
    out["checked"] = len(seen)
    out["mismatch"] = [
        int(s) for s, v in seen.items()
        if not np.array_equal(v, read(handle.reg_idx, s, length, True), equal_nan=True)
    ]
    return out


def store_bytes(folder):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(folder)
               for f in files)


def scale_main(args):
    """--scale: the long run against a year, chunked against unchunked."""
    third = max(args.days // 3, 1)
    default = {"chunk": "1w"} if args.quick else {}  # the default budget; forced chunks
    pair_targets, pair_days = min(args.targets, 50), min(args.days, 250)
    pair_chunk = "1w" if args.quick else "1M"
    t0 = time.perf_counter()
    with sample_store("vx-bench-scale-", args.days + SCALE_LEAD,
                      max(args.targets, 6)) as (tmp, env):
        store = {"seconds": time.perf_counter() - t0,
                 "gb": store_bytes(os.path.join(tmp, "store")) / 2**30}
        print("sample store of %d stocks x %d days: %.1f s to write, %.2f GB"
              % (max(args.targets, 6), args.days + SCALE_LEAD, store["seconds"], store["gb"]))
        env["VX_CORE_CACHE_DIR"] = os.path.join(tmp, "core")
        path = os.path.join(tmp, "strategy_scale.py")
        with open(path, "w") as fh:
            fh.write(SCALE_STRATEGY.format(hold=SCALE_HOLD))
        runs = {"year": (args.targets, third, {"chunk": "0"}),
                "year default": (args.targets, third, default),
                "range": (args.targets, args.days, default),
                "pair unchunked": (pair_targets, pair_days, {"chunk": "0"}),
                "pair chunked": (pair_targets, pair_days, {"chunk": pair_chunk})}
        rows = {}
        for name, (targets, days, settings) in runs.items():
            cfg = {"scale": True, "strategy": path, "targets": targets, "days": days,
                   "settings": settings}
            rows[name] = run_child(__file__, [json.dumps(cfg)], env, name)
            rows[name]["settings"] = settings

    print("%-15s %7s %4s %7s %6s %7s %7s %7s %7s %7s %7s %8s %8s %7s"
          % ("", "targets", "days", "steps", "chunks", "run s", "set-up", "regist.", "steps",
             "rest", "cpu s", "steps us", "total us", "RSS MB"))
    for name, r in rows.items():
        rest = r["run_seconds"] - r["setup_seconds"] - r["registration_seconds"] \
            - r["step_seconds"]
        print("%-15s %7d %4d %7d %6d %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f %8.2f %8.2f %7.0f"
              % (name, r["targets"], r["days"], r["steps"], r["chunks"], r["run_seconds"],
                 r["setup_seconds"], r["registration_seconds"], r["step_seconds"], rest,
                 r["cpu_seconds"], r["step_us"], r["total_us"], r["peak_rss_mb"]))
    year, year_default, full = rows["year"], rows["year default"], rows["range"]
    unchunked, chunked = rows["pair unchunked"], rows["pair chunked"]
    step_ratio = full["step_us"] / year["step_us"]
    linear_ratio = full["total_us"] / year_default["total_us"]
    rss_share = chunked["peak_rss_mb"] / unchunked["peak_rss_mb"]
    print("range: %d orders placed, %d fills, final equity %.2f"
          % (full["orders"], full["fills"], full["equity"]))
    print("range: peak RSS %.0f MB (target < %.0f MB); steps %.2f us per step, %.2fx the "
          "unchunked year's (target < %.1fx); whole run %.2f us per step, %.2fx the year's "
          "with the same budget (target < %.1fx)"
          % (full["peak_rss_mb"], SCALE_RSS_MB, full["step_us"], step_ratio, SCALE_STEP_RATIO,
             full["total_us"], linear_ratio, SCALE_LINEAR_RATIO))
    print("%d x %d: peak RSS %.0f MB with chunk=%s against %.0f MB unchunked, %.2f of it "
          "(target <= %.2f)" % (pair_targets, pair_days, chunked["peak_rss_mb"], pair_chunk,
                                unchunked["peak_rss_mb"], rss_share, SCALE_RSS_SHARE))

    failures = []
    for a, b in ((unchunked, chunked), (year, year_default)):
        differ = [k for k in a["digests"] if a["digests"][k] != b["digests"][k]]
        if differ or a["steps"] != b["steps"] or a["equity"] != b["equity"]:
            failures.append("%d targets x %d days in %d chunks against one: %s differ, final "
                            "equity %r against %r, steps %d against %d"
                            % (b["targets"], b["days"], b["chunks"], ", ".join(differ) or "none",
                               b["equity"], a["equity"], b["steps"], a["steps"]))
    for name in ("year", "pair unchunked"):
        if rows[name]["chunks"] != 1:
            failures.append("%s: chunk=\"0\" ran in %d chunks" % (name, rows[name]["chunks"]))
    for r in (chunked, full) if args.quick else (chunked,):
        if r["chunks"] < 2:
            failures.append("chunk=%s ran %d targets x %d days in %d chunk"
                            % (r["settings"]["chunk"], r["targets"], r["days"], r["chunks"]))
    if not year["orders"]:
        failures.append("the strategy placed no order")
    missed = []
    if full["peak_rss_mb"] >= SCALE_RSS_MB:
        missed.append("range: peak RSS %.0f MB >= %.0f MB" % (full["peak_rss_mb"], SCALE_RSS_MB))
    if not step_ratio < SCALE_STEP_RATIO:
        missed.append("range: %.2fx the unchunked year per step >= %.1fx"
                      % (step_ratio, SCALE_STEP_RATIO))
    if not linear_ratio < SCALE_LINEAR_RATIO:
        missed.append("range: whole run %.2fx the year's per step >= %.1fx"
                      % (linear_ratio, SCALE_LINEAR_RATIO))
    if rss_share > SCALE_RSS_SHARE:
        missed.append("%d x %d: chunked peak RSS %.2f of the unchunked > %.2f"
                      % (pair_targets, pair_days, rss_share, SCALE_RSS_SHARE))
    return finish("bench_runner_scale", args,
                  {"store": store, "rows": rows, "step_ratio": step_ratio,
                   "linear_ratio": linear_ratio, "rss_share": rss_share,
                   "targets": {"rss_mb": SCALE_RSS_MB, "step_ratio": SCALE_STEP_RATIO,
                               "linear_ratio": SCALE_LINEAR_RATIO,
                               "rss_share": SCALE_RSS_SHARE}},
                  failures, missed)


def main():
    args = bench_args(__doc__, child, [("--targets", None), ("--days", None), ("--length", 20),
                                       ("--rounds", 3)],
                      quick={"rounds": 1}, switches=("--scale",))
    # (targets, days) of each mode, full and quick
    targets, days = {(False, False): (10, 40), (False, True): (3, 5),
                     (True, False): (300, 726), (True, True): (6, 30)}[args.scale, args.quick]
    if args.quick or args.targets is None:
        args.targets = targets
    if args.quick or args.days is None:
        args.days = days
    if args.scale:
        return scale_main(args)

    with sample_store("vx-bench-runner-", args.days, max(args.targets, 6)) as (tmp, env):
        env["VX_CORE_CACHE_DIR"] = os.path.join(tmp, "core")
        rows = {}
        for kind in ("values", "empty", "frame", "rebalance", "orders", "rules"):
            path = os.path.join(tmp, "strategy_%s.py" % kind)
            with open(path, "w") as fh:
                fh.write(STRATEGY.format(length=args.length, kind=kind, orders=ORDERS,
                                         check=[0, 1, 239, 240, 241, 600, 1199][:CHECK_STEPS]))
            cfg = {"kind": kind, "strategy": path, "targets": args.targets, "length": args.length}
            rows[kind] = run_child(__file__, [json.dumps(cfg)], env, kind)
        for _ in range(args.rounds):
            for kind, code in (("stock", "SH.600000"), ("futures", "CFE.IF00")):
                path = os.path.join(tmp, "strategy_%s.py" % kind)
                with open(path, "w") as fh:
                    fh.write(STRATEGY.format(length=args.length, kind=kind, orders=ORDERS, check=[]))
                cfg = {"kind": kind, "strategy": path, "codes": [code], "length": args.length}
                got = run_child(__file__, [json.dumps(cfg)], env, kind)
                if kind not in rows or got["runner_us"] < rows[kind]["runner_us"]:
                    rows[kind] = got

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
    fields_ratio = max(v["close_us"], v["fields_us"]) / v["values_us"]
    print("named fields: handle.values(%d) %.2f us, handle.close(%d) %.2f us, "
          "handle.values(%d, fields=(close, volume)) %.2f us per step: %.2fx values (target < "
          "%.1fx)" % (args.length, v["values_us"], args.length, v["close_us"], args.length,
                      v["fields_us"], fields_ratio, FIELDS_RATIO))
    reb, orders = rows["rebalance"], rows["orders"]
    print("rebalance: %d orders placed over %d steps (equal weights every day): %.2f us per "
          "step against %.2f without orders" % (reb["orders_placed"], reb["steps"],
                                                reb["runner_us"], rows["empty"]["runner_us"]))
    per_order = orders["place_us"] + orders["fill_us"]
    print("orders: %d market orders placed at one step, filled at the next: %.2f us to place, "
          "%.2f us to fill, %.2f us per order (target < %.0f us)"
          % (ORDERS, orders["place_us"], orders["fill_us"], per_order, ORDER_US))

    rules = rows["rules"]
    rules_order = rules["place_us"] + rules["fill_us"]
    rules_ratio = rules_order / per_order if per_order else float("nan")
    print("rules: the same orders with every stock rule on: %.2f us to place, %.2f us per order "
          "at the fill step (%d of %d shares filled there, the volume cap holding the rest), "
          "%.2f us per order: %.2fx the orders without rules (target < %.1fx)"
          % (rules["place_us"], rules["fill_us"], rules["filled_shares"], 100 * ORDERS,
             rules_order, rules_ratio, RULES_RATIO))

    write_share = reb["write_seconds"] / (reb["run_seconds"] + reb["write_seconds"])
    print("results: writing the rebalance run's folder (tables as Parquet and CSV, summary, "
          "charts) took %.2f s, %.1f%% of the run with it (target < %.0f%%)"
          % (reb["write_seconds"], 100 * write_share, 100 * WRITE_SHARE))

    fut, stock = rows["futures"], rows["stock"]
    ratio = fut["runner_us"] / stock["runner_us"] if stock["runner_us"] else float("nan")
    print("futures: one IF contract held over %d steps (%d trading days, %d settlements, %d "
          "rolls): %.2f us per step against %.2f for 100 shares of a stock, %.2fx (target < %.1fx); "
          "the contracts' bars read once at the first order: %.1f ms"
          % (fut["steps"], fut["days"], fut["settlements"], fut["rolls"], fut["runner_us"],
             stock["runner_us"], ratio, FUTURES_RATIO, fut["load_ms"]))

    failures = []
    if not 0 < rules["filled_shares"] < 100 * ORDERS:
        failures.append("with the volume cap, %g of %d shares filled at the next step"
                        % (rules["filled_shares"], 100 * ORDERS))
    if fut["steps"] != stock["steps"] or fut["settlements"] != fut["days"]:
        failures.append("the futures run took %d steps and %d settlements over %d days, the stock "
                        "run %d steps" % (fut["steps"], fut["settlements"], fut["days"],
                                          stock["steps"]))
    if v["mismatch"] or v["checked"] == 0:
        failures.append("windows seen by the strategy differ from the hand reads at steps %s"
                        % v["mismatch"])
    if orders["orders"] != ORDERS or not orders["filled_next_step"]:
        failures.append("%d of the %d orders filled, %s at the next step" % (
            orders["orders"], ORDERS, "all" if orders["filled_next_step"] else "not all"))
    if not v["fields_ok"]:
        failures.append("handle.close differs from the close column of handle.values")
    missed = []
    if not fields_ratio < FIELDS_RATIO:
        missed.append("named fields %.2fx >= %.1fx values" % (fields_ratio, FIELDS_RATIO))
    if overhead >= OVERHEAD_US:
        missed.append("overhead %.2f us >= %.0f us" % (overhead, OVERHEAD_US))
    if per_order >= ORDER_US:
        missed.append("%.2f us per order >= %.0f us" % (per_order, ORDER_US))
    if not write_share < WRITE_SHARE:
        missed.append("writing results %.1f%% >= %.0f%%" % (100 * write_share, 100 * WRITE_SHARE))
    if not rules_ratio < RULES_RATIO:
        missed.append("orders with the rules on %.2fx >= %.1fx" % (rules_ratio, RULES_RATIO))
    if not ratio < FUTURES_RATIO:
        missed.append("futures %.2fx the stock run per step >= %.1fx" % (ratio, FUTURES_RATIO))
    return finish("bench_runner", args, {"rows": rows, "overhead_us": overhead,
                                         "target_us": OVERHEAD_US, "futures_ratio": ratio},
                  failures, missed)


if __name__ == "__main__":
    raise SystemExit(main())
