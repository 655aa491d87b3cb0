#include "vornix/common/imports.hpp"

namespace vornix::common {

namespace py = pybind11;

void bind_imports(py::module_& m, const contracts::Import* table, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const contracts::Import& entry = table[i];
        py::module_ source = py::module_::import(entry.module);
        m.attr(entry.as) = entry.name ? py::object(source.attr(entry.name)) : py::object(source);
    }
}

}  // namespace vornix::common
