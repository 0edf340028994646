// vantelo.objective: what the optimiser minimises. Every objective offers
// get_objective_expr(g, zeta, helper), get_internal_constraints(g, zeta, helper)
// and get_preferred_solver(); the driver calls them with its weight variable g,
// the scale zeta and the per-call helper.
#include "vantelo/common.hpp"

#include <pybind11/options.h>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.objective";

py::object cp() { return module_attr(kModule, "cp"); }

[[noreturn]] void not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw py::error_already_set();
}

py::object scs() { return cp().attr("SCS"); }

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
        .method(
            "get_preferred_solver", [](py::object) -> py::object { not_implemented(); });
}

// An objective's three protocol methods, of which the internal constraints are
// none and the solver is SCS for every built-in objective but the ratio ones.
template <typename Expr>
void define_objective(py::module_ &m, const char *name, const char *doc, Expr expr) {
    ClassBuilder(m, name, py::str(doc), py::make_tuple(m.attr("OptimizationObjective")))
        .method("get_objective_expr", expr, py::arg("g"), py::arg("zeta"),
                py::arg("helper"))
        .method(
            "get_internal_constraints",
            [](py::object, py::object, py::object, py::object) { return py::list(); },
            py::arg("g"), py::arg("zeta"), py::arg("helper"))
        .method(
            "get_preferred_solver", [](py::object) { return scs(); });
}

void define_min_variance(py::module_ &m) {
    define_objective(m, "MinVariance", "风险最小化",
                     [](py::object, py::object g, py::object zeta, py::object helper) {
                         assert_unscaled(zeta);
                         return risk_quad_form(g, helper, Universe::Pool);
                     });
}

} // namespace
} // namespace vantelo

PYBIND11_MODULE(objective, m) {
    using namespace vantelo;
    py::options options;
    options.disable_function_signatures();

    import_into(m, "abc", "ABCMeta");
    import_into(m, "warnings", nullptr, "warnings");
    import_into(m, "cvxpy", nullptr, "cp");
    import_into(m, "numpy", nullptr, "np");
    import_into(m, "pandas", nullptr, "pd");
    import_into(m, "tidewell", nullptr, "tidewell");
    import_into(m, "vantelo.exception", "InvalidArgument");
    import_into(m, "vantelo.exception", "OptimizerWarning");
    import_into(m, "vantelo.const", "STYLE_FACTORS");

    m.def(
        "ensure_series",
        [](py::object obj, py::object name) { return ensure_series(kModule, obj, name); },
        py::arg("obj"), py::arg("name"));

    define_base(m);
    define_min_variance(m);
    for (const char *name : {"MeanVariance", "RiskParity", "MinTrackingError", "MaxInformationRatio",
                             "MaxSharpeRatio", "MaxIndicator", "MinStyleDeviation"}) {
        ClassBuilder(m, name, py::none(), py::make_tuple(m.attr("OptimizationObjective")));
    }
}
