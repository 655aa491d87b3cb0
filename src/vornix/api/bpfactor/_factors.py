"""Factor service: daily factor values per target from the bar store."""

import numpy as np

from vornix.api.history import _history
from vornix.tframe.utils.datetimefunc import int_date_to_datenum_array


def get_factor_by_factor(factor, targets, begin_date, end_date, source=0):
    """Values of one factor for the targets over the trading days of [begin_date, end_date].

    Returns a dict: "date" holds the day numbers (datenum scale, float64) of the
    trading days in the range, and each target's dotted code an equally long
    float64 array of its values, NaN where the store holds none.  `source` is
    accepted for the callers' sake; the store is the only source.
    """
    store = _history.current_store()
    name = str(factor).strip()
    if name not in store.factor_names():
        raise ValueError(
            "unknown factor %r; the store %s holds the factors: %s"
            % (factor, store.path, ", ".join(store.factor_names()) or "none")
        )
    codes, _ = store.resolve(targets, " (factor %s)" % name)
    days = store.trading_days_between(
        _history.as_date(begin_date, "begin date"), _history.as_date(end_date, "end date")
    )
    if days.size == 0:
        raise ValueError(
            "no trading days between %s and %s for factor %s of %s" % (begin_date, end_date, name, codes)
        )
    frame = store.read_factor(name)
    result = {"date": int_date_to_datenum_array(days).astype(np.float64)}
    in_range = frame[(frame["date"] >= days[0]) & (frame["date"] <= days[-1])]
    for code in codes:
        values = np.full(days.size, np.nan)
        sel = in_range[in_range["target"] == code]
        pos = np.searchsorted(days, sel["date"].to_numpy(dtype=np.int64))
        hit = (pos < days.size) & (days[np.minimum(pos, days.size - 1)] == sel["date"].to_numpy(dtype=np.int64))
        values[pos[hit]] = sel["value"].to_numpy(dtype=np.float64)[hit]
        result[code] = values
    return result
