"""SQLite engine: one database file.

Inserted rows live in a table per class: the registered columns, plus the
object id and version, the write identifier and time, and the row's metadata
as JSON text. Put data versions and metadata documents live, as JSON text, in
the side tables ``_velkor_versions`` and ``_velkor_metadata``. Every write is
one transaction.
"""
from __future__ import annotations

import json
import sqlite3
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from velkor_data.engines.base import Connection, Record, StorageError
from velkor_utils.models.data_models.table_schema import TableSchema
from velkor_utils.query.utils import Q

_SQL_TYPES = {int: "INTEGER", float: "REAL", str: "TEXT", bool: "INTEGER"}
_ROW_FIELDS = ("_object_id", "_object_version", "_write_id", "_written_at", "_metadata")
_SIDE_TABLES = (
    """CREATE TABLE IF NOT EXISTS _velkor_versions (
        write_id TEXT NOT NULL, written_at REAL NOT NULL, class_name TEXT NOT NULL,
        object_id TEXT NOT NULL, object_version TEXT NOT NULL, data TEXT NOT NULL,
        UNIQUE (class_name, object_id, object_version))""",
    """CREATE TABLE IF NOT EXISTS _velkor_metadata (
        write_id TEXT NOT NULL, written_at REAL NOT NULL, object_id TEXT NOT NULL UNIQUE,
        object_version TEXT, class_name TEXT NOT NULL, document TEXT NOT NULL)""",
    "CREATE INDEX IF NOT EXISTS _velkor_metadata__class ON _velkor_metadata (class_name)",
)


def _quote(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _conditions_to_sql(conditions: Q | None, columns: set[str]) -> tuple[str, list[Any]]:
    """A WHERE clause that keeps at least the rows ``conditions`` matches.

    Lookups on a column or inside ``_metadata`` become SQL; any other lookup
    is left to the check in Python that follows every query.
    """
    clauses: list[str] = []
    params: list[Any] = []
    for lookup in conditions.lookups if conditions is not None else ():
        head, rest = lookup.path[0], lookup.path[1:]
        if head == "_metadata" and rest and all(part.isidentifier() for part in rest):
            target = "json_extract(_metadata, ?)"
            params_before = ["$." + ".".join(rest)]
        elif head in columns and not rest:
            target, params_before = _quote(head), []
        else:
            continue
        if lookup.operator == "isnull":
            clauses.append(f"{target} IS {'' if lookup.value else 'NOT '}NULL")
        elif lookup.value is None:
            clauses.append(f"{target} IS NULL")
        elif isinstance(lookup.value, (str, int, float)):
            clauses.append(f"{target} = ?")
            params_before.append(lookup.value)
        else:
            continue
        params += params_before
    return (" WHERE " + " AND ".join(clauses)) if clauses else "", params


class SQLiteConnection(Connection):
    engine = "sqlite"
    engine_errors = (sqlite3.Error, OSError)

    def _open(self) -> None:
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise StorageError(f"{self.name}: cannot create the folder {self.path.parent} of the SQLite database: {exc.strerror or exc}") from exc
        try:
            self._db = sqlite3.connect(self.path, isolation_level=None)
            with self._transaction() as db:
                for statement in _SIDE_TABLES:
                    db.execute(statement)
        except sqlite3.Error as exc:
            raise StorageError(f"{self.name}: cannot open the SQLite database {self.path} for writing: {exc}") from exc
        self._tables: dict[str, Any] = {}  # class name -> structure of the table as last made

    def close(self) -> None:
        self._db.close()

    @contextmanager
    def _transaction(self, mode: str = "IMMEDIATE") -> Iterator[sqlite3.Connection]:
        self._db.execute(f"BEGIN {mode}")
        try:
            yield self._db
        except BaseException:
            self._db.execute("ROLLBACK")
            raise
        self._db.execute("COMMIT")

    def _table_columns(self, class_name: str) -> list[str]:
        return [row[1] for row in self._db.execute(f"PRAGMA table_info({_quote(class_name)})")]

    def _ensure_table(self, schema: TableSchema) -> None:
        """Make the class table match the registered schema (new columns are added)."""
        name, structure = schema.class_name, schema.structure()
        if self._tables.get(name) == structure:
            return
        table = _quote(name)
        columns = ", ".join(
            f"{_quote(c.name)} {_SQL_TYPES[c.type]}{'' if c.nullable else ' NOT NULL'}" for c in schema.columns
        )
        with self._transaction() as db:
            db.execute(
                f"CREATE TABLE IF NOT EXISTS {table} (_object_id TEXT NOT NULL, _object_version TEXT, "
                f"_write_id TEXT NOT NULL, _written_at REAL NOT NULL, _metadata TEXT, {columns})"
            )
            existing = set(self._table_columns(name))
            for column in schema.columns:
                if column.name not in existing:
                    db.execute(f"ALTER TABLE {table} ADD COLUMN {_quote(column.name)} {_SQL_TYPES[column.type]}")
                    if column.default is not None:
                        db.execute(f"UPDATE {table} SET {_quote(column.name)} = ?", (column.default,))
            db.execute(f"CREATE INDEX IF NOT EXISTS {_quote(name + '__object')} ON {table} (_object_id, _object_version)")
            for column in schema.indexed:
                db.execute(f"CREATE INDEX IF NOT EXISTS {_quote(name + '__' + column)} ON {table} ({_quote(column)})")
            for column in schema.unique_columns:
                db.execute(f"CREATE UNIQUE INDEX IF NOT EXISTS {_quote(name + '__unique__' + column)} ON {table} ({_quote(column)})")
        self._tables[name] = structure

    def _write_row(self, schema: TableSchema, record: Record) -> None:
        self._ensure_table(schema)
        names = list(_ROW_FIELDS) + list(record.data)  # type: ignore[arg-type]
        values = [record.object_id, record.object_version, record.write_id, record.written_at,
                  json.dumps(record.metadata), *record.data.values()]  # type: ignore[union-attr]
        with self._transaction() as db:
            db.execute(
                f"INSERT INTO {_quote(schema.class_name)} ({', '.join(map(_quote, names))}) "
                f"VALUES ({', '.join('?' * len(names))})",
                values,
            )

    def _write_version(self, schema: TableSchema, record: Record) -> None:
        self._ensure_table(schema)
        with self._transaction() as db:
            db.execute(
                "INSERT OR REPLACE INTO _velkor_versions VALUES (?, ?, ?, ?, ?, ?)",
                (record.write_id, record.written_at, schema.class_name, record.object_id,
                 record.object_version, json.dumps(record.data)),
            )

    def _write_document(self, class_name: str, record: Record) -> None:
        with self._transaction() as db:
            db.execute(
                "INSERT OR REPLACE INTO _velkor_metadata VALUES (?, ?, ?, ?, ?, ?)",
                (record.write_id, record.written_at, record.object_id, record.object_version,
                 class_name, json.dumps(record.metadata)),
            )

    def _read(self, class_name: str, conditions: Q | None) -> tuple[list[Record], list[Record]]:
        rows = []
        with self._transaction("DEFERRED") as db:
            columns = self._table_columns(class_name)
            if columns:
                where, params = _conditions_to_sql(conditions, set(columns) - set(_ROW_FIELDS))
                cursor = db.execute(f"SELECT * FROM {_quote(class_name)}{where} ORDER BY _write_id", params)
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

    def _delete(self, class_name: str, object_id: str, object_version: str | None) -> int:
        version_test = "" if object_version is None else " AND {} = ?"
        params = [object_id] + ([] if object_version is None else [object_version])
        removed = 0
        with self._transaction() as db:
            if self._table_columns(class_name):
                removed += db.execute(
                    f"DELETE FROM {_quote(class_name)} WHERE _object_id = ?" + version_test.format("_object_version"),
                    params).rowcount
            removed += db.execute(
                "DELETE FROM _velkor_versions WHERE class_name = ? AND object_id = ?" + version_test.format("object_version"),
                [class_name, *params]).rowcount
        return removed
