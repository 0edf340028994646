"""The benchmark's pools and cases, the data every solver is given, and the numbers
every solver is judged by.

A *problem* is one pool on one date: the pool (cleaned as portfolio_optimize cleans
it), the risk model in factor form (cov = root @ root.T + diag(specific)) for the
pool and for the union of pool and benchmark, the benchmark's weights, industries,
style exposures, the current holding of case c and the expected returns of case d.
It is read once per size from tidewell (the same tables vantelo's OptimizeHelper
reads, combined the same way, but without going through it) and stored as an .npz
file that the per-run worker processes load.
"""

from __future__ import annotations

import warnings
from collections import OrderedDict

import numpy as np

DATE = "2025-06-30"
BENCHMARK = "990800.XSHG"
# Case c starts from a large-cap holding: the 300 index's weights a month before the
# date. The demo indexes rebalance twice a year, so the 800 index's own weights a month
# earlier equal today's and tracking them would be trivial (zero tracking error at no
# turnover); from the 300 index, reaching the 800 index takes about 38% turnover, so
# the 30% limit binds.
HOLDING_INDEX = "990300.XSHG"
HOLDING_DATE = "2025-05-30"

UPPER = 0.05  # per-stock upper bound, every case
INDUSTRY_BAND = 0.03  # case b: industry weight within +-3% of the benchmark's
STYLE_BAND = 0.2  # case b: style exposure within +-0.2 of the benchmark's
TURNOVER = 0.30  # case c: one-way turnover limit
WINDOW = 252  # case d: days of history for the expected returns
TRADING_DAYS = 252

SIZES = OrderedDict(
    [
        ("300", "the 300 index's constituents"),
        ("800", "the 800 index's constituents"),
        ("1800", "the 800 index plus the 1,000 largest (size exposure) other listed stocks"),
        ("5000", "the whole listed market"),
    ]
)

CASES = OrderedDict(
    [
        ("a", "min variance, 0-5% per stock"),
        ("b", "min variance, industries +-3% and styles +-0.2 of the 800 index"),
        ("c", "min tracking error to the 800 index, one-way turnover <= 30%"),
        ("d", "max Sharpe ratio (benchmark: the 800 index)"),
    ]
)


# ---------------------------------------------------------------------------
# Building a problem (needs tidewell's data; run in a worker process)
# ---------------------------------------------------------------------------


def select_pool(size: str, date: str = DATE) -> list:
    """The raw pool of one size: index constituents or listed stocks."""
    import tidewell

    if size == "300":
        return list(tidewell.index_weights("990300.XSHG", date).index)
    if size == "800":
        return list(tidewell.index_weights(BENCHMARK, date).index)
    # Listed before the date: portfolio_optimize drops a stock listed on the day.
    listed = [
        r.order_book_id
        for r in tidewell.all_instruments(type="CS", date=date)
        if r.listed_date < date
    ]
    if size == "5000":
        return listed
    if size == "1800":
        base = list(tidewell.index_weights(BENCHMARK, date).index)
        in_base = set(base)
        rest = [code for code in listed if code not in in_base]
        size_exposure = tidewell.get_factor_exposure(rest, date)["size"]
        largest = size_exposure.sort_values(ascending=False, kind="stable").index[:1000]
        return base + list(largest)
    raise ValueError(f"unknown size {size!r}; choose from {', '.join(SIZES)}")


def expected_returns(pool: list, date) -> np.ndarray:
    """Annualised mean daily change rate over WINDOW days ending the trading day
    before the date, 0 where a stock has no history: what MaxSharpeRatio()
    estimates when given no expected returns."""
    import tidewell

    end = tidewell.get_previous_trading_date(date)
    start = tidewell.trading_date_offset(end, -WINDOW)
    rates = tidewell.get_price_change_rate(pool, start, end)
    mu = (rates.mean() * TRADING_DAYS).reindex(pool, fill_value=0.0)
    return np.asarray(mu.values, dtype=float)


def unit_return_vector(mu: np.ndarray) -> tuple:
    """The return vector the ratio objective really uses: a constant vector becomes
    ones, a negative mean is shifted to zero. Returns (vector, shift applied)."""
    mu = np.asarray(mu, dtype=float)
    if np.all(mu == mu[0]):
        return np.ones_like(mu), float("nan")
    average = float(mu.mean())
    if average < 0.0:
        return mu - average, -average
    return mu.copy(), 0.0


def risk_model(codes: list, date) -> tuple:
    """(exposure DataFrame, root, specific variance) of `codes`, annualised, with
    cov = root @ root.T + diag(specific): read from tidewell directly and computed
    as vantelo's OptimizeHelper documents it (factor covariance and specific
    variance times 252, the root from the eigen-decomposition of the factor
    covariance), so the reference does not rest on the code it judges."""
    import tidewell

    exposure = tidewell.get_factor_exposure(codes, date)
    specific_vol = tidewell.get_specific_risk(codes, date, "daily")
    missing = [c for c in codes if c not in exposure.index or c not in specific_vol.index]
    if missing:
        raise ValueError(f"no risk-model data for {len(missing)} stock(s): {missing[:5]}")
    exposure = exposure.reindex(codes)
    factors = list(exposure.columns)
    factor_cov = tidewell.get_factor_covariance(date, "daily").reindex(
        index=factors, columns=factors
    )
    cov = np.asarray(factor_cov.values, dtype=float) * TRADING_DAYS
    eigenvalues, vectors = np.linalg.eigh(cov)
    factor_root = vectors * np.sqrt(np.clip(eigenvalues, 0.0, None))
    loadings = np.asarray(exposure.values, dtype=float)
    specific = np.asarray(specific_vol.reindex(codes).values, dtype=float) ** 2 * TRADING_DAYS
    return exposure, loadings @ factor_root, specific


def build_problem(size: str, date: str = DATE) -> dict:
    """Everything the solvers need for one pool, as plain arrays."""
    import pandas as pd

    import tidewell
    from vantelo.const import STYLE_FACTORS
    from vantelo.optimize import ensure_order_book_ids, to_date

    raw = select_pool(size, date)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pool = list(ensure_order_book_ids(list(raw), date))
    day = to_date(date)
    benchmark = tidewell.index_weights(BENCHMARK, day)
    benchmark = benchmark[benchmark != 0.0]
    in_pool = set(pool)
    union = pool + [code for code in benchmark.index if code not in in_pool]
    bench_u = np.asarray(benchmark.reindex(union, fill_value=0.0).values, dtype=float)
    exposure_u, root_u, specific_u = risk_model(union, day)
    n = len(pool)
    root, specific = root_u[:n], specific_u[:n]

    # Case b: the industry bands as WildcardIndustryConstraint(relative=True) forms
    # them: industries of the pool in order of appearance, then the benchmark's
    # others; "UNKNOWN" and industries without a pool stock are left out; a lower
    # bound only when above 0, an upper bound only when below 1.
    industry_u = tidewell.get_industry(union, day, "sws").reindex(union).fillna("UNKNOWN")
    industries = np.asarray(industry_u.values[:n], dtype=object)
    bench_industry = benchmark.groupby(industry_u.reindex(benchmark.index).values).sum()
    candidates = list(OrderedDict.fromkeys(list(industries) + list(bench_industry.index)))
    names, rows, lows, highs = [], [], [], []
    for industry in candidates:
        if industry == "UNKNOWN":
            continue
        selector = industries == industry
        if not selector.any():
            continue
        weight = float(bench_industry.get(industry, 0.0))
        low, high = weight - INDUSTRY_BAND, weight + INDUSTRY_BAND
        names.append(str(industry))
        rows.append(selector.astype(float))
        lows.append(low if low > 0 else np.nan)
        highs.append(high if high < 1 else np.nan)
    styles = exposure_u[STYLE_FACTORS]
    bench_style = np.asarray(styles.values, dtype=float).T @ bench_u

    holding = tidewell.index_weights(HOLDING_INDEX, HOLDING_DATE)
    in_union = set(union)
    outside = [code for code in holding.index if code not in in_union]

    mu = expected_returns(pool, day)
    mu_used, mu_shift = unit_return_vector(mu)

    return {
        "size": np.asarray(size),
        "date": np.asarray(str(date)),
        "pool": np.asarray(pool, dtype=str),
        "union": np.asarray(union, dtype=str),
        "root": np.ascontiguousarray(root),
        "specific": np.ascontiguousarray(specific),
        "root_u": root_u,
        "specific_u": specific_u,
        "bench_u": bench_u,
        "industry": industries.astype(str),
        "industry_names": np.asarray(names, dtype=str),
        "industry_rows": np.asarray(rows, dtype=float).reshape(len(rows), n),
        "industry_low": np.asarray(lows, dtype=float),
        "industry_high": np.asarray(highs, dtype=float),
        "style_names": np.asarray(STYLE_FACTORS, dtype=str),
        "exposure": np.asarray(styles.values[:n], dtype=float),
        "style_low": bench_style - STYLE_BAND,
        "style_high": bench_style + STYLE_BAND,
        "holding_ids": np.asarray(list(holding.index), dtype=str),
        "holding": np.asarray(holding.values, dtype=float),
        "holding_u": np.asarray(holding.reindex(union, fill_value=0.0).values, dtype=float),
        "holding_outside": np.asarray(
            float(pd.Series(holding).reindex(outside).sum()) if outside else 0.0
        ),
        "mu": mu,
        "mu_used": mu_used,
        "mu_shift": np.asarray(mu_shift),
    }


class Problem:
    """A loaded problem file with the derived quantities the solvers share."""

    def __init__(self, data):
        self.data = dict(data)
        for key, value in self.data.items():
            setattr(self, key, value)
        self.size = str(self.size)
        self.date = str(self.date)
        self.mu_shift = float(self.mu_shift)
        self.holding_outside = float(self.holding_outside)
        self.n = len(self.pool)
        self.n_union = len(self.union)

    @classmethod
    def load(cls, path):
        with np.load(path, allow_pickle=False) as data:
            return cls({key: data[key] for key in data.files})

    def dense_cov(self, union: bool = False) -> np.ndarray:
        """The dense annualised covariance (of the union for union=True)."""
        root = self.root_u if union else self.root
        specific = self.specific_u if union else self.specific
        cov = root @ root.T
        cov = (cov + cov.T) * 0.5
        cov[np.diag_indices_from(cov)] += specific
        return cov

    def turnover_budget(self) -> float:
        """The limit on ||w_union - holding_union||_1: twice the one-way limit, less
        the holdings outside the union, which are sold whatever the solution."""
        return 2.0 * TURNOVER - self.holding_outside

    def extend(self, w: np.ndarray) -> np.ndarray:
        """Pool weights as union weights (nothing held outside the pool)."""
        out = np.zeros(self.n_union)
        out[: self.n] = w
        return out


# ---------------------------------------------------------------------------
# Judging a solution
# ---------------------------------------------------------------------------


def _quad(root, specific, x):
    y = root.T @ x
    return float(y @ y + specific @ (x * x))


def variance(problem: Problem, w) -> float:
    return _quad(problem.root, problem.specific, np.asarray(w, dtype=float))


def objective(problem: Problem, case: str, w) -> float:
    """The quantity each case optimises: the annualised variance (a, b), the
    annualised tracking-error variance (c), the Sharpe ratio (d)."""
    w = np.asarray(w, dtype=float)
    if case in ("a", "b"):
        return variance(problem, w)
    if case == "c":
        active = problem.extend(w) - problem.bench_u
        return _quad(problem.root_u, problem.specific_u, active)
    if case == "d":
        return float(problem.mu_used @ w) / np.sqrt(variance(problem, w))
    raise ValueError(case)


def relative_gap(case: str, value: float, reference: float) -> float:
    """How much worse than the reference, relative: positive is worse."""
    if case == "d":
        return (reference - value) / abs(reference)
    return (value - reference) / abs(reference)


def violations(problem: Problem, case: str, w) -> OrderedDict:
    """The largest violation of each constraint family of the case, >= 0. Bounds,
    budget, industry and turnover in weight units; style in exposure units."""
    w = np.asarray(w, dtype=float)
    out = OrderedDict()
    out["bounds"] = float(max(0.0, np.max(-w), np.max(w - UPPER)))
    out["budget"] = abs(float(w.sum()) - 1.0)
    if case == "b":
        weights = problem.industry_rows @ w
        low = np.nan_to_num(problem.industry_low - weights, nan=0.0)
        high = np.nan_to_num(weights - problem.industry_high, nan=0.0)
        out["industry"] = float(max(0.0, low.max(initial=0.0), high.max(initial=0.0)))
        styles = problem.exposure.T @ w
        out["style"] = float(
            max(
                0.0,
                np.max(problem.style_low - styles),
                np.max(styles - problem.style_high),
            )
        )
    if case == "c":
        traded = np.abs(problem.extend(w) - problem.holding_u).sum() + problem.holding_outside
        out["turnover"] = max(0.0, 0.5 * float(traded) - TURNOVER)
    return out
