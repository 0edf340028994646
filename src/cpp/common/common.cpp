#include "vantelo/common.hpp"

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

namespace {

// The factor form of a covariance, when the helper offers one:
// (root, specific) with cov = root @ root.T + diag(specific).
py::object factor_form(py::handle helper, Universe universe) {
    const char *name = universe == Universe::Pool ? "get_cov_factor" : "get_union_cov_factor";
    py::object getter = py::getattr(helper, name, py::none());
    if (getter.is_none()) {
        return py::none();
    }
    return getter();
}

} // namespace

py::object risk_quad_form(py::handle x, py::handle helper, Universe universe) {
    py::module_ cp = py::module_::import("cvxpy");
    py::object factors = factor_form(helper, universe);
    if (factors.is_none()) {
        const char *getter =
            universe == Universe::Pool ? "get_cov_matrix" : "get_union_cov_matrix";
        return cp.attr("quad_form")(x, helper.attr(getter)());
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
    py::object factors = factor_form(helper, Universe::Pool);
    if (factors.is_none()) {
        py::object cov = helper.attr("get_cov_matrix")();
        return weights.attr("dot")(cov).attr("dot")(weights).cast<double>();
    }
    py::object exposure = matmul(weights, factors[py::int_(0)]);
    py::object specific = factors[py::int_(1)];
    double systematic = exposure.attr("dot")(exposure).cast<double>();
    double idiosyncratic = (weights * weights).attr("dot")(specific).cast<double>();
    return systematic + idiosyncratic;
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
