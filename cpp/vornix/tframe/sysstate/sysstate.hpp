// State store and environment of a run: the chief header of the sysstate module.
//
// SystemBaseVar and SystemBaseEnv are plain Python classes (default metaclass,
// instance __dict__) whose methods are implemented here in C++.  All state lives
// in instance attributes, read and rebound through the Python object protocol,
// so that the framework and the registration layer can work on `vr` directly.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "vornix/common/functions.hpp"
#include "vornix/common/pyutil.hpp"

namespace vornix::sysstate {

namespace py = pybind11;

// The sysstate module object (set once at import; lives for the whole process).
py::module_ module();
void set_module(py::module_ m);

// A module global, looked up at call time as Python code would.
py::object global(const char* name);

// Shared helpers of the compiled modules, used here unqualified.
using common::annotated;
using common::arg;
using common::assertions_enabled;
using common::getattr_or;
using common::integral_index;
using common::Kind;
using common::np_isnan;
using common::Param;
using common::py_eq;
using common::py_ge;
using common::py_gt;
using common::py_lt;
using common::truthy;

// Wraps `impl` as a method descriptor carrying __name__, __qualname__, __doc__,
// __module__, __signature__ and __annotations__.
py::object make_method(py::cpp_function impl, const char* cls, const char* name,
                       const std::vector<Param>& params, const char* doc,
                       py::object return_annotation = py::object());

// A module-level function with the same metadata.
py::object make_function(py::cpp_function impl, const char* name, const std::vector<Param>& params,
                         const char* doc);

// Sets up the function maker of this module; called once at import.
void register_method_type(py::module_& m);

// --- the two classes and the module functions ------------------------------------

// Each adds its members, in definition order, to the class namespace `ns`.
void add_var_members(py::dict ns);
void add_env_members(py::dict ns);
void add_module_functions(py::module_& m);

}  // namespace vornix::sysstate
