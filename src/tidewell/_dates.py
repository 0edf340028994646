"""Turning the many ways a caller may write a date into ``datetime.date``."""

from __future__ import annotations

import datetime as _dt

import numpy as np
import pandas as pd

from ._errors import TidewellError, TidewellTypeError

_TEXT_FORMATS = ("%Y-%m-%d", "%Y%m%d", "%Y/%m/%d")


def to_date(value, what: str = "date") -> _dt.date:
    """Return ``value`` as a ``datetime.date``.

    Accepts ``datetime.date``, ``datetime.datetime`` (and so pandas ``Timestamp``),
    ``numpy.datetime64``, text such as ``"2024-03-05"`` or ``"20240305"`` and the
    integer ``20240305``.
    """
    if value is None or value is pd.NaT:
        raise TidewellError(f"{what} is missing (got {value!r})")
    if isinstance(value, _dt.datetime):
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if isinstance(value, np.datetime64):
        if np.isnat(value):
            raise TidewellError(f"{what} is missing (got {value!r})")
        return pd.Timestamp(value).date()
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        value = str(int(value))
    if isinstance(value, str):
        text = value.strip()
        for fmt in _TEXT_FORMATS:
            try:
                return _dt.datetime.strptime(text, fmt).date()
            except ValueError:
                pass
        try:
            from dateutil.parser import isoparse

            return isoparse(text).date()
        except (ValueError, OverflowError):
            pass
        raise TidewellError(f"invalid {what} {value!r}; write it like '2024-03-05' or '20240305'")
    raise TidewellTypeError(
        f"{what} must be a date, datetime, Timestamp or text like '2024-03-05', "
        f"not {type(value).__name__} {value!r}"
    )


def date_text(value) -> str:
    """Format an optional date as ``%04d-%02d-%02d``, ``0000-00-00`` for none."""
    if value is None or value is pd.NaT:
        return "0000-00-00"
    if isinstance(value, float) and np.isnan(value):
        return "0000-00-00"
    d = to_date(value)
    return f"{d.year:04d}-{d.month:02d}-{d.day:02d}"
