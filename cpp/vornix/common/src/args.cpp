#include "vornix/common/args.hpp"

#include <climits>
#include <cmath>

#include "vornix/common/pyutil.hpp"

namespace vornix::common {

std::string shape_text(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) {
        if (d > 0) s += ", ";
        s += std::to_string(a.shape(d));
    }
    if (a.ndim() == 1) s += ",";
    return s + ")";
}

std::string dtype_text(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

py::array as_ndarray(py::handle obj, const char* name, const char* what) {
    if (!py::isinstance<py::array>(obj))
        throw py::type_error(std::string(name) + " must be a numpy " + what + " array, got " +
                             type_name(obj));
    return py::reinterpret_borrow<py::array>(obj);
}

void check_ndim(const py::array& a, const char* name, py::ssize_t ndim) {
    if (a.ndim() != ndim)
        throw py::value_error(std::string(name) + " must be " + (ndim == 1 ? "one" : "two") +
                              "-dimensional, got shape " + shape_text(a));
}

bool element_strided(const py::array& a) {
    const auto item = a.itemsize();
    if (reinterpret_cast<std::uintptr_t>(a.data()) % static_cast<std::uintptr_t>(item) != 0)
        return false;
    for (py::ssize_t d = 0; d < a.ndim(); ++d)
        if (a.strides(d) % item != 0) return false;
    return true;
}

// An aligned copy, for the rare array whose memory cannot be viewed.
py::array aligned_copy(const py::array& a) {
    return py::module_::import("numpy").attr("require")(a, py::none(), "A");
}

// float64 in the machine's byte order (checked on the descriptor, without
// building a dtype to compare with).
static bool native_float64(const py::array& a) {
    const auto* d = py::detail::array_descriptor_proxy(py::detail::array_proxy(a.ptr())->descr);
    return d->kind == 'f' && a.itemsize() == 8 &&
           (d->byteorder == '=' || d->byteorder == '<' || d->byteorder == '|');
}

py::array float64_array(py::handle obj, const char* name, py::ssize_t ndim) {
    py::array a = as_ndarray(obj, name, "float64");
    if (!native_float64(a))
        throw py::type_error(std::string(name) + " must have dtype float64, got " + dtype_text(a));
    check_ndim(a, name, ndim);
    return element_strided(a) ? a : aligned_copy(a);
}

kn::Matrix matrix_arg(py::handle obj, const char* name, Keep& keep) {
    py::array a = float64_array(obj, name, 2);
    keep.push_back(a);
    return kn::Matrix{static_cast<const double*>(a.data()), a.strides(0) / 8, a.strides(1) / 8,
                      static_cast<std::size_t>(a.shape(0)), static_cast<std::size_t>(a.shape(1))};
}

kn::Vector vector_arg(py::handle obj, const char* name, Keep& keep) {
    py::array a = float64_array(obj, name, 1);
    keep.push_back(a);
    return kn::Vector{static_cast<const double*>(a.data()), a.strides(0) / 8,
                      static_cast<std::size_t>(a.shape(0))};
}

kn::Positions positions_arg(py::handle obj, const char* name, Keep& keep) {
    py::array a = as_ndarray(obj, name, "integer");
    check_ndim(a, name, 1);
    const char kind = a.dtype().kind();
    if (py::array_t<std::int64_t>::check_(a)) {
        if (!element_strided(a)) a = aligned_copy(a);
    } else if (kind == 'i' || kind == 'u') {
        a = typed_array<std::int64_t, py::array::c_style>(a);
    } else if (kind == 'f') {
        auto f = typed_array<double, py::array::c_style>(a);
        py::array_t<std::int64_t> conv(f.shape(0));
        const double* src = f.data();
        std::int64_t* dst = conv.mutable_data();
        for (py::ssize_t i = 0; i < f.shape(0); ++i) {
            const double v = src[i];
            if (!(std::floor(v) == v) || std::fabs(v) > 9.0e15)
                throw py::value_error(std::string(name) + "[" + std::to_string(i) +
                                      "]=" + py::str(py::float_(v)).cast<std::string>() +
                                      " is not a whole-number position");
            dst[i] = static_cast<std::int64_t>(v);
        }
        a = conv;
    } else {
        throw py::type_error(std::string(name) + " must hold integer positions, got dtype " +
                             dtype_text(a));
    }
    keep.push_back(a);
    return kn::Positions{static_cast<const std::int64_t*>(a.data()), a.strides(0) / 8,
                         static_cast<std::size_t>(a.shape(0))};
}

std::int64_t int_arg(py::handle obj, const char* name) {
    const auto not_integer = [&] {
        return py::type_error(std::string(name) + " must be an integer, got " + type_name(obj) +
                              " " + repr_text(obj));
    };
    if (PyBool_Check(obj.ptr()) || !PyIndex_Check(obj.ptr())) throw not_integer();
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!index) {
        PyErr_Clear();
        throw not_integer();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0)
        throw py::value_error(std::string(name) + " is out of range: " + repr_text(obj));
    return static_cast<std::int64_t>(v);
}

void check_result_size(std::int64_t rows, std::int64_t cols, std::int64_t cell_bytes,
                       const char* name, std::int64_t value) {
    if (rows <= 0 || cols <= 0) return;
    const std::int64_t max_cells = kMaxResultBytes / cell_bytes;
    if (cols <= max_cells / rows) return;
    throw py::value_error(std::string(name) + "=" + std::to_string(value) +
                          " asks for a result of " + std::to_string(rows) + " x " +
                          std::to_string(cols) + " cells, more than the " +
                          std::to_string(max_cells) + " (1 GiB) one call returns");
}

std::size_t count_arg(py::handle obj, const char* name) {
    const std::int64_t v = int_arg(obj, name);
    if (v < 0)
        throw py::value_error(std::string(name) + " must not be negative, got " +
                              std::to_string(v));
    return static_cast<std::size_t>(v);
}

std::int32_t int32_arg(py::handle obj, const char* name) {
    if (!PyIndex_Check(obj.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer, got %s %R", name,
                     Py_TYPE(obj.ptr())->tp_name, obj.ptr());
        throw py::error_already_set();
    }
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s=%R does not fit a 32-bit signed integer", name,
                     obj.ptr());
        throw py::error_already_set();
    }
    return static_cast<std::int32_t>(v);
}

std::int64_t position_arg(py::handle obj, const char* name) {
    if (PyFloat_Check(obj.ptr())) {
        const double v = PyFloat_AsDouble(obj.ptr());
        if (!(std::floor(v) == v) || std::fabs(v) > 9.0e15)
            throw py::value_error(std::string(name) + " must be a whole-number position, got " +
                                  repr_text(obj));
        return static_cast<std::int64_t>(v);
    }
    if (PyBool_Check(obj.ptr()) || !PyIndex_Check(obj.ptr()))
        throw py::type_error(std::string(name) + " must be an integer position, got " +
                             type_name(obj) + " " + repr_text(obj));
    return int_arg(obj, name);
}

py::array_t<double> new_matrix(std::size_t rows, std::size_t cols) {
    return py::array_t<double>(
        std::vector<py::ssize_t>{static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
}

kn::OutMatrix out_view(py::array_t<double>& a) {
    return kn::OutMatrix{a.mutable_data(), static_cast<std::size_t>(a.shape(0)),
                         static_cast<std::size_t>(a.shape(1))};
}

py::array_t<std::int64_t> new_positions(std::size_t n) {
    return py::array_t<std::int64_t>(static_cast<py::ssize_t>(n));
}

}  // namespace vornix::common
