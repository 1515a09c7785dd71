"""Withdrawing applied migrations: what a rollback withdraws (``RollbackPlan``:
``--steps``, ``--to``, built once for the run and its ``--dry-run``), and doing it."""
from __future__ import annotations

import time
from dataclasses import dataclass

from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner.errors import Interrupted, MigrationError
from velkor.migration.runner.key import MigrationKey, label_of
from velkor.migration.runner.project import Project
from velkor.migration.runner.source.discovery import find
from velkor.migration.runner.source.loading import declared_dependencies
from velkor.migration.runner.text import plural, when
from velkor.migration.runner.executor import Events, _behind


@dataclass
class RollbackPlan:
    records: list[MigrationFile]  # applied, in the order they were applied
    victims: list[MigrationFile]  # withdrawn, latest first

    @property
    def leaving(self) -> set[MigrationKey]:
        return {MigrationKey.of_record(r) for r in self.victims}

    @property
    def kept(self) -> list[MigrationFile]:
        leaving = self.leaving
        return [r for r in self.records if MigrationKey.of_record(r) not in leaving]


ZERO = "zero"  # rollback --to zero: every applied migration (no migration reference is a word)


def rollback_steps(project: Project, records: list[MigrationFile], steps: int | None = None,
                   to: str | None = None) -> int:
    """How many of the latest applied migrations ``--steps`` (default 1) or ``--to``
    withdraws; an error when that is more than is applied, or when ``--to`` names a
    migration that is not applied."""
    labels = ", ".join(label_of(r) for r in records)
    if to is None:
        if steps is not None and steps > len(records):
            if not records:
                raise MigrationError(f"--steps {steps}, but no migration is applied")
            applied = plural(len(records), "migration is", "migrations are")
            raise MigrationError(f"--steps {steps}, but only {applied} applied: {labels} "
                                 "(withdraw them all with --to zero)")
        return min(1 if steps is None else steps, len(records))
    if to.strip().lower() == ZERO:
        return len(records)
    target = find(project.sources, to)
    keys = [MigrationKey.of_record(r) for r in records]
    if target.key not in keys:
        raise MigrationError(f"--to {to}: {target.label} is not applied, so the record cannot be rolled back to it "
                             f"(applied: {labels or 'none'})")
    return len(records) - 1 - keys.index(target.key)


def _by(project: Project, record: MigrationFile) -> str:
    who = project.recorder.recorded_by(MigrationKey.of_record(record))
    return f" by {who}" if who else ""


def rollback_plan(project: Project, records: list[MigrationFile], steps: int, force: bool = False) -> RollbackPlan:
    """The ``steps`` latest applied migrations; an error when an applied one that stays depends on one,
    or (unless ``force``) when one has no file in this folder: another run recorded it, from a newer deploy."""
    kept = records[:len(records) - steps]
    plan = RollbackPlan(records, records[len(kept):][::-1])
    unknown = [r for r in plan.victims if project.source_of(r) is None]
    if unknown and not force:
        named = "; ".join(f"{label_of(r)} (recorded {when(r.applied_at)}{_by(project, r)})" for r in unknown)
        raise MigrationError(f"cannot roll back what this folder has no file of: {named}: another run recorded "
                             f"{'it' if len(unknown) == 1 else 'them'}, from a newer deploy perhaps; roll back from a "
                             "folder that has the files, or give --force to withdraw them from here")
    leaving = plan.leaving
    blocked = []
    for record in kept:
        source = project.source_of(record)
        if source is None:
            continue  # a missing file cannot tell what it needs, nor can an unreadable one
        for reference in declared_dependencies(source):
            try:
                needed = find(project.sources, reference)
            except MigrationError:
                continue
            if needed.key in leaving:
                blocked.append(f"{source.label} depends on {needed.label}")
    if blocked:
        raise MigrationError("cannot roll back: " + "; ".join(blocked)
                             + " (roll back the dependent migrations first)")
    return plan


def rollback(project: Project, plan: RollbackPlan, events: Events) -> set[MigrationKey] | None:
    """Withdraw the plan's migrations in one transaction; what the ledger holds after."""
    recorder = project.recorder
    stored = recorder.checksums()
    events.withdrawing(plan.victims)
    try:
        with recorder.staged() as staging:
            for record in plan.victims:
                started, key = time.perf_counter(), MigrationKey.of_record(record)
                staging.withdraw(record, stored.get(key))
                staging.record_run(key, "withdrawn", time.perf_counter() - started)
                events.withdrawn(record)
            failure = staging.commit("recording the withdrawals", plan.kept)
    except KeyboardInterrupt:
        raise Interrupted(f"interrupted: {withdrawn_summary(plan.victims, recorder.recorded_keys())}") from None
    recorded = {MigrationKey.of_record(r) for r in plan.kept} if failure is None else recorder.recorded_keys()
    if failure is not None:
        summary = withdrawn_summary(plan.victims, recorded)
        raise MigrationError(f"{failure}\n{summary[:-1]}{_behind(failure)}.") from None
    note = recorder.remember(plan.kept)
    if note:
        events.note(note)
    return recorded


def withdrawn_summary(victims: list[MigrationFile], recorded: set | None) -> str:
    if recorded is None:
        return "the ledger could not be read back: `velkor-migrate status` tells what is recorded."
    still = [label_of(r) for r in victims if MigrationKey.of_record(r) in recorded]
    if not still:
        return f"Rolled back {plural(len(victims), 'migration')}."
    return (f"Rolled back {len(victims) - len(still)} of {len(victims)}; "
            f"{', '.join(still)} {'is' if len(still) == 1 else 'are'} still applied.")
