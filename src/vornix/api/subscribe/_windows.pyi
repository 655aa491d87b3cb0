# Types of the compiled module vornix.api.subscribe._windows
# (cpp/vornix/api/subscribe/_windows/).  tests/test_stubs.py checks it against the module.
import numpy as np
import numpy.typing as npt

def get_reg_k_data_values(
    reg_idx: npt.NDArray[np.float64], bar_pos: float, length: int, fill_up: bool
) -> npt.NDArray[np.float64]:
    """The cells of _subscribe.get_reg_k_data as float64, (length * targets, 9)."""

def get_reg_k_data_adj_values(
    reg_idx: npt.NDArray[np.float64], bar_pos: float, length: int, fill_up: bool
) -> npt.NDArray[np.float64]:
    """The cells of _subscribe.get_reg_k_data_adj as float64, (length * targets, 9)."""
