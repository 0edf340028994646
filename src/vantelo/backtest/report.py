"""The report of a backtest: one HTML file a browser opens as it is, its figures
embedded as PNG, to hand on.

It holds the measures with their units, the annual and monthly returns, the figures
of `vantelo.backtest.figures` (cumulative return against the benchmark, drawdown,
rolling tracking error and information ratio, turnover and costs of each date,
active exposures), what each date did and the strategy's configuration.
`RebalanceResult.to_html` writes it; so does `vantelo backtest` on the command line.
"""

from __future__ import annotations

import base64
import datetime
import html
import io
import math
import pathlib

import pandas as pd

from vantelo._html import html_page, html_table
from vantelo.backtest import figures, performance

__all__ = ["measure_table", "measure_text", "write_html"]

# Units whose values are shown as percentages.
_PERCENT_UNITS = ("fraction", "share")


def _image(figure, name):
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=96)
    encoded = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<figure><img alt="{name}" src="data:image/png;base64,{encoded}"></figure>'


def measure_text(value, unit):
    """A measure's value as its unit reads: a percentage, a date, a count or a ratio."""
    if value is None or (isinstance(value, float) and math.isnan(value)) or value is pd.NaT:
        return ""
    if isinstance(value, (pd.Timestamp, datetime.date)):
        return f"{value:%Y-%m-%d}"
    if unit.startswith(_PERCENT_UNITS):
        return f"{value:.2%}"
    if unit in ("trading days", "dates"):
        return f"{int(value)}"
    return f"{value:.2f}"


def measure_table(table):
    """`performance.measures` or `compare` with every value as text."""
    shown = pd.DataFrame(index=table.index)
    for column in table.columns.drop("unit"):
        shown[column] = [measure_text(v, u) for v, u in zip(table[column], table["unit"])]
    shown["unit"] = table["unit"]
    return shown


def _percentages(frame):
    """`frame` with each number as a percentage, empty where there is none."""
    shown = pd.DataFrame(index=frame.index)
    for column in frame.columns:
        shown[str(column)] = ["" if pd.isna(v) else f"{v:.2%}" for v in frame[column]]
    shown.columns.name = frame.columns.name
    return shown


def _dates_table(result):
    records = result.records
    columns = [
        c
        for c in (
            "status",
            "holdings",
            "turnover",
            "cost",
            "ex_ante_volatility",
            "ex_ante_tracking_error",
            "binding",
            "at_bounds",
            "dropped",
        )
        if c in records.columns
    ]
    table = records[columns].copy()
    for column in ("turnover", "cost", "ex_ante_volatility", "ex_ante_tracking_error"):
        if column in table:
            digits = 3 if column == "cost" else 2
            table[column] = [
                "" if pd.isna(v) else f"{v:.{digits}%}" for v in table[column].astype(float)
            ]
    for column in ("binding", "dropped", "status"):
        if column in table:
            table[column] = ["" if pd.isna(v) else str(v) for v in table[column]]
    for column in ("holdings", "at_bounds"):
        if column in table:
            table[column] = [
                "" if pd.isna(v) else str(int(v)) for v in table[column].astype(float)
            ]
    return table


def _sections(result, risk_free, figure_html):
    measures = performance.measures(result, risk_free)
    sections = [
        ("Measures", html_table(measure_table(measures), "measures")),
        ("Figures", '<div class="figures">' + "\n".join(figure_html) + "</div>"),
        ("Annual returns", html_table(_percentages(result.annual_returns()), "annual")),
        (
            "Monthly returns",
            html_table(
                _percentages(
                    result.monthly_returns("active" if "active" in result.returns else "portfolio")
                ),
                "monthly",
            ),
        ),
        ("Dates", html_table(_dates_table(result), "dates")),
        (
            "Configuration",
            html_table(
                pd.DataFrame(result.config, columns=["setting", "value"]),
                "configuration",
                index=False,
            ),
        ),
    ]
    return sections


def write_html(result, path, title=None, risk_free=0.0):
    """Writes the report of `result` (a `RebalanceResult`) to `path`, replacing a file
    that is there; returns the path as a `pathlib.Path`.

    :param title: the page's heading; by default the span of the backtest
    :param risk_free: the annual risk-free rate of the Sharpe and Sortino ratios
    :raises ImportError: when matplotlib is not installed (the `plot` group)
    """
    path = pathlib.Path(path)
    images = [_image(draw(result), name) for name, draw in figures.FIGURES.items()]
    start = pd.Timestamp(result.records.index[0])
    end = result.returns.index[-1] if len(result.returns) else start
    heading = title or f"Backtest, {start:%Y-%m-%d} to {end:%Y-%m-%d}"
    monthly_of = "active return" if "active" in result.returns else "return"
    body = "\n".join(
        f"<section><h2>{html.escape(name)}</h2>\n"
        + (
            f'<p class="note">The {monthly_of} of each month.</p>\n'
            if name == "Monthly returns"
            else ""
        )
        + f"{content}</section>"
        for name, content in _sections(result, risk_free, images)
    )
    meta = (
        f"{len(result.records)} rebalance dates, risk-free rate {risk_free:.2%}, written "
        f"{datetime.datetime.now():%Y-%m-%d %H:%M}"
    )
    path.write_text(
        html_page(
            heading,
            meta,
            body,
            style=(
                ".note { color: #666; margin-top: 0; }\n"
                "table.configuration td, table.dates td { text-align: left; }\n"
                ".figures { grid-template-columns: 1fr; }"
            ),
        ),
        encoding="utf-8",
    )
    return path
