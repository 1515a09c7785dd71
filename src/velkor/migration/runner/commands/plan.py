"""``plan`` and ``apply --dry-run``: what the pending migrations will do, in
the order ``apply`` runs them: the classes each adds or changes, each changed
class's fields against the definition before (the applied one, or a pending
one before it), and the classes compiled again because they reference it.
The pending classes are compiled as ``apply`` would compile them, in a
registry of their own; nothing is recorded and no lock is taken."""
from __future__ import annotations

from velkor.migration.runner import executor
from velkor.migration.runner.classes.class_plan import RETIRED, MigrationPlan, migration_plans
from velkor.migration.runner.classes.class_view import ClassView, class_view
from velkor.migration.runner.commands import json_documents as documents
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.text import plural


def compile_pending(project: Project, view: ClassView, plans: list[MigrationPlan]) -> MigrationError | None:
    """Compile the pending migrations' batches as apply does, in a registry of their own; the failure."""
    registry, batches = executor.compile_batches(project, view.done, view.pending)
    for item in plans:
        batch = batches.get(item.source.key)
        try:
            if batch is not None:
                project.compiler.compile_batch(registry, batch)
        except MigrationError as exc:
            item.compiles = False
            return exc
        item.compiles = True
    return None


def _field_style(line: str) -> str:
    if "(breaking:" in line:
        return "red"
    return {"+": "green", "-": "red"}.get(line[:1], "yellow")


def _write(out: Output, plans: list[MigrationPlan]) -> None:
    out.line(f"Plan: {plural(len(plans), 'pending migration')}, in the order apply runs them; "
             "nothing is recorded.")
    for item in plans:
        out.line()
        out.line(item.source.label, "bold")
        if not item.classes and not item.retired:
            out.line("  (no classes)")
        for change in item.classes:
            out.line(f"  {change.heading()}" + ("" if change.fields or change.class_changes
                                               else ": no change of its fields"))
            for line in [c.describe_breaking() for c in change.class_changes + change.fields]:
                out.line(f"    {out.paint(line, _field_style(line))}")
            if change.compiled_again:
                out.line(f"    compiled again, as they reference it: {', '.join(change.compiled_again)}")
        for name in item.retired:
            out.line(f"  retires {name}  " + out.paint(f"(breaking: {RETIRED})", "red"))


def plan(project: Project, out: Output, to: str | None = None, out_of_order: bool = False,
         accept_changed: list[str] = (), fmt: str = "text") -> int:
    target, accepted = executor.resolve(project, to, accept_changed)
    damage = project.recorder.damage()
    if damage:
        raise MigrationError("damaged store: apply would change nothing: " + "\n".join(damage))
    records = project.recorder.records()
    run = executor.run_plan(project, records, target, accepted, out_of_order)
    pending, accepting = run.pending, run.accepting
    if not pending:
        if fmt == "json":
            return documents.emit(out, "plan", {"project": str(project.root), "migrations": [], "compiles": True,
                                                "stops_at": None, "accepts_changed": accepting})
        out.line(run.nothing_to_apply())
        return 0
    view = class_view(project, pending, records)
    plans = migration_plans(view)
    failure = compile_pending(project, view, plans)
    stops_at = next((item.source.label for item in plans if item.compiles is False), None)
    error = None
    if failure is not None:
        compiled = sum(1 for item in plans if item.compiles)
        error = (f"{failure}\napply would stop at {stops_at}, having applied {compiled} of "
                 f"{plural(len(plans), 'migration')}.")
    if fmt == "json":
        body = {"project": str(project.root), "migrations": [item.as_json() for item in plans],
                "compiles": failure is None, "stops_at": stops_at, "accepts_changed": accepting}
        return documents.emit(out, "plan", body, error=error, exit_status=1 if error else 0)
    _write(out, plans)
    out.line()
    if accepting:
        out.line(f"apply records the changed {'file' if len(accepting) == 1 else 'files'} of "
                 f"{', '.join(accepting)} as applied.")
    if error:
        raise MigrationError(error)
    count = "It compiles" if len(plans) == 1 else f"All {len(plans)} compile"
    out.line(f"{count}; run apply to apply {'it' if len(plans) == 1 else 'them'}.", "bold")
    return 0
