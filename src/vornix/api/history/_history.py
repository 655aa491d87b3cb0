"""History service: bars, calendars, instruments, main contracts and ticks from the bar store.

The module functions use the store named by the setting "VX_STORE_DIR"
(default ~/.vornix/store).  The open store is kept between calls and opened
again when the setting or the store's generation changes.

A target's base bar is one minute long unless its bars sit in a folder
bars/<N>m/ of the store (imported as bars-Nm): then "min" bars of that target
are its N-minute bars, on the N-minute grid of its sessions.  One request for
minute bars (and so one run on minutes) takes targets of one base size only.
"""

import collections
import contextlib
import itertools
import os
import re
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pyarrow as pa
from tqdm import tqdm

from vornix.api.history import _store
from vornix.api.history._bars import place_bars
from vornix.api.history._calendar import Calendar, time_keys, trading_day_numbers
from vornix.api.history._places import files_of, is_url, normal_place
from vornix.api.history._store import (
    TYPE_NAMES,
    BarStore,
    content_stamp,
    default_store_dir,
    read_generation,
    refuse_interrupted,
)
from vornix.setting import get_setting
from vornix.tframe.sysdefine import GlobalDefine as gv
from vornix.tframe.ufuncs import set_data_stamp_source, todotmc
from vornix.tframe.utils.datetimefunc import datenum_array_to_int_date, int_date_to_datenum_array
from vornix.tframe.utils.exceptions import StoreError

_open = {"key": None, "store": None, "checked": 0.0}
REMOTE_RECHECK_SECONDS = 2.0
READ_AHEAD = 16  # bar files read at once from a store at a URL
_SERVED = ("min", "day")
_PROGRESS_TARGETS = 20
_PERIODS = ("week", "month", "year")
# target types whose prices follow their adjustment factors (an index never does)
_ADJUSTED_TYPES = (gv.TARGETTYPE_STOCK, gv.TARGETTYPE_FUND)
_BASE_DIR = re.compile(r"([1-9][0-9]*)m")

# the calendar's night-session overrides (import kind night-sessions): whether a
# night session precedes a trading day of a calendar, against the holiday rule
_store._SCHEMAS.setdefault(
    "nights", pa.schema([("calendar", pa.string()), ("date", pa.int64()), ("night", pa.int64())])
)


def store_dir():
    """The configured store: an absolute folder, or a URL (read-only, see _places)."""
    return normal_place(get_setting("VX_STORE_DIR", default_store_dir()))


def open_store(path=None):
    """A HistoryStore on the directory `path` (default: the configured store); a store
    left half-written by an interrupted write is refused (StoreError naming the fix)."""
    path = store_dir() if path is None else path
    refuse_interrupted(path)
    return HistoryStore(path)


def store_cut():
    """The time-line value after which the store shows nothing (setting
    VX_STORE_CUT), or None: the view of the store as it stood at that time, which
    the look-ahead audit runs a strategy on."""
    raw = get_setting("VX_STORE_CUT", "")
    if raw in ("", None):
        return None
    try:
        cut = float(raw)
    except (TypeError, ValueError):
        raise ValueError("setting VX_STORE_CUT=%r is not a time-line value" % (raw,)) from None
    if not np.isfinite(cut):
        raise ValueError("setting VX_STORE_CUT=%r is not a time-line value" % (raw,))
    return cut


def current_store():
    """The HistoryStore of the configured folder, opened again when the setting or
    the store's contents change (the factor service and tools read through it).
    A store at a URL is looked at again after REMOTE_RECHECK_SECONDS, not on every
    call: each look is two requests to the object store."""
    path = store_dir()
    cut = store_cut()
    now = time.monotonic()
    if (is_url(path) and _open["store"] is not None and _open["key"][0] == path and _open["key"][2] == cut
            and now - _open["checked"] < REMOTE_RECHECK_SECONDS):
        return _open["store"]
    refuse_interrupted(path)  # checked on every call: a crash need not change the generation
    key = (path, content_stamp(path), cut)
    if _open["key"] != key:
        _open["store"] = HistoryStore(path, cut=cut)
        _open["key"] = key
    _open["checked"] = now
    return _open["store"]


def store_generation():
    """Generation counter of the configured store; changes with every write."""
    return read_generation(store_dir())


def store_stamp():
    """What names the configured store's contents: its id (drawn at random when it was
    created), generation counter and the time stamp of its last write.  Two stores,
    or a store made again from scratch, never share a stamp; a store moved to another
    folder keeps it.  A store made before stores had an id is named by its folder
    until its next write gives it one.  The digest of the store's manifest (size and
    SHA-256 of every file) is part of it: two stores whose files differ never share
    a stamp, nor the matrix-cache entries keyed by it."""
    cut = store_cut()
    path = store_dir()
    stamp = content_stamp(path)
    try:
        manifest = current_store().manifest_digest()
    except StoreError:
        if files_of(path).isdir(files_of(path).root):
            raise
        manifest = "none"  # no store: no contents to name
    stamp = "%s|manifest %s" % (stamp, manifest)
    return stamp if cut is None else "%s cut %r" % (stamp, cut)


# cache keys of derived matrices name the store they were built from
set_data_stamp_source(store_stamp)


def _frequency(frequency, describe):
    """Canonical name of a frequency; a bad one raises naming the request."""
    try:
        return gv.int_to_frequency(gv.frequency_to_int(frequency))
    except (TypeError, ValueError) as exc:
        raise type(exc)("%s (%s)" % (exc, describe)) from None


def _describe(targets, frequency, begin_date, end_date):
    return "targets %s, frequency %r, dates %s-%s" % (targets, frequency, begin_date, end_date)


def as_date(value, what):
    """`value` as a yyyymmdd integer; ValueError naming `what` otherwise."""
    try:
        v = int(value)
    except (TypeError, ValueError):
        raise ValueError("%s must be a yyyymmdd integer, got %r" % (what, value)) from None
    if v != value or v < 0:
        raise ValueError("%s must be a yyyymmdd integer, got %r" % (what, value))
    return v


class TickRecord:
    """Ticks of one bar: float64 arrays Time, Price and Volume of equal length."""

    def __init__(self, time=None, price=None, volume=None):
        empty = np.zeros(0, dtype=np.float64)
        self.Time = empty if time is None else np.asarray(time, dtype=np.float64)
        self.Price = empty if price is None else np.asarray(price, dtype=np.float64)
        self.Volume = empty if volume is None else np.asarray(volume, dtype=np.float64)

    def __len__(self):
        return int(self.Price.size)

    def __repr__(self):
        return "TickRecord(%d ticks)" % len(self)


class HistoryStore(BarStore):
    """A bar store with the queries of the history service.

    With `cut` (a time-line value) it is the view of the store as it stood at that
    time: bars and ticks after it are not there, nor factor values, adjustment
    factors and main-contract entries dated after the cut's trading day (the rule of
    `Calendar.trading_day_numbers`: a night-session time belongs to the next trading
    day), nor delisting dates after that day (an instrument delisted later shows as
    listed).  The calendar, sessions and the other instrument fields stay whole (a
    run's steps are known in advance)."""

    def __init__(self, path, create=False, cut=None):
        super().__init__(path, create=create)
        self._cal = None
        self._info = None
        self.cut = cut
        self._cut_day_value = None

    @property
    def _cut_day(self):
        """The trading day (yyyymmdd) of the cut, by the calendar's rule."""
        if self._cut_day_value is None:
            day = self.calendar().trading_day_numbers([self.cut])
            self._cut_day_value = int(datenum_array_to_int_date(day)[0])
        return self._cut_day_value

    def instruments(self):
        frame = super().instruments()
        if self.cut is None:
            return frame
        later = frame["delist_date"].fillna(0).to_numpy() > self._cut_day
        if not later.any():
            return frame
        frame = frame.copy()
        frame.loc[later, "delist_date"] = 0
        return frame

    def read_bars(self, target, frequency, times=None):
        bars = super().read_bars(target, frequency, times)
        if bars is None or self.cut is None:
            return bars
        keep = bars["time"] <= self.cut
        return {k: v[keep] for k, v in bars.items()}

    def read_ticks(self, target):
        ticks = super().read_ticks(target)
        if ticks is None or self.cut is None:
            return ticks
        keep = ticks["time"] <= self.cut
        return {k: v[keep] for k, v in ticks.items()}

    def _dated(self, frame):
        if frame is None or self.cut is None:
            return frame
        return frame[frame["date"] <= self._cut_day].reset_index(drop=True)

    def read_factor(self, name):
        return self._dated(super().read_factor(name))

    def adjust_factors(self):
        return self._dated(super().adjust_factors())

    def main_contracts(self):
        return self._dated(super().main_contracts())

    def corporate_actions(self):
        frame = super().corporate_actions()
        if self.cut is None:
            return frame
        return frame[frame["ex_date"] <= self._cut_day].reset_index(drop=True)

    def summary(self):
        """Lines describing what the store holds."""
        info = self.target_table()
        from vornix.api.history._futures import product_of

        by_type = {}
        for code, row in info.items():
            contract = row["type"] == "future" and product_of(row["code"]) is not None
            by_type.setdefault("future contract" if contract else row["type"], []).append(code)
        days = self.trading_days()
        lines = ["store: %s (generation %d, id %s)" % (self.path, self.generation, self.store_id or "none yet")]
        if days.size:
            lines.append("trading days: %d, from %d to %d" % (days.size, days[0], days[-1]))
        else:
            lines.append("trading days: none")
        sessions = self.sessions()
        for name, part in sessions.groupby("calendar"):
            spans = ", ".join(
                "%02d:%02d-%02d:%02d%s" % (o // 60, o % 60, c // 60 % 24, c % 60, " (prev. day)" if d else "")
                for o, c, d in zip(part["open"], part["close"], part["day_offset"])
            )
            lines.append("calendar %s: %s" % (name, spans))
        for kind in sorted(by_type):
            codes = by_type[kind]
            shown = ", ".join(codes[:8]) + (", ... (--targets lists them all)" if len(codes) > 8 else "")
            lines.append("%s targets: %d (%s)" % (kind, len(codes), shown))
        nights = self.night_overrides()
        for name, part in nights.groupby("calendar"):
            lines.append("calendar %s: night session overridden on %d day(s) (%d with, %d without)"
                         % (name, len(part), int((part["night"] != 0).sum()), int((part["night"] == 0).sum())))
        counts = {}  # bar kind -> counts per file
        for code in info:
            counts.setdefault(self._minute_kind(code), []).append(self.bar_count(code, "min"))
        counts["day"] = [self.bar_count(c, "day") for c in info]
        for kind, n in sorted(counts.items(), key=lambda x: (x[0] == "day", len(x[0]), x[0])):
            lines.append("%s bars: %d in %d file(s)" % (kind, sum(n), sum(1 for k in n if k)))
        bases = {}
        for code in info:
            if code in self.minute_bases():
                bases.setdefault(self.minute_base(code), []).append(code)
        for n in sorted(bases):
            lines.append("%d-minute base bars: %s" % (n, ", ".join(bases[n])))
        ticks = [c for c in info if self._exists(self.tick_path(c))]
        lines.append("ticks: %s" % (", ".join(ticks) or "none"))
        adjust = self.adjust_factors()
        lines.append("adjustment factors: %d rows for %d target(s)" % (len(adjust), adjust["target"].nunique()))
        main = self.main_contracts()
        lines.append("main-contract targets: %s" % (", ".join(sorted(set(main["target"]))) or "none"))
        lines.append("factors: %s" % (", ".join(self.factor_names()) or "none"))
        return lines

    def _minute_kind(self, code):
        n = self.minute_base(code)
        return "%d-minute" % n

    def bar_span(self, target, frequency):
        """(count, first time, last time) of a target's stored bars ("min": its base
        bars), times as time-line values; (0, None, None) when it has none."""
        n = self.bar_count(target, frequency)
        if n == 0:
            return 0, None, None
        if self.cut is None:  # a file sorted by time: the statistics of its first and last row groups
            with contextlib.suppress(Exception):
                meta = self._files.metadata(self._source(self.bar_path(target, frequency)))
                col = meta.schema.to_arrow_schema().get_field_index("time")
                first = meta.row_group(0).column(col).statistics
                last = meta.row_group(meta.num_row_groups - 1).column(col).statistics
                if first.has_min_max and last.has_min_max:
                    return n, float(first.min), float(last.max)
        times = self.read_bars(target, frequency)["time"]
        return (int(times.size), float(times[0]), float(times[-1])) if times.size else (0, None, None)

    def target_rows(self):
        """One dict per target: code, type, list_date, delist_date (0: none),
        minute_base, and per kind of bar (minute, day) the count and the first and
        last bar time (time-line values, NaN when there are none)."""
        rows = []
        for code, row in self.target_table().items():
            out = {"code": code, "type": row.get("type"), "minute_base": self.minute_base(code)}
            for key in ("list_date", "delist_date"):
                value = row.get(key)
                out[key] = int(value) if value is not None and value == value else 0
            for freq, name in (("min", "minute"), ("day", "day")):
                n, first, last = self.bar_span(code, freq)
                out.update({name + "_bars": n, "first_" + name: np.nan if first is None else first,
                            "last_" + name: np.nan if last is None else last})
            rows.append(out)
        return rows

    def target_lines(self):
        """`target_rows` as text, one line per target."""
        from vornix.tframe.utils.datetimefunc import datenum_to_datetime

        def when(t, fmt):
            return datenum_to_datetime(t).strftime(fmt)

        lines = []
        for r in self.target_rows():
            parts = []
            for name, kind, fmt in (("minute", "%d-minute bars" % r["minute_base"], "%Y-%m-%d %H:%M"),
                                    ("day", "day bars", "%Y-%m-%d")):
                if r[name + "_bars"]:
                    parts.append("%s %d from %s to %s" % (
                        kind, r[name + "_bars"], when(r["first_" + name], fmt), when(r["last_" + name], fmt)))
            lines.append("%-12s %-7s listed %s, delisted %s; %s" % (
                r["code"], r["type"], r["list_date"] or "-", r["delist_date"] or "-",
                "; ".join(parts) or "no bars"))
        return lines

    # ---------------------------------------------------------------- lookups
    def night_overrides(self):
        """The calendars' night-session overrides (calendar, date, night 0/1)."""
        return self._table("nights")

    def calendar(self):
        if self._cal is None or "_days" not in self._tables or "nights" not in self._tables:
            self._cal = Calendar.from_frames(self.trading_days(), self.sessions(), self.night_overrides())
        return self._cal

    def _exists(self, path):
        """Whether a store file exists, counting the new files of a write step in progress."""
        return self._files.exists(self._source(path))

    def minute_bases(self):
        """target -> the base sizes (minutes) of the folders bars/<N>m/ other than 1m
        that hold a file of it (or will, at the end of a write step in progress)."""
        if "_bases" not in self._tables:
            root = os.path.join(self.path, "bars")
            files = set()
            for entry in self._files.listdir(root):
                if _BASE_DIR.fullmatch(entry) and entry != "1m":
                    folder = os.path.join(root, entry)
                    files.update(os.path.join(folder, name) for name in self._files.listdir(folder))
            files.update(getattr(self, "_staged", {}))
            found = {}
            for path in sorted(files):
                folder, name = os.path.split(path)
                m = _BASE_DIR.fullmatch(os.path.basename(folder))
                if (m and m.group(1) != "1" and os.path.dirname(folder) == root and name.endswith(".parquet")
                        and not name.startswith(".")):
                    found.setdefault(name[: -len(".parquet")], []).append(int(m.group(1)))
            self._tables["_bases"] = found
        return self._tables["_bases"]

    def minute_base(self, target):
        """Length in minutes of a target's base bar: 1, or N when bars/<N>m/ holds it."""
        bases = self.minute_bases().get(target)
        if not bases:
            return 1
        sizes = sorted(set(bases) | ({1} if self._exists(self.base_bar_path(target, 1)) else set()))
        if len(sizes) > 1:
            raise StoreError(
                "the bar store %s holds base bars of %s in folders of several sizes (%s); a target "
                "has one base size" % (self.path, target, ", ".join("bars/%dm" % n for n in sizes))
            )
        return sizes[0]

    def base_bar_path(self, target, minutes):
        """File of a target's base bars of `minutes` minutes (bars/<N>m/)."""
        _store._check_target_name(target)
        return os.path.join(self.path, "bars", "%dm" % int(minutes), target + ".parquet")

    def bar_path(self, target, frequency):
        if frequency == "min":
            n = self.minute_base(target)
            if n != 1:
                return self.base_bar_path(target, n)
        return super().bar_path(target, frequency)

    def target_table(self):
        """dotted code -> instrument row (a dict), in store order."""
        if self._info is None or "instruments" not in self._tables:
            frame = self.instruments()
            info = {}
            for row in frame.itertuples(index=False):
                info[("%s.%s" % (row.market, row.code)).upper()] = row._asdict()
            self._info = info
        return self._info

    def resolve(self, targets, what=""):
        """Dotted codes and instrument rows of targets; unknown targets raise ValueError."""
        if isinstance(targets, (str, dict)):
            targets = [targets]
        if not isinstance(targets, (list, tuple, np.ndarray)) or len(targets) == 0:
            raise ValueError("targets must be a non-empty list of targets, got %r%s" % (targets, what))
        codes = self.target_codes(targets, what)
        table = self.target_table()
        return codes, [table[c] for c in codes]

    def target_codes(self, targets, what=""):
        """The store's dotted codes of targets given in any form the importer takes
        (SH.600000, 600000.SH, SH600000, sh.600000, 600000.XSHG, a Market/Code
        mapping); unknown targets raise ValueError naming close matches."""
        from vornix.api.history._import import parse_symbol

        table = self.target_table()
        codes, unknown = [], []
        for target in targets:
            code = None
            if isinstance(target, str):
                with contextlib.suppress(ValueError):
                    code = todotmc(target)
                if code not in table:
                    code = parse_symbol(target) or code
            else:
                code = todotmc(target)  # a mapping, or TypeError naming the value
            codes.append(code)
            if code not in table:
                unknown.append((target, code))
        if unknown:
            raise ValueError("unknown target(s) %s in the bar store %s%s" % (
                ", ".join(_unknown_text(t, c, table) for t, c in unknown), self.path, what))
        return codes

    def _session_set(self, rows, step=1):
        names = sorted({r["calendar"] for r in rows})
        return self.calendar().session_set(names, step)

    def _minute_step(self, codes, describe):
        """The one base size (minutes) of the targets' minute bars."""
        bases = {c: self.minute_base(c) for c in codes}
        sizes = sorted(set(bases.values()))
        if len(sizes) > 1:
            raise ValueError(
                "the targets mix base bar sizes (%s): minute bars of one request, and the targets of "
                "one run, share one base size (%s)"
                % (", ".join("%s %d min" % (c, n) for c, n in bases.items()), describe)
            )
        return sizes[0]

    def minute_periods(self, targets, minutes):
        """Base bars in a bar of `minutes` minutes of the targets (one base size); a
        count that is not a whole number of base bars raises ValueError."""
        describe = "targets %s, bars of %r minutes" % (targets, minutes)
        codes, _ = self.resolve(targets, " (%s)" % describe)
        step = self._minute_step(codes, describe)
        whole = isinstance(minutes, (int, np.integer)) and not isinstance(minutes, (bool, np.bool_))
        if not whole or minutes < 1:
            raise ValueError(
                "bars of %r minutes: the count of minute bars is a whole number of minutes, at "
                "least 1%s" % (minutes, "" if step == 1 else " (%s: a multiple of %d, their %d-minute "
                               "base bars)" % (", ".join(codes), step, step)))
        if minutes % step:
            raise ValueError(
                "bars of %r minutes of %s cannot be combined from their %d-minute base bars: ask for "
                "a multiple of %d minutes (%d, %d, ...)"
                % (minutes, ", ".join(codes), step, step, step, 2 * step)
            )
        return int(minutes) // step

    def _range(self, begin_date, end_date, describe):
        begin_date = as_date(begin_date, "begin date")
        end_date = as_date(end_date, "end date")
        if begin_date > end_date:
            raise ValueError("begin date %d is after end date %d (%s)" % (begin_date, end_date, describe))
        cal = self.calendar()
        if cal.days.size == 0:
            raise StoreError("the bar store %s holds no trading calendar" % self.path)
        lo, hi = cal.days_in(begin_date, end_date)
        if hi <= lo:
            raise ValueError(
                "no trading days between %d and %d (%s); the store's calendar runs from %d to %d"
                % (begin_date, end_date, describe, cal.days[0], cal.days[-1])
            )
        return lo, hi

    # ---------------------------------------------------------------- queries
    def trading_days_between(self, begin_date, end_date):
        days = self.trading_days()
        lo = np.searchsorted(days, begin_date, side="left")
        hi = np.searchsorted(days, end_date, side="right")
        return days[lo:hi].copy()

    def trading_time(self, targets, frequency, begin_date, end_date):
        describe = _describe(targets, frequency, begin_date, end_date)
        freq = _frequency(frequency, describe)
        if freq == "tick":
            raise ValueError("tick bars have no calendar times (%s)" % describe)
        codes, rows = self.resolve(targets, " (%s)" % describe)
        lo, hi = self._range(begin_date, end_date, describe)
        sset = self._session_set(rows, self._minute_step(codes, describe) if freq == "min" else 1)
        cal = self.calendar()
        if freq == "min":
            return cal.minute_grid(sset, lo, hi)
        if freq == "day":
            return cal.day_grid(sset, lo, hi)
        return cal.period_grid(sset, lo, hi, freq)

    def _adjust_ratio(self, code, day_numbers, fq_type, base_day=None):
        """Price multiplier per trading day of the range for one stock: backward
        adjustment relative to the factor of `base_day` (a day number; default the
        first day of the range), forward to the last day of the range."""
        frame = self.adjust_factors()
        sel = frame[frame["target"] == code]
        if sel.empty:
            return None
        order = np.argsort(sel["date"].to_numpy(), kind="stable")
        f_days = int_date_to_datenum_array(sel["date"].to_numpy()[order])
        f_vals = sel["factor"].to_numpy(dtype=np.float64)[order]
        # factor of a day: the latest entry on or before it, 1 before the first entry
        i = np.searchsorted(f_days, day_numbers, side="right") - 1
        factor = np.where(i >= 0, f_vals[np.maximum(i, 0)], 1.0)
        if fq_type == gv.FQType_Forward:
            base = factor[-1]
        elif base_day is None:
            base = factor[0]
        else:
            k = np.searchsorted(f_days, base_day, side="right") - 1
            base = f_vals[k] if k >= 0 else 1.0
        return factor / base

    def k_data_multi(self, params):
        try:
            targets = params["targets"]
            frequency = params["frequency"]
            begin_date = params["begin_date"]
            end_date = params["end_date"]
        except (KeyError, TypeError):
            raise ValueError(
                "get_k_data_multi needs a dict with the keys targets, frequency, begin_date, "
                "end_date (and freq_num, filled_up, fq_type), got %r" % (params,)
            ) from None
        freq_num = params.get("freq_num", 1)
        filled_up = bool(params.get("filled_up", True))
        fq_type = params.get("fq_type", gv.FQType_None)
        # backward adjustment relative to this yyyymmdd day (0: the first day fetched),
        # so that series fetched from different days show the same prices
        fq_base = int(params.get("fq_base", 0) or 0)
        describe = _describe(targets, frequency, begin_date, end_date)
        freq = _frequency(frequency, describe)
        if freq not in _SERVED:
            raise ValueError(
                "the history service serves 'min' and 'day' bars, not %r (%s); coarser bars are "
                "combined from day bars" % (frequency, describe)
            )
        if freq_num != 1:
            raise ValueError(
                "the history service serves one-period bars only (freq_num 1), got freq_num %r "
                "(%s); bars of several periods are combined from them" % (freq_num, describe)
            )
        if fq_type not in (gv.FQType_None, gv.FQType_Forward, gv.FQType_Backward):
            raise ValueError("fq_type must be 0, 1 or 2, got %r (%s)" % (fq_type, describe))
        codes, rows = self.resolve(targets, " (%s)" % describe)
        lo, hi = self._range(begin_date, end_date, describe)
        cal = self.calendar()
        sset = self._session_set(rows, self._minute_step(codes, describe) if freq == "min" else 1)
        if freq == "min":
            times, day_pos = cal.minute_grid(sset, lo, hi)
        else:
            times, day_pos = cal.day_grid(sset, lo, hi)
        n = times.size
        day_numbers = cal.day_numbers[lo:hi]
        grid_keys = time_keys(times) if freq == "min" else day_numbers
        # with head_rows, the bars are the lower rows of a K matrix that has that many
        # header rows (zero) above them: the registration takes it as it is, uncopied
        head = int(params.get("head_rows", 0) or 0)
        matrix = np.empty((head + gv.KMatrix_Bar_Len * len(codes), n), dtype=np.float64)
        matrix[:head] = 0.0
        karray = matrix[head:]
        missing = []
        any_bars = False
        # a progress bar for long fetches, shown on a terminal only
        quiet = not params.get("need_show_ui_tip", False) or len(codes) < _PROGRESS_TARGETS
        progress = tqdm(zip(codes, rows), total=len(codes), desc="loading %s bars" % freq,
                        unit="target", disable=True if quiet else None, leave=False)
        # the bars of the range (with a day either side: day bars, night sessions)
        span = (float(times[0]) - 1.0, float(times[-1]) + 1.0) if n else None
        for t, ((code, row), bars) in enumerate(zip(progress,
                                                    self._bars_in_order(codes, freq, span))):
            block = karray[t * gv.KMatrix_Bar_Len : (t + 1) * gv.KMatrix_Bar_Len]
            if bars is None:
                missing.append(code)
                continue
            if freq == "min":
                keys = time_keys(bars["time"])
            else:
                keys = np.floor(bars["time"]).astype(np.int64)
            valid_until = None
            delist = int(row["delist_date"] or 0)
            if delist > 0:
                valid_until = int(np.searchsorted(cal.days[lo:hi], delist, side="right"))
                if freq == "min":
                    valid_until = int(np.searchsorted(day_pos, valid_until, side="left"))
            place_bars(block, grid_keys, keys, bars, filled_up, valid_until)
            if not any_bars and np.isfinite(block[gv.KMatrix_Close]).any():
                any_bars = True
            if fq_type != gv.FQType_None and TYPE_NAMES.get(row["type"]) in _ADJUSTED_TYPES:
                ratio = self._adjust_ratio(
                    code, day_numbers, fq_type,
                    int_date_to_datenum_array([fq_base])[0] if fq_base > 0 else None)
                if ratio is not None:
                    per_bar = ratio[day_pos.astype(np.int64)] if freq == "min" else ratio
                    block[gv.KMatrix_Open : gv.KMatrix_Close + 1] *= per_bar
        if missing:
            raise StoreError(
                "no %s bars stored for %s (%s); expected the files %s"
                % (freq, ", ".join(missing), describe, ", ".join(self.bar_path(c, freq) for c in missing))
            )
        # a view that ends before the first bar (an audit's early cut) has none yet
        if not any_bars and self.cut is None:
            raise ValueError("no bars in the range (%s)" % describe)
        first_of_day = np.flatnonzero(np.r_[True, day_pos[1:] != day_pos[:-1]]).astype(np.int64)
        out = {"TimeLine": times, "DayPos": day_pos, "KArray": karray, "TradeFreshPos": first_of_day}
        if head:
            out["Matrix"] = matrix
        return out

    def _bars_in_order(self, codes, freq, times=None):
        """read_bars of each code, in their order (`times`: see read_bars).  A store at
        a URL reads up to READ_AHEAD files at once: each read is a few round trips to
        the object store, and pyarrow waits on them without the GIL."""
        if not self.remote or len(codes) < 2:
            for code in codes:
                yield self.read_bars(code, freq, times)
            return
        self.minute_bases()  # listed once, before the reading threads look it up
        codes = iter(codes)
        with ThreadPoolExecutor(max_workers=READ_AHEAD) as pool:
            pending = collections.deque(pool.submit(self.read_bars, c, freq, times)
                                        for c in itertools.islice(codes, READ_AHEAD))
            while pending:
                done = pending.popleft()
                nxt = next(codes, None)
                if nxt is not None:
                    pending.append(pool.submit(self.read_bars, nxt, freq, times))
                yield done.result()

    def main_contract(self, targets, begin_date, end_date):
        begin_date = as_date(begin_date, "begin date")
        end_date = as_date(end_date, "end date")
        if isinstance(targets, (str, dict)):
            targets = [targets]
        frame = self.main_contracts()
        result = {}
        for code in todotmc(list(targets)):
            sel = frame[(frame["target"] == code) & (frame["date"] >= begin_date) & (frame["date"] <= end_date)]
            if sel.empty:
                continue
            sel = sel.sort_values("date", kind="stable")
            result[code] = (sel["date"].to_numpy(dtype=np.int64), list(sel["contract"]))
        return result

    def target_info(self, targets):
        codes, rows = self.resolve(targets)
        out = []
        for code, row in zip(codes, rows):
            out.append(
                {
                    "Market": row["market"],
                    "Code": row["code"],
                    "Type": TYPE_NAMES.get(row["type"]),
                    "Multiple": float(row["multiplier"]),
                    "MinMove": float(row["min_move"]),
                    "ListDate": int(row["list_date"]),
                    "DelistDate": int(row["delist_date"]),
                    "Name": row["name"],
                    "Calendar": row["calendar"],
                    "DotCode": code,
                    "ST": bool(row.get("st", False)),
                    "LimitPct": float(row.get("limit_pct", np.nan)),
                    "MarginRate": float(row.get("margin_rate", np.nan)),
                }
            )
        return out

    def ticks_between(self, code, t0, t1):
        """Ticks of a target with t0 < time <= t1 (t0 NaN: from the start of t1's day)."""
        ticks = self.read_ticks(code)
        if ticks is None:
            return TickRecord()
        keys = time_keys(ticks["time"])
        if np.isnan(t0):
            lo = np.searchsorted(keys, time_keys(np.floor(t1)), side="left")
        else:
            lo = np.searchsorted(keys, time_keys(t0), side="right")
        hi = np.searchsorted(keys, time_keys(t1), side="right")
        return TickRecord(ticks["time"][lo:hi], ticks["price"][lo:hi], ticks["volume"][lo:hi])


# ------------------------------------------------------------------ services
def _unknown_text(target, code, table):
    """'SH.600001 (did you mean SH.600000, SH.600010?)' for a target not in `table`."""
    import difflib

    if code is None:
        return "%r (not a target code: write MARKET.CODE, such as SH.600000)" % (target,)
    text = code if code == target else "%s (%r)" % (code, target)
    same = [c for c in table if c.split(".")[-1] == code.split(".")[-1]]
    close = difflib.get_close_matches(code, list(table), n=10, cutoff=0.6)
    # fewest characters changed first (SH.600001: SH.600000 before SH.600040)
    close.sort(key=lambda c: sum(a != b for a, b in zip(c, code)) + abs(len(c) - len(code)))
    near = same + [c for c in close if c not in same]
    return text + (" (did you mean %s?)" % ", ".join(near[:3]) if near else "")


def target_codes(targets):
    """The current store's dotted codes of `targets` in any form the importer takes
    (see HistoryStore.target_codes)."""
    return current_store().target_codes(targets)


def get_trading_days(begin_date, end_date):
    """Trading days within [begin_date, end_date] as ascending yyyymmdd int64."""
    return current_store().trading_days_between(as_date(begin_date, "begin date"), as_date(end_date, "end date"))


def get_trading_day_numbers(times):
    """The trading day (day number) of each time-line value: the one rule by which
    steps, factor rows, adjustment factors, main contracts and the store's cut view
    are dated (`Calendar.trading_day_numbers`)."""
    return trading_day_numbers(times, lambda: current_store().calendar().day_numbers)


def get_k_data_multi(params):
    """Bars of several targets on one common time line; see docs/data-format.md."""
    return current_store().k_data_multi(params)


def get_trading_time(targets, frequency, begin_date, end_date):
    """(bar end times, day positions) of a frequency's calendar bars over the range."""
    return current_store().trading_time(targets, frequency, begin_date, end_date)


def get_minute_periods(targets, minutes):
    """Base bars of the targets in a bar of `minutes` minutes: the count of "min"
    periods that a registration asks for (5-minute base bars: 15 minutes are 3).
    ValueError when the targets mix base sizes or the minutes are not a whole
    number of base bars, naming the targets, the base and the minutes asked."""
    return current_store().minute_periods(targets, minutes)


def get_main_contract(targets, begin_date, end_date):
    """dotted code -> (days int64, contract codes) for the continuous targets among `targets`."""
    return current_store().main_contract(targets, begin_date, end_date)


def get_target_info(targets):
    """One instrument record (dict) per target."""
    return current_store().target_info(targets)


def _run_context():
    """(target list, main time line) of the current run."""
    from vornix.tframe.sysstate import vr

    return vr.g_VornixInputInfo.TargetList, vr.g_VornixDataValueFresh[gv.KMatrixPos_TimeLine]


def get_bar_tick_data(target_idx, refresh_pos):
    """Ticks of target `target_idx` within the bar at `refresh_pos` of the run's main time line.

    The bar at position p covers (time[p-1], time[p]]; the first bar covers its
    day up to time[0].
    """
    targets, time_line = _run_context()
    target_idx = int(target_idx)
    refresh_pos = int(refresh_pos)
    if not 0 <= target_idx < len(targets):
        raise IndexError("target index %d outside the run's %d targets" % (target_idx, len(targets)))
    time_line = np.asarray(time_line, dtype=np.float64).ravel()
    if not 0 <= refresh_pos < time_line.size:
        raise IndexError(
            "refresh position %d outside the main time line of %d bars" % (refresh_pos, time_line.size)
        )
    code = todotmc(targets[target_idx])
    t0 = time_line[refresh_pos - 1] if refresh_pos > 0 else np.nan
    return current_store().ticks_between(code, t0, time_line[refresh_pos])
