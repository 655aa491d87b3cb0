// Numeric kernels over raw buffers. No Python headers here.
#pragma once
#include <cstddef>
#include <cstdint>

namespace vornix::kernels {}  // namespace vornix::kernels
