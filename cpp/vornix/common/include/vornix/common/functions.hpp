// Functions and methods implemented in C++ that look like Python functions to
// their callers: they carry __name__, __qualname__, __module__, __doc__,
// __signature__ and __annotations__, bind positional and keyword arguments as
// a Python function does (TypeError naming the function otherwise), and bind
// to an instance when looked up through a class.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace vornix::common {

namespace py = pybind11;

enum class Kind { positional, positional_only, var_positional, var_keyword };

struct Param {
    std::string name;
    py::object default_value;  // null handle: no default
    py::object annotation;     // null handle: no annotation
    Kind kind = Kind::positional;
};

Param arg(const char* name);
Param arg(const char* name, py::object default_value);
Param annotated(const char* name, py::object annotation);
Param annotated(const char* name, py::object annotation, py::object default_value);
Param positional_only(Param p);  // the same parameter, not passable by keyword

// Makes the function objects of one extension module.  The callable type is
// registered privately for that module: no module attribute is left behind.
class FunctionMaker {
  public:
    FunctionMaker(py::module_ m, std::string module_name);

    // A method `cls.name` (binds to instances like a Python function).
    py::object method(py::cpp_function impl, const char* cls, const char* name,
                      const std::vector<Param>& params, const char* doc,
                      py::object return_annotation = py::object()) const;

    // A module-level function.
    py::object function(py::cpp_function impl, const char* name, const std::vector<Param>& params,
                        const char* doc, py::object return_annotation = py::object()) const;

  private:
    py::object make(py::cpp_function impl, const std::string& name, const std::string& qualname,
                    const std::vector<Param>& params, const char* doc,
                    py::object return_annotation) const;

    py::object type_;
    std::string module_name_;
};

}  // namespace vornix::common
