#include <pybind11/pybind11.h>

PYBIND11_MODULE(ualgo, m) { m.doc() = "Numeric kernels of vornix"; }
