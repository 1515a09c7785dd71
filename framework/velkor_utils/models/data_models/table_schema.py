from __future__ import annotations

import re
from typing import Any

from pydantic import BaseModel, ConfigDict, field_validator, model_validator

from velkor_utils.models.data_models.address import Address

IDENTIFIER = re.compile(r"[A-Za-z][A-Za-z0-9_]*")
COLUMN_TYPES: tuple[type, ...] = (int, float, str, bool)


class TableColumnSchema(BaseModel):
    model_config = ConfigDict(arbitrary_types_allowed=True)

    name: str
    type: type[Any]
    default: Any = None
    nullable: bool = True

    @field_validator("name")
    @classmethod
    def _check_name(cls, name: str) -> str:
        if not IDENTIFIER.fullmatch(name):
            raise ValueError(f"column name {name!r} must start with a letter and hold only letters, digits and '_'")
        return name

    @field_validator("type")
    @classmethod
    def _check_type(cls, column_type: type) -> type:
        if column_type not in COLUMN_TYPES:
            supported = ", ".join(t.__name__ for t in COLUMN_TYPES)
            raise ValueError(f"unsupported column type {column_type.__name__} (supported: {supported})")
        return column_type


class TableSchema(BaseModel):
    """Columns of the table that stores the objects of one class."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    address: Address
    columns: list[TableColumnSchema]
    indexed: list[str] = []
    unique_columns: list[str] = []
    # Groups of columns whose values together identify a row (None counts as a value).
    unique_together: list[list[str]] = []

    @model_validator(mode="after")
    def _check(self) -> TableSchema:
        name = self.address.class_name
        if not name or not IDENTIFIER.fullmatch(name):
            raise ValueError(f"address {self.address}: the class name must start with a letter and hold only letters, digits and '_'")
        names = [column.name for column in self.columns]
        duplicates = sorted({n for n in names if names.count(n) > 1})
        if duplicates:
            raise ValueError(f"table {name}: duplicate column(s) {duplicates}")
        for field in ("indexed", "unique_columns"):
            unknown = [n for n in getattr(self, field) if n not in names]
            if unknown:
                raise ValueError(f"table {name}: {field} names unknown column(s) {unknown}")
        for group in self.unique_together:
            unknown = [n for n in group if n not in names]
            if unknown or not group:
                raise ValueError(f"table {name}: unique_together names unknown column(s) {unknown or group}")
        return self

    @property
    def class_name(self) -> str:
        return self.address.class_name  # type: ignore[return-value]

    def structure(self) -> dict[str, Any]:
        """Everything but the address: two schemas of equal structure make the same table."""
        return self.model_dump(exclude={"address"})
