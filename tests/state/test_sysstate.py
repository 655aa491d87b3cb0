"""The state store, the environment and the module set-up of sysstate."""

import inspect
import math
import os

import numpy as np
import pandas as pd
import pytest

from vornix.tframe import sysstate as ss
from vornix.tframe.uclass import KDataItem
from vornix.tframe.utils.logger import LoggerManager
from vornix.tframe.utils.utilcls import StatusCollect
from vornix.tframe.utils.utilfunc import load_mat
from vxtest.runs import fresh_state
from vxtest.support import bar_rows, kmatrix

gv = ss.gv


@pytest.fixture
def env(monkeypatch):
    """A fresh store and environment standing in for the module's singletons."""
    return fresh_state(monkeypatch)


class Account:
    def __init__(self, handle):
        self.handle = handle


def with_targets(env, dots, types=None):
    env.vr.g_VornixInputInfo.TargetList = [d.lower() for d in dots]
    env.vr.g_VornixInputInfo.TargetListDot = list(dots)
    for i, d in enumerate(dots):
        env.vr.g_VornixTargetsInfo[d] = {"Type": (types or {}).get(i, gv.TARGETTYPE_STOCK)}


# --- module set-up --------------------------------------------------------------------


def test_module_exports_and_wiring():
    assert ss.__all__ == ["smm", "env", "vr", "SystemBaseVar", "SystemBaseEnv", "gv",
                          "synthetic_k_data_rule_map", "adjust_topmost_rule_map"]
    ns = {}
    exec("from vornix.tframe.sysstate import *", ns)
    assert sorted(k for k in ns if k != "__builtins__") == sorted(ss.__all__)
    assert ss.env.vr is ss.vr and ss.env.gv is ss.gv and ss.env.smm is ss.smm
    assert StatusCollect.instance().env is ss.env
    from vornix.tframe.sysdefine import GlobalDefine
    assert ss.gv is GlobalDefine and ss.gv is not ss.vr
    import vornix.tframe.sysstate as again
    assert again is ss


@pytest.mark.parametrize("cls", ["SystemBaseVar", "SystemBaseEnv"])
def test_classes_are_plain(cls):
    c = getattr(ss, cls)
    assert type(c) is type and c.__bases__ == (object,)
    assert c.__module__ == "tframe.sysstate"


def test_env_member_order_and_metadata():
    members = [k for k in vars(ss.SystemBaseEnv) if not k.startswith("__") or k == "__init__"]
    assert members[:6] == ["__init__", "set_env", "fresh_bar_time", "fresh_bar_num",
                           "fresh_bar_timeline", "get_internal_fresh_bar_num"]
    assert members[-3:] == ["market_code_to_idx", "more_info", "release_source"]
    assert len(members) == 45
    kinds = {k: type(v).__name__ for k, v in vars(ss.SystemBaseEnv).items()}
    assert kinds["fresh_bar_time"] == "property" and kinds["account_handles"] == "property"
    assert kinds["is_valid_order_id"] == "staticmethod" and kinds["root_sub_dir"] == "staticmethod"
    assert ss.SystemBaseEnv.update_user_scope.__isabstractmethod__ is True
    assert isinstance(ss.SystemBaseEnv(), ss.SystemBaseEnv)
    sig = inspect.signature(ss.SystemBaseEnv.get_bar)
    assert sig.return_annotation == "dict or None"
    assert sig.parameters["target_idx"].annotation == "np.ndarray"
    assert inspect.signature(ss.SystemBaseEnv.get_multiple).parameters["default"].default == 1.0
    assert math.isnan(inspect.signature(ss.env.get_internal_fresh_bar_num).parameters["default"].default)
    assert inspect.signature(ss.SystemBaseEnv.root_sub_dir).parameters["sub"].default == ""
    var_members = [k for k in vars(ss.SystemBaseVar) if not k.startswith("__") or k == "__init__"]
    assert var_members == ["__init__", "set_env", "save_snapshot", "set_value", "get_value", "del_value"]


def test_wrong_argument_counts_raise_type_error(env):
    with pytest.raises(TypeError):
        env.get_multiple()
    with pytest.raises(TypeError):
        env.set_fresh_bar(True, False)
    with pytest.raises(TypeError):
        env.check_idx("f", None, None, toarray=True, bogus=1)
    with pytest.raises(TypeError):
        ss.SystemBaseVar(1)


# --- state store --------------------------------------------------------------------------


def test_fresh_store_values():
    var = ss.SystemBaseVar()
    names = list(vars(var))
    assert names[:4] == ["g_VornixCache", "g_VornixSocket", "g_VornixSocketSub", "g_VornixLastHeartBeat"]
    assert names[-1] == "g_VornixDayFreqTransEndTime" and len(names) == 31
    assert math.isnan(var.g_VornixSimCurBarFresh) and math.isnan(var.g_VornixModeTaskId)
    assert var.g_VornixFreshBarStatus is False and var.g_VornixMinFreqTurnPos is False
    assert var.g_VornixDailyCloseTime == 0 and var.g_VornixUserContext is None
    for name in ("g_VornixDataValueFresh", "g_VornixDataValueFresh_Adj", "g_VornixDataValueFreshUserD",
                 "g_VornixDataValueFreshUserI", "g_VornixTradingDays"):
        arr = getattr(var, name)
        assert isinstance(arr, np.ndarray) and arr.ndim == 1 and arr.size == 0
    assert var.g_VornixSocket.port == 3293 and var.g_VornixSocket.timeout == 3
    assert var.g_VornixSocket._callback_connected is ss._before_first_cmd
    assert var.g_VornixSocketSub._callback_connected is None
    assert not var.g_VornixSocket.is_connected()


def test_class_level_store_is_shared():
    a, b = ss.SystemBaseVar(), ss.SystemBaseVar()
    assert ss.SystemBaseVar.get_value("g_VornixCache", "none") == "none"
    ss.SystemBaseVar.set_value("x_test", 5)
    try:
        assert a.x_test == 5 and b.x_test == 5 and ss.vr.get_value("x_test") == 5
    finally:
        ss.SystemBaseVar.del_value("x_test")
    ss.SystemBaseVar.del_value("x_test")
    assert not hasattr(a, "x_test") and ss.SystemBaseVar.get_value("x_test") is None


def test_snapshot_file(env, monkeypatch):
    warnings = []
    monkeypatch.setattr(ss, "user_warning", warnings.append)
    path1 = env.vr.save_snapshot()
    assert os.path.dirname(path1) == LoggerManager.log_dir()
    assert os.path.basename(path1).startswith("py_error_") and path1.endswith(".mat")
    assert warnings == ["错误快照：" + path1]  # (a run quiets it: its error names the file)
    path2 = env.vr.save_snapshot()
    assert path2 != path1
    env.vr.g_VornixModeTaskId = 42
    env.vr.g_VornixDataValueFresh = np.arange(6.0).reshape(2, 3)
    env.vr.g_VornixKDataList.append(KDataItem(KFrequency="day", Matrix=np.ones((3, 2))))
    path = env.vr.save_snapshot()
    assert os.path.basename(path) == "py_error_42.mat"
    snap = load_mat(path)
    for key in ("StrategyTaskId", "StrategyInputInfo", "KDataList", "DataValueFresh", "TargetsInfo",
                "SimCurBarFresh", "TradingDays", "DailyCloseTime"):
        assert key in snap
    assert snap["StrategyTaskId"].item() == 42
    np.testing.assert_array_equal(snap["DataValueFresh"], np.arange(6.0).reshape(2, 3))
    env.vr.g_VornixModeTaskId = "task"
    with pytest.raises(TypeError):
        env.vr.save_snapshot()


# --- bar clock and row arithmetic -------------------------------------------------------------


def test_bar_clock(env):
    assert math.isnan(env.fresh_bar_num)
    assert env.fresh_bar_timeline.size == 0
    env.vr.g_VornixDataValueFresh = np.array([[10.0, 11.0, 12.0], [1, 2, 3]])
    assert env.fresh_bar_time == 10.0
    env.vr.g_VornixSimCurBarFresh = 2
    assert env.fresh_bar_num == 2 and env.fresh_bar_time == 12.0
    tl = env.fresh_bar_timeline
    assert np.shares_memory(tl, env.vr.g_VornixDataValueFresh)
    assert env.get_internal_fresh_bar_num() != env.get_internal_fresh_bar_num()  # NaN
    assert env.get_internal_fresh_bar_num(-1) == -1
    env.vr.g_VornixUserContext = type("Ctx", (), {"_internal_bar_num": 7})()
    assert env.get_internal_fresh_bar_num() == 7 and env.user_context is env.vr.g_VornixUserContext
    env.set_fresh_bar(True)
    assert env.in_fresh_bar() is True and env.before_new_fresh_bar() is None
    env.vr.g_VornixSettingInfo.DailyCloseTime = 150000
    assert env.exist_daily_close_time_setting() is True
    env.reset_daily_close_time_setting()
    assert env.exist_daily_close_time_setting() is False


def test_unwired_env():
    e = ss.SystemBaseEnv()
    assert (e.vr, e.gv, e.smm, e.snap, e.diff_cvt, e.diff_api) == (None,) * 6
    assert math.isnan(e.get_internal_fresh_bar_num())
    with pytest.raises(AttributeError):
        _ = e.fresh_bar_num
    e.set_env(None, None, None)
    assert e.vr is None


def test_matrix_bar_item_pos(env, monkeypatch):
    head, blen = gv.KMatrixPos_Head_len, gv.KMatrix_Bar_Len
    assert env.matrix_bar_item_pos(3, 1) == head + blen + 3
    assert env.matrix_bar_item_pos(3, 1, False) == blen + 3
    np.testing.assert_array_equal(env.matrix_bar_item_pos(0, np.array([0, 2])), [head, head + 2 * blen])
    with pytest.raises(AssertionError, match="Bar的索引超出范围"):
        env.matrix_bar_item_pos(gv.KMatrix_Bar_End + 1)

    class Small(gv):
        KMatrix_Bar_Begin, KMatrix_Bar_End = 1, 3

    env.gv = Small
    with pytest.raises(AssertionError):
        env.matrix_bar_item_pos(0)


# --- targets, accounts, callbacks ----------------------------------------------------------------


def test_target_lookups(env):
    assert env.get_target_name(0) is None and env.get_target_name([]) == []
    with_targets(env, ["SHSE.600000", "CFFEX.IF"], {1: gv.TARGETTYPE_FUTURE})
    assert env.target_idx_count == 2
    assert env.get_target_name(np.int64(1)) == "CFFEX.IF"
    assert env.get_target_name([0, 5, -1]) == ["SHSE.600000"]
    assert env.market_code_to_idx("cffex", "if") == 1
    assert env.get_target_idx("cffex.if") is None and env.get_target_idx("CFFEX.IF") == 1
    assert env.is_target_type(1, gv.TARGETTYPE_FUTURE) and not env.is_target_type(0, gv.TARGETTYPE_FUTURE)
    assert env.get_target_type(1) == gv.TARGETTYPE_FUTURE
    assert env.get_target_type("shse.600000") == gv.TARGETTYPE_STOCK
    with pytest.raises(IndexError):
        env.get_target_type(5)
    with pytest.raises(ValueError):
        env.get_target_type("NOT-A-CODE")
    env.vr.g_VornixInputInfo.TargetListDot = ["A.1", "A.1"]
    assert env.get_target_idx("A.1") == 0


def test_target_type_falls_back_to_history_service(env, monkeypatch):
    import sys
    import types
    seen = []
    fake = types.ModuleType("vornix.api.history._history")
    fake.get_target_info = lambda req: seen.append(req) or [{"Type": gv.TARGETTYPE_FUTURE}]
    monkeypatch.setitem(sys.modules, "vornix.api.history._history", fake)
    assert env.get_target_type("dce.m2405") == gv.TARGETTYPE_FUTURE
    assert seen == [[{"Market": "DCE", "Code": "M2405"}]]


def test_accounts(env):
    env.vr.g_VornixAccounts = [Account("h1"), Account("h2"), Account("h1")]
    assert env.handle_idx_count == 3 and env.account_handles == ["h1", "h2", "h1"]
    assert env.account_handle_to_idx("h2") == 1 and env.account_handle_to_idx("zz") is None
    assert env.account_idx_to_handle(2.0) == "h1"
    assert env.get_account_by_handle("h1") is env.vr.g_VornixAccounts[0]
    m = env.get_handle_account_map(["h2", "h1", "h2", "zz"])
    assert list(m) == ["h2", "h1", "zz"] and m["zz"] is None
    with pytest.raises(IndexError):
        env.account_idx_to_handle(3)


@pytest.mark.parametrize("value, expected", [(None, False), (float("nan"), False), (0, True), (12.5, True)])
def test_is_valid_order_id(value, expected):
    assert ss.SystemBaseEnv.is_valid_order_id(value) is expected


def test_is_valid_order_id_rejects_text():
    with pytest.raises(TypeError):
        ss.SystemBaseEnv.is_valid_order_id("x")


def test_check_idx(env):
    env.vr.g_VornixAccounts = [Account(h) for h in "abc"]
    with_targets(env, ["A.1", "B.2"])
    assert env.check_idx("f", None, None) == (None, None)
    h, t = env.check_idx("f", 2.0, [0, 1])
    assert h.tolist() == [2] and t.tolist() == [0, 1] and h.dtype.kind == "i"
    assert env.check_idx("f", 2.9, [0, 1], toarray=False) == (2, [0, 1])
    assert env.check_idx("f", True, np.array([[1], [0]]))[1].tolist() == [1, 0]


@pytest.mark.parametrize("handle, target, error", [
    (3, None, IndexError),
    (-1, None, IndexError),
    (None, [0, 2], IndexError),
    (float("nan"), None, ValueError),
    (None, float("nan"), ValueError),
    ("x", None, ValueError),
    (None, object(), TypeError),
])
def test_check_idx_rejects(env, handle, target, error):
    env.vr.g_VornixAccounts = [Account(h) for h in "abc"]
    with_targets(env, ["A.1", "B.2"])
    with pytest.raises(error):
        env.check_idx("f", handle, target)


def test_update_user_scope(env, monkeypatch):
    warnings = []
    monkeypatch.setattr(ss, "user_warning", warnings.append)
    calls = []

    def init(context):
        calls.append(("init", context, env.smm.phase))

    def on_data(ctx):
        calls.append(("on_data", ctx, env.smm.phase))

    def on_execution(context, excution, *args, **kwargs):
        return "done"

    env.update_user_scope({"init": init, "on_data": on_data, "on_execution": on_execution,
                           "on_order_status": lambda context, order: None})
    info = env.vr.g_VornixInputInfo
    info.on_init_func("c1")
    info.on_data_func("c2")
    assert calls == [("init", "c1", gv.RUMMODE_PHASE_USERINIT), ("on_data", "c2", gv.RUMMODE_PHASE_ONDATA)]
    assert info.on_order_execution_func("c", "e", 1, k=2) == "done"
    assert info.on_order_status_func("c", "o", 1, 2, x=3) is None  # the default took over
    assert len(warnings) == 1
    assert warnings[0].endswith(", expect signature`def on_order_status(context, order, *args, **kwargs): pass`")

    warnings.clear()
    env.update_user_scope({})
    assert len(warnings) == 4 and "`init` is not defined" in warnings[0]
    assert env.vr.g_VornixInputInfo.on_init_func("c") is None


# --- bar and price queries --------------------------------------------------------------------------


@pytest.fixture
def market(env):
    """Two targets, four bars; the refresh series' current bar at steps 0..4."""
    with_targets(env, ["SHSE.600000", "SZSE.000001"])
    bars = [
        [(10, 11, 9, 10.5, 100, 1000, 0), (10.5, 12, 10, 11.5, 200, 2000, 0),
         (11.5, 12, 11, 11.8, 300, 3000, 0), (11.8, 13, 11, 12.5, 400, 4000, 0)],
        [(20, 21, 19, 20.5, 10, 100, 5), (20.5, 22, 20, 21.5, 0, 0, 6),
         (21.5, 22, 21, 21.8, 30, 300, 7), (21.8, 23, 21, 22.5, 40, 400, 8)],
    ]
    m = kmatrix([1.0, 2.0, 3.0, 4.0], [bar_rows(b) for b in bars])
    item = KDataItem(KFrequency="day", Matrix=m, CurrentBar=np.array([0, 1, 2, 3, 4]))
    env.vr.g_VornixKDataList.append(item)
    env.vr.g_VornixInputInfo.RefreshKDataIdx = 0
    return m


def test_market_price(env, market, monkeypatch):
    assert env.market_price(0, 0) == 10.5  # before the first step: position 0
    assert env.market_price(0) == 10.5  # next open
    assert env.market_price(0, -1) == 10.5  # clamped at the first column
    env.vr.g_VornixSimCurBarFresh = 2
    assert env.market_price(1, 0) == 21.8 and env.market_price(1, 1) == 21.8 and env.market_price(1, -1) == 21.5
    env.vr.g_VornixSimCurBarFresh = 3
    assert env.market_price(0, 0) == 12.5 and env.market_price(0, 1) == 11.8
    np.testing.assert_array_equal(env.market_price(np.array([0, 1]), 0), [12.5, 22.5])

    import sys
    import types
    ticks = {"prices": np.array([12.1, 12.2])}
    fake = types.ModuleType("vornix.api.history._history")
    fake.get_bar_tick_data = lambda t, pos: type("R", (), {"Price": ticks["prices"]})()
    monkeypatch.setitem(sys.modules, "vornix.api.history._history", fake)
    assert env.market_price(0, 3) == 12.2
    assert env.market_price(0, 2) == 12.2 and env.market_price(0, 5.0) == 12.2
    ticks["prices"] = np.array([])
    assert math.isnan(env.market_price(0, 3))


def test_market_price_without_data(env):
    with pytest.raises(NotImplementedError):
        env.market_price(0)


def test_get_bar(env, market):
    env.vr.g_VornixSimCurBarFresh = 1
    bar = env.get_bar(np.array([1, 0]))
    assert list(bar) == ["code", "number_bar", "time_bar", "open", "high", "low", "close",
                         "volume", "amount", "open_interest"]
    assert bar["code"].tolist() == ["SZSE.000001", "SHSE.600000"]
    assert bar["number_bar"].tolist() == [1, 1] and bar["time_bar"].tolist() == [2.0, 2.0]
    assert bar["close"].tolist() == [21.5, 11.5] and bar["volume"].tolist() == [0, 200]
    assert bar["open_interest"].tolist() == [6, 0]
    assert env.get_bar(np.array([0]), offset=1)["close"].tolist() == [11.8]
    assert env.get_bar(np.array([0]), offset=3) is None  # beyond the last column
    env.vr.g_VornixSimCurBarFresh = float("nan")
    with pytest.raises(IndexError):
        env.get_bar(np.array([0]))


def test_get_bar_field(env, market):
    out = env.get_bar_field([0, 1], 2, ["close", "volume", "open"])
    np.testing.assert_array_equal(out, [[11.8, 21.8], [300, 30], [11.5, 21.5]])
    np.testing.assert_array_equal(env.get_bar_field(1, 0, ["high"]), [[21]])
    with pytest.raises(AssertionError, match="get_bar_field error, pos: 4"):
        env.get_bar_field(0, 4, ["close"])
    with pytest.raises(ValueError):
        env.get_bar_field(0, 1, ["nonsense"])


def test_trading_constants(env):
    with_targets(env, ["CFFEX.IF"], {0: gv.TARGETTYPE_FUTURE})
    env.vr.g_VornixTargetsInfo["CFFEX.IF"].update({"Multiple": 300, "MinMove": 0.2})
    assert env.get_multiple(0) == 300 and env.get_minmove(0) == 0.2
    info = env.vr.g_VornixTargetsInfo["CFFEX.IF"]
    del info["Multiple"], info["MinMove"]
    assert env.get_multiple(0) == 1.0 and env.get_multiple(0, 10) == 10 and env.get_minmove(0) is None
    env.vr.g_VornixSettingInfo.cost_fee_stock = 3
    env.vr.g_VornixSettingInfo.cost_fee_future = 0.5
    assert env.cost_fee_rate(gv.TARGETTYPE_STOCK) == pytest.approx(0.0003)
    assert env.cost_fee_rate(gv.TARGETTYPE_FUTURE) == 0.5
    assert env.cost_fee_rate(99) == 0
    with pytest.raises(IndexError):
        env.get_multiple(3)


@pytest.mark.parametrize("targets", [0, 1, 3])
def test_empty_kmatrix_shapes(env, targets):
    arr = env.generate_kmatrix_array(targets, 5)
    assert arr.shape == (gv.KMatrixPos_Head_len + gv.KMatrix_Bar_Len * targets, 5) and not arr.any()
    df = env.generate_kmatrix_df(targets, 5)
    assert isinstance(df, pd.DataFrame) and df.shape == arr.shape and not df.to_numpy().any()
    labels = df.index.tolist()
    assert labels[:gv.KMatrixPos_Head_len] == sorted(
        [gv.KMatrixPos_TimeLine, gv.KMatrixPos_DayPos, gv.KMatrixPos_FreshIdx])
    assert labels == list(range(arr.shape[0]))


# --- rule maps -----------------------------------------------------------------------------------------


@pytest.mark.parametrize("freq, base", [
    (gv.KFreq_Min, gv.KFreq_Min), (gv.KFreq_Day, gv.KFreq_Day), (gv.KFreq_Week, gv.KFreq_Day),
    (gv.KFreq_Month, gv.KFreq_Day), (float(gv.KFreq_Year), gv.KFreq_Day),
])
def test_synthesis_rule_map(freq, base):
    assert ss.synthetic_k_data_rule_map(freq) == base


@pytest.mark.parametrize("freq, base", [
    (gv.KFreq_Year, gv.KFreq_Day), (gv.KFreq_Week, gv.KFreq_Day), (gv.KFreq_Day, gv.KFreq_Day),
    (gv.KFreq_Min, gv.KFreq_Min), (float(gv.KFreq_Min), gv.KFreq_Min), (gv.KFreq_Tick, gv.KFreq_Tick),
])
def test_adjust_rule_map(freq, base):
    assert ss.adjust_topmost_rule_map(freq) == base


def test_rule_map_errors():
    with pytest.raises(KeyError) as info:
        ss.synthetic_k_data_rule_map(gv.KFreq_Tick)
    assert info.value.args == (gv.KFreq_Tick,)
    with pytest.raises(ValueError, match=r"^Not exist rule map, frequency_i=`99`$"):
        ss.adjust_topmost_rule_map(99)


# --- output directories ---------------------------------------------------------------------------------


def test_output_dirs_and_task_id(env, tmp_path, monkeypatch):
    from vornix.tframe.utils.utilcls import OutputFileManager
    monkeypatch.setattr(OutputFileManager, "_root", str(tmp_path))
    assert ss.SystemBaseEnv.root_sub_dir() == str(tmp_path)
    mat = env.mk_root_sub_dir("mat")
    open(os.path.join(mat, "x"), "w").close()
    assert env.cls_root_sub_dir("mat") == mat and os.listdir(mat) == []
    env.rm_root_sub_dir("mat")
    assert not os.path.exists(mat)
    with pytest.raises(ValueError):
        env.root_sub_dir("../outside")
    monkeypatch.setattr(LoggerManager, "_file_name", None)
    env.set_vxcore_task_id(77)
    assert env.vr.g_VornixModeTaskId == 77 and OutputFileManager.task_id() == 77
    assert LoggerManager.log_file().endswith("vornix_77.log")
    assert env.get_strategy_input() is env.vr.g_VornixInputInfo
    assert ss.SystemBaseEnv.release_source() is None


def test_log_files_are_bounded_and_levelled(tmp_path, monkeypatch):
    import logging

    from vornix.tframe.utils.logger import write_syslog

    for name in ("_log_dir", "_file_name", "_handler"):
        monkeypatch.setattr(LoggerManager, name, getattr(LoggerManager, name))
    levels = {n: logging.getLogger(n).level for n in ("vornix.sys", "vornix.user")}
    folder = tmp_path / "log"
    folder.mkdir()
    for i in range(30):
        for name in ("vornix_%02d.log" % i, "py_error_%02d.mat" % i, "other_%02d.txt" % i):
            (folder / name).write_text("x")
            os.utime(folder / name, (1000 + i, 1000 + i))
    monkeypatch.setenv("VX_LOG_KEEP", "5")
    monkeypatch.setenv("VX_LOG_LEVEL", "warning")
    LoggerManager._handler = None
    LoggerManager._file_name = "vornix_now.log"
    try:
        LoggerManager.init(str(folder))
        write_syslog("an info line")
        write_syslog("a warning line", logging.WARNING)
        LoggerManager.remove_log_handler()
        left = sorted(os.listdir(folder))
        assert [n for n in left if n.startswith("vornix_")] == [
            "vornix_26.log", "vornix_27.log", "vornix_28.log", "vornix_29.log", "vornix_now.log"]
        assert [n for n in left if n.startswith("py_error_")] == [
            "py_error_%02d.mat" % i for i in range(25, 30)]
        assert len([n for n in left if n.startswith("other_")]) == 30
        text = (folder / "vornix_now.log").read_text()
        assert "a warning line" in text and "an info line" not in text
        monkeypatch.setenv("VX_LOG_LEVEL", "loud")
        with pytest.raises(ValueError, match="VX_LOG_LEVEL='LOUD': the levels are DEBUG, INFO"):
            LoggerManager.init(str(folder))
    finally:
        LoggerManager.remove_log_handler()
        for name, level in levels.items():
            logging.getLogger(name).setLevel(level)
