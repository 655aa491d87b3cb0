"""What a strategy sees: the context passed to `init` and `on_data`, the bar handles
returned by `context.reg_bars`, and the recorder behind `context.record`."""

import math

import numpy as np

from vornix.tframe.utils.datetimefunc import _EPOCH_DATENUM, datenum_to_datetime
from vornix.tframe.utils.exceptions import RunStateError

FIELDS = ("open", "high", "low", "close", "volume", "turnover", "open_interest")
FRAME_COLUMNS = ("code", "time") + FIELDS
# the named fields of a bar window and their columns in `BarHandle.values`
_FIELD_COLUMNS = {name: i + 1 for i, name in enumerate(("time",) + FIELDS)}
_FIELD_SETS = {}  # fields asked for -> what selects them from the (9, targets, length) view
_MS_PER_DAY = 86400000.0


def _field_selection(fields):
    """A slice of the columns (equally spaced fields: a view) or an index array (a
    copy) of a tuple of field names; the column of one name."""
    names = (fields,) if isinstance(fields, str) else fields
    try:
        cols = [_FIELD_COLUMNS[f] for f in names]
    except (KeyError, TypeError):
        raise ValueError("bars.values(fields=%r): the fields are %s"
                         % (fields, ", ".join(_FIELD_COLUMNS))) from None
    if not cols:
        raise ValueError("bars.values(fields=()): name at least one field")
    steps = {b - a for a, b in zip(cols, cols[1:])}
    if isinstance(fields, str):
        out = cols[0]  # one name: (targets, length)
    elif len(cols) == 1:
        out = slice(cols[0], cols[0] + 1)
    elif len(steps) == 1 and cols[1] > cols[0]:
        out = slice(cols[0], cols[-1] + 1, cols[1] - cols[0])
    else:
        out = np.array(cols)
    try:
        if len(_FIELD_SETS) < 256:
            _FIELD_SETS[fields] = out
    except TypeError:  # a list of names: not kept
        pass
    return out


# the phases of a run, as the context sees them
INIT, STEPS, DONE = "init", "steps", "done"


def datenum_to_datetime64(values):
    """Time-line values -> datetime64[ns] (NaN -> NaT), rounded to the millisecond
    like `datenum_to_datetime`."""
    values = np.asarray(values, dtype=np.float64)
    # the day and its fraction apart, as the scalar conversion rounds them
    day = np.floor(values)
    millis = (day - _EPOCH_DATENUM) * _MS_PER_DAY + np.round((values - day) * _MS_PER_DAY)
    nat = np.isnan(millis)
    out = np.where(nat, 0, millis).astype(np.int64).astype("datetime64[ms]")
    out = out.astype("datetime64[ns]")
    out[nat] = np.datetime64("NaT")
    return out


def _step(ctx, what):
    """The step the context stands at (the run's step, or the step an indicator is
    being evaluated at); NaN in init, where no window exists."""
    step = ctx._internal_bar_num
    if step != step:
        raise RunStateError(
            "%s: there is no current step yet; windows are read in on_data (or in an "
            "indicator function), registrations are made in init" % what
        )
    return step


def _not_a_bool(what, value):
    if isinstance(value, np.bool_):
        return
    raise TypeError("%s: fill_up is True or False, got %r" % (what, value))


class SeriesHandle:
    """A registered factor, user data series or indicator: `values(length)` returns
    (times, values) of the last `length` entries visible at the current step.

    - factors: times are the factor days (day numbers), values one row per factor
      and target (factor-major, in the order registered), one column per day;
    - user data and indicators: times are the step times, values one row per
      series, one column per step.
    Right-aligned, NaN where fewer entries exist (factors)."""

    __slots__ = ("kind", "reg_idx", "_ctx", "_read")

    def __init__(self, kind, reg_idx, ctx, read):
        self.kind = kind
        self.reg_idx = reg_idx
        self._ctx = ctx
        self._read = read

    def __repr__(self):
        return "<%s, %d rows>" % (self.kind, np.size(self.reg_idx))

    def values(self, length):
        return self._read(self.reg_idx, _step(self._ctx, self.kind + ".values()"), length)


def as_time_line(times):
    """Times as time-line values: numbers pass as they are; datetimes, numpy
    datetime64 and pandas timestamps are converted."""
    arr = np.asarray(times)
    if arr.dtype.kind in "fiu":
        return arr.astype(np.float64)
    if arr.dtype.kind != "M":
        import pandas as pd

        arr = pd.to_datetime(np.ravel(arr)).to_numpy()
    ns = arr.astype("datetime64[ns]").astype(np.int64).astype(np.float64)
    out = ns / 86400e9 + _EPOCH_DATENUM
    out[np.isnat(arr.astype("datetime64[ns]"))] = np.nan
    return out


class BarHandle:
    """A registered bar series of all targets of the run.

    `values(length)` and `frame(length)` return the window that ends at the current
    step: per target the last `length` bars, completed bars first and the bar still
    forming last (in its state at the step; its time is the step's time).  With
    `fill_up=True` every target gets exactly `length` rows, NaN where it has no bar;
    with `fill_up=False` bars without volume are left out and the rows are
    right-aligned.  Windows exist only during the steps (`on_data`)."""

    __slots__ = ("frequency", "count", "adjust", "reg_idx", "bars", "_ctx", "_read", "_codes")

    def __init__(self, frequency, count, adjust, reg_idx, bars, ctx, read, codes):
        self.frequency = frequency
        self.count = count
        self.adjust = adjust
        self.reg_idx = reg_idx
        self.bars = bars
        self._ctx = ctx
        self._read = read
        self._codes = codes

    def _window(self, length, fill_up, what):
        # the handle's read (forward adjustment and the audit wrap it), after the
        # checks that cost nothing on the common path
        if fill_up is not True and fill_up is not False:
            _not_a_bool(what, fill_up)
        return self._read(self.reg_idx, _step(self._ctx, what), length, fill_up)

    def __repr__(self):
        return "<bars %s x%d%s, %d targets>" % (
            self.frequency, self.count, " adjusted" if self.adjust else "", len(self._codes))

    def values(self, length, fill_up=True, fields=None):
        """The window as a float64 array of `targets * length` rows (one block of
        `length` rows per target, in target order) and 9 columns: target index, bar
        time (time-line value), open, high, low, close, volume, turnover, open
        interest.

        With `fields` (names among time, open, high, low, close, volume, turnover,
        open_interest), an array of shape (fields, targets, length) instead:
        `close, volume = handle.values(20, fields=("close", "volume"))` (one name
        not in a tuple: (targets, length)). Equally spaced fields are a view of the
        window, others a copy."""
        v = self._window(length, fill_up, "bars.values()")
        if fields is None:
            return v
        try:
            sel = _FIELD_SETS[fields]
        except (KeyError, TypeError):
            sel = _field_selection(fields)
        # (9, targets, length): a view of the window; equally spaced fields stay one
        return v.T.reshape(9, len(self._codes), -1)[sel]

    def time(self, length, fill_up=True):
        """Bar times of the window (time-line values), (targets, length)."""
        v = self._window(length, fill_up, "bars.time()")
        return v[:, 1].reshape(len(self._codes), -1)

    def open(self, length, fill_up=True):
        """Opens of the window, (targets, length); the last column is the bar forming."""
        v = self._window(length, fill_up, "bars.open()")
        return v[:, 2].reshape(len(self._codes), -1)

    def high(self, length, fill_up=True):
        """Highs of the window, (targets, length)."""
        v = self._window(length, fill_up, "bars.high()")
        return v[:, 3].reshape(len(self._codes), -1)

    def low(self, length, fill_up=True):
        """Lows of the window, (targets, length)."""
        v = self._window(length, fill_up, "bars.low()")
        return v[:, 4].reshape(len(self._codes), -1)

    def close(self, length, fill_up=True):
        """Closes of the window, (targets, length); `close(n)[:, -1]` is the close at
        the step."""
        v = self._window(length, fill_up, "bars.close()")
        return v[:, 5].reshape(len(self._codes), -1)

    def volume(self, length, fill_up=True):
        """Volumes of the window, (targets, length)."""
        v = self._window(length, fill_up, "bars.volume()")
        return v[:, 6].reshape(len(self._codes), -1)

    def turnover(self, length, fill_up=True):
        """Traded values of the window, (targets, length)."""
        v = self._window(length, fill_up, "bars.turnover()")
        return v[:, 7].reshape(len(self._codes), -1)

    def open_interest(self, length, fill_up=True):
        """Open interest of the window, (targets, length)."""
        v = self._window(length, fill_up, "bars.open_interest()")
        return v[:, 8].reshape(len(self._codes), -1)

    def frame(self, length, fill_up=True):
        """The window as a pandas DataFrame with the columns code, time (datetime64),
        open, high, low, close, volume, turnover, open_interest; rows as in
        `values`."""
        import pandas as pd

        v = self.values(length, fill_up)
        columns = {
            "code": np.repeat(self._codes, v.shape[0] // len(self._codes)),
            "time": datenum_to_datetime64(v[:, 1]),
        }
        for i, name in enumerate(FIELDS):
            columns[name] = v[:, 2 + i]
        return pd.DataFrame(columns)


class Recorder:
    """Numbers kept per step. A name recorded as one number gets one float64
    column; a name recorded per target gets a (steps, targets) table whose columns
    become name:code (only the targets that got a value). NaN where nothing was
    recorded."""

    def __init__(self, n_steps, codes):
        self.n_steps = n_steps
        self.codes = list(codes)
        self._index = {c: i for i, c in enumerate(self.codes)}
        self._scalars = {}
        self._tables = {}
        self._seen = {}  # name -> targets that got a value under it
        self._order = []

    def _new(self, name, per_target):
        if not isinstance(name, str) or not name or ":" in name:
            raise ValueError(
                "context.record: the name must be a non-empty text without ':', got %r" % (name,)
            )
        other = self._scalars if per_target else self._tables
        if name in other:
            raise ValueError(
                "context.record(%r, ...): the name was recorded %s before; a name keeps "
                "one kind of value" % (name, "as one number" if per_target else "per target")
            )
        self._order.append(name)
        if per_target:
            self._seen[name] = np.zeros(len(self.codes), dtype=bool)
            table = self._tables[name] = np.full((self.n_steps, len(self.codes)), np.nan)
            return table
        col = self._scalars[name] = np.full(self.n_steps, np.nan)
        return col

    @staticmethod
    def _bad(name, value):
        return TypeError(
            "context.record(%r, ...): a recorded value is a number, a dict of numbers by "
            "target code or one number per target, got %r" % (name, value)
        )

    def _number(self, name, value):
        if value is None:
            return math.nan
        if not isinstance(value, (int, float, np.number, np.bool_)):
            raise self._bad(name, value)
        return float(value)

    def record(self, step, name, value):
        if isinstance(value, (float, int, np.floating, np.integer, np.bool_)):
            col = self._scalars.get(name)
            if col is None:
                col = self._new(name, False)
            col[step] = value
            return
        if value is None:
            col = self._scalars.get(name)
            if col is None:
                col = self._new(name, False)
            col[step] = math.nan
            return
        if isinstance(value, dict):
            table = self._tables.get(name)
            row = np.full(len(self.codes), np.nan) if table is None else table[step].copy()
            given = []
            for code, v in value.items():
                i = self._index.get(code)
                if i is None and isinstance(code, str):  # 600000.SH, SH600000, ...
                    from vornix.api.history._import import parse_symbol

                    i = self._index.get(parse_symbol(code) or "")
                if i is None:
                    raise ValueError(
                        "context.record(%r, ...): %r is not a target of the run (%s)"
                        % (name, code, ", ".join(self.codes))
                    )
                row[i] = self._number(name, v)
                given.append(i)
        elif isinstance(value, (list, tuple, np.ndarray)):
            try:
                row = np.asarray(value, dtype=np.float64)
            except (TypeError, ValueError):
                raise self._bad(name, value) from None
            if row.shape != (len(self.codes),):
                raise ValueError(
                    "context.record(%r, ...): %s values given for %d targets; give one "
                    "per target in target order, or a dict by target code"
                    % (name, "x".join(map(str, row.shape)) or "no", len(self.codes))
                )
            if isinstance(value, np.ndarray) and value.dtype.kind not in "biuf":
                raise self._bad(name, value)
            given = slice(None)
        else:
            raise self._bad(name, value)
        table = self._tables.get(name)
        if table is None:
            table = self._new(name, True)
        table[step] = row
        self._seen[name][given] = True

    @property
    def columns(self):
        """The recorded columns in the order their names were first recorded."""
        out = {}
        for name in self._order:
            if name in self._scalars:
                out[name] = self._scalars[name]
                continue
            table, seen = self._tables[name], self._seen[name]
            for i, code in enumerate(self.codes):
                if seen[i]:
                    out[name + ":" + code] = table[:, i].copy()
        return out


class Context:
    """The object passed to the strategy's `init(context)` and `on_data(context)`.

    - `targets`: the run's targets as dotted codes, in order;
    - `params`: the strategy's parameters (its PARAMS, overridden by the run);
    - `env`: the environment (bars, prices, fees, accounts and target lookups);
    - `step`: the 0-based step number (None in init); `now`: the step's time as a
      datetime (None in init);
    - `reg_bars(frequency, count=1, adjust=False)`: register a bar series (in init);
    - `record(name, value)`: keep a number, a dict of numbers by target code or one
      number per target, for the current step (in on_data).

    Attributes a strategy sets on the context itself are its own."""

    def __init__(self, runner, targets, params, env, time_line):
        self._runner = runner
        self._phase = INIT
        self._internal_bar_num = math.nan
        self._time_line = time_line
        self.targets = list(targets)
        self.params = params
        self.env = env

    def __repr__(self):
        return "<vornix context: %s, %d targets>" % (
            "init" if self._phase == INIT else "step %s" % self.step, len(self.targets))

    @property
    def step(self):
        s = self._internal_bar_num
        return None if s != s else s

    @property
    def now(self):
        s = self._internal_bar_num
        return None if s != s else datenum_to_datetime(self._time_line[s])

    def _in_init(self, what):
        if self._phase != INIT:
            raise RunStateError(
                "context.%s: registrations are made in init, not in on_data" % what)

    def reg_bars(self, frequency, count=1, adjust=False):
        """Register the bar series of `count` periods of `frequency` ('min', 'day',
        'week', 'month', 'year') for all targets; returns its handle."""
        self._in_init("reg_bars")
        return self._runner.register_bars(frequency, count, adjust)

    def reg_factor(self, names, targets=None, begin=None, end=None):
        """Register daily factors (a name or a list) of `targets` (default: the run's)
        over begin..end (default: the run's dates); a value stamped with day d is
        visible from the first step of day d on."""
        self._in_init("reg_factor")
        return self._runner.register_factor(names, targets, begin, end)

    def reg_user_data(self, times, values):
        """Register a series of your own: `values` (one per time, or a 2-D array with
        one column per series) stamped with `times` (time-line values, datetimes or
        datetime64). A value shows from the first step after its time."""
        self._in_init("reg_user_data")
        return self._runner.register_user_data(times, values)

    def reg_indicator(self, func):
        """Evaluate `func(context)` at every step now, the context standing at that
        step (its windows end there); it returns a number or one number per row."""
        self._in_init("reg_indicator")
        return self._runner.register_indicator(func)

    # --- orders (see vornix.runner._broker for the rules) -----------------------
    def _step_for(self, what):
        s = self._internal_bar_num
        if s != s or self._phase != STEPS:
            raise RunStateError("context.%s: orders are placed in on_data" % what)
        return s

    def order(self, target, volume, limit=None):
        """An order of `volume` (signed: + buy, - sell) of a target (dotted code or
        index); a market order fills at the open of the next bar that trades, one with
        a `limit` price at the first later bar that reaches the limit, never worse.
        Returns its id."""
        return self._runner.broker.order(target, volume, self._step_for("order"), limit)

    def order_target_volume(self, target, volume, limit=None):
        """Orders what takes the position (with the pending orders) to `volume`;
        returns the order id, or None when nothing is to be ordered."""
        return self._runner.broker.order_target_volume(
            target, volume, self._step_for("order_target_volume"), limit)

    def order_target_percent(self, target, weight, limit=None):
        """Orders what takes the position to `weight` of its account's equity at the
        step's close, in whole lots; returns the order id or None."""
        return self._runner.broker.order_target_percent(
            target, weight, self._step_for("order_target_percent"), limit)

    def cancel(self, order_id):
        """Cancels a pending order; True when it was pending."""
        return self._runner.broker.cancel(order_id)

    def position(self, target):
        """The signed volume of a target held now."""
        return self._runner.broker.position(target)

    def cash(self, account="stock"):
        """The cash of an account of the run ("stock" where it trades stocks,
        "future" where it trades futures)."""
        return self._runner.broker.account(account).cash

    def record(self, name, value):
        """Keep `value` under `name` for the current step (the last value recorded
        at a step wins)."""
        s = self._internal_bar_num
        if s != s:
            raise RunStateError("context.record(%r, ...): records are kept per step, in "
                                "on_data; there is no step in init" % (name,))
        self._runner.recorder.record(s, name, value)
