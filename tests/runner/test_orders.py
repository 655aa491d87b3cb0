"""The order simulator of a run: fills, costs, cancellations, rejections, callbacks
and the equity of every step, on the sample market.

Every expectation is recomputed here from the store's bar files, read directly
(`bars/1m/<code>.parquet`, `bars/1d/<code>.parquet` of VX_STORE_DIR), by a small
reference book (`Book`) that follows the trading rules as a user reads them:

- an order placed at step t fills at the first step s > t at which the target's
  bar of the main series traded (volume > 0, a finite open), at that bar's open,
  `slippage` ticks (MinMove) worse for the order; before on_data of step s;
- a limit order fills at the first such bar that reaches its limit (on the tick
  grid, rounded in the market's favour): at the market order's price when that is
  within the limit, else at the limit when the bar's low (buy) / high (sell)
  touches it;
- a stock order that has not filled by the end of the trading day it could first
  trade on is cancelled; a futures order waits until it fills;
- cash moves by volume x price x multiplier + fee; futures fee = notional x
  fee_future; a buy costing more than its account's cash is rejected when it
  would fill;
- stocks, by the exchange's rules: commission value x fee_stock / 10000 but at
  least 5, stamp duty on sales (0.1% until 2023-08-27, 0.05% after); price limits
  of +-10% (+-20% for 300/301/688 codes) around the day before's close, rounded
  half up to the cent: no fill against a bar that traded only at the limit, none
  beyond it; a fill takes at most a quarter of its bar's volume (whole lots, or
  the whole rest of an order), the rest waits; shares bought on a day are sold
  from the next one;
- a run holds the accounts its targets use (stock, future);
- after on_data, positions are valued at the close of the step's bar of the main
  series (raw prices; a target without a bar at the step keeps its last close).

Futures trade as contracts (`main_contracts.parquet` names each day's main
contract of a continuous target; a contract's bars are its own file):

- an order on a continuous target trades the main contract of its step's trading
  day; a position is the contract's and is valued at its own close;
- an opening fill needs volume x price x multiplier x margin_rate (the instrument's
  column) of margin plus the fee from the available cash (cash + the profit or loss
  of the futures held since their last settlement, at the close before the fill);
  a closing fill releases its share of the margin and books its profit against the
  last settlement;
- at the last step of a trading day, a contract at its last trading day is sold at
  that close, then every position is settled at the close: profit into cash, margin
  recomputed at the close;
- at the first step of a day with a new main contract, a position in the old one is
  closed and opened in the new one (roll orders ahead of the pending ones, each
  filling at its contract's first traded bar from that step on, the new one's not
  before the old one's), and pending orders of the target move to the new contract.
"""

import json
import math
import os
import types
from decimal import ROUND_HALF_UP, Decimal
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from vornix.runner import run
from vornix.runner._report import write_report
from vxtest.runs import fresh_run_state

# time-line value of 1970-01-01 00:00
EPOCH = 719529
CENT = 0.005
TRIO = ["SH.600000", "SZ.000011", "CFE.IF00"]
STOCK_LOT = 100
TRADE_COLUMNS = ["time", "target", "side", "volume", "price", "fee", "order_id", "kind"]
CALLS = {"order": "order", "tv": "order_target_volume", "tp": "order_target_percent"}


def _strategy(**scope):
    scope.setdefault("init", lambda context: None)
    scope.setdefault("on_data", lambda context: None)
    return types.SimpleNamespace(**scope)


# ------------------------------------------------------------- the store, read directly


def step_keys(times):
    """Step times (datetime64) -> whole seconds since day 0 of the time line."""
    secs = pd.to_datetime(pd.Series(times)).to_numpy().astype("datetime64[s]").astype(np.int64)
    return secs + EPOCH * 86400


class Market:
    """The targets' bars of the run's main series at every step, from the bar files:
    open and volume of the bar stamped with the step's time (NaN / 0 where there is
    none), the close of the last bar at or before the step."""

    def __init__(self, codes, frequency, times):
        store = Path(os.environ["VX_STORE_DIR"])
        self.targets = list(codes)
        self.keys = step_keys(times)
        self.times = pd.to_datetime(pd.Series(times)).reset_index(drop=True)
        self.day = self.trading_days(store, self.keys)
        inst = pd.read_parquet(store / "instruments.parquet")
        inst.index = inst["market"] + "." + inst["code"]
        # the contracts of the continuous targets over the steps' days, after the targets
        table = pd.read_parquet(store / "main_contracts.parquet")
        day_int = pd.to_datetime(self.day - EPOCH, unit="D").strftime("%Y%m%d").astype(int)
        mains = {}
        for code in codes:
            rows = table[table["target"] == code].set_index("date")["contract"]
            if len(rows):
                mains[code] = [code.split(".")[0] + "." + rows.get(d, code.split(".")[1])
                               for d in day_int]
        extra = sorted({c for m in mains.values() for c in m} - set(codes))
        self.codes = list(codes) + extra
        self.main = {self.codes.index(t): np.array([self.codes.index(c) for c in m])
                     for t, m in mains.items()}
        n, m = len(self.keys), len(self.codes)
        self.open, self.close = np.full((n, m), np.nan), np.full((n, m), np.nan)
        self.high, self.low = np.full((n, m), np.nan), np.full((n, m), np.nan)
        self.volume = np.zeros((n, m))
        union = set()
        for j, code in enumerate(self.codes):
            bars = pd.read_parquet(store / "bars" / ("1m" if frequency == "min" else "1d")
                                   / ("%s.parquet" % code))
            bk = np.rint(bars["time"].to_numpy() * 86400).astype(np.int64)
            if code in extra:  # a contract: its close from before the run on
                last = np.searchsorted(bk, self.keys, side="right") - 1
                self.close[last >= 0, j] = bars["close"].to_numpy()[last[last >= 0]]
            keep = (bk >= self.keys[0]) & (bk <= self.keys[-1])
            bars, bk = bars[keep].reset_index(drop=True), bk[keep]
            if code in extra:
                at = pd.Index(bk).get_indexer(self.keys)
                for f, a in (("open", self.open), ("high", self.high), ("low", self.low),
                             ("volume", self.volume)):
                    a[at >= 0, j] = bars[f].to_numpy()[at[at >= 0]]
                continue
            union.update(bk.tolist())
            at = pd.Index(bk).get_indexer(self.keys)
            self.open[at >= 0, j] = bars["open"].to_numpy()[at[at >= 0]]
            self.high[at >= 0, j] = bars["high"].to_numpy()[at[at >= 0]]
            self.low[at >= 0, j] = bars["low"].to_numpy()[at[at >= 0]]
            self.volume[at >= 0, j] = bars["volume"].to_numpy()[at[at >= 0]]
            last = np.searchsorted(bk, self.keys, side="right") - 1
            self.close[last >= 0, j] = bars["close"].to_numpy()[last[last >= 0]]
        # the steps are the bar times of the targets over the run's days
        assert sorted(union) == list(self.keys)
        # the close of the last day bar before each step's trading day
        self.prev_close = np.full((n, m), np.nan)
        for j, code in enumerate(self.targets):
            day_bars = pd.read_parquet(store / "bars" / "1d" / ("%s.parquet" % code))
            bar_day = np.floor(day_bars["time"].to_numpy()).astype(np.int64)
            last = np.searchsorted(bar_day, self.day, side="left") - 1
            self.prev_close[last >= 0, j] = day_bars["close"].to_numpy()[last[last >= 0]]
        self.future = np.array([inst.loc[c, "type"] == "future" for c in self.codes])
        own = inst["limit_pct"] if "limit_pct" in inst else pd.Series(np.nan, inst.index)
        self.own_limit = [own[c] for c in self.codes]
        self.mult = np.array([float(inst.loc[c, "multiplier"]) for c in self.codes])
        self.tick = np.array([float(inst.loc[c, "min_move"]) for c in self.codes])
        self.lot = np.where(self.future, 1, STOCK_LOT)
        self.margin_rate = np.array([float(inst.loc[c, "margin_rate"]) if f else 0.0
                                     for c, f in zip(self.codes, self.future)])
        self.expiry = np.array([int(inst.loc[c, "delist_date"]) for c in self.codes])
        self.day_int = day_int.to_numpy()

    def trades_as(self, j, s):
        """The instrument an order on target j placed at step s trades."""
        return self.main[j][s] if j in self.main else j

    @staticmethod
    def trading_days(store, keys):
        """The trading day (day number) of each step: its own calendar day, but the
        next trading day for a night-session step (after 18:00, or after midnight:
        the first trading day on or after that date)."""
        dates = pd.read_parquet(store / "calendar.parquet")["date"].astype(str)
        days = pd.to_datetime(dates).to_numpy().astype("datetime64[D]").astype(np.int64) + EPOCH
        day, secs = keys // 86400, keys % 86400
        after = days[np.minimum(np.searchsorted(days, day, side="right"), days.size - 1)]
        on_or_after = days[np.minimum(np.searchsorted(days, day, side="left"), days.size - 1)]
        return np.where(secs > 18 * 3600, after, np.where(secs < 6 * 3600, on_or_after, day))

    def traded(self, s, j):
        return self.volume[s, j] > 0 and math.isfinite(self.open[s, j])

    def step_at(self, text):
        hits = np.flatnonzero(self.times == pd.Timestamp(text))
        assert hits.size == 1, text
        return int(hits[0])

    def limits(self, s, j):
        """(lower, upper) price limits of a stock at step s: 10% around the day
        before's close (20% for 300/301/688 codes), half up to the cent."""
        base = self.prev_close[s, j]
        if self.future[j] or not base > 0:
            return -math.inf, math.inf
        pct = Decimal("0.2") if self.codes[j].split(".")[1][:3] in ("300", "301", "688") \
            else Decimal("0.1")
        if self.own_limit[j] == self.own_limit[j]:
            pct = Decimal(repr(float(self.own_limit[j])))
        b = Decimal(repr(float(base)))
        return tuple(float((b * (1 + k * pct)).quantize(Decimal("0.01"), ROUND_HALF_UP))
                     for k in (-1, 1))

    def last_of_day(self, s):
        return s + 1 == len(self.keys) or self.day[s + 1] != self.day[s]


# ------------------------------------------------------------------ reference book


class Book:
    """The accounts, replayed by the rules in the module docstring. Orders are
    known by the labels of the script."""

    def __init__(self, market, cash=1_000_000, fee_stock=3, fee_future=0.0001, slippage=0,
                 roll="auto", force_liquidation=False):
        self.m = market
        held = ["stock"] * int(not market.future.all()) + ["future"] * int(market.future.any())
        self.cash = {a: float(cash) for a in held}
        self.pos = np.zeros(len(market.codes))
        self.margin = np.zeros(len(market.codes))  # futures: margin held per contract
        self.ref = np.zeros(len(market.codes))  # and the price of its last settlement
        self.roll, self.liquidate = roll, force_liquidation
        self.ids = {}  # label -> order id (the simulator numbers every order it is given)
        self.named = {}  # label -> the instruments an order traded as (a contract, after a roll)
        self.rolls = 0
        self.bought = np.zeros(len(market.codes))  # shares bought on the current day
        self.fee_rate = np.where(market.future, fee_future, fee_stock / 10000.0)
        self.slippage = slippage
        self.pending = []  # [label, target index, remaining volume, placed step, limit or None]
        self.statuses = {}  # label -> statuses in order
        self.volumes = {}  # label -> signed volume of an accepted order
        self.trades = []  # (step, label, code, side, volume, price, fee)
        self.rows = []  # (cash, positions value, equity) after each step

    def account(self, j):
        return "future" if self.m.future[j] else "stock"

    def _status(self, label, status):
        self.statuses.setdefault(label, []).append(status)

    def fee(self, s, j, value, sale):
        if self.m.future[j]:
            return value * self.fee_rate[j]
        duty = 0.001 if self.m.times[s] < pd.Timestamp("2023-08-28") else 0.0005
        return max(value * self.fee_rate[j], 5.0) + (value * duty if sale else 0.0)

    def _new_order(self, label):
        self.ids[label] = len(self.ids) + 1

    def new_main(self, s):
        """A day whose main contract differs from the day before's: pending orders of
        the target move on; a position is rolled by two orders ahead of the others."""
        for t, main in self.m.main.items():
            old, new = main[s - 1], main[s]
            if old == new:
                continue
            for o in self.pending:
                if len(o) > 5 and o[5] == t and o[1] == old:
                    o[1] = new
                    self.named[o[0]].add(self.m.codes[new])
            if self.roll == "auto" and self.pos[old]:
                self.rolls += 1
                rolled = []
                for j, vol in ((old, -self.pos[old]), (new, self.pos[old])):
                    label = ("roll", self.rolls, j)
                    self._new_order(label)
                    self._status(label, "accepted")
                    rolled.append([label, j, vol, s - 1, None, None, None])
                rolled[1][6] = rolled[0][0]  # the new contract's once the old one's is sold
                self.pending[:0] = rolled

    def floating(self, s):
        """P&L of the futures held since their last settlement, at the close before s."""
        m = self.m
        if s == 0:
            return 0.0
        return sum(self.pos[k] * (m.close[s - 1, k] - self.ref[k]) * m.mult[k]
                   for k in range(len(m.codes)) if self.pos[k] and m.future[k])

    def future_fill(self, s, j, vol, qty, price, fee):
        """Books a futures fill; False when its opening part lacks the margin."""
        m = self.m
        p = self.pos[j]
        closing = min(qty, abs(p)) if p * vol < 0 else 0.0
        opening = qty - closing
        released = self.margin[j] * closing / abs(p) if closing else 0.0
        profit = closing * math.copysign(1, p) * (price - self.ref[j]) * m.mult[j]
        need = opening * price * m.mult[j] * m.margin_rate[j]
        avail = self.cash["future"] + self.floating(s) + released + profit - fee
        if opening and need > avail + 1e-9:
            return False
        self.cash["future"] += released + profit - fee - need
        self.margin[j] += need - released
        if opening:
            self.ref[j] = price if p * vol <= 0 else (
                (abs(p) * self.ref[j] + opening * price) / (abs(p) + opening))
        self.pos[j] += math.copysign(qty, vol)
        if self.pos[j] == 0:
            self.margin[j] = 0.0
        return True

    def fill(self, s):
        m = self.m
        if s == 0 or m.day[s] != m.day[s - 1]:
            self.bought[:] = 0
            if s > 0:
                self.new_main(s)
        taken = np.zeros(len(m.codes))
        for order in list(self.pending):
            label, j, vol, placed, limit = order[:5]
            if not m.future[j] and m.day[s] != m.day[placed + 1]:
                self.pending.remove(order)  # its trading day is over
                self._status(label, "cancelled")
                continue
            if not m.traded(s, j) or (len(order) > 6 and any(o[0] == order[6]
                                                               for o in self.pending)):
                continue
            buy = vol > 0
            price = m.open[s, j] + math.copysign(self.slippage * m.tick[j], vol)
            down, up = m.limits(s, j)
            if (m.low[s, j] >= up) if buy else (m.high[s, j] <= down):
                continue  # locked at the limit against the order
            price = min(max(price, down), up)
            if limit is not None and (price > limit if buy else price < limit):
                if not (m.low[s, j] <= limit if buy else m.high[s, j] >= limit):
                    continue  # the bar did not reach the limit
                price = limit
            qty = abs(vol)
            if not m.future[j]:  # at most a quarter of the bar, in lots or the whole rest
                room = math.floor(0.25 * m.volume[s, j]) - taken[j]
                qty = qty if qty <= room else max(room // 100 * 100, 0)
                if qty == 0:
                    continue
            value = qty * price * m.mult[j]
            fee = self.fee(s, j, value, not buy)
            acc = self.account(j)
            if m.future[j]:
                if not self.future_fill(s, j, vol, qty, price, fee):
                    self.pending.remove(order)
                    self._status(label, "rejected")
                    continue
            elif buy and value + fee > self.cash[acc]:
                self.pending.remove(order)
                self._status(label, "rejected")
                continue
            else:
                self.cash[acc] -= math.copysign(value, vol) + fee
                self.pos[j] += math.copysign(qty, vol)
            taken[j] += qty
            if buy:
                self.bought[j] += qty
            order[2] = vol - math.copysign(qty, vol)
            if order[2] == 0:
                self.pending.remove(order)
                self._status(label, "filled")
            else:
                self._status(label, "partially filled")
            self.trades.append((s, label, m.codes[j], "buy" if buy else "sell", qty, price, fee))

    def order(self, s, label, code, vol, limit=None):
        m = self.m
        j = m.targets.index(code) if code in m.targets else None
        self._new_order(label)
        via = j
        if j is not None:
            j = m.trades_as(j, s)
        self.named[label] = {code if j is None else m.codes[j]}
        ok = j is not None and isinstance(vol, (int, float)) and math.isfinite(vol) and vol != 0
        if ok and not m.future[j] and vol < 0:
            held = self.pos[j] + sum(o[2] for o in self.pending if o[1] == j and o[2] < 0)
            # T+1: what was bought today is locked if the order fills today
            locked = self.bought[j] if s + 1 < len(m.day) and m.day[s + 1] == m.day[s] else 0
            ok = held + vol >= 0 and held - locked + vol >= 0 and (
                vol % m.lot[j] == 0 or -vol == held)
        elif ok:
            ok = vol % m.lot[j] == 0
        if not ok:
            self._status(label, "rejected")
            return
        if limit is not None:  # onto the tick grid, in the market's favour
            units = (math.floor if vol > 0 else math.ceil)(limit / m.tick[j] + (
                1e-9 if vol > 0 else -1e-9))
            limit = units * m.tick[j]
        self.volumes[label] = vol
        self.pending.append([label, j, float(vol), s, limit, via])
        self._status(label, "accepted")

    def value(self, j, s):
        """What position j adds to its account's equity at the close of step s."""
        m = self.m
        if m.future[j]:
            return self.margin[j] + self.pos[j] * (m.close[s, j] - self.ref[j]) * m.mult[j]
        return self.pos[j] * m.close[s, j] * m.mult[j]

    def equity(self, acc, s):
        held = [j for j in range(len(self.m.codes)) if self.pos[j] and self.account(j) == acc]
        return self.cash[acc] + sum(self.value(j, s) for j in held)

    def act(self, s, kind, label, code, arg):
        if kind == "cancel":
            hit = [o for o in self.pending if o[0] == label]
            for o in hit:
                self.pending.remove(o)
                self._status(label, "cancelled")
            return bool(hit)
        if kind == "order":
            self.order(s, label, code, arg)
            return None
        if kind == "limit":
            self.order(s, label, code, *arg)
            return None
        j = self.m.trades_as(self.m.targets.index(code), s)
        if isinstance(arg, str):  # a volume or weight given as text
            self._new_order(label)
            self._status(label, "rejected")
            return None
        # the scripts hold no pending order of a target they order to a volume or weight
        assert not any(o[1] == j for o in self.pending)
        target = arg
        if kind == "tp":
            per_lot = self.m.close[s, j] * self.m.mult[j] * self.m.lot[j]
            target = math.trunc(arg * self.equity(self.account(j), s) / per_lot) * self.m.lot[j]
        assert target != self.pos[j], "the script orders nothing at step %d" % s
        self.order(s, label, code, target - self.pos[j])
        return None

    def close(self, s):
        m = self.m
        if m.last_of_day(s) and "future" in self.cash:
            for j in np.flatnonzero(self.pos * m.future):
                if 0 < m.expiry[j] <= m.day_int[s]:  # its last trading day: sold at the close
                    label = ("expiry", j)
                    self._new_order(label)
                    side = "sell" if self.pos[j] > 0 else "buy"
                    qty, price = abs(self.pos[j]), m.close[s, j]
                    fee = qty * price * m.mult[j] * self.fee_rate[j]
                    self.future_fill(s, j, -self.pos[j], qty, price, fee)
                    self.trades.append((s, label, m.codes[j], side, qty, price, fee))
                    self.statuses[label] = ["accepted", "filled"]
            for j in np.flatnonzero(self.pos * m.future):  # settlement at the day's close
                price = m.close[s, j]
                self.cash["future"] += self.pos[j] * (price - self.ref[j]) * m.mult[j]
                margin = abs(self.pos[j]) * price * m.mult[j] * m.margin_rate[j]
                self.cash["future"] -= margin - self.margin[j]
                self.margin[j], self.ref[j] = margin, price
            if self.liquidate and self.cash["future"] < 0:  # equity below the margin held
                for j in np.flatnonzero(self.pos * m.future):
                    label = ("liquidation", j, s)
                    self._new_order(label)
                    self._status(label, "accepted")
                    self.pending.append([label, j, -self.pos[j], s, None])
        value = sum(self.value(j, s) for j in range(len(m.codes)) if self.pos[j])
        cash = sum(self.cash.values())
        self.rows.append((cash, value, cash + value))

    def replay(self, script):
        by_step = _by_step(script)
        seen = []
        m = self.m
        for s in range(len(m.keys)):
            self.fill(s)
            held = [self.pos[m.main[j][s] if j in m.main else j] for j in range(len(m.targets))]
            seen.append((held, self.cash.get("stock"), self.cash.get("future")))
            for action in by_step.get(s, ()):
                self.act(s, *action)
            self.close(s)
        return seen


def _by_step(script):
    out = {}
    for step, *action in script:
        out.setdefault(step, []).append(tuple(action))
    return out


# ------------------------------------------------------------------ scripted runs


class Log:
    """What the strategy saw: positions and cash at each on_data, the ids of its
    orders, the answers of cancel, and the callbacks."""

    def __init__(self):
        self.seen, self.ids, self.placed, self.cancels, self.valid = [], {}, {}, {}, {}
        self.statuses, self.executions = [], []


def scripted(script, codes, log):
    """A strategy carrying out `script`: (step, kind, label, code, argument) with kind
    order / tv (order_target_volume) / tp (order_target_percent) / cancel / limit
    (argument: volume and limit price)."""
    by_step = _by_step(script)

    def on_data(context):
        s = context.step
        handles = context.env.account_handles
        log.seen.append(([context.position(c) for c in codes],
                         context.cash("stock") if "stock" in handles else None,
                         context.cash(account="future") if "future" in handles else None))
        for kind, label, code, arg in by_step.get(s, ()):
            if kind == "cancel":
                log.cancels[label, s] = context.cancel(log.ids[label])
                continue
            if kind == "limit":
                oid = context.order(code, arg[0], limit=arg[1])
            else:
                oid = getattr(context, CALLS[kind])(code, arg)
            log.ids[label], log.placed[oid] = oid, s
            log.valid[label] = context.env.is_valid_order_id(oid)

    def on_order_status(context, order, *args, **kwargs):
        log.statuses.append((context.step, order.order_id, order.status, order.reason,
                             order.target, order.volume))

    def on_execution(context, execution, *args, **kwargs):
        e = execution
        log.executions.append((context.step, e.order_id, e.target, e.side, e.volume, e.price,
                               e.fee, e.time))

    def init(context):
        from vornix.tframe import sysstate

        # the accounts of the targets' types, and no other
        info = sysstate.vr.g_VornixTargetsInfo
        want = [h for h in ("stock", "future") if any((info[c]["Type"] == 2) == (h == "future")
                                                      for c in codes)]
        assert context.env.account_handles == want
        assert sysstate.vr.g_VornixInputInfo.AccountNameList == want
        assert [a.handle for a in sysstate.vr.g_VornixAccounts] == want

    return _strategy(init=init, on_data=on_data, on_order_status=on_order_status,
                     on_execution=on_execution)


def play(script, codes, frequency, begin, end, **settings):
    """Runs `script`; returns (result, log, market, book replayed with the same settings)."""
    log = Log()
    result = run(scripted(script, codes, log), targets=list(codes), frequency=frequency,
                 begin=begin, end=end, quiet=True, out=settings.pop("out", False), **settings)
    market = Market(codes, frequency, result.records["time"])
    book = Book(market, **settings)
    book.seen = book.replay(script)
    return result, log, market, book


def _report_cells(path):
    """{key: value} of the statistics table of a report.html."""
    from html.parser import HTMLParser

    cells, inside = {}, []

    class Parser(HTMLParser):
        def handle_starttag(self, tag, attrs):
            attrs = dict(attrs)
            if tag == "div":
                inside.append(attrs.get("class"))
            if tag == "td" and "data-key" in attrs and inside and inside[-1] == "stats":
                cells[attrs["data-key"]] = json.loads(attrs["data-value"] or "null")

        def handle_endtag(self, tag):
            if tag == "div":
                inside.pop()

    Parser().feed(Path(path).read_text(encoding="utf-8"))
    return cells


def expected_trades(book, log):
    def kind(label):
        return label[0] if isinstance(label, tuple) else "order"

    rows = [(book.m.times[s], code, side, vol, price, fee, book.ids[label], kind(label))
            for s, label, code, side, vol, price, fee in book.trades]
    return pd.DataFrame(rows, columns=TRADE_COLUMNS)


def assert_books_agree(result, log, book):
    """Positions and cash at every on_data, the account columns after every step,
    and the trades, to the cent."""
    codes = book.m.codes
    assert len(log.seen) == len(book.seen) == result.steps
    for s, (got, want) in enumerate(zip(log.seen, book.seen)):
        assert got[0] == pytest.approx(want[0], abs=0), (s, "positions", got[0], want[0])
        assert got[1:] == pytest.approx(want[1:], abs=CENT), (s, "cash", got[1:], want[1:])
    for label, oid in log.ids.items():
        assert isinstance(oid, int) and oid >= 1 and log.valid[label], (label, oid)
        assert oid == book.ids[label], (label, oid, book.ids[label])
    rec = result.records
    want = pd.DataFrame(book.rows, columns=["cash", "positions_value", "equity"])
    for col in want:
        bad = np.flatnonzero(~np.isclose(rec[col].to_numpy(), want[col].to_numpy(), rtol=0,
                                         atol=CENT))
        assert bad.size == 0, "%s differs from step %d on: %r, expected %r" % (
            col, bad[0], rec[col].iloc[bad[0]], want[col].iloc[bad[0]])
    trades = result.trades
    assert list(trades.columns) == TRADE_COLUMNS
    exp = expected_trades(book, log)
    assert len(trades) == len(exp), (trades, exp)
    assert list(trades["time"]) == list(exp["time"])
    assert list(trades["target"]) == list(exp["target"]) and set(codes) >= set(exp["target"])
    assert list(trades["side"]) == list(exp["side"]) and list(trades["kind"]) == list(exp["kind"])
    assert list(trades["order_id"]) == list(exp["order_id"])
    for col in ("volume", "price", "fee"):
        np.testing.assert_allclose(trades[col].to_numpy(float), exp[col].to_numpy(float),
                                   rtol=0, atol=CENT, err_msg=col)


# A scenario over both accounts: buys, sales, a futures position turned short and back,
# order_target_volume / order_target_percent, a cancel of a pending order and cancels
# that come too late. Stock orders are placed where their trading day is clear (never
# at the last step of a day under one-minute steps).
DAY_SCRIPT = [
    (0, "order", "A", "SH.600000", 2000), (0, "order", "B", "SZ.000011", 1000),
    (0, "order", "F1", "CFE.IF00", 1),
    (2, "tp", "C", "SH.600000", 0.5),
    (3, "order", "D", "SZ.000011", -400), (3, "order", "F2", "CFE.IF00", -2),
    (4, "order", "X", "SZ.000011", 100), (4, "cancel", "X", None, None),
    (6, "tv", "F3", "CFE.IF00", 2),
    (7, "cancel", "X", None, None), (7, "cancel", "A", None, None),
    (8, "tp", "F4", "CFE.IF00", -0.6),
    (15, "tv", "E", "SZ.000011", 0),  # SZ.000011 is back from its suspension
    (20, "tp", "G", "SH.600000", 0.2),
    (22, "order", "H", "SZ.000011", 300),
    (25, "tv", "F5", "CFE.IF00", 0),
    (27, "order", "F6", "CFE.IF00", 1),
]
MIN_SCRIPT = [
    (5, "order", "A", "SH.600000", 2000), (5, "order", "B", "SZ.000011", 1000),
    (5, "order", "F1", "CFE.IF00", 1),
    (30, "order", "D", "SZ.000011", -400), (30, "order", "F2", "CFE.IF00", -2),
    (100, "tp", "C", "SH.600000", 0.5),
    (150, "order", "X", "SZ.000011", 100), (150, "cancel", "X", None, None),
    (239, "tv", "F3", "CFE.IF00", 2),  # the day's last step: fills the next morning
    (300, "tp", "F4", "CFE.IF00", -0.6),
    (310, "cancel", "X", None, None), (310, "cancel", "A", None, None),
    (500, "tv", "E", "SZ.000011", 0),
    (600, "tp", "G", "SH.600000", 0.2),
    (700, "order", "H", "SZ.000011", 300),
    (800, "tv", "F5", "CFE.IF00", 0),
    (900, "order", "F6", "CFE.IF00", 1),
]
SCRIPTED = {
    "day": (DAY_SCRIPT, "day", 20230103, 20230220, {"cash": 3_000_000}),
    "min": (MIN_SCRIPT, "min", 20230103, 20230106,
            {"cash": 5_000_000, "fee_stock": 5, "fee_future": 0.0002, "slippage": 2}),
}


@pytest.mark.parametrize("case", sorted(SCRIPTED))
def test_scripted_orders_match_the_bars_to_the_cent(run_state, tmp_path, case):
    script, frequency, begin, end, settings = SCRIPTED[case]
    out = tmp_path / "res"
    result, log, market, book = play(script, TRIO, frequency, begin, end, out=str(out),
                                     **settings)
    assert len(book.trades) >= 12  # the scenario trades as planned
    assert_books_agree(result, log, book)
    # cancel: True for the pending order only
    assert log.cancels == {
        ("X", 4 if case == "day" else 150): True,
        ("X", 7 if case == "day" else 310): False, ("A", 7 if case == "day" else 310): False}
    for name in ("trades.parquet", "trades.csv"):
        back = (pd.read_parquet if name.endswith("parquet") else pd.read_csv)(out / name)
        assert list(back.columns) == TRADE_COLUMNS and len(back) == len(result.trades)
        assert list(back["order_id"]) == list(result.trades["order_id"])
        np.testing.assert_allclose(back["price"], result.trades["price"], rtol=0, atol=1e-9)
    # the report shows every figure of summary.json, and the orders table every order
    report = _report_cells(write_report(out))
    summary = json.loads((out / "summary.json").read_text())
    scalars = {k: v for k, v in summary.items() if not isinstance(v, (dict, list))}
    assert report == scalars
    orders = pd.read_csv(out / "orders.csv")
    assert sorted(orders.loc[orders["kind"] == "order", "order_id"]) == sorted(log.ids.values())
    assert sum(summary["orders"]["rejected"].values()) == (orders["status"] == "rejected").sum()


@pytest.mark.parametrize("case", sorted(SCRIPTED))
def test_callbacks_tell_each_order_in_order(run_state, case):
    script, frequency, begin, end, settings = SCRIPTED[case]
    result, log, market, book = play(script, TRIO, frequency, begin, end, **settings)
    by_id = {}
    for step, oid, status, reason, target, volume in log.statuses:
        by_id.setdefault(oid, []).append((step, status, reason, target, volume))
    for label, oid in log.ids.items():
        seq = by_id.get(oid, [])
        assert [x[1] for x in seq] == book.statuses[label], (label, seq)
        assert seq[0][0] == log.placed[oid]  # accepted while the strategy places it
        assert all(x[3] in book.named[label] and x[4] == book.volumes.get(label, x[4])
                   for x in seq), (label, seq)
        if seq[-1][1] == "cancelled":
            assert seq[-1][2]  # with a reason
    assert len(set(log.ids.values())) == len(log.ids)  # one id per order
    assert set(by_id) == set(book.ids.values())  # the simulator's own orders are told too
    for label, oid in book.ids.items():
        assert [x[1] for x in by_id[oid]] == book.statuses[label], (label, by_id[oid])
    # one execution per trade, reported at the fill step, before on_data of that step
    trades = result.trades
    assert len(log.executions) == len(trades)
    steps = {t: s for s, t in enumerate(result.records["time"])}
    for e, (_, row) in zip(log.executions, trades.iterrows()):
        step, oid, target, side, volume, price, fee, _ = e
        assert (oid, target, side) == (row["order_id"], row["target"], row["side"])
        assert (volume, price, fee) == pytest.approx((row["volume"], row["price"], row["fee"]))
        assert step == steps[row["time"]] > log.placed.get(oid, -1)  # (-1: a roll)
        # each fill (a part of the order, or the rest of it) is told at its step
        assert any(x[0] == step and x[1] in ("filled", "partially filled") for x in by_id[oid])


# ------------------------------------------------------------- no look-ahead


def test_every_fill_is_the_open_of_the_first_later_bar_that_traded(run_state):
    """An order at every step (a stock and a future, bought and sold in turn): no
    fill at a price of its own step or earlier, each at the open (plus slippage)
    of the first later bar that traded."""
    codes = ["SH.600000", "CFE.IF00"]
    placed = {}

    def on_data(context):
        side = 1 if context.step % 2 == 0 else -1
        for code, lot in (("SH.600000", 100), ("CFE.IF00", 1)):
            if side > 0 or context.position(code) > 0:
                placed[context.order(code, side * lot)] = context.step

    result = run(_strategy(on_data=on_data), targets=codes, frequency="min", begin=20230104,
                 end=20230105, cash=5_000_000, slippage=1, quiet=True, out=False,
                 volume_limit=0, t_plus_1=False)
    market = Market(codes, "min", result.records["time"])
    steps = {t: s for s, t in enumerate(result.records["time"])}
    trades = result.trades
    assert len(trades) > 600
    for _, row in trades.iterrows():
        j, s, t = market.codes.index(row["target"]), steps[row["time"]], placed[row["order_id"]]
        assert s > t
        first = next(k for k in range(t + 1, len(market.keys)) if market.traded(k, j))
        assert s == first, (row, t)
        sign = 1 if row["side"] == "buy" else -1
        assert row["price"] == pytest.approx(market.open[s, j] + sign * market.tick[j], abs=1e-9)


# ------------------------------------------------------ suspension, night, day ends


def test_stock_orders_wait_out_the_day_and_futures_orders_the_night(run_state):
    """SZ.000011 is suspended from 01-17 to 01-23 and trades nothing on 01-27: a
    stock order placed then is cancelled at the end of that trading day (15:00: the
    night session of SHF.RB00 that evening belongs to the next trading day), with no
    position; futures orders placed at the day session's last step fill at the next
    trading day's first bar (SHF.RB00's: its night session on the same evening)."""
    codes = ["SZ.000011", "CFE.IF00", "SHF.RB00"]
    at = {"2023-01-20 10:00": [("S1", "SZ.000011", 100)],
          "2023-01-20 15:00": [("F1", "CFE.IF00", 1), ("R1", "SHF.RB00", -1)],
          "2023-01-23 10:00": [("S2", "SZ.000011", 100)],
          "2023-01-24 10:00": [("S4", "SZ.000011", 100)],
          "2023-01-27 10:00": [("S3", "SZ.000011", 100)]}
    at = {pd.Timestamp(k): v for k, v in at.items()}
    ids, events, held = {}, [], []

    def on_data(context):
        held.append(context.position("SZ.000011"))
        for label, code, vol in at.get(pd.Timestamp(context.now), ()):
            ids[label] = context.order(code, vol)

    def on_order_status(context, order, *args, **kwargs):
        events.append((context.step, order.order_id, order.status, order.reason))

    result = run(_strategy(on_data=on_data, on_order_status=on_order_status), targets=codes,
                 frequency="min", begin=20230120, end=20230131, cash=5_000_000, quiet=True,
                 out=False, roll="manual")
    m = Market(codes, "min", result.records["time"])
    for day in ("2023-01-20", "2023-01-23", "2023-01-27"):  # what the cases rely on
        assert not m.volume[m.day == m.day[m.step_at(day + " 10:00")], 0].any()
    labels = {v: k for k, v in ids.items()}
    seq = {}
    for step, oid, status, reason in events:
        seq.setdefault(labels[oid], []).append((step, status, reason))
    for label, day in (("S1", "2023-01-20"), ("S2", "2023-01-23"), ("S3", "2023-01-27")):
        assert [x[1] for x in seq[label]] == ["accepted", "cancelled"], label
        step, _, reason = seq[label][1]
        last = m.step_at(day + " 15:00")
        assert step in (last, last + 1) and reason, (label, m.times[step])
    fill_s4 = next(s for s in range(m.step_at("2023-01-24 10:00") + 1, len(m.keys))
                   if m.traded(s, 0))
    assert held == [0] * fill_s4 + [100] * (len(m.keys) - fill_s4)
    trades = result.trades.set_index("order_id")
    for label, j, opens in (("F1", 1, "2023-01-23 09:31"), ("R1", 2, "2023-01-20 21:01")):
        first = next(s for s in range(m.step_at("2023-01-20 15:00") + 1, len(m.keys))
                     if m.traded(s, j))
        assert first >= m.step_at(opens) and m.times[first] < pd.Timestamp("2023-01-23 15:00")
        row = trades.loc[ids[label]]
        assert row["time"] == m.times[first] and row["price"] == pytest.approx(m.open[first, j])
    assert sorted(labels[i] for i in trades.index) == ["F1", "R1", "S4"]


def test_day_steps_fill_stock_orders_at_the_next_open_unless_suspended(run_state):
    """Under day steps an order placed at a day's close trades at the next day's open;
    on a suspended next day it never fills and is cancelled."""
    code = "SZ.000011"
    script = [(2, "order", "P1", code, 100),  # 01-18, suspended: the next day is too
              (5, "order", "P2", code, 100),  # 01-23, the last suspended day: fills 01-24
              (6, "order", "P3", code, 100)]
    result, log, market, book = play(script, [code, "CFE.IF00"], "day", 20230116, 20230125)
    assert book.statuses == {"P1": ["accepted", "cancelled"], "P2": ["accepted", "filled"],
                             "P3": ["accepted", "filled"]}
    assert_books_agree(result, log, book)


# --------------------------------------------------------------------- bad orders


def test_bad_orders_are_rejected_and_change_nothing(run_state):
    """Rejected at once: unknown targets, NaN, 0, odd lots, selling what is not held;
    rejected at the fill: buys costing more than the account's cash (1 000 000 each
    by default), and futures orders long or short whose margin is more than it (ten
    IF contracts, about 12 000 000 of notional, need about 1 450 000 at 12%)."""
    bad = [("U1", "XX.999999", 100), ("U2", 7, 100), ("N", "SH.600000", float("nan")),
           ("Z", "SH.600000", 0), ("L1", "SH.600000", 150), ("L2", "CFE.IF00", 1.5),
           ("L3", "SH.600000", -50), ("S1", "SZ.000011", -100), ("S2", "SH.600000", -300)]
    costly = [("C1", "CFE.IF00", 10), ("C2", "SH.600000", 100_000), ("C3", "CFE.IF00", -10)]
    script = [(10, "order", "G1", "SH.600000", 200)]
    script += [(20, "order", label, code, vol) for label, code, vol in bad + costly]
    # volumes and weights are numbers, not text that reads as one
    text = [("T1", "order", "100"), ("T2", "tv", "200"), ("T3", "tp", "0.1")]
    script += [(20, kind, label, "SH.600000", vol) for label, kind, vol in text]
    bad += [(label, "SH.600000", vol) for label, _, vol in text]
    script += [(300, "order", "G2", "SH.600000", -200), (40, "order", "G3", "SZ.000011", 300)]
    result, log, market, book = play(script, TRIO, "min", 20230103, 20230104)
    assert result.records["cash"].iloc[0] == 2_000_000  # both accounts start with 1 000 000
    reasons = {}
    for _, oid, status, reason, _, _ in log.statuses:
        reasons.setdefault(oid, []).append((status, reason))
    for label, _, _ in bad:
        got = reasons[log.ids[label]]
        assert [s for s, _ in got] == ["rejected"] and got[0][1], label
        if label.startswith("T"):
            assert got[0][1].startswith("volume %r is not a number: give" % dict(
                (x[0], x[2]) for x in bad)[label]), got
    for label, _, _ in costly:
        got = reasons[log.ids[label]]
        # parts of 100 000 shares fill (a quarter of each bar) until the cash runs out
        assert got[0][0] == "accepted" and got[-1][0] == "rejected", label
        assert {s for s, _ in got[1:-1]} <= {"partially filled"}, got
        assert ("margin" if label != "C2" else "cash") in got[-1][1].lower(), got
    assert_books_agree(result, log, book)
    assert set(result.trades["order_id"]) == {log.ids[x] for x in ("G1", "G2", "G3", "C2")}


def test_a_stock_sale_covered_only_by_a_pending_buy_never_goes_short(run_state):
    """Selling shares not held is refused even while a buy of them is pending: the
    buy may still be cancelled or refused, and a stock position never goes short."""
    code = "SZ.000011"
    script = [(10, "order", "B", code, 100), (10, "order", "S", code, -100),
              (10, "cancel", "B", None, None)]
    result, log, market, book = play(script, [code], "min", 20230103, 20230103)
    held = [seen[0][0] for seen in log.seen] + [0]
    assert min(held) >= 0, "SZ.000011 held short: %s" % min(held)
    assert book.statuses["S"] == ["rejected"]
    assert_books_agree(result, log, book)


# ------------------------------------------------------------- futures over a roll


def assert_equity_moves_with_the_contracts(result, market):
    """Equity from step to step moves by the positions' own closes and by the fills
    at theirs, less the fees."""
    equity = result.records["equity"].to_numpy()
    held, column = np.zeros(len(market.codes)), {c: j for j, c in enumerate(market.codes)}
    fills = {}
    for _, row in result.trades.iterrows():
        fills.setdefault(list(market.times).index(row["time"]), []).append(row)
    for s in range(1, len(equity)):
        move = float(np.nansum(held * market.mult * (market.close[s] - market.close[s - 1])))
        for row in fills.get(s, ()):
            j = column[row["target"]]
            signed = row["volume"] if row["side"] == "buy" else -row["volume"]
            move += signed * market.mult[j] * (market.close[s, j] - row["price"]) - row["fee"]
            held[j] += signed
        assert equity[s] - equity[s - 1] == pytest.approx(move, abs=CENT), s


@pytest.mark.parametrize("frequency, begin, end, roll, rolls", [
    ("day", 20230103, 20230120, "auto", ("2023-01-10 15:00", "2023-01-17 15:00")),
    ("min", 20230109, 20230110, "auto", ("2023-01-10 09:31",)),
    ("day", 20230103, 20230120, "manual", ("2023-01-10 15:00", "2023-01-17 15:00")),
])
def test_a_future_held_through_rolls_earns_its_contracts_own_moves(run_state, tmp_path, frequency,
                                                                   begin, end, roll, rolls):
    """A long position taken on the continuous target is a position in a contract,
    valued at that contract's close and settled every day: equity moves by the
    contracts' own price changes, never by the jump of the continuous series at a
    roll.  Rolled (auto), it ends in the later contracts with two fills per roll;
    left alone (manual), it stays in the first contract until that one's last
    trading day (moved into the run in a copy of the store), where it is closed at
    the close with a warning."""
    import shutil

    code, volume = "CFE.IF00", 2
    if roll == "manual":
        store = tmp_path / "store"
        shutil.copytree(os.environ["VX_STORE_DIR"], store)
        inst = pd.read_parquet(store / "instruments.parquet")
        inst.loc[inst["code"] == "IF2303", "delist_date"] = 20230112
        inst.to_parquet(store / "instruments.parquet")
        from vornix.api.history._store import repair_store

        repair_store(str(store), rehash=True)  # an intended change of the copy
        os.environ["VX_STORE_DIR"] = str(store)  # (restored by the fixture's monkeypatch)
    script = [(0, "order", "L", code, volume)]
    result, log, market, book = play(script, [code], frequency, begin, end, cash=10_000_000,
                                     roll=roll)
    assert_books_agree(result, log, book)
    trades, equity = result.trades, result.records["equity"].to_numpy()
    assert_equity_moves_with_the_contracts(result, market)
    for when in rolls:  # the continuous series jumps there, the equity does not
        s, cont = market.step_at(when), pd.read_parquet(
            Path(os.environ["VX_STORE_DIR"]) / "bars" / ("1d" if frequency == "day" else "1m")
            / "CFE.IF00.parquet")
        keys = np.rint(cont["time"].to_numpy() * 86400).astype(np.int64)
        close = cont["close"].to_numpy()[np.searchsorted(keys, market.keys[[s - 1, s]])]
        at = np.searchsorted(keys, market.keys[s])
        assert abs(cont["open"].to_numpy()[at] / close[0] - 1) > 0.02
        jump = volume * 300 * (close[1] - close[0])
        assert abs((equity[s] - equity[s - 1]) - jump) > 0.01 * volume * 300 * close[0]
    kinds = trades.groupby("kind")["target"].apply(list).to_dict()
    if roll == "auto":
        assert kinds["roll"][::2] == ["CFE.IF2303", "CFE.IF2305"][:len(rolls)]
        assert set(kinds["roll"][1::2]) == {"CFE.IF2305", "CFE.IF2307"} - (
            {"CFE.IF2307"} if len(rolls) == 1 else set())
        assert len(kinds["roll"]) == 2 * len(rolls) and "expiry" not in kinds
    else:
        assert kinds == {"order": ["CFE.IF2303"], "expiry": ["CFE.IF2303"]}
        assert any("IF2303" in w and "20230112" in w for w in result.stats["warnings"])
    # after the last settlement: the margin of what is held, at its contract's close
    j = np.flatnonzero(book.pos)
    assert result.records["margin"].iloc[-1] == pytest.approx(
        float(np.sum(np.abs(book.pos[j]) * market.close[-1, j] * 300 * 0.12)), abs=CENT)
    assert result.stats["accounts"]["future"]["rolls"] == (len(rolls) if roll == "auto" else 0)


def test_on_roll_and_a_contract_ordered_directly(run_state):
    """on_roll is called at the first step of each day with a new main contract,
    naming the target and both contracts as the main-contract table does; a contract
    that is no target (nor main yet) can be ordered by its code: it fills at the open
    of its own first bar after the order (it is listed a few days later) and is
    valued at its own close; once main, it is rolled like any main contract."""
    calls, ids = [], {}

    def on_data(context):
        if context.step == 2:
            ids["direct"] = context.order("CFE.IF2309", -1)

    def on_roll(context, target, old, new):
        calls.append((context.step, target, old, new))

    result = run(_strategy(on_data=on_data, on_roll=on_roll), targets=["CFE.IF00"],
                 frequency="day", begin=20230103, end=20230131, quiet=True, out=False)
    market = Market(["CFE.IF00"], "day", result.records["time"])
    table = pd.read_parquet(Path(os.environ["VX_STORE_DIR"]) / "main_contracts.parquet")
    table = table[(table["target"] == "CFE.IF00") & table["date"].isin(market.day_int)]
    contract = ["CFE." + c for c in table.sort_values("date")["contract"]]
    assert calls == [(s, "CFE.IF00", contract[s - 1], contract[s])
                     for s in range(1, len(contract)) if contract[s] != contract[s - 1]]
    assert len(calls) >= 2
    trades = result.trades
    j = market.codes.index("CFE.IF2309")
    first = next(s for s in range(3, len(market.keys)) if market.traded(s, j))
    assert first > 3  # not listed at the order
    row = trades.iloc[0]
    assert (row["target"], row["side"], row["order_id"]) == ("CFE.IF2309", "sell", ids["direct"])
    assert (row["time"], row["price"]) == (market.times[first], market.open[first, j])
    assert list(trades["kind"][1:]) == ["roll", "roll"] and trades["target"].iloc[1] == row["target"]
    assert_equity_moves_with_the_contracts(result, market)


@pytest.mark.parametrize("liquidate", [False, True])
def test_a_margin_call_rejects_opening_orders_or_liquidates(run_state, liquidate):
    """An account whose equity falls below the margin held at a settlement refuses
    opening orders and says so (long and short alike); with force_liquidation the
    positions are closed at the next open instead."""
    m = market_of(["CFE.IF00"], "min", 20230103, 20230109)
    m = Market(["CFE.IF00"], "day", [t for s, t in enumerate(m.times) if m.last_of_day(s)])
    j = m.main[0][1]
    side = 1 if m.close[1, j] < m.open[1, j] else -1  # against the day's move
    loss = abs(m.close[1, j] - m.open[1, j]) * 300
    assert loss > 300
    cash = m.open[1, j] * 300 * 0.12 * 1.0001 + m.open[1, j] * 300 * 0.0001 + loss / 3
    script = [(0, "order", "O", "CFE.IF00", side), (2, "order", "P", "CFE.IF00", side),
              (2, "order", "Q", "CFE.IF00", -2 * side)]  # more, and the other way
    result, log, market, book = play(script, ["CFE.IF00"], "day", 20230103, 20230109, cash=cash,
                                     force_liquidation=liquidate)
    statuses = {}
    for _, oid, status, reason, _, _ in log.statuses:
        statuses.setdefault(oid, []).append((status, reason))
    assert any("margin call" in w for w in result.stats["warnings"])
    assert result.stats["accounts"]["future"]["margin_calls"] >= 1
    if not liquidate:
        for label in "PQ":
            assert statuses[log.ids[label]][-1][0] == "rejected"
            assert "margin call" in statuses[log.ids[label]][-1][1]
        assert_books_agree(result, log, book)
        return
    assert_books_agree(result, log, book)
    trades = result.trades
    assert list(trades["kind"][:2]) == ["order", "liquidation"]
    row = trades.iloc[1]
    assert row["time"] == market.times[2] and row["price"] == market.open[2, j]
    assert row["side"] == ("sell" if side > 0 else "buy")


# -------------------------------------------------------------------- limit orders


def market_of(codes, frequency, begin, end):
    """The run's market read from the bar files before the run: the steps are the
    bar times of the targets over the run's days."""
    store = Path(os.environ["VX_STORE_DIR"])
    keys = set()
    for code in codes:
        t = pd.read_parquet(store / "bars" / "1m" / ("%s.parquet" % code))["time"].to_numpy()
        day = np.floor(t) - EPOCH
        lo = (np.datetime64(pd.Timestamp(str(begin)).date()) - np.datetime64("1970-01-01"))
        hi = (np.datetime64(pd.Timestamp(str(end)).date()) - np.datetime64("1970-01-01"))
        keep = (day >= lo.astype(int)) & (day <= hi.astype(int))
        keys.update(np.rint((t[keep] - EPOCH) * 86400).astype(np.int64).tolist())
    times = np.array(sorted(keys), dtype="datetime64[s]")
    return Market(codes, frequency, times)


def test_limit_orders_fill_where_a_later_bar_reaches_the_limit_and_never_worse(run_state):
    """Limits a little below (buys) or above (sales) the close at the order, one
    marketable, one off the futures' tick grid: each fills at the first later bar
    that reaches it, at the open when the open is within the limit, else at the
    limit; a stock limit never reached is cancelled at the end of its day; the
    futures limit never reached waits until the strategy cancels it."""
    codes = ["SH.600000", "CFE.IF00"]
    m = market_of(codes, "min", 20230104, 20230105)
    c = m.close
    script = [
        (3, "limit", "B1", "SH.600000", (1000, c[3, 0] * 0.997)),
        (3, "limit", "B2", "SH.600000", (500, c[3, 0] * 1.01)),  # marketable: the open
        (10, "limit", "F1", "CFE.IF00", (1, c[10, 1] * 0.999 + 0.07)),  # off the tick grid
        (60, "limit", "S1", "SH.600000", (-300, c[60, 0] * 1.002)),
        (100, "limit", "B3", "SH.600000", (100, c[100, 0] * 0.8)),  # never reached
        (120, "limit", "F2", "CFE.IF00", (-1, c[120, 1] * 1.3)),  # never reached
        (400, "cancel", "F2", None, None),
    ]
    result, log, market, book = play(script, codes, "min", 20230104, 20230105, cash=5_000_000,
                                     slippage=1)
    assert_books_agree(result, log, book)
    assert book.statuses["B3"] == ["accepted", "cancelled"]
    assert book.statuses["F2"] == ["accepted", "cancelled"]
    assert log.cancels[("F2", 400)] is True
    at_open = at_limit = 0
    for s, label, code, side, _, price, _ in book.trades:
        j = m.codes.index(code)
        placed = next(a[0] for a in script if a[2] == label)
        limit = next(a[4][1] for a in script if a[2] == label)
        assert s > placed
        worse = price > limit + 1e-9 if side == "buy" else price < limit - 1e-9
        assert not worse, (label, price, limit)
        slipped = m.open[s, j] + (1 if side == "buy" else -1) * m.tick[j]
        if price == pytest.approx(slipped, abs=1e-9):
            at_open += 1
        else:
            at_limit += 1  # the bar reached the price
            assert (m.low[s, j] <= price) if side == "buy" else (m.high[s, j] >= price)
    assert at_open >= 1 and at_limit >= 1, (at_open, at_limit)


@pytest.mark.parametrize("limit", [float("nan"), -1.0, 0.0, "cheap", float("inf")])
def test_a_limit_that_is_not_a_price_is_rejected(run_state, limit):
    reasons = []

    def on_data(context):
        if context.step == 5:
            context.order("SH.600000", 100, limit=limit)
            context.order_target_percent("SH.600000", 0.1, limit=limit)

    def on_order_status(context, order, *args, **kwargs):
        reasons.append((order.status, order.reason))

    result = run(_strategy(on_data=on_data, on_order_status=on_order_status),
                 targets=["SH.600000"], frequency="min", begin=20230104, end=20230104,
                 quiet=True, out=False)
    assert [s for s, _ in reasons] == ["rejected", "rejected"]
    assert all("limit" in r for _, r in reasons), reasons
    assert len(result.trades) == 0


def test_scripted_orders_against_tight_price_limits(run_state, tmp_path, monkeypatch):
    """The minute scenario on a copy of the market where SH.600000 may move 0.3% a
    day (an instruments `limit_pct`): many bars lock at a limit or open beyond it;
    fills wait for an unlocked bar and never trade outside the limits."""
    from vornix.api.history._history import HistoryStore
    from vornix.api.history._import import import_csv
    from vornix.api.history._sample import write_sample_market

    store = tmp_path / "tight"
    write_sample_market(HistoryStore(store, create=True), seed=7, days=6, stocks=2)
    inst = pd.read_parquet(store / "instruments.parquet")
    inst = inst[inst["code"] == "600000"].assign(limit_pct=0.003, delist_date="")
    inst.drop(columns=["st"]).to_csv(tmp_path / "inst.csv", index=False)
    import_csv(HistoryStore(store), "instruments", str(tmp_path / "inst.csv"))
    monkeypatch.setenv("VX_STORE_DIR", str(store))
    script, _, begin, end, settings = SCRIPTED["min"]
    result, log, market, book = play(script, TRIO, "min", begin, end, **settings)
    assert_books_agree(result, log, book)
    j = TRIO.index("SH.600000")
    locked = [s for s in range(len(market.keys)) if market.traded(s, j) and (
        market.low[s, j] >= market.limits(s, j)[1] or market.high[s, j] <= market.limits(s, j)[0])]
    assert len(locked) > 20  # the case the run is about
    for s, _, code, _, _, price, _ in book.trades:
        if code == "SH.600000":
            down, up = market.limits(s, j)
            assert down <= price <= up


def test_the_orders_that_let_faults_through(run_state, monkeypatch, tmp_path):
    """A stock order on a day the stock does not trade is cancelled at that day's
    last step; a second sale of the whole position at one step is rejected; an
    order placed in on_execution fills at a later step, not at the open it was
    placed at."""
    events, fills = [], []

    def on_data(context):
        if context.now == pd.Timestamp("2023-01-27 10:00"):
            context.order("SZ.000011", 100)  # suspended that day: no bar trades

    def on_order_status(context, order):
        events.append((str(context.now), order.status))

    result = run(_strategy(on_data=on_data, on_order_status=on_order_status),
                 targets=["SZ.000011"], frequency="min", begin=20230127, end=20230130,
                 quiet=True, out=False)
    assert events == [("2023-01-27 10:00:00", "accepted"), ("2023-01-27 15:00:00", "cancelled")]
    assert len(result.trades) == 0 and result.orders["status"].tolist() == ["cancelled"]

    chased, sales = [], []

    def sell_twice(context):
        if context.step == 2:
            context.order("SH.600000", 300)
        if context.step == 250:  # the next day: all of it sellable
            held = context.position("SH.600000")
            sales.extend(context.order("SH.600000", -held) for _ in range(2))
        fills.append(context.position("SH.600000"))

    def chase(context, execution):
        if not chased:
            chased.append((context.order("SH.600000", 100), context.step))

    with fresh_run_state(monkeypatch, tmp_path / "cache"):
        result = run(_strategy(on_data=sell_twice, on_execution=chase), targets=["SH.600000"],
                     frequency="min", begin=20230104, end=20230105, quiet=True, out=False)
    orders = result.orders.set_index("order_id")
    assert min(fills) >= 0 and fills[-1] == 0
    assert orders.loc[sales, "status"].tolist() == ["filled", "rejected"]
    (oid, placed), = chased
    assert orders.loc[oid, "placed_step"] == placed
    steps = {t: s for s, t in enumerate(result.records["time"])}
    first = min(steps[t] for t in result.trades[result.trades["order_id"] == oid]["time"])
    assert first > placed


def test_corporate_actions_keep_the_equity_and_forward_windows_are_point_in_time(
        run_state, monkeypatch, tmp_path):
    """Holding SH.600020 through its 2-for-1 split and SZ.000031 through its cash
    dividend, with forward-adjusted windows: fills at the raw open, the shares and
    cash of the actions table, equity recomputed from raw closes at every step, and
    every day window priced at the level of its own step from the factors known
    then (so a run that ends earlier reads the same windows)."""
    codes = ["SH.600020", "SZ.000031"]
    store = Path(os.environ["VX_STORE_DIR"])
    closes = []

    def init(context):
        context.day = context.reg_bars("day")

    def on_data(context):
        if context.step == 0:
            for code in codes:
                context.order_target_percent(code, 0.45)
        closes.append(context.day.values(3)[:, 5].copy())

    def go(end):
        closes.clear()
        return run(_strategy(init=init, on_data=on_data), targets=codes, frequency="day",
                   begin=20230103, end=end, adjust="forward", quiet=True, out=False), list(closes)

    result, windows = go(20230214)
    market = Market(codes, "day", result.records["time"])
    actions = pd.read_parquet(store / "actions.parquet").set_index("target")
    factors = pd.read_parquet(store / "adjust.parquet")
    shares, cash = np.zeros(2), 1_000_000.0
    for _, tr in result.trades.iterrows():
        j = codes.index(tr["target"])
        assert tr["time"] == market.times[1] and tr["price"] == market.open[1, j]
    equity = []
    for s in range(len(market.keys)):
        for j, code in enumerate(codes):
            a = actions.loc[code]
            ex = pd.Timestamp(str(int(a["ex_date"]))).to_datetime64().astype("datetime64[D]")
            if s and market.day[s] == ex.astype(np.int64) + EPOCH:
                cash += shares[j] * a["cash"]
                shares[j] *= (1 + a["bonus"]) * a["split"]
        for _, tr in result.trades[result.trades["time"] == market.times[s]].iterrows():
            j = codes.index(tr["target"])
            shares[j] += tr["volume"]
            cash -= tr["volume"] * tr["price"] + tr["fee"]
        equity.append(cash + float(shares @ market.close[s]))
    np.testing.assert_allclose(result.records["equity"], equity, rtol=0, atol=CENT)
    assert {a["target"] for a in result.stats["corporate_actions"]} == set(codes)
    for j, code in enumerate(codes):  # the forward window: raw x factor(bar) / factor(step)
        f = factors[factors["target"] == code]
        f_days = (pd.to_datetime(f["date"].astype(str)).to_numpy().astype("datetime64[D]")
                  .astype(np.int64) + EPOCH)
        def factor(d, f_days=f_days, f=f):
            i = np.searchsorted(f_days, d, side="right") - 1
            return f["factor"].to_numpy()[i] if i >= 0 else 1.0
        for s in range(2, len(market.keys)):
            raw = market.close[s - 2: s + 1, j]
            want = raw * [factor(market.day[k]) for k in range(s - 2, s + 1)] / factor(
                market.day[s])
            np.testing.assert_allclose(windows[s][3 * j: 3 * j + 3], want, rtol=1e-12)
    with fresh_run_state(monkeypatch, tmp_path / "cache"):
        early, early_windows = go(20230201)
    for a, b in zip(early_windows, windows):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("market, code, st, own, day, base, want", [
    ("SH", "600000", False, None, 20230827, 10.05, (9.05, 11.06)),  # 11.055 rounds up
    ("SZ", "300750", False, None, 20230828, 3.33, (2.66, 4.0)),
    ("SH", "688981", False, None, 20230828, 50.0, (40.0, 60.0)),
    ("BJ", "830799", False, None, 20230828, 7.77, (5.44, 10.1)),
    ("SZ", "000011", True, None, 20230828, 4.41, (4.19, 4.63)),
    ("SZ", "000011", True, 0.02, 20230828, 4.41, (4.32, 4.5)),
])
def test_exchange_rules_by_board_and_date(market, code, st, own, day, base, want):
    from vornix.runner import _rules

    pct = _rules.limit_pct(market, code, st, own)
    assert _rules.limit_prices(base, pct, 0.01) == pytest.approx(want, abs=1e-9)
    duty = 0.001 if day < 20230828 else 0.0005
    rules = _rules.Rules()
    assert _rules.stock_fee(10_000.0, True, day, 3e-4, rules) == pytest.approx(5 + 10_000 * duty)
    assert _rules.stock_fee(100_000.0, False, day, 3e-4, rules) == pytest.approx(30.0)
    # no close before (a first listing day): no limits
    assert all(math.isnan(x) for x in _rules.limit_prices(float("nan"), pct, 0.01))
