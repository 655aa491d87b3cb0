"""`sweep(strategy, grid, ...)`: one run per combination of parameter values, the rows
of their summary statistics, and the results folder (sweep.parquet, sweep.csv and,
for a grid of two parameters, heatmap.png)."""

import itertools
import math
import os
import time
import warnings

from vornix.runner._strategy import BROKER_KEYS, SERIES_KEYS
from vornix.sweep._engines import make_engine
from vornix.sweep._task import EXTRA, SETTING_KEYS, STATS

# settings of vornix.runner.run that a sweep passes to each of its runs
RUN_SETTINGS = SERIES_KEYS + ("params", "core") + BROKER_KEYS
# the statistics a sweep can rank by; higher is better except for these
METRICS = (
    "sharpe",
    "sortino",
    "calmar",
    "total_return",
    "annual_return",
    "annual_volatility",
    "max_drawdown",
    "turnover",
    "win_rate",
    "trades",
)
LOWER_IS_BETTER = ("max_drawdown", "annual_volatility")
_FLOATS = (
    "total_return",
    "annual_return",
    "annual_volatility",
    "sharpe",
    "max_drawdown",
    "turnover",
    "win_rate",
    "periods_per_year",
    "sortino",
    "calmar",
    "exposure",
    "run_seconds",
)
_INTS = ("steps", "trades", "round_trips", "store_generation")


# ------------------------------------------------------------------------ grid


def parse_grid(texts, defaults=None):
    """['fast=5,10,20', 'slow=50,100'] -> {'fast': [5, 10, 20], 'slow': [50, 100]}; each
    value takes the type of the parameter's default in `defaults` (the strategy's
    PARAMS), else it is read as a Python literal (text otherwise)."""
    from vornix.runner._strategy import parse_param

    grid = {}
    for text in texts:
        name, sep, values = str(text).partition("=")
        name = name.strip()
        if not sep or not name:
            raise ValueError("a grid is given as NAME=V1,V2,..., got %r" % (text,))
        if name in grid:
            raise ValueError("the grid names %s twice" % name)
        parts = [v.strip() for v in values.split(",")]
        if not any(parts) or not all(parts):
            raise ValueError(
                "the grid of %s needs values separated by commas, got %r" % (name, values)
            )
        grid[name] = [parse_param("%s=%s" % (name, v), defaults or {})[1] for v in parts]
    return grid


def check_grid(grid):
    """The grid as {name: list of values}; ValueError for an empty list of values."""
    if grid is None:
        return {}
    if not isinstance(grid, dict):
        raise TypeError("grid must be a dict of parameter name -> values, got %r" % (grid,))
    out = {}
    for name, values in grid.items():
        if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
            values = [values]
        values = list(values)
        if not values:
            raise ValueError("the grid of %s has no values" % name)
        out[str(name)] = values
    return out


def combinations(grid):
    """Every combination of the grid's values as a dict, the last parameter varying
    fastest; one empty combination for an empty grid."""
    names = list(grid)
    return [dict(zip(names, values)) for values in itertools.product(*grid.values())]


def check_metric(metric):
    if metric not in METRICS:
        raise ValueError("metric must be one of %s, got %r" % (", ".join(METRICS), metric))
    return metric


def metric_key(value, metric):
    """What ranks a value of `metric` (larger is better); None when undefined."""
    if value is None or not isinstance(value, (int, float)) or not math.isfinite(value):
        return None
    return -value if metric in LOWER_IS_BETTER else value


def best_index(rows, metric):
    """The number of the row with the best `metric` among the runs without error,
    the first in grid order on a tie; None when no run has the metric."""
    best, key = None, None
    for i, row in enumerate(rows):
        k = metric_key(row.get(metric), metric) if row.get("error") is None else None
        if k is not None and (key is None or k > key):
            best, key = i, k
    return best


# -------------------------------------------------------------------- settings


def settings_env():
    """The VX_* settings of this process as it resolves them (environment, config
    file, defaults), paths made absolute: what every run of the sweep is given."""
    from vornix.api.history._history import store_dir
    from vornix.core.server import default_cache_dir
    from vornix.setting import config_file_path, get_setting
    from vornix.tframe.utils.logger import default_log_dir
    from vornix.tframe.utils.utilcls import default_output_root

    def folder(path):
        return os.path.abspath(os.path.expanduser(str(path)))

    env = dict.fromkeys(SETTING_KEYS)
    env.update(
        {
            "VX_STORE_DIR": store_dir(),
            "VX_CORE_CACHE_DIR": folder(default_cache_dir()),
            "VX_OUTPUT_DIR": folder(default_output_root()),
            "VX_LOG_DIR": folder(default_log_dir()),
            "VX_CONFIG_FILE": folder(config_file_path()),
        }
    )
    for key in ("VX_MAT_CACHE", "VX_STORE_CUT", "VX_SOCKET_TIMEOUT", "VX_SUB_SOCKET_TIMEOUT"):
        value = get_setting(key)
        env[key] = None if value is None else str(value)
    return env


def check_run_timeout(value):
    """A run time-out in seconds (a positive number) or None."""
    if value is None:
        return None
    try:
        seconds = float(value)
    except (TypeError, ValueError):
        raise ValueError("run_timeout must be a number of seconds, got %r" % (value,)) from None
    if not (seconds > 0 and math.isfinite(seconds)):
        raise ValueError("run_timeout must be a positive number of seconds, got %r" % (value,))
    return seconds


class Plan:
    """What a sweep or walk-forward runs: the strategy, its grid and the settings
    shared by all its runs, checked before any run starts."""

    def __init__(self, strategy, grid, run_settings, reserved=(), run_timeout=None):
        from vornix.runner._strategy import load_strategy, resolve_settings

        if not isinstance(strategy, (str, os.PathLike)):
            raise TypeError(
                "a sweep runs a strategy file in processes of its own: give its "
                "path, got %r" % (strategy,)
            )
        unknown = sorted(set(run_settings) - set(RUN_SETTINGS))
        if unknown:
            raise TypeError(
                "unknown settings %s; the settings of a sweep's runs are %s"
                % (", ".join(unknown), ", ".join(RUN_SETTINGS))
            )
        self.timeout = check_run_timeout(run_timeout)
        self.path = os.path.abspath(os.fspath(strategy))
        self.strategy = load_strategy(self.path)
        self.name = self.strategy.name
        self.grid = check_grid(grid)
        self.combos = combinations(self.grid)
        self.fixed = dict(run_settings.get("params") or {})
        both = sorted(set(self.fixed) & set(self.grid))
        if both:
            raise ValueError("parameter %s is both fixed and in the grid" % ", ".join(both))
        taken = sorted(
            set(self.grid) & (set(reserved) | {"begin", "end"} | set(STATS) | set(EXTRA))
        )
        if taken:
            raise ValueError(
                "grid parameter %s has the name of a column of the results; "
                "rename it in the strategy" % ", ".join(taken)
            )
        self.settings = {k: v for k, v in run_settings.items() if v is not None and k != "params"}
        overrides = {
            k: self.settings.get(k)
            for k in SERIES_KEYS
        }
        # every combination's settings are checked here, so that a typing error in a
        # parameter name or value fails before any run starts
        for combo in self.combos:
            self.resolved = resolve_settings(
                self.strategy, dict(overrides, params=self.params(combo))
            )
        self.env = settings_env()

    def params(self, combo):
        return dict(self.fixed, **combo)

    def task(self, combo, begin=None, end=None, curve=False):
        settings = dict(self.settings, params=self.params(combo))
        if begin is not None:
            settings["begin"], settings["end"] = int(begin), int(end)
        return {"strategy": self.path, "settings": settings, "env": self.env, "curve": curve,
                "timeout": self.timeout}

    def start_cash(self):
        """The equity a run starts with: the cash of the accounts its targets use."""
        from vornix.api.history import _history
        from vornix.runner._broker import start_cash

        types = [r["Type"] for r in _history.get_target_info(self.resolved.targets)]
        return start_cash(types, self.settings.get("cash"))


def execute(engine, tasks, quiet, desc):
    """Runs `tasks` on `engine`; returns their (row, curve) in task order."""
    from tqdm import tqdm

    out = [None] * len(tasks)
    failed = 0
    with tqdm(total=len(tasks), desc=desc, unit="run", disable=quiet, leave=False) as bar:
        for i, result in engine.results(tasks):
            out[i] = result
            failed += result[0]["error"] is not None
            bar.update(1)
            if failed:
                bar.set_postfix_str("%d failed" % failed)
    return out


def check_store_stamps(rows):
    """Warns when the runs did not all see the same store contents."""
    stamps = {r.get("store_stamp") for r in rows if r.get("error") is None}
    if len(stamps) > 1:
        warnings.warn(
            "the runs saw %d different contents of the bar store (it was written "
            "during the sweep, or the workers see different stores): %s"
            % (len(stamps), ", ".join(sorted(map(str, stamps)))),
            RuntimeWarning,
            stacklevel=3,
        )


def frame(rows, first_columns):
    """The rows as a DataFrame: `first_columns`, then the statistics and the rest,
    with the same dtypes whatever the rows hold."""
    import pandas as pd

    columns = list(first_columns) + list(STATS) + list(EXTRA)
    df = pd.DataFrame([{c: r.get(c) for c in columns} for r in rows], columns=columns)
    for c in _FLOATS:
        df[c] = pd.to_numeric(df[c], errors="coerce").astype("float64")
    for c in _INTS:
        df[c] = pd.to_numeric(df[c], errors="coerce").astype("Int64")
    for c in (
        "max_drawdown_peak",
        "max_drawdown_trough",
        "error",
        "error_snapshot",
        "store_stamp",
        "version",
        "note",
    ):
        df[c] = df[c].astype(object).where(df[c].notna(), None)
    return df


# ---------------------------------------------------------------------- output


def write_table(df, folder, stem):
    from vornix.tframe.utils.utilfunc import atomic_path

    with atomic_path(os.path.join(folder, stem + ".parquet"), ".parquet") as tmp:
        df.to_parquet(tmp, index=False)
    with atomic_path(os.path.join(folder, stem + ".csv"), ".csv") as tmp:
        df.to_csv(tmp, index=False)


def write_heatmap(df, y_name, x_name, metric, path, title):
    """A heat map of `metric` over the values of two grid parameters (x_name across,
    y_name down, in grid order); failed runs are marked, undefined values left blank.
    The better end of the colour scale is the same for every metric."""
    import numpy as np
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from vornix.tframe.utils.utilfunc import atomic_path

    xs = list(dict.fromkeys(df[x_name].tolist()))
    ys = list(dict.fromkeys(df[y_name].tolist()))
    values = np.full((len(ys), len(xs)), np.nan)
    labels = [[""] * len(xs) for _ in ys]
    for r in df.to_dict("records"):
        i, j = ys.index(r[y_name]), xs.index(r[x_name])
        v = r[metric]
        if r["error"] is not None:
            labels[i][j] = "error"
        elif v is not None and not (isinstance(v, float) and math.isnan(v)):
            values[i, j] = float(v)
            labels[i][j] = "%.3g" % float(v)
        else:
            labels[i][j] = "n/a"
    fig = Figure(figsize=(1.6 + 1.1 * len(xs), 1.4 + 0.7 * len(ys)))
    FigureCanvasAgg(fig)
    ax = fig.add_subplot(1, 1, 1)
    ax.set_facecolor("#e4e4e4")  # failed runs and undefined values
    cmap = "viridis_r" if metric in LOWER_IS_BETTER else "viridis"
    shown = np.ma.masked_invalid(values)
    image = ax.imshow(shown, cmap=cmap, aspect="auto", origin="upper")
    if shown.count():
        fig.colorbar(image, ax=ax, label=metric)
        middle = float(np.nanmean([shown.min(), shown.max()]))
    else:
        middle = 0.0
    for i in range(len(ys)):
        for j in range(len(xs)):
            dark = not np.isnan(values[i, j]) and (values[i, j] < middle) != (
                metric in LOWER_IS_BETTER
            )
            ax.text(
                j,
                i,
                labels[i][j],
                ha="center",
                va="center",
                fontsize="small",
                color="white" if dark else "black",
            )
    ax.set_xticks(range(len(xs)))
    ax.set_xticklabels([str(x) for x in xs])
    ax.set_yticks(range(len(ys)))
    ax.set_yticklabels([str(y) for y in ys])
    ax.set_xlabel(x_name)
    ax.set_ylabel(y_name)
    ax.set_title(title, fontsize="medium")
    fig.tight_layout()
    with atomic_path(path, ".png") as tmp:
        fig.savefig(tmp, format="png", dpi=110)
    return path


def write_sweep(df, folder, grid_names, metric, title):
    os.makedirs(folder, exist_ok=True)
    write_table(df, folder, "sweep")
    heatmap = os.path.join(folder, "heatmap.png")
    if len(grid_names) == 2:
        write_heatmap(df, grid_names[0], grid_names[1], metric, heatmap, title)
    elif os.path.exists(heatmap):
        os.remove(heatmap)  # an old map in the same folder would mislead
    return folder


def curve_frame(run, combo, curve):
    """The daily equity of run number `run` (its row in the sweep) as rows of
    run, the grid values, time and equity."""
    import pandas as pd

    times, equity = curve
    frame = pd.DataFrame({"run": run, "time": times, "equity": equity})
    for k, v in combo.items():
        frame[k] = v
    return frame


def write_curves(curves, folder):
    """curves.parquet: the daily equity of every run that ordered (none: no file)."""
    import pandas as pd

    path = os.path.join(folder, "curves.parquet")
    if not curves:
        if os.path.exists(path):
            os.remove(path)  # an old file in the same folder would mislead
        return
    from vornix.tframe.utils.utilfunc import atomic_path

    with atomic_path(path, ".parquet") as tmp:
        pd.concat(curves, ignore_index=True).to_parquet(tmp, index=False)


def describe(combo):
    return ", ".join("%s=%r" % kv for kv in combo.items()) or "the defaults"


def idle_lines(rows):
    """A line per kind of run that did nothing (the note column), counted."""
    notes = [r.get("note") for r in rows if r.get("error") is None and r.get("note")]
    return ["%d run%s with %s: see the note column" % (notes.count(n), "s" * (notes.count(n) > 1), n)
            for n in sorted(set(notes))]


def summary(name, df, grid_names, metric, seconds, where, folder):
    rows = df.to_dict("records")
    failed = sum(r["error"] is not None for r in rows)
    lines = [
        "vornix sweep %s: %d runs%s in %.1f s (%s)"
        % (
            name,
            len(rows),
            " (%d failed: see the error column)" % failed if failed else "",
            seconds,
            where,
        )
    ]
    lines += idle_lines(rows)
    best = best_index(rows, metric)
    if best is None:
        lines.append("no run has a %s" % metric)
    else:
        combo = {k: rows[best][k] for k in grid_names}
        lines.append("best %s: %.4g at %s" % (metric, rows[best][metric] + 0.0, describe(combo)))
    if folder:
        lines.append("results: %s" % folder)
    return "\n".join(lines)


# ------------------------------------------------------------------------- API


def sweep(
    strategy,
    grid=None,
    jobs=None,
    engine="local",
    scheduler=None,
    address=None,
    metric="sharpe",
    out=None,
    quiet=False,
    run_timeout=None,
    **run_settings,
):
    """Runs the strategy file `strategy` once per combination of `grid` ({name: values});
    returns a DataFrame with one row per combination in grid order (the last
    parameter varying fastest): the parameter values, begin, end, the summary
    statistics (None/NaN where undefined, as for a strategy that never ordered), the
    error text of a failed run (which does not stop the others), the store's
    generation and stamp as the run saw them, the vornix version and run_seconds.

    Each run has a process of its own and is given this process's store, matrix
    cache and output settings explicitly. `engine`: 'local' (`jobs` runs at once,
    default the number of cores), 'dask' (the scheduler at `scheduler`, else a
    LocalCluster of `jobs` workers) or 'ray' (the cluster at `address`, else a local
    one). `run_settings` are those of `vornix.runner.run` (targets, frequency,
    count, begin, end, adjust, params: fixed parameters, core, cash, fee_stock,
    fee_future, slippage). `out`: a folder to write sweep.parquet, sweep.csv and, for
    two grid parameters, heatmap.png of `metric`; `quiet`: no progress bar and no
    summary; `run_timeout`: seconds a run may take, after which its process is
    stopped and its row holds the error (default: no limit)."""
    t0 = time.perf_counter()
    check_metric(metric)
    plan = Plan(strategy, grid, run_settings, run_timeout=run_timeout)
    runner = make_engine(engine, jobs, scheduler, address)
    tasks = [plan.task(c, curve="daily") for c in plan.combos]
    with runner:
        results = execute(runner, tasks, quiet, "sweep %s" % plan.name)
    rows, curves = [], []
    for i, (combo, (row, curve)) in enumerate(zip(plan.combos, results)):
        rows.append(dict(combo, begin=plan.resolved.begin, end=plan.resolved.end, **row))
        if curve is not None:
            curves.append(curve_frame(i, combo, curve))
    check_store_stamps(rows)
    names = list(plan.grid)
    df = frame(rows, names + ["begin", "end"])
    folder = None
    if out:
        folder = write_sweep(
            df,
            os.path.abspath(out),
            names,
            metric,
            "%s: %s by %s" % (plan.name, metric, " and ".join(names)),
        )
        write_curves(curves, folder)
    if not quiet:
        print(summary(plan.name, df, names, metric, time.perf_counter() - t0, runner.where, folder))
    return df
