// vantelo.helper: OptimizeHelper, the market-data context of one optimisation.
//
// Everything is read lazily and at most once per helper: the benchmark's holding,
// the risk model (exposures, factor covariance, specific risk) of the pool and the
// benchmark's components, the industry mappings. Covariances are annualised. The
// risk model is kept in factor form, cov = root @ root.T + diag(specific), and the
// dense n x n matrices are only formed when someone asks for them: at 5,000 stocks
// one is 200 MB, while the factor form is n x k with k about 40.
#include "vantelo/common.hpp"

#include <pybind11/options.h>

#include <functional>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.helper";

py::object attr(const char *name) { return module_attr(kModule, name); }
py::object tidewell() { return attr("tidewell"); }

// Per-helper memo: `self._cache[key]`, computed on first use.
py::object cached(py::handle self, const char *key, const std::function<py::object()> &compute) {
    py::dict cache = self.attr("_cache");
    py::str name(key);
    if (cache.contains(name)) {
        return cache[name];
    }
    py::object value = compute();
    cache[name] = value;
    return value;
}

py::object as_float_array(py::handle values) {
    return attr("np").attr("asarray")(values, py::arg("dtype") = "float64");
}

py::object prev_trading_date(py::handle self) {
    return cached(self, "prev_trading_date", [&]() -> py::object {
        return tidewell().attr("get_previous_trading_date")(self.attr("date"));
    });
}

// The benchmark's holding on the date as a float series, positions of zero weight
// left out; empty without a benchmark.
py::object benchmark_holding(py::handle self) {
    return cached(self, "benchmark_holding", [&]() -> py::object {
        py::object pd = attr("pd");
        py::object benchmark = self.attr("benchmark");
        if (benchmark.is_none()) {
            return pd.attr("Series")(py::list(), py::arg("dtype") = "float64");
        }
        py::object weights = benchmark.attr("get_weight")(self.attr("date"));
        if (!py::isinstance(weights, pd.attr("Series"))) {
            weights = pd.attr("Series")(weights);
        }
        weights = weights.attr("astype")("float64").attr("fillna")(0.0);
        if (truthy(weights.attr("index").attr("has_duplicates"))) {
            raise_invalid_argument(
                "vantelo.exception",
                format("the benchmark's weights on {} list a stock more than once: {}",
                       self.attr("date"),
                       weights.attr("index")[weights.attr("index").attr("duplicated")()].attr(
                           "tolist")()));
        }
        return weights[weights.attr("ne")(0.0)];
    });
}

py::object union_components(py::handle self) {
    return cached(self, "union_components", [&]() -> py::object {
        py::list pool = self.attr("order_book_ids");
        py::set in_pool(pool);
        py::list result = list_copy(pool);
        for (py::handle code : benchmark_holding(self).attr("index")) {
            if (!in_pool.contains(code)) {
                result.append(code);
            }
        }
        return py::object(result);
    });
}

py::object benchmark_weight(py::handle self) {
    return cached(self, "benchmark_weight", [&]() -> py::object {
        return benchmark_holding(self).attr("reindex")(union_components(self),
                                                       py::arg("fill_value") = 0.0);
    });
}

[[noreturn]] void missing_risk_data(py::handle self, py::handle missing) {
    py::object codes = py::str(", ").attr("join")(missing);
    raise_invalid_argument("vantelo.exception",
                           format("no risk-model data on {} for {} stock(s): {}",
                                  self.attr("date"), py::len(missing), codes));
}

// The risk model over the union of pool and benchmark components, annualised, as
// a dict: exposure (DataFrame), factor_cov, root (union x k), specific (union).
py::object risk_model(py::handle self) {
    return cached(self, "risk_model", [&]() -> py::object {
        py::object np = attr("np");
        py::object client = tidewell();
        py::object date = self.attr("date");
        py::object cov_model = self.attr("cov_model");
        py::list universe = union_components(self);

        py::object exposure = client.attr("get_factor_exposure")(universe, date);
        py::object specific_risk = client.attr("get_specific_risk")(universe, date, cov_model);
        py::object codes = attr("pd").attr("Index")(universe);
        py::object covered = codes.attr("isin")(exposure.attr("index")) &
                             codes.attr("isin")(specific_risk.attr("index"));
        if (!truthy(covered.attr("all")())) {
            missing_risk_data(self, codes[~covered].attr("tolist")());
        }
        exposure = exposure.attr("reindex")(universe);
        py::object factor_cov = client.attr("get_factor_covariance")(date, cov_model);
        py::object factors = exposure.attr("columns");
        factor_cov =
            factor_cov.attr("reindex")(py::arg("index") = factors, py::arg("columns") = factors);
        py::object cov = as_float_array(factor_cov.attr("values")) *
                         py::float_(static_cast<double>(kTradingDaysPerYear));
        py::object loadings = as_float_array(exposure.attr("values"));
        py::object specific_vol =
            as_float_array(specific_risk.attr("reindex")(universe).attr("values"));
        if (!all_finite(loadings) || !all_finite(cov) || !all_finite(specific_vol)) {
            raise_invalid_argument("vantelo.exception",
                                   format("the risk model on {} holds non-finite values", date));
        }
        // A root of the factor covariance: the eigen-decomposition copes with a
        // merely semi-definite estimate, where a Cholesky factor would fail.
        py::tuple eig = np.attr("linalg").attr("eigh")(cov);
        py::object eigenvalues = np.attr("clip")(eig[0], 0.0, py::none());
        py::object vectors = eig[1];
        py::object factor_root = vectors * np.attr("sqrt")(eigenvalues);

        py::dict model;
        model["exposure"] = exposure;
        model["factor_cov"] = cov;
        model["root"] = matmul(loadings, factor_root);
        model["loadings"] = loadings;
        model["specific"] =
            specific_vol * specific_vol * py::float_(static_cast<double>(kTradingDaysPerYear));
        return py::object(model);
    });
}

py::object slice_rows(py::handle array, py::ssize_t rows) { return array[py::slice(0, rows, 1)]; }

py::tuple cov_factor(py::handle self, bool pool_only) {
    py::dict model = risk_model(self);
    if (!pool_only) {
        return py::make_tuple(model["root"], model["specific"]);
    }
    py::ssize_t n = py::len(self.attr("order_book_ids"));
    return py::make_tuple(slice_rows(model["root"], n), slice_rows(model["specific"], n));
}

// loadings @ F @ loadings.T + diag(specific), made exactly symmetric.
py::object dense_cov(py::handle self, bool pool_only) {
    py::object np = attr("np");
    py::dict model = risk_model(self);
    py::object loadings = model["loadings"];
    py::object specific = model["specific"];
    if (pool_only) {
        py::ssize_t n = py::len(self.attr("order_book_ids"));
        loadings = slice_rows(loadings, n);
        specific = slice_rows(specific, n);
    }
    py::object cov = matmul(matmul(loadings, model["factor_cov"]), loadings.attr("T"));
    cov = (cov + cov.attr("T")) * py::float_(0.5);
    py::object diagonal = np.attr("diag_indices_from")(cov);
    py::object current = cov[diagonal];
    cov[diagonal] = current + specific;
    return cov;
}

// The risk model over union_components by factor: (exposure, factor covariance),
// both DataFrames labelled by factor name, the covariance annualised.
py::tuple union_factor_model(py::handle self) {
    py::dict model = risk_model(self);
    py::object exposure = model["exposure"];
    py::object factors = exposure.attr("columns");
    py::object cov = attr("pd").attr("DataFrame")(model["factor_cov"], py::arg("index") = factors,
                                                  py::arg("columns") = factors);
    return py::make_tuple(exposure, cov);
}

// The styles the risk model carries, in STYLE_FACTORS order: a model built from
// prices has only those its data allowed. A constraint or objective that names
// another is refused where it reads the style (style_exposure).
py::object style_names(py::handle self) {
    py::object columns = py::dict(risk_model(self))["exposure"].attr("columns");
    py::list present;
    for (py::handle style : module_attr("vantelo.const", "STYLE_FACTORS")) {
        if (truthy(columns.attr("__contains__")(style))) {
            present.append(style);
        }
    }
    return std::move(present);
}

py::object industry_of(py::handle self, py::handle codes, py::handle classification) {
    py::object mapping = tidewell().attr("get_industry")(codes, self.attr("date"), classification);
    return mapping.attr("reindex")(codes)
        .attr("fillna")(kUnknownIndustry)
        .attr("astype")("object");
}

py::object industry_mapping(py::handle self, py::handle classification) {
    py::dict cache = cached(self, "industry_mapping", [] { return py::object(py::dict()); });
    py::object key = py::reinterpret_borrow<py::object>(classification);
    if (cache.contains(key)) {
        return cache[key];
    }
    py::object mapping = industry_of(self, self.attr("order_book_ids"), classification);
    cache[key] = mapping;
    return mapping;
}

void initialise(py::object self, py::object order_book_ids, py::object date, py::object benchmark,
                py::object cov_model) {
    self.attr("_cache") = py::dict();
    self.attr("order_book_ids") = list_copy(order_book_ids);
    self.attr("date") = date;
    self.attr("benchmark") = benchmark;
    self.attr("cov_model") = cov_model;
}

constexpr const char *kDoc = R"(
    The market data of one optimisation.

    Built by portfolio_optimize with the cleaned pool, the date, the benchmark (or
    None) and the covariance model; every member is read from tidewell at most once.
    Covariances are annualised. Besides the dense matrices it offers the covariances
    in factor form, cov = root @ root.T + diag(specific), without forming n x n data.
    )";

} // namespace
} // namespace vantelo

PYBIND11_MODULE(helper, m) {
    using namespace vantelo;
    ModuleOptions options;
    import_modules(m, {{"numpy", "np"}, {"pandas", "pd"}, {"tidewell"}});

    ClassBuilder(m, "OptimizeHelper", py::str(kDoc))
        .init(&initialise, py::arg("order_book_ids"), py::arg("date"), py::arg("benchmark"),
              py::arg("cov_model"))
        .readonly_property("prev_trading_date",
                           [](py::object self) { return prev_trading_date(self); })
        .readonly_property("union_components",
                           [](py::object self) { return union_components(self); })
        .readonly_property("benchmark_weight",
                           [](py::object self) { return benchmark_weight(self); })
        .readonly_property(
            "benchmark_components",
            [](py::object self) { return benchmark_holding(self).attr("index").attr("tolist")(); })
        .method(
            "get_cov_matrix",
            [](py::object self) {
                return cached(self, "cov_matrix", [&] { return dense_cov(self, true); });
            },
            "Annualised covariance of the pool, in pool order (n x n).")
        .method(
            "get_union_cov_matrix",
            [](py::object self) {
                return cached(self, "union_cov_matrix", [&] { return dense_cov(self, false); });
            },
            "Annualised covariance over union_components, in that order.")
        .method(
            "get_cov_factor", [](py::object self) { return cov_factor(self, true); },
            "(root, specific) with get_cov_matrix() == root @ root.T + diag(specific).")
        .method(
            "get_union_cov_factor", [](py::object self) { return cov_factor(self, false); },
            "(root, specific) with get_union_cov_matrix() == root @ root.T + diag(specific).")
        .method(
            "get_union_factor_model", [](py::object self) { return union_factor_model(self); },
            "(exposure, factor_cov) over union_components: every factor of the risk model,\n"
            "styles and industries; get_union_cov_matrix() == exposure @ factor_cov @\n"
            "exposure.T + diag(specific), specific from get_union_cov_factor().")
        .method(
            "get_factor_exposure",
            [](py::object self) {
                return cached(self, "factor_exposure", [&]() -> py::object {
                    py::dict model = risk_model(self);
                    py::object pool = self.attr("order_book_ids");
                    return model["exposure"].attr("loc")[py::make_tuple(pool, style_names(self))];
                });
            },
            "Style exposures of the pool: rows in pool order, one column per style the\n"
            "risk model has.")
        .method(
            "get_benchmark_style",
            [](py::object self) {
                return cached(self, "benchmark_style", [&]() -> py::object {
                    py::dict model = risk_model(self);
                    py::object styles = model["exposure"][style_names(self)];
                    return matmul(styles.attr("T"), benchmark_weight(self));
                });
            },
            "The benchmark's exposure to each style the risk model has, indexed by style\n"
            "name.")
        .method(
            "get_industry_mapping",
            [](py::object self, py::object classification) {
                return industry_mapping(self, classification);
            },
            py::arg("classification"),
            "Industry of each pool stock under the classification, \"UNKNOWN\" where it has none.")
        .method(
            "get_benchmark_industry_weight",
            [](py::object self, py::object classification) {
                py::object holding = benchmark_holding(self);
                if (py::len(holding) == 0) {
                    return holding;
                }
                py::object industries =
                    industry_of(self, holding.attr("index").attr("tolist")(), classification);
                return holding.attr("groupby")(industries.attr("values")).attr("sum")();
            },
            py::arg("classification"),
            "The benchmark's total weight in each industry it holds, indexed by industry.")
        .method("__repr__", [](py::object self) {
            return format("OptimizeHelper({} stocks, date={}, benchmark={}, cov_model={})",
                          py::len(self.attr("order_book_ids")), self.attr("date"),
                          self.attr("benchmark"), self.attr("cov_model"));
        });
}
