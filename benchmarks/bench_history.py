"""Fetch one year of one-minute bars for 50 targets through get_k_data_multi.

    python benchmarks/bench_history.py [--quick] [--store DIR] [--targets 50] [--repeat 3]

Without --store a sample market of 50 stocks over 242 trading days is written
to a temporary directory first (in a child process, so that its memory does not
count).  Prints the time of each fetch, the size of the returned arrays and the
peak memory of the fetch: the rise of the process's peak RSS, the peak of
Python allocations (tracemalloc) and the peak of the Arrow memory pool.
Targets: under 2 s per fetch, peak memory within 2x of the returned arrays.
The exit status is 1 when a fetch fails, and in a full run also when a target
is missed.

--quick: 5 stocks over 10 days, one round; for smoke runs (targets not checked).
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
import tracemalloc


def _peak_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small market, one round (smoke runs)")
    ap.add_argument("--store", default=None)
    ap.add_argument("--targets", type=int, default=None, help="stocks (default 50, --quick 5)")
    ap.add_argument("--days", type=int, default=None, help="trading days (default 242, --quick 10)")
    ap.add_argument("--repeat", type=int, default=None, help="rounds (default 3, --quick 1)")
    args = ap.parse_args()
    args.targets = args.targets or (5 if args.quick else 50)
    args.days = args.days or (10 if args.quick else 242)
    args.repeat = args.repeat or (1 if args.quick else 3)

    tmp = None
    store = args.store
    if store is None:
        tmp = tempfile.TemporaryDirectory(prefix="vx-bench-")
        store = tmp.name
        t0 = time.perf_counter()
        subprocess.run(
            [sys.executable, "-m", "vornix", "data", "sample", "--store", store,
             "--stocks", str(args.targets), "--days", str(args.days)],
            check=True,
        )
        print("sample market written in %.2f s" % (time.perf_counter() - t0))
    os.environ["VX_STORE_DIR"] = store

    import numpy as np
    import pyarrow as pa

    from vornix.api.history import _history

    days = _history.get_trading_days(0, 99999999)
    targets = [c for c, row in _history.current_store().target_table().items() if row["type"] == "stock"]
    targets = targets[: args.targets]
    params = {
        "targets": targets, "frequency": "min", "freq_num": 1,
        "begin_date": int(days[0]), "end_date": int(days[-1]),
        "filled_up": True, "fq_type": 1, "need_show_ui_tip": False,
    }
    pool = pa.default_memory_pool()
    base_rss = _peak_rss_bytes()
    times = []
    result = None
    for _ in range(args.repeat):
        result = None
        t0 = time.perf_counter()
        result = _history.get_k_data_multi(params)
        times.append(time.perf_counter() - t0)
    returned = sum(v.nbytes for v in result.values())
    rss_rise = _peak_rss_bytes() - base_rss
    del result
    tracemalloc.start()
    result = _history.get_k_data_multi(params)
    _, py_peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    bars = result["KArray"].shape[1] * len(targets)
    print("targets %d, trading days %d, bars %d (%d columns)" % (
        len(targets), days.size, bars, result["KArray"].shape[1]))
    print("fetch time: best %.3f s, all %s" % (min(times), ", ".join("%.3f" % t for t in times)))
    print("returned arrays: %.1f MB" % (returned / 1e6))
    print("peak RSS rise during the fetches: %.1f MB (%.2fx the result)" % (rss_rise / 1e6, rss_rise / returned))
    print("tracemalloc peak of one fetch: %.1f MB (%.2fx)" % (py_peak / 1e6, py_peak / returned))
    print("Arrow pool peak: %.1f MB" % (pool.max_memory() / 1e6))
    ok = min(times) < 2.0 and max(rss_rise, py_peak) <= 2 * returned
    if args.quick:
        print("(quick run: targets not checked)")
    else:
        print("targets met" if ok else "TARGETS MISSED")
    del np
    if tmp is not None:
        tmp.cleanup()
    return 0 if (ok or args.quick) else 1


if __name__ == "__main__":
    sys.exit(main())
