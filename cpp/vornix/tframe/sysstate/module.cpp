// Binding of vornix.tframe.sysstate: imports, classes, functions, singletons.
#include "sysstate.hpp"
#include "vornix/common/imports.hpp"

namespace py = pybind11;
namespace ss = vornix::sysstate;

namespace {

void bind(py::module_& m, const char* name, py::object value) { m.attr(name) = std::move(value); }

py::object make_class(const char* name, void (*add_members)(py::dict), const char* doc) {
    py::dict ns;
    ns["__module__"] = py::str("tframe.sysstate");
    ns["__qualname__"] = py::str(name);
    ns["__doc__"] = py::str(doc);
    add_members(ns);
    py::object type = py::module_::import("builtins").attr("type");
    return type(py::str(name), py::make_tuple(py::module_::import("builtins").attr("object")), ns);
}

}  // namespace

PYBIND11_MODULE(sysstate, m) {
    ss::set_module(m);
    ss::register_method_type(m);

    // Standard library, dependencies and framework modules.
    vornix::common::bind_imports(m, vornix::contracts::kSysstate);

    // Classes, then the module functions.
    bind(m, "SystemBaseVar",
         make_class("SystemBaseVar", &ss::add_var_members,
                    "The single mutable state store of a strategy run."));
    bind(m, "SystemBaseEnv",
         make_class("SystemBaseEnv", &ss::add_env_members, "The strategy's environment."));
    ss::add_module_functions(m);

    // Singletons and their wiring.
    bind(m, "smm", m.attr("SystemModeMgr")());
    bind(m, "vr", m.attr("SystemBaseVar")());
    bind(m, "env", m.attr("SystemBaseEnv")());
    m.attr("env").attr("set_env")(m.attr("vr"), m.attr("gv"), m.attr("smm"));

    py::list all;
    for (const char* name : {"smm", "env", "vr", "SystemBaseVar", "SystemBaseEnv", "gv",
                             "synthetic_k_data_rule_map", "adjust_topmost_rule_map"}) {
        all.append(name);
    }
    bind(m, "__all__", all);
}
