from __future__ import annotations

from typing import Any

from pydantic import BaseModel

from velkor_models.enums import MetaClasses
from velkor_models.schemas.data_models.core import Items, OptionData


class PropertyData(BaseModel):
    type: str
    items: Items = None
    default: Any = None
    options: list[OptionData] | None = None
    description: str | None = None


class ObjectSchema(BaseModel):
    """Schema of one model class.

    ``type`` is the parent type: "object" for a plain class, or the name of
    another generated class to derive from.
    """

    type: str = "object"
    meta_class: MetaClasses = MetaClasses.CLASS
    properties: dict[str, PropertyData] | None = None
    required: list[str] = []
    custom_code: str | None = None
    description: str | None = None
