// to_orders: target weights turned into whole-lot orders for one account on one
// day, and the Orders DataFrame that holds them.
#include "trading.hpp"

#include "vantelo/weights.hpp"

namespace vantelo {
namespace trading {

namespace {

[[noreturn]] void missing_stocks(const char *what, py::handle day, py::handle codes) {
    invalid(format("{} on {} for {} stock(s): {}", py::str(what), day, py::len(codes),
                   py::str(", ").attr("join")(codes)));
}

// Codes without a price that day may be stocks not trading then (not listed yet,
// delisted), held at a price the caller gives; a code the store does not know at
// all is a mistake, whatever price comes with it.
void refuse_unknown(py::handle close, py::handle day) {
    py::object unpriced = close.attr("isna")();
    if (!truthy(unpriced.attr("any")())) {
        return;
    }
    py::list missing = close.attr("index")[unpriced.attr("values")].attr("tolist")();
    py::set known;
    for (py::handle record : attr("tidewell").attr("instruments")(missing)) {
        known.add(record.attr("order_book_id"));
    }
    py::list unknown;
    for (py::handle code : missing) {
        if (!known.contains(code)) {
            unknown.append(code);
        }
    }
    if (py::len(unknown) > 0) {
        invalid(format("unknown order_book_id(s) on {}: {}", day,
                       first_items(unknown, Language::English)));
    }
}

} // namespace

py::object to_orders(py::object target, py::object date, py::object capital,
                     py::object current_shares, py::object prices) {
    py::object day = to_date(date);
    py::object goal = stock_series(target, "target");
    const double cash = finite_number(capital, "capital");
    if (cash < 0.0) {
        invalid(format("capital must not be negative, not {}", cash));
    }
    // What the target leaves over is cash by design: no warning for it.
    check_weight_sum(kModule, goal, py::str("target"), false);
    py::object held =
        current_shares.is_none() ? empty_series() : stock_series(current_shares, "current_shares");
    py::object fractional = held.attr("ne")(np().attr("floor")(held));
    if (truthy(fractional.attr("any")())) {
        invalid(
            format("current_shares must be whole shares: {}", held[fractional].attr("to_dict")()));
    }
    // Every stock with a target or a holding, in code order.
    py::object index = goal.attr("index")[goal.attr("gt")(0.0).attr("values")].attr("union")(
        held.attr("index")[held.attr("gt")(0.0).attr("values")]);
    py::list codes = pool_of(index.attr("tolist")());
    const std::size_t n = py::len(codes);
    if (n == 0) {
        invalid(py::str("nothing to trade: the target and the holding are empty"));
    }
    goal = goal.attr("reindex")(codes, py::arg("fill_value") = 0.0);
    held = held.attr("reindex")(codes, py::arg("fill_value") = 0.0);

    py::object status = status_for(codes, day);
    py::object close = status[py::str("close")];
    refuse_unknown(close, day);
    if (!prices.is_none()) {
        py::object given = stock_series(prices, "prices").attr("reindex")(codes);
        py::object zero = given.attr("eq")(0.0);
        if (truthy(zero.attr("any")())) {
            invalid(format("prices must be positive: {}", given[zero].attr("to_dict")()));
        }
        close = given.attr("fillna")(close);
    }
    py::object unpriced = close.attr("isna")();
    if (truthy(unpriced.attr("any")())) {
        missing_stocks("no price", day,
                       close.attr("index")[unpriced.attr("values")].attr("tolist")());
    }
    py::list board = status[py::str("board")].attr("tolist")();
    py::object lot_column = status.attr("get")(py::str("lot_size"));
    py::list lot_size = lot_column.is_none() ? py::list() : py::list(lot_column.attr("tolist")());
    std::vector<std::uint8_t> flags = flags_of(status, n);
    std::vector<bool> star(n);
    std::vector<double> lot(n, Grid::kBoardLot);
    py::list unknown_board;
    for (std::size_t i = 0; i < n; ++i) {
        if (flags[i] & kNoPrice) {
            continue; // not trading that day: it keeps what it holds, lots do not matter
        }
        py::object name = board[i];
        if (!PyUnicode_Check(name.ptr())) {
            unknown_board.append(codes[i]);
            continue;
        }
        const std::string text = name.cast<std::string>();
        if (text == "star") {
            star[i] = true;
        } else if (text == "other") {
            const double given = i < py::len(lot_size) ? as_double(lot_size[i]) : 1.0;
            lot[i] = std::isfinite(given) && given >= 1.0 ? std::floor(given) : 1.0;
        } else if (text != "main" && text != "chinext") {
            unknown_board.append(codes[i]);
        }
    }
    if (py::len(unknown_board) > 0) {
        missing_stocks("no known board (main, chinext, star, other)", day, unknown_board);
    }
    if (none_trades(flags)) {
        invalid(format("every stock of the target and the holding is suspended or not trading "
                       "on {}: nothing can be traded",
                       day));
    }

    auto price = as_array<double>(close.attr("values"), "float64");
    auto current = as_array<double>(held.attr("values"), "float64");
    const double total = cash + np().attr("dot")(price, current).cast<double>();
    if (!(total > 0.0)) {
        invalid(
            format("the account is worth {} (capital plus holdings): nothing to invest", total));
    }
    py::object weights = goal.attr("values");
    auto ideal = as_array<double>(weights * py::float_(total) / price, "float64");

    // Share counts are whole numbers held in doubles: exact up to 2^53.
    constexpr double kMostShares = 1e15;
    const double most =
        std::max(np().attr("max")(ideal).cast<double>(), np().attr("max")(current).cast<double>());
    if (!(most <= kMostShares)) {
        invalid(format("positions of more than {:.0e} shares are out of range: the largest "
                       "would be {:.6g}",
                       kMostShares, most));
    }

    Account account;
    account.capital = cash;
    account.worth = total;
    account.slack = 1e-12 * total;
    account.grid.resize(n);
    account.price.assign(price.data(), price.data() + n);
    account.target.assign(ideal.data(), ideal.data() + n);
    for (std::size_t i = 0; i < n; ++i) {
        const double c = current.at(i);
        const bool frozen = flags[i] & (kSuspended | kNoPrice);
        const bool can_buy = !frozen && !(flags[i] & kLimitUp);
        const bool can_sell = !frozen && !(flags[i] & kLimitDown);
        account.grid[i] = Grid{c, star[i], lot[i], can_sell ? 0.0 : c,
                               can_buy ? std::numeric_limits<double>::infinity() : c};
    }
    std::vector<double> shares;
    {
        py::gil_scoped_release release;
        shares = round_to_lots(account);
    }

    py::array_t<double> final_shares(static_cast<py::ssize_t>(n));
    std::copy(shares.begin(), shares.end(), final_shares.mutable_data());
    py::object pd = attr("pd");
    py::object change = final_shares - current;
    py::object order_shares = np().attr("abs")(change);
    py::object side = np().attr("select")(
        py::make_tuple(np().attr("greater")(change, 0.0), np().attr("less")(change, 0.0)),
        py::make_tuple("buy", "sell"), py::arg("default") = "hold");
    py::dict columns;
    columns["order_book_id"] = codes;
    columns["price"] = price;
    columns["current_shares"] = current.attr("astype")("int64");
    columns["target_shares"] = final_shares.attr("astype")("int64");
    columns["order_shares"] = order_shares.attr("astype")("int64");
    columns["side"] = side;
    columns["value"] = order_shares * price;
    columns["target_weight"] = goal.attr("values");
    py::object final_weight = final_shares * price / py::float_(total);
    columns["final_weight"] = final_weight;
    py::object orders = attr("Orders")(columns);
    // Within the sums' last bits of 0 is no cash at all.
    orders.attr("cash_left") = py::float_(std::max(0.0, cash_of(account, shares)));
    orders.attr("deviation") = np().attr("abs")(final_weight - goal.attr("values")).attr("sum")();
    return orders;
}

void define_orders(py::module_ &m) {
    py::object frame = m.attr("pd").attr("DataFrame");
    ClassBuilder builder(
        m, "Orders",
        py::str("Whole-lot orders for one account on one day: a DataFrame with one row per\n"
                "stock (order_book_id, price, current_shares, target_shares, order_shares,\n"
                "side, value, target_weight, final_weight) and the attributes cash_left (the\n"
                "cash after every order is filled) and deviation (the sum over the stocks of\n"
                "|final_weight - target_weight|). Copies and slices keep both attributes."),
        py::make_tuple(frame));
    // pandas builds the results of slicing and copying through `_constructor`, and
    // copies the names listed in `_metadata` onto them.
    builder.attr("_metadata", py::list(py::make_tuple("cash_left", "deviation")))
        .attr("cash_left", py::float_(std::numeric_limits<double>::quiet_NaN()))
        .attr("deviation", py::float_(std::numeric_limits<double>::quiet_NaN()));
    builder.readonly_property("_constructor", [](py::object self) { return py::type::of(self); });
}

} // namespace trading
} // namespace vantelo
