"""How a migration is known everywhere: its module and its file name."""
from __future__ import annotations

from pathlib import Path
from typing import Any, NamedTuple

APP = "app"  # how the app module is named in labels and references such as "app:0002"


KEYS_KEPT = 100_000
_KEYS: dict[int, tuple[Any, Any, Any, MigrationKey]] = {}  # id(record) -> (record, module, path, key)


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
        """The key of a ``MigrationFile`` record (asked for thousands of times a run: made once per
        record, module and path; the record is held, so that its id is its own while kept)."""
        kept = _KEYS.get(id(record))
        if kept is not None and kept[0] is record and kept[1] is record.module and kept[2] is record.path:
            return kept[3]
        key = cls(record.module or None, record.path.name)
        if len(_KEYS) >= KEYS_KEPT:
            _KEYS.clear()
        _KEYS[id(record)] = (record, record.module, record.path, key)
        return key

    @classmethod
    def of_row(cls, row: dict[str, Any]) -> MigrationKey:
        """The key of a stored row of the ``Migration`` table (or of a table keyed like it)."""
        return cls(row["module_name"] or None, row["migration_name"])


def label_of(record: Any) -> str:
    """The label of a ``MigrationFile`` record."""
    return MigrationKey.of_record(record).label
