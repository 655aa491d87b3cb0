"""One run of a sweep, in a process of its own.

`run_combination(task)` is the function every engine calls, on this machine or on a
cluster worker: it starts a fresh Python process (`child_main` of this module),
hands it the task, waits for it and returns the row of the run.  The state store
is process-wide, so a run never shares a process with another run, nor with the
engine's own worker process.

A task is a plain dict (it crosses process and machine boundaries):

- "strategy": absolute path of the strategy file;
- "settings": keyword settings of `vornix.runner.run` (targets ... params, cash, ...);
- "env": the VX_* settings of the run, each a text or None (unset); they replace
  whatever the worker process has in its own environment, so every run sees the
  store, the matrix cache and the output folders of the process that started the
  sweep;
- "curve": whether to return the run's time line and equity too (True: at every
  step; "daily": at each trading day's close, None for a run that did not order);
- "timeout": seconds the run may take (None: no limit); a run that takes longer
  is stopped (its process killed) and reported in its row.

The row: the summary statistics (`STATS`), "error" (None, or the error's text
without the snapshot line), "error_snapshot" (the path of the error snapshot, if
one was written), the store's generation and content stamp as the run saw them,
the vornix version of the run, and "run_seconds" (the whole process, start-up
included).  `run_combination` never raises: whatever goes wrong, down to a child
that crashes, ends up in the row's "error".
"""

import os
import pickle
import subprocess
import sys
import tempfile
import time
import traceback

# the statistics of a row, in column order (vornix.runner._stats)
STATS = (
    "steps",
    "trades",
    "total_return",
    "annual_return",
    "annual_volatility",
    "sharpe",
    "max_drawdown",
    "max_drawdown_peak",
    "max_drawdown_trough",
    "turnover",
    "win_rate",
    "periods_per_year",
)
# what a row carries besides the statistics
EXTRA = ("error", "error_snapshot", "store_generation", "store_stamp", "version", "run_seconds",
         "note")
# the settings of a run that reach its process explicitly
SETTING_KEYS = (
    "VX_STORE_DIR",
    "VX_CORE_CACHE_DIR",
    "VX_OUTPUT_DIR",
    "VX_LOG_DIR",
    "VX_MAT_CACHE",
    "VX_STORE_CUT",
    "VX_SOCKET_TIMEOUT",
    "VX_SUB_SOCKET_TIMEOUT",
    "VX_CONFIG_FILE",
)
_STDERR_TAIL = 4000
_CHILD = (
    "import pickle, sys; from vornix.sweep._task import child_main; "
    "child_main(pickle.loads(sys.stdin.buffer.read()))"
)


def empty_row(error=None):
    row = dict.fromkeys(STATS)
    row.update(dict.fromkeys(EXTRA))
    row["error"] = error
    return row


def _child_env(settings_env):
    env = dict(os.environ)
    for key, value in settings_env.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = str(value)
    # the child imports vornix from where this process found it
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def run_combination(task):
    """Runs `task` in a fresh process; returns (row, curve), curve being None unless
    the task asked for it."""
    t0 = time.perf_counter()
    fd, result_path = tempfile.mkstemp(prefix="vx-sweep-", suffix=".pickle")
    os.close(fd)
    timeout = task.get("timeout")
    try:
        payload = pickle.dumps(dict(task, result=result_path))
        # on time-out the child is killed (and waited for) before this raises
        proc = subprocess.run(
            [sys.executable, "-c", _CHILD],
            input=payload,
            env=_child_env(task.get("env", {})),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            timeout=timeout,
        )
        try:
            with open(result_path, "rb") as fh:
                row, curve = pickle.load(fh)
        except (OSError, EOFError, pickle.UnpicklingError):
            tail = proc.stderr.decode("utf-8", "replace")[-_STDERR_TAIL:].strip()
            row, curve = (
                empty_row(
                    "the run's process ended with exit status %d before "
                    "reporting%s" % (proc.returncode, ":\n" + tail if tail else "")
                ),
                None,
            )
    except subprocess.TimeoutExpired:
        row, curve = (
            empty_row("the run did not finish within its time-out of %g s and was stopped" % timeout),
            None,
        )
    except Exception as exc:  # the process could not even be started
        row, curve = (
            empty_row("".join(traceback.format_exception_only(type(exc), exc)).strip()),
            None,
        )
    finally:
        try:
            os.remove(result_path)
        except OSError:
            pass
    row["run_seconds"] = time.perf_counter() - t0
    return row, curve


# ------------------------------------------------------------------ in the child


def _error_text(exc):
    """The error's text; the snapshot line of a strategy error goes to its own column,
    so that the same failure reads the same in every sweep."""
    from vornix.tframe.utils.exceptions import StrategyError

    if isinstance(exc, StrategyError):
        lines = [ln for ln in exc.message.splitlines() if not ln.startswith("error snapshot: ")]
        return "\n".join(lines), exc.snapshot or None
    return "".join(traceback.format_exception_only(type(exc), exc)).strip(), None


def _store_info(row):
    from vornix.api.history import _history

    try:
        row["store_generation"] = int(_history.store_generation())
        row["store_stamp"] = _history.store_stamp()
    except Exception:  # a store that cannot be read is named in the run's own error
        pass


def idle_note(result):
    """What a run that did nothing lacked ("no data read", "no order placed"), or
    None: such a window's statistics say nothing of the parameters."""
    if not result.read:
        return "no data read"
    if result.orders is None or not len(result.orders):
        return "no order placed"
    return None


def child_main(task):
    import vornix

    row, curve = empty_row(), None
    row["version"] = vornix.__version__
    try:
        from vornix.runner import run

        result = run(task["strategy"], out=False, quiet=True, **task["settings"])
        row.update({k: v for k, v in (result.stats or {}).items() if k in row})
        row["steps"] = int(result.steps)
        row["note"] = idle_note(result)
        if row["trades"] is None:
            row["trades"] = 0
        if task.get("curve") == "daily":  # the equity at each trading day's close
            daily = result.daily
            curve = (daily["time"].to_numpy(), daily["equity"].to_numpy()) if daily is not None \
                else None
        elif task.get("curve"):
            rec = result.records
            curve = (
                rec["time"].to_numpy(),
                rec["equity"].to_numpy() if "equity" in rec.columns else None,
            )
    except Exception as exc:
        row["error"], row["error_snapshot"] = _error_text(exc)
    _store_info(row)
    with open(task["result"], "wb") as fh:
        pickle.dump((row, curve), fh)
