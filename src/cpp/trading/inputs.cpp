// The caller's input read and checked (the pool, per-stock series, numbers) and
// the day's status of the pool from the market-data client.
#include "trading.hpp"

#include "vantelo/inputs.hpp"
#include "vantelo/weights.hpp"

namespace vantelo {
namespace trading {

// ---------------------------------------------------------------------------
// Python side
// ---------------------------------------------------------------------------

py::module_ np() { return py::module_::import("numpy"); }

py::object to_date(py::handle date) { return read_date(kModule, date); }

// The pool as a sorted list of distinct codes; one code may be given as text.
py::list pool_of(py::handle order_book_ids) {
    py::list codes;
    if (PyUnicode_Check(order_book_ids.ptr())) {
        codes.append(order_book_ids);
        return codes;
    }
    py::object iterator;
    try {
        iterator = py::iter(order_book_ids);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_TypeError)) {
            throw;
        }
        raise_in_context(attr("InvalidArgument"),
                         format("order_book_ids must be a code or an iterable of codes, not {!r}",
                                order_book_ids),
                         error);
    }
    py::set seen;
    for (py::handle code : iterator) {
        if (!PyUnicode_Check(code.ptr())) {
            invalid(format("order_book_ids must be text; got {!r}", code));
        }
        if (!seen.contains(code)) {
            seen.add(code);
            codes.append(code);
        }
    }
    codes.attr("sort")();
    return codes;
}

namespace {

py::object not_negative(py::object numbers, const char *what) {
    py::object negative = numbers.attr("lt")(0.0);
    if (truthy(negative.attr("any")())) {
        invalid(format("{} must not be negative: {}", py::str(what),
                       numbers[negative].attr("to_dict")()));
    }
    return numbers;
}

} // namespace

// A series of per-stock numbers keyed by code, finite and not negative.
py::object stock_series(py::handle values, const char *what) {
    py::object series = ensure_series(kModule, values, py::str(what));
    reject_duplicate_keys(kModule, series, what, Language::English);
    return not_negative(numeric_series(kModule, series, py::str(what)), what);
}

py::object empty_series() {
    return attr("pd").attr("Series")(py::list(), py::arg("dtype") = "float64");
}

double finite_number(py::handle value, const char *what) {
    double result = 0.0;
    if (!real_number(value, result)) {
        invalid(format("{} must be a number, not {!r}", py::str(what), value));
    }
    if (!std::isfinite(result)) {
        invalid(format("{} must be a finite number, not {!r}", py::str(what), value));
    }
    return result;
}

// The day's status of `codes` in their order; rows of codes with no price that
// day are NaN in `close` (and not flagged).
py::object status_for(py::list codes, py::handle date) {
    py::object status = attr("tidewell").attr("get_trading_status")(codes, date);
    return status.attr("reindex")(codes);
}

std::vector<std::uint8_t> flags_of(py::handle status, std::size_t n) {
    auto column = [&](const char *name) {
        // A stock without a row that day has NaN here: not flagged.
        return as_array<bool>(status[py::str(name)].attr("eq")(true).attr("values"), "bool");
    };
    auto suspended = column("suspended");
    auto limit_up = column("limit_up");
    auto limit_down = column("limit_down");
    auto special = column("special_treatment");
    auto missing = as_array<bool>(status[py::str("close")].attr("isna")().attr("values"), "bool");
    std::vector<std::uint8_t> flags(n);
    for (std::size_t i = 0; i < n; ++i) {
        flags[i] = (suspended.at(i) ? kSuspended : 0) | (limit_up.at(i) ? kLimitUp : 0) |
                   (limit_down.at(i) ? kLimitDown : 0) | (special.at(i) ? kSpecialTreatment : 0) |
                   (missing.at(i) ? kNoPrice : 0);
    }
    return flags;
}

// Whether nothing of `flags` can trade: every stock suspended or without a price.
bool none_trades(const std::vector<std::uint8_t> &flags) {
    return std::all_of(flags.begin(), flags.end(),
                       [](std::uint8_t f) { return (f & (kSuspended | kNoPrice)) != 0; });
}

py::object trading_status(py::object order_book_ids, py::object date) {
    return attr("tidewell").attr("get_trading_status")(pool_of(order_book_ids), to_date(date));
}

} // namespace trading
} // namespace vantelo
