#include "vantelo/common.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace vantelo {

py::object module_attr(const char *module, const char *name) {
    return py::module_::import(module).attr(name);
}

void import_into(py::module_ &module, const char *source, const char *name, const char *alias) {
    py::module_ imported = py::module_::import(source);
    py::object value = imported;
    if (name != nullptr) {
        value = imported.attr(name);
    }
    module.attr(alias != nullptr ? alias : name) = value;
}

void raise(py::handle cls, py::handle message) {
    // Instantiated here so that a tuple argument stays one argument.
    py::object error = cls(message);
    PyErr_SetObject(cls.ptr(), error.ptr());
    throw py::error_already_set();
}

void raise_in_context(py::handle cls, py::handle message, py::error_already_set &cause) {
    py::object error = cls(message);
    error.attr("__context__") = cause.value();
    PyErr_SetObject(cls.ptr(), error.ptr());
    throw py::error_already_set();
}

void raise_invalid_argument(const char *module, py::handle message) {
    raise(module_attr(module, "InvalidArgument"), message);
}

void not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw py::error_already_set();
}

py::float_ to_float(py::handle value) {
    PyObject *number = PyNumber_Float(value.ptr());
    if (number == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::float_>(number);
}

double as_double(py::handle value) { return to_float(value).cast<double>(); }

bool all_finite(py::handle values) {
    return truthy(py::module_::import("numpy").attr("isfinite")(values).attr("all")());
}

py::list non_finite_labels(py::handle values, py::handle labels) {
    py::module_ np = py::module_::import("numpy");
    py::object bad = np.attr("logical_not")(np.attr("isfinite")(values));
    py::list offending;
    for (py::handle position : np.attr("flatnonzero")(bad)) {
        offending.append(labels[py::reinterpret_borrow<py::object>(position)]);
    }
    return offending;
}

void warn_optimizer(const char *module, py::handle message) {
    py::module_ owner = py::module_::import(module);
    owner.attr("warnings").attr("warn")(message, owner.attr("OptimizerWarning"), 1);
}

void assert_unscaled(py::handle zeta) {
    if (py::module_::import("sys").attr("flags").attr("optimize").cast<int>() > 0) {
        return;
    }
    if (!rich_equal(zeta, py::float_(1.0))) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }
}

py::object ensure_series(const char *module, py::handle obj, py::handle name) {
    py::object pd = module_attr(module, "pd");
    py::object series_type = pd.attr("Series");
    if (is_instance(obj, series_type)) {
        return py::reinterpret_borrow<py::object>(obj);
    }
    try {
        return series_type(obj);
    } catch (py::error_already_set &error) {
        raise_in_context(module_attr(module, "InvalidArgument"),
                         format("{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象", name),
                         error);
    }
}

void reject_duplicate_keys(const char *module, py::handle series, const char *name) {
    py::object index = series.attr("index");
    if (truthy(index.attr("has_duplicates"))) {
        py::object repeated = index[index.attr("duplicated")()].attr("unique")();
        raise_invalid_argument(module, format("{}: 以下股票代码出现了不止一次：{}", py::str(name),
                                              first_items(repeated)));
    }
}

py::str first_items(py::handle items) {
    constexpr py::ssize_t kShown = 5;
    py::list all = list_copy(items);
    py::list shown;
    for (py::ssize_t i = 0; i < std::min<py::ssize_t>(kShown, py::len(all)); ++i) {
        shown.append(py::str(all[i]));
    }
    py::str text = py::str(", ").attr("join")(shown);
    if (py::len(all) > kShown) {
        return format("{} 等 {} 个", text, py::len(all));
    }
    return text;
}

py::str percent_format(const char *template_text, py::handle args) {
    PyObject *text = PyUnicode_Format(py::str(template_text).ptr(), args.ptr());
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(text);
}

namespace {

py::object compare(py::handle a, py::handle b, int op) {
    PyObject *result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

bool compare_bool(py::handle a, py::handle b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) {
        throw py::error_already_set();
    }
    return result == 1;
}

} // namespace

py::object less_equal(py::handle a, py::handle b) { return compare(a, b, Py_LE); }
py::object greater_equal(py::handle a, py::handle b) { return compare(a, b, Py_GE); }
py::object equal_to(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }

py::object matmul(py::handle a, py::handle b) {
    PyObject *result = PyNumber_MatrixMultiply(a.ptr(), b.ptr());
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

py::object power(py::handle a, py::handle b) {
    PyObject *result = PyNumber_Power(a.ptr(), b.ptr(), Py_None);
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

py::list list_copy(py::handle iterable) {
    PyObject *copy = PySequence_List(iterable.ptr());
    if (copy == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::list>(copy);
}

bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result == 1;
}

bool rich_less(py::handle a, py::handle b) { return compare_bool(a, b, Py_LT); }
bool rich_greater(py::handle a, py::handle b) { return compare_bool(a, b, Py_GT); }
bool rich_equal(py::handle a, py::handle b) { return compare_bool(a, b, Py_EQ); }

bool is_instance(py::handle value, py::handle type) {
    int result = PyObject_IsInstance(value.ptr(), type.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result == 1;
}

py::object finite_array(py::handle values, py::handle labels, py::handle what) {
    py::module_ np = py::module_::import("numpy");
    py::object array = np.attr("asarray")(values, py::arg("dtype") = "float64");
    if (!all_finite(array)) {
        py::list offending = non_finite_labels(array, labels);
        raise_invalid_argument(
            "vantelo.exception",
            format("{}: 以下股票的值不是有限数（NaN 或 inf）：{}", what, offending));
    }
    return array;
}

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

namespace {

// A default as Python source: literals as they are written, anything else (an
// enumeration member, an object) as `...`, which is all a text signature can hold.
std::string default_text(py::handle value) {
    if (value.is_none() || PyBool_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
        PyUnicode_Check(value.ptr())) {
        return py::repr(value).cast<std::string>();
    }
    if (PyFloat_Check(value.ptr()) && std::isfinite(value.cast<double>())) {
        return py::repr(value).cast<std::string>();
    }
    return "...";
}

} // namespace

void TextSignature::append(const std::string &param) {
    if (!params_.empty()) {
        params_ += ", ";
    }
    params_ += param;
}

void TextSignature::add(const py::arg_v &a) {
    append(std::string(a.name) + "=" + default_text(a.value));
    ++count_;
}

void TextSignature::add(const py::arg &a) {
    append(a.name);
    ++count_;
}

std::string TextSignature::params(bool with_self) const {
    if (!with_self) {
        return params_;
    }
    return params_.empty() ? std::string("self") : "self, " + params_;
}

std::string TextSignature::doc(const char *name, bool with_self, bool unnamed) const {
    std::string text;
    if (!unnamed) {
        text = std::string(name) + "(" + params(with_self) + ")\n--\n\n";
    }
    if (doc_ != nullptr) {
        text += doc_;
    }
    return text;
}

void set_class_signature(py::handle cls, const std::string &params) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    // A class's text signature comes from its internal docstring, tp_doc; __doc__
    // of a class defined like a Python one is read from its namespace, which keeps
    // the docstring as given. CPython allocates tp_doc with PyObject_Malloc and
    // frees it with PyObject_Free.
    std::string text = std::string(type->tp_name) + "(" + params + ")\n--\n\n";
    if (type->tp_doc != nullptr) {
        text += type->tp_doc;
    }
    auto *doc = static_cast<char *>(PyObject_Malloc(text.size() + 1));
    if (doc == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(doc, text.c_str(), text.size() + 1);
    PyObject_Free(const_cast<char *>(type->tp_doc));
    type->tp_doc = doc;
    PyType_Modified(type);
}

ClassBuilder::ClassBuilder(py::module_ module, const char *name, py::object doc, py::tuple bases,
                           py::object metaclass) {
    if (metaclass.is_none()) {
        metaclass = py::module_::import("builtins").attr("type");
    }
    py::dict ns;
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = py::str(name);
    ns["__doc__"] = doc;
    cls_ = metaclass(py::str(name), bases, ns);
    module.attr(name) = cls_;
}

} // namespace vantelo
