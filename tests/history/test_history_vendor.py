"""Vendor files into the bar store: symbol columns, column names, bar-start stamps,
opening-auction bars, volumes in lots, Parquet, day bars from minutes, and the
importer's faults around calendars, sessions and listing dates.

Expectations are computed here with pandas from the vendor rows as a user reads the
rules of docs/data-format.md, and compared with what the history service serves."""

import os

import numpy as np
import pandas as pd
import pytest

from vornix.api.history import _history as h
from vornix.api.history._import import DataImportError, derive_day, import_csv
from vornix.tframe.sysdefine import GlobalDefine as gv
from vxtest.datacli import cli, write

DAYS = ["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"]
SESSIONS = "calendar,open,close\nSSE,09:30:00,11:30:00\nSSE,13:00:00,15:00:00\n"
INSTRUMENTS = (
    "symbol,type,list_date,delist_date,calendar,name\n"
    "000001.XSHG,index,20240102,,SSE,Composite\n"
    "600000.SH,stock,20240102,,SSE,Bank\n"
    "SZ000002,stock,20240103,20240104,SSE,Listed late\n"
    "rb2405.SHFE,future,20240102,,SSE,Rebar\n"
    "510300.XSHG,fund,20240102,,SSE,Fund\n"
)
EPOCH = np.datetime64("1970-01-01T00:00", "m")
DATENUM_1970 = 719529


@pytest.fixture
def vendor_store(tmp_path, monkeypatch):
    """A store made by the CLI: sessions with seconds, four trading days, instruments
    named by symbols (an index among them)."""
    store = tmp_path / "store"
    monkeypatch.setenv("VX_STORE_DIR", str(store))
    days = "date\n" + "".join(d + "\n" for d in DAYS)
    for kind, text in (("sessions", SESSIONS), ("calendar", days), ("instruments", INSTRUMENTS)):
        assert cli("import", kind, write(tmp_path, kind + ".csv", text), store=store) == 0
    return store


def session_minutes(day, stamp="end"):
    """The 240 bar times of a day as datetime64[m], at bar end or bar start."""
    first = np.datetime64(day + "T09:30", "m")
    minutes = np.r_[np.arange(1, 121), np.arange(211, 331)].astype("timedelta64[m]")
    return first + minutes - (np.timedelta64(1, "m") if stamp == "start" else np.timedelta64(0, "m"))


def vendor_minutes(symbol, seed, stamp, auction_at=None, days=DAYS):
    """A vendor frame: symbol, dt (text), open, close, high, low, vol (lots), amount;
    a zero-volume 14:59 bar every day; an opening-auction bar at `auction_at`."""
    rng = np.random.default_rng(seed)
    rows = []
    for day in days:
        times = list(session_minutes(day, stamp))
        if auction_at:
            times.insert(0, np.datetime64(day + "T" + auction_at, "m"))
        for t in times:
            close = round(10 + rng.normal(0, 0.5), 2)
            open_ = round(close + rng.normal(0, 0.05), 2)
            hi, lo = max(open_, close) + 0.03, min(open_, close) - 0.03
            vol = 0 if str(t).endswith("14:59") and stamp == "end" else int(rng.integers(1, 50))
            rows.append((symbol, str(t).replace("T", " ") + ":00", open_, close, round(hi, 2), round(lo, 2),
                         vol, round(vol * 100 * close, 2)))
    return pd.DataFrame(rows, columns=["symbol", "dt", "open", "close", "high", "low", "vol", "amount"])


def expected_bars(frame, stamp, auction, scale):
    """The store's one-minute bars of a vendor frame, computed here: bar-end times,
    volume in shares, the opening auction folded into the day's first bar or dropped."""
    f = frame.copy()
    f["end"] = pd.to_datetime(f["dt"]) + pd.Timedelta(minutes=1 if stamp == "start" else 0)
    f["volume"] = f["vol"] * scale
    f["turnover"] = f["amount"]
    f["day"] = f["end"].dt.normalize()
    is_auction = f["end"].dt.time <= pd.Timestamp("09:30").time()
    out = f[~is_auction].set_index(["day", "end"]).sort_index()
    if auction == "fold":
        for _, a in f[is_auction].iterrows():
            key = (a["day"], a["day"] + pd.Timedelta(hours=9, minutes=31))
            if a["volume"] > 0:
                out.loc[key, "open"] = a["open"]
                out.loc[key, "high"] = max(out.loc[key, "high"], a["high"])
                out.loc[key, "low"] = min(out.loc[key, "low"], a["low"])
            out.loc[key, "volume"] += a["volume"]
            out.loc[key, "turnover"] += a["turnover"]
    out = out.reset_index()
    return out[["end", "open", "high", "low", "close", "volume", "turnover"]]


def fetch(targets, freq="min", fq=0, filled=False):
    return h.get_k_data_multi({"targets": targets, "frequency": freq, "freq_num": 1, "begin_date": 20240101,
                               "end_date": 20240131, "filled_up": filled, "fq_type": fq,
                               "need_show_ui_tip": False})


def time_line_minutes(result):
    """The fetched time line as datetime64[m] (bar ends)."""
    return EPOCH + np.rint((result["TimeLine"] - DATENUM_1970) * 1440).astype("timedelta64[m]")


def assert_served(result, t, want):
    """The fetched bars of target block t equal the expected bars, and nothing else
    is served (filled_up False: NaN elsewhere)."""
    tl = time_line_minutes(result)
    block = result["KArray"][t * gv.KMatrix_Bar_Len:(t + 1) * gv.KMatrix_Bar_Len]
    pos = np.searchsorted(tl, want["end"].to_numpy().astype("datetime64[m]"))
    assert np.array_equal(tl[pos], want["end"].to_numpy().astype("datetime64[m]"))
    for f, name in enumerate(("open", "high", "low", "close", "volume", "turnover")):
        np.testing.assert_allclose(block[f, pos], want[name].to_numpy(float), rtol=0, atol=1e-9, err_msg=name)
    others = np.ones(tl.size, dtype=bool)
    others[pos] = False
    assert np.isnan(block[gv.KMatrix_Close, others]).all()


# ----------------------------------------------------------------- vendor files, one command each


def test_vendor_files_go_in_with_one_command_each(vendor_store, tmp_path, capsys):
    """A Parquet file stamped at bar start with an auction bar at 09:25 and volumes in
    lots, and a CSV file stamped at bar end with an auction bar at 09:30, each with a
    symbol column; then the day bars derived from the minutes."""
    index = vendor_minutes("000001.XSHG", 1, "start", auction_at="09:25")
    index.loc[index.index[::7], "vol"] = 0  # bars without trading, auction bars among them
    index["amount"] = np.round(index["vol"] * 100 * index["close"], 2)
    pq_path = os.path.join(tmp_path, "index_1m.parquet")
    typed = index.assign(dt=pd.to_datetime(index["dt"]))
    typed.to_parquet(pq_path, index=False)
    assert cli("import", "bars-1m", pq_path, "--stamp", "start", "--auction", "fold", "--volume-scale", "100",
               store=vendor_store) == 0
    stock = vendor_minutes("sh.600000", 2, "end", auction_at="09:30")
    csv_path = write(tmp_path, "stock.csv", stock.rename(columns={"dt": "trade_time"}).to_csv(index=False))
    assert cli("import", "bars-1m", csv_path, "--auction", "drop", "--derive-day", store=vendor_store) == 0

    r = fetch(["SH.000001", "SH.600000"])
    assert r["TimeLine"].size == 240 * len(DAYS) and r["TradeFreshPos"].tolist() == [0, 240, 480, 720]
    assert_served(r, 0, expected_bars(index, "start", "fold", 100))
    assert_served(r, 1, expected_bars(stock, "end", "drop", 1))

    # day bars of the stock, combined from its minutes: the traded minutes' first open,
    # highest high, lowest low, last close; volume and turnover summed
    mins = expected_bars(stock, "end", "drop", 1)
    traded = mins[mins["volume"] > 0]
    day = traded.groupby(traded["end"].dt.normalize()).agg(
        open=("open", "first"), high=("high", "max"), low=("low", "min"), close=("close", "last"))
    sums = mins.groupby(mins["end"].dt.normalize())[["volume", "turnover"]].sum()
    d = fetch(["SH.600000"], freq="day")
    for f, name in enumerate(("open", "high", "low", "close")):
        np.testing.assert_allclose(d["KArray"][f], day[name].to_numpy(), rtol=0, atol=1e-9)
    np.testing.assert_allclose(d["KArray"][gv.KMatrix_Volume], sums["volume"].to_numpy(), rtol=0, atol=1e-6)
    np.testing.assert_allclose(d["KArray"][gv.KMatrix_TurnOver], sums["turnover"].to_numpy(), rtol=1e-12)

    # a vendor's day bar that differs from the minutes combined: the import says it replaced
    # it, and the store check notes it (exit status 0) until derive-day writes the combined one
    first = day.iloc[0]
    row = "symbol,date,open,high,low,close,volume\nSH600000,%s,%r,%r,%r,%r,%r\n" % (
        day.index[0].strftime("%Y%m%d"), *(float(first[c]) for c in ("open", "high", "low")),
        float(first["close"]) + 0.01, float(sums["volume"].iloc[0]))
    capsys.readouterr()
    assert cli("import", "bars-1d", write(tmp_path, "d.csv", row), store=vendor_store) == 0
    assert "replaced 1 stored day bar(s) that differed (SH.600000 1)" in capsys.readouterr().out
    assert cli("info", "--check", store=vendor_store) == 0
    out = capsys.readouterr().out
    assert "note: SH.600000: 1 stored day bar(s) differ from the day combined from its minutes" in out
    assert "close %.6g stored, %.6g combined" % (first["close"] + 0.01, first["close"]) in out
    assert cli("derive-day", "--targets", "600000.SH", store=vendor_store) == 0
    assert cli("info", "--check", store=vendor_store) == 0
    assert "note:" not in capsys.readouterr().out


def test_an_auction_bar_without_a_first_bar_becomes_it(vendor_store, tmp_path):
    frame = vendor_minutes("SH600000", 3, "end", auction_at="09:30", days=DAYS[:1])
    frame = frame[frame["dt"] != DAYS[0] + " 09:31:00"]
    import_csv(h.open_store(vendor_store), "bars-1m", write(tmp_path, "b.csv", frame.to_csv(index=False)),
               auction="fold")
    first = frame.iloc[0]
    bars = h.open_store(vendor_store).read_bars("SH.600000", "min")
    assert bars["time"].size == 240
    got = [bars[c][0] for c in ("open", "high", "low", "close", "volume", "turnover")]
    assert got == [first["open"], first["high"], first["low"], first["close"], first["vol"], first["amount"]]


@pytest.mark.parametrize("symbol", ["600000.SH", "600000.XSHG", "SH600000", "sh.600000", "SH.600000", "600000sh"])
def test_symbol_forms_name_the_store_target(vendor_store, tmp_path, symbol):
    frame = vendor_minutes(symbol, 4, "end", days=DAYS[:1])
    import_csv(h.open_store(vendor_store), "bars-1m", write(tmp_path, "b.csv", frame.to_csv(index=False)))
    assert h.open_store(vendor_store).bar_count("SH.600000", "min") == 240


@pytest.mark.parametrize("how", ["target", "columns", "parquet-target"])
def test_a_file_of_one_target_and_named_columns(vendor_store, tmp_path, how):
    """A futures file without a symbol column (--target), and columns the importer
    does not know by name (--columns)."""
    frame = vendor_minutes("x", 5, "end", days=DAYS[:2]).drop(columns="symbol")
    frame["oi"] = np.arange(len(frame)) + 1000.0
    store = h.open_store(vendor_store)
    if how == "columns":
        frame = frame.rename(columns={"dt": "stamp", "vol": "qty"})
        frame.insert(0, "contract", "RB2405.SHF")
        path = write(tmp_path, "rb.csv", frame.to_csv(index=False))
        assert cli("import", "bars-1m", path, "--columns", "stamp=time,qty=volume,contract=symbol",
                   store=vendor_store) == 0
    elif how == "target":
        path = write(tmp_path, "rb.csv", frame.to_csv(index=False))
        assert cli("import", "bars-1m", path, "--target", "SHF.RB2405", store=vendor_store) == 0
    else:
        path = os.path.join(tmp_path, "rb.pq")
        frame.to_parquet(path, index=False)
        import_csv(store, "bars-1m", path, target="rb2405.SHFE")
    bars = h.open_store(vendor_store).read_bars("SHF.RB2405", "min")
    np.testing.assert_array_equal(bars["open_interest"], frame["oi"].to_numpy())
    np.testing.assert_array_equal(bars["volume"], frame["vol" if how != "columns" else "qty"].to_numpy(float))


# ----------------------------------------------------------------- errors that say what to do


@pytest.mark.parametrize("stamp, auction_at, options, message", [
    ("start", None, {}, "the file looks stamped at bar start; import it with --stamp start"),
    ("start", "09:25", {"auction": "fold"}, "the file looks stamped at bar start"),
    ("end", "09:30", {}, "opening-auction bars of SH.600000 (up to the session open 09:30; import with "
                         "--auction fold or --auction drop): 4 rows (lines 2, 243, 484, ...)"),
    ("start", "09:25", {"stamp": "start"}, "opening-auction bars of SH.600000"),
], ids=["start-stamps", "start-stamps-with-auction", "auction", "auction-after-shift"])
def test_stamp_and_auction_errors_name_the_option(vendor_store, tmp_path, stamp, auction_at, options, message):
    frame = vendor_minutes("600000.SH", 6, stamp, auction_at=auction_at)
    with pytest.raises(DataImportError) as info:
        import_csv(h.open_store(vendor_store), "bars-1m", write(tmp_path, "b.csv", frame.to_csv(index=False)),
                   **options)
    assert message in str(info.value)
    assert not os.path.exists(h.open_store(vendor_store).bar_path("SH.600000", "min"))


def test_one_cause_is_one_line(vendor_store, tmp_path):
    rows = "".join("SH.999999,2024-01-02 %s,10,10,10,10,1\n" % t for t in
                   (str(m)[11:16] for m in session_minutes(DAYS[0])))
    rows += "SH.600000,2024-01-02 12:00,10,10,10,10,1\n"
    path = write(tmp_path, "b.csv", "symbol,time,open,high,low,close,volume\n" + rows)
    with pytest.raises(DataImportError) as info:
        import_csv(h.open_store(vendor_store), "bars-1m", path)
    lines = str(info.value).splitlines()
    assert lines[0].endswith("241 bad line(s), nothing imported") and len(lines) == 3
    assert lines[1] == "  unknown target SH.999999: 240 rows (lines 2, 3, 4, ...)"
    assert lines[2].startswith("  line 242: time 2024-01-02 12:00 of SH.600000 is not a bar end time")


@pytest.mark.parametrize("kind, rows, message", [
    ("bars-1m", "SZ000002,2024-01-02 09:31,1,1,1,1,1\nSZ000002,2024-01-03 09:31,1,1,1,1,1\n",
     "line 2: bar of day 20240102 of SZ.000002 is before its list_date 20240103"),
    ("bars-1m", "".join("SZ000002,2024-01-05 %s,1,1,1,1,1\n" % t for t in ("09:31", "09:32", "13:01")),
     "bars of SZ.000002 after its delist_date 20240104: 3 rows (lines 2, 3, 4)"),
    ("bars-1d", "SZ000002,20240102,1,1,1,1,1\nSZ000002,20240103,1,1,1,1,1\n",
     "line 2: bar of day 20240102 of SZ.000002 is before its list_date 20240103"),
    ("bars-1d", "SZ000002,20240103,1,1,1,1,1\nSZ000002,20240105,1,1,1,1,1\n",
     "line 3: bar of day 20240105 of SZ.000002 is after its delist_date 20240104"),
])
def test_bars_outside_the_listing_are_refused(vendor_store, tmp_path, kind, rows, message):
    col = "time" if kind == "bars-1m" else "date"
    path = write(tmp_path, "b.csv", "symbol,%s,open,high,low,close,volume\n" % col + rows)
    with pytest.raises(DataImportError) as info:
        import_csv(h.open_store(vendor_store), kind, path)
    assert message in str(info.value) and info.value.total == (3 if "3 rows" in message else 1)


@pytest.mark.parametrize("stamp, ok", [("", True), (" 00:00:00", True), (" 15:00:00", True), ("T15:00", True),
                                       (" 10:00:00", False), (" 15:00:30", False)])
def test_day_bars_may_be_stamped_with_the_session_close(vendor_store, tmp_path, stamp, ok):
    path = write(tmp_path, "d.csv", "symbol,dt,open,close,high,low,vol\n000001.SH,2024-01-03%s,1,1,1,1,1\n" % stamp)
    store = h.open_store(vendor_store)
    if ok:
        import_csv(store, "bars-1d", path, volume_scale=100)
        assert fetch(["SH.000001"], "day")["KArray"][gv.KMatrix_Volume].tolist()[1] == 100
    else:
        with pytest.raises(DataImportError, match="line 2: date '?2024-01-03 1"):
            import_csv(store, "bars-1d", path)


# ----------------------------------------------------------------- sessions and calendars


@pytest.mark.parametrize("rows, problems", [
    ("SSE,09:30:00,11:30:00\n", []),
    ("SSE,09:30:15,11:30\n", ["open '09:30:15' is not a time of day"]),
    ("SSE,9:3x,11:30:00\n", ["open '9:3x' is not a time of day"]),
    ("SSE,09:30,11:30:01\nSSE,13:00,12:00\n", ["close '11:30:01' is not a time of day",
                                              "session close 12:00 is not after open 13:00"]),
], ids=["seconds", "seconds-not-0", "not-a-time", "two-rows"])
def test_sessions_with_seconds(empty_store, tmp_path, rows, problems):
    path = write(tmp_path, "s.csv", "calendar,open,close\n" + rows)
    if not problems:
        import_csv(empty_store, "sessions", path)
        assert empty_store.sessions()["open"].tolist() == [570]
        return
    with pytest.raises(DataImportError) as info:
        import_csv(empty_store, "sessions", path)
    got = [m for _, m in info.value.problems]
    assert len(got) == len(problems) and all(p in m for p, m in zip(problems, got))


def test_sessions_that_strand_stored_bars_are_refused_unless_forced(vendor_store, tmp_path):
    frame = vendor_minutes("600000.SH", 7, "end", days=DAYS[:2])
    import_csv(h.open_store(vendor_store), "bars-1m", write(tmp_path, "b.csv", frame.to_csv(index=False)))
    narrower = write(tmp_path, "s2.csv", "calendar,open,close\nSSE,09:30,11:30\nSSE,13:00,14:50\n")
    gen = h.store_generation()
    with pytest.raises(DataImportError) as info:
        import_csv(h.open_store(vendor_store), "sessions", narrower)
    assert ("leave 20 stored minute bar(s) outside them, which would no longer be served (SH.600000: 20)"
            in str(info.value)) and h.store_generation() == gen
    # sessions that serve every stored bar go in without force
    import_csv(h.open_store(vendor_store), "sessions", write(tmp_path, "s3.csv", SESSIONS + "SSE,21:00,23:00\n"))
    assert cli("import", "sessions", narrower, "--force", store=vendor_store) == 0
    assert fetch(["SH.600000"])["TimeLine"].size == 230 * len(DAYS)


def test_calendar_and_import_create_the_store_and_leave_nothing_when_refused(tmp_path, capsys):
    bad = write(tmp_path, "bad.csv", "date\n2024013\n")
    for store in (tmp_path / "a", tmp_path / "b" / "deeper"):
        assert cli("import", "calendar", bad, store=store) == 1
        assert not os.path.exists(store)
    assert "line 2: date '2024013'" in capsys.readouterr().err
    assert cli("calendar", "bars", "--begin", "2024-01-02", store=tmp_path / "c") == 0
    assert h.open_store(tmp_path / "c").generation == 1 and h.open_store(tmp_path / "c").store_id


def test_xshg_calendar_covers_the_range_asked(tmp_path, capsys):
    pytest.importorskip("exchange_calendars")
    store = tmp_path / "new"
    assert cli("calendar", "xshg", "--begin", "2006-11-01", "--end", "20200731", store=store) == 0
    days = h.open_store(store).trading_days()
    assert days[0] == 20061101 and days[-1] == 20200731 and 20061208 in days
    # a range the package does not record is refused, and leaves nothing
    assert cli("calendar", "xshg", "--begin", "19800101", "--end", "19900101", store=tmp_path / "old") == 1
    assert "records the XSHG trading days from" in capsys.readouterr().err
    assert not os.path.exists(tmp_path / "old")


# ----------------------------------------------------------------- index targets


@pytest.mark.parametrize("symbol, code, adjusted", [("000001.XSHG", gv.TARGETTYPE_INDEX, False),
                                                    ("510300.SH", gv.TARGETTYPE_FUND, True)])
def test_an_index_is_read_like_a_stock_and_never_adjusted(vendor_store, tmp_path, symbol, code, adjusted):
    frame = vendor_minutes(symbol, 8, "end", days=DAYS[:2])
    import_csv(h.open_store(vendor_store), "bars-1m", write(tmp_path, "b.csv", frame.to_csv(index=False)))
    derive_day(h.open_store(vendor_store), symbol)
    adjust = write(tmp_path, "a.csv", "symbol,date,factor\n%s,20240103,2\n" % symbol)
    import_csv(h.open_store(vendor_store), "adjust", adjust)
    target = "SH." + symbol[:6]
    assert h.get_target_info([target])[0]["Type"] == code
    raw, fwd = fetch([target], "day"), fetch([target], "day", fq=1)
    # forward adjustment: the days before the factor's day at half their price
    ratio = np.array([0.5 if adjusted else 1.0, 1.0])
    np.testing.assert_array_equal(fwd["KArray"][:4, :2], raw["KArray"][:4, :2] * ratio)
    np.testing.assert_array_equal(fwd["KArray"][4:], raw["KArray"][4:])


def test_an_order_for_an_index_is_rejected(vendor_store, tmp_path, monkeypatch):
    from vornix.runner import run
    from vxtest.runs import fresh_run_state

    for symbol, seed in (("000001.XSHG", 9), ("600000.SH", 10)):
        frame = vendor_minutes(symbol, seed, "end", days=DAYS[:2])
        import_csv(h.open_store(vendor_store), "bars-1m", write(tmp_path, "b.csv", frame.to_csv(index=False)))
    statuses = []

    class Strategy:
        @staticmethod
        def init(context):
            pass

        @staticmethod
        def on_data(context):
            if context.step == 3:
                context.order("SH.000001", 100)
                context.order("SH.600000", 100)

        @staticmethod
        def on_order_status(context, order, *args, **kwargs):
            statuses.append((order.target, order.status, order.reason))

    with fresh_run_state(monkeypatch, tmp_path / "core-cache", vendor_store):
        run(Strategy, targets=["SH.000001", "SH.600000"], frequency="min", begin=20240102, end=20240103,
            quiet=True, out=False)
    assert statuses[0] == ("SH.000001", "rejected", "SH.000001 is an index, which is not traded")
    assert [s for t, s, _ in statuses if t == "SH.600000"][0] == "accepted"
