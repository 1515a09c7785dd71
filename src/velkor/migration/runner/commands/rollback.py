"""``rollback``: withdraw the latest applied migrations."""
from __future__ import annotations

from velkor.migration.runner import executor
from velkor.migration.runner.commands.common import PrintedEvents, locked
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.text import plural


def rollback(project: Project, out: Output, steps: int = 1, wait: float = 30.0, force: bool = False) -> int:
    if steps < 1:
        raise MigrationError(f"--steps must be 1 or more, got {steps}")
    events = PrintedEvents(out)
    with locked(project, "rollback", wait, out):
        records = executor.prepare(project, events)
        if not records:
            out.line("Nothing to roll back: no migration is applied.")
            note = project.recorder.remember()
            if note:
                out.note(note)
            return 0
        plan = executor.rollback_plan(project, records, steps, force)
        recorded = executor.rollback(project, plan, events)
        out.line(f"Rolled back {plural(len(plan.victims), 'migration')}; {len(recorded or ())} applied.", "bold")
    return 0
