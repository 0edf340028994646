"""The one exception type tidewell raises for bad input or bad data."""

from __future__ import annotations


class TidewellError(Exception):
    """Raised for unknown ids, dates outside the data, bad arguments or bad data files."""


class TidewellTypeError(TidewellError, TypeError):
    """A :class:`TidewellError` for arguments of the wrong type (also a ``TypeError``)."""
