"""Fuzz harness of vornix.api.subscribe._subscribe (registration and retrieval of bar
series, factors, user data and indicators) and of its float64 twin
vornix.api.subscribe._windows.

A run is set up once per process (fuzz/_common.RunState: three stocks, two days at
one minute, a five-minute, a day and an adjusted day series, two factors, user data
and an indicator registered).  Window reads get registration indices that are mostly
real ones, sometimes disturbed (rows swapped or cut, positions out of range, NaN,
other dtypes and layouts), steps and lengths from the edges of their ranges.
Registrations run on the same store and are followed by a restore.  Only TypeError,
ValueError, IndexError, OverflowError and the framework's errors may escape, plus
the few a function documents (EXTRA).

    python fuzz/fuzz_subscribe.py fuzz/corpus/subscribe -max_total_time=30   (or: fuzz/run subscribe)
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports(include=["vornix", "_common"]):
    import _common
    from _common import Inputs

    from vornix.api.subscribe import _subscribe, _windows
    from vornix.tframe import sysstate as ss
    from vornix.tframe.sysdefine import GlobalDefine as gv

import numpy as np  # noqa: E402

STATE = _common.RunState()
ss.user_warning = lambda *args, **kwargs: None
FREQ_NAMES = ["min", "day", "week", "month", "year", "tick", "1m", "5m", "1d", "1w", "x", ""]
FREQS = [gv.KFreq_Tick, gv.KFreq_Min, gv.KFreq_Day, gv.KFreq_Week, gv.KFreq_Month, gv.KFreq_Year]
FACTORS = ["pe", "pb", "turnover_rate", "nope", ""]


def frequency_i(inp):
    return inp.arg(lambda: inp.pick(FREQS) if inp.chance(2) else inp.integer())


def freq_num(inp):
    return inp.arg(lambda: inp.integer(lo=-1, hi=8))


def disturb(inp, arr):
    """A real index array, sometimes changed: a cell set to an edge value, rows cut,
    reversed or repeated, another dtype or layout."""
    arr = np.array(arr, copy=True)
    kind = inp.small(0, 7)
    if kind == 0 and arr.size:
        flat = arr.reshape(-1).astype(np.float64)
        flat[inp.small(0, flat.size - 1)] = inp.pick(_common.INTERESTING_FLOATS + [-1.0, 3.0, 99.0])
        arr = flat.reshape(arr.shape)
    elif kind == 1 and arr.ndim:
        arr = arr[: inp.small(0, arr.shape[0])]
    elif kind == 2 and arr.ndim:
        arr = arr[::-1]
    elif kind == 3 and arr.ndim:
        arr = np.concatenate([arr, arr[:1]])
    elif kind == 4 and arr.ndim == 2:
        arr = arr[:, : inp.small(0, arr.shape[1])]
    elif kind == 5:
        arr = arr.reshape(-1)
    if inp.chance(3):
        return inp.array(base=arr, dtype=inp.pick([None, np.float64, np.int64, np.float32, object]))
    return arr


def reg_idx(inp, kinds):
    return inp.arg(lambda: disturb(inp, STATE.reg[inp.pick(kinds)]) if inp.chance(5) else
                   np.array(STATE.reg[inp.pick(kinds)], copy=True))


def step(inp):
    return inp.arg(lambda: inp.position(STATE.steps))


def length(inp):
    return inp.arg(lambda: inp.integer(lo=-2, hi=12))


def window(kinds):
    def build(inp):
        return [reg_idx(inp, kinds), step(inp), length(inp), inp.arg(inp.flag)], {}

    return build


def b_reg_k_data(inp):
    args = [inp.arg(lambda: inp.pick(FREQ_NAMES)), inp.arg(lambda: inp.integer(lo=-1, hi=8))]
    if inp.chance(2):
        args.append(inp.flag())
    return args, {}


def b_reg_factor(inp):
    factors = inp.arg(lambda: [inp.pick(FACTORS) for _ in range(inp.small(0, 3))])
    targets = inp.arg(lambda: [inp.pick(STATE.codes + ["SH.999999", "x"]) for _ in range(inp.small(0, 3))])
    day = lambda: inp.pick(STATE.days + [0, 19700101, 20991231, -1, 2**31, STATE.days[0] - 1])  # noqa: E731
    return [factors, targets, inp.arg(day), inp.arg(day)], {}


def b_reg_user_data(inp):
    n = inp.small(0, 12)
    times = STATE.var.g_VornixDataValueFresh[gv.KMatrixPos_TimeLine]
    if inp.chance(2) and n:
        line = np.sort(np.asarray(inp.fdp.ConsumeFloatListInRange(n, times[0] - 1, times[-1] + 1)))
    else:
        line = inp.values(n)
    data = inp.values(n * inp.pick([1, 1, 2, 3])).reshape(n, -1) if n else np.zeros((0,))
    if inp.chance(3):
        data = data.reshape(-1)
    return [inp.arg(lambda: inp.array(base=line)), inp.arg(lambda: inp.array(base=data))], {}


def b_reg_user_indices(inp):
    results = [1.0, [1.0, 2.0], np.ones((2, 1)), None, "x", [[1.0], [2.0, 3.0]], np.nan,
               np.array(["a"]), {"a": 1}, np.ones((1, 3)), True, 10**30, 1j]
    fixed = inp.pick(results)
    varying = inp.chance(3)

    def indicator(context):
        if varying and context._internal_bar_num == 3:
            return [1.0, 2.0, 3.0]
        return fixed

    return [inp.arg(lambda: indicator)], {}


def b_find_exchange_day(inp):
    days = np.floor(STATE.var.g_VornixDataValueFresh[gv.KMatrixPos_TimeLine])
    line = inp.arg(lambda: inp.array(base=days[:: inp.small(1, 240)].copy()) if inp.chance(2) else inp.array(ndim=1))
    code = inp.arg(lambda: inp.pick(["CFE.IF00", "SHF.RB00", "SH.600000", "X.Y", ""]))
    day = lambda: inp.pick(STATE.days + [0, -1, 2**31 - 1, 2**31, 20230101, 20991231])  # noqa: E731
    return [line, code, inp.arg(day), inp.arg(day)], {}


def b_get_reg_idx(inp):
    reg_id = inp.arg(lambda: inp.pick([1510, 1550, 2010, 2011, 1511, 0, -1, 9999, 2**40]) if inp.chance(2)
                     else np.array(STATE.reg[inp.pick(["min5", "day", "day_adj"])], copy=True))
    return [reg_id, inp.arg(lambda: np.asarray([inp.position(STATE.n_targets) for _ in range(inp.small(0, 3))]))], {}


def b_get_instruments(inp):
    targets = inp.arg(lambda: [inp.position(STATE.n_targets) for _ in range(inp.small(0, 3))])
    args = [targets, step(inp)]
    if inp.chance(2):
        args.append(length(inp))
    return args, {}


def b_get_reg_factor(inp):
    return [reg_idx(inp, ["factor"]), step(inp), length(inp)], {}


def b_get_reg_user_data(inp):
    return [reg_idx(inp, ["user"]), step(inp), length(inp)], {}


def b_get_reg_user_indicator(inp):
    idx = inp.arg(lambda: list(STATE.reg["indicator"]) if inp.chance(2) else
                  [inp.integer(lo=-2, hi=4) for _ in range(inp.small(0, 3))])
    return [idx, step(inp), length(inp)], {}


BUILDERS = {
    "_subscribe.reg_k_data": b_reg_k_data,
    "_subscribe.check_reg_k_data_precondition": lambda inp: ([frequency_i(inp), freq_num(inp)], {}),
    "_subscribe.gen_empty_reg_k_data_idx": lambda inp: ([inp.arg(lambda: inp.integer(lo=-1, hi=6))] +
                                                        [inp.flag()][: inp.small(0, 1)], {}),
    "_subscribe.construct_k_data_reg_idx": lambda inp: ([frequency_i(inp), freq_num(inp), inp.flag()], {}),
    "_subscribe.get_reg_idx": b_get_reg_idx,
    "_subscribe.fetch_1_freq_k_data": lambda inp: ([inp.arg(lambda: inp.pick(FREQ_NAMES)),
                                                    inp.arg(lambda: inp.integer(lo=-2, hi=5)), inp.flag()], {}),
    "_subscribe.synthetic_1_freq_k_data": lambda inp: ([frequency_i(inp)], {}),
    "_subscribe.synthetic_n_freq_k_data": lambda inp: ([frequency_i(inp), freq_num(inp)], {}),
    "_subscribe.synthetic_fresh_matrix": lambda inp: ([frequency_i(inp), freq_num(inp)], {}),
    "_subscribe.find_exchange_day": b_find_exchange_day,
    "_subscribe.calc_1_freq_matrix_adj": lambda inp: ([frequency_i(inp)], {}),
    "_subscribe.synthetic_matrix_adj": lambda inp: ([frequency_i(inp), freq_num(inp)], {}),
    "_subscribe.synthetic_fresh_matrix_adj": lambda inp: ([frequency_i(inp), freq_num(inp)], {}),
    "_subscribe.get_reg_k_data": window(["min5", "day", "min5"]),
    "_subscribe.get_reg_k_data_adj": window(["day_adj"]),
    "_subscribe.reg_factor": b_reg_factor,
    "_subscribe.get_reg_factor": b_get_reg_factor,
    "_subscribe.reg_user_data": b_reg_user_data,
    "_subscribe.get_reg_user_data": b_get_reg_user_data,
    "_subscribe.reg_user_indices": b_reg_user_indices,
    "_subscribe.get_reg_user_indicator": b_get_reg_user_indicator,
    "_subscribe.get_instruments": b_get_instruments,
    "_windows.get_reg_k_data_values": window(["min5", "day", "min5"]),
    "_windows.get_reg_k_data_adj_values": window(["day_adj"]),
}

# Calls that change the store: a restore follows them.
CHANGES = {
    "_subscribe.reg_k_data", "_subscribe.fetch_1_freq_k_data", "_subscribe.synthetic_1_freq_k_data",
    "_subscribe.synthetic_n_freq_k_data", "_subscribe.synthetic_fresh_matrix",
    "_subscribe.calc_1_freq_matrix_adj", "_subscribe.synthetic_matrix_adj",
    "_subscribe.synthetic_fresh_matrix_adj", "_subscribe.reg_factor", "_subscribe.reg_user_data",
    "_subscribe.reg_user_indices",
}

# Exceptions a function documents beyond the common ones: a frequency outside the
# synthesis map is the map's KeyError (a run with a tick main frequency registering
# longer bars included); a series that a step expects but does not find is an
# assertion; tick bars cannot be adjusted.
MISSING_SERIES = (AssertionError, NotImplementedError)
EXTRA = {
    "_subscribe.reg_k_data": (KeyError,),
    "_subscribe.synthetic_1_freq_k_data": (KeyError,),
    "_subscribe.synthetic_n_freq_k_data": (KeyError,),
    "_subscribe.synthetic_fresh_matrix": (KeyError,),
    "_subscribe.calc_1_freq_matrix_adj": MISSING_SERIES,
    "_subscribe.synthetic_matrix_adj": MISSING_SERIES,
    "_subscribe.synthetic_fresh_matrix_adj": MISSING_SERIES,
}

MODULES = {"_subscribe": _subscribe, "_windows": _windows}
NAMES = sorted("%s.%s" % (m, n) for m, mod in MODULES.items() for n in _common.public_functions(mod))
_common.check_table("_subscribe/_windows", NAMES, BUILDERS)
OK_BY_NAME = {name: _common.accepted(EXTRA.get(name, ())) for name in NAMES}
FUZZED = _common.fuzzed(NAMES)
CALLS = {name: getattr(MODULES[name.split(".")[0]], name.split(".")[1]) for name in NAMES}


def test_one_input(data):
    inp = Inputs(data)
    name = inp.pick(FUZZED)
    args, kwargs = BUILDERS[name](inp)
    try:
        _common.call_checked(name, CALLS[name], args, kwargs, OK_BY_NAME[name])
    finally:
        if name in CHANGES:
            STATE.restore()


if __name__ == "__main__":
    _common.limit_memory()
    _common.main(test_one_input, globals())
