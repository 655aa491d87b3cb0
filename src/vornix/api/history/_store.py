"""The embedded bar store: a directory of Parquet files.

Layout of a store directory::

    GENERATION                 counter, time stamp and store id; bumped by every write
    instruments.parquet        one row per target
    calendar.parquet           trading days (yyyymmdd)
    sessions.parquet           trading sessions per calendar name
    adjust.parquet             stock adjustment factors per target and day
    main_contracts.parquet     main contract per continuous target and day
    bars/1m/MARKET.CODE.parquet, bars/1d/MARKET.CODE.parquet
    ticks/MARKET.CODE.parquet
    factors/NAME.parquet       daily factor values, one file per factor

Every file is written to a temporary file in its own directory and then moved
over the old one, so a reader sees either the old or the new file, never half
of one.  Small tables are read once per open store object; bar files are read
on each request.
"""

import datetime as _dt
import os
import re
import uuid
from typing import NamedTuple

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from vornix.tframe.sysdefine import GlobalDefine as gv
from vornix.tframe.utils.exceptions import StoreError
from vornix.tframe.utils.utilfunc import atomic_path

BAR_FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")
BAR_COLUMNS = ("time",) + BAR_FIELDS
TICK_COLUMNS = ("time", "price", "volume")
FREQ_DIRS = {"min": "1m", "day": "1d"}

# instrument types of the store and their target-type codes
TYPE_NAMES = {
    "stock": gv.TARGETTYPE_STOCK,
    "future": gv.TARGETTYPE_FUTURE,
    "index": gv.TARGETTYPE_INDEX,
    "fund": gv.TARGETTYPE_FUND,
}

_SCHEMAS = {
    "instruments": pa.schema(
        [
            ("market", pa.string()),
            ("code", pa.string()),
            ("type", pa.string()),
            ("multiplier", pa.float64()),
            ("min_move", pa.float64()),
            ("list_date", pa.int64()),
            ("delist_date", pa.int64()),
            ("calendar", pa.string()),
            ("name", pa.string()),
        ]
    ),
    "calendar": pa.schema([("date", pa.int64())]),
    "sessions": pa.schema(
        [
            ("calendar", pa.string()),
            ("open", pa.int64()),
            ("close", pa.int64()),
            ("day_offset", pa.int64()),
        ]
    ),
    "adjust": pa.schema([("target", pa.string()), ("date", pa.int64()), ("factor", pa.float64())]),
    "main_contracts": pa.schema(
        [("target", pa.string()), ("date", pa.int64()), ("contract", pa.string())]
    ),
    "factor": pa.schema([("date", pa.int64()), ("target", pa.string()), ("value", pa.float64())]),
    "bars": pa.schema([(c, pa.float64()) for c in BAR_COLUMNS]),
    "ticks": pa.schema([(c, pa.float64()) for c in TICK_COLUMNS]),
}


def default_store_dir():
    return os.path.join(os.path.expanduser("~"), ".vornix", "store")


def _check_target_name(target):
    if not target or "/" in target or "\\" in target or target.startswith("."):
        raise StoreError("target code %r cannot name a store file" % (target,))


def write_table_atomic(path, table):
    """Write a pyarrow table to `path` through a temporary file in the same directory."""
    with atomic_path(path, ".parquet") as tmp:
        pq.write_table(table, tmp)


def write_text_atomic(path, text):
    with atomic_path(path) as tmp:
        with open(tmp, "w", encoding="utf-8") as fh:
            fh.write(text)


GENERATION_FILE = "GENERATION"
_STORE_ID = re.compile(r"[0-9a-f]{32}")
_GENERATION_MAX_BYTES = 4096
_KEEP_BYTES = 1 << 30  # merged files kept between checking and writing them (see write_files)


class GenerationInfo(NamedTuple):
    counter: int  # 0 for a store never written
    stamp: str  # time stamp of the last write ("" for none)
    store_id: str  # random id given at creation ("" for a store made before stores had one)


def _now():
    return _dt.datetime.now(_dt.timezone.utc).isoformat()


def read_generation_file(path):
    """GenerationInfo of the store at `path`; a missing file is a store never written.

    The file holds up to three lines: the counter, the time stamp of the last write
    and the store id.  A file that cannot be read or does not hold them raises a
    StoreError naming it."""
    gen_path = os.path.join(path, GENERATION_FILE)
    try:
        with open(gen_path, "rb") as fh:
            data = fh.read(_GENERATION_MAX_BYTES + 1)
    except FileNotFoundError:
        return GenerationInfo(0, "", "")
    except OSError as exc:
        raise StoreError("store generation file %s cannot be read: %s" % (gen_path, exc)) from exc
    try:
        if len(data) > _GENERATION_MAX_BYTES:
            raise ValueError("it is longer than %d bytes" % _GENERATION_MAX_BYTES)
        try:
            lines = data.decode("utf-8").splitlines()
        except UnicodeDecodeError:
            raise ValueError("it is not text") from None
        first = lines[0].strip() if lines else ""
        try:
            counter = int(first)
        except ValueError:
            raise ValueError("first line %r is not a number" % first) from None
        stamp = lines[1].strip() if len(lines) > 1 else ""
        store_id = lines[2].strip() if len(lines) > 2 else ""
        if store_id and not _STORE_ID.fullmatch(store_id):
            raise ValueError("third line %r is not a store id" % store_id)
    except ValueError as exc:
        raise StoreError("store generation file %s is damaged: %s" % (gen_path, exc)) from None
    return GenerationInfo(counter, stamp, store_id)


def read_generation(path):
    """Generation counter of the store at `path` (0 for a store never written)."""
    return read_generation_file(path).counter


def content_stamp(path):
    """What names the contents of the store at `path`: its id, generation counter and
    the time stamp of its last write.  The id is drawn at random when a store is
    created, so a store made again from scratch, or another store built by the same
    writes, never shares a stamp, while a store moved to another folder keeps it.  A
    store made before stores had an id is named by its folder until its next write
    gives it one."""
    info = read_generation_file(path)
    who = "store %s" % info.store_id if info.store_id else "folder %s" % path
    return "%s|%d|%s" % (who, info.counter, info.stamp)


def _write_generation(path, counter, store_id):
    write_text_atomic(
        os.path.join(path, GENERATION_FILE), "%d\n%s\n%s\n" % (counter, _now(), store_id)
    )


def _name_list(names):
    """Names in a message: all of a few, the first and last of many (they are in order)."""
    if not names:
        return "none"
    if len(names) <= 10:
        return ", ".join(names)
    return "%d files in name order, %s to %s" % (len(names), names[0], names[-1])


class BarStore:
    """A bar store directory.  Reading needs an existing directory unless `create`;
    then the directory is made by the first write (with the store's id), so that a
    store to which nothing was written leaves nothing behind."""

    def __init__(self, path, create=False):
        self.path = os.path.abspath(os.path.expanduser(str(path)))
        if not create and not os.path.isdir(self.path):
            raise StoreError(
                "no bar store at %s; create one with 'vornix data sample' or "
                "'vornix data import'" % self.path
            )
        info = read_generation_file(self.path)
        self.generation, self.store_id = info.counter, info.store_id
        self._tables = {}
        self._batch = 0
        self._dirty = False

    # ------------------------------------------------------------------ paths
    def _table_path(self, name):
        return os.path.join(self.path, name + ".parquet")

    def bar_path(self, target, frequency):
        _check_target_name(target)
        try:
            sub = FREQ_DIRS[frequency]
        except KeyError:
            raise ValueError(
                "the store holds 'min' and 'day' bars only, not frequency %r" % (frequency,)
            ) from None
        return os.path.join(self.path, "bars", sub, target + ".parquet")

    def tick_path(self, target):
        _check_target_name(target)
        return os.path.join(self.path, "ticks", target + ".parquet")

    def factor_path(self, name):
        _check_target_name(name)
        return os.path.join(self.path, "factors", name + ".parquet")

    # --------------------------------------------------------------- reading
    def _read(self, path, schema_name, missing_ok):
        if not os.path.exists(path):
            if missing_ok:
                return None
            raise StoreError("store file %s is missing" % path)
        try:
            table = pq.read_table(path)
        except (pa.ArrowException, OSError) as exc:
            raise StoreError("store file %s is damaged: %s" % (path, exc)) from exc
        schema = _SCHEMAS[schema_name]
        missing = [f.name for f in schema if f.name not in table.column_names]
        if missing:
            raise StoreError(
                "store file %s is damaged: columns %s are missing" % (path, ", ".join(missing))
            )
        try:
            return table.select(schema.names).cast(schema)
        except (pa.ArrowException, ValueError) as exc:
            raise StoreError("store file %s has columns of the wrong type: %s" % (path, exc)) from exc

    def _table(self, name):
        """A small table as a pandas frame, read once per store object (empty if absent)."""
        if name not in self._tables:
            table = self._read(self._table_path(name), name, missing_ok=True)
            if table is None:
                table = _SCHEMAS[name].empty_table()
            self._tables[name] = table.to_pandas()
        return self._tables[name]

    def instruments(self):
        return self._table("instruments")

    def trading_days(self):
        if "_days" not in self._tables:
            days = self._table("calendar")["date"].to_numpy(dtype=np.int64)
            self._tables["_days"] = np.unique(days)
        return self._tables["_days"]

    def sessions(self):
        return self._table("sessions")

    def adjust_factors(self):
        return self._table("adjust")

    def main_contracts(self):
        return self._table("main_contracts")

    def read_bars(self, target, frequency):
        """Bars of a target as a dict of float64 arrays, or None if none are stored."""
        table = self._read(self.bar_path(target, frequency), "bars", missing_ok=True)
        if table is None:
            return None
        return {c: table.column(c).to_numpy() for c in BAR_COLUMNS}

    def bar_count(self, target, frequency):
        path = self.bar_path(target, frequency)
        if not os.path.exists(path):
            return 0
        try:
            return pq.ParquetFile(path).metadata.num_rows
        except (pa.ArrowException, OSError) as exc:
            raise StoreError("store file %s is damaged: %s" % (path, exc)) from exc

    def read_ticks(self, target):
        table = self._read(self.tick_path(target), "ticks", missing_ok=True)
        if table is None:
            return None
        return {c: table.column(c).to_numpy() for c in TICK_COLUMNS}

    def factor_names(self):
        directory = os.path.join(self.path, "factors")
        if not os.path.isdir(directory):
            return []
        return sorted(
            f[: -len(".parquet")]
            for f in os.listdir(directory)
            if f.endswith(".parquet") and not f.startswith(".")
        )

    def read_factor(self, name):
        """Values of a factor as a pandas frame (date, target, value), or None."""
        table = self._read(self.factor_path(name), "factor", missing_ok=True)
        return None if table is None else table.to_pandas()

    # --------------------------------------------------------------- writing
    def _written(self):
        if self._batch:
            self._dirty = True
        else:
            self._bump()

    def _bump(self):
        info = read_generation_file(self.path)
        # a store made before stores had an id gets one with its first write
        self.generation = info.counter + 1
        self.store_id = info.store_id or uuid.uuid4().hex
        _write_generation(self.path, self.generation, self.store_id)
        self._tables.clear()

    def batch(self):
        """Context manager: several writes, one generation step at the end."""
        store = self

        class _Batch:
            def __enter__(self):
                store._batch += 1
                return store

            def __exit__(self, *exc):
                store._batch -= 1
                if not store._batch and store._dirty:
                    store._dirty = False
                    store._bump()
                return False

        return _Batch()

    @staticmethod
    def _build(path, schema_name, columns):
        schema = _SCHEMAS[schema_name]
        try:
            return pa.table({f.name: columns[f.name] for f in schema}, schema=schema)
        except (KeyError, pa.ArrowException, TypeError, ValueError) as exc:
            raise StoreError("cannot build the data of %s: %s" % (path, exc)) from exc

    def _write(self, path, schema_name, columns):
        table = self._build(path, schema_name, columns)
        read_generation_file(self.path)  # a damaged generation file refuses every write
        write_table_atomic(path, table)
        self._written()

    def write_files(self, items):
        """Write several files as one step (one generation step).

        `items` are (path, schema name, make); make() returns the file's columns,
        typically the stored file merged with new rows.  Every make() runs before
        the first write, so a stored file that cannot be read stops the step with
        nothing written; the results are kept for the writes while they fit in
        _KEEP_BYTES, later ones are made again.  Files are written in path order;
        when a write fails after others, the StoreError says exactly which files
        hold their new data and which do not.
        """
        items = sorted(items, key=lambda item: item[0])
        read_generation_file(self.path)
        kept, size = {}, 0
        for path, schema_name, make in items:
            table = self._build(path, schema_name, make())
            if size + table.nbytes <= _KEEP_BYTES:
                kept[path] = table
                size += table.nbytes
        done = 0
        with self.batch():
            for path, schema_name, make in items:
                try:
                    table = kept.pop(path, None)
                    if table is None:
                        table = self._build(path, schema_name, make())
                    write_table_atomic(path, table)
                except Exception as exc:
                    if not done:
                        raise
                    names = [os.path.relpath(p, self.path) for p, _, _ in items]
                    raise StoreError(
                        "the store %s was written in part: %d of the %d files of this step "
                        "hold their new data (%s); writing %s then failed (%s), so the %d "
                        "file(s) not written (%s) keep their old content"
                        % (self.path, done, len(items), _name_list(names[:done]), names[done],
                           exc, len(items) - done, _name_list(names[done:]))
                    ) from exc
                done += 1
                self._written()

    def write_table(self, name, frame):
        """Replace a small table (instruments, calendar, sessions, adjust, main_contracts)."""
        self._write(self._table_path(name), name, {c: frame[c] for c in frame})

    def write_bars(self, target, frequency, columns):
        self._write(self.bar_path(target, frequency), "bars", columns)

    def write_ticks(self, target, columns):
        self._write(self.tick_path(target), "ticks", columns)

    def write_factor(self, name, frame):
        self._write(self.factor_path(name), "factor", {c: frame[c] for c in frame})
