"""``apply``: compile and record the pending migrations, in order."""
from __future__ import annotations

from velkor.migration.runner import executor
from velkor.migration.runner.commands import json_documents as documents
from velkor.migration.runner.commands.common import (
    CollectedEvents, PrintedEvents, locked, note_accepted, remember)
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.key import MigrationKey
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.source.document import MigrationSource
from velkor.migration.runner.text import plural


def apply(project: Project, out: Output, to: str | None = None, wait: float = 30.0,
          out_of_order: bool = False, accept_changed: list[str] = (), allow_breaking: bool = False,
          fmt: str = "text") -> int:
    target, accepted = executor.resolve(project, to, accept_changed)
    if fmt == "json":
        return _document(project, out, target, accepted, wait, out_of_order, allow_breaking)
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
            remember(project, out)
            return 0
        compiled = executor.apply(project, plan, events, allow_breaking)
        note_accepted(plan, plan.checksum_updates, out)
        still = len(project.pending(records)) - compiled
        out.line(f"Applied {plural(compiled, 'migration')}; {still} pending.", "bold")
    return 0


def _document(project: Project, out: Output, target: MigrationSource | None, accepted: set[MigrationKey], wait: float,
              out_of_order: bool, allow_breaking: bool) -> int:
    """The run as one JSON document: what it applied, what is pending after it, and where it stopped."""
    events = CollectedEvents(out)
    with locked(project, "apply", wait, out):
        records = executor.prepare(project, events)
        plan = executor.run_plan(project, records, target, accepted, out_of_order)
        failure: MigrationError | None = None
        try:
            if plan.pending:
                executor.apply(project, plan, events, allow_breaking)
            else:
                if plan.checksum_updates:
                    executor.record_checksums(project, plan)
                remember(project, out)
        except MigrationError as exc:
            failure = exc
        before = {MigrationKey.of_record(r) for r in records}
        recorded = before | {s.key for s, _ in events.compiled}
        if failure is not None:  # the ledger tells what is recorded (before the run, if it cannot be read)
            found = project.recorder.recorded_keys()
            recorded = found if found is not None else before
        stop = next((s for s in plan.pending if s.key not in recorded), None) if failure else None
        body = {"project": str(project.root),
                "applied": [documents.applied(source, batch) for source, batch in events.compiled
                            if source.key in recorded],
                "pending": [source.label for source in project.sources if source.key not in recorded],
                "stopped": stop is not None, "stopped_at": stop.label if stop else None,
                "accepted_changed": [s.label for s in plan.checksum_updates if s in plan.drift.changed]}
        if failure is None:
            return documents.emit(out, "apply", body)
        return documents.emit(out, "apply", body, error=str(failure), exit_status=failure.exit_code)
