"""Who recorded each migration, where and how long it took, kept beside the ledger.

One ``MigrationRun`` object per migration that a run applies, withdraws or
records as a baseline, written to the ledger's store in the same transaction
as the migration's record, so that the two are committed together or not at
all. It holds the event (``applied``, ``withdrawn``, ``baseline``), the user
and the host that ran the command, the seconds the run spent on that
migration, and the transaction's id, which is also the one in the metadata
document of the ``Migration`` version it goes with: a version of the history
meets its run record on (transaction, module, migration). Run records are
never withdrawn; the ``Migration`` table's columns stay as they are.

``seconds`` is measured from when the run starts on the migration to when
its writes are staged: for ``apply``, compiling its batch and staging its
record and checksum; for ``rollback`` and ``baseline``, staging its writes.
What the run does once for
all of them (reading the record, validating the files, compiling the
applied classes it needs, and the commit, in which the run record is itself written) is in none.
"""
from __future__ import annotations

import getpass
import socket
from functools import lru_cache
from dataclasses import dataclass
from typing import Any

from velkor_data.engines.base import Connection
from velkor_data.manager import VelkorDataManager
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.table_schema import TableColumnSchema, TableSchema
from velkor_utils.utils.identifier import get_identifier

from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.record.tables import current, new_metadata, put_version

RUN_CLASS = "MigrationRun"
ADDRESS = Address(resource="resource", class_name=RUN_CLASS)
EVENTS = ("applied", "withdrawn", "baseline")


def register_table() -> None:
    TableSchemasManager().register_table(TableSchema(address=ADDRESS, columns=[
        TableColumnSchema(name="module_name", type=str, nullable=True),
        TableColumnSchema(name="migration_name", type=str, nullable=False),
        TableColumnSchema(name="event", type=str, nullable=False),
        TableColumnSchema(name="user", type=str, nullable=True),
        TableColumnSchema(name="host", type=str, nullable=True),
        TableColumnSchema(name="seconds", type=float, nullable=True),
        TableColumnSchema(name="transaction_id", type=str, nullable=False),
    ]))


@lru_cache(maxsize=1)
def who() -> tuple[str | None, str | None]:
    """The user and the host that run this process (None when the system cannot tell)."""
    try:
        user = getpass.getuser()
    except (KeyError, OSError):  # no name for the uid (a container), and no LOGNAME or USER
        user = None
    return user, socket.gethostname() or None


@dataclass(frozen=True)
class Run:
    """A migration's record of the run that applied, withdrew or baselined it."""

    key: MigrationKey
    event: str
    user: str | None
    host: str | None
    seconds: float | None
    transaction: str


class Runs:
    """The run records on one connection."""

    def __init__(self, connection: Connection) -> None:
        self.connection = connection

    def read(self) -> dict[tuple[str, MigrationKey], Run]:
        """Every run record, by (transaction, migration)."""
        return {(row["transaction_id"], MigrationKey.of_row(row)): _run(row) for row in current(self.connection, ADDRESS)}

    def record(self, key: MigrationKey, event: str, seconds: float | None) -> None:
        """A run record of the current transaction."""
        if event not in EVENTS:
            raise ValueError(f"a run record's event is one of {EVENTS}, not {event!r}")
        user, host = who()
        transaction = VelkorDataManager().get_transaction_manager().transaction_object.address.object_id
        address = ADDRESS.model_copy(update={"object_id": get_identifier(), "object_version": get_identifier()})
        data = {"module_name": key.module, "migration_name": key.name, "event": event, "user": user, "host": host,
                "seconds": None if seconds is None else round(seconds, 6), "transaction_id": transaction}
        put_version(self.connection, address, data, new_metadata(address))


def _run(row: dict[str, Any]) -> Run:
    return Run(MigrationKey.of_row(row), row["event"], row.get("user"), row.get("host"), row.get("seconds"),
               row["transaction_id"])
