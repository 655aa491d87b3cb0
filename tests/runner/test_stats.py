"""Summary statistics against hand computations on small series."""

import math

import numpy as np
import pandas as pd
import pytest

from vornix.runner._stats import periods_per_year, summary_stats

DAYS = np.array(["2023-01-02", "2023-01-03", "2023-01-04", "2023-01-05"], dtype="datetime64[ns]")
NO_TRADES = pd.DataFrame({"target": [], "side": [], "volume": [], "price": [], "fee": []})


def test_a_curve_with_a_drawdown():
    equity = [100.0, 110.0, 99.0, 104.5]
    st = summary_stats(DAYS, equity, NO_TRADES, 252.0)
    r = np.array([0.1, -0.1, 104.5 / 99 - 1])
    assert st["total_return"] == pytest.approx(0.045)
    assert st["annual_return"] == pytest.approx(1.045 ** (252 / 3) - 1)
    assert st["annual_volatility"] == pytest.approx(r.std(ddof=1) * math.sqrt(252))
    assert st["sharpe"] == pytest.approx(r.mean() / r.std(ddof=1) * math.sqrt(252))
    assert st["max_drawdown"] == pytest.approx(0.1)
    assert (st["max_drawdown_peak"], st["max_drawdown_trough"]) == (str(DAYS[1]), str(DAYS[2]))
    assert st["turnover"] == 0.0 and st["win_rate"] is None


@pytest.mark.parametrize("equity, sharpe, drawdown", [
    ([100.0] * 4, None, 0.0),                  # flat: no volatility, Sharpe undefined
    ([100.0, 101.0, 102.0, 103.0], "set", 0.0),  # rising: no drawdown
    ([100.0, np.nan, np.nan, np.nan], None, 0.0),  # one step: nothing to annualise
])
def test_flat_rising_and_short_curves(equity, sharpe, drawdown):
    st = summary_stats(DAYS, equity, NO_TRADES, 252.0)
    assert (st["sharpe"] is None) == (sharpe is None)
    assert st["max_drawdown"] == drawdown and st["max_drawdown_peak"] is None
    assert all(v is None or math.isfinite(v) for v in st.values() if isinstance(v, float))


def test_win_rate_and_turnover_of_trades():
    trades = pd.DataFrame({
        "target": ["A", "A", "A", "F", "F"],
        "side": ["buy", "sell", "sell", "sell", "buy"],
        "volume": [200.0, 100.0, 100.0, 1.0, 1.0],
        "price": [10.0, 11.0, 9.0, 50.0, 49.0],
        "fee": [2.0, 1.0, 1.0, 0.5, 0.5],
    })
    # A: cost 2002 for 200; sells 100 at 11 (gain 1100 - 1001 - 1 = 98 > 0) and 100 at 9
    # (900 - 1001 - 1 < 0); F short 1 at 50 x 10 (proceeds 500 - 0.5), covered at 49:
    # gain 499.5 - 490 - 0.5 > 0
    st = summary_stats(DAYS, [1000.0, 1000.0, 1000.0, 1000.0], trades, 252.0, {"F": 10.0})
    assert st["win_rate"] == pytest.approx(2 / 3)
    assert st["turnover"] == pytest.approx((2000 + 1100 + 900 + 500 + 490) / 1000.0)
    assert st["trades"] == 5


def test_periods_per_year():
    assert periods_per_year("day", 1, DAYS) == 252 and periods_per_year("week", 2, DAYS) == 26
    minutes = np.arange(np.datetime64("2023-01-02T09:31"), np.datetime64("2023-01-02T09:41"))
    two_days = np.concatenate([minutes, minutes + np.timedelta64(1, "D")])
    assert periods_per_year("min", 1, two_days) == 252 * 10
