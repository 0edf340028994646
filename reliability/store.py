"""The real market-data client over a small database imported from tests/data/tiny.

`tiny_store()` is the environment of the fuzz targets of tidewell and of the
leak check's tidewell calls: a fresh copy of the small database in a scratch
folder, which is also the working directory while it is in use.
"""

import atexit
import contextlib
import os
import shutil
import tempfile
from pathlib import Path

import tidewell

TINY = Path(__file__).resolve().parents[1] / "tests" / "data" / "tiny"
# While a tiny store is in use: "db", the path of its database, and "dir", its folder.
active = {}
_template = {}


def _template_database():
    """The tiny database, imported once per process; each context works on a copy."""
    if "path" not in _template:
        folder = tempfile.mkdtemp(prefix="tidewell-template-")
        atexit.register(shutil.rmtree, folder, True)
        _template["path"] = tidewell.import_database(TINY, os.path.join(folder, "tiny.duckdb"))
    return _template["path"]


@contextlib.contextmanager
def tiny_store():
    """The real client over a database imported from tests/data/tiny, in a scratch folder.

    The scratch folder is also the working directory, so that relative paths a
    case hands to the importer land there.
    """
    from tidewell import _database

    workdir = tempfile.mkdtemp(prefix="tidewell-fuzz-")
    saved_path, cwd = _database._explicit_path, os.getcwd()
    saved_cache = os.environ.get("XDG_CACHE_HOME")
    os.environ["XDG_CACHE_HOME"] = workdir  # the demo's default place, out of harm's way
    try:
        active["db"] = shutil.copy(_template_database(), os.path.join(workdir, "tiny.duckdb"))
        active["dir"] = workdir
        os.chdir(workdir)
        tidewell.set_database(active["db"])
        yield
    finally:
        os.chdir(cwd)
        if saved_cache is None:
            os.environ.pop("XDG_CACHE_HOME", None)
        else:
            os.environ["XDG_CACHE_HOME"] = saved_cache
        _database._explicit_path = saved_path
        _database.close()
        shutil.rmtree(workdir, ignore_errors=True)
