"""The results folder of a run: results.parquet/.csv and chart.png; once the
strategy ordered, summary.json, trades, orders, round_trips and daily (each
.parquet and .csv) and monthly_returns.png (see `_output`).

Each file is written to a temporary name and renamed into place, so a folder never
holds a half-written file."""

import datetime
import os


def default_folder(name):
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    base = os.path.join(os.getcwd(), "vornix-results", "%s-%s" % (name, stamp))
    folder, n = base, 1
    while os.path.exists(folder):
        n += 1
        folder = "%s-%d" % (base, n)
    return folder


def write_results(result, out=None):
    """Write the results of `result` into `out` (default
    ./vornix-results/<name>-<time stamp>); returns the folder."""
    from vornix.runner._output import write_result_files

    folder = os.path.abspath(out) if out else default_folder(result.name)
    os.makedirs(folder, exist_ok=True)
    write_result_files(result, folder)
    return folder
