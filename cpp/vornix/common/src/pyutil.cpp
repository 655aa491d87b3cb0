#include "vornix/common/pyutil.hpp"

namespace vornix::common {

bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

static bool compare(py::handle a, py::handle b, int op) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (r == nullptr) throw py::error_already_set();
    py::object result = py::reinterpret_steal<py::object>(r);
    return truthy(result);
}

bool py_eq(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
bool py_lt(py::handle a, py::handle b) { return compare(a, b, Py_LT); }
bool py_gt(py::handle a, py::handle b) { return compare(a, b, Py_GT); }
bool py_ge(py::handle a, py::handle b) { return compare(a, b, Py_GE); }

py::object getattr_or(py::handle obj, const char* name, py::object fallback) {
    PyObject* r = PyObject_GetAttrString(obj.ptr(), name);
    if (r != nullptr) return py::reinterpret_steal<py::object>(r);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return fallback;
    }
    throw py::error_already_set();
}

bool np_isnan(py::handle value) {
    return truthy(py::module_::import("numpy").attr("isnan")(value));
}

py::object integral_index(py::handle value) {
    if (PyFloat_Check(value.ptr())) {
        double v = PyFloat_AsDouble(value.ptr());
        if (v == v && static_cast<double>(static_cast<long long>(v)) == v) {
            return py::int_(static_cast<long long>(v));
        }
    }
    return py::reinterpret_borrow<py::object>(value);
}

bool assertions_enabled() {
    py::object flags = py::module_::import("sys").attr("flags");
    return !truthy(flags.attr("optimize"));
}

std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

std::string repr_text(py::handle obj) { return py::repr(obj).cast<std::string>(); }

Name::Name(const char* text) : text_(PyUnicode_InternFromString(text)) {
    if (text_ == nullptr) throw py::error_already_set();
}

py::object attr(py::handle obj, const Name& name) {
    PyObject* r = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

void raise_framework(const char* name, py::object message) {
    py::object cls = py::module_::import("vornix.tframe.utils.exceptions").attr(name);
    PyErr_SetObject(cls.ptr(), message.ptr());
    throw py::error_already_set();
}

}  // namespace vornix::common
