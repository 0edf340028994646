"""The store under interruption and concurrency: an import killed with SIGKILL leaves
the previous database whole, and readers during imports see one version per call.

A small slice of reliability/storecheck.py (which runs more kills and swaps).
"""

import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from reliability import storecheck  # noqa: E402

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="SIGKILL")


def test_killed_import_leaves_the_previous_database_and_the_next_import_succeeds(tmp_path):
    result = storecheck.kills(str(tmp_path), count=3, seed=1)
    for record in result["kills"]:
        if record["returncode"] == 0:  # the import finished before the signal
            assert record["after_kill"] == ("v2", 2), record
        else:
            assert record["returncode"] == -9
            # Version 1 whole, or version 2 whole when the kill came after the rename.
            assert record["after_kill"] in (("v1", 1), ("v2", 2)), record
        assert record["after_next_import"] == ("v1", 1), record


def test_readers_during_imports_see_one_version_per_call(tmp_path):
    result = storecheck.readers(str(tmp_path), swaps=4)
    for counts in result["readers"]:
        assert counts["errors"] == []
        assert counts["mixed"] == 0
        assert counts["1"] > 0 and counts["2"] > 0, counts


@pytest.mark.parametrize("version", [1, 2])
def test_the_two_versions_are_told_apart(tmp_path, version):
    # The checks above rely on this: a store reads as the version it was built from,
    # and a table with a column of the other version reads as neither.
    import tidewell

    source = storecheck.write_source(str(tmp_path / "source"), version)
    dest = str(tmp_path / "store.duckdb")
    storecheck.run_import(source, dest)
    assert storecheck.version_read(dest) == (f"v{version}", version)
    tidewell.set_database(dest)
    try:
        frame = tidewell.get_price_change_rate(storecheck.ids(), *storecheck._span())
    finally:
        tidewell.set_database(None)
    frame.iloc[:, 7] = [storecheck.rate(3 - version, 7)] * len(frame)
    assert storecheck.rates_version(frame) is None
