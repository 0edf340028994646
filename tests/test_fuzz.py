"""Fuzzing the public API: whatever a caller passes, a call returns or raises an Exception.

A fixed-seed slice of the fuzz targets in reliability/targets/ (`make fuzz` runs
100,000 cases): a few cases per target in this process, then a batch in a fresh
interpreter whose exit status shows a crash (a negative return code is the
signal that killed it).
"""

import collections
import re
import subprocess
import sys
from pathlib import Path

import pytest

from reliability import fuzzing

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("name", list(fuzzing.TARGETS))
def test_every_call_returns_or_raises_an_exception(name):
    tally, failures = collections.Counter(), []
    fuzzing.fuzz(name, 5, tally, failures, derandomize=True)
    # A SystemError means a C function broke the interpreter's error protocol; a
    # WrongSuccess is a "solved" portfolio that is not one.
    assert failures == []
    assert sum(tally.values()) > 0


def _fuzz(*args):
    return subprocess.run(
        [sys.executable, "-m", "reliability.fuzz", *args],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=600,
    )


def test_a_batch_in_a_fresh_interpreter_exits_cleanly():
    run = _fuzz("--per-target", "2", "--seed", "7", "--jobs", "1")
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
    total = int(run.stdout.split("total cases: ")[1].split()[0])
    assert total == 2 * len(fuzzing.TARGETS)


def test_the_runner_reports_a_crash():
    # The guarantee above is only worth something if a crash cannot pass for success.
    run = _fuzz("--only", "selftest", "--include-crash-probe", "--per-target", "1")
    assert run.returncode == 1
    # SIGSEGV, or SIGABRT when AddressSanitizer catches the fault first.
    assert re.search(r"killed by SIG(SEGV|ABRT) while running selftest.crash_probe", run.stdout)


# --- what fuzzing found ------------------------------------------------------------------


@pytest.mark.parametrize("ids", ["600001.XSHG", ["600001.XSHG", "000020.XSHE"]])
def test_change_rates_over_a_range_without_a_trading_day_are_empty(ids):
    # 2024-01-05 to 01-07 is a Friday and a weekend, and the small calendar has no
    # 2024-01-05: this raised IndexError.
    import tidewell

    with fuzzing.tiny_store():
        rates = tidewell.get_price_change_rate(ids, "2024-01-05", "2024-01-07")
        wider = tidewell.get_price_change_rate(ids, "2024-01-05", "2024-01-08")
    assert len(rates) == 0 and rates.index.name == "date"
    assert len(wider) == 1
    if isinstance(ids, str):
        assert rates.name == ids and rates.dtype == float
    else:
        assert list(rates.columns) == [] and list(wider.columns) == ids


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda tw, tmp: tw.set_database({"path": "x"}), "TidewellTypeError"),
        (lambda tw, tmp: tw.import_database(fuzzing.TINY, "x\x00.duckdb"), "TidewellError"),
        (lambda tw, tmp: tw.import_database(["folder"], tmp / "x.duckdb"), "TidewellTypeError"),
        (lambda tw, tmp: tw.import_database(fuzzing.TINY, tmp), "TidewellError"),
        (
            lambda tw, tmp: tw.build_demo_database(tmp / "x.duckdb", "eight", False),
            "TidewellTypeError",
        ),
        (lambda tw, tmp: tw.all_instruments(type=["CS"]), "TidewellTypeError"),
    ],  # fmt: skip
    ids=["dict path", "NUL in path", "list folder", "onto a folder", "text seed", "list type"],
)
def test_tidewell_refuses_wrong_arguments_with_its_own_errors(tmp_path, call, error):
    # A path of the wrong type, a destination that is a folder, a seed or type of
    # the wrong kind: these ended in TypeError, ValueError, IsADirectoryError or a
    # pandas error, not the TidewellError the documentation promises.
    import tidewell

    with fuzzing.tiny_store():
        with pytest.raises(tidewell.TidewellError) as info:
            call(tidewell, tmp_path)
        tidewell.instruments("600001.XSHG")  # the store in use still answers
    assert type(info.value).__name__ == error
