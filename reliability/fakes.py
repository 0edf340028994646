"""Fakes of the market-data side for fuzz cases and the leak check.

`installed_fakes()` replaces the `tidewell` calls the compiled modules make and
`vantelo.optimize.OptimizeHelper` with stand-ins that, per case, answer honestly,
return drawn garbage, return a mangled version of the honest answer (NaN, wrong
shape, wrong dtype, ...), or raise. What they answer is a `Scenario`, drawn by
the `scenarios` strategy and put in place for one call by `use`.
"""

import contextlib
import datetime
import itertools
import math

import numpy as np
import pandas as pd
from hypothesis import strategies as st

import tidewell
import vantelo.optimize as optimize
from reliability import values as v
from reliability.standins import FakeHelper, Record, stock
from vantelo.const import STYLE_FACTORS

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
    # Every date is a trading day: 0 days from it is the date itself.
    "trading_date_offset": lambda date, n: date if n == 0 else datetime.date(2024, 1, 2),
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
def installed_fakes(scenario=None):
    """Puts the fakes in place of the market-data client and of OptimizeHelper, answering
    as `scenario` says until a case puts another in place (honestly by default)."""
    saved_client = {name: getattr(tidewell, name, None) for name in HONEST_CLIENT}
    saved_helper = optimize.OptimizeHelper
    for name in HONEST_CLIENT:
        setattr(tidewell, name, _client_function(name))
    optimize.OptimizeHelper = lambda *args: make_helper(*args)
    _current[0] = scenario or Scenario()
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
