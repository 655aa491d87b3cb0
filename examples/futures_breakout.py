"""Channel breakout on five-minute futures bars.

    vornix run examples/futures_breakout.py

Shows a run whose steps are five-minute bars (frequency "min", count 5) over the
two continuous futures of the sample market, and a strategy that reads its main
series as a window of completed bars plus the bar of the step, and the trading
day in progress from a day series.  Five-minute bars restart every trading day.

The bars are price-adjusted (`reg_bars(..., adjust=True)`): where the main
contract rolls, the raw prices of a continuous future jump to the new contract's
level, which would fake a breakout; the adjusted series scales every later
contract by the old close / new open ratio at the roll, so the channel runs on
without the jump. Volume and open interest stay as traded.

Recorded per target at every step: `close`, the five-minute close; `channel_high`
and `channel_low`, the highest high and lowest low of the `lookback` completed
bars before it; `signal`, +1 when the close breaks above the channel, -1 below,
0 inside; `day_range`, the trading day's high minus low so far.
"""

import numpy as np

RUN = {
    "targets": ["CFE.IF00", "SHF.RB00"],
    "frequency": "min",
    "count": 5,
    "begin": "2023-01-03",
    "end": "2023-02-28",
    "adjust": "none",
}
PARAMS = {"lookback": 12}

def init(context):
    context.bars = context.reg_bars("min", count=5, adjust=True)
    context.day = context.reg_bars("day", adjust=True)


def on_data(context):
    n = len(context.targets)
    lookback = context.params["lookback"]
    # (targets, lookback + 1) each: the completed bars, then the bar of the step
    high, low, close = context.bars.values(lookback + 1, fields=("high", "low", "close"))
    close = close[:, -1]
    high, low = high[:, :-1], low[:, :-1]
    with np.errstate(invalid="ignore"):
        # all-NaN channels (the first bars of the run) stay NaN
        top = np.full(n, np.nan)
        bottom = np.full(n, np.nan)
        known = ~np.isnan(high).all(axis=1)
        top[known] = np.nanmax(high[known], axis=1)
        bottom[known] = np.nanmin(low[known], axis=1)
        signal = np.where(close > top, 1.0, np.where(close < bottom, -1.0, 0.0))
    signal[np.isnan(top) | np.isnan(close)] = np.nan
    day_high, day_low = context.day.values(1, fields=("high", "low"))
    context.record("close", close)
    context.record("channel_high", top)
    context.record("channel_low", bottom)
    context.record("signal", signal)
    context.record("day_range", day_high[:, -1] - day_low[:, -1])
