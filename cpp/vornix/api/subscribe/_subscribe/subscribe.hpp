// The registration module vornix.api.subscribe._subscribe: bar series, their
// refresh rows and registration indexes, and the windows read from them.
//
// The module keeps no state of its own.  Everything it creates is handed to
// the state store `cnt.vr`; the names it binds at import (numpy, the history
// service, the kernels, the cache functions, ...) are looked up on the module
// at call time, as Python code would, so they can be replaced in tests.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>

#include "vornix/common/functions.hpp"
#include "vornix/kernels.hpp"

namespace vornix::subscribe {

namespace py = pybind11;

// The module object and the layout read at import.
py::module_ module();
const vornix::kernels::Layout& layout();

// A name bound at import (`np`, `gv`, `cnt`, `ualgo`, ...), looked up now.
py::object bound(const char* name);

// Adds the K-data registration and retrieval functions to the module.
void add_registration_functions(py::module_& m, const common::FunctionMaker& make);

// Adds the price-adjusted functions (adjust.cpp) to the module.
void add_adjust_functions(py::module_& m, const common::FunctionMaker& make);

// Adds the factor, user-data and user-indicator functions (userdata.cpp).
void add_userdata_functions(py::module_& m, const common::FunctionMaker& make);

// --- shared by the source units of the module (registration.cpp) -----------------------

py::object np();
py::object gv();
py::object vr();
py::object env();
py::object info();                  // vr.g_VornixInputInfo
py::object G(const char* name);     // a gv constant
std::int64_t Gi(const char* name);  // a gv constant as an integer
[[noreturn]] void raise_value_error(py::handle message);
std::int64_t find_pos(py::handle container, std::int64_t frequency_i, std::int64_t freq_num);
std::int64_t length_of(py::handle obj);
py::object row(py::handle matrix, const char* constant);  // matrix[gv.<constant>]
std::pair<py::object, py::object> two(py::object result, const char* what);
py::object kernel(const char* name);  // a ualgo kernel, looked up now
bool cache_on();
py::object cache_dir();
py::object cache_key(std::int64_t frequency_i, std::int64_t freq_num, const char* type,
                     const char* suffix);
py::object flat(py::handle a);
py::array_t<double> construct_reg_idx(std::int64_t frequency_i, std::int64_t freq_num,
                                      py::handle adjust);

// --- price adjustment (adjust.cpp), called by the registration driver -------------------

std::int64_t synthetic_matrix_adj(std::int64_t frequency_i, std::int64_t freq_num);
std::int64_t synthetic_fresh_matrix_adj(std::int64_t frequency_i, std::int64_t freq_num);

}  // namespace vornix::subscribe
