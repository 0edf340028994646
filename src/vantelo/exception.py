"""Exceptions and the warning category of vantelo."""

__all__ = ["InvalidArgument", "OptimizationFailed", "OptimizerWarning"]


class InvalidArgument(Exception):
    """An argument was rejected; the message says which and why."""


class OptimizationFailed(Exception):
    """The solver found no optimal portfolio.

    When the problem has no solution at all, `diagnosis` holds the
    `vantelo.diagnose.InfeasibilityReport` that says which limits collide;
    otherwise it is None.
    """

    diagnosis = None


class OptimizerWarning(Warning):
    """Category of the optimiser's warnings."""
