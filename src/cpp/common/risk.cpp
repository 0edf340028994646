#include "vantelo/risk.hpp"

#include <algorithm>

namespace vantelo {

namespace {

// Relative tolerances for a covariance: asymmetry beyond this share of its largest
// entry is a mistake, not rounding; so is an eigenvalue below minus this share of
// the largest one (or below cvxpy's own absolute tolerance, whichever is looser).
constexpr double kAsymmetryTolerance = 1e-6;
constexpr double kEigenvalueTolerance = 1e-8;
constexpr double kEigenvalueFloor = 1e-10;

// The length of a vector (a cvxpy expression or an array) of one dimension; -1
// for anything else, whose mismatch cvxpy reports itself.
py::ssize_t vector_length(py::handle x) {
    py::object shape = py::getattr(x, "shape", py::none());
    if (!py::isinstance<py::tuple>(shape) || py::len(shape) != 1) {
        return -1;
    }
    return shape[py::int_(0)].cast<py::ssize_t>();
}

bool square_of(py::handle shape, py::ssize_t size) {
    if (py::len(shape) != 2 ||
        shape[py::int_(0)].cast<py::ssize_t>() != shape[py::int_(1)].cast<py::ssize_t>()) {
        return false;
    }
    return size < 0 || shape[py::int_(0)].cast<py::ssize_t>() == size;
}

[[noreturn]] void bad_risk_data(const char *getter, py::handle reason) {
    raise_invalid_argument("vantelo.exception", format("{}(): {}", py::str(getter), reason));
}

// `values` as a float64 array, or InvalidArgument saying that `getter` gave
// something that is not numbers.
py::object numeric_array(py::handle values, const char *getter, const char *what) {
    try {
        return py::module_::import("numpy").attr("asarray")(values, py::arg("dtype") = "float64");
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError)) {
            throw;
        }
        raise_in_context(module_attr("vantelo.exception", "InvalidArgument"),
                         format("{}(): {}不是数值", py::str(getter), py::str(what)), error);
    }
}

// The helper's dense covariance over the universe, checked (a square matrix of
// `size` rows, when that is known), made exactly symmetric and marked positive
// semidefinite for cvxpy (whose own test would otherwise reject rounding-level
// negative eigenvalues that this one accepts).
py::object checked_covariance(py::handle helper, Universe universe, py::ssize_t size) {
    const char *getter = universe == Universe::Pool ? "get_cov_matrix" : "get_union_cov_matrix";
    py::module_ np = py::module_::import("numpy");
    py::object cov = numeric_array(helper.attr(getter)(), getter, "协方差矩阵");
    py::tuple shape = cov.attr("shape");
    if (!square_of(shape, size)) {
        bad_risk_data(
            getter, size < 0 ? format("协方差矩阵的形状为 {}，应为方阵", shape)
                             : format("协方差矩阵的形状为 {}，应为 ({}, {})", shape, size, size));
    }
    if (!all_finite(cov)) {
        bad_risk_data(getter, py::str("协方差矩阵含有 NaN 或 inf"));
    }
    py::object transposed = cov.attr("T");
    double largest = np.attr("abs")(cov).attr("max")(py::arg("initial") = 0.0).cast<double>();
    double asymmetry =
        np.attr("abs")(cov - transposed).attr("max")(py::arg("initial") = 0.0).cast<double>();
    if (asymmetry > kAsymmetryTolerance * largest) {
        bad_risk_data(getter, format("协方差矩阵不对称（对称位置之差最大为 {}）", asymmetry));
    }
    py::object symmetric = (cov + transposed) * py::float_(0.5);
    if (truthy(cov.attr("size"))) {
        py::object eigenvalues = np.attr("linalg").attr("eigvalsh")(symmetric);
        double lowest = eigenvalues.attr("min")().cast<double>();
        double highest = np.attr("abs")(eigenvalues).attr("max")().cast<double>();
        if (lowest < -std::max(kEigenvalueFloor, kEigenvalueTolerance * highest)) {
            bad_risk_data(getter, format("协方差矩阵不是半正定的（最小特征值为 {}）", lowest));
        }
    }
    return py::module_::import("cvxpy").attr("psd_wrap")(symmetric);
}

// How far down `helper` defines `name`: 0 in the instance's own attributes, i + 1
// in the i-th class of its method resolution order, -1 nowhere (a __getattr__).
py::ssize_t definition_depth(py::handle helper, const char *name) {
    py::object own = py::getattr(helper, "__dict__", py::none());
    if (py::isinstance<py::dict>(own) && own.contains(name)) {
        return 0;
    }
    py::tuple mro = py::type::of(helper).attr("__mro__");
    for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(mro.size()); ++i) {
        if (mro[i].attr("__dict__").contains(name)) {
            return i + 1;
        }
    }
    return -1;
}

// The factor form stands for the dense matrix only while both come from the same
// model: a helper that redefines the dense member below the factor member (a
// subclass that shrinks the covariance, say) has changed the matrix, and the
// inherited factor form no longer describes it.
bool dense_member_overridden(py::handle helper, const char *dense, const char *factor) {
    const py::ssize_t dense_depth = definition_depth(helper, dense);
    const py::ssize_t factor_depth = definition_depth(helper, factor);
    return dense_depth >= 0 && factor_depth >= 0 && dense_depth < factor_depth;
}

} // namespace

// The factor form of a covariance, when the helper offers one that describes its
// dense member: (root, specific) with cov = root @ root.T + diag(specific), checked.
py::object factor_form(py::handle helper, Universe universe, py::ssize_t size) {
    const char *name = universe == Universe::Pool ? "get_cov_factor" : "get_union_cov_factor";
    const char *dense = universe == Universe::Pool ? "get_cov_matrix" : "get_union_cov_matrix";
    if (dense_member_overridden(helper, dense, name)) {
        return py::none();
    }
    // Like getattr(helper, name, None): only a missing attribute means "no factor
    // form"; any other error raised while looking it up is the helper's and passes.
    PyObject *found = PyObject_GetAttrString(helper.ptr(), name);
    if (found == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return py::none();
    }
    py::object getter = py::reinterpret_steal<py::object>(found);
    if (getter.is_none()) {
        return py::none();
    }
    py::object factors = getter();
    py::object root = numeric_array(factors[py::int_(0)], name, "因子载荷");
    py::object specific = numeric_array(factors[py::int_(1)], name, "特异方差");
    py::tuple root_shape = root.attr("shape");
    py::tuple specific_shape = specific.attr("shape");
    const py::ssize_t rows = vector_length(specific);
    if (py::len(root_shape) != 2 || rows < 0 || root_shape[0].cast<py::ssize_t>() != rows ||
        (size >= 0 && rows != size)) {
        bad_risk_data(name, format("因子载荷的形状为 {}、特异方差的形状为 {}，应各有 {} 行",
                                   root_shape, specific_shape, size >= 0 ? size : rows));
    }
    if (!all_finite(root) || !all_finite(specific)) {
        bad_risk_data(name, py::str("因子载荷或特异方差含有 NaN 或 inf"));
    }
    if (truthy(py::module_::import("numpy").attr("less")(specific, 0.0).attr("any")())) {
        bad_risk_data(name, py::str("特异方差含有负值"));
    }
    return py::make_tuple(root, specific);
}

py::object risk_quad_form(py::handle x, py::handle helper, Universe universe) {
    py::module_ cp = py::module_::import("cvxpy");
    const py::ssize_t size = vector_length(x);
    py::object factors = factor_form(helper, universe, size);
    if (factors.is_none()) {
        return cp.attr("quad_form")(x, checked_covariance(helper, universe, size));
    }
    py::module_ np = py::module_::import("numpy");
    py::object root = factors[py::int_(0)];
    py::object specific = factors[py::int_(1)];
    py::object systematic = cp.attr("sum_squares")(matmul(root.attr("T"), x));
    py::object idiosyncratic =
        cp.attr("sum_squares")(cp.attr("multiply")(np.attr("sqrt")(specific), x));
    return systematic + idiosyncratic;
}

double portfolio_variance(py::handle weights, py::handle helper) {
    const py::ssize_t size = vector_length(weights);
    py::object factors = factor_form(helper, Universe::Pool, size);
    if (factors.is_none()) {
        py::object cov = checked_covariance(helper, Universe::Pool, size).attr("value");
        return weights.attr("dot")(cov).attr("dot")(weights).cast<double>();
    }
    py::object exposure = matmul(weights, factors[py::int_(0)]);
    py::object specific = factors[py::int_(1)];
    double systematic = exposure.attr("dot")(exposure).cast<double>();
    double idiosyncratic = (weights * weights).attr("dot")(specific).cast<double>();
    return systematic + idiosyncratic;
}

py::object pad_with_zeros(const char *module, py::handle g, py::ssize_t extra) {
    if (extra <= 0) {
        return py::reinterpret_borrow<py::object>(g);
    }
    py::object zeros = module_attr(module, "np").attr("repeat")(py::float_(0.0), extra);
    return module_attr(module, "cp").attr("hstack")(py::make_tuple(g, zeros));
}

py::object active_weight(const char *module, py::handle g, py::handle helper, py::handle scale) {
    const py::ssize_t not_in_pool =
        py::len(helper.attr("union_components")) - py::len(helper.attr("order_book_ids"));
    py::object benchmark =
        finite_array(helper.attr("benchmark_weight").attr("values"),
                     helper.attr("union_components"), py::str("benchmark_weight"));
    if (!scale.is_none()) {
        benchmark = scale * benchmark;
    }
    return pad_with_zeros(module, g, not_in_pool) - benchmark;
}

py::object style_exposure(py::handle g, py::handle factor_exposure, py::handle style,
                          py::handle helper, py::handle what) {
    py::object columns = factor_exposure.attr("columns");
    if (!truthy(columns.attr("__contains__")(style))) {
        py::object date = py::getattr(helper, "date", py::none());
        raise_invalid_argument(
            "vantelo.exception",
            format("the risk model{} has no style factor {!r} (its styles: {}); a model "
                   "built from prices alone has beta, momentum and residual_volatility, "
                   "the others need market caps, volumes or fundamentals",
                   date.is_none() ? py::str("") : format(" on {}", date), style,
                   py::len(columns) ? py::str(", ").attr("join")(columns) : py::str("none")));
    }
    return matmul(g, finite_array(factor_exposure[style].attr("values"),
                                  helper.attr("order_book_ids"), what));
}

py::object annualised_mean_return(py::handle client, py::handle codes, py::handle end,
                                  py::handle window) {
    py::object start =
        client.attr("trading_date_offset")(end, -py::reinterpret_borrow<py::object>(window));
    py::object rates = client.attr("get_price_change_rate")(codes, start, end);
    return rates.attr("mean")() * py::float_(static_cast<double>(kTradingDaysPerYear));
}

py::list wildcard_industries(py::handle industry_mapping, py::handle benchmark_weights) {
    py::list candidates;
    py::set seen;
    auto add = [&](py::handle industry) {
        if (!seen.contains(industry)) {
            seen.add(industry);
            candidates.append(industry);
        }
    };
    for (py::handle industry : industry_mapping.attr("unique")()) {
        add(industry);
    }
    if (!benchmark_weights.is_none()) {
        for (py::handle industry : benchmark_weights.attr("index")) {
            add(industry);
        }
    }
    return candidates;
}

} // namespace vantelo
