"""Fixture of the run tests: a fresh state store and environment wired to a local
core, on the sample market of vxtest.markets."""

import contextlib
import threading
from types import SimpleNamespace

import pytest

from vornix.core import CoreServer
from vornix.tframe import sysstate as ss
from vornix.tframe.utils.logger import LoggerManager
from vornix.tframe.utils.utilcls import OutputFileManager, StatusCollect

_STOPPING = []  # threads stopping the cores of finished tests


def _stop_in_background(core):
    """Stops `core` on a thread of its own.  Its serving loop sees the stop only at
    its next poll (0.15 s on average), a wait every run test would pay otherwise;
    each core has a port and a cache folder of its own, so nothing waits for it."""
    thread = threading.Thread(target=core.stop, name="vornix-core-stop", daemon=True)
    thread.start()
    _STOPPING.append(thread)


def join_stopping_cores():
    """Waits until the cores stopped in the background are down (end of the session)."""
    while _STOPPING:
        _STOPPING.pop().join(timeout=10)


def fresh_state(mp):
    """`sysstate.vr` and `sysstate.env` replaced (through the monkeypatch `mp`) by
    fresh, wired instances; returns the environment (its store is `env.vr`)."""
    mp.setattr(StatusCollect.instance(), "env", StatusCollect.instance().env)
    var = ss.SystemBaseVar()
    env = ss.SystemBaseEnv()
    env.set_env(var, ss.gv, ss.smm)
    mp.setattr(ss, "vr", var)
    mp.setattr(ss, "env", env)
    return env


@contextlib.contextmanager
def fresh_run_state(mp, cache_dir, store_dir=None):
    """`sysstate.vr` and `sysstate.env` replaced (through the monkeypatch `mp`) by
    fresh instances whose command connection points at a core started here with
    its own cache directory (the clients' setting names it too); the bar store at
    `store_dir` when given. Output and log directories, which the handshake moves,
    are restored afterwards."""
    for cls, names in ((OutputFileManager, ("_root",)),
                       (LoggerManager, ("_log_dir", "_file_name", "_handler"))):
        for name in names:
            mp.setattr(cls, name, getattr(cls, name))
    if store_dir is not None:
        mp.setenv("VX_STORE_DIR", str(store_dir))
    mp.setenv("VX_CORE_CACHE_DIR", str(cache_dir))
    env = fresh_state(mp)
    var = env.vr
    core = CoreServer(port=0, cache_dir=str(cache_dir)).start()
    var.g_VornixSocket.port = core.port
    try:
        yield SimpleNamespace(vr=var, env=env, core=core)
    finally:
        env.vx_disconnect_to()
        LoggerManager.remove_log_handler()
        _stop_in_background(core)


@pytest.fixture
def run_state(use_sample, monkeypatch, tmp_path):
    """Yields an object with `vr`, `env`, `core` (see fresh_run_state) and `market`,
    the sample market in the bar store."""
    with fresh_run_state(monkeypatch, tmp_path / "core-cache") as state:
        state.market = use_sample
        yield state
