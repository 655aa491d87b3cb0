"""Sample-market fixtures: a small market in a temporary store."""

import pytest

from vornix.api.history._history import HistoryStore
from vornix.api.history._sample import write_sample_market

SAMPLE_DAYS = 30
SAMPLE_STOCKS = 6


@pytest.fixture(scope="module")
def sample_market(tmp_path_factory):
    """(store path, SampleMarket) of 6 stocks and 2 futures over 30 trading days."""
    path = tmp_path_factory.mktemp("store")
    market = write_sample_market(HistoryStore(path, create=True), seed=7, days=SAMPLE_DAYS, stocks=SAMPLE_STOCKS)
    return str(path), market


@pytest.fixture
def use_sample(sample_market, monkeypatch):
    monkeypatch.setenv("VX_STORE_DIR", sample_market[0])
    return sample_market[1]


@pytest.fixture
def empty_store(tmp_path, monkeypatch):
    monkeypatch.setenv("VX_STORE_DIR", str(tmp_path / "store"))
    return HistoryStore(tmp_path / "store", create=True)
