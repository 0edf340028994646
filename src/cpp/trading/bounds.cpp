// tradable_bounds: the caller's bounds read as the optimiser reads them, then
// tightened around each holding as the day's trading rules require, with a
// warning for every bound the day overrode.
#include "trading.hpp"

#include <string>
#include <utility>

namespace vantelo {
namespace trading {

namespace {

// ---------------------------------------------------------------------------
// The day's rules on weight bounds
// ---------------------------------------------------------------------------

// Tightens [lower, upper] around each holding as the day requires. `conflict[i]`
// gets the flags whose rule overrode a bound the caller asked for (the caller's
// range did not contain what the day allows).
void apply_day(std::size_t n, const double *holding, const std::uint8_t *flags,
               bool exclude_special_treatment, double *lower, double *upper,
               std::uint8_t *conflict) {
    for (std::size_t i = 0; i < n; ++i) {
        const double h = holding[i];
        double l = lower[i];
        double u = upper[i];
        std::uint8_t c = 0;
        if (flags[i] & (kSuspended | kNoPrice)) {
            if (h < l || h > u) {
                c = flags[i] & (kSuspended | kNoPrice);
            }
            l = u = h;
        } else {
            // Whatever cannot be bought may still be sold, down to the caller's lower.
            const bool no_buy = (flags[i] & kLimitUp) ||
                                (exclude_special_treatment && (flags[i] & kSpecialTreatment));
            if (no_buy) {
                if (l > h) {
                    c |= flags[i] &
                         (kLimitUp | (exclude_special_treatment ? kSpecialTreatment : 0));
                    l = h;
                }
                u = std::min(u, h);
            }
            if (flags[i] & kLimitDown) {
                if (u < h) {
                    c |= kLimitDown;
                    u = h;
                }
                l = std::max(l, h);
            }
        }
        lower[i] = l;
        upper[i] = u;
        conflict[i] = c;
    }
}

// ---------------------------------------------------------------------------
// The caller's bounds
// ---------------------------------------------------------------------------

std::string reasons_of(std::uint8_t flags) {
    std::string text;
    auto add = [&](const char *reason) {
        if (!text.empty()) {
            text += ", ";
        }
        text += reason;
    };
    if (flags & kNoPrice) {
        add("not trading that day: held as it is");
    }
    if (flags & kSuspended) {
        add("suspended: held as it is");
    }
    if (flags & kLimitUp) {
        add("at limit-up: cannot be bought");
    }
    if (flags & kLimitDown) {
        add("at limit-down: cannot be sold");
    }
    if (flags & kSpecialTreatment) {
        add("special treatment: not bought");
    }
    return text;
}

// The sides of a (lower, upper) pair as the optimiser's parser reads them: None is
// 0 below and 1 above.
void sides_of(py::handle pair, double &lower, double &upper) {
    py::object low = py::reinterpret_borrow<py::object>(pair)[py::int_(0)];
    py::object high = py::reinterpret_borrow<py::object>(pair)[py::int_(1)];
    lower = low.is_none() ? 0.0 : as_double(low);
    upper = high.is_none() ? 1.0 : as_double(high);
}

// The "*" pair, which the parser does not range-check: a side that is no finite
// number, or a lower side above the upper one, which the parser would only meet as
// sums that cannot reach 1.
void check_default_pair(py::handle pair) {
    const bool sequence = PyTuple_Check(pair.ptr()) || PyList_Check(pair.ptr());
    if (!sequence || py::len(pair) != 2) {
        return; // the parser says what a pair must be
    }
    py::object sides[2] = {py::reinterpret_borrow<py::object>(pair)[py::int_(0)],
                           py::reinterpret_borrow<py::object>(pair)[py::int_(1)]};
    double values[2] = {0.0, 1.0};
    const char *names[2] = {"lower", "upper"};
    for (int k = 0; k < 2; ++k) {
        if (sides[k].is_none() || !real_number(sides[k], values[k])) {
            continue;
        }
        if (!std::isfinite(values[k])) {
            invalid(
                format("bnds['*']: the {} bound {!r} is not a finite number", names[k], sides[k]));
        }
    }
    if (values[0] > values[1]) {
        invalid(format("bnds['*']: the lower bound {!r} is above the upper bound {!r}", sides[0],
                       sides[1]));
    }
}

// The sums of the caller's lower and upper bounds over the pool. Only read once the
// parser has accepted every pair and refused their sums.
std::pair<double, double> caller_sums(py::handle bnds, py::list codes) {
    double default_lower = 0.0, default_upper = 1.0;
    py::str wildcard("*");
    if (bnds.contains(wildcard)) {
        sides_of(bnds[wildcard], default_lower, default_upper);
    }
    double lower_sum = 0.0, upper_sum = 0.0;
    for (py::handle code : codes) {
        double lower = default_lower, upper = default_upper;
        PyObject *found = PyObject_GetItem(bnds.ptr(), code.ptr());
        if (found == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
                throw py::error_already_set();
            }
            PyErr_Clear();
        } else {
            sides_of(py::reinterpret_steal<py::object>(found), lower, upper);
        }
        lower_sum += lower;
        upper_sum += upper;
    }
    return {lower_sum, upper_sum};
}

// The parser's refusals of bounds whose sums cannot reach 1 (its messages are fixed).
constexpr const char *kLowerSumTooHigh = "下限之和大于1";
constexpr const char *kUpperSumTooLow = "上限之和小于1";

// The caller's bnds over the pool as (lower, upper) arrays, read by the optimiser's
// own parser; its refusal of bounds whose sums cannot reach 1 is given in this
// module's words, with the sums.
py::object caller_bounds(py::handle bnds, py::list codes) {
    const py::ssize_t n = py::len(codes);
    if (bnds.is_none()) {
        return py::make_tuple(np().attr("zeros")(n), np().attr("ones")(n));
    }
    if (PyDict_Check(bnds.ptr()) && bnds.contains(py::str("*"))) {
        check_default_pair(bnds[py::str("*")]);
    }
    try {
        return attr("parse_bnds")(bnds, codes);
    } catch (py::error_already_set &error) {
        if (!error.matches(attr("InvalidArgument"))) {
            throw;
        }
        const std::string text = py::str(error.value()).cast<std::string>();
        if (text != kLowerSumTooHigh && text != kUpperSumTooLow) {
            throw;
        }
        auto [lower_sum, upper_sum] = caller_sums(bnds, codes);
        if (text == kLowerSumTooHigh) {
            raise_in_context(attr("InvalidArgument"),
                             format("bnds: the lower bounds sum to {:.6g} over the {} stock(s) of "
                                    "the pool, more than 1",
                                    lower_sum, n),
                             error);
        }
        raise_in_context(attr("InvalidArgument"),
                         format("bnds: the upper bounds sum to {:.6g} over the {} stock(s) of the "
                                "pool, less than 1: no fully invested portfolio fits them",
                                upper_sum, n),
                         error);
    }
}

constexpr std::size_t kListedInWarning = 20;

} // namespace

py::object tradable_bounds(py::object order_book_ids, py::object date, py::object holding,
                           py::object bnds, py::object exclude_special_treatment) {
    py::list codes = pool_of(order_book_ids);
    const std::size_t n = py::len(codes);
    if (n == 0) {
        invalid(py::str("order_book_ids is empty"));
    }
    py::object day = to_date(date);
    py::object weights = (holding.is_none() ? empty_series() : stock_series(holding, "holding"))
                             .attr("reindex")(codes, py::arg("fill_value") = 0.0);
    py::object above_one = weights.attr("gt")(1.0);
    if (truthy(above_one.attr("any")())) {
        invalid(
            format("holding weights must not exceed 1: {}", weights[above_one].attr("to_dict")()));
    }

    py::object parsed = caller_bounds(bnds, codes);
    auto caller_lower = as_array<double>(parsed[py::int_(0)], "float64");
    auto caller_upper = as_array<double>(parsed[py::int_(1)], "float64");
    // Copies: the caller's bounds stay as they were, for the warning.
    auto lower = as_array<double>(np().attr("array")(caller_lower), "float64");
    auto upper = as_array<double>(np().attr("array")(caller_upper), "float64");

    py::object status = status_for(codes, day);
    std::vector<std::uint8_t> flags = flags_of(status, n);
    if (none_trades(flags)) {
        invalid(format("every stock of the pool is suspended or not trading on {}: nothing can "
                       "be traded",
                       day));
    }
    auto held = as_array<double>(weights.attr("values"), "float64");
    std::vector<std::uint8_t> conflict(n);
    apply_day(n, held.data(), flags.data(), truthy(exclude_special_treatment),
              lower.mutable_data(), upper.mutable_data(), conflict.data());

    std::size_t overridden = 0;
    std::string listed;
    auto lo_in = caller_lower.unchecked<1>();
    auto hi_in = caller_upper.unchecked<1>();
    auto lo = lower.unchecked<1>();
    auto hi = upper.unchecked<1>();
    for (std::size_t i = 0; i < n; ++i) {
        if (conflict[i] == 0) {
            continue;
        }
        if (++overridden <= kListedInWarning) {
            listed +=
                py::str("\n  {} ({}): bounds ({:.4f}, {:.4f}) -> ({:.4f}, {:.4f})")
                    .format(codes[i], reasons_of(conflict[i]), lo_in(i), hi_in(i), lo(i), hi(i))
                    .cast<std::string>();
        }
    }
    if (overridden > 0) {
        if (overridden > kListedInWarning) {
            listed += "\n  ... and " + std::to_string(overridden - kListedInWarning) + " more";
        }
        warn_optimizer(kModule, format("trading on {} overrides the bounds of {} stock(s):{}", day,
                                       overridden, py::str(listed)));
    }

    double lower_sum = 0.0, upper_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        lower_sum += lo(i);
        upper_sum += hi(i);
    }
    constexpr double kSlack = 1e-9;
    if (upper_sum < 1.0 - kSlack) {
        invalid(format("on {} the stocks of the pool can reach at most {:.4%} of the portfolio "
                       "(upper bounds after the day's trading rules); a fully invested portfolio "
                       "needs 100%",
                       day, upper_sum));
    }
    if (lower_sum > 1.0 + kSlack) {
        invalid(format("on {} the stocks of the pool must keep at least {:.4%} of the portfolio "
                       "(lower bounds after the day's trading rules), more than 100%",
                       day, lower_sum));
    }
    py::dict result;
    for (std::size_t i = 0; i < n; ++i) {
        result[codes[i]] = py::make_tuple(lo(i), hi(i));
    }
    return std::move(result);
}

} // namespace trading
} // namespace vantelo
