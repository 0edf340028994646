"""The risk model tidewell builds from prices, next to the demo's true model and a
Ledoit-Wolf shrunk sample covariance.

    python benchmarks/riskmodel_bench.py               # accuracy, then the build at scale
    python benchmarks/riskmodel_bench.py --quick       # accuracy on the 800 index only
    python benchmarks/riskmodel_bench.py --scale-only  # the build of 5,000 stocks x 1,000 days
    python benchmarks/riskmodel_bench.py --half-lives  # the measurement behind HALF_LIVES

Accuracy (demo market, seed 8). The demo's generator draws the returns from a factor
model and stores its estimate of that model (the true exposures, covariances of the
true factor returns): the "true" rows. The "built" rows are models built by
tidewell.build_risk_model from the demo's change rates alone ("prices"), and from
them with the demo's industries ("prices + industries"). "Ledoit-Wolf" is the
sample covariance of the pool's last 252 daily returns shrunk toward a scaled
identity with Ledoit and Wolf's intensity (a numpy implementation, checked against
scikit-learn's LedoitWolf when that is installed).

On every month end from 2023-12-29 to 2025-11-28 each model gives the long-only,
fully invested minimum-variance portfolio (at most 1% a stock on the whole market,
2% on the 800 index), solved by Clarabel on the model's factor form; the portfolio
is held, at constant weights, until the next month end. Pools: every common stock
listed on the date with returns on at least 90% of the last 252 days (the same pool
for every model: the sample covariance needs the history), and those of them in the
800 index. "realised" is the annualised standard deviation of the daily returns of
the 24 months, "predicted" the root mean square of the models' annualised
volatilities of the portfolios they chose.

Scale. Returns of 5,000 stocks over 1,000 days drawn from a random factor model
(with industries, market caps and traded values), built in a fresh process: wall time
and the process's peak resident memory, with returns alone, with everything, and as
the import of a prices-only folder of Parquet files (change rates and industries)
that builds the model and writes the store.

Half-lives (--half-lives). On a demo market of another seed (9), models built with
half-lives from 10 to 252 days are scored by the QLIKE loss (log of the predicted
variance plus realised squared return over it) of their forecasts on each model
date: for random portfolios (long-only and long-short, 100 names a side; the factor
half-life) and single stocks (the specific half-life), over the horizon of each
covariance model: each of the 21 following days (daily), the next 21 days (monthly),
the next 63 days (quarterly).
"""

from __future__ import annotations

import argparse
import os
import platform
import subprocess
import sys
import tempfile
import time

import numpy as np
import pandas as pd

import tidewell as tw

CAPS = {"whole": 0.01, "800": 0.02}
INDEX = "990800.XSHG"
FIRST_REBALANCE = "2023-12-29"
WINDOW = 252
COVERAGE = 0.9
TRADING_DAYS = 252


def machine() -> str:
    load = os.getloadavg() if hasattr(os, "getloadavg") else ("?",) * 3
    cpu = platform.processor() or platform.machine()
    return "{} CPUs ({}), load average {}; Python {}, numpy {}".format(
        os.cpu_count(),
        cpu,
        " ".join(f"{x:.2f}" for x in load),
        platform.python_version(),
        np.__version__,
    )


# --------------------------------------------------------------------------- data


def demo_inputs(path: str):
    """(returns days x stocks, sws industry history, listings) of a demo store."""
    import duckdb

    con = duckdb.connect(path, read_only=True)
    try:
        listings = con.execute(
            "SELECT order_book_id, listed_date, de_listed_date FROM instruments "
            "WHERE type = 'CS' ORDER BY 1"
        ).df()
        dates = pd.to_datetime(
            con.execute("SELECT date FROM trading_dates ORDER BY 1").df()["date"]
        )
        rates = con.execute(
            "SELECT order_book_id, date, change_rate FROM price_changes "
            "JOIN instruments USING (order_book_id) WHERE type = 'CS'"
        ).df()
        industries = con.execute(
            "SELECT order_book_id, start_date, industry FROM industry_classification "
            "WHERE classification = 'sws'"
        ).df()
    finally:
        con.close()
    ids = listings["order_book_id"].tolist()
    returns = rates.pivot(index="date", columns="order_book_id", values="change_rate")
    returns = returns.reindex(index=dates, columns=ids)
    return returns, industries, listings.set_index("order_book_id")


# --------------------------------------------------------------------------- estimators


def ledoit_wolf(y: np.ndarray) -> tuple:
    """(root, specific, intensity) of the Ledoit-Wolf estimate of demeaned returns ``y``
    (days x stocks): the covariance is root @ root.T + specific * I.

    S = y'y / T is shrunk toward mu I, mu = tr(S)/n, with intensity b2/d2:
    d2 = |S - mu I|^2, b2 = min(d2, sum_t |y_t y_t' - S|^2 / T^2) (norms divided by
    n). Everything comes from the T x T Gram matrix; no n x n matrix is formed.
    """
    t, n = y.shape
    gram = y @ y.T / t
    trace = np.trace(gram)
    mu = trace / n
    s_fro2 = (gram * gram).sum()
    d2 = (s_fro2 - 2.0 * mu * trace + mu * mu * n) / n
    norms = (y * y).sum(axis=1)
    b2 = min(((norms**2).sum() / t - s_fro2) / (t * n), d2)
    intensity = b2 / d2
    return np.sqrt((1.0 - intensity) / t) * y.T, np.full(n, intensity * mu), intensity


def check_ledoit_wolf(returns: pd.DataFrame) -> str:
    try:
        from sklearn.covariance import LedoitWolf
    except ImportError:
        return "scikit-learn not installed: the Ledoit-Wolf estimate is not cross-checked"
    rng = np.random.default_rng(0)
    window = returns.iloc[-WINDOW:]
    cols = window.columns[window.notna().all().to_numpy()]
    y = window[rng.choice(cols, 300, replace=False)].to_numpy()
    y = y - y.mean(axis=0)
    root, specific, intensity = ledoit_wolf(y)
    ours = root @ root.T + np.diag(specific)
    ref = LedoitWolf(assume_centered=True).fit(y)
    gap = np.abs(ours - ref.covariance_).max() / np.abs(ref.covariance_).max()
    return (
        f"Ledoit-Wolf check against scikit-learn (300 stocks, {WINDOW} days): intensity "
        f"{intensity:.6f} vs {ref.shrinkage_:.6f}, largest entry gap {gap:.1e} of the largest"
    )


def factor_form(exposure: pd.DataFrame, cov: pd.DataFrame, specific: pd.Series) -> tuple:
    """(root, specific variances) of exposure @ cov @ exposure.T + diag(specific**2)."""
    values, vectors = np.linalg.eigh(cov.loc[exposure.columns, exposure.columns].to_numpy())
    root = exposure.to_numpy() @ (vectors * np.sqrt(np.clip(values, 0.0, None)))
    return root, specific.to_numpy() ** 2


def min_variance(root: np.ndarray, specific: np.ndarray, cap: float) -> np.ndarray:
    import cvxpy as cp

    w = cp.Variable(root.shape[0])
    risk = cp.sum_squares(root.T @ w) + cp.sum(cp.multiply(specific, cp.square(w)))
    cp.Problem(cp.Minimize(risk), [cp.sum(w) == 1, w >= 0, w <= cap]).solve(solver="CLARABEL")
    x = np.clip(w.value, 0.0, None)
    return x / x.sum()


# --------------------------------------------------------------------------- accuracy


def month_ends(index: pd.DatetimeIndex) -> pd.DatetimeIndex:
    months = index.to_period("M")
    return index[np.r_[months[1:] != months[:-1], True]]


def built_models(returns, industries, listings) -> dict:
    models = {}
    for name, extra in (("prices", {}), ("prices + industries", {"industries": industries})):
        start = time.perf_counter()
        models[name] = tw.build_risk_model(returns, listings=listings, **extra)
        print(
            f"built '{name}' in {time.perf_counter() - start:.1f} s: {models[name]!r}", flush=True
        )
    return models


def accuracy(path: str, pools, cov_models, models=None, others=True) -> pd.DataFrame:
    """Out-of-sample minimum-variance figures of ``models`` ({name: RiskModel}, by
    default those built from the store's prices) and, with ``others``, of the store's
    own model and of Ledoit-Wolf."""
    from threadpoolctl import threadpool_limits

    tw.set_database(path)
    tw.get_trading_dates()  # the demo is built on first use
    returns, industries, listings = demo_inputs(path)
    if others:
        print(check_ledoit_wolf(returns), flush=True)
    if models is None:
        models = built_models(returns, industries, listings)
    ends = month_ends(returns.index)
    dates = [d for d in ends if d >= pd.Timestamp(FIRST_REBALANCE)][:-1]
    values = returns.to_numpy()
    ids = np.asarray(returns.columns)
    listed = pd.to_datetime(listings.loc[ids, "listed_date"]).to_numpy()
    delisted = pd.to_datetime(listings.loc[ids, "de_listed_date"]).to_numpy()
    records = {}
    for day in dates:
        t = returns.index.get_loc(day)
        t_next = returns.index.get_loc(ends[ends > day][0])
        window = values[t - WINDOW + 1 : t + 1]
        alive = (listed < np.datetime64(day)) & (
            np.isnat(delisted) | (delisted > np.datetime64(day))
        )
        eligible = alive & (np.isfinite(window).mean(axis=0) >= COVERAGE)
        for pool in pools:
            chosen = eligible.copy()
            if pool == "800":
                chosen &= np.isin(ids, tw.index_weights(INDEX, day.date()).index)
            codes = list(ids[chosen])
            future = np.nan_to_num(values[t + 1 : t_next + 1][:, chosen])
            forms = {}
            for cov_model in cov_models:
                if others:
                    forms[("true", cov_model)] = factor_form(
                        tw.get_factor_exposure(codes, day.date()),
                        tw.get_factor_covariance(day.date(), cov_model),
                        tw.get_specific_risk(codes, day.date(), cov_model),
                    )
                for name, model in models.items():
                    forms[(name, cov_model)] = factor_form(
                        model.exposure(day).reindex(codes),
                        model.covariance(day, cov_model),
                        model.specific_risk(day, cov_model).reindex(codes),
                    )
            if others:
                sample = window[:, chosen]
                sample = np.nan_to_num(sample - np.nanmean(sample, axis=0))
                root, specific, _ = ledoit_wolf(sample)
                forms[("Ledoit-Wolf", "sample, 252 days")] = (root, specific)
            for key, (root, specific) in forms.items():
                with threadpool_limits(limits=1, user_api="blas"):
                    w = min_variance(root, specific, CAPS[pool])
                predicted = np.sqrt(
                    TRADING_DAYS * (((root.T @ w) ** 2).sum() + (specific * w * w).sum())
                )
                rec = records.setdefault((pool,) + key, {"predicted": [], "returns": []})
                rec["predicted"].append(predicted)
                rec["returns"].append(future @ w)
        print(f"  {day.date()}", end="", flush=True)
    print()
    tw.set_database(None)
    rows = []
    for (pool, model, cov_model), rec in records.items():
        realised = np.concatenate(rec["returns"]).std() * np.sqrt(TRADING_DAYS)
        predicted = np.sqrt(np.mean(np.square(rec["predicted"])))
        rows.append(
            {"pool": pool, "model": model, "cov_model": cov_model, "realised": realised,
             "predicted": predicted}
        )  # fmt: skip
    table = pd.DataFrame(rows)
    if not others:
        table["predicted / realised"] = table["predicted"] / table["realised"] - 1.0
        return table
    true = table[table.model == "true"].set_index(["pool", "cov_model"])["realised"]
    lw = table[table.model == "Ledoit-Wolf"].set_index("pool")["realised"]
    table["vs true"] = [
        r.realised / true.get((r.pool, r.cov_model), np.nan) - 1.0 for r in table.itertuples()
    ]
    table["vs Ledoit-Wolf"] = table["realised"] / table["pool"].map(lw) - 1.0
    table["predicted / realised"] = table["predicted"] / table["realised"] - 1.0
    return table


def print_accuracy(table: pd.DataFrame) -> None:
    shown = table.copy()
    for col in ("realised", "predicted"):
        shown[col] = shown[col].map(lambda v: f"{100 * v:.2f}%")
    for col in [c for c in ("vs true", "vs Ledoit-Wolf", "predicted / realised") if c in shown]:
        shown[col] = shown[col].map(lambda v: "" if not np.isfinite(v) else f"{100 * v:+.1f}%")
    print(shown.to_string(index=False))


# --------------------------------------------------------------------------- scale


def generated_market(n: int = 5000, days: int = 1000, seed: int = 1):
    """Returns, industries, caps and traded values of ``n`` stocks over ``days`` days
    from a random factor model (market, 30 industries, 6 styles, fat-tailed noise)."""
    rng = np.random.default_rng(seed)
    index = pd.bdate_range("2021-01-04", periods=days)
    ids = [f"S{i:05d}" for i in range(n)]
    industry = rng.integers(0, 30, n)
    styles = rng.normal(size=(n, 6))
    market = rng.normal(0.0003, 0.012, days)
    ind_ret = rng.normal(0.0, 0.006, (days, 30))
    sty_ret = rng.normal(0.0, 0.003, (days, 6))
    beta = np.exp(rng.normal(0.0, 0.25, n))
    spec = np.exp(rng.normal(np.log(0.017), 0.3, n))
    r = (
        market[:, None] * beta
        + ind_ret[:, industry]
        + sty_ret @ styles.T
        + rng.standard_t(5, (days, n)) * np.sqrt(0.6) * spec
    )
    r[rng.random((days, n)) < 0.01] = np.nan
    late = rng.random(n) < 0.1
    first = rng.integers(0, days, n)
    r[np.arange(days)[:, None] < np.where(late, first, 0)] = np.nan
    returns = pd.DataFrame(r, index=index, columns=ids)
    caps = pd.DataFrame(
        np.exp(rng.normal(22.9, 1.1, n) + np.nancumsum(np.log1p(np.nan_to_num(r)), axis=0)),
        index=index,
        columns=ids,
    )
    traded = caps * np.exp(rng.normal(np.log(0.01), 0.5, (days, n)))
    return returns, pd.Series([f"industry_{k}" for k in industry], index=ids), caps, traded


def peak_memory_mb(reset: bool = False) -> float:
    """The process's peak resident memory in MB, from /proc on Linux (ru_maxrss
    elsewhere, which also counts what the process held before an exec). ``reset``
    starts a new peak from the memory now in use."""
    try:
        if reset:
            with open("/proc/self/clear_refs", "w") as fh:
                fh.write("5")
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def scale_child(what: str) -> None:
    returns, industries, caps, traded = generated_market()
    if what == "import":
        return scale_import(returns, industries)
    extra = {}
    if what == "everything":
        extra = {"industries": industries, "market_caps": caps, "traded_values": traded}
    peak_memory_mb(reset=True)
    before = peak_memory_mb()
    start = time.perf_counter()
    model = tw.build_risk_model(returns, **extra)
    took = time.perf_counter() - start
    print(f"{took:.1f}|{before:.0f}|{peak_memory_mb():.0f}|{model!r}")


def write_parquet(frame: pd.DataFrame, path: str) -> None:
    import duckdb

    con = duckdb.connect()
    con.register("frame", frame)
    con.execute(f"COPY frame TO '{path}' (FORMAT PARQUET)")
    con.close()


def scale_import(returns: pd.DataFrame, industries: pd.Series) -> None:
    """The same market as a prices-only folder of Parquet files, imported."""
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "market")
        os.mkdir(source)
        ids = list(returns.columns)
        first = returns.index[0].date()
        long = returns.rename_axis(index="date", columns="order_book_id").stack().dropna()
        write_parquet(
            long.rename("change_rate").reset_index(), os.path.join(source, "price_changes.parquet")
        )
        del long
        write_parquet(
            pd.DataFrame({"date": returns.index}), os.path.join(source, "trading_dates.parquet")
        )
        write_parquet(
            pd.DataFrame(
                {"order_book_id": ids, "symbol": ids, "type": "CS", "exchange": "XMKT",
                 "listed_date": first}
            ),
            os.path.join(source, "instruments.parquet"),
        )  # fmt: skip
        write_parquet(
            pd.DataFrame(
                {"classification": "sws", "order_book_id": ids, "start_date": first,
                 "industry": industries.reindex(ids).to_numpy()}
            ),
            os.path.join(source, "industry_classification.parquet"),
        )  # fmt: skip
        peak_memory_mb(reset=True)
        before = peak_memory_mb()
        start = time.perf_counter()
        path = tw.import_database(source, os.path.join(folder, "store.duckdb"), progress=False)
        took = time.perf_counter() - start
        size = os.path.getsize(path) / 2**20
    print(f"{took:.1f}|{before:.0f}|{peak_memory_mb():.0f}|a store of {size:.0f} MB")


def scale() -> None:
    print("Build of 5,000 stocks x 1,000 days (generated), each in a fresh process:")
    for what in ("returns only", "everything", "import"):
        done = subprocess.run(
            [sys.executable, __file__, "--scale-child", what],
            capture_output=True,
            text=True,
            check=True,
        )
        took, before, peak, model = done.stdout.strip().splitlines()[-1].split("|", 3)
        print(
            f"  {what}: {took} s, peak memory {peak} MB (the process with its inputs before "
            f"the build: {before} MB); {model}"
        )


# --------------------------------------------------------------------------- half-lives

CANDIDATES = (10, 21, 42, 63, 90, 126, 180, 252)
HORIZONS = {"daily": 1, "monthly": 21, "quarterly": 63}


def qlike(predicted: np.ndarray, realised: np.ndarray) -> float:
    return float(np.mean(np.log(predicted) + realised**2 / predicted))


def forecast_losses(model, returns: pd.DataFrame, cov_model: str, rng_seed: int = 0) -> dict:
    """QLIKE of ``model``'s cov_model on random portfolios and on single stocks, for
    each horizon."""
    values = np.nan_to_num(returns.to_numpy())
    index = returns.index
    out = {h: {"portfolios": [], "stocks": []} for h in HORIZONS}
    rng = np.random.default_rng(rng_seed)
    for day in model.dates[12:]:  # a year of history behind every scored model
        t = index.get_loc(pd.Timestamp(day))
        exposure = model.exposure(day)
        codes = exposure.index
        col = returns.columns.get_indexer(codes)
        traded = np.isfinite(returns.to_numpy()[t - 20 : t + 1, col]).any(axis=0)
        x = exposure.to_numpy()[traded]
        col = col[traded]
        f = model.covariance(day, cov_model).to_numpy()
        s2 = model.specific_risk(day, cov_model).to_numpy()[traded] ** 2
        n = len(col)
        weights = np.zeros((n, 200))
        for j in range(200):
            names = rng.choice(n, 200 if j >= 100 else 100, replace=False)
            weights[names[:100], j] = 0.01
            if j >= 100:
                weights[names[100:], j] = -0.01
        loads = x.T @ weights
        port_var = (loads * (f @ loads)).sum(axis=0) + (weights**2).T @ s2
        stock_var = np.einsum("ij,jk,ik->i", x, f, x) + s2
        for name, h in HORIZONS.items():
            if name == "daily":
                block = values[t + 1 : t + 22, col]
                if len(block) < 21:
                    continue
                port = block @ weights
                out[name]["portfolios"].append(qlike(np.broadcast_to(port_var, port.shape), port))
                out[name]["stocks"].append(qlike(np.broadcast_to(stock_var, block.shape), block))
            else:
                if t + h >= len(index):
                    continue
                total = values[t + 1 : t + 1 + h, col].sum(axis=0)
                out[name]["portfolios"].append(qlike(h * port_var, total @ weights))
                out[name]["stocks"].append(qlike(h * stock_var, total))
    return {h: {k: float(np.mean(v)) for k, v in parts.items() if v} for h, parts in out.items()}


def qlike_half_lives(returns, listings) -> None:
    labels = list(HORIZONS)
    groups = [CANDIDATES[i : i + 3] for i in range(0, len(CANDIDATES), 3)]

    def scores(factor, specific):
        """{(horizon, candidate): losses} over builds of three candidates each."""
        table = {}
        for group in groups:
            group = list(group) + [group[-1]] * (3 - len(group))
            f_lives = {m: factor(c) for m, c in zip(labels, group)}
            s_lives = {m: specific(c) for m, c in zip(labels, group)}
            model = tw.build_risk_model(
                returns, listings=listings, half_lives=f_lives, specific_half_lives=s_lives
            )
            for m, c in zip(labels, group):
                for horizon, losses in forecast_losses(model, returns, m).items():
                    table[(horizon, c)] = losses
            print(f"  scored {group}", flush=True)
        return table

    print("Factor half-life (specific half-life the same), QLIKE of random portfolios:")
    first = scores(lambda c: c, lambda c: c)
    chosen = {}
    for horizon in labels:
        row = {c: first[(horizon, c)]["portfolios"] for c in CANDIDATES}
        chosen[horizon] = min(row, key=row.get)
        print(f"  {horizon:9s} " + "  ".join(f"{c}: {v:.4f}" for c, v in row.items()))
    print("  lowest:", chosen)
    for horizon in labels:
        print("Specific half-life with the factor half-life of", horizon, chosen[horizon])
        second = scores(lambda c, h=chosen[horizon]: h, lambda c: c)
        row = {c: second[(horizon, c)]["stocks"] for c in CANDIDATES}
        print(
            f"  {horizon:9s} single stocks "
            + "  ".join(f"{c}: {v:.4f}" for c, v in row.items())
            + f"; lowest {min(row, key=row.get)}"
        )


MIN_VARIANCE_CANDIDATES = ((21, 42, 63), (90, 126, 180), (252, 365, 504))


def min_variance_half_lives(path, returns, listings, pools, specific) -> None:
    """Out-of-sample minimum variance (the accuracy figures) of models that differ in
    their factor half-life only; the specific half-life is ``specific`` days."""
    print(f"Minimum variance out of sample by factor half-life (specific {specific} days):")
    tables = []
    for group in MIN_VARIANCE_CANDIDATES:
        labels = dict(zip(HORIZONS, group))
        model = tw.build_risk_model(
            returns,
            listings=listings,
            half_lives=labels,
            specific_half_lives=dict.fromkeys(HORIZONS, specific),
        )
        table = accuracy(path, pools, list(HORIZONS), {"prices": model}, others=False)
        table["factor half-life"] = table["cov_model"].map(labels)
        tables.append(table)
    table = pd.concat(tables).sort_values(["pool", "factor half-life"])
    print_accuracy(table.drop(columns=["model", "cov_model"]))


def half_lives(stages, pools, specific) -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "demo9.duckdb")
        tw.build_demo_database(path, seed=9, progress=False)
        returns, _, listings = demo_inputs(path)
        if "qlike" in stages:
            qlike_half_lives(returns, listings)
        if "min-variance" in stages:
            min_variance_half_lives(path, returns, listings, pools, specific)
        tw.set_database(None)


# --------------------------------------------------------------------------- main


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the 800 index only")
    parser.add_argument("--scale-only", action="store_true")
    parser.add_argument("--no-scale", action="store_true")
    parser.add_argument(
        "--half-lives",
        nargs="?",
        const="qlike,min-variance",
        help="the measurement behind HALF_LIVES: qlike, min-variance or both",
    )
    parser.add_argument(
        "--specific-half-life", type=float, default=252.0, help="of --half-lives min-variance"
    )
    parser.add_argument(
        "--cov-models", default="daily,monthly,quarterly", help="of the true and built models"
    )
    parser.add_argument("--scale-child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.scale_child:
        scale_child(args.scale_child)
        return
    print("Machine:", machine(), flush=True)
    pools = ["800"] if args.quick else ["whole", "800"]
    if args.half_lives:
        half_lives(args.half_lives.split(","), pools, args.specific_half_life)
    elif not args.scale_only:
        start = time.perf_counter()
        table = accuracy(tw.demo_database_path(), pools, args.cov_models.split(","))
        print_accuracy(table)
        print(f"accuracy run {time.perf_counter() - start:.0f} s")
    if not args.no_scale and not args.half_lives:
        scale()
    print("Machine:", machine())


if __name__ == "__main__":
    main()
