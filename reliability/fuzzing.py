"""Every fuzz target, registered, and what runs them: the one import the fuzz runner
(`reliability.fuzz`) and the tests need.

The targets live in `reliability.targets` (one module per public module), the
registry and the case runner in `reliability.runner`, the fakes of the market data
in `reliability.fakes` and the small real store in `reliability.store`.
"""

import reliability.targets  # noqa: F401  (registers every target)
from reliability.runner import RETURNED, TARGETS, fuzz, register_crash_probe, run_case
from reliability.store import TINY, tiny_store

__all__ = ["RETURNED", "TARGETS", "TINY", "fuzz", "register_crash_probe", "run_case", "tiny_store"]
