"""`vornix sweep` and `vornix.sweep`: a grid of runs, each in a process of its own,
on the sample market (seed 7, 30 days); walk-forward windows and their choice; the
engines; the matrix cache shared by concurrent runs.

Expectations come from outside the sweep: a run of the same combination made
directly in this process, the store's GENERATION file read as text, the trading
days of the sample market, and a few lines of plain Python that count the fills of
the planted walk-forward strategy.
"""

import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import vornix
from vornix.cli import main
from vornix.runner import run
from vornix.sweep import parse_grid, split_windows, sweep, walk_forward
from vornix.sweep._sweep import best_index
from vxtest.settings import kernel_settings

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
GRID = {"fast": [1, 2, 3], "slow": [4, 5, 6]}
FAILING = (3, 6)
SETTINGS = {"cash": 1e7, "core": "local"}
# columns that say how a run went on this occasion rather than what it computed
VARYING = ["run_seconds", "error_snapshot"]

CROSS = """
import numpy as np

RUN = {"targets": ["SH.600000", "CFE.IF00"], "frequency": "day",
       "begin": "2023-01-03", "end": "2023-01-18"}
PARAMS = {"fast": 2, "slow": 5, "weight": 0.4}


def init(context):
    if (context.params["fast"], context.params["slow"]) == (3, 6):
        raise ValueError("planted: no run for fast=3, slow=6")
    context.daily = context.reg_bars("day")
    context.weekly = context.reg_bars("week")  # synthesised: an entry of the matrix cache


def on_data(context):
    fast, slow = context.params["fast"], context.params["slow"]
    context.record("week_close", context.weekly.values(1)[:, 5])
    close = context.daily.values(slow).reshape(len(context.targets), slow, -1)[:, :, 5]
    for i, target in enumerate(context.targets):
        if np.isnan(close[i]).any():
            continue
        up = close[i, -fast:].mean() > close[i].mean()
        context.order_target_percent(target, context.params["weight"] if up else 0.0)
"""

# p=1 orders one contract on every day before `switch`, p=2 on every day from it on (no
# rolls: the position held every other day stays in its contract)
PLANTED = """
RUN = {"targets": ["CFE.IF00"], "frequency": "day", "roll": "manual"}
PARAMS = {"p": 1, "switch": 20230101}


def init(context):
    context.d = context.reg_bars("day")


def on_data(context):
    context.d.values(1)
    now = context.now
    early = now.year * 10000 + now.month * 100 + now.day < context.params["switch"]
    if (context.params["p"] == 1) == early:
        context.order("CFE.IF00", 1 if context.step % 2 == 0 else -1)
"""


def _write(folder, name, source):
    path = folder / name
    path.write_text(textwrap.dedent(source))
    return str(path)


@pytest.fixture(scope="module")
def world(sample_market, tmp_path_factory):
    """The sample market as the configured store, a core cache of the module's own
    and the strategies; yields a dict with their paths."""
    root = tmp_path_factory.mktemp("sweep")
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("VX_STORE_DIR", sample_market[0])
        mp.setenv("VX_CORE_CACHE_DIR", str(root / "core-cache"))
        yield {
            "root": root,
            "store": sample_market[0],
            "market": sample_market[1],
            "cross": _write(root, "cross.py", CROSS),
            "planted": _write(root, "planted.py", PLANTED),
        }


@pytest.fixture(scope="module")
def reference(world):
    """The 3x3 sweep with one job: the rows the other ways of running must give.  Its
    runs have a time-out that they never reach, which changes nothing in their rows."""
    return sweep(world["cross"], GRID, jobs=1, quiet=True, run_timeout=600, **SETTINGS)


def _same_rows(a, b, **kwargs):
    pd.testing.assert_frame_equal(a.drop(columns=VARYING), b.drop(columns=VARYING), **kwargs)


def _cache_entries(cache_dir):
    folder = os.path.join(cache_dir, "python", "mat")
    return [n for n in os.listdir(folder) if n.endswith(".mat")] if os.path.isdir(folder) else []


# ------------------------------------------------------------------------ sweeps


def test_one_row_per_combination_in_grid_order_and_a_failure_stays_in_its_row(world, reference):
    rows = reference
    assert list(zip(rows["fast"], rows["slow"])) == [
        (f, s) for f in GRID["fast"] for s in GRID["slow"]
    ]
    failed = rows[rows["error"].notna()]
    assert list(zip(failed["fast"], failed["slow"])) == [FAILING]
    error = failed["error"].iloc[0]
    assert "planted: no run for fast=3, slow=6" in error and "cross.py" in error
    assert "error snapshot" not in error and os.path.isfile(failed["error_snapshot"].iloc[0])
    assert failed[["sharpe", "total_return", "trades"]].isna().all(axis=None)
    good = rows[rows["error"].isna()]
    days = [d for d in world["market"].days if 20230103 <= d <= 20230118]
    assert len(good) == 8 and (good["trades"] > 0).all() and (good["steps"] == len(days)).all()
    assert (rows["begin"] == 20230103).all() and (rows["end"] == 20230118).all()
    with open(os.path.join(world["store"], "GENERATION")) as fh:
        generation = int(fh.readline())
    assert (rows["store_generation"] == generation).all()
    assert rows["store_stamp"].nunique() == 1 and (rows["version"] == vornix.__version__).all()
    # the runs shared the configured matrix cache
    assert _cache_entries(os.environ["VX_CORE_CACHE_DIR"])


def test_a_row_holds_the_statistics_of_the_same_run_made_directly(world, reference, run_state):
    direct = run(
        world["cross"], params={"fast": 2, "slow": 5}, quiet=True, out=False, cash=SETTINGS["cash"]
    )
    row = reference[(reference["fast"] == 2) & (reference["slow"] == 5)].iloc[0]
    from vornix.sweep._task import STATS

    for key in STATS:  # the figures a row keeps
        value = direct.stats.get(key)
        if value is None:
            assert pd.isna(row[key]), key
        else:
            assert row[key] == (pytest.approx(value) if isinstance(value, float) else value), key


@pytest.mark.slow
@pytest.mark.parametrize("engine, where", [
    ("local", "folder"), ("dask", "folder"), ("dask", "s3"), ("ray", "folder")])
def test_every_engine_gives_the_rows_of_one_job(world, reference, engine, where, tmp_path, monkeypatch,
                                                request):
    """Two jobs at once on an empty matrix cache (so that concurrent runs build the
    same matrices); the dask workers' own environment names another store: the store
    and the cache reach every run with its task.  With "s3", the runs read a copy of
    the store uploaded to an S3 bucket (which keeps the store's id and generation)."""
    cache = str(tmp_path / "fresh-cache")
    kwargs, cluster = {}, None
    grid = {"fast": [2, 3], "slow": [5, 6]}  # four runs, the failing one among them
    if where == "s3":
        from vornix.api.history._store import upload_store

        s3 = request.getfixturevalue("s3_service")
        s3.bucket("sweep")
        url = s3.url("sweep", "store")
        upload_store(world["store"], url)
        monkeypatch.setenv("VX_STORE_DIR", url)
    if engine == "dask":
        distributed = pytest.importorskip("dask.distributed")
        elsewhere = str(tmp_path / "not-the-store")
        with monkeypatch.context() as mp:
            mp.setenv("VX_STORE_DIR", elsewhere)
            cluster = distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
            )
        with distributed.Client(cluster) as client:
            seen = client.run(os.getenv, "VX_STORE_DIR")
        assert sorted(seen.values()) == [elsewhere, elsewhere]
        kwargs["scheduler"] = cluster.scheduler_address
    elif engine == "ray":
        pytest.importorskip("ray", reason="ray is not installed (extra vornix[ray])")
    monkeypatch.setenv("VX_CORE_CACHE_DIR", cache)
    try:
        rows = sweep(world["cross"], grid, jobs=2, engine=engine, quiet=True, **kwargs, **SETTINGS)
    finally:
        if cluster is not None:
            cluster.close()
    expected = reference[reference["fast"].isin(grid["fast"]) & reference["slow"].isin(grid["slow"])]
    assert (expected["error"].notna()).sum() == 1
    _same_rows(rows, expected.reset_index(drop=True))
    assert _cache_entries(cache)


def test_the_command_line_writes_rows_table_and_heat_map(world, reference, tmp_path, capsys):
    out = tmp_path / "out"
    flags = "--grid fast=1,2 --grid slow=4 --jobs 2 --cash 1e7 --core local --quiet --out"
    status = main(["sweep", world["cross"], *flags.split(), str(out)])
    assert status == 0 and capsys.readouterr().out == ""
    rows = pd.read_parquet(out / "sweep.parquet")
    expected = reference[(reference["fast"] <= 2) & (reference["slow"] == 4)]
    # text columns come back as the reader's string type
    _same_rows(rows, expected.reset_index(drop=True), check_dtype=False)
    csv = pd.read_csv(out / "sweep.csv")
    np.testing.assert_allclose(csv["sharpe"], rows["sharpe"])
    assert (out / "heatmap.png").read_bytes()[:8] == PNG_MAGIC


@pytest.mark.parametrize(
    "call, error, words",
    [
        (dict(grid={"fast": [1], "nope": [2]}), ValueError, "unknown parameter nope"),
        (dict(grid={"fast": []}), ValueError, "has no values"),
        (dict(grid={"fast": [1]}, params={"fast": 2}), ValueError, "both fixed and in the grid"),
        (dict(grid={"fast": [1]}, metric="omega"), ValueError, "metric must be"),
        (dict(grid={"fast": [1]}, engine="spark"), ValueError, "engine must be"),
        (dict(grid={"fast": [1]}, out_dir="x"), TypeError, "unknown settings out_dir"),
        (dict(grid={"fast": [1]}, train="0d", test=3), ValueError, "at least one trading day"),
        (dict(grid={"fast": [1]}, train="4w", test=3), ValueError, "such as 120d"),
        (dict(grid={"fast": [1]}, train=12, test=3), ValueError, "leave nothing to test"),
        (dict(grid={"fast": [1]}, run_timeout=0), ValueError, "run_timeout must be a positive"),
        (dict(grid={"fast": [1]}, run_timeout=float("nan")), ValueError, "run_timeout must be a positive"),
        (dict(grid={"fast": [1]}, run_timeout="soon"), ValueError, "run_timeout must be a number"),
    ],
)
def test_bad_requests_fail_before_any_run(world, call, error, words):
    call = dict(call, quiet=True)
    with pytest.raises(error, match=words):
        if "train" in call:
            walk_forward(world["cross"], **call)
        else:
            sweep(world["cross"], **call)


HANGING = """
import os
import time

RUN = {"targets": ["SH.600000"], "frequency": "day", "begin": "2023-01-03", "end": "2023-01-10"}
PARAMS = {"hang": 0, "pid_file": ""}


def init(context):
    if context.params["hang"]:
        with open(context.params["pid_file"], "w") as fh:
            fh.write(str(os.getpid()))
        time.sleep(3600)


def on_data(context):
    context.order_target_percent("SH.600000", 0.5)
"""


@pytest.mark.slow
def test_a_run_past_its_time_out_is_stopped_and_reported_in_its_row(world, tmp_path):
    """A run that hangs in init is stopped at its time-out (the reference sweep shows
    runs that finish within theirs)."""
    strategy = _write(tmp_path, "hanging.py", HANGING)
    pid_file = str(tmp_path / "pid")
    rows = sweep(strategy, {"hang": [1]}, jobs=1, quiet=True, run_timeout=10,
                 params={"pid_file": pid_file}, cash=1e7, core="local")
    assert rows["error"].iloc[0] == "the run did not finish within its time-out of 10 s and was stopped"
    assert 10 <= rows["run_seconds"].iloc[0] < 60
    with open(pid_file) as fh:
        pid = int(fh.read())
    with pytest.raises(ProcessLookupError):  # killed and waited for
        os.kill(pid, 0)


def _gone(pid):
    """The process ended (a zombie waiting for its reaper counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as fh:
            return fh.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def test_a_sweep_killed_takes_its_runs_with_it_and_the_next_sweep_clears_its_files(world, tmp_path):
    from vornix.sweep import _task

    strategy = _write(tmp_path, "hanging.py", HANGING)
    pid_file = tmp_path / "pid"
    proc = subprocess.Popen(
        [sys.executable, "-m", "vornix", "sweep", strategy, "--grid", "hang=1", "--param",
         "pid_file=%s" % pid_file, "--jobs", "1", "--core", "local", "--quiet", "--out", str(tmp_path / "out")],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 120
    while not (pid_file.exists() and pid_file.read_text()) and time.monotonic() < deadline:
        time.sleep(0.1)
    run_pid = int(pid_file.read_text())
    root = os.path.dirname(_task.temp_folder())
    left = [n for n in os.listdir(root) if n.startswith("%d-" % proc.pid)]
    assert len(left) == 1 and os.listdir(os.path.join(root, left[0]))  # the run's result file
    proc.kill()
    proc.wait()
    while not _gone(run_pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert _gone(run_pid)
    _task._temp["folder"] = None  # as in the next sweep's process
    _task.temp_folder()
    assert not os.path.exists(os.path.join(root, left[0]))


@pytest.mark.parametrize("engine, extra", [("dask", "dask.distributed"), ("ray", "ray")])
def test_a_missing_engine_names_its_extra(world, engine, extra, monkeypatch):
    monkeypatch.setitem(sys.modules, extra, None)  # an import of it fails
    with pytest.raises(ImportError, match=r"pip install 'vornix\[%s\]'" % engine):
        sweep(world["cross"], {"fast": [1]}, engine=engine, quiet=True)


DEFAULTS = {"fast": 2, "weight": 0.4, "mode": "long", "on": True}


@pytest.mark.parametrize(
    "texts, expected",
    [
        (["fast=5,10", "weight=1,0.5"], {"fast": [5, 10], "weight": [1.0, 0.5]}),
        (["mode=long,short", "on=yes,no"], {"mode": ["long", "short"], "on": [True, False]}),
        (["x=1,a"], {"x": [1, "a"]}),  # no default: a Python literal, else text
        (["fast"], ValueError),
        (["fast=5,,6"], ValueError),
        (["fast=5", "fast=6"], ValueError),
        (["fast=1.5"], ValueError),
    ],
)
def test_grid_values_take_the_type_of_the_parameter_default(texts, expected):
    if expected is ValueError:
        with pytest.raises(ValueError):
            parse_grid(texts, DEFAULTS)
    else:
        assert parse_grid(texts, DEFAULTS) == expected


def _row(value, error=None):
    return {"sharpe": value, "max_drawdown": value, "error": error}


@pytest.mark.parametrize("rows, metric, expected", [
    ([_row(1.0), _row(1.0)], "sharpe", 0),  # a tie goes to the first in grid order
    ([_row(0.5), _row(2.0), _row(2.0)], "sharpe", 1),
    ([_row(3.0, "failed"), _row(1.0), _row(float("nan"))], "sharpe", 1),
    ([_row(0.3), _row(0.1), _row(0.1)], "max_drawdown", 1),  # lower is better
    ([_row(None), _row(1.0, "failed")], "sharpe", None),
])
def test_best_row(rows, metric, expected):
    assert best_index(rows, metric) == expected


# ------------------------------------------------------------------ walk-forward


def _fills(p, days, switch):
    """Fills of the planted strategy over `days`: an order on each favoured day fills
    at the next day's open; None (no statistics) when it never orders."""
    favoured = [(p == 1) == (d < switch) for d in days]
    return sum(favoured[:-1]) if any(favoured) else None


@kernel_settings
@given(n=st.integers(1, 40), train=st.integers(1, 12), test=st.integers(1, 12))
def test_folds_are_test_chunks_after_train_days(n, train, test):
    """Reference: the days after the first train window cut into chunks of `test`
    days; each chunk trains on the `train` days right before it."""
    days = list(range(20230101, 20230101 + n))
    if n <= train:
        with pytest.raises(ValueError):
            split_windows(days, train, test)
        return
    rest = days[train:]
    chunks = [rest[i : i + test] for i in range(0, len(rest), test)]
    expected = [
        (days[train + i * test - train : train + i * test], c) for i, c in enumerate(chunks)
    ]
    assert split_windows(days, train, test) == expected


def test_walk_forward_chooses_on_train_days_only_and_chains_the_test_runs(world, tmp_path):
    days = [int(d) for d in world["market"].days[:9]]  # two windows, the second one shorter
    train, test = 4, 3
    switch = days[train + test]  # the first day of the second test window
    result = walk_forward(
        world["planted"],
        {"p": [1, 2]},
        f"{train}d",
        test,
        metric="trades",
        jobs=2,
        quiet=True,
        begin=days[0],
        end=days[-1],
        params={"switch": switch},
        out=tmp_path,
        **SETTINGS,
    )
    w = result.windows
    # consecutive test windows of `test` days (the last one shorter), each right after
    # its train window of `train` days
    folds = [
        (days[s : s + train], days[s + train : s + train + test])
        for s in range(0, len(days) - train, test)
    ]
    assert w[["train_begin", "train_end", "test_begin", "test_end"]].values.tolist() == [
        [tr[0], tr[-1], te[0], te[-1]] for tr, te in folds
    ]
    assert all(a < b for a, b in zip(w["test_end"], w["test_begin"][1:]))
    assert (w["train_end"] < w["test_begin"]).all()
    # the choice: the most fills on the train days; in the second window the train
    # days favour p=1 and the test days p=2
    for (tr, te), row in zip(folds, w.to_dict("records")):
        counts = {p: _fills(p, tr, switch) for p in (1, 2)}
        best = max((p for p in counts if counts[p] is not None), key=lambda p: counts[p])
        assert row["p"] == best and row["train_trades"] == counts[best]
        assert row["test_trades"] == (_fills(best, te, switch) or 0)
    assert w["p"].tolist()[1] == 1 and _fills(1, folds[1][1], switch) is None
    assert _fills(2, folds[1][1], switch) > 0
    # a test window without an order says so, in its row and in the summary
    assert w["note"].tolist() == [None, "no order placed"]
    assert "1 of 2 test windows: no order placed" in result.summary("planted", "trades", 1, "")
    # train runs for every combination, one test run per window with the choice
    runs = result.runs
    assert sorted(map(tuple, runs[runs["phase"] == "train"][["window", "p"]].values)) == [
        (k, p) for k in range(len(folds)) for p in (1, 2)
    ]
    assert (
        runs[runs["phase"] == "test"][["window", "p"]].values.tolist()
        == w[["window", "p"]].values.tolist()
    )
    # the out-of-sample curve: each window starts where the previous one ended and
    # moves as its test run did
    eq = result.equity
    assert eq["time"].is_monotonic_increasing and eq["time"].is_unique
    assert eq["time"].dt.strftime("%Y%m%d").astype(int).tolist() == days[train:]
    segments = [g["equity"].to_numpy() for _, g in eq.groupby("window")]
    assert segments[0][0] == pytest.approx(SETTINGS["cash"])  # the futures account alone
    for before, after in zip(segments, segments[1:]):
        assert after[0] == pytest.approx(before[-1])
    for seg, ret in zip(segments, w["test_total_return"]):
        assert seg[-1] / seg[0] - 1 == pytest.approx(0.0 if np.isnan(ret) else ret, abs=1e-12)
    assert sorted(os.listdir(tmp_path)) == sorted(
        stem + ext
        for stem in ("walk_forward", "oos_equity", "runs")
        for ext in (".csv", ".parquet")
    )


# ------------------------------------------------------------------ matrix cache

_WRITER = """
import sys
import numpy as np
from vornix.tframe.ufuncs import save_mat_cache
folder, key, tag = sys.argv[1], sys.argv[2], float(sys.argv[3])
for _ in range(40):
    save_mat_cache(folder, key, {"Matrix": np.full((200, 500), tag)})
"""


def test_two_processes_writing_one_cache_entry_never_show_a_partial_one(tmp_path, caplog):
    from vornix.tframe.ufuncs import load_mat_cache

    folder, key = str(tmp_path / "mat"), "0f1e2d3c4b5a_flag1"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    writers = [
        subprocess.Popen([sys.executable, "-c", _WRITER, folder, key, tag], env=env)
        for tag in ("1", "2")
    ]
    seen = set()
    while any(w.poll() is None for w in writers):
        entry = load_mat_cache(folder, key)
        if entry is not None:
            m = entry["Matrix"]
            assert m.shape == (200, 500) and np.unique(m).size == 1
            seen.add(float(m[0, 0]))
    assert [w.returncode for w in writers] == [0, 0]
    assert seen and "unreadable" not in caplog.text
    assert os.listdir(folder) == [key + ".mat"]
