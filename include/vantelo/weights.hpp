// A portfolio handed in: weights keyed by code, read one way by every module that
// takes one (the report, the constraint check, the command line, the target of an
// order list). The modules that take them speak English, and so do these checks:
// each refusal names the argument and what is wrong with which entry.
#pragma once

#include "vantelo/python.hpp"

namespace vantelo {

// How far the weights of a portfolio may sum past 1 before they are refused, and
// short of 1 before the rest is said to be cash: a file of weights rounded to a few
// decimals sums to 1 only this closely.
constexpr double kWeightSumTolerance = 1e-4;

// The values of a per-stock Series as a float64 Series over the same index. A value
// that is no number (text, a boolean, None, anything float() refuses), NaN or
// infinite raises the module's InvalidArgument naming `name` and the stock.
py::object numeric_series(const char *module, py::handle series, py::handle name);

// `weights`, a pandas Series or a dict of order_book_id -> weight, as a float64
// Series in the order given. Refused with the module's InvalidArgument, naming
// `name`: another type, no stocks, a code that is not text or is empty, a code
// listed twice, a weight that is no finite number.
py::object read_weights(const char *module, py::handle weights, py::handle name);

// The rule for what weights may sum to, returning the sum: more than 1 (beyond
// kWeightSumTolerance) raises the module's InvalidArgument naming the sum, with a
// hint when they look like percent; less than 1 issues, when `warn_cash`, one
// OptimizerWarning naming the share that is read as cash.
double check_weight_sum(const char *module, py::handle weights, py::handle name, bool warn_cash);

} // namespace vantelo
