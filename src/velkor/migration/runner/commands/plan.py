"""``plan`` and ``apply --dry-run``: what the pending migrations will do, in
the order ``apply`` runs them: the classes each adds or changes, each changed
class's fields against the definition before (the applied one, or a pending
one before it), and the classes compiled again because they reference it.
The pending classes are compiled as ``apply`` would compile them, in a
registry of their own; nothing is recorded and no lock is taken."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from velkor_models.schemas.data_models.schema import ObjectSchema

from velkor.migration.runner import executor
from velkor.migration.runner.classes.class_view import ClassView, class_view
from velkor.migration.runner.classes.field_changes import ClassChange, FieldChange, base_of, class_changes, field_changes
from velkor.migration.runner.classes.reference_graph import Definition
from velkor.migration.runner.commands import json_documents as documents
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor.migration.runner.source.document import MigrationSource
from velkor.migration.runner.text import plural


@dataclass
class ClassPlan:
    """A class that a pending migration adds or changes."""

    definition: Definition
    previous: Definition | None  # the definition it replaces; None for a new class
    previous_applied: bool
    fields: list[FieldChange]
    class_changes: list[ClassChange]
    compiled_again: list[str]  # the classes compiled again because they reference it

    @property
    def name(self) -> str:
        return self.definition.name

    def heading(self) -> str:
        schema = self.definition.schema
        if self.previous is None:
            kind = "a type, " if schema.meta_class.value == "type" else ""
            return f"adds {self.name} ({kind}derives from {base_of(schema)})"
        state = "applied" if self.previous_applied else "pending"
        return f"changes {self.name}, last defined by {self.previous.source.label} ({state})"

    def as_json(self) -> dict[str, Any]:
        schema = self.definition.schema
        return {
            "class": self.name, "change": "changed" if self.previous else "added",
            "schema_type": self.definition.registration()[2].value, "kind": schema.meta_class.value,
            "base": base_of(schema),
            "previous": {"migration": self.previous.source.label, "applied": self.previous_applied}
            if self.previous else None,
            "fields": [change.as_json() for change in self.fields],
            "class_changes": [change.as_json() for change in self.class_changes],
            "compiled_again": list(self.compiled_again),
        }


@dataclass
class MigrationPlan:
    source: MigrationSource
    classes: list[ClassPlan] = field(default_factory=list)
    compiled_again: list[str] = field(default_factory=list)
    compiles: bool | None = None  # None: not tried, since one before it does not compile

    def as_json(self) -> dict[str, Any]:
        return {**documents.migration(self.source), "description": self.source.document.description,
                "classes": [c.as_json() for c in self.classes], "compiled_again": list(self.compiled_again),
                "compiles": self.compiles}


def migration_plans(view: ClassView) -> list[MigrationPlan]:
    """What each pending migration adds and changes, in order."""
    plans = {index: MigrationPlan(batch.source, compiled_again=[d.name for d in batch.followers])
             for index, batch in enumerate(view.graph.batches) if not view.is_applied(index)}
    for index, definition, previous in view.changes():
        if view.is_applied(index):
            continue
        before = previous.schema if previous is not None else ObjectSchema(properties={})
        plans[index].classes.append(ClassPlan(
            definition, previous, previous is not None and view.is_applied(view.graph.sources.index(previous.source)),
            field_changes(before, definition.schema),
            class_changes(before, definition.schema) if previous is not None else [],
            view.graph.batches[index].followers_of.get(definition.name, [])))
    return list(plans.values())


def compile_pending(project: Project, view: ClassView, plans: list[MigrationPlan]) -> MigrationError | None:
    """Compile the pending migrations' batches as apply does, in a registry of their own; the failure."""
    registry, batches = executor.compile_batches(project, view.done, view.pending)
    for item in plans:
        batch = batches.get(item.source.key)
        try:
            if batch is not None:
                project.compiler.compile(registry, item.source, batch.definitions)
        except MigrationError as exc:
            item.compiles = False
            return exc
        item.compiles = True
    return None


def _field_style(line: str) -> str:
    return {"+": "green", "-": "red"}.get(line[:1], "yellow")


def _write(out: Output, plans: list[MigrationPlan]) -> None:
    out.line(f"Plan: {plural(len(plans), 'pending migration')}, in the order apply runs them; "
             "nothing is recorded.")
    for item in plans:
        out.line()
        out.line(item.source.label, "bold")
        if not item.classes:
            out.line("  (no classes)")
        for change in item.classes:
            out.line(f"  {change.heading()}" + ("" if change.fields or change.class_changes
                                               else ": no change of its fields"))
            for line in [c.describe() for c in change.class_changes] + [c.describe() for c in change.fields]:
                out.line(f"    {out.paint(line, _field_style(line))}")
            if change.compiled_again:
                out.line(f"    compiled again, as they reference it: {', '.join(change.compiled_again)}")


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
