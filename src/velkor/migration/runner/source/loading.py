"""Reading a migration file: its JSON checked against the document's shape and
every rule one file alone can show, with errors that name the file and the
JSON line and column, or the field path; and a set of files checked against
each other (``depends_on``)."""
from __future__ import annotations

import json
import keyword
from pathlib import Path
from collections.abc import Collection
from typing import Any

from pydantic import BaseModel, ValidationError

from velkor.configs.main import settings

from velkor_models.schemas.data_models.core import DictSchema, LegacyDictSchema, OptionData, TypeData
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData
from velkor_models.schemas.enums import CoreTypes

from velkor.migration.runner.errors import MigrationError, did_you_mean, problems_error, shown
from velkor.migration.runner.source.discovery import find
from velkor.migration.runner.source.document import (
    PROPERTY_NAME, ClassEdit, MigrationDocument, MigrationSource, SchemaEntry, display_path, location)
from velkor.migration.runner.source.reading import content_checksum, read_bytes
from velkor.migration.runner.source.validated import Validated, digest
from velkor.migration.runner.source.validation import (
    Loc, depth_problems, json_integer, schema_problems, value_problems)


SCHEMA_KEY = "$schema"  # the address of the file's JSON Schema, for editors: accepted and ignored


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
            message += f" (got {shown(error['input'])})"
    tagged = "url" in error  # pydantic's own errors link to their explanation; ours do not
    return f"{location(error['loc'], tagged)}: {message}"


def _known_fields(model: type[BaseModel]) -> list[str]:
    return [field.alias or name for name, field in model.model_fields.items()]


def _unknown_fields(data: Any, model: type[BaseModel], where: tuple[Any, ...]) -> list[dict[str, Any]]:
    """Fields that the records refuse or would silently ignore, each with the closest known field."""
    if not isinstance(data, dict):
        return []
    known = _known_fields(model)
    return [{"loc": where + (key,), "type": "value_error", "input": key,
             "msg": f"unknown field{did_you_mean(key, known)}"}
            for key in data if key not in known and key not in model.model_fields]


def _dicts(value: Any) -> dict[str, Any]:
    return value if isinstance(value, dict) else {}


def _lists(value: Any) -> list[Any]:
    return value if isinstance(value, list) else []


def _raw_unknown_fields(raw: Any) -> list[dict[str, Any]]:
    """Unknown fields of the document, its entries, their schemas, properties and options, read from the JSON."""
    problems = _unknown_fields(raw, MigrationDocument, ())
    for index, entry in enumerate(_lists(_dicts(raw).get("schemas"))):
        where = ("schemas", index)
        problems += _unknown_fields(entry, SchemaEntry, where)
        schema = _dicts(entry).get("schema")
        problems += _unknown_fields(schema, ObjectSchema, where + ("schema",))
        for name, prop in _dicts(_dicts(schema).get("properties")).items():
            prop_where = where + ("schema", "properties", name)
            problems += _unknown_fields(prop, PropertyData, prop_where)
            for option_index, option in enumerate(_lists(_dicts(prop).get("options"))):
                problems += _unknown_fields(option, OptionData, prop_where + ("options", option_index))
    for index, edit in enumerate(_lists(_dicts(raw).get("changes"))):
        problems += _unknown_fields(edit, ClassEdit, ("changes", index))
        for part in ("add", "alter"):
            for name, prop in _dicts(_dicts(edit).get(part)).items():
                problems += _unknown_fields(prop, PropertyData, ("changes", index, part, name))
                for option_index, option in enumerate(_lists(_dicts(prop).get("options"))):
                    problems += _unknown_fields(option, OptionData, ("changes", index, part, name, "options",
                                                                     option_index))
    return problems


def _ours(error: dict[str, Any]) -> bool:
    """An unknown field that ``_raw_unknown_fields`` already names (of the document or of an entry)."""
    loc = error["loc"]
    return error["type"] == "extra_forbidden" and (len(loc) == 1 or (len(loc) == 3 and loc[0] in ("schemas", "changes")))


def _valid_entries(raw: Any) -> list[tuple[int, SchemaEntry]]:
    """The entries of ``schemas`` that are valid on their own (unknown fields left out), by index."""
    known = set(_known_fields(SchemaEntry))
    entries = []
    for index, data in enumerate(_lists(_dicts(raw).get("schemas"))):
        if not isinstance(data, dict):
            continue
        try:
            entries.append((index, SchemaEntry.model_validate({k: v for k, v in data.items() if k in known})))
        except ValidationError:
            continue
    return entries


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
        return problem(f'only an array or a dictionary has "items", not a {shown(type_name)}')
    return []


def _entry_problems(entries: list[tuple[int, SchemaEntry]], known_classes: Collection[str]) -> list[dict[str, Any]]:
    """Checks beyond the records' own: property names, items, required names, repeated classes, and
    every rule of ``validation``."""
    problems = []
    seen: dict[str, int] = {}
    for index, entry in entries:
        where = ("schemas", index)
        if entry.class_name in seen:
            problems.append({"loc": where + ("class_name",), "type": "value_error", "input": entry.class_name,
                             "msg": f"{shown(entry.class_name)} is already defined by schemas[{seen[entry.class_name]}]"})
        seen.setdefault(entry.class_name, index)
        properties = entry.object_schema.properties or {}
        problems += _property_problems(properties, where + ("schema", "properties"))
        for name in entry.object_schema.required:
            if name not in properties:
                problems.append({"loc": where + ("schema", "required"), "type": "value_error", "input": name,
                                 "msg": f"{shown(name)} is required but is not a property"
                                        f"{did_you_mean(name, properties)}"})
        if not any(p["loc"][:len(where)] == where for p in problems):
            problems += schema_problems(entry.object_schema, where + ("schema",), known_classes)
    return problems


def _property_problems(properties: dict[str, PropertyData], where: Loc) -> list[dict[str, Any]]:
    """Property names and ``items`` of a map of properties at ``where``."""
    problems = []
    for name, prop in properties.items():
        prop_where = where + (name,)
        if not PROPERTY_NAME.fullmatch(name) or keyword.iskeyword(name):
            problems.append({"loc": prop_where, "type": "value_error", "input": name,
                             "msg": f"{shown(name)} is not a property name: a letter, then letters, digits or '_'"})
        problems += _items_problems(prop.type, prop.items, prop_where)
    return problems


def _edit_problems(document: MigrationDocument, known_classes: Collection[str]) -> list[dict[str, Any]]:
    """The classes that a migration changes, renames and retires: each named once in the file,
    each change's fields checked as a schema's are."""
    problems = []
    named: dict[str, str] = {entry.class_name: f"schemas[{index}]" for index, entry in enumerate(document.schemas)}

    def once(name: str, loc: Loc, what: str) -> None:
        if name in named:
            problems.append({"loc": loc, "type": "value_error", "input": name,
                             "msg": f"{shown(name)} is also named by {named[name]}: a migration names a class once"})
        named.setdefault(name, what)

    for index, edit in enumerate(document.changes):
        where = ("changes", index)
        once(edit.class_name, where + ("class_name",), f"changes[{index}]")
        for part in ("add", "alter"):
            problems += _property_problems(getattr(edit, part), where + (part,))
        for name in sorted((set(edit.add) | set(edit.alter)) & set(edit.remove) | set(edit.add) & set(edit.alter)):
            problems.append({"loc": where, "type": "value_error", "input": name,
                             "msg": f"{shown(name)} is named twice among add, alter and remove"})
        if not any(p["loc"][:len(where)] == where for p in problems):
            for problem in schema_problems(ObjectSchema(properties={**edit.add, **edit.alter}), where, known_classes):
                loc = problem["loc"]
                if loc[len(where):len(where) + 1] == ("properties",):  # where the field is written
                    part = "add" if loc[len(where) + 1] in edit.add else "alter"
                    problem = {**problem, "loc": where + (part,) + loc[len(where) + 1:]}
                problems.append(problem)
    for old, new in document.rename.items():
        once(old, ("rename", old), f"rename[{shown(old)}]")
        once(new, ("rename", old), f"rename[{shown(old)}]")
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


def load_source(source: MigrationSource, known_classes: Collection[str] = (), validated: Validated | None = None
                ) -> None:
    """Read and validate a migration's file into ``source.document`` (and the checksum of the text
    it was read from into ``source.checksum``); a MigrationError as ``load_document`` says."""
    data = read_bytes(source.path)
    source.document = _document(data, source.path, known_classes, validated)
    source.checksum = content_checksum(data)


def load_document(path: Path, known_classes: Collection[str] = (), validated: Validated | None = None
                  ) -> MigrationDocument:
    """Read and validate one migration file; every problem in one error, each naming the file and the
    position. ``known_classes``: the project's class names, for the closest one to a misspelt type;
    ``validated``: the documents found valid before, which are read without checking them again."""
    return _document(read_bytes(path), path, known_classes, validated)


def _document(data: bytes, path: Path, known_classes: Collection[str], validated: Validated | None
              ) -> MigrationDocument:
    found = digest(data) if validated is not None else ""
    if validated is not None and found in validated:
        return _valid_document(json.loads(data))
    try:
        text = data.decode("utf-8").replace("\r\n", "\n").replace("\r", "\n")
    except UnicodeDecodeError as exc:
        raise MigrationError(f"{display_path(path)}: cannot read the file: {exc}") from None
    document = parse_document(text, display_path(path), known_classes)
    if validated is not None:
        validated.add(found)
    return document


def parse_document(text: str, where: str, known_classes: Collection[str] = ()) -> MigrationDocument:
    """Validate a migration document's text; every problem in one error, each naming ``where`` and
    the position."""
    try:
        raw = json.loads(text, parse_int=json_integer)
    except json.JSONDecodeError as exc:
        raise MigrationError(f"{where}:{exc.lineno}:{exc.colno}: invalid JSON: {exc.msg}") from None
    except RecursionError:
        raise MigrationError(f"{where}: nested too deeply: more levels of objects and arrays "
                             "than the JSON reader takes") from None
    raw = _without_schema_key(raw)
    document, problems = None, depth_problems(raw) or value_problems(raw)
    if not problems:
        problems = _raw_unknown_fields(raw)
        try:
            document = MigrationDocument.model_validate(raw)
        except ValidationError as exc:
            problems = [error for error in exc.errors() if not _ours(error)] + problems
        entries = list(enumerate(document.schemas)) if document is not None else _valid_entries(raw)
        problems += _entry_problems(entries, known_classes)
        if document is not None:
            problems += _edit_problems(document, known_classes)
    if problems:
        raise MigrationError("\n".join(f"{where}: {_describe(problem)}" for problem in problems))
    return _valid_document(raw, document)


def _valid_document(raw: Any, document: MigrationDocument | None = None) -> MigrationDocument:
    """The document of a file found valid (``document``, when just made)."""
    if document is None:
        document = MigrationDocument.model_validate(_without_schema_key(raw))
    for entry in document.schemas:  # no properties is an empty property map
        if entry.object_schema.properties is None:
            entry.object_schema.properties = {}
    return document


def _without_schema_key(raw: Any) -> Any:
    if isinstance(raw, dict) and isinstance(raw.get(SCHEMA_KEY), str):
        return {key: value for key, value in raw.items() if key != SCHEMA_KEY}
    return raw


def declared_classes(source: MigrationSource) -> list[str]:
    """The class names a migration defines, read without checking the rest of its file."""
    if source.document is not None:
        return sorted(source.defines())
    try:
        raw = json.loads(read_bytes(source.path).decode("utf-8"), parse_int=json_integer)
    except (MigrationError, UnicodeDecodeError, ValueError, RecursionError):
        return []
    return [name for entry in _lists(_dicts(raw).get("schemas"))
            if isinstance(name := _dicts(entry).get("class_name"), str)] + [
        name for name in _dicts(_dicts(raw).get("rename")).values() if isinstance(name, str)]


def load_problems(sources: list[MigrationSource], only: list[MigrationSource] | None = None) -> list[str]:
    """Load the files (``only`` these, when given) and check their references to the others:
    every problem of every file, a line each."""
    wanted = sources if only is None else only
    failed = []
    validated = Validated(settings.PROJECT_ROOT)
    for source in wanted:
        if source.document is None:
            try:
                load_source(source, validated=validated)
            except MigrationError:
                failed.append(source)
    validated.save()
    problems = []
    if failed:  # read again, with the project's class names for the closest one to a misspelt type
        known = {name for source in sources for name in declared_classes(source)}
        for source in failed:
            try:
                load_source(source, known)
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
    return problems


def load_all(sources: list[MigrationSource], only: list[MigrationSource] | None = None) -> None:
    """Load the files (``only`` these, when given) and check their references to
    the others; all problems in one error."""
    problems = load_problems(sources, only)
    if problems:
        raise problems_error(problems)
