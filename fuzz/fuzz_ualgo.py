"""Fuzz harness of vornix.tframe.ualgo, the numeric kernels.

Each input picks a kernel and builds its arguments: time lines (ascending or not,
with NaN and infinities), K matrices of any target count and layout, begin/end
positions made by the grouping kernels and then disturbed, bar lengths, counts and
offsets from the edges of the integer ranges.  Only TypeError, ValueError,
IndexError, OverflowError and the framework's errors may escape.

    python fuzz/fuzz_ualgo.py fuzz/corpus/ualgo -max_total_time=30   (or: fuzz/run ualgo)
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports(include=["vornix", "_common"]):
    import _common
    from _common import Inputs

    from vornix.tframe import ualgo
    from vornix.tframe.sysdefine import GlobalDefine as gv

import numpy as np  # noqa: E402

HEAD, BAR, ADJ = gv.KMatrixPos_Head_len, gv.KMatrix_Bar_Len, gv.Adj_KMatrix_Bar_Len
FREQS = [gv.KFreq_Tick, gv.KFreq_Min, gv.KFreq_Day, gv.KFreq_Week, gv.KFreq_Month, gv.KFreq_Year]


def time_line(inp, n=None, whole=False):
    n = inp.small(0, 16) if n is None else n
    kind = inp.small(0, 5)
    if kind == 0:  # ascending, with repeats
        line = np.cumsum(np.asarray(inp.fdp.ConsumeIntListInRange(n, 0, 3), dtype=float)) + 1.0
    elif kind == 1:  # several bars a day
        line = np.sort(np.floor(np.asarray(inp.fdp.ConsumeFloatListInRange(n, 0.0, 6.0))) +
                       np.asarray(inp.fdp.ConsumeFloatListInRange(n, 0.0, 0.99)))
    else:
        line = inp.values(n)
    if whole:
        line = np.floor(line)
    return inp.array(base=line.astype(np.float64), dtype=np.float64 if inp.chance(2) else None)


def k_matrix(inp, bar_len=BAR, n_targets=None, n=None):
    n_targets = inp.small(0, 3) if n_targets is None else n_targets
    n = inp.small(0, 12) if n is None else n
    rows = HEAD + bar_len * n_targets
    if inp.chance(6):
        rows += inp.pick([-1, 1, -HEAD])
    rows = max(rows, 0)
    m = np.abs(inp.values(rows * n)).reshape(rows, n) if rows * n else np.zeros((rows, n))
    if rows > 0 and n:
        m[0] = np.sort(m[0])
    if rows > 2 and n:
        m[2] = np.floor(m[0])
    return inp.array(base=m, dtype=np.float64 if inp.chance(2) else None)


def positions(inp, n_cols, count=None):
    """begin/end-like arrays: grouped positions inside 0..n_cols-1, sometimes disturbed."""
    count = inp.small(0, 12) if count is None else count
    if n_cols > 0 and inp.chance(2):
        groups = np.sort(np.asarray(inp.fdp.ConsumeIntListInRange(count, 0, n_cols - 1), dtype=np.int64))
    else:
        groups = np.asarray(inp.fdp.ConsumeIntListInRange(count, -2, n_cols + 2), dtype=np.int64)
    if inp.chance(4) and count:
        groups = groups.astype(np.float64)
        groups[inp.small(0, count - 1)] = inp.pick([np.nan, 0.5, np.inf, -1.0, 2.0**63])
    return inp.array(base=groups, dtype=inp.pick([None, np.int64, np.float64, np.int32]))


def begin_end(inp, base_cols):
    """(begin, end) from the grouping kernel on a fuzzed second line, or fuzzed outright."""
    if inp.chance(2) and base_cols:
        base = np.arange(1.0, base_cols + 1)
        second = np.sort(np.asarray(inp.fdp.ConsumeFloatListInRange(inp.small(1, 6), 0.0, base_cols + 2.0)))
        try:
            b, e = ualgo.vxCalcRegKDataBeginEndPos(base, second, 0)
            return inp.layout(b), inp.layout(e)
        except ValueError:
            pass
    count = base_cols if inp.chance(2) else inp.small(0, 12)
    return positions(inp, base_cols, count), positions(inp, base_cols, count)


def cols(m):
    return m.shape[1] if isinstance(m, np.ndarray) and m.ndim == 2 else 0


def b_kdata_begin_end(inp):
    return [inp.arg(lambda: time_line(inp)), inp.arg(lambda: time_line(inp))], {}


def b_reg_begin_end(inp):
    return [inp.arg(lambda: time_line(inp)), inp.arg(lambda: time_line(inp)), inp.arg(lambda: 0)], {}


def b_htol(inp):
    n_targets = inp.small(0, 3)
    base = inp.arg(lambda: k_matrix(inp, n_targets=n_targets))
    target = inp.arg(lambda: k_matrix(inp, n_targets=n_targets))
    b, e = begin_end(inp, cols(base))
    return [base, target, inp.arg(lambda: b), inp.arg(lambda: e),
            inp.arg(lambda: BAR if inp.chance(2) else inp.integer()), inp.arg(lambda: 0)], {}


def b_1ton(inp):
    base = inp.arg(lambda: k_matrix(inp))
    b, e = begin_end(inp, cols(base))
    return [base, inp.arg(lambda: b), inp.arg(lambda: e),
            inp.arg(lambda: BAR if inp.chance(2) else inp.integer()), inp.arg(lambda: 0)], {}


def b_fresh_mask(inp):
    day_pos = inp.arg(lambda: time_line(inp, whole=inp.chance(2)))
    return [day_pos, inp.arg(lambda: inp.pick(FREQS) if inp.chance(2) else inp.integer()),
            inp.arg(lambda: inp.integer(lo=-1, hi=6))], {}


def b_unfill(inp):
    return [inp.arg(lambda: k_matrix(inp)), inp.arg(lambda: HEAD if inp.chance(2) else inp.integer()),
            inp.arg(lambda: BAR if inp.chance(2) else inp.integer()),
            inp.arg(lambda: gv.KMatrix_Volume if inp.chance(2) else inp.integer())], {}


def b_current_bar(inp):
    return [inp.arg(lambda: time_line(inp)), inp.arg(lambda: time_line(inp))], {}


def b_fresh(inp):
    n_targets = inp.small(0, 3)
    base = inp.arg(lambda: k_matrix(inp, n_targets=n_targets))
    b, e = begin_end(inp, cols(base))
    return [base, inp.arg(lambda: b), inp.arg(lambda: e),
            inp.arg(lambda: BAR if inp.chance(2) else inp.integer()),
            inp.arg(lambda: n_targets if inp.chance(2) else inp.integer()), inp.arg(lambda: 0)], {}


def b_fresh_adj(inp):
    n_targets = inp.small(0, 3)
    n = inp.small(0, 10)
    adj = inp.arg(lambda: k_matrix(inp, bar_len=ADJ, n_targets=n_targets, n=n)[HEAD:])
    b, e = begin_end(inp, cols(adj))
    args = [adj, inp.arg(lambda: b), inp.arg(lambda: e),
            inp.arg(lambda: ADJ if inp.chance(2) else inp.integer()),
            inp.arg(lambda: n_targets if inp.chance(2) else inp.integer()), inp.arg(lambda: 0)]
    kwargs = {}
    if inp.chance(2):
        kwargs["base"] = inp.arg(lambda: k_matrix(inp, n_targets=n_targets, n=n), one_in=4)
    return args, kwargs


def b_ismember(inp):
    return [inp.arg(lambda: inp.array()), inp.arg(lambda: inp.array())], {}


BUILDERS = {
    "vxCalcKDataBeginEndPos": b_kdata_begin_end,
    "vxCalcRegKDataBeginEndPos": b_reg_begin_end,
    "vxCalcCombineMatrixHtoL": b_htol,
    "vxCalcCombineMatrix1toN": b_1ton,
    "vxCalculateFreshMask": b_fresh_mask,
    "vxMatrixUnfillComplete": b_unfill,
    "vxCalcKDataCurrentBar": b_current_bar,
    "vxCalcDataValueFresh": b_fresh,
    "vxCalcDataValueFresh_Adj": b_fresh_adj,
    "ismember": b_ismember,
}
NAMES = _common.public_functions(ualgo)
_common.check_table("ualgo", NAMES, BUILDERS)
OK = _common.accepted()
FUZZED = _common.fuzzed(NAMES)


def test_one_input(data):
    inp = Inputs(data)
    name = inp.pick(FUZZED)
    args, kwargs = BUILDERS[name](inp)
    _common.call_checked(name, getattr(ualgo, name), args, kwargs, OK)


if __name__ == "__main__":
    _common.limit_memory()
    _common.main(test_one_input, globals())
