// Binds a table of framework operations (vornix/tframe/contracts) into a module.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

#include "vornix/tframe/contracts/contracts.hpp"

namespace vornix::common {

// Imports every entry in order and binds it on `m`; a failing import raises
// the import system's own error.
void bind_imports(pybind11::module_& m, const contracts::Import* table, std::size_t count);

template <std::size_t N>
void bind_imports(pybind11::module_& m, const contracts::Import (&table)[N]) {
    bind_imports(m, table, N);
}

}  // namespace vornix::common
