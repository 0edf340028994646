// The constraint check's table of given weights against every limit: measured
// through the limits' cvxpy expressions (limit_table), or without cvxpy from the
// terms of the package's own constraints (measured_limit_table), built by one
// function either way.
#include "vantelo/core.hpp"
#include "vantelo/direct.hpp"
#include "vantelo/limits.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantelo {
namespace {

py::module_ np() { return py::module_::import("numpy"); }

std::string type_name(py::handle value) {
    return py::str(py::type::of(value).attr("__name__")).cast<std::string>();
}

} // namespace

namespace {

// One limit measured: its label, side, bound and the portfolio's value, all in
// the caller's units.
struct Measured {
    std::string label;
    Side side;
    double limit;
    double value;
};

py::object table_of(const std::vector<Measured> &rows) {
    const double nan = std::nan("");
    const auto count = static_cast<py::ssize_t>(rows.size());
    // A backtest asks for this table every date: the columns are filled in place.
    py::list labels(count);
    py::array_t<double> value_column(count), lower_column(count), upper_column(count),
        slack_column(count);
    py::array_t<bool> binding_column(count), violated_column(count);
    auto value = value_column.mutable_unchecked<1>();
    auto lower = lower_column.mutable_unchecked<1>();
    auto upper = upper_column.mutable_unchecked<1>();
    auto slack = slack_column.mutable_unchecked<1>();
    auto binding = binding_column.mutable_unchecked<1>();
    auto violated = violated_column.mutable_unchecked<1>();
    for (py::ssize_t i = 0; i < count; ++i) {
        const Measured &row = rows[static_cast<std::size_t>(i)];
        const double gap = row.side == Side::Lower   ? row.value - row.limit
                           : row.side == Side::Upper ? row.limit - row.value
                                                     : -std::fabs(row.value - row.limit);
        labels[i] = py::str(row.label);
        value(i) = row.value;
        lower(i) = row.side == Side::Upper ? nan : row.limit;
        upper(i) = row.side == Side::Lower ? nan : row.limit;
        slack(i) = gap;
        // NaN (a share of an industry the portfolio does not hold) is neither.
        binding(i) = std::fabs(gap) <= kBindingTolerance;
        violated(i) = gap < -kLimitTolerance;
    }
    py::dict columns;
    columns["label"] = labels;
    columns["value"] = value_column;
    columns["lower"] = lower_column;
    columns["upper"] = upper_column;
    columns["slack"] = slack_column;
    columns["binding"] = binding_column;
    columns["violated"] = violated_column;
    return py::module_::import("pandas").attr("DataFrame")(columns);
}

// The numbers of the package's own constraints, measured without cvxpy: the
// terms each object's to_constraints is built from, labelled (by industry, style
// or stock) and ordered as enumerate_limits labels and orders them.
class NumericMeasure {
  public:
    NumericMeasure(py::handle values, py::handle helper)
        : w_(to_doubles(values)),
          weights_(np().attr("asarray")(values, py::arg("dtype") = "float64")),
          helper_(py::reinterpret_borrow<py::object>(helper)),
          read_(module_attr("vantelo.constraints", "_constraint_terms")) {}

    std::vector<Measured> rows;

    void add(const std::string &label, Side side, double limit, double value) {
        rows.push_back({label + " " + side_name(side), side, limit, value});
    }

    double dot(py::handle coefficients) const {
        return as_double(
            matmul(np().attr("asarray")(coefficients, py::arg("dtype") = "float64"), weights_));
    }

    // An industry's or a style's terms carry its name, which the label gives after
    // the class's, as the cvxpy measure labels the object's rule for that name.
    void linear_terms(const std::string &base, py::handle owner) {
        for (py::handle term : py::list(terms_(owner, helper_))) {
            std::string label = base;
            if (term.contains("name")) {
                label += " " + py::str(term["name"]).cast<std::string>();
            }
            add(label, side_of(term), as_double(term["bound"]), dot(term["coefficients"]));
        }
    }

    // `given`: the object's terms as a solve read them, or None to read them here.
    void constraint(py::handle owner, py::handle given) {
        given_ = py::reinterpret_borrow<py::object>(given);
        py::module_ constraints = py::module_::import("vantelo.constraints");
        auto is = [&](const char *name) { return py::type::of(owner).is(constraints.attr(name)); };
        if (is("TrackingErrorLimit")) {
            if (py::len(terms_(owner, helper_)) > 0) {
                add("TrackingErrorLimit", Side::Upper, as_double(owner.attr("upper")),
                    ex_ante_risk(helper_, weights_).second);
            }
        } else if (is("TurnoverLimit")) {
            for (py::handle term : py::list(terms_(owner, helper_))) {
                // Held stocks outside the pool are sold off: the weights padded with 0.
                py::object holding =
                    np().attr("asarray")(term["holding"], py::arg("dtype") = "float64");
                py::object held = np().attr("zeros")(py::len(holding));
                held[py::slice(0, static_cast<py::ssize_t>(w_.size()), 1)] = weights_;
                const double traded = as_double(np().attr("abs")(held - holding).attr("sum")());
                add("TurnoverLimit", Side::Upper, as_double(term["upper"]), traded / 2.0);
            }
        } else if (is("IndustryComponentLimit")) {
            component(owner);
        } else {
            // Industries and styles by name; BenchmarkComponentWeightLimit, one
            // linear side, by its class alone.
            linear_terms(type_name(owner), owner);
        }
    }

  private:
    static std::vector<double> to_doubles(py::handle values) {
        return np()
            .attr("asarray")(values, py::arg("dtype") = "float64")
            .cast<std::vector<double>>();
    }
    static Side side_of(py::handle term) {
        return py::str(term["side"]).equal(py::str("lower")) ? Side::Lower : Side::Upper;
    }

    void component(py::handle owner) {
        py::list terms = terms_(owner, helper_);
        if (py::len(terms) == 0) {
            return;
        }
        const double total = dot(terms[0]["selector"]);
        py::list codes = list_copy(helper_.attr("order_book_ids"));
        const std::string base =
            "IndustryComponentLimit " + py::str(owner.attr("industry")).cast<std::string>() + " ";
        for (py::handle term : terms) {
            const py::ssize_t stock = term["stock"].cast<py::ssize_t>();
            const double share = std::fabs(total) > 1e-12 ? w_[stock] / total : std::nan("");
            add(base + py::str(codes[stock]).cast<std::string>(), side_of(term),
                as_double(term["bound"]), share);
        }
    }

    py::list terms_(py::handle owner, py::handle helper) const {
        return given_.is_none() ? py::list(read_(owner, helper)) : py::list(given_);
    }

    std::vector<double> w_;
    py::object weights_; // the same, as a float array
    py::object helper_;
    py::object read_;
    py::object given_ = py::none();
};

// Measured without cvxpy when every constraint says what it demands in its terms
// (a class a caller changed keeps the meaning the caller gave it).
bool numeric_measure_serves(py::handle cons) {
    if (cons.is_none()) {
        return true;
    }
    for (py::handle owner : cons) {
        if (!is_own_constraint(owner)) {
            return false;
        }
    }
    return true;
}

void make_unique(std::vector<Measured> &rows) {
    std::unordered_map<std::string, int> seen;
    seen.reserve(rows.size());
    for (Measured &row : rows) {
        const int count = ++seen[row.label];
        if (count > 1) {
            row.label += " (" + std::to_string(count) + ")";
        }
    }
}

} // namespace

py::object limit_table(py::handle g, py::handle values, py::handle pool, py::handle bnds,
                       py::handle cons, py::handle helper) {
    LimitSet limits = enumerate_limits(g, pool, py::none(), bnds, cons, helper, py::float_(1.0));
    g.attr("value") = values;
    std::vector<Measured> rows;
    for (const LimitGroup &group : limits.groups) {
        py::object group_values = limit_values(group);
        const py::ssize_t count = py::len(group.labels);
        for (py::ssize_t i = 0; i < count; ++i) {
            rows.push_back({group.labels[py::int_(i)].cast<std::string>(), group.side,
                            as_double(group.limits[py::int_(i)]),
                            as_double(group_values[py::int_(i)])});
        }
    }
    return table_of(rows);
}

py::object measured_limit_table(py::handle values, py::handle pool, py::handle bnds,
                                py::handle cons, py::handle helper,
                                const std::function<py::object()> &variable, py::handle terms) {
    if (!numeric_measure_serves(cons)) {
        py::object g = variable();
        return limit_table(g, values, pool, bnds, cons, helper);
    }
    NumericMeasure measure(values, helper);
    std::vector<double> w =
        np().attr("asarray")(values, py::arg("dtype") = "float64").cast<std::vector<double>>();
    double total = 0.0;
    for (double value : w) {
        total += value;
    }
    measure.rows.push_back({"full investment", Side::Equal, 1.0, total});
    if (!bnds.is_none()) {
        py::list codes = list_copy(pool);
        py::tuple bounds = module_attr("vantelo.optimize", "parse_bnds")(bnds, pool);
        for (int side = 0; side < 2; ++side) {
            std::vector<double> limit =
                np().attr("asarray")(bounds[side], py::arg("dtype") = "float64")
                    .cast<std::vector<double>>();
            for (std::size_t i = 0; i < w.size(); ++i) {
                measure.add("bnds " + py::str(codes[i]).cast<std::string>(),
                            side == 0 ? Side::Lower : Side::Upper, limit[i], w[i]);
            }
        }
    }
    if (!cons.is_none()) {
        py::ssize_t k = 0;
        for (py::handle owner : cons) {
            py::object given =
                terms.is_none() ? py::object(py::none()) : py::object(terms[py::int_(k)]);
            measure.constraint(owner, given);
            ++k;
        }
    }
    make_unique(measure.rows);
    return table_of(measure.rows);
}

} // namespace vantelo
