"""The audit driver, the sealed child runs it starts, the comparison and the report.

Every run of the audit happens in a child process of its own (the state store is
process-wide) with a local trading core, in a temporary folder of its own: a
private copy of the strategy's folder as its working folder, its own HOME, TMPDIR,
core cache, output and log folders, and the matrix cache off, so that nothing one
run writes is read by another."""

import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

import numpy as np

# the child works in the strategy's folder: that folder is not where modules of the
# library or of Python come from (a strategy file named calendar.py, say)
_CHILD = ("import json, sys; sys.path[:1] = [] if sys.path[:1] == [''] else sys.path[:1]; "
          "from vornix.audit._child import child_main; child_main(json.loads(sys.argv[1]))")

# exit codes of `vornix audit`
CLEAN, LOOK_AHEAD, ERROR, NONDETERMINISTIC = 0, 1, 2, 3

FOLDER_LIMIT_MB = 50  # default of the setting VX_AUDIT_FOLDER_MB: every run copies it
# Every run has this hash seed (the order in which a set of texts is walked is the
# same in all of them).  The run over the whole range and the cut runs are forked
# from one fork server (one per process, started with this process's settings); the
# second run over the whole range starts a fresh interpreter, with fresh entropy, so
# randomness that is not seeded shows there.
HASH_SEED = 1
_SKIPPED = ("__pycache__", ".git", ".hg", ".svn")
_FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")


# ---------------------------------------------------------------- the report


@dataclass
class Finding:
    """One place where two runs saw or did something else: a cut run against the
    run over the whole range, or (nondeterminism) two runs over the whole range."""

    cut: int  # the cut step (-1: two whole runs)
    step: int
    time: str
    what: str  # the registration read, "record" or "order"
    detail: str  # fill_up and length, the recorded name, or the order event
    target: str = ""
    column: str = ""  # the bar field, the cell, or the order's field that differs
    full: object = None
    cut_value: object = None
    call: int = field(default=-1, repr=False)  # which read of the step

    def text(self):
        where = " ".join(x for x in (self.target, self.column) if x)
        values = ""
        if self.full is not None or self.cut_value is not None:
            if self.cut < 0:
                values = ": %s in the first run, %s in the second" % (
                    _shown(self.full), _shown(self.cut_value))
            else:
                values = ": %s with the whole store, %s with nothing after the cut" % (
                    _shown(self.full), _shown(self.cut_value))
        cut = "" if self.cut < 0 else ", cut at step %d" % self.cut
        return "step %d (%s)%s: %s %s%s%s" % (
            self.step, self.time, cut, self.what, self.detail,
            (" " + where) if where else "", values)


def _shown(value):
    return "nothing" if value is None else value if isinstance(value, str) else repr(value)


@dataclass
class AuditReport:
    strategy: str
    steps: int
    cuts: list
    findings: list = field(default_factory=list)
    nondeterministic: object = None  # the first difference between two whole runs
    full_seconds: float = 0.0
    audit_seconds: float = 0.0
    reads: int = 0
    orders: int = 0
    runs: list = field(default_factory=list)  # (name, seconds) of every child run

    @property
    def clean(self):
        return not self.findings and self.nondeterministic is None

    @property
    def exit_code(self):
        """0 clean, 1 look-ahead, 3 nondeterministic (2 is an error of the audit)."""
        if self.nondeterministic is not None:
            return NONDETERMINISTIC
        return LOOK_AHEAD if self.findings else CLEAN

    def text(self):
        lines = ["vornix audit %s: %d steps, %d reads of data, %d orders, %s"
                 % (self.strategy, self.steps, self.reads, self.orders,
                    "%d cuts (steps %s)" % (len(self.cuts), ", ".join(map(str, self.cuts)))
                    if self.cuts else "no cuts run")]
        if self.nondeterministic is not None:
            lines.append("NONDETERMINISTIC: the strategy is nondeterministic: two runs over the "
                         "whole range differ, so cut runs cannot be compared with them (seed the "
                         "randomness the strategy uses)")
            lines.append("  " + self.nondeterministic.text())
        elif self.clean:
            lines.append("no look-ahead: every window, recorded value and order up to each cut "
                         "is the same on a store that ends at the cut")
        else:
            lines.append("LOOK-AHEAD: %d place(s) where the strategy saw data from after the "
                         "step" % len(self.findings))
            lines += ["  " + f.text() for f in self.findings]
        ratio = self.audit_seconds / self.full_seconds if self.full_seconds else float("nan")
        lines.append("time: one run %.1f s, the audit %.1f s (%.1fx)"
                     % (self.full_seconds, self.audit_seconds, ratio))
        return "\n".join(lines)


# ------------------------------------------------------------- sealed runs


def _folder_size(folder, limit):
    """Bytes of the files under `folder` (links followed, _SKIPPED folders left
    out), counting no further than just past `limit`."""
    total = 0
    for root, dirs, files in os.walk(folder, followlinks=True):
        dirs[:] = [d for d in dirs if d not in _SKIPPED]
        for name in files:
            try:
                total += os.stat(os.path.join(root, name)).st_size
            except OSError:
                continue
            if total > limit:
                return total
    return total


class _Runs:
    """The sealed child runs of one audit, in a temporary folder."""

    def __init__(self, strategy, overrides, broker, tmp):
        from vornix.api.history import _history
        from vornix.setting import config_file_path, get_setting

        self.strategy, self.overrides, self.broker, self.tmp = strategy, overrides, broker, tmp
        self.seconds = []  # (name, seconds) of every run
        self.folder = os.path.dirname(strategy)
        limit_mb = get_setting("VX_AUDIT_FOLDER_MB", FOLDER_LIMIT_MB)
        size = _folder_size(self.folder, limit_mb * 2 ** 20)
        if size > limit_mb * 2 ** 20:
            raise ValueError(
                "the strategy's folder %s holds more than %d MB (setting VX_AUDIT_FOLDER_MB); "
                "every audit run works on a copy of it: move the strategy into a folder of "
                "its own" % (self.folder, limit_mb))
        # what the runs share is named here, once: the store and the settings file (the
        # settings of the environment pass on; the folders below are each run's own)
        self.base = dict(os.environ)
        self.base.pop("VX_STORE_CUT", None)
        self.base["VX_STORE_DIR"] = _history.store_dir()
        self.base["VX_CONFIG_FILE"] = os.path.abspath(config_file_path())
        self.base["VX_MAT_CACHE"] = "0"
        self.base["PYTHONDONTWRITEBYTECODE"] = "1"
        # the strategy's own folder leaves the module path: its modules come from the copy
        self.own = {os.path.abspath(self.folder)}
        self.base["PYTHONPATH"] = os.pathsep.join(
            p for p in sys.path if p and os.path.abspath(p) not in self.own)

    @staticmethod
    def _forked(fresh):
        """The fork server runs start from (the modules of a run imported once: a run
        in a fresh interpreter spends about as long on its imports as on its steps),
        or None: a run in a fresh interpreter."""
        import multiprocessing

        if fresh or "forkserver" not in multiprocessing.get_all_start_methods():
            return None
        from vornix.audit._child import PRELOAD

        ctx = multiprocessing.get_context("forkserver")
        ctx.set_forkserver_preload(PRELOAD)
        return ctx

    def run(self, name, cut=None, fresh=False, **extra):
        """One run in its own folder; returns (what it saw, seconds)."""
        home = os.path.join(self.tmp, name)
        work = os.path.join(home, "strategy")
        shutil.copytree(self.folder, work, ignore=shutil.ignore_patterns(*_SKIPPED),
                        ignore_dangling_symlinks=True)
        os.makedirs(os.path.join(home, "tmp"))
        env = dict(self.base)
        env.update({"HOME": home, "TMPDIR": os.path.join(home, "tmp"),
                    "VX_CORE_CACHE_DIR": os.path.join(home, "cache"),
                    "VX_OUTPUT_DIR": os.path.join(home, "output"),
                    "VX_LOG_DIR": os.path.join(home, "log"),
                    "PYTHONHASHSEED": str(HASH_SEED)})
        if cut is not None:
            env["VX_STORE_CUT"] = repr(float(cut))
        out = os.path.join(self.tmp, name + ".npz")
        cfg = {"strategy": os.path.join(work, os.path.basename(self.strategy)),
               "overrides": self.overrides, "broker": self.broker, "out": out}
        cfg.update(extra)
        t0 = time.perf_counter()
        ctx = self._forked(fresh)
        if ctx is not None:
            from vornix.audit._child import forked_main

            log = os.path.join(home, "output.txt")
            # the fork server (started by the first run forked) is this process's helper:
            # it starts with this process's own settings (what it logs at its exit goes
            # where this process logs); each forked run takes its own before it starts
            server = dict(os.environ, PYTHONHASHSEED=str(HASH_SEED))
            server.pop("VX_STORE_CUT", None)
            with _environ(server):
                proc = ctx.Process(target=forked_main, args=(cfg, env, work, log, self.own))
                proc.start()
            proc.join()
            failed = proc.exitcode != 0
            if failed:
                with open(log, encoding="utf-8", errors="replace") as fh:
                    message = fh.read()
        else:
            proc = subprocess.run([sys.executable, "-c", _CHILD, json.dumps(cfg)], env=env,
                                  cwd=work, capture_output=True, text=True)
            failed, message = proc.returncode != 0, proc.stderr or proc.stdout
        seconds = time.perf_counter() - t0
        self.seconds.append((name, seconds))
        if failed:
            raise RuntimeError("an audit run failed:\n" + message.strip())
        with np.load(out, allow_pickle=True) as z:
            seen = {k: z[k] for k in z.files}
        shutil.rmtree(home, ignore_errors=True)
        os.remove(out)
        return seen, seconds


@contextlib.contextmanager
def _environ(env):
    saved = dict(os.environ)
    os.environ.clear()
    os.environ.update(env)
    try:
        yield
    finally:
        os.environ.clear()
        os.environ.update(saved)


# ------------------------------------------------------------------ the cuts


def _bounds(times, trading_day):
    """First and last steps of trading days, weeks and months."""
    day = trading_day.astype(np.int64)
    date = (day - 719529).astype("datetime64[D]")
    week = (day - 367) // 7  # day number 367 is a Monday
    month = date.astype("datetime64[M]")
    bounds = set()
    for key in (day, week, month):
        change = np.flatnonzero(key[1:] != key[:-1])
        bounds.update((change + 1).tolist())  # first steps
        bounds.update(change.tolist())  # last steps
    return bounds


def _cut_steps(times, n, seed, trading_day=None, night=None, events=(), rolls=()):
    """`n` cut steps, ascending, never the last step.  Step 0, the first steps of new
    main-contract periods (and the steps before them) and the steps where the
    strategy placed orders come first; then the first and last steps of trading
    days, weeks and months and the first steps of night sessions; then random
    steps."""
    t = np.asarray(times).astype("datetime64[ns]")
    last = len(t) - 1
    if trading_day is None:
        trading_day = (t.astype("datetime64[D]").astype(np.int64) + 719529).astype(np.float64)
    rng = np.random.default_rng(seed)
    chosen = set()

    def take(pool, k):
        pool = sorted(s for s in set(pool) if 0 <= s < last and s not in chosen)
        k = min(k, len(pool), n - len(chosen))
        if k > 0:
            chosen.update(pool[i] for i in rng.choice(len(pool), k, replace=False))

    take([0], 1)
    take(list(rolls) + [r - 1 for r in rolls], max(1, n // 4))
    take(events, max(1, n // 4))
    bounds = _bounds(t, np.asarray(trading_day))
    if night is not None and np.any(night):
        night = np.asarray(night, dtype=bool)
        bounds.update((np.flatnonzero(night[1:] & ~night[:-1]) + 1).tolist())
    take(bounds, max(1, (3 * n) // 4) - len(chosen))
    take(range(last), n - len(chosen))
    return sorted(chosen)


# ------------------------------------------------------------------ comparing


def _locate(full_window, cut_window, reg_name, codes):
    """Target (code) and field of the first cell that differs."""
    a, b = np.asarray(full_window[-1], dtype=float), np.asarray(cut_window[-1], dtype=float)
    if a.shape != b.shape:
        return "", "shape", a.shape, b.shape
    diff = np.argwhere(~((a == b) | (np.isnan(a) & np.isnan(b))))
    if diff.size == 0:
        return "", "", None, None
    idx = tuple(diff[0])
    if reg_name.startswith("bars") and a.ndim == 2 and a.shape[1] == 9:
        column = idx[1]
        field_name = "time" if column == 1 else _FIELDS[column - 2] if column >= 2 else "target"
        t = int(a[idx[0], 0])
        return (str(codes[t]) if 0 <= t < len(codes) else "target %d" % t), field_name, float(a[idx]), float(b[idx])
    return "row %d" % idx[0], "column %d" % idx[-1], float(a[idx]), float(b[idx])


def _first_read(a, b, upto):
    """(step, position in a) of the first read that differs up to step `upto`."""
    fr, cr = a["reads"], b["reads"]
    if upto is not None:
        fr = fr[fr[:, 0] <= upto] if len(fr) else fr
        cr = cr[cr[:, 0] <= upto] if len(cr) else cr
    n = min(len(fr), len(cr))
    bad = np.flatnonzero((fr[:n] != cr[:n]).any(axis=1)) if n else np.zeros(0, dtype=np.int64)
    if bad.size:
        i = int(bad[0])
    elif len(fr) != len(cr):
        i = n
    else:
        return None
    step = int(fr[i, 0]) if i < len(fr) else int(cr[i, 0])
    return step, i


def _records(seen, upto):
    """name -> values up to step `upto` (inclusive); the account columns NaN before
    the run's first order, as if absent."""
    rows = seen["records"] if upto is None else seen["records"][: upto + 1]
    first = int(seen["first_order"])
    out = {}
    for k, (name, account) in enumerate(zip(seen["record_names"], seen["account"])):
        col = rows[:, k]
        if account:
            col = col.copy()
            col[: first if first >= 0 else len(col)] = np.nan
        out[str(name)] = col
    return out


def _first_record(a, b, upto):
    """(step, name, value in a, value in b) of the first recorded value that differs;
    a column one side lacks is NaN there."""
    ra, rb = _records(a, upto), _records(b, upto)
    length = len(next(iter(ra.values()))) if ra else len(next(iter(rb.values()), []))
    best = None
    for name in list(ra) + [n for n in rb if n not in ra]:
        x = ra.get(name, np.full(length, np.nan))
        y = rb.get(name, np.full(length, np.nan))
        m = min(len(x), len(y))
        diff = np.flatnonzero(~((x[:m] == y[:m]) | (np.isnan(x[:m]) & np.isnan(y[:m]))))
        if diff.size and (best is None or diff[0] < best[0]):
            s = int(diff[0])
            best = (s, name, _value(x[s]), _value(y[s]))
    return best


def _value(v):
    v = float(v)
    return None if v != v else v


_EVENT_FIELDS = {"placed": ("volume", "limit"), "fill": ("side", "volume", "price", "fee")}


def _describe_event(e):
    """(detail, target, text) of an order event."""
    kind = e[4]
    if kind == "placed":
        return "placed", e[3], "order %d: volume %s, %s" % (
            e[2], _num(e[5]), "market" if e[6] is None else "limit %s" % _num(e[6]))
    if kind == "fill":
        return "fill", e[3], "order %d: %s %s at %s, fee %s" % (
            e[2], e[5], _num(e[6]), _num(e[7]), _num(e[8]))
    return "done", e[3], "order %d %s%s" % (e[2], kind, " (%s)" % e[5] if e[5] else "")


def _num(v):
    return "?" if v is None else "%g" % v


def _first_event(a, b, upto):
    """(step, detail, target, a's event text or None, b's) of the first order event
    that differs up to step `upto`."""
    ea, eb = json.loads(str(a["events"])), json.loads(str(b["events"]))
    if upto is not None:
        ea = [e for e in ea if e[0] <= upto]
        eb = [e for e in eb if e[0] <= upto]
    for i in range(max(len(ea), len(eb))):
        x = ea[i] if i < len(ea) else None
        y = eb[i] if i < len(eb) else None
        if x == y:
            continue
        first = x if y is None or (x is not None and x[:2] <= y[:2]) else y
        detail, target, _ = _describe_event(first)
        same_slot = x is not None and y is not None and x[:3] == y[:3]
        tx = _describe_event(x)[2] if x is not None and (same_slot or x is first) else None
        ty = _describe_event(y)[2] if y is not None and (same_slot or y is first) else None
        return first[0], detail, target, tx, ty
    return None


def _failure(run, stamp, cut):
    """A Finding for a run that failed where the whole run did not."""
    step = int(run["failed_step"])
    lines = [x for x in str(run["failed"]).strip().splitlines()
             if x.strip() and not x.startswith("error snapshot:")]
    error = next((x.strip() for x in reversed(lines) if not x.startswith(" ")), lines[-1])
    return Finding(cut=cut, step=max(step, 0), time=stamp(max(step, 0)),
                   what="the strategy failed", detail="in init" if step < 0 else "at the step",
                   full="no error", cut_value=error)


def _first_difference(a, b, upto, stamp, cut):
    """The first difference between runs a and b up to step `upto` (None: all
    steps), as a Finding, or None.  At one step a read comes before an order and an
    order before a record: each may follow from the one before."""
    if "failed" in b:
        return _failure(b, stamp, cut)
    found = []
    read = _first_read(a, b, upto)
    if read is not None:
        step, i = read
        reads = a["reads"] if i < len(a["reads"]) else b["reads"]
        source = a if i < len(a["reads"]) else b
        reg = str(source["reg_names"][int(reads[i, 1])]) if i < len(reads) else "a read"
        if i >= len(a["reads"]):
            reg = "a read the %s run did not make: %s" % ("first" if cut < 0 else "whole", reg)
        length, fill = int(source["call_length"][i]), int(source["call_fill"][i])
        detail = "(length %d%s)" % (length, "" if fill < 0 else ", fill_up=%s" % bool(fill))
        found.append((step, 0, Finding(cut=cut, step=step, time=stamp(step), what=reg,
                                       detail=detail,
                                       call=int(np.sum(reads[:i, 0] == step)))))
    event = _first_event(a, b, upto)
    if event is not None:
        step, detail, target, x, y = event
        found.append((step, 1, Finding(cut=cut, step=step, time=stamp(step), what="order",
                                       detail=detail, target=target, full=x, cut_value=y)))
    record = _first_record(a, b, upto)
    if record is not None:
        step, name, x, y = record
        what, _, target = name.partition(":")
        found.append((step, 2, Finding(cut=cut, step=step, time=stamp(step), what="record",
                                       detail="%r" % what, target=target, full=x, cut_value=y)))
    return min(found, key=lambda f: f[:2])[2] if found else None


# ---------------------------------------------------------------- the driver


def _progress(total):
    from tqdm import tqdm

    return tqdm(total=total, desc="audit", unit="run", leave=False, disable=None)


def audit(strategy, cuts=20, seed=0, **settings):
    """Audit `strategy` (a file path) at `cuts` cut steps (a number, or the steps
    themselves); run and broker settings as for `vornix.runner.run`. Returns an
    AuditReport; its `exit_code` is what `vornix audit` exits with."""
    from vornix.runner._strategy import BROKER_KEYS, RESULT_KEYS, SERIES_KEYS

    t_start = time.perf_counter()
    strategy = os.path.abspath(os.fspath(strategy))
    overrides = {k: settings.get(k) for k in SERIES_KEYS + ("params",) + RESULT_KEYS}
    broker = {k: settings[k] for k in BROKER_KEYS if settings.get(k) is not None}
    given = list(cuts) if isinstance(cuts, (list, tuple)) else None
    with tempfile.TemporaryDirectory(prefix="vx-audit-") as tmp:
        runs = _Runs(strategy, overrides, broker, tmp)
        bar = _progress(2 + (len(given) if given is not None else int(cuts)))
        try:
            bar.set_postfix_str("whole range")
            full, _ = runs.run("full", dates=True)
            if "failed" in full:
                raise RuntimeError("the run over the whole range failed:\n%s" % full["failed"])
            bar.update(1)
            bar.set_postfix_str("whole range again")
            # one run as a user starts it, in a fresh interpreter: the report's baseline
            again, full_seconds = runs.run("again", fresh=True)
            bar.update(1)
            times_ns = full["times"]
            stamp = lambda s: str(times_ns[s].astype("datetime64[ns]").astype("datetime64[s]"))  # noqa: E731
            events = json.loads(str(full["events"]))
            report = AuditReport(strategy=os.path.splitext(os.path.basename(strategy))[0],
                                 steps=int(full["steps"]), cuts=[], full_seconds=full_seconds,
                                 reads=int(len(full["reads"])),
                                 orders=sum(1 for e in events if e[1] == 1))
            report.runs = runs.seconds
            report.nondeterministic = _first_difference(full, again, None, stamp, -1)
            if report.nondeterministic is not None:
                report.audit_seconds = time.perf_counter() - t_start
                return report
            if given is not None:
                cut_list = sorted({int(c) for c in given if 0 <= int(c) < len(times_ns)})
            else:
                cut_list = _cut_steps(times_ns, int(cuts), seed, full["trading_day"],
                                      full["night"], [e[0] for e in events if e[1] == 1],
                                      full["rolls"].tolist())
            report.cuts = cut_list
            bar.total = 2 + len(cut_list)
            # time-line values of the steps, for the store's cut
            tl = times_ns / 86400e9 + 719529.0
            for c in cut_list:
                bar.set_postfix_str("cut at step %d" % c)
                # a hair after the step's time: the step's own bars are in the view
                run, _ = runs.run("cut%d" % c, tl[c] + 1e-7, stop_after=c)
                bar.update(1)
                finding = _first_difference(full, run, c, stamp, c)
                if finding is None:
                    continue
                if finding.call >= 0:  # a window read: find the cell
                    _locate_read(runs, finding, c, tl, full["codes"])
                report.findings.append(finding)
        finally:
            bar.close()
    report.audit_seconds = time.perf_counter() - t_start
    return report


def _locate_read(runs, finding, c, tl, codes):
    """The windows of a read that differs, read again in both views: the target and
    field of the first cell that differs."""
    key = [[finding.step, finding.call]]
    a, _ = runs.run("capfull%d" % c, stop_after=finding.step, capture=key)
    b, _ = runs.run("capcut%d" % c, tl[c] + 1e-7, stop_after=finding.step, capture=key)
    if "capture" not in a or "capture" not in b:
        return
    wa = json.loads(str(a["capture"])).get("%d,%d" % tuple(key[0]))
    wb = json.loads(str(b["capture"])).get("%d,%d" % tuple(key[0]))
    if wa is not None and wb is not None:
        finding.target, finding.column, finding.full, finding.cut_value = _locate(
            wa, wb, finding.what, codes)
