"""Import of CSV files into the bar store (formats: docs/data-format.md).

A file is checked completely before anything is written: every line that breaks
a rule is reported with its line number (up to MAX_REPORTED lines), and when
any line is bad the store is left as it was.  Imported rows are merged into what
the store holds: a row replaces the stored row with the same key (target and
time, target and day, ...).
"""

import os

import numpy as np
import pandas as pd

from vornix.api.history._calendar import SessionSet, hhmm_to_minutes, time_keys, time_values
from vornix.api.history._store import BAR_COLUMNS, TICK_COLUMNS, TYPE_NAMES
from vornix.tframe.utils.datetimefunc import int_date_to_datenum_array

MAX_REPORTED = 50
_EPOCH_DATENUM = 719529  # day number of 1970-01-01

KINDS = ("calendar", "sessions", "instruments", "bars-1m", "bars-1d", "adjust", "main", "factors", "ticks")


class DataImportError(ValueError):
    """A CSV file that cannot be imported; `problems` lists (line, message) pairs."""

    def __init__(self, path, problems, total=None):
        self.path = path
        self.problems = list(problems)
        self.total = len(self.problems) if total is None else total
        shown = self.problems[:MAX_REPORTED]
        if not any(ln for ln, _ in shown):
            super().__init__("%s: %s; nothing imported" % (path, "; ".join(m for _, m in shown)))
            return
        lines = ["%s: %d bad line(s), nothing imported" % (path, self.total)]
        lines += ["  line %s: %s" % (ln, msg) if ln else "  %s" % msg for ln, msg in shown]
        if self.total > len(shown):
            lines.append("  ... and %d more" % (self.total - len(shown)))
        super().__init__("\n".join(lines))


class _Checker:
    """Collects bad lines of one file."""

    def __init__(self, path, frame):
        self.path = path
        self.frame = frame
        self.lines = frame.index.to_numpy() + 2  # line 1 is the header
        self.problems = []
        self.bad = np.zeros(len(frame), dtype=bool)

    def flag(self, mask, message):
        """Flag the rows in `mask`; `message(i)` describes row i (called for reported rows only)."""
        mask = np.asarray(mask, dtype=bool)
        rows = np.flatnonzero(mask)
        if not rows.size:
            return
        self.bad |= mask
        for i in rows[: MAX_REPORTED * 4]:
            self.problems.append((int(self.lines[i]), message(i)))
        for i in rows[MAX_REPORTED * 4 :]:
            self.problems.append((int(self.lines[i]), None))

    def raise_if_bad(self):
        if self.problems:
            probs = sorted(self.problems, key=lambda p: p[0])
            total = len({ln for ln, _ in probs})
            shown = [p for p in probs if p[1] is not None]
            raise DataImportError(self.path, shown, total=total)

    def text(self, name):
        return self.frame[name].to_numpy(dtype=object)

    def number(self, name, default=None, positive=False, non_negative=False):
        raw = self.frame[name] if name in self.frame else pd.Series([""] * len(self.frame), dtype=object)
        raw = raw.astype(str).str.strip()
        values = pd.to_numeric(raw.where(raw != "", np.nan), errors="coerce").to_numpy(dtype=np.float64, copy=True)
        empty = (raw == "").to_numpy()
        if default is not None:
            values[empty] = default
            bad = np.isnan(values) & ~empty
        else:
            bad = ~np.isfinite(values)
        raw_vals = raw.to_numpy(dtype=object)
        self.flag(bad, lambda i: "%s %r is not a number" % (name, raw_vals[i]))
        ok = ~bad
        if positive:
            self.flag(ok & ~(values > 0), lambda i: "%s %s must be above 0" % (name, raw_vals[i]))
        if non_negative:
            self.flag(ok & (values < 0), lambda i: "%s %s is negative" % (name, raw_vals[i]))
        return values

    def date(self, name, required=True):
        """yyyymmdd or YYYY-MM-DD -> int64 yyyymmdd (0 for an empty optional field)."""
        raw = self.frame[name].astype(str).str.strip() if name in self.frame else pd.Series([""] * len(self.frame))
        digits = raw.str.replace("-", "", regex=False)
        parsed = pd.to_datetime(digits.where(digits.str.fullmatch(r"\d{8}"), None), format="%Y%m%d", errors="coerce")
        bad = parsed.isna().to_numpy().copy()
        empty = (raw == "").to_numpy()
        if not required:
            bad &= ~empty
        raw_vals = raw.to_numpy(dtype=object)
        self.flag(bad, lambda i: "%s %r is not a date (yyyymmdd or YYYY-MM-DD)" % (name, raw_vals[i]))
        out = np.zeros(len(raw), dtype=np.int64)
        good = ~parsed.isna().to_numpy()
        out[good] = digits.to_numpy()[good].astype(np.int64)
        return out

    def datetime(self, name):
        """'YYYY-MM-DD HH:MM[:SS[.fff]]' -> time-line values (NaN where bad)."""
        raw = self.frame[name].astype(str).str.strip()
        ok = raw.str.fullmatch(r"\d{4}-\d{2}-\d{2}[ T]\d{1,2}:\d{2}(:\d{2}(\.\d+)?)?")
        parsed = pd.to_datetime(raw.where(ok, None), format="ISO8601", errors="coerce")
        bad = parsed.isna().to_numpy().copy()
        raw_vals = raw.to_numpy(dtype=object)
        self.flag(bad, lambda i: "%s %r is not a time (YYYY-MM-DD HH:MM:SS)" % (name, raw_vals[i]))
        us = parsed.to_numpy(dtype="datetime64[us]").astype(np.int64)
        us[bad] = 0
        day, micro = np.divmod(us, 86_400_000_000)
        times = time_values(day + _EPOCH_DATENUM, micro / 1e6)
        times[bad] = np.nan
        return times


def _read_csv(path, required):
    if not os.path.isfile(path):
        raise DataImportError(path, [(None, "file not found")])
    try:
        frame = pd.read_csv(
            path, dtype=str, keep_default_na=False, skip_blank_lines=False, skipinitialspace=True
        )
    except (ValueError, OSError, pd.errors.ParserError, UnicodeDecodeError) as exc:
        raise DataImportError(path, [(None, "cannot be read as CSV: %s" % exc)]) from None
    frame.columns = [str(c).strip().lower() for c in frame.columns]
    frame = frame.fillna("")  # rows with fewer fields than the header
    missing = [c for c in required if c not in frame.columns]
    if missing:
        raise DataImportError(
            path,
            [(1, "missing column(s) %s; the header has %s" % (", ".join(missing), ", ".join(frame.columns)))],
        )
    blank = (frame == "").all(axis=1)
    frame = frame[~blank.to_numpy()]
    if frame.empty:
        raise DataImportError(path, [(None, "no data rows")])
    return frame


def _group_rows(dotted):
    """target -> ascending row numbers, targets in order of first appearance."""
    codes, uniques = pd.factorize(dotted)
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(len(uniques) + 1))
    return {u: order[bounds[k] : bounds[k + 1]] for k, u in enumerate(uniques)}


def _targets(chk, store, types=None):
    """Dotted codes of the rows; unknown targets are flagged."""
    market = chk.frame["market"].astype(str).str.strip().str.upper()
    code = chk.frame["code"].astype(str).str.strip().str.upper()
    dotted = (market + "." + code).to_numpy(dtype=object)
    known = store.target_table()
    codes, uniques = pd.factorize(dotted)
    unknown = np.array([u not in known for u in uniques], dtype=bool)[codes]
    chk.flag(unknown, lambda i: "unknown target %s (import its instrument first)" % dotted[i])
    if types:
        wrong = np.array([u in known and known[u]["type"] not in types for u in uniques], dtype=bool)[codes]
        chk.flag(wrong, lambda i: "target %s is a %s, expected %s" % (dotted[i], known[dotted[i]]["type"], " or ".join(types)))
    return dotted


def _check_prices(chk, v):
    o, h, lo, c = v["open"], v["high"], v["low"], v["close"]
    with np.errstate(invalid="ignore"):
        chk.flag(h < np.maximum(o, c), lambda i: "high %g is below open %g or close %g" % (h[i], o[i], c[i]))
        chk.flag(lo > np.minimum(o, c), lambda i: "low %g is above open %g or close %g" % (lo[i], o[i], c[i]))


def _read_bar_values(chk):
    values = {}
    for f in ("open", "high", "low", "close"):
        values[f] = chk.number(f, positive=True)
    values["volume"] = chk.number("volume", non_negative=True)
    values["turnover"] = chk.number("turnover", default=0.0, non_negative=True)
    values["open_interest"] = chk.number("open_interest", default=0.0, non_negative=True)
    _check_prices(chk, values)
    return values


def _merge_rows(old, new, key_of):
    """Concatenate column dicts; new rows replace old rows with equal keys; sorted by key."""
    if old is not None and old[next(iter(old))].size:
        old_keys, new_keys = key_of(old), key_of(new)
        keep = ~np.isin(old_keys, new_keys)
        merged = {c: np.concatenate([old[c][keep], new[c]]) for c in new}
    else:
        merged = dict(new)
    order = np.argsort(key_of(merged), kind="stable")
    return {c: merged[c][order] for c in merged}


# ------------------------------------------------------------------ kinds
def _import_calendar(store, path):
    frame = _read_csv(path, ["date"])
    chk = _Checker(path, frame)
    days = chk.date("date")
    dup = pd.Series(days).duplicated().to_numpy() & (days > 0)
    chk.flag(dup, lambda i: "trading day %d is listed twice" % days[i])
    chk.raise_if_bad()
    merged = np.union1d(store.trading_days(), days)
    store.write_table("calendar", {"date": merged})
    return "%d trading days (%d in the store)" % (days.size, merged.size)


def _import_sessions(store, path):
    frame = _read_csv(path, ["calendar", "open", "close"])
    chk = _Checker(path, frame)
    name = frame["calendar"].astype(str).str.strip().to_numpy(dtype=object)
    chk.flag(name == "", lambda i: "calendar name is empty")
    minutes = {}
    for col in ("open", "close"):
        raw = chk.text(col)
        vals = np.zeros(len(raw), dtype=np.int64)
        bad = np.zeros(len(raw), dtype=bool)
        for i, text in enumerate(raw):
            try:
                vals[i] = hhmm_to_minutes(text)
            except ValueError:
                bad[i] = True
        chk.flag(bad, lambda i, raw=raw, col=col: "%s %r is not a time of day HH:MM" % (col, raw[i]))
        minutes[col] = vals
    offset = chk.number("day_offset", default=0.0)
    chk.flag(~np.isin(offset, (0, -1)), lambda i: "day_offset %g must be 0 or -1" % offset[i])
    chk.flag(
        minutes["close"] <= minutes["open"],
        lambda i: "session close %s is not after open %s" % (chk.text("close")[i], chk.text("open")[i]),
    )
    chk.raise_if_bad()
    new = pd.DataFrame(
        {"calendar": name, "open": minutes["open"], "close": minutes["close"], "day_offset": offset.astype(np.int64)}
    )
    for cal, part in new.groupby("calendar"):
        try:
            SessionSet(zip(part["open"], part["close"], part["day_offset"]))
        except Exception as exc:  # overlapping or invalid sets
            raise DataImportError(path, [(None, "sessions of calendar %s: %s" % (cal, exc))]) from None
    old = store.sessions()
    old = old[~old["calendar"].isin(set(name))]
    merged = pd.concat([old, new], ignore_index=True) if len(old) else new
    store.write_table("sessions", {c: merged[c].to_numpy() for c in merged})
    return "%d sessions of %d calendar(s)" % (len(new), new["calendar"].nunique())


def _import_instruments(store, path):
    frame = _read_csv(path, ["market", "code", "type", "list_date", "calendar"])
    chk = _Checker(path, frame)
    market = frame["market"].astype(str).str.strip().str.upper().to_numpy(dtype=object)
    code = frame["code"].astype(str).str.strip().str.upper().to_numpy(dtype=object)
    dotted = np.array(["%s.%s" % (m, c) for m, c in zip(market, code)], dtype=object)
    chk.flag(
        np.array([not m or not c or "." in m + c or "/" in m + c or "\\" in m + c for m, c in zip(market, code)]),
        lambda i: "market %r and code %r must be non-empty and hold no '.', '/' or '\\'" % (market[i], code[i]),
    )
    kind = frame["type"].astype(str).str.strip().str.lower().to_numpy(dtype=object)
    chk.flag(~np.isin(kind, list(TYPE_NAMES)), lambda i: "type %r is not one of %s" % (kind[i], ", ".join(TYPE_NAMES)))
    mult = chk.number("multiplier", default=1.0, positive=True)
    move = chk.number("min_move", default=0.01, positive=True)
    listed = chk.date("list_date")
    delisted = chk.date("delist_date", required=False)
    chk.flag((delisted > 0) & (delisted < listed), lambda i: "delist_date %d is before list_date %d" % (delisted[i], listed[i]))
    cal = frame["calendar"].astype(str).str.strip().to_numpy(dtype=object)
    known_cals = set(store.sessions()["calendar"])
    chk.flag(
        np.array([c not in known_cals for c in cal]),
        lambda i: "calendar %r has no sessions in the store (import its sessions first; known: %s)"
        % (cal[i], ", ".join(sorted(known_cals)) or "none"),
    )
    dup = pd.Series(dotted).duplicated().to_numpy()
    chk.flag(dup, lambda i: "target %s is listed twice" % dotted[i])
    chk.raise_if_bad()
    names = frame["name"].astype(str).str.strip().to_numpy(dtype=object) if "name" in frame else dotted
    new = pd.DataFrame(
        {"market": market, "code": code, "type": kind, "multiplier": mult, "min_move": move,
         "list_date": listed, "delist_date": delisted, "calendar": cal, "name": names}
    )
    old = store.instruments()
    old_dotted = (old["market"] + "." + old["code"]).str.upper()
    old = old[~old_dotted.isin(set(dotted)).to_numpy()]
    merged = pd.concat([old, new], ignore_index=True) if len(old) else new
    store.write_table("instruments", {c: merged[c].to_numpy() for c in merged})
    return "%d instruments (%d in the store)" % (len(new), len(merged))


def _grid_keys(store, calendar_name, cache):
    """All bar-time keys of a calendar's minute grid, or None when the store has no calendar."""
    if calendar_name not in cache:
        cal = store.calendar()
        if cal.days.size == 0 or calendar_name not in cal.sessions_by_name:
            cache[calendar_name] = None
        else:
            times, _ = cal.minute_grid(cal.session_set([calendar_name]), 0, cal.days.size)
            cache[calendar_name] = time_keys(times)
    return cache[calendar_name]


def _import_bars(store, path, frequency):
    time_col = "time" if frequency == "min" else "date"
    frame = _read_csv(path, ["market", "code", time_col, "open", "high", "low", "close", "volume"])
    chk = _Checker(path, frame)
    dotted = _targets(chk, store)
    info = store.target_table()
    cal = store.calendar()
    if frequency == "min":
        times = chk.datetime("time")
        keys = np.where(np.isnan(times), -1, time_keys(np.nan_to_num(times)))
        grids = {}
        off = np.zeros(len(keys), dtype=bool)
        for t, rows in _group_rows(dotted).items():
            if t not in info:
                continue
            grid = _grid_keys(store, info[t]["calendar"], grids)
            if grid is not None:
                off[rows] = (keys[rows] >= 0) & ~np.isin(keys[rows], grid)
        raw = chk.text("time")
        chk.flag(off, lambda i: "time %s of %s is not a bar end time of its calendar's trading sessions" % (raw[i], dotted[i]))
    else:
        dates = chk.date("date")
        if cal.days.size:
            chk.flag((dates > 0) & ~np.isin(dates, cal.days), lambda i: "date %d is not a trading day" % dates[i])
        good = dates > 0
        day_nums = np.zeros(len(dates), dtype=np.int64)
        day_nums[good] = int_date_to_datenum_array(dates[good])
        close_sec = np.full(len(dates), 900 * 60, dtype=np.float64)
        for t, rows in _group_rows(dotted).items():
            if t in info and info[t]["calendar"] in cal.sessions_by_name:
                close_sec[rows] = cal.session_set([info[t]["calendar"]]).close_seconds
        times = np.where(good, time_values(day_nums, close_sec), np.nan)
        keys = np.where(good, day_nums, -1)
    values = _read_bar_values(chk)
    _flag_order_subset(chk, dotted, keys, keys >= 0, time_col)
    chk.raise_if_bad()
    values["time"] = times
    key_of = (lambda d: time_keys(d["time"])) if frequency == "min" else (lambda d: np.floor(d["time"]).astype(np.int64))
    groups = _group_rows(dotted)
    with store.batch():
        for t, rows in groups.items():
            new = {c: values[c][rows] for c in BAR_COLUMNS}
            merged = _merge_rows(store.read_bars(t, frequency), new, key_of)
            store.write_bars(t, frequency, merged)
    return "%d %s bars of %d target(s)" % (len(frame), frequency, len(groups))


def _flag_order_subset(chk, dotted, keys, ok, what, strict=True):
    k = np.where(ok, keys, np.nan).astype(np.float64)
    frame = pd.DataFrame({"t": dotted, "k": k, "i": np.arange(len(k))})[ok]
    prev = np.full(len(k), np.nan)
    prev_i = np.full(len(k), -1, dtype=np.int64)
    g = frame.groupby("t", sort=False)
    prev[ok] = g["k"].shift(1).to_numpy(dtype=np.float64)
    prev_i[ok] = g["i"].shift(1).fillna(-1).to_numpy(dtype=np.int64)
    with np.errstate(invalid="ignore"):
        bad = ((k <= prev) if strict else (k < prev)) & ~np.isnan(prev)
    raw = chk.text(what)
    chk.flag(
        bad,
        lambda i: "%s %s of %s is %s the one on line %d"
        % (what, raw[i], dotted[i], "the same as" if k[i] == prev[i] else "before", chk.lines[prev_i[i]]),
    )


def _import_daily_table(store, path, table, value_col, types, parse_value):
    frame = _read_csv(path, ["market", "code", "date", value_col])
    chk = _Checker(path, frame)
    dotted = _targets(chk, store, types)
    dates = chk.date("date")
    values = parse_value(chk)
    key = pd.Series(dotted) + "|" + pd.Series(dates).astype(str)
    dup = key.duplicated().to_numpy()
    chk.flag(dup, lambda i: "%s has two rows for %d" % (dotted[i], dates[i]))
    chk.raise_if_bad()
    new = pd.DataFrame({"target": dotted, "date": dates, table[1]: values})
    old = store.adjust_factors() if table[0] == "adjust" else store.main_contracts()
    old_key = old["target"] + "|" + old["date"].astype(str)
    old = old[~old_key.isin(set(key)).to_numpy()]
    merged = pd.concat([old, new], ignore_index=True) if len(old) else new
    merged = merged.sort_values(["target", "date"], kind="stable")
    store.write_table(table[0], {c: merged[c].to_numpy() for c in merged})
    return "%d rows of %d target(s)" % (len(new), len(set(dotted)))


def _import_adjust(store, path):
    return _import_daily_table(
        store, path, ("adjust", "factor"), "factor", None, lambda chk: chk.number("factor", positive=True)
    )


def _import_main(store, path):
    def contracts(chk):
        c = chk.frame["contract"].astype(str).str.strip().to_numpy(dtype=object)
        chk.flag(c == "", lambda i: "contract code is empty")
        return c

    return _import_daily_table(store, path, ("main_contracts", "contract"), "contract", ("future",), contracts)


def _import_factors(store, path):
    frame = _read_csv(path, ["factor", "market", "code", "date", "value"])
    chk = _Checker(path, frame)
    name = frame["factor"].astype(str).str.strip().to_numpy(dtype=object)
    chk.flag(
        np.array([not n or "/" in n or "\\" in n or n.startswith(".") for n in name]),
        lambda i: "factor name %r cannot name a factor" % (name[i],),
    )
    dotted = _targets(chk, store)
    dates = chk.date("date")
    values = chk.number("value", default=np.nan)
    key = pd.Series(name) + "|" + pd.Series(dotted) + "|" + pd.Series(dates).astype(str)
    chk.flag(key.duplicated().to_numpy(), lambda i: "factor %s of %s has two rows for %d" % (name[i], dotted[i], dates[i]))
    chk.raise_if_bad()
    with store.batch():
        for fname, rows in _group_rows(name).items():
            new = pd.DataFrame({"date": dates[rows], "target": dotted[rows], "value": values[rows]})
            old = store.read_factor(fname)
            if old is not None and len(old):
                k_old = old["target"] + "|" + old["date"].astype(str)
                k_new = set(new["target"] + "|" + new["date"].astype(str))
                new = pd.concat([old[~k_old.isin(k_new).to_numpy()], new], ignore_index=True)
            new = new.sort_values(["target", "date"], kind="stable")
            store.write_factor(fname, {c: new[c].to_numpy() for c in new})
    return "%d values of %d factor(s)" % (len(frame), len(set(name)))


def _import_ticks(store, path):
    frame = _read_csv(path, ["market", "code", "time", "price", "volume"])
    chk = _Checker(path, frame)
    dotted = _targets(chk, store)
    times = chk.datetime("time")
    price = chk.number("price", positive=True)
    volume = chk.number("volume", non_negative=True)
    keys = np.where(np.isnan(times), -1, time_keys(np.nan_to_num(times)))
    _flag_order_subset(chk, dotted, keys, keys >= 0, "time", strict=False)
    chk.raise_if_bad()
    with store.batch():
        for t, rows in _group_rows(dotted).items():
            new = {"time": times[rows], "price": price[rows], "volume": volume[rows]}
            old = store.read_ticks(t)
            if old is not None and old["time"].size:
                outside = (old["time"] < new["time"][0]) | (old["time"] > new["time"][-1])
                new = {c: np.concatenate([old[c][outside], new[c]]) for c in TICK_COLUMNS}
                order = np.argsort(new["time"], kind="stable")
                new = {c: new[c][order] for c in TICK_COLUMNS}
            store.write_ticks(t, new)
    return "%d ticks of %d target(s)" % (len(frame), len(set(dotted)))


_IMPORTERS = {
    "calendar": _import_calendar,
    "sessions": _import_sessions,
    "instruments": _import_instruments,
    "bars-1m": lambda s, p: _import_bars(s, p, "min"),
    "bars-1d": lambda s, p: _import_bars(s, p, "day"),
    "adjust": _import_adjust,
    "main": _import_main,
    "factors": _import_factors,
    "ticks": _import_ticks,
}


def import_csv(store, kind, path):
    """Import one CSV file of the given kind into `store`; returns a one-line summary."""
    try:
        importer = _IMPORTERS[kind]
    except KeyError:
        raise ValueError("unknown import kind %r; known kinds: %s" % (kind, ", ".join(KINDS))) from None
    return importer(store, os.path.abspath(path))


def derive_calendar(store, source, begin_date=None, end_date=None):
    """Fill the store's trading days from the bars it holds ('bars') or from XSHG ('xshg')."""
    from vornix.api.history._calendar import trading_days_from_bars, xshg_trading_days

    if source == "xshg":
        days = xshg_trading_days(begin_date or 19900101, end_date or 21001231)
    elif source == "bars":
        times = []
        for t in store.target_table():
            for freq in ("min", "day"):
                bars = store.read_bars(t, freq)
                if bars is not None:
                    times.append(bars["time"])
        days = trading_days_from_bars(times)
        if begin_date:
            days = days[days >= begin_date]
        if end_date:
            days = days[days <= end_date]
    else:
        raise ValueError("a calendar is derived from 'bars' or 'xshg', not %r" % (source,))
    merged = np.union1d(store.trading_days(), days)
    store.write_table("calendar", {"date": merged})
    return "%d trading days (%d in the store)" % (len(days), merged.size)


__all__ = ["DataImportError", "KINDS", "import_csv", "derive_calendar"]
