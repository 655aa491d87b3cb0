#include "vornix/common/kdata_window.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "vornix/common/args.hpp"
#include "vornix/common/pyutil.hpp"
#include "vornix/window.hpp"

namespace vornix::common {

namespace kn = vornix::kernels;

namespace {

// The state layer's module, imported once; `vr` is read from it on every call
// so that a replaced store is seen at once.
py::handle sysstate_module() {
    static PyObject* mod = nullptr;  // kept for the life of the process
    if (mod == nullptr) mod = py::module_::import("vornix.tframe.sysstate").release().ptr();
    return mod;
}

std::string num_text(double v) { return py::repr(py::float_(v)).cast<std::string>(); }

// A one-dimensional numeric array (a (1, n) or (n, 1) array is flattened).
py::array numeric_vector(py::handle obj, const std::string& what) {
    py::array a = as_ndarray(obj, what.c_str(), "numeric");
    const char kind = a.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        throw py::type_error(what + " must hold numbers, got dtype " + dtype_text(a));
    if (a.ndim() != 1) {
        if (a.ndim() != 2 || (a.shape(0) != 1 && a.shape(1) != 1))
            throw py::value_error(what + " must be one-dimensional, got shape " + shape_text(a));
        a = a.attr("ravel")();
    }
    return a;
}

// Element i of a one-dimensional numeric array, as a double.
double element(const py::array& a, py::ssize_t i) {
    const char* p = static_cast<const char*>(a.data()) + i * a.strides(0);
    const char kind = a.dtype().kind();
    const auto size = a.itemsize();
    if (kind == 'f' && size == 8) return *reinterpret_cast<const double*>(p);
    if (kind == 'i' && size == 8)
        return static_cast<double>(*reinterpret_cast<const std::int64_t*>(p));
    if (kind == 'f' && size == 4) return static_cast<double>(*reinterpret_cast<const float*>(p));
    if (kind == 'i' && size == 4)
        return static_cast<double>(*reinterpret_cast<const std::int32_t*>(p));
    return a[py::int_(i)].cast<double>();
}

// A whole number stored as a double, or ValueError naming where it came from.
std::int64_t whole(double v, const std::string& what) {
    if (!(std::floor(v) == v) || std::fabs(v) > 9.0e15)
        throw py::value_error(what + "=" + num_text(v) + " is not a whole-number position");
    return static_cast<std::int64_t>(v);
}

[[noreturn]] void index_error(const std::string& text) { throw py::index_error(text); }

// What one registered series offers at the step.
struct Series {
    py::object item;
    kn::Matrix matrix;
    std::int64_t current = -1;  // its current bar at the step, capped at the last column
    std::int64_t n_targets = 0;
    py::array time_line;
};

struct Plan {
    std::vector<kn::WindowSource> sources;
    std::vector<std::int64_t> targets;  // target index per row of reg_idx
    std::size_t length = 0;
    bool real_only = false;
    Keep keep;  // every array the sources point into
};

Plan make_plan(const kn::Layout& L, py::handle reg_idx_obj, py::handle bar_pos_obj,
               py::handle length_obj, py::handle fill_up_obj) {
    Plan plan;
    py::array reg_idx = as_ndarray(reg_idx_obj, "reg_idx", "float64");
    if (reg_idx.ndim() != 2 || reg_idx.shape(1) < 4)
        throw py::value_error("reg_idx must be a registration index of shape (targets, 4) or "
                              "(targets, 7), got shape " +
                              shape_text(reg_idx));
    if (!py::array_t<double>::check_(reg_idx) || !element_strided(reg_idx)) {
        const char kind = reg_idx.dtype().kind();
        if (kind != 'f' && kind != 'i' && kind != 'u')
            throw py::type_error("reg_idx must hold numbers, got dtype " + dtype_text(reg_idx));
        reg_idx = py::array_t<double, py::array::forcecast>::ensure(reg_idx);
    }
    plan.keep.push_back(reg_idx);
    const std::int64_t length = int_arg(length_obj, "length");
    if (length < 0)
        throw py::value_error("length must not be negative, got " + std::to_string(length));
    plan.length = static_cast<std::size_t>(length);
    plan.real_only = !truthy(fill_up_obj);

    py::object vr = sysstate_module().attr("vr");
    py::array dvf = float64_array(vr.attr("g_VornixDataValueFresh"), "vr.g_VornixDataValueFresh", 2);
    plan.keep.push_back(dvf);
    const std::int64_t steps = dvf.shape(1);

    // The step: NaN means the last one; a negative step counts from the end once.
    std::int64_t pos = 0;
    if (PyFloat_Check(bar_pos_obj.ptr()) && std::isnan(PyFloat_AsDouble(bar_pos_obj.ptr()))) {
        pos = steps - 1;
    } else {
        pos = position_arg(bar_pos_obj, "bar_pos");
        if (pos < 0) pos += steps;
    }
    if (pos < 0 || pos >= steps)
        index_error("bar_pos=" + repr_text(bar_pos_obj) + " lies outside the main time line of " +
                    std::to_string(steps) + " steps");

    const auto n = static_cast<std::size_t>(reg_idx.shape(0));
    const auto cell = [&](std::size_t i, py::ssize_t c) {
        return *static_cast<const double*>(reg_idx.data(static_cast<py::ssize_t>(i), c));
    };
    py::object k_data_s = vr.attr("g_VornixKDataList");
    const auto k_len = static_cast<std::int64_t>(py::len(k_data_s));
    py::object cache = vr.attr("g_VornixCache");
    py::array dvf_tl;
    bool have_dvf_tl = false;
    std::vector<std::pair<std::int64_t, Series>> series;  // by position; few per call

    const auto series_at = [&](std::int64_t p) -> Series& {
        for (auto& s : series)
            if (s.first == p) return s.second;
        Series s;
        s.item = k_data_s[py::int_(p)];
        const std::string where = "vr.g_VornixKDataList[" + std::to_string(p) + "]";
        s.matrix = matrix_arg(s.item.attr("Matrix"), (where + ".Matrix").c_str(), plan.keep);
        const auto body = static_cast<std::int64_t>(s.matrix.rows) - L.head_len;
        s.n_targets = body > 0 ? body / L.bar_len : 0;
        py::array current = numeric_vector(s.item.attr("CurrentBar"), where + ".CurrentBar");
        if (current.shape(0) <= pos)
            index_error(where + ".CurrentBar has " + std::to_string(current.shape(0)) +
                        " entries, not one per step of the main time line (step " +
                        std::to_string(pos) + ")");
        const std::int64_t cur = whole(element(current, pos), where + ".CurrentBar[step]");
        s.current = std::min<std::int64_t>(static_cast<std::int64_t>(s.matrix.cols) - 1, cur);
        s.time_line = float64_array(cache.attr("get_history_k_data_time_line_cache")(p),
                                    "cached time line", 1);
        plan.keep.push_back(s.time_line);
        if (s.time_line.shape(0) < static_cast<py::ssize_t>(s.matrix.cols))
            throw py::value_error("the cached time line of " + where + " has " +
                                  std::to_string(s.time_line.shape(0)) + " entries for " +
                                  std::to_string(s.matrix.cols) + " bars");
        series.emplace_back(p, std::move(s));
        return series.back().second;
    };

    plan.sources.resize(n);
    plan.targets.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string row = "reg_idx[" + std::to_string(i) + ", ";
        const double c0 = cell(i, 0);
        if (std::isnan(c0))
            throw py::value_error(row + "0] is NaN: the series is not registered");
        const std::int64_t k_pos = whole(c0, row + "0]");
        if (k_pos < 0 || k_pos >= k_len)
            index_error(row + "0]=" + std::to_string(k_pos) + " names no series of the " +
                        std::to_string(k_len) + " registered");
        const std::int64_t target = whole(cell(i, 3), row + "3]");
        Series& s = series_at(k_pos);
        if (target < 0 || target >= s.n_targets)
            index_error(row + "3]=" + std::to_string(target) + " names no target of the " +
                        std::to_string(s.n_targets) + " in the series");
        plan.targets[i] = target;

        kn::WindowSource& src = plan.sources[i];
        src.target_index = static_cast<double>(target);
        const std::size_t body_row =
            static_cast<std::size_t>(L.head_len + target * L.bar_len);
        src.body = s.matrix.data + static_cast<std::ptrdiff_t>(body_row) * s.matrix.row_stride;
        src.row_stride = s.matrix.row_stride;
        src.col_stride = s.matrix.col_stride;
        src.time_line = static_cast<const double*>(s.time_line.data());
        src.time_stride = s.time_line.strides(0) / 8;

        const double c2 = cell(i, 2);
        if (!std::isnan(c2)) {
            const std::int64_t fresh_row = whole(c2, row + "2]");
            if (fresh_row < 1 || fresh_row + L.bar_len > dvf.shape(0))
                index_error(row + "2]=" + std::to_string(fresh_row) +
                            " is not a block of the refresh matrix's " +
                            std::to_string(dvf.shape(0)) + " rows");
            if (!have_dvf_tl) {
                have_dvf_tl = true;
                dvf_tl = float64_array(cache.attr("dvf_tl"), "vr.g_VornixCache.dvf_tl", 1);
                plan.keep.push_back(dvf_tl);
                if (dvf_tl.shape(0) <= pos)
                    index_error("vr.g_VornixCache.dvf_tl has " +
                                std::to_string(dvf_tl.shape(0)) + " entries, step " +
                                std::to_string(pos));
            }
            src.fresh = static_cast<const double*>(dvf.data(fresh_row, pos));
            src.fresh_stride = dvf.strides(0) / 8;
            src.fresh_time = *static_cast<const double*>(dvf_tl.data(pos));
        }

        if (!plan.real_only) {
            src.last = s.current;
            src.first = std::max<std::int64_t>(s.current - length + 1, 0);
            continue;
        }
        // Real bars only: the fill tables tell where enough traded bars begin.
        const std::string where = "vr.g_VornixKDataList[" + std::to_string(k_pos) + "]";
        py::array ref = numeric_vector(s.item.attr("UnfilledBarRef")[py::int_(target)],
                                       where + ".UnfilledBarRef[" + std::to_string(target) + "]");
        const std::int64_t end_bar =
            std::min<std::int64_t>(static_cast<std::int64_t>(ref.shape(0)) - 1, s.current);
        if (end_bar < 0) {
            src.skip = true;
            continue;
        }
        const double traded_pos = element(ref, end_bar);
        if (std::isnan(traded_pos)) {  // no real bar yet
            src.skip = true;
            continue;
        }
        py::array traded = numeric_vector(s.item.attr("UnfilledIdx")[py::int_(target)],
                                          where + ".UnfilledIdx[" + std::to_string(target) + "]");
        const std::int64_t from = std::max<std::int64_t>(whole(traded_pos, where) - length, 0);
        if (from >= traded.shape(0))
            index_error(where + ".UnfilledIdx[" + std::to_string(target) + "] has " +
                        std::to_string(traded.shape(0)) + " entries, position " +
                        std::to_string(from) + " asked");
        src.first = whole(element(traded, from), where + ".UnfilledIdx entry");
        src.last = end_bar;
        if (src.first < 0) src.first = 0;
    }
    return plan;
}

py::array_t<double> fill(const kn::Layout& L, const Plan& plan) {
    const auto width = static_cast<std::size_t>(2 + L.bar_len);
    const std::size_t rows = plan.length * plan.sources.size();
    py::array_t<double> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows),
                                                     static_cast<py::ssize_t>(width)});
    double* o = out.mutable_data();
    {
        py::gil_scoped_release nogil;  // raw buffers only; every Python object converted above
        kn::k_window(plan.sources.data(), plan.sources.size(), plan.length,
                     static_cast<std::size_t>(L.bar_len), static_cast<std::size_t>(L.volume),
                     plan.real_only, o);
    }
    return out;
}

}  // namespace

py::array_t<double> k_window_values(const kn::Layout& layout, py::handle reg_idx,
                                    py::handle bar_pos, py::handle length, py::handle fill_up) {
    const Plan plan = make_plan(layout, reg_idx, bar_pos, length, fill_up);
    return fill(layout, plan);
}

py::array k_window_objects(const kn::Layout& layout, py::handle reg_idx, py::handle bar_pos,
                           py::handle length, py::handle fill_up) {
    const Plan plan = make_plan(layout, reg_idx, bar_pos, length, fill_up);
    py::array_t<double> values = fill(layout, plan);
    const auto rows = values.shape(0);
    const auto width = values.shape(1);
    py::array out(py::dtype("O"), std::vector<py::ssize_t>{rows, width});
    auto** cells = static_cast<PyObject**>(out.mutable_data());
    const double* v = values.data();
    // Cells are written once each; numpy created them empty (NULL) or None.
    py::object nan = py::module_::import("numpy").attr("nan");
    const auto put = [&](py::ssize_t k, PyObject* obj) {
        PyObject* old = cells[k];
        cells[k] = obj;
        Py_XDECREF(old);
    };
    for (py::ssize_t r = 0; r < rows; ++r) {
        const std::size_t block = plan.length ? static_cast<std::size_t>(r) / plan.length : 0;
        PyObject* target = PyLong_FromLongLong(plan.targets[block]);
        if (target == nullptr) throw py::error_already_set();
        put(r * width, target);
        for (py::ssize_t c = 1; c < width; ++c) {
            const double x = v[r * width + c];
            PyObject* obj;
            if (std::isnan(x)) {
                obj = nan.inc_ref().ptr();
            } else {
                obj = PyFloat_FromDouble(x);
                if (obj == nullptr) throw py::error_already_set();
            }
            put(r * width + c, obj);
        }
    }
    return out;
}

}  // namespace vornix::common
