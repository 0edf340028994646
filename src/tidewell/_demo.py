"""A synthetic but internally consistent market, generated from a seed.

The demo market has about 5,000 common stocks on two exchanges, a few dozen
funds and three cap-weighted indexes over a four-year trading calendar.  Stock
returns come from a factor model: each day's change rate is

    exposures (at the latest model date) x factor returns + alpha + specific noise

so the stored factor covariance and specific risk describe the simulated
returns, and a stock's historical mean return carries information (every stock
has a small persistent alpha and the factors have premia).

Model dates are the calendar's first trading day and the last trading day of
every month.  The cross-section of a model date covers every common stock that
lists before the next model date and has not been delisted by the model date,
so a query on any day finds every stock that is trading on that day.
"""

from __future__ import annotations

import datetime as _dt
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd

from ._database import atomic_database
from ._errors import TidewellTypeError
from ._schema import COV_MODELS, STYLE_FACTORS

DEFAULT_SEED = 8

CALENDAR_START = _dt.date(2022, 1, 4)
CALENDAR_END = _dt.date(2025, 12, 31)

# Holidays on which the market is closed (weekends are closed anyway).
_HOLIDAYS = {
    2022: ["01-03", "01-31", "02-01", "02-02", "02-03", "02-04", "04-04", "04-05",
           "05-02", "05-03", "05-04", "06-03", "09-12", "10-03", "10-04", "10-05",
           "10-06", "10-07"],
    2023: ["01-02", "01-23", "01-24", "01-25", "01-26", "01-27", "04-05", "05-01",
           "05-02", "05-03", "06-22", "06-23", "09-29", "10-02", "10-03", "10-04",
           "10-05", "10-06"],
    2024: ["01-01", "02-09", "02-12", "02-13", "02-14", "02-15", "02-16", "04-04",
           "04-05", "05-01", "05-02", "05-03", "06-10", "09-16", "09-17", "10-01",
           "10-02", "10-03", "10-04", "10-07"],
    2025: ["01-01", "01-28", "01-29", "01-30", "01-31", "02-03", "02-04", "04-04",
           "05-01", "05-02", "05-05", "06-02", "10-01", "10-02", "10-03", "10-06",
           "10-07", "10-08"],
}  # fmt: skip

SWS_INDUSTRIES = (
    "agriculture", "mining", "chemicals", "steel", "nonferrous_metals", "electronics",
    "home_appliances", "food_beverage", "textiles_apparel", "light_manufacturing",
    "pharmaceuticals", "utilities", "transportation", "real_estate", "retail",
    "consumer_services", "banks", "non_bank_financials", "diversified",
    "building_materials", "construction", "power_equipment", "machinery", "defense",
    "autos", "computers", "media", "telecom", "petrochemicals", "coal", "environmental",
)  # fmt: skip
# Relative number of stocks per industry, in SWS_INDUSTRIES order.
_INDUSTRY_SIZES = (
    2, 1.2, 7, 1, 3, 7, 2, 3, 2, 3, 9, 2.5, 2.5, 2, 2, 1.5, 0.9, 1.8, 0.6, 1.5, 3, 6, 9,
    1.8, 5, 6.5, 3, 2.5, 1, 0.8, 2.5,
)  # fmt: skip
NON_BANK_SPLIT = ("securities", "insurance", "diversified_financials")
# The second standard groups industries differently: a few merged, a few split.
_CITIC_MAP = {
    "agriculture": ("agri_forestry",), "mining": ("mining",),
    "chemicals": ("basic_chemicals",), "steel": ("ferrous_metals",),
    "nonferrous_metals": ("nonferrous",), "electronics": ("electronic_components",),
    "home_appliances": ("consumer_durables",), "food_beverage": ("food", "beverages"),
    "textiles_apparel": ("apparel",), "light_manufacturing": ("consumer_durables",),
    "pharmaceuticals": ("healthcare",), "utilities": ("power_utilities",),
    "transportation": ("logistics",), "real_estate": ("property",),
    "retail": ("commerce",), "consumer_services": ("leisure",), "banks": ("banking",),
    "non_bank_financials": ("brokerage_insurance", "diversified_finance"),
    "diversified": ("conglomerates",), "building_materials": ("building_products",),
    "construction": ("engineering",), "power_equipment": ("electrical_equipment",),
    "machinery": ("industrial_machinery",), "defense": ("aerospace_defense",),
    "autos": ("automobiles",), "computers": ("it_services",),
    "media": ("media_entertainment",), "telecom": ("communications",),
    "petrochemicals": ("energy",), "coal": ("energy",),
    "environmental": ("power_utilities",),
}  # fmt: skip

_SYLLABLES = (
    "an", "bao", "chen", "da", "fei", "gu", "hai", "heng", "hua", "jin", "kai", "lan",
    "long", "ming", "nan", "ping", "qi", "rui", "shan", "tai", "tian", "wei", "xin",
    "yang", "yong", "yuan", "ze", "zhi",
)  # fmt: skip
_SUFFIX = {"CS": ("Holdings", "Group", "Co", "Industries", "Technology", "Shares")}

INDEXES = (
    ("990300.XSHG", "Demo 300"),
    ("990500.XSHG", "Demo 500"),
    ("990800.XSHG", "Demo 800"),
)

_HALF_LIVES = {"daily": 42.0, "monthly": 90.0, "quarterly": 180.0}
_ANN = np.sqrt(252.0)  # daily volatility from annual


class _Progress:
    """A small progress bar on stderr (one line per step when stderr is not a terminal)."""

    def __init__(self, total: int, enabled: bool = True) -> None:
        self.total = total
        self.done = 0
        self.enabled = enabled
        self.tty = enabled and hasattr(sys.stderr, "isatty") and sys.stderr.isatty()
        self.start = time.perf_counter()
        self.label = ""

    def step(self, label: str, units: int = 1) -> None:
        self.done = min(self.total, self.done + units)
        if label != self.label or self.tty:
            self.label = label
            self._draw()

    def _draw(self) -> None:
        if not self.enabled:
            return
        frac = self.done / float(self.total)
        bar = "#" * int(30 * frac) + "." * (30 - int(30 * frac))
        line = f"tidewell: building demo database [{bar}] {100 * frac:3.0f}% {self.label}"
        if self.tty:
            sys.stderr.write("\r" + line.ljust(96)[:96])
        else:
            sys.stderr.write(line + "\n")
        sys.stderr.flush()

    def finish(self, path: str) -> None:
        if not self.enabled:
            return
        if self.tty:
            sys.stderr.write("\n")
        sys.stderr.write(
            f"tidewell: demo database written to {path} "
            f"in {time.perf_counter() - self.start:.1f} s\n"
        )
        sys.stderr.flush()


def trading_calendar(start=CALENDAR_START, end=CALENDAR_END) -> list[_dt.date]:
    """Weekdays from ``start`` to ``end`` without the demo market's holidays."""
    closed = {
        _dt.date(year, int(md[:2]), int(md[3:])) for year, days in _HOLIDAYS.items() for md in days
    }
    out = []
    day = start
    one = _dt.timedelta(days=1)
    while day <= end:
        if day.weekday() < 5 and day not in closed:
            out.append(day)
        day += one
    return out


def _unique_codes(rng, n: int, ranges: Sequence[range], forced: Sequence[int]) -> np.ndarray:
    pool = np.concatenate([np.arange(r.start, r.stop) for r in ranges])
    pool = np.setdiff1d(pool, np.asarray(forced))
    picked = rng.choice(pool, size=n - len(forced), replace=False)
    return np.sort(np.concatenate([np.asarray(forced), picked]))


def _names(rng, n: int, suffixes: Sequence[str]) -> list[str]:
    syl = np.asarray(_SYLLABLES)
    a = rng.integers(0, len(syl), n)
    b = rng.integers(0, len(syl), n)
    s = rng.integers(0, len(suffixes), n)
    return [f"{syl[i].capitalize()}{syl[j]} {suffixes[k]}" for i, j, k in zip(a, b, s)]


def _days(dates) -> np.ndarray:
    """Dates as int days since 1970-01-01 (the engine adds them to DATE '1970-01-01')."""
    return np.asarray(dates, dtype="datetime64[D]").astype(np.int64)


@dataclass
class _Stocks:
    """The common stocks, Shanghai codes first, and when each of them trades."""

    ids: list[str]
    exchange: list[str]
    symbols: list[str]
    listed: np.ndarray  # datetime64[D]
    delisted: np.ndarray  # datetime64[D], NaT while still listed
    kind: np.ndarray  # 0 listed before the calendar, 1 lists inside it, 2 after its end
    alive: np.ndarray  # days x stocks: listed_date <= day < de_listed_date


@dataclass
class _Industries:
    """Each stock's industry draws; the three standards are derived from them on writing."""

    ind0: np.ndarray  # SWS industry from listing
    ind1: np.ndarray  # SWS industry from change_day (ind0 where it does not change)
    change: np.ndarray
    change_day: np.ndarray  # position in the calendar, past its end where unchanged
    nb_sub: np.ndarray  # which part of the non-bank financials, in the split standard
    citic_pick: np.ndarray
    citic_shuffle: np.ndarray
    citic_other: np.ndarray
    citic_missing: np.ndarray


@dataclass
class _FactorModel:
    """The true model the returns are drawn from (daily units)."""

    cov: np.ndarray
    premia: np.ndarray
    regime: np.ndarray  # volatility multiplier per day
    returns: np.ndarray  # days x factors


@dataclass
class _Characteristics:
    """What a stock carries from the start: size, specific volatility, alpha, latent styles."""

    log_cap: np.ndarray
    spec_vol: np.ndarray
    alpha: np.ndarray
    latent_names: list[str]
    latent: np.ndarray  # stocks x latent_names, correlated through chol
    chol: np.ndarray


@dataclass
class _Simulation:
    returns: np.ndarray  # days x stocks, NaN where a stock does not trade
    spec_ret: np.ndarray  # the specific part of returns
    expo_rows: list  # (model index, stock indices, style matrix, industry codes)


@dataclass
class _Trading:
    """Boards, special treatment, suspensions, closes and price limits of the stocks."""

    board: np.ndarray
    st_periods: list  # (stock, first day, day after the last or None)
    suspended: np.ndarray
    close: np.ndarray
    limit_up: np.ndarray
    limit_down: np.ndarray
    traded_value: np.ndarray | None = None  # currency traded a day, NaN where none


@dataclass
class _Market:
    """Everything the demo database holds, as numpy arrays, before writing."""

    calendar: np.ndarray  # datetime64[D]
    stocks: _Stocks
    industries: _Industries
    trading: _Trading
    model_idx: np.ndarray  # positions of the model dates in the calendar
    returns: np.ndarray  # days x stocks, as stored
    expo_rows: list
    factor_names: list[str]
    cov: dict  # cov_model -> factor covariance per model date
    spec: dict  # cov_model -> specific volatility of every stock per model date
    index_weights: dict  # index code -> [(rebalance day, members, weights)]
    index_ret: dict
    fund_rows: list  # (order_book_id, symbol, type, exchange, listed date)
    fund_ret: list


def _stocks(rng, cal64: np.ndarray) -> _Stocks:
    n_days = len(cal64)
    sh = _unique_codes(
        rng,
        2300,
        [range(600000, 604000), range(605000, 605600), range(688000, 688800)],
        [600000],
    )
    sz = _unique_codes(rng, 2700, [range(1, 3000), range(300001, 301600)], [1])
    cs_ids = [f"{c:06d}.XSHG" for c in sh] + [f"{c:06d}.XSHE" for c in sz]
    n = len(cs_ids)
    cs_exchange = ["XSHG"] * len(sh) + ["XSHE"] * len(sz)

    kind = rng.choice(3, size=n, p=[0.87, 0.12, 0.01])  # 0 old, 1 lists inside, 2 after end
    for forced in ("600000.XSHG", "000001.XSHE"):
        kind[cs_ids.index(forced)] = 0
    old_start = np.datetime64("1995-01-03")
    span = (np.datetime64("2021-11-30") - old_start).astype(int)
    listed = old_start + (span * rng.beta(2.2, 1.2, n)).astype(int)
    inside = rng.integers(1, n_days, n)
    listed = np.where(kind == 1, cal64[inside], listed)
    after = np.datetime64("2026-01-05") + rng.integers(0, 150, n)
    listed = np.where(kind == 2, after, listed)
    # Keep listing dates on weekdays.
    wd = (listed.astype(int) + 3) % 7  # 0 = Monday
    listed = listed + np.where(wd >= 5, 7 - wd, 0)
    delisted = np.full(n, np.datetime64("NaT"), dtype="datetime64[D]")
    can_delist = (kind == 0) | ((kind == 1) & (listed < cal64[n_days // 2]))
    delist_mask = can_delist & (rng.random(n) < 0.03)
    for forced in ("600000.XSHG", "000001.XSHE"):
        delist_mask[cs_ids.index(forced)] = False
    for i in np.flatnonzero(delist_mask):
        first = max(int(np.searchsorted(cal64, listed[i])) + 60, 20)
        if first < n_days - 1:
            delisted[i] = cal64[rng.integers(first, n_days)]
    alive = (cal64[:, None] >= listed[None, :]) & (
        np.isnat(delisted)[None, :] | (cal64[:, None] < delisted[None, :])
    )
    symbols = _names(rng, n, _SUFFIX["CS"])
    return _Stocks(cs_ids, cs_exchange, symbols, listed, delisted, kind, alive)


def _industries(rng, kind: np.ndarray, n_days: int) -> _Industries:
    n = len(kind)
    k_ind = len(SWS_INDUSTRIES)
    p = np.asarray(_INDUSTRY_SIZES, dtype=float)
    ind0 = rng.choice(k_ind, size=n, p=p / p.sum())
    change = (rng.random(n) < 0.012) & (kind == 0)
    change_day = np.where(change, rng.integers(40, n_days - 40, n), n_days + 1)
    ind1 = np.where(change, (ind0 + rng.integers(1, k_ind, n)) % k_ind, ind0)
    nb_sub = rng.choice(3, size=n, p=[0.5, 0.2, 0.3])
    citic_pick = rng.integers(0, 2, n)
    citic_shuffle = rng.random(n) < 0.04
    citic_other = rng.integers(0, 1000, n)
    citic_missing = rng.random(n) < 0.006
    return _Industries(
        ind0,
        ind1,
        change,
        change_day,
        nb_sub,
        citic_pick,
        citic_shuffle,
        citic_other,
        citic_missing,
    )


def _factor_model(rng, n_days: int) -> _FactorModel:
    """Four latent drivers (the market and three style themes) under a volatility regime."""
    k_sty = len(STYLE_FACTORS)
    k_ind = len(SWS_INDUSTRIES)
    k = k_sty + k_ind
    style_vol = np.array([0.05, 0.03, 0.025, 0.02, 0.02, 0.03, 0.045, 0.025, 0.04, 0.04]) / _ANN
    mkt_vol = 0.19 / _ANN
    ind_beta = rng.uniform(0.8, 1.2, k_ind)
    ind_idio = rng.uniform(0.07, 0.14, k_ind) / _ANN
    n_lat = 4  # market + three style themes
    load = np.zeros((k, n_lat))
    sty_lat = rng.normal(0.0, 0.35, (k_sty, n_lat - 1))
    sty_mkt = rng.uniform(-0.2, 0.2, k_sty)
    load[:k_sty, 0] = sty_mkt * style_vol
    load[:k_sty, 1:] = sty_lat * style_vol[:, None]
    load[k_sty:, 0] = ind_beta * mkt_vol
    sty_resid = np.sqrt(np.maximum(0.15, 1.0 - sty_mkt**2 - (sty_lat**2).sum(1))) * style_vol
    diag = np.concatenate([sty_resid, ind_idio])
    true_cov = load @ load.T + np.diag(diag**2)
    premia = np.zeros(k)
    premia[:k_sty] = np.array([0.0, 0.02, 0.03, 0.01, -0.005, -0.015, 0.03, 0.0, -0.02, -0.02])
    premia[k_sty:] = 0.06 + rng.uniform(-0.03, 0.03, k_ind)
    premia /= 252.0
    # Volatility regime: a slowly varying multiplier on all factor returns.
    log_s = np.zeros(n_days)
    shocks = rng.normal(0.0, 0.03, n_days)
    for t in range(1, n_days):
        log_s[t] = 0.985 * log_s[t - 1] + shocks[t]
    regime = np.exp(log_s)
    lat = rng.normal(size=(n_days, n_lat))
    eps = rng.normal(size=(n_days, k))
    factor_ret = regime[:, None] * (lat @ load.T + eps * diag) + premia
    return _FactorModel(true_cov, premia, regime, factor_ret)


# Correlations of the latent styles (those but size and non-linear size).
_LATENT_CORRELATIONS = (
    ("beta", "residual_volatility", 0.4),
    ("book_to_price", "earnings_yield", 0.5),
    ("book_to_price", "growth", -0.2),
    ("liquidity", "residual_volatility", 0.3),
    ("growth", "momentum", 0.2),
)


def _characteristics(rng, n: int) -> _Characteristics:
    log_cap = np.clip(rng.normal(22.9, 1.1, n), np.log(1.2e9), np.log(3.5e12))
    size0 = (log_cap - log_cap.mean()) / log_cap.std()
    spec_ann = np.clip(0.27 * np.exp(rng.normal(0.0, 0.25, n) - 0.12 * size0), 0.12, 0.65)
    alpha = rng.normal(0.0, 0.04, n) / 252.0
    latent_names = [f for f in STYLE_FACTORS if f not in ("size", "non_linear_size")]
    corr = np.eye(len(latent_names))
    for a, b, r in _LATENT_CORRELATIONS:
        i, j = latent_names.index(a), latent_names.index(b)
        corr[i, j] = corr[j, i] = r
    chol = np.linalg.cholesky(corr)
    latent = rng.normal(size=(n, len(latent_names))) @ chol.T
    return _Characteristics(log_cap, spec_ann / _ANN, alpha, latent_names, latent, chol)


def _styles(
    latent: np.ndarray, latent_names: list[str], log_cap: np.ndarray, idx: np.ndarray
) -> np.ndarray:
    """Style exposures of every stock, standardised over the cross-section ``idx``."""
    n = len(log_cap)
    raw = {}
    for j, name in enumerate(latent_names):
        raw[name] = latent[:, j].copy()
    raw["size"] = log_cap.copy()
    raw["liquidity"] = (
        raw["liquidity"] + 0.3 * (log_cap - log_cap[idx].mean()) / log_cap[idx].std()
    )
    styles = np.empty((n, len(STYLE_FACTORS)))
    for j, name in enumerate(STYLE_FACTORS):
        if name == "non_linear_size":
            continue
        x = raw[name]
        styles[:, j] = (x - x[idx].mean()) / x[idx].std()
    # Non-linear size: the cube of size, less its linear part.
    s = styles[:, STYLE_FACTORS.index("size")]
    cube = s**3
    coef = np.polyfit(s[idx], cube[idx], 1)
    resid = cube - np.polyval(coef, s)
    j_nls = STYLE_FACTORS.index("non_linear_size")
    styles[:, j_nls] = (resid - resid[idx].mean()) / resid[idx].std()
    return styles


def _simulate(
    rng,
    cal64: np.ndarray,
    model_idx: np.ndarray,
    stocks: _Stocks,
    industries: _Industries,
    model: _FactorModel,
    chars: _Characteristics,
    progress: _Progress,
) -> _Simulation:
    """Exposures on each model date, and the returns of the days up to the next one."""
    n_days, n = stocks.alive.shape
    k_sty = len(STYLE_FACTORS)
    k = k_sty + len(SWS_INDUSTRIES)
    next_model = np.r_[cal64[model_idx[1:]], cal64[-1] + 1]
    latent = chars.latent
    log_cap = chars.log_cap
    returns = np.full((n_days, n), np.nan)
    spec_ret = np.full((n_days, n), np.nan)
    expo_rows = []
    n_blocks = len(model_idx)
    for b, t_m in enumerate(model_idx):
        day = cal64[t_m]
        in_univ = (stocks.listed <= next_model[b]) & (
            np.isnat(stocks.delisted) | (stocks.delisted > day)
        )
        idx = np.flatnonzero(in_univ)
        # Latent styles are persistent: each model date moves them a little.
        if b > 0:
            latent = 0.95 * latent + np.sqrt(1 - 0.95**2) * (
                rng.normal(size=latent.shape) @ chars.chol.T
            )
        styles = _styles(latent, chars.latent_names, log_cap, idx)
        industry = np.where(industries.change_day <= t_m, industries.ind1, industries.ind0)
        expo_rows.append((t_m, idx, styles[idx], industry[idx]))

        lo = 0 if b == 0 else t_m + 1
        hi = model_idx[b + 1] + 1 if b + 1 < n_blocks else n_days
        if lo >= hi:
            continue
        f = model.returns[lo:hi]
        expo = np.zeros((n, k))
        expo[:, :k_sty] = styles
        expo[np.arange(n), k_sty + industry] = 1.0
        noise = rng.standard_t(5, size=(hi - lo, n)) * np.sqrt(3.0 / 5.0)
        e = noise * chars.spec_vol
        r = np.clip(f @ expo.T + chars.alpha + e, -0.2, 0.2)
        dead = ~stocks.alive[lo:hi]
        r[dead] = np.nan
        e[dead] = np.nan
        returns[lo:hi] = r
        spec_ret[lo:hi] = e
        log_cap = log_cap + np.nansum(np.log1p(r), axis=0)
        progress.step("simulating returns")
    return _Simulation(returns, spec_ret, expo_rows)


def _risk_estimates(
    model: _FactorModel,
    spec_vol: np.ndarray,
    spec_ret: np.ndarray,
    model_idx: np.ndarray,
    progress: _Progress,
) -> tuple:
    """Exponentially weighted estimates, one half-life per covariance model.

    Returns ({model: [factor covariance]}, {model: [specific volatility]}), one
    entry per model date.
    """
    want = set(model_idx.tolist())
    covs_by, specs_by = {}, {}
    for name in COV_MODELS:
        lam = 0.5 ** (1.0 / _HALF_LIVES[name])
        cov = model.cov * model.regime[0] ** 2
        var = spec_vol**2
        covs, specs = [], []
        for t in range(len(model.returns)):
            f = model.returns[t] - model.premia
            cov = lam * cov + (1.0 - lam) * np.outer(f, f)
            e = spec_ret[t]
            var = np.where(np.isnan(e), var, lam * var + (1.0 - lam) * np.nan_to_num(e) ** 2)
            if t in want:
                covs.append((cov + cov.T) / 2.0)
                specs.append(np.sqrt(var))
        covs_by[name] = covs
        specs_by[name] = specs
        progress.step("risk model estimates")
    return covs_by, specs_by


def _indexes(
    cal64: np.ndarray, returns: np.ndarray, stocks: _Stocks, log_cap_start: np.ndarray
) -> tuple:
    """Cap-weighted indexes, rebalanced on the first trading day of January and July.

    Returns ({code: [(rebalance day, members, weights)]}, {code: daily change}).
    """
    n_days = len(cal64)
    months = cal64.astype("datetime64[M]")
    new_month = np.r_[False, months[1:] != months[:-1]]
    month_no = months.astype(int) % 12 + 1
    rebal = np.unique(np.r_[0, np.flatnonzero(new_month & ((month_no == 1) | (month_no == 7)))])
    cum = np.cumsum(np.log1p(np.nan_to_num(returns)), axis=0)
    weights = {code: [] for code, _ in INDEXES}
    index_ret = {code: np.zeros(n_days) for code, _ in INDEXES}
    for j, t_r in enumerate(rebal):
        last = j + 1 == len(rebal)
        t_next = n_days - 1 if last else rebal[j + 1]
        eligible = (stocks.listed <= cal64[t_r] - 91) & (
            np.isnat(stocks.delisted) | (stocks.delisted > cal64[t_next])
        )
        cap_now = np.exp(log_cap_start + cum[t_r])
        cand = np.flatnonzero(eligible)
        ranked = cand[np.argsort(-cap_now[cand], kind="stable")]
        members = {
            "990300.XSHG": ranked[:300],
            "990500.XSHG": ranked[300:800],
            "990800.XSHG": ranked[:800],
        }
        for code, mem in members.items():
            mem = np.sort(mem)
            w0 = cap_now[mem] / cap_now[mem].sum()
            weights[code].append((t_r, mem, w0))
            out = index_ret[code]
            lo = t_r + 1
            if j == 0:
                out[0] = float(w0 @ returns[0, mem])
            # Each day's change is the constituents' changes weighted by the weights
            # published for the day before (those of this rebalance), so that an
            # estimate over the stocks weighted by the index matches the index's own.
            block = np.nan_to_num(returns[lo : t_next + 1, mem])
            out[lo : t_next + 1] = block @ w0
    return weights, index_ret


# Code ranges of the funds: (first, past the last, type, exchange, how many).
_FUND_RANGES = (
    (510000, 513000, "ETF", "XSHG", 22),
    (159001, 160000, "ETF", "XSHE", 18),
    (160101, 170000, "LOF", "XSHE", 14),
    (501000, 502000, "LOF", "XSHG", 6),
)


def _funds(rng, cal64: np.ndarray, index_ret: dict) -> tuple:
    """Funds that track an index (ETF) or loosely follow one (LOF).

    Returns (rows, daily changes): rows are (order_book_id, symbol, type,
    exchange, listed date).
    """
    n_days = len(cal64)
    rows, changes = [], []
    codes = [c for c, _ in INDEXES]
    for lo, hi, ftype, exch, count in _FUND_RANGES:
        for c in np.sort(rng.choice(np.arange(lo, hi), count, replace=False)):
            target = index_ret[codes[rng.integers(0, 3)]]
            if ftype == "ETF":
                r = target + rng.normal(0.0, 0.0015, n_days)
            else:
                r = 0.9 * target + rng.normal(0.0, 0.006, n_days) + 0.0001
            if rng.random() < 0.15:
                start = int(rng.integers(10, n_days - 20))
                ld = cal64[start]
                r[:start] = np.nan
            else:
                ld = _weekday(np.datetime64("2008-01-02") + int(rng.integers(0, 4900)))
            words = ("Select", "Growth", "Value", "Balanced")
            name = _names(rng, 1, words)[0] + (" ETF" if ftype == "ETF" else " LOF")
            rows.append((f"{c:06d}.{exch}", name, ftype, exch, ld))
            changes.append(np.round(r, 6))
    return rows, changes


def _generate(seed: int, progress: _Progress) -> _Market:
    # One generator feeds every step in turn (the trading rules have their own
    # stream): the order of the steps is part of what a seed means.
    rng = np.random.default_rng(seed)
    cal64 = np.asarray(trading_calendar(), dtype="datetime64[D]")
    n_days = len(cal64)
    stocks = _stocks(rng, cal64)
    industries = _industries(rng, stocks.kind, n_days)
    progress.step("instruments and industries")
    model = _factor_model(rng, n_days)
    chars = _characteristics(rng, len(stocks.ids))
    model_idx = _model_indices(cal64)
    sim = _simulate(rng, cal64, model_idx, stocks, industries, model, chars, progress)
    # The trading rules rewrite these returns in place as the ratios of the closes
    # they allow; everything after them reads the rewritten ones.
    returns = sim.returns
    trading = _trading_rules(stocks.ids, returns, seed)
    trading.traded_value = _traded_values(seed, chars.log_cap, returns, trading.suspended)
    cov, spec = _risk_estimates(model, chars.spec_vol, sim.spec_ret, model_idx, progress)
    expo_rows = sim.expo_rows
    del sim  # the specific returns are large and no longer needed
    index_weights, index_ret = _indexes(cal64, returns, stocks, chars.log_cap)
    progress.step("indexes")
    fund_rows, fund_ret = _funds(rng, cal64, index_ret)
    progress.step("funds")
    return _Market(
        calendar=cal64,
        stocks=stocks,
        industries=industries,
        trading=trading,
        model_idx=model_idx,
        returns=np.round(returns, 6),
        expo_rows=expo_rows,
        factor_names=list(STYLE_FACTORS) + list(SWS_INDUSTRIES),
        cov=cov,
        spec=spec,
        index_weights=index_weights,
        index_ret={c: np.round(v, 6) for c, v in index_ret.items()},
        fund_rows=fund_rows,
        fund_ret=fund_ret,
    )


# Trading rules of the common stocks. They draw from a stream of their own, so
# the rest of the market is drawn as it would be without them.
_TRADING_STREAM = 0x7472
_ST_SHARE = 0.04  # stocks that spend one stretch under special treatment
_ST_DAYS = (60, 400)  # its length in trading days, low and high
_SUSPENSION_START = 0.0025  # chance that a suspension starts on a trading day
_SUSPENSION_MEAN_DAYS = 4.0  # so about 1 % of stock-days are suspended
_LIMITS = {"main": 0.10, "chinext": 0.20, "star": 0.20}  # share of the previous close
_ST_LIMIT = 0.05  # main board under special treatment


def board_of(order_book_id: str) -> str:
    """The board a demo stock code belongs to."""
    if order_book_id.startswith("688"):
        return "star"
    if order_book_id.startswith(("300", "301")):
        return "chinext"
    return "main"


def _trading_rules(cs_ids: list[str], returns: np.ndarray, seed: int) -> _Trading:
    """Boards, special treatment, suspensions, closes and price limits of the stocks.

    Prices are in cents, as the exchanges quote them. Each day the close is the
    previous close moved by the day's change, rounded to the cent and kept within
    the day's limits (the previous close moved by the limit share, rounded to the
    cent); a suspended stock keeps its close. ``returns`` (days x stocks) is then
    rewritten as the ratios of consecutive closes, so the stored change rates and
    the closes tell the same story, limit days and suspensions included.
    """
    rng = np.random.default_rng([seed, _TRADING_STREAM])
    n_days, n = returns.shape
    alive = ~np.isnan(returns)
    first = alive.argmax(axis=0)
    last = n_days - 1 - alive[::-1].argmax(axis=0)
    board = np.array([board_of(c) for c in cs_ids])

    st = np.zeros((n_days, n), dtype=bool)
    st_periods = []
    for i in np.flatnonzero((rng.random(n) < _ST_SHARE) & alive.any(axis=0)):
        start = int(rng.integers(first[i], last[i] + 1))
        end = start + int(rng.integers(*_ST_DAYS))
        st[start:end, i] = True
        st_periods.append((i, start, end if end <= last[i] else None))

    # Suspensions: stretches of geometric length, never on a stock's first day.
    can = alive.copy()
    can[first, np.arange(n)] = False
    day, stock = np.nonzero(can & (rng.random((n_days, n)) < _SUSPENSION_START))
    length = rng.geometric(1.0 / _SUSPENSION_MEAN_DAYS, len(day))
    count = np.zeros((n_days + 1, n), dtype=np.int32)
    np.add.at(count, (day, stock), 1)
    np.add.at(count, (np.minimum(day + length, n_days), stock), -1)
    suspended = (np.cumsum(count[:-1], axis=0) > 0) & alive

    board_limit = np.array([_LIMITS[b] for b in board])
    st_limited = board == "main"
    prev = np.round(np.exp(rng.normal(np.log(12.0), 0.7, n)), 2).clip(2.0, 600.0)
    close = np.full((n_days, n), np.nan)
    up = np.full((n_days, n), np.nan)
    down = np.full((n_days, n), np.nan)
    for t in range(n_days):
        limit = np.where(st[t] & st_limited, _ST_LIMIT, board_limit)
        hi = np.round(prev * (1.0 + limit), 2)
        lo = np.maximum(np.round(prev * (1.0 - limit), 2), 0.01)
        moved = np.clip(np.round(prev * (1.0 + np.nan_to_num(returns[t])), 2), lo, hi)
        today = np.where(suspended[t], prev, moved)
        live = alive[t]
        close[t, live], up[t, live], down[t, live] = today[live], hi[live], lo[live]
        returns[t, live] = today[live] / prev[live] - 1.0
        prev = np.where(live, today, prev)
    return _Trading(board, st_periods, suspended, close, up, down)


# What a stock trades in a day, as a share of its market value: larger stocks turn
# over less of themselves, and every stock trades more on the days it moves a lot.
# A stream of its own, so the rest of the market is drawn as it would be without it.
_TRADED_STREAM = 0x7476
_TURNOVER_SHARE = 0.012  # a stock of average size, on an ordinary day
_TURNOVER_SIZE_SLOPE = 0.35  # less per standard deviation of size
_TURNOVER_SPREAD = (0.4, 0.5)  # log spread across stocks, and from day to day
_TURNOVER_ON_MOVES = 8.0  # log increase per unit of the day's absolute change


def _traded_values(
    seed: int, log_cap: np.ndarray, returns: np.ndarray, suspended: np.ndarray
) -> np.ndarray:
    """Value traded per day and stock: its market value (moved with its returns) times
    the day's turnover share; 0 while suspended, NaN where it does not trade."""
    rng = np.random.default_rng([seed, _TRADED_STREAM])
    n_days, n = returns.shape
    size = (log_cap - log_cap.mean()) / log_cap.std()
    stock_level = (
        np.log(_TURNOVER_SHARE)
        - _TURNOVER_SIZE_SLOPE * size
        + rng.normal(0.0, _TURNOVER_SPREAD[0], n)
    )
    moved = np.nan_to_num(returns)
    value = np.exp(log_cap + np.cumsum(np.log1p(moved), axis=0))
    value *= np.exp(
        stock_level
        + rng.normal(0.0, _TURNOVER_SPREAD[1], (n_days, n))
        + _TURNOVER_ON_MOVES * np.abs(moved)
    )
    value = np.round(value, -2)
    value[suspended] = 0.0
    value[np.isnan(returns)] = np.nan
    return value


def _write_trading(con, m: _Market, progress: _Progress) -> None:
    """Daily closes, limits and suspensions, special-treatment periods and boards."""
    cal_days32 = _days(m.calendar).astype(np.int32)
    cs_ids = m.stocks.ids
    tr = m.trading
    order = np.argsort(np.asarray(cs_ids))
    ids = [cs_ids[i] for i in order]
    alive = ~np.isnan(tr.close[:, order])
    day, stock = np.nonzero(alive)  # by day, then by id: the table's order
    pick = (day, order[stock])
    _insert(
        con,
        "daily_prices",
        pd.DataFrame(
            {
                "o": pd.Categorical.from_codes(stock.astype(np.int32), categories=ids),
                "d": cal_days32[day],
                "c": tr.close[pick],
                "u": tr.limit_up[pick],
                "l": tr.limit_down[pick],
                "s": tr.suspended[pick].astype(np.int32),
                "v": tr.traded_value[pick],
            }
        ),
        "o, {}, c, u, l, s, v".format(_date_expr("d")),
    )
    periods = sorted(tr.st_periods, key=lambda p: (cs_ids[p[0]], p[1]))
    ends = [-1 if b is None else cal_days32[b] for _, _, b in periods]
    _insert(
        con,
        "special_treatment",
        pd.DataFrame(
            {
                "o": [cs_ids[i] for i, _, _ in periods],
                "s": np.array([cal_days32[a] for _, a, _ in periods], dtype=np.int32),
                "e": np.array(ends, dtype=np.int32),
            }
        ),
        "o, {}, {}".format(_date_expr("s"), _nullable_date_expr("e")),
    )
    _insert(con, "boards", pd.DataFrame({"o": ids, "b": tr.board[order]}), "o, b, NULL")
    progress.step("writing trading status", 0)


def _weekday(day: np.datetime64) -> np.datetime64:
    """``day``, or the Monday after it if it falls on a weekend."""
    wd = (day.astype("datetime64[D]").astype(int) + 3) % 7  # 0 = Monday
    return day + (7 - wd if wd >= 5 else 0)


def _model_indices(cal64: np.ndarray) -> np.ndarray:
    months = cal64.astype("datetime64[M]")
    month_end = np.flatnonzero(np.r_[months[1:] != months[:-1], True])
    return np.unique(np.r_[0, month_end])


_WRITE_STEPS = 8


def _insert(con, table: str, frame: pd.DataFrame, select: str) -> None:
    """Append ``frame`` to ``table`` through ``INSERT INTO table SELECT <select> FROM frame``."""
    con.register("tw_frame", frame)
    try:
        con.execute(f"INSERT INTO {table} SELECT {select} FROM tw_frame")
    finally:
        con.unregister("tw_frame")


_EPOCH = "DATE '1970-01-01'"


def _date_expr(col: str) -> str:
    return f"{_EPOCH} + CAST({col} AS INTEGER)"


def _day(date) -> int:
    return int(_days([date])[0])


def _nullable_date_expr(col: str) -> str:
    """A date column written as days, negative for NULL."""
    return f"CASE WHEN {col} < 0 THEN NULL ELSE {_date_expr(col)} END"


def _write_instruments(con, m: _Market) -> tuple:
    """Every instrument, sorted by id; returns (ids, each one's daily changes)."""
    st = m.stocks
    rows = []
    for i, oid in enumerate(st.ids):
        dl = -1 if np.isnat(st.delisted[i]) else _day(st.delisted[i])
        rows.append(
            (oid, st.symbols[i], "CS", st.exchange[i], _day(st.listed[i]), dl, m.returns[:, i])
        )
    for code, name in INDEXES:
        rows.append((code, name, "INDX", "XSHG", _day("2005-01-04"), -1, m.index_ret[code]))
    for j, (fid, name, ftype, exch, ld) in enumerate(m.fund_rows):
        rows.append((fid, name, ftype, exch, _day(ld), -1, m.fund_ret[j]))
    rows.sort(key=lambda r: r[0])
    ids = [r[0] for r in rows]
    inst = pd.DataFrame(
        {
            "o": ids,
            "s": [r[1] for r in rows],
            "t": [r[2] for r in rows],
            "x": [r[3] for r in rows],
            "l": np.array([r[4] for r in rows], dtype=np.int32),
            "dl": np.array([r[5] for r in rows], dtype=np.int32),
        }
    )
    _insert(
        con,
        "instruments",
        inst,
        "o, s, t, x, {}, {}".format(_date_expr("l"), _nullable_date_expr("dl")),
    )
    return ids, [r[6] for r in rows]


def _write_price_changes(con, m: _Market, ids: list[str], changes: list) -> None:
    cal_days32 = _days(m.calendar).astype(np.int32)
    mat = np.column_stack(changes).T  # instrument x day
    has = ~np.isnan(mat)
    who, when = np.nonzero(has)
    prices = pd.DataFrame(
        {
            "o": pd.Categorical.from_codes(who.astype(np.int32), categories=ids),
            "d": cal_days32[when],
            "v": mat[has],
        }
    )
    del mat, has
    _insert(con, "price_changes", prices, "o, {}, v".format(_date_expr("d")))


def _write_index_weights(con, m: _Market) -> None:
    cal_days32 = _days(m.calendar).astype(np.int32)
    frames = []
    for code, _ in INDEXES:
        for t_r, mem, w in m.index_weights[code]:
            frames.append(
                pd.DataFrame(
                    {
                        "i": code,
                        "d": np.full(len(mem), cal_days32[t_r]),
                        "o": pd.Categorical.from_codes(
                            mem.astype(np.int32), categories=m.stocks.ids
                        ),
                        "w": w,
                    }
                )
            )
    _insert(
        con,
        "index_weights",
        pd.concat(frames, ignore_index=True),
        "i, {}, o, w".format(_date_expr("d")),
    )


def _industry_lists() -> dict:
    """The industries of each standard, in their documented order."""
    citic_names = []
    for targets in _CITIC_MAP.values():
        for t in targets:
            if t not in citic_names:
                citic_names.append(t)
    nb_names = []
    for name in SWS_INDUSTRIES:
        nb_names.extend(NON_BANK_SPLIT if name == "non_bank_financials" else [name])
    return {
        "sws": list(SWS_INDUSTRIES),
        "sws_non_bank_split": nb_names,
        "citic": citic_names,
    }


def _classification_rows(m: _Market, citic_names: list[str]) -> list:
    """(standard, stock, first day, industry) of every stock under every standard."""
    cal_days = _days(m.calendar)
    ind = m.industries
    rows = []
    for i in range(len(m.stocks.ids)):
        records = [(_day(m.stocks.listed[i]), ind.ind0[i])]
        if ind.change[i]:
            records.append((int(cal_days[ind.change_day[i]]), ind.ind1[i]))
        for start, code in records:
            sws = SWS_INDUSTRIES[code]
            rows.append(("sws", i, start, sws))
            split = NON_BANK_SPLIT[ind.nb_sub[i]] if sws == "non_bank_financials" else sws
            rows.append(("sws_non_bank_split", i, start, split))
            if not ind.citic_missing[i]:
                targets = _CITIC_MAP[sws]
                citic = targets[min(ind.citic_pick[i], len(targets) - 1)]
                if ind.citic_shuffle[i]:
                    citic = citic_names[ind.citic_other[i] % len(citic_names)]
                rows.append(("citic", i, start, citic))
    return rows


def _write_industries(con, m: _Market) -> None:
    lists = _industry_lists()
    ind_rows = [(c, p + 1, name) for c, names in lists.items() for p, name in enumerate(names)]
    _insert(
        con,
        "industries",
        pd.DataFrame(
            {
                "c": [r[0] for r in ind_rows],
                "p": [r[1] for r in ind_rows],
                "n": [r[2] for r in ind_rows],
            }
        ),
        "c, CAST(p AS INTEGER), n",
    )
    cls_rows = _classification_rows(m, lists["citic"])
    cls = pd.DataFrame(
        {
            "c": [r[0] for r in cls_rows],
            "o": pd.Categorical.from_codes(
                np.array([r[1] for r in cls_rows], np.int32), list(m.stocks.ids)
            ),
            "d": np.array([r[2] for r in cls_rows], dtype=np.int32),
            "n": [r[3] for r in cls_rows],
        }
    )
    _insert(con, "industry_classification", cls, "c, o, {}, n".format(_date_expr("d")))


def _write_exposures(con, m: _Market) -> None:
    cal_days32 = _days(m.calendar).astype(np.int32)
    parts = {"d": [], "o": [], "i": []}
    style_parts = []
    for t_m, idx, styles, industry in m.expo_rows:
        parts["d"].append(np.full(len(idx), cal_days32[t_m]))
        parts["o"].append(idx.astype(np.int32))
        parts["i"].append(industry.astype(np.int32))
        style_parts.append(np.round(styles, 6))
    styles = np.vstack(style_parts)
    expo = {
        "d": np.concatenate(parts["d"]),
        "o": pd.Categorical.from_codes(np.concatenate(parts["o"]), list(m.stocks.ids)),
    }
    for j, name in enumerate(STYLE_FACTORS):
        expo[name] = styles[:, j]
    expo["ind"] = pd.Categorical.from_codes(np.concatenate(parts["i"]), list(SWS_INDUSTRIES))
    _insert(
        con,
        "factor_exposures",
        pd.DataFrame(expo),
        "{}, o, {}, ind".format(_date_expr("d"), ", ".join(STYLE_FACTORS)),
    )


def _risk_frames(m: _Market) -> tuple:
    """The factor covariance and specific risk tables: every model, every model date."""
    cal_days32 = _days(m.calendar).astype(np.int32)
    cs_cat = list(m.stocks.ids)
    k = len(m.factor_names)
    fi, fj = np.meshgrid(np.arange(k, dtype=np.int32), np.arange(k, dtype=np.int32), indexing="ij")
    cov_frames, spec_frames = [], []
    for name in COV_MODELS:
        for b, t_m in enumerate(m.model_idx):
            idx = m.expo_rows[b][1]
            cov_frames.append(
                _model_frame(
                    name,
                    cal_days32[t_m],
                    f1=pd.Categorical.from_codes(fi.ravel(), m.factor_names),
                    f2=pd.Categorical.from_codes(fj.ravel(), m.factor_names),
                    v=m.cov[name][b].ravel(),
                )
            )
            spec_frames.append(
                _model_frame(
                    name,
                    cal_days32[t_m],
                    o=pd.Categorical.from_codes(idx.astype(np.int32), cs_cat),
                    v=np.round(m.spec[name][b][idx], 8),
                )
            )
    return pd.concat(cov_frames, ignore_index=True), pd.concat(spec_frames, ignore_index=True)


def _model_frame(cov_model: str, day, **columns) -> pd.DataFrame:
    """Rows of one covariance model on one model date: its name and day, then ``columns``."""
    rows = len(columns["v"])
    return pd.DataFrame({"c": cov_model, "d": np.full(rows, day), **columns})


def _write(con, m: _Market, seed: int, progress: _Progress) -> None:
    cal_days32 = _days(m.calendar).astype(np.int32)
    _insert(con, "trading_dates", pd.DataFrame({"d": cal_days32}), _date_expr("d"))
    ids, changes = _write_instruments(con, m)
    progress.step("writing instruments")
    _write_price_changes(con, m, ids, changes)
    progress.step("writing price change rates", 2)
    _write_index_weights(con, m)
    _write_industries(con, m)
    progress.step("writing indexes and industries")
    _write_exposures(con, m)
    progress.step("writing factor exposures")
    cov, spec = _risk_frames(m)
    _insert(con, "factor_covariance", cov, "c, {}, f1, f2, v".format(_date_expr("d")))
    progress.step("writing factor covariance")
    _insert(con, "specific_risk", spec, "c, {}, o, v".format(_date_expr("d")))
    progress.step("writing specific risk")
    con.executemany(
        "INSERT INTO meta VALUES (?, ?)",
        [
            ["source", "demo"],
            ["seed", str(seed)],
            ["model_dates", "first trading day and last trading day of each month"],
        ],
    )
    progress.step("finishing", 0)


def build_demo_database(
    path: str | None = None, seed: int = DEFAULT_SEED, progress: bool = True
) -> str:
    """Generate the demo market from ``seed`` and write it to ``path``.

    ``path`` defaults to the demo database in the cache directory.  The file is
    written to a temporary file next to ``path`` and moved into place at the end,
    so readers see either the old file or the complete new one.  Returns the path.
    """
    from ._database import as_path, demo_database_path

    if path is None or (isinstance(path, (str, bytes)) and not path):
        path = demo_database_path()
    path = as_path(path, "path")
    try:
        seed = int(seed)
    except (TypeError, ValueError):
        raise TidewellTypeError(f"seed must be an integer, not {type(seed).__name__}") from None
    n_blocks = len(_model_indices(np.asarray(trading_calendar(), dtype="datetime64[D]")))
    bar = _Progress(total=1 + n_blocks + len(COV_MODELS) + 2 + _WRITE_STEPS, enabled=progress)
    bar.step("starting", 0)
    market = _generate(int(seed), bar)
    with atomic_database(path) as con:
        _write(con, market, int(seed), bar)
        _write_trading(con, market, bar)
    bar.done = bar.total
    bar.step("done", 0)
    bar.finish(path)
    return path
