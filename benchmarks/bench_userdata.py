"""Factors, user data and user indicators: registration and reads.

    python benchmarks/bench_userdata.py [--quick] [--targets 50] [--days 250]
        [--points 1000000] [--factor-days 20]

A sample market of --targets stocks over --days trading days is written to a
temporary bar store; the measurements run in a child process with a local core,
on a one-minute run over all days (240 steps a day: 60,000 for 250 days).

    user data      reg_user_data of --points points (random times over the run,
                   two series) against the steps; baseline: the same alignment
                   with numpy (argsort + searchsorted + take), checked equal
    indicator      reg_user_indices of a function returning one value per target
                   (a row of a precomputed table); baseline: calling the function
                   at every step in a plain loop.  The difference per step is the
                   framework's own cost (target: a few microseconds)
    factor read    get_reg_factor of the "pe" rows of all targets, --factor-days
                   days, at steps spread over the run (target: under 10 us);
                   baseline: the same slice with numpy

Results are printed and written as JSON to benchmarks/results/.  The exit status
is 1 when a check fails, and in a full run also when a target is missed.

--quick: 5 targets over 5 days, 50,000 points (a few seconds).
"""

import json
import math
import os
import time

from _common import bench_args, finish, run_child, sample_store

FACTOR_US, INDICATOR_US = 10.0, 5.0


def child(cfg):
    import types

    import numpy as np

    from vornix.api.history import _history
    from vornix.api.subscribe import _subscribe as sub
    from vornix.core import CoreServer
    from vornix.runner import prepare_run
    from vornix.tframe import sysstate

    os.environ["VX_CORE_CACHE_DIR"] = cfg["core"]  # the run's cache folder, as its client sees it
    core = CoreServer(port=0, cache_dir=cfg["core"]).start()
    vr, env = sysstate.vr, sysstate.env
    vr.g_VornixSocket.port = core.port
    table = _history.current_store().target_table()
    codes = [c for c, row in table.items() if row["type"] == "stock"][: cfg["targets"]]
    days = _history.get_trading_days(0, 99999999)
    prepare_run(codes, "min", 1, int(days[0]), int(days[-1]))
    steps_tl = np.asarray(env.fresh_bar_timeline, dtype=np.float64)
    n_steps = steps_tl.size
    out = {"targets": len(codes), "steps": int(n_steps)}

    # --- user data
    rng = np.random.default_rng(0)
    times = rng.uniform(steps_tl[0] - 1, steps_tl[-1], cfg["points"])
    data = rng.random((cfg["points"], 2))
    t0 = time.perf_counter()
    idx = sub.reg_user_data(times, data)
    out["user_data_s"] = time.perf_counter() - t0
    t0 = time.perf_counter()
    order = np.argsort(times, kind="stable")
    pos = np.searchsorted(times[order], steps_tl, side="left") - 1
    ref = np.where(pos[None, :] >= 0, data[order][np.maximum(pos, 0)].T, 0.0)
    out["user_data_numpy_s"] = time.perf_counter() - t0
    out["user_data_equal"] = bool(np.array_equal(vr.g_VornixDataValueFreshUserD[idx], ref))

    # --- indicator
    vr.g_VornixUserContext = ctx = types.SimpleNamespace(_internal_bar_num=math.nan)
    values = rng.random((n_steps, len(codes)))

    def func(c):
        return values[c._internal_bar_num]

    t0 = time.perf_counter()
    rows = sub.reg_user_indices(func)
    out["indicator_s"] = time.perf_counter() - t0
    t0 = time.perf_counter()
    for s in range(n_steps):
        ctx._internal_bar_num = s
        func(ctx)
    out["indicator_loop_s"] = time.perf_counter() - t0
    out["indicator_equal"] = bool(
        np.array_equal(vr.g_VornixDataValueFreshUserI[rows], values.T))

    # --- factor read
    fidx = sub.reg_factor(["pe"], codes, int(days[0]), int(days[-1])).ravel()
    store = vr.g_VornixFactorValueDict
    data_f, fresh = store["FactorData"], store["FreshIdx"]
    probe = np.linspace(0, n_steps - 1, 200).astype(int)
    length = cfg["factor_days"]

    def numpy_read(s):
        end = int(fresh[s]) + 1
        begin = max(end - length, 0)
        dt = np.full(length, np.nan)
        val = np.full((fidx.size, length), np.nan)
        dt[length - (end - begin):] = data_f[0, begin:end]
        val[:, length - (end - begin):] = data_f[1 + fidx, begin:end]
        return dt, val

    mismatch = 0
    for s in probe[::10]:
        a, b = sub.get_reg_factor(fidx, int(s), length), numpy_read(int(s))
        mismatch += not (np.array_equal(a[0], b[0], equal_nan=True)
                         and np.array_equal(a[1], b[1], equal_nan=True))
    out["factor_mismatch"] = mismatch

    def per_call(fn):
        best = math.inf
        for _ in range(5):
            t0 = time.perf_counter()
            for s in probe:
                fn(int(s))
            best = min(best, (time.perf_counter() - t0) / probe.size * 1e6)
        return best

    out["factor_us"] = per_call(lambda s: sub.get_reg_factor(fidx, s, length))
    out["factor_numpy_us"] = per_call(numpy_read)
    env.vx_disconnect_to()
    core.stop()
    return out


def main():
    args = bench_args(__doc__, child, [("--targets", 50), ("--days", 250), ("--points", 1_000_000),
                                       ("--factor-days", 20)],
                      quick={"targets": 5, "days": 5, "points": 50_000})

    with sample_store("vx-bench-userdata-", args.days, max(args.targets, 6)) as (tmp, env):
        cfg = {"core": os.path.join(tmp, "core"), "targets": args.targets,
               "points": args.points, "factor_days": args.factor_days}
        r = run_child(__file__, [json.dumps(cfg)], env, "measured")

    n = r["steps"]
    overhead_us = (r["indicator_s"] - r["indicator_loop_s"]) / n * 1e6
    print("one-minute run: %d targets, %d steps" % (r["targets"], n))
    print("user data   %d points x 2 series: %.3f s (numpy alignment %.3f s, %.1fx)"
          % (args.points, r["user_data_s"], r["user_data_numpy_s"],
             r["user_data_numpy_s"] / r["user_data_s"]))
    print("indicator   %d targets: %.3f s = %.2f us per step; the function alone %.2f us per "
          "step; framework %.2f us per step (target < %.0f us)"
          % (r["targets"], r["indicator_s"], r["indicator_s"] / n * 1e6,
             r["indicator_loop_s"] / n * 1e6, overhead_us, INDICATOR_US))
    print("factor read %d targets x %d days: %.2f us per call (numpy %.2f us; target < %.0f us)"
          % (r["targets"], args.factor_days, r["factor_us"], r["factor_numpy_us"], FACTOR_US))
    failures = []
    if not r["user_data_equal"]:
        failures.append("user data differs from the numpy alignment")
    if not r["indicator_equal"]:
        failures.append("indicator rows differ from the function's values")
    if r["factor_mismatch"]:
        failures.append("%d factor windows differ from numpy" % r["factor_mismatch"])
    missed = []
    if r["factor_us"] >= FACTOR_US:
        missed.append("factor read %.2f us" % r["factor_us"])
    if overhead_us >= INDICATOR_US:
        missed.append("indicator framework cost %.2f us per step" % overhead_us)
    return finish("bench_userdata", args, {"result": r}, failures, missed)


if __name__ == "__main__":
    raise SystemExit(main())
