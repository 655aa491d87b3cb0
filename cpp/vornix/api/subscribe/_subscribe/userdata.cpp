// Factors, user data and user indicators: daily factor values mapped to the
// steps by date, a strategy's own time series aligned to the steps, and
// indicator functions evaluated once per step during initialisation.
//
// Every one of them shows at a step only what was known at that step: a factor
// stamped with day d from the first step of day d on, a user data point from
// the first step strictly after its time, an indicator value as the function
// computed it with the context standing at that step.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "subscribe.hpp"
#include "vornix/common/args.hpp"
#include "vornix/common/pyutil.hpp"

namespace vornix::subscribe {

namespace {

using common::annotated;
using common::arg;
using common::truthy;

[[noreturn]] void raise_data_error(const std::string& message) {
    common::raise_framework("VxDataError", py::str(message));
}

std::string repr_of(py::handle obj) { return py::repr(obj).cast<std::string>(); }

// A list of the given names or targets; a single text is a list of one.
py::list as_list(py::handle obj) {
    if (py::isinstance<py::str>(obj)) {
        py::list one;
        one.append(obj);
        return one;
    }
    return py::list(py::reinterpret_borrow<py::object>(obj));
}

// A C-ordered float64 array of `obj`, converted or copied only when it is not one.
py::array_t<double> as_float64(py::handle obj, const char* what) {
    py::array raw = np().attr("asarray")(obj);
    const char kind = raw.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b')
        throw py::type_error(std::string(what) + " must hold numbers, got " + repr_of(obj));
    return common::typed_array<double, py::array::c_style>(raw);
}

// numpy.asarray of a user's result, or nothing when numpy cannot make one array of
// it (a ragged result).
py::object array_or_none(py::handle r) {
    try {
        return np().attr("asarray")(r);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
}

// --- factors --------------------------------------------------------------------------

py::object factor_store() { return vr().attr("g_VornixFactorValueDict"); }

// What one factor contributes: target code -> values per date, and "date".
py::dict load_factor(const py::object& path, const py::object& factor, const py::list& targets,
                     py::handle begin_date, py::handle end_date) {
    py::module_ os_path = py::module_::import("os.path");
    if (truthy(os_path.attr("exists")(path))) {
        py::object data = bound("load_mat")(path, "raise", true);
        py::list keys;
        for (py::handle k : data.attr("keys")())
            if (k.cast<std::string>().rfind("bp_", 0) == 0) keys.append(k);
        keys.attr("sort")();
        py::dict out;
        for (py::handle k : keys) {
            py::list parts = py::str(k).attr("split")("_");
            const auto n = py::len(parts);
            py::str code = py::str(".").attr("join")(parts[py::slice(n - 2, n, 1)]);
            out[code.attr("upper")()] = np().attr("ravel")(data[k]);
        }
        if (!data.contains("Date"))
            raise_data_error("the factor file " + py::str(path).cast<std::string>() + " of " +
                             repr_of(factor) + " holds no \"Date\"");
        out["date"] = np().attr("ravel")(data["Date"]);
        return out;
    }
    return bound("get_factor_by_factor")(factor, targets, begin_date, end_date, 0);
}

// The factor day that applies at each step: the last factor date on or before
// the step's trading day (-1 before the first); a night-session step belongs to
// the next trading day (get_trading_day_numbers).
py::array_t<std::int64_t> fresh_index(const py::array_t<double>& dates) {
    // the steps' days: the main time line (the main series may hold bars before
    // the first step, the run's look-back)
    py::array_t<double> tl = as_float64(bound("get_trading_day_numbers")(vr().attr(
                                            "g_VornixDataValueFresh")[G("KMatrixPos_TimeLine")]),
                                        "the trading days of the main time line");
    const auto n = static_cast<std::size_t>(tl.size());
    const auto m = static_cast<std::size_t>(dates.size());
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(n));
    const double* t = tl.data();
    const double* d = dates.data();
    std::int64_t* o = out.mutable_data();
    {
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        std::size_t j = 0;             // dates[0..j) lie on or before the current day
        for (std::size_t i = 0; i < n; ++i) {
            const double day = t[i];  // a whole day number
            while (j < m && d[j] <= day) ++j;
            o[i] = static_cast<std::int64_t>(j) - 1;
        }
    }
    return out;
}

py::object reg_factor(py::object factors_obj, py::object targets_obj, py::object begin_date,
                      py::object end_date) {
    py::list factors = as_list(factors_obj);
    py::list targets = as_list(targets_obj);
    const auto target_len = static_cast<py::ssize_t>(py::len(targets));
    if (py::len(factors) == 0) return np().attr("zeros")(py::make_tuple(0, target_len), "int64");
    py::list columns = py::list(bound("todotmc")(targets));
    py::object store = factor_store();
    const bool stored = store.contains("FactorData");
    if (stored) {
        py::object known = store.attr("get")("Targets");
        if (!known.is_none() && !common::py_eq(py::list(known), columns))
            raise_data_error("factors were registered for the targets " + repr_of(known) +
                             "; a run keeps one target list for its factors, got " +
                             repr_of(columns));
    }
    py::list factor_list = info().attr("FactorList");
    const auto entry_len = py::len(factor_list);
    py::object paths = bound("vxcmd").attr("vxSendCmdGetFactorMultiFilePath")(
        factors, targets, begin_date, end_date, 0);
    py::object date_row = stored ? py::object(store["FactorData"][py::int_(0)]) : py::none();
    py::list blocks;
    py::list rows;
    py::set wanted(columns);
    wanted.add(py::str("date"));
    try {
        for (py::ssize_t idx = 0; idx < static_cast<py::ssize_t>(py::len(factors)); ++idx) {
            py::object factor = factors[idx];
            std::int64_t found = -1;
            for (py::ssize_t k = 0; k < static_cast<py::ssize_t>(py::len(factor_list)); ++k)
                if (common::py_eq(factor_list[k], factor)) {
                    found = k;
                    break;
                }
            if (found < 0) {
                py::dict data =
                    load_factor(paths[py::int_(idx)], factor, targets, begin_date, end_date);
                py::set keys;
                for (auto item : data) keys.add(item.first);
                if (!keys.equal(wanted))
                    raise_data_error(
                        py::str(bound("text").attr("ERROR_WRONG_FACTOR_SIZE")).cast<std::string>() +
                        ", factor " + repr_of(factor) + ": expected the keys " +
                        repr_of(py::module_::import("builtins").attr("sorted")(wanted)) + ", got " +
                        repr_of(py::module_::import("builtins").attr("sorted")(keys)));
                py::array_t<double> dates = as_float64(np().attr("ravel")(data["date"]), "dates");
                if (date_row.is_none()) {
                    py::object sorted_ok =
                        np().attr("all")(np().attr("diff")(dates).attr("__gt__")(0));
                    if (!truthy(sorted_ok) ||
                        !truthy(np().attr("all")(np().attr("isfinite")(dates))))
                        raise_data_error("the dates of factor " + repr_of(factor) +
                                         " must be ascending day numbers");
                    date_row = dates;
                } else if (!truthy(np().attr("array_equal")(dates, date_row))) {
                    raise_data_error("factor " + repr_of(factor) +
                                     " comes with other dates than the factors registered "
                                     "before; a run keeps one date row for its factors");
                }
                py::list values;
                for (py::handle c : columns) values.append(np().attr("ravel")(data[c]));
                py::array_t<double> block =
                    as_float64(np().attr("array")(values, "float64"), "factor values");
                if (block.ndim() != 2 || block.shape(0) != target_len ||
                    block.shape(1) != static_cast<py::ssize_t>(py::len(date_row)))
                    raise_data_error("factor " + repr_of(factor) + " gives values of shape " +
                                     common::shape_text(block) + " for " +
                                     std::to_string(target_len) + " targets and " +
                                     std::to_string(py::len(date_row)) + " dates");
                blocks.append(block);
                found = static_cast<std::int64_t>(py::len(factor_list));
                factor_list.append(factor);
            }
            rows.append(np().attr("arange")(found * target_len, (found + 1) * target_len));
        }
    } catch (...) {
        // nothing of a failed call stays registered
        factor_list[py::slice(static_cast<py::ssize_t>(entry_len), py::len(factor_list), 1)] =
            py::list();
        throw;
    }
    if (py::len(blocks) > 0) {
        py::array_t<double> dates = as_float64(date_row, "dates");
        py::object fresh = fresh_index(dates);
        py::object new_rows = np().attr("vstack")(blocks);
        py::object data =
            stored ? np().attr("vstack")(py::make_tuple(store["FactorData"], new_rows))
                   : np().attr("vstack")(py::make_tuple(dates.attr("reshape")(1, -1), new_rows));
        store["FactorData"] = data;
        store["FreshIdx"] = fresh;
        store["Targets"] = columns;
    }
    return np().attr("array")(rows, "int64").attr("reshape")(py::len(factors), target_len);
}

// A step of the main time line: NaN the last, a negative one from the end.
std::int64_t step_of(py::handle bar_pos, std::int64_t steps) {
    std::int64_t pos;
    if (PyFloat_Check(bar_pos.ptr()) && std::isnan(PyFloat_AsDouble(bar_pos.ptr()))) {
        pos = steps - 1;
    } else {
        pos = common::position_arg(bar_pos, "bar_pos");
        if (pos < 0) pos += steps;
    }
    if (pos < 0 || pos >= steps)
        throw py::index_error("bar_pos=" + repr_of(bar_pos) +
                              " lies outside the main time line of " + std::to_string(steps) +
                              " steps");
    return pos;
}

std::int64_t step_count() {
    py::object dvf = vr().attr("g_VornixDataValueFresh");
    if (dvf.attr("ndim").cast<int>() != 2)
        throw py::value_error("the run has no main time line yet");
    return py::tuple(dvf.attr("shape"))[1].cast<std::int64_t>();
}

py::array_t<std::int64_t> index_arg(py::handle obj, const char* what) {
    py::array a = np().attr("asarray")(obj);
    const char kind = a.dtype().kind();
    if (a.size() > 0 && kind != 'i' && kind != 'u')
        throw py::type_error(std::string(what) + " must hold whole numbers, got " + repr_of(obj));
    return common::typed_array<std::int64_t, py::array::c_style>(np().attr("ravel")(a));
}

py::tuple get_reg_factor(py::object reg_idx_obj, py::object pos_obj, py::object length_obj) {
    py::object store = factor_store();
    py::object fresh_obj = store["FreshIdx"];  // KeyError before any registration
    py::array_t<double> data = as_float64(store["FactorData"], "FactorData");
    py::array_t<std::int64_t> fresh = index_arg(fresh_obj, "FreshIdx");
    py::array_t<std::int64_t> reg_idx = index_arg(reg_idx_obj, "reg_idx");
    const std::int64_t length = common::int_arg(length_obj, "length");
    if (length < 0)
        throw py::value_error("length must not be negative, got " + std::to_string(length));
    const std::int64_t pos = step_of(pos_obj, step_count());
    if (pos >= fresh.size())
        throw py::index_error("FreshIdx has " + std::to_string(fresh.size()) + " entries, step " +
                              std::to_string(pos));
    const py::ssize_t rows = data.shape(0) - 1, cols = data.shape(1);
    const auto n = static_cast<py::ssize_t>(reg_idx.size());
    common::check_result_size(n + 1, length, 8, "length", length);
    const std::int64_t* r = reg_idx.data();
    for (py::ssize_t k = 0; k < n; ++k)
        if (r[k] < 0 || r[k] >= rows)
            throw py::index_error("reg_idx holds " + std::to_string(r[k]) + "; " +
                                  std::to_string(rows) + " factor rows are registered");
    // The window ends with the factor day that applies at the step.
    const std::int64_t end = std::min<std::int64_t>(fresh.data()[pos] + 1, cols);
    const std::int64_t begin = std::max<std::int64_t>(end - length, 0);
    const std::int64_t data_len = std::max<std::int64_t>(end - begin, 0);
    py::array_t<double> dt(static_cast<py::ssize_t>(length));
    py::array_t<double> value(std::vector<py::ssize_t>{n, static_cast<py::ssize_t>(length)});
    {
        auto d = data.unchecked<2>();
        double* o_dt = dt.mutable_data();
        double* o_v = value.mutable_data();
        py::gil_scoped_release nogil;  // raw buffers only; every Python object converted above
        const double nan = std::nan("");
        std::fill(o_dt, o_dt + length, nan);
        std::fill(o_v, o_v + n * length, nan);
        const std::int64_t at = length - data_len;
        for (std::int64_t c = 0; c < data_len; ++c) o_dt[at + c] = d(0, begin + c);
        for (py::ssize_t k = 0; k < n; ++k)
            for (std::int64_t c = 0; c < data_len; ++c)
                o_v[k * length + at + c] = d(1 + r[k], begin + c);
    }
    return py::make_tuple(dt, value);
}

// --- user data ------------------------------------------------------------------------

py::object reg_user_data(py::object time_line_obj, py::object data_obj) {
    py::array_t<double> times = as_float64(time_line_obj, "time_line");
    if (times.ndim() != 1)
        throw py::value_error("time_line must be one-dimensional, got shape " +
                              common::shape_text(times));
    py::array_t<double> data = as_float64(data_obj, "data");
    if (data.ndim() < 1 || data.ndim() > 2)
        throw py::value_error("data must be one- or two-dimensional, got shape " +
                              common::shape_text(data));
    const auto points = static_cast<std::size_t>(times.size());
    if (static_cast<std::size_t>(data.shape(0)) < points)
        throw py::index_error("data holds " + std::to_string(data.shape(0)) + " points for " +
                              std::to_string(points) + " times");
    const auto series = static_cast<std::size_t>(data.ndim() == 2 ? data.shape(1) : 1);
    py::object dvf = vr().attr("g_VornixDataValueFresh");
    py::array_t<double> steps_tl = as_float64(dvf[G("KMatrixPos_TimeLine")], "the main time line");
    const auto steps = static_cast<std::size_t>(steps_tl.size());
    py::array_t<double> fill(std::vector<py::ssize_t>{static_cast<py::ssize_t>(series),
                                                      static_cast<py::ssize_t>(steps)});
    {
        const double* t = times.data();
        const double* step_t = steps_tl.data();
        auto d = data.unchecked();
        double* out = fill.mutable_data();
        const py::ssize_t s0 = data.strides(0) / 8, s1 = data.ndim() == 2 ? data.strides(1) / 8 : 0;
        const double* base = data.data();
        (void)d;
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        std::vector<std::size_t> order(points);
        std::iota(order.begin(), order.end(), std::size_t{0});
        // NaN times sort last and are never earlier than a step
        std::stable_sort(order.begin(), order.end(), [t](std::size_t a, std::size_t b) {
            return t[a] < t[b] || (!std::isnan(t[a]) && std::isnan(t[b]));
        });
        std::ptrdiff_t used = -1;  // one merge pass: `used` never moves back
        for (std::size_t i = 0; i < steps; ++i) {
            while (static_cast<std::size_t>(used + 1) < points &&
                   t[order[static_cast<std::size_t>(used + 1)]] < step_t[i])
                ++used;
            for (std::size_t k = 0; k < series; ++k)
                out[k * steps + i] =
                    used < 0
                        ? 0.0
                        : base[static_cast<py::ssize_t>(order[static_cast<std::size_t>(used)]) *
                                   s0 +
                               static_cast<py::ssize_t>(k) * s1];
        }
    }
    py::object user = vr().attr("g_VornixDataValueFreshUserD");
    const std::int64_t axis0 = user.attr("ndim").cast<int>() == 2
                                   ? py::tuple(user.attr("shape"))[0].cast<std::int64_t>()
                                   : 0;
    vr().attr("g_VornixDataValueFreshUserD") =
        user.attr("size").cast<std::int64_t>() < 1
            ? py::object(fill)
            : np().attr("append")(user, fill, py::arg("axis") = 0);
    return np().attr("arange")(axis0, axis0 + static_cast<std::int64_t>(series));
}

// The window of user rows (user data or indicators) ending at a step.
py::tuple user_window(const char* matrix_name, py::object reg_idx_obj, py::object bar_pos,
                      py::object length_obj, bool copy_times) {
    py::object matrix = vr().attr(matrix_name);
    py::array_t<std::int64_t> reg_idx = index_arg(reg_idx_obj, "reg_idx");
    const auto empty_pair = [] {
        return py::make_tuple(np().attr("array")(py::list()), np().attr("array")(py::list()));
    };
    // Nothing registered yet, or an index past the rows registered so far: the
    // empty pair, which callers take for "no data".
    if (matrix.attr("ndim").cast<int>() != 2) return empty_pair();
    if (reg_idx.size() == 0) throw py::value_error("reg_idx names no rows");
    py::array_t<double> m = as_float64(matrix, matrix_name);
    const py::ssize_t rows = m.shape(0), cols = m.shape(1);
    const std::int64_t* r = reg_idx.data();
    if (*std::max_element(r, r + reg_idx.size()) > rows) return empty_pair();
    // An index equal to the row count, or a negative one, names no row: refused.
    for (py::ssize_t k = 0; k < reg_idx.size(); ++k)
        if (r[k] < 0 || r[k] >= rows)
            throw py::index_error("reg_idx holds " + std::to_string(r[k]) + "; the matrix has " +
                                  std::to_string(rows) + " rows");
    const std::int64_t length = common::int_arg(length_obj, "length");
    if (length < 0)
        throw py::value_error("length must not be negative, got " + std::to_string(length));
    const std::int64_t pos = step_of(bar_pos, cols);
    const std::int64_t s = pos >= length - 1 ? pos - length + 1 : 0;
    const std::int64_t e = pos + 1;
    py::object times = vr().attr("g_VornixCache").attr("dvf_tl");
    if (py::len(times) == 0) times = vr().attr("g_VornixDataValueFresh")[G("KMatrixPos_TimeLine")];
    py::object dt = times[py::slice(s, e, 1)];
    if (copy_times) dt = dt.attr("copy")();
    py::object value = m[py::make_tuple(reg_idx, py::slice(s, e, 1))];
    return py::make_tuple(dt, value);
}

// --- user indicators ------------------------------------------------------------------

py::object reg_user_indices(py::object func) {
    if (!PyCallable_Check(func.ptr()))
        throw py::type_error("indices_func must be callable, got " + repr_of(func));
    py::object user = vr().attr("g_VornixDataValueFreshUserI");
    const std::int64_t axis0 = user.attr("ndim").cast<int>() == 2
                                   ? py::tuple(user.attr("shape"))[0].cast<std::int64_t>()
                                   : 0;
    const std::int64_t steps = step_count();
    py::object wrapper = bound("smm").attr("enter_phase")(G("RUMMODE_PHASE_USERINDI"))(func);
    py::object utx = vr().attr("g_VornixUserContext");
    py::object saved = common::getattr_or(utx, "_internal_bar_num", np().attr("nan"));
    py::list results;
    try {
        for (std::int64_t t = 0; t < steps; ++t) {
            utx.attr("_internal_bar_num") = py::int_(t);
            results.append(wrapper(utx));
        }
    } catch (...) {
        utx.attr("_internal_bar_num") = saved;  // reads in init see no step again
        throw;
    }
    utx.attr("_internal_bar_num") = saved;
    if (steps == 0) throw py::value_error("the main time line has no steps to evaluate at");

    // float64 whatever the function returns; None or another shape is refused
    const auto refuse = [&](std::int64_t first_len) {
        common::raise_framework(
            "UnExpectError",
            bound("text")
                .attr("WARN_USER_INDICES_RESULT_FORMAT")
                .attr("format")(py::arg("TARGETLEN") = first_len, py::arg("COLUMNLEN") = steps));
    };
    const auto values_of = [&](py::handle r, std::int64_t first_len) -> py::array_t<double> {
        if (r.is_none()) refuse(first_len);
        py::object obj = array_or_none(r);
        if (obj.is_none()) refuse(first_len);
        py::array a = obj;
        const char kind = a.dtype().kind();
        if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') refuse(first_len);
        if (a.ndim() > 2 || (a.ndim() == 2 && a.shape(1) != 1)) refuse(first_len);
        return common::typed_array<double, py::array::c_style>(np().attr("ravel")(a));
    };
    py::object first = array_or_none(results[0]);
    const auto first_len =
        first.is_none() ? std::int64_t{0} : static_cast<std::int64_t>(py::array(first).size());
    if (first.is_none()) refuse(first_len);
    py::array_t<double> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(first_len),
                                                     static_cast<py::ssize_t>(steps)});
    double* o = out.mutable_data();
    for (std::int64_t t = 0; t < steps; ++t) {
        py::handle r = results[static_cast<std::size_t>(t)];
        if (PyFloat_Check(r.ptr()) && first_len == 1) {
            o[t] = PyFloat_AS_DOUBLE(r.ptr());
            continue;
        }
        py::array_t<double> v = values_of(r, first_len);
        if (v.size() != first_len) refuse(first_len);
        for (std::int64_t k = 0; k < first_len; ++k) o[k * steps + t] = v.data()[k];
    }
    results = py::list();  // the per-step results are released before the matrix grows
    vr().attr("g_VornixDataValueFreshUserI") =
        bound("append_or_assign_2d_array_axis0")(user, out, axis0);
    py::list idx;
    for (std::int64_t k = 0; k < first_len; ++k) idx.append(axis0 + k);
    return idx;
}

}  // namespace

void add_userdata_functions(py::module_& m, const common::FunctionMaker& make) {
    py::object builtins = py::module_::import("builtins");
    py::object ndarray = py::module_::import("numpy").attr("ndarray");
    py::object List = builtins.attr("list");

    m.attr("reg_factor") = make.function(
        py::cpp_function(&reg_factor), "reg_factor",
        {annotated("factors", List), arg("targets"), arg("begin_date"), arg("end_date")},
        "Register daily factors of the targets; returns, per factor, its rows of the factor "
        "matrix (one per target).");
    m.attr("get_reg_factor") = make.function(
        py::cpp_function(&get_reg_factor), "get_reg_factor",
        {arg("reg_idx"), arg("pos"), arg("length")},
        "(dates, values): the last `length` factor days visible at step pos, right-aligned, "
        "NaN where fewer exist.");
    m.attr("reg_user_data") = make.function(
        py::cpp_function(&reg_user_data), "reg_user_data",
        {annotated("time_line", ndarray), annotated("data", ndarray)},
        "Align a time series to the steps (a point shows from the first step after its time); "
        "returns the rows' index.");
    m.attr("get_reg_user_data") = make.function(
        py::cpp_function([](py::object idx, py::object pos, py::object len) {
            return user_window("g_VornixDataValueFreshUserD", idx, pos, len, false);
        }),
        "get_reg_user_data", {arg("reg_idx"), arg("bar_pos"), arg("length")},
        "(step times, values): the last `length` steps of the user-data rows up to bar_pos.");
    m.attr("reg_user_indices") = make.function(
        py::cpp_function(&reg_user_indices), "reg_user_indices", {arg("indices_func")},
        "Evaluate an indicator function at every step, the context standing at that step; "
        "returns the rows' index.");
    m.attr("get_reg_user_indicator") = make.function(
        py::cpp_function([](py::object idx, py::object pos, py::object len) {
            return user_window("g_VornixDataValueFreshUserI", idx, pos, len, true);
        }),
        "get_reg_user_indicator", {annotated("reg_idx", List), arg("bar_pos"), arg("length")},
        "(step times, values): the last `length` steps of the indicator rows up to bar_pos.");
}

}  // namespace vornix::subscribe
