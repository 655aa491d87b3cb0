"""Import of CSV files into the bar store (formats: docs/data-format.md).

A file is checked completely before anything is written: every line that breaks
a rule is reported with its line number (up to MAX_REPORTED lines), and when
any line is bad the store is left as it was.  Imported rows are merged into what
the store holds: a row replaces the stored row with the same key (target and
time, target and day, ...).
"""

import csv
import os

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pacsv

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
    """The rows of one CSV file and the bad lines found in them.

    Columns are pyarrow string arrays, chunked or not, as read (blanks around
    values kept); the checks strip them.  `lines` holds the file line of every row.
    """

    def __init__(self, path, columns, lines):
        self.path = path
        self.columns = columns
        self.lines = lines
        self.n = len(lines)
        self.problems = []
        self.bad = np.zeros(self.n, dtype=bool)

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

    def has(self, name):
        return name in self.columns

    def _column(self, name):
        col = self.columns.get(name)
        return pa.array([""] * self.n, type=pa.string()) if col is None else col

    def text(self, name):
        """Stripped values of a column as an object array ("" for a missing column)."""
        return pc.utf8_trim_whitespace(self._column(name)).to_numpy(zero_copy_only=False)

    def cell(self, name, i):
        """Stripped value of one field (for messages)."""
        col = self.columns.get(name)
        return "" if col is None else col[int(i)].as_py().strip()

    def category(self, name, upper=False):
        """(codes, values): a column's stripped (upper-case) values as codes into their
        sorted distinct values; cheap for columns with few distinct values."""
        col = self._column(name)
        chunks = col.chunks if isinstance(col, pa.ChunkedArray) else [col]
        encoded = [chunk.dictionary_encode() for chunk in chunks]
        if not encoded:
            return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=object)
        values = pc.utf8_trim_whitespace(pa.concat_arrays([e.dictionary for e in encoded]))
        if upper:
            values = pc.utf8_upper(values)
        uniques, inverse = np.unique(values.to_numpy(zero_copy_only=False).astype(object), return_inverse=True)
        inverse = np.asarray(inverse).ravel()
        codes, start = [], 0
        for e in encoded:  # every chunk has a dictionary of its own
            codes.append(inverse[start + e.indices.to_numpy(zero_copy_only=False)])
            start += len(e.dictionary)
        return np.concatenate(codes), uniques

    def number(self, name, default=None, positive=False, non_negative=False):
        """float64 values of a column.  Every field must be a finite number; with a
        `default` an empty field takes it (NaN: missing), without one it is bad."""
        if name in self.columns:
            values, empty = _parse_numbers(self.columns[name])
        else:
            values, empty = np.full(self.n, np.nan), np.ones(self.n, dtype=bool)
        bad = ~empty & ~np.isfinite(values)
        if default is None:
            bad |= empty
        self.flag(
            bad,
            lambda i: "%s %r is not a %snumber"
            % (name, self.cell(name, i), "finite " if np.isinf(values[i]) else ""),
        )
        if default is not None:
            values[empty] = default
        ok = ~bad
        if positive:
            with np.errstate(invalid="ignore"):
                self.flag(ok & ~(values > 0), lambda i: "%s %s must be above 0" % (name, self.cell(name, i)))
        if non_negative:
            with np.errstate(invalid="ignore"):
                self.flag(ok & (values < 0), lambda i: "%s %s is negative" % (name, self.cell(name, i)))
        return values

    def date(self, name, required=True):
        """yyyymmdd or YYYY-MM-DD -> int64 yyyymmdd (0 for an empty optional field).

        A file holds few distinct days: each is parsed once."""
        codes, raw = self.category(name)
        raw = pd.Series(raw, dtype=object)
        digits = raw.str.replace("-", "", regex=False)
        parsed = pd.to_datetime(digits.where(digits.str.fullmatch(r"\d{8}"), None), format="%Y%m%d", errors="coerce")
        good = ~parsed.isna().to_numpy()
        bad = ~good
        if not required:
            bad &= (raw != "").to_numpy()
        out = np.zeros(len(raw), dtype=np.int64)
        out[good] = digits.to_numpy()[good].astype(np.int64)
        raw_vals = raw.to_numpy(dtype=object)
        self.flag(
            bad[codes], lambda i: "%s %r is not a date (yyyymmdd or YYYY-MM-DD)" % (name, raw_vals[codes[i]])
        )
        return out[codes]

    def datetime(self, name):
        """'YYYY-MM-DD HH:MM[:SS[.fff]]' -> time-line values (NaN where bad)."""
        col = self.columns[name]
        us, sure = _parse_times(col)
        unsure = np.flatnonzero(~sure)
        bad = np.zeros(self.n, dtype=bool)
        if unsure.size:
            # what the quick parse does not vouch for is decided field by field
            us[unsure], bad[unsure] = _parse_times_slowly(col.take(pa.array(unsure)))
        self.flag(bad, lambda i: "%s %r is not a time (YYYY-MM-DD HH:MM:SS)" % (name, self.cell(name, i)))
        us[bad] = 0
        day, micro = np.divmod(us, 86_400_000_000)
        times = time_values(day + _EPOCH_DATENUM, micro / 1e6)
        times[bad] = np.nan
        return times


def _parse_numbers(col):
    """(float64 values, empty mask) of a text column; NaN where a field is empty or not a number."""
    text = pc.utf8_trim_whitespace(col)
    empty = pc.equal(text, "").to_numpy(zero_copy_only=False)
    values = np.full(len(col), np.nan)
    filled = ~empty
    try:  # the usual file: every field a plain number or empty
        part = text.filter(pa.array(filled)) if empty.any() else text
        values[filled] = pc.cast(part, pa.float64()).to_numpy(zero_copy_only=False)
    except pa.ArrowInvalid:  # some field is not a number: field by field
        raw = text.to_numpy(zero_copy_only=False).astype(object)
        raw[empty] = np.nan
        values = pd.to_numeric(pd.Series(raw, dtype=object), errors="coerce").to_numpy(dtype=np.float64, copy=True)
    return values + 0.0, empty  # + 0.0: no negative zeros


_TIME_PATTERN = r"\d{4}-\d{2}-\d{2}[ T]\d{1,2}:\d{2}(:\d{2}(\.\d+)?)?"
# datetime64[ns] bounds: times outside are left to the field-by-field parse
_US_RANGE = (np.datetime64("1677-09-22", "us").astype(np.int64), np.datetime64("2262-04-10", "us").astype(np.int64))


def _parse_times(col):
    """(microseconds since 1970, sure): the quick parse of a time column; rows not
    `sure` are left to _parse_times_slowly."""
    n = len(col)
    us = np.zeros(n, dtype=np.int64)
    text = pc.utf8_trim_whitespace(col)
    sure = pc.match_substring_regex(text, "^" + _TIME_PATTERN + "$").to_numpy(zero_copy_only=False)
    if not sure.any():
        return us, sure
    try:
        stamps = pc.cast(text if sure.all() else text.filter(pa.array(sure)), pa.timestamp("us"))
    except pa.ArrowInvalid:  # some field is not a valid time: all field by field
        return us, np.zeros(n, dtype=bool)
    us[sure] = stamps.cast(pa.int64()).to_numpy(zero_copy_only=False)
    sure &= (us >= _US_RANGE[0]) & (us < _US_RANGE[1])
    return us, sure


def _parse_times_slowly(col):
    """(microseconds since 1970, bad) of a few time fields, one by one."""
    raw = pd.Series(col.to_numpy(zero_copy_only=False), dtype=object).str.strip()
    text = raw.to_numpy(dtype=object, copy=True)
    text[~raw.str.fullmatch(_TIME_PATTERN).to_numpy(dtype=bool)] = None
    parsed = pd.to_datetime(pd.Series(text, dtype=object), format="ISO8601", errors="coerce")
    bad = parsed.isna().to_numpy().copy()
    us = parsed.to_numpy(dtype="datetime64[us]").astype(np.int64)
    us[bad] = 0
    return us, bad


def _read_quickly(path):
    """(names, columns, lines) of a regular CSV file read by pyarrow, or None for a
    file that the general reader must read (rows of another length, blank lines,
    repeated column names, quotes after blanks, text that is not UTF-8, ...)."""
    try:
        with open(path, "rb") as fh:
            data = fh.read()
        end = data.find(b"\n")
        if end < 0:
            end = len(data)
        head = data[:end]
        header = next(csv.reader([head.decode("utf-8-sig").rstrip("\r")]), None)
    except (OSError, UnicodeDecodeError, csv.Error):
        return None
    if not header:
        return None
    names = [str(c).strip().lower() for c in header]
    if len(set(names)) != len(names):
        return None
    # the general reader takes a quote after blanks as quoting; a body without quotes is
    # not searched further
    if any(q in head for q in (b' "', b'\t"')) or (
        data.find(b'"', end) >= 0 and (data.find(b' "', end) >= 0 or data.find(b'\t"', end) >= 0)
    ):
        return None
    tmp = ["c%d" % k for k in range(len(names))]
    try:
        table = pacsv.read_csv(
            pa.py_buffer(data),
            read_options=pacsv.ReadOptions(skip_rows=1, column_names=tmp),
            parse_options=pacsv.ParseOptions(ignore_empty_lines=False),
            convert_options=pacsv.ConvertOptions(
                column_types={c: pa.string() for c in tmp},
                strings_can_be_null=False,
                quoted_strings_can_be_null=False,
            ),
        )
    except (pa.ArrowException, OSError):
        return None
    return names, dict(zip(names, table.columns)), np.arange(table.num_rows, dtype=np.int64) + 2


def _read_generally(path):
    """(names, columns, lines) of any CSV file that pandas reads."""
    try:
        frame = pd.read_csv(
            path, dtype=str, keep_default_na=False, skip_blank_lines=False, skipinitialspace=True
        )
    except (ValueError, OSError, pd.errors.ParserError, UnicodeDecodeError) as exc:
        raise DataImportError(path, [(None, "cannot be read as CSV: %s" % exc)]) from None
    names = [str(c).strip().lower() for c in frame.columns]
    frame = frame.fillna("")  # rows with fewer fields than the header
    columns = {
        name: pa.array(frame.iloc[:, k].to_numpy(dtype=object), type=pa.string())
        for k, name in enumerate(names)
    }
    return names, columns, frame.index.to_numpy() + 2


def _read_csv(path, required):
    """The checker of a CSV file's rows; files that lack a required column, or rows, are refused."""
    if not os.path.isfile(path):
        raise DataImportError(path, [(None, "file not found")])
    names, columns, lines = _read_quickly(path) or _read_generally(path)
    missing = [c for c in required if c not in columns]
    if missing:
        raise DataImportError(
            path, [(1, "missing column(s) %s; the header has %s" % (", ".join(missing), ", ".join(names)))]
        )
    # rows whose fields are all empty are left out (their lines keep their numbers)
    first = next(iter(columns.values()))
    candidates = np.flatnonzero(pc.equal(pc.utf8_trim_whitespace(first), "").to_numpy(zero_copy_only=False))
    if candidates.size:
        blank = np.ones(candidates.size, dtype=bool)
        for col in columns.values():
            part = pc.utf8_trim_whitespace(col.take(pa.array(candidates)))
            blank &= pc.equal(part, "").to_numpy(zero_copy_only=False)
        if blank.any():
            keep = np.ones(len(lines), dtype=bool)
            keep[candidates[blank]] = False
            columns = {k: v.filter(pa.array(keep)) for k, v in columns.items()}
            lines = lines[keep]
    if not len(lines):
        raise DataImportError(path, [(None, "no data rows")])
    return _Checker(path, columns, lines)


class _Labels:
    """Row labels as codes into their distinct values, in order of first appearance."""

    def __init__(self, codes, names):
        self.codes = np.asarray(codes, dtype=np.int64)
        self.names = np.asarray(names, dtype=object)

    @classmethod
    def from_category(cls, codes, values):
        """Labels of codes into `values`, numbered again in order of first appearance."""
        new_codes, used = pd.factorize(codes)
        return cls(new_codes, np.asarray(values, dtype=object)[used])

    def __getitem__(self, i):
        return self.names[self.codes[i]]

    def array(self):
        return self.names[self.codes]

    def rows(self):
        """label -> ascending row numbers."""
        order = np.argsort(self.codes, kind="stable")
        bounds = np.searchsorted(self.codes[order], np.arange(len(self.names) + 1))
        return {u: order[bounds[k] : bounds[k + 1]] for k, u in enumerate(self.names)}


def _targets(chk, store, types=None):
    """Labels of the rows' targets (MARKET.CODE); unknown targets are flagged."""
    m_codes, markets = chk.category("market", upper=True)
    c_codes, codes = chk.category("code", upper=True)
    pair_codes, pairs = pd.factorize(m_codes * len(codes) + c_codes)
    names = [("%s.%s" % (markets[p // len(codes)], codes[p % len(codes)])) for p in pairs]
    labels = _Labels(pair_codes, names)
    known = store.target_table()
    unknown = np.array([u not in known for u in names], dtype=bool)[labels.codes]
    chk.flag(unknown, lambda i: "unknown target %s (import its instrument first)" % labels[i])
    if types:
        wrong = np.array([u in known and known[u]["type"] not in types for u in names], dtype=bool)[labels.codes]
        chk.flag(wrong, lambda i: "target %s is a %s, expected %s" % (labels[i], known[labels[i]]["type"], " or ".join(types)))
    return labels


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
    keys = key_of(merged)
    if not (keys[1:] < keys[:-1]).any():
        return merged
    order = np.argsort(keys, kind="stable")
    return {c: merged[c][order] for c in merged}


def _take(values, rows):
    """values[rows] for ascending rows; a view when they are one run (a file sorted by target)."""
    if rows.size and rows[-1] - rows[0] + 1 == rows.size:
        return values[rows[0] : rows[-1] + 1]
    return values[rows]


# ------------------------------------------------------------------ kinds
def _import_calendar(store, path):
    chk = _read_csv(path, ["date"])
    days = chk.date("date")
    dup = pd.Series(days).duplicated().to_numpy() & (days > 0)
    chk.flag(dup, lambda i: "trading day %d is listed twice" % days[i])
    chk.raise_if_bad()
    merged = np.union1d(store.trading_days(), days)
    store.write_table("calendar", {"date": merged})
    return "%d trading days (%d in the store)" % (days.size, merged.size)


def _import_sessions(store, path):
    chk = _read_csv(path, ["calendar", "open", "close"])
    name = chk.text("calendar")
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
        lambda i: "session close %s is not after open %s" % (chk.cell("close", i), chk.cell("open", i)),
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
    chk = _read_csv(path, ["market", "code", "type", "list_date", "calendar"])
    market = np.array([m.upper() for m in chk.text("market")], dtype=object)
    code = np.array([c.upper() for c in chk.text("code")], dtype=object)
    dotted = np.array(["%s.%s" % (m, c) for m, c in zip(market, code)], dtype=object)
    chk.flag(
        np.array([not m or not c or "." in m + c or "/" in m + c or "\\" in m + c for m, c in zip(market, code)]),
        lambda i: "market %r and code %r must be non-empty and hold no '.', '/' or '\\'" % (market[i], code[i]),
    )
    kind = np.array([k.lower() for k in chk.text("type")], dtype=object)
    chk.flag(~np.isin(kind, list(TYPE_NAMES)), lambda i: "type %r is not one of %s" % (kind[i], ", ".join(TYPE_NAMES)))
    mult = chk.number("multiplier", default=1.0, positive=True)
    move = chk.number("min_move", default=0.01, positive=True)
    listed = chk.date("list_date")
    delisted = chk.date("delist_date", required=False)
    chk.flag((delisted > 0) & (delisted < listed), lambda i: "delist_date %d is before list_date %d" % (delisted[i], listed[i]))
    cal = chk.text("calendar")
    known_cals = set(store.sessions()["calendar"])
    chk.flag(
        np.array([c not in known_cals for c in cal]),
        lambda i: "calendar %r has no sessions in the store (import its sessions first; known: %s)"
        % (cal[i], ", ".join(sorted(known_cals)) or "none"),
    )
    dup = pd.Series(dotted).duplicated().to_numpy()
    chk.flag(dup, lambda i: "target %s is listed twice" % dotted[i])
    chk.raise_if_bad()
    names = chk.text("name") if chk.has("name") else dotted
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
    """Sorted bar-time keys of a calendar's minute grid, or None when the store has no calendar."""
    if calendar_name not in cache:
        cal = store.calendar()
        if cal.days.size == 0 or calendar_name not in cal.sessions_by_name:
            cache[calendar_name] = None
        else:
            times, _ = cal.minute_grid(cal.session_set([calendar_name]), 0, cal.days.size)
            cache[calendar_name] = np.unique(time_keys(times))
    return cache[calendar_name]


def _import_bars(store, path, frequency):
    time_col = "time" if frequency == "min" else "date"
    chk = _read_csv(path, ["market", "code", time_col, "open", "high", "low", "close", "volume"])
    labels = _targets(chk, store)
    groups = labels.rows()
    info = store.target_table()
    cal = store.calendar()
    if frequency == "min":
        times = chk.datetime("time")
        keys = np.where(np.isnan(times), -1, time_keys(np.nan_to_num(times)))
        grids = {}
        off = np.zeros(len(keys), dtype=bool)
        for t, rows in groups.items():
            if t not in info:
                continue
            grid = _grid_keys(store, info[t]["calendar"], grids)
            if grid is not None:
                k = keys[rows]
                on_grid = grid[np.minimum(np.searchsorted(grid, k), grid.size - 1)] == k
                off[rows] = (k >= 0) & ~on_grid
        chk.flag(
            off,
            lambda i: "time %s of %s is not a bar end time of its calendar's trading sessions"
            % (chk.cell("time", i), labels[i]),
        )
    else:
        dates = chk.date("date")
        if cal.days.size:
            chk.flag((dates > 0) & ~np.isin(dates, cal.days), lambda i: "date %d is not a trading day" % dates[i])
        good = dates > 0
        day_nums = np.zeros(len(dates), dtype=np.int64)
        day_nums[good] = int_date_to_datenum_array(dates[good])
        close_sec = np.full(len(dates), 900 * 60, dtype=np.float64)
        for t, rows in groups.items():
            if t in info and info[t]["calendar"] in cal.sessions_by_name:
                close_sec[rows] = cal.session_set([info[t]["calendar"]]).close_seconds
        times = np.where(good, time_values(day_nums, close_sec), np.nan)
        keys = np.where(good, day_nums, -1)
    values = _read_bar_values(chk)
    _flag_order_subset(chk, labels, keys, keys >= 0, time_col)
    chk.raise_if_bad()
    values["time"] = times
    key_of = (lambda d: time_keys(d["time"])) if frequency == "min" else (lambda d: np.floor(d["time"]).astype(np.int64))

    def merged(t, rows):
        new = {c: _take(values[c], rows) for c in BAR_COLUMNS}
        return lambda: _merge_rows(store.read_bars(t, frequency), new, key_of)

    store.write_files([(store.bar_path(t, frequency), "bars", merged(t, rows)) for t, rows in groups.items()])
    return "%d %s bars of %d target(s)" % (chk.n, frequency, len(groups))


def _flag_order_subset(chk, labels, keys, ok, what, strict=True):
    """Flag rows (among `ok`) whose key is not after (strict) or before the previous
    `ok` row of the same target."""
    rows = np.flatnonzero(ok)
    order = rows[np.argsort(labels.codes[rows], kind="stable")]  # per target, in file order
    k = keys[order]
    same = labels.codes[order[1:]] == labels.codes[order[:-1]]
    back = (k[1:] <= k[:-1]) if strict else (k[1:] < k[:-1])
    hit = np.flatnonzero(same & back)
    bad = np.zeros(len(keys), dtype=bool)
    bad[order[hit + 1]] = True
    prev = np.full(len(keys), -1, dtype=np.int64)
    prev[order[hit + 1]] = order[hit]
    chk.flag(
        bad,
        lambda i: "%s %s of %s is %s the one on line %d"
        % (what, chk.cell(what, i), labels[i], "the same as" if keys[i] == keys[prev[i]] else "before",
           chk.lines[prev[i]]),
    )


def _import_daily_table(store, path, table, value_col, types, parse_value):
    chk = _read_csv(path, ["market", "code", "date", value_col])
    labels = _targets(chk, store, types)
    dates = chk.date("date")
    values = parse_value(chk)
    dup = pd.DataFrame({"t": labels.codes, "d": dates}).duplicated().to_numpy()
    chk.flag(dup, lambda i: "%s has two rows for %d" % (labels[i], dates[i]))
    chk.raise_if_bad()
    dotted = labels.array()
    new = pd.DataFrame({"target": dotted, "date": dates, table[1]: values})
    key = pd.Series(dotted) + "|" + pd.Series(dates).astype(str)
    old = store.adjust_factors() if table[0] == "adjust" else store.main_contracts()
    old_key = old["target"] + "|" + old["date"].astype(str)
    old = old[~old_key.isin(set(key)).to_numpy()]
    merged = pd.concat([old, new], ignore_index=True) if len(old) else new
    merged = merged.sort_values(["target", "date"], kind="stable")
    store.write_table(table[0], {c: merged[c].to_numpy() for c in merged})
    return "%d rows of %d target(s)" % (len(new), len(labels.names))


def _import_adjust(store, path):
    return _import_daily_table(
        store, path, ("adjust", "factor"), "factor", None, lambda chk: chk.number("factor", positive=True)
    )


def _import_main(store, path):
    def contracts(chk):
        c = chk.text("contract")
        chk.flag(c == "", lambda i: "contract code is empty")
        return c

    return _import_daily_table(store, path, ("main_contracts", "contract"), "contract", ("future",), contracts)


def _import_factors(store, path):
    chk = _read_csv(path, ["factor", "market", "code", "date", "value"])
    factors = _Labels.from_category(*chk.category("factor"))
    chk.flag(
        np.array([not n or "/" in n or "\\" in n or n.startswith(".") for n in factors.names])[factors.codes],
        lambda i: "factor name %r cannot name a factor" % (factors[i],),
    )
    labels = _targets(chk, store)
    dates = chk.date("date")
    values = chk.number("value", default=np.nan)
    dup = pd.DataFrame({"f": factors.codes, "t": labels.codes, "d": dates}).duplicated().to_numpy()
    chk.flag(dup, lambda i: "factor %s of %s has two rows for %d" % (factors[i], labels[i], dates[i]))
    chk.raise_if_bad()
    dotted = labels.array()

    def merged(fname, rows):
        def make():
            new = pd.DataFrame({"date": dates[rows], "target": dotted[rows], "value": values[rows]})
            old = store.read_factor(fname)
            if old is not None and len(old):
                k_old = old["target"] + "|" + old["date"].astype(str)
                k_new = set(new["target"] + "|" + new["date"].astype(str))
                new = pd.concat([old[~k_old.isin(k_new).to_numpy()], new], ignore_index=True)
            new = new.sort_values(["target", "date"], kind="stable")
            return {c: new[c].to_numpy() for c in new}

        return make

    store.write_files(
        [(store.factor_path(f), "factor", merged(f, rows)) for f, rows in factors.rows().items()]
    )
    return "%d values of %d factor(s)" % (chk.n, len(factors.names))


def _import_ticks(store, path):
    chk = _read_csv(path, ["market", "code", "time", "price", "volume"])
    labels = _targets(chk, store)
    times = chk.datetime("time")
    price = chk.number("price", positive=True)
    volume = chk.number("volume", non_negative=True)
    keys = np.where(np.isnan(times), -1, time_keys(np.nan_to_num(times)))
    _flag_order_subset(chk, labels, keys, keys >= 0, "time", strict=False)
    chk.raise_if_bad()

    def merged(t, rows):
        def make():
            new = {"time": times[rows], "price": price[rows], "volume": volume[rows]}
            old = store.read_ticks(t)
            if old is not None and old["time"].size:
                outside = (old["time"] < new["time"][0]) | (old["time"] > new["time"][-1])
                new = {c: np.concatenate([old[c][outside], new[c]]) for c in TICK_COLUMNS}
                order = np.argsort(new["time"], kind="stable")
                new = {c: new[c][order] for c in TICK_COLUMNS}
            return new

        return make

    groups = labels.rows()
    store.write_files([(store.tick_path(t), "ticks", merged(t, rows)) for t, rows in groups.items()])
    return "%d ticks of %d target(s)" % (chk.n, len(groups))


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
