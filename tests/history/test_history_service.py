import json
import os
import re
import shutil

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from vornix.api.bpfactor._factors import get_factor_by_factor
from vornix.api.history import _history as h
from vornix.api.history import _manifest, _store
from vornix.api.history._bars import combine_by_group
from vornix.api.history._calendar import Calendar
from vornix.api.history._sample import write_sample_market
from vornix.cli import main
from vornix.tframe import ufuncs
from vornix.tframe.sysdefine import GlobalDefine as gv
from vornix.tframe.utils.datetimefunc import datenum_to_datetime, int_date_to_ordinal
from vornix.tframe.utils.exceptions import StoreError

# fixtures shared by the history tests

STOCK, SUSPENDED, SPLIT, DIVIDEND, LISTED, DELISTED = (
    "SH.600000", "SZ.000011", "SH.600020", "SZ.000031", "SH.600040", "SZ.000051")
IF, RB = "CFE.IF00", "SHF.RB00"


def fetch(targets, freq="min", begin=0, end=99999999, filled=True, fq=0):
    return h.get_k_data_multi({
        "targets": targets, "frequency": freq, "freq_num": 1, "begin_date": begin, "end_date": end,
        "filled_up": filled, "fq_type": fq, "need_show_ui_tip": False})


def block(result, t):
    return result["KArray"][t * gv.KMatrix_Bar_Len:(t + 1) * gv.KMatrix_Bar_Len]


def hhmm(value):
    return datenum_to_datetime(value + 1e-9).strftime("%H:%M")


def test_minute_time_line_follows_the_sessions(use_sample):
    days = h.get_trading_days(0, 99999999)
    r = fetch([STOCK], begin=days[1], end=days[2])
    tl = r["TimeLine"]
    assert tl.size == 480 and np.all(np.diff(tl) > 0)
    assert [hhmm(tl[i]) for i in (0, 119, 120, 239, 240)] == ["09:31", "11:30", "13:01", "15:00", "09:31"]
    assert np.array_equal(r["DayPos"], np.repeat([0.0, 1.0], 240))
    assert r["TradeFreshPos"].tolist() == [0, 240] and r["TradeFreshPos"].dtype == np.int64
    # a futures session with a break adds its own minutes to the common time line, and
    # its night session (on the evening before) comes first
    both = fetch([STOCK, RB], begin=days[1], end=days[1])
    assert both["TimeLine"].size == 390 and hhmm(both["TimeLine"][0]) == "21:01"
    assert np.floor(both["TimeLine"][0]) == int_date_to_ordinal(days[0])
    rb, stock = block(both, 1), block(both, 0)
    in_break, before = hhmm_index(both["TimeLine"], "10:20"), hhmm_index(both["TimeLine"], "10:15")
    assert rb[gv.KMatrix_Volume, in_break] == 0
    assert rb[gv.KMatrix_Open, in_break] == rb[gv.KMatrix_Close, before]
    # minutes before the stock's session carry the close of the day before the range
    assert np.all(stock[gv.KMatrix_Close, :150] == use_sample.bars_1m[STOCK]["close"][239])
    assert np.all(stock[gv.KMatrix_Volume, :150] == 0)


def hhmm_index(tl, text):
    return [hhmm(v) for v in tl].index(text)


def test_fetch_equals_stored_bars_and_day_bars_combine_minutes(use_sample):
    m = use_sample
    r = fetch([STOCK, IF])
    for t, code in enumerate([STOCK, IF]):
        bars = m.bars_1m[code]
        pos = np.searchsorted(r["TimeLine"], bars["time"])
        for f, name in enumerate(("open", "high", "low", "close", "volume", "turnover", "open_interest")):
            assert np.array_equal(block(r, t)[f, pos], bars[name])
    d = fetch([STOCK, SUSPENDED], freq="day")
    assert all(hhmm(v) == "15:00" for v in d["TimeLine"])
    mins = fetch([STOCK, SUSPENDED])
    starts = np.flatnonzero(np.r_[True, np.diff(mins["DayPos"]) != 0])
    for t in range(2):
        bm = block(mins, t)
        have = ~np.isnan(bm[gv.KMatrix_Close])
        combined = combine_by_group(starts, {n: bm[f] for f, n in enumerate(
            ("open", "high", "low", "close", "volume", "turnover", "open_interest"))})
        day = block(d, t)
        first = int(mins["DayPos"][np.argmax(have)])
        for f, name in enumerate(("open", "high", "low", "close", "volume", "turnover", "open_interest")):
            np.testing.assert_allclose(day[f, first:], combined[name][first:], rtol=1e-12)
    # a few days of a file of several row groups (night sessions): only the groups that
    # hold them are read, and the bars are those of the whole range
    assert pq.ParquetFile(h.current_store().bar_path(RB, "min")).metadata.num_row_groups > 1
    days = [int(d) for d in m.days]
    whole = fetch([RB])
    for lo, hi in ((days[0], days[2]), (days[12], days[14]), (days[-2], days[-1])):
        part = fetch([RB], begin=lo, end=hi)
        at = np.searchsorted(whole["TimeLine"], part["TimeLine"])
        np.testing.assert_array_equal(whole["TimeLine"][at], part["TimeLine"])
        np.testing.assert_array_equal(whole["KArray"][:, at], part["KArray"])


def test_zero_volume_day_is_a_filled_day_bar(use_sample):
    day = use_sample.bars_1d[SUSPENDED]
    dead = day["volume"] == 0
    assert dead.any()
    i = np.flatnonzero(dead)[0]
    for f in ("open", "high", "low", "close"):
        assert day[f][i] == day["close"][i - 1]


def test_gap_filling_and_nan_entries(use_sample):
    m = use_sample
    r = fetch([SUSPENDED, LISTED, DELISTED], freq="day")
    raw = fetch([SUSPENDED, LISTED, DELISTED], freq="day", filled=False)
    days = h.get_trading_days(0, 99999999)
    stored = np.floor(m.bars_1d[SUSPENDED]["time"]).astype(np.int64)
    gap = ~np.isin(np.array([int_date_to_ordinal(d) for d in days]), stored)
    assert gap.sum() == 5
    s, s_raw = block(r, 0), block(raw, 0)
    g = np.flatnonzero(gap)
    prev_close = s[gv.KMatrix_Close, g[0] - 1]
    for f in (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close):
        assert np.all(s[f, g] == prev_close)
    assert np.all(s[gv.KMatrix_Volume, g] == 0) and np.all(s[gv.KMatrix_TurnOver, g] == 0)
    assert np.isnan(s_raw[:, g]).all() and not np.isnan(s_raw[:, ~gap]).any()
    # a range that starts inside the suspension carries the close from before it
    later = block(fetch([SUSPENDED], freq="day", begin=days[g[1]]), 0)
    assert np.all(later[gv.KMatrix_Close, :g.size - 1] == prev_close)
    listed = block(r, 1)
    first = int(np.searchsorted(days, m.instruments[4][5]))
    assert np.isnan(listed[:, :first]).all() and not np.isnan(listed[:, first:]).any()
    delisted = block(r, 2)
    last = int(np.searchsorted(days, m.instruments[5][6]))
    assert np.isnan(delisted[:, last + 1:]).all() and not np.isnan(delisted[:, :last + 1]).any()


@pytest.mark.parametrize("freq", ["min", "day"])
def test_forward_and_backward_adjustment(use_sample, freq):
    none, fwd, bwd = (fetch([SPLIT, DIVIDEND, IF], freq=freq, fq=fq) for fq in (0, 1, 2))
    for t in range(2):
        raw, f, b = block(none, t), block(fwd, t), block(bwd, t)
        close = gv.KMatrix_Close
        assert f[close, -1] == raw[close, -1] and b[close, 0] == raw[close, 0]
        assert not np.array_equal(f[close], raw[close]) and not np.array_equal(b[close], raw[close])
        np.testing.assert_allclose(f[close] / b[close], f[close, 0] / b[close, 0])
        assert np.array_equal(f[gv.KMatrix_Volume], raw[gv.KMatrix_Volume])
        # the adjusted series has no jump at the ex-day, the raw one has
        jump_raw = np.max(np.abs(np.diff(np.log(raw[close]))))
        jump_adj = np.max(np.abs(np.diff(np.log(f[close]))))
        assert jump_adj < 0.1 < jump_raw or t == 1
    assert np.array_equal(block(fwd, 2), block(none, 2), equal_nan=True)  # futures untouched


def test_calendar_bars_of_each_frequency_across_the_holiday(use_sample):
    days = h.get_trading_days(20230201, 20230228)
    assert 20230210 not in days and 20230213 not in days and 20230217 in days
    tl, pos = h.get_trading_time([STOCK], "day", 20230201, 20230228)
    assert tl.size == days.size and np.array_equal(pos, np.arange(days.size))
    tl, pos = h.get_trading_time([STOCK], "week", 20230201, 20230228)
    stamps = [int(datenum_to_datetime(v).strftime("%Y%m%d")) for v in tl]
    assert stamps[:3] == [20230203, 20230209, 20230217]
    assert all(hhmm(v) == "15:00" for v in tl)
    assert pos.tolist()[:3] == [2.0, 6.0, 7.0]
    tl, pos = h.get_trading_time([STOCK], "month", 20230115, 20230228)
    assert [int(datenum_to_datetime(v).strftime("%Y%m%d")) for v in tl][0] == 20230131
    tl, pos = h.get_trading_time([STOCK], "year", 20230101, 20231231)
    assert tl.size == 1 and pos[0] == h.get_trading_days(20230101, 20231231).size - 1
    mtl, mpos = h.get_trading_time([STOCK], "min", 20230209, 20230217)
    assert mtl.size == 480 and np.array_equal(np.unique(mpos), [0.0, 1.0])


def test_night_session_bars_belong_to_the_next_trading_day():
    # Friday 2024-01-05, Monday 2024-01-08: Monday's night session runs on Friday evening
    cal = Calendar([20240104, 20240105, 20240108], {"N": [(1260, 1262, -1), (540, 542, 0)]})
    times, day_pos = cal.minute_grid(cal.session_set(["N"]), 1, 3)
    stamps = [datenum_to_datetime(v + 1e-9).strftime("%m%d %H:%M") for v in times]
    assert stamps == ["0104 21:01", "0104 21:02", "0105 09:01", "0105 09:02",
                      "0105 21:01", "0105 21:02", "0108 09:01", "0108 09:02"]
    assert day_pos.tolist() == [0, 0, 0, 0, 1, 1, 1, 1]


def test_main_contract_periods(use_sample):
    res = h.get_main_contract([IF, {"Market": "sh", "Code": "600000"}], 20230101, 20230301)
    assert list(res) == [IF]
    days, contracts = res[IF]
    assert days.dtype == np.int64 and np.all(np.diff(days) > 0) and len(days) == len(contracts)
    assert days[0] >= 20230101 and days[-1] <= 20230301
    rolls = [i for i in range(1, len(contracts)) if contracts[i] != contracts[i - 1]]
    assert len(rolls) >= 3
    close = block(fetch([IF], freq="day"), 0)[gv.KMatrix_Close]
    all_days = h.get_trading_days(0, 99999999)
    for i in rolls:
        k = int(np.searchsorted(all_days, days[i]))
        assert abs(np.log(close[k] / close[k - 1])) > 0.005
    assert h.get_main_contract(["XX.NONE"], 20230101, 20230301) == {}


@pytest.mark.parametrize("code", [IF, RB])
def test_the_roll_gap_lies_between_old_close_and_new_open(use_sample, code):
    """At a roll the new main contract's first minute opens at its own level;
    inside a period every traded minute opens next to the close before it."""
    days, contracts = h.get_main_contract([code], 0, 99999999)[code]
    roll_days = [days[i] for i in range(1, len(days)) if contracts[i] != contracts[i - 1]]
    assert len(roll_days) >= 3
    r = fetch([code], filled=False)
    o, c, vol = (block(r, 0)[f] for f in (gv.KMatrix_Open, gv.KMatrix_Close, gv.KMatrix_Volume))
    trading_days = h.get_trading_days(0, 99999999)
    first_minute = [int(np.argmax(r["DayPos"] == np.searchsorted(trading_days, d))) for d in roll_days]
    assert all(vol[first_minute] > 0)
    jump = np.abs(o[1:] / c[:-1] - 1.0)
    at_roll = np.zeros(jump.size, dtype=bool)
    at_roll[np.array(first_minute) - 1] = True
    assert np.all(jump[at_roll] > 0.005)
    assert np.all(jump[~at_roll & (vol[1:] > 0)] < 0.002)
    # the day bars follow: the roll day opens away from the day before's close
    d = block(fetch([code], freq="day"), 0)
    k = np.searchsorted(trading_days, roll_days)
    assert np.all(np.abs(d[gv.KMatrix_Open, k] / d[gv.KMatrix_Close, k - 1] - 1.0) > 0.005)
    np.testing.assert_array_equal(d[gv.KMatrix_Open, k], o[first_minute])


def test_ticks_of_the_current_bar(use_sample, monkeypatch):
    tl = fetch([STOCK])["TimeLine"]
    monkeypatch.setattr(h, "_run_context", lambda: ([STOCK, {"Market": "SH", "Code": "600020"}], tl))
    rec = h.get_bar_tick_data(0, 5)
    bars = use_sample.bars_1m[STOCK]
    assert rec.Price.tolist() == [bars[f][5] for f in ("open", "high", "low", "close")]
    assert np.all((rec.Time > tl[4]) & (rec.Time <= tl[5]))
    assert rec.Volume.sum() == bars["volume"][5]
    assert len(h.get_bar_tick_data(1, 5)) == 0
    with pytest.raises(IndexError, match="target index 2"):
        h.get_bar_tick_data(2, 5)


def test_target_info_and_factors(use_sample):
    info = h.get_target_info([IF, "sh.600000"])
    assert [i["Type"] for i in info] == [gv.TARGETTYPE_FUTURE, gv.TARGETTYPE_STOCK]
    assert info[0]["Multiple"] == 300.0 and info[0]["MinMove"] == 0.2 and info[1]["Code"] == "600000"
    days = h.get_trading_days(0, 99999999)
    fac = get_factor_by_factor("pe", [STOCK, LISTED], 0, 99999999, 0)
    assert set(fac) == {"date", STOCK, LISTED}
    assert fac["date"][0] == int_date_to_ordinal(days[0]) and fac["date"].dtype == np.float64
    # a day's values are stamped with the next trading day: from the day after the listing on
    first = int(np.searchsorted(days, use_sample.instruments[4][5])) + 1
    assert np.isnan(fac[LISTED][:first]).all() and not np.isnan(fac[LISTED][first:]).any()
    assert np.isnan(fac[STOCK][0]) and not np.isnan(fac[STOCK][1:]).any()
    with pytest.raises(ValueError, match="unknown factor 'nope'.*pe"):
        get_factor_by_factor("nope", [STOCK], 0, 99999999, 0)


@pytest.mark.parametrize("form", ["600000.SH", "SH600000", "sh.600000", "600000.XSHG"])
def test_targets_in_the_importers_forms_are_the_stores_codes(use_sample, form):
    params = {"targets": [STOCK], "frequency": "day", "freq_num": 1, "begin_date": 0,
              "end_date": 99999999, "filled_up": True, "fq_type": 0, "need_show_ui_tip": False}
    want = h.get_k_data_multi(params)
    got = h.get_k_data_multi(dict(params, targets=[form]))
    assert h.target_codes([form, "SZ.000011"]) == [STOCK, "SZ.000011"]
    assert got.keys() == want.keys()
    for key in want:
        np.testing.assert_array_equal(got[key], want[key])


@pytest.mark.parametrize(
    "change, match",
    [
        ({"targets": ["SH.999999"]}, r"unknown target\(s\) SH.999999"),
        ({"targets": ["SH.600001"]}, r"SH.600001 \(did you mean SH.600000"),
        ({"targets": ["sz600000", "x"]},
         r"SZ.600000 \('sz600000'\) \(did you mean SH.600000, .*\), 'x' \(not a target code"),
        ({"targets": []}, r"non-empty list of targets, got \[\]"),
        ({"frequency": "week"}, r"not 'week'"),
        ({"frequency": "hourly"}, r"unknown frequency 'hourly'.*targets \['SH.600000'\].*dates 0-99999999"),
        ({"freq_num": 5}, r"freq_num 5"),
        ({"begin_date": 20230301, "end_date": 20230201}, r"begin date 20230301 is after end date 20230201"),
        ({"begin_date": 20300101, "end_date": 20300201}, r"no trading days between 20300101 and 20300201"),
        ({"targets": [LISTED], "end_date": 20230105}, r"no bars in the range.*SH.600040"),
    ],
)
def test_bad_requests_say_what_was_asked(use_sample, change, match):
    params = {"targets": [STOCK], "frequency": "min", "freq_num": 1, "begin_date": 0,
              "end_date": 99999999, "filled_up": True, "fq_type": 0, "need_show_ui_tip": True}
    params.update(change)
    with pytest.raises(ValueError, match=match):
        h.get_k_data_multi(params)


@pytest.mark.parametrize("frequency, error", [("hourly", ValueError), (None, TypeError)])
def test_bad_frequencies_of_calendar_bars_say_what_was_asked(use_sample, frequency, error):
    with pytest.raises(error, match=r"frequency.*\(targets \['SH.600000'\], frequency %r, dates 0-99999999\)"
                       % (frequency,)):
        h.get_trading_time([STOCK], frequency, 0, 99999999)


@pytest.mark.parametrize("content, problem", [
    (b"\x80\xfe\x00\x01binary", "is damaged"),
    (None, "cannot be read"),  # a folder in its place
    (b"3\n2024-01-02T00:00:00+00:00\nnot-a-store-id\n", "is damaged"),
], ids=["binary", "folder", "bad-id"])
def test_a_damaged_generation_file_is_named(empty_store, capsys, content, problem):
    empty_store.write_table("calendar", {"date": np.array([20230103])})
    gen = os.path.join(empty_store.path, "GENERATION")
    os.remove(gen)
    if content is None:
        os.mkdir(gen)
    else:
        with open(gen, "wb") as fh:
            fh.write(content)
    message = "store generation file %s %s" % (re.escape(gen), problem)
    for call in (lambda: h.get_trading_days(0, 99999999), h.store_generation, h.store_stamp,
                 lambda: empty_store.write_table("calendar", {"date": np.array([20230104])})):
        with pytest.raises(StoreError, match=message):
            call()
    assert main(["data", "info"]) == 1 and gen in capsys.readouterr().err
    # the write was refused before it touched the data
    assert pq.read_table(os.path.join(empty_store.path, "calendar.parquet"))["date"].to_pylist() == [20230103]


def test_store_errors_name_the_file(empty_store, tmp_path, monkeypatch):
    monkeypatch.setenv("VX_STORE_DIR", str(tmp_path / "nowhere"))
    with pytest.raises(StoreError, match="no bar store at .*nowhere"):
        h.get_trading_days(0, 99999999)
    monkeypatch.setenv("VX_STORE_DIR", empty_store.path)
    empty_store.write_table("calendar", {"date": np.array([20230103])})
    assert h.get_trading_days(0, 99999999).tolist() == [20230103]
    path = os.path.join(empty_store.path, "calendar.parquet")
    with open(path, "wb") as fh:
        fh.write(b"not parquet")
    empty_store._bump()  # a new generation makes the service open the store again
    with pytest.raises(StoreError, match="calendar.parquet has 11 bytes, the manifest records .*changed outside "
                       "a write step.*'vornix data repair --rehash --store "):
        h.get_trading_days(0, 99999999)
    assert "changed since the last write step: calendar.parquet" in _store.repair_store(empty_store.path, rehash=True)
    with pytest.raises(StoreError, match="calendar.parquet is damaged"):  # accepted as it is, read: damaged
        h.get_trading_days(0, 99999999)
    assert h.store_generation() == 3


def test_a_store_written_again_is_read_again(tmp_path, monkeypatch):
    import shutil

    from vornix.api.history._sample import write_sample_market

    path = tmp_path / "store"
    monkeypatch.setenv("VX_STORE_DIR", str(path))
    write_sample_market(h.HistoryStore(path, create=True), days=6, stocks=1)
    assert h.get_trading_days(0, 99999999).size == 6 and h.store_generation() == 1
    shutil.rmtree(path)
    write_sample_market(h.HistoryStore(path, create=True), days=7, stocks=1)
    assert h.get_trading_days(0, 99999999).size == 7 and h.store_generation() == 1


# --- store identity and the matrix cache keys --------------------------------------------------------------


@pytest.fixture
def still_clock(monkeypatch):
    """Every write gets the same time stamp, as a coarse clock gives two quick writes."""
    monkeypatch.setattr(_store, "_now", lambda: "2024-01-02T00:00:00+00:00")


def _build(path, close, days=6):
    """A one-stock sample market (seed 1) whose first day bar closes at `close`."""
    store = h.HistoryStore(path, create=True)
    write_sample_market(store, seed=1, days=days, stocks=1)
    bars = {k: v.copy() for k, v in store.read_bars(STOCK, "day").items()}
    bars["close"][0] = close
    store.write_bars(STOCK, "day", bars)
    return str(path)


def _key(monkeypatch, path):
    monkeypatch.setenv("VX_STORE_DIR", str(path))
    return ufuncs.calc_hash_value([{"TargetList": "['SH.600000']"}, {"TargetFre": 25}])


def test_cache_keys_tell_stores_apart(tmp_path, monkeypatch, still_clock):
    a, b = _build(tmp_path / "a", 10.0), _build(tmp_path / "b", 11.0)
    with open(os.path.join(a, "GENERATION")) as fa, open(os.path.join(b, "GENERATION")) as fb:
        assert fa.readline() == fb.readline() == "2\n"  # the same writes under the same clock
    key_a = _key(monkeypatch, a)
    assert key_a != _key(monkeypatch, b)
    # deleted and built again at the same path: neither the cache nor the service takes it for the old one
    assert h.get_trading_days(0, 99999999).size == 6
    shutil.rmtree(a)
    _build(a, 10.0, days=7)
    assert _key(monkeypatch, a) != key_a
    assert h.get_trading_days(0, 99999999).size == 7


def test_a_moved_store_keeps_its_cache_keys(tmp_path, monkeypatch):
    key = _key(monkeypatch, _build(tmp_path / "a", 10.0))
    os.rename(tmp_path / "a", tmp_path / "moved")
    assert _key(monkeypatch, tmp_path / "moved") == key


def test_a_store_without_id_is_keyed_on_its_folder_until_written(tmp_path, monkeypatch):
    path = _build(tmp_path / "old", 10.0)
    gen = os.path.join(path, "GENERATION")
    with open(gen) as fh:
        counter, stamp = fh.read().splitlines()[:2]
    with open(gen, "w") as fh:  # as written before stores had an id
        fh.write("%s\n%s\n" % (counter, stamp))
    key = _key(monkeypatch, path)
    assert h.get_trading_days(0, 99999999).size == 6
    h.HistoryStore(path, create=True)  # opening, even for writing, changes nothing
    os.rename(path, tmp_path / "moved")
    assert _key(monkeypatch, tmp_path / "moved") != key
    assert _key(monkeypatch, path) == key or not os.path.exists(path)
    store = h.HistoryStore(tmp_path / "moved")
    store.write_bars(STOCK, "day", store.read_bars(STOCK, "day"))
    with open(os.path.join(tmp_path / "moved", "GENERATION")) as fh:
        lines = fh.read().splitlines()
    assert lines[0] == str(int(counter) + 1) and re.fullmatch(r"[0-9a-f]{32}", lines[2])
    moved_key = _key(monkeypatch, tmp_path / "moved")
    os.rename(tmp_path / "moved", tmp_path / "again")
    assert _key(monkeypatch, tmp_path / "again") == moved_key


def _doubled(path):
    """Rewrites the stock's day bars with every price doubled, as a tool outside vornix would."""
    table = pq.read_table(path)
    cols = {c: table.column(c).to_numpy() * (2 if c in ("open", "high", "low", "close") else 1)
            for c in table.column_names}
    pq.write_table(pa.table(cols), path)
    return cols


@pytest.mark.parametrize("mode", ["stamp", "hash"])
def test_a_file_changed_outside_a_write_step_is_refused_until_rehashed(tmp_path, monkeypatch, still_clock, mode):
    monkeypatch.setenv(_manifest.VERIFY_SETTING, mode)
    a = _build(tmp_path / "a", 10.0)
    b = str(tmp_path / "b")
    shutil.copytree(a, b)  # the same id, generation and manifest: one cache key, rightly
    key_a = _key(monkeypatch, a)
    assert _key(monkeypatch, b) == key_a
    day_file = h.HistoryStore(b).bar_path(STOCK, "day")
    doubled = _doubled(day_file)
    with pytest.raises(StoreError, match=re.escape(day_file) + " has .*changed outside a write step.*'vornix "
                       "data repair --rehash --store %s'" % re.escape(b)):
        h.HistoryStore(b).read_bars(STOCK, "day")
    # a byte changed inside a page, the size and footer kept: the hash tells, and the check always
    with open(h.HistoryStore(a).bar_path(STOCK, "day"), "r+b") as fh:
        fh.seek(40)
        byte = fh.read(1)
        fh.seek(40)
        fh.write(bytes([byte[0] ^ 1]))
    if mode == "hash":
        with pytest.raises(StoreError, match="has another SHA-256"):
            h.HistoryStore(a).read_bars(STOCK, "day")
    ok, lines = _store.check_store(a)
    assert not ok and "CRC checksum verification failed" in "\n".join(lines) and "changed outside" in lines[-1]
    # a manifest edited to match, the generation kept: the cache key still tells the stores apart
    with open(os.path.join(b, _manifest.MANIFEST_FILE)) as fh:
        manifest = json.load(fh)
    manifest["files"]["bars/1d/%s.parquet" % STOCK] = [_manifest.entry_of(_manifest.file_digests(day_file))]
    with open(os.path.join(b, _manifest.MANIFEST_FILE), "w") as fh:
        json.dump(manifest, fh)
    assert _key(monkeypatch, b) != key_a
    # an intended change is accepted by a rehash, and served
    assert main(["data", "repair", "--rehash", "--store", b]) == 0
    np.testing.assert_array_equal(h.HistoryStore(b).read_bars(STOCK, "day")["close"], doubled["close"])
    assert _store.check_store(b)[0]  # the manifest matches (the contents are _build's own)


def test_a_store_without_a_manifest_is_read_once_a_write_step_or_a_rehash_gives_it_one(tmp_path):
    path = _build(tmp_path / "old", 10.0)
    os.remove(os.path.join(path, _manifest.MANIFEST_FILE))  # as written before stores had one
    with pytest.raises(StoreError, match="has no manifest MANIFEST.json.*'vornix data repair --rehash --store"):
        h.HistoryStore(path).read_bars(STOCK, "day")
    assert not _store.check_store(path)[0]
    store = h.HistoryStore(path)
    with store.batch():  # the step reads the file as it is and records every file
        store.write_bars(STOCK, "min", store.read_bars(STOCK, "min"))
    assert _store.check_store(path)[0]
    assert h.HistoryStore(path).read_bars(STOCK, "day")["close"][0] == 10.0
