// What the files of vantelo._rebalance share: the array type of every call, the
// checks of its arguments, and the drift and turnover that a path is made of.
#pragma once

#include "vantelo/common.hpp"

#include <pybind11/numpy.h>

#include <vector>

namespace vantelo {
namespace rebalance {

constexpr const char *kModule = "vantelo.exception";

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

[[noreturn]] inline void invalid(py::str message) { raise_invalid_argument(kModule, message); }

std::vector<double> vector_of(const Array &values, const char *what, py::ssize_t length = -1);
void check_matrix(const Array &values, const char *what, py::ssize_t columns);

// One day's drift of a holding and the one-way turnover of a trade (drift.cpp),
// which a path repeats.
double drift_one_day(std::vector<double> &weights, const double *rates);
double one_way_turnover(const std::vector<double> &before, const double *after);

// The entry points.
py::tuple drift(const Array &weights, const Array &rates);
double turnover(const Array &before, const Array &after);
py::tuple backtest(const Array &targets, const Array &rows, const Array &rates,
                   const Array &initial, double cost);
py::dict backtest_costs(const Array &targets, const Array &rows, const Array &rates,
                        const Array &initial, double cost, const py::dict &model);
py::object order_costs(const Array &values, const Array &traded, const py::dict &terms);
py::dict summary(const Array &portfolio, py::object benchmark, const Array &turnovers);
py::dict measures(const Array &portfolio, py::object benchmark, double risk_free);
Array drawdown(const Array &returns);
double annual_return(const Array &returns);

} // namespace rebalance
} // namespace vantelo
