// Small Python-object helpers shared by the extension modules: truth values
// and comparisons with Python semantics, attribute lookups with a default,
// and raising the framework's own exception types.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace vornix::common {

namespace py = pybind11;

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

// A float with an integral value becomes an int (array indexing refuses
// floats); everything else is returned unchanged.
py::object integral_index(py::handle value);

// Whether assertions are active (python without -O).
bool assertions_enabled();

// Type name and repr of an object, for error messages.
std::string type_name(py::handle obj);
std::string repr_text(py::handle obj);

// An attribute name made into an interned Python string once, for lookups on
// hot paths (a `const char*` name would be decoded into a new string each time).
class Name {
  public:
    explicit Name(const char* text);
    PyObject* ptr() const { return text_; }

  private:
    PyObject* text_;  // never released: names live as long as the process
};

// obj.<name>, raising the lookup's own error.
py::object attr(py::handle obj, const Name& name);

// Raise the exception class `name` of vornix.tframe.utils.exceptions
// (VxDataError, UnExpectError, ...) with `message`.
[[noreturn]] void raise_framework(const char* name, py::object message);

}  // namespace vornix::common
