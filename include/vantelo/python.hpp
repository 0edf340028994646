// The Python plumbing of vantelo's extension modules: looking up module attributes
// at call time, raising the package's exceptions, issuing warnings, converting and
// checking numbers, formatting messages, text signatures, and building Python
// classes whose methods are C++ functions, with the small expression helpers that
// cvxpy needs (comparisons that yield constraints rather than booleans).
#pragma once

#include <pybind11/options.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>

namespace vantelo {

namespace py = pybind11;

// ---------------------------------------------------------------------------
// Module attributes
// ---------------------------------------------------------------------------

// `module.name`, looked up at call time so that a caller who replaces a module
// attribute (a stand-in for `tidewell`, a custom `OptimizeHelper`) changes what
// the next call uses.
py::object module_attr(const char *module, const char *name);

// Binds `module.<alias>` to `source.<name>`: the module-level names that the
// Python modules of the package import.
void import_into(py::module_ &module, const char *source, const char *name,
                 const char *alias = nullptr);

// A module a Python module of the package imports whole (`import numpy as np`);
// without an alias it keeps its own name.
struct ModuleImport {
    const char *source;
    const char *alias = nullptr;
};

// Gives `module` the attribute `alias`, the module `source`, imported when the
// attribute is first read (through a module-level __getattr__) rather than when
// `module` is: a heavy dependency only some calls need. Once read it is an
// ordinary attribute, which a caller may replace like any other.
void import_lazily(py::module_ &module, const char *source, const char *alias);

// Records, as `module._protocol`, each of the classes `names` with its own
// members `members` (a dict per class): a class whose methods a caller has since
// replaced can then be told from the class as the module made it.
void record_protocol(py::module_ &module, std::initializer_list<const char *> names,
                     std::initializer_list<const char *> members);

// Binds each of `modules` into `module`, in order.
void import_modules(py::module_ &module, std::initializer_list<ModuleImport> modules);

// Binds `source.<name>` into `module` under its own name for each of `names`, in
// order (`from source import a, b`).
void import_names(py::module_ &module, const char *source,
                  std::initializer_list<const char *> names);

// The options a module is defined under, held for the whole of its PYBIND11_MODULE
// block: pybind11 writes no signature line of its own into a docstring, since
// def_function and ClassBuilder write the text signatures themselves.
class ModuleOptions {
  public:
    ModuleOptions() { options_.disable_function_signatures(); }

  private:
    py::options options_;
};

// ---------------------------------------------------------------------------
// Errors and warnings
// ---------------------------------------------------------------------------

// `message` in the language the user chose (`vantelo.messages.translate`): a
// Chinese message of the catalogue as its English text when English is chosen, any
// other message (and anything that is not a text) as it is. The functions below
// that raise and warn pass their message through it, so a call site words its
// message once, in Chinese.
py::object translated(py::handle message);

// Raises `cls(message)` as a Python exception, the message translated.
[[noreturn]] void raise(py::handle cls, py::handle message);

// Raises `cls(message)` with `cause`, the exception being handled, kept as its
// `__context__`, as a Python `raise` inside an `except` block does.
[[noreturn]] void raise_in_context(py::handle cls, py::handle message,
                                   py::error_already_set &cause);

// Raises the `InvalidArgument` that `module` holds.
[[noreturn]] void raise_invalid_argument(const char *module, py::handle message);

// Raises NotImplementedError: the body of a method a subclass must provide.
[[noreturn]] void not_implemented();

// Issues `module.warnings.warn(message, module.OptimizerWarning, 1)`, the message
// translated. A compiled function has no Python frame, so stack level 1 points at
// the Python line that called into the package.
void warn_optimizer(const char *module, py::handle message);

// The `assert x == 1.0` of the objectives: skipped when Python runs with -O.
void assert_unscaled(py::handle zeta);

// `obj` as a pandas Series: a Series is returned as it is, anything else goes
// through `module.pd.Series`; what that refuses becomes the module's
// InvalidArgument naming the argument.
py::object ensure_series(const char *module, py::handle obj, py::handle name);

// The optimiser's own modules (optimize, objective, constraints, helper,
// benchmark) word their messages in Chinese; the modules beside them (diagnosis,
// trading, report, rebalancing, the command line) in English.
enum class Language { Chinese, English };

// Refuses a series of per-stock values that lists a code more than once: there is
// no single value to use, and pandas would refuse to align it with a message about
// axes. The module's InvalidArgument names `name` and the repeated codes, in
// Chinese or, for the modules that speak English, as "{name}: stocks listed more
// than once: {codes}".
void reject_duplicate_keys(const char *module, py::handle series, const char *name,
                           Language language = Language::Chinese);

// ---------------------------------------------------------------------------
// Numbers
// ---------------------------------------------------------------------------

// float(value): the interpreter's own conversion (numbers, numeric text), its
// error (TypeError, ValueError, OverflowError) passed on as error_already_set.
py::float_ to_float(py::handle value);

// float(value) as a C++ double.
double as_double(py::handle value);

// A bound as a float, None kept as None. A value float() refuses as a number
// (ValueError, and OverflowError when `refuse_overflow`) raises the module's
// InvalidArgument with `message()` and that error as its context; any other error
// (a list is no bound at all) passes unchanged.
template <typename Message>
py::object bound_or_none(const char *module, py::handle value, bool refuse_overflow,
                         Message &&message) {
    if (value.is_none()) {
        return py::none();
    }
    try {
        return to_float(value);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError) &&
            !(refuse_overflow && error.matches(PyExc_OverflowError))) {
            throw;
        }
        raise_in_context(module_attr(module, "InvalidArgument"), message(), error);
    }
}

// Whether every entry of the numeric array `values` is finite.
bool all_finite(py::handle values);

// The entries of `labels` (one per value, in the same order) whose value in
// `values` is NaN or infinite; each caller words its own message around them.
py::list non_finite_labels(py::handle values, py::handle labels);

// `values` as a float64 numpy array. A NaN or infinite entry raises InvalidArgument
// naming `what` and the entries of `labels` (one per value, in the same order) at
// the offending positions: data that would otherwise reach the solver as a
// constraint nobody can meet, or fail there with a message about the solver. In
// English: "{what}: not a finite number (NaN or inf) for {labels}".
py::object finite_array(py::handle values, py::handle labels, py::handle what,
                        Language language = Language::Chinese);

// Whether `value` is a number as a caller means one: anything float() takes except
// text, bytes and booleans (float("0.5") and float(True) succeed, but a weight of
// "0.5" or a capital of True is a mistake, not a number). Sets `out` when it is.
bool real_number(py::handle value, double &out);

// ---------------------------------------------------------------------------
// Formatting
// ---------------------------------------------------------------------------

// `template.format(args...)`: messages use Python's str() of their values.
template <typename... Args> py::str format(const char *template_text, Args &&...args) {
    return py::str(template_text).format(std::forward<Args>(args)...);
}

// "a, b, c, d, e 等 n 个": the first five items of `items` and, when there are more,
// how many there are; messages that name stocks or keys stay one line long.
py::str first_items(py::handle items, Language language = Language::Chinese);

// `template % args` (printf-style formatting, for the few %r messages).
py::str percent_format(const char *template_text, py::handle args);

// ---------------------------------------------------------------------------
// Expression helpers: pybind11's comparison operators return bool, but cvxpy
// expressions compare into constraint objects, so these keep the object.
// ---------------------------------------------------------------------------

py::object less_equal(py::handle a, py::handle b);
py::object greater_equal(py::handle a, py::handle b);
py::object equal_to(py::handle a, py::handle b);
py::object matmul(py::handle a, py::handle b);
py::object power(py::handle a, py::handle b);
bool truthy(py::handle value);
// A new list of the items of `iterable`. (py::list(obj) is no copy: for an
// object that already is a list it refers to that very list.)
py::list list_copy(py::handle iterable);

// ---------------------------------------------------------------------------
// Signatures. The modules switch pybind11's generated signatures off, so that a
// docstring is exactly the text we give. inspect.signature() (and with it editors
// and notebooks) reads a function's parameters from a docstring that starts with
// "name(params)\n--\n\n", which CPython strips from __doc__; so every function and
// method gets that line, written from its py::arg list, and a class with a
// compiled __init__ gets its constructor's parameters the same way.
// ---------------------------------------------------------------------------

class TextSignature {
  public:
    void add(const py::arg_v &a);
    void add(const py::arg &a);
    void add(const py::pos_only &) { append("/"); }
    void add(const py::kw_only &) { append("*"); }
    void add(const char *doc) { doc_ = doc; }
    template <std::size_t N> void add(const char (&doc)[N]) { doc_ = doc; }
    template <typename Other> void add(const Other &) {}

    // "self, a, b=1" or "a, b=1".
    std::string params(bool with_self) const;
    // The docstring: the signature line (unless `unnamed`), then the docstring given
    // with the extras.
    std::string doc(const char *name, bool with_self, bool unnamed) const;
    std::size_t count() const { return count_; }

  private:
    void append(const std::string &param);
    std::string params_;
    std::size_t count_ = 0;
    const char *doc_ = nullptr;
};

// The number of parameters of a function pointer or a lambda.
template <typename F> struct arity : arity<decltype(&F::operator())> {};
template <typename R, typename... A>
struct arity<R (*)(A...)> : std::integral_constant<std::size_t, sizeof...(A)> {};
template <typename C, typename R, typename... A>
struct arity<R (C::*)(A...) const> : std::integral_constant<std::size_t, sizeof...(A)> {};
template <typename C, typename R, typename... A>
struct arity<R (C::*)(A...)> : std::integral_constant<std::size_t, sizeof...(A)> {};

// The signature of `func` bound with `extra`. `unnamed` tells that its parameters
// carry no names (pybind11 would call them arg0, arg1, ...): no signature to show.
template <typename Func, typename... Extra>
TextSignature text_signature(bool method, bool &unnamed, const Extra &...extra) {
    TextSignature signature;
    (signature.add(extra), ...);
    const std::size_t params = arity<std::decay_t<Func>>::value - (method ? 1 : 0);
    unnamed = signature.count() == 0 && params > 0;
    return signature;
}

inline const char *doc_or_null(const std::string &doc) {
    return doc.empty() ? nullptr : doc.c_str();
}

// Gives the class `cls` the text signature "(params)": inspect.signature(cls).
// Its __doc__ stays as it is.
void set_class_signature(py::handle cls, const std::string &params);

// `module.def(name, func, extra...)` with the signature line in its docstring.
template <typename Func, typename... Extra>
void def_function(py::module_ &module, const char *name, Func &&func, const Extra &...extra) {
    bool unnamed = false;
    std::string doc = text_signature<Func>(false, unnamed, extra...).doc(name, false, unnamed);
    module.def(name, std::forward<Func>(func), extra..., doc_or_null(doc));
}

// ---------------------------------------------------------------------------
// Classes built from C++. Users subclass them like any Python class, so they
// are made by calling the metaclass with a namespace, and their methods are
// C++ functions bound as Python methods.
// ---------------------------------------------------------------------------

class ClassBuilder {
  public:
    ClassBuilder(py::module_ module, const char *name, py::object doc = py::none(),
                 py::tuple bases = py::tuple(), py::object metaclass = py::none());

    template <typename Func, typename... Extra>
    ClassBuilder &method(const char *name, Func &&func, const Extra &...extra) {
        // Only a member of this very class is an overload to join; an inherited
        // one (perhaps a Python function) is what this method overrides.
        py::object own = cls_.attr("__dict__").attr("get")(name);
        bool unnamed = false;
        std::string doc = text_signature<Func>(true, unnamed, extra...).doc(name, true, unnamed);
        py::cpp_function fn(std::forward<Func>(func), py::name(name), py::is_method(cls_),
                            py::sibling(own), extra..., doc_or_null(doc));
        cls_.attr(name) = fn;
        return *this;
    }

    // pybind11 treats a function named __init__ as a constructor of its own
    // types, so the initialiser is created under another name and then bound.
    template <typename Func, typename... Extra>
    ClassBuilder &init(Func &&func, const Extra &...extra) {
        bool unnamed = false;
        TextSignature signature = text_signature<Func>(true, unnamed, extra...);
        std::string doc = signature.doc("initialise", true, unnamed);
        py::cpp_function fn(std::forward<Func>(func), py::name("initialise"), py::is_method(cls_),
                            extra..., doc_or_null(doc));
        cls_.attr("__init__") = fn;
        if (!unnamed) {
            set_class_signature(cls_, signature.params(false));
        }
        return *this;
    }

    // A method called on the class, with the class first (`classmethod`): alternative
    // constructors.
    template <typename Func, typename... Extra>
    ClassBuilder &class_method(const char *name, Func &&func, const Extra &...extra) {
        bool unnamed = false;
        TextSignature signature = text_signature<Func>(true, unnamed, extra...);
        std::string params = signature.params(false);
        std::string doc = signature.doc(name, false, true);
        if (!unnamed) {
            doc = std::string(name) + "(" + (params.empty() ? "cls" : "cls, " + params) +
                  ")\n--\n\n" + doc;
        }
        py::cpp_function fn(std::forward<Func>(func), py::name(name), extra..., doc_or_null(doc));
        cls_.attr(name) = py::module_::import("builtins").attr("classmethod")(fn);
        return *this;
    }

    template <typename Getter> ClassBuilder &readonly_property(const char *name, Getter &&getter) {
        py::cpp_function fget(std::forward<Getter>(getter), py::is_method(cls_));
        cls_.attr(name) = py::module_::import("builtins").attr("property")(fget);
        return *this;
    }

    ClassBuilder &attr(const char *name, py::handle value) {
        cls_.attr(name) = value;
        return *this;
    }

    py::object cls() const { return cls_; }

  private:
    py::object cls_;
};

} // namespace vantelo
