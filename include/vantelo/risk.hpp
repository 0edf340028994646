// The risk model as the objectives, constraints and reports use it: quadratic
// forms over a helper's covariance (in factor form where it offers one), the
// active weight against a benchmark, style exposures and the history estimate of
// expected returns.
#pragma once

#include "vantelo/python.hpp"

#include <utility>

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
// The risk model. One object, vantelo.risk.RiskModel, holds the covariance of
// the annual returns of a universe of stocks: in factor form, cov = root·rootᵀ +
// diag(specific) (with the named factors, exposures·F·exposuresᵀ = root·rootᵀ,
// when they are known), or as a dense matrix. Every risk figure of the package
// (the objectives' and constraints' risk terms, the result check, the report,
// the diagnosis, a schedule's ex-ante figures) is computed here from one.
// ---------------------------------------------------------------------------

enum class Universe { Pool, Union };

// A model in factor form over `codes` (a list of distinct codes): root (rows ×
// k) and specific (rows), float arrays, checked; `factors`, `exposures` and
// `factor_covariance` are the named factors behind root (None when unknown).
py::object factor_risk_model(py::handle codes, py::handle root, py::handle specific,
                             py::handle factors = py::none(), py::handle exposures = py::none(),
                             py::handle factor_covariance = py::none());

// A model over `codes` with the dense covariance `covariance`, checked: finite,
// symmetric and positive semidefinite.
py::object dense_risk_model(py::handle codes, py::handle covariance);

// Whether `value` is a RiskModel.
bool is_risk_model(py::handle value);

// Whether the model is a dense matrix (no factor form of its own).
bool risk_is_dense(py::handle model);

// The model's codes (a list).
py::list risk_codes(py::handle model);

// The model over its first `rows` codes (a universe whose codes start the model's:
// the pool inside pool and benchmark components).
py::object leading_rows(py::handle model, py::ssize_t rows);

// The model over `codes`, in their order; InvalidArgument naming the codes the
// model does not cover. `what` names the model in that message.
py::object risk_subset(py::handle model, py::handle codes, py::handle what);

// (root, specific) of the model: a dense model gives the root of its eigen-
// decomposition and zero specific variances.
py::tuple risk_factor_form(py::handle model);

// The model's dense covariance (formed from the factor form when it has one).
py::object risk_covariance(py::handle model);

// The helper's covariance over the universe as a RiskModel. A helper that holds
// one (`helper.risk_model`, as OptimizeHelper does) gives it, unless it redefines
// a covariance member below it; any other helper is read through its members: the
// factor form (get_cov_factor, get_union_cov_factor) where it offers one that
// describes its dense member, else the dense matrix (get_cov_matrix,
// get_union_cov_matrix). A covariance that is not a finite, symmetric, positive
// semidefinite matrix of the universe's size (or a factor form that is not finite,
// or has negative specific variances) is the helper's mistake and raises
// InvalidArgument.
py::object risk_model_of(py::handle helper, Universe universe);

// xᵀ·cov·x as a cvxpy expression: sums of squares in factor form, which keeps the
// problem sparse, or a quadratic form over the dense matrix. `x` has one entry
// per code of the model.
py::object risk_expression(py::handle x, py::handle model);

// xᵀ·cov·x with cov the pool's or the union's covariance of the helper.
py::object risk_quad_form(py::handle x, py::handle helper, Universe universe);

// sqrt(xᵀ·cov·x) as a cvxpy expression, the 2-norm of rootᵀ·x for a root of the
// universe's covariance (the factor form stacked with the specific volatilities,
// or a square root of the dense matrix): a volatility that is convex in x, so it
// may be held below a bound that is itself a variable (a scaled limit). Checked
// like risk_quad_form.
py::object risk_norm(py::handle x, py::handle helper, Universe universe);

// wᵀ·cov·w for a float vector w, one entry per code of the model.
double risk_variance(py::handle model, py::handle weights);

// wᵀ·cov·w for a plain weight vector over the helper's pool, as a float.
double portfolio_variance(py::handle weights, py::handle helper);

// wᵀ·cov·w and its parts, and per stock the marginal ∂σ/∂w = (cov·w)/σ, the
// contribution w·marginal (summing to σ) and its share (summing to 1): a dict
// with volatility, factor_variance, specific_variance, marginal, contribution,
// share. A portfolio without risk has zero marginals and NaN shares.
py::dict risk_decomposition(py::handle model, py::handle weights);

// The ex-ante volatility of `weights` (one per pool stock) under the helper's
// model, and the tracking error of its active weights over the pool and the
// benchmark's components (NaN without a benchmark).
std::pair<double, double> ex_ante_risk(py::handle helper, py::handle weights);

// Each named factor's part of wᵀ·cov·w, as a contribution to σ (a dict with
// factors, exposure, contribution, specific, volatility); None when the model
// does not know its factors by name.
py::object factor_decomposition(py::handle model, py::handle weights);

// g followed by `extra` zeros: the portfolio's weights over a universe that
// extends the pool by stocks the portfolio cannot hold (g itself when `extra` is
// 0). `module` is where `cp` and `np` are looked up.
py::object pad_with_zeros(const char *module, py::handle g, py::ssize_t extra);

// The portfolio's weights minus the benchmark's, over the union of pool and
// benchmark components (`helper.union_components`, the pool first): the portfolio
// holds nothing outside its pool. With a scale (zeta), the benchmark is scaled
// as g is. `module` is where `cp` and `np` are looked up.
py::object active_weight(const char *module, py::handle g, py::handle helper, py::handle scale);

// The benchmark's weights over union_components as a float array, checked finite.
py::object benchmark_weights(py::handle helper);

// The pool's exposures to `style` (a float array in pool order), checked as
// style_exposure checks them.
py::object style_exposure_values(py::handle factor_exposure, py::handle style, py::handle helper,
                                 py::handle what);

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
