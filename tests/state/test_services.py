"""The framework service layers: settings, dates, MAT files, the matrix cache,
argument checks and the record containers."""

import datetime as dt
import json
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from vornix.setting import get_setting
from vornix.tframe import ufuncs
from vornix.tframe.sysdefine import GlobalDefine as gv
from vornix.tframe.uclass import (
    InstrumentTimeSeriesData,
    KDataContainer,
    KDataItem,
    MainContractTimeSeriesData,
    RegKDataContainer,
    RegKDataItem,
    StrategyItem,
    SystemModeMgr,
)
from vornix.tframe.utils import datetimefunc as dtf
from vornix.tframe.utils.argchecker import ArgumentChecker
from vornix.tframe.utils.utilfunc import append_or_assign_2d_array_axis0, load_mat, save_mat


def test_setting_precedence(monkeypatch, tmp_path):
    config = tmp_path / "config.json"
    monkeypatch.setenv("VX_CONFIG_FILE", str(config))
    monkeypatch.delenv("VX_TEST_KEY", raising=False)
    assert get_setting("VX_TEST_KEY", 300) == 300
    config.write_text(json.dumps({"VX_TEST_KEY": 12}))
    assert get_setting("VX_TEST_KEY", 300) == 12
    monkeypatch.setenv("VX_TEST_KEY", "7")
    assert get_setting("VX_TEST_KEY", 300) == 7
    monkeypatch.setenv("VX_TEST_KEY", "off")
    assert get_setting("VX_TEST_KEY", True) is False
    monkeypatch.setenv("VX_TEST_KEY", "soon")
    with pytest.raises(ValueError, match="VX_TEST_KEY='soon'"):
        get_setting("VX_TEST_KEY", 300)
    config.write_text("{not json")
    monkeypatch.delenv("VX_TEST_KEY")
    with pytest.raises(ValueError, match="config.json"):
        get_setting("VX_TEST_KEY", 300)


# --- dates ------------------------------------------------------------------------------------------


@given(st.datetimes(min_value=dt.datetime(1990, 1, 1), max_value=dt.datetime(2100, 12, 31)))
def test_datenum_round_trip(when):
    when = when.replace(microsecond=0)
    value = dtf.datetime_to_datenum(when)
    assert dtf.datenum_to_datetime(value) == when
    int_date = when.year * 10000 + when.month * 100 + when.day
    assert dtf.int_date_to_ordinal(int_date) == np.floor(value)
    assert dtf.mft_to_int_format(value) == int_date
    assert dtf.int_date_to_datenum_array([int_date])[0] == np.floor(value)
    assert dtf.datenum_array_to_int_date([value])[0] == int_date


def test_datenum_scale_and_errors():
    assert dtf.int_date_to_ordinal(20000101) == 730486  # the datenum of 2000-01-01
    assert dtf.mft_to_int_format(730486.5, fmt="%H%M") == 1200
    for bad in (20230231, 20231301, 2023010.5):
        with pytest.raises(ValueError):
            dtf.int_date_to_ordinal(bad)
    with pytest.raises(ValueError):
        dtf.int_date_to_datenum_array([20230230])
    with pytest.raises(ValueError):
        dtf.mft_to_int_format(float("nan"))


# --- arrays and MAT files ------------------------------------------------------------------------------


def test_append_or_assign_rows():
    rows = np.ones((2, 3))
    assert append_or_assign_2d_array_axis0(np.array([]), rows) is rows
    assert append_or_assign_2d_array_axis0(np.array([]), rows, copy_=True) is not rows
    base = np.zeros((2, 3))
    out = append_or_assign_2d_array_axis0(base, rows, pos=999999999, copy_=False)
    assert out.shape == (4, 3) and not base.any() and out[2:].all()
    out = append_or_assign_2d_array_axis0(base, 2 * rows, pos=1)
    assert out.shape == (3, 3) and out[0].sum() == 0 and (out[1:] == 2).all()
    with pytest.raises(ValueError):
        append_or_assign_2d_array_axis0(base, np.ones((1, 4)))
    with pytest.raises(ValueError):
        append_or_assign_2d_array_axis0(base, rows, pos=-1)


def test_save_and_load_mat(tmp_path):
    path = str(tmp_path / "snap.mat")
    data = {
        "matrix": np.arange(6.0).reshape(2, 3),
        "ragged": [np.arange(2), np.arange(5)],
        "nested": {"SHSE.600000": {"Type": 1}},
        "nothing": None,
        "func": lambda: None,
        "nan": float("nan"),
    }
    assert save_mat(path, data) == path
    back = load_mat(path, "raise", True)
    np.testing.assert_array_equal(back["matrix"], data["matrix"])
    assert [a.ravel().tolist() for a in back["ragged"].ravel()] == [[0, 1], [0, 1, 2, 3, 4]]
    assert "func" not in back and np.isnan(back["nan"]).all()
    assert back["nested"]["SHSE_600000"][0, 0]["Type"][0, 0].item() == 1
    with pytest.raises(TypeError):
        save_mat(path, {"func": print}, error="raise")
    assert load_mat(str(tmp_path / "snap"))["matrix"].shape == (2, 3)  # extension appended
    assert sorted(os.listdir(tmp_path)) == ["snap.mat"]  # no temporary file left behind


def test_load_mat_errors(tmp_path):
    bad = tmp_path / "bad.mat"
    bad.write_bytes(b"this is not a MAT file" * 10)
    with pytest.raises(ValueError, match="bad.mat"):
        load_mat(str(bad), "raise", True)
    assert load_mat(str(bad), "ignore") == {}
    with pytest.raises(FileNotFoundError):
        load_mat(str(tmp_path / "missing.mat"), "raise", True)


# --- target codes and the matrix cache ------------------------------------------------------------------


def test_todotmc():
    assert ufuncs.todotmc({"Market": "shse", "Code": "600000"}) == "SHSE.600000"
    assert ufuncs.todotmc(["szse.000001", {"Market": "CFFEX", "Code": "if"}]) == ["SZSE.000001", "CFFEX.IF"]
    for bad in ("600000", "a.b.c", {"Code": "1"}):
        with pytest.raises(ValueError):
            ufuncs.todotmc(bad)
    with pytest.raises(TypeError):
        ufuncs.todotmc(600000)


def test_cache_keys_and_rule(monkeypatch):
    items = [{"TargetList": "['A.1']"}, {"TargetFre": 25}]
    key = ufuncs.calc_hash_value(items, suffix="_flag1")
    assert key == ufuncs.calc_hash_value([dict(d) for d in items], suffix="_flag1")
    assert key.endswith("_flag1") and key != ufuncs.calc_hash_value(items, suffix="_flag2")
    assert key != ufuncs.calc_hash_value([{"TargetList": "['A.2']"}, {"TargetFre": 25}], suffix="_flag1")
    monkeypatch.setattr(ufuncs, "_data_stamp", lambda: "generation-2")
    assert key != ufuncs.calc_hash_value(items, suffix="_flag1")
    with pytest.raises(ValueError):
        ufuncs.calc_hash_value(items, suffix="/../x")
    assert ufuncs.can_cache(20200101) is True
    assert ufuncs.can_cache(dtf.today_int()) is False
    assert ufuncs.can_cache("soon") is False
    monkeypatch.setenv("VX_MAT_CACHE", "0")
    assert ufuncs.can_cache(20200101) is False


def test_matrix_cache_round_trip(tmp_path, caplog):
    folder = str(tmp_path / "mat")
    key = ufuncs.calc_hash_value([{"a": 1}], suffix="_flag1")
    assert ufuncs.load_mat_cache(folder, key) is None
    value = {"Matrix": np.arange(12.0).reshape(3, 4), "bP": np.array([0, 2]),
             "UnfilledIdx": [np.array([0, 1]), np.array([3])], "LastSynBaseTimeLinePos": 7}
    ufuncs.save_mat_cache(folder, key, value)
    back = ufuncs.load_mat_cache(folder, key)
    np.testing.assert_array_equal(back["Matrix"], value["Matrix"])
    assert back["bP"].ravel().tolist() == [0, 2] and back["LastSynBaseTimeLinePos"].item() == 7
    assert back["UnfilledIdx"].dtype == object and "vxCacheKey" not in back
    # a damaged entry, or one stored under another key, counts as absent, is
    # reported and removed
    path = os.path.join(folder, key + ".mat")
    with open(path, "wb") as fh:
        fh.write(b"\x00" * 100)
    assert ufuncs.load_mat_cache(folder, key) is None
    assert "unreadable" in caplog.text and not os.path.exists(path)
    other = ufuncs.calc_hash_value([{"a": 2}], suffix="_flag1")
    ufuncs.save_mat_cache(folder, other, value)
    os.replace(os.path.join(folder, other + ".mat"), path)
    assert ufuncs.load_mat_cache(folder, key) is None and not os.path.exists(path)
    with pytest.raises(ValueError):
        ufuncs.load_mat_cache(folder, "../escape")


# --- argument checks ------------------------------------------------------------------------------------------


def test_check_ndarray_idx():
    check = ArgumentChecker.check_ndarray_idx
    assert check("f", "i", (np.array([0, 2]), 0, 3)).tolist() == [0, 2]
    with pytest.raises(IndexError, match=r"f: i=\[3\] out of range"):
        check("f", "i", (np.array([3]), 0, 3))
    with pytest.raises(ValueError):
        check("f", "i", (np.array([np.nan]), 0, 3))
    assert check("f", "i", (np.array([np.nan, 1.0]), 0, 3), allow_nan=True).size == 2
    with pytest.raises(ValueError):
        check("f", "i", (np.array([1.5]), 0, 3))
    with pytest.raises(TypeError):
        check("f", "i", (np.array(["a"]), 0, 3))


def _two(context, order, *args, **kwargs):
    pass


@pytest.mark.parametrize("func, ok", [
    (lambda context: None, True),
    (lambda ctx: None, True),  # names are free
    (lambda context, extra=1: None, True),
    (lambda: None, False),
    (lambda a, b: None, False),
    (lambda *args: None, True),
    (lambda context, *, key: None, False),
    (5, False),
    (None, False),
])
def test_check_callable_one_argument(func, ok):
    verdict, reason = ArgumentChecker.check_callable(
        func, func_name="init", arg_count=1, param_names=("context",), raise_error=False,
        except_sig="def init(context): pass")
    assert verdict is ok and (reason == "") is ok


@pytest.mark.parametrize("func, ok", [
    (_two, True),
    (lambda context, order: None, False),
    (lambda context, order, *args: None, False),
    (lambda *args, **kwargs: None, True),
])
def test_check_callable_variadic(func, ok):
    names = ("context", "order", "*args", "**kwargs")
    assert ArgumentChecker.check_callable(func, func_name="on_order_status", arg_count=4,
                                          param_names=names)[0] is ok
    if not ok:
        with pytest.raises(TypeError, match="expect signature`sig`"):
            ArgumentChecker.check_callable(func, func_name="x", arg_count=4, param_names=names,
                                           raise_error=True, except_sig="sig")


# --- records and containers -----------------------------------------------------------------------------------


def test_containers_find_by_frequency_and_count():
    c = KDataContainer()
    c.append(KDataItem(KFrequency="day", KFreqNum=1))
    c.append(KDataItem(KFrequency="min", KFreqNum=5))
    c.append(KDataItem(KFrequency="min", KFreqNum=5))
    assert c.find_pos(gv.KFreq_Day, 1) == 0 and c.find_pos(gv.KFreq_Min, 5) == 1
    assert c.find_pos(gv.KFreq_Min, 1) == -1 and c.get_item(gv.KFreq_Week, 1) is None
    assert c.get_item(float(gv.KFreq_Min), 5.0) is c[1] and len(c) == 3 and c[-1] is c[2]
    with pytest.raises(TypeError):
        c.append(RegKDataItem(KFrequency="day"))
    with pytest.raises(TypeError, match="KFreNum"):
        KDataItem(KFreNum=1)
    r = RegKDataContainer()
    r.append(RegKDataItem(KFrequency="week", KFreNum=2, KMatrixPos=3))
    assert r[0].RowBegin == -1 and r.find_pos(gv.KFreq_Week, 2) == 0
    assert c.snap()[1]["KFreqNum"] == 5


def test_strategy_item():
    s = StrategyItem(KFrequencyI=gv.KFreq_Min, KFreNum=5, on_data_func=print)
    assert s.same_freq(gv.KFreq_Min, 5) and not s.same_freq(gv.KFreq_Min, 1)
    assert s.snap()["on_data_func"] is None and s.snap()["KFreNum"] == 5
    assert StrategyItem().TargetList is not StrategyItem().TargetList


def test_mode_manager_phases():
    smm = SystemModeMgr()
    seen = []
    inner = smm.enter_phase(gv.RUMMODE_PHASE_USERINDI)(lambda x: seen.append(smm.phase) or x * 2)
    outer = smm.force_phase(gv.RUMMODE_PHASE_ONDATA)(lambda: (seen.append(smm.phase), inner(4))[1])
    assert outer() == 8
    assert seen == [gv.RUMMODE_PHASE_ONDATA, gv.RUMMODE_PHASE_USERINDI]
    assert smm.phase == gv.RUMMODE_PHASE_NONE


def test_instrument_and_main_contract_series():
    inst = InstrumentTimeSeriesData()
    inst.set("A.1", 20240103, {"Multiple": 1})
    inst.set("A.1", 20240102, {"Multiple": 2})
    out = inst.get_by_offset(["A.1", "B.2"], 20240105, past_len=3, reference=True, fill=True)
    assert list(out) == ["A.1", "B.2"]
    assert [r["Multiple"] for r in out["A.1"]] == [2, 2, 1] and out["B.2"] == [None] * 3
    assert inst.get_by_offset("A.1", 20240102, fill=False)["A.1"] == [{"Multiple": 2}]
    copied = inst.get_by_offset(["A.1"], 20240105, reference=False)["A.1"][0]
    copied["Multiple"] = 99
    assert inst.get_by_offset(["A.1"], 20240105)["A.1"][0]["Multiple"] == 1
    mc = MainContractTimeSeriesData()
    mc.set("CFFEX.IF", [20240103, 20240102], ["IF2402", "IF2401"])
    assert mc.get("CFFEX.IF", 20240102) == "IF2401" and mc.get("CFFEX.IF", 20240110) == "IF2402"
    assert mc.get("CFFEX.IF", 20240101) is None and mc.get("X.1", 20240102) is None


@pytest.mark.parametrize("key, fields", [
    ("ERROR_KDATA_MULTI", ("TARGETS", "FREQUENCY", "FREQNUM", "BEGINDATE", "ENDDATE", "FILLEDUP", "FQTYPE")),
    ("WARN_USER_INDICES_RESULT_FORMAT", ("TARGETLEN", "COLUMNLEN")),
    ("ERROR_NOTSUPPORT_VXVERSION", ("VORNIXVERSION", "SUPPORTVXVERSION", "VXNAME", "VXVERSION", "VXSUPPORTVERSION")),
    ("ERROR_FREQ_NEED_GT_DAY", ()),
    ("ERROR_FREQ_TOO_HIGH", ()),
    ("ERROR_NOTSUPPORT_TICK_MULTI_FREQNUM", ()),
    ("ERROR_INPUT_FREQUENCY", ()),
    ("ERROR_EMPTY_TIMELINE", ()),
    ("ERROR_KDATA_MISS", ()),
    ("ERROR_WRONG_FACTOR_SIZE", ()),
])
def test_message_texts_take_exactly_their_placeholders(key, fields):
    import string

    from vornix.tframe.language import text
    message = getattr(text, key)
    used = {name for _, name, _, _ in string.Formatter().parse(message) if name}
    assert used == set(fields)
    formatted = message.format(**{f: "<%s>" % f for f in fields})
    assert all("<%s>" % f in formatted for f in fields)


def test_the_cache_functions_import_no_service():
    """ufuncs sits below the services: importing it loads none of them, and the
    history service names its store to it when the service is imported."""
    code = (
        "import sys\n"
        "from vornix.tframe import ufuncs\n"
        "assert not [m for m in sys.modules if m.startswith('vornix.api')]\n"
        "assert ufuncs._stamp_source is None\n"
        "from vornix.api.history import _history\n"
        "assert ufuncs._stamp_source is _history.store_stamp\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)
