// The limits a problem is made of: each per-stock bound, full investment, the
// objective's own constraints and every side of every constraint object, each
// with a readable label, its bound in the caller's units and a cvxpy expression
// of how far the portfolio is past it. The diagnosis relaxes them one by one and
// the constraint check measures a portfolio against them; both read what a
// constraint means from the object's own to_constraints, so the meaning has one
// home.
#pragma once

#include "vantelo/common.hpp"

#include <functional>
#include <string>
#include <vector>

namespace vantelo {

enum class Side { Lower, Upper, Equal };

const char *side_name(Side side);

// A run of limits of one kind and side: one entry for most, one per stock for
// the bounds (kept together so that a whole market stays one vector constraint).
struct LimitGroup {
    py::list labels;       // one text per entry
    py::object constraint; // the caller's object; None for bounds, full
                           // investment and the objective's constraints
    Side side = Side::Upper;
    py::object limits; // float64 array, one bound per entry, caller's units
    bool hard = true;
    // `scale * (value - limit)` for an upper or equal side, `scale * (limit -
    // value)` for a lower one: at most 0 (exactly 0 when equal) where the limit
    // holds. A cvxpy expression with one entry per label.
    py::object excess;
    py::object scale;     // a number, or a cvxpy expression (a share's base)
    double weight = 1.0;  // what one unit of this limit's excess costs
    bool squared = false; // excess in squared units (a variance), value = sqrt
    // None, or a bool array with one flag per entry: the entry holds for every
    // long-only, fully invested portfolio (a lower bound of 0 or less, an upper
    // bound of 1 or more). The constraint check measures it like any other; the
    // diagnosis, whose weights are such a portfolio, has nothing to relax there.
    py::object long_only_holds = py::none();
};

struct LimitSet {
    std::vector<LimitGroup> groups;
    // Constraints that are not limits (of a kind the protocol does not describe):
    // they are kept as they are and never relaxed.
    py::list fixed;
    py::ssize_t size() const;
};

// The limits of one problem over the weight variable `g` (the pool's weights,
// summing to 1): full investment, the bounds of `bnds` (as parse_bnds reads them),
// the internal constraints of `objective` (None: none) and the constraints of the
// objects in `cons`. Constraint objects are handed `zeta` (1.0, or the integer 1
// where the driver would not scale by a float, so that they behave as they would
// there). Labels are unique.
LimitSet enumerate_limits(py::handle g, py::handle pool, py::handle objective, py::handle bnds,
                          py::handle cons, py::handle helper, py::handle zeta);

// Each entry's value in the caller's units at the current value of `g` (NaN
// where a share has no base).
py::object limit_values(const LimitGroup &group);

// How `values` (weights over `pool`, set as the value of the variable `g`) stand
// against every limit of `bnds` and `cons`, full investment included: the
// constraint check's table (label, value, lower, upper, slack, binding, violated),
// binding within kBindingTolerance and violated past kLimitTolerance.
py::object limit_table(py::handle g, py::handle values, py::handle pool, py::handle bnds,
                       py::handle cons, py::handle helper);

// The same table, measured without cvxpy where every constraint is of the
// package's own classes (from the terms their to_constraints is built of, with the
// same labels in the same order); otherwise limit_table over `variable()`. `terms`:
// None, or each constraint's terms as a solve already read them (one list per
// object of `cons`, in order), which are then not read again.
py::object measured_limit_table(py::handle values, py::handle pool, py::handle bnds,
                                py::handle cons, py::handle helper,
                                const std::function<py::object()> &variable,
                                py::handle terms = py::none());

// The value an entry takes when its excess is `excess` (raw units) and its scale
// `scale`: the inverse of the definition of `excess`.
double value_from_excess(const LimitGroup &group, double limit, double excess, double scale);

} // namespace vantelo
