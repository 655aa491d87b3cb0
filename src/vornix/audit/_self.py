"""The library's self-audit: every kind of registration, read at every step under
each main frequency, audited like a strategy."""

import os
import tempfile

import numpy as np

from vornix.audit._audit import audit

# targets: the two continuous futures (rolls) and two stocks, one of them suspended
TARGETS = ["CFE.IF00", "SHF.RB00", "SH.600000", "SZ.000011"]
MAINS = (("min", 1), ("min", 5), ("day", 1))

_STRATEGY = '''\
"""Self-audit: every registration kind under a ({frequency}, {count}) main frequency."""
import numpy as np

RUN = {{"targets": {targets!r}, "frequency": "{frequency}", "count": {count},
        "begin": {begin}, "end": {end}}}
BARS = {bars!r}


def ahead_free(context):
    # an indicator reading a window at its own step
    return context.day.values(2)[1::2, 5]


def init(context):
    context.handles = [context.reg_bars(f, n, adjust=a) for f, n, a in BARS]
    context.day = context.reg_bars("day")
    context.series = [context.reg_factor(["pe", "pb"], targets=["SH.600000", "SZ.000011"])]
    tl = context.env.fresh_bar_timeline
    # user data stamped between steps and at steps
    times = np.concatenate([tl[::7] - 1e-5, tl[3::11]])
    context.series.append(context.reg_user_data(times, np.arange(times.size, dtype=float)))
    context.series.append(context.reg_indicator(ahead_free))


def on_data(context):
    for h in context.handles:
        h.values(3, fill_up=True)
        h.values(3, fill_up=False)
    for s in context.series:
        s.values(3)
'''


def registrations(frequency):
    """The bar registrations allowed under a main frequency, raw and adjusted."""
    kinds = [("day", 1), ("day", 2), ("week", 1), ("month", 1)]
    if frequency == "min":
        kinds = [("min", 1), ("min", 5), ("min", 15)] + kinds
    return [(f, n, a) for f, n in kinds for a in (False, True)]


def default_range(days_before=6, days_after=4):
    """(begin, end) yyyymmdd of the self-audit by default: around the first roll of
    a continuous future of TARGETS with a night session (the sample's SHF.RB00), so
    that the range holds night sessions and a new main-contract period; the store's
    first 21 days when it has no such roll."""
    from vornix.api.history import _history

    store = _history.current_store()
    days = store.trading_days()
    if days.size == 0:
        raise ValueError("the bar store holds no trading days; write the sample market first")
    table = store.target_table()
    sessions = store.sessions()
    nights = set(sessions.loc[sessions["day_offset"] < 0, "calendar"])
    with_night = [c for c in TARGETS if c in table and table[c]["calendar"] in nights]
    found = _history.get_main_contract(with_night, int(days[0]), int(days[-1]))
    first = [d for dates, contracts in found.values()
             for d, a, b in zip(dates[1:], contracts[1:], contracts[:-1]) if a != b][:1]
    if not first:
        return int(days[0]), int(days[min(20, days.size - 1)])
    i = int(np.searchsorted(days, first[0]))
    return int(days[max(i - days_before, 0)]), int(days[min(i + days_after, days.size - 1)])


def self_audit(begin, end, cuts=8, seed=0, mains=MAINS):
    """Audit every registration kind under each main frequency over begin..end
    (yyyymmdd) of the configured store (the sample market); one report per main."""
    reports = []
    with tempfile.TemporaryDirectory(prefix="vx-self-audit-") as tmp:
        for frequency, count in mains:
            path = os.path.join(tmp, "self_%s%d.py" % (frequency, count))
            with open(path, "w", encoding="utf-8") as fh:
                fh.write(_STRATEGY.format(targets=TARGETS, frequency=frequency, count=count,
                                          begin=int(begin), end=int(end),
                                          bars=registrations(frequency)))
            reports.append(audit(path, cuts=cuts, seed=seed))
    return reports
