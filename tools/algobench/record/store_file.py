"""The results store's file (store.py): its schema and the migrations that bring
an older one up to date, opening it (for writing, or read-only), transactions,
and SQLite's errors read as one line for the person running the suite. The
queries on runs and cells are store.py's.
"""

from __future__ import annotations

import contextlib
import os
import pathlib
import re
import sqlite3
import urllib.parse

# PRAGMA application_id of a store ("algb"), and its PRAGMA user_version.
APPLICATION_ID = 0x616C6762
SCHEMA_VERSION = 4
# How long a write waits for another process's write to finish.
BUSY_TIMEOUT = 5.0

# One entry per schema version: the statements that bring a store of the
# version before it to this one.
_MIGRATIONS: tuple[tuple[str, ...], ...] = (
    (  # 1: runs and their cells
        """CREATE TABLE runs (
            id INTEGER PRIMARY KEY,
            identity TEXT NOT NULL UNIQUE,
            folder TEXT,
            status TEXT NOT NULL,
            date TEXT,
            sort_date TEXT NOT NULL,
            host TEXT,
            cpu_model TEXT,
            compiler TEXT,
            compiler_version TEXT,
            libstdcxx_version TEXT,
            git_commit TEXT,
            git_dirty INTEGER,
            backends TEXT NOT NULL,
            planned_cells INTEGER,
            completed_cells INTEGER NOT NULL,
            results TEXT NOT NULL,
            registered TEXT NOT NULL,
            updated TEXT NOT NULL)""",
        "CREATE INDEX runs_by_date ON runs (sort_date, id)",
        """CREATE TABLE cells (
            run_id INTEGER NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
            position INTEGER NOT NULL,
            name TEXT NOT NULL,
            program TEXT NOT NULL,
            backend TEXT NOT NULL,
            n INTEGER NOT NULL,
            threads INTEGER NOT NULL,
            fourth INTEGER,
            status TEXT NOT NULL,
            samples INTEGER NOT NULL,
            median REAL,
            low REAL,
            high REAL,
            speedup REAL,
            speedup_low REAL,
            speedup_high REAL,
            PRIMARY KEY (run_id, position))""",
        "CREATE INDEX cells_by_name ON cells (name)",
    ),
    (  # 2: the two runs of an A/B run, linked
        """CREATE TABLE ab_pairs (
            id INTEGER PRIMARY KEY,
            folder TEXT,
            run_a INTEGER NOT NULL UNIQUE REFERENCES runs (id) ON DELETE CASCADE,
            run_b INTEGER NOT NULL UNIQUE REFERENCES runs (id) ON DELETE CASCADE,
            registered TEXT NOT NULL)""",
    ),
    (  # 3: instruction counts beside the times: a run's metric, a cell's count and work ratio
        "ALTER TABLE runs ADD COLUMN metric TEXT NOT NULL DEFAULT 'time'",
        "ALTER TABLE cells ADD COLUMN instructions REAL",
        "ALTER TABLE cells ADD COLUMN work_ratio REAL",
    ),
    (  # 4: a cell's median is its figure of its run's metric, whichever that is
        "UPDATE cells SET median = instructions WHERE median IS NULL AND instructions IS NOT NULL",
    ),
)
_TABLES = {"runs", "cells", "ab_pairs"}
assert len(_MIGRATIONS) == SCHEMA_VERSION


class StoreError(Exception):
    """A store that cannot be used, in one line naming the file and what to do."""


def _store_error(path: pathlib.Path, error: sqlite3.Error) -> StoreError:
    """What SQLite's error means for the person running the suite."""
    name = getattr(error, "sqlite_errorname", "") or ""
    text = str(error)
    if name.startswith(("SQLITE_BUSY", "SQLITE_LOCKED")) or "locked" in text:
        why = (f"is locked by another process (waited {BUSY_TIMEOUT:g} s): try again once "
               "that process is done")
    elif name.startswith("SQLITE_READONLY") or "readonly" in text:
        why = _READ_ONLY
    elif name.startswith(("SQLITE_CORRUPT", "SQLITE_NOTADB")) or "malformed" in text \
            or "not a database" in text:
        why = f"is damaged or not a results store ({text}): {_MOVE_ASIDE}"
    elif name.startswith("SQLITE_FULL"):
        why = "cannot grow: the disk is full; free some space and try again"
    elif name.startswith("SQLITE_CANTOPEN"):
        why = f"cannot be opened ({text}): check that it and its folder can be read and written"
    else:
        why = f"cannot be used: {text}"
    return StoreError(f"store {path} {why}")


_READ_ONLY = ("cannot be written (read-only file, folder or file system): make it writable, "
              "or give --store another file")
_MOVE_ASIDE = ("move it aside and register the results folders again in a new store with "
               "`./suite import`, or give --store another file")


class StoreFile:
    """An open store file: its connection, opened and brought up to date."""

    def __init__(self, path: pathlib.Path, connection: sqlite3.Connection) -> None:
        self.path = path
        self.connection = connection
        self.read_only = False

    # -- opening

    @classmethod
    def open(cls, path: pathlib.Path | str, write: bool = True) -> StoreFile:
        """Opens the store at `path`, creating it (and its folder) or bringing an
        earlier schema up to date; StoreError when it cannot be used. Without
        `write`, a store this process may not write (file, folder or file system
        read-only) opens for reading, an earlier schema brought up to date in a
        copy in memory: the file is never written."""
        path = pathlib.Path(path)
        if path.is_dir():
            raise StoreError(f"store {path} is a folder: give --store a file")
        if not write and path.exists() and not (os.access(path.parent, os.W_OK)
                                                and os.access(path, os.W_OK)):
            return cls._open_read_only(path)
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise StoreError(f"store {path} cannot be created: {error.filename or path.parent}: "
                             f"{error.strerror or error}") from None
        if not os.access(path.parent, os.W_OK) or (path.exists()
                                                   and not os.access(path, os.W_OK)):
            raise StoreError(f"store {path} {_READ_ONLY}")
        try:
            connection = sqlite3.connect(str(path), timeout=BUSY_TIMEOUT, isolation_level=None)
        except sqlite3.Error as error:
            raise _store_error(path, error) from None
        store = cls(path, connection)
        try:
            store._prepare()
        except BaseException:
            connection.close()
            raise
        return store

    @classmethod
    def _open_read_only(cls, path: pathlib.Path) -> StoreFile:
        uri = f"file:{urllib.parse.quote(str(path.resolve()))}?mode=ro"
        connection = None
        # A store in WAL mode is read beside its -shm file; in a folder where that
        # cannot be made, SQLite reads the file as it is (immutable).
        for extra in ("", "&immutable=1"):
            try:
                connection = sqlite3.connect(uri + extra, uri=True, timeout=BUSY_TIMEOUT,
                                             isolation_level=None)
                connection.execute("SELECT count(*) FROM sqlite_master").fetchone()
                break
            except sqlite3.Error as error:
                if connection is not None:
                    connection.close()
                    connection = None
                if extra:
                    raise _store_error(path, error) from None
        store = cls(path, connection)
        try:
            with store._guard():
                version = store._pragma("user_version")
                if 0 < version < SCHEMA_VERSION:
                    # Migrated where it can be: a copy in memory.
                    copy = sqlite3.connect(":memory:", isolation_level=None)
                    connection.backup(copy)
                    connection.close()
                    store.connection = copy
            store._prepare()
        except BaseException:
            store.connection.close()
            raise
        store.read_only = True
        return store

    def close(self) -> None:
        self.connection.close()

    def __enter__(self) -> StoreFile:
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    @contextlib.contextmanager
    def _guard(self):
        """SQLite's errors as StoreError."""
        try:
            yield
        except sqlite3.Error as error:
            raise _store_error(self.path, error) from None

    @contextlib.contextmanager
    def _transaction(self):
        """One write transaction, taking the write lock at its start, so that two
        writers wait for each other (up to BUSY_TIMEOUT) instead of failing midway."""
        if self.read_only:
            raise StoreError(f"store {self.path} {_READ_ONLY}")
        with self._guard():
            self.connection.execute("BEGIN IMMEDIATE")
            try:
                yield self.connection
            except BaseException:
                with contextlib.suppress(sqlite3.Error):
                    self.connection.execute("ROLLBACK")
                raise
            self.connection.execute("COMMIT")

    def _pragma(self, name: str):
        return self.connection.execute(f"PRAGMA {name}").fetchone()[0]

    def _tables(self) -> set[str]:
        return {name for (name,) in self.connection.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table'")}

    def _prepare(self) -> None:
        with self._guard():
            version, owner, tables = (self._pragma("user_version"),
                                      self._pragma("application_id"), self._tables())
        if owner != APPLICATION_ID and (version or tables):
            held = ", ".join(sorted(tables)) or "no tables"
            raise StoreError(f"store {self.path} is a SQLite database but not a results store "
                             f"(it holds {held}): give --store another file")
        if version > SCHEMA_VERSION:
            raise StoreError(f"store {self.path} was written by a newer version of the suite "
                             f"(store version {version}; this one reads up to "
                             f"{SCHEMA_VERSION}): use that version, or give --store another "
                             "file")
        if version < SCHEMA_VERSION:
            self._migrate()
            with self._guard():
                tables = self._tables()
        missing = _TABLES - tables
        if missing:
            raise StoreError(f"store {self.path} lacks its table(s) {', '.join(sorted(missing))}: "
                             f"it is damaged; {_MOVE_ASIDE}")
        with self._guard():
            self.connection.execute("PRAGMA foreign_keys = ON")
            self.connection.create_function("regexp", 2, _regexp, deterministic=True)

    def _migrate(self) -> None:
        """Brings the schema from its version to SCHEMA_VERSION, every step in one
        transaction; another process may have done it meanwhile."""
        with self._guard():
            # Readers and one writer at a time, without blocking each other.
            self.connection.execute("PRAGMA journal_mode = WAL")
        with self._transaction() as connection:
            version = self._pragma("user_version")
            for step in _MIGRATIONS[version:]:
                for statement in step:
                    connection.execute(statement)
            connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
            connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")


def _regexp(pattern: str, text: str) -> bool:
    return re.search(pattern, text) is not None
