"""Bar combination kernels: complete bars from ranges, bars in progress, adjusted
bars in progress (with and without the unadjusted bars), all against the
pure-Python reference; no look-ahead."""

import numpy as np
import pytest
import ualgo_reference as ref
from hypothesis import given
from hypothesis import strategies as st
from ualgo_strategies import adj_block, adj_matrix, k_matrix, rows_of, time_line

from vornix.tframe import ualgo
from vornix.tframe.sysdefine import GlobalDefine as gv
from vxtest.settings import kernel_settings
from vxtest.support import bar_rows, kmatrix

ADJ_PRICES = (ref.AO, ref.AH, ref.AL, ref.AC)
K_PRICES = (ref.OP, ref.HI, ref.LO, ref.CL)


def reg_groups(data, min_base=1):
    """A base time line, a second time line and the kernel's group bounds."""
    base_tl = data.draw(time_line(min_size=min_base), label="base_tl")
    second_tl = data.draw(time_line(max_size=8), label="second_tl")
    begin, end = ualgo.vxCalcRegKDataBeginEndPos(np.array(base_tl), np.array(second_tl), 0)
    assert (begin.tolist(), end.tolist()) == ref.reg_begin_end_pos(base_tl, second_tl)
    return base_tl, begin, end


@kernel_settings
@given(data=st.data())
def test_h_to_l_matches_reference(data):
    base_tl = data.draw(time_line(), label="base_tl")
    target_tl = data.draw(time_line(max_size=10), label="target_tl")
    base = data.draw(k_matrix(base_tl), label="base")
    n_targets = ref.n_targets_of(base)
    # body rows of the target are garbage that must be overwritten
    target = data.draw(k_matrix(target_tl, n_targets), label="target")
    begin, end = ualgo.vxCalcKDataBeginEndPos(np.array(base_tl), np.array(target_tl))
    base_before, target_before = base.copy(), target.copy()

    out = ualgo.vxCalcCombineMatrixHtoL(base, target, begin, end, gv.KMatrix_Bar_Len, 0)

    expected = ref.combine_h_to_l(rows_of(base), rows_of(target), begin.tolist(), end.tolist())
    np.testing.assert_array_equal(out, np.array(expected).reshape(target.shape))
    np.testing.assert_array_equal(base, base_before)
    np.testing.assert_array_equal(target, target_before)


@kernel_settings
@given(data=st.data())
def test_1_to_n_matches_reference(data):
    base_tl, begin, end = reg_groups(data, min_base=0)
    base = data.draw(k_matrix(base_tl), label="base")
    out = ualgo.vxCalcCombineMatrix1toN(base, begin, end, gv.KMatrix_Bar_Len, 0)
    expected = ref.combine_1_to_n(rows_of(base), begin.tolist())
    np.testing.assert_array_equal(out, np.array(expected).reshape(base.shape))


@kernel_settings
@given(data=st.data())
def test_data_value_fresh_matches_reference(data):
    base_tl, begin, end = reg_groups(data, min_base=0)
    base = data.draw(k_matrix(base_tl), label="base")
    n_targets = ref.n_targets_of(base)
    out = ualgo.vxCalcDataValueFresh(base, begin, end, gv.KMatrix_Bar_Len, n_targets, 0)
    expected = ref.data_value_fresh(rows_of(base), begin.tolist(), n_targets)
    np.testing.assert_array_equal(out, np.array(expected).reshape(out.shape))
    assert out.shape == (1 + n_targets * gv.KMatrix_Bar_Len, len(base_tl))
    # written in place: the blocks at the last bars only, into rows of a larger buffer
    skip = data.draw(st.integers(0, len(base_tl)), label="skip")
    buf = np.full((out.shape[0] + 1, len(base_tl) - skip), -1.0)
    got = ualgo.vxCalcDataValueFresh(base, begin, end, gv.KMatrix_Bar_Len, n_targets, 0,
                                     out=buf[1:-1])
    assert got.base is buf or got.base is buf.base
    np.testing.assert_array_equal(buf[1:-1], np.array(expected).reshape(out.shape)[1:, skip:])
    assert (buf[0] == -1).all() and (buf[-1] == -1).all()
    with pytest.raises((TypeError, ValueError), match="out must be"):
        ualgo.vxCalcDataValueFresh(base, begin, end, gv.KMatrix_Bar_Len, n_targets, 0,
                                   out=np.zeros((out.shape[0], len(base_tl))))


@kernel_settings
@given(data=st.data())
def test_data_value_fresh_adj_matches_reference(data):
    base_tl, begin, end = reg_groups(data, min_base=0)
    n_targets = data.draw(st.integers(1, 3), label="n_targets")
    adj = data.draw(adj_matrix(len(base_tl), n_targets), label="adj")
    out = ualgo.vxCalcDataValueFresh_Adj(adj, begin, end, gv.Adj_KMatrix_Bar_Len, n_targets, 0)
    expected = ref.data_value_fresh_adj(rows_of(adj), begin.tolist(), n_targets)
    np.testing.assert_array_equal(out, np.array(expected).reshape(adj.shape))


@st.composite
def adj_of(draw, base, n_targets):
    """Adjusted prices over the bars of K matrix `base`.  Per target either its
    own prices times a factor that steps once (a roll or an ex-date), or prices
    drawn on their own: NaN and flat bars whatever the volume says."""
    n = base.shape[1]
    rows = np.full((n_targets * ref.ADJ, n), np.nan)
    for t in range(n_targets):
        if draw(st.booleans(), label="scaled"):
            step = draw(st.integers(0, n), label="step")
            factor = np.where(np.arange(n) < step, draw(st.sampled_from([0.5, 1.25, 2.0])), 1.0)
            for a, k in zip(ADJ_PRICES, K_PRICES):
                rows[t * ref.ADJ + a] = base[ref.HEAD + t * ref.BAR + k] * factor
        else:
            rows[t * ref.ADJ : (t + 1) * ref.ADJ] = draw(adj_block(n))
    return rows


@kernel_settings
@given(data=st.data())
def test_data_value_fresh_adj_with_base_matches_reference(data):
    base_tl, begin, end = reg_groups(data, min_base=0)
    base = data.draw(k_matrix(base_tl), label="base")
    n_targets = ref.n_targets_of(base)
    adj = data.draw(adj_of(base, n_targets), label="adj")
    out = ualgo.vxCalcDataValueFresh_Adj(
        adj, begin, end, gv.Adj_KMatrix_Bar_Len, n_targets, 0, base=base
    )
    expected = ref.data_value_fresh_adj(rows_of(adj), begin.tolist(), n_targets, rows_of(base))
    np.testing.assert_array_equal(out, np.array(expected).reshape(adj.shape))


def _run_1_to_n(m, begin, end, n_targets):
    return ualgo.vxCalcCombineMatrix1toN(m, begin, end, gv.KMatrix_Bar_Len, 0)


def _run_fresh(m, begin, end, n_targets):
    return ualgo.vxCalcDataValueFresh(m, begin, end, gv.KMatrix_Bar_Len, n_targets, 0)


def _run_adj(m, begin, end, n_targets):
    return ualgo.vxCalcDataValueFresh_Adj(m, begin, end, gv.Adj_KMatrix_Bar_Len, n_targets, 0)


def _run_adj_base(m, begin, end, n_targets):
    """m: the unadjusted K matrix with the adjusted price rows below it."""
    k = ref.HEAD + n_targets * ref.BAR
    return ualgo.vxCalcDataValueFresh_Adj(
        m[k:], begin, end, gv.Adj_KMatrix_Bar_Len, n_targets, 0, base=m[:k]
    )


@pytest.mark.parametrize(
    "kernel",
    [_run_1_to_n, _run_fresh, _run_adj, _run_adj_base],
    ids=["1toN", "fresh", "adj", "adj-base"],
)
@kernel_settings
@given(data=st.data())
def test_no_look_ahead(kernel, data):
    """Replacing every base bar after i leaves column i and all before it unchanged."""
    base_tl, begin, end = reg_groups(data)
    n = len(base_tl)
    n_targets = data.draw(st.integers(1, 2), label="n_targets")
    if kernel is _run_adj:
        body = 0
        draw_matrix = lambda: data.draw(adj_matrix(n, n_targets))  # noqa: E731
    elif kernel is _run_adj_base:
        body = ref.HEAD

        def draw_matrix():
            base = data.draw(k_matrix(base_tl, n_targets))
            return np.vstack([base, data.draw(adj_of(base, n_targets))])

    else:
        body = ref.HEAD
        draw_matrix = lambda: data.draw(k_matrix(base_tl, n_targets))  # noqa: E731
    original = draw_matrix()
    i = data.draw(st.integers(0, n - 1), label="i")
    changed = original.copy()
    changed[body:, i + 1 :] = draw_matrix()[body:, i + 1 :]

    before = kernel(original, begin, end, n_targets)
    after = kernel(changed, begin, end, n_targets)
    np.testing.assert_array_equal(before[:, : i + 1], after[:, : i + 1])


# --- explicit cases -------------------------------------------------------------------


def minute(day, hh, mm):
    return day + (hh * 60 + mm) / 1440.0


def trading_minutes(day):
    """Minute bar times of a day with a lunch break: 09:31..11:30 and 13:01..15:00."""
    morning = [minute(day, 9, 30 + k) for k in range(1, 121)]
    afternoon = [minute(day, 13, k) for k in range(1, 121)]
    return morning + afternoon


def minute_matrix(days, seed=7):
    """One target of traded minute bars over the given days (prices follow a walk)."""
    tl = [t for d in days for t in trading_minutes(d)]
    n = len(tl)
    rng = np.random.default_rng(seed)
    close = 100 + np.cumsum(rng.integers(-2, 3, n)).astype(float)
    open_ = np.r_[close[0], close[:-1]]
    volume = rng.integers(1, 100, n).astype(float)
    block = [open_, np.maximum(open_, close) + 1, np.minimum(open_, close) - 1, close, volume,
             volume * close, np.arange(n, dtype=float)]
    return kmatrix(tl, [block])


def synthesize_n_minutes(m, n):
    """Multi-period synthesis the way the registration layer does it."""
    mask = ualgo.vxCalculateFreshMask(m[gv.KMatrixPos_DayPos], gv.KFreq_Min, n)
    tl = m[gv.KMatrixPos_TimeLine]
    begin, end = ualgo.vxCalcRegKDataBeginEndPos(tl, tl[mask], 0)
    combined = ualgo.vxCalcCombineMatrix1toN(m, begin, end, gv.KMatrix_Bar_Len, 0)
    return combined[:, mask]


@pytest.mark.parametrize("n, per_day", [(5, 48), (7, 35)])
def test_n_minute_bars_stop_at_day_end(n, per_day):
    days = [740000, 740001]
    m = minute_matrix(days)
    bars = synthesize_n_minutes(m, n)
    assert bars.shape[1] == 2 * per_day
    tl = bars[gv.KMatrixPos_TimeLine]
    # every day closes a bar at 15:00, and the second day starts a new group
    np.testing.assert_allclose(tl[per_day - 1], minute(days[0], 15, 0))
    np.testing.assert_allclose(tl[-1], minute(days[1], 15, 0))
    np.testing.assert_allclose(tl[per_day], trading_minutes(days[1])[n - 1])
    # volumes add up per group; the day's last group is shorter when 240 % n != 0
    vol = m[ref.HEAD + ref.VOL]
    last_len = 240 - (per_day - 1) * n
    assert bars[ref.HEAD + ref.VOL, per_day - 1] == vol[240 - last_len : 240].sum()
    assert bars[ref.HEAD + ref.VOL, per_day] == vol[240 : 240 + n].sum()
    assert bars[ref.HEAD + ref.OP, per_day] == m[ref.HEAD + ref.OP, 240]


def test_seven_minute_group_spans_lunch_break():
    m = minute_matrix([740000])
    bars = synthesize_n_minutes(m, 7)
    # 120 = 17 * 7 + 1: the 18th group holds 11:30 and 13:01..13:06
    np.testing.assert_allclose(bars[gv.KMatrixPos_TimeLine, 17], minute(740000, 13, 6))
    assert bars[ref.HEAD + ref.OP, 17] == m[ref.HEAD + ref.OP, 119]
    assert bars[ref.HEAD + ref.CL, 17] == m[ref.HEAD + ref.CL, 125]


def test_hourly_calendar_bar_after_lunch_holds_afternoon_minutes_only():
    day = 740000
    m = minute_matrix([day])
    cal = np.array(
        [minute(day, 10, 30), minute(day, 11, 30), minute(day, 14, 0), minute(day, 15, 0)]
    )
    begin, end = ualgo.vxCalcKDataBeginEndPos(m[gv.KMatrixPos_TimeLine], cal)
    assert begin.tolist() == [0, 60, 120, 180]
    assert end.tolist() == [59, 119, 179, 239]
    target = np.zeros((m.shape[0], cal.size))
    target[gv.KMatrixPos_TimeLine] = cal
    out = ualgo.vxCalcCombineMatrixHtoL(m, target, begin, end, gv.KMatrix_Bar_Len, 0)
    body = ref.HEAD
    assert out[body + ref.OP, 2] == m[body + ref.OP, 120]  # 13:01
    assert out[body + ref.CL, 2] == m[body + ref.CL, 179]  # 14:00
    assert out[body + ref.HI, 2] == m[body + ref.HI, 120:180].max()
    np.testing.assert_array_equal(out[gv.KMatrixPos_TimeLine], cal)


def test_day_bar_in_progress_over_minutes():
    days = [740000, 740001]
    m = minute_matrix(days)
    day_tl = np.array([minute(d, 15, 0) for d in days])
    begin, end = ualgo.vxCalcRegKDataBeginEndPos(m[gv.KMatrixPos_TimeLine], day_tl, 0)
    out = ualgo.vxCalcDataValueFresh(m, begin, end, gv.KMatrix_Bar_Len, 1, 0)
    body = ref.HEAD
    at_1000 = 29  # 10:00 of the first day is its 30th minute
    assert out[1 + ref.OP, at_1000] == m[body + ref.OP, 0]
    assert out[1 + ref.HI, at_1000] == m[body + ref.HI, : at_1000 + 1].max()
    assert out[1 + ref.VOL, at_1000] == m[body + ref.VOL, : at_1000 + 1].sum()
    # the second day starts from its own first minute
    assert out[1 + ref.OP, 240] == m[body + ref.OP, 240]
    assert out[1 + ref.VOL, 240] == m[body + ref.VOL, 240]
    np.testing.assert_array_equal(out[0], m[gv.KMatrixPos_TimeLine])


def test_weeks_with_suspended_days():
    """Daily bars Mon..Fri for three weeks; the target is suspended from Wednesday
    of week 2 to the end of week 3; week 2 has a holiday on Friday."""
    days = [1, 2, 3, 4, 5, 8, 9, 10, 11, 15, 16, 17, 18, 19]
    tl = np.array([740000 + d + 0.625 for d in days])  # stamped 15:00
    n = tl.size
    m = np.full((ref.HEAD + ref.BAR, n), np.nan)
    m[gv.KMatrixPos_TimeLine] = tl
    m[gv.KMatrixPos_DayPos] = np.arange(n)
    body = ref.HEAD
    close = np.array([10, 11, 12, 13, 14, 15, 16, 16, 16, 16, 16, 16, 16, 16], float)
    suspended = np.arange(n) >= 7
    m[body + ref.OP] = close - 0.5
    m[body + ref.HI] = close + 1
    m[body + ref.LO] = close - 1
    m[body + ref.CL] = close
    m[body + ref.VOL] = np.where(suspended, 0, 100)
    m[body + ref.TURN] = np.where(suspended, 0, 1000)
    m[body + ref.OI] = 7.0
    for f in (ref.OP, ref.HI, ref.LO):
        m[body + f, suspended] = 16.0  # the history service fills with the last close

    week_tl = tl[[4, 8, 13]]  # last trading day of each week
    begin, end = ualgo.vxCalcKDataBeginEndPos(tl, week_tl)
    assert begin.tolist() == [0, 5, 9] and end.tolist() == [4, 8, 13]
    target = np.zeros((m.shape[0], 3))
    target[gv.KMatrixPos_TimeLine] = week_tl
    weeks = ualgo.vxCalcCombineMatrixHtoL(m, target, begin, end, gv.KMatrix_Bar_Len, 0)
    b = body
    # week 1 fully traded, week 2 traded Monday and Tuesday only, week 3 filled
    assert weeks[[b + ref.OP, b + ref.HI, b + ref.LO, b + ref.CL, b + ref.VOL], 0].tolist() == [
        9.5,
        15.0,
        9.0,
        14.0,
        500.0,
    ]
    assert weeks[[b + ref.OP, b + ref.HI, b + ref.LO, b + ref.CL, b + ref.VOL], 1].tolist() == [
        14.5,
        17.0,
        14.0,
        16.0,
        200.0,
    ]
    assert weeks[
        [b + ref.OP, b + ref.HI, b + ref.LO, b + ref.CL, b + ref.VOL, b + ref.TURN], 2
    ].tolist() == [16.0, 16.0, 16.0, 16.0, 0.0, 0.0]
    assert weeks[b + ref.OI, 2] == 7.0

    # in progress: on Thursday of week 2 the week shows Monday and Tuesday
    wb, we = ualgo.vxCalcRegKDataBeginEndPos(tl, week_tl, 0)
    fresh = ualgo.vxCalcDataValueFresh(m, wb, we, gv.KMatrix_Bar_Len, 1, 0)
    assert fresh[1 + ref.VOL, 8] == 200.0
    assert fresh[1 + ref.CL, 8] == 16.0


# Groups [0], [1, 2, 3], [4, 5] of one target.  Bar 1 traded flat at the previous
# close, bar 2 is a filled bar at other prices (volume 0), bar 4 likewise, bar 5 NaN.
FLAT_PRICES = np.array(
    [
        [9, 10, 12, 11, 20, np.nan],  # open
        [11, 10, 13, 14, 21, np.nan],  # high
        [8, 10, 11, 9, 19, np.nan],  # low
        [10, 10, 12, 13, 20, np.nan],  # close
    ]
)
FLAT_VOLUME = np.array([4, 5, 0, 3, 0, np.nan])


@pytest.mark.parametrize(
    "with_base, want",
    [
        (
            True,
            [
                [9, 11, 8, 10],
                [10, 10, 10, 10],  # the flat bar opens the group
                [10, 10, 10, 10],  # the filled bar adds nothing
                [10, 14, 9, 13],
                [13, 13, 13, 13],  # nothing traded yet: the last close before the group
                [13, 13, 13, 13],
            ],
        ),
        (
            False,
            [
                [9, 11, 8, 10],
                [10, 10, 10, 10],  # taken for a filled bar
                [12, 13, 11, 12],  # taken for a traded one: it opens the group
                [12, 14, 9, 13],
                [20, 21, 19, 20],
                [20, 21, 19, 20],
            ],
        ),
    ],
    ids=["with-base", "without-base"],
)
def test_volumes_of_the_unadjusted_bars_tell_which_adjusted_bars_traded(with_base, want):
    # the unadjusted prices are half the adjusted ones; only their volumes count
    block = np.c_[FLAT_PRICES.T / 2, FLAT_VOLUME, FLAT_VOLUME, np.zeros(6)]
    base = kmatrix(np.arange(6.0), [bar_rows(block)]) if with_base else None
    adj = np.full((ref.ADJ, 6), np.nan)
    adj[list(ADJ_PRICES)] = FLAT_PRICES
    begin, end = np.array([0, 1, 1, 1, 4, 4]), np.array([0, 3, 3, 3, 5, 5])

    out = ualgo.vxCalcDataValueFresh_Adj(adj, begin, end, gv.Adj_KMatrix_Bar_Len, 1, 0, base)
    np.testing.assert_array_equal(out[list(ADJ_PRICES)].T, want)
    expected = ref.data_value_fresh_adj(
        rows_of(adj), begin.tolist(), 1, rows_of(base) if with_base else None
    )
    np.testing.assert_array_equal(np.array(expected)[list(ADJ_PRICES)].T, want)


def test_empty_range_gives_filled_bar_from_last_close():
    tl = np.array([1.0, 2.0, 3.0])
    m = np.zeros((ref.HEAD + ref.BAR, 3))
    m[0] = tl
    m[ref.HEAD + ref.CL] = [np.nan, 5.0, np.nan]  # a NaN close does not count as a close
    m[ref.HEAD + ref.VOL] = [np.nan, 1.0, np.nan]
    m[ref.HEAD + ref.OI] = [np.nan, 9.0, np.nan]
    target_tl = np.array([0.5, 2.0, 2.5, 3.0, 4.0])
    begin, end = ualgo.vxCalcKDataBeginEndPos(tl, target_tl)
    assert begin.tolist() == [0, 0, 2, 2, 3] and end.tolist() == [-1, 1, 1, 2, 2]
    target = np.zeros((m.shape[0], target_tl.size))
    out = ualgo.vxCalcCombineMatrixHtoL(m, target, begin, end, gv.KMatrix_Bar_Len, 0)
    np.testing.assert_array_equal(out[ref.HEAD + ref.OP], [np.nan, 0.0, 5.0, 5.0, 5.0])
    np.testing.assert_array_equal(out[ref.HEAD + ref.VOL], [0.0, 1.0, 0.0, 0.0, 0.0])
    np.testing.assert_array_equal(out[ref.HEAD + ref.OI], [np.nan, 9.0, 9.0, 9.0, 9.0])
