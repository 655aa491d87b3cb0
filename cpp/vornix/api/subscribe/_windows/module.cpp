// Binding of vornix.api.subscribe._windows: the float64 twins of the window
// functions of _subscribe, for callers that want numbers, not Python objects.
#include <pybind11/pybind11.h>

#include "vornix/common/kdata_window.hpp"
#include "vornix/common/layout.hpp"

namespace py = pybind11;

namespace {
vornix::kernels::Layout g_layout;
}

PYBIND11_MODULE(_windows, m) {
    m.doc() = "Windows of registered data as float64 arrays (the cells of the _subscribe "
              "window functions, without a Python object per cell).";
    g_layout = vornix::common::read_layout();
    m.def(
        "get_reg_k_data_values",
        [](py::object reg_idx, py::object bar_pos, py::object length, py::object fill_up) {
            return vornix::common::k_window_values(g_layout, reg_idx, bar_pos, length, fill_up);
        },
        py::arg("reg_idx"), py::arg("bar_pos"), py::arg("length"), py::arg("fill_up"),
        "The cells of _subscribe.get_reg_k_data as float64: (length * targets, 9), column 0 "
        "the target index, column 1 the bar time, then open, high, low, close, volume, "
        "turnover, open interest; NaN where no bar is shown.");
}
