"""Trading calendars: trading days, sessions and the bar times they produce.

A calendar is the list of trading days (shared by all instruments of a store)
plus, per calendar name, its sessions.  A session is (open, close, day_offset):
open and close in minutes after midnight of its base day, and day_offset 0 when
the base day is the trading day itself or -1 when it is the previous trading
day (night sessions: bars after 21:00 that belong to the next trading day;
close may exceed 1440 for sessions running past midnight).

One-minute bars are stamped with their end time: a session 09:30-11:30 gives
the bars 09:31 ... 11:30.  Time-line values are datenum day numbers plus the
time of day as a fraction of a day, always computed as day + seconds / 86400 so
that equal times compare equal bit for bit.
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


class SessionSet:
    """The bar end offsets of one or more calendars' sessions."""

    def __init__(self, sessions):
        sessions = sorted({(int(o), int(c), int(d)) for o, c, d in sessions}, key=lambda s: (s[2], s[0]))
        if not sessions:
            raise StoreError("a calendar without sessions has no bar times")
        offsets, minutes = [], []
        for open_, close, day_offset in sessions:
            if close <= open_ or day_offset not in (0, -1):
                raise StoreError(
                    "session %02d:%02d-%02d:%02d (day offset %d) is not valid"
                    % (open_ // 60, open_ % 60, close // 60, close % 60, day_offset)
                )
            m = np.arange(open_ + 1, close + 1, dtype=np.int64)
            minutes.append(m)
            offsets.append(np.full(m.size, day_offset, dtype=np.int64))
        offsets = np.concatenate(offsets)
        minutes = np.concatenate(minutes)
        # union of overlapping sessions: unique (day offset, minute) pairs in time order
        key = np.unique(offsets * 10_000 + minutes)
        self.day_offset = np.where(key < 0, -1, 0).astype(np.int64)
        self.minutes = key - self.day_offset * 10_000
        self.sessions = tuple(sessions)
        day = [c for o, c, d in sessions if d == 0]
        self.close_seconds = (max(day) if day else max(c for o, c, d in sessions)) * 60

    @property
    def bars_per_day(self):
        return int(self.minutes.size)


class Calendar:
    """Trading days and sessions by calendar name, as held by a store."""

    def __init__(self, trading_days, sessions_by_name):
        self.days = np.unique(np.asarray(trading_days, dtype=np.int64))
        self.day_numbers = int_date_to_datenum_array(self.days) if self.days.size else np.zeros(0, np.int64)
        self.sessions_by_name = {k: tuple(v) for k, v in sessions_by_name.items()}

    @classmethod
    def from_frames(cls, days, sessions_frame):
        by_name = {}
        for name, o, c, d in zip(
            sessions_frame["calendar"], sessions_frame["open"], sessions_frame["close"], sessions_frame["day_offset"]
        ):
            by_name.setdefault(name, []).append((o, c, d))
        return cls(days, by_name)

    def session_set(self, names):
        sessions = []
        for name in names:
            if name not in self.sessions_by_name:
                raise StoreError(
                    "calendar %r has no sessions in the store (known calendars: %s)"
                    % (name, ", ".join(sorted(self.sessions_by_name)) or "none")
                )
            sessions.extend(self.sessions_by_name[name])
        return SessionSet(sessions)

    def days_in(self, begin_date, end_date):
        """Positions [lo, hi) of the trading days within [begin_date, end_date]."""
        lo = int(np.searchsorted(self.days, begin_date, side="left"))
        hi = int(np.searchsorted(self.days, end_date, side="right"))
        return lo, hi

    def _prev_day_numbers(self, lo, hi):
        prev = np.empty(hi - lo, dtype=np.int64)
        if hi > lo:
            prev[1:] = self.day_numbers[lo : hi - 1]
            prev[0] = self.day_numbers[lo - 1] if lo > 0 else self.day_numbers[lo] - 1
        return prev

    def minute_grid(self, session_set, lo, hi):
        """(times, day positions) of every session minute of trading days lo..hi-1."""
        cur = self.day_numbers[lo:hi]
        prev = self._prev_day_numbers(lo, hi)
        night = session_set.day_offset < 0
        base = np.where(night[None, :], prev[:, None], cur[:, None])
        times = time_values(base, session_set.minutes[None, :] * 60).ravel()
        day_pos = np.repeat(np.arange(hi - lo, dtype=np.float64), session_set.bars_per_day)
        return times, day_pos

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
