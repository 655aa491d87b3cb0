// Windows of registered K data read from the state store: the registration
// index is resolved against `vr` (series, current bars, fill tables, refresh
// rows), every Python object is converted first, and the copy runs on raw
// buffers without the GIL.  One implementation serves the object result of
// the registration module and its float64 twin.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "vornix/kernels.hpp"

namespace vornix::common {

namespace py = pybind11;

// The window as float64: (length * targets, 2 + bar_len).  `adjusted`: the
// window of a price-adjusted registration (a 7-column index): open, high, low
// and close from the adjusted series and refresh rows, the other fields as
// traded.
py::array_t<double> k_window_values(const vornix::kernels::Layout& layout, py::handle reg_idx,
                                    py::handle bar_pos, py::handle length, py::handle fill_up,
                                    bool adjusted = false);

// The same cells as an object array: column 0 holds the target index as an
// int, every other cell a float (NaN where nothing is shown).
py::array k_window_objects(const vornix::kernels::Layout& layout, py::handle reg_idx,
                           py::handle bar_pos, py::handle length, py::handle fill_up,
                           bool adjusted = false);

}  // namespace vornix::common
