"""Every operation, on its good and its failing paths, leaves the reference
counts of what it is given as they were and keeps nothing behind."""
import pytest

from velkor.migration import class_foundry
from velkor_models.schemas.data_models.core import DictSchema, TypeData
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData
from velkor_utils.models.enums import SchemaTypes

NESTED = DictSchema(key=TypeData(type="string"), value=TypeData(type="array", items=TypeData(type="Person")))
SCHEMA = ObjectSchema(
    properties={
        "a": PropertyData(type="dictionary", items=NESTED, default="it's"),
        "b": PropertyData(type="string", options=[{"value": "x"}, {"value": "é"}], default=3),
    },
    required=["a"],
    custom_code="import os\ndef f(self):\n    return os.sep\nY: int = 1\n",
)


def test_rendering_steps(registry, leak_check):
    registry._classes["Person"] = object
    prop, required, name = SCHEMA.properties["a"], SCHEMA.required, "a"
    leak_check(lambda: registry._render_property(name, prop, required), prop, required, name, registry)
    leak_check(lambda: registry._render_type_annotation("dictionary", NESTED), NESTED, registry)
    leak_check(lambda: registry._render_type_annotation("Pet", None), registry)
    leak_check(lambda: registry._get_all_types("dictionary", NESTED), NESTED)
    leak_check(lambda: registry._render_validators(SCHEMA), SCHEMA)
    leak_check(lambda: registry._resolve_class_inheritance(SCHEMA), SCHEMA)
    # The custom code parser and renderer fill caches of their own for a while.
    leak_check(lambda: registry._process_custom_code(SCHEMA.custom_code), SCHEMA.custom_code, warmup=3000)
    leak_check(lambda: registry._build_class_source(name, SCHEMA, SchemaTypes.APP), SCHEMA, name, warmup=3000)


@pytest.mark.parametrize(
    "operation, error",
    [
        (lambda r: r._render_property("a", SCHEMA.properties["a"], ("a",)), TypeError),
        (lambda r: r._render_type_annotation("string", NESTED), ValueError),
        (lambda r: r._render_type_annotation("", None), IndexError),
        (lambda r: r._resolve_class_inheritance(type("S", (), {"meta_class": 1, "type": 2})), TypeError),
        (lambda r: r._process_custom_code("def (:"), SyntaxError),
        (lambda r: r._build_class_source("A", ObjectSchema(), SchemaTypes.APP), AttributeError),
        (lambda r: r._render_validators(ObjectSchema(properties={"b": PropertyData(type="s", options=[{"value": object()}])})), TypeError),
    ],
)
def test_failing_steps(registry, leak_check, operation, error):
    leak_check(leak_check.raising(error, lambda: operation(registry)), registry)


class Plain(class_foundry.DefaultMigrationSchemas):
    def _build_class_source(self, class_name, schema, schema_type):
        return "", f"class {class_name}:\n    model_rebuild = classmethod(lambda cls: None)\n    {schema}"


def test_compiles(use_templates, leak_check):
    registry = use_templates(Plain(), layout="{{imports}}\n{{classes}}\n{{classes_model_rebuild}}")
    name, good, bad = "A", "x = 1", "1 / 0"

    def compile_(body):
        registry.register_model(name, body, SchemaTypes.APP)
        registry.register_model("B", body, SchemaTypes.APP)
        try:
            registry.compile_buffered_classes()
        finally:
            registry._buffered_classes.clear()
            registry.unregister_model(name)

    leak_check(lambda: compile_(good), registry, name, good)
    leak_check(leak_check.raising(ZeroDivisionError, lambda: compile_(bad)), registry, name, bad)
