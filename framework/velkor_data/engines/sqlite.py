"""SQLite engine: one database file.

Inserted rows live in a table per class: the registered columns, plus the
object id and version, the write identifier and time, and the row's metadata
as JSON text. Put data versions and metadata documents live, as JSON text, in
the side tables ``_velkor_versions`` and ``_velkor_metadata``. Each commit is
one SQLite transaction; the database runs in WAL mode.

The database counts its own writes: triggers add one to a class's count in
``_velkor_changes`` for every row of it inserted, changed or deleted (by this
engine or any other program), so ``state`` reads counts, not rows.
"""
from __future__ import annotations

import hashlib
import json
import os
import sqlite3
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from velkor_data.engines.base import (
    NO_SPACE, READ_ONLY, Connection, Operation, Record, Removal, Step, StorageError, conditions_to_sql, describe_cause,
    permission_denied, quote)
from velkor_utils.models.data_models.table_schema import TableSchema
from velkor_utils.query.utils import Q

_SQL_TYPES = {int: "INTEGER", float: "REAL", str: "TEXT", bool: "INTEGER"}
_ROW_FIELDS = ("_object_id", "_object_version", "_write_id", "_written_at", "_metadata")
_VERSION_COLUMNS = ["write_id", "written_at", "class_name", "object_id", "object_version", "data"]
_DOCUMENT_COLUMNS = ["write_id", "written_at", "object_id", "object_version", "class_name", "document"]
_SIDE_TABLES = (
    """CREATE TABLE IF NOT EXISTS _velkor_versions (
        write_id TEXT NOT NULL, written_at REAL NOT NULL, class_name TEXT NOT NULL,
        object_id TEXT NOT NULL, object_version TEXT NOT NULL, data TEXT NOT NULL,
        UNIQUE (class_name, object_id, object_version))""",
    """CREATE TABLE IF NOT EXISTS _velkor_metadata (
        write_id TEXT NOT NULL, written_at REAL NOT NULL, object_id TEXT NOT NULL UNIQUE,
        object_version TEXT, class_name TEXT NOT NULL, document TEXT NOT NULL)""",
    "CREATE INDEX IF NOT EXISTS _velkor_metadata__class ON _velkor_metadata (class_name)",
    "CREATE TABLE IF NOT EXISTS _velkor_changes (class_name TEXT PRIMARY KEY, changes INTEGER NOT NULL)",
    # Drawn once, when the database is made: another database's counts are never taken for this one's.
    "CREATE TABLE IF NOT EXISTS _velkor_identity (token TEXT NOT NULL)",
    "INSERT INTO _velkor_identity SELECT lower(hex(randomblob(16))) WHERE NOT EXISTS (SELECT 1 FROM _velkor_identity)",
)
_EVENTS = ("INSERT", "UPDATE", "DELETE")
_SIDE_CLASS_NAMES = {"INSERT": ["NEW.class_name"], "UPDATE": ["OLD.class_name", "NEW.class_name"],
                     "DELETE": ["OLD.class_name"]}


def _trigger(table: str, event: str) -> str:
    return f"{table}__counts_{event.lower()}"


def _counting(table: str, class_names: dict[str, list[str]]) -> list[str]:
    """The triggers that count each row of ``table`` written, against the class that
    ``class_names`` gives (SQL expressions) for each kind of write."""
    return [f"CREATE TRIGGER IF NOT EXISTS {quote(_trigger(table, event))} AFTER {event} ON {quote(table)} BEGIN "
            + "".join(f"INSERT INTO _velkor_changes VALUES ({name}, 1) "
                      f"ON CONFLICT (class_name) DO UPDATE SET changes = changes + 1; " for name in class_names[event])
            + "END" for event in _EVENTS]


def _class_table_counting(class_name: str) -> list[str]:
    literal = "'" + class_name.replace("'", "''") + "'"
    return _counting(class_name, {event: [literal] for event in _EVENTS})


_SIDE_COUNTING = [*_counting("_velkor_versions", _SIDE_CLASS_NAMES), *_counting("_velkor_metadata", _SIDE_CLASS_NAMES)]


def _conditions_to_sql(conditions: Q | None, columns: set[str]) -> tuple[str, list[Any]]:
    return conditions_to_sql(conditions, columns, lambda path: ("json_extract(_metadata, ?)", ["$." + ".".join(path)]),
                             lambda value: value, "?")


def _has_content(path: Path) -> bool:
    """Whether a database is there: a file with content, or a link that ``_open`` names for what it is."""
    if path.is_symlink() and not (path.exists() and path.resolve().is_file()):
        return True
    try:
        return path.stat().st_size > 0
    except OSError:
        return False


def _not_a_file(path: Path) -> str | None:
    """What stands at the path of a database, when it is no file to open."""
    if path.is_symlink():
        target = os.readlink(path)
        if not path.exists():
            return f"{path} is a symbolic link to {target}, which does not exist"
        if not path.resolve().is_file():
            return f"{path} is a symbolic link to {target}, which is not a file (a device?)"
    elif path.exists() and not path.is_file():
        return f"{path} is not a file"
    return None


class SQLiteConnection(Connection):
    engine = "sqlite"
    engine_errors = (sqlite3.Error, OSError)

    def _open(self) -> None:
        self.path = Path(self.location)
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise StorageError(f"{self.name}: cannot create the folder {self.path.parent} of the SQLite database: "
                               f"{describe_cause(exc)}") from exc
        self._read_only: str | None = None  # why the database is read as it stands, if it is
        problem = _not_a_file(self.path) or permission_denied(self.path)
        if problem is not None:
            raise StorageError(f"{self.name}: cannot open the SQLite database: {problem}", problem)
        try:
            self._db = sqlite3.connect(self.path, isolation_level=None)
            # Readers go on while a run writes; a commit survives a crash of the process.
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA busy_timeout=10000")
            with self._transaction() as db:
                for statement in [*_SIDE_TABLES, *_SIDE_COUNTING]:
                    db.execute(statement)
        except sqlite3.Error as exc:
            cause = self._cause(exc)
            reason = NO_SPACE if cause == NO_SPACE else READ_ONLY if self._cannot_write() else None
            if reason is None or not self._open_as_it_stands(reason):
                raise StorageError(f"{self.name}: cannot open the SQLite database {self.path} for writing: {cause}",
                                   cause) from exc
        self._tables: dict[str, Any] = {}  # class name -> structure of the table as last made

    def _cannot_write(self) -> bool:
        """A database on a read-only file system, or in a file or folder this user may not write."""
        folder = self.path.parent
        try:
            read_only_mount = bool(os.statvfs(folder).f_flag & os.ST_RDONLY)
        except OSError:
            return False
        return read_only_mount or not os.access(folder, os.W_OK) or (
            self.path.exists() and not os.access(self.path, os.W_OK))

    def _open_as_it_stands(self, reason: str) -> bool:
        """On a full disk SQLite cannot make the files a WAL database is read
        with, and on a read-only one it may not: the database is then read as
        it stands, and every write fails for ``reason``."""
        if not _has_content(self.path):
            return False
        try:
            self._db = sqlite3.connect(f"{self.path.resolve().as_uri()}?immutable=1", uri=True, isolation_level=None)
            self._db.execute("SELECT count(*) FROM _velkor_metadata").fetchone()
        except sqlite3.Error:
            return False
        self._read_only = reason
        return True

    def close(self) -> None:
        self._db.close()

    @classmethod
    def holds_data(cls, config) -> bool:
        return _has_content(config.path)

    def state(self, classes: list[str] | None = None) -> str | None:
        """What is stored of ``classes`` (their rows, data versions and metadata documents),
        summed up: by the counts of their writes while every table of theirs counts them,
        else by a digest of the rows whole. None without classes, or when the database
        cannot be read."""
        if not classes:
            return None
        try:
            with self._transaction("DEFERRED") as db:
                return self._counted(db, classes) or self._digest(db, classes)
        except self.engine_errors:
            return None

    @staticmethod
    def _counted(db: sqlite3.Connection, classes: list[str]) -> str | None:
        """The database's token, and each class's table definition and count of writes;
        None when a table that holds rows of them does not count its writes."""
        schema = dict(db.execute("SELECT name, sql FROM sqlite_master WHERE type IN ('table', 'trigger')"))
        tables = [name for name in classes if name in schema] + ["_velkor_versions", "_velkor_metadata"]
        if "_velkor_identity" not in schema or "_velkor_changes" not in schema or any(
                _trigger(table, event) not in schema for table in tables for event in _EVENTS):
            return None
        token = db.execute("SELECT group_concat(token) FROM _velkor_identity").fetchone()[0]
        marks = ",".join("?" * len(classes))
        counts = dict(db.execute(f"SELECT class_name, changes FROM _velkor_changes WHERE class_name IN ({marks})",
                                 classes))
        if not token:
            return None
        found = [token] + [f"{name} {counts.get(name, 0)} {schema.get(name)}" for name in classes]
        return "counted " + hashlib.sha256("\n".join(found).encode("utf-8", "surrogatepass")).hexdigest()

    def _digest(self, db: sqlite3.Connection, classes: list[str]) -> str:
        digest = hashlib.sha256()
        for class_name in classes:
            columns = self._table_columns(class_name)
            for table, names, test in [(quote(class_name), columns, ""),
                                       ("_velkor_versions", _VERSION_COLUMNS, " WHERE class_name = ?"),
                                       ("_velkor_metadata", _DOCUMENT_COLUMNS, " WHERE class_name = ?")]:
                if not names:
                    continue
                row = " || ',' || ".join(f"quote({quote(name)})" for name in names)
                count, text = db.execute(f"SELECT count(*), group_concat({row}, ';') FROM {table}{test}",
                                         (class_name,) if test else ()).fetchone()
                data = (text or "").encode("utf-8", "surrogatepass")
                digest.update(f"{table} {count} {len(data)}\n".encode())
                digest.update(data)
        return digest.hexdigest()

    @classmethod
    def set_aside(cls, config) -> Path:
        target = super().set_aside(config)
        for suffix in ("-wal", "-shm"):  # the database's own side files go with it
            side = Path(f"{config.path}{suffix}")
            if side.exists():
                side.rename(f"{target}{suffix}")
        return target

    def _cause(self, exc: BaseException) -> str:
        text = str(exc)
        if "disk is full" in text or ("disk I/O error" in text and self._disk_is_full()):
            return NO_SPACE
        if getattr(self, "_read_only", None) and "readonly" in text:
            return self._read_only  # type: ignore[return-value]
        if "file is not a database" in text or "malformed" in text:
            return f"the file {self.path} is not a database (damaged?)"
        return describe_cause(exc)

    def _disk_is_full(self) -> bool:
        """SQLite reports a file it cannot make (its WAL index, say) as an I/O error."""
        try:
            stats = os.statvfs(self.path.parent)
        except OSError:
            return False
        return stats.f_bavail * stats.f_frsize < 65536

    @contextmanager
    def _transaction(self, mode: str = "IMMEDIATE") -> Iterator[sqlite3.Connection]:
        self._db.execute(f"BEGIN {mode}")
        try:
            yield self._db
        except BaseException:
            # SQLite ends the transaction itself on some errors (a full disk):
            # rolling back then would hide the error behind another one.
            if self._db.in_transaction:
                self._db.execute("ROLLBACK")
            raise
        self._db.execute("COMMIT")

    def _table_columns(self, class_name: str) -> list[str]:
        return [row[1] for row in self._db.execute(f"PRAGMA table_info({quote(class_name)})")]

    def _ensure_table(self, db: sqlite3.Connection, schema: TableSchema, made: dict[str, Any]) -> None:
        """Make the class table match the registered schema (new columns are
        added), inside the caller's transaction; ``made`` collects what to
        remember once it commits."""
        name, structure = schema.class_name, schema.structure()
        if self._tables.get(name) == structure or made.get(name) == structure:
            return
        table = quote(name)
        columns = ", ".join(
            f"{quote(c.name)} {_SQL_TYPES[c.type]}{'' if c.nullable else ' NOT NULL'}" for c in schema.columns
        )
        db.execute(
            f"CREATE TABLE IF NOT EXISTS {table} (_object_id TEXT NOT NULL, _object_version TEXT, "
            f"_write_id TEXT NOT NULL, _written_at REAL NOT NULL, _metadata TEXT, {columns})"
        )
        existing = set(self._table_columns(name))
        for column in schema.columns:
            if column.name not in existing:
                db.execute(f"ALTER TABLE {table} ADD COLUMN {quote(column.name)} {_SQL_TYPES[column.type]}")
                if column.default is not None:
                    db.execute(f"UPDATE {table} SET {quote(column.name)} = ?", (column.default,))
        for statement in _class_table_counting(name):
            db.execute(statement)
        db.execute(f"CREATE INDEX IF NOT EXISTS {quote(name + '__object')} ON {table} (_object_id, _object_version)")
        for column in schema.indexed:
            db.execute(f"CREATE INDEX IF NOT EXISTS {quote(name + '__' + column)} ON {table} ({quote(column)})")
        for column in schema.unique_columns:
            db.execute(f"CREATE UNIQUE INDEX IF NOT EXISTS {quote(name + '__unique__' + column)} ON {table} ({quote(column)})")
        for group in schema.unique_together:
            # None counts as a value: two rows that differ only by None in one column are the same key.
            key = ", ".join(f"ifnull({quote(column)}, '')" for column in group)
            db.execute(f"CREATE UNIQUE INDEX IF NOT EXISTS {quote(name + '__unique__' + '__'.join(group))} "
                       f"ON {table} ({key})")
        made[name] = structure

    def _commit_steps(self, operations: list[Operation]) -> list[Step]:
        return [lambda: self._write(operations)]

    def _write(self, operations: list[Operation]) -> int:
        """Every operation in one SQLite transaction."""
        made: dict[str, Any] = {}
        removed = 0
        with self._transaction() as db:
            for operation in operations:
                if isinstance(operation, Removal):
                    removed += self._remove(db, operation)
                elif operation.kind == "row":
                    self._ensure_table(db, operation.schema, made)
                    record = operation.record
                    names = list(_ROW_FIELDS) + list(record.data)  # type: ignore[arg-type]
                    db.execute(
                        f"INSERT INTO {quote(operation.class_name)} ({', '.join(map(quote, names))}) "
                        f"VALUES ({', '.join('?' * len(names))})",
                        [record.object_id, record.object_version, record.write_id, record.written_at,
                         json.dumps(record.metadata), *record.data.values()],  # type: ignore[union-attr]
                    )
                elif operation.kind == "version":
                    self._ensure_table(db, operation.schema, made)
                    record = operation.record
                    db.execute("INSERT OR REPLACE INTO _velkor_versions VALUES (?, ?, ?, ?, ?, ?)",
                               (record.write_id, record.written_at, operation.class_name, record.object_id,
                                record.object_version, json.dumps(record.data)))
                else:
                    record = operation.record
                    db.execute("INSERT OR REPLACE INTO _velkor_metadata VALUES (?, ?, ?, ?, ?, ?)",
                               (record.write_id, record.written_at, record.object_id, record.object_version,
                                operation.class_name, json.dumps(record.metadata)))
        self._tables.update(made)
        return removed

    def _remove(self, db: sqlite3.Connection, removal: Removal) -> int:
        version_test = "" if removal.object_version is None else " AND {} = ?"
        params = [removal.object_id] + ([] if removal.object_version is None else [removal.object_version])
        removed = 0
        if self._table_columns(removal.class_name):
            removed += db.execute(
                f"DELETE FROM {quote(removal.class_name)} WHERE _object_id = ?"
                + version_test.format("_object_version"), params).rowcount
        removed += db.execute(
            "DELETE FROM _velkor_versions WHERE class_name = ? AND object_id = ?"
            + version_test.format("object_version"), [removal.class_name, *params]).rowcount
        return removed

    def _read(self, class_name: str, conditions: Q | None) -> tuple[list[Record], list[Record]]:
        rows = []
        with self._transaction("DEFERRED") as db:
            columns = self._table_columns(class_name)
            if columns:
                where, params = _conditions_to_sql(conditions, set(columns) - set(_ROW_FIELDS))
                cursor = db.execute(f"SELECT * FROM {quote(class_name)}{where} ORDER BY _write_id", params)
                names = [d[0] for d in cursor.description]
                for values in cursor:
                    item = dict(zip(names, values))
                    fields = [item.pop(field) for field in _ROW_FIELDS]
                    rows.append(Record(fields[2], fields[3], fields[0], fields[1], item, json.loads(fields[4] or "null")))
            versions = [
                Record(write_id, written_at, object_id, object_version, json.loads(data))
                for write_id, written_at, object_id, object_version, data in db.execute(
                    "SELECT write_id, written_at, object_id, object_version, data FROM _velkor_versions "
                    "WHERE class_name = ? ORDER BY write_id", (class_name,))
            ]
        return rows, versions

    def _read_documents(self, class_name: str) -> list[Record]:
        return [
            Record(write_id, written_at, object_id, object_version, metadata=json.loads(document))
            for write_id, written_at, object_id, object_version, document in self._db.execute(
                "SELECT write_id, written_at, object_id, object_version, document FROM _velkor_metadata "
                "WHERE class_name = ? ORDER BY write_id", (class_name,))
        ]
