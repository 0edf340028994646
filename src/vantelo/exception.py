"""Exceptions and the warning category of vantelo."""

__all__ = ["InvalidArgument", "OptimizationFailed", "OptimizerWarning"]


class InvalidArgument(Exception):
    """An argument was rejected; the message says which and why."""


class OptimizationFailed(Exception):
    """The solver found no optimal portfolio."""


class OptimizerWarning(Warning):
    """Category of the optimiser's warnings."""
