"""The results folder of a run: results.parquet, results.csv and chart.png; once
the strategy ordered, summary.json, trades.parquet/.csv and orders.parquet/.csv.

Each file is written to a temporary name and renamed into place, so a folder never
holds a half-written file."""

import datetime
import os

import numpy as np

from vornix.tframe.utils.utilfunc import atomic_path

MAX_PANELS = 8


def _tick_format(times):
    """Dates, with the time of day when steps are finer than a day."""
    t = times.to_numpy()
    intraday = len(t) > 1 and (t[1:] - t[:-1]).min() < np.timedelta64(1, "D")
    return "%Y-%m-%d %H:%M" if intraday else "%Y-%m-%d"


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


def write_results(result, out=None):
    """Write the recorded values of `result` into `out` (default
    ./vornix-results/<name>-<time stamp>); returns the folder."""
    folder = os.path.abspath(out) if out else default_folder(result.name)
    os.makedirs(folder, exist_ok=True)
    records = result.records
    with atomic_path(os.path.join(folder, "results.parquet"), ".parquet") as tmp:
        records.to_parquet(tmp, index=False)
    with atomic_path(os.path.join(folder, "results.csv"), ".csv") as tmp:
        records.to_csv(tmp, index=False)
    if getattr(result, "stats", None):
        import json

        with atomic_path(os.path.join(folder, "summary.json"), ".json") as tmp:
            with open(tmp, "w", encoding="utf-8") as fh:
                json.dump(result.stats, fh, indent=2)
    for name in ("trades", "orders"):
        frame = getattr(result, name, None)
        if frame is not None and len(frame):
            with atomic_path(os.path.join(folder, name + ".parquet"), ".parquet") as tmp:
                frame.to_parquet(tmp, index=False)
            with atomic_path(os.path.join(folder, name + ".csv"), ".csv") as tmp:
                frame.to_csv(tmp, index=False)
    title = "%s: %s x%d, %d to %d" % (result.name, result.frequency, result.count,
                                      result.begin, result.end)
    chart = os.path.join(folder, "chart.png")
    if not write_chart(records, chart, title) and os.path.exists(chart):
        os.remove(chart)  # an old chart of the same folder would mislead
    return folder
