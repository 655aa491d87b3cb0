"""The embedded bar store: a directory of Parquet files.

Layout of a store directory::

    GENERATION                 counter and time stamp, bumped by every write
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

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from vornix.tframe.utils.exceptions import StoreError
from vornix.tframe.utils.utilfunc import atomic_path

BAR_FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")
BAR_COLUMNS = ("time",) + BAR_FIELDS
TICK_COLUMNS = ("time", "price", "volume")
FREQ_DIRS = {"min": "1m", "day": "1d"}

TYPE_NAMES = {"stock": 1, "future": 2}  # codes of GlobalDefine.TARGETTYPE_*

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


def read_generation(path):
    """Generation counter of the store at `path` (0 for a store never written)."""
    gen_path = os.path.join(path, "GENERATION")
    try:
        with open(gen_path, encoding="utf-8") as fh:
            first = fh.readline().strip()
    except FileNotFoundError:
        return 0
    except OSError as exc:
        raise StoreError("store generation file %s cannot be read: %s" % (gen_path, exc)) from exc
    try:
        return int(first)
    except ValueError:
        raise StoreError(
            "store generation file %s is damaged: first line %r is not a number" % (gen_path, first)
        ) from None


def generation_stamp(path):
    """The full content of the generation file: changes with every write, also when a
    store is deleted and written again from scratch (its time stamp differs)."""
    try:
        with open(os.path.join(path, "GENERATION"), encoding="utf-8") as fh:
            return fh.read()
    except FileNotFoundError:
        return ""
    except OSError as exc:
        raise StoreError("store generation file in %s cannot be read: %s" % (path, exc)) from exc


class BarStore:
    """A bar store directory.  Reading needs an existing directory; writing creates it."""

    def __init__(self, path, create=False):
        self.path = os.path.abspath(os.path.expanduser(str(path)))
        if create:
            os.makedirs(self.path, exist_ok=True)
        elif not os.path.isdir(self.path):
            raise StoreError(
                "no bar store at %s; create one with 'vornix data sample' or "
                "'vornix data import'" % self.path
            )
        self.generation = read_generation(self.path)
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
        self.generation = read_generation(self.path) + 1
        stamp = _dt.datetime.now(_dt.timezone.utc).isoformat()
        write_text_atomic(
            os.path.join(self.path, "GENERATION"), "%d\n%s\n" % (self.generation, stamp)
        )
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

    def _write(self, path, schema_name, columns):
        schema = _SCHEMAS[schema_name]
        try:
            table = pa.table({f.name: columns[f.name] for f in schema}, schema=schema)
        except (KeyError, pa.ArrowException, TypeError, ValueError) as exc:
            raise StoreError("cannot build the data of %s: %s" % (path, exc)) from exc
        write_table_atomic(path, table)
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
