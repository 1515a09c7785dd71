"""The ledger and its copy: the project's stores of applied migrations.

The ledger is the store that ``fetch_migrations`` reads: the lakehouse when
one is configured, else the repository. What it reports is what is applied.
When the repository is a store of its own beside the lakehouse, it holds a
copy of each current record as a row of the ``Migration`` table, one row per
migration (a unique key). A run stages every write and commits the ledger
first, then the copy; whatever stops it, the next run that changes anything
first brings the copy in line with the ledger (``repository_copy``).
"""
from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from velkor.migration.data_classes import MigrationFile
from velkor_data.engines.base import Connection
from velkor_data.manager import Transaction, VelkorDataManager
from velkor_utils.config.data_models.velkor_config import VelkorConfig

from velkor.migration.runner.collector import paused
from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.record import checksums, runs, snapshot
from velkor.migration.runner.record.interrupts import ignore_interrupts, interrupts_deferred
from velkor.migration.runner.record.marker import Marker
from velkor.migration.runner.record.tables import MIGRATION, ProjectVault, Version, version_of
from velkor.migration.runner.redaction import redact

READ_ATTEMPTS = 5  # reads of the ledger while other runs commit, before the last one is taken
# What the ledger's state and the copy's are taken of.
LEDGER_CLASSES = [MIGRATION.class_name, checksums.CHECKSUM_CLASS]
COPY_CLASSES = [MIGRATION.class_name]


class Ledger:
    """The ledger module's store, its copy in the repository, and the marker
    of what they held."""

    def __init__(self, root: Path, interrupts_end_at_commit: bool = False, config: VelkorConfig | None = None) -> None:
        # On the command line, Ctrl-C cannot stop a commit, nor anything
        # after it: the run finishes and says what it recorded.
        self.interrupts_end_at_commit = interrupts_end_at_commit
        self.vault = ProjectVault(config)
        self.connections = self.vault._connections_manager
        resources = self.vault._velkor_config.resources_config
        self.ledger_name: str = resources.lakehouse or resources.repository.default
        default = resources.repository.default
        self.copy_name: str | None = default if default and default != self.ledger_name else None
        self.repository_name: str | None = default or None  # where the model classes' records are stored
        self.root = root
        self.marker = Marker(root)
        # What the ledger holds, read whole or from the snapshot, and kept up to date by this run's commits.
        self._records: list[MigrationFile] | None = None
        self._sequences: dict[MigrationKey, checksums.Checksum] | None = None
        self._kept: snapshot.Snapshot | None = None  # the snapshot of the ledger as it is, when there is one
        self._identity: list[Any] | None = None  # the ledger's [connection, location, state] the snapshot was tried on
        self._copy_agrees = False  # the repository's copy is known to agree with _records
        self._changes: Changes | None = Changes()  # this transaction's writes (None: some not known to the run)
        self.read_versions: dict[str, int] = {}  # the versions of the ledger's table logs that records() read
        self.fence: Callable[[], None] | None = None  # raises when the run no longer holds the project's lock
        checksums.register_table()
        runs.register_table()

    # -- the stores ------------------------------------------------------

    @property
    def store(self) -> Connection:
        """The ledger's own store."""
        return self.connections.get_connection(self.ledger_name)

    @property
    def copy(self) -> Connection | None:
        return self.connections.get_connection(self.copy_name) if self.copy_name else None

    def location(self, name: str | None) -> str:
        """Where a store is: its path, or its URI or URL, redacted."""
        return redact(self.connections.config(name).location) if name else ""

    def describe(self, name: str) -> str:
        role = "ledger" if name == self.ledger_name else "repository"
        return f"the {role} {name!r} ({self.location(name)})"

    # -- reading ---------------------------------------------------------

    def records(self) -> list[MigrationFile]:
        """What the ledger reports as applied: one version of its tables (read again while
        another run commits in the middle of the read), or the snapshot of that version."""
        if self._records is None:
            self._read_current()
        return list(self._records)  # type: ignore[arg-type]

    def _read_current(self) -> None:
        """The ledger's records and checksums, from the snapshot when the store is as it says,
        else read whole (and a snapshot kept of them)."""
        with paused():
            if not self._read_kept():
                self._read_records()

    def log_versions(self) -> dict[str, int]:
        """The versions of the ledger's table logs, as a run finds them when it begins (the
        damage check): when the snapshot stands for the store as it is, the snapshot's (no
        table is opened), else the store's."""
        if self._records is None:
            with paused():
                self._read_kept()
        return dict(self.read_versions) if self._kept is not None else self.store.log_versions()

    def _read_kept(self) -> bool:
        """Whether the records were taken from the snapshot of the store as it is now."""
        if self._identity is None:
            self._identity = [self.ledger_name, self.location(self.ledger_name), self.store.state(LEDGER_CLASSES)]
            kept = snapshot.load(self.root, self._identity)
            if kept is not None:
                self._kept, self._records, self._sequences = kept, kept.records, kept.checksums
                self.read_versions = dict(kept.versions)
        return self._records is not None

    def _read_records(self) -> None:
        identity, self._identity = self._identity, None
        for _ in range(READ_ATTEMPTS):
            versions = self.store.log_versions()
            records = self.vault.fetch_migrations()
            stored = self.checksums().read()
            if self.store.log_versions() == versions:
                break
        self._kept = None
        self._records, self._sequences, self.read_versions = records, stored, versions
        if identity[2] is not None and self.store.state(LEDGER_CLASSES) == identity[2]:
            self._kept = snapshot.Snapshot(identity, versions, records, stored)
            snapshot.save(self.root, self._kept)

    def copy_agrees(self) -> bool:
        """Whether the repository's copy is known to agree with the ledger's records
        (the snapshot says so of the copy as it stands, or this run made it so)."""
        if self.copy is None:
            return False
        if self._records is None:
            self._read_current()
        if not self._copy_agrees and self._kept is not None and self._kept.copy is not None:
            self._copy_agrees = self._kept.copy == self._copy_identity()
        return self._copy_agrees

    def note_copy_agrees(self, state_before: Any) -> None:
        """The copy was just read and agrees with the records; ``state_before``: its state
        before that read (the note is kept only if nothing wrote to it since)."""
        if state_before is None or self._kept is None:
            return
        identity = self._copy_identity()
        if identity[2] == state_before:
            self._copy_agrees = True
            self._kept.copy = identity
            snapshot.save(self.root, self._kept)

    def _copy_identity(self) -> list[Any]:
        return [self.copy_name, self.location(self.copy_name), self.copy.state(COPY_CLASSES)]  # type: ignore[union-attr]

    def checksums(self) -> checksums.Checksums:
        return checksums.Checksums(self.store, self._note_checksum)

    def runs(self) -> runs.Runs:
        return runs.Runs(self.store)

    def stored_checksums(self) -> dict[MigrationKey, checksums.Checksum]:
        """Each applied migration's checksum, text and run, as ``records`` read them."""
        if self._sequences is None:
            self._read_current()
        return dict(self._sequences)  # type: ignore[arg-type]

    def sequences(self) -> dict[MigrationKey, int | None]:
        """The run that recorded each applied migration, by its sequence number."""
        return {key: found.sequence for key, found in self.stored_checksums().items()}

    # -- writing ---------------------------------------------------------

    @contextmanager
    def transaction(self) -> Iterator[Transaction]:
        """Writes staged until ``commit``; dropped when the block raises."""
        self._changes = Changes()
        with VelkorDataManager().get_transaction_manager().begin() as transaction:
            yield transaction

    def untracked(self) -> None:
        """The transaction writes what the run does not follow: the ledger is read again after it."""
        self._changes = None

    def commit(self, transaction: Transaction, after: list[MigrationFile] | None = None,
               copy_agrees: bool = False) -> None:
        """The ledger first, then the copy; Ctrl-C waits until both are written.
        Nothing is written when the run lost the project's lock, nor when
        another run committed to the ledger since this one read it.
        ``after``: what the ledger will hold, noted in the marker beforehand, so
        that a commit cut short is not taken for damage. ``copy_agrees``: the
        transaction brings the copy in line with the ledger."""
        if self.fence is not None:
            self.fence()  # the run still holds the project's lock
        if self._records is not None:  # written only if the ledger is still as this run read it
            transaction.expect(self.ledger_name, self.read_versions)
        if after is not None:
            self.marker.expect(after)
        before = (self._records, self._sequences) if self._records is not None else None
        changes, self._changes = self._changes, Changes()
        copy_agrees = copy_agrees or self._copy_agrees
        self._records = self._sequences = self._kept = self._identity = None
        self._copy_agrees = False
        if self.interrupts_end_at_commit:
            ignore_interrupts()
            transaction.commit()
        else:
            with interrupts_deferred():
                transaction.commit()
        if before is not None and changes is not None:
            self._committed(before, changes, copy_agrees)

    def _committed(self, before: tuple, changes: Changes, copy_agrees: bool) -> None:
        """What the ledger holds after this run's commit: what it held, with the commit's writes
        (the run holds the project's lock: no other run wrote in between), kept as the snapshot."""
        records, stored = before
        self._records = [r for r in records if version_of(r.stored_address) not in changes.withdrawn] + changes.saved
        self._sequences = {**stored, **changes.checksums}
        for key in [key for key, found in self._sequences.items() if found is None]:
            del self._sequences[key]
        self.read_versions = self.store.log_versions()
        identity = [self.ledger_name, self.location(self.ledger_name), self.store.state(LEDGER_CLASSES)]
        if identity[2] is None:
            return
        self._copy_agrees = copy_agrees and self.copy is not None
        self._kept = snapshot.Snapshot(identity, self.read_versions, self._records, self._sequences,
                                       self._copy_identity() if self._copy_agrees else None)
        snapshot.save(self.root, self._kept)

    def save(self, record: MigrationFile) -> None:
        self.vault.built_address = None
        self.vault.save_migration(record)
        if self._changes is not None:
            if self.vault.built_address is None:
                self._changes = None
                return
            record.stored_address = self.vault.built_address
            self._changes.saved.append(record)

    def withdraw(self, record: MigrationFile) -> None:
        self.vault.delete_migration(record)
        if self._changes is not None:
            self._changes.withdrawn.add(version_of(record.stored_address))

    def _note_checksum(self, key: MigrationKey, found: checksums.Checksum | None) -> None:
        if self._changes is not None:
            self._changes.checksums[key] = found


@dataclass
class Changes:
    """The writes of one transaction to the ledger's records and checksums."""

    saved: list[MigrationFile] = field(default_factory=list)    # with the addresses they are stored at
    withdrawn: set[Version] = field(default_factory=set)
    checksums: dict[MigrationKey, checksums.Checksum | None] = field(default_factory=dict)  # None: withdrawn
