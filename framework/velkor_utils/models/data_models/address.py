"""Addresses of stored objects.

Text form: ``resource#class_name:class_version:object_id:object_version``.
Empty parts stand for ``None``; trailing empty parts are left out, so
``resource#Metadata::ID`` names object ``ID`` of class ``Metadata``.
"""
from __future__ import annotations

from pydantic import BaseModel, ConfigDict, ValidationInfo, field_validator

_FORMAT = "resource#class_name[:class_version[:object_id[:object_version]]]"


class Address(BaseModel):
    model_config = ConfigDict(frozen=True, extra="forbid")

    resource: str | None = None
    class_name: str | None = None
    class_version: str | None = None
    object_id: str | None = None
    object_version: str | None = None

    @field_validator("*")
    @classmethod
    def _check_part(cls, value: str | None, info: ValidationInfo) -> str | None:
        if value is None or value == "":
            return None
        if "#" in value or ":" in value:
            raise ValueError(f"{info.field_name} {value!r} may not contain '#' or ':'")
        return value

    @classmethod
    def from_string(cls, text: str) -> Address:
        if not isinstance(text, str):
            raise TypeError(f"an address text must be a str, got {type(text).__name__}")
        resource, hash_sign, rest = text.partition("#")
        parts = rest.split(":")
        if not hash_sign or "#" in rest or len(parts) > 4:
            raise ValueError(f"malformed address {text!r}: expected {_FORMAT!r}")
        parts += [""] * (4 - len(parts))
        return cls(
            resource=resource or None,
            class_name=parts[0] or None,
            class_version=parts[1] or None,
            object_id=parts[2] or None,
            object_version=parts[3] or None,
        )

    def __str__(self) -> str:
        parts = [self.class_name, self.class_version, self.object_id, self.object_version]
        while parts and parts[-1] is None:
            parts.pop()
        return f"{self.resource or ''}#" + ":".join(part or "" for part in parts)
