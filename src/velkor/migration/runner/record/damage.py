"""A store that was lost, emptied or cut back since the last run that
changed it, told from one that was never used: the marker says what each
store held then."""
from __future__ import annotations

from typing import Any

from velkor_data.engines.base import StorageError

from velkor.migration.runner.record.failures import not_damage
from velkor.migration.runner.record.ledger import Ledger
from velkor.migration.runner.record.marker import digest
from velkor.migration.runner.record.tables import current


def damage(ledger: Ledger) -> list[str]:
    """What is wrong with stores that held records after the last run that changed them."""
    problems = []
    before = ledger.marker.remembered(ledger, "ledger", ledger.ledger_name)
    if before is not None:
        problems += _ledger_damage(ledger, before)
    before = ledger.marker.remembered(ledger, "repository", ledger.copy_name)
    if before is not None:
        problems += _copy_damage(ledger, before)
    return problems


def _ledger_damage(ledger: Ledger, before: dict[str, Any]) -> list[str]:
    try:
        return _ledger_losses(ledger, before)
    except StorageError as exc:
        if not_damage(exc):
            raise
        recover = ("rebuild its current records from the repository with `velkor-migrate repair "
                   "--from-repository`, or restore it from a backup" if ledger.copy_name else "restore it from a backup")
        return [f"{ledger.describe(ledger.ledger_name)} cannot be read ({exc.cause}): {recover}"]


def _ledger_losses(ledger: Ledger, before: dict[str, Any]) -> list[str]:
    where, held = ledger.describe(ledger.ledger_name), before["records"]
    if ledger.copy_name:
        recover = ("restore it from a backup, or rebuild its current records from the repository "
                   "with `velkor-migrate repair --from-repository`; `velkor-migrate repair` accepts it as it reads now")
    else:
        recover = "restore it from a backup; `velkor-migrate repair` accepts it as it reads now"
    if not ledger.connections.holds_data(ledger.ledger_name):
        return [f"{where} is missing or empty, but it held {held} applied migrations after the last run: {recover}"]
    logs, logs_before = ledger.log_versions(), before.get("logs") or {}
    for table, version in sorted(logs_before.items()):
        now = logs.get(table)
        if now is None:
            return [f"{where}: the log of its table {table} is gone: {recover}"]
        if now < version:
            return [f"{where}: the log of its table {table} ends at version {now}, but version {version} "
                    f"was written: {recover}"]
    if written_since(logs, logs_before):
        return []  # by a run cut short before it noted so, or by another host
    records = ledger.records()
    if logs and ledger.read_versions != logs:
        return []  # another run committed while this one read
    expected = ledger.marker.expected()
    if logs_before:
        if digest(records) not in (before.get("digest"), expected.get("digest")):
            return [f"{where}: its newest log entries are damaged (its records no longer match what the "
                    f"last run wrote, though no run wrote since): {recover}"]
    elif not records and expected.get("records") != 0:
        return [f"{where} holds no record, but it held {held} after the last run: {recover}"]
    return []


def _copy_damage(ledger: Ledger, before: dict[str, Any]) -> list[str]:
    where, held = ledger.describe(ledger.copy_name), before["records"]  # type: ignore[arg-type]
    recover = "run `velkor-migrate repair` to rebuild its rows from the ledger, or restore it from a backup"
    if not ledger.connections.holds_data(ledger.copy_name):  # type: ignore[arg-type]
        return [f"{where} is missing, but it held {held} rows after the last run: {recover}"]
    if _agrees(ledger):
        return []  # as the snapshot of the last run found it
    try:
        rows = current(ledger.copy)  # type: ignore[arg-type]
    except StorageError as exc:
        if not_damage(exc):
            raise
        return [f"{where} cannot be read ({exc.cause}): {recover}"]
    if not rows and ledger.marker.expected().get("records") != 0 and not _ledger_is_empty(ledger):
        # (emptied by a commit cut short, or by another host's rollback of everything: no damage)
        return [f"{where} holds no row, but it held {held} after the last run: {recover}"]
    return []


def _agrees(ledger: Ledger) -> bool:
    try:
        return ledger.copy_agrees()
    except StorageError:
        return False


def _ledger_is_empty(ledger: Ledger) -> bool:
    """No row and no record agree: everything was rolled back, maybe on another host."""
    try:
        return not ledger.records()
    except StorageError:
        return False


def written_since(logs: dict[str, int], before: dict[str, int]) -> bool:
    """Whether a table's log went on since the marker's versions: another run committed."""
    return bool(before) and any(version > before.get(table, -1) for table, version in logs.items())
