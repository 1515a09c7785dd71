import pytest
from pydantic import ValidationError

from velkor.migration.data_classes import ModuleTypes
from velkor.migration.utils import map_module_type_to_schema_type
from velkor_data.manager import VelkorDataManager
from velkor_models.classes.builder.ast_generator.data_models import CustomCodeAst
from velkor_models.schemas.data_models.core import DictSchema, LegacyDictSchema, TypeData
from velkor_models.schemas.data_models.schema import ObjectSchema
from velkor_models.schemas.utils.schema_fingerprint import calculate_schema_fingerprint
from velkor_utils.classes.version_manager import ClassVersionManager
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.reference import Reference, ReferenceData
from velkor_utils.models.enums import SchemaTypes
from velkor_utils.query.utils import Q
from velkor_utils.utils.identifier import get_identifier


@pytest.mark.parametrize("text, fields", [
    ("resource#Migration", {"resource": "resource", "class_name": "Migration"}),
    ("resource#Metadata::ID", {"resource": "resource", "class_name": "Metadata", "object_id": "ID"}),
    ("repo#Person:v2:P1:V7", {"resource": "repo", "class_name": "Person", "class_version": "v2",
                              "object_id": "P1", "object_version": "V7"}),
    ("#Person", {"class_name": "Person"}),
])
def test_address_text_round_trip(text, fields):
    address = Address.from_string(text)
    assert address == Address(**fields)
    assert str(address) == text
    assert Address(**address.model_dump()) == address
    assert Address.model_validate_json(address.model_dump_json()) == address


@pytest.mark.parametrize("text", ["Migration", "a#b#c", "r#A:1:2:3:4"])
def test_malformed_address_text_is_named(text):
    with pytest.raises(ValueError, match="malformed address") as error:
        Address.from_string(text)
    assert repr(text) in str(error.value)


def test_address_parts_may_not_hold_separators():
    with pytest.raises(ValidationError, match="object_id"):
        Address(object_id="a:b")


def test_reference_accepts_address_fields():
    address = Address.from_string("resource#Migration:latest")
    reference = Reference(ref=ReferenceData(**address.model_dump()))
    assert reference.ref.class_version == "latest"


def test_identifiers_are_unique_and_ordered():
    identifiers = [get_identifier() for _ in range(20_000)]
    assert len(set(identifiers)) == len(identifiers)
    assert identifiers == sorted(identifiers)
    assert all(type(i) is str and len(i) == 26 for i in identifiers[:10])


def test_class_versions_are_process_wide():
    ClassVersionManager().register_class_version("Person", "v1")
    ClassVersionManager().register_class_version("Person", "v2", is_latest=True, unregister_previous_versions=False)
    ClassVersionManager().register_class_version("Person", "v0", is_latest=False)
    manager = ClassVersionManager()
    assert manager.get_versions("Person") == ["v1", "v2", "v0"]
    assert manager.get_latest("Person") == "v2"
    manager.register_class_version("Person", "v3", unregister_previous_versions=True)
    assert ClassVersionManager().get_versions("Person") == ["v3"]


ROW = {"number": 3, "_metadata": {"is_deleted": False, "next_version": None, "address": {"object_id": "A"}}}


@pytest.mark.parametrize("lookups, expected", [
    ({}, True),
    ({"_metadata__is_deleted": False, "_metadata__next_version__isnull": True}, True),
    ({"_metadata__is_deleted": True}, False),
    ({"_metadata__next_version__isnull": False}, False),
    ({"_metadata__prior_version__isnull": True}, True),  # a missing key counts as null
    ({"_metadata__address__object_id": "A", "number__exact": 3}, True),
    ({"number": 4}, False),
    ({"missing__deeper": None}, True),
])
def test_q_matches(lookups, expected):
    assert Q(**lookups).matches(ROW) is expected


@pytest.mark.parametrize("lookups", [{"a____b": 1}, {"a__isnull": "yes"}])
def test_q_rejects_malformed_lookups(lookups):
    with pytest.raises(ValueError, match="Q: "):
        Q(**lookups)


def test_items_parse_unambiguously_from_json():
    schema = ObjectSchema.model_validate_json("""{"properties": {
        "tags": {"type": "array", "items": {"type": "string"}},
        "scores": {"type": "dictionary", "items": {"key": {"type": "string"}, "value": {"type": "integer"}}},
        "old": {"type": "dictionary", "items": {"key_type": "string", "value_type": "Person"}}}}""")
    kinds = {name: type(p.items) for name, p in schema.properties.items()}
    assert kinds == {"tags": TypeData, "scores": DictSchema, "old": LegacyDictSchema}
    assert schema.required == [] and type(schema.required) is list


def test_fingerprint_is_deterministic():
    a = ObjectSchema.model_validate({"properties": {"a": {"type": "string"}, "b": {"type": "integer"}}})
    b = ObjectSchema.model_validate({"properties": {"a": {"type": "string"}, "b": {"type": "integer"}}})
    c = ObjectSchema.model_validate({"properties": {"a": {"type": "string"}}})
    assert calculate_schema_fingerprint(a) == calculate_schema_fingerprint(b) != calculate_schema_fingerprint(c)
    assert len(calculate_schema_fingerprint(a)) == 64


def test_custom_code_is_split_into_imports_and_statements():
    parsed = CustomCodeAst(custom_code="import os\nX = 1\nfrom typing import Any\ndef f(self):\n    return os\n")
    assert [type(n).__name__ for n in parsed.ast_imports] == ["Import", "ImportFrom"]
    assert [type(n).__name__ for n in parsed.ast] == ["Assign", "FunctionDef"]


def test_custom_code_syntax_error_names_line_and_column():
    with pytest.raises(SyntaxError, match=r"line 2, column \d+"):
        CustomCodeAst(custom_code="x = 1\ndef f(:\n")


def test_transactions():
    manager = VelkorDataManager().get_transaction_manager()
    default = manager.transaction_object.address
    assert VelkorDataManager().get_transaction_manager().transaction_object.address == default
    with manager.begin() as transaction:
        assert manager.transaction_object is transaction
        assert str(transaction.address).startswith("resource#Transaction::")
        assert transaction.address != default
    assert manager.transaction_object.address == default


@pytest.mark.parametrize("module_type, schema_type", [(ModuleTypes.APP, SchemaTypes.APP),
                                                      (ModuleTypes.CONTRIB, SchemaTypes.CONTRIB)])
def test_module_type_to_schema_type(module_type, schema_type):
    assert map_module_type_to_schema_type(module_type) is schema_type


GENERATED = '''
from typing import ClassVar, Optional, Union
from velkor_models.classes.model import Model, LegacyModel
from velkor_utils.models.data_models.reference import Reference
from velkor_utils.models.enums import SchemaTypes

class Person(Model):
    schema_type: ClassVar[SchemaTypes] = SchemaTypes.APP
    name: str
    friend: Optional['Person'] = None

class Employee(Person):
    boss: Optional[Union[Reference, 'Person', LegacyModel]] = None
    scores: Optional[dict[str, int]] = None

Person.model_rebuild()
Employee.model_rebuild()
'''


def test_model_serves_as_base_of_generated_classes():
    namespace = {}
    eval(compile(GENERATED, "classes", "exec"), namespace)
    employee = namespace["Employee"](name="a", friend={"name": "b"})
    employee.boss = Reference(ref=ReferenceData(class_name="Person", object_id="P"))
    assert isinstance(employee.boss, Reference)
    employee.boss = {"id": "legacy-1"}
    assert type(employee.boss).__name__ == "LegacyModel"
    with pytest.raises(ValidationError):
        employee.scores = {"a": "not a number"}
