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

namespace vornix::sysstate {

namespace py = pybind11;

// The sysstate module object (set once at import; lives for the whole process).
py::module_ module();
void set_module(py::module_ m);

// A module global, looked up at call time as Python code would.
py::object global(const char* name);

// Python truth value, raising the object's own error for ambiguous values.
bool truthy(py::handle value);

// Python rich comparisons with Python semantics.
bool py_eq(py::handle a, py::handle b);
bool py_lt(py::handle a, py::handle b);
bool py_gt(py::handle a, py::handle b);
bool py_ge(py::handle a, py::handle b);

// getattr that turns only AttributeError into `fallback`.
py::object getattr_or(py::handle obj, const char* name, py::object fallback);

// numpy.isnan on a scalar, as a bool.
bool np_isnan(py::handle value);

// A value that is a float with an integral value becomes an int (array indexing
// refuses floats); everything else is returned unchanged.
py::object integral_index(py::handle value);

// Whether assertions are active (python without -O).
bool assertions_enabled();

// --- method objects with full metadata --------------------------------------------

enum class Kind { positional, var_positional, var_keyword };

struct Param {
    std::string name;
    py::object default_value;  // null handle: no default
    py::object annotation;     // null handle: no annotation
    Kind kind = Kind::positional;
};

Param arg(const char* name);
Param arg(const char* name, py::object default_value);
Param annotated(const char* name, py::object annotation);

// Wraps `impl` as a method descriptor carrying __name__, __qualname__, __doc__,
// __module__, __signature__ and __annotations__.
py::object make_method(py::cpp_function impl, const char* cls, const char* name,
                       const std::vector<Param>& params, const char* doc,
                       py::object return_annotation = py::object());

// A module-level function with the same metadata.
py::object make_function(py::cpp_function impl, const char* name, const std::vector<Param>& params,
                         const char* doc);

void register_method_type(py::module_& m);

// --- the two classes and the module functions ------------------------------------

// Each adds its members, in definition order, to the class namespace `ns`.
void add_var_members(py::dict ns);
void add_env_members(py::dict ns);
void add_module_functions(py::module_& m);

}  // namespace vornix::sysstate
