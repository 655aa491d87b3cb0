#include <Python.h>

#include "sysstate.hpp"

namespace vornix::sysstate {

namespace {
PyObject* g_module = nullptr;  // owned for the life of the process
// Set once at import and never freed: the function objects it makes live as
// long as the process, and no Python object may be released after finalisation.
const common::FunctionMaker* g_maker = nullptr;

const common::FunctionMaker& maker() { return *g_maker; }
}  // namespace

py::module_ module() { return py::reinterpret_borrow<py::module_>(g_module); }

void set_module(py::module_ m) {
    Py_XDECREF(g_module);
    g_module = m.inc_ref().ptr();
}

py::object global(const char* name) { return module().attr(name); }

py::object make_method(py::cpp_function impl, const char* cls, const char* name,
                       const std::vector<Param>& params, const char* doc,
                       py::object return_annotation) {
    return maker().method(std::move(impl), cls, name, params, doc, std::move(return_annotation));
}

py::object make_function(py::cpp_function impl, const char* name, const std::vector<Param>& params,
                         const char* doc) {
    return maker().function(std::move(impl), name, params, doc);
}

void register_method_type(py::module_& m) {
    if (g_maker == nullptr) g_maker = new common::FunctionMaker(m, "tframe.sysstate");
}

}  // namespace vornix::sysstate
