"""explain_infeasibility and check_constraints, on problems whose conflict is known
by construction (stand-in market of conftest), checked against independent solves."""

import copy
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest
from conftest import DATE, FakeHelper, stock

import vantelo.constraints as vc
import vantelo.diagnose as diagnose
import vantelo.optimize as optimize
from vantelo.benchmark import OptimizeBenchmark
from vantelo.diagnose import InfeasibilityReport, check_constraints, explain_infeasibility
from vantelo.exception import InvalidArgument, OptimizationFailed, OptimizerWarning
from vantelo.objective import MaxSharpeRatio, MinTrackingError, MinVariance

POOL = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG", "600003.XSHG"]
INDUSTRIES = ["A", "A", "B", "B", "C", "C"]
HOLDING = pd.Series({"000001.XSHE": 0.5, "000002.XSHE": 0.5})


class ClarabelMinVariance(MinVariance):
    def get_preferred_solver(self):
        return "CLARABEL"


class ClarabelMinTrackingError(MinTrackingError):
    def get_preferred_solver(self):
        return "CLARABEL"


class Bench(OptimizeBenchmark):
    def get_weight(self, date):
        raise AssertionError("the stand-in helper holds the weights")


class OnlyFirstStockEmpty(vc.OptimizationConstraint):
    """A caller's own constraint: the first stock holds nothing."""

    @property
    def hard(self):
        return True

    def to_constraints(self, g, zeta, helper):
        return [g[0] <= 0.0]


@pytest.fixture
def market(fake_market):
    fake_market.records["600003.XSHG"] = stock("600003.XSHG")
    fake_market.helper_options.update(
        industries=INDUSTRIES,
        benchmark_weights={"000001.XSHE": 0.3, "600002.XSHG": 0.2, "900001.XSHG": 0.5},
        factor_form=True,
    )
    return fake_market


def helper_for(market, benchmark=None):
    return FakeHelper(POOL, benchmark=benchmark, **market.helper_options)


def style_range(market, style):
    exposure = helper_for(market).get_factor_exposure()[style]
    return exposure.min(), exposure.max()


def min_tracking_error(market, bnds):
    weights = optimize.portfolio_optimize(
        POOL, DATE, ClarabelMinTrackingError(), bnds=bnds, benchmark=Bench()
    )
    helper = helper_for(market)
    active = weights.reindex(helper.union_components, fill_value=0.0) - helper.benchmark_weight
    return float(np.sqrt(active.values @ helper.get_union_cov_matrix() @ active.values))


def feasible_alone(market, case, labels):
    """Independently of the diagnosis: can the limits named by `labels` hold together?"""
    helper = helper_for(market)
    g = cp.Variable(len(POOL), nonneg=True)
    constraints = []
    for label in labels:
        if label == "full investment":
            constraints.append(cp.sum(g) == 1)
        elif label.startswith("bnds "):
            _, code, side = label.split()
            lower, upper = case["bnds"].get(code, case["bnds"].get("*"))
            i = POOL.index(code)
            constraints.append(g[i] >= lower if side == "lower" else g[i] <= upper)
        else:
            constraints += case["by_label"][label].to_constraints(g, 1.0, helper)
    problem = cp.Problem(cp.Minimize(0), constraints)
    problem.solve(solver="CLARABEL")
    assert problem.status in ("optimal", "infeasible"), problem.status
    return problem.status == "optimal"


def cases(market):
    """name -> bnds, cons, the expected minimal set, and the objects by label."""
    low, high = style_range(market, "size")
    style = vc.StyleConstraint("size", lower_limit=high + 0.5)
    floors = [vc.IndustryConstraint(i, lower_limit=0.35) for i in "AB"]
    turnover = vc.TurnoverLimit(HOLDING, 0.4)
    cap = vc.IndustryConstraint("A", upper_limit=0.05)
    harmless = [
        vc.StyleConstraint(s, lower_limit=low - 60, upper_limit=high + 60)
        for s in ["beta", "growth", "momentum", "leverage", "liquidity"]
    ]
    harmless += [vc.IndustryConstraint(i, lower_limit=0.001, upper_limit=0.99) for i in "BC"]
    harmless += [vc.TurnoverLimit(HOLDING, 1.0), vc.BenchmarkComponentWeightLimit(0.0)]
    harmless += [vc.IndustryComponentLimit("B", upper_limit=0.999)]
    harmless += [vc.WildcardIndustryConstraint(exclude="A", upper_limit=0.98)]
    harmless += [vc.TrackingErrorLimit(5.0), vc.StyleConstraint("size", upper_limit=high + 1)]
    harmless += [vc.IndustryConstraint("C", upper_limit=0.97, hard=False)] * 7
    assert len(harmless) == 20
    return {
        "industry floors past the bounds' room": dict(
            bnds={"600002.XSHG": (0.4, 1.0)},
            cons=floors,
            expected={
                "full investment",
                "bnds 600002.XSHG lower",
                "IndustryConstraint A lower",
                "IndustryConstraint B lower",
            },
            by_label={
                "IndustryConstraint A lower": floors[0],
                "IndustryConstraint B lower": floors[1],
            },
        ),
        "unreachable style band": dict(
            bnds=None,
            cons=[style],
            expected={"full investment", "StyleConstraint size lower"},
            by_label={"StyleConstraint size lower": style},
            attainable=high,
        ),
        "turnover a bound forces past": dict(
            bnds={"600000.XSHG": (0.6, 1.0)},
            cons=[turnover],
            expected={"full investment", "bnds 600000.XSHG lower", "TurnoverLimit upper"},
            by_label={"TurnoverLimit upper": turnover},
            attainable=0.6,
        ),
        "conflict hidden among twenty harmless constraints": dict(
            bnds={"*": (0.0, 0.9), "000001.XSHE": (0.1, 0.9)},
            cons=harmless[:10] + [cap] + harmless[10:],
            expected={"bnds 000001.XSHE lower", "IndustryConstraint A upper"},
            by_label={"IndustryConstraint A upper": cap},
        ),
    }


CASES = [
    "industry floors past the bounds' room",
    "unreachable style band",
    "turnover a bound forces past",
    "conflict hidden among twenty harmless constraints",
]


def relaxed(case, report, rows=None):
    """The case's bnds and cons with every listed limit (or those of `rows`) moved by
    its relaxation."""
    bnds = copy.deepcopy(case["bnds"])
    cons = list(case["cons"])
    for row in report.conflicts.itertuples() if rows is None else rows:
        step = row.relaxation + 1e-6
        if row.label.startswith("bnds "):
            _, code, side = row.label.split()
            lower, upper = bnds.get(code, bnds.get("*", (0.0, 1.0)))
            bnds[code] = (lower - step, upper) if side == "lower" else (lower, upper + step)
        elif row.constraint is not None:
            moved = copy.copy(row.constraint)
            if row.side == "lower":
                moved.lower = moved.lower - step
            else:
                moved.upper = moved.upper + step
            cons = [moved if c is row.constraint else c for c in cons]
    return bnds, cons


@pytest.mark.parametrize("name", CASES)
def test_conflicts_known_by_construction(market, name):
    case = cases(market)[name]
    report = explain_infeasibility(POOL, DATE, bnds=case["bnds"], cons=case["cons"])
    assert isinstance(report, InfeasibilityReport) and not report.feasible
    assert set(report.minimal_set) == case["expected"]
    assert not feasible_alone(market, case, report.minimal_set)
    for member in report.minimal_set:
        rest = [label for label in report.minimal_set if label != member]
        assert feasible_alone(market, case, rest), member
    conflicts = report.conflicts
    assert list(conflicts.columns[:6]) == [
        "label",
        "constraint",
        "side",
        "limit",
        "attainable",
        "relaxation",
    ]
    assert set(conflicts.label) <= case["expected"]
    assert (conflicts.relaxation > 0).all()
    if "attainable" in case:
        row = conflicts.set_index("label").loc[next(iter(case["by_label"]))]
        assert row.attainable == pytest.approx(case["attainable"], abs=1e-6)
    # Moving the listed limits (full investment is not an argument) is enough.
    bnds, cons = relaxed(case, report)
    weights = optimize.portfolio_optimize(POOL, DATE, ClarabelMinVariance(), bnds, cons)
    assert weights.sum() == pytest.approx(1.0)


def solvable(case, bnds, cons):
    """Whether portfolio_optimize finds a portfolio, with Clarabel."""
    try:
        optimize.portfolio_optimize(POOL, DATE, ClarabelMinVariance(), bnds, cons)
    except OptimizationFailed:
        return False
    return True


def assert_cheapest(case, report):
    """Moving every listed limit by its relaxation is enough, and no listed limit
    could stay where it is: the report asks for no more than it must."""
    assert solvable(case, *relaxed(case, report))
    rows = list(report.conflicts.itertuples())
    for kept in rows:
        others = [row for row in rows if row is not kept]
        assert not solvable(case, *relaxed(case, report, others)), kept.label


def assert_minimal_set(market, case, report):
    assert not feasible_alone(market, case, report.minimal_set)
    for member in report.minimal_set:
        rest = [label for label in report.minimal_set if label != member]
        assert feasible_alone(market, case, rest), member


def without_simplex():
    return [entry for entry in diagnose.SOLVERS if entry[0] != "SCIPY"]


def tie_cases():
    """Two limits, either of which can move alone by the same amount: the cheapest
    relaxation moves one, the one given last."""
    turnover = vc.TurnoverLimit({"000001.XSHE": 1.0}, 0.05)
    floors = [vc.IndustryConstraint(i, lower_limit=0.6) for i in "AB"]
    return {
        # 000001.XSHE at most 0.3, but at least 0.95 to trade at most 5%.
        "a stock's cap or the turnover": dict(
            bnds={"*": (0.0, 0.3)},
            cons=[turnover],
            by_label={"TurnoverLimit upper": turnover},
            moved="TurnoverLimit upper",
            relaxation=0.65,
        ),
        # Two industry floors summing past 1.
        "either industry floor": dict(
            bnds={"*": (0.0, 0.5)},
            cons=floors,
            by_label={
                "IndustryConstraint A lower": floors[0],
                "IndustryConstraint B lower": floors[1],
            },
            moved="IndustryConstraint B lower",
            relaxation=0.2,
        ),
    }


@pytest.mark.parametrize("interior_point", [False, True], ids=["as shipped", "interior point"])
@pytest.mark.parametrize("conic", [False, True], ids=["linear", "with a cone"])
@pytest.mark.parametrize("name", list(tie_cases()))
def test_a_tie_moves_one_limit_and_rounding_is_not_listed(
    market, monkeypatch, name, conic, interior_point
):
    case = tie_cases()[name]
    if conic:
        # A tracking-error limit far from binding makes the problem a cone.
        case["cons"] = case["cons"] + [vc.TrackingErrorLimit(5.0)]
    if interior_point:
        monkeypatch.setattr(diagnose, "SOLVERS", without_simplex())
    report = explain_infeasibility(POOL, DATE, bnds=case["bnds"], cons=case["cons"])
    assert not report.feasible
    assert list(report.conflicts.label) == [case["moved"]]
    assert report.conflicts.relaxation.iloc[0] == pytest.approx(case["relaxation"], abs=1e-6)
    assert_cheapest(case, report)
    assert_minimal_set(market, case, report)


@pytest.mark.parametrize("name", ["a stock's cap or the turnover", "two industry floors past 1"])
def test_on_the_demo_market_one_limit_moves_where_one_suffices(name):
    import tidewell

    day = "2025-06-30"
    pool = sorted(tidewell.index_weights("990300.XSHG", day).index)[:60]
    bnds = {"*": (0.0, 0.1)}
    if name == "a stock's cap or the turnover":
        assert "000022.XSHE" in pool
        cons = [vc.TurnoverLimit({"000022.XSHE": 1.0}, 0.05)]
        moved, relaxation = "TurnoverLimit upper", 0.85
    else:
        # Six stocks each at most 0.1: either floor can hold, not both.
        first, second = tidewell.get_industry(pool, day).value_counts().index[:2]
        cons = [vc.IndustryConstraint(i, lower_limit=0.55) for i in (first, second)]
        moved, relaxation = f"IndustryConstraint {second} lower", 0.1
    report = explain_infeasibility(pool, day, bnds=bnds, cons=cons)
    assert list(report.conflicts.label) == [moved]
    row = report.conflicts.iloc[0]
    assert row.relaxation == pytest.approx(relaxation, abs=1e-6)
    step = relaxation + 1e-6
    relaxed_limit = copy.copy(row.constraint)
    if row.side == "lower":
        relaxed_limit.lower -= step
    else:
        relaxed_limit.upper += step
    others = [c for c in cons if c is not row.constraint]
    weights = optimize.portfolio_optimize(
        pool, day, ClarabelMinVariance(), bnds, others + [relaxed_limit]
    )
    assert weights.sum() == pytest.approx(1.0)


def test_the_demo_problem_is_diagnosed():
    """The demo's infeasible problem, on which the first solver once gave up: the
    report names limits whose relaxation makes the problem solvable."""
    import tidewell

    day, index = "2025-06-30", "990300.XSHG"
    pool = sorted(tidewell.index_weights(index, day).index)
    bnds = {"*": (0.0, 0.05)}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        previous = optimize.portfolio_optimize(pool, "2025-05-30", bnds=bnds)
        cons = [
            vc.WildcardIndustryConstraint(lower_limit=-0.03, upper_limit=0.03, relative=True),
            vc.wildcard_style_constraint(lower_limit=-0.3, upper_limit=0.3, relative=True),
            vc.TurnoverLimit(previous, 0.3),
            vc.TrackingErrorLimit(0.02),
        ]
        report = explain_infeasibility(pool, day, bnds=bnds, cons=cons, benchmark=index)
        assert report.diagnosed and not report.feasible and len(report.conflicts)
        for row in report.conflicts.itertuples():
            assert row.constraint in cons and row.side == "upper", row.label
            row.constraint.upper += row.relaxation + 1e-4
        weights = optimize.portfolio_optimize(
            pool, day, ClarabelMinVariance(), bnds, cons, benchmark=index
        )
    assert weights.sum() == pytest.approx(1.0)


def test_several_conflicts_of_different_kinds_at_once(market):
    low, high = style_range(market, "size")
    turnover = vc.TurnoverLimit({"000002.XSHE": 1.0}, 0.5)
    cap = vc.IndustryConstraint("C", upper_limit=0.2)
    style = vc.StyleConstraint("size", lower_limit=high + 0.5)
    tracking = vc.TrackingErrorLimit(1e-4)
    case = dict(
        # 600002.XSHG's floor above its industry's cap; 000002.XSHE held whole and
        # capped at 0.4, with half of it to trade at most; a size exposure no
        # portfolio has; a tracking error next to nothing.
        bnds={"*": (0.0, 0.4), "600002.XSHG": (0.3, 0.4)},
        cons=[cap, turnover, style, tracking],
        by_label={
            "IndustryConstraint C upper": cap,
            "TurnoverLimit upper": turnover,
            "StyleConstraint size lower": style,
            "TrackingErrorLimit upper": tracking,
        },
    )
    report = explain_infeasibility(
        POOL, DATE, bnds=case["bnds"], cons=case["cons"], benchmark=Bench()
    )
    rows = report.conflicts.set_index("label")
    # Each collision moves one of its limits, by what it lacks.
    pairs = [
        ("bnds 600002.XSHG lower", "IndustryConstraint C upper"),
        ("bnds 000002.XSHE upper", "TurnoverLimit upper"),
    ]
    for pair in pairs:
        (moved,) = set(rows.index) & set(pair)
        assert rows.loc[moved, "relaxation"] == pytest.approx(0.1, abs=1e-6), moved
    assert {"StyleConstraint size lower", "TrackingErrorLimit upper"} <= set(rows.index)
    assert len(rows) == 4
    assert rows.loc["StyleConstraint size lower", "attainable"] <= high + 1e-6
    assert_cheapest(case, report)
    assert_minimal_set(market, case, report)


def test_a_failing_solver_hands_the_problem_to_the_next(market, monkeypatch):
    stalls = ("CLARABEL", {"max_iter": 1}, 1e-6)
    monkeypatch.setattr(diagnose, "SOLVERS", [stalls] + without_simplex()[1:])
    case = cases(market)["unreachable style band"]
    report = explain_infeasibility(POOL, DATE, bnds=case["bnds"], cons=case["cons"])
    assert report.diagnosed and report.solver == "SCS" and report.reason == ""
    assert set(report.minimal_set) == case["expected"]
    row = report.conflicts.set_index("label").loc["StyleConstraint size lower"]
    assert row.attainable == pytest.approx(case["attainable"], abs=1e-4)


@pytest.mark.parametrize(
    "solvers, reason",
    [
        (
            [("CLARABEL", {"max_iter": 1}, 1e-6), ("SCS", {"max_iters": 1}, 1e-5)],
            "no solver could solve the relaxed problem (CLARABEL: stopped with status "
            "'user_limit'; SCS: stopped with status 'optimal_inaccurate')",
        ),
        ([("NO_SUCH_SOLVER", {}, 1e-6)], "none of the solvers in SOLVERS is installed"),
    ],
)
def test_without_a_solver_that_can_the_report_says_why(market, monkeypatch, solvers, reason):
    monkeypatch.setattr(diagnose, "SOLVERS", solvers)
    case = cases(market)["conflict hidden among twenty harmless constraints"]
    hard = [c for c in case["cons"] if c.hard]
    report = explain_infeasibility(POOL, DATE, bnds=case["bnds"], cons=hard)
    assert not report.diagnosed and report.reason == reason and report.solver is None
    assert not report.feasible and report.conflicts.empty and report.minimal_set == []
    assert str(report) == f"The diagnosis could not be made: {reason}"
    # The optimisation's failure carries the same account, never None.
    with pytest.raises(OptimizationFailed) as failure:
        optimize.portfolio_optimize(POOL, DATE, bnds=case["bnds"], cons=hard)
    assert isinstance(failure.value.diagnosis, InfeasibilityReport)
    assert failure.value.diagnosis.reason == reason


def test_a_diagnosis_that_raises_still_gives_a_report(market):
    class NoDataTwice(vc.OptimizationConstraint):
        """A caller's constraint whose data is gone by the time of the diagnosis."""

        hard = True

        def to_constraints(self, g, zeta, helper):
            raise RuntimeError("no data for the date")

    report = diagnose._explain_failure(POOL, MinVariance(), None, [NoDataTwice()], None)
    assert not report.diagnosed and not report.feasible
    assert report.reason == "the diagnosis raised RuntimeError: no data for the date"


@pytest.mark.parametrize("factor_form", [True, False])
def test_tracking_error_relaxed_to_the_smallest_attainable(market, factor_form):
    market.helper_options["factor_form"] = factor_form
    bnds = {"*": (0.0, 0.4)}
    smallest = min_tracking_error(market, bnds)
    limit = vc.TrackingErrorLimit(smallest / 2)
    report = explain_infeasibility(POOL, DATE, bnds=bnds, cons=[limit])
    row = report.conflicts.set_index("label").loc["TrackingErrorLimit upper"]
    assert row.constraint is limit and row.side == "upper" and row.limit == smallest / 2
    assert row.attainable == pytest.approx(smallest, abs=1e-4)
    assert row.relaxation == pytest.approx(smallest / 2, abs=1e-4)
    assert "TrackingErrorLimit upper" in report.minimal_set
    relaxed_limit = vc.TrackingErrorLimit(smallest / 2 + row.relaxation + 1e-6)
    optimize.portfolio_optimize(POOL, DATE, ClarabelMinVariance(), bnds, [relaxed_limit])


def test_feasible_problem_has_no_conflicts(market):
    report = explain_infeasibility(
        POOL, DATE, bnds={"*": (0.0, 0.3)}, cons=[vc.IndustryConstraint("A", upper_limit=0.3)]
    )
    assert report.feasible and report.hard_only_feasible
    assert report.conflicts.empty and report.minimal_set == []
    assert str(report) == repr(report) == "Feasible: every limit can hold together."


def test_soft_constraints_in_the_way_are_named(market):
    soft = vc.IndustryConstraint("A", upper_limit=0.05, hard=False)
    bnds = {"000001.XSHE": (0.1, 1.0)}
    with pytest.warns(OptimizerWarning, match="放弃所有软约束重试"):
        optimize.portfolio_optimize(POOL, DATE, bnds=bnds, cons=[soft])
    report = explain_infeasibility(POOL, DATE, bnds=bnds, cons=[soft])
    assert not report.feasible and report.hard_only_feasible
    row = report.conflicts.set_index("label").loc["IndustryConstraint A upper"]
    assert row.constraint is soft and not row.hard
    assert "without the soft ones a solution exists" in str(report)
    assert "IndustryConstraint A upper" in str(report)


def test_own_constraint_class_gets_a_generic_label(market):
    report = explain_infeasibility(
        POOL, DATE, bnds={"000001.XSHE": (0.2, 1.0)}, cons=[OnlyFirstStockEmpty()]
    )
    assert set(report.minimal_set) == {"OnlyFirstStockEmpty upper", "bnds 000001.XSHE lower"}


def test_optimization_failed_carries_the_diagnosis(market):
    case = cases(market)["conflict hidden among twenty harmless constraints"]
    hard = [c for c in case["cons"] if c.hard]
    with pytest.raises(OptimizationFailed) as failure:
        optimize.portfolio_optimize(POOL, DATE, bnds=case["bnds"], cons=hard)
    error = failure.value
    assert len(error.args) == 1 and not isinstance(error.args[0], str)
    assert isinstance(error.diagnosis, InfeasibilityReport)
    assert set(error.diagnosis.minimal_set) == case["expected"]


def test_other_failures_carry_no_diagnosis(market):
    class NoSuchSolver(MinVariance):
        def get_preferred_solver(self):
            return "NO_SUCH_SOLVER"

    with pytest.raises(OptimizationFailed) as failure:
        optimize.portfolio_optimize(POOL, DATE, NoSuchSolver())
    assert failure.value.args == ("failed",) and failure.value.diagnosis is None


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(order_book_ids=[]), "经过剔除后，股票池为空"),
        (dict(objective="MinVariance"), "非法的目标函数"),
        (dict(objective=MinTrackingError()), "必须传入 benchmark 参数"),
        (dict(benchmark=3), "无效的benchmark"),
    ],
)
def test_arguments_rejected_as_portfolio_optimize_rejects_them(market, kwargs, message):
    arguments = dict(order_book_ids=POOL, date=DATE)
    arguments.update(kwargs)
    with pytest.raises(InvalidArgument, match=message):
        explain_infeasibility(**arguments)


# ---------------------------------------------------------------------------
# check_constraints
# ---------------------------------------------------------------------------


def test_check_on_optimised_weights(market):
    # Upper bounds that add up to 1: every one binds, and industry A holds 0.5.
    bnds = {"*": (0.0, 0.25), "600000.XSHG": (0.0, 0.0), "600001.XSHG": (0.0, 0.0)}
    cons = [
        vc.IndustryConstraint("A", lower_limit=0.5),
        vc.IndustryConstraint("C", upper_limit=0.9),
        vc.StyleConstraint("beta", lower_limit=-50, upper_limit=50),
    ]
    weights = optimize.portfolio_optimize(POOL, DATE, ClarabelMinVariance(), bnds, cons)
    table = check_constraints(weights, DATE, bnds=bnds, cons=cons)
    assert list(table.columns) == [
        "label",
        "value",
        "lower",
        "upper",
        "slack",
        "binding",
        "violated",
    ]
    assert table.slack.min() > -1e-3 and not table.violated.any()
    rows = table.set_index("label")
    assert rows.loc["full investment", "binding"]
    # Every bound is a limit, 0 included: the upper ones all bind, and the lower
    # ones bind where a stock holds nothing.
    uppers = rows.filter(regex=r"^bnds .* upper$", axis=0)
    lowers = rows.filter(regex=r"^bnds .* lower$", axis=0)
    assert len(uppers) == len(lowers) == 6 and uppers.binding.all()
    assert list(lowers.index[lowers.binding]) == [
        "bnds 600000.XSHG lower",
        "bnds 600001.XSHG lower",
    ]
    assert rows.loc["IndustryConstraint A lower", "binding"]
    loose = ["IndustryConstraint C upper", "StyleConstraint beta lower"]
    loose += ["StyleConstraint beta upper"]
    assert not rows.loc[loose].binding.any()


def test_check_values_match_dense_arithmetic(market):
    weights = pd.Series([0.3, 0.1, 0.2, 0.15, 0.15, 0.1], index=POOL)
    helper = helper_for(market)
    cons = [
        vc.TrackingErrorLimit(0.01),
        vc.TurnoverLimit(HOLDING, 0.2),
        vc.StyleConstraint("momentum", lower_limit=-0.1),
        vc.IndustryComponentLimit("A", lower_limit=0.1, upper_limit=0.7),
    ]
    table = check_constraints(weights, DATE, bnds={"*": (0.0, 0.25)}, cons=cons)
    rows = table.set_index("label")
    active = weights.reindex(helper.union_components, fill_value=0.0) - helper.benchmark_weight
    te = np.sqrt(active.values @ helper.get_union_cov_matrix() @ active.values)
    assert rows.loc["TrackingErrorLimit upper", "value"] == pytest.approx(te, rel=1e-9)
    traded = weights.sub(HOLDING.reindex(POOL, fill_value=0.0)).abs().sum()
    assert rows.loc["TurnoverLimit upper", "value"] == pytest.approx(traded / 2)
    exposure = helper.get_factor_exposure()["momentum"] @ weights
    assert rows.loc["StyleConstraint momentum lower", "value"] == pytest.approx(exposure)
    share = rows.loc["IndustryComponentLimit A 000001.XSHE upper"]
    assert share.value == pytest.approx(0.75) and share.upper == 0.7 and np.isnan(share.lower)
    assert share.slack == pytest.approx(-0.05) and share.violated and not share.binding
    assert rows.loc["bnds 000001.XSHE upper", "violated"]
    assert not rows.loc["bnds 000002.XSHE upper", "violated"]
    assert rows.loc["TrackingErrorLimit upper", "violated"] == (te > 0.01)


@pytest.mark.parametrize(
    "make, name",
    [
        (lambda: vc.TrackingErrorLimit(0.01), "TrackingErrorLimit"),
        (lambda: vc.TurnoverLimit(HOLDING, 0.2), "TurnoverLimit"),
    ],
)
def test_check_limit_whose_rule_is_not_one_inequality(market, make, name):
    # Not the single inequality the limit is read from: each comparison is checked
    # on its own, numbered under the limit's name.
    constraint = make()
    constraint.to_constraints = lambda g, zeta, helper: [g[0] <= 0.2, g[1] >= 0.1]
    weights = pd.Series([0.3, 0.1, 0.2, 0.15, 0.15, 0.1], index=POOL)
    rows = check_constraints(weights, DATE, cons=[constraint]).set_index("label")
    assert list(rows.index) == ["full investment", f"{name} #1 upper", f"{name} #2 lower"]
    first, second = rows.loc[f"{name} #1 upper"], rows.loc[f"{name} #2 lower"]
    assert first.value == pytest.approx(0.3) and first.upper == 0.2 and first.violated
    assert second.value == pytest.approx(0.1) and second.lower == 0.1 and not second.violated


@pytest.mark.parametrize(
    "values, bnds, broken",
    [
        # A short position breaks a lower bound of 0.
        ([-0.1, 0.55, 0.55, 0, 0, 0], {"*": (0.0, 0.6)}, {"bnds 000001.XSHE lower": -0.1}),
        # And more than everything breaks an upper bound of 1.
        (
            [1.2, -0.2, 0, 0, 0, 0],
            {"*": (0.0, 1.0)},
            {"bnds 000001.XSHE upper": -0.2, "bnds 000002.XSHE lower": -0.2},
        ),
    ],
)
def test_check_measures_every_bound_zero_and_one_included(market, values, bnds, broken):
    weights = pd.Series(values, index=POOL)
    table = check_constraints(weights, DATE, bnds=bnds)
    rows = table.set_index("label")
    for code in POOL:
        assert rows.loc[f"bnds {code} lower", "lower"] == bnds["*"][0]
        assert rows.loc[f"bnds {code} upper", "upper"] == bnds["*"][1]
    violated = rows[rows.violated]
    assert violated.slack.to_dict() == pytest.approx(broken)


def test_check_rejects_bad_weights(market):
    market.helper_options["industries"] = None
    with pytest.raises(InvalidArgument, match="600000.XSHG"):
        check_constraints(pd.Series([0.5, np.nan], index=POOL[1:3]), DATE)
    table = check_constraints({"000001.XSHE": 1.0}, DATE, bnds={"*": (0.0, 1.0)})
    assert list(table.label) == [
        "full investment",
        "bnds 000001.XSHE lower",
        "bnds 000001.XSHE upper",
    ]
    assert list(table.binding) == [True, False, True] and not table.violated.any()


def test_check_relative_wildcard_industries(market):
    weights = pd.Series([0.3, 0.1, 0.2, 0.15, 0.15, 0.1], index=POOL)
    wildcard = vc.WildcardIndustryConstraint(lower_limit=-0.1, upper_limit=0.1, relative=True)
    with pytest.warns(OptimizerWarning, match="OTHER"):
        table = check_constraints(weights, DATE, cons=[wildcard])
    rows = table.set_index("label")
    # Industry A holds 0.4 here against the benchmark's 0.3: 0.1 above, on the bound.
    assert rows.loc["WildcardIndustryConstraint A upper", "value"] == pytest.approx(0.4)
    assert rows.loc["WildcardIndustryConstraint A upper", "upper"] == pytest.approx(0.4)
    assert rows.loc["WildcardIndustryConstraint A upper", "binding"]
    # The benchmark holds no B: its floor of -0.1 is no limit, its cap is 0.1.
    assert "WildcardIndustryConstraint B lower" not in rows.index
    assert rows.loc["WildcardIndustryConstraint B upper", "upper"] == pytest.approx(0.1)
    # B holds 0.35.
    assert list(table.label[table.violated]) == ["WildcardIndustryConstraint B upper"]


def test_ratio_objective_needs_a_positive_expected_return(market):
    # Only the first stock has a positive (demeaned) expected return, and it is capped at 0.
    objective = MaxSharpeRatio(pd.Series([1.0, -1, -1, -1, -1, -1], index=POOL))
    bnds = {"000001.XSHE": (0.0, 0.0)}
    with pytest.raises(OptimizationFailed) as failure:
        optimize.portfolio_optimize(POOL, DATE, objective, bnds=bnds, benchmark=Bench())
    expected = {"MaxSharpeRatio internal lower", "bnds 000001.XSHE upper", "full investment"}
    assert set(failure.value.diagnosis.minimal_set) == expected
    report = explain_infeasibility(POOL, DATE, objective, bnds=bnds, benchmark=Bench())
    assert set(report.minimal_set) == expected
    # What the caller set moves, not what the objective needs.
    assert list(report.conflicts.label) == ["bnds 000001.XSHE upper"]
