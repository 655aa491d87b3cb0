"""The look-ahead audit: honest strategies pass, strategies that peek at the future
in the usual ways (in what they read, record or order) are caught at the step where
they peek, a nondeterministic one is told apart, and the store's cut view dates its
rows by the cut's trading day."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from vornix.api.history._history import HistoryStore
from vornix.audit import audit
from vornix.audit._audit import _cut_steps

TARGETS = ["SH.600000", "SZ.000011"]
RUN = ('import numpy as np\nTARGETS = %r\n'
       'RUN = {"targets": TARGETS, "frequency": "min", "begin": "2023-01-04", "end": "2023-01-06"}\n'
       % (TARGETS,))

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
    # a limit order at the next bar's open, placed when a later tick is higher
    "limit-at-next-open": ("""
        def init(context):
            pass

        def on_data(context):
            nxt = context.env.market_price(0, 1)
            if context.env.market_price(0, 6) > nxt and context.position(0) == 0:
                context.order(0, 100, limit=nxt)
        """, "order", "placed"),
    # the range's highest close, taken from the history service in init and kept on
    # disk next to the strategy for the runs after the first
    "cached-on-disk": ("""
        import json, os
        from vornix.api.history import _history

        CACHE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "top.json")

        def init(context):
            if not os.path.exists(CACHE):
                k = _history.get_k_data_multi({"targets": context.targets, "frequency": "day",
                                               "begin_date": 20230104, "end_date": 20230106})
                with open(CACHE, "w") as fh:
                    json.dump(float(np.nanmean(k["KArray"][3])), fh)
            with open(CACHE) as fh:
                context.top = json.load(fh)
            context.day = context.reg_bars("day")

        def on_data(context):
            context.order_target_percent(0, 0.5 * context.day.values(1)[0, 5] / context.top)
        """, "order", "placed"),
    # instruments that delist later are avoided from the start
    "delisting-date": ("""
        from vornix.api.history import _history
        RUN = dict(RUN, targets=["SH.600000", "SZ.000051"], frequency="day", begin="2023-01-04",
                   end="2023-01-18")

        def init(context):
            pass

        def on_data(context):
            for info in _history.get_target_info(context.targets):
                gone = info["DelistDate"] > 0
                context.order_target_percent(info["DotCode"], 0.0 if gone else 0.4)
        """, "order", "placed"),
    # the range's last close, read in init: without the future it is NaN, and fails
    "fails-without-the-future": ("""
        from vornix.api.history import _history

        def init(context):
            k = _history.get_k_data_multi({"targets": context.targets, "frequency": "day",
                                           "begin_date": 20230104, "end_date": 20230106,
                                           "filled_up": False})
            context.last = int(k["KArray"][3, -1])

        def on_data(context):
            pass
        """, "the strategy failed", "in init"),
    # each day's close, read in init, stamped at the day's first minute
    "user-data-stamped-early": ("""
        from vornix.api.history import _history

        def init(context):
            k = _history.get_k_data_multi({"targets": context.targets, "frequency": "day",
                                           "begin_date": 20230104, "end_date": 20230106})
            context.user = context.reg_user_data(np.floor(k["TimeLine"]) + 9.5 / 24,
                                                 k["KArray"][3])

        def on_data(context):
            context.user.values(1)
        """, "user data", "(length 1)"),
}

CLEAN = """
    import random
    from vornix.api.history import _history

    rng = np.random.default_rng(5)  # seeded randomness, module state
    random.seed(5)
    SEEN = []

    def init(context):
        context.week = context.reg_bars("week")
        context.five = context.reg_bars("min", 5)
        context.pe = context.reg_factor("pe")
        # the calendar is known in advance
        context.days = _history.get_trading_days(20230104, 20230106)
        context.steps = np.asarray(context.env.fresh_bar_timeline).copy()

    def on_data(context):
        w = context.week.values(2, fill_up=False)
        f = context.five.values(3)
        _, pe = context.pe.values(1)
        context.record("week_close", w[1::2, 5])
        context.record("five_high", f[2::3, 3])
        context.record("pe", pe[:, -1])
        SEEN.append(context.step)
        context.record("left", context.steps.size - len(SEEN) + rng.normal() + random.random())
        # the first order, and a per-target record, late in the range
        if context.step >= 600 and context.step % 30 == 0:
            context.order_target_percent(rng.integers(2), 0.3)
            context.record("days_left", {TARGETS[1]: float(context.days.size)})
    """


@pytest.fixture(scope="module")
def audit_env(tmp_path_factory):
    from vornix.api.history._sample import write_sample_market

    root = tmp_path_factory.mktemp("audit")
    write_sample_market(HistoryStore(root / "store", create=True), seed=3, days=12, stocks=6)
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("VX_STORE_DIR", str(root / "store"))
        mp.setenv("HOME", str(root))
        yield root


def _strategy(folder, name, body):
    """The strategy file `name`.py in a folder of its own under `folder`."""
    (folder / name).mkdir()
    path = folder / name / (name + ".py")
    path.write_text(RUN + textwrap.dedent(body))
    return str(path)


@pytest.mark.parametrize("chunk", [None, "2d"])
def test_a_clean_strategy_passes(audit_env, chunk):
    report = audit(_strategy(audit_env, "clean%s" % (chunk or ""), CLEAN), cuts=4, seed=1,
                   chunk=chunk)
    assert report.clean and report.exit_code == 0, report.text()
    assert len(report.cuts) == 4 and report.reads == 3 * report.steps and report.orders > 0
    assert "no look-ahead" in report.text()


def test_forward_adjusted_windows_are_point_in_time(audit_env):
    """Forward-adjusted windows across SH.600020's split (2023-01-09) and SZ.000031's
    dividend (2023-01-12), and orders sized from them: the cuts before the events see
    what the whole run saw."""
    body = """
        def init(context):
            context.day = context.reg_bars("day")

        def on_data(context):
            close = context.day.values(3)[2::3, 5]
            context.record("close", close)
            context.order_target_volume(0, 100 * int(5000 / close[0]))
        """
    report = audit(_strategy(audit_env, "forward", body), cuts=[1, 3, 4, 6], seed=1,
                   targets=["SH.600020", "SZ.000031"], frequency="day", begin=20230104,
                   end=20230113, adjust="forward")
    assert report.exit_code == 0 and report.orders > 0, report.text()


@pytest.mark.parametrize("name", sorted(PEEKS))
def test_planted_peeks_are_caught_where_they_peek(audit_env, name):
    body, what, detail = PEEKS[name]
    cuts = [1] if name == "market-price-ahead" else 2
    path = _strategy(audit_env, name.replace("-", "_"), body)
    report = audit(path, cuts=cuts, seed=2)
    assert report.exit_code == 1, report.text()
    first = report.findings[0]
    assert first.what == what and detail in first.detail
    if what == "order":  # named by its code
        assert first.target in ("SH.600000", "SZ.000011", "SZ.000051", "CFE.IF00")
    # every run worked on a copy of the strategy's folder
    assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]
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


def test_cut_steps_take_step_0_rolls_orders_period_bounds_and_random_steps():
    minutes = np.arange(np.datetime64("2023-01-02T09:31"), np.datetime64("2023-01-02T09:41"))
    times = np.concatenate([minutes + np.timedelta64(d, "D") for d in (0, 1, 2, 7, 8)])
    cuts = _cut_steps(times, 8, seed=0)
    assert len(cuts) == 8 and cuts == sorted(set(cuts)) and max(cuts) < times.size - 1
    bounds = {9, 10, 19, 20, 29, 30, 39, 40}  # day ends and starts
    assert 0 in cuts and len(bounds & set(cuts)) >= 4
    assert _cut_steps(times, 8, seed=0) == cuts
    # a roll (and the step before it) and a step with an order come before the bounds
    cuts = _cut_steps(times, 4, seed=1, rolls=[25], events=[13, 13])
    assert 0 in cuts and {24, 25} & set(cuts) and 13 in cuts


def test_the_cut_view_dates_rows_by_the_cut_trading_day(audit_env):
    """A night minute belongs to the next trading day: the cut view at one holds that
    day's main-contract, adjustment and factor rows; a delisting after it is hidden."""
    path = audit_env / "store"
    full = HistoryStore(path)
    days = full.trading_days()
    dates = pd.to_datetime(days.astype(str))
    for i, hour, day in ((3, 21 + 1 / 60, days[4]), (3, 10.0, days[3]), (4, 0.5, days[4])):
        cut = (dates[i] - pd.Timestamp("1970-01-01")).days + 719529 + hour / 24
        view = HistoryStore(path, cut=cut)
        for rows in ("main_contracts", "adjust_factors"):
            want = getattr(full, rows)()
            pd.testing.assert_frame_equal(getattr(view, rows)(),
                                          want[want["date"] <= day].reset_index(drop=True))
        assert view.read_factor("pe")["date"].max() == day
        delist = {c: r["delist_date"] for c, r in full.target_table().items()}
        assert max(delist.values()) > day
        assert {c: r["delist_date"] for c, r in view.target_table().items()} == {
            c: d if d <= day else 0 for c, d in delist.items()}


def test_the_command_line_exit_codes(audit_env, tmp_path):
    env = dict(os.environ, VX_STORE_DIR=str(audit_env / "store"), HOME=str(audit_env),
               PYTHONPATH=os.pathsep.join(sys.path))
    peek = _strategy(tmp_path, "peek", PEEKS["negative-end"][0])
    broken = tmp_path / "broken.py"
    broken.write_text("def init(context)\n")
    unseeded = _strategy(tmp_path, "unseeded", """
        def init(context):
            pass

        def on_data(context):
            context.record("noise", np.random.normal())
        """)
    for path, code, words, more in (
            (peek, 1, "LOOK-AHEAD", {}), (str(broken), 2, "cannot be compiled", {}),
            (unseeded, 3, "the strategy is nondeterministic", {}),
            (peek, 2, "holds more than 0 MB", {"VX_AUDIT_FOLDER_MB": "0"})):
        proc = subprocess.run([sys.executable, "-m", "vornix", "audit", path, "--cuts", "1"],
                              env=dict(env, **more), capture_output=True, text=True)
        assert proc.returncode == code, proc.stdout + proc.stderr
        assert words in proc.stdout + proc.stderr
