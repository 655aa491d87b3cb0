"""The kernels and the history service agree: day bars synthesised from the
store's minute bars equal the store's day bars, and the bar in progress at the
last minute of a day is the complete day bar.

The one difference is by design: while a target is not listed (before its
listing, after its delisting) its bars are NaN in the store, while a combined
group of such bars is a filled bar: the last close before it (NaN if none),
zero volume and turnover, the last open interest."""

import numpy as np
import pytest

from vornix.api.history import _history
from vornix.tframe import ualgo
from vornix.tframe.sysdefine import GlobalDefine as gv
from vxtest.support import kmatrix

VOLUME_ROWS = (gv.KMatrix_Volume, gv.KMatrix_TurnOver)


def fetch(targets, frequency, begin, end, fq_type):
    r = _history.get_k_data_multi({
        "targets": targets, "frequency": frequency, "freq_num": 1, "begin_date": begin,
        "end_date": end, "filled_up": True, "fq_type": fq_type, "need_show_ui_tip": False,
    })
    karray = r["KArray"]
    blocks = [karray[k:k + gv.KMatrix_Bar_Len] for k in range(0, karray.shape[0], gv.KMatrix_Bar_Len)]
    return kmatrix(r["TimeLine"], blocks, day_pos=r["DayPos"])


def last_known_before(row):
    """Per column, the last non-NaN value of `row` in an earlier column."""
    idx = np.where(np.isnan(row), -1, np.arange(row.size))
    idx = np.maximum.accumulate(np.r_[-1, idx[:-1]])
    return np.where(idx >= 0, row[np.maximum(idx, 0)], np.nan)


def assert_same_bars(combined, day, n_targets):
    """Bodies equal; not-listed days of the store are filled bars in `combined`."""
    for t in range(n_targets):
        rows = gv.bar_item_pos(np.arange(gv.KMatrix_Bar_Len), t)
        got, want = combined[rows], day[rows].copy()
        unlisted = np.isnan(want[gv.KMatrix_Volume])
        prev_close = last_known_before(want[gv.KMatrix_Close])
        prev_oi = last_known_before(want[gv.KMatrix_OpenInterest])
        for f in (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close):
            want[f, unlisted] = prev_close[unlisted]
        for f in VOLUME_ROWS:
            want[f, unlisted] = 0.0
        want[gv.KMatrix_OpenInterest, unlisted] = prev_oi[unlisted]
        np.testing.assert_allclose(got, want, rtol=1e-9, equal_nan=True)


@pytest.mark.parametrize("fq_type", [gv.FQType_None, gv.FQType_Backward])
def test_day_bars_are_the_combination_of_minute_bars(use_sample, fq_type):
    targets = ["%s.%s" % (i[0], i[1]) for i in use_sample.instruments]
    days = _history.get_trading_days(0, 99999999)
    begin, end = int(days[0]), int(days[-1])
    minutes = fetch(targets, "min", begin, end, fq_type)
    day = fetch(targets, "day", begin, end, fq_type)
    assert np.isnan(day[gv.KMatrixPos_Head_len:]).any()  # a target listed late
    begin_pos, end_pos = ualgo.vxCalcKDataBeginEndPos(minutes[gv.KMatrixPos_TimeLine],
                                                      day[gv.KMatrixPos_TimeLine])
    combined = ualgo.vxCalcCombineMatrixHtoL(minutes, day, begin_pos, end_pos, gv.KMatrix_Bar_Len, 0)
    assert_same_bars(combined, day, len(targets))

    # the bar in progress at each day's last minute is that day's bar
    bp, ep = ualgo.vxCalcRegKDataBeginEndPos(minutes[gv.KMatrixPos_TimeLine],
                                             day[gv.KMatrixPos_TimeLine], 0)
    fresh = ualgo.vxCalcDataValueFresh(minutes, bp, ep, gv.KMatrix_Bar_Len, len(targets), 0)
    last_minute = np.searchsorted(minutes[gv.KMatrixPos_TimeLine], day[gv.KMatrixPos_TimeLine])
    in_progress = np.zeros_like(day)
    in_progress[gv.KMatrixPos_Head_len:] = fresh[1:, last_minute]
    assert_same_bars(in_progress, day, len(targets))
