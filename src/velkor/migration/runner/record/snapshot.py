"""What the ledger held after the last run that read or wrote it, kept in the
project folder (``.velkor/record-snapshot.json``) so that a run reads the
stores' state, not their whole history: the applied records, their checksums
and texts, and whether the repository's copy agreed with them.

A snapshot counts only while the stores are exactly as it says: each store's
``state()`` (for a local lakehouse, every table's log version, the digest of
its newest log entry and its data files' names; for SQLite, the counts of
writes the database keeps of each class) is kept beside it and
compared first. Any commit, by any run or host, or a lost or replaced file,
changes that state, and the run reads the store whole, as without a snapshot.
A store that cannot tell its state cheaply (a remote one) is always read.
A lost, cut-short or foreign snapshot is only a slower run: it is written
anew, never trusted over the stores.
"""
from __future__ import annotations

import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from velkor.migration.data_classes import MigrationFile, ModuleTypes
from velkor_utils.models.data_models.address import Address

from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.per_record import PerRecord
from velkor.migration.runner.record.checksums import Checksum
from velkor.migration.runner.source.discovery import path_of

FILE = Path(".velkor") / "record-snapshot.json"
FORMAT = 2
RECORD_FIELDS = ("number", "path", "type", "module", "applied_at", "stored_address")
ADDRESS_FIELDS = ("resource", "class_name", "class_version", "object_id", "object_version")


@dataclass
class Snapshot:
    ledger: list[Any]                      # [connection, location, state]
    versions: dict[str, int]               # the ledger's table log versions at that state
    records: list[MigrationFile]           # as the ledger reads them, in its order
    checksums: dict[MigrationKey, Checksum]
    copy: list[Any] | None = None          # [connection, location, state] of a copy that agreed with the records


def load(root: Path, ledger: list[Any]) -> Snapshot | None:
    """The snapshot of the ledger in ``ledger`` ([connection, location, state]) if one
    was kept of it as it is now; None otherwise (also when the file is unreadable)."""
    if ledger[2] is None:
        return None
    try:
        data = json.loads((root / FILE).read_bytes())
        if data.get("format") != FORMAT or data.get("ledger") != ledger:
            return None
        return Snapshot(ledger, data["versions"], [_record(item) for item in data["records"]],
                        {MigrationKey(item[0], item[1]): _checksum(item) for item in data["checksums"]},
                        data.get("copy"))
    except (OSError, ValueError, TypeError, KeyError, IndexError, AttributeError):
        return None


def save(root: Path, snapshot: Snapshot) -> None:
    """Write the snapshot whole, or leave none (a snapshot is only a shortcut)."""
    path = root / FILE
    data = {"format": FORMAT, "ledger": snapshot.ledger, "versions": snapshot.versions, "copy": snapshot.copy,
            "records": [_record_item(record) for record in snapshot.records],
            "checksums": [[key.module, key.name, *found] for key, found in snapshot.checksums.items()]}
    temporary = path.with_name(f"{path.name}.{os.getpid()}.new")
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        temporary.write_text(json.dumps(data, separators=(",", ":")), encoding="utf-8")
        os.replace(temporary, path)
    except (OSError, ValueError, TypeError):  # (a read-only project folder, say: the next run reads whole)
        _remove(temporary)
        _remove(path)


def _remove(path: Path) -> None:
    try:
        path.unlink(missing_ok=True)
    except OSError:
        pass


def _address_item(address: Address | None) -> list[str | None] | None:
    return None if address is None else [getattr(address, name) for name in ADDRESS_FIELDS]


def _address(item: list[str | None] | None) -> Address | None:
    return None if item is None else _built(Address, dict(zip(ADDRESS_FIELDS, item)))


def _record_item(record: MigrationFile) -> list[Any]:
    return _ITEMS.get(record) or _ITEMS.put(record, [
        record.number, str(record.path), record.type.value, record.module, record.applied_at,
        _address_item(record.stored_address)])


def _record(item: list[Any]) -> MigrationFile:
    number, path, kind, module, applied_at, address = item
    made = path_of(path)
    record = _built(MigrationFile, {"number": number, "path": made, "type": _TYPES[kind], "module": module,
                                    "applied_at": applied_at, "stored_address": _address(address)})
    _ITEMS.put(record, item)
    MigrationKey.of_new_record(record, made.name)
    return record


_TYPES = {kind.value: kind for kind in ModuleTypes}

# A record read from the snapshot or written to it, kept as it is, is written again from its item.
_ITEMS = PerRecord(*RECORD_FIELDS)


def _checksum(item: list[Any]) -> Checksum:
    return Checksum(*item[2:])


def _built(model: type, fields: dict[str, Any]) -> Any:
    """A pydantic model of fields it was validated with when it was written: what ``model_construct``
    makes, without its defaults pass (every field is given). Thousands are made per run."""
    made = model.__new__(model)
    _set(made, "__dict__", fields)
    _set(made, "__pydantic_fields_set__", set(fields))
    _set(made, "__pydantic_extra__", None)
    _set(made, "__pydantic_private__", None)
    return made


_set = object.__setattr__
