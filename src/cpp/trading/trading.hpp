// What the files of vantelo.trading share: the day's flags of a stock, the lot
// grid and the account the rounding to lots works on, and the readers of the
// caller's input that more than one entry point uses.
#pragma once

#include "vantelo/common.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vantelo {
namespace trading {

constexpr const char *kModule = "vantelo.trading";

inline py::object attr(const char *name) { return module_attr(kModule, name); }

[[noreturn]] inline void invalid(py::handle message) { raise_invalid_argument(kModule, message); }

enum Flag : std::uint8_t {
    kSuspended = 1,
    kLimitUp = 2,
    kLimitDown = 4,
    kSpecialTreatment = 8,
    kNoPrice = 16, // not trading that day at all: not listed yet, delisted, unknown
};

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
    double capital = 0.0;
    double worth = 0.0; // the capital plus the holding: what the counts may be worth at most
    // How far short of 0 the cash may come out in the last bits of its sums: the
    // same account summed in another order gives a hair more or less.
    double slack = 0.0;

    bool affordable(double cash) const { return cash >= -slack; }
};

// The arithmetic of an account's counts (lots.cpp).
double cash_of(const Account &a, const std::vector<double> &shares);
double gap_at(const Account &a, std::size_t i, double f);
double deviation_of(const Account &a, const std::vector<double> &shares);
std::vector<double> rounded(const Account &a, bool nearest);

// The starts and the local moves of the rounding to lots (lots.cpp), which
// round_to_lots (exact.cpp) combines.
void repair_by_ratio(const Account &a, std::vector<double> &shares, double &cash);
void cover_shortfall(const Account &a, std::vector<double> &shares, double &cash);
bool use_spare_cash(const Account &a, std::vector<double> &shares, double &cash);
void improve(const Account &a, std::vector<double> &shares, double &cash);
std::vector<double> round_to_lots(const Account &a);

// Reading the caller's input (inputs.cpp).
py::module_ np();
py::object to_date(py::handle date);
py::list pool_of(py::handle order_book_ids);
py::object stock_series(py::handle values, const char *what);
py::object empty_series();
double finite_number(py::handle value, const char *what);

template <typename T> py::array_t<T> as_array(py::handle values, const char *dtype) {
    return py::array_t<T, py::array::c_style | py::array::forcecast>(
        np().attr("ascontiguousarray")(values, py::arg("dtype") = dtype));
}

py::object status_for(py::list codes, py::handle date);
std::vector<std::uint8_t> flags_of(py::handle status, std::size_t n);
bool none_trades(const std::vector<std::uint8_t> &flags);

// The entry points and the Orders class.
py::object trading_status(py::object order_book_ids, py::object date);
py::object tradable_bounds(py::object order_book_ids, py::object date, py::object holding,
                           py::object bnds, py::object exclude_special_treatment);
py::object to_orders(py::object target, py::object date, py::object capital,
                     py::object current_shares, py::object prices);
void define_orders(py::module_ &m);

} // namespace trading
} // namespace vantelo
