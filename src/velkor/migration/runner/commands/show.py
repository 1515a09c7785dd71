"""``show CLASS [--diff]``: the generated source of a class as its latest
batch compiles it, applied or pending; ``--diff``, the source as the applied
migrations compile it against the source the pending ones will compile, as a
unified diff. ``--format json``: the class, its source, its state (and the
diff) as one document."""
from __future__ import annotations

import difflib
from typing import Any

from velkor.migration.runner.classes.class_view import ClassView, class_view
from velkor.migration.runner.commands import json_documents as documents
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project

_STYLES = (("+++", "bold"), ("---", "bold"), ("@@", "cyan"), ("+", "green"), ("-", "red"))


def diff_lines(view: ClassView, class_name: str) -> tuple[str | None, list[str]]:
    """A unified diff of the applied source against the pending one; or, when there
    is none, a sentence that says why."""
    last = view.last_batch_of(class_name)
    if view.is_applied(last):
        return f"{class_name}: no pending migration compiles it again; its applied source is current.", []
    pending = view.graph.batches[last].source
    applied_index = view.last_applied_batch_of(class_name)
    if applied_index is None:  # a new class: every line is added
        before, old_name = "", "/dev/null"
    else:
        _, before = view.source_text(class_name, applied_index)
        old_name = f"{class_name} (applied: {view.graph.batches[applied_index].source.label})"
    _, after = view.source_text(class_name, last)
    lines = list(difflib.unified_diff(before.splitlines(keepends=True), after.splitlines(keepends=True),
                                      old_name, f"{class_name} (pending: {pending.label})"))
    if not lines:
        return f"{class_name}: {pending.label} compiles it again to the same source.", []
    return None, [line.rstrip("\n") for line in lines]


def source_diff(view: ClassView, out: Output, class_name: str) -> int:
    sentence, lines = diff_lines(view, class_name)
    if sentence is not None:
        out.line(sentence)
    for text in lines:
        out.line(text, next((style for prefix, style in _STYLES if text.startswith(prefix)), None))
    return 0


def describe(view: ClassView, class_name: str) -> dict[str, Any]:
    """The class as its latest batch compiles it: where it is defined, its state, its source."""
    last = view.last_batch_of(class_name)
    definition, text = view.source_text(class_name, last)
    batch = view.graph.batches[last]
    again = batch.source if definition.source is not batch.source else None
    return {"class": class_name, "migration": definition.source.label,
            "schema_type": definition.registration()[2].value,
            "state": "applied" if view.is_applied(last) else "pending",
            "compiled_again_by": again.label if again else None, "source": text.rstrip("\n")}


def show(project: Project, out: Output, class_name: str, diff: bool = False, fmt: str = "text",
         at: str | None = None) -> int:
    view = class_view(project, at=at)
    if fmt == "json":
        body = {"project": str(project.root), **describe(view, class_name), "diff": None}
        if diff:
            body["diff"] = "\n".join(diff_lines(view, class_name)[1])
        return documents.emit(out, "show", body)
    if diff:
        return source_diff(view, out, class_name)
    found = describe(view, class_name)
    state = ("as applied" + (f" at {at}" if at else "")) if found["state"] == "applied" else found["state"]
    if found["compiled_again_by"]:
        state += f", compiled again by {found['compiled_again_by']}, which changes a class it references"
    out.line(f"# {class_name}, as {found['migration']} defines it (schema type {found['schema_type']}); {state}",
             "dim")
    out.line(found["source"])
    return 0
