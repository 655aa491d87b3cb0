"""report.html: one self-contained page of a results folder (no network access, the
figures embedded as data URIs).

- A run's folder: the statistics (every figure of summary.json, each cell carrying
  its exact value in `data-value`), the charts, the monthly returns, the P&L per
  target, the round trips and the run's settings.
- A sweep's folder: its table, the heat map and the daily equity of the best runs
  (curves.parquet); a walk-forward folder: its windows and out-of-sample curve."""

import base64
import html
import io
import json
import math
import os

from vornix.tframe.utils.utilfunc import atomic_path

MAX_ROWS = 2000  # rows of a table shown; the rest is counted
BEST_CURVES = 5

_STYLE = """
body{font-family:sans-serif;margin:24px;color:#222}
h1{font-size:20px}h2{font-size:16px;margin-top:28px}
table{border-collapse:collapse;font-size:13px}
td,th{border:1px solid #ccc;padding:3px 8px;text-align:right}
th{background:#f3f3f3}td.k{text-align:left}
img{max-width:100%}
"""


def _text(value, key=""):
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "n/a"
    if isinstance(value, float):
        if any(w in key for w in ("return", "drawdown", "volatility", "exposure", "win_rate",
                                  "alpha", "tracking_error")) and "days" not in key:
            return "%.2f%%" % (100 * value)
        return "%.4g" % value if abs(value) < 1e4 else "%.2f" % value
    return str(value)


def _cell(key, value):
    exact = "" if value is None else json.dumps(value)
    return '<td data-key="%s" data-value="%s">%s</td>' % (
        html.escape(key), html.escape(exact), html.escape(_text(value, key)))


def _stats_table(stats, skip=()):
    rows = []
    for key, value in stats.items():
        if key in skip or isinstance(value, (dict, list)):
            continue
        rows.append('<tr><td class="k">%s</td>%s</tr>' % (html.escape(key), _cell(key, value)))
    return "<table>%s</table>" % "".join(rows)


def _frame_table(frame, name):
    if frame is None or not len(frame):
        return "<p>none</p>"
    shown = frame.head(MAX_ROWS)
    head = "".join("<th>%s</th>" % html.escape(str(c)) for c in shown.columns)
    body = []
    for row in shown.itertuples(index=False):
        body.append("<tr>%s</tr>" % "".join(
            "<td>%s</td>" % html.escape(_text(v if not hasattr(v, "item") else v.item(), str(c)))
            for c, v in zip(shown.columns, row)))
    more = "" if len(frame) <= MAX_ROWS else "<p>%d more rows in %s</p>" % (
        len(frame) - MAX_ROWS, html.escape(name))
    return '<table class="%s"><tr>%s</tr>%s</table>%s' % (html.escape(name), head,
                                                          "".join(body), more)


def _image(path_or_bytes):
    data = path_or_bytes
    if isinstance(path_or_bytes, str):
        if not os.path.exists(path_or_bytes):
            return ""
        with open(path_or_bytes, "rb") as fh:
            data = fh.read()
    return '<img src="data:image/png;base64,%s">' % base64.b64encode(data).decode("ascii")


def _monthly_html(monthly):
    from vornix.runner._chart import monthly_table

    if not monthly:
        return "<p>none</p>"
    years, table = monthly_table(monthly)
    head = "<tr><th>year</th>%s</tr>" % "".join("<th>%d</th>" % m for m in range(1, 13))
    rows = []
    for y, row in zip(years, table):
        cells = []
        for m, v in enumerate(row, 1):
            key = "%04d-%02d" % (y, m)
            cells.append(_cell(key, None if v != v else float(v)).replace(
                "<td", '<td style="background:%s"' % _shade(v), 1))
        rows.append("<tr><th>%d</th>%s</tr>" % (y, "".join(cells)))
    return '<table class="monthly">%s%s</table>' % (head, "".join(rows))


def _shade(v):
    if v != v:
        return "#fff"
    a = min(abs(v) / 0.1, 1.0)
    return "rgba(%s,%.2f)" % ("0,160,60" if v > 0 else "210,40,40", 0.15 + 0.6 * a)


def _page(title, parts):
    return ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%s</title>"
            "<style>%s</style></head><body><h1>%s</h1>%s</body></html>"
            % (html.escape(title), _STYLE, html.escape(title), "".join(parts)))


def _run_page(folder):
    import pandas as pd

    with open(os.path.join(folder, "summary.json"), encoding="utf-8") as fh:
        stats = json.load(fh)
    parts = ['<h2>statistics</h2><div class="stats">%s</div>' % _stats_table(stats)]
    for handle, account in (stats.get("accounts") or {}).items():
        parts.append('<h2>account %s</h2><div class="account" data-account="%s">%s</div>' % (
            html.escape(handle), html.escape(handle), _stats_table(account)))
    counts = stats.get("orders")
    if counts:
        parts.append("<h2>orders</h2><pre>%s</pre>" % html.escape(json.dumps(counts, indent=1)))
    parts.append("<h2>chart</h2>" + _image(os.path.join(folder, "chart.png")))
    parts.append("<h2>monthly returns</h2>" + _monthly_html(stats.get("monthly_returns")))
    parts.append(_image(os.path.join(folder, "monthly_returns.png")))
    targets = stats.get("targets") or {}
    if targets:
        frame = pd.DataFrame([dict(target=k, **v) for k, v in targets.items()])
        parts.append("<h2>P&amp;L per target</h2>" + _frame_table(frame, "targets"))
    trips = os.path.join(folder, "round_trips.parquet")
    parts.append("<h2>round trips</h2>" + _frame_table(
        pd.read_parquet(trips) if os.path.exists(trips) else None, "round_trips"))
    settings = stats.get("settings")
    if settings:
        parts.append("<h2>settings</h2><pre>%s</pre>" % html.escape(json.dumps(settings, indent=1)))
    name = (settings or {}).get("strategy") or os.path.basename(folder)
    return _page("vornix run %s" % name, parts)


def _curves_png(curves, runs, metric):
    from vornix.runner._chart import new_figure

    fig = new_figure(figsize=(10, 4))
    ax = fig.subplots()
    for run in runs:
        part = curves[curves["run"] == run]
        ax.plot(part["time"], part["equity"], linewidth=1.0, label="run %d" % run)
    ax.set_title("daily equity of the best runs by %s" % metric, fontsize="medium")
    ax.grid(True, linewidth=0.3, alpha=0.6)
    ax.legend(fontsize="small", frameon=False)
    fig.autofmt_xdate()
    fig.tight_layout()
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=100)
    return buf.getvalue()


def _sweep_page(folder):
    import pandas as pd

    parts = []
    kind = "sweep"
    table = os.path.join(folder, "sweep.parquet")
    if os.path.exists(table):
        rows = pd.read_parquet(table)
        metric = "sharpe" if "sharpe" in rows else rows.columns[0]
        parts.append("<h2>runs</h2>" + _frame_table(rows, "sweep"))
        parts.append(_image(os.path.join(folder, "heatmap.png")))
        curves = os.path.join(folder, "curves.parquet")
        if os.path.exists(curves):
            curves = pd.read_parquet(curves)
            ranked = rows[rows[metric].notna()].sort_values(metric, ascending=False)
            best = [int(i) for i in ranked.index[:BEST_CURVES] if int(i) in set(curves["run"])]
            if best:
                parts.append("<h2>best runs</h2>" + _image(_curves_png(curves, best, metric)))
    walk = os.path.join(folder, "walk_forward.parquet")
    if os.path.exists(walk):
        kind = "walk-forward"
        parts.append("<h2>windows</h2>" + _frame_table(pd.read_parquet(walk), "walk_forward"))
        oos = os.path.join(folder, "oos_equity.parquet")
        if os.path.exists(oos):
            eq = pd.read_parquet(oos)
            curves = pd.DataFrame({"run": 0, "time": eq["time"], "equity": eq["equity"]})
            parts.append("<h2>out of sample</h2>" + _image(_curves_png(curves, [0], "window")))
    return _page("vornix %s %s" % (kind, os.path.basename(folder)), parts)


def write_report(folder):
    """Write FOLDER/report.html of a run's or a sweep's results folder; returns its path."""
    folder = os.path.abspath(os.fspath(folder))
    if os.path.exists(os.path.join(folder, "summary.json")):
        page = _run_page(folder)
    elif any(os.path.exists(os.path.join(folder, n))
             for n in ("sweep.parquet", "walk_forward.parquet")):
        page = _sweep_page(folder)
    else:
        raise ValueError("%s is not a results folder of a run that ordered (no summary.json) nor "
                         "of a sweep (no sweep.parquet or walk_forward.parquet)" % folder)
    path = os.path.join(folder, "report.html")
    with atomic_path(path, ".html") as tmp:
        with open(tmp, "w", encoding="utf-8") as fh:
            fh.write(page)
    return path
