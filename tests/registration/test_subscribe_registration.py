"""The registration layer piece by piece: module surface, preconditions, the
registration index and codes, the fetch and synthesis steps against a stubbed
history service, the matrix cache read-back, and the window arguments."""

import datetime
import inspect
from collections import OrderedDict

import numpy as np
import pytest

from vornix.api.subscribe import _subscribe as sub
from vornix.api.subscribe import _windows
from vornix.runner import prepare_run
from vornix.tframe import sysstate as ss
from vornix.tframe.language import text
from vornix.tframe.sysdefine import GlobalDefine as gv
from vornix.tframe.uclass import KDataItem, RegKDataItem
from vornix.tframe.utils.exceptions import VxDataError
from vxtest.runs import fresh_state
from vxtest.support import kmatrix

MIN, DAY, WEEK, MONTH, TICK = gv.KFreq_Min, gv.KFreq_Day, gv.KFreq_Week, gv.KFreq_Month, gv.KFreq_Tick
BAR = gv.KMatrix_Bar_Len
ADJ = gv.Adj_KMatrix_Bar_Len


def stock_codes(market, n=6):
    return ["%s.%s" % (i[0], i[1]) for i in market.instruments if i[2] == "stock"][:n]


@pytest.fixture
def state(monkeypatch):
    """A fresh state store with three targets and no registration (no core, no store)."""
    var = fresh_state(monkeypatch).vr
    info = var.g_VornixInputInfo
    info.TargetList = ["SHSE.600000", "SHSE.600001", "SHSE.600002"]
    info.TargetListDot = list(info.TargetList)
    info.KFrequencyI, info.KFreNum = MIN, 1
    info.BeginDate, info.EndDate = 20240102, 20240103
    return var


@pytest.fixture
def short_run(run_state):
    """A one-minute run over the first five days of the sample market."""
    days = run_state.market.days
    codes = stock_codes(run_state.market)
    main_idx = prepare_run(codes, "min", 1, int(days[0]), int(days[4]))
    run_state.codes = codes
    run_state.main_idx = main_idx
    return run_state


# --------------------------------------------------------------------- module surface

TABLE = [
    ("get_instruments", ["target_idxs", "bar_pos", "length"], {"return": OrderedDict}),
    ("check_reg_k_data_precondition", ["frequency_i", "freq_num"], {"frequency_i": int, "freq_num": int}),
    ("gen_empty_reg_k_data_idx", ["targets_len", "adjust"], {"targets_len": int, "return": np.ndarray}),
    ("construct_k_data_reg_idx", ["frequency_i", "freq_num", "adjust"],
     {"frequency_i": int, "freq_num": int, "adjust": bool}),
    ("get_reg_idx", ["reg_id", "target_indices"], {"target_indices": np.ndarray}),
    ("fetch_1_freq_k_data", ["frequency", "date_span", "filled_up"], {}),
    ("synthetic_1_freq_k_data", ["frequency_i"], {"frequency_i": int}),
    ("synthetic_n_freq_k_data", ["frequency_i", "freq_num"], {"frequency_i": int, "freq_num": int}),
    ("synthetic_fresh_matrix", ["frequency_i", "freq_num"], {"frequency_i": int, "freq_num": int}),
    ("reg_k_data", ["frequency", "freq_num", "adjust"], {}),
    ("find_exchange_day", ["date_tl", "target_dict", "begin_date", "end_date"],
     {"date_tl": np.ndarray, "target_dict": dict, "begin_date": int, "end_date": int,
      "return": np.ndarray}),
    ("calc_1_freq_matrix_adj", ["frequency_i"], {}),
    ("synthetic_matrix_adj", ["frequency_i", "freq_num"], {}),
    ("synthetic_fresh_matrix_adj", ["frequency_i", "freq_num"], {}),
    ("reg_user_indices", ["indices_func"], {}),
    ("reg_user_data", ["time_line", "data"], {"time_line": np.ndarray, "data": np.ndarray}),
    ("reg_factor", ["factors", "targets", "begin_date", "end_date"], {"factors": list}),
    ("get_reg_user_indicator", ["reg_idx", "bar_pos", "length"], {"reg_idx": list}),
    ("get_reg_user_data", ["reg_idx", "bar_pos", "length"], {}),
    ("get_reg_k_data", ["reg_idx", "bar_pos", "length", "fill_up"], {}),
    ("get_reg_k_data_adj", ["reg_idx", "bar_pos", "length", "fill_up"], {}),
    ("get_reg_factor", ["reg_idx", "pos", "length"], {}),
]


@pytest.mark.parametrize("name, params, annotations", TABLE)
def test_function_metadata(name, params, annotations):
    fn = getattr(sub, name)
    assert fn.__name__ == name and fn.__module__ == "vornix.api.subscribe._subscribe"
    assert list(inspect.signature(fn).parameters) == params
    assert fn.__annotations__ == annotations


def test_defaults_and_bound_names():
    assert inspect.signature(sub.reg_k_data).parameters["adjust"].default is False
    assert inspect.signature(sub.get_instruments).parameters["length"].default == 1
    assert inspect.signature(sub.gen_empty_reg_k_data_idx).parameters["adjust"].default is False
    assert sub.cnt is ss and sub.gv is ss.gv and sub.smm is ss.smm
    functions = {n for n in dir(sub) if type(getattr(sub, n)) is type(sub.reg_k_data)}
    assert functions == {name for name, _, _ in TABLE} and len(TABLE) == 22
    assert not any("native" in name for name in dir(sub))


@pytest.mark.parametrize("call, error", [
    (lambda: sub.reg_k_data("day"), TypeError),
    (lambda: sub.get_reg_k_data(np.zeros((1, 4)), 0, 1), TypeError),
    (lambda: sub.check_reg_k_data_precondition(MIN, 1, 2), TypeError),
    (lambda: sub.check_reg_k_data_precondition("15", 1), TypeError),
    (lambda: sub.check_reg_k_data_precondition(1.5, 1), TypeError),
    (lambda: sub.check_reg_k_data_precondition(MIN, 2**31), OverflowError),
    (lambda: sub.gen_empty_reg_k_data_idx(-(2**31) - 1), OverflowError),
])
def test_bad_calls(state, call, error):
    with pytest.raises(error):
        call()


# --------------------------------------------------------------------- preconditions


@pytest.mark.parametrize("main, freq, num, message", [
    (DAY, MIN, 1, "ERROR_FREQ_NEED_GT_DAY"),
    (WEEK, DAY - 1, 1, "ERROR_FREQ_NEED_GT_DAY"),
    (DAY, DAY, 1, None),
    (DAY, MONTH, 2, None),
    (MIN, TICK, 1, "ERROR_FREQ_TOO_HIGH"),
    (MIN, MIN, 7, None),
    (MIN, DAY, 1, None),
    (TICK, TICK, 1, None),
    (TICK, TICK, 2, "ERROR_NOTSUPPORT_TICK_MULTI_FREQNUM"),
])
def test_precondition_rules(state, main, freq, num, message):
    state.g_VornixInputInfo.KFrequencyI = main
    if message is None:
        assert sub.check_reg_k_data_precondition(freq, num) is None
    else:
        with pytest.raises(ValueError) as err:
            sub.check_reg_k_data_precondition(np.int64(freq), num)
        assert err.value.args == (getattr(text, message),)


# --------------------------------------------------------------------- registration index


def test_empty_index():
    np.testing.assert_array_equal(
        sub.gen_empty_reg_k_data_idx(3),
        [[np.nan, 0, np.nan, 0], [np.nan, 0, np.nan, 1], [np.nan, 0, np.nan, 2]])
    adj = sub.gen_empty_reg_k_data_idx(2, adjust=1)
    assert adj.shape == (2, 7) and adj.dtype == np.float64
    np.testing.assert_array_equal(adj[:, 3], [0, 1])
    assert np.isnan(adj[:, [0, 2, 4, 6]]).all() and (adj[:, [1, 5]] == 0).all()
    assert sub.gen_empty_reg_k_data_idx(-4).shape == (0, 4)


def test_index_from_containers(state):
    for f in ("min", "day", "week"):
        state.g_VornixKDataList.append(KDataItem(KFrequency=f, KFreqNum=1))
    state.g_VornixRegKDataInfo.append(RegKDataItem(KFrequency="week", KFreNum=1, KMatrixPos=2,
                                                   RowBegin=10, RowEnd=10 + 3 * BAR))
    state.g_VornixRegKDataInfo.append(RegKDataItem(KFrequency="day", KFreNum=1, KMatrixPos=1))
    idx = sub.construct_k_data_reg_idx(WEEK, 1, False)
    np.testing.assert_array_equal(idx, [[2, 0, 10, 0], [2, 1, 10 + BAR, 1], [2, 2, 10 + 2 * BAR, 2]])
    day = sub.construct_k_data_reg_idx(DAY, 1, True)  # no rows, no adjusted data yet
    assert day.shape == (3, 7) and (day[:, 0] == 1).all() and np.isnan(day[:, [2, 4, 6]]).all()
    np.testing.assert_array_equal(day[:, 5], [0, 1, 2])
    assert np.isnan(sub.construct_k_data_reg_idx(MONTH, 1, False)[:, 0]).all()
    # a record whose rows do not hold one block per target is refused
    state.g_VornixRegKDataInfo.append(RegKDataItem(KFrequency="min", KFreNum=1, KMatrixPos=0,
                                                   RowBegin=1, RowEnd=1 + 2 * BAR))
    with pytest.raises(ValueError, match="2 target blocks for 3 targets"):
        sub.construct_k_data_reg_idx(MIN, 1, False)


def test_registration_codes(state):
    item = RegKDataItem(KFrequency="min", KFreNum=1, KMatrixPos=0)
    item.RegIdx = np.arange(12, dtype=float).reshape(3, 4) % 4 + np.array([0, 0, 0, 0])
    item.RegIdx[:, 3] = [0, 1, 2]
    state.g_VornixRegKDataInfo.append(item)
    np.testing.assert_array_equal(sub.get_reg_idx(1510, 0), item.RegIdx[0])
    np.testing.assert_array_equal(sub.get_reg_idx(1510, np.array([2, 0])), item.RegIdx[[2, 0]])
    assert sub.get_reg_idx(1511, np.array([0])) is None  # no adjusted registration
    assert sub.get_reg_idx(2010, np.array([0])) is None
    own = np.zeros((1, 4))
    assert sub.get_reg_idx(own, None) is own
    with pytest.raises(IndexError):
        sub.get_reg_idx(1510, np.array([3]))


# --------------------------------------------------------------------- fetch and synthesis (stubbed)


def stub_bars(n_targets, times, day_pos=None):
    times = np.asarray(times, dtype=float)
    karray = np.ones((BAR * n_targets, times.size))
    return {"TimeLine": times, "DayPos": np.zeros(times.size) if day_pos is None else day_pos,
            "KArray": karray, "TradeFreshPos": np.array([0])}


def test_fetch_errors_and_request(state, monkeypatch):
    state.g_VornixDataValueFresh = np.array([[100.5, 101.5]])
    seen = []

    def service(result):
        def get_k_data_multi(request):
            seen.append(request)
            return result
        return get_k_data_multi

    monkeypatch.setattr(sub, "get_k_data_multi", service(stub_bars(3, [])))
    with pytest.raises(ValueError) as err:
        sub.fetch_1_freq_k_data("min", 0, True)
    assert str(err.value).startswith(text.ERROR_EMPTY_TIMELINE + ", request: targets=")
    assert len(state.g_VornixKDataList) == 0
    assert seen[-1] == {"targets": state.g_VornixInputInfo.TargetList, "frequency": "min",
                        "freq_num": 1, "begin_date": 20240102, "end_date": 20240103,
                        "filled_up": True, "fq_type": 0, "need_show_ui_tip": True,
                        "head_rows": 3}

    monkeypatch.setattr(sub, "get_k_data_multi", service(stub_bars(2, [100.5, 101.5])))
    with pytest.raises(VxDataError, match=text.ERROR_KDATA_MISS):
        sub.fetch_1_freq_k_data("min", 0, True)
    assert len(state.g_VornixKDataList) == 0

    # look-back: with date_span 3 the fetch starts two trading days before a trading begin date
    monkeypatch.setattr(sub, "get_trading_days",
                        lambda b, e: np.array([20231228, 20231229, 20240102, 20240103]))
    monkeypatch.setattr(sub, "get_k_data_multi", service(stub_bars(3, [100.2, 100.5, 101.5])))
    assert sub.fetch_1_freq_k_data("min", 3, False) == 0
    assert seen[-1]["begin_date"] == 20231228 and seen[-1]["filled_up"] is False
    item = state.g_VornixKDataList[0]
    np.testing.assert_array_equal(item.Matrix[gv.KMatrixPos_FreshIdx], [0, 1, 1])
    np.testing.assert_array_equal(state.g_VornixAppendFreshPosition, [0])
    assert sub.fetch_1_freq_k_data("day", 0, True) == 1  # not the main's base: no flags
    assert not state.g_VornixKDataList[1].Matrix[gv.KMatrixPos_FreshIdx].any()
    # a main time line running past the fetched bars cannot be refreshed
    state.g_VornixDataValueFresh = np.array([[100.5, 102.5]])
    with pytest.raises(IndexError, match="main time line runs past"):
        sub.fetch_1_freq_k_data("min", 0, True)
    assert len(state.g_VornixKDataList) == 2
    # no look-back for a span of 0 or less, nor from a begin date after the last trading day
    for span, begin in ((0, 20240102), (-2, 20240102), (3, 20240104), (2.0, 20240102)):
        state.g_VornixInputInfo.BeginDate = begin
        sub.fetch_1_freq_k_data("day", span, True)
        assert seen[-1]["begin_date"] == (20231229 if span == 2.0 else begin)


def test_synthesis_order_and_failures(state, monkeypatch):
    state.g_VornixInputInfo.KFrequencyI = DAY
    state.g_VornixDataValueFresh = np.array([[100.6, 101.6, 102.6]])
    monkeypatch.setattr(sub, "get_k_data_multi", lambda r: stub_bars(3, [100.6, 101.6, 102.6], np.arange(3.0)))
    monkeypatch.setattr(sub, "can_cache", lambda end: False)
    calendar = {"week": (np.array([101.6, 102.6]), np.array([1.0, 2.0])), "month": (np.array([]), np.array([]))}
    monkeypatch.setattr(sub, "get_trading_time", lambda t, f, b, e: calendar[f])
    assert sub.synthetic_1_freq_k_data(WEEK) == 1
    day, week = state.g_VornixKDataList[0], state.g_VornixKDataList[1]
    assert (day.KFrequency, week.KFrequency, week.BaseKDataPos) == ("day", "week", 0)
    np.testing.assert_array_equal(week.BaseBegin, [0, 2])
    np.testing.assert_array_equal(week.BaseEnd, [1, 2])
    assert sub.synthetic_1_freq_k_data(WEEK) == 1  # reused, nothing appended
    with pytest.raises(ValueError, match=text.ERROR_EMPTY_TIMELINE):
        sub.synthetic_1_freq_k_data(MONTH)
    with pytest.raises(KeyError):
        sub.synthetic_1_freq_k_data(TICK)
    assert len(state.g_VornixKDataList) == 2
    assert sub.synthetic_n_freq_k_data(DAY, 1) == 0
    assert sub.synthetic_n_freq_k_data(DAY, 2) == 2
    two = state.g_VornixKDataList[2]
    assert two.FreComplete.dtype == bool and two.Matrix.shape[1] == two.FreComplete.sum() == 2
    assert sub.synthetic_n_freq_k_data(DAY, 2) == 2


# --------------------------------------------------------------------- the driver on the sample market


def test_repeated_registration_and_rows(short_run):
    vr = short_run.vr
    first_rows = vr.g_VornixDataValueFresh.shape[0]
    assert first_rows == 1 and np.isnan(short_run.main_idx[:, 2]).all()  # the main series has no rows
    five = sub.reg_k_data("min", 5)
    records = len(vr.g_VornixRegKDataInfo)
    np.testing.assert_array_equal(five[:, 2], 1 + BAR * np.arange(len(short_run.codes)))
    again = sub.reg_k_data("1m", np.int64(5), False)
    np.testing.assert_array_equal(again, five)
    assert len(vr.g_VornixRegKDataInfo) == records
    assert vr.g_VornixRegKDataInfo[records - 1].RegIdx is not None
    before = vr.g_VornixDataValueFresh
    kept = before.copy()
    day = sub.reg_k_data("day", 1)
    week = sub.reg_k_data("week", 1)
    assert day[0, 2] == 1 + BAR * len(short_run.codes)  # the next block starts where the last ended
    assert week[0, 2] == 1 + 2 * BAR * len(short_run.codes)
    # each registration rebinds the matrix; what an earlier matrix object showed stays as it was
    after = vr.g_VornixDataValueFresh
    assert after is not before and after.shape == (1 + 3 * BAR * len(short_run.codes), before.shape[1])
    np.testing.assert_array_equal(before, kept)
    np.testing.assert_array_equal(after[: kept.shape[0]], kept)
    np.testing.assert_array_equal(short_run.env.fresh_bar_timeline, kept[0])
    # the adjusted twin of a registered series adds adjusted rows, not unadjusted ones
    adj = sub.reg_k_data("day", 1, True)
    assert adj.shape == (len(short_run.codes), 7)
    np.testing.assert_array_equal(adj[:, :4], day)
    assert vr.g_VornixDataValueFresh.shape == after.shape
    assert vr.g_VornixDataValueFresh_Adj.shape == (ADJ * len(short_run.codes), after.shape[1])
    np.testing.assert_array_equal(adj[:, 6], ADJ * np.arange(len(short_run.codes)))
    np.testing.assert_array_equal(sub.reg_k_data("day", 1, True), adj)
    with pytest.raises(ValueError, match="unknown frequency"):
        sub.reg_k_data("fortnight", 1)
    with pytest.raises(ValueError, match=text.ERROR_FREQ_TOO_HIGH):
        sub.reg_k_data("tick", 1)
    assert len(vr.g_VornixRegKDataInfo) == records + 2


def test_cache_round_trip_and_misses(short_run, monkeypatch):
    """A warm registration reads the cached series back in a shape the retrieval
    takes (lists of flat arrays, int64 positions); a cached entry that does not
    fit the run is rebuilt instead of being used."""
    vr = short_run.vr
    days = short_run.market.days
    cold = sub.reg_k_data("min", 15)
    cold_item = vr.g_VornixKDataList[int(cold[0, 0])]
    windows = {fill: _windows.get_reg_k_data_values(cold, 700, 5, fill) for fill in (True, False)}

    loads = []
    real_load = sub.load_mat_cache

    def spy(directory, key):
        value = real_load(directory, key)
        loads.append(value is not None)
        return value

    monkeypatch.setattr(sub, "load_mat_cache", spy)
    prepare_run(short_run.codes, "min", 1, int(days[0]), int(days[4]))
    warm = sub.reg_k_data("min", 15)
    assert any(loads)
    item = vr.g_VornixKDataList[int(warm[0, 0])]
    np.testing.assert_array_equal(item.Matrix, cold_item.Matrix)
    assert isinstance(item.UnfilledIdx, list) and item.UnfilledIdx[0].dtype == np.int64
    for got, want in zip(item.UnfilledBarRef + item.UnfilledIdx, cold_item.UnfilledBarRef + cold_item.UnfilledIdx):
        np.testing.assert_array_equal(got, want)
    for fill, want in windows.items():
        np.testing.assert_array_equal(_windows.get_reg_k_data_values(warm, 700, 5, fill), want)

    # an entry whose current-bar table has another length is a miss
    def short_current(directory, key):
        value = real_load(directory, key)
        if value is not None and "CurrentBar" in value:
            value["CurrentBar"] = value["CurrentBar"][..., :-1]
        return value

    monkeypatch.setattr(sub, "load_mat_cache", short_current)
    prepare_run(short_run.codes, "min", 1, int(days[0]), int(days[4]))
    rebuilt = sub.reg_k_data("min", 15)
    item = vr.g_VornixKDataList[int(rebuilt[0, 0])]
    assert item.CurrentBar.size == vr.g_VornixDataValueFresh.shape[1]
    np.testing.assert_array_equal(item.Matrix, cold_item.Matrix)


# --------------------------------------------------------------------- window arguments


@pytest.fixture
def five(short_run):
    short_run.idx = sub.reg_k_data("min", 5)
    return short_run


def test_window_positions(five):
    idx, steps = five.idx, five.vr.g_VornixDataValueFresh.shape[1]
    last = _windows.get_reg_k_data_values(idx, steps - 1, 4, True)
    for pos in (np.nan, -1, float(steps - 1), np.int32(steps - 1)):
        np.testing.assert_array_equal(_windows.get_reg_k_data_values(idx, pos, 4, True), last)
    obj = sub.get_reg_k_data(idx, 7.0, 2, False)
    assert obj.dtype == object and obj.shape == (2 * len(five.codes), 2 + BAR)
    assert all(type(v) is int for v in obj[:, 0])
    assert all(type(v) is float for v in obj[:, 1:].ravel())
    assert sub.get_reg_k_data(idx, 3, 0, True).shape == (0, 2 + BAR)


@pytest.mark.parametrize("args, error, match", [
    (("nan", 5, 3, True), ValueError, "NaN"),
    ((None, 10**6, 3, True), IndexError, "outside the main time line"),
    ((None, -(10**6), 3, True), IndexError, "outside the main time line"),
    ((None, 2.5, 3, True), ValueError, "whole-number"),
    ((None, "3", 3, True), TypeError, "bar_pos"),
    ((None, 5, -1, True), ValueError, "length must not be negative"),
    ((None, 5, 2.0, True), TypeError, "length"),
    (("rows", 5, 3, True), ValueError, "shape"),
    (("target", 5, 3, False), IndexError, "names no target"),
    (("series", 5, 3, True), IndexError, "names no series"),
])
def test_window_refusals_leave_the_state_alone(five, args, error, match):
    vr = five.vr
    idx = five.idx.copy()
    if args[0] == "nan":
        idx[1, 0] = np.nan
    elif args[0] == "rows":
        idx = idx[:, :3]
    elif args[0] == "target":
        idx[0, 3] = len(five.codes)
    elif args[0] == "series":
        idx[0, 0] = len(vr.g_VornixKDataList)
    before = (vr.g_VornixDataValueFresh, len(vr.g_VornixKDataList), len(vr.g_VornixRegKDataInfo))
    for fn in (sub.get_reg_k_data, _windows.get_reg_k_data_values):
        with pytest.raises(error, match=match):
            fn(idx, *args[1:])
    after = (vr.g_VornixDataValueFresh, len(vr.g_VornixKDataList), len(vr.g_VornixRegKDataInfo))
    assert after[0] is before[0] and after[1:] == before[1:]


def test_instruments_as_of_a_step(five):
    assert sub.get_instruments([0], np.nan) == OrderedDict()
    assert sub.get_instruments([0], -1) == OrderedDict()
    got = sub.get_instruments([0, 1], 3, 2)
    assert list(got) == five.codes[:2]
    assert all(len(records) == 2 and records[-1]["DotCode"] == code for code, records in got.items())


# ------------------------------------------------------------------ adjustment factors


def _adjust_by_hand(state, monkeypatch, bars, contracts):
    """The adjusted day series of one target with the given day bars (open, close,
    volume) and main contract per day, from a hand-made day series."""
    from vornix.tframe.uclass import AdjKDataContainer, KDataContainer
    from vornix.tframe.utils.datetimefunc import int_date_to_ordinal

    first = datetime.date(2024, 1, 2)
    dates = [first + datetime.timedelta(days=i) for i in range(len(bars))]
    days = [d.year * 10000 + d.month * 100 + d.day for d in dates]
    times = [int_date_to_ordinal(d) + 0.625 for d in days]
    rows = [[o, max(o, c), min(o, c), c, v, 0.0, 0.0] for o, c, v in bars]
    state.g_VornixInputInfo.TargetList = state.g_VornixInputInfo.TargetListDot = ["SHF.RB00"]
    state.g_VornixKDataList = KDataContainer()
    state.g_VornixKDataList_Adj = AdjKDataContainer()
    state.g_VornixKDataList.append(
        KDataItem(KFrequency="day", KFreqNum=1, Matrix=kmatrix(times, [np.array(rows).T])))
    monkeypatch.setattr(sub, "get_main_contract",
                        lambda targets, b, e: {"SHF.RB00": (days, contracts)})
    pos = sub.calc_1_freq_matrix_adj(DAY)
    item = state.g_VornixKDataList_Adj[pos]
    a = item.Matrix
    return a[gv.Adj_KMatrix_Open], a[gv.Adj_KMatrix_Close], item.AdjCalcPos["SHF.RB00"]


def test_adjustment_links_traded_bars_and_keeps_filled_ones(state, monkeypatch):
    # contract B's first day does not trade (a filled bar at A's close): the
    # ratio comes from its second day, and the filled bar keeps A's factor
    bars = [(10, 11, 5), (11, 12, 5), (12, 12, 0), (24, 26, 5), (26, 27, 5), (54, 50, 5)]
    op, cl, book = _adjust_by_hand(state, monkeypatch, bars, ["A", "A", "B", "B", "B", "C"])
    np.testing.assert_allclose(op, [10, 11, 12, 12, 13, 13.5])
    np.testing.assert_allclose(cl, [11, 12, 12, 13, 13.5, 12.5])
    assert book == [6, 12 * 27, 24 * 54]
    # a period without a traded bar changes nothing
    bars = [(10, 11, 5), (11, 11, 0), (12, 13, 5)]
    op, cl, book = _adjust_by_hand(state, monkeypatch, bars, ["A", "B", "C"])
    np.testing.assert_allclose(op, [10, 11, 11])
    assert book == [3, 11, 12]


def test_hundreds_of_changes_stay_finite_and_without_jumps(state, monkeypatch):
    # each day a new contract whose price sits 1e30 above the last: the plain
    # products of closes and opens would overflow after ten changes
    n = 400
    price = [1e30 * (1 + (i % 3)) for i in range(n)]
    bars = [(p, p * 1.01, 1.0) for p in price]
    op, cl, book = _adjust_by_hand(state, monkeypatch, bars, [str(i) for i in range(n)])
    assert np.isfinite(op).all() and np.isfinite(cl).all()
    np.testing.assert_allclose(op[1:], cl[:-1], rtol=1e-12)
    assert np.isfinite(book[1]) and np.isfinite(book[2]) and book[1] > 0
