"""Schemas in, live pydantic classes out, with the real templates."""
from datetime import date

import pytest
from pydantic import ValidationError

from velkor.migration.class_foundry import DefaultMigrationSchemas
from velkor_models.classes.model import LegacyModel, Model, TypeModel
from velkor_models.enums import MetaClasses
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData
from velkor_models.schemas.utils.schema_fingerprint import calculate_schema_fingerprint
from velkor_utils.classes.version_manager import ClassVersionManager
from velkor_utils.models.data_models.reference import Reference, ReferenceData
from velkor_utils.models.enums import SchemaTypes

P = PropertyData
PERSON = ObjectSchema(
    properties={
        "name": P(type="string"),
        "age": P(type="integer", default=0),
        "height": P(type="number"),
        "active": P(type="boolean", default=True),
        "note": P(type="string", default="it's C:\\new"),
        "born": P(type="date"),
        "nicknames": P(type="array", items={"type": "string"}),
        "scores": P(type="dictionary", items={"key": {"type": "string"}, "value": {"type": "array", "items": {"type": "integer"}}}),
        "labels": P(type="dictionary", items={"key_type": "string", "value_type": "string"}),
        "color": P(type="string", options=[{"value": "red"}, {"value": "green"}]),
        "tags": P(type="array", items={"type": "string"}, options=[{"value": "a"}, {"value": "b"}]),
        "employer": P(type="Company"),
        "pet": P(type="Pet"),
        "home": P(type="Address"),
    },
    required=["name", "born"],
    custom_code="import math\nfrom typing import ClassVar\n\nKIND: ClassVar[str] = 'person'\n\ndef pi(self) -> float:\n    return round(math.pi, 2)\n",
)


@pytest.fixture(scope="module")
def world():
    registry = DefaultMigrationSchemas()
    registry.register_model("Company", ObjectSchema(properties={"name": P(type="string")}, required=["name"]), SchemaTypes.CONTRIB)
    registry.compile_buffered_classes()
    address = ObjectSchema(meta_class=MetaClasses.TYPE, properties={"street": P(type="string")}, required=["street"])
    registry.register_model("Address", address, SchemaTypes.APP)
    registry.register_model("Person", PERSON, SchemaTypes.APP)
    registry.register_model("Pet", ObjectSchema(properties={"name": P(type="string")}, required=["name"]), SchemaTypes.APP)
    registry.register_model("Employee", ObjectSchema(type="Person", properties={"salary": P(type="number")}, required=["salary"]), SchemaTypes.APP)
    registry.compile_buffered_classes()
    return registry


def test_the_classes(world):
    Person, Employee = world.get_model("Person"), world.get_model("Employee")
    assert issubclass(world.get_model("Address"), TypeModel) and issubclass(Person, Model)
    assert issubclass(Employee, Person) and Employee.schema_type is SchemaTypes.APP
    assert world.get_model("Company").schema_type is SchemaTypes.CONTRIB
    assert Person.schema_fingerprint == calculate_schema_fingerprint(PERSON)
    assert {"schema_type", "schema_fingerprint", "KIND"}.isdisjoint(Person.model_fields)


def test_good_data(world):
    Person, Company = world.get_model("Person"), world.get_model("Company")
    person = Person(
        name="Ann", born="2020-01-02", scores='{"x": [1, 2]}', labels={"k": "v"}, color="red",
        tags=["a", "b"], employer=Company(name="C"), pet={"name": "Rex"}, home={"street": "Main"},
    )
    assert (person.age, person.active, person.height, person.note) == (0, True, None, "it's C:\\new")
    assert (person.born, person.scores, person.pi(), person.KIND) == (date(2020, 1, 2), {"x": [1, 2]}, 3.14, "person")
    assert type(person.pet) is world.get_model("Pet") and person.home.street == "Main"
    reference = Reference(ref=ReferenceData(resource="r", class_name="Company", object_id="1"))
    for employer in [reference, LegacyModel(id="1")]:
        assert Person(name="B", born=date.today(), employer=employer).employer == employer
    assert world.get_model("Employee")(name="E", born=date.today(), salary=1.5).salary == 1.5


DROP = object()


@pytest.mark.parametrize(
    "data, message",
    [
        ({"name": DROP}, "name\n  Field required"),
        ({"color": "blue"}, "color must be one of ['red', 'green'], not 'blue'"),
        ({"tags": ["a", "z"]}, "tags must be one of ['a', 'b'], not 'z'"),
        ({"scores": 5}, "scores must be a dictionary or the JSON text of one, not int"),
        ({"scores": "{"}, "scores must be a dictionary or the JSON text of one; the text is not valid JSON"),
        ({"scores": '"text"'}, "scores must be a dictionary or the JSON text of one, not str"),
        ({"scores": '{"x": ["y"]}'}, "scores.x.0\n  Input should be a valid integer"),
        ({"age": "old"}, "age\n  Input should be a valid integer"),
        ({"pet": {"kind": 1}}, "pet.name\n  Field required"),
    ],
)
def test_bad_data(world, data, message):
    payload = {"name": "Ann", "born": "2020-01-01", **data}
    with pytest.raises(ValidationError) as caught:
        world.get_model("Person")(**{key: value for key, value in payload.items() if value is not DROP})
    assert message in str(caught.value)


def test_a_recompile_replaces_a_class(world):
    old = world.get_model("Pet")
    world.register_model("Pet", ObjectSchema(properties={"legs": P(type="integer")}, required=["legs"]), SchemaTypes.APP)
    world.compile_buffered_classes()
    new = world.get_model("Pet")
    assert new is not old and new(legs=4).legs == 4 and "name" not in new.model_fields
    assert ClassVersionManager().get_versions("Pet") == ["latest"]


OPTION_VALUES = ["'''", '"""', "a\\b", '\\"', 'q"u\'o', "é", "😀", "\u2028", "{{class_name}}", "a\nb", 1, 2.5, None]


def test_option_values_survive_exactly(registry):
    schema = ObjectSchema(properties={"v": P(type="string", options=[{"value": v} for v in OPTION_VALUES])})
    registry.register_model("Exact", schema, SchemaTypes.APP)
    registry.compile_buffered_classes()
    Exact = registry.get_model("Exact")
    for value in OPTION_VALUES:
        if isinstance(value, str):
            assert Exact(v=value).v == value
    with pytest.raises(ValidationError) as caught:
        Exact(v="a\\\\b")
    assert f"v must be one of {OPTION_VALUES!r}, not 'a\\\\\\\\b'" in str(caught.value)
