"""The look-ahead audit: the cost of fingerprinting a read, and of a whole audit.

    python benchmarks/bench_audit.py [--quick] [--targets 10] [--days 20] [--cuts 20]

A sample market is written to a temporary bar store.

Fingerprint: in a child process with a local core, a one-minute run of --targets
stocks over --days days registers ("min", 5) and ("week", 1); 20-bar windows are
read at every step, plainly (the baseline) and through the audit's fingerprinting
wrapper, alternating rounds; the difference per read is the fingerprint's cost
(target: under 5 us).  The wrapped reads are checked to return the same windows.

Audit: `vornix.audit.audit` of the weekly-trend example over the first --days days
with --cuts cuts, against one run of it (the baseline: `vornix.runner.run` timed
inside a process of its own, its start-up left out; target: under 30x).  The audit's runs (two over the whole range, each cut
run up to its cut, each in a process of its own) are timed one by one: the rest of
the audit's time (copying the strategy's folder, comparing) is its overhead, shown
as a share of the runs' time (target: under 10%).

Results are printed and written as JSON to benchmarks/results/.  The exit status
is 1 when a check fails, and in a full run also when a target is missed.

--quick: 3 targets over 5 days, 3 cuts.
"""

import json
import math
import os
import time

from _common import bench_args, finish, run_child, sample_store

EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                       "examples", "weekly_trend.py")
FINGERPRINT_US, AUDIT_RATIO, OVERHEAD = 5.0, 30.0, 0.10


def child(cfg):
    if cfg.get("run"):
        return one_run(cfg)
    import numpy as np

    from vornix.api.history import _history
    from vornix.api.subscribe import _subscribe, _windows
    from vornix.audit._child import Fingerprints
    from vornix.core import CoreServer
    from vornix.runner import prepare_run
    from vornix.tframe import sysstate

    os.environ["VX_CORE_CACHE_DIR"] = cfg["core"]  # the run's cache folder, as its client sees it
    core = CoreServer(port=0, cache_dir=cfg["core"]).start()
    sysstate.vr.g_VornixSocket.port = core.port
    table = _history.current_store().target_table()
    codes = [c for c, row in table.items() if row["type"] == "stock"][: cfg["targets"]]
    days = _history.get_trading_days(0, 99999999)
    prepare_run(codes, "min", 1, int(days[0]), int(days[-1]))
    idx = [_subscribe.reg_k_data("min", 5), _subscribe.reg_k_data("week", 1)]
    n = int(sysstate.env.fresh_bar_timeline.size)
    read = _windows.get_reg_k_data_values
    hooks = Fingerprints()
    wrapped = [hooks.wrap("bars", read), hooks.wrap("bars", read)]

    def plain():
        for s in range(n):
            read(idx[0], s, 20, True)
            read(idx[1], s, 20, False)

    def fingerprinted():
        for s in range(n):
            wrapped[0](idx[0], s, 20, True)
            wrapped[1](idx[1], s, 20, False)

    best = {"plain": math.inf, "fingerprinted": math.inf}
    for _ in range(3):
        for name, fn in (("plain", plain), ("fingerprinted", fingerprinted)):
            t0 = time.perf_counter()
            fn()
            best[name] = min(best[name], (time.perf_counter() - t0) / (2 * n) * 1e6)
    same = all(np.array_equal(wrapped[0](idx[0], s, 20, True), read(idx[0], s, 20, True),
                              equal_nan=True) for s in range(0, n, max(1, n // 20)))
    sysstate.env.vx_disconnect_to()
    core.stop()
    return {"reads": 2 * n, "plain_us": best["plain"], "fingerprinted_us": best["fingerprinted"],
            "same": bool(same)}


def one_run(cfg):
    """The baseline: one run of the example, timed in its process from the call of
    `run` to its return (the interpreter's start-up and imports left out)."""
    from vornix.runner import run

    t0 = time.perf_counter()
    run(EXAMPLE, out=False, quiet=True, core="local", begin=cfg["begin"], end=cfg["end"])
    return {"seconds": time.perf_counter() - t0}


def main():
    args = bench_args(__doc__, child, [("--targets", 10), ("--days", 20), ("--cuts", 20)],
                      quick={"targets": 3, "days": 5, "cuts": 3})

    with sample_store("vx-bench-audit-", args.days, max(args.targets, 3)) as (tmp, env):
        cfg = {"core": os.path.join(tmp, "core"), "targets": args.targets}
        fp = run_child(__file__, [json.dumps(cfg)], env, "fingerprint")

        os.environ.update(env)
        from vornix.api.history import _history
        from vornix.audit import audit
        days = _history.get_trading_days(0, 99999999)
        span = {"begin": int(days[0]), "end": int(days[-1])}
        baseline = run_child(__file__, [json.dumps(dict(span, run=True))], env, "one run")
        one_run = baseline["seconds"]
        report = audit(EXAMPLE, cuts=args.cuts, **span)

    cost = fp["fingerprinted_us"] - fp["plain_us"]
    ratio = report.audit_seconds / one_run
    in_runs = sum(seconds for _, seconds in report.runs)
    overhead = report.audit_seconds / in_runs - 1.0
    print("fingerprint: %d reads of 20-bar windows; plain %.2f us, fingerprinted %.2f us; "
          "cost %.2f us per read (target < %.0f us)"
          % (fp["reads"], fp["plain_us"], fp["fingerprinted_us"], cost, FINGERPRINT_US))
    print("audit of weekly_trend, %d steps, %d cuts: one run %.2f s, the audit "
          "%.1f s = %.1fx (target < %.0fx); its %d runs %.1f s, overhead %.1f%% (target < %.0f%%);"
          " %s" % (report.steps, len(report.cuts), one_run, report.audit_seconds, ratio,
                   AUDIT_RATIO, len(report.runs), in_runs, 100 * overhead, 100 * OVERHEAD,
                   "clean" if report.clean else "exit code %d" % report.exit_code))
    failures = []
    if not fp["same"]:
        failures.append("fingerprinted reads return other windows")
    if not report.clean:
        failures.append("the example is not reported clean:\n" + report.text())
    missed = []
    if cost >= FINGERPRINT_US:
        missed.append("fingerprint %.2f us per read" % cost)
    if ratio >= AUDIT_RATIO:
        missed.append("audit %.1fx one run" % ratio)
    if overhead >= OVERHEAD:
        missed.append("audit overhead %.1f%% of its runs" % (100 * overhead))
    return finish("bench_audit", args, {
        "fingerprint": fp,
        "audit": {"steps": report.steps, "cuts": report.cuts, "one_run_seconds": one_run,
                  "audit_seconds": report.audit_seconds, "ratio": ratio,
                  "runs": report.runs, "overhead": overhead}}, failures, missed)


if __name__ == "__main__":
    raise SystemExit(main())
