"""Summary statistics and round trips against hand computations on small series."""

import math
from types import SimpleNamespace as Fill

import numpy as np
import pandas as pd
import pytest

from vornix.runner._stats import round_trips, summary_stats

# two steps a day over four trading days; the curve starts from 100 before the first step
DAYS = np.repeat([20230103, 20230104, 20230105, 20230201], 2)
NO_TRADES = pd.DataFrame({"target": [], "side": [], "volume": [], "price": [], "fee": []})


def test_a_curve_over_days_with_a_drawdown_and_a_benchmark():
    # the day closes are the second step of each day: 110, 99, 104.5, 121
    equity = [101.0, 110.0, 95.0, 99.0, 120.0, 104.5, 130.0, 121.0]
    bench = ([20230103, 20230104, 20230105, 20230201], [50.0, 51.0, 50.0, 52.0, 52.0])
    st = summary_stats(equity, DAYS, 100.0, NO_TRADES, risk_free=0.0252, benchmark=bench,
                       exposed=[False, True] * 4)
    r = np.array([0.1, -0.1, 104.5 / 99 - 1, 121 / 104.5 - 1])
    ex = r - 0.0001
    assert st["days"] == 4 and st["steps"] == 8
    assert st["total_return"] == pytest.approx(0.21)
    assert st["annual_return"] == pytest.approx(1.21 ** (252 / 4) - 1)
    assert st["annual_volatility"] == pytest.approx(r.std(ddof=1) * math.sqrt(252))
    assert st["sharpe"] == pytest.approx(ex.mean() / r.std(ddof=1) * math.sqrt(252))
    assert st["sortino"] == pytest.approx(ex.mean() / math.sqrt((ex[ex < 0] ** 2).sum() / 4)
                                          * math.sqrt(252))
    # the step at 95 is inside a day: the daily drawdown is 110 -> 99
    assert st["max_drawdown"] == pytest.approx(0.1)
    assert (st["max_drawdown_peak"], st["max_drawdown_trough"], st["max_drawdown_recovery"],
            st["max_drawdown_days"]) == ("2023-01-03", "2023-01-04", "2023-02-01", 3)
    assert st["calmar"] == pytest.approx(st["annual_return"] / 0.1)
    assert st["exposure"] == 1.0 and st["win_rate"] is None
    assert st["monthly_returns"] == pytest.approx({"2023-01": 0.045, "2023-02": 121 / 104.5 - 1})
    b = np.array([51 / 50, 50 / 51, 52 / 50, 1.0]) - 1
    assert st["benchmark_return"] == pytest.approx(0.04)
    assert st["excess_return"] == pytest.approx(0.17)
    beta = np.cov(r, b, ddof=1)[0, 1] / np.var(b, ddof=1)
    assert st["beta"] == pytest.approx(beta)
    assert st["alpha"] == pytest.approx((r.mean() - beta * b.mean()) * 252)
    assert st["tracking_error"] == pytest.approx((r - b).std(ddof=1) * math.sqrt(252))
    assert st["information_ratio"] == pytest.approx((r - b).mean() / (r - b).std(ddof=1)
                                                    * math.sqrt(252))


@pytest.mark.parametrize("equity, sharpe, drawdown", [
    ([100.0] * 8, None, 0.0),                       # flat: no volatility, Sharpe undefined
    ([100.0 + i for i in range(8)], "set", 0.0),   # rising: no drawdown
    ([100.0, 90.0] + [np.nan] * 6, None, 0.1),      # one day: nothing to annualise
])
def test_flat_rising_and_short_curves(equity, sharpe, drawdown):
    st = summary_stats(equity, DAYS, 100.0, NO_TRADES)
    assert (st["sharpe"] is None) == (sharpe is None)
    assert st["max_drawdown"] == pytest.approx(drawdown)
    assert (st["max_drawdown_peak"] is None) == (drawdown == 0)
    assert all(v is None or math.isfinite(v) for v in st.values() if isinstance(v, float))


def test_round_trips_fifo_with_fees_reversals_and_a_split():
    """A: 200 bought at 10 (fee 2), 100 sold at 11 (fee 1), a 2-for-1 split with a
    cash dividend of 30, then the remaining 200 sold at 5.5 (fee 1); F: short 1 at 50
    x 10 (fee 0.5) turned long by buying 2 at 49 (fee 1), closed at 48 (fee 0.5)."""
    fills = [Fill(time=t, step=s, target=c, side=side, volume=v, price=p, fee=f, order_id=o)
             for t, s, c, side, v, p, f, o in [
                 (1, 1, "A", "buy", 200, 10.0, 2.0, 1), (2, 4, "A", "sell", 100, 11.0, 1.0, 2),
                 (3, 6, "F", "sell", 1, 50.0, 0.5, 3), (4, 8, "F", "buy", 2, 49.0, 1.0, 4),
                 (5, 9, "A", "sell", 200, 5.5, 1.0, 5), (6, 10, "F", "sell", 1, 48.0, 0.5, 6)]]
    split = {"step": 7, "target": "A", "shares_before": 100, "shares_after": 200, "cash": 30.0}
    day_of_step = np.arange(20) // 2
    trips = round_trips(fills, {"F": 10.0}, day_of_step, [split],
                        lambda t: np.array(t, dtype="datetime64[D]"))
    want = [  # target, side, volume, entry, exit, pnl, steps held
        ("A", "long", 100, 10.0, 11.0, 100 * 1.0 - 1.0 - 1.0, 3),
        ("F", "short", 1, 50.0, 49.0, 10.0 - 0.5 - 0.5, 2),
        ("A", "long", 200, 5.0, 5.5, 200 * 0.5 - 1.0 - 1.0 + 30.0, 8),
        ("F", "long", 1, 49.0, 48.0, -10.0 - 0.5 - 0.5, 2),
    ]
    got = list(zip(trips["target"], trips["side"], trips["volume"], trips["entry_price"],
                   trips["exit_price"], trips["pnl"], trips["holding_steps"]))
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g[:2] == w[:2] and g[2:] == pytest.approx(w[2:]), (g, w)
    assert trips["holding_days"].tolist() == [2, 1, 4, 1]
    assert trips["return"].iloc[0] == pytest.approx(98 / 1000)
    st = summary_stats([100.0] * 8, DAYS, 100.0, NO_TRADES, trips=trips)
    assert st["round_trips"] == 4 and st["win_rate"] == 0.75
    assert st["average_loss"] == pytest.approx(-11.0)


@pytest.mark.parametrize("n", [10, 100_003])
def test_a_long_line_is_drawn_from_its_extremes_per_column(n):
    from vornix.runner._chart import MAX_POINTS, thin

    y = np.random.default_rng(1).normal(size=n).cumsum()
    y[n // 3: n // 3 + 50] = np.nan
    x, t = thin(np.arange(n), y)
    assert t.size <= MAX_POINTS and (np.diff(x) > 0).all() and np.array_equal(t, y[x], equal_nan=True)
    size = max(-(-n // (MAX_POINTS // 2)), 1)
    for lo in range(0, n, size):  # every column keeps its lowest and highest point
        part = y[lo:lo + size]
        if np.isfinite(part).any() and n > MAX_POINTS:
            inside = t[(x >= lo) & (x < lo + size)]
            assert np.nanmin(part) in inside and np.nanmax(part) in inside
