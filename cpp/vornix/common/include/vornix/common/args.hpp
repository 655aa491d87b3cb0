// Conversion of Python arguments for the C++ code: numpy arrays viewed in place
// through their strides (copied only when their memory cannot be read as
// aligned float64/int64), integer arguments, and new output arrays.  Every
// check here is about types and shapes; the meaning of the values is checked
// by the code that uses them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vornix/kernels.hpp"

namespace vornix::common {

namespace py = pybind11;
namespace kn = vornix::kernels;

std::string shape_text(const py::array& a);
std::string dtype_text(const py::array& a);

// `obj` as an ndarray, or TypeError naming the argument and what it should be.
py::array as_ndarray(py::handle obj, const char* name, const char* what);
void check_ndim(const py::array& a, const char* name, py::ssize_t ndim);

// True when the array's memory can be read through element strides.
bool element_strided(const py::array& a);

// An aligned copy of `a`, for the rare array whose memory cannot be read through
// typed pointers (a view into a byte buffer at an odd offset).
py::array aligned_copy(const py::array& a);

// `obj` as an array of T, converted as a typed parameter would (forcecast, plus
// `Flags`), in memory aligned for T: a misaligned array is copied, never read
// through a misaligned pointer.
template <typename T, int Flags = 0>
py::array_t<T, Flags | py::array::forcecast> typed_array(py::handle obj) {
    using Array = py::array_t<T, Flags | py::array::forcecast>;
    Array a = Array::ensure(obj);
    if (!a) throw py::error_already_set();
    bool aligned = reinterpret_cast<std::uintptr_t>(a.data()) % alignof(T) == 0;
    for (py::ssize_t d = 0; aligned && d < a.ndim(); ++d)
        aligned = a.strides(d) % static_cast<py::ssize_t>(alignof(T)) == 0;
    if (!aligned) a = Array::ensure(aligned_copy(a));
    return a;
}

// float64 array of `ndim` dimensions, viewed in place where possible.
py::array float64_array(py::handle obj, const char* name, py::ssize_t ndim);

// Holds the arrays whose memory a kernel views, for the duration of a call.
using Keep = std::vector<py::object>;

kn::Matrix matrix_arg(py::handle obj, const char* name, Keep& keep);
kn::Vector vector_arg(py::handle obj, const char* name, Keep& keep);

// Position arrays: int64 is viewed; other integer dtypes are converted, and so
// are floating arrays (positions that went through a float cache) as long as
// every entry is a whole number.
kn::Positions positions_arg(py::handle obj, const char* name, Keep& keep);

// An integer argument (int or numpy integer, not bool): TypeError for other
// types, ValueError beyond 64 bits.
std::int64_t int_arg(py::handle obj, const char* name);
std::size_t count_arg(py::handle obj, const char* name);

// Conversion to a 32-bit signed integer as a typed parameter does it: anything
// with __index__ is accepted (bool included); other types raise TypeError and
// values beyond 32 bits OverflowError, both naming the parameter and value.
std::int32_t int32_arg(py::handle obj, const char* name);

// A position given as an int, a numpy integer or a float with a whole value
// (as the bar clock stores it).  NaN and fractions raise ValueError, other
std::int64_t position_arg(py::handle obj, const char* name);

// The most memory one call's result may take: 1 GiB.  A result of rows x cols
// cells of `cell_bytes` each beyond it (a window length or a count far beyond any
// stored series) is refused with ValueError naming the argument and its value,
// before anything is allocated.  An object cell counts the Python float it holds.
constexpr std::int64_t kMaxResultBytes = std::int64_t{1} << 30;
constexpr std::int64_t kObjectCellBytes = 32;
void check_result_size(std::int64_t rows, std::int64_t cols, std::int64_t cell_bytes,
                       const char* name, std::int64_t value);

py::array_t<double> new_matrix(std::size_t rows, std::size_t cols);
kn::OutMatrix out_view(py::array_t<double>& a);
py::array_t<std::int64_t> new_positions(std::size_t n);

}  // namespace vornix::common
