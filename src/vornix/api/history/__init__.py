"""History data: the bar store and the history service built on it."""

from vornix.api.history._history import (
    BarStore,
    HistoryStore,
    TickRecord,
    get_bar_tick_data,
    get_k_data_multi,
    get_main_contract,
    get_target_info,
    get_trading_days,
    get_trading_time,
    open_store,
    store_generation,
    store_stamp,
)

__all__ = [
    "BarStore",
    "HistoryStore",
    "TickRecord",
    "get_bar_tick_data",
    "get_k_data_multi",
    "get_main_contract",
    "get_target_info",
    "get_trading_days",
    "get_trading_time",
    "open_store",
    "store_generation",
    "store_stamp",
]
