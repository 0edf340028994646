"""Benchmarks: the custom base class and the index benchmark over the data client."""

import datetime

import pandas as pd
import pytest
from conftest import stock

from vantelo.benchmark import IndexBenchmark, OptimizeBenchmark
from vantelo.exception import InvalidArgument

DAY = datetime.date(2024, 6, 28)


@pytest.fixture
def client(monkeypatch):
    """Stand-in client functions that record their calls."""
    import tidewell

    calls = []
    records = {
        "990300.XSHG": stock("990300.XSHG", kind="INDX"),
        "600000.XSHG": stock("600000.XSHG"),
    }
    weights = pd.Series({"600000.XSHG": 0.6, "000001.XSHE": 0.4})
    rates = pd.Series([0.01, -0.002, 0.004])

    def instruments(order_book_ids):
        calls.append(("instruments", order_book_ids))
        return records.get(order_book_ids)

    def index_weights(order_book_id, date):
        calls.append(("index_weights", order_book_id, date))
        return weights

    def trading_date_offset(date, n):
        calls.append(("trading_date_offset", date, n))
        return date - datetime.timedelta(days=abs(n))

    def get_price_change_rate(order_book_id, start, end):
        calls.append(("get_price_change_rate", order_book_id, start, end))
        return rates

    for name, fn in [
        ("instruments", instruments),
        ("index_weights", index_weights),
        ("trading_date_offset", trading_date_offset),
        ("get_price_change_rate", get_price_change_rate),
    ]:
        monkeypatch.setattr(tidewell, name, fn, raising=False)
    return calls, weights, rates


def test_index_benchmark_stores_code_after_one_lookup(client):
    calls, _, _ = client
    benchmark = IndexBenchmark("990300.XSHG")
    assert benchmark._order_book_id == "990300.XSHG"
    assert calls == [("instruments", "990300.XSHG")]
    assert isinstance(benchmark, OptimizeBenchmark) and IndexBenchmark.__doc__ is None


@pytest.mark.parametrize(
    "code, message",
    [
        ("123456.XSHG", "无效的 benchmark: 123456.XSHG"),
        ("600000.XSHG", "仅支持指数类型的 benchmark, 传入的 benchmark 是 CS 类型"),
    ],
)
def test_index_benchmark_rejections(client, code, message):
    with pytest.raises(InvalidArgument) as info:
        IndexBenchmark(code)
    assert str(info.value) == message


def test_get_weight_returns_client_result_unchanged(client):
    calls, weights, _ = client
    benchmark = IndexBenchmark(order_book_id="990300.XSHG")
    assert benchmark.get_weight(DAY) is weights
    assert benchmark.get_weight(date=DAY) is weights
    assert calls[1:] == [("index_weights", "990300.XSHG", DAY)] * 2


@pytest.mark.parametrize("kwargs, window", [({}, 252), ({"window": 60}, 60)])
def test_expected_returns_annualise_mean_daily_rate(client, kwargs, window):
    calls, _, rates = client
    benchmark = IndexBenchmark("990300.XSHG")
    result = benchmark.get_expected_returns(DAY, **kwargs)
    assert result == pytest.approx(rates.mean() * 252)
    start = DAY - datetime.timedelta(days=window)
    assert calls[1:] == [
        ("trading_date_offset", DAY, -window),
        ("get_price_change_rate", "990300.XSHG", start, DAY),
    ]


def test_each_call_queries_again(client):
    calls, _, _ = client
    benchmark = IndexBenchmark("990300.XSHG")
    benchmark.get_expected_returns(DAY)
    benchmark.get_expected_returns(DAY)
    assert len(calls) == 5


def test_base_class_methods_raise_not_implemented():
    base = OptimizeBenchmark()
    assert OptimizeBenchmark.__doc__ == "自定义基准抽象类"
    for call in (lambda: base.get_weight(DAY), lambda: base.get_expected_returns(DAY)):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert info.value.args == ()


def test_base_class_methods_are_marked_abstract():
    import inspect

    for name in ("get_weight", "get_expected_returns"):
        assert getattr(OptimizeBenchmark, name).__isabstractmethod__ is True
    assert (
        str(inspect.signature(OptimizeBenchmark.get_expected_returns))
        == "(self, date, window=252)"
    )


def test_subclass_overriding_get_weight_only():
    class Custom(OptimizeBenchmark):
        def get_weight(self, date):
            return pd.Series({"600000.XSHG": 1.0})

    custom = Custom()
    assert custom.get_weight(DAY).sum() == 1.0
    with pytest.raises(NotImplementedError):
        custom.get_expected_returns(DAY, 20)


def test_docstrings():
    assert OptimizeBenchmark.get_weight.__doc__.splitlines()[1].strip() == (
        "获取 date 日期的持仓权重。此函数必需实现。"
    )
    assert ":return: float" in OptimizeBenchmark.get_expected_returns.__doc__


def test_client_errors_propagate(client, monkeypatch):
    import tidewell

    def broken(order_book_id, date):
        raise LookupError("no such date")

    monkeypatch.setattr(tidewell, "index_weights", broken)
    with pytest.raises(LookupError, match="no such date"):
        IndexBenchmark("990300.XSHG").get_weight(DAY)
