"""The audit driver, the child runs it starts, and the report.

Every run of the audit happens in a child process of its own (the state store is
process-wide), with a local trading core, its own core cache and the matrix
cache off, so that nothing computed on the whole store reaches a cut run."""

import json
import os
import subprocess
import sys
import tempfile
import time
import zlib
from dataclasses import dataclass, field

import numpy as np

_CHILD = ("import json, sys; from vornix.audit._audit import child_main; "
          "child_main(json.loads(sys.argv[1]))")


# ----------------------------------------------------------------- in the child


class Fingerprints:
    """Hooks of the runner: a CRC of every read (its values and size) by step, and
    an early stop.  With `capture` = [(step, call)], the windows of those calls are
    kept as well."""

    def __init__(self, stop_after=None, capture=()):
        self.stop_after = stop_after
        self.reads = []  # (step, registration number, crc, size, length, fill_up or -1)
        self.names = []  # registration number -> what it reads
        self.capture = {tuple(k): None for k in capture}

    def wrap(self, what, read):
        number = len(self.names)
        self.names.append(what)
        append, capture, crc32 = self.reads.append, self.capture, zlib.crc32
        ndarray = np.ndarray
        per_step = {}

        def fingerprinted(reg_idx, step, length, *rest):
            result = read(reg_idx, step, length, *rest)
            fill = int(bool(rest[0])) if rest else -1
            if type(result) is ndarray and result.flags.c_contiguous:
                # the windows of bars: float64 arrays in C order, read in place
                append((step, number, crc32(result), result.size, length, fill))
            else:
                crc, size = 0, 0
                for part in result if isinstance(result, tuple) else (result,):
                    a = np.ascontiguousarray(part, dtype=np.float64)
                    crc, size = crc32(a, crc), size + a.size
                append((step, number, crc, size, length, fill))
            if capture:
                k = per_step.get(step, 0)
                per_step[step] = k + 1
                if (int(step), k) in capture:
                    parts = result if isinstance(result, tuple) else (result,)
                    capture[(int(step), k)] = [np.asarray(p, dtype=np.float64).tolist()
                                               for p in parts]
            return result

        return fingerprinted


def child_main(cfg):
    """One audit run: writes what it saw into cfg["out"] (npz)."""
    from vornix.runner._run import _run_here

    hooks = Fingerprints(stop_after=cfg.get("stop_after"), capture=cfg.get("capture", ()))
    result = _run_here(cfg["strategy"], cfg["overrides"], False, True, "local", hooks=hooks)
    rec = result.records
    table = np.array(hooks.reads, dtype=np.int64).reshape(-1, 6)
    names = [c for c in rec.columns if c != "time"]
    np.savez(
        cfg["out"],
        reads=table[:, :4],  # step, registration, crc, size: what is compared
        call_length=table[:, 4],
        call_fill=table[:, 5],
        times=rec["time"].to_numpy().astype("datetime64[ns]").astype(np.int64),
        records=np.column_stack([rec[c].to_numpy(dtype=np.float64) for c in names])
        if names else np.zeros((len(rec), 0)),
        record_names=np.array(names, dtype=object),
        reg_names=np.array(hooks.names, dtype=object),
        capture=np.array(json.dumps({"%d,%d" % k: v for k, v in hooks.capture.items()}),
                         dtype=object),
        steps=np.int64(result.steps),
        step_seconds=np.float64(result.step_seconds),
    )


# ---------------------------------------------------------------- the driver


@dataclass
class Finding:
    """One place where a cut run saw something else than the full run."""

    cut: int  # the cut step
    step: int
    time: str
    what: str  # the registration read, or "record"
    detail: str  # fill_up and length, or the recorded name
    target: str = ""
    column: str = ""  # the bar field, or the cell, that differs
    full: object = None
    cut_value: object = None
    call: int = field(default=-1, repr=False)  # which read of the step

    def text(self):
        where = " ".join(x for x in (self.target, self.column) if x)
        values = ""
        if self.full is not None or self.cut_value is not None:
            values = ": %r with the whole store, %r with nothing after the cut" % (
                self.full, self.cut_value)
        return "step %d (%s), cut at step %d: %s %s%s%s" % (
            self.step, self.time, self.cut, self.what, self.detail,
            (" " + where) if where else "", values)


@dataclass
class AuditReport:
    strategy: str
    steps: int
    cuts: list
    findings: list = field(default_factory=list)
    full_seconds: float = 0.0
    audit_seconds: float = 0.0
    reads: int = 0

    @property
    def clean(self):
        return not self.findings

    def text(self):
        lines = ["vornix audit %s: %d steps, %d reads of data, %d cuts (steps %s)"
                 % (self.strategy, self.steps, self.reads, len(self.cuts),
                    ", ".join(map(str, self.cuts)))]
        if self.clean:
            lines.append("no look-ahead: every window and recorded value up to each cut is the "
                         "same on a store that ends at the cut")
        else:
            lines.append("LOOK-AHEAD: %d place(s) where the strategy saw data from after the "
                         "step" % len(self.findings))
            lines += ["  " + f.text() for f in self.findings]
        ratio = self.audit_seconds / self.full_seconds if self.full_seconds else float("nan")
        lines.append("time: one run %.1f s, the audit %.1f s (%.1fx)"
                     % (self.full_seconds, self.audit_seconds, ratio))
        return "\n".join(lines)


_FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")


def _child(cfg, env):
    t0 = time.perf_counter()
    proc = subprocess.run([sys.executable, "-c", _CHILD, json.dumps(cfg)], env=env,
                          capture_output=True, text=True)
    seconds = time.perf_counter() - t0
    if proc.returncode != 0:
        raise RuntimeError("an audit run failed:\n" + (proc.stderr or proc.stdout).strip())
    with np.load(cfg["out"], allow_pickle=True) as z:
        return {k: z[k] for k in z.files}, seconds


def _cut_steps(times, n, seed):
    """The first and last step of days, weeks and months (where a bar in progress
    shows mistakes), then random steps; `n` in all, ascending."""
    t = times.astype("datetime64[ns]")
    day = t.astype("datetime64[D]")
    week = (day.astype(np.int64) + 3) // 7  # weeks from Monday
    month = t.astype("datetime64[M]")
    bounds = set()
    for key in (day, week, month):
        change = np.flatnonzero(key[1:] != key[:-1])
        bounds.update((change + 1).tolist())  # first steps
        bounds.update(change.tolist())  # last steps
    rng = np.random.default_rng(seed)
    bounds = sorted(bounds)
    chosen = set()
    if bounds:
        pick = rng.choice(len(bounds), min(len(bounds), (n + 1) // 2), replace=False)
        chosen.update(bounds[i] for i in pick)
    others = [s for s in range(len(times) - 1) if s not in chosen]
    if others and len(chosen) < n:
        pick = rng.choice(len(others), min(len(others), n - len(chosen)), replace=False)
        chosen.update(others[i] for i in pick)
    return sorted(chosen)[:n]


def _locate(full_window, cut_window, reg_name):
    """Target row block and field of the first cell that differs."""
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
        return "target %d" % int(a[idx[0], 0]), field_name, float(a[idx]), float(b[idx])
    return "row %d" % idx[0], "column %d" % idx[-1], float(a[idx]), float(b[idx])


def audit(strategy, cuts=20, seed=0, **settings):
    """Audit `strategy` (a file path) at `cuts` cut steps (a number, or the steps
    themselves); run settings as for `vornix.runner.run`. Returns an AuditReport."""
    t_start = time.perf_counter()
    strategy = os.path.abspath(os.fspath(strategy))
    overrides = {k: settings.get(k) for k in ("targets", "frequency", "count", "begin", "end",
                                              "adjust", "params")}
    with tempfile.TemporaryDirectory(prefix="vx-audit-") as tmp:
        def env_for(name, cut=None):
            env = dict(os.environ)
            env["VX_MAT_CACHE"] = "0"
            env["VX_CORE_CACHE_DIR"] = os.path.join(tmp, "core-" + name)
            env.pop("VX_STORE_CUT", None)
            if cut is not None:
                env["VX_STORE_CUT"] = repr(float(cut))
            env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
            return env

        def cfg(name, **extra):
            c = {"strategy": strategy, "overrides": overrides,
                 "out": os.path.join(tmp, name + ".npz")}
            c.update(extra)
            return c

        full, full_seconds = _child(cfg("full"), env_for("full"))
        times_ns = full["times"]
        steps = int(full["steps"])
        # time-line values of the steps, for the store's cut
        tl = times_ns / 86400e9 + 719529.0
        if isinstance(cuts, (list, tuple)):
            cut_list = sorted({int(c) for c in cuts if 0 <= int(c) < len(times_ns)})
        else:
            cut_list = _cut_steps(times_ns.astype("datetime64[ns]"), int(cuts), seed)
        reg_names = list(full["reg_names"])
        record_names = list(full["record_names"])
        report = AuditReport(strategy=os.path.splitext(os.path.basename(strategy))[0],
                             steps=steps, cuts=cut_list, full_seconds=full_seconds,
                             reads=int(len(full["reads"])))
        stamp = lambda s: str(times_ns[s].astype("datetime64[ns]").astype("datetime64[s]"))  # noqa: E731
        for c in cut_list:
            # a hair after the step's time: the step's own bars are in the view
            run, _ = _child(cfg("cut%d" % c, stop_after=c), env_for("cut%d" % c, tl[c] + 1e-7))
            finding = _compare(full, run, c, reg_names, record_names, stamp)
            if finding is None:
                continue
            if finding.what != "record":
                # the windows themselves, read again in both views
                key = [[finding.step, finding.call]]
                a, _ = _child(cfg("capfull%d" % c, stop_after=finding.step, capture=key),
                              env_for("capfull%d" % c))
                b, _ = _child(cfg("capcut%d" % c, stop_after=finding.step, capture=key),
                              env_for("capcut%d" % c, tl[c] + 1e-7))
                wa = json.loads(str(a["capture"])).get("%d,%d" % tuple(key[0]))
                wb = json.loads(str(b["capture"])).get("%d,%d" % tuple(key[0]))
                if wa is not None and wb is not None:
                    finding.target, finding.column, finding.full, finding.cut_value = _locate(
                        wa, wb, finding.what)
            report.findings.append(finding)
    report.audit_seconds = time.perf_counter() - t_start
    return report


def _compare(full, run, c, reg_names, record_names, stamp):
    """The first difference up to step c, or None."""
    fr, cr = full["reads"], run["reads"]
    fr = fr[fr[:, 0] <= c] if len(fr) else fr
    cr = cr[cr[:, 0] <= c] if len(cr) else cr
    n = min(len(fr), len(cr))
    bad = np.flatnonzero((fr[:n] != cr[:n]).any(axis=1)) if n else np.zeros(0, dtype=np.int64)
    first_read = int(bad[0]) if bad.size else (n if len(fr) != len(cr) else None)
    # recorded values up to c
    a = full["records"][: c + 1]
    b = run["records"][: c + 1] if run["records"].shape[1] == a.shape[1] else None
    first_record = None
    if b is None:
        first_record = (0, 0)
    else:
        diff = np.argwhere(~((a == b) | (np.isnan(a) & np.isnan(b))))
        if diff.size:
            first_record = (int(diff[0][0]), int(diff[0][1]))
    read_step = int(fr[first_read, 0]) if first_read is not None and first_read < len(fr) else None
    if first_read is not None and (first_record is None or read_step is None
                                   or read_step <= first_record[0]):
        i = first_read
        step = int(fr[i, 0]) if i < len(fr) else int(cr[i, 0])
        reg = reg_names[int(fr[i, 1])] if i < len(fr) else "a read the full run did not make"
        length, fill = int(full["call_length"][i]), int(full["call_fill"][i])
        detail = "(length %d%s)" % (length, "" if fill < 0 else ", fill_up=%s" % bool(fill))
        return Finding(cut=c, step=step, time=stamp(step), what=reg, detail=detail,
                       call=int(np.sum(fr[:i, 0] == step)))
    if first_record is not None:
        s, k = first_record
        name = record_names[k] if record_names else "?"
        what, _, target = name.partition(":")
        return Finding(cut=c, step=s, time=stamp(s), what="record", detail="%r" % what,
                       target=target, full=float(a[s, k]),
                       cut_value=float(b[s, k]) if b is not None else None)
    return None

