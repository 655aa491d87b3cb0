"""The order simulator of a backtest: accounts, market orders, fills, costs and the
equity of every step.

Rules (the whole of them; README "Orders" tells them to users):

- Two accounts, handles "stock" and "future", each starting with `cash`; a target
  trades through the account of its type.
- A market order placed at step t fills at the first later step whose bar of the
  run's main series traded (volume > 0, a finite open), at that bar's open, moved by
  `slippage` ticks (MinMove) against the order.  Never at a price of step t or
  earlier.  Fills happen before on_data of the fill step.
- A limit order (`limit=` price, rounded to the tick in the order's favour of the
  market: a buy's limit down, a sell's up) fills at the first later traded bar that
  reaches it: at the market order's price when that is within the limit, else at
  the limit when the bar's low (buy) or high (sell) touches it.  It never fills at a
  price worse than its limit.
- A stock order still pending when the first trading day on which it could fill
  ends is cancelled (an order placed at a day's last step has the next day); a
  futures order stays pending until it fills or the strategy cancels it.  Days are
  trading days: the steps of a night session belong to the next one.
- Lots: 100 shares for stocks, 1 contract for futures.  Volume 0, NaN, not a whole
  number of lots, an unknown target, or a stock sale beyond the shares held (less
  the sales pending) is rejected when placed; a buy that costs more than the
  account's cash is rejected when it would fill.
- Cash moves by volume x price x multiplier plus the fee (futures are settled at
  full notional: there is no margin model); stock fee = value x fee_stock / 10000,
  futures fee = notional x fee_future (the rates come from env.cost_fee_rate).
- After on_data of every step the positions are valued at the close of the step's
  bar of the main series (raw prices: a futures roll shows in the P&L).
"""

import math

import numpy as np

STOCK_LOT, FUTURE_LOT = 100, 1


class Order:
    """An order as the strategy's on_order_status sees it."""

    __slots__ = ("order_id", "target", "target_idx", "volume", "status", "reason", "placed_step",
                 "filled_step", "price", "fee", "account", "limit")

    def __init__(self, order_id, target, target_idx, volume, step, account, limit=math.nan):
        self.order_id = order_id
        self.target = target
        self.target_idx = target_idx
        self.volume = volume
        self.status = "accepted"
        self.reason = ""
        self.placed_step = step
        self.filled_step = None
        self.price = math.nan
        self.fee = 0.0
        self.account = account
        self.limit = limit  # NaN: a market order

    def __repr__(self):
        limit = "" if self.limit != self.limit else " limit %g" % self.limit
        return "<order %d %s %+g%s %s%s>" % (self.order_id, self.target, self.volume, limit,
                                             self.status,
                                             (" (%s)" % self.reason) if self.reason else "")


class Execution:
    """A fill, as on_execution sees it."""

    __slots__ = ("order_id", "target", "side", "volume", "price", "fee", "time", "step")

    def __init__(self, order, side, volume, price, fee, time, step):
        self.order_id, self.target, self.side = order.order_id, order.target, side
        self.volume, self.price, self.fee, self.time, self.step = volume, price, fee, time, step

    def __repr__(self):
        return "<execution of order %d: %s %g %s at %g>" % (
            self.order_id, self.side, self.volume, self.target, self.price)


class Account:
    """An account record: `handle` names it, as the trading core would."""

    def __init__(self, handle, cash, n_targets):
        self.handle = handle
        self.cash = float(cash)
        self.positions = np.zeros(n_targets)

    def __repr__(self):
        return "<account %s: cash %.2f>" % (self.handle, self.cash)


def _number(value, what):
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise ValueError("%s must be a number, got %r" % (what, value)) from None
    if not math.isfinite(v) or v < 0:
        raise ValueError("%s must be a number not below 0, got %r" % (what, value))
    return v


class Broker:
    """One run's simulator; the runner calls `fill(step)` before on_data and
    `close(step)` after it."""

    def __init__(self, runner, cash=1_000_000, fee_stock=3, fee_future=0.0001, slippage=0):
        from vornix.tframe.sysdefine import GlobalDefine as gv

        self.runner = runner
        vr, env = runner.vr, runner.env
        self.vr, self.env, self.gv = vr, env, gv
        cash = _number(cash, "cash")
        vr.g_VornixSettingInfo.cost_fee_stock = _number(fee_stock, "fee_stock")
        vr.g_VornixSettingInfo.cost_fee_future = _number(fee_future, "fee_future")
        self.slippage = _number(slippage, "slippage")
        info = vr.g_VornixInputInfo
        self.codes = list(info.TargetListDot)
        self.index = {c: i for i, c in enumerate(self.codes)}
        n = len(self.codes)
        self.accounts = [Account("stock", cash, n), Account("future", cash, n)]
        vr.g_VornixAccounts = self.accounts
        info.AccountNameList = [a.handle for a in self.accounts]
        types = [vr.g_VornixTargetsInfo[c]["Type"] for c in self.codes]
        self.is_future = np.array([t == gv.TARGETTYPE_FUTURE for t in types])
        self.lot = np.where(self.is_future, FUTURE_LOT, STOCK_LOT)
        self.multiplier = np.array([float(env.get_multiple(i)) for i in range(n)])
        move = [env.get_minmove(i) for i in range(n)]
        self.min_move = np.array([float(m) if m else 0.0 for m in move])
        # ticks per unit of price where that is a whole number (0.01 -> 100, 0.2 -> 5):
        # round(p * k) / k is then the price on the grid, correctly rounded, without
        # the cost of round(x, ndigits) per fill
        per_unit = [round(1.0 / m) if m > 0 else 0 for m in self.min_move]
        self.per_unit = [k if k and abs(1.0 / m - k) < 1e-9 else 0
                         for k, m in zip(per_unit, self.min_move)]
        self.fee_rate = np.array([float(env.cost_fee_rate(t)) for t in types])
        # the main series: open, close and volume rows, the column of every step
        k = vr.g_VornixKDataList[int(info.RefreshKDataIdx)]
        m = k.Matrix
        self.open_px = m[[gv.bar_item_pos(gv.KMatrix_Open, t) for t in range(n)]]
        self.close_px = m[[gv.bar_item_pos(gv.KMatrix_Close, t) for t in range(n)]]
        self.volume_px = m[[gv.bar_item_pos(gv.KMatrix_Volume, t) for t in range(n)]]
        self.high_px = m[[gv.bar_item_pos(gv.KMatrix_High, t) for t in range(n)]]
        self.low_px = m[[gv.bar_item_pos(gv.KMatrix_Low, t) for t in range(n)]]
        self.column = np.minimum(np.asarray(k.CurrentBar, dtype=np.int64), m.shape[1] - 1)
        # positions are valued at the last close known (a delisted target's NaN bars
        # keep its last price)
        self.value_px = self._last_known(self.close_px)
        self.time_line = np.asarray(env.fresh_bar_timeline, dtype=np.float64)
        # the trading day of every step, from the main series' day positions: a
        # night session's steps (after 21:00, and after midnight) belong to the
        # next trading day, so a stock order's day ends at its own day's close
        day = m[gv.KMatrixPos_DayPos][self.column]
        self.day_ends = np.r_[day[1:] != day[:-1], True]
        self.start_cash = 2 * cash
        self.orders = {}
        self.pending = []
        self.trades = []
        self.last_step = -1  # the last step that ran
        self._callbacks = {}
        self._valued_at = None  # (step, fills) -> closes and equity, see _valued

    @staticmethod
    def _last_known(rows):
        known = np.isfinite(rows)
        last = np.where(known, np.arange(rows.shape[1]), 0)
        np.maximum.accumulate(last, axis=1, out=last)
        out = np.take_along_axis(rows, last, axis=1)
        out[~np.maximum.accumulate(known, axis=1)] = np.nan
        return out

    # ------------------------------------------------------------ user calls
    def _callback(self, name, obj):
        try:
            func = self._callbacks[name]
        except KeyError:
            # looked up once: the user's scope is installed before the first step
            from vornix.tframe import sysdefine

            func = getattr(self.vr.g_VornixInputInfo, name, None)
            if getattr(func, "__wrapped__", func) in (sysdefine.on_order_status,
                                                      sysdefine.on_execution):
                func = None  # the framework's defaults do nothing
            self._callbacks[name] = func
        if func is not None:
            func(self.runner.context, obj)

    def _target(self, target):
        if isinstance(target, (int, np.integer)) and not isinstance(target, bool):
            t = int(target)
            return (t, self.codes[t]) if 0 <= t < len(self.codes) else (None, repr(target))
        if isinstance(target, str):
            t = self.index.get(target.strip().upper())
            return (t, self.codes[t]) if t is not None else (None, target)
        return None, repr(target)

    def _account(self, t):
        return self.accounts[1] if self.is_future[t] else self.accounts[0]

    def _reject(self, order, reason):
        order.status, order.reason = "rejected", reason
        self._callback("on_order_status_func", order)

    def pending_volume(self, t):
        return sum(o.volume for o in self.pending if o.target_idx == t)

    def pending_sales(self, t):
        return sum(o.volume for o in self.pending if o.target_idx == t and o.volume < 0)

    def _limit_price(self, t, volume, limit):
        """The limit on the tick grid, rounded in the market's favour; NaN when the
        given limit is not a positive number."""
        try:
            price = float(limit)
        except (TypeError, ValueError):
            return math.nan
        if not (math.isfinite(price) and price > 0):
            return math.nan
        tick = self.min_move[t] if t is not None else 0.0
        if tick > 0 and math.isfinite(volume):
            units = price / tick
            near = round(units)
            if abs(units - near) > 1e-9:  # not on the grid already
                near = math.floor(units) if volume > 0 else math.ceil(units)
            price = round(near * tick, 10)
        return price if price > 0 else math.nan

    def order(self, target, volume, step, limit=None):
        t, code = self._target(target)
        order_id = len(self.orders) + 1
        try:
            v = float(volume)
        except (TypeError, ValueError):
            v = math.nan
        price = math.nan if limit is None else self._limit_price(t, v, limit)
        order = Order(order_id, code, t, v, step, None if t is None else self._account(t).handle,
                      price)
        self.orders[order_id] = order
        if t is None:
            self._reject(order, "unknown target %s" % code)
        elif self.vr.g_VornixTargetsInfo[code]["Type"] == self.gv.TARGETTYPE_INDEX:
            self._reject(order, "%s is an index, which is not traded" % code)
        elif limit is not None and price != price:
            self._reject(order, "limit price %r is not a positive number on the tick grid of "
                         "%s (tick %g)" % (limit, code, self.min_move[t]))
        elif not math.isfinite(v) or v == 0:
            self._reject(order, "volume %r is not a non-zero number" % (volume,))
        elif v % self.lot[t] != 0:
            self._reject(order, "volume %g is not a whole number of lots of %d" % (v, self.lot[t]))
        elif not self.is_future[t] and v < 0 and (
                self._account(t).positions[t] + self.pending_sales(t) + v < 0):
            # shares held, less the sales pending: a pending buy may never fill
            self._reject(order, "selling %g shares of %s, %g held and not yet sold" % (
                -v, code, self._account(t).positions[t] + self.pending_sales(t)))
        else:
            self.pending.append(order)
            self._callback("on_order_status_func", order)
        return order_id

    def position(self, target):
        t, code = self._target(target)
        if t is None:
            raise ValueError("unknown target %s" % code)
        return float(self._account(t).positions[t])

    def order_target_volume(self, target, volume, step, limit=None):
        """Orders the difference to `volume`, counting the pending orders of the target."""
        t, code = self._target(target)
        if t is None:
            return self.order(target, volume, step, limit)
        try:
            volume = float(volume)
        except (TypeError, ValueError):
            return self.order(t, math.nan, step, limit)  # rejected, with its reason
        delta = volume - self._account(t).positions[t] - self.pending_volume(t)
        return None if delta == 0 else self.order(t, delta, step, limit)

    def order_target_percent(self, target, weight, step, limit=None):
        """Holds `weight` of the account's equity at the step's close, in whole lots
        (rounded toward zero)."""
        t, code = self._target(target)
        if t is None:
            return self.order(target, 0, step, limit)
        account = self._account(t)
        closes, equity = self._valued(step)
        equity = equity[account.handle]
        price = closes[t] * self.multiplier[t]
        try:
            weight = float(weight)
        except (TypeError, ValueError):
            weight = math.nan
        if not (price > 0) or not math.isfinite(equity) or not math.isfinite(weight):
            return self.order(t, math.nan, step, limit)  # rejected, with its reason
        lots = math.trunc(weight * equity / price / self.lot[t])
        return self.order_target_volume(t, lots * self.lot[t], step, limit)

    def _valued(self, step):
        """The closes of `step` and each account's equity at them.  Orders placed
        during a step change neither cash nor positions (fills come at later steps),
        so this is worked out once per step and number of fills."""
        key = (step, len(self.trades))
        if self._valued_at is None or self._valued_at[0] != key:
            closes = self.value_px[:, self.column[step]]
            equity = {}
            for account in self.accounts:
                held = account.positions != 0
                equity[account.handle] = account.cash + float(
                    np.sum(account.positions[held] * closes[held] * self.multiplier[held]))
            self._valued_at = (key, closes.tolist(), equity)
        return self._valued_at[1], self._valued_at[2]

    def cancel(self, order_id):
        order = self.orders.get(order_id)
        if order is None or order.status != "accepted":
            return False
        self.pending.remove(order)
        order.status, order.reason = "cancelled", "cancelled by the strategy"
        self._callback("on_order_status_func", order)
        return True

    # ------------------------------------------------------------ the steps
    def fill(self, step):
        """Fills the pending orders placed before `step` whose bar at `step` traded."""
        if not self.pending:
            return
        col = self.column[step]
        # the step's bar of every target as Python floats: orders may wait many steps
        volumes = self.volume_px[:, col].tolist()
        opens = self.open_px[:, col].tolist()
        highs = lows = None
        keep = []
        for order in self.pending:
            t = order.target_idx
            price = opens[t]
            if order.placed_step >= step or not (volumes[t] > 0) or not math.isfinite(price):
                keep.append(order)
                continue
            side = 1.0 if order.volume > 0 else -1.0
            tick = self.min_move[t]
            price = price + side * self.slippage * tick
            if self.per_unit[t]:
                price = round(price * self.per_unit[t]) / self.per_unit[t]
            elif tick > 0:
                price = round(round(price / tick) * tick, 10)
            limit = order.limit
            if limit == limit and (price - limit) * side > 0:
                # the open is beyond the limit: filled at the limit if the bar reached it
                if highs is None:
                    highs, lows = self.high_px[:, col].tolist(), self.low_px[:, col].tolist()
                if not ((lows[t] <= limit) if side > 0 else (highs[t] >= limit)):
                    keep.append(order)
                    continue
                price = limit
            account = self._account(t)
            notional = order.volume * price * self.multiplier[t]
            fee = abs(notional) * self.fee_rate[t]
            if order.volume > 0 and notional + fee > account.cash + 1e-9:
                self._reject(order, "insufficient cash: %.2f needed, %.2f in the %s account"
                             % (notional + fee, account.cash, account.handle))
                continue
            account.cash -= notional + fee
            account.positions[t] += order.volume
            order.status, order.filled_step, order.price, order.fee = "filled", step, price, fee
            execution = Execution(order, "buy" if side > 0 else "sell", abs(order.volume), price,
                                  fee, self.time_line[step], step)
            self.trades.append(execution)
            self._callback("on_order_status_func", order)
            self._callback("on_order_execution_func", execution)
        self.pending = keep

    def close(self, step):
        """End of the step: stock orders still pending at the end of the day are
        cancelled.  (Cash and positions are valued for every step at the end of the
        run, from the fills: a step without orders costs nothing here.)"""
        self.last_step = step
        if self.pending and self.day_ends[step]:
            keep = []
            for order in self.pending:
                # an order placed at the day's last step has the next day to fill
                if self.is_future[order.target_idx] or order.placed_step >= step:
                    keep.append(order)
                    continue
                order.status, order.reason = "cancelled", "not filled by the end of the day"
                self._callback("on_order_status_func", order)
            self.pending = keep

    # ------------------------------------------------------------ results
    def columns(self):
        """Cash, positions value (at each step's close) and equity of both accounts
        per step, rebuilt from the fills; NaN after the last step that ran."""
        steps, n = self.time_line.size, len(self.codes)
        moves = np.zeros((steps, n))
        spent = np.zeros(steps)
        for e in self.trades:
            signed = e.volume if e.side == "buy" else -e.volume
            t = self.index[e.target]
            moves[e.step, t] += signed
            spent[e.step] += signed * e.price * self.multiplier[t] + e.fee
        held = np.cumsum(moves, axis=0)
        closes = self.value_px[:, self.column].T * self.multiplier
        value = np.where(held != 0, held * np.where(held != 0, closes, 0.0), 0.0).sum(axis=1)
        cash = self.start_cash - np.cumsum(spent)
        after = np.arange(steps) > self.last_step
        cash[after] = value[after] = np.nan
        return {"cash": cash, "positions_value": value, "equity": cash + value}

    def trades_frame(self):
        import pandas as pd

        from vornix.runner._context import datenum_to_datetime64

        rows = self.trades
        return pd.DataFrame({
            "time": datenum_to_datetime64([e.time for e in rows]),
            "target": [e.target for e in rows],
            "side": [e.side for e in rows],
            "volume": np.array([e.volume for e in rows], dtype=np.float64),
            "price": np.array([e.price for e in rows], dtype=np.float64),
            "fee": np.array([e.fee for e in rows], dtype=np.float64),
            "order_id": np.array([e.order_id for e in rows], dtype=np.int64),
        })
