"""Type descriptions of schema properties.

A type description is a type name with optional ``items``: the element type of
an array (``TypeData``) or the key and value types of a dictionary
(``DictSchema``, or the older ``LegacyDictSchema`` with bare type names).
"""
from __future__ import annotations

from typing import Annotated, Any, Union

from pydantic import BaseModel, ConfigDict, Discriminator, Tag


def _items_kind(value: Any) -> str | None:
    """Which record an ``items`` value is, told apart by its keys."""
    if isinstance(value, dict):
        if "key" in value or "value" in value:
            return "dict"
        if "key_type" in value or "value_type" in value:
            return "legacy_dict"
        return "type"
    if isinstance(value, DictSchema):
        return "dict"
    if isinstance(value, LegacyDictSchema):
        return "legacy_dict"
    if isinstance(value, TypeData):
        return "type"
    return None


class TypeData(BaseModel):
    model_config = ConfigDict(extra="forbid")

    type: str
    items: Items = None


class DictSchema(BaseModel):
    model_config = ConfigDict(extra="forbid")

    key: TypeData
    value: TypeData


class LegacyDictSchema(BaseModel):
    model_config = ConfigDict(extra="forbid")

    key_type: str
    value_type: str


Items = Annotated[
    Union[
        Annotated[TypeData, Tag("type")],
        Annotated[DictSchema, Tag("dict")],
        Annotated[LegacyDictSchema, Tag("legacy_dict")],
    ],
    Discriminator(_items_kind),
] | None

TypeData.model_rebuild()


class OptionData(BaseModel):
    """One allowed value of a property."""

    value: Any
    label: str | None = None
