// Binding of vornix.api.subscribe._subscribe: the names bound at import, then
// the module functions.
#include "subscribe.hpp"

#include "vornix/common/layout.hpp"

namespace py = pybind11;
namespace sub = vornix::subscribe;

namespace {

PyObject* g_module = nullptr;  // owned for the life of the process
vornix::kernels::Layout g_layout;

void bind_from(py::module_& m, const char* module, std::initializer_list<const char*> names) {
    py::module_ src = py::module_::import(module);
    for (const char* name : names) m.attr(name) = src.attr(name);
}

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

    m.attr("os") = py::module_::import("os");
    bind_from(m, "collections", {"OrderedDict"});
    m.attr("np") = py::module_::import("numpy");
    bind_from(m, "math", {"isnan"});
    bind_from(m, "vornix.api.history._history",
              {"get_trading_time", "get_main_contract", "get_trading_days", "get_k_data_multi"});
    bind_from(m, "vornix.api.bpfactor._factors", {"get_factor_by_factor"});
    m.attr("ualgo") = py::module_::import("vornix.tframe.ualgo");
    m.attr("vxcmd") = py::module_::import("vornix.tframe.comm.vxcmd");
    bind_from(m, "vornix.tframe.sysstate", {"gv"});
    bind_from(m, "vornix.tframe.sysstate", {"smm"});
    bind_from(m, "vornix.tframe.sysstate", {"synthetic_k_data_rule_map", "adjust_topmost_rule_map"});
    bind_from(m, "vornix.tframe.uclass",
              {"KDataItem", "AdjKDataItem", "RegKDataItem", "AdjRegKDataItem"});
    m.attr("cnt") = py::module_::import("vornix.tframe.sysstate");
    bind_from(m, "vornix.tframe.utils.utilfunc", {"append_or_assign_2d_array_axis0", "load_mat"});
    bind_from(m, "vornix.tframe.utils.datetimefunc", {"mft_to_int_format", "int_date_to_ordinal"});
    bind_from(m, "vornix.tframe.utils.exceptions", {"VxDataError", "UnExpectError"});
    m.attr("text") = py::module_::import("vornix.tframe.language.text");
    bind_from(m, "vornix.tframe.ufuncs",
              {"todotmc", "calc_hash_value", "load_mat_cache", "save_mat_cache", "can_cache"});

    g_layout = vornix::common::read_layout();
    // Never freed: the function objects it makes live as long as the process.
    static const auto* make =
        new vornix::common::FunctionMaker(m, "vornix.api.subscribe._subscribe");
    sub::add_registration_functions(m, *make);
}
