// A path of rebalances: the holding drifts between the dates, trades to each
// target and pays for it (a flat rate on turnover, or what the orders cost), and
// the returns, turnover and costs of every date are filled in.
#include "rebalance.hpp"

#include <algorithm>
#include <cmath>

namespace vantelo {
namespace rebalance {

namespace {

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

} // namespace

py::tuple backtest(const Array &targets, const Array &rows, const Array &rates,
                   const Array &initial, double cost) {
    std::vector<double> held = vector_of(initial, "initial");
    std::vector<double> at;
    const py::ssize_t n = checked_path(targets, rows, rates, held, cost, at);
    Path path(rates.shape(0), targets.shape(0), n);
    run_path(targets, at, rates, std::move(held), cost, nullptr, path);
    return py::make_tuple(path.returns, path.turnover, path.drifted);
}

namespace {

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

} // namespace

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

} // namespace rebalance
} // namespace vantelo
