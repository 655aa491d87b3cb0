"""Fixture of the run tests: a fresh state store and environment wired to a local
core, on the sample market of history_fixtures."""

from types import SimpleNamespace

import pytest

from vornix.core import CoreServer
from vornix.tframe import sysstate as ss
from vornix.tframe.utils.logger import LoggerManager
from vornix.tframe.utils.utilcls import OutputFileManager, StatusCollect


@pytest.fixture
def run_state(use_sample, monkeypatch, tmp_path):
    """Yields (vr, env, market, core): `sysstate.vr` and `sysstate.env` replaced by
    fresh instances whose command connection points at a core started here;
    `market` is the sample market in the bar store. Output and log directories,
    which the handshake moves, are restored afterwards."""
    for cls, names in ((OutputFileManager, ("_root",)),
                       (LoggerManager, ("_log_dir", "_file_name", "_handler"))):
        for name in names:
            monkeypatch.setattr(cls, name, getattr(cls, name))
    monkeypatch.setattr(StatusCollect.instance(), "env", StatusCollect.instance().env)
    var = ss.SystemBaseVar()
    env = ss.SystemBaseEnv()
    env.set_env(var, ss.gv, ss.smm)
    monkeypatch.setattr(ss, "vr", var)
    monkeypatch.setattr(ss, "env", env)
    core = CoreServer(port=0, cache_dir=str(tmp_path / "core-cache")).start()
    var.g_VornixSocket.port = core.port
    try:
        yield SimpleNamespace(vr=var, env=env, market=use_sample, core=core)
    finally:
        env.vx_disconnect_to()
        LoggerManager.remove_log_handler()
        core.stop()
