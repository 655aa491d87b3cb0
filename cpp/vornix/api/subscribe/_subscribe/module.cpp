// Binding of vornix.api.subscribe._subscribe: the names bound at import, then
// the module functions.
#include "subscribe.hpp"
#include "vornix/common/imports.hpp"
#include "vornix/common/layout.hpp"

namespace py = pybind11;
namespace sub = vornix::subscribe;

namespace {

PyObject* g_module = nullptr;  // owned for the life of the process
vornix::kernels::Layout g_layout;

}  // namespace

namespace vornix::subscribe {

py::module_ module() { return py::reinterpret_borrow<py::module_>(g_module); }

const vornix::kernels::Layout& layout() { return g_layout; }

py::object bound(const char* name) { return module().attr(name); }

}  // namespace vornix::subscribe

PYBIND11_MODULE(_subscribe, m) {
    g_module = m.inc_ref().ptr();
    m.doc() =
        "Registration of bar series, factors and user data for a strategy run, and the "
        "windows of them that the strategy reads at each step without look-ahead.";

    vornix::common::bind_imports(m, vornix::contracts::kSubscribe);

    g_layout = vornix::common::read_layout();
    // Never freed: the function objects it makes live as long as the process.
    static const auto* make =
        new vornix::common::FunctionMaker(m, "vornix.api.subscribe._subscribe");
    sub::add_registration_functions(m, *make);
    sub::add_adjust_functions(m, *make);
    sub::add_userdata_functions(m, *make);
}
