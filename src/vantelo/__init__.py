"""vantelo: a long-only equity portfolio optimiser.

The entry point is :func:`vantelo.optimize.portfolio_optimize`; objectives live in
:mod:`vantelo.objective`, constraints in :mod:`vantelo.constraints` and benchmarks in
:mod:`vantelo.benchmark`. :func:`set_language` chooses the language of the
optimiser's messages (Chinese by default, or English).
"""

from vantelo.messages import get_language, set_language

__all__ = ["get_language", "set_language"]

__version__ = "0.1.0"
