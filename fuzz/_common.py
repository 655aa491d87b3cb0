"""Shared pieces of the fuzz harnesses: the input builders, the call check, the
coverage table check, the sandbox directories and the run state of the
state-dependent functions.

A harness maps the fuzzer's bytes to one call: it picks a public function of
its module, asks that function's builder for the arguments, calls it and lets
only the documented exceptions through (ACCEPTED).  Anything else propagates,
and atheris stores the input under fuzz/crashes/.

Builders take an `Inputs` (the fuzzer's bytes) and return (args, kwargs).  Most
arguments come from `Inputs.arg(good)`: usually a value of the right kind (so the
call gets past the argument checks and into the kernels), sometimes any other
value (`Inputs.wrong`): None, text, lists, dicts, NaN, huge and negative numbers,
arrays of another dtype or layout.
"""

import copy
import os
import resource
import shutil
import sys
import tempfile
import warnings

import atheris
import numpy as np

# --- sandbox ----------------------------------------------------------------------------

# Every directory the framework writes to lives under one temporary folder, set
# before vornix is imported (the settings are read at call time, but the log and
# output managers remember their folders).
SANDBOX = tempfile.mkdtemp(prefix="vornix-fuzz-")
for _key, _sub in (
    ("VX_OUTPUT_DIR", "output"),
    ("VX_LOG_DIR", "log"),
    ("VX_CORE_CACHE_DIR", "core-cache"),
    ("VX_STORE_DIR", "store"),
):
    os.environ[_key] = os.path.join(SANDBOX, _sub)
os.environ["VX_CONFIG_FILE"] = os.path.join(SANDBOX, "config.json")
os.environ.setdefault("VX_SOCKET_TIMEOUT", "3")
os.environ.setdefault("VX_SUB_SOCKET_TIMEOUT", "3")

warnings.simplefilter("ignore")  # numpy's runtime warnings on NaN input are expected here


class SandboxEscape(BaseException):
    """A file operation outside the sandbox: never accepted, always a fault."""


def _guard(fn):
    def guarded(path, *args, **kwargs):
        if kwargs.get("dir_fd") is not None:  # relative to a folder already checked
            return fn(path, *args, **kwargs)
        real = os.path.realpath(os.fspath(path))
        if os.path.commonpath([real, os.path.realpath(SANDBOX)]) != os.path.realpath(SANDBOX):
            raise SandboxEscape("%s(%r) outside the sandbox %s" % (fn.__name__, path, SANDBOX))
        return fn(path, *args, **kwargs)

    guarded.__name__ = fn.__name__
    return guarded


# Deleting calls reach only the sandbox, whatever path a fuzzed argument makes.
shutil.rmtree = _guard(shutil.rmtree)
os.remove = _guard(os.remove)
os.unlink = _guard(os.unlink)
os.rmdir = _guard(os.rmdir)


def under_asan():
    return "asan" in os.environ.get("LD_PRELOAD", "")


def limit_memory(gib=8):
    """Make a huge allocation fail as MemoryError (a fault: a size should have been
    refused as ValueError first) instead of taking the machine's memory.  Under the
    sanitizer its own `max_allocation_size_mb` does this (address space limits break
    its shadow memory)."""
    if not under_asan():
        limit = gib << 30
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


# --- what may escape a call ---------------------------------------------------------------

VxError = None  # set by accepted() once vornix is imported under instrumentation


def accepted(extra=()):
    """The documented exceptions: TypeError, ValueError, IndexError, the framework's
    own errors, and OverflowError for integers beyond the C range of an argument
    (the bindings' integer conversion, tested in tests/registration)."""
    from vornix.tframe.utils.exceptions import VxError

    return (TypeError, ValueError, IndexError, OverflowError, VxError) + tuple(extra)


def check_table(module_name, public, table):
    """Every public function has a builder and every builder a function: a new public
    function fails the harness at start-up until it gets one."""
    missing = sorted(set(public) - set(table))
    stale = sorted(set(table) - set(public))
    if missing or stale:
        raise SystemExit(
            "fuzz table of %s out of date: no builder for %s; builder without function %s"
            % (module_name, missing, stale)
        )


def fuzzed(names):
    """The names to fuzz: all but those in FUZZ_SKIP (comma-separated), to get past a known
    fault while its fix is pending."""
    skip = {n for n in os.environ.get("FUZZ_SKIP", "").split(",") if n}
    unknown = skip - set(names)
    if unknown:
        raise SystemExit("FUZZ_SKIP names no function of this harness: %s" % sorted(unknown))
    return [n for n in names if n not in skip]


def public_functions(module):
    """Names of the callables the compiled module defines itself (re-exports of framework
    names, which the module binds from other modules, are not its functions)."""
    own = {module.__name__, module.__name__.split(".", 1)[-1]}
    names = []
    for name in dir(module):
        if name.startswith("_"):
            continue
        obj = getattr(module, name)
        if callable(obj) and not isinstance(obj, type) and getattr(obj, "__module__", None) in own:
            names.append(name)
    return sorted(names)


# --- input builders -------------------------------------------------------------------------

INTERESTING_INTS = [
    0, 1, -1, 2, 3, 4, 5, 7, 8, 9, 10, 15, 16, 17, 100, 255, 256, 1000,
    2**15, 2**16, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32, 2**32 + 1,
    2**53 + 1, 2**62, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64, 10**30, -(10**30),
]
INTERESTING_FLOATS = [
    0.0, -0.0, 0.5, 1.0, -1.0, 1.5, 2.0, 1e-300, 5e-324, 1e300, 1.7976931348623157e308,
    float("nan"), float("inf"), -float("inf"), 2.0**31, 2.0**63, -(2.0**63), 2.0**64, 738889.4,
]
DTYPES = [
    np.float64, np.float64, np.float64, np.float32, np.float16, np.int64, np.int32, np.int8,
    np.uint64, np.uint8, np.bool_, np.complex128, object, "U3", "datetime64[s]",
]
TEXTS = ["", "x", "min", "day", "1m", "5m", "1d", "week", "month", "tick", "year", "SH.600000",
         "sh.600000", "SH", ".", "..", "../..", "/", "/tmp", "a/../../b", "\x00", "é", "1" * 300]


class Inputs:
    """Values drawn from the fuzzer's bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    # scalars
    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def chance(self, one_in):
        return self.fdp.ConsumeIntInRange(0, one_in - 1) == 0

    def small(self, lo=0, hi=8):
        return self.fdp.ConsumeIntInRange(lo, hi)

    def integer(self, lo=-3, hi=40):
        """Mostly small, sometimes an edge of the 32/64-bit ranges or a numpy integer."""
        kind = self.small(0, 9)
        if kind < 6:
            value = self.fdp.ConsumeIntInRange(lo, hi)
        elif kind < 8:
            value = self.pick(INTERESTING_INTS)
        else:
            value = self.fdp.ConsumeInt(self.small(1, 9))
        if self.chance(8) and -(2**63) <= value < 2**63:
            return np.int64(value)
        return value

    def real(self, lo=-5.0, hi=5000.0):
        kind = self.small(0, 5)
        if kind < 3:
            return self.fdp.ConsumeFloatInRange(lo, hi)
        if kind < 5:
            return self.pick(INTERESTING_FLOATS)
        return self.fdp.ConsumeFloat()

    def position(self, n):
        """A step or column: mostly inside 0..n-1, sometimes around or far outside."""
        kind = self.small(0, 5)
        if kind < 3:
            return self.fdp.ConsumeIntInRange(0, max(n - 1, 0))
        if kind == 3:
            return self.pick([n - 1, n, n + 1, -1, -2, -n, -n - 1])
        if kind == 4:
            return self.fdp.ConsumeFloatInRange(-2.0, n + 2.0)
        return self.pick(INTERESTING_INTS + INTERESTING_FLOATS)

    def text(self):
        if self.chance(2):
            return self.pick(TEXTS)
        return self.fdp.ConsumeUnicodeNoSurrogates(self.small(0, 24))

    def flag(self):
        return self.pick([True, False, np.True_, np.False_, 0, 1, 2, None, "yes", float("nan")])

    # arrays
    def values(self, count):
        """`count` floats: a mix of ordinary values, repeats, NaN, infinities, huge."""
        kind = self.small(0, 4)
        if kind == 0:
            return np.arange(count, dtype=np.float64) + self.small(0, 3)
        if kind == 1:
            return np.sort(np.asarray(self.fdp.ConsumeFloatListInRange(count, -2.0, 50.0)))
        if kind == 2:
            return np.asarray([self.pick(INTERESTING_FLOATS) for _ in range(count)], dtype=np.float64)
        out = np.asarray(self.fdp.ConsumeFloatListInRange(count, -10.0, 10.0), dtype=np.float64)
        return np.floor(out) if self.chance(2) else out

    def shape(self, ndim, max_dim=12):
        return tuple(self.small(0, max_dim) if self.chance(6) else self.small(1, max_dim) for _ in range(ndim))

    def array(self, ndim=None, shape=None, dtype=None, base=None):
        """An array of a random (or the given) shape, dtype and memory layout."""
        if base is None:
            if shape is None:
                shape = self.shape(self.pick([0, 1, 1, 2, 2, 3]) if ndim is None else ndim)
            count = int(np.prod(shape)) if shape else 1
            base = self.values(count).reshape(shape)
        if dtype is None and self.chance(5):
            dtype = self.pick(DTYPES)
        if dtype is not None:
            try:
                base = base.astype(dtype)
            except (ValueError, TypeError, OverflowError):
                base = base.astype(object)
        return self.layout(base)

    def layout(self, arr):
        """The same values in another layout: Fortran order, a strided or reversed view, an
        unaligned or read-only copy, a broadcast (zero-stride) view."""
        kind = self.small(0, 9)
        if kind < 4 or arr.ndim == 0 or arr.dtype == object:
            return arr
        if kind == 4:
            return np.asfortranarray(arr)
        if kind == 5:  # every other element of a wider array
            wide = np.zeros(arr.shape[:-1] + (2 * arr.shape[-1],), dtype=arr.dtype)
            wide[..., ::2] = arr
            return wide[..., ::2]
        if kind == 6:  # negative strides on a copy reversed back
            return arr[..., ::-1].copy()[..., ::-1]
        if kind == 7 and arr.dtype.itemsize > 1:
            raw = np.zeros(arr.nbytes + 1, dtype=np.uint8)
            out = raw[1:].view(arr.dtype).reshape(arr.shape)
            out[...] = arr
            return out
        if kind == 8:
            out = arr.copy()
            out.flags.writeable = False
            return out
        if arr.size:
            return np.broadcast_to(arr.reshape(-1)[:1].reshape((1,) * arr.ndim), arr.shape)
        return arr

    def wrong(self):
        """A value of some other kind than an argument expects."""
        kind = self.small(0, 13)
        if kind == 0:
            return None
        if kind == 1:
            return self.text()
        if kind == 2:
            return [self.real() for _ in range(self.small(0, 4))]
        if kind == 3:
            return {self.text(): self.real() for _ in range(self.small(0, 2))}
        if kind == 4:
            return self.pick(INTERESTING_INTS)
        if kind == 5:
            return self.pick(INTERESTING_FLOATS)
        if kind == 6:
            return self.array()
        if kind == 7:
            return self.pick([True, False, np.True_, b"\x00\xff", 1j, (), (1, 2), object(), bytearray(3)])
        if kind == 8:
            return self.array(ndim=self.small(0, 3), dtype=self.pick(DTYPES))
        if kind == 9:
            return np.array([None, "a", 1.0], dtype=object)
        if kind == 10:
            return np.float32(self.real())
        if kind == 11:
            return self.pick([np.int64(-1), np.uint64(2**64 - 1), np.int8(-128), np.float64("nan")])
        if kind == 12:
            return lambda *a, **k: self.real()
        return [[1.0, 2.0], [3.0]]

    def arg(self, good, one_in=10):
        """`good()` mostly; another kind of value one time in `one_in`."""
        return self.wrong() if self.chance(one_in) else good()


SURVEY = os.environ.get("FUZZ_SURVEY") == "1"
VERBOSE = os.environ.get("FUZZ_VERBOSE") == "1"
_survey = {}


def _print_survey():
    for (name, exc, text), count in sorted(_survey.items(), key=lambda kv: -kv[1]):
        print("%7d  %s  %s: %s" % (count, name, exc, text), file=sys.stderr)


if SURVEY:  # FUZZ_SURVEY=1: count unexpected exceptions by function instead of stopping
    import atexit

    atexit.register(_print_survey)


def call_checked(name, fn, args, kwargs, ok):
    """Call; an exception outside `ok` propagates to atheris as the fault it is, after a
    line naming the function and its arguments (FUZZ_VERBOSE=1: a line before every call)."""
    if VERBOSE:
        print("=== call: %s(*%s, **%s)" % (name, _short(args), _short(kwargs)), file=sys.stderr, flush=True)
    try:
        fn(*args, **kwargs)
    except ok as exc:
        _outcome(type(exc))
    except BaseException as exc:
        if SURVEY and isinstance(exc, Exception):
            key = (name, type(exc).__name__, str(exc)[:60])
            if key not in _survey:
                print("=== survey: %s  %s: %s" % key, file=sys.stderr)
                print("    args %s kwargs %s" % (_short(args)[:600], _short(kwargs)[:200]), file=sys.stderr, flush=True)
            _survey[key] = _survey.get(key, 0) + 1
            return
        print("\n=== fault: %s(*%s, **%s)" % (name, _short(args), _short(kwargs)), file=sys.stderr)
        raise


def _outcome(kind):
    # one branch per kind of refusal, so that the fuzzer tells them apart
    if kind is TypeError:
        return 1
    if kind is ValueError:
        return 2
    if kind is IndexError:
        return 3
    if kind is OverflowError:
        return 4
    return 5


def _short(value):
    text = repr(value)
    return text if len(text) < 2000 else text[:2000] + "..."


# --- run state of the state-dependent functions -------------------------------------------------

UNCOPIED = ("g_VornixSocket", "g_VornixSocketSub")  # live connections: kept as they are


class RunState:
    """A small sample market in the sandbox's bar store, a local core, a fresh state store
    and environment, `prepare_run` over three stocks and two days at one minute, and a few
    registrations of each kind.  `restore()` puts back the store as it was after set-up."""

    def __init__(self, registrations=True):
        from vornix.api.history._history import HistoryStore
        from vornix.api.history._sample import write_sample_market
        from vornix.core import CoreServer
        from vornix.runner import prepare_run
        from vornix.tframe import sysstate as ss
        from vornix.tframe.utils.logger import LoggerManager
        from vornix.tframe.utils.utilcls import OutputFileManager, StatusCollect

        self.ss = ss
        market = write_sample_market(
            HistoryStore(os.environ["VX_STORE_DIR"], create=True), seed=7, days=6, stocks=3
        )
        self.market = market
        var = ss.SystemBaseVar()
        env = ss.SystemBaseEnv()
        env.set_env(var, ss.gv, ss.smm)
        ss.vr, ss.env = var, env
        self.core = CoreServer(port=0, cache_dir=os.environ["VX_CORE_CACHE_DIR"]).start()
        var.g_VornixSocket.port = self.core.port
        var.g_VornixSocketSub.port = self.core.port
        self.codes = ["%s.%s" % (i[0], i[1]) for i in market.instruments if i[2] == "stock"]
        self.days = [int(d) for d in market.days]
        self.main_idx = prepare_run(self.codes, "min", 1, self.days[0], self.days[1])
        self.reg = {}
        if registrations:
            from vornix.api.subscribe import _subscribe as sub

            self.reg["min5"] = sub.reg_k_data("min", 5)
            self.reg["day"] = sub.reg_k_data("day", 1)
            self.reg["day_adj"] = sub.reg_k_data("day", 1, True)
            self.reg["factor"] = sub.reg_factor(["pe", "pb"], self.codes, self.days[0], self.days[1])
            steps = var.g_VornixDataValueFresh[ss.gv.KMatrixPos_TimeLine]
            self.reg["user"] = sub.reg_user_data(steps[::7].copy(), np.arange(steps[::7].size, dtype=float))
            var.g_VornixUserContext = _Context()
            self.reg["indicator"] = sub.reg_user_indices(lambda c: [c._internal_bar_num, 1.0])
        self.steps = int(var.g_VornixDataValueFresh.shape[1])
        self.n_targets = len(self.codes)
        self._classes = [
            (OutputFileManager, ("_root", "_task_id")),
            (LoggerManager, ("_log_dir", "_file_name", "_handler")),
        ]
        self._class_values = [(c, {n: getattr(c, n) for n in names}) for c, names in self._classes]
        self._status = StatusCollect.instance()
        self._var_class = dict(vars(ss.SystemBaseVar))
        self._pristine = self._copy_store(var)
        self.var, self.env = var, env

    @staticmethod
    def _copy_store(var):
        return {k: (v if k in UNCOPIED else copy.deepcopy(v)) for k, v in vars(var).items()}

    def restore(self):
        """The state store, environment, class attributes and module globals as after set-up."""
        ss = self.ss
        var, env = self.var, self.env
        vars(var).clear()
        for k, v in self._pristine.items():
            setattr(var, k, v if k in UNCOPIED else copy.deepcopy(v))
        vars(env).clear()
        env.vr, env.gv, env.smm = var, ss.gv, ss.smm
        env.snap = env.diff_cvt = env.diff_api = None
        ss.vr, ss.env = var, env
        self._status.env = env
        for name in set(vars(ss.SystemBaseVar)) - set(self._var_class):
            delattr(ss.SystemBaseVar, name)
        for name, value in self._var_class.items():
            if vars(ss.SystemBaseVar).get(name, _MISSING) is not value and name != "__dict__":
                try:
                    setattr(ss.SystemBaseVar, name, value)
                except (AttributeError, TypeError):
                    pass
        from vornix.tframe.utils.logger import LoggerManager

        LoggerManager.remove_log_handler()  # a call may have attached one to another file
        for cls, values in self._class_values:
            for name, value in values.items():
                setattr(cls, name, value)
        LoggerManager._handler = None


_MISSING = object()


class _Context:
    """The strategy context as the indicator evaluation sees it."""

    _internal_bar_num = float("nan")


def main(test_one_input, harness_globals):
    """Instrument the harness's own functions (its builders steer the search as much as
    the framework's Python code) and run libFuzzer with the command line's options."""
    for name, obj in list(harness_globals.items()):
        if callable(obj) and getattr(obj, "__module__", None) == "__main__" and hasattr(obj, "__code__"):
            harness_globals[name] = atheris.instrument_func(obj)
    atheris.Setup(list(sys.argv), harness_globals["test_one_input"])
    atheris.Fuzz()
