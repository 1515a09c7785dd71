"""``repair``: make the stores agree, and accept them as they are."""
from __future__ import annotations

from velkor.migration.runner.commands.common import locked
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.text import plural


def repair(project: Project, out: Output, from_repository: bool = False, wait: float = 30.0) -> int:
    """Make the stores agree: the repository's rows from the ledger (or, with
    ``from_repository``, the ledger's current records from the repository),
    and accept them as they are now."""
    with locked(project, "repair", wait, out):
        recorder = project.recorder
        for line in recorder.repair(from_repository):
            out.note(line)
        note = recorder.remember()
        if note:
            out.note(note)
        records, rows = recorder.records(), recorder.copy_rows()
        found = "" if rows is None else (f" The ledger holds {plural(len(records), 'record')}, "
                                         f"the repository {plural(rows, 'row')}.")
        out.line(f"Repaired: the stores agree on {plural(len(records), 'applied migration')}.{found}", "bold")
    return 0
