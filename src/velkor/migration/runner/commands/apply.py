"""``apply``: compile and record the pending migrations, in order."""
from __future__ import annotations

from velkor.migration.runner import executor
from velkor.migration.runner.commands.common import PrintedEvents, locked, note_accepted
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.text import plural


def apply(project: Project, out: Output, to: str | None = None, wait: float = 30.0,
          out_of_order: bool = False, accept_changed: list[str] = (), allow_breaking: bool = False) -> int:
    target, accepted = executor.resolve(project, to, accept_changed)
    events = PrintedEvents(out)
    with locked(project, "apply", wait, out):
        records = executor.prepare(project, events)
        plan = executor.run_plan(project, records, target, accepted, out_of_order)
        elsewhere = executor.note_elsewhere(project, records, events)
        if not plan.pending:
            if plan.checksum_updates:
                executor.record_checksums(project, plan)
                note_accepted(plan, plan.checksum_updates, out)
            out.line(plan.nothing_to_apply(elsewhere))
            note = project.recorder.remember()
            if note:
                out.note(note)
            return 0
        compiled = executor.apply(project, plan, events, allow_breaking)
        note_accepted(plan, plan.checksum_updates, out)
        still = len(project.pending(records)) - compiled
        out.line(f"Applied {plural(compiled, 'migration')}; {still} pending.", "bold")
    return 0
