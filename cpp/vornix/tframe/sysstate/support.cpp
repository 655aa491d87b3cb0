#include <Python.h>

#include "sysstate.hpp"

namespace vornix::sysstate {

namespace {
PyObject* g_module = nullptr;  // owned for the life of the process

// Callable object that forwards to a C++ implementation and binds like a Python
// function when looked up through an instance.  Instances carry a __dict__ so
// that the usual function metadata can be attached.
struct NativeMethod {
    py::object impl;
    std::vector<std::string> names;    // parameter names, in order
    std::vector<py::object> defaults;  // null handle: required
    std::string qualname;

    // Bind positional and keyword arguments to the parameters the way a Python
    // function does, then call the implementation with all of them positionally.
    py::object call(py::args args, py::kwargs kwargs) const {
        const size_t n = names.size();
        if (kwargs.empty() && args.size() == n) return impl(*args);
        if (args.size() > n) {
            throw py::type_error(qualname + "() takes " + std::to_string(n) +
                                 " positional arguments but " + std::to_string(args.size()) +
                                 " were given");
        }
        std::vector<py::object> bound(n);
        for (size_t i = 0; i < args.size(); ++i) bound[i] = args[i];
        if (!kwargs.empty()) {
            for (auto item : kwargs) {
                std::string key = py::str(item.first);
                size_t i = 0;
                while (i < n && names[i] != key) ++i;
                if (i == n) {
                    throw py::type_error(qualname + "() got an unexpected keyword argument '" +
                                         key + "'");
                }
                if (bound[i]) {
                    throw py::type_error(qualname + "() got multiple values for argument '" + key +
                                         "'");
                }
                bound[i] = py::reinterpret_borrow<py::object>(item.second);
            }
        }
        py::tuple call_args(n);
        for (size_t i = 0; i < n; ++i) {
            if (!bound[i]) {
                if (!defaults[i]) {
                    throw py::type_error(qualname + "() missing required argument: '" + names[i] +
                                         "'");
                }
                bound[i] = defaults[i];
            }
            call_args[i] = bound[i];
        }
        return impl(*call_args);
    }
};
}  // namespace

py::module_ module() { return py::reinterpret_borrow<py::module_>(g_module); }

void set_module(py::module_ m) {
    Py_XDECREF(g_module);
    g_module = m.inc_ref().ptr();
}

py::object global(const char* name) { return module().attr(name); }

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

Param arg(const char* name) { return Param{name, py::object(), py::object(), Kind::positional}; }

Param arg(const char* name, py::object default_value) {
    return Param{name, std::move(default_value), py::object(), Kind::positional};
}

Param annotated(const char* name, py::object annotation) {
    return Param{name, py::object(), std::move(annotation), Kind::positional};
}

static py::object build_signature(const std::vector<Param>& params, py::object return_annotation,
                                  py::dict& annotations) {
    py::module_ inspect = py::module_::import("inspect");
    py::object Parameter = inspect.attr("Parameter");
    py::object empty = Parameter.attr("empty");
    py::list plist;
    for (const Param& p : params) {
        py::object kind;
        switch (p.kind) {
            case Kind::positional:
                kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
                break;
            case Kind::var_positional:
                kind = Parameter.attr("VAR_POSITIONAL");
                break;
            case Kind::var_keyword:
                kind = Parameter.attr("VAR_KEYWORD");
                break;
        }
        py::object def = p.default_value ? p.default_value : empty;
        py::object ann = p.annotation ? p.annotation : empty;
        if (p.annotation) annotations[py::str(p.name)] = p.annotation;
        plist.append(Parameter(py::str(p.name), kind, py::arg("default") = def,
                               py::arg("annotation") = ann));
    }
    py::object ret =
        return_annotation ? return_annotation : inspect.attr("Signature").attr("empty");
    if (return_annotation) annotations["return"] = return_annotation;
    return inspect.attr("Signature")(plist, py::arg("return_annotation") = ret);
}

static py::object wrap(py::cpp_function impl, const std::string& name, const std::string& qualname,
                       const std::vector<Param>& params, const char* doc,
                       py::object return_annotation) {
    py::object cls = global("_native_method");
    py::object method = cls();
    NativeMethod& native = method.cast<NativeMethod&>();
    native.impl = std::move(impl);
    native.qualname = qualname;
    for (const Param& p : params) {
        native.names.push_back(p.name);
        native.defaults.push_back(p.default_value);
    }
    py::dict annotations;
    method.attr("__signature__") =
        build_signature(params, std::move(return_annotation), annotations);
    method.attr("__annotations__") = annotations;
    method.attr("__name__") = py::str(name);
    method.attr("__qualname__") = py::str(qualname);
    method.attr("__doc__") = py::str(doc);
    method.attr("__module__") = py::str("tframe.sysstate");
    return method;
}

py::object make_method(py::cpp_function impl, const char* cls, const char* name,
                       const std::vector<Param>& params, const char* doc,
                       py::object return_annotation) {
    return wrap(std::move(impl), name, std::string(cls) + "." + name, params, doc,
                std::move(return_annotation));
}

py::object make_function(py::cpp_function impl, const char* name, const std::vector<Param>& params,
                         const char* doc) {
    return wrap(std::move(impl), name, name, params, doc, py::object());
}

void register_method_type(py::module_& m) {
    py::class_<NativeMethod>(m, "_native_method", py::dynamic_attr(),
                             "A function of this module implemented in C++.")
        .def(py::init<>())
        .def("__call__",
             [](const NativeMethod& self, py::args args, py::kwargs kwargs) {
                 return self.call(std::move(args), std::move(kwargs));
             })
        .def(
            "__get__",
            [](py::object self, py::object obj, py::object) -> py::object {
                if (obj.is_none()) return self;
                return py::module_::import("types").attr("MethodType")(self, obj);
            },
            py::arg("obj"), py::arg("objtype") = py::none())
        .def("__repr__", [](py::object self) {
            return py::str("<function {} (native)>").format(self.attr("__qualname__"));
        });
}

}  // namespace vornix::sysstate
