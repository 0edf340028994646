"""vantelo.report: the figures against a dense numpy computation, the tables, the
plots and the HTML report (rendered in headless Chromium where the machine has it),
and clean_weights."""

import base64
import json
import math
import pathlib
import re
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from conftest import DATE

import vantelo.optimize as optimize
from vantelo.benchmark import OptimizeBenchmark
from vantelo.const import STYLE_FACTORS, CovModel, IndustryClassification
from vantelo.exception import InvalidArgument, OptimizerWarning
from vantelo.report import PortfolioReport, check_constraints, clean_weights, portfolio_report

POOL = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"]
OUTSIDE = ["300001.XSHE", "300002.XSHE"]
INDUSTRIES = ["Banks", "Media", "Banks", "Autos", "Media", "Autos", "Steel"]
BENCH = {"000001.XSHE": 0.3, "600000.XSHG": 0.2, "300001.XSHE": 0.3, "300002.XSHE": 0.2}
TOL = 1e-10


class FactorModelHelper:
    """A risk model by factor (styles, then industry dummies) over pool + outside
    stocks, offering what the package's helper offers; dense matrices are only
    formed by the test itself."""

    def __init__(self, pool, date, benchmark, cov_model, seed=0):
        rng = np.random.default_rng(seed)
        self.order_book_ids = list(pool)
        self.date = date
        self.benchmark = benchmark
        self.cov_model = cov_model
        bench = pd.Series(benchmark.get_weight(date) if benchmark else {}, dtype=float)
        self.union_components = self.order_book_ids + [
            c for c in bench.index if c not in self.order_book_ids
        ]
        self.benchmark_weight = bench.reindex(self.union_components, fill_value=0.0)
        self.benchmark_components = list(bench.index)
        universe = self.union_components
        industry_of = dict(zip(POOL + OUTSIDE, INDUSTRIES))
        self.industry = pd.Series([industry_of[c] for c in universe], index=universe)
        names = sorted(set(INDUSTRIES))
        dummies = pd.get_dummies(self.industry).reindex(columns=names, fill_value=0)
        styles = pd.DataFrame(
            rng.normal(size=(len(universe), len(STYLE_FACTORS))),
            index=universe,
            columns=STYLE_FACTORS,
        )
        self.exposure = pd.concat([styles, dummies.astype(float)], axis=1)
        k = self.exposure.shape[1]
        a = rng.normal(scale=0.1, size=(k, k))
        self.factor_cov = pd.DataFrame(
            a @ a.T, index=self.exposure.columns, columns=self.exposure.columns
        )
        self.specific = rng.uniform(0.01, 0.05, size=len(universe))
        chol = np.linalg.cholesky(self.factor_cov.to_numpy())
        self._root = self.exposure.to_numpy() @ chol

    def dense(self):
        """The union's covariance, formed only for the comparison."""
        x = self.exposure.to_numpy()
        return x @ self.factor_cov.to_numpy() @ x.T + np.diag(self.specific)

    def get_cov_factor(self):
        n = len(self.order_book_ids)
        return self._root[:n], self.specific[:n]

    def get_union_cov_factor(self):
        return self._root, self.specific

    def get_union_factor_model(self):
        # In another factor order than the exposure's: the report must align them.
        return self.exposure, self.factor_cov.iloc[::-1, ::-1]

    def get_factor_exposure(self):
        return self.exposure.loc[self.order_book_ids, STYLE_FACTORS]

    def get_benchmark_style(self):
        return self.exposure[STYLE_FACTORS].T @ self.benchmark_weight

    def get_industry_mapping(self, classification):
        return self.industry.loc[self.order_book_ids]

    def get_benchmark_industry_weight(self, classification):
        held = self.benchmark_weight[self.benchmark_weight != 0]
        return held.groupby(self.industry[held.index].to_numpy()).sum()


class Benchmark(OptimizeBenchmark):
    def get_weight(self, date):
        return pd.Series(BENCH)


@pytest.fixture
def helpers(monkeypatch):
    """Puts FactorModelHelper in place of the package's helper; returns those built."""
    built = []

    def make(pool, date, benchmark, cov_model):
        built.append(FactorModelHelper(pool, date, benchmark, cov_model))
        return built[-1]

    monkeypatch.setattr(optimize, "OptimizeHelper", make)
    return built


WEIGHTS = pd.Series([0.3, 0.25, 0.2, 0.15, 0.1], index=POOL[::-1])


@pytest.mark.parametrize("with_benchmark", [False, True])
def test_figures_match_a_dense_computation(helpers, with_benchmark):
    report = portfolio_report(WEIGHTS, DATE, benchmark=Benchmark() if with_benchmark else None)
    (helper,) = helpers
    assert helper.order_book_ids == POOL  # the driver's order, whatever the caller's
    universe = helper.union_components
    cov = helper.dense()
    w = WEIGHTS.reindex(universe, fill_value=0.0).to_numpy()
    sigma = math.sqrt(w @ cov @ w)
    summary = report.summary
    assert summary["volatility"] == pytest.approx(sigma, abs=TOL)
    x = helper.exposure.to_numpy().T @ w
    factor_var = x @ helper.factor_cov.to_numpy() @ x
    assert summary["factor_volatility"] ** 2 == pytest.approx(factor_var, abs=TOL)
    assert summary["specific_volatility"] ** 2 == pytest.approx(w**2 @ helper.specific, abs=TOL)
    assert summary["holdings"] == 5
    assert summary["effective_holdings"] == pytest.approx(1 / (WEIGHTS**2).sum())
    assert summary["max_weight"] == 0.3

    stocks = report.risk_contributions
    n = len(universe) if with_benchmark else len(POOL)
    marginal = (cov @ w / sigma)[:n]
    np.testing.assert_allclose(stocks["marginal"], marginal, atol=TOL)
    np.testing.assert_allclose(stocks["contribution"], w[:n] * marginal, atol=TOL)
    assert stocks["contribution"].sum() == pytest.approx(sigma, abs=TOL)
    assert stocks["share"].sum() == pytest.approx(1.0, abs=TOL)

    factors = report.factor_contributions
    by_factor = x * (helper.factor_cov.to_numpy() @ x) / sigma
    np.testing.assert_allclose(factors["exposure"].iloc[:-1], x, atol=TOL)
    np.testing.assert_allclose(factors["contribution"].iloc[:-1], by_factor, atol=TOL)
    assert factors.loc["specific", "contribution"] == pytest.approx(
        w**2 @ helper.specific / sigma, abs=TOL
    )
    assert factors["contribution"].sum() == pytest.approx(sigma, abs=TOL)
    assert factors["share"].sum() == pytest.approx(1.0, abs=TOL)
    assert list(factors["group"].unique()) == ["style", "industry", "specific"]

    styles = helper.exposure.loc[POOL, STYLE_FACTORS].T @ WEIGHTS.reindex(POOL)
    np.testing.assert_allclose(report.styles["portfolio"], styles, atol=TOL)

    if not with_benchmark:
        assert "tracking_error" not in summary
        assert list(report.styles.columns) == ["portfolio"]
        assert "active_contribution" not in stocks
        return
    b = helper.benchmark_weight.to_numpy()
    a = w - b
    te = math.sqrt(a @ cov @ a)
    assert summary["tracking_error"] == pytest.approx(te, abs=TOL)
    assert summary["active_share"] == pytest.approx(0.5 * np.abs(a).sum(), abs=TOL)
    np.testing.assert_allclose(stocks["active_contribution"], a * (cov @ a) / te, atol=TOL)
    assert stocks["active_contribution"].sum() == pytest.approx(te, abs=TOL)
    assert stocks["active_share_of_risk"].sum() == pytest.approx(1.0, abs=TOL)
    xa = helper.exposure.to_numpy().T @ a
    active_by_factor = xa * (helper.factor_cov.to_numpy() @ xa) / te
    np.testing.assert_allclose(
        factors["active_contribution"].iloc[:-1], active_by_factor, atol=TOL
    )
    assert factors["active_contribution"].sum() == pytest.approx(te, abs=TOL)
    assert factors["active_share"].sum() == pytest.approx(1.0, abs=TOL)
    bench_styles = helper.exposure[STYLE_FACTORS].T @ b
    np.testing.assert_allclose(report.styles["benchmark"], bench_styles, atol=TOL)
    np.testing.assert_allclose(
        report.styles["active"], report.styles["portfolio"] - bench_styles, atol=TOL
    )
    industries = report.industries
    expected = {
        "Banks": (0.1 + 0.2, 0.3 + 0.2),
        "Media": (0.3 + 0.15, 0.0),
        "Autos": (0.25, 0.3),
        "Steel": (0.0, 0.2),
    }
    assert set(industries.index) == set(expected)
    for name, (portfolio, bench) in expected.items():
        assert industries.loc[name, "portfolio"] == pytest.approx(portfolio)
        assert industries.loc[name, "benchmark"] == pytest.approx(bench)
        assert industries.loc[name, "active"] == pytest.approx(portfolio - bench)


def test_portfolio_equal_to_its_benchmark_has_no_active_risk(helpers):
    report = portfolio_report(pd.Series(BENCH), DATE, benchmark=Benchmark())
    assert report.summary["tracking_error"] == 0.0
    assert report.summary["active_share"] == 0.0
    assert (report.risk_contributions["active_contribution"] == 0.0).all()
    assert report.risk_contributions["active_share_of_risk"].isna().all()


def test_one_stock_dict_and_call_arguments(helpers):
    report = portfolio_report(
        {"600000.XSHG": 1.0}, "2024-06-28", cov_model="monthly", classification="citic"
    )
    (helper,) = helpers
    assert helper.cov_model is CovModel.FACTOR_MODEL_MONTHLY
    assert helper.date == DATE
    assert report.classification is IndustryClassification.CITIC
    assert report.summary["effective_holdings"] == 1.0
    assert report.risk_contributions.loc["600000.XSHG", "share"] == pytest.approx(1.0)


class NoFactorForm(FactorModelHelper):
    get_cov_factor = None
    get_union_cov_factor = None


@pytest.mark.parametrize(
    "weights, kwargs, message",
    [
        ([0.5, 0.5], {}, "expected a pandas Series or a dict"),
        (pd.Series(dtype=float), {}, "no stocks"),
        (
            pd.Series([0.5, math.nan], index=POOL[:2]),
            {},
            "not a finite number (NaN or inf) for ['000002",
        ),
        (pd.Series([0.5, 0.5], index=[POOL[0], POOL[0]]), {}, "more than once"),
        (pd.Series([0.5, "x"], index=POOL[:2]), {}, "expected numbers, got 'x' for 000002.XSHE"),
        ({1: 1.0}, {}, "must be text"),
        (WEIGHTS, {"benchmark": 3}, "benchmark: expected an index"),
        (WEIGHTS, {"cov_model": "hourly"}, "invalid value hourly for CovModel"),
        (WEIGHTS, {"classification": "gics"}, "IndustryClassification"),
        (pd.Series(["0.5", "0.5"], index=POOL[:2]), {}, "weights: expected numbers, got '0.5'"),
        ({POOL[0]: True}, {}, "weights: expected numbers, got True for 000001.XSHE"),
        ({POOL[0]: 1.0, "": 0.0}, {}, "weights: an order_book_id is empty"),
        (
            WEIGHTS * 100,
            {},
            "weights: the weights sum to 100, more than 1; they look like percent",
        ),
        (WEIGHTS * 3, {}, "weights: the weights sum to 3, more than 1; weights are fractions"),
        (WEIGHTS, {"benchmark": "999999.XSHG"}, "benchmark: unknown index '999999.XSHG'"),
        (WEIGHTS, {"benchmark": "000001.XSHE"}, "benchmark: 000001.XSHE is not an index (its"),
        (WEIGHTS, {"date": "2024-06-31"}, "date: '2024-06-31' is not a date (day is out of"),
    ],
)
def test_rejected_arguments(helpers, weights, kwargs, message):
    kwargs = {"date": DATE, **kwargs}
    with pytest.raises(InvalidArgument, match=re.escape(message)):
        portfolio_report(weights, **kwargs)
    assert not helpers  # refused before any data was asked for


def test_weights_short_of_1_leave_cash_with_one_warning(helpers):
    with pytest.warns(OptimizerWarning) as caught:
        half = portfolio_report(WEIGHTS / 2, DATE)
    assert [str(w.message) for w in caught] == [
        "weights: the weights sum to 0.5, less than 1: the remaining 50.00% is read as cash"
    ]
    # The cash has no risk: half the weights, half the volatility.
    whole = portfolio_report(WEIGHTS, DATE)
    assert half.summary["volatility"] == pytest.approx(whole.summary["volatility"] / 2)


@pytest.mark.parametrize("scale, raised", [(100.0, InvalidArgument), (0.5, OptimizerWarning)])
def test_the_constraint_check_reads_weights_by_the_same_rule(helpers, scale, raised):
    weights = WEIGHTS * scale
    if raised is InvalidArgument:
        with pytest.raises(InvalidArgument, match="^weights: the weights sum to 100, more than 1"):
            check_constraints(weights, DATE, bnds={"*": (0, 0.5)})
        return
    with pytest.warns(OptimizerWarning, match="the remaining 50.00% is read as cash"):
        table = check_constraints(weights, DATE, bnds={"*": (0, 0.5)})
    assert table.set_index("label").loc["full investment", "violated"]


class NoFactorModel(FactorModelHelper):
    get_union_factor_model = None


class BrokenFactorModel(FactorModelHelper):
    def get_union_factor_model(self):
        return self.exposure.iloc[:2], self.factor_cov


class NaNFactorModel(FactorModelHelper):
    def get_union_factor_model(self):
        return self.exposure, self.factor_cov.iloc[:-1, :-1]  # a factor without covariance


class NotAFactorModel(FactorModelHelper):
    def get_union_factor_model(self):
        return self.exposure.to_numpy()


@pytest.mark.parametrize(
    "helper, message",
    [
        (NoFactorForm, "offers no covariance"),
        (NoFactorModel, "no factor model by factor"),
        (BrokenFactorModel, "does not have one row per stock of the 5"),
        (NaNFactorModel, "holds NaN or inf"),
        (NotAFactorModel, "expected (exposure, factor_cov) DataFrames"),
    ],
)
def test_helper_without_a_usable_risk_model_is_refused(monkeypatch, helper, message):
    monkeypatch.setattr(optimize, "OptimizeHelper", helper)
    with pytest.raises(InvalidArgument, match=re.escape(message)):
        portfolio_report(WEIGHTS, DATE)


def test_tables_and_plots(helpers):
    pytest.importorskip("matplotlib")
    report = portfolio_report(WEIGHTS, DATE, benchmark=Benchmark())
    assert set(report.to_frames()) == {
        "summary",
        "industries",
        "styles",
        "risk_contributions",
        "factor_contributions",
    }
    frame = report.to_frame("styles")
    frame.iloc[0, 0] = 99.0
    assert report.styles.iloc[0, 0] != 99.0  # a copy
    assert list(report.to_frame().columns) == ["value"]
    with pytest.raises(InvalidArgument, match="'weights' is not one of"):
        report.to_frame("weights")
    with pytest.raises(InvalidArgument, match="'pie' is not one of"):
        report.plot("pie")
    bars = {"industries": 4 * 2, "styles": 10 * 2, "risk": 3 * 2, "weights": 5 * 2}
    for kind, count in bars.items():
        figure = report.plot(kind)
        (axes,) = figure.axes
        assert len(axes.patches) == count, kind
        assert axes.get_title()


def test_html_report_is_self_contained(helpers, tmp_path):
    pytest.importorskip("matplotlib")
    report = portfolio_report(WEIGHTS, DATE, benchmark=Benchmark())
    path = report.to_html(tmp_path / "report.html")
    text = path.read_text(encoding="utf-8")
    images = re.findall(r'src="data:image/png;base64,([^"]+)"', text)
    assert len(images) == 4
    assert all(base64.b64decode(i).startswith(b"\x89PNG\r\n\x1a\n") for i in images)
    assert not re.search(r"""(src|href)=["'](?!data:)""", text)  # nothing fetched
    for heading in ("Summary", "Industries", "Styles", "Risk by factor", "Risk by stock"):
        assert f"<h2>{heading}" in text
    assert f"<td>{report.summary['volatility']:.2%}</td>" in text


def test_html_report_lists_the_largest_risk_contributions_first(helpers, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    import vantelo._portfolio_report

    monkeypatch.setattr(vantelo._portfolio_report, "HTML_TOP_STOCKS", 3)
    report = portfolio_report(WEIGHTS, DATE)
    (helper,) = helpers
    universe = helper.union_components
    cov = helper.dense()
    w = WEIGHTS.reindex(universe, fill_value=0.0).to_numpy()
    contribution = w * (cov @ w) / math.sqrt(w @ cov @ w)
    n = len(POOL)
    expected = [universe[i] for i in np.argsort(-np.abs(contribution[:n]))[:3]]
    text = report.to_html(tmp_path / "report.html").read_text(encoding="utf-8")
    section = text.split("<h2>Risk by stock")[1].split("</section>")[0]
    body = section.split("<tbody>")[1]
    assert re.findall(r"<tr>\s*<th>([^<]+)</th>", body) == expected
    assert f"the 3 largest contributions of {n}" in section


BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")

# Appended to a copy of the report: what the browser laid out, as JSON in the DOM.
PROBE = """<script>
window.addEventListener("load", () => {
  const seen = {
    images: [...document.images].map(i => [i.naturalWidth, i.getBoundingClientRect().height]),
    tables: [...document.querySelectorAll("table")].map(t => [
      t.className, t.querySelectorAll("tbody tr").length, t.getBoundingClientRect().height]),
    headings: [...document.querySelectorAll("h2")].map(h => h.textContent),
  };
  const out = document.createElement("pre");
  out.id = "probe";
  out.textContent = JSON.stringify(seen);
  document.body.appendChild(out);
});
</script>"""


def test_html_report_names_a_path_it_cannot_write(helpers, tmp_path):
    report = portfolio_report(WEIGHTS, DATE)
    with pytest.raises(InvalidArgument, match=f"^path: '{tmp_path}' is a folder"):
        report.to_html(tmp_path)
    missing = tmp_path / "no" / "r.html"
    with pytest.raises(InvalidArgument, match="the folder .* does not exist"):
        report.to_html(missing)


@pytest.mark.skipif(BROWSER is None, reason="no Chromium on this machine")
def test_html_report_in_a_browser(helpers, tmp_path):
    pytest.importorskip("matplotlib")
    report = portfolio_report(WEIGHTS, DATE, benchmark=Benchmark())
    path = report.to_html(tmp_path / "report.html")
    probed = tmp_path / "probed.html"
    probed.write_text(
        path.read_text(encoding="utf-8").replace("</body>", PROBE + "</body>"), encoding="utf-8"
    )
    done = subprocess.run(
        [
            BROWSER,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--virtual-time-budget=5000",
            "--dump-dom",
            probed.as_uri(),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    found = re.search(r'<pre id="probe">(.*?)</pre>', done.stdout, re.S)
    assert found, done.stderr[-2000:]
    seen = json.loads(found.group(1).replace("&quot;", '"').replace("&amp;", "&"))
    assert len(seen["images"]) == 4
    assert all(width > 300 and height > 100 for width, height in seen["images"])
    rows = {name.split()[-1]: (count, height) for name, count, height in seen["tables"]}
    assert rows["summary"][0] == len(report.summary)
    assert rows["styles"][0] == len(STYLE_FACTORS)
    assert rows["industries"][0] == len(report.industries)
    assert rows["factor_contributions"][0] == len(report.factor_contributions)
    assert rows["risk_contributions"][0] == len(report.risk_contributions)
    assert all(height > 0 for _, height in rows.values())
    assert seen["headings"][:2] == ["Summary", "Figures"]


# ---------------------------------------------------------------------------
# clean_weights
# ---------------------------------------------------------------------------

RAW = {"A": 0.5, "B": 0.29996, "C": 0.2, "D": 0.00004}


@pytest.mark.parametrize("kind", [dict, pd.Series])
def test_clean_weights_keeps_the_type_and_sums_to_one(kind):
    raw = kind(RAW) if kind is dict else pd.Series(RAW, name="w")
    cleaned = clean_weights(raw)
    assert type(cleaned) is kind
    values = pd.Series(cleaned)
    assert list(values.index) == list(RAW)
    assert values["D"] == 0.0
    assert values.sum() == pytest.approx(1.0, abs=1e-15)
    assert values["A"] == pytest.approx(0.5 / 0.99996)
    if kind is pd.Series:
        assert cleaned.name == "w"


@pytest.mark.parametrize(
    "cutoff, kept",
    [
        # A weight right at the cut-off is kept; one a hair below it is not.
        (0.05, {"A": 0.6, "B": 0.35, "C": 0.05}),
        (np.nextafter(0.05, 1.0), {"A": 0.6, "B": 0.35}),
        (0.0, {"A": 0.6, "B": 0.35, "C": 0.05}),
    ],
)
def test_clean_weights_keeps_a_weight_at_the_cutoff(cutoff, kept):
    raw = {"A": 0.6, "B": 0.35, "C": 0.05}
    cleaned = clean_weights(raw, cutoff=cutoff)
    total = sum(kept.values())
    expected = {code: kept.get(code, 0.0) / total for code in raw}
    assert cleaned == pytest.approx(expected, abs=1e-15)


# 400 decimals: more than a float holds, so the weights stay as they are.
@pytest.mark.parametrize("decimals, places", [(0, 0), (1, 1), (2, 2), (3, 3), (400, 15)])
def test_clean_weights_rounds_and_still_sums_to_one(decimals, places):
    weights = pd.Series([1 / 3, 1 / 3, 1 / 3, 1e-6], index=list("abcd"))
    cleaned = clean_weights(weights, decimals=decimals)
    assert cleaned.sum() == pytest.approx(1.0, abs=1e-12)
    np.testing.assert_array_equal(cleaned, cleaned.round(places))
    np.testing.assert_allclose(cleaned.iloc[1:3], 1 / 3, atol=0.5 * 10**-places)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"cutoff": 0.9}, "no weight is at or above the cutoff"),
        ({"cutoff": -1}, "cutoff"),
        ({"cutoff": math.nan}, "cutoff"),
        ({"cutoff": 10**400}, "cutoff"),
        ({"decimals": 1.5}, "decimals"),
        ({"decimals": -1}, "decimals"),
    ],
)
def test_clean_weights_rejects(kwargs, message):
    with pytest.raises(InvalidArgument, match=message):
        clean_weights(RAW, **kwargs)


# ---------------------------------------------------------------------------
# The demo market: the package's own helper
# ---------------------------------------------------------------------------

DEMO_DATE = "2025-06-30"
DEMO_INDEX = "990300.XSHG"


@pytest.fixture(scope="module")
def demo_weights():
    tidewell = pytest.importorskip("tidewell")
    codes = sorted(tidewell.index_weights(DEMO_INDEX, DEMO_DATE).index)[:40:2]
    rng = np.random.default_rng(3)
    weights = rng.uniform(0.0, 1.0, size=len(codes))
    return pd.Series(weights / weights.sum(), index=codes)


def test_demo_market_matches_the_dense_covariance(demo_weights):
    from vantelo.helper import OptimizeHelper

    report = portfolio_report(demo_weights, DEMO_DATE, benchmark=DEMO_INDEX)
    helper = OptimizeHelper(
        list(demo_weights.index),
        optimize.to_date(DEMO_DATE),
        optimize.IndexBenchmark(DEMO_INDEX),
        CovModel.FACTOR_MODEL_DAILY,
    )
    cov = helper.get_union_cov_matrix()
    exposure, factor_cov = helper.get_union_factor_model()
    _, specific = helper.get_union_cov_factor()
    x = exposure.to_numpy()
    np.testing.assert_allclose(
        x @ factor_cov.to_numpy() @ x.T + np.diag(specific), cov, atol=1e-12
    )
    w = demo_weights.reindex(helper.union_components, fill_value=0.0).to_numpy()
    a = w - helper.benchmark_weight.to_numpy()
    sigma, te = math.sqrt(w @ cov @ w), math.sqrt(a @ cov @ a)
    assert report.summary["volatility"] == pytest.approx(sigma, abs=TOL)
    assert report.summary["tracking_error"] == pytest.approx(te, abs=TOL)
    stocks = report.risk_contributions
    np.testing.assert_allclose(stocks["contribution"], w * (cov @ w) / sigma, atol=TOL)
    np.testing.assert_allclose(stocks["active_contribution"], a * (cov @ a) / te, atol=TOL)
    factors = report.factor_contributions
    assert factors["contribution"].sum() == pytest.approx(sigma, abs=TOL)
    assert factors["active_share"].sum() == pytest.approx(1.0, abs=TOL)
    styles = helper.get_factor_exposure().T @ demo_weights
    np.testing.assert_allclose(report.styles["portfolio"], styles, atol=TOL)
    industries = helper.get_industry_mapping(IndustryClassification.SWS)
    by_industry = demo_weights.groupby(industries.to_numpy()).sum()
    np.testing.assert_allclose(
        report.industries["portfolio"].reindex(by_industry.index), by_industry, atol=TOL
    )
    assert report.industries["benchmark"].sum() == pytest.approx(1.0, abs=1e-9)
    assert isinstance(report, PortfolioReport)
    assert report.benchmark == DEMO_INDEX


def test_check_marks_as_binding_what_binds_at_the_benchmark_reference(monkeypatch):
    """The benchmark harness's case b (industries within 3% and styles within 0.2 of the
    800 index, 0-5% a stock, over the 300 pool), solved by its own reference (Clarabel at
    tight tolerances, its own arithmetic): check_constraints on that solution marks as
    binding exactly the limits the harness finds binding, and none violated."""
    pytest.importorskip("clarabel")
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "benchmarks"))
    try:
        import problems
        import solvers
    finally:
        sys.path.pop(0)
    import cvxpy

    from vantelo.constraints import WildcardIndustryConstraint, wildcard_style_constraint

    # The harness times every cvxpy solve by wrapping Problem.solve; the wrap is put
    # back afterwards, or later tests would run on a cvxpy that is not as installed.
    monkeypatch.setattr(cvxpy.Problem, "solve", cvxpy.Problem.solve)
    monkeypatch.setattr(solvers, "_SOLVE_WRAPPED", solvers._SOLVE_WRAPPED)
    problem = problems.Problem(problems.build_problem("300"))
    weights = solvers.setup_reference(problem, "b")()
    near = 1e-7  # the reference's tolerance is 1e-10; this leaves room, far below a band
    expected = {f"bnds {code} upper" for code in problem.pool[weights >= problems.UPPER - near]}
    # A stock that holds nothing is at its lower bound of 0, which is a limit too.
    expected |= {f"bnds {code} lower" for code in problem.pool[weights <= near]}
    sums = problem.industry_rows @ weights
    for name, value, low, high in zip(
        problem.industry_names, sums, problem.industry_low, problem.industry_high
    ):
        if abs(value - low) < near:
            expected.add(f"WildcardIndustryConstraint {name} lower")
        if abs(value - high) < near:
            expected.add(f"WildcardIndustryConstraint {name} upper")
    styles = problem.exposure.T @ weights
    for name, value, low, high in zip(
        problem.style_names, styles, problem.style_low, problem.style_high
    ):
        if abs(value - low) < near:
            expected.add(f"StyleConstraint {name} lower")
        if abs(value - high) < near:
            expected.add(f"StyleConstraint {name} upper")
    assert len(expected) > 3  # the case is built so that several limits bind

    table = check_constraints(
        pd.Series(weights, index=list(problem.pool)),
        problem.date,
        bnds={"*": (0.0, problems.UPPER)},
        cons=[
            WildcardIndustryConstraint(lower_limit=-0.03, upper_limit=0.03, relative=True),
            wildcard_style_constraint(lower_limit=-0.2, upper_limit=0.2, relative=True),
        ],
        benchmark=problems.BENCHMARK,
    )
    binding = set(table.label[table.binding]) - {"full investment"}
    assert binding == expected
    assert not table.violated.any()


def test_style_and_industry_tables_of_weights_that_leave_pool_stocks_out():
    # A backtest's record asks these of each date's weights; weights that leave
    # some pool stocks out hold nothing in them, and a code outside the pool counts
    # for nothing either.
    import tidewell as tw
    from vantelo.helper import OptimizeHelper
    from vantelo.report import industry_weights, style_exposures

    day = pd.Timestamp("2024-03-29").date()
    pool = sorted(tw.index_weights("990300.XSHG", day).index)[:40]
    helper = OptimizeHelper(pool, day, None, CovModel.FACTOR_MODEL_DAILY)
    rng = np.random.default_rng(3)
    held = pd.Series(rng.dirichlet(np.ones(25)), index=pool[::-1][:25])
    weights = pd.concat([held, pd.Series([0.5], index=["999999.XSHG"])])
    full = held.reindex(pool, fill_value=0.0)

    exposure = tw.get_factor_exposure(pool, day)
    styles = [s for s in STYLE_FACTORS if s in exposure.columns]
    expected = exposure.loc[pool, styles].T.to_numpy() @ full.to_numpy()
    table = style_exposures(helper, weights, False)
    assert list(table.index) == styles
    np.testing.assert_allclose(table["portfolio"].to_numpy(), expected, atol=1e-12)

    industries = tw.get_industry(pool, day, IndustryClassification.SWS.value)
    by_hand = held.groupby(industries.reindex(held.index).to_numpy()).sum()
    table = industry_weights(helper, weights, IndustryClassification.SWS, False)
    assert table["portfolio"].is_monotonic_decreasing
    pd.testing.assert_series_equal(
        table["portfolio"].sort_index(),
        by_hand.sort_index(),
        check_names=False,
        check_index_type=False,
    )
