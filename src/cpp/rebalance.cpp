// vantelo._rebalance: the arithmetic of a schedule of rebalances. Holdings drift
// with the prices between dates, each rebalance trades from the drifted holding to
// the new target (turnover, costs), and the daily returns of the path are summed
// up into the usual statistics. Plain arrays in and out; the loops run without
// the GIL on copies of the data.
#include "vantelo/common.hpp"

#include <pybind11/numpy.h>
#include <pybind11/options.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.exception";

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

[[noreturn]] void invalid(py::str message) { raise_invalid_argument(kModule, message); }

std::vector<double> vector_of(const Array &values, const char *what, py::ssize_t length = -1) {
    if (values.ndim() != 1) {
        invalid(format("{}: expected a vector, got an array of {} dimensions", py::str(what),
                       values.ndim()));
    }
    if (length >= 0 && values.shape(0) != length) {
        invalid(format("{}: expected {} values, got {}", py::str(what), length, values.shape(0)));
    }
    return std::vector<double>(values.data(), values.data() + values.shape(0));
}

void check_matrix(const Array &values, const char *what, py::ssize_t columns) {
    if (values.ndim() != 2 || values.shape(1) != columns) {
        invalid(format("{}: expected a matrix of {} columns, got shape {}", py::str(what), columns,
                       py::tuple(py::reinterpret_borrow<py::object>(values).attr("shape"))));
    }
}

// ---------------------------------------------------------------------------
// Pure arithmetic
// ---------------------------------------------------------------------------

// One day: the holding's return, and the holding moved along with the prices.
// A missing rate (suspension, before listing) is no price change. What is not
// in stocks (1 - sum of weights) is cash and earns nothing.
double drift_one_day(std::vector<double> &weights, const double *rates) {
    double total = 0.0;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const double rate = std::isfinite(rates[i]) ? rates[i] : 0.0;
        total += weights[i] * rate;
    }
    const double grown = 1.0 + total;
    if (grown > 0.0) {
        for (std::size_t i = 0; i < weights.size(); ++i) {
            const double rate = std::isfinite(rates[i]) ? rates[i] : 0.0;
            weights[i] = weights[i] * (1.0 + rate) / grown;
        }
    }
    return total;
}

// One-way turnover: half the sum of the absolute weight changes, the measure a
// TurnoverLimit holds the optimiser to. Between two fully invested holdings it is
// what is bought (and what is sold); building a portfolio from cash turns over
// 0.5, half of what is bought, as the limit would count it.
double one_way_turnover(const std::vector<double> &before, const double *after) {
    double changed = 0.0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        changed += std::fabs(after[i] - before[i]);
    }
    return 0.5 * changed;
}

double mean(const std::vector<double> &x) {
    double sum = 0.0;
    for (double v : x) {
        sum += v;
    }
    return x.empty() ? std::nan("") : sum / static_cast<double>(x.size());
}

double sample_std(const std::vector<double> &x) {
    if (x.size() < 2) {
        return std::nan("");
    }
    const double m = mean(x);
    double sum = 0.0;
    for (double v : x) {
        sum += (v - m) * (v - m);
    }
    return std::sqrt(sum / static_cast<double>(x.size() - 1));
}

double max_drawdown(const std::vector<double> &returns) {
    double value = 1.0;
    double peak = 1.0;
    double worst = 0.0;
    for (double r : returns) {
        value *= 1.0 + r;
        peak = std::max(peak, value);
        worst = std::max(worst, 1.0 - value / peak);
    }
    return worst;
}

// ---------------------------------------------------------------------------
// Bindings
// ---------------------------------------------------------------------------

py::tuple drift(const Array &weights, const Array &rates) {
    std::vector<double> held = vector_of(weights, "weights");
    const py::ssize_t n = static_cast<py::ssize_t>(held.size());
    check_matrix(rates, "rates", n);
    const py::ssize_t days = rates.shape(0);
    Array returns(days);
    {
        py::gil_scoped_release release;
        double *out = returns.mutable_data();
        for (py::ssize_t t = 0; t < days; ++t) {
            out[t] = drift_one_day(held, rates.data() + t * n);
        }
    }
    Array final_weights(n);
    std::copy(held.begin(), held.end(), final_weights.mutable_data());
    return py::make_tuple(returns, final_weights);
}

double turnover(const Array &before, const Array &after) {
    std::vector<double> old = vector_of(before, "before");
    std::vector<double> now = vector_of(after, "after", static_cast<py::ssize_t>(old.size()));
    return one_way_turnover(old, now.data());
}

py::tuple backtest(const Array &targets, const Array &rows, const Array &rates,
                   const Array &initial, double cost) {
    std::vector<double> held = vector_of(initial, "initial");
    const py::ssize_t n = static_cast<py::ssize_t>(held.size());
    check_matrix(targets, "targets", n);
    check_matrix(rates, "rates", n);
    std::vector<double> at = vector_of(rows, "rows", targets.shape(0));
    const py::ssize_t days = rates.shape(0);
    const py::ssize_t dates = targets.shape(0);
    for (py::ssize_t j = 0; j < dates; ++j) {
        if (!(at[j] >= 0.0 && at[j] < static_cast<double>(days)) ||
            (j > 0 && !(at[j] > at[j - 1]))) {
            invalid(format("rows: rebalance rows must rise within 0..{}, got {} at position {}",
                           days - 1, at[j], j));
        }
    }
    if (!std::isfinite(cost) || cost < 0.0) {
        invalid(format("cost: expected a finite rate of at least 0, got {}", cost));
    }
    Array returns(days);
    Array turnovers(dates);
    Array drifted(std::vector<py::ssize_t>{dates, n});
    {
        py::gil_scoped_release release;
        double *out = returns.mutable_data();
        double *traded = turnovers.mutable_data();
        double *before = drifted.mutable_data();
        py::ssize_t next = 0;
        double charge = 0.0;
        for (py::ssize_t t = 0; t < days; ++t) {
            // The initial holding is what is held at the close of the first date,
            // where the optimiser measured its turnover: it has not moved yet.
            out[t] = dates > 0 && t <= static_cast<py::ssize_t>(at[0])
                         ? 0.0
                         : drift_one_day(held, rates.data() + t * n);
            // Trades at a close are paid for out of the value the next day starts with.
            out[t] = (1.0 + out[t]) * (1.0 - charge) - 1.0;
            charge = 0.0;
            if (next < dates && static_cast<py::ssize_t>(at[next]) == t) {
                std::copy(held.begin(), held.end(), before + next * n);
                const double *target = targets.data() + next * n;
                // A date without a target (it failed) keeps what is held.
                traded[next] = 0.0;
                if (n > 0 && std::isfinite(target[0])) {
                    traded[next] = one_way_turnover(held, target);
                    std::copy(target, target + n, held.begin());
                    charge = cost * traded[next];
                }
                ++next;
            }
        }
    }
    return py::make_tuple(returns, turnovers, drifted);
}

py::dict summary(const Array &portfolio, py::object benchmark, const Array &turnovers) {
    std::vector<double> mine = vector_of(portfolio, "portfolio");
    std::vector<double> traded = vector_of(turnovers, "turnover");
    const bool with_benchmark = !benchmark.is_none();
    std::vector<double> active;
    if (with_benchmark) {
        // Array::ensure answers a null array, not an error, for what numpy cannot
        // convert; the cast raises the TypeError a wrong argument deserves.
        std::vector<double> theirs =
            vector_of(benchmark.cast<Array>(), "benchmark", static_cast<py::ssize_t>(mine.size()));
        active.resize(mine.size());
        for (std::size_t t = 0; t < mine.size(); ++t) {
            active[t] = mine[t] - theirs[t];
        }
    }
    double growth = 1.0;
    for (double r : mine) {
        growth *= 1.0 + r;
    }
    const double years = static_cast<double>(mine.size()) / kTradingDaysPerYear;
    const double nan = std::nan("");
    const double annual_return =
        mine.empty() || growth <= 0.0 ? nan : std::pow(growth, 1.0 / years) - 1.0;
    const double root_year = std::sqrt(kTradingDaysPerYear);
    const double tracking_error = with_benchmark ? sample_std(active) * root_year : nan;
    const double information_ratio = with_benchmark && tracking_error > 0.0
                                         ? mean(active) * kTradingDaysPerYear / tracking_error
                                         : nan;
    py::dict out;
    out["annualised_return"] = annual_return;
    out["volatility"] = sample_std(mine) * root_year;
    out["tracking_error"] = tracking_error;
    out["information_ratio"] = information_ratio;
    out["max_drawdown"] = max_drawdown(mine);
    out["average_turnover"] = mean(traded);
    return out;
}

} // namespace
} // namespace vantelo

PYBIND11_MODULE(_rebalance, m) {
    using namespace vantelo;
    ModuleOptions options;
    m.doc() = "The arithmetic of rebalancing: drift, turnover, backtest returns, statistics.";
    def_function(m, "drift", &drift, py::arg("weights"), py::arg("rates"),
                 "Daily returns of a holding over the rows of `rates` (days x stocks, NaN = no\n"
                 "change), and the holding after the last day.");
    def_function(m, "turnover", &turnover, py::arg("before"), py::arg("after"),
                 "One-way turnover: the larger of what is bought and what is sold.");
    def_function(m, "backtest", &backtest, py::arg("targets"), py::arg("rows"), py::arg("rates"),
                 py::arg("initial"), py::arg("cost"),
                 "The daily returns of holding `initial`, then each row of `targets` from the\n"
                 "close of the day `rows` names (a row of NaN keeps the holding), with `cost`\n"
                 "times the turnover taken off the next day's value; the turnover of each\n"
                 "date and the drifted holding it traded from.");
    def_function(m, "summary", &summary, py::arg("portfolio"), py::arg("benchmark"),
                 py::arg("turnover"),
                 "Annualised return, volatility, tracking error, information ratio, maximum\n"
                 "drawdown and average turnover.");
}
