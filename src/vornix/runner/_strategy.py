"""Loading a strategy and working out the settings of its run.

A strategy is a Python file (or an already imported module, or any object) with
`init(context)` and `on_data(context)`; `on_order_status`, `on_execution` and
`on_roll(context, target, old, new)` are optional.  A module-level `RUN` dict may carry the run's settings and `PARAMS` the
defaults of its parameters; settings given to the run override both."""

import ast
import datetime
import math
import os
import sys
import traceback
import types
from dataclasses import dataclass, field

from vornix.runner import _chunks, _lookback
from vornix.tframe.utils.exceptions import StrategyError

SERIES_KEYS = ("targets", "frequency", "count", "begin", "end", "adjust", "lookback", "memory",
               "chunk")
# the settings of the order simulator (cash, fees, market rules), see vornix.runner._broker
BROKER_KEYS = ("cash", "fee_stock", "fee_future", "slippage", "t_plus_1", "price_limits",
               "stamp_duty", "min_commission", "volume_limit", "dividend_tax",
               "roll", "margin_rate", "force_liquidation")
# the settings of the statistics: a benchmark target and the risk-free rate a year
RESULT_KEYS = ("benchmark", "risk_free")
RUN_KEYS = SERIES_KEYS + BROKER_KEYS + RESULT_KEYS
ADJUST = {"none": 0, "forward": 1, "backward": 2}
_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@dataclass
class Strategy:
    name: str
    path: str  # "" for a strategy given as an object
    scope: dict
    run: dict = field(default_factory=dict)
    params: dict = field(default_factory=dict)


def strategy_traceback(exc):
    """The traceback of `exc` without the frames of vornix itself, so that a user
    sees the lines of the strategy (and of what it calls) that led to the error."""
    te = traceback.TracebackException.from_exception(exc)
    seen = set()
    todo = [te]
    while todo:
        t = todo.pop()
        if t is None or id(t) in seen:
            continue
        seen.add(id(t))
        t.stack = traceback.StackSummary.from_list(
            [f for f in t.stack if not os.path.abspath(f.filename).startswith(_PACKAGE_DIR + os.sep)]
        )
        todo += [t.__cause__, t.__context__]
    return "".join(te.format()).rstrip("\n")


def _syntax_message(path, exc):
    where = "%s, line %s" % (path, exc.lineno) if exc.lineno else path
    text = "the strategy file %s cannot be compiled: %s" % (where, exc.msg)
    if exc.text:
        line = exc.text.rstrip("\n")
        stripped = line.lstrip()
        text += "\n    " + stripped
        if exc.offset:
            text += "\n    " + " " * max(exc.offset - 1 - (len(line) - len(stripped)), 0) + "^"
    return text


def load_strategy(strategy):
    """A `Strategy` from a file path, or from a module or object carrying the
    functions. Raises StrategyError for a file that cannot be read, compiled or
    executed, or that lacks `init` or `on_data`."""
    if isinstance(strategy, (str, os.PathLike)):
        path = os.path.abspath(os.fspath(strategy))
        if os.path.isdir(path):
            raise StrategyError("the strategy %s is a folder; give the strategy's .py file"
                                % os.fspath(strategy))
        if not os.path.isfile(path):
            raise StrategyError("the strategy file %s does not exist" % os.fspath(strategy))
        name = os.path.splitext(os.path.basename(path))[0]
        try:
            with open(path, "rb") as fh:
                source = fh.read()
            code = compile(source, path, "exec", dont_inherit=True)
        except SyntaxError as exc:
            raise StrategyError(_syntax_message(os.fspath(strategy), exc)) from None
        except (OSError, ValueError) as exc:
            raise StrategyError("the strategy file %s cannot be read: %s" % (path, exc)) from None
        module = types.ModuleType("vornix_strategy_" + name.replace("-", "_"))
        module.__file__ = path
        # like running a script: the strategy can import modules kept beside it
        folder = os.path.dirname(path)
        if folder not in sys.path:
            sys.path.insert(0, folder)
        sys.modules[module.__name__] = module
        try:
            exec(code, module.__dict__)
        except Exception as exc:
            raise StrategyError(
                "the strategy file %s raised while being loaded:\n%s" % (path, strategy_traceback(exc))
            ) from exc
        scope = module.__dict__
    else:
        path = ""
        name = getattr(strategy, "__name__", type(strategy).__name__).rsplit(".", 1)[-1]
        scope = dict(vars(strategy)) if hasattr(strategy, "__dict__") else {}
        for attr in ("init", "on_data", "on_order_status", "on_execution", "on_roll", "RUN",
                     "PARAMS"):
            if attr not in scope and hasattr(strategy, attr):
                scope[attr] = getattr(strategy, attr)
    where = path or name
    for func in ("init", "on_data"):
        if not callable(scope.get(func)):
            raise StrategyError(
                "the strategy %s has no %s(context) function; a strategy defines "
                "init(context) and on_data(context)" % (where, func)
            )
    on_roll = scope.get("on_roll")
    if on_roll is not None:
        import inspect

        try:
            inspect.signature(on_roll).bind(None, None, None, None)
        except (TypeError, ValueError):
            raise StrategyError("on_roll of the strategy %s must take (context, target, old, new), "
                                "got %r" % (where, on_roll)) from None
    run, params = scope.get("RUN", {}), scope.get("PARAMS", {})
    for label, value in (("RUN", run), ("PARAMS", params)):
        if not isinstance(value, dict):
            raise StrategyError("%s of the strategy %s must be a dict, got %r" % (label, where, value))
    unknown = sorted(set(run) - set(RUN_KEYS))
    if unknown:
        raise StrategyError(
            "RUN of the strategy %s has unknown keys %s; the keys are %s"
            % (where, ", ".join(map(repr, unknown)), ", ".join(RUN_KEYS))
        )
    return Strategy(name=name, path=path, scope=scope, run=dict(run), params=dict(params))


# ---------------------------------------------------------------------- settings


def as_yyyymmdd(value, what):
    """2023-01-03, '20230103', 20230103, a date or a datetime -> 20230103."""
    if isinstance(value, (datetime.date, datetime.datetime)):
        return value.year * 10000 + value.month * 100 + value.day
    if isinstance(value, int) and not isinstance(value, bool):
        text = str(value)
    elif isinstance(value, str):
        text = value.strip()
    else:
        raise TypeError("the %s date must be a date such as 2023-01-03, got %r" % (what, value))
    for fmt in ("%Y-%m-%d", "%Y%m%d", "%Y/%m/%d"):
        try:
            d = datetime.datetime.strptime(text, fmt)
        except ValueError:
            continue
        return d.year * 10000 + d.month * 100 + d.day
    raise ValueError("the %s date %r is not a date such as 2023-01-03" % (what, value))


def as_targets(value):
    if isinstance(value, str):
        value = [v for v in (p.strip() for p in value.split(",")) if v]
    if not isinstance(value, (list, tuple)) or not value:
        raise ValueError("the run needs targets, such as SH.600000,SZ.000011; got %r" % (value,))
    return list(value)


def as_count(value):
    try:
        count = int(value)
    except (TypeError, ValueError):
        raise ValueError("count must be a positive whole number, got %r" % (value,)) from None
    if count != value and not isinstance(value, str) or count < 1:
        raise ValueError("count must be a positive whole number, got %r" % (value,))
    return count


def as_adjust(value):
    key = "none" if value is None or value is False else str(value).strip().lower()
    if key not in ADJUST:
        raise ValueError("adjust must be none, forward or backward, got %r" % (value,))
    return key


def parse_param(text, defaults):
    """'NAME=VALUE' -> (name, value): the value takes the type of the default in
    PARAMS when there is one, else it is read as a Python literal (text otherwise)."""
    name, sep, raw = text.partition("=")
    name = name.strip()
    if not sep or not name:
        raise ValueError("a parameter is given as NAME=VALUE, got %r" % (text,))
    default = defaults.get(name)
    try:
        if isinstance(default, bool):
            low = raw.strip().lower()
            if low not in ("true", "false", "1", "0", "yes", "no", "on", "off"):
                raise ValueError
            return name, low in ("true", "1", "yes", "on")
        if isinstance(default, (int, float)) and not isinstance(default, bool):
            value = ast.literal_eval(raw.strip())
            # a whole number for an int default; any real number for a float one
            wanted = (int,) if isinstance(default, int) else (int, float)
            if isinstance(value, bool) or not isinstance(value, wanted):
                raise ValueError
            value = type(default)(value)
            if not math.isfinite(value):
                raise ValueError
            return name, value
        if isinstance(default, str):
            return name, raw
    except (ValueError, SyntaxError, TypeError):
        raise ValueError(
            "parameter %s=%r: expected a %s like its default %r"
            % (name, raw, type(default).__name__, default)
        ) from None
    try:
        value = ast.literal_eval(raw.strip())
    except (ValueError, SyntaxError):
        return name, raw
    _check_finite(name, value)
    return name, value


def _check_finite(name, value):
    if isinstance(value, float) and not math.isfinite(value):
        raise ValueError("parameter %s=%r: a parameter is a finite number (1e309 overflows to "
                         "inf)" % (name, value))


@dataclass
class RunSettings:
    targets: list
    frequency: str
    count: int
    begin: int
    end: int
    adjust: str
    params: dict
    broker: dict = field(default_factory=dict)
    results: dict = field(default_factory=dict)
    lookback: str = _lookback.DEFAULT  # history loaded before begin (vornix.runner._lookback)
    memory: object = None  # budget of one time chunk's data (vornix.runner._chunks); None: default
    chunk: object = None  # explicit length of the time chunks; None: by the memory budget

    @property
    def fq_type(self):
        """The adjustment the bars are fetched with: forward-adjusted windows are
        backward-adjusted bars scaled at each step to that step's price level (see
        the bar handles), so that no window shows an event after its step."""
        return ADJUST["backward" if self.adjust == "forward" else self.adjust]


def resolve_settings(strategy, overrides):
    """The run's settings: `overrides` (None meaning not given) over the strategy's
    RUN; parameters over its PARAMS. Raises ValueError naming what is missing or
    wrong."""
    merged = dict(strategy.run)
    merged.update({k: v for k, v in overrides.items() if k in RUN_KEYS and v is not None})
    missing = [k for k in ("targets", "frequency", "begin", "end") if merged.get(k) is None]
    if missing:
        raise ValueError(
            "the run of %s needs %s: give %s, or set them in the strategy's RUN dict"
            % (strategy.name, ", ".join(missing), ", ".join("--" + k for k in missing))
        )
    params = dict(strategy.params)
    given = overrides.get("params") or {}
    if not isinstance(given, dict):
        raise TypeError("params must be a dict of parameter values, got %r" % (given,))
    if strategy.params:
        unknown = sorted(set(given) - set(strategy.params))
        if unknown:
            raise ValueError(
                "unknown parameter %s; the strategy's PARAMS has %s"
                % (", ".join(unknown), ", ".join(sorted(strategy.params)))
            )
    for name, value in given.items():
        _check_finite(name, value)
    params.update(given)
    frequency = merged["frequency"]
    if not isinstance(frequency, str):
        raise TypeError("frequency must be a name such as 'min' or 'day', got %r" % (frequency,))
    begin = as_yyyymmdd(merged["begin"], "begin")
    end = as_yyyymmdd(merged["end"], "end")
    if begin > end:
        raise ValueError("the begin date %d is after the end date %d" % (begin, end))
    return RunSettings(
        targets=as_targets(merged["targets"]),
        frequency=frequency,
        count=as_count(merged.get("count", 1)),
        begin=begin,
        end=end,
        adjust=as_adjust(merged.get("adjust")),
        params=params,
        broker={k: merged[k] for k in BROKER_KEYS if merged.get(k) is not None},
        results=_result_settings(merged),
        lookback=_lookback.text(merged.get("lookback")),
        memory=_chunks.text(merged.get("memory"), _chunks.parse_memory),
        chunk=_chunks.text(merged.get("chunk"), _chunks.parse_chunk),
    )


def _result_settings(merged):
    out = {}
    bench = merged.get("benchmark")
    if bench is not None:
        if not isinstance(bench, str) or not bench.strip():
            raise ValueError("benchmark must be a target such as SH.000300, got %r" % (bench,))
        out["benchmark"] = bench.strip().upper()
    rf = merged.get("risk_free")
    if rf is not None:
        try:
            rf = float(rf)
        except (TypeError, ValueError):
            rf = float("nan")
        if not -1 < rf < 1:
            raise ValueError("risk_free is a yearly rate such as 0.02, got %r" % (merged["risk_free"],))
        out["risk_free"] = rf
    return out
