"""Fuzz harness of vornix.tframe.sysstate: the module's functions and every method and
property of the state store (`vr`, SystemBaseVar) and the environment (`env`,
SystemBaseEnv).

The store is set up once per process on a small sample run (fuzz/_common.RunState);
an input may move the current step, then calls one member with built arguments.
Calls that change the store, the class or the output and log managers are followed
by a restore.  Only TypeError, ValueError, IndexError, OverflowError and the
framework's errors may escape, plus the host's AttributeError and KeyError of these
duck-typed members and the few exceptions a member documents (EXTRA).

    python fuzz/fuzz_sysstate.py fuzz/corpus/sysstate -max_total_time=30   (or: fuzz/run sysstate)
"""

import os
import sys
from types import SimpleNamespace

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

with atheris.instrument_imports(include=["vornix", "_common"]):
    import _common
    from _common import Inputs

    from vornix.tframe import sysstate as ss
    from vornix.tframe.sysdefine import GlobalDefine as gv

import numpy as np  # noqa: E402

STATE = _common.RunState(registrations=False)
ss.user_warning = lambda *args, **kwargs: None  # the warnings about replaced callbacks are expected
STATE.var.g_VornixAccounts.extend(SimpleNamespace(handle=h) for h in ("acc-a", "acc-b", 7))
STATE._pristine = STATE._copy_store(STATE.var)  # with the accounts


def target(inp):
    return inp.arg(lambda: inp.position(STATE.n_targets) if inp.chance(2) else inp.small(0, 2))


def code(inp):
    return inp.pick(STATE.codes + ["SH.999999", "sh.600000", "X.Y.Z", "CFE.IF00", ""]) if inp.chance(2) else inp.text()


def frequency(inp):
    return inp.arg(lambda: inp.pick([gv.KFreq_Tick, gv.KFreq_Min, gv.KFreq_Day, gv.KFreq_Week,
                                     gv.KFreq_Month, gv.KFreq_Year]) if inp.chance(2) else inp.integer())


def none(inp):
    return [], {}


def one(make):
    return lambda inp: ([make(inp)], {})


def handle(inp):
    return inp.arg(lambda: inp.pick(["acc-a", "acc-b", 7, "zz", None, float("nan")]))


def indices(inp):
    kind = inp.small(0, 3)
    if kind == 0:
        return inp.position(STATE.n_targets)
    if kind == 1:
        return [inp.position(STATE.n_targets) for _ in range(inp.small(0, 4))]
    if kind == 2:
        return np.asarray([inp.small(0, STATE.n_targets - 1) for _ in range(inp.small(0, 4))],
                          dtype=inp.pick([np.int64, np.float64, np.int8]))
    return inp.wrong()


def fields(inp):
    names = ["open", "high", "low", "close", "volume", "amount", "open_interest", "time", "x", ""]
    return inp.arg(lambda: [inp.pick(names) for _ in range(inp.small(0, 3))])


def user_scope(inp):
    keys = [gv.CALLUSER_INIT, gv.CALLUSER_ONDATA, gv.CALLUSER_ORDER_STATUS, gv.CALLUSER_ORDER_EXECUTION]
    candidates = [lambda context: None, lambda context, order, *a, **k: None, lambda: None, None, 3,
                  lambda context, excution, *args, **kwargs: None, print]
    return {inp.pick(keys): inp.pick(candidates) for _ in range(inp.small(0, 4))}


def sub_dir(inp):
    return inp.arg(lambda: inp.pick(["", "a", "a/b", "x/../y", "..", "../x", "/", "/tmp", ".", "a/../.."])
                   if inp.chance(2) else inp.text())


def key(inp):
    # names of the fuzz's own; other values as keys for the type checks
    return inp.arg(lambda: "fz_" + inp.text(), one_in=4)


BUILDERS = {
    # module functions
    "synthetic_k_data_rule_map": lambda inp: ([frequency(inp)], {}),
    "adjust_topmost_rule_map": lambda inp: ([frequency(inp)], {}),
    "sys_exit": none,
    # SystemBaseVar
    "vr.set_env": lambda inp: ([inp.arg(lambda: STATE.env, one_in=3)], {}),
    "vr.save_snapshot": none,
    "vr.set_value": lambda inp: ([key(inp), inp.wrong()], {}),
    "vr.get_value": lambda inp: ([key(inp)], {"default": inp.wrong()} if inp.chance(2) else {}),
    "vr.del_value": lambda inp: ([key(inp)], {}),
    # SystemBaseEnv
    "env.set_env": lambda inp: ([inp.arg(lambda: STATE.var, 3), inp.arg(lambda: gv, 3),
                                 inp.arg(lambda: ss.smm, 3)][: inp.small(0, 3)], {}),
    "env.fresh_bar_time": none,
    "env.fresh_bar_num": none,
    "env.fresh_bar_timeline": none,
    "env.get_internal_fresh_bar_num": lambda inp: ([inp.wrong()][: inp.small(0, 1)], {}),
    "env.user_context": none,
    "env.market_price": lambda inp: ([target(inp), inp.arg(lambda: inp.pick([0, 1, -1, 2]))][: inp.small(1, 2)], {}),
    "env.get_multiple": lambda inp: ([target(inp), inp.arg(inp.real)][: inp.small(1, 2)], {}),
    "env.get_minmove": one(target),
    "env.cost_fee_rate": lambda inp: ([inp.arg(lambda: inp.pick([gv.TARGETTYPE_STOCK, gv.TARGETTYPE_FUTURE, 99]))], {}),
    "env.matrix_bar_item_pos": lambda inp: ([inp.arg(lambda: inp.integer(-2, 9)), target(inp),
                                             inp.flag()][: inp.small(1, 3)], {}),
    "env.is_valid_order_id": lambda inp: ([inp.wrong()], {}),
    "env.check_idx": lambda inp: ([inp.text(), inp.arg(lambda: inp.position(3)), indices(inp),
                                   inp.flag()][: inp.small(3, 4)], {}),
    "env.set_fresh_bar": lambda inp: ([inp.flag()], {}),
    "env.in_fresh_bar": none,
    "env.before_new_fresh_bar": none,
    "env.reset_daily_close_time_setting": none,
    "env.exist_daily_close_time_setting": none,
    "env.update_user_scope": lambda inp: ([inp.arg(lambda: user_scope(inp))], {}),
    "env.handle_idx_count": none,
    "env.account_handle_to_idx": one(handle),
    "env.account_idx_to_handle": lambda inp: ([inp.arg(lambda: inp.position(3))], {}),
    "env.get_account_by_handle": one(handle),
    "env.get_handle_account_map": lambda inp: ([inp.arg(lambda: [handle(inp) for _ in range(inp.small(0, 3))])], {}),
    "env.account_handles": none,
    "env.target_idx_count": none,
    "env.get_target_idx": one(code),
    "env.get_target_name": one(indices),
    "env.is_target_type": lambda inp: ([target(inp), inp.arg(lambda: inp.pick([gv.TARGETTYPE_STOCK, 5]))], {}),
    "env.get_target_type": lambda inp: ([inp.arg(lambda: code(inp) if inp.chance(2) else inp.position(3))], {}),
    "env.vx_disconnect_to": none,
    "env.generate_kmatrix_df": lambda inp: ([inp.arg(lambda: inp.integer(-1, 4)), inp.arg(lambda: inp.integer(-1, 20))], {}),
    "env.generate_kmatrix_array": lambda inp: ([inp.arg(lambda: inp.integer(-1, 4)), inp.arg(lambda: inp.integer(-1, 20))], {}),
    "env.set_vxcore_task_id": lambda inp: ([inp.arg(inp.text, one_in=3)], {}),
    "env.get_strategy_input": none,
    "env.root_sub_dir": lambda inp: ([sub_dir(inp)][: inp.small(0, 1)], {}),
    "env.rm_root_sub_dir": one(sub_dir),
    "env.mk_root_sub_dir": one(sub_dir),
    "env.cls_root_sub_dir": one(sub_dir),
    "env.get_bar": lambda inp: ([indices(inp), inp.arg(lambda: inp.integer(-3, 3))][: inp.small(1, 2)], {}),
    "env.get_bar_field": lambda inp: ([indices(inp), inp.arg(lambda: inp.position(STATE.steps)), fields(inp)], {}),
    "env.market_code_to_idx": lambda inp: ([inp.arg(lambda: inp.pick(["SH", "SZ", "sh", ""])),
                                            inp.arg(lambda: inp.pick(["600000", "000011", "1"]))], {}),
    "env.more_info": none,
    "env.release_source": none,
}

# Members that only read: no restore after them.
READ_ONLY = {
    "synthetic_k_data_rule_map", "adjust_topmost_rule_map", "vr.get_value", "env.fresh_bar_time",
    "env.fresh_bar_num", "env.fresh_bar_timeline", "env.get_internal_fresh_bar_num", "env.user_context",
    "env.market_price", "env.get_multiple", "env.get_minmove", "env.cost_fee_rate",
    "env.matrix_bar_item_pos", "env.is_valid_order_id", "env.check_idx", "env.in_fresh_bar",
    "env.exist_daily_close_time_setting", "env.handle_idx_count", "env.account_handle_to_idx",
    "env.account_idx_to_handle", "env.get_account_by_handle", "env.get_handle_account_map",
    "env.account_handles", "env.target_idx_count", "env.get_target_idx", "env.get_target_name",
    "env.is_target_type", "env.get_target_type", "env.generate_kmatrix_df",
    "env.generate_kmatrix_array", "env.get_strategy_input", "env.get_bar", "env.get_bar_field",
    "env.market_code_to_idx", "env.more_info",
}

# Exceptions beyond the common ones.  The state store and the environment work on
# whatever objects they are given: an argument without the attribute or key a member
# looks up fails with the host's AttributeError or KeyError (so does a frequency
# outside the synthesis map), and a few range checks are assertions.
DUCK_TYPED = (AttributeError, KeyError)
EXTRA = {
    # market_price before any bars are loaded: the run has no prices yet
    "env.market_price": (NotImplementedError,),
    # the bar item and the bar position are checked by assertions naming the range
    "env.matrix_bar_item_pos": (AssertionError,),
    "env.get_bar_field": (AssertionError,),
    # output folders: the file system's refusals (a name too long, say) propagate
    "env.root_sub_dir": (OSError,),
    "env.mk_root_sub_dir": (OSError,),
    "env.rm_root_sub_dir": (OSError,),
    "env.cls_root_sub_dir": (OSError,),
    "vr.save_snapshot": (OSError,),
}


def members():
    """The module's public functions and the public members of its two classes."""
    names = list(_common.public_functions(ss))
    for prefix, cls in (("vr", ss.SystemBaseVar), ("env", ss.SystemBaseEnv)):
        names += ["%s.%s" % (prefix, n) for n in vars(cls) if not n.startswith("_")]
    return sorted(names)


def resolve(name):
    """A callable for a member: bound methods of the live objects, property getters."""
    if "." not in name:
        return getattr(ss, name)
    prefix, attr = name.split(".")
    obj = STATE.var if prefix == "vr" else STATE.env
    raw = vars(type(obj))[attr]
    if isinstance(raw, property):
        return lambda: getattr(obj, attr)
    return getattr(obj, attr)


NAMES = members()
_common.check_table("sysstate", NAMES, BUILDERS)
FUZZED = _common.fuzzed(NAMES)
OK_BY_NAME = {name: _common.accepted(DUCK_TYPED + EXTRA.get(name, ())) for name in NAMES}


def test_one_input(data):
    inp = Inputs(data)
    name = inp.pick(FUZZED)
    moved = inp.chance(2)
    if moved:  # another current step, inside or outside the time line
        STATE.var.g_VornixSimCurBarFresh = inp.position(STATE.steps)
    args, kwargs = BUILDERS[name](inp)
    try:
        _common.call_checked(name, resolve(name), args, kwargs, OK_BY_NAME[name])
    finally:
        if name not in READ_ONLY:
            STATE.restore()
        elif moved:
            STATE.var.g_VornixSimCurBarFresh = float("nan")


if __name__ == "__main__":
    _common.limit_memory()
    _common.main(test_one_input, globals())
