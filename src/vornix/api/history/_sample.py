"""A deterministic synthetic market for trying the framework and for tests.

Stocks trade on a Shanghai-style session (09:30-11:30, 13:00-15:00, 240
one-minute bars a day).  The first stocks carry the special cases:

    0  ticks for the bars of the first days
    1  a suspension (days without bars) and a day whose bars all have volume 0
    2  a 2-for-1 split (adjustment factor 2 from the ex-day; an action with split 2)
    3  a cash dividend (adjustment factor prev_close / (prev_close - dividend); an
       action with that cash per share)
    4  listed in the middle of the range
    5  delisted before the end of the range

Two futures products trade in contracts (CFE.IF2303, CFE.IF2305, ...; SHF.RB2303,
...), each over its own listing period: listed two main periods before it becomes
the main contract (or on the first day), trading until its last trading day (IF:
the third Friday of its delivery month, RB: the 15th, or the next trading day;
at least a few days after its main period).  All contracts of a product follow
one price path, each at its own premium, so they move together and differ in
level.  Open interest hands over at each roll: the next contract's open interest
grows towards the main one's and passes it at the close of the main period's
last day; an old contract's decays after it.  The continuous targets CFE.IF00 and
SHF.RB00 are the stitch of the contracts by the main-contract table: each trading
day the bars of that day's main contract, so the raw prices jump at each roll,
between the old contract's last close and the new one's first open.  SHF also
trades a night session (21:00-23:00) on the evening before each trading day whose
previous trading day is the weekday before it: none before the first day and
after a holiday break, so its days have 225 or 345 minutes.  Day bars are
combined from the minute bars of the trading day, night minutes first.
"""

import datetime

import numpy as np

from vornix.api.history._bars import combine_by_group
from vornix.api.history._calendar import FUTURES_SESSIONS, STOCK_SESSIONS, Calendar, time_values
from vornix.tframe.utils.datetimefunc import datenum_array_to_int_date, int_date_to_datenum_array

STOCK_CALENDAR = "SSE"
NIGHT_SESSION = (1260, 1380, -1)  # 21:00-23:00 on the evening before the trading day
FUTURES = (
    # market, code, name, calendar, sessions, multiplier, min move, start price, product
    ("CFE", "IF00", "Index future continuous", "CFFEX", STOCK_SESSIONS, 300.0, 0.2, 4000.0, "IF"),
    ("SHF", "RB00", "Rebar continuous", "SHFE", (NIGHT_SESSION,) + FUTURES_SESSIONS, 10.0, 1.0, 3800.0, "RB"),
)
# margin as a fraction of the notional, per product (exchange rate plus a broker's add-on)
MARGIN_RATES = {"IF": 0.12, "RB": 0.10}
INSTRUMENT_COLUMNS = ("market", "code", "type", "multiplier", "min_move", "list_date", "delist_date",
                      "calendar", "name", "margin_rate")
FACTORS = ("pe", "pb", "turnover_rate")
# (month, first day, last day) closed every year
_HOLIDAYS = ((1, 1, 2), (2, 10, 16), (5, 1, 3), (10, 1, 6))


def sample_trading_days(start, count):
    """`count` weekdays from yyyymmdd `start` on, skipping a few fixed holidays."""
    first = int(int_date_to_datenum_array([start])[0])
    nums = np.arange(first, first + count * 2 + 60, dtype=np.int64)
    weekday = (nums - 367) % 7  # 0 = Monday
    dates = datenum_array_to_int_date(nums)
    month, day = dates // 100 % 100, dates % 100
    open_ = weekday < 5
    for m, d0, d1 in _HOLIDAYS:
        open_ &= ~((month == m) & (day >= d0) & (day <= d1))
    return dates[open_][:count]


def _minutes_of(sessions):
    return np.concatenate([np.arange(o + 1, c + 1) for o, c, _ in sessions])


def _round(x, step):
    return np.round(np.round(x / step) * step, 10)


def _price_bars(rng, starts, n, start_price, step, vol_scale, zero_share, trading=()):
    """Raw minute bars of one instrument on a continuous path (before any adjustment):
    `n` bars, the days beginning at the positions `starts`.  The bars at positions
    `trading` (and the first bar) always have volume."""
    ret = rng.normal(0.0, 0.0008, n)
    ret[starts] += rng.normal(0.0, 0.008, starts.size)  # overnight gaps
    path = start_price * np.exp(np.cumsum(ret))
    noise = rng.normal(0.0, 0.0002, n)
    volume = rng.integers(1, 500, n).astype(np.float64) * vol_scale
    zero = rng.random(n) < zero_share
    zero[0] = False
    zero[np.asarray(trading, dtype=np.int64)] = False
    volume[zero] = 0.0
    return path, noise, volume


def _finish_bars(close, noise, volume, rng, step, level=None):
    """Open/high/low from the closes; bars without volume sit at the last close.

    A bar opens near the last close before it, moved by `level` (per bar, 1 where
    not given): where another contract takes over, its ratio to the old one's
    price, so that the jump lies between the old close and the new open."""
    n = close.size
    traded = volume > 0
    idx = np.maximum.accumulate(np.where(traded, np.arange(n), 0))
    close = close[idx]
    prev = np.r_[close[0], close[:-1]]
    if level is not None:
        prev = prev * level
    open_ = _round(prev * np.exp(noise), step)
    hi_ex = _round(np.abs(rng.normal(0.0, 0.0006, n)) * close, step)
    lo_ex = _round(np.abs(rng.normal(0.0, 0.0006, n)) * close, step)
    high = np.maximum(open_, close) + hi_ex
    low = np.minimum(open_, close) - lo_ex
    for a in (open_, high, low):
        a[~traded] = close[~traded]
    return open_, high, low, close


class SampleMarket:
    """Builds the tables and bars of the synthetic market (in memory)."""

    def __init__(self, seed=0, days=260, stocks=10, start=20230103):
        if days < 5:
            raise ValueError("the sample market needs at least 5 trading days, got %d" % days)
        if stocks < 1:
            raise ValueError("the sample market needs at least 1 stock, got %d" % stocks)
        self.rng = np.random.default_rng(seed)
        # the contracts draw from a stream of their own: the continuous series and the
        # stocks stay what they were before the sample had contracts
        self.contract_rng = np.random.default_rng([seed, 25])
        self.days = sample_trading_days(start, days)
        self.day_numbers = int_date_to_datenum_array(self.days)
        self.n_days = self.days.size
        self.stocks = stocks
        self.instruments = []
        self.bars_1m = {}
        self.bars_1d = {}
        self.ticks = {}
        self.adjust = []  # (target, date, factor)
        self.actions = []  # (target, ex_date, cash, bonus, split): the events behind the factors
        self.main = []  # (target, date, contract)
        self.contracts = {}  # continuous target -> its contracts (dotted), by expiry
        self.factors = {name: [] for name in FACTORS}
        self.sessions = [(STOCK_CALENDAR, o, c, d) for o, c, d in STOCK_SESSIONS]
        for _, _, _, cal, sessions, *_ in FUTURES:
            self.sessions += [(cal, o, c, d) for o, c, d in sessions]
        self._build_stocks()
        self._build_futures()

    # -------------------------------------------------------------- helpers
    def _times(self, sessions, day_index):
        minutes = _minutes_of(sessions)
        return time_values(self.day_numbers[day_index][:, None], minutes[None, :] * 60).ravel()

    def _store_bars(self, code, times, o, h, lo, c, v, t, oi, starts, day_nums, close_seconds):
        """Minute bars and the day bars combined from them: the days begin at the
        positions `starts`, are the trading days `day_nums` and close at
        `close_seconds` of the day."""
        bars = {"time": times, "open": o, "high": h, "low": lo, "close": c, "volume": v,
                "turnover": t, "open_interest": oi}
        self.bars_1m[code] = bars
        day = combine_by_group(starts, bars)
        day["time"] = time_values(day_nums, close_seconds)
        self.bars_1d[code] = day
        return day

    # --------------------------------------------------------------- stocks
    def _build_stocks(self):
        rng = self.rng
        per_day = 240
        n = self.n_days
        split_day, div_day = int(n * 0.4), int(n * 0.6)
        list_day, delist_day = n // 2, n - max(n // 10, 1)
        suspend = np.arange(n // 3, min(n // 3 + 5, n - 1))
        zero_day = min(n // 3 + 8, n - 1)
        for i in range(self.stocks):
            market = "SH" if i % 2 == 0 else "SZ"
            code = ("6%05d" if market == "SH" else "%06d") % (i * 10 + (0 if market == "SH" else 1))
            dotted = "%s.%s" % (market, code)
            path, noise, volume = _price_bars(rng, np.arange(n) * per_day, n * per_day, rng.uniform(5, 60),
                                              0.01, 100.0, 0.03)
            factor = np.ones(n)
            if i == 2:
                factor[split_day:] = 2.0
                self.adjust.append((dotted, int(self.days[split_day]), 2.0))
                self.actions.append((dotted, int(self.days[split_day]), 0.0, 0.0, 2.0))
            raw_close = _round(path / np.repeat(factor, per_day), 0.01)
            if i == 3:
                prev_close = raw_close[div_day * per_day - 1]
                dividend = round(prev_close * 0.03, 2)
                ratio = prev_close / (prev_close - dividend)
                factor[div_day:] = ratio
                self.adjust.append((dotted, int(self.days[div_day]), float(ratio)))
                self.actions.append((dotted, int(self.days[div_day]), float(dividend), 0.0, 1.0))
                raw_close = _round(path / np.repeat(factor, per_day), 0.01)
            if i == 1:
                volume.reshape(n, per_day)[zero_day] = 0.0
            o, h, lo, c = _finish_bars(raw_close, noise, volume, rng, 0.01)
            turnover = np.round(volume * (o + c) / 2.0, 2)
            keep = np.ones(n, dtype=bool)
            list_date, delist_date = int(self.days[0]), 0
            if i == 1:
                keep[suspend] = False
            if i == 4:
                keep[:list_day] = False
                list_date = int(self.days[list_day])
            if i == 5:
                keep[delist_day + 1 :] = False
                delist_date = int(self.days[delist_day])
            day_index = np.flatnonzero(keep)
            rows = (day_index[:, None] * per_day + np.arange(per_day)[None, :]).ravel()
            times = self._times(STOCK_SESSIONS, day_index)
            zeros = np.zeros(rows.size)
            day = self._store_bars(
                dotted, times, o[rows], h[rows], lo[rows], c[rows], volume[rows], turnover[rows], zeros,
                np.arange(day_index.size) * per_day, self.day_numbers[day_index], STOCK_SESSIONS[-1][1] * 60
            )
            self.instruments.append(
                (market, code, "stock", 1.0, 0.01, list_date, delist_date, STOCK_CALENDAR, "Sample stock %d" % i,
                 np.nan)
            )
            self._stock_factors(dotted, day, day_index, rng)
            if i == 0:
                self._ticks(dotted, min(3, day_index.size) * per_day)

    def _stock_factors(self, dotted, day, day_index, rng):
        eps, bps, shares = rng.uniform(0.5, 3.0), rng.uniform(3.0, 20.0), rng.uniform(1e8, 1e9)
        values = {
            "pe": np.round(day["close"] / eps, 4),
            "pb": np.round(day["close"] / bps, 4),
            "turnover_rate": np.round(day["volume"] / shares, 8),
        }
        # A value computed from day d's close and volume is known after day d:
        # it is stamped with the next trading day, from whose first bar a run
        # may use it (the last day's values have no next day and are dropped).
        after = day_index + 1
        keep = after < self.n_days
        dates = self.days[after[keep]]
        for name in FACTORS:
            self.factors[name].append((dates, dotted, values[name][keep]))

    def _ticks(self, dotted, n_bars):
        bars = self.bars_1m[dotted]
        sel = np.flatnonzero(bars["volume"][:n_bars] > 0)
        t = bars["time"][sel]
        offsets = np.array([-45.0, -30.0, -15.0, 0.0]) / 86400.0
        self.ticks[dotted] = {
            "time": (t[:, None] + offsets[None, :]).ravel(),
            "price": np.stack([bars[f][sel] for f in ("open", "high", "low", "close")], axis=1).ravel(),
            "volume": np.repeat(bars["volume"][sel] / 4.0, 4),
        }

    # -------------------------------------------------------------- futures
    def _build_futures(self):
        rng = self.rng
        n = self.n_days
        roll_every = max(3, n // 6)
        for market, code, name, cal, sessions, mult, step, price, product in FUTURES:
            dotted = "%s.%s" % (market, code)
            # the calendar's minutes: night minutes only before the days that have them
            calendar = Calendar(self.days, {cal: sessions})
            sset = calendar.session_set([cal])
            times, day_pos = calendar.minute_grid(sset, 0, n)
            per_day = np.bincount(day_pos.astype(np.int64), minlength=n)
            starts = np.r_[0, np.cumsum(per_day)[:-1]]
            period = np.arange(n) // roll_every
            premium = 0.01 * (period % 3 + 1) * np.where(period % 2 == 0, 1.0, -1.0)
            # the first minute of each new main contract (its trading day's first,
            # a night minute where the day has a night session) trades and opens at
            # its own price level: the roll gap lies before it
            roll_days = np.flatnonzero(np.diff(period)) + 1
            roll_bars = starts[roll_days]
            level = np.ones(times.size)
            level[roll_bars] = (1.0 + premium[roll_days]) / (1.0 + premium[roll_days - 1])
            path, noise, volume = _price_bars(rng, starts, times.size, price, step, 1.0, 0.01, roll_bars)
            raw_close = _round(path * np.repeat(1.0 + premium, per_day), step)
            o, h, lo, c = _finish_bars(raw_close, noise, volume, rng, step, level)
            turnover = np.round(volume * (o + c) / 2.0 * mult, 2)
            oi = np.round(50000 + np.cumsum(rng.normal(0, 30, raw_close.size)))
            self._store_bars(dotted, times, o, h, lo, c, volume, turnover, oi, starts, self.day_numbers,
                             sset.close_seconds)
            self.instruments.append(
                (market, code, "future", mult, step, int(self.days[0]), 0, cal, name, MARGIN_RATES[product])
            )
            y0, m0 = int(self.days[0]) // 10000, int(self.days[0]) // 100 % 100
            names = []
            for k in range(int(period[-1]) + 1):
                months = (y0 * 12 + m0 - 1) + 2 * (k + 1)
                names.append((months // 12, months % 12 + 1))
            for d in range(n):
                y, m = names[period[d]]
                self.main.append((dotted, int(self.days[d]), "%s%02d%02d" % (product, y % 100, m)))
            continuous = {"path": path, "premium": premium, "period": period, "starts": starts,
                          "per_day": per_day, "times": times, "oi": oi,
                          "bars": (o, h, lo, c, volume, turnover)}
            self._build_contracts(dotted, market, product, cal, mult, step, names, roll_every,
                                  continuous, sset.close_seconds)
            if market == "CFE":
                self._ticks(dotted, int(starts[3]))  # the bars of the first three days

    def _build_contracts(self, dotted, market, product, cal, mult, step, names, roll_every, cont, close_seconds):
        """The contracts behind a continuous target: contract k is main in period k,
        where its bars are the continuous series' own; outside it they follow the
        same path at the contract's premium, with bars and volume of their own."""
        rng, n = self.contract_rng, self.n_days
        period, starts, per_day, oi = cont["period"], cont["starts"], cont["per_day"], cont["oi"]
        day_of = np.repeat(np.arange(n), per_day)
        later = sample_trading_days(int(self.days[0]), n + 400)
        self.contracts[dotted] = []
        for k, (year, month) in enumerate(names):
            main_days = np.flatnonzero(period == k)
            first_main, last_main = int(main_days[0]), int(main_days[-1])
            listed = max(0, first_main - 2 * roll_every)
            expiry = max(_last_trading_index(later, product, year, month), last_main + max(2, roll_every // 8))
            expiry = min(expiry, later.size - 1)
            last = min(expiry, n - 1)
            rows = np.arange(starts[listed], starts[last] + per_day[last])
            days = day_of[rows]
            # open interest as a share of the main contract's: the next contract passes
            # it at the close of the main period's last day, an old one fades
            share = np.empty(n)
            for d in range(n):
                p = period[d]
                if k == p:
                    share[d] = 1.0
                elif k == p + 1:
                    end = int(np.flatnonzero(period == p)[-1])
                    share[d] = 1.15 if d == end else 0.2 + 0.55 * (1.0 - (end - d) / (2.0 * roll_every))
                elif k > p:
                    share[d] = 0.05 + 0.1 / (k - p)
                else:
                    share[d] = 0.6 * 0.8 ** (d - last_main)
            volume = rng.integers(1, 500, rows.size).astype(np.float64)
            volume = np.round(volume * np.maximum(share[days], 0.05))
            volume[rng.random(rows.size) < 0.03] = 0.0
            volume[0] = max(volume[0], 1.0)
            premium = 0.01 * (k % 3 + 1) * (1.0 if k % 2 == 0 else -1.0)
            close = _round(cont["path"][rows] * (1.0 + premium), step)
            noise = rng.normal(0.0, 0.0002, rows.size)
            o, h, lo, c = _finish_bars(close, noise, volume, rng, step)
            turnover = np.round(volume * (o + c) / 2.0 * mult, 2)
            interest = np.round(oi[rows] * share[days])
            # its main period: the continuous series' bars, which are its own
            own = period[days] == k
            for a, src in zip((o, h, lo, c, volume, turnover), cont["bars"]):
                a[own] = src[rows[own]]
            interest[own] = oi[rows[own]]
            code = "%s%02d%02d" % (product, year % 100, month)
            name = "%s.%s" % (market, code)
            first_of_day = np.flatnonzero(np.r_[True, days[1:] != days[:-1]])
            self._store_bars(name, cont["times"][rows], o, h, lo, c, volume, turnover, interest, first_of_day,
                             self.day_numbers[days[first_of_day]], close_seconds)
            delist = int(later[expiry])
            self.instruments.append((market, code, "future", mult, step, int(self.days[listed]), delist, cal,
                                     "%s %04d-%02d" % (product, year, month), MARGIN_RATES[product]))
            self.contracts[dotted].append(name)

    # ---------------------------------------------------------------- write
    def write(self, store):
        """Write everything into a BarStore (one generation step)."""
        cols = INSTRUMENT_COLUMNS
        with store.batch():
            store.write_table("calendar", {"date": self.days})
            store.write_table("sessions", _columns(("calendar", "open", "close", "day_offset"), self.sessions))
            store.write_table("instruments", _columns(cols, self.instruments))
            store.write_table("adjust", _columns(("target", "date", "factor"), self.adjust))
            store.write_table("actions", _columns(("target", "ex_date", "cash", "bonus", "split"),
                                                  self.actions))
            store.write_table("main_contracts", _columns(("target", "date", "contract"), self.main))
            for code, bars in self.bars_1m.items():
                store.write_bars(code, "min", bars)
                store.write_bars(code, "day", self.bars_1d[code])
            for code, ticks in self.ticks.items():
                store.write_ticks(code, ticks)
            for name, parts in self.factors.items():
                store.write_factor(
                    name,
                    {
                        "date": np.concatenate([p[0] for p in parts]),
                        "target": [p[1] for p in parts for _ in range(p[0].size)],
                        "value": np.concatenate([p[2] for p in parts]),
                    },
                )


def _last_trading_index(days, product, year, month):
    """Index in `days` of a contract's last trading day: the third Friday of its
    delivery month for index futures (IF), the 15th for commodities, or the next
    trading day after it."""
    first = datetime.date(year, month, 1)
    day = 1 + (4 - first.weekday()) % 7 + 14 if product == "IF" else 15
    return int(np.searchsorted(days, year * 10000 + month * 100 + day, side="left"))


def _columns(names, rows):
    return {name: [r[i] for r in rows] for i, name in enumerate(names)}


def write_sample_market(store, seed=0, days=260, stocks=10, start=20230103):
    market = SampleMarket(seed=seed, days=days, stocks=stocks, start=start)
    market.write(store)
    return market
