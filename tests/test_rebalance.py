"""Rebalancing over schedules: holdings carried by hand, engines agreeing, failures."""

import datetime
import os
import re
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

import tidewell as tw
import vantelo.optimize as vo
from vantelo import _rebalance
from vantelo.constraints import (
    StyleConstraint,
    TurnoverLimit,
    WildcardIndustryConstraint,
)
from vantelo.exception import InvalidArgument
from vantelo.objective import MeanVariance, MinTrackingError
from vantelo.rebalance import (
    WORKER_DIED,
    RebalanceFailed,
    RebalanceResult,
    rebalance,
    rebalance_dates,
    rebalance_many,
)

PAIR = ["000020.XSHE", "600001.XSHG"]


@pytest.fixture(scope="module")
def demo_case():
    """A small pool of the demo market over ten trading days."""
    days = tw.get_trading_dates("2024-03-01", "2024-03-15")[:10]
    pool = sorted(tw.index_weights("990300.XSHG", days[0]).index)[:40]
    return days, pool


def demo_kwargs(pool):
    return dict(
        universe=pool,
        bnds={"*": (0.0, 0.1)},
        cons=[WildcardIndustryConstraint(lower_limit=0.0, upper_limit=0.3)],
    )


# --------------------------------------------------------------------------- schedules


@pytest.mark.parametrize(
    "frequency, start, end, expected",
    [
        (
            "D",
            "2024-01-02",
            "2024-01-05",
            ["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"],
        ),
        ("W", "2024-01-02", "2024-01-19", ["2024-01-05", "2024-01-12", "2024-01-19"]),
        # February has not ended by the 20th.
        ("M", "2024-01-02", "2024-02-20", ["2024-01-31"]),
        ("Q", "2024-01-02", "2024-09-30", ["2024-03-29", "2024-06-28", "2024-09-30"]),
    ],
)
def test_rebalance_dates_end_each_period(frequency, start, end, expected):
    dates = rebalance_dates(start, end, frequency)
    assert [d.isoformat() for d in dates] == expected
    calendar = set(tw.get_trading_dates(start, end))
    assert set(dates) <= calendar


def test_rebalance_dates_rejects_an_unknown_frequency():
    with pytest.raises(InvalidArgument, match="frequency.*'Y'"):
        rebalance_dates("2024-01-02", "2024-12-31", "Y")


# --------------------------------------------------------------------------- the arithmetic


def test_drift_and_turnover_by_hand():
    returns, weights = _rebalance.drift(
        np.array([0.6, 0.3]), np.array([[0.10, -0.10], [np.nan, 0.05]])
    )
    # Day 1: 0.06 - 0.03; the tenth in cash earns nothing.
    assert returns[0] == pytest.approx(0.03)
    day1 = np.array([0.66, 0.27]) / 1.03
    assert returns[1] == pytest.approx(day1[1] * 0.05)
    np.testing.assert_allclose(weights, day1 * [1.0, 1.05] / (1 + day1[1] * 0.05))
    assert _rebalance.turnover(np.array([0.5, 0.5]), np.array([0.8, 0.2])) == pytest.approx(0.3)
    # From cash: half of what is bought, as a TurnoverLimit counts it.
    assert _rebalance.turnover(np.zeros(2), np.array([0.8, 0.2])) == pytest.approx(0.5)
    assert _rebalance.turnover(np.array([0.4, 0.4]), np.array([0.3, 0.7])) == pytest.approx(0.2)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _rebalance.drift(np.ones(2), np.ones((3, 3))), "rates"),
        (lambda: _rebalance.turnover(np.ones(2), np.ones(3)), "after"),
        (
            lambda: _rebalance.backtest(
                np.ones((2, 2)), np.array([1.0, 1.0]), np.ones((3, 2)), np.zeros(2), 0.0
            ),
            "rows",
        ),
        (
            lambda: _rebalance.backtest(
                np.ones((1, 2)), np.array([0.0]), np.ones((3, 2)), np.zeros(2), -1.0
            ),
            "cost",
        ),
    ],
)
def test_core_rejects_mismatched_input(call, message):
    with pytest.raises(InvalidArgument, match=message):
        call()


def test_summary_against_pandas():
    rng = np.random.default_rng(3)
    index = pd.bdate_range("2024-01-01", periods=300)
    portfolio = rng.normal(0.0004, 0.01, size=300)
    benchmark = rng.normal(0.0002, 0.011, size=300)
    returns = pd.DataFrame(
        {"portfolio": portfolio, "benchmark": benchmark, "active": portfolio - benchmark},
        index=index,
    )
    records = pd.DataFrame({"status": ["ok", "ok", "failed"], "turnover": [1.0, 0.2, 0.0]})
    stats = RebalanceResult(pd.DataFrame(), records, returns).summary()
    growth = (1 + returns["portfolio"]).cumprod()
    assert stats["annualised_return"] == pytest.approx(growth.iloc[-1] ** (252 / 300) - 1)
    assert stats["volatility"] == pytest.approx(returns["portfolio"].std() * np.sqrt(252))
    te = returns["active"].std() * np.sqrt(252)
    assert stats["tracking_error"] == pytest.approx(te)
    assert stats["information_ratio"] == pytest.approx(returns["active"].mean() * 252 / te)
    drawdown = 1 - growth / np.maximum(growth.cummax(), 1.0)
    assert stats["max_drawdown"] == pytest.approx(drawdown.max())
    assert stats["average_turnover"] == pytest.approx(0.6)


# --------------------------------------------------------------------------- a known market


def test_chained_holdings_turnover_and_returns_by_hand(tiny):
    dates = [datetime.date(2024, 1, 3), datetime.date(2024, 1, 9), datetime.date(2024, 1, 11)]
    targets = {dates[0]: 0.7, dates[1]: 0.3, dates[2]: 0.5}
    seen = {}

    def bnds(date, holding):
        seen[date] = holding.copy()
        share = targets[date]
        return {PAIR[0]: (share, share), PAIR[1]: (1 - share, 1 - share)}

    result = rebalance(dates, PAIR, bnds=bnds, engine="serial", progress=False, cost_bps=25)
    weights = result.weights[PAIR]
    for date, share in targets.items():
        np.testing.assert_allclose(weights.loc[date], [share, 1 - share], atol=1e-3)

    rates = tw.get_price_change_rate(PAIR, "2024-01-04", "2024-01-12")[PAIR].fillna(0.0)
    # The holding each date starts from: the last target moved along with prices.
    expected_turnover = [0.5]
    for before, date in zip(dates, dates[1:]):
        held = weights.loc[before].to_numpy()
        for _, row in rates.loc[str(tw.get_next_trading_date(before)) : str(date)].iterrows():
            held = held * (1 + row.to_numpy()) / (1 + held @ row.to_numpy())
        np.testing.assert_allclose(seen[date].reindex(PAIR).to_numpy(), held, atol=1e-12)
        change = weights.loc[date].to_numpy() - held
        expected_turnover.append(0.5 * np.abs(change).sum())
    assert seen[dates[0]].empty
    np.testing.assert_allclose(result.records["turnover"], expected_turnover, atol=1e-12)
    assert list(result.records["status"]) == ["ok"] * 3
    assert (result.records["holdings"] == 2).all()

    # Daily returns: each day's holding earns that day's rates; a trade's cost comes
    # off the next day's value.
    expected = []
    held = weights.loc[dates[0]].to_numpy()
    charge = 0.0025 * expected_turnover[0]
    for day, row in rates.iterrows():
        gross = held @ row.to_numpy()
        expected.append((1 + gross) * (1 - charge) - 1)
        held = held * (1 + row.to_numpy()) / (1 + gross)
        charge = 0.0
        if day.date() in targets and day.date() != dates[0]:
            position = dates.index(day.date())
            charge = 0.0025 * expected_turnover[position]
            held = weights.loc[day.date()].to_numpy()
    np.testing.assert_allclose(result.returns["portfolio"], expected, atol=1e-12)
    assert result.returns.index[0].date() == datetime.date(2024, 1, 4)


def test_static_turnover_limit_follows_the_drifted_holding(tiny):
    dates = [datetime.date(2024, 1, 3), datetime.date(2024, 1, 9), datetime.date(2024, 1, 11)]
    start = pd.Series({PAIR[0]: 0.9, PAIR[1]: 0.1})
    limit = TurnoverLimit(pd.Series({PAIR[0]: 0.0, PAIR[1]: 1.0}), 0.05)
    result = rebalance(
        dates, PAIR, cons=[limit], initial_holding=start, engine="serial", progress=False
    )
    assert (result.records["turnover"] <= 0.05 + 1e-3).all()
    # The caller's constraint keeps its own holding.
    assert limit._current_holding[PAIR[1]] == 1.0


def test_the_first_dates_turnover_is_the_one_its_limit_held(demo_case):
    # The record measures the very holding the limit was given (the initial one, at
    # the first date's close), the way the limit measures it.
    days, pool = demo_case
    start = pd.Series(1 / 20, index=pool[:20])
    result = rebalance(
        days[:3],
        pool[:20],
        cons=[TurnoverLimit(start, 0.05)],
        initial_holding=start,
        engine="serial",
        progress=False,
    )
    first = result.weights.iloc[0].reindex(start.index, fill_value=0.0)
    by_hand = 0.5 * np.abs(first - start).sum()
    assert result.records["turnover"].iloc[0] == pytest.approx(by_hand, abs=1e-9)
    assert (result.records["turnover"] <= 0.05 + 1e-4).all()


def test_a_failed_date_is_recorded_and_the_holding_kept(tiny):
    dates = [datetime.date(2024, 1, 3), datetime.date(2024, 1, 9), datetime.date(2024, 1, 11)]

    def cons(date, holding):
        # No portfolio of these two stocks has a beta of 50.
        return [StyleConstraint("beta", lower_limit=50.0)] if date == dates[1] else []

    result = rebalance(dates, PAIR, cons=cons, engine="serial", progress=False, on_error="record")
    records = result.records
    assert list(records["status"]) == ["ok", "failed", "ok"]
    assert "OptimizationFailed" in records.loc[dates[1], "message"]
    assert records.loc[dates[1], "turnover"] == 0.0
    rates = tw.get_price_change_rate(PAIR, "2024-01-04", "2024-01-09")[PAIR].fillna(0.0)
    held = result.weights.loc[dates[0]].reindex(PAIR).to_numpy()
    for _, row in rates.iterrows():
        held = held * (1 + row.to_numpy()) / (1 + held @ row.to_numpy())
    np.testing.assert_allclose(result.weights.loc[dates[1]].reindex(PAIR), held, atol=1e-12)

    with pytest.raises(RebalanceFailed, match="2024-01-09") as caught:
        rebalance(dates, PAIR, cons=cons, engine="serial", progress=False)
    assert caught.value.date == dates[1]


def test_a_failure_keeps_the_diagnosis_it_carries(tiny):
    from vantelo.exception import OptimizationFailed

    def cons(date, holding):
        error = OptimizationFailed("failed")
        error.diagnosis = {"binding": ["beta"]}
        raise error

    day = datetime.date(2024, 1, 3)
    result = rebalance([day], PAIR, cons=cons, engine="serial", progress=False, on_error="record")
    assert result.records.loc[day, "diagnosis"] == {"binding": ["beta"]}
    assert result.records.loc[day, "status"] == "failed"
    # Nothing was ever held: no columns, and the cash earned nothing.
    assert result.weights.shape == (1, 0)
    assert (result.returns["portfolio"] == 0.0).all()


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(engine="threads"), "engine"),
        (dict(engine="serial", on_error="ignore"), "on_error"),
        (dict(engine="serial", cost_bps=-1), "cost_bps"),
        (dict(engine="processes", workers=0), "workers"),
        (dict(engine="serial", universe=None), "universe"),
    ],
)
def test_rejected_arguments(tiny, kwargs, message):
    arguments = dict(universe=PAIR, progress=False)
    arguments.update(kwargs)
    with pytest.raises(InvalidArgument, match=message):
        rebalance([datetime.date(2024, 1, 3)], **arguments)


@pytest.mark.parametrize(
    "strategies, message",
    [
        ({"a": dict(universe=PAIR, cost=1)}, r"\['a'\]: unexpected keyword argument 'cost'"),
        ({"a": dict(objective=None)}, r"\['a'\]: missing the keyword argument 'universe'"),
        ({"a": PAIR}, r"strategies\['a'\]: expected keyword arguments"),
        ([PAIR], "strategies: expected a mapping"),
    ],
)  # fmt: skip
def test_rejected_strategies(tiny, strategies, message):
    with pytest.raises(InvalidArgument, match=message):
        rebalance_many(strategies, [datetime.date(2024, 1, 3)], engine="serial", progress=False)


def test_each_date_gets_a_fresh_objective(demo_case):
    days, pool = demo_case
    objective = MeanVariance(window=20)
    result = rebalance(days[:2], pool, objective=objective, engine="serial", progress=False)
    assert objective._expected_returns is None
    assert not np.allclose(result.weights.iloc[0], result.weights.iloc[1], atol=1e-3)


# --------------------------------------------------------------------------- shared reads


@pytest.mark.parametrize(
    "call",
    [
        lambda tidewell, ids, day: tidewell.get_industry(ids, day, "sws"),
        lambda tidewell, ids, day: tidewell.get_industry(ids + ids[:3], day, "citic"),
        lambda tidewell, ids, day: tidewell.get_industry(tuple(ids), day),
        lambda tidewell, ids, day: tidewell.get_industry(ids[0], day),
        lambda tidewell, ids, day: tidewell.get_industry(ids, str(day), "sws"),
        lambda tidewell, ids, day: tidewell.index_weights("990800.XSHG", day),
    ],
)
def test_schedule_reads_answer_as_the_store_does(call):
    from vantelo._schedule_reads import ScheduleReads

    reads = ScheduleReads()
    ids = [i.order_book_id for i in tw.all_instruments("CS")][::7] + ["000000.XSHE"]
    # Dates before, between and after reclassifications, each asked twice, and a
    # Saturday.
    days = tw.get_trading_dates("2022-01-04", "2025-12-31")[::97] * 2
    for day in days + [datetime.date(2024, 6, 15)]:
        expected = call(tw, ids, day)
        found = call(reads, ids, day)
        pd.testing.assert_series_equal(found, expected)


def test_schedule_reads_on_the_days_of_reclassifications():
    # The day a stock's new industry takes effect and the trading day before it.
    from vantelo._schedule_reads import ScheduleReads

    history = tw.get_industry_history(classification="sws")
    later = history[history.duplicated("order_book_id", keep="first")]
    calendar = tw.get_trading_dates("2022-01-04", "2025-12-31")
    changes = [
        (row.order_book_id, row.start_date)
        for row in later.itertuples()
        if row.start_date in set(calendar) and row.start_date > calendar[0]
    ]
    assert len(changes) >= 5
    reads = ScheduleReads()
    codes = sorted({code for code, _ in changes})
    for code, day in changes:
        for when in (day, tw.get_previous_trading_date(day)):
            expected = tw.get_industry(codes, when, "sws")
            pd.testing.assert_series_equal(reads.get_industry(codes, when, "sws"), expected)
        assert (
            reads.get_industry([code], day, "sws").iloc[0]
            == history.loc[
                (history.order_book_id == code) & (history.start_date == day), "industry"
            ].iloc[0]
        )


def test_schedule_reads_refuse_as_the_store_does():
    from vantelo._schedule_reads import ScheduleReads

    reads = ScheduleReads()
    for call in (
        lambda client: client.get_industry(["600000.XSHG"], datetime.date(2021, 12, 31)),
        lambda client: client.get_industry(["600000.XSHG"], datetime.date(2024, 6, 14), "xyz"),
        lambda client: client.get_industry([1], datetime.date(2024, 6, 14)),
    ):
        with pytest.raises(Exception) as expected:
            call(tw)
        with pytest.raises(type(expected.value), match=re.escape(str(expected.value))):
            call(reads)


def test_a_rebalance_beside_optimisations_in_other_threads_changes_neither(demo_case):
    # A rebalance hands its shared reads to the optimiser as arguments: calls of
    # portfolio_optimize in other threads of the same process, and a second
    # rebalance beside it, see the very same data and give the serial results.
    import threading

    import cvxpy

    import vantelo.helper

    days, pool = demo_case
    kwargs = dict(demo_kwargs(pool), benchmark="990300.XSHG", engine="serial", progress=False)
    plain = dict(bnds={"*": (0, 0.1)}, benchmark="990300.XSHG", objective=MinTrackingError())
    expected_schedule = rebalance(days[:4], **kwargs)
    expected_calls = [vo.portfolio_optimize(pool, day, **plain) for day in days[:4]]
    schedules, calls, errors = [], [], []

    def schedule():
        try:
            schedules.append(rebalance(days[:4], **kwargs))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    def loop():
        try:
            for _ in range(2):
                calls.append([vo.portfolio_optimize(pool, day, **plain) for day in days[:4]])
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=f) for f in (schedule, loop, schedule, loop)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert vo.cp is cvxpy and vo.OptimizeHelper is vantelo.helper.OptimizeHelper
    assert vantelo.helper.tidewell is tw and vo.tidewell is tw
    for found in schedules:
        pd.testing.assert_frame_equal(found.weights, expected_schedule.weights)
        columns = ["status", "turnover", "ex_ante_volatility", "ex_ante_tracking_error"]
        pd.testing.assert_frame_equal(found.records[columns], expected_schedule.records[columns])
    for run in calls:
        for mine, theirs in zip(run, expected_calls):
            pd.testing.assert_series_equal(mine, theirs)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_plot_draws_returns_drawdown_and_turnover_on_one_axis(tiny):
    pytest.importorskip("matplotlib")
    dates = [datetime.date(2024, 1, 3), datetime.date(2024, 1, 9)]
    result = rebalance(dates, PAIR, benchmark="990001.XSHG", engine="serial", progress=False)
    figure = result.plot()
    top, middle, bottom = figure.axes
    assert [line.get_label() for line in top.get_lines()[:3]] == [
        "portfolio",
        "benchmark",
        "active",
    ]
    title = "Backtest, 2024-01-03 to " + str(result.returns.index[-1].date())
    assert [text.get_text() for text in figure.texts] == [title]
    # The drawdown panel draws the fall from the peak of the portfolio's value.
    growth = (1 + result.returns["portfolio"]).cumprod()
    expected = np.concatenate([[0.0], 1 - growth / np.maximum(growth.cummax(), 1.0)])
    np.testing.assert_allclose(-middle.get_lines()[0].get_ydata(), expected, atol=1e-12)
    assert len(bottom.patches) == len(dates)
    assert top.get_shared_x_axes().joined(top, bottom)
    assert top.get_xlim() == middle.get_xlim() == bottom.get_xlim()
    assert [text.get_text() for text in result.plot("mine").texts] == ["mine"]


# --------------------------------------------------------------------------- engines


def test_processes_and_many_strategies_match_serial(demo_case):
    days, pool = demo_case
    serial = rebalance(days, engine="serial", progress=False, **demo_kwargs(pool))
    assert list(serial.records["status"]) == ["ok"] * len(days)
    many = rebalance_many(
        {
            "bands": demo_kwargs(pool),
            "capped": dict(universe=pool, bnds={"*": (0.0, 0.03)}),
        },
        days,
        engine="processes",
        workers=2,
        progress=False,
    )
    assert set(many) == {"bands", "capped"}
    np.testing.assert_allclose(many["bands"].weights, serial.weights, rtol=0, atol=1e-9)
    assert many["capped"].weights.max().max() <= 0.03 + 1e-3 < serial.weights.max().max()


def kill_on_second_date(date):
    import multiprocessing

    if date == tw.get_trading_dates("2024-03-01", "2024-03-15")[1]:
        with open(os.environ["VANTELO_KILL_LOG"], "a") as fh:
            fh.write("killed\n")
        if multiprocessing.parent_process() is not None:
            os.kill(os.getpid(), signal.SIGKILL)
    return sorted(tw.index_weights("990300.XSHG", date).index)[:40]


def test_a_killed_worker_is_retried_once_then_recorded(demo_case, tmp_path, monkeypatch):
    days, _ = demo_case
    log = tmp_path / "kills.log"
    monkeypatch.setenv("VANTELO_KILL_LOG", str(log))
    started = time.perf_counter()
    # Ten dates make two runs, so a pool of processes is used.
    result = rebalance(
        days,
        kill_on_second_date,
        engine="processes",
        workers=2,
        progress=False,
        on_error="record",
    )
    assert time.perf_counter() - started < 300
    assert log.read_text().count("killed") == 2
    assert list(result.records["status"]) == ["ok", "failed"] + ["ok"] * (len(days) - 2)
    assert result.records["message"].iloc[1] == WORKER_DIED


@pytest.fixture(scope="module")
def dask_client():
    """A local cluster of two worker processes, shared by the tests that need one."""
    distributed = pytest.importorskip("distributed")
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        warnings.simplefilter("ignore", ResourceWarning)
        with distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            # A port of its own: older releases read None as the default 8787, which
            # another cluster on the machine may hold.
            dashboard_address=":0",
        ) as cluster, distributed.Client(cluster) as client:
            yield client


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_dask_local_cluster_matches_serial(demo_case, dask_client):
    days, pool = demo_case
    serial = rebalance(days, engine="serial", progress=False, **demo_kwargs(pool))
    found = rebalance(days, engine=dask_client, progress=False, **demo_kwargs(pool))
    np.testing.assert_allclose(found.weights, serial.weights, rtol=0, atol=1e-9)
    pd.testing.assert_series_equal(found.records["status"], serial.records["status"])


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_dask_workers_that_cannot_see_the_store_get_a_copy(tiny, dask_client):
    # The workers find a file of another size at the store's path, as a machine
    # without the caller's disk would find none: the store is sent to them, and they
    # solve on the copy what the caller solves on the original.
    import tempfile
    import uuid

    import cloudpickle

    from vantelo import _engines
    from vantelo.rebalance import _store, _strategy

    dates = [datetime.date(2024, 1, 3), datetime.date(2024, 1, 9)]
    path, size, _ = _store()
    shipped = f"test-{uuid.uuid4().hex}"
    copy = os.path.join(tempfile.gettempdir(), "vantelo-store-" + shipped)
    strategy, _ = _strategy(dict(universe=PAIR))
    tasks = _engines._tasks(
        "", cloudpickle.dumps(strategy), strategy, dates, (path, size + 1, shipped), "raise"
    )
    try:
        found = _engines._execute(tasks, dask_client, 2, _engines._Progress(2, False), "raise")
        with open(path, "rb") as original, open(copy, "rb") as sent:
            assert original.read() == sent.read()
    finally:
        if os.path.exists(copy):
            os.remove(copy)
    serial = rebalance(dates, PAIR, engine="serial", progress=False)
    assert [o[2]["status"] for o in found[""]] == ["ok", "ok"]
    for date, weights, _, _ in found[""]:
        np.testing.assert_allclose(
            weights.reindex(PAIR), serial.weights.loc[date, PAIR], atol=1e-9
        )


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_dask_scheduler_and_worker_processes(demo_case, tmp_path):
    distributed = pytest.importorskip("distributed")
    days, pool = demo_case
    days = days[:3]
    dask = os.path.join(os.path.dirname(sys.executable), "dask")
    if not os.path.exists(dask):
        dask = shutil.which("dask")
    scheduler_file = str(tmp_path / "scheduler.json")
    common = ["--scheduler-file", scheduler_file, "--no-dashboard"]
    scheduler = subprocess.Popen(
        [dask, "scheduler", "--host", "127.0.0.1", "--port", "0"] + common,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    worker = None
    try:
        deadline = time.time() + 120
        while not os.path.exists(scheduler_file) and time.time() < deadline:
            time.sleep(0.2)
        worker = subprocess.Popen(
            [dask, "worker", "--nthreads", "1", "--host", "127.0.0.1"] + common,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        with distributed.Client(scheduler_file=scheduler_file, timeout=120) as client:
            client.wait_for_workers(1, timeout=120)
            found = rebalance(days, engine=client, progress=False, **demo_kwargs(pool))
    finally:
        for process in (worker, scheduler):
            if process is not None:
                process.terminate()
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
    serial = rebalance(days, engine="serial", progress=False, **demo_kwargs(pool))
    np.testing.assert_allclose(found.weights, serial.weights, rtol=0, atol=1e-9)


@pytest.mark.parametrize("benchmark", ["returns", object(), [[0.0, 0.1]]])
def test_summary_refuses_a_benchmark_that_is_no_vector(benchmark):
    # An unconvertible benchmark once reached the arithmetic as a null array (a crash).
    with pytest.raises((TypeError, ValueError, InvalidArgument)):
        _rebalance.summary(np.zeros(3), benchmark, np.zeros(2))


def test_trading_keeps_what_the_day_does_not_let_trade():
    # A demo day with suspended stocks and one at limit-up among the 300 index.
    from vantelo.trading import trading_status

    day, index = "2025-05-29", "990300.XSHG"
    pool = sorted(tw.index_weights(index, day).index)
    status = trading_status(pool, day)
    held = tw.index_weights(index, tw.get_previous_trading_date(day))
    assert status.suspended.sum() >= 2 and status.limit_up.sum() >= 1
    result = rebalance(
        [day], pool, bnds={"*": (0, 0.02)}, initial_holding=held, trading=True,
        engine="serial", progress=False,
    )  # fmt: skip
    weights = result.weights.iloc[0].reindex(pool, fill_value=0.0)
    suspended = status.index[status.suspended]
    np.testing.assert_allclose(weights[suspended], held.reindex(suspended), atol=1e-5)
    limit_up = status.index[status.limit_up]
    assert (weights[limit_up] <= held.reindex(limit_up, fill_value=0.0) + 1e-5).all()
    # Without the day's rules the same schedule trades them.
    free = (
        rebalance(
            [day],
            pool,
            bnds={"*": (0, 0.02)},
            initial_holding=held,
            engine="serial",
            progress=False,
        )
        .weights.iloc[0]
        .reindex(pool, fill_value=0.0)
    )
    assert np.abs(free[suspended] - held.reindex(suspended)).max() > 1e-3


def test_a_chained_schedule_solves_what_the_same_calls_solve_one_by_one():
    # A binding turnover limit against the drifted holding, date after date: every
    # date the plain call solves, the schedule solves, with the same weights.
    from vantelo.objective import MinTrackingError

    index = "990300.XSHG"
    dates = rebalance_dates("2024-01-01", "2024-06-30", "M")
    pool = sorted(tw.index_weights(index, dates[0]).index)[:80]
    start = tw.index_weights(index, dates[0]).reindex(pool).dropna()
    start = start / start.sum()
    kwargs = dict(objective=MinTrackingError(), bnds={"*": (0, 0.05)}, benchmark=index)
    result = rebalance(
        dates,
        pool,
        cons=[TurnoverLimit(start, 0.02)],
        initial_holding=start,
        engine="serial",
        progress=False,
        on_error="record",
        **kwargs,
    )
    assert list(result.records["status"]) == ["ok"] * len(dates)
    holding = start
    bound = 0
    for before, date in zip([None] + dates[:-1], dates):
        if before is not None:
            # The last date's weights moved along with the prices to this close.
            held = result.weights.loc[before]
            held = held[held > 1e-6]
            rates = tw.get_price_change_rate(
                list(held.index), tw.get_next_trading_date(before), date
            )
            values = held.to_numpy()
            for _, row in rates.reindex(columns=held.index).fillna(0.0).iterrows():
                values = values * (1 + row.to_numpy()) / (1 + values @ row.to_numpy())
            holding = pd.Series(values, index=held.index)
        alone = vo.portfolio_optimize(pool, date, cons=[TurnoverLimit(holding, 0.02)], **kwargs)
        mine = result.weights.loc[date].reindex(alone.index, fill_value=0.0)
        assert np.abs(mine - alone).sum() < 5e-3, date
        traded = (
            0.5
            * np.abs(
                alone.reindex(holding.index.union(alone.index), fill_value=0.0)
                - holding.reindex(holding.index.union(alone.index), fill_value=0.0)
            ).sum()
        )
        bound += traded > 0.02 - 1e-3
    assert bound >= len(dates) - 2  # the limit binds: the test measures solving


# --------------------------------------------------------------------------- what a path shows

TINY_INDEX = "990001.XSHG"


def test_benchmark_and_active_returns_follow_the_index_by_day(tiny):
    # Each day's benchmark return is the index's own change that day, as the store
    # has it, from the day after the first date.
    dates = [datetime.date(2024, 1, 3), datetime.date(2024, 1, 9)]
    result = rebalance(dates, PAIR, benchmark=TINY_INDEX, engine="serial", progress=False)
    returns = result.returns
    first, last = tw.get_next_trading_date(dates[0]), returns.index[-1].date()
    index_rates = tw.get_price_change_rate(TINY_INDEX, first, last)
    assert list(index_rates.index) == list(returns.index)
    by_hand = index_rates.to_numpy()
    assert len(by_hand) > 3 and np.abs(np.diff(by_hand)).max() > 1e-4
    np.testing.assert_allclose(returns["benchmark"], by_hand, atol=1e-12)
    np.testing.assert_allclose(returns["active"], returns["portfolio"] - by_hand, atol=1e-12)
    # The measures' active figures read the same series.
    figures = result.measures()["value"]
    years = len(returns) / 252
    ours = np.prod(1 + returns["portfolio"].to_numpy()) ** (1 / years)
    theirs = np.prod(1 + by_hand) ** (1 / years)
    assert figures["active_return"] == pytest.approx(ours - theirs, rel=1e-9)
    active = returns["portfolio"].to_numpy() - by_hand
    assert figures["hit_rate"] == pytest.approx(np.mean(active > 0))


def _drifted_by_hand(weights, start, end):
    """`weights` at the close of `start` moved along with each day's rates to `end`."""
    codes = list(weights.index)
    rates = tw.get_price_change_rate(codes, tw.get_next_trading_date(start), end)
    held = weights.to_numpy(dtype=float)
    for _, row in rates.reindex(columns=codes).fillna(0.0).iterrows():
        held = held * (1 + row.to_numpy()) / (1 + held @ row.to_numpy())
    return held


def _recording_bounds(targets, seen):
    def bnds(date, holding):
        seen[date] = holding.copy()
        share = targets[date]
        return {PAIR[0]: (share, share), PAIR[1]: (1 - share, 1 - share)}

    return bnds


def test_consecutive_trading_days_drift_the_holding(tiny):
    dates = tw.get_trading_dates("2024-01-03", "2024-01-08")[:3]
    targets = dict(zip(dates, [0.7, 0.3, 0.5]))
    seen = {}
    result = rebalance(
        dates, PAIR, bnds=_recording_bounds(targets, seen), engine="serial", progress=False
    )
    for before, date in zip(dates, dates[1:]):
        held = result.weights.loc[before, PAIR]
        expected = _drifted_by_hand(held, before, date)
        assert np.abs(expected - held.to_numpy()).max() > 1e-4  # the prices moved
        np.testing.assert_allclose(seen[date].reindex(PAIR), expected, atol=1e-12)


def test_a_date_whose_worker_died_still_drifts_the_holding(tiny, monkeypatch):
    # The date after one that killed its worker trades from the last holding drifted
    # over both gaps.
    import concurrent.futures
    from concurrent.futures.process import BrokenProcessPool

    import cloudpickle

    from vantelo import _engines
    from vantelo.rebalance import _store, _strategy

    dates = [datetime.date(2024, 1, 3), datetime.date(2024, 1, 9), datetime.date(2024, 1, 11)]
    targets = dict(zip(dates, [0.7, 0.3, 0.5]))
    seen = {}

    class Pool:
        """One worker in this process; the second date kills it."""

        def __init__(self, workers):
            pass

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            return False

        def submit(self, function, task):
            future = concurrent.futures.Future()
            if task["dates"] == [dates[1]]:
                future.set_exception(BrokenProcessPool("killed"))
            else:
                future.set_result(function(task))
            return future

    monkeypatch.setattr(_engines, "_spawn_pool", Pool)
    strategy, _ = _strategy(dict(universe=PAIR, bnds=_recording_bounds(targets, seen)))
    (task,) = _engines._tasks("", cloudpickle.dumps(strategy), strategy, dates, _store(), "record")
    progress = _engines._Progress(len(dates), False)
    outcomes = [o for _, run in _engines._retry_alone(task, progress, "record") for o in run]
    assert [o[2]["status"] for o in outcomes] == ["ok", "failed", "ok"]
    assert outcomes[1][2]["message"] == WORKER_DIED
    first = outcomes[0][1].reindex(PAIR)
    np.testing.assert_allclose(first, [0.7, 0.3], atol=1e-4)  # the solver's accuracy
    expected = _drifted_by_hand(first, dates[0], dates[2])
    np.testing.assert_allclose(seen[dates[2]].reindex(PAIR), expected, atol=1e-12)


def test_a_turnover_limit_waits_for_something_held(tiny):
    # From cash the first date builds the portfolio as if unlimited (its turnover is
    # then 0.5: half the sum of the weight changes); the limit holds from the second.
    dates = [datetime.date(2024, 1, 3), datetime.date(2024, 1, 9), datetime.date(2024, 1, 11)]
    limit = TurnoverLimit(pd.Series({PAIR[0]: 1.0}), 0.02)
    limited = rebalance(dates, PAIR, cons=[limit], engine="serial", progress=False)
    free = rebalance(dates[:1], PAIR, engine="serial", progress=False)
    assert list(limited.records["status"]) == ["ok"] * 3
    np.testing.assert_allclose(limited.weights.iloc[0], free.weights.iloc[0], atol=1e-6)
    assert limited.records["turnover"].iloc[0] == pytest.approx(0.5, abs=1e-6)
    assert (limited.records["turnover"].iloc[1:] <= 0.02 + 1e-4).all()


def test_a_date_that_drops_its_soft_constraints_says_so(tiny):
    dates = [datetime.date(2024, 1, 3), datetime.date(2024, 1, 9)]
    soft = StyleConstraint("beta", lower_limit=50.0, hard=False)
    result = rebalance(dates, PAIR, cons=[soft], engine="serial", progress=False)
    records = result.records
    assert list(records["status"]) == ["soft constraints dropped"] * 2
    assert list(records["dropped"]) == ["StyleConstraint"] * 2
    # Beside a hard limit that holds, only the soft one is named.
    result = rebalance(
        dates[:1],
        PAIR,
        cons=[soft, StyleConstraint("beta", upper_limit=50.0)],
        engine="serial",
        progress=False,
    )
    assert result.records["dropped"].iloc[0] == "StyleConstraint"
    assert result.records["status"].iloc[0] == "soft constraints dropped"


def test_ex_ante_risk_of_each_date_against_the_factor_model(demo_case):
    days, pool = demo_case
    index = "990300.XSHG"
    result = rebalance(
        days[:2], pool, bnds={"*": (0, 0.1)}, benchmark=index, engine="serial", progress=False
    )
    for day in days[:2]:
        bench = tw.index_weights(index, day)
        codes = sorted(set(pool) | set(bench.index))
        exposure = tw.get_factor_exposure(codes, day).reindex(codes)
        factor_cov = tw.get_factor_covariance(day, "daily")
        factor_cov = factor_cov.loc[exposure.columns, exposure.columns].to_numpy()
        specific = tw.get_specific_risk(codes, day, "daily").reindex(codes).to_numpy()
        x = exposure.to_numpy()
        cov = 252 * (x @ factor_cov @ x.T + np.diag(specific**2))
        w = result.weights.loc[day].reindex(codes, fill_value=0.0).to_numpy()
        b = bench.reindex(codes, fill_value=0.0).to_numpy()
        b = b / b.sum()
        record = result.records.loc[day]
        assert record["ex_ante_volatility"] == pytest.approx(np.sqrt(w @ cov @ w), rel=1e-6)
        te = np.sqrt((w - b) @ cov @ (w - b))
        assert te > 0.01
        assert record["ex_ante_tracking_error"] == pytest.approx(te, rel=1e-6)


def test_a_date_off_the_calendar_trades_at_the_close_before_it(tiny):
    # A Saturday's target is traded at the close of the trading day before it: its
    # turnover is measured against the holding drifted to that close, and the next
    # trading day earns the new target.
    dates = [datetime.date(2024, 1, 3), datetime.date(2024, 1, 6), datetime.date(2024, 1, 11)]
    targets = dict(zip(dates, [0.7, 0.3, 0.5]))
    result = rebalance(
        dates, PAIR, bnds=_recording_bounds(targets, {}), engine="serial", progress=False
    )
    friday = tw.get_previous_trading_date(dates[1])
    monday = tw.get_next_trading_date(friday)
    assert dates[0] < friday < dates[1] < monday
    held = _drifted_by_hand(result.weights.loc[dates[0], PAIR], dates[0], friday)
    # The weights solved for the Saturday, [0.3, 0.7] to the solver's accuracy.
    target = result.weights.loc[dates[1], PAIR].to_numpy(dtype=float)
    np.testing.assert_allclose(target, [0.3, 0.7], atol=1e-4)
    assert result.records["turnover"].iloc[1] == pytest.approx(
        0.5 * np.abs(target - held).sum(), abs=1e-9
    )
    rates = tw.get_price_change_rate(PAIR, monday, monday)[PAIR].fillna(0.0).to_numpy()[0]
    assert result.returns.loc[pd.Timestamp(monday), "portfolio"] == pytest.approx(
        target @ rates, abs=1e-9
    )
