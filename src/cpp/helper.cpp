// vantelo.helper: OptimizeHelper, the market-data context of one optimisation.
//
// Everything is read lazily and at most once per helper: the benchmark's holding,
// the risk model (exposures, factor covariance, specific risk) of the pool and the
// benchmark's components, the industry mappings. Covariances are annualised. The
// risk model is a vantelo.risk.RiskModel in factor form, cov = root @ root.T +
// diag(specific), and the dense n x n matrices are only formed when someone asks
// for them: at 5,000 stocks one is 200 MB, while the factor form is n x k with k
// about 40.
//
// Two collaborators may be handed in: the market-data client to read through (a
// schedule's shared reads, say; the module's `tidewell` otherwise, looked up at
// call time) and a risk model of the caller's own, which then answers every
// covariance question instead of the store.
#include "vantelo/common.hpp"

#include <pybind11/options.h>

#include <functional>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.helper";

py::object attr(const char *name) { return module_attr(kModule, name); }

// The client this helper reads through: the one it was given, else the module's.
py::object client_of(py::handle self) {
    py::object given = self.attr("_client");
    return given.is_none() ? attr("tidewell") : given;
}

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

// The store answers a date that is not a trading day with the data of the last
// trading day before it (the risk model, index weights and industries on or
// before the date, returns up to the day before). That is said once per helper,
// on its first dated read. A date the calendar does not cover is left to the
// read itself to report.
void note_trading_day(py::handle self) {
    cached(self, "trading_day", [&]() -> py::object {
        py::object client = client_of(self);
        py::object date = self.attr("date");
        PyObject *found =
            PyObject_CallMethod(client.ptr(), "trading_date_offset", "Oi", date.ptr(), 0);
        if (found == nullptr) {
            py::error_already_set error;
            if (error.matches(module_attr("tidewell", "TidewellError"))) {
                return py::none();
            }
            throw std::move(error);
        }
        py::object used = py::reinterpret_steal<py::object>(found);
        if (!used.equal(date)) {
            warn_optimizer(kModule, format("{} is not a trading day: the market data of {}, the "
                                           "last trading day before it, are used",
                                           date, used));
        }
        return used;
    });
}

py::object prev_trading_date(py::handle self) {
    note_trading_day(self);
    return cached(self, "prev_trading_date", [&]() -> py::object {
        return client_of(self).attr("get_previous_trading_date")(self.attr("date"));
    });
}

// The benchmark's holding on the date as a float series, positions of zero weight
// left out; empty without a benchmark.
py::object benchmark_holding(py::handle self) {
    note_trading_day(self);
    return cached(self, "benchmark_holding", [&]() -> py::object {
        py::object pd = attr("pd");
        py::object benchmark = self.attr("benchmark");
        if (benchmark.is_none()) {
            return pd.attr("Series")(py::list(), py::arg("dtype") = "float64");
        }
        // An index benchmark's weights are the index's in the store: read through the
        // helper's client, as everything else is.
        py::object given = self.attr("_client");
        py::object weights =
            !given.is_none() &&
                    py::type::of(benchmark).is(module_attr("vantelo.benchmark", "IndexBenchmark"))
                ? given.attr("index_weights")(benchmark.attr("order_book_id"), self.attr("date"))
                : benchmark.attr("get_weight")(self.attr("date"));
        if (!py::isinstance(weights, pd.attr("Series"))) {
            weights = pd.attr("Series")(weights);
        }
        weights = weights.attr("astype")("float64").attr("fillna")(0.0);
        reject_duplicate_keys(
            "vantelo.exception", weights,
            format("the benchmark's weights on {}", self.attr("date")).cast<std::string>().c_str(),
            Language::English);
        return weights[weights.attr("ne")(0.0)];
    });
}

py::object union_components(py::handle self) {
    return cached(self, "union_components", [&]() -> py::object {
        py::list pool = self.attr("order_book_ids");
        py::set in_pool(pool);
        py::list result = list_copy(pool);
        for (py::handle code : list_copy(benchmark_holding(self).attr("index"))) {
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

// The store's risk model over the union of pool and benchmark components,
// annualised, with its factors by name.
py::object store_risk_model(py::handle self) {
    py::object np = attr("np");
    py::object client = client_of(self);
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
    // A root of the factor covariance: the eigen-decomposition copes with a merely
    // semi-definite estimate, where a Cholesky factor would fail.
    py::tuple eig = np.attr("linalg").attr("eigh")(cov);
    py::object eigenvalues = np.attr("clip")(eig[0], 0.0, py::none());
    py::object factor_root = py::object(eig[1]) * np.attr("sqrt")(eigenvalues);
    py::object specific =
        specific_vol * specific_vol * py::float_(static_cast<double>(kTradingDaysPerYear));
    return factor_risk_model(universe, matmul(loadings, factor_root), specific,
                             factors.attr("tolist")(), loadings, cov);
}

// The model every covariance question is answered from: the caller's (a RiskModel,
// or a callable giving the date's), over the union, or the store's.
py::object risk_model(py::handle self) {
    note_trading_day(self);
    return cached(self, "risk_model", [&]() -> py::object {
        py::object given = self.attr("_risk_model");
        if (given.is_none()) {
            return store_risk_model(self);
        }
        if (!is_risk_model(given) && PyCallable_Check(given.ptr())) {
            given = given(self.attr("date"));
        }
        if (!is_risk_model(given)) {
            raise_invalid_argument(
                "vantelo.exception",
                format("risk_model: expected a vantelo.risk.RiskModel (or a callable giving one "
                       "for the date), got {!r}",
                       given));
        }
        return risk_subset(given, union_components(self), py::str("the risk model given"));
    });
}

py::ssize_t pool_size(py::handle self) { return py::len(self.attr("order_book_ids")); }

py::object pool_model(py::handle self) { return leading_rows(risk_model(self), pool_size(self)); }

// The model's exposures by factor over the union, as a DataFrame: the caller's
// factor model, the store's, or (a model with no named factors) the store's
// exposures, which style limits still read.
py::object union_exposure(py::handle self) {
    return cached(self, "union_exposure", [&]() -> py::object {
        py::object model = risk_model(self);
        py::object named = model.attr("factor_model")();
        if (!named.is_none()) {
            return py::object(named[py::int_(0)]);
        }
        py::list universe = union_components(self);
        return client_of(self)
            .attr("get_factor_exposure")(universe, self.attr("date"))
            .attr("reindex")(universe);
    });
}

// The risk model over union_components by factor: (exposure, factor covariance),
// both DataFrames labelled by factor name, the covariance annualised.
py::tuple union_factor_model(py::handle self) {
    py::object named = risk_model(self).attr("factor_model")();
    if (named.is_none()) {
        raise_invalid_argument("vantelo.exception",
                               py::str("the risk model given has no factors by name"));
    }
    return py::make_tuple(named[py::int_(0)], named[py::int_(1)]);
}

// The style factors among the columns of `exposure`, in their standard order: a
// model built from the user's data may lack some, and only a limit that asks for
// one it lacks is an error.
py::list known_styles(py::handle exposure) {
    py::object columns = exposure.attr("columns");
    py::list styles;
    for (py::handle style : module_attr("vantelo.const", "STYLE_FACTORS")) {
        if (columns.contains(style)) {
            styles.append(style);
        }
    }
    return styles;
}

// The columns `styles` of the exposures `exposure`, as one float array (rows as
// the frame's).
py::object style_values(py::handle exposure, py::handle styles) {
    py::object columns = exposure.attr("columns");
    py::list positions;
    for (py::handle style : styles) {
        positions.append(columns.attr("get_loc")(style));
    }
    return as_float_array(exposure.attr(
        "to_numpy")())[py::make_tuple(py::slice(py::none(), py::none(), py::none()), positions)];
}

// Whether the first rows of `frame` are `codes`, in order: the union's tables are
// laid out pool first, so that positions then stand for labels, which pandas looks
// up one by one.
bool leads_with(py::handle frame, py::handle codes) {
    py::object np = attr("np");
    py::object labels = frame.attr("index").attr("to_numpy")(py::arg("dtype") = "object");
    const py::ssize_t count = py::len(codes);
    return static_cast<py::ssize_t>(py::len(labels)) >= count &&
           truthy(np.attr("array_equal")(labels[py::slice(0, count, 1)],
                                         np.attr("asarray")(codes, py::arg("dtype") = "object")));
}

py::object industry_of(py::handle self, py::handle codes, py::handle classification) {
    note_trading_day(self);
    py::object mapping =
        client_of(self).attr("get_industry")(codes, self.attr("date"), classification);
    // The store answers in the order asked, leaving out stocks it does not classify:
    // with none left out the answer is already in place.
    if (py::len(mapping) == py::len(codes) &&
        truthy(mapping.attr("index").attr("equals")(attr("pd").attr("Index")(codes))) &&
        !truthy(mapping.attr("isna")().attr("any")())) {
        return mapping.attr("astype")("object");
    }
    return mapping.attr("reindex")(codes)
        .attr("fillna")(kUnknownIndustry)
        .attr("astype")("object");
}

// The industry of every pool stock and benchmark component, in union order, read
// once per classification: the pool's mapping and the benchmark's industry
// weights both come from it.
py::object union_industries(py::handle self, py::handle classification) {
    py::dict cache = cached(self, "union_industries", [] { return py::object(py::dict()); });
    py::object key = py::reinterpret_borrow<py::object>(classification);
    if (cache.contains(key)) {
        return cache[key];
    }
    py::object mapping = industry_of(self, union_components(self), classification);
    cache[key] = mapping;
    return mapping;
}

py::object industry_mapping(py::handle self, py::handle classification) {
    py::dict cache = cached(self, "industry_mapping", [] { return py::object(py::dict()); });
    py::object key = py::reinterpret_borrow<py::object>(classification);
    if (cache.contains(key)) {
        return cache[key];
    }
    // The union starts with the pool.
    py::object mapping = union_industries(self, classification)
                             .attr("iloc")[py::slice(0, pool_size(self), 1)]
                             .attr("copy")();
    cache[key] = mapping;
    return mapping;
}

void initialise(py::object self, py::object order_book_ids, py::object date, py::object benchmark,
                py::object cov_model, py::object client, py::object risk_model) {
    self.attr("_cache") = py::dict();
    self.attr("_client") = client;
    self.attr("_risk_model") = risk_model;
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
    in factor form, cov = root @ root.T + diag(specific), without forming n x n data,
    and the whole model as risk_model (a vantelo.risk.RiskModel over
    union_components).

    client: the market-data client to read through (tidewell when None).
    risk_model: a RiskModel of the caller's own (or a callable date -> RiskModel)
    that answers every covariance question instead of the store's model; it must
    cover the pool and the benchmark's components.
    )";

} // namespace
} // namespace vantelo

PYBIND11_MODULE(helper, m) {
    using namespace vantelo;
    ModuleOptions options;
    import_modules(m, {{"warnings"}, {"numpy", "np"}, {"pandas", "pd"}, {"tidewell"}});
    import_names(m, "vantelo.exception", {"OptimizerWarning"});

    ClassBuilder(m, "OptimizeHelper", py::str(kDoc))
        .init(&initialise, py::arg("order_book_ids"), py::arg("date"), py::arg("benchmark"),
              py::arg("cov_model"), py::kw_only(), py::arg("client") = py::none(),
              py::arg("risk_model") = py::none())
        .readonly_property("prev_trading_date",
                           [](py::object self) { return prev_trading_date(self); })
        .readonly_property("union_components",
                           [](py::object self) { return union_components(self); })
        .readonly_property("benchmark_weight",
                           [](py::object self) { return benchmark_weight(self); })
        .readonly_property(
            "benchmark_components",
            [](py::object self) { return benchmark_holding(self).attr("index").attr("tolist")(); })
        .readonly_property("client", [](py::object self) { return self.attr("_client"); })
        .readonly_property("risk_model", [](py::object self) { return risk_model(self); })
        .method(
            "get_cov_matrix",
            [](py::object self) {
                return cached(self, "cov_matrix",
                              [&] { return risk_covariance(pool_model(self)); });
            },
            "Annualised covariance of the pool, in pool order (n x n).")
        .method(
            "get_union_cov_matrix",
            [](py::object self) {
                return cached(self, "union_cov_matrix",
                              [&] { return risk_covariance(risk_model(self)); });
            },
            "Annualised covariance over union_components, in that order.")
        .method(
            "get_cov_factor",
            [](py::object self) { return py::object(risk_factor_form(pool_model(self))); },
            "(root, specific) with get_cov_matrix() == root @ root.T + diag(specific).")
        .method(
            "get_union_cov_factor",
            [](py::object self) { return py::object(risk_factor_form(risk_model(self))); },
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
                    py::object exposure = union_exposure(self);
                    py::object pool = self.attr("order_book_ids");
                    py::list styles = known_styles(exposure);
                    if (leads_with(exposure, pool)) {
                        // One frame from the style columns' leading rows, rather than
                        // a frame of the columns and then one of its rows.
                        py::object rows = py::slice(0, py::len(pool), 1);
                        return attr("pd").attr("DataFrame")(style_values(exposure, styles)[rows],
                                                            py::arg("index") =
                                                                exposure.attr("index")[rows],
                                                            py::arg("columns") = styles);
                    }
                    return exposure.attr("loc")[py::make_tuple(pool, styles)];
                });
            },
            "Style exposures of the pool: rows in pool order, one column per style the\n"
            "risk model has.")
        .method(
            "get_benchmark_style",
            [](py::object self) {
                return cached(self, "benchmark_style", [&]() -> py::object {
                    py::object exposure = union_exposure(self);
                    py::list names = known_styles(exposure);
                    py::object weights = benchmark_weight(self);
                    if (truthy(exposure.attr("index").attr("equals")(weights.attr("index")))) {
                        py::object values = style_values(exposure, names);
                        return attr("pd").attr("Series")(
                            matmul(values.attr("T"), as_float_array(weights.attr("values"))),
                            py::arg("index") = attr("pd").attr("Index")(names));
                    }
                    return matmul(exposure[names].attr("T"), weights);
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
            "get_industry_names",
            [](py::object self, py::object classification) {
                return list_copy(client_of(self).attr("industry_names")(classification));
            },
            py::arg("classification"),
            "Every industry of the classification, whether or not a pool stock is in it.")
        .method(
            "get_benchmark_industry_weight",
            [](py::object self, py::object classification) {
                // Asked once per industry limit: kept per classification, like the
                // pool's mapping.
                py::dict cache = cached(self, "benchmark_industry_weight",
                                        [] { return py::object(py::dict()); });
                py::object key = py::reinterpret_borrow<py::object>(classification);
                if (cache.contains(key)) {
                    return py::object(cache[key]);
                }
                py::object holding = benchmark_holding(self);
                py::object weights = holding;
                if (py::len(holding) > 0) {
                    // The holding's codes are all in the union.
                    py::object industries = union_industries(self, classification)
                                                .attr("reindex")(holding.attr("index"));
                    // Summed on the arrays: a schedule asks this of every date, and a
                    // groupby's machinery costs more than the sums.
                    py::object np = attr("np");
                    // Grouped by hashing, with only the few names sorted.
                    py::tuple names = attr("pd").attr("factorize")(industries.attr("to_numpy")(),
                                                                   py::arg("sort") = true);
                    py::object sums = np.attr("bincount")(
                        names[0], py::arg("weights") = as_float_array(holding.attr("values")),
                        py::arg("minlength") = py::len(names[1]));
                    weights = attr("pd").attr("Series")(
                        sums,
                        py::arg("index") = attr("pd").attr("Index")(names[1].attr("tolist")()),
                        py::arg("name") = holding.attr("name"));
                }
                cache[key] = weights;
                return weights;
            },
            py::arg("classification"),
            "The benchmark's total weight in each industry it holds, indexed by industry.")
        .method("__repr__", [](py::object self) {
            return format("OptimizeHelper({} stocks, date={}, benchmark={}, cov_model={})",
                          py::len(self.attr("order_book_ids")), self.attr("date"),
                          self.attr("benchmark"), self.attr("cov_model"));
        });
}
