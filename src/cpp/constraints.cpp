// vantelo.constraints: the constraint objects a caller hands to portfolio_optimize.
#include "vantelo/common.hpp"

#include <pybind11/options.h>

PYBIND11_MODULE(constraints, m) {
    using namespace vantelo;
    py::options options;
    options.disable_function_signatures();

    import_into(m, "abc", "ABCMeta");
    import_into(m, "warnings", nullptr, "warnings");
    import_into(m, "numbers", nullptr, "numbers");
    import_into(m, "cvxpy", nullptr, "cp");
    import_into(m, "numpy", nullptr, "np");
    import_into(m, "pandas", nullptr, "pd");
    import_into(m, "vantelo.exception", "InvalidArgument");
    import_into(m, "vantelo.exception", "OptimizerWarning");
    import_into(m, "vantelo.const", "IndustryClassification");
    import_into(m, "vantelo.const", "STYLE_FACTORS");
}
