// The minimal set: limits that cannot hold together, each one needed, trimmed by
// a deletion filter whose questions are asked of small problems of those limits
// alone.
#include "diagnose.hpp"

#include <algorithm>

namespace vantelo {
namespace diagnose {

namespace {

// A multiplier below this share of the largest cost is rounding.
constexpr double kPressure = 1e-6;
// What holding a limit costs in the elastic filter, next to its own cost.
constexpr double kHold = 1e3;

// Whether the limits in `members` cannot hold together, asked of the whole
// problem with every other limit free to move.
bool infeasible_together(Elastic &elastic, const std::set<std::size_t> &members) {
    std::vector<double> cost(elastic.size(), 0.0);
    for (std::size_t i : members) {
        cost[i] = elastic.base(i);
    }
    Solution solution = elastic.solve(cost);
    return std::any_of(solution.moved.begin(), solution.moved.end(),
                       [&](std::size_t i) { return members.count(i) > 0; });
}

// Whether sets of limits of a problem cannot hold together, each asked of one
// small problem of the candidates alone (the other limits left out), compiled once:
// a limit left out of the set asked about is free to move there.
class SubsetTest {
  public:
    SubsetTest(const Elastic &whole, const std::set<std::size_t> &candidates)
        : problem_(whole, std::vector<std::size_t>(candidates.begin(), candidates.end())) {}

    // None when no solver could tell.
    std::optional<bool> cannot_hold(const std::set<std::size_t> &members) {
        std::vector<double> cost(problem_.size(), 0.0);
        for (std::size_t k = 0; k < problem_.size(); ++k) {
            if (members.count(problem_.origin(k))) {
                cost[k] = problem_.base(k);
            }
        }
        try {
            Solution solution = problem_.solve(cost);
            return std::any_of(solution.moved.begin(), solution.moved.end(),
                               [&](std::size_t k) { return cost[k] > 0.0; });
        } catch (const DiagnosisFailure &) {
            return std::nullopt;
        }
    }

  private:
    Elastic problem_;
};

// Drops from `members` (which cannot hold together) those of `chunk` they do not
// need: the whole chunk at once where the rest still cannot hold, else each half
// in turn. Where few of many are needed, that takes far fewer solves than one per
// member.
void drop_unneeded(SubsetTest &test, std::set<std::size_t> &members,
                   const std::vector<std::size_t> &chunk) {
    if (chunk.empty()) {
        return;
    }
    std::set<std::size_t> without = members;
    for (std::size_t i : chunk) {
        without.erase(i);
    }
    if (!without.empty() && test.cannot_hold(without) == std::optional<bool>(true)) {
        members = without;
        return;
    }
    if (chunk.size() == 1) {
        return;
    }
    const auto middle = chunk.begin() + static_cast<std::ptrdiff_t>(chunk.size() / 2);
    drop_unneeded(test, members, std::vector<std::size_t>(chunk.begin(), middle));
    drop_unneeded(test, members, std::vector<std::size_t>(middle, chunk.end()));
}

} // namespace

// Limits that cannot hold together, each one needed. Those pressing on the
// relaxation (and the moved ones) cannot; without the other conflicts, those
// around the costliest one usually cannot either, and each of them that is not
// needed is dropped (asked of a small problem of them alone).
std::set<std::size_t> minimal_set(Elastic &elastic, const Solution &relaxed) {
    const std::size_t m = elastic.size();
    double largest = 0.0;
    for (double cost : relaxed.cost) {
        largest = std::max(largest, cost);
    }
    std::set<std::size_t> pressed(relaxed.moved.begin(), relaxed.moved.end());
    for (std::size_t i = 0; i < m; ++i) {
        if (relaxed.multiplier[i] > kPressure * largest) {
            pressed.insert(i);
        }
    }
    std::size_t costliest = relaxed.moved.front();
    for (std::size_t i : relaxed.moved) {
        if (relaxed.cost[i] * relaxed.slack[i] >
            relaxed.cost[costliest] * relaxed.slack[costliest]) {
            costliest = i;
        }
    }
    // Every other limit holds in the relaxation, so a set of them with the
    // costliest conflict that cannot hold needs it.
    std::set<std::size_t> members = pressed;
    for (std::size_t i : relaxed.moved) {
        if (i != costliest) {
            members.erase(i);
        }
    }
    bool needs_costliest = true;
    const std::optional<bool> yes(true);
    // Each small problem holds the members asked about and no more: a cone left
    // in it, even free to move, would make every solve a cone.
    std::optional<SubsetTest> test;
    test.emplace(elastic, members);
    bool cannot_hold = test->cannot_hold(members) == yes;
    if (!cannot_hold && relaxed.moved.size() > 1) {
        members = pressed;
        needs_costliest = false;
        test.emplace(elastic, members);
        cannot_hold = test->cannot_hold(members) == yes;
    }
    // Rounding may have blurred the multipliers: the elastic filter holds the
    // members and adds what moves next, until they cannot hold together.
    if (!cannot_hold) {
        needs_costliest = false;
        for (std::size_t round = 0; round < m && !cannot_hold; ++round) {
            std::vector<double> cost = elastic.base();
            for (std::size_t i : members) {
                cost[i] *= kHold;
            }
            Solution next = elastic.solve(cost);
            const std::size_t before = members.size();
            members.insert(next.moved.begin(), next.moved.end());
            if (members.size() == before) {
                break;
            }
            test.emplace(elastic, members);
            cannot_hold = test->cannot_hold(members) == yes;
        }
        if (!cannot_hold && !infeasible_together(elastic, members)) {
            return members;
        }
        test.emplace(elastic, members);
    }
    // Cones first (dropping one makes the later problems linear), then the limits
    // that pressed least, which are the likeliest to go.
    std::vector<std::size_t> candidates;
    for (std::size_t i : members) {
        if (!(needs_costliest && i == costliest)) {
            candidates.push_back(i);
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(), [&](std::size_t a, std::size_t b) {
        if (elastic.conic(a) != elastic.conic(b)) {
            return elastic.conic(a);
        }
        return relaxed.multiplier[a] < relaxed.multiplier[b];
    });
    auto first_linear = std::find_if(candidates.begin(), candidates.end(),
                                     [&](std::size_t i) { return !elastic.conic(i); });
    const std::size_t before = members.size();
    for (auto cone = candidates.begin(); cone != first_linear; ++cone) {
        drop_unneeded(*test, members, {*cone});
    }
    if (members.size() < before) {
        test.emplace(elastic, members);
    }
    drop_unneeded(*test, members, std::vector<std::size_t>(first_linear, candidates.end()));
    return members;
}

} // namespace diagnose
} // namespace vantelo
