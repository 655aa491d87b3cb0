// Bar combination: several base bars become one bar, either complete (high to
// low frequency) or in its state at every base bar (bars in progress).
//
// Combination rule (the only one; the binding's `rule` argument 0 selects it):
// - a bar traded when its volume is positive; bars that did not trade, NaN
//   bars of targets not listed yet among them, contribute nothing;
// - open = open of the first bar that traded, high = largest known high,
//   low = smallest known low, close and open interest = those of the last bar
//   that traded, volume = sum, turnover = sum of the known turnovers;
// - a group in which nothing traded (yet) is a filled bar: open, high, low and
//   close = the last non-NaN close of any base column before the group (NaN if
//   none), volume and turnover 0, open interest = the last non-NaN open
//   interest before the group (NaN if none).
// The state at base bar i only ever reads base columns up to i: nothing later
// can influence it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "detail.hpp"
#include "vornix/kernels.hpp"

namespace vornix::kernels {

using detail::fail;
using detail::num;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline std::size_t idx(std::int64_t v) { return static_cast<std::size_t>(v); }

// Running combination of one K bar.
class KBar {
  public:
    void start(double prev_close, double prev_oi) {
        traded_ = false;
        prev_close_ = prev_close;
        prev_oi_ = prev_oi;
    }

    void add(double o, double h, double l, double c, double v, double t, double oi) {
        if (!(v > 0)) return;
        if (!traded_) {
            traded_ = true;
            open_ = o;
            high_ = h;
            low_ = l;
            volume_ = 0.0;
            turnover_ = 0.0;
        } else {
            if (std::isnan(high_) || h > high_) high_ = h;
            if (std::isnan(low_) || l < low_) low_ = l;
        }
        close_ = c;
        oi_ = oi;
        volume_ += v;
        if (!std::isnan(t)) turnover_ += t;
    }

    // Writes the bar into column c of the seven field rows.
    void write(double* const* rows, std::size_t c) const {
        if (traded_) {
            rows[0][c] = open_;
            rows[1][c] = high_;
            rows[2][c] = low_;
            rows[3][c] = close_;
            rows[4][c] = volume_;
            rows[5][c] = turnover_;
            rows[6][c] = oi_;
        } else {
            rows[0][c] = rows[1][c] = rows[2][c] = rows[3][c] = prev_close_;
            rows[4][c] = 0.0;
            rows[5][c] = 0.0;
            rows[6][c] = prev_oi_;
        }
    }

  private:
    bool traded_ = false;
    double prev_close_ = kNaN, prev_oi_ = kNaN;
    double open_ = kNaN, high_ = kNaN, low_ = kNaN, close_ = kNaN;
    double volume_ = 0.0, turnover_ = 0.0, oi_ = kNaN;
};

// Input rows of one target's seven fields, in the order open, high, low,
// close, volume, turnover, open interest.
struct KBlockIn {
    Vector f[7];
    KBlockIn(const Layout& L, const Matrix& m, std::size_t first_row) {
        const auto offs = bar_fields(L);
        for (std::size_t k = 0; k < 7; ++k) f[k] = m.row(first_row + idx(offs[k]));
    }
};

struct KBlockOut {
    double* f[7];
    KBlockOut(const Layout& L, const OutMatrix& m, std::size_t first_row) {
        const auto offs = bar_fields(L);
        for (std::size_t k = 0; k < 7; ++k) f[k] = m.row(first_row + idx(offs[k]));
    }
};

void copy_row(Vector in, double* out) {
    if (in.size == 0) return;
    if (in.stride == 1) {
        std::memcpy(out, in.data, in.size * sizeof(double));
        return;
    }
    for (std::size_t c = 0; c < in.size; ++c) out[c] = in[c];
}

// Number of targets of a K matrix with `rows` rows; throws unless the rows are
// a header plus whole target blocks.
std::size_t k_targets(const Layout& L, std::size_t rows, const char* name) {
    const auto head = idx(L.head_len), bar = idx(L.bar_len);
    if (rows < head || (rows - head) % bar != 0)
        fail(std::string(name) + " has " + num(rows) + " rows; a K matrix has " + num(head) +
             " header rows plus " + num(bar) + " rows per target");
    return (rows - head) / bar;
}

// Bars in progress of one K block: column i - skip of `out` = state at base
// bar i, for the base bars from `skip` on (the bars before only build the state).
void k_block_in_progress(const KBlockIn& in, Positions begin, const KBlockOut& out,
                         std::size_t skip = 0) {
    double last_close = kNaN, last_oi = kNaN;
    KBar bar;
    const std::size_t n = begin.size;
    for (std::size_t i = 0; i < n; ++i) {
        if (idx(begin[i]) == i) bar.start(last_close, last_oi);
        const double c = in.f[3][i], oi = in.f[6][i];
        bar.add(in.f[0][i], in.f[1][i], in.f[2][i], c, in.f[4][i], in.f[5][i], oi);
        if (i >= skip) bar.write(out.f, i - skip);
        if (!std::isnan(c)) last_close = c;
        if (!std::isnan(oi)) last_oi = oi;
    }
}

}  // namespace

void check_groups(Positions begin, Positions end, std::size_t n) {
    if (begin.size != n)
        fail("begin has " + num(begin.size) + " entries, expected " + num(n) +
             " (one per base column)");
    if (end.size != n)
        fail("end has " + num(end.size) + " entries, expected " + num(n) +
             " (one per base column)");
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t b = begin[i], e = end[i];
        const auto ii = static_cast<std::int64_t>(i);
        if (b < 0 || b > ii)
            fail("begin[" + num(i) + "]=" + num(b) + " is not a group start at or before column " +
                 num(i));
        if (e < ii || e >= static_cast<std::int64_t>(n))
            fail("end[" + num(i) + "]=" + num(e) + " is not a group end between column " + num(i) +
                 " and the last column " + num(n - 1));
        if (i == 0) continue;
        if (b == ii) {
            if (end[i - 1] != ii - 1)
                fail("begin[" + num(i) + "]=" + num(b) + " starts a group while end[" + num(i - 1) +
                     "]=" + num(end[i - 1]) + " says the previous one goes on");
        } else if (b != begin[i - 1] || e != end[i - 1]) {
            fail("begin/end at column " + num(i) + " (" + num(b) + ", " + num(e) +
                 ") differ from column " + num(i - 1) + " (" + num(begin[i - 1]) + ", " +
                 num(end[i - 1]) + ") inside one group");
        }
    }
}

void check_ranges(Positions begin, Positions end, std::size_t n_base) {
    if (end.size != begin.size)
        fail("end has " + num(end.size) + " entries but begin has " + num(begin.size));
    const auto n = static_cast<std::int64_t>(n_base);
    std::int64_t prev_end = -1;
    for (std::size_t j = 0; j < begin.size; ++j) {
        const std::int64_t b = begin[j], e = end[j];
        if (b <= prev_end || b > n)
            fail("begin[" + num(j) + "]=" + num(b) +
                 " must lie after the previous range and not beyond " + num(n));
        if (e < b - 1 || e >= n)
            fail("end[" + num(j) + "]=" + num(e) + " must be between begin-1=" + num(b - 1) +
                 " and the last base column " + num(n - 1));
        prev_end = std::max(prev_end, e);
    }
}

void combine_matrix_h_to_l(const Layout& L, Matrix base, Matrix target, Positions begin,
                           Positions end, OutMatrix out) {
    const std::size_t n_targets = k_targets(L, base.rows, "base");
    if (k_targets(L, target.rows, "target") != n_targets)
        fail("target has " + num(target.rows) + " rows but base has " + num(base.rows) +
             "; both must hold the same targets");
    if (begin.size != target.cols)
        fail("begin has " + num(begin.size) + " entries, expected " + num(target.cols) +
             " (one per target bar)");
    check_ranges(begin, end, base.cols);
    if (out.rows != target.rows || out.cols != target.cols) fail("output shape mismatch");

    const auto head = idx(L.head_len);
    for (std::size_t r = 0; r < head; ++r) copy_row(target.row(r), out.row(r));
    for (std::size_t t = 0; t < n_targets; ++t) {
        const std::size_t row0 = head + t * idx(L.bar_len);
        const KBlockIn in(L, base, row0);
        const KBlockOut o(L, out, row0);
        double last_close = kNaN, last_oi = kNaN;
        std::size_t scanned = 0;  // base columns folded into last_close/last_oi
        KBar bar;
        for (std::size_t j = 0; j < target.cols; ++j) {
            const std::size_t b = idx(begin[j]);
            const auto e = end[j];
            for (; scanned < b; ++scanned) {
                const double c = in.f[3][scanned], oi = in.f[6][scanned];
                if (!std::isnan(c)) last_close = c;
                if (!std::isnan(oi)) last_oi = oi;
            }
            bar.start(last_close, last_oi);
            for (std::size_t i = b; static_cast<std::int64_t>(i) <= e; ++i)
                bar.add(in.f[0][i], in.f[1][i], in.f[2][i], in.f[3][i], in.f[4][i], in.f[5][i],
                        in.f[6][i]);
            bar.write(o.f, j);
        }
    }
}

void combine_matrix_1_to_n(const Layout& L, Matrix base, Positions begin, Positions end,
                           OutMatrix out) {
    const std::size_t n_targets = k_targets(L, base.rows, "base");
    check_groups(begin, end, base.cols);
    if (out.rows != base.rows || out.cols != base.cols) fail("output shape mismatch");
    const auto head = idx(L.head_len);
    for (std::size_t r = 0; r < head; ++r) copy_row(base.row(r), out.row(r));
    for (std::size_t t = 0; t < n_targets; ++t) {
        const std::size_t row0 = head + t * idx(L.bar_len);
        k_block_in_progress(KBlockIn(L, base, row0), begin, KBlockOut(L, out, row0));
    }
}

void data_value_fresh(const Layout& L, Matrix base, Positions begin, Positions end,
                      std::size_t n_targets, OutMatrix out) {
    const std::size_t have = k_targets(L, base.rows, "base");
    if (have != n_targets)
        fail("n_targets=" + num(n_targets) + " but base holds " + num(have) + " targets");
    check_groups(begin, end, base.cols);
    // the time line in row 0, unless the output holds the target blocks alone
    // and, without the time line, the states at the last out.cols base bars only
    const std::size_t head = out.rows == n_targets * idx(L.bar_len) ? 0 : 1;
    if (out.rows != head + n_targets * idx(L.bar_len) || out.cols > base.cols ||
        (head && out.cols != base.cols))
        fail("output shape mismatch");
    const std::size_t skip = base.cols - out.cols;
    if (head) copy_row(base.row(idx(L.time_line_row)), out.row(0));
    for (std::size_t t = 0; t < n_targets; ++t) {
        const std::size_t in0 = idx(L.head_len) + t * idx(L.bar_len);
        const std::size_t out0 = head + t * idx(L.bar_len);
        k_block_in_progress(KBlockIn(L, base, in0), begin, KBlockOut(L, out, out0), skip);
    }
}

void data_value_fresh_adj(const Layout& L, Matrix adj, Positions begin, Positions end,
                          std::size_t n_targets, OutMatrix out, const Matrix* base) {
    const auto bar_len = idx(L.adj_bar_len);
    if (adj.rows % bar_len != 0 || adj.rows / bar_len != n_targets)
        fail("n_targets=" + num(n_targets) + " needs an adj_base of " + num(n_targets * bar_len) +
             " rows, got " + num(adj.rows));
    check_groups(begin, end, adj.cols);
    if (out.rows != adj.rows || out.cols != adj.cols) fail("output shape mismatch");
    if (base != nullptr) {
        if (k_targets(L, base->rows, "base") != n_targets)
            fail("base has " + num(base->rows) + " rows, not the header and " + num(n_targets) +
                 " target blocks of adj_base");
        if (base->cols != adj.cols)
            fail("base has " + num(base->cols) + " columns, adj_base " + num(adj.cols) +
                 "; both hold the same bars");
    }
    // With the unadjusted base, a bar traded when its volume is positive, as in
    // every other combination.  Without it there is no volume row: a bar then
    // counts as not traded when any of its prices is NaN, or when open, high,
    // low and close all equal the last close before it (the shape of a filled
    // bar; a real bar that traded flat at the previous close is taken for one).
    const auto offs = adj_bar_fields(L);
    const auto volume_offset = idx(bar_fields(L)[4]);
    for (std::size_t t = 0; t < n_targets; ++t) {
        Vector in[4];
        double* o[4];
        for (std::size_t k = 0; k < 4; ++k) {
            in[k] = adj.row(t * bar_len + idx(offs[k]));
            o[k] = out.row(t * bar_len + idx(offs[k]));
        }
        Vector volume;
        if (base != nullptr)
            volume = base->row(idx(L.head_len) + t * idx(L.bar_len) + volume_offset);
        double last_close = kNaN;  // last non-NaN close before the current column
        double group_prev = kNaN;  // last non-NaN close before the current group
        bool traded = false;
        double op = kNaN, hi = kNaN, lo = kNaN, cl = kNaN;
        for (std::size_t i = 0; i < adj.cols; ++i) {
            if (idx(begin[i]) == i) {
                traded = false;
                group_prev = last_close;
            }
            const double bo = in[0][i], bh = in[1][i], bl = in[2][i], bc = in[3][i];
            bool trades;
            if (base != nullptr) {
                trades = volume[i] > 0;
            } else {
                const bool has_nan =
                    std::isnan(bo) || std::isnan(bh) || std::isnan(bl) || std::isnan(bc);
                trades = !has_nan && !(bo == last_close && bh == last_close && bl == last_close &&
                                       bc == last_close);
            }
            if (trades) {
                if (!traded) {
                    traded = true;
                    op = bo;
                    hi = bh;
                    lo = bl;
                } else {
                    if (std::isnan(hi) || bh > hi) hi = bh;
                    if (std::isnan(lo) || bl < lo) lo = bl;
                }
                cl = bc;
            }
            if (traded) {
                o[0][i] = op;
                o[1][i] = hi;
                o[2][i] = lo;
                o[3][i] = cl;
            } else {
                o[0][i] = o[1][i] = o[2][i] = o[3][i] = group_prev;
            }
            if (!std::isnan(bc)) last_close = bc;
        }
    }
}

}  // namespace vornix::kernels
