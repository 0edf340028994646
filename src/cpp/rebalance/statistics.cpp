// The measures of a path of daily returns: growth and its annual rate,
// volatility, Sharpe and Sortino ratios, drawdowns, and the comparison with a
// benchmark.
#include "rebalance.hpp"

#include <algorithm>
#include <cmath>

namespace vantelo {
namespace rebalance {

namespace {

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

// The fall of the value from its running peak after each day, the value starting
// at 1 (a first day's loss is a drawdown from the start).
std::vector<double> drawdowns(const std::vector<double> &returns) {
    std::vector<double> out(returns.size());
    double value = 1.0;
    double peak = 1.0;
    for (std::size_t t = 0; t < returns.size(); ++t) {
        value *= 1.0 + returns[t];
        peak = std::max(peak, value);
        out[t] = 1.0 - value / peak;
    }
    return out;
}

// The largest drawdown and its days: the peak it fell from (-1: the start, before
// the first day), the trough, and the first day back at the peak's value (-1: not
// recovered by the last day).
struct Drawdown {
    double depth = 0.0;
    long peak = -1;
    long trough = -1;
    long recovery = -1;
};

Drawdown worst_drawdown(const std::vector<double> &returns) {
    Drawdown worst;
    double value = 1.0;
    double peak_value = 1.0;
    long peak_day = -1;
    double worst_peak_value = 1.0;
    for (std::size_t t = 0; t < returns.size(); ++t) {
        value *= 1.0 + returns[t];
        if (value > peak_value) {
            peak_value = value;
            peak_day = static_cast<long>(t);
        }
        const double depth = 1.0 - value / peak_value;
        if (depth > worst.depth) {
            worst.depth = depth;
            worst.peak = peak_day;
            worst.trough = static_cast<long>(t);
            worst_peak_value = peak_value;
        }
    }
    if (worst.trough >= 0) {
        value = 1.0;
        for (std::size_t t = 0; t < returns.size(); ++t) {
            value *= 1.0 + returns[t];
            if (static_cast<long>(t) > worst.trough && value >= worst_peak_value) {
                worst.recovery = static_cast<long>(t);
                break;
            }
        }
    }
    return worst;
}

double max_drawdown(const std::vector<double> &returns) { return worst_drawdown(returns).depth; }

double growth_of(const std::vector<double> &returns) {
    double growth = 1.0;
    for (double r : returns) {
        growth *= 1.0 + r;
    }
    return growth;
}

// The compound annual rate of a path of daily returns.
double annualised(const std::vector<double> &returns) {
    const double growth = growth_of(returns);
    const double years = static_cast<double>(returns.size()) / kTradingDaysPerYear;
    return returns.empty() || growth <= 0.0 ? std::nan("") : std::pow(growth, 1.0 / years) - 1.0;
}

double annual_volatility(const std::vector<double> &returns) {
    return sample_std(returns) * std::sqrt(static_cast<double>(kTradingDaysPerYear));
}

std::vector<double> difference(const std::vector<double> &a, const std::vector<double> &b) {
    std::vector<double> out(a.size());
    for (std::size_t t = 0; t < a.size(); ++t) {
        out[t] = a[t] - b[t];
    }
    return out;
}

// Sharpe and Sortino ratios of daily returns over a daily risk-free rate: the mean
// excess return over its standard deviation (Sharpe) or over the downside
// deviation, the root mean square of the excess returns below 0 over all days
// (Sortino), both annualised.
double sharpe_ratio(const std::vector<double> &returns, double daily_free) {
    std::vector<double> excess(returns.size());
    for (std::size_t t = 0; t < returns.size(); ++t) {
        excess[t] = returns[t] - daily_free;
    }
    const double deviation = sample_std(excess);
    return deviation > 0.0 ? mean(excess) / deviation * std::sqrt(double(kTradingDaysPerYear))
                           : std::nan("");
}

double sortino_ratio(const std::vector<double> &returns, double daily_free) {
    if (returns.empty()) {
        return std::nan("");
    }
    double sum = 0.0;
    double below = 0.0;
    for (double r : returns) {
        const double excess = r - daily_free;
        sum += excess;
        below += excess < 0.0 ? excess * excess : 0.0;
    }
    const double days = static_cast<double>(returns.size());
    const double downside = std::sqrt(below / days);
    return downside > 0.0 ? sum / days / downside * std::sqrt(double(kTradingDaysPerYear))
                          : std::nan("");
}

std::vector<double> optional_vector(py::object values, const char *what, py::ssize_t length) {
    // Array::ensure answers a null array, not an error, for what numpy cannot
    // convert; the cast raises the TypeError a wrong argument deserves.
    return vector_of(values.cast<Array>(), what, length);
}

} // namespace

py::dict summary(const Array &portfolio, py::object benchmark, const Array &turnovers) {
    std::vector<double> mine = vector_of(portfolio, "portfolio");
    std::vector<double> traded = vector_of(turnovers, "turnover");
    const bool with_benchmark = !benchmark.is_none();
    std::vector<double> active;
    if (with_benchmark) {
        active = difference(
            mine, optional_vector(benchmark, "benchmark", static_cast<py::ssize_t>(mine.size())));
    }
    const double nan = std::nan("");
    const double tracking_error = with_benchmark ? annual_volatility(active) : nan;
    const double information_ratio = with_benchmark && tracking_error > 0.0
                                         ? mean(active) * kTradingDaysPerYear / tracking_error
                                         : nan;
    py::dict out;
    out["annualised_return"] = annualised(mine);
    out["volatility"] = annual_volatility(mine);
    out["tracking_error"] = tracking_error;
    out["information_ratio"] = information_ratio;
    out["max_drawdown"] = max_drawdown(mine);
    out["average_turnover"] = mean(traded);
    return out;
}

py::dict measures(const Array &portfolio, py::object benchmark, double risk_free) {
    std::vector<double> mine = vector_of(portfolio, "portfolio");
    if (!std::isfinite(risk_free) || risk_free <= -1.0) {
        invalid(format("risk_free: expected an annual rate above -1, got {}", risk_free));
    }
    const double daily_free = std::pow(1.0 + risk_free, 1.0 / kTradingDaysPerYear) - 1.0;
    const double nan = std::nan("");
    const Drawdown worst = worst_drawdown(mine);
    const double annual_return = annualised(mine);
    py::dict out;
    out["total_return"] = mine.empty() ? nan : growth_of(mine) - 1.0;
    out["annualised_return"] = annual_return;
    out["volatility"] = annual_volatility(mine);
    out["sharpe_ratio"] = sharpe_ratio(mine, daily_free);
    out["sortino_ratio"] = sortino_ratio(mine, daily_free);
    out["max_drawdown"] = worst.depth;
    out["drawdown_peak"] = worst.peak;
    out["drawdown_trough"] = worst.trough;
    out["drawdown_recovery"] = worst.recovery;
    out["calmar_ratio"] = worst.depth > 0.0 ? annual_return / worst.depth : nan;
    double benchmark_total = nan, benchmark_return = nan, benchmark_volatility = nan;
    double active_return = nan, tracking_error = nan, information_ratio = nan, hit_rate = nan;
    if (!benchmark.is_none()) {
        std::vector<double> theirs =
            optional_vector(benchmark, "benchmark", static_cast<py::ssize_t>(mine.size()));
        std::vector<double> active = difference(mine, theirs);
        benchmark_total = theirs.empty() ? nan : growth_of(theirs) - 1.0;
        benchmark_return = annualised(theirs);
        benchmark_volatility = annual_volatility(theirs);
        active_return = annual_return - benchmark_return;
        tracking_error = annual_volatility(active);
        information_ratio =
            tracking_error > 0.0 ? mean(active) * kTradingDaysPerYear / tracking_error : nan;
        if (!active.empty()) {
            double beaten = 0.0;
            for (double a : active) {
                beaten += a > 0.0 ? 1.0 : 0.0;
            }
            hit_rate = beaten / static_cast<double>(active.size());
        }
    }
    out["benchmark_total_return"] = benchmark_total;
    out["benchmark_annualised_return"] = benchmark_return;
    out["benchmark_volatility"] = benchmark_volatility;
    out["active_return"] = active_return;
    out["tracking_error"] = tracking_error;
    out["information_ratio"] = information_ratio;
    out["hit_rate"] = hit_rate;
    return out;
}

Array drawdown(const Array &returns) {
    std::vector<double> values = drawdowns(vector_of(returns, "returns"));
    Array out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

double annual_return(const Array &returns) { return annualised(vector_of(returns, "returns")); }

} // namespace rebalance
} // namespace vantelo
