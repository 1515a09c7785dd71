"""What ``status`` and ``check`` find, as data: each migration's state, and
the problems of the record of applied migrations. The text and the JSON
output both render it."""
from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.key import APP, MigrationKey, label_of
from velkor.migration.runner.project import Project
from velkor.migration.runner.record.drift import find_drift
from velkor.migration.runner.record.repository_copy import Differences
from velkor.migration.runner.source.document import MigrationSource


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
    duplicates: list[str] = field(default_factory=list)  # numbers two files of a module share, a line each

    def problems(self) -> list[str]:
        """A line each, as ``check`` tells them."""
        if self.damage:
            return list(self.damage)
        problems = list(self.duplicates)
        if self.missing:
            problems.append(f"recorded as applied, but the file is gone: {', '.join(map(label_of, self.missing))}")
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


def record_report(project: Project, at: str | None = None) -> RecordReport:
    """Read the stores (nothing is written): damage first; past it, the records and their files
    (``at``: the records as they were then, without the checks of today's files)."""
    recorder = project.recorder
    if at is not None:
        records = recorder.as_of(at).records()
        return RecordReport(records=records, missing=[r for r in records if project.source_of(r) is None])
    damage = recorder.damage()
    if damage:
        return RecordReport(damage=damage, duplicates=project.duplicates)
    records = recorder.records()
    found = find_drift(project.sources, records, recorder.checksums())
    return RecordReport(records=records, missing=[r for r in records if project.source_of(r) is None],
                        changed=found.changed, out_of_order=found.out_of_order, differences=recorder.differences(),
                        duplicates=project.duplicates)


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
    by_key = {MigrationKey.of_record(r): r for r in report.records}
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
