"""Setting up a run: input, target information, the main time line and series,
a second run in the same process, and refused set-ups."""

import numpy as np
import pytest

from vornix.api.history import _history
from vornix.api.subscribe import _subscribe
from vornix.runner import prepare_run
from vornix.tframe.sysdefine import GlobalDefine as gv
from vornix.tframe.utils.exceptions import VxConnectionError
from vxtest.support import free_port

BAR = gv.KMatrix_Bar_Len


def codes_of(market):
    return ["%s.%s" % (row[0], row[1]) for row in market.instruments]


def span(market):
    """A range inside the sample: after the first days, before the delisting."""
    return int(market.days[2]), int(market.days[22])


def test_fills_input_targets_and_instruments(run_state, monkeypatch):
    vr, market = run_state.vr, run_state.market
    codes = codes_of(market)
    begin, end = span(market)
    unlisted = "CFE.IF00"  # its record is given without a listing day
    real_info = _history.get_target_info

    def info_without_list_date(targets):
        records = real_info(targets)
        for r in records:
            if r["DotCode"] == unlisted:
                r["ListDate"] = 0
        return records

    monkeypatch.setattr(_history, "get_target_info", info_without_list_date)
    vr.g_VornixInputInfo.AccountNameList = ["acc-1"]
    given = [{"Market": "SH", "Code": "600000"}, codes[1].lower()] + codes[2:]
    reg_idx = prepare_run(given, "1d", 1, begin, end, gv.FQType_Forward)

    info = vr.g_VornixInputInfo
    assert info.TargetList == codes and info.TargetListDot == codes
    assert (info.KFrequency, info.KFrequencyI, info.KFreNum) == ("day", gv.KFreq_Day, 1)
    assert (info.BeginDate, info.EndDate, info.FQ) == (begin, end, gv.FQType_Forward)
    assert info.AccountNameList == ["acc-1"]
    assert reg_idx.shape == (len(codes), 4) and info.RefreshKDataIdx == int(reg_idx[0, 0])
    np.testing.assert_array_equal(reg_idx[:, 3], np.arange(len(codes)))

    assert list(vr.g_VornixTargetsInfo) == codes
    for row in market.instruments:
        code = "%s.%s" % (row[0], row[1])
        record = vr.g_VornixTargetsInfo[code]
        assert (record["Market"], record["Code"], record["Multiple"], record["MinMove"]) == (
            row[0], row[1], row[3], row[4])
        valid_from = begin if code == unlisted else row[5]
        store = vr.g_VornixInstrument
        assert store.get_by_offset(code, valid_from)[code] == [record]
        assert store.get_by_offset(code, valid_from - 1)[code] == [None]


def group_ends(times, day_pos, freq_num):
    """Times of the bars that close a run of freq_num bars of a day (and the day's last)."""
    if freq_num == 1:
        return times
    keep = []
    for day in np.unique(day_pos):
        cols = np.flatnonzero(day_pos == day)
        keep.extend(cols[freq_num - 1::freq_num])
        keep.append(cols[-1])
    return times[np.unique(keep)]


def combined_bar(karray, times, t0, t1, target):
    """Close and volume of the bar combined from the base bars with t0 < time <= t1."""
    block = karray[target * BAR:(target + 1) * BAR]
    cols = np.flatnonzero((times > t0) & (times <= t1))
    volume, close = block[gv.KMatrix_Volume, cols], block[gv.KMatrix_Close, cols]
    traded = volume > 0
    if traded.any():
        return close[traded][-1], volume[traded].sum()
    before = block[gv.KMatrix_Close, :cols[0]]
    before = before[np.isfinite(before)]
    return (before[-1] if before.size else np.nan), 0.0


@pytest.mark.parametrize("frequency, freq_num, fq_type", [
    ("min", 1, gv.FQType_None), ("min", 5, gv.FQType_Forward), ("day", 1, gv.FQType_Backward)])
def test_main_time_line_and_series(run_state, frequency, freq_num, fq_type):
    vr, env, market = run_state.vr, run_state.env, run_state.market
    codes = codes_of(market)
    begin, end = span(market)
    prepare_run(codes, frequency, freq_num, begin, end, fq_type)

    base = _history.get_k_data_multi({
        "targets": codes, "frequency": frequency, "freq_num": 1, "begin_date": begin,
        "end_date": end, "filled_up": True, "fq_type": fq_type, "need_show_ui_tip": False})
    karray, times = base["KArray"], base["TimeLine"]
    expected = group_ends(times, base["DayPos"], freq_num)
    dvf = vr.g_VornixDataValueFresh
    assert dvf.shape == (1, expected.size) and dvf.flags.c_contiguous
    np.testing.assert_array_equal(dvf[0], expected)
    np.testing.assert_array_equal(env.fresh_bar_timeline, expected)
    np.testing.assert_array_equal(vr.g_VornixCache.dvf_tl, expected)
    main = vr.g_VornixKDataList[vr.g_VornixInputInfo.RefreshKDataIdx]
    assert (main.KFrequency, main.KFreqNum) == (frequency, freq_num)
    np.testing.assert_array_equal(main.Matrix[gv.KMatrixPos_TimeLine], expected)

    fields = (("open", gv.KMatrix_Open), ("high", gv.KMatrix_High), ("low", gv.KMatrix_Low),
              ("close", gv.KMatrix_Close), ("volume", gv.KMatrix_Volume),
              ("open_interest", gv.KMatrix_OpenInterest))
    for step in (0, 1, expected.size // 2, expected.size - 1):
        vr.g_VornixSimCurBarFresh = step
        bar = env.get_bar(np.arange(len(codes)))
        assert list(bar["code"]) == codes
        np.testing.assert_array_equal(bar["time_bar"], expected[step])
        if freq_num == 1:  # the base bars themselves
            col = int(np.searchsorted(times, expected[step]))
            for name, field in fields:
                rows = np.arange(len(codes)) * BAR + field
                np.testing.assert_array_equal(bar[name], karray[rows, col])
        else:
            t0 = expected[step - 1] if step else -np.inf
            want = np.array([combined_bar(karray, times, t0, expected[step], t)
                             for t in range(len(codes))])
            np.testing.assert_allclose(bar["close"], want[:, 0], rtol=1e-12)
            np.testing.assert_allclose(bar["volume"], want[:, 1], rtol=1e-12)


def test_second_run_starts_clean_and_a_refused_one_changes_nothing(run_state):
    vr, market = run_state.vr, run_state.market
    codes = codes_of(market)
    begin, end = span(market)
    socket = vr.g_VornixSocket
    prepare_run(codes[:3], "day", 1, begin, end)
    _subscribe.reg_k_data("week", 1)
    vr.g_VornixSimCurBarFresh = 4
    first = (list(vr.g_VornixInputInfo.TargetList), len(vr.g_VornixKDataList),
             len(vr.g_VornixRegKDataInfo), vr.g_VornixDataValueFresh.shape)
    assert first[3][0] > 1  # the weekly registration added refresh rows

    with pytest.raises(ValueError, match="SH.999999"):
        prepare_run(codes[:2] + ["SH.999999"], "min", 5, begin, end)
    assert (list(vr.g_VornixInputInfo.TargetList), len(vr.g_VornixKDataList),
            len(vr.g_VornixRegKDataInfo), vr.g_VornixDataValueFresh.shape) == first

    prepare_run(codes[3:], "min", 5, begin, end)
    assert vr.g_VornixInputInfo.TargetList == codes[3:]
    assert list(vr.g_VornixTargetsInfo) == codes[3:]
    assert vr.g_VornixInstrument.get_by_offset(codes[0], end)[codes[0]] == [None]
    assert len(vr.g_VornixRegKDataInfo) == 1 and vr.g_VornixDataValueFresh.shape[0] == 1
    assert vr.g_VornixKDataList.find_pos(gv.KFreq_Week, 1) == -1
    assert vr.g_VornixKDataList.find_pos(gv.KFreq_Day, 1) == -1
    for name in ("_Adj", "UserD", "UserI"):
        assert getattr(vr, "g_VornixDataValueFresh" + name).size == 0
    assert len(vr.g_VornixKDataList_Adj) == 0 and len(vr.g_VornixRegKDataInfo_Adj) == 0
    assert np.isnan(vr.g_VornixSimCurBarFresh)
    assert vr.g_VornixSocket is socket and socket.is_connected()
    cache = vr.g_VornixCache
    assert cache.allow_comm_vx is True and cache.vx_version == run_state.core.version
    np.testing.assert_array_equal(cache.dvf_tl, vr.g_VornixDataValueFresh[0])


@pytest.mark.parametrize("change, error, match", [
    ({"frequency": "tick"}, ValueError, "tick"),
    ({"frequency": "hour"}, ValueError, "hour"),
    ({"freq_num": 0}, ValueError, "freq_num"),
    ({"freq_num": 2.0}, TypeError, "freq_num"),
    ({"freq_num": True}, TypeError, "freq_num"),
    ({"begin": None}, ValueError, "begin"),
    ({"end": 20230231}, ValueError, "20230231"),
    ({"swap_dates": True}, ValueError, "after"),
    ({"fq_type": 3}, ValueError, "fq_type"),
    ({"targets": []}, ValueError, "empty"),
    ({"targets": "SH.600000"}, TypeError, "SH.600000"),
    ({"targets": ["SH.600000", "sh.600000"]}, ValueError, "twice"),
    ({"targets": ["SH.600000", "SH.999999"]}, ValueError, "SH.999999"),
    ({"begin": 19900102, "end": 19900131}, ValueError, "no trading days between 19900102"),
    ({"core_down": True}, VxConnectionError, "cannot reach"),
])
def test_refused_set_up(run_state, change, error, match):
    vr = run_state.vr
    begin, end = span(run_state.market)
    kwargs = {"targets": codes_of(run_state.market), "frequency": "day", "freq_num": 1,
              "begin": begin, "end": end, "fq_type": 0}
    change = dict(change)
    if change.pop("swap_dates", False):
        kwargs["begin"], kwargs["end"] = end, begin
    if change.pop("core_down", False):
        vr.g_VornixSocket.port = free_port()
    kwargs.update(change)
    with pytest.raises(error, match=match):
        prepare_run(**kwargs)
    assert len(vr.g_VornixKDataList) == 0 and len(vr.g_VornixRegKDataInfo) == 0
    assert vr.g_VornixInputInfo.TargetList == [] and vr.g_VornixDataValueFresh.size == 0
