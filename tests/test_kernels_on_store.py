"""The kernels and the history service agree: day bars synthesised from the
store's minute bars equal the store's day bars, and the bar in progress at the
last minute of a day is the complete day bar."""

import numpy as np
import pytest

from vornix.api.history import _history
from vornix.tframe import ualgo
from vornix.tframe.sysdefine import GlobalDefine as gv


def fetch(targets, frequency, begin, end, fq_type=gv.FQType_None):
    r = _history.get_k_data_multi({
        "targets": targets, "frequency": frequency, "freq_num": 1, "begin_date": begin,
        "end_date": end, "filled_up": True, "fq_type": fq_type, "need_show_ui_tip": False,
    })
    m = np.zeros((gv.KMatrixPos_Head_len + r["KArray"].shape[0], r["TimeLine"].size))
    m[gv.KMatrixPos_TimeLine] = r["TimeLine"]
    m[gv.KMatrixPos_DayPos] = r["DayPos"]
    m[gv.KMatrixPos_Head_len:] = r["KArray"]
    return m


@pytest.mark.parametrize("fq_type", [gv.FQType_None, gv.FQType_Backward])
def test_day_bars_are_the_combination_of_minute_bars(use_sample, fq_type):
    targets = ["%s.%s" % (i[0], i[1]) for i in use_sample.instruments]
    days = _history.get_trading_days(0, 99999999)
    begin, end = int(days[0]), int(days[-1])
    minutes = fetch(targets, "min", begin, end, fq_type)
    day = fetch(targets, "day", begin, end, fq_type)
    begin_pos, end_pos = ualgo.vxCalcKDataBeginEndPos(minutes[gv.KMatrixPos_TimeLine],
                                                      day[gv.KMatrixPos_TimeLine])
    combined = ualgo.vxCalcCombineMatrixHtoL(minutes, day, begin_pos, end_pos, gv.KMatrix_Bar_Len, 0)
    body = slice(gv.KMatrixPos_Head_len, None)
    np.testing.assert_allclose(combined[body], day[body], rtol=1e-9, equal_nan=True)

    # the bar in progress at each day's last minute is that day's bar
    bp, ep = ualgo.vxCalcRegKDataBeginEndPos(minutes[gv.KMatrixPos_TimeLine],
                                             day[gv.KMatrixPos_TimeLine], 0)
    fresh = ualgo.vxCalcDataValueFresh(minutes, bp, ep, gv.KMatrix_Bar_Len, len(targets), 0)
    last_minute = np.searchsorted(minutes[gv.KMatrixPos_TimeLine], day[gv.KMatrixPos_TimeLine])
    np.testing.assert_allclose(fresh[1:, last_minute], day[body], rtol=1e-9, equal_nan=True)
