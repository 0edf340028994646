// vantelo._rebalance: the arithmetic of a schedule of rebalances. Holdings drift
// with the prices between dates, each rebalance trades from the drifted holding to
// the new target (turnover, and costs: a flat rate on turnover, or the orders'
// commission, taxes, spread and market impact), and the daily returns of the path
// are summed up into the measures of a backtest (returns, risk, drawdowns, the
// comparison with a benchmark). Plain arrays in and out; the loops run without the
// GIL on copies of the data.
#include "rebalance.hpp"

#include <pybind11/options.h>

PYBIND11_MODULE(_rebalance, m) {
    using namespace vantelo;
    using namespace vantelo::rebalance;
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
