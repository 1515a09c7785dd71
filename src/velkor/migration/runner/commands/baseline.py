"""``baseline MIGRATION``: adopt a project whose classes are in place already
(a database made before its migrations were recorded): record every migration
up to MIGRATION, in migration order, as applied, with their checksums, without
compiling them; ``apply`` then starts after it. Under the lock, in one
transaction; refused when any migration is applied."""
from __future__ import annotations

from velkor.migration.runner import baselines, executor
from velkor.migration.runner.commands import json_documents as documents
from velkor.migration.runner.commands.common import CollectedEvents, PrintedEvents, locked
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.text import plural


def baseline(project: Project, out: Output, migration: str, wait: float = 30.0, fmt: str = "text") -> int:
    json_mode = fmt == "json"
    events = CollectedEvents(out) if json_mode else PrintedEvents(out)
    with locked(project, "baseline", wait, out):
        records = executor.prepare(project, events)
        sources = baselines.baseline_sources(project, records, migration)
        failure: MigrationError | None = None
        try:
            baselines.baseline(project, sources, events)
        except MigrationError as exc:
            if not json_mode:
                raise
            failure = exc
        recorded = {s.key for s in sources}
        if failure is not None:
            recorded = project.recorder.recorded_keys() or set()
        pending = [s.label for s in project.sources if s.key not in recorded]
        if json_mode:
            body = {"project": str(project.root), "target": sources[-1].label,
                    "baselined": [documents.migration(s) for s in sources if s.key in recorded],
                    "pending": pending}
            return documents.emit(out, "baseline", body, error=str(failure) if failure else None,
                                  exit_status=failure.exit_code if failure else 0)
        out.line(f"Recorded {plural(len(sources), 'migration')} as applied, up to {sources[-1].label}; "
                 f"{len(pending)} pending: apply starts after it.", "bold")
    return 0

