"""How a migration is known everywhere: its module and its file name."""
from __future__ import annotations

from pathlib import Path
from typing import Any, NamedTuple

from velkor.migration.runner.per_record import PerRecord

APP = "app"  # how the app module is named in labels and references such as "app:0002"


class MigrationKey(NamedTuple):
    """A migration: its contrib module (None for the app) and its file name."""

    module: str | None
    name: str  # the file name: 0001_customers.json

    @property
    def label(self) -> str:
        """How messages name it: ``module:NNNN_name``."""
        return f"{self.module or APP}:{Path(self.name).stem}"

    @classmethod
    def of_record(cls, record: Any) -> MigrationKey:
        """The key of a ``MigrationFile`` record (made once per record, module and path)."""
        return _KEYS.get(record) or _KEYS.put(record, cls(record.module or None, record.path.name))

    @classmethod
    def of_new_record(cls, record: Any, name: str) -> MigrationKey:
        """The key of a record just made, ``name`` being its path's last part."""
        return _KEYS.put(record, cls(record.module or None, name))

    @classmethod
    def of_row(cls, row: dict[str, Any]) -> MigrationKey:
        """The key of a stored row of the ``Migration`` table (or of a table keyed like it)."""
        return cls(row["module_name"] or None, row["migration_name"])


_KEYS = PerRecord("module", "path")


def label_of(record: Any) -> str:
    """The label of a ``MigrationFile`` record."""
    return MigrationKey.of_record(record).label
