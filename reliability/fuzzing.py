"""Fuzz targets over the public API of vantelo, and the machinery that runs them.

A target draws the arguments of one call (through Hypothesis' `data` object) and
returns a thunk that makes the call. `run_case` runs a thunk and reduces what
happened to an outcome: "(returned)" or the name of the exception that came out.
Exceptions (subclasses of `Exception`) are the documented way to refuse input;
anything else escaping (a `BaseException` such as `SystemExit`) propagates to the
runner, and a crash kills the process, which the runner sees from outside.

`SystemError` is the one exception that counts as a failure: CPython raises it
when a C function returns an error without setting one, or sets one and returns a
result, which is a bug in the extension, not a refusal of the input.

The market-data side is faked: `installed_fakes()` replaces the `tidewell` calls
the modules make and `vantelo.optimize.OptimizeHelper` with stand-ins that, per
case, answer honestly, return drawn garbage, return a mangled version of the
honest answer (NaN, wrong shape, wrong dtype, ...), or raise.
"""

import atexit
import collections
import contextlib
import datetime
import itertools
import math
import os
import shutil
import sys
import tempfile
import warnings
from pathlib import Path

import cvxpy as cp
import numpy as np
import pandas as pd
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import seed as hypothesis_seed
from hypothesis import strategies as st

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from conftest import FakeHelper, Record, stock  # noqa: E402

import tidewell  # noqa: E402
import vantelo.benchmark as benchmark_module  # noqa: E402
import vantelo.constraints as constraints  # noqa: E402
import vantelo.helper as helper_module  # noqa: E402
import vantelo.objective as objective  # noqa: E402
import vantelo.optimize as optimize  # noqa: E402
import vantelo.trading as trading  # noqa: E402
from reliability import values as v  # noqa: E402
from vantelo.const import STYLE_FACTORS, CovModel  # noqa: E402

FORBIDDEN = (SystemError,)
RETURNED = "(returned)"

# ---------------------------------------------------------------------------
# Fakes
# ---------------------------------------------------------------------------

RECORDS = {code: stock(code) for code in v.CODES + [v.OUTSIDE]}
RECORDS[v.INDEX] = stock(v.INDEX, kind="INDX")
RECORDS[v.FUND] = stock(v.FUND, kind="ETF")
RECORDS[v.UNLISTED] = stock(v.UNLISTED, listed="2030-01-02")
RECORDS[v.DELISTED] = stock(v.DELISTED, delisted="2020-01-02")

FACTORS = STYLE_FACTORS + ["Banks", "Media"]


def _rng():
    return np.random.default_rng(7)


def _ids(codes):
    if isinstance(codes, str):
        return [codes]
    return list(itertools.islice(codes, 64))


def _instruments(order_book_ids):
    if isinstance(order_book_ids, str):
        return RECORDS.get(order_book_ids)
    return [RECORDS[c] for c in _ids(order_book_ids) if isinstance(c, str) and c in RECORDS]


def _price_change_rate(order_book_ids, start_date, end_date):
    if isinstance(order_book_ids, str):
        return pd.Series(_rng().normal(0.0005, 0.01, 20))
    ids = _ids(order_book_ids)
    return pd.DataFrame(_rng().normal(0.0005, 0.01, (20, len(ids))), columns=ids)


def _factor_exposure(order_book_ids, date):
    ids = _ids(order_book_ids)
    return pd.DataFrame(_rng().normal(size=(len(ids), len(FACTORS))), index=ids, columns=FACTORS)


def _factor_covariance(date, cov_model):
    a = _rng().normal(scale=0.01, size=(len(FACTORS), len(FACTORS)))
    return pd.DataFrame(a @ a.T, index=FACTORS, columns=FACTORS)


HONEST_CLIENT = {
    "instruments": _instruments,
    "index_weights": lambda order_book_id, date: pd.Series(
        {v.CODES[0]: 0.3, v.CODES[1]: 0.3, v.OUTSIDE: 0.4}
    ),
    "trading_date_offset": lambda date, n: datetime.date(2024, 1, 2),
    "get_previous_trading_date": lambda date: datetime.date(2024, 6, 27),
    "get_price_change_rate": _price_change_rate,
    "get_factor_exposure": _factor_exposure,
    "get_specific_risk": lambda ids, date, cov_model: pd.Series(0.02, index=_ids(ids)),
    "get_factor_covariance": _factor_covariance,
    "get_industry": lambda ids, date, classification: pd.Series(
        {c: v.INDUSTRIES[i % 2] for i, c in enumerate(_ids(ids))}, dtype=object
    ),
}


def _trading_status(order_book_ids, date):
    ids = [c for c in _ids(order_book_ids) if isinstance(c, str) and c in RECORDS]
    i = np.arange(len(ids))
    return pd.DataFrame(
        {
            "suspended": i % 5 == 1,
            "limit_up": i % 5 == 2,
            "limit_down": i % 5 == 3,
            "special_treatment": i % 7 == 4,
            "close": 5.0 + i,
            "board": np.array(["main", "chinext", "star"], dtype=object)[i % 3],
        },
        index=pd.Index(ids, name="order_book_id"),
    )


HONEST_CLIENT["get_trading_status"] = _trading_status

MUTATIONS = [
    "nan",
    "inf",
    "asymmetric",
    "shrink",
    "grow",
    "object",
    "complex",
    "strings",
    "negate",
    "empty",
    "list",
    "transpose",
    "duplicate_labels",
    "reversed",
]


def mutate(value, kind):
    """A mangled copy of an honest answer; the value itself when the mangling does not apply."""
    try:
        if isinstance(value, (pd.Series, pd.DataFrame, np.ndarray)):
            out = value.copy()
            flat = out.values if isinstance(out, (pd.Series, pd.DataFrame)) else out
            if kind in ("nan", "inf"):
                out = out.astype(float)
                cell = (0,) * out.ndim
                if isinstance(out, np.ndarray):
                    out[cell] = math.nan if kind == "nan" else math.inf
                else:
                    out.iloc[cell] = math.nan if kind == "nan" else math.inf
                return out
            if kind == "asymmetric" and flat.ndim == 2 and flat.shape[0] > 1:
                out = out.astype(float)
                if isinstance(out, np.ndarray):
                    out[0, -1] += 0.1
                else:
                    out.iloc[0, -1] += 0.1
                return out
            if kind == "shrink":
                return out[:-1] if isinstance(out, np.ndarray) else out.iloc[:-1]
            if kind == "grow":
                return (
                    np.concatenate([out, out[:1]])
                    if isinstance(out, np.ndarray)
                    else (pd.concat([out, out.iloc[:1]]))
                )
            if kind == "object":
                return out.astype(object)
            if kind == "complex":
                return out.astype(complex) * 1j
            if kind == "strings":
                return out.astype(str)
            if kind == "negate":
                return -out
            if kind == "empty":
                return out[:0] if isinstance(out, np.ndarray) else out.iloc[:0]
            if kind == "list":
                return flat.tolist()
            if kind == "transpose":
                return out.T
            if kind == "duplicate_labels" and not isinstance(out, np.ndarray) and len(out):
                labels = list(out.index)
                out.index = [labels[0]] * len(labels)
                return out
            if kind == "reversed":
                return out[::-1] if isinstance(out, np.ndarray) else out.iloc[::-1]
        if isinstance(value, list):
            if kind == "shrink":
                return value[:-1]
            if kind in ("grow", "duplicate_labels"):
                return value + value[:1]
            if kind == "empty":
                return []
            if kind == "reversed":
                return value[::-1]
            if kind == "nan":
                return value[:-1] + [math.nan]
        if isinstance(value, tuple) and kind in ("nan", "shrink", "negate", "object"):
            return tuple(mutate(part, kind) for part in value)
    except Exception:
        pass
    return value


def _raise_hostile(name):
    def fail(*args, **kwargs):
        raise v.HostileError(name)

    return fail


def resolve(spec, honest):
    """Turns an override spec into the answer: ("value", x), ("mutate", kind) or ("raise",)."""
    if spec[0] == "value":
        return spec[1]
    if spec[0] == "mutate":
        return mutate(honest, spec[1])
    raise v.HostileError("fake answer")


override_specs = st.one_of(
    st.tuples(st.just("mutate"), st.sampled_from(MUTATIONS)),
    st.tuples(st.just("mutate"), st.sampled_from(MUTATIONS)),
    st.tuples(st.just("value"), v.anything),
    st.just(("raise",)),
)

fuzzed_records = st.builds(
    Record,
    order_book_id=v.weighted(v.codes),
    type=v.weighted(st.sampled_from(["CS", "INDX", "ETF"])),
    listed_date=v.weighted(st.sampled_from(["2010-01-04", "2024-06-28", "2030-01-02"])),
    de_listed_date=v.weighted(st.sampled_from(["0000-00-00", "2024-06-28", "2020-01-02"])),
)


class Scenario:
    """What the fakes answer during one case."""

    def __init__(self, client=None, helper_options=None, helper_overrides=None):
        self.client = client or {}
        self.helper_options = helper_options or {}
        self.helper_overrides = helper_overrides or {}


_current = [Scenario()]


def _client_function(name):
    honest = HONEST_CLIENT[name]

    def call(*args, **kwargs):
        spec = _current[0].client.get(name)
        if spec is None:
            return honest(*args, **kwargs)
        if spec[0] == "mutate":
            return mutate(honest(*args, **kwargs), spec[1])
        return resolve(spec, None)

    call.__name__ = name
    return call


HELPER_DATA = [
    "order_book_ids",
    "date",
    "prev_trading_date",
    "benchmark",
    "union_components",
    "benchmark_weight",
    "benchmark_components",
]
HELPER_METHODS = [
    "get_cov_matrix",
    "get_union_cov_matrix",
    "get_factor_exposure",
    "get_benchmark_style",
    "get_industry_mapping",
    "get_benchmark_industry_weight",
    "get_cov_factor",
    "get_union_cov_factor",
]


def make_helper(order_book_ids, date, benchmark, cov_model=None, scenario=None):
    """A FakeHelper for the pool, with the scenario's options and corrupted members."""
    scenario = scenario or _current[0]
    options = dict(scenario.helper_options)
    cycle = options.pop("industries", None) or ["Banks"]
    pool = list(order_book_ids)
    options["industries"] = [cycle[i % len(cycle)] for i in range(len(pool))]
    helper = FakeHelper(pool, benchmark=benchmark, date=date, **options)
    raising = {}
    for member, spec in scenario.helper_overrides.items():
        if member in HELPER_DATA:
            if spec[0] == "raise":
                raising[member] = property(_raise_hostile(member))
            else:
                setattr(helper, member, resolve(spec, getattr(helper, member)))
        else:
            original = getattr(helper, member, None)

            def answer(*args, _original=original, _spec=spec, **kwargs):
                honest = _original(*args, **kwargs) if _original is not None else None
                return resolve(_spec, honest)

            setattr(helper, member, answer)
    if raising:
        helper.__class__ = type("RaisingHelper", (FakeHelper,), raising)
    return helper


@contextlib.contextmanager
def installed_fakes():
    """Puts the fakes in place of the market-data client and of OptimizeHelper."""
    saved_client = {name: getattr(tidewell, name, None) for name in HONEST_CLIENT}
    saved_helper = optimize.OptimizeHelper
    for name in HONEST_CLIENT:
        setattr(tidewell, name, _client_function(name))
    optimize.OptimizeHelper = lambda *args: make_helper(*args)
    try:
        yield
    finally:
        optimize.OptimizeHelper = saved_helper
        for name, value in saved_client.items():
            if value is None:
                delattr(tidewell, name)
            else:
                setattr(tidewell, name, value)
        _current[0] = Scenario()


scenarios = st.builds(
    Scenario,
    client=st.one_of(
        st.just({}),
        st.dictionaries(st.sampled_from(sorted(HONEST_CLIENT)), override_specs, max_size=2),
        st.fixed_dictionaries(
            {
                "instruments": st.one_of(
                    st.lists(fuzzed_records, max_size=4), fuzzed_records, st.none()
                ).map(lambda answer: ("value", answer))
            }
        ),
    ),
    helper_options=st.fixed_dictionaries(
        {
            "seed": st.integers(0, 3),
            "factor_form": st.booleans(),
            "benchmark_weights": st.one_of(
                st.none(),
                st.dictionaries(
                    st.sampled_from(v.CODES + [v.OUTSIDE]), st.floats(0, 1), max_size=4
                ),
            ),
            "industries": st.lists(
                st.sampled_from(v.INDUSTRIES + ["Steel"]), min_size=1, max_size=3
            ),
        }
    ),
    helper_overrides=st.one_of(
        st.just({}),
        st.dictionaries(st.sampled_from(HELPER_DATA + HELPER_METHODS), override_specs, max_size=2),
    ),
)


def use(scenario, call):
    """The thunk `call`, run with `scenario` as the fakes' answers."""

    def thunk():
        _current[0] = scenario
        return call()

    return thunk


# ---------------------------------------------------------------------------
# Running cases
# ---------------------------------------------------------------------------

TARGETS = collections.OrderedDict()


def target(name, weight=1.0, env="fakes"):
    """Registers a target: a function of Hypothesis' `data` returning a thunk.

    `env` names the context its cases run in: "fakes" (the market-data client and
    the helper replaced) or "store" (the real client over a small database).
    """

    def register(build):
        TARGETS[name] = (build, weight, env)
        return build

    return register


def run_case(thunk):
    """The outcome of one call: RETURNED or the qualified name of its exception."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            thunk()
        except Exception as error:  # refusing input with an exception is fine
            kind = type(error)
            return f"{kind.__module__}.{kind.__qualname__}", error
    return RETURNED, None


def documented(error):
    """Whether `error`, from a tidewell call of the right shape, is one its docs promise.

    Every tidewell error is a TidewellError; errors of the caller's own objects
    (the hostile ones) pass through.
    """
    return isinstance(error, (tidewell.TidewellError, v.HostileError))


def fuzz(
    name, examples, tally, failures, derandomize=False, seed=None, deviations=None, samples=None
):
    """Runs `examples` cases of target `name`, counting outcomes into `tally`.

    Forbidden exceptions are appended to `failures` as (target, outcome, message);
    for tidewell targets, errors other than the documented ones to `deviations`;
    the first message of each exception type to `samples` (a dict), if given.
    """
    build, _, env = TARGETS[name]

    @settings(
        max_examples=examples,
        derandomize=derandomize,
        database=None,
        deadline=None,
        phases=[Phase.generate],
        suppress_health_check=list(HealthCheck),
    )
    @given(st.data())
    def run(data):
        thunk = build(data)
        outcome, error = run_case(thunk)
        tally[outcome] += 1
        if samples is not None and error is not None and outcome not in samples:
            samples[outcome] = _describe(error)
        if isinstance(error, FORBIDDEN):
            failures.append((name, outcome, _describe(error)))
        elif (
            deviations is not None
            and env == "store"
            and error is not None
            and getattr(thunk, "shaped", True)
            and not documented(error)
        ):
            deviations.append((name, outcome, _describe(error)))

    if seed is not None and not derandomize:
        run = hypothesis_seed(seed)(run)
    with ENVIRONMENTS[env]():
        run()


def _describe(error):
    try:
        return str(error)[:300]
    except Exception:
        return "<unprintable>"


def _arity(data, args, kwargs, shapes=("extra", "keyword", "none")):
    """Now and then a call of the wrong shape: an extra argument or an unknown keyword."""
    shape = data.draw(st.sampled_from(["as is"] * 10 + list(shapes)))
    if shape == "extra":
        return args + (data.draw(v.anything),), kwargs
    if shape == "keyword":
        return args, dict(kwargs, no_such_argument=1)
    if shape == "none":
        return (), {}
    return args, kwargs


def _call(data, function, *args, **kwargs):
    shaped_args, shaped_kwargs = _arity(data, args, kwargs)
    thunk = lambda: function(*shaped_args, **shaped_kwargs)  # noqa: E731
    thunk.shaped = shaped_args is args and shaped_kwargs is kwargs
    return thunk


# ---------------------------------------------------------------------------
# Shared argument strategies
# ---------------------------------------------------------------------------

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


# ---------------------------------------------------------------------------
# vantelo.optimize
# ---------------------------------------------------------------------------


@target("optimize.to_enum")
def _to_enum(data):
    value = data.draw(v.weighted(st.sampled_from(list(CovModel) + ["daily", "weekly", 3])))
    enum_type = data.draw(v.weighted(st.sampled_from([CovModel, v.IndustryClassification])))
    return _call(data, optimize.to_enum, value, enum_type)


@target("optimize.to_date")
def _to_date(data):
    return _call(data, optimize.to_date, data.draw(v.weighted(v.dates)))


@target("optimize.ensure_date_str")
def _ensure_date_str(data):
    return _call(data, optimize.ensure_date_str, data.draw(v.weighted(v.dates)))


@target("optimize.ensure_order_book_ids")
def _ensure_order_book_ids(data):
    pool = data.draw(v.weighted(v.pools))
    date = data.draw(v.weighted(v.dates))
    return use(data.draw(scenarios), _call(data, optimize.ensure_order_book_ids, pool, date))


@target("optimize.ensure_bound")
def _ensure_bound(data):
    return _call(data, optimize.ensure_bound, data.draw(v.bounds))


@target("optimize.parse_bnds")
def _parse_bnds(data):
    bnds = data.draw(v.bnds)
    pool = data.draw(v.weighted(sorted_pools))
    return _call(data, optimize.parse_bnds, bnds, pool)


class FuzzBenchmark(benchmark_module.OptimizeBenchmark):
    """A custom benchmark; the fake helper never asks it for data."""


class SolverObjective(objective.MinVariance):
    """MinVariance asking for a drawn solver name."""

    def __init__(self, solver):
        self.solver = solver

    def get_preferred_solver(self):
        return self.solver


class DuckConstraint:
    """A constraint object by duck typing, with drawn `hard` and result."""

    def __init__(self, hard, result):
        self.hard = hard
        self._result = result

    def to_constraints(self, g, zeta, helper):
        if isinstance(self._result, str) and self._result == "cap":
            return [g[0] <= 0.3 * zeta]
        if isinstance(self._result, str) and self._result == "impossible":
            return [cp.sum(g) >= 2 * zeta]
        return self._result


def _objective_factories():
    """Strategies of zero-argument functions that build an objective."""
    return st.one_of(
        st.sampled_from(
            [
                objective.MinVariance,
                objective.RiskParity,
                objective.MinTrackingError,
                objective.OptimizationObjective,
            ]
        ),
        st.builds(
            lambda er, w, r: lambda: objective.MeanVariance(er, w, r),
            st.one_of(st.none(), v.returns_series),
            v.windows,
            v.weighted(st.floats(0, 10)),
        ),
        st.builds(
            lambda er, w: lambda: objective.MaxSharpeRatio(er, w),
            st.one_of(st.none(), v.returns_series),
            v.windows,
        ),
        st.builds(
            lambda er, w: lambda: objective.MaxInformationRatio(er, w),
            st.one_of(st.none(), v.returns_series),
            v.windows,
        ),
        st.builds(lambda s: lambda: objective.MaxIndicator(s), v.weighted(v.returns_series)),
        st.builds(
            lambda t, r, p: lambda: objective.MinStyleDeviation(t, r, p),
            v.weighted(
                st.dictionaries(st.sampled_from(STYLE_FACTORS), v.finite_floats, max_size=3)
            ),
            v.weighted(st.booleans()),
            st.one_of(
                st.none(),
                st.dictionaries(st.sampled_from(STYLE_FACTORS), st.integers(-3, 12), max_size=3),
                v.anything,
            ),
        ),
        st.builds(
            lambda s: lambda: SolverObjective(s),
            v.weighted(st.sampled_from(["SCS", "CLARABEL", "OSQP", "HIGHS", "NO_SUCH_SOLVER"])),
        ),
        v.anything.map(lambda value: lambda: value),
    )


def _constraint_factories():
    """Strategies of zero-argument functions that build a constraint object."""
    hard = v.weighted(st.booleans())
    bound = v.weighted(st.one_of(st.none(), v.unit_floats))
    return st.one_of(
        st.builds(
            lambda u, h: lambda: constraints.TrackingErrorLimit(u, h),
            v.weighted(st.floats(0.001, 1)),
            hard,
        ),
        st.builds(
            lambda c, u, h: lambda: constraints.TurnoverLimit(c, u, h),
            v.weighted(v.returns_series),
            v.weighted(st.floats(0.01, 1)),
            hard,
        ),
        st.builds(
            lambda lo, h: lambda: constraints.BenchmarkComponentWeightLimit(lo, h),
            v.weighted(v.unit_floats),
            hard,
        ),
        st.builds(
            lambda i, lo, up, r, c, h: lambda: constraints.IndustryConstraint(i, lo, up, r, c, h),
            v.weighted(v.industry_names),
            v.deviations,
            v.deviations,
            v.weighted(st.booleans()),
            v.classifications,
            hard,
        ),
        st.builds(
            lambda e, lo, up, r, c, h: (
                lambda: constraints.WildcardIndustryConstraint(e, lo, up, r, c, h)
            ),
            v.weighted(st.one_of(st.none(), v.industry_names)),
            v.deviations,
            v.deviations,
            v.weighted(st.booleans()),
            v.classifications,
            hard,
        ),
        st.builds(
            lambda i, lo, up, c, h: lambda: constraints.IndustryComponentLimit(i, lo, up, c, h),
            v.weighted(st.sampled_from(v.INDUSTRIES)),
            bound,
            bound,
            v.classifications,
            hard,
        ),
        st.builds(
            lambda s, lo, up, r, h: lambda: constraints.StyleConstraint(s, lo, up, r, h),
            v.styles,
            v.deviations,
            v.deviations,
            v.weighted(st.booleans()),
            hard,
        ),
        st.builds(
            lambda e, lo, up, r, h: lambda: constraints.wildcard_style_constraint(e, lo, up, r, h),
            v.weighted(st.one_of(st.none(), v.styles)),
            v.deviations,
            v.deviations,
            v.weighted(st.booleans()),
            hard,
        ),
        st.builds(
            lambda h, r: lambda: DuckConstraint(h, r),
            hard,
            st.one_of(st.sampled_from(["cap", "impossible"]), v.anything),
        ),
        v.anything.map(lambda value: lambda: value),
    )


objective_factories = _objective_factories()
constraint_factories = _constraint_factories()


@target("optimize.portfolio_optimize", weight=0.3)
def _portfolio_optimize(data):
    scenario = data.draw(scenarios)
    pool = data.draw(
        st.one_of(
            st.lists(st.sampled_from(v.CODES), min_size=2, max_size=5, unique=True),
            v.pools,
            v.anything,
        )
    )
    date = data.draw(v.weighted(st.just("2024-06-28"), v.dates))
    make_objective = data.draw(objective_factories)
    bnds = data.draw(v.bnds)
    make_cons = data.draw(
        st.one_of(
            st.none(), st.lists(constraint_factories, max_size=3), v.anything.map(lambda x: [x])
        )
    )
    bench = data.draw(
        st.one_of(
            st.none(),
            st.sampled_from([v.INDEX, v.CODES[0], "999999.XSHG"]),
            st.builds(FuzzBenchmark),
            st.builds(benchmark_module.OptimizeBenchmark),
            v.anything,
        )
    )
    cov_model = data.draw(v.cov_models)
    omit = data.draw(
        st.sets(st.sampled_from(["objective", "bnds", "cons", "benchmark", "cov_model"]))
    )

    def call():
        kwargs = {
            "objective": make_objective(),
            "bnds": bnds,
            "cons": make_cons
            if not isinstance(make_cons, list)
            else [make() if callable(make) else make for make in make_cons],
            "benchmark": bench,
            "cov_model": cov_model,
        }
        for name in omit:
            kwargs.pop(name)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = optimize.portfolio_optimize(pool, date, **kwargs)
        inaccurate = any("精度" in str(w.message) for w in caught)
        _check_result(result, kwargs.get("bnds"), inaccurate)
        return result

    return use(scenario, call)


class WrongSuccess(SystemError):
    """A result reported as a success that is not a portfolio; counted as a failure."""


TOLERANCE = 1e-3  # well above what SCS leaves on a solved problem of this size


def _check_result(result, bnds, inaccurate):
    """A returned portfolio must be finite weights summing to 1; unless the solve was
    reported inaccurate (with its warning), each within its bounds."""
    if isinstance(result, dict):
        return
    weights = np.asarray(result.values, dtype=float)
    if not np.all(np.isfinite(weights)) or abs(weights.sum() - 1) > 1e-6:
        raise WrongSuccess(f"weights {weights} do not sum to 1")
    if inaccurate:
        return
    if (weights < -TOLERANCE).any():
        raise WrongSuccess(f"negative weights {weights}")
    if isinstance(bnds, dict):
        lower, upper = optimize.parse_bnds(bnds, list(result.index))
        if (weights < lower - TOLERANCE).any() or (weights > upper + TOLERANCE).any():
            raise WrongSuccess(f"weights {weights} outside [{lower}, {upper}]")


# ---------------------------------------------------------------------------
# vantelo.objective
# ---------------------------------------------------------------------------


@target("objective.ensure_series")
def _objective_ensure_series(data):
    return _call(
        data, objective.ensure_series, data.draw(v.anything), data.draw(v.weighted(v.text))
    )


OBJECTIVE_METHODS = ["get_objective_expr", "get_internal_constraints", "get_preferred_solver"]


def _objective_target(name, arguments):
    cls = getattr(objective, name)

    @target("objective." + name, weight=0.5)
    def build(data):
        args = data.draw(arguments)
        args, kwargs = _arity(data, args, {})
        method = data.draw(st.sampled_from(OBJECTIVE_METHODS))
        return call_protocol(*protocol_arguments(data), lambda: cls(*args, **kwargs), method)

    return build


_none = st.just(())
for _name, _arguments in [
    ("OptimizationObjective", _none),
    ("MinVariance", _none),
    ("RiskParity", _none),
    ("MinTrackingError", _none),
    (
        "MeanVariance",
        st.tuples(
            st.one_of(st.none(), v.weighted(v.returns_series)),
            v.windows,
            v.weighted(st.floats(0, 10)),
        ),
    ),
    ("MaxSharpeRatio", st.tuples(st.one_of(st.none(), v.weighted(v.returns_series)), v.windows)),
    (
        "MaxInformationRatio",
        st.tuples(st.one_of(st.none(), v.weighted(v.returns_series)), v.windows),
    ),
    ("MaxIndicator", st.tuples(v.weighted(v.returns_series))),
    (
        "MinStyleDeviation",
        st.tuples(
            v.weighted(
                st.dictionaries(st.sampled_from(STYLE_FACTORS), v.finite_floats, max_size=3)
            ),
            v.weighted(st.booleans()),
            st.one_of(
                st.none(),
                v.weighted(
                    st.dictionaries(
                        st.sampled_from(STYLE_FACTORS), st.integers(-3, 12), max_size=3
                    )
                ),
            ),
        ),
    ),
]:
    _objective_target(_name, _arguments)


# ---------------------------------------------------------------------------
# vantelo.constraints
# ---------------------------------------------------------------------------


@target("constraints._ensure_bound")
def _constraints_ensure_bound(data):
    return _call(
        data, constraints._ensure_bound, data.draw(v.bounds), data.draw(v.weighted(v.text))
    )


@target("constraints.ensure_series")
def _constraints_ensure_series(data):
    return _call(
        data, constraints.ensure_series, data.draw(v.anything), data.draw(v.weighted(v.text))
    )


@target("constraints.get_deviation_value")
def _get_deviation_value(data):
    benchmark = data.draw(v.weighted(v.finite_floats, v.numbers))
    return _call(data, constraints.get_deviation_value, benchmark, data.draw(v.deviations))


CONSTRAINT_METHODS = ["to_constraints", "to_constraints", "hard"]


def _constraint_target(name, arguments, factory=None):
    factory = factory or getattr(constraints, name)

    @target("constraints." + name, weight=0.5)
    def build(data):
        args = data.draw(arguments)
        args, kwargs = _arity(data, args, {})
        method = data.draw(st.sampled_from(CONSTRAINT_METHODS))
        return call_protocol(*protocol_arguments(data), lambda: factory(*args, **kwargs), method)

    return build


_hard = v.weighted(st.booleans())
_bound = v.weighted(st.one_of(st.none(), v.unit_floats))
for _name, _arguments in [
    ("OptimizationConstraint", _none),
    ("TrackingErrorLimit", st.tuples(v.weighted(st.floats(0.001, 1)), _hard)),
    (
        "TurnoverLimit",
        st.tuples(v.weighted(v.returns_series), v.weighted(st.floats(0.01, 1)), _hard),
    ),
    ("BenchmarkComponentWeightLimit", st.tuples(v.weighted(v.unit_floats), _hard)),
    (
        "IndustryConstraint",
        st.tuples(
            v.weighted(v.industry_names),
            v.deviations,
            v.deviations,
            v.weighted(st.booleans()),
            v.classifications,
            _hard,
        ),
    ),
    (
        "WildcardIndustryConstraint",
        st.tuples(
            v.weighted(st.one_of(st.none(), v.industry_names)),
            v.deviations,
            v.deviations,
            v.weighted(st.booleans()),
            v.classifications,
            _hard,
        ),
    ),
    (
        "IndustryComponentLimit",
        st.tuples(
            v.weighted(st.sampled_from(v.INDUSTRIES)), _bound, _bound, v.classifications, _hard
        ),
    ),
    (
        "StyleConstraint",
        st.tuples(v.styles, v.deviations, v.deviations, v.weighted(st.booleans()), _hard),
    ),
    (
        "wildcard_style_constraint",
        st.tuples(
            v.weighted(st.one_of(st.none(), v.styles)),
            v.deviations,
            v.deviations,
            v.weighted(st.booleans()),
            _hard,
        ),
    ),
]:
    _constraint_target(_name, _arguments)


# ---------------------------------------------------------------------------
# vantelo.benchmark and vantelo.helper
# ---------------------------------------------------------------------------


@target("benchmark.IndexBenchmark")
def _index_benchmark(data):
    scenario = data.draw(scenarios)
    code = data.draw(v.weighted(st.sampled_from([v.INDEX, v.CODES[0], "999999.XSHG"])))
    method = data.draw(st.sampled_from(["get_weight", "get_expected_returns", "window"]))
    date = data.draw(v.weighted(v.dates))
    window = data.draw(v.windows)

    def call():
        index = benchmark_module.IndexBenchmark(code)
        if method == "get_weight":
            return index.get_weight(date)
        if method == "window":
            return index.get_expected_returns(date, window)
        return index.get_expected_returns(date)

    return use(scenario, call)


@target("benchmark.OptimizeBenchmark")
def _optimize_benchmark(data):
    method = data.draw(st.sampled_from(["get_weight", "get_expected_returns"]))
    args = data.draw(st.lists(v.anything, max_size=3))
    return lambda: getattr(benchmark_module.OptimizeBenchmark(), method)(*args)


weight_maps = v.weighted(
    st.dictionaries(
        st.sampled_from(v.CODES + [v.FUND, v.DELISTED]), st.floats(0, 0.5), max_size=5
    ).map(lambda d: pd.Series(d, dtype=float)),
    v.series,
)
share_maps = v.weighted(
    st.dictionaries(st.sampled_from(v.CODES), st.integers(0, 10**6), max_size=5),
    v.series,
)


@target("trading.trading_status")
def _trading_status_target(data):
    scenario = data.draw(scenarios)
    return use(
        scenario, _call(data, trading.trading_status, data.draw(v.pools), data.draw(v.dates))
    )


@target("trading.tradable_bounds")
def _tradable_bounds(data):
    scenario = data.draw(scenarios)
    args = (
        data.draw(v.weighted(v.pools)),
        data.draw(v.weighted(v.dates)),
        data.draw(weight_maps),
        data.draw(v.bnds),
        data.draw(v.weighted(st.booleans())),
    )
    return use(scenario, _call(data, trading.tradable_bounds, *args))


@target("trading.to_orders")
def _to_orders(data):
    scenario = data.draw(scenarios)
    args = (
        data.draw(weight_maps),
        data.draw(v.weighted(v.dates)),
        data.draw(v.weighted(st.floats(0, 1e9), st.sampled_from([math.inf, -1.0, 10**400]))),
        data.draw(st.one_of(st.none(), share_maps)),
        data.draw(st.one_of(st.none(), weight_maps)),
    )
    return use(scenario, _call(data, trading.to_orders, *args))


HELPER_MEMBERS = [
    "prev_trading_date",
    "union_components",
    "benchmark_weight",
    "benchmark_components",
    "get_cov_matrix",
    "get_union_cov_matrix",
    "get_cov_factor",
    "get_union_cov_factor",
    "get_factor_exposure",
    "get_benchmark_style",
    "get_industry_mapping",
    "get_benchmark_industry_weight",
    "__repr__",
]


@target("helper.OptimizeHelper", weight=0.5)
def _optimize_helper(data):
    scenario = data.draw(scenarios)
    pool = data.draw(v.weighted(sorted_pools))
    date = data.draw(v.weighted(st.just(datetime.date(2024, 6, 28)), v.dates))
    bench = data.draw(
        st.one_of(
            st.none(),
            st.builds(
                lambda: benchmark_module.IndexBenchmark.__new__(benchmark_module.IndexBenchmark)
            ),
            v.anything,
        )
    )
    cov_model = data.draw(v.cov_models)
    members = data.draw(st.lists(st.sampled_from(HELPER_MEMBERS), min_size=1, max_size=3))
    classification = data.draw(v.classifications)

    def call():
        if isinstance(bench, benchmark_module.IndexBenchmark):
            bench._order_book_id = v.INDEX
        helper = helper_module.OptimizeHelper(pool, date, bench, cov_model)
        for member in members:
            value = getattr(helper, member)
            if member in ("get_industry_mapping", "get_benchmark_industry_weight"):
                value(classification)
            elif callable(value):
                value()
        return helper

    return use(scenario, call)


# ---------------------------------------------------------------------------
# tidewell, over a small database imported from the test data
# ---------------------------------------------------------------------------

TINY = Path(__file__).resolve().parents[1] / "tests" / "data" / "tiny"
TW_CODES = [
    "600001.XSHG",
    "600002.XSHG",
    "000010.XSHE",
    "000020.XSHE",
    "300030.XSHE",
    "990001.XSHG",
    "510001.XSHG",
    "600000.XSHG",
]
TW_INDEX = "990001.XSHG"
_store = {}
_template = {}


def _template_database():
    """The tiny database, imported once per process; each context works on a copy."""
    if "path" not in _template:
        folder = tempfile.mkdtemp(prefix="tidewell-template-")
        atexit.register(shutil.rmtree, folder, True)
        _template["path"] = tidewell.import_database(TINY, os.path.join(folder, "tiny.duckdb"))
    return _template["path"]


@contextlib.contextmanager
def tiny_store():
    """The real client over a database imported from tests/data/tiny, in a scratch folder.

    The scratch folder is also the working directory, so that relative paths a
    case hands to the importer land there.
    """
    from tidewell import _database

    workdir = tempfile.mkdtemp(prefix="tidewell-fuzz-")
    saved_path, cwd = _database._explicit_path, os.getcwd()
    saved_cache = os.environ.get("XDG_CACHE_HOME")
    os.environ["XDG_CACHE_HOME"] = workdir  # the demo's default place, out of harm's way
    try:
        _store["db"] = shutil.copy(_template_database(), os.path.join(workdir, "tiny.duckdb"))
        _store["dir"] = workdir
        os.chdir(workdir)
        tidewell.set_database(_store["db"])
        yield
    finally:
        os.chdir(cwd)
        if saved_cache is None:
            os.environ.pop("XDG_CACHE_HOME", None)
        else:
            os.environ["XDG_CACHE_HOME"] = saved_cache
        _database._explicit_path = saved_path
        _database.close()
        shutil.rmtree(workdir, ignore_errors=True)


ENVIRONMENTS = {"fakes": installed_fakes, "store": tiny_store}

tw_codes = st.sampled_from(TW_CODES)
tw_ids = v.weighted(
    st.one_of(
        tw_codes,
        st.lists(tw_codes, max_size=6),
        st.lists(tw_codes, max_size=4).map(tuple),
        st.lists(tw_codes, max_size=4).map(iter),
        st.lists(tw_codes, max_size=3).map(lambda ids: pd.Index(ids)),
        st.builds(lambda: TW_CODES * 2000),  # a long request
    )
)
tw_dates = v.weighted(
    st.one_of(
        st.dates(datetime.date(2023, 12, 25), datetime.date(2024, 1, 20)),
        st.sampled_from(
            [
                "2024-01-05",
                "20240105",
                20240105,
                "2024-01-06",
                "2023-12-29",
                np.datetime64("2024-01-09"),
                pd.Timestamp("2024-01-10 15:00"),
                datetime.datetime(2024, 1, 11, 23, 59),
            ]
        ),
    )
)
tw_counts = v.weighted(st.integers(-10, 10), st.sampled_from([2**63, -(2**63), 1.0, True]))
tw_cov_models = v.weighted(st.sampled_from(["daily", "monthly", "quarterly"] + list(CovModel)))
tw_classifications = v.weighted(
    st.sampled_from(["sws", "citic", "sws_non_bank_split"] + list(v.IndustryClassification))
)
tw_types = v.weighted(st.sampled_from([None, "CS", "INDX", "ETF", "LOF"]))


def _tw_target(name, *arguments):
    function = getattr(tidewell, name)

    @target("tidewell." + name, env="store")
    def build(data):
        args = tuple(data.draw(a) for a in arguments)
        return _call(data, function, *args)

    return build


for _name, _arguments in [
    ("instruments", (tw_ids,)),
    ("all_instruments", (tw_types, st.one_of(st.none(), tw_dates))),
    ("get_trading_dates", (tw_dates, tw_dates)),
    ("is_trading_date", (tw_dates,)),
    ("trading_date_offset", (tw_dates, tw_counts)),
    ("get_previous_trading_date", (tw_dates, tw_counts)),
    ("get_next_trading_date", (tw_dates, tw_counts)),
    ("get_price_change_rate", (tw_ids, tw_dates, tw_dates)),
    ("index_weights", (v.weighted(st.sampled_from([TW_INDEX, TW_CODES[0]])), tw_dates)),
    ("get_style_factor_names", ()),
    ("get_factor_names", ()),
    ("get_factor_exposure", (tw_ids, tw_dates)),
    ("get_factor_covariance", (tw_dates, tw_cov_models)),
    ("get_specific_risk", (tw_ids, tw_dates, tw_cov_models)),
    ("industry_names", (tw_classifications,)),
    ("get_industry", (tw_ids, tw_dates, tw_classifications)),
    ("get_prices", (tw_ids, tw_dates, tw_dates)),
    ("get_trading_status", (tw_ids, tw_dates)),
    ("get_database_path", ()),
    ("demo_database_path", ()),
]:
    _tw_target(_name, *_arguments)


class HostilePath:
    """A path-like object whose __fspath__ raises."""

    def __fspath__(self):
        raise v.HostileError("__fspath__")


class IntPath:
    def __fspath__(self):
        return 42


# Destinations stay inside the scratch folder: relative names, never "..".
_relative = v.text.map(lambda t: "out_" + t.replace("/", "_").replace("\x00", "0")[:40])
paths = st.one_of(
    _relative,
    st.sampled_from(["", ".", "tiny.duckdb", "missing/deeper/x.duckdb", "\x00", "not_a_folder"]),
    st.builds(HostilePath),
    st.builds(IntPath),
    st.builds(lambda: Path("out_path.duckdb")),
    st.builds(lambda: b"out_bytes.duckdb"),
    v.anything,
)


IN_USE, FRESH = object(), object()  # stand-ins for the store in use and a new file


@target("tidewell.set_database", env="store")
def _set_database(data):
    path = data.draw(st.one_of(st.just(IN_USE), st.none(), paths))

    def call():
        try:
            return tidewell.set_database(_store["db"] if path is IN_USE else path)
        finally:
            tidewell.set_database(_store["db"])

    return call


def _refused_by_int(value):
    """`value` if int() refuses it, else a text it refuses (some hostile objects pass)."""
    try:
        int(value)
    except Exception:
        return value
    return "not a seed"


@target("tidewell.build_demo_database", weight=0.05, env="store")
def _build_demo_database(data):
    # A full build takes seconds, so the seed is always one that int() refuses
    # (and the call is never made without it): every call fails, before or after
    # the path is looked at.
    seed = data.draw(
        st.one_of(st.none(), st.sampled_from(["x", "", "1.5", [], {}]), v.hostile).map(
            _refused_by_int
        )
    )
    path = data.draw(paths)
    progress = data.draw(v.weighted(st.booleans()))
    given = (path, seed, progress)
    args, kwargs = _arity(data, given, {}, shapes=("extra", "keyword"))
    thunk = lambda: tidewell.build_demo_database(*args, **kwargs)  # noqa: E731
    thunk.shaped = args is given
    return thunk


CSV_MUTATIONS = [
    "none",
    "empty",
    "header_only",
    "binary",
    "nul",
    "drop_column",
    "garbage_cell",
    "duplicate_row",
    "truncate",
    "huge",
    "nan",
    "crlf",
    "bom",
    "unbalanced_quote",
    "extra_column",
    "remove",
    "directory",
]


def _mutate_csv(path, kind, garbage):
    with open(path, encoding="utf-8", errors="surrogateescape") as fh:
        lines = fh.read().splitlines() or [""]
    header, rows = lines[0], lines[1:]
    if kind == "remove":
        os.remove(path)
        return
    if kind == "directory":
        os.remove(path)
        os.mkdir(path)
        return
    if kind == "binary":
        with open(path, "wb") as fh:
            fh.write(bytes(range(256)) * 4)
        return
    if kind == "empty":
        lines = []
    elif kind == "header_only":
        lines = [header]
    elif kind == "nul":
        lines = [header] + [r.replace(",", ",\x00", 1) for r in rows]
    elif kind == "drop_column":
        lines = [",".join(line.split(",")[1:]) for line in lines]
    elif kind == "garbage_cell" and rows:
        cells = rows[0].split(",")
        cells[-1] = garbage
        lines = [header, ",".join(cells)] + rows[1:]
    elif kind == "duplicate_row" and rows:
        lines = lines + rows[:1]
    elif kind == "truncate":
        text = "\n".join(lines)
        lines = [text[: len(text) // 2]]
    elif kind in ("huge", "nan") and rows:
        cells = rows[-1].split(",")
        cells[-1] = "1e400" if kind == "huge" else "nan"
        lines = lines[:-1] + [",".join(cells)]
    elif kind == "unbalanced_quote" and rows:
        lines = [header, '"' + rows[0]] + rows[1:]
    elif kind == "extra_column":
        lines = [header + ",extra"] + [r + ",1" for r in rows]
    newline = "\r\n" if kind == "crlf" else "\n"
    with open(path, "w", encoding="utf-8", errors="surrogateescape") as fh:
        fh.write(("\ufeff" if kind == "bom" else "") + newline.join(lines) + newline)


@target("tidewell.import_database", weight=0.05, env="store")
def _import_database(data):
    tables = sorted(p.name for p in TINY.iterdir())
    edits = data.draw(
        st.lists(
            st.tuples(
                st.sampled_from(tables),
                st.sampled_from(CSV_MUTATIONS),
                v.text.map(lambda t: t.replace("\n", " ")),
            ),
            max_size=2,
        )
    )
    source_kind = data.draw(st.sampled_from(["edited"] * 4 + ["missing", "drawn"]))
    source_value = data.draw(paths) if source_kind == "drawn" else None
    dest = data.draw(st.one_of(st.just(FRESH), st.just(IN_USE), paths))

    def call():
        workdir = _store["dir"]
        source = tempfile.mkdtemp(prefix="source-", dir=workdir)
        try:
            for name in tables:
                shutil.copy(TINY / name, source)
            for name, kind, garbage in edits:
                if os.path.isfile(os.path.join(source, name)):
                    _mutate_csv(os.path.join(source, name), kind, garbage)
            src = {
                "edited": source,
                "missing": os.path.join(source, "nope"),
                "drawn": source_value,
            }[source_kind]
            if dest is FRESH:
                target_path = os.path.join(workdir, "fresh.duckdb")
            elif dest is IN_USE:
                target_path = _store["db"]  # over the store in use: must stay readable
            else:
                target_path = dest
            return tidewell.import_database(src, target_path)
        finally:
            shutil.rmtree(source, ignore_errors=True)
            tidewell.set_database(_store["db"])
            tidewell.instruments(TW_CODES[0])  # the store in use still answers

    return call


def register_crash_probe():
    """Adds a target whose call crashes the interpreter, to check that runners notice."""
    import ctypes

    @target("selftest.crash_probe")
    def _crash(data):
        data.draw(st.none())
        return lambda: ctypes.string_at(0)
