"""Import of CSV and Parquet files into the bar store (formats: docs/data-format.md).

A file is checked completely before anything is written: every line that breaks
a rule is reported with its line number (up to MAX_REPORTED problems; rows that
break one rule for one target are reported as one group with their count), and
when any line is bad the store is left as it was.  Imported rows are merged into
what the store holds: a row replaces the stored row with the same key (target
and time, target and day, ...).

Vendor files are read as they come: a `symbol` column in the usual forms
(000001.XSHG, 600000.SH, SH600000, sh.600000) or one target for the whole file,
common column names (dt, vol, amount, oi, ...), bar-start stamps, an opening
auction bar and volumes in lots are options of `import_csv`.
"""

import csv
import os
import re

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pacsv
import pyarrow.parquet as pq

from vornix.api.history._bars import combine_by_group
from vornix.api.history._calendar import (
    SECONDS_PER_DAY,
    Calendar,
    SessionSet,
    hhmm_to_minutes,
    in_night_sessions,
    time_keys,
    time_values,
)
from vornix.api.history._store import BAR_COLUMNS, TICK_COLUMNS, TYPE_NAMES
from vornix.tframe.utils.datetimefunc import datenum_array_to_int_date, int_date_to_datenum_array
from vornix.tframe.utils.exceptions import StoreError
from vornix.tframe.utils.textshow import (
    MESSAGE_LINE_CHARS,
    SHOWN_CHARS,
    shown_repr,
    shown_text,
)

MAX_REPORTED = 50
# the most columns a file may have: a kind reads at most about a dozen (aliases
# included), vendor files carry some more that are left alone; a wider header is
# refused before any row is read
MAX_COLUMNS = 256
_MAX_HEADER_BYTES = 1 << 20
_GROUP_LINES = 3  # line numbers named in a grouped problem
_EPOCH_DATENUM = 719529  # day number of 1970-01-01

# lengths in minutes of the base bars a target may have (bars-Nm): the divisors of an hour
MINUTE_SIZES = (1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30, 60)
_MINUTE_KINDS = tuple("bars-%dm" % n for n in MINUTE_SIZES)
KINDS = (("calendar", "sessions", "night-sessions", "instruments") + _MINUTE_KINDS
         + ("bars-1d", "adjust", "actions", "main", "factors", "ticks"))

# options of import_csv and the kinds they apply to ("columns" applies to every kind)
_TARGET_KINDS = _MINUTE_KINDS + ("bars-1d", "ticks", "adjust", "actions", "main", "factors")
OPTION_KINDS = {
    "columns": KINDS,
    "target": _TARGET_KINDS,
    "volume_scale": _MINUTE_KINDS + ("bars-1d", "ticks"),
    "stamp": _MINUTE_KINDS,
    "auction": ("bars-1m",),
    "derive_day": _MINUTE_KINDS,
    "force": ("sessions", "night-sessions"),
}

# exchange names of symbols -> markets of the store
EXCHANGES = {
    "SH": "SH", "XSHG": "SH", "SSE": "SH", "SHSE": "SH",
    "SZ": "SZ", "XSHE": "SZ", "SZSE": "SZ",
    "BJ": "BJ", "BSE": "BJ", "XBSE": "BJ",
    "CFE": "CFE", "CFFEX": "CFE", "CFX": "CFE", "CCFX": "CFE",
    "SHF": "SHF", "SHFE": "SHF", "XSGE": "SHF",
    "DCE": "DCE", "XDCE": "DCE",
    "CZC": "CZC", "CZCE": "CZC", "ZCE": "CZC", "XZCE": "CZC",
    "INE": "INE", "XINE": "INE",
    "GFE": "GFE", "GFEX": "GFE",
}

# other names of the store's columns, tried in this order when a file lacks the column
ALIASES = {
    "time": ("datetime", "dt", "trade_time", "bar_time", "date_time", "timestamp", "date"),
    "date": ("trade_date", "dt", "datetime", "trade_time", "date_time", "day", "time"),
    "volume": ("vol", "volume_traded"),
    "turnover": ("amount", "money", "amt"),
    "open_interest": ("oi", "openinterest", "open_int", "hold", "position"),
    "price": ("last_price", "lastprice", "last"),
    "symbol": ("ts_code", "ticker", "instrument", "order_book_id", "sec_code", "wind_code", "thscode",
               "stock_code", "code"),
    "ex_date": ("ex_dividend_date", "exdate", "ex_right_date", "date"),
    "cash": ("dividend", "cash_dividend", "dividend_per_share"),
    "bonus": ("bonus_shares", "stock_dividend"),
}


class _Options:
    """The options of one import, checked."""

    def __init__(self, kind, columns=None, target=None, volume_scale=None, stamp="end", auction=None,
                 derive_day=False, force=False):
        given = {"columns": columns, "target": target, "volume_scale": volume_scale,
                 "stamp": None if stamp == "end" else stamp, "auction": auction,
                 "derive_day": derive_day or None, "force": force or None}
        wrong = [k for k, v in given.items() if v is not None and kind not in OPTION_KINDS[k]]
        if wrong:
            raise ValueError(
                "option(s) %s do not apply to %s files (%s)"
                % (", ".join(wrong), kind, "; ".join("%s: %s" % (k, ", ".join(OPTION_KINDS[k])) for k in wrong))
            )
        self.columns = parse_column_map(columns)
        self.target = None
        if target is not None:
            self.target = parse_symbol(target)
            if self.target is None:
                raise ValueError("target %r is not a target (MARKET.CODE, CODE.EXCHANGE or EXCHANGE+CODE)"
                                 % (target,))
        try:
            scale = 1.0 if volume_scale is None else float(volume_scale)
        except (TypeError, ValueError):
            scale = np.nan
        if not (np.isfinite(scale) and scale > 0):
            raise ValueError("volume scale must be a number above 0, got %r" % (volume_scale,))
        self.volume_scale = scale
        if stamp not in ("end", "start"):
            raise ValueError("stamp must be 'end' or 'start', got %r" % (stamp,))
        self.stamp = stamp
        if auction not in (None, "fold", "drop"):
            raise ValueError("auction must be 'fold' or 'drop', got %r" % (auction,))
        self.auction = auction
        self.derive_day = bool(derive_day)
        self.force = bool(force)


def parse_column_map(columns):
    """{file column: store column} of 'dt=time,vol=volume' or a mapping (names lower case)."""
    if columns is None or columns == "":
        return {}
    if isinstance(columns, str):
        pairs = []
        for part in columns.split(","):
            if part.strip() == "":
                continue
            if part.count("=") != 1:
                raise ValueError("columns must look like FILE=STORE[,FILE=STORE...], got %r" % (columns,))
            pairs.append(part.split("="))
    else:
        pairs = list(dict(columns).items())
    out = {}
    for a, b in pairs:
        a, b = str(a).strip().lower(), str(b).strip().lower()
        if not a or not b:
            raise ValueError("columns must look like FILE=STORE[,FILE=STORE...], got %r" % (columns,))
        out[a] = b
    if len(set(out.values())) != len(out):
        raise ValueError("columns names a store column twice: %r" % (columns,))
    return out


_PREFIXED = re.compile(r"([A-Z]+)(\d[0-9A-Z]*)")
_SUFFIXED = re.compile(r"(\d+)([A-Z]+)")


def parse_symbol(text):
    """'MARKET.CODE' of a symbol (000001.XSHG, 600000.SH, SH600000, sh.600000, SHF.RB2305,
    RB2305.SHFE, ...), or None when it names no target."""
    s = str(text).strip().upper()
    if not s or "/" in s or "\\" in s:
        return None
    if "." in s:
        parts = s.split(".")
        if len(parts) != 2 or not parts[0] or not parts[1]:
            return None
        a, b = parts
        if b in EXCHANGES and a not in EXCHANGES:
            return "%s.%s" % (EXCHANGES[b], a)
        if a in EXCHANGES:
            return "%s.%s" % (EXCHANGES[a], b)
        return "%s.%s" % (a, b)  # the store's own form, markets of other names
    m = _PREFIXED.fullmatch(s)
    if m and m.group(1) in EXCHANGES:
        return "%s.%s" % (EXCHANGES[m.group(1)], m.group(2))
    m = _SUFFIXED.fullmatch(s)
    if m and m.group(2) in EXCHANGES:
        return "%s.%s" % (EXCHANGES[m.group(2)], m.group(1))
    return None


class _Grouped(str):
    """The message of a group of rows (it names their lines itself)."""


class DataImportError(ValueError):
    """A file that cannot be imported; `problems` lists (line, message) pairs (line None:
    the file as a whole; a group of rows is listed at its first line)."""

    def __init__(self, path, problems, total=None, more=0):
        self.path = path
        path = shown_text(path)
        # one line each: a value's line breaks and escape sequences are shown escaped
        problems = [(ln, type(msg)(shown_text(msg, MESSAGE_LINE_CHARS // 2))) for ln, msg in problems]
        self.problems = list(problems)
        self.total = len(self.problems) if total is None else total
        shown = self.problems[:MAX_REPORTED]
        if not any(ln for ln, _ in shown):
            super().__init__("%s: %s; nothing imported" % (path, "; ".join(m for _, m in shown)))
            return
        lines = ["%s: %d bad line(s), nothing imported" % (path, self.total)]
        lines += ["  line %s: %s" % (ln, msg) if ln and not isinstance(msg, _Grouped) else "  %s" % msg
                  for ln, msg in shown]
        if len(self.problems) + more > len(shown):
            lines.append("  ... and %d more problem(s)" % (len(self.problems) + more - len(shown)))
        super().__init__("\n".join(lines))


def _line_list(lines):
    shown = ", ".join(str(int(x)) for x in lines[:_GROUP_LINES])
    return shown + (", ..." if len(lines) > _GROUP_LINES else "")


class _Checker:
    """The rows of one file and the bad lines found in them.

    Columns are pyarrow arrays, chunked or not, as read: text as in the file (blanks
    around values kept; the checks strip them), or typed columns of a Parquet file.
    `lines` holds the file line of every row."""

    def __init__(self, path, columns, lines, options=None):
        self.path = path
        self.columns = columns
        self.lines = lines
        self.n = len(lines)
        self.options = options or _Options("calendar")
        self.problems = []
        self.notes = []  # (None, message): about the file as a whole, shown first
        self.unlisted = 0  # problems found beyond those given a message
        self.bad = np.zeros(self.n, dtype=bool)
        self.unit = "line"  # what `lines` number: lines of a file, or rows of a stored table

    def flag(self, mask, message, group=None, summary=None):
        """Flag the rows in `mask`; `message(i)` describes row i (called for reported rows
        only).  With `group` (a code per row), the rows of one group are reported as one
        problem when there are several: `summary(i)` (default `message(i)`) of its first
        row i, their count and first lines."""
        mask = np.asarray(mask, dtype=bool)
        rows = np.flatnonzero(mask)
        if not rows.size:
            return
        self.bad |= mask
        budget = MAX_REPORTED * 4
        if group is not None:
            g = np.asarray(group)[rows]
            order = np.argsort(g, kind="stable")
            cuts = np.flatnonzero(g[order][1:] != g[order][:-1]) + 1
            singles = []
            for part in np.split(order, cuts):
                members = rows[part]
                if members.size == 1:
                    singles.append(members[0])
                elif budget > 0:
                    budget -= 1
                    i = members[0]
                    text = (summary or message)(i)
                    self.problems.append((int(self.lines[i]), _Grouped(
                        "%s: %d rows (%ss %s)" % (text, members.size, self.unit,
                                                  _line_list(self.lines[members])))))
                else:
                    self.unlisted += 1
            rows = np.sort(np.asarray(singles, dtype=np.int64))
        for i in rows[:budget]:
            self.problems.append((int(self.lines[i]), message(i)))
        self.unlisted += max(rows.size - budget, 0)

    def note(self, message):
        self.notes.append((None, message))

    def raise_if_bad(self):
        if self.problems:
            probs = self.notes + sorted(self.problems, key=lambda p: p[0])
            raise DataImportError(self.path, probs, total=int(self.bad.sum()), more=self.unlisted)

    def has(self, name):
        return name in self.columns

    def release(self, *names):
        """Let go of columns whose values are parsed and checked (their text is not
        needed for messages any more); no names: all of them."""
        for name in names or list(self.columns):
            self.columns.pop(name, None)
        pa.default_memory_pool().release_unused()

    def _column(self, name):
        """A column as text ("" for a missing column or field)."""
        col = self.columns.get(name)
        return pa.array([""] * self.n, type=pa.string()) if col is None else _as_text(col)

    def text(self, name):
        """Stripped values of a column as an object array ("" for a missing column)."""
        return pc.utf8_trim_whitespace(self._column(name)).to_numpy(zero_copy_only=False)

    def cell(self, name, i):
        """Stripped value of one field for messages, cut to SHOWN_CHARS characters
        (control characters are escaped where the message is made)."""
        col = self.columns.get(name)
        if col is None:
            return ""
        value = col[int(i)].as_py()
        text = "" if value is None else str(value).strip()
        if len(text) > SHOWN_CHARS:
            text = "%s... (%d more characters)" % (text[:SHOWN_CHARS], len(text) - SHOWN_CHARS)
        return text

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
        if default is not None:  # an empty field holds the default, which is not checked
            ok &= ~empty
        if positive:
            with np.errstate(invalid="ignore"):
                self.flag(ok & ~(values > 0), lambda i: "%s %s must be above 0" % (name, self.cell(name, i)))
        if non_negative:
            with np.errstate(invalid="ignore"):
                self.flag(ok & (values < 0), lambda i: "%s %s is negative" % (name, self.cell(name, i)))
        return values

    def date(self, name, required=True, with_time=False):
        """yyyymmdd or YYYY-MM-DD -> int64 yyyymmdd (0 for an empty optional field).
        `with_time`: a time of day may follow ('2024-01-02 15:00:00'); returns (days,
        seconds of the day, -1 where none is given).

        A file holds few distinct days: each is parsed once."""
        codes, raw = self.category(name)
        raw = pd.Series(raw, dtype=object)
        pattern = r"(\d{4}-?\d{2}-?\d{2})" + (r"(?:[ T](\d{1,2}):(\d{2})(?::(\d{2})(?:\.0*)?)?)?" if with_time else "")
        parts = raw.str.extract("^" + pattern + "$") if len(raw) else pd.DataFrame(index=raw.index, columns=range(4))
        digits = parts[0].str.replace("-", "", regex=False)
        dashes = parts[0].str.count("-")
        digits = digits.where(digits.str.fullmatch(r"\d{8}") & dashes.isin([0, 2]), None)
        parsed = pd.to_datetime(digits, format="%Y%m%d", errors="coerce")
        good = ~parsed.isna().to_numpy()
        seconds = np.full(len(raw), -1, dtype=np.int64)
        if with_time:
            hms = parts[[1, 2, 3]].fillna("0").to_numpy(dtype=object)
            timed = parts[1].notna().to_numpy()
            if timed.any():
                h, m, sec = (np.array([int(x) for x in hms[timed, k]]) for k in range(3))
                seconds[timed] = h * 3600 + m * 60 + sec
                good[timed] &= (h < 24) & (m < 60) & (sec < 60)
        bad = ~good
        if not required:
            bad &= (raw != "").to_numpy()
        out = np.zeros(len(raw), dtype=np.int64)
        out[good] = digits.to_numpy()[good].astype(np.int64)
        raw_vals = raw.to_numpy(dtype=object)
        self.flag(
            bad[codes],
            lambda i: "%s %r is not a date (yyyymmdd or YYYY-MM-DD%s)"
            % (name, raw_vals[codes[i]], ", with the session close time" if with_time else ""),
        )
        if with_time:
            return out[codes], np.where(good, seconds, -1)[codes]
        return out[codes]

    def datetime(self, name, shift=0):
        """'YYYY-MM-DD HH:MM[:SS[.fff]]' (or a Parquet timestamp) -> time-line values,
        `shift` seconds later (NaN where bad)."""
        col = self.columns[name]
        if pa.types.is_timestamp(col.type) or pa.types.is_date(col.type):
            us, bad = _timestamp_us(col)
        else:
            us, sure = _parse_times(col)
            unsure = np.flatnonzero(~sure)
            bad = np.zeros(self.n, dtype=bool)
            if unsure.size:
                # what the quick parse does not vouch for is decided field by field
                us[unsure], bad[unsure] = _parse_times_slowly(col.take(pa.array(unsure)))
        self.flag(bad, lambda i: "%s %r is not a time (YYYY-MM-DD HH:MM:SS)" % (name, self.cell(name, i)))
        us[bad] = 0
        if shift:
            us += int(shift) * 1_000_000
        day, micro = np.divmod(us, 86_400_000_000)
        del us
        # time_values(day, micro / 1e6) computed in place: the same bits, fewer copies
        times = micro.astype(np.float64)
        del micro
        times /= 1e6
        times /= float(SECONDS_PER_DAY)
        day += _EPOCH_DATENUM
        times += day
        times[bad] = np.nan
        return times


def _as_text(col):
    """A column as a string array (typed Parquet columns cast, nulls empty)."""
    if pa.types.is_string(col.type):
        return col
    if pa.types.is_dictionary(col.type):
        col = col.cast(col.type.value_type)
        if pa.types.is_string(col.type):
            return col.fill_null("")
    return pc.cast(col, pa.string()).fill_null("")


def _timestamp_us(col):
    """(microseconds since 1970 as on the wall clock, null mask) of a timestamp or date column."""
    if pa.types.is_timestamp(col.type) and col.type.tz is not None:
        # a zoned time counts as the wall-clock time of its zone
        col = pc.local_timestamp(col)
    col = col.cast(pa.timestamp("us"))
    bad = col.is_null().to_numpy(zero_copy_only=False)
    us = col.cast(pa.int64()).fill_null(0).to_numpy(zero_copy_only=False).astype(np.int64, copy=True)
    return us, bad


def _parse_numbers(col):
    """(float64 values, empty mask) of a column; NaN where a field is empty or not a number."""
    if not (pa.types.is_string(col.type) or pa.types.is_large_string(col.type)):
        if pa.types.is_integer(col.type) or pa.types.is_floating(col.type) or pa.types.is_decimal(col.type):
            empty = col.is_null().to_numpy(zero_copy_only=False)
            values = pc.cast(col, pa.float64()).fill_null(np.nan).to_numpy(zero_copy_only=False)
            return values + 0.0, empty
        col = _as_text(col)
    n = len(col)
    values, empty = np.full(n, np.nan), np.zeros(n, dtype=bool)
    start = 0
    try:  # the usual file: every field a plain number or empty; piece by piece, few copies
        for chunk in _chunks(col):
            stop = start + len(chunk)
            text = pc.utf8_trim_whitespace(chunk)
            e = pc.equal(text, "").to_numpy(zero_copy_only=False)
            empty[start:stop] = e
            if e.any():
                values[start:stop][~e] = pc.cast(text.filter(pa.array(~e)), pa.float64()).to_numpy(
                    zero_copy_only=False)
            else:
                values[start:stop] = pc.cast(text, pa.float64()).to_numpy(zero_copy_only=False)
            start = stop
    except pa.ArrowInvalid:  # some field is not a number: field by field
        text = pc.utf8_trim_whitespace(col)
        empty = pc.equal(text, "").to_numpy(zero_copy_only=False)
        raw = text.to_numpy(zero_copy_only=False).astype(object)
        raw[empty] = np.nan
        values = pd.to_numeric(pd.Series(raw, dtype=object), errors="coerce").to_numpy(dtype=np.float64, copy=True)
    np.add(values, 0.0, out=values)  # no negative zeros
    return values, empty


def _chunks(col):
    return col.chunks if isinstance(col, pa.ChunkedArray) else [col]


_TIME_PATTERN = r"\d{4}-\d{2}-\d{2}[ T]\d{1,2}:\d{2}(:\d{2}(\.\d+)?)?"
# datetime64[ns] bounds: times outside are left to the field-by-field parse
_US_RANGE = (np.datetime64("1677-09-22", "us").astype(np.int64), np.datetime64("2262-04-10", "us").astype(np.int64))


def _parse_times(col):
    """(microseconds since 1970, sure): the quick parse of a time column; rows not
    `sure` are left to _parse_times_slowly."""
    n = len(col)
    us = np.zeros(n, dtype=np.int64)
    sure = np.zeros(n, dtype=bool)
    start = 0
    for chunk in _chunks(col):  # piece by piece: few copies of the text
        stop = start + len(chunk)
        text = pc.utf8_trim_whitespace(chunk)
        ok = pc.match_substring_regex(text, "^" + _TIME_PATTERN + "$").to_numpy(zero_copy_only=False)
        if ok.any():
            try:
                stamps = pc.cast(text if ok.all() else text.filter(pa.array(ok)), pa.timestamp("us"))
            except pa.ArrowInvalid:  # some field is not a valid time: this piece field by field
                start = stop
                continue
            us[start:stop][ok] = stamps.cast(pa.int64()).to_numpy(zero_copy_only=False)
            sure[start:stop] = ok
        start = stop
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


_SCAN_BYTES = 1 << 24


def _first_line(fh, limit=None):
    """(first line without its end, offset after it) of an open binary file; with
    `limit`, None for a first line longer than that many bytes."""
    head = b""
    while True:
        part = fh.read(1 << 16)
        head += part
        end = head.find(b"\n")
        if end >= 0:
            return head[:end], end + 1
        if not part:
            return head, len(head)
        if limit is not None and len(head) > limit:
            return None


def _check_width(path, parquet):
    """Refuse a file whose header has more than MAX_COLUMNS columns, before its rows
    are read (a very wide header would take minutes to read)."""
    if parquet:
        try:
            count = len(pq.read_schema(path).names)
        except (pa.ArrowException, OSError) as exc:
            raise DataImportError(path, [(None, "cannot be read as Parquet: %s" % exc)]) from None
    else:
        try:
            with open(path, "rb") as fh:
                first = _first_line(fh, _MAX_HEADER_BYTES)
        except OSError as exc:
            raise DataImportError(path, [(None, "cannot be read: %s" % exc)]) from None
        if first is None:
            raise DataImportError(path, [(1, "the header line is longer than %d bytes: not a CSV header"
                                          % _MAX_HEADER_BYTES)])
        try:
            count = len(next(csv.reader([first[0].decode("utf-8-sig", "replace")]), []))
        except csv.Error:
            return  # left to the readers, which report it
    if count > MAX_COLUMNS:
        raise DataImportError(path, [(1, "the header has %d columns, more than the %d a file may have "
                                      "(a kind reads at most a dozen)" % (count, MAX_COLUMNS))])


def _quoted_after_blank(fh, start):
    """Whether the file from `start` on holds a quote after a blank (read in pieces:
    the file is never held whole)."""
    fh.seek(start)
    last = b""
    while True:
        part = fh.read(_SCAN_BYTES)
        if not part:
            return False
        if b'"' in part or last == b'"':
            piece = last + part
            if b' "' in piece or b'\t"' in piece:
                return True
        last = part[-1:]


def _read_quickly(path):
    """(names, columns, lines) of a regular CSV file read by pyarrow, or None for a
    file that the general reader must read (rows of another length, blank lines,
    repeated column names, quotes after blanks, text that is not UTF-8, ...)."""
    try:
        with open(path, "rb") as fh:
            head, body = _first_line(fh)
            header = next(csv.reader([head.decode("utf-8-sig").rstrip("\r")]), None)
            # the general reader takes a quote after blanks as quoting
            if header and (any(q in head for q in (b' "', b'\t"')) or _quoted_after_blank(fh, body)):
                return None
    except (OSError, UnicodeDecodeError, csv.Error):
        return None
    if not header:
        return None
    names = [str(c).strip().lower() for c in header]
    if len(set(names)) != len(names):
        return None
    tmp = ["c%d" % k for k in range(len(names))]
    try:
        table = pacsv.read_csv(
            path,
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


def _is_parquet(path):
    if os.path.splitext(path)[1].lower() in (".parquet", ".pq", ".parq"):
        return True
    try:
        with open(path, "rb") as fh:
            return fh.read(4) == b"PAR1"
    except OSError:
        return False


def _read_parquet(path):
    """(names, columns, lines) of a Parquet file; typed columns are kept (row k counts as
    line k + 2, as if the file were CSV with a header)."""
    try:
        table = pq.read_table(path)
    except (pa.ArrowException, OSError) as exc:
        raise DataImportError(path, [(None, "cannot be read as Parquet: %s" % exc)]) from None
    names = [str(c).strip().lower() for c in table.column_names]
    if len(set(names)) != len(names):
        raise DataImportError(path, [(1, "column names repeat: %s" % shown_text(", ".join(names)))])
    columns = {}
    for name, col in zip(names, table.columns):
        t = col.type
        if pa.types.is_dictionary(t):
            col = col.cast(t.value_type)
            t = col.type
        if pa.types.is_large_string(t):
            col = col.cast(pa.string())
        elif pa.types.is_string(t):
            col = col.fill_null("")
        elif not (pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_decimal(t)
                  or pa.types.is_timestamp(t) or pa.types.is_date(t)):
            col = _as_text(col)
        columns[name] = col
    return names, columns, np.arange(table.num_rows, dtype=np.int64) + 2


def _rename(path, names, columns, options, wanted):
    """Columns under the store's names: the options' column map first, then the other
    names (ALIASES) of every `wanted` column the file lacks."""
    columns = dict(columns)
    mapped = options.columns if options is not None else {}
    absent = [a for a in mapped if a not in columns]
    if absent:
        raise DataImportError(
            path, [(1, "column(s) %s given in the column map are not in the file; the header has %s"
                    % (shown_text(", ".join(absent)), shown_text(", ".join(names))))])
    taken = {b: columns[a] for a, b in mapped.items()}
    for a in mapped:
        del columns[a]
    columns.update(taken)  # a column of the file under a mapped name gives way
    for field in wanted:
        if field in columns:
            continue
        for alias in ALIASES.get(field, ()):
            if alias in columns and alias not in wanted and alias not in taken:
                columns[field] = columns.pop(alias)
                break
    return columns


def _read_csv(path, required, options=None, optional=()):
    """The checker of a file's rows (CSV, or Parquet by extension or content); files that
    lack a required column, or rows, are refused."""
    if not os.path.isfile(path):
        raise DataImportError(path, [(None, "file not found")])
    parquet = _is_parquet(path)
    _check_width(path, parquet)
    names, columns, lines = _read_parquet(path) if parquet else (_read_quickly(path) or _read_generally(path))
    columns = _rename(path, names, columns, options, list(required) + [c for c in optional if c not in required])
    missing = [c for c in required if c not in columns]
    if missing:
        raise DataImportError(
            path, [(1, "missing column(s) %s; the header has %s" % (", ".join(missing), shown_text(", ".join(names))))]
        )
    # rows whose fields are all empty are left out (their lines keep their numbers)
    first = next(iter(columns.values()), None)
    if first is not None and not parquet:
        candidates = np.flatnonzero(pc.equal(pc.utf8_trim_whitespace(first), "").to_numpy(zero_copy_only=False))
    else:
        candidates = np.zeros(0, dtype=np.int64)
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
    return _Checker(path, columns, lines, options)


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


def _target_labels(chk):
    """Labels of the rows' targets (MARKET.CODE) from the target option, the market and
    code columns or a symbol column (a code column without a market column counts as
    one); symbols that name no target are flagged."""
    target = chk.options.target
    if target is not None:
        return _Labels(np.zeros(chk.n, dtype=np.int64), [target])
    if chk.has("market") and chk.has("code"):
        m_codes, markets = chk.category("market", upper=True)
        c_codes, codes = chk.category("code", upper=True)
        pair_codes, pairs = pd.factorize(m_codes * len(codes) + c_codes)
        names = [("%s.%s" % (markets[p // len(codes)], codes[p % len(codes)])) for p in pairs]
        return _Labels(pair_codes, names)
    column = "symbol" if chk.has("symbol") else "code" if chk.has("code") and not chk.has("market") else None
    if column is None:
        raise DataImportError(chk.path, [(1, "missing column(s): the target is given by market and code, or by "
                                             "symbol (or by the target option for a file of one target); the "
                                             "header has %s" % ", ".join(chk.columns))])
    codes, raw = chk.category(column, upper=True)
    parsed = [parse_symbol(v) for v in raw]
    # several spellings of one target are one target
    name_codes, names = pd.factorize(np.array([p if p is not None else "?" + v for p, v in zip(parsed, raw)],
                                              dtype=object))
    labels = _Labels.from_category(name_codes[codes], names)
    bad = np.array([n.startswith("?") for n in labels.names], dtype=bool)[labels.codes]
    chk.flag(bad, lambda i: "%s %r names no target (MARKET.CODE, CODE.EXCHANGE or EXCHANGE+CODE with a known "
                            "exchange)" % (column, chk.cell(column, i)), group=labels.codes)
    return labels


def _targets(chk, store, types=None):
    """Labels of the rows' targets (MARKET.CODE); unknown targets are flagged."""
    labels = _target_labels(chk)
    names = labels.names
    known = store.target_table()
    unknown = np.array([u not in known and not u.startswith("?") for u in names], dtype=bool)[labels.codes]
    chk.flag(unknown, lambda i: "unknown target %s (import its instrument first)" % labels[i],
             group=labels.codes, summary=lambda i: "unknown target %s" % labels[i])
    if types:
        wrong = np.array([u in known and known[u]["type"] not in types for u in names], dtype=bool)[labels.codes]
        chk.flag(wrong, lambda i: "target %s is a %s, expected %s" % (labels[i], known[labels[i]]["type"], " or ".join(types)),
                 group=labels.codes)
    chk.release("market", "code", "symbol")
    return labels


def _check_prices(chk, v):
    o, h, lo, c = v["open"], v["high"], v["low"], v["close"]
    with np.errstate(invalid="ignore"):
        chk.flag(h < np.maximum(o, c), lambda i: "high %g is below open %g or close %g" % (h[i], o[i], c[i]))
        chk.flag(lo > np.minimum(o, c), lambda i: "low %g is above open %g or close %g" % (lo[i], o[i], c[i]))


def _read_bar_values(chk):
    """The bar fields of the rows (volumes scaled), checked; their text columns are let
    go of once parsed, which keeps the memory of a large file low."""
    values = {}
    for f in ("open", "high", "low", "close"):
        values[f] = chk.number(f, positive=True)
        chk.columns.pop(f, None)
    values["volume"] = chk.number("volume", non_negative=True)
    if chk.options.volume_scale != 1:
        values["volume"] *= chk.options.volume_scale
    values["turnover"] = chk.number("turnover", default=0.0, non_negative=True)
    values["open_interest"] = chk.number("open_interest", default=0.0, non_negative=True)
    chk.release("volume", "turnover", "open_interest")
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
def _import_calendar(store, path, opts):
    chk = _read_csv(path, ["date"], opts)
    days = chk.date("date")
    dup = pd.Series(days).duplicated().to_numpy() & (days > 0)
    chk.flag(dup, lambda i: "trading day %d is listed twice" % days[i])
    chk.raise_if_bad()
    merged = np.union1d(store.trading_days(), days)
    store.write_table("calendar", {"date": merged})
    return "%d trading days (%d in the store)" % (days.size, merged.size)


def _hhmm(minutes):
    return "%02d:%02d" % (minutes // 60, minutes % 60)


def _import_sessions(store, path, opts):
    chk = _read_csv(path, ["calendar", "open", "close"], opts, ["day_offset"])
    name = chk.text("calendar")
    chk.flag(name == "", lambda i: "calendar name is empty")
    minutes = {}
    parsed = np.ones(chk.n, dtype=bool)
    for col in ("open", "close"):
        raw = chk.text(col)
        vals = np.zeros(len(raw), dtype=np.int64)
        bad = np.zeros(len(raw), dtype=bool)
        for i, text in enumerate(raw):
            try:
                vals[i] = hhmm_to_minutes(text)
            except ValueError:
                bad[i] = True
        chk.flag(bad, lambda i, raw=raw, col=col: "%s %r is not a time of day HH:MM (or HH:MM:00)" % (col, raw[i]))
        minutes[col] = vals
        parsed &= ~bad
    offset = chk.number("day_offset", default=0.0)
    chk.flag(~np.isin(offset, (0, -1)), lambda i: "day_offset %g must be 0 or -1" % offset[i])
    chk.flag(
        parsed & (minutes["close"] <= minutes["open"]),
        lambda i: "session close %s is not after open %s%s" % (
            chk.cell("close", i), chk.cell("open", i),
            "; a session past midnight closes after 24:00, such as 26:30 for 02:30 of the next morning"
            if offset[i] == -1 else ""),
    )
    chk.raise_if_bad()
    new = pd.DataFrame(
        {"calendar": name, "open": minutes["open"], "close": minutes["close"], "day_offset": offset.astype(np.int64)}
    )
    info = store.target_table()
    for cal, part in new.groupby("calendar"):
        # the base bars of the calendar's targets must still fill every session
        steps = {1} | {store.minute_base(t) for t, row in info.items() if row["calendar"] == cal}
        try:
            for step in sorted(steps):
                SessionSet(zip(part["open"], part["close"], part["day_offset"]), step=step)
        except Exception as exc:  # overlapping or invalid sets
            raise DataImportError(path, [(None, "sessions of calendar %s: %s%s" % (
                cal, exc, "" if step == 1 else " (its targets have %d-minute base bars)" % step))]) from None
    if not opts.force:
        old_cal = store.calendar()
        by_name = dict(old_cal.sessions_by_name)
        for cal, part in new.groupby("calendar"):
            by_name[cal] = tuple(zip(part["open"], part["close"], part["day_offset"]))
        stranded = _stranded_bars(store, Calendar(old_cal.days, by_name, old_cal.nights), set(new["calendar"]))
        if stranded:
            raise DataImportError(path, [(None, (
                "the new sessions of calendar %s leave %d stored minute bar(s) outside them, which would no "
                "longer be served (%s); import with --force (force=True) to replace the sessions all the same"
            ) % (cal, sum(counts.values()), ", ".join("%s: %d" % kv for kv in counts.items())))
                for cal, counts in stranded.items()])
    old = store.sessions()
    old = old[~old["calendar"].isin(set(name))]
    merged = pd.concat([old, new], ignore_index=True) if len(old) else new
    store.write_table("sessions", {c: merged[c].to_numpy() for c in merged})
    return "%d sessions of %d calendar(s)" % (len(new), new["calendar"].nunique())


def _served_minutes(cal, name, step=1):
    """A test of which base-bar keys a calendar's sessions serve: on its grid of
    `step`-minute bars over the store's trading days, or by time of day when the
    store has none."""
    sset = cal.session_set([name], step)
    if cal.days.size:
        times, _ = cal.minute_grid(sset, 0, cal.days.size)
        grid = np.unique(time_keys(times))
        return lambda k: grid[np.minimum(np.searchsorted(grid, k), grid.size - 1)] == k
    of_day = np.unique(sset.minutes % 1440 * 60)
    return lambda k: np.isin(k % 86400, of_day)


def _stranded_bars(store, new_cal, names):
    """{calendar: {target: count}} of the stored base bars of the calendars `names`
    that the store's calendar serves and the calendar `new_cal` would not."""
    old_cal = store.calendar()
    info = store.target_table()
    out = {}
    for cal in sorted(names):
        targets = [t for t, row in info.items() if row["calendar"] == cal]
        if cal not in old_cal.sessions_by_name or not targets:
            continue
        tests = {}
        for t in targets:
            bars = store.read_bars(t, "min")
            if bars is None or not bars["time"].size:
                continue
            step = store.minute_base(t)
            if step not in tests:
                tests[step] = (_served_minutes(old_cal, cal, step), _served_minutes(new_cal, cal, step))
            served_now, served_then = tests[step]
            keys = time_keys(bars["time"])
            n = int((served_now(keys) & ~served_then(keys)).sum())
            if n:
                out.setdefault(cal, {})[t] = n
    return out


def _import_nights(store, path, opts):
    """Night-session overrides: whether a night session precedes a trading day of a
    calendar (night 1) or not (night 0), against the holiday rule."""
    chk = _read_csv(path, ["calendar", "date", "night"], opts)
    name = chk.text("calendar")
    cal = store.calendar()
    sessions = cal.sessions_by_name
    codes = pd.factorize(name)[0]
    chk.flag(name == "", lambda i: "calendar name is empty")
    known = np.array([n in sessions for n in name], dtype=bool)
    chk.flag((name != "") & ~known,
             lambda i: "calendar %r has no sessions in the store (import its sessions first; known: %s)"
             % (name[i], ", ".join(sorted(sessions)) or "none"), group=codes)
    has_night = np.array([n in sessions and any(int(d) == -1 for _, _, d in sessions[n]) for n in name], dtype=bool)
    chk.flag(known & ~has_night, lambda i: "calendar %s has no night session (day_offset -1)" % name[i], group=codes)
    dates = chk.date("date")
    if cal.days.size:
        chk.flag((dates > 0) & ~np.isin(dates, cal.days), lambda i: "date %d is not a trading day" % dates[i])
    night = chk.number("night")
    chk.flag(np.isfinite(night) & ~np.isin(night, (0, 1)), lambda i: "night %g must be 0 or 1" % night[i])
    dup = pd.DataFrame({"c": codes, "d": dates}).duplicated().to_numpy() & (dates > 0)
    chk.flag(dup, lambda i: "calendar %s has two rows for %d" % (name[i], dates[i]))
    chk.raise_if_bad()
    new = pd.DataFrame({"calendar": name, "date": dates, "night": night.astype(np.int64)})
    old = store.night_overrides()
    old_key = old["calendar"] + "|" + old["date"].astype(str)
    old = old[~old_key.isin(set(new["calendar"] + "|" + new["date"].astype(str))).to_numpy()]
    merged = pd.concat([old, new], ignore_index=True) if len(old) else new
    merged = merged.sort_values(["calendar", "date"], kind="stable")
    if not opts.force:
        nights = {}
        for c, d, f in zip(merged["calendar"], merged["date"], merged["night"]):
            nights.setdefault(c, {})[int(d)] = int(f)
        stranded = _stranded_bars(store, Calendar(cal.days, sessions, nights), set(new["calendar"]))
        if stranded:
            raise DataImportError(path, [(None, (
                "the overrides leave %d stored minute bar(s) of calendar %s outside its night sessions, which "
                "would no longer be served (%s); import with --force (force=True) to store them all the same"
            ) % (sum(counts.values()), c, ", ".join("%s: %d" % kv for kv in counts.items())))
                for c, counts in stranded.items()])
    store.write_table("nights", {c: merged[c].to_numpy() for c in merged})
    return "%d night-session days of %d calendar(s) (%d with a night session, %d without)" % (
        len(new), new["calendar"].nunique(), int((new["night"] == 1).sum()), int((new["night"] == 0).sum()))


def _import_instruments(store, path, opts):
    chk = _read_csv(path, ["type", "list_date", "calendar"], opts,
                    ["market", "code", "symbol", "st", "limit_pct", "margin_rate"])
    if chk.has("market") and chk.has("code"):
        market = np.array([m.upper() for m in chk.text("market")], dtype=object)
        code = np.array([c.upper() for c in chk.text("code")], dtype=object)
    else:  # a symbol column
        labels = _target_labels(chk)
        pairs = [n.split(".", 1) if not n.startswith("?") else ("", n) for n in labels.array()]
        market = np.array([m for m, _ in pairs], dtype=object)
        code = np.array([c for _, c in pairs], dtype=object)
    dotted = np.array(["%s.%s" % (m, c) for m, c in zip(market, code)], dtype=object)
    chk.flag(
        np.array([not m or not c or "." in m + c or "/" in m + c or "\\" in m + c for m, c in zip(market, code)])
        & ~chk.bad,
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
    st = chk.text("st") if chk.has("st") else np.full(chk.n, "", dtype=object)
    st_flag = np.array([v.lower() in ("1", "true", "yes", "y", "st") for v in st], dtype=bool)
    chk.flag(np.array([v.lower() not in ("", "0", "false", "no", "n", "1", "true", "yes", "y", "st")
                       for v in st], dtype=bool),
             lambda i: "st %r must be 1/0, true/false or empty" % (st[i],))
    limit = chk.number("limit_pct", default=np.nan)
    with np.errstate(invalid="ignore"):
        chk.flag((limit <= 0) | (limit >= 1),
                 lambda i: "limit_pct %g must be a fraction above 0 and below 1 (0.1 for 10%%)" % limit[i])
    margin = chk.number("margin_rate", default=np.nan, positive=True)
    with np.errstate(invalid="ignore"):
        chk.flag(margin > 1, lambda i: "margin_rate %g must be a fraction not above 1 (0.1 for 10%%)"
                 % margin[i])
        chk.flag((margin > 0) & (kind != "future"),
                 lambda i: "margin_rate is for futures, %s is a %s" % (dotted[i], kind[i]))
    chk.raise_if_bad()
    names = chk.text("name") if chk.has("name") else dotted
    new = pd.DataFrame(
        {"market": market, "code": code, "type": kind, "multiplier": mult, "min_move": move,
         "list_date": listed, "delist_date": delisted, "calendar": cal, "name": names,
         "st": st_flag, "limit_pct": limit, "margin_rate": margin}
    )
    old = store.instruments()
    old_dotted = (old["market"] + "." + old["code"]).str.upper()
    old = old[~old_dotted.isin(set(dotted)).to_numpy()]
    merged = pd.concat([old, new], ignore_index=True) if len(old) else new
    store.write_table("instruments", {c: merged[c].to_numpy() for c in merged})
    return "%d instruments (%d in the store)" % (len(new), len(merged))


class _Grid:
    """The grid of `step`-minute bars of one calendar over the store's trading days:
    sorted bar-time keys and the trading day (yyyymmdd) of each (both None when the
    store has no trading days), the first open of a day and the session opens and
    closes."""

    def __init__(self, cal, name, step=1):
        sset = cal.session_set([name], step)
        self.step = step
        self.keys = self.days = None
        if cal.days.size:
            times, day_pos = cal.minute_grid(sset, 0, cal.days.size)
            keys = time_keys(times)
            order = np.argsort(keys, kind="stable")
            self.keys = keys[order]
            self.days = cal.days[day_pos.astype(np.int64)[order]]
        day = [o for o, _, d in sset.sessions if d == 0]
        self.first_open = min(day) if day else None
        self.opens = {o % 1440 for o, _, _ in sset.sessions}
        self.closes = {c % 1440 for _, c, _ in sset.sessions}

    def find(self, k):
        """(on the grid, trading day or 0) of keys."""
        pos = np.minimum(np.searchsorted(self.keys, k), self.keys.size - 1)
        on = self.keys[pos] == k
        return on, np.where(on, self.days[pos], 0)


def _grids(cal, groups, info, step_of=lambda t: 1):
    """target -> _Grid of its calendar and base size (`step_of(target)` minutes), for
    the known targets with sessions."""
    by_cal, out = {}, {}
    for t in groups:
        if t in info and info[t]["calendar"] in cal.sessions_by_name:
            key = (info[t]["calendar"], step_of(t))
            if key not in by_cal:
                by_cal[key] = _Grid(cal, *key)
            out[t] = by_cal[key]
    return out


def _flag_base(chk, store, labels, groups, base):
    """Flag the rows of targets whose stored minute bars have another base size."""
    other = {}
    for t in groups:
        try:
            stored = store.minute_base(t)
        except StoreError as exc:
            other[t] = str(exc)
            continue
        if stored != base and store.bar_count(t, "min"):
            other[t] = ("%s has %d-minute base bars in the store (%s); a target has one base size"
                        % (t, stored, os.path.relpath(store.bar_path(t, "min"), store.path)))
    if other:
        bad = np.zeros(chk.n, dtype=bool)
        for t in other:
            bad[groups[t]] = True
        chk.flag(bad, lambda i: other[labels[i]], group=labels.codes)


def _import_bars(store, path, frequency, opts, base=1):
    """Bars of a day (frequency "day") or base bars of `base` minutes ("min")."""
    minutes = frequency == "min"
    time_col = "time" if minutes else "date"
    chk = _read_csv(path, [time_col, "open", "high", "low", "close", "volume"], opts,
                    ["turnover", "open_interest", "market", "code", "symbol"])
    labels = _targets(chk, store)
    groups = labels.rows()
    info = store.target_table()
    cal = store.calendar()
    try:
        grids = _grids(cal, groups, info, lambda t: base)
    except StoreError as exc:  # sessions that are no whole number of base bars
        raise DataImportError(path, [(None, "%s; bars-%dm needs sessions of whole %d-minute bars"
                                      % (exc, base, base))]) from None
    if minutes:
        _flag_base(chk, store, labels, groups, base)
    values = _read_bar_values(chk)
    day_of = np.zeros(chk.n, dtype=np.int64)  # trading day of every row (0: not known)
    keep = None
    if minutes:
        times = chk.datetime("time", shift=60 * base if opts.stamp == "start" else 0)
        keys = np.where(np.isnan(times), -1, time_keys(np.nan_to_num(times)))
        if base == 1:
            _refuse_coarser_grid(path, keys, groups)
        off = np.zeros(chk.n, dtype=bool)
        for t, rows in groups.items():
            grid = grids.get(t)
            if grid is None:
                continue
            k = keys[rows]
            if grid.keys is None:  # no trading days in the store: the calendar day
                day_of[rows] = np.where(k >= 0, datenum_array_to_int_date(np.maximum(k, 0) // 86400), 0)
                continue
            on, day_of[rows] = grid.find(k)
            off[rows] = (k >= 0) & ~on
        if off.any():
            keep = _off_grid(chk, labels, groups, grids, keys, times, values, off, day_of)
        chk.release("time")  # later messages show the times from their keys
    else:
        dates, seconds = chk.date("date", with_time=True)
        if cal.days.size:
            chk.flag((dates > 0) & ~np.isin(dates, cal.days), lambda i: "date %d is not a trading day" % dates[i],
                     group=dates, summary=lambda i: "date %d is not a trading day" % dates[i])
        good = dates > 0
        day_nums = np.zeros(len(dates), dtype=np.int64)
        day_nums[good] = int_date_to_datenum_array(dates[good])
        close_sec = np.full(len(dates), -1, dtype=np.int64)
        for t, rows in groups.items():
            if t in grids:
                close_sec[rows] = cal.session_set([info[t]["calendar"]]).close_seconds
        # a day may be stamped with its session close, as vendors do
        chk.flag(good & (seconds > 0) & (close_sec >= 0) & (seconds != close_sec),
                 lambda i: "date %s of %s is stamped neither at 00:00 nor at the session close %s of its "
                 "calendar" % (chk.cell("date", i), labels[i], _hhmm(close_sec[i] // 60)),
                 group=labels.codes)
        times = np.where(good, time_values(day_nums, np.where(close_sec >= 0, close_sec, 900 * 60)), np.nan)
        keys = np.where(good, day_nums, -1)
        day_of = np.where(good, dates, 0)
    _flag_listing(chk, labels, groups, info, day_of)
    ok = keys >= 0
    if keep is not None:
        ok &= keep
    _flag_order_subset(chk, labels, keys, ok, time_col, show=(lambda i: _time_text(keys[i])) if minutes else None)
    chk.raise_if_bad()
    chk.release()  # all is checked: the text is not needed for messages any more
    keys = None
    values["time"] = times
    if keep is not None and not keep.all():
        values = {c: v[keep] for c, v in values.items()}
        labels = _Labels(labels.codes[keep], labels.names)
        groups = {t: r for t, r in labels.rows().items() if r.size}
    key_of = (lambda d: time_keys(d["time"])) if minutes else (lambda d: np.floor(d["time"]).astype(np.int64))

    replaced = {}

    def merged(t, rows):
        new = {c: _take(values[c], rows) for c in BAR_COLUMNS}

        def build():
            old = store.read_bars(t, frequency)
            if not minutes:
                replaced[t] = _differing_days(old, new).size
            return _merge_rows(old, new, key_of)

        return build

    n_rows = int(values["close"].size)
    with store.batch():
        path_of = (lambda t: store.base_bar_path(t, base)) if minutes else (lambda t: store.bar_path(t, frequency))
        store.write_files([(path_of(t), "bars", merged(t, rows)) for t, rows in groups.items()])
        summary = "%d %s bars of %d target(s)" % (n_rows, frequency if base == 1 else "%d-minute" % base,
                                                  len(groups)) + _replaced_text(replaced)
        if opts.derive_day:
            summary += "; " + derive_day(store, list(groups))
    return summary


_GRID_EVIDENCE = 50  # bars of a file before its grid says what it holds


def _refuse_coarser_grid(path, keys, groups):
    """One-minute bars whose times all lie on a grid of N > 1 minutes are N-minute
    bars: imported as bars-1m they would be served as minutes with gaps between."""
    gap, bars = 0, 0  # seconds
    for rows in groups.values():
        k = np.unique(keys[rows][keys[rows] >= 0])
        if k.size > 1:
            gap = int(np.gcd.reduce(np.append(np.diff(k), gap)))
            bars += k.size
            if gap < 120:
                return
    step = gap // 60 if gap % 60 == 0 else 0
    if step > 1 and bars >= _GRID_EVIDENCE:
        kind = "bars-%dm" % step if step in MINUTE_SIZES else "the bars-Nm kind of their size"
        raise DataImportError(path, [(None, (
            "every bar time of the file lies on a %d-minute grid (%d bars): these are %d-minute "
            "bars, not one-minute ones; import them as %s" % (step, bars, step, kind)))])


def _flag_listing(chk, labels, groups, info, day_of):
    """Flag rows dated before their target's list_date or after its delist_date."""
    before = after = None
    for t, rows in groups.items():
        row = info.get(t)
        if row is None:
            continue
        days = _take(day_of, rows)
        listed, delisted = int(row["list_date"]), int(row["delist_date"] or 0)
        early = (days > 0) & (days < listed)
        late = (days > 0) & (days > delisted) if delisted > 0 else None
        if early.any():
            before = np.zeros(chk.n, dtype=bool) if before is None else before
            before[rows[early]] = True
        if late is not None and late.any():
            after = np.zeros(chk.n, dtype=bool) if after is None else after
            after[rows[late]] = True
    if before is not None:
        chk.flag(before,
                 lambda i: "bar of day %d of %s is before its list_date %d" % (day_of[i], labels[i],
                                                                             info[labels[i]]["list_date"]),
                 group=labels.codes,
                 summary=lambda i: "bars of %s before its list_date %d" % (labels[i], info[labels[i]]["list_date"]))
    if after is not None:
        chk.flag(after,
                 lambda i: "bar of day %d of %s is after its delist_date %d" % (day_of[i], labels[i],
                                                                              info[labels[i]]["delist_date"]),
                 group=labels.codes,
                 summary=lambda i: "bars of %s after its delist_date %d" % (labels[i], info[labels[i]]["delist_date"]))


def _off_grid(chk, labels, groups, grids, keys, times, values, off, day_of):
    """Rows off their calendar's minute grid: opening-auction bars handled as the
    options say, the others flagged, with a hint when the file looks stamped at bar
    start.  Returns the mask of the rows to keep."""
    opts = chk.options
    seconds = keys % 86400
    used = [g for t, g in grids.items() if off[groups[t]].any()]
    opens = sorted(set().union(*(g.opens for g in used))) if used else []
    closes = sorted(set().union(*(g.closes for g in used))) if used else []
    of_day = set((np.unique(seconds[keys >= 0]) // 60).tolist())
    start_stamped = opts.stamp == "end" and bool(of_day & set(opens)) and not of_day & set(closes)
    auction = np.zeros(chk.n, dtype=bool)
    dest = np.full(chk.n, -1, dtype=np.int64)
    if not start_stamped:
        for t, rows in groups.items():
            grid = grids.get(t)
            if grid is None or grid.first_open is None or grid.step != 1 or not off[rows].any():
                continue
            r = rows[off[rows]]
            sec = seconds[r]
            hit = (sec > (grid.first_open - 30) * 60) & (sec <= grid.first_open * 60)
            d = keys[r] // 86400 * 86400 + (grid.first_open + 1) * 60  # the first bar of that day
            if grid.keys is not None:
                on, day = grid.find(d)
                hit &= on
                day_of[r[hit]] = day[hit]
            auction[r[hit]] = True
            dest[r[hit]] = d[hit]
    keep = np.ones(chk.n, dtype=bool)
    if auction.any():
        if opts.auction is None:
            chk.flag(auction, lambda i: "time %s of %s is an opening-auction bar (up to the session open %s); "
                                        "import with --auction fold or --auction drop"
                     % (chk.cell("time", i), labels[i], _hhmm(grids[labels[i]].first_open)),
                     group=labels.codes,
                     summary=lambda i: "opening-auction bars of %s (up to the session open %s; import with "
                                       "--auction fold or --auction drop)"
                     % (labels[i], _hhmm(grids[labels[i]].first_open)))
        elif opts.auction == "drop":
            keep &= ~auction
        else:
            keep &= _fold_auction(auction, dest, labels.codes, keys, times, values)
        off = off & ~auction
    if start_stamped:
        chk.note("the times hit session opens (%s) and never a session close (%s): the file looks stamped at "
                 "bar start; import it with --stamp start (stamp='start')"
                 % (", ".join(_hhmm(m) for m in opens), ", ".join(_hhmm(m) for m in closes)))
    chk.flag(off, lambda i: "time %s of %s is not a bar end time of its calendar's trading sessions"
             % (chk.cell("time", i), labels[i]),
             group=labels.codes,
             summary=lambda i: "times of %s that are not bar end times of its calendar's trading sessions "
                               "(the first: %s)" % (labels[i], chk.cell("time", i)))
    return keep


def _fold_auction(auction, dest, codes, keys, times, values):
    """Fold opening-auction rows into the first bar of their day (the row of the same
    target at `dest`): open from the auction, high and low widened, volume and turnover
    added.  Where the file has no such bar the auction becomes it.  Changes keys, times
    and values in place; returns the mask of the rows to keep."""
    a = np.flatnonzero(auction)
    group_key = (codes[a] << 37) | dest[a]  # target and first-bar key in one number
    order = np.lexsort((keys[a], group_key))
    a, group_key = a[order], group_key[order]
    traded = values["volume"][a] > 0
    frame = pd.DataFrame({
        "g": group_key,
        "open": np.where(traded, values["open"][a], np.nan),
        "high": np.where(traded, values["high"][a], np.nan),
        "low": np.where(traded, values["low"][a], np.nan),
        "volume": values["volume"][a], "turnover": values["turnover"][a],
        "close": values["close"][a], "open_interest": values["open_interest"][a], "row": a,
    })
    agg = frame.groupby("g", sort=True).agg(
        open=("open", "first"), high=("high", "max"), low=("low", "min"), volume=("volume", "sum"),
        turnover=("turnover", "sum"), close=("close", "last"), open_interest=("open_interest", "last"),
        row=("row", "first"))
    g = agg.index.to_numpy(dtype=np.int64)
    others = np.flatnonzero(~auction & (keys >= 0))
    other_key = (codes[others] << 37) | keys[others]
    sort = np.argsort(other_key, kind="stable")
    pos = np.minimum(np.searchsorted(other_key[sort], g), max(others.size - 1, 0))
    found = (other_key[sort][pos] == g) if others.size else np.zeros(g.size, dtype=bool)
    keep = ~auction
    was_traded = agg["volume"].to_numpy() > 0
    # into the first bar of the day
    d = others[sort][pos][found]
    fold = was_traded[found]
    d_t = d[fold]
    part = agg[found][fold]
    values["open"][d_t] = part["open"].to_numpy()
    values["high"][d_t] = np.fmax(values["high"][d_t], part["high"].to_numpy())
    values["low"][d_t] = np.fmin(values["low"][d_t], part["low"].to_numpy())
    values["volume"][d] += agg["volume"].to_numpy()[found]
    values["turnover"][d] += agg["turnover"].to_numpy()[found]
    # no first bar in the file: the auction is it
    alone = agg[~found]
    r = alone["row"].to_numpy(dtype=np.int64)
    new_key = g[~found] & ((1 << 37) - 1)
    keys[r] = new_key
    times[r] = time_values(new_key // 86400, new_key % 86400)
    traded_alone = alone["volume"].to_numpy() > 0
    for f in ("open", "high", "low"):
        values[f][r] = np.where(traded_alone, alone[f].to_numpy(), alone["close"].to_numpy())
    for f in ("close", "volume", "turnover", "open_interest"):
        values[f][r] = alone[f].to_numpy()
    keep[r] = True
    return keep


def _flag_order_subset(chk, labels, keys, ok, what, strict=True, show=None):
    """Flag rows (among `ok`) whose key is not after (strict) or before the previous
    `ok` row of the same target; `show(i)` gives the field of row i in messages
    (default: the file's text)."""
    codes = labels.codes
    if ok.all() and not (codes[1:] < codes[:-1]).any():
        # the usual file: every row, the rows of a target together; no copies
        back = (keys[1:] <= keys[:-1]) if strict else (keys[1:] < keys[:-1])
        back &= codes[1:] == codes[:-1]
        hit = np.flatnonzero(back)
        del back
        earlier, later = hit, hit + 1
    else:
        rows = np.flatnonzero(ok)
        order = rows[np.argsort(codes[rows], kind="stable")]  # per target, in file order
        k = keys[order]
        same = codes[order[1:]] == codes[order[:-1]]
        back = (k[1:] <= k[:-1]) if strict else (k[1:] < k[:-1])
        hit = np.flatnonzero(same & back)
        earlier, later = order[hit], order[hit + 1]
    if not later.size:
        return
    bad = np.zeros(len(keys), dtype=bool)
    bad[later] = True
    prev = np.full(len(keys), -1, dtype=np.int64)
    prev[later] = earlier
    show = show or (lambda i: chk.cell(what, i))
    chk.flag(
        bad,
        lambda i: "%s %s of %s is %s the one on %s %d"
        % (what, show(i), labels[i], "the same as" if keys[i] == keys[prev[i]] else "before",
           chk.unit, chk.lines[prev[i]]),
    )


def _time_text(key):
    """'YYYY-MM-DD HH:MM[:SS]' of a bar-time key."""
    day, sec = divmod(int(key), 86400)
    d = int(datenum_array_to_int_date([day])[0])
    text = "%04d-%02d-%02d %02d:%02d" % (d // 10000, d // 100 % 100, d % 100, sec // 3600, sec // 60 % 60)
    return text + (":%02d" % (sec % 60) if sec % 60 else "")


def _import_daily_table(store, path, opts, table, value_col, types, parse_value, after=None):
    chk = _read_csv(path, ["date", value_col], opts, ["market", "code", "symbol"])
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
    summary = "%d rows of %d target(s)" % (len(new), len(labels.names))
    return summary + (after(list(labels.names)) if after else "")


def _import_adjust(store, path, opts):
    return _import_daily_table(
        store, path, opts, ("adjust", "factor"), "factor", None, lambda chk: chk.number("factor", positive=True)
    )


def _import_actions(store, path, opts):
    """Corporate actions of stocks: one row per target and ex-date, amounts per share
    (`cash`, `bonus`, `split`), or per 10 shares as vendors give them (`cash_per_10`,
    `bonus_per_10`, `transfer_per_10`); bonus and transfer shares add up."""
    per_share = ["cash", "bonus", "transfer", "split"]
    per_10 = ["cash_per_10", "bonus_per_10", "transfer_per_10"]
    chk = _read_csv(path, ["ex_date"], opts, ["market", "code", "symbol"] + per_share + per_10)
    if not any(chk.has(c) for c in per_share + per_10):
        raise DataImportError(path, [(1, "no action columns: give at least one of %s"
                                      % ", ".join(per_share + per_10))])
    labels = _targets(chk, store, ("stock", "fund"))
    dates = chk.date("ex_date")

    def amount(name):
        return chk.number(name, default=0.0, non_negative=True)

    cash = amount("cash") + amount("cash_per_10") / 10.0
    bonus = (amount("bonus") + amount("transfer")
             + (amount("bonus_per_10") + amount("transfer_per_10")) / 10.0)
    split = chk.number("split", default=1.0, positive=True)
    dup = pd.DataFrame({"t": labels.codes, "d": dates}).duplicated().to_numpy()
    chk.flag(dup, lambda i: "%s has two rows for %d" % (labels[i], dates[i]))
    chk.raise_if_bad()
    dotted = labels.array()
    new = pd.DataFrame({"target": dotted, "ex_date": dates, "cash": cash, "bonus": bonus,
                        "split": split})
    old = store.corporate_actions()
    old = old[~(old["target"] + "|" + old["ex_date"].astype(str)).isin(
        set(new["target"] + "|" + new["ex_date"].astype(str))).to_numpy()]
    merged = pd.concat([old, new], ignore_index=True) if len(old) else new
    merged = merged.sort_values(["target", "ex_date"], kind="stable")
    store.write_table("actions", {c: merged[c].to_numpy() for c in merged})
    return "%d actions of %d target(s)" % (len(new), len(labels.names))


def _import_main(store, path, opts):
    def contracts(chk):
        c = chk.text("contract")
        chk.flag(c == "", lambda i: "contract code is empty")
        return c

    def stitch(targets):
        # the continuous series of targets whose contracts' bars are stored, in this step
        from vornix.api.history._futures import stitch_imported

        return stitch_imported(store, targets)

    return _import_daily_table(store, path, opts, ("main_contracts", "contract"), "contract", ("future",), contracts,
                               stitch)


def _import_factors(store, path, opts):
    chk = _read_csv(path, ["factor", "date", "value"], opts, ["market", "code", "symbol"])
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


def _import_ticks(store, path, opts):
    chk = _read_csv(path, ["time", "price", "volume"], opts, ["market", "code", "symbol"])
    labels = _targets(chk, store)
    times = chk.datetime("time")
    price = chk.number("price", positive=True)
    volume = chk.number("volume", non_negative=True) * opts.volume_scale
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


# ------------------------------------------------------------------ stored contents

def _finite_or_null(col):
    """A float column with NaN as null: a stored NaN stands for an empty field."""
    return pc.if_else(pc.is_nan(col), pa.scalar(None, col.type), col)


def content_problems(kind, table, rel):
    """The import's rules applied to the table of the stored file `rel` of `kind` (a
    store schema name, columns as the store writes them): ([(row, message)], number of
    rows that break a rule); rows are numbered from 1, values shown safely, the first
    few hundred problems listed.  `vornix data info --check` reports them."""
    n = table.num_rows
    columns = {c: table.column(c) for c in table.column_names}
    chk = _Checker(rel, columns, np.arange(1, n + 1, dtype=np.int64))
    chk.unit = "row"
    whole = _Labels(np.zeros(n, dtype=np.int64), [shown_text(os.path.basename(rel)[: -len(".parquet")])])
    if kind in ("bars", "ticks"):
        times = chk.number("time")
        if kind == "bars":
            _read_bar_values(chk)
        else:
            chk.number("price", positive=True)
            chk.number("volume", non_negative=True)
        ok = np.isfinite(times)
        keys = np.where(ok, time_keys(np.where(ok, times, 0.0)), -1)
        # bars: one per time; ticks: several may share a time, never go back
        _flag_order_subset(chk, whole, keys, ok, "time", strict=kind == "bars",
                           show=lambda i: _time_text(keys[i]))
    elif kind in ("calendar", "adjust", "main_contracts", "factor"):
        dates = chk.date("date")
        key = {"date": dates}
        if kind != "calendar":
            target = chk.text("target")
            chk.flag(target == "", lambda i: "target is empty")
            key["target"] = target
        if kind == "adjust":
            chk.number("factor", positive=True)
        elif kind == "main_contracts":
            chk.flag(chk.text("contract") == "", lambda i: "contract code is empty")
        elif kind == "factor":
            chk.columns["value"] = _finite_or_null(chk.columns["value"])
            chk.number("value", default=np.nan)
        dup = pd.DataFrame(key).duplicated().to_numpy()
        chk.flag(dup, lambda i: "%s has a second row for %d"
                 % (shown_repr(key["target"][i]) if "target" in key else "the calendar", dates[i]))
    elif kind == "instruments":
        types = chk.text("type")
        chk.flag(~np.isin(types, list(TYPE_NAMES)),
                 lambda i: "type %s is none of %s" % (shown_repr(types[i]), ", ".join(TYPE_NAMES)))
        codes = pd.Series(chk.text("market")) + "." + pd.Series(chk.text("code"))
        dup = codes.duplicated().to_numpy()
        chk.flag(dup, lambda i: "instrument %s is listed twice" % shown_text(codes.iloc[i]))
    problems = sorted(chk.problems, key=lambda p: p[0])
    return [(row, shown_text(message, 400)) for row, message in problems], int(chk.bad.sum())


_IMPORTERS = {
    "calendar": _import_calendar,
    "sessions": _import_sessions,
    "night-sessions": _import_nights,
    "instruments": _import_instruments,
    **{"bars-%dm" % n: (lambda s, p, o, n=n: _import_bars(s, p, "min", o, n)) for n in MINUTE_SIZES},
    "bars-1d": lambda s, p, o: _import_bars(s, p, "day", o),
    "adjust": _import_adjust,
    "actions": _import_actions,
    "main": _import_main,
    "factors": _import_factors,
    "ticks": _import_ticks,
}


def import_csv(store, kind, path, **options):
    """Import one file (CSV or Parquet) of the given kind into `store`; returns a
    one-line summary.

    Options (docs/data-format.md): columns ({file column: store column} or
    'dt=time,vol=volume'), target (the one target of a file without target columns),
    volume_scale (volumes multiplied by it), stamp ('end' or 'start' of the bar),
    auction ('fold' or 'drop' an opening-auction bar), derive_day (day bars from the
    stored minutes of the imported targets), force (sessions that leave stored bars
    outside them)."""
    try:
        importer = _IMPORTERS[kind]
    except KeyError:
        raise ValueError("unknown import kind %r; known kinds: %s" % (kind, ", ".join(KINDS))) from None
    unknown = sorted(set(options) - set(OPTION_KINDS))
    if unknown:
        raise TypeError("unknown import option(s) %s; known: %s" % (", ".join(unknown), ", ".join(OPTION_KINDS)))
    opts, path = _Options(kind, **options), os.path.abspath(path)
    # one step under the store's write lock, from reading what is stored to the switch
    with store.writing("import " + kind, path):
        return importer(store, path, opts)


def _day_numbers_of_minutes(cal, grid, times):
    """(trading day numbers, served) of minute-bar times: by the calendar's minute grid,
    or the calendar day when the store has no trading days."""
    keys = time_keys(times)
    if grid.keys is None:
        return keys // 86400, np.ones(keys.size, dtype=bool)
    on, days = grid.find(keys)
    nums = np.zeros(keys.size, dtype=np.int64)
    if on.any():
        nums[on] = int_date_to_datenum_array(days[on])
    return nums, on


def _day_session_times(store, target, times):
    """The minute-bar times of a target outside its calendar's night sessions: their
    calendar day is their trading day."""
    row = store.target_table()[target]
    sessions = store.calendar().sessions_by_name.get(row["calendar"], ())
    return times[~in_night_sessions(times, sessions)]


def derive_day(store, targets=None):
    """Write day bars combined from the stored minute bars of `targets` (symbols in any
    form; default: every target with minute bars), by the rule the day bars of the
    history service follow: of the day's minutes on the calendar that traded (volume
    above 0) the first open, highest high, lowest low, last close and open interest,
    volume and turnover summed; a day without trading sits at the previous close.
    A derived day replaces the stored day bar of that day; the others stay."""
    with store.writing("derive-day", None if targets is None else str(targets)):
        return _derive_day(store, targets)


def _derive_day(store, targets):
    info = store.target_table()
    if targets is None:
        names = [t for t in info if store.bar_count(t, "min")]
    else:
        if isinstance(targets, str):
            targets = [p for p in targets.split(",") if p.strip()]
        names = list(dict.fromkeys(store.target_codes([t.strip() for t in targets])))
    cal = store.calendar()
    grids = _grids(cal, names, info, store.minute_base)
    missing = [t for t in names if t not in grids]
    if missing:
        raise ValueError("the calendars of %s have no sessions in the store" % ", ".join(missing))

    replaced = {}

    def make(t):
        def build():
            old = store.read_bars(t, "day")
            day = _combined_day(store, cal, grids[t], t, info)
            if day is None:
                return old if old is not None else {c: np.zeros(0) for c in BAR_COLUMNS}
            replaced[t] = _differing_days(old, day).size
            return _merge_rows(old, day, _day_key)

        return build

    items = []
    for t in names:
        if not store.bar_count(t, "min"):
            if targets is not None:
                raise ValueError("no minute bars stored for %s" % t)
            continue
        items.append((store.bar_path(t, "day"), "bars", make(t)))
    store.write_files(items)
    return "day bars of %d target(s) derived from their minute bars%s" % (len(items), _replaced_text(replaced))


def _day_key(d):
    return np.floor(d["time"]).astype(np.int64)


def _combined_day(store, cal, grid, t, info):
    """Day bars of target `t` combined from its stored minutes on `grid` (None when
    none of its minutes is served)."""
    mins = store.read_bars(t, "min")
    nums, served = _day_numbers_of_minutes(cal, grid, mins["time"])
    if not served.all():  # minutes the service does not serve do not count
        mins = {c: v[served] for c, v in mins.items()}
        nums = nums[served]
    if not nums.size:
        return None
    starts = np.flatnonzero(np.r_[True, nums[1:] != nums[:-1]])
    day = combine_by_group(starts, mins)
    day["time"] = time_values(nums[starts], cal.session_set([info[t]["calendar"]]).close_seconds)
    return day


def _differing_days(old, new):
    """Positions in `old` of the day bars that `new` holds too with other values."""
    if old is None or not old["time"].size or not new["time"].size:
        return np.zeros(0, dtype=np.int64)
    _, i, j = np.intersect1d(_day_key(old), _day_key(new), return_indices=True)
    differ = np.zeros(i.size, dtype=bool)
    for c in BAR_COLUMNS:
        if c != "time":
            differ |= ~np.isclose(old[c][i], new[c][j], rtol=1e-9, atol=0, equal_nan=True)
    return i[differ]


def _replaced_text(replaced):
    """'; replaced 3 stored day bar(s) that differed (SH.600000 2, SZ.000001 1)'."""
    hit = {t: n for t, n in replaced.items() if n}
    if not hit:
        return ""
    return "; replaced %d stored day bar(s) that differed (%s)" % (
        sum(hit.values()), ", ".join("%s %d" % kv for kv in sorted(hit.items())))


def day_bar_notes(store):
    """Notes (not problems) on stored day bars that differ from the day combined from
    the same target's stored minutes: a later import or derive-day would replace one
    with the other."""
    info = store.target_table()
    names = [t for t in info if store.bar_count(t, "min") and store.bar_count(t, "day")]
    cal = store.calendar()
    try:
        grids = _grids(cal, names, info, store.minute_base)
    except StoreError as exc:  # sessions that cut base bars: not this note's business
        return ["note: day bars not compared with their minutes: %s" % exc]
    notes = []
    for t in names:
        day = _combined_day(store, cal, grids[t], t, info) if t in grids else None
        if day is None:
            continue
        old = store.read_bars(t, "day")
        bad = _differing_days(old, day)
        if bad.size:
            k = bad[0]
            j = int(np.flatnonzero(_day_key(day) == _day_key(old)[k])[0])
            first = datenum_array_to_int_date([np.floor(old["time"][k])])[0]
            fields = [c for c in BAR_COLUMNS if c != "time" and not np.isclose(
                old[c][k], day[c][j], rtol=1e-9, atol=0, equal_nan=True)]
            notes.append(
                "note: %s: %d stored day bar(s) differ from the day combined from its minutes "
                "(first %d: %s %.6g stored, %.6g combined); `vornix data derive-day --targets %s` "
                "writes the combined ones" % (t, bad.size, first, fields[0], old[fields[0]][k],
                                              day[fields[0]][j], t))
    return notes


def derive_calendar(store, source, begin_date=None, end_date=None):
    """Fill the store's trading days from the bars it holds ('bars') or from XSHG ('xshg')."""
    with store.writing("calendar", source):
        return _derive_calendar(store, source, begin_date, end_date)


def _derive_calendar(store, source, begin_date, end_date):
    from vornix.api.history._calendar import trading_days_from_bars, xshg_trading_days

    if source == "xshg":
        days = xshg_trading_days(begin_date, end_date)
    elif source == "bars":
        times = []
        for t in store.target_table():
            for freq in ("min", "day"):
                bars = store.read_bars(t, freq)
                if bars is not None:
                    times.append(bars["time"] if freq == "day" else _day_session_times(store, t, bars["time"]))
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


__all__ = ["DataImportError", "KINDS", "import_csv", "derive_calendar", "derive_day", "parse_symbol"]
