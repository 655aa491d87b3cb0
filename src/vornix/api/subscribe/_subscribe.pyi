# Types of the compiled module vornix.api.subscribe._subscribe
# (cpp/vornix/api/subscribe/_subscribe/).  tests/test_stubs.py checks this file
# against the module: names, parameters, defaults, and what each re-export is.
from collections import OrderedDict
from typing import Any

import numpy as np
import numpy.typing as npt

# Framework names the module binds at import (cpp/vornix/tframe/contracts/contracts.hpp);
# the C++ looks them up here, so a test can replace them on this module.
from vornix.api.bpfactor._factors import get_factor_by_factor as get_factor_by_factor
from vornix.api.history._history import get_k_data_multi as get_k_data_multi
from vornix.api.history._history import get_main_contract as get_main_contract
from vornix.api.history._history import get_trading_day_numbers as get_trading_day_numbers
from vornix.api.history._history import get_trading_days as get_trading_days
from vornix.api.history._history import get_trading_time as get_trading_time
from vornix.tframe import sysstate as _sysstate
from vornix.tframe import ualgo as ualgo
from vornix.tframe.comm import vxcmd as vxcmd
from vornix.tframe.language import text as text
from vornix.tframe.sysstate import adjust_topmost_rule_map as adjust_topmost_rule_map
from vornix.tframe.sysstate import gv as gv
from vornix.tframe.sysstate import smm as smm
from vornix.tframe.sysstate import synthetic_k_data_rule_map as synthetic_k_data_rule_map
from vornix.tframe.uclass import AdjKDataItem as AdjKDataItem
from vornix.tframe.uclass import AdjRegKDataItem as AdjRegKDataItem
from vornix.tframe.uclass import KDataItem as KDataItem
from vornix.tframe.uclass import RegKDataItem as RegKDataItem
from vornix.tframe.ufuncs import calc_hash_value as calc_hash_value
from vornix.tframe.ufuncs import can_cache as can_cache
from vornix.tframe.ufuncs import load_mat_cache as load_mat_cache
from vornix.tframe.ufuncs import save_mat_cache as save_mat_cache
from vornix.tframe.ufuncs import todotmc as todotmc
from vornix.tframe.utils.datetimefunc import int_date_to_ordinal as int_date_to_ordinal
from vornix.tframe.utils.datetimefunc import mft_to_int_format as mft_to_int_format
from vornix.tframe.utils.exceptions import UnExpectError as UnExpectError
from vornix.tframe.utils.exceptions import VxDataError as VxDataError
from vornix.tframe.utils.utilfunc import (
    append_or_assign_2d_array_axis0 as append_or_assign_2d_array_axis0,
)
from vornix.tframe.utils.utilfunc import load_mat as load_mat

cnt = _sysstate  # the state layer's module: `vr` and `env` are read from it at call time

_RegIdx = npt.NDArray[np.float64]

# --- registration ---------------------------------------------------------------------

def reg_k_data(frequency: str, freq_num: int, adjust: bool = False) -> _RegIdx:
    """Register a bar series for all targets of the run; returns its registration index."""

def check_reg_k_data_precondition(frequency_i: int, freq_num: int) -> None:
    """Raise ValueError when the frequency cannot be registered under the main frequency."""

def gen_empty_reg_k_data_idx(targets_len: int, adjust: bool = False) -> _RegIdx: ...
def construct_k_data_reg_idx(frequency_i: int, freq_num: int, adjust: bool) -> _RegIdx: ...
def get_reg_idx(reg_id: Any, target_indices: npt.ArrayLike) -> _RegIdx | None:
    """Rows of a registration's index for the targets; reg_id is an index (returned as it
    is) or a code frequency*100 + count*10 + adjusted flag."""

def fetch_1_freq_k_data(frequency: str, date_span: int, filled_up: bool) -> int: ...
def synthetic_1_freq_k_data(frequency_i: int) -> int: ...
def synthetic_n_freq_k_data(frequency_i: int, freq_num: int) -> int: ...
def synthetic_fresh_matrix(frequency_i: int, freq_num: int) -> int: ...

# --- price adjustment -------------------------------------------------------------------

def find_exchange_day(
    date_tl: npt.NDArray[np.float64], target_dict: Any, begin_date: int, end_date: int
) -> npt.NDArray[Any]:
    """Begin and end positions (half-open, interleaved) of the target's main-contract periods."""

# codes and counts: integers, or real numbers with a whole value (20.0)
def calc_1_freq_matrix_adj(frequency_i: float, /) -> int: ...
def synthetic_matrix_adj(frequency_i: float, freq_num: float) -> int: ...
def synthetic_fresh_matrix_adj(frequency_i: float, freq_num: float) -> int: ...

# --- windows at a step ------------------------------------------------------------------

def get_reg_k_data(
    reg_idx: _RegIdx, bar_pos: float, length: int, fill_up: bool
) -> npt.NDArray[np.object_]:
    """The last `length` bars of every target visible at main-time-line column bar_pos."""

def get_reg_k_data_adj(
    reg_idx: _RegIdx, bar_pos: float, length: int, fill_up: bool
) -> npt.NDArray[np.object_]:
    """The same window of an adjusted registration: prices adjusted, other fields as traded."""

# --- factors, user data, user indicators ---------------------------------------------------

def reg_factor(factors: list | str, targets: Any, begin_date: Any, end_date: Any) -> npt.NDArray[np.int64]:
    """Register daily factors of the targets; per factor its rows of the factor matrix."""

def get_reg_factor(
    reg_idx: npt.ArrayLike, pos: float, length: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(dates, values) of the last `length` factor days visible at step pos."""

def reg_user_data(time_line: np.ndarray, data: np.ndarray) -> npt.NDArray[np.int64]:
    """Align a time series to the steps; the rows' index."""

def get_reg_user_data(
    reg_idx: npt.ArrayLike, bar_pos: float, length: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(step times, values) of the last `length` steps up to bar_pos."""

def reg_user_indices(indices_func: Any) -> list[int]:
    """Evaluate an indicator function at every step; the rows' index."""

def get_reg_user_indicator(
    reg_idx: list, bar_pos: float, length: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """(step times, values) of the last `length` steps of the indicator rows up to bar_pos."""

def get_instruments(target_idxs: Any, bar_pos: float, length: int = 1) -> OrderedDict[str, Any]: ...
