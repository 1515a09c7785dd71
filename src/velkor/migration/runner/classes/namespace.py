"""What the generated module of a compile sees: the class foundry seeds its
namespace with a copy of the whole registry, and pydantic reads through that
namespace for every class it makes and rebuilds. With thousands of classes
compiled before, each compile would cost in proportion to all of them.

A group of classes without custom code names other classes only where its
schemas say so (base classes and property types; pydantic takes what a base
class's fields accept from the base class itself): while it compiles, the
registry holds just those classes and the group's own names. The foundry
renders and resolves every name the group uses as it would beside the whole
registry. Custom code may name any class at run time: a group with custom
code sees the whole registry.
"""
from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager

from velkor.migration.class_foundry import DefaultMigrationSchemas

from velkor.migration.runner.classes.reference_graph import Definition
from velkor.migration.runner.source.validation import class_references


@contextmanager
def needed_only(registry: DefaultMigrationSchemas, group: list[Definition]) -> Iterator[None]:
    """While the block runs (a compile of ``group``), the registry holds only what the group
    names; then every class it held again, with those the compile added or replaced."""
    if has_custom_code(group):
        yield
        return
    everything = registry._classes
    names = {definition.name for definition in group}  # (a group that compiles twice sees its own classes)
    names.update(name for definition in group for name, _ in class_references(definition.schema))
    registry._classes = {name: everything[name] for name in names if name in everything}
    try:
        yield
    finally:
        compiled, registry._classes = registry._classes, everything
        everything.update(compiled)


def has_custom_code(group: list[Definition]) -> bool:
    """Whether a class of the group brings code of its own (which may name any class, at any time)."""
    return any((definition.schema.custom_code or "").strip() for definition in group)
