"""How the reports are written out: figures through matplotlib, tables as HTML, and
the check of a path before anything is written to it."""

import html
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


_PAGE = """<!DOCTYPE html>
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
{style}
</style>
</head>
<body>
<h1>{title}</h1>
<p class="meta">{meta}</p>
{body}
</body>
</html>
"""


def html_page(title, meta, body, style=""):
    """One HTML page of a report: the title and a line about it (both escaped), the
    body as given, and plain CSS rules of the report's own after the shared ones."""
    return _PAGE.format(title=html.escape(title), meta=html.escape(meta), body=body, style=style)
