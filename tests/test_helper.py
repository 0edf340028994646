"""OptimizeHelper against the demo market, and portfolio_optimize end to end on it."""

import datetime
import warnings

import numpy as np
import pandas as pd
import pytest

import tidewell
import vantelo.optimize as optimize
from vantelo.benchmark import IndexBenchmark
from vantelo.const import STYLE_FACTORS, CovModel, IndustryClassification
from vantelo.exception import InvalidArgument
from vantelo.helper import OptimizeHelper

DATE = datetime.date(2024, 6, 28)
INDEX = "990300.XSHG"


@pytest.fixture(scope="module")
def benchmark():
    return IndexBenchmark(INDEX)


@pytest.fixture(scope="module")
def components(benchmark):
    return sorted(benchmark.get_weight(DATE).index)


@pytest.fixture(scope="module")
def pool(components):
    """Half the index plus stocks from outside it, cleaned like the driver does."""
    others = [i.order_book_id for i in tidewell.instruments(_all_stocks()) if i.type == "CS"]
    outside = [c for c in others if c not in set(components)][:40]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", optimize.OptimizerWarning)
        return optimize.ensure_order_book_ids(components[::2] + outside, DATE)


def _all_stocks():
    return [i.order_book_id for i in tidewell.all_instruments("CS", DATE)]


@pytest.fixture(scope="module")
def helper(pool, benchmark):
    return OptimizeHelper(pool, DATE, benchmark, CovModel.FACTOR_MODEL_DAILY)


def test_plain_members(helper, pool, benchmark):
    assert helper.order_book_ids == pool and isinstance(helper.order_book_ids, list)
    assert helper.date == DATE and helper.benchmark is benchmark
    assert helper.prev_trading_date == tidewell.get_previous_trading_date(DATE)
    assert helper.prev_trading_date < DATE


def test_union_and_benchmark_weight_alignment(helper, pool, components):
    union = helper.union_components
    assert union[: len(pool)] == pool
    assert set(union[len(pool) :]) == set(components) - set(pool)
    weights = helper.benchmark_weight
    assert list(weights.index) == union
    assert weights.sum() == pytest.approx(1.0)
    held = tidewell.index_weights(INDEX, DATE)
    for code in pool:
        assert weights[code] == pytest.approx(held.get(code, 0.0))
    assert sorted(helper.benchmark_components) == components


def test_covariances(helper):
    n = len(helper.order_book_ids)
    cov = helper.get_cov_matrix()
    union_cov = helper.get_union_cov_matrix()
    assert cov.shape == (n, n) and union_cov.shape == (len(helper.union_components),) * 2
    assert np.array_equal(cov, cov.T) and np.array_equal(union_cov, union_cov.T)
    assert np.allclose(union_cov[:n, :n], cov)
    assert np.linalg.eigvalsh(cov).min() > 0
    # Annualised: single-stock volatilities of tens of percent, not a percent or two.
    vols = np.sqrt(np.diag(cov))
    assert 0.1 < np.median(vols) < 1.0
    for factor_getter, dense in [
        (helper.get_cov_factor, cov),
        (helper.get_union_cov_factor, union_cov),
    ]:
        root, specific = factor_getter()
        assert root.shape[0] == dense.shape[0] and root.shape[1] < 60
        assert np.allclose(root @ root.T + np.diag(specific), dense)


def test_exposures_and_benchmark_style(helper, pool):
    exposure = helper.get_factor_exposure()
    assert list(exposure.index) == pool and list(exposure.columns) == STYLE_FACTORS
    union_exposure = tidewell.get_factor_exposure(helper.union_components, DATE)[STYLE_FACTORS]
    expected = union_exposure.T @ helper.benchmark_weight
    style = helper.get_benchmark_style()
    assert np.allclose(style[STYLE_FACTORS].values, expected.values)


@pytest.mark.parametrize("classification", list(IndustryClassification))
def test_industries(helper, pool, classification):
    mapping = helper.get_industry_mapping(classification)
    assert list(mapping.index) == pool
    named = tidewell.get_industry(pool, DATE, classification.value)
    for code in pool:
        assert mapping[code] == named.get(code, "UNKNOWN")
    # The index's weights by industry, its members outside the pool included.
    held = tidewell.index_weights(INDEX, DATE)
    industry = tidewell.get_industry(list(held.index), DATE, classification.value)
    expected = held.groupby(industry.reindex(held.index).fillna("UNKNOWN").values).sum()
    weights = helper.get_benchmark_industry_weight(classification)
    assert sorted(weights.index) == sorted(expected.index)
    np.testing.assert_allclose(weights.reindex(expected.index), expected, rtol=0, atol=1e-12)
    assert weights.get("no such industry", 0) == 0


def test_unclassified_stock_is_unknown(components, benchmark):
    stocks = _all_stocks()
    classified = set(tidewell.get_industry(stocks, DATE, "citic").index)
    unclassified = [c for c in stocks if c not in classified]
    helper = OptimizeHelper(
        sorted(unclassified[:1] + components[:3]), DATE, benchmark, CovModel.FACTOR_MODEL_DAILY
    )
    mapping = helper.get_industry_mapping(IndustryClassification.CITIC)
    assert mapping[unclassified[0]] == "UNKNOWN"
    assert (mapping.drop(unclassified[0]) != "UNKNOWN").all()


def test_without_benchmark(pool):
    helper = OptimizeHelper(pool, DATE, None, CovModel.FACTOR_MODEL_MONTHLY)
    assert helper.union_components == pool
    assert (helper.benchmark_weight.values == 0).all() and len(helper.benchmark_weight) == len(
        pool
    )
    assert list(helper.benchmark_components) == []
    assert len(helper.get_benchmark_industry_weight(IndustryClassification.SWS)) == 0


def test_cov_models_differ(pool):
    daily, quarterly = (
        OptimizeHelper(pool[:20], DATE, None, model).get_cov_matrix()
        for model in (CovModel.FACTOR_MODEL_DAILY, CovModel.FACTOR_MODEL_QUARTERLY)
    )
    assert not np.allclose(daily, quarterly)


def test_stock_without_risk_data_is_named(pool):
    future = [
        i.order_book_id for i in tidewell.all_instruments("CS") if i.listed_date > "2025-01-01"
    ]
    helper = OptimizeHelper(pool[:3] + future[:2], DATE, None, CovModel.FACTOR_MODEL_DAILY)
    with pytest.raises(InvalidArgument, match="2 stock.*{}, {}".format(*future[:2])):
        helper.get_cov_matrix()


def test_callers_pool_is_left_alone(pool, benchmark):
    mine = list(pool)
    helper = OptimizeHelper(mine, DATE, benchmark, CovModel.FACTOR_MODEL_DAILY)
    assert len(helper.union_components) > len(mine)
    assert mine == pool and helper.order_book_ids == pool


def test_each_member_read_once(pool, benchmark, monkeypatch):
    calls = {}

    def counting(name):
        original = getattr(tidewell, name)

        def wrapper(*args, **kwargs):
            calls[name] = calls.get(name, 0) + 1
            return original(*args, **kwargs)

        return wrapper

    for name in [
        "get_factor_exposure",
        "get_factor_covariance",
        "get_specific_risk",
        "get_industry",
    ]:
        monkeypatch.setattr(tidewell, name, counting(name))
    helper = OptimizeHelper(pool, DATE, benchmark, CovModel.FACTOR_MODEL_DAILY)
    for _ in range(2):
        helper.get_cov_matrix()
        helper.get_union_cov_matrix()
        helper.get_factor_exposure()
        helper.get_benchmark_style()
        helper.get_industry_mapping(IndustryClassification.SWS)
        helper.get_benchmark_industry_weight(IndustryClassification.SWS)
    assert calls["get_factor_exposure"] == 1 and calls["get_factor_covariance"] == 1
    assert calls["get_specific_risk"] == 1 and calls["get_industry"] == 1


def test_end_to_end_without_benchmark(pool):
    weights = optimize.portfolio_optimize(pool, DATE, bnds={"*": (0, 0.05)})
    assert list(weights.index) == pool
    assert weights.sum() == pytest.approx(1.0)
    assert weights.max() <= 0.05 + 1e-4 and weights.min() >= -1e-6


def test_end_to_end_with_benchmark_tracks_it(components):
    from vantelo.objective import MinTrackingError

    weights = optimize.portfolio_optimize(
        components, DATE, objective=MinTrackingError(), benchmark=INDEX
    )
    held = tidewell.index_weights(INDEX, DATE).reindex(weights.index, fill_value=0.0)
    assert np.abs(weights - held).sum() < 0.05
    assert isinstance(weights, pd.Series)


def test_subclass_overriding_the_covariance_is_used(pool, monkeypatch):
    class Identity(OptimizeHelper):
        def get_cov_matrix(self):
            return np.eye(len(self.order_book_ids))

    monkeypatch.setattr(optimize, "OptimizeHelper", Identity)
    weights = optimize.portfolio_optimize(pool, DATE)
    assert np.abs(weights - 1 / len(pool)).max() < 1e-4


def test_max_information_ratio_on_its_own_index_does_not_return_the_index(components):
    from vantelo.objective import MaxInformationRatio

    weights = optimize.portfolio_optimize(
        components, DATE, MaxInformationRatio(), bnds={"*": (0, 0.05)}, benchmark=INDEX
    )
    held = tidewell.index_weights(INDEX, DATE).reindex(weights.index, fill_value=0.0)
    # The estimate gives the index an active return of 0, so the ratio is bounded
    # and its optimum is an active portfolio, not the index at zero tracking error.
    assert np.abs(weights - held).sum() > 0.05


SATURDAY = datetime.date(2024, 6, 29)


def test_a_date_that_is_not_a_trading_day_is_named_once(pool, benchmark):
    assert not tidewell.is_trading_date(SATURDAY) and tidewell.is_trading_date(DATE)
    with pytest.warns(optimize.OptimizerWarning) as record:
        weights = optimize.portfolio_optimize(
            pool[:30], SATURDAY, bnds={"*": (0, 0.1)}, benchmark=benchmark
        )
    assert [str(w.message) for w in record] == [
        "2024-06-29 is not a trading day: the market data of 2024-06-28, the last trading day "
        "before it, are used"
    ]
    assert record[0].filename == __file__
    # The risk model and index weights are Friday's.
    friday = OptimizeHelper(pool[:30], DATE, benchmark, CovModel.FACTOR_MODEL_DAILY)
    saturday = OptimizeHelper(pool[:30], SATURDAY, benchmark, CovModel.FACTOR_MODEL_DAILY)
    with pytest.warns(optimize.OptimizerWarning):
        assert np.array_equal(saturday.get_cov_matrix(), friday.get_cov_matrix())
    assert saturday.benchmark_weight.equals(friday.benchmark_weight)
    assert weights.sum() == pytest.approx(1.0)


def test_an_industry_name_the_store_does_not_know_is_refused(pool):
    import cvxpy as cp

    from vantelo.constraints import IndustryConstraint

    helper = OptimizeHelper(pool, DATE, None, CovModel.FACTOR_MODEL_DAILY)
    names = helper.get_industry_names(IndustryClassification.SWS)
    assert names == tidewell.industry_names("sws") and "banks" in names
    # The store's names are lower case: "Banks" is a typo, not a missing industry.
    with pytest.raises(InvalidArgument, match="没有名为 Banks 的行业.*最接近的行业名：banks$"):
        IndustryConstraint("Banks", upper_limit=0.0).to_constraints(
            cp.Variable(len(pool), nonneg=True), 1.0, helper
        )
