"""Fuzz target of vantelo.risk: `RiskModel` built from drawn tables, dense and by factor,
with its members called on drawn weights."""

import numpy as np
import pandas as pd
from hypothesis import strategies as st

from reliability import values as v
from reliability.runner import make_call, target
from vantelo.risk import RiskModel


def _covariance(codes, seed):
    rng = np.random.default_rng(seed)
    root = rng.normal(size=(len(codes), 2))
    return pd.DataFrame(root @ root.T + np.eye(len(codes)), index=codes, columns=codes)


def _factor_tables(codes, seed):
    rng = np.random.default_rng(seed)
    exposures = pd.DataFrame(rng.normal(size=(len(codes), 2)), index=codes, columns=["a", "b"])
    return exposures, pd.DataFrame(np.eye(2), index=["a", "b"], columns=["a", "b"])


_codes = st.lists(v.codes, min_size=1, max_size=4, unique=True)
_tables = st.one_of(v.frames, v.series, v.arrays, v.anything)
MEMBERS = ["covariance", "factor_form", "factor_model", "variance", "volatility", "subset"]


@target("risk.RiskModel")
def _risk_model(data):
    codes = data.draw(_codes)
    seed = data.draw(st.integers(0, 3))
    form = data.draw(st.sampled_from(["dense", "factor", "drawn"]))
    if form == "dense":
        arguments = {"covariance": data.draw(v.weighted(st.just(_covariance(codes, seed))))}
    elif form == "factor":
        exposures, factor_cov = _factor_tables(codes, seed)
        specific = data.draw(v.weighted(st.just(pd.Series(0.01, index=codes)), v.series, v.arrays))
        arguments = {
            "exposures": data.draw(v.weighted(st.just(exposures), v.frames)),
            "factor_covariance": data.draw(v.weighted(st.just(factor_cov), _tables)),
            "specific_variance": specific,
        }
    else:
        arguments = {"covariance": data.draw(_tables)}
    member = data.draw(st.sampled_from(MEMBERS))
    weights = data.draw(
        v.weighted(
            st.just(pd.Series(1.0 / len(codes), index=codes)),
            v.series,
            v.arrays,
            st.dictionaries(v.codes, v.numbers, max_size=3),
        )
    )

    def call():
        model = RiskModel(**arguments)
        method = getattr(model, member)
        if member in ("variance", "volatility"):
            return method(weights)
        if member == "subset":
            return method(data.draw(v.weighted(st.just(codes[:1]), _codes, v.anything)))
        return method()

    return make_call(data, call)
