"""The market rules of the order simulator, one small function or object each, and
the settings that turn them off or change them.

Every rule has a documented default (README, "Orders") and a run setting:

- `t_plus_1` (True): shares bought on a trading day can be sold from the next one;
- `price_limits` (True): a stock trades within its daily limits around the raw
  close of the day before (see `limit_pct`); a buy does not fill against a bar
  that traded only at the upper limit, a sale not against one only at the lower;
- `stamp_duty` (None: by date, `stamp_duty_rate`): a number is the rate on every
  sale's value;
- `min_commission` (5): the least commission of a stock fill;
- `volume_limit` (0.25): a fill takes at most this share of its bar's volume (0
  or None: no cap);
- `dividend_tax` (0): the share of a cash dividend withheld.

Futures:

- `roll` ("auto"): where the main contract of a continuous target changes, a
  position in the old contract is closed and the same volume opened in the new one
  at the first traded bars of the new contract's first day (two fills with fees,
  marked "roll" in the trades); "manual" leaves it to the strategy (`on_roll`);
- `margin_rate` (None: the instrument's `margin_rate`, else `DEFAULT_MARGIN_RATE`):
  a number is the rate of every future; an opening fill needs price x multiplier x
  volume x rate (`margin`) plus its fee from the available cash;
- `force_liquidation` (False): True closes every futures position at the next open
  after a settlement that leaves equity below the margin held (without it, opening
  orders are rejected until equity covers the margin again).
"""

import math
from dataclasses import dataclass, fields

# stamp duty on stock sales by date: (first day, rate)
STAMP_DUTY = ((0, 0.001), (20230828, 0.0005))

# the margin rate of a future whose instrument row gives none
DEFAULT_MARGIN_RATE = 0.10
ROLLS = ("auto", "manual")

# price limits by board, as fractions of the day before's close
LIMIT_MAIN, LIMIT_GROWTH, LIMIT_BJ, LIMIT_ST = 0.10, 0.20, 0.30, 0.05


@dataclass
class Rules:
    t_plus_1: bool = True
    price_limits: bool = True
    stamp_duty: object = None
    min_commission: float = 5.0
    volume_limit: object = 0.25
    dividend_tax: float = 0.0
    roll: str = "auto"
    margin_rate: object = None
    force_liquidation: bool = False

    @classmethod
    def names(cls):
        return tuple(f.name for f in fields(cls))

    @classmethod
    def from_settings(cls, **given):
        """Rules from run settings (None: the default), each checked."""
        rules = cls()
        for key, value in given.items():
            if value is None:
                continue
            if key in ("t_plus_1", "price_limits", "force_liquidation"):
                setattr(rules, key, as_bool(value, key))
            elif key == "stamp_duty":
                rules.stamp_duty = rate(value, key, upper=1.0)
            elif key == "volume_limit":
                v = rate(value, key, upper=1.0)
                rules.volume_limit = v if v > 0 else None
            elif key == "dividend_tax":
                rules.dividend_tax = rate(value, key, upper=1.0)
            elif key == "min_commission":
                rules.min_commission = rate(value, key)
            elif key == "roll":
                text = str(value).strip().lower()
                if text not in ROLLS:
                    raise ValueError("roll must be %s, got %r" % (" or ".join(ROLLS), value))
                rules.roll = text
            elif key == "margin_rate":
                v = rate(value, key, upper=1.0)
                if v <= 0:
                    raise ValueError("margin_rate must be above 0 and at most 1, got %r" % (value,))
                rules.margin_rate = v
            else:
                raise TypeError("unknown market rule %r; the rules are %s"
                                % (key, ", ".join(cls.names())))
        return rules


def as_bool(value, what):
    if isinstance(value, bool):
        return value
    if isinstance(value, str) and value.strip().lower() in ("true", "false", "1", "0", "yes", "no",
                                                            "on", "off"):
        return value.strip().lower() in ("true", "1", "yes", "on")
    if isinstance(value, int) and value in (0, 1):
        return bool(value)
    raise ValueError("%s must be true or false, got %r" % (what, value))


def rate(value, what, upper=math.inf):
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise ValueError("%s must be a number, got %r" % (what, value)) from None
    if not (math.isfinite(v) and 0 <= v <= upper):
        raise ValueError("%s must be a number from 0 to %g, got %r" % (what, upper, value))
    return v


def stamp_duty_rate(day, setting=None):
    """The stamp duty rate of a sale on trading day `day` (yyyymmdd)."""
    if setting is not None:
        return setting
    out = 0.0
    for first, r in STAMP_DUTY:
        if day >= first:
            out = r
    return out


def stock_fee(value, sale, day, commission_rate, rules):
    """The fee of a stock fill of `value` (money, > 0): the commission (at least
    `rules.min_commission`) plus the stamp duty on a sale."""
    fee = max(value * commission_rate, rules.min_commission)
    if sale:
        fee += value * stamp_duty_rate(day, rules.stamp_duty)
    return fee


def limit_pct(market, code, st=False, override=None):
    """The daily price limit of a stock as a fraction: the instruments table's
    `limit_pct` where given, else 5% for a stock marked `st`, 30% on the Beijing
    exchange, 20% for codes 300xxx/301xxx (Shenzhen growth board) and 688xxx
    (Shanghai science board), 10% on the main boards."""
    if override is not None and math.isfinite(override) and override > 0:
        return float(override)
    if st:
        return LIMIT_ST
    if market == "BJ":
        return LIMIT_BJ
    if code.startswith(("300", "301", "688")):
        return LIMIT_GROWTH
    return LIMIT_MAIN


def limit_prices(base, pct, tick):
    """(lower, upper) limit prices around `base` (the day before's close, or the
    ex-date reference price), rounded half up to the tick; (NaN, NaN) without a
    base (a stock's first listing day)."""
    if not (base > 0) or not (tick > 0):
        return math.nan, math.nan
    up = math.floor(base * (1 + pct) / tick + 0.5 + 1e-9) * tick
    down = math.floor(base * (1 - pct) / tick + 0.5 + 1e-9) * tick
    return round(down, 10), round(up, 10)


def locked(side, high, low, down, up, eps=1e-9):
    """Whether a bar traded only at the limit against the order: a buy against a
    bar whose every trade was at the upper limit, a sale at the lower."""
    if side > 0:
        return up == up and low >= up - eps
    return down == down and high <= down + eps


def capped_volume(remaining, bar_volume, lot, volume_limit):
    """The volume a fill may take from a bar: all of `remaining` (unsigned) without
    a cap; else at most `volume_limit` of the bar's volume, in whole lots, or the
    whole remainder when that fits (an odd lot left by a sale of a whole position)."""
    if volume_limit is None:
        return remaining
    cap = math.floor(volume_limit * bar_volume + 1e-9)
    if remaining <= cap:
        return remaining
    return (cap // lot) * lot


def margin_rate(instrument_rate, setting=None):
    """The margin rate of a future: the run's `margin_rate` setting, else the
    instrument's (when a positive number), else DEFAULT_MARGIN_RATE."""
    if setting is not None:
        return float(setting)
    if instrument_rate is not None and instrument_rate == instrument_rate and instrument_rate > 0:
        return float(instrument_rate)
    return DEFAULT_MARGIN_RATE


def margin(price, multiplier, volume, rate):
    """The margin of `volume` (unsigned) contracts at `price`."""
    return abs(volume) * price * multiplier * rate


def settle(position, reference, price, multiplier):
    """The profit or loss that settlement at `price` moves into cash for a position
    last settled (or opened) at `reference`."""
    return position * (price - reference) * multiplier
