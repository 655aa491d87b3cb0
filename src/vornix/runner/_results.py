"""The results folder of a run: results.parquet/.csv and chart.png; once the
strategy ordered, summary.json, trades, orders, round_trips and daily (each
.parquet and .csv) and monthly_returns.png (see `_output`).

The folder is whole or absent: it is written under a temporary name beside its
place (".<name>.tmp-<pid>-..."), then renamed into place; an earlier folder of the
same name is moved aside first and removed after, so no file of an earlier run
survives beside a new run's.  A run stopped while it writes leaves the earlier
folder or none, and a temporary folder that the next write of the same name
removes.  summary.json says "status": "ok", or "failed" with the error and the step
of a strategy that failed midway (its results then hold the steps before it)."""

import contextlib
import datetime
import os
import shutil
import tempfile

from vornix.tframe.utils.utilfunc import pid_alive, process_umask

RESULTS_MARK = ".vornix-results"  # names a folder as a run's results: a later run may replace it


def default_folder(name):
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    base = os.path.join(os.getcwd(), "vornix-results", "%s-%s" % (name, stamp))
    folder, n = base, 1
    while os.path.exists(folder):
        n += 1
        folder = "%s-%d" % (base, n)
    return folder


def _earlier_results(folder):
    """Whether the existing folder `folder` may be replaced: empty, or the results
    of an earlier run (its mark, or only files a run writes)."""
    names = os.listdir(folder)
    from vornix.runner._output import TABLES

    known = {"summary.json", "chart.png", "monthly_returns.png", "report.html"} | {
        name + ext for name in ("results",) + TABLES for ext in (".parquet", ".csv")}
    return not names or RESULTS_MARK in names or set(names) <= known


def results_folder(out, name):
    """The results folder of a run of strategy `name` (`out`, else the default),
    checked before the run starts: ValueError when it is a file, a folder holding
    anything but an earlier run's results, or a place that cannot be written."""
    from vornix.tframe.utils.textshow import shown_text

    folder = os.path.abspath(os.fspath(out)) if out else default_folder(name)
    shown = shown_text(folder)
    if os.path.lexists(folder) and not os.path.isdir(folder):
        raise ValueError("the results folder %s is an existing file: choose another --out" % shown)
    if os.path.isdir(folder) and not _earlier_results(folder):
        raise ValueError("the results folder %s holds files that are not a run's results; a run replaces "
                         "its folder as a whole: choose a new or empty --out" % shown)
    parent = os.path.dirname(folder)
    try:
        os.makedirs(parent, exist_ok=True)
    except OSError as exc:
        raise ValueError("the results folder %s cannot be made: %s" % (shown, exc.strerror or exc)) from None
    if not os.access(parent, os.W_OK | os.X_OK):
        raise ValueError("the results folder %s cannot be written: no write permission in %s"
                         % (shown, shown_text(parent)))
    return folder


def _remove_stale(parent, base):
    """Temporary and set-aside folders of `base` left by writers that are gone."""
    for entry in os.listdir(parent):
        for kind in (".tmp-", ".old-"):
            head = ".%s%s" % (base, kind)
            if entry.startswith(head):
                pid = entry[len(head):].split("-", 1)[0]
                if pid.isdigit() and not pid_alive(int(pid)):
                    shutil.rmtree(os.path.join(parent, entry), ignore_errors=True)


def _status(result, failure):
    summary = {"status": "ok" if failure is None else "failed"}
    if failure is not None:
        summary.update(failure)
    summary.update(getattr(result, "stats", None) or {})
    return summary


def write_results(result, out=None, failure=None):
    """Write the recorded values of `result` into the folder `out` (default
    ./vornix-results/<name>-<time stamp>), whole (see the module's text); returns
    the folder.  `failure`: {"error": text, "step": n, ...} of a run that failed."""
    folder = results_folder(out, result.name)
    parent, base = os.path.split(folder)
    _remove_stale(parent, base)
    stage = tempfile.mkdtemp(prefix=".%s.tmp-%d-" % (base, os.getpid()), dir=parent)
    try:
        os.chmod(stage, 0o777 & ~process_umask())
        _write_files(result, stage, failure)
        _switch_in(stage, folder, parent, base)
    except BaseException:
        shutil.rmtree(stage, ignore_errors=True)
        raise
    return folder


def _write_files(result, folder, failure):
    """Every file of the results folder (written into a new, empty folder)."""
    from vornix.runner._output import write_result_files

    write_result_files(result, folder, summary=_status(result, failure))
    with open(os.path.join(folder, RESULTS_MARK), "w", encoding="utf-8") as fh:
        fh.write("results of a vornix run; a later run with this folder as --out replaces it\n")


def _switch_in(stage, folder, parent, base):
    """Rename the written folder into place, an earlier one moved aside first."""
    for name in os.listdir(stage):
        with open(os.path.join(stage, name), "rb") as fh:
            os.fsync(fh.fileno())
    aside = None
    if os.path.isdir(folder):
        aside = tempfile.mkdtemp(prefix=".%s.old-%d-" % (base, os.getpid()), dir=parent)
        os.rename(folder, os.path.join(aside, base))
    try:
        os.rename(stage, folder)
    except BaseException:
        if aside is not None:  # the earlier folder back in its place
            with contextlib.suppress(OSError):
                os.rename(os.path.join(aside, base), folder)
                os.rmdir(aside)
        raise
    if aside is not None:
        shutil.rmtree(aside, ignore_errors=True)
    fd = os.open(parent, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)

