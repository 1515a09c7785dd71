"""Checksums of applied migration files, kept beside the ledger.

One ``MigrationChecksum`` object per applied migration, written to the
ledger's store in the same transaction as the migration's record: a version
holds the checksum of the file as it was applied (or as the user last
accepted it), and its metadata document links it to the version before.
Withdrawing the migration writes a deleted version. ``document`` is the
file's text as applied (line endings made LF: what the checksum is of), so
that the applied classes are built from the record, not from a file edited
since, nor one missing on this host. ``sequence`` numbers the
runs that recorded migrations, in the order they committed (one after the
other, under the project's lock): the order of the record, whatever the
clocks of the hosts that ran them say; None for a migration recorded before
it was kept.
"""
from __future__ import annotations

import hashlib
from collections.abc import Callable
from pathlib import Path
from typing import NamedTuple

from velkor_data.engines.base import Connection
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.table_schema import TableColumnSchema, TableSchema
from velkor_utils.utils.identifier import get_identifier

from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.record.tables import current, new_metadata, put_version, row_version
from velkor.migration.runner.source.reading import content_checksum, read_bytes

CHECKSUM_CLASS = "MigrationChecksum"
ADDRESS = Address(resource="resource", class_name=CHECKSUM_CLASS)


def register_table() -> None:
    TableSchemasManager().register_table(TableSchema(address=ADDRESS, columns=[
        TableColumnSchema(name="module_name", type=str, nullable=True),
        TableColumnSchema(name="migration_name", type=str, nullable=False),
        TableColumnSchema(name="checksum", type=str, nullable=False),
        TableColumnSchema(name="sequence", type=int, nullable=True),
        TableColumnSchema(name="document", type=str, nullable=True),
    ]))


def file_checksum(path: Path) -> str:
    """SHA-256 of the file's bytes, line endings made LF (a checkout that
    turns them into CRLF does not change a migration)."""
    return content_checksum(read_bytes(path))


def file_document(path: Path) -> str:
    """The file's text as the record keeps it: line endings made LF."""
    return document_text(read_bytes(path))


def document_text(data: bytes) -> str:
    """A migration file's bytes as the record keeps its text: line endings made LF."""
    return data.replace(b"\r\n", b"\n").decode("utf-8", errors="surrogateescape")


def text_checksum(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", errors="surrogateescape")).hexdigest()


class Checksum(NamedTuple):  # (thousands are read per run)
    object_id: str       # the stored version: its object
    object_version: str  # and its version
    checksum: str
    sequence: int | None = None  # of the run that recorded the migration
    document: str | None = None  # the migration file's text as applied; None for one recorded before it was kept


class Checksums:
    """The checksum objects on one connection."""

    def __init__(self, connection: Connection,
                 on_write: Callable[[MigrationKey, Checksum | None], None] | None = None) -> None:
        self.connection = connection
        self.on_write = on_write  # told of each version written (None: withdrawn)

    def read(self) -> dict[MigrationKey, Checksum]:
        return {MigrationKey.of_row(row): Checksum(*row_version(row), row["checksum"], row.get("sequence"),
                                                   row.get("document"))
                for row in current(self.connection, ADDRESS)}

    def record(self, key: MigrationKey, document: str, prior: Checksum | None = None,
               sequence: int | None = None) -> None:
        """A new version of the key's checksum and document (a new object when there is no prior one)."""
        object_id = prior.object_id if prior else get_identifier()
        self._put(key, Checksum(object_id, "", text_checksum(document), sequence, document), object_id,
                  prior_version=prior.object_version if prior else None)

    def withdraw(self, key: MigrationKey, prior: Checksum) -> None:
        self._put(key, prior, prior.object_id, prior_version=prior.object_version, is_deleted=True)

    def _put(self, key: MigrationKey, found: Checksum, object_id: str, **fields) -> None:
        address = ADDRESS.model_copy(update={"object_id": object_id, "object_version": get_identifier()})
        put_version(self.connection, address, {"module_name": key.module, "migration_name": key.name,
                                               "checksum": found.checksum, "sequence": found.sequence,
                                               "document": found.document},
                    new_metadata(address, **fields))
        if self.on_write is not None:
            self.on_write(key, None if fields.get("is_deleted") else
                          Checksum(object_id, address.object_version, found.checksum, found.sequence, found.document))
