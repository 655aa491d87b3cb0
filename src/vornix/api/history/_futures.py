"""Futures products in the bar store: the main-contract table derived from the
contracts' day bars, and the continuous series stitched from the contracts.

A product is the letters of its contracts' codes (`SHF.RB` for SHF.RB2305,
SHF.RB2310, ...); its continuous target is `MARKET.PRODUCT00` (SHF.RB00).

* `derive_main(store, product, rule="oi")` writes the continuous target's rows of
  the table `main_contracts`: on the first day with bars, the contract with the
  largest open interest (or volume) at that day's close; afterwards the main
  contract changes to a later contract (by last trading day) from the trading day
  after a close at which that contract's open interest exceeds the current main's
  (the largest such one), never back to an earlier contract; on the main
  contract's last trading day, to the later contract with the largest value.
* `derive_continuous(store, target)` writes the continuous target's raw bars, each
  trading day the bars of that day's main contract (a night session belongs to the
  next trading day), for every base frequency its contracts have (their minute base
  and day bars), and its instruments row.  What is missing stops it, named: a day
  of the table's range without a main contract (a gap), a contract that is not an
  instrument or that has no bars on a day it is main.
"""

import re

import numpy as np
import pandas as pd

from vornix.api.history._calendar import time_keys
from vornix.tframe.utils.datetimefunc import datenum_array_to_int_date

RULES = ("oi", "volume")
_CONTRACT = re.compile(r"([A-Z]+)(\d{3,4})")
_SHOWN = 8


def _listed(items):
    items = list(items)
    text = ", ".join(str(i) for i in items[:_SHOWN])
    return text + (", ... (%d in all)" % len(items) if len(items) > _SHOWN else "")


def product_of(code):
    """The product (letters) of a contract code such as RB2305 or SR305; None for
    a code that is no contract (RB00, IF)."""
    m = _CONTRACT.fullmatch(code.upper())
    if m is None or set(m.group(2)) == {"0"}:
        return None
    return m.group(1)


def _resolve_product(store, product):
    """(market, product letters, contracts by last trading day) of a product given
    as SHF.RB, RB, or its continuous target SHF.RB00."""
    text = str(product).strip().upper()
    market, _, letters = text.rpartition(".")
    if letters.endswith("00") and letters[:-2].isalpha():
        letters = letters[:-2]
    if not letters.isalpha():
        raise ValueError("a product is its contracts' letters, such as SHF.RB or RB, got %r" % (product,))
    info = store.target_table()
    found = {}
    for dotted, row in info.items():
        if row["type"] != "future" or (market and row["market"].upper() != market):
            continue
        if product_of(row["code"]) == letters:
            found.setdefault(row["market"].upper(), []).append(dotted)
    if not found:
        raise ValueError("no contracts of %s in the store's instruments (futures such as %s.%s2305; "
                         "import their instruments and bars first)" % (text, market or "SHF", letters))
    if len(found) > 1:
        raise ValueError("contracts of %s trade on several markets (%s); name the market, such as %s.%s"
                         % (letters, ", ".join(sorted(found)), sorted(found)[0], letters))
    (market, contracts), = found.items()

    def expiry(c):
        d = int(info[c]["delist_date"] or 0)
        return (d if d > 0 else 99999999, c)

    return market, letters, sorted(contracts, key=expiry)


def _day_of(times):
    return datenum_array_to_int_date(np.floor(np.asarray(times, dtype=np.float64)).astype(np.int64))


def derive_main(store, product, rule="oi"):
    """Derive the main-contract table of a product from its contracts' day bars; see
    the module docstring.  Returns a one-line summary."""
    if rule not in RULES:
        raise ValueError("the main-contract rule is 'oi' (open interest) or 'volume', got %r" % (rule,))
    with store.writing("derive-main", str(product)):
        return _derive_main(store, product, rule)


def _derive_main(store, product, rule):
    market, letters, contracts = _resolve_product(store, product)
    target = "%s.%s00" % (market, letters)
    info = store.target_table()
    column = "open_interest" if rule == "oi" else "volume"
    series, without = [], []
    for c in contracts:
        bars = store.read_bars(c, "day")
        if bars is None or not bars["time"].size:
            if store.bar_count(c, "min"):
                raise ValueError("%s has minute bars but no day bars; derive them first: vornix data derive-day "
                                 "--targets %s" % (c, c))
            without.append(c)
            continue
        series.append((c, pd.Series(bars[column], index=_day_of(bars["time"]))))
    if not series:
        raise ValueError("no day bars of the contracts of %s.%s (%s)" % (market, letters, _listed(contracts)))
    names = [c for c, _ in series]
    frame = pd.concat([s for _, s in series], axis=1, keys=range(len(series))).sort_index()
    days = store.trading_days()
    if days.size:
        span = days[(days >= frame.index[0]) & (days <= frame.index[-1])]
        frame = frame.reindex(np.union1d(span, frame.index))
    values = frame.to_numpy(dtype=np.float64)
    expiries = np.array([int(info[c]["delist_date"] or 0) for c in names])
    day_list = frame.index.to_numpy(dtype=np.int64)
    main = np.empty(day_list.size, dtype=np.int64)
    first = np.nan_to_num(values[0], nan=-np.inf)
    current = int(np.argmax(first))
    for i, day in enumerate(day_list):
        main[i] = current
        row = values[i]
        later = np.arange(current + 1, len(names))
        if not later.size:
            continue
        cand = row[later]
        ok = np.isfinite(cand)
        if not ok.any():
            continue
        best = int(later[ok][np.argmax(cand[ok])])
        expiring = 0 < expiries[current] <= day
        if expiring or (np.isfinite(row[current]) and row[best] > row[current]):
            current = best
    contract_codes = [info[c]["code"] for c in names]
    new = pd.DataFrame({"target": target, "date": day_list,
                        "contract": [contract_codes[k] for k in main]})
    old = store.main_contracts()
    old = old[old["target"] != target]
    merged = pd.concat([old, new], ignore_index=True).sort_values(["target", "date"], kind="stable")
    store.write_table("main_contracts", {c: merged[c].to_numpy() for c in merged})
    rolls = [(int(day_list[i]), contract_codes[main[i]]) for i in range(1, main.size) if main[i] != main[i - 1]]
    text = "main contracts of %s by %s: %d days from %d to %d, %d roll(s)%s" % (
        target, "open interest" if rule == "oi" else "volume", day_list.size, day_list[0], day_list[-1],
        len(rolls), (" (%s)" % _listed("%s from %d" % (c, d) for d, c in rolls)) if rolls else "")
    if without:
        text += "; without day bars: %s" % _listed(without)
    return text


def derive_continuous(store, target):
    """Stitch the continuous target's bars from its main contracts; see the module
    docstring.  Returns a one-line summary."""
    with store.writing("derive-continuous", str(target)):
        return _derive_continuous(store, target)


def _main_rows(store, target):
    frame = store.main_contracts()
    rows = frame[frame["target"] == target].sort_values("date", kind="stable")
    if rows.empty:
        raise ValueError("no main contracts of %s in the store: import them (vornix data import main FILE) or "
                         "derive them from the contracts' day bars (vornix data derive-main %s)"
                         % (target, target[:-2] if target.endswith("00") else target))
    return rows["date"].to_numpy(dtype=np.int64), [str(c).upper() for c in rows["contract"]]


def _derive_continuous(store, target):
    from vornix.api.history._import import _grids, parse_symbol
    from vornix.api.history._store import BAR_COLUMNS

    name = parse_symbol(target) or str(target).strip().upper()
    market = name.split(".", 1)[0]
    info = store.target_table()
    if name in info and info[name]["type"] != "future":
        raise ValueError("%s is a %s; a continuous target is a future such as SHF.RB00"
                         % (name, info[name]["type"]))
    days, contracts = _main_rows(store, name)
    calendar_days = store.trading_days()
    span = calendar_days[(calendar_days >= days[0]) & (calendar_days <= days[-1])]
    gaps = np.setdiff1d(span, days)
    if gaps.size:
        raise ValueError("the main-contract table of %s has no contract for %s (a gap in %d to %d); import the "
                         "missing rows or derive the table again" % (name, _listed(gaps), days[0], days[-1]))
    dotted = ["%s.%s" % (market, c) for c in contracts]
    used = list(dict.fromkeys(dotted))
    unknown = [c for c in used if c not in info]
    if unknown:
        raise ValueError("the main-contract table of %s names %s, not an instrument of the store"
                         % (name, _listed(unknown)))
    for key in ("multiplier", "min_move", "calendar"):
        seen = {info[c][key] for c in used}
        if len(seen) > 1:
            raise ValueError("the contracts of %s differ in %s (%s)" % (
                name, key, _listed("%s %s" % (c, info[c][key]) for c in used)))
    with_min = [c for c in used if store.bar_count(c, "min")]
    with_day = [c for c in used if store.bar_count(c, "day")]
    if not with_min and not with_day:
        raise ValueError("no bars stored for the main contracts of %s (%s); import them first, such as "
                         "vornix data import bars-5m FILE --target %s" % (name, _listed(used), used[0]))
    for have, what in ((with_min, "minute"), (with_day, "day")):
        if have and len(have) < len(used):
            raise ValueError("%s: %s without %s bars, which %s has; every main contract needs the same kinds"
                             % (name, _listed(c for c in used if c not in have), what, have[0]))
    index = {c: k for k, c in enumerate(used)}
    main_id = np.array([index[c] for c in dotted])

    def is_main(trading_days, contract):
        """Which of the trading days (yyyymmdd) have `contract` as main."""
        pos = np.minimum(np.searchsorted(days, trading_days), days.size - 1)
        return (days[pos] == trading_days) & (main_id[pos] == index[contract])

    items, parts = [], []
    if with_min:
        bases = {c: store.minute_base(c) for c in used}
        if len(set(bases.values())) > 1:
            raise ValueError("the main contracts of %s have base bars of several sizes (%s)" % (
                name, _listed("%s %d-minute" % kv for kv in bases.items())))
        base = bases[used[0]]
        if store.bar_count(name, "min") and store.minute_base(name) != base:
            raise ValueError("%s has %d-minute bars stored (%s) and its contracts %d-minute ones; a target has "
                             "one base size: remove that file first" % (
                                 name, store.minute_base(name), store.bar_path(name, "min"), base))
        grids = _grids(store.calendar(), used, info, lambda c: base)
        pieces = []
        for c in used:
            bars = store.read_bars(c, "min")
            if c in grids and grids[c].keys is not None:
                _, trading_day = grids[c].find(time_keys(bars["time"]))
            else:
                trading_day = _day_of(bars["time"])
            keep = is_main(trading_day, c)
            pieces.append((trading_day[keep], {k: v[keep] for k, v in bars.items()}))
        _check_days(name, days, dotted, [p[0] for p in pieces], "%d-minute" % base)
        stitched = {k: np.concatenate([p[1][k] for p in pieces]) for k in BAR_COLUMNS}
        order = np.argsort(stitched["time"], kind="stable")
        stitched = {k: v[order] for k, v in stitched.items()}
        path = store.base_bar_path(name, base) if base != 1 else store.bar_path(name, "min")
        items.append((path, "bars", lambda s=stitched: s))
        parts.append("%d %d-minute bars" % (stitched["time"].size, base))
    if with_day:
        pieces = []
        for c in used:
            bars = store.read_bars(c, "day")
            day = _day_of(bars["time"])
            keep = is_main(day, c)
            pieces.append((day[keep], {k: v[keep] for k, v in bars.items()}))
        _check_days(name, days, dotted, [p[0] for p in pieces], "day")
        stitched = {k: np.concatenate([p[1][k] for p in pieces]) for k in BAR_COLUMNS}
        order = np.argsort(stitched["time"], kind="stable")
        stitched = {k: v[order] for k, v in stitched.items()}
        items.append((store.bar_path(name, "day"), "bars", lambda s=stitched: s))
        parts.append("%d day bars" % stitched["time"].size)
    store.write_files(items)
    _write_instrument(store, name, used, int(days[0]))
    rolls = sum(1 for a, b in zip(dotted, dotted[1:]) if a != b)
    return "%s stitched from %d contract(s) over %d days (%d roll(s)): %s" % (
        name, len(used), days.size, rolls, ", ".join(parts))


def _check_days(name, days, dotted, found_days, what):
    have = set(np.concatenate(found_days).tolist()) if found_days else set()
    missing = [(int(d), c) for d, c in zip(days, dotted) if int(d) not in have]
    if missing:
        raise ValueError("%s: no %s bars of the main contract on %d day(s) it is main: %s" % (
            name, what, len(missing), _listed("%s on %d" % (c, d) for d, c in missing)))


def _write_instrument(store, name, contracts, first_day):
    info = store.target_table()
    frame = store.instruments()
    row = dict(info[contracts[0]])
    market, code = name.split(".", 1)
    rates = {info[c].get("margin_rate") for c in contracts}
    rates = {r for r in rates if r == r}
    old = info.get(name)
    row.update(market=market, code=code, type="future", list_date=first_day, delist_date=0,
               name=old["name"] if old is not None else "%s main continuous" % code[:-2],
               margin_rate=max(rates) if rates else float("nan"))
    if old is not None and old.get("margin_rate") == old.get("margin_rate") and not rates:
        row["margin_rate"] = old["margin_rate"]
    dotted = (frame["market"] + "." + frame["code"]).str.upper()
    frame = frame[(dotted != name).to_numpy()]
    merged = pd.concat([frame, pd.DataFrame([row])[frame.columns]], ignore_index=True)
    store.write_table("instruments", {c: merged[c].to_numpy() for c in merged})


def contracts_with_bars(store, target):
    """(contracts the main table of `target` names that have bars stored, those that
    have none or are no instruments)."""
    frame = store.main_contracts()
    market = target.split(".", 1)[0]
    names = {"%s.%s" % (market, str(c).upper()) for c in frame.loc[frame["target"] == target, "contract"]}
    info = store.target_table()
    have = sorted(c for c in names if c in info and (store.bar_count(c, "min") or store.bar_count(c, "day")))
    return have, sorted(names - set(have))


def stitch_imported(store, targets):
    """After an import of main contracts: the continuous series of each target whose
    contracts all have bars stored (errors of the stitch refuse the import); a note
    for targets some of whose contracts have none."""
    out = []
    for t in targets:
        have, lack = contracts_with_bars(store, t)
        if have and not lack:
            out.append(derive_continuous(store, t))
        elif have:
            out.append("%s not stitched: %s without bars (vornix data derive-continuous %s once they are "
                       "imported)" % (t, _listed(lack), t))
    return "".join("; " + text for text in out)
