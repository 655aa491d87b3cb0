"""`vornix run` and `vornix demo` end to end: each run is a subprocess started the way
a user types it (`python -m vornix ...`), on a sample market written once for the
module, and what it leaves behind (results folder, exit code, messages, bar store,
matrix cache) is checked from the outside.

The expected window values are recomputed here with pandas from the store's
one-minute bar files (`bars/1m/<code>.parquet`, read directly), following the
grouping rules of the registered bars (see tests/registration/kdata_reference.py):

- a bar still forming at a step combines the raw bars of its group up to the step;
  only bars with volume count, and a group without such a bar shows the close
  before the group (the sample market keeps a bar without volume at the last close);
- weeks are calendar weeks (Monday to Sunday) of the run's trading days, so the
  first week of a run that starts mid-week has no week before it;
- five-minute bars run from each trading day's first minute.

Every subprocess gets its own HOME, bar store and core cache and runs with
`--core local`, so that nothing on the machine (~/.vornix, a core listening on the
default port) takes part.
"""

import json
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import scipy.io

from vornix.api.history._history import HistoryStore
from vornix.api.history._sample import write_sample_market
from vxtest.support import free_port

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
SEED, DAYS, STOCKS = 7, 45, 4
# time-line value of 1970-01-01 00:00 (day 1 is 0000-01-01, 367 is 0001-01-01)
EPOCH = 719529
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
PRICES = ("open", "high", "low", "close")
VORNIX_FRAME = re.compile(r'File "[^"]*[/\\]vornix[/\\]')
QUIET_LOCAL = ("--quiet", "--core", "local")


# ------------------------------------------------------------------- subprocesses


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    """The sample market in a store of its own, and a HOME shared by the runs of
    the module (matplotlib builds its font cache there once)."""
    root = tmp_path_factory.mktemp("e2e")
    store = root / "store"
    market = write_sample_market(
        HistoryStore(store, create=True), seed=SEED, days=DAYS, stocks=STOCKS
    )
    (root / "home").mkdir()
    return {"root": root, "store": store, "home": root / "home", "market": market}


def vornix(world, *args, store=None, cache, cwd):
    """`python -m vornix ARGS` in a clean environment; returns the CompletedProcess."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("VX_")}
    env.update(
        HOME=str(world["home"]),
        VX_STORE_DIR=str(store or world["store"]),
        VX_CORE_CACHE_DIR=str(cache),
        PYTHONPATH=os.pathsep.join(sys.path),
    )
    Path(cwd).mkdir(parents=True, exist_ok=True)
    return subprocess.run(
        [sys.executable, "-m", "vornix", *map(str, args)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )


def ok(proc):
    assert proc.returncode == 0, "exit %d\nstdout:\n%s\nstderr:\n%s" % (
        proc.returncode,
        proc.stdout,
        proc.stderr,
    )
    return proc


def write_strategy(folder, name, source):
    path = Path(folder) / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(source)
    return path


def _planned_runs(world, fixtures):
    """{run name: (args, keywords) of `vornix`} of the example runs behind the named
    fixtures (each fixture's plan below writes what its runs need first)."""
    plans = {"weekly": _weekly_plan, "futures": _futures_plan, "value_run": _value_plan,
             "look_ahead": _look_plan}
    calls = {}
    for name, plan in plans.items():
        if name in fixtures:
            calls.update(plan(world))
    return calls


@pytest.fixture(scope="module")
def example_runs(request, world):
    """The `vornix run` subprocesses behind the example fixtures that the selected
    tests of this module use, all started at the first request, two at a time (one
    per core of a small machine); {run name: future of its CompletedProcess}."""
    used = set()
    for item in request.session.items:
        if item.module is request.module:
            used.update(item.fixturenames)
    calls = _planned_runs(world, used)
    with ThreadPoolExecutor(max_workers=2) as pool:
        yield {name: pool.submit(vornix, world, *args, **kw) for name, (args, kw) in calls.items()}


def listing(root):
    """{relative path: (size, mtime_ns)} of the files under `root`."""
    root = Path(root)
    if not root.exists():
        return {}
    return {
        str(p.relative_to(root)): (p.stat().st_size, p.stat().st_mtime_ns)
        for p in sorted(root.rglob("*"))
        if p.is_file()
    }


def mat_folder(cache):
    return Path(cache) / "python" / "mat"


# ------------------------------------------------------------- the store, read directly


def timestamps(values):
    """Time-line values (day number + fraction of a day) -> Timestamps, whole seconds."""
    seconds = np.rint((np.asarray(values, dtype=np.float64) - EPOCH) * 86400).astype(np.int64)
    return pd.Timestamp("1970-01-01") + pd.to_timedelta(seconds, unit="s")


def minute_bars(store, code):
    bars = pd.read_parquet(Path(store) / "bars" / "1m" / ("%s.parquet" % code))
    bars["t"] = timestamps(bars["time"].to_numpy())
    return bars


def main_minutes(store, codes, begin, end):
    """Minute-bar times of the calendar's trading days from begin to end (yyyymmdd),
    over the sessions of the targets' calendars, from the store's tables: a night
    session (day_offset -1) runs on the evening of the previous trading day when that
    is the weekday before (Friday for a Monday)."""
    store = Path(store)
    all_days = [pd.Timestamp(str(d)) for d in sorted(pd.read_parquet(store / "calendar.parquet")["date"])]
    instruments = pd.read_parquet(store / "instruments.parquet")
    dotted = instruments["market"] + "." + instruments["code"]
    calendars = set(instruments.loc[dotted.isin(codes), "calendar"])
    sessions = pd.read_parquet(store / "sessions.parquet")
    sessions = sessions[sessions["calendar"].isin(calendars)]
    minutes = {
        offset: sorted({m for o, c, d in zip(sessions["open"], sessions["close"], sessions["day_offset"])
                        if d == offset for m in range(o + 1, c + 1)})
        for offset in (-1, 0)
    }
    per_day = []
    for i, day in enumerate(all_days):
        if not pd.Timestamp(str(begin)) <= day <= pd.Timestamp(str(end)):
            continue
        prev = all_days[i - 1] if i else None
        gap = (day - prev).days if prev is not None else 0
        night = gap == 1 or (gap == 3 and prev.weekday() == 4)
        times = [prev + pd.Timedelta(minutes=m) for m in minutes[-1]] if night else []
        times += [day + pd.Timedelta(minutes=m) for m in minutes[0]]
        per_day.append(pd.DatetimeIndex(times))
    return per_day


def trading_day(t, store):
    """The trading day of a step: the next trading day for a step of a night session
    (from 21:00), else its own day."""
    if t.hour < 21:
        return t.normalize()
    days = pd.read_parquet(Path(store) / "calendar.parquet")["date"]
    return pd.Timestamp(str(min(d for d in days if pd.Timestamp(str(d)) > t.normalize())))


def previous_close(t, store):
    """The close (15:00) of the trading day before the trading day of step t: that
    day's bars are the bars after it."""
    days = pd.read_parquet(Path(store) / "calendar.parquet")["date"]
    today = trading_day(t, store)
    return pd.Timestamp(str(max(d for d in days if pd.Timestamp(str(d)) < today))) + pd.Timedelta(hours=15)


def last_traded_close(bars, start, stop):
    """Close of the last bar with volume in [start, stop], else the close before
    `start` (NaN when the bars hold none)."""
    traded = bars[(bars["t"] >= start) & (bars["t"] <= stop) & (bars["volume"] > 0)]
    if len(traded):
        return traded["close"].iloc[-1]
    before = bars[bars["t"] < start]
    return before["close"].iloc[-1] if len(before) else np.nan


def same(got, expected, rtol=1e-9):
    got, expected = float(got), float(expected)
    if np.isnan(expected):
        return np.isnan(got)
    return abs(got - expected) <= rtol * abs(expected)


# ============================================================ 1. weekly_trend on the CLI

WEEKLY_TARGETS = ("SH.600000", "SZ.000011", "SH.600020")
WEEKLY_BEGIN, WEEKLY_END = 20230118, 20230203  # Wednesday to Friday, three calendar weeks
WEEKLY_STEPS = 13 * 240


def _weekly_plan(world):
    root = world["root"] / "weekly"
    flags = "--frequency min --count 1 --begin 2023-01-18 --end 2023-02-03 --adjust none"
    args = ("run", EXAMPLES / "weekly_trend.py", "--targets", ",".join(WEEKLY_TARGETS),
            *flags.split(), *QUIET_LOCAL, "--out", root / "out")
    return {"weekly": (args, {"cache": root / "cache", "cwd": root})}


@pytest.fixture(scope="module")
def weekly(world, example_runs):
    root = world["root"] / "weekly"
    out = root / "out"
    ok(example_runs["weekly"].result())
    records = pd.read_parquet(out / "results.parquet")
    # the raw bars from the store's first day on: the default look-back (30 trading
    # days) reaches back to it from the run's first day
    bars = {code: minute_bars(world["store"], code) for code in WEEKLY_TARGETS}
    return {"out": out, "records": records, "bars": bars, "cache": root / "cache"}


def expected_week(bars, t):
    """(week_close, week_change) of one target at step time t."""
    monday = t.normalize() - pd.Timedelta(days=t.weekday())
    close = last_traded_close(bars, monday, t)
    # the week before, also before the run's first day (the look-back's)
    before = last_traded_close(
        bars, monday - pd.Timedelta(days=7), monday - pd.Timedelta(seconds=1)
    )
    return close, close / before - 1.0


WEEKLY_STEP_CASES = [
    pytest.param("2023-01-18 09:31", id="first-step"),
    pytest.param("2023-01-20 15:00", id="friday-close"),
    pytest.param("2023-01-23 09:31", id="monday-morning"),
    # SZ.000011 traded on Monday 01-23, then is suspended: its week keeps Monday's close
    pytest.param("2023-01-25 10:00", id="inside-suspension"),
    # SZ.000011 is suspended on Monday 01-30: no bar of this week yet, the window
    # shows the close before the week (last week's), the change is 0
    pytest.param("2023-01-30 09:31", id="suspended-monday-open"),
    pytest.param("2023-01-30 14:00", id="suspended-monday-afternoon"),
    pytest.param("2023-01-31 09:31", id="first-minute-after-suspension"),
    # SZ.000011 trades nothing on 02-03: its week close stays at 02-02's last trade
    pytest.param("2023-02-03 13:45", id="zero-volume-day"),
    pytest.param("2023-02-03 15:00", id="last-step"),
] + [
    pytest.param(int(s), id="random-step-%d" % s)
    for s in np.random.default_rng(20230118).choice(WEEKLY_STEPS, 6, replace=False)
]


def test_sample_market_has_the_cases_the_steps_rely_on(world):
    """The suspension and the zero-volume day of SZ.000011 that the steps above name."""
    bars = minute_bars(world["store"], "SZ.000011")
    days = set(bars["t"].dt.strftime("%Y%m%d").astype(int))
    for day in (20230124, 20230125, 20230126, 20230127, 20230130):
        assert day not in days
    assert 20230123 in days and 20230131 in days
    zero_day = bars[bars["t"].dt.normalize() == pd.Timestamp("2023-02-03")]
    assert len(zero_day) == 240 and (zero_day["volume"] == 0).all()


@pytest.mark.parametrize("step", WEEKLY_STEP_CASES)
def test_weekly_trend_values_match_the_minute_bars(weekly, step):
    rec = weekly["records"]
    if isinstance(step, str):
        rows = rec.index[rec["time"] == pd.Timestamp(step)]
        assert len(rows) == 1, "no step at %s" % step
        row = rec.loc[rows[0]]
    else:
        row = rec.iloc[step]
    t = row["time"]
    changes = []
    for code in WEEKLY_TARGETS:
        close, change = expected_week(weekly["bars"][code], t)
        got_close, got_change = row["week_close:" + code], row["week_change:" + code]
        assert same(got_close, close), (code, t, got_close, close)
        # the change compared as a ratio: 1e-9 relative to it also where it is 0
        assert same(got_change + 1.0, change + 1.0), (code, t, got_change, change)
        changes.append(change)
    known = [c for c in changes if not np.isnan(c)]
    up_share = np.mean([c > 0 for c in known]) if known else np.nan
    assert same(row["up_share"], up_share)


def test_weekly_trend_time_column_is_the_main_time_line(world, weekly):
    rec = weekly["records"]
    expected = np.concatenate(
        main_minutes(world["store"], WEEKLY_TARGETS, WEEKLY_BEGIN, WEEKLY_END)
    )
    assert len(rec) == WEEKLY_STEPS == expected.size
    assert rec["time"].dtype == "datetime64[ns]"
    assert (rec["time"].to_numpy() == expected.astype("datetime64[ns]")).all()
    assert list(rec.columns) == ["time"] + ["week_close:" + c for c in WEEKLY_TARGETS] + [
        "week_change:" + c for c in WEEKLY_TARGETS
    ] + ["up_share", "cash", "positions_value", "equity"]


def test_weekly_trend_trades_each_morning_and_its_equity_follows_the_bars(weekly):
    """The demo rebalances at each day's first minute: its fills are that day's
    later opens, and its equity at every step is the cash left by the fills plus the
    holdings at the last close known, recomputed here from the minute files."""
    rec, bars = weekly["records"], weekly["bars"]
    trades = pd.read_parquet(weekly["out"] / "trades.parquet")
    assert len(trades) >= 5 and set(trades["target"]) <= set(WEEKLY_TARGETS)
    first_steps = rec.groupby(rec["time"].dt.normalize())["time"].min()
    for _, tr in trades.iterrows():
        b = bars[tr["target"]]
        at = b[b["t"] == tr["time"]]
        assert len(at) == 1 and at["volume"].iloc[0] > 0, tr
        assert tr["price"] == pytest.approx(at["open"].iloc[0], abs=1e-9)
        assert tr["time"] > first_steps[tr["time"].normalize()]  # after the order's step
    signed = np.where(trades["side"] == "buy", 1.0, -1.0) * trades["volume"]
    spent = pd.Series((signed * trades["price"] + trades["fee"]).to_numpy(), trades["time"])
    # a stock-only run holds the stock account alone
    cash = 1_000_000 - spent.groupby(level=0).sum().cumsum().reindex(rec["time"]).ffill().fillna(0)
    value = np.zeros(len(rec))
    for code in WEEKLY_TARGETS:
        moves = pd.Series(signed[trades["target"] == code].to_numpy(),
                          trades.loc[trades["target"] == code, "time"])
        held = moves.groupby(level=0).sum().cumsum().reindex(rec["time"]).ffill().fillna(0)
        b = bars[code][np.isfinite(bars[code]["close"])]
        b = b.assign(t=b["t"].astype("datetime64[ns]"))
        close = pd.merge_asof(rec[["time"]], b[["t", "close"]], left_on="time", right_on="t")
        value += np.where(held.to_numpy() != 0, held.to_numpy() * close["close"].to_numpy(), 0)
    np.testing.assert_allclose(rec["cash"], cash.to_numpy(), rtol=0, atol=0.005)
    np.testing.assert_allclose(rec["equity"], cash.to_numpy() + value, rtol=0, atol=0.005)


def test_weekly_trend_csv_holds_the_parquet_values(weekly):
    rec = weekly["records"]
    csv = pd.read_csv(weekly["out"] / "results.csv", parse_dates=["time"])
    csv["time"] = csv["time"].astype("datetime64[ns]")
    # (a column of whole numbers reads back as integers)
    pd.testing.assert_frame_equal(csv, rec, check_exact=False, rtol=1e-15, atol=0,
                                  check_dtype=False)


def test_weekly_trend_chart_is_a_png(weekly):
    data = (weekly["out"] / "chart.png").read_bytes()
    assert len(data) > 1000 and data.startswith(PNG_MAGIC)


# ====================================================== 2. futures_breakout on the CLI

FUTURES = ("CFE.IF00", "SHF.RB00")
FUTURES_BEGIN, FUTURES_END = 20230130, 20230201


def _futures_plan(world):
    root = world["root"] / "futures"
    # targets, five-minute frequency and adjust from the example's RUN; no history
    # before the first day, whose first groups and day then start from nothing
    args = ("run", EXAMPLES / "futures_breakout.py", *"--begin 2023-01-30 --end 2023-02-01".split(),
            "--lookback", "0",
            *QUIET_LOCAL, "--out", root / "out")
    return {"futures": (args, {"cache": root / "cache", "cwd": root})}


@pytest.fixture(scope="module")
def futures(world, example_runs):
    out = world["root"] / "futures" / "out"
    ok(example_runs["futures"].result())
    main = world["market"].main
    return {
        "records": pd.read_parquet(out / "results.parquet"),
        "bars": {
            code: adjusted(minute_bars(world["store"], code), main, code, FUTURES_BEGIN, FUTURES_END,
                           trading_calendar(world["store"]))
            for code in FUTURES
        },
    }


def trading_calendar(store):
    return np.sort(pd.read_parquet(Path(store) / "calendar.parquet")["date"].to_numpy())


def trading_days_of(times, calendar):
    """yyyymmdd trading day of each bar time: its date, but a night-session bar
    belongs to the next trading day (after 18:00: the next one; before 06:00: the
    first on or after its date)."""
    date = (times.dt.year * 10000 + times.dt.month * 100 + times.dt.day).to_numpy()
    hour = times.dt.hour.to_numpy()
    last = calendar.size - 1
    after = calendar[np.minimum(np.searchsorted(calendar, date, side="right"), last)]
    on_or_after = calendar[np.minimum(np.searchsorted(calendar, date, side="left"), last)]
    return np.where(hour >= 18, after, np.where(hour < 6, on_or_after, date))


def adjusted(bars, main, code, begin, end, calendar):
    """The minute bars with prices adjusted across the changes of main contract in
    [begin, end]: the run's first period keeps raw prices; from the first traded bar
    of each later period on, prices are scaled by the running product of (close of
    the last traded bar before the period) / (open of that first traded bar); the
    period's bars before it keep the factor before the change. Periods are runs of
    trading days: night-session bars belong to the next one."""
    out = bars.copy()
    day = trading_days_of(out["t"], calendar)
    traded = (out["volume"] > 0).to_numpy()
    rows = [(d, c) for target, d, c in main if target == code and begin <= d <= end]
    runs = []  # [contract, first day, last day]
    for d, c in rows:
        if runs and runs[-1][0] == c:
            runs[-1][2] = d
        else:
            runs.append([c, d, d])
    factor = 1.0
    prices = ["open", "high", "low", "close"]
    for _, first, last in runs[1:]:
        period = np.flatnonzero((day >= first) & (day <= last))
        firsts = period[traded[period] & np.isfinite(out["open"].to_numpy()[period])]
        before = np.flatnonzero((day >= begin) & (day < first) & traded)
        new = factor
        if len(firsts) and len(before):
            new = factor * out["close"].iloc[before[-1]] / out["open"].iloc[firsts[0]]
            start = firsts[0]
        else:
            start = period[0] if len(period) else 0
        early = period[period < start]
        late = period[period >= start]
        out.loc[out.index[early], prices] *= factor
        out.loc[out.index[late], prices] *= new
        factor = new
    return out


def test_futures_breakout_steps_are_five_minute_groups_of_each_day(world, futures):
    # IF00 trades 09:30-11:30 and 13:00-15:00, RB00 21:00-23:00 on the evening before,
    # 09:00-10:15, 10:30-11:30 and 13:30-15:00: together 390 minutes a trading day, 78
    # groups of five from 21:01 of the evening before
    days = main_minutes(world["store"], FUTURES, FUTURES_BEGIN, FUTURES_END)
    expected = np.concatenate([d[4::5] for d in days])
    assert all(len(d) == 390 for d in days)
    assert (futures["records"]["time"].to_numpy() == expected.astype("datetime64[ns]")).all()


def expected_five_minutes(bars, t, first_step, store):
    """(close, day_range) of one future at step t (a five-minute group ending at t)."""
    start = t - pd.Timedelta(minutes=5)
    group = bars[(bars["t"] > start) & (bars["t"] <= t) & (bars["volume"] > 0)]
    if len(group):
        close = group["close"].iloc[-1]
    elif first_step:
        close = np.nan  # the run's first group has nothing before it
    else:
        # a group without trades shows the close before it; before a target's first
        # bar of the run the filled-up minutes carry the close from before the run
        close = bars.loc[bars["t"] <= start, "close"].iloc[-1]
    day = bars[(bars["t"] > previous_close(t, store)) & (bars["t"] <= t) & (bars["volume"] > 0)]
    if len(day):
        day_range = day["high"].max() - day["low"].min()
    elif trading_day(t, store) == pd.Timestamp(str(FUTURES_BEGIN)):
        day_range = np.nan  # no close known before the run's first day
    else:
        day_range = 0.0  # the day shows the last close as open, high, low and close
    return close, day_range


FUTURES_STEP_CASES = [
    pytest.param("2023-01-27 21:05", id="first-step-rb-night"),
    pytest.param("2023-01-30 23:00", id="rb-night-end"),
    pytest.param("2023-01-30 09:05", id="first-day-step-if-closed"),
    pytest.param("2023-01-30 09:10", id="if-before-its-first-bar"),
    pytest.param("2023-01-30 09:35", id="if-first-group"),
    pytest.param("2023-01-30 10:15", id="rb-before-break"),
    pytest.param("2023-01-30 10:20", id="rb-in-break"),
    pytest.param("2023-01-30 10:35", id="rb-after-break"),
    pytest.param("2023-01-30 11:30", id="morning-close"),
    pytest.param("2023-01-30 13:05", id="rb-at-lunch-if-open"),
    pytest.param("2023-01-30 13:35", id="rb-afternoon-first-group"),
    pytest.param("2023-01-31 09:05", id="second-day-if-closed"),
    pytest.param("2023-01-31 09:35", id="second-day-if-open"),
    pytest.param("2023-02-01 15:00", id="last-step"),
] + [
    pytest.param(int(s), id="random-step-%d" % s)
    for s in np.random.default_rng(20230130).choice(3 * 54, 5, replace=False)
]


@pytest.mark.parametrize("step", FUTURES_STEP_CASES)
def test_futures_breakout_close_and_day_range_match_the_minute_bars(world, futures, step):
    rec = futures["records"]
    if isinstance(step, str):
        rows = rec.index[rec["time"] == pd.Timestamp(step)]
        assert len(rows) == 1, "no step at %s" % step
        s = int(rows[0])
    else:
        s = step
    t = rec["time"].iloc[s]
    for code in FUTURES:
        close, day_range = expected_five_minutes(futures["bars"][code], t, s == 0, world["store"])
        got_close, got_range = rec["close:" + code].iloc[s], rec["day_range:" + code].iloc[s]
        assert same(got_close, close), (code, t, got_close, close)
        assert same(got_range, day_range) or abs(got_range - day_range) < 1e-9, (
            code,
            t,
            got_range,
            day_range,
        )


# ================================================= 2b. value_momentum: factor and indicator

VALUE_TARGETS = ("SH.600000", "SZ.000011", "SH.600020")
VALUE_BEGIN, VALUE_END = 20230124, 20230203  # across SZ.000011's suspension


def _value_plan(world):
    root = world["root"] / "value"
    args = ("run", EXAMPLES / "value_momentum.py", "--targets", ",".join(VALUE_TARGETS),
            *"--begin 2023-01-24 --end 2023-02-03 --param lookback=6".split(), *QUIET_LOCAL,
            "--out", root / "out")
    return {"value": (args, {"cache": root / "cache", "cwd": root})}


@pytest.fixture(scope="module")
def value_run(world, example_runs):
    ok(example_runs["value"].result())
    return pd.read_parquet(world["root"] / "value" / "out" / "results.parquet")


def five_minute_closes(bars, begin, end):
    """Close of every five-minute group (from each day's first minute) of the
    trading days begin..end: the last traded close up to the group's end; the
    run's first group shows none when it has no trade (nothing comes before it)."""
    closes = bars.loc[bars["volume"] > 0].set_index("t")["close"]
    start = pd.Timestamp(str(begin)) + pd.Timedelta(minutes=570)
    days = pd.read_parquet(bars.attrs["store"] / "calendar.parquet")["date"]
    ends = []
    for d in days[(days >= begin) & (days <= end)]:
        day = pd.Timestamp(str(d))
        minutes = [570 + 5 * k for k in range(1, 25)] + [780 + 5 * k for k in range(1, 25)]
        ends += [day + pd.Timedelta(minutes=m) for m in minutes]
    ends = pd.DatetimeIndex(ends)
    out = closes.reindex(closes.index.union(ends)).ffill().loc[ends].to_numpy().copy()
    if not ((closes.index > start) & (closes.index <= ends[0])).any():
        out[0] = np.nan
    return pd.Series(out, index=ends)


def test_value_momentum_reads_the_factor_of_the_day_and_its_indicator(world, value_run):
    from vornix.api.bpfactor._factors import get_factor_by_factor

    rec = value_run
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("VX_STORE_DIR", str(world["store"]))
        pe = get_factor_by_factor("pe", list(VALUE_TARGETS), VALUE_BEGIN, VALUE_END, 0)
    days = timestamps(pe["date"])
    for code in VALUE_TARGETS:
        bars = minute_bars(world["store"], code)
        bars.attrs["store"] = Path(world["store"])
        closes = five_minute_closes(bars, VALUE_BEGIN, VALUE_END)
        assert list(rec["time"]) == list(closes.index)
        # the factor day in force: the last one on or before the step's day
        k = np.searchsorted(days, rec["time"].dt.normalize(), side="right") - 1
        want_pe = np.where(k >= 0, pe[code][np.maximum(k, 0)], np.nan)
        np.testing.assert_array_equal(rec["pe:" + code].to_numpy(), want_pe)
        # momentum: last close / mean of the last six closes - 1, the first steps' from
        # closes before the run (the default look-back reaches the store's first day)
        first = int(pd.read_parquet(bars.attrs["store"] / "calendar.parquet")["date"].min())
        c = five_minute_closes(bars, first, VALUE_END).to_numpy()
        mean = pd.Series(c).rolling(6, min_periods=1).mean().to_numpy()
        np.testing.assert_allclose(rec["momentum:" + code].to_numpy(), (c / mean - 1)[-len(rec):],
                                   rtol=1e-9, atol=1e-12)


# ========================================================== 3. no look-ahead, whole stack

LOOK_SOURCE = """\
import numpy as np

TIME, HIGH, CLOSE = 1, 3, 5


def init(context):
    context.series = {"day": context.reg_bars("day"), "week": context.reg_bars("week")}


def on_data(context):
    n = len(context.targets)
    for name, bars in context.series.items():
        for fill_up in (True, False):
            w = bars.values(2, fill_up=fill_up).reshape(n, 2, -1)
            tag = name + ("" if fill_up else "_traded")
            for row in (0, 1):
                context.record("%s%d_time" % (tag, row), w[:, row, TIME])
                context.record("%s%d_high" % (tag, row), w[:, row, HIGH])
                context.record("%s%d_close" % (tag, row), w[:, row, CLOSE])
"""
LOOK_TARGETS = "SH.600000,SZ.000011"
LOOK_SHORT_END = "2023-01-25"  # a Wednesday, inside the suspension of SZ.000011
LOOK_CUT = pd.Timestamp("2023-01-31 10:42")  # bars after it are changed in a store copy


def scaled_copy(src, dst, codes, cut):
    """A copy of the store at `src` whose prices after `cut` are ten times higher:
    minute bars after the cut, day bars of later days, and the cut day's day bar
    formed again from its changed minutes. Written through the store, so that the
    copy's generation moves on."""
    shutil.copytree(src, dst)
    store = HistoryStore(dst)
    cut_day = pd.Timestamp(cut.date())
    with store.batch():
        for code in codes:
            minute = store.read_bars(code, "min")
            t = timestamps(minute["time"])
            after = np.asarray(t > cut)
            assert after.any() and not after.all()
            for f in PRICES:
                minute[f] = np.where(after, minute[f] * 10.0, minute[f])
            store.write_bars(code, "min", minute)

            day = store.read_bars(code, "day")
            day_t = timestamps(day["time"]).normalize()
            later = np.asarray(day_t > cut_day)
            for f in PRICES:
                day[f] = np.where(later, day[f] * 10.0, day[f])
            of_cut_day = np.asarray(t.normalize() == cut_day) & (minute["volume"] > 0)
            assert of_cut_day.any()
            i = int(np.flatnonzero(np.asarray(day_t == cut_day))[0])
            day["high"][i] = minute["high"][of_cut_day].max()
            day["low"][i] = minute["low"][of_cut_day].min()
            day["close"][i] = minute["close"][of_cut_day][-1]
            store.write_bars(code, "day", day)


def _look_plan(world):
    root = world["root"] / "look"
    strategy = write_strategy(root, "look.py", LOOK_SOURCE)
    changed = root / "changed-store"
    scaled_copy(world["store"], changed, LOOK_TARGETS.split(","), LOOK_CUT)
    # one cache for the three runs (two of them at once): a stale or half-written entry
    # would show
    cache = root / "cache"
    calls = {}
    for name, end, store in (("full", "2023-02-03", None), ("short", LOOK_SHORT_END, None),
                             ("changed", "2023-02-03", changed)):
        flags = "--targets %s --frequency min --begin 2023-01-18 --end %s" % (LOOK_TARGETS, end)
        args = ("run", strategy, *flags.split(), *QUIET_LOCAL, "--out", root / name)
        calls["look-" + name] = (args, {"store": store, "cache": cache, "cwd": root})
    return calls


@pytest.fixture(scope="module")
def look_ahead(world, example_runs):
    out = {}
    for name in ("full", "short", "changed"):
        ok(example_runs["look-" + name].result())
        out[name] = pd.read_parquet(world["root"] / "look" / name / "results.parquet")
    return out


def test_a_run_that_ends_earlier_records_the_same_steps(look_ahead):
    full, short = look_ahead["full"], look_ahead["short"]
    end = pd.Timestamp(LOOK_SHORT_END) + pd.Timedelta(days=1)
    assert len(short) == int((full["time"] < end).sum()) == 6 * 240
    # time, then (day, week) x (fill-up, traded only) x 2 rows x 3 fields x 2 targets
    assert len(short.columns) == 1 + 2 * 2 * 2 * 3 * 2
    pd.testing.assert_frame_equal(short, full.iloc[: len(short)], check_exact=True)


def test_bars_changed_after_a_step_are_not_seen_at_it(look_ahead):
    full, changed = look_ahead["full"], look_ahead["changed"]
    assert (full["time"] == changed["time"]).all()
    upto = (full["time"] <= LOOK_CUT).to_numpy()
    pd.testing.assert_frame_equal(changed[upto], full[upto], check_exact=True)
    # and the change is seen after the cut, in the day and the week windows alike
    later = ~upto
    for prefix in ("day1_close", "week1_close", "day_traded1_close", "week_traded1_close"):
        for code in LOOK_TARGETS.split(","):
            col = "%s:%s" % (prefix, code)
            diff = ~np.isclose(changed.loc[later, col], full.loc[later, col], equal_nan=True)
            assert diff.any(), col


# ==================================================== 4. failures change nothing

WEEK_INIT = "def init(context):\n    context.week = context.reg_bars('week')\n"
ON_DATA = "\n\ndef on_data(context):\n    context.record('x', 1.0)\n"
PARAMS = "PARAMS = {'lookback': 12}\n"
FAIL_FLAGS = "--targets SH.600000,SH.600020 --frequency min --begin 2023-02-06 --end 2023-02-10"


def _failure_cases():
    return [
        pytest.param(
            "def init(context)\n    pass\n" + ON_DATA,
            [],
            ["cannot be compiled", "line 1"],
            id="syntax-error",
        ),
        pytest.param(
            "def on_data(context):\n    pass\n", [], ["has no init(context) function"], id="no-init"
        ),
        pytest.param(
            WEEK_INIT + ON_DATA,
            ["--targets", "SH.999999"],
            ["unknown target", "SH.999999"],
            id="unknown-target",
        ),
        pytest.param(
            WEEK_INIT + "    context.minutes = context.reg_bars('min')\n" + ON_DATA,
            ["--frequency", "day"],
            ["failed in init", "intraday", "main frequency is day"],
            id="finer-than-main",
        ),
        pytest.param(
            WEEK_INIT + ON_DATA,
            ["--end", "{year_after_last_day}"],
            ["outside the bar store", "{year_after_last_day_int}", "{last_day}"],
            id="dates-outside-store",
        ),
        pytest.param(
            WEEK_INIT + ON_DATA,
            ["--core", "127.0.0.1:{free_port}"],
            ["cannot reach the trading core", "127.0.0.1:{free_port}"],
            id="core-unreachable",
        ),
        pytest.param(
            WEEK_INIT + "    context.week.values(1)\n" + ON_DATA,
            [],
            ["failed in init", "no current step"],
            id="read-in-init",
        ),
        pytest.param(
            PARAMS + WEEK_INIT + ON_DATA,
            ["--param", "nosuch=1"],
            ["unknown parameter nosuch"],
            id="unknown-param",
        ),
    ]


@pytest.mark.parametrize("source, extra, words", _failure_cases())
def test_a_failing_run_reports_one_error_and_changes_nothing(
    world, weekly, tmp_path, source, extra, words
):
    last = int(world["market"].days[-1])
    fill = {
        "year_after_last_day": "%d-%02d-%02d" % (last // 10000 + 1, last // 100 % 100, last % 100),
        "year_after_last_day_int": str(last + 10000),
        "last_day": str(last),
        "free_port": str(free_port()),
    }
    extra = [e.format(**fill) for e in extra]
    words = [w.format(**fill) for w in words]
    strategy = write_strategy(tmp_path / "strategies", "broken.py", source)
    # a cache that already holds entries: those of the weekly_trend run
    cache = tmp_path / "cache"
    shutil.copytree(weekly["cache"], cache, copy_function=shutil.copy2)
    assert listing(mat_folder(cache)), "the weekly_trend run left no matrix-cache entry"
    store_before, mat_before = listing(world["store"]), listing(mat_folder(cache))
    cwd, out = tmp_path / "cwd", tmp_path / "out"

    # the case's own flags last: they override the common ones
    proc = vornix(
        world,
        "run",
        strategy,
        *FAIL_FLAGS.split(),
        *QUIET_LOCAL,
        "--out",
        out,
        *extra,
        cache=cache,
        cwd=cwd,
    )

    assert proc.returncode == 1, proc.stderr
    errors = [line for line in proc.stderr.splitlines() if line.startswith("vornix: error:")]
    assert len(errors) == 1, proc.stderr
    message = proc.stderr[proc.stderr.index("vornix: error:") :]
    for word in words:
        assert word in message, (word, proc.stderr)
    assert not VORNIX_FRAME.search(proc.stderr), proc.stderr
    assert not out.exists() and not (cwd / "vornix-results").exists()
    assert listing(world["store"]) == store_before
    assert listing(mat_folder(cache)) == mat_before


OTHER_WRITER_SOURCE = """\
import os


def init(context):
    context.reg_bars("day")
    context.reg_bars("min", 5)
    # meanwhile another run sharing the cache (a sweep) writes an entry of its own
    with open(os.path.join(context.env.root_sub_dir("mat"), "another_run.mat"), "wb") as fh:
        fh.write(b"the entry of another run")
    raise RuntimeError("init gives up")


def on_data(context):
    pass
"""


def test_a_failing_run_removes_only_the_cache_entries_it_wrote(world, tmp_path):
    strategy = write_strategy(tmp_path / "strategies", "gives_up.py", OTHER_WRITER_SOURCE)
    cache, cwd = tmp_path / "cache", tmp_path / "cwd"
    proc = vornix(world, "run", strategy, *FAIL_FLAGS.split(), *QUIET_LOCAL, "--out",
                  tmp_path / "out", cache=cache, cwd=cwd)
    assert proc.returncode == 1 and "init gives up" in proc.stderr, proc.stderr
    assert list(listing(mat_folder(cache))) == ["another_run.mat"]


# ================================================ 5. an error in the strategy's on_data

RAISING_SOURCE = """\
def init(context):
    context.week = context.reg_bars("week")


def on_data(context):
    context.record("step", context.step)
    if context.step == 7:
        raise ZeroDivisionError("seven is too many")
"""


def test_an_error_in_on_data_shows_the_strategy_frame_the_step_and_a_snapshot(world, tmp_path):
    strategy = write_strategy(tmp_path, "raising.py", RAISING_SOURCE)
    flags = "--targets SH.600000 --frequency min --begin 2023-01-09 --end 2023-01-10"
    out = tmp_path / "out"  # the folder of an earlier run: replaced as a whole
    out.mkdir()
    (out / "trades.csv").write_text("an earlier run's trades\n")
    proc = vornix(
        world, "run", strategy, *flags.split(), *QUIET_LOCAL, "--out", out, cache=tmp_path / "cache",
        cwd=tmp_path
    )
    assert proc.returncode == 1
    # the steps before the failing one, marked failed with the error
    assert sorted(p.name for p in out.iterdir()) == [".vornix-results", "chart.png", "results.csv",
                                                     "results.parquet", "summary.json"]
    assert pd.read_parquet(out / "results.parquet")["step"].tolist() == list(range(7))
    summary = json.loads((out / "summary.json").read_text())
    assert summary["status"] == "failed" and summary["step"] == 7
    assert "ZeroDivisionError: seven is too many" in summary["error"]
    assert "results of the 7 steps before it: %s (marked failed)" % out in proc.stderr
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".out.")]  # no temporary folder left
    err = proc.stderr
    assert sum(line.startswith("vornix: error:") for line in err.splitlines()) == 1, err
    assert 'File "%s", line 8, in on_data' % strategy in err
    assert "ZeroDivisionError: seven is too many" in err
    assert not VORNIX_FRAME.search(err), err
    assert "at step 7 (2023-01-09 09:38:00)" in err
    found = re.search(r"^error snapshot: (.+)$", err, re.M)
    assert found and err.count("snapshot") == 1 and err.isascii(), err
    snapshot = Path(found.group(1))
    assert snapshot.is_file() and snapshot.suffix == ".mat"
    mat = scipy.io.loadmat(snapshot)
    assert int(np.asarray(mat["SimCurBarFresh"]).ravel()[0]) == 7  # the failing step


@pytest.mark.parametrize("out", ["a file", "a folder of other files"])
def test_out_is_checked_before_the_first_step(world, tmp_path, out):
    marker = tmp_path / "init ran"
    strategy = write_strategy(tmp_path, "marks.py", "def init(context):\n    open(%r, 'w').close()\n\n"
                              "def on_data(context):\n    pass\n" % str(marker))
    dest = tmp_path / "dest"
    if out == "a file":
        dest.write_text("keep me")
    else:
        dest.mkdir()
        (dest / "notes.txt").write_text("keep me")
    proc = vornix(world, "run", strategy, *FAIL_FLAGS.split(), *QUIET_LOCAL, "--out", dest,
                  cache=tmp_path / "cache", cwd=tmp_path)
    assert proc.returncode == 1 and "the results folder %s" % dest in proc.stderr, proc.stderr
    assert not marker.exists() and "keep me" in (dest if out == "a file" else dest / "notes.txt").read_text()


# ============================================================ 6. parameters and settings

SETTINGS_SOURCE = """\
RUN = {
    "targets": ["SH.600000", "SZ.000011"],
    "frequency": "day",
    "count": 1,
    "begin": "2023-01-03",
    "end": "2023-03-13",
    "adjust": "none",
}
PARAMS = {"lookback": 12, "scale": 1.5, "label": "a"}


def init(context):
    pass


def on_data(context):
    p = context.params
    context.record("lookback", p["lookback"])
    context.record("lookback_is_int", type(p["lookback"]) is int)
    context.record("scale", p["scale"])
    context.record("scale_is_float", type(p["scale"]) is float)
    context.record("label_is_a", p["label"] == "a")
    context.record("seen", {code: 1.0 for code in context.targets})
"""


def test_flags_override_run_and_params_keep_the_type_of_their_default(world, tmp_path):
    strategy = write_strategy(tmp_path, "settings.py", SETTINGS_SOURCE)
    out = tmp_path / "out"
    # targets (in a vendor's form) and begin from the flags; frequency, count, end and
    # adjust from RUN; the store from --store, over the setting
    flags = "--targets 600020.SH --begin 2023-02-20 --param lookback=3 --param scale=2"
    ok(
        vornix(
            world,
            "run",
            strategy,
            *flags.split(),
            *QUIET_LOCAL,
            "--out",
            out,
            "--store",
            world["store"],
            store=tmp_path / "no-store",
            cache=tmp_path / "cache",
            cwd=tmp_path,
        )
    )
    rec = pd.read_parquet(out / "results.parquet")
    days = [
        d
        for d in pd.read_parquet(world["store"] / "calendar.parquet")["date"]
        if 20230220 <= d <= 20230313
    ]
    expected = [pd.Timestamp(str(d)) + pd.Timedelta(hours=15) for d in days]
    assert list(rec["time"]) == expected
    assert list(rec.columns) == [
        "time",
        "lookback",
        "lookback_is_int",
        "scale",
        "scale_is_float",
        "label_is_a",
        "seen:SH.600020",
    ]
    assert (rec["lookback"] == 3).all() and (rec["lookback_is_int"] == 1).all()
    assert (rec["scale"] == 2.0).all() and (rec["scale_is_float"] == 1).all()
    assert (rec["label_is_a"] == 1).all()  # a parameter not given keeps its default


# ==================================================================== 7. vornix demo


def test_demo_writes_the_sample_market_and_a_results_folder(world, tmp_path):
    store = tmp_path / "new-store"  # does not exist yet
    cwd = tmp_path / "cwd"
    proc = ok(
        vornix(world, "demo", "--core", "local", store=store, cache=tmp_path / "cache", cwd=cwd)
    )
    out = proc.stdout
    assert "is empty: writing the sample market" in out
    assert len(HistoryStore(store).target_table()) > 0
    assert re.search(r"^vornix run weekly_trend: \d+ steps of min x1 ", out, re.M), out
    assert "registrations:" in out
    assert re.search(r"^\s+week\s+x1\b.*bars per target", out, re.M), out
    assert re.search(r"\(\d+(\.\d+)? us per step\)", out), out
    found = re.search(r"^results: (.+)$", out, re.M)
    assert found, out
    folder = Path(found.group(1))
    assert folder.parent.resolve() == (cwd / "vornix-results").resolve()
    for name in ("results.parquet", "results.csv", "chart.png"):
        assert (folder / name).stat().st_size > 0
    assert (folder / "chart.png").read_bytes().startswith(PNG_MAGIC)
