"""Price-adjusted bar series: registration and windows, against the unadjusted ones.

    python benchmarks/bench_adjust.py [--quick] [--targets 50] [--days 250]
        [--steps 200] [--length 20]

A sample market (stocks and its two continuous futures, whose main contract rolls
every few weeks) is written to a temporary bar store; every measurement runs in a
fresh child process with a local trading core and the matrix cache off.

Registration: a one-minute main series over --days trading days for --targets
targets, then ("min", 5) registered unadjusted (baseline) or adjusted (the
unadjusted series and its adjusted twin).  Wall time of the registration and the
rise of the peak RSS over the mark before it.

Windows: 20-bar windows of the adjusted ("min", 5) registration, fill_up=True,
at --steps steps spread over the run, for one target (a future) and for all:

    twin     _windows.get_reg_k_data_adj_values (float64)
    numpy    the same window written with numpy, reading the state store as the
             extension does (the baseline)
    plain    _windows.get_reg_k_data_values of the unadjusted registration

Every numpy window is checked against the twin's.  Targets: the twin under 10 us
for one target, at least 10x faster than numpy.  Results are printed and written
as JSON to benchmarks/results/.  The exit status is 1 when a check fails, and in a
full run also when a target is missed (--quick runs only report them).

--quick: 6 targets over 10 days, 50 steps (a few seconds).
"""

import argparse
import json
import math
import os
import resource
import time

from _common import finish, run_child, sample_store

TWIN_US_1, TWIN_OVER_NUMPY = 10.0, 10.0
FUTURES = ["CFE.IF00", "SHF.RB00"]


def _peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _setup(cfg):
    from vornix.api.history import _history
    from vornix.core import CoreServer
    from vornix.runner import prepare_run
    from vornix.tframe import sysstate

    os.environ["VX_CORE_CACHE_DIR"] = cfg["core"]  # the run's cache folder, as its client sees it
    core = CoreServer(port=0, cache_dir=cfg["core"]).start()
    sysstate.vr.g_VornixSocket.port = core.port
    table = _history.current_store().target_table()
    stocks = [c for c, row in table.items() if row["type"] == "stock"]
    codes = FUTURES + stocks[: max(cfg["targets"] - len(FUTURES), 0)]
    days = _history.get_trading_days(0, 99999999)
    prepare_run(codes, "min", 1, int(days[0]), int(days[-1]))
    return core, sysstate, codes


def numpy_adj_window(reg_idx, bar_pos, length):
    """The adjusted fill_up=True window with numpy, reading the state store."""
    import numpy as np

    from vornix.tframe import sysstate

    gv, vr = sysstate.gv, sysstate.vr
    bar_len, adj_len = gv.KMatrix_Bar_Len, gv.Adj_KMatrix_Bar_Len
    n = reg_idx.shape[0]
    out = np.full((length * n, 2 + bar_len), np.nan)
    k0 = vr.g_VornixKDataList[int(reg_idx[0, 0])]
    cur = min(k0.Matrix.shape[1] - 1, int(k0.CurrentBar[bar_pos]))
    start = max(0, cur - length + 1)
    data_len = min(cur - start + 1, length)
    cache = vr.g_VornixCache
    for i in range(n):
        k = vr.g_VornixKDataList[int(reg_idx[i, 0])]
        a = vr.g_VornixKDataList_Adj[int(reg_idx[i, 4])]
        t = int(reg_idx[i, 5])
        times = cache.get_history_k_data_time_line_cache(int(reg_idx[i, 0]))
        end = int(k.CurrentBar[bar_pos]) + 1
        row_end = (i + 1) * length
        out[i * length:row_end, 0] = reg_idx[i, 3]
        block = out[row_end - data_len:row_end]
        block[:, 1] = times[start:end]
        a0 = t * adj_len + gv.Adj_KMatrix_Open
        block[:, 2:6] = a.Matrix[a0:a0 + 4, start:end].T
        u0 = gv.bar_item_pos(gv.KMatrix_Volume, t)
        block[:, 6:9] = k.Matrix[u0:u0 + 3, start:end].T
        if math.isnan(reg_idx[i, 6]):
            continue
        r6, r2 = int(reg_idx[i, 6]), int(reg_idx[i, 2])
        out[row_end - 1, 1] = cache.dvf_tl[bar_pos]
        out[row_end - 1, 2:6] = vr.g_VornixDataValueFresh_Adj[r6:r6 + 4, bar_pos]
        out[row_end - 1, 6:9] = vr.g_VornixDataValueFresh[r2 + adj_len:r2 + bar_len, bar_pos]
    return out


def child_register(cfg):
    from vornix.api.subscribe import _subscribe

    core, ss, codes = _setup(cfg)
    base = _peak_rss()
    t0 = time.perf_counter()
    _subscribe.reg_k_data("min", 5, cfg["adjust"])
    seconds = time.perf_counter() - t0
    out = {"targets": len(codes), "seconds": seconds, "rss_rise": _peak_rss() - base,
           "steps": int(ss.env.fresh_bar_timeline.size)}
    ss.env.vx_disconnect_to()
    core.stop()
    return out


def child_windows(cfg):
    import numpy as np

    from vornix.api.subscribe import _subscribe, _windows

    core, ss, codes = _setup(cfg)
    adj = _subscribe.reg_k_data("min", 5, True)
    plain = adj[:, :4].copy()
    n_steps = int(ss.env.fresh_bar_timeline.size)
    steps = np.linspace(0, n_steps - 1, cfg["steps"]).astype(int)
    length = cfg["length"]
    twin, read_plain = _windows.get_reg_k_data_adj_values, _windows.get_reg_k_data_values
    rows = {}
    mismatch = 0
    for label, idx, pidx in (("1 target", adj[:1], plain[:1]), ("all", adj, plain)):
        for s in steps[:: max(1, len(steps) // 10)]:
            if not np.array_equal(numpy_adj_window(idx, int(s), length),
                                  twin(idx, int(s), length, True), equal_nan=True):
                mismatch += 1

        def per_call(fn, *args):
            best = math.inf
            for _ in range(5):
                t0 = time.perf_counter()
                for s in steps:
                    fn(*args[:1], int(s), length, *args[1:])
                best = min(best, (time.perf_counter() - t0) / len(steps) * 1e6)
            return best

        rows[label] = {
            "twin": per_call(twin, idx, True),
            "numpy": per_call(lambda i, s, n: numpy_adj_window(i, s, n), idx),
            "plain": per_call(read_plain, pidx, True),
        }
    ss.env.vx_disconnect_to()
    core.stop()
    return {"targets": len(codes), "rows": rows, "mismatch": mismatch}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--targets", type=int, default=50)
    parser.add_argument("--days", type=int, default=250)
    parser.add_argument("--steps", type=int, default=200)
    parser.add_argument("--length", type=int, default=20)
    parser.add_argument("--child", nargs=2, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, cfg = args.child
        print(json.dumps((child_register if kind == "register" else child_windows)(json.loads(cfg))))
        return 0
    if args.quick:
        args.targets, args.days, args.steps = 6, 10, 50

    with sample_store("vx-bench-adjust-", args.days, max(args.targets - 2, 1)) as (tmp, env):
        cfg = {"core": os.path.join(tmp, "core"), "targets": args.targets,
               "steps": args.steps, "length": args.length}
        reg = {name: run_child(__file__, ["register", json.dumps(dict(cfg, adjust=adjust))], env,
                               "register")
               for name, adjust in (("unadjusted", False), ("adjusted", True))}
        win = run_child(__file__, ["windows", json.dumps(cfg)], env, "windows")

    print("registration of (min, 5): %d targets, %d one-minute steps"
          % (reg["adjusted"]["targets"], reg["adjusted"]["steps"]))
    for name, r in reg.items():
        print("  %-10s %8.2f s   peak RSS rise %7.1f MB" % (name, r["seconds"], r["rss_rise"] / 2**20))
    base = reg["unadjusted"]["seconds"]
    print("  adjusted / unadjusted: %.2fx time" % (reg["adjusted"]["seconds"] / base if base else math.nan))
    print("windows of the adjusted (min, 5), %d bars, fill_up=True (us per call)" % args.length)
    print("  %-9s %9s %9s %9s %12s" % ("", "twin", "numpy", "plain", "numpy/twin"))
    for label, r in win["rows"].items():
        print("  %-9s %9.2f %9.2f %9.2f %12.1f" % (label, r["twin"], r["numpy"], r["plain"],
                                                 r["numpy"] / r["twin"]))
    failures, missed = [], []
    if win["mismatch"]:
        failures.append("%d numpy windows differ from the twin's" % win["mismatch"])
    one = win["rows"]["1 target"]
    if one["twin"] >= TWIN_US_1:
        missed.append("twin %.2f us for one target (target < %.0f us)" % (one["twin"], TWIN_US_1))
    if one["numpy"] / one["twin"] < TWIN_OVER_NUMPY:
        missed.append("numpy only %.1fx the twin (target >= %.0fx)"
                      % (one["numpy"] / one["twin"], TWIN_OVER_NUMPY))
    return finish("bench_adjust", args, {"registration": reg, "windows": win}, failures, missed)


if __name__ == "__main__":
    raise SystemExit(main())
