"""Trading calendars: trading days, sessions and the bar times they produce.

A calendar is the list of trading days (shared by all instruments of a store)
plus, per calendar name, its sessions.  A session is (open, close, day_offset):
open and close in minutes after midnight of its base day, and day_offset 0 when
the base day is the trading day itself or -1 when it is the previous trading
day (night sessions: bars after 21:00 that belong to the next trading day;
close may exceed 1440 for sessions running past midnight, 26:30 for 02:30).

A night session runs on the evening before trading day D only when the
previous trading day P is the weekday before D (D - P is one day, or P is a
Friday and D the Monday after): there is none on the evening before a holiday
break.  A calendar may override this per trading day (the store's table
`nights`); the first trading day of a store has no night session unless an
override gives it one (its base day is then the weekday before it).  So the
number of bars of a trading day varies.

One-minute bars are stamped with their end time: a session 09:30-11:30 gives
the bars 09:31 ... 11:30; a store whose base bar is N minutes long gives the
bars 09:30+N, 09:30+2N, ... 11:30 (every session a whole number of bars).
Time-line values are datenum day numbers plus the time of day as a fraction of
a day, always computed as day + seconds / 86400 so that equal times compare
equal bit for bit.
"""

import warnings

import numpy as np

from vornix.tframe.utils.datetimefunc import (
    datenum_array_to_int_date,
    int_date_to_datenum_array,
)
from vornix.tframe.utils.exceptions import StoreError

SECONDS_PER_DAY = 86400

# A Shanghai-style stock session, and a futures day session with a morning break.
STOCK_SESSIONS = ((570, 690, 0), (780, 900, 0))
FUTURES_SESSIONS = ((540, 615, 0), (630, 690, 0), (810, 900, 0))


def hhmm_to_minutes(text):
    """'09:30' or '09:30:00' -> 570; raises ValueError for anything else (seconds must be 0)."""
    parts = str(text).strip().split(":")
    if len(parts) not in (2, 3) or not all(p.isdigit() and len(p) <= 2 for p in parts):
        raise ValueError("time of day must look like HH:MM, got %r" % (text,))
    hours, minutes = int(parts[0]), int(parts[1])
    if minutes > 59 or hours > 47:
        raise ValueError("time of day must look like HH:MM, got %r" % (text,))
    if len(parts) == 3 and int(parts[2]) != 0:
        raise ValueError("a session starts and ends on a whole minute, got %r" % (text,))
    return hours * 60 + minutes


def time_values(day_numbers, seconds):
    """Time-line values of day numbers and seconds of the day (broadcasting)."""
    return np.asarray(day_numbers, dtype=np.float64) + np.asarray(seconds) / float(SECONDS_PER_DAY)


def time_keys(times):
    """Whole seconds since day 0 of time-line values: exact keys for matching bar times."""
    return np.rint(np.asarray(times, dtype=np.float64) * SECONDS_PER_DAY).astype(np.int64)


def _weekday(day_numbers):
    """0 = Monday ... 6 = Sunday of day numbers (day number 367, 0001-01-01, is a Monday)."""
    return (np.asarray(day_numbers, dtype=np.int64) - 367) % 7


def previous_weekday(day_number):
    """Day number of the weekday before a day (Friday for a Monday)."""
    wd = int(_weekday([day_number])[0])
    return int(day_number) - (3 if wd == 0 else 2 if wd == 6 else 1)


def _hm(minutes):
    return "%02d:%02d" % (minutes // 60, minutes % 60)


class SessionSet:
    """The bar end offsets of one or more calendars' sessions.

    `step` is the base bar in minutes: every session must hold a whole number of
    bars.  `owners` names the calendar of each session (None: all of one calendar);
    the night minutes of a trading day exist when a night session precedes it in
    one of the calendars that own them."""

    def __init__(self, sessions, step=1, owners=None):
        sessions = [(int(o), int(c), int(d)) for o, c, d in sessions]
        owners = [None] * len(sessions) if owners is None else list(owners)
        step = int(step)
        if not sessions:
            raise StoreError("a calendar without sessions has no bar times")
        if step < 1:
            raise StoreError("a base bar of %d minutes is not valid" % step)
        owned = {}
        for (open_, close, day_offset), owner in zip(sessions, owners):
            if close <= open_ or day_offset not in (0, -1):
                raise StoreError(
                    "session %s-%s (day offset %d) is not valid" % (_hm(open_), _hm(close), day_offset)
                )
            if (close - open_) % step:
                raise StoreError(
                    "session %s-%s%s is not a whole number of %d-minute bars"
                    % (_hm(open_), _hm(close), "" if owner is None else " of calendar %s" % owner, step)
                )
            owned.setdefault((open_, close, day_offset), set()).add(owner)
        unique = sorted(owned, key=lambda s: (s[2], s[0], s[1]))
        day = [s for s in unique if s[2] == 0]
        night = [s for s in unique if s[2] == -1]
        if day and night:
            # night minutes lie between the day sessions of two trading days
            day_open, day_close = min(o for o, _, _ in day), max(c for _, c, _ in day)
            for o, c, _ in night:
                if o < day_close or c > day_open + 1440:
                    raise StoreError(
                        "night session %s-%s must lie between the day sessions' close %s and "
                        "their open %s of the next day" % (_hm(o), _hm(c), _hm(day_close), _hm(day_open))
                    )
        offsets, minutes, keys_owners = [], [], {}
        for s in unique:
            open_, close, day_offset = s
            m = np.arange(open_ + step, close + 1, step, dtype=np.int64)
            minutes.append(m)
            offsets.append(np.full(m.size, day_offset, dtype=np.int64))
            if day_offset < 0:
                for k in (m - 10_000).tolist():
                    keys_owners.setdefault(k, set()).update(owned[s])
        offsets = np.concatenate(offsets)
        minutes = np.concatenate(minutes)
        # union of overlapping sessions: unique (day offset, minute) pairs in time order
        key = np.unique(offsets * 10_000 + minutes)
        self.day_offset = np.where(key < 0, -1, 0).astype(np.int64)
        self.minutes = key - self.day_offset * 10_000
        self.step = step
        self.sessions = tuple(unique)
        # columns of night minutes by the calendars that own them
        groups = {}
        for col in np.flatnonzero(self.day_offset < 0).tolist():
            names = tuple(sorted(keys_owners[int(key[col])], key=str))
            groups.setdefault(names, []).append(col)
        self.night_groups = tuple((names, np.asarray(cols, dtype=np.int64)) for names, cols in groups.items())
        self.close_seconds = (max(c for _, c, _ in day) if day else max(c for _, c, _ in unique)) * 60

    @property
    def has_night(self):
        return bool(self.night_groups)


def night_rule(day_numbers):
    """Whether a night session precedes each trading day by the holiday rule: the
    previous trading day is the weekday before it (none for the first day)."""
    nums = np.asarray(day_numbers, dtype=np.int64)
    if nums.size == 0:
        return np.zeros(0, dtype=bool)
    gap = np.diff(nums)
    return np.r_[False, (gap == 1) | ((gap == 3) & (_weekday(nums[:-1]) == 4))]


def trading_day_numbers(times, day_numbers):
    """The trading day (day number) each time-line value belongs to, the one rule of
    dated data: its calendar day, but a night-session time (after 18:00, or after
    midnight and before 06:00) belongs to a later trading day: after 18:00 the next
    trading day after its date, after midnight the first trading day on or after
    its date (the bars of a Friday night belong to Monday).  Factor, adjustment and
    main-contract rows dated on or before a step's trading day are known at that
    step.  `day_numbers()` gives the calendar's trading days (asked only when a
    night time is among `times`); a time past them keeps its calendar day."""
    times = np.asarray(times, dtype=np.float64)
    day = np.floor(times)
    hours = (times - day) * 24.0
    late, early = hours > 18.0, hours < 6.0
    if not (late.any() or early.any()):
        return day
    known = np.asarray(day_numbers(), dtype=np.float64)
    if known.size == 0:
        return day
    last = known.size - 1
    nxt = known[np.minimum(np.searchsorted(known, day, side="right"), last)]
    same = known[np.minimum(np.searchsorted(known, day, side="left"), last)]
    nxt = np.where(nxt > day, nxt, day)
    same = np.where(same >= day, same, day)
    return np.where(late, nxt, np.where(early, same, day))


class Calendar:
    """Trading days, sessions and night-session overrides by calendar name, as held
    by a store.  `nights` maps a calendar name to {yyyymmdd trading day: 0 or 1}."""

    def __init__(self, trading_days, sessions_by_name, nights=None):
        self.days = np.unique(np.asarray(trading_days, dtype=np.int64))
        self.day_numbers = int_date_to_datenum_array(self.days) if self.days.size else np.zeros(0, np.int64)
        self.sessions_by_name = {k: tuple(v) for k, v in sessions_by_name.items()}
        self.nights = {k: dict(v) for k, v in (nights or {}).items()}
        self._night_days = {}

    @classmethod
    def from_frames(cls, days, sessions_frame, nights_frame=None):
        by_name = {}
        for name, o, c, d in zip(
            sessions_frame["calendar"], sessions_frame["open"], sessions_frame["close"], sessions_frame["day_offset"]
        ):
            by_name.setdefault(name, []).append((o, c, d))
        nights = {}
        if nights_frame is not None:
            for name, date, night in zip(nights_frame["calendar"], nights_frame["date"], nights_frame["night"]):
                nights.setdefault(name, {})[int(date)] = int(night)
        return cls(days, by_name, nights)

    def night_days(self, name=None):
        """Whether a night session of calendar `name` precedes each trading day: the
        holiday rule, then the calendar's overrides."""
        if name not in self._night_days:
            mask = night_rule(self.day_numbers)
            given = self.nights.get(name)
            if given:
                dates = np.fromiter(given.keys(), dtype=np.int64, count=len(given))
                flags = np.fromiter(given.values(), dtype=np.int64, count=len(given))
                pos = np.searchsorted(self.days, dates)
                found = (pos < self.days.size) & (self.days[np.minimum(pos, self.days.size - 1)] == dates)
                mask[pos[found]] = flags[found] != 0
            self._night_days[name] = mask
        return self._night_days[name]

    def trading_day_numbers(self, times):
        """The trading day (day number) of each time-line value (`trading_day_numbers`)."""
        return trading_day_numbers(times, lambda: self.day_numbers)

    def session_set(self, names, step=1):
        sessions, owners = [], []
        for name in names:
            if name not in self.sessions_by_name:
                raise StoreError(
                    "calendar %r has no sessions in the store (known calendars: %s)"
                    % (name, ", ".join(sorted(self.sessions_by_name)) or "none")
                )
            sessions.extend(self.sessions_by_name[name])
            owners.extend([name] * len(self.sessions_by_name[name]))
        return SessionSet(sessions, step=step, owners=owners)

    def days_in(self, begin_date, end_date):
        """Positions [lo, hi) of the trading days within [begin_date, end_date]."""
        lo = int(np.searchsorted(self.days, begin_date, side="left"))
        hi = int(np.searchsorted(self.days, end_date, side="right"))
        return lo, hi

    def _prev_day_numbers(self, lo, hi):
        """Base days of the night sessions of trading days lo..hi-1: the previous
        trading day (the weekday before the store's first day)."""
        prev = np.empty(hi - lo, dtype=np.int64)
        if hi > lo:
            prev[1:] = self.day_numbers[lo : hi - 1]
            prev[0] = self.day_numbers[lo - 1] if lo > 0 else previous_weekday(self.day_numbers[lo])
        return prev

    def minute_grid(self, session_set, lo, hi):
        """(times, day positions) of every session bar of trading days lo..hi-1; the
        night bars of a day come first, on the evening of the previous trading day,
        and only on the days that have a night session."""
        cur = self.day_numbers[lo:hi]
        night = session_set.day_offset < 0
        if not night.any():
            times = time_values(cur[:, None], session_set.minutes[None, :] * 60).ravel()
            return times, np.repeat(np.arange(hi - lo, dtype=np.float64), session_set.minutes.size)
        prev = self._prev_day_numbers(lo, hi)
        base = np.where(night[None, :], prev[:, None], cur[:, None])
        times = time_values(base, session_set.minutes[None, :] * 60)
        present = np.ones(times.shape, dtype=bool)
        for names, cols in session_set.night_groups:
            has = np.zeros(hi - lo, dtype=bool)
            for name in names:
                has |= self.night_days(name)[lo:hi]
            present[np.ix_(~has, cols)] = False
        day_pos = np.repeat(np.arange(hi - lo, dtype=np.float64), present.sum(axis=1))
        return times[present], day_pos

    def day_grid(self, session_set, lo, hi):
        times = time_values(self.day_numbers[lo:hi], session_set.close_seconds)
        return times, np.arange(hi - lo, dtype=np.float64)

    def period_grid(self, session_set, lo, hi, frequency):
        """Week, month or year bars: stamped at the close of their last trading day in range."""
        days = self.days[lo:hi]
        if frequency == "week":
            # day number 367 (0001-01-01) is a Monday: weeks run Monday..Sunday
            group = (self.day_numbers[lo:hi] - 367) // 7
        elif frequency == "month":
            group = days // 100
        elif frequency == "year":
            group = days // 10000
        else:
            raise ValueError("no calendar bars for frequency %r" % (frequency,))
        last = np.flatnonzero(np.r_[group[1:] != group[:-1], True]) if days.size else np.zeros(0, np.int64)
        times = time_values(self.day_numbers[lo:hi][last], session_set.close_seconds)
        return times, last.astype(np.float64)


def day_numbers_to_dates(day_numbers):
    return datenum_array_to_int_date(day_numbers)


def _yyyymmdd(day):
    return "%04d-%02d-%02d" % (day // 10000, day // 100 % 100, day % 100)


def xshg_trading_days(begin_date=None, end_date=None):
    """Trading days of the Shanghai stock exchange from the optional exchange_calendars
    package, over [begin_date, end_date] (yyyymmdd; None: the first or last day the
    package records).  A range the package does not record is refused."""
    try:
        import exchange_calendars
    except ImportError:
        raise ImportError(
            "building a calendar from the XSHG exchange calendar needs the optional package "
            "exchange_calendars; install it or import the trading days from a CSV file"
        ) from None
    with warnings.catch_warnings():
        # the package's own deprecation notices about its pandas use are not ours to fix
        warnings.simplefilter("ignore", DeprecationWarning)
        warnings.simplefilter("ignore", FutureWarning)
        cls = type(exchange_calendars.get_calendar("XSHG"))
        lo = int(cls.bound_min().strftime("%Y%m%d"))
        hi = int(cls.bound_max().strftime("%Y%m%d"))
        begin = lo if begin_date is None else int(begin_date)
        end = hi if end_date is None else int(end_date)
        if begin > end:
            raise ValueError("begin date %d is after end date %d" % (begin, end))
        if begin < lo or end > hi:
            raise ValueError(
                "exchange_calendars %s records the XSHG trading days from %d to %d only; "
                "%d-%d is not covered (import the days from a CSV file instead)"
                % (getattr(exchange_calendars, "__version__", ""), lo, hi, begin, end)
            )
        # the calendar's own window is the range asked for: by default the package
        # covers only the last 20 years
        cal = exchange_calendars.get_calendar("XSHG", start=_yyyymmdd(max(begin, lo)), end=_yyyymmdd(end))
        first, last = cal.first_session.strftime("%Y-%m-%d"), cal.last_session.strftime("%Y-%m-%d")
        if max(_yyyymmdd(begin), first) > min(_yyyymmdd(end), last):
            return np.zeros(0, dtype=np.int64)
        sessions = cal.sessions_in_range(max(_yyyymmdd(begin), first), min(_yyyymmdd(end), last))
        days = [int(d.strftime("%Y%m%d")) for d in sessions]
    return np.asarray(days, dtype=np.int64)


def trading_days_from_bars(bar_times):
    """Trading days found in arrays of bar times (day numbers of the bars, night sessions aside)."""
    if not bar_times:
        return np.zeros(0, dtype=np.int64)
    days = np.unique(np.concatenate([np.floor(np.asarray(t)).astype(np.int64) for t in bar_times]))
    return datenum_array_to_int_date(days)


def in_night_sessions(times, sessions):
    """Mask of bar times whose time of day is a bar end of one of the night sessions
    (day_offset -1) among `sessions`: their calendar day is not their trading day."""
    seconds = time_keys(times) % SECONDS_PER_DAY
    m = seconds // 60
    out = np.zeros(m.shape, dtype=bool)
    for open_, close, day_offset in sessions:
        if int(day_offset) < 0:
            # 00:00 ends the minute 24:00 of a session running past midnight
            out |= ((m > open_) & (m <= close)) | ((m + 1440 > open_) & (m + 1440 <= close))
    return out
