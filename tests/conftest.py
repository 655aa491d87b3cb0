"""Test session set-up: every directory the framework writes to lives under one
temporary folder, and core connections time out quickly."""

import os
import shutil
import tempfile

_ROOT = tempfile.mkdtemp(prefix="vornix-tests-")
for _key, _sub in (
    ("VX_OUTPUT_DIR", "output"),
    ("VX_LOG_DIR", "log"),
    ("VX_CORE_CACHE_DIR", "core-cache"),
    ("VX_STORE_DIR", "store"),
):
    os.environ[_key] = os.path.join(_ROOT, _sub)
os.environ["VX_CONFIG_FILE"] = os.path.join(_ROOT, "config.json")
os.environ["VX_CORE_KEY_FILE"] = os.path.join(_ROOT, "core.key")
os.environ["VX_SOCKET_TIMEOUT"] = "3"
os.environ["VX_SUB_SOCKET_TIMEOUT"] = "3"

import pytest  # noqa: E402

from vxtest.markets import empty_store, sample_market, use_sample  # noqa: E402, F401
from vxtest.objectstore import s3_service  # noqa: E402, F401
from vxtest.runs import join_stopping_cores, run_state  # noqa: E402, F401


def pytest_sessionfinish(session, exitstatus):
    join_stopping_cores()
    shutil.rmtree(_ROOT, ignore_errors=True)


@pytest.fixture
def test_root():
    return _ROOT
