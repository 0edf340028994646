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
#include "vantelo/common.hpp"
#include "vantelo/inputs.hpp"
#include "vantelo/weights.hpp"

#include <pybind11/numpy.h>
#include <pybind11/options.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <queue>
#include <string>
#include <tuple>
#include <vector>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.trading";

py::object attr(const char *name) { return module_attr(kModule, name); }

[[noreturn]] void invalid(py::handle message) { raise_invalid_argument(kModule, message); }

// ---------------------------------------------------------------------------
// The day's rules on weight bounds
// ---------------------------------------------------------------------------

enum Flag : std::uint8_t {
    kSuspended = 1,
    kLimitUp = 2,
    kLimitDown = 4,
    kSpecialTreatment = 8,
    kNoPrice = 16, // not trading that day at all: not listed yet, delisted, unknown
};

// Tightens [lower, upper] around each holding as the day requires. `conflict[i]`
// gets the flags whose rule overrode a bound the caller asked for (the caller's
// range did not contain what the day allows).
void apply_day(std::size_t n, const double *holding, const std::uint8_t *flags,
               bool exclude_special_treatment, double *lower, double *upper,
               std::uint8_t *conflict) {
    for (std::size_t i = 0; i < n; ++i) {
        const double h = holding[i];
        double l = lower[i];
        double u = upper[i];
        std::uint8_t c = 0;
        if (flags[i] & (kSuspended | kNoPrice)) {
            if (h < l || h > u) {
                c = flags[i] & (kSuspended | kNoPrice);
            }
            l = u = h;
        } else {
            // Whatever cannot be bought may still be sold, down to the caller's lower.
            const bool no_buy = (flags[i] & kLimitUp) ||
                                (exclude_special_treatment && (flags[i] & kSpecialTreatment));
            if (no_buy) {
                if (l > h) {
                    c |= flags[i] &
                         (kLimitUp | (exclude_special_treatment ? kSpecialTreatment : 0));
                    l = h;
                }
                u = std::min(u, h);
            }
            if (flags[i] & kLimitDown) {
                if (u < h) {
                    c |= kLimitDown;
                    u = h;
                }
                l = std::max(l, h);
            }
        }
        lower[i] = l;
        upper[i] = u;
        conflict[i] = c;
    }
}

// ---------------------------------------------------------------------------
// Rounding to lots
// ---------------------------------------------------------------------------

// The share counts a position may end the day at, given what it holds now (c):
// on the main boards and ChiNext orders come in lots of 100 shares, and a sale may
// also take the odd shares (c mod 100) along; on STAR an order is at least 200
// shares and then any number. A market without lot rules (the board "other")
// trades in lots of the stock's lot size, 1 share unless the store gives one. A
// sale of the whole position is always allowed.
struct Grid {
    double current;
    bool star;
    double lot;  // shares of a lot, off STAR
    double low;  // the least the position may become: 0, or `current` when it cannot be sold
    double high; // the most: unbounded, or `current` when it cannot be bought

    static constexpr double kBoardLot = 100.0;
    static constexpr double kStarMinimum = 200.0;

    bool inside(double f) const { return f >= low && f <= high; }

    // The largest allowed count <= x (x >= 0), ignoring low/high.
    double floor_allowed(double x) const {
        const double c = current;
        if (!star) {
            // c - k lots (odd shares kept), or below c whole lots (odd shares sold).
            const double r = std::fmod(c, lot);
            const double kept = x < r ? 0.0 : r + std::floor((x - r) / lot) * lot;
            return std::max(kept, std::floor(std::min(x, c) / lot) * lot);
        }
        if (x >= c + kStarMinimum) {
            return std::floor(x);
        }
        if (x >= c) {
            return c;
        }
        if (x > c - kStarMinimum) {
            return std::max(0.0, c - kStarMinimum);
        }
        return std::floor(x);
    }

    // The smallest allowed count >= x, ignoring low/high.
    double ceil_allowed(double x) const {
        const double c = current;
        if (x <= 0.0) {
            return 0.0;
        }
        if (!star) {
            const double r = std::fmod(c, lot);
            const double kept = x <= r ? r : r + std::ceil((x - r) / lot) * lot;
            const double sold = std::ceil(x / lot) * lot;
            return sold <= c ? std::min(kept, sold) : kept;
        }
        if (x <= c - kStarMinimum) {
            return std::ceil(x);
        }
        if (x <= c) {
            return c;
        }
        if (x <= c + kStarMinimum) {
            return c + kStarMinimum;
        }
        return std::ceil(x);
    }

    // The neighbours of an allowed count f within [low, high], or NaN.
    double above(double f) const {
        const double g = ceil_allowed(f + 1.0);
        return g <= high ? g : std::numeric_limits<double>::quiet_NaN();
    }
    double below(double f) const {
        if (f < 1.0) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        const double g = floor_allowed(f - 1.0);
        return g >= low ? g : std::numeric_limits<double>::quiet_NaN();
    }

    // An allowed count inside [low, high] next to x: `up` picks the side above.
    double snap(double x, bool up) const {
        double f = up ? ceil_allowed(x) : floor_allowed(x);
        // The holding itself is always allowed and inside, so it is the fallback.
        return inside(f) ? f : current;
    }
};

struct Account {
    std::vector<Grid> grid;
    std::vector<double> price;
    std::vector<double> target; // ideal shares
    double capital = 0.0;
    double worth = 0.0; // the capital plus the holding: what the counts may be worth at most
    // How far short of 0 the cash may come out in the last bits of its sums: the
    // same account summed in another order gives a hair more or less.
    double slack = 0.0;

    bool affordable(double cash) const { return cash >= -slack; }
};

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

double added_deviation(const Account &a, std::size_t i, double from, double to) {
    return gap_at(a, i, to) - gap_at(a, i, from);
}

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

// A move of one stock to a neighbouring count and what it is worth: (key, stock,
// new count); the smallest key goes first.
using Move = std::tuple<double, std::size_t, double>;
using MoveHeap = std::priority_queue<Move, std::vector<Move>, std::greater<Move>>;

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

// ---------------------------------------------------------------------------
// The exact search for small accounts
// ---------------------------------------------------------------------------

// Accounts with at most this many stocks that can move get the exact optimum.
constexpr std::size_t kExactStocks = 8;
// A bound on the search's work (a few hundred milliseconds). Random accounts of up to
// eight stocks take a few thousand branches; one whose shortfall many combinations
// of cheap stocks cover about equally well can take longer to prove its answer than
// this allows, and then the best answer found so far stands (never worse than the
// local search's; the nearest counts are tried first, so it is found early).
constexpr std::uint64_t kExactNodes = 2'000'000;

struct Choice {
    double shares;
    double money; // shares × price
    double cost;  // |shares − ideal| × price
};

// The counts of stock i worth trying when an answer must cost less than `bound`,
// from the most shares down. Nothing above the smallest allowed count at or past the
// ideal is worth trying (it costs more deviation and more cash); below the ideal each
// step down costs its whole value, so the list ends where the shortfall alone
// would cost `bound`. At most `most` of them.
std::vector<Choice> choices_of(const Account &a, std::size_t i, double bound,
                               std::size_t most = std::numeric_limits<std::size_t>::max()) {
    const Grid &g = a.grid[i];
    const double t = a.target[i];
    const double p = a.price[i];
    double f = g.low;
    if (g.high > g.low) {
        f = g.ceil_allowed(std::max(t, g.low));
        if (f > g.high) {
            f = g.high; // the holding, which is allowed: nothing allowed lies above it
        }
    }
    std::vector<Choice> choices;
    while (!std::isnan(f) && choices.size() < most) {
        const double cost = std::fabs(f - t) * p;
        if (cost < bound) {
            choices.push_back({f, f * p, cost});
        } else if (f <= t) {
            break;
        }
        f = g.below(f);
    }
    return choices;
}

// The least deviation Σ|f − t|·p over the allowed counts f whose worth Σ f·p stays
// within the account's, by branch and bound: the stocks in order of how many counts
// they may take, the last one placed at once at the best count its budget allows.
// A branch is cut when its cost so far plus a bound on the rest reaches the best
// answer: each remaining stock costs at least its least cost r, and money short of
// Σ(t·p − r) over the rest costs at least as much again.
class ExactSearch {
  public:
    explicit ExactSearch(const Account &a) : a_(a) {}

    // Replaces `shares` by a better answer when there is one; false when the account
    // has too many stocks that can move.
    bool run(std::vector<double> &shares) {
        const std::size_t n = shares.size();
        const double incumbent = deviation_of(a_, shares);
        double budget = a_.worth + a_.slack;
        double fixed_cost = 0.0;
        // Each stock costs at least its nearest count's deviation, so one stock's
        // count is worth trying only while it costs less than the answer in hand
        // less what the others cost at the least.
        std::vector<double> least(n);
        double least_total = 0.0;
        const std::vector<double> nearest = rounded(a_, true);
        for (std::size_t i = 0; i < n; ++i) {
            least[i] = gap_at(a_, i, nearest[i]);
            least_total += least[i];
        }
        auto bound_of = [&](std::size_t i) { return incumbent - (least_total - least[i]); };
        std::vector<std::size_t> order;
        // First whether few enough stocks can move, two counts each at most: a whole
        // market is told at once.
        for (std::size_t i = 0; i < n; ++i) {
            std::vector<Choice> first = choices_of(a_, i, bound_of(i), 2);
            if (first.empty()) {
                return true; // this stock cannot cost less than the answer in hand
            }
            if (first.size() == 1) {
                budget -= first[0].money;
                fixed_cost += first[0].cost;
            } else if (order.size() == kExactStocks) {
                return false;
            } else {
                order.push_back(i);
            }
        }
        if (order.empty()) {
            return true;
        }
        std::vector<std::vector<Choice>> options(n);
        for (std::size_t i : order) {
            options[i] = choices_of(a_, i, bound_of(i));
        }
        std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            return options[x].size() < options[y].size();
        });
        const std::size_t m = order.size();
        stocks_.clear();
        for (std::size_t i : order) {
            stocks_.push_back({i, a_.target[i] * a_.price[i], std::move(options[i])});
        }
        least_cost_.assign(m + 1, 0.0);
        needed_.assign(m + 1, 0.0);
        least_money_.assign(m + 1, 0.0);
        for (std::size_t k = m; k-- > 0;) {
            const Stock &s = stocks_[k];
            double r = std::numeric_limits<double>::infinity();
            for (const Choice &c : s.choices) {
                r = std::min(r, c.cost);
            }
            least_cost_[k] = least_cost_[k + 1] + r;
            needed_[k] = needed_[k + 1] + (s.goal - r);
            least_money_[k] = least_money_[k + 1] + s.choices.back().money;
        }
        best_ = incumbent - fixed_cost - a_.slack; // only a better answer replaces it
        found_ = false;
        nodes_ = 0;
        pick_.assign(m, 0);
        best_pick_.assign(m, 0);
        descend(0, budget, 0.0);
        if (found_) {
            for (std::size_t k = 0; k < m; ++k) {
                shares[stocks_[k].index] = stocks_[k].choices[best_pick_[k]].shares;
            }
        }
        return true;
    }

  private:
    struct Stock {
        std::size_t index;
        double goal; // t·p, the money the target asks for
        std::vector<Choice> choices;
    };

    void descend(std::size_t k, double budget, double cost) {
        if (++nodes_ > kExactNodes || budget < least_money_[k]) {
            return;
        }
        const std::vector<Choice> &choices = stocks_[k].choices;
        if (k + 1 == stocks_.size()) {
            // The first count the budget allows, or the one after it when that first
            // one lies above the ideal and costs more.
            auto fits =
                std::partition_point(choices.begin(), choices.end(),
                                     [budget](const Choice &c) { return c.money > budget; });
            if (fits == choices.end()) {
                return;
            }
            auto pick = fits;
            if (fits + 1 != choices.end() && (fits + 1)->cost < fits->cost) {
                pick = fits + 1;
            }
            if (cost + pick->cost < best_) {
                best_ = cost + pick->cost;
                pick_[k] = static_cast<std::size_t>(pick - choices.begin());
                best_pick_ = pick_;
                found_ = true;
            }
            return;
        }
        const double goal = stocks_[k].goal;
        for (std::size_t c = 0; c < choices.size(); ++c) {
            const Choice &choice = choices[c];
            const double rest = budget - choice.money;
            if (rest < least_money_[k + 1]) {
                continue; // too dear: fewer shares may fit
            }
            const double bound =
                cost + choice.cost + least_cost_[k + 1] + std::max(0.0, needed_[k + 1] - rest);
            if (bound >= best_) {
                // Below the ideal a step down adds its value to the cost and at most as
                // much is saved on the rest: no fewer shares can do better.
                if (choice.money <= goal) {
                    break;
                }
                continue;
            }
            pick_[k] = c;
            descend(k + 1, rest, cost + choice.cost);
        }
    }

    const Account &a_;
    std::vector<Stock> stocks_;
    std::vector<double> least_cost_, needed_, least_money_;
    std::vector<std::size_t> pick_, best_pick_;
    double best_ = 0.0;
    bool found_ = false;
    std::uint64_t nodes_ = 0;
};

// Whole-lot share counts as close to the ideal as the cash allows. The baseline
// (each position at its nearest allowed count, then the shortfall covered step by
// step) and two starts of the ratio repair with spare cash spent; the best of them
// is improved by local moves, and on an account with few stocks that can move the
// exact search finishes it.
std::vector<double> round_to_lots(const Account &a) {
    std::vector<double> best;
    double best_deviation = std::numeric_limits<double>::infinity();
    auto offer = [&](const std::vector<double> &shares) {
        // The running cash drifts in its last bits; it is summed afresh here.
        const double deviation = deviation_of(a, shares);
        if (a.affordable(cash_of(a, shares)) && deviation < best_deviation) {
            best_deviation = deviation;
            best = shares;
        }
    };
    std::vector<double> baseline = rounded(a, true);
    double cash = cash_of(a, baseline);
    cover_shortfall(a, baseline, cash);
    offer(baseline);
    for (bool nearest : {true, false}) {
        std::vector<double> shares = rounded(a, nearest);
        cash = cash_of(a, shares);
        repair_by_ratio(a, shares, cash);
        use_spare_cash(a, shares, cash);
        offer(shares);
    }
    if (best.empty()) { // not reached: undoing every buy leaves the capital
        for (const Grid &g : a.grid) {
            best.push_back(g.current);
        }
        return best;
    }
    std::vector<double> improved = best;
    cash = cash_of(a, improved);
    improve(a, improved, cash);
    offer(improved);
    std::vector<double> exact = best;
    if (ExactSearch(a).run(exact)) {
        offer(exact);
    }
    return best;
}

// ---------------------------------------------------------------------------
// Python side
// ---------------------------------------------------------------------------

py::module_ np() { return py::module_::import("numpy"); }

py::object to_date(py::handle date) { return read_date(kModule, date); }

// The pool as a sorted list of distinct codes; one code may be given as text.
py::list pool_of(py::handle order_book_ids) {
    py::list codes;
    if (PyUnicode_Check(order_book_ids.ptr())) {
        codes.append(order_book_ids);
        return codes;
    }
    py::object iterator;
    try {
        iterator = py::iter(order_book_ids);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_TypeError)) {
            throw;
        }
        raise_in_context(attr("InvalidArgument"),
                         format("order_book_ids must be a code or an iterable of codes, not {!r}",
                                order_book_ids),
                         error);
    }
    py::set seen;
    for (py::handle code : iterator) {
        if (!PyUnicode_Check(code.ptr())) {
            invalid(format("order_book_ids must be text; got {!r}", code));
        }
        if (!seen.contains(code)) {
            seen.add(code);
            codes.append(code);
        }
    }
    codes.attr("sort")();
    return codes;
}

py::object not_negative(py::object numbers, const char *what) {
    py::object negative = numbers.attr("lt")(0.0);
    if (truthy(negative.attr("any")())) {
        invalid(format("{} must not be negative: {}", py::str(what),
                       numbers[negative].attr("to_dict")()));
    }
    return numbers;
}

// A series of per-stock numbers keyed by code, finite and not negative.
py::object stock_series(py::handle values, const char *what) {
    py::object series = ensure_series(kModule, values, py::str(what));
    reject_duplicate_keys(kModule, series, what, Language::English);
    return not_negative(numeric_series(kModule, series, py::str(what)), what);
}

py::object empty_series() {
    return attr("pd").attr("Series")(py::list(), py::arg("dtype") = "float64");
}

double finite_number(py::handle value, const char *what) {
    double result = 0.0;
    if (!real_number(value, result)) {
        invalid(format("{} must be a number, not {!r}", py::str(what), value));
    }
    if (!std::isfinite(result)) {
        invalid(format("{} must be a finite number, not {!r}", py::str(what), value));
    }
    return result;
}

template <typename T> py::array_t<T> as_array(py::handle values, const char *dtype) {
    return py::array_t<T, py::array::c_style | py::array::forcecast>(
        np().attr("ascontiguousarray")(values, py::arg("dtype") = dtype));
}

// The day's status of `codes` in their order; rows of codes with no price that
// day are NaN in `close` (and not flagged).
py::object status_for(py::list codes, py::handle date) {
    py::object status = attr("tidewell").attr("get_trading_status")(codes, date);
    return status.attr("reindex")(codes);
}

std::vector<std::uint8_t> flags_of(py::handle status, std::size_t n) {
    auto column = [&](const char *name) {
        // A stock without a row that day has NaN here: not flagged.
        return as_array<bool>(status[py::str(name)].attr("eq")(true).attr("values"), "bool");
    };
    auto suspended = column("suspended");
    auto limit_up = column("limit_up");
    auto limit_down = column("limit_down");
    auto special = column("special_treatment");
    auto missing = as_array<bool>(status[py::str("close")].attr("isna")().attr("values"), "bool");
    std::vector<std::uint8_t> flags(n);
    for (std::size_t i = 0; i < n; ++i) {
        flags[i] = (suspended.at(i) ? kSuspended : 0) | (limit_up.at(i) ? kLimitUp : 0) |
                   (limit_down.at(i) ? kLimitDown : 0) | (special.at(i) ? kSpecialTreatment : 0) |
                   (missing.at(i) ? kNoPrice : 0);
    }
    return flags;
}

// Whether nothing of `flags` can trade: every stock suspended or without a price.
bool none_trades(const std::vector<std::uint8_t> &flags) {
    return std::all_of(flags.begin(), flags.end(),
                       [](std::uint8_t f) { return (f & (kSuspended | kNoPrice)) != 0; });
}

py::object trading_status(py::object order_book_ids, py::object date) {
    return attr("tidewell").attr("get_trading_status")(pool_of(order_book_ids), to_date(date));
}

std::string reasons_of(std::uint8_t flags) {
    std::string text;
    auto add = [&](const char *reason) {
        if (!text.empty()) {
            text += ", ";
        }
        text += reason;
    };
    if (flags & kNoPrice) {
        add("not trading that day: held as it is");
    }
    if (flags & kSuspended) {
        add("suspended: held as it is");
    }
    if (flags & kLimitUp) {
        add("at limit-up: cannot be bought");
    }
    if (flags & kLimitDown) {
        add("at limit-down: cannot be sold");
    }
    if (flags & kSpecialTreatment) {
        add("special treatment: not bought");
    }
    return text;
}

// The sides of a (lower, upper) pair as the optimiser's parser reads them: None is
// 0 below and 1 above.
void sides_of(py::handle pair, double &lower, double &upper) {
    py::object low = py::reinterpret_borrow<py::object>(pair)[py::int_(0)];
    py::object high = py::reinterpret_borrow<py::object>(pair)[py::int_(1)];
    lower = low.is_none() ? 0.0 : as_double(low);
    upper = high.is_none() ? 1.0 : as_double(high);
}

// The "*" pair, which the parser does not range-check: a side that is no finite
// number, or a lower side above the upper one, which the parser would only meet as
// sums that cannot reach 1.
void check_default_pair(py::handle pair) {
    const bool sequence = PyTuple_Check(pair.ptr()) || PyList_Check(pair.ptr());
    if (!sequence || py::len(pair) != 2) {
        return; // the parser says what a pair must be
    }
    py::object sides[2] = {py::reinterpret_borrow<py::object>(pair)[py::int_(0)],
                           py::reinterpret_borrow<py::object>(pair)[py::int_(1)]};
    double values[2] = {0.0, 1.0};
    const char *names[2] = {"lower", "upper"};
    for (int k = 0; k < 2; ++k) {
        if (sides[k].is_none() || !real_number(sides[k], values[k])) {
            continue;
        }
        if (!std::isfinite(values[k])) {
            invalid(
                format("bnds['*']: the {} bound {!r} is not a finite number", names[k], sides[k]));
        }
    }
    if (values[0] > values[1]) {
        invalid(format("bnds['*']: the lower bound {!r} is above the upper bound {!r}", sides[0],
                       sides[1]));
    }
}

// The sums of the caller's lower and upper bounds over the pool. Only read once the
// parser has accepted every pair and refused their sums.
std::pair<double, double> caller_sums(py::handle bnds, py::list codes) {
    double default_lower = 0.0, default_upper = 1.0;
    py::str wildcard("*");
    if (bnds.contains(wildcard)) {
        sides_of(bnds[wildcard], default_lower, default_upper);
    }
    double lower_sum = 0.0, upper_sum = 0.0;
    for (py::handle code : codes) {
        double lower = default_lower, upper = default_upper;
        PyObject *found = PyObject_GetItem(bnds.ptr(), code.ptr());
        if (found == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
                throw py::error_already_set();
            }
            PyErr_Clear();
        } else {
            sides_of(py::reinterpret_steal<py::object>(found), lower, upper);
        }
        lower_sum += lower;
        upper_sum += upper;
    }
    return {lower_sum, upper_sum};
}

// The parser's refusals of bounds whose sums cannot reach 1 (its messages are fixed).
constexpr const char *kLowerSumTooHigh = "下限之和大于1";
constexpr const char *kUpperSumTooLow = "上限之和小于1";

// The caller's bnds over the pool as (lower, upper) arrays, read by the optimiser's
// own parser; its refusal of bounds whose sums cannot reach 1 is given in this
// module's words, with the sums.
py::object caller_bounds(py::handle bnds, py::list codes) {
    const py::ssize_t n = py::len(codes);
    if (bnds.is_none()) {
        return py::make_tuple(np().attr("zeros")(n), np().attr("ones")(n));
    }
    if (PyDict_Check(bnds.ptr()) && bnds.contains(py::str("*"))) {
        check_default_pair(bnds[py::str("*")]);
    }
    try {
        return attr("parse_bnds")(bnds, codes);
    } catch (py::error_already_set &error) {
        if (!error.matches(attr("InvalidArgument"))) {
            throw;
        }
        const std::string text = py::str(error.value()).cast<std::string>();
        if (text != kLowerSumTooHigh && text != kUpperSumTooLow) {
            throw;
        }
        auto [lower_sum, upper_sum] = caller_sums(bnds, codes);
        if (text == kLowerSumTooHigh) {
            raise_in_context(attr("InvalidArgument"),
                             format("bnds: the lower bounds sum to {:.6g} over the {} stock(s) of "
                                    "the pool, more than 1",
                                    lower_sum, n),
                             error);
        }
        raise_in_context(attr("InvalidArgument"),
                         format("bnds: the upper bounds sum to {:.6g} over the {} stock(s) of the "
                                "pool, less than 1: no fully invested portfolio fits them",
                                upper_sum, n),
                         error);
    }
}

constexpr std::size_t kListedInWarning = 20;

py::object tradable_bounds(py::object order_book_ids, py::object date, py::object holding,
                           py::object bnds, py::object exclude_special_treatment) {
    py::list codes = pool_of(order_book_ids);
    const std::size_t n = py::len(codes);
    if (n == 0) {
        invalid(py::str("order_book_ids is empty"));
    }
    py::object day = to_date(date);
    py::object weights = (holding.is_none() ? empty_series() : stock_series(holding, "holding"))
                             .attr("reindex")(codes, py::arg("fill_value") = 0.0);
    py::object above_one = weights.attr("gt")(1.0);
    if (truthy(above_one.attr("any")())) {
        invalid(
            format("holding weights must not exceed 1: {}", weights[above_one].attr("to_dict")()));
    }

    py::object parsed = caller_bounds(bnds, codes);
    auto caller_lower = as_array<double>(parsed[py::int_(0)], "float64");
    auto caller_upper = as_array<double>(parsed[py::int_(1)], "float64");
    // Copies: the caller's bounds stay as they were, for the warning.
    auto lower = as_array<double>(np().attr("array")(caller_lower), "float64");
    auto upper = as_array<double>(np().attr("array")(caller_upper), "float64");

    py::object status = status_for(codes, day);
    std::vector<std::uint8_t> flags = flags_of(status, n);
    if (none_trades(flags)) {
        invalid(format("every stock of the pool is suspended or not trading on {}: nothing can "
                       "be traded",
                       day));
    }
    auto held = as_array<double>(weights.attr("values"), "float64");
    std::vector<std::uint8_t> conflict(n);
    apply_day(n, held.data(), flags.data(), truthy(exclude_special_treatment),
              lower.mutable_data(), upper.mutable_data(), conflict.data());

    std::size_t overridden = 0;
    std::string listed;
    auto lo_in = caller_lower.unchecked<1>();
    auto hi_in = caller_upper.unchecked<1>();
    auto lo = lower.unchecked<1>();
    auto hi = upper.unchecked<1>();
    for (std::size_t i = 0; i < n; ++i) {
        if (conflict[i] == 0) {
            continue;
        }
        if (++overridden <= kListedInWarning) {
            listed +=
                py::str("\n  {} ({}): bounds ({:.4f}, {:.4f}) -> ({:.4f}, {:.4f})")
                    .format(codes[i], reasons_of(conflict[i]), lo_in(i), hi_in(i), lo(i), hi(i))
                    .cast<std::string>();
        }
    }
    if (overridden > 0) {
        if (overridden > kListedInWarning) {
            listed += "\n  ... and " + std::to_string(overridden - kListedInWarning) + " more";
        }
        warn_optimizer(kModule, format("trading on {} overrides the bounds of {} stock(s):{}", day,
                                       overridden, py::str(listed)));
    }

    double lower_sum = 0.0, upper_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        lower_sum += lo(i);
        upper_sum += hi(i);
    }
    constexpr double kSlack = 1e-9;
    if (upper_sum < 1.0 - kSlack) {
        invalid(format("on {} the stocks of the pool can reach at most {:.4%} of the portfolio "
                       "(upper bounds after the day's trading rules); a fully invested portfolio "
                       "needs 100%",
                       day, upper_sum));
    }
    if (lower_sum > 1.0 + kSlack) {
        invalid(format("on {} the stocks of the pool must keep at least {:.4%} of the portfolio "
                       "(lower bounds after the day's trading rules), more than 100%",
                       day, lower_sum));
    }
    py::dict result;
    for (std::size_t i = 0; i < n; ++i) {
        result[codes[i]] = py::make_tuple(lo(i), hi(i));
    }
    return std::move(result);
}

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

} // namespace
} // namespace vantelo

PYBIND11_MODULE(trading, m) {
    using namespace vantelo;
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
