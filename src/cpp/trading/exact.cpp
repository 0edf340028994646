// The exact search for small accounts, and round_to_lots, which runs the starts
// and the local moves of lots.cpp and lets the exact search finish.
#include "trading.hpp"

#include <cstdint>

namespace vantelo {
namespace trading {

namespace {

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

} // namespace

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

} // namespace trading
} // namespace vantelo
