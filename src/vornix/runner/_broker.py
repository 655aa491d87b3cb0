"""The order simulator of a backtest: accounts, orders, fills, costs, corporate
actions and the equity of every step.

Rules (the whole of them; README "Orders" tells them to users, the market rules
with their settings are in `_rules`):

- Prices are the raw traded prices of the store, whatever price adjustment the run
  or a registration uses: fills, sizing and valuation never see adjusted prices.
- A run holds the accounts its targets use: "stock" (stocks and funds) and
  "future" (futures), each starting with its `cash`; a target trades through the
  account of its type.
- A market order placed at step t fills at the first later step whose bar of the
  run's main series traded (volume > 0, a finite open), at that bar's open, moved by
  `slippage` ticks (MinMove) against the order.  Never at a price of step t or
  earlier.  Fills happen before on_data of the fill step.
- A limit order (`limit=` price, rounded to the tick in the order's favour of the
  market: a buy's limit down, a sell's up) fills at the first later traded bar that
  reaches it: at the market order's price when that is within the limit, else at
  the limit when the bar's low (buy) or high (sell) touches it.  It never fills at a
  price worse than its limit.
- Stocks (market rules, `_rules`): fills within the day's price limits, none against
  a bar locked at the limit; at most `volume_limit` of a bar's volume (the rest
  waits: partial fills, one execution each); T+1 sales; commission with a minimum
  and stamp duty on sales.
- A stock order still pending when the first trading day on which it could fill
  ends is cancelled (an order placed at a day's last step has the next day); a
  futures order stays pending until it fills or the strategy cancels it.  Days are
  trading days: the steps of a night session belong to the next one.
- Lots: 100 shares for stocks, 1 contract for futures; a sale of a stock's whole
  remaining position may be an odd lot.  Volume 0, NaN or not a number, not a whole
  number of lots, an unknown target, a stock sale beyond the shares held (less the
  sales pending) or beyond the shares sellable under T+1 is rejected when placed;
  a buy that costs more than the account's cash is rejected when it would fill.
- Stocks: cash moves by volume x price x multiplier plus the fee.
- Futures (`_rules` for the settings): an order on a continuous target trades its
  main contract of the day (moved to the new one if it is still pending when the
  main contract changes); orders, trades and positions name the contract, and a
  contract may be ordered directly (its bars are loaded when first named).  An
  opening fill puts
  up margin (price x multiplier x volume x margin rate) and pays its fee from the
  available cash, else it is rejected with the amounts; a closing fill releases
  its share of the margin and books its profit against the last settlement.
  Fee = notional x fee_future.  At the end of every trading day positions are
  settled at the day's close: the profit or loss since the last settlement (or
  the fill) moves into cash and the margin is recomputed.  Equity = cash + margin
  held + the profit or loss since the last settlement, the same figure as cash
  spent plus positions at their own contract's close.  A settlement that leaves
  equity below the margin held is a margin call: opening orders are rejected
  until it is covered (or, with `force_liquidation`, every position is closed at
  the next open).
- Rolls: at the first step of a day on which a continuous target's main contract
  changes, `on_roll(context, target, old, new)` is called; pending orders of the
  target move to the new contract; with `roll` "auto" a position in the old
  contract is closed and the same volume opened in the new one at the first
  traded bars of the day, the new one's not before the old one's (two fills, kind
  "roll").  A position still held at a
  contract's last trading day is closed at that day's close (kind "expiry"),
  with a warning in the run's output.
- Corporate actions, before the fills of the first step of an ex-date: held
  shares grow by bonus shares and splits, cash dividends are credited (less
  `dividend_tax`); a target with adjustment factors but no actions has its
  position converted by the factor's ratio (whole shares, the rest as cash at the
  ex-date reference price), so its value at the close before is unchanged.
- After on_data of every step the positions are valued at the raw close of their
  own instrument's bar at the step (the last close known where it has none): a
  contract's own close, never the continuous series'.
"""

import math
import time

import numpy as np

from vornix.runner import _rules

STOCK_LOT, FUTURE_LOT = 100, 1
DEFAULT_CASH = 1_000_000
SETTINGS = ("cash", "fee_stock", "fee_future", "slippage") + _rules.Rules.names()
ACCOUNTS = ("stock", "future")


class Order:
    """An order as the strategy's on_order_status sees it.  `filled` is the signed
    volume filled so far, `price` its average price and `fee` the fees of its fills;
    `done_step` the step at which it was filled in full, rejected or cancelled."""

    __slots__ = ("order_id", "target", "target_idx", "volume", "status", "reason", "code",
                 "placed_step", "filled_step", "done_step", "price", "fee", "account", "limit",
                 "filled", "waited", "via", "kind", "after")

    def __init__(self, order_id, target, target_idx, volume, step, account, limit=math.nan,
                 via=None, kind="order"):
        self.order_id = order_id
        self.target = target
        self.target_idx = target_idx
        self.volume = volume
        self.status = "accepted"
        self.reason = ""
        self.code = ""  # the kind of reason, counted in the summary
        self.placed_step = step
        self.filled_step = None  # the step of the last fill
        self.done_step = None
        self.price = math.nan
        self.fee = 0.0
        self.account = account
        self.limit = limit  # NaN: a market order
        self.filled = 0.0
        self.waited = ""  # why a bar that traded did not fill it
        self.via = via  # the continuous target it was placed on (index), or None
        self.kind = kind  # "order", or "roll", "expiry", "liquidation" of the simulator
        self.after = None  # an order that must be done first (a roll's close, for its open)

    @property
    def remaining(self):
        return self.volume - self.filled

    def __repr__(self):
        limit = "" if self.limit != self.limit else " limit %g" % self.limit
        return "<order %d %s %+g%s %s%s>" % (self.order_id, self.target, self.volume, limit,
                                             self.status,
                                             (" (%s)" % self.reason) if self.reason else "")


class Execution:
    """A fill, as on_execution sees it."""

    __slots__ = ("order_id", "target", "side", "volume", "price", "fee", "time", "step", "kind")

    def __init__(self, order, side, volume, price, fee, time, step):
        self.order_id, self.target, self.side = order.order_id, order.target, side
        self.volume, self.price, self.fee, self.time, self.step = volume, price, fee, time, step
        self.kind = order.kind

    def __repr__(self):
        return "<execution of order %d: %s %g %s at %g>" % (
            self.order_id, self.side, self.volume, self.target, self.price)


class Account:
    """An account record: `handle` names it, as the trading core would.  `cash` is
    what is available: a futures account's margin is held apart (`margin`)."""

    def __init__(self, handle, cash, n_targets):
        self.handle = handle
        self.start_cash = float(cash)
        self.cash = float(cash)
        self.margin = 0.0
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


def parse_cash(value):
    """Starting cash: one number for every account, or per account as a dict or as
    'stock=1000000,future=500000' -> {handle: cash}; an account not named starts with
    the default."""
    if isinstance(value, str) and "=" in value:
        pairs = {}
        for part in value.split(","):
            name, sep, amount = part.partition("=")
            if not sep or not name.strip():
                raise ValueError("cash is a number or stock=AMOUNT,future=AMOUNT, got %r" % (value,))
            pairs[name.strip().lower()] = amount
        value = pairs
    if isinstance(value, dict):
        unknown = sorted(set(value) - set(ACCOUNTS))
        if unknown:
            raise ValueError("cash names unknown account(s) %s; the accounts are %s"
                             % (", ".join(map(str, unknown)), ", ".join(ACCOUNTS)))
        out = dict.fromkeys(ACCOUNTS, float(DEFAULT_CASH))
        out.update({k: _number(v, "cash of the %s account" % k) for k, v in value.items()})
        return out
    amount = _number(value, "cash")
    return {k: amount for k in ACCOUNTS}


def accounts_for(types):
    """The handles of the accounts a run of targets of these types holds: "stock"
    for stocks and funds (and for a run of indices alone), "future" for futures."""
    from vornix.tframe.sysdefine import GlobalDefine as gv

    types = set(types)
    future = gv.TARGETTYPE_FUTURE in types
    stock = bool(types - {gv.TARGETTYPE_FUTURE, gv.TARGETTYPE_INDEX}) or not future
    return [h for h, used in (("stock", stock), ("future", future)) if used]


def start_cash(types, cash=None):
    """The total starting cash of a run of targets of these types."""
    per = parse_cash(DEFAULT_CASH if cash is None else cash)
    return float(sum(per[h] for h in accounts_for(types)))


class Market:
    """The raw bars of the run's main series at every step of the time chunk running
    (instruments x steps, column 0 at step `base`): open, high, low and volume of the
    step's bar and the last close known; and for the whole run the trading day of
    each step and the day before's close (the base of price limits), filled as the
    chunks run.  The run's targets come first; futures contracts that are not
    targets follow (`extend`, then `load`: their own raw bars combined to the
    steps)."""

    def __init__(self, runner, codes):
        from vornix.api.history import _history

        info = runner.vr.g_VornixInputInfo
        self.runner = runner
        self.runner_info = info
        self.time_line = np.asarray(runner.time_line, dtype=np.float64)  # the run's steps
        self.begin = int(runner.settings.begin)
        self.day = np.asarray(runner.step_days, dtype=np.int64)  # yyyymmdd of every step
        self.day_ends = np.r_[self.day[1:] != self.day[:-1], True]
        self.day_starts = np.r_[True, self.day[1:] != self.day[:-1]]
        # the run's days: the first step of each, and each step's day (index)
        self.first_steps = np.flatnonzero(self.day_starts)
        self.day_index = np.cumsum(self.day_starts) - 1
        # the close before each day: the last close known at the step before the
        # day's first step; for the first day, the stored day bar before it
        self.prev_close = np.full((len(codes), self.first_steps.size), np.nan)
        if self.day.size:
            self.prev_close[:, 0] = self._close_before(_history, info, codes, self.begin)
        self.base, self.end = 0, 0
        self.last_close = np.full(len(codes), np.nan)  # at the step before the chunk
        self.load_chunk(*runner.chunks[runner.chunk_no])

    def load_chunk(self, first, end):
        """The bars of the targets at steps first..end-1 (the chunk prepared in the
        state store), closes carried on from the chunk before."""
        from vornix.api.history import _history

        runner, info = self.runner, self.runner_info
        vr, gv = runner.vr, runner.gv
        n = len(info.TargetList)
        if self.end:  # the last close known at the step before this chunk
            self.last_close = self.close[:, -1].copy()
        self.base, self.end = first, end
        if runner.settings.adjust == "none":
            k = vr.g_VornixKDataList[int(info.RefreshKDataIdx)]
            m = k.Matrix
            column = np.minimum(np.asarray(k.CurrentBar, dtype=np.int64), m.shape[1] - 1)

            def rows(item):
                return m[[gv.bar_item_pos(item, t) for t in range(n)]][:, column]

            self.open, self.high = rows(gv.KMatrix_Open), rows(gv.KMatrix_High)
            self.low, close = rows(gv.KMatrix_Low), rows(gv.KMatrix_Close)
            self.volume = rows(gv.KMatrix_Volume)
        else:  # the main series holds adjusted prices: the raw bars, combined to the steps
            self.open, self.high, self.low, close, self.volume = self._raw(
                _history, gv, info, list(info.TargetList), self.runner.chunk_begin)
        extra = self.prev_close.shape[0] - n  # contracts added: loaded again by the broker
        if extra:
            for name in ("open", "high", "low", "volume"):
                block = getattr(self, name)
                fill = 0.0 if name == "volume" else np.nan
                setattr(self, name, np.vstack([block, np.full((extra, block.shape[1]), fill)]))
            close = np.vstack([close, np.full((extra, close.shape[1]), np.nan)])
        self._raw_close = close
        self.close = self._closes(np.arange(close.shape[0]))
        self._day_closes(np.arange(close.shape[0]))

    def _closes(self, rows):
        """The last close known at each step of the chunk (rows of `_raw_close`), the
        close before the chunk where the chunk has none yet."""
        out = _last_known(self._raw_close[rows])
        lead = np.isnan(out)
        if lead.any():
            out = np.where(lead, self.last_close[rows][:, None], out)
        return out

    def _day_closes(self, rows):
        """The close before each day whose first step is in the chunk."""
        days = np.flatnonzero((self.first_steps >= max(self.base, 1))
                              & (self.first_steps < self.end))
        if not days.size:
            return
        before = self.first_steps[days] - 1 - self.base  # -1: the chunk before's last step
        rows = np.asarray(rows)
        px = np.where(before >= 0, self.close[rows][:, np.maximum(before, 0)],
                      self.last_close[rows][:, None])
        self.prev_close[rows[:, None], days[None, :]] = px

    def arrays(self):
        """The chunk's arrays (for the memory it holds)."""
        return [self.open, self.high, self.low, self.volume, self._raw_close, self.close]

    def extend(self, k):
        """Room for `k` more instruments (no bars: NaN prices, volume 0) until `load`."""
        for name in ("open", "high", "low", "_raw_close", "close", "prev_close"):
            rows = getattr(self, name)  # prev_close: one column a day, the others a step
            setattr(self, name, np.vstack([rows, np.full((k, rows.shape[1]), np.nan)]))
        self.volume = np.vstack([self.volume, np.zeros((k, self.volume.shape[1]))])
        self.last_close = np.r_[self.last_close, np.full(k, np.nan)]

    def load(self, history, codes, rows, fallback):
        """The raw bars of instruments that are not targets of the run (the contracts
        behind continuous targets, or ordered directly), combined to the chunk's
        steps, into their rows.  `fallback[code]` = (target row, steps of the run)
        stands in for a contract without stored bars: the continuous target's bars at
        the steps it is main.  Returns the codes without bars."""
        from vornix.tframe.sysdefine import GlobalDefine as gv
        from vornix.tframe.utils.exceptions import VxError

        info = self.runner_info
        store = history.current_store()
        base = "min" if info.KFrequency == "min" else "day"
        stored = [c for c in codes if store.bar_count(c, base)]
        got = None
        if stored:
            try:
                got = self._raw(history, gv, info, stored, self.runner.chunk_begin)
            except (ValueError, VxError):  # none of them has a bar in the chunk's range
                stored = []
        for k, c in enumerate(stored):
            r = rows[codes.index(c)]
            self.open[r], self.high[r], self.low[r], self._raw_close[r], self.volume[r] = (
                got[j][k] for j in range(5))
        for c, r in zip(codes, rows):
            if c in stored or c not in fallback:
                continue
            t, steps = fallback[c]
            steps = steps[(steps >= self.base) & (steps < self.end)] - self.base
            for name in ("open", "high", "low", "_raw_close", "volume"):
                getattr(self, name)[r, steps] = getattr(self, name)[t, steps]
        self.close[rows] = self._closes(rows)
        self._day_closes(rows)
        return [c for c in codes if c not in stored]

    def _raw(self, history, gv, info, targets, begin):
        from vornix.api.history._bars import FIELDS, combine_by_group

        n = len(targets)
        base = "min" if info.KFrequency == "min" else "day"
        got = history.get_k_data_multi({
            "targets": list(targets), "frequency": base, "begin_date": begin,
            "end_date": int(info.EndDate), "filled_up": True, "fq_type": gv.FQType_None})
        times = np.asarray(got["TimeLine"], dtype=np.float64)
        karray = got["KArray"]
        # the base bars of step s: after step s-1's time, up to step s's
        line = self.time_line[self.base:self.end]
        ends = np.searchsorted(times, line + 1e-7, side="right")
        starts = np.r_[0, ends[:-1]]
        keep = ends > starts  # a step with a bar of its own
        out = [np.full((n, line.size), np.nan) for _ in range(5)]
        out[4][:] = 0.0
        names = ("open", "high", "low", "close", "volume")
        if not keep.any():
            return out
        groups, used = starts[keep], int(ends[keep][-1])
        for t in range(n):
            block = karray[t * gv.KMatrix_Bar_Len: (t + 1) * gv.KMatrix_Bar_Len]
            combined = combine_by_group(groups, {f: block[i, :used] for i, f in enumerate(FIELDS)})
            for j, f in enumerate(names):
                out[j][t, keep] = combined[f]
        return out

    @staticmethod
    def _close_before(history, info, codes, begin):
        """The raw close of each target on the trading day before the run (NaN where
        there is none: no limits on the first day then)."""
        days = history.get_trading_days(0, begin)
        days = [d for d in days if d < begin]
        out = np.full(len(codes), np.nan)
        if not days:
            return out
        from vornix.tframe.sysdefine import GlobalDefine as gv
        from vornix.tframe.utils.exceptions import VxError

        try:
            got = history.get_k_data_multi({
                "targets": list(info.TargetList), "frequency": "day", "begin_date": int(days[-1]),
                "end_date": int(days[-1]), "filled_up": True, "fq_type": gv.FQType_None})
        except (ValueError, VxError):
            return out  # no day bars stored
        karray = got["KArray"]
        for t in range(len(codes)):
            out[t] = karray[t * gv.KMatrix_Bar_Len + gv.KMatrix_Close, -1]
        return out


def _per_unit(min_move):
    """Ticks per unit of price where that is a whole number (0.01 -> 100, 0.2 -> 5):
    round(p * k) / k is then the price on the grid, correctly rounded, without the
    cost of round(x, ndigits) per fill; 0 elsewhere."""
    per_unit = [round(1.0 / m) if m > 0 else 0 for m in min_move]
    return [k if k and abs(1.0 / m - k) < 1e-9 else 0 for k, m in zip(per_unit, min_move)]


def _last_known(rows):
    known = np.isfinite(rows)
    last = np.where(known, np.arange(rows.shape[1]), 0)
    np.maximum.accumulate(last, axis=1, out=last)
    out = np.take_along_axis(rows, last, axis=1)
    out[~np.maximum.accumulate(known, axis=1)] = np.nan
    return out


class Broker:
    """One run's simulator; the runner calls `fill(step)` before on_data and
    `close(step)` after it."""

    def __init__(self, runner, cash=DEFAULT_CASH, fee_stock=3, fee_future=0.0001, slippage=0,
                 **rules):
        from vornix.tframe.sysdefine import GlobalDefine as gv

        self.runner = runner
        vr, env = runner.vr, runner.env
        self.vr, self.env, self.gv = vr, env, gv
        self.rules = _rules.Rules.from_settings(**rules)
        start = parse_cash(cash)
        vr.g_VornixSettingInfo.cost_fee_stock = _number(fee_stock, "fee_stock")
        vr.g_VornixSettingInfo.cost_fee_future = _number(fee_future, "fee_future")
        self.slippage = _number(slippage, "slippage")
        info = vr.g_VornixInputInfo
        self.codes = list(info.TargetListDot)
        self.index = {c: i for i, c in enumerate(self.codes)}
        self.n_targets = n = len(self.codes)
        records = [vr.g_VornixTargetsInfo[c] for c in self.codes]
        self.records = list(records)
        types = [r["Type"] for r in records]
        self.is_future = np.array([t == gv.TARGETTYPE_FUTURE for t in types])
        self.is_index = np.array([t == gv.TARGETTYPE_INDEX for t in types])
        # the accounts the targets use (a run of indices alone keeps a stock account)
        held = accounts_for(types)
        self.accounts = [Account(h, start[h], n) for h in held]
        self._by_handle = {a.handle: a for a in self.accounts}
        self.account_of = [self._by_handle["future" if f else "stock"] for f in self.is_future]
        vr.g_VornixAccounts = self.accounts
        info.AccountNameList = [a.handle for a in self.accounts]
        self.lot = np.where(self.is_future, FUTURE_LOT, STOCK_LOT)
        self.multiplier = np.array([float(env.get_multiple(i)) for i in range(n)])
        move = [env.get_minmove(i) for i in range(n)]
        self.min_move = np.array([float(m) if m else 0.0 for m in move])
        self.per_unit = _per_unit(self.min_move)
        self.fee_rate = np.array([float(env.cost_fee_rate(t)) for t in types])
        self.market = mk = Market(runner, self.codes)
        self.time_line = mk.time_line
        self.day_ends = mk.day_ends
        # price limits of stocks by step (NaN: none), from the day before's close or
        # the ex-date reference price
        self.limit_pct = np.array([
            math.nan if self.is_future[t] or self.is_index[t] else _rules.limit_pct(
                r["Market"], r["Code"], r.get("ST", False), r.get("LimitPct"))
            for t, r in enumerate(records)])
        self.events = self._corporate_events(records)
        self.down = self.up = None
        if self.rules.price_limits:
            self.down, self.up = self._limits(records)
        self.bought_today = np.zeros(n)
        # futures: margin rate, last trading day, and per position the margin held and
        # the price of the last settlement (or the average fill since)
        self.margin_rate = np.array([
            _rules.margin_rate(r.get("MarginRate"), self.rules.margin_rate) if f else 0.0
            for r, f in zip(records, self.is_future)])
        self.expiry = np.array([int(r.get("DelistDate") or 0) if f else 0
                                for r, f in zip(records, self.is_future)], dtype=np.int64)
        self.held_margin = np.zeros(n)
        self.reference = np.zeros(n)
        self.orders = {}
        self.pending = []
        self.trades = []
        self.applied = []  # corporate actions applied to positions: dicts
        self.last_step = -1  # the last step that ran
        self._callbacks = {}
        self._valued_at = None  # (step, fills) -> closes and equity, see _valued
        self.on_roll = None  # the strategy's on_roll(context, target, old, new)
        self.notes = []  # warnings for the run's output: expiries, margin calls, data
        self.margin_calls = []  # (step, equity, margin) of settlements below the margin
        self._marks = {}  # futures account -> [(step, cash, margin)] after each change
        # continuous targets: the instrument each step's orders trade (its main contract
        # of the step's trading day; the target itself on a day without one)
        self.main_of = {}
        self._unloaded = []  # contracts whose bars are read at the first order
        self._loaded = []  # (codes, rows, fallback) of the contracts whose bars are read
        # the account columns worked out so far: steps done, and after them the
        # positions held, each account's total spent, the fills and actions counted,
        # and per account the (cash, positions value) of each part
        self._books = {"done": 0, "held": np.zeros(0), "trades": 0, "applied": 0, "parts": {}}
        for account in self.accounts:
            self._books[account.handle] = 0.0
        self.load_seconds = 0.0  # spent reading them (within the steps)
        self._load_contracts()
        self.value_px = mk.close

    # ------------------------------------------------------------ futures contracts
    def _load_contracts(self):
        """The main contracts of the run's continuous targets over its days, with their
        raw bars, and the instrument each step's orders on such a target trade."""
        from vornix.api.history import _history

        futures = [c for c, f in zip(self.codes, self.is_future) if f]
        if not futures:
            return
        # over the whole run, whatever time chunk the state store holds
        tables = _history.get_main_contract(futures, int(self.runner.data_begin),
                                            int(self.runner.settings.end))
        day = self.market.day
        wanted, fallback, per_target = [], {}, {}
        for code, (days, contracts) in tables.items():
            t = self.index[code]
            market = code.split(".", 1)[0]
            names = ["%s.%s" % (market, str(c).strip().upper()) for c in contracts]
            unique = list(dict.fromkeys(names))
            ids = np.array([unique.index(n) for n in names])
            pos = np.minimum(np.searchsorted(days, day), days.size - 1)
            step_ids = np.where(days[pos] == day, ids[pos], -1)
            per_target[t] = (unique, step_ids)
            for k, name in enumerate(unique):
                if name not in self.index and name not in wanted:
                    wanted.append(name)
                    fallback[name] = (t, np.flatnonzero(step_ids == k))
        if wanted:
            self._add_instruments(wanted, fallback, lazy=True)
        for t, (unique, step_ids) in per_target.items():
            lookup = np.array([self.index[n] for n in unique] + [t])
            self.main_of[t] = lookup[step_ids]  # -1: the target itself

    def _add_instruments(self, codes, fallback=None, lazy=False):
        """Futures that are not targets of the run (contracts), with their raw bars;
        a contract that is no instrument of the store, or has no bars stored, stands in
        for its continuous target (`fallback`) with that target's bars on the days it
        is main."""
        from vornix.api.history import _history
        from vornix.tframe.sysdefine import GlobalDefine as gv

        fallback = fallback or {}
        table = _history.current_store().target_table()
        records = []
        for c in codes:
            if c in table:
                records.append(_history.get_target_info([c])[0])
            else:
                t = fallback[c][0]
                rec = dict(self.records[t], Code=c.split(".", 1)[1], DotCode=c, DelistDate=0)
                records.append(rec)
        k = len(codes)
        for i, c in enumerate(codes):
            self.index[c] = len(self.codes) + i
        self.codes += list(codes)
        self.records += records
        self.is_future = np.r_[self.is_future, np.ones(k, dtype=bool)]
        self.is_index = np.r_[self.is_index, np.zeros(k, dtype=bool)]
        future = self._by_handle["future"]
        self.account_of += [future] * k
        for account in self.accounts:
            account.positions = np.r_[account.positions, np.zeros(k)]
        self.lot = np.r_[self.lot, np.full(k, FUTURE_LOT)]
        self.multiplier = np.r_[self.multiplier, [float(r["Multiple"]) for r in records]]
        self.min_move = np.r_[self.min_move, [float(r["MinMove"] or 0.0) for r in records]]
        self.per_unit = _per_unit(self.min_move)
        rate = float(self.env.cost_fee_rate(gv.TARGETTYPE_FUTURE))
        self.fee_rate = np.r_[self.fee_rate, np.full(k, rate)]
        self.limit_pct = np.r_[self.limit_pct, np.full(k, math.nan)]
        if self.down is not None:
            nan = np.full((k, self.down.shape[1]), np.nan)
            self.down, self.up = np.vstack([self.down, nan]), np.vstack([self.up, nan])
        self.bought_today = np.r_[self.bought_today, np.zeros(k)]
        self.margin_rate = np.r_[self.margin_rate, [
            _rules.margin_rate(r.get("MarginRate"), self.rules.margin_rate) for r in records]]
        self.expiry = np.r_[self.expiry, [int(r.get("DelistDate") or 0) for r in records]].astype(
            np.int64)
        self.held_margin = np.r_[self.held_margin, np.zeros(k)]
        self.reference = np.r_[self.reference, np.zeros(k)]
        self.market.extend(k)
        self.value_px = self.market.close
        self._unloaded.append((list(codes), [self.index[c] for c in codes], fallback))
        if not lazy:
            self._load_bars()

    def _load_bars(self):
        """The bars of the contracts added so far (a run that never orders a future
        never reads them)."""
        from vornix.api.history import _history

        t0 = time.perf_counter()
        todo, self._unloaded = self._unloaded, []
        for codes, rows, fallback in todo:
            self._note_missing(self.market.load(_history, codes, rows, fallback), fallback)
            self._loaded.append((codes, rows, fallback))
        self.load_seconds += time.perf_counter() - t0

    def _note_missing(self, missing, fallback):
        for c in missing:
            if c in fallback:
                self.notes.append("%s has no bars stored: it is priced by %s on the days it is its "
                                  "main contract, and at its last close after them"
                                  % (c, self.codes[fallback[c][0]]))
            else:
                self.notes.append("%s has no bars in the run's range: its orders wait" % c)

    def _resolve(self, t, step):
        """The instrument an order on target `t` at `step` trades: for a continuous
        target, its main contract of the step's trading day (an order still pending
        when the main contract changes moves to the new one: see `_rolls`)."""
        steps = self.main_of.get(t)
        if steps is None:
            return t
        c = int(steps[min(max(step, 0), steps.size - 1)])
        return t if c < 0 else c

    # ------------------------------------------------------------ market data
    def _corporate_events(self, records):
        """step -> [(target, cash, bonus, split, ratio)] at the first step of each
        ex-date in the run: the stored actions, else the adjustment factors' ratio."""
        from vornix.api.history import _history

        store = _history.current_store()
        actions = store.corporate_actions()
        factors = store.adjust_factors()
        mk, events = self.market, {}
        if not mk.day.size:
            return events
        first_steps = mk.first_steps
        step_days = mk.day[first_steps]
        stocks = [t for t in range(len(self.codes)) if not self.is_future[t] and not self.is_index[t]]
        for t in stocks:
            code = self.codes[t]
            rows = actions[actions["target"] == code]
            items = []
            if len(rows):
                for d, c, b, s in zip(rows["ex_date"], rows["cash"], rows["bonus"], rows["split"]):
                    items.append((int(d), float(c), float(b), float(s), math.nan))
            else:
                rows = factors[factors["target"] == code].sort_values("date", kind="stable")
                before = 1.0
                for d, f in zip(rows["date"], rows["factor"]):
                    if f != before:
                        items.append((int(d), 0.0, 0.0, 1.0, float(f) / before))
                    before = float(f)
            for d, c, b, s, ratio in items:
                # the first step of the ex-date, or of the first trading day after it
                i = int(np.searchsorted(step_days, d, side="left"))
                if i == 0 or i >= first_steps.size:
                    continue  # before the run (nothing held yet) or after it
                events.setdefault(int(first_steps[i]), []).append((t, c, b, s, ratio))
        return events

    def _reference(self, t, step, base):
        """The ex-date reference price of `base` (the day before's close) where the
        step's day is an ex-date of the target; else `base`."""
        for tt, c, b, s, ratio in self.events.get(step, ()):
            if tt == t:
                return base / ratio if ratio == ratio else (base - c) / ((1.0 + b) * s)
        return base

    def _limits(self, records):
        """(lower, upper) price limits of each stock and day of the run (NaN: none),
        worked out for the days of the chunk running (`_chunk_limits`)."""
        mk = self.market
        self.down = np.full(mk.prev_close.shape, np.nan)
        self.up = np.full(mk.prev_close.shape, np.nan)
        self._chunk_limits()
        return self.down, self.up

    def _chunk_limits(self):
        """The price limits of the days whose first step is in the chunk running."""
        mk, down, up = self.market, self.down, self.up
        days = np.flatnonzero((mk.first_steps >= mk.base) & (mk.first_steps < mk.end))
        for t, r in enumerate(self.records[:self.n_targets]):
            pct = self.limit_pct[t]
            if pct != pct:
                continue
            tick = self.min_move[t] or 0.01
            listed = int(r.get("ListDate") or 0)
            for k in days:
                s = mk.first_steps[k]
                base = mk.prev_close[t, k]
                if int(mk.day[s]) != listed and base > 0:  # none on its first day
                    down[t, k], up[t, k] = _rules.limit_prices(
                        self._reference(t, int(s), base), pct, tick)

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
            return (t, self.codes[t]) if 0 <= t < self.n_targets else (None, repr(target))
        if isinstance(target, str):
            code = target.strip().upper()
            t = self.index.get(code)
            if t is None:  # 600000.SH, SH600000, sh.600000, ... as the importer takes them
                from vornix.api.history._import import parse_symbol

                code = parse_symbol(target) or code
                t = self.index.get(code)
            if t is None and "future" in self._by_handle:
                t = self._contract(code)
            return (t, self.codes[t]) if t is not None else (None, target)
        return None, repr(target)

    def _contract(self, code):
        """The index of a future of the store that is not yet in the run (a contract
        ordered directly): its bars are loaded over the run's steps; None when the
        store has no such future."""
        from vornix.api.history import _history

        row = _history.current_store().target_table().get(code)
        if row is None or row["type"] != "future":
            return None
        self._add_instruments([code])
        return self.index[code]

    def _account(self, t):
        return self.account_of[t]

    def account(self, handle):
        try:
            return self._by_handle[handle]
        except (KeyError, TypeError):
            raise ValueError("no account %r in this run; its accounts are %s" % (
                handle, ", ".join(a.handle for a in self.accounts))) from None

    def _done(self, order, status, reason, code, step):
        order.status, order.reason, order.code = status, reason, code
        order.done_step = step
        self._callback("on_order_status_func", order)

    def _reject(self, order, reason, code, step=None):
        if step is not None:  # refused at a fill: no longer pending
            self.pending.remove(order)
        self._done(order, "rejected", reason, code, order.placed_step if step is None else step)

    def pending_volume(self, t):
        return sum(o.remaining for o in self.pending if o.target_idx == t)

    def pending_sales(self, t):
        return sum(o.remaining for o in self.pending if o.target_idx == t and o.volume < 0)

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

    def _locked_shares(self, t, step):
        """Shares of `t` bought on the trading day an order placed at `step` fills on:
        not sellable under T+1 (none when the order can only fill on a later day)."""
        if not self.rules.t_plus_1:
            return 0.0
        day = self.market.day
        if step + 1 >= day.size or day[step + 1] != day[step]:
            return 0.0
        return float(self.bought_today[t])

    def _refusal(self, t, code, v, volume, limit, price, step):
        """(reason, kind) of an order refused when placed, or None."""
        if t is None:
            return "unknown target %s" % code, "unknown target"
        if self.is_index[t]:
            return "%s is an index, which is not traded" % code, "index"
        if limit is not None and price != price:
            return ("limit price %r is not a positive number on the tick grid of %s (tick %g)"
                    % (limit, code, self.min_move[t]), "limit price")
        if not math.isfinite(v) or v == 0:
            if not _is_number(volume):
                return ("volume %r is not a number: give the signed number of shares or "
                        "contracts (or a weight to order_target_percent)" % (volume,), "volume")
            return "volume %r is not a non-zero number" % (volume,), "volume"
        if self.is_future[t]:
            if v % self.lot[t] != 0:
                return ("volume %g is not a whole number of lots of %d" % (v, self.lot[t]),
                        "lot")
            return None
        lot = self.lot[t]
        if v > 0:
            if v % lot != 0:
                return "volume %g is not a whole number of lots of %d" % (v, lot), "lot"
            return None
        held = self._account(t).positions[t] + self.pending_sales(t)
        if held + v < 0:
            # shares held, less the sales pending: a pending buy may never fill
            return "selling %g shares of %s, %g held and not yet sold" % (-v, code, held), "shares"
        if v % lot != 0 and -v != held:
            return ("volume %g is not a whole number of lots of %d (only a sale of the whole "
                    "position, %g, may be an odd lot)" % (v, lot, held), "lot")
        locked = self._locked_shares(t, step)
        if held - locked + v < 0:
            return ("selling %g shares of %s: %g held and not yet sold, of which %g were bought "
                    "today and can be sold from the next trading day (T+1)"
                    % (-v, code, held, locked), "T+1")
        return None

    def order(self, target, volume, step, limit=None):
        if self._unloaded:
            self._load_bars()
        t, code = self._target(target)
        via = None
        if t is not None and t in self.main_of:  # a continuous target: its main contract
            via, t = t, self._resolve(t, step)
            code = self.codes[t]
        order_id = len(self.orders) + 1
        # text, None, ...: refused below, naming the value
        v = float(volume) if _is_number(volume) else math.nan
        price = math.nan if limit is None else self._limit_price(t, v, limit)
        order = Order(order_id, code, t, v, step, None if t is None else self._account(t).handle,
                      price, via)
        self.orders[order_id] = order
        refused = self._refusal(t, code, v, volume, limit, price, step)
        if refused is not None:
            self._reject(order, *refused)
        else:
            self.pending.append(order)
            self._callback("on_order_status_func", order)
        return order_id

    def position(self, target):
        t, code = self._target(target)
        if t is None:
            raise ValueError("unknown target %s" % code)
        step = self.runner.context.step
        t = self._resolve(t, 0 if step is None else step)
        return float(self._account(t).positions[t])

    def order_target_volume(self, target, volume, step, limit=None):
        """Orders the difference to `volume`, counting the pending orders of the target."""
        t, code = self._target(target)
        if t is None:
            return self.order(target, volume, step, limit)
        if not _is_number(volume):
            return self.order(t, volume, step, limit)  # text, None, ...: rejected, naming it
        volume = float(volume)
        c = self._resolve(t, step)
        delta = volume - self._account(c).positions[c] - self.pending_volume(c)
        return None if delta == 0 else self.order(t, delta, step, limit)

    def order_target_percent(self, target, weight, step, limit=None):
        """Holds `weight` of the account's equity at the step's close, in whole lots
        (rounded toward zero)."""
        if self._unloaded:
            self._load_bars()
        t, code = self._target(target)
        if t is None:
            return self.order(target, 0, step, limit)
        account = self._account(t)
        closes, equity = self._valued(step)
        equity = equity[account.handle]
        c = self._resolve(t, step)
        price = closes[c] * self.multiplier[c]
        if not _is_number(weight):  # text such as "0.1", None, ...: rejected, naming it
            return self.order(t, weight, step, limit)
        weight = float(weight)
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
            closes = self.value_px[:, step - self.market.base]
            equity = {}
            for account in self.accounts:
                held = account.positions != 0
                if account.handle == "future":  # margin held + P&L since the settlement
                    equity[account.handle] = account.cash + account.margin + float(np.sum(
                        account.positions[held] * (closes[held] - self.reference[held])
                        * self.multiplier[held]))
                    continue
                equity[account.handle] = account.cash + float(
                    np.sum(account.positions[held] * closes[held] * self.multiplier[held]))
            self._valued_at = (key, closes.tolist(), equity)
        return self._valued_at[1], self._valued_at[2]

    def cancel(self, order_id):
        order = self.orders.get(order_id)
        if order is None or order not in self.pending:
            return False
        self.pending.remove(order)
        self._done(order, "cancelled", "cancelled by the strategy", "strategy",
                   self.runner.context.step)
        return True

    # ------------------------------------------------------------ the steps
    def _new_day(self, step):
        """The first step of a trading day: nothing bought today yet, and the
        corporate actions of the day applied to the positions."""
        self.bought_today[:] = 0.0
        for t, c, b, s, ratio in self.events.get(step, ()):
            account = self._account(t)
            held = account.positions[t]
            if held <= 0:
                continue
            base = self.market.prev_close[t, self.market.day_index[step]]
            ref = self._reference(t, step, base)
            if ratio == ratio:
                shares, dividend = held * ratio, 0.0
            else:
                shares, dividend = held * (1.0 + b) * s, held * c * (1.0 - self.rules.dividend_tax)
            whole = math.floor(shares + 1e-6)
            rest = (shares - whole) * ref if ref == ref and shares > whole else 0.0
            account.positions[t] = whole
            account.cash += dividend + rest
            self.applied.append({"step": step, "target": self.codes[t], "shares_before": held,
                                 "shares_after": float(whole), "cash": dividend + rest,
                                 "dividend": dividend, "bonus": b, "split": s,
                                 "ratio": None if ratio != ratio else ratio})
        self._valued_at = None

    def fill(self, step):
        """Fills the pending orders placed before `step` whose bar at `step` traded
        (after the day's corporate actions at its first step)."""
        if self.market.day_starts[step]:
            self._new_day(step)
            if self.main_of and step > 0:
                self._rolls(step)
        if not self.pending:
            return
        mk = self.market
        # the step's bar of every target as Python floats: orders may wait many steps
        j = step - mk.base
        volumes = mk.volume[:, j].tolist()
        opens = mk.open[:, j].tolist()
        highs = mk.high[:, j].tolist()
        lows = mk.low[:, j].tolist()
        down = up = None
        if self.down is not None:
            k = mk.day_index[step]
            down, up = self.down[:, k].tolist(), self.up[:, k].tolist()
        taken = {}  # volume taken from each target's bar by earlier orders of the step
        rules = self.rules
        # callbacks may place and cancel orders while the step's fills go on: the
        # orders pending when the fills began, each while it is still pending
        for order in list(self.pending):
            if order.done_step is not None:
                continue
            t = order.target_idx
            price = opens[t]
            if order.placed_step >= step or not (volumes[t] > 0) or not math.isfinite(price) or (
                    order.after is not None and order.after.done_step is None):
                continue
            side = 1.0 if order.volume > 0 else -1.0
            tick = self.min_move[t]
            price = price + side * self.slippage * tick
            if self.per_unit[t]:
                price = round(price * self.per_unit[t]) / self.per_unit[t]
            elif tick > 0:
                price = round(round(price / tick) * tick, 10)
            stock = not self.is_future[t]
            if down is not None and stock and up[t] == up[t]:
                if _rules.locked(side, highs[t], lows[t], down[t], up[t]):
                    order.waited = "the bars traded only at the %s limit" % (
                        "upper" if side > 0 else "lower")
                    continue
                price = min(max(price, down[t]), up[t])  # slippage stays within the limits
            limit = order.limit
            if limit == limit and (price - limit) * side > 0:
                # the open is beyond the limit: filled at the limit if the bar reached it
                if not ((lows[t] <= limit) if side > 0 else (highs[t] >= limit)):
                    continue
                price = limit
            remaining = abs(order.remaining)
            volume = remaining
            if stock and rules.volume_limit is not None:
                used = taken.get(t, 0.0)
                volume = _rules.capped_volume(remaining + used, volumes[t], self.lot[t],
                                              rules.volume_limit) - used
                volume = min(max(volume, 0.0), remaining)
                if volume <= 0:
                    order.waited = "the volume cap (%g of a bar's volume)" % rules.volume_limit
                    continue
            account = self._account(t)
            if stock and side < 0 and rules.t_plus_1:
                sellable = account.positions[t] - self.bought_today[t]
                if sellable < volume:
                    self._reject(order, "selling %g shares of %s, %g sellable (T+1)"
                                 % (volume, order.target, max(sellable, 0)), "T+1", step)
                    continue
            value = volume * price * self.multiplier[t]
            if stock:
                fee = _rules.stock_fee(value, side < 0, int(mk.day[step]), self.fee_rate[t], rules)
                if side > 0 and value + fee > account.cash + 1e-9:
                    self._reject(order, "insufficient cash: %.2f needed, %.2f in the %s account"
                                 % (value + fee, account.cash, account.handle), "cash", step)
                    continue
                account.cash -= side * value + fee
                account.positions[t] += side * volume
            else:
                fee = value * self.fee_rate[t]
                refused = self._book_future(t, side, volume, price, fee, step)
                if refused is not None:
                    self._reject(order, refused[0], refused[1], step)
                    continue
            if side > 0:
                self.bought_today[t] += volume
            taken[t] = taken.get(t, 0.0) + volume
            before = abs(order.filled)
            order.price = price if before == 0 else (
                (order.price * before + price * volume) / (before + volume))
            order.filled += side * volume
            order.fee += fee
            order.filled_step = step
            execution = Execution(order, "buy" if side > 0 else "sell", volume, price, fee,
                                  self.time_line[step], step)
            self.trades.append(execution)
            if order.filled == order.volume:
                order.status, order.done_step = "filled", step
                self.pending.remove(order)
            else:
                order.status = "partially filled"
            self._callback("on_order_status_func", order)
            self._callback("on_order_execution_func", execution)

    # ------------------------------------------------------------ futures
    def _unrealised(self, account, step):
        """Profit or loss of the account's futures since their last settlement (or
        fill), at the last close known before `step`."""
        held = np.flatnonzero(account.positions)
        if not held.size or step <= 0:
            return 0.0
        j = step - 1 - self.market.base
        px = self.value_px[held, j] if j >= 0 else self.market.last_close[held]
        ref = self.reference[held]
        px = np.where(np.isfinite(px), px, ref)
        return float(np.sum(account.positions[held] * (px - ref) * self.multiplier[held]))

    def _mark(self, account, step):
        self._marks.setdefault(account.handle, []).append((step, account.cash, account.margin))

    def _book_future(self, t, side, volume, price, fee, step, check=True):
        """A futures fill: the part that reduces the position releases its margin and
        books its profit against the last settlement; the part that opens puts up
        margin.  Returns (reason, kind) when the opening part is refused (nothing is
        booked then), else None."""
        account = self.account_of[t]
        held = account.positions[t]
        mult = self.multiplier[t]
        closing = min(volume, abs(held)) if held * side < 0 else 0.0
        opening = volume - closing
        released = self.held_margin[t] * closing / abs(held) if closing else 0.0
        booked = _rules.settle(-side * closing, self.reference[t], price, mult) if closing else 0.0
        need = _rules.margin(price, mult, opening, self.margin_rate[t]) if opening else 0.0
        if check and opening:
            floating = self._unrealised(account, step)
            available = account.cash + floating + released + booked - fee
            if need > available + 1e-9:
                equity = account.cash + account.margin + floating
                if equity < account.margin:
                    return ("equity %.2f of the %s account is below the margin held %.2f (a margin "
                            "call): opening orders are rejected" % (equity, account.handle,
                                                                     account.margin), "margin call")
                return ("insufficient margin: %.2f margin and %.2f fee needed, %.2f available in "
                        "the %s account" % (need, fee, account.cash + floating + released + booked,
                                            account.handle), "margin")
        account.cash += released + booked - fee - need
        account.margin += need - released
        self.held_margin[t] += need - released
        rest = held + side * volume
        if opening:
            same = held * side > 0
            self.reference[t] = ((abs(held) * self.reference[t] + opening * price)
                                 / (abs(held) + opening)) if same else price
        elif rest == 0:
            account.margin -= self.held_margin[t]
            self.held_margin[t] = 0.0
        account.positions[t] = rest
        self._mark(account, step)
        return None

    def _simulator_order(self, t, volume, placed, kind):
        """An order the simulator places itself (a roll, an expiry, a forced
        liquidation), pending."""
        order_id = len(self.orders) + 1
        order = Order(order_id, self.codes[t], t, float(volume), placed,
                      self.account_of[t].handle, kind=kind)
        self.orders[order_id] = order
        self.pending.append(order)
        self._callback("on_order_status_func", order)
        return order

    def _rolls(self, step):
        """The first step of a trading day: the continuous targets whose main contract
        changes move their pending orders to the new one, roll their positions
        (`roll` "auto": placed so that they fill at the first traded bars of this
        day, the old contract's closed first) and tell the strategy."""
        told = []
        for t, steps in self.main_of.items():
            old, new = int(steps[step - 1]), int(steps[step])
            if old == new:
                continue
            old, new = (t if old < 0 else old), (t if new < 0 else new)
            for order in self.pending:
                if order.via == t and order.target_idx == old and not order.filled:
                    order.target_idx, order.target = new, self.codes[new]
            held = self.account_of[old].positions[old]
            if self.rules.roll == "auto" and held and t not in (old, new):
                # first of the pending orders: the old contract's close, then the new one's
                closing = self._simulator_order(old, -held, step - 1, "roll")
                opening = self._simulator_order(new, held, step - 1, "roll")
                opening.after = closing  # the new contract's once the old one's is closed
                for order in (opening, closing):
                    self.pending.remove(order)
                    self.pending.insert(0, order)
            told.append((t, old, new))
        if self.on_roll is not None:
            for t, old, new in told:
                self.on_roll(self.runner.context, self.codes[t], self.codes[old], self.codes[new])

    def _settle(self, step, account):
        """End of a trading day: contracts at their last trading day are closed at the
        close, then every position is settled at the day's close."""
        day = int(self.market.day[step])
        held = np.flatnonzero(account.positions)
        expired = [c for c in held if 0 < self.expiry[c] <= day]
        for c in expired:
            price = self.value_px[c, step - self.market.base]
            if not math.isfinite(price):
                price = self.reference[c]
            volume = account.positions[c]
            order = self._simulator_order(c, -volume, step, "expiry")
            self.pending.remove(order)
            fee = abs(volume) * price * self.multiplier[c] * self.fee_rate[c]
            self._book_future(c, -1.0 if volume > 0 else 1.0, abs(volume), price, fee, step,
                              check=False)
            self._executed(order, -1.0 if volume > 0 else 1.0, abs(volume), price, fee, step)
            self.notes.append("%s: %g contract(s) still held at its last trading day %d, closed at "
                              "that day's close %g" % (self.codes[c], volume, day, price))
        for order in [o for o in self.pending if 0 < self.expiry[o.target_idx] <= day
                      and self.is_future[o.target_idx]]:
            self.pending.remove(order)
            self._done(order, "cancelled", "%s expired on %d" % (order.target, day), "expired",
                       step)
        held = np.flatnonzero(account.positions)
        if held.size:
            px = self.value_px[held, step - self.market.base]
            px = np.where(np.isfinite(px), px, self.reference[held])
            pnl = _rules.settle(account.positions[held], self.reference[held], px,
                                self.multiplier[held])
            margin = _rules.margin(px, self.multiplier[held], account.positions[held],
                                   self.margin_rate[held])
            account.cash += float(pnl.sum()) - float(margin.sum() - self.held_margin[held].sum())
            self.held_margin[held] = margin
            account.margin = float(margin.sum())
            self.reference[held] = px
            self._mark(account, step)
        if account.cash < -1e-6:  # equity (cash + margin) below the margin held
            self.margin_calls.append((step, account.cash + account.margin, account.margin))
            if self.rules.force_liquidation:
                for c in held:
                    if account.positions[c] and not any(
                            o.kind == "liquidation" and o.target_idx == c for o in self.pending):
                        self._simulator_order(c, -account.positions[c], step, "liquidation")

    def _executed(self, order, side, volume, price, fee, step):
        """Records a fill of `order` (all of it here) and tells the strategy."""
        order.price, order.filled, order.fee = price, side * volume, fee
        order.filled_step = order.done_step = step
        order.status = "filled"
        execution = Execution(order, "buy" if side > 0 else "sell", volume, price, fee,
                              self.time_line[step], step)
        self.trades.append(execution)
        self._callback("on_order_status_func", order)
        self._callback("on_order_execution_func", execution)

    def warnings(self):
        """What the run's output should say about the futures account: contracts
        closed at their expiry, margin calls, contracts priced by their series."""
        out = list(self.notes)
        if self.margin_calls:
            step, equity, margin = self.margin_calls[0]
            from vornix.runner._context import datenum_to_datetime64

            out.append("margin call: equity below the margin held at the settlement of %d trading "
                       "day(s), first %s (equity %.2f, margin %.2f); opening orders were rejected "
                       "until it was covered%s" % (
                           len(self.margin_calls),
                           str(datenum_to_datetime64([self.time_line[step]])[0])[:10], equity,
                           margin, ", positions closed at the next open"
                           if self.rules.force_liquidation else ""))
        return out

    def close(self, step):
        """End of the step: stock orders still pending at the end of the day are
        cancelled; at the end of a trading day futures are settled.  (Cash and
        positions are valued for every step at the end of the run, from the fills
        and settlements: a step without orders costs nothing here.)"""
        self.last_step = step
        if self.day_ends[step]:
            future = self._by_handle.get("future")
            if future is not None and (future.margin or future.positions.any()):
                self._settle(step, future)
        if self.pending and self.day_ends[step]:
            for order in list(self.pending):
                # an order placed at the day's last step has the next day to fill
                if order.done_step is not None or self.is_future[order.target_idx] or (
                        order.placed_step >= step):
                    continue
                reason = "not filled by the end of the day"
                if order.filled:
                    reason = "%g of %g filled by the end of the day" % (
                        abs(order.filled), abs(order.volume))
                if order.waited:
                    reason += ": held back by " + order.waited
                self.pending.remove(order)
                self._done(order, "cancelled", reason, "end of day", step)

    # ------------------------------------------------------------ results
    def _flush_columns(self):
        """Cash and positions value of each account at the steps of the chunk running
        that ran and are not yet worked out, from its fills and corporate actions and
        what was held and spent before them (`_books`): a run in chunks gets the
        columns of the run in one piece."""
        mk = self.market
        first, end = self._books["done"], min(mk.end, self.last_step + 1)
        if end <= first:
            return
        steps, n = end - first, len(self.codes)
        moves = np.zeros((steps, n))
        spent = np.zeros((steps, n))
        for e in self.trades[self._books["trades"]:]:
            signed = e.volume if e.side == "buy" else -e.volume
            t = self.index[e.target]
            moves[e.step - first, t] += signed
            spent[e.step - first, t] += signed * e.price * self.multiplier[t] + e.fee
        for a in self.applied[self._books["applied"]:]:
            t = self.index[a["target"]]
            moves[a["step"] - first, t] += a["shares_after"] - a["shares_before"]
            spent[a["step"] - first, t] -= a["cash"]
        carry = np.r_[self._books["held"], np.zeros(n - self._books["held"].size)]
        held = np.cumsum(np.vstack([carry, moves]), axis=0)[1:]
        closes = self.value_px[:, first - mk.base:end - mk.base].T * self.multiplier
        value = np.where(held != 0, held * np.where(held != 0, closes, 0.0), 0.0)
        for account in self.accounts:
            # column by column in target order: the same sums whatever the chunks
            paid, val = np.zeros(steps), np.zeros(steps)
            for t in range(n):
                if self.account_of[t] is account:
                    paid += spent[:, t]
                    val += value[:, t]
            total = np.cumsum(np.r_[self._books[account.handle], paid])[1:]
            self._books[account.handle] = total[-1]
            self._books["parts"].setdefault(account.handle, []).append(
                (account.start_cash - total, val))
        self._books.update(done=end, held=held[-1], trades=len(self.trades),
                           applied=len(self.applied))

    def account_columns(self):
        """Per account held: cash, positions value (at each step's close) and equity
        per step, rebuilt from the fills and corporate actions; NaN after the last
        step that ran."""
        self._flush_columns()
        steps = self.time_line.size
        after = np.arange(steps) > self.last_step
        out = {}
        for account in self.accounts:
            cash, val = np.full(steps, np.nan), np.full(steps, np.nan)
            parts = self._books["parts"].get(account.handle, [])
            if parts:
                done = sum(p[0].size for p in parts)
                cash[:done] = np.concatenate([p[0] for p in parts])
                val[:done] = np.concatenate([p[1] for p in parts])
            cash[after] = val[after] = np.nan
            out[account.handle] = {"cash": cash, "positions_value": val, "equity": cash + val}
            if account.handle == "future":
                out[account.handle] = self._futures_columns(account, cash + val, after)
        return out

    # ------------------------------------------------------------ time chunks
    def end_chunk(self):
        """The chunk running ended: its account columns are worked out while its bars
        are at hand."""
        self._flush_columns()

    def begin_chunk(self, first, end):
        """The bars of the next chunk (steps first..end-1), prepared in the state store:
        the targets' from the main series, the contracts' loaded so far read again,
        and the price limits of its days."""
        from vornix.api.history import _history

        self.market.load_chunk(first, end)
        self.value_px = self.market.close
        for codes, rows, fallback in self._loaded:
            self.market.load(_history, codes, rows, fallback)
        if self.down is not None:
            self._chunk_limits()
        self._valued_at = None

    def closes_at(self, step):
        """The last close known of every instrument at `step` of the chunk running."""
        return self.value_px[:, step - self.market.base]

    def _futures_columns(self, account, equity, after):
        """The futures account per step: its equity (as for any account: what was
        paid and received, plus the positions at their contracts' closes, which daily
        settlement leaves unchanged), its cash after the step's fills and settlement,
        the margin held, and positions value = margin + profit or loss since the last
        settlement (= equity - cash)."""
        steps = equity.size
        cash = np.full(steps, account.start_cash)
        margin = np.zeros(steps)
        marks = self._marks.get(account.handle, [])
        if marks:
            at = np.array([m[0] for m in marks])
            last = np.searchsorted(at, np.arange(steps), side="right") - 1
            known = last >= 0
            cash[known] = np.array([m[1] for m in marks])[last[known]]
            margin[known] = np.array([m[2] for m in marks])[last[known]]
        cash[after] = margin[after] = np.nan
        return {"cash": cash, "positions_value": equity - cash, "equity": equity,
                "margin": margin}

    def columns(self):
        """Cash, positions value and equity of the accounts held, in total, per step."""
        per = list(self.account_columns().values())
        out = {k: np.sum([p[k] for p in per], axis=0) for k in ("cash", "positions_value",
                                                                "equity")}
        if "future" in self._by_handle:
            out["margin"] = np.sum([p["margin"] for p in per if "margin" in p], axis=0)
        return out

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
            # "order", or the simulator's own: "roll", "expiry", "liquidation"
            "kind": [e.kind for e in rows],
        })

    def orders_frame(self):
        """Every order: placed step and time, target, volume, limit, status, reason,
        filled volume, average price and fees."""
        import pandas as pd

        from vornix.runner._context import datenum_to_datetime64

        rows = list(self.orders.values())
        steps = [o.placed_step for o in rows]
        done = [-1 if o.done_step is None else o.done_step for o in rows]
        return pd.DataFrame({
            "order_id": np.array([o.order_id for o in rows], dtype=np.int64),
            "placed_step": np.array(steps, dtype=np.int64),
            "placed_time": datenum_to_datetime64([self.time_line[s] for s in steps]),
            "target": [o.target for o in rows],
            "volume": np.array([o.volume for o in rows], dtype=np.float64),
            "limit": np.array([o.limit for o in rows], dtype=np.float64),
            "status": [o.status for o in rows],
            "reason": [o.reason for o in rows],
            "filled_volume": np.array([o.filled for o in rows], dtype=np.float64),
            "price": np.array([o.price for o in rows], dtype=np.float64),
            "fee": np.array([o.fee for o in rows], dtype=np.float64),
            "done_step": np.array(done, dtype=np.int64),
            "kind": [o.kind for o in rows],
        })

    def order_counts(self):
        """Orders placed, filled, rejected and cancelled (the last two by kind of
        reason); orders still pending at the end count as pending."""
        out = {"placed": len(self.orders), "filled": 0, "partially_filled": 0,
               "rejected": {}, "cancelled": {}, "pending": len(self.pending)}
        for o in self.orders.values():
            if o.status == "filled":
                out["filled"] += 1
            elif o.status in ("rejected", "cancelled"):
                out[o.status][o.code] = out[o.status].get(o.code, 0) + 1
                if o.filled:
                    out["partially_filled"] += 1
        return out


def _is_number(value):
    """A real number (not a bool, not text that reads as one)."""
    return isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(
        value, (bool, np.bool_))
