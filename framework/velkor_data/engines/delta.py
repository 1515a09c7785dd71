"""Delta Lake engine: a folder holding one Delta table per class.

A class table ``<folder>/<class_name>`` holds inserted rows (kind "row", with
their metadata) and put data versions (kind "version"), the data as JSON text.
Metadata documents go to ``<folder>/_velkor_metadata``, tagged with the class
they describe. A commit appends to each table it touches once: the class
tables first, then the metadata documents (the step that makes new versions
visible), then removals, which delete rows from the current state while
Delta's time travel keeps the older table versions. Tables stay open between
commits; small files are compacted and the log is checkpointed as they grow.
"""
from __future__ import annotations

import errno
import json
import os
from pathlib import Path

import pyarrow as pa
from deltalake import DeltaTable, QueryBuilder, write_deltalake
from deltalake.exceptions import DeltaError

from velkor_data.engines.base import (
    Connection, Operation, Record, Removal, Step, StorageError, Write, describe_cause)
from velkor_utils.query.utils import Q

_COMMON = [("write_id", pa.string()), ("written_at", pa.float64()),
           ("object_id", pa.string()), ("object_version", pa.string())]
_CLASS_TABLE = pa.schema(_COMMON + [("kind", pa.string()), ("data", pa.string()), ("metadata", pa.string())])
_METADATA_TABLE = pa.schema(_COMMON + [("class_name", pa.string()), ("document", pa.string())])
_METADATA_FOLDER = "_velkor_metadata"
# Past this many data files a table is compacted, so that reading it stays fast.
COMPACT_AT_FILES = 64
# A checkpoint every this many commits keeps reading the log short.
CHECKPOINT_EVERY = 20
# Free space a commit leaves untouched, beyond a few times what it writes.
SPACE_MARGIN = 1 << 20


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


class DeltaConnection(Connection):
    engine = "delta"
    engine_errors = (DeltaError, OSError, pa.ArrowException)

    def _open(self) -> None:
        try:
            self.path.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise StorageError(f"{self.name}: cannot create the lakehouse folder {self.path}: {describe_cause(exc)}") from exc
        if not os.access(self.path, os.W_OK | os.X_OK):
            raise StorageError(f"{self.name}: the lakehouse folder {self.path} is not writable")
        self._open_tables: dict[str, DeltaTable] = {}

    @classmethod
    def holds_data(cls, path: Path) -> bool:
        return any(path.glob("*/_delta_log/*.json")) or any(path.glob("*/_delta_log/*.parquet"))

    def log_versions(self) -> dict[str, int]:
        return self._guarded(f"{self.name}: table versions", self._log_versions)

    def _log_versions(self) -> dict[str, int]:
        versions = {}
        for log in sorted(self.path.glob("*/_delta_log")):
            table = self._table(log.parent.name)
            if table is not None:
                versions[log.parent.name] = table.version()
        return versions

    @staticmethod
    def _read_all(table: DeltaTable, schema: pa.Schema, where: str | None = None) -> pa.Table:
        """The table's rows (those that ``where`` keeps) in write order, read
        by the table library's own query engine: Arrow's dataset scanner
        leaves I/O threads behind that can abort the process at exit
        ("terminate called without an active exception")."""
        query = "SELECT * FROM t" + (f" WHERE {where}" if where else "") + " ORDER BY write_id"
        try:
            rows = QueryBuilder().register("t", table).execute(query).read_all()
        except Exception as exc:
            if type(exc) is not Exception:
                raise
            raise DeltaError(str(exc)) from exc  # the query engine's errors carry no type of their own
        return pa.table(rows).cast(schema)

    def _table(self, folder: str) -> DeltaTable | None:
        """The open table of a folder, brought up to date; None when there is none."""
        table = self._open_tables.get(folder)
        if table is not None:
            table.update_incremental()
            return table
        path = str(self.path / folder)
        if not DeltaTable.is_deltatable(path):
            return None
        table = self._open_tables[folder] = DeltaTable(path)
        return table

    def _append(self, folder: str, schema: pa.Schema, items: list[dict]) -> None:
        data = pa.Table.from_pylist(items, schema=schema)
        table = self._table(folder)
        if table is None:
            path = str(self.path / folder)
            write_deltalake(path, data, mode="append")
            self._open_tables[folder] = DeltaTable(path)
        else:
            write_deltalake(table, data, mode="append")

    def _maintain(self, folders: list[str]) -> None:
        """Compact the small files and checkpoint the logs that have grown.
        The commit is already complete: a failure here only leaves the work
        for a later commit."""
        for folder in folders:
            table = self._open_tables.get(folder)
            if table is None:
                continue
            try:
                if len(table.file_uris()) > COMPACT_AT_FILES:
                    table.optimize.compact()
                if table.version() and table.version() % CHECKPOINT_EVERY == 0:
                    table.create_checkpoint()
            except self.engine_errors:
                pass

    @staticmethod
    def _common(record: Record) -> dict:
        return {"write_id": record.write_id, "written_at": record.written_at,
                "object_id": record.object_id, "object_version": record.object_version}

    def _item(self, write: Write) -> dict:
        record = write.record
        if write.kind == "document":
            return {**self._common(record), "class_name": write.class_name, "document": json.dumps(record.metadata)}
        return {**self._common(record), "kind": write.kind, "data": json.dumps(record.data),
                "metadata": json.dumps(record.metadata) if write.kind == "row" else None}

    def _commit_steps(self, operations: list[Operation]) -> list[Step]:
        appends: dict[str, list[dict]] = {}
        documents: list[dict] = []
        removals: dict[str, list[Removal]] = {}
        for operation in operations:
            if isinstance(operation, Removal):
                removals.setdefault(operation.class_name, []).append(operation)
            elif operation.kind == "document":
                documents.append(self._item(operation))
            else:
                appends.setdefault(operation.class_name, []).append(self._item(operation))
        size = sum(len(json.dumps(item)) for items in [*appends.values(), documents] for item in items)
        steps: list[Step] = [lambda: self._check_space(size), lambda: self._check_unique(appends, operations)]
        for folder, items in appends.items():
            steps.append(lambda folder=folder, items=items: self._append(folder, _CLASS_TABLE, items))
        if documents:
            steps.append(lambda: self._append(_METADATA_FOLDER, _METADATA_TABLE, documents))
        for class_name, items in removals.items():
            steps.append(lambda class_name=class_name, items=items: self._remove(class_name, items))
        touched = [*appends, *([_METADATA_FOLDER] if documents else []), *removals]
        steps.append(lambda: self._maintain(touched))
        return steps

    def _check_space(self, size: int) -> None:
        """Refuse a commit that a nearly full disk may not take: the engine,
        cut short by a full disk, reports it with an internal panic."""
        try:
            stats = os.statvfs(self.path)
        except OSError:
            return
        free = stats.f_bavail * stats.f_frsize
        if free < SPACE_MARGIN + 4 * size:
            raise OSError(errno.ENOSPC, f"No space left on device ({free} bytes free in {self.path})")

    def _check_unique(self, appends: dict[str, list[dict]], operations: list[Operation]) -> None:
        """Refuse rows that repeat a key of their table's ``unique_together``."""
        for class_name in appends:
            self._check_unique_rows(class_name, operations)

    def _check_unique_rows(self, class_name: str, operations: list[Operation]) -> None:
        new = [o for o in operations if isinstance(o, Write) and o.kind == "row" and o.class_name == class_name]
        schema = new[0].schema if new else None
        if schema is None or not schema.unique_together:
            return
        removed = {(o.object_id, o.object_version) for o in operations
                   if isinstance(o, Removal) and o.class_name == class_name}
        rows, _ = self._read(class_name, None)
        stored = [r for r in rows if (r.object_id, r.object_version) not in removed
                  and (r.object_id, None) not in removed]
        for group in schema.unique_together:
            seen = {tuple(r.data.get(c) or "" for c in group) for r in stored}  # type: ignore[union-attr]
            for operation in new:
                key = tuple(operation.record.data.get(c) or "" for c in group)  # type: ignore[union-attr]
                if key in seen:
                    columns = ", ".join(f"{class_name}.{c}" for c in group)
                    raise StorageError(f"{self.name}: insert into {class_name}: UNIQUE constraint failed: {columns}",
                                       f"UNIQUE constraint failed: {columns}")
                seen.add(key)

    def _remove(self, class_name: str, removals: list[Removal]) -> int:
        table = self._table(class_name)
        if table is None:
            return 0
        predicate = " OR ".join(
            f"(object_id = {_literal(r.object_id)}"
            + (f" AND object_version = {_literal(r.object_version)})" if r.object_version is not None else ")")
            for r in removals)
        return int(table.delete(predicate).get("num_deleted_rows", 0))

    def _read(self, class_name: str, conditions: Q | None) -> tuple[list[Record], list[Record]]:
        table = self._table(class_name)
        rows: list[Record] = []
        versions: list[Record] = []
        if table is None:
            return rows, versions
        for item in self._read_all(table, _CLASS_TABLE).to_pylist():
            metadata = json.loads(item["metadata"]) if item["metadata"] is not None else None
            record = Record(item["write_id"], item["written_at"], item["object_id"], item["object_version"],
                            json.loads(item["data"]), metadata)
            (rows if item["kind"] == "row" else versions).append(record)
        return rows, versions

    def _read_documents(self, class_name: str) -> list[Record]:
        table = self._table(_METADATA_FOLDER)
        if table is None:
            return []
        arrow = self._read_all(table, _METADATA_TABLE, f"class_name = {_literal(class_name)}")
        return [
            Record(item["write_id"], item["written_at"], item["object_id"], item["object_version"],
                   metadata=json.loads(item["document"]))
            for item in arrow.to_pylist()
        ]

    def table_path(self, class_name: str) -> Path:
        """Folder of the Delta table of a class (for time travel with ``deltalake``)."""
        return self.path / class_name
