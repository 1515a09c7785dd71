"""A migration file: its name, its place among the others and its content."""
from __future__ import annotations

import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Annotated, Any

from pydantic import AfterValidator, BaseModel, ConfigDict, Field, field_validator

from velkor.configs.main import settings
from velkor.migration.data_classes import ModuleTypes
from velkor.migration.utils import map_module_type_to_schema_type
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData
from velkor_utils.models.enums import SchemaTypes

from velkor.migration.runner.errors import cut, shown
from velkor.migration.runner.key import APP, MigrationKey
from velkor.migration.runner.source.reserved_names import CLASS_NAME, reserved_class

FILE_NAME = re.compile(r"(\d{4,})_([A-Za-z0-9_]+)\.json")
PROPERTY_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]*")
MODULE_NAME = re.compile(r"[A-Za-z][A-Za-z0-9_]*")
REFERENCE = re.compile(r"(?:([A-Za-z][A-Za-z0-9_]*):)?(\d+)(_[A-Za-z0-9_]+)?")
# The tags pydantic puts into error locations of a discriminated ``items`` value.
_ITEMS_TAGS = frozenset({"type", "dict", "legacy_dict"})


class SchemaEntry(BaseModel):
    """One class that a migration introduces or changes."""

    model_config = ConfigDict(extra="forbid", populate_by_name=True)

    class_name: str
    schema_type: SchemaTypes | None = None  # default: the type of the module holding the migration
    object_schema: ObjectSchema = Field(alias="schema")

    @field_validator("class_name")
    @classmethod
    def _check_class_name(cls, name: str) -> str:
        return _class_name(name)


def _class_name(name: str) -> str:
    if not CLASS_NAME.fullmatch(name):
        raise ValueError(f"{shown(name)} is not a class name: a capital letter, then letters, digits or '_'")
    reason = reserved_class(name)
    if reason:
        raise ValueError(f"{shown(name)} is reserved: {reason}")
    return name


ClassName = Annotated[str, AfterValidator(_class_name)]


class ClassEdit(BaseModel):
    """A class changed by naming only what changes, against its definition before."""

    model_config = ConfigDict(extra="forbid")

    class_name: ClassName
    add: dict[str, PropertyData] = {}    # new fields
    alter: dict[str, PropertyData] = {}  # fields defined anew, whole
    remove: list[str] = []               # fields dropped
    required: list[str] | None = None    # the required fields; by default those before, less the removed ones


class MigrationDocument(BaseModel):
    """The content of a migration file. A migration may define classes whole
    (``schemas``), change them by naming only what changes (``changes``),
    rename them (``rename``: old name to new) and retire them (``retire``)."""

    model_config = ConfigDict(extra="forbid")

    description: str | None = None
    depends_on: list[str] = []
    schemas: list[SchemaEntry]
    changes: list[ClassEdit] = []
    rename: dict[ClassName, ClassName] = {}
    retire: list[ClassName] = []


@dataclass
class MigrationSource:
    """A migration file found in a module's migrations folder (its module and path
    stay as made: its key is made of them once)."""

    module: str | None  # None for the app, else the contrib module's name
    number: int
    path: Path
    document: MigrationDocument | None = field(default=None, repr=False)
    # the checksum of the text it was last read from (its document, or the file as drift looked at it)
    checksum: str | None = field(default=None, repr=False, compare=False)
    key: MigrationKey = field(init=False, repr=False, compare=False)  # (asked for in every lookup)

    def __post_init__(self) -> None:
        self.key = MigrationKey(self.module, self.path.name)

    @property
    def name(self) -> str:
        return self.path.stem

    @property
    def module_label(self) -> str:
        return self.module or APP

    @property
    def label(self) -> str:
        """How the migration is named in references and messages: ``module:NNNN_name``."""
        return self.key.label

    def defines(self) -> set[str]:
        """The classes the migration defines, whole, by their changes or by a new name."""
        document = self.document
        return ({entry.class_name for entry in document.schemas} | {edit.class_name for edit in document.changes}
                | set(document.rename.values())) if document is not None else set()

    @property
    def order(self) -> tuple[bool, str, int]:
        """Its place in migration order: contrib modules by name, then the app; each by number."""
        return self.module is None, self.module or "", self.number

    @property
    def module_type(self) -> ModuleTypes:
        return ModuleTypes.CONTRIB if self.module else ModuleTypes.APP

    def schema_type(self, entry: SchemaEntry) -> SchemaTypes:
        return entry.schema_type or map_module_type_to_schema_type(self.module_type)

    def where(self) -> str:
        return display_path(self.path)

    def summary(self) -> dict[str, Any]:
        """How a JSON document names the migration."""
        return {"migration": self.label, "module": self.module_label, "number": self.number,
                "name": self.name, "file": self.where()}


def display_path(path: Path) -> str:
    """A path relative to the project root when it lies inside it."""
    try:
        return str(path.relative_to(settings.PROJECT_ROOT))
    except ValueError:
        return str(path)


def location(loc: tuple[Any, ...], tagged: bool = True) -> str:
    """A JSON path; ``tagged``: a location from pydantic, which names the union member of an ``items``."""
    text = ""
    previous = None
    for part in loc:
        if tagged and previous == "items" and part in _ITEMS_TAGS:
            previous = part = None  # pydantic's union tag, not a field
            continue
        if isinstance(part, int):
            text += f"[{part}]"
        else:
            text += ("." if text else "") + cut(str(part), 40)
        previous = part
    return text or "(top level)"


