"""What the targets of several modules share: pools, and calls of the objective and
constraint protocols (`method(g, zeta, helper)`) with drawn `g` and `zeta`."""

import datetime
import math

import cvxpy as cp
import numpy as np
from hypothesis import strategies as st

from reliability import values as v
from reliability.fakes import make_helper, scenarios, use
from reliability.runner import arity, target

sorted_pools = st.lists(st.sampled_from(v.CODES), min_size=0, max_size=5, unique=True).map(sorted)
G_KINDS = ["variable", "variable", "variable", "wrong length", "matrix", "array", "scalar"]
ZETAS = [1.0, 1.0, 1, 2.0, "n", "variable", "variable", math.nan]


def _make_g(kind, n):
    if not isinstance(kind, str):  # a drawn value, passed as it is
        return kind
    if kind == "variable":
        return cp.Variable(n, nonneg=True)
    if kind == "wrong length":
        return cp.Variable(n + 1, nonneg=True)
    if kind == "matrix":
        return cp.Variable((max(n, 1), 2))
    if kind == "array":
        return np.full(n, 1.0 / max(n, 1))
    if kind == "scalar":
        return cp.Variable()
    return kind


def _make_zeta(kind, n):
    if not isinstance(kind, str):
        return kind
    if kind == "n":
        return n
    if kind == "variable":
        return cp.Variable(nonneg=True)
    return kind


def protocol_arguments(data):
    """(scenario, pool, g, zeta, benchmark) for an objective's or constraint's methods:
    g and zeta are kinds (built in the thunk) or drawn values."""
    scenario = data.draw(scenarios)
    pool = data.draw(sorted_pools)
    g = data.draw(st.one_of(st.sampled_from(G_KINDS), v.anything))
    zeta = data.draw(st.one_of(st.sampled_from(ZETAS), v.anything))
    benchmark = data.draw(st.sampled_from([None, "object"]))
    return scenario, pool, g, zeta, benchmark


def call_protocol(scenario, pool, g, zeta, benchmark, build, method):
    """Builds the object, a helper and g/zeta inside the thunk, then calls `method`."""

    def call():
        thing = build()
        helper = make_helper(
            pool, datetime.date(2024, 6, 28), object() if benchmark else None, scenario=scenario
        )
        n = len(pool)
        g_value, zeta_value = _make_g(g, n), _make_zeta(zeta, n)
        if method == "hard":
            return thing.hard
        if method == "get_preferred_solver":
            return thing.get_preferred_solver()
        result = getattr(thing, method)(g_value, zeta_value, helper)
        # Use what came back as the driver would.
        if method == "get_objective_expr":
            cp.Minimize(result)
        else:
            list(result)
        return result

    return use(scenario, call)


def protocol_target(module, name, arguments, methods, weight=0.5):
    """Registers "module.name": construct `name` of `module` with drawn `arguments` (a
    strategy of tuples), now and then of the wrong shape, and call one of `methods`."""
    factory = getattr(module, name)

    @target(module.__name__.split(".")[-1] + "." + name, weight=weight)
    def build(data):
        args = data.draw(arguments)
        args, kwargs = arity(data, args, {})
        method = data.draw(st.sampled_from(methods))
        return call_protocol(*protocol_arguments(data), lambda: factory(*args, **kwargs), method)

    return build


def constructed(module, arguments):
    """Strategies of zero-argument functions that build the objects named in `arguments`
    ({name: strategy of argument tuples}) from drawn arguments."""

    def builder(factory):
        return lambda args: lambda: factory(*args)

    return st.one_of(
        *[strategy.map(builder(getattr(module, name))) for name, strategy in arguments.items()]
    )
