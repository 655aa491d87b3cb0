"""Writers of the bar store and of the matrix cache that are killed part-way or run
at the same time: processes killed at random moments and at every point of a
step's switch, parallel imports, the write lock's time-out and readers while a
writer holds the lock.

Children are forked from a warm interpreter (multiprocessing's fork server with
the framework preloaded), so that a trial costs milliseconds, not an interpreter
start."""

import multiprocessing
import os
import re
import shutil
import signal
import time

import numpy as np
import pyarrow.parquet as pq
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vornix.api.history import _history as h
from vornix.api.history import _store
from vornix.api.history._import import import_csv
from vornix.cli import main
from vornix.tframe import ufuncs
from vornix.tframe.utils.exceptions import StoreError

_CTX = multiprocessing.get_context("forkserver")
# each child runs the main script again (pytest's): its imports are preloaded too
_CTX.set_forkserver_preload([
    "pytest", "vornix.cli", "vornix.api.history._import", "vornix.api.history._history",
    "vornix.sweep", "vornix.tframe.utils.logger", "pyarrow.csv", "pyarrow.dataset", "pyarrow.pandas_compat",
])

KILL_TRIALS = 100
CACHE_TRIALS = 20
STOCKS = ["60000%d" % i for i in range(4)]
DAYS = ["2024-01-%02d" % d for d in (2, 3, 4, 5, 8, 9, 10, 11, 12, 15, 16, 17)]
MINUTES = ["09:3%d" % m for m in range(1, 6)]  # the bar end times of the 09:30-09:35 session


def _start(code, **names):
    """A child process running `code` with `names` defined."""
    child = _CTX.Process(target=exec, args=(code, dict(names, __name__="__child__")), daemon=True)
    child.start()
    return child


IMPORT = """
import sys
from vornix.cli import main
sys.exit(main(argv))
"""

# kills itself (or stops, with how=SIGSTOP) at one point of an import step
CRASH = """
import os, sys
from vornix.api.history import _store
from vornix.cli import main

switched = [0]
real_replace, real_remove = os.replace, os.remove


def at(name):
    if name == point:
        os.kill(os.getpid(), how)


def replace(src, dst):
    name = os.path.basename(dst)
    at({_store.JOURNAL_FILE: "journal", _store.GENERATION_FILE: "generation"}.get(name))
    if name.endswith(".parquet") and not name.startswith("."):
        at("switch-%d" % switched[0])
        switched[0] += 1
    real_replace(src, dst)


def remove(path):
    if os.path.basename(path) == _store.JOURNAL_FILE:
        at("unlink")
    real_remove(path)


real_stage = _store._stage_table


def stage(path, table):
    at("staging") if os.path.basename(path) == "SH.600002.parquet" else None
    return real_stage(path, table)


os.replace, os.remove, _store._stage_table = replace, remove, stage
sys.exit(main(argv))
"""


def _bars(day_minutes, price):
    rows = ["SH,%s,%s %s,%s,%s,%s,%s,10" % (c, d, m, price, price + 1, price, price) for c in STOCKS
            for d, m in day_minutes]
    return "market,code,time,open,high,low,close,volume\n" + "\n".join(rows) + "\n"


class Market:
    """A small store (4 stocks, minute and day bars of one day) and an import that
    changes its 8 bar files: the next day's bars and a corrected bar of the first."""

    def __init__(self, folder):
        self.folder = folder
        self.template = str(folder / "template")
        store = h.HistoryStore(self.template, create=True)
        for kind, text in [
            ("sessions", "calendar,open,close\nT,09:30,09:35\n"),
            ("calendar", "date\n" + "\n".join(d.replace("-", "") for d in DAYS) + "\n"),
            ("instruments", "market,code,type,list_date,calendar\n"
             + "".join("SH,%s,stock,20240102,T\n" % c for c in STOCKS)),
        ]:
            import_csv(store, kind, self.write(kind + ".csv", text))
        import_csv(store, "bars-1m", self.write("a.csv", _bars([(DAYS[0], m) for m in MINUTES], 10)),
                   derive_day=True)
        self.new_file = self.write("b.csv", _bars([(DAYS[0], MINUTES[2])] + [(DAYS[1], m) for m in MINUTES], 11))
        self.old = self.contents(self.template)
        done = self.copy(folder / "done")
        import_csv(h.HistoryStore(done), "bars-1m", self.new_file, derive_day=True)
        self.new = self.contents(done)
        assert sorted(self.new) == sorted(self.old) and len(self.old) == 8 + 3
        self.changed = sorted(p for p in self.old if not self.old[p].equals(self.new[p]))
        assert len(self.changed) == 8

    def write(self, name, text):
        path = self.folder / name
        path.write_text(text)
        return str(path)

    def copy(self, dst):
        shutil.copytree(self.template, dst)
        return str(dst)

    def argv(self, store):
        return ["data", "import", "bars-1m", self.new_file, "--derive-day", "--store", store]

    @staticmethod
    def contents(store):
        out = {}
        for root, _, files in os.walk(store):
            for name in files:
                if name.endswith(".parquet") and not name.startswith("."):
                    path = os.path.join(root, name)
                    # as frames: equal where both hold NaN (an instrument without limit_pct)
                    out[os.path.relpath(path, store)] = pq.read_table(path).to_pandas()
        return out

    def states(self, store):
        """'old' or 'new' for each changed file; anything else fails."""
        now = self.contents(store)
        assert sorted(now) == sorted(self.old)
        out = {}
        for p in self.changed:
            out[p] = "old" if now[p].equals(self.old[p]) else "new" if now[p].equals(self.new[p]) else "neither"
        assert "neither" not in out.values(), out
        return out


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    m = Market(tmp_path_factory.mktemp("market"))
    # how long an import takes in a child (the first child also starts the fork server)
    for run in range(2):
        t0 = time.monotonic()
        child = _start(IMPORT, argv=m.argv(m.copy(m.folder / ("timing%d" % run))))
        child.join(60)
        assert child.exitcode == 0
        m.duration = time.monotonic() - t0
    return m


def _temps(store):
    return [n for _, _, files in os.walk(store) for n in files if n.startswith(".tmp-")]


def _served(store, monkeypatch):
    monkeypatch.setenv("VX_STORE_DIR", store)
    return h.get_trading_days(0, 99999999).size


def _assert_interrupted(store, states, monkeypatch, capsys):
    """A left journal is named by `info --check` file by file and stops the service."""
    capsys.readouterr()
    assert main(["data", "info", "--check", "--store", store]) == 1
    out = capsys.readouterr().out
    assert re.search(r"interrupted write: the import bars-1m of .*b\.csv started", out)
    for state, label in (("new", "new content"), ("old", "old content")):
        names = sorted(p for p, s in states.items() if s == state)
        listed = re.search(r"(\d+) file\(s\) hold their %s: (.*)" % label, out)
        assert (sorted(listed.group(2).split(", ")) if listed else []) == names, out
    with pytest.raises(StoreError, match=r"left half-written: the import bars-1m of .*b\.csv.*"
                                         r"vornix data repair --store %s" % re.escape(store)):
        _served(store, monkeypatch)
    assert main(["data", "info", "--store", store]) == 1


def _assert_finished(market, store, monkeypatch, generation):
    assert set(market.states(store).values()) == {"new"}
    assert not os.path.exists(os.path.join(store, _store.JOURNAL_FILE)) and not _temps(store)
    assert _store.read_generation(store) > generation and _served(store, monkeypatch) == len(DAYS)


@pytest.mark.parametrize("trial", range(KILL_TRIALS))
def test_an_import_killed_at_a_random_moment_leaves_each_file_old_or_new(market, tmp_path, monkeypatch, capsys,
                                                                          trial):
    store = market.copy(tmp_path / "store")
    generation = _store.read_generation(store)
    child = _start(IMPORT, argv=market.argv(store))
    time.sleep(np.random.default_rng(trial).uniform(0, 1.2) * market.duration)
    child.kill()
    child.join()
    states = market.states(store)
    if os.path.exists(os.path.join(store, _store.JOURNAL_FILE)):
        _assert_interrupted(store, states, monkeypatch, capsys)
        import_csv(h.HistoryStore(store), "bars-1m", market.new_file, derive_day=True)
        _assert_finished(market, store, monkeypatch, generation)
    else:  # stopped before its journal or after the journal was gone: all or nothing
        assert len(set(states.values())) == 1
        assert (_store.read_generation(store) > generation) == (states[market.changed[0]] == "new")
        assert _served(store, monkeypatch) == len(DAYS)


# every point at which a step can stop, and the two ways to finish it, taken in turn
POINTS = ["staging", "journal"] + ["switch-%d" % k for k in range(8)] + ["generation", "unlink"]
FIXES = [(p, "repair" if i % 2 == 0 else "import again") for i, p in enumerate(POINTS)]


@pytest.mark.parametrize("point, fix", FIXES, ids=["%s-%s" % f for f in FIXES])
def test_an_import_killed_at_each_point_of_its_step_is_finished_or_never_started(
        market, tmp_path, monkeypatch, capsys, point, fix):
    store = market.copy(tmp_path / "store")
    generation = _store.read_generation(store)
    child = _start(CRASH, argv=market.argv(store), point=point, how=signal.SIGKILL)
    child.join(60)
    assert child.exitcode == -signal.SIGKILL
    states = market.states(store)
    journal = point not in ("staging", "journal")
    switched = int(point.split("-")[1]) if point.startswith("switch") else 8 if journal else 0
    assert sum(s == "new" for s in states.values()) == switched
    assert os.path.exists(os.path.join(store, _store.JOURNAL_FILE)) == journal
    if journal:
        _assert_interrupted(store, states, monkeypatch, capsys)
    else:  # the old store, served as it was, and temporary files the next write removes
        assert _temps(store) and _served(store, monkeypatch) == len(DAYS)
        assert main(["data", "info", "--check", "--store", store]) == 0
        assert "temporary file(s) of writes stopped before they changed anything" in capsys.readouterr().out
    if fix == "repair":
        assert main(["data", "repair", "--store", store]) == 0
        out = capsys.readouterr().out
        if not journal:
            assert "no interrupted step to finish; removed" in out and not _temps(store)
            assert set(market.states(store).values()) == {"old"}
            return
        assert "finished the interrupted import bars-1m" in out and "%d of its 8 files" % (8 - switched) in out
    else:
        import_csv(h.HistoryStore(store), "bars-1m", market.new_file, derive_day=True)
    _assert_finished(market, store, monkeypatch, generation)
    assert main(["data", "info", "--check", "--store", store]) == 0


def test_a_switch_that_fails_says_what_was_switched_and_repair_finishes_it(market, tmp_path, monkeypatch,
                                                                           capsys):
    store = market.copy(tmp_path / "store")
    generation, real, seen = _store.read_generation(store), os.replace, []

    def replace(src, dst):
        if dst.endswith(".parquet") and not os.path.basename(dst).startswith("."):
            seen.append(os.path.relpath(dst, store))
            if len(seen) == 3:
                raise OSError(5, "Input/output error")
        real(src, dst)

    monkeypatch.setattr(os, "replace", replace)
    with pytest.raises(StoreError) as info:
        import_csv(h.HistoryStore(store), "bars-1m", market.new_file, derive_day=True)
    monkeypatch.setattr(os, "replace", real)
    text = str(info.value)
    assert "2 of the 8 files" in text and "Input/output error" in text and "vornix data repair" in text
    assert text.index(seen[0]) < text.index(seen[2])
    _assert_interrupted(store, market.states(store), monkeypatch, capsys)
    assert main(["data", "repair", "--store", store]) == 0
    _assert_finished(market, store, monkeypatch, generation)


def test_a_switch_in_progress_is_served_and_a_dead_one_is_refused(market, tmp_path, monkeypatch, capsys):
    """A journal whose writer still holds the lock is a switch under way, not an
    interruption: readers go on (and are not blocked); once the writer is gone the
    same journal stops them."""
    store = market.copy(tmp_path / "store")
    child = _start(CRASH, argv=market.argv(store), point="switch-3", how=signal.SIGSTOP)
    try:
        deadline = time.monotonic() + 30
        while not _stopped(child.pid):
            assert child.is_alive() and time.monotonic() < deadline
            time.sleep(0.005)
        assert os.path.exists(os.path.join(store, _store.JOURNAL_FILE))
        assert _served(store, monkeypatch) == len(DAYS)
        assert main(["data", "info", "--check", "--store", store]) == 0
        assert "switching its files in right now (pid %d)" % child.pid in capsys.readouterr().out
    finally:
        child.kill()
        child.join()
    _assert_interrupted(store, market.states(store), monkeypatch, capsys)


def _stopped(pid):
    with open("/proc/%d/stat" % pid) as fh:
        return fh.read().rsplit(")", 1)[1].split()[0] == "T"


# ------------------------------------------------------------------ concurrent writers

WRITER = """
import sys
from vornix.api.history._history import HistoryStore
from vornix.api.history._import import import_csv
store = HistoryStore(path)
for kind, file in files:
    import_csv(store, kind, file)
"""


def test_two_processes_importing_at_once_both_land(market, tmp_path):
    """Two writers, 50 imports each (bars of the same four stocks on slots of their
    own, and instruments each adding a stock): every row of both is stored."""
    store = market.copy(tmp_path / "store")
    slots = [(d, m) for d in DAYS[1:] for m in MINUTES]
    plans, added = [[], []], []
    for i in range(50):
        w = i % 2
        day, minute = slots[i]
        plans[w].append(("bars-1m", market.write("bars%d.csv" % i, _bars([(day, minute)], 20 + i))))
        code = "%06d" % (300000 + i)
        added.append("SZ." + code)
        plans[w].append(("instruments", market.write(
            "inst%d.csv" % i, "market,code,type,list_date,calendar\nSZ,%s,stock,20240102,T\n" % code)))
    writers = [_start(WRITER, path=store, files=plan) for plan in plans]
    for w in writers:
        w.join(120)
    assert [w.exitcode for w in writers] == [0, 0]
    reader = h.HistoryStore(store)
    times = {t: set(np.round(reader.read_bars("SH." + t, "min")["time"] * 1440).astype(int)) for t in STOCKS}
    assert all(len(v) == len(MINUTES) + 50 for v in times.values()), {t: len(v) for t, v in times.items()}
    assert set(added) <= set(reader.target_table())
    assert _store.check_store(store)[0]


HOLDER = """
import time
from vornix.api.history._store import write_lock
with write_lock(path):
    ready.set()
    time.sleep(60)
"""


def test_a_held_lock_times_out_naming_the_holder_and_never_blocks_readers(market, tmp_path, monkeypatch,
                                                                          capsys):
    store = market.copy(tmp_path / "store")
    ready = _CTX.Event()
    child = _start(HOLDER, path=store, ready=ready)
    try:
        assert ready.wait(30)
        before = market.contents(store)
        monkeypatch.setenv("VX_STORE_LOCK_TIMEOUT", "0.2")
        message = r"bar store %s is being written by another process \(pid %d\) and stayed locked for 0.2 s" % (
            re.escape(store), child.pid)
        with pytest.raises(StoreError, match=message):
            import_csv(h.HistoryStore(store), "bars-1m", market.new_file)
        assert main(["data", "calendar", "bars", "--store", store]) == 1
        assert re.search(message, capsys.readouterr().err)
        # readers go on while the writer holds the lock
        assert _served(store, monkeypatch) == len(DAYS)
        assert h.get_k_data_multi({"targets": ["SH.600000"], "frequency": "min", "begin_date": 20240102,
                                   "end_date": 20240102})["TimeLine"].size == len(MINUTES)
        assert main(["data", "info", "--check", "--store", store]) == 0
        with open(os.path.join(store, _store.LOCK_FILE)) as fh:
            assert child.is_alive() and fh.read() == "%d\n" % child.pid
        after = market.contents(store)
        assert all(after[p].equals(before[p]) for p in before)
    finally:
        child.kill()
        child.join()
    monkeypatch.setenv("VX_STORE_LOCK_TIMEOUT", "soon")
    with pytest.raises(ValueError, match="VX_STORE_LOCK_TIMEOUT='soon'"):
        import_csv(h.HistoryStore(store), "bars-1m", market.new_file)


# ------------------------------------------------------------------ matrix cache

CACHE_WRITER = """
import numpy as np
from vornix.tframe.ufuncs import save_mat_cache
tag = 0
while True:
    tag += 1
    save_mat_cache(folder, key, {"Matrix": np.full((200, 250), float(tag)), "bP": np.arange(7)})
"""
_CACHE_KEY = "0123456789abcdef_flag1"


def _assert_whole_or_missing(entry):
    if entry is not None:
        assert sorted(entry) == ["Matrix", "bP"] and entry["Matrix"].shape == (200, 250)
        assert np.unique(entry["Matrix"]).size == 1 and entry["bP"].ravel().tolist() == list(range(7))


@pytest.mark.parametrize("trial", range(CACHE_TRIALS))
def test_a_cache_writer_killed_at_a_random_moment_leaves_no_entry_or_a_whole_one(tmp_path, trial):
    folder = str(tmp_path / "mat")
    child = _start(CACHE_WRITER, folder=folder, key=_CACHE_KEY)
    time.sleep(np.random.default_rng(trial).uniform(0.0, 0.1))
    child.kill()
    child.join()
    _assert_whole_or_missing(ufuncs.load_mat_cache(folder, _CACHE_KEY))
    # a temporary file left by the killed writer is removed by a later save once it is old
    stale = [os.path.join(folder, n) for n in os.listdir(folder) if n.startswith(".tmp-")] if os.path.isdir(
        folder) else []
    for path in stale:
        os.utime(path, (time.time() - 7200,) * 2)
    ufuncs.save_mat_cache(folder, _CACHE_KEY, {"Matrix": np.zeros((200, 250)), "bP": np.arange(7)})
    assert os.listdir(folder) == [_CACHE_KEY + ".mat"]


@pytest.fixture(scope="module")
def cache_entry(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("mat"))
    value = {"Matrix": np.arange(60.0).reshape(6, 10), "UnfilledIdx": [np.array([0, 1]), np.array([3])]}
    path = ufuncs.save_mat_cache(folder, _CACHE_KEY, value)
    with open(path, "rb") as fh:
        return folder, path, fh.read(), value


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(damage=st.sampled_from(["cut", "flip"]), where=st.floats(0, 1, exclude_max=True), bit=st.integers(0, 7))
def test_a_truncated_or_damaged_cache_entry_is_a_miss(cache_entry, caplog, damage, where, bit):
    folder, path, data, value = cache_entry
    pos = int(where * len(data))
    if damage == "cut":
        damaged = data[:pos]
    else:
        damaged = bytearray(data)
        damaged[pos] ^= 1 << bit
    with open(path, "wb") as fh:
        fh.write(bytes(damaged))
    assert ufuncs.load_mat_cache(folder, _CACHE_KEY) is None  # never parsed, so never a crash
    assert "is unreadable and will be rebuilt" in caplog.text and not os.path.exists(path)
    with open(path, "wb") as fh:
        fh.write(data)
    back = ufuncs.load_mat_cache(folder, _CACHE_KEY)
    assert np.array_equal(back["Matrix"], value["Matrix"]) and "vxCacheSig" not in back


def test_a_cache_entry_signed_with_another_key_is_a_miss(cache_entry, monkeypatch, tmp_path):
    """Whoever can write the cache folder but lacks the user's key cannot plant an entry."""
    folder, path, data, value = cache_entry
    monkeypatch.setenv("VX_CORE_KEY_FILE", str(tmp_path / "other.key"))
    ufuncs.save_mat_cache(folder, _CACHE_KEY, {"Matrix": value["Matrix"] * 2, "UnfilledIdx": [1]})
    monkeypatch.undo()
    assert ufuncs.load_mat_cache(folder, _CACHE_KEY) is None and not os.path.exists(path)
    with open(path, "wb") as fh:
        fh.write(data)
