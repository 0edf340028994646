"""Hypothesis strategies for arbitrary Python values, as a hostile caller might pass them.

`anything` mixes plain values (None, booleans, huge and negative integers, NaN and
infinities, odd text), containers, numpy arrays of every dtype and shape, pandas
objects with duplicate or missing labels and hostile objects whose special methods
raise. The strategies never raise while drawing: everything that can go wrong is
left for the call under test.
"""

import datetime
import decimal
import fractions
import math

import numpy as np
import pandas as pd
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from vantelo.const import STYLE_FACTORS, CovModel, IndustryClassification

CODES = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"]
INDEX = "000300.XSHG"
# Codes the fake client knows but that never survive pool cleaning.
FUND, UNLISTED, DELISTED = "510300.XSHG", "688999.XSHG", "600999.XSHG"
OUTSIDE = "300750.XSHE"  # a benchmark component outside every pool
INDUSTRIES = ["Banks", "Media", "UNKNOWN"]


class HostileError(Exception):
    """What the hostile objects' special methods raise."""


def _raiser(name):
    def method(self, *args, **kwargs):
        raise HostileError(name)

    method.__name__ = name
    return method


def _hostile(name, **namespace):
    namespace.setdefault(name, _raiser(name))
    namespace.setdefault("__repr__", lambda self: f"<hostile {name}>")
    return type("Hostile" + name.strip("_").title().replace("_", ""), (), namespace)


def _constant_hash(self):
    # Every instance collides in a dict or set, so lookups must call __eq__.
    return 0


class _HostileMeta(type):
    def __instancecheck__(cls, instance):
        raise HostileError("__instancecheck__")

    def __subclasscheck__(cls, subclass):
        raise HostileError("__subclasscheck__")


class _BadBool:
    def __bool__(self):
        raise HostileError("__bool__ of a comparison result")


def _eq_returning(value):
    return lambda self, other: value


class _RaisingIterator:
    """Yields two codes, then raises."""

    def __init__(self):
        self._left = list(CODES[:2])

    def __iter__(self):
        return self

    def __next__(self):
        if not self._left:
            raise HostileError("__next__")
        return self._left.pop()


class HostileStr(str):
    __eq__ = _raiser("str.__eq__")
    __hash__ = _constant_hash
    __getitem__ = _raiser("str.__getitem__")


class HostileFloat(float):
    __float__ = _raiser("float.__float__")
    __lt__ = _raiser("float.__lt__")
    __gt__ = _raiser("float.__gt__")


class HostileDict(dict):
    __getitem__ = _raiser("dict.__getitem__")
    __contains__ = _raiser("dict.__contains__")
    __iter__ = _raiser("dict.__iter__")


class HostileList(list):
    __iter__ = _raiser("list.__iter__")
    __len__ = _raiser("list.__len__")


class HostileSeries(pd.Series):
    def reindex(self, *args, **kwargs):
        raise HostileError("Series.reindex")


class HostileDate(datetime.date):
    @property
    def year(self):
        raise HostileError("date.year")


def _hostile_objects():
    eq_hashable = {"__hash__": _constant_hash}
    made = [
        _hostile("__eq__", **eq_hashable)(),
        _hostile("__eq__", __eq__=_eq_returning(_BadBool()), **eq_hashable)(),
        _hostile("__eq__", __eq__=_eq_returning(np.array([True, False])), **eq_hashable)(),
        _hostile("__hash__")(),
        _hostile("__len__", __iter__=lambda self: iter(CODES))(),
        _hostile("__len__", __len__=lambda self: -1)(),
        _hostile("__len__", __len__=lambda self: 2**100)(),
        _hostile("__iter__", __len__=lambda self: 3)(),
        _hostile("__iter__", __iter__=lambda self: _RaisingIterator())(),
        _hostile("__float__")(),
        _hostile("__float__", __float__=lambda self: "0.5")(),
        _hostile("__index__")(),
        _hostile("__index__", __index__=lambda self: 2**80)(),
        _hostile("__int__")(),
        _hostile("__bool__")(),
        _hostile("__bool__", __bool__=lambda self: 2)(),
        _hostile("__str__")(),
        _hostile("__repr__", __repr__=_raiser("__repr__"), __str__=_raiser("__str__"))(),
        _hostile("__format__")(),
        _hostile("__getattr__")(),
        _hostile("__getattribute__")(),
        _hostile("__class__", __class__=property(_raiser("__class__")))(),
        _hostile(
            "__lt__", __gt__=_raiser("__gt__"), __le__=_raiser("__le__"), __ge__=_raiser("__ge__")
        )(),
        _hostile(
            "__neg__",
            __add__=_raiser("__add__"),
            __radd__=_raiser("__radd__"),
            __sub__=_raiser("__sub__"),
            __rsub__=_raiser("__rsub__"),
            __mul__=_raiser("__mul__"),
            __rmul__=_raiser("__rmul__"),
            __truediv__=_raiser("__truediv__"),
        )(),
        _hostile("__getitem__", __len__=lambda self: 2)(),
        _hostile("__contains__", __iter__=lambda self: iter(()))(),
        _hostile("__array__")(),
        _hostile("__array__", __array__=lambda self, *a, **k: "not an array")(),
        _hostile("__call__")(),
        HostileStr(CODES[0]),
        HostileStr("2024-06-28"),
        HostileStr("+5%"),
        HostileFloat(0.5),
        HostileDict({"*": (0.0, 1.0)}),
        HostileList(CODES[:2]),
        HostileSeries({CODES[0]: 0.1, CODES[1]: 0.2}),
        HostileDate(2024, 6, 28),
    ]
    # A class whose isinstance checks raise, and one posing as an enumeration.
    made.append(_HostileMeta("HostileType", (), {}))
    made.append(type("NotAnEnum", (), {"__members__": {"x": 1, "y": None}}))
    made.append(type("BadMembers", (), {"__members__": 5}))
    return made


HOSTILE = _hostile_objects()
# Iterators are used up, so each draw gets a fresh one.
# (Indices rather than sampled_from: Hypothesis shows a strategy's elements in its
# repr, and these objects refuse to be shown.)
hostile = st.one_of(
    st.integers(0, len(HOSTILE) - 1).map(lambda i: HOSTILE[i]), st.builds(_RaisingIterator)
)
_collide = [h for h in HOSTILE if type(h).__name__ == "HostileEq"]

SPECIAL_NUMBERS = [
    0,
    -1,
    1,
    2**31,
    2**63,
    -(2**63) - 1,
    2**64,
    10**400,
    -(10**400),
    0.0,
    -0.0,
    5e-324,
    1.7976931348623157e308,
    math.nan,
    math.inf,
    -math.inf,
    complex(math.nan, 1),
    1j,
    np.float64("nan"),
    np.float32("inf"),
    np.int8(-1),
    np.uint64(2**64 - 1),
    np.bool_(True),
    np.int64(-(2**63)),
    np.float16(0.5),
    decimal.Decimal("sNaN"),
    decimal.Decimal("nan"),
    decimal.Decimal("1e-999999"),
    fractions.Fraction(1, 3),
]
numbers = st.one_of(
    st.integers(),
    st.floats(),
    st.sampled_from(SPECIAL_NUMBERS),
    st.complex_numbers(),
)
unit_floats = st.floats(min_value=0.0, max_value=1.0)
finite_floats = st.floats(min_value=-1e3, max_value=1e3, allow_nan=False)

ODD_TEXT = (
    [
        "",
        " ",
        "\x00",
        "a\x00b",
        "\ud800",
        "nan",
        "inf",
        "-inf",
        "1e400",
        "0000-00-00",
        "2024-02-30",
        "9999-12-31",
        "0001-01-01",
        "２０２４-０６-２８",
        "+5%",
        "-5%",
        "+-5%",
        "--5%",
        "%",
        "+%",
        "-%",
        "+abc%",
        "+nan%",
        "+inf%",
        "-1e400%",
        "5%",
        "+5",
        "*",
        "INDX",
        "CS",
        "daily",
        "FACTOR_MODEL_DAILY",
        "sws",
        "SCS",
        "CLARABEL",
        "OSQP",
        "ECOS",
        "NO_SUCH_SOLVER",
        "\u202e",
        "🙂",
    ]
    + CODES
    + [INDEX, FUND, UNLISTED, DELISTED, OUTSIDE]
    + INDUSTRIES
    + STYLE_FACTORS
)
text = st.one_of(
    st.text(max_size=12),
    st.text(st.characters(blacklist_categories=()), max_size=6),
    st.sampled_from(ODD_TEXT),
    st.builds(lambda: "x" * 100_000),
)

dates = st.one_of(
    st.dates(),
    st.datetimes(),
    st.sampled_from(
        [
            datetime.date(2024, 6, 28),
            datetime.datetime(2024, 6, 28, 23, 59),
            pd.Timestamp("2024-06-28 15:00"),
            pd.NaT,
            np.datetime64("2024-06-28"),
            np.datetime64("NaT"),
            datetime.date.min,
            datetime.date.max,
            datetime.time(12, 0),
            datetime.timedelta(days=1),
            "2024-06-28",
            "20240628",
            "yesterday",
        ]
    ),
)

_dtypes = st.one_of(
    hnp.scalar_dtypes(),
    hnp.unicode_string_dtypes(max_len=3),
    hnp.byte_string_dtypes(max_len=3),
)
arrays = hnp.arrays(_dtypes, hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=3))


def _object_array(items):
    out = np.empty(len(items), dtype=object)
    for i, item in enumerate(items):
        out[i] = item
    return out


_scalars = st.one_of(st.none(), st.booleans(), numbers, text, dates, hostile)
object_arrays = st.lists(_scalars, max_size=3).map(_object_array)

labels = st.one_of(
    st.sampled_from(CODES + [INDEX, OUTSIDE, "*", "", None, math.nan] + STYLE_FACTORS[:3]),
    st.integers(-2, 2),
)
_series_values = st.one_of(finite_floats, st.floats(), st.none(), st.integers(-5, 5), text)


def _series(values, index, as_object):
    index = (list(index) + [None] * len(values))[: len(values)]
    return pd.Series(values, index=index, dtype=object if as_object else None)


def _make_series(args):
    values, index, as_object = args
    try:
        return _series(values, index, as_object)
    except Exception:  # a mix pandas will not take: fall back to objects
        return _series(values, index, True)


series = st.tuples(
    st.lists(_series_values, max_size=6), st.lists(labels, max_size=6), st.booleans()
).map(_make_series)


def _frame(columns):
    try:
        return pd.concat(columns, axis=1)
    except Exception:  # labels pandas cannot align: side by side instead
        return pd.DataFrame(
            {i: pd.Series(list(c.values), dtype=object) for i, c in enumerate(columns)}
        )


frames = st.one_of(
    series.map(lambda s: s.to_frame()),
    st.lists(series, min_size=1, max_size=3).map(_frame),
    st.just(pd.DataFrame()),
)

hashable = st.one_of(st.none(), st.booleans(), numbers, text, dates, st.sampled_from(_collide))
_leaves = st.one_of(
    _scalars,
    arrays,
    object_arrays,
    series,
    frames,
    st.sampled_from(
        [
            CovModel,
            IndustryClassification,
            CovModel.FACTOR_MODEL_DAILY,
            IndustryClassification.SWS,
            STYLE_FACTORS,
            int,
            object,
        ]
    ),
)


def _safely(build):
    # Colliding keys whose __eq__ raises cannot share a dict or a set.
    def make(items):
        try:
            return build(items)
        except Exception:
            return build([])

    return make


def _extend(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.tuples(children, children),
        st.lists(st.tuples(hashable, children), max_size=4).map(_safely(dict)),
        st.lists(hashable, max_size=3).map(_safely(frozenset)),
        st.lists(hashable, max_size=3).map(_safely(set)),
        st.lists(children, max_size=3).map(iter),
    )


anything = st.recursive(_leaves, _extend, max_leaves=6)


def weighted(domain, *extra):
    """Mostly values from `domain` (so calls get past their first check), sometimes anything."""
    return st.one_of(domain, domain, domain, *extra, anything)


# Values a caller might plausibly pass, for arguments with a meaning.
codes = st.sampled_from(CODES + [INDEX, FUND, UNLISTED, DELISTED, OUTSIDE, "999999.XSHG"])
pools = st.one_of(
    st.lists(codes, max_size=7),
    st.lists(st.sampled_from(CODES), min_size=2, max_size=5, unique=True),
    codes,
    st.lists(codes, max_size=4).map(tuple),
    st.lists(codes, max_size=4).map(iter),
)
bounds = st.one_of(st.none(), unit_floats, numbers, text)
pairs = st.one_of(
    st.tuples(st.one_of(st.none(), unit_floats), st.one_of(st.none(), unit_floats)),
    st.tuples(bounds, bounds),
    st.lists(bounds, max_size=3),
    anything,
)
bnds = st.one_of(
    st.none(),
    st.dictionaries(st.one_of(codes, st.just("*")), pairs, max_size=4),
    st.lists(st.tuples(hashable, pairs), max_size=2).map(_safely(dict)),
    st.sampled_from([{}, HostileDict({"*": (0.0, 1.0)})]),
    anything,
)
returns_series = st.one_of(
    st.dictionaries(st.sampled_from(CODES + [OUTSIDE]), finite_floats, max_size=6).map(
        lambda d: pd.Series(d, dtype=float)
    ),
    series,
)
deviations = st.one_of(
    st.none(),
    st.floats(-1, 1),
    st.sampled_from(["+5%", "-5%", "+-5%", "-10%", "+abc%", "5%", "+%", "", "-1e400%"]),
    anything,
)
windows = weighted(st.integers(1, 300), st.integers(), st.sampled_from([0, -5, 2**64, 1.5]))
styles = st.one_of(
    st.sampled_from(STYLE_FACTORS),
    st.lists(st.sampled_from(STYLE_FACTORS + ["value", ""]), max_size=4),
    anything,
)
industry_names = st.one_of(
    st.sampled_from(INDUSTRIES), st.lists(st.sampled_from(INDUSTRIES + ["Steel"]), max_size=3)
)
classifications = weighted(st.sampled_from(list(IndustryClassification)))
cov_models = weighted(st.sampled_from(list(CovModel) + ["daily", "monthly", "quarterly"]))
