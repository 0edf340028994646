"""Stand-ins for the market-data side, shared by the tests and the reliability tools.

`FakeHelper` answers what objectives and constraints ask of a helper, from a small
random factor model; `stock` builds an instrument record as the market-data client
returns it.
"""

import datetime
import types

import numpy as np
import pandas as pd

from vantelo.const import STYLE_FACTORS

DATE = datetime.date(2024, 6, 28)
PREV_DATE = datetime.date(2024, 6, 27)


class Record(types.SimpleNamespace):
    """An instrument record as the market-data client returns it."""


def stock(code, listed="2010-01-04", delisted="0000-00-00", kind="CS"):
    return Record(order_book_id=code, type=kind, listed_date=listed, de_listed_date=delisted)


class FakeHelper:
    """The members the objectives and constraints read, from a random factor model.

    `factor_form=True` also offers the factor form of the covariances, as the
    package's own helper does. `covariance` replaces the random model by a given
    matrix over the pool and the benchmark's components (its factor form is then a
    root of it with no specific part). `industry_names` gives the helper the names
    its classification knows (`get_industry_names`), which it otherwise lacks.
    """

    def __init__(
        self,
        pool,
        benchmark_weights=None,
        seed=0,
        industries=None,
        factor_form=False,
        benchmark=None,
        date=DATE,
        covariance=None,
        industry_names=None,
    ):
        rng = np.random.default_rng(seed)
        self.order_book_ids = list(pool)
        self.date = date
        self.prev_trading_date = PREV_DATE
        bench = pd.Series(benchmark_weights or {}, dtype=float)
        self.benchmark = benchmark if benchmark is not None else (object() if len(bench) else None)
        outside = [c for c in bench.index if c not in set(self.order_book_ids)]
        self.union_components = self.order_book_ids + outside
        self.benchmark_weight = bench.reindex(self.union_components, fill_value=0.0)
        self.benchmark_components = list(bench.index)
        m = len(self.union_components)
        k = 4
        self._exposure = pd.DataFrame(
            rng.normal(size=(m, len(STYLE_FACTORS))),
            index=self.union_components,
            columns=STYLE_FACTORS,
        )
        loadings = rng.normal(scale=0.1, size=(m, k))
        specific = rng.uniform(0.01, 0.04, size=m)
        if covariance is not None:
            covariance = np.asarray(covariance, dtype=float)
            values, vectors = np.linalg.eigh(covariance)
            loadings = vectors * np.sqrt(np.clip(values, 0.0, None))
            specific = np.zeros(m)
        self._union_root = loadings
        self._union_specific = specific
        self._union_cov = loadings @ loadings.T + np.diag(specific)
        if covariance is not None:
            self._union_cov = covariance
        n = len(self.order_book_ids)
        self._industries = pd.Series(
            industries if industries is not None else ["A"] * n, index=self.order_book_ids
        )
        if industry_names is not None:
            self.get_industry_names = lambda classification: list(industry_names)
        if factor_form:
            self.get_cov_factor = lambda: (self._union_root[:n], self._union_specific[:n])
            self.get_union_cov_factor = lambda: (self._union_root, self._union_specific)

    def get_cov_matrix(self):
        n = len(self.order_book_ids)
        return self._union_cov[:n, :n]

    def get_union_cov_matrix(self):
        return self._union_cov

    def get_factor_exposure(self):
        return self._exposure.loc[self.order_book_ids]

    def get_benchmark_style(self):
        return self._exposure.T @ self.benchmark_weight

    def get_industry_mapping(self, classification):
        return self._industries

    def get_benchmark_industry_weight(self, classification):
        mapping = self._industries.reindex(self.union_components, fill_value="OTHER")
        return self.benchmark_weight.groupby(mapping.values).sum()
