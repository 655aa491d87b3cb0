"""Factors, user data and user indicators, end to end on the sample market.

Factor windows are compared with a recomputation from the factor service
(userdata_reference), along both roads a factor takes (the core's MAT file, the
factor service when the core has no file) and under minute, five-minute and day
main frequencies; hand-written factor files and refused registrations follow.
User data is checked against a plain-loop alignment (hypothesis), user indicators
for the step they see, no look-ahead and refused results."""

import math
import os
from types import SimpleNamespace

import numpy as np
import pytest
import scipy.io
import userdata_reference as ref
from hypothesis import given
from hypothesis import strategies as st

from vornix.api.bpfactor._factors import get_factor_by_factor
from vornix.api.subscribe import _subscribe as sub
from vornix.api.subscribe import _windows
from vornix.runner import prepare_run
from vornix.tframe import sysstate as ss
from vornix.tframe.language import text
from vornix.tframe.sysdefine import GlobalDefine as gv
from vornix.tframe.utils.exceptions import UnExpectError, VxDataError
from vxtest.runs import fresh_run_state, fresh_state
from vxtest.settings import kernel_settings

FACTORS = ("pe", "pb", "turnover_rate")
NAN = float("nan")


def stock_codes(market):
    return ["%s.%s" % (row[0], row[1]) for row in market.instruments if row[2] == "stock"]


def day_range(market, first=0, last=-1):
    return int(market.days[first]), int(market.days[last])


def step_times():
    return ss.vr.g_VornixDataValueFresh[gv.KMatrixPos_TimeLine].copy()


def sample_steps(times, rng, n_random=40):
    """Every day's first and last step, the first steps of night sessions and some
    random ones."""
    day = np.floor(times)
    first = np.flatnonzero(np.r_[True, day[1:] != day[:-1]])
    last = np.r_[first[1:] - 1, day.size - 1]
    evening = times - day > 0.75
    night = np.flatnonzero(evening[1:] & ~evening[:-1]) + 1
    return np.unique(np.r_[first, last, night, rng.integers(0, day.size, n_random)]).tolist()


class FactorPaths:
    """Stands in for the core's command module: answers the factor-path query with
    the files given per factor and a path where no file exists for the others
    (so their values come from the factor service); records every query."""

    def __init__(self, folder, files=None):
        self.folder = str(folder)
        self.files = dict(files or {})
        self.calls = []

    def vxSendCmdGetFactorMultiFilePath(self, factors, targets, begin_date, end_date, flag=0):
        self.calls.append((list(factors), list(targets)))
        return [self.files.get(f, os.path.join(self.folder, "absent-%s.mat" % f)) for f in factors]


def service_rows(factors, codes, begin, end):
    """(dates, rows): the factor service's values, factor-major, one row per target."""
    got = {f: get_factor_by_factor(f, codes, begin, end, 0) for f in factors}
    dates = got[factors[0]]["date"].tolist()
    return dates, [got[f][c].tolist() for f in factors for c in codes]


def assert_factor_window(reg_idx, step, length, dates, rows, times, what=""):
    dt, value = sub.get_reg_factor(np.asarray(reg_idx), step, length)
    want_dt, want = ref.factor_window(dates, [rows[k] for k in reg_idx], times[step], length)
    msg = "step %s, length %d %s" % (step, length, what)
    assert dt.shape == (length,) and value.shape == (len(reg_idx), length), msg
    np.testing.assert_array_equal(dt, want_dt, err_msg=msg)
    np.testing.assert_array_equal(value, want, err_msg=msg)


def factor_store_snapshot(vr):
    store = vr.g_VornixFactorValueDict
    return {k: (store[k], np.array(store[k], copy=True)) for k in ("FactorData", "FreshIdx")}


def assert_store_unchanged(vr, snap):
    store = vr.g_VornixFactorValueDict
    for k, (obj, copy) in snap.items():
        assert store[k] is obj, k
        np.testing.assert_array_equal(store[k], copy)


# ===================================================================== factor windows

MAINS = {"min1": ("min", 1), "min5": ("min", 5), "day1": ("day", 1), "min1-night": ("min", 1)}


@pytest.fixture(scope="module")
def factor_run(request, sample_market, tmp_path_factory):
    """A run on the six stocks over the whole range under the main frequency and
    factor road named by indirect parametrization, the three factors registered."""
    main, road = request.param
    path, market = sample_market
    codes = stock_codes(market)
    begin, end = day_range(market)
    with (
        pytest.MonkeyPatch.context() as mp,
        fresh_run_state(mp, tmp_path_factory.mktemp("core-cache"), path) as state,
    ):
        # with a future of a night session the steps run through its night minutes
        night = ["SHF.RB00"] if main.endswith("night") else []
        prepare_run(codes + night, *MAINS[main], begin, end)
        paths = None
        with pytest.MonkeyPatch.context() as stub:
            if road == "factor service":
                paths = FactorPaths(tmp_path_factory.mktemp("no-files"))
                stub.setattr(sub, "vxcmd", paths)
            rows = sub.reg_factor(list(FACTORS), codes, begin, end)
        dates, values = service_rows(FACTORS, codes, begin, end)
        yield SimpleNamespace(
            main=main,
            road=road,
            paths=paths,
            rows=rows,
            dates=dates,
            values=values,
            times=step_times(),
            codes=codes,
            vr=state.vr,
        )


@pytest.mark.parametrize(
    "factor_run",
    [(m, r) for m in MAINS for r in ("core file", "factor service")],
    indirect=True,
    ids=lambda p: "%s-%s" % p,
)
def test_factor_windows_end_with_the_last_factor_day_of_the_step(factor_run):
    fr = factor_run
    n = len(FACTORS) * len(fr.codes)
    np.testing.assert_array_equal(fr.rows, np.arange(n).reshape(len(FACTORS), -1))
    assert fr.rows.dtype == np.int64
    if fr.paths is not None:
        assert fr.paths.calls == [(list(FACTORS), fr.codes)]
    store = fr.vr.g_VornixFactorValueDict
    assert store["FactorData"].shape == (1 + n, len(fr.dates))  # no filler column
    assert fr.vr.g_VornixInputInfo.FactorList == list(FACTORS)
    rng = np.random.default_rng(sum(map(ord, fr.main)))
    order = rng.permutation(n).tolist()  # rows are returned in the order asked for
    for step in sample_steps(fr.times, rng):
        for length in (1, 3, len(fr.dates) + 5):
            assert_factor_window(order, step, length, fr.dates, fr.values, fr.times, fr.main)


def test_factor_values_show_only_after_the_day_they_come_from(run_state):
    """pe = close / eps: the pe visible at a minute step is a constant times the
    close of a day strictly before the step's day (the last traded one)."""
    market = run_state.market
    codes = stock_codes(market)
    begin, end = day_range(market)
    prepare_run(codes, "min", 1, begin, end)
    rows = sub.reg_factor(["pe"], codes, begin, end)
    times = step_times()
    ratios = [[] for _ in codes]
    for step in sample_steps(times, np.random.default_rng(3), n_random=100):
        pe = sub.get_reg_factor(rows[0], step, 1)[1][:, -1]
        for t, code in enumerate(codes):
            if math.isnan(pe[t]):
                continue
            bars = market.bars_1d[code]
            before = np.flatnonzero(np.floor(bars["time"]) < math.floor(times[step]))
            assert before.size, (code, step)  # no value before the target's first day
            ratios[t].append(pe[t] / bars["close"][before[-1]])
    for code, r in zip(codes, ratios):
        assert len(r) > 20, code
        np.testing.assert_allclose(r, r[0], rtol=1e-4, err_msg=code)


def test_factor_positions_and_days_before_the_first_factor_day(run_state):
    """NaN and negative positions address the step they name and end the window with
    its factor day; steps before the first factor day see nothing."""
    market = run_state.market
    codes = stock_codes(market)
    begin, end = day_range(market, 0, 4)
    prepare_run(codes, "min", 5, begin, end)
    with pytest.raises(KeyError):
        sub.get_reg_factor(np.array([0]), 0, 1)
    late = int(market.days[2])  # the factor's dates start on the run's third day
    rows = sub.reg_factor(["pb"], codes, late, end)
    dates, values = service_rows(["pb"], codes, late, end)
    times = step_times()
    steps = times.size
    fresh = run_state.vr.g_VornixFactorValueDict["FreshIdx"]
    day = np.floor(times)
    np.testing.assert_array_equal(fresh[day < dates[0]], -1)
    for step in (0, int(np.argmax(day >= dates[0])), steps - 1):
        assert_factor_window(rows[0].tolist(), step, 3, dates, values, times)
    assert np.isnan(sub.get_reg_factor(rows[0], 0, 2)[0]).all()
    last = sub.get_reg_factor(rows[0], steps - 1, 4)
    assert last[0][-1] == day[-1]
    for pos, same in (
        (NAN, steps - 1),
        (-1, steps - 1),
        (np.int32(-2), steps - 2),
        (-steps, 0),
        (7.0, 7),
    ):
        for got, want in zip(
            sub.get_reg_factor(rows[0], pos, 4), sub.get_reg_factor(rows[0], same, 4)
        ):
            np.testing.assert_array_equal(got, want, err_msg=repr(pos))


@pytest.mark.parametrize(
    "reg_idx, pos, length, error",
    [
        ([6], 0, 1, IndexError),
        ([-1], 0, 1, IndexError),
        ([0], "steps", 1, IndexError),
        ([0], "-steps-1", 1, IndexError),
        ([0], 2.5, 1, ValueError),
        ([0], 0, -1, ValueError),
    ],
)
def test_factor_window_refusals(run_state, reg_idx, pos, length, error):
    market = run_state.market
    codes = stock_codes(market)
    begin, end = day_range(market, 0, 2)
    prepare_run(codes, "day", 1, begin, end)
    sub.reg_factor(["pe"], codes, begin, end)
    steps = step_times().size
    pos = {"steps": steps, "-steps-1": -steps - 1}.get(pos, pos)
    with pytest.raises(error):
        sub.get_reg_factor(np.array(reg_idx), pos, length)


def test_single_target_and_empty_request(run_state, monkeypatch, tmp_path):
    market = run_state.market
    codes = stock_codes(market)
    begin, end = day_range(market, 0, 4)
    prepare_run(codes, "min", 5, begin, end)
    paths = FactorPaths(tmp_path)
    monkeypatch.setattr(sub, "vxcmd", paths)
    vr = run_state.vr
    for targets, width in ((codes, 6), (codes[1], 1)):
        empty = sub.reg_factor([], targets, begin, end)
        assert empty.shape == (0, width) and empty.dtype == np.int64
    assert paths.calls == [] and vr.g_VornixFactorValueDict == {}
    assert vr.g_VornixInputInfo.FactorList == []
    one = sub.reg_factor("turnover_rate", codes[1], begin, end)
    assert one.tolist() == [[0]] and paths.calls == [(["turnover_rate"], [codes[1]])]
    assert vr.g_VornixFactorValueDict["Targets"] == [codes[1]]
    dates, values = service_rows(["turnover_rate"], [codes[1]], begin, end)
    times = step_times()
    for step in (0, 100, times.size - 1):
        assert_factor_window([0], step, 3, dates, values, times)


def test_factors_registered_again_are_not_loaded_again(run_state, monkeypatch, tmp_path):
    market = run_state.market
    codes = stock_codes(market)
    begin, end = day_range(market, 0, 4)
    prepare_run(codes, "min", 5, begin, end)
    vr = run_state.vr
    sub.reg_factor(["pe"], codes, begin, end)
    data = vr.g_VornixFactorValueDict["FactorData"]
    # from here on every factor is loaded through the factor service, which counts
    monkeypatch.setattr(sub, "vxcmd", FactorPaths(tmp_path))
    loads = []
    real = sub.get_factor_by_factor
    monkeypatch.setattr(sub, "get_factor_by_factor", lambda *a: loads.append(a[0]) or real(*a))
    rows = sub.reg_factor(["pb", "pe", "pb"], codes, begin, end)
    np.testing.assert_array_equal(rows, [np.arange(6, 12), np.arange(6), np.arange(6, 12)])
    assert loads == ["pb"]
    assert vr.g_VornixInputInfo.FactorList == ["pe", "pb"]
    stored = vr.g_VornixFactorValueDict["FactorData"]
    assert stored.shape == (13, data.shape[1])
    np.testing.assert_array_equal(stored[:7], data)
    np.testing.assert_array_equal(sub.reg_factor(["pe", "pb"], codes, begin, end), rows[[1, 0]])
    assert loads == ["pb"]


# --------------------------------------------------------------------- hand-written factor files


def write_factor_file(path, dates, codes, values, extra=None, date_key="Date"):
    """A MAT file as the core writes it: the dates and "bp_<market>_<code>" per target,
    market in lower case; `extra` adds keys."""
    content = {date_key: np.asarray(dates, dtype=float)}
    for code, row in zip(codes, values):
        market, symbol = code.split(".")
        content["bp_%s_%s" % (market.lower(), symbol)] = np.asarray(row, dtype=float)
    content.update(extra or {})
    scipy.io.savemat(str(path), content)
    return str(path)


def test_hand_written_factor_file(run_state, monkeypatch, tmp_path):
    """Keys "bp_<market>_<code>" name the targets whatever their order and case;
    other keys are ignored. The file's dates (every other trading day, from the
    run's second day on) become the date row: a step sees the last of them on or
    before its day."""
    market = run_state.market
    codes = stock_codes(market)
    begin, end = day_range(market, 0, 9)
    prepare_run(codes, "min", 5, begin, end)
    dates = get_factor_by_factor("pe", codes, begin, end, 0)["date"][1::2]
    values = np.random.default_rng(5).normal(size=(len(codes), dates.size)).round(3)
    values[2, :2] = np.nan
    junk = {"sh_600000": np.ones(dates.size), "value_bp_sz_000011": np.zeros(dates.size)}
    own = write_factor_file(tmp_path / "own.mat", dates, codes[::-1], values[::-1], junk)
    monkeypatch.setattr(sub, "vxcmd", FactorPaths(tmp_path, {"own": own}))
    rows = sub.reg_factor(["own"], codes, begin, end)
    np.testing.assert_array_equal(rows, [np.arange(6)])
    times = step_times()
    for step in range(0, times.size, 3):
        assert_factor_window(list(range(6)), step, 3, dates.tolist(), values.tolist(), times)


BAD_FILES = {
    "missing target": lambda d, c, v: (c[:-1], v[:-1], {}),
    "extra target": lambda d, c, v: (c, v, {"bp_sh_600999": v[0]}),
    "wrong code": lambda d, c, v: (c[:-1] + ["SH.600999"], v, {}),
    "no dates": lambda d, c, v: (c, v, {"date_key": "Dates"}),
    "shifted dates": lambda d, c, v: (c, v, {"dates": d + 1}),
    "short series": lambda d, c, v: (c, v[:, :-1], {}),
}


@pytest.mark.parametrize(
    "case",
    ["other dates", "other targets", "targets reordered", "unknown factor"] + list(BAD_FILES),
)
def test_refused_factor_registration_changes_nothing(run_state, monkeypatch, tmp_path, case):
    """A refused call leaves the factor list at its length on entry and the factor
    store as it was, also when an earlier factor of the call had been loaded."""
    market = run_state.market
    codes = stock_codes(market)
    begin, end = day_range(market, 0, 4)
    prepare_run(codes, "min", 5, begin, end)
    vr = run_state.vr
    sub.reg_factor(["pe"], codes, begin, end)
    snap = factor_store_snapshot(vr)
    factors, targets, first = ["pb", "own"], codes, begin
    error = VxDataError
    if case == "other dates":
        factors, first = ["pb"], int(market.days[1])
    elif case == "other targets":
        factors, targets = ["pb"], codes[:3]
    elif case == "targets reordered":
        factors, targets = ["pb"], codes[::-1]
    elif case == "unknown factor":
        factors, error = ["pb", "no_such_factor"], ValueError  # the factor service's refusal
    else:
        dates = get_factor_by_factor("pe", codes, begin, end, 0)["date"]
        values = np.ones((len(codes), dates.size))
        c, v, extra = BAD_FILES[case](dates, list(codes), values)
        date_key = extra.pop("date_key", "Date")
        dates = extra.pop("dates", dates)
        own = write_factor_file(tmp_path / "own.mat", dates, c, v, extra, date_key)
        monkeypatch.setattr(sub, "vxcmd", FactorPaths(tmp_path, {"own": own}))
    with pytest.raises(error):
        sub.reg_factor(factors, targets, first, end)
    assert vr.g_VornixInputInfo.FactorList == ["pe"]
    assert_store_unchanged(vr, snap)
    # the next good call takes the rows after the registered ones
    np.testing.assert_array_equal(sub.reg_factor(["pb"], codes, begin, end), [np.arange(6, 12)])


def test_a_new_run_starts_without_the_factors_of_the_last(run_state):
    market = run_state.market
    codes = stock_codes(market)
    begin, end = day_range(market, 0, 4)
    prepare_run(codes, "min", 5, begin, end)
    sub.reg_factor(["pe"], codes, begin, end)
    prepare_run(codes, "day", 1, begin, end)
    rows = sub.reg_factor(["pe"], codes, begin, end)
    dates, values = service_rows(["pe"], codes, begin, end)
    times = step_times()
    for step in range(times.size):
        assert_factor_window(rows[0].tolist(), step, 2, dates, values, times)


# ===================================================================== user data


@pytest.fixture
def user_run(run_state):
    """A five-minute run on two stocks over three days (144 steps)."""
    market = run_state.market
    prepare_run(stock_codes(market)[:2], "min", 5, *day_range(market, 0, 2))
    run_state.times = step_times()
    return run_state


def _layout(times, data, layout):
    """The same points in another memory layout (strided, reversed, Fortran order,
    surplus data points after the last time)."""
    if layout == "strided":
        return np.repeat(times, 2)[::2], np.repeat(data, 2, axis=0)[::2]
    if layout == "reversed":
        return times[::-1].copy()[::-1], data[::-1].copy()[::-1]
    if layout == "fortran":
        return times, np.asfortranarray(data)
    if layout == "surplus":
        return times, np.concatenate([data, np.full((2,) + data.shape[1:], 99.0)])
    return times, data


def test_user_data_against_a_plain_loop(user_run):
    vr = user_run.vr
    tl = user_run.times.tolist()
    steps = len(tl)
    some_time = st.one_of(
        st.sampled_from(tl),  # exactly at a step
        st.floats(tl[0] - 0.5, tl[-1] + 0.5, allow_nan=False),
        st.sampled_from([tl[0] - 2.0, tl[-1] + 2.0]),  # before all steps, after all steps
    )

    @kernel_settings
    @given(data=st.data())
    def check(data):
        times = data.draw(st.lists(some_time, max_size=20, unique=True))
        times += [NAN] * data.draw(st.integers(0, 2))
        times = [times[p] for p in data.draw(st.permutations(range(len(times))))]
        series = data.draw(st.sampled_from([None, 1, 3]))  # None: one-dimensional data
        width = series or 1
        points = data.draw(
            st.lists(
                st.lists(st.floats(-1e6, 1e6, allow_nan=False), min_size=width, max_size=width),
                min_size=len(times),
                max_size=len(times),
            )
        )
        arr = np.array(points, dtype=float).reshape(len(times), width)
        t_arr, d_arr = _layout(
            np.array(times, dtype=float),
            arr if series else arr[:, 0],
            data.draw(st.sampled_from(["plain", "strided", "reversed", "fortran", "surplus"])),
        )
        before = vr.g_VornixDataValueFreshUserD
        prior = before.shape[0] if before.ndim == 2 else 0
        idx = sub.reg_user_data(t_arr, d_arr)
        np.testing.assert_array_equal(idx, np.arange(prior, prior + width))
        matrix = vr.g_VornixDataValueFreshUserD
        assert matrix.dtype == np.float64 and matrix.shape == (prior + width, steps)
        want = ref.user_data_rows(times, points, tl, width)
        np.testing.assert_array_equal(matrix[idx], want)
        if prior:
            np.testing.assert_array_equal(matrix[:prior], before)
        pos = data.draw(st.one_of(st.just(NAN), st.integers(-steps, steps - 1)))
        length = data.draw(st.integers(0, steps + 3))
        dt, value = sub.get_reg_user_data(idx, pos, length)
        want_dt, want_value = ref.user_window(want, tl, pos, length)
        np.testing.assert_array_equal(dt, want_dt)
        np.testing.assert_array_equal(value, np.array(want_value).reshape(width, -1))
        if prior > 20:
            vr.g_VornixDataValueFreshUserD = np.array([])

    check()


def test_user_data_visibility_at_the_edges(user_run):
    vr, tl = user_run.vr, user_run.times
    times = np.array([tl[5], (tl[9] + tl[10]) / 2, tl[0] - 1, tl[-1] + 1, NAN])
    idx = sub.reg_user_data(times, np.array([[1.0, 10], [2, 20], [3, 30], [4, 40], [5, 50]]))
    np.testing.assert_array_equal(idx, [0, 1])
    # the point before all steps from step 0, the one at step 5's time from step 6,
    # the one between steps 9 and 10 from step 10; later and NaN times never
    row = np.r_[np.full(6, 3.0), np.full(4, 1.0), np.full(tl.size - 10, 2.0)]
    np.testing.assert_array_equal(vr.g_VornixDataValueFreshUserD, [row, 10 * row])
    later = sub.reg_user_data(np.array([tl[-1] + 1]), np.array([7.0]))
    np.testing.assert_array_equal(later, [2])
    assert not vr.g_VornixDataValueFreshUserD[2].any()


@pytest.mark.parametrize(
    "time_line, data, error, match",
    [
        (np.zeros((2, 2)), np.zeros(4), ValueError, "time_line"),
        (np.zeros(2), np.zeros((2, 1, 1)), ValueError, "data"),
        (np.zeros(3), np.zeros(2), IndexError, "2 points for 3 times"),
        (np.zeros(2), np.array(["a", "b"]), TypeError, "data must hold numbers"),
        (np.array(["a", "b"]), np.zeros(2), TypeError, "time_line must hold numbers"),
    ],
)
def test_refused_user_data_is_not_stored(user_run, time_line, data, error, match):
    vr = user_run.vr
    sub.reg_user_data(np.array([user_run.times[3]]), np.array([1.0]))
    before = vr.g_VornixDataValueFreshUserD
    with pytest.raises(error, match=match):
        sub.reg_user_data(time_line, data)
    assert vr.g_VornixDataValueFreshUserD is before and before.shape == (1, user_run.times.size)


# ===================================================================== user indicators


@pytest.fixture
def indicator_state(monkeypatch):
    """A fresh state store with a main time line of 12 steps, a context and one
    indicator row registered (no core needed)."""
    var = fresh_state(monkeypatch).vr
    var.g_VornixDataValueFresh = (738900.4 + np.arange(12) / 100.0).reshape(1, -1)
    var.g_VornixUserContext = SimpleNamespace(_internal_bar_num=NAN)
    assert sub.reg_user_indices(lambda ctx: ctx._internal_bar_num) == [0]
    return var


def test_indicator_sees_each_step_in_order(indicator_state):
    vr = indicator_state
    ctx = vr.g_VornixUserContext
    ctx._internal_bar_num = 123
    seen = []

    def indicator(c):
        seen.append((c._internal_bar_num, ss.env.get_internal_fresh_bar_num(), ss.smm.phase))
        step = c._internal_bar_num
        return [step, step % 3 == 0, -step]  # whole numbers and truth values

    assert sub.reg_user_indices(indicator) == [1, 2, 3]
    assert seen == [(s, s, gv.RUMMODE_PHASE_USERINDI) for s in range(12)]
    assert ctx._internal_bar_num == 123
    assert sub.reg_user_indices(lambda c: np.bool_(c._internal_bar_num > 5)) == [4]
    assert sub.reg_user_indices(lambda c: np.array([[c._internal_bar_num], [1]])) == [5, 6]
    matrix = vr.g_VornixDataValueFreshUserI
    assert matrix.dtype == np.float64 and matrix.shape == (7, 12)
    s = np.arange(12.0)
    np.testing.assert_array_equal(matrix, [s, s, s % 3 == 0, -s, s > 5, s, np.ones(12)])


def _raises_at_five(ctx):
    if ctx._internal_bar_num == 5:
        raise ZeroDivisionError("at step 5")
    return 1.0


REFUSED = {
    "raises": (_raises_at_five, ZeroDivisionError, None),
    "None": (lambda c: None, UnExpectError, 1),
    "text": (lambda c: "high", UnExpectError, 1),
    "row of three": (lambda c: np.ones((1, 3)), UnExpectError, 3),
    "lengths differ": (lambda c: [1.0] * (2 if c._internal_bar_num < 4 else 3), UnExpectError, 2),
    "ragged result": (lambda c: [[1.0, 2.0], [3.0]], UnExpectError, None),
}


@pytest.mark.parametrize("case", list(REFUSED))
def test_refused_indicator_changes_nothing(indicator_state, case):
    vr = indicator_state
    func, error, target_len = REFUSED[case]
    before = vr.g_VornixDataValueFreshUserI
    kept = before.copy()
    with pytest.raises(error) as err:
        sub.reg_user_indices(func)
    assert error is not UnExpectError or isinstance(err.value, ValueError)
    if target_len is not None:
        assert str(err.value) == text.WARN_USER_INDICES_RESULT_FORMAT.format(
            TARGETLEN=target_len, COLUMNLEN=12
        )
    assert vr.g_VornixDataValueFreshUserI is before
    np.testing.assert_array_equal(before, kept)
    assert math.isnan(vr.g_VornixUserContext._internal_bar_num)


@pytest.mark.parametrize("peek", [0, 1], ids=["honest", "peeking"])
def test_indicator_look_ahead_is_caught(run_state, peek):
    """An indicator over a K window at its step gives the same values in a run cut
    short; one that reads the window one step ahead differs at the step before
    the cut."""
    market = run_state.market
    vr = run_state.vr
    vr.g_VornixUserContext = SimpleNamespace()
    codes = stock_codes(market)
    main = {}

    def moving_close(ctx):
        last = ss.vr.g_VornixDataValueFresh.shape[1] - 1
        step = min(int(ss.env.get_internal_fresh_bar_num()) + peek, last)
        window = _windows.get_reg_k_data_values(main["idx"], step, 3, True)
        return window[:, 5].reshape(len(codes), 3).mean(axis=1)  # 3-bar mean close

    values = {}
    for last_day in (2, 1):
        main["idx"] = prepare_run(codes, "min", 1, *day_range(market, 0, last_day))
        rows = sub.reg_user_indices(moving_close)
        values[last_day] = vr.g_VornixDataValueFreshUserI[rows]
    full, short = values[2], values[1]
    cut = short.shape[1]
    assert full.shape[1] == cut + 240
    np.testing.assert_array_equal(full[:, : cut - 1], short[:, : cut - 1])
    assert np.array_equal(full[:, cut - 1], short[:, cut - 1], equal_nan=True) == (peek == 0)


# ===================================================================== windows of user rows


@pytest.fixture(scope="module")
def user_rows(sample_market, tmp_path_factory):
    """A five-minute run over two days with two user-data rows and two indicator
    rows that both hold (s, -s) at step s."""
    path, market = sample_market
    with (
        pytest.MonkeyPatch.context() as mp,
        fresh_run_state(mp, tmp_path_factory.mktemp("core-cache"), path) as state,
    ):
        prepare_run(stock_codes(market)[:2], "min", 5, *day_range(market, 0, 1))
        tl = step_times()
        n = tl.size
        # point i is stamped at step i's time: it shows from step i + 1 on
        data_idx = sub.reg_user_data(tl, np.c_[np.arange(1.0, n + 1), -np.arange(1.0, n + 1)])
        state.vr.g_VornixUserContext = SimpleNamespace()
        ind_idx = sub.reg_user_indices(lambda c: [c._internal_bar_num, -c._internal_bar_num])
        yield SimpleNamespace(
            vr=state.vr,
            times=tl,
            idx={"user data": data_idx, "indicator": ind_idx},
            read={"user data": sub.get_reg_user_data, "indicator": sub.get_reg_user_indicator},
        )


KINDS = ["user data", "indicator"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("pos", [NAN, -1, 0, 5, 50, -96, 95, np.int64(-3)], ids=repr)
@pytest.mark.parametrize("length", [0, 1, 4, 200])
def test_user_windows(user_rows, kind, pos, length):
    tl = user_rows.times.tolist()
    s = np.arange(len(tl), dtype=float)
    reg_idx = user_rows.idx[kind][::-1]  # rows come back in the order asked for
    dt, value = user_rows.read[kind](list(reg_idx) if kind == "indicator" else reg_idx, pos, length)
    want_dt, want = ref.user_window([(-s).tolist(), s.tolist()], tl, pos, length)
    np.testing.assert_array_equal(dt, want_dt)
    np.testing.assert_array_equal(value, np.array(want).reshape(2, -1))
    assert value.dtype == np.float64


def test_indicator_window_times_are_the_callers(user_rows):
    dt, _ = sub.get_reg_user_indicator(user_rows.idx["indicator"], 10, 5)
    dt[:] = -1.0
    np.testing.assert_array_equal(user_rows.vr.g_VornixCache.dvf_tl, user_rows.times)
    np.testing.assert_array_equal(user_rows.vr.g_VornixDataValueFresh[0], user_rows.times)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "reg_idx, pos, length, error",
    [
        ([2], 0, 1, IndexError),  # at the row count
        ([0, 7], 0, 1, None),  # past the row count: the empty pair
        ([3], NAN, 1, None),
        ([-1], 0, 1, IndexError),
        ([], 0, 1, ValueError),
        ([0], 96, 1, IndexError),
        ([0], -97, 1, IndexError),
        ([0], 0, -1, ValueError),
        ([0.5], 0, 1, TypeError),
    ],
)
def test_user_window_refusals(user_rows, kind, reg_idx, pos, length, error):
    assert user_rows.times.size == 96
    if error is None:
        dt, value = user_rows.read[kind](reg_idx, pos, length)
        assert dt.shape == (0,) and value.shape == (0,)
        return
    with pytest.raises(error):
        user_rows.read[kind](reg_idx, pos, length)


@pytest.mark.parametrize("read", [sub.get_reg_user_data, sub.get_reg_user_indicator])
def test_user_windows_before_any_registration(monkeypatch, read):
    fresh_state(monkeypatch).vr.g_VornixDataValueFresh = np.arange(5.0).reshape(1, -1)
    for idx, pos in (([3], 0), ([3], NAN), ([], 0)):
        dt, value = read(idx, pos, 2)
        assert dt.shape == (0,) and value.shape == (0,)
