"""Benchmarks: what active risk and return are measured against."""

import datetime
from abc import abstractmethod

import pandas as pd

class OptimizeBenchmark:
    """Base class of custom benchmarks: implement `get_weight` and `get_expected_returns`."""

    @abstractmethod
    def get_weight(self, date: datetime.date) -> pd.Series:
        """The benchmark's holding weights on `date`, keyed by code. Required."""
    @abstractmethod
    def get_expected_returns(self, date: datetime.date, window: int = 252) -> float:
        """The benchmark's annual expected return on `date`, over `window` trading days."""

class IndexBenchmark(OptimizeBenchmark):
    """An index's constituent weights from `tidewell`.

    :param order_book_id: the index's code
    :raises InvalidArgument: when the code is unknown or not an index
    """

    _order_book_id: str
    def __init__(self, order_book_id: str) -> None: ...
    def get_weight(self, date: datetime.date) -> pd.Series:
        """`tidewell.index_weights(order_book_id, date)`: the latest rebalance's weights."""
    def get_expected_returns(self, date: datetime.date, window: int = 252) -> float:
        """The index's mean daily change rate over `window` trading days to `date`, × 252."""
    @property
    def order_book_id(self) -> str:
        """The index's code."""
