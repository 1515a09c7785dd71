"""Every version of the migration records in the lakehouse, oldest first,
each with the record of the run that wrote it (``record.runs``) when one was
kept: met on the transaction and the migration."""
from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any

from velkor_data.connections.manager import ConnectionsManager

from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.key import APP, MigrationKey
from velkor.migration.runner.record import runs
from velkor.migration.runner.record.failures import reported
from velkor.migration.runner.record.runs import Run


@dataclass
class HistoryEntry:
    """One version of a ``Migration`` object in the lakehouse."""

    written_at: float
    deleted: bool
    object_id: str
    object_version: str | None
    transaction: str | None
    data: dict[str, Any] | None  # the record's data; None when the lakehouse lost it
    run: Run | None = None  # who wrote it, where, how long; None when no run record was kept (repair, older runs)

    @property
    def key(self) -> MigrationKey | None:
        return MigrationKey.of_row(self.data) if self.data and self.data.get("migration_name") else None

    @property
    def event(self) -> str:
        """``saved`` or ``deleted``; ``baseline`` for a version saved by ``baseline``."""
        if self.deleted:
            return "deleted"
        return "baseline" if self.run is not None and self.run.event == "baseline" else "saved"

    @property
    def migration(self) -> str | None:
        """The migration file's name without ``.json``."""
        name = (self.data or {}).get("migration_name")
        return Path(name).stem if name else None

    @property
    def module(self) -> str | None:
        return (self.data.get("module_name") or APP) if self.data else None

    @property
    def label(self) -> str | None:
        return f"{self.module}:{self.migration}" if self.migration else None


def lakehouse_history(config: Any) -> tuple[str, list[HistoryEntry]]:
    """The lakehouse's name, and every version of the migration records in it, oldest first."""
    lakehouse = config.resources_config.lakehouse
    if not lakehouse:
        raise MigrationError("no lakehouse is configured (resources_config.lakehouse in velkor.toml): "
                             "the history of the applied migrations is kept there")
    manager = ConnectionsManager(list(config.connections.values()))
    try:
        with reported("reading the history"):
            connection = manager.get_connection(lakehouse)
            entries = connection.history("Migration")
            runs.register_table()
            found = runs.Runs(connection).read()
    finally:
        manager.close()
    history = [HistoryEntry(entry["written_at"], entry["is_deleted"], entry["object_id"], entry["object_version"],
                            (entry["transaction"] or {}).get("object_id"), entry["data"]) for entry in entries]
    for entry in history:
        entry.run = found.get((entry.transaction, entry.key)) if entry.key else None
    return lakehouse, history
