// SystemBaseVar: the single mutable state store of a run.
#include <string>

#include "sysstate.hpp"

namespace vornix::sysstate {

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr int kCorePort = 3293;
constexpr int kDefaultTimeout = 300;

py::object empty_array() { return py::module_::import("numpy").attr("array")(py::list()); }

void var_init(py::object self) {
    py::object np = py::module_::import("numpy");
    py::object get_setting = global("get_setting");

    // The order matters: the connections come first, and the connected callback
    // is hooked to the command connection right after it is built.
    self.attr("g_VornixCache") = global("CacheMgr")();
    self.attr("g_VornixSocket") = global("ClientSocket")(
        kLoopback, kCorePort, get_setting("VX_SOCKET_TIMEOUT", kDefaultTimeout));
    self.attr("g_VornixSocket").attr("set_callback_connected")(global("_before_first_cmd"));
    self.attr("g_VornixSocketSub") = global("ClientSocket")(
        kLoopback, kCorePort, get_setting("VX_SUB_SOCKET_TIMEOUT", kDefaultTimeout));
    self.attr("g_VornixLastHeartBeat") = global("HeatBeat")();
    self.attr("g_VornixModeTaskId") = np.attr("nan");
    self.attr("g_VornixInputInfo") = global("StrategyItem")();
    self.attr("g_VornixSettingInfo") = global("SettingItem")();
    self.attr("g_VornixFreshBarStatus") = py::bool_(false);
    self.attr("g_VornixAccountOrderMode") = global("OrderModeMgr")();
    self.attr("g_VornixAccounts") = py::list();
    self.attr("g_VornixKDataList") = global("KDataContainer")();
    self.attr("g_VornixKDataList_Adj") = global("AdjKDataContainer")();
    self.attr("g_VornixDataValueFresh") = empty_array();
    self.attr("g_VornixDataValueFresh_Adj") = empty_array();
    self.attr("g_VornixRegKDataInfo") = global("RegKDataContainer")();
    self.attr("g_VornixRegKDataInfo_Adj") = global("AdjRegKDataContainer")();
    self.attr("g_VornixTargetsInfo") = global("OrderedDict")();
    self.attr("g_VornixMainContracts") = global("MainContractTimeSeriesData")();
    self.attr("g_VornixDataValueFreshUserD") = empty_array();
    self.attr("g_VornixDataValueFreshUserI") = empty_array();
    self.attr("g_VornixSimCurBarFresh") = np.attr("nan");
    self.attr("g_VornixTradingDays") = empty_array();
    self.attr("g_VornixTickMap") = global("DotDict")(py::dict());
    self.attr("g_VornixCurTickInfo") = global("DotDict")(py::dict());
    self.attr("g_VornixLastChangeOrder") = global("DotDict")(py::dict());
    self.attr("g_VornixDailyCloseTime") = py::int_(0);
    self.attr("g_VornixInstrument") = global("InstrumentTimeSeriesData")();
    self.attr("g_VornixFactorValueDict") = py::dict();
    self.attr("g_VornixUserContext") = py::none();
    self.attr("g_VornixMinFreqTurnPos") = py::bool_(false);
    self.attr("g_VornixDayFreqTransEndTime") = py::dict();
}

py::object var_set_env(py::object /*self*/, py::object env) {
    global("StatusCollect").attr("instance")().attr("env") = env;
    return py::none();
}

py::object var_save_snapshot(py::object self) {
    py::object os_path = py::module_::import("os").attr("path");
    py::object save_mat = py::module_::import("vornix.tframe.utils.utilfunc").attr("save_mat");
    py::object logger_mgr = py::module_::import("vornix.tframe.utils.logger").attr("LoggerManager");

    py::dict snap;
    snap["StrategyTaskId"] = self.attr("g_VornixModeTaskId");
    snap["StrategyInputInfo"] = self.attr("g_VornixInputInfo").attr("snap")();
    snap["FreshBarStatus"] = self.attr("g_VornixFreshBarStatus");
    snap["AccountOrderMode"] = self.attr("g_VornixAccountOrderMode").attr("order_mode");
    snap["KDataList"] = self.attr("g_VornixKDataList").attr("snap")();
    snap["KDataList_adj"] = self.attr("g_VornixKDataList_Adj").attr("snap")();
    snap["DataValueFresh"] = self.attr("g_VornixDataValueFresh");
    snap["RegKDataInfo"] = self.attr("g_VornixRegKDataInfo").attr("snap")();
    snap["TargetsInfo"] = self.attr("g_VornixTargetsInfo");
    snap["DataValueFreshUserD"] = self.attr("g_VornixDataValueFreshUserD");
    snap["SimCurBarFresh"] = self.attr("g_VornixSimCurBarFresh");
    snap["TradingDays"] = self.attr("g_VornixTradingDays");
    snap["TickMap"] = self.attr("g_VornixTickMap");
    snap["CurTickInfo"] = self.attr("g_VornixCurTickInfo");
    snap["LastChangeOrder"] = self.attr("g_VornixLastChangeOrder");
    snap["DailyCloseTime"] = self.attr("g_VornixDailyCloseTime");
    snap["InstrumentDict"] = self.attr("g_VornixInstrument").attr("snap")();
    snap["FactorValueDict"] = self.attr("g_VornixFactorValueDict");

    py::object task_id = self.attr("g_VornixModeTaskId");
    py::object filename = np_isnan(task_id) ? logger_mgr.attr("log_timestamp")() : py::str(task_id);
    py::object snap_path = os_path.attr("join")(logger_mgr.attr("log_dir")(),
                                                py::str("py_error_") + filename + py::str(".mat"));
    save_mat(snap_path, snap, py::arg("error") = "ignore", py::arg("appendmat") = false);
    if (truthy(os_path.attr("exists")(snap_path))) {
        global("user_warning")(py::str("错误快照：") + snap_path);
        return snap_path;
    }
    return py::str("");
}

py::object var_set_value(py::object cls, py::object key, py::object value) {
    py::setattr(cls, key, value);
    return py::none();
}

py::object var_get_value(py::object cls, py::object key, py::object default_value) {
    PyObject* r = PyObject_GetAttr(cls.ptr(), key.ptr());
    if (r != nullptr) return py::reinterpret_steal<py::object>(r);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return default_value;
    }
    throw py::error_already_set();
}

py::object var_del_value(py::object cls, py::object key) {
    if (py::hasattr(cls, key)) py::delattr(cls, key);
    return py::none();
}

}  // namespace

void add_var_members(py::dict ns) {
    constexpr const char* C = "SystemBaseVar";
    py::object classmethod = py::module_::import("builtins").attr("classmethod");

    ns["__init__"] =
        make_method(py::cpp_function([](py::object self) { var_init(self); }), C, "__init__",
                    {arg("self")}, "Create the run's state attributes, in their fixed order.");
    ns["set_env"] =
        make_method(py::cpp_function(&var_set_env), C, "set_env", {arg("self"), arg("env_")},
                    "Register the environment with the process-wide status collector.");
    ns["save_snapshot"] = make_method(
        py::cpp_function(&var_save_snapshot), C, "save_snapshot", {arg("self")},
        "Dump the essential state into a MAT file in the log directory; returns its path, "
        "or '' when no file was written.");
    ns["set_value"] = classmethod(make_method(py::cpp_function(&var_set_value), C, "set_value",
                                              {arg("cls"), arg("key"), arg("value")},
                                              "Store a value as a class attribute."));
    ns["get_value"] = classmethod(
        make_method(py::cpp_function(&var_get_value), C, "get_value",
                    {arg("cls"), arg("key"), arg("default", py::none())},
                    "A class attribute, or `default` when the class has none of that name."));
    ns["del_value"] = classmethod(make_method(py::cpp_function(&var_del_value), C, "del_value",
                                              {arg("cls"), arg("key")},
                                              "Delete a class attribute if it exists."));
}

}  // namespace vornix::sysstate
