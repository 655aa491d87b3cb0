"""Five-minute bars as a target's stored base: a vendor file stamped at bar start,
with night sessions across a weekend and the Spring Festival break, imported with
one command, served on its own grid and combined into 15-minute and day bars by a
run; and what is refused (counts that are no whole number of base bars, targets of
mixed base sizes, sessions that cut a base bar).

Expectations come from session_reference (day by day with pandas)."""

import datetime as dt
import os

import numpy as np
import pandas as pd
import pytest
from session_reference import as_datetimes, combine, random_bars, session_bars, to_time_line

from vornix.api.history import _history as h
from vornix.api.history._import import DataImportError, import_csv
from vornix.api.subscribe import _subscribe, _windows
from vornix.runner import prepare_run
from vxtest.datacli import cli, write
from vxtest.runs import fresh_run_state

DAYS = [dt.date(2023, 1, d) for d in (18, 19, 20, 30, 31)] + [dt.date(2023, 2, d) for d in (1, 2, 3, 6, 7)]
SESSIONS = [(1260, 1380, -1), (540, 615, 0), (630, 690, 0), (810, 900, 0)]
SESSIONS_CSV = ("calendar,open,close,day_offset\nSHFE,21:00,23:00,-1\nSHFE,09:00,10:15,0\n"
                "SHFE,10:30,11:30,0\nSHFE,13:30,15:00,0\n")
RB, HC = "SHF.RB5", "SHF.HC"
FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")


def five_minute_bars():
    return random_bars(session_bars(DAYS, SESSIONS, step=5), seed=5)


def vendor_file(bars, symbol="rb5.SHFE", minutes=5):
    """symbol, datetime stamped at bar start, prices, volume, amount, oi."""
    start = bars["end"] - pd.Timedelta(minutes=minutes)
    return pd.DataFrame({
        "symbol": symbol, "datetime": start.dt.strftime("%Y-%m-%d %H:%M:%S"),
        "open": bars["open"], "high": bars["high"], "low": bars["low"], "close": bars["close"],
        "volume": bars["volume"], "amount": bars["turnover"], "oi": bars["open_interest"]}).to_csv(index=False)


@pytest.fixture(scope="module")
def base_store(tmp_path_factory):
    folder = tmp_path_factory.mktemp("base")
    store = folder / "store"
    days = "date\n" + "".join(d.strftime("%Y%m%d\n") for d in DAYS)
    instruments = "symbol,type,list_date,calendar\n%s,future,20230101,SHFE\n%s,future,20230101,SHFE\n" % (RB, HC)
    for kind, text in (("sessions", SESSIONS_CSV), ("calendar", days), ("instruments", instruments)):
        assert cli("import", kind, write(folder, kind + ".csv", text), store=store) == 0
    path = write(folder, "rb_5m.csv", vendor_file(five_minute_bars()))
    assert cli("import", "bars-5m", path, "--stamp", "start", "--derive-day", store=store) == 0
    hc = vendor_file(random_bars(session_bars(DAYS, SESSIONS), seed=1), "hc.SHFE", minutes=1)
    assert cli("import", "bars-1m", write(folder, "hc.csv", hc), "--stamp", "start", "--derive-day",
               store=store) == 0
    return store


@pytest.fixture
def base(base_store, monkeypatch):
    monkeypatch.setenv("VX_STORE_DIR", str(base_store))
    return base_store


def fetch(targets, freq="min"):
    return h.get_k_data_multi({"targets": targets, "frequency": freq, "freq_num": 1, "begin_date": 20230101,
                               "end_date": 20230228, "filled_up": False, "fq_type": 0, "need_show_ui_tip": False})


def test_five_minute_bars_are_served_on_their_own_grid(base):
    want = five_minute_bars()
    r = fetch([RB])
    assert np.array_equal(as_datetimes(r["TimeLine"]), want["end"].to_numpy().astype("datetime64[s]"))
    assert np.array_equal(r["DayPos"], want["pos"].to_numpy())
    assert r["TradeFreshPos"].tolist() == np.flatnonzero(np.r_[True, np.diff(want["pos"]) != 0]).tolist()
    tl, pos = h.get_trading_time([RB], "min", 20230101, 20230228)
    assert np.array_equal(tl, r["TimeLine"]) and np.array_equal(pos, r["DayPos"])
    for f, name in enumerate(FIELDS):
        np.testing.assert_array_equal(r["KArray"][f], want[name].to_numpy(float), err_msg=name)
    day = combine(want, "day")
    d = fetch([RB], freq="day")
    for f, name in enumerate(FIELDS):
        np.testing.assert_allclose(d["KArray"][f], day[name].to_numpy(float), rtol=1e-12, err_msg=name)
    store = h.open_store(base)
    assert os.path.exists(os.path.join(base, "bars", "5m", RB + ".parquet"))
    assert not os.path.exists(os.path.join(base, "bars", "1m", RB + ".parquet"))
    assert "5-minute base bars: %s" % RB in store.summary()
    # counted and listed as five-minute bars, not as minutes
    assert "5-minute bars: %d in 1 file(s)" % len(want) in store.summary()
    line = next(x for x in store.target_lines() if x.startswith(RB))
    assert "5-minute bars %d from %s" % (len(want), want["end"].iloc[0].strftime("%Y-%m-%d %H:%M")) in line


def test_fifteen_minute_and_day_bars_of_a_run(base, monkeypatch, tmp_path):
    """A run on 15-minute bars (3 base bars, counted from each trading day's first):
    its steps and bars, and the day bars, equal the reference groups."""
    want = five_minute_bars()
    periods = h.get_minute_periods([RB], 15)
    assert periods == 3
    want["group"] = want.groupby("pos").cumcount() // periods
    fifteen = combine(want.assign(g=list(zip(want["pos"], want["group"]))), "g")
    ends = want.groupby(["pos", "group"])["end"].last().to_numpy()
    with fresh_run_state(monkeypatch, tmp_path / "core-cache"):
        main_idx = prepare_run([RB], "min", periods, 20230118, 20230207)
        from vornix.tframe import sysstate

        steps = np.array(sysstate.vr.g_VornixDataValueFresh[0])
        assert np.array_equal(as_datetimes(steps), ends.astype("datetime64[s]"))
        day_idx = _subscribe.reg_k_data("day", 1)
        last = steps.size - 1
        bars = _windows.get_reg_k_data_values(main_idx, last, steps.size, True)
        days = _windows.get_reg_k_data_values(day_idx, last, len(DAYS), True)
    for k, name in enumerate(FIELDS):
        np.testing.assert_allclose(bars[:, 2 + k], fifteen[name].to_numpy(float), rtol=1e-12, err_msg=name)
        np.testing.assert_allclose(days[:, 2 + k], combine(want, "day")[name].to_numpy(float), rtol=1e-12)
    # the first bar of Monday 6 February: the first three five-minute bars of Friday's night
    monday = want[(want["day"] == pd.Timestamp("2023-02-06")) & (want["group"] == 0)]
    assert monday["end"].iloc[-1] == pd.Timestamp("2023-02-03 21:15")


def test_a_run_counts_minutes_on_five_minute_targets(base, monkeypatch, tmp_path):
    """`count` of a "min" run is minutes also on five-minute targets: 15 steps every
    three base bars; 7 minutes are refused, naming the base."""
    from types import SimpleNamespace

    from vornix.runner import run

    want = five_minute_bars()
    want["group"] = want.groupby("pos").cumcount() // 3
    ends = want.groupby(["pos", "group"])["end"].last().to_numpy().astype("datetime64[ns]")
    strategy = SimpleNamespace(init=lambda context: None, on_data=lambda context: None)
    with fresh_run_state(monkeypatch, tmp_path / "core-cache"):
        result = run(strategy, targets=[RB], frequency="min", count=15, begin=20230118,
                     end=20230207, quiet=True, out=False)
    assert np.array_equal(result.records["time"].to_numpy(), ends)
    main = result.registrations[0]
    assert (main.frequency, main.count, main.main) == ("min", 15, True)
    assert "min x15 " in result.summary() and "min    x15" in result.summary()
    with fresh_run_state(monkeypatch, tmp_path / "core-cache-2"):
        with pytest.raises(ValueError, match="5-minute base bars"):
            run(strategy, targets=[RB], frequency="min", count=7, begin=20230118, end=20230207,
                quiet=True, out=False)


@pytest.mark.parametrize("targets, minutes, message", [
    ([RB], 7, r"bars of 7 minutes of SHF.RB5 cannot be combined from their 5-minute base bars: ask for a "
              r"multiple of 5"),
    ([RB], 0, "a whole number of minutes, at least 1 .* multiple of 5"),
    ([RB, HC], 15, r"mix base bar sizes \(SHF.RB5 5 min, SHF.HC 1 min\)"),
])
def test_minute_counts_that_are_no_whole_number_of_base_bars(base, targets, minutes, message):
    with pytest.raises(ValueError, match=message):
        h.get_minute_periods(targets, minutes)
    assert h.get_minute_periods([HC], 7) == 7


def test_targets_of_mixed_base_sizes_are_refused(base):
    with pytest.raises(ValueError, match="mix base bar sizes"):
        fetch([RB, HC])
    with pytest.raises(ValueError, match="mix base bar sizes"):
        h.get_trading_time([HC, RB], "min", 20230101, 20230228)
    with pytest.raises(ValueError, match="mix base bar sizes"):
        prepare_run([RB, HC], "min", 1, 20230118, 20230207)
    # day bars do not mix minutes
    assert fetch([RB, HC], freq="day")["TimeLine"].size == len(DAYS)


@pytest.mark.parametrize("kind, text, message", [
    ("bars-1m", vendor_file(five_minute_bars().head(3)), "SHF.RB5 has 5-minute base bars in the store"),
    ("bars-1m", vendor_file(five_minute_bars(), "hc.SHFE"),
     "lies on a 5-minute grid .* import them as bars-5m"),
    ("bars-30m", vendor_file(five_minute_bars().head(3), "hc.SHFE"),
     "session 09:00-10:15 of calendar SHFE is not a whole number of 30-minute bars"),
    ("bars-5m", vendor_file(five_minute_bars().head(3)).replace(":05:00", ":06:00"),
     "is not a bar end time of its calendar's trading sessions"),
    ("sessions", SESSIONS_CSV.replace("10:15", "10:12"), "its targets have 5-minute base bars"),
])
def test_refused_imports_change_nothing(base, tmp_path, kind, text, message):
    store = h.open_store(base)
    generation = store.generation
    options = {"stamp": "start"} if kind.startswith("bars") else {"force": True}
    with pytest.raises(DataImportError, match=message):
        import_csv(store, kind, write(tmp_path, "f.csv", text), **options)
    assert h.open_store(base).generation == generation


def test_the_store_check_covers_the_base_bar_folders(base_store, tmp_path):
    """`vornix data info --check` reads the files of bars/5m too, and counts the
    temporary files an interrupted writer left there."""
    import shutil

    from vornix.api.history._store import check_store

    copy = tmp_path / "store"
    shutil.copytree(base_store, copy)
    assert check_store(copy)[0]
    (copy / "bars" / "5m" / (RB + ".parquet")).write_bytes(b"not parquet")
    (copy / "bars" / "5m" / ".tmp-left-behind.parquet").write_bytes(b"half")
    ok, lines = check_store(copy)
    text = "\n".join(lines)
    assert not ok and RB in text and "temporary" in text, text


def test_a_store_cut_inside_a_fifteen_minute_bar(base, monkeypatch, tmp_path):
    """The store as it stood at Friday 21:10, inside the first 15-minute bar of
    Monday's trading day: that bar and the day bar in progress hold the five-minute
    bars up to the cut only, and the service serves no bar after it."""
    from vornix.tframe import sysstate

    want = five_minute_bars()
    cut = pd.Timestamp("2023-02-03 21:10")
    cut_value = float(to_time_line([cut])[0])
    monkeypatch.setenv("VX_STORE_CUT", repr(cut_value))
    upto = want[(want["day"] == pd.Timestamp("2023-02-06")) & (want["end"] <= cut)]
    assert len(upto) == 2
    expect = combine(upto.assign(g=0), "g").iloc[0]
    with fresh_run_state(monkeypatch, tmp_path / "core-cache"):
        main_idx = prepare_run([RB], "min", 3, 20230118, 20230207)
        steps = as_datetimes(np.array(sysstate.vr.g_VornixDataValueFresh[0]))
        day_idx = _subscribe.reg_k_data("day", 1)
        s = int(np.searchsorted(steps, np.datetime64("2023-02-03T21:15")))
        assert steps[s] == np.datetime64("2023-02-03T21:15")
        for idx, what in ((main_idx, "15 minutes"), (day_idx, "day")):
            row = _windows.get_reg_k_data_values(idx, s, 1, True)[0]
            for k, name in enumerate(FIELDS):
                np.testing.assert_allclose(row[2 + k], expect[name], rtol=1e-12,
                                           err_msg="%s %s" % (what, name))
    m = fetch([RB])
    after = m["TimeLine"] > cut_value
    assert after.any() and np.isnan(m["KArray"][:, after]).all()
    assert not np.isnan(m["KArray"][:, ~after]).any()


# ------------------------------------------------- contracts, main table, continuous series

HANDOVER = 4  # RB2310's open interest passes RB2305's at the close of DAYS[4]


def contract_files(folder, cut=None):
    """Five-minute vendor files of RB2305 and RB2310 over DAYS (night sessions first),
    their open interest crossing at the last bar of DAYS[HANDOVER]; bars of the days
    after DAYS[cut] left out.  Returns {contract: (path, frame of the bars)}."""
    out = {}
    for k, (code, seed) in enumerate((("RB2305", 11), ("RB2310", 12))):
        bars = random_bars(session_bars(DAYS, SESSIONS, step=5), seed=seed, zero_share=0.0)
        day = bars["pos"].to_numpy()
        last = np.r_[day[1:] != day[:-1], True]
        near, far = 90000 - 5000 * day, 20000 + 15000 * day
        oi = np.where(day < HANDOVER, near, far) if k == 0 else np.where(day < HANDOVER, far, near)
        oi = np.where(last & (day == HANDOVER), near[0] + (k * 2 - 1) * 1000, oi)
        bars["open_interest"] = oi.astype(float)
        if cut is not None:
            bars = bars[bars["pos"] <= cut]
        out[code] = (write(folder, code + ".csv", vendor_file(bars, code.lower() + ".SHF")), bars)
    return out


def contract_store(folder, cut=None):
    store = folder / "store"
    days = "date\n" + "".join(d.strftime("%Y%m%d\n") for d in DAYS)
    instruments = ("symbol,type,multiplier,min_move,list_date,delist_date,calendar,margin_rate\n"
                   "SHF.RB2305,future,10,1,20230101,20230515,SHFE,0.09\n"
                   "SHF.RB2310,future,10,1,20230101,20231016,SHFE,0.09\n")
    for kind, text in (("sessions", SESSIONS_CSV), ("calendar", days), ("instruments", instruments)):
        assert cli("import", kind, write(folder, kind + ".csv", text), store=store) == 0
    files = contract_files(folder, cut)
    for code, (path, _) in files.items():
        assert cli("import", "bars-5m", path, "--stamp", "start", "--target", "SHF." + code,
                   "--derive-day", store=store) == 0
    return store, files


@pytest.mark.parametrize("cut", [None, 3, HANDOVER, HANDOVER + 1])
def test_main_contracts_and_the_continuous_series_from_vendor_files(tmp_path, cut):
    """Imported five-minute contract files (night sessions, a roll) make the main table
    by open interest and the continuous series stitched from them; a store that ends
    after day `cut` has the same table and series up to there (no look-ahead)."""
    store, files = contract_store(tmp_path, cut)
    assert cli("derive-main", "SHF.RB", store=store) == 0
    rows = pd.read_parquet(store / "main_contracts.parquet")
    days = [int(d.strftime("%Y%m%d")) for d in DAYS[: len(DAYS) if cut is None else cut + 1]]
    want = ["RB2305" if i <= HANDOVER else "RB2310" for i in range(len(days))]
    assert rows["target"].tolist() == ["SHF.RB00"] * len(days)
    assert rows["date"].tolist() == days and rows["contract"].tolist() == want
    assert cli("derive-continuous", "SHF.RB00", store=store) == 0
    # the stitch from the vendor files: each trading day the bars of its main contract
    parts = [files[c][1].query("pos == @i") for i, c in enumerate(want)]
    stitch = pd.concat(parts)
    got = pd.read_parquet(store / "bars" / "5m" / "SHF.RB00.parquet")
    assert list(as_datetimes(got["time"].to_numpy())) == list(stitch["end"].to_numpy())
    for f in FIELDS:
        np.testing.assert_allclose(got[f].to_numpy(), stitch[f].to_numpy(), rtol=0, atol=1e-9)
    day = pd.read_parquet(store / "bars" / "1d" / "SHF.RB00.parquet")
    assert day["close"].tolist() == [p["close"].iloc[-1] for p in parts]
    inst = pd.read_parquet(store / "instruments.parquet").set_index("code")
    assert inst.loc["RB00", ["type", "multiplier", "margin_rate", "list_date"]].tolist() == [
        "future", 10.0, 0.09, days[0]]


def test_what_a_continuous_series_misses_is_named(tmp_path):
    """import main stitches the continuous series in the same step when every contract
    it names has bars, or imports nothing and names what is missing: a day without a
    main contract, a main contract without bars on a day it is main; a table naming a
    contract that is no instrument goes in unstitched, and derive-continuous names it."""
    from vornix.api.history._futures import derive_continuous
    from vornix.api.history._history import HistoryStore

    store, _ = contract_store(tmp_path, cut=6)
    assert cli("import", "instruments", write(tmp_path, "i.csv", "symbol,type,list_date,calendar\n"
                                              "SHF.RB00,future,20230101,SHFE\n"), store=store) == 0

    def table(contract, skip=None):
        return "market,code,date,contract\n" + "".join(
            "SHF,RB00,%s,%s\n" % (d.strftime("%Y%m%d"), "RB2305" if i <= HANDOVER else contract)
            for i, d in enumerate(DAYS) if i != skip)

    for text, message in ((table("RB2310", skip=2), "no contract for 20230120 .a gap"),
                          (table("RB2310"), "no 5-minute bars of the main contract on 3 day.s. it "
                                            "is main: SHF.RB2310 on 20230203")):
        with pytest.raises(ValueError, match=message):
            import_csv(HistoryStore(store), "main", write(tmp_path, "m.csv", text))
        assert not (store / "main_contracts.parquet").exists()
        assert not (store / "bars" / "5m" / "SHF.RB00.parquet").exists()
    said = import_csv(HistoryStore(store), "main", write(tmp_path, "m.csv", table("RB2401")))
    assert "SHF.RB00 not stitched: SHF.RB2401 without bars" in said
    with pytest.raises(ValueError, match="names SHF.RB2401, not an instrument"):
        derive_continuous(HistoryStore(store), "SHF.RB00")
    assert not (store / "bars" / "5m" / "SHF.RB00.parquet").exists()
