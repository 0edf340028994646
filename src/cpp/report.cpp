// vantelo._report: the risk arithmetic of vantelo.report. A portfolio's volatility,
// each stock's marginal and total contribution to it, and each factor's share of
// its variance, all through the risk model's factor form: at the whole market an
// n x n covariance would be 200 MB, where root is n x k with k about 40. The
// products go through numpy (BLAS); tables and figures are vantelo.report's.
#include "vantelo/common.hpp"
#include "vantelo/inputs.hpp"
#include "vantelo/weights.hpp"

#include <pybind11/options.h>

#include <algorithm>
#include <cmath>

namespace vantelo {
namespace {

py::module_ numpy() { return py::module_::import("numpy"); }

Universe universe_of(bool over_union) { return over_union ? Universe::Union : Universe::Pool; }

py::object codes_of(py::handle helper, Universe universe) {
    return list_copy(
        helper.attr(universe == Universe::Pool ? "order_book_ids" : "union_components"));
}

// The weights as a float vector over the universe's codes, in their order.
py::object checked_weights(py::handle weights, py::handle codes) {
    py::object array = finite_array(weights, codes, py::str("weights"), Language::English);
    py::tuple shape = array.attr("shape");
    if (py::len(shape) != 1 ||
        shape[0].cast<py::ssize_t>() != static_cast<py::ssize_t>(py::len(codes))) {
        raise_invalid_argument("vantelo.exception",
                               format("weights: shape {} does not match the {} stocks {}", shape,
                                      py::len(codes), codes));
    }
    return array;
}

// The risk model of the universe, in whichever form the helper gives it.
py::object model_of(py::handle helper, Universe universe) {
    const char *dense = universe == Universe::Pool ? "get_cov_matrix" : "get_union_cov_matrix";
    const char *factor = universe == Universe::Pool ? "get_cov_factor" : "get_union_cov_factor";
    auto offers = [&](const char *name) {
        return !py::getattr(helper, name, py::none()).is_none();
    };
    if (!offers("risk_model") && !offers(dense) && !offers(factor)) {
        raise_invalid_argument("vantelo.exception",
                               format("{} offers no covariance (risk_model, {} or {})",
                                      py::repr(helper), py::str(dense), py::str(factor)));
    }
    return risk_model_of(helper, universe);
}

double to_double(py::handle value) { return value.cast<double>(); }

// wᵀ·cov·w and its parts, and per stock the marginal ∂σ/∂w = (cov·w)/σ, the
// contribution w·marginal (summing to σ) and its share (summing to 1).
py::dict decompose_risk(py::object helper, py::object weights, bool over_union) {
    Universe universe = universe_of(over_union);
    py::object w = checked_weights(weights, codes_of(helper, universe));
    return risk_decomposition(model_of(helper, universe), w);
}

[[noreturn]] void bad_factor_model(py::handle reason) {
    raise_invalid_argument("vantelo.exception", format("get_union_factor_model(): {}", reason));
}

// Per factor of the risk model: the portfolio's exposure x = Xᵀ·w and its part
// x_k·(F·x)_k of the variance, expressed (like the stocks') as a contribution to
// σ; the specific variance Σ specific∘w² is the last part.
py::object decompose_factors(py::object helper, py::object weights, bool over_union) {
    Universe universe = universe_of(over_union);
    py::object w = checked_weights(weights, codes_of(helper, universe));
    const py::ssize_t rows = py::len(w);
    py::object model = model_of(helper, universe);
    // A model that knows its factors by name (the package's helper's, or one the
    // caller brought) says what each factor adds.
    py::object by_factor = factor_decomposition(model, w);
    if (!by_factor.is_none()) {
        return by_factor;
    }
    // A dense covariance has no factors to name, nor specific variances to set
    // beside a factor model the helper may offer by name.
    if (risk_is_dense(model)) {
        return py::none();
    }
    py::object specific = risk_factor_form(model)[1];
    py::module_ np = numpy();

    py::object getter = py::getattr(helper, "get_union_factor_model", py::none());
    if (getter.is_none()) {
        raise_invalid_argument(
            "vantelo.exception",
            format("{} offers no factor model by factor (get_union_factor_model)",
                   py::repr(helper)));
    }
    py::object answer = getter();
    if (!py::isinstance<py::tuple>(answer) || py::len(answer) != 2 ||
        !py::hasattr(answer[py::int_(0)], "columns") ||
        !py::hasattr(answer[py::int_(1)], "reindex")) {
        bad_factor_model(format("expected (exposure, factor_cov) DataFrames, got {!r}", answer));
    }
    py::tuple by_name = answer;
    py::object exposure_table = by_name[0];
    py::object names = exposure_table.attr("columns");
    py::object factor_cov =
        by_name[1].attr("reindex")(py::arg("index") = names, py::arg("columns") = names);
    py::object loadings = np.attr("asarray")(exposure_table.attr("values"), "float64");
    py::object cov = np.attr("asarray")(factor_cov.attr("values"), "float64");
    py::tuple shape = loadings.attr("shape");
    const py::ssize_t union_rows = py::len(helper.attr("union_components"));
    if (py::len(shape) != 2 || shape[0].cast<py::ssize_t>() != union_rows) {
        bad_factor_model(format("the exposure's shape {} does not have one row per stock of "
                                "the {} in union_components",
                                shape, union_rows));
    }
    if (!all_finite(loadings) || !all_finite(cov)) {
        bad_factor_model(py::str("the exposure or the factor covariance (over the exposure's "
                                 "factors) holds NaN or inf"));
    }
    loadings = loadings[py::slice(0, rows, 1)];

    py::object x = matmul(w, loadings);
    py::object parts = x * matmul(cov, x);
    const double specific_variance = to_double((w * w).attr("dot")(specific));
    const double volatility =
        std::sqrt(std::max(0.0, to_double(parts.attr("sum")())) + specific_variance);
    py::dict result;
    result["factors"] = names.attr("tolist")();
    result["exposure"] = x;
    result["volatility"] = volatility;
    if (volatility > 0.0) {
        result["contribution"] = parts / py::float_(volatility);
        result["specific"] = specific_variance / volatility;
    } else {
        result["contribution"] = np.attr("zeros_like")(x);
        result["specific"] = 0.0;
    }
    return std::move(result);
}

constexpr const char *kModule = "vantelo._report";

// The intake of a portfolio handed in, for vantelo.report and the command line: the
// checks the constraint check and the orders' target run too, from one place.
py::object read_portfolio_weights(py::object weights, py::object name, py::object check_sum,
                                  py::object warn_cash) {
    py::object series = read_weights(kModule, weights, name);
    if (truthy(check_sum)) {
        check_weight_sum(kModule, series, name, truthy(warn_cash));
    }
    return series;
}

py::object read_report_date(py::object date) { return read_date(kModule, date); }

py::object read_benchmark(py::object benchmark) {
    return resolved_benchmark(benchmark, Language::English);
}

constexpr const char *kReadWeightsDoc =
    R"(weights (a pandas Series or a dict of order_book_id -> weight) as a float Series
in the order given. InvalidArgument, naming `name`, for another type, no stocks, a
code that is not text or is empty, a code listed twice, a weight that is not a finite
number (text and booleans included). With check_sum, weights summing to more than 1
(beyond 1e-4) are refused, naming the sum; weights summing to less give, with
warn_cash, one OptimizerWarning naming the share read as cash.)";

constexpr const char *kReadDateDoc =
    R"(date (a date, datetime or text) as a datetime.date; text that is not a date is
an InvalidArgument naming it.)";

constexpr const char *kReadBenchmarkDoc =
    R"(None, an OptimizeBenchmark as it is, or an index code as an IndexBenchmark; an
unknown code, a code that is not an index, or anything else is an InvalidArgument.)";

constexpr const char *kRiskDoc =
    R"(The portfolio's volatility through the helper's factor form (of the pool, or of
union_components with over_union): volatility, factor_variance, specific_variance,
and per stock marginal (d volatility / d weight), contribution (weight x marginal,
summing to the volatility) and share (summing to 1). weights: one per stock, in
the helper's order.)";

constexpr const char *kFactorDoc =
    R"(Each factor's part of the portfolio's variance, from the helper's factor model
(get_union_factor_model) and specific variances: factors (names), exposure,
contribution (to the volatility: contributions plus specific sum to volatility),
specific, volatility.)";

} // namespace
} // namespace vantelo

PYBIND11_MODULE(_report, m) {
    using namespace vantelo;
    ModuleOptions options;
    m.doc() = "The risk arithmetic of vantelo.report, through the factor form.";
    import_modules(m, {{"numpy", "np"}, {"pandas", "pd"}, {"warnings"}});
    import_names(m, "vantelo.exception", {"InvalidArgument", "OptimizerWarning"});
    def_function(m, "risk_decomposition", &decompose_risk, py::arg("helper"), py::arg("weights"),
                 py::arg("over_union") = false, kRiskDoc);
    def_function(m, "factor_decomposition", &decompose_factors, py::arg("helper"),
                 py::arg("weights"), py::arg("over_union") = false, kFactorDoc);
    def_function(m, "read_weights", &read_portfolio_weights, py::arg("weights"),
                 py::arg("name") = "weights", py::arg("check_sum") = true,
                 py::arg("warn_cash") = true, kReadWeightsDoc);
    def_function(m, "read_date", &read_report_date, py::arg("date"), kReadDateDoc);
    def_function(m, "resolved_benchmark", &read_benchmark, py::arg("benchmark"),
                 kReadBenchmarkDoc);
}
