"""What came out and why: a portfolio's risk, exposures and risk contributions.

`portfolio_report` looks at a set of weights on a date, on its own or against a
benchmark, through the risk model the optimiser uses: volatility and tracking error,
industry and style exposures, each stock's and each factor's contribution to risk.
The arithmetic runs in the compiled `vantelo._report` through the factor form of the
covariance (no n x n matrix); tables are pandas, figures matplotlib (the optional
dependency group `report`), and `PortfolioReport.to_html` writes it all into one file
a browser opens. `clean_weights` tidies a solver's weights; `check_constraints`
measures them against limits.
"""

import base64
import datetime
import html
import importlib
import io
import math
import numbers
import pathlib

import numpy as np
import pandas as pd

import tidewell
import vantelo.core
import vantelo.optimize as optimize
from vantelo import _report
from vantelo.const import STYLE_FACTORS, CovModel, IndustryClassification
from vantelo.exception import InvalidArgument

__all__ = ["PortfolioReport", "check_constraints", "clean_weights", "portfolio_report"]

# A weight of at most this size is solver noise, not a holding.
HOLDING_THRESHOLD = vantelo.core.HOLDING_THRESHOLD
# The risk-contribution table in the HTML report: the stocks that matter most.
HTML_TOP_STOCKS = 30
# The "weights" figure: the largest holdings.
PLOT_TOP_HOLDINGS = 20

PLOT_KINDS = ("industries", "styles", "risk", "weights")
TABLES = ("summary", "industries", "styles", "risk_contributions", "factor_contributions")


# ---------------------------------------------------------------------------
# Arguments
# ---------------------------------------------------------------------------


def _ensure_weights(weights, check_sum=True):
    """`weights` (a Series or a dict of order_book_id -> weight) as a float Series, read
    as every module reads a portfolio handed in (`vantelo._report.read_weights`)."""
    return _report.read_weights(weights, "weights", check_sum)


def _benchmark_name(benchmark):
    if benchmark is None:
        return None
    return getattr(benchmark, "_order_book_id", None) or type(benchmark).__name__


# ---------------------------------------------------------------------------
# The report
# ---------------------------------------------------------------------------


def portfolio_report(
    weights,
    date,
    benchmark=None,
    cov_model=CovModel.FACTOR_MODEL_DAILY,
    classification=IndustryClassification.SWS,
    *,
    risk_model=None,
):
    """The risk, exposures and risk contributions of `weights` on `date`.

    The market data comes from the optimiser's own helper
    (`vantelo.optimize.OptimizeHelper`), built as `portfolio_optimize` builds it, over
    the stocks of `weights` in ascending order.

    :param weights: a Series (or a dict) of order_book_id -> weight, such as
        `portfolio_optimize` returns; taken as given (not cleaned or renormalised).
        Weights summing to more than 1 (beyond 1e-4) are refused; what weights summing
        to less leave over is read as cash, with an `OptimizerWarning`
    :param date: the date of the risk model and the market data
    :param benchmark: None, an index order_book_id or an `OptimizeBenchmark`; with one,
        the report adds tracking error, active share and the active side of every table
    :param cov_model: the risk model's covariance estimate: daily (default), monthly or
        quarterly
    :param classification: the industry standard of the industry table
    :param risk_model: a `vantelo.risk.RiskModel` of your own (or a callable date ->
        RiskModel) covering the weights' stocks and the benchmark's, used instead of
        the store's model; a dense covariance gives no factor table
    :return: a `PortfolioReport`
    :raises InvalidArgument: for weights that are not a Series or dict of finite
        numbers keyed by distinct codes or that sum to more than 1, a date that is not
        one, or a benchmark that is not an index code or an `OptimizeBenchmark`
    """
    weights = _ensure_weights(weights)
    day = _report.read_date(date)
    benchmark = _report.resolved_benchmark(benchmark)
    cov_model = optimize.to_enum(cov_model, CovModel)
    classification = optimize.to_enum(classification, IndustryClassification)
    pool = sorted(weights.index)
    weights = weights.reindex(pool)
    extra = {} if risk_model is None else {"risk_model": risk_model}
    helper = optimize.OptimizeHelper(pool, day, benchmark, cov_model, **extra)

    if benchmark is None:
        universe = pool
        held = weights
        bench = None
        total = _report.risk_decomposition(helper, held.to_numpy())
        factors = _report.factor_decomposition(helper, held.to_numpy())
        active = active_factors = None
    else:
        universe = list(helper.union_components)
        held = weights.reindex(universe, fill_value=0.0)
        bench = pd.Series(
            np.asarray(helper.benchmark_weight.values, dtype="float64"), index=universe
        )
        total = _report.risk_decomposition(helper, held.to_numpy(), over_union=True)
        factors = _report.factor_decomposition(helper, held.to_numpy(), over_union=True)
        active_weights = (held - bench).to_numpy()
        active = _report.risk_decomposition(helper, active_weights, over_union=True)
        active_factors = _report.factor_decomposition(helper, active_weights, over_union=True)

    summary = _summary(weights, total, bench, held, active)
    stocks = _risk_contributions(universe, held, total, bench, active)
    factor_table = _factor_contributions(factors, active_factors, benchmark is not None)
    styles = style_exposures(helper, weights, benchmark is not None)
    industries = industry_weights(helper, weights, classification, benchmark is not None)
    return PortfolioReport(
        weights=weights,
        date=day,
        benchmark=_benchmark_name(benchmark),
        cov_model=cov_model,
        classification=classification,
        summary=summary,
        industries=industries,
        styles=styles,
        risk_contributions=stocks,
        factor_contributions=factor_table,
    )


def _summary(weights, total, bench, held, active):
    values = weights.to_numpy()
    rows = {
        "volatility": total["volatility"],
        "factor_volatility": math.sqrt(total["factor_variance"]),
        "specific_volatility": math.sqrt(total["specific_variance"]),
    }
    if bench is not None:
        rows["tracking_error"] = active["volatility"]
        rows["active_share"] = 0.5 * float(np.abs(held.to_numpy() - bench.to_numpy()).sum())
    square_sum = float(values @ values)
    rows["holdings"] = int((np.abs(values) > HOLDING_THRESHOLD).sum())
    rows["effective_holdings"] = 1.0 / square_sum if square_sum > 0 else math.nan
    rows["max_weight"] = float(values.max())
    return pd.Series(rows, dtype="float64", name="value")


def _risk_contributions(universe, held, total, bench, active):
    table = pd.DataFrame(
        {
            "weight": held.to_numpy(),
            "marginal": total["marginal"],
            "contribution": total["contribution"],
            "share": total["share"],
        },
        index=pd.Index(universe, name="order_book_id"),
    )
    if bench is not None:
        table["benchmark_weight"] = bench.to_numpy()
        table["active_weight"] = held.to_numpy() - bench.to_numpy()
        table["active_marginal"] = active["marginal"]
        table["active_contribution"] = active["contribution"]
        table["active_share_of_risk"] = active["share"]
    return table


# The groups of the factor table, in the order the risk figure shows them. A model
# built from prices has a market factor and statistical ones besides styles and
# industries.
FACTOR_GROUPS = ("market", "style", "industry", "statistical", "specific")


def _factor_kinds():
    """{factor: kind} of the store's risk model (empty when it cannot say)."""
    try:
        return {
            name: kind
            for kind in ("market", "statistical")
            for name in tidewell.get_factor_names(kind)
        }
    except tidewell.TidewellError:
        return {}


def _factor_group(name, kinds):
    return kinds.get(name) or ("style" if name in STYLE_FACTORS else "industry")


def _factor_table(decomposition, prefix):
    names = list(decomposition["factors"]) + ["specific"]
    volatility = decomposition["volatility"]
    contribution = np.append(decomposition["contribution"], decomposition["specific"])
    share = contribution / volatility if volatility > 0 else np.full(len(names), np.nan)
    return pd.DataFrame(
        {
            prefix + "exposure": np.append(decomposition["exposure"], np.nan),
            prefix + "contribution": contribution,
            prefix + "share": share,
        },
        index=pd.Index(names, name="factor"),
    )


def _factor_contributions(factors, active_factors, with_benchmark=False):
    if factors is None:
        # A dense covariance of the caller's own has no factors to name.
        columns = ["group", "exposure", "contribution", "share"]
        if with_benchmark:
            columns += ["active_exposure", "active_contribution", "active_share"]
        return pd.DataFrame(columns=columns, index=pd.Index([], name="factor"), dtype="float64")
    table = _factor_table(factors, "")
    kinds = _factor_kinds()
    groups = [_factor_group(n, kinds) for n in factors["factors"]]
    table.insert(0, "group", groups + ["specific"])
    if active_factors is not None:
        table = table.join(_factor_table(active_factors, "active_"))
    return table


def style_exposures(helper, weights, with_benchmark):
    """The style exposures of `weights` (indexed as the helper's pool) through the
    helper: `portfolio`, and with a benchmark `benchmark` and `active`, by style."""
    exposure = helper.get_factor_exposure()
    exposure = exposure.reindex(columns=[s for s in STYLE_FACTORS if s in exposure.columns])
    portfolio = exposure.T.dot(weights.reindex(exposure.index).to_numpy())
    table = pd.DataFrame({"portfolio": portfolio.astype("float64")})
    if with_benchmark:
        bench = pd.Series(helper.get_benchmark_style(), dtype="float64")
        table["benchmark"] = bench.reindex(table.index)
        table["active"] = table["portfolio"] - table["benchmark"]
    table.index.name = "style"
    return table


def industry_weights(helper, weights, classification, with_benchmark):
    """The industry weights of `weights` through the helper: `portfolio`, and with a
    benchmark `benchmark` and `active`, by industry, largest first."""
    mapping = helper.get_industry_mapping(classification)
    mapping = pd.Series(np.asarray(mapping), index=list(helper.order_book_ids))
    portfolio = weights.groupby(mapping.reindex(weights.index).to_numpy()).sum()
    if with_benchmark:
        bench = pd.Series(helper.get_benchmark_industry_weight(classification), dtype="float64")
        names = portfolio.index.union(bench.index)
        table = pd.DataFrame(
            {
                "portfolio": portfolio.reindex(names, fill_value=0.0),
                "benchmark": bench.reindex(names, fill_value=0.0),
            }
        )
        table["active"] = table["portfolio"] - table["benchmark"]
        table = table.sort_values(["portfolio", "benchmark"], ascending=False)
    else:
        table = pd.DataFrame({"portfolio": portfolio}).sort_values("portfolio", ascending=False)
    table.index.name = "industry"
    return table.astype("float64")


# ---------------------------------------------------------------------------
# PortfolioReport
# ---------------------------------------------------------------------------


def _matplotlib_figure():
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(
            "the report's figures need matplotlib: pip install 'vantelo[report]'"
        ) from None

    def make(width, height):
        figure = Figure(figsize=(width, height), layout="constrained")
        FigureCanvasAgg(figure)
        return figure

    return make


class PortfolioReport:
    """The figures of one portfolio on one date, as `portfolio_report` returns them.

    Tables (pandas): `summary` (a Series: volatility, factor_volatility,
    specific_volatility, tracking_error and active_share with a benchmark, holdings,
    effective_holdings, max_weight), `industries` and `styles` (portfolio, and with a
    benchmark benchmark and active), `risk_contributions` (by stock: weight, marginal,
    contribution, share, and with a benchmark their active counterparts) and
    `factor_contributions` (by factor, and `specific`: group, exposure, contribution,
    share, and the active ones). `weights`, `date`, `benchmark` (its code or class
    name), `cov_model` and `classification` say what was reported on. `plot(kind)`
    draws a matplotlib figure, `to_html(path)` writes the whole report into one
    self-contained HTML file.
    """

    def __init__(
        self,
        weights,
        date,
        benchmark,
        cov_model,
        classification,
        summary,
        industries,
        styles,
        risk_contributions,
        factor_contributions,
    ):
        self.weights = weights
        self.date = date
        self.benchmark = benchmark
        self.cov_model = cov_model
        self.classification = classification
        self.summary = summary
        self.industries = industries
        self.styles = styles
        self.risk_contributions = risk_contributions
        self.factor_contributions = factor_contributions

    def __repr__(self):
        against = f" against {self.benchmark}" if self.benchmark else ""
        return f"PortfolioReport({self.date}{against})\n{self.summary.to_string()}"

    # -- tables --------------------------------------------------------------

    def to_frame(self, table="summary"):
        """A copy of one table as a DataFrame.

        :param table: "summary", "industries", "styles", "risk_contributions" or
            "factor_contributions"
        :raises InvalidArgument: for any other name
        """
        if table not in TABLES:
            raise InvalidArgument(f"table: {table!r} is not one of {list(TABLES)}")
        frame = getattr(self, table)
        if isinstance(frame, pd.Series):
            return frame.to_frame()
        return frame.copy()

    def to_frames(self):
        """Every table, by name, as DataFrames."""
        return {name: self.to_frame(name) for name in TABLES}

    # -- figures -------------------------------------------------------------

    def plot(self, kind):
        """A matplotlib Figure, drawn off-screen (Agg); save it with `savefig`.

        :param kind: "industries" or "styles" (portfolio against the benchmark),
            "risk" (shares of variance by factor group, total and active) or "weights"
            (the 20 largest holdings)
        :raises InvalidArgument: for any other kind
        :raises ImportError: when matplotlib is not installed (the `report` group)
        """
        if kind not in PLOT_KINDS:
            raise InvalidArgument(f"kind: {kind!r} is not one of {list(PLOT_KINDS)}")
        make = _matplotlib_figure()
        return getattr(self, "_plot_" + kind)(make)

    def _bars(self, make, table, title, value_format):
        columns = [c for c in ("portfolio", "benchmark") if c in table.columns]
        figure = make(7.5, 1.2 + 0.28 * len(table))
        axes = figure.add_subplot()
        positions = np.arange(len(table))
        height = 0.8 / len(columns)
        for i, column in enumerate(columns):
            axes.barh(
                positions + (i - (len(columns) - 1) / 2) * height,
                table[column].to_numpy(),
                height=height,
                label=column,
            )
        axes.set_yticks(positions, [str(n) for n in table.index])
        axes.invert_yaxis()
        axes.axvline(0.0, color="black", linewidth=0.6)
        axes.xaxis.set_major_formatter(value_format)
        axes.set_title(title)
        axes.grid(axis="x", alpha=0.3)
        if len(columns) > 1:
            axes.legend(loc="best")
        return figure

    def _percent(self):
        from matplotlib.ticker import PercentFormatter

        return PercentFormatter(1.0)

    def _plot_industries(self, make):
        table = self.industries
        if "benchmark" in table.columns:
            table = table[(table["portfolio"] != 0) | (table["benchmark"] != 0)]
        else:
            table = table[table["portfolio"] != 0]
        title = f"Industry weights ({self.classification.name})"
        return self._bars(make, table, title, self._percent())

    def _plot_styles(self, make):
        from matplotlib.ticker import FormatStrFormatter

        return self._bars(make, self.styles, "Style exposures", FormatStrFormatter("%.2f"))

    def _plot_risk(self, make):
        table = self.factor_contributions
        sides = [("share", "total risk")]
        if "active_share" in table.columns:
            sides.append(("active_share", "active risk"))
        present = set(table["group"]) | {"style", "industry", "specific"}
        groups = [g for g in FACTOR_GROUPS if g in present]
        figure = make(7.5, 3.2)
        axes = figure.add_subplot()
        positions = np.arange(len(groups))
        width = 0.8 / len(sides)
        for i, (column, label) in enumerate(sides):
            shares = table.groupby("group")[column].sum().reindex(groups, fill_value=0.0)
            offset = (i - (len(sides) - 1) / 2) * width
            bars = axes.bar(positions + offset, shares.to_numpy(), width=width, label=label)
            axes.bar_label(bars, labels=[f"{v:.1%}" for v in shares], fontsize=8)
        axes.set_xticks(positions, groups)
        axes.yaxis.set_major_formatter(self._percent())
        axes.axhline(0.0, color="black", linewidth=0.6)
        axes.set_title("Share of variance by factor group")
        axes.grid(axis="y", alpha=0.3)
        axes.legend()
        return figure

    def _plot_weights(self, make):
        top = self.weights.sort_values(ascending=False).head(PLOT_TOP_HOLDINGS)
        table = pd.DataFrame({"portfolio": top})
        if "benchmark_weight" in self.risk_contributions.columns:
            table["benchmark"] = self.risk_contributions["benchmark_weight"].reindex(top.index)
        title = f"The {len(top)} largest holdings"
        return self._bars(make, table, title, self._percent())

    # -- HTML ----------------------------------------------------------------

    def to_html(self, path):
        """Writes the report, tables and figures (PNG, embedded), into one HTML file.

        :param path: where to write; an existing file is replaced
        :return: the path, as a `pathlib.Path`
        :raises InvalidArgument: for a path that names a folder, lies in a folder that
            does not exist, or cannot be written
        """
        path = writable_path(path)
        figures = []
        for kind in PLOT_KINDS:
            buffer = io.BytesIO()
            self.plot(kind).savefig(buffer, format="png", dpi=96)
            encoded = base64.b64encode(buffer.getvalue()).decode("ascii")
            figures.append(
                f'<figure><img alt="{kind}" src="data:image/png;base64,{encoded}"></figure>'
            )
        try:
            path.write_text(self._html(figures), encoding="utf-8")
        except OSError as error:
            raise InvalidArgument(f"path: cannot write {str(path)!r} ({_reason(error)})") from None
        return path

    def _html(self, figures):
        title = f"Portfolio report, {self.date}"
        if self.benchmark:
            title += f", against {self.benchmark}"
        summary = self.summary.to_frame()
        summary["value"] = [_format_summary(k, v) for k, v in self.summary.items()]
        stocks = self.risk_contributions
        stocks = stocks.reindex(
            stocks["contribution"].abs().sort_values(ascending=False).index[:HTML_TOP_STOCKS]
        )
        sections = [
            ("Summary", html_table(summary, "summary")),
            ("Figures", '<div class="figures">' + "\n".join(figures) + "</div>"),
            ("Industries", html_table(self.industries, "industries", percent=True)),
            ("Styles", html_table(self.styles, "styles")),
            ("Risk by factor", html_table(self.factor_contributions, "factor_contributions")),
            (
                f"Risk by stock (the {len(stocks)} largest contributions of "
                f"{len(self.risk_contributions)})",
                html_table(stocks, "risk_contributions"),
            ),
        ]
        body = "\n".join(
            f"<section><h2>{html.escape(name)}</h2>\n{content}</section>"
            for name, content in sections
        )
        meta = (
            f"covariance model {self.cov_model.value}, industries "
            f"{self.classification.value}, written {datetime.datetime.now():%Y-%m-%d %H:%M}"
        )
        return _HTML_PAGE.format(title=html.escape(title), meta=html.escape(meta), body=body)


def _reason(error):
    return error.strerror or str(error)


def writable_path(path):
    """`path` as a `pathlib.Path` a file can be written to: not a folder, in a folder
    that exists. `PortfolioReport.to_html` and the command line check their outputs
    with it before the work whose result goes there.

    :raises InvalidArgument: naming the path and what is wrong with it
    """
    try:
        path = pathlib.Path(path)
    except TypeError:
        raise InvalidArgument(f"path: expected a file path, got {path!r}") from None
    if path.is_dir():
        raise InvalidArgument(f"path: {str(path)!r} is a folder; give a file name in it")
    if not path.parent.is_dir():
        raise InvalidArgument(
            f"path: cannot write {str(path)!r}: the folder {str(path.parent)!r} does not exist"
        )
    return path


_PERCENT_ROWS = {
    "volatility",
    "factor_volatility",
    "specific_volatility",
    "tracking_error",
    "active_share",
    "max_weight",
}


def _format_summary(name, value):
    if name in _PERCENT_ROWS:
        return f"{value:.2%}"
    if name == "holdings":
        return f"{int(value)}"
    return f"{value:.1f}"


def html_table(frame, css_class, percent=False, index=True):
    """`frame` as an HTML table in a scrolling box: numbers to 4 decimals, or as
    percentages with `percent`; text as it is, escaped."""

    def number(value):
        if isinstance(value, str):
            return value
        if value is None or (isinstance(value, float) and math.isnan(value)):
            return ""
        return f"{value:.2%}" if percent else f"{value:.4f}"

    formatters = {c: number for c in frame.columns if frame[c].dtype.kind in "fi"}
    table = frame.to_html(
        classes=css_class, formatters=formatters, border=0, escape=True, index=index
    )
    return f'<div class="scroll">{table}</div>'


_HTML_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
<style>
body {{ font-family: sans-serif; margin: 2em auto; max-width: 80em; padding: 0 1em; color: #222; }}
h1 {{ font-size: 1.5em; margin-bottom: 0.2em; }}
.meta {{ color: #666; margin-top: 0; }}
table {{ border-collapse: collapse; margin: 0.5em 0 1.5em; font-size: 0.9em; }}
th, td {{ padding: 0.25em 0.8em; text-align: right; border-bottom: 1px solid #ddd; }}
th {{ background: #f3f3f3; }}
figure {{ margin: 0; }}
.figures {{ display: grid; grid-template-columns: repeat(auto-fit, minmax(30em, 1fr));
  gap: 1em; align-items: start; }}
img {{ max-width: 100%; }}
.scroll {{ overflow-x: auto; }}
</style>
</head>
<body>
<h1>{title}</h1>
<p class="meta">{meta}</p>
{body}
</body>
</html>
"""


# ---------------------------------------------------------------------------
# Weights and limits
# ---------------------------------------------------------------------------


def clean_weights(weights, cutoff=1e-4, decimals=None):
    """Weights below `cutoff` set to 0, renormalised to sum to 1 and, with
    `decimals`, rounded (the rounding remainder goes to the largest weight, so the
    sum stays 1).

    :param weights: a Series or a dict of order_book_id -> weight
    :param cutoff: weights below it become 0; a finite number >= 0
    :param decimals: None, or the number of decimals to round to
    :return: the type it was given: a Series (same index) or a dict (same keys)
    :raises InvalidArgument: for a bad cutoff or decimals, or when no weight is at or
        above the cutoff
    """
    series = _ensure_weights(weights, check_sum=False)  # renormalised below
    try:
        usable = not isinstance(cutoff, bool) and isinstance(cutoff, numbers.Real)
        usable = usable and math.isfinite(cutoff) and cutoff >= 0
    except OverflowError:  # an integer beyond any float
        usable = False
    if not usable:
        raise InvalidArgument(f"cutoff: expected a finite number >= 0, got {cutoff!r}")
    if decimals is not None and (
        isinstance(decimals, bool) or not isinstance(decimals, numbers.Integral) or decimals < 0
    ):
        raise InvalidArgument(f"decimals: expected None or an integer >= 0, got {decimals!r}")
    cleaned = series.where(series >= cutoff, 0.0)
    total = float(cleaned.sum())
    if not total > 0:
        raise InvalidArgument(f"clean_weights: no weight is at or above the cutoff {cutoff}")
    cleaned = cleaned / total
    if decimals is not None:
        # Beyond 15 decimals a float64 weight holds no more digits (and numpy's
        # rounding would overflow on the way).
        places = min(int(decimals), 15)
        cleaned = cleaned.round(places)
        largest = cleaned.idxmax()
        cleaned[largest] = round(cleaned[largest] + (1.0 - cleaned.sum()), places)
    if isinstance(weights, dict):
        return {code: float(cleaned[code]) for code in weights}
    cleaned.name = weights.name
    return cleaned


def check_constraints(
    weights,
    date,
    bnds=None,
    cons=None,
    benchmark=None,
    cov_model=CovModel.FACTOR_MODEL_DAILY,
    *,
    risk_model=None,
):
    """One row per limit that `bnds` and `cons` set, with the portfolio's value
    against it: columns label, value, lower, upper, slack, binding, violated.

    The limits carry the labels the infeasibility diagnosis gives them; the check
    itself lives beside it, in `vantelo.diagnose` (`vantelo.diagnose.check_constraints`
    describes the columns).
    """
    diagnose = importlib.import_module("vantelo.diagnose")
    return diagnose.check_constraints(
        weights,
        date,
        bnds=bnds,
        cons=cons,
        benchmark=benchmark,
        cov_model=cov_model,
        risk_model=risk_model,
    )
