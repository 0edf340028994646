"""The fuzz targets, one module per public module they call.

Importing this package registers every target in `reliability.runner.TARGETS`. A
target is named after the public name it calls ("optimize.parse_bnds"); a test
(tests/test_reliability.py) checks that every public name has one.
"""

from reliability.targets import (  # noqa: F401
    backtest,
    benchmark,
    constraints,
    diagnose,
    helper,
    objective,
    optimize,
    protocol,
    rebalance,
    report,
    risk,
    tidewell,
    trading,
)
