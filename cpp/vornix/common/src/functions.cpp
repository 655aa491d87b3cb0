#include "vornix/common/functions.hpp"

namespace vornix::common {

namespace {

// Callable object that forwards to a C++ implementation and binds like a Python
// function when looked up through an instance.  Instances carry a __dict__ so
// that the usual function metadata can be attached.
struct NativeFunction {
    py::object impl;
    std::vector<std::string> names;    // parameter names, in order
    std::vector<py::object> defaults;  // null handle: required
    std::vector<bool> positional_only;
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
        for (auto item : kwargs) {
            std::string key = py::str(item.first);
            size_t i = 0;
            while (i < n && names[i] != key) ++i;
            if (i < n && positional_only[i]) {
                throw py::type_error(qualname +
                                     "() got some positional-only arguments passed as keyword "
                                     "arguments: '" +
                                     key + "'");
            }
            if (i == n) {
                throw py::type_error(qualname + "() got an unexpected keyword argument '" + key +
                                     "'");
            }
            if (bound[i]) {
                throw py::type_error(qualname + "() got multiple values for argument '" + key +
                                     "'");
            }
            bound[i] = py::reinterpret_borrow<py::object>(item.second);
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

py::object build_signature(const std::vector<Param>& params, const py::object& return_annotation,
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
            case Kind::positional_only:
                kind = Parameter.attr("POSITIONAL_ONLY");
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

}  // namespace

Param arg(const char* name) { return Param{name, py::object(), py::object(), Kind::positional}; }

Param arg(const char* name, py::object default_value) {
    return Param{name, std::move(default_value), py::object(), Kind::positional};
}

Param annotated(const char* name, py::object annotation) {
    return Param{name, py::object(), std::move(annotation), Kind::positional};
}

Param annotated(const char* name, py::object annotation, py::object default_value) {
    return Param{name, std::move(default_value), std::move(annotation), Kind::positional};
}

Param positional_only(Param p) {
    p.kind = Kind::positional_only;
    return p;
}

FunctionMaker::FunctionMaker(py::module_ m, std::string module_name)
    : module_name_(std::move(module_name)) {
    constexpr const char* kName = "native_function";
    type_ = py::class_<NativeFunction>(m, kName, py::module_local(), py::dynamic_attr(),
                                       "A function implemented in C++.")
                .def(py::init<>())
                .def("__call__",
                     [](const NativeFunction& self, py::args args, py::kwargs kwargs) {
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
    // The type stays alive through type_; the module keeps no attribute for it.
    py::delattr(m, kName);
}

py::object FunctionMaker::make(py::cpp_function impl, const std::string& name,
                               const std::string& qualname, const std::vector<Param>& params,
                               const char* doc, py::object return_annotation) const {
    py::object fn = type_();
    NativeFunction& native = fn.cast<NativeFunction&>();
    native.impl = std::move(impl);
    native.qualname = qualname;
    for (const Param& p : params) {
        native.names.push_back(p.name);
        native.defaults.push_back(p.default_value);
        native.positional_only.push_back(p.kind == Kind::positional_only);
    }
    py::dict annotations;
    fn.attr("__signature__") = build_signature(params, return_annotation, annotations);
    fn.attr("__annotations__") = annotations;
    fn.attr("__name__") = py::str(name);
    fn.attr("__qualname__") = py::str(qualname);
    fn.attr("__doc__") = py::str(doc);
    fn.attr("__module__") = py::str(module_name_);
    return fn;
}

py::object FunctionMaker::method(py::cpp_function impl, const char* cls, const char* name,
                                 const std::vector<Param>& params, const char* doc,
                                 py::object return_annotation) const {
    return make(std::move(impl), name, std::string(cls) + "." + name, params, doc,
                std::move(return_annotation));
}

py::object FunctionMaker::function(py::cpp_function impl, const char* name,
                                   const std::vector<Param>& params, const char* doc,
                                   py::object return_annotation) const {
    return make(std::move(impl), name, name, params, doc, std::move(return_annotation));
}

}  // namespace vornix::common
