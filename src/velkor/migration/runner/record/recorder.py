"""What the runner asks of the record of applied migrations: read the
applied records, check the stores for damage, bring the repository's copy
in line, stage saves and withdrawals and commit them, note what the stores
hold, repair them. Every storage error becomes one ``MigrationError`` here,
saying what failed; no caller wraps these calls."""
from __future__ import annotations

import time
from collections import Counter
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager, nullcontext
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any

from velkor.migration.data_classes import MigrationFile
from velkor_data.engines.base import CHANGED_SINCE_READ
from velkor_data.manager import Transaction
from velkor_utils.config.data_models.velkor_config import VelkorConfig
from velkor_utils.models.data_models.address import Address

from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.key import MigrationKey, label_of
from velkor.migration.runner.record import damage, repair, repository_copy
from velkor.migration.runner.record.checksums import Checksum, Checksums
from velkor.migration.runner.record.drift import Drift
from velkor.migration.runner.record.engines import EngineOutput, engine_output_kept
from velkor.migration.runner.record.interrupts import interrupts_kept
from velkor.migration.runner.record.failures import STORAGE_ERRORS, reported, storage_message
from velkor.migration.runner.record.ledger import Ledger
from velkor.migration.runner.record.repository_copy import Differences
from velkor.migration.runner.record.tables import MIGRATION, current, record_of
from velkor.migration.runner.source.document import MigrationSource

Scope = Callable[[], AbstractContextManager]  # the framework's settings pointed at the project


class Recorder:
    """The record of one project's applied migrations."""

    def __init__(self, root: Path, scope: Scope, timings: Counter, config: VelkorConfig | None = None) -> None:
        self.root = root
        self.config = config  # the configuration in force (None: the framework reads velkor.toml)
        self._scope = scope
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
    def _storage(self, what: str, staged: bool = False) -> Iterator[EngineOutput | None]:
        """A block that uses the stores: their errors become one message, and what
        their libraries write to the error stream goes to the engine log. ``staged``:
        the block only stages writes in a transaction (the libraries run at its commit),
        so the error stream is left as it is (a write staged per migration and call)."""
        started = time.perf_counter()
        try:
            with self._scope(), interrupts_kept(), \
                    nullcontext() if staged else engine_output_kept(self.root, what) as output, reported(what):
                yield output
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
        return in_record_order(records, sequences)

    def as_of(self, moment: str) -> PastRecord:
        """The record as it was at ``moment`` (ISO 8601, or a version of the ledger's
        ``Migration`` table), read from the lakehouse's own versions."""
        ledger = self.ledger
        with self._storage(f"reading the ledger as of {moment}"):
            when = _moment(ledger, moment)
            view = ledger.store.as_of(when)
            first = ledger.store.first_commit(MIGRATION.class_name)
            if first is None or when < first:
                since = f" (its first was written at {first.astimezone():%Y-%m-%d %H:%M:%S})" if first else ""
                raise MigrationError(f"the ledger holds no record as of {moment}{since}")
            return PastRecord(self, view, moment, when)

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
            return ledger.stored_checksums()

    def copy_rows(self) -> int | None:
        """How many current rows the repository's copy holds; None without a copy."""
        ledger = self.ledger
        if ledger.copy is None:
            return None
        with self._storage("counting the repository's rows"):
            return len(current(ledger.copy))

    def recorded_by(self, key: MigrationKey) -> str | None:
        """Who recorded the migration as applied, and on which host: ``user@host``, when the record keeps it."""
        ledger = self.ledger
        with self._storage("reading who applied the migrations"):
            runs = [run for (_, found), run in ledger.runs().read().items()
                    if found == key and run.event in ("applied", "baseline")]
        if not runs:
            return None
        run = max(runs, key=lambda run: run.transaction)
        return f"{run.user or '?'}@{run.host or '?'}"

    def count_records(self, class_name: str) -> int:
        """How many records of a model class the repository holds now."""
        ledger = self.ledger
        if ledger.repository_name is None:
            return 0
        with self._storage(f"counting the records of {class_name} in the repository"):
            connection = ledger.connections.get_connection(ledger.repository_name)
            rows = connection.query(address=Address(resource="resource", class_name=class_name))
        return sum(1 for row in rows if not (row.get("_metadata") or {}).get("is_deleted")
                   and not (row.get("_metadata") or {}).get("next_version"))

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


def in_record_order(records: list[MigrationFile], sequences: dict[MigrationKey, int | None]) -> list[MigrationFile]:
    """By the run that recorded them, then in migration order (``MigrationSource.order``, also for
    a migration with no file here); migrations recorded before runs were numbered first, by time."""
    def place(record: MigrationFile) -> tuple:
        key = MigrationKey.of_record(record)
        sequence = sequences.get(key)
        run = (0, record.applied_at or 0.0) if sequence is None else (1, sequence)
        return run, (key.module is None, key.module or "", record.number)

    return sorted(records, key=place)


def _moment(ledger: Ledger, moment: str) -> datetime:
    """A time (ISO 8601; without a zone, this host's) or a version of the ``Migration`` table."""
    if moment.strip().isdigit():
        version = int(moment)
        times = ledger.store.version_times(MIGRATION.class_name)
        if version not in times:
            known = f"its versions: 0 to {max(times)}" if times else "it keeps no versions"
            raise MigrationError(f"the ledger has no version {version} ({known})")
        # until the next version: the run's writes to the ledger's other tables follow its records'
        following = times.get(version + 1)
        return following - timedelta(milliseconds=1) if following else datetime.now(timezone.utc)
    try:
        when = datetime.fromisoformat(moment.strip())
    except ValueError:
        raise MigrationError(f"{moment!r} is neither a time (ISO 8601, such as 2026-12-08T14:30) nor a version "
                             "of the ledger") from None
    return when if when.tzinfo else when.astimezone()


class PastRecord:
    """The record as it was at a past moment: what was applied then, and the texts applied."""

    def __init__(self, recorder: Recorder, view: Any, moment: str, when: datetime) -> None:
        self._recorder, self._view, self.moment, self.when = recorder, view, moment, when

    def checksums(self) -> dict[MigrationKey, Checksum]:
        with self._recorder._storage(f"reading the ledger as of {self.moment}"):
            return Checksums(self._view).read()

    def records(self) -> list[MigrationFile]:
        with self._recorder._storage(f"reading the ledger as of {self.moment}"):
            records = [record_of(row) for row in current(self._view)]
        sequences = {key: found.sequence for key, found in self.checksums().items()}
        return in_record_order(records, sequences)


class Staging:
    """The writes of one transaction of the record."""

    def __init__(self, recorder: Recorder, ledger: Ledger, transaction: Transaction) -> None:
        self._recorder, self._ledger, self._transaction = recorder, ledger, transaction

    def save(self, source: MigrationSource, applied_at: float) -> MigrationFile:
        """Record a migration as applied."""
        record = MigrationFile(number=source.number, path=source.path, type=source.module_type,
                               module=source.module, applied_at=applied_at)
        with self._recorder._storage(f"{source.where()}: recording it as applied", staged=True):
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
        """Record the files' texts and checksums as the applied ones; ``applied``: of migrations this run
        records, which take the run's place in the order of the record (others keep theirs)."""
        with self._recorder._storage("recording the checksums of the applied migrations", staged=True):
            checksums = self._ledger.checksums()
            for source in sources:
                prior = drift.stored_for(source)
                sequence = drift.next_sequence if applied else prior.sequence if prior else None
                checksums.record(source.key, drift.document_now(source), prior=prior, sequence=sequence)

    def record_run(self, key: MigrationKey, event: str, seconds: float | None) -> None:
        """Note who recorded the migration, where and in how many seconds (``record.runs``)."""
        with self._recorder._storage(f"{key.label}: recording the run ({event})", staged=True):
            self._ledger.runs().record(key, event, seconds)

    def commit(self, what: str, after: list[MigrationFile] | None = None) -> MigrationError | None:
        """Write what is staged: the ledger first, then the copy; ``after``, what the ledger
        will hold. The failure, if any, says whether the ledger got written before it."""
        failure = None
        with self._recorder._storage(what) as output:
            try:
                self._ledger.commit(self._transaction, after)
            except STORAGE_ERRORS as exc:
                if getattr(exc, "cause", None) == CHANGED_SINCE_READ:
                    raise MigrationError(f"{what}: another run changed the ledger since this run read it, so this "
                                         "run stops before writing; nothing was changed by it") from None
                failure = MigrationError(f"{what}: {storage_message(exc)}")
                failure.copy_behind = self._ledger.ledger_name in self._transaction.committed  # type: ignore[attr-defined]
        return output.note(failure) if failure else None
