"""The strategy API in one process: settings, loading, the context, the recorder,
the windows a handle returns and the results folder."""

import datetime
import json
import os
import re
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from vornix.runner import run
from vornix.runner._context import Recorder, datenum_to_datetime64
from vornix.runner._strategy import (
    load_strategy,
    parse_param,
    resolve_settings,
    strategy_traceback,
)
from vornix.tframe.utils.datetimefunc import datenum_to_datetime, datetime_to_datenum
from vornix.tframe.utils.exceptions import RunStateError, StrategyError

CODES = ["SH.600000", "SZ.000011", "SH.600020"]


def _strategy(**scope):
    scope.setdefault("init", lambda context: None)
    scope.setdefault("on_data", lambda context: None)
    return types.SimpleNamespace(**scope)


# --------------------------------------------------------------------- settings


def test_flags_override_run_and_dates_take_every_usual_form():
    s = load_strategy(_strategy(RUN={"targets": ["SH.600000"], "frequency": "min",
                                     "begin": "2023-01-03", "end": 20230131, "adjust": "none"},
                                PARAMS={"n": 3}))
    got = resolve_settings(s, {"targets": "SH.600000, SZ.000011", "count": "5",
                               "begin": datetime.date(2023, 1, 4), "end": None,
                               "adjust": "Forward", "params": {"n": 4}})
    assert got.targets == ["SH.600000", "SZ.000011"]
    assert (got.frequency, got.count, got.begin, got.end) == ("min", 5, 20230104, 20230131)
    # forward windows are fetched backward-adjusted and scaled at each step
    assert (got.adjust, got.fq_type, got.params) == ("forward", 2, {"n": 4})
    assert got.lookback == "30d"  # the default; given forms are kept as their text
    assert resolve_settings(s, {"lookback": {"day": 20, "min": "240"}}).lookback == \
        "day=20,min=240"


@pytest.mark.parametrize("run_dict, overrides, error, words", [
    ({}, {}, ValueError, "needs targets, frequency, begin, end"),
    ({"targets": ["A.B"], "frequency": "day", "begin": 20230105}, {"end": "20230104"},
     ValueError, "after the end date"),
    ({"targets": ["A.B"], "frequency": "day", "begin": 20230105, "end": "2023-02-30"}, {},
     ValueError, "'2023-02-30' is not a date"),
    ({"targets": ["A.B"], "frequency": "day", "begin": 20230105, "end": 20230106},
     {"count": 0}, ValueError, "count must be a positive whole number, got 0"),
    ({"targets": ["A.B"], "frequency": "day", "begin": 20230105, "end": 20230106},
     {"count": 2.5}, ValueError, "got 2.5"),
    ({"targets": ["A.B"], "frequency": "day", "begin": 20230105, "end": 20230106},
     {"adjust": "both"}, ValueError, "none, forward or backward, got 'both'"),
    ({"targets": [], "frequency": "day", "begin": 20230105, "end": 20230106}, {},
     ValueError, "needs targets"),
    ({"targets": ["A.B"], "frequency": 5, "begin": 20230105, "end": 20230106}, {},
     TypeError, "frequency must be a name"),
    ({"targets": ["A.B"], "frequency": "day", "begin": 20230105, "end": 20230106,
      "lookback": "60m"}, {}, ValueError, "such as 60d (trading days), 12w, 3M or 1y"),
    ({"targets": ["A.B"], "frequency": "day", "begin": 20230105, "end": 20230106},
     {"lookback": "hour=3"}, ValueError, "'hour' is not a frequency"),
    ({"targets": ["A.B"], "frequency": "day", "begin": 20230105, "end": 20230106},
     {"lookback": {"day": -2}}, ValueError, "lookback day must not be negative, got -2"),
    ({"targets": ["A.B"], "frequency": "day", "begin": 20230105, "end": 20230106},
     {"memory": "lots"}, ValueError, "such as 1GB, 500MB or a number of bytes (0: no limit), "
                                     "got 'lots'"),
    ({"targets": ["A.B"], "frequency": "day", "begin": 20230105, "end": 20230106,
      "chunk": "2h"}, {}, ValueError, "20d (trading days), 2w, 1M or 1y, or 0 for one piece; "
                                      "got '2h'"),
])
def test_bad_settings_are_refused_with_the_value(run_dict, overrides, error, words):
    with pytest.raises(error, match=None) as info:
        resolve_settings(load_strategy(_strategy(RUN=run_dict)), overrides)
    assert words in str(info.value)


def test_parameters_take_the_type_of_their_default():
    defaults = {"n": 3, "w": 0.5, "on": False, "name": "x"}
    assert parse_param("n=7", defaults) == ("n", 7)
    assert parse_param("w=2", defaults) == ("w", 2.0) and isinstance(parse_param("w=2", defaults)[1], float)
    assert parse_param("on=yes", defaults) == ("on", True)
    assert parse_param("name=12", defaults) == ("name", "12")
    assert parse_param("other=[1, 2]", {}) == ("other", [1, 2])
    assert parse_param("other=abc", {}) == ("other", "abc")
    for bad in ("n=seven", "n=3.5", "n=True", "w=True", "on=maybe", "novalue", "=3", "w=1e309",
                "other=1e309", "w=float('nan')"):
        with pytest.raises(ValueError):
            parse_param(bad, defaults)
    s = load_strategy(_strategy(RUN={"targets": ["A.B"], "frequency": "day", "begin": 20230105,
                                     "end": 20230106}, PARAMS={"n": 1}))
    with pytest.raises(ValueError, match="unknown parameter m; the strategy's PARAMS has n"):
        resolve_settings(s, {"params": {"m": 2}})
    with pytest.raises(ValueError, match="parameter n=inf: a parameter is a finite number"):
        resolve_settings(s, {"params": {"n": float("inf")}})


# ---------------------------------------------------------------------- loading


def test_strategy_files_load_or_fail_with_one_message(tmp_path):
    good = tmp_path / "good.py"
    good.write_text("import helper_mod\nRUN = {'frequency': 'day'}\n"
                    "def init(context): pass\ndef on_data(context): pass\n")
    (tmp_path / "helper_mod.py").write_text("X = 1\n")
    s = load_strategy(str(good))
    assert (s.name, s.run, s.params) == ("good", {"frequency": "day"}, {})
    cases = {
        "syntax.py": ("def init(context)\n    pass\n", "syntax.py, line 1 cannot be compiled"),
        "noinit.py": ("def on_data(context): pass\n", "has no init(context) function"),
        "nodata.py": ("def init(context): pass\n", "has no on_data(context) function"),
        "raises.py": ("def init(c): pass\ndef on_data(c): pass\n1 / 0\n", "ZeroDivisionError"),
        "runkey.py": ("RUN = {'target': 1}\ndef init(c): pass\ndef on_data(c): pass\n",
                      "unknown keys 'target'"),
        "params.py": ("PARAMS = [1]\ndef init(c): pass\ndef on_data(c): pass\n",
                      "PARAMS of the strategy"),
        "onroll.py": ("def init(c): pass\ndef on_data(c): pass\ndef on_roll(c, target): pass\n",
                      "on_roll of the strategy"),
    }
    for name, (text, words) in cases.items():
        (tmp_path / name).write_text(text)
        with pytest.raises(StrategyError) as info:
            load_strategy(str(tmp_path / name))
        assert words in str(info.value), name
    with pytest.raises(StrategyError, match="does not exist"):
        load_strategy(str(tmp_path / "missing.py"))
    with pytest.raises(StrategyError, match="is a folder; give the strategy's .py file"):
        load_strategy(str(tmp_path))


def test_tracebacks_show_the_strategy_and_not_the_framework(tmp_path):
    from vornix.tframe.uclass import SystemModeMgr

    path = tmp_path / "strat.py"
    path.write_text("def inner():\n    raise KeyError('gone')\n\ndef outer():\n    inner()\n")
    ns = {}
    exec(compile(path.read_text(), str(path), "exec"), ns)
    try:
        # the phase wrapper of the framework sits between the test and the strategy
        SystemModeMgr().force_phase(1)(ns["outer"])()
    except KeyError as exc:
        text = strategy_traceback(exc)
    assert 'strat.py", line 5, in outer' in text and 'line 2, in inner' in text
    assert "test_strategy_api.py" in text and "uclass.py" not in text
    assert text.endswith("KeyError: 'gone'")


# --------------------------------------------------------------------- recorder


def test_recorder_keeps_numbers_per_step_and_target():
    r = Recorder(4, CODES)
    r.record(0, "pnl", 1.5)
    r.record(2, "pnl", np.float32(2))
    r.record(3, "pnl", None)
    r.record(1, "flag", True)
    r.record(0, "close", np.array([1.0, 2.0, 3.0]))
    r.record(1, "close", [4, 5, 6])
    r.record(2, "close", {"SZ.000011": 7})
    r.record(2, "close", {"600020.SH": 8})  # the same step again: both kept (any code form)
    r.record(0, "only", {"SH.600020": 1})
    cols = r.columns
    assert list(cols) == ["pnl", "flag", "close:SH.600000", "close:SZ.000011",
                          "close:SH.600020", "only:SH.600020"]
    np.testing.assert_array_equal(cols["pnl"], [1.5, np.nan, 2.0, np.nan])
    np.testing.assert_array_equal(cols["flag"], [np.nan, 1.0, np.nan, np.nan])
    np.testing.assert_array_equal(cols["close:SZ.000011"], [2, 5, 7, np.nan])
    np.testing.assert_array_equal(cols["close:SH.600020"], [3, 6, 8, np.nan])


@pytest.mark.parametrize("name, value, error, words", [
    ("", 1.0, ValueError, "non-empty text"),
    ("a:b", 1.0, ValueError, "without ':'"),
    (3, 1.0, ValueError, "got 3"),
    ("x", "1.0", TypeError, "got '1.0'"),
    ("x", {"SH.600000": "a"}, TypeError, "got 'a'"),
    ("x", {"SH.999999": 1.0}, ValueError, "'SH.999999' is not a target"),
    ("x", [1.0, 2.0], ValueError, "2 values given for 3 targets"),
    ("x", np.ones((3, 1)), ValueError, "3x1 values given"),
    ("x", np.array(["a", "b", "c"]), TypeError, "a recorded value is a number"),
    ("x", object(), TypeError, "a recorded value is a number"),
    ("kind", [1.0, 2.0, 3.0], ValueError, "recorded as one number before"),
])
def test_recorder_refuses_what_it_cannot_keep(name, value, error, words):
    r = Recorder(2, CODES)
    r.record(0, "kind", 1.0)
    with pytest.raises(error) as info:
        r.record(1, name, value)
    assert words in str(info.value)


@given(st.lists(st.one_of(st.floats(700000, 800000, allow_nan=False), st.just(float("nan"))),
                max_size=20))
def test_datetime64_conversion_agrees_with_the_scalar_one(values):
    got = datenum_to_datetime64(values)
    for v, g in zip(values, got):
        if np.isnan(v):
            assert np.isnat(g)
        else:
            assert g == np.datetime64(datenum_to_datetime(v), "ns")


# ----------------------------------------------------------------- in-process runs


def _run(tmp_path, strategy, **settings):
    settings.setdefault("targets", CODES)
    settings.setdefault("frequency", "day")
    settings.setdefault("begin", 20230103)
    settings.setdefault("end", 20230131)
    return run(strategy, quiet=True, out=settings.pop("out", False), **settings)


def test_handles_windows_frames_and_the_step_clock(run_state, tmp_path, caplog):
    seen = []

    def init(context):
        context.week = context.reg_bars("week")
        context.day = context.reg_bars("day")  # the main series again
        assert (context.step, context.now) == (None, None)
        with pytest.raises(RunStateError, match="no current step"):
            context.week.values(1)
        with pytest.raises(RunStateError, match="in on_data"):
            context.record("x", 1)
        with pytest.raises(ValueError, match=r"reg_bars\('day', count=0\): count must be a pos"):
            context.reg_bars("day", count=0)

    def on_data(context):
        v = context.week.values(3)
        f = context.week.frame(3)
        # the named fields: (targets, length) blocks of the same window
        names = ("time", "open", "high", "low", "close", "volume", "turnover", "open_interest")
        for col, name in enumerate(names, 1):
            np.testing.assert_array_equal(getattr(context.week, name)(3), v[:, col].reshape(3, 3))
        for fields in (("close", "volume"), ("open", "close", "turnover"), ("low", "time")):
            got = context.week.values(3, fields=fields)
            np.testing.assert_array_equal(
                got, [v[:, names.index(f) + 1].reshape(3, 3) for f in fields])
        np.testing.assert_array_equal(context.week.values(3, fields="high"), v[:, 3].reshape(3, 3))
        np.testing.assert_array_equal(context.day.close(2, fill_up=False),
                                      context.day.values(2, fill_up=False)[:, 5].reshape(3, 2))
        with pytest.raises(ValueError, match="the fields are time, open"):
            context.week.values(3, fields=("close", "vol"))
        with pytest.raises(TypeError, match="fill_up is True or False, got 'yes'"):
            context.week.close(3, fill_up="yes")
        # a window longer than the series: said once per registration
        assert np.isnan(context.day.close(99, fill_up=np.bool_(True))[:, :50]).all()
        seen.append((context.step, context.now, v, f))
        # the environment's bar lookups answer for the same step
        np.testing.assert_array_equal(context.env.get_bar(np.arange(3))["close"],
                                      context.day.values(1)[:, 5])
        context.record("close", v.reshape(3, 3, -1)[:, -1, 5])
        if context.step == 2:
            with pytest.raises(RunStateError, match="registrations are made in init"):
                context.reg_bars("day")

    with caplog.at_level("WARNING", logger="vornix.user"):
        result = _run(tmp_path, _strategy(init=init, on_data=on_data))
    line = run_state.env.fresh_bar_timeline
    assert result.steps == len(seen) == line.size
    longer = [r.getMessage() for r in caplog.records if "reaches before the first bar" in
              r.getMessage()]
    said = [m.split(":", 1)[0] for m in longer]
    assert "bars day x1" in said and len(said) == len(set(said))  # once per registration
    for step, (s, now, v, f) in enumerate(seen):
        assert s == step and now == datenum_to_datetime(line[step])
        assert list(f.columns) == ["code", "time", "open", "high", "low", "close", "volume",
                                   "turnover", "open_interest"]
        assert list(f["code"]) == [c for c in CODES for _ in range(3)]
        assert f["time"].dtype == "datetime64[ns]"
        np.testing.assert_array_equal(f.iloc[:, 2:].to_numpy(), v[:, 2:])
        times = [datetime_to_datenum(t.to_pydatetime()) if not pd.isna(t) else np.nan
                 for t in f["time"]]
        np.testing.assert_allclose(times, v[:, 1], rtol=0, atol=1e-8)
        # the bar in progress is last and carries the time of the step
        assert all(v[3 * i + 2, 1] == line[step] for i in range(3) if not np.isnan(v[3 * i + 2, 1]))
    rec = result.records
    assert list(rec["time"]) == [pd.Timestamp(datenum_to_datetime(t)) for t in line]
    np.testing.assert_array_equal(rec["close:SZ.000011"], [x[2][5, 5] for x in seen])
    assert [r.frequency for r in result.registrations] == ["day", "week"]
    assert result.registrations[0].main and result.out_dir is None


def test_runs_follow_each_other_in_one_process_without_a_main_guard(
        run_state, tmp_path, monkeypatch):
    import subprocess
    import sys

    # a plain script (no main guard) that runs three strategies, one given as an object
    script = tmp_path / "three.py"
    script.write_text(
        "import sys, types\n"
        "from vornix.runner import run\n"
        "def init(context):\n    context.w = context.reg_bars('week')\n"
        "def on_data(context):\n    context.record('c', context.w.close(1)[:, -1])\n"
        "me = types.SimpleNamespace(init=init, on_data=on_data)\n"
        "settings = dict(targets=%r, frequency='day', quiet=True, out=False)\n"
        "a = run(me, begin=20230103, end=20230131, **settings)\n"
        "b = run(me, begin=20230201, end=20230217, **settings)\n"
        "c = run(me, begin=20230103, end=20230131, **settings)\n"
        "assert a.records.equals(c.records) and not a.records.equals(b.records)\n"
        "print(a.steps, b.steps, c.steps, len(a.records.columns))\n" % (CODES,))
    monkeypatch.setenv("VX_CORE_CACHE_DIR", str(tmp_path / "child-cache"))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, str(script)], env=env, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    days = run_state.market.days
    jan, feb = sum(20230103 <= d <= 20230131 for d in days), sum(20230201 <= d <= 20230217 for d in days)
    assert proc.stdout.split() == [str(jan), str(feb), str(jan), "4"]
    # in this process too: the first run's handles stay with it, the second starts clean
    first = _run(tmp_path, _strategy())
    path = tmp_path / "again.py"
    path.write_text("def init(context):\n    context.w = context.reg_bars('week')\n"
                    "def on_data(context):\n    context.record('c', context.w.values(1)[:, 5])\n")
    second = _run(tmp_path, str(path), out=str(tmp_path / "res"))
    assert first.steps == second.steps == run_state.env.fresh_bar_timeline.size
    assert [r.frequency for r in second.registrations] == ["day", "week"]
    assert sorted(os.listdir(tmp_path / "res")) == [".vornix-results", "chart.png", "results.csv",
                                                    "results.parquet", "summary.json"]
    back = pd.read_parquet(tmp_path / "res" / "results.parquet")
    pd.testing.assert_frame_equal(back, second.records, check_dtype=False)


def test_unknown_settings_and_strategy_errors(run_state, tmp_path):
    with pytest.raises(TypeError, match="unknown settings frequncy"):
        run(_strategy(), frequncy="day")

    def on_data(context):
        if context.step == 3:
            raise ArithmeticError("bad step")

    with pytest.raises(StrategyError) as info:
        _run(tmp_path, _strategy(on_data=on_data))
    err = info.value
    assert err.step == 3 and "at step 3" in str(err) and "ArithmeticError: bad step" in str(err)
    assert err.snapshot and os.path.exists(err.snapshot)
    assert "error snapshot: " + err.snapshot in str(err)


def test_results_folder_replaces_an_old_chart_when_nothing_is_recorded(run_state, tmp_path):
    out = tmp_path / "res"
    out.mkdir()
    (out / "chart.png").write_bytes(b"old")
    (out / "trades.csv").write_text("old")  # an earlier run's files go with its folder
    result = _run(tmp_path, _strategy(), out=str(out))
    assert sorted(os.listdir(out)) == [".vornix-results", "results.csv", "results.parquet", "summary.json"]
    assert json.loads((out / "summary.json").read_text()) == {"status": "ok"}
    assert list(result.records.columns) == ["time"] and len(result.records) == result.steps
    assert "recorded: nothing" in result.summary()


def test_factors_user_data_and_indicators_through_the_context(run_state, tmp_path, caplog):
    from vornix.api.bpfactor._factors import get_factor_by_factor

    line = {}
    checked = []

    def init(context):
        context.week = context.reg_bars("week")
        context.day = context.reg_bars("min")
        tl = line["tl"] = context.env.fresh_bar_timeline.copy()
        context.pe = context.reg_factor("pe")
        # points stamped exactly at steps 3 and 7: visible from steps 4 and 8 (given out of
        # order: taken sorted, with a warning)
        context.mine = context.reg_user_data(tl[[7, 3]], np.array([[70.0, 7.0], [30.0, 3.0]]))
        assert re.search(r"time 1 \(.*\) is before time 0 .* taken sorted", caplog.text)
        for times, words in (([tl[1], np.nan], "time 1 of 2 is nan; times are finite"),
                             ([tl[2], tl[1], tl[2]], "times 0 and 2 are the same")):
            with pytest.raises(ValueError, match=words):
                context.reg_user_data(np.array(times), np.ones(len(times)))
        context.ind = context.reg_indicator(lambda c: c.week.values(1)[:, 5] + c.step)
        # the environment inside an indicator stands at the indicator's step
        context.px = context.reg_indicator(lambda c: [c.env.market_price(i, 0) for i in range(3)])
        assert context.step is None  # the evaluation leaves no step behind

    def on_data(context):
        s = context.step
        week_close = context.week.values(1)[:, 5]
        np.testing.assert_array_equal(context.ind.values(1)[1][:, -1], week_close + s)
        np.testing.assert_array_equal(context.px.values(1)[1][:, -1], context.day.close(1)[:, -1])
        if s == 0 or s == len(line["tl"]) - 1:  # no bar before the first step or after the last
            assert context.env.get_bar(np.arange(3), 1 if s else -1) is None
        times, mine = context.mine.values(2)
        want = [0.0, 0.0] if s <= 3 else [30.0, 3.0] if s <= 7 else [70.0, 7.0]
        np.testing.assert_array_equal(mine[:, -1], want)
        np.testing.assert_array_equal(times, line["tl"][max(s - 1, 0):s + 1])
        days, pe = context.pe.values(1)
        checked.append((s, days[-1], pe[:, -1]))

    with caplog.at_level("WARNING", logger="vornix.user"):
        _run(tmp_path, _strategy(init=init, on_data=on_data), frequency="min", end=20230105)
    fac = get_factor_by_factor("pe", CODES, 20230103, 20230105, 0)
    for s, day, pe in checked:
        # the factor day in force: the last one on or before the step's day
        k = np.searchsorted(fac["date"], np.floor(line["tl"][s]), side="right") - 1
        if k < 0:
            assert np.isnan(day) and np.isnan(pe).all()
        else:
            assert day == fac["date"][k]
            np.testing.assert_array_equal(pe, [fac[c][k] for c in CODES])
    assert len(checked) == line["tl"].size


@pytest.mark.parametrize("frequency, count, adjust",
                         [("day", 1, "none"), ("day", 3, "none"), ("min", 1, "backward")])
def test_lookback_windows_reach_before_begin_and_steps_start_there(
        run_state, tmp_path, monkeypatch, frequency, count, adjust):
    from vornix.api.bpfactor._factors import get_factor_by_factor
    from vornix.api.history import _history
    from vornix.tframe.utils import logger

    days = _history.get_trading_days(0, 99999999)
    begin, end = int(days[21]), int(days[29])
    warned = []
    monkeypatch.setattr(logger, "user_warning", warned.append)

    def run_with(lookback):
        seen = {}

        def init(context):
            context.d = context.reg_bars("day")
            context.pe = context.reg_factor("pe")

        def on_data(context):
            if context.step < 3:
                seen[context.step] = (context.d.values(20), context.d.values(40),
                                      context.pe.values(5))
            if context.step in (0, 40):
                context.order(context.targets[0], 100 if context.step == 0 else -100)
            context.record("c", context.d.values(1)[:, 5])

        run_state.vr.g_VornixUserContext = None  # two runs in this process
        result = _run(tmp_path, _strategy(init=init, on_data=on_data), frequency=frequency,
                      count=count, adjust=adjust, begin=begin, end=end, lookback=lookback)
        return result, seen

    full, seen = run_with("20d")
    # once per handle, though every step asks for 40 bars and 20 days are loaded
    assert len(warned) == 1 and "lookback=20d" in warned[0] and "40 bars" in warned[0]
    # steps, orders and records start at begin, as without a look-back (backward-adjusted
    # prices are at the level of the first day loaded, so only the raw ones are compared)
    bare, _ = run_with(0)
    raw = [c for c in full.records if adjust == "none" or not c.startswith("c:")]
    pd.testing.assert_frame_equal(full.records[raw], bare.records[raw])
    pd.testing.assert_frame_equal(full.trades, bare.trades)
    assert full.records["time"].iloc[0] >= pd.Timestamp(str(begin))
    fac = get_factor_by_factor("pe", CODES, int(days[0]), end, 0)
    for step, (window, wide, (pe_days, pe)) in seen.items():
        day = int(full.records["time"].iloc[step].strftime("%Y%m%d"))
        # the factor days up to the step's day, from before begin too
        k = np.searchsorted(fac["date"], np.floor(datetime_to_datenum(
            full.records["time"].iloc[step].to_pydatetime())), side="right")
        np.testing.assert_array_equal(pe_days, fac["date"][k - 5:k])
        np.testing.assert_array_equal(pe, np.array([fac[c][k - 5:k] for c in CODES]))
        # the store's day bars up to the step's day, read with no run at all
        got = _history.get_k_data_multi({
            "targets": CODES, "frequency": "day", "begin_date": int(days[0]), "end_date": day,
            "filled_up": True, "fq_type": 2 if adjust == "backward" else 0})
        stored = np.asarray(got["KArray"], dtype=np.float64)
        for t in range(len(CODES)):
            mine = window.reshape(len(CODES), 20, -1)[t]
            closes = stored[t * 7 + 3]  # open, high, low, close, volume, turnover, OI rows
            whole = 19 if frequency == "min" else 20  # the step's day bar is still forming
            if adjust == "none":
                np.testing.assert_array_equal(mine[:whole, 5], closes[-20:][:whole])
            else:  # backward-adjusted from the first day loaded: the same ratios
                np.testing.assert_allclose(mine[1:whole, 5] / mine[:whole - 1, 5],
                                           closes[-20:][1:whole] / closes[-20:][:whole - 1])
            # 20 days before begin loaded (21 under 3-day steps): NaN further back
            loaded = wide.reshape(len(CODES), 40, -1)[t]
            n = 21 + count // 3 * 3 + (step * count if frequency == "day" else 0)
            assert np.isnan(loaded[:40 - n, 5]).all() and np.isfinite(loaded[40 - n:, 1]).all()


@pytest.mark.parametrize("value, back", [
    ("5d", 5), ({"day": 5}, 5), ("min=480,day=1", 2), (0, 0), (3, 3), ("week=1", "week"),
    ("2w", "2w")])
def test_lookback_loads_whole_bars_before_the_first_day(use_sample, value, back):
    from vornix.api.history import _history
    from vornix.runner._lookback import data_begin

    days = [int(d) for d in _history.get_trading_days(0, 99999999)]
    begin = days[21]
    as_date = datetime.date(begin // 10000, begin // 100 % 100, begin % 100)
    if back == "week":  # the week before the first day's week, from its first trading day
        monday = as_date - datetime.timedelta(days=as_date.weekday() + 7)
        want = min(d for d in days if d >= int(monday.strftime("%Y%m%d")))
    elif back == "2w":  # two calendar weeks before
        want = min(d for d in days
                   if d >= int((as_date - datetime.timedelta(days=14)).strftime("%Y%m%d")))
    else:
        want = days[21 - back]
    assert data_begin(value, begin, CODES, "day", 1) == want


# a strategy that reads every kind of registration at every step and trades: the
# run in time chunks must give exactly what the run in one piece gives
CHUNKED = """
import numpy as np


def init(context):
    context.d = context.reg_bars("day", context.params["multi"])
    context.w = context.reg_bars("week")
    context.m = context.reg_bars(*(("min", 5) if context.params["multi"] == 1 else ("week", 2)),
                                 adjust=True)
    if context.params["stocks"]:
        context.f = context.reg_factor(["pe", "pb"])
    times = np.arange(np.datetime64("2023-01-02T10:00"), np.datetime64("2023-02-20T10:00"),
                      np.timedelta64(1, "D"))
    context.u = context.reg_user_data(times, np.c_[np.arange(times.size), -np.arange(times.size)])
    context.i = context.reg_indicator(lambda ctx: ctx.m.close(2)[:, -1] - ctx.d.close(2)[:, 0])


def on_data(context):
    context.record("d", np.nansum(context.d.values(4)[:, 1:7]))
    context.record("gaps", np.nansum(context.d.close(3, fill_up=False)))
    context.record("w", np.nansum(context.w.values(2)[:, 2:7]))
    context.record("m", np.nansum(context.m.values(12 - 5 * context.params["multi"])[:, 2:7]))
    if context.params["stocks"]:
        context.record("f", np.nansum(context.f.values(3)[1]))
    for name, h, n in (("u", context.u, 12), ("i", context.i, context.params["n"])):
        t, v = h.values(n)
        context.record(name, np.nansum(v) + np.nansum(t) + 1000 * v.shape[1])
    k = context.step % len(context.targets)
    if (context.step + 1) % (9 - 4 * context.params["multi"]) == 0:
        for j, code in enumerate(context.targets):
            if context.params["stocks"]:
                context.order_target_percent(code, 0.3 if j == k else 0.0)
            else:
                context.order_target_volume(code, 1 if j == k else -1)
"""


@pytest.mark.parametrize("targets, frequency, count, adjust, chunk", [
    (CODES + ["SH.600040", "SZ.000051"], "min", 1, "forward", {"chunk": "1w"}),
    (CODES, "day", 2, "backward", {"chunk": "3d"}),
    (["CFE.IF00", "SHF.RB00"], "min", 15, "none", {"memory": "2MB"}),
])
def test_runs_in_time_chunks_give_the_run_in_one_piece(
        run_state, tmp_path, targets, frequency, count, adjust, chunk):
    path = tmp_path / "chunked.py"
    path.write_text(CHUNKED + "PARAMS = {'stocks': %r, 'multi': %r, 'n': %d}\n" % (
        targets[0][:2] != "CF", 2 if frequency == "day" else 1, 300 // count))
    days = run_state.market.days
    runs = []
    for how in ({"chunk": "0"}, chunk):
        run_state.vr.g_VornixUserContext = None
        runs.append(_run(tmp_path, str(path), targets=targets, frequency=frequency,
                         count=count, adjust=adjust, begin=int(days[8]), end=int(days[-3]),
                         lookback="6d", **how))
    whole, parts = runs
    assert whole.chunks == 1 and parts.chunks >= 3
    pd.testing.assert_frame_equal(whole.records, parts.records, check_exact=True)
    pd.testing.assert_frame_equal(whole.orders, parts.orders, check_exact=True)
    pd.testing.assert_frame_equal(whole.trades, parts.trades, check_exact=True)
    assert len(whole.trades) > 5 and whole.records.notna().all().all()
    assert whole.stats["total_return"] == parts.stats["total_return"]


def test_a_window_longer_than_a_chunks_history_names_the_setting(run_state, tmp_path):
    def init(context):
        context.d = context.reg_bars("day")
        context.i = context.reg_indicator(lambda ctx: ctx.d.close(1)[:, -1])

    def read(n_days, n_steps):
        def on_data(context):
            context.d.values(n_days)
            context.i.values(n_steps)
        return on_data

    days = run_state.market.days
    ok = _run(tmp_path, _strategy(init=init, on_data=read(4, 4)), frequency="day",
              begin=int(days[8]), end=int(days[20]), lookback="3d", chunk="2d")
    assert ok.chunks == 7
    # 3 days of history and a bar forming; an indicator's steps from those days on
    for n_days, n_steps, step in ((5, 1, 2), (1, 5, 4)):
        run_state.vr.g_VornixUserContext = None
        with pytest.raises(StrategyError) as info:
            _run(tmp_path, _strategy(init=init, on_data=read(n_days, n_steps)),
                 frequency="day", begin=int(days[8]), end=int(days[20]), lookback="3d",
                 chunk="2d")
        assert "ChunkSeamError" in info.value.message
        assert "a window of 5 at step %d " % step in info.value.message
        # the setting named loads what the window needs: the run then goes through
        hint = re.search(r"\(lookback=(\S+) loads", info.value.message).group(1)
        run_state.vr.g_VornixUserContext = None
        assert _run(tmp_path, _strategy(init=init, on_data=read(n_days, n_steps)),
                    frequency="day", begin=int(days[8]), end=int(days[20]), lookback=hint,
                    chunk="2d").chunks == 7
        assert "Raise the lookback setting" in info.value.message
