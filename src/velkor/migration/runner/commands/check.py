"""``check``: every file validated and compiled in a throwaway registry, and the record checked."""
from __future__ import annotations

from velkor.migration.runner.classes.reference_graph import ClassGraph
from velkor.migration.runner.commands import json_documents as documents
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.state import record_report
from velkor.migration.runner.text import plural


def check(project: Project, out: Output, fmt: str = "text") -> int:
    registry = project.compiler.replay(ClassGraph.loaded(project.sources).plan())
    classes = len(registry._classes)
    report = record_report(project)
    problems = report.problems()
    if fmt == "json":
        body = {"project": str(project.root), "summary": {"migrations": len(project.sources), "classes": classes},
                "record": documents.record(report)}
        return documents.emit(out, "check", body, error="\n".join(problems) or None, exit_status=1 if problems else 0)
    if not problems:
        out.line(f"Checked {plural(len(project.sources), 'migration')}: "
                 f"all valid, {plural(classes, 'class', 'classes')} compile.", "green")
        return 0
    out.line(f"Checked {plural(len(project.sources), 'migration')}: the files are valid and "
             f"{plural(classes, 'class', 'classes')} compile, but the record of applied migrations "
             f"has {plural(len(problems), 'problem')}:")
    raise MigrationError("\n".join(problems))
