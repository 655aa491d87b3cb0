"""Fetch one year of one-minute bars for 50 targets through get_k_data_multi.

    python benchmarks/bench_history.py [--quick] [--store DIR] [--targets 50] [--repeat 3]
                                       [--url URL | --no-url] [--latency 0.03]

Without --store a sample market of 50 stocks over 242 trading days is written
to a temporary directory first (in a child process, so that its memory does not
count).  Prints the time of each fetch, the size of the returned arrays and the
peak memory of the fetch: the rise of the process's peak RSS, the peak of
Python allocations (tracemalloc) and the peak of the Arrow memory pool.
Targets: under 2 s per fetch, peak memory within 2x of the returned arrays.

The same fetch is then made from a copy of the store at a URL (`vornix data
upload`; by default a file:// URL in a temporary folder, which measures the cost of
reading through pyarrow's file systems; --url s3://bucket/prefix for an object
store), checked to return the same arrays and reported as a ratio to the fetch
from the folder.  Last, the read-ahead of a store at a URL: the fetch from the
copy with --latency seconds (default 0.03) added to every bar-file read, which
stands in for an object store's round trips, one file at a time against the
read-ahead, as a speed-up.

The check of every file against the store's manifest is timed piece by piece on
the files of the fetch (reading the manifest; sizes and footer digests; with
VX_STORE_VERIFY=hash the SHA-256 of every file instead of the footers; for
comparison the page checksums that 'data info --check' verifies, as the difference
of decoding with and without them) and reported as a share of the fetch, the main
part of a run's set-up, measured above (target: under 5% for the default check).
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


def _fetches(history, params, repeat):
    """(times, last result) of `repeat` fetches, each from a freshly opened store as a
    new run makes."""
    times = []
    for _ in range(repeat):
        history._open.update(key=None, store=None)
        t0 = time.perf_counter()
        result = history.get_k_data_multi(params)
        times.append(time.perf_counter() - t0)
    return times, result


def _fetch_from_url(args, store, params, expected, folder_best):
    """The fetch from a copy of the store at a URL and its read-ahead; False when it
    returns other arrays."""
    import numpy as np

    from vornix.api.history import _history, _places
    from vornix.api.history._store import upload_store

    if _places.is_url(store):
        print("(the store is at a URL already: no second fetch)")
        return True
    with tempfile.TemporaryDirectory(prefix="vx-bench-url-") as tmp:
        url = args.url or "file://%s" % os.path.join(tmp, "copy")
        t0 = time.perf_counter()
        upload_store(store, url)
        print("store uploaded to %s in %.2f s" % (_places.files_of(url).root, time.perf_counter() - t0))
        os.environ["VX_STORE_DIR"] = url
        times, result = _fetches(_history, params, args.repeat)
        print("fetch time from the URL: best %.3f s, all %s; %.2fx the fetch from the folder"
              % (min(times), ", ".join("%.3f" % t for t in times), min(times) / folder_best))
        same = all(np.array_equal(result[k], expected[k], equal_nan=True) for k in expected)

        # every bar-file read waits --latency seconds first (without the GIL, as a
        # read waiting on the network does)
        read = _places.RemoteFiles.read_bytes

        def slow_read(self, path):
            time.sleep(args.latency)
            return read(self, path)

        ahead = _history.READ_AHEAD
        _places.RemoteFiles.read_bytes = slow_read
        try:
            _history.READ_AHEAD = 1
            one, _ = _fetches(_history, params, args.repeat)
            _history.READ_AHEAD = ahead
            many, _ = _fetches(_history, params, args.repeat)
        finally:
            _places.RemoteFiles.read_bytes = read
            _history.READ_AHEAD = ahead
        os.environ["VX_STORE_DIR"] = store
    print("with %.0f ms per bar-file read: one file at a time %.3f s, %d at once %.3f s: %.2fx faster"
          % (args.latency * 1e3, min(one), ahead, min(many), min(one) / min(many)))
    if not same:
        print("CHECK FAILED: the fetch from the URL returned other arrays than the fetch from the folder")
    return same


def _check_cost(targets, rounds):
    """Seconds of the check against the manifest in a fetch of the bars of `targets`:
    (manifest read, sizes and footer digests, page checksums, SHA-256 of every file),
    each the best of `rounds`.  The page checksums are timed as the difference of
    decoding every file with and without them, in turn."""
    import hashlib

    import pyarrow as pa
    import pyarrow.parquet as pq

    from vornix.api.history import _history, _manifest

    store = _history.current_store()
    paths = [store.bar_path(t, "min") for t in targets]
    best = {"manifest": [], "stamp": [], "crc": [], "hash": []}
    for _ in range(rounds):
        t0 = time.perf_counter()
        store.manifest(again=True)
        t1 = time.perf_counter()
        for path in paths:
            with pa.OSFile(path) as fh:
                size = fh.size()
                _manifest.footer_digest(lambda n, at, fh=fh: fh.read_at(n, at), size)
        t2 = time.perf_counter()
        for path in paths:
            pq.read_table(path, page_checksum_verification=True)
        t3 = time.perf_counter()
        for path in paths:
            pq.read_table(path)
        t4 = time.perf_counter()
        for path in paths:
            with open(path, "rb") as fh:
                hashlib.sha256(fh.read()).digest()
        t5 = time.perf_counter()
        best["manifest"].append(t1 - t0)
        best["stamp"].append(t2 - t1)
        best["crc"].append((t3 - t2) - (t4 - t3))
        best["hash"].append(t5 - t4)
    return {k: max(min(v), 0.0) for k, v in best.items()}


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small market, one round (smoke runs)")
    ap.add_argument("--store", default=None)
    ap.add_argument("--targets", type=int, default=None, help="stocks (default 50, --quick 5)")
    ap.add_argument("--days", type=int, default=None, help="trading days (default 242, --quick 10)")
    ap.add_argument("--repeat", type=int, default=None, help="rounds (default 3, --quick 1)")
    ap.add_argument("--url", default=None, help="where to upload the store for the fetch from a URL "
                    "(default: a file:// URL in a temporary folder)")
    ap.add_argument("--no-url", dest="no_url", action="store_true", help="no fetch from a URL")
    ap.add_argument("--latency", type=float, default=0.03,
                    help="seconds added to each bar-file read from the URL in the read-ahead measure")
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
    cost = _check_cost(targets, max(3, args.repeat + 2))
    check = cost["manifest"] + cost["stamp"]
    share = check / min(times)
    hashed = cost["manifest"] + cost["hash"]
    print("check against the manifest per fetch: %.1f ms (manifest %.1f ms, sizes and footers %.1f ms): %.2f%% "
          "of the fetch, the main part of a run's set-up; with VX_STORE_VERIFY=hash %.1f ms (%.2f%%); page "
          "checksums (verified by 'data info --check' only) would add %.1f ms (%.2f%%)"
          % (1e3 * check, 1e3 * cost["manifest"], 1e3 * cost["stamp"], 100 * share, 1e3 * hashed,
             100 * hashed / min(times), 1e3 * cost["crc"], 100 * cost["crc"] / min(times)))
    ok = min(times) < 2.0 and max(rss_rise, py_peak) <= 2 * returned and share < 0.05
    if not args.no_url and not _fetch_from_url(args, store, params, result, min(times)):
        return 1
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
