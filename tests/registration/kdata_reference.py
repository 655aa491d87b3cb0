"""Registered bar windows recomputed from the raw bars of the history service.

Given the raw one-minute and one-day bars of a run's targets, this module works
out, without any of the framework's kernels or its registration layer:

- the bars of a registered series (frequency, count): which raw bars form each
  bar, its time, its complete values;
- the main time line of a run;
- the window that a strategy sees at a step of the main time line, in both
  modes, laid out like the retrieval result: one block of `length` rows per
  target, columns target index, bar time, open, high, low, close, volume,
  turnover, open interest, right-aligned, NaN where nothing is shown.

Grouping rules:

- ("min", n): the minutes of each trading day in runs of n from the day's first
  minute (a run may span the lunch break; the day's last run may be shorter);
- ("day", n): trading days in runs of n from the first day of the range;
- ("week", n) / ("month", n): calendar weeks (Monday to Sunday) or months of the
  range's trading days, in runs of n from the first; the range's end always
  closes the last bar.

A bar's time is the time of its last raw bar.  The one-period minute and day
series are the raw bars themselves; every other bar, and every bar still being
formed, combines its raw bars (`combine`).

At step s (time T[s]) the current bar is the first registered bar whose time is
not before T[s].  With fill-up the window ends with it, shown as it stands at
T[s] (built from minute bars under an intraday main frequency, from day bars
under a day one) with time T[s]; the run's own main series shows its complete
bar.  Without fill-up only bars with volume > 0 are shown: complete ones before
the current bar, then the current bar as it stands, if it traded.

`Run` is the vectorised version used by the end-to-end tests; `naive_window`
follows the same rules with plain loops and exists to check `Run` itself.
"""

import datetime
import math

import numpy as np

OP, HI, LO, CL, VOL, TURN, OI = range(7)
N_FIELDS = 7
WIDTH = 2 + N_FIELDS
NAN = float("nan")
DAY_KINDS = ("day", "week", "month")


# --------------------------------------------------------------------------- raw bars


class Bars:
    """One-period raw bars: `times` (n,), `day_pos` (n,) trading-day index of each
    bar, `values` (targets, 7, n) in the field order above."""

    def __init__(self, times, day_pos, values):
        self.times = np.asarray(times, dtype=np.float64)
        self.day_pos = np.asarray(day_pos).astype(np.int64)
        self.values = np.asarray(values, dtype=np.float64)
        n = self.times.size
        assert self.day_pos.shape == (n,) and self.values.shape[1:] == (N_FIELDS, n)

    @property
    def n_targets(self):
        return self.values.shape[0]

    @classmethod
    def from_history(cls, result):
        karray = np.asarray(result["KArray"], dtype=np.float64)
        n_targets = karray.shape[0] // N_FIELDS
        values = karray.reshape(n_targets, N_FIELDS, karray.shape[1])
        return cls(result["TimeLine"], result["DayPos"], values)


class Market:
    """Raw minute and day bars of the same targets over the same trading days."""

    def __init__(self, minute, day):
        assert minute is None or minute.n_targets == day.n_targets
        self.minute = minute
        self.day = day

    @property
    def n_targets(self):
        return self.day.n_targets

    @classmethod
    def from_history(cls, targets, begin, end, fq_type=0, minutes=True):
        from vornix.api.history._history import get_k_data_multi

        def fetch(frequency):
            return Bars.from_history(
                get_k_data_multi(
                    {
                        "targets": list(targets),
                        "frequency": frequency,
                        "freq_num": 1,
                        "begin_date": begin,
                        "end_date": end,
                        "filled_up": True,
                        "fq_type": fq_type,
                        "need_show_ui_tip": False,
                    }
                )
            )

        return cls(fetch("min") if minutes else None, fetch("day"))


def day_date(time):
    """Calendar date of a time-line value (day number 1 is 0000-01-01, 367 is 0001-01-01)."""
    return datetime.date.fromordinal(int(math.floor(time)) - 366)


# --------------------------------------------------------------------------- grouping


def _runs(*keys):
    """Consecutive integer ids, a new one wherever one of the keys changes."""
    keys = [np.asarray(k) for k in keys]
    if keys[0].size == 0:
        return np.zeros(0, dtype=np.int64)
    change = np.zeros(keys[0].size - 1, dtype=bool)
    for k in keys:
        change |= k[1:] != k[:-1]
    return np.cumsum(np.r_[True, change]) - 1


def day_group_ids(day_times, frequency, count):
    """Registered-bar id of every trading day for ("day"|"week"|"month", count)."""
    n = len(day_times)
    if frequency == "day":
        return np.arange(n, dtype=np.int64) // count
    dates = [day_date(t) for t in day_times]
    if frequency == "week":
        keys = [d.toordinal() - d.weekday() for d in dates]  # the Monday of the week
    elif frequency == "month":
        keys = [d.year * 100 + d.month for d in dates]
    else:
        raise ValueError("no day grouping for %r" % (frequency,))
    return _runs(keys) // count


def minute_group_ids(day_pos, count):
    """Registered-bar id of every minute for ("min", count)."""
    day_pos = np.asarray(day_pos)
    first = np.r_[True, day_pos[1:] != day_pos[:-1]]
    day_start = np.maximum.accumulate(np.where(first, np.arange(day_pos.size), 0))
    within = np.arange(day_pos.size) - day_start
    return _runs(day_pos, within // count)


def group_ids(market, frequency, count, base):
    """Registered-bar id of every bar of `base` (market.minute or market.day)."""
    if frequency == "min":
        assert base is market.minute
        return minute_group_ids(base.day_pos, count)
    return day_group_ids(market.day.times, frequency, count)[base.day_pos]


# --------------------------------------------------------------------------- combination


def _segment_accumulate(x, start, op):
    """op-accumulate x (targets, n) along the bars, restarting at every group.

    Bar i's group starts at start[i].  Runs bar position by bar position, so that
    sums are formed strictly left to right (the same float result as a plain loop)."""
    out = x.copy()
    pos = np.arange(x.shape[1]) - start
    if pos.size == 0:
        return out
    order = np.argsort(pos, kind="stable")
    bounds = np.r_[0, np.cumsum(np.bincount(pos))]
    for k in range(1, bounds.size - 1):
        idx = order[bounds[k] : bounds[k + 1]]
        out[:, idx] = op(out[:, idx - 1], out[:, idx])
    return out


def _last_known_before(row, start):
    """For every bar, the last non-NaN entry of row before its group's first bar."""
    n = row.shape[1]
    at = np.where(np.isnan(row), -1, np.arange(n))
    last = np.maximum.accumulate(at, axis=1)
    src = np.where(start > 0, last[:, np.maximum(start - 1, 0)], -1)
    return np.where(src >= 0, np.take_along_axis(row, np.maximum(src, 0), axis=1), np.nan)


def running_combination(bars, gid):
    """Every bar's group combined from its first bar up to that bar: (targets, 7, n)."""
    v = bars.values
    n = v.shape[2]
    idx = np.arange(n)
    start = np.maximum.accumulate(np.where(np.r_[True, gid[1:] != gid[:-1]], idx, 0)) if n else idx
    traded = v[:, VOL] > 0
    last_t = np.maximum.accumulate(np.where(traded, idx, -1), axis=1) if n else traded.astype(int)
    has = last_t >= start
    nxt = np.minimum.accumulate(np.where(traded, idx, n)[:, ::-1], axis=1)[:, ::-1]
    first_t = nxt[:, start]
    lt, ft = np.maximum(last_t, 0), np.minimum(first_t, max(n - 1, 0))

    def at(field, cols):
        return np.take_along_axis(v[:, field], cols, axis=1)

    hi = np.where(traded & ~np.isnan(v[:, HI]), v[:, HI], -np.inf)
    lo = np.where(traded & ~np.isnan(v[:, LO]), v[:, LO], np.inf)
    hi = _segment_accumulate(hi, start, np.maximum)
    lo = _segment_accumulate(lo, start, np.minimum)
    vol = _segment_accumulate(np.where(traded, v[:, VOL], 0.0), start, np.add)
    turn = _segment_accumulate(np.where(traded & ~np.isnan(v[:, TURN]), v[:, TURN], 0.0), start, np.add)
    prev_close = _last_known_before(v[:, CL], start)
    prev_oi = _last_known_before(v[:, OI], start)

    out = np.empty_like(v)
    out[:, OP] = np.where(has, at(OP, ft), prev_close)
    out[:, HI] = np.where(has, np.where(np.isinf(hi), np.nan, hi), prev_close)
    out[:, LO] = np.where(has, np.where(np.isinf(lo), np.nan, lo), prev_close)
    out[:, CL] = np.where(has, at(CL, lt), prev_close)
    out[:, VOL] = np.where(has, vol, 0.0)
    out[:, TURN] = np.where(has, turn, 0.0)
    out[:, OI] = np.where(has, at(OI, lt), prev_oi)
    return out


def combine(bars, prev_close, prev_oi):
    """One bar from a list of 7-field raw bars (plain Python); prev_*: last known
    values before the first of them."""
    traded = [b for b in bars if b[VOL] > 0]
    if not traded:
        return [prev_close] * 4 + [0.0, 0.0, prev_oi]
    highs = [b[HI] for b in traded if not math.isnan(b[HI])]
    lows = [b[LO] for b in traded if not math.isnan(b[LO])]
    volume = 0.0
    turnover = 0.0
    for b in traded:
        volume += b[VOL]
        if not math.isnan(b[TURN]):
            turnover += b[TURN]
    return [
        traded[0][OP],
        max(highs) if highs else NAN,
        min(lows) if lows else NAN,
        traded[-1][CL],
        volume,
        turnover,
        traded[-1][OI],
    ]


# --------------------------------------------------------------------------- a run


class Series:
    """A registered series and what a strategy sees of it at each main step."""

    def __init__(self, run, frequency, count):
        market = run.market
        self.frequency, self.count = frequency, count
        self.is_main = (frequency, count) == (run.frequency, run.count)
        base = market.minute if frequency == "min" else market.day
        gid = group_ids(market, frequency, count, base)
        last = np.flatnonzero(np.r_[gid[1:] != gid[:-1], True])
        self.times = base.times[last]
        if count == 1 and frequency in ("min", "day"):
            self.bars = base.values.copy()
        else:
            self.bars = running_combination(base, gid)[:, :, last]
        self.cur = np.minimum(np.searchsorted(self.times, run.T, side="left"), self.times.size - 1)
        if self.is_main:
            self.now = self.bars[:, :, self.cur]
        else:
            pbase = run.progress_base
            pid = group_ids(market, frequency, count, pbase)
            at = np.searchsorted(pbase.times, run.T, side="left")
            assert np.array_equal(pbase.times[at], run.T), "main steps must be raw bar times"
            assert np.array_equal(pid[at], self.cur), "a step's raw bar lies in its current bar"
            self.now = running_combination(pbase, pid)[:, :, at]
        self.real = [np.flatnonzero(self.bars[t, VOL] > 0) for t in range(market.n_targets)]

    @property
    def n_targets(self):
        return self.bars.shape[0]

    def bars_so_far(self, s):
        return int(self.cur[s]) + 1

    def window(self, s, length, fill_up, T):
        nt = self.n_targets
        out = np.full((nt, length, WIDTH), np.nan)
        out[:, :, 0] = np.arange(nt)[:, None]
        cur = int(self.cur[s])
        if fill_up:
            first = max(cur - length + 1, 0)
            k = cur - first + 1
            out[:, length - k :, 1] = self.times[first : cur + 1]
            out[:, length - k :, 2:] = self.bars[:, :, first : cur + 1].transpose(0, 2, 1)
            out[:, -1, 1] = T[s]
            out[:, -1, 2:] = self.now[:, :, s]
        else:
            for t in range(nt):
                traded_now = bool(self.now[t, VOL, s] > 0)
                keep = length - traded_now
                before = self.real[t][: np.searchsorted(self.real[t], cur)]
                cols = before[max(before.size - keep, 0) :] if keep > 0 else before[:0]
                end = length - traded_now
                out[t, end - cols.size : end, 1] = self.times[cols]
                out[t, end - cols.size : end, 2:] = self.bars[t][:, cols].T
                if traded_now:
                    out[t, -1, 1] = T[s]
                    out[t, -1, 2:] = self.now[t, :, s]
        return out.reshape(nt * length, WIDTH)


class Run:
    """The main time line of a run with main frequency (frequency, count) over a
    market, and its registered series (memoised)."""

    def __init__(self, market, frequency, count=1):
        self.market = market
        self.frequency, self.count = frequency, count
        self.intraday = frequency == "min"
        self.progress_base = market.minute if self.intraday else market.day
        if frequency == "min":
            gid = minute_group_ids(market.minute.day_pos, count)
            times = market.minute.times
        else:
            gid = day_group_ids(market.day.times, frequency, count)
            times = market.day.times
        self.T = times[np.flatnonzero(np.r_[gid[1:] != gid[:-1], True])]
        self._series = {}

    def allowed(self, frequency):
        """Whether (frequency, any count) may be registered under this main frequency."""
        return self.intraday or frequency in DAY_KINDS

    def series(self, frequency, count):
        key = (frequency, count)
        if key not in self._series:
            if not self.allowed(frequency):
                raise ValueError("%s bars cannot be registered under a %s main frequency" % (frequency, self.frequency))
            self._series[key] = Series(self, frequency, count)
        return self._series[key]

    def window(self, frequency, count, s, length, fill_up):
        s = s + self.T.size if s < 0 else s
        return self.series(frequency, count).window(s, length, fill_up, self.T)

    def steps_of_interest(self, n_random=40, seed=0):
        """Every first and last step of each trading day, week and month, their
        neighbours, and a seeded random sample, ascending."""
        days = np.floor(self.T).astype(np.int64)
        picked = {0, self.T.size - 1}
        for keys in (
            days,
            np.array([day_date(d).toordinal() - day_date(d).weekday() for d in days]),
            np.array([day_date(d).year * 100 + day_date(d).month for d in days]),
        ):
            change = np.flatnonzero(keys[1:] != keys[:-1])
            for c in change:
                picked.update((int(c), int(c) + 1))
            if self.intraday:
                picked.update(int(c) + 2 for c in change if c + 2 < self.T.size)
        rng = np.random.default_rng(seed)
        picked.update(int(x) for x in rng.integers(0, self.T.size, n_random))
        return sorted(picked)


# --------------------------------------------------------------------------- plain loops


def _naive_groups(market, frequency, count):
    """(raw bars the series is built from, list of index lists, one per bar)."""
    groups = []
    if frequency == "min":
        base = market.minute
        day_of = list(base.day_pos)
        for i, d in enumerate(day_of):
            new_day = i == 0 or d != day_of[i - 1]
            if new_day:
                within = 0
            if new_day or within % count == 0:
                groups.append([])
            groups[-1].append(i)
            within += 1
        return base, groups
    base = market.day
    keys = []
    for t in base.times:
        d = day_date(t)
        keys.append({"day": None, "week": d.toordinal() - d.weekday(), "month": (d.year, d.month)}[frequency])
    periods = []
    for i, k in enumerate(keys):
        if frequency == "day" or i == 0 or k != keys[i - 1]:
            periods.append([])
        periods[-1].append(i)
    for j in range(0, len(periods), count):
        groups.append([i for p in periods[j : j + count] for i in p])
    return base, groups


def _last_known(values, stop):
    for x in reversed(values[:stop]):
        if not math.isnan(x):
            return x
    return NAN


def _raw(bars, t, i):
    return [float(bars.values[t, f, i]) for f in range(N_FIELDS)]


def _combined(bars, t, idx):
    close = list(bars.values[t, CL])
    oi = list(bars.values[t, OI])
    return combine([_raw(bars, t, i) for i in idx], _last_known(close, idx[0]), _last_known(oi, idx[0]))


def naive_window(market, main, reg, s, length, fill_up):
    """The window of registration reg = (frequency, count) at step s of a run with
    main frequency main = (frequency, count), with plain loops."""
    main_base, main_groups = _naive_groups(market, *main)
    T = [main_base.times[g[-1]] for g in main_groups]
    t_now = T[s]
    base, groups = _naive_groups(market, *reg)
    times = [base.times[g[-1]] for g in groups]
    cur = next((g for g, x in enumerate(times) if x >= t_now), len(times) - 1)
    one_period = reg[1] == 1 and reg[0] in ("min", "day")

    def complete(t, g):
        return _raw(base, t, groups[g][0]) if one_period else _combined(base, t, groups[g])

    def now(t):
        if reg == main:
            return complete(t, cur)
        pbase = market.minute if main[0] == "min" else market.day
        if pbase is base:
            members = groups[cur]
        else:  # a day-based bar built from minutes: the minutes of its days
            days = set(groups[cur])
            members = [i for i, d in enumerate(pbase.day_pos) if d in days]
        seen = [i for i in members if pbase.times[i] <= t_now]
        close = list(pbase.values[t, CL])
        oi = list(pbase.values[t, OI])
        bars = [_raw(pbase, t, i) for i in seen]
        return combine(bars, _last_known(close, members[0]), _last_known(oi, members[0]))

    out = []
    for t in range(market.n_targets):
        if fill_up:
            rows = [[times[g]] + complete(t, g) for g in range(max(cur - length + 1, 0), cur)]
            rows.append([t_now] + now(t))
        else:
            rows = [[times[g]] + complete(t, g) for g in range(cur)]
            rows = [r for r in rows if r[1 + VOL] > 0]
            bar = now(t)
            if bar[VOL] > 0:
                rows.append([t_now] + bar)
        rows = rows[-length:]
        block = [[float(t)] + [NAN] * (WIDTH - 1) for _ in range(length - len(rows))]
        out += block + [[float(t)] + r for r in rows]
    return np.array(out, dtype=np.float64).reshape(market.n_targets * length, WIDTH)
