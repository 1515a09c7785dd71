"""``history``: every recorded version of the applied migrations, from the lakehouse."""
from __future__ import annotations

from velkor.migration.runner.commands import json_documents as documents
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.record.history import lakehouse_history
from velkor.migration.runner.text import plural, when


def history(project: Project, out: Output, fmt: str = "text", at: str | None = None) -> int:
    lakehouse, entries = lakehouse_history(project.config)
    if at is not None:  # the versions written up to then
        until = project.recorder.as_of(at).when.timestamp()
        entries = [entry for entry in entries if entry.written_at <= until]
    if fmt == "json":
        return documents.emit(out, "history", {"project": str(project.root), **documents.history(lakehouse, entries)})
    rows = []
    for entry in entries:
        name = entry.migration or f"object {entry.object_id}"
        event = ("deleted", "yellow") if entry.deleted else ("saved", "green")
        rows.append([when(entry.written_at), event, name, entry.module or "?", entry.transaction or "?"])
    out.line(f"History of the applied migrations in the lakehouse {lakehouse!r}: "
             f"{plural(len(rows), 'version')}, oldest first.")
    if rows:
        out.table(["when", "event", "migration", "module", "transaction"], rows)
    return 0
