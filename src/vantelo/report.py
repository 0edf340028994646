"""What came out and why: a portfolio's risk, exposures and risk contributions.

`portfolio_report` looks at a set of weights on a date, on its own or against a
benchmark, through the risk model the optimiser uses: volatility and tracking error,
industry and style exposures, each stock's and each factor's contribution to risk.
The arithmetic runs in the compiled `vantelo._report` through the factor form of the
covariance (no n x n matrix); tables are pandas, figures matplotlib (the optional
dependency group `report`), and `PortfolioReport.to_html` writes it all into one file
a browser opens. `clean_weights` tidies a solver's weights; `check_constraints`
measures them against limits.
"""

import importlib
import math
import numbers

import numpy as np
import pandas as pd

import tidewell
import vantelo.core
import vantelo.optimize as optimize
from vantelo import _report
from vantelo._html import html_table, writable_path  # noqa: F401 - shown here too
from vantelo._portfolio_report import (  # noqa: F401 - shown here too
    FACTOR_GROUPS,
    HTML_TOP_STOCKS,
    PLOT_KINDS,
    PLOT_TOP_HOLDINGS,
    TABLES,
    PortfolioReport,
)
from vantelo.const import STYLE_FACTORS, CovModel, IndustryClassification
from vantelo.exception import InvalidArgument

__all__ = ["PortfolioReport", "check_constraints", "clean_weights", "portfolio_report"]

# A weight of at most this size is solver noise, not a holding.
HOLDING_THRESHOLD = vantelo.core.HOLDING_THRESHOLD


# ---------------------------------------------------------------------------
# Arguments
# ---------------------------------------------------------------------------


def _ensure_weights(weights, check_sum=True):
    """`weights` (a Series or a dict of order_book_id -> weight) as a float Series, read
    as every module reads a portfolio handed in (`vantelo._report.read_weights`)."""
    return _report.read_weights(weights, "weights", check_sum)


def _benchmark_name(benchmark):
    if benchmark is None:
        return None
    return getattr(benchmark, "_order_book_id", None) or type(benchmark).__name__


# ---------------------------------------------------------------------------
# The report
# ---------------------------------------------------------------------------


def portfolio_report(
    weights,
    date,
    benchmark=None,
    cov_model=CovModel.FACTOR_MODEL_DAILY,
    classification=IndustryClassification.SWS,
    *,
    risk_model=None,
):
    """The risk, exposures and risk contributions of `weights` on `date`.

    The market data comes from the optimiser's own helper
    (`vantelo.optimize.OptimizeHelper`), built as `portfolio_optimize` builds it, over
    the stocks of `weights` in ascending order.

    :param weights: a Series (or a dict) of order_book_id -> weight, such as
        `portfolio_optimize` returns; taken as given (not cleaned or renormalised).
        Weights summing to more than 1 (beyond 1e-4) are refused; what weights summing
        to less leave over is read as cash, with an `OptimizerWarning`
    :param date: the date of the risk model and the market data
    :param benchmark: None, an index order_book_id or an `OptimizeBenchmark`; with one,
        the report adds tracking error, active share and the active side of every table
    :param cov_model: the risk model's covariance estimate: daily (default), monthly or
        quarterly
    :param classification: the industry standard of the industry table
    :param risk_model: a `vantelo.risk.RiskModel` of your own (or a callable date ->
        RiskModel) covering the weights' stocks and the benchmark's, used instead of
        the store's model; a dense covariance gives no factor table
    :return: a `PortfolioReport`
    :raises InvalidArgument: for weights that are not a Series or dict of finite
        numbers keyed by distinct codes or that sum to more than 1, a date that is not
        one, or a benchmark that is not an index code or an `OptimizeBenchmark`
    """
    weights = _ensure_weights(weights)
    day = _report.read_date(date)
    benchmark = _report.resolved_benchmark(benchmark)
    cov_model = optimize.to_enum(cov_model, CovModel)
    classification = optimize.to_enum(classification, IndustryClassification)
    pool = sorted(weights.index)
    weights = weights.reindex(pool)
    extra = {} if risk_model is None else {"risk_model": risk_model}
    helper = optimize.OptimizeHelper(pool, day, benchmark, cov_model, **extra)

    if benchmark is None:
        universe = pool
        held = weights
        bench = None
        total = _report.risk_decomposition(helper, held.to_numpy())
        factors = _report.factor_decomposition(helper, held.to_numpy())
        active = active_factors = None
    else:
        universe = list(helper.union_components)
        held = weights.reindex(universe, fill_value=0.0)
        bench = pd.Series(
            np.asarray(helper.benchmark_weight.values, dtype="float64"), index=universe
        )
        total = _report.risk_decomposition(helper, held.to_numpy(), over_union=True)
        factors = _report.factor_decomposition(helper, held.to_numpy(), over_union=True)
        active_weights = (held - bench).to_numpy()
        active = _report.risk_decomposition(helper, active_weights, over_union=True)
        active_factors = _report.factor_decomposition(helper, active_weights, over_union=True)

    summary = _summary(weights, total, bench, held, active)
    stocks = _risk_contributions(universe, held, total, bench, active)
    factor_table = _factor_contributions(factors, active_factors, benchmark is not None)
    styles = style_exposures(helper, weights, benchmark is not None)
    industries = industry_weights(helper, weights, classification, benchmark is not None)
    return PortfolioReport(
        weights=weights,
        date=day,
        benchmark=_benchmark_name(benchmark),
        cov_model=cov_model,
        classification=classification,
        summary=summary,
        industries=industries,
        styles=styles,
        risk_contributions=stocks,
        factor_contributions=factor_table,
    )


def _summary(weights, total, bench, held, active):
    values = weights.to_numpy()
    rows = {
        "volatility": total["volatility"],
        "factor_volatility": math.sqrt(total["factor_variance"]),
        "specific_volatility": math.sqrt(total["specific_variance"]),
    }
    if bench is not None:
        rows["tracking_error"] = active["volatility"]
        rows["active_share"] = 0.5 * float(np.abs(held.to_numpy() - bench.to_numpy()).sum())
    square_sum = float(values @ values)
    rows["holdings"] = int((np.abs(values) > HOLDING_THRESHOLD).sum())
    rows["effective_holdings"] = 1.0 / square_sum if square_sum > 0 else math.nan
    rows["max_weight"] = float(values.max())
    return pd.Series(rows, dtype="float64", name="value")


def _risk_contributions(universe, held, total, bench, active):
    table = pd.DataFrame(
        {
            "weight": held.to_numpy(),
            "marginal": total["marginal"],
            "contribution": total["contribution"],
            "share": total["share"],
        },
        index=pd.Index(universe, name="order_book_id"),
    )
    if bench is not None:
        table["benchmark_weight"] = bench.to_numpy()
        table["active_weight"] = held.to_numpy() - bench.to_numpy()
        table["active_marginal"] = active["marginal"]
        table["active_contribution"] = active["contribution"]
        table["active_share_of_risk"] = active["share"]
    return table


def _factor_kinds():
    """{factor: kind} of the store's risk model (empty when it cannot say)."""
    try:
        return {
            name: kind
            for kind in ("market", "statistical")
            for name in tidewell.get_factor_names(kind)
        }
    except tidewell.TidewellError:
        return {}


def _factor_group(name, kinds):
    return kinds.get(name) or ("style" if name in STYLE_FACTORS else "industry")


def _factor_table(decomposition, prefix):
    names = list(decomposition["factors"]) + ["specific"]
    volatility = decomposition["volatility"]
    contribution = np.append(decomposition["contribution"], decomposition["specific"])
    share = contribution / volatility if volatility > 0 else np.full(len(names), np.nan)
    return pd.DataFrame(
        {
            prefix + "exposure": np.append(decomposition["exposure"], np.nan),
            prefix + "contribution": contribution,
            prefix + "share": share,
        },
        index=pd.Index(names, name="factor"),
    )


def _factor_contributions(factors, active_factors, with_benchmark=False):
    if factors is None:
        # A dense covariance of the caller's own has no factors to name.
        columns = ["group", "exposure", "contribution", "share"]
        if with_benchmark:
            columns += ["active_exposure", "active_contribution", "active_share"]
        return pd.DataFrame(columns=columns, index=pd.Index([], name="factor"), dtype="float64")
    table = _factor_table(factors, "")
    kinds = _factor_kinds()
    groups = [_factor_group(n, kinds) for n in factors["factors"]]
    table.insert(0, "group", groups + ["specific"])
    if active_factors is not None:
        table = table.join(_factor_table(active_factors, "active_"))
    return table


def style_exposures(helper, weights, with_benchmark):
    """The style exposures of `weights` (indexed as the helper's pool) through the
    helper: `portfolio`, and with a benchmark `benchmark` and `active`, by style."""
    exposure = helper.get_factor_exposure()
    styles = [s for s in STYLE_FACTORS if s in exposure.columns]
    # A backtest asks this of every date: the product on the arrays, not the frames.
    at = exposure.index.get_indexer(weights.index)
    inside = at >= 0
    held = np.zeros(len(exposure))
    held[at[inside]] = weights.to_numpy(dtype=float)[inside]
    if list(exposure.columns) != styles:
        exposure = exposure.reindex(columns=styles)
    portfolio = held @ exposure.to_numpy(dtype=float)
    columns = {"portfolio": portfolio}
    if with_benchmark:
        bench = pd.Series(helper.get_benchmark_style(), dtype="float64")
        columns["benchmark"] = bench.reindex(styles).to_numpy()
        columns["active"] = portfolio - columns["benchmark"]
    # One frame of all its columns: a backtest builds one every date.
    return pd.DataFrame(columns, index=pd.Index(styles, name="style"))


def industry_weights(helper, weights, classification, with_benchmark):
    """The industry weights of `weights` through the helper: `portfolio`, and with a
    benchmark `benchmark` and `active`, by industry, largest first."""
    # A backtest asks this of every date: sums and alignment on the arrays.
    mapping = np.asarray(helper.get_industry_mapping(classification), dtype=object)
    pool = helper.order_book_ids
    values = np.nan_to_num(weights.to_numpy(dtype=float))
    if len(weights) == len(pool) and np.array_equal(
        weights.index.to_numpy(dtype=object), np.asarray(pool, dtype=object)
    ):
        industries = mapping
    else:
        at = pd.Index(pool).get_indexer(weights.index)
        inside = at >= 0
        industries, values = mapping[at[inside]], values[inside]
    # Grouped by hashing, with only the few names sorted: sorting every stock's
    # industry text costs more, date after date.
    which, names = pd.factorize(industries, sort=True)
    held = np.bincount(which, weights=values, minlength=len(names))
    if with_benchmark:
        bench = pd.Series(helper.get_benchmark_industry_weight(classification), dtype="float64")
        theirs_names = np.asarray(bench.index, dtype=object)
        # Every industry either side holds, sorted by name.
        names_all = np.unique(np.concatenate([names, theirs_names]))
        own = np.zeros(len(names_all))
        own[np.searchsorted(names_all, names)] = held
        theirs = np.zeros(len(names_all))
        theirs[np.searchsorted(names_all, theirs_names)] = bench.to_numpy()
        # Largest holding first, ties by the benchmark's weight, then by name.
        order = np.lexsort((-theirs, -own))
        table = pd.DataFrame(
            {
                "portfolio": own[order],
                "benchmark": theirs[order],
                "active": own[order] - theirs[order],
            },
            index=pd.Index(names_all[order].tolist()),
        )
    else:
        portfolio = pd.Series(held, index=pd.Index(names.tolist()))
        table = pd.DataFrame({"portfolio": portfolio}).sort_values("portfolio", ascending=False)
    table.index.name = "industry"
    return table.astype("float64")


# ---------------------------------------------------------------------------
# PortfolioReport
# ---------------------------------------------------------------------------


# ---------------------------------------------------------------------------
# Weights and limits
# ---------------------------------------------------------------------------


def clean_weights(weights, cutoff=1e-4, decimals=None):
    """Weights below `cutoff` set to 0, renormalised to sum to 1 and, with
    `decimals`, rounded (the rounding remainder goes to the largest weight, so the
    sum stays 1).

    :param weights: a Series or a dict of order_book_id -> weight
    :param cutoff: weights below it become 0; a finite number >= 0
    :param decimals: None, or the number of decimals to round to
    :return: the type it was given: a Series (same index) or a dict (same keys)
    :raises InvalidArgument: for a bad cutoff or decimals, or when no weight is at or
        above the cutoff
    """
    series = _ensure_weights(weights, check_sum=False)  # renormalised below
    try:
        usable = not isinstance(cutoff, bool) and isinstance(cutoff, numbers.Real)
        usable = usable and math.isfinite(cutoff) and cutoff >= 0
    except OverflowError:  # an integer beyond any float
        usable = False
    if not usable:
        raise InvalidArgument(f"cutoff: expected a finite number >= 0, got {cutoff!r}")
    if decimals is not None and (
        isinstance(decimals, bool) or not isinstance(decimals, numbers.Integral) or decimals < 0
    ):
        raise InvalidArgument(f"decimals: expected None or an integer >= 0, got {decimals!r}")
    cleaned = series.where(series >= cutoff, 0.0)
    total = float(cleaned.sum())
    if not total > 0:
        raise InvalidArgument(f"clean_weights: no weight is at or above the cutoff {cutoff}")
    cleaned = cleaned / total
    if decimals is not None:
        # Beyond 15 decimals a float64 weight holds no more digits (and numpy's
        # rounding would overflow on the way).
        places = min(int(decimals), 15)
        cleaned = cleaned.round(places)
        largest = cleaned.idxmax()
        cleaned[largest] = round(cleaned[largest] + (1.0 - cleaned.sum()), places)
    if isinstance(weights, dict):
        return {code: float(cleaned[code]) for code in weights}
    cleaned.name = weights.name
    return cleaned


def check_constraints(
    weights,
    date,
    bnds=None,
    cons=None,
    benchmark=None,
    cov_model=CovModel.FACTOR_MODEL_DAILY,
    *,
    risk_model=None,
):
    """One row per limit that `bnds` and `cons` set, with the portfolio's value
    against it: columns label, value, lower, upper, slack, binding, violated.

    The limits carry the labels the infeasibility diagnosis gives them; the check
    itself lives beside it, in `vantelo.diagnose` (`vantelo.diagnose.check_constraints`
    describes the columns).
    """
    diagnose = importlib.import_module("vantelo.diagnose")
    return diagnose.check_constraints(
        weights,
        date,
        bnds=bnds,
        cons=cons,
        benchmark=benchmark,
        cov_model=cov_model,
        risk_model=risk_model,
    )
