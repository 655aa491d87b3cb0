"""The charts of a results folder: chart.png (returns, drawdowns, recorded values)
and monthly_returns.png (a heat map of the monthly returns).

The time axis runs over the steps: trading time only, the sessions joined (nights,
weekends and holidays take no room), labelled with dates; the chart says so under
the axis.  Long lines are drawn from at most `MAX_POINTS` points: the minimum and
maximum of each of `MAX_POINTS / 2` columns, so that no peak is lost."""

import numpy as np

from vornix.tframe.utils.utilfunc import atomic_path

MAX_PANELS = 8
MAX_POINTS = 4000
MAX_MARKS = 300  # buy and sell marks are drawn up to this many trades
ACCOUNT_COLUMNS = ("cash", "positions_value", "equity")


def new_figure(**kwargs):
    """A figure drawn by the Agg renderer alone: no pyplot, no window system (pyplot's
    import costs more than drawing a chart)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(**kwargs)
    FigureCanvasAgg(fig)
    return fig


def thin(x, y, points=MAX_POINTS):
    """(x, y) reduced to the minimum and maximum of y in each of points/2 columns of x
    (in their order), or as they are when short enough."""
    y = np.asarray(y, dtype=np.float64)
    n = y.size
    if n <= points:
        return np.asarray(x), y
    size = -(-n // (points // 2))
    columns = -(-n // size)
    pad = np.full(columns * size - n, np.nan)
    blocks = np.r_[y, pad].reshape(columns, size)
    known = np.isfinite(blocks)
    base = np.arange(columns) * size
    low = np.argmin(np.where(known, blocks, np.inf), axis=1) + base
    high = np.argmax(np.where(known, blocks, -np.inf), axis=1) + base
    keep = np.unique(np.r_[low, high])
    keep = keep[keep < n]
    return np.asarray(x)[keep], y[keep]


def _panels(columns):
    """Recorded columns grouped by name (name:code columns share a panel)."""
    groups = {}
    for col in columns:
        if col not in ACCOUNT_COLUMNS:
            groups.setdefault(col.split(":", 1)[0], []).append(col)
    return list(groups.items())


def _tick_format(times):
    t = times.to_numpy()
    intraday = len(t) > 1 and (t[1:] - t[:-1]).min() < np.timedelta64(1, "D")
    return "%Y-%m-%d %H:%M" if intraday else "%Y-%m-%d"


def _label(ax, text):
    ax.text(0.005, 0.97, text, transform=ax.transAxes, va="top", ha="left", fontsize="small",
            bbox={"facecolor": "white", "alpha": 0.7, "linewidth": 0})


def title_of(name, stats):
    """'name: total 5.95%, annual 28.02%, Sharpe 1.77, max drawdown 4.82%'."""
    if not stats:
        return name

    def pct(key):
        v = stats.get(key)
        return "n/a" if v is None else "%.2f%%" % (100 * v)

    sharpe = stats.get("sharpe")
    text = "%s: total %s, annual %s, Sharpe %s, max drawdown %s" % (
        name, pct("total_return"), pct("annual_return"),
        "n/a" if sharpe is None else "%.2f" % sharpe, pct("max_drawdown"))
    if stats.get("benchmark"):
        text += ", %s %s" % (stats["benchmark"], pct("benchmark_return"))
    return text


def write_chart(records, path, title, stats=None, trades=None, daily=None):
    """Returns (equity and benchmark, in percent) with buy and sell marks, the
    drawdown below them, then one panel per recorded name; False when there is
    nothing to draw."""
    panels = _panels([c for c in records.columns if c != "time"])
    equity = "equity" in records.columns
    if not panels and not equity:
        return False
    shown = panels[:MAX_PANELS]
    rows = len(shown) + 2 * equity
    heights = ([3, 1.4] if equity else []) + [2] * len(shown)
    fig = new_figure(figsize=(11, 1.4 + 1.9 * sum(heights) / 2))
    axes = fig.subplots(rows, 1, sharex=True, squeeze=False,
                        gridspec_kw={"height_ratios": heights})
    x = np.arange(len(records))
    times = records["time"]
    first = 0
    if equity:
        eq = records["equity"].to_numpy(dtype=np.float64)
        start = (stats or {}).get("start_cash") or eq[np.isfinite(eq)][0]
        ax = axes[0, 0]
        ret = 100.0 * (eq / start - 1.0)
        ax.plot(*thin(x, ret), linewidth=1.0, color="tab:blue", label="strategy")
        if daily is not None and "benchmark_return" in daily:
            ax.plot(daily["step"].to_numpy(), 100.0 * daily["benchmark_return"].to_numpy(),
                    linewidth=1.0, color="tab:gray", label=(stats or {}).get("benchmark", "benchmark"))
        if trades is not None and 0 < len(trades) <= MAX_MARKS:
            at = {t: i for i, t in enumerate(times)}
            for side, marker, color in (("buy", "^", "tab:green"), ("sell", "v", "tab:red")):
                sel = trades[trades["side"] == side]
                idx = np.array([at[t] for t in sel["time"] if t in at], dtype=np.int64)
                if idx.size:
                    ax.scatter(idx, ret[idx], marker=marker, s=18, color=color, zorder=3,
                               label=side)
        ax.axhline(0.0, color="black", linewidth=0.4)
        ax.grid(True, linewidth=0.3, alpha=0.6)
        ax.legend(loc="upper right", fontsize="small", ncol=4, frameon=False)
        _label(ax, "return, %")
        ax = axes[1, 0]
        peak = np.fmax.accumulate(eq)
        with np.errstate(invalid="ignore", divide="ignore"):
            depth = 100.0 * (eq / peak - 1.0)
        dx, dy = thin(x, depth)
        ax.fill_between(dx, dy, 0.0, color="tab:red", alpha=0.35, linewidth=0)
        ax.plot(dx, dy, color="tab:red", linewidth=0.6)
        if np.isfinite(depth).any() and np.nanmin(depth) < 0:
            i = int(np.nanargmin(depth))
            right = i > 0.6 * len(x)  # the label on the side with room, inside the panel
            ax.annotate("lowest %.2f%% (steps)" % depth[i], (x[i], depth[i]),
                        xytext=(-4 if right else 4, 4), textcoords="offset points",
                        ha="right" if right else "left", va="bottom", fontsize="small",
                        color="tab:red", annotation_clip=True)
            ax.set_ylim(depth[i] * 1.15, 0.5)
        ax.grid(True, linewidth=0.3, alpha=0.6)
        _label(ax, "drawdown, %")
        first = 2
    for ax, (name, cols) in zip(axes[first:, 0], shown):
        for col in cols:
            label = col.split(":", 1)[1] if ":" in col else None
            ax.plot(*thin(x, records[col].to_numpy(dtype=np.float64)), linewidth=0.9, label=label)
        _label(ax, name)
        ax.grid(True, linewidth=0.3, alpha=0.6)
        if len(cols) > 1 or ":" in cols[0]:
            ax.legend(loc="upper right", fontsize="small", ncol=min(len(cols), 5), frameon=False)
    more = "" if len(panels) <= MAX_PANELS else " (first %d of %d names)" % (MAX_PANELS, len(panels))
    axes[0, 0].set_title(title + more, fontsize="medium")
    ticks = np.unique(np.linspace(0, max(len(records) - 1, 0), 7).round().astype(int))
    bottom = axes[-1, 0]
    bottom.set_xticks(ticks)
    bottom.set_xticklabels([times.iloc[i].strftime(_tick_format(times)) for i in ticks])
    bottom.set_xlim(0, max(len(records) - 1, 1))
    bottom.set_xlabel("trading time: the sessions joined, without nights, weekends and holidays",
                      fontsize="small")
    fig.autofmt_xdate()
    fig.tight_layout()
    with atomic_path(path, ".png") as tmp:
        fig.savefig(tmp, format="png", dpi=110)
    return True


def monthly_table(monthly):
    """(years, 12 x years matrix of returns, NaN where none) of {"YYYY-MM": r}."""
    years = sorted({int(k[:4]) for k in monthly})
    table = np.full((len(years), 12), np.nan)
    for key, value in monthly.items():
        if value is not None:
            table[years.index(int(key[:4])), int(key[5:7]) - 1] = value
    return years, table


def write_monthly(monthly, path):
    """The heat map of the monthly returns; False when there are none."""
    if not monthly:
        return False
    years, table = monthly_table(monthly)
    fig = new_figure(figsize=(9, 0.9 + 0.45 * len(years)))
    ax = fig.subplots()
    limit = max(float(np.nanmax(np.abs(table))) if np.isfinite(table).any() else 0.01, 1e-4)
    ax.imshow(table, cmap="RdYlGn", vmin=-limit, vmax=limit, aspect="auto")
    for (i, j), v in np.ndenumerate(table):
        if np.isfinite(v):
            ax.text(j, i, "%.1f%%" % (100 * v), ha="center", va="center", fontsize="small")
    ax.set_xticks(range(12))
    ax.set_xticklabels(["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct",
                        "Nov", "Dec"])
    ax.set_yticks(range(len(years)))
    ax.set_yticklabels([str(y) for y in years])
    ax.set_title("monthly returns", fontsize="medium")
    fig.tight_layout()
    with atomic_path(path, ".png") as tmp:
        fig.savefig(tmp, format="png", dpi=100)
    return True
