"""Runs in time chunks: a long run executes as consecutive parts, each prepared and
registered with the run's look-back before it, so that the memory a run holds is
that of one part, not of the whole range.

Two settings decide the parts:

- `memory`: a budget for the data one part holds (its bar series, refresh rows and
  the order simulator's bars): "1GB", "500MB", a number of bytes, or 0 for no limit.
  The runner estimates the bytes per step from the targets and the main series, and
  once the strategy has registered, from what the first part holds; it splits the
  run where one part would not fit.  Default: DEFAULT_MEMORY.
- `chunk`: an explicit length, overriding the budget: trading days ("20d"), weeks
  ("1w"), months ("1M") or years ("1y"); "0" runs in one piece.

A part starts at the first step of a trading day (for steps of several days, after
a step), so that every part's steps are the run's.  Its first day loaded is the
look-back before it, moved back where needed so that bars of several periods are
grouped as in the run; backward-adjusted prices are relative to the run's first day
loaded in every part.  The results are those of the run in one piece; a window that
would reach before a part's history raises ChunkSeamError naming the settings."""

import re

import numpy as np

DEFAULT_MEMORY = "1GB"
_UNITS = {"d": "days", "w": "weeks", "M": "months", "mo": "months", "y": "years"}
_LENGTH = re.compile(r"^\s*(\d+)\s*(d|w|M|mo|y)\s*$")
_SIZE = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*(b|kb|mb|gb|tb|k|m|g|t)?\s*$", re.IGNORECASE)
_SCALE = {"b": 1, "k": 2 ** 10, "m": 2 ** 20, "g": 2 ** 30, "t": 2 ** 40}


def parse_memory(value):
    """The budget in bytes (0: no limit); None means the default.  ValueError naming
    the value."""
    if value is None:
        value = DEFAULT_MEMORY
    if isinstance(value, bool):
        raise ValueError("memory must be a size such as 1GB or 500MB, got %r" % (value,))
    if isinstance(value, (int, float, np.integer, np.floating)):
        if not value >= 0 or value != value:
            raise ValueError("memory must not be negative, got %r" % (value,))
        return int(value)
    m = _SIZE.match(str(value))
    if not m:
        raise ValueError("memory must be a size such as 1GB, 500MB or a number of bytes (0: no "
                         "limit), got %r" % (value,))
    unit = (m.group(2) or "b").lower()[0]
    return int(float(m.group(1)) * _SCALE[unit])


def parse_chunk(value):
    """("days"|"weeks"|"months"|"years", n), or None for no explicit length (the
    memory budget decides) and ("none", 0) for one piece.  ValueError naming the
    value."""
    if value is None:
        return None
    if isinstance(value, bool):
        raise ValueError("chunk must be a length such as 1M, 2w or 20d, got %r" % (value,))
    text = str(value).strip()
    if text in ("0", "none", "off"):
        return ("none", 0)
    m = _LENGTH.match(text)
    if not m or int(m.group(1)) < 1:
        raise ValueError("chunk must be a length such as 20d (trading days), 2w, 1M or 1y, or 0 "
                         "for one piece; got %r" % (value,))
    return (_UNITS[m.group(2)], int(m.group(1)))


def text(value, parse):
    """A setting as the results show it (None: not given)."""
    if value is None:
        return None
    return str(value).strip() if parse(value) is not None else None


def day_periods(days, unit):
    """The period number of each yyyymmdd day: trading days, ISO weeks, months or
    years (numbers that grow with time)."""
    days = np.asarray(days, dtype=np.int64)
    if unit == "days":
        return np.arange(days.size)
    if unit == "months":
        return days // 10000 * 12 + days // 100 % 100
    if unit == "years":
        return days // 10000
    import pandas as pd

    dates = pd.to_datetime(days.astype(str), format="%Y%m%d").to_numpy()
    return (dates.astype("datetime64[D]").astype(np.int64) + 3) // 7  # Mondays start weeks


def plan(step_days, starts, length=None, steps_per_part=None):
    """Step ranges [(first, end)] of the parts: `step_days` is the yyyymmdd trading
    day of every step, `starts` the steps a part may start at (ascending, 0 first).
    By `length` (unit, n): n periods of the unit per part; by `steps_per_part`: parts
    of about that many steps (at least one possible start to the next)."""
    n = int(step_days.size)
    starts = np.asarray(starts, dtype=np.int64)
    if n == 0 or starts.size <= 1 or (length is None and not steps_per_part):
        return [(0, n)]
    if length is not None:
        unit, k = length
        period = day_periods(step_days[starts], unit)
        if unit == "days":  # trading days: by day, not by start
            uniq = np.unique(step_days)
            period = np.searchsorted(uniq, step_days[starts])
        group = (period - period[0]) // k
        cut = starts[np.r_[False, group[1:] != group[:-1]]]
    else:
        cut, at = [], 0
        while True:
            i = int(np.searchsorted(starts, at + max(int(steps_per_part), 1), side="right")) - 1
            if i < 0 or starts[i] <= at:
                i = int(np.searchsorted(starts, at, side="right"))
            if i >= starts.size:
                break
            at = int(starts[i])
            cut.append(at)
    edges = [0] + [int(c) for c in cut] + [n]
    return [(a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]


def aligned_begin(first, run_first, trading_days, groups):
    """The first day a part loads: at most `first`, and for each (unit, n) of
    `groups` (the bars of several periods registered) a day that starts a period
    whose number counts a multiple of n from the period of `run_first`, the run's
    first day loaded, so that the part groups those bars as the run does."""
    days = np.asarray(trading_days, dtype=np.int64)
    lo = int(np.searchsorted(days, run_first))
    i = int(np.searchsorted(days, first, side="right")) - 1
    if i <= lo:
        return int(run_first)
    if not groups:
        return int(days[i])
    span = days[lo:i + 1]
    ok = np.ones(span.size, dtype=bool)
    for unit, n in groups:
        if n <= 1 and unit == "days":
            continue
        period = day_periods(span, unit)
        new = np.r_[True, period[1:] != period[:-1]]  # the first trading day of its period
        number = np.cumsum(new) - 1  # periods since the run's first day loaded
        ok &= new & (number % n == 0)
    good = np.flatnonzero(ok)
    return int(span[good[-1]]) if good.size else int(run_first)
