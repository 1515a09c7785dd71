"""The JSON Schema of a migration file, for editors: built from the runner's own
patterns and reserved names, and shipped as ``schema.json`` beside this module
(``velkor-migrate schema`` prints it).

It says what one file alone can show; whether a class name exists, and the
nesting limit, are left to the runner.

    python -m velkor.migration.runner.source.file_schema > src/velkor/migration/runner/source/schema.json
"""
from __future__ import annotations

import json
import re
import sys
from pathlib import Path
from typing import Any

from velkor_models.enums import MetaClasses
from velkor_models.schemas.enums import CoreTypes
from velkor_utils.models.enums import SchemaTypes

from velkor.migration.runner.source.document import PROPERTY_NAME, REFERENCE
from velkor.migration.runner.source.reserved_names import CLASS_NAME, PYDANTIC_PREFIX, generated_module
from velkor.migration.runner.source.validation import OPTION_TYPES, PROPERTY_TYPES, SCALARS, TEXT_ONLY

SCHEMA_PATH = Path(__file__).with_name("schema.json")
LARGEST = sys.float_info.max  # a number default is finite
JSON_TYPES = {CoreTypes.STRING.value: "string", CoreTypes.INTEGER.value: "integer",
              CoreTypes.NUMBER.value: "number", CoreTypes.BOOLEAN.value: "boolean"}


def _ref(name: str) -> dict[str, str]:
    return {"$ref": f"#/$defs/{name}"}


def _nullable(schema: dict[str, Any]) -> dict[str, Any]:
    return {"anyOf": [{"type": "null"}, schema]}


def _when_type(condition: dict[str, Any], then: dict[str, Any]) -> dict[str, Any]:
    return {"if": {"properties": {"type": condition}, "required": ["type"]}, "then": then}


def _value(core: str) -> dict[str, Any]:
    schema: dict[str, Any] = {"type": JSON_TYPES[core]}
    if core == CoreTypes.NUMBER.value:
        schema.update(minimum=-LARGEST, maximum=LARGEST)
    if core == CoreTypes.STRING.value:
        return _ref("text")
    return schema


def build() -> dict[str, Any]:
    module = generated_module()
    bases = module.framework_bases
    placeholders = "|".join(re.escape(token) for token in sorted(module.placeholders))
    no_default = {"properties": {"default": {"type": "null"}}}
    no_options = {"properties": {"options": _nullable({"type": "array", "maxItems": 0})}}
    rules = [
        _when_type({"const": CoreTypes.ARRAY.value}, {"required": ["items"], "properties": {
            "items": _ref("typeData"), "default": _nullable({"type": "array"})}}),
        _when_type({"const": CoreTypes.DICTIONARY.value}, {"required": ["items"], "properties": {
            "items": {"oneOf": [_ref("dictSchema"), _ref("legacyDictSchema")]},
            "default": _nullable({"type": "object"})}}),
        _when_type({"not": {"enum": list(PROPERTY_TYPES[len(SCALARS):])}},
                   {"properties": {"items": {"type": "null"}}}),
        _when_type({"not": {"enum": list(OPTION_TYPES) + [CoreTypes.ARRAY.value]}}, no_options),
        _when_type({"not": {"enum": list(PROPERTY_TYPES)}}, no_default),
    ]
    rules += [_when_type({"enum": list(TEXT_ONLY)}, no_default)]
    rules += [_when_type({"const": core}, {"properties": {
        "default": _nullable(_value(core)),
        "options": _nullable({"type": "array", "items": {"properties": {"value": _value(core)}}})}})
        for core in OPTION_TYPES]
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "title": "velkor migration file",
        "description": "A file NNNN_name.json in app/migrations/ or contrib/<module>/migrations/: the model "
                       "classes that one migration introduces or changes. Whether a class name exists is "
                       "checked by velkor-migrate check.",
        "type": "object",
        "additionalProperties": False,
        "required": ["schemas"],
        "properties": {
            "$schema": {"type": "string", "description": "The address of this JSON Schema, for editors; "
                                                         "the runner ignores it"},
            "description": _nullable(_ref("text")),
            "depends_on": {"type": "array", "items": {"type": "string", "pattern": f"^{REFERENCE.pattern}$"},
                           "description": "Migrations that must apply before this one: [module:]NUMBER"},
            "schemas": {"type": "array", "items": _ref("entry"), "description": "Classes defined whole"},
            "changes": {"type": "array", "items": _ref("classEdit"),
                        "description": "Classes changed by naming only what changes, against their definition before"},
            "rename": {"type": "object", "propertyNames": _ref("className"),
                       "additionalProperties": _ref("className"),
                       "description": "Classes renamed: the old name to the new one"},
            "retire": {"type": "array", "items": _ref("className"), "description": "Classes retired"},
        },
        "$defs": {
            "text": {"type": "string", "not": {"pattern": placeholders},
                     "description": "Text without a placeholder of the class templates"},
            "className": {"type": "string", "pattern": f"^{CLASS_NAME.pattern}$",
                          "not": {"enum": sorted(n for n in module.class_names if CLASS_NAME.fullmatch(n))}},
            "classReference": {"type": "string", "pattern": f"^{CLASS_NAME.pattern}$", "not": {"enum": sorted(
                n for n in module.class_names if CLASS_NAME.fullmatch(n) and n not in bases)}},
            "propertyName": {"type": "string", "pattern": f"^{PROPERTY_NAME.pattern}$", "not": {"anyOf": [
                {"enum": sorted(module.property_names)}, {"pattern": f"^{PYDANTIC_PREFIX}"}]}},
            "entry": {
                "type": "object", "additionalProperties": False, "required": ["class_name", "schema"],
                "properties": {
                    "class_name": _ref("className"),
                    "schema_type": _nullable({"enum": [member.value for member in SchemaTypes]}),
                    "schema": _ref("objectSchema"),
                },
            },
            "classEdit": {
                "type": "object", "additionalProperties": False, "required": ["class_name"],
                "properties": {
                    "class_name": _ref("className"),
                    "add": {"type": "object", "propertyNames": _ref("propertyName"),
                            "additionalProperties": _ref("property"), "description": "New fields"},
                    "alter": {"type": "object", "propertyNames": _ref("propertyName"),
                              "additionalProperties": _ref("property"), "description": "Fields defined anew, whole"},
                    "remove": {"type": "array", "items": {"type": "string"}, "description": "Fields dropped"},
                    "required": _nullable({"type": "array", "items": {"type": "string"}}),
                },
            },
            "objectSchema": {
                "type": "object", "additionalProperties": False,
                "properties": {
                    "type": {"anyOf": [{"const": CoreTypes.OBJECT.value}, _ref("classReference")],
                             "description": 'The base class: "object", or a model class'},
                    "meta_class": {"enum": [member.value for member in MetaClasses]},
                    "properties": _nullable({"type": "object", "propertyNames": _ref("propertyName"),
                                             "additionalProperties": _ref("property")}),
                    "required": {"type": "array", "items": {"type": "string"}},
                    "custom_code": _nullable(_ref("text")),
                    "description": _nullable(_ref("text")),
                },
                "if": {"properties": {"meta_class": {"const": MetaClasses.TYPE.value}}, "required": ["meta_class"]},
                "then": {"properties": {"type": {"const": CoreTypes.OBJECT.value}}},
            },
            "typeName": {"anyOf": [{"enum": list(PROPERTY_TYPES)}, _ref("classReference")]},
            "property": {
                "type": "object", "additionalProperties": False, "required": ["type"],
                "properties": {
                    "type": _ref("typeName"),
                    "items": {},
                    "default": {},
                    "options": _nullable({"type": "array", "items": _ref("option")}),
                    "description": _nullable(_ref("text")),
                },
                "allOf": rules,
            },
            "typeData": {
                "type": "object", "additionalProperties": False, "required": ["type"],
                "properties": {"type": _ref("typeName"), "items": {}},
                "allOf": rules[:3],
            },
            "dictSchema": {
                "type": "object", "additionalProperties": False, "required": ["key", "value"],
                "properties": {"key": {"allOf": [_ref("typeData"), {"properties": {"type": {"enum": list(SCALARS)}}}]},
                               "value": _ref("typeData")},
            },
            "legacyDictSchema": {
                "type": "object", "additionalProperties": False, "required": ["key_type", "value_type"],
                "properties": {"key_type": {"enum": list(SCALARS)},
                               "value_type": {"anyOf": [{"enum": list(SCALARS)}, _ref("classReference")]}},
            },
            "option": {
                "type": "object", "additionalProperties": False, "required": ["value"],
                "properties": {"value": {}, "label": _nullable(_ref("text"))},
            },
        },
    }


# The shipped schema.json is built on the oldest interpreter the package
# supports; a newer one may reserve a few more names (its new built-ins).
BUILT_ON = (3, 11)


def text() -> str:
    return json.dumps(build(), indent=2, allow_nan=False) + "\n"


if __name__ == "__main__":
    sys.stdout.write(text())
