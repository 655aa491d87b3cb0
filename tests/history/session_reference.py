"""A plain reference of trading sessions for the history tests: which bars a futures
calendar has on each trading day (night sessions on the evening before, none before
a holiday break), written day by day with pandas and datetime as a reader of
docs/data-format.md would, and the day bars combined from them."""

import datetime as dt

import numpy as np
import pandas as pd

DATENUM_1970 = 719529


def night_before(days, i, overrides=None):
    """Whether a night session precedes trading day days[i] (datetime.date values):
    the previous trading day is the weekday before it, unless `overrides`
    ({date: 0/1}) says otherwise; the first day has none without an override."""
    day = days[i]
    if overrides and day in overrides:
        return bool(overrides[day])
    if i == 0:
        return False
    gap = (day - days[i - 1]).days
    return gap == 1 or (gap == 3 and days[i - 1].weekday() == 4)


def session_bars(days, sessions, overrides=None, step=1):
    """Frame of the bars of every trading day: `end` (bar end time), `day` (the trading
    day, a Timestamp) and `pos` (its position among `days`).  `sessions` are
    (open, close, day_offset) in minutes; night bars lie on the evening of the
    previous trading day (the weekday before the first day)."""
    rows = []
    for i, day in enumerate(days):
        if i:
            prev = days[i - 1]
        else:
            prev = day - dt.timedelta(days=3 if day.weekday() == 0 else 1)
        for open_, close, offset in sorted(sessions, key=lambda s: (s[2], s[0])):
            if offset == -1 and not night_before(days, i, overrides):
                continue
            base = dt.datetime.combine(prev if offset == -1 else day, dt.time())
            for minute in range(open_ + step, close + 1, step):
                rows.append((base + dt.timedelta(minutes=minute), pd.Timestamp(day), i))
    return pd.DataFrame(rows, columns=["end", "day", "pos"])


def random_bars(frame, seed, zero_share=0.1):
    """Prices and volumes for the bars of `frame` (every day keeps a traded bar)."""
    rng = np.random.default_rng(seed)
    n = len(frame)
    close = np.round(3800 + np.cumsum(rng.normal(0, 2, n)), 0)
    open_ = np.round(close + rng.normal(0, 2, n), 0)
    out = frame.copy()
    out["open"], out["close"] = open_, close
    out["high"] = np.maximum(open_, close) + rng.integers(0, 3, n)
    out["low"] = np.minimum(open_, close) - rng.integers(0, 3, n)
    volume = rng.integers(1, 80, n).astype(float)
    volume[rng.random(n) < zero_share] = 0.0
    first = out.groupby("pos").head(1).index
    volume[first] = np.maximum(volume[first], 1.0)
    out["volume"] = volume
    out["turnover"] = np.round(volume * close * 10, 2)
    out["open_interest"] = 50000.0 + np.arange(n)
    return out


def combine(bars, by):
    """One bar per group of the column `by` of bars in time order: of the bars that
    traded the first open, highest high, lowest low, last close and open interest;
    volume and turnover of all summed.  A group without a traded bar sits at the
    close and open interest of the group before it, volume 0."""
    out = {}
    last = None
    for key, group in bars.groupby(by, sort=True):
        traded = group[group["volume"] > 0]
        if len(traded):
            bar = {"open": traded["open"].iloc[0], "high": traded["high"].max(), "low": traded["low"].min(),
                   "close": traded["close"].iloc[-1], "open_interest": traded["open_interest"].iloc[-1]}
        else:
            bar = dict.fromkeys(("open", "high", "low", "close"), last["close"])
            bar["open_interest"] = last["open_interest"]
        bar["volume"], bar["turnover"] = group["volume"].sum(), group["turnover"].sum()
        out[key] = last = bar
    return pd.DataFrame.from_dict(out, orient="index")


def as_datetimes(time_line):
    """Time-line values as datetime64[s]."""
    seconds = np.rint((np.asarray(time_line) - DATENUM_1970) * 86400).astype(np.int64)
    return seconds.astype("datetime64[s]")


def to_time_line(stamps):
    """datetime64 values as time-line values (day number + seconds / 86400)."""
    seconds = pd.to_datetime(pd.Series(stamps)).to_numpy().astype("datetime64[s]").astype(np.int64)
    days, secs = np.divmod(seconds, 86400)
    return (days + DATENUM_1970).astype(np.float64) + secs / 86400.0
