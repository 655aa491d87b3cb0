"""Argument checking of the ualgo binding and reading of arbitrary array layouts."""

import numpy as np
import pytest
import ualgo_reference as ref

from vornix.tframe import ualgo
from vornix.tframe.sysdefine import GlobalDefine as gv
from vxtest.support import kmatrix

BAR, ADJ = gv.KMatrix_Bar_Len, gv.Adj_KMatrix_Bar_Len
N = 6
TL = np.arange(1.0, N + 1)


def k_matrix(n_targets=2, n=N, seed=3):
    rng = np.random.default_rng(seed)
    blocks = [rng.integers(1, 20, (BAR, n)).astype(float) for _ in range(n_targets)]
    return kmatrix(np.arange(1.0, n + 1), blocks)


def groups():
    return ualgo.vxCalcRegKDataBeginEndPos(TL, np.array([2.0, 5.0]), 0)


def calls():
    """Valid argument lists of every kernel, by name."""
    m = k_matrix()
    b, e = groups()
    target = k_matrix()[:, :3]
    hb, he = ualgo.vxCalcKDataBeginEndPos(TL, np.array([2.0, 4.0, 6.0]))
    return {
        "vxCalcKDataBeginEndPos": [TL, TL[::2]],
        "vxCalcRegKDataBeginEndPos": [TL, TL[::2], 0],
        "vxCalcCombineMatrixHtoL": [m, target, hb, he, BAR, 0],
        "vxCalcCombineMatrix1toN": [m, b, e, BAR, 0],
        "vxCalculateFreshMask": [np.floor(TL / 3), gv.KFreq_Min, 2],
        "vxMatrixUnfillComplete": [m, gv.KMatrixPos_End + 1, BAR, gv.KMatrix_Volume],
        "vxCalcKDataCurrentBar": [TL, TL],
        "vxCalcDataValueFresh": [m, b, e, BAR, 2, 0],
        "vxCalcDataValueFresh_Adj": [np.ones((2 * ADJ, N)), b, e, ADJ, 2, 0],
        "ismember": [TL, TL[::-1]],
    }


def test_valid_calls_succeed():
    for name, args in calls().items():
        getattr(ualgo, name)(*args)


BAD = [
    # (kernel, argument index, bad value, exception, text naming the argument)
    ("vxCalcKDataBeginEndPos", 0, TL.astype(np.float32), TypeError, "base_tl.*float32"),
    ("vxCalcKDataBeginEndPos", 1, [1.0, 2.0], TypeError, "target_tl.*list"),
    ("vxCalcKDataBeginEndPos", 1, TL.reshape(2, 3), ValueError, r"target_tl.*\(2, 3\)"),
    ("vxCalcKDataBeginEndPos", 0, np.array([1.0, 3.0, 2.0]), ValueError, "base_tl.*ascend"),
    ("vxCalcKDataBeginEndPos", 0, np.array([1.0, np.nan]), ValueError, r"base_tl\[1\] is NaN"),
    ("vxCalcRegKDataBeginEndPos", 2, 1, ValueError, "rule.*got 1"),
    ("vxCalcRegKDataBeginEndPos", 2, 0.0, TypeError, "rule.*float"),
    ("vxCalcCombineMatrixHtoL", 0, k_matrix().astype(np.int64), TypeError, "base.*int64"),
    ("vxCalcCombineMatrixHtoL", 1, k_matrix(n_targets=1)[:, :3], ValueError, "target.*rows"),
    ("vxCalcCombineMatrixHtoL", 2, np.array([0, 2]), ValueError, "begin has 2"),
    ("vxCalcCombineMatrixHtoL", 3, np.array([1, 3, 9]), ValueError, r"end\[2\]=9"),
    ("vxCalcCombineMatrixHtoL", 2, np.array([0, 1, 4]), ValueError, r"begin\[1\]=1"),
    ("vxCalcCombineMatrixHtoL", 2, np.array([0, 2.5, 4]), ValueError, r"begin\[1\]=2.5"),
    ("vxCalcCombineMatrixHtoL", 2, np.array([True, False, True]), TypeError, "begin.*bool"),
    ("vxCalcCombineMatrixHtoL", 4, 8, ValueError, "bar_len.*got 8"),
    ("vxCalcCombineMatrixHtoL", 5, 2, ValueError, "rule"),
    ("vxCalcCombineMatrix1toN", 0, k_matrix()[:-1], ValueError, "base has 16 rows"),
    ("vxCalcCombineMatrix1toN", 0, TL, ValueError, r"base.*two-dimensional.*\(6,\)"),
    ("vxCalcCombineMatrix1toN", 1, np.array([0, 0, 2, 2, 2, 7]), ValueError, r"begin\[5\]=7"),
    (
        "vxCalcCombineMatrix1toN",
        1,
        np.array([0, 0, 1, 2, 2, 5]),
        ValueError,
        r"begin/end at column 2",
    ),
    ("vxCalcCombineMatrix1toN", 2, np.array([1, 1, 4, 4, 4, 6]), ValueError, r"end\[5\]=6"),
    ("vxCalcCombineMatrix1toN", 2, np.array([1, 1, 4, 4]), ValueError, "end has 4 entries"),
    ("vxCalcCombineMatrix1toN", 1, np.array([-1, 0, 2, 2, 2, 5]), ValueError, r"begin\[0\]=-1"),
    ("vxCalcCombineMatrix1toN", 3, "7", TypeError, "bar_len.*str"),
    ("vxCalculateFreshMask", 2, 0, ValueError, "freq_num.*0"),
    ("vxCalculateFreshMask", 1, 17, ValueError, "frequency_i=17"),
    ("vxCalculateFreshMask", 0, np.arange(6), TypeError, "day_pos_row.*int64"),
    ("vxMatrixUnfillComplete", 1, 4, ValueError, "body rows"),
    ("vxMatrixUnfillComplete", 1, 99, ValueError, "body_start_row=99"),
    ("vxMatrixUnfillComplete", 3, 7, ValueError, "volume_offset=7"),
    ("vxMatrixUnfillComplete", 2, 0, ValueError, "bar_len must be positive"),
    ("vxMatrixUnfillComplete", 1, -1, ValueError, "body_start_row must not be negative"),
    ("vxCalcKDataCurrentBar", 0, np.array([]), ValueError, "series_tl is empty"),
    ("vxCalcKDataCurrentBar", 1, np.array([2.0, 1.0]), ValueError, "main_tl.*ascend"),
    ("vxCalcDataValueFresh", 4, 3, ValueError, "n_targets=3"),
    ("vxCalcDataValueFresh", 4, -1, ValueError, "n_targets must not be negative"),
    ("vxCalcDataValueFresh", 4, 2**62, ValueError, "n_targets=.*exceeds the 17 rows of base"),
    ("vxCalcDataValueFresh_Adj", 4, 2**62, ValueError, "n_targets=.*rows of adj_base"),
    ("vxCalcDataValueFresh", 5, None, TypeError, "rule.*NoneType"),
    ("vxCalcDataValueFresh_Adj", 3, BAR, ValueError, "adj_bar_len.*got 7"),
    ("vxCalcDataValueFresh_Adj", 4, 1, ValueError, "n_targets=1.*adj_base"),
    (
        "vxCalcDataValueFresh_Adj",
        0,
        np.ones((2 * ADJ, N), dtype=complex),
        TypeError,
        "adj_base.*complex",
    ),
    # one-entry time lines that are NaN, NaN positions, booleans for integers
    ("vxCalcKDataBeginEndPos", 0, np.array([np.nan]), ValueError, r"base_tl\[0\] is NaN"),
    ("vxCalcKDataCurrentBar", 0, np.array([np.nan]), ValueError, r"series_tl\[0\] is NaN"),
    ("vxCalcKDataCurrentBar", 1, np.array([np.nan]), ValueError, r"main_tl\[0\] is NaN"),
    ("vxCalcRegKDataBeginEndPos", 1, np.array([np.nan]), ValueError, r"second_tl\[0\] is NaN"),
    ("vxCalcCombineMatrix1toN", 1, np.array([0, np.nan, 2, 2, 2, 5]), ValueError, r"begin\[1\]=nan"),
    ("vxCalcDataValueFresh", 2, np.array([1, 1, 4, 4, 4, np.nan]), ValueError, r"end\[5\]=nan"),
    ("vxCalcRegKDataBeginEndPos", 2, True, TypeError, "rule.*bool"),
    ("vxCalcCombineMatrixHtoL", 4, np.True_, TypeError, "bar_len.*bool"),
    ("vxCalculateFreshMask", 2, True, TypeError, "freq_num.*bool"),
    ("vxMatrixUnfillComplete", 1, False, TypeError, "body_start_row.*bool"),
    ("vxCalcDataValueFresh", 4, True, TypeError, "n_targets.*bool"),
    ("ismember", 0, np.array(["x"]), TypeError, "a must hold real numbers"),
    ("ismember", 1, [1, 2], TypeError, "b must be a numpy"),
]


@pytest.mark.parametrize("name, pos, value, exc, text", BAD, ids=[f"{b[0]}-{b[4]}" for b in BAD])
def test_bad_argument_is_rejected_by_name(name, pos, value, exc, text):
    args = calls()[name]
    args[pos] = value
    with pytest.raises(exc, match=text):
        getattr(ualgo, name)(*args)


@pytest.mark.parametrize(
    "base, exc, text",
    [
        (k_matrix()[:-1], ValueError, "base has 16 rows"),
        (k_matrix(n_targets=1), ValueError, "base has 10 rows.*2 target blocks"),
        (k_matrix(n=N - 1), ValueError, "base has 5 columns, adj_base 6"),
        (k_matrix().astype(np.int64), TypeError, "base.*int64"),
    ],
    ids=["rows", "targets", "columns", "dtype"],
)
def test_adj_refresh_rejects_base_of_other_bars(base, exc, text):
    with pytest.raises(exc, match=text):
        ualgo.vxCalcDataValueFresh_Adj(*calls()["vxCalcDataValueFresh_Adj"], base=base)


def test_adj_refresh_base_none_is_the_six_argument_call():
    args = calls()["vxCalcDataValueFresh_Adj"]
    args[0] = np.arange(2.0 * ADJ * N).reshape(2 * ADJ, N) % 5
    np.testing.assert_array_equal(
        ualgo.vxCalcDataValueFresh_Adj(*args, base=None), ualgo.vxCalcDataValueFresh_Adj(*args)
    )
    assert ualgo.vxCalcDataValueFresh_Adj(*args, base=k_matrix()).shape == (2 * ADJ, N)


@pytest.mark.parametrize("name", sorted(calls()))
def test_wrong_argument_count_is_type_error(name):
    with pytest.raises(TypeError):
        getattr(ualgo, name)(*calls()[name][:-1])


# --- layouts ---------------------------------------------------------------------------


def layouts(m):
    """The same values in other memory layouts: Fortran order, a strided view, unaligned."""
    fortran = np.asfortranarray(m)
    wide = np.zeros((m.shape[0], 2 * m.shape[1]))
    wide[:, ::2] = m
    raw = np.zeros(m.size * 8 + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.float64).reshape(m.shape)
    unaligned[...] = m
    return {
        "fortran": fortran,
        "strided": wide[:, ::2],
        "unaligned": unaligned,
        "reversed": m[:, ::-1].copy()[:, ::-1],
    }


@pytest.mark.parametrize("layout", ["fortran", "strided", "unaligned", "reversed"])
def test_any_float64_layout_gives_the_same_result(layout):
    m = k_matrix()
    m[ref.HEAD + gv.KMatrix_Volume, [1, 4]] = 0.0
    b, e = groups()
    other = layouts(m)[layout]
    np.testing.assert_array_equal(
        ualgo.vxCalcCombineMatrix1toN(other, b, e, BAR, 0),
        ualgo.vxCalcCombineMatrix1toN(m, b, e, BAR, 0),
    )
    np.testing.assert_array_equal(
        ualgo.vxCalcDataValueFresh(other, b[::-1].copy()[::-1], e, BAR, 2, 0),
        ualgo.vxCalcDataValueFresh(m, b, e, BAR, 2, 0),
    )
    got = ualgo.vxMatrixUnfillComplete(other, 3, BAR, gv.KMatrix_Volume)
    want = ualgo.vxMatrixUnfillComplete(m, 3, BAR, gv.KMatrix_Volume)
    for g, w in zip(got[1], want[1]):
        np.testing.assert_array_equal(g, w)
    np.testing.assert_array_equal(
        ualgo.vxCalcKDataCurrentBar(other[0], TL), ualgo.vxCalcKDataCurrentBar(m[0], TL)
    )


@pytest.mark.parametrize("dtype", [np.int32, np.uint16, np.float64, np.float32])
def test_positions_of_other_dtypes_are_accepted(dtype):
    m = k_matrix()
    b, e = groups()
    np.testing.assert_array_equal(
        ualgo.vxCalcCombineMatrix1toN(m, b.astype(dtype), e.astype(dtype), BAR, 0),
        ualgo.vxCalcCombineMatrix1toN(m, b, e, BAR, 0),
    )


def test_empty_inputs():
    empty = np.zeros(0)
    b, e = ualgo.vxCalcKDataBeginEndPos(empty, np.array([1.0, 2.0]))
    assert b.tolist() == [0, 0] and e.tolist() == [-1, -1]
    b, e = ualgo.vxCalcRegKDataBeginEndPos(empty, empty, 0)
    assert b.size == e.size == 0
    m = np.zeros((ref.HEAD + BAR, 0))
    assert ualgo.vxCalcCombineMatrix1toN(m, b, e, BAR, 0).shape == m.shape
    refs, idxs = ualgo.vxMatrixUnfillComplete(m, 3, BAR, gv.KMatrix_Volume)
    assert refs[0].shape == (0,) and idxs[0].shape == (0,)
    assert ualgo.vxCalcKDataCurrentBar(np.array([1.0]), empty).shape == (0,)
