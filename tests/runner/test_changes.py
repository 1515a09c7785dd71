"""How a class's fields differ between two definitions, as plan tells it."""
import pytest

from velkor_models.schemas.data_models.schema import ObjectSchema

from velkor.migration.runner.classes.field_changes import class_changes, field_changes, type_text

STRING = {"type": "string"}


def schema(required=(), **properties):
    return ObjectSchema.model_validate({"properties": properties, "required": list(required)})


@pytest.mark.parametrize("before, after, lines", [
    (schema(a=STRING), schema(a=STRING), []),
    (schema(a=STRING), schema(a=STRING, b={"type": "integer", "default": 3}), ["+ b: integer, default 3"]),
    (schema(a=STRING, b={"type": "date"}), schema(a=STRING), ["- b: date"]),
    (schema(a=STRING), schema(a={"type": "array", "items": STRING}), ["~ a: type string -> string[]"]),
    (schema(a=STRING), schema(["a"], a=STRING), ["~ a: now required"]),
    (schema(["a"], a=STRING), schema(a=STRING), ["~ a: now optional"]),
    (schema(a={"type": "boolean", "default": True}), schema(a={"type": "integer", "default": 1}),
     ["~ a: type boolean -> integer; default true -> 1"]),  # 1 == True in Python, not in a migration file
    (schema(a={"type": "number", "default": 1}), schema(a={"type": "number", "default": 1.5}),
     ["~ a: default 1 -> 1.5"]),
    (schema(a=STRING), schema(a={"type": "string", "default": "x"}), ['~ a: default none -> "x"']),
    (schema(a={"type": "string", "options": [{"value": "x"}]}),
     schema(a={"type": "string", "options": [{"value": "x", "label": "X"}, {"value": "y"}]}),
     ['~ a: options ["x"] -> ["x", "y"]']),
    # the two ways to write a dictionary of the same types are one type
    (schema(a={"type": "dictionary", "items": {"key_type": "string", "value_type": "number"}}),
     schema(a={"type": "dictionary", "items": {"key": STRING, "value": {"type": "number"}}}), []),
    (schema(a={"type": "dictionary", "items": {"key": STRING, "value": {"type": "array", "items": {"type": "X"}}}}),
     schema(a={"type": "dictionary", "items": {"key": STRING, "value": {"type": "X"}}}),
     ["~ a: type dict[string, X[]] -> dict[string, X]"]),
])
def test_field_changes(before, after, lines):
    assert [change.describe() for change in field_changes(before, after)] == lines


@pytest.mark.parametrize("before, after, lines", [
    ({}, {"type": "Customer"}, ["~ derives from Customer (was Model)"]),
    ({}, {"meta_class": "type"}, ["~ derives from TypeModel (was Model)", "~ now a type (was a class)"]),
    ({"custom_code": "x = 1\n"}, {"custom_code": "x = 1"}, []),
    ({"custom_code": "x = 1\n"}, {}, ["~ custom code changed"]),
])
def test_class_changes(before, after, lines):
    old, new = ObjectSchema.model_validate(before), ObjectSchema.model_validate(after)
    assert [change.describe() for change in class_changes(old, new)] == lines


def test_type_text_of_nested_collections():
    prop = schema(a={"type": "array", "items": {"type": "dictionary", "items": {
        "key": {"type": "integer"}, "value": {"type": "array", "items": {"type": "OrderLine"}}}}}).properties["a"]
    assert type_text(prop.type, prop.items) == "dict[integer, OrderLine[]][]"
