"""Delta Lake engine: a folder holding one Delta table per class.

A class table ``<folder>/<class_name>`` holds inserted rows (kind "row", with
their metadata) and put data versions (kind "version"), the data as JSON text.
Metadata documents go to ``<folder>/_velkor_metadata``, tagged with the class
they describe. Every write appends one commit; deletes remove rows from the
current state while Delta's time travel keeps the older table versions.
Queries read a whole table and join and filter in Python.
"""
from __future__ import annotations

import json
import os
from pathlib import Path

import pyarrow as pa
import pyarrow.compute as pc
from deltalake import DeltaTable, write_deltalake
from deltalake.exceptions import DeltaError

from velkor_data.engines.base import Connection, Record, StorageError
from velkor_utils.models.data_models.table_schema import TableSchema
from velkor_utils.query.utils import Q

_COMMON = [("write_id", pa.string()), ("written_at", pa.float64()),
           ("object_id", pa.string()), ("object_version", pa.string())]
_CLASS_TABLE = pa.schema(_COMMON + [("kind", pa.string()), ("data", pa.string()), ("metadata", pa.string())])
_METADATA_TABLE = pa.schema(_COMMON + [("class_name", pa.string()), ("document", pa.string())])
_METADATA_FOLDER = "_velkor_metadata"
# Each write adds a small file; past this many files a table is compacted so
# that reading it stays fast.
COMPACT_AT_FILES = 64


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


class DeltaConnection(Connection):
    engine = "delta"
    engine_errors = (DeltaError, OSError, pa.ArrowException)

    def _open(self) -> None:
        try:
            self.path.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise StorageError(f"{self.name}: cannot create the lakehouse folder {self.path}: {exc.strerror or exc}") from exc
        if not os.access(self.path, os.W_OK | os.X_OK):
            raise StorageError(f"{self.name}: the lakehouse folder {self.path} is not writable")

    @staticmethod
    def _read_all(table: DeltaTable) -> pa.Table:
        """The whole table, read on the calling thread: a scan on Arrow's
        thread pool leaves threads that can abort the process at exit
        ("terminate called without an active exception") when it is busy."""
        return table.to_pyarrow_dataset().to_table(use_threads=False)

    def _table(self, folder: str) -> DeltaTable | None:
        path = self.path / folder
        return DeltaTable(str(path)) if DeltaTable.is_deltatable(str(path)) else None

    def _append(self, folder: str, schema: pa.Schema, item: dict) -> None:
        path = str(self.path / folder)
        write_deltalake(path, pa.Table.from_pylist([item], schema=schema), mode="append")
        table = DeltaTable(path)
        if len(table.file_uris()) > COMPACT_AT_FILES:
            table.optimize.compact()

    @staticmethod
    def _common(record: Record) -> dict:
        return {"write_id": record.write_id, "written_at": record.written_at,
                "object_id": record.object_id, "object_version": record.object_version}

    def _write_row(self, schema: TableSchema, record: Record) -> None:
        self._append(schema.class_name, _CLASS_TABLE, {**self._common(record), "kind": "row",
                     "data": json.dumps(record.data), "metadata": json.dumps(record.metadata)})

    def _write_version(self, schema: TableSchema, record: Record) -> None:
        self._append(schema.class_name, _CLASS_TABLE, {**self._common(record), "kind": "version",
                     "data": json.dumps(record.data), "metadata": None})

    def _write_document(self, class_name: str, record: Record) -> None:
        self._append(_METADATA_FOLDER, _METADATA_TABLE, {**self._common(record), "class_name": class_name,
                     "document": json.dumps(record.metadata)})

    def _read(self, class_name: str, conditions: Q | None) -> tuple[list[Record], list[Record]]:
        table = self._table(class_name)
        rows: list[Record] = []
        versions: list[Record] = []
        if table is None:
            return rows, versions
        for item in self._read_all(table).sort_by("write_id").to_pylist():
            metadata = json.loads(item["metadata"]) if item["metadata"] is not None else None
            record = Record(item["write_id"], item["written_at"], item["object_id"], item["object_version"],
                            json.loads(item["data"]), metadata)
            (rows if item["kind"] == "row" else versions).append(record)
        return rows, versions

    def _read_documents(self, class_name: str) -> list[Record]:
        table = self._table(_METADATA_FOLDER)
        if table is None:
            return []
        arrow = self._read_all(table)
        arrow = arrow.filter(pc.field("class_name") == class_name).sort_by("write_id")
        return [
            Record(item["write_id"], item["written_at"], item["object_id"], item["object_version"],
                   metadata=json.loads(item["document"]))
            for item in arrow.to_pylist()
        ]

    def _delete(self, class_name: str, object_id: str, object_version: str | None) -> int:
        table = self._table(class_name)
        if table is None:
            return 0
        predicate = f"object_id = {_literal(object_id)}"
        if object_version is not None:
            predicate += f" AND object_version = {_literal(object_version)}"
        return int(table.delete(predicate).get("num_deleted_rows", 0))

    def table_path(self, class_name: str) -> Path:
        """Folder of the Delta table of a class (for time travel with ``deltalake``)."""
        return self.path / class_name
