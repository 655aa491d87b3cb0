"""The look-back of a run: history loaded before `begin`, so that the windows of the
first steps reach back into it.

The setting `lookback` takes

- a duration: `60d` (trading days), `12w` (weeks), `3M` (months) or `1y` (years);
- a bar count per frequency: a dict such as {"day": 20, "min": 240} or the text
  "day=20,min=240" (bars of one period of 'min', 'day', 'week', 'month', 'year'):
  the history holds at least that many whole bars of each before the first step;
- a whole number: bars of the run's main series (count periods each);
- 0 (or "0d"): no history before `begin`.

The default, DEFAULT, fills a 20-bar day window at the first step with a margin
(a moving average and its value the day before).  Every registration loads its
bars from the first day of the look-back on; steps, orders and records start at
`begin`.  Where the store begins later than the look-back asks for, the history
is what the store holds."""

import datetime
import re

import numpy as np

DEFAULT = "30d"
FREQUENCIES = ("min", "day", "week", "month", "year")
_UNITS = {"d": "days", "w": "weeks", "M": "months", "mo": "months", "y": "years"}
_DURATION = re.compile(r"^\s*(\d+)\s*(d|w|M|mo|y)\s*$")


def _count(value, what):
    if isinstance(value, bool) or not isinstance(value, (int, np.integer, str)):
        raise ValueError("%s must be a whole number of bars, got %r" % (what, value))
    try:
        n = int(value)
    except ValueError:
        raise ValueError("%s must be a whole number of bars, got %r" % (what, value)) from None
    if n < 0:
        raise ValueError("%s must not be negative, got %r" % (what, value))
    return n


def parse(value):
    """The look-back as ("days"|"weeks"|"months"|"years", n), ("main", n) or
    ("bars", {frequency: n}); None means the default.  ValueError naming the value."""
    if value is None:
        value = DEFAULT
    if isinstance(value, dict) or isinstance(value, str) and "=" in value:
        if isinstance(value, str):
            pairs = [p.partition("=") for p in value.split(",") if p.strip()]
            if any(not sep for _, sep, _ in pairs):
                raise ValueError("lookback %r: give FREQUENCY=BARS pairs such as "
                                 "day=20,min=240" % (value,))
            value = {k.strip(): v.strip() for k, _, v in pairs}
        bars = {}
        for freq, n in value.items():
            if freq not in FREQUENCIES:
                raise ValueError("lookback: %r is not a frequency; bar counts are given for %s"
                                 % (freq, ", ".join(FREQUENCIES)))
            bars[freq] = _count(n, "lookback %s" % freq)
        return ("bars", bars)
    if isinstance(value, str) and not value.strip().isdigit():
        m = _DURATION.match(value)
        if not m:
            raise ValueError(
                "lookback must be a duration such as 60d (trading days), 12w, 3M or 1y, bar "
                "counts such as day=20,min=240, or a number of main bars; got %r" % (value,))
        return (_UNITS[m.group(2)], int(m.group(1)))
    return ("main", _count(value, "lookback"))


def text(value):
    """The look-back as it is shown in the settings of the results."""
    kind, n = parse(value)
    if kind == "bars":
        return ",".join("%s=%d" % kv for kv in n.items())
    if kind == "main":
        return "%d" % n
    return "%d%s" % (n, {"days": "d", "weeks": "w", "months": "M", "years": "y"}[kind])


def _shift(day, kind, n):
    d = datetime.date(day // 10000, day // 100 % 100, day % 100)
    if kind == "weeks":
        d -= datetime.timedelta(weeks=n)
    else:
        months = d.year * 12 + d.month - 1 - (n if kind == "months" else 12 * n)
        y, mth = divmod(months, 12)
        d = d.replace(year=y, month=mth + 1, day=min(d.day, 28))
    return d.year * 10000 + d.month * 100 + d.day


def _bars_back(history, codes, frequency, n, days, first):
    """The first day to load so that `n` whole bars of `frequency` come before the
    bar in progress at the trading day days[first] (for minutes: before that day)."""
    from vornix.tframe.utils.datetimefunc import datenum_array_to_int_date

    if n <= 0 or first == 0:
        return days[first]
    # minutes: the bars of the days before; coarser bars: up to the first day,
    # whose bar (cut there) is the one in progress, and n whole ones before it
    last, want = (first - 1, n) if frequency == "min" else (first, n + 1)
    per_day = {"min": 240, "day": 1, "week": 0.2, "month": 1 / 21, "year": 1 / 242}[frequency]
    span = int(want / per_day) + 2
    while True:
        start = max(first - span, 0)
        times, _ = history.get_trading_time(codes, frequency, int(days[start]), int(days[last]))
        times = np.asarray(times, dtype=np.float64)
        if times.size > want or start == 0:
            break
        span *= 2
    if times.size <= want:
        return days[start]  # the store holds fewer: all of it
    bar_days = datenum_array_to_int_date(
        np.asarray(history.get_trading_day_numbers(times), dtype=np.float64))
    if frequency == "min":  # whole days of minutes: from the day of the n-th bar back
        return int(bar_days[-n])
    # from the day after the bar before them, so that the n-th bar back is whole
    return int(days[np.searchsorted(days, bar_days[-want - 1], side="right")])


def data_begin(value, begin, codes, frequency, count):
    """The first day (yyyymmdd) every registration of a run from `begin` loads
    under the look-back `value`: a trading day, or `begin` itself.  Under a main
    series of several days, whose bars are counted from the first day loaded, the
    look-back is a whole number of them, so that the steps stay where they are
    without it."""
    first = min(int(_data_begin(value, begin, codes, frequency, count)), int(begin))
    if frequency != "day" or count == 1 or first >= begin:
        return first
    from vornix.api.history import _history as history

    days = np.asarray(history.get_trading_days(0, 99999999), dtype=np.int64)
    at, start = int(np.searchsorted(days, begin)), int(np.searchsorted(days, first))
    back = -(-(at - start) // count) * count
    return int(days[at - back]) if back <= at else int(days[at % count])


def _data_begin(value, begin, codes, frequency, count):
    from vornix.api.history import _history as history

    kind, n = parse(value)
    days = np.asarray(history.get_trading_days(0, 99999999), dtype=np.int64)
    first = int(np.searchsorted(days, begin, side="left"))
    if first >= days.size:
        return begin
    if kind == "days":
        return int(days[max(first - n, 0)])
    if kind in ("weeks", "months", "years"):
        if n == 0:
            return int(days[first])
        return int(days[min(np.searchsorted(days, _shift(int(days[first]), kind, n)), first)])
    if kind == "main":
        n, bars = n * count, {frequency: n * count}
    else:
        bars = n
    return int(min([_bars_back(history, codes, f, k, days, first) for f, k in bars.items()],
                   default=days[first]))


def warn_short(read, what, current, setting, read_kinds, offset=0):
    """`read` of windows that warns, once, when a window asks for more bars than
    the history loaded holds at its step (`current`: the series' bar column at each
    step); the window shows NaN where nothing is loaded.  `what` goes into the set
    `read_kinds` at every read.  `offset`: the run's step of the series' first step
    (a time chunk's), which `read` is given its steps from."""
    loaded = (np.asarray(current, dtype=np.int64) + 1).tolist()  # (a list indexes faster)
    warned = []

    def checked(reg_idx, step, length, *rest):
        local = step - offset
        if not warned and length > loaded[local]:
            warned.append(step)
            from vornix.tframe.utils.logger import user_warning

            user_warning(
                "%s: a window of %d bars at step %d reaches before the first bar loaded "
                "(%d bars up to that step; lookback=%s); the bars before it show as NaN. "
                "Raise the run's lookback setting to load more history."
                % (what, length, step, loaded[local], setting))
        read_kinds.add(what)
        return read(reg_idx, local, length, *rest)

    return checked
