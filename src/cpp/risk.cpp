// vantelo.risk: RiskModel, the covariance of a universe of stocks as the optimiser,
// the report, the diagnosis and rebalancing read it. The store's model comes to it
// through OptimizeHelper; a caller brings their own as a covariance matrix or a
// factor model (exposures, factor covariance, specific variances), labelled by
// code. The arithmetic lives in the common library (risk.hpp); this module is the
// class users see.
#include "vantelo/common.hpp"

#include <pybind11/options.h>

#include <algorithm>
#include <cmath>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.risk";

py::object attr(const char *name) { return module_attr(kModule, name); }

[[noreturn]] void invalid(py::handle message) { raise_invalid_argument(kModule, message); }

bool is_frame(py::handle value) { return py::isinstance(value, attr("pd").attr("DataFrame")); }

// Codes of an index, refused when one repeats or is not text: a model must say
// which stock each row is.
py::list codes_of(py::handle index, const char *what) {
    if (truthy(index.attr("has_duplicates"))) {
        py::object repeated = index[index.attr("duplicated")()].attr("unique")();
        invalid(format("RiskModel: {} lists a stock more than once: {}", py::str(what),
                       first_items(repeated, Language::English)));
    }
    py::list codes = index.attr("tolist")();
    for (py::handle code : codes) {
        if (!PyUnicode_Check(code.ptr())) {
            invalid(format("RiskModel: {} must be labelled by stock codes (text), got {!r}",
                           py::str(what), code));
        }
    }
    return codes;
}

py::object float_values(py::handle frame, const char *what) {
    try {
        return attr("np").attr("asarray")(frame, py::arg("dtype") = "float64");
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError)) {
            throw;
        }
        raise_in_context(attr("InvalidArgument"),
                         format("RiskModel: {} holds values that are not numbers", py::str(what)),
                         error);
    }
}

py::object from_covariance(py::handle covariance) {
    if (!is_frame(covariance)) {
        invalid(format("RiskModel: covariance must be a pandas DataFrame labelled by stock code "
                       "on both axes, got {}",
                       py::type::of(covariance).attr("__name__")));
    }
    py::list codes = codes_of(covariance.attr("index"), "the covariance's index");
    py::object columns = covariance.attr("columns");
    py::object index = covariance.attr("index");
    if (!truthy(columns.attr("sort_values")().attr("equals")(index.attr("sort_values")()))) {
        invalid(py::str("RiskModel: the covariance's columns must be the same codes as its "
                        "index"));
    }
    py::object aligned = covariance.attr("reindex")(py::arg("columns") = index);
    return dense_risk_model(codes, float_values(aligned, "the covariance"));
}

py::object from_factors(py::handle exposures, py::handle factor_covariance,
                        py::handle specific_variance) {
    if (!is_frame(exposures)) {
        invalid(format("RiskModel: exposures must be a pandas DataFrame (one row per stock "
                       "code, one column per factor), got {}",
                       py::type::of(exposures).attr("__name__")));
    }
    py::list codes = codes_of(exposures.attr("index"), "the exposures' index");
    py::object factors = exposures.attr("columns");
    py::list names = factors.attr("tolist")();
    if (truthy(factors.attr("has_duplicates"))) {
        invalid(py::str("RiskModel: the exposures name a factor more than once"));
    }
    py::object loadings = float_values(exposures, "the exposures");
    py::object cov;
    if (is_frame(factor_covariance)) {
        py::object missing =
            factors.attr("difference")(factor_covariance.attr("index"))
                .attr("union")(factors.attr("difference")(factor_covariance.attr("columns")));
        if (py::len(missing) > 0) {
            invalid(format("RiskModel: the factor covariance has no row or column for {}",
                           first_items(missing, Language::English)));
        }
        cov = float_values(factor_covariance.attr("reindex")(py::arg("index") = factors,
                                                             py::arg("columns") = factors),
                           "the factor covariance");
    } else {
        cov = float_values(factor_covariance, "the factor covariance");
    }
    py::tuple shape = cov.attr("shape");
    const py::ssize_t k = py::len(names);
    if (py::len(shape) != 2 || shape[0].cast<py::ssize_t>() != k ||
        shape[1].cast<py::ssize_t>() != k) {
        invalid(format("RiskModel: the factor covariance has shape {}; it must be ({}, {}), one "
                       "row and column per factor of the exposures",
                       shape, k, k));
    }
    // The factor covariance is checked like any covariance: finite, symmetric,
    // positive semidefinite.
    py::object checked = risk_covariance(dense_risk_model(names, cov));
    py::object specific;
    if (py::isinstance(specific_variance, attr("pd").attr("Series"))) {
        py::object index = specific_variance.attr("index");
        py::object missing = exposures.attr("index").attr("difference")(index);
        if (py::len(missing) > 0) {
            invalid(format("RiskModel: the specific variances have no value for {}",
                           first_items(missing, Language::English)));
        }
        specific = float_values(specific_variance.attr("reindex")(exposures.attr("index")),
                                "the specific variances");
    } else {
        specific = float_values(specific_variance, "the specific variances");
    }
    if (!all_finite(loadings)) {
        invalid(py::str("RiskModel: the exposures hold NaN or inf"));
    }
    py::object np = attr("np");
    py::tuple eig = np.attr("linalg").attr("eigh")(checked);
    py::object root_of_cov =
        py::object(eig[1]) * np.attr("sqrt")(np.attr("clip")(eig[0], 0.0, py::none()));
    return factor_risk_model(codes, matmul(loadings, root_of_cov), specific, names, loadings,
                             checked);
}

void initialise(py::object self, py::object covariance, py::object exposures,
                py::object factor_covariance, py::object specific_variance) {
    const bool factor =
        !exposures.is_none() || !factor_covariance.is_none() || !specific_variance.is_none();
    if (covariance.is_none() == !factor) {
        invalid(py::str("RiskModel: give either covariance, or exposures, factor_covariance and "
                        "specific_variance"));
    }
    py::object made;
    if (factor) {
        if (exposures.is_none() || factor_covariance.is_none() || specific_variance.is_none()) {
            invalid(py::str("RiskModel: a factor model needs exposures, factor_covariance and "
                            "specific_variance"));
        }
        made = from_factors(exposures, factor_covariance, specific_variance);
    } else {
        made = from_covariance(covariance);
    }
    self.attr("__dict__").attr("update")(made.attr("__dict__"));
}

// `weights` as a float vector over the model's codes: a Series or mapping keyed by
// code (codes it does not hold weigh 0), or a vector in the model's order.
py::object weight_vector(py::handle model, py::handle weights) {
    py::object pd = attr("pd");
    py::list codes = risk_codes(model);
    if (py::isinstance<py::dict>(weights) || py::isinstance(weights, pd.attr("Series"))) {
        py::object series = ensure_series(kModule, weights, py::str("weights"));
        reject_duplicate_keys(kModule, series, "weights", Language::English);
        py::object unknown = series.attr("index").attr("difference")(codes);
        if (py::len(unknown) > 0) {
            invalid(format("weights: the risk model has no risk for {}",
                           first_items(unknown, Language::English)));
        }
        return finite_array(series.attr("reindex")(codes, py::arg("fill_value") = 0.0), codes,
                            py::str("weights"));
    }
    py::object vector = finite_array(weights, codes, py::str("weights"));
    py::tuple shape = vector.attr("shape");
    if (py::len(shape) != 1 ||
        shape[0].cast<py::ssize_t>() != static_cast<py::ssize_t>(py::len(codes))) {
        invalid(format("weights: shape {} does not match the model's {} stocks", shape,
                       py::len(codes)));
    }
    return vector;
}

py::object labelled(py::handle values, py::handle index, py::handle columns) {
    return attr("pd").attr("DataFrame")(values, py::arg("index") = index,
                                        py::arg("columns") = columns);
}

py::object covariance(py::object self) {
    py::list codes = risk_codes(self);
    return labelled(risk_covariance(self), codes, codes);
}

py::object factor_form(py::object self) { return risk_factor_form(self); }

py::object factor_model(py::object self) {
    py::object exposures = self.attr("_exposures");
    if (exposures.is_none() || self.attr("factors").is_none()) {
        return py::none();
    }
    py::list codes = risk_codes(self);
    py::object factors = self.attr("factors");
    py::object pd = attr("pd");
    return py::make_tuple(labelled(exposures, codes, factors),
                          labelled(self.attr("_factor_covariance"), factors, factors),
                          pd.attr("Series")(self.attr("_specific"), py::arg("index") = codes));
}

double variance(py::object self, py::object weights) {
    return risk_variance(self, weight_vector(self, weights));
}

double volatility(py::object self, py::object weights) {
    return std::sqrt(std::max(variance(self, weights), 0.0));
}

py::object subset(py::object self, py::object codes) {
    if (PyUnicode_Check(codes.ptr())) {
        codes = py::make_tuple(codes);
    }
    return risk_subset(self, list_copy(codes), py::str("the risk model"));
}

py::str representation(py::object self) {
    py::object factors = self.attr("factors");
    const bool dense = !self.attr("_dense").is_none();
    py::str form = dense               ? py::str("dense")
                   : factors.is_none() ? format("factor form of rank {}",
                                                py::tuple(self.attr("_root").attr("shape"))[1])
                                       : format("{} factors", py::len(factors));
    return format("RiskModel({} stocks, {})", py::len(risk_codes(self)), form);
}

constexpr const char *kDoc = R"(
    The covariance of the annual returns of a universe of stocks.

    Give either a dense covariance (a DataFrame labelled by stock code on both
    axes) or a factor model: exposures (a DataFrame, one row per stock code, one
    column per factor), factor_covariance (labelled by factor) and
    specific_variance (a Series by code), so that the covariance is
    exposures @ factor_covariance @ exposures.T + diag(specific_variance).
    Units are those of the returns: annual, as the store's models are; a
    TrackingErrorLimit is read in the same units. Factors named like the style
    factors (vantelo.const.STYLE_FACTORS) are the styles that style constraints
    and objectives read.
    )";

} // namespace
} // namespace vantelo

PYBIND11_MODULE(risk, m) {
    using namespace vantelo;
    ModuleOptions options;
    import_modules(m, {{"numpy", "np"}, {"pandas", "pd"}});
    import_names(m, "vantelo.exception", {"InvalidArgument"});

    ClassBuilder(m, "RiskModel", py::str(kDoc))
        .init(&initialise, py::arg("covariance") = py::none(), py::kw_only(),
              py::arg("exposures") = py::none(), py::arg("factor_covariance") = py::none(),
              py::arg("specific_variance") = py::none())
        .method("covariance", &covariance,
                "The covariance as a DataFrame labelled by code (formed from the factors of a\n"
                "factor model: n x n, so mind its size on a whole market).")
        .method("factor_form", &factor_form,
                "(root, specific): arrays with covariance == root @ root.T + diag(specific),\n"
                "one row per code.")
        .method("factor_model", &factor_model,
                "(exposures, factor_covariance, specific_variance) by name, or None when the\n"
                "model is dense or its factors have no names.")
        .method("variance", &variance, py::arg("weights"),
                "w' cov w: weights a Series or dict by code (codes left out weigh 0), or a\n"
                "vector in the order of codes.")
        .method("volatility", &volatility, py::arg("weights"),
                "The square root of variance(weights).")
        .method("subset", &subset, py::arg("codes"), "The model over these codes, in their order.")
        .method("__repr__", &representation);
}
