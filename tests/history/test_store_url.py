"""A bar store at a URL (an S3 bucket served by moto on localhost, and file://):
`vornix data upload` copies a local store there, the history service and runs read
it as they read the folder, and nothing writes to it."""

import json
import os
import shutil
import textwrap

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

from vornix.api.history import _history
from vornix.api.history._history import HistoryStore, open_store
from vornix.api.history._sample import write_sample_market
from vornix.api.history._store import GENERATION_FILE, JOURNAL_FILE, check_store, upload_store
from vornix.runner import run
from vornix.tframe.sysdefine import GlobalDefine as gv
from vornix.tframe.utils.datetimefunc import int_date_to_datenum_array
from vornix.tframe.utils.exceptions import StoreError
from vxtest.datacli import cli
from vxtest.markets import SAMPLE_DAYS
from vxtest.objectstore import SECRET, listing

TABLES = ("instruments", "calendar", "sessions", "adjust", "main_contracts")


@pytest.fixture(scope="module")
def uploaded(sample_market, s3_service, tmp_path_factory):
    """{kind: URL} of the sample market uploaded to S3 and to a file:// URL."""
    s3_service.bucket("market")
    local = tmp_path_factory.mktemp("as-url") / "copy"
    urls = {"s3": s3_service.url("market", "stores/sample"), "file": "file://%s" % local}
    for url in urls.values():
        upload_store(sample_market[0], url)
    return urls


def _local_files(store):
    out = []
    for root, _, names in os.walk(store):
        out.extend(os.path.relpath(os.path.join(root, n), store) for n in names if n.endswith(".parquet"))
    return sorted(out)


def _frame(table):
    return table.to_pandas().reset_index(drop=True)


# ------------------------------------------------------------------ reading


@pytest.mark.parametrize("kind", ["s3", "file"])
def test_every_store_file_reads_at_the_url_as_in_the_folder(sample_market, uploaded, kind):
    local = sample_market[0]
    store = HistoryStore(uploaded[kind])
    folder = HistoryStore(local)
    assert (store.generation, store.store_id) == (folder.generation, folder.store_id) != (0, "")
    assert SECRET not in store.path and "?" not in store.path
    for name in TABLES:
        pd.testing.assert_frame_equal(store._table(name), _frame(pq.read_table(os.path.join(local, name + ".parquet"))))
    codes = sorted(store.target_table())
    assert len(codes) == 20  # 6 stocks, 2 continuous futures and their 12 contracts
    for code in codes:
        for freq, sub in (("min", "1m"), ("day", "1d")):
            expected = pq.read_table(os.path.join(local, "bars", sub, code + ".parquet"))
            got = store.read_bars(code, freq)
            for column in expected.column_names:
                np.testing.assert_array_equal(got[column], expected.column(column).to_numpy(), err_msg=code)
            assert store.bar_count(code, freq) == expected.num_rows
        tick_file = os.path.join(local, "ticks", code + ".parquet")
        ticks = store.read_ticks(code)
        if os.path.exists(tick_file):
            np.testing.assert_array_equal(ticks["price"], pq.read_table(tick_file).column("price").to_numpy())
        else:
            assert ticks is None
    names = sorted(n[: -len(".parquet")] for n in os.listdir(os.path.join(local, "factors")))
    assert store.factor_names() == names
    for name in names:
        pd.testing.assert_frame_equal(store.read_factor(name),
                                      _frame(pq.read_table(os.path.join(local, "factors", name + ".parquet"))))
    assert store.read_bars("SH.999999", "min") is None and store.bar_count("SH.999999", "day") == 0
    assert store.summary()[1:] == folder.summary()[1:]
    ok, lines = check_store(uploaded[kind])
    assert ok and lines[-1] == "no problems found"


@pytest.mark.parametrize("fq_type", [gv.FQType_None, gv.FQType_Forward, gv.FQType_Backward])
def test_the_service_on_a_url_serves_the_bars_of_the_folder_and_a_cut_hides_the_future(
        sample_market, uploaded, monkeypatch, fq_type):
    store_path, market = sample_market
    codes = sorted(HistoryStore(store_path).target_table())
    begin, end = int(market.days[0]), int(market.days[-1])
    request = {"targets": codes, "frequency": "min", "freq_num": 1, "begin_date": begin, "end_date": end,
               "filled_up": True, "fq_type": fq_type, "need_show_ui_tip": False}
    cut = float(int_date_to_datenum_array([int(market.days[SAMPLE_DAYS // 2])])[0]) + 10.5 / 24
    got = {}
    for where, path in (("folder", store_path), ("url", uploaded["s3"])):
        for c in (None, cut):
            monkeypatch.setenv("VX_STORE_DIR", path)
            if c is None:
                monkeypatch.delenv("VX_STORE_CUT", raising=False)
            else:
                monkeypatch.setenv("VX_STORE_CUT", repr(c))
            got[where, c] = _history.get_k_data_multi(dict(request))
    for c in (None, cut):
        a, b = got["folder", c], got["url", c]
        assert sorted(a) == sorted(b)
        for key in a:
            np.testing.assert_array_equal(np.asarray(a[key]), np.asarray(b[key]), err_msg=key)
    # the cut view: the whole view up to the cut (forward-adjusted prices are those
    # as of the cut); after it nothing new: each row stays as it was filled at the
    # first step after the cut (no bar there: the last close, no volume) or empty
    whole, early = got["url", None], got["url", cut]
    np.testing.assert_array_equal(early["TimeLine"], whole["TimeLine"])
    keep = whole["TimeLine"] <= cut
    assert 0 < keep.sum() < keep.size
    if fq_type != gv.FQType_Forward:
        np.testing.assert_array_equal(early["KArray"][:, keep], whole["KArray"][:, keep])
    after = early["KArray"][:, ~keep]
    assert (np.isnan(after) | (after == after[:, [0]])).all()
    assert not np.array_equal(after, whole["KArray"][:, ~keep], equal_nan=True)


STRATEGY = """
import numpy as np

RUN = {"targets": ["SH.600000", "SZ.000011", "CFE.IF00"], "frequency": "min", "count": 15,
       "adjust": "forward", "begin": 20230103, "end": 20230120}


def init(context):
    context.bars = context.reg_bars("min", 15, adjust=True)
    context.days = context.reg_bars("day")
    context.pe = context.reg_factor(["pe"])


def on_data(context):
    context.record("close", float(np.nansum(context.bars.values(4)[:, 5])))
    context.record("day_close", float(np.nansum(context.days.values(2)[:, 5])))
    context.record("pe", float(np.nansum(context.pe.values(3)[1])))
    if context.step % 40 == 0:
        context.order_target_percent("SH.600000", 0.3 if context.step % 80 == 0 else 0.0)
"""


def test_a_run_on_the_url_gives_the_run_on_the_folder_and_writes_nothing_there(
        sample_market, uploaded, s3_service, tmp_path, monkeypatch, run_state):
    path = tmp_path / "strategy.py"
    path.write_text(textwrap.dedent(STRATEGY))
    before = listing(s3_service.fs, "market")
    results = {}
    for where, store in (("folder", sample_market[0]), ("url", uploaded["s3"])):
        monkeypatch.setenv("VX_STORE_DIR", store)
        monkeypatch.setenv("VX_CORE_CACHE_DIR", str(tmp_path / ("cache-" + where)))
        results[where] = run(str(path), out=False, quiet=True, cash=1e7)
    a, b = results["folder"], results["url"]
    assert a.steps == b.steps > 100
    pd.testing.assert_frame_equal(a.records, b.records)
    pd.testing.assert_frame_equal(a.trades, b.trades)
    assert len(a.trades) > 0 and (a.records["pe"] > 0).any()
    assert listing(s3_service.fs, "market") == before


# ------------------------------------------------------------------ writing


@pytest.mark.parametrize("args", [
    ("sample", "--days", "5"),
    ("import", "calendar", "/nonexistent.csv"),
    ("calendar", "bars"),
    ("derive-day",),
    ("repair",),
])
def test_writes_to_a_url_are_refused_naming_the_upload_and_change_nothing(uploaded, s3_service, args, capsys):
    before = listing(s3_service.fs, "market")
    assert cli(*args, store=uploaded["s3"]) != 0
    err = capsys.readouterr().err
    assert "read-only" in err and "vornix data upload" in err and "s3://market/stores/sample" in err, err
    assert SECRET not in err and "endpoint_override" not in err
    assert listing(s3_service.fs, "market") == before
    with pytest.raises(StoreError, match="read-only"):
        HistoryStore(uploaded["s3"], create=True)


def _second_store(folder, seed):
    store = HistoryStore(folder, create=True)
    write_sample_market(store, seed=seed, days=6, stocks=2)
    return str(folder)


def test_an_upload_replaces_the_earlier_copy_and_keeps_what_is_not_the_stores(
        sample_market, s3_service, tmp_path, monkeypatch):
    s3_service.bucket("replace")
    url = s3_service.url("replace", "s")
    fs = s3_service.fs
    upload_store(sample_market[0], url)
    for key in ("replace/s/notes.txt", "replace/s/other/x.parquet", "replace/elsewhere.parquet"):
        with fs.open_output_stream(key) as out:
            out.write(b"not the store's")
    monkeypatch.setenv("VX_STORE_DIR", url)
    monkeypatch.setattr(_history, "REMOTE_RECHECK_SECONDS", 0.0)
    assert len(_history.current_store().target_table()) == 20
    small = _second_store(tmp_path / "small", seed=3)
    foreign = {"replace/s/notes.txt", "replace/s/other/x.parquet", "replace/elsewhere.parquet"}
    wanted = {"replace/s/" + rel for rel in _local_files(small)} | {"replace/s/" + GENERATION_FILE,
                                                                     "replace/s/MANIFEST.json"}
    gone = set(listing(fs, "replace")) - foreign - wanted  # the first store's files the second lacks
    # minute and day bars of the four stocks and the eight contracts the small store does not have
    assert len(gone) == (4 + 8) * 2
    message = upload_store(small, url)
    assert message.endswith("removed %d file(s) it no longer holds" % len(gone)), message
    files = listing(fs, "replace")
    assert set(files) == wanted | foreign, sorted(set(files) ^ (wanted | foreign))
    # the service sees the new copy: its id and generation, its targets and bars
    store = _history.current_store()
    local = HistoryStore(small)
    assert (store.store_id, store.generation) == (local.store_id, local.generation)
    assert sorted(store.target_table()) == sorted(local.target_table())
    code = sorted(local.target_table())[0]
    np.testing.assert_array_equal(store.read_bars(code, "min")["close"],
                                  pq.read_table(local.bar_path(code, "min")).column("close").to_numpy())
    assert _history.store_stamp() == "%s|manifest %s" % (_history.content_stamp(small), local.manifest_digest())


def test_an_upload_leaves_a_place_holding_something_else_alone(sample_market, s3_service):
    s3_service.bucket("lake")
    with s3_service.fs.open_output_stream("lake/data/part-0.parquet") as out:
        out.write(b"someone else's table")
    before = listing(s3_service.fs, "lake")
    with pytest.raises(StoreError, match=r"holds 1 file\(s\) but no bar store"):
        upload_store(sample_market[0], s3_service.url("lake", "data"))
    assert listing(s3_service.fs, "lake") == before


def test_a_stopped_upload_is_refused_until_an_upload_finishes(sample_market, s3_service, monkeypatch):
    s3_service.bucket("stopped")
    url = s3_service.url("stopped", "s")
    copies = {"n": 0}
    real = shutil.copyfileobj

    def failing(src, dst, length=0):
        copies["n"] += 1
        if copies["n"] == 5:
            raise OSError("connection reset (planted)")
        return real(src, dst, length)

    with monkeypatch.context() as mp:
        mp.setattr(shutil, "copyfileobj", failing)
        with pytest.raises(StoreError, match="stopped: connection reset.*run it again"):
            upload_store(sample_market[0], url)
    with pytest.raises(StoreError, match="an upload into it from .* has not finished"):
        open_store(url)
    ok, lines = check_store(url)
    assert not ok and any(line.startswith("PROBLEM: an upload") for line in lines)
    upload_store(sample_market[0], url)
    assert check_store(url)[0]
    assert sorted(open_store(url).target_table()) == sorted(HistoryStore(sample_market[0]).target_table())


def test_a_journal_copied_with_the_store_is_refused(sample_market, s3_service):
    s3_service.bucket("journal")
    url = s3_service.url("journal", "s")
    upload_store(sample_market[0], url)
    with s3_service.fs.open_output_stream("journal/s/" + JOURNAL_FILE) as out:
        out.write(json.dumps({"kind": "import bars-1m", "files": []}).encode())
    with pytest.raises(StoreError, match="journal .* stopped part-way .*vornix data repair"):
        open_store(url)
    # the next upload of the finished store replaces it
    upload_store(sample_market[0], url)
    assert open_store(url).generation == HistoryStore(sample_market[0]).generation


@pytest.mark.parametrize("where, words", [
    ("s3://nobucket-here/none", "no bar store at s3://nobucket-here/none"),
    ("nosuchscheme://x/y", "cannot be opened"),
])
def test_a_url_without_a_store_says_so(s3_service, where, words):
    url = where
    if where.startswith("s3://"):
        url = s3_service.url("nobucket-here", "none")
    with pytest.raises(StoreError, match=words) as info:
        open_store(url)
    assert SECRET not in str(info.value)


def test_a_store_with_an_interrupted_write_is_not_uploaded(sample_market, tmp_path):
    copy = tmp_path / "copy"
    shutil.copytree(sample_market[0], copy)
    (copy / JOURNAL_FILE).write_text(json.dumps({"kind": "import bars-1m", "source": "/data/b.csv", "files": []}))
    with pytest.raises(StoreError, match=r"stopped part-way \(the import bars-1m of /data/b.csv\).*vornix data repair"):
        upload_store(str(copy), "file://%s" % (tmp_path / "url"))
    assert not (tmp_path / "url").exists()


def test_an_upload_copies_a_local_store_to_a_url_only(sample_market, tmp_path, uploaded):
    with pytest.raises(StoreError, match="local folder: copy the store's folder"):
        upload_store(sample_market[0], str(tmp_path / "x"))
    with pytest.raises(StoreError, match="is a URL itself"):
        upload_store(uploaded["file"], "file://%s" % (tmp_path / "y"))
    empty = tmp_path / "empty"
    empty.mkdir()
    with pytest.raises(StoreError, match="holds nothing yet"):
        upload_store(str(empty), "file://%s" % (tmp_path / "z"))
    assert not (tmp_path / "z").exists()


def test_a_damaged_file_at_the_url_is_named_by_the_fetch_and_the_check(sample_market, s3_service, monkeypatch):
    s3_service.bucket("damaged")
    url = s3_service.url("damaged", "s")
    upload_store(sample_market[0], url)
    codes = sorted(HistoryStore(sample_market[0]).target_table())
    bad = codes[5]  # read by one of the reading threads, after others
    with s3_service.fs.open_output_stream("damaged/s/bars/1m/%s.parquet" % bad) as out:
        out.write(b"PAR1 not a table PAR1")
    monkeypatch.setenv("VX_STORE_DIR", url)
    days = HistoryStore(sample_market[0]).trading_days()
    # the fetch names it as changed outside a write step (it no longer matches the manifest)
    with pytest.raises(StoreError, match=r"store file s3://damaged/s/bars/1m/%s\.parquet has 21 bytes, the "
                       r"manifest records \d+: it was changed outside a write step.*repair --rehash" % bad):
        _history.get_k_data_multi({"targets": codes, "frequency": "min", "begin_date": int(days[0]),
                                   "end_date": int(days[-1])})
    ok, lines = check_store(url)
    assert not ok and "bars/1m/%s.parquet" % bad in lines[-1] and "cannot be read: bars/1m/%s" % bad in lines[-2]


def test_a_store_copied_by_other_tools_without_folder_objects_reads_the_same(sample_market, s3_service):
    """Such as `aws s3 sync`: one object per file, no objects standing for folders."""
    s3_service.bucket("synced")
    local = sample_market[0]
    for root, _, names in os.walk(local):
        for name in names:
            if name.startswith("."):
                continue
            rel = os.path.relpath(os.path.join(root, name), local)
            with open(os.path.join(root, name), "rb") as src, \
                    s3_service.fs.open_output_stream("synced/copy/" + rel) as out:
                out.write(src.read())
    keys = listing(s3_service.fs, "synced")
    assert "synced/copy/GENERATION" in keys and not any(k.endswith("/") for k in keys)
    store = open_store(s3_service.url("synced", "copy"))
    folder = HistoryStore(local)
    assert store.summary()[1:] == folder.summary()[1:]
    for code in sorted(folder.target_table()):
        np.testing.assert_array_equal(store.read_bars(code, "min")["close"],
                                      pq.read_table(folder.bar_path(code, "min")).column("close").to_numpy())
