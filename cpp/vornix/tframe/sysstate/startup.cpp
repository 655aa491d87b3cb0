// Module functions of sysstate: the first commands to the trading core, the exit
// hook, and the frequency synthesis rule maps.
#include "sysstate.hpp"

namespace vornix::sysstate {

namespace {

py::object first_cmd_to_check_version() {
    py::module_ root = py::module_::import("vornix");
    py::object get_support = root.attr("get_support");
    py::object get_version = root.attr("get_version");
    py::object sysdefine = py::module_::import("vornix.tframe.sysdefine");
    py::object version_error =
        py::module_::import("vornix.tframe.utils.exceptions").attr("VersionError");
    py::object check =
        py::module_::import("vornix.tframe.comm.vxcmd").attr("vxSendCmdToolboxCheck");

    py::object support_vx = get_support();
    py::object vornix_version = get_version();
    py::object info = check("python", vornix_version, support_vx);
    py::object vx_support = py::tuple(info[py::str("listSupportedToolbox")]);
    py::object vx_version = info[py::str("wstrCoreVer")];
    py::object vx_name = getattr_or(sysdefine, "vxcore_name", py::str("Vornix"));

    py::object cache = global("env").attr("vr").attr("g_VornixCache");
    cache.attr("vx_support_list") = py::list(vx_support);
    cache.attr("vx_version") = vx_version;

    // Either side listing the other's version is enough.
    if (vx_support.contains(vornix_version) || support_vx.contains(vx_version)) {
        return py::none();
    }
    py::object tips =
        global("text")
            .attr("ERROR_NOTSUPPORT_VXVERSION")
            .attr("format")(py::arg("VORNIXVERSION") = vornix_version,
                            py::arg("SUPPORTVXVERSION") = support_vx, py::arg("VXNAME") = vx_name,
                            py::arg("VXVERSION") = vx_version,
                            py::arg("VXSUPPORTVERSION") = vx_support);
    cache.attr("not_allow_comm_vx_tips") = tips;
    cache.attr("allow_comm_vx") = py::bool_(false);
    PyErr_SetObject(version_error.ptr(), tips.ptr());
    throw py::error_already_set();
}

py::object first_cmd_to_get_cache_dir() {
    py::object os_path = py::module_::import("os").attr("path");
    py::object logger_mgr = py::module_::import("vornix.tframe.utils.logger").attr("LoggerManager");
    py::object output =
        py::module_::import("vornix.tframe.utils.utilcls").attr("OutputFileManager");
    py::object query =
        py::module_::import("vornix.tframe.comm.vxcmd").attr("vxSendCmdGetToolBoxRootofCacheDir");

    py::object cache_dir = query();
    output.attr("init")(cache_dir);
    logger_mgr.attr("rm_log_file")();
    logger_mgr.attr("init")(os_path.attr("join")(cache_dir, "log"));
    return py::none();
}

py::object before_first_cmd() {
    global("_first_cmd_to_check_version")();
    global("_first_cmd_to_get_cache_dir")();
    return py::none();
}

py::object sys_exit() {
    // The final line is written whatever happens before it.
    struct FinalLine {
        ~FinalLine() {
            try {
                global("write_syslog")("Python interpreter exit!");
            } catch (py::error_already_set& e) {
                e.discard_as_unraisable("sys_exit");
            }
        }
    } final_line;
    try {
        py::object env = getattr_or(module(), "env", py::none());
        if (!env.is_none()) env.attr("vx_disconnect_to")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        global("write_syslog")(e.value());
    }
    return py::none();
}

py::object synthetic_k_data_rule_map(py::object frequency_i) {
    py::object gv = global("gv");
    py::dict d;
    d[gv.attr("KFreq_Min")] = gv.attr("KFreq_Min");
    d[gv.attr("KFreq_Day")] = gv.attr("KFreq_Day");
    d[gv.attr("KFreq_Week")] = gv.attr("KFreq_Day");
    d[gv.attr("KFreq_Month")] = gv.attr("KFreq_Day");
    d[gv.attr("KFreq_Year")] = gv.attr("KFreq_Day");
    return d[frequency_i];
}

py::object adjust_topmost_rule_map(py::object frequency_i) {
    py::object gv = global("gv");
    for (const char* name : {"KFreq_Year", "KFreq_Month", "KFreq_Week", "KFreq_Day"}) {
        if (py_eq(frequency_i, gv.attr(name))) return gv.attr("KFreq_Day");
    }
    if (py_eq(frequency_i, gv.attr("KFreq_Min"))) return gv.attr("KFreq_Min");
    if (py_eq(frequency_i, gv.attr("KFreq_Tick"))) return gv.attr("KFreq_Tick");
    throw py::value_error(py::str("Not exist rule map, frequency_i=`%s`")
                              .attr("__mod__")(py::str(frequency_i))
                              .cast<std::string>());
}

}  // namespace

void add_module_functions(py::module_& m) {
    m.attr("_before_first_cmd") =
        make_function(py::cpp_function(&before_first_cmd), "_before_first_cmd", {},
                      "Connected callback: version handshake, then the cache directory.");
    m.attr("_first_cmd_to_check_version") = make_function(
        py::cpp_function(&first_cmd_to_check_version), "_first_cmd_to_check_version", {},
        "Version handshake with the trading core; raises VersionError when neither side "
        "supports the other.");
    m.attr("_first_cmd_to_get_cache_dir") =
        make_function(py::cpp_function(&first_cmd_to_get_cache_dir), "_first_cmd_to_get_cache_dir",
                      {}, "Ask the core for its cache directory and move output and logs there.");
    py::object exit_hook = make_function(py::cpp_function(&sys_exit), "sys_exit", {},
                                         "Exit hook: disconnect from the core, log the exit.");
    m.attr("sys_exit") = m.attr("register")(exit_hook);
    m.attr("synthetic_k_data_rule_map") = make_function(
        py::cpp_function(&synthetic_k_data_rule_map), "synthetic_k_data_rule_map",
        {arg("frequency_i")}, "The frequency whose bars are synthesised into this frequency.");
    m.attr("adjust_topmost_rule_map") = make_function(
        py::cpp_function(&adjust_topmost_rule_map), "adjust_topmost_rule_map", {arg("frequency_i")},
        "The topmost frequency fetched as base for this frequency.");
}

}  // namespace vornix::sysstate
