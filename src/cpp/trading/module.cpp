// vantelo.trading: from target weights to what can be traded on a day. The day's
// status of each stock (suspended, closed at a price limit, under special
// treatment, its board) comes from the market-data client; this module turns it
// into weight bounds for the optimiser and into whole-lot orders for an account.
//
// The numeric kernels (the day's rules on the bounds; the choice of whole lots: a
// baseline of nearest lots with the shortfall covered, local moves that improve on
// it, and an exact search for small accounts) work on plain arrays and know nothing
// of Python; the functions bound to Python check the input, gather the arrays and
// build the results.
#include "trading.hpp"

#include <pybind11/options.h>

PYBIND11_MODULE(trading, m) {
    using namespace vantelo;
    using namespace vantelo::trading;
    ModuleOptions options;

    import_modules(m, {{"numpy", "np"}, {"pandas", "pd"}, {"tidewell"}, {"warnings"}});
    import_names(m, "vantelo.exception", {"InvalidArgument", "OptimizerWarning"});
    import_names(m, "vantelo.optimize", {"parse_bnds", "to_date"});

    define_orders(m);
    def_function(
        m, "trading_status", &trading_status, py::arg("order_book_ids"), py::arg("date"),
        "The day's status of each stock of the pool: a DataFrame indexed by order_book_id\n"
        "with the columns suspended, limit_up (closed at its limit-up price: it could not\n"
        "be bought), limit_down (closed at its limit-down price: it could not be sold),\n"
        "special_treatment, close and board. Stocks not trading that day are absent.");
    def_function(
        m, "tradable_bounds", &tradable_bounds, py::arg("order_book_ids"), py::arg("date"),
        py::arg("holding"), py::arg("bnds") = py::none(),
        py::arg("exclude_special_treatment") = py::bool_(false),
        "The bnds of portfolio_optimize for the pool on date, given the current holding\n"
        "(weights keyed by order_book_id; stocks not in it are not held) and the caller's\n"
        "own bnds: a suspended stock, or one not trading that day, is held at its weight; a\n"
        "stock at limit-up is not bought (upper at most its weight), one at limit-down not\n"
        "sold (lower at least its weight); with exclude_special_treatment a stock under\n"
        "special treatment is not bought (new positions get upper 0). Every other bound is\n"
        "the caller's. Where the caller's bounds and the day conflict, the day wins and an\n"
        "OptimizerWarning names the stocks and the reasons. Returns {order_book_id: (lower,\n"
        "upper)} for every stock of the pool.");
    def_function(
        m, "to_orders", &to_orders, py::arg("target"), py::arg("date"), py::arg("capital"),
        py::arg("current_shares") = py::none(), py::arg("prices") = py::none(),
        "Whole-lot orders that bring an account as close to the target weights as its\n"
        "cash allows. target: weights keyed by order_book_id, fractions of the account's\n"
        "value (capital plus the holding at the day's prices). capital: the cash.\n"
        "current_shares: shares held, keyed by order_book_id. prices: prices to trade at,\n"
        "by default the day's closes. Orders come in lots of 100 shares (main boards,\n"
        "ChiNext; a sale may take the odd shares along) or of at least 200 shares (STAR);\n"
        "a position may always be sold whole.\n"
        "Nothing suspended or at limit-up is bought, nothing suspended or at limit-down is\n"
        "sold, and the buys never cost more than the capital plus what the sales bring.\n"
        "Returns an Orders DataFrame with the attributes cash_left and deviation.");
}
