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
from pathlib import Path

from velkor.migration.data_classes import MigrationFile
from velkor_data.engines.base import Connection
from velkor_data.manager import Transaction, VelkorDataManager
from velkor_utils.config.data_models.velkor_config import VelkorConfig

from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.record import checksums, runs
from velkor.migration.runner.record.interrupts import ignore_interrupts, interrupts_deferred
from velkor.migration.runner.record.marker import Marker
from velkor.migration.runner.record.tables import ProjectVault
from velkor.migration.runner.redaction import redact

READ_ATTEMPTS = 5  # reads of the ledger while other runs commit, before the last one is taken


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
        self.marker = Marker(root)
        self._records: list[MigrationFile] | None = None
        self._sequences: dict[MigrationKey, checksums.Checksum] | None = None
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
        """What the ledger reports as applied (read again after every commit): one version of
        its tables, read again while another run commits in the middle of the read."""
        if self._records is None:
            for _ in range(READ_ATTEMPTS):
                versions = self.store.log_versions()
                records = self.vault.fetch_migrations()
                if self.store.log_versions() == versions:
                    break
            self._records, self.read_versions = records, versions
        return list(self._records)

    def checksums(self) -> checksums.Checksums:
        return checksums.Checksums(self.store)

    def runs(self) -> runs.Runs:
        return runs.Runs(self.store)

    def stored_checksums(self) -> dict[MigrationKey, checksums.Checksum]:
        """Each applied migration's checksum, text and run (read again after every commit)."""
        if self._sequences is None:
            self._sequences = self.checksums().read()
        return dict(self._sequences)

    def sequences(self) -> dict[MigrationKey, int | None]:
        """The run that recorded each applied migration, by its sequence number."""
        return {key: found.sequence for key, found in self.stored_checksums().items()}

    # -- writing ---------------------------------------------------------

    @contextmanager
    def transaction(self) -> Iterator[Transaction]:
        """Writes staged until ``commit``; dropped when the block raises."""
        with VelkorDataManager().get_transaction_manager().begin() as transaction:
            yield transaction

    def commit(self, transaction: Transaction, after: list[MigrationFile] | None = None) -> None:
        """The ledger first, then the copy; Ctrl-C waits until both are written.
        Nothing is written when the run lost the project's lock, nor when
        another run committed to the ledger since this one read it.
        ``after``: what the ledger will hold, noted in the marker beforehand, so
        that a commit cut short is not taken for damage."""
        if self.fence is not None:
            self.fence()  # the run still holds the project's lock
        if self._records is not None:  # written only if the ledger is still as this run read it
            transaction.expect(self.ledger_name, self.read_versions)
        if after is not None:
            self.marker.expect(after)
        self._records = self._sequences = None
        if self.interrupts_end_at_commit:
            ignore_interrupts()
            transaction.commit()
            return
        with interrupts_deferred():
            transaction.commit()

    def save(self, record: MigrationFile) -> None:
        self.vault.save_migration(record)

    def withdraw(self, record: MigrationFile) -> None:
        self.vault.delete_migration(record)
