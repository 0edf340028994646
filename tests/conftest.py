"""Fixtures over the shared stand-ins (reliability/standins.py): a helper built from a
small random factor model, instrument records, and a fixture that puts fakes in place of
the market-data client."""

import csv
import errno
import os
import shutil
import types

import pytest

from reliability.standins import DATE, PREV_DATE, FakeHelper, Record, stock

__all__ = ["DATE", "PREV_DATE", "FakeHelper", "Record", "stock"]


@pytest.fixture(scope="session", autouse=True)
def messages_in_chinese():
    """The suite reads the optimiser's messages in Chinese, as they come by default."""
    from vantelo.messages import set_language

    set_language("zh")
    yield


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


# --------------------------------------------------------------------------- a trading day

TINY = os.path.join(os.path.dirname(__file__), "data", "tiny")
TRADING_DAY = "2024-01-09"

# Stocks added to the tiny market for the trading day, with their board and their
# close, limit-up and limit-down prices and suspension on 2024-01-08 and 2024-01-09.
TRADING_STOCKS = {
    "600001.XSHG": ("main", (10.00, 11.00, 9.00, 0), (10.00, 11.00, 9.00, 0)),
    "600003.XSHG": ("main", (8.00, 8.80, 7.20, 0), (8.00, 8.80, 7.20, 1)),  # suspended
    "600004.XSHG": ("main", (10.00, 11.00, 9.00, 0), (11.00, 11.00, 9.00, 0)),  # limit-up
    "600005.XSHG": ("main", (10.00, 11.00, 9.00, 0), (9.00, 11.00, 9.00, 0)),  # limit-down
    "600006.XSHG": ("main", (5.00, 5.50, 4.50, 0), (5.00, 5.25, 4.75, 0)),  # ST from 01-09
    "688001.XSHG": ("star", (50.00, 60.00, 40.00, 0), (50.00, 60.00, 40.00, 0)),
    "300001.XSHE": ("chinext", (20.00, 24.00, 16.00, 0), (20.00, 24.00, 16.00, 0)),
    "000020.XSHE": ("main", (15.00, 16.50, 13.50, 0), (15.00, 16.50, 13.50, 0)),
    "000010.XSHE": (None, (30.00, None, None, 0), (30.00, 33.00, 27.00, 0)),  # no board
}
SPECIAL_TREATMENT = [
    ("600006.XSHG", "2024-01-09", ""),
    ("600001.XSHG", "2024-01-02", "2024-01-09"),
]


def write_csv(path, rows):
    with open(path, "w", newline="") as fh:
        csv.writer(fh).writerows(rows)


def trading_tables(folder):
    """The tiny market in ``folder`` plus boards, daily prices and special treatment."""
    shutil.copytree(TINY, folder)
    with open(os.path.join(folder, "instruments.csv"), "a", newline="") as fh:
        writer = csv.writer(fh)
        for code in ("600003.XSHG", "600004.XSHG", "600005.XSHG", "600006.XSHG", "688001.XSHG"):
            writer.writerow([code, "Co " + code[:6], "CS", "XSHG", "2011-01-04", ""])
        writer.writerow(["300001.XSHE", "Co 300001", "CS", "XSHE", "2011-01-04", ""])
    prices = [["order_book_id", "date", "close", "limit_up", "limit_down", "suspended"]]
    boards = [["order_book_id", "board"]]
    for code, (board, before, on) in TRADING_STOCKS.items():
        for day, row in (("2024-01-08", before), (TRADING_DAY, on)):
            prices.append([code, day, *["" if v is None else v for v in row]])
        if board:
            boards.append([code, board])
    write_csv(os.path.join(folder, "daily_prices.csv"), prices)
    write_csv(os.path.join(folder, "boards.csv"), boards)
    write_csv(
        os.path.join(folder, "special_treatment.csv"),
        [["order_book_id", "start_date", "end_date"], *SPECIAL_TREATMENT],
    )
    return folder


@pytest.fixture(scope="session")
def trading_store(tmp_path_factory):
    """A store holding the hand-built trading day (built once)."""
    import tidewell

    folder = tmp_path_factory.mktemp("trading")
    source = trading_tables(folder / "src")
    return tidewell.import_database(source, folder / "day.duckdb")


@pytest.fixture
def trading_day(trading_store, monkeypatch):
    """The hand-built trading day's store, in use for the test; returns the day."""
    import tidewell

    monkeypatch.delenv("TIDEWELL_DB", raising=False)
    tidewell.set_database(trading_store)
    yield TRADING_DAY
    tidewell.set_database(None)


@pytest.fixture(scope="session")
def tiny_store(tmp_path_factory):
    """The tiny market of tests/data/tiny as a store (the rebalance and backtest tests)."""
    import tidewell

    path = str(tmp_path_factory.mktemp("store") / "tiny.duckdb")
    tidewell.import_database(TINY, path)
    return path


@pytest.fixture
def tiny(tiny_store):
    """tidewell pointed at the tiny store for the test."""
    import tidewell

    tidewell.set_database(tiny_store)
    yield tiny_store
    tidewell.set_database(None)
