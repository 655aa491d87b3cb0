import os
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from vornix.api.history._history import HistoryStore
from vornix.cli import main
from vornix.tframe.utils.datetimefunc import datenum_to_datetime


def test_sample_then_info(tmp_path, monkeypatch, capsys):
    store = str(tmp_path / "store")
    monkeypatch.setenv("VX_STORE_DIR", store)
    assert main(["data", "sample", "--days", "12", "--stocks", "6", "--seed", "3"]) == 0
    assert main(["data", "info"]) == 0
    out = capsys.readouterr().out
    for text in ("stock targets: 6", "future targets: 2 (CFE.IF00, SHF.RB00)", "trading days: 12",
                 "1-minute bars: ", "main-contract targets: CFE.IF00, SHF.RB00", "factors: pb, pe, turnover_rate",
                 "calendar SSE: 09:30-11:30, 13:00-15:00", store):
        assert text in out
    # one line per target, its bars counted and dated from the files themselves
    assert main(["data", "info", "--targets"]) == 0
    lines = capsys.readouterr().out.splitlines()
    table = HistoryStore(store).target_table()
    assert [line.split()[0] for line in lines] == list(table)
    for line, code in zip(lines, table):
        for freq, kind, fmt in (("min", "1-minute bars", "%Y-%m-%d %H:%M"), ("day", "day bars", "%Y-%m-%d")):
            t = HistoryStore(store).read_bars(code, freq)["time"]
            span = [datenum_to_datetime(x).strftime(fmt) for x in (t[0], t[-1])]
            assert "%s %d from %s to %s" % (kind, t.size, *span) in line, line
        assert line.split()[1] == table[code]["type"]
    first = HistoryStore(store).read_bars("SH.600000", "min")
    # the same seed gives the same market, another seed another one
    again = str(tmp_path / "again")
    assert main(["data", "sample", "--store", again, "--days", "12", "--stocks", "6", "--seed", "3"]) == 0
    assert np.array_equal(HistoryStore(again).read_bars("SH.600000", "min")["close"], first["close"])
    other = str(tmp_path / "other")
    assert main(["data", "sample", "--store", other, "--days", "12", "--stocks", "6", "--seed", "4"]) == 0
    assert not np.array_equal(HistoryStore(other).read_bars("SH.600000", "min")["close"], first["close"])


def test_errors_exit_with_status_1(tmp_path, capsys, monkeypatch):
    monkeypatch.setenv("VX_STORE_DIR", str(tmp_path / "default"))
    assert main(["data", "info", "--store", str(tmp_path / "none")]) == 1
    assert "no bar store at" in capsys.readouterr().err
    bad = tmp_path / "bad.csv"
    bad.write_text("date\n2024013\n")
    assert main(["data", "import", "calendar", str(bad), "--store", str(tmp_path / "s")]) == 1
    err = capsys.readouterr().err
    assert "bad.csv: 1 bad line(s)" in err and "line 2: date '2024013' is not a date" in err


def test_python_dash_m_runs_the_cli(tmp_path):
    env = dict(os.environ, VX_STORE_DIR=str(tmp_path / "store"))
    run = subprocess.run([sys.executable, "-m", "vornix", "data", "sample", "--days", "6", "--stocks", "6"],
                         env=env, capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stderr
    assert "6 trading days" in run.stdout
    import vornix

    version = subprocess.run([sys.executable, "-m", "vornix", "--log-level", "debug", "--version"],
                             env=env, capture_output=True, text=True, check=False)
    assert version.stdout.strip() == "vornix " + vornix.__version__

    # a broken settings file: one line, whatever the command would have started
    (tmp_path / "settings.json").write_text("{broken")
    env["VX_CONFIG_FILE"] = str(tmp_path / "settings.json")
    for args in (["data", "info"], ["run", str(tmp_path / "none.py")]):
        run = subprocess.run([sys.executable, "-m", "vornix", *args], env=env, capture_output=True, text=True,
                             check=False)
        assert run.returncode == 1 and run.stderr.count("\n") == 1, run.stderr
        assert run.stderr.startswith("vornix: error: settings file %s cannot be read" % env["VX_CONFIG_FILE"])


def _bars_damage(how):
    def damage(d):
        if how == "reversed":
            return {c: v[::-1].copy() for c, v in d.items()}
        if how == "int volume":
            d["volume"] = d["volume"].astype(np.int64)
        else:
            column, row, value = how
            d[column][row] = value(d, row) if callable(value) else value
        return d
    return damage


@pytest.fixture(scope="module")
def checked_store(tmp_path_factory):
    store = str(tmp_path_factory.mktemp("check") / "store")
    assert main(["data", "sample", "--store", store, "--days", "5", "--stocks", "2"]) == 0
    return store


BARS = os.path.join("bars", "1m", "SH.600000.parquet")


@pytest.mark.parametrize("how, expected", [
    (("time", 2, np.nan), "row 3: time 'nan' is not a number"),
    ("reversed", "row 2: time %s of SH.600000 is before the one on row 1"),
    (("close", 5, -1e308), "row 6: close -1e+308 must be above 0"),
    (("high", 7, np.inf), "row 8: high 'inf' is not a finite number"),
    (("high", 4, lambda d, i: min(d["open"][i], d["close"][i]) - 1), "row 5: high %g is below open"),
    (("volume", 1, -5.0), "row 2: volume -5.0 is negative"),
    ("int volume", "column volume holds int64, the store writes double"),
    ("flipped page", "cannot be read: %s" % BARS),
    ("hostile factor", "'\\x1b]0;owned\\x07\\x1b[2J' has a second row for"),
], ids=["nan-time", "reversed", "negative-close", "inf-high", "high-below", "negative-volume", "type",
        "flipped", "hostile"])
def test_check_reads_every_value_and_reports_file_row_and_value(checked_store, tmp_path, capsys, how,
                                                                 expected):
    store = str(tmp_path / "store")
    shutil.copytree(checked_store, store)
    assert main(["data", "info", "--check", "--store", store]) == 0
    capsys.readouterr()
    path = os.path.join(store, BARS)
    if how == "flipped page":
        with open(path, "r+b") as fh:
            fh.seek(100)
            chunk = fh.read(8)
            fh.seek(100)
            fh.write(bytes(b ^ 0x5A for b in chunk))
    elif how == "hostile factor":
        path = os.path.join(store, "factors", "pe.parquet")
        table = pq.read_table(path)
        row = table.slice(0, 1).set_column(1, "target", pa.array(["\x1b]0;owned\x07\x1b[2J"]))
        pq.write_table(pa.concat_tables([table, row, row]), path)
    else:
        table = pq.read_table(path)
        d = _bars_damage(how)({c: table.column(c).to_numpy().copy() for c in table.column_names})
        pq.write_table(pa.table(d), path)
        times = d["time"]
        if how == "reversed":
            expected %= pd.Timestamp(times[1] * 86400 - 719529 * 86400, unit="s").strftime("%Y-%m-%d %H:%M")
        elif "%g" in expected:
            expected %= d["high"][4]
    assert main(["data", "info", "--check", "--store", store]) == 1
    out = capsys.readouterr().out
    assert expected in out and "\x1b" not in out and "no problems found" not in out
    if how != "hostile factor":
        assert BARS in out


def test_the_data_module_imports_frames_and_lists_targets(tmp_path, monkeypatch):
    import pandas as pd
    import pytest

    import vornix.data as vd

    monkeypatch.setenv("VX_STORE_DIR", str(tmp_path / "store"))
    vd.sample(days=5, stocks=2)
    days = HistoryStore(tmp_path / "store").trading_days()[:2]
    when = pd.to_datetime([str(d) for d in days])
    frame = pd.DataFrame({"symbol": "600000.SH", "date": when, "open": [1.5, 2.5],
                          "high": [2.0, 3.0], "low": [1.0, 2.0], "close": [1.5, 2.0],
                          "volume": [100, 200]})
    assert vd.import_frame("bars-1d", frame, volume_scale=100) == (
        "2 day bars of 1 target(s); replaced 2 stored day bar(s) that differed (SH.600000 2)")
    bars = HistoryStore(tmp_path / "store").read_bars("SH.600000", "day")
    assert list(bars["close"][:2]) == [1.5, 2.0] and list(bars["volume"][:2]) == [1e4, 2e4]
    frame.loc[1, "high"] = 0.5
    with pytest.raises(vd.DataImportError, match=r"DataFrame: 1 bad line(?s:.*)line 3: high 0.5"):
        vd.import_frame("bars-1d", frame)
    table = vd.info()
    assert list(table["code"][:2]) == ["SH.600000", "SZ.000011"]
    row = table.iloc[0]
    assert row["first_day"] == when[0] + pd.Timedelta(hours=15) and row["day_bars"] == 5
