"""Inputs found by fuzz/fuzz_sysstate.py: a task id names the log file, and an id with
separators, control characters or thousands of characters moved the log out of its
directory or made every later log line fail."""

import os

import pytest

from vornix.tframe.utils.logger import LoggerManager, write_syslog
from vxtest.runs import fresh_state


@pytest.mark.parametrize("task_id", ["../../escaped", "a/b", "x\x00y", "1" * 300, "..", ""],
                         ids=["parent", "separator", "nul", "long", "dots", "empty"])
def test_task_id_stays_a_file_name_of_the_log_directory(monkeypatch, tmp_path, task_id):
    env = fresh_state(monkeypatch)
    for name in ("_log_dir", "_file_name", "_handler"):
        monkeypatch.setattr(LoggerManager, name, getattr(LoggerManager, name))
    LoggerManager.remove_log_handler()
    monkeypatch.setattr(LoggerManager, "_log_dir", str(tmp_path))
    env.set_vxcore_task_id(task_id)
    assert env.vr.g_VornixModeTaskId == task_id
    path = LoggerManager.log_file()
    assert os.path.dirname(path) == str(tmp_path)
    assert len(os.path.basename(path)) < 128
    write_syslog("line after the task id")
    LoggerManager.remove_log_handler()
    with open(path, encoding="utf-8") as f:
        assert "line after the task id" in f.read()
