// Binding of vornix.api.subscribe._windows: the float64 twins of the window
// functions of _subscribe, for callers that want numbers, not Python objects.
//
// The functions are plain vectorcall functions: they run once per step and
// registration, so the argument binding is kept to the minimum.
#include <pybind11/pybind11.h>

#include "vornix/common/kdata_window.hpp"
#include "vornix/common/layout.hpp"

namespace py = pybind11;

namespace {

vornix::kernels::Layout g_layout;

constexpr const char* kParams[] = {"reg_idx", "bar_pos", "length", "fill_up"};
constexpr Py_ssize_t kCount = 4;

// Binds positional and keyword arguments to the four parameters.
bool bind_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject* out[kCount]) {
    for (Py_ssize_t i = 0; i < kCount; ++i) out[i] = nullptr;
    if (nargs > kCount) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given",
                     fname, kCount, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = 0;
        while (i < kCount && PyUnicode_CompareWithASCIIString(key, kParams[i]) != 0) ++i;
        if (i == kCount) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname,
                         key);
            return false;
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname,
                         kParams[i]);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < kCount; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument: '%s'", fname,
                         kParams[i]);
            return false;
        }
    }
    return true;
}

template <bool Adjusted>
PyObject* window_values(const char* fname, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    PyObject* a[kCount];
    if (!bind_args(fname, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    try {
        return vornix::common::k_window_values(g_layout, a[0], a[1], a[2], a[3], Adjusted)
            .release()
            .ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyObject* get_reg_k_data_values(PyObject*, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) {
    return window_values<false>("get_reg_k_data_values", args, nargsf, kwnames);
}

PyObject* get_reg_k_data_adj_values(PyObject*, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames) {
    return window_values<true>("get_reg_k_data_adj_values", args, nargsf, kwnames);
}

PyMethodDef g_methods[] = {
    {"get_reg_k_data_values",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&get_reg_k_data_values)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_reg_k_data_values(reg_idx, bar_pos, length, fill_up)\n--\n\n"
     "The cells of _subscribe.get_reg_k_data as float64: (length * targets, 9), column 0 the "
     "target index, column 1 the bar time, then open, high, low, close, volume, turnover, "
     "open interest; NaN where no bar is shown."},
    {"get_reg_k_data_adj_values",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&get_reg_k_data_adj_values)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_reg_k_data_adj_values(reg_idx, bar_pos, length, fill_up)\n--\n\n"
     "The cells of _subscribe.get_reg_k_data_adj as float64: as get_reg_k_data_values, with "
     "open, high, low and close adjusted."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

PYBIND11_MODULE(_windows, m) {
    m.doc() =
        "Windows of registered data as float64 arrays (the cells of the _subscribe "
        "window functions, without a Python object per cell).";
    g_layout = vornix::common::read_layout();
    if (PyModule_AddFunctions(m.ptr(), g_methods) != 0) throw py::error_already_set();
}
