"""The source of one class: the order of its steps, the placeholders filled one
after another, and the re-indented multi-line values."""
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velkor.migration import class_foundry
from velkor_utils.models.enums import SchemaTypes

ALL = "{{class_name}}|{{class_inheritance}}|{{schema_type}}|{{class_fingerprint}}|{{properties}}|{{custom_code}}|{{validators}}|{{class_name}}"


class Steps(class_foundry.DefaultMigrationSchemas):
    """Every step replaced by one that records its call and answers from
    the attributes of the same names."""

    def __init__(self, events):
        super().__init__()
        self.events = events
        self.inheritance, self.validators, self.custom = "Base", [], ("imp\n", "")

    def _resolve_class_inheritance(self, schema):
        self.events.append("inheritance")
        return self.inheritance

    def _render_property(self, **kw):
        self.events.append(("property", kw["name"], kw["required"]))
        return f"{kw['name']}: {kw['property_schema']}"

    def _render_validators(self, schema):
        self.events.append("validators")
        return self.validators

    def _process_custom_code(self, custom_code):
        self.events.append(("custom code", custom_code))
        return self.custom


class CountingSchema:
    """A schema whose `required` counts its reads."""

    def __init__(self, properties, custom_code=None):
        self.properties, self.custom_code, self.reads = properties, custom_code, 0

    @property
    def required(self):
        self.reads += 1
        return ["a"]


@pytest.fixture
def steps(use_templates, monkeypatch):
    events = []
    monkeypatch.setattr(
        class_foundry, "calculate_schema_fingerprint", lambda s: events.append("fingerprint") or "f00d"
    )
    return use_templates(Steps(events), model_class=ALL)


def test_steps_run_in_order_and_fill_every_placeholder(steps):
    schema = CountingSchema({"b": "int", "a": "str", "c": "date"}, custom_code="code")
    steps.validators = ["v1"]
    steps.custom = ("import x\n", "def f(): pass\n")

    imports, source = steps._build_class_source("K", schema, SchemaTypes.CONTRIB)

    assert steps.events == [
        "inheritance",
        "fingerprint",
        ("property", "b", ["a"]),
        ("property", "a", ["a"]),
        ("property", "c", ["a"]),
        "validators",
        ("custom code", "code"),
    ]
    assert schema.reads == 3
    assert imports == "import x\n"
    assert source == (
        "K|Base|SchemaTypes.CONTRIB|f00d|b: int\n    a: str\n    c: date"
        "|def f(): pass\n    |v1|K"
    )


@pytest.mark.parametrize(
    "blocks, custom, expected",
    [
        ([], "", "||"),
        (["A\nB", "C"], "x\ny", "|x\n    y|A\n    B\n    C"),
        (["A\n", "C"], "", "||A\n    \n    C"),
    ],
)
def test_multi_line_values_are_indented(steps, use_templates, blocks, custom, expected):
    use_templates(steps, model_class="{{properties}}|{{custom_code}}|{{validators}}")
    steps.validators, steps.custom = blocks, ("", custom)
    assert steps._build_class_source("K", CountingSchema({}), SchemaTypes.APP)[1] == expected


def test_earlier_values_are_searched_by_later_placeholders(steps, use_templates):
    use_templates(steps, model_class="{{class_inheritance}}{{custom_code}}{{validators}}")
    steps.inheritance = "{{class_name}}{{custom_code}}"
    steps.validators = ["{{class_name}}"]
    steps.custom = ("", "{{validators}}")
    source = steps._build_class_source("K", CountingSchema({}), SchemaTypes.APP)[1]
    # {{class_name}} came after its own step and stays; {{custom_code}} and
    # {{validators}} brought by earlier values are replaced by their steps.
    assert source == "{{class_name}}" * 4


def test_the_class_template_is_read_at_every_call(steps, use_templates):
    schema = CountingSchema({})
    assert steps._build_class_source("K", schema, SchemaTypes.APP)[1].startswith("K|")
    use_templates(steps, model_class="changed {{class_name}}")
    assert steps._build_class_source("K", schema, SchemaTypes.APP)[1] == "changed K"


@pytest.mark.parametrize(
    "custom, error, message",
    [
        (("a",), ValueError, r"^need more than 1 value to unpack$"),
        ((), ValueError, r"^need more than 0 values to unpack$"),
        (("a", "b", "c"), ValueError, r"^too many values to unpack \(expected 2\)$"),
        (iter(["a", "b", "c"]), ValueError, r"^too many values to unpack \(expected 2\)$"),
        (("", None), AttributeError, "split"),
        (7, TypeError, None),
    ],
)
def test_a_bad_custom_code_result(steps, custom, error, message):
    steps.custom = custom
    with pytest.raises(error, match=message):
        steps._build_class_source("K", CountingSchema({}), SchemaTypes.APP)


def test_failures_before_the_template_is_read(steps, use_templates):
    use_templates(steps, model_class=None)
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'items'$"):
        steps._build_class_source("K", CountingSchema(None), SchemaTypes.APP)
    assert "validators" not in steps.events
    steps.inheritance = 5
    with pytest.raises(FileNotFoundError):
        steps._build_class_source("K", CountingSchema({}), SchemaTypes.APP)
    use_templates(steps, model_class=ALL)
    with pytest.raises(TypeError):
        steps._build_class_source("K", CountingSchema({}), SchemaTypes.APP)
    with pytest.raises(TypeError, match=r"^Argument 'class_name' has incorrect type \(expected str, got bytes\)$"):
        steps._build_class_source(b"K", CountingSchema({}), SchemaTypes.APP)


def test_a_schema_type_name_that_is_not_text_is_formatted(steps):
    member = SimpleNamespace(name=12)
    assert steps._build_class_source("K", CountingSchema({}), member)[1].split("|")[2] == "SchemaTypes.12"


PIECES = st.sampled_from(["{{class_name}}", "{{custom_code}}", "{{validators}}", "{{", "\n", "a", "é", "€", "😀", "\ud800"])
TEXT = st.lists(PIECES | st.text(max_size=3), max_size=10).map("".join)


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(template=TEXT, name=TEXT, inheritance=TEXT, custom=TEXT, blocks=st.lists(TEXT, max_size=3))
def test_any_texts_are_filled_as_str_replace_fills_them(steps, template, name, inheritance, custom, blocks):
    steps.model_class_template = SimpleNamespace(read_text=lambda: template)
    steps.inheritance, steps.custom, steps.validators = inheritance, ("", custom), blocks
    expected = (
        template.replace("{{class_name}}", name)
        .replace("{{class_inheritance}}", inheritance)
        .replace("{{schema_type}}", "SchemaTypes.APP")
        .replace("{{class_fingerprint}}", "f00d")
        .replace("{{properties}}", "")
        .replace("{{custom_code}}", "\n    ".join(custom.split("\n")))
        .replace("{{validators}}", "\n    ".join("\n".join(blocks).split("\n")))
    )
    source = steps._build_class_source(name, CountingSchema({}), SchemaTypes.APP)[1]
    assert source == expected and type(source) is str
