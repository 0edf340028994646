// InfeasibilityReport: its fields, the reports the diagnosis returns, and its
// text.
#include "diagnose.hpp"

namespace vantelo {
namespace diagnose {

// ---------------------------------------------------------------------------
// The report
// ---------------------------------------------------------------------------

namespace {

py::object empty_conflicts() {
    py::dict columns;
    py::object np = attr("np");
    for (const char *name : {"label", "constraint", "side"}) {
        columns[name] = py::list();
    }
    for (const char *name : {"limit", "attainable", "relaxation"}) {
        columns[name] = np.attr("zeros")(0);
    }
    columns["hard"] = np.attr("zeros")(0, py::arg("dtype") = "bool");
    return attr("pd").attr("DataFrame")(columns);
}

} // namespace

py::object make_report(bool feasible, py::object conflicts, py::list minimal_set,
                       bool hard_only_feasible, const std::string &solver) {
    return attr("InfeasibilityReport")(
        feasible, conflicts, minimal_set, hard_only_feasible, py::arg("diagnosed") = true,
        py::arg("reason") = py::str(""),
        py::arg("solver") = solver.empty() ? py::object(py::none()) : py::object(py::str(solver)));
}

py::object feasible_report(const std::string &solver) {
    return make_report(true, empty_conflicts(), py::list(), true, solver);
}

// The diagnosis could not be made: an infeasible report that says why.
py::object undiagnosed_report(const std::string &reason) {
    return attr("InfeasibilityReport")(
        false, empty_conflicts(), py::list(), false, py::arg("diagnosed") = false,
        py::arg("reason") = py::str(reason), py::arg("solver") = py::none());
}

void report_init(py::object self, py::object feasible, py::object conflicts,
                 py::object minimal_set, py::object hard_only_feasible, py::object diagnosed,
                 py::object reason, py::object solver) {
    self.attr("feasible") = py::bool_(truthy(feasible));
    self.attr("conflicts") = conflicts;
    self.attr("minimal_set") = list_copy(minimal_set);
    self.attr("hard_only_feasible") = py::bool_(truthy(hard_only_feasible));
    self.attr("diagnosed") = py::bool_(truthy(diagnosed));
    self.attr("reason") = py::str(reason);
    self.attr("solver") = solver;
}

py::str report_text(py::object self) {
    if (!truthy(self.attr("diagnosed"))) {
        return format("The diagnosis could not be made: {}", self.attr("reason"));
    }
    if (truthy(self.attr("feasible"))) {
        return py::str("Feasible: every limit can hold together.");
    }
    py::object conflicts = self.attr("conflicts");
    py::list lines;
    const py::ssize_t moving = py::len(conflicts);
    lines.append(format("Infeasible: {} {} must move for a solution to exist.", moving,
                        py::str(moving == 1 ? "limit" : "limits")));
    py::list shown;
    for (const char *name : {"label", "side", "limit", "attainable", "relaxation"}) {
        shown.append(py::str(name));
    }
    py::object table = conflicts[shown].attr("copy")();
    py::list kinds;
    py::object hard = conflicts["hard"];
    for (py::handle flag : hard) {
        kinds.append(py::str(truthy(flag) ? "hard" : "soft"));
    }
    table["kind"] = kinds;
    lines.append(table.attr("to_string")(
        py::arg("index") = false, py::arg("float_format") = py::str("{:.6g}").attr("format")));
    lines.append(format("Smallest set that cannot hold together (each one is needed): {}",
                        py::str("; ").attr("join")(self.attr("minimal_set"))));
    lines.append(py::str(truthy(self.attr("hard_only_feasible"))
                             ? "The hard constraints alone can hold: without the soft ones a "
                               "solution exists."
                             : "The hard constraints alone cannot hold."));
    return py::str("\n").attr("join")(lines);
}

} // namespace diagnose
} // namespace vantelo
