"""The look-ahead audit: a clean strategy passes, and strategies that peek at the
future in the usual ways are caught at the step and read where they peek."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vornix.api.history._history import HistoryStore
from vornix.audit import audit
from vornix.audit._audit import _cut_steps

TARGETS = ["SH.600000", "SZ.000011"]
RUN = 'RUN = {"targets": %r, "frequency": "min", "begin": "2023-01-04", "end": "2023-01-06"}\n' % (
    TARGETS,)

PEEKS = {
    # a window whose end is given as -1: the last step of the run, not the current one
    "negative-end": ("""
        from vornix.api.subscribe import _windows

        def init(context):
            context.day = context.reg_bars("day")

        def on_data(context):
            last = _windows.get_reg_k_data_values(context.day.reg_idx, -1, 1, True)
            context.record("close", last[:, 5])
        """, "record", "'close'"),
    # the next bar's open, as an order fill would use it, read before ordering; on the
    # day before a roll (step 1: the sample's contracts change every three days) it
    # shows the new contract's level
    "market-price-ahead": ("""
        RUN = dict(RUN, targets=["CFE.IF00"], frequency="day")

        def init(context):
            context.day = context.reg_bars("day")

        def on_data(context):
            context.record("next_open", context.env.market_price(0, 1))
        """, "record", "'next_open'"),
    # an indicator that looks one step ahead
    "indicator-ahead": ("""
        from vornix.api.subscribe import _windows

        def ahead(context):
            s = min(context.step + 1, context.env.fresh_bar_timeline.size - 1)
            return _windows.get_reg_k_data_values(context.bars.reg_idx, s, 1, True)[:, 5]

        def init(context):
            context.bars = context.reg_bars("min", 5)
            context.ind = context.reg_indicator(ahead)

        def on_data(context):
            context.ind.values(2)
        """, "indicator", "(length 2)"),
    # a factor read by its day's position, one day off, instead of through the step mapping
    "factor-by-day": ("""
        import numpy as np
        from vornix.tframe import sysstate

        def init(context):
            context.pe = context.reg_factor("pe")

        def on_data(context):
            data = sysstate.vr.g_VornixFactorValueDict["FactorData"]
            day = np.floor(context.env.fresh_bar_timeline[context.step])
            k = min(int(np.searchsorted(data[0], day)) + 1, data.shape[1] - 1)
            context.record("pe", data[1:, k])
        """, "record", "'pe'"),
}

CLEAN = """
    import numpy as np

    def init(context):
        context.week = context.reg_bars("week")
        context.five = context.reg_bars("min", 5)
        context.pe = context.reg_factor("pe")

    def on_data(context):
        w = context.week.values(2, fill_up=False)
        f = context.five.values(3)
        _, pe = context.pe.values(1)
        context.record("week_close", w[1::2, 5])
        context.record("five_high", f[2::3, 3])
        context.record("pe", pe[:, -1])
    """


@pytest.fixture(scope="module")
def audit_env(tmp_path_factory):
    from vornix.api.history._sample import write_sample_market

    root = tmp_path_factory.mktemp("audit")
    write_sample_market(HistoryStore(root / "store", create=True), seed=3, days=12, stocks=2)
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("VX_STORE_DIR", str(root / "store"))
        mp.setenv("HOME", str(root))
        yield root


def _strategy(folder, name, body):
    path = folder / (name + ".py")
    path.write_text(RUN + textwrap.dedent(body))
    return str(path)


def test_a_clean_strategy_passes(audit_env):
    report = audit(_strategy(audit_env, "clean", CLEAN), cuts=4, seed=1)
    assert report.clean, report.text()
    assert len(report.cuts) == 4 and report.reads == 3 * report.steps
    assert "no look-ahead" in report.text()


@pytest.mark.parametrize("name", sorted(PEEKS))
def test_planted_peeks_are_caught_where_they_peek(audit_env, name):
    body, what, detail = PEEKS[name]
    cuts = [1] if name == "market-price-ahead" else 2
    report = audit(_strategy(audit_env, name.replace("-", "_"), body), cuts=cuts, seed=2)
    assert not report.clean, report.text()
    first = report.findings[0]
    assert first.what == what and detail in first.detail
    # every cut found it at the cut step itself (or before): nothing later is compared
    assert all(f.step <= f.cut for f in report.findings)
    assert "LOOK-AHEAD" in report.text()
    if what == "indicator":
        assert first.full is not None and first.full != first.cut_value


def test_the_library_self_audit_is_clean(audit_env):
    from vornix.audit._self import registrations, self_audit

    reports = self_audit(20230104, 20230110, cuts=2, seed=4)
    assert [r.strategy for r in reports] == ["self_min1", "self_min5", "self_day1"]
    assert all(r.clean for r in reports), "\n".join(r.text() for r in reports)
    # every bar registration raw and adjusted, read in both modes, two factors, user
    # data and an indicator, plus the indicator's own read of the day bars in init
    per_step = 2 * len(registrations("min")) + 3 + 1
    assert reports[0].reads == per_step * reports[0].steps


def test_cut_steps_take_period_bounds_and_random_steps():
    minutes = np.arange(np.datetime64("2023-01-02T09:31"), np.datetime64("2023-01-02T09:41"))
    times = np.concatenate([minutes + np.timedelta64(d, "D") for d in (0, 1, 2, 7, 8)])
    cuts = _cut_steps(times, 8, seed=0)
    assert len(cuts) == 8 and cuts == sorted(set(cuts)) and max(cuts) < times.size - 1
    bounds = {9, 10, 19, 20, 29, 30, 39, 40}  # day ends and starts
    assert len(bounds & set(cuts)) >= 4
    assert _cut_steps(times, 8, seed=0) == cuts


def test_the_command_line_exit_codes(audit_env, tmp_path):
    env = dict(os.environ, VX_STORE_DIR=str(audit_env / "store"), HOME=str(audit_env),
               PYTHONPATH=os.pathsep.join(sys.path))
    peek = _strategy(tmp_path, "peek", PEEKS["negative-end"][0])
    broken = tmp_path / "broken.py"
    broken.write_text("def init(context)\n")
    for path, code, words in ((peek, 1, "LOOK-AHEAD"), (str(broken), 2, "cannot be compiled")):
        proc = subprocess.run([sys.executable, "-m", "vornix", "audit", path, "--cuts", "1"],
                              env=env, capture_output=True, text=True)
        assert proc.returncode == code, proc.stdout + proc.stderr
        assert words in proc.stdout + proc.stderr
