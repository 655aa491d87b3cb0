// The registration module vornix.api.subscribe._subscribe: bar series, their
// refresh rows and registration indexes, and the windows read from them.
//
// The module keeps no state of its own.  Everything it creates is handed to
// the state store `cnt.vr`; the names it binds at import (numpy, the history
// service, the kernels, the cache functions, ...) are looked up on the module
// at call time, as Python code would, so they can be replaced in tests.
#pragma once

#include <pybind11/pybind11.h>

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

}  // namespace vornix::subscribe
