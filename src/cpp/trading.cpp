// vantelo.trading: from target weights to what can be traded on a day. The day's
// status of each stock (suspended, closed at a price limit, under special
// treatment, its board) comes from the market-data client; this module turns it
// into weight bounds for the optimiser and into whole-lot orders for an account.
//
// The numeric kernels (the day's rules on the bounds, rounding to lots and the
// cash repair) work on plain arrays and know nothing of Python; the functions
// bound to Python check the input, gather the arrays and build the results.
#include "vantelo/common.hpp"

#include <pybind11/numpy.h>
#include <pybind11/options.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <queue>
#include <string>
#include <tuple>
#include <vector>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.trading";

py::object attr(const char *name) { return module_attr(kModule, name); }

[[noreturn]] void invalid(py::handle message) { raise_invalid_argument(kModule, message); }

// ---------------------------------------------------------------------------
// The day's rules on weight bounds
// ---------------------------------------------------------------------------

enum Flag : std::uint8_t {
    kSuspended = 1,
    kLimitUp = 2,
    kLimitDown = 4,
    kSpecialTreatment = 8,
    kNoPrice = 16, // not trading that day at all: not listed yet, delisted, unknown
};

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
// Rounding to lots
// ---------------------------------------------------------------------------

// The share counts a position may end the day at, given what it holds now (c):
// on the main boards and ChiNext orders come in lots of 100 shares, and a sale may
// also take the odd shares (c mod 100) along; on STAR an order is at least 200
// shares and then any number. A market without lot rules (the board "other")
// trades in lots of the stock's lot size, 1 share unless the store gives one. A
// sale of the whole position is always allowed.
struct Grid {
    double current;
    bool star;
    double lot;  // shares of a lot, off STAR
    double low;  // the least the position may become: 0, or `current` when it cannot be sold
    double high; // the most: unbounded, or `current` when it cannot be bought

    static constexpr double kBoardLot = 100.0;
    static constexpr double kStarMinimum = 200.0;

    bool inside(double f) const { return f >= low && f <= high; }

    // The largest allowed count <= x (x >= 0), ignoring low/high.
    double floor_allowed(double x) const {
        const double c = current;
        if (!star) {
            // c - k lots (odd shares kept), or below c whole lots (odd shares sold).
            const double r = std::fmod(c, lot);
            const double kept = x < r ? 0.0 : r + std::floor((x - r) / lot) * lot;
            return std::max(kept, std::floor(std::min(x, c) / lot) * lot);
        }
        if (x >= c + kStarMinimum) {
            return std::floor(x);
        }
        if (x >= c) {
            return c;
        }
        if (x > c - kStarMinimum) {
            return std::max(0.0, c - kStarMinimum);
        }
        return std::floor(x);
    }

    // The smallest allowed count >= x, ignoring low/high.
    double ceil_allowed(double x) const {
        const double c = current;
        if (x <= 0.0) {
            return 0.0;
        }
        if (!star) {
            const double r = std::fmod(c, lot);
            const double kept = x <= r ? r : r + std::ceil((x - r) / lot) * lot;
            const double sold = std::ceil(x / lot) * lot;
            return sold <= c ? std::min(kept, sold) : kept;
        }
        if (x <= c - kStarMinimum) {
            return std::ceil(x);
        }
        if (x <= c) {
            return c;
        }
        if (x <= c + kStarMinimum) {
            return c + kStarMinimum;
        }
        return std::ceil(x);
    }

    // The neighbours of an allowed count f within [low, high], or NaN.
    double above(double f) const {
        const double g = ceil_allowed(f + 1.0);
        return g <= high ? g : std::numeric_limits<double>::quiet_NaN();
    }
    double below(double f) const {
        if (f < 1.0) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        const double g = floor_allowed(f - 1.0);
        return g >= low ? g : std::numeric_limits<double>::quiet_NaN();
    }

    // An allowed count inside [low, high] next to x: `up` picks the side above.
    double snap(double x, bool up) const {
        double f = up ? ceil_allowed(x) : floor_allowed(x);
        // The holding itself is always allowed and inside, so it is the fallback.
        return inside(f) ? f : current;
    }
};

struct Account {
    std::vector<Grid> grid;
    std::vector<double> price;
    std::vector<double> target; // ideal shares
    double capital;
};

double cash_of(const Account &a, const std::vector<double> &shares) {
    double cash = a.capital;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        cash += (a.grid[i].current - shares[i]) * a.price[i];
    }
    return cash;
}

// Σ|f − t|·p: the deviation in money (divide by the account's value for weight).
double deviation_of(const Account &a, const std::vector<double> &shares) {
    double total = 0.0;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        total += std::fabs(shares[i] - a.target[i]) * a.price[i];
    }
    return total;
}

// A move of one stock to a neighbouring count: what it costs in deviation per
// unit of cash it frees (cash repair) or per unit of deviation it removes per
// unit of cash spent (using spare cash).
using Move = std::tuple<double, std::size_t, double>; // (key, stock, new count)

double added_deviation(const Account &a, std::size_t i, double from, double to) {
    return (std::fabs(to - a.target[i]) - std::fabs(from - a.target[i])) * a.price[i];
}

// While cash is short, undo the step that frees cash at the least added deviation
// per unit of cash: a buy one lot smaller, or a sale one lot larger.
void repair_cash(const Account &a, std::vector<double> &shares, double &cash) {
    std::priority_queue<Move, std::vector<Move>, std::greater<Move>> heap;
    auto push = [&](std::size_t i) {
        const double to = a.grid[i].below(shares[i]);
        if (!std::isnan(to)) {
            const double freed = (shares[i] - to) * a.price[i];
            heap.emplace(added_deviation(a, i, shares[i], to) / freed, i, to);
        }
    };
    for (std::size_t i = 0; i < shares.size(); ++i) {
        push(i);
    }
    while (cash < 0.0 && !heap.empty()) {
        auto [key, i, to] = heap.top();
        heap.pop();
        (void)key;
        if (to >= shares[i]) {
            continue; // stale: the stock moved since this entry was made
        }
        cash += (shares[i] - to) * a.price[i];
        shares[i] = to;
        push(i);
    }
}

// Spend spare cash on the steps that remove the most deviation per unit of cash,
// as long as a step removes any; the cash only falls, so a step it cannot afford
// now it never will.
void use_spare_cash(const Account &a, std::vector<double> &shares, double &cash) {
    std::priority_queue<Move, std::vector<Move>, std::greater<Move>> heap;
    auto push = [&](std::size_t i) {
        const double to = a.grid[i].above(shares[i]);
        if (std::isnan(to)) {
            return;
        }
        const double gain = added_deviation(a, i, shares[i], to);
        if (gain < 0.0) {
            heap.emplace(gain / ((to - shares[i]) * a.price[i]), i, to);
        }
    };
    for (std::size_t i = 0; i < shares.size(); ++i) {
        push(i);
    }
    while (!heap.empty()) {
        auto [key, i, to] = heap.top();
        heap.pop();
        (void)key;
        if (to <= shares[i]) {
            continue;
        }
        const double cost = (to - shares[i]) * a.price[i];
        if (cost > cash) {
            continue;
        }
        cash -= cost;
        shares[i] = to;
        push(i);
    }
}

// Whole-lot share counts as close to the ideal as the cash allows. Two starts,
// each repaired and then topped up with spare cash: every position at its
// nearest allowed count, and every position at the allowed count below its
// ideal; the one with the smaller deviation wins.
std::vector<double> round_to_lots(const Account &a) {
    const std::size_t n = a.grid.size();
    std::vector<double> best;
    double best_deviation = std::numeric_limits<double>::infinity();
    for (int start = 0; start < 2; ++start) {
        std::vector<double> shares(n);
        for (std::size_t i = 0; i < n; ++i) {
            const Grid &g = a.grid[i];
            const double t = a.target[i];
            const double down = g.snap(t, false);
            const double up = g.snap(t, true);
            const bool nearest_up = std::fabs(up - t) < std::fabs(down - t);
            shares[i] = start == 0 && nearest_up ? up : (down <= t ? down : up);
        }
        double cash = cash_of(a, shares);
        repair_cash(a, shares, cash);
        use_spare_cash(a, shares, cash);
        // The running cash drifts in its last bits; the reported one is summed afresh.
        cash = cash_of(a, shares);
        if (cash < 0.0) {
            repair_cash(a, shares, cash);
            cash = cash_of(a, shares);
        }
        const double deviation = deviation_of(a, shares);
        if (cash >= 0.0 && deviation < best_deviation) {
            best_deviation = deviation;
            best = shares;
        }
    }
    if (best.empty()) { // not reached: undoing every buy leaves the capital
        for (const Grid &g : a.grid) {
            best.push_back(g.current);
        }
    }
    return best;
}

// ---------------------------------------------------------------------------
// Python side
// ---------------------------------------------------------------------------

py::module_ np() { return py::module_::import("numpy"); }

py::object to_date(py::handle date) { return attr("to_date")(date); }

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

// A series of per-stock numbers keyed by code, finite and not negative.
py::object stock_series(py::handle values, const char *what) {
    py::object series = ensure_series(kModule, values, py::str(what));
    if (truthy(series.attr("index").attr("has_duplicates"))) {
        py::object index = series.attr("index");
        invalid(format("{} lists a stock more than once: {}", py::str(what),
                       index[index.attr("duplicated")()].attr("tolist")()));
    }
    py::object numbers;
    try {
        numbers = series.attr("astype")("float64");
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError) &&
            !error.matches(PyExc_OverflowError)) {
            throw;
        }
        raise_in_context(attr("InvalidArgument"), format("{} must hold numbers", py::str(what)),
                         error);
    }
    finite_array(numbers.attr("values"), numbers.attr("index"), py::str(what));
    py::object negative = numbers.attr("lt")(0.0);
    if (truthy(negative.attr("any")())) {
        invalid(format("{} must not be negative: {}", py::str(what),
                       numbers[negative].attr("to_dict")()));
    }
    return numbers;
}

py::object empty_series() {
    return attr("pd").attr("Series")(py::list(), py::arg("dtype") = "float64");
}

double finite_number(py::handle value, const char *what) {
    double result = 0.0;
    try {
        result = as_double(value);
    } catch (py::error_already_set &) {
        invalid(format("{} must be a number, not {!r}", py::str(what), value));
    }
    if (!std::isfinite(result)) {
        invalid(format("{} must be a finite number, not {!r}", py::str(what), value));
    }
    return result;
}

template <typename T> py::array_t<T> as_array(py::handle values, const char *dtype) {
    return py::array_t<T, py::array::c_style | py::array::forcecast>(
        np().attr("ascontiguousarray")(values, py::arg("dtype") = dtype));
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

constexpr std::size_t kListedInWarning = 20;

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

    py::object parsed =
        bnds.is_none() ? py::object(py::make_tuple(np().attr("zeros")(n), np().attr("ones")(n)))
                       : attr("parse_bnds")(bnds, codes);
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

[[noreturn]] void missing_stocks(const char *what, py::handle day, py::handle codes) {
    invalid(format("{} on {} for {} stock(s): {}", py::str(what), day, py::len(codes),
                   py::str(", ").attr("join")(codes)));
}

py::object to_orders(py::object target, py::object date, py::object capital,
                     py::object current_shares, py::object prices) {
    py::object day = to_date(date);
    py::object goal = stock_series(target, "target");
    const double cash = finite_number(capital, "capital");
    if (cash < 0.0) {
        invalid(format("capital must not be negative, not {}", cash));
    }
    const double weight_sum = goal.attr("sum")().cast<double>();
    if (weight_sum > 1.0 + 1e-6) {
        invalid(format("target weights sum to {}, more than 1", weight_sum));
    }
    py::object held =
        current_shares.is_none() ? empty_series() : stock_series(current_shares, "current_shares");
    py::object fractional = held.attr("ne")(np().attr("floor")(held));
    if (truthy(fractional.attr("any")())) {
        invalid(
            format("current_shares must be whole shares: {}", held[fractional].attr("to_dict")()));
    }
    // Every stock with a target or a holding, in code order.
    py::object index = goal.attr("index")[goal.attr("gt")(0.0).attr("values")].attr("union")(
        held.attr("index")[held.attr("gt")(0.0).attr("values")]);
    py::list codes = pool_of(index.attr("tolist")());
    const std::size_t n = py::len(codes);
    if (n == 0) {
        invalid(py::str("nothing to trade: the target and the holding are empty"));
    }
    goal = goal.attr("reindex")(codes, py::arg("fill_value") = 0.0);
    held = held.attr("reindex")(codes, py::arg("fill_value") = 0.0);

    py::object status = status_for(codes, day);
    py::object close = status[py::str("close")];
    if (!prices.is_none()) {
        py::object given = stock_series(prices, "prices").attr("reindex")(codes);
        py::object zero = given.attr("eq")(0.0);
        if (truthy(zero.attr("any")())) {
            invalid(format("prices must be positive: {}", given[zero].attr("to_dict")()));
        }
        close = given.attr("fillna")(close);
    }
    py::object unpriced = close.attr("isna")();
    if (truthy(unpriced.attr("any")())) {
        missing_stocks("no price", day,
                       close.attr("index")[unpriced.attr("values")].attr("tolist")());
    }
    py::list board = status[py::str("board")].attr("tolist")();
    py::object lot_column = status.attr("get")(py::str("lot_size"));
    py::list lot_size = lot_column.is_none() ? py::list() : py::list(lot_column.attr("tolist")());
    std::vector<std::uint8_t> flags = flags_of(status, n);
    std::vector<bool> star(n);
    std::vector<double> lot(n, Grid::kBoardLot);
    py::list unknown_board;
    for (std::size_t i = 0; i < n; ++i) {
        if (flags[i] & kNoPrice) {
            continue; // not trading that day: it keeps what it holds, lots do not matter
        }
        py::object name = board[i];
        if (!PyUnicode_Check(name.ptr())) {
            unknown_board.append(codes[i]);
            continue;
        }
        const std::string text = name.cast<std::string>();
        if (text == "star") {
            star[i] = true;
        } else if (text == "other") {
            const double given = i < py::len(lot_size) ? as_double(lot_size[i]) : 1.0;
            lot[i] = std::isfinite(given) && given >= 1.0 ? std::floor(given) : 1.0;
        } else if (text != "main" && text != "chinext") {
            unknown_board.append(codes[i]);
        }
    }
    if (py::len(unknown_board) > 0) {
        missing_stocks("no known board (main, chinext, star, other)", day, unknown_board);
    }
    if (none_trades(flags)) {
        invalid(format("every stock of the target and the holding is suspended or not trading "
                       "on {}: nothing can be traded",
                       day));
    }

    auto price = as_array<double>(close.attr("values"), "float64");
    auto current = as_array<double>(held.attr("values"), "float64");
    const double total = cash + np().attr("dot")(price, current).cast<double>();
    if (!(total > 0.0)) {
        invalid(
            format("the account is worth {} (capital plus holdings): nothing to invest", total));
    }
    py::object weights = goal.attr("values");
    auto ideal = as_array<double>(weights * py::float_(total) / price, "float64");

    // Share counts are whole numbers held in doubles: exact up to 2^53.
    constexpr double kMostShares = 1e15;
    const double most =
        std::max(np().attr("max")(ideal).cast<double>(), np().attr("max")(current).cast<double>());
    if (!(most <= kMostShares)) {
        invalid(format("positions of more than {:.0e} shares are out of range: the largest "
                       "would be {:.6g}",
                       kMostShares, most));
    }

    Account account;
    account.capital = cash;
    account.grid.resize(n);
    account.price.assign(price.data(), price.data() + n);
    account.target.assign(ideal.data(), ideal.data() + n);
    for (std::size_t i = 0; i < n; ++i) {
        const double c = current.at(i);
        const bool frozen = flags[i] & (kSuspended | kNoPrice);
        const bool can_buy = !frozen && !(flags[i] & kLimitUp);
        const bool can_sell = !frozen && !(flags[i] & kLimitDown);
        account.grid[i] = Grid{c, star[i], lot[i], can_sell ? 0.0 : c,
                               can_buy ? std::numeric_limits<double>::infinity() : c};
    }
    std::vector<double> shares;
    {
        py::gil_scoped_release release;
        shares = round_to_lots(account);
    }

    py::array_t<double> final_shares(static_cast<py::ssize_t>(n));
    std::copy(shares.begin(), shares.end(), final_shares.mutable_data());
    py::object pd = attr("pd");
    py::object change = final_shares - current;
    py::object order_shares = np().attr("abs")(change);
    py::object side = np().attr("select")(
        py::make_tuple(np().attr("greater")(change, 0.0), np().attr("less")(change, 0.0)),
        py::make_tuple("buy", "sell"), py::arg("default") = "hold");
    py::dict columns;
    columns["order_book_id"] = codes;
    columns["price"] = price;
    columns["current_shares"] = current.attr("astype")("int64");
    columns["target_shares"] = final_shares.attr("astype")("int64");
    columns["order_shares"] = order_shares.attr("astype")("int64");
    columns["side"] = side;
    columns["value"] = order_shares * price;
    columns["target_weight"] = goal.attr("values");
    py::object final_weight = final_shares * price / py::float_(total);
    columns["final_weight"] = final_weight;
    py::object orders = attr("Orders")(columns);
    orders.attr("cash_left") = py::float_(cash_of(account, shares));
    orders.attr("deviation") = np().attr("abs")(final_weight - goal.attr("values")).attr("sum")();
    return orders;
}

void define_orders(py::module_ &m) {
    py::object frame = m.attr("pd").attr("DataFrame");
    ClassBuilder builder(
        m, "Orders",
        py::str("Whole-lot orders for one account on one day: a DataFrame with one row per\n"
                "stock (order_book_id, price, current_shares, target_shares, order_shares,\n"
                "side, value, target_weight, final_weight) and the attributes cash_left (the\n"
                "cash after every order is filled) and deviation (the sum over the stocks of\n"
                "|final_weight - target_weight|). Copies and slices keep both attributes."),
        py::make_tuple(frame));
    // pandas builds the results of slicing and copying through `_constructor`, and
    // copies the names listed in `_metadata` onto them.
    builder.attr("_metadata", py::list(py::make_tuple("cash_left", "deviation")))
        .attr("cash_left", py::float_(std::numeric_limits<double>::quiet_NaN()))
        .attr("deviation", py::float_(std::numeric_limits<double>::quiet_NaN()));
    builder.readonly_property("_constructor", [](py::object self) { return py::type::of(self); });
}

} // namespace
} // namespace vantelo

PYBIND11_MODULE(trading, m) {
    using namespace vantelo;
    ModuleOptions options;

    import_modules(m, {{"numpy", "np"}, {"pandas", "pd"}, {"tidewell"}, {"warnings"}});
    import_names(m, "vantelo.exception", {"InvalidArgument", "OptimizerWarning"});
    import_names(m, "vantelo.optimize", {"parse_bnds", "to_date"});

    define_orders(m);
    def_function(
        m, "trading_status", &trading_status, py::arg("order_book_ids"), py::arg("date"),
        "The day's status of each stock of the pool: a DataFrame indexed by order_book_id\n"
        "with the columns suspended, limit_up (closed at its limit-up price: it could not\n"
        "be bought), limit_down (closed at its limit-down price: it could not be sold),\n"
        "special_treatment, close and board. Stocks not trading that day are absent.");
    def_function(
        m, "tradable_bounds", &tradable_bounds, py::arg("order_book_ids"), py::arg("date"),
        py::arg("holding"), py::arg("bnds") = py::none(),
        py::arg("exclude_special_treatment") = py::bool_(false),
        "The bnds of portfolio_optimize for the pool on date, given the current holding\n"
        "(weights keyed by order_book_id; stocks not in it are not held) and the caller's\n"
        "own bnds: a suspended stock, or one not trading that day, is held at its weight; a\n"
        "stock at limit-up is not bought (upper at most its weight), one at limit-down not\n"
        "sold (lower at least its weight); with exclude_special_treatment a stock under\n"
        "special treatment is not bought (new positions get upper 0). Every other bound is\n"
        "the caller's. Where the caller's bounds and the day conflict, the day wins and an\n"
        "OptimizerWarning names the stocks and the reasons. Returns {order_book_id: (lower,\n"
        "upper)} for every stock of the pool.");
    def_function(
        m, "to_orders", &to_orders, py::arg("target"), py::arg("date"), py::arg("capital"),
        py::arg("current_shares") = py::none(), py::arg("prices") = py::none(),
        "Whole-lot orders that bring an account as close to the target weights as its\n"
        "cash allows. target: weights keyed by order_book_id, fractions of the account's\n"
        "value (capital plus the holding at the day's prices). capital: the cash.\n"
        "current_shares: shares held, keyed by order_book_id. prices: prices to trade at,\n"
        "by default the day's closes. Orders come in lots of 100 shares (main boards,\n"
        "ChiNext; a sale may take the odd shares along) or of at least 200 shares (STAR);\n"
        "a position may always be sold whole.\n"
        "Nothing suspended or at limit-up is bought, nothing suspended or at limit-down is\n"
        "sold, and the buys never cost more than the capital plus what the sales bring.\n"
        "Returns an Orders DataFrame with the attributes cash_left and deviation.");
}
