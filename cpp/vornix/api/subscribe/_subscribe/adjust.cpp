// Price-adjusted K data: where the main contracts of a continuous target
// change, the adjusted base series (day or minute bars), the adjusted series
// of every other frequency, their refresh rows, and the adjusted windows.
//
// Adjustment keeps the first main-contract period at its raw prices and scales
// every later one by the product of old-close / new-open ratios taken at each
// change, so the series runs on without the jump.  Only prices are adjusted;
// volume, turnover and open interest stay as traded.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "subscribe.hpp"
#include "vornix/common/args.hpp"
#include "vornix/common/kdata_window.hpp"
#include "vornix/common/pyutil.hpp"

namespace vornix::subscribe {

namespace {

using common::annotated;
using common::arg;
using common::int32_arg;
using common::py_eq;
using common::truthy;

[[noreturn]] void raise_assertion(const std::string& message) {
    PyErr_SetString(PyExc_AssertionError, message.c_str());
    throw py::error_already_set();
}

// "%d%s" of a count and a frequency name, as the messages show a series.
std::string series_name(std::int64_t freq_num, std::int64_t frequency_i) {
    return std::to_string(freq_num) +
           gv().attr("int_to_frequency")(frequency_i).cast<std::string>();
}

py::object adj_list() { return vr().attr("g_VornixKDataList_Adj"); }

// A frequency code or count as the adjusted steps take it: an integer, or a real
// number with a whole value (20.0 or numpy.float32(20) is the code 20), within 32
// bits.  A fraction or NaN is no code: ValueError naming the value.
std::int32_t whole_int32(py::handle obj, const char* name) {
    PyNumberMethods* number = Py_TYPE(obj.ptr())->tp_as_number;
    if (PyIndex_Check(obj.ptr()) || number == nullptr || number->nb_float == nullptr)
        return int32_arg(obj, name);
    const double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    if (!(std::floor(v) == v))
        throw py::value_error(std::string(name) + " must be a whole number, got " +
                              py::repr(obj).cast<std::string>());
    if (v < -2147483648.0 || v > 2147483647.0) {
        PyErr_Format(PyExc_OverflowError, "%s=%R does not fit a 32-bit signed integer", name,
                     obj.ptr());
        throw py::error_already_set();
    }
    return static_cast<std::int32_t>(v);
}

// The frequency code of an adjusted base series as given: a whole number within
// 32 bits, else -1, which is no day or minute code either ("frequency_i input error").
std::int64_t base_code(py::handle obj) {
    try {
        return whole_int32(obj, "frequency_i");
    } catch (py::value_error&) {
        return -1;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_OverflowError)) throw;
        return -1;
    }
}

// --- where the main contracts change --------------------------------------------------

py::object find_exchange_day(py::object date_tl, py::object target, std::int64_t begin_date,
                             std::int64_t end_date) {
    py::list targets;
    targets.append(target);
    py::object found = bound("get_main_contract")(targets, begin_date, end_date);
    if (py::len(found) < 1) return np().attr("array")(py::list());
    py::object key = py::list(found.attr("keys")())[0];
    py::tuple pair = py::tuple(found[key]);
    if (pair.size() != 2)
        throw py::value_error("the main-contract table of " + py::repr(key).cast<std::string>() +
                              " must be a pair (days, contracts), got " +
                              std::to_string(pair.size()) + " values");
    // Runs of consecutive days with one contract: [first day, last day] each.
    py::list bounds;
    py::object last_contract;
    py::object to_day = bound("int_date_to_ordinal");
    py::object to_int = py::module_::import("builtins").attr("int");
    py::iterator days = py::iter(pair[0]);
    py::iterator contracts = py::iter(pair[1]);
    for (; days != py::iterator::sentinel() && contracts != py::iterator::sentinel();
         ++days, ++contracts) {
        py::object day = to_day(to_int(*days));
        py::object contract = py::reinterpret_borrow<py::object>(*contracts);
        if (last_contract && py_eq(last_contract, contract)) {
            bounds[py::len(bounds) - 1] = day;
        } else {
            bounds.append(day);
            bounds.append(day);
        }
        last_contract = contract;
    }
    py::object left = np().attr("searchsorted")(date_tl, bounds, "left");
    py::object right = np().attr("searchsorted")(date_tl, bounds, "right");
    py::slice odd(py::int_(1), py::none(), py::int_(2));
    left[odd] = right[odd];
    return left;
}

// The trading day (day number) of every bar of a time line, by the history
// service's one rule of dated data (get_trading_day_numbers): a night-session bar
// belongs to the next trading day.  Main-contract periods are runs of trading days.
py::object trading_days_of(py::object time_line) {
    return bound("get_trading_day_numbers")(time_line);
}

// --- the adjusted base series -----------------------------------------------------------

// The four price offsets of a K-matrix bar and of an adjusted bar, in the
// order open, high, low, close.
struct PriceRows {
    std::int64_t k[4], adj[4];
};

PriceRows price_rows() {
    return {{Gi("KMatrix_Open"), Gi("KMatrix_High"), Gi("KMatrix_Low"), Gi("KMatrix_Close")},
            {Gi("Adj_KMatrix_Open"), Gi("Adj_KMatrix_High"), Gi("Adj_KMatrix_Low"),
             Gi("Adj_KMatrix_Close")}};
}

// Copies the four price rows of every target from a matrix of one layout into
// one of another: rows from[p] + t * from_len -> to[p] + t * to_len.
void copy_prices(py::handle from, std::int64_t from_head, const std::int64_t* from_off,
                 std::int64_t from_len, py::handle to, std::int64_t to_head,
                 const std::int64_t* to_off, std::int64_t to_len, std::int64_t n) {
    for (int p = 0; p < 4; ++p) {
        py::slice src(py::int_(from_head + from_off[p]),
                      py::int_(from_head + from_off[p] + n * from_len), py::int_(from_len));
        py::slice dst(py::int_(to_head + to_off[p]), py::int_(to_head + to_off[p] + n * to_len),
                      py::int_(to_len));
        to[dst] = from[src];
    }
}

std::int64_t calc_1_freq_matrix_adj(std::int64_t frequency_i) {
    if (frequency_i != Gi("KFreq_Day") && frequency_i != Gi("KFreq_Min"))
        throw py::value_error("frequency_i input error");
    py::object list = adj_list();
    const std::int64_t existing = find_pos(list, frequency_i, 1);
    if (existing != -1) return existing;
    const std::int64_t k = find_pos(vr().attr("g_VornixKDataList"), frequency_i, 1);
    if (k == -1)
        raise_assertion("Not exist frequency=`" + series_name(1, frequency_i) + "` k data");

    py::object in = info();
    py::object targets = in.attr("TargetList");
    py::object dots = in.attr("TargetListDot");
    const std::int64_t n = length_of(targets);
    const std::int64_t head = Gi("KMatrixPos_Head_len");
    const std::int64_t bar_len = Gi("KMatrix_Bar_Len");
    const std::int64_t adj_len = Gi("Adj_KMatrix_Bar_Len");
    const std::int64_t volume_off = Gi("KMatrix_Volume");
    const PriceRows rows = price_rows();

    py::array_t<double> K =
        common::typed_array<double>(vr().attr("g_VornixKDataList")[py::int_(k)].attr("Matrix"));
    if (!K || K.ndim() != 2 || K.shape(0) != head + n * bar_len)
        throw py::value_error("the " + series_name(1, frequency_i) +
                              " K matrix does not hold the run's " + std::to_string(n) +
                              " targets");
    const py::ssize_t cols = K.shape(1);
    py::object D = trading_days_of(K[py::int_(Gi("KMatrixPos_TimeLine"))]);
    py::object begin_date = bound("mft_to_int_format")(D[py::int_(0)]);
    py::object end_date = bound("mft_to_int_format")(D[py::int_(-1)]);

    py::array_t<double> A(std::vector<py::ssize_t>{static_cast<py::ssize_t>(n * adj_len), cols});
    std::fill(A.mutable_data(), A.mutable_data() + A.size(), 0.0);
    copy_prices(K, head, rows.k, bar_len, A, 0, rows.adj, adj_len, n);

    py::dict book, period_book;
    for (py::handle code : dots) {
        py::list entry;
        entry.append(-1);
        entry.append(1);
        entry.append(1);
        book[code] = entry;
    }
    const auto k_view = K.unchecked<2>();
    auto a_view = A.mutable_unchecked<2>();
    py::object todotmc = bound("todotmc");
    // A run in time chunks goes on with the factors of the chunk before:
    // AdjStart[frequency_i][code] lists the periods it adjusted, as
    // (first bar time, first traded bar time, factors before it, factors from it).
    py::object starts = common::getattr_or(in, "AdjStart", py::none());
    py::object own_starts = py::none();
    if (!starts.is_none() && starts.contains(py::int_(frequency_i)))
        own_starts = starts[py::int_(frequency_i)];
    const auto times = K.unchecked<2>();
    const auto time_row = static_cast<py::ssize_t>(Gi("KMatrixPos_TimeLine"));
    const double no_time = std::numeric_limits<double>::infinity();
    for (std::int64_t t = 0; t < n; ++t) {
        py::object target = targets[py::int_(t)];
        py::array_t<std::int64_t> P =
            common::typed_array<std::int64_t, py::array::c_style>(find_exchange_day(
                D, target, begin_date.cast<std::int64_t>(), end_date.cast<std::int64_t>()));
        if (!P) throw py::error_already_set();
        const py::ssize_t m = P.size();
        if (m < 1) continue;
        const std::int64_t* pos = P.data();
        for (py::ssize_t j = 0; j < m; ++j)
            if (pos[j] < 0 || pos[j] > cols)
                throw py::index_error("main-contract position " + std::to_string(pos[j]) +
                                      " lies outside the " + std::to_string(cols) + " bars");
        const auto r = [&](std::int64_t off) {
            return static_cast<py::ssize_t>(head + t * bar_len + off);
        };
        const auto traded = [&](py::ssize_t c, std::int64_t price_off) {
            return k_view(r(volume_off), c) > 0 && std::isfinite(k_view(r(price_off), c));
        };
        // A change of contract takes effect at the first bar of the new period
        // that traded: its open is the new contract's first price, and only from
        // that bar on is the ratio known.  The close it is linked to is the last
        // traded close before it.  A period without a traded bar, or without one
        // before it, changes nothing.
        double multiplier = 1.0, divisor = 1.0;
        py::list periods;
        const auto period_of = [&](py::ssize_t begin, py::ssize_t first, double mu0, double dv0,
                                   double mu1, double dv1) {
            periods.append(py::make_tuple(times(time_row, begin),
                                          first < cols ? times(time_row, first) : no_time, mu0, dv0,
                                          mu1, dv1));
        };
        py::object code = todotmc(target);
        if (!own_starts.is_none() && own_starts.contains(code) && pos[0] < pos[1]) {
            // the first period: the factors in effect at its first bar in the chunk before
            const double at = times(time_row, pos[0]);
            py::tuple chosen;
            for (py::handle item : own_starts[code]) {
                py::tuple e = py::reinterpret_borrow<py::tuple>(item);
                if (e[0].cast<double>() <= at) chosen = e;
            }
            if (chosen) {
                const double first_time = chosen[1].cast<double>();
                const double mu0 = chosen[2].cast<double>(), dv0 = chosen[3].cast<double>();
                multiplier = chosen[4].cast<double>();
                divisor = chosen[5].cast<double>();
                py::ssize_t first = pos[0];
                while (first < pos[1] && times(time_row, first) < first_time) ++first;
                for (py::ssize_t c = pos[0]; c < pos[1]; ++c) {
                    const double mu = c < first ? mu0 : multiplier;
                    const double dv = c < first ? dv0 : divisor;
                    for (int p = 0; p < 4; ++p)
                        a_view(t * adj_len + rows.adj[p], c) =
                            (mu * k_view(head + t * bar_len + rows.k[p], c)) / dv;
                }
                periods.append(py::make_tuple(times(time_row, pos[0]), first_time, mu0, dv0,
                                              multiplier, divisor));
            }
        }
        if (py::len(periods) == 0 && m > 1 && pos[0] < cols)
            period_of(pos[0], pos[0], 1.0, 1.0, 1.0, 1.0);
        for (py::ssize_t j = 2; j + 1 < m; j += 2) {
            const py::ssize_t period_begin = pos[j];
            const py::ssize_t period_end = pos[j + 1];
            py::ssize_t first = period_begin;
            while (first < period_end && !traded(first, rows.k[0])) ++first;
            py::ssize_t before = period_begin - 1;
            while (before >= 0 && !traded(before, rows.k[3])) --before;
            const double prev_multiplier = multiplier, prev_divisor = divisor;
            if (first < period_end && before >= 0) {
                multiplier *= k_view(r(rows.k[3]), before);
                divisor *= k_view(r(rows.k[0]), first);
                // Products of prices overflow after some hundred changes; scaling
                // both by one power of two keeps every adjusted price bit for bit.
                int exp = 0;
                std::frexp(divisor, &exp);
                if (exp > 256 || exp < -256) {
                    multiplier = std::ldexp(multiplier, -exp);
                    divisor = std::ldexp(divisor, -exp);
                }
            }
            if (period_begin < cols)
                period_of(period_begin, first, prev_multiplier, prev_divisor, multiplier, divisor);
            // Bars of the period before its first trade are filled at the old
            // contract's close: they keep the factor of the period before.
            for (py::ssize_t c = period_begin; c < period_end; ++c) {
                const double mu = c < first ? prev_multiplier : multiplier;
                const double dv = c < first ? prev_divisor : divisor;
                for (int p = 0; p < 4; ++p)
                    a_view(t * adj_len + rows.adj[p], c) = (mu * k_view(r(rows.k[p]), c)) / dv;
            }
        }
        py::list entry;
        entry.append(pos[m - 1]);
        entry.append(multiplier);
        entry.append(divisor);
        book[code] = entry;
        period_book[code] = periods;
    }
    list.attr("append")(bound("AdjKDataItem")(
        py::arg("KFrequency") = gv().attr("int_to_frequency")(frequency_i), py::arg("KFreqNum") = 1,
        py::arg("Matrix") = A, py::arg("AdjCalcPos") = book, py::arg("LastSynTimeLinePos") = cols,
        py::arg("AdjPeriods") = period_book));
    return length_of(list) - 1;
}

// --- adjusted series of any frequency ----------------------------------------------------

std::int64_t topmost(py::handle frequency_i) {
    return bound("adjust_topmost_rule_map")(frequency_i).cast<std::int64_t>();
}

}  // namespace

std::int64_t synthetic_matrix_adj(std::int64_t frequency_i, std::int64_t freq_num) {
    const std::int64_t input_base = topmost(info().attr("KFrequencyI"));
    const std::int64_t base = topmost(py::int_(frequency_i));
    if (base == Gi("KFreq_Tick")) {
        PyErr_SetString(PyExc_NotImplementedError, "暂时不支持 tick 调价");
        throw py::error_already_set();
    }
    py::object adj = adj_list();
    const std::int64_t existing = find_pos(adj, frequency_i, freq_num);
    if (existing > -1) return existing;
    if (find_pos(adj, input_base, 1) < 0) {
        const std::int64_t p = calc_1_freq_matrix_adj(input_base);
        if (input_base == frequency_i && freq_num == 1) return p;
    }
    if (find_pos(adj, base, 1) < 0) {
        const std::int64_t p = calc_1_freq_matrix_adj(base);
        if (base == frequency_i && freq_num == 1) return p;
    }
    py::object k_list = vr().attr("g_VornixKDataList");
    const std::int64_t t_pos = find_pos(k_list, frequency_i, freq_num);
    if (t_pos < 0) raise_assertion("不存在`" + series_name(freq_num, frequency_i) + "`k线数据");
    const std::int64_t b_pos = find_pos(k_list, base, 1);
    if (b_pos < 0) raise_assertion("不存在`" + series_name(1, base) + "`k线数据");
    const std::int64_t a_pos = find_pos(adj, base, 1);
    if (a_pos < 0) raise_assertion("不存在`" + series_name(1, base) + "`k线调价数据");

    const std::int64_t n = length_of(info().attr("TargetList"));
    const std::int64_t head = Gi("KMatrixPos_Head_len");
    const std::int64_t bar_len = Gi("KMatrix_Bar_Len");
    const std::int64_t adj_len = Gi("Adj_KMatrix_Bar_Len");
    const PriceRows rows = price_rows();
    py::object T = k_list[py::int_(t_pos)].attr("Matrix");
    py::object B = k_list[py::int_(b_pos)].attr("Matrix");
    py::object A = adj[py::int_(a_pos)].attr("Matrix");
    py::object t_line = row(T, "KMatrixPos_TimeLine");

    py::object W = np().attr("array")(B, "float64");  // a copy: B itself stays raw
    copy_prices(A, 0, rows.adj, adj_len, W, head, rows.k, bar_len, n);
    auto [bp, ep] = two(kernel("vxCalcKDataBeginEndPos")(row(B, "KMatrixPos_TimeLine"), t_line),
                        "vxCalcKDataBeginEndPos");
    py::object M = kernel("vxCalcCombineMatrixHtoL")(W, T, bp, ep, bar_len, 0);
    py::object R = np().attr("zeros")(py::make_tuple(n * adj_len, py::len(t_line)), "float64");
    copy_prices(M, head, rows.k, bar_len, R, 0, rows.adj, adj_len, n);
    py::object last_base =
        py::len(bp) > 0 ? py::object(bp[py::int_(-1)]) : py::object(py::int_(-1));
    adj.attr("append")(
        bound("AdjKDataItem")(py::arg("KFrequency") = gv().attr("int_to_frequency")(frequency_i),
                              py::arg("KFreqNum") = freq_num, py::arg("Matrix") = R,
                              py::arg("LastSynTimeLinePos") = py::len(t_line),
                              py::arg("LastSynBaseTimeLinePos") = last_base));
    return length_of(adj) - 1;
}

std::int64_t synthetic_fresh_matrix_adj(std::int64_t frequency_i, std::int64_t freq_num) {
    py::object v = vr();
    py::object in = info();
    py::object regs = v.attr("g_VornixRegKDataInfo_Adj");
    const std::int64_t n = length_of(in.attr("TargetList"));
    const std::int64_t base_freq = topmost(in.attr("KFrequencyI"));
    const std::int64_t adj_base_pos = find_pos(adj_list(), base_freq, 1);
    const std::int64_t base_pos = find_pos(v.attr("g_VornixKDataList"), base_freq, 1);
    if (adj_base_pos < 0 || base_pos < 0)
        throw py::value_error(
            "the " + series_name(1, base_freq) +
            " base series of the run's main frequency (unadjusted and adjusted) must be "
            "registered before adjusted refresh rows can be made");
    py::object frequency = gv().attr("int_to_frequency")(frequency_i);

    if (truthy(in.attr("same_freq")(frequency_i, freq_num))) {
        std::int64_t pos = find_pos(regs, frequency_i, freq_num);
        if (pos < 0) {
            regs.attr("append")(bound("AdjRegKDataItem")(py::arg("KFrequency") = frequency,
                                                         py::arg("KFreNum") = freq_num,
                                                         py::arg("KMatrixPos") = adj_base_pos));
            pos = length_of(regs) - 1;
        }
        return pos;
    }
    const std::int64_t existing = find_pos(regs, frequency_i, freq_num);
    if (existing > -1) return existing;

    py::object base_matrix = v.attr("g_VornixKDataList")[py::int_(base_pos)].attr("Matrix");
    py::object fresh_mask = row(base_matrix, "KMatrixPos_FreshIdx").attr("astype")("bool");
    py::object key = cache_key(frequency_i, freq_num, "DataValueFresh_Adj", "_flag4");
    const bool caching = cache_on();
    py::object block = py::none();
    std::int64_t last_pos = -1;
    if (caching) {
        py::object value = bound("load_mat_cache")(cache_dir(), key);
        if (!value.is_none()) {
            block = np().attr("asarray")(value["Matrix"], "float64");
            // MAT files give scalars back as (1, 1) arrays
            last_pos = np().attr("asarray")(value["LastSynBaseTimeLinePos"])
                           .attr("item")()
                           .cast<std::int64_t>();
        }
    }
    if (block.is_none()) {
        py::object reg = v.attr("g_VornixRegKDataInfo").attr("get_item")(frequency_i, freq_num);
        if (reg.is_none())
            throw py::value_error("the unadjusted " + series_name(freq_num, frequency_i) +
                                  " registration must exist before its adjusted refresh rows");
        py::object begin_pos = reg.attr("BeginPos");
        py::object end_pos = reg.attr("EndPos");
        last_pos = py::int_(begin_pos[py::int_(-1)]).cast<std::int64_t>();
        py::object adj_base = adj_list()[py::int_(adj_base_pos)].attr("Matrix");
        // The unadjusted base tells by its volumes which bars traded.
        block = kernel("vxCalcDataValueFresh_Adj")(adj_base, begin_pos, end_pos,
                                                   G("Adj_KMatrix_Bar_Len"), n, 0, base_matrix);
        if (caching) {
            py::dict value;
            value["Matrix"] = np().attr("asarray")(block, "float64");
            value["LastSynBaseTimeLinePos"] = last_pos;
            bound("save_mat_cache")(cache_dir(), key, value);
        }
    }
    py::object dvf = v.attr("g_VornixDataValueFresh_Adj");
    const std::int64_t row_begin = dvf.attr("ndim").cast<std::int64_t>() == 2
                                       ? py::tuple(dvf.attr("shape"))[0].cast<std::int64_t>()
                                       : 0;
    const std::int64_t row_end = row_begin + n * Gi("Adj_KMatrix_Bar_Len");
    py::object rows =
        block[py::make_tuple(py::slice(py::none(), py::none(), py::none()), fresh_mask)];
    v.attr("g_VornixDataValueFresh_Adj") = bound("append_or_assign_2d_array_axis0")(
        dvf, rows, py::arg("pos") = 999999999, py::arg("copy_") = false);
    regs.attr("append")(bound("AdjRegKDataItem")(
        py::arg("KFrequency") = frequency, py::arg("KFreNum") = freq_num,
        py::arg("KMatrixPos") = adj_base_pos, py::arg("RowBegin") = row_begin,
        py::arg("RowEnd") = row_end, py::arg("LastSynBaseTimeLinePos") = last_pos));
    return length_of(regs) - 1;
}

void add_adjust_functions(py::module_& m, const common::FunctionMaker& make) {
    py::object builtins = py::module_::import("builtins");
    py::object Int = builtins.attr("int");
    py::object Dict = builtins.attr("dict");
    py::object ndarray = py::module_::import("numpy").attr("ndarray");

    m.attr("find_exchange_day") = make.function(
        py::cpp_function([](py::object tl, py::object target, py::object b, py::object e) {
            return find_exchange_day(tl, target, int32_arg(b, "begin_date"),
                                     int32_arg(e, "end_date"));
        }),
        "find_exchange_day",
        {annotated("date_tl", ndarray), annotated("target_dict", Dict),
         annotated("begin_date", Int), annotated("end_date", Int)},
        "Begin and end positions (half-open, interleaved) of each main-contract period of the "
        "target on the day line date_tl; empty when the target has no main contracts.",
        ndarray);
    m.attr("calc_1_freq_matrix_adj") = make.function(
        py::cpp_function([](py::object f) { return calc_1_freq_matrix_adj(base_code(f)); }),
        "calc_1_freq_matrix_adj", {common::positional_only(arg("frequency_i"))},
        "Make sure the adjusted day or minute series exists; returns its position.");
    m.attr("synthetic_matrix_adj") = make.function(
        py::cpp_function([](py::object f, py::object n) {
            return synthetic_matrix_adj(whole_int32(f, "frequency_i"), whole_int32(n, "freq_num"));
        }),
        "synthetic_matrix_adj", {arg("frequency_i"), arg("freq_num")},
        "Make sure the adjusted series of a frequency and count exists; returns its position.");
    m.attr("synthetic_fresh_matrix_adj") = make.function(
        py::cpp_function([](py::object f, py::object n) {
            return synthetic_fresh_matrix_adj(whole_int32(f, "frequency_i"),
                                              whole_int32(n, "freq_num"));
        }),
        "synthetic_fresh_matrix_adj", {arg("frequency_i"), arg("freq_num")},
        "Make sure the adjusted registration record and its refresh rows exist; returns the "
        "record's position.");
    m.attr("get_reg_k_data_adj") = make.function(
        py::cpp_function([](py::object idx, py::object pos, py::object len, py::object fill) {
            return common::k_window_objects(layout(), idx, pos, len, fill, true);
        }),
        "get_reg_k_data_adj", {arg("reg_idx"), arg("bar_pos"), arg("length"), arg("fill_up")},
        "The last `length` adjusted bars of every target visible at main-time-line column "
        "bar_pos: prices adjusted, volume and the fields after it as traded.");
}

}  // namespace vornix::subscribe
