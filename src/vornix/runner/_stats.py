"""Summary statistics of a backtest's equity curve and trades.

Annualisation: a run has `periods_per_year` steps a year: 252 / count for day
steps, 52 / count for weeks, 12 / count for months, 1 / count for years, and for
minute steps 252 times the run's mean number of steps per trading day.  Returns
are simple step returns of the equity; the risk-free rate is 0.  A figure that
cannot be computed (a flat curve's Sharpe ratio, a win rate without a closing
trade) is None, never inf or NaN."""

import math

import numpy as np

_PER_YEAR = {"day": 252.0, "week": 52.0, "month": 12.0, "year": 1.0}


def periods_per_year(frequency, count, times):
    """Steps a year for a run of `count` periods of `frequency` over the step times
    `times` (datetime64)."""
    if frequency in _PER_YEAR:
        return _PER_YEAR[frequency] / count
    days = np.unique(np.asarray(times, dtype="datetime64[D]")).size
    return 252.0 * len(times) / max(days, 1)


def _finite(x):
    return None if x is None or not math.isfinite(x) else float(x)


def summary_stats(times, equity, trades, per_year, multipliers=None):
    """Statistics of the equity per step (NaN steps are left out) and the trades
    (a DataFrame with target, side, volume, price, fee), as a dict."""
    times = np.asarray(times)
    equity = np.asarray(equity, dtype=np.float64)
    ok = np.isfinite(equity)
    times, equity = times[ok], equity[ok]
    out = {"steps": int(equity.size), "trades": int(len(trades)), "periods_per_year": per_year}
    if equity.size == 0 or equity[0] == 0:
        return out
    total = equity[-1] / equity[0] - 1.0
    out["total_return"] = _finite(total)
    returns = equity[1:] / equity[:-1] - 1.0
    n = returns.size
    out["annual_return"] = _finite((1.0 + total) ** (per_year / n) - 1.0) if n and total > -1 else None
    sd = float(np.std(returns, ddof=1)) if n > 1 else 0.0
    out["annual_volatility"] = _finite(sd * math.sqrt(per_year)) if n > 1 else None
    out["sharpe"] = _finite(np.mean(returns) / sd * math.sqrt(per_year)) if sd > 0 else None
    peak = np.maximum.accumulate(equity)
    drawdown = equity / peak - 1.0
    trough = int(np.argmin(drawdown))
    out["max_drawdown"] = float(-drawdown[trough])
    if drawdown[trough] < 0:
        top = int(np.flatnonzero(equity[: trough + 1] == peak[trough])[-1])
        out["max_drawdown_peak"] = str(times[top])
        out["max_drawdown_trough"] = str(times[trough])
    else:
        out["max_drawdown_peak"] = out["max_drawdown_trough"] = None
    mult = multipliers or {}
    if len(trades):
        value = (trades["volume"] * trades["price"] * trades["target"].map(
            lambda c: mult.get(c, 1.0))).abs().sum()
        out["turnover"] = _finite(value / float(np.mean(equity)))
    else:
        out["turnover"] = 0.0
    out["win_rate"] = _win_rate(trades, mult)
    return out


def _win_rate(trades, mult):
    """Share of the trades that reduce a position whose gain against the position's
    average cost, fees of both sides included, is above 0."""
    held, cost, wins, closes = {}, {}, 0, 0
    for row in trades.itertuples(index=False):
        m = mult.get(row.target, 1.0)
        signed = row.volume if row.side == "buy" else -row.volume
        pos, basis = held.get(row.target, 0.0), cost.get(row.target, 0.0)
        if pos == 0 or (pos > 0) == (signed > 0):  # opens or adds: the cost grows
            held[row.target] = pos + signed
            cost[row.target] = basis + signed * row.price * m + row.fee
            continue
        closed = min(abs(signed), abs(pos)) * (1 if pos > 0 else -1)
        average = basis / pos
        gain = closed * (row.price * m) - closed * average - row.fee * abs(closed / signed)
        closes += 1
        wins += gain > 0
        held[row.target] = pos + signed
        rest = pos - closed
        cost[row.target] = basis - closed * average
        if abs(signed) > abs(pos):  # the trade reverses the position
            opened = signed + pos
            cost[row.target] = opened * row.price * m + row.fee * abs(opened / signed)
        elif rest == 0:
            cost[row.target] = 0.0
    return wins / closes if closes else None
