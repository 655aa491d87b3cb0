// Binding of vornix.tframe.sysstate: imports, classes, functions, singletons.
#include "sysstate.hpp"

namespace py = pybind11;
namespace ss = vornix::sysstate;

namespace {

void bind(py::module_& m, const char* name, py::object value) { m.attr(name) = std::move(value); }

void bind_from(py::module_& m, const char* module, std::initializer_list<const char*> names) {
    py::module_ src = py::module_::import(module);
    for (const char* name : names) m.attr(name) = src.attr(name);
}

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

    // Standard library and dependencies.
    bind(m, "OrderedDict", py::module_::import("collections").attr("OrderedDict"));
    bind(m, "pd", py::module_::import("pandas"));
    bind(m, "np", py::module_::import("numpy"));
    bind(m, "register", py::module_::import("atexit").attr("register"));
    bind(m, "isnan", py::module_::import("math").attr("isnan"));
    bind(m, "abstractmethod", py::module_::import("abc").attr("abstractmethod"));

    // Framework modules.
    bind_from(m, "vornix.tframe.ufuncs", {"todotmc"});
    bind(m, "sysdefine", py::module_::import("vornix.tframe.sysdefine"));
    bind(m, "gv", py::module_::import("vornix.tframe.sysdefine").attr("GlobalDefine"));
    bind_from(m, "vornix.tframe.comm.vxclient", {"ClientSocket", "HeatBeat"});
    bind_from(m, "vornix.tframe.utils.argchecker", {"ArgumentChecker"});
    bind_from(m, "vornix.tframe.utils.logger", {"write_syslog", "user_warning"});
    bind_from(m, "vornix.tframe.utils.utilcls", {"DotDict", "OutputFileManager", "StatusCollect"});
    bind(m, "text", py::module_::import("vornix.tframe.language.text"));
    bind_from(m, "vornix.setting", {"get_setting"});
    bind_from(m, "vornix.tframe.uclass",
              {"SettingItem", "CacheMgr", "SystemModeMgr", "StrategyItem", "OrderModeMgr",
               "TimeLineDayPos", "RegKDataContainer", "AdjKDataContainer", "AdjRegKDataContainer",
               "KDataContainer", "MainContractTimeSeriesData", "InstrumentTimeSeriesData"});

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
