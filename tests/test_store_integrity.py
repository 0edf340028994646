"""The store under interruption and concurrency: an import killed with SIGKILL leaves
the previous database whole, and readers during imports see one version per call.

A small slice of reliability/storecheck.py (which runs more kills and swaps).
"""

import sys

import pytest

from reliability import storecheck

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
        assert record["leftovers_after_next_import"] == 0, record


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


def _kill_while_writing(source, dest):
    """Starts an import and kills it once its temporary database exists."""
    import os
    import signal
    import subprocess
    import time

    for _ in range(5):
        importer = subprocess.Popen(storecheck._python(storecheck.IMPORT, source, dest))
        while importer.poll() is None and not [
            p for p in storecheck.leftovers(dest) if p.endswith(".tmp")
        ]:
            time.sleep(0.005)
        if importer.poll() is None:
            importer.send_signal(signal.SIGKILL)
            importer.wait()
            return [os.path.basename(p) for p in storecheck.leftovers(dest)]
    raise AssertionError("every import finished before its temporary file was seen")


def test_temporaries_of_a_killed_import_are_removed_by_the_next_one(tmp_path):
    old = storecheck.write_source(str(tmp_path / "v1"), 1)
    new = storecheck.write_source(str(tmp_path / "v2"), 2)
    dest = str(tmp_path / "store.duckdb")
    storecheck.run_import(old, dest)
    left = _kill_while_writing(new, dest)
    assert any(name.endswith(".tmp") for name in left), left
    storecheck.run_import(old, dest)
    assert storecheck.leftovers(dest) == []
    assert storecheck.version_read(dest) == ("v1", 1)


def test_a_live_writers_temporary_is_not_removed(tmp_path):
    import fcntl

    import tidewell

    source = storecheck.write_source(str(tmp_path / "v1"), 1)
    dest = tmp_path / "store.duckdb"
    live = tmp_path / ".store.duckdb.live.tmp"
    live.write_bytes(b"being written")
    with open(str(live) + ".lock", "w") as lock:
        fcntl.flock(lock.fileno(), fcntl.LOCK_EX)  # as the writer holds it
        tidewell.import_database(source, dest)
        assert live.exists()
    tidewell.import_database(source, dest)  # the writer is gone now
    assert not live.exists() and storecheck.leftovers(str(dest)) == []
