#include "vantelo/risk.hpp"

#include <algorithm>
#include <cmath>

namespace vantelo {

namespace {

constexpr const char *kRiskModule = "vantelo.risk";

// Relative tolerances for a covariance: asymmetry beyond this share of its largest
// entry is a mistake, not rounding; so is an eigenvalue below minus this share of
// the largest one (or below cvxpy's own absolute tolerance, whichever is looser).
constexpr double kAsymmetryTolerance = 1e-6;
constexpr double kEigenvalueTolerance = 1e-8;
constexpr double kEigenvalueFloor = 1e-10;

py::module_ np() { return py::module_::import("numpy"); }

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

[[noreturn]] void bad_model(py::handle reason) {
    raise_invalid_argument("vantelo.exception", format("RiskModel: {}", reason));
}

// `values` as a float64 array, or InvalidArgument saying that `getter` gave
// something that is not numbers.
py::object numeric_array(py::handle values, const char *getter, const char *what) {
    try {
        return np().attr("asarray")(values, py::arg("dtype") = "float64");
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError)) {
            throw;
        }
        raise_in_context(module_attr("vantelo.exception", "InvalidArgument"),
                         format("{}(): {}不是数值", py::str(getter), py::str(what)), error);
    }
}

// The lowest eigenvalue of the symmetric `matrix` when it is below what rounding
// explains; NaN when the matrix is positive semidefinite.
double negative_eigenvalue(py::handle matrix) {
    if (!truthy(matrix.attr("size"))) {
        return std::nan("");
    }
    py::object eigenvalues = np().attr("linalg").attr("eigvalsh")(matrix);
    double lowest = eigenvalues.attr("min")().cast<double>();
    double highest = np().attr("abs")(eigenvalues).attr("max")().cast<double>();
    return lowest < -std::max(kEigenvalueFloor, kEigenvalueTolerance * highest) ? lowest
                                                                                : std::nan("");
}

// `cov` made exactly symmetric; the largest asymmetry is returned in `asymmetry`
// as a share of the largest entry.
py::object symmetrised(py::handle cov, double &asymmetry) {
    py::object transposed = cov.attr("T");
    double largest = np().attr("abs")(cov).attr("max")(py::arg("initial") = 0.0).cast<double>();
    double difference =
        np().attr("abs")(cov - transposed).attr("max")(py::arg("initial") = 0.0).cast<double>();
    asymmetry = largest > 0.0 ? difference / largest : difference;
    return (cov + transposed) * py::float_(0.5);
}

// The helper's dense covariance over the universe, checked (a square matrix of
// `size` rows, when that is known) and made exactly symmetric.
py::object checked_covariance(py::handle helper, Universe universe, py::ssize_t size) {
    const char *getter = universe == Universe::Pool ? "get_cov_matrix" : "get_union_cov_matrix";
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
    double asymmetry = 0.0;
    py::object symmetric = symmetrised(cov, asymmetry);
    if (asymmetry > kAsymmetryTolerance) {
        double largest_gap = np().attr("abs")(cov - cov.attr("T"))
                                 .attr("max")(py::arg("initial") = 0.0)
                                 .cast<double>();
        bad_risk_data(getter, format("协方差矩阵不对称（对称位置之差最大为 {}）", largest_gap));
    }
    double lowest = negative_eigenvalue(symmetric);
    if (!std::isnan(lowest)) {
        bad_risk_data(getter, format("协方差矩阵不是半正定的（最小特征值为 {}）", lowest));
    }
    return symmetric;
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

// Whether `helper` redefines `member` below `over`: a subclass that shrinks the
// covariance, say, has changed the matrix, and what it inherits no longer
// describes it.
bool redefined_below(py::handle helper, const char *member, const char *over) {
    const py::ssize_t member_depth = definition_depth(helper, member);
    const py::ssize_t over_depth = definition_depth(helper, over);
    return member_depth >= 0 && over_depth >= 0 && member_depth < over_depth;
}

// `getattr(helper, name, None)`: only a missing attribute means "none"; any other
// error raised while looking it up is the helper's and passes.
py::object optional_attr(py::handle helper, const char *name) {
    PyObject *found = PyObject_GetAttrString(helper.ptr(), name);
    if (found == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return py::none();
    }
    return py::reinterpret_steal<py::object>(found);
}

// The factor form of a covariance, when the helper offers one that describes its
// dense member: (root, specific) with cov = root @ root.T + diag(specific), checked.
py::object helper_factor_form(py::handle helper, Universe universe, py::ssize_t size) {
    const char *name = universe == Universe::Pool ? "get_cov_factor" : "get_union_cov_factor";
    const char *dense = universe == Universe::Pool ? "get_cov_matrix" : "get_union_cov_matrix";
    if (redefined_below(helper, dense, name)) {
        return py::none();
    }
    py::object getter = optional_attr(helper, name);
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
    if (truthy(np().attr("less")(specific, 0.0).attr("any")())) {
        bad_risk_data(name, py::str("特异方差含有负值"));
    }
    return py::make_tuple(root, specific);
}

py::list universe_codes(py::handle helper, Universe universe, py::ssize_t size) {
    // A helper need not know its universe's codes for the risk terms alone (the
    // objectives only ask for the matrix): numbered stand-ins label the rows then.
    py::object codes =
        optional_attr(helper, universe == Universe::Pool ? "order_book_ids" : "union_components");
    if (!codes.is_none()) {
        py::list listed = list_copy(codes);
        if (size < 0 || static_cast<py::ssize_t>(py::len(listed)) == size) {
            return listed;
        }
    }
    py::list numbered;
    for (py::ssize_t i = 0; i < std::max<py::ssize_t>(size, 0); ++i) {
        numbered.append(py::int_(i));
    }
    return numbered;
}

// The model's state, which only this file reads and writes.
py::object state(py::handle model, const char *name) { return model.attr(name); }

py::object risk_model_class() { return module_attr(kRiskModule, "RiskModel"); }

py::object blank_model() {
    py::object cls = risk_model_class();
    return cls.attr("__new__")(cls);
}

void store(py::handle model, py::handle codes, py::handle root, py::handle specific,
           py::handle dense, py::handle factors, py::handle exposures,
           py::handle factor_covariance) {
    model.attr("codes") = list_copy(codes);
    model.attr("factors") = factors.is_none() ? py::object(py::none()) : list_copy(factors);
    model.attr("_root") = root;
    model.attr("_specific") = specific;
    model.attr("_dense") = dense;
    model.attr("_exposures") = exposures;
    model.attr("_factor_covariance") = factor_covariance;
    model.attr("_index") = py::none();
}

// The rows of `model` that hold `codes`, in their order (-1 where it has none).
py::object rows_of(py::handle model, py::handle codes) {
    py::object index = state(model, "_index");
    if (index.is_none()) {
        index = module_attr("vantelo.risk", "pd").attr("Index")(state(model, "codes"));
        model.attr("_index") = index;
    }
    return index.attr("get_indexer")(list_copy(codes));
}

py::object take(py::handle array, py::handle rows, bool square) {
    if (array.is_none()) {
        return py::none();
    }
    py::object taken = np().attr("take")(array, rows, py::arg("axis") = 0);
    if (square) {
        taken = np().attr("take")(taken, rows, py::arg("axis") = 1);
    }
    return taken;
}

} // namespace

// ---------------------------------------------------------------------------
// Making a model
// ---------------------------------------------------------------------------

py::object factor_risk_model(py::handle codes, py::handle root, py::handle specific,
                             py::handle factors, py::handle exposures,
                             py::handle factor_covariance) {
    py::object roots = np().attr("asarray")(root, py::arg("dtype") = "float64");
    py::object specifics = np().attr("asarray")(specific, py::arg("dtype") = "float64");
    const py::ssize_t rows = py::len(codes);
    py::tuple root_shape = roots.attr("shape");
    py::tuple specific_shape = specifics.attr("shape");
    if (py::len(root_shape) != 2 || root_shape[0].cast<py::ssize_t>() != rows ||
        py::len(specific_shape) != 1 || specific_shape[0].cast<py::ssize_t>() != rows) {
        bad_model(format("the factor form has shapes {} and {}; both need one row per code ({})",
                         root_shape, specific_shape, rows));
    }
    if (!all_finite(roots) || !all_finite(specifics)) {
        bad_model(py::str("the factor form holds NaN or inf"));
    }
    if (truthy(np().attr("less")(specifics, 0.0).attr("any")())) {
        bad_model(py::str("a specific variance is negative"));
    }
    py::object model = blank_model();
    store(model, codes, roots, specifics, py::none(), factors, exposures, factor_covariance);
    return model;
}

py::object dense_risk_model(py::handle codes, py::handle covariance) {
    py::object cov = np().attr("asarray")(covariance, py::arg("dtype") = "float64");
    py::tuple shape = cov.attr("shape");
    if (!square_of(shape, static_cast<py::ssize_t>(py::len(codes)))) {
        bad_model(format("the covariance has shape {}; it must be square, one row and column "
                         "per code ({})",
                         shape, py::len(codes)));
    }
    if (!all_finite(cov)) {
        bad_model(py::str("the covariance holds NaN or inf"));
    }
    double asymmetry = 0.0;
    py::object symmetric = symmetrised(cov, asymmetry);
    if (asymmetry > kAsymmetryTolerance) {
        bad_model(format("the covariance is not symmetric (its entries differ from their "
                         "mirror images by up to {:.3g} of the largest)",
                         asymmetry));
    }
    double lowest = negative_eigenvalue(symmetric);
    if (!std::isnan(lowest)) {
        bad_model(format("the covariance is not positive semidefinite (lowest eigenvalue {:.6g})",
                         lowest));
    }
    py::object model = blank_model();
    store(model, codes, py::none(), py::none(), symmetric, py::none(), py::none(), py::none());
    return model;
}

bool is_risk_model(py::handle value) { return py::isinstance(value, risk_model_class()); }

py::list risk_codes(py::handle model) { return state(model, "codes"); }

bool risk_is_dense(py::handle model) { return !state(model, "_dense").is_none(); }

py::object leading_rows(py::handle model, py::ssize_t rows) {
    py::list codes = risk_codes(model);
    if (rows == static_cast<py::ssize_t>(py::len(codes))) {
        return py::reinterpret_borrow<py::object>(model);
    }
    py::slice head(0, rows, 1);
    auto rows_only = [&](const char *name) -> py::object {
        py::object array = state(model, name);
        return array.is_none() ? py::object(py::none()) : py::object(array[head]);
    };
    py::object dense = state(model, "_dense");
    py::object part = blank_model();
    store(part, codes[head], rows_only("_root"), rows_only("_specific"),
          dense.is_none() ? py::object(py::none()) : py::object(dense[py::make_tuple(head, head)]),
          state(model, "factors"), rows_only("_exposures"), state(model, "_factor_covariance"));
    return part;
}

py::object risk_subset(py::handle model, py::handle codes, py::handle what) {
    py::list wanted = list_copy(codes);
    py::list own = risk_codes(model);
    if (truthy(equal_to(wanted, own))) {
        return py::reinterpret_borrow<py::object>(model);
    }
    py::object rows = rows_of(model, wanted);
    py::object missing_at = np().attr("flatnonzero")(np().attr("less")(rows, 0));
    if (py::len(missing_at) > 0) {
        py::list missing;
        for (py::handle position : missing_at) {
            missing.append(wanted[position]);
        }
        raise_invalid_argument("vantelo.exception",
                               format("{} has no risk for {} stock(s): {}", what, py::len(missing),
                                      first_items(missing, Language::English)));
    }
    py::object part = blank_model();
    store(part, wanted, take(state(model, "_root"), rows, false),
          take(state(model, "_specific"), rows, false), take(state(model, "_dense"), rows, true),
          state(model, "factors"), take(state(model, "_exposures"), rows, false),
          state(model, "_factor_covariance"));
    return part;
}

py::tuple risk_factor_form(py::handle model) {
    py::object root = state(model, "_root");
    if (root.is_none()) {
        // A root of the dense matrix: the eigen-decomposition copes with a merely
        // semidefinite matrix, where a Cholesky factor would fail.
        py::tuple eig = np().attr("linalg").attr("eigh")(state(model, "_dense"));
        py::object values = np().attr("clip")(eig[0], 0.0, py::none());
        root = py::object(eig[1]) * np().attr("sqrt")(values);
        model.attr("_root") = root;
        model.attr("_specific") = np().attr("zeros")(py::len(risk_codes(model)));
    }
    return py::make_tuple(root, state(model, "_specific"));
}

py::object risk_covariance(py::handle model) {
    py::object dense = state(model, "_dense");
    if (!dense.is_none()) {
        return dense;
    }
    py::object root = state(model, "_root");
    py::object cov = matmul(root, root.attr("T"));
    py::object diagonal = np().attr("diag_indices_from")(cov);
    py::object current = cov[diagonal];
    cov[diagonal] = current + state(model, "_specific");
    return cov;
}

// ---------------------------------------------------------------------------
// A helper's model
// ---------------------------------------------------------------------------

namespace {

const char *const kCovarianceMembers[] = {"get_cov_matrix", "get_union_cov_matrix",
                                          "get_cov_factor", "get_union_cov_factor"};

// The model a helper holds, when it still describes the helper's covariances.
py::object held_model(py::handle helper) {
    for (const char *member : kCovarianceMembers) {
        if (redefined_below(helper, member, "risk_model")) {
            return py::none();
        }
    }
    py::object model = optional_attr(helper, "risk_model");
    return is_risk_model(model) ? model : py::object(py::none());
}

py::object model_of(py::handle helper, Universe universe, py::ssize_t size) {
    py::object held = held_model(helper);
    if (!held.is_none()) {
        if (universe == Universe::Union) {
            return held;
        }
        return leading_rows(held, py::len(helper.attr("order_book_ids")));
    }
    py::object factors = helper_factor_form(helper, universe, size);
    if (!factors.is_none()) {
        py::tuple form = factors;
        py::list codes = universe_codes(helper, universe, vector_length(form[1]));
        py::object model = blank_model();
        store(model, codes, form[0], form[1], py::none(), py::none(), py::none(), py::none());
        return model;
    }
    py::object cov = checked_covariance(helper, universe, size);
    py::list codes =
        universe_codes(helper, universe, py::tuple(cov.attr("shape"))[0].cast<py::ssize_t>());
    py::object model = blank_model();
    store(model, codes, py::none(), py::none(), cov, py::none(), py::none(), py::none());
    return model;
}

} // namespace

py::object risk_model_of(py::handle helper, Universe universe) {
    return model_of(helper, universe, -1);
}

// ---------------------------------------------------------------------------
// Risk of a portfolio
// ---------------------------------------------------------------------------

py::object risk_expression(py::handle x, py::handle model) {
    py::module_ cp = py::module_::import("cvxpy");
    py::object dense = state(model, "_dense");
    if (!dense.is_none()) {
        // Marked positive semidefinite for cvxpy, whose own test would otherwise
        // reject rounding-level negative eigenvalues that the model's check accepts.
        return cp.attr("quad_form")(x, cp.attr("psd_wrap")(dense));
    }
    py::tuple form = risk_factor_form(model);
    py::object systematic = cp.attr("sum_squares")(matmul(form[0].attr("T"), x));
    py::object idiosyncratic =
        cp.attr("sum_squares")(cp.attr("multiply")(np().attr("sqrt")(form[1]), x));
    return systematic + idiosyncratic;
}

py::object risk_quad_form(py::handle x, py::handle helper, Universe universe) {
    return risk_expression(x, model_of(helper, universe, vector_length(x)));
}

double risk_variance(py::handle model, py::handle weights) {
    py::object w = np().attr("asarray")(weights, py::arg("dtype") = "float64");
    py::object dense = state(model, "_dense");
    if (!dense.is_none()) {
        return matmul(w, matmul(dense, w)).cast<double>();
    }
    py::object exposure = matmul(w, state(model, "_root"));
    double systematic = exposure.attr("dot")(exposure).cast<double>();
    double idiosyncratic = (w * w).attr("dot")(state(model, "_specific")).cast<double>();
    return systematic + idiosyncratic;
}

py::object risk_norm(py::handle x, py::handle helper, Universe universe) {
    py::module_ cp = py::module_::import("cvxpy");
    py::object model = model_of(helper, universe, vector_length(x));
    // A dense model's root is a symmetric square root from its eigen-decomposition:
    // unlike a Cholesky factor it exists for a merely semidefinite matrix.
    py::tuple form = risk_factor_form(model);
    py::list pieces;
    pieces.append(matmul(form[0].attr("T"), x));
    if (!risk_is_dense(model)) {
        pieces.append(cp.attr("multiply")(np().attr("sqrt")(form[1]), x));
    }
    return cp.attr("norm")(cp.attr("hstack")(pieces), 2);
}

double portfolio_variance(py::handle weights, py::handle helper) {
    return risk_variance(model_of(helper, Universe::Pool, vector_length(weights)), weights);
}

std::pair<double, double> ex_ante_risk(py::handle helper, py::handle weights) {
    py::object w = np().attr("asarray")(weights, py::arg("dtype") = "float64");
    const double volatility =
        std::sqrt(std::max(risk_variance(risk_model_of(helper, Universe::Pool), w), 0.0));
    if (helper.attr("benchmark").is_none()) {
        return {volatility, std::nan("")};
    }
    py::object benchmark = np().attr("asarray")(helper.attr("benchmark_weight").attr("values"),
                                                py::arg("dtype") = "float64");
    const py::ssize_t extra = py::len(benchmark) - py::len(w);
    py::object held = np().attr("concatenate")(py::make_tuple(w, np().attr("zeros")(extra)));
    const double tracking_error = std::sqrt(
        std::max(risk_variance(risk_model_of(helper, Universe::Union), held - benchmark), 0.0));
    return {volatility, tracking_error};
}

py::dict risk_decomposition(py::handle model, py::handle weights) {
    py::object w = np().attr("asarray")(weights, py::arg("dtype") = "float64");
    py::object cov_w;
    double factor_variance = 0.0;
    double specific_variance = 0.0;
    py::object dense = state(model, "_dense");
    if (!dense.is_none()) {
        cov_w = matmul(dense, w);
        factor_variance = w.attr("dot")(cov_w).cast<double>();
    } else {
        py::object root = state(model, "_root");
        py::object exposure = matmul(w, root);
        py::object specific_part = state(model, "_specific") * w;
        cov_w = matmul(root, exposure) + specific_part;
        factor_variance = exposure.attr("dot")(exposure).cast<double>();
        specific_variance = w.attr("dot")(specific_part).cast<double>();
    }
    const double volatility = std::sqrt(std::max(risk_variance(model, w), 0.0));
    py::object marginal;
    py::object share;
    if (volatility > 0.0) {
        marginal = cov_w / py::float_(volatility);
        share = (w * marginal) / py::float_(volatility);
    } else {
        marginal = np().attr("zeros_like")(w);
        share = np().attr("full_like")(w, np().attr("nan"));
    }
    py::dict result;
    result["volatility"] = volatility;
    result["factor_variance"] = factor_variance;
    result["specific_variance"] = specific_variance;
    result["marginal"] = marginal;
    result["contribution"] = w * marginal;
    result["share"] = share;
    return result;
}

py::object factor_decomposition(py::handle model, py::handle weights) {
    py::object exposures = state(model, "_exposures");
    py::object factor_cov = state(model, "_factor_covariance");
    if (exposures.is_none() || factor_cov.is_none()) {
        return py::none();
    }
    py::object w = np().attr("asarray")(weights, py::arg("dtype") = "float64");
    py::object x = matmul(w, exposures);
    py::object parts = x * matmul(factor_cov, x);
    const double specific_variance = (w * w).attr("dot")(state(model, "_specific")).cast<double>();
    const double volatility =
        std::sqrt(std::max(0.0, parts.attr("sum")().cast<double>()) + specific_variance);
    py::dict result;
    result["factors"] = list_copy(state(model, "factors"));
    result["exposure"] = x;
    result["volatility"] = volatility;
    if (volatility > 0.0) {
        result["contribution"] = parts / py::float_(volatility);
        result["specific"] = specific_variance / volatility;
    } else {
        result["contribution"] = np().attr("zeros_like")(x);
        result["specific"] = 0.0;
    }
    return std::move(result);
}

// ---------------------------------------------------------------------------
// Pieces of the model's arithmetic that objectives and constraints share
// ---------------------------------------------------------------------------

py::object pad_with_zeros(const char *module, py::handle g, py::ssize_t extra) {
    if (extra <= 0) {
        return py::reinterpret_borrow<py::object>(g);
    }
    py::object zeros = module_attr(module, "np").attr("repeat")(py::float_(0.0), extra);
    return module_attr(module, "cp").attr("hstack")(py::make_tuple(g, zeros));
}

py::object benchmark_weights(py::handle helper) {
    return finite_array(helper.attr("benchmark_weight").attr("values"),
                        helper.attr("union_components"), py::str("benchmark_weight"));
}

py::object active_weight(const char *module, py::handle g, py::handle helper, py::handle scale) {
    const py::ssize_t not_in_pool =
        py::len(helper.attr("union_components")) - py::len(helper.attr("order_book_ids"));
    py::object benchmark = benchmark_weights(helper);
    if (!scale.is_none()) {
        benchmark = scale * benchmark;
    }
    return pad_with_zeros(module, g, not_in_pool) - benchmark;
}

py::object style_exposure_values(py::handle factor_exposure, py::handle style, py::handle helper,
                                 py::handle what) {
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
    return finite_array(factor_exposure[style].attr("values"), helper.attr("order_book_ids"),
                        what);
}

py::object style_exposure(py::handle g, py::handle factor_exposure, py::handle style,
                          py::handle helper, py::handle what) {
    return matmul(g, style_exposure_values(factor_exposure, style, helper, what));
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
        for (py::handle industry : list_copy(benchmark_weights.attr("index"))) {
            add(industry);
        }
    }
    return candidates;
}

} // namespace vantelo
