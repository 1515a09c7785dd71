"""What each pending migration does to the classes, in the order ``apply``
runs them: the classes it adds, changes, renames and retires, each changed
class's fields against the definition before (the applied one, or a pending
one before it), which changes break stored data or callers and why, and the
classes compiled again because they reference a changed one."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from velkor_models.schemas.data_models.schema import ObjectSchema

from velkor.migration.runner.classes.class_view import ClassView
from velkor.migration.runner.classes.field_changes import ClassChange, FieldChange, base_of, class_changes, field_changes
from velkor.migration.runner.classes.reference_graph import Definition
from velkor.migration.runner.source.document import MigrationSource

RENAMED = "callers and stored records use the old name"
RETIRED = "callers and stored records of the class lose it"


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
        if self.definition.renamed_from:
            return f"renames {self.definition.renamed_from} to {self.name}  (breaking: {RENAMED})"
        if self.previous is None:
            kind = "a type, " if schema.meta_class.value == "type" else ""
            return f"adds {self.name} ({kind}derives from {base_of(schema)})"
        state = "applied" if self.previous_applied else "pending"
        return f"changes {self.name}, last defined by {self.previous.source.label} ({state})"

    def as_json(self) -> dict[str, Any]:
        schema = self.definition.schema
        return {
            "class": self.name,
            "change": "renamed" if self.definition.renamed_from else "changed" if self.previous else "added",
            "renamed_from": self.definition.renamed_from,
            "schema_type": self.definition.registration()[2].value, "kind": schema.meta_class.value,
            "base": base_of(schema),
            "previous": {"migration": self.previous.source.label, "applied": self.previous_applied}
            if self.previous else None,
            "fields": [change.as_json() for change in self.fields],
            "class_changes": [change.as_json() for change in self.class_changes],
            "compiled_again": list(self.compiled_again),
        }


    def breaking(self) -> list[str]:
        """Each change of the class that breaks stored data or callers, with why."""
        found = [change.describe_breaking() for change in self.class_changes + self.fields if change.breaking]
        if self.definition.renamed_from:
            found.insert(0, f"renamed from {self.definition.renamed_from} ({RENAMED})")
        return found


@dataclass
class MigrationPlan:
    source: MigrationSource
    classes: list[ClassPlan] = field(default_factory=list)
    compiled_again: list[str] = field(default_factory=list)
    retired: list[str] = field(default_factory=list)  # not those renamed
    compiles: bool | None = None  # None: not tried, since one before it does not compile

    def as_json(self) -> dict[str, Any]:
        return {**self.source.summary(), "description": self.source.document.description,
                "classes": [c.as_json() for c in self.classes], "compiled_again": list(self.compiled_again),
                "retired": list(self.retired), "compiles": self.compiles}


def migration_plans(view: ClassView) -> list[MigrationPlan]:
    """What each pending migration adds and changes, in order."""
    plans = {index: MigrationPlan(batch.source, compiled_again=[d.name for d in batch.followers],
                                  retired=[name for name in batch.retired
                                           if name not in {d.renamed_from for d in batch.own}])
             for index, batch in enumerate(view.graph.batches) if not view.is_applied(index)}
    for index, definition, previous in view.changes():
        if view.is_applied(index):
            continue
        before = previous.schema if previous is not None else ObjectSchema(properties={})
        fields = field_changes(before, definition.schema)
        for change in fields:
            change.of_new_class = previous is None
        plans[index].classes.append(ClassPlan(
            definition, previous, previous is not None and view.is_applied_source(previous.source),
            fields, class_changes(before, definition.schema) if previous is not None else [],
            view.graph.batches[index].followers_of.get(definition.name, [])))
    return list(plans.values())


def breaking_changes(plans: list[MigrationPlan]) -> list[tuple[MigrationSource, str, list[str]]]:
    """(migration, class, what breaks) for each class a pending migration changes, renames or retires
    in a way that breaks stored data or callers."""
    found = []
    for item in plans:
        for change in item.classes:
            lines = change.breaking()
            if lines:
                found.append((item.source, change.definition.renamed_from or change.name, lines))
        found += [(item.source, name, [f"retired ({RETIRED})"]) for name in item.retired]
    return found
