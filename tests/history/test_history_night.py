"""Futures night sessions end to end: a calendar with night sessions imported with the
CLI across a weekend and the 2023 Spring Festival break, its minute time line, day
positions, day and week bars, a run stepping across a Friday night, a store cut at a
night minute, and the per-day overrides of the holiday rule.

Expectations come from session_reference (day by day with pandas), never from the
code under test."""

import datetime as dt
import shutil

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st
from session_reference import as_datetimes, combine, random_bars, session_bars, to_time_line

from vornix.api.history import _history as h
from vornix.api.history._calendar import Calendar
from vornix.api.history._import import DataImportError, import_csv
from vornix.api.subscribe import _subscribe, _windows
from vornix.runner import prepare_run
from vxtest.datacli import cli, write
from vxtest.runs import fresh_run_state
from vxtest.settings import kernel_settings

# Thursday 19 and Friday 20 January, the Spring Festival break, then two weeks
DAYS = [dt.date(2023, 1, d) for d in (18, 19, 20, 30, 31)] + [dt.date(2023, 2, d) for d in (1, 2, 3, 6, 7)]
DAY_SESSIONS = [(540, 615, 0), (630, 690, 0), (810, 900, 0)]
SESSIONS = {
    "SHFE": [(1260, 1380, -1)] + DAY_SESSIONS,  # 21:00-23:00
    "INE": [(1260, 1590, -1)] + DAY_SESSIONS,  # 21:00-02:30 of the next morning
}
# INE: a night session before the break after all, and none before 1 February
OVERRIDES = {"SHFE": {}, "INE": {dt.date(2023, 1, 30): 1, dt.date(2023, 2, 1): 0}}
TARGETS = {"SHF.RB2305": "SHFE", "INE.SC2305": "INE"}
FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")


def hhmm(minutes):
    return "%02d:%02d" % (minutes // 60, minutes % 60)


def expected(code):
    """Reference bars of a target, with their prices (seeded per target)."""
    cal = TARGETS[code]
    return random_bars(session_bars(DAYS, SESSIONS[cal], OVERRIDES[cal]), seed=len(code))


@pytest.fixture(scope="module")
def night_store(tmp_path_factory):
    """A store made with the CLI: sessions, trading days, overrides, instruments and
    vendor minute files (symbol, datetime, ..., oi) with day bars derived."""
    folder = tmp_path_factory.mktemp("night")
    store = folder / "store"
    sessions = "calendar,open,close,day_offset\n" + "".join(
        "%s,%s,%s,%d\n" % (cal, hhmm(o), "26:30" if c == 1590 else hhmm(c), d)
        for cal, rows in SESSIONS.items() for o, c, d in rows) + "SSE,09:30,11:30,0\nSSE,13:00,15:00,0\n"
    days = "date\n" + "".join(d.strftime("%Y-%m-%d\n") for d in DAYS)
    nights = "calendar,date,night\n" + "".join(
        "%s,%s,%d\n" % (cal, d.strftime("%Y%m%d"), v) for cal, o in OVERRIDES.items() for d, v in o.items())
    instruments = "symbol,type,list_date,calendar\n" + "".join(
        "%s,future,20230101,%s\n" % (code, cal) for code, cal in TARGETS.items())
    for kind, text in (("sessions", sessions), ("calendar", days), ("night-sessions", nights),
                       ("instruments", instruments)):
        assert cli("import", kind, write(folder, kind + ".csv", text), store=store) == 0
    for code in TARGETS:
        bars = expected(code)
        vendor = pd.DataFrame({"symbol": code, "datetime": bars["end"].dt.strftime("%Y-%m-%d %H:%M:%S")})
        for name in FIELDS:
            vendor[{"open_interest": "oi", "turnover": "amount"}.get(name, name)] = bars[name]
        path = write(folder, code + ".csv", vendor.to_csv(index=False))
        assert cli("import", "bars-1m", path, "--derive-day", store=store) == 0
    return store


@pytest.fixture
def night(night_store, monkeypatch):
    monkeypatch.setenv("VX_STORE_DIR", str(night_store))
    return night_store


def fetch(targets, freq="min", begin=20230101, end=20230228, filled=False):
    return h.get_k_data_multi({"targets": targets, "frequency": freq, "freq_num": 1, "begin_date": begin,
                               "end_date": end, "filled_up": filled, "fq_type": 0, "need_show_ui_tip": False})


# ----------------------------------------------------------------- the time line


@pytest.mark.parametrize("code", list(TARGETS))
@pytest.mark.parametrize("begin", [20230101, 20230131], ids=["all", "from-31-jan"])
def test_minute_time_line_day_positions_and_bars(night, code, begin):
    """Night bars come first in their trading day, on the evening of the previous
    trading day; the day after the break has none (unless overridden); the bars
    equal the imported rows."""
    want = expected(code)
    want = want[want["day"] >= pd.Timestamp(str(begin))]
    pos = want["pos"].to_numpy() - want["pos"].min()
    tl, day_pos = h.get_trading_time([code], "min", begin, 20230228)
    assert np.array_equal(as_datetimes(tl), want["end"].to_numpy().astype("datetime64[s]"))
    assert np.array_equal(day_pos, pos)
    r = fetch([code], begin=begin)
    assert np.array_equal(r["TimeLine"], tl) and np.array_equal(r["DayPos"], pos)
    assert r["TradeFreshPos"].tolist() == np.flatnonzero(np.r_[True, np.diff(pos) != 0]).tolist()
    # the one rule of dated data gives every bar its trading day (after midnight too)
    days = as_datetimes(h.get_trading_day_numbers(tl)).astype("datetime64[D]")
    assert np.array_equal(days, want["day"].to_numpy().astype("datetime64[D]"))
    for f, name in enumerate(FIELDS):
        np.testing.assert_array_equal(r["KArray"][f], want[name].to_numpy(float), err_msg=name)


def test_what_the_night_bars_look_like(night):
    """The cases spelled out: Friday night bars after midnight carry Saturday's date,
    the break has no night session, and the overrides move one."""
    rb = pd.Series(as_datetimes(h.get_trading_time(["SHF.RB2305"], "min", 20230101, 20230228)[0]))
    sc_tl, sc_pos = h.get_trading_time(["INE.SC2305"], "min", 20230101, 20230228)
    sc = pd.Series(as_datetimes(sc_tl))
    days = h.get_trading_days(20230101, 20230228)
    # Saturday 02:30 ends Friday's night session, which belongs to Monday 6 February
    saturday = int(np.flatnonzero(sc == pd.Timestamp("2023-02-04 02:30"))[0])
    assert days[int(sc_pos[saturday])] == 20230206 and sc[saturday + 1] == pd.Timestamp("2023-02-06 09:01")
    # no bar between Friday 20 January 15:00 and Monday 30 January 09:01 for rebar
    assert ((rb > pd.Timestamp("2023-01-20 15:00")) & (rb < pd.Timestamp("2023-01-30 09:01"))).sum() == 0
    # crude oil has its override: the night of 30 January on 20 January, none before 1 February
    assert sc[(sc > pd.Timestamp("2023-01-20 15:00")) & (sc < pd.Timestamp("2023-01-30"))].size == 330
    assert not ((sc > pd.Timestamp("2023-01-31 15:00")) & (sc < pd.Timestamp("2023-02-01 09:01"))).any()
    # the first trading day has no night before it
    assert rb[0] == pd.Timestamp("2023-01-18 09:01")
    # both calendars on one time line: the union of their bars
    both = fetch(["SHF.RB2305", "INE.SC2305"])
    assert np.array_equal(both["TimeLine"], np.union1d(fetch(["SHF.RB2305"])["TimeLine"], sc_tl))


# ----------------------------------------------------------------- day and week bars


@pytest.mark.parametrize("code", list(TARGETS))
def test_day_bars_are_the_night_before_and_the_day(night, code):
    want = combine(expected(code), "day")
    d = fetch([code], freq="day")
    tl, pos = h.get_trading_time([code], "day", 20230101, 20230228)
    assert np.array_equal(d["TimeLine"], tl) and np.array_equal(pos, np.arange(len(DAYS)))
    assert np.array_equal(as_datetimes(tl), (want.index + pd.Timedelta(hours=15)).to_numpy().astype("datetime64[s]"))
    for f, name in enumerate(FIELDS):
        np.testing.assert_allclose(d["KArray"][f], want[name].to_numpy(float), rtol=1e-12, err_msg=name)


def test_week_bars_of_the_calendar(night):
    tl, pos = h.get_trading_time(["SHF.RB2305"], "week", 20230101, 20230228)
    assert [str(t) for t in as_datetimes(tl)] == [
        "2023-01-20T15:00:00", "2023-02-03T15:00:00", "2023-02-07T15:00:00"]
    assert pos.tolist() == [2, 7, 9]


@pytest.fixture
def run(night, monkeypatch, tmp_path):
    def start(targets, cut=None):
        if cut is not None:
            monkeypatch.setenv("VX_STORE_CUT", repr(float(cut)))
        return fresh_run_state(monkeypatch, tmp_path / "core-cache")

    return start


def window(reg_idx, step, length):
    """The window of each target as a (targets, length, 9) float array."""
    got = _windows.get_reg_k_data_values(reg_idx, step, length, True)
    return got.reshape(reg_idx.shape[0], length, -1)


def assert_bar(row, bars, what):
    """A window row equals the combination of `bars` (all in one group)."""
    want = combine(bars.assign(g=0), "g").iloc[0]
    for k, name in enumerate(("open", "high", "low", "close", "volume", "turnover", "open_interest")):
        np.testing.assert_allclose(row[2 + k], want[name], rtol=1e-12, err_msg="%s %s" % (what, name))


@pytest.mark.parametrize("step_at", ["2023-02-03 21:30", "2023-02-04 01:00", "2023-02-06 10:00"])
def test_a_run_across_a_friday_night(run, step_at):
    """Main time line of minutes; the day and week bars in progress at a step of a
    Friday night hold the night minutes so far (they belong to Monday and its week),
    the bars before them are Friday's day and the week that ended on Friday."""
    codes = list(TARGETS)
    with run(codes):
        prepare_run(codes, "min", 1, 20230118, 20230207)
        steps = main_time_line()
        ref = {c: expected(c) for c in codes}
        assert np.array_equal(as_datetimes(steps), np.union1d(*(r["end"].to_numpy().astype("datetime64[s]")
                                                               for r in ref.values())))
        day, week = _subscribe.reg_k_data("day", 1), _subscribe.reg_k_data("week", 1)
        at = pd.Timestamp(step_at)
        s = int(np.searchsorted(as_datetimes(steps), np.datetime64(at)))
        assert as_datetimes(steps)[s] == np.datetime64(at)
        days, weeks = window(day, s, 2), window(week, s, 2)
        for t, code in enumerate(codes):
            bars = ref[code]
            now = bars[(bars["day"] == pd.Timestamp("2023-02-06")) & (bars["end"] <= at)]
            assert_bar(days[t, -1], now, (code, "day in progress"))
            assert_bar(weeks[t, -1], now, (code, "week in progress"))
            assert_bar(days[t, -2], bars[bars["day"] == pd.Timestamp("2023-02-03")], (code, "friday"))
            week_before = bars[(bars["day"] >= pd.Timestamp("2023-01-30")) & (bars["day"] <= pd.Timestamp("2023-02-03"))]
            assert_bar(weeks[t, -2], week_before, (code, "week before"))


def main_time_line():
    from vornix.tframe import sysstate

    return np.array(sysstate.vr.g_VornixDataValueFresh[0])


def test_a_store_cut_at_a_night_minute(run):
    """The store as it stood at Friday 21:30 (Monday's trading day): the day bar in
    progress holds the night minutes up to the cut only, at the cut and later; the
    service serves no bar after the cut, nor the stored day bar of Monday."""
    code = "SHF.RB2305"
    cut = pd.Timestamp("2023-02-03 21:30")
    cut_value = float(to_time_line([cut])[0])
    bars = expected(code)
    upto = bars[(bars["day"] == pd.Timestamp("2023-02-06")) & (bars["end"] <= cut)]
    with run([code], cut=cut_value):
        prepare_run([code], "min", 1, 20230118, 20230207)
        steps = as_datetimes(main_time_line())
        day = _subscribe.reg_k_data("day", 1)
        for at in (cut, pd.Timestamp("2023-02-06 10:00")):
            s = int(np.searchsorted(steps, np.datetime64(at)))
            assert_bar(window(day, s, 1)[0, -1], upto, "day at %s" % at)
        d = fetch([code], freq="day")
        assert np.isnan(d["KArray"][:, -2:]).all() and not np.isnan(d["KArray"][:, :-2]).any()
        m = fetch([code])
        after = m["TimeLine"] > cut_value
        assert np.isnan(m["KArray"][:, after]).all() and not np.isnan(m["KArray"][:, ~after]).any()


# ----------------------------------------------------------------- overrides and sessions


NIGHTS = "night-sessions", "calendar,date,night\n"


@pytest.mark.parametrize("kind_header, text, message", [
    (NIGHTS, "XX,20230130,1", "calendar 'XX' has no sessions in the store"),
    (NIGHTS, "SSE,20230130,1", "calendar SSE has no night session"),
    (NIGHTS, "INE,20230121,1", "date 20230121 is not a trading day"),
    (NIGHTS, "INE,20230131,2", "night 2 must be 0 or 1"),
    (NIGHTS, "INE,20230131,1\nINE,2023-01-31,0", "calendar INE has two rows for 20230131"),
    (("sessions", "calendar,open,close,day_offset\n"), "INE,21:00,02:30,-1", "26:30 for 02:30"),
    (("sessions", "calendar,open,close,day_offset\n"), "INE,14:00,16:00,-1\nINE,09:00,15:00,0",
     "night session 14:00-16:00 must lie between the day sessions' close 15:00"),
])
def test_refused_overrides_and_sessions_change_nothing(night, tmp_path, kind_header, text, message):
    store = h.open_store(night)
    generation = store.generation
    kind, header = kind_header
    with pytest.raises(DataImportError, match=message):
        import_csv(store, kind, write(tmp_path, "f.csv", header + text))
    assert h.open_store(night).generation == generation


def test_an_override_that_strands_stored_bars_needs_force(night_store, tmp_path, monkeypatch):
    store_dir = tmp_path / "store"
    shutil.copytree(night_store, store_dir)
    monkeypatch.setenv("VX_STORE_DIR", str(store_dir))
    path = write(tmp_path, "n.csv", "calendar,date,night\nSHFE,20230131,0\n")
    with pytest.raises(DataImportError, match=r"SHF.RB2305: 120\b.*--force"):
        import_csv(h.open_store(store_dir), "night-sessions", path)
    assert cli("import", "night-sessions", path, "--force", store=store_dir) == 0
    tl = pd.Series(as_datetimes(h.get_trading_time(["SHF.RB2305"], "min", 20230131, 20230131)[0]))
    assert tl[0] == pd.Timestamp("2023-01-31 09:01") and tl.size == 225
    assert "calendar SHFE: night session overridden on 1 day(s) (0 with, 1 without)" in \
        h.open_store(store_dir).summary()


@kernel_settings
@given(
    open_days=st.lists(st.booleans(), min_size=10, max_size=10),
    flips=st.lists(st.tuples(st.integers(0, 9), st.booleans()), max_size=3),
    step=st.sampled_from([1, 5, 15]),
    lo=st.integers(0, 3),
)
def test_minute_grid_matches_the_reference(open_days, flips, step, lo):
    """Any set of trading weekdays over two weeks, any overrides, base sizes and
    first day of the range."""
    first = dt.date(2023, 3, 6)  # a Monday
    weekdays = [first + dt.timedelta(days=k + 2 * (k // 5)) for k in range(10)]
    days = [d for d, keep in zip(weekdays, open_days) if keep] or [first]
    overrides = {days[i % len(days)]: int(v) for i, v in flips}
    sessions = [(1260, 1590, -1), (540, 615, 0), (810, 900, 0)]
    cal = Calendar([int(d.strftime("%Y%m%d")) for d in days], {"X": sessions},
                   {"X": {int(d.strftime("%Y%m%d")): v for d, v in overrides.items()}})
    lo = min(lo, len(days) - 1)
    times, day_pos = cal.minute_grid(cal.session_set(["X"], step), lo, len(days))
    want = session_bars(days, sessions, overrides, step)
    want = want[want["pos"] >= lo]
    assert np.array_equal(as_datetimes(times), want["end"].to_numpy().astype("datetime64[s]"))
    assert np.array_equal(day_pos, want["pos"].to_numpy() - lo)


def test_a_calendar_derived_from_night_bars_keeps_to_trading_days(tmp_path):
    """Bars of a night session past midnight carry Saturday's date after a Friday:
    the trading days collected from the bars leave them out."""
    store = tmp_path / "store"
    sessions = "calendar,open,close,day_offset\nINE,21:00,26:30,-1\nINE,09:00,10:15,0\n"
    assert cli("import", "sessions", write(tmp_path, "s.csv", sessions), store=store) == 0
    assert cli("import", "instruments", write(tmp_path, "i.csv", "symbol,type,list_date,calendar\n"
                                              "INE.SC2305,future,20230101,INE\n"), store=store) == 0
    days = [dt.date(2023, 2, d) for d in (2, 3, 6)]  # Thursday, Friday, Monday
    bars = random_bars(session_bars(days, [(1260, 1590, -1), (540, 615, 0)], {days[0]: 1}), seed=3)
    vendor = bars.assign(symbol="INE.SC2305", time=bars["end"].dt.strftime("%Y-%m-%d %H:%M"))
    assert (bars["end"].dt.day_of_week == 5).any()  # Saturday bars, of Monday's trading day
    assert cli("import", "bars-1m", write(tmp_path, "b.csv", vendor.to_csv(index=False)), store=store) == 0
    assert cli("calendar", "bars", store=store) == 0
    assert h.open_store(store).trading_days().tolist() == [20230202, 20230203, 20230206]
