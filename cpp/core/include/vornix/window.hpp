// Windows of registered bar series as a strategy sees them at one step: the
// last `length` bars of each target up to the step, the bar in progress shown
// in its state at the step.  Plain buffers only, no Python headers.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vornix::kernels {

// Where one target's window comes from.  Columns are bar positions in the
// series' K matrix; `first`..`last` (inclusive) are the candidate bars, `last`
// being the series' current bar at the step (-1 or `skip`: nothing to show).
struct WindowSource {
    double target_index = 0.0;
    const double* body = nullptr;       // the target's first bar-field row, column 0
    std::ptrdiff_t row_stride = 0;      // in elements
    std::ptrdiff_t col_stride = 1;      // in elements
    const double* time_line = nullptr;  // the series' bar times
    std::ptrdiff_t time_stride = 1;
    std::int64_t first = 0;
    std::int64_t last = -1;
    bool skip = false;
    // The bar in progress at the step: `bar_len` values with stride
    // `fresh_stride`, shown at `fresh_time` in place of column `last`.
    // Null when the series has no refresh rows (its current bar is complete).
    const double* fresh = nullptr;
    std::ptrdiff_t fresh_stride = 0;
    double fresh_time = 0.0;
    // Price-adjusted windows: the first four fields (open, high, low, close)
    // come from these rows (column 0 of each; columns `adj_col_stride` apart)
    // instead of `body`, and for the bar in progress from `adj_fresh`.  Null
    // for unadjusted windows.
    const double* adj_field[4] = {nullptr, nullptr, nullptr, nullptr};
    std::ptrdiff_t adj_col_stride = 1;
    const double* adj_fresh[4] = {nullptr, nullptr, nullptr, nullptr};
};

// Writes the windows of `n` targets into `out`: `n * length` rows of
// `2 + bar_len` columns, C order.  Block i (rows i*length .. (i+1)*length)
// holds target i, right-aligned: column 0 the target index in every row,
// column 1 the bar time, then the bar fields; rows without a bar hold NaN
// from column 1 on.
// `real_only` false: every bar first..last.  `real_only` true: only bars whose
// volume (field `volume_offset`) is above 0, the bar in progress included
// (tested on its state at the step); the last `length` of them.
void k_window(const WindowSource* sources, std::size_t n, std::size_t length, std::size_t bar_len,
              std::size_t volume_offset, bool real_only, double* out);

}  // namespace vornix::kernels
