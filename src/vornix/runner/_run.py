"""`run(strategy, **settings)`: a strategy over stored data, from set-up to results."""

import contextlib
import os
import socket
import sys
import time
from dataclasses import dataclass, field

import numpy as np

from vornix.runner import _lookback
from vornix.runner._context import (
    DONE,
    STEPS,
    BarHandle,
    Context,
    Recorder,
    SeriesHandle,
    as_time_line,
    datenum_to_datetime64,
)
from vornix.runner._strategy import (
    BROKER_KEYS,
    RESULT_KEYS,
    SERIES_KEYS,
    Strategy,
    as_count,
    as_yyyymmdd,
    load_strategy,
    resolve_settings,
    strategy_traceback,
)
from vornix.tframe.utils.exceptions import StrategyError

_SETTINGS = SERIES_KEYS + ("params", "out", "quiet", "core", "report") + BROKER_KEYS + RESULT_KEYS


@dataclass
class Registration:
    frequency: str
    count: int
    adjusted: bool
    bars: int  # bars per target of a bar series; rows of a factor, user data or indicator
    main: bool = False
    kind: str = "bars"  # "bars", "factor", "user data" or "indicator"


@dataclass
class RunResult:
    """What a run produced: the recorded values (one row per step: `time`, then a
    column per name or name:code), the registrations and the timings; `out_dir` is
    the results folder (None when none was written)."""

    name: str
    strategy_path: str
    targets: list
    frequency: str
    count: int
    begin: int
    end: int
    adjust: str
    params: dict
    steps: int
    records: object  # pandas.DataFrame
    registrations: list = field(default_factory=list)
    trades: object = None  # pandas.DataFrame of the fills (empty when nothing traded)
    stats: object = None  # summary statistics once the strategy ordered (vornix.runner._stats)
    orders: object = None  # pandas.DataFrame of every order (empty when none was placed)
    round_trips: object = None  # pandas.DataFrame of the round trips (None without orders)
    daily: object = None  # pandas.DataFrame: equity (and benchmark) at each day's last step
    settings: object = None  # the run's settings (vornix.runner._strategy.RunSettings)
    setup_seconds: float = 0.0
    registration_seconds: float = 0.0
    step_seconds: float = 0.0
    out_dir: object = None
    read: tuple = ()  # the registrations whose windows the strategy read
    chunks: int = 1  # the time chunks the run executed in (vornix.runner._chunks)
    chunk_seconds: float = 0.0  # preparing and registering the chunks after the first

    @property
    def step_microseconds(self):
        return self.step_seconds / self.steps * 1e6 if self.steps else 0.0

    def summary(self):
        """A short text: steps, registrations, where the time went, the results."""
        rec = self.records
        first, last = rec["time"].iloc[0], rec["time"].iloc[-1]
        lines = [
            "vornix run %s: %d steps of %s x%d from %s to %s, %d targets%s"
            % (self.name, self.steps, self.frequency, self.count, first, last, len(self.targets),
               "" if self.adjust == "none" else ", %s-adjusted prices" % self.adjust),
            "registrations:",
        ]
        for r in self.registrations:
            if r.kind != "bars":
                lines.append("  %-28s %8d rows" % (r.frequency, r.bars))
                continue
            lines.append(
                "  %-6s x%-3d %-10s %8d bars per target%s"
                % (r.frequency, r.count, "adjusted" if r.adjusted else "unadjusted", r.bars,
                   "  (main series)" if r.main else "")
            )
        lines.append(
            "time: set-up %.2f s (main series included), registration in init %.2f s, "
            "steps %.2f s (%.1f us per step)"
            % (self.setup_seconds, self.registration_seconds, self.step_seconds,
               self.step_microseconds)
        )
        if self.chunks > 1:
            lines.append("chunks: %d (time chunks of the range; the later ones prepared and "
                         "registered in %.2f s)" % (self.chunks, self.chunk_seconds))
        names = [c for c in rec.columns if c != "time"]
        lines.append("recorded: %s" % (", ".join(names) if names else "nothing"))
        if self.stats:
            st = self.stats

            def pct(key):
                v = st.get(key)
                return "n/a" if v is None else "%.2f%%" % (100 * v)

            def num(key):
                v = st.get(key)
                return "n/a" if v is None else "%.2f" % v

            lines.append(
                "trading: %d trades over %d days, total return %s, annualised %s, volatility %s, "
                "Sharpe %s, Sortino %s, max drawdown %s (%d days), %d round trips, win rate %s"
                % (st["trades"], st.get("days", 0), pct("total_return"), pct("annual_return"),
                   pct("annual_volatility"), num("sharpe"), num("sortino"), pct("max_drawdown"),
                   st.get("max_drawdown_days", 0), st.get("round_trips", 0), pct("win_rate")))
            if st.get("benchmark"):
                lines.append("benchmark %s: return %s, excess %s, alpha %s, beta %s, information "
                             "ratio %s" % (st["benchmark"], pct("benchmark_return"),
                                           pct("excess_return"), pct("alpha"), num("beta"),
                                           num("information_ratio")))
            counts = st.get("orders")
            if counts:
                lines.append("orders: " + order_line(counts))
            for text in st.get("warnings", ()):
                lines.append("warning: " + text)
        if self.out_dir is not None:
            from vornix.tframe.utils.textshow import shown_text

            lines.append("results: %s" % shown_text(self.out_dir))
        return "\n".join(lines)


def order_line(counts):
    """'12 placed, 9 filled, 2 rejected (2 cash), 1 cancelled (1 end of day)'."""
    def by_kind(name):
        kinds = counts.get(name) or {}
        total = sum(kinds.values())
        detail = ", ".join("%d %s" % (n, k) for k, n in sorted(kinds.items(), key=lambda x: -x[1]))
        return "%d %s%s" % (total, name, " (%s)" % detail if total else "")

    text = "%d placed, %d filled, %s, %s" % (counts["placed"], counts["filled"], by_kind("rejected"),
                                             by_kind("cancelled"))
    if counts.get("pending"):
        text += ", %d still pending at the end" % counts["pending"]
    return text


# ------------------------------------------------------------------ trading core


def _listening(host, port):
    with socket.socket() as s:
        s.settimeout(0.5)
        try:
            return s.connect_ex((host, int(port))) == 0
        except OSError:
            return False


@contextlib.contextmanager
def trading_core(vr, env, where="auto"):
    """The trading core of the run. `where`: 'auto' uses the core listening at the
    configured address (127.0.0.1:3293 by default) and otherwise starts the local
    core in this process on a free port; 'local' always starts the local core;
    'HOST:PORT' connects there only. A core started here is stopped at the end."""
    from vornix.core import CoreServer

    sock = vr.g_VornixSocket
    where = "auto" if where is None else str(where).strip()
    if where not in ("auto", "local"):
        host, sep, port = where.rpartition(":")
        if not sep or not host or not port.isdigit():
            raise ValueError("core must be auto, local or HOST:PORT, got %r" % (where,))
        for s in (sock, vr.g_VornixSocketSub):
            s.host, s.port = host, int(port)
        yield
        return
    if where == "auto" and (sock.is_connected() or _listening(sock.host, sock.port)):
        yield
        return
    core = CoreServer(port=0).start()
    before = [(s.host, s.port) for s in (sock, vr.g_VornixSocketSub)]
    for s in (sock, vr.g_VornixSocketSub):
        s.host, s.port = "127.0.0.1", core.port
    try:
        yield
    finally:
        env.vx_disconnect_to()
        core.stop()
        # the address configured before, not that of the core stopped here
        for s, (host, port) in zip((sock, vr.g_VornixSocketSub), before):
            s.host, s.port = host, port


# ------------------------------------------------------------------ matrix cache


def _cache_entries(env):
    """The cache's entries now, and a mark of what this process has written."""
    from vornix.tframe import ufuncs

    folder = env.root_sub_dir("mat")
    try:
        names = {n for n in os.listdir(folder) if n.endswith(".mat")}
    except OSError:
        names = set()
    return (folder, names), ufuncs.entries_written()


def _drop_new_entries(seen, mark):
    """Remove the matrix-cache entries this run wrote that were not there before it
    (`seen`, `mark` from _cache_entries): a run that fails before its first step
    leaves the cache as it found it.  Entries other processes wrote meanwhile (runs
    of a sweep share the cache) are theirs and stay."""
    from vornix.tframe import ufuncs

    folder, before = seen
    for path in ufuncs.entries_written_since(mark):
        if os.path.dirname(os.path.abspath(path)) == os.path.abspath(folder) and (
                os.path.basename(path) not in before):
            with contextlib.suppress(OSError):
                os.remove(path)


def _base_count(settings, frequency, count):
    """The count of stored base bars in `count` minutes ("min" counts are minutes; a
    target stored as five-minute bars has 3 in 15); other frequencies as given.
    ValueError when the targets mix base sizes or the minutes are not a whole number
    of their base bars."""
    if frequency != "min":
        return count
    from vornix.api.history import _history

    return _history.get_minute_periods(list(settings.targets), count)


# ------------------------------------------------------------------------ run


class _Run:
    """One run in the process-wide state store."""

    def __init__(self, strategy, settings, quiet, hooks=None, broker=None):
        from vornix.api.subscribe import _subscribe, _windows
        from vornix.tframe import sysstate

        self.strategy = strategy
        self.settings = settings
        self.quiet = quiet
        self.vr, self.env, self.gv = sysstate.vr, sysstate.env, sysstate.gv
        self.subscribe = _subscribe
        self.read_values = _windows.get_reg_k_data_values
        self.read_adj_values = _windows.get_reg_k_data_adj_values
        self.registrations = []
        self.handles = {}
        self.series = set()  # (K-data position, adjusted) of the registered series
        self.registration_seconds = 0.0
        self.recorder = None
        self.context = None
        self.progress = None
        # the look-ahead audit's hooks: fingerprints of every read, the orders done at
        # every step, an early stop
        self.hooks = hooks
        if hooks is not None:
            hooks.attach(self)
        self.broker_settings = dict(settings.broker, **(broker or {}))
        self.broker = None
        self._factor_steps = None  # adjustment factors by step, for forward-adjusted windows
        self.time_line = None  # the steps' times, once the set-up made them
        self.data_begin = settings.begin  # the first day loaded (the look-back's)
        self.read_kinds = set()  # the registrations whose windows the strategy read
        # time chunks: (first step, end step) of each, the one running, its first
        # step and first day loaded; the registrations in the order made, replayed
        # in every chunk after the first (kind, arguments, handle, cell of its read)
        self.chunks = [(0, 0)]
        self.chunk_no = 0
        self.offset = 0
        self.chunk_data_begin = settings.begin
        self.bindings = []
        self.step_days = None  # the trading day (yyyymmdd) of every step
        self.chunk_begin = settings.begin  # the first day of the chunk running
        self._tails = {}  # user data and indicator columns kept for the next chunk

    # called by Context.reg_bars
    def register_bars(self, frequency, count, adjust):
        try:
            count = as_count(count)
        except ValueError as exc:
            raise ValueError("context.reg_bars(%r, count=%r): %s (periods of the frequency; "
                             "minutes for 'min')" % (frequency, count, exc)) from None
        key = (frequency, count, bool(adjust))
        if key in self.handles:
            return self.handles[key]
        what = "bars %s x%d%s" % (frequency, count, " adjusted" if adjust else "")
        reg_idx = self._reg_bars(frequency, count, adjust)
        read, cell = self._bound(self._bars_read(reg_idx, frequency, count, bool(adjust), what),
                                 what)
        handle = BarHandle(frequency, count, bool(adjust), reg_idx, self._bars_of(reg_idx),
                           self.context, read, np.asarray(self.context.targets))
        self.bindings.append(("bars", (frequency, count, bool(adjust), what), handle, cell))
        series = (int(reg_idx[0, 0]), bool(adjust))
        if series not in self.series:  # the main series registered again is the same one
            self.series.add(series)
            self.registrations.append(
                Registration(str(frequency), int(count), bool(adjust), handle.bars))
        self.handles[key] = handle
        if self.progress is not None:
            self.progress.set_postfix_str("registered %s x%d" % (frequency, count))
        return handle

    def _reg_bars(self, frequency, count, adjust):
        t0 = time.perf_counter()
        # the object True: the registration takes the adjusted steps for it only
        reg_idx = self.subscribe.reg_k_data(frequency, _base_count(self.settings, frequency, count),
                                            True if adjust else False)
        self.registration_seconds += time.perf_counter() - t0
        return reg_idx

    def _bars_read(self, reg_idx, frequency, count, adjust, what):
        """The window read of a bar registration in the chunk running: in the first,
        one that warns when a window reaches before the history loaded; in later
        ones, one that refuses it (ChunkSeamError); forward-adjusted when the run is."""
        read = self.read_adj_values if adjust else self.read_values
        pos = int(reg_idx[0, 0])
        current = self.vr.g_VornixKDataList[pos].CurrentBar
        if self.chunk_data_begin <= self.data_begin:  # the history of the run in one piece
            read = _lookback.warn_short(read, what, current, self.settings.lookback,
                                        self.read_kinds, self.offset)
        else:
            # a look-back of bars of this frequency loads what a window of them needs
            read = self._seam_checked(read, what, current, frequency + "=%d" % count)
        if self.settings.adjust == "forward":
            read = self._forward(read)
        return read

    def _bound(self, read, what):
        """(the handle's read, the cell that holds the chunk's read or None): in a run
        of several chunks with the audit's fingerprints, which wrap a read once, the
        handle reads through a cell that every chunk refills; without them every
        chunk gives the handle its read (see _rebind)."""
        cell = None
        if len(self.chunks) > 1 and self.hooks is not None:
            cell = [read]

            def read(*args):
                return cell[0](*args)

        if self.hooks is not None:
            read = self.hooks.wrap(what, read)
        return read, cell

    @staticmethod
    def _rebind(handle, cell, read):
        if cell is None:
            handle._read = read
        else:
            cell[0] = read

    def _seam_checked(self, read, what, current, per_bar):
        """`read` of a chunk after the first, at the chunk's own columns: a window
        longer than the bars loaded up to its step raises ChunkSeamError (the run in
        one piece would show bars before the chunk's first day loaded), as does a
        window without the bars of no volume (fill_up=False) padded for a target whose
        bars begin before that day."""
        loaded = (np.asarray(current, dtype=np.int64) + 1).tolist()  # (a list indexes faster)
        offset, kinds, n = self.offset, self.read_kinds, len(self.context.targets)
        partial = self._partial_targets()

        def checked(reg_idx, step, length, *rest):
            local = step - offset
            if length > loaded[local]:
                raise self._seam_error(what, length, step, loaded[local], per_bar)
            kinds.add(what)
            out = read(reg_idx, local, length, *rest)
            if rest and rest[0] is False and length and partial.any():
                padded = np.isnan(out[::length, 1]) if out.shape[0] == n * length else partial
                if (padded & partial).any():
                    raise self._seam_error(what, length, step, None, per_bar)
            return out

        return checked

    def _partial_targets(self):
        """Targets whose bars begin before the chunk's first day loaded (a listing
        day unknown counts as before)."""
        info = self.vr.g_VornixTargetsInfo
        return np.array([int(info[c].get("ListDate") or 0) < self.chunk_data_begin
                         for c in self.context.targets])

    def _seam_error(self, what, length, step, loaded, per_bar=None):
        """ChunkSeamError of a window of `length` at `step`; `per_bar` ("day=1",
        "min=5"): the look-back of one bar of the window, else one main step."""
        from vornix.tframe.utils.datetimefunc import datenum_to_datetime
        from vornix.tframe.utils.exceptions import ChunkSeamError

        first, end = self.chunks[self.chunk_no]
        have = ("%d %s loaded up to it" % (loaded, "steps" if per_bar is None else "bars")
                if loaded is not None
                else "targets without enough bars of volume in the history loaded")
        if per_bar is None:
            hint = "lookback=%d" % length
        else:
            frequency, count = per_bar.split("=")
            hint = "lookback=%s=%d" % (frequency, length * int(count))
        return ChunkSeamError(
            "%s: a window of %d at step %d (%s) reaches before the history loaded for chunk %d "
            "of %d of the run (steps %d to %d, history from %d: %s; lookback=%s); the run in one "
            "piece would show other values there. Raise the lookback setting (%s loads what this "
            "window needs), or give a longer chunk (chunk=...) or memory budget (memory=...), or "
            "chunk=0 to run in one piece"
            % (what, length, step, datenum_to_datetime(self.time_line[step]), self.chunk_no + 1,
               len(self.chunks), first, end - 1, self.chunk_data_begin, have,
               self.settings.lookback, hint))

    def _forward(self, read):
        """`read` of a registration's windows at forward-adjusted prices, point in time:
        the bars are fetched backward-adjusted (scaled by factor(day) / factor(first
        day loaded by the run), which uses no event after a bar) and each stock's block
        of a window read at step s is scaled by factor(first day loaded) / factor(day
        of s): the prices at the level of step s, from the events on or before it."""
        scale = self._forward_scales()
        if scale is None:
            return read
        rows, f_base, f_step, differs = scale
        n = len(self.context.targets)

        def forward(reg_idx, step, length, *rest):
            window = read(reg_idx, step, length, *rest)
            if differs[step]:
                blocks = window.reshape(n, -1, window.shape[1])
                blocks[rows, :, 2:6] *= (f_base / f_step[:, step])[:, None, None]
            return window

        return forward

    def _forward_scales(self):
        """(target rows, factor at the first day fetched, factor at each step's day,
        steps where they differ) of the stocks with adjustment factors; None when no
        window of the registration needs scaling."""
        from vornix.api.history import _history

        if self._factor_steps is None:
            factors = _history.current_store().adjust_factors()
            days = self.broker.market.day
            rows, per_step, tables = [], [], {}
            for t, code in enumerate(self.context.targets):
                sel = factors[factors["target"] == code]
                if sel.empty or self.broker.is_future[t] or self.broker.is_index[t]:
                    continue
                sel = sel.sort_values("date", kind="stable")
                d, f = sel["date"].to_numpy(np.int64), sel["factor"].to_numpy(np.float64)
                tables[t] = (d, f)
                rows.append(t)
                per_step.append(_factor_on(d, f, days))
            self._factor_steps = (np.array(rows, dtype=np.int64),
                                  np.array(per_step).reshape(len(rows), days.size), tables)
        rows, f_step, tables = self._factor_steps
        if not rows.size:
            return None
        # the day the backward-adjusted bars are relative to: the run's first day loaded
        first = self.fq_base
        f_base = np.array([_factor_on(*tables[t], np.array([first]))[0] for t in rows])
        differs = (f_step != f_base[:, None]).any(axis=0)
        return (rows, f_base, f_step, differs) if differs.any() else None

    def register_factor(self, names, targets, begin, end):
        s = self.settings
        names = [names] if isinstance(names, str) else list(names)
        targets = self.context.targets if targets is None else targets
        # the run's whole range in every chunk: a factor's days are few
        begin = self.data_begin if begin is None else as_yyyymmdd(begin, "begin")
        end = s.end if end is None else as_yyyymmdd(end, "end")
        args = (names, targets, begin, end)
        idx = self._reg_factor(args)
        what = "factors " + ",".join(names)
        self.registrations.append(
            Registration("factor " + ",".join(names), 1, False, int(idx.size), kind="factor"))
        read, cell = self._bound(self._series_read(what, self.subscribe.get_reg_factor), what)
        handle = SeriesHandle("factors", np.ravel(idx), self.context, read)
        self.bindings.append(("factor", args, handle, cell))
        return handle

    def _reg_factor(self, args):
        t0 = time.perf_counter()
        idx = self.subscribe.reg_factor(*args)
        self.registration_seconds += time.perf_counter() - t0
        return idx

    def register_user_data(self, times, values):
        line = as_time_line(times)
        _check_user_times(line)
        args = (line, np.asarray(values))
        idx = self._reg_user_data(args)
        self.registrations.append(
            Registration("user data", 1, False, int(np.size(idx)), kind="user data"))
        read, cell = self._bound(self._series_read("user data", self.subscribe.get_reg_user_data),
                                 "user data")
        handle = SeriesHandle("user data", idx, self.context, read)
        self.bindings.append(("user data", args, handle, cell))
        return handle

    def _reg_user_data(self, args):
        t0 = time.perf_counter()
        idx = self.subscribe.reg_user_data(*args)
        self.registration_seconds += time.perf_counter() - t0
        return idx

    def register_indicator(self, func):
        idx = self._reg_indicator(func)
        self.registrations.append(Registration("indicator", 1, False, len(idx), kind="indicator"))
        read, cell = self._bound(
            self._series_read("indicator", self.subscribe.get_reg_user_indicator), "indicator")
        handle = SeriesHandle("indicator", idx, self.context, read)
        self.bindings.append(("indicator", func, handle, cell))
        return handle

    def _reg_indicator(self, func):
        vr, offset = self.vr, self.offset

        def at_its_step(context):
            # the environment's lookups (prices, bars) answer for the step evaluated;
            # the context stands at the run's step
            local = context._internal_bar_num
            vr.g_VornixSimCurBarFresh = local
            context._internal_bar_num = local + offset
            return func(context)

        at_its_step.user_function = func
        saved = vr.g_VornixSimCurBarFresh
        t0 = time.perf_counter()
        try:
            idx = self.subscribe.reg_user_indices(at_its_step)
        finally:
            vr.g_VornixSimCurBarFresh = saved
        self.registration_seconds += time.perf_counter() - t0
        return idx

    def _series_read(self, what, read, tail=None):
        """The read of a factor, user data or indicator in the chunk running, at its
        own steps.  Windows of user data and indicators (one column per step) that
        reach before the chunk's first step are completed from `tail`, (first step,
        columns) of the handle's rows kept from the chunks before; ChunkSeamError where
        it holds too few."""
        kinds, offset = self.read_kinds, self.offset
        if offset == 0:
            def counted(*args):
                kinds.add(what)
                return read(*args)

            return counted
        time_line = self.time_line

        def shifted(reg_idx, step, length):
            kinds.add(what)
            local = step - offset
            if tail is None or length <= local + 1:
                return read(reg_idx, local, length)
            start = max(step - length + 1, 0)
            first, columns = tail
            if start < first:
                raise self._seam_error(what, length, step, step - first + 1)
            _, values = read(reg_idx, local, local + 1)
            values = np.asarray(values)
            return (time_line[start:step + 1].copy(),
                    np.concatenate([columns[:, start - first:],
                                    values.reshape(columns.shape[0], -1)], axis=1))

        return shifted

    def _bars_of(self, reg_idx):
        pos = int(reg_idx[0, 0])
        return int(self.vr.g_VornixKDataList[pos].Matrix.shape[1])

    def _fail(self, exc, where):
        snapshot = ""
        with contextlib.suppress(Exception):
            from vornix.tframe.utils.logger import console_quiet

            with console_quiet():  # its own warning goes to the log: the error names it here
                snapshot = self.vr.save_snapshot()
        message = "the strategy %s failed %s:\n%s" % (self.strategy.name, where, strategy_traceback(exc))
        if snapshot:
            message += ("\nerror snapshot: %s\n  (the run's state when it failed, for a bug "
                        "report: a MATLAB file that scipy.io.loadmat opens)" % snapshot)
        step = self.context.step if self.context is not None else None
        return StrategyError(message, snapshot=snapshot, step=step)

    def _progress(self, total, desc):
        if self.quiet or not sys.stderr.isatty():
            return None
        from tqdm import tqdm

        return tqdm(total=total, desc=desc, unit="step", mininterval=0.5, leave=False)

    def execute(self):
        from vornix.api.history import _history
        from vornix.runner._prepare import prepare_run
        from vornix.tframe import sysdefine
        from vornix.tframe.comm import vxcmd

        s, env = self.settings, self.env
        _check_store_range(_history, s.begin, s.end)
        if s.results.get("benchmark"):
            _history.get_target_info([s.results["benchmark"]])  # an unknown target fails now
        # targets as the store names them (600000.SH, SH600000, ... are taken too)
        s.targets = _history.target_codes(s.targets)
        vxcmd.command_client().request("Ping")  # connection up: handshake, cache folder
        cache_seen, cache_mark = _cache_entries(env)
        try:
            t0 = time.perf_counter()
            self.data_begin = _lookback.data_begin(s.lookback, s.begin, s.targets, s.frequency,
                                                   s.count)
            # backward-adjusted prices relative to the run's first day loaded, in every chunk
            self.fq_base = self.chunk_data_begin = self.data_begin
            self._plan_chunks()
            main_idx = prepare_run(s.targets, s.frequency, _base_count(s, s.frequency, s.count),
                                   s.begin, self._chunk_end(0), s.fq_type,
                                   data_begin=self.data_begin, fq_base=self.fq_base)
            self._check_chunk_steps()
            setup_seconds = time.perf_counter() - t0
            self._init(main_idx, self.time_line, sysdefine)
            self._replan()
        except BaseException:
            _drop_new_entries(cache_seen, cache_mark)
            raise
        return setup_seconds, self._steps(self.time_line), self.time_line

    # ------------------------------------------------------------ time chunks
    def _plan_chunks(self):
        """The steps of the whole run (its main time line), the trading day of each, and
        the chunks they run in: by the `chunk` length, else in one piece when the
        estimate of the run's data fits the `memory` budget, else in parts that do."""
        from vornix.api.history import _history
        from vornix.runner import _chunks
        from vornix.runner._prepare import _check_frequency, _check_targets, _main_time_line
        from vornix.tframe.utils.datetimefunc import datenum_array_to_int_date

        s, gv = self.settings, self.gv
        codes = _check_targets(s.targets)
        freq_i = _check_frequency(gv, s.frequency)
        line = _main_time_line(codes, freq_i, _base_count(s, s.frequency, s.count), s.begin, s.end)
        self.time_line = np.asarray(line, dtype=np.float64)
        n = self.time_line.size
        self.step_days = datenum_array_to_int_date(
            np.asarray(_history.get_trading_day_numbers(self.time_line), dtype=np.float64))
        new_day = np.r_[True, self.step_days[1:] != self.step_days[:-1]] if n else np.ones(0, bool)
        # a chunk starts at a day's first step; steps of a day or more each start one
        self.chunk_starts = np.flatnonzero(new_day) if s.frequency == "min" else np.arange(n)
        length = _chunks.parse_chunk(s.chunk)
        self.memory = _chunks.parse_memory(s.memory)
        if length == ("none", 0) or n == 0:
            self.chunks = [(0, n)]
        elif length is not None:
            self.chunks = _chunks.plan(self.step_days, self.chunk_starts, length=length)
        else:
            per_step = self._estimated_bytes_per_step()
            fits = not self.memory or per_step * n <= self.memory
            self.chunks = [(0, n)] if fits else _chunks.plan(
                self.step_days, self.chunk_starts, steps_per_part=self.memory // per_step)

    def _estimated_bytes_per_step(self):
        """Before init: the bytes a step costs with the main series and two more
        registrations of its size (bars, refresh rows, the order simulator's bars)."""
        s, gv = self.settings, self.gv
        n = len(s.targets)
        base = _base_count(s, s.frequency, s.count) if s.frequency == "min" else 1
        return 8 * n * (base * (3 * gv.KMatrix_Bar_Len + 2 * 21) + 8)

    def _held_bytes(self):
        """The bytes the chunk running holds: bar series, refresh rows and the order
        simulator's bars."""
        vr = self.vr
        arrays = [vr.g_VornixDataValueFresh, vr.g_VornixDataValueFresh_Adj,
                  vr.g_VornixDataValueFreshUserD, vr.g_VornixDataValueFreshUserI]
        for container in (vr.g_VornixKDataList, vr.g_VornixKDataList_Adj):
            for item in container:
                arrays += [getattr(item, k, None) for k in ("Matrix", "CurrentBar")]
                arrays += list(getattr(item, "UnfilledBarRef", None) or ())
                arrays += list(getattr(item, "UnfilledIdx", None) or ())
        if self.broker is not None:
            arrays += self.broker.market.arrays()
        return sum(int(a.nbytes) for a in arrays if isinstance(a, np.ndarray))

    def _replan(self):
        """After init: the chunks after the first, from the bytes per step the first
        one holds (registrations included), when the memory budget decides."""
        from vornix.runner import _chunks

        if len(self.chunks) < 2 or self.settings.chunk is not None or not self.memory:
            return
        a, b = self.chunks[0]
        per_step = max(self._held_bytes() // max(b - a, 1), 1)
        rest = self.chunk_starts[self.chunk_starts >= b] - b
        later = _chunks.plan(self.step_days[b:], rest, steps_per_part=self.memory // per_step)
        self.chunks = [(a, b)] + [(b + x, b + y) for x, y in later]

    def _chunk_begin(self, k):
        """The first day of chunk k: the run's begin, else the trading day after the
        day of the step before it."""
        from vornix.api.history import _history

        a = self.chunks[k][0]
        if a == 0:
            return int(self.settings.begin)
        days = np.asarray(_history.get_trading_days(int(self.step_days[a - 1]), 99999999))
        return int(days[days > self.step_days[a - 1]][0])

    def _chunk_end(self, k):
        b = self.chunks[k][1]
        return int(self.settings.end) if b >= self.time_line.size else int(self.step_days[b - 1])

    def _check_chunk_steps(self):
        """The chunk's main time line is the run's over its steps (else the chunk
        boundary is wrong for this main series: a fault of the runner)."""
        a, b = self.chunks[self.chunk_no]
        line = np.asarray(self.env.fresh_bar_timeline, dtype=np.float64)
        if not np.array_equal(line, self.time_line[a:b]):
            raise RuntimeError(
                "chunk %d of the run (steps %d to %d) has %d steps of its own that are not the "
                "run's; run it with chunk=0" % (self.chunk_no + 1, a, b - 1, line.size))

    def _groups(self):
        """(period unit, count) of the bar series of several days, weeks, months or
        years registered: a chunk's first day loaded groups them as the run does."""
        units = {"day": "days", "week": "weeks", "month": "months", "year": "years"}
        s = self.settings
        out = {(units[s.frequency], s.count)} if s.frequency in units else set()
        for kind, args, _, _ in self.bindings:
            if kind == "bars" and args[0] in units:
                out.add((units[args[0]], args[1]))
        return sorted(out)

    def _keep_tails(self, first_kept):
        """Per user data and indicator binding, the columns of its rows from step
        `first_kept` to the end of the chunk that ran (with those kept before)."""
        a, b = self.chunks[self.chunk_no]
        vr = self.vr
        tails, out = self._tails, {}
        for kind, _, handle, _ in self.bindings:
            if kind not in ("user data", "indicator"):
                continue
            matrix = (vr.g_VornixDataValueFreshUserD if kind == "user data"
                      else vr.g_VornixDataValueFreshUserI)
            rows = np.asarray(matrix)[np.ravel(handle.reg_idx)][:, :b - a]
            first, before = tails.get(id(handle), (a, rows[:, :0]))
            columns = np.concatenate([before, rows], axis=1)
            start = min(max(first_kept, first), b)
            out[id(handle)] = (start, columns[:, start - first:].copy())
        self._tails = out
        return out

    def _adjustment_periods(self):
        """The adjusted (continuous futures) base series of the chunk that ran: per
        frequency code and target, the periods of its main contracts with their
        factors, which the next chunk's adjusted series go on from."""
        out = {}
        for item in self.vr.g_VornixKDataList_Adj:
            periods = getattr(item, "AdjPeriods", None)
            if int(item.KFreqNum) == 1 and isinstance(periods, dict):
                out[int(self.gv.frequency_to_int(item.KFrequency))] = periods
        return out or None

    def _next_chunk(self, k):
        """Chunk k: the state store prepared for its days with the look-back before
        them, the registrations made again in their order and the handles pointed at
        them; the strategy, its context, orders, positions and records go on."""
        from vornix.api.history import _history
        from vornix.runner import _chunks
        from vornix.runner._prepare import prepare_run

        s = self.settings
        a, b = self.chunks[k]
        begin = self._chunk_begin(k)
        first = _lookback.data_begin(s.lookback, begin, s.targets, s.frequency, s.count)
        data_begin = _chunks.aligned_begin(
            first, self.data_begin, _history.get_trading_days(self.data_begin, begin),
            self._groups())
        tails = self._keep_tails(int(np.searchsorted(self.step_days, data_begin)))
        adj_start = self._adjustment_periods()
        self.broker.end_chunk()
        self.chunk_no, self.offset, self.chunk_data_begin = k, a, data_begin
        self.chunk_begin = begin
        in_init = self.registration_seconds  # (the chunk's own time is chunk_seconds)
        prepare_run(s.targets, s.frequency, _base_count(s, s.frequency, s.count), begin,
                    self._chunk_end(k), s.fq_type, data_begin=data_begin, fq_base=self.fq_base)
        self.vr.g_VornixInputInfo.AdjStart = adj_start
        self._check_chunk_steps()
        self.broker.begin_chunk(a, b)
        sub = self.subscribe
        for kind, args, handle, cell in self.bindings:
            if kind == "bars":
                frequency, count, adjust, what = args
                handle.reg_idx = self._reg_bars(frequency, count, adjust)
                self._rebind(handle, cell, self._bars_read(handle.reg_idx, frequency, count,
                                                           adjust, what))
            elif kind == "factor":
                handle.reg_idx = np.ravel(self._reg_factor(args))
                self._rebind(handle, cell, self._series_read("factors " + ",".join(args[0]),
                                                             sub.get_reg_factor))
            elif kind == "user data":
                handle.reg_idx = self._reg_user_data(args)
                self._rebind(handle, cell, self._series_read(
                    "user data", sub.get_reg_user_data, tails[id(handle)]))
            else:
                handle.reg_idx = self._reg_indicator(args)
                self._rebind(handle, cell, self._series_read(
                    "indicator", sub.get_reg_user_indicator, tails[id(handle)]))
        self.registration_seconds = in_init

    def _init(self, main_idx, time_line, sysdefine):
        vr, env, gv = self.vr, self.env, self.gv
        info = vr.g_VornixInputInfo
        codes = list(info.TargetListDot)
        # the count as the run was given it (minutes for "min", not base bars)
        self.registrations.append(Registration(info.KFrequency, int(self.settings.count), False,
                                               self._bars_of(main_idx), main=True))
        self.series.add((int(main_idx[0, 0]), False))
        self.recorder = Recorder(time_line.size, codes)
        ctx = self.context = Context(self, codes, self.settings.params, env, time_line)
        vr.g_VornixUserContext = ctx
        from vornix.runner._broker import Broker

        self.broker = Broker(self, **self.broker_settings)
        self.broker.on_roll = self.strategy.scope.get("on_roll")

        scope = dict(self.strategy.scope)
        # the optional callbacks: the framework's defaults, without a warning; a
        # callback written as (context, order) is called with those two
        for key, default in ((gv.CALLUSER_ORDER_STATUS, sysdefine.on_order_status),
                             (gv.CALLUSER_ORDER_EXECUTION, sysdefine.on_execution)):
            scope[key] = _two_argument_callback(scope.get(key) or default)
        env.update_user_scope(scope)

        self.progress = self._progress(None, "init")
        try:
            info.on_init_func(ctx)
        except Exception as exc:
            raise self._fail(exc, "in init") from exc
        finally:
            if self.progress is not None:
                self.progress.close()
            self.progress = None

    def _steps(self, time_line):
        vr, ctx = self.vr, self.context
        ctx._phase = STEPS
        on_data = vr.g_VornixInputInfo.on_data_func
        n_steps = int(time_line.size)
        if self.hooks is not None and self.hooks.stop_after is not None:
            n_steps = min(n_steps, self.hooks.stop_after + 1)
        bar = self._progress(n_steps, "steps")
        after = self.hooks.after_step if self.hooks is not None else None
        step = 0
        self.chunk_seconds = 0.0
        t0 = time.perf_counter()
        try:
            for k, (a, b) in enumerate(self.chunks):
                if a >= n_steps:
                    break
                if k:
                    t1 = time.perf_counter()
                    step = a
                    self._next_chunk(k)
                    self.chunk_seconds += time.perf_counter() - t1
                fill, close = self.broker.fill, self.broker.close
                for step in range(a, min(b, n_steps)):
                    vr.g_VornixSimCurBarFresh = step - a  # the chunk's own column
                    ctx._internal_bar_num = step
                    fill(step)  # orders of earlier steps, at this step's open
                    on_data(ctx)
                    close(step)
                    if after is not None:
                        after(step)
                    if bar is not None and step & 1023 == 1023:
                        bar.update(1024)
        except Exception as exc:
            raise self._fail(exc, "at step %d (%s)" % (step, ctx.now)) from exc
        finally:
            if bar is not None:
                bar.close()
        ctx._phase = DONE
        return time.perf_counter() - t0 - self.chunk_seconds


def _check_user_times(line):
    """User data's times are finite and unique (ValueError naming the first bad one: a
    value's visibility depends on its time); times out of order are taken sorted,
    with a warning."""
    from vornix.tframe.utils.datetimefunc import datenum_to_datetime
    from vornix.tframe.utils.logger import user_warning

    line = np.ravel(line)
    bad = np.flatnonzero(~np.isfinite(line))
    if bad.size:
        raise ValueError("reg_user_data: time %d of %d is %r; times are finite (no NaN, NaT or "
                         "inf): drop those rows" % (bad[0], line.size, float(line[bad[0]])))
    order = np.argsort(line, kind="stable")
    same = np.flatnonzero(np.diff(line[order]) == 0)
    if same.size:
        i, j = sorted(order[same[0]:same[0] + 2])
        raise ValueError("reg_user_data: times %d and %d are the same (%s); give one value per "
                         "time" % (i, j, datenum_to_datetime(line[i])))
    back = np.flatnonzero(np.diff(line) < 0)
    if back.size:
        i = int(back[0]) + 1
        user_warning("reg_user_data: time %d (%s) is before time %d (%s); the rows are taken "
                     "sorted by time" % (i, datenum_to_datetime(line[i]), i - 1,
                                         datenum_to_datetime(line[i - 1])))


def _two_argument_callback(func):
    """`func` as a callback of (context, obj, *args, **kwargs): a function of just
    (context, obj) is wrapped so that it is called with those two."""
    from vornix.tframe.utils.argchecker import ArgumentChecker

    ok, _ = ArgumentChecker.check_callable(func, arg_count=2, param_names=("context", "obj"))
    full, _ = ArgumentChecker.check_callable(
        func, arg_count=4, param_names=("context", "obj", "*args", "**kwargs"))
    if full or not ok:
        return func  # as it is (one that fits neither is refused with the usual warning)

    def callback(context, order, *args, **kwargs):
        return func(context, order)

    callback.user_function = func  # (not __wrapped__: the signature check would follow it)
    return callback


def _factor_on(days, factors, when):
    """The adjustment factor of each yyyymmdd in `when`: the latest entry on or
    before it (1 before the first)."""
    i = np.searchsorted(days, when, side="right") - 1
    return np.where(i >= 0, factors[np.maximum(i, 0)], 1.0)


def _check_store_range(history, begin, end):
    days = history.get_trading_days(0, 99999999)
    if len(days) == 0:
        raise ValueError("the bar store at %s holds no trading days" % history.current_store().path)
    first, last = int(days[0]), int(days[-1])
    if begin < first or end > last:
        raise ValueError(
            "the run from %d to %d reaches outside the bar store at %s, which holds the "
            "trading days %d to %d" % (begin, end, history.current_store().path, first, last)
        )


def _records_frame(recorder, time_line, broker=None):
    import pandas as pd

    columns = {"time": datenum_to_datetime64(time_line)}
    columns.update(recorder.columns)
    if broker is not None and broker.orders:  # the account columns once the strategy traded
        columns.update(broker.columns())
    return pd.DataFrame(columns)


def _stats_of(runner, settings, time_line):
    """(statistics, round trips) of a run that ordered: the statistics of the accounts
    held in total and per account (over trading days), the orders counted by
    outcome, the P&L per target and the corporate actions applied to positions;
    (None, None) for a run that placed no order."""
    from vornix.runner import _stats

    broker = runner.broker
    if broker is None or not broker.orders:
        return None, None, None
    times = datenum_to_datetime64(time_line)
    mult = {c: float(m) for c, m in zip(broker.codes, broker.multiplier)}
    trades = broker.trades_frame()
    days = broker.market.day
    trips = _stats.round_trips(broker.trades, mult, broker.market.day_index, broker.applied,
                               datenum_to_datetime64)
    per_account = broker.account_columns()
    total = np.sum([c["equity"] for c in per_account.values()], axis=0)
    held = np.sum([c["positions_value"] != 0 for c in per_account.values()], axis=0) > 0
    options = dict(risk_free=settings.results.get("risk_free", 0.0))
    bench = settings.results.get("benchmark")
    benchmark, bench_error = None, None
    if bench:
        from vornix.tframe.utils.exceptions import VxError
        from vornix.tframe.utils.logger import user_warning

        try:
            benchmark = _benchmark_closes(bench, settings)
        except (ValueError, VxError) as exc:  # the run stands; its figures lack the benchmark
            bench_error = "no benchmark figures: %s" % exc
            user_warning(bench_error)
    out = _stats.summary_stats(total, days, sum(a.start_cash for a in broker.accounts), trades,
                               mult, exposed=held, trips=trips, benchmark=benchmark, **options)
    if bench:
        out["benchmark"] = bench
        if bench_error:
            out["benchmark_error"] = bench_error
    out["accounts"] = {}
    for account in broker.accounts:
        codes = {c for c, a in zip(broker.codes, broker.account_of) if a is account}
        mine = trades["target"].isin(codes).to_numpy()
        cols = per_account[account.handle]
        stats = _stats.summary_stats(cols["equity"], days, account.start_cash, trades[mine],
                                     mult, exposed=cols["positions_value"] != 0,
                                     trips=trips[trips["target"].isin(codes)], **options)
        stats.pop("monthly_returns", None)
        stats["start_cash"] = account.start_cash
        out["accounts"][account.handle] = stats
    out["start_cash"] = float(sum(a.start_cash for a in broker.accounts))
    out["orders"] = broker.order_counts()
    last = max(broker.last_step, 0)
    positions = {c: float(broker.account_of[i].positions[i]) for i, c in enumerate(broker.codes)}
    at_last = broker.closes_at(last)
    closes = {c: float(at_last[i]) for i, c in enumerate(broker.codes)}
    out["targets"] = _stats.per_target(broker.codes, trades, mult, closes, positions,
                                       broker.applied)
    warnings = broker.warnings()
    if warnings:
        out["warnings"] = warnings
    if "future" in broker._by_handle:
        fut = out["accounts"]["future"]
        fut["rolls"] = int((trades["kind"] == "roll").sum()) // 2 if len(trades) else 0
        fut["margin_calls"] = len(broker.margin_calls)
    if broker.applied:
        out["corporate_actions"] = [
            dict(a, time=str(times[a["step"]].astype("datetime64[s]"))) for a in broker.applied]
    return out, trips, _daily(total, days, times, benchmark, out["start_cash"])


def _daily(total, days, times, benchmark, start):
    """The equity at each trading day's last step and the return since the start
    (and the benchmark's close and return)."""
    import pandas as pd

    ran = np.flatnonzero(np.isfinite(total))
    d = days[ran]
    last = ran[np.r_[d[1:] != d[:-1], True]] if ran.size else ran
    frame = pd.DataFrame({"day": pd.to_datetime(days[last].astype(str)), "step": last,
                          "time": times[last], "equity": total[last],
                          "return": total[last] / start - 1.0})
    if benchmark is not None:
        b_days, closes = benchmark
        at = np.searchsorted(np.asarray(b_days), days[last], side="right") - 1
        frame["benchmark"] = np.where(at >= 0, closes[1:][np.maximum(at, 0)], np.nan)
        frame["benchmark_return"] = frame["benchmark"] / closes[0] - 1.0
    return frame


def _plain(values):
    """A dict of settings as JSON can hold them (other values as their text)."""
    out = {}
    for k, v in values.items():
        out[k] = v if isinstance(v, (bool, int, float, str, type(None))) else repr(v)
    return out


def _benchmark_closes(code, settings):
    """(trading days yyyymmdd, closes) of the benchmark over the run, with the close
    of the day before the run first (the first day's open where there is none);
    stocks and funds backward-adjusted, so that their splits and dividends are no
    loss."""
    from vornix.api.history import _history
    from vornix.tframe.sysdefine import GlobalDefine as gv
    from vornix.tframe.utils.datetimefunc import datenum_array_to_int_date

    before = [d for d in _history.get_trading_days(0, settings.begin) if d < settings.begin]
    got = _history.get_k_data_multi({
        "targets": [code], "frequency": "day", "begin_date": int(before[-1]) if before
        else settings.begin, "end_date": settings.end, "filled_up": True,
        "fq_type": gv.FQType_Backward})
    days = datenum_array_to_int_date(np.floor(np.asarray(got["TimeLine"], dtype=np.float64)))
    close = np.asarray(got["KArray"][gv.KMatrix_Close], dtype=np.float64)
    if before:
        return days[1:], close
    return days, np.r_[got["KArray"][gv.KMatrix_Open][0], close]


def _run_here(strategy, overrides, out, quiet, core, hooks=None, broker=None):
    from vornix.runner import _results
    from vornix.tframe import sysstate

    loaded = strategy if isinstance(strategy, Strategy) else load_strategy(strategy)
    settings = resolve_settings(loaded, overrides)
    # the results folder is checked before the first step, not found wrong after the run
    folder = False if out is False else _results.results_folder(out, loaded.name)
    runner = _Run(loaded, settings, quiet, hooks, broker)
    with trading_core(sysstate.vr, sysstate.env, core):
        try:
            setup_seconds, step_seconds, time_line = runner.execute()
        except StrategyError as exc:
            if folder is False or exc.step is None or runner.time_line is None:
                raise
            _write_failed(runner, loaded, settings, folder, exc)
            raise
    result = RunResult(
        name=loaded.name, strategy_path=loaded.path, targets=list(runner.context.targets),
        frequency=settings.frequency, count=settings.count, begin=settings.begin,
        end=settings.end, adjust=settings.adjust, params=dict(settings.params),
        steps=int(time_line.size),
        records=_records_frame(runner.recorder, time_line, runner.broker),
        trades=runner.broker.trades_frame(),
        orders=runner.broker.orders_frame(),
        registrations=runner.registrations, setup_seconds=setup_seconds,
        registration_seconds=runner.registration_seconds, step_seconds=step_seconds,
        read=tuple(sorted(runner.read_kinds)),
        chunks=len(runner.chunks), chunk_seconds=getattr(runner, "chunk_seconds", 0.0),
    )
    result.stats, result.round_trips, result.daily = _stats_of(runner, settings, time_line)
    result.settings = settings
    if result.stats is not None:
        result.stats["settings"] = {
            "strategy": loaded.name, "targets": list(settings.targets),
            "frequency": settings.frequency, "count": settings.count, "begin": settings.begin,
            "end": settings.end, "adjust": settings.adjust, "lookback": settings.lookback,
            **{k: getattr(settings, k) for k in ("memory", "chunk") if getattr(settings, k)},
            "chunks": result.chunks, "params": _plain(settings.params),
            **_plain(settings.broker), **settings.results}
    if folder is not False:
        result.out_dir = _results.write_results(result, folder)
        if overrides.get("report"):
            from vornix.runner._report import write_report

            write_report(result.out_dir)
    return result


def _write_failed(runner, loaded, settings, folder, exc):
    """The results of the steps before the one at which the strategy failed, marked
    failed with the error; the error's message names the folder."""
    from vornix.runner import _results

    step = int(exc.step)
    time_line = runner.time_line[:step]
    records = _records_frame(runner.recorder, runner.time_line, runner.broker).iloc[:step]
    trades = runner.broker.trades_frame() if runner.broker is not None else None
    result = RunResult(
        name=loaded.name, strategy_path=loaded.path, targets=list(runner.context.targets),
        frequency=settings.frequency, count=settings.count, begin=settings.begin, end=settings.end,
        adjust=settings.adjust, params=dict(settings.params), steps=int(time_line.size),
        records=records.reset_index(drop=True), trades=trades,
        orders=runner.broker.orders_frame() if runner.broker is not None else None)
    failure = {"error": exc.message, "step": step,
               "time": str(datenum_to_datetime64(runner.time_line[step:step + 1])[0])}
    written = _results.write_results(result, folder, failure=failure)
    exc.message += "\nresults of the %d steps before it: %s (marked failed)" % (step, written)


def fresh_state():
    """A new process-wide state store and environment (`sysstate.vr`, `sysstate.env`)
    for the next run, the trading-core address of the old one kept: a run leaves its
    registrations, clock and context behind, and the next run in the same process
    (a script, a notebook, a REPL) starts from a clean state instead."""
    from vornix.tframe import sysstate

    old = sysstate.vr
    with contextlib.suppress(Exception):
        sysstate.env.vx_disconnect_to()
    var = sysstate.SystemBaseVar()
    env = sysstate.SystemBaseEnv()
    env.set_env(var, sysstate.gv, sysstate.smm)
    for name in ("g_VornixSocket", "g_VornixSocketSub"):
        new, was = getattr(var, name), getattr(old, name)
        new.host, new.port = was.host, was.port
    sysstate.vr, sysstate.env = var, env
    return env


def run(strategy, **settings):
    """Run `strategy` (a file path, or a module or object with `init(context)` and
    `on_data(context)`) over the stored bars and return a `RunResult`.

    Settings (each overrides the strategy's RUN / PARAMS):
    targets (list or 'A,B'), frequency ('min', 'day', 'week', 'month', 'year'),
    count (periods per step, default 1), begin and end (2023-01-03, 20230103 or a
    date), adjust ('none', 'forward', 'backward'), params (dict), out (results
    folder; None for ./vornix-results/<name>-<time stamp>, False for none), quiet
    (no progress bar and no summary), core ('auto', 'local' or 'HOST:PORT').

    `run()` may be called any number of times in a process (a script, a notebook,
    a REPL; no `if __name__ == "__main__":` guard needed): each run starts from a
    fresh state store, so handles and contexts of an earlier run are not to be used
    in a later one.

    A strategy whose file cannot be loaded, or whose code raises, ends the run with
    StrategyError, whose message holds the strategy's traceback and the path of the
    error snapshot. Bad settings raise ValueError or TypeError naming the value; a
    run that fails before its first step leaves the matrix cache as it was."""
    from vornix.tframe import sysstate

    unknown = sorted(set(settings) - set(_SETTINGS))
    if unknown:
        raise TypeError("run() got unknown settings %s; the settings are %s"
                        % (", ".join(unknown), ", ".join(_SETTINGS)))
    out = settings.get("out")
    quiet = bool(settings.get("quiet", False))
    core = settings.get("core", "auto")
    overrides = {k: settings.get(k) for k in SERIES_KEYS + ("params", "report") + RESULT_KEYS}
    broker = {k: settings[k] for k in BROKER_KEYS if settings.get(k) is not None}
    if sysstate.vr.g_VornixUserContext is not None:
        fresh_state()  # an earlier run of this process left its state behind
    result = _run_here(strategy, overrides, out, quiet, core, broker=broker)
    if not quiet:
        print(result.summary())
    return result
