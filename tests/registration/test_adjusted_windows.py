"""Price-adjusted bar series, end to end: runs on the sample market register
adjusted series with `reg_k_data(frequency, count, True)`, and every adjusted
window (`get_reg_k_data_adj` and its float64 twin) is compared with an
independent recomputation: the raw bars of the history service, adjusted here
with plain numpy by the main-contract rule below, then windowed by the
unadjusted window rules of kdata_reference.

Adjustment rule (per target with main-contract data; stocks keep raw prices):
the main-contract table (history service, limited to the line's first and last
day) falls into periods, maximal runs of consecutive table rows with one
contract; a period covers the bars whose trading day lies in [its first day,
its last day].  Period 0 keeps raw prices.  At each later period, with a = its
first bar with volume > 0 and a finite open and b = the last bar before the
period with volume > 0 and a finite close, M *= close[b] and D *= open[a]
(both cumulative from 1; nothing changes when a or b is missing).  Bars of the
period from a on become price * M / D, the filled bars before a keep the M, D of
the period before; bars outside every later period stay raw.  Only open, high,
low and close change.

Day, week and month series are built from adjusted day bars, minute series
from adjusted minute bars, and the bar in progress from the adjusted bars of
the main frequency's base.  On the sample market day bars are combinations of
the minute bars, so the old close / new open of a change are the same numbers
on both lines and the two bases give the same ratios: the recomputation relies
on that when it builds a minute main's day bars in progress from adjusted
minutes.

Also here: the recomputation itself against hand-computed bars and a plain-loop
version; the positions of the contract periods (`find_exchange_day`) for hand
tables; no jump at a change; bars in progress at a group's end; the matrix
cache; refused calls; no look-ahead."""

import datetime
import math
import os
import shutil
from types import SimpleNamespace

import kdata_reference as kr
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from test_kdata_windows import (
    _changed_store,
    _mat_files,
    _steps_up_to,
    assert_same_window,
    label,
    read_window,
)

from vornix.api.history._history import HistoryStore, get_main_contract
from vornix.api.subscribe import _subscribe, _windows
from vornix.runner import prepare_run
from vornix.tframe.language import text
from vornix.tframe.sysdefine import GlobalDefine as gv
from vxtest.runs import fresh_run_state
from vxtest.settings import kernel_settings

FUTURES = ("CFE.IF00", "SHF.RB00")
SPLIT_STOCK, LATE_STOCK = 2, 4  # sample stocks: a 2-for-1 split (raw prices jump), listed mid-range
MAIN_OF = {"min1": ("min", 1), "day1": ("day", 1)}
REGS = {"min1": [("min", 1), ("min", 5), ("day", 1), ("week", 1)], "day1": [("day", 1), ("week", 1)]}
PRICES = slice(kr.OP, kr.CL + 1)


def run_codes(market):
    stocks = ["%s.%s" % row[:2] for row in market.instruments if row[2] == "stock"]
    return list(FUTURES) + [stocks[SPLIT_STOCK], stocks[LATE_STOCK]]


def full_range(market):
    return int(market.days[0]), int(market.days[-1])


def day_number(yyyymmdd):
    """Time-line day number of an integer date (kdata_reference.day_date inverted)."""
    y, m, d = int(yyyymmdd) // 10000, int(yyyymmdd) // 100 % 100, int(yyyymmdd) % 100
    return datetime.date(y, m, d).toordinal() + 366


def yyyymmdd(time):
    return int(kr.day_date(time).strftime("%Y%m%d"))


def snapshot(vr):
    return (
        len(vr.g_VornixKDataList),
        len(vr.g_VornixRegKDataInfo),
        len(vr.g_VornixKDataList_Adj),
        len(vr.g_VornixRegKDataInfo_Adj),
        vr.g_VornixDataValueFresh.shape,
        np.shape(vr.g_VornixDataValueFresh_Adj),
    )


def read_adj_window(reg_idx, s, length, fill_up):
    return read_window(reg_idx, s, length, fill_up, read=_subscribe.get_reg_k_data_adj)


def adj_series(vr, frequency, count):
    """The adjusted series item of (frequency, count) in vr.g_VornixKDataList_Adj."""
    found = [a for a in vr.g_VornixKDataList_Adj if (a.KFrequency, a.KFreqNum) == (frequency, count)]
    assert len(found) == 1, (frequency, count)
    return found[0]


def adj_prices(item, t):
    """Open, high, low and close rows of target t in an adjusted series: (4, bars)."""
    rows = [gv.Adj_KMatrix_Open, gv.Adj_KMatrix_High, gv.Adj_KMatrix_Low, gv.Adj_KMatrix_Close]
    return np.asarray(item.Matrix)[[t * gv.Adj_KMatrix_Bar_Len + r for r in rows]]


# ===================================================================== the recomputation


def contract_periods(table):
    """(first day, last day) day numbers of every maximal run of consecutive table
    rows with one contract; table = (yyyymmdd days, contracts) or None."""
    if table is None or len(table[0]) == 0:
        return []
    days = np.array([day_number(d) for d in table[0]], dtype=np.int64)
    contracts = np.asarray(table[1], dtype=object)
    starts = np.flatnonzero(np.r_[True, contracts[1:] != contracts[:-1]])
    ends = np.r_[starts[1:] - 1, days.size - 1]
    return list(zip(days[starts], days[ends]))


def trading_days_of(times):
    """The trading day (day number) of each bar time: its date, but a night-session
    bar belongs to the next trading day (after 18:00: the next one; before 06:00:
    the first on or after its date, so a Friday night's bars belong to Monday)."""
    from vornix.api.history._history import get_trading_days

    days = np.array([day_number(d) for d in get_trading_days(0, 99999999)], dtype=np.float64)
    times = np.asarray(times, dtype=np.float64)
    day = np.floor(times)
    hours = (times - day) * 24
    after = days[np.minimum(np.searchsorted(days, day, side="right"), days.size - 1)]
    on_or_after = days[np.minimum(np.searchsorted(days, day, side="left"), days.size - 1)]
    return np.where(hours > 18, after, np.where(hours < 6, on_or_after, day))


def adjust_values(values, bar_days, periods):
    """Adjusted copy of one target's bars, values (7, n), bar_days the trading day
    of each bar (see trading_days_of)."""
    n = values.shape[1]
    bar_days = np.asarray(bar_days)
    opened = (values[kr.VOL] > 0) & np.isfinite(values[kr.OP])
    closed = (values[kr.VOL] > 0) & np.isfinite(values[kr.CL])
    last_closed = np.maximum.accumulate(np.where(closed, np.arange(n), -1)) if n else closed
    mult, div = np.ones(n), np.ones(n)
    m = d = 1.0
    for first, last in periods[1:]:
        cols = np.flatnonzero((bar_days >= first) & (bar_days <= last))
        if cols.size == 0:
            continue
        mult[cols], div[cols] = m, d
        a = cols[opened[cols]]
        b = last_closed[cols[0] - 1] if cols[0] > 0 else -1
        if a.size and b >= 0:
            m *= values[kr.CL, b]
            d *= values[kr.OP, a[0]]
            mult[a[0] : cols[-1] + 1], div[a[0] : cols[-1] + 1] = m, d
    out = values.copy()
    out[PRICES] = values[PRICES] * mult / div  # product first, then the division
    return out


def naive_adjust(values, bar_days, table):
    """adjust_values with plain loops, straight from the table."""
    runs = []
    for day, contract in zip(*table):
        if runs and runs[-1][2] == contract:
            runs[-1][1] = day_number(day)
        else:
            runs.append([day_number(day), day_number(day), contract])
    n = len(bar_days)
    val = [[float(x) for x in row] for row in values]
    out = [list(row) for row in val]

    def traded(i, field):
        return val[kr.VOL][i] > 0 and math.isfinite(val[field][i])

    m = d = 1.0
    for j, (first, last, _) in enumerate(runs):
        members = [i for i in range(n) if first <= bar_days[i] <= last]
        if j == 0 or not members:
            continue
        a = next((i for i in members if traded(i, kr.OP)), None)
        b = next((i for i in range(members[0] - 1, -1, -1) if traded(i, kr.CL)), None)
        before = (m, d)
        if a is not None and b is not None:
            m, d = m * val[kr.CL][b], d * val[kr.OP][a]
        for i in members:
            mi, di = (m, d) if a is not None and i >= a else before
            for f in range(kr.OP, kr.CL + 1):
                out[f][i] = val[f][i] * mi / di
    return np.array(out, dtype=np.float64)


def main_tables(codes, bars):
    """The history service's main-contract table of each code over the bars' days (None
    for targets without one)."""
    begin, end = yyyymmdd(bars.times[0]), yyyymmdd(bars.times[-1])
    found = get_main_contract(list(codes), begin, end)
    return [found.get(code) for code in codes]


def adjusted_bars(codes, bars):
    if bars is None:
        return None
    days = trading_days_of(bars.times)
    tables = main_tables(codes, bars)
    values = np.stack(
        [adjust_values(bars.values[t], days, contract_periods(table)) for t, table in enumerate(tables)]
    )
    return kr.Bars(bars.times, bars.day_pos, values)


def adjusted_market(codes, market):
    """The raw market with each base line adjusted on its own bars."""
    return kr.Market(adjusted_bars(codes, market.minute), adjusted_bars(codes, market.day))


# --------------------------------------------------------------------- the recomputation itself


def _hand_bars(volume_d6):
    """Eight day bars d0..d7 of (open, close, volume); high = open + 1, low = close - 1."""
    bars = [(9, 10, 1), (10, 11, 1), (11, 12, 1), (12, 12, 0), (24, 26, 5), (26, 28, 3), (7, 7.5, volume_d6),
            (8, 8, 1)]
    o, c, v = (np.array(x, dtype=float) for x in zip(*bars))
    return np.array([o, o + 1, c - 1, c, v, v * 100, np.zeros(8)])


# the table covers d1..d6 (d0 before it, d7 after it): A on d1, d2; B on d3..d5; A again on d6
_HAND_START = 20230306  # a Monday
_HAND_DAYS = [_HAND_START + k for k in range(8)]
_HAND_TABLE = (_HAND_DAYS[1:7], ["A", "A", "B", "B", "B", "A"])
_HAND_CASES = {
    # d3: B's filled bar keeps factor 1; from d4 on 12 / 24; A's return: 12 * 28 / (24 * 7) = 2
    "both-changes": (2, [(9, 10), (10, 11), (11, 12), (12, 12), (12, 13), (13, 14), (14, 15), (8, 8)]),
    # no trade after the return of A: the period keeps the factor in force (1/2); d7 stays raw
    "untraded-period": (0, [(9, 10), (10, 11), (11, 12), (12, 12), (12, 13), (13, 14), (3.5, 3.75), (8, 8)]),
}


@pytest.mark.parametrize("case", sorted(_HAND_CASES))
def test_adjustment_on_hand_computed_bars(case):
    volume_d6, expected = _HAND_CASES[case]
    values = _hand_bars(volume_d6)
    days = [day_number(d) for d in _HAND_DAYS]
    o, c = (np.array(x, dtype=float) for x in zip(*expected))
    want = values.copy()
    factor_o, factor_c = o / values[kr.OP], c / values[kr.CL]
    want[kr.OP], want[kr.HI], want[kr.LO], want[kr.CL] = o, o + factor_o, c - factor_c, c
    vectorised = adjust_values(values, days, contract_periods(_HAND_TABLE))
    for got in (vectorised, naive_adjust(values, days, _HAND_TABLE)):
        np.testing.assert_array_equal(got, want, err_msg=case)


@st.composite
def contract_lines(draw):
    """A bar line of 1..8 trading days (one or several bars a day), a main-contract table
    over a subset of days that may start before and end after the line, contracts that
    come back, bars without volume and NaN prices."""
    n_days = draw(st.integers(1, 8))
    per_day = draw(st.integers(1, 3))
    start = datetime.date(2023, 3, 1)
    line_days = [start + datetime.timedelta(days=k) for k in range(2, 2 + n_days)]
    bar_days = [day.toordinal() + 366 for day in line_days for _ in range(per_day)]
    table_range = [start + datetime.timedelta(days=k) for k in range(n_days + 4)]
    picked = draw(st.lists(st.booleans(), min_size=len(table_range), max_size=len(table_range)))
    table_days = [int(day.strftime("%Y%m%d")) for day, keep in zip(table_range, picked) if keep]
    contracts = draw(st.lists(st.sampled_from("ABC"), min_size=len(table_days), max_size=len(table_days)))
    n = len(bar_days)
    price = st.one_of(st.floats(1, 1000), st.just(float("nan")))
    volume = st.sampled_from([0.0, 0.0, 3.0, 100.0, float("nan")])
    values = np.array(
        [draw(st.lists(price, min_size=n, max_size=n)) for _ in range(4)]
        + [draw(st.lists(volume, min_size=n, max_size=n)), [7.0] * n, [1.0] * n]
    )
    return bar_days, (table_days, contracts), values


@kernel_settings
@given(case=contract_lines())
def test_adjustment_equals_plain_loops(case):
    bar_days, table, values = case
    got = adjust_values(values, bar_days, contract_periods(table))
    np.testing.assert_array_equal(got, naive_adjust(values, bar_days, table))
    np.testing.assert_array_equal(got[kr.VOL :], values[kr.VOL :])


# ===================================================================== contract periods


def _fake_table(table, calls):
    def fake(targets, begin, end):
        calls.append((list(targets), begin, end))
        return {} if table is None else {"CFE.IF00": table}

    return fake


_D = [20230306, 20230307, 20230308, 20230309, 20230310]  # Monday to Friday
_EXCHANGE_CASES = {  # table, line (dates, bars per day), expected positions
    "returning-contract": ((_D, list("AABBA")), (_D, 1), [0, 2, 2, 4, 4, 5]),
    "one-contract": ((_D, list("AAAAA")), (_D, 1), [0, 5]),
    "empty-table": (None, (_D, 1), []),
    "empty-pair": (([], []), (_D, 1), []),
    "before-the-line": (([20230301, 20230302], list("AB")), (_D, 1), [0, 0, 0, 0]),
    "after-the-line": (([20230313, 20230314], list("AA")), (_D, 1), [5, 5]),
    "straddling": (([20230303, 20230306, 20230308, 20230313], list("AABB")), (_D, 1), [0, 1, 2, 5]),
    # a minute line, three bars a day: a run covers a day missing from the table ...
    "minute-line": ((_D[:2] + _D[3:], list("AAAB")), (_D, 3), [0, 12, 12, 15]),
    # ... but a day missing between two runs lies in neither
    "minute-line-gap": ((_D[:2] + _D[3:], list("AABB")), (_D, 3), [0, 6, 9, 15]),
}


@pytest.mark.parametrize("case", sorted(_EXCHANGE_CASES))
def test_find_exchange_day_on_hand_tables(monkeypatch, case):
    table, (dates, per_day), expected = _EXCHANGE_CASES[case]
    calls = []
    monkeypatch.setattr(_subscribe, "get_main_contract", _fake_table(table, calls))
    line = np.repeat([float(day_number(d)) for d in dates], per_day)
    got = _subscribe.find_exchange_day(line, "CFE.IF00", 20230306, 20230310)
    assert calls == [(["CFE.IF00"], 20230306, 20230310)]
    np.testing.assert_array_equal(got, np.array(expected, dtype=np.int64))


def test_find_exchange_day_refuses_a_date_beyond_32_bits(monkeypatch):
    monkeypatch.setattr(_subscribe, "get_main_contract", _fake_table((_D, list("AABBA")), []))
    with pytest.raises(OverflowError):
        _subscribe.find_exchange_day(np.array([738951.0]), "CFE.IF00", 2**31, 20230310)


@kernel_settings
@given(case=contract_lines())
def test_find_exchange_day_bounds_the_periods(case):
    """Period j of the table covers bars [p[2j], p[2j+1]) of the line."""
    bar_days, table, _ = case
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_subscribe, "get_main_contract", _fake_table(table, []))
        got = _subscribe.find_exchange_day(np.array(bar_days, dtype=float), "CFE.IF00", 20230301, 20230320)
    periods = contract_periods(table)
    assert len(got) == 2 * len(periods)
    for j, (first, last) in enumerate(periods):
        covered = np.flatnonzero((np.array(bar_days) >= first) & (np.array(bar_days) <= last))
        np.testing.assert_array_equal(np.arange(got[2 * j], got[2 * j + 1]), covered)


# ===================================================================== end to end


@pytest.fixture(scope="module")
def adj_reference(sample_market):
    """Raw and adjusted bars of the run's targets (two futures, two stocks) over the
    whole range."""
    path, market = sample_market
    codes = run_codes(market)
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("VX_STORE_DIR", path)
        raw = kr.Market.from_history(codes, *full_range(market))
        return SimpleNamespace(codes=codes, raw=raw, adjusted=adjusted_market(codes, raw), market=market)


@pytest.fixture(scope="module")
def adj_sweep(request, sample_market, adj_reference, tmp_path_factory):
    """A run under the main frequency named by indirect parametrization ("min1",
    "day1") with the adjusted series of REGS registered, and its recomputation."""
    path, market = sample_market
    main = MAIN_OF[request.param]
    cache = tmp_path_factory.mktemp("core-cache")
    with pytest.MonkeyPatch.context() as mp, fresh_run_state(mp, cache, path) as state:
        prepare_run(adj_reference.codes, main[0], main[1], *full_range(market))
        idx = {reg: _subscribe.reg_k_data(*reg, True) for reg in REGS[request.param]}
        run = kr.Run(adj_reference.adjusted, *main)
        yield SimpleNamespace(main=main, idx=idx, run=run, state=state, ref=adj_reference)


def under(*mains):
    return pytest.mark.parametrize("adj_sweep", list(mains), indirect=True)


# --------------------------------------------------------------------- no jump at a change


def _rolls(market, code):
    """Day numbers of the first days of the second and later contracts of a future."""
    rows = [(date, contract) for target, date, contract in market.main if target == code]
    return [day_number(d) for (d, c), (_, before) in zip(rows[1:], rows) if c != before]


@under("min1")
@pytest.mark.parametrize("frequency", ["min", "day"])
def test_no_jump_where_the_main_contract_changes(adj_sweep, frequency):
    """The adjusted open of each new contract's first traded bar continues the adjusted
    close of the last traded bar before it; the first contract keeps raw prices, and so
    do the stocks."""
    sw = adj_sweep
    raw = sw.ref.raw.minute if frequency == "min" else sw.ref.raw.day
    item = adj_series(sw.state.vr, frequency, 1)
    k_item = [k for k in sw.state.vr.g_VornixKDataList if (k.KFrequency, k.KFreqNum) == (frequency, 1)][0]
    np.testing.assert_array_equal(np.asarray(k_item.Matrix)[gv.KMatrixPos_TimeLine], raw.times)
    days = trading_days_of(raw.times)
    for t, code in enumerate(sw.ref.codes):
        got = adj_prices(item, t)
        if code not in FUTURES:
            np.testing.assert_array_equal(got, raw.values[t, PRICES], err_msg=code)
            continue
        rolls = _rolls(sw.ref.market, code)
        assert len(rolls) >= 3
        traded = raw.values[t, kr.VOL] > 0
        first_roll = np.searchsorted(days, rolls[0])
        np.testing.assert_array_equal(got[:, :first_roll], raw.values[t, PRICES, :first_roll], err_msg=code)
        assert not np.allclose(got[:, first_roll:], raw.values[t, PRICES, first_roll:], rtol=1e-6), code
        for roll in rolls:
            start = np.searchsorted(days, roll)
            a = start + np.flatnonzero(traded[start:])[0]
            b = np.flatnonzero(traded[:start])[-1]
            np.testing.assert_allclose(got[0, a], got[3, b], rtol=1e-9, atol=0, err_msg=str((code, roll)))


# --------------------------------------------------------------------- windows


def test_registration_indexes(adj_reference, run_state):
    """Adjusted indexes: seven columns, the adjusted series of the registration, the
    target's block, and adjusted refresh rows except for the main series."""
    market = run_state.market
    prepare_run(adj_reference.codes, "min", 1, *full_range(market))
    vr = run_state.vr
    n = len(adj_reference.codes)
    # a true value other than True: seven columns, no adjusted series made
    plain = _subscribe.reg_k_data("day", 1, 1)
    assert plain.shape == (n, 7) and np.isnan(plain[:, [4, 6]]).all()
    np.testing.assert_array_equal(plain[:, 5], np.arange(n))
    assert len(vr.g_VornixKDataList_Adj) == 0 and len(vr.g_VornixRegKDataInfo_Adj) == 0
    for reg in REGS["min1"]:
        reg_idx = _subscribe.reg_k_data(*reg, True)
        assert reg_idx.dtype == np.float64 and reg_idx.shape == (n, 7)
        np.testing.assert_array_equal(reg_idx[:, 5], np.arange(n))
        series = vr.g_VornixKDataList_Adj[int(reg_idx[0, 4])]
        assert (series.KFrequency, series.KFreqNum) == reg
        assert np.isnan(reg_idx[:, 6]).all() == (reg == ("min", 1))
        np.testing.assert_array_equal(_subscribe.reg_k_data(*reg), reg_idx[:, :4])
        # the codes frequency * 100 + count * 10 + flag name the rows of the index, which
        # both records keep
        code = gv.frequency_to_int(reg[0]) * 100 + reg[1] * 10
        for flag in (0, 1):
            np.testing.assert_array_equal(_subscribe.get_reg_idx(code + flag, np.array([2, 0])), reg_idx[[2, 0]])


_FILL = pytest.mark.parametrize("fill_up", [True, False], ids=["fill", "real"])


@_FILL
@pytest.mark.parametrize(
    "adj_sweep, reg",
    [("min1", r) for r in REGS["min1"]] + [("day1", r) for r in REGS["day1"]],
    indirect=["adj_sweep"],
    ids=lambda v: v if isinstance(v, str) else label(v),
)
def test_adjusted_windows(adj_sweep, reg, fill_up):
    """Lengths 1, 3 and one more than the bars so far, at every first and last step of
    each day, week and month and at random steps; the float64 twin agrees."""
    sw = adj_sweep
    reg_idx, series = sw.idx[reg], sw.run.series(*reg)
    for s in sw.run.steps_of_interest(n_random=40, seed=13):
        for length in (1, 3, series.bars_so_far(s) + 1):
            expected = sw.run.window(*reg, s, length, fill_up)
            what = (sw.main, reg, s, length, fill_up)
            assert_same_window(read_adj_window(reg_idx, s, length, fill_up), expected, what)
            twin = _windows.get_reg_k_data_adj_values(reg_idx, s, length, fill_up)
            assert twin.dtype == np.float64
            assert_same_window(twin, expected, what)
    last = sw.run.T.size - 1  # NaN and -1 name the last step
    for step in (float("nan"), -1):
        expected = sw.run.window(*reg, last, 3, fill_up)
        assert_same_window(read_adj_window(reg_idx, step, 3, fill_up), expected, (reg, step))


@pytest.mark.parametrize(
    "adj_sweep, reg",
    [("min1", ("min", 5)), ("min1", ("day", 1)), ("min1", ("week", 1)), ("day1", ("week", 1))],
    indirect=["adj_sweep"],
    ids=lambda v: v if isinstance(v, str) else label(v),
)
def test_bar_in_progress_at_the_end_of_its_group(adj_sweep, reg):
    """At the last step of a group the adjusted bar in progress is the complete adjusted
    bar.  Minute groups combine the bars they are made of; day and week groups are built
    from day bars but in progress from minutes under a minute main, which agree on the
    sample market (its day bars combine its minutes).  Volume and the fields after it are
    the unadjusted ones."""
    sw = adj_sweep
    vr = sw.state.vr
    reg_idx = sw.idx[reg]
    prices = np.stack([adj_prices(adj_series(vr, *reg), t) for t in range(reg_idx.shape[0])])
    k_matrix = np.asarray(vr.g_VornixKDataList[int(reg_idx[0, 0])].Matrix)
    traded_fields = [gv.KMatrix_Volume, gv.KMatrix_TurnOver, gv.KMatrix_OpenInterest]
    cur = sw.run.series(*reg).cur
    ends = np.flatnonzero(np.r_[cur[1:] != cur[:-1], True])
    assert ends.size == prices.shape[2]
    for s in ends:
        g = cur[s]
        now = _windows.get_reg_k_data_adj_values(reg_idx, s, 1, True)
        for t in range(reg_idx.shape[0]):
            body = k_matrix[gv.KMatrixPos_Head_len + t * gv.KMatrix_Bar_Len :][traded_fields, g]
            np.testing.assert_array_equal(now[t, 2:6], prices[t, :, g], err_msg=str((reg, s, t)))
            if body[0] > 0:  # a group that never traded shows volume 0 in progress, NaN before a listing
                np.testing.assert_array_equal(now[t, 6:9], body, err_msg=str((reg, s, t)))


# --------------------------------------------------------------------- matrix cache


def test_cache_round_trip(sample_market, adj_reference, tmp_path, monkeypatch):
    """A cold run caches the adjusted refresh rows (a run wholly in the past); a warm
    run on a fresh state with the same core cache reads them back, writes nothing, and
    shows the same windows, those of the recomputation."""
    path, market = sample_market
    monkeypatch.setenv("VX_MAT_CACHE", "1")
    regs = [("min", 5), ("day", 1), ("week", 1)]
    run = kr.Run(adj_reference.adjusted, "min", 1)
    steps = run.steps_of_interest(n_random=10, seed=4)[::3]

    def run_all(mp):
        with fresh_run_state(mp, tmp_path / "core-cache", path) as state:
            prepare_run(adj_reference.codes, "min", 1, *full_range(market))
            idx = {reg: _subscribe.reg_k_data(*reg, True) for reg in regs}
            windows = {
                (reg, s, f): read_adj_window(idx[reg], s, 3, f)
                for reg in regs for s in steps for f in (True, False)
            }
            return windows, state.core

    with pytest.MonkeyPatch.context() as mp:
        cold, core = run_all(mp)
    files = _mat_files(core)
    stamps = [os.stat(f).st_mtime_ns for f in files]
    flagged = [f for f in files if "_flag4" in os.path.basename(f)]
    assert len(flagged) == len(regs)
    assert all(os.path.basename(os.path.dirname(f)) == "mat" for f in flagged)
    with pytest.MonkeyPatch.context() as mp:
        warm, core = run_all(mp)
    assert _mat_files(core) == files
    assert [os.stat(f).st_mtime_ns for f in files] == stamps  # read back, not written again
    for key, window in cold.items():
        assert_same_window(warm[key], window, key)
        assert_same_window(window, run.window(key[0][0], key[0][1], key[1], 3, key[2]), key)


# --------------------------------------------------------------------- refused calls


@pytest.fixture
def short_run(run_state, adj_reference):
    """A one-minute run over the first five days, with an adjusted daily registration."""
    market = run_state.market
    prepare_run(adj_reference.codes, "min", 1, int(market.days[0]), int(market.days[4]))
    return run_state.vr, _subscribe.reg_k_data("day", 1, True)


_S, _W = _subscribe, _windows
_REFUSED = {  # (error, message part or None, call with the adjusted daily index)
    "tick-registration": (ValueError, text.ERROR_FREQ_TOO_HIGH, lambda idx: _S.reg_k_data("tick", 1, True)),
    "tick-series": (NotImplementedError, None, lambda idx: _S.synthetic_matrix_adj(gv.KFreq_Tick, 1)),
    "week-base": (ValueError, "frequency_i input error", lambda idx: _S.calc_1_freq_matrix_adj(gv.KFreq_Week)),
    "base-by-keyword": (TypeError, None, lambda idx: _S.calc_1_freq_matrix_adj(frequency_i=gv.KFreq_Day)),
    "fractional-base": (ValueError, "frequency_i input error", lambda idx: _S.calc_1_freq_matrix_adj(20.5)),
    "fractional-count": (ValueError, "freq_num must be a whole number", lambda idx: _S.synthetic_matrix_adj(20, 1.5)),
    "text-count": (TypeError, "freq_num", lambda idx: _S.synthetic_fresh_matrix_adj(20, "1")),
    "four-column-index": (ValueError, "adjusted", lambda idx: _S.get_reg_k_data_adj(idx[:, :4], 3, 2, True)),
    "four-column-values": (
        ValueError, "adjusted", lambda idx: _W.get_reg_k_data_adj_values(idx[:, :4], 3, 2, False)
    ),
}


@pytest.mark.parametrize("case", sorted(_REFUSED))
def test_refused_calls_leave_the_state_alone(short_run, case):
    vr, day_idx = short_run
    error, message, call = _REFUSED[case]
    before, fresh, fresh_adj = snapshot(vr), vr.g_VornixDataValueFresh, vr.g_VornixDataValueFresh_Adj
    with pytest.raises(error) as info:
        call(day_idx)
    assert message is None or message in str(info.value)
    assert snapshot(vr) == before
    assert vr.g_VornixDataValueFresh is fresh and vr.g_VornixDataValueFresh_Adj is fresh_adj


def test_adjusted_steps_called_directly(short_run):
    """Whole floats are codes and counts; a pair registered returns its records; the
    main pair gets a record without rows; a new pair gets its block below the rows."""
    vr, day_idx = short_run
    DAY, MIN, WEEK = gv.KFreq_Day, gv.KFreq_Min, gv.KFreq_Week
    assert _S.calc_1_freq_matrix_adj(float(MIN)) == vr.g_VornixKDataList_Adj.find_pos(MIN, 1)
    assert _S.synthetic_matrix_adj(float(DAY), np.float32(1)) == int(day_idx[0, 4])
    day_reg = _S.synthetic_fresh_matrix_adj(np.float64(DAY), 1.0)
    assert vr.g_VornixRegKDataInfo_Adj[day_reg].RowBegin == day_idx[0, 6]
    fresh = vr.g_VornixDataValueFresh_Adj
    n, steps = day_idx.shape[0], fresh.shape[1]
    main = _S.synthetic_fresh_matrix_adj(MIN, 1)
    assert vr.g_VornixRegKDataInfo_Adj[main].RowBegin == -1 and vr.g_VornixDataValueFresh_Adj is fresh
    assert _S.synthetic_fresh_matrix_adj(MIN, 1) == main
    with pytest.raises(ValueError, match="unadjusted 1week registration must exist"):
        _S.synthetic_fresh_matrix_adj(WEEK, 1)
    assert vr.g_VornixDataValueFresh_Adj is fresh
    _S.reg_k_data("week", 1)
    _S.synthetic_matrix_adj(WEEK, 1)
    week = vr.g_VornixRegKDataInfo_Adj[_S.synthetic_fresh_matrix_adj(WEEK, 1.0)]
    assert (week.RowBegin, week.RowEnd) == (fresh.shape[0], fresh.shape[0] + n * gv.Adj_KMatrix_Bar_Len)
    assert vr.g_VornixDataValueFresh_Adj.shape == (week.RowEnd, steps)
    np.testing.assert_array_equal(vr.g_VornixDataValueFresh_Adj[: fresh.shape[0]], fresh)


_MISSING = {  # (registrations first, call, message, adjusted series left behind)
    "base": ([], lambda: _S.calc_1_freq_matrix_adj(gv.KFreq_Day), "Not exist frequency=`1day` k data", []),
    "base-of-week": ([], lambda: _S.synthetic_matrix_adj(gv.KFreq_Week, 1), "Not exist frequency=`1day` k data",
                     [("min", 1)]),
    "week": ([("day", 1)], lambda: _S.synthetic_matrix_adj(gv.KFreq_Week, 1), "不存在`1week`k线数据",
             [("min", 1), ("day", 1)]),
    "five-minutes": ([], lambda: _S.synthetic_matrix_adj(gv.KFreq_Min, 5), "不存在`5min`k线数据", [("min", 1)]),
}


@pytest.mark.parametrize("case", sorted(_MISSING))
def test_missing_series_are_asserted_and_earlier_steps_kept(run_state, adj_reference, case):
    """A missing unadjusted series fails with its message; the adjusted base series
    made before the failure stay registered."""
    regs, call, message, kept = _MISSING[case]
    market = run_state.market
    prepare_run(adj_reference.codes, "min", 1, int(market.days[0]), int(market.days[2]))
    for reg in regs:
        _S.reg_k_data(*reg)
    with pytest.raises(AssertionError) as info:
        call()
    assert str(info.value) == message
    assert [(a.KFrequency, a.KFreqNum) for a in run_state.vr.g_VornixKDataList_Adj] == kept


# ===================================================================== no look-ahead


def _changed_contracts(dst, codes, market, after_day, new_roll):
    """In the store at dst, the main contract of every day from `new_roll` (a day index
    after `after_day`) up to the next change becomes the next contract: a change that
    the original table does not have."""
    store = HistoryStore(dst)
    frame = store.main_contracts().copy()
    for code in codes:
        rows = frame.index[frame["target"] == code]
        dates = frame.loc[rows, "date"].to_numpy()
        contracts = frame.loc[rows, "contract"].to_list()
        k = int(np.searchsorted(dates, int(market.days[new_roll])))
        assert dates[k] > int(market.days[after_day]) and contracts[k] == contracts[k - 1]
        later = next(c for c in contracts[k:] if c != contracts[k])
        run_end = k + contracts[k:].index(later)
        frame.loc[rows[k:run_end], "contract"] = later
    with store.batch():
        store.write_table("main_contracts", {c: frame[c].to_list() for c in frame.columns})


@pytest.mark.parametrize(
    "main, day, minute",
    [(("min", 1), 10, 5), (("min", 1), 12, 99), (("day", 1), 12, None)],
    ids=["min1-roll-day-before-the-first-trade", "min1-mid-contract", "day1"],
)
def test_no_look_ahead(run_state, adj_reference, main, day, minute, tmp_path, monkeypatch):
    """Adjusted windows up to step s are the same when every bar after T[s] changes and
    the main contract changes on a day after s's day.  The roll-day case cuts on a
    change day before the new contract of CFE.IF00 has traded: its first trade, which
    sets the factor, lies after the cut."""
    market = run_state.market
    codes, span = adj_reference.codes, full_range(market)
    key = "min1" if main == ("min", 1) else "day1"
    regs = REGS[key]
    reference = kr.Run(adj_reference.adjusted, *main)

    def run_all():
        prepare_run(codes, main[0], main[1], *span)
        return {reg: _subscribe.reg_k_data(*reg, True) for reg in regs}

    idx = run_all()
    time_line = np.array(run_state.vr.g_VornixDataValueFresh[0])
    np.testing.assert_array_equal(time_line, reference.T)
    today = np.flatnonzero(trading_days_of(time_line) == day_number(market.days[day]))
    s = int(today[-1] if minute is None else today[minute])
    if minute == 5:  # the cut lies between a change of IF00's contract and its first trade
        assert day_number(market.days[day]) in _rolls(market, "CFE.IF00")
        raw_if = adj_reference.raw.minute.values[0]
        assert not (raw_if[kr.VOL, today[: minute + 1]] > 0).any() and (raw_if[kr.VOL, today] > 0).any()
    steps = _steps_up_to(reference, s)
    last = time_line.size - 1

    def windows(idx):
        return {
            (reg, step, fill_up): _windows.get_reg_k_data_adj_values(
                idx[reg], step, reference.series(*reg).bars_so_far(step) + 1, fill_up)
            for reg in regs for step in steps + [last] for fill_up in (True, False)
        }

    first = windows(idx)
    changed = str(tmp_path / "changed")
    _changed_store(os.environ["VX_STORE_DIR"], changed, codes, time_line[s])
    _changed_contracts(changed, FUTURES, market, day, day + 1)
    monkeypatch.setenv("VX_STORE_DIR", changed)
    for code, (dates, contracts) in get_main_contract(list(FUTURES), *span).items():
        k = list(dates).index(int(market.days[day + 1]))
        assert contracts[k] != contracts[k - 1], code  # the second run sees the new change
    second = windows(run_all())
    for k in first:
        if k[1] <= s:
            assert_same_window(second[k], first[k], k)
    for reg in regs:  # the change is there to be seen after step s
        assert not np.array_equal(second[reg, last, True], first[reg, last, True], equal_nan=True), reg
    shutil.rmtree(changed, ignore_errors=True)
