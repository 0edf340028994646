"""The risk model tidewell builds from prices: what it estimates (checked against the
factor model the test's returns are drawn from), what it is stored as, and the route
from a folder of prices to a portfolio, a report and a backtest."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import tidewell as tw

N_STOCKS = 240
N_DAYS = 330
INDUSTRIES = ["banks", "chemicals", "media", "software"]


def generated(seed=0, n=N_STOCKS, days=N_DAYS):
    """Returns drawn from a known factor model: a market with stock betas, four
    industries and two hidden styles, fat-tailed specific noise; the true daily
    covariance is loadings @ factor_cov @ loadings.T + diag(specific**2)."""
    rng = np.random.default_rng(seed)
    index = pd.bdate_range("2023-01-02", periods=days)
    ids = [f"{i:06d}.XNYS" for i in range(n)]
    beta = np.exp(rng.normal(0.0, 0.3, n))
    industry = rng.integers(0, len(INDUSTRIES), n)
    hidden = rng.normal(size=(n, 2))
    loadings = np.column_stack(
        [beta, np.eye(len(INDUSTRIES))[industry], hidden]
    )  # market, industries, hidden styles
    vols = np.r_[0.011, np.full(len(INDUSTRIES), 0.006), 0.004, 0.003]
    factor_cov = np.diag(vols**2)
    specific = np.exp(rng.normal(np.log(0.015), 0.3, n))
    factor_returns = rng.normal(size=(days, len(vols))) * vols
    noise = rng.standard_t(6, (days, n)) * np.sqrt(4 / 6) * specific
    returns = pd.DataFrame(factor_returns @ loadings.T + noise, index=index, columns=ids)
    returns.iloc[rng.random((days, n)) < 0.01] = np.nan  # a few days without a trade
    caps = pd.DataFrame(
        np.exp(rng.normal(22.0, 1.0, n) + np.nancumsum(np.log1p(returns.fillna(0)), axis=0)),
        index=index,
        columns=ids,
    )
    return {
        "returns": returns,
        "true_cov": loadings @ factor_cov @ loadings.T + np.diag(specific**2),
        "beta": pd.Series(beta, index=ids),
        "industries": pd.Series(np.asarray(INDUSTRIES)[industry], index=ids),
        "caps": caps,
    }


@pytest.fixture(scope="module")
def market():
    return generated()


@pytest.fixture(scope="module")
def model(market):
    return tw.build_risk_model(market["returns"], industries=market["industries"])


def covariance(model, date, cov_model="daily"):
    x = model.exposure(date)
    f = model.covariance(date, cov_model)
    s = model.specific_risk(date, cov_model)
    return x.index, x.to_numpy() @ f.to_numpy() @ x.to_numpy().T + np.diag(s.to_numpy() ** 2)


# --------------------------------------------------------------------------- estimates


@pytest.mark.parametrize("with_industries", [False, True])
def test_portfolio_risk_is_close_to_the_true_models(market, with_industries):
    extra = {"industries": market["industries"]} if with_industries else {}
    built = tw.build_risk_model(market["returns"], **extra)
    day = built.dates[-1]
    ids, cov = covariance(built, day, "quarterly")
    codes = market["returns"].columns
    truth = pd.DataFrame(market["true_cov"], index=codes, columns=codes).loc[ids, ids]
    rng = np.random.default_rng(1)
    long_only = rng.dirichlet(np.ones(len(ids)), 50).T
    long_short = rng.normal(size=(len(ids), 50))
    for weights, tolerance in ((long_only, 0.25), (long_short, 0.2)):
        predicted = np.einsum("ip,ij,jp->p", weights, cov, weights)
        true = np.einsum("ip,ij,jp->p", weights, truth.to_numpy(), weights)
        ratio = np.sqrt(predicted / true)
        assert abs(np.median(ratio) - 1) < tolerance, np.median(ratio)
    single = np.sqrt(np.diag(cov) / np.diag(truth.to_numpy()))
    assert abs(np.median(single) - 1) < 0.1
    assert np.corrcoef(np.diag(cov), np.diag(truth.to_numpy()))[0, 1] > 0.8


def test_the_beta_style_ranks_the_stocks_as_their_true_betas(market, model):
    exposure = model.exposure(model.dates[-1])["beta"]
    true = market["beta"].reindex(exposure.index)
    assert np.corrcoef(exposure, true)[0, 1] > 0.85


def test_exposures_and_covariances_have_the_layout_of_a_factor_model(market, model):
    day = model.dates[-1]
    x = model.exposure(day)
    kinds = model.factors.set_index("factor")["kind"]
    assert list(x.columns) == list(model.factors["factor"])
    assert (x["market"] == 1).all()
    industries = x[kinds.index[kinds == "industry"]]
    assert (industries.sum(axis=1) == 1).all()
    assert (industries.idxmax(axis=1) == market["industries"].reindex(x.index)).all()
    for style in kinds.index[kinds == "style"]:
        assert abs(x[style].mean()) < 0.05 and abs(x[style].std(ddof=0) - 1) < 0.05
        assert x[style].abs().max() < 3.2  # winsorised at 3, then standardised again
    for cov_model in ("daily", "monthly", "quarterly"):
        f = model.covariance(day, cov_model).to_numpy()
        np.testing.assert_array_equal(f, f.T)
        assert np.linalg.eigvalsh(f).min() > 0
        s = model.specific_risk(day, cov_model)
        assert (s > 0).all() and list(s.index) == list(x.index)


@pytest.mark.parametrize(
    "given, styles",
    [
        ({}, ["beta", "momentum", "residual_volatility"]),
        (
            {"market_caps": "caps"},
            ["beta", "momentum", "non_linear_size", "residual_volatility", "size"],
        ),
        (
            {"market_caps": "caps", "traded_values": "traded"},
            ["beta", "liquidity", "momentum", "non_linear_size", "residual_volatility", "size"],
        ),
        (
            {"market_caps": "caps", "fundamentals": "fundamentals"},
            [
                "beta",
                "book_to_price",
                "earnings_yield",
                "growth",
                "leverage",
                "momentum",
                "non_linear_size",
                "residual_volatility",
                "size",
            ],
        ),  # fmt: skip
    ],
)
def test_the_styles_are_those_the_data_allows(market, given, styles):
    caps = market["caps"]
    rng = np.random.default_rng(2)
    data = {
        "caps": caps,
        "traded": caps * np.exp(rng.normal(np.log(0.01), 0.3, caps.shape)),
        "fundamentals": pd.DataFrame(
            {
                "order_book_id": np.repeat(caps.columns, 2),
                "date": np.tile([caps.index[0], caps.index[-60]], len(caps.columns)),
                "book_value": rng.lognormal(21, 1, 2 * len(caps.columns)),
                "earnings": rng.normal(1e8, 5e7, 2 * len(caps.columns)),
                "sales": rng.lognormal(20, 1, 2 * len(caps.columns)),
                "total_debt": rng.lognormal(20, 1, 2 * len(caps.columns)),
            }
        ),
    }
    built = tw.build_risk_model(market["returns"], **{k: data[v] for k, v in given.items()})
    assert [f for f, k in built.factors.itertuples(index=False) if k == "style"] == styles
    x = built.exposure(built.dates[-1])
    if "size" in styles:
        size = np.log(caps.iloc[-1].reindex(x.index))
        assert np.corrcoef(x["size"], size)[0, 1] > 0.95
        weights = caps.iloc[-1].reindex(x.index)
        assert abs((x["size"] * weights).sum() / weights.sum()) < 1e-9  # cap-weighted mean 0
    if "book_to_price" in styles:
        last = data["fundamentals"].groupby("order_book_id").last()["book_value"]
        ratio = np.log(last.reindex(x.index) / caps.iloc[-1].reindex(x.index))
        assert pd.Series(x["book_to_price"]).corr(ratio, method="spearman") > 0.9


def test_a_model_date_sees_nothing_after_it(market):
    returns = market["returns"]
    full = tw.build_risk_model(returns, industries=market["industries"])
    day = full.dates[-3]
    changed = returns.copy()
    later = changed.index > pd.Timestamp(day)
    changed.loc[later] = changed.loc[later] * 3 + 0.01  # another future
    other = tw.build_risk_model(changed, industries=market["industries"])
    ids, cov = covariance(full, day)
    ids_other, cov_other = covariance(other, day)
    assert list(ids) == list(ids_other)
    np.testing.assert_allclose(cov, cov_other, rtol=1e-9, atol=1e-15)


def test_prices_give_the_model_of_their_returns(market):
    returns = market["returns"].iloc[:, :60]
    prices = (1 + returns.fillna(0)).cumprod() * 10
    prices[returns.isna()] = np.nan
    from_prices = tw.build_risk_model(prices=prices, statistical_factors=2)
    from_returns = tw.build_risk_model(returns.iloc[1:], statistical_factors=2)
    day = from_returns.dates[-1]
    np.testing.assert_allclose(covariance(from_prices, day)[1], covariance(from_returns, day)[1])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda r: tw.build_risk_model((r * 100).clip(lower=-0.9)), "look like percent"),
        (lambda r: tw.build_risk_model(r - 1), "-100 % or less"),
        (lambda r: tw.build_risk_model(r.iloc[:40]), "needs at least 63"),
        (lambda r: tw.build_risk_model(r.iloc[:, :5]), "at least 20"),
        (lambda r: tw.build_risk_model(r, prices=r), "either returns or prices"),
        (lambda r: tw.build_risk_model(prices=r), "positive"),
        (lambda r: tw.build_risk_model(r, statistical_factors=-1), "statistical_factors"),
        (lambda r: tw.build_risk_model(r, half_lives={"daily": 0}), "positive number of days"),
        (lambda r: tw.build_risk_model(r, half_lives={"weekly": 5}), "unknown cov_model"),
        (lambda r: tw.build_risk_model(r.to_numpy()), "must be a DataFrame"),
        (lambda r: tw.build_risk_model(r, industries=["banks"]), "industries must be"),
        (
            lambda r: tw.build_risk_model(r, industries=pd.Series("market", index=r.columns)),
            "has the name of a risk-model factor",
        ),
    ],
)
def test_inputs_a_model_cannot_be_built_from_are_refused(market, call, message):
    with pytest.raises(tw.TidewellError, match=message):
        call(market["returns"])


# --------------------------------------------------------------------------- in a store


def write_folder(folder, market, tables=(), daily_prices=False, exchange="XNYS"):
    """A folder of the market's prices (change rates, or closes) for import."""
    folder.mkdir()
    returns = market["returns"]
    ids = list(returns.columns)
    pd.DataFrame(
        {
            "order_book_id": ids,
            "symbol": ids,
            "type": "CS",
            "exchange": exchange,
            "listed_date": "2020-01-02",
        }
    ).to_csv(folder / "instruments.csv", index=False)
    pd.DataFrame({"date": returns.index.strftime("%Y-%m-%d")}).to_csv(
        folder / "trading_dates.csv", index=False
    )
    long = returns.stack().dropna().rename("change_rate").reset_index()
    long.columns = ["date", "order_book_id", "change_rate"]
    if daily_prices:
        closes = (1 + returns.fillna(0)).cumprod() * 20
        prices = closes.stack().dropna().rename("close").reset_index()
        prices.columns = ["date", "order_book_id", "close"]
        prices["suspended"] = 0
        prices.to_csv(folder / "daily_prices.csv", index=False)
    else:
        long.to_csv(folder / "price_changes.csv", index=False)
    pd.DataFrame(
        {
            "classification": "sws",
            "order_book_id": ids,
            "start_date": "2020-01-02",
            "industry": market["industries"].reindex(ids).to_numpy(),
        }
    ).to_csv(folder / "industry_classification.csv", index=False)
    for name, frame in dict(tables).items():
        frame.to_csv(folder / f"{name}.csv", index=False)
    return folder


@pytest.fixture
def store(tmp_path):
    yield tmp_path
    tw.set_database(None)


def store_answers(day, ids, cov_model="monthly"):
    return (
        tw.get_factor_exposure(ids, day),
        tw.get_factor_covariance(day, cov_model),
        tw.get_specific_risk(ids, day, cov_model),
    )


@pytest.mark.parametrize("route", ["prices", "model tables"])
def test_a_store_answers_as_the_model_it_holds(market, store, route):
    listings = pd.DataFrame(
        {"listed_date": "2020-01-02", "de_listed_date": ""}, index=market["returns"].columns
    )
    built = tw.build_risk_model(
        market["returns"], industries=market["industries"], listings=listings
    )
    tables = built.tables() if route == "model tables" else {}
    folder = write_folder(store / "src", market, tables)
    tw.set_database(tw.import_database(folder, store / "db.duckdb", progress=False))
    assert tw.get_factor_names() == list(built.factors["factor"])
    assert tw.get_factor_names("industry") == INDUSTRIES
    assert tw.get_style_factor_names() == ["beta", "momentum", "residual_volatility"]
    ids = list(market["returns"].columns[::7])
    for day in (built.dates[0], built.dates[-1] + pd.Timedelta(days=0)):
        exposure, cov, specific = store_answers(day, ids)
        pd.testing.assert_frame_equal(exposure, built.exposure(day).loc[ids], check_names=False)
        pd.testing.assert_frame_equal(cov, built.covariance(day, "monthly"), rtol=1e-12)
        np.testing.assert_allclose(specific, built.specific_risk(day, "monthly").loc[ids])


def test_closes_alone_give_the_change_rates_and_a_market_without_lot_rules(market, store):
    from vantelo.trading import to_orders

    folder = write_folder(store / "src", market, daily_prices=True, exchange="XLON")
    tw.set_database(tw.import_database(folder, store / "db.duckdb", progress=False))
    returns = market["returns"].fillna(0).iloc[1:]
    ids = list(returns.columns[:5])
    got = tw.get_price_change_rate(ids, returns.index[0], returns.index[-1])
    np.testing.assert_allclose(got.to_numpy(), returns[ids].to_numpy(), atol=1e-12)
    day = returns.index[-1]
    status = tw.get_trading_status(ids, day)
    assert (status["board"] == "other").all() and (status["lot_size"] == 1).all()
    assert not status[["limit_up", "limit_down"]].any().any()
    orders = to_orders(pd.Series(0.2, index=ids), day, capital=10_000)
    # Lots of one share: every position within a share of its target value.
    value = orders["target_shares"] * orders["price"]
    assert (abs(value - 2_000) <= orders["price"]).all()
    assert (orders["target_shares"] % 100 != 0).any()


@pytest.mark.parametrize(
    "keep_days, build, outcome",
    [
        (40, None, "no factor exposures (not built: the returns cover 40 trading days"),
        (40, True, "cannot build a risk model: the returns cover 40 trading days"),
        (N_DAYS, False, "no factor exposures$"),
    ],
)
def test_a_store_says_why_it_has_no_risk_model(market, store, keep_days, build, outcome):
    short = dict(market, returns=market["returns"].iloc[:keep_days])
    folder = write_folder(store / "src", short)
    if build:
        with pytest.raises(tw.TidewellError, match=outcome):
            tw.import_database(folder, store / "db.duckdb", build_risk_model=True)
        return
    path = tw.import_database(folder, store / "db.duckdb", build_risk_model=build)
    tw.set_database(path)
    with pytest.raises(tw.TidewellError, match=outcome.replace("(", r"\(")):
        tw.get_factor_exposure(["000000.XNYS"], short["returns"].index[-1])


def test_building_over_a_model_of_ones_own_is_refused(market, store):
    built = tw.build_risk_model(market["returns"])
    folder = write_folder(store / "src", market, {"specific_risk": built.specific_frame()})
    with pytest.raises(tw.TidewellError, match="has a risk model of its own.*specific_risk.csv"):
        tw.import_database(folder, store / "db.duckdb", build_risk_model=True)


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda f: f.assign(kind=f.kind.replace("market", "country")), "'kind': must be one of"),
        (lambda f: f.replace("momentum", "moment"), "a style factor must be one of"),
        (lambda f: f.replace("banks", "bank"), "not an industry of any classification"),
        (lambda f: f.replace("pc_1", "Size"), "cannot share its name"),
        (lambda f: f.assign(position=1), "two factors have the same position"),
    ],
)
def test_a_factors_file_is_checked(market, store, edit, message):
    built = tw.build_risk_model(market["returns"], industries=market["industries"])
    tables = built.tables()
    tables["factors"] = edit(tables["factors"])
    folder = write_folder(store / "src", market, tables)
    with pytest.raises(tw.TidewellError, match=message):
        tw.import_database(folder, store / "db.duckdb", progress=False)


# --------------------------------------------------------------------------- the optimiser


@pytest.fixture(scope="module")
def built_store(tmp_path_factory):
    market = generated(seed=3)
    folder = write_folder(tmp_path_factory.mktemp("market") / "src", market)
    path = tw.import_database(folder, folder.parent / "db.duckdb", progress=False)
    return market, path


@pytest.mark.parametrize(
    "make",
    [
        lambda: __import__("vantelo.constraints").constraints.StyleConstraint(
            "size", upper_limit=0.5
        ),
        lambda: __import__("vantelo.objective").objective.MinStyleDeviation({"size": 0.0}),
    ],
)
def test_a_style_the_model_lacks_is_refused_by_name(built_store, make):
    from vantelo.exception import InvalidArgument
    from vantelo.optimize import portfolio_optimize

    market, path = built_store
    tw.set_database(path)
    try:
        item = make()
        kwargs = {"cons": [item]} if hasattr(item, "to_constraints") else {"objective": item}
        ids = list(market["returns"].columns[:50])
        with pytest.raises(InvalidArgument, match=r"no style factor 'size' \(its styles: beta"):
            portfolio_optimize(ids, market["returns"].index[-1], **kwargs)
    finally:
        tw.set_database(None)


def test_the_recipe_prices_to_portfolio_report_and_backtest(built_store):
    """Min variance with industry limits on a built store: its risk is the model's
    (checked in numpy), the limits hold, and the backtest earns the held weights'
    returns."""
    from vantelo.constraints import WildcardIndustryConstraint
    from vantelo.objective import MinVariance
    from vantelo.optimize import portfolio_optimize
    from vantelo.rebalance import rebalance, rebalance_dates
    from vantelo.report import portfolio_report

    market, path = built_store
    tw.set_database(path)
    try:
        ids = list(market["returns"].columns)
        day = market["returns"].index[-1]
        limit = WildcardIndustryConstraint(upper_limit=0.3)
        weights = portfolio_optimize(
            ids, day, objective=MinVariance(), bnds={"*": (0, 0.05)}, cons=[limit]
        )
        by_industry = weights.groupby(market["industries"].reindex(weights.index)).sum()
        assert by_industry.max() <= 0.3 + 1e-6
        report = portfolio_report(weights, day)
        x, f, s = store_answers(day, list(weights.index), "daily")
        w = weights.to_numpy()
        own = np.sqrt(252 * (w @ x.to_numpy() @ f.to_numpy() @ x.to_numpy().T @ w + (s**2) @ w**2))
        assert report.summary["volatility"] == pytest.approx(own, rel=1e-6)
        groups = report.factor_contributions["group"].drop("specific")
        kinds = {f: k for k in ("market", "industry", "style", "statistical")
                 for f in tw.get_factor_names(k)}  # fmt: skip
        assert groups.to_dict() == kinds
        dates = rebalance_dates(market["returns"].index[-130], day, "M")
        result = rebalance(
            dates, ids, MinVariance(), bnds={"*": (0, 0.05)}, cons=[limit], progress=False
        )
        assert len(result.weights) == len(dates)
        first, second = result.weights.index[:2]
        held = result.weights.loc[first]
        held = held[held > 0]
        days = market["returns"].loc[pd.Timestamp(first) : pd.Timestamp(second)].index[1:]
        value = (1 + market["returns"].loc[days, held.index].fillna(0)).cumprod() @ held
        expected = value / value.shift(1).fillna(held.sum()) - 1
        np.testing.assert_allclose(
            result.returns.loc[days, "portfolio"], expected, rtol=1e-6, atol=1e-12
        )
    finally:
        tw.set_database(None)
