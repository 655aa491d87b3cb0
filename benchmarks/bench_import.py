"""Import one large CSV file of one-minute bars into a bar store.

    python benchmarks/bench_import.py [--quick] [--targets 50] [--days 248] [--repeat 2]

A CSV file of --targets stocks over --days trading days of the Shanghai session
(240 one-minute bars a day: 2,976,000 rows by default, about 200 MB) is written
to a temporary directory, with a store that holds its sessions, calendar and
instruments.  Each round reads the file once with a bare pyarrow.csv.read_csv
(the floor: parsing the text alone) and then imports it with
`vornix data import bars-1m` into a fresh copy of that store (so every round
writes new bar files and merges nothing).  Prints the best time of each, the
import's rows per second, its ratio to the bare read and the peak RSS of the
process.  Target: a full-size import under 10 s.

--quick: 5 targets over 10 days (12,000 rows), one round; for smoke runs.
"""

import argparse
import os
import resource
import shutil
import sys
import tempfile
import time

SESSION_MINUTES = 240


def _peak_rss_bytes():
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
    return store_path, csv_path, table.num_rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small file, one round (smoke runs)")
    ap.add_argument("--targets", type=int, default=None, help="stocks (default 50, --quick 5)")
    ap.add_argument("--days", type=int, default=None, help="trading days (default 248, --quick 10)")
    ap.add_argument("--repeat", type=int, default=None, help="rounds, best of (default 2, --quick 1)")
    args = ap.parse_args()
    targets = args.targets or (5 if args.quick else 50)
    n_days = args.days or (10 if args.quick else 248)
    repeat = args.repeat or (1 if args.quick else 2)

    import pyarrow.csv as pacsv

    from vornix.api.history._history import HistoryStore
    from vornix.api.history._import import import_csv

    with tempfile.TemporaryDirectory(prefix="vx-bench-import-") as folder:
        t0 = time.perf_counter()
        base, csv_path, rows = write_inputs(folder, targets, n_days)
        print("CSV of %d rows (%.1f MB) written in %.2f s"
              % (rows, os.path.getsize(csv_path) / 1e6, time.perf_counter() - t0))
        pacsv.read_csv(csv_path)  # warm the page cache
        base_rss = _peak_rss_bytes()
        bare, imported = [], []
        for n in range(repeat):
            t0 = time.perf_counter()
            table = pacsv.read_csv(csv_path)
            bare.append(time.perf_counter() - t0)
            assert table.num_rows == rows
            del table
            target = os.path.join(folder, "round-%d" % n)
            shutil.copytree(base, target)
            t0 = time.perf_counter()
            summary = import_csv(HistoryStore(target), "bars-1m", csv_path)
            imported.append(time.perf_counter() - t0)
            shutil.rmtree(target)
        rss_rise = _peak_rss_bytes() - base_rss

    best, floor = min(imported), min(bare)
    print("import: %s" % summary)
    print("import time: best %.2f s, all %s" % (best, ", ".join("%.2f" % t for t in imported)))
    print("rows per second: %.0f" % (rows / best))
    print("bare pyarrow.csv.read_csv: best %.2f s, all %s" % (floor, ", ".join("%.2f" % t for t in bare)))
    print("import / bare read: %.1fx" % (best / floor))
    print("peak RSS rise: %.0f MB" % (rss_rise / 1e6))
    if args.quick:
        print("(quick run: target not checked)")
        return 0
    ok = best < 10.0
    print("targets met" if ok else "TARGETS MISSED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
