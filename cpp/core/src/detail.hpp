// Private helpers of the kernel sources.
#pragma once
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace vornix::kernels::detail {

[[noreturn]] inline void fail(const std::string& message) { throw std::invalid_argument(message); }

inline std::string num(std::int64_t v) { return std::to_string(v); }
inline std::string num(std::size_t v) { return std::to_string(v); }
inline std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

}  // namespace vornix::kernels::detail
