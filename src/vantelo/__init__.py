"""vantelo: a long-only equity portfolio optimiser.

The entry point is :func:`vantelo.optimize.portfolio_optimize`; objectives live in
:mod:`vantelo.objective`, constraints in :mod:`vantelo.constraints` and benchmarks in
:mod:`vantelo.benchmark`.
"""

__version__ = "0.1.0"
