"""Migration files: their format, where they are found and in which order they apply."""
from __future__ import annotations

import difflib
import json
import keyword
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from pydantic import BaseModel, ConfigDict, Field, ValidationError, field_validator

from velkor.configs.main import settings
from velkor.migration.data_classes import ModuleTypes
from velkor.migration.utils import contrib_to_module_root_path, map_module_type_to_schema_type
from velkor_models.schemas.data_models.core import DictSchema, LegacyDictSchema, OptionData, TypeData
from velkor_models.schemas.enums import CoreTypes
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData
from velkor_utils.models.enums import SchemaTypes

from velkor.migration.runner.errors import MigrationError, cut
from velkor.migration.runner.names import CLASS_NAME, reserved_class
from velkor.migration.runner.validation import depth_problems, schema_problems

APP = "app"  # how the app module is named in references such as "app:0002"
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
        if not CLASS_NAME.fullmatch(name):
            raise ValueError(f"{cut(repr(name))} is not a class name: a capital letter, then letters, digits or '_'")
        reason = reserved_class(name)
        if reason:
            raise ValueError(f"{name!r} is reserved: {reason}")
        return name


class MigrationDocument(BaseModel):
    """The content of a migration file."""

    model_config = ConfigDict(extra="forbid")

    description: str | None = None
    depends_on: list[str] = []
    schemas: list[SchemaEntry]


@dataclass
class MigrationSource:
    """A migration file found in a module's migrations folder."""

    module: str | None  # None for the app, else the contrib module's name
    number: int
    path: Path
    document: MigrationDocument | None = field(default=None, repr=False)

    @property
    def name(self) -> str:
        return self.path.stem

    @property
    def module_label(self) -> str:
        return self.module or APP

    @property
    def label(self) -> str:
        """How the migration is named in references and messages: ``module:NNNN_name``."""
        return f"{self.module_label}:{self.name}"

    @property
    def key(self) -> tuple[str | None, str]:
        return self.module, self.path.name

    @property
    def module_type(self) -> ModuleTypes:
        return ModuleTypes.CONTRIB if self.module else ModuleTypes.APP

    def schema_type(self, entry: SchemaEntry) -> SchemaTypes:
        return entry.schema_type or map_module_type_to_schema_type(self.module_type)

    def where(self) -> str:
        return display_path(self.path)


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


def _describe(error: dict[str, Any]) -> str:
    if error["type"] == "union_tag_not_found":
        message = ("must be an object: {type, items} for an array element, "
                   "{key, value} or {key_type, value_type} for a dictionary")
    elif error["type"] == "extra_forbidden":
        message = "unknown field"
    else:
        message = error["msg"]
        if message.startswith("Value error, "):
            message = message[len("Value error, "):]
        if error["type"] not in ("missing", "value_error"):
            message += f" (got {cut(repr(error['input']))})"
    tagged = "url" in error  # pydantic's own errors link to their explanation; ours do not
    return f"{location(error['loc'], tagged)}: {message}"


def _unknown_fields(data: Any, model: type[BaseModel], where: tuple[Any, ...]) -> list[dict[str, Any]]:
    """Fields that the framework's schema records would silently ignore."""
    if not isinstance(data, dict):
        return []
    return [{"loc": where + (key,), "type": "extra_forbidden", "msg": "", "input": data[key]}
            for key in data if key not in model.model_fields]


def _items_problems(type_name: str, items: Any, where: tuple[Any, ...]) -> list[dict[str, Any]]:
    """An array names its element type, a dictionary its key and value types, nothing else has items."""
    def problem(message: str) -> list[dict[str, Any]]:
        return [{"loc": where, "type": "value_error", "input": type_name, "msg": message}]

    if type_name == CoreTypes.ARRAY.value:
        if not isinstance(items, TypeData):
            return problem('an array needs "items": {"type": ...} naming its element type')
        return _items_problems(items.type, items.items, where + ("items",))
    if type_name == CoreTypes.DICTIONARY.value:
        if isinstance(items, DictSchema):
            return (_items_problems(items.key.type, items.key.items, where + ("items", "key"))
                    + _items_problems(items.value.type, items.value.items, where + ("items", "value")))
        if not isinstance(items, LegacyDictSchema):
            return problem('a dictionary needs "items": {"key": ..., "value": ...} or {"key_type": ..., "value_type": ...}')
        return []
    if items is not None:
        return problem(f'only an array or a dictionary has "items", not a {type_name!r}')
    return []


def _schema_problems(raw: dict[str, Any], document: MigrationDocument) -> list[dict[str, Any]]:
    """Checks beyond the records' own: unknown fields, property names, repeated classes."""
    problems = []
    seen: dict[str, int] = {}
    for index, entry in enumerate(document.schemas):
        where = ("schemas", index)
        if entry.class_name in seen:
            problems.append({"loc": where + ("class_name",), "type": "value_error", "input": entry.class_name,
                             "msg": f"{entry.class_name!r} is already defined by schemas[{seen[entry.class_name]}]"})
        seen.setdefault(entry.class_name, index)
        schema = raw["schemas"][index]["schema"]
        problems += _unknown_fields(schema, ObjectSchema, where + ("schema",))
        for name, prop in (schema.get("properties") or {}).items():
            prop_where = where + ("schema", "properties", name)
            if not PROPERTY_NAME.fullmatch(name) or keyword.iskeyword(name):
                problems.append({"loc": prop_where, "type": "value_error", "input": name,
                                 "msg": f"{cut(repr(name))} is not a property name: a letter, then letters, "
                                        "digits or '_'"})
            problems += _unknown_fields(prop, PropertyData, prop_where)
            for option_index, option in enumerate(prop.get("options") or []):
                problems += _unknown_fields(option, OptionData, prop_where + ("options", option_index))
        for name, prop in (entry.object_schema.properties or {}).items():
            problems += _items_problems(prop.type, prop.items, where + ("schema", "properties", name))
        for name in entry.object_schema.required:
            if name not in (entry.object_schema.properties or {}):
                problems.append({"loc": where + ("schema", "required"), "type": "value_error", "input": name,
                                 "msg": f"{cut(repr(name))} is required but is not a property"})
        if not any(p["loc"][:len(where)] == where for p in problems):
            problems += schema_problems(entry.object_schema, where + ("schema",))
    return problems


def declared_dependencies(source: MigrationSource) -> list[str]:
    """The ``depends_on`` references of a migration, read without checking the
    rest of its file (none when the file cannot be read)."""
    if source.document is not None:
        return list(source.document.depends_on)
    try:
        raw = json.loads(source.path.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, ValueError, RecursionError):
        return []
    references = raw.get("depends_on") if isinstance(raw, dict) else None
    return [r for r in references if isinstance(r, str)] if isinstance(references, list) else []


def load_document(path: Path) -> MigrationDocument:
    """Read and validate one migration file; errors name the file and the position."""
    where = display_path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise MigrationError(f"{where}: cannot read the file: {exc}") from None
    try:
        raw = json.loads(text)
    except json.JSONDecodeError as exc:
        raise MigrationError(f"{where}:{exc.lineno}:{exc.colno}: invalid JSON: {exc.msg}") from None
    except RecursionError:
        raise MigrationError(f"{where}: nested too deeply: more levels of objects and arrays "
                             "than the JSON reader takes") from None
    problems = depth_problems(raw)
    if not problems:
        try:
            document = MigrationDocument.model_validate(raw)
        except ValidationError as exc:
            problems = exc.errors()
        else:
            problems = _schema_problems(raw, document)
    if problems:
        raise MigrationError("\n".join(f"{where}: {_describe(problem)}" for problem in problems))
    for entry in document.schemas:  # no properties is an empty property map
        if entry.object_schema.properties is None:
            entry.object_schema.properties = {}
    return document


def _scan(folder: Path, module: str | None) -> list[MigrationSource]:
    found: dict[int, MigrationSource] = {}
    for path in sorted(folder.glob("*.json")):
        match = FILE_NAME.fullmatch(path.name)
        if not match:
            raise MigrationError(f"{display_path(path)}: a migration file is named NNNN_name.json "
                                 "(a number of four digits or more, then letters, digits or '_')")
        number = int(match.group(1))
        if number in found:
            raise MigrationError(f"{display_path(path)}: number {number} is also used by "
                                 f"{display_path(found[number].path)}")
        found[number] = MigrationSource(module, number, path)
    return [found[number] for number in sorted(found)]


def contrib_modules() -> list[str]:
    """The contrib modules that have a migrations folder, by name."""
    root = settings.CONTRIB_PATH
    if not root.is_dir():
        return []
    names = []
    for folder in sorted(root.iterdir()):
        if not folder.is_dir() or folder.name.startswith((".", "_")):
            continue
        if not contrib_to_module_root_path(folder.name).is_dir():
            continue
        if not MODULE_NAME.fullmatch(folder.name) or folder.name == APP:
            raise MigrationError(f"{display_path(folder)}: {folder.name!r} cannot name a contrib module "
                                 f"(a letter, then letters, digits or '_'; not {APP!r})")
        names.append(folder.name)
    return names


def discover() -> list[MigrationSource]:
    """Every migration file of the project, in the order they apply: the contrib
    modules by name, then the app; each module's migrations by number."""
    sources = []
    for module in contrib_modules():
        sources += _scan(contrib_to_module_root_path(module), module)
    app_folder = settings.APP_PATH / settings.MIGRATIONS_DIRECTORY_NAME
    if app_folder.is_dir():
        sources += _scan(app_folder, None)
    return sources


def _close_to(name: str, wanted: str) -> bool:
    return name != wanted and (name.lower() == wanted or difflib.SequenceMatcher(None, name.lower(), wanted).ratio() >= 0.8)


def _skipped_files(folder: Path) -> list[str]:
    """Files of a migrations folder that look like migrations but are not read."""
    notes = []
    for path in sorted(folder.iterdir()):
        if path.suffix == ".json" or not path.is_file():
            continue
        if path.suffix.lower() == ".json" or (path.name[:1].isdigit() and ".json" in path.name.lower()):
            notes.append(f"{display_path(path)}: skipped: a migration file is named NNNN_name.json")
    return notes


def look_alikes() -> list[str]:
    """Warnings for what looks like migrations but is not read: misspelt folders and file names."""
    migrations = settings.MIGRATIONS_DIRECTORY_NAME
    notes = []
    owners = []  # folders that hold a migrations folder, or should
    root = settings.PROJECT_ROOT
    for kind, path in (("app", settings.APP_PATH), ("contrib", settings.CONTRIB_PATH)):
        for near in sorted(p for p in root.iterdir() if p.is_dir() and _close_to(p.name, kind)):
            notes.append(f"{display_path(near)}: skipped: did you mean {kind}/? "
                         f"Migrations are read from app/{migrations}/ and contrib/<module>/{migrations}/")
        if kind == "app":
            owners.append(path)
        elif path.is_dir():
            owners += sorted(p for p in path.iterdir() if p.is_dir() and not p.name.startswith((".", "_")))
    for owner in owners:
        if not owner.is_dir():
            continue
        for near in sorted(p for p in owner.iterdir() if p.is_dir() and _close_to(p.name, migrations)):
            notes.append(f"{display_path(near)}: skipped: migrations are read from "
                         f"{display_path(owner / migrations)}/")
        if (owner / migrations).is_dir():
            notes += _skipped_files(owner / migrations)
    return notes


def find(sources: list[MigrationSource], reference: str, where: str = "") -> MigrationSource:
    """The migration that ``[module:]NUMBER[_name]`` names; the app when no module is given."""
    prefix = f"{where}: " if where else ""
    match = REFERENCE.fullmatch(reference.strip())
    if not match:
        raise MigrationError(f"{prefix}{reference!r} does not name a migration: write [module:]NUMBER, "
                             "for example 3 or billing:0001")
    module = None if match.group(1) in (None, APP) else match.group(1)
    number = int(match.group(2))
    for source in sources:
        if source.module == module and source.number == number:
            if match.group(3) and not source.name.endswith(match.group(3)):
                break  # the number is there, under another name
            return source
    raise MigrationError(f"{prefix}no migration {reference!r} in the project")


def load_all(sources: list[MigrationSource], only: list[MigrationSource] | None = None) -> None:
    """Load the files (``only`` these, when given) and check their references to
    the others; all problems in one error."""
    problems = []
    wanted = sources if only is None else only
    for source in wanted:
        if source.document is None:
            try:
                source.document = load_document(source.path)
            except MigrationError as exc:
                problems.append(str(exc))
    order = {source.key: index for index, source in enumerate(sources)}
    for source in wanted:
        index = order[source.key]
        for dep_index, reference in enumerate(source.document.depends_on if source.document else []):
            where = f"{source.where()}: depends_on[{dep_index}]"
            try:
                target = find(sources, reference, where)
            except MigrationError as exc:
                problems.append(str(exc))
                continue
            if order[target.key] >= index:
                problems.append(f"{where}: {target.label} does not apply before this migration "
                                "(contrib modules apply by name, then the app; each module by number)")
    if problems:
        raise MigrationError("\n".join(problems))
