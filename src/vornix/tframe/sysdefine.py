"""Constants of the framework: matrix layout, frequency codes, target types,
callback names and run phases, plus the no-op default strategy callbacks."""

import numpy as np

vxcore_name = "Vornix"


class GlobalDefine:
    # --- K matrix header rows -------------------------------------------------
    KMatrixPos_TimeLine = 0
    KMatrixPos_DayPos = 1
    KMatrixPos_FreshIdx = 2
    KMatrixPos_End = 2
    KMatrixPos_Head_len = KMatrixPos_End + 1

    # --- K matrix body: offsets of the bar fields inside one target block ----
    KMatrix_Open = 0
    KMatrix_High = 1
    KMatrix_Low = 2
    KMatrix_Close = 3
    KMatrix_Volume = 4
    KMatrix_TurnOver = 5
    KMatrix_OpenInterest = 6
    KMatrix_Bar_Begin = 0
    KMatrix_Bar_End = 6
    KMatrix_Bar_Len = KMatrix_Bar_End - KMatrix_Bar_Begin + 1

    # --- adjusted matrix: prices only, no header ------------------------------
    Adj_KMatrix_Open = 0
    Adj_KMatrix_High = 1
    Adj_KMatrix_Low = 2
    Adj_KMatrix_Close = 3
    Adj_KMatrix_Bar_End = 3
    Adj_KMatrix_Bar_Len = Adj_KMatrix_Bar_End + 1

    # --- frequency codes: a smaller code is a finer frequency ----------------
    KFreq_Tick = 10
    KFreq_Min = 15
    KFreq_Day = 20
    KFreq_Week = 25
    KFreq_Month = 30
    KFreq_Year = 35

    # --- price adjustment of stock bars (StrategyItem.FQ, "fq_type") ----------
    FQType_None = 0
    FQType_Forward = 1
    FQType_Backward = 2

    # --- target types ---------------------------------------------------------
    TARGETTYPE_STOCK = 1
    TARGETTYPE_FUTURE = 2
    TARGETTYPE_INDEX = 3
    TARGETTYPE_FUND = 4

    # --- user callbacks: names looked up in the strategy's namespace ---------
    CALLUSER_INIT = "init"
    CALLUSER_ONDATA = "on_data"
    CALLUSER_ORDER_STATUS = "on_order_status"
    CALLUSER_ORDER_EXECUTION = "on_execution"

    # --- run phases -------------------------------------------------------------
    RUMMODE_PHASE_NONE = 0
    RUMMODE_PHASE_USERINIT = 1
    RUMMODE_PHASE_ONDATA = 2
    RUMMODE_PHASE_DEAL_TRADE = 3
    RUMMODE_PHASE_USERINDI = 4

    # name -> code; the first name of each code is its canonical name
    _FREQ_NAMES = (
        (KFreq_Tick, ("tick",)),
        (KFreq_Min, ("min", "1m", "minute", "1min")),
        (KFreq_Day, ("day", "1d", "daily")),
        (KFreq_Week, ("week", "1w", "weekly")),
        (KFreq_Month, ("month", "1mo", "monthly")),
        (KFreq_Year, ("year", "1y", "yearly")),
    )
    _BAR_FIELDS = {
        "open": KMatrix_Open,
        "high": KMatrix_High,
        "low": KMatrix_Low,
        "close": KMatrix_Close,
        "volume": KMatrix_Volume,
        "turnover": KMatrix_TurnOver,
        "amount": KMatrix_TurnOver,
        "open_interest": KMatrix_OpenInterest,
        "openinterest": KMatrix_OpenInterest,
    }

    @classmethod
    def frequency_to_int(cls, name):
        """Frequency code of a frequency name ("min", "1d", "week", ...)."""
        if isinstance(name, (int, np.integer)) and not isinstance(name, bool):
            if any(int(name) == code for code, _ in cls._FREQ_NAMES):
                return int(name)
            raise ValueError("unknown frequency code: %r" % (name,))
        if not isinstance(name, str):
            raise TypeError("frequency must be a name such as 'min' or 'day', got %r" % (name,))
        key = name.strip().lower()
        for code, names in cls._FREQ_NAMES:
            if key in names:
                return code
        known = ", ".join(names[0] for _, names in cls._FREQ_NAMES)
        raise ValueError("unknown frequency %r; known frequencies: %s" % (name, known))

    @classmethod
    def int_to_frequency(cls, code):
        """Canonical name of a frequency code."""
        for c, names in cls._FREQ_NAMES:
            if code == c:
                return names[0]
        raise ValueError("unknown frequency code: %r" % (code,))

    @classmethod
    def bar_item_pos(cls, item, target_idx, bar_len=KMatrix_Bar_Len, head_len=KMatrixPos_Head_len):
        """Row of bar field `item` of target(s) `target_idx` (scalars or arrays)."""
        if isinstance(target_idx, (list, tuple)):
            target_idx = np.asarray(target_idx)
        if isinstance(item, (list, tuple)):
            item = np.asarray(item)
        return head_len + target_idx * bar_len + item

    @classmethod
    def bar_field_name_to_int(cls, name):
        """Offset of a bar field given by name ("open", "close", "volume", ...)."""
        if not isinstance(name, str):
            raise TypeError("bar field name must be text, got %r" % (name,))
        try:
            return cls._BAR_FIELDS[name.strip().lower()]
        except KeyError:
            raise ValueError(
                "unknown bar field %r; known fields: %s" % (name, ", ".join(cls._BAR_FIELDS))
            ) from None


def init(context):
    """Default initialisation callback: does nothing."""


def on_data(context):
    """Default per-step callback: does nothing."""


def on_order_status(context, order, *args, **kwargs):
    """Default order-status callback: does nothing."""


def on_execution(context, excution, *args, **kwargs):
    """Default execution callback: does nothing."""
