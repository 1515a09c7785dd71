"""Checks of one migration file beyond its records' own: every name and value
stands in the generated source as what it claims to be.

A type name is a core type or a class name; a property or class name does not
clash with a name the generated module relies on; a default or an option fits
its property's type; no text carries a template placeholder; nesting is
bounded. Whether a class name exists is a question about the whole project:
``references`` answers it.
"""
from __future__ import annotations

import ast
import math
from collections.abc import Collection, Iterator
from typing import Any

from velkor_models.enums import MetaClasses
from velkor_models.schemas.data_models.core import DictSchema, LegacyDictSchema, TypeData
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData
from velkor_models.schemas.enums import CoreTypes

from velkor.migration.runner.errors import cut, did_you_mean, shown
from velkor.migration.runner.source.reserved_names import CLASS_NAME, generated_module, reserved_class, reserved_property

Loc = tuple[Any, ...]
MAX_JSON_DEPTH = 100  # levels of JSON objects and arrays in a file
MAX_NESTING = 32  # arrays and dictionaries inside one another in one type description
# Integers of a file are stored as signed 64-bit integers.
INTEGER_RANGE = (-(1 << 63), (1 << 63) - 1)
MAX_VALUE_PROBLEMS = 10  # reported of one file; the first ones say what to fix
SCALARS = tuple(core.value for core in CoreTypes if core not in (CoreTypes.ARRAY, CoreTypes.DICTIONARY, CoreTypes.OBJECT))
COLLECTIONS = (CoreTypes.ARRAY.value, CoreTypes.DICTIONARY.value)
PROPERTY_TYPES = SCALARS + COLLECTIONS
OPTION_TYPES = (CoreTypes.STRING.value, CoreTypes.INTEGER.value, CoreTypes.NUMBER.value, CoreTypes.BOOLEAN.value)
TEXT_ONLY = (CoreTypes.DATE.value, CoreTypes.DATETIME.value)  # a JSON value of these would stay text


def problem(loc: Loc, message: str) -> dict[str, Any]:
    return {"loc": loc, "type": "value_error", "input": None, "msg": message}


def is_class_name(name: str) -> bool:
    """A name that may stand for a model class: shaped like one, and a framework base or not reserved."""
    return bool(CLASS_NAME.fullmatch(name)) and (
        name in generated_module().framework_bases or reserved_class(name) is None)


def _not_a_type(name: str, allowed: tuple[str, ...], classes: bool = True, known: Collection[str] = ()) -> str:
    if not classes:
        return (f"{shown(name)} cannot be a dictionary's key type{did_you_mean(name, allowed)}: "
                f"write a core type ({', '.join(allowed)})")
    why = ""
    if CLASS_NAME.fullmatch(name) and reserved_class(name):
        why = f" ({reserved_class(name)}; it is not a model class)"
    return (f"{shown(name)} is not a type{why}{did_you_mean(name, [*allowed, *known])}: write a core type "
            f"({', '.join(allowed)}) or the name of a model class")


# -- the raw JSON ----------------------------------------------------------


def depth_problems(raw: Any) -> list[dict[str, Any]]:
    """A file nested deeper than any schema needs, found before anything recurses into it."""
    stack: list[tuple[Any, Loc]] = [(raw, ())]
    while stack:
        value, loc = stack.pop()
        if len(loc) >= MAX_JSON_DEPTH:
            return [problem(loc[:6], f"nested too deeply: more than {MAX_JSON_DEPTH} levels of objects and arrays")]
        if isinstance(value, dict):
            stack.extend((item, loc + (str(key),)) for key, item in value.items())
        elif isinstance(value, list):
            stack.extend((item, loc + (index,)) for index, item in enumerate(value))
    return []


class LongInteger:
    """An integer of the file with more digits than any 64-bit integer, kept
    as its text: Python would refuse to convert thousands of digits."""

    def __init__(self, text: str) -> None:
        self.text = text


def json_integer(text: str) -> int | LongInteger:
    """The JSON reader's conversion of an integer (``parse_int``)."""
    return int(text) if len(text) <= 20 else LongInteger(text)


def _escaped(text: str) -> str:
    """Text with a lone surrogate written as its escape, so that it can be printed."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _not_unicode(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


def value_problems(raw: Any) -> list[dict[str, Any]]:
    """Values no store takes, found before anything else reads them: integers
    beyond 64 bits, and text holding a lone surrogate (``"\\udc80"``), which
    is no character and cannot be written as UTF-8."""
    low, high = INTEGER_RANGE
    problems = []
    stack: list[tuple[Any, Loc]] = [(raw, ())]
    while stack and len(problems) < MAX_VALUE_PROBLEMS:
        value, loc = stack.pop()
        if isinstance(value, dict):
            for key, item in reversed(value.items()):
                name = _escaped(key)
                if _not_unicode(key):
                    problems.append(problem(loc + (name,), f"the name {cut(name)} holds a lone surrogate, "
                                                           "which is not a character: write it in UTF-8"))
                stack.append((item, loc + (name,)))
        elif isinstance(value, list):
            stack.extend((item, loc + (index,)) for index, item in reversed(list(enumerate(value))))
        elif isinstance(value, str) and _not_unicode(value):
            problems.append(problem(loc, f"the text {cut(_escaped(value))} holds a lone surrogate, "
                                         "which is not a character: write it in UTF-8"))
        elif isinstance(value, LongInteger) or (isinstance(value, int) and not isinstance(value, bool)
                                                and not low <= value <= high):
            text = value.text if isinstance(value, LongInteger) else str(value)
            problems.append(problem(loc, f"the integer {cut(text, 30)} does not fit in "
                                         f"64 bits: an integer is from {low} to {high}"))
    return problems


# -- one schema --------------------------------------------------------------


def _nesting(type_name: str, items: Any) -> int:
    """How many arrays and dictionaries a type description holds inside one another."""
    depth = 0
    while items is not None and depth <= MAX_NESTING:
        depth += 1
        if isinstance(items, TypeData):
            items = items.items
        elif isinstance(items, DictSchema):
            items = items.value.items if items.value.items is not None else items.key.items
        else:
            break
    return depth


def type_names(type_name: str, items: Any, loc: Loc, key: bool = False
                ) -> Iterator[tuple[str, Loc, tuple[str, ...], bool]]:
    """Every type name of a description with its location, the core types allowed there and
    whether a class is (a dictionary's key is of a core type, and so are a legacy dictionary's)."""
    yield type_name, loc + ("type",), SCALARS if key else PROPERTY_TYPES, not key
    if isinstance(items, TypeData):
        yield from type_names(items.type, items.items, loc + ("items",))
    elif isinstance(items, DictSchema):
        yield from type_names(items.key.type, items.key.items, loc + ("items", "key"), key=True)
        yield from type_names(items.value.type, items.value.items, loc + ("items", "value"))
    elif isinstance(items, LegacyDictSchema):
        yield items.key_type, loc + ("items", "key_type"), SCALARS, False
        yield items.value_type, loc + ("items", "value_type"), SCALARS, True


def class_references(schema: ObjectSchema) -> Iterator[tuple[str, Loc]]:
    """The class names a schema uses, with where: its base class, then its properties' types."""
    if schema.meta_class != MetaClasses.TYPE and schema.type != CoreTypes.OBJECT.value:
        yield schema.type, ("type",)
    for name, prop in (schema.properties or {}).items():
        for type_name, loc, _, _ in type_names(prop.type, prop.items, ("properties", name)):
            if type_name not in PROPERTY_TYPES:
                yield type_name, loc


def _type_problems(schema: ObjectSchema, where: Loc, known: Collection[str]) -> list[dict[str, Any]]:
    problems = []
    if schema.type != CoreTypes.OBJECT.value:
        if schema.meta_class == MetaClasses.TYPE:
            problems.append(problem(where + ("type",), 'a type (meta_class "type") derives from TypeModel: '
                                    f'its "type" must be "object", not {shown(schema.type)}'))
        elif not is_class_name(schema.type):
            problems.append(problem(where + ("type",), f'{shown(schema.type)} is not a base class'
                                    f'{did_you_mean(schema.type, ["object", *known])}: write '
                                    '"object" or the name of a model class'))
    for name, prop in (schema.properties or {}).items():
        loc = where + ("properties", name)
        if _nesting(prop.type, prop.items) > MAX_NESTING:
            problems.append(problem(loc, f"arrays and dictionaries nested more than {MAX_NESTING} deep"))
            continue
        for type_name, type_loc, allowed, classes in type_names(prop.type, prop.items, loc):
            if type_name not in allowed and not (classes and is_class_name(type_name)):
                problems.append(problem(type_loc, _not_a_type(type_name, allowed, classes, known)))
    return problems


def _fits(value: Any, type_name: str, items: Any) -> str | None:
    """How ``value`` fails its type, to follow the value in a message ("is not a whole number"), or None."""
    if type_name == CoreTypes.STRING.value:
        return None if isinstance(value, str) else "is not a text"
    if type_name == CoreTypes.INTEGER.value:
        return None if isinstance(value, int) and not isinstance(value, bool) else "is not a whole number"
    if type_name == CoreTypes.NUMBER.value:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            return "is not a number"
        return None if math.isfinite(value) else "is not a finite number"
    if type_name == CoreTypes.BOOLEAN.value:
        return None if isinstance(value, bool) else "is not true or false"
    if type_name in TEXT_ONLY:
        return f"cannot stand for a {type_name}: the instance would hold it as it is, not as a {type_name}"
    if type_name == CoreTypes.ARRAY.value and isinstance(items, TypeData):
        if not isinstance(value, list):
            return "is not an array"
        for element in value:
            reason = _fits(element, items.type, items.items)
            if reason:
                return f"holds {shown(element, 30)}, which {reason}"
        return None
    if type_name == CoreTypes.DICTIONARY.value and isinstance(items, (DictSchema, LegacyDictSchema)):
        if not isinstance(value, dict):
            return "is not a dictionary"
        key, val = ((items.key.type, items.key.items), (items.value.type, items.value.items)) if isinstance(
            items, DictSchema) else ((items.key_type, None), (items.value_type, None))
        for k, v in value.items():
            reason = _fits(k, *key)
            if reason:
                return f"has the key {shown(k, 30)}, which {reason}"
            reason = _fits(v, *val)
            if reason:
                return f"holds {shown(v, 30)}, which {reason}"
        return None
    return f"cannot stand for a {type_name}: a property of a model class has no default"


def _texts(value: Any) -> Iterator[str]:
    stack = [value]
    while stack:
        value = stack.pop()
        if isinstance(value, str):
            yield value
        elif isinstance(value, dict):
            stack.extend(value.keys())
            stack.extend(value.values())
        elif isinstance(value, list):
            stack.extend(value)


def placeholder_problems(value: Any, loc: Loc) -> list[dict[str, Any]]:
    """Text holding a placeholder of the templates, which the generated source would replace."""
    tokens = generated_module().placeholders
    for text in _texts(value):
        for token in tokens:
            if token in text:
                return [problem(loc, f"contains {token}, a placeholder of the class templates that "
                                     "the generated source would replace: write it another way")]
    return []


def _value_problems(prop: PropertyData, loc: Loc) -> list[dict[str, Any]]:
    problems = []
    element = prop.items if prop.type == CoreTypes.ARRAY.value and isinstance(prop.items, TypeData) else None
    if prop.default is not None:
        reason = _fits(prop.default, prop.type, prop.items)
        if reason:
            problems.append(problem(loc + ("default",), f"the default {shown(prop.default)} {reason}"))
        problems += placeholder_problems(prop.default, loc + ("default",))
    if prop.options:
        option_type = element.type if element and element.items is None else prop.type
        if option_type not in OPTION_TYPES:
            problems.append(problem(loc + ("options",), "options are for a string, integer, number or boolean "
                                    "property, or an array of them"))
            return problems
        values = []
        for index, option in enumerate(prop.options):
            reason = _fits(option.value, option_type, None)
            if reason:
                problems.append(problem(loc + ("options", index, "value"),
                                        f"the option {shown(option.value)} {reason}"))
            problems += placeholder_problems([option.value, option.label], loc + ("options", index))
            values.append(option.value)
        defaults = prop.default if element and isinstance(prop.default, list) else [prop.default]
        for value in defaults:
            if value is not None and not problems and value not in values:
                problems.append(problem(loc + ("default",), f"the default {shown(value)} is not one of the "
                                        f"options {shown(values)}"))
    problems += placeholder_problems(prop.description, loc + ("description",))
    return problems


def _custom_code_problems(schema: ObjectSchema, loc: Loc) -> list[dict[str, Any]]:
    """Custom code that would replace a property or a name the generated class or module relies on."""
    try:
        tree = ast.parse(schema.custom_code or "")
    except (SyntaxError, ValueError):
        return []  # the compile step names the line
    module = generated_module()
    problems = []
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                name = alias.asname or alias.name.split(".")[0]
                binding = (alias.name, None) if isinstance(node, ast.Import) else (node.module or "", alias.name)
                if name in module.imports and module.imports[name] != binding:
                    problems.append(problem(loc, f"custom code imports {shown(name)}, which the generated module "
                                                 "imports from elsewhere: import it under another name"))
            continue
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names = [node.name]
        elif isinstance(node, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
            targets = node.targets if isinstance(node, ast.Assign) else [node.target]
            names = [t.id for target in targets for t in ast.walk(target) if isinstance(t, ast.Name)]
        else:
            names = []
        for name in names:
            if name in (schema.properties or {}):
                problems.append(problem(loc, f"custom code defines {shown(name)}, which is also a property: "
                                             "the property would be replaced"))
            elif name in module.class_level:
                problems.append(problem(loc, f"custom code defines {shown(name)}, which the generated class "
                                             "uses itself"))
    return problems


def schema_problems(schema: ObjectSchema, where: Loc, known_classes: Collection[str] = ()) -> list[dict[str, Any]]:
    """Everything wrong with one class schema that the file alone shows; ``where`` is its location.
    ``known_classes``: the project's class names, for the closest one to a misspelt type."""
    problems = _type_problems(schema, where, known_classes)
    for name, prop in (schema.properties or {}).items():
        loc = where + ("properties", name)
        reason = reserved_property(name)
        if reason:
            problems.append(problem(loc, f"{shown(name)} is reserved: {reason}"))
        if not any(p["loc"][:len(loc)] == loc for p in problems):
            problems += _value_problems(prop, loc)
    problems += placeholder_problems(schema.description, where + ("description",))
    problems += placeholder_problems(schema.custom_code, where + ("custom_code",))
    problems += _custom_code_problems(schema, where + ("custom_code",))
    return problems
