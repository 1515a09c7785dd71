"""The applied migrations' files held against what the ledger recorded:
files changed since they were applied, and pending migrations numbered
below an applied one of their module."""
from __future__ import annotations

from dataclasses import dataclass, field
from functools import cached_property

from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.record.checksums import Checksum, document_text, file_document
from velkor.migration.runner.source.reading import content_checksum, read_bytes
from velkor.migration.runner.source.document import MigrationSource


@dataclass
class Drift:
    stored: dict[MigrationKey, Checksum]  # the checksums kept in the ledger
    documents: dict[MigrationKey, bytes] = field(default_factory=dict)  # the files' bytes now
    changed: list[MigrationSource] = field(default_factory=list)     # applied; the file differs from its checksum
    unrecorded: list[MigrationSource] = field(default_factory=list)  # applied before checksums were kept
    undocumented: list[MigrationSource] = field(default_factory=list)  # applied, the file as applied, its text not kept
    # pending, and an applied migration of its module numbered after it
    out_of_order: list[tuple[MigrationSource, MigrationSource]] = field(default_factory=list)

    def stored_for(self, source: MigrationSource) -> Checksum | None:
        return self.stored.get(source.key)

    def document_now(self, source: MigrationSource) -> str:
        """The file's text now, as the record keeps it."""
        found = self.documents.get(source.key)
        return document_text(found) if found is not None else file_document(source.path)

    @cached_property
    def next_sequence(self) -> int:
        """The sequence number of the next run that records migrations."""
        return 1 + max((c.sequence or 0 for c in self.stored.values()), default=0)


def find_drift(sources: list[MigrationSource], records: list[MigrationFile],
               stored: dict[MigrationKey, Checksum]) -> Drift:
    """``sources``: the project's files in order; ``records``: the applied ones, in the order applied."""
    by_key = {source.key: source for source in sources}
    result = Drift(stored)
    highest: dict[str | None, MigrationSource] = {}
    applied = set()
    for record in records:
        key = MigrationKey.of_record(record)
        applied.add(key)
        source = by_key.get(key)
        if source is None:
            continue  # a missing file is reported where it matters
        if source.number > getattr(highest.get(source.module), "number", -1):
            highest[source.module] = source
        try:
            data = result.documents[key] = read_bytes(source.path)
        except OSError:
            continue
        checksum = stored.get(key)
        now = content_checksum(data)
        if source.document is None:  # (what the file says now, for what its classes will be built from)
            source.checksum = now
        if checksum is None:
            result.unrecorded.append(source)
        elif checksum.checksum != now:
            result.changed.append(source)
        elif checksum.document is None:
            result.undocumented.append(source)
    for source in sources:
        later = highest.get(source.module)
        if source.key not in applied and later is not None and later.number > source.number:
            result.out_of_order.append((source, later))
    return result
