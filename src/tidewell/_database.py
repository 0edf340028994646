"""Which database file is in use, the cached read-only connection, and safe writing.

The connection is cached per process.  Before each public call the file is
``os.stat``-ed; if it was replaced (other inode, size or modification time) the
old connection is closed and the new file opened, so one call never mixes data
from two files.  Databases are always written to a temporary file in the
destination's directory and moved over the destination with ``os.replace``.

A relative ``TIDEWELL_DB`` is made absolute once, when its value is first used,
so a later ``os.chdir`` does not switch stores.  Every engine error while a
store is opened or read becomes a ``TidewellError`` naming the file.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
import threading
from typing import Any, Iterator

import duckdb

from ._errors import TidewellError, TidewellTypeError
from ._schema import SCHEMA_VERSION

ENV_VAR = "TIDEWELL_DB"

_lock = threading.RLock()
_explicit_path: str | None = None
_handle: Handle | None = None
# Each value of TIDEWELL_DB seen so far, made absolute against the working folder
# of its first use: changing folders later must not switch stores unseen.
_env_paths: dict = {}


_digested_version: str | None = None


def _version() -> str:
    """The package version and a digest of the generator and schema sources.

    A cached demo built by an older generator is then never mistaken for the
    current one, even when the package version was not bumped. Read once a
    process: every open of the store asks for it.
    """
    global _digested_version
    if _digested_version is None:
        _digested_version = _digest_sources()
    return _digested_version


def _digest_sources() -> str:
    import hashlib

    from . import __version__

    digest = hashlib.sha256()
    here = os.path.dirname(os.path.abspath(__file__))
    for name in ("_demo.py", "_schema.py"):
        with open(os.path.join(here, name), "rb") as source:
            digest.update(source.read())
    return f"{__version__}-{digest.hexdigest()[:10]}"


def demo_database_path() -> str:
    """Path of the demo database in the user's cache directory."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tidewell", f"demo-{_version()}.duckdb")


def get_database_path() -> str:
    """The database file in use: ``set_database``, else ``$TIDEWELL_DB``, else the demo."""
    if _explicit_path is not None:
        return _explicit_path
    env = os.environ.get(ENV_VAR)
    if env:
        with _lock:
            if env not in _env_paths:
                _env_paths[env] = os.path.abspath(os.path.expanduser(env))
            return _env_paths[env]
    return demo_database_path()


def as_path(value, what: str) -> str:
    """``value`` (text, bytes or os.PathLike) as an absolute path, or a TidewellError."""
    try:
        text = os.fsdecode(os.fspath(value))
    except TypeError:
        raise TidewellTypeError(
            f"{what} must be a path (text or os.PathLike), not {type(value).__name__}"
        ) from None
    if "\x00" in text:
        raise TidewellError(f"{what} {text!r} contains a NUL character")
    return os.path.abspath(os.path.expanduser(text))


def set_database(path) -> None:
    """Use the database file at ``path`` from now on; ``None`` returns to the default."""
    global _explicit_path
    with _lock:
        if path is None:
            _explicit_path = None
            return
        full = as_path(path, "database path")
        if not os.path.isfile(full):
            raise TidewellError(f"database file {full!r} does not exist")
        _explicit_path = full


def _first_line(exc: BaseException) -> str:
    lines = [line.strip() for line in str(exc).splitlines() if line.strip()]
    return lines[0] if lines else type(exc).__name__


def _rebuild_hint(path: str) -> str:
    if path == demo_database_path():
        return "delete it and it is built again on first use"
    return (
        "rebuild it with `python -m tidewell import SOURCE_DIR DEST` (or "
        "tidewell.import_database), or point TIDEWELL_DB or tidewell.set_database "
        "at another database"
    )


class _Result:
    """A query result whose fetches turn engine errors into a ``TidewellError``.

    A damaged file can fail only when the pages of a result are read, after
    ``execute`` returned.
    """

    __slots__ = ("_handle", "_cursor")

    def __init__(self, handle: Handle, cursor) -> None:
        self._handle = handle
        self._cursor = cursor

    def __getattr__(self, name: str):
        attr = getattr(self._cursor, name)
        if not callable(attr):
            return attr

        def guarded(*args, **kwargs):
            try:
                return attr(*args, **kwargs)
            except duckdb.Error as exc:
                raise self._handle.unreadable(exc) from None

        return guarded


class Handle:
    """An open read-only connection plus values cached for the life of that file."""

    def __init__(self, path: str, key: tuple) -> None:
        from ._schema import TABLES

        self.path = path
        self.key = key
        try:
            self.con = duckdb.connect(path, read_only=True)
            self.con.execute("SET enable_progress_bar = false")
        except duckdb.Error as exc:
            raise TidewellError(
                f"cannot open database {path!r}: {_first_line(exc)}; the file is damaged "
                f"or not a database: {_rebuild_hint(path)}"
            ) from None
        try:
            present = {
                r[0]
                for r in self.con.execute(
                    "SELECT table_name FROM duckdb_tables() WHERE schema_name = 'main'"
                ).fetchall()
            }
            if "meta" not in present:
                self.close()
                raise TidewellError(
                    f"{path!r} is not a tidewell database (no meta table); build one with "
                    "tidewell.import_database or tidewell.build_demo_database"
                )
            rows = self.con.execute("SELECT key, value FROM meta").fetchall()
        except duckdb.Error as exc:
            self.close()
            raise self.unreadable(exc) from None
        self.meta = dict(rows)
        if self.meta.get("schema_version") != SCHEMA_VERSION:
            self.close()
            raise TidewellError(
                "database {!r} has schema version {!r}; this tidewell reads version {!r}".format(
                    path, self.meta.get("schema_version"), SCHEMA_VERSION
                )
            )
        # Tables a newer schema added may be missing from an older store; only the
        # calls that need them fail (see ``unreadable``).
        self.missing = [name for name in TABLES if name not in present]
        lost = [name for name in self.missing if TABLES[name].required]
        if lost:
            self.close()
            raise TidewellError(
                "database {!r} has no table {}: it is incomplete or was not written by "
                "tidewell; {}".format(path, ", ".join(map(repr, lost)), _rebuild_hint(path))
            )
        self.memo: dict[str, Any] = {}

    def unreadable(self, exc: BaseException) -> TidewellError:
        """The error to raise for an engine failure on this file; drops the handle."""
        global _handle
        if _handle is self:
            _handle = None
        self.close()
        if isinstance(exc, duckdb.CatalogException) and getattr(self, "missing", None):
            what = "has no table {}: it is incomplete or was written by another program".format(
                ", ".join(map(repr, self.missing))
            )
        elif isinstance(exc, (duckdb.OutOfMemoryException, duckdb.InterruptException)):
            return TidewellError(f"reading database {self.path!r} failed: {_first_line(exc)}")
        else:
            what = f"cannot be read ({_first_line(exc)}); the file is probably damaged"
        return TidewellError(f"database {self.path!r} {what}; {_rebuild_hint(self.path)}")

    def query(self, sql: str, params=None):
        try:
            return _Result(self, self.con.execute(sql, params or []))
        except duckdb.Error as exc:
            raise self.unreadable(exc) from None

    def close(self) -> None:
        with contextlib.suppress(Exception):
            self.con.close()


def _stat_key(path: str) -> tuple | None:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)


def current() -> Handle:
    """The handle for the database in use, (re)opened if needed.  Hold ``_lock``."""
    global _handle
    path = get_database_path()
    key = _stat_key(path)
    if key is None:
        if path == demo_database_path() and _explicit_path is None:
            ensure_demo_database(path)
            key = _stat_key(path)
        if key is None:
            raise TidewellError(
                f"database file {path!r} does not exist; set TIDEWELL_DB or call "
                "tidewell.set_database with an existing file"
            )
    if _handle is not None and _handle.path == path and _handle.key == key:
        return _handle
    if _handle is not None:
        _handle.close()
        _handle = None
    _handle = Handle(path, key)
    return _handle


@contextlib.contextmanager
def opened() -> Iterator[Handle]:
    """The handle for the database in use, the lock held for the whole ``with`` body.

    A read holds it until its last query has run, so a store replaced meanwhile
    is never half read, and the handle's caches are never filled by two threads.
    """
    with _lock:
        yield current()


def close() -> None:
    """Close the cached connection (it is reopened on the next call)."""
    global _handle
    with _lock:
        if _handle is not None:
            _handle.close()
            _handle = None


@contextlib.contextmanager
def _file_lock(path: str):
    try:
        import fcntl
    except ImportError:  # pragma: no cover - platforms without fcntl
        yield
        return
    with open(path, "a+") as fh:
        fcntl.flock(fh.fileno(), fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(fh.fileno(), fcntl.LOCK_UN)


def ensure_demo_database(path: str | None = None) -> str:
    """Build the demo database at ``path`` (default cache location) unless it exists.

    Safe when several processes start at once: they serialise on a lock file and
    only the first one builds.
    """
    from ._demo import DEFAULT_SEED, build_demo_database

    path = os.path.abspath(path or demo_database_path())
    if os.path.isfile(path):
        return path
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with _file_lock(path + ".lock"):
            if not os.path.isfile(path):
                build_demo_database(path, seed=DEFAULT_SEED)
    except (OSError, TidewellError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise TidewellError(
            f"cannot build the demo database at {path!r} ({reason}); set XDG_CACHE_HOME "
            "to a folder you can write to, or point TIDEWELL_DB (or "
            "tidewell.set_database) at an existing tidewell database"
        ) from None
    return path


def _remove_quietly(path: str) -> None:
    for p in (path, path + ".wal"):
        with contextlib.suppress(OSError):
            os.remove(p)


_LOCK_SUFFIX = ".lock"


def _claim_temporary(folder: str, dest_name: str):
    """A new temporary path for a database bound for ``dest_name``, and an open lock.

    The writer holds an exclusive ``flock`` on ``<temporary>.lock`` for as long as it
    writes; the kernel drops the lock when the writer's process ends, however it
    ends. Temporaries whose lock can be taken are therefore left over from a writer
    that was killed (SIGKILL, power loss), and are removed here, so that repeated
    interrupted imports do not fill the folder. Returns (path, lock file object or
    None where there is no ``fcntl``).
    """
    prefix = "." + dest_name + "."
    try:
        import fcntl
    except ImportError:  # pragma: no cover - platforms without fcntl
        fcntl = None
    fd, lock_path = tempfile.mkstemp(prefix=prefix, suffix=".tmp" + _LOCK_SUFFIX, dir=folder)
    if fcntl is None:  # pragma: no cover
        os.close(fd)
        os.remove(lock_path)
        return lock_path[: -len(_LOCK_SUFFIX)], None
    fcntl.flock(fd, fcntl.LOCK_EX)
    lock = os.fdopen(fd, "w")
    for stale in os.listdir(folder):
        path = os.path.join(folder, stale)
        if not (stale.startswith(prefix) and stale.endswith(".tmp" + _LOCK_SUFFIX)):
            continue
        if path == lock_path:
            continue
        try:
            with open(path) as other:
                fcntl.flock(other.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
                _remove_quietly(path[: -len(_LOCK_SUFFIX)])
                os.remove(path)
        except OSError:  # a live writer holds it, or it is already gone
            continue
    return lock_path[: -len(_LOCK_SUFFIX)], lock


def _release(tmp: str, lock) -> None:
    if lock is not None:
        with contextlib.suppress(OSError):
            os.remove(tmp + _LOCK_SUFFIX)
        lock.close()


def _is_replaceable(path: str) -> bool:
    """Whether ``path`` holds nothing a user could lose: empty, or a tidewell database."""
    try:
        with open(path, "rb") as fh:
            head = fh.read(12)
    except OSError:
        return False
    if not head:
        return True
    if head[8:12] != b"DUCK":  # the engine's file signature
        return False
    try:
        con = duckdb.connect(path, read_only=True)
    except duckdb.Error:
        return False
    try:
        keys = {r[0] for r in con.execute("SELECT key FROM meta").fetchall()}
    except duckdb.Error:
        return False
    finally:
        with contextlib.suppress(Exception):
            con.close()
    return "schema_version" in keys and "tidewell_version" in keys


def destination(dest, overwrite: bool = False) -> tuple:
    """Check a database destination: ``(absolute path, the file to replace)``.

    The file to replace is the one a symlink points to (the link stays). A file
    that exists and is neither empty nor a tidewell database is refused unless
    ``overwrite``.
    """
    dest = as_path(dest, "destination")
    target = os.path.realpath(dest)
    if os.path.isdir(target):
        raise TidewellError(f"destination {dest!r} is a folder; give the path of a file")
    if os.path.lexists(target) and not overwrite and not _is_replaceable(target):
        raise TidewellError(
            f"destination {dest!r} exists and is not a tidewell database; it was left "
            "alone (pass overwrite=True, or --force on the command line, to replace it)"
        )
    return dest, target


def _file_in_the_way(folder: str) -> str | None:
    """The file that stands where ``folder`` or one of its parents should be, if any."""
    path = folder
    while not os.path.lexists(path) and os.path.dirname(path) != path:
        path = os.path.dirname(path)
    return path if os.path.lexists(path) and not os.path.isdir(path) else None


def _cannot_write(dest: str, folder: str, exc: BaseException) -> TidewellError:
    blocker = _file_in_the_way(folder)
    if blocker is not None:
        return TidewellError(
            f"cannot write the database {dest!r}: {blocker!r} is a file, not a folder; "
            "choose another destination"
        )
    if isinstance(exc, OSError):
        return TidewellError(
            f"cannot write the database {dest!r} into the folder {folder!r}: "
            f"{exc.strerror or exc}; choose a destination in a folder you can write to"
        )
    return TidewellError(f"cannot write the database {dest!r}: {_first_line(exc)}")


@contextlib.contextmanager
def atomic_database(dest, overwrite: bool = False):
    """Yield a writable connection to a new, empty database with the tidewell tables.

    On success the file is checkpointed and moved over ``dest`` (over the file it
    points to, when it is a symlink); on any error the temporary file is removed
    and ``dest`` is left as it was. An existing ``dest`` that is not a tidewell
    database is refused unless ``overwrite``.
    """
    from ._schema import create_all

    dest, target = destination(dest, overwrite)
    folder = os.path.dirname(target)
    try:
        os.makedirs(folder, exist_ok=True)
        # The database engine creates the file itself; the claim is the lock beside it.
        tmp, lock = _claim_temporary(folder, os.path.basename(target))
    except OSError as exc:  # a read-only folder, a file where a folder should be, ...
        raise _cannot_write(dest, folder, exc) from None
    con = None
    try:
        try:
            # Write the oldest storage format still current so that every supported
            # engine version can read the file.
            con = duckdb.connect(tmp, config={"storage_compatibility_version": "v1.0.0"})
            con.execute("SET preserve_insertion_order = true")
            con.execute("SET enable_progress_bar = false")
            create_all(con)
            con.execute(
                "INSERT INTO meta VALUES ('schema_version', ?), ('tidewell_version', ?)",
                [SCHEMA_VERSION, _version()],
            )
        except (OSError, duckdb.Error) as exc:
            raise _cannot_write(dest, folder, exc) from None
        try:
            yield con
        except duckdb.Error as exc:  # out of disk or memory while filling it
            raise TidewellError(
                f"cannot build the database {dest!r}: {_first_line(exc)}"
            ) from None
        try:
            con.execute("CHECKPOINT")
            con.close()
            con = None
            os.replace(tmp, target)
        except (OSError, duckdb.Error) as exc:  # disk full, a folder in the way, ...
            raise _cannot_write(dest, folder, exc) from None
    except BaseException:
        if con is not None:
            with contextlib.suppress(Exception):
                con.close()
        _remove_quietly(tmp)
        raise
    finally:
        _release(tmp, lock)
