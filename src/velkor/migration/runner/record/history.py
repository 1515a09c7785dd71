"""Every version of the migration records in the lakehouse, oldest first."""
from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Any

from velkor_data.connections.manager import ConnectionsManager

from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.key import APP
from velkor.migration.runner.record.failures import reported


@dataclass
class HistoryEntry:
    """One version of a ``Migration`` object in the lakehouse."""

    written_at: float
    deleted: bool
    object_id: str
    object_version: str | None
    transaction: str | None
    data: dict[str, Any] | None  # the record's data; None when the lakehouse lost it

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
            entries = manager.get_connection(lakehouse).history("Migration")
    finally:
        manager.close()
    return lakehouse, [HistoryEntry(entry["written_at"], entry["is_deleted"], entry["object_id"],
                                    entry["object_version"], (entry["transaction"] or {}).get("object_id"),
                                    entry["data"]) for entry in entries]
