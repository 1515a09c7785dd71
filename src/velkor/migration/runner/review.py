"""The applied migrations' files held against what the ledger recorded:
files changed since they were applied, and pending migrations numbered
below an applied one of their module."""
from __future__ import annotations

from dataclasses import dataclass, field

from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.checksums import Checksum, file_checksum
from velkor.migration.runner.files import MigrationSource
from velkor.migration.runner.project import Project, record_key


@dataclass
class Review:
    stored: dict  # migration key -> Checksum kept in the ledger
    checksums: dict = field(default_factory=dict)  # migration key -> checksum of the file now
    changed: list[MigrationSource] = field(default_factory=list)     # applied; the file differs from its checksum
    unrecorded: list[MigrationSource] = field(default_factory=list)  # applied before checksums were kept
    # pending, and an applied migration of its module numbered after it
    out_of_order: list[tuple[MigrationSource, MigrationSource]] = field(default_factory=list)

    def stored_for(self, source: MigrationSource) -> Checksum | None:
        return self.stored.get(source.key)


def review(project: Project, records: list[MigrationFile]) -> Review:
    ledger = project.ledger
    with project.storage("reading the checksums of the applied migrations"):
        result = Review(ledger.checksums().read())
    highest: dict[str | None, MigrationSource] = {}
    for record in records:
        source = project.source_of(record)
        if source is None:
            continue  # a missing file is reported where it matters
        if source.number > getattr(highest.get(source.module), "number", -1):
            highest[source.module] = source
        try:
            now = result.checksums[source.key] = file_checksum(source.path)
        except OSError:
            continue
        stored = result.stored_for(source)
        if stored is None:
            result.unrecorded.append(source)
        elif stored.checksum != now:
            result.changed.append(source)
    applied = {record_key(r) for r in records}
    for source in project.sources:
        later = highest.get(source.module)
        if source.key not in applied and later is not None and later.number > source.number:
            result.out_of_order.append((source, later))
    return result
