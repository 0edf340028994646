"""Backtests: the measures against a hand computation and independent formulas, a day
of orders priced by hand, the cost penalty against a direct solve, where the returns
end, per-date exposures, the report in a browser and the command line."""

import datetime
import json
import math
import re
import shutil
import subprocess

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest
from test_rebalance import PAIR

import tidewell as tw
from vantelo.backtest import CostModel, CostPenalty, compare
from vantelo.backtest.costs import STAMP_DUTY
from vantelo.const import CovModel
from vantelo.constraints import TrackingErrorLimit
from vantelo.exception import InvalidArgument
from vantelo.helper import OptimizeHelper
from vantelo.objective import MaxSharpeRatio, MinVariance
from vantelo.optimize import portfolio_optimize
from vantelo.rebalance import RebalanceResult, rebalance, rebalance_dates
from vantelo.report import portfolio_report

BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")
D = datetime.date


# --------------------------------------------------------------------------- measures


def brute_drawdown(returns):
    """The largest fall from a peak to a later value, over every pair of days."""
    value = np.concatenate([[1.0], np.cumprod(1 + np.asarray(returns))])
    worst, peak, trough = 0.0, None, None
    for i in range(len(value)):
        for j in range(i + 1, len(value)):
            fall = 1 - value[j] / value[i]
            if fall > worst + 1e-15:
                worst, peak, trough = fall, i, j
    return worst, peak, trough, value


def test_measures_of_a_path_computed_by_hand(tiny):
    dates = [D(2024, 1, 3), D(2024, 1, 8)]
    shares = {dates[0]: 0.7, dates[1]: 0.4}

    def bnds(date, holding):
        share = shares[date]
        return {PAIR[0]: (share, share), PAIR[1]: (1 - share, 1 - share)}

    result = rebalance(
        dates, PAIR, bnds=bnds, benchmark="990001.XSHG", cost_bps=20, engine="serial",
        progress=False,
    )  # fmt: skip
    # The tiny store's rates of 000020.XSHE and 600001.XSHG, and of the index.
    r04, r08, r09, r10 = [-0.004, -0.002], [0.003, 0.005], [-0.001, 0.001], [-0.005, -0.003]
    index = [-0.001, -0.005, 0.002, -0.002]
    # The targets as solved (the bounds pin them to within the solver's accuracy).
    first, second = (result.weights.loc[d, PAIR].to_numpy() for d in dates)
    np.testing.assert_allclose([first, second], [[0.7, 0.3], [0.4, 0.6]], atol=1e-4)
    held = first.copy()
    day1 = held @ r04
    held = held * (1 + np.array(r04)) / (1 + day1)
    day2 = held @ r08
    held = held * (1 + np.array(r08)) / (1 + day2)
    change = second - held
    turnover = 0.5 * np.abs(change).sum()
    day3 = second @ r09
    held = second * (1 + np.array(r09)) / (1 + day3)
    day4 = held @ r10
    gross = np.array([day1, day2, day3, day4])
    net = gross.copy()
    # From cash: half of what is bought, as a TurnoverLimit counts it.
    net[0] = (1 + day1) * (1 - 0.002 * 0.5 * first.sum()) - 1
    net[2] = (1 + day3) * (1 - 0.002 * turnover) - 1

    # Two dates two trading days apart: the returns end two days after the last.
    assert [d.date() for d in result.returns.index] == [
        D(2024, 1, 4), D(2024, 1, 8), D(2024, 1, 9), D(2024, 1, 10),
    ]  # fmt: skip
    np.testing.assert_allclose(result.returns["portfolio"], net, rtol=0, atol=1e-15)
    np.testing.assert_allclose(result.gross_returns, gross, rtol=0, atol=1e-15)
    flat = [0.002 * 0.5 * first.sum(), 0.002 * turnover]
    np.testing.assert_allclose(result.costs["flat"], flat, rtol=0, atol=1e-15)

    table = result.measures(risk_free=0.03)
    assert list(table.columns) == ["value", "unit"]
    m = table["value"]
    active = net - np.array(index)
    years = 4 / 252
    annual = np.prod(1 + net) ** (1 / years) - 1
    bench_annual = np.prod(1 + np.array(index)) ** (1 / years) - 1
    free = 1.03 ** (1 / 252) - 1
    excess = net - free
    worst, peak, trough, value = brute_drawdown(net)
    expected = {
        "days": 4,
        "total_return": np.prod(1 + net) - 1,
        "annualised_return": annual,
        "volatility": np.std(net, ddof=1) * math.sqrt(252),
        "sharpe_ratio": excess.mean() / np.std(excess, ddof=1) * math.sqrt(252),
        "sortino_ratio": excess.mean()
        / math.sqrt(np.mean(np.minimum(excess, 0) ** 2))
        * math.sqrt(252),
        "max_drawdown": worst,
        "calmar_ratio": annual / worst,
        "benchmark_total_return": np.prod(1 + np.array(index)) - 1,
        "benchmark_annualised_return": bench_annual,
        "benchmark_volatility": np.std(index, ddof=1) * math.sqrt(252),
        "active_return": annual - bench_annual,
        "tracking_error": np.std(active, ddof=1) * math.sqrt(252),
        "information_ratio": active.mean() * 252 / (np.std(active, ddof=1) * math.sqrt(252)),
        "hit_rate": np.mean(active > 0),
        "rebalances": 2,
        "average_turnover": (0.5 * first.sum() + turnover) / 2,
        "total_turnover": 0.5 * first.sum() + turnover,
        "total_cost": sum(flat),
        "cost_drag": np.prod(1 + gross) ** (1 / years) - annual - 1,
        "average_holdings": 2,
    }
    for name, figure in expected.items():
        assert m[name] == pytest.approx(figure, rel=1e-9, abs=1e-12), name
    # Day 0 of `value` is the first rebalance date, day k the k-th return day.
    days = [pd.Timestamp(dates[0])] + list(result.returns.index)
    assert (m["drawdown_peak"], m["drawdown_trough"]) == (days[peak], days[trough])
    recovered = [k for k in range(trough + 1, 5) if value[k] >= value[peak]]
    assert m["drawdown_recovery"] == (days[recovered[0]] if recovered else pd.NaT) or (
        not recovered and pd.isna(m["drawdown_recovery"])
    )
    assert m["start"] == pd.Timestamp(dates[0]) and m["end"] == pd.Timestamp(D(2024, 1, 10))
    assert table.loc["sharpe_ratio", "unit"] == "ratio, annualised"


def random_result(seed, days=400, benchmark=True):
    rng = np.random.default_rng(seed)
    index = pd.bdate_range("2023-01-02", periods=days)
    returns = pd.DataFrame({"portfolio": rng.normal(0.0004, 0.012, days)}, index=index)
    if benchmark:
        returns["benchmark"] = rng.normal(0.0002, 0.011, days)
        returns["active"] = returns["portfolio"] - returns["benchmark"]
    records = pd.DataFrame(
        {"status": ["ok"], "turnover": [1.0], "holdings": [10]},
        index=pd.Index([index[0].date() - datetime.timedelta(days=1)], name="date"),
    )
    return RebalanceResult(pd.DataFrame(), records, returns)


@pytest.mark.parametrize("seed, risk_free", [(1, 0.0), (2, 0.025), (3, -0.01)])
def test_sharpe_sortino_and_drawdown_against_independent_formulas(seed, risk_free):
    result = random_result(seed, days=150)
    m = result.measures(risk_free)["value"]
    r = result.returns["portfolio"]
    # Simple daily rate: risk_free / 252 differs from the compound one by far less
    # than the tolerance over these rates.
    excess = r - ((1 + risk_free) ** (1 / 252) - 1)
    sharpe = excess.mean() / excess.std() * np.sqrt(252)
    downside = np.sqrt((excess.clip(upper=0) ** 2).sum() / len(excess))
    assert m["sharpe_ratio"] == pytest.approx(sharpe, rel=1e-10)
    assert m["sortino_ratio"] == pytest.approx(excess.mean() / downside * np.sqrt(252), rel=1e-10)
    worst, peak, trough, _ = brute_drawdown(r.to_numpy())
    assert m["max_drawdown"] == pytest.approx(worst, rel=1e-12)
    assert m["drawdown_trough"] == r.index[trough - 1]
    assert m["drawdown_peak"] == (r.index[peak - 1] if peak else result.records.index[0])
    assert result.summary()["max_drawdown"] == pytest.approx(worst, rel=1e-12)


def test_turnover_and_holdings_measures_leave_failed_dates_out():
    index = pd.bdate_range("2024-01-01", periods=10)
    returns = pd.DataFrame({"portfolio": np.full(10, 0.001)}, index)
    records = pd.DataFrame(
        {"status": ["ok", "soft constraints dropped", "failed"], "turnover": [0.5, 0.1, 0.0],
         "holdings": [30, 20, 0]},
        index=pd.Index([D(2024, 1, 1), D(2024, 1, 5), D(2024, 1, 10)], name="date"),
    )  # fmt: skip
    values = RebalanceResult(pd.DataFrame(), records, returns).measures()["value"]
    assert values["rebalances"] == 3
    assert values["average_turnover"] == pytest.approx(0.3)
    assert values["total_turnover"] == pytest.approx(0.6)
    assert values["average_holdings"] == pytest.approx(25.0)


@pytest.mark.parametrize("window", [2, 5, 63])
def test_rolling_figures_against_a_loop_over_windows(window):
    from vantelo.backtest import rolling

    rng = np.random.default_rng(window)
    index = pd.bdate_range("2024-01-01", periods=80)
    active = rng.normal(0.0002, 0.004, size=80)
    returns = pd.DataFrame({"portfolio": active, "benchmark": 0.0, "active": active}, index)
    records = pd.DataFrame({"status": ["ok"], "turnover": [0.5]})
    table = rolling(RebalanceResult(pd.DataFrame(), records, returns), window)
    for t in range(80):
        if t < window - 1:
            assert np.isnan(table["tracking_error"].iloc[t])
            continue
        days = active[t - window + 1 : t + 1]
        te = np.sqrt(np.sum((days - days.mean()) ** 2) / (window - 1) * 252)
        assert table["tracking_error"].iloc[t] == pytest.approx(te, rel=1e-10)
        assert table["information_ratio"].iloc[t] == pytest.approx(
            days.mean() * 252 / te, rel=1e-10
        )


@pytest.mark.parametrize(
    "returns, expected",
    [
        # Never below the start: no drawdown, no dates, no Calmar ratio.
        ([0.01, 0.02, 0.0], dict(max_drawdown=0.0, drawdown_trough=pd.NaT, calmar_ratio=math.nan)),
        # Every day the same: no spread, no Sharpe or Sortino ratio.
        ([0.001] * 5, dict(sharpe_ratio=math.nan, sortino_ratio=math.nan)),
        # A loss on the first day falls from the start; regained on the third.
        ([-0.1, 0.05, 0.1], dict(drawdown_peak=pd.Timestamp("2023-01-01"),
                                 drawdown_recovery=pd.Timestamp("2023-01-04"))),
    ],
)  # fmt: skip
def test_measures_at_the_edges(returns, expected):
    index = pd.date_range("2023-01-02", periods=len(returns))
    records = pd.DataFrame(
        {"status": ["ok"], "turnover": [1.0], "holdings": [3]},
        index=pd.Index([D(2023, 1, 1)], name="date"),
    )
    result = RebalanceResult(pd.DataFrame(), records, pd.DataFrame({"portfolio": returns}, index))
    m = result.measures()["value"]
    for name, value in expected.items():
        if isinstance(value, float) and math.isnan(value) or value is pd.NaT:
            assert pd.isna(m[name]), name
        else:
            assert (
                m[name] == pytest.approx(value) if isinstance(value, float) else m[name] == value
            )


def test_calendar_tables_and_side_by_side():
    result = random_result(4, days=300)
    annual = result.annual_returns()
    r = result.returns
    for year, row in annual.iterrows():
        chosen = r[r.index.year == year]
        assert row["portfolio"] == pytest.approx((1 + chosen["portfolio"]).prod() - 1)
        assert row["active"] == pytest.approx(row["portfolio"] - row["benchmark"])
    monthly = result.monthly_returns()
    march = r[(r.index.year == 2023) & (r.index.month == 3)]["portfolio"]
    assert monthly.loc[2023, 3] == pytest.approx((1 + march).prod() - 1)
    assert monthly.loc[2023, "year"] == pytest.approx(annual.loc[2023, "portfolio"])
    assert list(monthly.columns) == list(range(1, 13)) + ["year"]
    side = compare({"a": result, "b": random_result(5, days=300)})
    assert list(side.columns) == ["a", "b", "unit"]
    assert side.loc["volatility", "a"] == result.measures()["value"]["volatility"]
    with pytest.raises(InvalidArgument, match="risk_free"):
        result.measures(risk_free=-1.5)
    with pytest.raises(InvalidArgument, match="column"):
        random_result(6, benchmark=False).monthly_returns("active")


# --------------------------------------------------------------------------- costs


@pytest.mark.parametrize(
    "day, buy, sell",
    [
        ("2008-09-18", 0.001, 0.001),
        ("2008-09-19", 0.0, 0.001),
        ("2023-08-25", 0.0, 0.001),
        ("2023-08-28", 0.0, 0.0005),
        ("1990-01-01", 0.005, 0.005),  # before the table: its first rates
    ],
)
def test_stamp_duty_in_force_on_each_date(day, buy, sell):
    rates = CostModel().rates(day)
    assert (rates["stamp_buy"], rates["stamp_sell"]) == (buy, sell)
    assert STAMP_DUTY[-1][0] == D(2023, 8, 28)


def test_a_day_of_orders_priced_by_hand():
    model = CostModel(commission_bps=3, min_commission=5, spread_bps=4, impact_bps=100)
    orders = pd.DataFrame(
        {
            "order_book_id": ["A", "B", "C", "D"],
            "side": ["buy", "sell", "buy", "hold"],
            "value": [200_000.0, 50_000.0, 10_000.0, 0.0],
        }
    )
    daily = pd.Series({"A": 8_000_000.0, "B": 2_000_000.0})  # C: unknown, no impact
    table = model.order_costs(orders, "2024-03-01", daily_value=daily)
    # A: commission 3 bp of 200,000 = 60; no stamp on a buy; transfer 0.1 bp = 2;
    # spread 4 bp = 80; impact 100 bp x sqrt(200,000 / 8,000,000) x 200,000 = 316.23.
    # B: 15; stamp 5 bp of a sale = 25; 0.5; 20; 100 bp x sqrt(1/40) x 50,000 = 79.06.
    # C: 3 bp of 10,000 is 3, below the minimum of 5; 0.1; 4.
    expected = pd.DataFrame(
        {
            "value": [200_000.0, -50_000.0, 10_000.0, 0.0],
            "commission": [60.0, 15.0, 5.0, 0.0],
            "stamp_duty": [0.0, 25.0, 0.0, 0.0],
            "transfer_fee": [2.0, 0.5, 0.1, 0.0],
            "spread": [80.0, 20.0, 4.0, 0.0],
            "impact": [0.01 * 200_000 * 0.025**0.5, 0.01 * 50_000 * 0.025**0.5, 0.0, 0.0],
        },
        index=pd.Index(list("ABCD"), name="order_book_id"),
    )
    expected["total"] = expected.drop(columns="value").sum(axis=1)
    pd.testing.assert_frame_equal(table, expected, rtol=1e-12)
    # Before the stamp duty was halved, the sale pays twice as much.
    earlier = model.order_costs(pd.Series({"B": -50_000.0}), "2023-08-25", daily_value=daily)
    assert earlier.loc["B", "stamp_duty"] == pytest.approx(50.0)


@pytest.mark.parametrize(
    "stamp_duty, buy, sell",
    [
        (10, 0.0, 100.0),  # a number of basis points: on sales only
        ([("2020-01-02", 3, 10)], 30.0, 100.0),  # rows: (date, on buys, on sales)
    ],
)
def test_stamp_duty_of_ones_own_falls_where_it_is_given(stamp_duty, buy, sell):
    model = CostModel(commission_bps=0, min_commission=0, impact_bps=0, stamp_duty=stamp_duty)
    table = model.order_costs(pd.Series({"A": 100_000.0, "B": -100_000.0}), "2024-03-01")
    assert table["stamp_duty"].to_dict() == pytest.approx({"A": buy, "B": sell})


def test_traded_values_averaged_over_the_days_before():
    days = pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"])
    traded = pd.DataFrame({"A": [1.0, 2.0, 3.0, 100.0], "B": [np.nan, 4.0, np.nan, 1.0]}, days)
    model = CostModel(volume_window=2, traded_value=traded)
    values = model.daily_values(["A", "B", "C"], ["2024-01-05", "2024-01-03"])
    # The date itself is not known at its close: the two days before it count.
    np.testing.assert_allclose(values.loc[D(2024, 1, 5)], [2.5, 4.0, np.nan])
    np.testing.assert_allclose(values.loc[D(2024, 1, 3)], [1.0, np.nan, np.nan])


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(commission_bps=-1), "commission_bps"),
        (dict(impact_exponent=1.5), "impact_exponent"),
        (dict(capital=0), "capital"),
        (dict(volume_window=0), "volume_window"),
        (dict(stamp_duty=[("2020-01-01", 5)]), "stamp_duty"),
        (dict(traded_value=[1, 2]), "traded_value"),
    ],
)
def test_cost_model_refuses(kwargs, message):
    with pytest.raises(InvalidArgument, match=message):
        CostModel(**kwargs)


def test_the_path_pays_what_its_orders_cost(tiny):
    dates = [D(2024, 1, 3), D(2024, 1, 9)]
    traded = pd.DataFrame(
        {PAIR[0]: 1e6, PAIR[1]: 4e6}, index=pd.to_datetime(tw.get_trading_dates())
    )
    model = CostModel(capital=1e6, impact_bps=50, traded_value=traded, min_commission=100)

    def bnds(date, holding):
        share = 0.7 if date == dates[0] else 0.2
        return {PAIR[0]: (share, share), PAIR[1]: (1 - share, 1 - share)}

    result = rebalance(dates, PAIR, bnds=bnds, costs=model, engine="serial", progress=False)
    # The first date buys 700,000 and 300,000 from cash: 2.5 bp of them is 175, and
    # 75, below the minimum of 100; impact 50 bp x sqrt(700,000 / 1e6) of 700,000 and
    # 50 bp x sqrt(300,000 / 4e6) of 300,000.
    first = result.costs.iloc[0]
    # (To the solver's accuracy: the bounds pin the weights within about 1e-5.)
    assert first["commission"] == pytest.approx(275 / 1e6, rel=1e-4)
    impact = 0.005 * (700_000 * 0.7**0.5 + 300_000 * 0.075**0.5)
    assert first["impact"] == pytest.approx(impact / 1e6, rel=1e-4)
    assert first["stamp_duty"] == 0.0
    # The second sells what drifted above 0.2 of the value that date holds.
    value = 1e6 * np.prod(1 + result.returns["portfolio"].loc[: str(dates[1])])
    target = result.weights.loc[dates[1], PAIR].to_numpy()  # 0.2 / 0.8, as solved
    trade = (target - _drifted(result.weights.loc[dates[0], PAIR].to_numpy())) * value
    by_hand = model.order_costs(pd.Series(trade, index=PAIR), dates[1])
    assert result.costs.iloc[1]["total"] == pytest.approx(by_hand["total"].sum() / value)
    assert result.records.loc[dates[1], "cost"] == pytest.approx(result.costs.iloc[1]["total"])
    assert target.sum() == pytest.approx(1.0)


def _drifted(held):
    """The holding the second date traded from, drifted by hand from the first target."""
    for _, row in tw.get_price_change_rate(PAIR, "2024-01-04", "2024-01-09")[PAIR].iterrows():
        rate = row.fillna(0.0).to_numpy()
        held = held * (1 + rate) / (1 + held @ rate)
    return held


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(costs=CostModel(), cost_bps=10), "cost_bps"),
        (dict(cost_penalty=1.0), "cost_penalty"),
        (dict(costs="10bp"), "costs"),
        (dict(costs=CostModel(), cost_penalty=-1), "cost_penalty"),
        (dict(end="2024-01-02"), "end"),
    ],
)
def test_rebalance_refuses_costs_and_ends(tiny, kwargs, message):
    with pytest.raises(InvalidArgument, match=message):
        rebalance([D(2024, 1, 3)], PAIR, engine="serial", progress=False, **kwargs)


# --------------------------------------------------------------------------- the penalty


@pytest.fixture(scope="module")
def small_market():
    day = D(2024, 3, 29)
    pool = sorted(tw.index_weights("990300.XSHG", day).index)[:12]
    holding = pd.Series(1 / 12, index=pool)
    return day, pool, holding


def test_cost_penalty_matches_a_direct_solve(small_market):
    day, pool, holding = small_market
    model = CostModel(capital=5e8, spread_bps=10)
    weight = 0.5
    penalised = portfolio_optimize(
        pool, day, objective=CostPenalty(MinVariance(), model, holding, day, weight),
        bnds={"*": (0.0, 0.3)},
    )  # fmt: skip
    helper = OptimizeHelper(pool, day, None, CovModel.FACTOR_MODEL_DAILY)
    cov = np.asarray(helper.get_cov_matrix())
    terms = model.convex_terms(pool, day)
    assert (terms["impact"] > 0).all()  # the demo store has traded values
    w = cp.Variable(len(pool), nonneg=True)
    trade = w - holding.to_numpy()
    cost = (
        terms["buy"].to_numpy() @ cp.pos(trade)
        + terms["sell"].to_numpy() @ cp.neg(trade)
        + terms["impact"].to_numpy() @ cp.power(cp.abs(trade), 1.5)
    )
    problem = cp.Problem(
        cp.Minimize(cp.quad_form(w, cov) + weight * cost), [cp.sum(w) == 1, w <= 0.3]
    )
    problem.solve(solver="CLARABEL")
    np.testing.assert_allclose(penalised.to_numpy(), w.value, atol=2e-4)
    plain = portfolio_optimize(pool, day, bnds={"*": (0.0, 0.3)})
    moved = np.abs(penalised - holding).sum()
    assert moved < 0.8 * np.abs(plain - holding).sum()


def test_costs_change_what_a_rebalance_trades(small_market):
    day, pool, _ = small_market
    dates = rebalance_dates("2024-01-01", "2024-06-30", "M")
    common = dict(
        universe=pool, bnds={"*": (0.0, 0.3)}, costs=CostModel(), engine="serial", progress=False
    )
    charged = rebalance(dates, **common)
    minded = rebalance(dates, cost_penalty=5.0, **common)
    later = slice(1, None)  # the first date buys from cash either way
    assert minded.records["turnover"].iloc[later].sum() < 0.7 * (
        charged.records["turnover"].iloc[later].sum()
    )
    assert minded.measures()["value"]["total_cost"] < charged.measures()["value"]["total_cost"]


@pytest.mark.parametrize(
    "objective, weight, message",
    [
        (MaxSharpeRatio(), 1.0, "scaled"),
        (MinVariance(), 0.0, "weight"),
        ("MinVariance", 1.0, "objective"),
    ],
)
def test_cost_penalty_refuses(objective, weight, message):
    with pytest.raises(InvalidArgument, match=message):
        CostPenalty(objective, CostModel(), None, "2024-03-29", weight)


# --------------------------------------------------------------------------- the schedule's end


def test_returns_end_one_typical_gap_after_the_last_date(small_market):
    _, pool, _ = small_market
    dates = [D(2024, 1, 31), D(2024, 2, 29), D(2024, 3, 29), D(2024, 4, 30)]
    result = rebalance(dates, pool, bnds={"*": (0.0, 0.3)}, engine="serial", progress=False)
    days = tw.get_trading_dates(dates[0], "2024-12-31")
    rows = [days.index(d) for d in dates]
    gap = int(np.median(np.diff(rows)))
    assert result.returns.index[-1].date() == days[rows[-1] + gap]
    assert result.returns.index[0].date() == days[1]
    given = rebalance(
        dates, pool, bnds={"*": (0.0, 0.3)}, engine="serial", progress=False, end="2024-06-14"
    )
    assert given.returns.index[-1].date() == D(2024, 6, 14)
    pd.testing.assert_series_equal(
        given.returns["portfolio"].loc[: result.returns.index[-1]], result.returns["portfolio"]
    )


# --------------------------------------------------------------------------- exposures and report


@pytest.fixture(scope="module")
def tracked():
    """A backtest against an index whose tracking-error limit binds, minding its costs.

    (Without the penalty, the compiled-problem cache of this problem fails inside
    cvxpy's parametrised canonicalisation on this store; the penalty's power terms
    keep the problem out of the cache.)"""
    index = "990300.XSHG"
    dates = [D(2024, 4, 30), D(2024, 5, 31), D(2024, 6, 28)]
    pool = sorted(tw.index_weights(index, dates[0]).index)[:60]
    return rebalance(
        dates, pool, objective=MinVariance(), bnds={"*": (0.0, 0.1)},
        cons=[TrackingErrorLimit(0.05)], benchmark=index, costs=CostModel(spread_bps=3),
        cost_penalty=1.0, engine="serial", progress=False,
    ), index  # fmt: skip


def test_exposures_of_each_date_agree_with_the_portfolio_report(tracked):
    result, index = tracked
    for date in result.records.index:
        weights = result.weights.loc[date]
        pool = [c for c in weights.index if weights[c] > 0 or c in result.weights.columns]
        report = portfolio_report(weights.reindex(pool, fill_value=0.0), date, benchmark=index)
        styles = result.exposures.loc[date, "style"]
        np.testing.assert_allclose(
            styles.to_numpy(dtype=float),
            report.styles["active"].reindex(styles.index).to_numpy(),
            atol=1e-10,
        )
        assert "TrackingErrorLimit upper" in result.records.loc[date, "binding"]
        assert result.records.loc[date, "ex_ante_tracking_error"] == pytest.approx(0.05, abs=1e-3)


PROBE = """<script>
window.addEventListener("load", () => {
  const seen = {
    images: [...document.images].map(i => [
      i.alt, i.naturalWidth, i.getBoundingClientRect().height]),
    tables: [...document.querySelectorAll("table")].map(t => [
      t.className, t.querySelectorAll("tbody tr").length, t.getBoundingClientRect().height]),
    headings: [...document.querySelectorAll("h2")].map(h => h.textContent),
  };
  const out = document.createElement("pre");
  out.id = "probe";
  out.textContent = JSON.stringify(seen);
  document.body.appendChild(out);
});
</script>"""


@pytest.mark.skipif(BROWSER is None, reason="no Chromium on this machine")
def test_backtest_report_in_a_browser(tracked, tmp_path):
    pytest.importorskip("matplotlib")
    result, _ = tracked
    path = result.to_html(tmp_path / "backtest.html", title="Tracked")
    text = path.read_text(encoding="utf-8")
    assert not re.search(r"""(src|href)=["'](?!data:)""", text)  # nothing fetched
    probed = tmp_path / "probed.html"
    probed.write_text(text.replace("</body>", PROBE + "</body>"), encoding="utf-8")
    done = subprocess.run(
        [BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--virtual-time-budget=5000",
         "--dump-dom", probed.as_uri()],
        capture_output=True, text=True, timeout=120,
    )  # fmt: skip
    found = re.search(r'<pre id="probe">(.*?)</pre>', done.stdout, re.S)
    assert found, done.stderr[-2000:]
    seen = json.loads(found.group(1).replace("&quot;", '"').replace("&amp;", "&"))
    names = [alt for alt, _, _ in seen["images"]]
    assert names == ["cumulative", "drawdown", "rolling", "trading", "exposures"]
    assert all(width > 600 and height > 150 for _, width, height in seen["images"])
    rows = {name.split()[-1]: (count, height) for name, count, height in seen["tables"]}
    assert rows["measures"][0] == len(result.measures())
    assert rows["annual"][0] == len(result.annual_returns())
    assert rows["monthly"][0] == len(result.monthly_returns("active"))
    assert rows["dates"][0] == len(result.records)
    assert rows["configuration"][0] == len(result.config)
    assert all(height > 0 for _, height in rows.values())
    assert seen["headings"] == [
        "Measures", "Figures", "Annual returns", "Monthly returns", "Dates", "Configuration",
    ]  # fmt: skip


# --------------------------------------------------------------------------- command line

BACKTEST_CONFIG = """\
benchmark = "990300.XSHG"

[pool]
codes = {codes}

[objective]
name = "MinVariance"

[bnds]
"*" = [0.0, 0.3]

[schedule]
start = "2024-01-01"
end = "2024-03-31"
frequency = "M"
returns_end = "2024-04-15"

[costs]
commission_bps = 2
cost_penalty = 0.05
"""


def test_backtest_command_writes_the_report_and_weights(small_market, tmp_path, capsys):
    from vantelo import cli

    _, pool, _ = small_market
    config = tmp_path / "config.toml"
    config.write_text(BACKTEST_CONFIG.format(codes=json.dumps(pool)), encoding="utf-8")
    report, weights = tmp_path / "report.html", tmp_path / "weights.csv"
    argv = ["backtest", str(config), "-o", str(report), "--weights", str(weights)]
    status = cli.main(argv + ["--engine", "serial"])
    out, err = capsys.readouterr()
    assert status == 0, err
    assert "sharpe_ratio" in out and err.strip() == f"report: {report}"
    assert report.read_text(encoding="utf-8").count("data:image/png;base64,") == 5
    written = pd.read_csv(weights)
    assert sorted(set(written["date"])) == ["2024-01-31", "2024-02-29", "2024-03-29"]
    assert written.groupby("date")["weight"].sum().round(6).eq(1.0).all()

    config.write_text(
        BACKTEST_CONFIG.format(codes=json.dumps(pool)).replace("frequency", "every"),
        encoding="utf-8",
    )
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"vantelo: error: {config}:15: schedule.every: unknown key")
