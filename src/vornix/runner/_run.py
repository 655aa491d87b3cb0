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
        t0 = time.perf_counter()
        # the object True: the registration takes the adjusted steps for it only
        reg_idx = self.subscribe.reg_k_data(frequency, _base_count(self.settings, frequency, count),
                                            True if adjust else False)
        self.registration_seconds += time.perf_counter() - t0
        read = self.read_adj_values if adjust else self.read_values
        what = "bars %s x%d%s" % (frequency, count, " adjusted" if adjust else "")
        read = _lookback.warn_short(
            read, what, self.vr.g_VornixKDataList[int(reg_idx[0, 0])].CurrentBar,
            self.settings.lookback, self.read_kinds)
        if self.settings.adjust == "forward":
            read = self._forward(read, int(reg_idx[0, 0]))
        if self.hooks is not None:
            read = self.hooks.wrap("bars %s x%d%s" % (frequency, count, " adjusted" if adjust else ""),
                                   read)
        handle = BarHandle(frequency, count, bool(adjust), reg_idx, self._bars_of(reg_idx),
                           self.context, read, np.asarray(self.context.targets))
        series = (int(reg_idx[0, 0]), bool(adjust))
        if series not in self.series:  # the main series registered again is the same one
            self.series.add(series)
            self.registrations.append(
                Registration(str(frequency), int(count), bool(adjust), handle.bars))
        self.handles[key] = handle
        if self.progress is not None:
            self.progress.set_postfix_str("registered %s x%d" % (frequency, count))
        return handle

    def _forward(self, read, pos):
        """`read` of a registration's windows at forward-adjusted prices, point in time:
        the bars are fetched backward-adjusted (scaled by factor(day) / factor(first
        day fetched), which uses no event after a bar) and each stock's block of a
        window read at step s is scaled by factor(first day fetched) / factor(day of
        s): the prices at the level of step s, from the events on or before it."""
        scale = self._forward_scales(pos)
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

    def _forward_scales(self, pos):
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
        first = _first_day(self.vr, self.gv, pos)
        f_base = np.array([_factor_on(*tables[t], np.array([first]))[0] for t in rows])
        differs = (f_step != f_base[:, None]).any(axis=0)
        return (rows, f_base, f_step, differs) if differs.any() else None

    def register_factor(self, names, targets, begin, end):
        s = self.settings
        names = [names] if isinstance(names, str) else list(names)
        targets = self.context.targets if targets is None else targets
        begin = self.data_begin if begin is None else as_yyyymmdd(begin, "begin")
        end = s.end if end is None else as_yyyymmdd(end, "end")
        t0 = time.perf_counter()
        idx = self.subscribe.reg_factor(names, targets, begin, end)
        self.registration_seconds += time.perf_counter() - t0
        self.registrations.append(
            Registration("factor " + ",".join(names), 1, False, int(idx.size), kind="factor"))
        return SeriesHandle("factors", np.ravel(idx), self.context,
                            self._read("factors " + ",".join(names), self.subscribe.get_reg_factor))

    def register_user_data(self, times, values):
        line = as_time_line(times)
        _check_user_times(line)
        t0 = time.perf_counter()
        idx = self.subscribe.reg_user_data(line, np.asarray(values))
        self.registration_seconds += time.perf_counter() - t0
        self.registrations.append(
            Registration("user data", 1, False, int(np.size(idx)), kind="user data"))
        return SeriesHandle("user data", idx, self.context,
                            self._read("user data", self.subscribe.get_reg_user_data))

    def register_indicator(self, func):
        vr = self.vr

        def at_its_step(context):
            # the environment's lookups (prices, bars) answer for the step evaluated
            vr.g_VornixSimCurBarFresh = context._internal_bar_num
            return func(context)

        at_its_step.user_function = func
        saved = vr.g_VornixSimCurBarFresh
        t0 = time.perf_counter()
        try:
            idx = self.subscribe.reg_user_indices(at_its_step)
        finally:
            vr.g_VornixSimCurBarFresh = saved
        self.registration_seconds += time.perf_counter() - t0
        self.registrations.append(Registration("indicator", 1, False, len(idx), kind="indicator"))
        return SeriesHandle("indicator", idx, self.context,
                            self._read("indicator", self.subscribe.get_reg_user_indicator))

    def _read(self, what, read):
        kinds = self.read_kinds

        def counted(*args):
            kinds.add(what)
            return read(*args)

        return counted if self.hooks is None else self.hooks.wrap(what, counted)

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
            main_idx = prepare_run(s.targets, s.frequency, _base_count(s, s.frequency, s.count),
                                   s.begin, s.end, s.fq_type, data_begin=self.data_begin)
            setup_seconds = time.perf_counter() - t0
            time_line = self.time_line = np.asarray(env.fresh_bar_timeline, dtype=np.float64).copy()
            self._init(main_idx, time_line, sysdefine)
        except BaseException:
            _drop_new_entries(cache_seen, cache_mark)
            raise
        return setup_seconds, self._steps(time_line), time_line

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
        t0 = time.perf_counter()
        try:
            fill, close = self.broker.fill, self.broker.close
            for step in range(n_steps):
                vr.g_VornixSimCurBarFresh = step
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
        return time.perf_counter() - t0


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


def _first_day(vr, gv, pos):
    """The first trading day (yyyymmdd) of the bars fetched for the K data at `pos`
    (the fetched series a combined one is made from)."""
    from vornix.tframe.utils.datetimefunc import datenum_array_to_int_date

    items = vr.g_VornixKDataList
    item = items[pos]
    seen = {pos}
    while int(item.BaseKDataPos) >= 0 and int(item.BaseKDataPos) not in seen:
        seen.add(int(item.BaseKDataPos))
        item = items[int(item.BaseKDataPos)]
    m = item.Matrix
    times, day_pos = m[gv.KMatrixPos_TimeLine], m[gv.KMatrixPos_DayPos]
    first = times[day_pos == day_pos[0]]
    hours = (first - np.floor(first)) * 24
    day = first[(hours >= 6) & (hours <= 18)]  # not a night-session bar of the evening before
    return int(datenum_array_to_int_date([np.floor(day[0] if day.size else first[0])])[0])


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
    closes = {c: float(broker.value_px[i, last]) for i, c in enumerate(broker.codes)}
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
    )
    result.stats, result.round_trips, result.daily = _stats_of(runner, settings, time_line)
    result.settings = settings
    if result.stats is not None:
        result.stats["settings"] = {
            "strategy": loaded.name, "targets": list(settings.targets),
            "frequency": settings.frequency, "count": settings.count, "begin": settings.begin,
            "end": settings.end, "adjust": settings.adjust, "lookback": settings.lookback,
            "params": _plain(settings.params),
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
