"""Backtests a portfolio manager reads: the costs of trading A-shares, the measures
of a rebalanced path, and its report.

- `CostModel` (`vantelo.backtest.costs`): commission with a minimum per order, stamp
  duty on sales at the rate in force on each date, the transfer fee, the spread and
  market impact; `CostPenalty` (`vantelo.backtest.penalty`) adds its convex form to
  a date's objective.
- `measures`, `compare`, `annual_returns`, `monthly_returns`, `rolling`
  (`vantelo.backtest.performance`): the figures of one `RebalanceResult`, or several
  side by side.
- `write_html` (`vantelo.backtest.report`): one HTML file with the figures embedded,
  as `RebalanceResult.to_html` writes it.
"""

from vantelo.backtest.costs import STAMP_DUTY, TRANSFER_FEE, CostModel
from vantelo.backtest.penalty import CostPenalty
from vantelo.backtest.performance import (
    annual_returns,
    compare,
    measures,
    monthly_returns,
    rolling,
)

__all__ = [
    "STAMP_DUTY",
    "TRANSFER_FEE",
    "CostModel",
    "CostPenalty",
    "annual_returns",
    "compare",
    "measures",
    "monthly_returns",
    "rolling",
]
