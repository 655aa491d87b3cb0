"""Registered bar windows, end to end: runs on the sample market are set up with
`prepare_run`, bar series registered with `reg_k_data`, and every window read with
`get_reg_k_data` (and its float64 twin) is compared with an independent
recomputation from the history service's raw bars (kdata_reference).

Also here: the reference itself against hand-computed windows and against its
plain-loop version; no look-ahead (bars after a step changed in a second store);
repeated and reordered registrations; the matrix cache; refused calls."""

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

from vornix.api.history._history import HistoryStore
from vornix.api.history._sample import write_sample_market
from vornix.api.subscribe import _subscribe, _windows
from vornix.runner import prepare_run
from vornix.tframe.language import text
from vxtest.runs import fresh_run_state
from vxtest.settings import kernel_settings

MAIN_OF = {"min1": ("min", 1), "min5": ("min", 5), "day1": ("day", 1)}
REGS = [("min", 1), ("min", 5), ("min", 7), ("min", 15), ("day", 1), ("day", 2), ("week", 1), ("month", 1)]
# longer counts: groups of several calendar periods, and a minute count that cuts each day short
EXTRA = [("min", 30), ("day", 3), ("week", 2), ("month", 2)]
N_STOCKS = 6
LISTED_LATE, DELISTED, SUSPENDED = 4, 5, 1  # stock roles in the sample market


def stock_codes(market):
    return ["%s.%s" % (row[0], row[1]) for row in market.instruments[:N_STOCKS]]


def full_range(market):
    return int(market.days[0]), int(market.days[-1])


def label(pair):
    return "%s%d" % pair


def read_window(reg_idx, s, length, fill_up, read=_subscribe.get_reg_k_data):
    """The window as floats, after checking the shape of the object result (of `read`:
    the plain or the adjusted window function)."""
    got = read(reg_idx, s, length, fill_up)
    assert got.dtype == object and got.shape == (length * reg_idx.shape[0], kr.WIDTH)
    assert all(type(x) is int for x in got[:, 0])
    return got.astype(float)


def assert_same_window(got, expected, what):
    np.testing.assert_array_equal(got, expected, err_msg=str(what))


def snapshot(vr):
    return (
        len(vr.g_VornixKDataList),
        len(vr.g_VornixRegKDataInfo),
        len(vr.g_VornixKDataList_Adj),
        len(vr.g_VornixRegKDataInfo_Adj),
        vr.g_VornixDataValueFresh.shape,
    )


# ===================================================================== the reference itself


def _minute_times(day, minutes):
    return [day + m * 60 / 86400.0 for m in minutes]


def _hand_market():
    """Two trading days (Tue 2023-01-31, Wed 2023-02-01: one week, two months), three
    minutes a day (09:31, 09:32 and 13:01, after the lunch break), two targets:
    A trades with two filled minutes; B is listed at the second minute of day 2."""
    d1 = datetime.date(2023, 1, 31).toordinal() + 366
    d2 = d1 + 1
    minutes = [571, 572, 781]
    times = _minute_times(d1, minutes) + _minute_times(d2, minutes)
    n = float("nan")
    a = [  # open, high, low, close, volume, turnover, open interest
        [10.0, 11.0, 9.0, 10.5, 100.0, 1000.0, 0.0],
        [10.5, 10.5, 10.5, 10.5, 0.0, 0.0, 0.0],
        [11.0, 11.5, 10.8, 11.2, 200.0, 2200.0, 0.0],
        [11.3, 11.6, 11.0, 11.4, 50.0, 570.0, 0.0],
        [11.4, 11.4, 11.4, 11.4, 0.0, 0.0, 0.0],
        [11.5, 12.0, 11.1, 11.9, 10.0, 119.0, 0.0],
    ]
    b = [[n] * 7] * 4 + [[20.0, 21.0, 19.0, 20.5, 5.0, 100.0, 0.0], [20.5] * 4 + [0.0, 0.0, 0.0]]
    minute = kr.Bars(times, [0, 0, 0, 1, 1, 1], np.array([np.array(a).T, np.array(b).T]))
    day_a = [[10.0, 11.5, 9.0, 11.2, 300.0, 3200.0, 0.0], [11.3, 12.0, 11.0, 11.9, 60.0, 689.0, 0.0]]
    day_b = [[n] * 7, [20.0, 21.0, 19.0, 20.5, 5.0, 100.0, 0.0]]
    day = kr.Bars([d1 + 0.625, d2 + 0.625], [0, 1], np.array([np.array(day_a).T, np.array(day_b).T]))
    return kr.Market(minute, day), times


def _rows(*rows):
    n = float("nan")
    return np.array([[n if x is None else x for x in r] for r in rows], dtype=float)


_N7 = [None] * 7
_HAND_CASES = {
    # ("min", 2) at 13:01 of day 1: a complete run of two minutes, then the day's
    # short last run (one minute) in progress; B has no close yet: NaN prices, volume 0
    "min2-fill": (("min", 1), ("min", 2), 2, 3, True, lambda t: _rows(
        [0] + [None] * 8,
        [0, t[1], 10.0, 11.0, 9.0, 10.5, 100.0, 1000.0, 0.0],
        [0, t[2], 11.0, 11.5, 10.8, 11.2, 200.0, 2200.0, 0.0],
        [1] + [None] * 8,
        [1, t[1]] + [None] * 4 + [0.0, 0.0, None],
        [1, t[2]] + [None] * 4 + [0.0, 0.0, None],
    )),
    # the week in progress at 09:32 of day 2 spans both days: five minutes seen
    "week-fill": (("min", 1), ("week", 1), 4, 2, True, lambda t: _rows(
        [0] + [None] * 8,
        [0, t[4], 10.0, 11.6, 9.0, 11.4, 350.0, 3770.0, 0.0],
        [1] + [None] * 8,
        [1, t[4], 20.0, 21.0, 19.0, 20.5, 5.0, 100.0, 0.0],
    )),
    # the February bar in progress holds day 2's minutes only; January is complete,
    # built from day bars; B's January never traded
    "month-fill": (("min", 1), ("month", 1), 4, 2, True, lambda t: _rows(
        [0, t[2] - t[2] % 1 + 0.625, 10.0, 11.5, 9.0, 11.2, 300.0, 3200.0, 0.0],
        [0, t[4], 11.3, 11.6, 11.0, 11.4, 50.0, 570.0, 0.0],
        [1, t[2] - t[2] % 1 + 0.625] + [None] * 4 + [0.0, 0.0, None],
        [1, t[4], 20.0, 21.0, 19.0, 20.5, 5.0, 100.0, 0.0],
    )),
    "month-real": (("min", 1), ("month", 1), 4, 2, False, lambda t: _rows(
        [0, t[2] - t[2] % 1 + 0.625, 10.0, 11.5, 9.0, 11.2, 300.0, 3200.0, 0.0],
        [0, t[4], 11.3, 11.6, 11.0, 11.4, 50.0, 570.0, 0.0],
        [1] + [None] * 8,
        [1, t[4], 20.0, 21.0, 19.0, 20.5, 5.0, 100.0, 0.0],
    )),
    # at the last minute the day in progress is the whole day; B's day 1 is skipped
    "day-real": (("min", 1), ("day", 1), 5, 3, False, lambda t: _rows(
        [0] + [None] * 8,
        [0, t[2] - t[2] % 1 + 0.625, 10.0, 11.5, 9.0, 11.2, 300.0, 3200.0, 0.0],
        [0, t[5], 11.3, 12.0, 11.0, 11.9, 60.0, 689.0, 0.0],
        [1] + [None] * 8,
        [1] + [None] * 8,
        [1, t[5], 20.0, 21.0, 19.0, 20.5, 5.0, 100.0, 0.0],
    )),
    # before B's first bar: nothing real to show
    "min2-real-unlisted": (("min", 1), ("min", 2), 3, 2, False, lambda t: _rows(
        [0, t[2], 11.0, 11.5, 10.8, 11.2, 200.0, 2200.0, 0.0],
        [0, t[3], 11.3, 11.6, 11.0, 11.4, 50.0, 570.0, 0.0],
        [1] + [None] * 8,
        [1] + [None] * 8,
    )),
    # a day main frequency: the week in progress at day 1 is built from day bars
    "week-day-main": (("day", 1), ("week", 1), 0, 1, True, lambda t: _rows(
        [0, t[2] - t[2] % 1 + 0.625, 10.0, 11.5, 9.0, 11.2, 300.0, 3200.0, 0.0],
        [1, t[2] - t[2] % 1 + 0.625] + [None] * 4 + [0.0, 0.0, None],
    )),
}


@pytest.mark.parametrize("case", sorted(_HAND_CASES))
def test_reference_on_hand_computed_windows(case):
    market, times = _hand_market()
    main, reg, s, length, fill_up, expected = _HAND_CASES[case]
    exp = expected(times)
    assert_same_window(kr.Run(market, *main).window(*reg, s, length, fill_up), exp, case)
    assert_same_window(kr.naive_window(market, main, reg, s, length, fill_up), exp, case)


_START_DAYS = [datetime.date(2023, 1, 26), datetime.date(2023, 2, 24), datetime.date(2023, 3, 30)]


@st.composite
def small_markets(draw):
    """Weekdays from a start near a week or month end, a few minutes a day, one or
    two targets with zero-volume minutes and NaN before a listing / after a delisting."""
    n_days = draw(st.integers(1, 5))
    per_day = draw(st.integers(1, 5))
    n_targets = draw(st.integers(1, 2))
    day = draw(st.sampled_from(_START_DAYS))
    days = []
    while len(days) < n_days:
        if day.weekday() < 5:
            days.append(day.toordinal() + 366)
        day += datetime.timedelta(days=1)
    minutes = sorted(draw(st.lists(st.integers(571, 900), min_size=per_day, max_size=per_day, unique=True)))
    times = [d + m * 60 / 86400.0 for d in days for m in minutes]
    n = len(times)
    rng = np.random.default_rng(draw(st.integers(0, 2**31)))

    def random_bars(count):
        values = np.empty((n_targets, 7, count))
        for t in range(n_targets):
            close = np.round(10 + rng.normal(0, 1, count), 2)
            spread = np.round(rng.uniform(0, 0.5, (2, count)), 2)
            volume = np.where(rng.random(count) < 0.35, 0.0, rng.integers(1, 9, count) * 100.0)
            values[t] = [close - 0.1, close + spread[0], close - spread[1], close, volume,
                         np.round(volume * close * 1.003, 2), rng.integers(0, 5, count)]
            first, last = sorted(rng.integers(0, count + 1, 2))
            if draw(st.booleans()):
                values[t, :, :first] = np.nan
            if draw(st.booleans()):
                values[t, :, last:] = np.nan
        return values

    minute = kr.Bars(times, np.repeat(np.arange(n_days), per_day), random_bars(n))
    day = kr.Bars([d + 0.625 for d in days], np.arange(n_days), random_bars(n_days))
    return kr.Market(minute, day)


@kernel_settings
@given(
    market=small_markets(),
    main=st.sampled_from([("min", 1), ("min", 2), ("min", 3), ("day", 1), ("day", 2), ("week", 1)]),
    reg=st.tuples(st.sampled_from(["min", "day", "week", "month"]), st.integers(1, 3)),
    pick=st.floats(0, 1, exclude_max=True),
    length=st.integers(1, 6),
    fill_up=st.booleans(),
)
def test_reference_equals_plain_loops(market, main, reg, pick, length, fill_up):
    run = kr.Run(market, *main)
    if not run.allowed(reg[0]):
        return
    s = int(pick * run.T.size)
    np.testing.assert_array_equal(
        run.window(*reg, s, length, fill_up), kr.naive_window(market, main, reg, s, length, fill_up)
    )


# ===================================================================== end to end


@pytest.fixture(scope="module")
def sample_reference(sample_market):
    """Raw bars of the sample's six stocks over the whole range."""
    path, market = sample_market
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("VX_STORE_DIR", path)
        return kr.Market.from_history(stock_codes(market), *full_range(market))


@pytest.fixture(scope="module")
def sweep(request, sample_market, sample_reference, tmp_path_factory):
    """A run on the six stocks over the whole range under the main frequency named
    by indirect parametrization ("min1", "min5", "day1"), with every allowed series
    registered in the order of REGS, and its reference."""
    path, market = sample_market
    main = MAIN_OF[request.param]
    with pytest.MonkeyPatch.context() as mp, fresh_run_state(
        mp, tmp_path_factory.mktemp("core-cache"), path
    ) as state:
        main_idx = prepare_run(stock_codes(market), main[0], main[1], *full_range(market))
        run = kr.Run(sample_reference, *main)
        idx = {reg: _subscribe.reg_k_data(*reg) for reg in REGS + EXTRA if run.allowed(reg[0])}
        yield SimpleNamespace(main=main, main_idx=main_idx, idx=idx, run=run, state=state, market=market)


def under(*mains):
    """Indirect parametrization of `sweep` by main frequency (module-scoped: the
    tests of one main frequency share one run)."""
    return pytest.mark.parametrize("sweep", list(mains), indirect=True)


def _compare_windows(sw, reg, fill_up):
    reg_idx, series = sw.idx[reg], sw.run.series(*reg)
    for s in sw.run.steps_of_interest(n_random=40, seed=11):
        for length in (1, 3, series.bars_so_far(s) + 1):
            expected = sw.run.window(*reg, s, length, fill_up)
            what = (sw.main, reg, s, length, fill_up)
            assert_same_window(read_window(reg_idx, s, length, fill_up), expected, what)
            twin = _windows.get_reg_k_data_values(reg_idx, s, length, fill_up)
            assert twin.dtype == np.float64
            assert_same_window(twin, expected, what)


_FILL = pytest.mark.parametrize("fill_up", [True, False], ids=["fill", "real"])


@_FILL
@pytest.mark.parametrize(
    "reg", [pytest.param(r, marks=[pytest.mark.slow] if r[0] == "min" else []) for r in REGS], ids=label
)
@under("min1", "min5")
def test_windows_under_minute_main(sweep, reg, fill_up):
    """Lengths 1, 3 and one more than the bars so far, at every first and last step
    of each day, week and month and at random steps; the float64 twin agrees."""
    _compare_windows(sweep, reg, fill_up)


@_FILL
@pytest.mark.parametrize("reg", [r for r in REGS if r[0] != "min"], ids=label)
@under("day1")
def test_windows_under_day_main(sweep, reg, fill_up):
    _compare_windows(sweep, reg, fill_up)


@_FILL
@pytest.mark.parametrize(
    "sweep, reg",
    [("min5", r) for r in EXTRA] + [("day1", r) for r in EXTRA if r[0] != "min"],
    indirect=["sweep"],
    ids=lambda v: v if isinstance(v, str) else label(v),
)
def test_windows_of_longer_counts(sweep, reg, fill_up):
    _compare_windows(sweep, reg, fill_up)


@under(*MAIN_OF)
def test_main_time_line_and_indexes(sweep):
    sw, main = sweep, sweep.main
    vr = sw.state.vr
    np.testing.assert_array_equal(vr.g_VornixDataValueFresh[0], sw.run.T)
    np.testing.assert_array_equal(sw.main_idx, sw.idx[main])
    for reg, reg_idx in sw.idx.items():
        assert reg_idx.dtype == np.float64 and reg_idx.shape == (N_STOCKS, 4)
        np.testing.assert_array_equal(reg_idx[:, 3], np.arange(N_STOCKS))
        series = vr.g_VornixKDataList[int(reg_idx[0, 0])]
        assert (series.KFrequency, series.KFreqNum) == reg
        np.testing.assert_array_equal(series.Matrix[0], sw.run.series(*reg).times)
        # only the run's own series has no rows in the refresh matrix
        assert np.isnan(reg_idx[:, 2]).all() == (reg == main)


@under(*MAIN_OF)
@pytest.mark.parametrize("how", ["negative", "nan"])
def test_step_from_the_end(sweep, how):
    sw = sweep
    last = sw.run.T.size - 1
    step = -1 if how == "negative" else float("nan")
    for reg, reg_idx in sw.idx.items():
        for fill_up in (True, False):
            assert_same_window(read_window(reg_idx, step, 4, fill_up), sw.run.window(*reg, last, 4, fill_up), reg)


@under("min1")
@pytest.mark.parametrize("rows", [[4, 1], [5], [2, 2, 0]], ids=str)
@_FILL
def test_blocks_follow_the_rows_of_the_index(sweep, rows, fill_up):
    """Block i of a window belongs to row i of the index passed in, whatever
    targets and order the rows name."""
    sw = sweep
    for reg in [("min", 15), ("week", 1), ("min", 1)]:
        for s in (0, 1234, sw.run.T.size - 1):
            got = read_window(sw.idx[reg][rows], s, 3, fill_up).reshape(len(rows), 3, kr.WIDTH)
            full = sw.run.window(*reg, s, 3, fill_up).reshape(N_STOCKS, 3, kr.WIDTH)
            assert_same_window(got, full[rows], (reg, s))


def _day_step(run, date, minute=None):
    """Step of the day's last bar (or of the given bar of the day)."""
    day = datetime.date(date // 10000, date // 100 % 100, date % 100).toordinal() + 366
    steps = np.flatnonzero(np.floor(run.T) == day)
    return int(steps[-1] if minute is None else steps[minute])


@under("min1")
def test_listing_and_delisting_show_as_agreed(sweep):
    """What the synthesised bars show around a target's life, pinned explicitly:

    - after the delisting day the raw bars are NaN, but a bar combined from them
      has no traded bar, so it shows the last close before it with volume and
      turnover 0: the weekly bars after the delisting, complete or in progress,
      and the daily bar in progress (built from minutes), while the complete
      daily bars after the delisting stay NaN as fetched;
    - before the listing, bars combined from NaN raw bars have no close to carry:
      NaN prices with volume and turnover 0 (the raw minute bars stay all NaN);
    - only bars with volume show without fill-up: the delisted target's last
      real daily bar stays its delisting day."""
    sw = sweep
    market, run, idx = sw.market, sw.run, sw.idx
    code = stock_codes(market)[DELISTED]
    last_close = market.bars_1m[code]["close"][-1]
    delisted_on = int(market.instruments[DELISTED][6])
    last = run.T.size - 1
    block = slice(DELISTED * 3, DELISTED * 3 + 3)

    week = read_window(idx["week", 1], last, 3, True)[block]
    assert week[-2, 1] > run.T[_day_step(run, delisted_on)]  # two weeks after the delisting
    assert (week[-2:, 2:6] == last_close).all() and (week[-2:, 6:8] == 0).all()
    day = read_window(idx["day", 1], last, 3, True)[block]
    assert np.isnan(day[-2, 2:]).all()  # a complete day after the delisting
    assert (day[-1, 2:6] == last_close).all() and (day[-1, 6:8] == 0).all()
    real = read_window(idx["day", 1], last, 3, False)[block]
    assert math.floor(real[-1, 1]) == math.floor(run.T[_day_step(run, delisted_on)])
    assert real[-1, 5] == last_close and (real[:, 6] > 0).all()

    listed_on = int(market.instruments[LISTED_LATE][5])
    before = _day_step(run, listed_on, 0) - 1
    block = slice(LISTED_LATE * 2, LISTED_LATE * 2 + 2)
    five = read_window(idx["min", 5], before, 2, True)[block]
    assert np.isnan(five[:, 2:6]).all() and (five[:, 6:8] == 0).all()
    assert np.isnan(read_window(sw.main_idx, before, 2, True)[block][:, 2:]).all()
    assert np.isnan(read_window(idx["min", 5], before, 2, False)[block][:, 1:]).all()


@under("min1")
def test_zero_volume_days_of_a_suspended_target(sweep):
    """Stock 1 has suspended days (filled bars) and a day of zero-volume bars: on
    such a day its daily bar in progress sits at the close of the last minute
    before the day, with volume 0; without fill-up no such day is shown."""
    sw = sweep
    raw = sw.run.market
    dead = np.flatnonzero(raw.day.values[SUSPENDED, kr.VOL] == 0)
    assert dead.size >= 2
    block = slice(SUSPENDED * 3, SUSPENDED * 3 + 3)
    for day in dead:
        s = _day_step(sw.run, int(sw.market.days[day]))
        filled = read_window(sw.idx["day", 1], s, 3, True)[block]
        first_minute = np.flatnonzero(raw.minute.day_pos == day)[0]
        assert (filled[-1, 2:6] == raw.minute.values[SUSPENDED, kr.CL, first_minute - 1]).all()
        assert (filled[-1, 6:8] == 0).all()
        real = read_window(sw.idx["day", 1], s, 3, False)[block]
        assert (real[:, 6] > 0).all()
        assert not np.isin(np.floor(real[:, 1]), np.floor(raw.day.times[dead])).any()


# --------------------------------------------------------------------- a target without trades


ZERO_CODE, LATE_CODE = "SH.600999", "SZ.000999"


@pytest.fixture(scope="module")
def quiet_store(tmp_path_factory):
    """The sample market plus two targets that never trade in the run's range (the
    first 25 days): SH.600999 has bars there, all of volume 0 at a price of 10;
    SZ.000999 is listed after the range and has bars only after it."""
    path = tmp_path_factory.mktemp("quiet-store")
    store = HistoryStore(path, create=True)
    market = write_sample_market(store, seed=7, days=30, stocks=N_STOCKS)
    ref_min, ref_day = market.bars_1m["SH.600000"], market.bars_1d["SH.600000"]
    rows = list(market.instruments) + [
        ("SH", "600999", "stock", 1.0, 0.01, int(market.days[0]), 0, "SSE", "Never traded"),
        ("SZ", "000999", "stock", 1.0, 0.01, int(market.days[27]), 0, "SSE", "Listed later"),
    ]
    cols = ("market", "code", "type", "multiplier", "min_move", "list_date", "delist_date", "calendar", "name")

    def bars(ref, volume, keep=slice(None)):
        n = ref["time"][keep].size
        out = {"time": ref["time"][keep]}
        for f in ("open", "high", "low", "close"):
            out[f] = np.full(n, 10.0)
        out.update(volume=np.full(n, volume), turnover=np.full(n, 10.0 * volume), open_interest=np.zeros(n))
        return out

    late_min = slice(27 * 240, None)
    with store.batch():
        store.write_table("instruments", {c: [r[i] for r in rows] for i, c in enumerate(cols)})
        store.write_bars(ZERO_CODE, "min", bars(ref_min, 0.0))
        store.write_bars(ZERO_CODE, "day", bars(ref_day, 0.0))
        store.write_bars(LATE_CODE, "min", bars(ref_min, 100.0, late_min))
        store.write_bars(LATE_CODE, "day", bars(ref_day, 24000.0, slice(27, None)))
    return str(path), market


@pytest.mark.parametrize("main", [("min", 1), ("day", 1)], ids=label)
def test_targets_that_never_trade(quiet_store, main, monkeypatch, tmp_path):
    path, market = quiet_store
    codes = stock_codes(market)[:2] + [ZERO_CODE, LATE_CODE]
    begin, end = int(market.days[0]), int(market.days[24])
    with fresh_run_state(monkeypatch, tmp_path / "core-cache", path) as state:
        prepare_run(codes, main[0], main[1], begin, end)
        run = kr.Run(kr.Market.from_history(codes, begin, end, minutes=main[0] == "min"), *main)
        regs = [r for r in [main, ("min", 15), ("day", 1), ("week", 1), ("month", 1)] if run.allowed(r[0])]
        idx = {reg: _subscribe.reg_k_data(*reg) for reg in dict.fromkeys(regs)}
        assert snapshot(state.vr)[1] == len(idx)
        for reg, reg_idx in idx.items():
            for s in run.steps_of_interest(n_random=10, seed=3)[::3] + [run.T.size - 1]:
                length = run.series(*reg).bars_so_far(s) + 1
                for fill_up in (True, False):
                    got = read_window(reg_idx, s, length, fill_up)
                    assert_same_window(got, run.window(*reg, s, length, fill_up), (reg, s, fill_up))
                    quiet = got.reshape(len(codes), length, kr.WIDTH)[2:]
                    if not fill_up:  # nothing real: only the target index is set
                        assert np.isnan(quiet[:, :, 1:]).all()
                    elif reg != main:  # combined bars: volume 0, no close before the first bar
                        assert (quiet[:, -1, 6:8] == 0).all()
                        assert np.isnan(quiet[1, :, 2:6]).all()
                    if fill_up and reg == ("week", 1) and s == run.T.size - 1:
                        # a week without trades carries the close before it: none for
                        # the first week, 10 for the later ones
                        assert np.isnan(quiet[0, 1, 2:6]).all() and (quiet[0, 2:, 2:6] == 10.0).all()


# ===================================================================== no look-ahead


def _changed_store(src, dst, codes, after):
    """A copy of the store at src whose minute and day bars later than `after`
    are changed: prices up 25 %, volume tripled (every fifth bar's volume 0)."""
    shutil.copytree(src, dst)
    store = HistoryStore(dst)
    with store.batch():
        for code in codes:
            for frequency in ("min", "day"):
                bars = store.read_bars(code, frequency)
                cols = {name: np.array(values, dtype=float) for name, values in bars.items()}
                later = np.flatnonzero(cols["time"] > after + 1e-9)
                for f in ("open", "high", "low", "close"):
                    cols[f][later] *= 1.25
                cols["volume"][later] *= 3.0
                cols["volume"][later[::5]] = 0.0
                cols["turnover"][later] *= 2.0
                store.write_bars(code, frequency, cols)


def _steps_up_to(run, s):
    """Every step of s's day up to s, and the first and last step of each earlier day."""
    days = np.floor(run.T[: s + 1])
    today = np.flatnonzero(days == days[s])
    edges = np.flatnonzero(np.r_[True, days[1:] != days[:-1]])
    return sorted(set(today) | set(edges) | set(np.maximum(edges - 1, 0)))


@pytest.mark.slow
@pytest.mark.parametrize(
    "main, day, minute, regs",
    [
        (("min", 1), 12, 99, [("min", 15), ("day", 1), ("week", 1), ("month", 1)]),
        (("min", 5), 19, 7, [("min", 7), ("day", 2), ("week", 1)]),
        (("day", 1), 13, None, [("day", 2), ("week", 1), ("month", 1)]),
    ],
    ids=["min1", "min5", "day1"],
)
def test_no_look_ahead(run_state, main, day, minute, regs, tmp_path, monkeypatch):
    """Windows up to step s are the same when every bar after T[s] changes."""
    market = run_state.market
    codes, span = stock_codes(market), full_range(market)
    regs = [main] + regs

    def run_all():
        prepare_run(codes, main[0], main[1], *span)
        return {reg: _subscribe.reg_k_data(*reg) for reg in regs}

    idx = run_all()
    time_line = np.array(run_state.vr.g_VornixDataValueFresh[0])
    per_day = int(np.sum(np.floor(time_line) == np.floor(time_line[0])))
    s = day * per_day + (per_day - 1 if minute is None else minute)
    reference = kr.Run(kr.Market.from_history(codes, *span, minutes=main[0] == "min"), *main)
    steps = _steps_up_to(reference, s)
    last = time_line.size - 1

    def windows(idx, steps):
        return {
            (reg, step, fill_up): _windows.get_reg_k_data_values(
                idx[reg], step, reference.series(*reg).bars_so_far(step) + 1, fill_up)
            for reg in regs for step in steps for fill_up in (True, False)
        }

    first = windows(idx, steps + [last])
    _changed_store(os.environ["VX_STORE_DIR"], str(tmp_path / "changed"), codes, time_line[s])
    monkeypatch.setenv("VX_STORE_DIR", str(tmp_path / "changed"))
    second = windows(run_all(), steps + [last])
    np.testing.assert_array_equal(run_state.vr.g_VornixDataValueFresh[0], time_line)
    for key in first:
        if key[1] <= s:
            assert_same_window(second[key], first[key], key)
    for reg in regs:  # the change is there to be seen after step s
        assert not np.array_equal(second[reg, last, True], first[reg, last, True], equal_nan=True), reg


# ===================================================================== registrations


def _check_windows(run, idx, steps, lengths=(1, 3)):
    for reg, reg_idx in idx.items():
        for s in steps:
            for length in lengths:
                for fill_up in (True, False):
                    assert_same_window(read_window(reg_idx, s, length, fill_up), run.window(*reg, s, length, fill_up),
                                       (reg, s, length, fill_up))


def test_registering_twice_adds_nothing(run_state):
    market = run_state.market
    vr = run_state.vr
    prepare_run(stock_codes(market), "min", 1, *full_range(market))
    first = {reg: _subscribe.reg_k_data(*reg) for reg in [("min", 15), ("week", 1), ("min", 1)]}
    before, fresh = snapshot(vr), vr.g_VornixDataValueFresh
    for reg, reg_idx in first.items():
        np.testing.assert_array_equal(_subscribe.reg_k_data(*reg), reg_idx)
    assert snapshot(vr) == before and vr.g_VornixDataValueFresh is fresh


def test_day_after_week_gets_its_own_rows(run_state, sample_reference):
    """Registering weekly bars first makes the daily series exist before the daily
    registration; the daily registration still needs its own refresh rows."""
    market = run_state.market
    prepare_run(stock_codes(market), "min", 1, *full_range(market))
    idx = {("week", 1): _subscribe.reg_k_data("week", 1), ("day", 1): _subscribe.reg_k_data("day", 1)}
    assert not np.isnan(idx["day", 1][:, 2]).any()
    assert set(idx["day", 1][:, 2]).isdisjoint(idx["week", 1][:, 2])
    run = kr.Run(sample_reference, "min", 1)
    _check_windows(run, idx, run.steps_of_interest(n_random=10, seed=5)[::2])


def _mat_files(core):
    found = []
    for root, _, files in os.walk(core.cache_dir):
        found += [os.path.join(root, f) for f in files if f.endswith(".mat")]
    return sorted(found)


@pytest.mark.slow
@pytest.mark.parametrize("main", [("min", 5), ("day", 1)], ids=label)
def test_cache_hit_gives_the_computed_windows(run_state, main):
    market = run_state.market
    codes, span = stock_codes(market), full_range(market)
    reference = kr.Run(kr.Market.from_history(codes, *span, minutes=main[0] == "min"), *main)
    regs = [r for r in REGS if reference.allowed(r[0])]
    steps = reference.steps_of_interest(n_random=10, seed=2)[::2]

    def run_all():
        prepare_run(codes, main[0], main[1], *span)
        idx = {reg: _subscribe.reg_k_data(*reg) for reg in regs}
        return {(reg, s, f): read_window(idx[reg], s, 3, f) for reg in regs for s in steps for f in (True, False)}

    cold = run_all()
    files = _mat_files(run_state.core)
    stamps = [os.stat(f).st_mtime_ns for f in files]
    assert files, "a run wholly in the past caches its synthesised matrices"
    warm = run_all()
    assert _mat_files(run_state.core) == files
    assert [os.stat(f).st_mtime_ns for f in files] == stamps  # read back, not written again
    for key, window in cold.items():
        assert_same_window(warm[key], window, key)
        assert_same_window(window, reference.window(key[0][0], key[0][1], key[1], 3, key[2]), key)


@pytest.mark.slow
def test_cache_is_not_shared_between_stores(run_state, tmp_path, monkeypatch):
    """Two stores written once each (same generation count) with the same targets
    and range: a run on the second must not be served the first one's matrices."""
    market = run_state.market
    codes, span = stock_codes(market), full_range(market)
    regs = [("min", 15), ("week", 1)]
    prepare_run(codes, "min", 1, *span)
    for reg in regs:
        _subscribe.reg_k_data(*reg)
    other = tmp_path / "other-store"
    write_sample_market(HistoryStore(other, create=True), seed=8, days=30, stocks=N_STOCKS)
    monkeypatch.setenv("VX_STORE_DIR", str(other))
    prepare_run(codes, "min", 1, *span)
    idx = {reg: _subscribe.reg_k_data(*reg) for reg in regs}
    run = kr.Run(kr.Market.from_history(codes, *span), "min", 1)
    _check_windows(run, idx, [run.T.size // 2, run.T.size - 1])


# ===================================================================== refused calls


def test_minute_series_refused_under_a_day_main_frequency(run_state):
    market = run_state.market
    vr = run_state.vr
    prepare_run(stock_codes(market), "day", 1, *full_range(market))
    before, fresh = snapshot(vr), vr.g_VornixDataValueFresh
    for reg in [r for r in REGS if r[0] == "min"]:
        with pytest.raises(ValueError) as info:
            _subscribe.reg_k_data(*reg)
        assert str(info.value) == text.ERROR_FREQ_NEED_GT_DAY
        assert snapshot(vr) == before and vr.g_VornixDataValueFresh is fresh


@pytest.fixture
def week_run(run_state):
    """A five-minute run with a weekly registration: (vr, weekly index, step count)."""
    prepare_run(stock_codes(run_state.market), "min", 5, *full_range(run_state.market))
    week = _subscribe.reg_k_data("week", 1)
    return run_state.vr, week, run_state.vr.g_VornixDataValueFresh.shape[1]


@pytest.mark.parametrize(
    "args, error",
    [(("fortnight", 1), ValueError), (("tick", 1, True), ValueError)],
    ids=["unknown-frequency", "adjusted-tick"],
)
def test_refused_registrations_leave_the_state_alone(week_run, args, error):
    vr = week_run[0]
    before, fresh = snapshot(vr), vr.g_VornixDataValueFresh
    with pytest.raises(error):
        _subscribe.reg_k_data(*args)
    assert snapshot(vr) == before and vr.g_VornixDataValueFresh is fresh


def _nan_at(reg_idx, column):
    bad = reg_idx.copy()
    bad[1, column] = np.nan
    return bad


_BAD_READS = {  # (error, (index, steps) -> arguments of the read)
    "nan-series": (ValueError, lambda idx, n: (_nan_at(idx, 0), 3, 2, True)),
    "nan-target": (ValueError, lambda idx, n: (_nan_at(idx, 3), 3, 2, False)),
    "step-past-end": (IndexError, lambda idx, n: (idx, n, 2, True)),
    "step-before-start": (IndexError, lambda idx, n: (idx, -n - 1, 2, False)),
    "negative-length": (ValueError, lambda idx, n: (idx, 3, -1, True)),
}


@pytest.mark.parametrize("case", sorted(_BAD_READS))
@pytest.mark.parametrize(
    "read", [_subscribe.get_reg_k_data, _windows.get_reg_k_data_values], ids=["object", "values"]
)
def test_refused_reads_leave_the_state_alone(week_run, case, read):
    vr, week, n = week_run
    error, arguments = _BAD_READS[case]
    before, fresh = snapshot(vr), vr.g_VornixDataValueFresh
    with pytest.raises(error):
        read(*arguments(week, n))
    assert snapshot(vr) == before and vr.g_VornixDataValueFresh is fresh
