"""Time-line kernels, completion mask, fill tables and membership against the
pure-Python reference, plus the lunch-break and day-boundary cases."""

import numpy as np
import pytest
import ualgo_reference as ref
from hypothesis import given
from hypothesis import strategies as st
from ualgo_strategies import k_matrix, rows_of, time_line

from vornix.tframe import ualgo
from vornix.tframe.sysdefine import GlobalDefine as gv
from vxtest.settings import kernel_settings


@kernel_settings
@given(base_tl=time_line(), target_tl=time_line(max_size=10))
def test_begin_end_pos_matches_reference(base_tl, target_tl):
    begin, end = ualgo.vxCalcKDataBeginEndPos(np.array(base_tl), np.array(target_tl))
    assert begin.dtype == end.dtype == np.int64
    assert (begin.tolist(), end.tolist()) == ref.begin_end_pos(base_tl, target_tl)


@kernel_settings
@given(base_tl=time_line(), second_tl=time_line(max_size=10))
def test_reg_begin_end_pos_matches_reference(base_tl, second_tl):
    begin, end = ualgo.vxCalcRegKDataBeginEndPos(np.array(base_tl), np.array(second_tl), 0)
    assert begin.dtype == end.dtype == np.int64
    assert (begin.tolist(), end.tolist()) == ref.reg_begin_end_pos(base_tl, second_tl)


@kernel_settings
@given(series_tl=time_line(min_size=1), main_tl=time_line())
def test_current_bar_matches_reference(series_tl, main_tl):
    out = ualgo.vxCalcKDataCurrentBar(np.array(series_tl), np.array(main_tl))
    assert out.dtype == np.int64
    assert out.tolist() == ref.current_bar(series_tl, main_tl)


frequencies = st.sampled_from(
    [gv.KFreq_Tick, gv.KFreq_Min, gv.KFreq_Day, gv.KFreq_Week, gv.KFreq_Month, gv.KFreq_Year]
)


@kernel_settings
@given(
    day_pos=st.lists(st.integers(0, 4), max_size=30).map(lambda xs: [float(x) for x in sorted(xs)]),
    frequency_i=frequencies,
    freq_num=st.integers(1, 6),
)
def test_fresh_mask_matches_reference(day_pos, frequency_i, freq_num):
    out = ualgo.vxCalculateFreshMask(np.array(day_pos), frequency_i, freq_num)
    assert out.dtype == np.bool_
    assert out.tolist() == ref.fresh_mask(day_pos, frequency_i, freq_num)


@kernel_settings
@given(data=st.data())
def test_unfill_complete_matches_reference(data):
    m = data.draw(k_matrix(data.draw(time_line())))
    refs, idxs = ualgo.vxMatrixUnfillComplete(
        m, gv.KMatrixPos_End + 1, gv.KMatrix_Bar_Len, gv.KMatrix_Volume
    )
    want_refs, want_idxs = ref.unfill_complete(
        rows_of(m), gv.KMatrixPos_End + 1, gv.KMatrix_Bar_Len, gv.KMatrix_Volume
    )
    assert isinstance(refs, list) and isinstance(idxs, list)
    assert [r.dtype for r in refs] == [np.float64] * len(want_refs)
    assert [i.dtype for i in idxs] == [np.int64] * len(want_idxs)
    for got, want in zip(refs, want_refs):
        np.testing.assert_array_equal(got, np.array(want, dtype=float))
    assert [i.tolist() for i in idxs] == want_idxs


values = st.one_of(st.integers(-3, 6).map(float), st.just(float("nan")))


@kernel_settings
@given(a=st.lists(values, max_size=20), b=st.lists(values, max_size=20))
def test_ismember_matches_reference(a, b):
    found, pos = ualgo.ismember(np.array(a, dtype=float), np.array(b, dtype=float))
    assert found.dtype == np.bool_ and pos.dtype == np.int64
    assert (found.tolist(), pos.tolist()) == ref.ismember(a, b)


@pytest.mark.parametrize("size", [100, 10_000])
def test_ismember_gives_the_first_of_repeated_values(size):
    # values repeated all along a long second argument: the lowest position wins
    b = (np.arange(size) % 3).astype(float)
    found, pos = ualgo.ismember(np.array([2.0, 0.0, 1.0, 3.0]), b)
    assert found.tolist() == [True, True, True, False]
    assert pos.tolist() == [2, 0, 1, -1]


def test_ismember_accepts_integer_arrays_and_keeps_shape():
    found, pos = ualgo.ismember(np.array([[3, 1], [2, 9]]), np.array([1.0, 3.0, 3.0]))
    assert found.tolist() == [[True, True], [False, False]]
    assert pos.tolist() == [[1, 0], [-1, -1]]


# --- explicit cases -----------------------------------------------------------------


def lunch_day(day):
    """Minute bar times of a day 09:30-11:30, 13:00-15:00 (bars 09:31..11:30, 13:01..15:00)."""
    return [day + (9 * 60 + 30 + k) / 1440.0 for k in range(1, 121)] + [
        day + (13 * 60 + k) / 1440.0 for k in range(1, 121)
    ]


@pytest.mark.parametrize(
    "n, expected_ends",
    [
        (5, [4, 9, 114, 119, 124, 234, 239]),
        (7, [6, 13, 118, 125, 237, 239]),
    ],
)
def test_fresh_mask_over_two_lunch_break_days(n, expected_ends):
    tl = np.array(lunch_day(740000) + lunch_day(740001))
    mask = ualgo.vxCalculateFreshMask(np.floor(tl), gv.KFreq_Min, n)
    first_day = np.flatnonzero(mask[:240])
    for end in expected_ends:
        assert end in first_day
    # the second day restarts counting at its first bar
    assert np.flatnonzero(mask[240:])[0] == n - 1
    assert mask[239] and mask[-1]
    assert mask.sum() == 2 * -(-240 // n)


@pytest.mark.parametrize(
    "day_pos, frequency_i, expected",
    [
        # day and coarser: plain groups, the final one shorter
        (np.arange(7.0), gv.KFreq_Day, [False, False, True, False, False, True, True]),
        # a NaN day position equals nothing: each such bar is a day of its own
        (
            [np.nan, np.nan, 1, 1, 1, 1, 1],
            gv.KFreq_Min,
            [True, True, False, False, True, False, True],
        ),
    ],
)
def test_fresh_mask_explicit(day_pos, frequency_i, expected):
    mask = ualgo.vxCalculateFreshMask(np.array(day_pos, dtype=float), frequency_i, 3)
    assert mask.tolist() == expected
    assert mask.tolist() == ref.fresh_mask(list(day_pos), frequency_i, 3)


def test_current_bar_during_lunch_points_at_first_afternoon_bar():
    day = 740000
    five = np.array(lunch_day(day))[4::5]  # five-minute bar times
    main = np.array(
        [
            day + (11 * 60 + 30) / 1440.0,
            day + (12 * 60) / 1440.0,
            day + (13 * 60 + 2) / 1440.0,
            day + 2.0,
        ]
    )
    out = ualgo.vxCalcKDataCurrentBar(five, main)
    assert out.tolist() == [23, 24, 24, 47]  # capped at the last column


def test_reg_begin_end_pos_trailing_group_and_last_begin():
    base = np.arange(1.0, 9.0)
    begin, end = ualgo.vxCalcRegKDataBeginEndPos(base, np.array([2.0, 2.5, 5.0]), 0)
    assert begin.tolist() == [0, 0, 2, 2, 2, 5, 5, 5]
    assert end.tolist() == [1, 1, 4, 4, 4, 7, 7, 7]
    assert begin[-1] == 5  # where the last (trailing) group begins
