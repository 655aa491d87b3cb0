"""Summary statistics of a backtest, over trading days.

The equity of a trading day is the equity at its last step (night sessions belong
to the next trading day); the curve starts with the starting cash before the first
step.  With E_0 the starting cash, E_1..E_n the days' equity, r_d = E_d / E_(d-1) - 1,
rf = risk_free / 252 and a year of 252 trading days:

- total_return = E_n / E_0 - 1; annual_return = (1 + total_return) ^ (252 / n) - 1
- annual_volatility = std(r, ddof=1) * sqrt(252)
- sharpe = mean(r - rf) / std(r, ddof=1) * sqrt(252)
- sortino = mean(r - rf) / sqrt(mean(min(r - rf, 0)^2)) * sqrt(252)
- max_drawdown = max over days of 1 - E_d / max(E_0..E_d), with its peak, trough and
  recovery days (the first day back at the peak; None when not recovered) and its
  duration in trading days (peak to recovery, or to the last day)
- calmar = annual_return / max_drawdown
- exposure = share of days that end with a position
- turnover = value traded / mean daily equity; fees = sum of the fees paid
- round trips (FIFO per target, see `round_trips`): win_rate = share with P&L above
  0, average_win and average_loss
- against a benchmark's daily returns b: beta = cov(r, b) / var(b), alpha =
  (mean(r) - beta * mean(b)) * 252, excess_return = total_return - benchmark return,
  tracking_error = std(r - b, ddof=1) * sqrt(252), information_ratio = mean(r - b) /
  std(r - b, ddof=1) * sqrt(252)

A figure that cannot be computed (a flat curve's Sharpe ratio, a win rate without
a round trip) is None, never inf or NaN."""

import math

import numpy as np

DAYS_PER_YEAR = 252.0


def _finite(x):
    return None if x is None or not math.isfinite(x) else float(x)


def _day_text(day):
    d = int(day)
    return "%04d-%02d-%02d" % (d // 10000, d // 100 % 100, d % 100)


def daily_equity(equity, days, start):
    """(trading days yyyymmdd, equity at each day's last step), the steps that ran
    (finite equity) only; `start` is the equity before the first step."""
    equity = np.asarray(equity, dtype=np.float64)
    days = np.asarray(days, dtype=np.int64)
    ran = np.isfinite(equity)
    equity, days = equity[ran], days[ran]
    last = np.r_[days[1:] != days[:-1], True] if days.size else np.zeros(0, dtype=bool)
    return days[last], equity[last]


def _drawdown(curve, labels):
    """Max drawdown with its peak, trough, recovery and duration (days) of `curve`
    (the starting equity first); labels name the points (None for the start)."""
    peak = np.maximum.accumulate(curve)
    depth = 1.0 - curve / peak
    trough = int(np.argmax(depth))
    out = {"max_drawdown": float(depth[trough]), "max_drawdown_peak": None,
           "max_drawdown_trough": None, "max_drawdown_recovery": None, "max_drawdown_days": 0}
    if depth[trough] <= 0:
        return out
    top = int(np.flatnonzero(curve[: trough + 1] == peak[trough])[-1])
    back = np.flatnonzero(curve[trough:] >= peak[trough])
    end = trough + int(back[0]) if back.size else curve.size - 1
    out.update(max_drawdown_peak=labels[top], max_drawdown_trough=labels[trough],
               max_drawdown_recovery=labels[end] if back.size else None,
               max_drawdown_days=int(end - top))
    return out


def summary_stats(equity, days, start, trades=None, multipliers=None, risk_free=0.0,
                  exposed=None, trips=None, benchmark=None):
    """Statistics of an equity curve by step (NaN: steps that did not run) whose steps
    belong to the trading days `days` (yyyymmdd), from `start`; `trades` the fills
    (target, side, volume, price, fee), `exposed` whether positions are held after
    each step, `trips` the round trips, `benchmark` (days, closes with the close
    before the first day first) of a benchmark."""
    day, eq = daily_equity(equity, days, start)
    out = {"steps": int(np.isfinite(np.asarray(equity, dtype=np.float64)).sum()),
           "days": int(day.size), "trades": 0 if trades is None else int(len(trades)),
           "periods_per_year": DAYS_PER_YEAR}
    if not day.size or not start > 0:
        return out
    curve = np.r_[float(start), eq]
    labels = [_day_text(d) for d in day]
    labels = labels[:1] + labels  # the start: the first day, before its first step
    r = curve[1:] / curve[:-1] - 1.0
    n = r.size
    total = curve[-1] / curve[0] - 1.0
    out["total_return"] = _finite(total)
    out["annual_return"] = _finite((1.0 + total) ** (DAYS_PER_YEAR / n) - 1.0) if total > -1 else None
    rf = float(risk_free) / DAYS_PER_YEAR
    sd = float(np.std(r, ddof=1)) if n > 1 else 0.0
    ex = r - rf
    out["annual_volatility"] = _finite(sd * math.sqrt(DAYS_PER_YEAR)) if n > 1 else None
    out["sharpe"] = _finite(ex.mean() / sd * math.sqrt(DAYS_PER_YEAR)) if sd > 0 else None
    down = math.sqrt(float(np.mean(np.minimum(ex, 0.0) ** 2)))
    out["sortino"] = _finite(ex.mean() / down * math.sqrt(DAYS_PER_YEAR)) if down > 0 else None
    out.update(_drawdown(curve, labels))
    out["calmar"] = (_finite(out["annual_return"] / out["max_drawdown"])
                     if out["max_drawdown"] > 0 and out["annual_return"] is not None else None)
    if exposed is not None:
        ran = np.isfinite(np.asarray(equity, dtype=np.float64))
        steps_days = np.asarray(days, dtype=np.int64)[ran]
        last = np.r_[steps_days[1:] != steps_days[:-1], True]
        out["exposure"] = float(np.mean(np.asarray(exposed)[ran][last]))
    mult = multipliers or {}
    if trades is not None and len(trades):
        m = trades["target"].map(lambda c: mult.get(c, 1.0)).to_numpy(dtype=np.float64)
        value = float(np.abs(trades["volume"].to_numpy() * trades["price"].to_numpy() * m).sum())
        out["turnover"] = _finite(value / float(np.mean(curve)))
        out["fees"] = float(trades["fee"].sum())
    else:
        out["turnover"], out["fees"] = 0.0, 0.0
    out.update(trip_stats(trips))
    out["monthly_returns"] = monthly_returns(day, curve)
    if benchmark is not None:
        out.update(benchmark_stats(day, r, total, benchmark))
    return out


def monthly_returns(day, curve):
    """{"YYYY-MM": return} from the equity at each month's last trading day (the
    first month from the starting equity)."""
    month = np.asarray(day, dtype=np.int64) // 100
    last = np.r_[month[1:] != month[:-1], True]
    ends = curve[1:][last]
    before = np.r_[curve[0], ends[:-1]]
    return {"%04d-%02d" % (m // 100, m % 100): _finite(e / b - 1.0)
            for m, e, b in zip(month[last], ends, before)}


def benchmark_stats(day, r, total, benchmark):
    """The benchmark's return over the run and the figures against it."""
    b_days, b_close = benchmark
    b_days = np.asarray(b_days, dtype=np.int64)
    closes = np.asarray(b_close, dtype=np.float64)
    # the benchmark's close on each of the run's days (the close before the first day first)
    at = np.searchsorted(b_days, day, side="right") - 1
    series = np.r_[closes[0], np.where(at >= 0, closes[1:][np.maximum(at, 0)], np.nan)]
    b = series[1:] / series[:-1] - 1.0
    out = {"benchmark_return": _finite(series[-1] / series[0] - 1.0)}
    ok = np.isfinite(b) & np.isfinite(r)
    out["excess_return"] = (_finite(total - out["benchmark_return"])
                            if out["benchmark_return"] is not None else None)
    if ok.sum() < 2:
        return dict(out, alpha=None, beta=None, tracking_error=None, information_ratio=None)
    rr, bb = r[ok], b[ok]
    var = float(np.var(bb, ddof=1))
    beta = float(np.cov(rr, bb, ddof=1)[0, 1] / var) if var > 0 else None
    out["beta"] = _finite(beta) if beta is not None else None
    out["alpha"] = (_finite((rr.mean() - beta * bb.mean()) * DAYS_PER_YEAR)
                    if beta is not None else None)
    active = rr - bb
    te = float(np.std(active, ddof=1))
    out["tracking_error"] = _finite(te * math.sqrt(DAYS_PER_YEAR))
    out["information_ratio"] = (_finite(active.mean() / te * math.sqrt(DAYS_PER_YEAR))
                                if te > 0 else None)
    return out


def trip_stats(trips):
    """win_rate, average_win and average_loss of round trips (a frame with pnl)."""
    if trips is None or not len(trips):
        return {"round_trips": 0, "win_rate": None, "average_win": None, "average_loss": None}
    pnl = trips["pnl"].to_numpy(dtype=np.float64)
    wins, losses = pnl[pnl > 0], pnl[pnl <= 0]
    return {"round_trips": int(pnl.size), "win_rate": float(wins.size / pnl.size),
            "average_win": float(wins.mean()) if wins.size else None,
            "average_loss": float(losses.mean()) if losses.size else None}


def round_trips(fills, multipliers, day_of_step, actions=(), to_times=None):
    """Round trips, FIFO per target: each order that reduces a position closes the
    oldest open entries first; one row per closing order and target: entry time (of
    the oldest entry it closes), exit time (of its last fill), volume, the average
    entry and exit prices, P&L after the fees of both sides (entry fees pro rata) and
    dividends received, return on the entry value, holding time in steps and trading
    days.  `fills` carry time, step, target, side, volume, price, fee, order_id;
    `day_of_step` maps a step to its day's index; `actions` (dicts with step, target,
    shares_before, shares_after, cash) scale the open entries of a corporate action;
    `to_times` turns fill times into datetime64."""
    import pandas as pd

    lots = {}  # target -> [[signed volume, price, fee left, time, step, credit], ...]
    rows = {}  # (target, order id) -> closing row being built
    order_of_rows = []
    events = sorted(actions, key=lambda a: a["step"])
    k = 0
    for tr in fills:
        step = tr.step
        while k < len(events) and events[k]["step"] <= step:
            a = events[k]
            k += 1
            open_ = lots.get(a["target"], [])
            held = sum(lot[0] for lot in open_)
            if not open_ or held == 0:
                continue
            ratio = a["shares_after"] / a["shares_before"]
            for lot in open_:
                lot[5] += a["cash"] * lot[0] / held
                lot[0] *= ratio
                lot[1] /= ratio
        mult = multipliers.get(tr.target, 1.0)
        signed = tr.volume if tr.side == "buy" else -tr.volume
        open_ = lots.setdefault(tr.target, [])
        fee_left = tr.fee
        while open_ and signed and (open_[0][0] > 0) != (signed > 0):
            lot = open_[0]
            take = min(abs(lot[0]), abs(signed))
            share = take / abs(lot[0])
            entry_fee, credit = lot[2] * share, lot[5] * share
            exit_fee = tr.fee * take / tr.volume
            fee_left -= exit_fee
            long = lot[0] > 0
            pnl = (tr.price - lot[1]) * take * mult * (1 if long else -1) - entry_fee - exit_fee \
                + credit
            key = (tr.target, tr.order_id)
            row = rows.get(key)
            if row is None:
                row = rows[key] = {"target": tr.target, "side": "long" if long else "short",
                                   "entry_time": lot[3], "entry_step": lot[4], "volume": 0.0,
                                   "entry_value": 0.0, "exit_value": 0.0, "pnl": 0.0}
                order_of_rows.append(key)
            row["volume"] += take
            row["entry_value"] += take * lot[1]
            row["exit_value"] += take * tr.price
            row["pnl"] += pnl
            row["exit_time"], row["exit_step"] = tr.time, step
            row["multiplier"] = mult
            lot[0] -= math.copysign(take, lot[0])
            lot[2] -= entry_fee
            lot[5] -= credit
            signed -= math.copysign(take, signed)
            if abs(lot[0]) < 1e-9:
                open_.pop(0)
        if signed:
            open_.append([signed, tr.price, max(fee_left, 0.0), tr.time, step, 0.0])
    out = [rows[k] for k in order_of_rows]
    convert = to_times or pd.to_datetime
    frame = pd.DataFrame({
        "target": [r["target"] for r in out],
        "side": [r["side"] for r in out],
        "entry_time": convert([r["entry_time"] for r in out]),
        "exit_time": convert([r["exit_time"] for r in out]),
        "volume": np.array([r["volume"] for r in out], dtype=np.float64),
        "entry_price": np.array([r["entry_value"] / r["volume"] for r in out], dtype=np.float64),
        "exit_price": np.array([r["exit_value"] / r["volume"] for r in out], dtype=np.float64),
        "pnl": np.array([r["pnl"] for r in out], dtype=np.float64),
        "return": np.array([r["pnl"] / (r["entry_value"] * r["multiplier"]) for r in out],
                           dtype=np.float64),
        "holding_steps": np.array([r["exit_step"] - r["entry_step"] for r in out], dtype=np.int64),
        "holding_days": np.array([day_of_step[r["exit_step"]] - day_of_step[r["entry_step"]]
                                  for r in out], dtype=np.int64),
    })
    return frame


def per_target(codes, trades, multipliers, closes_end, positions_end, actions=()):
    """{target: {"pnl", "fees", "trades"}}: P&L of each traded target over the run
    (cash flows of its fills and corporate actions plus what is held at the end, at
    the last close)."""
    out = {}
    for code in codes:
        mine = trades[trades["target"] == code] if len(trades) else trades
        cash = sum(a["cash"] for a in actions if a["target"] == code)
        if not len(mine) and not cash:
            continue
        m = multipliers.get(code, 1.0)
        sign = np.where(mine["side"] == "buy", -1.0, 1.0)
        flow = float((sign * mine["volume"] * mine["price"] * m).sum() - mine["fee"].sum())
        held = positions_end.get(code, 0.0)
        value = held * closes_end.get(code, 0.0) * m if held else 0.0
        out[code] = {"pnl": flow + cash + value, "fees": float(mine["fee"].sum()),
                     "trades": int(len(mine))}
    return out
