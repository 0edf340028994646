"""PortfolioReport: the tables of one portfolio on one date, its figures and the HTML
file they make."""

import base64
import datetime
import html
import io

import numpy as np
import pandas as pd

from vantelo._html import _matplotlib_figure, _reason, html_page, html_table, writable_path
from vantelo.exception import InvalidArgument

# The risk-contribution table in the HTML report: the stocks that matter most.
HTML_TOP_STOCKS = 30


# The "weights" figure: the largest holdings.
PLOT_TOP_HOLDINGS = 20


PLOT_KINDS = ("industries", "styles", "risk", "weights")


TABLES = ("summary", "industries", "styles", "risk_contributions", "factor_contributions")


# The groups of the factor table, in the order the risk figure shows them. A model
# built from prices has a market factor and statistical ones besides styles and
# industries.
FACTOR_GROUPS = ("market", "style", "industry", "statistical", "specific")


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
        return html_page(title, meta, body)


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
