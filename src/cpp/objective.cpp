// vantelo.objective: what the optimiser minimises. Every objective offers
// get_objective_expr(g, zeta, helper), get_internal_constraints(g, zeta, helper)
// and get_preferred_solver(); the driver calls them with its weight variable g,
// the scale zeta and the per-call helper.
#include "vantelo/common.hpp"

#include <pybind11/numpy.h>
#include <pybind11/options.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <vector>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.objective";
constexpr int kDefaultWindow = kTradingDaysPerYear;

py::object attr(const char *name) { return module_attr(kModule, name); }

py::object cp() { return attr("cp"); }

[[noreturn]] void invalid(py::handle message) { raise_invalid_argument(kModule, message); }

py::object scs() { return cp().attr("SCS"); }

// ---------------------------------------------------------------------------
// Per-stock numbers. The adjustments below are plain arithmetic, so they work on
// a copy of the values and hand cvxpy a fresh float array.
// ---------------------------------------------------------------------------

using Vector = std::vector<double>;

Vector to_vector(py::handle values) {
    // numpy does the conversion, so values it cannot read as floats fail with
    // numpy's own error.
    py::object floats = attr("np").attr("asarray")(values, py::arg("dtype") = "float64");
    auto array = floats.cast<py::array_t<double, py::array::c_style | py::array::forcecast>>();
    return Vector(array.data(), array.data() + array.size());
}

py::array_t<double> to_array(const Vector &values) {
    return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

double mean(const Vector &values) {
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

// A NaN would otherwise reach the solver and come back as a failed or
// meaningless solve; naming the stocks lets the caller find them in their data.
void require_finite(const Vector &values, py::handle helper, const char *name) {
    py::list offending = non_finite_labels(to_array(values), helper.attr("order_book_ids"));
    if (py::len(offending) > 0) {
        invalid(format("{}: 股票池中以下股票的值不是有限数（NaN 或 inf）：{}", name, offending));
    }
}

// A caller's expected (active) returns: None stays None (they are then estimated
// from history), anything else becomes a series.
py::object optional_series(py::object value, const char *name) {
    return value.is_none() ? value : ensure_series(kModule, value, py::str(name));
}

// `series` in pool order, 0.0 for pool stocks it lacks. Values keyed by codes that
// are not the pool's (a plain list or array, another exchange suffix) would all
// become that 0.0 and quietly turn the objective into another one, so that is
// refused; a pool only partly covered is filled and said so.
Vector pool_values(py::handle series, py::handle helper, const char *name) {
    reject_duplicate_keys(kModule, series, name);
    py::object pool = helper.attr("order_book_ids");
    py::object covered = attr("pd").attr("Index")(pool).attr("isin")(series.attr("index"));
    const py::ssize_t n = py::len(pool);
    const auto found = covered.attr("sum")().cast<py::ssize_t>();
    if (found == 0) {
        invalid(format("{}: 股票池中没有一只股票有值（股票池中的代码如 {}；传入的键如 {}）", name,
                       first_items(pool), first_items(series.attr("index"))));
    }
    py::object aligned = series.attr("reindex")(pool, py::arg("fill_value") = 0.0);
    Vector values = to_vector(aligned.attr("values"));
    require_finite(values, helper, name);
    if (found < n) {
        py::object missing = attr("pd").attr("Index")(pool)[~covered];
        warn_optimizer(kModule, format("{}: 股票池中有 {} 只股票没有值，按 0 处理：{}", name,
                                       n - found, first_items(missing)));
    }
    return values;
}

// Annual returns are fractions; a typical (median) size beyond 100% a year is
// far more likely percent (5 for 5%), which would make every return term 100
// times too heavy.
constexpr double kPercentLooking = 1.0;

// A caller's returns in pool order (as pool_values), with one warning when they
// look like percent.
Vector given_pool_values(py::handle series, py::handle helper, const char *name) {
    Vector values = pool_values(series, helper, name);
    Vector sizes(values.size());
    std::transform(values.begin(), values.end(), sizes.begin(),
                   [](double value) { return std::fabs(value); });
    const auto middle = sizes.begin() + static_cast<std::ptrdiff_t>(sizes.size() / 2);
    std::nth_element(sizes.begin(), middle, sizes.end());
    double median = *middle;
    if (sizes.size() % 2 == 0) {
        median = (median + *std::max_element(sizes.begin(), middle)) / 2.0;
    }
    if (median > kPercentLooking) {
        warn_optimizer(kModule, format("{}: 股票池中收益率绝对值的中位数为 {}，看起来是百分数；"
                                       "收益率应以小数给出（5% 写作 0.05）",
                                       py::str(name), median));
    }
    return values;
}

// Annualised mean daily change rate of the pool over the window that ends the
// trading day before the optimisation date (that day's close is the last one
// known when the portfolio is built).
py::object history_returns(py::handle window, py::handle helper, py::handle codes) {
    return annualised_mean_return(attr("tidewell"), codes, helper.attr("prev_trading_date"),
                                  window);
}

py::object history_returns(py::handle window, py::handle helper) {
    return history_returns(window, helper, helper.attr("order_book_ids"));
}

// The history estimate an objective stores (`_expected_returns`) with the date and
// pool it was made for. Within one optimisation it is reused (the driver asks more
// than once, a soft-constraint retry relies on it); for another date or pool it is
// made again. Returns the caller gave are never replaced: only a series this
// function stored counts as an estimate.
py::object stored_estimate(py::handle self, py::handle helper) {
    py::object made_for =
        py::make_tuple(helper.attr("date"), py::tuple(helper.attr("order_book_ids")));
    py::object stored = self.attr("_expected_returns");
    if (!stored.is_none()) {
        py::object record = py::getattr(self, "_estimated_for", py::none());
        const bool ours = !record.is_none() && py::object(record[py::int_(0)]).is(stored);
        if (!ours || py::object(record[py::int_(1)]).equal(made_for)) {
            return stored;
        }
    }
    // A failed fetch stores nothing, so the next call tries again.
    py::object estimate = history_returns(self.attr("_window"), helper);
    self.attr("_expected_returns") = estimate;
    self.attr("_estimated_for") = py::make_tuple(estimate, made_for);
    return estimate;
}

// The expected returns of MeanVariance or MaxSharpeRatio in pool order: the
// caller's (checked for percent) or the history estimate.
Vector returns_of(py::handle self, py::handle helper) {
    py::object series = stored_estimate(self, helper);
    py::object record = py::getattr(self, "_estimated_for", py::none());
    const bool estimated = !record.is_none() && py::object(record[py::int_(0)]).is(series);
    return estimated ? pool_values(series, helper, "expected_returns")
                     : given_pool_values(series, helper, "expected_returns");
}

// ---------------------------------------------------------------------------
// Shared expression pieces
// ---------------------------------------------------------------------------

constexpr const char *kNoPositiveReturn =
    "MaxSharpeRatio: 股票池中没有一只股票的预期收益为正，任何组合的夏普比率都不为正，"
    "没有正的最大值；已将预期收益减去其均值 {} 后优化";
constexpr const char *kNoPositiveActiveReturn =
    "MaxInformationRatio: 股票池中没有一只股票的预期主动收益为正，任何组合的信息比率都不为正，"
    "没有正的最大值；已将预期主动收益减去其均值 {} 后优化";

// The ratio objectives fix the expected return of g at 1 and let zeta absorb the
// scale. That needs a vector that nonnegative weights can bring to 1: a constant
// vector says nothing about which stock is better (and zero cannot reach 1), so
// it becomes the full-investment row. A vector with a positive entry is used as
// it is: moving it would change which portfolio has the best ratio. Without one,
// no portfolio has a positive ratio at all; the mean is then subtracted, which
// leaves a positive entry and keeps the ranking, and the caller is told.
Vector unit_returns(Vector returns, const char *no_positive_message) {
    const bool constant = std::all_of(returns.begin(), returns.end(),
                                      [&](double value) { return value == returns.front(); });
    if (constant) {
        std::fill(returns.begin(), returns.end(), 1.0);
        return returns;
    }
    const bool any_positive =
        std::any_of(returns.begin(), returns.end(), [](double value) { return value > 0.0; });
    if (!any_positive) {
        const double average = mean(returns);
        for (double &value : returns) {
            value -= average;
        }
        warn_optimizer(kModule, format(no_positive_message, average));
    }
    return returns;
}

py::list unit_return_constraint(py::handle g, const Vector &returns) {
    py::list constraints;
    constraints.append(equal_to(matmul(g, to_array(returns)), py::int_(1)));
    return constraints;
}

py::list no_constraints(py::object, py::object, py::object, py::object) { return py::list(); }

py::object preferred_solver(py::object) { return scs(); }

ClassBuilder objective_class(py::module_ &m, const char *name, const char *doc) {
    return ClassBuilder(m, name, py::str(doc), py::make_tuple(m.attr("OptimizationObjective")));
}

template <typename Expr, typename Constraints>
void protocol(ClassBuilder &cls, Expr expr, Constraints constraints) {
    cls.method("get_objective_expr", expr, py::arg("g"), py::arg("zeta"), py::arg("helper"))
        .method("get_internal_constraints", constraints, py::arg("g"), py::arg("zeta"),
                py::arg("helper"))
        .method("get_preferred_solver", &preferred_solver);
}

// ---------------------------------------------------------------------------
// OptimizationObjective and MinVariance
// ---------------------------------------------------------------------------

void define_base(py::module_ &m) {
    ClassBuilder(m, "OptimizationObjective", py::none(), py::tuple(), m.attr("ABCMeta"))
        .method(
            "get_objective_expr",
            [](py::object, py::object, py::object, py::object) -> py::object {
                not_implemented();
            },
            py::arg("g"), py::arg("zeta"), py::arg("helper"))
        .method(
            "get_internal_constraints",
            [](py::object, py::object, py::object, py::object) -> py::object {
                not_implemented();
            },
            py::arg("g"), py::arg("zeta"), py::arg("helper"))
        .method("get_preferred_solver", [](py::object) -> py::object { not_implemented(); });
}

py::object min_variance_expr(py::object, py::object g, py::object zeta, py::object helper) {
    assert_unscaled(zeta);
    return risk_quad_form(g, helper, Universe::Pool);
}

void define_min_variance(py::module_ &m) {
    ClassBuilder cls = objective_class(m, "MinVariance", "风险最小化");
    protocol(cls, &min_variance_expr, &no_constraints);
}

// ---------------------------------------------------------------------------
// MeanVariance
// ---------------------------------------------------------------------------

constexpr const char *kMeanVarianceDoc = R"(
    收益/风险优化

    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。
    :type expected_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年
    :param risk_aversion_coefficient: 风险厌恶系数
    )";

void mean_variance_init(py::object self, py::object expected_returns, py::object window,
                        py::object risk_aversion_coefficient) {
    expected_returns = optional_series(expected_returns, "expected_returns");
    if (risk_aversion_coefficient < py::int_(0)) {
        invalid(format("risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}",
                       risk_aversion_coefficient));
    }
    self.attr("_expected_returns") = expected_returns;
    self.attr("_risk_aversion_coefficient") = risk_aversion_coefficient;
    self.attr("_window") = window;
}

// The size of a typical return in `returns`: the mean of the positive entries,
// or, when none is positive, the magnitude of the mean of the best quarter (at
// least one entry), so that a pool of losers still gets a sensible scale.
double return_scale(Vector returns) {
    Vector positive;
    std::copy_if(returns.begin(), returns.end(), std::back_inserter(positive),
                 [](double value) { return value > 0.0; });
    if (!positive.empty()) {
        return mean(positive);
    }
    std::sort(returns.begin(), returns.end());
    const std::size_t best = (returns.size() + 3) / 4;
    return std::fabs(
        mean(Vector(returns.end() - static_cast<std::ptrdiff_t>(best), returns.end())));
}

// MeanVariance's numbers: the expected returns in pool order and the factor on the
// risk term; no returns (all zero, with the warning) when it is minimum variance.
struct MeanVarianceTerms {
    Vector returns;
    py::object adjust_factor = py::none();
};

MeanVarianceTerms mean_variance_terms(py::handle self, py::handle helper) {
    MeanVarianceTerms terms;
    const Vector returns = returns_of(self, helper);
    if (std::all_of(returns.begin(), returns.end(), [](double value) { return value == 0.0; })) {
        warn_optimizer(kModule,
                       py::str("MeanVariance: expected_returns 全部为 0，退化为 MinVariance"));
        return terms;
    }

    // Risk is rescaled so that return and risk of the equal-weight portfolio are
    // of comparable size; the coefficient then means the same on any pool.
    const std::size_t n = returns.size();
    py::object equal_weight = attr("np").attr("repeat")(1.0 / static_cast<double>(n), n);
    const double risk = portfolio_variance(equal_weight, helper);
    if (risk == 0.0) {
        // Nothing to scale the risk term by: the rescaling would divide by zero.
        invalid(py::str("MeanVariance: 股票池等权组合的方差为 0，无法确定风险项的缩放系数"));
    }
    py::object coefficient = self.attr("_risk_aversion_coefficient");
    terms.adjust_factor = py::float_(return_scale(returns) / risk) * coefficient;
    terms.returns = returns;
    return terms;
}

py::object mean_variance_expr(py::object self, py::object g, py::object zeta, py::object helper) {
    assert_unscaled(zeta);
    MeanVarianceTerms terms = mean_variance_terms(self, helper);
    if (terms.returns.empty()) {
        return risk_quad_form(g, helper, Universe::Pool);
    }
    return matmul(-g, to_array(terms.returns)) +
           risk_quad_form(g, helper, Universe::Pool) * terms.adjust_factor;
}

void define_mean_variance(py::module_ &m) {
    ClassBuilder cls = objective_class(m, "MeanVariance", kMeanVarianceDoc);
    cls.init(&mean_variance_init, py::arg("expected_returns") = py::none(),
             py::arg("window") = kDefaultWindow, py::arg("risk_aversion_coefficient") = 1);
    protocol(cls, &mean_variance_expr, &no_constraints);
}

// ---------------------------------------------------------------------------
// RiskParity and MinTrackingError
// ---------------------------------------------------------------------------

// At the optimum of gᵀΣg − Σ ln gᵢ every stock has gᵢ·(Σg)ᵢ = ½: equal risk
// contributions. zeta is not needed; the driver normalises the solution.
py::object risk_parity_expr(py::object, py::object g, py::object, py::object helper) {
    py::object barrier = cp().attr("sum")(cp().attr("log")(g));
    return risk_quad_form(g, helper, Universe::Pool) - barrier;
}

// The driver's form of the same problem: the barrier over the stocks marked in
// `held` (all when None), and the risk term in a unit of its own, 2n times the
// equal-weight portfolio's variance. Σ and c·Σ then give the solver the same
// numbers, and g only changes by a factor, which the normalised weights do not
// see; and in that unit the optimum's gᵢ lie near 1 (gᵢ(Σg)ᵢ is half the unit
// there), the size SCS's absolute tolerances suit.
double risk_parity_unit(py::handle helper) {
    const auto n = py::len(helper.attr("order_book_ids"));
    py::object equal_weight = attr("np").attr("repeat")(1.0 / static_cast<double>(n), n);
    return 2.0 * static_cast<double>(n) * portfolio_variance(equal_weight, helper);
}

py::object risk_parity_expression(py::handle g, py::handle helper, py::handle held) {
    py::object weights = py::reinterpret_borrow<py::object>(g);
    if (!held.is_none()) {
        weights = weights[attr("np").attr("flatnonzero")(held)];
    }
    py::object barrier = cp().attr("sum")(cp().attr("log")(weights));
    const double unit = risk_parity_unit(helper);
    // The unit goes into the argument of the quadratic form, so that the solver's
    // data (the covariance or its factor root) is itself in that unit.
    py::object scaled = py::reinterpret_borrow<py::object>(g);
    if (std::isfinite(unit) && unit > 0.0) {
        scaled = scaled * py::float_(1.0 / std::sqrt(unit));
    }
    return risk_quad_form(scaled, helper, Universe::Pool) - barrier;
}

void define_risk_parity(py::module_ &m) {
    ClassBuilder cls = objective_class(m, "RiskParity", "风险平价");
    protocol(cls, &risk_parity_expr, &no_constraints);
}

py::object min_tracking_error_expr(py::object, py::object g, py::object zeta, py::object helper) {
    assert_unscaled(zeta);
    return risk_quad_form(active_weight(kModule, g, helper, py::none()), helper, Universe::Union);
}

void define_min_tracking_error(py::module_ &m) {
    ClassBuilder cls = objective_class(m, "MinTrackingError", "最小追踪误差");
    protocol(cls, &min_tracking_error_expr, &no_constraints);
}

// ---------------------------------------------------------------------------
// MaxInformationRatio and MaxSharpeRatio: homogenised ratios, g = zeta·w, the
// risk term minimised under expected (active) return of g = 1.
// ---------------------------------------------------------------------------

constexpr const char *kMaxInformationRatioDoc = R"(
    最大信息比率

    :param expected_active_returns: 预期主动收益率。不传入时，使用历史收益率估计。
    :type expected_active_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益的长度，默认为252，即一年
    )";

void max_information_ratio_init(py::object self, py::object expected_active_returns,
                                py::object window) {
    self.attr("_expected_active_returns") =
        optional_series(expected_active_returns, "expected_active_returns");
    self.attr("_window") = window;
}

py::object max_information_ratio_expr(py::object, py::object g, py::object zeta,
                                      py::object helper) {
    return risk_quad_form(active_weight(kModule, g, helper, zeta), helper, Universe::Union);
}

// The history estimate of the active returns, afresh on every call and never
// stored. The benchmark's return is its components' estimate over the same window,
// weighted by the benchmark, so that the benchmark's own active return is 0: were
// it positive, the benchmark itself would meet the unit-return constraint at zero
// tracking error and the ratio would have no bound.
py::object estimated_active_returns(py::handle self, py::handle helper) {
    py::object np = attr("np");
    py::object universe = helper.attr("union_components");
    py::object history = history_returns(self.attr("_window"), helper, universe);
    py::object weights = finite_array(helper.attr("benchmark_weight").attr("values"), universe,
                                      py::str("benchmark_weight"));
    py::object returns = np.attr("asarray")(history.attr("reindex")(universe).attr("values"),
                                            py::arg("dtype") = "float64");
    py::object known = np.attr("isfinite")(returns);
    const double weight = np.attr("sum")(weights[known]).cast<double>();
    if (!(weight > 0.0)) {
        invalid(py::str(
            "MaxInformationRatio: 基准成分股在估计窗口内没有收益率数据，无法估计基准收益"));
    }
    py::object benchmark_return =
        np.attr("dot")(weights[known], returns[known]) / py::float_(weight);
    return history - benchmark_return;
}

// The benchmark's own active return under `returns` (pool order), when the
// benchmark lies wholly in the pool; 0 when it does not, since a portfolio of the
// pool cannot then hold it.
double benchmark_active_return(py::handle helper, const Vector &returns) {
    py::object weights = attr("np").attr("asarray")(helper.attr("benchmark_weight").attr("values"),
                                                    py::arg("dtype") = "float64");
    const auto n = static_cast<py::ssize_t>(returns.size());
    const auto total = static_cast<py::ssize_t>(py::len(weights));
    if (truthy(attr("np").attr("any")(weights[py::slice(n, total, 1)]))) {
        return 0.0;
    }
    py::object held = weights[py::slice(0, n, 1)];
    return attr("np").attr("dot")(held, to_array(returns)).cast<double>();
}

// The vector whose product with g the ratio is homogenised on (fixed at 1).
Vector max_information_ratio_unit_returns(py::handle self, py::handle helper) {
    constexpr const char *kName = "expected_active_returns";
    py::object given = self.attr("_expected_active_returns");
    const bool estimated = given.is_none();
    const Vector returns =
        unit_returns(estimated ? pool_values(estimated_active_returns(self, helper), helper, kName)
                               : given_pool_values(given, helper, kName),
                     kNoPositiveActiveReturn);
    // Rounding leaves an estimate's benchmark a hair above or below 0.
    const double benchmark = benchmark_active_return(helper, returns);
    if (benchmark > 1e-12) {
        warn_optimizer(kModule, format("MaxInformationRatio: 基准自身的预期主动收益为正（{}），"
                                       "信息比率没有上界，优化结果将是基准本身",
                                       benchmark));
    }
    return returns;
}

py::list max_information_ratio_constraints(py::object self, py::object g, py::object,
                                           py::object helper) {
    return unit_return_constraint(g, max_information_ratio_unit_returns(self, helper));
}

void define_max_information_ratio(py::module_ &m) {
    ClassBuilder cls = objective_class(m, "MaxInformationRatio", kMaxInformationRatioDoc);
    cls.init(&max_information_ratio_init, py::arg("expected_active_returns") = py::none(),
             py::arg("window") = kDefaultWindow);
    protocol(cls, &max_information_ratio_expr, &max_information_ratio_constraints);
}

constexpr const char *kMaxSharpeRatioDoc = R"(
    最大化夏普比率

    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。
    :type expected_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年
    )";

void max_sharpe_ratio_init(py::object self, py::object expected_returns, py::object window) {
    self.attr("_expected_returns") = optional_series(expected_returns, "expected_returns");
    self.attr("_window") = window;
}

py::object max_sharpe_ratio_expr(py::object, py::object g, py::object, py::object helper) {
    return risk_quad_form(g, helper, Universe::Pool);
}

Vector max_sharpe_ratio_unit_returns(py::handle self, py::handle helper) {
    return unit_returns(returns_of(self, helper), kNoPositiveReturn);
}

py::list max_sharpe_ratio_constraints(py::object self, py::object g, py::object,
                                      py::object helper) {
    return unit_return_constraint(g, max_sharpe_ratio_unit_returns(self, helper));
}

void define_max_sharpe_ratio(py::module_ &m) {
    ClassBuilder cls = objective_class(m, "MaxSharpeRatio", kMaxSharpeRatioDoc);
    cls.init(&max_sharpe_ratio_init, py::arg("expected_returns") = py::none(),
             py::arg("window") = kDefaultWindow);
    protocol(cls, &max_sharpe_ratio_expr, &max_sharpe_ratio_constraints);
}

// ---------------------------------------------------------------------------
// MaxIndicator and MinStyleDeviation
// ---------------------------------------------------------------------------

constexpr const char *kMaxIndicatorDoc = R"(
    指标最大化

    :param indicator_series: 指标序列
    :type indicator_series: pd.Series
    )";

void max_indicator_init(py::object self, py::object indicator_series) {
    self.attr("_indicator_series") =
        ensure_series(kModule, indicator_series, py::str("indicator_series"));
}

// The indicator in pool order over its mean absolute value: what g is scored by.
Vector max_indicator_values(py::handle self, py::handle helper) {
    py::object pool = helper.attr("order_book_ids");
    py::object indicator = self.attr("_indicator_series");
    reject_duplicate_keys(kModule, indicator, "indicator_series");
    py::set pool_set(pool);
    py::set index_set(indicator.attr("index"));
    if (!truthy(pool_set.attr("issubset")(index_set))) {
        invalid(py::str("传入股票池中的股票有部分在 indicator_series 中找不到值"));
    }
    Vector values = to_vector(indicator.attr("reindex")(pool).attr("values"));
    // The indicator is divided by its mean absolute value over the pool, which
    // a NaN or inf would poison and an all-zero indicator would make 0/0.
    require_finite(values, helper, "indicator_series");
    double scale = 0.0;
    for (double value : values) {
        scale += std::fabs(value);
    }
    scale /= static_cast<double>(values.size());
    if (scale == 0.0) {
        invalid(py::str("indicator_series: 股票池中所有股票的指标值均为 0，无法归一化"));
    }
    for (double &value : values) {
        value /= scale;
    }
    return values;
}

py::object max_indicator_expr(py::object self, py::object g, py::object, py::object helper) {
    return matmul(-g, to_array(max_indicator_values(self, helper)));
}

void define_max_indicator(py::module_ &m) {
    ClassBuilder cls = objective_class(m, "MaxIndicator", kMaxIndicatorDoc);
    cls.init(&max_indicator_init, py::arg("indicator_series"));
    protocol(cls, &max_indicator_expr, &no_constraints);
}

constexpr const char *kMinStyleDeviationDoc = R"(
    风格偏离最小化

    :param target_style: pd.Series, 目标风格
    :param relative: bool, 是否为相对于基准
    :param priority: pd.Series, 优先级，可以为每个风格指定一个0-9的优先级，9为最高优先级，0为最低优先级；未指定的风格默认优先级为5
    )";

constexpr int kDefaultPriority = 5;
constexpr int kMinPriority = 0;
constexpr int kMaxPriority = 9;

// Weight of a style's squared deviation, by priority. Priority 0 still counts:
// a target the caller named is never dropped.
py::list priority_adjust_factor() {
    py::list factors;
    for (int factor : {1, 5, 10, 15, 20, 25, 30, 35, 40, 45}) {
        factors.append(factor);
    }
    return factors;
}

void min_style_deviation_init(py::object self, py::object target_style, py::object relative,
                              py::object priority) {
    py::object target = ensure_series(kModule, target_style, py::str("target_style"));
    self.attr("_target_style") = target;
    py::object style_factors = attr("STYLE_FACTORS");
    for (py::handle style : target.attr("index")) {
        if (!style_factors.contains(style)) {
            invalid(format("目标风格值 {} 非法，请从 {} 中选取", style, style_factors));
        }
    }
    self.attr("_relative") = relative;
    if (!priority.is_none()) {
        py::object integer = py::module_::import("builtins").attr("int");
        priority = ensure_series(kModule, priority, py::str("priority")).attr("astype")(integer);
        priority =
            priority
                .attr("reindex")(target.attr("index"), py::arg("fill_value") = kDefaultPriority)
                .attr("clip")(kMinPriority, kMaxPriority);
    }
    self.attr("_priority") = priority;
}

// One style target: the pool's exposures, the target (absolute) and the weight of
// its squared deviation.
struct StyleDeviation {
    py::object exposures;
    py::object target;
    py::object weight;
};

std::vector<StyleDeviation> min_style_deviation_terms(py::handle self, py::handle helper) {
    const bool relative = truthy(self.attr("_relative"));
    py::object benchmark_style = py::none();
    if (relative) {
        if (helper.attr("benchmark").is_none()) {
            invalid(py::str("在使用相对风格偏移时，必须指定 benchmark 参数"));
        }
        benchmark_style = helper.attr("get_benchmark_style")();
    }
    py::object factor_exposure = helper.attr("get_factor_exposure")();
    py::object priority = self.attr("_priority");
    py::object adjust_factor = self.attr("PRIORITY_ADJUST_FACTOR");

    std::vector<StyleDeviation> terms;
    for (py::handle item : self.attr("_target_style").attr("items")()) {
        py::object style = item[py::int_(0)];
        py::object target = item[py::int_(1)];
        // Read first: a style the risk model lacks is refused by name.
        py::object exposures = style_exposure_values(
            factor_exposure, style, helper, format("MinStyleDeviation: {} 的因子暴露", style));
        if (relative) {
            target = target + py::object(benchmark_style[style]);
        }
        // A NaN target (given, or from the benchmark) has no deviation to measure.
        if (!std::isfinite(as_double(target))) {
            invalid(format("MinStyleDeviation: 风格 {} 的目标值不是有限数：{}", style, target));
        }
        py::object weight = py::int_(1);
        if (!priority.is_none()) {
            py::object level = priority[style];
            weight = adjust_factor[level];
        }
        terms.push_back({exposures, target, weight});
    }
    return terms;
}

py::object min_style_deviation_expr(py::object self, py::object g, py::object zeta,
                                    py::object helper) {
    assert_unscaled(zeta);
    // A plain 0 when there is no target: nothing to deviate from.
    py::object diff = py::int_(0);
    for (const StyleDeviation &term : min_style_deviation_terms(self, helper)) {
        py::object exposure = matmul(g, term.exposures);
        diff = diff + term.weight * power(exposure - term.target, py::int_(2));
    }
    return diff;
}

// ---------------------------------------------------------------------------
// The terms of an objective of this module's own classes (its exact type), for
// the driver's direct assembler: part "internal" (what get_internal_constraints
// builds: a unit-return row for the ratio objectives) or "expression" (what the
// driver minimises). A dict with
//   risk: None, "pool" (the risk of g) or "active" (of g against the benchmark,
//         scaled by zeta), times risk_weight;
//   linear: None or c, for the term c · g;
//   unit_return: None or r, for the row r · g = 1;
//   deviations: [(exposures, target, weight)] for sum weight (exposures·g - target)²;
//   unit: risk parity's risk unit (its risk term is g'Σg / unit).
// ---------------------------------------------------------------------------

py::dict objective_terms(py::object objective, py::object helper, py::object part) {
    py::dict terms;
    terms["risk"] = py::none();
    terms["risk_weight"] = 1.0;
    terms["linear"] = py::none();
    terms["unit_return"] = py::none();
    terms["deviations"] = py::list();
    terms["unit"] = py::none();
    const bool internal = part.equal(py::str("internal"));
    py::handle type = py::type::of(objective);
    auto is = [&](const char *name) { return type.is(attr(name)); };
    auto negated = [](Vector values) {
        for (double &value : values) {
            value = -value;
        }
        return to_array(values);
    };
    if (is("MaxInformationRatio") || is("MaxSharpeRatio")) {
        const bool information = is("MaxInformationRatio");
        if (internal) {
            terms["unit_return"] =
                to_array(information ? max_information_ratio_unit_returns(objective, helper)
                                     : max_sharpe_ratio_unit_returns(objective, helper));
        } else {
            if (information) {
                benchmark_weights(helper);
            }
            terms["risk"] = information ? "active" : "pool";
        }
        return terms;
    }
    const char *kNoInternal[] = {"MinVariance",      "MeanVariance", "RiskParity",
                                 "MinTrackingError", "MaxIndicator", "MinStyleDeviation"};
    if (!std::any_of(std::begin(kNoInternal), std::end(kNoInternal), is)) {
        PyErr_Format(PyExc_TypeError, "no terms for an objective of type %.200s",
                     Py_TYPE(objective.ptr())->tp_name);
        throw py::error_already_set();
    }
    if (internal) {
        return terms;
    }
    if (is("MinVariance")) {
        terms["risk"] = "pool";
    } else if (is("MeanVariance")) {
        MeanVarianceTerms numbers = mean_variance_terms(objective, helper);
        terms["risk"] = "pool";
        if (!numbers.returns.empty()) {
            terms["linear"] = negated(numbers.returns);
            terms["risk_weight"] = numbers.adjust_factor;
        }
    } else if (is("RiskParity")) {
        terms["risk"] = "pool";
        terms["unit"] = risk_parity_unit(helper);
    } else if (is("MinTrackingError")) {
        benchmark_weights(helper);
        terms["risk"] = "active";
    } else if (is("MaxIndicator")) {
        terms["linear"] = negated(max_indicator_values(objective, helper));
    } else {
        py::list deviations;
        for (const StyleDeviation &term : min_style_deviation_terms(objective, helper)) {
            deviations.append(py::make_tuple(term.exposures, term.target, term.weight));
        }
        terms["deviations"] = deviations;
    }
    return terms;
}

void define_min_style_deviation(py::module_ &m) {
    ClassBuilder cls = objective_class(m, "MinStyleDeviation", kMinStyleDeviationDoc);
    cls.init(&min_style_deviation_init, py::arg("target_style"), py::arg("relative") = false,
             py::arg("priority") = py::none())
        .attr("PRIORITY_ADJUST_FACTOR", priority_adjust_factor());
    protocol(cls, &min_style_deviation_expr, &no_constraints);
}

} // namespace
} // namespace vantelo

PYBIND11_MODULE(objective, m) {
    using namespace vantelo;
    ModuleOptions options;

    import_names(m, "abc", {"ABCMeta"});
    import_modules(m, {{"warnings"}, {"numpy", "np"}, {"pandas", "pd"}, {"tidewell"}});
    // cvxpy (75 MB with what it pulls in) is loaded when a call first needs it.
    import_lazily(m, "cvxpy", "cp");
    import_names(m, "vantelo.exception", {"InvalidArgument", "OptimizerWarning"});
    import_names(m, "vantelo.const", {"STYLE_FACTORS"});

    def_function(
        m, "ensure_series",
        [](py::object obj, py::object name) { return ensure_series(kModule, obj, name); },
        py::arg("obj"), py::arg("name"));

    // For the driver: RiskParity's expression with the barrier over the stocks
    // marked in `held` only (those whose upper bound lets them hold anything; all
    // when None) and the risk term in a unit proportional to the equal-weight variance.
    m.def("_risk_parity_expr", &risk_parity_expression, py::arg("g"), py::arg("helper"),
          py::arg("held"));
    m.def("_objective_terms", &objective_terms, py::arg("objective"), py::arg("helper"),
          py::arg("part"));

    define_base(m);
    define_min_variance(m);
    define_mean_variance(m);
    define_risk_parity(m);
    define_min_tracking_error(m);
    define_max_information_ratio(m);
    define_max_sharpe_ratio(m);
    define_max_indicator(m);
    define_min_style_deviation(m);
    record_protocol(m,
                    {"MinVariance", "MeanVariance", "RiskParity", "MinTrackingError",
                     "MaxInformationRatio", "MaxSharpeRatio", "MaxIndicator", "MinStyleDeviation"},
                    {"get_objective_expr", "get_internal_constraints", "get_preferred_solver"});
}
