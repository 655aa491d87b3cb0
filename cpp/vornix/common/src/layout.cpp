#include "vornix/common/layout.hpp"

#include <pybind11/pybind11.h>

#include <cstdint>

namespace vornix::common {

namespace py = pybind11;
namespace kn = vornix::kernels;

kn::Layout read_layout() {
    py::object gd = py::module_::import("vornix.tframe.sysdefine").attr("GlobalDefine");
    auto get = [&gd](const char* name) { return gd.attr(name).cast<std::int64_t>(); };
    kn::Layout L;
    L.head_len = get("KMatrixPos_Head_len");
    L.time_line_row = get("KMatrixPos_TimeLine");
    L.bar_len = get("KMatrix_Bar_Len");
    L.open = get("KMatrix_Open");
    L.high = get("KMatrix_High");
    L.low = get("KMatrix_Low");
    L.close = get("KMatrix_Close");
    L.volume = get("KMatrix_Volume");
    L.turnover = get("KMatrix_TurnOver");
    L.open_interest = get("KMatrix_OpenInterest");
    L.adj_bar_len = get("Adj_KMatrix_Bar_Len");
    L.adj_open = get("Adj_KMatrix_Open");
    L.adj_high = get("Adj_KMatrix_High");
    L.adj_low = get("Adj_KMatrix_Low");
    L.adj_close = get("Adj_KMatrix_Close");
    L.freq_tick = get("KFreq_Tick");
    L.freq_min = get("KFreq_Min");
    L.freq_day = get("KFreq_Day");
    L.freq_week = get("KFreq_Week");
    L.freq_month = get("KFreq_Month");
    L.freq_year = get("KFreq_Year");
    kn::check_layout(L);
    return L;
}

}  // namespace vornix::common
