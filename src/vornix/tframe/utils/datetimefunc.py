"""Conversions between integer dates (yyyymmdd), datetimes and time-line values.

Time lines hold fractional day numbers on the MATLAB datenum scale: the
proleptic Gregorian ordinal of the day plus 366, plus the time of day as a
fraction of a day.  Flooring a time-line value gives its day number.
"""

import datetime as _dt
import math

import numpy as np

DATENUM_OFFSET = 366
SECONDS_PER_DAY = 86400.0
# datenum of 1970-01-01, used for vectorised conversions through numpy datetimes
_EPOCH_DATENUM = _dt.date(1970, 1, 1).toordinal() + DATENUM_OFFSET


def int_date_to_date(int_date):
    """20240102 -> datetime.date(2024, 1, 2)."""
    v = int(int_date)
    if v != int_date:
        raise ValueError("integer date expected, got %r" % (int_date,))
    try:
        return _dt.date(v // 10000, v // 100 % 100, v % 100)
    except ValueError:
        raise ValueError("not a valid yyyymmdd date: %r" % (int_date,)) from None


def int_date_to_ordinal(int_date):
    """Day number (datenum scale) of an integer date yyyymmdd."""
    return int_date_to_date(int_date).toordinal() + DATENUM_OFFSET


def datenum_to_datetime(value):
    """datetime of a time-line value."""
    value = float(value)
    if math.isnan(value):
        raise ValueError("time-line value is NaN")
    day = math.floor(value)
    # a float day number carries about 15 microseconds of precision today: round
    # to the millisecond so that bar and tick times come back exact
    millis = round((value - day) * SECONDS_PER_DAY * 1e3)
    return _dt.datetime.fromordinal(int(day) - DATENUM_OFFSET) + _dt.timedelta(milliseconds=millis)


def datetime_to_datenum(when):
    """Time-line value of a date or datetime."""
    if isinstance(when, _dt.datetime):
        midnight = _dt.datetime(when.year, when.month, when.day)
        frac = (when - midnight).total_seconds() / SECONDS_PER_DAY
        return when.toordinal() + DATENUM_OFFSET + frac
    if isinstance(when, _dt.date):
        return float(when.toordinal() + DATENUM_OFFSET)
    raise TypeError("date or datetime expected, got %r" % (when,))


def mft_to_int_format(value, fmt="%Y%m%d"):
    """Time-line value -> integer in the given strftime format (default yyyymmdd)."""
    return int(datenum_to_datetime(value).strftime(fmt))


def int_date_to_datenum_array(int_dates):
    """Vectorised int_date_to_ordinal over an array of yyyymmdd integers."""
    d = np.asarray(int_dates, dtype=np.int64)
    y, m, day = d // 10000, d // 100 % 100, d % 100
    bad = (m < 1) | (m > 12) | (day < 1) | (day > 31)
    if bad.any():
        raise ValueError("not a valid yyyymmdd date: %r" % (int(d[bad][0]),))
    months = (y - 1970) * 12 + (m - 1)
    dt64 = months.astype("datetime64[M]").astype("datetime64[D]") + (day - 1).astype("timedelta64[D]")
    days = dt64.astype(np.int64)
    # catch 20230231 and the like: the day must stay inside its month
    back = dt64.astype("datetime64[M]").astype(np.int64)
    if (back != months).any():
        raise ValueError("not a valid yyyymmdd date: %r" % (int(d[back != months][0]),))
    return days + _EPOCH_DATENUM


def datenum_array_to_int_date(values):
    """Vectorised mft_to_int_format over a time line (floor of each value)."""
    v = np.floor(np.asarray(values, dtype=np.float64)).astype(np.int64) - _EPOCH_DATENUM
    dt64 = v.astype("datetime64[D]")
    y = dt64.astype("datetime64[Y]").astype(np.int64) + 1970
    m = dt64.astype("datetime64[M]").astype(np.int64) % 12 + 1
    d = (dt64 - dt64.astype("datetime64[M]").astype("datetime64[D]")).astype(np.int64) + 1
    return y * 10000 + m * 100 + d


def today_int():
    """Today's date as yyyymmdd."""
    t = _dt.date.today()
    return t.year * 10000 + t.month * 100 + t.day
