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

// A one-dimensional numeric array read in place: the fast road for the fill
// tables, read once per target and call.
struct Column {
    const char* data = nullptr;
    py::ssize_t stride = 0;
    py::ssize_t size = 0;
    char kind = 0;
    py::ssize_t itemsize = 0;
    py::object owner;  // the array, when it had to be converted

    double operator[](py::ssize_t i) const {
        const char* p = data + i * stride;
        if (kind == 'f' && itemsize == 8) return *reinterpret_cast<const double*>(p);
        if (kind == 'i' && itemsize == 8)
            return static_cast<double>(*reinterpret_cast<const std::int64_t*>(p));
        if (kind == 'f') return static_cast<double>(*reinterpret_cast<const float*>(p));
        return static_cast<double>(*reinterpret_cast<const std::int32_t*>(p));
    }
};

Column column_of(py::handle obj, const char* what) {
    Column c;
    const auto& api = py::detail::npy_api::get();
    if (api.PyArray_Check_(obj.ptr())) {
        const auto* a = py::detail::array_proxy(obj.ptr());
        const char kind = py::detail::array_descriptor_proxy(a->descr)->kind;
        const auto item = py::reinterpret_borrow<py::array>(obj).itemsize();
        const bool readable =
            (kind == 'f' && (item == 8 || item == 4)) || (kind == 'i' && (item == 8 || item == 4));
        if (a->nd == 1 && readable && a->strides[0] % item == 0 &&
            reinterpret_cast<std::uintptr_t>(a->data) % static_cast<std::uintptr_t>(item) == 0) {
            c.data = a->data;
            c.stride = a->strides[0];
            c.size = a->dimensions[0];
            c.kind = kind;
            c.itemsize = item;
            return c;
        }
    }
    // Anything else (a (1, n) cache read-back, another dtype): a float64 copy.
    py::array v = numeric_vector(obj, what);
    py::array_t<double> f = typed_array<double>(v);
    c.owner = f;
    c.data = reinterpret_cast<const char*>(f.data());
    c.stride = f.strides(0);
    c.size = f.shape(0);
    c.kind = 'f';
    c.itemsize = 8;
    return c;
}

// A whole number stored as a double, or ValueError naming where it came from.
std::int64_t whole(double v, const std::string& what) {
    if (!(std::floor(v) == v) || std::fabs(v) > 9.0e15)
        throw py::value_error(what + "=" + num_text(v) + " is not a whole-number position");
    return static_cast<std::int64_t>(v);
}

[[noreturn]] void index_error(const std::string& text) { throw py::index_error(text); }

// Entry `i` of a per-target table (a list, or any sequence).
py::object entry(const py::object& table, std::int64_t i) {
    if (PyList_Check(table.ptr())) {
        if (i < PyList_GET_SIZE(table.ptr()))
            return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(table.ptr(), i));
        throw py::index_error("a fill table holds " + std::to_string(PyList_GET_SIZE(table.ptr())) +
                              " targets, target " + std::to_string(i) + " asked");
    }
    return table[py::int_(i)];
}

// What one registered series offers at the step.
struct Series {
    py::object item;
    py::object bar_ref, traded;  // the fill tables, read once when real bars are asked for
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

// Attribute names read on every call.
struct Names {
    common::Name vr{"vr"}, dvf{"g_VornixDataValueFresh"}, k_data{"g_VornixKDataList"},
        cache{"g_VornixCache"}, matrix{"Matrix"}, current{"CurrentBar"},
        tl_cache{"get_history_k_data_time_line_cache"}, dvf_tl{"dvf_tl"}, bar_ref{"UnfilledBarRef"},
        traded{"UnfilledIdx"}, k_data_adj{"g_VornixKDataList_Adj"},
        dvf_adj{"g_VornixDataValueFresh_Adj"};
};

const Names& names() {
    static const Names* n = new Names();  // built under the GIL on first use, kept
    return *n;
}

std::string series_text(std::int64_t p) {
    return "vr.g_VornixKDataList[" + std::to_string(p) + "]";
}

std::string cell_text(std::size_t i, int c) {
    return "reg_idx[" + std::to_string(i) + ", " + std::to_string(c) + "]";
}

// `cell_bytes`: what one cell of the result costs (see check_result_size).
Plan make_plan(const kn::Layout& L, py::handle reg_idx_obj, py::handle bar_pos_obj,
               py::handle length_obj, py::handle fill_up_obj, bool adjusted,
               std::int64_t cell_bytes) {
    const Names& N = names();
    Plan plan;
    py::array reg_idx = as_ndarray(reg_idx_obj, "reg_idx", "float64");
    if (reg_idx.ndim() != 2 || reg_idx.shape(1) < (adjusted ? 7 : 4))
        throw py::value_error(
            adjusted ? "reg_idx must be the registration index of an adjusted series, of shape "
                       "(targets, 7), got shape " +
                           shape_text(reg_idx)
                     : "reg_idx must be a registration index of shape (targets, 4) or "
                       "(targets, 7), got shape " +
                           shape_text(reg_idx));
    if (reg_idx.dtype().kind() != 'f' || reg_idx.itemsize() != 8 || !element_strided(reg_idx)) {
        const char kind = reg_idx.dtype().kind();
        if (kind != 'f' && kind != 'i' && kind != 'u')
            throw py::type_error("reg_idx must hold numbers, got dtype " + dtype_text(reg_idx));
        reg_idx = typed_array<double>(reg_idx);
    }
    plan.keep.push_back(reg_idx);
    const std::int64_t length = int_arg(length_obj, "length");
    if (length < 0)
        throw py::value_error("length must not be negative, got " + std::to_string(length));
    // before any buffer of `length` rows per target is made
    check_result_size(reg_idx.shape(0) * (2 + static_cast<std::int64_t>(L.bar_len)), length,
                      cell_bytes, "length", length);
    plan.length = static_cast<std::size_t>(length);
    plan.real_only = !truthy(fill_up_obj);

    py::object vr = common::attr(sysstate_module(), N.vr);
    py::array dvf = float64_array(common::attr(vr, N.dvf), "vr.g_VornixDataValueFresh", 2);
    plan.keep.push_back(dvf);
    // The steps are the unadjusted refresh matrix's columns, also for adjusted
    // windows: the adjusted one has the same columns once it has rows, and
    // none while every adjusted registration is of the main frequency.
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
    const char* idx_data = static_cast<const char*>(reg_idx.data());
    const auto s0 = reg_idx.strides(0), s1 = reg_idx.strides(1);
    const auto cell = [&](std::size_t i, py::ssize_t c) {
        return *reinterpret_cast<const double*>(idx_data + static_cast<py::ssize_t>(i) * s0 +
                                                c * s1);
    };
    py::object k_data_s = common::attr(vr, N.k_data);
    const auto k_len = static_cast<std::int64_t>(py::len(k_data_s));
    py::object cache = common::attr(vr, N.cache);
    py::array dvf_tl;
    bool have_dvf_tl = false;
    std::vector<std::pair<std::int64_t, Series>> series;  // by position; few per call

    const auto series_at = [&](std::int64_t p) -> Series& {
        for (auto& s : series)
            if (s.first == p) return s.second;
        Series s;
        s.item = k_data_s[py::int_(p)];
        s.matrix = matrix_arg(common::attr(s.item, N.matrix), "Matrix", plan.keep);
        const auto body = static_cast<std::int64_t>(s.matrix.rows) - L.head_len;
        s.n_targets = body > 0 ? body / L.bar_len : 0;
        const Column current = column_of(common::attr(s.item, N.current), "CurrentBar");
        if (current.size <= pos)
            index_error(series_text(p) + ".CurrentBar has " + std::to_string(current.size) +
                        " entries, not one per step of the main time line (step " +
                        std::to_string(pos) + ")");
        const double cur = current[pos];
        if (!(std::floor(cur) == cur) || std::fabs(cur) > 9.0e15)
            whole(cur, series_text(p) + ".CurrentBar[" + std::to_string(pos) + "]");
        s.current = std::min<std::int64_t>(static_cast<std::int64_t>(s.matrix.cols) - 1,
                                           static_cast<std::int64_t>(cur));
        py::int_ key(p);
        PyObject* tl = PyObject_CallMethodOneArg(cache.ptr(), N.tl_cache.ptr(), key.ptr());
        if (tl == nullptr) throw py::error_already_set();
        s.time_line = float64_array(py::reinterpret_steal<py::object>(tl), "cached time line", 1);
        plan.keep.push_back(s.time_line);
        if (s.time_line.shape(0) < static_cast<py::ssize_t>(s.matrix.cols))
            throw py::value_error("the cached time line of " + series_text(p) + " has " +
                                  std::to_string(s.time_line.shape(0)) + " entries for " +
                                  std::to_string(s.matrix.cols) + " bars");
        series.emplace_back(p, std::move(s));
        return series.back().second;
    };
    const auto whole_cell = [&](std::size_t i, int c) {
        const double v = cell(i, c);
        if (!(std::floor(v) == v) || std::fabs(v) > 9.0e15) {
            if (std::isnan(v) && c == 0)
                throw py::value_error(cell_text(i, c) + " is NaN: the series is not registered");
            whole(v, cell_text(i, c));
        }
        return static_cast<std::int64_t>(v);
    };

    // Adjusted series and refresh rows, read when the window is an adjusted one.
    py::object adj_s;
    std::int64_t adj_len_items = 0;
    std::vector<std::pair<std::int64_t, kn::Matrix>> adj_series;
    py::array dvf_adj;
    bool have_dvf_adj = false;
    if (adjusted) {
        adj_s = common::attr(vr, N.k_data_adj);
        adj_len_items = static_cast<std::int64_t>(py::len(adj_s));
    }
    const auto adj_at = [&](std::int64_t p) -> const kn::Matrix& {
        for (auto& a : adj_series)
            if (a.first == p) return a.second;
        adj_series.emplace_back(p, matrix_arg(common::attr(adj_s[py::int_(p)], N.matrix),
                                              "adjusted Matrix", plan.keep));
        return adj_series.back().second;
    };
    const auto adj_offs = kn::adj_bar_fields(L);

    plan.sources.resize(n);
    plan.targets.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t k_pos = whole_cell(i, 0);
        if (k_pos < 0 || k_pos >= k_len)
            index_error(cell_text(i, 0) + "=" + std::to_string(k_pos) + " names no series of the " +
                        std::to_string(k_len) + " registered");
        const std::int64_t target = whole_cell(i, 3);
        Series& s = series_at(k_pos);
        // The target's block in the series (column 5 for adjusted indexes), and
        // the index shown in the window's first column (column 3).
        const std::int64_t block = adjusted ? whole_cell(i, 5) : target;
        const int block_col = adjusted ? 5 : 3;
        if (block < 0 || block >= s.n_targets)
            index_error(cell_text(i, block_col) + "=" + std::to_string(block) +
                        " names no target of the " + std::to_string(s.n_targets) +
                        " in the series");
        plan.targets[i] = target;

        kn::WindowSource& src = plan.sources[i];
        src.target_index = static_cast<double>(target);
        if (adjusted) {
            const std::int64_t a_pos = whole_cell(i, 4);
            if (a_pos < 0 || a_pos >= adj_len_items)
                index_error(cell_text(i, 4) + "=" + std::to_string(a_pos) +
                            " names no adjusted series of the " + std::to_string(adj_len_items) +
                            " registered");
            const kn::Matrix& a = adj_at(a_pos);
            if (a.cols != s.matrix.cols ||
                static_cast<std::int64_t>(a.rows) < (block + 1) * L.adj_bar_len)
                throw py::value_error("vr.g_VornixKDataList_Adj[" + std::to_string(a_pos) + "] (" +
                                      std::to_string(a.rows) + " x " + std::to_string(a.cols) +
                                      ") does not hold target block " + std::to_string(block) +
                                      " of " + series_text(k_pos) + "'s " +
                                      std::to_string(s.matrix.cols) + " bars");
            for (std::size_t f = 0; f < 4; ++f)
                src.adj_field[f] = a.data + (block * L.adj_bar_len + adj_offs[f]) * a.row_stride;
            src.adj_col_stride = a.col_stride;
        }
        const auto body_row = static_cast<std::ptrdiff_t>(L.head_len + block * L.bar_len);
        src.body = s.matrix.data + body_row * s.matrix.row_stride;
        src.row_stride = s.matrix.row_stride;
        src.col_stride = s.matrix.col_stride;
        src.time_line = static_cast<const double*>(s.time_line.data());
        src.time_stride = s.time_line.strides(0) / 8;

        // Adjusted windows show a bar in progress when the index names adjusted
        // refresh rows (column 6); its volume and later fields come from the
        // unadjusted refresh rows (column 2).
        const bool has_fresh = adjusted ? !std::isnan(cell(i, 6)) : !std::isnan(cell(i, 2));
        if (adjusted && has_fresh) {
            if (std::isnan(cell(i, 2)))
                throw py::value_error(cell_text(i, 6) + " names adjusted refresh rows but " +
                                      cell_text(i, 2) + " names no unadjusted ones");
            if (!have_dvf_adj) {
                have_dvf_adj = true;
                dvf_adj =
                    float64_array(common::attr(vr, N.dvf_adj), "vr.g_VornixDataValueFresh_Adj", 2);
                plan.keep.push_back(dvf_adj);
                if (dvf_adj.shape(1) != steps)
                    throw py::value_error(
                        "vr.g_VornixDataValueFresh_Adj has " + std::to_string(dvf_adj.shape(1)) +
                        " columns, the main time line " + std::to_string(steps) + " steps");
            }
            const std::int64_t adj_row = whole_cell(i, 6);
            if (adj_row < 0 || adj_row + L.adj_bar_len > dvf_adj.shape(0))
                index_error(cell_text(i, 6) + "=" + std::to_string(adj_row) +
                            " is not a block of the adjusted refresh matrix's " +
                            std::to_string(dvf_adj.shape(0)) + " rows");
            const auto* d = static_cast<const double*>(dvf_adj.data());
            for (std::size_t f = 0; f < 4; ++f)
                src.adj_fresh[f] = d + (adj_row + adj_offs[f]) * (dvf_adj.strides(0) / 8) +
                                   pos * (dvf_adj.strides(1) / 8);
        }
        if (has_fresh) {
            const std::int64_t fresh_row = whole_cell(i, 2);
            if (fresh_row < 1 || fresh_row + L.bar_len > dvf.shape(0))
                index_error(cell_text(i, 2) + "=" + std::to_string(fresh_row) +
                            " is not a block of the refresh matrix's " +
                            std::to_string(dvf.shape(0)) + " rows");
            if (!have_dvf_tl) {
                have_dvf_tl = true;
                dvf_tl = float64_array(common::attr(cache, N.dvf_tl), "vr.g_VornixCache.dvf_tl", 1);
                plan.keep.push_back(dvf_tl);
                if (dvf_tl.shape(0) <= pos)
                    index_error("vr.g_VornixCache.dvf_tl has " + std::to_string(dvf_tl.shape(0)) +
                                " entries, step " + std::to_string(pos));
            }
            src.fresh = static_cast<const double*>(dvf.data()) + fresh_row * (dvf.strides(0) / 8) +
                        pos * (dvf.strides(1) / 8);
            src.fresh_stride = dvf.strides(0) / 8;
            src.fresh_time =
                *(static_cast<const double*>(dvf_tl.data()) + pos * (dvf_tl.strides(0) / 8));
        }

        if (!plan.real_only) {
            src.last = s.current;
            src.first = std::max<std::int64_t>(s.current - length + 1, 0);
            continue;
        }
        // Real bars only: the fill tables tell where enough traded bars begin.
        if (!s.bar_ref) {
            s.bar_ref = common::attr(s.item, N.bar_ref);
            s.traded = common::attr(s.item, N.traded);
        }
        const Column ref = column_of(entry(s.bar_ref, block), "UnfilledBarRef entry");
        const std::int64_t end_bar =
            std::min<std::int64_t>(static_cast<std::int64_t>(ref.size) - 1, s.current);
        // A bar still forming at the step shows when it has traded so far (the
        // copy tests its state at the step); whether the complete bar trades is
        // known only later, so the search starts from the last real bar before it.
        const bool forming = src.fresh != nullptr && end_bar == s.current;
        const std::int64_t ref_bar = forming ? end_bar - 1 : end_bar;
        const double traded_pos = ref_bar < 0 ? std::nan("") : ref[ref_bar];
        if (std::isnan(traded_pos)) {  // no real bar before: at most the one forming
            if (forming) {
                src.first = src.last = end_bar;
            } else {
                src.skip = true;
            }
            continue;
        }
        const auto bad_entry = [&](const char* table) {
            return series_text(k_pos) + "." + table + "[" + std::to_string(block) + "]";
        };
        if (!(std::floor(traded_pos) == traded_pos)) whole(traded_pos, bad_entry("UnfilledBarRef"));
        const Column traded = column_of(entry(s.traded, block), "UnfilledIdx entry");
        // room for `length` real bars: the forming one may or may not be one of them
        const std::int64_t reach = forming ? std::max<std::int64_t>(length - 1, 0) : length;
        const std::int64_t from =
            std::max<std::int64_t>(static_cast<std::int64_t>(traded_pos) - reach, 0);
        if (from >= traded.size)
            index_error(bad_entry("UnfilledIdx") + " has " + std::to_string(traded.size) +
                        " entries, position " + std::to_string(from) + " asked");
        const double first = traded[from];
        if (!(std::floor(first) == first) || std::fabs(first) > 9.0e15)
            whole(first, bad_entry("UnfilledIdx"));
        src.first = std::max<std::int64_t>(static_cast<std::int64_t>(first), 0);
        src.last = end_bar;
    }
    return plan;
}

void fill(const kn::Layout& L, const Plan& plan, double* out) {
    py::gil_scoped_release nogil;  // raw buffers only; every Python object converted above
    kn::k_window(plan.sources.data(), plan.sources.size(), plan.length,
                 static_cast<std::size_t>(L.bar_len), static_cast<std::size_t>(L.volume),
                 plan.real_only, out);
}

std::size_t width_of(const kn::Layout& L) { return static_cast<std::size_t>(2 + L.bar_len); }

}  // namespace

py::array_t<double> k_window_values(const kn::Layout& layout, py::handle reg_idx,
                                    py::handle bar_pos, py::handle length, py::handle fill_up,
                                    bool adjusted) {
    const Plan plan = make_plan(layout, reg_idx, bar_pos, length, fill_up, adjusted, 8);
    const std::size_t rows = plan.length * plan.sources.size();
    py::array_t<double> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows),
                                                     static_cast<py::ssize_t>(width_of(layout))});
    fill(layout, plan, out.mutable_data());
    return out;
}

py::array k_window_objects(const kn::Layout& layout, py::handle reg_idx, py::handle bar_pos,
                           py::handle length, py::handle fill_up, bool adjusted) {
    // a double per cell while filling, then the Python float it becomes
    const Plan plan =
        make_plan(layout, reg_idx, bar_pos, length, fill_up, adjusted, 8 + kObjectCellBytes);
    const auto rows = static_cast<py::ssize_t>(plan.length * plan.sources.size());
    const auto width = static_cast<py::ssize_t>(width_of(layout));
    std::vector<double> values(static_cast<std::size_t>(rows * width));
    fill(layout, plan, values.data());
    static PyObject* object_dtype = py::dtype("O").release().ptr();  // kept
    py::array out(py::reinterpret_borrow<py::dtype>(object_dtype),
                  std::vector<py::ssize_t>{rows, width});
    auto** cells = static_cast<PyObject**>(out.mutable_data());
    const double* v = values.data();
    // Cells are written once each; numpy created them empty (NULL) or None.
    static PyObject* nan = py::object(py::module_::import("numpy").attr("nan")).release().ptr();
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
                Py_INCREF(nan);
                obj = nan;
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
