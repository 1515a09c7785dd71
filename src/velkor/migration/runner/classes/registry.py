"""A registry of a project's model classes."""
from __future__ import annotations

from typing import Any

from velkor.migration.class_foundry import DefaultMigrationSchemas

from velkor.migration.runner.errors import cut


class ProjectClasses(DefaultMigrationSchemas):
    """A registry of a project's classes; asked for a class it does not hold, it says which it holds."""

    def get_model(self, name: str) -> Any:
        if name not in self._classes:
            known = ", ".join(sorted(self._classes)) or "none"
            raise UnknownClass(f"no class {cut(repr(name))} (the classes: {known})")
        return super().get_model(name)


class UnknownClass(KeyError):
    """A class name that the registry does not hold; a ``KeyError`` with a readable message."""

    def __str__(self) -> str:
        return str(self.args[0])
