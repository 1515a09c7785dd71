"""Registering, compiling and unregistering buffered schemas: the module text,
the namespace of a compile, and a registry left untouched by a failed one."""
import builtins

import pytest

from velkor.migration import class_foundry
from velkor_utils.classes.version_manager import ClassVersionManager
from velkor_utils.models.enums import SchemaTypes

LAYOUT = "#0\n{{imports}}#1\n{{classes}}#2\n{{classes_model_rebuild}}\n#3"


def class_text(name, body="pass"):
    return (
        f"class {name}:\n"
        f"    rebuilt = []\n"
        f"    {body}\n"
        f"    @classmethod\n"
        f"    def model_rebuild(cls):\n"
        f"        cls.rebuilt.append(cls.__name__)"
    )


class Scripted(class_foundry.DefaultMigrationSchemas):
    """Takes each class's (imports, source) from its schema, a dict here."""

    def _build_class_source(self, class_name, schema, schema_type):
        return schema["result"] if "result" in schema else (schema["imports"], schema["source"])


def scripted_schema(name, body="pass", imports=""):
    return {"imports": imports, "source": class_text(name, body)}


@pytest.fixture
def scripted(use_templates):
    return use_templates(Scripted(), layout=LAYOUT)


@pytest.fixture
def compiled_texts(monkeypatch, recorder):
    """Records every module text handed to compile()."""
    spy = recorder(builtins.compile)
    monkeypatch.setattr(class_foundry, "compile", spy, raising=False)
    return spy


def test_two_class_batch_fills_the_three_placeholders(scripted, compiled_texts):
    scripted.register_model("A", scripted_schema("A", imports="import os"), SchemaTypes.APP)
    scripted.register_model("B", scripted_schema("B", imports="import sys"), SchemaTypes.APP)

    result = scripted._compile_buffered_classes()

    assert compiled_texts.calls == [
        (
            (
                "#0\nimport os\nimport sys\n#1\n"
                + class_text("A") + "\n" + class_text("B") + "\n"
                + "#2\nA.model_rebuild()\nB.model_rebuild()\n#3",
                "classes",
                "exec",
            ),
            {},
        )
    ]
    assert [name for name, _ in result] == ["A", "B"]
    assert [cls.rebuilt for _, cls in result] == [["A"], ["B"]]
    assert scripted._classes == {} and len(scripted._buffered_classes) == 2


def test_empty_buffer(scripted, use_templates, compiled_texts):
    assert scripted._compile_buffered_classes() == []
    assert compiled_texts.calls[0][0][0] == "#0\n#1\n#2\n\n#3"
    use_templates(scripted, layout=None)  # no file is read at all
    classes = scripted._classes
    assert scripted.compile_buffered_classes() is None
    assert scripted._classes is classes and classes == {}


def test_a_name_registered_twice(scripted, monkeypatch, recorder, compiled_texts):
    versions = recorder()
    monkeypatch.setattr(ClassVersionManager, "register_class_version", versions)
    scripted.register_model("A", scripted_schema("A", "version = 1"), SchemaTypes.APP)
    scripted.register_model("A", scripted_schema("A", "version = 2"), SchemaTypes.APP)

    result = scripted._compile_buffered_classes()

    assert [call[0] for call in versions.calls] == [("A", "latest")] * 2
    assert [call[1] for call in versions.calls] == [
        {"is_latest": True, "unregister_previous_versions": False}
    ] * 2
    text = compiled_texts.calls[0][0][0]
    assert "version = 1" in text and "version = 2" in text
    assert text.count("A.model_rebuild()") == 2
    assert [(name, cls.version) for name, cls in result] == [("A", 2), ("A", 2)]
    assert result[0][1].rebuilt == ["A", "A"]


def test_register_model_records_the_version_before_buffering(scripted, recorder):
    scripted.register_model_version = recorder()
    scripted.register_model("A", "schema", SchemaTypes.CONTRIB)
    assert scripted.register_model_version.calls == [((), {"class_name": "A", "class_version": "latest"})]
    assert scripted._buffered_classes == [("A", "schema", SchemaTypes.CONTRIB)]

    scripted.register_model_version = lambda **kw: 1 / 0
    with pytest.raises(ZeroDivisionError):
        scripted.register_model("B", "schema", SchemaTypes.APP)
    with pytest.raises(TypeError, match=r"^Argument 'class_name' has incorrect type \(expected str, got NoneType\)$"):
        scripted.register_model(None, "schema", SchemaTypes.APP)
    assert len(scripted._buffered_classes) == 1


def test_compile_enters_the_classes_and_empties_the_very_buffer(scripted):
    buffer = scripted._buffered_classes
    scripted.register_model("A", scripted_schema("A"), SchemaTypes.APP)
    scripted.compile_buffered_classes()
    assert scripted._buffered_classes is buffer and buffer == []
    assert scripted.get_model("A").rebuilt == ["A"]


def test_namespace_holds_earlier_classes_and_no_unregistered_ones(scripted, monkeypatch, recorder):
    for name in "AB":
        scripted.register_model(name, scripted_schema(name), SchemaTypes.APP)
    scripted.compile_buffered_classes()
    first_a = scripted.get_model("A")
    scripted.unregister_model("B")
    scripted.unregister_model("never compiled")
    assert set(scripted._classes) == {"A"}

    spy = recorder(builtins.eval)
    monkeypatch.setattr(class_foundry, "eval", spy, raising=False)
    scripted.register_model("C", scripted_schema("C", "base = A"), SchemaTypes.APP)
    scripted.register_model("A", scripted_schema("A"), SchemaTypes.APP)
    scripted.compile_buffered_classes()
    assert scripted.get_model("C").base is first_a  # the old A, seen before the new one runs
    assert scripted.get_model("A") is not first_a
    assert set(spy.calls[0][0][1]) >= {"A", "C", "__builtins__"} and "B" not in spy.calls[0][0][1]

    scripted.register_model("D", scripted_schema("D", "base = B"), SchemaTypes.APP)
    with pytest.raises(NameError, match="'B'"):
        scripted.compile_buffered_classes()


def test_unregister_of_a_buffered_name_changes_nothing(scripted):
    scripted.register_model("A", scripted_schema("A"), SchemaTypes.APP)
    scripted.unregister_model("A")
    scripted.compile_buffered_classes()
    assert "A" in scripted._classes


UNBINDS_ITSELF = "class N:\n    @classmethod\n    def model_rebuild(cls):\n        del globals()['N']"
FAILURES = {
    "missing layout": ({}, FileNotFoundError, None),
    "syntax error": ({"source": "class N(:"}, SyntaxError, None),
    "raising module": ({"source": "1 / 0"}, ZeroDivisionError, None),
    "failing rebuild": ({"source": "class N:\n    model_rebuild = None"}, TypeError, None),
    "unbound name": ({"source": UNBINDS_ITSELF}, KeyError, "'N'"),
    "three items": ({"result": ("", "", "")}, ValueError, r"^too many values to unpack \(expected 2\)$"),
    "one item": ({"result": ("",)}, ValueError, r"^not enough values to unpack \(expected 2, got 1\)$"),
    "imports not text": ({"imports": None}, TypeError, None),
}


@pytest.mark.parametrize("change, error, message", FAILURES.values(), ids=FAILURES)
def test_a_failed_compile_leaves_registry_and_buffer_untouched(
    scripted, use_templates, change, error, message
):
    scripted.register_model("Old", scripted_schema("Old"), SchemaTypes.APP)
    scripted.compile_buffered_classes()
    classes, old = scripted._classes, scripted.get_model("Old")
    buffer = scripted._buffered_classes
    scripted.register_model("Old", scripted_schema("Old"), SchemaTypes.APP)
    scripted.register_model("N", {**scripted_schema("N"), **change}, SchemaTypes.APP)
    entries = list(buffer)
    if not change:
        use_templates(scripted, layout=None)

    with pytest.raises(error, match=message) as caught:
        scripted.compile_buffered_classes()

    assert error is not SyntaxError or caught.value.filename == "classes"
    assert scripted._classes is classes and classes == {"Old": old}
    assert scripted._buffered_classes is buffer and buffer == entries
    # Once the cause is gone the same batch compiles.
    buffer[1] = ("N", scripted_schema("N"), SchemaTypes.APP)
    use_templates(scripted, layout=LAYOUT)
    scripted.compile_buffered_classes()
    assert set(classes) == {"Old", "N"} and classes["Old"] is not old and buffer == []


def test_a_malformed_compile_result_changes_nothing(scripted):
    scripted.register_model("A", scripted_schema("A"), SchemaTypes.APP)
    scripted._compile_buffered_classes = lambda: [("A", 1), ("B",)]
    with pytest.raises(ValueError):
        scripted.compile_buffered_classes()
    assert scripted._classes == {} and len(scripted._buffered_classes) == 1
