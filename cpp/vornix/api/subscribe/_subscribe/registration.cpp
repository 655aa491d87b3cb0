// K-data registration: records and preconditions, the base-frequency fetch,
// single- and multi-period synthesis, refresh rows, registration indexes, the
// registration driver, and the windows read back at each step.
#include <cmath>
#include <string>
#include <vector>

#include "subscribe.hpp"
#include "vornix/common/args.hpp"
#include "vornix/common/kdata_window.hpp"
#include "vornix/common/pyutil.hpp"

namespace vornix::subscribe {

using common::annotated;
using common::arg;
using common::int32_arg;
using common::Param;
using common::py_eq;
using common::py_ge;
using common::py_lt;
using common::truthy;

// --- small helpers ------------------------------------------------------------------

py::object np() { return bound("np"); }
py::object gv() { return bound("gv"); }
py::object vr() { return bound("cnt").attr("vr"); }
py::object env() { return bound("cnt").attr("env"); }
py::object info() { return vr().attr("g_VornixInputInfo"); }
py::object G(const char* name) { return gv().attr(name); }
std::int64_t Gi(const char* name) { return G(name).cast<std::int64_t>(); }

[[noreturn]] void raise_value_error(py::handle message) {
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw py::error_already_set();
}

py::object floordiv(py::handle a, py::handle b) {
    PyObject* r = PyNumber_FloorDivide(a.ptr(), b.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object remainder(py::handle a, py::handle b) {
    PyObject* r = PyNumber_Remainder(a.ptr(), b.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

std::int64_t find_pos(py::handle container, std::int64_t frequency_i, std::int64_t freq_num) {
    return container.attr("find_pos")(frequency_i, freq_num).cast<std::int64_t>();
}

std::int64_t length_of(py::handle obj) { return static_cast<std::int64_t>(py::len(obj)); }

py::object row(py::handle matrix, const char* constant) { return matrix[G(constant)]; }

// Unpacks a kernel result that must hold exactly two values.
std::pair<py::object, py::object> two(py::object result, const char* what) {
    py::tuple t = py::tuple(result);
    if (t.size() != 2)
        throw py::value_error(std::string(what) + " must return two values, got " +
                              std::to_string(t.size()));
    return {t[0], t[1]};
}

py::object kernel(const char* name) { return bound("ualgo").attr(name); }

py::object body_start() { return G("KMatrixPos_End") + py::int_(1); }

std::pair<py::object, py::object> unfill_tables(py::handle matrix) {
    return two(kernel("vxMatrixUnfillComplete")(matrix, body_start(), G("KMatrix_Bar_Len"),
                                                G("KMatrix_Volume")),
               "vxMatrixUnfillComplete");
}

py::object current_bar(py::handle time_line) {
    return kernel("vxCalcKDataCurrentBar")(time_line, env().attr("fresh_bar_timeline"));
}

py::object main_time_line() {
    return vr().attr("g_VornixDataValueFresh")[G("KMatrixPos_TimeLine")];
}

// Flags, in row KMatrixPos_FreshIdx, the first column of `time_line` not
// earlier than each time of the main time line.
void flag_refresh_columns(py::handle matrix, py::handle time_line) {
    py::object pos = np().attr("searchsorted")(time_line, main_time_line(), "left");
    const auto n = static_cast<std::int64_t>(py::len(time_line));
    if (py::len(pos) > 0 && np().attr("max")(pos).cast<std::int64_t>() >= n) {
        throw py::index_error("the main time line runs past the last bar of the series (" +
                              std::to_string(n) + " bars): the series cannot refresh every step");
    }
    matrix[py::make_tuple(G("KMatrixPos_FreshIdx"), pos)] = 1;
}

// --- matrix cache -------------------------------------------------------------------------

bool cache_on() { return truthy(bound("can_cache")(info().attr("EndDate"))); }

py::object cache_dir() { return env().attr("root_sub_dir")("mat"); }

py::object cache_key(std::int64_t frequency_i, std::int64_t freq_num, const char* type,
                     const char* suffix) {
    py::object in = info();
    py::list items;
    auto put = [&items](const char* key, py::object value) {
        py::dict d;
        d[key] = value;
        items.append(d);
    };
    put("AccountNameList", py::str(in.attr("AccountNameList")));
    put("TargetList", py::str(bound("todotmc")(in.attr("TargetList"))));
    put("KFrequencyI", in.attr("KFrequencyI"));
    put("KFreqnum", in.attr("KFreNum"));
    put("BeginDate", in.attr("BeginDate"));
    put("EndDate", in.attr("EndDate"));
    // the first step: a series' refresh flags and current bars follow the steps,
    // which start after BeginDate under a look-back
    py::object steps = main_time_line();
    put("FirstStep",
        py::len(steps) > 0 ? py::object(py::float_(steps[py::int_(0)])) : py::object(py::none()));
    put("FQ", in.attr("FQ"));
    // backward adjustment relative to a day other than the first one fetched
    py::object fq_base = common::getattr_or(in, "FQBase", py::int_(0));
    if (truthy(fq_base) && !py_eq(fq_base, in.attr("BeginDate"))) put("FQBase", fq_base);
    put("TargetFre", py::int_(frequency_i));
    put("TargetFreNum", py::int_(freq_num));
    put("TargetType", py::str(type));
    return bound("calc_hash_value")(items, py::arg("suffix") = suffix);
}

py::object flat(py::handle a) { return np().attr("ravel")(a); }

py::object flat_as(py::handle a, const char* dtype) {
    return np().attr("ascontiguousarray")(flat(a), dtype);
}

namespace {

// A per-target list read back from the cache: an object array (cell array) of
// arrays, or a numeric matrix with one row per target; every element flattened.
py::list per_target(py::handle stored, const char* dtype) {
    py::object a = np().attr("asarray")(stored);
    py::list out;
    if (py::str(a.attr("dtype")).cast<std::string>() == "object") {
        for (py::handle e : flat(a)) out.append(flat_as(e, dtype));
    } else {
        for (py::handle r : np().attr("atleast_2d")(a)) out.append(flat_as(r, dtype));
    }
    return out;
}

// A cached series fits this run when its shapes agree with the run's targets
// and main time line; anything else is treated as a miss.
bool fits_run(py::handle matrix, const py::list& ref, const py::list& idx, py::handle current) {
    const std::int64_t targets = length_of(info().attr("TargetList"));
    py::tuple shape = matrix.attr("shape");
    if (shape.size() != 2) return false;
    const auto rows = shape[0].cast<std::int64_t>();
    const auto cols = shape[1].cast<std::int64_t>();
    if (rows != Gi("KMatrixPos_Head_len") + targets * Gi("KMatrix_Bar_Len")) return false;
    if (length_of(ref) != targets || length_of(idx) != targets) return false;
    for (py::handle r : ref)
        if (length_of(r) != cols) return false;
    return length_of(current) == length_of(env().attr("fresh_bar_timeline"));
}

// --- Part: records and preconditions --------------------------------------------------------

py::object get_instruments(py::object target_idxs, py::object bar_pos, py::object length) {
    if (truthy(np().attr("isnan")(bar_pos)) || py_lt(bar_pos, py::int_(0)))
        return bound("OrderedDict")();
    py::object targets = env().attr("get_target_name")(target_idxs);
    py::object time = vr().attr("g_VornixDataValueFresh")[py::make_tuple(
        G("KMatrixPos_TimeLine"), common::integral_index(bar_pos))];
    py::object end_date = bound("mft_to_int_format")(time, py::arg("fmt") = "%Y%m%d");
    return vr()
        .attr("g_VornixInstrument")
        .attr("get_by_offset")(targets, end_date, py::arg("past_len") = length,
                               py::arg("reference") = true, py::arg("fill") = true);
}

py::object check_precondition(std::int64_t frequency_i, std::int64_t freq_num) {
    py::int_ freq(frequency_i);
    py::object main = info().attr("KFrequencyI");
    py::object day = G("KFreq_Day");
    py::object text = bound("text");
    if (py_lt(freq, day) && py_ge(main, day))
        raise_value_error(text.attr("ERROR_FREQ_NEED_GT_DAY"));
    if (py_lt(freq, main) && py_lt(main, day)) raise_value_error(text.attr("ERROR_FREQ_TOO_HIGH"));
    if (py_eq(freq, G("KFreq_Tick")) && freq_num != 1)
        raise_value_error(text.attr("ERROR_NOTSUPPORT_TICK_MULTI_FREQNUM"));
    return py::none();
}

// --- Part: registration index -------------------------------------------------------------

py::array_t<double> empty_reg_idx(std::int64_t targets_len, bool adjust) {
    const py::ssize_t n = targets_len > 0 ? static_cast<py::ssize_t>(targets_len) : 0;
    const py::ssize_t cols = adjust ? 7 : 4;
    common::check_result_size(n, cols, 8, "targets_len", targets_len);
    py::array_t<double> idx(std::vector<py::ssize_t>{n, cols});
    auto m = idx.mutable_unchecked<2>();
    const double nan = std::nan("");
    for (py::ssize_t i = 0; i < n; ++i) {
        const auto k = static_cast<double>(i);
        m(i, 0) = nan;
        m(i, 1) = 0.0;
        m(i, 2) = nan;
        m(i, 3) = k;
        if (adjust) {
            m(i, 4) = nan;
            m(i, 5) = 0.0;
            m(i, 6) = nan;
        }
    }
    return idx;
}

// Column `col` = the first row of each target's block of `bar_len` rows.
void fill_block_rows(py::array_t<double>& idx, py::ssize_t col, py::handle record,
                     std::int64_t bar_len, const char* what) {
    const auto begin = record.attr("RowBegin").cast<std::int64_t>();
    const auto end = record.attr("RowEnd").cast<std::int64_t>();
    const py::ssize_t n = idx.shape(0);
    const std::int64_t blocks = end > begin ? (end - begin + bar_len - 1) / bar_len : 0;
    if (blocks != n)
        throw py::value_error(std::string(what) + " rows " + std::to_string(begin) + ".." +
                              std::to_string(end) + " hold " + std::to_string(blocks) +
                              " target blocks for " + std::to_string(n) + " targets");
    auto m = idx.mutable_unchecked<2>();
    for (py::ssize_t i = 0; i < n; ++i) m(i, col) = static_cast<double>(begin + i * bar_len);
}

}  // namespace

py::array_t<double> construct_reg_idx(std::int64_t frequency_i, std::int64_t freq_num,
                                      py::handle adjust) {
    py::object v = vr();
    const std::int64_t n = length_of(info().attr("TargetList"));
    py::array_t<double> idx = empty_reg_idx(n, truthy(adjust));
    const std::int64_t k_data_pos = find_pos(v.attr("g_VornixKDataList"), frequency_i, freq_num);
    const std::int64_t reg_pos = find_pos(v.attr("g_VornixRegKDataInfo"), frequency_i, freq_num);
    const std::int64_t adj_reg_pos =
        find_pos(v.attr("g_VornixRegKDataInfo_Adj"), frequency_i, freq_num);
    const std::int64_t adj_k_pos = find_pos(v.attr("g_VornixKDataList_Adj"), frequency_i, freq_num);
    auto m = idx.mutable_unchecked<2>();
    for (py::ssize_t i = 0; i < idx.shape(0); ++i) {
        if (k_data_pos > -1) m(i, 0) = static_cast<double>(k_data_pos);
        m(i, 1) = static_cast<double>(i);
        m(i, 3) = static_cast<double>(i);
    }
    if (reg_pos > -1) {
        py::object record = v.attr("g_VornixRegKDataInfo")[py::int_(reg_pos)];
        if (record.attr("RowBegin").cast<std::int64_t>() > -1)
            fill_block_rows(idx, 2, record, Gi("KMatrix_Bar_Len"), "registration");
    }
    if (adjust.ptr() == Py_False) return idx;
    if (idx.shape(1) < 7) return idx;  // a false value other than False: no adjusted columns
    for (py::ssize_t i = 0; i < idx.shape(0); ++i) {
        if (adj_k_pos > -1) m(i, 4) = static_cast<double>(adj_k_pos);
        m(i, 5) = static_cast<double>(i);
    }
    if (adj_reg_pos > -1) {
        py::object record = v.attr("g_VornixRegKDataInfo_Adj")[py::int_(adj_reg_pos)];
        if (record.attr("RowBegin").cast<std::int64_t>() > -1)
            fill_block_rows(idx, 6, record, Gi("Adj_KMatrix_Bar_Len"), "adjusted registration");
    }
    return idx;
}

namespace {

py::object get_reg_idx(py::object reg_id, py::object target_indices) {
    if (py::isinstance(reg_id, np().attr("ndarray"))) return reg_id;
    py::object frequency_i = floordiv(reg_id, py::int_(100));
    py::object freq_num = floordiv(reg_id - frequency_i * py::int_(100), py::int_(10));
    py::object v = vr();
    py::object container = py_eq(remainder(reg_id, py::int_(10)), py::int_(0))
                               ? v.attr("g_VornixRegKDataInfo")
                               : v.attr("g_VornixRegKDataInfo_Adj");
    py::object item = container.attr("get_item")(frequency_i, freq_num);
    if (item.is_none()) return py::none();
    py::object reg_idx = item.attr("RegIdx");
    py::object column = reg_idx[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 3)];
    return reg_idx[np().attr("searchsorted")(column, target_indices)];
}

// --- Part: base-frequency fetch -----------------------------------------------------------

std::int64_t fetch_1_freq(py::object frequency, py::object date_span, py::object filled_up) {
    py::object in = info();
    py::object v = vr();
    py::object targets = in.attr("TargetList");
    const auto frequency_i = gv().attr("frequency_to_int")(frequency).cast<std::int64_t>();
    py::object begin_date = in.attr("BeginDate");
    py::object end_date = in.attr("EndDate");
    py::object fq_type = in.attr("FQ");

    // whatever int() takes (a whole float too), within 64 bits
    const std::int64_t span =
        common::int_arg(py::module_::import("builtins").attr("int")(date_span), "date_span");
    if (span > 0) {
        py::object days = bound("get_trading_days")(0, 99999999);
        py::object later = np().attr("argwhere")(np().attr("greater")(days, begin_date));
        if (later.attr("size").cast<std::int64_t>() > 0) {
            const auto first = later[py::make_tuple(0, 0)].cast<std::int64_t>();
            begin_date = days[py::int_(std::max<std::int64_t>(first - span, 0))];
        }
    }

    py::dict request;
    request["targets"] = targets;
    request["frequency"] = frequency;
    request["freq_num"] = 1;
    request["begin_date"] = begin_date;
    request["end_date"] = end_date;
    request["filled_up"] = filled_up;
    request["fq_type"] = fq_type;
    // the day backward-adjusted prices are relative to, where it is not the first
    // day fetched
    py::object fq_base = common::getattr_or(in, "FQBase", py::int_(0));
    if (truthy(fq_base) && !py_eq(fq_base, begin_date)) request["fq_base"] = fq_base;
    request["need_show_ui_tip"] = true;
    const std::int64_t body = body_start().cast<std::int64_t>();
    request["head_rows"] = body;  // the K matrix comes whole, its header rows zero
    py::object result = bound("get_k_data_multi")(request);

    py::object array_time = result["TimeLine"];
    py::object day_pos = result["DayPos"];
    py::object k_array = result["KArray"];
    v.attr("g_VornixAppendFreshPosition") = result["TradeFreshPos"];

    const std::int64_t bar_len = Gi("KMatrix_Bar_Len");
    const auto k_rows = py::tuple(k_array.attr("shape"))[0].cast<std::int64_t>();
    const std::int64_t target_count = k_rows / bar_len;
    py::object text = bound("text");
    py::object describe =
        text.attr("ERROR_KDATA_MULTI")
            .attr("format")(py::arg("TARGETS") = targets, py::arg("FREQUENCY") = frequency,
                            py::arg("FREQNUM") = 1, py::arg("BEGINDATE") = begin_date,
                            py::arg("ENDDATE") = end_date, py::arg("FILLEDUP") = filled_up,
                            py::arg("FQTYPE") = fq_type);
    if (array_time.attr("size").cast<std::int64_t>() < 1)
        raise_value_error(py::object(text.attr("ERROR_EMPTY_TIMELINE")) + py::str(", ") + describe);
    if (target_count != length_of(targets) || k_rows % bar_len != 0)
        common::raise_framework(
            "VxDataError", py::object(text.attr("ERROR_KDATA_MISS")) + py::str(", ") + describe);

    const std::int64_t n_bars = length_of(array_time);
    py::object matrix;
    if (py::isinstance<py::dict>(result) && result.contains("Matrix")) {
        matrix = result["Matrix"];  // k_array is its lower rows
    } else {
        matrix = env().attr("generate_kmatrix_array")(target_count, n_bars);
        matrix[py::slice(body, body + k_rows, 1)] = k_array;
    }
    matrix[G("KMatrixPos_TimeLine")] = array_time;
    matrix[G("KMatrixPos_DayPos")] = day_pos;
    matrix[G("KMatrixPos_FreshIdx")] = np().attr("zeros")(n_bars);
    if (py_eq(py::int_(frequency_i), bound("adjust_topmost_rule_map")(in.attr("KFrequencyI"))))
        flag_refresh_columns(matrix, array_time);

    auto [ref, idx] = unfill_tables(matrix);
    py::object current = current_bar(row(matrix, "KMatrixPos_TimeLine"));
    py::object list = v.attr("g_VornixKDataList");
    v.attr("g_VornixCache")
        .attr("set_history_k_data_time_line_cache")(row(matrix, "KMatrixPos_TimeLine"),
                                                    py::len(list));
    list.attr("append")(bound("KDataItem")(
        py::arg("KFrequency") = gv().attr("int_to_frequency")(frequency_i), py::arg("KFreqNum") = 1,
        py::arg("Matrix") = matrix, py::arg("UnfilledBarRef") = ref, py::arg("UnfilledIdx") = idx,
        py::arg("CurrentBar") = current, py::arg("DataSource") = 0));
    return length_of(list) - 1;
}

// --- Part: single- and multi-period synthesis ---------------------------------------------

// A synthesised series with its tables, as the matrix cache stores it.
struct Synthesised {
    py::object matrix = py::none(), begin, end, ref, idx, current;
};

// The series stored under `key`, or one with no matrix when there is no entry
// or the entry does not fit this run (`columns` bars expected).
Synthesised cached_series(const py::object& stored, std::int64_t columns) {
    Synthesised s;
    if (stored.is_none()) return s;
    py::object m = np().attr("asarray")(stored["Matrix"], "float64");
    py::list r = per_target(stored["UnfilledBarRef"], "float64");
    py::list i = per_target(stored["UnfilledIdx"], "int64");
    py::object c = flat_as(stored["CurrentBar"], "int64");
    if (!fits_run(m, r, i, c) || py::tuple(m.attr("shape"))[1].cast<std::int64_t>() != columns)
        return s;
    s.matrix = m;
    s.begin = flat_as(stored["bP"], "int64");
    s.end = flat_as(stored["eP"], "int64");
    s.ref = r;
    s.idx = i;
    s.current = c;
    return s;
}

// Fill and current-bar tables of a newly combined matrix.
void add_tables(Synthesised& s) {
    std::tie(s.ref, s.idx) = unfill_tables(s.matrix);
    s.current = current_bar(row(s.matrix, "KMatrixPos_TimeLine"));
}

py::dict cache_value(const Synthesised& s, py::object stored_matrix) {
    py::dict value;
    value["Matrix"] = std::move(stored_matrix);
    value["bP"] = s.begin;
    value["eP"] = s.end;
    value["UnfilledBarRef"] = s.ref;
    value["UnfilledIdx"] = s.idx;
    value["CurrentBar"] = s.current;
    return value;
}

// Registers the series' time line under the position it is about to take and
// appends its record; returns that position.
std::int64_t append_series(std::int64_t frequency_i, std::int64_t freq_num, const Synthesised& s,
                           std::int64_t base_pos, py::object complete) {
    py::object v = vr();
    py::object list = v.attr("g_VornixKDataList");
    v.attr("g_VornixCache")
        .attr("set_history_k_data_time_line_cache")(row(s.matrix, "KMatrixPos_TimeLine"),
                                                    py::len(list));
    py::dict fields;
    fields["KFrequency"] = gv().attr("int_to_frequency")(frequency_i);
    fields["KFreqNum"] = freq_num;
    fields["Matrix"] = s.matrix;
    fields["UnfilledBarRef"] = s.ref;
    fields["UnfilledIdx"] = s.idx;
    fields["BaseKDataPos"] = base_pos;
    if (complete) fields["FreComplete"] = complete;
    fields["BaseBegin"] = s.begin;
    fields["BaseEnd"] = s.end;
    fields["CurrentBar"] = s.current;
    list.attr("append")(bound("KDataItem")(**fields));
    return length_of(list) - 1;
}

std::int64_t synthetic_1_freq(std::int64_t frequency_i) {
    py::object list = vr().attr("g_VornixKDataList");
    const std::int64_t existing = find_pos(list, frequency_i, 1);
    if (existing > -1) return existing;
    if (frequency_i == Gi("KFreq_Day") || frequency_i == Gi("KFreq_Min"))
        return fetch_1_freq(gv().attr("int_to_frequency")(frequency_i), py::int_(0),
                            py::bool_(true));

    py::object in = info();
    py::object targets = in.attr("TargetList");
    py::object base_freq = bound("synthetic_k_data_rule_map")(frequency_i);
    if (py_lt(base_freq, G("KFreq_Tick")))
        raise_value_error(bound("text").attr("ERROR_INPUT_FREQUENCY"));
    const auto base = base_freq.cast<std::int64_t>();
    std::int64_t k_data_pos = find_pos(list, base, 1);
    if (k_data_pos < 0) k_data_pos = synthetic_1_freq(base);

    auto [low_freq_tl, day_pos] =
        two(bound("get_trading_time")(targets, gv().attr("int_to_frequency")(frequency_i),
                                      in.attr("BeginDate"), in.attr("EndDate")),
            "get_trading_time");
    const auto bars = static_cast<std::int64_t>(py::len(low_freq_tl));
    if (bars == 0) raise_value_error(bound("text").attr("ERROR_EMPTY_TIMELINE"));

    py::object key = cache_key(frequency_i, 1, "highBase", "_flag1");
    const bool caching = cache_on();
    Synthesised s;
    if (caching) s = cached_series(bound("load_mat_cache")(cache_dir(), key), bars);
    if (s.matrix.is_none()) {
        py::object base_matrix = list[py::int_(k_data_pos)].attr("Matrix");
        std::tie(s.begin, s.end) = two(
            kernel("vxCalcKDataBeginEndPos")(row(base_matrix, "KMatrixPos_TimeLine"), low_freq_tl),
            "vxCalcKDataBeginEndPos");
        py::object temp = env().attr("generate_kmatrix_array")(py::len(targets), bars);
        temp[G("KMatrixPos_TimeLine")] = low_freq_tl;
        temp[G("KMatrixPos_FreshIdx")] = 0;
        temp[G("KMatrixPos_DayPos")] = day_pos;
        if (py_eq(py::int_(frequency_i),
                  bound("synthetic_k_data_rule_map")(in.attr("KFrequencyI"))))
            flag_refresh_columns(temp, low_freq_tl);
        s.matrix = kernel("vxCalcCombineMatrixHtoL")(base_matrix, temp, s.begin, s.end,
                                                     G("KMatrix_Bar_Len"), 0);
        add_tables(s);
        if (caching)
            bound("save_mat_cache")(cache_dir(), key,
                                    cache_value(s, np().attr("asarray")(s.matrix, "float64")));
    }
    return append_series(frequency_i, 1, s, k_data_pos, py::object());
}

std::int64_t synthetic_n_freq(std::int64_t frequency_i, std::int64_t freq_num) {
    py::object list = vr().attr("g_VornixKDataList");
    const std::int64_t existing = find_pos(list, frequency_i, freq_num);
    if (existing > -1) return existing;
    const std::int64_t base_pos = find_pos(list, frequency_i, 1);
    if (base_pos < 0)
        throw py::value_error("no single-period series of frequency " +
                              std::to_string(frequency_i) + " to build " +
                              std::to_string(freq_num) + "-period bars from");
    py::object base_matrix = list[py::int_(base_pos)].attr("Matrix");

    py::object key = cache_key(frequency_i, freq_num, "data", "_flag2");
    const bool caching = cache_on();
    Synthesised s;
    py::object complete;
    if (caching) {
        py::object stored = bound("load_mat_cache")(cache_dir(), key);
        if (!stored.is_none()) {
            complete = flat(stored["FreComplete"]).attr("astype")("bool");
            const auto count = np().attr("count_nonzero")(complete).cast<std::int64_t>();
            if (length_of(complete) == py::tuple(base_matrix.attr("shape"))[1].cast<std::int64_t>())
                s = cached_series(stored, count);
        }
    }
    if (s.matrix.is_none()) {
        complete = kernel("vxCalculateFreshMask")(row(base_matrix, "KMatrixPos_DayPos"),
                                                  frequency_i, freq_num);
        std::tie(s.begin, s.end) =
            two(kernel("vxCalcRegKDataBeginEndPos")(
                    row(base_matrix, "KMatrixPos_TimeLine"),
                    base_matrix[py::make_tuple(G("KMatrixPos_TimeLine"), complete)], 0),
                "vxCalcRegKDataBeginEndPos");
        py::object combined =
            kernel("vxCalcCombineMatrix1toN")(base_matrix, s.begin, s.end, G("KMatrix_Bar_Len"), 0);
        s.matrix =
            combined[py::make_tuple(py::slice(py::none(), py::none(), py::none()), complete)];
        add_tables(s);
        if (caching) {
            py::dict value = cache_value(s, s.matrix);
            value["FreComplete"] = complete;
            bound("save_mat_cache")(cache_dir(), key, value);
        }
    }
    return append_series(frequency_i, freq_num, s, base_pos, complete);
}

// --- Part: refresh rows ------------------------------------------------------------------------

// The refresh matrix with `block` appended below its rows, as a new array object.
// The matrix is the leading rows of a buffer with room to spare: while the room
// lasts, the block is written below the rows in use and the result is a longer
// view of the same buffer.  Rows in use are never written again, so every
// earlier matrix object keeps showing exactly what it showed.  When the room
// runs out, a buffer with room for three more blocks of this size (and at least
// twice the rows needed) takes over; pages never written cost no memory, and
// each block is copied about once, not once per later registration.
//
// `reserve_rows` is the first half: the buffer (the refresh matrix's own while
// it has room) with the matrix's rows at its top and room for `n_new` more;
// the caller writes them, and the matrix becomes buffer[:rows + n_new].
py::object reserve_rows(const py::array& dvf, py::ssize_t n_new) {
    const py::ssize_t rows = dvf.shape(0), cols = dvf.shape(1), need = rows + n_new;
    py::object base = dvf.attr("base");
    const auto fits = [&](const py::object& b) {
        if (!py::isinstance<py::array>(b)) return false;
        py::array buf = py::reinterpret_borrow<py::array>(b);
        return buf.ndim() == 2 && buf.shape(1) == cols && buf.shape(0) >= need &&
               py::array_t<double>::check_(buf) && (buf.flags() & py::array::c_style) != 0 &&
               buf.data() == dvf.data() && dvf.strides(0) == buf.strides(0) &&
               dvf.strides(1) == buf.strides(1);
    };
    py::object buffer = base;
    if (!fits(base)) {
        const py::ssize_t room = std::max(2 * need, need + 3 * n_new);
        buffer = np().attr("empty")(py::make_tuple(room, cols), "float64");
        buffer[py::slice(0, rows, 1)] = dvf;
    }
    return buffer;
}

py::object append_rows(const py::object& dvf_obj, const py::object& block_obj) {
    py::array dvf = py::reinterpret_borrow<py::array>(np().attr("asarray")(dvf_obj));
    py::array block = py::reinterpret_borrow<py::array>(np().attr("asarray")(block_obj));
    if (dvf.ndim() != 2 || block.ndim() != 2 || dvf.shape(1) != block.shape(1))
        throw py::value_error("refresh rows of shape " + common::shape_text(block) +
                              " cannot be appended to a refresh matrix of shape " +
                              common::shape_text(dvf) +
                              ": every block needs one column per step of the main time line");
    const py::ssize_t rows = dvf.shape(0), need = rows + block.shape(0);
    py::object buffer = reserve_rows(dvf, block.shape(0));
    buffer[py::slice(rows, need, 1)] = block;
    return buffer[py::slice(0, need, 1)];
}

std::int64_t synthetic_fresh(std::int64_t frequency_i, std::int64_t freq_num) {
    py::object v = vr();
    py::object in = info();
    py::object list = v.attr("g_VornixKDataList");
    py::object regs = v.attr("g_VornixRegKDataInfo");
    const std::int64_t targets_len = length_of(in.attr("TargetList"));
    const auto topmost =
        bound("adjust_topmost_rule_map")(in.attr("KFrequencyI")).cast<std::int64_t>();
    const std::int64_t base_pos = find_pos(list, topmost, 1);
    const std::int64_t k_data_pos = find_pos(list, frequency_i, freq_num);
    if (base_pos < 0 || k_data_pos < 0)
        throw py::value_error("frequency " + std::to_string(frequency_i) + " count " +
                              std::to_string(freq_num) +
                              ": the series or the main frequency's base series is missing");
    py::object frequency = gv().attr("int_to_frequency")(frequency_i);

    if (truthy(in.attr("same_freq")(frequency_i, freq_num))) {
        std::int64_t pos = find_pos(regs, frequency_i, freq_num);
        if (pos < 0) {
            regs.attr("append")(bound("RegKDataItem")(py::arg("KFrequency") = frequency,
                                                      py::arg("KFreNum") = freq_num,
                                                      py::arg("KMatrixPos") = k_data_pos));
            pos = length_of(regs) - 1;
        }
        return pos;
    }
    const std::int64_t existing = find_pos(regs, frequency_i, freq_num);
    if (existing > -1) return existing;

    // The refresh block is computed, never cached: one pass of the kernel over
    // the base series costs about what reading the same block back from disk
    // does (0.3 s for 160 MB), and writing it would slow every cold run.
    py::object base_matrix = list[py::int_(base_pos)].attr("Matrix");
    py::object k_matrix = list[py::int_(k_data_pos)].attr("Matrix");
    auto [begin_pos, end_pos] =
        two(kernel("vxCalcRegKDataBeginEndPos")(row(base_matrix, "KMatrixPos_TimeLine"),
                                                row(k_matrix, "KMatrixPos_TimeLine"), 0),
            "vxCalcRegKDataBeginEndPos");
    py::object fresh_idx = row(base_matrix, "KMatrixPos_FreshIdx").attr("astype")("bool");
    py::object dvf = v.attr("g_VornixDataValueFresh");
    const std::int64_t begin_row = dvf.attr("ndim").cast<std::int64_t>() == 2
                                       ? py::tuple(dvf.attr("shape"))[0].cast<std::int64_t>()
                                       : 1;
    const std::int64_t end_row = begin_row + targets_len * Gi("KMatrix_Bar_Len");
    const bool every_bar = truthy(np().attr("all")(fresh_idx));
    // the steps are the base bars from the first one on when the main frequency
    // is its own base (the bars before: the look-back)
    const auto first_step = np().attr("argmax")(fresh_idx).cast<py::ssize_t>();
    const auto n_base = static_cast<py::ssize_t>(py::len(fresh_idx));
    const bool trailing = truthy(np().attr("all")(fresh_idx[py::slice(first_step, n_base, 1)]));
    if (trailing && py::isinstance<py::array>(dvf) &&
        py::reinterpret_borrow<py::array>(dvf).ndim() == 2 &&
        py::reinterpret_borrow<py::array>(dvf).shape(1) == n_base - first_step) {
        // The kernel writes the block straight into the refresh matrix's room, at
        // the steps' bars, with no block of its own to allocate and copy.
        py::object buffer = reserve_rows(py::reinterpret_borrow<py::array>(dvf),
                                         static_cast<py::ssize_t>(end_row - begin_row));
        kernel("vxCalcDataValueFresh")(base_matrix, begin_pos, end_pos, G("KMatrix_Bar_Len"),
                                       targets_len, 0,
                                       py::arg("out") = buffer[py::slice(begin_row, end_row, 1)]);
        // A new array object: readers fetch the attribute again rather than keep the old one.
        v.attr("g_VornixDataValueFresh") = buffer[py::slice(0, end_row, 1)];
    } else {
        py::object combined = kernel("vxCalcDataValueFresh")(base_matrix, begin_pos, end_pos,
                                                             G("KMatrix_Bar_Len"), targets_len, 0);
        py::object rows = combined[py::slice(py::int_(1), py::none(), py::none())];
        py::object block =
            every_bar
                ? rows
                : rows[py::make_tuple(py::slice(py::none(), py::none(), py::none()), fresh_idx)];
        v.attr("g_VornixDataValueFresh") = append_rows(dvf, block);
    }
    v.attr("g_VornixCache")
        .attr("set_dvf_time_line_cache")(v.attr("g_VornixDataValueFresh")[py::int_(0)]);
    regs.attr("append")(bound("RegKDataItem")(
        py::arg("KFrequency") = frequency, py::arg("KFreNum") = freq_num,
        py::arg("KMatrixPos") = k_data_pos, py::arg("RowBegin") = begin_row,
        py::arg("RowEnd") = end_row, py::arg("BeginPos") = begin_pos, py::arg("EndPos") = end_pos));
    return length_of(regs) - 1;
}

// --- Part: registration driver -------------------------------------------------------------------

py::object reg_k_data(py::object frequency, py::object freq_num_obj, py::object adjust_obj) {
    // The adjusted steps run for the object True only; any other true value
    // gives the 7-column index without them.
    const bool adjust = adjust_obj.ptr() == Py_True;
    const auto frequency_i = gv().attr("frequency_to_int")(frequency).cast<std::int64_t>();
    const std::int64_t freq_num = int32_arg(freq_num_obj, "freq_num");
    check_precondition(frequency_i, freq_num);
    if (freq_num < 1)
        throw py::value_error("freq_num must be at least 1, got " + std::to_string(freq_num));
    py::object v = vr();
    // A registration that exists is returned as it is; a series that exists
    // without its registration (built for another one) still gets its record
    // and refresh rows below.
    const bool known = find_pos(v.attr("g_VornixRegKDataInfo"), frequency_i, freq_num) > -1;
    const bool known_adj = find_pos(v.attr("g_VornixRegKDataInfo_Adj"), frequency_i, freq_num) > -1;
    if (known && (!adjust || known_adj))
        return construct_reg_idx(frequency_i, freq_num, adjust_obj);

    synthetic_1_freq(frequency_i);
    synthetic_n_freq(frequency_i, freq_num);
    const std::int64_t reg_pos = synthetic_fresh(frequency_i, freq_num);
    std::int64_t adj_reg_pos = -1;
    if (adjust) {
        synthetic_matrix_adj(frequency_i, freq_num);
        adj_reg_pos = synthetic_fresh_matrix_adj(frequency_i, freq_num);
    }
    py::array_t<double> reg_idx = construct_reg_idx(frequency_i, freq_num, adjust_obj);
    if (reg_pos > -1) v.attr("g_VornixRegKDataInfo")[py::int_(reg_pos)].attr("RegIdx") = reg_idx;
    if (adj_reg_pos > -1)
        v.attr("g_VornixRegKDataInfo_Adj")[py::int_(adj_reg_pos)].attr("RegIdx") = reg_idx;
    return reg_idx;
}

}  // namespace

void add_registration_functions(py::module_& m, const common::FunctionMaker& make) {
    py::object builtins = py::module_::import("builtins");
    py::object Int = builtins.attr("int");
    py::object Bool = builtins.attr("bool");
    py::object ndarray = py::module_::import("numpy").attr("ndarray");
    py::object ordered_dict = py::module_::import("collections").attr("OrderedDict");

    m.attr("get_instruments") = make.function(
        py::cpp_function(&get_instruments), "get_instruments",
        {arg("target_idxs"), arg("bar_pos"), arg("length", py::int_(1))},
        "Instrument information of the targets as of main-time-line column bar_pos.", ordered_dict);
    m.attr("check_reg_k_data_precondition") = make.function(
        py::cpp_function([](py::object f, py::object n) {
            return check_precondition(int32_arg(f, "frequency_i"), int32_arg(n, "freq_num"));
        }),
        "check_reg_k_data_precondition",
        {annotated("frequency_i", Int), annotated("freq_num", Int)},
        "Raise ValueError when the frequency cannot be registered under the run's main "
        "frequency.");
    m.attr("gen_empty_reg_k_data_idx") = make.function(
        py::cpp_function([](py::object n, py::object adjust) {
            return empty_reg_idx(int32_arg(n, "targets_len"), truthy(adjust));
        }),
        "gen_empty_reg_k_data_idx",
        {annotated("targets_len", Int), arg("adjust", py::bool_(false))},
        "A registration index with nothing registered (7 columns when adjust is true).", ndarray);
    m.attr("construct_k_data_reg_idx") = make.function(
        py::cpp_function([](py::object f, py::object n, py::object adjust) {
            return construct_reg_idx(int32_arg(f, "frequency_i"), int32_arg(n, "freq_num"), adjust);
        }),
        "construct_k_data_reg_idx",
        {annotated("frequency_i", Int), annotated("freq_num", Int), annotated("adjust", Bool)},
        "The registration index of a frequency and count as the containers hold it now.");
    m.attr("get_reg_idx") = make.function(
        py::cpp_function(&get_reg_idx), "get_reg_idx",
        {arg("reg_id"), annotated("target_indices", ndarray)},
        "Rows of a registration's index for the given targets; reg_id is an index (returned "
        "as it is) or a code frequency*100 + count*10 + adjusted flag.");
    m.attr("fetch_1_freq_k_data") = make.function(
        py::cpp_function([](py::object f, py::object span, py::object filled) {
            return fetch_1_freq(f, span, filled);
        }),
        "fetch_1_freq_k_data", {arg("frequency"), arg("date_span"), arg("filled_up")},
        "Fetch one-period bars of the run's targets from the history service; returns the "
        "new series' position.");
    m.attr("synthetic_1_freq_k_data") = make.function(
        py::cpp_function(
            [](py::object f) { return synthetic_1_freq(int32_arg(f, "frequency_i")); }),
        "synthetic_1_freq_k_data", {annotated("frequency_i", Int)},
        "Make sure the one-period series of a frequency exists; returns its position.");
    m.attr("synthetic_n_freq_k_data") = make.function(
        py::cpp_function([](py::object f, py::object n) {
            return synthetic_n_freq(int32_arg(f, "frequency_i"), int32_arg(n, "freq_num"));
        }),
        "synthetic_n_freq_k_data", {annotated("frequency_i", Int), annotated("freq_num", Int)},
        "Make sure the series of freq_num periods per bar exists; returns its position.");
    m.attr("synthetic_fresh_matrix") = make.function(
        py::cpp_function([](py::object f, py::object n) {
            return synthetic_fresh(int32_arg(f, "frequency_i"), int32_arg(n, "freq_num"));
        }),
        "synthetic_fresh_matrix", {annotated("frequency_i", Int), annotated("freq_num", Int)},
        "Make sure the registration record and its refresh rows exist; returns the record's "
        "position.");
    m.attr("reg_k_data") = make.function(
        py::cpp_function(&reg_k_data), "reg_k_data",
        {arg("frequency"), arg("freq_num"), arg("adjust", py::bool_(false))},
        "Register a bar series (frequency name, periods per bar) for all targets of the run; "
        "returns its registration index.");
    m.attr("get_reg_k_data") = make.function(
        py::cpp_function([](py::object idx, py::object pos, py::object len, py::object fill) {
            return common::k_window_objects(layout(), idx, pos, len, fill);
        }),
        "get_reg_k_data", {arg("reg_idx"), arg("bar_pos"), arg("length"), arg("fill_up")},
        "The last `length` bars of every target visible at main-time-line column bar_pos: "
        "completed bars, then the bar in progress in its state at that step.");
}

}  // namespace vornix::subscribe
