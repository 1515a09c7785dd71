"""How one definition of a class differs from the one before: its fields
added, removed, retyped, with another default, now required or optional,
with other options; and the class itself derived from another base, turned
into a type or a class, or given other custom code."""
from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any

from velkor_models.enums import MetaClasses
from velkor_models.schemas.data_models.core import DictSchema, LegacyDictSchema, TypeData
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData
from velkor_models.schemas.enums import CoreTypes


def type_text(type_name: str, items: Any = None) -> str:
    """A type description in one short text: ``string``, ``OrderLine[]``, ``dict[string, integer[]]``."""
    if isinstance(items, TypeData):
        return f"{type_text(items.type, items.items)}[]"
    if isinstance(items, DictSchema):
        return f"dict[{type_text(items.key.type, items.key.items)}, {type_text(items.value.type, items.value.items)}]"
    if isinstance(items, LegacyDictSchema):
        return f"dict[{items.key_type}, {items.value_type}]"
    return type_name


def json_text(value: Any) -> str:
    """A value as the migration file writes it."""
    return json.dumps(value, ensure_ascii=False, sort_keys=True)


def base_of(schema: ObjectSchema) -> str:
    """The class a schema's class derives from: a generated class, or the framework's base."""
    if schema.type != CoreTypes.OBJECT.value:
        return schema.type
    return "TypeModel" if schema.meta_class == MetaClasses.TYPE else "Model"


@dataclass(frozen=True)
class FieldState:
    """One property of one definition, as far as a change of it matters."""

    type: str
    required: bool
    default: Any = None
    options: tuple | None = None

    @classmethod
    def of(cls, schema: ObjectSchema, name: str) -> FieldState:
        prop: PropertyData = (schema.properties or {})[name]
        options = tuple(option.value for option in prop.options) if prop.options else None
        return cls(type_text(prop.type, prop.items), name in schema.required, prop.default, options)

    def describe(self) -> str:
        text = self.type + (", required" if self.required else "")
        if self.default is not None:
            text += f", default {json_text(self.default)}"
        if self.options is not None:
            text += f", one of {json_text(list(self.options))}"
        return text

    def as_json(self) -> dict[str, Any]:
        return {"type": self.type, "required": self.required, "default": self.default,
                "options": list(self.options) if self.options is not None else None}


ASPECTS = ("type", "default", "required", "options")
WIDENING = {("integer", "number")}  # type changes every stored value survives


@dataclass
class FieldChange:
    name: str
    before: FieldState | None  # None: added
    after: FieldState | None   # None: removed
    aspects: list[str] = field(default_factory=list)  # what changed, of ASPECTS, for a field in both
    of_new_class: bool = False  # a field of a class that nothing stored yet: nothing to break

    @property
    def change(self) -> str:
        return "added" if self.before is None else "removed" if self.after is None else "changed"

    def describe(self) -> str:
        """One line: ``+ phone: string``, ``- birthday: date``, ``~ price: type number -> string; now required``."""
        if self.before is None:
            return f"+ {self.name}: {self.after.describe()}"  # type: ignore[union-attr]
        if self.after is None:
            return f"- {self.name}: {self.before.describe()}"
        parts = []
        for aspect in self.aspects:
            if aspect == "required":
                parts.append("now required" if self.after.required else "now optional")
                continue
            old, new = getattr(self.before, aspect), getattr(self.after, aspect)
            if aspect != "type":
                old, new = [json_text(list(v) if isinstance(v, tuple) else v) if v is not None else "none"
                            for v in (old, new)]
            parts.append(f"{aspect} {old} -> {new}")
        return f"~ {self.name}: {'; '.join(parts)}"

    @property
    def breaking(self) -> str | None:
        """Why the change breaks stored records or callers; None when it does not."""
        before, after = self.before, self.after
        if self.of_new_class:
            return None
        if before is None:
            required = after.required and after.default is None  # type: ignore[union-attr]
            return "a new required field without a default: stored records lack it" if required else None
        if after is None:
            return "a removed field: stored records and callers still have it"
        reasons = []
        if "type" in self.aspects and (before.type, after.type) not in WIDENING:
            if before.type[:1].isupper() and after.type[:1].isupper():
                reasons.append("a reference retargeted to another class")
            else:
                reasons.append("another type: stored values may not fit it")
        if "required" in self.aspects and after.required and after.default is None:
            reasons.append("now required without a default: stored records may lack it")
        if "options" in self.aspects and after.options is not None:
            dropped = [value for value in (before.options or ()) if value not in after.options]
            if before.options is None:
                reasons.append("values now limited to options: stored values may be others")
            elif dropped:
                reasons.append(f"options removed ({json_text(dropped)}): stored values may be those")
        return "; ".join(reasons) or None

    def describe_breaking(self) -> str:
        reason = self.breaking
        return self.describe() + (f"  (breaking: {reason})" if reason else "")

    def as_json(self) -> dict[str, Any]:
        return {"field": self.name, "change": self.change,
                "before": self.before.as_json() if self.before else None,
                "after": self.after.as_json() if self.after else None,
                "changed": list(self.aspects), "breaking": self.breaking}


@dataclass(frozen=True)
class ClassChange:
    """A change of the class itself: ``base``, ``kind`` (class or type) or ``custom_code``."""

    what: str
    before: str | None
    after: str | None

    def describe(self) -> str:
        if self.what == "base":
            return f"~ derives from {self.after} (was {self.before})"
        if self.what == "kind":
            return f"~ now a {self.after} (was a {self.before})"
        return "~ custom code changed"

    @property
    def breaking(self) -> str | None:
        """Why the change breaks stored records or callers; None when it does not."""
        if self.what == "base":
            return "derives from another class: stored records and callers may not fit it"
        if self.what == "kind":
            return "a class turned into a type or back: callers use it otherwise"
        return None

    def describe_breaking(self) -> str:
        reason = self.breaking
        return self.describe() + (f"  (breaking: {reason})" if reason else "")

    def as_json(self) -> dict[str, Any]:
        return {"what": self.what, "before": self.before, "after": self.after, "breaking": self.breaking}


def _same(old: Any, new: Any) -> bool:
    return json_text(old) == json_text(new)  # 1 and true, 1 and 1.0 are different defaults


def field_changes(before: ObjectSchema, after: ObjectSchema) -> list[FieldChange]:
    """The fields' changes: the new schema's fields in its order, then the removed ones."""
    old, new = before.properties or {}, after.properties or {}
    changes = []
    for name in new:
        state = FieldState.of(after, name)
        if name not in old:
            changes.append(FieldChange(name, None, state))
            continue
        prior = FieldState.of(before, name)
        aspects = [a for a in ASPECTS if not _same(getattr(prior, a), getattr(state, a))]
        if aspects:
            changes.append(FieldChange(name, prior, state, aspects))
    changes += [FieldChange(name, FieldState.of(before, name), None) for name in old if name not in new]
    return changes


def class_changes(before: ObjectSchema, after: ObjectSchema) -> list[ClassChange]:
    changes = []
    if base_of(before) != base_of(after):
        changes.append(ClassChange("base", base_of(before), base_of(after)))
    if before.meta_class != after.meta_class:
        changes.append(ClassChange("kind", before.meta_class.value, after.meta_class.value))
    if (before.custom_code or "").strip() != (after.custom_code or "").strip():
        changes.append(ClassChange("custom_code", before.custom_code, after.custom_code))
    return changes
