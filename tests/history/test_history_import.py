import os
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vornix.api.bpfactor._factors import get_factor_by_factor
from vornix.api.history import _history as h
from vornix.api.history import _import
from vornix.api.history._import import DataImportError, derive_calendar, import_csv
from vornix.tframe.utils.exceptions import StoreError
from vxtest.settings import kernel_settings

SESSIONS = "calendar,open,close\nT,09:30,09:33\nT,13:00,13:02\n"
CALENDAR = "date\n20240102\n2024-01-03\n20240105\n"
INSTRUMENTS = (
    "market,code,type,multiplier,min_move,list_date,delist_date,calendar,name\n"
    "SH,600000,stock,1,0.01,20240102,,T,Bank\n"
    "CF,IF00,future,300,0.2,20240102,,T,Index future\n"
)
HEADER = "market,code,time,open,high,low,close,volume,turnover,open_interest\n"
BARS = HEADER + (
    "SH,600000,2024-01-02 09:31,10.0,10.2,9.9,10.1,100,1010,\n"
    "SH,600000,2024-01-02 09:33:00,10.1,10.1,10.0,10.0,50,500,\n"
    "SH,600000,2024-01-02 13:01,10.0,10.3,10.0,10.3,70,721,\n"
    "SH,600000,2024-01-03 09:32,10.3,10.4,10.2,10.2,20,204,\n"
    "CF,IF00,2024-01-02 09:32,3500,3501,3499,3500.2,3,3150000,120\n"
    "CF,IF00,2024-01-03 13:02,3510,3512,3508,3511,4,4200000,125\n"
)

# fixtures shared by the history tests



def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


@pytest.fixture
def store(empty_store, tmp_path):
    for kind, text in (("sessions", SESSIONS), ("calendar", CALENDAR), ("instruments", INSTRUMENTS)):
        import_csv(empty_store, kind, write(tmp_path, kind + ".csv", text))
    return empty_store


def fetch(targets, freq="min", filled=True):
    return h.get_k_data_multi({"targets": targets, "frequency": freq, "freq_num": 1, "begin_date": 20240101,
                               "end_date": 20240131, "filled_up": filled, "fq_type": 0, "need_show_ui_tip": 0})


def test_minute_bars_round_trip(store, tmp_path):
    import_csv(store, "bars-1m", write(tmp_path, "bars.csv", BARS))
    r = fetch(["SH.600000", "CF.IF00"], filled=False)
    assert r["TimeLine"].size == 15 and r["TradeFreshPos"].tolist() == [0, 5, 10]
    lines = [ln.split(",") for ln in BARS.splitlines()[1:]]
    for line in lines:
        t = 0 if line[0] == "SH" else 1
        hm = line[2][11:16]
        day = h.get_trading_days(0, 99999999).tolist().index(int(line[2][:10].replace("-", "")))
        col = day * 5 + ["09:31", "09:32", "09:33", "13:01", "13:02"].index(hm)
        got = r["KArray"][t * 7:(t + 1) * 7, col]
        want = [float(v) if v else 0.0 for v in line[3:]]
        assert got.tolist() == want
    assert np.isnan(r["KArray"][0, 1]) and np.isnan(r["KArray"][:, 10:]).all()
    filled = fetch(["SH.600000"])["KArray"]
    assert filled[:4, 1].tolist() == [10.1] * 4 and filled[4, 1] == 0
    assert filled[:4, 14].tolist() == [10.2] * 4  # the day without bars is filled too


def test_day_bars_and_daily_tables_round_trip(store, tmp_path):
    day_csv = ("market,code,date,open,high,low,close,volume\n"
               "SH,600000,20240102,10,10.5,9.5,10.2,1000\nSH,600000,20240105,10.2,10.4,10.1,10.3,500\n")
    import_csv(store, "bars-1d", write(tmp_path, "d.csv", day_csv))
    r = fetch(["SH.600000"], freq="day")
    assert r["KArray"][3].tolist() == [10.2, 10.2, 10.3]
    assert r["KArray"][4].tolist() == [1000, 0, 500]
    import_csv(store, "adjust", write(tmp_path, "a.csv", "market,code,date,factor\nSH,600000,20240105,2\n"))
    fwd = h.get_k_data_multi({"targets": ["SH.600000"], "frequency": "day", "freq_num": 1, "begin_date": 0,
                              "end_date": 99999999, "filled_up": True, "fq_type": 1, "need_show_ui_tip": 0})
    assert fwd["KArray"][3].tolist() == [5.1, 5.1, 10.3]
    # per 10 shares as vendors write them: 10 for 3 bonus, 2 transferred, 1.5 cash
    import_csv(store, "actions", write(tmp_path, "x.csv", "symbol,ex_dividend_date,bonus_per_10,"
                                       "transfer_per_10,cash_per_10,split\n600000.SH,20240105,3,2,1.5,\n"))
    acts = store.corporate_actions()
    assert acts.iloc[0].tolist() == ["SH.600000", 20240105, 0.15, 0.5, 1.0]
    import_csv(store, "main", write(tmp_path, "m.csv", "market,code,date,contract\nCF,IF00,20240102,IF2401\n"
                                    "CF,IF00,20240103,IF2402\n"))
    days, contracts = h.get_main_contract(["CF.IF00"], 0, 99999999)["CF.IF00"]
    assert days.tolist() == [20240102, 20240103] and contracts == ["IF2401", "IF2402"]
    import_csv(store, "factors", write(tmp_path, "f.csv", "factor,market,code,date,value\n"
                                       "pe,SH,600000,20240103,12.5\npe,CF,IF00,20240105,\n"))
    fac = get_factor_by_factor("pe", ["SH.600000", "CF.IF00"], 20240101, 20240131, 0)
    assert np.array_equal(fac["SH.600000"], [np.nan, 12.5, np.nan], equal_nan=True)
    import_csv(store, "ticks", write(tmp_path, "t.csv", "market,code,time,price,volume\n"
                                     "SH,600000,2024-01-02 09:30:20.5,10.0,5\nSH,600000,2024-01-02 09:31:00,10.1,6\n"))
    rec = store.ticks_between("SH.600000", np.nan, h.get_trading_time(["SH.600000"], "min", 0, 99999999)[0][0])
    assert rec.Price.tolist() == [10.0, 10.1]


def test_import_merges_and_replaces_rows(store, tmp_path):
    import_csv(store, "bars-1m", write(tmp_path, "b.csv", BARS))
    gen = h.store_generation()
    import_csv(store, "bars-1m", write(tmp_path, "b2.csv", HEADER + "SH,600000,2024-01-02 09:31,9,9,9,9,1,9,\n"))
    assert h.store_generation() == gen + 1
    r = fetch(["SH.600000"], filled=False)["KArray"]
    assert r[3, 0] == 9 and r[3, 2] == 10.0  # replaced, and the other bars kept


BAD_ROWS = [
    ("SH,600000,2024-01-02 09:32,10,9.9,9.8,10,1,1,", "high 9.9 is below open 10"),
    # below the open but not the close, and above the open but below the close
    ("SH,600000,2024-01-02 09:32,10,9.9,9.8,9.85,1,1,", "high 9.9 is below open 10"),
    ("SH,600000,2024-01-02 09:32,10,10.1,9.8,10.2,1,1,", "high 10.1 is below open 10 or close 10.2"),
    ("SH,600000,2024-01-02 09:32,10,10.5,10.1,10.05,1,1,", "low 10.1 is above open 10"),
    ("SH,600000,2024-01-02 09:32,10,10.5,10.1,10.2,1,1,", "low 10.1 is above open 10"),
    ("SH,600000,2024-01-02 09:32,10.2,10.5,10.1,10.05,1,1,", "low 10.1 is above open 10.2 or close 10.05"),
    ("SH,600000,2024-01-02 09:32,10,10.5,9.8,10.2,-5,1,", "volume -5 is negative"),
    ("SZ,000001,2024-01-02 09:32,10,10.5,9.8,10.2,5,1,", "unknown target SZ.000001"),
    ("SH,600000,2024-13-02 09:32,10,10.5,9.8,10.2,5,1,", "time '2024-13-02 09:32' is not a time"),
    ("SH,600000,2024-01-02 12:00,10,10.5,9.8,10.2,5,1,", "not a bar end time"),
    ("SH,600000,2024-01-04 09:31,10,10.5,9.8,10.2,5,1,", "not a bar end time"),
    ("SH,600000,2024-01-02 09:32,abc,10.5,9.8,10.2,5,1,", "open 'abc' is not a number"),
]


@pytest.mark.parametrize("row, message", BAD_ROWS)
def test_bad_bar_rows_are_reported_and_nothing_is_written(store, tmp_path, row, message):
    good = "SH,600000,2024-01-02 09:31,10,10.5,9.8,10.2,5,1,\n"
    path = write(tmp_path, "bad.csv", HEADER + good + row + "\n" + good.replace("02 09:31", "05 09:31"))
    gen = h.store_generation()
    with pytest.raises(DataImportError) as info:
        import_csv(store, "bars-1m", path)
    assert "bad.csv" in str(info.value) and message in str(info.value)
    assert [ln for ln, _ in info.value.problems] == [3]
    assert h.store_generation() == gen and not os.path.exists(store.bar_path("SH.600000", "min"))


def test_every_bad_line_is_reported_including_order(store, tmp_path):
    rows = [
        "SH,600000,2024-01-02 09:32,10,10.5,9.8,10.2,5,1,",
        "SH,600000,2024-01-02 09:32,10,10.5,9.8,10.2,5,1,",
        "SH,600000,2024-01-02 09:31,10,10.5,9.8,10.2,5,1,",
        "SH,600000,2024-01-02 09:33,10,9,9.8,10.2,5,1,",
    ]
    with pytest.raises(DataImportError) as info:
        import_csv(store, "bars-1m", write(tmp_path, "b.csv", HEADER + "\n".join(rows) + "\n"))
    text = str(info.value)
    assert "line 3: time 2024-01-02 09:32 of SH.600000 is the same as the one on line 2" in text
    assert "line 4: time 2024-01-02 09:31 of SH.600000 is before the one on line 3" in text
    assert "line 5: high 9 is below" in text and info.value.total == 3


@pytest.mark.parametrize(
    "kind, text, message",
    [
        ("instruments", "market,code,type,list_date,calendar\nSH,1,bond,20240102,T\n", "type 'bond'"),
        ("instruments", "market,code,type,list_date,calendar\nSH,1,stock,20240102,X\n", "calendar 'X'"),
        ("instruments", "market,code,type,list_date\nSH,1,stock,20240102\n", "missing column(s) calendar"),
        ("calendar", "date\n20240230\n", "date '20240230' is not a date"),
        ("sessions", "calendar,open,close\nT,13:00,09:00\n", "session close 09:00 is not after open 13:00"),
        ("adjust", "market,code,date,factor\nSH,600000,20240102,0\n", "factor 0 must be above 0"),
        ("main", "market,code,date,contract\nSH,600000,20240102,X1\n", "is a stock, expected future"),
        ("actions", "market,code,ex_date,cash,split\nSH,600000,20240102,-1,0\n", "cash -1 is negative"),
        ("instruments", "market,code,type,list_date,calendar,limit_pct\nSH,1,stock,20240102,T,10\n",
         "limit_pct 10 must be a fraction"),
        ("bars-1d", "market,code,date,open,high,low,close,volume\nSH,600000,20240104,1,1,1,1,1\n",
         "date 20240104 is not a trading day"),
        # hostile text stays text: escape sequences escaped, a huge cell cut
        ("bars-1d", "market,code,date,open,high,low,close,volume\nSH,\x1b]0;x\x07\x1b[2J1,20240102,1,1,1,1,1\n",
         "unknown target SH.\\x1b]0;X\\x07\\x1b[2J1"),
        ("bars-1d", "market,code,date,open,high,low,close,volume\nSH,600000,20240102,%s,1,1,1,1\n" % ("x" * 10 ** 6),
         "open '%s... (%d more characters)' is not a number" % ("x" * 200, 10 ** 6 - 200)),
        ("calendar", "date,%s\n20240102\n" % ",".join("c%d" % i for i in range(300)),
         "the header has 301 columns, more than the 256 a file may have"),
    ],
)
def test_bad_tables_are_rejected(store, tmp_path, kind, text, message):
    before = sorted(os.listdir(store.path))
    with pytest.raises(DataImportError, match="bad.csv") as info:
        import_csv(store, kind, write(tmp_path, "bad.csv", text))
    assert message in str(info.value) and "\x1b" not in str(info.value) and len(str(info.value)) < 2000
    assert sorted(os.listdir(store.path)) == before


def test_calendar_from_bars_and_xshg(store, tmp_path):
    import_csv(store, "bars-1m", write(tmp_path, "b.csv", BARS))
    store.write_table("calendar", {"date": np.array([20240102])})
    derive_calendar(store, "bars")
    assert h.get_trading_days(0, 99999999).tolist() == [20240102, 20240103]
    pytest.importorskip("exchange_calendars")
    derive_calendar(store, "xshg", 20240101, 20240110)
    assert 20240108 in h.get_trading_days(0, 99999999)


def test_missing_file_and_unknown_kind(store, tmp_path):
    with pytest.raises(StoreError, match=r"no min bars stored for SH.600000.*bars/1m/SH.600000.parquet"):
        fetch(["SH.600000"])
    with pytest.raises(DataImportError, match="nothere.csv.*file not found"):
        import_csv(store, "bars-1m", str(tmp_path / "nothere.csv"))
    with pytest.raises(ValueError, match="unknown import kind 'bars'"):
        import_csv(store, "bars", str(tmp_path / "nothere.csv"))
    assert not [f for f in os.listdir(store.path) if f.startswith(".tmp")]


NON_FINITE = [
    ("bars-1m", HEADER + "SH,600000,2024-01-02 09:31,10,10.5,9.8,10.2,5,inf,\n", "turnover 'inf'"),
    ("bars-1m", HEADER + "SH,600000,2024-01-02 09:31,10,10.5,9.8,10.2,5,1,1e999\n", "open_interest '1e999'"),
    ("bars-1m", HEADER + "SH,600000,2024-01-02 09:31,10,10.5,9.8,10.2,-inf,1,\n", "volume '-inf'"),
    ("bars-1d", "market,code,date,open,high,low,close,volume,open_interest\n"
                "SH,600000,20240102,10,10.5,9.8,10.2,5,-Infinity\n", "open_interest '-Infinity'"),
    ("ticks", "market,code,time,price,volume\nSH,600000,2024-01-02 09:30:20,inf,5\n", "price 'inf'"),
    ("adjust", "market,code,date,factor\nSH,600000,20240102,inf\n", "factor 'inf'"),
    ("instruments", "market,code,type,multiplier,list_date,calendar\nSH,1,stock,inf,20240102,T\n",
     "multiplier 'inf'"),
    ("instruments", "market,code,type,min_move,list_date,calendar\nSH,1,stock,1e999,20240102,T\n",
     "min_move '1e999'"),
    ("factors", "factor,market,code,date,value\npe,SH,600000,20240102,-inf\n", "value '-inf'"),
]


@pytest.mark.parametrize("kind, text, field", NON_FINITE, ids=["%s-%s" % (k, f.split()[0]) for k, _, f in NON_FINITE])
def test_non_finite_numbers_are_rejected_in_every_kind(store, tmp_path, kind, text, field):
    before = sorted(os.listdir(store.path))
    with pytest.raises(DataImportError) as info:
        import_csv(store, kind, write(tmp_path, "bad.csv", text))
    assert "line 2: %s is not a finite number" % field in str(info.value)
    assert sorted(os.listdir(store.path)) == before


def _snapshot(folder):
    out = {}
    for root, _, files in os.walk(folder):
        for name in files:
            with open(os.path.join(root, name), "rb") as fh:
                out[os.path.relpath(os.path.join(root, name), folder)] = fh.read()
    return out


TICKS = "market,code,time,price,volume\nSH,600000,2024-01-02 09:30:20,10.0,5\nCF,IF00,2024-01-02 09:31:00,3500,1\n"
FACTORS = "factor,market,code,date,value\npe,SH,600000,20240102,1\npb,SH,600000,20240102,2\n"


@pytest.mark.parametrize("kind, text, second", [
    ("bars-1m", BARS, lambda s: s.bar_path("CF.IF00", "min")),
    ("ticks", TICKS, lambda s: s.tick_path("CF.IF00")),
    ("factors", FACTORS, lambda s: s.factor_path("pb")),
], ids=["bars-1m", "ticks", "factors"])
def test_a_damaged_stored_file_stops_the_import_before_any_write(store, tmp_path, kind, text, second):
    path = write(tmp_path, "data.csv", text)
    import_csv(store, kind, path)
    damaged = second(store)
    with open(damaged, "wb") as fh:
        fh.write(b"not parquet")
    before = _snapshot(store.path)
    with pytest.raises(StoreError, match=re.escape(os.path.basename(damaged)) + " has 11 bytes, the manifest "
                       "records .*changed outside a write step"):
        import_csv(store, kind, path)
    assert _snapshot(store.path) == before


def test_a_failed_write_leaves_the_store_as_it_was(store, tmp_path, monkeypatch):
    from vornix.api.history import _store

    real, calls = _store._stage_table, []

    def write_or_fail(path, table):
        calls.append(os.path.relpath(path, store.path))
        if len(calls) == 2:
            raise OSError(28, "No space left on device")
        return real(path, table)

    monkeypatch.setattr(_store, "_stage_table", write_or_fail)
    before, gen = _snapshot(store.path), h.store_generation()
    with pytest.raises(StoreError) as info:
        import_csv(store, "bars-1m", write(tmp_path, "b.csv", BARS))
    text = str(info.value)
    assert "No space left on device" in text and calls[1] in text and "left as it was" in text
    # the file written before the failure is not switched in, and its temporary file is gone
    assert _snapshot(store.path) == before and h.store_generation() == gen


_FIELDS = {
    "market": ["SH", " sh", "CF", "SZ", ""],
    "code": ["600000", "600000 ", "IF00", "1"],
    "time": ["2024-01-02 09:31", "2024-01-02T09:32", " 2024-01-02 09:33:00", "2024-01-03 13:01:00.250",
             "2024-01-02 9:31", "2024-01-02 12:00", "2024-02-30 09:31", "2024-01-02", "junk", ""],
    "number": ["10", " 10.5 ", "+3", "1e1", "0", "-1", "inf", "1e999", "nan", "abc", ""],
}
_COLUMNS = ("market", "code", "time", "open", "high", "low", "close", "volume", "turnover", "open_interest")


@st.composite
def _messy_bar_files(draw):
    """Bar files with blanks, quotes, bad values, blank lines and other line ends."""
    # mostly plain fields and good values, so that the quick paths are taken often
    messy = draw(st.sampled_from([0, 0, 0.02, 0.2]))
    plain = draw(st.sampled_from([True, True, False]))
    lines = []
    for _ in range(draw(st.integers(1, 8))):
        if draw(st.floats(0, 1)) < messy:
            lines.append(draw(st.sampled_from(["", " ", ",,,,,,,,,", " , ,,,,,,,,"])))
            continue
        cells = []
        for col in _COLUMNS:
            choices = _FIELDS.get(col, _FIELDS["number"])
            value = choices[0] if plain and draw(st.booleans()) else draw(st.sampled_from(choices))
            if draw(st.floats(0, 1)) < messy:
                value = draw(st.sampled_from(["  ", ""])) + '"%s"' % value
            cells.append(value)
        lines.append(",".join(cells))
    end = draw(st.sampled_from(["\n", "\r\n"]))
    bom = draw(st.sampled_from(["", "\ufeff"]))
    header = draw(st.sampled_from(['%s', '"%s"', ' "%s"', ' %s']))
    return bom + end.join([",".join(header % c for c in _COLUMNS)] + lines) + end


def _parsed(store, path):
    try:
        chk = _import._read_csv(path, _COLUMNS[:8])
    except DataImportError as exc:
        return str(exc)
    labels = _import._targets(chk, store)
    times = chk.datetime("time")
    values = _import._read_bar_values(chk)
    return chk.lines.tolist(), sorted(chk.problems, key=str), labels.array().tolist(), times, values


@settings(kernel_settings, suppress_health_check=[*kernel_settings.suppress_health_check,
                                                 HealthCheck.function_scoped_fixture])  # files only read
@given(text=_messy_bar_files())
def test_quick_reader_matches_the_general_reader(store, tmp_path, text):
    from unittest import mock

    path = write(tmp_path, "messy.csv", text)
    quick = _parsed(store, path)
    with mock.patch.object(_import, "_read_quickly", lambda path: None):
        general = _parsed(store, path)
    if isinstance(general, str):
        assert quick == general
        return
    assert quick[:3] == general[:3]
    np.testing.assert_array_equal(quick[3], general[3])
    for name, column in general[4].items():
        np.testing.assert_array_equal(quick[4][name], column)
