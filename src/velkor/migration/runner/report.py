"""What ``status``, ``check`` and ``history`` find, as data: each migration's
state, the problems of the record of applied migrations, and the versions in
the lakehouse. The text and the JSON output both render it."""
from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from velkor_data.connections.manager import ConnectionsManager

from velkor.migration.data_classes import MigrationFile
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.files import APP, MigrationSource
from velkor.migration.runner.ledger import Differences, key_label, row_key
from velkor.migration.runner.project import STORAGE_ERRORS, Project, record_key, record_label, storage_message
from velkor.migration.runner.review import review


@dataclass
class RecordReport:
    """What is wrong with the record of applied migrations. A damaged store
    stops the reading: then ``damage`` alone is filled in."""

    damage: list[str] = field(default_factory=list)
    records: list[MigrationFile] = field(default_factory=list)  # what the ledger reports as applied
    missing: list[MigrationFile] = field(default_factory=list)  # recorded as applied; the file is gone
    changed: list[MigrationSource] = field(default_factory=list)  # applied; the file changed since
    # pending, and an applied migration of its module numbered after it
    out_of_order: list[tuple[MigrationSource, MigrationSource]] = field(default_factory=list)
    differences: Differences = field(default_factory=Differences)  # of the repository's copy

    def problems(self) -> list[str]:
        """A line each, as ``check`` tells them."""
        if self.damage:
            return list(self.damage)
        problems = []
        if self.missing:
            problems.append(f"recorded as applied, but the file is gone: {', '.join(map(record_label, self.missing))}")
        for source in self.changed:
            problems.append(f"{source.label} changed since it was applied (restore the file, or accept it with "
                            f"apply --accept-changed {source.label})")
        for source, later in self.out_of_order:
            problems.append(f"{source.label} is pending but {later.label}, numbered after it, is applied "
                            "(apply it with --out-of-order, or renumber it)")
        if self.differences:
            problems.append(f"the repository {self.differences.describe(done=False)} (the next apply, rollback or "
                            "repair brings it in line)")
        return problems


def record_report(project: Project) -> RecordReport:
    """Read the stores (nothing is written): damage first; past it, the records and their files."""
    ledger = project.ledger
    with project.storage("checking the stores"):
        damage = ledger.damage()
    if damage:
        return RecordReport(damage=damage)
    records = project.applied_records()
    found = review(project, records)
    with project.storage("comparing the repository with the ledger"):
        differences = ledger.differences()
    return RecordReport(records=records, missing=[r for r in records if project.source_of(r) is None],
                        changed=found.changed, out_of_order=found.out_of_order, differences=differences)


@dataclass
class MigrationState:
    """One migration as ``status`` lists it: a file, or a record whose file is gone."""

    module: str
    number: int
    name: str
    source: MigrationSource | None  # None: the file is gone
    applied_at: float | None = None  # None: pending
    changed: bool = False  # applied, and the file changed since
    applied_after: MigrationSource | None = None  # pending, and this migration of its module is applied

    @property
    def label(self) -> str:
        return f"{self.module}:{self.name}"

    @property
    def state(self) -> str:
        if self.source is None:
            return "file missing"
        return "pending" if self.applied_at is None else "applied"


def migration_states(project: Project, report: RecordReport) -> list[MigrationState]:
    """The project's migrations in the order they apply, then those recorded without a file."""
    changed = {s.key for s in report.changed}
    later = {source.key: after for source, after in report.out_of_order}
    by_key = {record_key(r): r for r in report.records}
    states = []
    for source in project.sources:
        record = by_key.pop(source.key, None)
        states.append(MigrationState(source.module_label, source.number, source.name, source,
                                     record.applied_at if record else None, source.key in changed,
                                     later.get(source.key)))
    for record in by_key.values():
        states.append(MigrationState(record.module or APP, record.number, Path(record.path.name).stem, None,
                                     record.applied_at))
    return states


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


def lakehouse_history(project: Project) -> tuple[str, list[HistoryEntry]]:
    """The lakehouse's name, and every version of the migration records in it, oldest first."""
    config = project.config
    lakehouse = config.resources_config.lakehouse
    if not lakehouse:
        raise MigrationError("no lakehouse is configured (resources_config.lakehouse in velkor.toml): "
                             "the history of the applied migrations is kept there")
    manager = ConnectionsManager(list(config.connections.values()))
    try:
        entries = manager.get_connection(lakehouse).history("Migration")
    except STORAGE_ERRORS as exc:
        raise MigrationError(f"reading the history: {storage_message(exc)}") from None
    finally:
        manager.close()
    return lakehouse, [HistoryEntry(entry["written_at"], entry["is_deleted"], entry["object_id"],
                                    entry["object_version"], (entry["transaction"] or {}).get("object_id"),
                                    entry["data"]) for entry in entries]


def difference_labels(differences: Differences) -> dict[str, list[str]]:
    """The migrations of each kind of difference between the repository and the ledger."""
    def labels(rows: list[dict[str, Any]]) -> list[str]:
        return [key_label(row_key(row)) for row in rows]

    return {"lacks": labels(differences.missing), "extra": labels(differences.extra),
            "repeated": labels(differences.repeated)}
