"""``history``: every recorded version of the applied migrations, from the
lakehouse, with who wrote it, on which host and in how many seconds;
``--migration M``: only that migration's versions; ``--limit N``: the N newest."""
from __future__ import annotations

from velkor.migration.runner.commands import json_documents as documents
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.key import APP
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.record.history import HistoryEntry, lakehouse_history
from velkor.migration.runner.source.discovery import find
from velkor.migration.runner.source.document import REFERENCE
from velkor.migration.runner.text import plural, when

_STYLES = {"saved": "green", "baseline": "cyan", "deleted": "yellow"}



def history(project: Project, out: Output, fmt: str = "text", limit: int | None = None,
            migration: str | None = None, at: str | None = None) -> int:
    lakehouse, entries = lakehouse_history(project.config)
    if at is not None:  # the versions written up to then
        until = project.recorder.as_of(at).when.timestamp()
        entries = [entry for entry in entries if entry.written_at <= until]
    which = "the applied migrations"
    if migration is not None:
        which, entries = of_migration(project, entries, migration)
    total = len(entries)
    if limit is not None:
        entries = entries[-limit:]
    if fmt == "json":
        return documents.emit(out, "history", {"project": str(project.root), **documents.history(lakehouse, entries)})
    rows = []
    for entry in entries:
        run = entry.run
        rows.append([when(entry.written_at), (entry.event, _STYLES[entry.event]),
                     entry.migration or f"object {entry.object_id}", entry.module or "?", entry.transaction or "?",
                     (run and run.user) or "-", (run and run.host) or "-",
                     f"{run.seconds:.3f}" if run and run.seconds is not None else "-"])
    newest = f" (the newest of {total})" if len(entries) < total else ""
    out.line(f"History of {which} in the lakehouse {lakehouse!r}: "
             f"{plural(len(rows), 'version')}{newest}, oldest first.")
    if rows:
        out.table(["when", "event", "migration", "module", "transaction", "user", "host", "seconds"], rows,
                  right=frozenset({7}))
    return 0


def of_migration(project: Project, entries: list[HistoryEntry], reference: str) -> tuple[str, list[HistoryEntry]]:
    """The label and the versions of the migration that ``reference`` names: a file of the project, or
    one whose file is gone but whose versions the history holds."""
    try:
        key = find(project.sources, reference).key
        return key.label, [entry for entry in entries if entry.key == key]
    except MigrationError as not_a_file:
        match = REFERENCE.fullmatch(reference.strip())
        if not match:
            raise
        module, number, name = match.group(1) or APP, int(match.group(2)), match.group(3) or ""
        found = [entry for entry in entries if entry.module == module and (entry.data or {}).get("number") == number
                 and (entry.migration or "").endswith(name)]
        if not found:
            raise MigrationError(f"{not_a_file}, nor in its history") from None
        return found[0].label or reference, found
