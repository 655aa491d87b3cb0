"""The files of a run's results, written into a folder: the tables as Parquet and
CSV (through pyarrow: Parquet first, then the CSV from the same Arrow table), the
summary and the charts.  Each file goes to a temporary name and is renamed into
place."""

import json
import os

from vornix.tframe.utils.utilfunc import atomic_path

# the tables of a result that are written when they have rows, by file name
TABLES = ("trades", "orders", "round_trips", "daily")


def write_table(frame, folder, name):
    """`frame` as NAME.parquet and NAME.csv in `folder` (times in CSV to the
    millisecond, as 2023-01-03 09:31:00)."""
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.csv as pcsv
    import pyarrow.parquet as pq

    table = pa.Table.from_pandas(frame, preserve_index=False)
    with atomic_path(os.path.join(folder, name + ".parquet"), ".parquet") as tmp:
        pq.write_table(table, tmp)
    columns = []
    for field, column in zip(table.schema, table.columns):
        if pa.types.is_timestamp(field.type):
            # whole seconds without a fraction, the others to the millisecond
            seconds = pc.cast(column, pa.timestamp("s"), safe=False)
            whole = pc.fill_null(pc.equal(pc.cast(seconds, field.type), column), True)
            text = pc.strftime(seconds, format="%Y-%m-%d %H:%M:%S")
            if not pc.all(whole).as_py():
                text = pc.if_else(whole, text, pc.strftime(
                    pc.cast(column, pa.timestamp("ms"), safe=False), format="%Y-%m-%d %H:%M:%S"))
            column = text
        columns.append(column)
    table = pa.table(columns, names=table.column_names)
    with atomic_path(os.path.join(folder, name + ".csv"), ".csv") as tmp:
        pcsv.write_csv(table, tmp, pcsv.WriteOptions(quoting_style="needed"))


def write_json(obj, path):
    with atomic_path(path, ".json") as tmp:
        with open(tmp, "w", encoding="utf-8") as fh:
            json.dump(obj, fh, indent=2)


def write_result_files(result, folder, summary=None):
    """Every file of `result` into `folder`: results.parquet/.csv (one row per step),
    summary.json (`summary`, default the statistics, when there is one), the tables
    of TABLES that have rows, chart.png and monthly_returns.png."""
    from vornix.runner import _chart

    write_table(result.records, folder, "results")
    summary = getattr(result, "stats", None) if summary is None else summary
    if summary:
        write_json(summary, os.path.join(folder, "summary.json"))
    for name in TABLES:
        frame = getattr(result, name, None)
        if frame is not None and len(frame):
            write_table(frame, folder, name)
    stats = getattr(result, "stats", None) or {}
    title = _chart.title_of("%s, %s x%d, %d to %d" % (result.name, result.frequency, result.count,
                                                      result.begin, result.end), stats)
    for name, made in (
            ("chart.png", lambda p: _chart.write_chart(
                result.records, p, title, stats, getattr(result, "trades", None),
                getattr(result, "daily", None))),
            ("monthly_returns.png", lambda p: _chart.write_monthly(
                stats.get("monthly_returns"), p))):
        path = os.path.join(folder, name)
        if not made(path) and os.path.exists(path):
            os.remove(path)  # an old chart of the same folder would mislead
