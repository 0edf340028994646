#include "vantelo/weights.hpp"

#include <pybind11/numpy.h>

#include <string>

namespace vantelo {
namespace {

// Weights summing to about this much were written in percent.
constexpr double kPercentLow = 50.0;
constexpr double kPercentHigh = 105.0;

[[noreturn]] void refuse(const char *module, py::handle message) {
    raise_invalid_argument(module, message);
}

py::object numbers_one_by_one(const char *module, py::handle series, py::handle name) {
    py::list values = series.attr("tolist")();
    py::list codes = series.attr("index").attr("tolist")();
    const py::ssize_t n = py::len(values);
    py::array_t<double> numbers(n);
    double *out = numbers.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) {
        if (!real_number(values[i], out[i])) {
            refuse(module,
                   format("{}: expected numbers, got {!r} for {}", name, values[i], codes[i]));
        }
    }
    return module_attr(module, "pd")
        .attr("Series")(numbers, py::arg("index") = series.attr("index"));
}

} // namespace

py::object numeric_series(const char *module, py::handle series, py::handle name) {
    const std::string kind = series.attr("dtype").attr("kind").cast<std::string>();
    py::object numbers;
    if (kind == "f" || kind == "i" || kind == "u") {
        try {
            numbers = series.attr("astype")("float64");
        } catch (py::error_already_set &error) {
            // A nullable column with missing entries: read one by one, which names them.
            if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError)) {
                throw;
            }
        }
    }
    if (!numbers) {
        numbers = numbers_one_by_one(module, series, name);
    }
    finite_array(numbers.attr("values"), numbers.attr("index"), name, Language::English);
    return numbers;
}

py::object read_weights(const char *module, py::handle weights, py::handle name) {
    py::object pd = module_attr(module, "pd");
    py::object series;
    if (py::isinstance(weights, pd.attr("Series"))) {
        series = py::reinterpret_borrow<py::object>(weights);
    } else if (PyDict_Check(weights.ptr())) {
        series = pd.attr("Series")(py::dict(py::reinterpret_borrow<py::object>(weights)),
                                   py::arg("dtype") = "object");
    } else {
        refuse(module,
               format("{}: expected a pandas Series or a dict of order_book_id -> weight, got {}",
                      name, py::type::of(weights).attr("__name__")));
    }
    if (py::len(series) == 0) {
        refuse(module, format("{}: no stocks", name));
    }
    py::list not_text;
    for (py::handle code : list_copy(series.attr("index"))) {
        if (!PyUnicode_Check(code.ptr())) {
            not_text.append(code);
        } else if (py::str(code).attr("strip")().cast<std::string>().empty()) {
            refuse(module, format("{}: an order_book_id is empty ({!r})", name, code));
        }
    }
    if (py::len(not_text) > 0) {
        refuse(module, format("{}: order_book_ids must be text, got {}", name,
                              not_text[py::slice(0, 5, 1)]));
    }
    const std::string label = py::str(name).cast<std::string>();
    reject_duplicate_keys(module, series, label.c_str(), Language::English);
    return numeric_series(module, series, name);
}

double check_weight_sum(const char *module, py::handle weights, py::handle name, bool warn_cash) {
    const double total = weights.attr("sum")().cast<double>();
    if (total > 1.0 + kWeightSumTolerance) {
        const bool percent = total >= kPercentLow && total <= kPercentHigh;
        refuse(module, format("{}: the weights sum to {:.6g}, more than 1; {}", name, total,
                              percent ? "they look like percent: divide them by 100"
                                      : "weights are fractions of the portfolio"));
    }
    if (warn_cash && total < 1.0 - kWeightSumTolerance) {
        warn_optimizer(module, format("{}: the weights sum to {:.6g}, less than 1: the remaining "
                                      "{:.2%} is read as cash",
                                      name, total, 1.0 - total));
    }
    return total;
}

} // namespace vantelo
