"""Plain-Python recomputation of factor, user-data and indicator windows, written
from the rules a strategy relies on (what is visible at a step) without numpy
tricks, so the tests compare the compiled code with something independent."""

import math

NAN = float("nan")


def is_nan(x):
    return x != x


def step_number(pos, steps):
    """The step addressed by `pos`: NaN the last, a negative one counted from the end."""
    if isinstance(pos, float) and math.isnan(pos):
        return steps - 1
    pos = int(pos)
    return pos + steps if pos < 0 else pos


def trading_day(step_time, days):
    """The trading day (among the ascending day numbers `days`) of a step: its date,
    but after 18:00 the next trading day after it and after midnight (before
    06:00) the first one on or after it."""
    day = math.floor(step_time)
    hour = (step_time - day) * 24
    if hour > 18 or hour < 6:
        later = [d for d in days if (d > day if hour > 18 else d >= day)]
        return later[0] if later else day
    return day


def factor_window(dates, rows, step_time, length):
    """(dates, values) of the last `length` factor days on or before the step's
    trading day (night steps belong to the next one; the factor days are the
    trading days), right-aligned, NaN in front where fewer exist. `rows` is a list
    of per-date value lists, one per requested row."""
    day = trading_day(step_time, dates)
    last = -1
    for k, d in enumerate(dates):
        if d <= day:
            last = k
    first = max(last + 1 - length, 0)
    picked = list(range(first, last + 1))
    pad = [NAN] * (length - len(picked))
    dt = pad + [float(dates[k]) for k in picked]
    values = [pad + [float(row[k]) for k in picked] for row in rows]
    return dt, values


def user_data_rows(times, points, step_times, series):
    """Rows of the user-data matrix: per value series and step, the value of the
    latest point whose time is strictly earlier than the step's time, 0 before
    any. `points` holds one list of `series` values per time. NaN times never show."""
    rows = [[0.0] * len(step_times) for _ in range(series)]
    for i, st in enumerate(step_times):
        best = None
        for p, t in enumerate(times):
            if is_nan(t) or not t < st:
                continue
            if best is None or t > times[best]:
                best = p
        if best is not None:
            for k in range(series):
                rows[k][i] = float(points[best][k])
    return rows


def user_window(rows, step_times, pos, length):
    """(step times, values) of the `length` steps ending at step `pos`, fewer at
    the start of the time line; `rows` are the selected matrix rows."""
    end = step_number(pos, len(step_times)) + 1
    begin = max(end - length, 0)
    return list(step_times[begin:end]), [list(r[begin:end]) for r in rows]
