// vantelo.helper: the market-data context of one optimisation.
#include "vantelo/common.hpp"

#include <pybind11/options.h>

PYBIND11_MODULE(helper, m) {
    using namespace vantelo;
    py::options options;
    options.disable_function_signatures();
    import_into(m, "tidewell", nullptr, "tidewell");
    ClassBuilder(m, "OptimizeHelper", py::str("Market data of one optimisation."))
        .init(
            [](py::object, py::object, py::object, py::object, py::object) {
                PyErr_SetString(PyExc_RuntimeError, "no market-data store is configured");
                throw py::error_already_set();
            },
            py::arg("order_book_ids"), py::arg("date"), py::arg("benchmark"),
            py::arg("cov_model"));
}
