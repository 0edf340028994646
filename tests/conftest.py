"""Fixtures over the shared stand-ins (reliability/standins.py): a helper built from a
small random factor model, instrument records, and a fixture that puts fakes in place of
the market-data client."""

import errno
import os
import types

import pytest

from reliability.standins import DATE, PREV_DATE, FakeHelper, Record, stock

__all__ = ["DATE", "PREV_DATE", "FakeHelper", "Record", "stock"]


@pytest.fixture
def fake_helper():
    return FakeHelper


@pytest.fixture
def fake_market(monkeypatch):
    """Installs instrument records (and a helper class) in place of the data side.

    Returns a namespace whose `records` dict maps code -> record and whose
    `helper_calls` list records each helper construction.
    """
    import tidewell
    import vantelo.optimize as optimize

    market = types.SimpleNamespace(records={}, helper_calls=[], helper_options={})

    def instruments(order_book_ids):
        if isinstance(order_book_ids, str):
            return market.records.get(order_book_ids)
        return [market.records[c] for c in order_book_ids if c in market.records]

    def make_helper(order_book_ids, date, benchmark, cov_model):
        market.helper_calls.append((list(order_book_ids), date, benchmark, cov_model))
        return FakeHelper(order_book_ids, benchmark=benchmark, **market.helper_options)

    monkeypatch.setattr(tidewell, "instruments", instruments, raising=False)
    monkeypatch.setattr(optimize, "OptimizeHelper", make_helper)
    for code in ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"]:
        market.records[code] = stock(code)
    return market


@pytest.fixture
def read_only(monkeypatch):
    """Makes a folder read-only; as root, where the mode is not enforced, refuses what
    it would refuse (creating files or folders in it)."""
    made = []

    def make(folder):
        folder.mkdir(parents=True, exist_ok=True)
        folder.chmod(0o555)
        made.append(folder)
        if os.access(folder, os.W_OK):
            real_open, real_mkdir = os.open, os.mkdir

            def denied(path):
                parent = os.path.dirname(os.path.abspath(os.fsdecode(path)))
                return parent == str(folder)

            def open_(path, flags, *args, **kwargs):
                if flags & os.O_CREAT and denied(path):
                    raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
                return real_open(path, flags, *args, **kwargs)

            def mkdir(path, *args, **kwargs):
                if denied(path):
                    raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
                return real_mkdir(path, *args, **kwargs)

            monkeypatch.setattr(os, "open", open_)
            monkeypatch.setattr(os, "mkdir", mkdir)
        return folder

    yield make
    for folder in made:
        folder.chmod(0o755)
