"""One run of the audit, in a child process of its own: the runner's hooks and what
the run leaves for the comparison (an .npz file)."""

import itertools
import json
import math
import zlib

import numpy as np

# the states after which an order changes no more
_DONE = ("filled", "rejected", "cancelled")


class Fingerprints:
    """Hooks of the runner: a CRC of every read (its values and size) by step, the
    step at which each order was done (filled in full, rejected or cancelled), and
    an early stop.  With `capture` = [(step, call)], the windows of those calls are
    kept as well."""

    def __init__(self, stop_after=None, capture=()):
        self.stop_after = stop_after
        self.reads = []  # (step, registration number, crc, size, length, fill_up or -1)
        self.names = []  # registration number -> what it reads
        self.capture = {tuple(k): None for k in capture}
        self.runner = None
        self.done = {}  # order id -> step at which it was done
        self._open = []  # orders not done at the end of the last step
        self._seen = 0  # orders looked at

    def attach(self, runner):
        self.runner = runner

    def after_step(self, step):
        """At the end of every step: which orders got done at this step."""
        orders = self.runner.broker.orders
        new = len(orders) - self._seen
        if new:
            self._open.extend(itertools.islice(reversed(orders.values()), new))
            self._seen = len(orders)
        if self._open:
            still = []
            for order in self._open:
                if order.status in _DONE:
                    self.done[order.order_id] = step
                else:
                    still.append(order)
            self._open = still

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


def _number(x):
    """A float for JSON (None for NaN and missing)."""
    try:
        v = float(x)
    except (TypeError, ValueError):
        return None
    return v if math.isfinite(v) else None


def order_events(broker, done):
    """The orders of a run as events [step, phase, order id, target, ...], phase 0 a
    fill (before on_data), 1 an order placed, 2 an order done (rejected, cancelled
    or filled in full): [.., "fill", side, volume, price, fee], [.., "placed",
    volume, limit or None], [.., status, reason]."""
    events = []
    for order in broker.orders.values():
        oid, target = int(order.order_id), str(order.target)
        events.append([int(order.placed_step), 1, oid, target, "placed",
                       _number(order.volume), _number(order.limit)])
        step = getattr(order, "done_step", None)
        if step is None:
            step = done.get(order.order_id)
        if step is not None:
            events.append([int(step), 2, oid, target, str(order.status), str(order.reason or "")])
    for e in broker.trades:
        events.append([int(e.step), 0, int(e.order_id), str(e.target), "fill", str(e.side),
                       _number(e.volume), _number(e.price), _number(e.fee)])
    events.sort(key=lambda e: (e[0], e[1], e[2]))
    return events


def _dates_of(result, store_times):
    """Per step: trading day number and whether the step is in a night session;
    the first steps of new main-contract periods of the run's targets."""
    from vornix.api.history import _history

    day = np.asarray(_history.get_trading_day_numbers(store_times), dtype=np.float64)
    night = day != np.floor(store_times)
    rolls = set()
    found = _history.get_main_contract(list(result.targets), result.begin, result.end)
    from vornix.tframe.utils.datetimefunc import int_date_to_datenum_array

    for days, contracts in found.values():
        change = [d for d, a, b in zip(days[1:], contracts[1:], contracts[:-1]) if a != b]
        if change:
            starts = int_date_to_datenum_array(np.asarray(change, dtype=np.int64))
            pos = np.searchsorted(day, starts, side="left")
            rolls.update(int(p) for p in pos if p < day.size)
    return day, night, sorted(rolls)


def child_main(cfg):
    """One audit run: writes what it saw into cfg["out"] (npz)."""
    from vornix.runner._run import _run_here
    from vornix.tframe.utils.exceptions import StrategyError

    hooks = Fingerprints(stop_after=cfg.get("stop_after"), capture=cfg.get("capture", ()))
    try:
        result = _run_here(cfg["strategy"], cfg["overrides"], False, True, "local", hooks=hooks,
                           broker=cfg.get("broker") or None)
    except StrategyError as exc:  # the strategy's own failure: compared as well
        np.savez(cfg["out"], failed=np.array(str(exc), dtype=object),
                 failed_step=np.int64(-1 if exc.step is None else exc.step))
        return
    broker = hooks.runner.broker
    rec = result.records
    own = set(hooks.runner.recorder.columns)
    names = [c for c in rec.columns if c != "time"]
    table = np.array(hooks.reads, dtype=np.int64).reshape(-1, 6)
    times = np.asarray(hooks.runner.context._time_line, dtype=np.float64)
    day, night, rolls = _dates_of(result, times) if cfg.get("dates") else (times, times, [])
    events = order_events(broker, hooks.done)
    np.savez(
        cfg["out"],
        reads=table[:, :4],  # step, registration, crc, size: what is compared
        call_length=table[:, 4],
        call_fill=table[:, 5],
        times=rec["time"].to_numpy().astype("datetime64[ns]").astype(np.int64),
        records=np.column_stack([rec[c].to_numpy(dtype=np.float64) for c in names])
        if names else np.zeros((len(rec), 0)),
        record_names=np.array(names, dtype=object),
        # the account columns: there from the first order on
        account=np.array([c not in own for c in names], dtype=bool),
        first_order=np.int64(min((e[0] for e in events if e[1] == 1), default=-1)),
        events=np.array(json.dumps(events), dtype=object),
        reg_names=np.array(hooks.names, dtype=object),
        capture=np.array(json.dumps({"%d,%d" % k: v for k, v in hooks.capture.items()}),
                         dtype=object),
        codes=np.array(result.targets, dtype=object),
        steps=np.int64(result.steps),
        step_seconds=np.float64(result.step_seconds),
        trading_day=day,
        night=np.asarray(night, dtype=bool),
        rolls=np.asarray(rolls, dtype=np.int64),
    )


# modules a run needs, imported once by the fork server the runs are forked from
PRELOAD = ["numpy", "pandas", "pyarrow.parquet", "tqdm", "vornix.audit._child",
           "vornix.runner._run", "vornix.runner._broker", "vornix.runner._prepare",
           "vornix.runner._stats", "vornix.api.history._history", "vornix.api.subscribe",
           "vornix.core", "vornix.tframe.sysstate"]


def forked_main(cfg, env, cwd, log, drop):
    """One audit run in a process forked from the audit's fork server: its settings
    and working folder are the run's own, its output goes to `log`; the folders in
    `drop` (the strategy's own folder) leave the module path."""
    import os
    import sys
    import tempfile
    import traceback

    fd = os.open(log, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.dup2(fd, 1)
    os.dup2(fd, 2)
    os.close(fd)
    os.environ.clear()
    os.environ.update(env)
    os.chdir(cwd)
    tempfile.tempdir = None
    sys.path[:] = [p for p in sys.path if p and os.path.abspath(p) not in drop]
    try:
        child_main(cfg)
    except BaseException:
        traceback.print_exc()
        sys.stderr.flush()
        os._exit(1)
    sys.stdout.flush()
    sys.stderr.flush()
