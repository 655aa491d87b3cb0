# Types of the compiled module vornix.tframe.ualgo (cpp/vornix/tframe/ualgo/module.cpp).
# tests/test_stubs.py checks this file against the module's signature lines.
#
# Array arguments are read in place through their strides when they hold aligned
# float64 (int64 for positions) and converted otherwise; position arrays may also
# be floats holding whole numbers.  Integer arguments take int or numpy integers,
# not bool.
import numpy as np
import numpy.typing as npt

_Float = npt.NDArray[np.float64]
_Int = npt.NDArray[np.int64]

def vxCalcKDataBeginEndPos(base_tl: npt.ArrayLike, target_tl: npt.ArrayLike) -> tuple[_Int, _Int]:
    """(begin, end): first and last base columns of each target bar."""

def vxCalcRegKDataBeginEndPos(
    base_tl: npt.ArrayLike, second_tl: npt.ArrayLike, rule: int
) -> tuple[_Int, _Int]:
    """(BeginPos, EndPos) per base bar: its group's first and last base positions."""

def vxCalcCombineMatrixHtoL(
    base: npt.ArrayLike,
    target: npt.ArrayLike,
    begin: npt.ArrayLike,
    end: npt.ArrayLike,
    bar_len: int,
    rule: int,
) -> _Float:
    """New K matrix on target's header rows, bar j combined from base columns begin[j]..end[j]."""

def vxCalcCombineMatrix1toN(
    base: npt.ArrayLike, begin: npt.ArrayLike, end: npt.ArrayLike, bar_len: int, rule: int
) -> _Float:
    """Matrix with base's rows: column i holds the group's bar in its state at base bar i."""

def vxCalculateFreshMask(
    day_pos_row: npt.ArrayLike, frequency_i: int, freq_num: int
) -> npt.NDArray[np.bool_]:
    """True where a single-period bar completes a group of freq_num bars."""

def vxMatrixUnfillComplete(
    matrix: npt.ArrayLike, body_start_row: int, bar_len: int, volume_offset: int
) -> tuple[list[_Float], list[_Int]]:
    """(UnfilledBarRef, UnfilledIdx): per target, last traded column at or before each column,
    and the traded columns."""

def vxCalcKDataCurrentBar(series_tl: npt.ArrayLike, main_tl: npt.ArrayLike) -> _Int:
    """Per main-time-line step: first series column not earlier than it, capped at the last."""

def vxCalcDataValueFresh(
    base: npt.ArrayLike,
    begin: npt.ArrayLike,
    end: npt.ArrayLike,
    bar_len: int,
    n_targets: int,
    rule: int,
    out: _Float | None = None,
) -> _Float:
    """Row 0 the base time line, then the registered bar's state at every base bar; with
    `out`, the blocks alone at the last base bars, written into it."""

def vxCalcDataValueFresh_Adj(
    adj_base: npt.ArrayLike,
    begin: npt.ArrayLike,
    end: npt.ArrayLike,
    adj_bar_len: int,
    n_targets: int,
    rule: int,
    base: npt.ArrayLike | None = None,
) -> _Float:
    """Adjusted prices: the registered bar's state at every base bar; `base` (the
    unadjusted K matrix of the same bars) tells by its volumes which bars traded."""

def ismember(a: npt.ArrayLike, b: npt.ArrayLike) -> tuple[npt.NDArray[np.bool_], _Int]:
    """(found, positions): whether each element of a occurs in b, and its lowest index (-1)."""
