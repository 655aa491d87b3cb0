#include "vornix/window.hpp"

#include <algorithm>
#include <limits>

namespace vornix::kernels {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Copies bar `col` of `src` (or the bar in progress when `col` is the current
// bar and the series has refresh rows) into one output row.
void put_bar(const WindowSource& src, std::int64_t col, std::size_t bar_len, double* row) {
    const bool adjusted = src.adj_field[0] != nullptr;
    if (src.fresh != nullptr && col == src.last) {
        row[1] = src.fresh_time;
        for (std::size_t f = 0; f < bar_len; ++f)
            row[2 + f] = src.fresh[static_cast<std::ptrdiff_t>(f) * src.fresh_stride];
        if (adjusted)
            for (std::size_t f = 0; f < 4; ++f) row[2 + f] = *src.adj_fresh[f];
        return;
    }
    row[1] = src.time_line[col * src.time_stride];
    const double* cell = src.body + col * src.col_stride;
    for (std::size_t f = 0; f < bar_len; ++f)
        row[2 + f] = cell[static_cast<std::ptrdiff_t>(f) * src.row_stride];
    if (adjusted)
        for (std::size_t f = 0; f < 4; ++f) row[2 + f] = src.adj_field[f][col * src.adj_col_stride];
}

double volume_of(const WindowSource& src, std::int64_t col, std::size_t volume_offset) {
    const auto off = static_cast<std::ptrdiff_t>(volume_offset);
    if (src.fresh != nullptr && col == src.last) return src.fresh[off * src.fresh_stride];
    return src.body[col * src.col_stride + off * src.row_stride];
}

}  // namespace

void k_window(const WindowSource* sources, std::size_t n, std::size_t length, std::size_t bar_len,
              std::size_t volume_offset, bool real_only, double* out) {
    const std::size_t width = 2 + bar_len;
    for (std::size_t i = 0; i < n; ++i) {
        const WindowSource& src = sources[i];
        double* block = out + i * length * width;
        for (std::size_t r = 0; r < length; ++r) {
            double* row = block + r * width;
            row[0] = src.target_index;
            std::fill(row + 1, row + width, kNaN);
        }
        if (src.skip || src.last < src.first || length == 0) continue;
        // Walk back from the current bar, filling rows from the block's end.
        std::size_t filled = 0;
        for (std::int64_t col = src.last; col >= src.first && filled < length; --col) {
            if (real_only && !(volume_of(src, col, volume_offset) > 0.0)) continue;
            put_bar(src, col, bar_len, block + (length - 1 - filled) * width);
            ++filled;
        }
    }
}

}  // namespace vornix::kernels
