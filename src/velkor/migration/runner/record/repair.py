"""Making the stores agree when a run cannot: the repository's rows rebuilt
from the ledger (an unreadable repository file moved aside first), or the
ledger's current records rebuilt from the repository's rows."""
from __future__ import annotations

from pathlib import Path

from velkor_data.engines.base import StorageError

from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.record.failures import not_damage
from velkor.migration.runner.record.ledger import Ledger
from velkor.migration.runner.record.repository_copy import reconcile
from velkor.migration.runner.record.tables import current, put_version, record_of, row_address, row_version


def repair(ledger: Ledger, from_copy: bool) -> list[str]:
    """Make the stores agree; what was done, a line each."""
    if from_copy:
        return _restore_from_copy(ledger)
    done = []
    copy_rows = []
    if ledger.copy_name is not None:
        aside = _set_aside_unreadable_copy(ledger)
        if aside is not None:
            done.append(f"Moved the unreadable repository aside, to {aside}.")
        copy_rows = current(ledger.copy)  # type: ignore[arg-type]
    try:
        records = ledger.records()
    except StorageError as unreadable:
        if not_damage(unreadable) or ledger.copy_name is None:
            raise
        raise MigrationError(
            f"{ledger.describe(ledger.ledger_name)} cannot be read ({unreadable.cause}): rebuild its current "
            "records from the repository with `velkor-migrate repair --from-repository` (the unreadable "
            "lakehouse is moved aside, not deleted), or restore it from a backup") from None
    if copy_rows and not records:
        raise MigrationError(
            f"{ledger.describe(ledger.ledger_name)} holds no record, but the repository holds {len(copy_rows)}: "
            "restore the lakehouse from a backup, or rebuild its current records from the repository with "
            "`velkor-migrate repair --from-repository`")
    differences = reconcile(ledger, remove_unknown=True)
    if differences:
        done.append(f"Brought the repository in line with the ledger: {differences.describe(done=True)}.")
    return done


def _set_aside_unreadable_copy(ledger: Ledger) -> Path | None:
    try:
        current(ledger.copy)  # type: ignore[arg-type]
    except StorageError as unreadable:
        if not_damage(unreadable) or not ledger.connections.holds_data(ledger.copy_name):  # type: ignore[arg-type]
            raise
        try:
            return ledger.connections.set_aside(ledger.copy_name)  # type: ignore[arg-type]
        except StorageError as refused:  # a server's database stays where it is: say why it cannot be read
            raise StorageError(f"{unreadable}; {refused.cause}", unreadable.cause) from None
    return None


def _restore_from_copy(ledger: Ledger) -> list[str]:
    if ledger.copy_name is None:
        raise MigrationError("repair --from-repository needs a repository beside the lakehouse "
                             "(resources_config.repository.default and resources_config.lakehouse)")
    copy_rows = current(ledger.copy)  # type: ignore[arg-type]
    if not copy_rows:
        raise MigrationError(f"{ledger.describe(ledger.copy_name)} holds no row: "
                             "there is nothing to rebuild the ledger from")
    done = []
    try:
        ledger_rows = current(ledger.store)
    except StorageError as unreadable:  # its log is damaged: the records are rebuilt in a new one
        if not_damage(unreadable):
            raise
        try:
            aside = ledger.connections.set_aside(ledger.ledger_name)
        except StorageError as refused:
            raise StorageError(f"{unreadable}; {refused.cause}", unreadable.cause) from None
        done.append(f"Moved the unreadable ledger aside, to {aside}.")
        ledger_rows = []
    in_ledger = {row_version(row) for row in ledger_rows}
    in_copy = {row_version(row) for row in copy_rows}
    restored = [row for row in copy_rows if row_version(row) not in in_ledger]
    withdrawn = [row for row in ledger_rows if row_version(row) not in in_copy]
    with ledger.transaction() as transaction:
        ledger.untracked()
        for row in restored:
            put_version(ledger.store, row_address(row), {k: v for k, v in row.items() if k != "_metadata"},
                        {**row["_metadata"], "next_version": None})
        for row in withdrawn:
            ledger.withdraw(record_of(row))
        ledger.commit(transaction, [record_of(row) for row in copy_rows])
    done.append(f"Rebuilt the ledger's current records from the repository: restored {len(restored)}, "
                f"withdrew {len(withdrawn)}.")
    if restored:
        done.append("The checksums of the restored migrations are recorded again at the next apply.")
    return done
