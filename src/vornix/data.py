"""The bar store from Python: import files and pandas DataFrames, write the sample
market, see what a store holds.

    import vornix.data

    vornix.data.import_frame("bars-1m", frame)            # columns as in a file
    vornix.data.import_file("bars-1d", "days.csv", volume_scale=100)
    vornix.data.info()                                    # one row per target

`store` is a folder (default: the setting VX_STORE_DIR, else ~/.vornix/store); the
options are those of `vornix data import` (docs/data-format.md): columns, target,
volume_scale, stamp, auction, derive_day, force. The kinds are listed in
`vornix.data.KINDS`. A file or frame with bad rows raises DataImportError listing
them, and nothing is written."""

import os
import tempfile

from vornix.api.history._import import KINDS, DataImportError

__all__ = ["KINDS", "DataImportError", "import_file", "import_frame", "info", "sample"]


def _store(store, create=False):
    from vornix.api.history._history import HistoryStore, open_store, store_dir

    path = store_dir() if store is None else os.fspath(store)
    return HistoryStore(path, create=True) if create else open_store(path)


def import_file(kind, path, store=None, **options):
    """Import a CSV or Parquet file of `kind` (bars-1m, bars-5m, bars-1d, instruments,
    calendar, ...) into the store; returns the one-line summary of what was written."""
    from vornix.api.history._import import import_csv

    return import_csv(_store(store, create=True), kind, os.fspath(path), **options)


def import_frame(kind, frame, store=None, **options):
    """Import a pandas DataFrame of `kind`, its columns named as in a file of that
    kind (aliases and `columns=` as for files; datetime64 columns are taken as
    times). Bad rows are reported as lines: line n is row n - 2 of the frame
    (counting from 0), as if the frame were a CSV file with a header."""
    import pandas as pd
    import pyarrow as pa
    import pyarrow.parquet as pq

    if not isinstance(frame, pd.DataFrame):
        raise TypeError("import_frame: give a pandas DataFrame, got %s" % type(frame).__name__)
    from vornix.api.history._import import import_csv

    target = _store(store, create=True)
    with tempfile.TemporaryDirectory(prefix="vornix-frame-") as tmp:
        path = os.path.join(tmp, "frame.parquet")
        try:
            table = pa.Table.from_pandas(frame.reset_index(drop=True), preserve_index=False)
        except (pa.ArrowException, ValueError, TypeError) as exc:
            raise ValueError("import_frame: the frame cannot be converted (%s)" % exc) from None
        pq.write_table(table, path)
        try:
            return import_csv(target, kind, path, **options)
        except DataImportError as exc:
            raise DataImportError("DataFrame", exc.problems, exc.total) from None


def sample(store=None, seed=0, days=260, stocks=10):
    """Write the deterministic sample market into the store; returns its description
    (days, bars per target, ...)."""
    from vornix.api.history._sample import write_sample_market

    return write_sample_market(_store(store, create=True), seed=seed, days=days, stocks=stocks)


def info(store=None):
    """What the store holds, one row per target: code, type, list_date,
    delist_date, minute_base (minutes of its stored base bar), minute_bars,
    first_minute, last_minute, day_bars, first_day, last_day (times as datetime64;
    NaT where it has no bars)."""
    import numpy as np
    import pandas as pd

    from vornix.tframe.utils.datetimefunc import _EPOCH_DATENUM

    rows = _store(store).target_rows()
    frame = pd.DataFrame(rows, columns=["code", "type", "list_date", "delist_date", "minute_base",
                                        "minute_bars", "first_minute", "last_minute", "day_bars",
                                        "first_day", "last_day"])
    for col in ("first_minute", "last_minute", "first_day", "last_day"):
        millis = np.round((frame[col].to_numpy(dtype=float) - _EPOCH_DATENUM) * 86400000.0)
        frame[col] = pd.to_datetime(millis, unit="ms")
    return frame
