#include <pybind11/pybind11.h>

PYBIND11_MODULE(sysstate, m) { m.doc() = "State store and environment of a vornix run"; }
