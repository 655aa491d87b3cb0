"""Import one large CSV file of one-minute bars into a bar store, in the store's
layout and in a vendor's.

    python benchmarks/bench_import.py [--quick] [--targets 50] [--days 248] [--repeat 2]

Two CSV files of --targets stocks over --days trading days of the Shanghai session
(240 one-minute bars a day: 2,976,000 rows by default, about 200 MB each) are
written to a temporary directory, with a store that holds their sessions,
calendar and instruments:

* store layout: market,code,time,open,high,low,close,volume,turnover,open_interest
  (`vornix data import bars-1m FILE`);
* vendor layout: symbol,dt,open,close,high,low,vol,amount with symbols such as
  600000.XSHG, stamps with seconds and volumes in lots of 100
  (`vornix data import bars-1m FILE --volume-scale 100`).

Each round reads each file once with a bare pyarrow.csv.read_csv (the floor:
parsing the text alone) and then imports it, in a child process of its own, into
a fresh copy of the store (so every round writes new bar files and merges
nothing).  Prints the best time of each, rows per second, the ratio to the bare
read, and the import's peak memory (the child's peak RSS above what it held
before the import) against the file's size.  Targets, full size: each import
under 10 s; the vendor import's peak memory under 3 times its file's size.
Writes results/bench_import[_quick].json.

--quick: 5 targets over 10 days (12,000 rows), one round; for smoke runs.
"""

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _common import finish  # noqa: E402

SESSION_MINUTES = 240


def _peak_rss_bytes():
    """Peak RSS of this process: VmHWM of its own memory map where there is one (the
    rusage peak of a child is carried over from its parent across exec on Linux)."""
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _trading_days(n):
    import numpy as np

    days = np.arange(np.datetime64("2023-01-03"), np.datetime64("2023-01-03") + 2 * n + 10)
    weekday = (days.astype("datetime64[D]").view("int64") - 4) % 7  # 0 = Monday
    return days[weekday < 5][:n]


def write_inputs(folder, targets, n_days, seed=0):
    """(store path, bar CSV path, rows): a store with sessions, calendar and
    instruments, and the CSV file of the bars, sorted by target and time."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.csv as pacsv

    from vornix.api.history._history import HistoryStore
    from vornix.api.history._import import import_csv

    days = _trading_days(n_days)
    codes = ["%06d" % (600000 + 10 * k) for k in range(targets)]
    small = {
        "sessions": "calendar,open,close\nSSE,09:30,11:30\nSSE,13:00,15:00\n",
        "calendar": "date\n" + "".join("%s\n" % d for d in days.astype(str)),
        "instruments": "market,code,type,list_date,calendar\n"
        + "".join("SH,%s,stock,%s,SSE\n" % (c, str(days[0]).replace("-", "")) for c in codes),
    }
    store_path = os.path.join(folder, "store")
    store = HistoryStore(store_path, create=True)
    for kind in ("sessions", "calendar", "instruments"):
        path = os.path.join(folder, kind + ".csv")
        with open(path, "w") as fh:
            fh.write(small[kind])
        import_csv(store, kind, path)

    minutes = np.r_[np.arange(571, 691), np.arange(781, 901)].astype("timedelta64[m]")
    day_times = (days.astype("datetime64[m]")[:, None] + minutes[None, :]).ravel()
    per_target = day_times.size
    stamps = pc.replace_substring(
        pa.array(np.datetime_as_string(day_times, unit="m")), "T", " "
    )
    rng = np.random.default_rng(seed)
    cols = {name: [] for name in ("market", "code", "time", "open", "high", "low", "close",
                                  "volume", "turnover", "open_interest")}
    for code in codes:
        steps = rng.normal(0.0, 0.001, per_target)
        close = np.round(10.0 * np.exp(np.cumsum(steps)), 2)
        open_ = np.round(np.r_[close[0], close[:-1]], 2)
        spread = np.round(np.abs(rng.normal(0.0, 0.01, (2, per_target))), 2)
        volume = rng.integers(0, 5000, per_target) * 100
        cols["market"].append(pa.array(["SH"] * per_target))
        cols["code"].append(pa.array([code] * per_target))
        cols["time"].append(stamps)
        cols["open"].append(pa.array(open_))
        cols["high"].append(pa.array(np.maximum(open_, close) + spread[0]))
        cols["low"].append(pa.array(np.maximum(np.minimum(open_, close) - spread[1], 0.01)))
        cols["close"].append(pa.array(close))
        cols["volume"].append(pa.array(volume.astype(np.int64)))
        cols["turnover"].append(pa.array(np.round(volume * close, 2)))
        cols["open_interest"].append(pa.nulls(per_target, pa.string()).fill_null(""))
    table = pa.table({k: pa.concat_arrays(v) for k, v in cols.items()})
    csv_path = os.path.join(folder, "bars.csv")
    pacsv.write_csv(table, csv_path, pacsv.WriteOptions(quoting_style="none"))
    # the same bars as a vendor gives them: one symbol column, stamps with seconds,
    # another column order, volumes in lots of 100
    vendor = pa.table({
        "symbol": pc.binary_join_element_wise(table["code"], pa.scalar(".XSHG"), ""),
        "dt": pc.binary_join_element_wise(table["time"], pa.scalar(":00"), ""),
        "open": table["open"], "close": table["close"], "high": table["high"], "low": table["low"],
        "vol": pc.divide(table["volume"], 100), "amount": table["turnover"],
    })
    vendor_path = os.path.join(folder, "vendor.csv")
    pacsv.write_csv(vendor, vendor_path, pacsv.WriteOptions(quoting_style="none"))
    return store_path, {"store": csv_path, "vendor": vendor_path}, table.num_rows


LAYOUT_OPTIONS = {"store": {}, "vendor": {"volume_scale": 100}}


def child(store_path, csv_path, layout):
    """Imports the file into the store; prints seconds and the peak RSS rise as JSON."""
    from vornix.api.history._history import HistoryStore
    from vornix.api.history._import import import_csv

    base = _peak_rss_bytes()
    t0 = time.perf_counter()
    summary = import_csv(HistoryStore(store_path), "bars-1m", csv_path, **LAYOUT_OPTIONS[layout])
    seconds = time.perf_counter() - t0
    print(json.dumps({"seconds": seconds, "peak_rise": _peak_rss_bytes() - base, "summary": summary}))


def _import_in_child(store_path, csv_path, layout):
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", store_path, csv_path, layout],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stdout + proc.stderr)
        raise SystemExit("the import child failed")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small file, one round (smoke runs)")
    ap.add_argument("--targets", type=int, default=None, help="stocks (default 50, --quick 5)")
    ap.add_argument("--days", type=int, default=None, help="trading days (default 248, --quick 10)")
    ap.add_argument("--repeat", type=int, default=None, help="rounds, best of (default 2, --quick 1)")
    ap.add_argument("--child", nargs=3, metavar=("STORE", "CSV", "LAYOUT"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(*args.child)
        return 0
    targets = args.targets or (5 if args.quick else 50)
    n_days = args.days or (10 if args.quick else 248)
    repeat = args.repeat or (1 if args.quick else 2)

    import pyarrow.csv as pacsv

    results, failures, missed = {}, [], []
    with tempfile.TemporaryDirectory(prefix="vx-bench-import-") as folder:
        t0 = time.perf_counter()
        base, paths, rows = write_inputs(folder, targets, n_days)
        print("CSV files of %d rows (%s) written in %.2f s" % (
            rows, ", ".join("%s %.1f MB" % (k, os.path.getsize(p) / 1e6) for k, p in paths.items()),
            time.perf_counter() - t0))
        for layout, csv_path in paths.items():
            pacsv.read_csv(csv_path)  # warm the page cache
            bare, imported, peaks = [], [], []
            for n in range(repeat):
                t0 = time.perf_counter()
                table = pacsv.read_csv(csv_path)
                bare.append(time.perf_counter() - t0)
                assert table.num_rows == rows
                del table
                target = os.path.join(folder, "round-%s-%d" % (layout, n))
                shutil.copytree(base, target)
                got = _import_in_child(target, csv_path, layout)
                imported.append(got["seconds"])
                peaks.append(got["peak_rise"])
                expected = "%d min bars of %d target(s)" % (rows, targets)
                if got["summary"] != expected:
                    failures.append("%s layout: imported %r, expected %r" % (layout, got["summary"], expected))
                shutil.rmtree(target)
            size = os.path.getsize(csv_path)
            best, floor, peak = min(imported), min(bare), max(peaks)
            results[layout] = {"rows": rows, "file_bytes": size, "seconds": imported, "bare_read_seconds": bare,
                               "peak_rss_rise_bytes": peak, "peak_over_file": peak / size}
            print("%s layout: import best %.2f s (all %s), %.0f rows/s, bare read %.2f s (%.1fx); "
                  "peak memory %.0f MB = %.2fx the file's %.0f MB"
                  % (layout, best, ", ".join("%.2f" % t for t in imported), rows / best, floor, best / floor,
                     peak / 1e6, peak / size, size / 1e6))
            if args.quick:
                continue  # targets are for the full size
            if best >= 10.0:
                missed.append("%s layout import took %.2f s (target under 10 s)" % (layout, best))
            if layout == "vendor" and peak >= 3 * size:
                missed.append("vendor layout import peaked at %.2fx the file size (target under 3x)"
                              % (peak / size))
    if args.quick:
        print("(quick run: targets not checked)")
    elif not missed:
        print("targets met")
    return finish("bench_import", args, results, failures, missed)


if __name__ == "__main__":
    sys.exit(main())
