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

void check_layout(const Layout& L) {
    if (L.head_len < 1) fail("layout: head length must be positive, got " + num(L.head_len));
    if (L.time_line_row < 0 || L.time_line_row >= L.head_len)
        fail("layout: time-line row " + num(L.time_line_row) + " lies outside the header");
    const std::int64_t fields[] = {L.open,   L.high,     L.low,          L.close,
                                   L.volume, L.turnover, L.open_interest};
    if (L.bar_len != 7) fail("layout: bar length must be 7, got " + num(L.bar_len));
    bool seen[7] = {};
    for (std::int64_t f : fields) {
        if (f < 0 || f >= L.bar_len || seen[f])
            fail("layout: bar field offsets must be distinct and below the bar length");
        seen[f] = true;
    }
    const std::int64_t adj_fields[] = {L.adj_open, L.adj_high, L.adj_low, L.adj_close};
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

void check_time_line(Vector tl, const char* name) {
    for (std::size_t i = 0; i < tl.size; ++i) {
        const double t = tl[i];
        if (std::isnan(t)) fail(std::string(name) + "[" + num(i) + "] is NaN");
        if (i > 0 && t < tl[i - 1])
            fail(std::string(name) + " must ascend, but " + name + "[" + num(i) + "]=" + num(t) +
                 " < " + name + "[" + num(i - 1) + "]=" + num(tl[i - 1]));
    }
}

void kdata_begin_end_pos(Vector base_tl, Vector target_tl, std::int64_t* begin,
                         std::int64_t* end) {
    check_time_line(base_tl, "base_tl");
    check_time_line(target_tl, "target_tl");
    // Both lines ascend, so each bar takes the base bars left over by the
    // previous ones up to its own time: one merge walk.
    std::size_t k = 0;
    for (std::size_t j = 0; j < target_tl.size; ++j) {
        const std::size_t first = k;
        const double t = target_tl[j];
        while (k < base_tl.size && base_tl[k] <= t) ++k;
        begin[j] = static_cast<std::int64_t>(first);
        end[j] = static_cast<std::int64_t>(k) - 1;
    }
}

void reg_kdata_begin_end_pos(Vector base_tl, Vector second_tl, std::int64_t* begin,
                             std::int64_t* end) {
    check_time_line(base_tl, "base_tl");
    check_time_line(second_tl, "second_tl");
    const std::size_t n = base_tl.size;
    // Forward: group number of each base bar (kept in `end` for now) and the
    // position where its group begins.
    std::size_t g = 0;
    std::int64_t start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = base_tl[i];
        while (g < second_tl.size && second_tl[g] < t) ++g;
        const auto gid = static_cast<std::int64_t>(g);
        if (i > 0 && gid != end[i - 1]) start = static_cast<std::int64_t>(i);
        begin[i] = start;
        end[i] = gid;
    }
    // Backward: replace group numbers by the position where the group ends.
    std::int64_t last = static_cast<std::int64_t>(n) - 1;
    std::int64_t next_gid = -1;
    for (std::size_t r = n; r-- > 0;) {
        const std::int64_t gid = end[r];
        if (r + 1 < n && gid != next_gid) last = static_cast<std::int64_t>(r);
        next_gid = gid;
        end[r] = last;
    }
}

void kdata_current_bar(Vector series_tl, Vector main_tl, std::int64_t* out) {
    if (series_tl.size == 0) fail("series_tl is empty: a series needs at least one bar");
    check_time_line(series_tl, "series_tl");
    check_time_line(main_tl, "main_tl");
    const std::size_t last = series_tl.size - 1;
    std::size_t k = 0;
    for (std::size_t s = 0; s < main_tl.size; ++s) {
        const double t = main_tl[s];
        while (k < series_tl.size && series_tl[k] < t) ++k;
        out[s] = static_cast<std::int64_t>(std::min(k, last));
    }
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
        for (std::size_t i = 0; i < n; ++i) out[i] = (i + 1) % group == 0;
        out[n - 1] = true;
        return;
    }
    // Intraday: groups never cross a trading day; a change of the day position
    // starts a new day (two NaN positions count as the same day).
    auto same_day = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ++count;
        const bool day_ends = i + 1 == n || !same_day(day_pos[i], day_pos[i + 1]);
        out[i] = count == group || day_ends;
        if (out[i]) count = 0;
    }
}

// --- fill tables and membership ---------------------------------------------------

void unfill_complete(Vector volume, double* bar_ref, std::vector<std::int64_t>& traded) {
    traded.clear();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t c = 0; c < volume.size; ++c) {
        if (volume[c] > 0) traded.push_back(static_cast<std::int64_t>(c));
        bar_ref[c] = traded.empty() ? nan : static_cast<double>(traded.size() - 1);
    }
}

void ismember(const double* a, std::size_t n, const double* b, std::size_t m, bool* found,
              std::int64_t* pos) {
    // Sort b's positions by (value, position) and keep the first of each value,
    // so a binary search finds the lowest position directly.
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
    for (std::size_t k = 0; k < n; ++k) {
        const double v = a[k];
        found[k] = false;
        pos[k] = -1;
        if (std::isnan(v)) continue;
        auto it = std::lower_bound(order.begin(), order.end(), v,
                                   [b](std::int64_t x, double value) { return b[x] < value; });
        if (it != order.end() && b[*it] == v) {
            found[k] = true;
            pos[k] = *it;
        }
    }
}

}  // namespace vornix::kernels
