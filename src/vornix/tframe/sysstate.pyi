# Types of the compiled module vornix.tframe.sysstate (cpp/vornix/tframe/sysstate/).
# tests/test_stubs.py checks this file against the module: names, parameters, defaults.
from collections import OrderedDict
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

# Framework names the module binds at import (cpp/vornix/tframe/contracts/contracts.hpp);
# the C++ looks them up here.
from vornix.setting import get_setting as get_setting
from vornix.tframe import sysdefine as sysdefine
from vornix.tframe.comm.vxclient import ClientSocket as ClientSocket
from vornix.tframe.comm.vxclient import HeatBeat as HeatBeat
from vornix.tframe.language import text as text
from vornix.tframe.sysdefine import GlobalDefine
from vornix.tframe.sysdefine import GlobalDefine as gv
from vornix.tframe.uclass import AdjKDataContainer as AdjKDataContainer
from vornix.tframe.uclass import AdjRegKDataContainer as AdjRegKDataContainer
from vornix.tframe.uclass import CacheMgr as CacheMgr
from vornix.tframe.uclass import InstrumentTimeSeriesData as InstrumentTimeSeriesData
from vornix.tframe.uclass import KDataContainer as KDataContainer
from vornix.tframe.uclass import MainContractTimeSeriesData as MainContractTimeSeriesData
from vornix.tframe.uclass import OrderModeMgr as OrderModeMgr
from vornix.tframe.uclass import RegKDataContainer as RegKDataContainer
from vornix.tframe.uclass import SettingItem as SettingItem
from vornix.tframe.uclass import StrategyItem as StrategyItem
from vornix.tframe.uclass import SystemModeMgr as SystemModeMgr
from vornix.tframe.uclass import TimeLineDayPos as TimeLineDayPos
from vornix.tframe.ufuncs import todotmc as todotmc
from vornix.tframe.utils.argchecker import ArgumentChecker as ArgumentChecker
from vornix.tframe.utils.logger import user_warning as user_warning
from vornix.tframe.utils.logger import write_syslog as write_syslog
from vornix.tframe.utils.utilcls import DotDict as DotDict
from vornix.tframe.utils.utilcls import OutputFileManager as OutputFileManager
from vornix.tframe.utils.utilcls import StatusCollect as StatusCollect

__all__ = [
    "smm",
    "env",
    "vr",
    "SystemBaseVar",
    "SystemBaseEnv",
    "gv",
    "synthetic_k_data_rule_map",
    "adjust_topmost_rule_map",
]

class SystemBaseVar:
    """The single mutable state store of a strategy run."""

    # Created by __init__, in this order.
    g_VornixCache: CacheMgr
    g_VornixSocket: ClientSocket
    g_VornixSocketSub: ClientSocket
    g_VornixLastHeartBeat: HeatBeat
    g_VornixModeTaskId: Any
    g_VornixInputInfo: StrategyItem
    g_VornixSettingInfo: SettingItem
    g_VornixFreshBarStatus: bool
    g_VornixAccountOrderMode: OrderModeMgr
    g_VornixAccounts: list[Any]
    g_VornixKDataList: KDataContainer
    g_VornixKDataList_Adj: AdjKDataContainer
    g_VornixDataValueFresh: npt.NDArray[np.float64]
    g_VornixDataValueFresh_Adj: npt.NDArray[np.float64]
    g_VornixRegKDataInfo: RegKDataContainer
    g_VornixRegKDataInfo_Adj: AdjRegKDataContainer
    g_VornixTargetsInfo: OrderedDict[str, dict[str, Any]]
    g_VornixMainContracts: MainContractTimeSeriesData
    g_VornixDataValueFreshUserD: npt.NDArray[Any]
    g_VornixDataValueFreshUserI: npt.NDArray[Any]
    g_VornixSimCurBarFresh: float
    g_VornixTradingDays: npt.NDArray[Any]
    g_VornixTickMap: DotDict
    g_VornixCurTickInfo: DotDict
    g_VornixLastChangeOrder: DotDict
    g_VornixDailyCloseTime: int
    g_VornixInstrument: InstrumentTimeSeriesData
    g_VornixFactorValueDict: dict[str, Any]
    g_VornixUserContext: Any
    g_VornixMinFreqTurnPos: bool
    g_VornixDayFreqTransEndTime: dict[Any, Any]

    def __init__(self) -> None: ...
    def set_env(self, env_: SystemBaseEnv) -> None: ...
    def save_snapshot(self) -> str: ...
    @classmethod
    def set_value(cls, key: str, value: Any) -> None: ...
    @classmethod
    def get_value(cls, key: str, default: Any = None) -> Any: ...
    @classmethod
    def del_value(cls, key: str) -> None: ...

class SystemBaseEnv:
    """The strategy's environment."""

    # None until set_env wires them; the module's `env` is wired at import.
    vr: SystemBaseVar
    gv: type[GlobalDefine]
    smm: SystemModeMgr
    snap: Any
    diff_cvt: Any
    diff_api: Any

    def __init__(self) -> None: ...
    def set_env(
        self,
        _vr: SystemBaseVar | None = None,
        _gv: type[GlobalDefine] | None = None,
        _smm: SystemModeMgr | None = None,
    ) -> None: ...
    @property
    def fresh_bar_time(self) -> float: ...
    @property
    def fresh_bar_num(self) -> float: ...
    @property
    def fresh_bar_timeline(self) -> npt.NDArray[np.float64]: ...
    def get_internal_fresh_bar_num(self, default: float = ...) -> float: ...
    @property
    def user_context(self) -> Any: ...
    def market_price(self, target_idx: int, offset: int = 1) -> float: ...
    def get_multiple(self, target_idx: int, default: float = 1.0) -> float: ...
    def get_minmove(self, target_idx: int) -> float | None: ...
    def cost_fee_rate(self, target_type: int) -> float: ...
    def matrix_bar_item_pos(
        self, bar_item: int, target_index: int = 0, contain_head: bool = True
    ) -> int: ...
    @staticmethod
    def is_valid_order_id(order_id: Any) -> bool: ...
    def check_idx(
        self, func_name: str, handle_idx: Any, target_idx: Any, toarray: bool = True
    ) -> tuple[Any, Any]: ...
    def set_fresh_bar(self, true_or_false: bool) -> None: ...
    def in_fresh_bar(self) -> bool: ...
    def before_new_fresh_bar(self) -> None: ...
    def reset_daily_close_time_setting(self) -> None: ...
    def exist_daily_close_time_setting(self) -> bool: ...
    def update_user_scope(self, user_scope: dict[str, Any]) -> None: ...
    @property
    def handle_idx_count(self) -> int: ...
    def account_handle_to_idx(self, handle: Any) -> int | None: ...
    def account_idx_to_handle(self, idx: int) -> Any: ...
    def get_account_by_handle(self, handle: Any) -> Any: ...
    def get_handle_account_map(self, handles: list[Any]) -> dict[Any, Any]: ...
    @property
    def account_handles(self) -> list[Any]: ...
    @property
    def target_idx_count(self) -> int: ...
    def get_target_idx(self, target: str) -> int | None: ...
    def get_target_name(self, target_index: Any) -> str | list[str] | None: ...
    def is_target_type(self, target_idx: int, target_type: int) -> bool: ...
    def get_target_type(self, target_idx_code: int | str) -> int: ...
    def vx_disconnect_to(self) -> None: ...
    def generate_kmatrix_df(self, target_count: int, time_line_len: int) -> pd.DataFrame: ...
    def generate_kmatrix_array(
        self, target_count: int, time_line_len: int
    ) -> npt.NDArray[np.float64]: ...
    def set_vxcore_task_id(self, task_id: Any) -> None: ...
    def get_strategy_input(self) -> StrategyItem: ...
    @staticmethod
    def root_sub_dir(sub: str = "") -> str: ...
    @staticmethod
    def rm_root_sub_dir(sub: str) -> str: ...
    @staticmethod
    def mk_root_sub_dir(sub: str) -> str: ...
    @staticmethod
    def cls_root_sub_dir(sub: str) -> str: ...
    def get_bar(self, target_idx: Any, offset: int = 0) -> dict[str, Any] | None: ...
    def get_bar_field(
        self, target_indices: Any, bar_pos: int, fields: list[str]
    ) -> npt.NDArray[np.float64]: ...
    def market_code_to_idx(self, market: str, code: str) -> int | None: ...
    def more_info(self) -> dict[str, Any]: ...
    @staticmethod
    def release_source() -> None: ...

smm: SystemModeMgr
vr: SystemBaseVar
env: SystemBaseEnv

def synthetic_k_data_rule_map(frequency_i: int) -> int: ...
def adjust_topmost_rule_map(frequency_i: int) -> int: ...
def sys_exit() -> None: ...

# Start-up steps of the command connection (its connected callback).
def _before_first_cmd() -> None: ...
def _first_cmd_to_check_version() -> None: ...
def _first_cmd_to_get_cache_dir() -> None: ...
