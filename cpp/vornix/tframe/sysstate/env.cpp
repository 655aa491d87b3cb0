// SystemBaseEnv: the strategy's environment (bar clock, targets and accounts,
// bar and price queries, start-up and output helpers).
#include <limits>
#include <string>

#include "sysstate.hpp"
#include "vornix/common/args.hpp"

namespace vornix::sysstate {

namespace {

py::object np() { return py::module_::import("numpy"); }
py::object gv() { return global("gv"); }
py::object vr_of(py::handle self) { return self.attr("vr"); }

bool is_integer(py::handle value) {
    // ints (booleans included) and numpy integers
    static py::object integral = py::module_::import("numbers").attr("Integral");
    return py::isinstance(value, integral);
}

py::object item(py::handle container, py::handle key) {
    return py::reinterpret_borrow<py::object>(container)[key];
}

// ---------------------------------------------------------------- wiring and clock

void env_init(py::object self) {
    for (const char* name : {"vr", "gv", "smm", "snap", "diff_cvt", "diff_api"}) {
        self.attr(name) = py::none();
    }
}

py::object env_set_env(py::object self, py::object vr, py::object gv_, py::object smm) {
    if (!gv_.is_none()) self.attr("gv") = gv_;
    if (!vr.is_none()) {
        self.attr("vr") = vr;
        self.attr("vr").attr("set_env")(self);
    }
    if (!smm.is_none()) self.attr("smm") = smm;
    return py::none();
}

py::object current_position(py::handle vr) {
    py::object cur = vr.attr("g_VornixSimCurBarFresh");
    if (np_isnan(cur)) return py::int_(0);
    return integral_index(cur);
}

py::object env_fresh_bar_time(py::object self) {
    py::object vr = vr_of(self);
    py::object pos = current_position(vr);
    return item(vr.attr("g_VornixDataValueFresh"),
                py::make_tuple(gv().attr("KMatrixPos_TimeLine"), pos));
}

py::object env_fresh_bar_num(py::object self) { return vr_of(self).attr("g_VornixSimCurBarFresh"); }

py::object env_fresh_bar_timeline(py::object self) {
    py::object dvf = vr_of(self).attr("g_VornixDataValueFresh");
    if (py_lt(dvf.attr("size"), py::int_(1))) return np().attr("array")(py::list());
    return item(dvf, gv().attr("KMatrixPos_TimeLine"));
}

py::object env_get_internal_fresh_bar_num(py::object self, py::object default_value) {
    try {
        return vr_of(self).attr("g_VornixUserContext").attr("_internal_bar_num");
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_AttributeError)) return default_value;
        throw;
    }
}

py::object env_user_context(py::object self) { return vr_of(self).attr("g_VornixUserContext"); }

// ---------------------------------------------------------------- prices and bars

py::object refresh_k_data(py::handle vr) {
    return item(vr.attr("g_VornixKDataList"), vr.attr("g_VornixInputInfo").attr("RefreshKDataIdx"));
}

py::object env_market_price(py::object self, py::object target_idx, py::object offset) {
    py::object vr = vr_of(self);
    py::object g = self.attr("gv");
    if (py::len(vr.attr("g_VornixKDataList")) < 1) {
        PyErr_SetNone(PyExc_NotImplementedError);
        throw py::error_already_set();
    }
    py::object k_data = refresh_k_data(vr);
    py::object cur_bar_fresh_pos = current_position(vr);
    py::object fresh_bar_pos = item(k_data.attr("CurrentBar"), cur_bar_fresh_pos);
    py::object fresh_matrix = k_data.attr("Matrix");
    py::object open_idx = g.attr("bar_item_pos")(g.attr("KMatrix_Open"), target_idx);
    py::object close_idx = g.attr("bar_item_pos")(g.attr("KMatrix_Close"), target_idx);
    py::object columns = item(fresh_matrix.attr("shape"), py::int_(1));
    py::object next_bar_pos;
    if (py_ge(fresh_bar_pos + py::int_(1), columns)) {
        next_bar_pos = columns - py::int_(1);
    } else {
        next_bar_pos = fresh_bar_pos + offset;
    }
    if (py_eq(offset, py::int_(0))) {
        return item(fresh_matrix, py::make_tuple(close_idx, fresh_bar_pos));
    }
    if (py_eq(offset, py::int_(1))) {
        return item(fresh_matrix, py::make_tuple(open_idx, next_bar_pos));
    }
    if (py_eq(offset, py::int_(-1))) {
        py::object p = py_gt(next_bar_pos, py::int_(0)) ? next_bar_pos : py::int_(0);
        return item(fresh_matrix, py::make_tuple(close_idx, p));
    }
    py::object get_bar_tick_data =
        py::module_::import("vornix.api.history._history").attr("get_bar_tick_data");
    py::object result = get_bar_tick_data(target_idx, cur_bar_fresh_pos);
    py::object tick_prices = result.attr("Price").attr("ravel")();
    py::object size = tick_prices.attr("size");
    if (py_ge(size, py::int_(1))) {
        py::object pos = py_lt(size, offset) ? size - py::int_(1) : offset - py::int_(1);
        return item(tick_prices, pos);
    }
    return np().attr("nan");
}

py::object target_info(py::handle self, py::handle target_idx) {
    py::object vr = vr_of(self);
    py::object dot = item(vr.attr("g_VornixInputInfo").attr("TargetListDot"), target_idx);
    return item(vr.attr("g_VornixTargetsInfo"), dot);
}

py::object env_get_multiple(py::object self, py::object target_idx, py::object default_value) {
    return target_info(self, target_idx).attr("get")("Multiple", default_value);
}

py::object env_get_minmove(py::object self, py::object target_idx) {
    return target_info(self, target_idx).attr("get")("MinMove", py::none());
}

py::object env_cost_fee_rate(py::object self, py::object target_type) {
    py::object settings = vr_of(self).attr("g_VornixSettingInfo");
    py::dict rates;
    py::object stock_fee = settings.attr("cost_fee_stock");
    rates[gv().attr("TARGETTYPE_STOCK")] = stock_fee / py::float_(10000.0);
    rates[gv().attr("TARGETTYPE_FUTURE")] = settings.attr("cost_fee_future");
    return rates.attr("get")(target_type, py::int_(0));
}

py::object env_matrix_bar_item_pos(py::object self, py::object bar_item, py::object target_index,
                                   py::object contain_head) {
    py::object g = self.attr("gv");
    if (assertions_enabled() && (py_lt(bar_item, g.attr("KMatrix_Bar_Begin")) ||
                                 py_gt(bar_item, g.attr("KMatrix_Bar_End")))) {
        py::str msg(
            "Bar的索引超出范围，需要在 [self.gv.KMatrix_Bar_Begin,self.gv.KMatrix_Bar_End] 之间");
        PyErr_SetObject(PyExc_AssertionError, msg.ptr());
        throw py::error_already_set();
    }
    py::object head_len = truthy(contain_head) ? gv().attr("KMatrixPos_Head_len") : py::int_(0);
    py::object bar_len = gv().attr("KMatrix_Bar_Len");
    return head_len + target_index * bar_len + bar_item;
}

py::object env_get_bar(py::object self, py::object target_idx, py::object offset) {
    py::object vr = vr_of(self);
    py::object g = gv();
    py::object numpy = np();
    py::object targets = numpy.attr("asarray")(target_idx).attr("ravel")();
    py::object pos = integral_index(py::object(vr.attr("g_VornixSimCurBarFresh")) + offset);
    py::object k_data = refresh_k_data(vr);
    py::object current_bar = k_data.attr("CurrentBar");
    // a step before the first or past the last: no bar (a negative index must not wrap
    // round to the end of the run)
    if (py_lt(pos, py::int_(0)) || py_ge(pos, py::int_(py::len(current_bar)))) return py::none();
    py::object fresh_bar_pos = item(current_bar, pos);
    py::object k_matrix = k_data.attr("Matrix");
    if (py_ge(fresh_bar_pos, item(k_matrix.attr("shape"), py::int_(1)))) return py::none();
    py::object head_len = g.attr("KMatrixPos_Head_len");
    py::object bar_len = g.attr("KMatrix_Bar_Len");
    py::object idx = (head_len + targets * bar_len).attr("astype")(numpy.attr("int_"));
    py::object todotmc = global("todotmc");
    py::object target_list = vr.attr("g_VornixInputInfo").attr("TargetList");
    py::list codes;
    for (py::handle i : targets) codes.append(todotmc(item(target_list, i)));
    size_t n = py::len(targets);
    py::list bar_pos_list;
    py::list time_rows;
    for (size_t i = 0; i < n; ++i) {
        bar_pos_list.append(fresh_bar_pos);
        time_rows.append(g.attr("KMatrixPos_TimeLine"));
    }
    py::dict out;
    out["code"] = numpy.attr("array")(codes);
    out["number_bar"] = numpy.attr("array")(bar_pos_list);
    out["time_bar"] = item(k_matrix, py::make_tuple(time_rows, fresh_bar_pos));
    const std::pair<const char*, const char*> fields[] = {
        {"open", "KMatrix_Open"},
        {"high", "KMatrix_High"},
        {"low", "KMatrix_Low"},
        {"close", "KMatrix_Close"},
        {"volume", "KMatrix_Volume"},
        {"amount", "KMatrix_TurnOver"},
        {"open_interest", "KMatrix_OpenInterest"}};
    for (const auto& f : fields) {
        py::object offset_row = g.attr(f.second);
        out[f.first] = item(k_matrix, py::make_tuple(idx + offset_row, fresh_bar_pos));
    }
    return out;
}

py::object env_get_bar_field(py::object self, py::object target_indices, py::object bar_pos,
                             py::object fields) {
    py::object vr = vr_of(self);
    py::object g = self.attr("gv");
    py::object numpy = np();
    py::list wrapped;
    wrapped.append(target_indices);
    py::object targets = numpy.attr("array")(wrapped).attr("ravel")();
    py::object k_data = refresh_k_data(vr);
    py::object fresh_bar_pos = item(k_data.attr("CurrentBar"), integral_index(bar_pos));
    py::object fresh_matrix = k_data.attr("Matrix");
    if (assertions_enabled()) {
        bool ok = py_eq(fresh_matrix.attr("ndim"), py::int_(2)) &&
                  py_lt(fresh_bar_pos, item(fresh_matrix.attr("shape"), py::int_(1)));
        if (!ok) {
            py::str msg = py::str("get_bar_field error, pos: %d").attr("__mod__")(fresh_bar_pos);
            PyErr_SetObject(PyExc_AssertionError, msg.ptr());
            throw py::error_already_set();
        }
    }
    py::list item_idx;
    for (py::handle name : fields) {
        item_idx.append(g.attr("bar_item_pos")(g.attr("bar_field_name_to_int")(name), targets));
    }
    return item(fresh_matrix, py::make_tuple(item_idx, fresh_bar_pos));
}

py::object env_generate_kmatrix_array(py::object self, py::object target_count,
                                      py::object time_line_len) {
    py::object g = gv();
    py::object head_len = g.attr("KMatrixPos_Head_len");
    py::object bar_len = g.attr("KMatrix_Bar_Len");
    const std::int64_t targets = common::int_arg(target_count, "target_count");
    const std::int64_t steps = common::int_arg(time_line_len, "time_line_len");
    if (targets < 0 || steps < 0)
        throw py::value_error("target_count and time_line_len must not be negative, got " +
                              std::to_string(targets) + " and " + std::to_string(steps));
    const std::int64_t head = head_len.cast<std::int64_t>(), bar = bar_len.cast<std::int64_t>();
    if (targets > (std::numeric_limits<std::int64_t>::max() - head) / bar)
        throw py::value_error("target_count=" + std::to_string(targets) + " is out of range");
    const std::int64_t rows = head + bar * targets;
    common::check_result_size(rows, steps, 8, "time_line_len", steps);
    (void)self;
    return np().attr("zeros")(py::make_tuple(rows, steps));
}

py::object env_generate_kmatrix_df(py::object self, py::object target_count,
                                   py::object time_line_len) {
    // One label per row of generate_kmatrix_array: the header rows by their
    // constants, in row order, then the body rows by their row numbers.
    py::object g = self.attr("gv");
    py::list header;
    header.append(g.attr("KMatrixPos_TimeLine"));
    header.append(g.attr("KMatrixPos_FreshIdx"));
    header.append(g.attr("KMatrixPos_DayPos"));
    py::list index = py::module_::import("builtins").attr("sorted")(header);
    py::object matrix = env_generate_kmatrix_array(self, target_count, time_line_len);
    py::ssize_t total = item(matrix.attr("shape"), py::int_(0)).cast<py::ssize_t>();
    py::ssize_t head = g.attr("KMatrixPos_Head_len").cast<py::ssize_t>();
    // one label object per row, also when there are no columns
    common::check_result_size(total, 1, common::kObjectCellBytes, "target_count",
                              common::int_arg(target_count, "target_count"));
    for (py::ssize_t r = head; r < total; ++r) index.append(py::int_(r));
    return py::module_::import("pandas").attr("DataFrame")(matrix, py::arg("index") = index);
}

// ---------------------------------------------------------------- targets and accounts

py::object env_target_idx_count(py::object self) {
    return py::int_(py::len(vr_of(self).attr("g_VornixInputInfo").attr("TargetList")));
}

py::object first_index_of(py::handle sequence, py::handle wanted) {
    py::ssize_t i = 0;
    for (py::handle entry : sequence) {
        if (py_eq(entry, wanted)) return py::int_(i);
        ++i;
    }
    return py::none();
}

py::object env_get_target_idx(py::object self, py::object target) {
    return first_index_of(vr_of(self).attr("g_VornixInputInfo").attr("TargetListDot"), target);
}

py::object env_get_target_name(py::object self, py::object target_index) {
    py::object dots = vr_of(self).attr("g_VornixInputInfo").attr("TargetListDot");
    bool is_num = is_integer(target_index);
    py::object target_len = py::int_(py::len(dots));
    py::list candidates;
    if (is_num) {
        candidates.append(target_index);
    } else {
        for (py::handle c : target_index) candidates.append(c);
    }
    py::list names;
    for (py::handle idx : candidates) {
        if (py_gt(idx, py::int_(-1)) && py_lt(idx, target_len)) names.append(item(dots, idx));
    }
    if (is_num) return names.empty() ? py::object(py::none()) : py::object(names[0]);
    return names;
}

py::object env_is_target_type(py::object self, py::object target_idx, py::object target_type) {
    py::object type = item(target_info(self, target_idx), py::str("Type"));
    PyObject* r = PyObject_RichCompare(type.ptr(), target_type.ptr(), Py_EQ);
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object env_get_target_type(py::object self, py::object target_idx_code) {
    py::object info = vr_of(self).attr("g_VornixTargetsInfo");
    if (is_integer(target_idx_code)) {
        return py::int_(item(target_info(self, target_idx_code), py::str("Type")));
    }
    py::object code = target_idx_code.attr("upper")();
    if (info.contains(code)) return py::int_(item(item(info, code), py::str("Type")));
    py::list parts = code.attr("split")(".");
    if (py::len(parts) != 2) {
        throw py::value_error(
            py::str("expected a target code MARKET.CODE (two parts), got {!r}").format(code));
    }
    py::dict query;
    query["Market"] = parts[0];
    query["Code"] = parts[1];
    py::list request;
    request.append(query);
    py::object get_target_info =
        py::module_::import("vornix.api.history._history").attr("get_target_info");
    py::object result = get_target_info(request);
    return item(item(result, py::int_(0)), py::str("Type"));
}

py::object env_market_code_to_idx(py::object self, py::object market, py::object code) {
    py::object text =
        py::str("%s.%s").attr("__mod__")(py::make_tuple(market, code)).attr("upper")();
    return first_index_of(vr_of(self).attr("g_VornixInputInfo").attr("TargetListDot"), text);
}

py::object env_handle_idx_count(py::object self) {
    return py::int_(py::len(vr_of(self).attr("g_VornixAccounts")));
}

py::object env_account_handles(py::object self) {
    py::list handles;
    for (py::handle account : vr_of(self).attr("g_VornixAccounts")) {
        handles.append(account.attr("handle"));
    }
    return handles;
}

py::object env_account_handle_to_idx(py::object self, py::object handle) {
    py::ssize_t i = 0;
    for (py::handle account : vr_of(self).attr("g_VornixAccounts")) {
        if (py_eq(account.attr("handle"), handle)) return py::int_(i);
        ++i;
    }
    return py::none();
}

py::object env_account_idx_to_handle(py::object self, py::object idx) {
    return item(vr_of(self).attr("g_VornixAccounts"), py::int_(idx)).attr("handle");
}

py::object env_get_account_by_handle(py::object self, py::object handle) {
    for (py::handle account : vr_of(self).attr("g_VornixAccounts")) {
        if (py_eq(account.attr("handle"), handle))
            return py::reinterpret_borrow<py::object>(account);
    }
    return py::none();
}

py::object env_get_handle_account_map(py::object self, py::object handles) {
    py::dict out;
    for (py::handle h : handles) {
        if (!out.contains(h))
            out[h] = env_get_account_by_handle(self, py::reinterpret_borrow<py::object>(h));
    }
    return out;
}

py::object env_is_valid_order_id(py::object order_id) {
    if (order_id.is_none()) return py::bool_(false);
    if (truthy(global("isnan")(order_id))) return py::bool_(false);
    return py::bool_(true);
}

py::object check_one_idx(py::handle func_name, py::object value, const char* arg_name,
                         py::object count, py::object* converted) {
    py::object numpy = np();
    bool is_number = py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value);
    if (is_number && !truthy(global("isnan")(value))) value = py::int_(value);
    *converted = value;
    py::list wrapped;
    wrapped.append(value);
    py::object arr =
        numpy.attr("asarray")(wrapped, py::arg("dtype") = numpy.attr("int_")).attr("ravel")();
    global("ArgumentChecker")
        .attr("check_ndarray_idx")(func_name, arg_name, py::make_tuple(arr, 0, count),
                                   py::arg("allow_nan") = false);
    return arr;
}

py::object env_check_idx(py::object self, py::object func_name, py::object handle_idx,
                         py::object target_idx, py::object toarray) {
    py::object handle_nd = py::none();
    py::object target_nd = py::none();
    if (!handle_idx.is_none()) {
        handle_nd = check_one_idx(func_name, handle_idx, "handle_idx", env_handle_idx_count(self),
                                  &handle_idx);
    }
    if (!target_idx.is_none()) {
        target_nd = check_one_idx(func_name, target_idx, "target_idx", env_target_idx_count(self),
                                  &target_idx);
    }
    if (truthy(toarray)) {
        return py::make_tuple(handle_nd.is_none() ? handle_idx : handle_nd,
                              target_nd.is_none() ? target_idx : target_nd);
    }
    return py::make_tuple(handle_idx, target_idx);
}

// ---------------------------------------------------------------- fresh-bar flag, settings

py::object env_set_fresh_bar(py::object self, py::object flag) {
    vr_of(self).attr("g_VornixFreshBarStatus") = flag;
    return py::none();
}

py::object env_in_fresh_bar(py::object self) { return vr_of(self).attr("g_VornixFreshBarStatus"); }

py::object env_before_new_fresh_bar(py::object) { return py::none(); }

py::object env_reset_daily_close_time_setting(py::object self) {
    vr_of(self).attr("g_VornixSettingInfo").attr("DailyCloseTime") = py::none();
    return py::none();
}

py::object env_exist_daily_close_time_setting(py::object self) {
    return py::bool_(!vr_of(self).attr("g_VornixSettingInfo").attr("DailyCloseTime").is_none());
}

// ---------------------------------------------------------------- user callbacks

struct CallbackRow {
    const char* key;
    int count;
    std::vector<const char*> params;
    const char* signature;
    const char* fallback;
    const char* phase;
    const char* slot;
};

py::object env_update_user_scope(py::object self, py::object user_scope) {
    py::object g = self.attr("gv");
    py::object checker = global("ArgumentChecker");
    py::object sysdefine = global("sysdefine");
    const CallbackRow rows[] = {
        {"CALLUSER_INIT",
         1,
         {"context"},
         "def init(context): pass",
         "init",
         "RUMMODE_PHASE_USERINIT",
         "on_init_func"},
        {"CALLUSER_ONDATA",
         1,
         {"context"},
         "def on_data(context): pass",
         "on_data",
         "RUMMODE_PHASE_ONDATA",
         "on_data_func"},
        {"CALLUSER_ORDER_STATUS",
         4,
         {"context", "order", "*args", "**kwargs"},
         "def on_order_status(context, order, *args, **kwargs): pass",
         "on_order_status",
         "RUMMODE_PHASE_DEAL_TRADE",
         "on_order_status_func"},
        {"CALLUSER_ORDER_EXECUTION",
         4,
         {"context", "excution", "*args", "**kwargs"},
         "def on_execution(context, excution, *args, **kwargs): pass",
         "on_execution",
         "RUMMODE_PHASE_DEAL_TRADE",
         "on_order_execution_func"},
    };
    std::vector<py::object> callbacks;
    for (const CallbackRow& row : rows) {
        py::object key = g.attr(row.key);
        py::object callback = user_scope.attr("get")(key);
        py::tuple names(row.params.size());
        for (size_t i = 0; i < row.params.size(); ++i) names[i] = py::str(row.params[i]);
        py::tuple verdict = checker.attr("check_callable")(
            callback, py::arg("func_name") = key, py::arg("arg_count") = row.count,
            py::arg("param_names") = names, py::arg("raise_error") = false,
            py::arg("except_sig") = row.signature);
        if (!truthy(verdict[0])) {
            py::object text = py::str("%s, expect signature`%s`")
                                  .attr("__mod__")(py::make_tuple(verdict[1], row.signature));
            global("user_warning")(text);
            callback = sysdefine.attr(row.fallback);
        }
        callbacks.push_back(callback);
    }
    py::object input = vr_of(self).attr("g_VornixInputInfo");
    py::object smm = self.attr("smm");
    for (size_t i = 0; i < callbacks.size(); ++i) {
        py::object wrapper = smm.attr("force_phase")(g.attr(rows[i].phase))(callbacks[i]);
        input.attr(rows[i].slot) = wrapper;
    }
    return py::none();
}

// ---------------------------------------------------------------- start-up, output, shutdown

py::object env_vx_disconnect_to(py::object self) {
    py::object vr = vr_of(self);
    vr.attr("g_VornixSocket").attr("disconnect")();
    vr.attr("g_VornixSocketSub").attr("disconnect")();
    return py::none();
}

py::object env_set_vxcore_task_id(py::object self, py::object task_id) {
    vr_of(self).attr("g_VornixModeTaskId") = task_id;
    py::module_::import("vornix.tframe.utils.logger")
        .attr("LoggerManager")
        .attr("set_task_id_as_log_filename")(task_id);
    global("OutputFileManager").attr("set_task_id")(task_id);
    return py::none();
}

py::object env_get_strategy_input(py::object self) { return vr_of(self).attr("g_VornixInputInfo"); }

py::object output_call(const char* op, py::object sub) {
    return global("OutputFileManager").attr(op)(sub);
}

py::object env_more_info(py::object self) {
    py::object cache = vr_of(self).attr("g_VornixCache");
    py::object root = py::module_::import("vornix");
    py::dict out;
    out["vxcore_version"] = cache.attr("vx_version");
    out["vxcore_support"] = cache.attr("vx_support_list");
    out["vornix_version"] = root.attr("get_version")();
    out["vornix_support"] = root.attr("get_support")();
    return out;
}

py::object env_release_source() {
    py::module_::import("vornix.tframe.utils.logger")
        .attr("LoggerManager")
        .attr("remove_log_handler")();
    return py::none();
}

}  // namespace

void add_env_members(py::dict ns) {
    constexpr const char* C = "SystemBaseEnv";
    py::object builtins = py::module_::import("builtins");
    py::object property = builtins.attr("property");
    py::object staticmethod = builtins.attr("staticmethod");
    py::object nan = py::module_::import("numpy").attr("nan");
    auto prop = [&](py::object (*getter)(py::object), const char* name, const char* doc) {
        return property(make_method(py::cpp_function(getter), C, name, {arg("self")}, doc));
    };
    auto method = [&](auto fn, const char* name, std::vector<Param> params, const char* doc,
                      py::object ret = py::object()) {
        return make_method(py::cpp_function(fn), C, name, params, doc, ret);
    };
    py::object t_int = builtins.attr("int");
    py::object t_dict = builtins.attr("dict");
    py::object t_list = builtins.attr("list");

    ns["__init__"] = method([](py::object self) { env_init(self); }, "__init__", {arg("self")},
                            "An unwired environment: every attribute None.");
    ns["set_env"] = method(
        &env_set_env, "set_env",
        {arg("self"), arg("_vr", py::none()), arg("_gv", py::none()), arg("_smm", py::none())},
        "Wire the state store, the constants class and the mode manager.");
    ns["fresh_bar_time"] = prop(&env_fresh_bar_time, "fresh_bar_time",
                                "Time of the current step (of the first step before the run).");
    ns["fresh_bar_num"] = prop(&env_fresh_bar_num, "fresh_bar_num",
                               "The current refresh position; NaN before the first step.");
    ns["fresh_bar_timeline"] =
        prop(&env_fresh_bar_timeline, "fresh_bar_timeline", "The main time line (a view).");
    ns["get_internal_fresh_bar_num"] =
        method(&env_get_internal_fresh_bar_num, "get_internal_fresh_bar_num",
               {arg("self"), arg("default", nan)},
               "The step the user context stands at, or `default` without one.");
    ns["user_context"] = prop(&env_user_context, "user_context", "The strategy's context object.");
    ns["market_price"] = method(&env_market_price, "market_price",
                                {arg("self"), arg("target_idx"), arg("offset", py::int_(1))},
                                "A price of a target relative to the current step.");
    ns["get_multiple"] =
        method(&env_get_multiple, "get_multiple",
               {arg("self"), annotated("target_idx", t_int), arg("default", py::float_(1.0))},
               "Contract multiplier of a target.");
    ns["get_minmove"] = method(&env_get_minmove, "get_minmove", {arg("self"), arg("target_idx")},
                               "Minimum price move of a target, or None.");
    ns["cost_fee_rate"] =
        method(&env_cost_fee_rate, "cost_fee_rate", {arg("self"), arg("target_type")},
               "Cost-fee rate of a target type (0 for other types).");
    ns["matrix_bar_item_pos"] =
        method(&env_matrix_bar_item_pos, "matrix_bar_item_pos",
               {arg("self"), arg("bar_item"), arg("target_index", py::int_(0)),
                arg("contain_head", py::bool_(true))},
               "Row of a bar field of a target in a K matrix.");
    ns["is_valid_order_id"] =
        staticmethod(make_function(py::cpp_function(&env_is_valid_order_id), "is_valid_order_id",
                                   {arg("order_id")}, "False for None or NaN, True otherwise."));
    ns["check_idx"] = method(&env_check_idx, "check_idx",
                             {arg("self"), arg("func_name"), arg("handle_idx"), arg("target_idx"),
                              arg("toarray", py::bool_(true))},
                             "Validate an account index and a target index; returns the pair.");
    ns["set_fresh_bar"] = method(&env_set_fresh_bar, "set_fresh_bar",
                                 {arg("self"), arg("true_or_false")}, "Set the fresh-bar flag.");
    ns["in_fresh_bar"] =
        method(&env_in_fresh_bar, "in_fresh_bar", {arg("self")}, "The fresh-bar flag.");
    ns["before_new_fresh_bar"] = method(&env_before_new_fresh_bar, "before_new_fresh_bar",
                                        {arg("self")}, "Hook point before a new fresh bar.");
    ns["reset_daily_close_time_setting"] =
        method(&env_reset_daily_close_time_setting, "reset_daily_close_time_setting", {arg("self")},
               "Clear the daily close time setting.");
    ns["exist_daily_close_time_setting"] =
        method(&env_exist_daily_close_time_setting, "exist_daily_close_time_setting", {arg("self")},
               "Whether a daily close time is set.");
    py::object update = method(&env_update_user_scope, "update_user_scope",
                               {arg("self"), annotated("user_scope", t_dict)},
                               "Install the user's callbacks, replacing malformed ones.");
    ns["update_user_scope"] = py::module_::import("abc").attr("abstractmethod")(update);
    ns["handle_idx_count"] = prop(&env_handle_idx_count, "handle_idx_count", "Number of accounts.");
    ns["account_handle_to_idx"] =
        method(&env_account_handle_to_idx, "account_handle_to_idx", {arg("self"), arg("handle")},
               "Index of the first account with that handle, or None.");
    ns["account_idx_to_handle"] = method(&env_account_idx_to_handle, "account_idx_to_handle",
                                         {arg("self"), arg("idx")}, "Handle of an account index.");
    ns["get_account_by_handle"] =
        method(&env_get_account_by_handle, "get_account_by_handle", {arg("self"), arg("handle")},
               "The first account record with that handle, or None.");
    ns["get_handle_account_map"] =
        method(&env_get_handle_account_map, "get_handle_account_map",
               {arg("self"), annotated("handles", t_list)},
               "Map each distinct handle to its account record (or None).");
    ns["account_handles"] =
        prop(&env_account_handles, "account_handles", "Handles of all accounts.");
    ns["target_idx_count"] = prop(&env_target_idx_count, "target_idx_count", "Number of targets.");
    ns["get_target_idx"] =
        method(&env_get_target_idx, "get_target_idx", {arg("self"), arg("target")},
               "Index of a dotted target code, or None.");
    ns["get_target_name"] =
        method(&env_get_target_name, "get_target_name", {arg("self"), arg("target_index")},
               "Dotted code(s) of target index(es).");
    ns["is_target_type"] = method(&env_is_target_type, "is_target_type",
                                  {arg("self"), arg("target_idx"), arg("target_type")},
                                  "Whether a target is of the given type.");
    ns["get_target_type"] =
        method(&env_get_target_type, "get_target_type", {arg("self"), arg("target_idx_code")},
               "Type code of a target given by index or dotted code.");
    ns["vx_disconnect_to"] = method(&env_vx_disconnect_to, "vx_disconnect_to", {arg("self")},
                                    "Close both connections to the trading core.");
    ns["generate_kmatrix_df"] = method(&env_generate_kmatrix_df, "generate_kmatrix_df",
                                       {arg("self"), arg("target_count"), arg("time_line_len")},
                                       "An empty K matrix as a data frame with labelled rows.");
    ns["generate_kmatrix_array"] =
        method(&env_generate_kmatrix_array, "generate_kmatrix_array",
               {arg("self"), arg("target_count"), arg("time_line_len")}, "An empty K matrix.");
    ns["set_vxcore_task_id"] =
        method(&env_set_vxcore_task_id, "set_vxcore_task_id", {arg("self"), arg("task_id")},
               "Name logs and output after the task id.");
    ns["get_strategy_input"] = method(&env_get_strategy_input, "get_strategy_input", {arg("self")},
                                      "The strategy input record.");
    ns["root_sub_dir"] = staticmethod(make_function(
        py::cpp_function([](py::object sub) { return output_call("root_sub_dir", sub); }),
        "root_sub_dir", {arg("sub", py::str(""))}, "Path of a sub-directory of the output root."));
    ns["rm_root_sub_dir"] = staticmethod(make_function(
        py::cpp_function([](py::object sub) { return output_call("rm_root_sub_dir", sub); }),
        "rm_root_sub_dir", {arg("sub")}, "Remove a sub-directory of the output root."));
    ns["mk_root_sub_dir"] = staticmethod(make_function(
        py::cpp_function([](py::object sub) { return output_call("mk_root_sub_dir", sub); }),
        "mk_root_sub_dir", {arg("sub")}, "Create a sub-directory of the output root."));
    ns["cls_root_sub_dir"] = staticmethod(make_function(
        py::cpp_function([](py::object sub) { return output_call("cls_root_sub_dir", sub); }),
        "cls_root_sub_dir", {arg("sub")}, "Empty a sub-directory of the output root."));
    ns["get_bar"] = method(
        &env_get_bar, "get_bar",
        {arg("self"), annotated("target_idx", py::str("np.ndarray")), arg("offset", py::int_(0))},
        "The bar of the given targets at the current step + offset, or None.",
        py::str("dict or None"));
    ns["get_bar_field"] =
        method(&env_get_bar_field, "get_bar_field",
               {arg("self"), arg("target_indices"), arg("bar_pos"), annotated("fields", t_list)},
               "Named fields of the given targets at a refresh position.");
    ns["market_code_to_idx"] = method(&env_market_code_to_idx, "market_code_to_idx",
                                      {arg("self"), arg("market"), arg("code")},
                                      "Index of a target given by market and code, or None.");
    ns["more_info"] = method(&env_more_info, "more_info", {arg("self")},
                             "Versions of the core and the framework.");
    ns["release_source"] = staticmethod(make_function(
        py::cpp_function(&env_release_source), "release_source", {}, "Release the log handler."));
}

}  // namespace vornix::sysstate
