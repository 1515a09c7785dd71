"""Reading a migration file: its JSON checked against the document's shape and
every rule one file alone can show, with errors that name the file and the
JSON line and column, or the field path; and a set of files checked against
each other (``depends_on``)."""
from __future__ import annotations

import json
import keyword
from pathlib import Path
from typing import Any

from pydantic import BaseModel, ValidationError

from velkor_models.schemas.data_models.core import DictSchema, LegacyDictSchema, OptionData, TypeData
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData
from velkor_models.schemas.enums import CoreTypes

from velkor.migration.runner.errors import MigrationError, cut
from velkor.migration.runner.source.discovery import find
from velkor.migration.runner.source.document import (
    PROPERTY_NAME, MigrationDocument, MigrationSource, display_path, location)
from velkor.migration.runner.source.reading import read_bytes
from velkor.migration.runner.source.validation import (
    Loc, depth_problems, json_integer, schema_problems, value_problems)


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


def _property_problems(raw: dict[str, Any], properties: dict[str, PropertyData], where: Loc) -> list[dict[str, Any]]:
    """Property names, unknown fields and ``items`` of a map of properties at ``where``."""
    problems = []
    for name, prop in raw.items():
        prop_where = where + (name,)
        if not PROPERTY_NAME.fullmatch(name) or keyword.iskeyword(name):
            problems.append({"loc": prop_where, "type": "value_error", "input": name,
                             "msg": f"{cut(repr(name))} is not a property name: a letter, then letters, "
                                    "digits or '_'"})
        problems += _unknown_fields(prop, PropertyData, prop_where)
        for option_index, option in enumerate((prop.get("options") or []) if isinstance(prop, dict) else []):
            problems += _unknown_fields(option, OptionData, prop_where + ("options", option_index))
    for name, prop in properties.items():
        problems += _items_problems(prop.type, prop.items, where + (name,))
    return problems


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
        problems += _property_problems(schema.get("properties") or {}, entry.object_schema.properties or {},
                                       where + ("schema", "properties"))
        for name in entry.object_schema.required:
            if name not in (entry.object_schema.properties or {}):
                problems.append({"loc": where + ("schema", "required"), "type": "value_error", "input": name,
                                 "msg": f"{cut(repr(name))} is required but is not a property"})
        if not any(p["loc"][:len(where)] == where for p in problems):
            problems += schema_problems(entry.object_schema, where + ("schema",))
    return problems + _edit_problems(raw, document)


def _edit_problems(raw: dict[str, Any], document: MigrationDocument) -> list[dict[str, Any]]:
    """The classes that a migration changes, renames and retires: each named once in the file,
    each change's fields checked as a schema's are."""
    problems = []
    named: dict[str, str] = {entry.class_name: f"schemas[{index}]" for index, entry in enumerate(document.schemas)}

    def once(name: str, loc: Loc, what: str) -> None:
        if name in named:
            problems.append({"loc": loc, "type": "value_error", "input": name,
                             "msg": f"{name!r} is also named by {named[name]}: a migration names a class once"})
        named.setdefault(name, what)

    for index, edit in enumerate(document.changes):
        where = ("changes", index)
        once(edit.class_name, where + ("class_name",), f"changes[{index}]")
        raw_edit = raw["changes"][index]
        for part in ("add", "alter"):
            problems += _property_problems(raw_edit.get(part) or {}, getattr(edit, part), where + (part,))
        for name in sorted((set(edit.add) | set(edit.alter)) & set(edit.remove) | set(edit.add) & set(edit.alter)):
            problems.append({"loc": where, "type": "value_error", "input": name,
                             "msg": f"{cut(repr(name))} is named twice among add, alter and remove"})
        if not any(p["loc"][:len(where)] == where for p in problems):
            for problem in schema_problems(ObjectSchema(properties={**edit.add, **edit.alter}), where):
                loc = problem["loc"]
                if loc[len(where):len(where) + 1] == ("properties",):  # where the field is written
                    part = "add" if loc[len(where) + 1] in edit.add else "alter"
                    problem = {**problem, "loc": where + (part,) + loc[len(where) + 1:]}
                problems.append(problem)
    for old, new in document.rename.items():
        once(old, ("rename", old), f"rename[{old!r}]")
        once(new, ("rename", old), f"rename[{old!r}]")
    for index, name in enumerate(document.retire):
        once(name, ("retire", index), f"retire[{index}]")
    return problems


def declared_dependencies(source: MigrationSource) -> list[str]:
    """The ``depends_on`` references of a migration, read without checking the
    rest of its file (none when the file cannot be read)."""
    if source.document is not None:
        return list(source.document.depends_on)
    try:
        raw = json.loads(read_bytes(source.path).decode("utf-8"), parse_int=json_integer)
    except (MigrationError, UnicodeDecodeError, ValueError, RecursionError):
        return []
    references = raw.get("depends_on") if isinstance(raw, dict) else None
    return [r for r in references if isinstance(r, str)] if isinstance(references, list) else []


def load_document(path: Path) -> MigrationDocument:
    """Read and validate one migration file; errors name the file and the position."""
    where = display_path(path)
    try:
        text = read_bytes(path).decode("utf-8").replace("\r\n", "\n").replace("\r", "\n")
    except UnicodeDecodeError as exc:
        raise MigrationError(f"{where}: cannot read the file: {exc}") from None
    return parse_document(text, where)


def parse_document(text: str, where: str) -> MigrationDocument:
    """Validate a migration document's text; errors name ``where`` and the position."""
    try:
        raw = json.loads(text, parse_int=json_integer)
    except json.JSONDecodeError as exc:
        raise MigrationError(f"{where}:{exc.lineno}:{exc.colno}: invalid JSON: {exc.msg}") from None
    except RecursionError:
        raise MigrationError(f"{where}: nested too deeply: more levels of objects and arrays "
                             "than the JSON reader takes") from None
    problems = depth_problems(raw) or value_problems(raw)
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
