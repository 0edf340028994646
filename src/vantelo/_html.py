"""How the reports are written out: figures through matplotlib, tables as HTML, and
the check of a path before anything is written to it."""

import math
import pathlib

from vantelo.exception import InvalidArgument


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
