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


class _Market:
    """Everything the demo database holds, as numpy arrays, before writing."""


def _generate(seed: int, progress: _Progress) -> _Market:
    rng = np.random.default_rng(seed)
    m = _Market()
    cal = trading_calendar()
    cal64 = np.asarray(cal, dtype="datetime64[D]")
    n_days = len(cal)
    m.calendar = cal64

    # ---- common stocks -------------------------------------------------------
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
    # Trading status: listed_date <= day < de_listed_date.
    alive = (cal64[:, None] >= listed[None, :]) & (
        np.isnat(delisted)[None, :] | (cal64[:, None] < delisted[None, :])
    )
    m.cs_ids, m.cs_exchange, m.cs_listed, m.cs_delisted = (
        cs_ids,
        cs_exchange,
        listed,
        delisted,
    )
    m.cs_symbols = _names(rng, n, _SUFFIX["CS"])

    # ---- industries ------------------------------------------------------------
    k_ind = len(SWS_INDUSTRIES)
    p = np.asarray(_INDUSTRY_SIZES, dtype=float)
    ind0 = rng.choice(k_ind, size=n, p=p / p.sum())
    change = (rng.random(n) < 0.012) & (kind == 0)
    change_day = np.where(change, rng.integers(40, n_days - 40, n), n_days + 1)
    ind1 = np.where(change, (ind0 + rng.integers(1, k_ind, n)) % k_ind, ind0)
    m.ind0, m.ind1, m.change, m.change_day = ind0, ind1, change, change_day
    nb_sub = rng.choice(3, size=n, p=[0.5, 0.2, 0.3])
    citic_pick = rng.integers(0, 2, n)
    citic_shuffle = rng.random(n) < 0.04
    citic_other = rng.integers(0, 1000, n)
    citic_missing = rng.random(n) < 0.006
    m.nb_sub, m.citic_pick, m.citic_shuffle = nb_sub, citic_pick, citic_shuffle
    m.citic_other, m.citic_missing = citic_other, citic_missing
    progress.step("instruments and industries")

    # ---- the true factor model --------------------------------------------------
    k_sty = len(STYLE_FACTORS)
    k = k_sty + k_ind
    ann = np.sqrt(252.0)
    style_vol = np.array([0.05, 0.03, 0.025, 0.02, 0.02, 0.03, 0.045, 0.025, 0.04, 0.04]) / ann
    mkt_vol = 0.19 / ann
    ind_beta = rng.uniform(0.8, 1.2, k_ind)
    ind_idio = rng.uniform(0.07, 0.14, k_ind) / ann
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

    # ---- stock characteristics --------------------------------------------------
    log_cap = np.clip(rng.normal(22.9, 1.1, n), np.log(1.2e9), np.log(3.5e12))
    log_cap_start = log_cap.copy()
    size0 = (log_cap - log_cap.mean()) / log_cap.std()
    spec_ann = np.clip(0.27 * np.exp(rng.normal(0.0, 0.25, n) - 0.12 * size0), 0.12, 0.65)
    spec_vol = spec_ann / ann
    alpha = rng.normal(0.0, 0.04, n) / 252.0
    # Latent styles (all but size and non-linear size), correlated and persistent.
    latent_names = [f for f in STYLE_FACTORS if f not in ("size", "non_linear_size")]
    corr = np.eye(len(latent_names))

    def _set(a, b, r):
        i, j = latent_names.index(a), latent_names.index(b)
        corr[i, j] = corr[j, i] = r

    _set("beta", "residual_volatility", 0.4)
    _set("book_to_price", "earnings_yield", 0.5)
    _set("book_to_price", "growth", -0.2)
    _set("liquidity", "residual_volatility", 0.3)
    _set("growth", "momentum", 0.2)
    chol = np.linalg.cholesky(corr)
    latent = rng.normal(size=(n, len(latent_names))) @ chol.T

    # ---- model dates -------------------------------------------------------------
    months = cal64.astype("datetime64[M]")
    model_idx = _model_indices(cal64)
    m.model_idx = model_idx
    next_model = np.r_[cal64[model_idx[1:]], cal64[-1] + 1]

    # ---- simulate month by month ------------------------------------------------------
    returns = np.full((n_days, n), np.nan)
    spec_ret = np.full((n_days, n), np.nan)
    expo_rows = []  # (model index, stock indices, style matrix, industry codes)
    n_blocks = len(model_idx)
    for b, t_m in enumerate(model_idx):
        day = cal64[t_m]
        in_univ = (listed <= next_model[b]) & (np.isnat(delisted) | (delisted > day))
        idx = np.flatnonzero(in_univ)
        # Styles: evolve latent values, then standardise over the cross-section.
        if b > 0:
            latent = 0.95 * latent + np.sqrt(1 - 0.95**2) * (
                rng.normal(size=latent.shape) @ chol.T
            )
        raw = {}
        for j, name in enumerate(latent_names):
            raw[name] = latent[:, j].copy()
        raw["size"] = log_cap.copy()
        raw["liquidity"] = (
            raw["liquidity"] + 0.3 * (log_cap - log_cap[idx].mean()) / log_cap[idx].std()
        )
        styles = np.empty((n, k_sty))
        for j, name in enumerate(STYLE_FACTORS):
            if name == "non_linear_size":
                continue
            x = raw[name]
            styles[:, j] = (x - x[idx].mean()) / x[idx].std()
        s = styles[:, STYLE_FACTORS.index("size")]
        cube = s**3
        coef = np.polyfit(s[idx], cube[idx], 1)
        resid = cube - np.polyval(coef, s)
        j_nls = STYLE_FACTORS.index("non_linear_size")
        styles[:, j_nls] = (resid - resid[idx].mean()) / resid[idx].std()
        industry = np.where(change_day <= t_m, ind1, ind0)
        expo_rows.append((t_m, idx, styles[idx], industry[idx]))

        # Returns for the days this model date covers.
        lo = 0 if b == 0 else t_m + 1
        hi = model_idx[b + 1] + 1 if b + 1 < n_blocks else n_days
        if lo >= hi:
            continue
        f = factor_ret[lo:hi]
        expo = np.zeros((n, k))
        expo[:, :k_sty] = styles
        expo[np.arange(n), k_sty + industry] = 1.0
        noise = rng.standard_t(5, size=(hi - lo, n)) * np.sqrt(3.0 / 5.0)
        e = noise * spec_vol
        r = np.clip(f @ expo.T + alpha + e, -0.2, 0.2)
        dead = ~alive[lo:hi]
        r[dead] = np.nan
        e[dead] = np.nan
        returns[lo:hi] = r
        spec_ret[lo:hi] = e
        log_cap = log_cap + np.nansum(np.log1p(r), axis=0)
        progress.step("simulating returns")
    _trading_rules(m, returns, seed)
    m.returns = np.round(returns, 6)
    m.expo_rows = expo_rows
    m.factor_names = list(STYLE_FACTORS) + list(SWS_INDUSTRIES)

    # ---- risk model estimates: exponentially weighted, one half-life per model ----------
    want = set(model_idx.tolist())
    m.cov, m.spec = {}, {}
    for name in COV_MODELS:
        lam = 0.5 ** (1.0 / _HALF_LIVES[name])
        cov = true_cov * regime[0] ** 2
        var = spec_vol**2
        covs, specs = [], []
        for t in range(n_days):
            f = factor_ret[t] - premia
            cov = lam * cov + (1.0 - lam) * np.outer(f, f)
            e = spec_ret[t]
            var = np.where(np.isnan(e), var, lam * var + (1.0 - lam) * np.nan_to_num(e) ** 2)
            if t in want:
                covs.append((cov + cov.T) / 2.0)
                specs.append(np.sqrt(var))
        m.cov[name] = covs
        m.spec[name] = specs
        progress.step("risk model estimates")
    del spec_ret

    # ---- indexes: cap weighted, rebalanced on the first trading day of January and July --
    new_month = np.r_[False, months[1:] != months[:-1]]
    month_no = months.astype(int) % 12 + 1
    rebal = np.unique(np.r_[0, np.flatnonzero(new_month & ((month_no == 1) | (month_no == 7)))])
    cum = np.cumsum(np.log1p(np.nan_to_num(returns)), axis=0)
    m.rebalance_idx = rebal
    m.index_weights = {code: [] for code, _ in INDEXES}
    index_ret = {code: np.zeros(n_days) for code, _ in INDEXES}
    for j, t_r in enumerate(rebal):
        last = j + 1 == len(rebal)
        t_next = n_days - 1 if last else rebal[j + 1]
        eligible = (listed <= cal64[t_r] - 91) & (np.isnat(delisted) | (delisted > cal64[t_next]))
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
            m.index_weights[code].append((t_r, mem, w0))
            out = index_ret[code]
            lo = t_r + 1
            if j == 0:
                out[0] = float(w0 @ returns[0, mem])
            # Each day's change is the constituents' changes weighted by the weights
            # published for the day before (those of this rebalance), so that an
            # estimate over the stocks weighted by the index matches the index's own.
            block = np.nan_to_num(returns[lo : t_next + 1, mem])
            out[lo : t_next + 1] = block @ w0
    m.index_ret = {c: np.round(v, 6) for c, v in index_ret.items()}
    progress.step("indexes")

    # ---- funds: track an index (ETF) or loosely follow one (LOF) ------------------------
    ranges = [
        (510000, 513000, "ETF", "XSHG", 22),
        (159001, 160000, "ETF", "XSHE", 18),
        (160101, 170000, "LOF", "XSHE", 14),
        (501000, 502000, "LOF", "XSHG", 6),
    ]
    m.fund_rows, m.fund_ret = [], []
    codes = [c for c, _ in INDEXES]
    for lo, hi, ftype, exch, count in ranges:
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
            m.fund_rows.append((f"{c:06d}.{exch}", name, ftype, exch, ld))
            m.fund_ret.append(np.round(r, 6))
    progress.step("funds")
    return m


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


def _trading_rules(m: _Market, returns: np.ndarray, seed: int) -> None:
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
    m.board = np.array([board_of(c) for c in m.cs_ids])

    st = np.zeros((n_days, n), dtype=bool)
    m.st_periods = []  # (stock, first day, day after the last or None)
    for i in np.flatnonzero((rng.random(n) < _ST_SHARE) & alive.any(axis=0)):
        start = int(rng.integers(first[i], last[i] + 1))
        end = start + int(rng.integers(*_ST_DAYS))
        st[start:end, i] = True
        m.st_periods.append((i, start, end if end <= last[i] else None))

    # Suspensions: stretches of geometric length, never on a stock's first day.
    can = alive.copy()
    can[first, np.arange(n)] = False
    day, stock = np.nonzero(can & (rng.random((n_days, n)) < _SUSPENSION_START))
    length = rng.geometric(1.0 / _SUSPENSION_MEAN_DAYS, len(day))
    count = np.zeros((n_days + 1, n), dtype=np.int32)
    np.add.at(count, (day, stock), 1)
    np.add.at(count, (np.minimum(day + length, n_days), stock), -1)
    suspended = (np.cumsum(count[:-1], axis=0) > 0) & alive

    board_limit = np.array([_LIMITS[b] for b in m.board])
    st_limited = m.board == "main"
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
    m.suspended, m.close, m.limit_up, m.limit_down = suspended, close, up, down


def _write_trading(con, m: _Market, progress: _Progress) -> None:
    """Daily closes, limits and suspensions, special-treatment periods and boards."""
    cal_days32 = _days(m.calendar).astype(np.int32)
    order = np.argsort(np.asarray(m.cs_ids))
    ids = [m.cs_ids[i] for i in order]
    alive = ~np.isnan(m.close[:, order])
    day, stock = np.nonzero(alive)  # by day, then by id: the table's order
    pick = (day, order[stock])
    _insert(
        con,
        "daily_prices",
        pd.DataFrame(
            {
                "o": pd.Categorical.from_codes(stock.astype(np.int32), categories=ids),
                "d": cal_days32[day],
                "c": m.close[pick],
                "u": m.limit_up[pick],
                "l": m.limit_down[pick],
                "s": m.suspended[pick].astype(np.int32),
            }
        ),
        "o, {}, c, u, l, s".format(_date_expr("d")),
    )
    periods = sorted(m.st_periods, key=lambda p: (m.cs_ids[p[0]], p[1]))
    ends = [-1 if b is None else cal_days32[b] for _, _, b in periods]
    _insert(
        con,
        "special_treatment",
        pd.DataFrame(
            {
                "o": [m.cs_ids[i] for i, _, _ in periods],
                "s": np.array([cal_days32[a] for _, a, _ in periods], dtype=np.int32),
                "e": np.array(ends, dtype=np.int32),
            }
        ),
        "o, {}, CASE WHEN e < 0 THEN NULL ELSE {} END".format(_date_expr("s"), _date_expr("e")),
    )
    _insert(con, "boards", pd.DataFrame({"o": ids, "b": m.board[order]}), "o, b")
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


def _write(con, m: _Market, seed: int, progress: _Progress) -> None:
    cal_days = _days(m.calendar)
    cal_days32 = cal_days.astype(np.int32)
    _insert(con, "trading_dates", pd.DataFrame({"d": cal_days32}), _date_expr("d"))

    # Instruments, sorted by id; price change rates follow the same order.
    rows = []
    for i, oid in enumerate(m.cs_ids):
        dl = -1 if np.isnat(m.cs_delisted[i]) else int(_days([m.cs_delisted[i]])[0])
        rows.append(
            (
                oid,
                m.cs_symbols[i],
                "CS",
                m.cs_exchange[i],
                int(_days([m.cs_listed[i]])[0]),
                dl,
                ("cs", i),
            )
        )
    for code, name in INDEXES:
        rows.append(
            (
                code,
                name,
                "INDX",
                "XSHG",
                int(_days(["2005-01-04"])[0]),
                -1,
                ("ix", code),
            )
        )
    for j, (fid, name, ftype, exch, ld) in enumerate(m.fund_rows):
        rows.append((fid, name, ftype, exch, int(_days([ld])[0]), -1, ("fund", j)))
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
        "o, s, t, x, {}, CASE WHEN dl < 0 THEN NULL ELSE {} END".format(
            _date_expr("l"), _date_expr("dl")
        ),
    )
    progress.step("writing instruments")

    columns = []
    for r in rows:
        src, key = r[6]
        if src == "cs":
            columns.append(m.returns[:, key])
        elif src == "ix":
            columns.append(m.index_ret[key])
        else:
            columns.append(m.fund_ret[key])
    mat = np.column_stack(columns).T  # instrument x day
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
    del prices
    progress.step("writing price change rates", 2)

    cs_cat = list(m.cs_ids)
    frames = []
    for code, _ in INDEXES:
        for t_r, mem, w in m.index_weights[code]:
            frames.append(
                pd.DataFrame(
                    {
                        "i": code,
                        "d": np.full(len(mem), cal_days32[t_r]),
                        "o": pd.Categorical.from_codes(mem.astype(np.int32), categories=cs_cat),
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

    # Industry standards.
    citic_names = []
    for targets in _CITIC_MAP.values():
        for t in targets:
            if t not in citic_names:
                citic_names.append(t)
    nb_names = []
    for name in SWS_INDUSTRIES:
        nb_names.extend(NON_BANK_SPLIT if name == "non_bank_financials" else [name])
    lists = {
        "sws": list(SWS_INDUSTRIES),
        "sws_non_bank_split": nb_names,
        "citic": citic_names,
    }
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
    cls_rows = []
    n = len(m.cs_ids)
    for i in range(n):
        listed = int(_days([m.cs_listed[i]])[0])
        records = [(listed, m.ind0[i])]
        if m.change[i]:
            records.append((int(cal_days[m.change_day[i]]), m.ind1[i]))
        for start, code in records:
            sws = SWS_INDUSTRIES[code]
            cls_rows.append(("sws", i, start, sws))
            split = NON_BANK_SPLIT[m.nb_sub[i]] if sws == "non_bank_financials" else sws
            cls_rows.append(("sws_non_bank_split", i, start, split))
            if not m.citic_missing[i]:
                targets = _CITIC_MAP[sws]
                citic = targets[min(m.citic_pick[i], len(targets) - 1)]
                if m.citic_shuffle[i]:
                    citic = citic_names[m.citic_other[i] % len(citic_names)]
                cls_rows.append(("citic", i, start, citic))
    cls = pd.DataFrame(
        {
            "c": [r[0] for r in cls_rows],
            "o": pd.Categorical.from_codes(np.array([r[1] for r in cls_rows], np.int32), cs_cat),
            "d": np.array([r[2] for r in cls_rows], dtype=np.int32),
            "n": [r[3] for r in cls_rows],
        }
    )
    _insert(con, "industry_classification", cls, "c, o, {}, n".format(_date_expr("d")))
    progress.step("writing indexes and industries")

    # Risk model.
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
        "o": pd.Categorical.from_codes(np.concatenate(parts["o"]), cs_cat),
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
    progress.step("writing factor exposures")

    k = len(m.factor_names)
    fi, fj = np.meshgrid(np.arange(k, dtype=np.int32), np.arange(k, dtype=np.int32), indexing="ij")
    cov_frames, spec_frames = [], []
    for name in COV_MODELS:
        for b, t_m in enumerate(m.model_idx):
            cov_frames.append(
                pd.DataFrame(
                    {
                        "c": name,
                        "d": np.full(k * k, cal_days32[t_m]),
                        "f1": pd.Categorical.from_codes(fi.ravel(), m.factor_names),
                        "f2": pd.Categorical.from_codes(fj.ravel(), m.factor_names),
                        "v": m.cov[name][b].ravel(),
                    }
                )
            )
            idx = m.expo_rows[b][1]
            spec_frames.append(
                pd.DataFrame(
                    {
                        "c": name,
                        "d": np.full(len(idx), cal_days32[t_m]),
                        "o": pd.Categorical.from_codes(idx.astype(np.int32), cs_cat),
                        "v": np.round(m.spec[name][b][idx], 8),
                    }
                )
            )
    _insert(
        con,
        "factor_covariance",
        pd.concat(cov_frames, ignore_index=True),
        "c, {}, f1, f2, v".format(_date_expr("d")),
    )
    progress.step("writing factor covariance")
    _insert(
        con,
        "specific_risk",
        pd.concat(spec_frames, ignore_index=True),
        "c, {}, o, v".format(_date_expr("d")),
    )
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
