// The framework operations outside the compiled modules that their C++ calls,
// in one place.  Each compiled module binds these names at import, in the
// order listed, and looks them up on itself at call time (so a test can
// replace one); what each operation is given and returns is noted beside it.
//
// Plain data: no Python header.  `bind_imports` (vornix/common/imports.hpp)
// performs a table.
#pragma once

#include <cstddef>

namespace vornix::contracts {

struct Import {
    const char* module;  // dotted module path
    const char* name;    // attribute of that module; nullptr binds the module itself
    const char* as;      // name bound in the importing module
};

// vornix.api.subscribe._subscribe
inline constexpr Import kSubscribe[] = {
    {"os", nullptr, "os"},
    {"collections", "OrderedDict", "OrderedDict"},
    {"numpy", nullptr, "np"},
    {"math", "isnan", "isnan"},
    // History service.  get_trading_time(targets, frequency name, begin, end) -> (bar
    // times, day positions); get_main_contract(targets, begin, end) -> {code: (days,
    // contracts)}; get_trading_days(begin, end) -> yyyymmdd int64 ascending;
    // get_k_data_multi({"targets", "frequency", "freq_num", "begin_date", "end_date",
    // "filled_up", "fq_type", "need_show_ui_tip"}) -> {"TimeLine", "DayPos", "KArray"
    // (7 rows per target), "TradeFreshPos"}; get_trading_day_numbers(times) -> the
    // trading day (day number, float64) of every time-line value.
    {"vornix.api.history._history", "get_trading_time", "get_trading_time"},
    {"vornix.api.history._history", "get_main_contract", "get_main_contract"},
    {"vornix.api.history._history", "get_trading_days", "get_trading_days"},
    {"vornix.api.history._history", "get_k_data_multi", "get_k_data_multi"},
    {"vornix.api.history._history", "get_trading_day_numbers", "get_trading_day_numbers"},
    // Factor service: get_factor_by_factor(factor, targets, begin, end, 0) -> {"date", code:
    // values}.
    {"vornix.api.bpfactor._factors", "get_factor_by_factor", "get_factor_by_factor"},
    // Numeric kernels, always called through the module's attributes.
    {"vornix.tframe.ualgo", nullptr, "ualgo"},
    // Command channel: vxSendCmdGetFactorMultiFilePath(factors, targets, begin, end, 0) -> paths.
    {"vornix.tframe.comm.vxcmd", nullptr, "vxcmd"},
    {"vornix.tframe.sysstate", "gv", "gv"},
    {"vornix.tframe.sysstate", "smm", "smm"},
    // Rule maps: frequency code -> the code it is synthesised from / fetched as.
    {"vornix.tframe.sysstate", "synthetic_k_data_rule_map", "synthetic_k_data_rule_map"},
    {"vornix.tframe.sysstate", "adjust_topmost_rule_map", "adjust_topmost_rule_map"},
    // Record classes, constructed with keyword arguments only.
    {"vornix.tframe.uclass", "KDataItem", "KDataItem"},
    {"vornix.tframe.uclass", "AdjKDataItem", "AdjKDataItem"},
    {"vornix.tframe.uclass", "RegKDataItem", "RegKDataItem"},
    {"vornix.tframe.uclass", "AdjRegKDataItem", "AdjRegKDataItem"},
    // The state layer's module: `vr` and `env` are read from it at call time.
    {"vornix.tframe.sysstate", nullptr, "cnt"},
    {"vornix.tframe.utils.utilfunc", "append_or_assign_2d_array_axis0",
     "append_or_assign_2d_array_axis0"},
    {"vornix.tframe.utils.utilfunc", "load_mat", "load_mat"},
    // Dates: time-line value -> yyyymmdd int; yyyymmdd int -> day number.
    {"vornix.tframe.utils.datetimefunc", "mft_to_int_format", "mft_to_int_format"},
    {"vornix.tframe.utils.datetimefunc", "int_date_to_ordinal", "int_date_to_ordinal"},
    {"vornix.tframe.utils.exceptions", "VxDataError", "VxDataError"},
    {"vornix.tframe.utils.exceptions", "UnExpectError", "UnExpectError"},
    // Message table: module attributes holding the texts of errors and warnings.
    {"vornix.tframe.language.text", nullptr, "text"},
    // Matrix cache: todotmc(targets) -> dotted codes; calc_hash_value(items, suffix=) -> key;
    // load_mat_cache(dir, key) -> mapping or None; save_mat_cache(dir, key, mapping);
    // can_cache(end date) -> whether results may be stored.
    {"vornix.tframe.ufuncs", "todotmc", "todotmc"},
    {"vornix.tframe.ufuncs", "calc_hash_value", "calc_hash_value"},
    {"vornix.tframe.ufuncs", "load_mat_cache", "load_mat_cache"},
    {"vornix.tframe.ufuncs", "save_mat_cache", "save_mat_cache"},
    {"vornix.tframe.ufuncs", "can_cache", "can_cache"},
};

// vornix.tframe.sysstate
inline constexpr Import kSysstate[] = {
    {"collections", "OrderedDict", "OrderedDict"},
    {"pandas", nullptr, "pd"},
    {"numpy", nullptr, "np"},
    {"atexit", "register", "register"},
    {"math", "isnan", "isnan"},
    {"abc", "abstractmethod", "abstractmethod"},
    {"vornix.tframe.ufuncs", "todotmc", "todotmc"},
    // Constants class and the no-op default strategy callbacks.
    {"vornix.tframe.sysdefine", nullptr, "sysdefine"},
    {"vornix.tframe.sysdefine", "GlobalDefine", "gv"},
    // Connections to the trading core: ClientSocket(host, port, timeout) with
    // set_callback_connected(callable), request(...) and disconnect(); HeatBeat().
    {"vornix.tframe.comm.vxclient", "ClientSocket", "ClientSocket"},
    {"vornix.tframe.comm.vxclient", "HeatBeat", "HeatBeat"},
    {"vornix.tframe.utils.argchecker", "ArgumentChecker", "ArgumentChecker"},
    // Logger: write_syslog(obj, level), user_warning(text).
    {"vornix.tframe.utils.logger", "write_syslog", "write_syslog"},
    {"vornix.tframe.utils.logger", "user_warning", "user_warning"},
    {"vornix.tframe.utils.utilcls", "DotDict", "DotDict"},
    {"vornix.tframe.utils.utilcls", "OutputFileManager", "OutputFileManager"},
    {"vornix.tframe.utils.utilcls", "StatusCollect", "StatusCollect"},
    {"vornix.tframe.language.text", nullptr, "text"},
    // Settings: get_setting(key, default).
    {"vornix.setting", "get_setting", "get_setting"},
    {"vornix.tframe.uclass", "SettingItem", "SettingItem"},
    {"vornix.tframe.uclass", "CacheMgr", "CacheMgr"},
    {"vornix.tframe.uclass", "SystemModeMgr", "SystemModeMgr"},
    {"vornix.tframe.uclass", "StrategyItem", "StrategyItem"},
    {"vornix.tframe.uclass", "OrderModeMgr", "OrderModeMgr"},
    {"vornix.tframe.uclass", "TimeLineDayPos", "TimeLineDayPos"},
    {"vornix.tframe.uclass", "RegKDataContainer", "RegKDataContainer"},
    {"vornix.tframe.uclass", "AdjKDataContainer", "AdjKDataContainer"},
    {"vornix.tframe.uclass", "AdjRegKDataContainer", "AdjRegKDataContainer"},
    {"vornix.tframe.uclass", "KDataContainer", "KDataContainer"},
    {"vornix.tframe.uclass", "MainContractTimeSeriesData", "MainContractTimeSeriesData"},
    {"vornix.tframe.uclass", "InstrumentTimeSeriesData", "InstrumentTimeSeriesData"},
};

// The layout constants and frequency codes are read from GlobalDefine of
// vornix.tframe.sysdefine by vornix/common/layout.hpp.

}  // namespace vornix::contracts
