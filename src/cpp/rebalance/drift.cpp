// Holdings drifting with the prices, the one-way turnover of a rebalance, and the
// checks of the arrays every call takes.
#include "rebalance.hpp"

#include <algorithm>
#include <cmath>

namespace vantelo {
namespace rebalance {

std::vector<double> vector_of(const Array &values, const char *what, py::ssize_t length) {
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

} // namespace rebalance
} // namespace vantelo
