// The direct back-end's pieces, shared by its sources: direct.cpp (which calls may
// take it, the result check, the solve of one call), direct_problem.cpp (the call's
// terms in numbers), direct_conic.cpp (SCS's data from them) and direct_solve.cpp
// (running SCS and Clarabel on that data, and the cache of set-up solvers).
#pragma once

#include "vantelo/direct.hpp"
#include "vantelo/inputs.hpp"

#include <pybind11/numpy.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace vantelo {
namespace direct_detail {

constexpr const char *kDriver = "vantelo.optimize";
constexpr int kMaxIterations = 10000;
// The accuracy the direct back-end asks of SCS: what the cvxpy back-end gets from
// cvxpy's defaults for SCS, so that both hand back answers of one accuracy.
constexpr double kAccuracy = 1e-5;
// The accuracy of the one tighter solve after a result failed the check.
constexpr double kTightAccuracy = 1e-7;
// A dense risk model is taken in the eigen root of its matrix, one column per
// code: beyond this many codes the cvxpy back-end's quadratic form is cheaper.
constexpr py::ssize_t kLargestDenseModel = 1000;
// Problems a cache keeps: a schedule returns to a few pools and structures.
constexpr py::ssize_t kCachedProblems = 8;

inline py::object driver(const char *name) { return module_attr(kDriver, name); }
inline py::object np() { return py::module_::import("numpy"); }

using Vector = std::vector<double>;

inline Vector to_vector(py::handle values) {
    auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!array) {
        throw py::error_already_set();
    }
    return Vector(array.data(), array.data() + array.size());
}

inline py::array_t<double> to_array(const Vector &values) {
    return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

// ---------------------------------------------------------------------------
// The problem in numbers
// ---------------------------------------------------------------------------

enum class Bound { Lower, Upper };

// coefficients · g (side) zeta · bound; or, for a share, g[stock] (side) bound ·
// (selector · g), written as coefficients = bound · selector − e_stock against 0.
struct LinearLimit {
    Vector coefficients; // over the pool
    Bound side = Bound::Upper;
    double bound = 0.0; // times zeta
    bool hard = true;
};

struct TurnoverTerm {
    Vector holding; // pool, then held stocks outside it
    double upper = 0.0;
    bool hard = true;
};

struct TrackingErrorTerm {
    double upper = 0.0;
    bool hard = true;
};

struct Description {
    py::ssize_t n = 0;
    bool scaled = false; // zeta is a variable
    bool risk_parity = false;
    bool unconstrained = false; // risk parity without bounds or constraints
    Vector unit_return;         // empty: none
    bool has_bounds = false;
    Vector lower, upper;
    std::vector<LinearLimit> linear;
    std::vector<TurnoverTerm> turnover;
    std::vector<TrackingErrorTerm> tracking_error;
    // the objective
    int risk = 0; // 0 none, 1 pool, 2 active
    double risk_weight = 1.0;
    Vector linear_objective; // empty: none
    std::vector<std::pair<Vector, std::pair<double, double>>>
        deviations;                   // (exposures, (target, weight))
    std::vector<py::ssize_t> barrier; // risk parity: the stocks the log barrier covers
    // the risk model: root over the union (pool first), specific variances, benchmark
    py::ssize_t union_size = 0;
    py::ssize_t k = 0;
    py::object root;  // float array union × k, C order
    Vector specific;  // union
    Vector benchmark; // union
    bool needs_active = false;
    py::list constraint_terms; // each constraint object's terms, in order
};

// The terms of the call, read in the order the cvxpy back-end reads them (the
// objective's own constraints, the bounds, each constraint object, the objective),
// so that errors and warnings come in the same order; then the risk model.
Description describe(const Inputs &inputs, py::handle helper);

// ---------------------------------------------------------------------------
// The conic data
// ---------------------------------------------------------------------------

struct ConicData {
    py::object P, A, b, c;
    py::dict cone;
    std::int64_t variables = 0;
    std::int64_t constraints = 0;
    double offset = 0.0; // the objective's constant
    py::tuple structure; // what a warm start must match
};

// Rows are written in cone order: zero, linear, second-order blocks, exponential.
ConicData conic_data(const Description &p, bool with_soft);

// ---------------------------------------------------------------------------
// Solving
// ---------------------------------------------------------------------------

struct Solution {
    py::object x, y, s;
    py::object info;
    int status = 0;   // SCS's status_val
    double value = 0; // the primal objective
    double seconds = 0;
};

// The cache entry for this pool and structure: a dict kept in the caller's cache,
// holding the last SCS object with its data and the last solution.
py::object cache_entry(py::handle cache, py::handle key);

// SCS on `data`: warm from `warm`, else from the cache entry's last solution of the
// same structure (whose set-up solver takes the new vectors when the matrices are
// the same); a solved answer is kept in the entry.
Solution run_scs(const ConicData &data, py::handle entry, double accuracy,
                 const Solution *warm = nullptr);

// An interior-point solve of the same data; status as SCS numbers it: 1 solved, 2
// almost solved, 0 not solved or not installed.
Solution run_clarabel(const ConicData &data);

bool solved(const Solution &solution);
bool infeasible(const Solution &solution);
py::object logger();

// The value cvxpy's solve returns for a status: the objective when solved, +inf
// for an infeasible problem, −inf for an unbounded one; None when SCS gave up.
py::object reported_value(const Solution &solution);

// run_scs from the cache entry, with the driver's log line; SCS giving up without
// a verdict is OptimizationFailed("failed"), as cvxpy reports it.
Solution solve_logged(const ConicData &data, py::handle entry, double accuracy);

} // namespace direct_detail
} // namespace vantelo
