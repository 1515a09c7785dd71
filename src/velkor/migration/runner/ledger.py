"""The record of applied migrations, across the project's stores.

The ledger is the store that ``fetch_migrations`` reads: the lakehouse when
one is configured, else the repository. What it reports is what is applied.
When the repository is a store of its own beside the lakehouse, it holds a
copy of each current record as a row of the ``Migration`` table, one row per
migration (a unique key). A run stages every write and commits the ledger
first, then the copy; whatever stops it, the next run that changes anything
first brings the copy in line with the ledger (``reconcile``).

A marker in the project folder remembers what the stores held after the last
run that changed them, so that a store that was lost or cut back is reported
as damaged instead of being taken for an empty one.
"""
from __future__ import annotations

import hashlib
import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from velkor.migration.data_classes import MigrationFile, ModuleTypes
from velkor.migration.ledger_vault import LedgerVault
from velkor_data.engines.base import NO_SPACE, Connection, StorageError
from velkor_data.manager import Transaction, VelkorDataManager
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.models.data_models.address import Address
from velkor_utils.query.utils import Q
from velkor_utils.utils.identifier import get_identifier

from velkor.migration.runner import checksums
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.marker import Marker

MIGRATION = Address(resource="resource", class_name="Migration")
KEY_COLUMNS = ["module_name", "migration_name"]
CURRENT = Q(_metadata__is_deleted=False, _metadata__next_version__isnull=True)
LISTED = 5  # migrations named in a one-line summary before "and N more"

Key = tuple[str | None, str]
Version = tuple[str, str]  # (object id, object version) of a stored record


class ProjectVault(LedgerVault):
    """The ledger, with the ``Migration`` table keyed by migration: a store
    that enforces keys refuses a second row for one migration."""

    def _init_migration_table(self) -> None:
        super()._init_migration_table()
        schemas = TableSchemasManager()
        table = schemas.get_table(MIGRATION.class_name)
        schemas.register_table(table.model_copy(update={"unique_together": [KEY_COLUMNS]}))


def record_key(record: MigrationFile) -> Key:
    return record.module or None, record.path.name


def row_key(row: dict[str, Any]) -> Key:
    return row["module_name"] or None, row["migration_name"]


def row_address(row: dict[str, Any]) -> Address:
    return Address(**row["_metadata"]["address"])


def version_of(address: Address | None) -> Version:
    return (address.object_id, address.object_version) if address is not None else ("", "")


def row_version(row: dict[str, Any]) -> Version:
    address = row["_metadata"]["address"]
    return address["object_id"], address["object_version"]


def key_label(key: Key) -> str:
    module, name = key
    return f"{module or 'app'}:{Path(name).stem}"


def listing(keys: list[Key]) -> str:
    labels = [key_label(key) for key in keys]
    if len(labels) > LISTED:
        return ", ".join(labels[:LISTED - 1]) + f" and {len(labels) - LISTED + 1} more"
    return ", ".join(labels)


def digest(records: list[MigrationFile]) -> str:
    """Identifies a set of applied migrations (which ones, applied when)."""
    text = "\n".join(sorted(f"{r.module or ''}/{r.path.name}/{r.applied_at!r}" for r in records))
    return hashlib.sha256(text.encode()).hexdigest()


@contextmanager
def interrupts_deferred() -> Iterator[None]:
    """Hold Ctrl-C back until the block is done (a commit is then either
    wholly written or not at all), and raise it afterwards."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: received.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if received:
        raise KeyboardInterrupt


def ignore_interrupts() -> None:
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


@dataclass
class Differences:
    """Where the repository's copy differs from the ledger."""

    missing: list[dict[str, Any]] = field(default_factory=list)   # ledger records without their row
    extra: list[dict[str, Any]] = field(default_factory=list)     # rows without a ledger record
    repeated: list[dict[str, Any]] = field(default_factory=list)  # later records of a migration recorded before

    def __bool__(self) -> bool:
        return bool(self.missing or self.extra or self.repeated)

    def describe(self, done: bool) -> str:
        """One line; ``done``: as what was just done, else as what differs."""
        parts = []
        if self.missing:
            keys = [row_key(r) for r in self.missing]
            parts.append(f"{'added the rows of' if done else 'lacks the rows of'} {listing(keys)}")
        if self.extra:
            keys = [row_key(r) for r in self.extra]
            parts.append(f"{'removed the rows of' if done else 'holds rows the ledger does not:'} {listing(keys)}")
        if self.repeated:
            keys = [row_key(r) for r in self.repeated]
            parts.append(f"{'withdrew the repeated records of' if done else 'the ledger records more than once:'} "
                         f"{listing(keys)}")
        return "; ".join(parts)


class Ledger:
    """The project's record of applied migrations: the ledger module's store,
    its copy in the repository, the checksums of the applied files, and the
    marker of what they held."""

    def __init__(self, root: Path, interrupts_end_at_commit: bool = False) -> None:
        # On the command line, Ctrl-C cannot stop a commit, nor anything
        # after it: the run finishes and says what it recorded.
        self.interrupts_end_at_commit = interrupts_end_at_commit
        self.vault = ProjectVault()
        self.connections = self.vault._connections_manager
        resources = self.vault._velkor_config.resources_config
        self.ledger_name: str = resources.lakehouse or resources.repository.default
        default = resources.repository.default
        self.copy_name: str | None = default if default and default != self.ledger_name else None
        self.marker = Marker(root)
        self._records: list[MigrationFile] | None = None
        checksums.register_table()

    # -- the stores ------------------------------------------------------

    @property
    def store(self) -> Connection:
        """The ledger's own store."""
        return self.connections.get_connection(self.ledger_name)

    @property
    def copy(self) -> Connection | None:
        return self.connections.get_connection(self.copy_name) if self.copy_name else None

    def describe(self, name: str) -> str:
        role = "ledger" if name == self.ledger_name else "repository"
        return f"the {role} {name!r} ({self._location(name)})"

    # -- reading ---------------------------------------------------------

    def records(self) -> list[MigrationFile]:
        """What the ledger reports as applied (read again after every commit)."""
        if self._records is None:
            self._records = self.vault.fetch_migrations()
        return list(self._records)

    def checksums(self) -> checksums.Checksums:
        return checksums.Checksums(self.store)

    def differences(self) -> Differences:
        """Compared by the records' addresses; the ledger's rows are read
        whole only when there is something to copy or withdraw."""
        kept: dict[Key, Version] = {}
        repeated: set[Version] = set()
        for record in self.records():
            key, version = record_key(record), version_of(record.stored_address)
            if key in kept:
                repeated.add(version)
            else:
                kept[key] = version
        copy_rows = self.copy.query(address=MIGRATION, conditions=CURRENT) if self.copy is not None else []
        in_ledger, in_copy = set(kept.values()), {row_version(row) for row in copy_rows}
        repeated_objects = {object_id for object_id, _ in repeated}
        differences = Differences()
        differences.extra = [row for row in copy_rows if row_version(row) not in in_ledger
                             and row_version(row)[0] not in repeated_objects]
        wanted = repeated | (in_ledger - in_copy if self.copy is not None else set())
        if wanted:
            for row in self.store.query(address=MIGRATION, conditions=CURRENT):
                if row_version(row) in repeated:
                    differences.repeated.append(row)
                elif row_version(row) in wanted:
                    differences.missing.append(row)
        return differences

    # -- writing ---------------------------------------------------------

    @contextmanager
    def transaction(self) -> Iterator[Transaction]:
        """Writes staged until ``commit``; dropped when the block raises."""
        with VelkorDataManager().get_transaction_manager().begin() as transaction:
            yield transaction

    def commit(self, transaction: Transaction, after: list[MigrationFile] | None = None) -> None:
        """The ledger first, then the copy; Ctrl-C waits until both are written.
        ``after``: what the ledger will hold, noted in the marker beforehand, so
        that a commit cut short is not taken for damage."""
        if after is not None:
            self.expect(after)
        self._records = None
        if self.interrupts_end_at_commit:
            ignore_interrupts()
            transaction.commit()
            return
        with interrupts_deferred():
            transaction.commit()

    def expect(self, records: list[MigrationFile]) -> None:
        state = self.marker.load()
        state.pop("format", None)
        state["expected"] = {"records": len(records), "digest": digest(records)}
        try:
            self.marker.save(state)
        except OSError:
            pass  # without it, a cut-short commit that empties a store may be reported as damage

    def save(self, record: MigrationFile) -> None:
        self.vault.save_migration(record)

    def withdraw(self, record: MigrationFile) -> None:
        self.vault.delete_migration(record)

    def reconcile(self) -> Differences:
        """Bring the copy in line with the ledger, and withdraw the ledger's
        repeated records of one migration (the first one stays)."""
        differences = self.differences()
        if differences:
            repeated = {row_version(row) for row in differences.repeated}
            after = [r for r in self.records() if version_of(r.stored_address) not in repeated]
            with self.transaction() as transaction:
                self.stage_reconcile(differences)
                self.commit(transaction, after)
        return differences

    def stage_reconcile(self, differences: Differences) -> None:
        for row in differences.repeated:
            self.withdraw(record_of(row))
        copy = self.copy
        for row in differences.extra:
            copy.delete(row_address(row))  # type: ignore[union-attr]
        for row in differences.missing:
            copy.insert(address=row_address(row), data=row)  # type: ignore[union-attr]

    def repair(self, from_copy: bool) -> list[str]:
        """Make the stores agree; what was done, a line each."""
        if from_copy:
            return self._restore_from_copy()
        done = []
        copy_rows = []
        if self.copy_name is not None:
            aside = self._set_aside_unreadable_copy()
            if aside is not None:
                done.append(f"Moved the unreadable repository aside, to {aside}.")
            copy_rows = self.copy.query(address=MIGRATION, conditions=CURRENT)  # type: ignore[union-attr]
        if copy_rows and not self.records():
            raise MigrationError(
                f"{self.describe(self.ledger_name)} holds no record, but the repository holds {len(copy_rows)}: "
                "restore the lakehouse from a backup, or rebuild its current records from the repository with "
                "`velkor-migrate repair --from-repository`")
        differences = self.reconcile()
        if differences:
            done.append(f"Brought the repository in line with the ledger: {differences.describe(done=True)}.")
        return done

    def _set_aside_unreadable_copy(self) -> Path | None:
        try:
            self.copy.query(address=MIGRATION, conditions=CURRENT)  # type: ignore[union-attr]
        except StorageError as unreadable:
            if not_damage(unreadable) or not self.connections.holds_data(self.copy_name):  # type: ignore[arg-type]
                raise
            try:
                return self.connections.set_aside(self.copy_name)  # type: ignore[arg-type]
            except StorageError as refused:  # a server's database stays where it is: say why it cannot be read
                raise StorageError(f"{unreadable}; {refused.cause}", unreadable.cause) from None
        return None

    def _restore_from_copy(self) -> list[str]:
        if self.copy_name is None:
            raise MigrationError("repair --from-repository needs a repository beside the lakehouse "
                                 "(resources_config.repository.default and resources_config.lakehouse)")
        copy_rows = self.copy.query(address=MIGRATION, conditions=CURRENT)  # type: ignore[union-attr]
        if not copy_rows:
            raise MigrationError(f"{self.describe(self.copy_name)} holds no row: "
                                 "there is nothing to rebuild the ledger from")
        ledger_rows = self.store.query(address=MIGRATION, conditions=CURRENT)
        in_ledger = {row_version(row) for row in ledger_rows}
        in_copy = {row_version(row) for row in copy_rows}
        restored = [row for row in copy_rows if row_version(row) not in in_ledger]
        withdrawn = [row for row in ledger_rows if row_version(row) not in in_copy]
        with self.transaction() as transaction:
            for row in restored:
                self.store.put(address=row_address(row), data={k: v for k, v in row.items() if k != "_metadata"})
                self.store.put(address=Address(resource="resource", class_name="Metadata", object_id=get_identifier()),
                               data={**row["_metadata"], "next_version": None})
            for row in withdrawn:
                self.withdraw(record_of(row))
            self.commit(transaction, [record_of(row) for row in copy_rows])
        done = [f"Rebuilt the ledger's current records from the repository: restored {len(restored)}, "
                f"withdrew {len(withdrawn)}."]
        if restored:
            done.append("The checksums of the restored migrations are recorded again at the next apply.")
        return done

    # -- the marker ------------------------------------------------------

    def state(self, records: list[MigrationFile]) -> dict[str, Any]:
        """What the stores hold, for the marker, when the ledger holds ``records``
        and the copy is in line with it."""
        state: dict[str, Any] = {"ledger": {
            "connection": self.ledger_name, "location": self._location(self.ledger_name),
            "records": len(records), "digest": digest(records), "logs": self.store.log_versions()}}
        if self.copy is not None:
            state["repository"] = {"connection": self.copy_name, "location": self._location(self.copy_name),
                                   "records": len(records)}
        return state

    def remember(self, records: list[MigrationFile]) -> str | None:
        """Write the marker (``records``: what the ledger holds now); a failure
        is only a note, since the stores are written."""
        try:
            self.marker.save(self.state(records))
        except OSError as exc:
            return f"could not update {self.marker.path}: {exc.strerror or exc}"
        return None

    def _location(self, name: str | None) -> str:
        """Where a store is: its path, or its URI or URL (which holds no password)."""
        return self.connections.config(name).location if name else ""

    def _remembered(self, role: str, name: str | None) -> dict[str, Any] | None:
        """What the marker says the store held, if it speaks of this store."""
        before = self.marker.load().get(role)
        if not name or not isinstance(before, dict) or not before.get("records"):
            return None
        if before.get("connection") != name or before.get("location") != self._location(name):
            return None  # another store: nothing to compare with
        return before

    def damage(self) -> list[str]:
        """What is wrong with stores that held records after the last run that changed them."""
        problems = []
        before = self._remembered("ledger", self.ledger_name)
        if before is not None:
            problems += self._ledger_damage(before)
        before = self._remembered("repository", self.copy_name)
        if before is not None:
            problems += self._copy_damage(before)
        return problems

    def _ledger_damage(self, before: dict[str, Any]) -> list[str]:
        try:
            return self._ledger_losses(before)
        except StorageError as exc:
            if not_damage(exc):
                raise
            return [f"{self.describe(self.ledger_name)} cannot be read ({exc.cause}): restore it from a backup"]

    def _ledger_losses(self, before: dict[str, Any]) -> list[str]:
        where, held = self.describe(self.ledger_name), before["records"]
        if self.copy_name:
            recover = ("restore it from a backup, or rebuild its current records from the repository "
                       "with `velkor-migrate repair --from-repository`; `velkor-migrate repair` accepts it as it reads now")
        else:
            recover = "restore it from a backup; `velkor-migrate repair` accepts it as it reads now"
        if not self.connections.holds_data(self.ledger_name):
            return [f"{where} is missing or empty, but it held {held} applied migrations after the last run: {recover}"]
        logs, logs_before = self.store.log_versions(), before.get("logs") or {}
        for table, version in sorted(logs_before.items()):
            now = logs.get(table)
            if now is None:
                return [f"{where}: the log of its table {table} is gone: {recover}"]
            if now < version:
                return [f"{where}: the log of its table {table} ends at version {now}, but version {version} "
                        f"was written: {recover}"]
        if written_since(logs, logs_before):
            return []  # by a run cut short before it noted so, or by another host
        records = self.records()
        expected = self._expected()
        if logs_before:
            if digest(records) not in (before.get("digest"), expected.get("digest")):
                return [f"{where}: its newest log entries are damaged (its records no longer match what the "
                        f"last run wrote, though no run wrote since): {recover}"]
        elif not records and expected.get("records") != 0:
            return [f"{where} holds no record, but it held {held} after the last run: {recover}"]
        return []

    def _expected(self) -> dict[str, Any]:
        """What the stores were to hold after a commit that may have been cut short."""
        expected = self.marker.load().get("expected")
        return expected if isinstance(expected, dict) else {}

    def _copy_damage(self, before: dict[str, Any]) -> list[str]:
        where, held = self.describe(self.copy_name), before["records"]  # type: ignore[arg-type]
        recover = "run `velkor-migrate repair` to rebuild its rows from the ledger, or restore it from a backup"
        if not self.connections.holds_data(self.copy_name):  # type: ignore[arg-type]
            return [f"{where} is missing, but it held {held} rows after the last run: {recover}"]
        try:
            rows = self.copy.query(address=MIGRATION, conditions=CURRENT)  # type: ignore[union-attr]
        except StorageError as exc:
            if not_damage(exc):
                raise
            return [f"{where} cannot be read ({exc.cause}): {recover}"]
        if not rows and self._expected().get("records") != 0 and not self._ledger_is_empty():
            # (emptied by a commit cut short, or by another host's rollback of everything: no damage)
            return [f"{where} holds no row, but it held {held} after the last run: {recover}"]
        return []

    def _ledger_is_empty(self) -> bool:
        """No row and no record agree: everything was rolled back, maybe on another host."""
        try:
            return not self.records()
        except StorageError:
            return False


def not_damage(exc: StorageError) -> bool:
    """A full disk, or a store that cannot be reached (a server that is down): no damage of the store."""
    return exc.cause == NO_SPACE or getattr(exc, "unavailable", False)


def written_since(logs: dict[str, int], before: dict[str, int]) -> bool:
    """Whether a table's log went on since the marker's versions: another run committed."""
    return bool(before) and any(version > before.get(table, -1) for table, version in logs.items())


def record_of(row: dict[str, Any]) -> MigrationFile:
    """The record of a stored row, as far as withdrawing it needs."""
    return MigrationFile(number=row["number"], path=Path(row["migration_name"]), type=ModuleTypes(row["module_type"]),
                         module=row["module_name"], applied_at=row["applied_at"], stored_address=row_address(row))
