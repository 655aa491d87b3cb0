// Layout checks, time-line kernels, fill tables and membership.
#include "vornix/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "detail.hpp"

namespace vornix::kernels {

using detail::fail;
using detail::num;

std::array<std::int64_t, 7> bar_fields(const Layout& L) {
    return {L.open, L.high, L.low, L.close, L.volume, L.turnover, L.open_interest};
}

std::array<std::int64_t, 4> adj_bar_fields(const Layout& L) {
    return {L.adj_open, L.adj_high, L.adj_low, L.adj_close};
}

void check_layout(const Layout& L) {
    if (L.head_len < 1) fail("layout: head length must be positive, got " + num(L.head_len));
    if (L.time_line_row < 0 || L.time_line_row >= L.head_len)
        fail("layout: time-line row " + num(L.time_line_row) + " lies outside the header");
    const auto fields = bar_fields(L);
    if (L.bar_len != 7) fail("layout: bar length must be 7, got " + num(L.bar_len));
    bool seen[7] = {};
    for (std::int64_t f : fields) {
        if (f < 0 || f >= L.bar_len || seen[f])
            fail("layout: bar field offsets must be distinct and below the bar length");
        seen[f] = true;
    }
    const auto adj_fields = adj_bar_fields(L);
    if (L.adj_bar_len != 4)
        fail("layout: adjusted bar length must be 4, got " + num(L.adj_bar_len));
    bool adj_seen[4] = {};
    for (std::int64_t f : adj_fields) {
        if (f < 0 || f >= L.adj_bar_len || adj_seen[f])
            fail("layout: adjusted field offsets must be distinct and below the bar length");
        adj_seen[f] = true;
    }
    if (!(L.freq_tick < L.freq_min && L.freq_min < L.freq_day && L.freq_day < L.freq_week &&
          L.freq_week < L.freq_month && L.freq_month < L.freq_year))
        fail("layout: frequency codes must ascend from tick to year");
}

// --- time lines ---------------------------------------------------------------

namespace {

// True when tl is NaN-free and non-decreasing: one cheap pass without early
// exit (a failed a >= b also catches NaN); the pass that finds the culprit for
// the message runs only on failure.
bool time_line_ok(Vector tl) {
    if (tl.size == 0) return true;
    std::size_t bad = std::isnan(tl[0]) ? 1 : 0;
    if (tl.stride == 1) {
        const double* p = tl.data;
        for (std::size_t i = 1; i < tl.size; ++i) bad += p[i] >= p[i - 1] ? 0 : 1;
    } else {
        for (std::size_t i = 1; i < tl.size; ++i) bad += tl[i] >= tl[i - 1] ? 0 : 1;
    }
    return bad == 0;
}

// First position at or after `lo` whose value is greater than t on an
// ascending line.  Gallops from `lo` before the binary search, so short steps
// (one group of bars) cost a few comparisons.
std::size_t search_after(Vector tl, double t, std::size_t lo) {
    auto before = [&](std::size_t i) { return tl[i] <= t; };
    std::size_t step = 1;
    std::size_t hi = lo;
    while (hi < tl.size && before(hi)) {
        lo = hi + 1;
        hi = lo + step;
        step *= 2;
    }
    hi = std::min(hi, tl.size);
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (before(mid))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

}  // namespace

void check_time_line(Vector tl, const char* name) {
    if (time_line_ok(tl)) return;
    for (std::size_t i = 0; i < tl.size; ++i) {
        const double t = tl[i];
        if (std::isnan(t)) fail(std::string(name) + "[" + num(i) + "] is NaN");
        if (i > 0 && t < tl[i - 1])
            fail(std::string(name) + " must ascend, but " + name + "[" + num(i) + "]=" + num(t) +
                 " < " + name + "[" + num(i - 1) + "]=" + num(tl[i - 1]));
    }
}

void kdata_begin_end_pos(Vector base_tl, Vector target_tl, std::int64_t* begin, std::int64_t* end) {
    check_time_line(base_tl, "base_tl");
    check_time_line(target_tl, "target_tl");
    // Each bar takes the base bars left over by the previous ones up to its own
    // time; its last one is found by binary search from where the previous ended.
    std::size_t k = 0;
    for (std::size_t j = 0; j < target_tl.size; ++j) {
        const std::size_t first = k;
        k = search_after(base_tl, target_tl[j], k);
        begin[j] = static_cast<std::int64_t>(first);
        end[j] = static_cast<std::int64_t>(k) - 1;
    }
}

void reg_kdata_begin_end_pos(Vector base_tl, Vector second_tl, std::int64_t* begin,
                             std::int64_t* end) {
    check_time_line(base_tl, "base_tl");
    check_time_line(second_tl, "second_tl");
    const std::size_t n = base_tl.size;
    // Walk the groups: each second-line bar's group runs up to the last base bar
    // not later than it; bars later than the whole second line form the last.
    std::size_t start = 0;
    for (std::size_t g = 0; start < n; ++g) {
        const std::size_t stop =
            g < second_tl.size ? search_after(base_tl, second_tl[g], start) : n;
        const auto b = static_cast<std::int64_t>(start);
        const auto e = static_cast<std::int64_t>(stop) - 1;
        for (std::size_t i = start; i < stop; ++i) {
            begin[i] = b;
            end[i] = e;
        }
        start = stop;
    }
}

void kdata_current_bar(Vector series_tl, Vector main_tl, std::int64_t* out) {
    if (series_tl.size == 0) fail("series_tl is empty: a series needs at least one bar");
    check_time_line(series_tl, "series_tl");
    check_time_line(main_tl, "main_tl");
    // Series bar k is current for the steps after bar k-1's time up to its own;
    // steps later than the whole series see its last bar.
    std::size_t s = 0;
    for (std::size_t k = 0; k < series_tl.size && s < main_tl.size; ++k) {
        const std::size_t stop = search_after(main_tl, series_tl[k], s);
        for (; s < stop; ++s) out[s] = static_cast<std::int64_t>(k);
    }
    for (; s < main_tl.size; ++s) out[s] = static_cast<std::int64_t>(series_tl.size - 1);
}

void fresh_mask(const Layout& L, Vector day_pos, std::int64_t frequency, std::int64_t freq_num,
                bool* out) {
    const std::int64_t codes[] = {L.freq_tick, L.freq_min,   L.freq_day,
                                  L.freq_week, L.freq_month, L.freq_year};
    if (std::find(std::begin(codes), std::end(codes), frequency) == std::end(codes))
        fail("frequency_i=" + num(frequency) + " is not a known frequency code");
    if (freq_num < 1) fail("freq_num must be at least 1, got " + num(freq_num));
    const std::size_t n = day_pos.size;
    if (n == 0) return;
    const auto group = static_cast<std::size_t>(freq_num);
    if (frequency >= L.freq_day) {
        // day and coarser: plain groups of `group` bars from the first one
        std::fill(out, out + n, false);
        for (std::size_t i = group - 1; i < n; i += group) out[i] = true;
        out[n - 1] = true;
        return;
    }
    // Intraday: groups never cross a trading day; a change of the day position
    // starts a new day (a NaN position equals nothing, so such a bar is a day
    // of its own).  Walk the days, flagging every group's last bar in each.
    std::fill(out, out + n, false);
    std::size_t i = 0;
    while (i < n) {
        const double day = day_pos[i];
        std::size_t next = i + 1;
        while (next < n && day_pos[next] == day) ++next;
        for (std::size_t k = i + group - 1; k < next; k += group) out[k] = true;
        out[next - 1] = true;
        i = next;
    }
}

// --- fill tables and membership ---------------------------------------------------

std::size_t unfill_complete(Vector volume, double* bar_ref, std::int64_t* traded) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::size_t count = 0;
    for (std::size_t c = 0; c < volume.size; ++c) {
        // branch-free: always store the column, advance only when it traded
        traded[count] = static_cast<std::int64_t>(c);
        count += volume[c] > 0 ? 1 : 0;
        bar_ref[c] = count == 0 ? nan : static_cast<double>(count - 1);
    }
    return count;
}

void ismember(const double* a, std::size_t n, const double* b, std::size_t m, bool* found,
              std::int64_t* pos) {
    // Sort b's positions by (value, position) and keep the first of each value,
    // so a binary search over the distinct values finds the lowest position.
    std::vector<std::int64_t> order;
    order.reserve(m);
    for (std::size_t j = 0; j < m; ++j)
        if (!std::isnan(b[j])) order.push_back(static_cast<std::int64_t>(j));
    std::sort(order.begin(), order.end(), [b](std::int64_t x, std::int64_t y) {
        return b[x] < b[y] || (b[x] == b[y] && x < y);
    });
    order.erase(std::unique(order.begin(), order.end(),
                            [b](std::int64_t x, std::int64_t y) { return b[x] == b[y]; }),
                order.end());
    std::vector<double> values(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) values[k] = b[order[k]];

    // Runs of equal values in a (days of a floored time line) reuse the answer.
    double prev = std::numeric_limits<double>::quiet_NaN();
    bool prev_found = false;
    std::int64_t prev_pos = -1;
    for (std::size_t k = 0; k < n; ++k) {
        const double v = a[k];
        if (!(v == prev)) {
            prev = v;
            prev_found = false;
            prev_pos = -1;
            if (!std::isnan(v)) {
                auto it = std::lower_bound(values.begin(), values.end(), v);
                if (it != values.end() && *it == v) {
                    prev_found = true;
                    prev_pos = order[static_cast<std::size_t>(it - values.begin())];
                }
            }
        }
        found[k] = prev_found;
        pos[k] = prev_pos;
    }
}

}  // namespace vornix::kernels
