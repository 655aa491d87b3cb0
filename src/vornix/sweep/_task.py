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

No orphans: a run's process ends when the process that started it ends, however
it ends (on Linux it is killed then: PR_SET_PDEATHSIG), and the runs' result
files live in a folder of the starting process, <temp>/vornix-sweep-<uid>/<pid>-<host>-*,
removed when it exits; the folders of processes that are gone (killed) are
removed by the next sweep that starts a run.
"""

import atexit
import os
import pickle
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import traceback

from vornix.tframe.utils.utilfunc import pid_alive

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
    "sortino",
    "calmar",
    "exposure",
    "round_trips",
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


_temp = {"folder": None}
_temp_lock = threading.Lock()


def temp_folder():
    """This process's folder for the result files of its runs (made on first use,
    after removing the folders of processes that are gone)."""
    with _temp_lock:
        folder = _temp["folder"]
        if folder is not None and os.path.isdir(folder):
            return folder
        root = os.path.join(tempfile.gettempdir(), "vornix-sweep-%d" % os.geteuid())
        os.makedirs(root, mode=0o700, exist_ok=True)
        st = os.lstat(root)
        if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.geteuid() or st.st_mode & 0o077:
            raise OSError("the folder %s for the files of sweeps is not this user's own private folder"
                          % root)
        # folders are named <pid>-<host>-...: a process of another host (or container)
        # sharing the temporary folder is not looked for here
        host = "".join(c if c.isalnum() else "_" for c in socket.gethostname())
        for name in os.listdir(root):
            pid, _, rest = name.partition("-")
            if (pid.isdigit() and rest.startswith(host + "-") and int(pid) != os.getpid()
                    and not pid_alive(int(pid))):
                shutil.rmtree(os.path.join(root, name), ignore_errors=True)
        folder = _temp["folder"] = tempfile.mkdtemp(prefix="%d-%s-" % (os.getpid(), host), dir=root)
        atexit.register(shutil.rmtree, folder, True)
        return folder


def _end_with_parent(parent):
    """Have this process killed when its parent ends (Linux); end now when the
    parent is gone already."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):  # not Linux: the run ends by itself
        return
    if parent is not None and os.getppid() != parent:
        os._exit(1)


def run_combination(task):
    """Runs `task` in a fresh process; returns (row, curve), curve being None unless
    the task asked for it."""
    t0 = time.perf_counter()
    timeout = task.get("timeout")
    result_path = None
    try:
        fd, result_path = tempfile.mkstemp(prefix="run-", suffix=".pickle", dir=temp_folder())
        os.close(fd)
        payload = pickle.dumps(dict(task, result=result_path, parent=os.getpid()))
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
        if result_path is not None:
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
    _end_with_parent(task.get("parent"))
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
