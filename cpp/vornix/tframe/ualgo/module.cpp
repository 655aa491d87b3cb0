// Python binding of the numeric kernels (module vornix.tframe.ualgo).
//
// Every function first converts and checks all of its Python arguments while
// holding the GIL (arrays are viewed in place through their strides; a copy is
// made only when an array's memory cannot be read as aligned float64/int64),
// allocates its outputs, and then releases the GIL around the kernel loops,
// which touch no Python object.  Errors from the kernels arrive as
// std::invalid_argument and surface as ValueError.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "vornix/common/args.hpp"
#include "vornix/common/layout.hpp"
#include "vornix/common/pyutil.hpp"
#include "vornix/kernels.hpp"

namespace py = pybind11;
namespace kn = vornix::kernels;
using namespace vornix::common;

namespace {

// Layout constants and frequency codes, read from GlobalDefine at import.
kn::Layout g_layout;

// The trailing rule argument: 0 selects the one combination rule there is.
void rule_arg(py::handle obj) {
    const std::int64_t v = int_arg(obj, "rule");
    if (v != 0)
        throw py::value_error("rule must be 0 (the only combination rule), got " +
                              std::to_string(v));
}

void expect_value(std::int64_t got, std::int64_t want, const char* name) {
    if (got != want)
        throw py::value_error(std::string(name) + " must be " + std::to_string(want) +
                              " for this matrix layout, got " + std::to_string(got));
}

// A matrix cannot hold more targets than rows; checked before any row count
// is computed from n_targets, so that the product cannot overflow.
void check_target_count(std::size_t n_targets, std::size_t rows, const char* matrix) {
    if (n_targets > rows)
        throw py::value_error("n_targets=" + std::to_string(n_targets) + " exceeds the " +
                              std::to_string(rows) + " rows of " + matrix);
}

// --- kernels ---------------------------------------------------------------------

py::tuple calc_kdata_begin_end_pos(py::handle base_tl, py::handle target_tl) {
    Keep keep;
    const kn::Vector base = vector_arg(base_tl, "base_tl", keep);
    const kn::Vector target = vector_arg(target_tl, "target_tl", keep);
    auto begin = new_positions(target.size), end = new_positions(target.size);
    std::int64_t* b = begin.mutable_data();
    std::int64_t* e = end.mutable_data();
    {
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        kn::kdata_begin_end_pos(base, target, b, e);
    }
    return py::make_tuple(begin, end);
}

py::tuple calc_reg_kdata_begin_end_pos(py::handle base_tl, py::handle second_tl, py::handle rule) {
    Keep keep;
    const kn::Vector base = vector_arg(base_tl, "base_tl", keep);
    const kn::Vector second = vector_arg(second_tl, "second_tl", keep);
    rule_arg(rule);
    auto begin = new_positions(base.size), end = new_positions(base.size);
    std::int64_t* b = begin.mutable_data();
    std::int64_t* e = end.mutable_data();
    {
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        kn::reg_kdata_begin_end_pos(base, second, b, e);
    }
    return py::make_tuple(begin, end);
}

py::array_t<double> calc_combine_matrix_h_to_l(py::handle base_obj, py::handle target_obj,
                                               py::handle begin_obj, py::handle end_obj,
                                               py::handle bar_len, py::handle rule) {
    Keep keep;
    const kn::Matrix base = matrix_arg(base_obj, "base", keep);
    const kn::Matrix target = matrix_arg(target_obj, "target", keep);
    const kn::Positions begin = positions_arg(begin_obj, "begin", keep);
    const kn::Positions end = positions_arg(end_obj, "end", keep);
    expect_value(int_arg(bar_len, "bar_len"), g_layout.bar_len, "bar_len");
    rule_arg(rule);
    auto out = new_matrix(target.rows, target.cols);
    const kn::OutMatrix o = out_view(out);
    {
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        kn::combine_matrix_h_to_l(g_layout, base, target, begin, end, o);
    }
    return out;
}

py::array_t<double> calc_combine_matrix_1_to_n(py::handle base_obj, py::handle begin_obj,
                                               py::handle end_obj, py::handle bar_len,
                                               py::handle rule) {
    Keep keep;
    const kn::Matrix base = matrix_arg(base_obj, "base", keep);
    const kn::Positions begin = positions_arg(begin_obj, "begin", keep);
    const kn::Positions end = positions_arg(end_obj, "end", keep);
    expect_value(int_arg(bar_len, "bar_len"), g_layout.bar_len, "bar_len");
    rule_arg(rule);
    auto out = new_matrix(base.rows, base.cols);
    const kn::OutMatrix o = out_view(out);
    {
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        kn::combine_matrix_1_to_n(g_layout, base, begin, end, o);
    }
    return out;
}

py::array_t<bool> calculate_fresh_mask(py::handle day_pos_row, py::handle frequency_i,
                                       py::handle freq_num) {
    Keep keep;
    const kn::Vector day_pos = vector_arg(day_pos_row, "day_pos_row", keep);
    const std::int64_t freq = int_arg(frequency_i, "frequency_i");
    const std::int64_t n = int_arg(freq_num, "freq_num");
    py::array_t<bool> out(static_cast<py::ssize_t>(day_pos.size));
    bool* o = out.mutable_data();
    {
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        kn::fresh_mask(g_layout, day_pos, freq, n, o);
    }
    return out;
}

py::tuple matrix_unfill_complete(py::handle matrix_obj, py::handle body_start_row,
                                 py::handle bar_len_obj, py::handle volume_offset) {
    Keep keep;
    const kn::Matrix m = matrix_arg(matrix_obj, "matrix", keep);
    const std::size_t body = count_arg(body_start_row, "body_start_row");
    const std::int64_t bar_len = int_arg(bar_len_obj, "bar_len");
    const std::int64_t vol = int_arg(volume_offset, "volume_offset");
    if (body > m.rows)
        throw py::value_error("body_start_row=" + std::to_string(body) +
                              " lies beyond the matrix's " + std::to_string(m.rows) + " rows");
    if (bar_len < 1)
        throw py::value_error("bar_len must be positive, got " + std::to_string(bar_len));
    if (vol < 0 || vol >= bar_len)
        throw py::value_error("volume_offset=" + std::to_string(vol) +
                              " must lie inside a bar block of " + std::to_string(bar_len) +
                              " rows");
    const auto blen = static_cast<std::size_t>(bar_len);
    if ((m.rows - body) % blen != 0)
        throw py::value_error("matrix has " + std::to_string(m.rows - body) +
                              " body rows, not a multiple of bar_len=" + std::to_string(blen));
    const std::size_t n_targets = (m.rows - body) / blen;

    auto bar_ref = new_matrix(n_targets, m.cols);
    double* ref = bar_ref.mutable_data();
    // One buffer per target with room for every column; trimmed to the traded
    // count afterwards and handed to numpy without a copy.
    std::vector<std::int64_t*> traded(n_targets, nullptr);
    std::vector<std::size_t> counts(n_targets, 0);
    struct Free {
        std::vector<std::int64_t*>& bufs;
        ~Free() {
            for (auto* p : bufs) std::free(p);
        }
    } free_on_error{traded};
    const std::size_t room = std::max<std::size_t>(m.cols, 1) * sizeof(std::int64_t);
    for (auto& p : traded) {
        p = static_cast<std::int64_t*>(std::malloc(room));
        if (p == nullptr) throw std::bad_alloc();
    }
    {
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        for (std::size_t t = 0; t < n_targets; ++t)
            counts[t] = kn::unfill_complete(m.row(body + t * blen + static_cast<std::size_t>(vol)),
                                            ref + t * m.cols, traded[t]);
    }
    py::list ref_list, idx_list;
    for (std::size_t t = 0; t < n_targets; ++t) {
        ref_list.append(bar_ref[py::int_(t)]);
        const std::size_t count = counts[t];
        void* shrunk =
            std::realloc(traded[t], std::max<std::size_t>(count, 1) * sizeof(std::int64_t));
        if (shrunk != nullptr) traded[t] = static_cast<std::int64_t*>(shrunk);
        py::capsule owner(traded[t], [](void* p) { std::free(p); });
        traded[t] = nullptr;  // owned by the capsule from here on
        idx_list.append(py::array_t<std::int64_t>(static_cast<py::ssize_t>(count),
                                                  owner.get_pointer<std::int64_t>(), owner));
    }
    return py::make_tuple(ref_list, idx_list);
}

py::array_t<std::int64_t> calc_kdata_current_bar(py::handle series_tl, py::handle main_tl) {
    Keep keep;
    const kn::Vector series = vector_arg(series_tl, "series_tl", keep);
    const kn::Vector main_line = vector_arg(main_tl, "main_tl", keep);
    if (series.size == 0)
        throw py::value_error("series_tl is empty: a series needs at least one bar");
    auto out = new_positions(main_line.size);
    std::int64_t* o = out.mutable_data();
    {
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        kn::kdata_current_bar(series, main_line, o);
    }
    return out;
}

// The two refresh kernels take the same arguments: a matrix, the group
// positions, the bar length of its layout, the target count and the rule.
// The kernel checks that the target count fits the matrix; checked here is
// only what keeps the output's size from overflowing.
template <class Kernel>
py::array_t<double> refresh_call(py::handle matrix_obj, const char* matrix_name,
                                 py::handle begin_obj, py::handle end_obj, py::handle bar_len_obj,
                                 const char* bar_len_name, std::int64_t bar_len,
                                 py::handle n_targets_obj, py::handle rule, std::size_t out_head,
                                 Kernel kernel, py::handle out_obj = py::none()) {
    Keep keep;
    const kn::Matrix m = matrix_arg(matrix_obj, matrix_name, keep);
    const kn::Positions begin = positions_arg(begin_obj, "begin", keep);
    const kn::Positions end = positions_arg(end_obj, "end", keep);
    expect_value(int_arg(bar_len_obj, bar_len_name), bar_len, bar_len_name);
    const std::size_t n_targets = count_arg(n_targets_obj, "n_targets");
    rule_arg(rule);
    check_target_count(n_targets, m.rows, matrix_name);
    const std::size_t rows = n_targets * static_cast<std::size_t>(bar_len);
    py::array_t<double> out;
    if (out_obj.is_none()) {
        out = new_matrix(out_head + rows, m.cols);
    } else {
        // the blocks written into the caller's array (no head row), in place
        if (!py::array_t<double, py::array::c_style>::check_(out_obj) ||
            py::reinterpret_borrow<py::array>(out_obj).ndim() != 2)
            throw py::type_error("out must be a C-contiguous 2-D float64 array, got " +
                                 type_name(out_obj));
        out = py::reinterpret_borrow<py::array_t<double>>(out_obj);
        if (!out.writeable() || static_cast<std::size_t>(out.shape(0)) != rows ||
            static_cast<std::size_t>(out.shape(1)) > m.cols)
            throw py::value_error("out must be a writeable array of " + std::to_string(rows) +
                                  " rows and at most " + std::to_string(m.cols) + " columns, got " +
                                  shape_text(out) + (out.writeable() ? "" : " (read-only)"));
    }
    const kn::OutMatrix o = out_view(out);
    {
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        kernel(g_layout, m, begin, end, n_targets, o);
    }
    return out;
}

py::array_t<double> calc_data_value_fresh(py::handle base, py::handle begin, py::handle end,
                                          py::handle bar_len, py::handle n_targets, py::handle rule,
                                          py::handle out) {
    // row 0 of a new output is the base time line; `out` takes the blocks alone
    return refresh_call(base, "base", begin, end, bar_len, "bar_len", g_layout.bar_len, n_targets,
                        rule, 1, &kn::data_value_fresh, out);
}

py::array_t<double> calc_data_value_fresh_adj(py::handle adj, py::handle begin, py::handle end,
                                              py::handle adj_bar_len, py::handle n_targets,
                                              py::handle rule, py::handle base_obj) {
    // The unadjusted base, when given, is converted before the GIL is released
    // and kept alive by `keep` for the kernel's run.
    Keep keep;
    kn::Matrix base;
    const bool with_base = !base_obj.is_none();
    if (with_base) base = matrix_arg(base_obj, "base", keep);
    return refresh_call(adj, "adj_base", begin, end, adj_bar_len, "adj_bar_len",
                        g_layout.adj_bar_len, n_targets, rule, 0,
                        [&](const kn::Layout& L, kn::Matrix m, kn::Positions b, kn::Positions e,
                            std::size_t n, kn::OutMatrix o) {
                            kn::data_value_fresh_adj(L, m, b, e, n, o, with_base ? &base : nullptr);
                        });
}

// ismember accepts real numbers of any dtype and shape; both arrays are read as
// contiguous float64 (converted only when they are not that already).
py::array numeric_flat(py::handle obj, const char* name) {
    py::array a = as_ndarray(obj, name, "numeric");
    const char kind = a.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        throw py::type_error(std::string(name) + " must hold real numbers, got dtype " +
                             dtype_text(a));
    const bool usable = py::array_t<double>::check_(a) && (a.flags() & py::array::c_style) != 0 &&
                        element_strided(a);
    return usable ? a : py::module_::import("numpy").attr("require")(a, "float64", "CA");
}

py::tuple is_member(py::handle a_obj, py::handle b_obj) {
    py::array a = numeric_flat(a_obj, "a");
    py::array b = numeric_flat(b_obj, "b");
    const auto n = static_cast<std::size_t>(a.size());
    const auto m = static_cast<std::size_t>(b.size());
    std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
    py::array_t<bool> found(shape);
    py::array_t<std::int64_t> pos(shape);
    const auto* pa = static_cast<const double*>(a.data());
    const auto* pb = static_cast<const double*>(b.data());
    bool* f = found.mutable_data();
    std::int64_t* p = pos.mutable_data();
    {
        py::gil_scoped_release nogil;  // loops only; all Python objects converted above
        kn::ismember(pa, n, pb, m, f, p);
    }
    return py::make_tuple(found, pos);
}

}  // namespace

PYBIND11_MODULE(ualgo, m) {
    m.doc() =
        "Numeric kernels of vornix: bar synthesis, bars in progress, fill tables and "
        "membership.  Layout constants come from vornix.tframe.sysdefine.GlobalDefine.";
    g_layout = read_layout();

    m.def("vxCalcKDataBeginEndPos", &calc_kdata_begin_end_pos, py::arg("base_tl"),
          py::arg("target_tl"),
          "(begin, end) int64, one entry per target bar: the first and last base columns whose "
          "time lies in (target_tl[j-1], target_tl[j]]; an empty bar has begin = end + 1.");
    m.def("vxCalcRegKDataBeginEndPos", &calc_reg_kdata_begin_end_pos, py::arg("base_tl"),
          py::arg("second_tl"), py::arg("rule"),
          "(BeginPos, EndPos) int64, one entry per base bar: first and last base positions of "
          "the group of the first second_tl bar not earlier than the base bar.");
    m.def("vxCalcCombineMatrixHtoL", &calc_combine_matrix_h_to_l, py::arg("base"),
          py::arg("target"), py::arg("begin"), py::arg("end"), py::arg("bar_len"), py::arg("rule"),
          "New K matrix: target's header rows, each bar combined from base columns "
          "begin[j]..end[j] (an empty range gives a filled bar).");
    m.def("vxCalcCombineMatrix1toN", &calc_combine_matrix_1_to_n, py::arg("base"), py::arg("begin"),
          py::arg("end"), py::arg("bar_len"), py::arg("rule"),
          "New matrix with base's rows: column i holds the group's bar in its state at base "
          "bar i; header rows copied from base.");
    m.def("vxCalculateFreshMask", &calculate_fresh_mask, py::arg("day_pos_row"),
          py::arg("frequency_i"), py::arg("freq_num"),
          "bool mask, true where a single-period bar completes a group of freq_num bars.");
    m.def("vxMatrixUnfillComplete", &matrix_unfill_complete, py::arg("matrix"),
          py::arg("body_start_row"), py::arg("bar_len"), py::arg("volume_offset"),
          "(UnfilledBarRef, UnfilledIdx), lists with one array per target: traded columns, "
          "and for each column the position of the last traded one at or before it (NaN "
          "before the first).");
    m.def("vxCalcKDataCurrentBar", &calc_kdata_current_bar, py::arg("series_tl"),
          py::arg("main_tl"),
          "int64, per main-time-line step: first series column not earlier than the step, "
          "capped at the last column.");
    m.def("vxCalcDataValueFresh", &calc_data_value_fresh, py::arg("base"), py::arg("begin"),
          py::arg("end"), py::arg("bar_len"), py::arg("n_targets"), py::arg("rule"),
          py::arg("out") = py::none(),
          "float64 matrix: row 0 the base time line, then per target and field the "
          "registered bar's state at every base bar.  With `out` (C-contiguous float64, "
          "n_targets * bar_len rows, one column per base bar of the last ones) the "
          "blocks alone, at those bars, are written into it, and it is returned.");
    m.def("vxCalcDataValueFresh_Adj", &calc_data_value_fresh_adj, py::arg("adj_base"),
          py::arg("begin"), py::arg("end"), py::arg("adj_bar_len"), py::arg("n_targets"),
          py::arg("rule"), py::arg("base") = py::none(),
          "float64 matrix of adjusted prices: the registered bar's state at every base bar. "
          "base: the unadjusted K matrix of the same bars, whose volumes tell which bars "
          "traded (without it, a bar with a NaN price or four prices at the last close counts "
          "as not traded).");
    m.def("ismember", &is_member, py::arg("a"), py::arg("b"),
          "(found, positions): per element of a, whether it occurs in b and the lowest index "
          "where it does (-1 if absent). NaN is never a member.");
}
