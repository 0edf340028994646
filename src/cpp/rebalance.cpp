// vantelo._rebalance: the arithmetic of a schedule of rebalances. Holdings drift
// with the prices between dates, each rebalance trades from the drifted holding to
// the new target (turnover, and costs: a flat rate on turnover, or the orders'
// commission, taxes, spread and market impact), and the daily returns of the path
// are summed up into the measures of a backtest (returns, risk, drawdowns, the
// comparison with a benchmark). Plain arrays in and out; the loops run without the
// GIL on copies of the data.
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

// ---------------------------------------------------------------------------
// Costs of orders
// ---------------------------------------------------------------------------

// What each order pays, in currency: commission (a rate of its value, at least a
// minimum per order), stamp duty (a rate on what is bought and one on what is
// sold), the transfer fee and the spread (rates of its value), and market impact,
// a rate that grows as a power of the order over the stock's daily traded value
// (none where that value is unknown).
enum Component { kCommission, kStampDuty, kTransferFee, kSpread, kImpact, kFlat, kComponents };
constexpr int kOrderComponents = kFlat;

struct OrderTerms {
    double commission = 0.0;
    double minimum = 0.0;
    double stamp_buy = 0.0;
    double stamp_sell = 0.0;
    double transfer = 0.0;
    double spread = 0.0;
    double impact = 0.0;
    double exponent = 0.5;
};

void add_order_cost(double value, double traded, const OrderTerms &terms, double *out) {
    const double amount = std::fabs(value);
    if (!(amount > 0.0)) {
        return;
    }
    out[kCommission] += std::max(terms.commission * amount, terms.minimum);
    out[kStampDuty] += (value > 0.0 ? terms.stamp_buy : terms.stamp_sell) * amount;
    out[kTransferFee] += terms.transfer * amount;
    out[kSpread] += terms.spread * amount;
    if (terms.impact > 0.0 && std::isfinite(traded) && traded > 0.0) {
        out[kImpact] += terms.impact * amount * std::pow(amount / traded, terms.exponent);
    }
}

// The cost model of a whole path: fixed terms, the rates in force on each date and
// each stock's daily traded value on each date (NaN: unknown).
struct PathCosts {
    double capital = 0.0;
    double no_order = 0.0;
    OrderTerms fixed;
    std::vector<double> stamp_buy, stamp_sell, transfer, spread;
    std::vector<double> traded; // dates x stocks

    OrderTerms on(py::ssize_t date) const {
        OrderTerms terms = fixed;
        terms.stamp_buy = stamp_buy[date];
        terms.stamp_sell = stamp_sell[date];
        terms.transfer = transfer[date];
        terms.spread = spread[date];
        return terms;
    }
};

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

void check_rows(const std::vector<double> &at, py::ssize_t days) {
    for (std::size_t j = 0; j < at.size(); ++j) {
        if (!(at[j] >= 0.0 && at[j] < static_cast<double>(days)) ||
            (j > 0 && !(at[j] > at[j - 1]))) {
            invalid(format("rows: rebalance rows must rise within 0..{}, got {} at position {}",
                           days - 1, at[j], j));
        }
    }
}

// The arrays one run of a path fills.
struct Path {
    Array returns;  // days: after costs
    Array gross;    // days: before costs
    Array turnover; // dates
    Array drifted;  // dates x stocks: the holding each date traded from
    Array costs;    // dates x components, as shares of the value traded from
    Path(py::ssize_t days, py::ssize_t dates, py::ssize_t n)
        : returns(days), gross(days), turnover(dates), drifted(std::vector<py::ssize_t>{dates, n}),
          costs(std::vector<py::ssize_t>{dates, static_cast<py::ssize_t>(kComponents)}) {}
};

// Holds `held`, trades to each target on its row's close and pays for it out of
// the next day's value: `flat` times the turnover, and with `model` what the
// orders cost. A weight that moves by no more than the model's `no_order` is no
// order (solvers leave crumbs that nobody would trade).
void run_path(const Array &targets, const std::vector<double> &at, const Array &rates,
              std::vector<double> held, double flat, const PathCosts *model, Path &path) {
    const py::ssize_t n = static_cast<py::ssize_t>(held.size());
    const py::ssize_t days = rates.shape(0);
    const py::ssize_t dates = targets.shape(0);
    py::gil_scoped_release release;
    double *out = path.returns.mutable_data();
    double *gross = path.gross.mutable_data();
    double *traded = path.turnover.mutable_data();
    double *before = path.drifted.mutable_data();
    double *costs = path.costs.mutable_data();
    std::fill(costs, costs + dates * kComponents, 0.0);
    double value = model != nullptr ? model->capital : 1.0;
    py::ssize_t next = 0;
    double charge = 0.0;
    for (py::ssize_t t = 0; t < days; ++t) {
        // The initial holding is what is held at the close of the first date,
        // where the optimiser measured its turnover: it has not moved yet.
        gross[t] = dates > 0 && t <= static_cast<py::ssize_t>(at[0])
                       ? 0.0
                       : drift_one_day(held, rates.data() + t * n);
        // Trades at a close are paid for out of the value the next day starts with.
        out[t] = (1.0 + gross[t]) * (1.0 - charge) - 1.0;
        value *= 1.0 + out[t];
        charge = 0.0;
        if (next < dates && static_cast<py::ssize_t>(at[next]) == t) {
            std::copy(held.begin(), held.end(), before + next * n);
            const double *target = targets.data() + next * n;
            double *row = costs + next * kComponents;
            // A date without a target (it failed) keeps what is held.
            traded[next] = 0.0;
            if (n > 0 && std::isfinite(target[0])) {
                traded[next] = one_way_turnover(held, target);
                row[kFlat] = flat * traded[next];
                if (model != nullptr && value > 0.0) {
                    const OrderTerms terms = model->on(next);
                    double spent[kOrderComponents] = {0.0};
                    for (py::ssize_t i = 0; i < n; ++i) {
                        const double change = target[i] - held[i];
                        if (std::fabs(change) > model->no_order) {
                            add_order_cost(change * value, model->traded[next * n + i], terms,
                                           spent);
                        }
                    }
                    for (int c = 0; c < kOrderComponents; ++c) {
                        row[c] = spent[c] / value;
                    }
                }
                for (int c = 0; c < kComponents; ++c) {
                    charge += row[c];
                }
                std::copy(target, target + n, held.begin());
            }
            ++next;
        }
    }
}

py::ssize_t checked_path(const Array &targets, const Array &rows, const Array &rates,
                         const std::vector<double> &held, double cost, std::vector<double> &at) {
    const py::ssize_t n = static_cast<py::ssize_t>(held.size());
    check_matrix(targets, "targets", n);
    check_matrix(rates, "rates", n);
    at = vector_of(rows, "rows", targets.shape(0));
    check_rows(at, rates.shape(0));
    if (!std::isfinite(cost) || cost < 0.0) {
        invalid(format("cost: expected a finite rate of at least 0, got {}", cost));
    }
    return n;
}

py::tuple backtest(const Array &targets, const Array &rows, const Array &rates,
                   const Array &initial, double cost) {
    std::vector<double> held = vector_of(initial, "initial");
    std::vector<double> at;
    const py::ssize_t n = checked_path(targets, rows, rates, held, cost, at);
    Path path(rates.shape(0), targets.shape(0), n);
    run_path(targets, at, rates, std::move(held), cost, nullptr, path);
    return py::make_tuple(path.returns, path.turnover, path.drifted);
}

double model_number(const py::dict &model, const char *key, bool positive_only = false) {
    if (!model.contains(key)) {
        invalid(format("model: no {!r}", py::str(key)));
    }
    const double value = as_double(model[key]);
    if (!std::isfinite(value) || value < 0.0 || (positive_only && value <= 0.0)) {
        invalid(format("model[{!r}]: expected a finite number {} 0, got {}", py::str(key),
                       py::str(positive_only ? "above" : "of at least"), value));
    }
    return value;
}

std::vector<double> model_rates(const py::dict &model, const char *key, py::ssize_t dates) {
    if (!model.contains(key)) {
        invalid(format("model: no {!r}", py::str(key)));
    }
    std::vector<double> rates = vector_of(py::cast<Array>(model[key]), key, dates);
    for (double rate : rates) {
        if (!std::isfinite(rate) || rate < 0.0) {
            invalid(format("model[{!r}]: expected finite rates of at least 0, got {}",
                           py::str(key), rate));
        }
    }
    return rates;
}

OrderTerms fixed_terms(const py::dict &model) {
    OrderTerms terms;
    terms.commission = model_number(model, "commission");
    terms.minimum = model_number(model, "minimum");
    terms.impact = model_number(model, "impact");
    terms.exponent = model_number(model, "exponent", true);
    return terms;
}

PathCosts path_costs(const py::dict &model, py::ssize_t dates, py::ssize_t n) {
    PathCosts costs;
    costs.capital = model_number(model, "capital", true);
    costs.no_order = model_number(model, "no_order");
    costs.fixed = fixed_terms(model);
    costs.stamp_buy = model_rates(model, "stamp_buy", dates);
    costs.stamp_sell = model_rates(model, "stamp_sell", dates);
    costs.transfer = model_rates(model, "transfer", dates);
    costs.spread = model_rates(model, "spread", dates);
    if (!model.contains("traded")) {
        invalid(py::str("model: no 'traded'"));
    }
    Array traded = py::cast<Array>(model["traded"]);
    check_matrix(traded, "model['traded']", n);
    if (traded.shape(0) != dates) {
        invalid(format("model['traded']: expected {} rows, one per date, got {}", dates,
                       traded.shape(0)));
    }
    costs.traded.assign(traded.data(), traded.data() + dates * n);
    return costs;
}

py::dict backtest_costs(const Array &targets, const Array &rows, const Array &rates,
                        const Array &initial, double cost, const py::dict &model) {
    std::vector<double> held = vector_of(initial, "initial");
    std::vector<double> at;
    const py::ssize_t n = checked_path(targets, rows, rates, held, cost, at);
    const PathCosts costs = path_costs(model, targets.shape(0), n);
    Path path(rates.shape(0), targets.shape(0), n);
    run_path(targets, at, rates, std::move(held), cost, &costs, path);
    py::dict out;
    out["returns"] = path.returns;
    out["gross"] = path.gross;
    out["turnover"] = path.turnover;
    out["drifted"] = path.drifted;
    out["costs"] = path.costs;
    return out;
}

py::object order_costs(const Array &values, const Array &traded, const py::dict &terms) {
    std::vector<double> amounts = vector_of(values, "values");
    const py::ssize_t n = static_cast<py::ssize_t>(amounts.size());
    std::vector<double> volumes = vector_of(traded, "traded", n);
    OrderTerms day = fixed_terms(terms);
    day.stamp_buy = model_number(terms, "stamp_buy");
    day.stamp_sell = model_number(terms, "stamp_sell");
    day.transfer = model_number(terms, "transfer");
    day.spread = model_number(terms, "spread");
    for (py::ssize_t i = 0; i < n; ++i) {
        if (!std::isfinite(amounts[i])) {
            invalid(format("values: expected finite order values, got {} at position {}",
                           amounts[i], i));
        }
    }
    Array out(std::vector<py::ssize_t>{n, static_cast<py::ssize_t>(kOrderComponents)});
    double *row = out.mutable_data();
    std::fill(row, row + n * kOrderComponents, 0.0);
    for (py::ssize_t i = 0; i < n; ++i) {
        add_order_cost(amounts[i], volumes[i], day, row + i * kOrderComponents);
    }
    return std::move(out);
}

std::vector<double> optional_vector(py::object values, const char *what, py::ssize_t length) {
    // Array::ensure answers a null array, not an error, for what numpy cannot
    // convert; the cast raises the TypeError a wrong argument deserves.
    return vector_of(values.cast<Array>(), what, length);
}

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

} // namespace
} // namespace vantelo

PYBIND11_MODULE(_rebalance, m) {
    using namespace vantelo;
    ModuleOptions options;
    m.doc() = "The arithmetic of rebalancing: drift, turnover, costs, backtest returns, measures.";
    m.attr("TRADING_DAYS_PER_YEAR") = kTradingDaysPerYear;
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
    def_function(m, "backtest_costs", &backtest_costs, py::arg("targets"), py::arg("rows"),
                 py::arg("rates"), py::arg("initial"), py::arg("cost"), py::arg("model"),
                 "`backtest` with the orders' costs of `model` (a dict: capital, commission,\n"
                 "minimum, impact, exponent, no_order; per date stamp_buy, stamp_sell,\n"
                 "transfer, spread; traded, dates x stocks) besides the flat `cost`: a dict\n"
                 "of returns, gross (before costs), turnover, drifted and costs (dates x\n"
                 "commission, stamp duty, transfer fee, spread, impact, flat, as shares of the\n"
                 "value traded from).");
    def_function(m, "order_costs", &order_costs, py::arg("values"), py::arg("traded"),
                 py::arg("terms"),
                 "What each order of `values` (currency, + bought, - sold) pays under `terms`\n"
                 "(commission, minimum, stamp_buy, stamp_sell, transfer, spread, impact,\n"
                 "exponent) against `traded`, its stock's daily traded value (NaN: no impact):\n"
                 "orders x commission, stamp duty, transfer fee, spread, impact.");
    def_function(m, "summary", &summary, py::arg("portfolio"), py::arg("benchmark"),
                 py::arg("turnover"),
                 "Annualised return, volatility, tracking error, information ratio, maximum\n"
                 "drawdown and average turnover.");
    def_function(m, "measures", &measures, py::arg("portfolio"), py::arg("benchmark"),
                 py::arg("risk_free"),
                 "The measures of daily returns: total and annualised return, volatility,\n"
                 "Sharpe and Sortino ratios over the annual `risk_free` rate, the largest\n"
                 "drawdown with its peak, trough and recovery days (-1: none), the Calmar\n"
                 "ratio and, with a benchmark, its total and annualised return and volatility,\n"
                 "the active return, tracking error, information ratio and hit rate.");
    def_function(m, "drawdown", &drawdown, py::arg("returns"),
                 "The drawdown after each day: the fall from the running peak, from 1.");
    def_function(m, "annual_return", &annual_return, py::arg("returns"),
                 "The compound annual rate of daily returns.");
}
