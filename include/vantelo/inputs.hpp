// The arguments of an optimisation read the one way the driver reads them, for
// the driver itself and for the diagnosis that must pose the same problem. Every
// name is looked up in vantelo.optimize at call time, like the driver's own.
#pragma once

#include "vantelo/common.hpp"

namespace vantelo {

// The pool as ensure_order_book_ids makes it: the records `client.instruments`
// gives for the codes, common stocks listed before `date` and not delisted by it,
// sorted and without repeats, with a warning for every one dropped.
py::object pool_of(py::object order_book_ids, py::handle date, py::handle client);

// The pool cleaned for `date` (made a calendar date in place) through `client`, or
// the driver's tidewell; an empty pool is an error.
py::object cleaned_pool(py::handle order_book_ids, py::object &date, py::handle client);
py::object cleaned_pool(py::handle order_book_ids, py::object &date);

// None, or the benchmark as an OptimizeBenchmark (an index code becomes an
// IndexBenchmark); anything else is an error, worded in Chinese as the driver words
// it or, for the modules that speak English, in English.
py::object resolved_benchmark(py::object benchmark, Language language = Language::Chinese);

// The rule for the code of an index benchmark: `client.instruments(code)` knows it
// and its type is INDX; otherwise the module's InvalidArgument naming the code (and
// the type it has).
void require_index_code(const char *module, py::handle client, py::handle code, Language language);

// `date` as a calendar date, read by the driver's to_date, for the modules that
// speak English: a text it cannot read (a parser's ValueError) becomes the module's
// InvalidArgument naming the text and why.
py::object read_date(const char *module, py::handle date);

// The objective checked, and the benchmark an objective that tracks one needs,
// resolved.
py::object checked_benchmark(py::handle objective, py::object benchmark);

} // namespace vantelo
