"""Trading costs as part of what a date's optimisation minimises.

`CostPenalty` wraps an objective and adds the cost of moving from the holding to the
new weights, in the convex form of a `CostModel` (`CostModel.convex_terms`): for each
stock a rate on what is bought, a rate on what is sold and an impact term that grows
as |trade| ** (1 + exponent), 3/2 with the square-root law. The caller's `weight`
turns a cost (a share of the portfolio's value) into the units of the objective. The
minimum commission is a fixed charge per order, no convex term: it is charged by the
backtest, not minimised.

A rebalance builds one per date (`cost_penalty` of `vantelo.rebalance.rebalance`)
around the date's own objective and drifted holding.
"""

from __future__ import annotations

import math
import numbers

import numpy as np
import pandas as pd

import vantelo.objective
from vantelo.exception import InvalidArgument

__all__ = ["CostPenalty"]

# Objectives whose problem is not written in the weights themselves: the ratio
# objectives solve for scaled weights, risk parity for unnormalised ones.
_UNSCALED_ONLY = ("MaxSharpeRatio", "MaxInformationRatio", "RiskParity")
PREFERRED_SOLVER = "CLARABEL"


class CostPenalty(vantelo.objective.OptimizationObjective):
    """`objective` plus `weight` times the cost of trading from `holding`.

    :param objective: the objective to wrap (any but MaxSharpeRatio,
        MaxInformationRatio and RiskParity, whose problems are not in the weights)
    :param costs: a `CostModel`
    :param holding: the weights held before the trade (a Series by code; empty or
        None: cash)
    :param date: the trading day, for the rates in force and the traded values
    :param weight: how much a cost of 1 (the whole portfolio's value) weighs in the
        objective; a number above 0
    """

    def __init__(self, objective, costs, holding, date, weight):
        if not isinstance(objective, vantelo.objective.OptimizationObjective):
            raise InvalidArgument(f"objective: expected an objective, got {objective!r}")
        kinds = tuple(getattr(vantelo.objective, name) for name in _UNSCALED_ONLY)
        if isinstance(objective, kinds):
            raise InvalidArgument(
                f"objective: {type(objective).__name__} is solved for scaled weights, so a "
                "cost penalty cannot be added to it; use it without one, or another objective"
            )
        usable = isinstance(weight, numbers.Real) and not isinstance(weight, bool)
        if not (usable and math.isfinite(weight) and weight > 0):
            raise InvalidArgument(f"weight: expected a finite number above 0, got {weight!r}")
        self._objective = objective
        self._costs = costs
        try:
            self._holding = pd.Series(holding if holding is not None else {}, dtype=float)
        except (TypeError, ValueError) as error:
            raise InvalidArgument(
                f"holding: expected weights by code (a Series or a dict), got {holding!r}"
            ) from error
        self._date = date
        self._weight = float(weight)
        self._terms = None

    def __repr__(self):
        return f"CostPenalty({self._objective!r}, weight={self._weight:g})"

    def terms(self, pool):
        """The convex cost terms over `pool` (computed once per pool)."""
        if self._terms is None or list(self._terms.index) != list(pool):
            self._terms = self._costs.convex_terms(pool, self._date)
        return self._terms

    def trading_cost(self, g, helper):
        """The convex cost of moving from the holding to `g`, as a cvxpy expression."""
        # Loaded here: a schedule without costs in its objective never needs cvxpy.
        import cvxpy as cp

        pool = list(helper.order_book_ids)
        terms = self.terms(pool)
        held = self._holding.reindex(pool, fill_value=0.0).to_numpy(dtype=float)
        trade = g - held
        cost = terms["buy"].to_numpy() @ cp.pos(trade) + terms["sell"].to_numpy() @ cp.neg(trade)
        impact = terms["impact"].to_numpy()
        liquid = np.flatnonzero(impact > 0)
        if len(liquid):
            power = 1.0 + self._costs.impact_exponent
            cost = cost + impact[liquid] @ cp.power(cp.abs(trade[liquid]), power)
        return cost

    def get_objective_expr(self, g, zeta, helper):
        if not (isinstance(zeta, numbers.Real) and float(zeta) == 1.0):
            raise InvalidArgument(
                "CostPenalty: the problem's weights are scaled (zeta is not 1); wrap an "
                "objective on the weights themselves"
            )
        inner = self._objective.get_objective_expr(g, zeta, helper)
        return inner + self._weight * self.trading_cost(g, helper)

    def get_internal_constraints(self, g, zeta, helper):
        return self._objective.get_internal_constraints(g, zeta, helper)

    def get_preferred_solver(self):
        # The 3/2-power terms become a tower of cones that the first-order solver
        # takes many seconds over; the interior-point one solves them in a fraction
        # of that, and to a tighter accuracy.
        import cvxpy as cp

        if PREFERRED_SOLVER in cp.installed_solvers():
            return PREFERRED_SOLVER
        return self._objective.get_preferred_solver()
