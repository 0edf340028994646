// Running SCS and Clarabel on the direct back-end's data: settings, warm starts,
// the cache of set-up solvers, and the value and status the driver reads.
#include "direct_internal.hpp"

#include <cmath>
#include <limits>

namespace vantelo {
namespace direct_detail {
namespace {

py::dict settings(py::handle scs, double accuracy) {
    py::dict options;
    options["eps_abs"] = accuracy;
    options["eps_rel"] = accuracy;
    options["max_iters"] = kMaxIterations;
    options["verbose"] = false;
    // SCS releases that choose their linear solver pick a threaded sparse one where
    // it is installed; on these systems (a few thousand stocks, dense factor rows)
    // the single-threaded factorisation sets up and iterates faster, and it is what
    // older releases always use.
    if (py::hasattr(scs, "LinearSolver")) {
        options["linear_solver"] = "qdldl";
    }
    return options;
}

bool same_matrix(py::handle left, py::handle right) {
    auto same = [](py::handle a, py::handle b) { return truthy(np().attr("array_equal")(a, b)); };
    return py::tuple(left.attr("shape")).equal(py::tuple(right.attr("shape"))) &&
           same(left.attr("indptr"), right.attr("indptr")) &&
           same(left.attr("indices"), right.attr("indices")) &&
           same(left.attr("data"), right.attr("data"));
}

} // namespace

py::object cache_entry(py::handle cache, py::handle key) {
    if (cache.is_none()) {
        return py::none();
    }
    py::object found = cache.attr("get")(key);
    if (found.is_none()) {
        found = py::dict();
        cache[key] = found;
        py::object next = py::module_::import("builtins").attr("next");
        while (static_cast<py::ssize_t>(py::len(cache)) > kCachedProblems) {
            // Dicts keep their order of insertion: the first key is the oldest.
            cache.attr("pop")(next(py::iter(cache)));
        }
    }
    return found;
}

Solution run_scs(const ConicData &data, py::handle entry, double accuracy, const Solution *warm) {
    py::object scs = py::module_::import("scs");
    py::object clock = driver("time").attr("perf_counter");
    py::object started = clock();
    py::object solver = py::none();
    const bool cached = !entry.is_none();
    py::object x = py::none(), y = py::none(), s = py::none();
    if (warm != nullptr) {
        x = warm->x;
        y = warm->y;
        s = warm->s;
    } else if (cached && entry.contains("structure") &&
               py::object(entry["structure"]).equal(data.structure)) {
        x = entry["x"];
        y = entry["y"];
        s = entry["s"];
        // The same matrices at the same accuracy: the solver object set up for them
        // takes the new vectors, and its factorisation is kept.
        if (as_double(entry["accuracy"]) == accuracy && same_matrix(entry["A"], data.A) &&
            same_matrix(entry["P"], data.P)) {
            solver = entry["solver"];
            solver.attr("update")(py::arg("b") = data.b, py::arg("c") = data.c);
        }
    }
    if (solver.is_none()) {
        py::dict problem;
        problem["P"] = data.P;
        problem["A"] = data.A;
        problem["b"] = data.b;
        problem["c"] = data.c;
        solver = scs.attr("SCS")(problem, data.cone, **settings(scs, accuracy));
    }
    py::dict result =
        x.is_none() ? py::dict(solver.attr("solve")())
                    : py::dict(solver.attr("solve")(py::arg("warm_start") = true, py::arg("x") = x,
                                                    py::arg("y") = y, py::arg("s") = s));
    Solution solution;
    solution.x = result["x"];
    solution.y = result["y"];
    solution.s = result["s"];
    solution.info = result["info"];
    solution.status = solution.info["status_val"].cast<int>();
    solution.value = as_double(solution.info["pobj"]) + data.offset;
    solution.seconds = as_double(clock() - started);
    if (cached && (solution.status == 1 || solution.status == 2)) {
        entry["structure"] = data.structure;
        entry["x"] = solution.x;
        entry["y"] = solution.y;
        entry["s"] = solution.s;
        entry["A"] = data.A;
        entry["P"] = data.P;
        entry["accuracy"] = accuracy;
        entry["solver"] = solver;
    }
    return solution;
}

// An interior-point solve of the same data (Clarabel poses cones as SCS does:
// A x + s = b, s in the cones, the exponential cone over (x, y, z) with
// y·exp(x/y) <= z): exact where SCS stops short of a limit that binds hard. Status
// as SCS numbers it: 1 solved, 2 almost solved, 0 not solved or not installed.
Solution run_clarabel(const ConicData &data) {
    Solution solution;
    py::object clarabel;
    try {
        clarabel = py::module_::import("clarabel");
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ImportError)) {
            throw;
        }
        return solution;
    }
    py::object clock = driver("time").attr("perf_counter");
    py::object started = clock();
    py::list cones;
    const auto zero = py::int_(data.cone["z"]).cast<py::ssize_t>();
    const auto linear = py::int_(data.cone["l"]).cast<py::ssize_t>();
    if (zero > 0) {
        cones.append(clarabel.attr("ZeroConeT")(zero));
    }
    if (linear > 0) {
        cones.append(clarabel.attr("NonnegativeConeT")(linear));
    }
    if (data.cone.contains("q")) {
        for (py::handle size : data.cone["q"]) {
            cones.append(clarabel.attr("SecondOrderConeT")(size));
        }
    }
    if (data.cone.contains("ep")) {
        for (py::ssize_t e = 0; e < py::int_(data.cone["ep"]).cast<py::ssize_t>(); ++e) {
            cones.append(clarabel.attr("ExponentialConeT")());
        }
    }
    py::object settings = clarabel.attr("DefaultSettings")();
    settings.attr("verbose") = false;
    py::object solver =
        clarabel.attr("DefaultSolver")(data.P, data.c, data.A, data.b, cones, settings);
    py::object result = solver.attr("solve")();
    std::string status = py::str(result.attr("status"));
    solution.status = status == "Solved" ? 1 : status == "AlmostSolved" ? 2 : 0;
    solution.x = np().attr("asarray")(result.attr("x"), py::arg("dtype") = "float64");
    solution.value = as_double(result.attr("obj_val")) + data.offset;
    solution.seconds = as_double(clock() - started);
    return solution;
}

bool solved(const Solution &solution) { return solution.status == 1 || solution.status == 2; }
bool infeasible(const Solution &solution) {
    return solution.status == -2 || solution.status == -7;
}

py::object logger() { return driver("logging").attr("getLogger")(kDriver); }

// The value cvxpy's solve returns for a status: the objective when solved, +inf
// for an infeasible problem, −inf for an unbounded one.
py::object reported_value(const Solution &solution) {
    if (solved(solution)) {
        return py::float_(solution.value);
    }
    if (infeasible(solution)) {
        return py::float_(std::numeric_limits<double>::infinity());
    }
    if (solution.status == -1 || solution.status == -6) {
        return py::float_(-std::numeric_limits<double>::infinity());
    }
    return py::none();
}

Solution solve_logged(const ConicData &data, py::handle entry, double accuracy) {
    Solution solution = run_scs(data, entry, accuracy);
    py::object value = reported_value(solution);
    if (value.is_none()) {
        // SCS gave up without a verdict: cvxpy reports that as a solver error.
        raise(driver("OptimizationFailed"), py::str("failed"));
    }
    logger().attr("info")("solve time: %f, optimization result = %f", solution.seconds, value);
    return solution;
}

} // namespace direct_detail
} // namespace vantelo
