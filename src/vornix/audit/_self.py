"""The library's self-audit: every kind of registration, read at every step under
each main frequency, audited like a strategy."""

import os
import tempfile

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
