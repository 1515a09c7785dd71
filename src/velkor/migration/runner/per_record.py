"""A value worked out from a ``MigrationFile`` record, kept while the record's
fields are as they were: a run asks thousands of records for their
key, and writes thousands back to the snapshot as they were read. The record
is held, so that its id is its own while the value is kept."""
from __future__ import annotations

from operator import attrgetter
from typing import Any

KEPT = 100_000  # records at most; then it starts afresh


class PerRecord:
    def __init__(self, *fields: str) -> None:
        """``fields``: the record's fields the value depends on."""
        self._fields = attrgetter(*fields)
        self._kept: dict[int, tuple[Any, Any, Any]] = {}  # id(record) -> (record, its fields, the value)

    def get(self, record: Any) -> Any:
        """The value kept for the record as it is, or None."""
        kept = self._kept.get(id(record))
        if kept is None or kept[0] is not record or kept[1] != self._fields(record):
            return None
        return kept[2]

    def put(self, record: Any, value: Any) -> Any:
        if len(self._kept) >= KEPT:
            self._kept.clear()
        self._kept[id(record)] = (record, self._fields(record), value)
        return value
