"""``show CLASS [--diff]``: the generated source of a class as its latest
batch compiles it, applied or pending; ``--diff``, the source as the applied
migrations compile it against the source the pending ones will compile, as a
unified diff."""
from __future__ import annotations

import difflib

from velkor.migration.runner.classes.class_view import ClassView, class_view
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project

_STYLES = (("+++", "bold"), ("---", "bold"), ("@@", "cyan"), ("+", "green"), ("-", "red"))


def source_diff(view: ClassView, out: Output, class_name: str) -> int:
    last = view.last_batch_of(class_name)
    if view.is_applied(last):
        out.line(f"{class_name}: no pending migration compiles it again; its applied source is current.")
        return 0
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
        out.line(f"{class_name}: {pending.label} compiles it again to the same source.")
        return 0
    for line in lines:
        text = line.rstrip("\n")
        out.line(text, next((style for prefix, style in _STYLES if text.startswith(prefix)), None))
    return 0


def show(project: Project, out: Output, class_name: str, diff: bool = False, at: str | None = None) -> int:
    view = class_view(project, at=at)
    if diff:
        return source_diff(view, out, class_name)
    last = view.last_batch_of(class_name)
    definition, text = view.source_text(class_name, last)
    batch = view.graph.batches[last]
    state = ("as applied" + (f" at {at}" if at else "")) if view.is_applied(last) else "pending"
    if definition.source is not batch.source:
        state += f", compiled again by {batch.source.label}, which changes a class it references"
    out.line(f"# {class_name}, as {definition.source.label} defines it "
             f"(schema type {definition.registration()[2].value}); {state}", "dim")
    out.line(text.rstrip("\n"))
    return 0
