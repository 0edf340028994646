"""A factor risk model built from daily returns, in the layout of an imported one.

On each model date (the last trading day of every month, and the calendar's last
day, once ``MIN_HISTORY`` days of returns are there) the model has

* exposures: the market (1 for every stock); the industries of a classification as
  0/1 dummies, when one is given; the styles the data allows, each standardised over
  the cross-section (mean 0, cap-weighted when market caps are given, standard
  deviation 1, winsorised at 3); and statistical factors ``pc_1``, ``pc_2``, ...:
  the principal components of what the other factors leave unexplained;
* factor returns: for each day, a weighted cross-sectional regression of the stocks'
  returns on the exposures of the model date before it. The industry returns are
  held to a weighted sum of zero, which keeps the market factor identified;
* the factor covariance: the exponentially weighted second moment of the factor
  returns, one half-life per covariance model (``HALF_LIVES``), shrunk toward its
  diagonal with the Ledoit-Wolf intensity for the effective number of days the
  weights keep, so that it is positive definite;
* specific risk: the exponentially weighted variance of what the factors leave,
  pulled toward the cross-section's average by the evidence each stock has, floored
  at a share of the cross-section's median, as a daily standard deviation.

Styles from the returns alone: beta (to the market, or to the series given),
momentum and residual volatility. Market caps add size and non-linear size; caps
and traded values add liquidity; caps and fundamentals add book-to-price, earnings
yield, leverage and growth. A style the data cannot give is left out.

Everything is numpy over whole blocks of days and stocks: the per-day regressions
of a block share their exposures, so their normal equations come from one matrix
product, and a 5,000-stock, 1,000-day history builds in well under a minute.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from ._dates import to_date
from ._errors import TidewellError, TidewellTypeError
from ._schema import COV_MODELS, STYLE_FACTORS

# Half-lives in trading days, one per covariance model, of the factor covariance and
# of the specific variances. Measured on a demo market of another seed than the one
# benchmarked (benchmarks/riskmodel_bench.py --half-lives; the figures are in
# benchmarks/README.md): the out-of-sample volatility of minimum-variance portfolios
# falls as the half-life grows to 180 days and is flat beyond, where the predicted
# volatility starts to fall short of the realised one; the one-day forecast of
# portfolio variance is as good from 42 days on as anywhere. So: 63 days where the
# one-day forecast is at its best with a responsive estimate, 180 where minimum
# variance stops gaining, and 126 between them. The specific half-lives hardly move
# either measure and are the same.
HALF_LIVES = {"daily": 63.0, "monthly": 126.0, "quarterly": 180.0}
SPECIFIC_HALF_LIVES = dict(HALF_LIVES)

MARKET_FACTOR = "market"
STATISTICAL_PREFIX = "pc_"

# Days of returns before the first model date.
MIN_HISTORY = 63
# Stocks a cross-section needs before a model is worth building.
MIN_STOCKS = 20
# Returns a stock needs in the exposure window for its estimates to count in full;
# with fewer they are pulled toward the cross-section's mean in proportion.
MIN_OBSERVATIONS = 42
# Trading days of returns behind the styles, the principal components and the
# covariance.
EXPOSURE_WINDOW = 252
PCA_WINDOW = 252
COVARIANCE_WINDOW = 504
MOMENTUM_SKIP = 21
BETA_HALF_LIFE = 63.0
RESIDUAL_VOLATILITY_HALF_LIFE = 42.0
MOMENTUM_HALF_LIFE = 126.0
WINSOR = 3.0
# The most statistical factors "auto" picks, and the margin by which an eigenvalue
# of the residuals' correlations must pass the largest one noise alone would give.
MAX_STATISTICAL = 40
NOISE_EDGE_MARGIN = 1.05
# Specific variances: the days of evidence the cross-section's average counts as,
# and the floor as a share of the cross-section's median.
SPECIFIC_PRIOR_DAYS = 20.0
SPECIFIC_FLOOR = 0.25
# The least shrinkage of the factor covariance toward its diagonal, and the least
# daily variance of a factor: together they keep the matrix positive definite.
MIN_SHRINKAGE = 0.01
MIN_FACTOR_VARIANCE = 1e-10
# Returns whose median absolute value is above this are percent, not fractions.
PERCENT_MEDIAN = 0.2

FUNDAMENTAL_FIELDS = ("book_value", "earnings", "sales", "total_debt")


# --------------------------------------------------------------------------- inputs


@dataclass
class _Inputs:
    """Everything a build reads, as arrays over the calendar (D days) and stocks (n)."""

    dates: np.ndarray  # datetime64[D], D
    ids: list
    returns: np.ndarray  # D x n, NaN where a stock has no return
    listed: np.ndarray | None = None  # datetime64[D], n
    delisted: np.ndarray | None = None  # datetime64[D], n, NaT while listed
    industry_names: list | None = None
    industry_history: tuple | None = None  # (stock, start datetime64[D], code), by stock, start
    caps: np.ndarray | None = None  # D x n, the last known cap (NaN before the first)
    traded: np.ndarray | None = None  # D x n traded value, NaN where not given
    fundamentals: pd.DataFrame | None = None  # order_book_id, date, FUNDAMENTAL_FIELDS
    market: np.ndarray | None = None  # D, the series beta is measured against
    classification: str | None = None


@dataclass
class _Day:
    """The model of one model date: its stocks, exposures and the risk per cov model."""

    members: np.ndarray  # stock positions
    exposure: np.ndarray  # members x factors
    industry: np.ndarray  # members, industry code or -1
    covariance: dict  # cov model -> factors x factors, daily
    specific: dict  # cov model -> members, daily standard deviation


class RiskModel:
    """A factor risk model built by :func:`build_risk_model`.

    ``dates`` are the model dates; ``factors`` is a DataFrame of the factors in
    column order with their ``kind`` (``market``, ``industry``, ``style`` or
    ``statistical``). ``exposure``, ``covariance`` and ``specific_risk`` answer as
    the store's ``get_factor_exposure``, ``get_factor_covariance`` and
    ``get_specific_risk`` do (daily units, the latest model date on or before the
    date asked); ``tables()`` gives the model as the store's tables, the files
    ``import_database`` reads.
    """

    def __init__(self, inputs: _Inputs, days: list, names: list, kinds: list, details: dict):
        self._ids = list(inputs.ids)
        self._dates64 = np.asarray([d for d, _ in days], dtype="datetime64[D]")
        self._days = [m for _, m in days]
        self._industry_names = list(inputs.industry_names or [])
        self.dates = [pd.Timestamp(d).date() for d in self._dates64]
        self.factors = pd.DataFrame({"factor": names, "kind": kinds})
        self.half_lives = dict(details.pop("half_lives"))
        self.specific_half_lives = dict(details.pop("specific_half_lives"))
        self.classification = inputs.classification
        # Diagnostics of the build: the shrinkage intensities and the statistical
        # factors each model date's residuals held.
        self.details = details

    def __repr__(self) -> str:
        counts = self.factors["kind"].value_counts()
        parts = ", ".join(f"{counts[k]} {k}" for k in counts.index)
        span = f"{self.dates[0]} .. {self.dates[-1]}" if self.dates else "no dates"
        return (
            f"RiskModel({len(self.factors)} factors: {parts}; "
            f"{len(self.dates)} model dates {span})"
        )

    @property
    def factor_names(self) -> list:
        return list(self.factors["factor"])

    def _at(self, date) -> _Day:
        d = np.datetime64(to_date(date), "D")
        i = int(np.searchsorted(self._dates64, d, side="right")) - 1
        if i < 0:
            raise TidewellError(
                f"date {to_date(date)} is before the first model date ({self.dates[0]})"
            )
        return self._days[i]

    def exposure(self, date) -> pd.DataFrame:
        day = self._at(date)
        return pd.DataFrame(
            day.exposure,
            index=pd.Index([self._ids[i] for i in day.members], name="order_book_id"),
            columns=self.factor_names,
        )

    def covariance(self, date, cov_model="daily") -> pd.DataFrame:
        model = _cov_model(cov_model)
        names = self.factor_names
        return pd.DataFrame(self._at(date).covariance[model], index=names, columns=names)

    def specific_risk(self, date, cov_model="daily") -> pd.Series:
        model = _cov_model(cov_model)
        day = self._at(date)
        return pd.Series(
            day.specific[model],
            index=pd.Index([self._ids[i] for i in day.members], name="order_book_id"),
            name="specific_risk",
        )

    # -- the store's tables ----------------------------------------------------------
    def _columns(self):
        kinds = list(self.factors["kind"])
        names = self.factor_names
        styles = [(j, n) for j, (n, k) in enumerate(zip(names, kinds)) if k == "style"]
        extra = [(j, n) for j, (n, k) in enumerate(zip(names, kinds)) if k in _COLUMN_KINDS]
        return styles, extra

    def exposure_frame(self, categorical: bool = False) -> pd.DataFrame:
        """The ``factor_exposures`` table: a row per model date and stock."""
        styles, extra = self._columns()
        present = dict((n, j) for j, n in styles)
        dates, members, industry, blocks = [], [], [], []
        for d, day in zip(self._dates64, self._days):
            dates.append(np.full(len(day.members), d))
            members.append(day.members)
            industry.append(day.industry)
            blocks.append(day.exposure)
        values = np.vstack(blocks) if blocks else np.zeros((0, len(self.factors)))
        members = np.concatenate(members) if members else np.zeros(0, dtype=np.int64)
        codes = np.concatenate(industry) if industry else np.zeros(0, dtype=np.int64)
        if categorical:
            ids = pd.Categorical.from_codes(members.astype(np.int32), categories=self._ids)
            names = pd.Categorical.from_codes(
                codes.astype(np.int32), categories=self._industry_names or ["-"]
            )
        else:
            ids = np.asarray(self._ids, dtype=object)[members]
            names = np.asarray(self._industry_names + [None], dtype=object)[codes]
        table = {"date": np.concatenate(dates) if dates else np.zeros(0, "datetime64[D]")}
        table["order_book_id"] = ids
        for style in STYLE_FACTORS:
            table[style] = values[:, present[style]] if style in present else np.nan
        table["industry"] = names
        for j, name in extra:
            table[name] = values[:, j]
        frame = pd.DataFrame(table)
        frame["date"] = pd.to_datetime(frame["date"])
        return frame

    def covariance_frame(self, categorical: bool = False) -> pd.DataFrame:
        """The ``factor_covariance`` table: every pair of factors, every model and date."""
        names = self.factor_names
        k = len(names)
        f1, f2 = np.meshgrid(np.arange(k), np.arange(k), indexing="ij")
        parts = []
        for model in COV_MODELS:
            for d, day in zip(self._dates64, self._days):
                parts.append((model, d, day.covariance[model].ravel()))
        n_parts = len(parts)
        first = np.tile(f1.ravel(), n_parts).astype(np.int32)
        second = np.tile(f2.ravel(), n_parts).astype(np.int32)
        frame = pd.DataFrame(
            {
                "cov_model": np.repeat([p[0] for p in parts], k * k),
                "date": pd.to_datetime(np.repeat([p[1] for p in parts], k * k)),
                "factor_1": pd.Categorical.from_codes(first, names),
                "factor_2": pd.Categorical.from_codes(second, names),
                "covariance": np.concatenate([p[2] for p in parts]) if parts else [],
            }
        )
        if not categorical:
            for col in ("factor_1", "factor_2"):
                frame[col] = frame[col].astype(object)
        return frame

    def specific_frame(self, categorical: bool = False) -> pd.DataFrame:
        """The ``specific_risk`` table: every stock, every model and date."""
        models, dates, members, values = [], [], [], []
        for model in COV_MODELS:
            for d, day in zip(self._dates64, self._days):
                models.append(np.full(len(day.members), model, dtype=object))
                dates.append(np.full(len(day.members), d))
                members.append(day.members)
                values.append(day.specific[model])
        members = np.concatenate(members).astype(np.int32)
        ids = (
            pd.Categorical.from_codes(members, categories=self._ids)
            if categorical
            else np.asarray(self._ids, dtype=object)[members]
        )
        return pd.DataFrame(
            {
                "cov_model": np.concatenate(models),
                "date": pd.to_datetime(np.concatenate(dates)),
                "order_book_id": ids,
                "specific_risk": np.concatenate(values),
            }
        )

    def factor_frame(self) -> pd.DataFrame:
        """The ``factors`` table: the factors in column order with their kind."""
        return pd.DataFrame(
            {
                "position": np.arange(1, len(self.factors) + 1, dtype=np.int32),
                "factor": self.factor_names,
                "kind": list(self.factors["kind"]),
            }
        )

    def tables(self) -> dict:
        """The model as the store's tables: ``{table name: DataFrame}``.

        Written as files beside the market's other tables (``factors.csv``,
        ``factor_exposures.csv``, ...), ``import_database`` reads them back as this
        model.
        """
        return {
            "factors": self.factor_frame(),
            "factor_exposures": self.exposure_frame(),
            "factor_covariance": self.covariance_frame(),
            "specific_risk": self.specific_frame(),
        }


# Factor kinds whose exposures are columns of their own in factor_exposures.
_COLUMN_KINDS = ("market", "statistical")


def _cov_model(value) -> str:
    name = getattr(value, "value", value)
    if name not in COV_MODELS:
        raise TidewellError(
            "unknown cov_model {!r}; choose one of {}".format(name, ", ".join(COV_MODELS))
        )
    return name


# --------------------------------------------------------------------------- numerics


def _ew_weights(length: int, half_life: float) -> np.ndarray:
    """Weights of the ``length`` days of a window, oldest first, today's 1."""
    age = np.arange(length - 1, -1, -1, dtype=float)
    return 0.5 ** (age / half_life)


def _weighted_mean(x: np.ndarray, weights: np.ndarray) -> float:
    total = weights.sum()
    return float(x @ weights / total) if total > 0 else float(x.mean())


def _standardise(raw: np.ndarray, estimable: np.ndarray, cap_weight: np.ndarray) -> np.ndarray:
    """Raw style values as exposures: winsorised z-scores over the estimable stocks.

    The mean is cap-weighted (equal where no caps), the standard deviation equal-
    weighted, as the usual models standardise; values outside 3 deviations are
    pulled in to 3 and the result standardised again. Stocks without a value get 0.
    """
    known = estimable & np.isfinite(raw)
    z = np.zeros(len(raw))
    if known.sum() < 3:
        return z
    x = raw[known]
    w = cap_weight[known]
    for _ in range(2):
        sd = x.std()
        if not sd > 0:
            return z
        x = np.clip((x - _weighted_mean(x, w)) / sd, -WINSOR, WINSOR)
    sd = x.std()
    x = (x - _weighted_mean(x, w)) / sd if sd > 0 else x * 0.0
    finite = np.isfinite(raw)
    z[known] = x
    # Stocks outside the estimable set that have a value are placed on the same scale.
    rest = finite & ~known
    if rest.any():
        mu = _weighted_mean(raw[known], w)
        z[rest] = np.clip((raw[rest] - mu) / raw[known].std(), -WINSOR, WINSOR)
    return z


def _orthogonal(z: np.ndarray, against: list, estimable: np.ndarray, w: np.ndarray):
    """``z`` less its weighted regression on ``against`` (and a constant), restandardised."""
    if not against:
        return z
    x = np.column_stack([np.ones(len(z))] + against)
    sw = np.sqrt(np.where(estimable, w, 0.0))
    coef, *_ = np.linalg.lstsq(x * sw[:, None], z * sw, rcond=None)
    resid = z - x @ coef
    sd = resid[estimable].std() if estimable.sum() > 2 else 0.0
    return resid / sd if sd > 0 else resid * 0.0


def _shrunk_covariance(returns: np.ndarray, weights: np.ndarray) -> tuple:
    """(covariance, intensity): the weighted second moment shrunk toward its diagonal.

    ``weights`` sum to 1. The intensity is Ledoit and Wolf's for a diagonal target:
    the summed variance of the off-diagonal estimates over their summed squares,
    with the variance of a weighted mean (sum of squared weights times the weighted
    variance of the products), at least MIN_SHRINKAGE.
    """
    wr = returns * weights[:, None]
    cov = returns.T @ wr
    cov = (cov + cov.T) / 2.0
    squares = returns * returns
    fourth = squares.T @ (squares * weights[:, None])
    variance = (weights @ weights) * np.maximum(fourth - cov * cov, 0.0)
    off = ~np.eye(len(cov), dtype=bool)
    scale = (cov[off] ** 2).sum()
    intensity = variance[off].sum() / scale if scale > 0 else 1.0
    intensity = float(np.clip(intensity, MIN_SHRINKAGE, 1.0))
    diagonal = np.maximum(np.diag(cov), MIN_FACTOR_VARIANCE)
    shrunk = (1.0 - intensity) * cov
    shrunk[np.diag_indices_from(shrunk)] = diagonal
    return shrunk, intensity


# --------------------------------------------------------------------------- the build


class _Builder:
    def __init__(
        self, inputs: _Inputs, model_days, statistical_factors, progress, half_lives
    ) -> None:
        self.x = inputs
        self.half_lives, self.specific_half_lives = half_lives
        self.progress = progress
        returns = inputs.returns
        self.n_days, self.n = returns.shape
        self.available = np.isfinite(returns)
        self.model_days = np.asarray(model_days, dtype=np.int64)
        self.statistical = statistical_factors
        self.market = self._market()
        # The next model date of each one (the day after the calendar for the last):
        # a stock listing before it is in the model date's cross-section.
        dates = inputs.dates
        self.next_date = np.r_[dates[self.model_days[1:]], dates[-1] + 1]
        self.styles = self._style_names()
        self.has_industries = bool(inputs.industry_names)

    # -- what the data gives ---------------------------------------------------------
    def _style_names(self) -> list:
        x = self.x
        styles = ["beta", "momentum", "residual_volatility"]
        if x.caps is not None:
            styles += ["size", "non_linear_size"]
            if x.traded is not None:
                styles.append("liquidity")
            fund = x.fundamentals
            if fund is not None:
                given = {c for c in FUNDAMENTAL_FIELDS if c in fund and fund[c].notna().any()}
                for style, need in (
                    ("book_to_price", "book_value"),
                    ("earnings_yield", "earnings"),
                    ("growth", "sales"),
                    ("leverage", "total_debt"),
                ):
                    if need in given:
                        styles.append(style)
        return [s for s in STYLE_FACTORS if s in styles]

    def _market(self) -> np.ndarray:
        """The series beta is measured against: the one given, else the market's
        cap-weighted (equal-weighted without caps) daily return."""
        if self.x.market is not None:
            return np.nan_to_num(self.x.market)
        r = np.where(self.available, self.x.returns, 0.0)
        if self.x.caps is None:
            counts = self.available.sum(axis=1)
            return np.where(counts > 0, r.sum(axis=1) / np.maximum(counts, 1), 0.0)
        caps = np.vstack([np.full(self.n, np.nan), self.x.caps[:-1]])  # yesterday's caps
        w = np.where(self.available & np.isfinite(caps), caps, 0.0)
        total = w.sum(axis=1)
        return np.where(total > 0, (w * r).sum(axis=1) / np.where(total > 0, total, 1.0), 0.0)

    def _members(self, m: int) -> np.ndarray:
        tau = self.model_days[m]
        x = self.x
        if x.listed is not None:
            alive = x.listed < self.next_date[m]
            if x.delisted is not None:
                alive &= np.isnat(x.delisted) | (x.delisted > x.dates[tau])
            return np.flatnonzero(alive)
        lo = max(0, tau - EXPOSURE_WINDOW + 1)
        return np.flatnonzero(self.available[lo : tau + 1].any(axis=0))

    def _industry_codes(self, m: int, members: np.ndarray) -> np.ndarray:
        codes = np.full(self.n, -1, dtype=np.int64)
        if not self.has_industries:
            return codes[members]
        stock, start, code = self.x.industry_history
        day = self.x.dates[self.model_days[m]]
        # The latest assignment on or before the model date; a stock that lists later
        # takes its first one. Rows are sorted by stock, then start.
        first = np.r_[True, stock[1:] != stock[:-1]]
        codes[stock[first]] = code[first]
        on = start <= day
        codes[stock[on]] = code[on]  # later rows of a stock overwrite earlier ones
        return codes[members]

    def _caps_at(self, tau: int, members: np.ndarray) -> np.ndarray | None:
        if self.x.caps is None:
            return None
        return self.x.caps[tau, members]

    # -- styles ----------------------------------------------------------------------
    def _styles(self, m: int, members: np.ndarray, caps) -> tuple:
        """(members x styles exposures, observations in the window per member)."""
        tau = self.model_days[m]
        lo = max(0, tau - EXPOSURE_WINDOW + 1)
        r = self.x.returns[lo : tau + 1][:, members]
        a = self.available[lo : tau + 1][:, members]
        r0 = np.where(a, r, 0.0)
        mkt = self.market[lo : tau + 1]
        length = tau + 1 - lo
        n_obs = a.sum(axis=0)
        estimable = n_obs >= min(MIN_OBSERVATIONS, length)
        cap_weight = np.ones(len(members))
        if caps is not None:
            cap_weight = np.where(np.isfinite(caps) & (caps > 0), caps, 0.0)
        raw = {}
        with np.errstate(invalid="ignore", divide="ignore"):
            w = _ew_weights(length, BETA_HALF_LIFE)
            aw = a * w[:, None]
            sw = aw.sum(axis=0)
            mean_m = (mkt @ aw) / sw
            mean_r = (w @ r0) / sw
            var_m = ((mkt * mkt) @ aw) / sw - mean_m**2
            cov_rm = ((w * mkt) @ r0) / sw - mean_m * mean_r
            beta = cov_rm / var_m
            raw["beta"] = beta
            resid = np.where(a, r0 - (mean_r - beta * mean_m) - mkt[:, None] * beta, 0.0)
            w2 = _ew_weights(length, RESIDUAL_VOLATILITY_HALF_LIFE)
            raw["residual_volatility"] = np.sqrt((w2 @ (resid * resid)) / (w2 @ a.astype(float)))
            skip = min(MOMENTUM_SKIP, max(length - 1, 0))
            w3 = _ew_weights(length - skip, MOMENTUM_HALF_LIFE)
            raw["momentum"] = w3 @ np.log1p(r0[: length - skip])
        if caps is not None:
            with np.errstate(invalid="ignore", divide="ignore"):
                raw["size"] = np.log(np.where(cap_weight > 0, cap_weight, np.nan))
            if "liquidity" in self.styles:
                raw["liquidity"] = self._liquidity(tau, members)
            raw.update(self._fundamental_styles(tau, members, cap_weight))
        z = {}
        for style in self.styles:
            if style == "non_linear_size":
                continue
            z[style] = _standardise(raw[style], estimable, cap_weight)
        reg_w = np.sqrt(cap_weight) if caps is not None else np.ones(len(members))
        if "size" in z:
            size = z["size"]
            cube = _orthogonal(size**3, [size], estimable & np.isfinite(raw["size"]), reg_w)
            z["non_linear_size"] = np.clip(cube, -WINSOR, WINSOR)
            z["non_linear_size"][~np.isfinite(raw["size"])] = 0.0
        # Residual volatility and liquidity carry much of beta and size; the usual
        # models keep only what is their own.
        z["residual_volatility"] = _orthogonal(
            z["residual_volatility"], [z[s] for s in ("beta", "size") if s in z], estimable, reg_w
        )
        if "liquidity" in z:
            z["liquidity"] = _orthogonal(z["liquidity"], [z["size"]], estimable, reg_w)
        # Few returns, weak evidence: the estimates from returns lean toward the mean.
        trust = np.minimum(1.0, n_obs / float(MIN_OBSERVATIONS))
        for style in ("beta", "momentum", "residual_volatility"):
            z[style] = z[style] * trust
        return np.column_stack([z[s] for s in self.styles]), n_obs

    def _liquidity(self, tau: int, members: np.ndarray) -> np.ndarray:
        """The log share turnover over a month, a quarter and a year, blended."""
        start = max(0, tau - 251)
        caps = self.x.caps[start : tau + 1, members]
        traded = self.x.traded[start : tau + 1, members]
        with np.errstate(invalid="ignore", divide="ignore"):
            turnover = traded / caps
        parts = []
        for days, months, weight in ((21, 1, 0.35), (63, 3, 0.35), (252, 12, 0.30)):
            block = turnover[-days:]
            seen = np.isfinite(block).sum(axis=0)
            with np.errstate(invalid="ignore", divide="ignore"):
                total = np.nansum(block, axis=0) * days / np.maximum(seen, 1) / months
                parts.append(weight * np.log(np.maximum(total, 1e-8)))
            parts[-1][seen == 0] = np.nan
        return np.sum(parts, axis=0)

    def _fundamental_styles(self, tau: int, members: np.ndarray, caps: np.ndarray) -> dict:
        out = {}
        fund = self.x.fundamentals
        if fund is None:
            return out
        with np.errstate(invalid="ignore", divide="ignore"):
            cap = np.where(caps > 0, caps, np.nan)
            now = self._as_of(tau, members)
            if "book_to_price" in self.styles:
                out["book_to_price"] = now["book_value"] / cap
            if "earnings_yield" in self.styles:
                out["earnings_yield"] = now["earnings"] / cap
            if "leverage" in self.styles:
                out["leverage"] = (cap + now["total_debt"]) / cap
            if "growth" in self.styles:
                before = self._as_of(tau - 252, members) if tau >= 252 else None
                if before is None:
                    out["growth"] = np.full(len(members), np.nan)
                else:
                    past = before["sales"]
                    out["growth"] = (now["sales"] - past) / np.abs(past)
        return out

    def _as_of(self, tau: int, members: np.ndarray) -> dict:
        """The latest figure of each fundamental on or before day ``tau``, per member."""
        if not hasattr(self, "_fund_tables"):
            fund = self.x.fundamentals
            self._fund_tables = {}
            col = pd.Index(self.x.ids).get_indexer(fund["order_book_id"])
            days = pd.to_datetime(fund["date"]).to_numpy().astype("datetime64[D]")
            order = np.lexsort((days, col))
            for field in FUNDAMENTAL_FIELDS:
                if field not in fund:
                    continue
                values = np.asarray(fund[field], dtype=float)[order]
                keep = np.isfinite(values) & (col[order] >= 0)
                self._fund_tables[field] = (col[order][keep], days[order][keep], values[keep])
        day = self.x.dates[tau]
        out = {}
        for field in FUNDAMENTAL_FIELDS:
            values = np.full(self.n, np.nan)
            if field in self._fund_tables:
                stock, when, v = self._fund_tables[field]
                on = when <= day
                values[stock[on]] = v[on]  # sorted by stock then date: the latest wins
            out[field] = values[members]
        return out

    # -- the factor regressions -----------------------------------------------------
    def _design(self, day: dict) -> tuple:
        """(regressors, weights, map to factor returns) of a model date's cross-section.

        Regressors are the market, the industries less one and the styles. The
        industry returns are held to a weighted sum of zero: the last industry's
        return is minus the others' weighted sum, so the market factor stays
        identified even though every classified stock is in one industry.
        """
        k_ind = len(self.x.industry_names or [])
        n_m = len(day["members"])
        w = day["weight"]
        k_sty = len(self.styles)
        columns = [np.ones((n_m, 1))]
        # Factor returns = expand @ regression coefficients.
        expand = [np.eye(1, 1 + k_ind + k_sty, 0).T]
        if k_ind:
            dummies = np.zeros((n_m, k_ind))
            has = day["industry"] >= 0
            dummies[np.flatnonzero(has), day["industry"][has]] = 1.0
            share = w @ dummies
            present = np.flatnonzero(share > 0)
            if len(present) >= 2:  # with one industry, its return is the market's
                last, free = present[-1], present[:-1]
                ratio = share[free] / share[last]
                columns.append(dummies[:, free] - dummies[:, [last]] * ratio)
                block = np.zeros((1 + k_ind + k_sty, len(free)))
                block[1 + free, np.arange(len(free))] = 1.0
                block[1 + last] = -ratio
                expand.append(block)
        columns.append(day["styles"])
        styles = np.zeros((1 + k_ind + k_sty, k_sty))
        styles[1 + k_ind :] = np.eye(k_sty)
        expand.append(styles)
        return np.hstack(columns), w, np.hstack(expand)

    def _regress(self, days: slice, day: dict, factor_returns, residuals) -> None:
        members = day["members"]
        z, w, expand = self._design(day)
        r = self.x.returns[days][:, members]
        a = self.available[days][:, members]
        y = np.where(a, r, 0.0)
        aw = a * w
        k = z.shape[1]
        normal = (aw @ (z[:, :, None] * z[:, None, :]).reshape(len(members), k * k)).reshape(
            -1, k, k
        )
        rhs = (aw * y) @ z
        scale = np.trace(normal, axis1=1, axis2=2) / k
        ridge = 1e-9 * scale + 1e-300
        normal[:, np.arange(k), np.arange(k)] += ridge[:, None]
        coef = np.linalg.solve(normal, rhs[:, :, None])[:, :, 0]
        factor_returns[days] = coef @ expand.T
        fitted = coef @ z.T
        residuals[days.start : days.stop, members] = np.where(a, y - fitted, np.nan)

    # -- statistical factors ---------------------------------------------------------
    def _residual_spectrum(self, m: int, day: dict, residuals) -> dict:
        tau = self.model_days[m]
        lo = max(0, tau - PCA_WINDOW + 1)
        members = day["members"]
        e = residuals[lo : tau + 1][:, members]
        a = np.isfinite(e)
        n_obs = a.sum(axis=0)
        length = tau + 1 - lo
        estimable = n_obs >= min(MIN_OBSERVATIONS, length)
        e0 = np.where(a, e, 0.0)
        with np.errstate(invalid="ignore", divide="ignore"):
            sigma = np.sqrt((e0 * e0).sum(axis=0) / n_obs)
        estimable &= sigma > 0
        zs = e0[:, estimable] / sigma[estimable]
        gram = zs @ zs.T
        values = np.linalg.eigvalsh(gram)[::-1]
        n_est = int(estimable.sum())
        edge = (np.sqrt(length) + np.sqrt(n_est)) ** 2 * NOISE_EDGE_MARGIN
        found = int((values > edge).sum())
        # The Gram matrix (days x days) is small; the residuals it came from are read
        # again when the loadings are made.
        return {
            "estimable": estimable,
            "sigma": sigma,
            "gram": gram,
            "window": slice(lo, tau + 1),
            "found": min(found, MAX_STATISTICAL, n_est // 10, length // 5),
        }

    def _loadings(self, spectrum: dict, count: int, members: np.ndarray) -> np.ndarray:
        """Members x count loadings, each with cross-sectional standard deviation 1."""
        loadings = np.zeros((len(members), count))
        if count == 0:
            return loadings
        values, vectors = np.linalg.eigh(spectrum["gram"])
        values, vectors = values[::-1][:count], vectors[:, ::-1][:, :count]
        est = spectrum["estimable"]
        sigma = spectrum["sigma"][est]
        e = self.residuals[spectrum["window"]][:, members[est]]
        zs = np.where(np.isfinite(e), e, 0.0) / sigma
        right = zs.T @ vectors / np.sqrt(np.maximum(values, 1e-300))
        raw = right * sigma[:, None]
        # A fixed sign: the loadings of each component sum to a positive number.
        raw *= np.where(raw.sum(axis=0) < 0, -1.0, 1.0)
        sd = raw.std(axis=0)
        loadings[est] = raw / np.where(sd > 0, sd, 1.0)
        return loadings

    # -- one model date --------------------------------------------------------------
    def _risk(self, m: int, day: dict, factor_returns, residuals, spectrum, count):
        tau = self.model_days[m]
        members = day["members"]
        lo = max(0, tau - COVARIANCE_WINDOW + 1)
        loadings = self._loadings(spectrum, count, members)
        e = residuals[lo : tau + 1][:, members]
        a = np.isfinite(e)
        e0 = np.where(a, e, 0.0)
        sigma = spectrum["sigma"]
        est = spectrum["estimable"]
        if count:
            inv_var = np.where(est, 1.0 / np.where(est, sigma, 1.0) ** 2, 0.0)
            weighted = loadings * inv_var[:, None]
            gram = loadings.T @ weighted
            project = np.linalg.solve(gram, weighted.T)  # count x members
            scores = e0 @ project.T
            specific = np.where(a, e0 - scores @ loadings.T, 0.0)
            returns = np.hstack([factor_returns[lo : tau + 1], scores])
        else:
            specific = e0
            returns = factor_returns[lo : tau + 1]
        length = tau + 1 - lo
        covariance, spec_vol, shrinkage = {}, {}, {}
        a_float = a.astype(float)
        sq = specific * specific
        # A day without a single return (a gap in the data) is no observation of the
        # factors.
        observed = self.available[lo : tau + 1].any(axis=1)
        for model in COV_MODELS:
            w = _ew_weights(length, self.half_lives[model]) * observed
            w /= w.sum()
            covariance[model], shrinkage[model] = _shrunk_covariance(returns, w)
            ws = _ew_weights(length, self.specific_half_lives[model])
            seen = ws @ a_float
            with np.errstate(invalid="ignore", divide="ignore"):
                var = (ws @ sq) / seen
                evidence = seen**2 / ((ws * ws) @ a_float)
            good = est & (seen > 0)
            # With no stock to learn from (returns that never vary), the least variance.
            prior = float(np.mean(var[good])) if good.any() else MIN_FACTOR_VARIANCE
            evidence = np.where(good, evidence, 0.0)
            var = np.where(good, var, prior)
            var = (evidence * var + SPECIFIC_PRIOR_DAYS * prior) / (evidence + SPECIFIC_PRIOR_DAYS)
            floor = SPECIFIC_FLOOR * float(np.median(var[good])) if good.any() else prior
            spec_vol[model] = np.sqrt(np.maximum(var, floor))
        return loadings, covariance, spec_vol, shrinkage

    # -- the whole build -------------------------------------------------------------
    def run(self) -> RiskModel:
        x = self.x
        k_ind = len(x.industry_names or [])
        bar = self.progress
        days = []
        for m in range(len(self.model_days)):
            members = self._members(m)
            caps = self._caps_at(self.model_days[m], members)
            styles, n_obs = self._styles(m, members, caps)
            weight = np.ones(len(members))
            if caps is not None:
                ok = np.isfinite(caps) & (caps > 0)
                med = np.median(caps[ok]) if ok.any() else 1.0
                weight = np.sqrt(np.where(ok, caps, med))
                weight /= weight.mean()
            days.append(
                {
                    "members": members,
                    "industry": self._industry_codes(m, members),
                    "styles": styles,
                    "weight": weight,
                }
            )
            bar.update(1)
        # Factor returns and residuals of every day up to the last model date, each
        # day with the exposures of the model date before it; the first model date's
        # serve the days before it too.
        k_fund = 1 + k_ind + len(self.styles)
        taus = [int(t) for t in self.model_days]
        factor_returns = np.zeros((taus[-1] + 1, k_fund))
        residuals = self.residuals = np.full((taus[-1] + 1, self.n), np.nan)
        for m in range(len(taus)):
            if m == 0:
                span = slice(0, (taus[1] if len(taus) > 1 else taus[0]) + 1)
            elif m + 1 < len(taus):
                span = slice(taus[m] + 1, taus[m + 1] + 1)
            else:
                span = None  # days after the last model date serve no model
            if span is not None and span.start < span.stop:
                self._regress(span, days[m], factor_returns, residuals)
            bar.update(1)
        spectra = []
        found = []
        for m in range(len(self.model_days)):
            spectra.append(self._residual_spectrum(m, days[m], residuals))
            found.append(spectra[-1]["found"])
            bar.update(1)
        # The model has as many statistical factors as its richest date found; a date
        # that found fewer leaves the rest idle (zero loadings), so each date's model
        # depends on its own past only.
        count = max(found) if self.statistical == "auto" else int(self.statistical)
        names = [MARKET_FACTOR] + list(x.industry_names or []) + list(self.styles)
        names += [f"{STATISTICAL_PREFIX}{j + 1}" for j in range(count)]
        kinds = (
            ["market"] + ["industry"] * k_ind + ["style"] * len(self.styles)
            + ["statistical"] * count
        )  # fmt: skip
        result = []
        shrinkage = {model: [] for model in COV_MODELS}
        for m in range(len(self.model_days)):
            day = days[m]
            spectrum = spectra[m]
            usable = found[m] if self.statistical == "auto" else count
            usable = min(usable, len(spectrum["gram"]), int(spectrum["estimable"].sum()))
            loadings, covariance, spec_vol, shrunk = self._risk(
                m, day, factor_returns, residuals, spectrum, usable
            )
            if usable < count:  # the components this date did not find are idle
                loadings = np.hstack([loadings, np.zeros((len(day["members"]), count - usable))])
                for model in COV_MODELS:
                    full = np.diag(np.full(k_fund + count, MIN_FACTOR_VARIANCE))
                    full[: k_fund + usable, : k_fund + usable] = covariance[model]
                    covariance[model] = full
            dummies = np.zeros((len(day["members"]), k_ind))
            has = day["industry"] >= 0
            dummies[np.flatnonzero(has), day["industry"][has]] = 1.0
            exposure = np.hstack(
                [np.ones((len(day["members"]), 1)), dummies, day["styles"], loadings]
            )
            for model in COV_MODELS:
                shrinkage[model].append(shrunk[model])
            result.append(
                (
                    x.dates[self.model_days[m]],
                    _Day(day["members"], exposure, day["industry"], covariance, spec_vol),
                )
            )
            spectra[m] = None  # the residual matrices of a date are no longer needed
            bar.update(1)
        details = {
            "statistical_found": found,
            "shrinkage": shrinkage,
            "half_lives": self.half_lives,
            "specific_half_lives": self.specific_half_lives,
        }
        return RiskModel(x, result, names, kinds, details)


class _NoBar:
    def update(self, n=1) -> None:
        pass

    def close(self) -> None:
        pass


def model_days(dates: np.ndarray, returns: np.ndarray) -> np.ndarray:
    """Calendar positions of the model dates: every month's last trading day and the
    calendar's last, from the first with MIN_HISTORY days of returns behind it."""
    months = dates.astype("datetime64[M]")
    ends = np.flatnonzero(np.r_[months[1:] != months[:-1], True])
    seen = np.cumsum(np.isfinite(returns).any(axis=1))
    return ends[seen[ends] >= MIN_HISTORY]


def why_not_buildable(inputs: _Inputs) -> str | None:
    """Why no model can be built from ``inputs``, or None when one can."""
    days = np.isfinite(inputs.returns).any(axis=1).sum()
    if days < MIN_HISTORY:
        return (
            f"the returns cover {days} trading day{'s' if days != 1 else ''}; a risk model "
            f"needs at least {MIN_HISTORY}"
        )
    stocks = np.isfinite(inputs.returns).any(axis=0).sum()
    if stocks < MIN_STOCKS:
        return f"{stocks} stock(s) have returns; a risk model needs at least {MIN_STOCKS}"
    return None


def _half_lives(given, default: dict, what: str) -> dict:
    out = dict(default)
    if given is None:
        return out
    if not isinstance(given, dict):
        raise TidewellTypeError(f"{what} must be a dict of cov_model -> days, not {given!r}")
    for key, value in given.items():
        model = _cov_model(key)
        if isinstance(value, bool) or not isinstance(value, (int, float, np.number)):
            raise TidewellTypeError(f"{what}[{model!r}] must be a number of days, not {value!r}")
        if not (np.isfinite(value) and value > 0):
            raise TidewellError(
                f"{what}[{model!r}] must be a positive number of days, not {value}"
            )
        out[model] = float(value)
    return out


def build(
    inputs: _Inputs,
    statistical_factors="auto",
    progress=None,
    model_dates=None,
    half_lives=None,
    specific_half_lives=None,
):
    """Build the model of ``inputs`` (arrays); ``progress`` a tqdm-like bar or None."""
    lives = _half_lives(half_lives, HALF_LIVES, "half_lives")
    specific = _half_lives(
        specific_half_lives,
        SPECIFIC_HALF_LIVES if half_lives is None else lives,
        "specific_half_lives",
    )
    reason = why_not_buildable(inputs)
    if reason is not None:
        raise TidewellError(f"cannot build a risk model: {reason}")
    if model_dates is None:
        positions = model_days(inputs.dates, inputs.returns)
    else:
        positions = np.asarray(model_dates, dtype=np.int64)
    if len(positions) == 0:
        raise TidewellError(
            f"cannot build a risk model: no model date has {MIN_HISTORY} days of returns before it"
        )
    _check_names(inputs)
    builder = _Builder(
        inputs, positions, statistical_factors, progress or _NoBar(), (lives, specific)
    )
    # Many mid-sized products and decompositions: one BLAS thread runs them faster
    # than several that wait on each other (several times faster on a busy machine).
    from threadpoolctl import threadpool_limits

    with threadpool_limits(limits=1, user_api="blas"):
        return builder.run()


def steps(n_model_dates: int) -> int:
    """Progress steps of a build over ``n_model_dates`` model dates."""
    return 4 * n_model_dates


def _check_names(inputs: _Inputs) -> None:
    reserved = {MARKET_FACTOR, *STYLE_FACTORS}
    for name in inputs.industry_names or []:
        if name in reserved or str(name).startswith(STATISTICAL_PREFIX):
            raise TidewellError(
                f"industry {name!r} has the name of a risk-model factor (the market, a "
                f"style or a statistical factor {STATISTICAL_PREFIX}N); rename it"
            )


# --------------------------------------------------------------------------- from pandas


def _frame(value, what: str) -> pd.DataFrame:
    if not isinstance(value, pd.DataFrame):
        raise TidewellTypeError(
            f"{what} must be a DataFrame (dates x order_book_ids), not {type(value).__name__}"
        )
    try:
        index = pd.DatetimeIndex(pd.to_datetime(value.index))
    except (TypeError, ValueError):
        raise TidewellError(f"{what}: the index must be dates") from None
    if index.has_duplicates:
        raise TidewellError(f"{what}: the date {index[index.duplicated()][0].date()} repeats")
    out = value.copy()
    out.index = index.normalize()
    out.columns = [str(c) for c in out.columns]
    if out.columns.duplicated().any():
        raise TidewellError(
            f"{what}: the column {out.columns[out.columns.duplicated()][0]!r} repeats"
        )
    try:
        out = out.astype(float)
    except (TypeError, ValueError):
        raise TidewellError(f"{what}: every value must be a number or missing") from None
    if np.isinf(out.to_numpy()).any():
        raise TidewellError(f"{what}: holds an infinite value")
    return out.sort_index()


def _aligned(value, what: str, index, columns, fill: bool):
    if value is None:
        return None
    frame = _frame(value, what).reindex(columns=columns)
    if fill:
        frame = frame.reindex(index.union(frame.index)).ffill().reindex(index)
    else:
        frame = frame.reindex(index)
    return frame.to_numpy(dtype=float)


def build_risk_model(
    returns=None,
    *,
    prices=None,
    industries=None,
    market_caps=None,
    traded_values=None,
    fundamentals=None,
    market=None,
    listings=None,
    statistical_factors="auto",
    half_lives=None,
    specific_half_lives=None,
    progress: bool = False,
) -> RiskModel:
    """Build a factor risk model from daily returns (or prices) of stocks.

    :param returns: DataFrame of daily returns as fractions, one row per trading day
        (a DatetimeIndex or dates), one column per stock; NaN where a stock did not
        trade. Give either this or ``prices``.
    :param prices: DataFrame of daily closes, shaped like ``returns``; the returns are
        the ratios of consecutive closes (adjust them for splits and dividends).
    :param industries: the industry of each stock, a Series (order_book_id ->
        industry) or a DataFrame with the columns order_book_id, start_date and
        industry (the industry from start_date on); each becomes a factor.
    :param market_caps: DataFrame like ``returns``; a cap holds until the next one.
        Adds size and non-linear size, and weights the regressions and the market.
    :param traded_values: DataFrame like ``returns`` of the day's traded value; with
        caps, adds liquidity.
    :param fundamentals: DataFrame with the columns order_book_id, date (when the
        figures became known) and any of book_value, earnings, sales, total_debt;
        with caps, adds book_to_price, earnings_yield, growth, leverage.
    :param market: Series of the daily returns beta is measured against (default:
        the stocks' cap-weighted, or without caps equal-weighted, return).
    :param listings: DataFrame indexed by order_book_id with listed_date and
        de_listed_date: a model date's cross-section is then every stock listed
        before the next model date and not delisted (otherwise: the stocks with a
        return in the last year).
    :param statistical_factors: how many principal components of the residual
        returns to add, or "auto" (those that stand out of the noise).
    :param half_lives: {cov_model: trading days} of the factor covariance, for those
        to differ from ``HALF_LIVES``.
    :param specific_half_lives: the same for the specific variances (default: those
        of ``half_lives`` when given, else ``SPECIFIC_HALF_LIVES``).
    :param progress: show a progress bar on stderr.
    """
    if (returns is None) == (prices is None):
        raise TidewellError("give either returns or prices")
    if prices is not None:
        frame = _frame(prices, "prices")
        if (frame.to_numpy()[np.isfinite(frame.to_numpy())] <= 0).any():
            raise TidewellError("prices: every price must be positive")
        frame = frame / frame.ffill().shift(1) - 1.0
        frame = frame.where(_frame(prices, "prices").notna())
    else:
        frame = _frame(returns, "returns")
    values = frame.to_numpy(dtype=float)
    finite = values[np.isfinite(values)]
    if (finite <= -1).any():
        raise TidewellError("returns: a return of -100 % or less; write returns as fractions")
    if finite.size and np.median(np.abs(finite)) > PERCENT_MEDIAN:
        raise TidewellError(
            f"returns: the median absolute return is {np.median(np.abs(finite)):.4g}, so "
            "they look like percent; write them as fractions (0.0123 is +1.23 %)"
        )
    ids = list(frame.columns)
    index = frame.index
    inputs = _Inputs(
        dates=index.to_numpy().astype("datetime64[D]"),
        ids=ids,
        returns=values,
        caps=_aligned(market_caps, "market_caps", index, ids, fill=True),
        traded=_aligned(traded_values, "traded_values", index, ids, fill=False),
    )
    if industries is not None:
        inputs.industry_names, inputs.industry_history = _industry_input(industries, ids)
        inputs.classification = "given"
    if fundamentals is not None:
        if not isinstance(fundamentals, pd.DataFrame) or not {"order_book_id", "date"} <= set(
            fundamentals.columns
        ):
            raise TidewellError(
                "fundamentals must be a DataFrame with the columns order_book_id, date and "
                "any of " + ", ".join(FUNDAMENTAL_FIELDS)
            )
        inputs.fundamentals = fundamentals
    if market is not None:
        series = pd.Series(market, dtype=float)
        series.index = pd.to_datetime(series.index).normalize()
        inputs.market = series.reindex(index).to_numpy(dtype=float)
    if listings is not None:
        table = pd.DataFrame(listings).reindex(ids)
        listed = pd.to_datetime(table["listed_date"], errors="coerce")
        inputs.listed = listed.fillna(index[0]).to_numpy().astype("datetime64[D]")
        if "de_listed_date" in table:
            text = (
                table["de_listed_date"]
                .astype(object)
                .where(
                    ~table["de_listed_date"].astype(str).isin(["0000-00-00", "", "None", "nan"])
                )
            )
            inputs.delisted = (
                pd.to_datetime(text, errors="coerce").to_numpy().astype("datetime64[D]")
            )
    if not (
        statistical_factors == "auto"
        or (
            isinstance(statistical_factors, (int, np.integer))
            and not isinstance(statistical_factors, bool)
            and statistical_factors >= 0
        )
    ):
        raise TidewellError(
            "statistical_factors must be 'auto' or a count of 0 or more, "
            f"not {statistical_factors!r}"
        )
    bar = None
    if progress:
        from tqdm.auto import tqdm

        n = len(model_days(inputs.dates, inputs.returns))
        bar = tqdm(total=steps(n), desc="tidewell: building the risk model", unit="step")
    try:
        return build(
            inputs,
            statistical_factors,
            bar,
            half_lives=half_lives,
            specific_half_lives=specific_half_lives,
        )
    finally:
        if bar is not None:
            bar.close()


def _industry_input(industries, ids) -> tuple:
    if isinstance(industries, pd.Series):
        table = pd.DataFrame(
            {
                "order_book_id": industries.index.astype(str),
                "start_date": pd.Timestamp("1900-01-01"),
                "industry": industries.to_numpy(),
            }
        )
    elif isinstance(industries, pd.DataFrame) and {
        "order_book_id",
        "start_date",
        "industry",
    } <= set(industries.columns):
        table = industries
    else:
        raise TidewellError(
            "industries must be a Series (order_book_id -> industry) or a DataFrame with "
            "the columns order_book_id, start_date and industry"
        )
    table = table[table["industry"].notna()]
    names = sorted({str(v) for v in table["industry"]})
    return names, industry_history(
        table["order_book_id"].astype(str),
        table["start_date"],
        table["industry"].astype(str),
        ids,
        names,
    )


def industry_history(order_book_ids, start_dates, industries, ids, names) -> tuple:
    """(stock position, start datetime64[D], industry code), sorted by stock and start,
    of the rows whose stock is in ``ids``."""
    stock = pd.Index(ids).get_indexer(np.asarray(order_book_ids, dtype=object))
    start = pd.to_datetime(np.asarray(start_dates)).to_numpy().astype("datetime64[D]")
    code = pd.Index(names).get_indexer(np.asarray(industries, dtype=object))
    keep = (stock >= 0) & (code >= 0)
    stock, start, code = stock[keep], start[keep], code[keep]
    order = np.lexsort((start, stock))
    return stock[order], start[order], code[order]


# --------------------------------------------------------------------------- in a store


# The common stocks in order_book_id order, numbered from 0: a build's columns.
_STOCK_POSITIONS = (
    "(SELECT order_book_id, CAST(row_number() OVER (ORDER BY order_book_id) - 1 AS INTEGER) "
    "AS stock FROM instruments WHERE type = 'CS')"
)


def _scatter(con, table: str, column: str, ids: list, days: np.ndarray) -> np.ndarray:
    """Days x stocks values of a (order_book_id, date, ``column``) table, NaN where none.

    The engine numbers the stocks and days, so millions of rows arrive as three
    numeric arrays (no text per row).
    """
    res = con.execute(
        f"SELECT s.stock, CAST(t.date - DATE '1970-01-01' AS INTEGER) AS day, t.{column} "
        f"FROM {table} t JOIN {_STOCK_POSITIONS} s USING (order_book_id)"
    ).fetchnumpy()
    out = np.full((len(days), len(ids)), np.nan)
    if len(res[column]) == 0:
        return out
    col = np.asarray(res["stock"], dtype=np.int64)
    when = np.asarray(res["day"], dtype=np.int64).astype("datetime64[D]")
    row = np.searchsorted(days, when)
    keep = row < len(days)
    keep[keep] &= days[row[keep]] == when[keep]
    out[row[keep], col[keep]] = np.asarray(res[column], dtype=float)[keep]
    return out


def _forward_filled(values: np.ndarray) -> np.ndarray:
    return pd.DataFrame(values).ffill().to_numpy()


def _store_inputs(con) -> _Inputs:
    """What a build reads from a store being written: the common stocks' change rates,
    listings, industries, caps, traded values and fundamentals."""
    stocks = con.execute(
        "SELECT order_book_id, listed_date, de_listed_date FROM instruments WHERE type = 'CS' "
        "ORDER BY order_book_id"
    ).fetchnumpy()
    ids = [str(i) for i in stocks["order_book_id"]]
    days = np.asarray(
        [r[0] for r in con.execute("SELECT date FROM trading_dates ORDER BY date").fetchall()],
        dtype="datetime64[D]",
    )
    inputs = _Inputs(
        dates=days,
        ids=ids,
        returns=_scatter(con, "price_changes", "change_rate", ids, days),
        listed=np.asarray(stocks["listed_date"]).astype("datetime64[D]"),
    )
    delisted = stocks["de_listed_date"]
    if isinstance(delisted, np.ma.MaskedArray):
        delisted = delisted.astype("datetime64[D]").filled(np.datetime64("NaT"))
    inputs.delisted = np.asarray(delisted).astype("datetime64[D]")
    standards = [
        r[0]
        for r in con.execute(
            "SELECT DISTINCT classification FROM industries ORDER BY 1"
        ).fetchall()
    ]
    if standards:
        from ._schema import DEFAULT_CLASSIFICATION

        chosen = DEFAULT_CLASSIFICATION if DEFAULT_CLASSIFICATION in standards else standards[0]
        names = [
            r[0]
            for r in con.execute(
                "SELECT industry FROM industries WHERE classification = ? ORDER BY position",
                [chosen],
            ).fetchall()
        ]
        rows = con.execute(
            "SELECT order_book_id, start_date, industry FROM industry_classification "
            "WHERE classification = ?",
            [chosen],
        ).fetchnumpy()
        used = set(np.asarray(rows["industry"], dtype=object).tolist())
        names = [n for n in names if n in used]
        if names:
            inputs.classification = chosen
            inputs.industry_names = names
            inputs.industry_history = industry_history(
                rows["order_book_id"], rows["start_date"], rows["industry"], ids, names
            )
    if con.execute("SELECT count(*) FROM market_caps").fetchall()[0][0]:
        inputs.caps = _forward_filled(_scatter(con, "market_caps", "market_cap", ids, days))
    if con.execute("SELECT count(*) FROM volumes").fetchall()[0][0]:
        inputs.traded = _scatter(con, "volumes", "traded_value", ids, days)
    if con.execute("SELECT count(*) FROM fundamentals").fetchall()[0][0]:
        inputs.fundamentals = con.execute("SELECT * FROM fundamentals").df()
    return inputs


def build_in_store(con, required: bool, bar) -> str:
    """Build the risk model of the store being written on ``con`` and write it.

    Returns what became of it, for the store's meta table: "built: ..." or, when the
    data cannot carry a model and ``required`` is false, "not built: <why>".
    """
    inputs = _store_inputs(con)
    reason = why_not_buildable(inputs)
    if reason is not None:
        if required:
            raise TidewellError(f"cannot build a risk model: {reason}")
        return f"not built: {reason}"
    positions = model_days(inputs.dates, inputs.returns)
    bar.total += steps(len(positions))
    bar.refresh()
    model = build(inputs, progress=bar, model_dates=positions)
    write_model(con, model)
    kinds = model.factors["kind"].value_counts()
    parts = [f"{kinds.get(k, 0)} {k}" for k in ("market", "industry", "style", "statistical")]
    source = f", industries of {inputs.classification!r}" if inputs.classification else ""
    return "built: {} factors ({}{}); styles {}; half-lives {}".format(
        len(model.factors),
        ", ".join(parts),
        source,
        ", ".join(model.factors.loc[model.factors["kind"] == "style", "factor"]) or "none",
        ", ".join(f"{k} {v:g}" for k, v in HALF_LIVES.items()),
    )


def _insert(con, table: str, frame: pd.DataFrame, columns: list, select: list) -> None:
    con.register("tw_model_frame", frame)
    try:
        con.execute(
            "INSERT INTO {} ({}) SELECT {} FROM tw_model_frame".format(
                table, ", ".join(f'"{c}"' for c in columns), ", ".join(select)
            )
        )
    finally:
        con.unregister("tw_model_frame")


def write_model(con, model: RiskModel) -> None:
    """Write ``model`` into the (empty) risk-model tables of a store being written."""
    factors = model.factor_frame()
    _insert(
        con, "factors", factors, ["position", "factor", "kind"], ["position", "factor", "kind"]
    )
    _, extra = model._columns()
    for _, name in extra:
        con.execute(f'ALTER TABLE factor_exposures ADD COLUMN "{name}" DOUBLE')
    exposures = model.exposure_frame(categorical=True)
    columns = [c for c in exposures.columns]
    select = [f'CAST("{c}" AS DATE)' if c == "date" else f'"{c}"' for c in columns]
    _insert(con, "factor_exposures", exposures, columns, select)
    del exposures
    cov = model.covariance_frame(categorical=True)
    columns = ["cov_model", "date", "factor_1", "factor_2", "covariance"]
    select = ["cov_model", "CAST(date AS DATE)", "factor_1", "factor_2", "covariance"]
    _insert(con, "factor_covariance", cov, columns, select)
    spec = model.specific_frame(categorical=True)
    columns = ["cov_model", "date", "order_book_id", "specific_risk"]
    select = ["cov_model", "CAST(date AS DATE)", "order_book_id", "specific_risk"]
    _insert(con, "specific_risk", spec, columns, select)
