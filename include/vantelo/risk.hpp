// The risk model as the objectives, constraints and reports use it: quadratic
// forms over a helper's covariance (in factor form where it offers one), the
// active weight against a benchmark, style exposures and the history estimate of
// expected returns.
#pragma once

#include "vantelo/python.hpp"

namespace vantelo {

// ---------------------------------------------------------------------------
// Constants every module shares
// ---------------------------------------------------------------------------

// Trading days in a year: annualises daily figures and is the default length of
// a history window.
constexpr int kTradingDaysPerYear = 252;

// The industry of a stock that has none under the classification.
constexpr const char *kUnknownIndustry = "UNKNOWN";

// ---------------------------------------------------------------------------
// Risk terms. With a helper that offers the risk model's factor form
// (cov = root @ root.T + diag(specific)), the quadratic form is written through
// it, which keeps the problem sparse; with any other helper it is
// `cp.quad_form(x, cov)` over the dense matrix.
// ---------------------------------------------------------------------------

enum class Universe { Pool, Union };

// The factor form of the universe's covariance, (root, specific) with
// cov = root @ root.T + diag(specific), as float arrays of `size` rows (any size
// when negative), checked like the dense matrix; None when the helper offers no
// factor form.
py::object factor_form(py::handle helper, Universe universe, py::ssize_t size);

// xᵀ·cov·x as a cvxpy expression, cov the pool's or the union's covariance.
// A covariance that is not a finite, symmetric, positive semidefinite matrix of
// the universe's size (or a factor form that is not finite, or has negative
// specific variances) is the helper's mistake and raises InvalidArgument.
py::object risk_quad_form(py::handle x, py::handle helper, Universe universe);

// sqrt(xᵀ·cov·x) as a cvxpy expression, the 2-norm of rootᵀ·x for a root of the
// universe's covariance (the factor form stacked with the specific volatilities,
// or a square root of the dense matrix): a volatility that is convex in x, so it
// may be held below a bound that is itself a variable (a scaled limit). Checked
// like risk_quad_form.
py::object risk_norm(py::handle x, py::handle helper, Universe universe);

// wᵀ·cov·w for a plain weight vector, as a float.
double portfolio_variance(py::handle weights, py::handle helper);

// g followed by `extra` zeros: the portfolio's weights over a universe that
// extends the pool by stocks the portfolio cannot hold (g itself when `extra` is
// 0). `module` is where `cp` and `np` are looked up.
py::object pad_with_zeros(const char *module, py::handle g, py::ssize_t extra);

// The portfolio's weights minus the benchmark's, over the union of pool and
// benchmark components (`helper.union_components`, the pool first): the portfolio
// holds nothing outside its pool. With a scale (zeta), the benchmark is scaled
// as g is. `module` is where `cp` and `np` are looked up.
py::object active_weight(const char *module, py::handle g, py::handle helper, py::handle scale);

// g · (the pool's exposures to `style`): one style row of `factor_exposure` (the
// helper's get_factor_exposure()), checked finite; `what` names it in the message.
py::object style_exposure(py::handle g, py::handle factor_exposure, py::handle style,
                          py::handle helper, py::handle what);

// The annualised mean daily change rate of `codes` over the `window` trading
// days that end on `end`, read through the market-data `client`: the history
// estimate of expected returns.
py::object annualised_mean_return(py::handle client, py::handle codes, py::handle end,
                                  py::handle window);

// The industries a wildcard industry constraint covers, before its exclusions: the
// pool's in order of first appearance, then the benchmark's others in its order
// (`benchmark_weights` None when the constraint is absolute). A fixed order keeps
// the constraints, their labels and the warnings reproducible.
py::list wildcard_industries(py::handle industry_mapping, py::handle benchmark_weights);

} // namespace vantelo
