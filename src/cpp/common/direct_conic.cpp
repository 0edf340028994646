// SCS's data (P, A, b, c and the cones) from the call's terms, in fixed slots for a
// pool: [g | zeta | y | y_active | auxiliaries].
#include "direct_internal.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

namespace vantelo {
namespace direct_detail {
namespace {

// A sparse matrix gathered as entries and turned into SCS's compressed columns.
struct Triplets {
    std::vector<std::int64_t> rows, cols;
    Vector values;
    void add(std::int64_t row, std::int64_t col, double value) {
        rows.push_back(row);
        cols.push_back(col);
        values.push_back(value);
    }
};

// Compressed sparse columns, entries of one position summed.
py::object csc(const Triplets &entries, std::int64_t rows, std::int64_t cols) {
    const std::size_t count = entries.values.size();
    std::vector<std::int64_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        return entries.cols[a] != entries.cols[b] ? entries.cols[a] < entries.cols[b]
                                                  : entries.rows[a] < entries.rows[b];
    });
    std::vector<std::int64_t> indptr(cols + 1, 0);
    std::vector<std::int64_t> indices;
    Vector data;
    indices.reserve(count);
    data.reserve(count);
    for (std::size_t at = 0; at < count; ++at) {
        const std::int64_t i = order[at];
        if (!indices.empty() && at > 0 && entries.cols[order[at - 1]] == entries.cols[i] &&
            entries.rows[order[at - 1]] == entries.rows[i]) {
            data.back() += entries.values[i];
            continue;
        }
        indices.push_back(entries.rows[i]);
        data.push_back(entries.values[i]);
        ++indptr[entries.cols[i] + 1];
    }
    for (std::int64_t c = 0; c < cols; ++c) {
        indptr[c + 1] += indptr[c];
    }
    py::array_t<std::int64_t> index_array(static_cast<py::ssize_t>(indices.size()),
                                          indices.data());
    py::array_t<std::int64_t> pointer_array(static_cast<py::ssize_t>(indptr.size()),
                                            indptr.data());
    py::object sparse = py::module_::import("scipy.sparse");
    return sparse.attr("csc_matrix")(py::make_tuple(to_array(data), index_array, pointer_array),
                                     py::arg("shape") = py::make_tuple(rows, cols));
}

} // namespace

ConicData conic_data(const Description &p, bool with_soft) {
    const std::int64_t n = p.n;
    const std::int64_t zeta = n;
    std::int64_t next = n + 1;
    const bool pool_risk = p.risk == 1;
    const std::int64_t k = p.k;
    const std::int64_t y = pool_risk ? next : -1;
    next += pool_risk ? k : 0;
    const std::int64_t y_active = p.needs_active ? next : -1;
    next += p.needs_active ? k : 0;
    std::vector<std::int64_t> turnover_at;
    for (const TurnoverTerm &term : p.turnover) {
        turnover_at.push_back(next);
        if (with_soft || term.hard) {
            next += n;
        }
    }
    // Limits on one vector of coefficients (a style's or an industry's lower and
    // upper bound) share a variable v = coefficients · g: the dense row is written
    // once.
    std::vector<std::int64_t> shared(p.linear.size(), -1);
    std::vector<std::size_t> shared_rows;
    {
        std::size_t previous = p.linear.size();
        for (std::size_t l = 0; l < p.linear.size(); ++l) {
            if (!with_soft && !p.linear[l].hard) {
                continue;
            }
            if (previous < p.linear.size() &&
                p.linear[previous].coefficients == p.linear[l].coefficients) {
                if (shared[previous] < 0) {
                    shared[previous] = next++;
                    shared_rows.push_back(previous);
                }
                shared[l] = shared[previous];
            }
            previous = l;
        }
    }
    const std::int64_t deviation_at = next;
    next += static_cast<std::int64_t>(p.deviations.size());
    const std::int64_t barrier_at = next;
    next += static_cast<std::int64_t>(p.barrier.size());
    const std::int64_t variables = next;

    Triplets a;
    Vector b;
    std::int64_t row = 0;
    auto new_row = [&](double rhs) {
        b.push_back(rhs);
        return row++;
    };
    // With a fixed scale (zeta = 1) zeta's coefficients are constants, moved to b:
    // the matrix keeps no dense column of them.
    auto zeta_entry = [&](std::int64_t r, double value) {
        if (p.scaled) {
            a.add(r, zeta, value);
        } else {
            b[r] -= value;
        }
    };
    const double *root = nullptr;
    if (k > 0) {
        root = static_cast<const double *>(py::array(p.root).data());
    }
    // root_poolᵀ g written into the rows starting at `first`, with `sign`.
    auto root_rows = [&](std::int64_t first, double sign) {
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int64_t f = 0; f < k; ++f) {
                a.add(first + f, i, sign * root[i * k + f]);
            }
        }
    };

    // Zero cone.
    const std::int64_t budget = new_row(0.0);
    for (std::int64_t i = 0; i < n; ++i) {
        a.add(budget, i, 1.0);
    }
    zeta_entry(budget, -1.0);
    if (!p.scaled) {
        a.add(new_row(1.0), zeta, 1.0); // zeta = 1
    }
    if (!p.unit_return.empty()) {
        const std::int64_t unit = new_row(1.0);
        for (std::int64_t i = 0; i < n; ++i) {
            a.add(unit, i, p.unit_return[i]);
        }
    }
    if (pool_risk) {
        const std::int64_t first = row;
        for (std::int64_t f = 0; f < k; ++f) {
            a.add(new_row(0.0), y + f, 1.0);
        }
        root_rows(first, -1.0);
    }
    // y_active − root_poolᵀ g + zeta · root_unionᵀ b = 0.
    if (p.needs_active) {
        const std::int64_t first = row;
        Vector benchmark_factor(k, 0.0);
        for (std::int64_t j = 0; j < p.union_size; ++j) {
            if (p.benchmark[j] != 0.0) {
                for (std::int64_t f = 0; f < k; ++f) {
                    benchmark_factor[f] += root[j * k + f] * p.benchmark[j];
                }
            }
        }
        for (std::int64_t f = 0; f < k; ++f) {
            const std::int64_t r = new_row(0.0);
            a.add(r, y_active + f, 1.0);
            zeta_entry(r, benchmark_factor[f]);
        }
        root_rows(first, -1.0);
    }
    for (std::size_t s = 0; s < p.deviations.size(); ++s) {
        // u − exposures · g + target · zeta = 0
        const std::int64_t r = new_row(0.0);
        a.add(r, deviation_at + static_cast<std::int64_t>(s), 1.0);
        const Vector &exposures = p.deviations[s].first;
        for (std::int64_t i = 0; i < n; ++i) {
            a.add(r, i, -exposures[i]);
        }
        zeta_entry(r, p.deviations[s].second.first);
    }
    for (std::size_t l : shared_rows) {
        const std::int64_t r = new_row(0.0);
        a.add(r, shared[l], 1.0);
        const Vector &coefficients = p.linear[l].coefficients;
        for (std::int64_t i = 0; i < n; ++i) {
            if (coefficients[i] != 0.0) {
                a.add(r, i, -coefficients[i]);
            }
        }
    }
    const std::int64_t zero_rows = row;

    // Linear cone: A x ≤ b.
    if (p.scaled) {
        zeta_entry(new_row(0.0), -1.0);
    }
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t r = new_row(0.0);
        a.add(r, i, -1.0);
        if (p.has_bounds) {
            zeta_entry(r, p.lower[i]);
        }
    }
    if (p.has_bounds) {
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t r = new_row(0.0);
            a.add(r, i, 1.0);
            zeta_entry(r, -p.upper[i]);
        }
    }
    for (std::size_t l = 0; l < p.linear.size(); ++l) {
        const LinearLimit &limit = p.linear[l];
        if (!with_soft && !limit.hard) {
            continue;
        }
        const double sign = limit.side == Bound::Upper ? 1.0 : -1.0;
        const std::int64_t r = new_row(0.0);
        if (shared[l] >= 0) {
            a.add(r, shared[l], sign);
        } else {
            for (std::int64_t i = 0; i < n; ++i) {
                if (limit.coefficients[i] != 0.0) {
                    a.add(r, i, sign * limit.coefficients[i]);
                }
            }
        }
        zeta_entry(r, -sign * limit.bound);
    }
    for (std::size_t t = 0; t < p.turnover.size(); ++t) {
        const TurnoverTerm &term = p.turnover[t];
        if (!with_soft && !term.hard) {
            continue;
        }
        const std::int64_t aux = turnover_at[t];
        double outside = 0.0;
        for (std::size_t j = static_cast<std::size_t>(n); j < term.holding.size(); ++j) {
            outside += std::fabs(term.holding[j]);
        }
        // |g_i − h_i| = (g_i − h_i) + 2 max(0, h_i − g_i), and the budget makes the
        // first part sum to zeta · (1 − Σ h_i): so the limit needs only the amounts
        // sold, s_i ≥ max(0, h_i·zeta − g_i). Each s_i then touches its own stock's
        // weight alone, which keeps the factorisation of SCS's system as sparse as
        // the problem (bounding |g_i − h_i| by a t_i through two rows per stock
        // leads its ordering to eliminate the weights first, with 2.5 times the fill).
        double held = 0.0;
        for (std::int64_t i = 0; i < n; ++i) {
            held += term.holding[i];
            // −s_i ≤ 0
            a.add(new_row(0.0), aux + i, -1.0);
            // −g_i − s_i + h_i·zeta ≤ 0
            const std::int64_t r = new_row(0.0);
            a.add(r, i, -1.0);
            a.add(r, aux + i, -1.0);
            zeta_entry(r, term.holding[i]);
        }
        // Σ s_i ≤ zeta · (2·upper − outside − 1 + Σ h_i) / 2
        const std::int64_t r = new_row(0.0);
        for (std::int64_t i = 0; i < n; ++i) {
            a.add(r, aux + i, 1.0);
        }
        zeta_entry(r, (outside + 1.0 - held - 2.0 * term.upper) / 2.0);
    }
    const std::int64_t linear_rows = row - zero_rows;

    // Second-order cones: (upper·zeta, y_active, √D (g − zeta·b) over the pool,
    // zeta·‖√D b‖ outside it).
    py::list soc;
    double outside_risk = 0.0;
    if (p.needs_active) {
        for (std::int64_t j = n; j < p.union_size; ++j) {
            outside_risk += p.specific[j] * p.benchmark[j] * p.benchmark[j];
        }
    }
    for (const TrackingErrorTerm &term : p.tracking_error) {
        if (!with_soft && !term.hard) {
            continue;
        }
        zeta_entry(new_row(0.0), -term.upper);
        for (std::int64_t f = 0; f < k; ++f) {
            a.add(new_row(0.0), y_active + f, -1.0);
        }
        for (std::int64_t i = 0; i < n; ++i) {
            const double volatility = std::sqrt(p.specific[i]);
            const std::int64_t r = new_row(0.0);
            a.add(r, i, -volatility);
            zeta_entry(r, volatility * p.benchmark[i]);
        }
        zeta_entry(new_row(0.0), -std::sqrt(outside_risk));
        soc.append(py::int_(k + n + 2));
    }

    // Exponential cones (−t_i, 1, g_i): t_i ≥ −log g_i.
    for (std::size_t e = 0; e < p.barrier.size(); ++e) {
        a.add(new_row(0.0), barrier_at + static_cast<std::int64_t>(e), 1.0);
        new_row(1.0);
        a.add(new_row(0.0), p.barrier[e], -1.0);
    }

    // The objective: ½ xᵀPx + cᵀx (+ offset), P's upper triangle.
    Triplets q;
    Vector c(variables, 0.0);
    double offset = 0.0;
    auto zeta_cross = [&](std::int64_t i, double value) {
        if (p.scaled) {
            q.add(i, zeta, value);
        } else {
            c[i] += value;
        }
    };
    if (p.risk != 0) {
        const double w = 2.0 * p.risk_weight;
        const std::int64_t factors = p.risk == 1 ? y : y_active;
        for (std::int64_t i = 0; i < n; ++i) {
            q.add(i, i, w * p.specific[i]);
        }
        for (std::int64_t f = 0; f < k; ++f) {
            q.add(factors + f, factors + f, w);
        }
        if (p.risk == 2) {
            double total = 0.0;
            for (std::int64_t j = 0; j < p.union_size; ++j) {
                total += p.specific[j] * p.benchmark[j] * p.benchmark[j];
            }
            for (std::int64_t i = 0; i < n; ++i) {
                zeta_cross(i, -w * p.specific[i] * p.benchmark[i]);
            }
            if (p.scaled) {
                q.add(zeta, zeta, w * total);
            } else {
                offset += 0.5 * w * total;
            }
        }
    }
    for (std::size_t i = 0; i < p.linear_objective.size(); ++i) {
        c[i] += p.linear_objective[i];
    }
    for (std::size_t s = 0; s < p.deviations.size(); ++s) {
        const std::int64_t at = deviation_at + static_cast<std::int64_t>(s);
        q.add(at, at, 2.0 * p.deviations[s].second.second);
    }
    for (std::size_t e = 0; e < p.barrier.size(); ++e) {
        c[barrier_at + static_cast<std::int64_t>(e)] = 1.0;
    }

    ConicData data;
    data.offset = offset;
    data.variables = variables;
    data.constraints = row;
    data.A = csc(a, row, variables);
    data.P = csc(q, variables, variables);
    data.b = to_array(b);
    data.c = to_array(c);
    data.cone["z"] = zero_rows;
    data.cone["l"] = linear_rows;
    if (py::len(soc) > 0) {
        data.cone["q"] = soc;
    }
    if (!p.barrier.empty()) {
        data.cone["ep"] = static_cast<py::ssize_t>(p.barrier.size());
    }
    data.structure = py::make_tuple(variables, row, zero_rows, linear_rows, py::tuple(soc),
                                    static_cast<py::ssize_t>(p.barrier.size()));
    return data;
}

} // namespace direct_detail
} // namespace vantelo
