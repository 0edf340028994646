// vantelo.core: one optimisation through the driver's stages, with its
// collaborators passed as arguments rather than found in module attributes: the
// market-data client to read through, a risk model of the caller's own, the
// helper's class. portfolio_optimize is these stages over the attributes of
// vantelo.optimize; `optimize` here returns what happened as an
// OptimizationResult (the weights, how the solve ended, the helper and its risk
// model) instead of raising, so that a schedule, a notebook or a service can read
// the status without parsing warnings.
#include "vantelo/core.hpp"
#include "vantelo/common.hpp"
#include "vantelo/direct.hpp"
#include "vantelo/limits.hpp"

#include <pybind11/options.h>

#include <cmath>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.core";

py::object attr(const char *name) { return module_attr(kModule, name); }

py::object new_result(py::dict fields) {
    py::object cls = attr("OptimizationResult");
    py::object result = cls.attr("__new__")(cls);
    result.attr("__dict__").attr("update")(fields);
    return result;
}

py::object optimize(py::object order_book_ids, py::object date, py::object objective,
                    py::object bnds, py::object cons, py::object benchmark, py::object cov_model,
                    py::object risk_model, py::object client, py::object helper_type,
                    py::object cache, py::object backend, py::object accuracy) {
    py::object clock = attr("time").attr("perf_counter");
    py::object started = clock();
    Collaborators with;
    with.client = client.is_none() ? attr("tidewell") : client;
    with.helper_client = client;
    with.make_helper = helper_type.is_none() ? attr("OptimizeHelper") : helper_type;
    with.cp_home = kModule;
    with.risk_model = risk_model;
    with.cache = cache;
    with.accuracy = accuracy;
    if (!cache.is_none() && !PyDict_Check(cache.ptr())) {
        raise_invalid_argument(kModule,
                               format("cache: expected a dict (or None), got {!r}", cache));
    }
    if (!accuracy.is_none() && !(as_double(accuracy) > 0.0 && as_double(accuracy) < 1.0)) {
        raise_invalid_argument(
            kModule, format("accuracy: expected a number in (0, 1), got {!r}", accuracy));
    }
    if (!(py::isinstance<py::str>(backend) &&
          (backend.equal(py::str("auto")) || backend.equal(py::str("direct")) ||
           backend.equal(py::str("cvxpy"))))) {
        raise_invalid_argument(
            kModule, format("backend: expected 'auto', 'direct' or 'cvxpy', got {!r}", backend));
    }
    with.backend = backend.cast<std::string>();
    if (objective.is_none()) {
        objective = module_attr("vantelo.optimize", "DEFAULT_OBJECTIVE");
    }

    bool single = false;
    Inputs inputs =
        normalise(order_book_ids, date, objective, bnds, cons, benchmark, cov_model, with, single);
    py::dict fields;
    fields["pool"] = inputs.pool;
    fields["date"] = inputs.date;
    fields["inaccurate"] = false;
    fields["error"] = py::none();
    fields["diagnosis"] = py::none();
    fields["objective_value"] = py::none();
    fields["solver"] = py::none();
    fields["helper"] = py::none();
    fields["backend"] = py::none();
    // Read once, so that the solve and the result's measure of its limits both see
    // every constraint of a generator.
    if (!inputs.cons.is_none() && !PyList_Check(inputs.cons.ptr()) &&
        !PyTuple_Check(inputs.cons.ptr())) {
        inputs.cons = list_copy(inputs.cons);
    }
    fields["_bnds"] = inputs.bnds;
    fields["_cons"] = inputs.cons;
    fields["_limits"] = py::none();
    fields["_terms"] = py::none();
    py::object pd = attr("pd");
    if (single) {
        fields["weights"] =
            pd.attr("Series")(py::list(py::make_tuple(1.0)), py::arg("index") = inputs.pool);
        fields["status"] = "solved";
        fields["seconds"] = clock() - started;
        return new_result(fields);
    }
    py::object helper = build_helper(inputs, with);
    fields["helper"] = helper;
    std::string reason;
    const bool direct = direct_eligible(inputs, with, reason);
    if (!direct && with.backend == "direct") {
        raise_invalid_argument(kModule,
                               format("backend='direct' cannot take this problem: {}", reason));
    }
    fields["backend"] = direct ? "direct" : "cvxpy";
    try {
        Outcome outcome;
        if (direct) {
            outcome = solve_direct(inputs, helper, with);
        } else {
            Problem problem = assemble(inputs, helper, with);
            outcome = solve(problem, inputs, helper, with);
        }
        fields["weights"] = pd.attr("Series")(outcome.weights, py::arg("index") = inputs.pool);
        fields["status"] = outcome.soft_dropped ? "soft constraints dropped" : "solved";
        fields["inaccurate"] = outcome.inaccurate;
        fields["objective_value"] = outcome.value;
        fields["solver"] = outcome.solver;
        fields["_terms"] = outcome.constraint_terms;
    } catch (py::error_already_set &error) {
        if (!error.matches(attr("OptimizationFailed"))) {
            throw;
        }
        py::object failure = error.value();
        fields["weights"] = py::none();
        fields["status"] = "failed";
        fields["error"] = failure;
        fields["diagnosis"] = py::getattr(failure, "diagnosis", py::none());
    }
    fields["seconds"] = clock() - started;
    return new_result(fields);
}

// The result's risk figures, from the helper's model: NaN when there is no
// portfolio to measure.
py::object risk_figures(py::object self) {
    py::object weights = self.attr("weights");
    py::object helper = self.attr("helper");
    if (weights.is_none() || helper.is_none()) {
        return py::make_tuple(std::nan(""), std::nan(""));
    }
    auto [volatility, tracking_error] = ex_ante_risk(
        helper, attr("np").attr("asarray")(weights.attr("values"), py::arg("dtype") = "float64"));
    return py::make_tuple(volatility, tracking_error);
}

py::object risk_model(py::object self) {
    py::object helper = self.attr("helper");
    return helper.is_none() ? py::object(py::none()) : risk_model_of(helper, Universe::Union);
}

// The weights against every limit of the call, measured once with the call's own
// market data: the constraint check's table, without reading the store again (and
// without cvxpy where the constraints are the package's own).
py::object limits(py::object self) {
    py::object cached = self.attr("_limits");
    if (!cached.is_none()) {
        return cached;
    }
    py::object weights = self.attr("weights");
    py::object helper = self.attr("helper");
    if (weights.is_none() || helper.is_none()) {
        return py::none();
    }
    py::object pool = self.attr("pool");
    py::object values =
        attr("np").attr("asarray")(weights.attr("values"), py::arg("dtype") = "float64");
    // What the data lacks (an industry the pool does not hold) the solve has said.
    py::object warnings = py::module_::import("warnings");
    py::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    py::object table;
    try {
        warnings.attr("simplefilter")("ignore", attr("OptimizerWarning"));
        table = measured_limit_table(
            values, pool, self.attr("_bnds"), self.attr("_cons"), helper,
            [&] { return attr("cp").attr("Variable")(py::len(pool)); }, self.attr("_terms"));
    } catch (...) {
        guard.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    guard.attr("__exit__")(py::none(), py::none(), py::none());
    self.attr("_limits") = table;
    return table;
}

py::str representation(py::object self) {
    py::object weights = self.attr("weights");
    return format("OptimizationResult({}, {} stocks, {} held)", self.attr("status"),
                  py::len(self.attr("pool")),
                  weights.is_none()
                      ? py::object(py::int_(0))
                      : py::object(weights.attr("gt")(kHoldingThreshold).attr("sum")()));
}

constexpr const char *kOptimizeDoc = R"(
    One optimisation, as portfolio_optimize runs it, returned as an
    OptimizationResult rather than raised.

    The first seven arguments are portfolio_optimize's (objective None means its
    default, MinVariance). Besides them:

    risk_model: a vantelo.risk.RiskModel of your own (or a callable date ->
        RiskModel) over the pool and the benchmark's components, used for every
        covariance instead of the store's model.
    client: the market-data client to read through (vantelo.core.tidewell, that is
        tidewell, when None): anything with tidewell's calls.
    helper_class: the helper's class (vantelo.helper.OptimizeHelper when None), or
        any callable taking its arguments.
    cache: a dict of your own in which assembled problems and their last solutions
        are kept between calls (None: nothing kept). Hand the same one to the
        calls of a schedule: a date then starts from the last date's solution.
    backend: "auto" (the default: the direct conic assembly when the objective,
        the constraints and the helper are the package's own and the risk model is
        in factor form; cvxpy otherwise), "direct" (InvalidArgument saying why
        when the problem cannot take it) or "cvxpy".
    accuracy: SCS's absolute and relative tolerance (None: the defaults).

    Invalid arguments raise InvalidArgument as portfolio_optimize raises them; a
    solve that fails is a result with status "failed", its error and, for an
    infeasible problem, its diagnosis.
    )";

constexpr const char *kResultDoc = R"(
    How one optimisation ended.

    weights: the weights (a Series over the pool summing to 1), None when failed.
    status: "solved", "soft constraints dropped" (solved once the soft
        constraints were dropped) or "failed".
    inaccurate: whether the solver stopped short of its accuracy (the weights
        still meet every hard limit within vantelo.core.LIMIT_TOLERANCE).
    error: the OptimizationFailed of a failed solve; diagnosis: its
        InfeasibilityReport when the problem has no solution.
    objective_value, solver, pool, date, seconds: what was solved, and how long it
        took; backend: "direct" or "cvxpy", which assembly solved it.
    helper: the market data of the call; risk_model: its RiskModel over the pool
        and the benchmark's components; volatility and tracking_error: the
        weights' ex-ante figures under it (tracking_error NaN without a benchmark).
    limits: the weights against every limit of the call (full investment, each
        bound, each side of each constraint), measured with the call's own market
        data: the table vantelo.diagnose.check_constraints gives; None when failed
        (and for a pool of one stock, which is solved without market data).
    )";

} // namespace
} // namespace vantelo

PYBIND11_MODULE(core, m) {
    using namespace vantelo;
    ModuleOptions options;
    import_modules(m, {{"time"}, {"numpy", "np"}, {"pandas", "pd"}, {"tidewell"}});
    // cvxpy (75 MB with what it pulls in) is loaded when a call first needs it.
    import_lazily(m, "cvxpy", "cp");
    import_names(m, "vantelo.exception",
                 {"InvalidArgument", "OptimizationFailed", "OptimizerWarning"});
    import_names(m, "vantelo.const", {"CovModel"});
    import_names(m, "vantelo.helper", {"OptimizeHelper"});
    m.attr("HOLDING_THRESHOLD") = kHoldingThreshold;
    m.attr("LIMIT_TOLERANCE") = kLimitTolerance;

    ClassBuilder(m, "OptimizationResult", py::str(kResultDoc))
        .readonly_property("risk_model", &risk_model)
        .readonly_property("limits", &limits)
        .readonly_property(
            "volatility",
            [](py::object self) { return py::object(risk_figures(self)[py::int_(0)]); })
        .readonly_property(
            "tracking_error",
            [](py::object self) { return py::object(risk_figures(self)[py::int_(1)]); })
        .method("__repr__", &representation);

    def_function(m, "optimize", &optimize, kOptimizeDoc, py::arg("order_book_ids"),
                 py::arg("date"), py::arg("objective") = py::none(), py::arg("bnds") = py::none(),
                 py::arg("cons") = py::none(), py::arg("benchmark") = py::none(),
                 py::arg("cov_model") = m.attr("CovModel").attr("FACTOR_MODEL_DAILY"),
                 py::kw_only(), py::arg("risk_model") = py::none(), py::arg("client") = py::none(),
                 py::arg("helper_class") = py::none(), py::arg("cache") = py::none(),
                 py::arg("backend") = "auto", py::arg("accuracy") = py::none());
}
