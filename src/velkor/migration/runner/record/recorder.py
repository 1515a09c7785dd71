"""What the runner asks of the record of applied migrations: read the
applied records, check the stores for damage, bring the repository's copy
in line, stage saves and withdrawals and commit them, note what the stores
hold, repair them. Every storage error becomes one ``MigrationError`` here,
saying what failed; no caller wraps these calls."""
from __future__ import annotations

import time
from collections import Counter
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager
from pathlib import Path

from velkor.migration.data_classes import MigrationFile
from velkor_data.engines.base import CHANGED_SINCE_READ
from velkor_data.manager import Transaction
from velkor_utils.config.data_models.velkor_config import VelkorConfig

from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.key import MigrationKey, label_of
from velkor.migration.runner.record import damage, repair, repository_copy
from velkor.migration.runner.record.checksums import Checksum
from velkor.migration.runner.record.drift import Drift
from velkor.migration.runner.record.failures import STORAGE_ERRORS, reported, storage_message
from velkor.migration.runner.record.ledger import Ledger
from velkor.migration.runner.record.repository_copy import Differences
from velkor.migration.runner.source.document import MigrationSource

Scope = Callable[[], AbstractContextManager]  # the framework's settings pointed at the project


class Recorder:
    """The record of one project's applied migrations."""

    def __init__(self, root: Path, scope: Scope, sources: list[MigrationSource], timings: Counter,
                 config: VelkorConfig | None = None) -> None:
        self.root = root
        self.config = config  # the configuration in force (None: the framework reads velkor.toml)
        self._scope = scope
        self._order = {source.key: index for index, source in enumerate(sources)}
        self._timings = timings  # "ledger": seconds spent in the ledger vault and the stores
        self._ledger: Ledger | None = None
        # Set by the command line: Ctrl-C is ignored once a commit begins.
        self.interrupts_end_at_commit = False
        # Set by the command line: where notes about the stores go (warnings).
        self.on_note: Callable[[str], None] | None = None
        self._differences: Differences | None = None
        self._fence: Callable[[], None] | None = None

    def fence_with(self, verify: Callable[[], None]) -> None:
        """Check ``verify`` (the project lock's) before every commit: it raises when the lock is lost."""
        self._fence = verify
        if self._ledger is not None:
            self._ledger.fence = verify

    @contextmanager
    def _storage(self, what: str) -> Iterator[None]:
        started = time.perf_counter()
        try:
            with self._scope(), reported(what):
                yield
        finally:
            self._timings["ledger"] += time.perf_counter() - started

    @property
    def ledger(self) -> Ledger:
        if self._ledger is None:
            with self._storage("opening the ledger"):
                self._ledger = Ledger(self.root, self.interrupts_end_at_commit, self.config)
                self._ledger.fence = self._fence
        return self._ledger

    def close(self) -> None:
        """Close the stores' connections (they open again when used)."""
        if self._ledger is not None:
            self._ledger.connections.close()

    # -- reading ---------------------------------------------------------

    def records(self) -> list[MigrationFile]:
        """The applied migrations, in the order the record holds them: by the run that
        recorded them, then in migration order. Migrations recorded before runs were
        numbered come first, by the time they were applied."""
        ledger = self.ledger
        with self._storage("reading the applied migrations"):
            records = ledger.records()
            sequences = ledger.sequences() if records else {}
        last = len(self._order)

        def place(record: MigrationFile) -> tuple:
            key = MigrationKey.of_record(record)
            sequence = sequences.get(key)
            run = (0, record.applied_at or 0.0) if sequence is None else (1, sequence)
            return run, self._order.get(key, last)

        return sorted(records, key=place)

    def holds_records(self) -> bool:
        """Whether the ledger's store holds anything, found without making it."""
        ledger = self.ledger
        with self._storage("reading the applied migrations"):
            return ledger.connections.holds_data(ledger.ledger_name)

    def recorded_keys(self) -> set[MigrationKey] | None:
        """What the ledger holds now (None when it cannot be read)."""
        try:
            return {MigrationKey.of_record(r) for r in self.records()}
        except MigrationError:
            return None

    def checksums(self) -> dict[MigrationKey, Checksum]:
        """The checksums of the applied files, as applied (or last accepted)."""
        ledger = self.ledger
        with self._storage("reading the checksums of the applied migrations"):
            return ledger.checksums().read()

    def damage(self) -> list[str]:
        """What is wrong with the stores: a store that held records after the last run that
        changed them and is lost or cut back now (the marker tells), or a ledger that has no
        trace of records that the repository holds (the stores tell, on any host)."""
        ledger = self.ledger
        with self._storage("checking the stores"):
            problems = damage.damage(ledger)
        unreadable = ledger.marker.problem
        if unreadable and self.on_note is not None:
            self.on_note(f"{ledger.marker.path}: {unreadable}: the stores are checked without it, "
                         "and it is written anew after the next change")
        if problems:
            return problems
        found = self.differences()
        if found.unknown:
            return [found.lost_ledger(ledger)]  # type: ignore[list-item]
        self._differences = found
        return []

    def differences(self) -> Differences:
        """Where the repository's copy differs from the ledger (as ``damage`` just found, when it did)."""
        found, self._differences = self._differences, None
        if found is not None:
            return found
        ledger = self.ledger
        with self._storage("comparing the repository with the ledger"):
            return repository_copy.differences(ledger)

    # -- writing ---------------------------------------------------------

    def reconcile(self) -> Differences:
        """Bring the repository's copy in line with the ledger; what differed."""
        ledger = self.ledger
        found, self._differences = self._differences, None  # as damage() just found them
        with self._storage("bringing the repository in line with the ledger"):
            return repository_copy.reconcile(ledger, found)

    @contextmanager
    def staged(self) -> Iterator[Staging]:
        """Writes staged until ``Staging.commit``; dropped when the block raises."""
        ledger = self.ledger
        with ledger.transaction() as transaction:
            yield Staging(self, ledger, transaction)

    def remember(self, records: list[MigrationFile] | None = None) -> str | None:
        """Note what the stores hold (``records``, when the run knows them),
        for the damage check of the next run; a note when that fails. What a
        run wrote is written: a failure here is no failure of the run."""
        ledger = self.ledger
        try:
            with self._storage("reading the stores back"):
                return ledger.marker.remember(ledger, ledger.records() if records is None else records)
        except MigrationError as exc:
            return f"could not note what the stores hold ({exc}); the next run checks them without it"

    def repair(self, from_repository: bool) -> list[str]:
        """Make the stores agree; what was done, a line each."""
        ledger = self.ledger
        with self._storage("repairing the stores"):
            return repair.repair(ledger, from_repository)


class Staging:
    """The writes of one transaction of the record."""

    def __init__(self, recorder: Recorder, ledger: Ledger, transaction: Transaction) -> None:
        self._recorder, self._ledger, self._transaction = recorder, ledger, transaction

    def save(self, source: MigrationSource, applied_at: float) -> MigrationFile:
        """Record a migration as applied."""
        record = MigrationFile(number=source.number, path=source.path, type=source.module_type,
                               module=source.module, applied_at=applied_at)
        with self._recorder._storage(f"{source.where()}: recording it as applied"):
            self._ledger.save(record)
        return record

    def withdraw(self, record: MigrationFile, checksum: Checksum | None = None) -> None:
        """Withdraw an applied migration, and its file's checksum when one is kept."""
        with self._recorder._storage(f"{label_of(record)}: withdrawing it"):
            self._ledger.withdraw(record)
        if checksum is not None:
            with self._recorder._storage(f"{label_of(record)}: withdrawing its checksum"):
                self._ledger.checksums().withdraw(MigrationKey.of_record(record), checksum)

    def record_checksums(self, drift: Drift, sources: list[MigrationSource], applied: bool = False) -> None:
        """Record the files' checksums as the applied ones; ``applied``: of migrations this run
        records, which take the run's place in the order of the record (others keep theirs)."""
        with self._recorder._storage("recording the checksums of the applied migrations"):
            checksums = self._ledger.checksums()
            for source in sources:
                prior = drift.stored_for(source)
                sequence = drift.next_sequence if applied else prior.sequence if prior else None
                checksums.record(source.key, drift.checksum_now(source), prior=prior, sequence=sequence)

    def commit(self, what: str, after: list[MigrationFile] | None = None) -> MigrationError | None:
        """Write what is staged: the ledger first, then the copy; ``after``, what the ledger
        will hold. The failure, if any, says whether the ledger got written before it."""
        with self._recorder._storage(what):
            try:
                self._ledger.commit(self._transaction, after)
            except STORAGE_ERRORS as exc:
                if getattr(exc, "cause", None) == CHANGED_SINCE_READ:
                    raise MigrationError(f"{what}: another run changed the ledger since this run read it, so this "
                                         "run stops before writing; nothing was changed by it") from None
                failure = MigrationError(f"{what}: {storage_message(exc)}")
                failure.copy_behind = self._ledger.ledger_name in self._transaction.committed  # type: ignore[attr-defined]
                return failure
        return None
