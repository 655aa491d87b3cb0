"""Walk-forward: choose parameters on a train window, run them on the window after it.

[begin, end] is cut, on the trading days of the store's calendar, into folds: fold k
trains on the `train` days starting at day k * test and tests on the (up to) `test`
days right after them.  The test windows follow each other without gap or
overlap, and no train window reaches into its own test window; the last test
window is shorter when the days run out.  On each train window every combination
of the grid runs; the best by the metric (higher is better, except max_drawdown
and annual_volatility, where lower is; runs that failed or leave the metric
undefined are passed over; the first in grid order wins a tie) is then run on the
test window.  Nothing of a test window is known when its parameters are chosen:
all train runs finish before any test run starts, and a fold's choice reads its
own train runs only.

Each test run starts flat with the starting cash; the out-of-sample equity curve
chains them: a test window's equity is scaled so that it starts where the previous
window's ended (a window whose run never ordered stays flat there).
"""

import os
import re
import time
from dataclasses import dataclass

from vornix.sweep._engines import make_engine
from vornix.sweep._sweep import (
    _FLOATS,
    _INTS,
    Plan,
    best_index,
    check_metric,
    check_store_stamps,
    describe,
    execute,
    frame,
    write_table,
)
from vornix.sweep._task import STATS

_SPEC = re.compile(r"^\s*(\d+)\s*d?\s*$")


def as_days(value, what):
    """120, '120' or '120d' -> 120 (trading days)."""
    if isinstance(value, bool):
        raise ValueError("the %s window must be a number of trading days, got %r" % (what, value))
    if isinstance(value, int):
        days = value
    else:
        m = _SPEC.match(str(value))
        if not m:
            raise ValueError(
                "the %s window must be a number of trading days such as 120d, "
                "got %r" % (what, value)
            )
        days = int(m.group(1))
    if days < 1:
        raise ValueError("the %s window must hold at least one trading day, got %r" % (what, value))
    return days


def parse_walk_forward(text):
    """'train=120d,test=20d' -> (120, 20); d = trading days (a plain number too)."""
    parts = {}
    for item in str(text).split(","):
        key, sep, value = item.partition("=")
        key = key.strip().lower()
        if not sep or key not in ("train", "test") or key in parts:
            raise ValueError(
                "walk-forward windows are given as train=120d,test=20d, got %r" % (text,)
            )
        parts[key] = as_days(value, key)
    if set(parts) != {"train", "test"}:
        raise ValueError("walk-forward windows are given as train=120d,test=20d, got %r" % (text,))
    return parts["train"], parts["test"]


def split_windows(days, train, test):
    """The folds over the trading days `days` (ascending yyyymmdd): a list of
    (train days, test days)."""
    days = [int(d) for d in days]
    if len(days) <= train:
        raise ValueError(
            "the run's %d trading days leave nothing to test after a train window "
            "of %d days" % (len(days), train)
        )
    folds = []
    start = 0
    while start + train < len(days):
        folds.append((days[start : start + train], days[start + train : start + train + test]))
        start += test
    return folds


@dataclass
class WalkForwardResult:
    """`windows`: one row per fold (its days, the chosen parameters, the train metric,
    the test run's statistics as test_*); `equity`: the chained out-of-sample
    equity (time, window, equity); `runs`: every train and test run, as the rows of
    a sweep with window and phase; `folder`: the results folder or None."""

    windows: object
    equity: object
    runs: object
    folder: object = None

    def summary(self, name, metric, seconds, where):
        w = self.windows
        lines = [
            "vornix walk-forward %s: %d windows, %d runs in %.1f s (%s), chosen by %s"
            % (name, len(w), len(self.runs), seconds, where, metric)
        ]
        params = [
            c
            for c in w.columns
            if c not in _WINDOW_COLUMNS and not c.startswith("test_") and c != "train_" + metric
        ]
        for row in w.to_dict("records"):
            head = "  window %d: train %d-%d, test %d-%d: " % (
                row["window"],
                row["train_begin"],
                row["train_end"],
                row["test_begin"],
                row["test_end"],
            )
            if row["error"] is not None:
                lines.append(head + row["error"].splitlines()[0])
                continue
            ret = row["test_total_return"]
            lines.append(
                head
                + "%s (train %s %.4g), test return %s"
                % (
                    describe({k: row[k] for k in params}),
                    metric,
                    row["train_" + metric] + 0.0,  # no "-0"
                    "n/a" if ret is None or ret != ret else "%.2f%%" % (100 * ret),
                )
                + ("; test window: %s" % row["note"] if row.get("note") else "")
            )
        idle = [n for n in w["note"] if n]
        for note in sorted(set(idle)):
            lines.append("%d of %d test windows: %s" % (idle.count(note), len(w), note))
        eq = self.equity["equity"]
        if len(eq):
            lines.append(
                "out of sample: %.2f%% over %d steps"
                % (100 * (eq.iloc[-1] / eq.iloc[0] - 1), len(eq))
            )
        if self.folder:
            lines.append("results: %s" % self.folder)
        return "\n".join(lines)


_WINDOW_COLUMNS = (
    "window",
    "train_begin",
    "train_end",
    "test_begin",
    "test_end",
    "error",
    "store_generation",
    "store_stamp",
    "version",
    "note",
)


def _stitch(windows, curves, start):
    """The chained out-of-sample equity: window by window, each test curve scaled to
    start at the previous window's last value."""
    import numpy as np
    import pandas as pd

    parts, level = [], float(start)
    for w in windows:
        curve = curves.get(w)
        if curve is None:
            continue
        times, equity = curve
        if equity is None:
            scaled = np.full(len(times), level)
        else:
            equity = pd.Series(np.asarray(equity, dtype=np.float64)).ffill().to_numpy()
            scaled = equity / equity[0] * level
        parts.append(pd.DataFrame({"time": times, "window": w, "equity": scaled}))
        level = float(scaled[-1])
    if not parts:
        return pd.DataFrame(
            {
                "time": pd.Series([], dtype="datetime64[ns]"),
                "window": pd.Series([], dtype="int64"),
                "equity": pd.Series([], dtype="float64"),
            }
        )
    return pd.concat(parts, ignore_index=True)


def walk_forward(
    strategy,
    grid,
    train,
    test,
    metric="sharpe",
    jobs=None,
    engine="local",
    scheduler=None,
    address=None,
    out=None,
    quiet=False,
    run_timeout=None,
    **run_settings,
):
    """Walk-forward of the strategy file `strategy` over its [begin, end]: `train`
    and `test` are window lengths in trading days (120 or '120d'); see the module
    text for the folds and the choice. Engines and settings as for `sweep`. Returns
    a WalkForwardResult; `out` writes walk_forward.parquet/.csv,
    oos_equity.parquet/.csv and runs.parquet/.csv there."""
    from vornix.api.history import _history

    t0 = time.perf_counter()
    check_metric(metric)
    train, test = as_days(train, "train"), as_days(test, "test")
    reserved = _WINDOW_COLUMNS + ("phase", "train_" + metric) + tuple("test_" + s for s in STATS)
    plan = Plan(strategy, grid, run_settings, reserved=reserved, run_timeout=run_timeout)
    days = _history.get_trading_days(plan.resolved.begin, plan.resolved.end)
    folds = split_windows(days, train, test)
    runner = make_engine(engine, jobs, scheduler, address)
    names = list(plan.grid)

    train_tasks, train_keys = [], []
    for w, (tr, _) in enumerate(folds):
        for c, combo in enumerate(plan.combos):
            train_tasks.append(plan.task(combo, tr[0], tr[-1]))
            train_keys.append((w, c))
    with runner:
        train_results = execute(runner, train_tasks, quiet, "train %s" % plan.name)
        by_window = {}
        for (w, _c), (row, _) in zip(train_keys, train_results):
            by_window.setdefault(w, []).append(row)  # in grid order
        chosen = {w: best_index(by_window[w], metric) for w in range(len(folds))}
        test_windows = [w for w in range(len(folds)) if chosen[w] is not None]
        test_tasks = [
            plan.task(plan.combos[chosen[w]], folds[w][1][0], folds[w][1][-1], curve=True)
            for w in test_windows
        ]
        test_results = execute(runner, test_tasks, quiet, "test %s" % plan.name)
    tested = dict(zip(test_windows, test_results))

    run_rows = []
    for (w, c), (row, _) in zip(train_keys, train_results):
        tr = folds[w][0]
        run_rows.append(
            dict(plan.combos[c], window=w, phase="train", begin=tr[0], end=tr[-1], **row)
        )
    window_rows, curves = [], {}
    for w, (tr, te) in enumerate(folds):
        out_row = {
            "window": w,
            "train_begin": tr[0],
            "train_end": tr[-1],
            "test_begin": te[0],
            "test_end": te[-1],
        }
        out_row.update(dict.fromkeys(names))
        out_row["train_" + metric] = None
        out_row.update({"test_" + s: None for s in STATS})
        out_row.update(error=None, store_generation=None, store_stamp=None, version=None,
                       note=None)
        if chosen[w] is None:
            out_row["error"] = "no run on the train window has a %s" % metric
        else:
            combo = plan.combos[chosen[w]]
            out_row.update(combo)
            out_row["train_" + metric] = by_window[w][chosen[w]][metric]
            row, curve = tested[w]
            run_rows.append(dict(combo, window=w, phase="test", begin=te[0], end=te[-1], **row))
            out_row.update({"test_" + s: row[s] for s in STATS})
            for key in ("error", "store_generation", "store_stamp", "version", "note"):
                out_row[key] = row[key]
            if row["error"] is None and curve is not None:
                curves[w] = curve
        window_rows.append(out_row)
    check_store_stamps(run_rows)

    import pandas as pd

    runs = frame(run_rows, ["window", "phase"] + names + ["begin", "end"])
    windows = pd.DataFrame(window_rows, columns=list(window_rows[0]))
    for s in STATS:
        if s in _FLOATS:
            windows["test_" + s] = pd.to_numeric(windows["test_" + s], errors="coerce").astype(
                "float64"
            )
        elif s in _INTS:
            windows["test_" + s] = pd.to_numeric(windows["test_" + s], errors="coerce").astype(
                "Int64"
            )
    windows["train_" + metric] = pd.to_numeric(windows["train_" + metric], errors="coerce").astype(
        "float64"
    )
    windows["store_generation"] = windows["store_generation"].astype("Int64")
    windows["note"] = windows["note"].astype(object).where(windows["note"].notna(), None)
    result = WalkForwardResult(
        windows=windows, equity=_stitch(range(len(folds)), curves, plan.start_cash()), runs=runs
    )
    if out:
        folder = os.path.abspath(out)
        os.makedirs(folder, exist_ok=True)
        write_table(result.windows, folder, "walk_forward")
        write_table(result.equity, folder, "oos_equity")
        write_table(result.runs, folder, "runs")
        result.folder = folder
    if not quiet:
        print(result.summary(plan.name, metric, time.perf_counter() - t0, runner.where))
    return result
