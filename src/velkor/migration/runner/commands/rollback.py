"""``rollback``: withdraw the latest applied migrations: ``--steps N`` of them,
or every one applied after ``--to MIGRATION`` (``--to zero``: all);
``--dry-run`` says which, recording nothing and taking no lock."""
from __future__ import annotations

from velkor.migration.data_classes import MigrationFile

from velkor.migration.runner import executor, rollbacks
from velkor.migration.runner.commands import json_documents as documents
from velkor.migration.runner.commands.common import CollectedEvents, PrintedEvents, locked, remember, withdrawal_line
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.key import MigrationKey, label_of
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.text import plural


def rollback(project: Project, out: Output, steps: int | None = None, wait: float = 30.0, to: str | None = None,
             dry_run: bool = False, fmt: str = "text", force: bool = False) -> int:
    if steps is not None and steps < 1:
        raise MigrationError(f"--steps must be 1 or more, got {steps}")
    if steps is not None and to is not None:
        raise MigrationError("give --steps or --to, not both")
    if dry_run:
        return _dry_run(project, out, steps, to, fmt, force)
    json_mode = fmt == "json"
    events = CollectedEvents(out) if json_mode else PrintedEvents(out)
    with locked(project, "rollback", wait, out):
        records = executor.prepare(project, events)
        count = rollbacks.rollback_steps(project, records, steps, to)
        if not count:
            remember(project, out)
            return _nothing(project, out, records, fmt)
        plan = rollbacks.rollback_plan(project, records, count, force)
        if not json_mode:
            recorded = rollbacks.rollback(project, plan, events)
            out.line(f"Rolled back {plural(len(plan.victims), 'migration')}; {len(recorded or ())} applied.",
                     "bold")
            return 0
        try:
            rollbacks.rollback(project, plan, events)
        except MigrationError as exc:
            now = project.recorder.recorded_keys()
            withdrawn = [r for r in plan.victims if now is not None and MigrationKey.of_record(r) not in now]
            kept = [r for r in records if r not in withdrawn]
            return documents.emit(out, "rollback", _body(project, withdrawn, kept, False),
                                  error=str(exc), exit_status=exc.exit_code)
        return documents.emit(out, "rollback", _body(project, plan.victims, plan.kept, False))


def _dry_run(project: Project, out: Output, steps: int | None, to: str | None, fmt: str, force: bool) -> int:
    """What the rollback would withdraw, read without the lock; nothing is written."""
    damage = project.recorder.damage()
    if damage:
        raise MigrationError("damaged store: rollback would change nothing: " + "\n".join(damage))
    records = project.recorder.records()
    count = rollbacks.rollback_steps(project, records, steps, to)
    if not count:
        return _nothing(project, out, records, fmt, dry_run=True)
    plan = rollbacks.rollback_plan(project, records, count, force)
    if fmt == "json":
        return documents.emit(out, "rollback", _body(project, plan.victims, plan.kept, True))
    out.line(f"Would roll back {plural(len(plan.victims), 'migration')} (dry run: nothing is recorded):")
    width = max(len(label_of(r)) for r in plan.victims)
    for record in plan.victims:
        out.line(withdrawal_line(out, record, width))
    out.line(f"{len(plan.kept)} would stay applied.", "bold")
    return 0


def _nothing(project: Project, out: Output, records: list[MigrationFile], fmt: str, dry_run: bool = False) -> int:
    if fmt == "json":
        return documents.emit(out, "rollback", _body(project, [], records, dry_run))
    if records:
        out.line(f"Nothing to roll back: {label_of(records[-1])} is the latest applied migration.")
    else:
        out.line("Nothing to roll back: no migration is applied.")
    return 0


def _body(project: Project, withdrawn: list[MigrationFile], kept: list[MigrationFile], dry_run: bool) -> dict:
    return {"project": str(project.root), "dry_run": dry_run,
            "withdrawn": [documents.recorded(r, project.source_of(r)) for r in withdrawn],
            "applied": [label_of(r) for r in kept]}
