#include "vantelo/python.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

namespace vantelo {

py::object module_attr(const char *module, const char *name) {
    return py::module_::import(module).attr(name);
}

void import_lazily(py::module_ &module, const char *source, const char *alias) {
    std::string home = module.attr("__name__").cast<std::string>();
    std::string wanted = source;
    std::string name = alias;
    module.attr("__getattr__") = py::cpp_function(
        [home, wanted, name](py::str attribute) -> py::object {
            if (attribute.cast<std::string>() != name) {
                PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'",
                             home.c_str(), attribute.ptr());
                throw py::error_already_set();
            }
            py::object value = py::module_::import(wanted.c_str());
            py::module_::import(home.c_str()).attr(name.c_str()) = value;
            return value;
        },
        py::arg("name"));
}

void record_protocol(py::module_ &module, std::initializer_list<const char *> names,
                     std::initializer_list<const char *> members) {
    py::dict recorded;
    for (const char *name : names) {
        py::object cls = module.attr(name);
        py::dict own = cls.attr("__dict__").attr("copy")();
        py::dict kept;
        for (const char *member : members) {
            if (own.contains(member)) {
                kept[member] = own[member];
            }
        }
        recorded[cls] = kept;
    }
    module.attr("_protocol") = recorded;
}

void import_into(py::module_ &module, const char *source, const char *name, const char *alias) {
    py::module_ imported = py::module_::import(source);
    py::object value = imported;
    if (name != nullptr) {
        value = imported.attr(name);
    }
    module.attr(alias != nullptr ? alias : name) = value;
}

void import_modules(py::module_ &module, std::initializer_list<ModuleImport> modules) {
    for (const ModuleImport &entry : modules) {
        import_into(module, entry.source, nullptr,
                    entry.alias != nullptr ? entry.alias : entry.source);
    }
}

void import_names(py::module_ &module, const char *source,
                  std::initializer_list<const char *> names) {
    for (const char *name : names) {
        import_into(module, source, name);
    }
}

py::object translated(py::handle message) {
    return module_attr("vantelo.messages", "translate")(message);
}

void raise(py::handle cls, py::handle message) {
    // Instantiated here so that a tuple argument stays one argument.
    py::object error = cls(translated(message));
    PyErr_SetObject(cls.ptr(), error.ptr());
    throw py::error_already_set();
}

void raise_in_context(py::handle cls, py::handle message, py::error_already_set &cause) {
    py::object error = cls(translated(message));
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
    owner.attr("warnings").attr("warn")(translated(message), owner.attr("OptimizerWarning"), 1);
}

void assert_unscaled(py::handle zeta) {
    if (py::module_::import("sys").attr("flags").attr("optimize").cast<int>() > 0) {
        return;
    }
    if (!zeta.equal(py::float_(1.0))) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }
}

py::object ensure_series(const char *module, py::handle obj, py::handle name) {
    py::object pd = module_attr(module, "pd");
    py::object series_type = pd.attr("Series");
    if (py::isinstance(obj, series_type)) {
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

void reject_duplicate_keys(const char *module, py::handle series, const char *name,
                           Language language) {
    py::object index = series.attr("index");
    if (truthy(index.attr("has_duplicates"))) {
        py::object repeated = index[index.attr("duplicated")()].attr("unique")();
        const char *text = language == Language::English ? "{}: stocks listed more than once: {}"
                                                         : "{}: 以下股票代码出现了不止一次：{}";
        raise_invalid_argument(module,
                               format(text, py::str(name), first_items(repeated, language)));
    }
}

py::str first_items(py::handle items, Language language) {
    constexpr py::ssize_t kShown = 5;
    py::list all = list_copy(items);
    py::list shown;
    for (py::ssize_t i = 0; i < std::min<py::ssize_t>(kShown, py::len(all)); ++i) {
        shown.append(py::str(all[i]));
    }
    py::str text = py::str(", ").attr("join")(shown);
    if (py::len(all) > kShown) {
        return format(language == Language::English ? "{} ({} in all)" : "{} 等 {} 个", text,
                      py::len(all));
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

namespace {

bool from_pandas(py::handle value) {
    py::object module = py::type::of(value).attr("__module__");
    return PyUnicode_Check(module.ptr()) &&
           py::str(module).cast<std::string>().rfind("pandas", 0) == 0;
}

} // namespace

py::list list_copy(py::handle iterable) {
    // A pandas Index or Series boxes each element it yields, one call apiece; its
    // tolist gives the same elements in one pass.
    if (from_pandas(iterable) && py::hasattr(iterable, "tolist")) {
        py::object listed = iterable.attr("tolist")();
        if (PyList_Check(listed.ptr())) {
            return py::reinterpret_steal<py::list>(listed.release());
        }
    }
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

py::object finite_array(py::handle values, py::handle labels, py::handle what, Language language) {
    py::module_ np = py::module_::import("numpy");
    py::object array = np.attr("asarray")(values, py::arg("dtype") = "float64");
    if (!all_finite(array)) {
        py::list offending = non_finite_labels(array, labels);
        const char *text = language == Language::English
                               ? "{}: not a finite number (NaN or inf) for {}"
                               : "{}: 以下股票的值不是有限数（NaN 或 inf）：{}";
        raise_invalid_argument("vantelo.exception", format(text, what, offending));
    }
    return array;
}

bool real_number(py::handle value, double &out) {
    PyObject *object = value.ptr();
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
        PyBool_Check(object) ||
        py::isinstance(value, py::module_::import("numpy").attr("bool_"))) {
        return false;
    }
    PyObject *number = PyNumber_Float(object);
    if (number == nullptr) {
        // Only float()'s refusal means "not a number"; anything else is the caller's.
        if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
            PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            return false;
        }
        throw py::error_already_set();
    }
    out = PyFloat_AS_DOUBLE(number);
    Py_DECREF(number);
    return true;
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
