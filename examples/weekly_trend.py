"""Weekly trend, read on one-minute steps.

    vornix run examples/weekly_trend.py

Shows how a strategy reads a coarser bar that is still forming: the run steps
through one-minute bars and `init` registers weekly bars; at every minute the last
row of each target's weekly window is this week's bar as it stands at that minute
(open of the week, high and low so far, the latest close), the rows before it are
completed weeks. Nothing later than the current minute is visible.

Recorded per target at every step: `week_close`, the close of the week so far;
`week_change`, its change against the last completed week's close; and, over all
targets, `up_share`, the share of targets whose week is up so far.

It trades on it: at the first minute of each trading day it holds, in equal parts
of `invested` of the equity, the targets whose week is up so far, and nothing of
the others. The orders fill at the next minute's open; the results gain the cash,
positions value and equity of every step, and the chart the equity curve with its
drawdowns.
"""

import numpy as np

RUN = {
    "targets": ["SH.600000", "SZ.000011", "SH.600020"],
    "frequency": "min",
    "count": 1,
    "begin": "2023-01-03",
    "end": "2023-03-31",
    "adjust": "none",
}
PARAMS = {"weeks": 2, "invested": 0.9}

def init(context):
    context.weekly = context.reg_bars("week", count=1)
    context.day = None


def on_data(context):
    weeks = context.params["weeks"]
    close = context.weekly.close(weeks)  # (targets, weeks): completed weeks, then this one
    close_now = close[:, -1]  # the week in progress, as it stands now
    close_before = close[:, -2] if weeks > 1 else np.full(len(context.targets), np.nan)
    change = close_now / close_before - 1.0
    context.record("week_close", close_now)
    context.record("week_change", change)
    known = ~np.isnan(change)
    context.record("up_share", float(np.mean(change[known] > 0)) if known.any() else None)

    today = context.now.date()
    if today != context.day:  # the day's first minute: rebalance
        context.day = today
        up = known & (change > 0)
        weight = context.params["invested"] / max(int(up.sum()), 1)
        # sales first: they fill first at the next minute, and their cash pays the buys
        for code, hold in sorted(zip(context.targets, up), key=lambda x: bool(x[1])):
            context.order_target_percent(code, weight if hold else 0.0)
