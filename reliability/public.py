"""The public names that the fuzz targets and the leak check must cover.

They are found, not listed: every class and function defined by one of vantelo's
compiled modules (whatever extension modules the installed package has, so that a
module added later is included at once) and every name in `tidewell.__all__`. A
name with a single leading underscore counts too (`constraints._ensure_bound` is
part of the interface). Names are written "module.name" without the package
("optimize.parse_bnds", "tidewell.instruments"), as the fuzz targets are.

tests/test_reliability.py checks that each has a fuzz target and a leak-check
entry, except the few in `NOT_CALLS`, which take no input of their own.
"""

import importlib
import importlib.machinery
import importlib.util
import inspect
import pkgutil

# Public names that are no call to check, one line each, with the reason.
NOT_CALLS = {
    "diagnose.InfeasibilityReport": "made by explain_infeasibility, whose entries exercise it",
    "diagnose._explain_failure": "the driver's hook on an infeasible problem; "
    "portfolio_optimize's infeasible entries call it",
    "trading.Orders": "the DataFrame to_orders returns; to_orders' entries exercise it",
    "objective._risk_parity_expr": "the driver's form of RiskParity (risk in a unit of the "
    "equal-weight variance, the barrier without stocks capped at 0); "
    "portfolio_optimize's RiskParity entries and targets call it",
    "objective._objective_terms": "the direct back-end's reading of an objective; "
    "portfolio_optimize's entries with the package's own objectives call it",
    "constraints._constraint_terms": "the direct back-end's reading of a constraint; "
    "portfolio_optimize's entries with the package's own constraints call it",
    "report.PortfolioReport": "made by portfolio_report, whose entries exercise it",
    "core.OptimizationResult": "made by core.optimize, whose entries read every member",
    "backtest.STAMP_DUTY": "a table of dated rates, read by CostModel, whose entries use it",
    "backtest.TRANSFER_FEE": "a table of dated rates, read by CostModel, whose entries use it",
    "tidewell.TidewellError": "an exception class: tidewell raises it, callers catch it",
    "tidewell.Instrument": "a plain record type (a NamedTuple) that tidewell returns",
    "tidewell.RiskModel": "made by build_risk_model, whose entries exercise it",
}


def compiled_modules():
    """The full names of vantelo's extension modules, in name order."""
    import vantelo

    found = []
    for info in pkgutil.iter_modules(vantelo.__path__):
        name = "vantelo." + info.name
        spec = importlib.util.find_spec(name)
        # By the file: an editable install wraps the loader.
        origin = (spec and spec.origin) or ""
        if origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
            found.append(name)
    return sorted(set(found))


def defined_names(module):
    """The classes and functions `module` defines itself (not those it imports)."""
    return sorted(
        name
        for name, value in vars(module).items()
        if not name.startswith("__")
        and (inspect.isclass(value) or inspect.isroutine(value))
        and getattr(value, "__module__", None) == module.__name__
    )


# The Python modules of vantelo whose `__all__` is a public API taking input (beside the
# compiled ones, which are found on disk).
PYTHON_MODULES = ["vantelo.report", "vantelo.backtest"]


def public_names():
    """Every public name of the compiled modules, of the Python modules above and of
    tidewell, as "module.name"."""
    import tidewell

    names = []
    for module_name in PYTHON_MODULES:
        module = importlib.import_module(module_name)
        short = module_name.split(".", 1)[1]
        names += [f"{short}.{name}" for name in module.__all__]
    for module_name in compiled_modules():
        module = importlib.import_module(module_name)
        short = module_name.split(".", 1)[1]
        names += [f"{short}.{name}" for name in defined_names(module)]
    names += [f"tidewell.{name}" for name in tidewell.__all__]
    return names
