"""Query conditions.

``Q(**lookups)``: each keyword joins a path of field names with ``__``; the last
part may be an operator: ``exact`` (the default) or ``isnull``. All lookups
must hold. ``Q(_metadata__is_deleted=False, _metadata__next_version__isnull=True)``
keeps the rows whose ``_metadata["is_deleted"]`` is false and whose
``_metadata["next_version"]`` is missing or None.
"""
from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

OPERATORS = ("exact", "isnull")


@dataclass(frozen=True)
class Lookup:
    path: tuple[str, ...]
    operator: str
    value: Any

    def resolve(self, row: Mapping[str, Any]) -> Any:
        """The value at the path; None when any step is missing."""
        current: Any = row
        for name in self.path:
            if not isinstance(current, Mapping):
                return None
            current = current.get(name)
        return current

    def matches(self, row: Mapping[str, Any]) -> bool:
        found = self.resolve(row)
        if self.operator == "isnull":
            return (found is None) == self.value
        if self.value is None:
            return found is None
        return found is not None and found == self.value


def _parse(keyword: str, value: Any) -> Lookup:
    parts = keyword.split("__")
    if any(part == "" for part in parts):
        raise ValueError(f"Q: malformed lookup {keyword!r}: field names are joined by '__' and may not be empty")
    operator = "exact"
    if len(parts) > 1 and parts[-1] in OPERATORS:
        operator = parts.pop()
    if operator == "isnull" and not isinstance(value, bool):
        raise ValueError(f"Q: lookup {keyword!r} expects True or False, got {value!r}")
    return Lookup(tuple(parts), operator, value)


class Q:
    def __init__(self, **lookups: Any) -> None:
        self.lookups: tuple[Lookup, ...] = tuple(_parse(k, v) for k, v in lookups.items())

    def matches(self, row: Mapping[str, Any]) -> bool:
        return all(lookup.matches(row) for lookup in self.lookups)

    def __repr__(self) -> str:
        items = ", ".join(
            "__".join(l.path + (() if l.operator == "exact" else (l.operator,))) + f"={l.value!r}"
            for l in self.lookups
        )
        return f"Q({items})"
