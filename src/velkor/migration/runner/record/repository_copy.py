"""The repository's copy of the ledger: where it differs, and bringing it in
line (the ledger's repeated records of one migration are withdrawn too: the
first one stays).

A row that the ledger no longer holds is removed only when the ledger's own
history shows the record withdrawn or replaced (a commit cut short between
the two stores). A row of which the ledger has no trace at all means that the
ledger was lost or cut back: the repository then holds the only copy, and
nothing removes it but an explicit ``repair``."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.record.ledger import COPY_CLASSES, Ledger
from velkor.migration.runner.record.tables import (
    MIGRATION, Version, current, record_of, row_address, row_version, version_of)

LISTED = 5  # migrations named in a one-line summary before "and N more"


def listing(rows: list[dict[str, Any]]) -> str:
    labels = [MigrationKey.of_row(row).label for row in rows]
    if len(labels) > LISTED:
        return ", ".join(labels[:LISTED - 1]) + f" and {len(labels) - LISTED + 1} more"
    return ", ".join(labels)


@dataclass
class Differences:
    """Where the repository's copy differs from the ledger."""

    missing: list[dict[str, Any]] = field(default_factory=list)   # ledger records without their row
    extra: list[dict[str, Any]] = field(default_factory=list)     # rows without a ledger record
    repeated: list[dict[str, Any]] = field(default_factory=list)  # later records of a migration recorded before
    unknown: list[dict[str, Any]] = field(default_factory=list)   # rows of which the ledger has no trace

    def __bool__(self) -> bool:
        return bool(self.missing or self.extra or self.repeated or self.unknown)

    def describe(self, done: bool) -> str:
        """One line; ``done``: as what was just done, else as what differs."""
        parts = []
        if self.missing:
            parts.append(f"{'added the rows of' if done else 'lacks the rows of'} {listing(self.missing)}")
        if self.extra:
            parts.append(f"{'removed the rows of' if done else 'holds rows the ledger does not:'} "
                         f"{listing(self.extra)}")
        if self.unknown:
            parts.append(f"{'removed the rows the ledger never recorded:' if done else 'holds rows the ledger has no trace of:'} "
                         f"{listing(self.unknown)}")
        if self.repeated:
            parts.append(f"{'withdrew the repeated records of' if done else 'the ledger records more than once:'} "
                         f"{listing(self.repeated)}")
        return "; ".join(parts)

    def labels(self) -> dict[str, list[str]]:
        """The migrations of each kind of difference."""
        def labels(rows: list[dict[str, Any]]) -> list[str]:
            return [MigrationKey.of_row(row).label for row in rows]

        return {"lacks": labels(self.missing), "extra": labels(self.extra + self.unknown),
                "repeated": labels(self.repeated)}

    def lost_ledger(self, ledger: Ledger) -> str | None:
        """The damage that rows unknown to the ledger show, in one message; None when there are none."""
        if not self.unknown:
            return None
        count = len(self.unknown)
        return (f"{ledger.describe(ledger.ledger_name)} has no trace of {count} "
                f"{'record' if count == 1 else 'records'} that the repository holds ({listing(self.unknown)}): "
                "it was lost or cut back. Rebuild its current records from the repository with "
                "`velkor-migrate repair --from-repository`, or restore it from a backup "
                "(`velkor-migrate repair` would remove those rows from the repository instead)")


def differences(ledger: Ledger) -> Differences:
    """Compared by the records' addresses; the ledger's rows are read whole
    only when there is something to copy or withdraw."""
    kept: dict[MigrationKey, Version] = {}
    repeated: set[Version] = set()
    for record in ledger.records():
        key, version = MigrationKey.of_record(record), version_of(record.stored_address)
        if key in kept:
            repeated.add(version)
        else:
            kept[key] = version
    copy = ledger.copy
    if copy is not None and not repeated and ledger.copy_agrees():
        return Differences()
    state_before = copy.state(COPY_CLASSES) if copy is not None else None
    copy_rows = current(copy) if copy is not None else []
    in_ledger, in_copy = set(kept.values()), {row_version(row) for row in copy_rows}
    repeated_objects = {object_id for object_id, _ in repeated}
    found = Differences()
    extra = [row for row in copy_rows if row_version(row) not in in_ledger and row_version(row)[0] not in repeated_objects]
    if extra:
        known = {(entry["object_id"], entry["object_version"]) for entry in ledger.store.history(MIGRATION.class_name)}
        found.extra = [row for row in extra if row_version(row) in known]
        found.unknown = [row for row in extra if row_version(row) not in known]
    wanted = repeated | (in_ledger - in_copy if copy is not None else set())
    if wanted:
        for row in current(ledger.store):
            if row_version(row) in repeated:
                found.repeated.append(row)
            elif row_version(row) in wanted:
                found.missing.append(row)
    if copy is not None and not found:
        ledger.note_copy_agrees(state_before)
    return found


def reconcile(ledger: Ledger, found: Differences | None = None, remove_unknown: bool = False) -> Differences:
    """Bring the copy in line with the ledger, in one commit; what differed (``found``, when
    just computed). Rows unknown to the ledger are damage, unless ``remove_unknown``."""
    found = differences(ledger) if found is None else found
    if found.unknown and not remove_unknown:
        raise MigrationError("damaged store, nothing was changed: " + found.lost_ledger(ledger))  # type: ignore[operator]
    if found:
        repeated = {row_version(row) for row in found.repeated}
        after = [r for r in ledger.records() if version_of(r.stored_address) not in repeated]
        with ledger.transaction() as transaction:
            for row in found.repeated:
                ledger.withdraw(record_of(row))
            copy = ledger.copy
            for row in found.extra + found.unknown:
                copy.delete(row_address(row))  # type: ignore[union-attr]
            for row in found.missing:
                copy.insert(address=row_address(row), data=row)  # type: ignore[union-attr]
            ledger.commit(transaction, after, copy_agrees=True)
    return found
