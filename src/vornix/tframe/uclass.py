"""Record and container classes of a run: the strategy input, settings, cache
manager, mode managers, K-data items and registrations, and the instrument and
main-contract time series."""

import bisect
import copy
import functools
import threading
from collections import OrderedDict

import numpy as np

from vornix.tframe.sysdefine import GlobalDefine as _gv

# The longest instrument history one query may ask for: far beyond any market's
# trading days, far below a request that could not be held in memory.
MAX_PAST_DAYS = 1_000_000


def _plain(value):
    """A serialisable view of a value (for snapshots): no callables, containers
    turned into lists and dicts."""
    if callable(value) and not isinstance(value, np.ndarray):
        return None
    if isinstance(value, Record):
        return value.snap()
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items() if not callable(v)}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


class Record:
    """A keyword-constructed record with a fixed set of fields and their defaults.

    Unknown keywords are refused, so that a misspelt field cannot pass silently.
    """

    _fields = ()  # (name, default) pairs; defaults are copied per instance

    def __init__(self, **kwargs):
        known = {name for name, _ in self._fields}
        unknown = sorted(set(kwargs) - known)
        if unknown:
            raise TypeError(
                "%s has no field(s) %s; fields are %s"
                % (type(self).__name__, ", ".join(unknown), ", ".join(n for n, _ in self._fields))
            )
        for name, default in self._fields:
            if name in kwargs:
                setattr(self, name, kwargs[name])
            else:
                setattr(self, name, copy.copy(default))

    def snap(self):
        return {name: _plain(getattr(self, name, None)) for name, _ in self._fields}

    def __repr__(self):
        shown = []
        for name, _ in self._fields:
            v = getattr(self, name, None)
            if isinstance(v, np.ndarray):
                v = "array%s" % (v.shape,)
            shown.append("%s=%r" % (name, v))
        return "%s(%s)" % (type(self).__name__, ", ".join(shown))


# --- strategy input and settings ------------------------------------------------


class StrategyItem(Record):
    _fields = (
        ("StrategyName", ""),
        ("TargetList", []),
        ("TargetListDot", []),
        ("KFrequency", "day"),
        ("KFrequencyI", _gv.KFreq_Day),
        ("KFreNum", 1),
        ("BeginDate", 0),
        ("EndDate", 0),
        ("AccountNameList", []),
        ("RefreshKDataIdx", 0),
        ("FactorList", []),
        ("FQ", _gv.FQType_None),
        ("FQBase", 0),
        # a run in time chunks: the adjustment factors of continuous futures in the
        # chunk before, {frequency code: {code: periods}} (see AdjKDataItem.AdjCalcPos)
        ("AdjStart", None),  # yyyymmdd backward-adjusted prices are relative to; 0: the first day fetched
        ("on_init_func", None),
        ("on_data_func", None),
        ("on_order_status_func", None),
        ("on_order_execution_func", None),
    )

    def same_freq(self, frequency_i, freq_num):
        """True for the run's own main frequency and count."""
        return frequency_i == self.KFrequencyI and freq_num == self.KFreNum


class SettingItem(Record):
    _fields = (
        ("DailyCloseTime", None),
        ("cost_fee_stock", 0.0),
        ("cost_fee_future", 0.0),
        ("slippage", 0.0),
    )


class CacheMgr:
    """Attribute bag of cached run facts: time lines of the K-data items, the main
    time line, and the results of the version handshake."""

    def __init__(self):
        self.allow_comm_vx = True
        self.not_allow_comm_vx_tips = ""
        self._k_data_time_lines = {}
        self._dvf_tl = np.array([])

    def set_history_k_data_time_line_cache(self, time_line, position):
        self._k_data_time_lines[int(position)] = np.asarray(time_line, dtype=np.float64)

    def get_history_k_data_time_line_cache(self, position):
        try:
            return self._k_data_time_lines[int(position)]
        except KeyError:
            raise KeyError("no time line is cached for K-data position %r" % (position,)) from None

    def set_dvf_time_line_cache(self, time_line):
        self._dvf_tl = np.asarray(time_line, dtype=np.float64)

    @property
    def dvf_tl(self):
        return self._dvf_tl


class OrderModeMgr:
    def __init__(self, order_mode=0):
        self.order_mode = order_mode


class SystemModeMgr:
    """Tracks the run phase (initialisation, per-step call, trade callbacks, ...)."""

    def __init__(self):
        self._local = threading.local()

    @property
    def phase(self):
        stack = getattr(self._local, "stack", None)
        return stack[-1] if stack else _gv.RUMMODE_PHASE_NONE

    def _run_in(self, phase, func, args, kwargs):
        stack = getattr(self._local, "stack", None)
        if stack is None:
            stack = self._local.stack = []
        stack.append(phase)
        try:
            return func(*args, **kwargs)
        finally:
            stack.pop()

    def force_phase(self, phase):
        """Wrapper factory: the wrapped callback always runs in `phase`."""

        def factory(func):
            @functools.wraps(func)
            def wrapper(*args, **kwargs):
                return self._run_in(phase, func, args, kwargs)

            wrapper.vx_phase = phase
            return wrapper

        return factory

    def enter_phase(self, phase):
        """Decorator: the wrapped function runs in `phase` and returns its result."""
        return self.force_phase(phase)


class TimeLineDayPos(Record):
    _fields = (("TimeLine", None), ("DayPos", None))


# --- K data and registrations ------------------------------------------------------


class KDataItem(Record):
    _fields = (
        ("KFrequency", None),
        ("KFreqNum", 1),
        ("Matrix", None),
        ("UnfilledBarRef", []),
        ("UnfilledIdx", []),
        ("CurrentBar", None),
        ("DataSource", -1),
        ("BaseKDataPos", -1),
        ("BaseBegin", None),
        ("BaseEnd", None),
        ("FreComplete", None),
    )
    _num_field = "KFreqNum"


class AdjKDataItem(Record):
    _fields = (
        ("KFrequency", None),
        ("KFreqNum", 1),
        ("Matrix", None),
        ("AdjCalcPos", None),
        ("LastSynTimeLinePos", -1),
        ("LastSynBaseTimeLinePos", -1),
        # per target, the main-contract periods adjusted: (first bar time, first traded
        # bar time, factors before it, factors from it); a run's next time chunk goes
        # on from them (StrategyItem.AdjStart)
        ("AdjPeriods", None),
    )
    _num_field = "KFreqNum"


class RegKDataItem(Record):
    _fields = (
        ("KFrequency", None),
        ("KFreNum", 1),
        ("KMatrixPos", -1),
        ("RowBegin", -1),
        ("RowEnd", -1),
        ("BeginPos", None),
        ("EndPos", None),
        ("RegIdx", None),
    )
    _num_field = "KFreNum"


class AdjRegKDataItem(Record):
    _fields = (
        ("KFrequency", None),
        ("KFreNum", 1),
        ("KMatrixPos", -1),
        ("RowBegin", -1),
        ("RowEnd", -1),
        ("LastSynBaseTimeLinePos", -1),
        ("RegIdx", None),
    )
    _num_field = "KFreNum"


class _ItemContainer:
    """Append-only list of records, searchable by (frequency code, count)."""

    item_class = Record

    def __init__(self):
        self._items = []
        self._index = {}

    def _key(self, item):
        return (_gv.frequency_to_int(item.KFrequency), int(getattr(item, item._num_field)))

    def append(self, item):
        if not isinstance(item, self.item_class):
            raise TypeError(
                "%s holds %s records, got %s"
                % (type(self).__name__, self.item_class.__name__, type(item).__name__)
            )
        key = self._key(item)
        self._items.append(item)
        self._index.setdefault(key, len(self._items) - 1)

    def find_pos(self, frequency_i, freq_num):
        """Position of the first record of that frequency code and count, or -1."""
        try:
            return self._index.get((int(frequency_i), int(freq_num)), -1)
        except (TypeError, ValueError):
            return -1

    def get_item(self, frequency_i, freq_num):
        pos = self.find_pos(frequency_i, freq_num)
        return None if pos < 0 else self._items[pos]

    def __len__(self):
        return len(self._items)

    def __getitem__(self, pos):
        return self._items[pos]

    def __iter__(self):
        return iter(self._items)

    def snap(self):
        return [item.snap() for item in self._items]


class KDataContainer(_ItemContainer):
    item_class = KDataItem


class AdjKDataContainer(_ItemContainer):
    item_class = AdjKDataItem


class RegKDataContainer(_ItemContainer):
    item_class = RegKDataItem


class AdjRegKDataContainer(_ItemContainer):
    item_class = AdjRegKDataItem


# --- time series of instruments and main contracts ------------------------------------


class MainContractTimeSeriesData:
    """Per continuous target, the main contract of each day."""

    def __init__(self):
        self._data = OrderedDict()

    def set(self, target, days, contracts):
        days = np.asarray(days, dtype=np.int64)
        if len(days) != len(contracts):
            raise ValueError("days and contracts differ in length: %d and %d" % (len(days), len(contracts)))
        order = np.argsort(days, kind="stable")
        self._data[target] = (days[order], [contracts[i] for i in order])

    def get(self, target, date):
        """Main contract of `target` on `date` (the last entry on or before it), or None."""
        if target not in self._data:
            return None
        days, contracts = self._data[target]
        i = int(np.searchsorted(days, date, side="right")) - 1
        return contracts[i] if i >= 0 else None

    def snap(self):
        return {k: {"days": d, "contracts": list(c)} for k, (d, c) in self._data.items()}


class InstrumentTimeSeriesData:
    """Per target, its instrument information as it was on each day."""

    def __init__(self):
        self._days = {}
        self._records = {}

    def set(self, target, day, record):
        """Store the record of `target` valid from `day` (yyyymmdd) on."""
        days = self._days.setdefault(target, [])
        records = self._records.setdefault(target, [])
        i = bisect.bisect_left(days, int(day))
        if i < len(days) and days[i] == int(day):
            records[i] = record
        else:
            days.insert(i, int(day))
            records.insert(i, record)

    def get_by_offset(self, targets, date, past_len=1, reference=True, fill=True):
        """For each target, the records of the last `past_len` days up to `date`.

        Returns an OrderedDict target -> list of records, oldest first.  With
        `fill`, a shorter history is padded at the front with its oldest record
        (None when the target has none); with `reference` false the records are
        copies.
        """
        if isinstance(targets, str):
            targets = [targets]
        past_len = int(past_len)
        if past_len < 1:
            raise ValueError("past_len must be at least 1, got %d" % past_len)
        if past_len > MAX_PAST_DAYS:  # padding that long would only exhaust memory
            raise ValueError("past_len must be at most %d days, got %d" % (MAX_PAST_DAYS, past_len))
        out = OrderedDict()
        for target in targets:
            days = self._days.get(target, [])
            records = self._records.get(target, [])
            end = bisect.bisect_right(days, int(date))
            chosen = records[max(0, end - past_len):end]
            if not reference:
                chosen = [copy.deepcopy(r) for r in chosen]
            if fill and len(chosen) < past_len:
                pad = chosen[0] if chosen else None
                chosen = [pad] * (past_len - len(chosen)) + chosen
            out[target] = chosen
        return out

    def snap(self):
        return {
            t: {"days": list(self._days[t]), "records": _plain(self._records[t])}
            for t in self._days
        }
