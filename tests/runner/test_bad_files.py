"""Bad migration files as a user writes them: each refused by check and by apply
with one line saying what and where, nothing of it run, nothing recorded; and
the JSON Schema of the file format refuses those that the file alone shows."""
import json
import sys
from dataclasses import dataclass, field

import jsonschema
import pytest

from velkor.migration.runner.source.file_schema import SCHEMA_PATH
from .conftest import ALL, EXAMPLE, applied, migrate

BAD = "app/migrations/0006_bad.json"
INJECTION = "A'] = None; __import__('os').system('touch {marker}'); z: Optional['A"
CORE = "(string, integer, number, boolean, date, datetime, array, dictionary)"


@dataclass
class Case:
    id: str
    schemas: list | str  # the schemas of the file, or its whole text
    message: str
    stage: str = "file"  # "file": refused before anything applies; "compile": when its batch compiles
    alone: bool = True  # the file alone shows it: the JSON Schema refuses it too
    later: dict = field(default_factory=dict)  # a migration 0007 that defines these classes


def prop(**fields):
    return {"type": "string", **fields}


def cls(properties=None, name="Bad", **schema):
    return {"class_name": name, "schema": {"properties": properties or {}, **schema}}


def nested(levels, innermost):
    for _ in range(levels):
        innermost = {"type": "array", "items": innermost}
    return innermost


CASES = [
    # 1. type names are what they claim
    Case("injection", [cls({"z": {"type": INJECTION}})], "schemas[0].schema.properties.z.type: \"A'] = None; "
         "__import__('os').system('touch "),
    Case("injection in items", [cls({"z": {"type": "array", "items": {"type": INJECTION}}})],
         "schemas[0].schema.properties.z.items.type: \"A'] = None"),
    Case("injection in value_type", [cls({"z": {"type": "dictionary", "items": {
        "key_type": "string", "value_type": INJECTION}}})], "properties.z.items.value_type: \"A'] = None"),
    Case("injection in key_type", [cls({"z": {"type": "dictionary", "items": {
        "key_type": INJECTION, "value_type": "string"}}})], "cannot be a dictionary's key type"),
    Case("injection as base class", [cls(type="Model): pass\nimport os; os.system('touch {marker}')  #")],
         "schemas[0].schema.type: \"Model): pass\\nimport os; os.system('touch "),
    Case("json", [cls({"a": {"type": "json"}})], f"properties.a.type: \"json\" is not a type: write a core type {CORE}"),
    Case("print", [cls({"a": {"type": "print"}})], f"\"print\" is not a type: write a core type {CORE}"),
    Case("int", [cls({"a": {"type": "int"}})], f"\"int\" is not a type (did you mean \"integer\"?): write a core type {CORE}"),
    Case("object", [cls({"a": {"type": "object"}})], f"\"object\" is not a type: write a core type {CORE}"),
    Case("lower-case class", [cls({"a": {"type": "customer"}})], "\"customer\" is not a type"),
    Case("imported name as type", [cls({"a": {"type": "Optional"}})],
         "\"Optional\" is not a type (the generated module imports it; it is not a model class)"),
    Case("unknown class", [cls({"owner": {"type": "Custmer"}})],
         "schemas[0].schema.properties.owner.type: unknown class \"Custmer\": no migration defines it", alone=False),
    Case("unknown element class", [cls({"a": {"type": "dictionary", "items": {
        "key": {"type": "string"}, "value": {"type": "array", "items": {"type": "Custmer"}}}}})],
         "properties.a.items.value.items.type: unknown class \"Custmer\"", alone=False),
    Case("unknown base class", [cls(type="Discount")], "schemas[0].schema.type: unknown class \"Discount\"",
         alone=False),
    Case("class of a later migration", [cls({"a": {"type": "Later"}})],
         "unknown class \"Later\": app:0007_later defines it, and applies after this migration",
         alone=False, later={"Later": {}}),
    Case("base classes in a cycle", [cls(type="Other"), cls(name="Other", type="Bad")],
         "the base classes form a cycle: Bad derives from Other, Other derives from Bad", alone=False),
    Case("dictionary keyed by a class", [cls({"a": {"type": "dictionary", "items": {
        "key": {"type": "Customer"}, "value": {"type": "string"}}}})],
         "properties.a.items.key.type: \"Customer\" cannot be a dictionary's key type"),
    Case("type class with a base", [cls(type="Customer", meta_class="type")],
         'schemas[0].schema.type: a type (meta_class "type") derives from TypeModel'),
    # 2. names that clash with the generated module
    Case("model_config", [cls({"model_config": prop()})],
         "properties.model_config: \"model_config\" is reserved: pydantic's model classes have an attribute"),
    Case("model_ prefix", [cls({"model_id": prop()})], "\"model_id\" is reserved: pydantic keeps names that start "
                                                        "with 'model_'"),
    Case("schema_type", [cls({"schema_type": prop()})], "\"schema_type\" is reserved: the generated class defines it"),
    Case("schema_fingerprint", [cls({"schema_fingerprint": prop()})], "\"schema_fingerprint\" is reserved"),
    Case("imported name as property", [cls({"Optional": prop()})],
         "\"Optional\" is reserved: the generated module imports it"),
    Case("annotation name as property", [cls({"str": prop(), "name": prop()})],
         "properties.str: \"str\" is reserved: the generated class uses that name"),
    Case("pydantic method as property", [cls({"copy": prop()})], "\"copy\" is reserved: pydantic's model classes"),
    Case("keyword as property", [cls({"class": prop()})], "\"class\" is not a property name"),
    Case("class named ClassVar", [cls(name="ClassVar")], "schemas[0].class_name: \"ClassVar\" is reserved: "
                                                         "the generated module imports it"),
    Case("class named Optional", [cls(name="Optional")], "\"Optional\" is reserved"),
    Case("class named ValueError", [cls(name="ValueError")], "\"ValueError\" is reserved"),
    Case("class named Exception", [cls(name="Exception")], "\"Exception\" is reserved: it is a Python built-in"),
    Case("custom code replaces a property", [cls({"total": {"type": "number"}},
                                                  custom_code="def total(self):\n    return 1\n")],
         "schemas[0].schema.custom_code: custom code defines \"total\", which is also a property", alone=False),
    Case("custom code rebinds classmethod", [cls({"a": prop(options=[{"value": "x"}])},
                                                  custom_code="classmethod = None\n")],
         "custom code defines \"classmethod\", which the generated class uses itself", alone=False),
    Case("custom code imports over the module", [cls(custom_code="from typing import List as Optional\n")],
         "custom code imports \"Optional\", which the generated module imports from elsewhere", alone=False),
    # 3. defaults and options fit their type
    Case("integer default as text", [cls({"n": {"type": "integer", "default": "7"}})],
         "properties.n.default: the default \"7\" is not a whole number"),
    Case("integer default with a fraction", [cls({"n": {"type": "integer", "default": 7.5}})],
         "the default 7.5 is not a whole number"),
    Case("integer default true", [cls({"n": {"type": "integer", "default": True}})],
         "the default true is not a whole number"),
    Case("number default NaN", '{"schemas": [{"class_name": "Bad", "schema": {"properties": '
                               '{"x": {"type": "number", "default": NaN}}}}]}',
         "properties.x.default: the default NaN is not a finite number"),
    Case("number default Infinity", '{"schemas": [{"class_name": "Bad", "schema": {"properties": '
                                    '{"x": {"type": "number", "default": -Infinity}}}}]}',
         "the default -Infinity is not a finite number"),
    Case("number default too large", '{"schemas": [{"class_name": "Bad", "schema": {"properties": '
                                     '{"x": {"type": "number", "default": 1e999}}}}]}',
         "the default Infinity is not a finite number"),
    Case("number default as text", [cls({"x": {"type": "number", "default": "1.5"}})], "is not a number"),
    Case("boolean default yes", [cls({"b": {"type": "boolean", "default": "yes"}})],
         "properties.b.default: the default \"yes\" is not true or false"),
    Case("boolean default 1", [cls({"b": {"type": "boolean", "default": 1}})], "the default 1 is not true or false"),
    Case("string default number", [cls({"s": prop(default=5)})], "the default 5 is not a text"),
    Case("date default", [cls({"d": {"type": "date", "default": "2020-01-01"}})],
         "the default \"2020-01-01\" cannot stand for a date"),
    Case("class default", [cls({"c": {"type": "Customer", "default": {"first_name": "A"}}})],
         "cannot stand for a Customer: a property of a model class has no default"),
    Case("array default text", [cls({"a": {"type": "array", "items": {"type": "integer"}, "default": "1,2"}})],
         "the default \"1,2\" is not an array"),
    Case("array default element", [cls({"a": {"type": "array", "items": {"type": "integer"}, "default": [1, "2"]}})],
         "holds \"2\", which is not a whole number", alone=False),
    Case("dictionary default value", [cls({"d": {"type": "dictionary", "items": {
        "key_type": "string", "value_type": "integer"}, "default": {"a": "x"}}})],
         "holds \"x\", which is not a whole number", alone=False),
    Case("option of the wrong type", [cls({"n": {"type": "integer", "options": [{"value": 1}, {"value": "two"}]}})],
         "properties.n.options[1].value: the option \"two\" is not a whole number"),
    Case("options on a dictionary", [cls({"d": {"type": "dictionary", "items": {
        "key_type": "string", "value_type": "string"}, "options": [{"value": "a"}]}})],
         "properties.d.options: options are for a string, integer, number or boolean property"),
    Case("default not an option", [cls({"s": prop(default="c", options=[{"value": "a"}, {"value": "b"}])})],
         "the default \"c\" is not one of the options [\"a\", \"b\"]", alone=False),
    Case("placeholder in a default", [cls({"s": prop(default="{{validators}}")})],
         "properties.s.default: contains {{validators}}, a placeholder of the class templates"),
    Case("placeholder in an option", [cls({"s": prop(options=[{"value": "a{{property_name}}"}])})],
         "properties.s.options[0]: contains {{property_name}}"),
    Case("placeholder in a label", [cls({"s": prop(options=[{"value": "a", "label": "{{class_name}}"}])})],
         "properties.s.options[0]: contains {{class_name}}"),
    Case("placeholder in a description", [cls({"s": prop(description="see {{properties}}")})],
         "properties.s.description: contains {{properties}}"),
    Case("placeholder in custom code", [cls(custom_code="def f(self):\n    return '{{custom_code}}'\n")],
         "schemas[0].schema.custom_code: contains {{custom_code}}"),
    # 4. limits instead of tracebacks
    Case("arrays nested 33 deep", [cls({"a": nested(33, {"type": "string"})})],
         "properties.a: arrays and dictionaries nested more than 32 deep", alone=False),
    Case("objects nested 150 deep", '{"schemas": [{"class_name": "Bad", "schema": {"description": '
                                    + "[" * 150 + "]" * 150 + "}}]}",
         "nested too deeply: more than 100 levels of objects and arrays"),
    Case("nested deeper than the JSON reader", '{"schemas": ' + "[" * 100_000 + "]" * 100_000 + "}",
         "0006_bad.json: nested too deeply: more levels of objects and arrays than the JSON reader takes"),
    Case("kilobytes of type name", [cls({"a": {"type": "x" * 5000}})], "more characters) is not a type"),
    Case("custom code raises", [cls(custom_code="LIMIT = 1 / 0\n")],
         "custom code of class Bad raised ZeroDivisionError: division by zero while the class was created "
         "(at: LIMIT = 1 / 0)", stage="compile", alone=False),
    Case("custom code exits", [cls(custom_code="import sys\nsys.exit(3)\n")],
         "custom code of class Bad exited with 3 while the class was created", stage="compile", alone=False),
    Case("custom code raises SystemExit", [cls(custom_code="raise SystemExit\n")],
         "custom code of class Bad exited while the class was created", stage="compile", alone=False),
]


def witness(marker):
    """A class beside the bad one whose creation leaves a file: it shows whether anything ran."""
    return {"class_name": "Witness", "schema": {"properties": {}, "custom_code": (
        f"import pathlib\n_ran = pathlib.Path({str(marker)!r}).write_text('ran')\n")}}


def write_case(root, case, marker):
    path = root / BAD
    if isinstance(case.schemas, str):
        text = case.schemas
    else:
        schemas = json.loads(json.dumps(case.schemas).replace("{marker}", str(marker)))
        text = json.dumps({"description": case.id, "schemas": schemas + [witness(marker)]})
    path.write_text(text)
    if case.later:
        (root / "app/migrations/0007_later.json").write_text(json.dumps(
            {"schemas": [{"class_name": name, "schema": schema} for name, schema in case.later.items()]}))
    return path


@pytest.mark.parametrize("command", ["check", "apply"])
@pytest.mark.parametrize("case", CASES, ids=[case.id for case in CASES])
def test_a_bad_file_is_refused_with_one_line(shop, tmp_path, case, command):
    marker = tmp_path / "ran"
    write_case(shop, case, marker)
    result = migrate(shop, command)
    assert result.code == 1, result.out + result.err
    error = [line for line in result.err.splitlines() if line.startswith("error: ")]
    assert len(error) == 1 and error[0].startswith(f"error: {BAD}"), result.err
    assert case.message.replace("{marker}", str(marker)) in error[0]
    assert len(error[0]) < 400, "a message never echoes kilobytes of the file"
    assert "Traceback" not in result.err and "internal error" not in result.err
    if case.stage == "file":
        assert not marker.exists(), "nothing of a refused file runs"
        assert applied(shop) == []
    else:  # the migrations before it are applied; it is not
        assert applied(shop) == (ALL if command == "apply" else [])
        assert "app:0006_bad" not in applied(shop)
    assert "app:0006_bad" not in result.out


def test_the_injected_command_never_runs(shop, tmp_path):
    """The command sits in a type name: neither check, apply nor show runs it."""
    marker = tmp_path / "x"
    write_case(shop, CASES[0], marker)
    for command in (["check"], ["apply"], ["show", "Witness"], ["status"]):
        migrate(shop, *command)
    assert not marker.exists() and not (shop / "x").exists()


# -- the JSON Schema of the file format ---------------------------------------


def schema_validator():
    return jsonschema.Draft202012Validator(json.loads(SCHEMA_PATH.read_text()))


def strict_json(text):
    """JSON as the standard has it: NaN and Infinity are not JSON."""
    def refuse(constant):
        raise ValueError(f"{constant} is not JSON")
    return json.loads(text, parse_constant=refuse)


def test_the_json_schema_is_valid_and_accepts_the_example_shop():
    validator = schema_validator()
    jsonschema.Draft202012Validator.check_schema(validator.schema)
    files = sorted(EXAMPLE.glob("**/migrations/*.json"))
    assert len(files) == 6
    for path in files:
        errors = list(validator.iter_errors(json.loads(path.read_text())))
        assert errors == [], f"{path.name}: {errors[0].message}"


VALID = {"description": "every kind of property", "depends_on": ["loyalty:1"], "schemas": [
    {"class_name": "Coupon", "schema_type": "app", "schema": {
        "description": "A discount", "properties": {
            "code": {"type": "string", "default": "WELCOME", "description": "{not a placeholder}"},
            "percent": {"type": "integer", "default": 10, "options": [{"value": 10}, {"value": 20, "label": "big"}]},
            "rate": {"type": "number", "default": 0.5}, "active": {"type": "boolean", "default": False},
            "valid_from": {"type": "date"}, "created": {"type": "datetime"},
            "tags": {"type": "array", "items": {"type": "string"}, "default": ["a"], "options": [{"value": "a"}]},
            "grid": {"type": "array", "items": {"type": "array", "items": {"type": "Product"}}},
            "limits": {"type": "dictionary", "items": {"key": {"type": "string"}, "value": {
                "type": "array", "items": {"type": "integer"}}}, "default": {"a": [1]}},
            "notes": {"type": "dictionary", "items": {"key_type": "string", "value_type": "Customer"}},
            "owner": {"type": "Customer"}, "next": {"type": "Voucher"},
            # soft keywords are names like any other, on every interpreter
            "match": {"type": "string"}, "case": {"type": "string"}, "type": {"type": "string"}},
        "required": ["code"], "custom_code": "def label(self):\n    return f'{self.code} {{literal}}'\n"}},
    {"class_name": "Voucher", "schema": {"type": "Coupon"}},
    {"class_name": "Gift", "schema": {"meta_class": "type", "properties": {}}},
]}


@pytest.mark.parametrize("document", [VALID, {"description": "new", "depends_on": [], "schemas": []}],
                         ids=["every kind", "empty"])
def test_a_valid_file_passes_the_runner_and_the_json_schema(shop, document):
    (shop / BAD).write_text(json.dumps(document))
    result = migrate(shop, "check")
    assert result.code == 0, result.err
    errors = list(schema_validator().iter_errors(document))
    assert errors == [], errors[0].message


@pytest.mark.parametrize("case", [case for case in CASES if case.alone], ids=lambda case: case.id)
def test_the_json_schema_refuses_what_the_file_alone_shows(tmp_path, case):
    shop = tmp_path / "shop"
    (shop / "app/migrations").mkdir(parents=True)
    text = write_case(shop, case, tmp_path / "ran").read_text()
    try:
        document = strict_json(text)
    except (ValueError, RecursionError):
        return  # not JSON as the standard has it: an editor refuses it as it is
    assert not schema_validator().is_valid(document)


def test_the_shipped_json_schema_is_the_one_the_runner_builds():
    """Exactly, on the interpreter it is built on; elsewhere the runner reserves at least its names."""
    from velkor.migration.runner.source.file_schema import BUILT_ON, build, text
    if sys.version_info[:2] == BUILT_ON:
        assert SCHEMA_PATH.read_text() == text(), (
            "regenerate it: python -m velkor.migration.runner.source.file_schema > src/velkor/migration/runner/source/schema.json")
        return
    def split(node, refused):
        """The document without its lists of refused names, which go to ``refused`` by place."""
        if isinstance(node, dict):
            if isinstance(node.get("not"), dict) and "enum" in node["not"]:
                refused.append(set(node["not"]["enum"]))
                node = {**node, "not": {**node["not"], "enum": None}}
            return {key: split(value, refused) for key, value in node.items()}
        return [split(value, refused) for value in node] if isinstance(node, list) else node

    shipped_refused, here_refused = [], []
    assert split(json.loads(SCHEMA_PATH.read_text()), shipped_refused) == split(build(), here_refused)
    assert all(old <= new for old, new in zip(shipped_refused, here_refused, strict=True))
