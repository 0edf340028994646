"""The figures of a backtest, drawn off-screen with matplotlib (the optional group
`plot`). Every figure spans the same time axis, from the first rebalance date to the
end of the returns, so that one date sits at the same place in each.

`overview` is `RebalanceResult.plot()`; `FIGURES` are the report's, each a function
of the result returning a `matplotlib.figure.Figure`.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from vantelo import _rebalance
from vantelo.backtest import performance

__all__ = ["FIGURES", "overview"]

WIDTH = 10.0
# Industries drawn in the exposure figure: those furthest from the benchmark.
TOP_INDUSTRIES = 8


def _figure(height, rows=1, ratios=None):
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError(
            "the backtest's figures need matplotlib: pip install 'vantelo[plot]'"
        ) from None
    figure = Figure(figsize=(WIDTH, height), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(rows, 1, sharex=True, height_ratios=ratios, squeeze=False)[:, 0]
    return figure, list(axes)


def _span(result):
    """The time axis: from the first rebalance date to the last day of returns."""
    start = pd.Timestamp(result.records.index[0])
    end = result.returns.index[-1] if len(result.returns) else start
    return start, end


def _dates(result):
    return pd.DatetimeIndex(pd.to_datetime(list(result.records.index)))


def _bar_width(dates):
    """Bars a little narrower than the closest two dates are apart, in days."""
    if len(dates) < 2:
        return 2.0
    gaps = np.diff(dates.values).astype("timedelta64[D]").astype(float)
    return max(0.6 * float(gaps.min()), 0.8)


def _percent(axes, decimals=None):
    from matplotlib.ticker import PercentFormatter

    axes.yaxis.set_major_formatter(PercentFormatter(1.0, decimals=decimals))


def _finish(figure, axes, result, title):
    start, end = _span(result)
    for ax in axes:
        ax.set_xlim(start, end)
        ax.grid(alpha=0.3)
    if title:
        figure.suptitle(title)
    return figure


def _growth(result):
    """Cumulative returns from the first rebalance date (0 there)."""
    start, _ = _span(result)
    growth = (1.0 + result.returns).cumprod() - 1.0
    first = pd.DataFrame(0.0, index=pd.DatetimeIndex([start]), columns=growth.columns)
    return pd.concat([first, growth])


def _drawdown(result, column="portfolio"):
    start, _ = _span(result)
    values = _rebalance.drawdown(result.returns[column].to_numpy(dtype=float))
    index = pd.DatetimeIndex([start]).append(result.returns.index)
    return pd.Series(np.concatenate([[0.0], values]), index=index)


def _draw_growth(ax, result):
    growth = _growth(result)
    for column in growth.columns:
        ax.plot(growth.index, growth[column], label=column, linewidth=1.2)
    ax.axhline(0.0, color="black", linewidth=0.6)
    ax.set_ylabel("cumulative return")
    _percent(ax)
    ax.legend(loc="best")


def _draw_drawdown(ax, result):
    drawdown = _drawdown(result)
    ax.fill_between(drawdown.index, -drawdown.to_numpy(), 0.0, color="tab:red", alpha=0.4)
    ax.plot(drawdown.index, -drawdown.to_numpy(), color="tab:red", linewidth=0.8, label="drawdown")
    ax.set_ylabel("drawdown")
    _percent(ax)


def _draw_turnover(ax, result):
    dates = _dates(result)
    ax.bar(
        dates,
        result.records["turnover"].to_numpy(dtype=float),
        width=_bar_width(dates),
        align="edge",
    )
    ax.set_ylabel("turnover")
    _percent(ax)


def overview(result, title=None):
    """Cumulative returns, drawdown and turnover, one above the other over one time
    axis; the title names the span unless `title` is given."""
    figure, (top, middle, bottom) = _figure(7.5, 3, [3, 1.3, 1.2])
    _draw_growth(top, result)
    _draw_drawdown(middle, result)
    _draw_turnover(bottom, result)
    start, end = _span(result)
    return _finish(
        figure,
        [top, middle, bottom],
        result,
        title or f"Backtest, {start:%Y-%m-%d} to {end:%Y-%m-%d}",
    )


def cumulative_figure(result):
    figure, (ax,) = _figure(4.2)
    _draw_growth(ax, result)
    return _finish(figure, [ax], result, "Cumulative return against the benchmark")


def drawdown_figure(result):
    figure, (ax,) = _figure(2.8)
    _draw_drawdown(ax, result)
    return _finish(figure, [ax], result, "Drawdown from the running peak")


def rolling_figure(result):
    figure, (upper, lower) = _figure(4.2, 2)
    window = performance.ROLLING_WINDOW
    table = performance.rolling(result, window).astype(float)
    upper.plot(table.index, table["tracking_error"], color="tab:purple")
    upper.set_ylabel("tracking error")
    _percent(upper, 1)
    lower.plot(table.index, table["information_ratio"], color="tab:green")
    lower.axhline(0.0, color="black", linewidth=0.6)
    lower.set_ylabel("information ratio")
    return _finish(
        figure,
        [upper, lower],
        result,
        f"Rolling tracking error and information ratio ({window} days)",
    )


def trading_figure(result):
    figure, (upper, lower) = _figure(4.2, 2)
    _draw_turnover(upper, result)
    dates = _dates(result)
    costs = result.costs
    bottom = np.zeros(len(dates))
    width = _bar_width(dates)
    for column in costs.columns.drop("total"):
        values = costs[column].to_numpy(dtype=float) * 1e4
        if not values.any():
            continue
        lower.bar(
            dates, values, width=width, bottom=bottom, align="edge", label=column.replace("_", " ")
        )
        bottom = bottom + values
    lower.set_ylabel("cost (bp of value)")
    if lower.get_legend_handles_labels()[0]:
        lower.legend(loc="upper right", fontsize=8, ncol=3)
    return _finish(figure, [upper, lower], result, "Turnover and trading costs of each date")


def exposures_figure(result):
    figure, (upper, lower) = _figure(5.6, 2)
    table = result.exposures
    dates = _dates(result)
    against = "benchmark" if "benchmark" in result.returns.columns else "none"
    prefix = "active " if against == "benchmark" else ""
    if table is not None and "style" in table.columns.get_level_values(0):
        styles = table["style"]
        for name in styles.columns:
            upper.plot(dates, styles[name].to_numpy(dtype=float), label=name, linewidth=1.0)
        upper.legend(loc="upper left", fontsize=7, ncol=5)
    upper.axhline(0.0, color="black", linewidth=0.6)
    upper.set_ylabel(f"{prefix}style exposure")
    if table is not None and "industry" in table.columns.get_level_values(0):
        industries = table["industry"]
        if against == "benchmark":
            largest = industries.abs().max().sort_values(ascending=False).index[:TOP_INDUSTRIES]
        else:
            largest = industries.mean().sort_values(ascending=False).index[:TOP_INDUSTRIES]
        for name in largest:
            lower.plot(dates, industries[name].to_numpy(dtype=float), label=name, linewidth=1.0)
        lower.legend(loc="upper left", fontsize=7, ncol=4)
    lower.axhline(0.0, color="black", linewidth=0.6)
    lower.set_ylabel(f"{prefix}industry weight")
    _percent(lower, 1)
    title = "Active exposures of each date" if prefix else "Exposures of each date"
    return _finish(figure, [upper, lower], result, title)


FIGURES = {
    "cumulative": cumulative_figure,
    "drawdown": drawdown_figure,
    "rolling": rolling_figure,
    "trading": trading_figure,
    "exposures": exposures_figure,
}
