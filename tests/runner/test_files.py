"""The migration file format, the order of migrations, and how a failed batch
compile is traced to its class."""
import json

import pytest

from velkor.configs.main import settings
from velkor.migration.class_foundry import DefaultMigrationSchemas
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.source.discovery import discover, find
from velkor.migration.runner.source.document import MigrationDocument
from velkor.migration.runner.source.loading import load_document
from velkor.migration.runner.project import Project
from .conftest import SQLITE_ONLY, write_migration

STRING = {"type": "string"}


def document(schemas=None, **fields):
    return {**fields, "schemas": schemas if schemas is not None else [{"class_name": "A", "schema": {}}]}


def entry(class_name="A", **schema):
    return {"class_name": class_name, "schema": schema}


@pytest.mark.parametrize("content, problems", [
    (document(extra=1), ["extra: unknown field"]),
    ({"description": "no classes"}, ["schemas: Field required"]),
    (document([entry("customer")]), ['schemas[0].class_name: "customer" is not a class name']),
    (document([entry("Model")]), ['schemas[0].class_name: "Model" is reserved']),
    (document([entry(), entry()]), ['schemas[1].class_name: "A" is already defined by schemas[0]']),
    (document([entry(meta_class="kind")]), ["schemas[0].schema.meta_class: Input should be 'type' or 'class' (got \"kind\")"]),
    (document([entry(properties={"x": {"type": "array", "items": {"typ": "string"}}})]),
     ["schemas[0].schema.properties.x.items.type: Field required",  # pydantic's union tag left out
      "schemas[0].schema.properties.x.items.typ: unknown field"]),
    (document([entry(properties={"x": {"type": "array", "items": "string"}})]),
     ["schemas[0].schema.properties.x.items: must be an object"]),
    (document([entry(properties={"x": {"type": "string", "maxLength": 3}, "class": STRING})]),
     ["schemas[0].schema.properties.x.maxLength: unknown field",
      'schemas[0].schema.properties.class: "class" is not a property name']),
    (document([entry(properties={"x": {"type": "string", "options": [{"value": 1, "text": "one"}]}})]),
     ["schemas[0].schema.properties.x.options[0].text: unknown field",
      "schemas[0].schema.properties.x.options[0].value: the option 1 is not a text"]),
    (document([entry(properties={"x": STRING}, required=["x", "y"])]),
     ['schemas[0].schema.required: "y" is required but is not a property']),
    (document([entry(properties={"a": {"type": "array"}, "d": {"type": "dictionary", "items": STRING},
                                 "s": {"type": "string", "items": STRING},
                                 "n": {"type": "dictionary", "items": {"key": STRING, "value": {"type": "array"}}}})]),
     ["properties.a: an array needs \"items\"", "properties.d: a dictionary needs \"items\"",
      "properties.s: only an array or a dictionary has \"items\"", "properties.n.items.value: an array needs"]),
])
def test_invalid_documents_name_every_problem_and_where(tmp_path, content, problems):
    settings.configure(tmp_path)
    path = tmp_path / "0001_x.json"
    path.write_text(json.dumps(content))
    with pytest.raises(MigrationError) as caught:
        load_document(path)
    lines = str(caught.value).splitlines()
    assert len(lines) == len(problems)
    for line, problem in zip(lines, problems):
        assert line.startswith("0001_x.json: ") and problem in line, line


def test_a_valid_document(tmp_path):
    path = tmp_path / "0001_x.json"
    path.write_text(json.dumps(document([entry("A"), {**entry("B", type="A"), "schema_type": "contrib"}],
                                        description="two", depends_on=["shop:1"])))
    loaded = load_document(path)
    assert [(e.class_name, e.schema_type, e.object_schema.type) for e in loaded.schemas] == [
        ("A", None, "object"), ("B", "contrib", "A")]
    assert loaded.schemas[0].object_schema.properties == {}  # none given: an empty property map


def test_order_and_references(tmp_path):
    settings.configure(tmp_path)
    for module in ("zeta", "alpha", "_hidden"):
        write_migration(tmp_path, "0001_first.json", {"A": {}}, module=module)
    write_migration(tmp_path, "0002_second.json", {"A": {}}, module="alpha")
    (tmp_path / "contrib/empty").mkdir()  # no migrations folder: not a module
    for name in ("0010_ten.json", "0002_two.json"):
        write_migration(tmp_path, name, {"A": {}})
    (tmp_path / "app/migrations/README.md").write_text("not a migration")
    sources = discover()
    assert [s.label for s in sources] == ["alpha:0001_first", "alpha:0002_second", "zeta:0001_first",
                                          "app:0002_two", "app:0010_ten"]
    for reference, label in [("10", "app:0010_ten"), ("app:2", "app:0002_two"), ("alpha:0002_second", "alpha:0002_second"),
                             ("zeta:1", "zeta:0001_first")]:
        assert find(sources, reference).label == label
    for reference in ("3", "alpha:0002_third", "nowhere:1", "app:", "x"):
        with pytest.raises(MigrationError):
            find(sources, reference)


@pytest.mark.parametrize("schemas, culprit, reason", [
    ({"A": {"properties": {"x": STRING}}, "B": {"properties": {"y": {"type": "amount"}}}},
     "B", "unknown type 'amount' (schema.properties.y)"),
    ({"A": {"properties": {"b": {"type": "B"}}}, "B": {"properties": {"c": {"type": "dictionary",
      "items": {"key": STRING, "value": {"type": "array", "items": {"type": "Cc"}}}}}}},
     "B", "unknown type 'Cc' (schema.properties.c.items.value.items)"),
    ({"A": {}, "B": {"type": "A"}, "C": {"type": "Base"}}, "C", "unknown base class 'Base' (schema.type)"),
    ({"A": {}, "B": {"custom_code": "import json\n\ndef f(self):\n    return 1\n\nLIMIT = undefined + 1\n"}},
     "B", "raised NameError: name 'undefined' is not defined while the class was created "
          "(at: LIMIT = undefined + 1)"),
    ({"A": {"custom_code": "from os import no_such_name\n"}, "B": {}}, "A", "ImportError: cannot import name"),
    ({"A": {}, "B": {"properties": {"model_config": STRING}}}, "B", "generated line: class B(Model):"),
])
def test_a_failed_compile_names_the_class(tmp_path, schemas, culprit, reason):
    """The compile step's own diagnosis, behind the checks of the files (which these skip)."""
    (tmp_path / "velkor.toml").write_text(SQLITE_ONLY)
    write_migration(tmp_path, "0001_x.json", {"Base": {}}, module="base")
    path = write_migration(tmp_path, "0001_x.json", schemas)
    project = Project(tmp_path)
    project.sources[1].document = MigrationDocument.model_validate(json.loads(path.read_text()))
    for entry in project.sources[1].document.schemas:
        entry.object_schema.properties = entry.object_schema.properties or {}
    registry = DefaultMigrationSchemas()
    with pytest.raises(MigrationError) as caught:
        project.compiler.compile(registry, project.sources[1])
    assert str(caught.value).startswith((f"app/migrations/0001_x.json: class {culprit} does not compile: ",
                                         f"app/migrations/0001_x.json: custom code of class {culprit} "))
    assert reason in str(caught.value)
    assert registry._classes == {} and registry._buffered_classes == []


@pytest.mark.parametrize("size", [0, 1, 200, 65_536, 65_537, 300_000, 1 << 20])
def test_a_file_is_read_whole_whatever_its_size(tmp_path, size):
    from velkor.migration.runner.source.reading import read_bytes
    path = tmp_path / "0001_a.json"
    path.write_bytes(bytes(range(256)) * (size // 256) + b"x" * (size % 256))
    assert read_bytes(path) == path.read_bytes()
