// Rounding to lots: the arithmetic of an account's share counts, the starts (the
// nearest counts with the shortfall covered, the ratio repair) and the local moves
// that improve on them.
#include "trading.hpp"

#include <queue>
#include <tuple>

namespace vantelo {
namespace trading {

// ---------------------------------------------------------------------------
// Rounding to lots
// ---------------------------------------------------------------------------

double cash_of(const Account &a, const std::vector<double> &shares) {
    double cash = a.capital;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        cash += (a.grid[i].current - shares[i]) * a.price[i];
    }
    return cash;
}

// |f − t|·p: a position's deviation in money (divide by the account's worth for weight).
double gap_at(const Account &a, std::size_t i, double f) {
    return std::fabs(f - a.target[i]) * a.price[i];
}

double deviation_of(const Account &a, const std::vector<double> &shares) {
    double total = 0.0;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        total += gap_at(a, i, shares[i]);
    }
    return total;
}

namespace {

double added_deviation(const Account &a, std::size_t i, double from, double to) {
    return gap_at(a, i, to) - gap_at(a, i, from);
}

} // namespace

// Each position at its nearest allowed count (the lower one on a tie), or at the
// allowed count below its ideal.
std::vector<double> rounded(const Account &a, bool nearest) {
    std::vector<double> shares(a.grid.size());
    for (std::size_t i = 0; i < shares.size(); ++i) {
        const Grid &g = a.grid[i];
        const double t = a.target[i];
        const double down = g.snap(t, false);
        const double up = g.snap(t, true);
        const bool nearest_up = std::fabs(up - t) < std::fabs(down - t);
        shares[i] = nearest && nearest_up ? up : (down <= t ? down : up);
    }
    return shares;
}

namespace {

// A move of one stock to a neighbouring count and what it is worth: (key, stock,
// new count); the smallest key goes first.
using Move = std::tuple<double, std::size_t, double>;
using MoveHeap = std::priority_queue<Move, std::vector<Move>, std::greater<Move>>;

} // namespace

// While cash is short, undo the step that frees cash at the least added deviation
// per unit of cash: a buy one lot smaller, or a sale one lot larger. A step that
// frees far more than is missing looks cheap per unit, which is why this is only
// one of the starts.
void repair_by_ratio(const Account &a, std::vector<double> &shares, double &cash) {
    MoveHeap heap;
    auto push = [&](std::size_t i) {
        const double to = a.grid[i].below(shares[i]);
        if (!std::isnan(to)) {
            const double freed = (shares[i] - to) * a.price[i];
            heap.emplace(added_deviation(a, i, shares[i], to) / freed, i, to);
        }
    };
    for (std::size_t i = 0; i < shares.size(); ++i) {
        push(i);
    }
    while (!a.affordable(cash) && !heap.empty()) {
        auto [key, i, to] = heap.top();
        heap.pop();
        (void)key;
        if (to >= shares[i]) {
            continue; // stale: the stock moved since this entry was made
        }
        cash += (shares[i] - to) * a.price[i];
        shares[i] = to;
        push(i);
    }
}

// While cash is short, take back the step (one lot, or one share on STAR) that adds
// the least deviation per unit of the missing cash it covers: a step that frees more
// than is missing counts only what is missing. A step that lowers the deviation goes
// first whatever it frees.
void cover_shortfall(const Account &a, std::vector<double> &shares, double &cash) {
    // (key, stock, count the entry was made at, new count)
    using Step = std::tuple<double, std::size_t, double, double>;
    std::priority_queue<Step, std::vector<Step>, std::greater<Step>> heap;
    auto key_of = [&](std::size_t i, double from, double to) {
        const double added = added_deviation(a, i, from, to);
        const double freed = (from - to) * a.price[i];
        return added <= 0.0 ? added / freed : added / std::min(freed, -cash);
    };
    auto push = [&](std::size_t i) {
        const double to = a.grid[i].below(shares[i]);
        if (!std::isnan(to)) {
            heap.emplace(key_of(i, shares[i], to), i, shares[i], to);
        }
    };
    for (std::size_t i = 0; i < shares.size(); ++i) {
        push(i);
    }
    while (!a.affordable(cash) && !heap.empty()) {
        auto [key, i, from, to] = heap.top();
        heap.pop();
        if (from != shares[i]) {
            continue; // stale: the stock moved since this entry was made
        }
        // As the shortfall shrinks a key only grows, so an entry re-keyed now that
        // still beats the next one is the least.
        const double now = key_of(i, from, to);
        if (now > key && !heap.empty() && now > std::get<0>(heap.top())) {
            heap.emplace(now, i, from, to);
            continue;
        }
        cash += (from - to) * a.price[i];
        shares[i] = to;
        push(i);
    }
}

// Spend spare cash on the steps that remove the most deviation per unit of cash,
// as long as a step removes any; the cash only falls, so a step it cannot afford
// now it never will. Returns whether anything was bought.
bool use_spare_cash(const Account &a, std::vector<double> &shares, double &cash) {
    MoveHeap heap;
    auto push = [&](std::size_t i) {
        const double to = a.grid[i].above(shares[i]);
        if (std::isnan(to)) {
            return;
        }
        const double gain = added_deviation(a, i, shares[i], to);
        if (gain < 0.0) {
            heap.emplace(gain / ((to - shares[i]) * a.price[i]), i, to);
        }
    };
    for (std::size_t i = 0; i < shares.size(); ++i) {
        push(i);
    }
    bool bought = false;
    while (!heap.empty()) {
        auto [key, i, to] = heap.top();
        heap.pop();
        (void)key;
        if (to <= shares[i]) {
            continue;
        }
        const double cost = (to - shares[i]) * a.price[i];
        if (!a.affordable(cash - cost)) {
            continue;
        }
        cash -= cost;
        shares[i] = to;
        bought = true;
        push(i);
    }
    return bought;
}

namespace {

// Sells the steps that lower the deviation on their own (a position above its
// ideal by more than half a step). Returns whether anything was sold.
bool sell_what_is_over(const Account &a, std::vector<double> &shares, double &cash) {
    bool sold = false;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        for (;;) {
            const double to = a.grid[i].below(shares[i]);
            if (std::isnan(to) || added_deviation(a, i, shares[i], to) >= 0.0) {
                break;
            }
            cash += (shares[i] - to) * a.price[i];
            shares[i] = to;
            sold = true;
        }
    }
    return sold;
}

// One round of exchanges: a step down in one stock pays for a step up in another
// that the cash alone cannot, where the pair lowers the deviation. For each step up,
// the step down that frees enough and adds the least deviation is found among the
// steps down sorted by the cash they free; the pairs go in order of what they save,
// each stock in one pair at most. Returns whether any pair was made.
bool exchange_steps(const Account &a, std::vector<double> &shares, double &cash) {
    struct Sale {
        double freed;
        double added;
        std::size_t stock;
        double to;
    };
    struct Swap {
        double saving;
        std::size_t sale;
        std::size_t stock;
        double to;
    };
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    const std::size_t n = shares.size();
    std::vector<Sale> sales;
    for (std::size_t i = 0; i < n; ++i) {
        const double to = a.grid[i].below(shares[i]);
        if (!std::isnan(to)) {
            sales.push_back(
                {(shares[i] - to) * a.price[i], added_deviation(a, i, shares[i], to), i, to});
        }
    }
    if (sales.empty()) {
        return false;
    }
    std::sort(sales.begin(), sales.end(),
              [](const Sale &x, const Sale &y) { return x.freed > y.freed; });
    // The two sales adding the least deviation among sales[0..k], which free the most.
    std::vector<std::size_t> first(sales.size()), second(sales.size());
    std::size_t best = kNone, next = kNone;
    for (std::size_t k = 0; k < sales.size(); ++k) {
        if (best == kNone || sales[k].added < sales[best].added) {
            next = best;
            best = k;
        } else if (next == kNone || sales[k].added < sales[next].added) {
            next = k;
        }
        first[k] = best;
        second[k] = next;
    }
    std::vector<Swap> swaps;
    for (std::size_t j = 0; j < n; ++j) {
        const double to = a.grid[j].above(shares[j]);
        if (std::isnan(to)) {
            continue;
        }
        const double gain = -added_deviation(a, j, shares[j], to);
        const double need = (to - shares[j]) * a.price[j] - cash;
        if (gain <= 0.0 || need <= 0.0) {
            continue; // no better, or the spare cash buys it
        }
        auto enough = std::partition_point(sales.begin(), sales.end(),
                                           [need](const Sale &s) { return s.freed >= need; });
        if (enough == sales.begin()) {
            continue;
        }
        const std::size_t k = static_cast<std::size_t>(enough - sales.begin()) - 1;
        std::size_t pick = sales[first[k]].stock == j ? second[k] : first[k];
        if (pick == kNone) {
            continue;
        }
        const double saving = gain - sales[pick].added;
        if (saving > a.slack) {
            swaps.push_back({saving, pick, j, to});
        }
    }
    std::sort(swaps.begin(), swaps.end(),
              [](const Swap &x, const Swap &y) { return x.saving > y.saving; });
    std::vector<bool> moved(n, false);
    bool exchanged = false;
    for (const Swap &swap : swaps) {
        const Sale &sale = sales[swap.sale];
        if (moved[sale.stock] || moved[swap.stock]) {
            continue;
        }
        const double cost = (swap.to - shares[swap.stock]) * a.price[swap.stock];
        if (!a.affordable(cash + sale.freed - cost)) {
            continue;
        }
        cash += sale.freed - cost;
        shares[sale.stock] = sale.to;
        shares[swap.stock] = swap.to;
        moved[sale.stock] = moved[swap.stock] = true;
        exchanged = true;
    }
    return exchanged;
}

} // namespace

// Local moves until none helps: sales that lower the deviation, buys the spare cash
// pays for, and exchanges of a step down for a step up. Each move lowers the
// deviation and keeps the cash, so the result is never worse than the start.
void improve(const Account &a, std::vector<double> &shares, double &cash) {
    constexpr int kRounds = 50;
    for (int round = 0; round < kRounds; ++round) {
        bool moved = sell_what_is_over(a, shares, cash);
        moved = use_spare_cash(a, shares, cash) || moved;
        moved = exchange_steps(a, shares, cash) || moved;
        if (!moved) {
            return;
        }
    }
    use_spare_cash(a, shares, cash);
}

} // namespace trading
} // namespace vantelo
