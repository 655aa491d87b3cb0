"""The results folder of a run: results.parquet, results.csv, summary.json, chart.png
and the trades.

The folder is whole or absent: it is written under a temporary name beside its
place (".<name>.tmp-<pid>-..."), then renamed into place; an earlier folder of the
same name is moved aside first and removed after, so no file of an earlier run
survives beside a new run's.  A run stopped while it writes leaves the earlier
folder or none, and a temporary folder that the next write of the same name
removes.  summary.json says "status": "ok", or "failed" with the error and the step
of a strategy that failed midway (its results then hold the steps before it)."""

import contextlib
import datetime
import json
import os
import shutil
import tempfile

import numpy as np

from vornix.tframe.utils.utilfunc import atomic_path

MAX_PANELS = 8


def _tick_format(times):
    """Dates, with the time of day when steps are finer than a day."""
    t = times.to_numpy()
    intraday = len(t) > 1 and (t[1:] - t[:-1]).min() < np.timedelta64(1, "D")
    return "%Y-%m-%d %H:%M" if intraday else "%Y-%m-%d"


RESULTS_MARK = ".vornix-results"  # names a folder as a run's results: a later run may replace it


def default_folder(name):
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    base = os.path.join(os.getcwd(), "vornix-results", "%s-%s" % (name, stamp))
    folder, n = base, 1
    while os.path.exists(folder):
        n += 1
        folder = "%s-%d" % (base, n)
    return folder


ACCOUNT_COLUMNS = ("cash", "positions_value", "equity")


def _panels(columns):
    """Recorded columns grouped by name (name:code columns share a panel); the
    account columns of a run that traded are drawn as the equity panel."""
    groups = {}
    for col in columns:
        if col not in ACCOUNT_COLUMNS:
            groups.setdefault(col.split(":", 1)[0], []).append(col)
    return list(groups.items())


def _equity_panel(ax, x, equity):
    """The equity curve, its running peak and the drawdowns shaded between them;
    the deepest drawdown is labelled."""
    peak = np.fmax.accumulate(equity)
    ax.plot(x, equity, linewidth=1.0, color="tab:blue", label="equity")
    ax.plot(x, peak, linewidth=0.6, color="tab:gray", linestyle="--", label="peak")
    under = np.isfinite(equity) & (equity < peak)
    ax.fill_between(x, equity, peak, where=under, color="tab:red", alpha=0.3, linewidth=0,
                    label="drawdown")
    with np.errstate(invalid="ignore", divide="ignore"):
        depth = np.where(under, equity / peak - 1.0, 0.0)
    if under.any():
        i = int(np.nanargmin(depth))
        ax.annotate("max drawdown %.2f%%" % (100 * depth[i]), (x[i], equity[i]),
                    xytext=(0, -14), textcoords="offset points", ha="center",
                    fontsize="small", color="tab:red")
    ax.set_ylabel("equity")
    ax.grid(True, linewidth=0.3, alpha=0.6)
    ax.legend(loc="upper left", fontsize="small", ncol=3, frameon=False)


def write_chart(records, path, title):
    """One panel per recorded name (per-target values as one line per target),
    against the step times, under the equity curve with its drawdowns shaded when
    the run traded; returns False when there is nothing to draw."""
    import matplotlib

    matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as plt

    panels = _panels([c for c in records.columns if c != "time"])
    equity = "equity" in records.columns
    if not panels and not equity:
        return False
    shown = panels[:MAX_PANELS]
    rows = len(shown) + equity
    fig, axes = plt.subplots(rows, 1, figsize=(11, 1.2 + 2.4 * rows), sharex=True,
                             squeeze=False)
    # against the step number, labelled with the step times: nights, weekends and
    # holidays take no room
    x = np.arange(len(records))
    times = records["time"]
    if equity:
        _equity_panel(axes[0, 0], x, records["equity"].to_numpy(dtype=np.float64))
    for ax, (name, cols) in zip(axes[int(equity):, 0], shown):
        for col in cols:
            label = col.split(":", 1)[1] if ":" in col else None
            ax.plot(x, records[col].to_numpy(), linewidth=0.9, label=label)
        ax.set_ylabel(name)
        ax.grid(True, linewidth=0.3, alpha=0.6)
        if len(cols) > 1 or ":" in cols[0]:
            ax.legend(loc="upper left", fontsize="small", ncol=min(len(cols), 5), frameon=False)
    more = "" if len(panels) <= MAX_PANELS else " (first %d of %d names)" % (MAX_PANELS, len(panels))
    axes[0, 0].set_title(title + more)
    ticks = np.unique(np.linspace(0, max(len(records) - 1, 0), 7).round().astype(int))
    axes[-1, 0].set_xticks(ticks)
    axes[-1, 0].set_xticklabels([times.iloc[i].strftime(_tick_format(times)) for i in ticks])
    axes[-1, 0].set_xlim(0, max(len(records) - 1, 1))
    fig.autofmt_xdate()
    fig.tight_layout()
    with atomic_path(path, ".png") as tmp:
        fig.savefig(tmp, format="png", dpi=110)
    plt.close(fig)
    return True


def _earlier_results(folder):
    """Whether the existing folder `folder` may be replaced: empty, or the results
    of an earlier run (its mark, or only files a run writes)."""
    names = os.listdir(folder)
    known = {"results.parquet", "results.csv", "summary.json", "chart.png", "trades.parquet",
             "trades.csv", "orders.parquet", "orders.csv"}
    return not names or RESULTS_MARK in names or set(names) <= known


def results_folder(out, name):
    """The results folder of a run of strategy `name` (`out`, else the default),
    checked before the run starts: ValueError when it is a file, a folder holding
    anything but an earlier run's results, or a place that cannot be written."""
    from vornix.tframe.utils.textshow import shown_text

    folder = os.path.abspath(os.fspath(out)) if out else default_folder(name)
    shown = shown_text(folder)
    if os.path.lexists(folder) and not os.path.isdir(folder):
        raise ValueError("the results folder %s is an existing file: choose another --out" % shown)
    if os.path.isdir(folder) and not _earlier_results(folder):
        raise ValueError("the results folder %s holds files that are not a run's results; a run replaces "
                         "its folder as a whole: choose a new or empty --out" % shown)
    parent = os.path.dirname(folder)
    try:
        os.makedirs(parent, exist_ok=True)
    except OSError as exc:
        raise ValueError("the results folder %s cannot be made: %s" % (shown, exc.strerror or exc)) from None
    if not os.access(parent, os.W_OK | os.X_OK):
        raise ValueError("the results folder %s cannot be written: no write permission in %s"
                         % (shown, shown_text(parent)))
    return folder


def _remove_stale(parent, base):
    """Temporary and set-aside folders of `base` left by writers that are gone."""
    for entry in os.listdir(parent):
        for kind in (".tmp-", ".old-"):
            head = ".%s%s" % (base, kind)
            if entry.startswith(head):
                pid = entry[len(head):].split("-", 1)[0]
                if pid.isdigit() and not _alive(int(pid)):
                    shutil.rmtree(os.path.join(parent, entry), ignore_errors=True)


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _status(result, failure):
    summary = {"status": "ok" if failure is None else "failed"}
    if failure is not None:
        summary.update(failure)
    summary.update(getattr(result, "stats", None) or {})
    return summary


def write_results(result, out=None, failure=None):
    """Write the recorded values of `result` into the folder `out` (default
    ./vornix-results/<name>-<time stamp>), whole (see the module's text); returns
    the folder.  `failure`: {"error": text, "step": n, ...} of a run that failed."""
    folder = results_folder(out, result.name)
    parent, base = os.path.split(folder)
    _remove_stale(parent, base)
    stage = tempfile.mkdtemp(prefix=".%s.tmp-%d-" % (base, os.getpid()), dir=parent)
    try:
        os.chmod(stage, 0o777 & ~_umask())
        _write_files(result, stage, failure)
        _switch_in(stage, folder, parent, base)
    except BaseException:
        shutil.rmtree(stage, ignore_errors=True)
        raise
    return folder


def _write_files(result, folder, failure):
    """Every file of the results folder (written into a new, empty folder)."""
    records = result.records
    records.to_parquet(os.path.join(folder, "results.parquet"), index=False)
    records.to_csv(os.path.join(folder, "results.csv"), index=False)
    with open(os.path.join(folder, "summary.json"), "w", encoding="utf-8") as fh:
        json.dump(_status(result, failure), fh, indent=2)
    trades = getattr(result, "trades", None)
    if trades is not None and len(trades):
        trades.to_parquet(os.path.join(folder, "trades.parquet"), index=False)
        trades.to_csv(os.path.join(folder, "trades.csv"), index=False)
    title = "%s: %s x%d, %d to %d%s" % (result.name, result.frequency, result.count, result.begin,
                                        result.end, "" if failure is None else " (failed)")
    write_chart(records, os.path.join(folder, "chart.png"), title)
    with open(os.path.join(folder, RESULTS_MARK), "w", encoding="utf-8") as fh:
        fh.write("results of a vornix run; a later run with this folder as --out replaces it\n")


def _switch_in(stage, folder, parent, base):
    """Rename the written folder into place, an earlier one moved aside first."""
    for name in os.listdir(stage):
        with open(os.path.join(stage, name), "rb") as fh:
            os.fsync(fh.fileno())
    aside = None
    if os.path.isdir(folder):
        aside = tempfile.mkdtemp(prefix=".%s.old-%d-" % (base, os.getpid()), dir=parent)
        os.rename(folder, os.path.join(aside, base))
    try:
        os.rename(stage, folder)
    except BaseException:
        if aside is not None:  # the earlier folder back in its place
            with contextlib.suppress(OSError):
                os.rename(os.path.join(aside, base), folder)
                os.rmdir(aside)
        raise
    if aside is not None:
        shutil.rmtree(aside, ignore_errors=True)
    fd = os.open(parent, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask
