"""tidewell's read API against the demo database (built once, then reused from the cache)."""

from __future__ import annotations

import datetime as dt
import enum
import os
import re
import shutil

import numpy as np
import pandas as pd
import pytest

import tidewell as tw
from tidewell import _database

TINY = os.path.join(os.path.dirname(__file__), "data", "tiny")
D = dt.date


@pytest.fixture(scope="session")
def demo_path():
    path = os.environ.get("TIDEWELL_TEST_DB") or _database.ensure_demo_database()
    return path


@pytest.fixture(autouse=True)
def use_demo(demo_path, monkeypatch):
    monkeypatch.delenv("TIDEWELL_DB", raising=False)
    tw.set_database(demo_path)
    yield
    tw.set_database(None)


@pytest.fixture(scope="session")
def stocks_on(demo_path):
    def ids(day):
        tw.set_database(demo_path)
        return [r.order_book_id for r in tw.all_instruments("CS", day)]

    return ids


class Cov(enum.Enum):
    DAILY = "daily"
    MONTHLY = "monthly"


class Standard(enum.Enum):
    CITIC = "citic"


# --------------------------------------------------------------------------- instruments


def test_instruments_single_and_list_keep_request_order_and_repeats():
    one = tw.instruments("600000.XSHG")
    assert isinstance(one, tw.Instrument)
    assert (one.type, one.exchange, one.de_listed_date) == ("CS", "XSHG", "0000-00-00")
    assert re.fullmatch(r"\d{4}-\d{2}-\d{2}", one.listed_date)
    assert tw.instruments("999999.XSHG") is None
    got = tw.instruments(["000001.XSHE", "600000.XSHG", "NOPE", "000001.XSHE"])
    assert [r.order_book_id for r in got] == ["000001.XSHE", "600000.XSHG", "000001.XSHE"]
    assert tw.instruments(iter(["600000.XSHG"]))[0] == one
    with pytest.raises(AttributeError):
        one.symbol = "x"


@pytest.mark.parametrize("bad", [5, None, 3.5])
def test_instruments_rejects_non_iterables(bad):
    with pytest.raises(tw.TidewellError, match=re.escape(repr(bad))) as info:
        tw.instruments(bad)
    assert isinstance(info.value, TypeError)


def test_demo_market_composition():
    recs = tw.all_instruments()
    by_type = pd.Series([r.type for r in recs]).value_counts()
    assert 4800 <= by_type["CS"] <= 5200
    assert by_type["INDX"] == 3 and by_type["ETF"] > 0 and by_type["LOF"] > 0
    assert {r.exchange for r in recs} == {"XSHG", "XSHE"}
    for r in recs:
        suffix = r.order_book_id.split(".")[1]
        assert suffix == r.exchange
    first, last = D(2022, 1, 4), D(2025, 12, 31)
    cs = [r for r in recs if r.type == "CS"]
    listed = pd.to_datetime(pd.Series([r.listed_date for r in cs])).dt.date
    assert ((listed > first) & (listed <= last)).sum() > 100  # new listings inside
    assert (listed > last).sum() > 10  # and some after the calendar ends
    delisted = [r for r in cs if r.de_listed_date != "0000-00-00"]
    assert len(delisted) > 50
    assert all(r.de_listed_date > r.listed_date for r in delisted)


# --------------------------------------------------------------------------- calendar


@pytest.mark.parametrize(
    "day, n, expected",
    [
        ("2024-03-08", 1, D(2024, 3, 11)),  # Friday -> Monday
        ("2024-03-11", -1, D(2024, 3, 8)),
        ("2024-03-09", 0, D(2024, 3, 8)),  # Saturday: previous trading day
        ("2024-03-09", 1, D(2024, 3, 12)),  # counts from the next trading day, Monday
        ("2024-03-09", -1, D(2024, 3, 7)),  # counts from the previous trading day
        ("2024-03-11", 0, D(2024, 3, 11)),
        ("2024-09-30", 1, D(2024, 10, 8)),  # over the October holiday week
        ("2024-10-08", -1, D(2024, 9, 30)),
        ("2024-10-03", 1, D(2024, 10, 9)),  # holiday, counted from the next trading day
        ("2024-10-03", 0, D(2024, 9, 30)),
        ("2022-01-04", 0, D(2022, 1, 4)),
        ("2025-12-30", 1, D(2025, 12, 31)),
    ],
)
def test_trading_date_offset(day, n, expected):
    assert tw.trading_date_offset(day, n) == expected


@pytest.mark.parametrize(
    "day, n", [("2025-12-31", 1), ("2022-01-04", -1), ("2019-01-01", 0), ("2026-01-05", 0)]
)
def test_trading_date_offset_outside_calendar(day, n):
    with pytest.raises(tw.TidewellError, match="outside the trading calendar"):
        tw.trading_date_offset(day, n)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: tw.get_previous_trading_date("2022-01-05", 2),
            tw.TidewellError,
            "2 trading days before 2022-01-05 is outside the trading calendar "
            "(2022-01-04 .. 2025-12-31)",
        ),
        (
            lambda: tw.get_next_trading_date("2025-12-30", 2),
            tw.TidewellError,
            "2 trading days after 2025-12-30 is outside the trading calendar "
            "(2022-01-04 .. 2025-12-31)",
        ),
        (
            lambda: tw.get_next_trading_date("2026-01-05"),
            tw.TidewellError,
            "date 2026-01-05 is outside the trading calendar (2022-01-04 .. 2025-12-31)",
        ),
        (
            lambda: tw.get_previous_trading_date("2024-03-05", 0),
            tw.TidewellError,
            "n must be at least 1, not 0",
        ),
        (
            lambda: tw.get_next_trading_date("2024-03-05", -1),
            tw.TidewellError,
            "n must be at least 1, not -1",
        ),
        (
            lambda: tw.get_next_trading_date("2024-03-05", True),
            TypeError,
            "n must be an integer, not bool True",
        ),
        (
            lambda: tw.trading_date_offset("2025-12-31", 1),
            tw.TidewellError,
            "1 trading days from 2025-12-31 is outside the trading calendar "
            "(2022-01-04 .. 2025-12-31)",
        ),
    ],
)
def test_stepping_off_the_calendar_says_where(call, error, message):
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        call()


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: tw.get_previous_trading_date("2022-01-05"), D(2022, 1, 4)),
        (lambda: tw.get_previous_trading_date("2022-01-06", 2), D(2022, 1, 4)),
        (lambda: tw.get_next_trading_date("2025-12-30"), D(2025, 12, 31)),
        (lambda: tw.get_next_trading_date("2025-12-29", 2), D(2025, 12, 31)),
        # From a holiday: the day itself is not counted either way.
        (lambda: tw.get_previous_trading_date("2024-10-03"), D(2024, 9, 30)),
        (lambda: tw.get_next_trading_date("2024-10-03"), D(2024, 10, 8)),
    ],
)
def test_stepping_to_the_calendar_edges(call, expected):
    assert call() == expected


def test_calendar_functions_agree():
    days = tw.get_trading_dates("2024-09-27", "2024-10-10")
    assert days == [
        D(2024, 9, 27),
        D(2024, 9, 30),
        D(2024, 10, 8),
        D(2024, 10, 9),
        D(2024, 10, 10),
    ]
    assert not tw.is_trading_date("2024-10-02") and tw.is_trading_date("2024-10-08")
    assert tw.get_previous_trading_date("2024-10-08") == D(2024, 9, 30)
    assert tw.get_previous_trading_date("2024-10-08", 2) == D(2024, 9, 27)
    assert tw.get_next_trading_date("2024-10-01") == D(2024, 10, 8)
    assert tw.get_next_trading_date("2024-09-30", 3) == D(2024, 10, 10)
    every = tw.get_trading_dates("2022-01-04", "2025-12-31")
    assert len(every) > 3 * 240 and all(d.weekday() < 5 for d in every)
    assert every[0] == D(2022, 1, 4) and every[-1] == D(2025, 12, 31)
    # some weekdays are holidays
    weekdays = pd.bdate_range("2022-01-04", "2025-12-31")
    assert 20 < len(weekdays) - len(every) < 100


@pytest.mark.parametrize(
    "value",
    [
        D(2024, 3, 5),
        dt.datetime(2024, 3, 5, 15, 0),
        pd.Timestamp("2024-03-05"),
        "2024-03-05",
        "20240305",
        np.datetime64("2024-03-05"),
    ],
)
def test_date_forms(value):
    assert tw.trading_date_offset(value, 0) == D(2024, 3, 5)


@pytest.mark.parametrize(
    "call",
    [
        lambda: tw.get_trading_dates("2024-13-01", "2024-12-31"),
        lambda: tw.is_trading_date("2024-13-01"),
        lambda: tw.get_factor_covariance("2024-13-01"),
    ],
)
def test_bad_date_text_is_named(call):
    with pytest.raises(tw.TidewellError, match="2024-13-01"):
        call()


def test_bad_arguments_are_named():
    with pytest.raises(tw.TidewellError, match="2019-01-01"):
        tw.get_trading_dates("2019-01-01", "2024-01-05")
    with pytest.raises(tw.TidewellError, match="after end_date"):
        tw.get_trading_dates("2024-02-01", "2024-01-05")
    with pytest.raises(tw.TidewellError, match=r"\[2024\]"):
        tw.is_trading_date([2024])
    with pytest.raises(tw.TidewellError, match="'3'"):
        tw.trading_date_offset("2024-03-05", "3")


# --------------------------------------------------------------------------- prices


def test_price_change_rate_list_order_nan_before_listing(stocks_on):
    first_day = D(2022, 1, 4)
    new = next(
        r
        for r in tw.all_instruments("CS")
        if "2023-01-01" < r.listed_date < "2023-06-01" and r.de_listed_date == "0000-00-00"
    )
    gone = next(r for r in tw.all_instruments("CS") if "2023" < r.de_listed_date < "2024")
    ids = [new.order_book_id, "600000.XSHG", "NOPE.XSHG", gone.order_book_id, "990300.XSHG"]
    df = tw.get_price_change_rate(ids, first_day, "2024-06-28")
    assert list(df.columns) == [i for i in ids if i != "NOPE.XSHG"]
    assert [d.date() for d in df.index] == tw.get_trading_dates(first_day, "2024-06-28")
    listed = pd.Timestamp(new.listed_date)
    assert df.loc[: listed - pd.Timedelta(days=1), new.order_book_id].isna().all()
    assert df.loc[listed:, new.order_book_id].notna().all()
    gone_at = pd.Timestamp(gone.de_listed_date)
    assert df.loc[gone_at:, gone.order_book_id].isna().all()
    assert df.loc[: gone_at - pd.Timedelta(days=1), gone.order_book_id].notna().all()
    mean = df.mean()
    assert list(mean.index) == list(df.columns) and mean.notna().all()
    assert df.abs().max().max() < 0.25

    one = tw.get_price_change_rate("600000.XSHG", first_day, "2024-06-28")
    assert isinstance(one, pd.Series) and one.name == "600000.XSHG"
    pd.testing.assert_series_equal(one, df["600000.XSHG"], check_names=False)
    with pytest.raises(tw.TidewellError, match=re.escape("NOPE.XSHG")):
        tw.get_price_change_rate("NOPE.XSHG", first_day, "2024-06-28")


def test_realistic_volatility(stocks_on):
    df = tw.get_price_change_rate(stocks_on("2022-01-04")[:400], "2022-01-04", "2025-12-31")
    stock_vol = df.std() * np.sqrt(252)
    assert 0.25 < stock_vol.median() < 0.5
    idx = tw.get_price_change_rate(["990300.XSHG", "990500.XSHG", "990800.XSHG"], "2022-01-04",
                                   "2025-12-31")  # fmt: skip
    assert ((idx.std() * np.sqrt(252)).between(0.15, 0.3)).all()


def test_index_weights_and_index_returns_agree():
    sizes = {"990300.XSHG": 300, "990500.XSHG": 500, "990800.XSHG": 800}
    w = {code: tw.index_weights(code, "2024-07-01") for code in sizes}
    for code, n in sizes.items():
        assert len(w[code]) == n and w[code].name == "weight"
        assert w[code].sum() == pytest.approx(1.0, abs=1e-12) and (w[code] > 0).all()
    assert set(w["990800.XSHG"].index) == set(w["990300.XSHG"].index) | set(w["990500.XSHG"].index)
    w800 = w["990800.XSHG"]  # cap ranked: the 300 are the largest of the 800
    assert w800[w["990300.XSHG"].index].min() >= w800[w["990500.XSHG"].index].max()
    # Same weights until the next rebalance, new ones on it.
    pd.testing.assert_series_equal(tw.index_weights("990300.XSHG", "2024-12-31"), w["990300.XSHG"])
    # Each answer is the caller's own: changing one leaves the next as it was.
    w["990300.XSHG"].iloc[:] = 0.0
    assert tw.index_weights("990300.XSHG", "2024-07-01").sum() == pytest.approx(1.0, abs=1e-12)
    w["990300.XSHG"] = tw.index_weights("990300.XSHG", "2024-07-01")
    before = tw.index_weights("990300.XSHG", "2024-06-28")
    assert not before.index.equals(w["990300.XSHG"].index) or not np.allclose(
        before, w["990300.XSHG"]
    )
    # The day after a rebalance the index moves by the weighted constituent returns.
    w3 = w["990300.XSHG"]
    r = tw.get_price_change_rate([*w3.index, "990300.XSHG"], "2024-07-02", "2024-07-02")
    assert r["990300.XSHG"].iloc[0] == pytest.approx(float(r[w3.index].iloc[0] @ w3), abs=2e-6)


@pytest.mark.parametrize("code", ["990300.XSHG", "990500.XSHG"])
def test_index_changes_are_weighted_by_the_day_befores_weights(code):
    days = tw.get_trading_dates("2024-05-06", "2024-07-31")
    rates = tw.get_price_change_rate(
        [
            *tw.index_weights(code, "2024-07-31").index,
            *tw.index_weights(code, "2024-05-06").index,
            code,
        ],
        days[1],
        days[-1],
    )
    for before, day in zip(days[:-1], days[1:]):
        weights = tw.index_weights(code, before)
        constituents = rates.loc[pd.Timestamp(day), weights.index].fillna(0.0)
        assert rates.loc[pd.Timestamp(day), code] == pytest.approx(
            constituents @ weights, abs=2e-6
        )


@pytest.mark.parametrize(
    "code, day, message",
    [
        ("990301.XSHG", "2024-07-01", "unknown index '990301.XSHG'"),
        ("600000.XSHG", "2024-07-01", "unknown index '600000.XSHG'"),
        ("990300.XSHG", "2021-12-31", "2021-12-31"),
    ],
)
def test_index_weights_errors(code, day, message):
    with pytest.raises(tw.TidewellError, match=re.escape(message)):
        tw.index_weights(code, day)


# --------------------------------------------------------------------------- risk model


def test_factor_exposure_shape_order_and_dummies(stocks_on):
    ids = stocks_on("2024-06-14")[::7][::-1]
    later = next(r.order_book_id for r in tw.all_instruments("CS") if r.listed_date > "2026")
    ask = [*ids[:100], "NOPE.XSHE", later, ids[0]]
    expo = tw.get_factor_exposure(ask, "2024-06-14")
    names = tw.get_style_factor_names()
    assert names == ["beta", "book_to_price", "earnings_yield", "growth", "leverage", "liquidity",
                     "momentum", "non_linear_size", "residual_volatility", "size"]  # fmt: skip
    assert list(expo.columns) == names + tw.industry_names("sws") == tw.get_factor_names()
    assert expo.shape == (100, 41) and list(expo.index) == ids[:100]
    dummies = expo.iloc[:, 10:]
    assert (dummies.sum(axis=1) == 1).all() and set(np.unique(dummies.values)) == {0.0, 1.0}
    industry = tw.get_industry(ids[:100], "2024-05-31")  # the model date in force
    assert (dummies.idxmax(axis=1) == industry).all()


def test_style_exposures_are_standardised(stocks_on):
    expo = tw.get_factor_exposure(stocks_on("2023-05-31"), "2023-05-31")
    styles = expo[tw.get_style_factor_names()]
    assert (styles.mean().abs() < 0.02).all()
    assert ((styles.std() - 1).abs() < 0.02).all()
    big = styles.loc[tw.index_weights("990300.XSHG", "2023-05-31").index, "size"]
    mid = styles.loc[tw.index_weights("990500.XSHG", "2023-05-31").index, "size"]
    assert big.mean() > mid.mean() > 0


@pytest.mark.parametrize("model", ["daily", "monthly", "quarterly", Cov.MONTHLY])
def test_factor_covariance_is_symmetric_positive_definite(model):
    cov = tw.get_factor_covariance("2024-06-14", model)
    assert list(cov.index) == list(cov.columns) == tw.get_factor_names()
    assert np.array_equal(cov.values, cov.values.T)
    assert np.linalg.eigvalsh(cov.values).min() > 0
    ind_vol = np.sqrt(np.diag(cov.values)[10:] * 252)
    assert ((ind_vol > 0.08) & (ind_vol < 0.5)).all()  # daily variance units


def test_cov_models_differ_a_little(stocks_on):
    covs = [tw.get_factor_covariance("2024-06-14", m).values for m in ("daily", "monthly",
                                                                        "quarterly")]  # fmt: skip
    for a, b in [(0, 1), (1, 2), (0, 2)]:
        ratio = np.diag(covs[a]) / np.diag(covs[b])
        assert not np.allclose(covs[a], covs[b])
        assert 0.5 < np.median(ratio) < 2
    ids = stocks_on("2024-06-14")[:300]
    spec = [tw.get_specific_risk(ids, "2024-06-14", m) for m in ("daily", Cov.MONTHLY)]
    assert not np.allclose(spec[0], spec[1])
    assert 0.5 < (spec[0] / spec[1]).median() < 2


def test_specific_risk_order_units_and_prediction(stocks_on):
    ids = stocks_on("2024-01-31")[::-3]
    spec = tw.get_specific_risk([*ids, "NOPE.XSHG", ids[0]], "2024-01-31")
    assert list(spec.index) == ids and (spec > 0).all()
    assert 0.1 < (spec * np.sqrt(252)).median() < 0.5
    # The model's forecast for the index is close to the index's realised volatility.
    w = tw.index_weights("990300.XSHG", "2024-01-31")
    x = tw.get_factor_exposure(w.index, "2024-01-31").loc[w.index].values
    f = tw.get_factor_covariance("2024-01-31", Cov.DAILY).values
    s = tw.get_specific_risk(w.index, "2024-01-31").loc[w.index].values
    predicted = np.sqrt((w.values @ x @ f @ x.T @ w.values + (w.values**2) @ (s**2)) * 252)
    realised = tw.get_price_change_rate("990300.XSHG", "2024-02-01", "2024-07-31").std()
    assert 0.5 < predicted / (realised * np.sqrt(252)) < 2


@pytest.mark.parametrize(
    "day", ["2022-01-04", "2022-01-15", "2023-03-17", "2024-02-18", "2025-07-01", "2025-12-31"]
)
def test_every_listed_stock_has_risk_data(day, stocks_on):
    ids = stocks_on(day)
    assert len(ids) > 4000
    assert len(tw.get_factor_exposure(ids, day)) == len(ids)
    assert len(tw.get_specific_risk(ids, day, "quarterly")) == len(ids)


@pytest.mark.parametrize("classification", ["sws", "citic"])
def test_industry_history_answers_what_get_industry_answers(stocks_on, classification):
    ids = stocks_on("2022-01-04")[:300] + ["688999.XSHG"]
    history = tw.get_industry_history(ids + ids[:2], classification)
    assert list(history.columns) == ["order_book_id", "start_date", "industry"]
    assert history.equals(history.sort_values(["order_book_id", "start_date"]))
    assert set(history["order_book_id"]) <= set(ids)
    for day in ("2022-01-04", "2023-07-14", "2025-12-31"):
        when = dt.date.fromisoformat(day)
        latest = history[history["start_date"] <= when].groupby("order_book_id").last()
        expected = tw.get_industry(ids, day, classification)
        assert latest["industry"].reindex(expected.index).tolist() == expected.tolist()
        assert set(latest.index) == set(expected.index)
    everyone = tw.get_industry_history(classification=classification)
    assert len(everyone) > len(history)
    with pytest.raises(tw.TidewellError, match="unknown classification 'xyz'"):
        tw.get_industry_history(ids, "xyz")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: tw.get_factor_covariance("2024-06-14", "weekly"), "unknown cov_model 'weekly'"),
        (lambda: tw.get_specific_risk(["600000.XSHG"], "2024-06-14", 3), "unknown cov_model 3"),
        (lambda: tw.get_factor_exposure(["600000.XSHG"], "2021-12-31"), "2021-12-31"),
        (lambda: tw.get_factor_exposure(42, "2024-06-14"), "42"),
        (lambda: tw.get_industry(["600000.XSHG"], "2024-06-14", "xyz"),
         "unknown classification 'xyz'; choose one of citic, sws, sws_non_bank_split"),
    ],
)  # fmt: skip
def test_risk_model_errors(call, message):
    with pytest.raises(tw.TidewellError, match=re.escape(message)):
        call()


# --------------------------------------------------------------------------- industries


def test_industry_standards(stocks_on):
    ids = stocks_on("2024-06-14")
    sws = tw.get_industry(ids, "2024-06-14")
    split = tw.get_industry(ids, "2024-06-14", "sws_non_bank_split")
    citic = tw.get_industry(ids, "2024-06-14", Standard.CITIC)
    assert len(tw.industry_names("sws")) == 31 and set(sws) == set(tw.industry_names())
    assert len(tw.industry_names("sws_non_bank_split")) == 33
    assert 28 <= len(tw.industry_names("citic")) <= 32
    assert list(sws.index) == ids == list(split.index)
    non_bank = sws == "non_bank_financials"
    assert non_bank.sum() > 10
    assert set(split[non_bank]) == {"securities", "insurance", "diversified_financials"}
    assert (split[~non_bank] == sws[~non_bank]).all()
    unclassified = [i for i in ids if i not in citic.index]
    assert 0 < len(unclassified) < 100
    assert list(citic.index) == [i for i in ids if i in citic.index]
    assert set(citic) <= set(tw.industry_names("citic"))
    both = pd.DataFrame({"sws": sws, "citic": citic}).dropna()
    assert (both.groupby("sws")["citic"].nunique() > 1).any()  # a different grouping:
    assert (both.groupby("citic")["sws"].nunique() > 1).any()  # some split, some merged


def test_reclassified_stock_changes_industry_and_exposure(stocks_on):
    ids = stocks_on("2022-01-04")
    first = tw.get_industry(ids, "2022-01-04")
    last = tw.get_industry(ids, "2025-12-31")
    moved = [i for i in ids if i in last.index and first[i] != last[i]]
    assert moved
    oid = moved[0]
    for day in ("2022-01-04", "2025-12-31"):
        expo = tw.get_factor_exposure([oid], day).iloc[0, 10:]
        assert expo.idxmax() == tw.get_industry([oid], day)[oid]


# --------------------------------------------------------------------------- configuration


def test_database_switching(tmp_path, monkeypatch, demo_path):
    tiny = str(tmp_path / "tiny.duckdb")
    tw.import_database(TINY, tiny)
    assert tw.get_database_path() == demo_path
    tw.set_database(None)
    monkeypatch.setenv("TIDEWELL_DB", tiny)
    assert tw.get_database_path() == tiny
    assert tw.instruments("600000.XSHG") is None and tw.instruments("600001.XSHG") is not None
    tw.set_database(demo_path)  # an explicit choice wins over the environment
    assert tw.instruments("600000.XSHG") is not None
    monkeypatch.delenv("TIDEWELL_DB")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    tw.set_database(None)
    demo = tw.get_database_path()
    assert os.path.dirname(demo) == str(tmp_path / "cache" / "tidewell")
    assert os.path.basename(demo).startswith(f"demo-{tw.__version__}-")
    with pytest.raises(tw.TidewellError, match=re.escape("nowhere.duckdb")):
        tw.set_database(tmp_path / "nowhere.duckdb")


def test_replaced_file_is_reopened(tmp_path):
    path = str(tmp_path / "live.duckdb")
    tw.import_database(TINY, path)
    tw.set_database(path)
    assert tw.get_trading_dates("2024-01-02", "2024-01-12")[-1] == D(2024, 1, 12)
    shorter = tmp_path / "shorter"
    shutil.copytree(TINY, shorter)
    rows = (shorter / "trading_dates.csv").read_text().splitlines()
    (shorter / "trading_dates.csv").write_text("\n".join([*rows, "2024-01-15"]) + "\n")
    tw.import_database(shorter, path)  # replaces the file under the open connection
    assert tw.get_trading_dates("2024-01-02", "2024-01-15")[-1] == D(2024, 1, 15)


def test_not_a_tidewell_database(tmp_path):
    import duckdb

    path = str(tmp_path / "other.duckdb")
    duckdb.connect(path).close()
    tw.set_database(path)
    with pytest.raises(tw.TidewellError, match="not a tidewell database"):
        tw.get_trading_dates("2024-01-02", "2024-01-03")


def test_risk_model_is_read_once_per_date(monkeypatch):
    date = dt.date(2024, 6, 28)
    pools = [_some_stocks(50), _some_stocks(80)[30:]]
    for pool in pools:  # warm: whatever an earlier test left behind
        tw.get_factor_exposure(pool, date)
        tw.get_specific_risk(pool, date, "monthly")
        tw.get_factor_covariance(date, "monthly")
    queries = []
    original = _database.Handle.query

    def counting(self, sql, *args, **kwargs):
        queries.append(sql)
        return original(self, sql, *args, **kwargs)

    monkeypatch.setattr(_database.Handle, "query", counting)
    for pool in pools:
        exposure = tw.get_factor_exposure(pool, date)
        assert list(exposure.index) == pool
        assert list(tw.get_specific_risk(pool, date, "monthly").index) == pool
        cov = tw.get_factor_covariance(date, "monthly")
        cov.iloc[0, 0] = np.nan  # each caller gets its own copy
    assert queries == []
    assert not np.isnan(tw.get_factor_covariance(date, "monthly").values).any()


def _some_stocks(n):
    return [i.order_book_id for i in tw.all_instruments("CS", "2024-06-28")][:n]


def test_every_date_of_the_store_without_arguments():
    every = tw.get_trading_dates()
    assert every == tw.get_trading_dates("2022-01-04", "2025-12-31")
    assert tw.get_trading_dates("2025-12-30") == [D(2025, 12, 30), D(2025, 12, 31)]
    assert tw.get_trading_dates(end_date="2022-01-05") == [D(2022, 1, 4), D(2022, 1, 5)]


# --------------------------------------------------------------------------- store faults


def test_relative_tidewell_db_is_resolved_on_first_use(tmp_path, monkeypatch):
    here = tmp_path / "here"
    elsewhere = here / "elsewhere"
    tw.import_database(TINY, here / "m.duckdb")
    other = tmp_path / "other"
    shutil.copytree(TINY, other)
    rows = (other / "instruments.csv").read_text().replace("Alpha Co", "Other Co")
    (other / "instruments.csv").write_text(rows)
    tw.import_database(other, elsewhere / "m.duckdb")
    monkeypatch.setattr(_database, "_env_paths", {}, raising=False)
    tw.set_database(None)
    monkeypatch.chdir(here)
    monkeypatch.setenv("TIDEWELL_DB", "m.duckdb")
    assert tw.instruments("600001.XSHG").symbol == "Alpha Co"
    monkeypatch.chdir(elsewhere)
    assert tw.get_database_path() == str(here / "m.duckdb")
    assert tw.instruments("600001.XSHG").symbol == "Alpha Co"
    monkeypatch.setenv("TIDEWELL_DB", "./m.duckdb")  # a new value: resolved where it is first used
    assert tw.instruments("600001.XSHG").symbol == "Other Co"


def _read_all():
    """Every read call on the tiny store; returns how many raised TidewellError."""
    calls = [
        lambda: tw.instruments(["600001.XSHG"]),
        lambda: tw.get_trading_dates("2024-01-02", "2024-01-12"),
        lambda: tw.get_price_change_rate(["600001.XSHG"], "2024-01-02", "2024-01-12"),
        lambda: tw.index_weights("990001.XSHG", "2024-01-08"),
        lambda: tw.get_factor_exposure(["600001.XSHG"], "2024-01-11"),
        lambda: tw.get_factor_covariance("2024-01-09"),
        lambda: tw.get_specific_risk(["600001.XSHG"], "2024-01-12"),
        lambda: tw.get_industry(["600001.XSHG"], "2024-01-10"),
        lambda: tw.industry_names(),
    ]
    errors = []
    for call in calls:
        try:
            call()
        except tw.TidewellError as exc:
            errors.append(str(exc))
    return errors


def test_damaged_stores_raise_tidewell_errors_naming_the_file(tmp_path):
    import random

    good = tw.import_database(TINY, tmp_path / "good.duckdb")
    with open(good, "rb") as fh:
        data = fh.read()
    rng = random.Random(5)
    messages = []
    for i in range(12):
        damaged = bytearray(data)
        at = rng.randrange(0, len(data) - 4096)
        damaged[at : at + 4096] = bytes(rng.randrange(256) for _ in range(4096))
        path = tmp_path / f"damaged{i}.duckdb"
        path.write_bytes(bytes(damaged))
        tw.set_database(path)
        for message in _read_all():  # anything else than TidewellError fails the test
            assert str(path) in message and "rebuild it" in message, message
            messages.append(message)
    assert len(messages) > 5  # damage was found, not just read past


def test_store_without_its_tables(tmp_path):
    import duckdb

    bare = str(tmp_path / "bare.duckdb")
    con = duckdb.connect(bare)
    con.execute("CREATE TABLE meta (key VARCHAR, value VARCHAR)")
    con.execute("INSERT INTO meta VALUES ('schema_version', '1'), ('tidewell_version', 'x')")
    con.close()
    tw.set_database(bare)
    with pytest.raises(tw.TidewellError, match="bare.duckdb' has no table 'instruments'"):
        tw.instruments("600001.XSHG")
    partial = tw.import_database(TINY, tmp_path / "partial.duckdb")
    con = duckdb.connect(partial)
    con.execute("DROP TABLE price_changes")
    con.close()
    tw.set_database(partial)
    assert tw.instruments("600001.XSHG") is not None  # what is there still answers
    with pytest.raises(tw.TidewellError, match="has no table 'price_changes'.*rebuild it"):
        tw.get_price_change_rate("600001.XSHG", "2024-01-02", "2024-01-12")
    assert tw.get_trading_dates()[0] == D(2024, 1, 2)


def test_unwritable_demo_cache_says_where_to_point_instead(tmp_path, monkeypatch, read_only):
    from vantelo.optimize import portfolio_optimize

    cache = read_only(tmp_path / "cache")
    tw.set_database(None)
    monkeypatch.setenv("XDG_CACHE_HOME", str(cache))
    for call in (
        lambda: tw.instruments("600000.XSHG"),
        lambda: portfolio_optimize(["600000.XSHG", "600004.XSHG"], "2025-06-30"),
    ):
        with pytest.raises(tw.TidewellError) as info:
            call()
        message = str(info.value)
        assert str(cache / "tidewell" / "demo-") in message
        assert "XDG_CACHE_HOME" in message and "TIDEWELL_DB" in message


# --------------------------------------------------------------------------- trading status


def test_demo_closes_chain_the_change_rates(stocks_on):
    ids = sorted(set(stocks_on("2023-12-29")) & set(stocks_on("2024-06-28")))
    prices = tw.get_prices(ids, "2023-12-29", "2024-06-28")
    close = prices.close.unstack(0)[ids]
    rates = tw.get_price_change_rate(ids, "2024-01-02", "2024-06-28")[ids]
    ratio = (close / close.shift(1) - 1).iloc[1:]
    assert ratio.index.equals(rates.index)
    np.testing.assert_allclose(ratio.values, rates.values, rtol=0, atol=1e-6)

    suspended = prices.suspended.unstack(0)[ids].iloc[1:]
    assert 0.005 < suspended.values.mean() < 0.02
    assert (rates.values[suspended.values] == 0).all()  # no change while suspended
    up = (prices.close == prices.limit_up) & ~prices.suspended
    down = (prices.close == prices.limit_down) & ~prices.suspended
    assert up.sum() > 100 and down.sum() > 100  # moves that reached the limit ended there
    assert (prices.close <= prices.limit_up).all() and (prices.close >= prices.limit_down).all()


def test_demo_traded_values_follow_size_and_suspensions(stocks_on):
    ids = sorted(stocks_on("2024-06-28"))
    traded = tw.get_traded_value(ids, "2024-06-03", "2024-06-28")
    suspended = tw.get_prices(ids, "2024-06-03", "2024-06-28").suspended.unstack(0)
    suspended = suspended.reindex(index=traded.index, columns=ids).fillna(False).to_numpy(bool)
    values = traded.to_numpy()
    assert (values[suspended] == 0).all()
    assert (values[~suspended & ~np.isnan(values)] > 0).all()
    # Larger stocks trade more value, but less of themselves: the median stock of
    # the 300 index trades more than the median of the whole market.
    large = sorted(tw.index_weights("990300.XSHG", "2024-06-28").index)
    assert traded[large].median().median() > 2 * traded.median().median()


def test_demo_limits_follow_board_and_special_treatment(stocks_on):
    day, before = "2024-06-28", "2024-06-27"
    ids = sorted(set(stocks_on(before)) & set(stocks_on(day)))
    status = tw.get_trading_status(ids, day)
    assert status.index.tolist() == ids
    expected_board = np.where(
        status.index.str.startswith("688"),
        "star",
        np.where(status.index.str.match(r"30[01]"), "chinext", "main"),
    )
    assert (status.board.values == expected_board).all()
    assert 0.01 < status.special_treatment.mean() < 0.08
    share = np.where(status.board == "main", np.where(status.special_treatment, 0.05, 0.10), 0.20)
    previous = tw.get_prices(ids, before, before).close.droplevel("date")[ids]
    limits = tw.get_prices(ids, day, day).droplevel("date").loc[ids]
    np.testing.assert_allclose(limits.limit_up, np.round(previous * (1 + share), 2), atol=1e-9)
    np.testing.assert_allclose(limits.limit_down, np.round(previous * (1 - share), 2), atol=1e-9)
    assert (status.limit_up == (limits.close == limits.limit_up) & ~limits.suspended).all()


def test_trading_status_rejects_non_trading_days_and_keeps_request_order():
    with pytest.raises(tw.TidewellError, match="2024-06-29 is not a trading date"):
        tw.get_trading_status(["600000.XSHG"], "2024-06-29")
    got = tw.get_trading_status(
        ["600000.XSHG", "NOPE", "000001.XSHE", "600000.XSHG"], "2024-06-28"
    )
    assert got.index.tolist() == ["600000.XSHG", "000001.XSHE"]
    with pytest.raises(tw.TidewellError, match="unknown order_book_id 'NOPE'"):
        tw.get_prices("NOPE", "2024-06-03", "2024-06-28")
