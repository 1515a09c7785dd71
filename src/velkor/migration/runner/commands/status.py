"""``status``: the migrations, applied and pending."""
from __future__ import annotations

from velkor.migration.runner.commands import json_documents as documents
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.state import migration_states, record_report
from velkor.migration.runner.text import plural, when


def status(project: Project, out: Output, fmt: str = "text", at: str | None = None) -> int:
    if project.configuration.chosen_by or project.configuration.overridden_by:  # the project's velkor.toml goes unsaid
        out.note(f"configuration: {project.configuration.describe()}")
    head = {"project": str(project.root), **({"at": at} if at else {}),
            "configuration": project.configuration.document()}
    report = record_report(project, at)
    if report.damage:
        message = "damaged store: " + "\n".join(report.damage)
        if fmt == "json":
            return documents.emit(out, "status", {**head, "record": documents.record(report)},
                                  error=message, exit_status=1)
        raise MigrationError(message)
    states = migration_states(project, report)
    duplicates = "\n".join(report.duplicates) or None  # listed all the same; then status fails
    if fmt == "json":
        return documents.emit(out, "status", {**head, **documents.status(states, report)},
                              error=duplicates, exit_status=1 if duplicates else 0)
    if at:
        out.line(f"As recorded at {at}:")
    rows = []
    for item in states:
        if item.source is None:  # recorded, but the file is gone
            state = (f"{when(item.applied_at)} (file missing)", "red")
        elif item.applied_at is None:
            state = ("pending (out of order)", "red") if item.applied_after else ("pending", "yellow")
        elif item.changed:
            state = (f"{when(item.applied_at)} (changed since applied)", "red")
        else:
            state = (when(item.applied_at), "green")
        rows.append([str(item.number), item.name, item.module, state])
    pending = sum(1 for item in states if item.state == "pending")
    summary = (f"{plural(len(project.sources), 'migration')}: {len(project.sources) - pending} applied, "
               f"{pending} pending")
    if report.missing:
        summary += f"; {len(report.missing)} recorded as applied without a file"
    if report.changed:
        summary += f"; {len(report.changed)} changed since applied"
    out.line(summary + ".")
    if rows:
        out.table(["#", "migration", "module", "applied at"], rows, right=frozenset({0}))
    if report.differences:
        out.note(f"The repository {report.differences.describe(done=False)}; the next apply, rollback or repair "
                 "brings it in line.")
    if duplicates:
        raise MigrationError(duplicates)
    return 0
