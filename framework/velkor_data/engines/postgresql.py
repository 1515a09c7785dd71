"""PostgreSQL engine: a database on a server, which every host of a project shares.

The tables are those of the SQLite engine, in the schema the connection
creates in (the first of its search_path, normally ``public``): a table per
class with the registered columns plus the object id and version, the write
identifier and time, and the row's metadata (JSON); the side tables
``_velkor_versions`` and ``_velkor_metadata`` for put data versions and
metadata documents; and ``_velkor_log``, which counts the commits that
touched each table, the engine's table log versions (``log_versions``).

Each commit is one transaction; tables are created and altered inside it,
under a transaction-level advisory lock, so that two hosts making the same
table at once wait for each other instead of failing. Reads see one snapshot.

The password never comes from the configuration: libpq takes it from the
environment (``PGPASSWORD``) or from ``~/.pgpass``.
"""
from __future__ import annotations

import hashlib
import json
import re
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import psycopg
from psycopg import errors as pg_errors
from psycopg.conninfo import conninfo_to_dict

from velkor_data.engines.base import (
    NO_SPACE, Connection, Operation, Record, Removal, Step, StorageError, conditions_to_sql, describe_cause, quote)
from velkor_utils.config.data_models.velkor_config import ConnectionConfig
from velkor_utils.models.data_models.table_schema import TableSchema
from velkor_utils.query.utils import Q

_SQL_TYPES = {int: "BIGINT", float: "DOUBLE PRECISION", str: "TEXT", bool: "BOOLEAN"}
_ROW_FIELDS = ("_object_id", "_object_version", "_write_id", "_written_at", "_metadata")
_METADATA_TABLE = "_velkor_metadata"  # the name of the documents' table, and of its log
_SIDE_TABLES = (
    """CREATE TABLE IF NOT EXISTS _velkor_versions (
        write_id TEXT NOT NULL, written_at DOUBLE PRECISION NOT NULL, class_name TEXT NOT NULL,
        object_id TEXT NOT NULL, object_version TEXT NOT NULL, data JSON NOT NULL,
        UNIQUE (class_name, object_id, object_version))""",
    """CREATE TABLE IF NOT EXISTS _velkor_metadata (
        write_id TEXT NOT NULL, written_at DOUBLE PRECISION NOT NULL, object_id TEXT NOT NULL UNIQUE,
        object_version TEXT, class_name TEXT NOT NULL, document JSON NOT NULL)""",
    "CREATE INDEX IF NOT EXISTS _velkor_metadata__class ON _velkor_metadata (class_name)",
    "CREATE TABLE IF NOT EXISTS _velkor_log (name TEXT PRIMARY KEY, version BIGINT NOT NULL)",
)
_UPSERT_VERSION = (
    "INSERT INTO _velkor_versions VALUES (%s, %s, %s, %s, %s, %s) "
    "ON CONFLICT (class_name, object_id, object_version) DO UPDATE SET "
    "write_id = EXCLUDED.write_id, written_at = EXCLUDED.written_at, data = EXCLUDED.data")
_UPSERT_DOCUMENT = (
    "INSERT INTO _velkor_metadata VALUES (%s, %s, %s, %s, %s, %s) "
    "ON CONFLICT (object_id) DO UPDATE SET write_id = EXCLUDED.write_id, written_at = EXCLUDED.written_at, "
    "object_version = EXCLUDED.object_version, class_name = EXCLUDED.class_name, document = EXCLUDED.document")
_BUMP_LOG = ("INSERT INTO _velkor_log VALUES (%s, 1) "
             "ON CONFLICT (name) DO UPDATE SET version = _velkor_log.version + 1")
# Key of the transaction-level advisory lock held while tables are made or altered.
_DDL_LOCK = int.from_bytes(hashlib.sha256(b"velkor_data.postgresql: tables").digest()[:8], "big", signed=True)
_NAME_LIMIT = 63  # PostgreSQL's longest identifier
CONNECT_TIMEOUT = 10  # seconds, unless the URL says otherwise


def _index_name(table: str, suffix: str) -> str:
    name = f"{table}__{suffix}"
    if len(name) <= _NAME_LIMIT:
        return name
    return f"{name[:_NAME_LIMIT - 17]}_{hashlib.sha256(name.encode()).hexdigest()[:16]}"


def _json_text(value: Any) -> Any:
    """A value as ``#>>`` reads it out of JSON: text."""
    return value if isinstance(value, str) else json.dumps(value)


def _conditions_to_sql(conditions: Q | None, columns: set[str]) -> tuple[str, list[Any]]:
    return conditions_to_sql(conditions, columns, lambda path: ("(_metadata #>> %s)", [path]), _json_text, "%s")


def connection_settings(url: str, application_name: str) -> dict[str, Any]:
    """The settings psycopg connects with: the URL's, a connect timeout unless
    it gives one, and the name the server lists the session under."""
    settings: dict[str, Any] = conninfo_to_dict(url)
    settings.setdefault("connect_timeout", CONNECT_TIMEOUT)
    settings.setdefault("application_name", application_name)
    return settings


_PREFIXES = re.compile(r'^(connection failed: )?(connection to server at "[^"]*"( \([^)]*\))?, port \d+ failed: )?'
                       r"(FATAL|ERROR):\s+")


def server_cause(exc: BaseException, location: str) -> str:
    """A PostgreSQL error in one short line."""
    sqlstate = getattr(exc, "sqlstate", None)
    if sqlstate == "53100" or isinstance(exc, pg_errors.DiskFull):
        return NO_SPACE
    text = str(exc).strip()
    if "No space left on device" in text:
        return NO_SPACE
    first = text.splitlines()[0].strip() if text else ""
    lowered = text.lower()
    if "connection refused" in lowered:
        return f"connection refused (no PostgreSQL server answers at {server_address(location)})"
    if "no password supplied" in lowered:
        return "the server asks for a password: set PGPASSWORD (or put it in ~/.pgpass)"
    if "password authentication failed" in lowered:
        user = re.search(r'for user "([^"]*)"', text)
        who = f" for user {user.group(1)!r}" if user else ""
        return f"authentication failed{who} (the password comes from PGPASSWORD or ~/.pgpass)"
    if "timeout expired" in lowered:
        return f"timed out connecting to {server_address(location)}"
    if ("server closed the connection" in lowered or "terminating connection" in lowered
            or "the connection is closed" in lowered or "consuming input failed" in lowered):
        return "the server closed the connection"
    diagnostic = getattr(exc, "diag", None)
    primary = getattr(diagnostic, "message_primary", None) if diagnostic is not None else None
    if isinstance(exc, psycopg.OperationalError) and not primary:
        return _PREFIXES.sub("", first) or type(exc).__name__
    return _PREFIXES.sub("", primary or first) or describe_cause(exc)


def server_address(location: str) -> str:
    settings = conninfo_to_dict(location)
    return f"{settings.get('host', 'localhost')}:{settings.get('port', 5432)}"


def unreachable(exc: BaseException) -> bool:
    """Whether a PostgreSQL error says the server could not be reached or refused the session."""
    if not isinstance(exc, psycopg.OperationalError):
        return False
    sqlstate = getattr(exc, "sqlstate", None)
    return sqlstate is None or sqlstate[:2] in ("08", "28", "3D") or sqlstate.startswith("57P")


class PostgreSQLConnection(Connection):
    engine = "postgresql"
    engine_errors = (psycopg.Error, OSError)

    @classmethod
    def from_config(cls, config: ConnectionConfig) -> PostgreSQLConnection:
        return cls(config.name, config.location)

    def _open(self) -> None:
        self._db: psycopg.Connection | None = None
        self._tables: dict[str, Any] = {}  # class name -> structure of the table as last made
        self._unique: dict[str, str] = {}  # index name -> what it keeps unique, for messages
        try:
            with self._transaction() as cursor:
                cursor.execute("SELECT pg_advisory_xact_lock(%s)", (_DDL_LOCK,))
                for statement in _SIDE_TABLES:
                    cursor.execute(statement)
        except psycopg.Error as exc:
            cause = self._cause(exc)
            raise StorageError(f"{self.name}: cannot open the PostgreSQL database {self.location}: {cause}",
                               cause, unavailable=unreachable(exc)) from exc

    def close(self) -> None:
        if self._db is not None:
            self._db.close()
            self._db = None

    @classmethod
    def _connect(cls, location: str) -> psycopg.Connection:
        return psycopg.connect(**connection_settings(location, "velkor"), autocommit=True)

    def _connection(self) -> psycopg.Connection:
        """The open session; a new one when the last was lost (a server restart)."""
        if self._db is None or self._db.closed or self._db.broken:
            if self._db is not None:
                self._db.close()
            self._db = self._connect(self.location)  # type: ignore[arg-type]
        return self._db

    @classmethod
    def holds_data(cls, config: ConnectionConfig) -> bool:
        """Whether the database holds the engine's tables; a database that does not exist holds nothing."""
        try:
            with cls._connect(config.location) as db:
                return db.execute("SELECT to_regclass(%s) IS NOT NULL", (_METADATA_TABLE,)).fetchone()[0]
        except psycopg.Error as exc:
            cause = server_cause(exc, config.location)
            if isinstance(exc, pg_errors.InvalidCatalogName) or re.fullmatch(r'database ".*" does not exist', cause):
                return False
            raise StorageError(f"{config.name}: looking into the PostgreSQL database {config.location}: {cause}",
                               cause, unavailable=unreachable(exc)) from exc

    @classmethod
    def set_aside(cls, config: ConnectionConfig) -> str:
        raise StorageError(
            f"{config.name}: the PostgreSQL database {config.location} is not moved aside",
            "a server database is not moved aside: mend it or restore it from a backup, then run repair again")

    def _cause(self, exc: BaseException) -> str:
        if isinstance(exc, pg_errors.UniqueViolation):
            kept = self._unique.get(getattr(exc.diag, "constraint_name", None) or "")
            if kept:
                return f"UNIQUE constraint failed: {kept}"
        return server_cause(exc, str(self.location))

    def _unreachable(self, exc: BaseException) -> bool:
        return unreachable(exc)

    @contextmanager
    def _transaction(self, read_only: bool = False) -> Iterator[psycopg.Cursor]:
        db = self._connection()
        with db.transaction(), db.cursor() as cursor:
            if read_only:
                cursor.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ, READ ONLY")
            yield cursor

    @staticmethod
    def _table_columns(cursor: psycopg.Cursor, class_name: str) -> list[str]:
        """The columns of the class table; none when there is no such table."""
        cursor.execute("SELECT attname FROM pg_attribute WHERE attrelid = to_regclass(%s) AND attnum > 0 "
                       "AND NOT attisdropped ORDER BY attnum", (quote(class_name),))
        return [name for (name,) in cursor.fetchall()]

    def _ensure_table(self, cursor: psycopg.Cursor, schema: TableSchema, made: dict[str, Any]) -> None:
        """Make the class table match the registered schema (new columns are
        added), inside the caller's transaction; ``made`` collects what to
        remember once it commits."""
        name, structure = schema.class_name, schema.structure()
        table = quote(name)
        columns = ", ".join(
            f"{quote(c.name)} {_SQL_TYPES[c.type]}{'' if c.nullable else ' NOT NULL'}" for c in schema.columns)
        cursor.execute(
            f"CREATE TABLE IF NOT EXISTS {table} (_object_id TEXT NOT NULL, _object_version TEXT, "
            f"_write_id TEXT NOT NULL, _written_at DOUBLE PRECISION NOT NULL, _metadata JSON, {columns})")
        existing = set(self._table_columns(cursor, name))
        for column in schema.columns:
            if column.name not in existing:
                cursor.execute(f"ALTER TABLE {table} ADD COLUMN {quote(column.name)} {_SQL_TYPES[column.type]}")
                if column.default is not None:
                    cursor.execute(f"UPDATE {table} SET {quote(column.name)} = %s", (column.default,))
        cursor.execute(f"CREATE INDEX IF NOT EXISTS {quote(_index_name(name, 'object'))} "
                       f"ON {table} (_object_id, _object_version)")
        for column in schema.indexed:
            cursor.execute(f"CREATE INDEX IF NOT EXISTS {quote(_index_name(name, column))} ON {table} ({quote(column)})")
        for column in schema.unique_columns:
            index = _index_name(name, "unique__" + column)
            self._unique[index] = f"{name}.{column}"
            cursor.execute(f"CREATE UNIQUE INDEX IF NOT EXISTS {quote(index)} ON {table} ({quote(column)})")
        types = {c.name: c.type for c in schema.columns}
        for group in schema.unique_together:
            # None counts as a value: two rows that differ only by None in one column are the same key.
            key = ", ".join(f"COALESCE({quote(c)}{'' if types[c] is str else '::text'}, '')" for c in group)
            index = _index_name(name, "unique__" + "__".join(group))
            self._unique[index] = ", ".join(f"{name}.{c}" for c in group)
            cursor.execute(f"CREATE UNIQUE INDEX IF NOT EXISTS {quote(index)} ON {table} ({key})")
        made[name] = structure

    def _commit_steps(self, operations: list[Operation]) -> list[Step]:
        return [lambda: self._write(operations)]

    def _write(self, operations: list[Operation]) -> int:
        """Every operation in one transaction: the tables first (under the
        lock for making tables), then the writes, statements of a kind sent together."""
        made: dict[str, Any] = {}
        removed = 0
        with self._transaction() as cursor:
            schemas = {op.schema.class_name: op.schema for op in operations
                       if not isinstance(op, Removal) and op.schema is not None
                       and self._tables.get(op.schema.class_name) != op.schema.structure()}
            if schemas:
                cursor.execute("SELECT pg_advisory_xact_lock(%s)", (_DDL_LOCK,))
                for schema in schemas.values():
                    self._ensure_table(cursor, schema, made)
            pending: tuple[str, list[tuple]] = ("", [])
            touched: set[str] = set()
            for operation in operations:
                if isinstance(operation, Removal):
                    self._send(cursor, pending)
                    pending = ("", [])
                    removed += self._remove(cursor, operation)
                    touched.add(operation.class_name)
                    continue
                statement, values = self._statement(operation)
                touched.add(_METADATA_TABLE if operation.kind == "document" else operation.class_name)
                if statement != pending[0]:
                    self._send(cursor, pending)
                    pending = (statement, [])
                pending[1].append(values)
            self._send(cursor, pending)
            cursor.executemany(_BUMP_LOG, [(name,) for name in sorted(touched)])
        self._tables.update(made)
        return removed

    @staticmethod
    def _send(cursor: psycopg.Cursor, pending: tuple[str, list[tuple]]) -> None:
        statement, rows = pending
        if rows:
            cursor.executemany(statement, rows)

    @staticmethod
    def _statement(operation) -> tuple[str, tuple]:
        record = operation.record
        if operation.kind == "row":
            names = list(_ROW_FIELDS) + list(record.data)
            statement = (f"INSERT INTO {quote(operation.class_name)} ({', '.join(map(quote, names))}) "
                         f"VALUES ({', '.join(['%s'] * len(names))})")
            return statement, (record.object_id, record.object_version, record.write_id, record.written_at,
                               json.dumps(record.metadata), *record.data.values())
        if operation.kind == "version":
            return _UPSERT_VERSION, (record.write_id, record.written_at, operation.class_name, record.object_id,
                                     record.object_version, json.dumps(record.data))
        return _UPSERT_DOCUMENT, (record.write_id, record.written_at, record.object_id, record.object_version,
                                  operation.class_name, json.dumps(record.metadata))

    def _remove(self, cursor: psycopg.Cursor, removal: Removal) -> int:
        version_test = "" if removal.object_version is None else " AND {} = %s"
        params = [removal.object_id] + ([] if removal.object_version is None else [removal.object_version])
        removed = 0
        if self._table_columns(cursor, removal.class_name):
            cursor.execute(f"DELETE FROM {quote(removal.class_name)} WHERE _object_id = %s"
                           + version_test.format("_object_version"), params)
            removed += cursor.rowcount
        cursor.execute("DELETE FROM _velkor_versions WHERE class_name = %s AND object_id = %s"
                       + version_test.format("object_version"), [removal.class_name, *params])
        return removed + cursor.rowcount

    def _read(self, class_name: str, conditions: Q | None) -> tuple[list[Record], list[Record]]:
        rows = []
        with self._transaction(read_only=True) as cursor:
            columns = self._table_columns(cursor, class_name)
            if columns:
                where, params = _conditions_to_sql(conditions, set(columns) - set(_ROW_FIELDS))
                cursor.execute(f"SELECT * FROM {quote(class_name)}{where} ORDER BY _write_id", params)
                names = [d.name for d in cursor.description]
                for values in cursor.fetchall():
                    item = dict(zip(names, values))
                    fields = [item.pop(field) for field in _ROW_FIELDS]
                    rows.append(Record(fields[2], fields[3], fields[0], fields[1], item, fields[4]))
            cursor.execute("SELECT write_id, written_at, object_id, object_version, data FROM _velkor_versions "
                           "WHERE class_name = %s ORDER BY write_id", (class_name,))
            versions = [Record(*values) for values in cursor.fetchall()]
        return rows, versions

    def _read_documents(self, class_name: str) -> list[Record]:
        with self._transaction(read_only=True) as cursor:
            cursor.execute("SELECT write_id, written_at, object_id, object_version, document FROM _velkor_metadata "
                           "WHERE class_name = %s ORDER BY write_id", (class_name,))
            return [Record(write_id, written_at, object_id, object_version, metadata=document)
                    for write_id, written_at, object_id, object_version, document in cursor.fetchall()]

    def log_versions(self) -> dict[str, int]:
        """How many commits touched each table (a database restored from an older backup counts fewer)."""
        return self._guarded(f"{self.name}: table versions", self._log_versions)

    def _log_versions(self) -> dict[str, int]:
        with self._transaction(read_only=True) as cursor:
            cursor.execute("SELECT name, version FROM _velkor_log ORDER BY name")
            return dict(cursor.fetchall())
