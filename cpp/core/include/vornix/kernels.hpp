// Numeric kernels over raw buffers: bar synthesis, bars in progress, fill
// tables and membership.  No Python headers here; every function works on
// plain pointers, strides and lengths, so it can be tested and reused alone.
//
// Conventions shared by all kernels:
// - A time line is ascending; a bar stamped T covers the interval ending at T.
// - A K matrix holds `head_len` header rows (time line, day position, refresh
//   flags) followed by one block of `bar_len` rows per target, one column per
//   bar.  An adjusted matrix holds only blocks of `adj_bar_len` price rows.
// - Malformed input (wrong lengths, positions out of range, unordered time
//   lines) throws std::invalid_argument with a message naming the argument.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vornix::kernels {

// Matrix layout and frequency codes.  The Python binding fills this from the
// framework's constants class so that there is a single source of truth.
struct Layout {
    // K matrix header
    std::int64_t head_len = 0;
    std::int64_t time_line_row = 0;
    // K matrix body: rows per target and field offsets inside one block
    std::int64_t bar_len = 0;
    std::int64_t open = 0;
    std::int64_t high = 0;
    std::int64_t low = 0;
    std::int64_t close = 0;
    std::int64_t volume = 0;
    std::int64_t turnover = 0;
    std::int64_t open_interest = 0;
    // adjusted matrix: price rows only
    std::int64_t adj_bar_len = 0;
    std::int64_t adj_open = 0;
    std::int64_t adj_high = 0;
    std::int64_t adj_low = 0;
    std::int64_t adj_close = 0;
    // frequency codes, a smaller code being a finer frequency
    std::int64_t freq_tick = 0;
    std::int64_t freq_min = 0;
    std::int64_t freq_day = 0;
    std::int64_t freq_week = 0;
    std::int64_t freq_month = 0;
    std::int64_t freq_year = 0;
};

// Field offsets of a bar, in the fixed order the kernels use: open, high,
// low, close, volume, turnover, open interest; and for an adjusted bar open,
// high, low, close.
std::array<std::int64_t, 7> bar_fields(const Layout& layout);
std::array<std::int64_t, 4> adj_bar_fields(const Layout& layout);

// Throws std::invalid_argument when the layout is inconsistent (offsets outside
// their block, header not starting at the time line, ...).
void check_layout(const Layout& layout);

// Read-only strided vector; `stride` counts elements, not bytes.
template <class T>
struct StridedVector {
    const T* data = nullptr;
    std::ptrdiff_t stride = 1;
    std::size_t size = 0;

    T operator[](std::size_t i) const { return data[static_cast<std::ptrdiff_t>(i) * stride]; }
};

using Vector = StridedVector<double>;
using Positions = StridedVector<std::int64_t>;

// Read-only strided matrix; strides count elements, not bytes.
struct Matrix {
    const double* data = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;
    std::size_t rows = 0;
    std::size_t cols = 0;

    Vector row(std::size_t r) const {
        return Vector{data + static_cast<std::ptrdiff_t>(r) * row_stride, col_stride, cols};
    }
};

// Writable C-contiguous matrix (the kernels' outputs are always fresh arrays).
struct OutMatrix {
    double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;

    double* row(std::size_t r) const { return data + r * cols; }
};

// --- time lines -------------------------------------------------------------

// Throws unless `tl` is free of NaN and non-decreasing.
void check_time_line(Vector tl, const char* name);

// One entry per bar j of `target_tl`: the first and last (inclusive) base
// columns whose time t satisfies target_tl[j-1] < t <= target_tl[j] (for j = 0:
// t <= target_tl[0]).  A bar no base bar falls into gets begin = end + 1,
// begin being the first base column after the previous bar's range.
void kdata_begin_end_pos(Vector base_tl, Vector target_tl, std::int64_t* begin, std::int64_t* end);

// One entry per base bar i: base bar i belongs to the first bar of `second_tl`
// whose time is not earlier than its own (bars later than all of `second_tl`
// form one trailing group); begin[i] and end[i] are the first and last
// (inclusive) base positions of that group.
void reg_kdata_begin_end_pos(Vector base_tl, Vector second_tl, std::int64_t* begin,
                             std::int64_t* end);

// One entry per step of `main_tl`: the column of the first bar of `series_tl`
// whose time is not earlier than the step's time, capped at the last column.
void kdata_current_bar(Vector series_tl, Vector main_tl, std::int64_t* out);

// One entry per single-period bar: true where the bar completes a group of
// `freq_num` bars.  Intraday frequencies (below the day code) restart their
// count whenever the day position changes (a NaN position equals nothing), and
// a day's last bar always completes; day and coarser frequencies count from
// the first bar.  The series' last bar always completes.
void fresh_mask(const Layout& layout, Vector day_pos, std::int64_t frequency, std::int64_t freq_num,
                bool* out);

// --- bar combination ----------------------------------------------------------

// Throws unless begin/end describe contiguous groups covering columns 0..n-1:
// begin[i] <= i <= end[i], equal over a group, each group starting right after
// the previous one ends.
void check_groups(Positions begin, Positions end, std::size_t n);

// Throws unless begin/end (one entry per target bar) are ascending,
// non-overlapping inclusive ranges of base columns 0..n_base-1, an empty range
// having begin = end + 1.
void check_ranges(Positions begin, Positions end, std::size_t n_base);

// Target bar j = combination of base columns begin[j]..end[j].  `out` has the
// rows of `target`; its header rows are copied from `target`.
void combine_matrix_h_to_l(const Layout& layout, Matrix base, Matrix target, Positions begin,
                           Positions end, OutMatrix out);

// Column i = state at base bar i of the bar whose group holds bar i.  `out`
// has the rows of `base`; its header rows are copied from `base`.
void combine_matrix_1_to_n(const Layout& layout, Matrix base, Positions begin, Positions end,
                           OutMatrix out);

// Like combine_matrix_1_to_n, but `out` holds the base time line in row 0 and
// the n_targets bar blocks from row 1 on; or the blocks alone, when it has
// n_targets * bar_len rows, at the last out.cols base bars (out.cols <= base.cols).
void data_value_fresh(const Layout& layout, Matrix base, Positions begin, Positions end,
                      std::size_t n_targets, OutMatrix out);

// State at each base bar of the registered bar's adjusted prices; `adj` and
// `out` hold n_targets blocks of adj_bar_len rows.  `base`, when given, is the
// unadjusted K matrix of the same bars, whose volume rows tell which bars traded.
void data_value_fresh_adj(const Layout& layout, Matrix adj, Positions begin, Positions end,
                          std::size_t n_targets, OutMatrix out, const Matrix* base = nullptr);

// --- fill tables and membership --------------------------------------------------

// For the target whose volume row is `volume`: `traded` (room for volume.size
// entries) receives the columns whose volume is positive, ascending, and their
// count is returned; bar_ref[c] is the position in `traded` of the last traded
// column at or before c, NaN before the first.
std::size_t unfill_complete(Vector volume, double* bar_ref, std::int64_t* traded);

// For each a[k]: found[k] whether it occurs in b, pos[k] the lowest such index
// of b, -1 when absent.  NaN is never a member.  O((n + m) log m).
void ismember(const double* a, std::size_t n, const double* b, std::size_t m, bool* found,
              std::int64_t* pos);

}  // namespace vornix::kernels
