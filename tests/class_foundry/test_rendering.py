"""The pieces of a class: property lines, type annotations and type names,
validator blocks, custom code and the base class."""
import ast
from types import SimpleNamespace

import pytest

from velkor.migration import class_foundry
from velkor_models.enums import MetaClasses
from velkor_models.schemas.data_models.core import DictSchema, LegacyDictSchema, OptionData, TypeData
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData


@pytest.fixture
def person_compiled(registry):
    registry._classes["Person"] = object
    registry._classes["integer"] = object
    return registry


# --- property lines -------------------------------------------------------


@pytest.mark.parametrize(
    "prop, required, line",
    [
        (PropertyData(type="string"), ["n"], "n: str"),
        (PropertyData(type="string"), [], "n: Optional[str] = None"),
        (PropertyData(type="string", default=None), ["x", "n", "n"], "n: str"),
        (PropertyData(type="boolean", default=True), ["n"], "n: bool = True"),
        (PropertyData(type="integer", default=0), [], "n: Optional[int] = 0"),
        (PropertyData(type="boolean", default=False), [], "n: Optional[bool] = False"),
        (PropertyData(type="string", default=""), [], "n: Optional[str] = ''"),
        (PropertyData(type="array", items=TypeData(type="integer"), default=[]), ["n"], "n: list[int] = []"),
        (PropertyData(type="number", default={"a": 1.5}), [], "n: Optional[float] = {'a': 1.5}"),
    ],
)
def test_the_four_shapes_of_a_property_line(registry, prop, required, line):
    assert registry._render_property(name="n", property_schema=prop, required=required) == line


@pytest.mark.parametrize(
    "value, literal",
    [
        ("abc", "'abc'"),
        ('say "hi"', "'say \"hi\"'"),
        ("it's", r"'it\'s'"),
        ("C:\\new", r"'C:\\new'"),
        ("a\nb\tc\rd", r"'a\nb\tc\rd'"),
        ("é 😀 ß", "'é 😀 ß'"),
        ("\x00\x7f\xa0\u2028\U000e0001", r"'\x00\x7f\xa0\u2028\U000e0001'"),
        ("'\\'", r"'\'\\\''"),
    ],
)
def test_a_text_default_is_an_exact_literal(registry, value, literal):
    line = registry._render_property(name="n", property_schema=PropertyData(type="string", default=value), required=["n"])
    assert line == "n: str = " + literal
    assert ast.literal_eval(literal) == value


def test_property_arguments_are_tested(registry):
    prop = PropertyData(type="string")
    for bad in [("a",), None]:
        with pytest.raises(TypeError, match=r"^Argument 'required' has incorrect type \(expected list, got "):
            registry._render_property("n", prop, bad)
    with pytest.raises(TypeError, match=r"^_render_property\(\) takes exactly 4 positional arguments \(3 given\)$"):
        registry._render_property("n", prop)


# --- type annotations -------------------------------------------------------

ARRAY_OF = lambda t, items=None: TypeData(type="array", items=TypeData(type=t, items=items))  # noqa: E731

ANNOTATIONS = [
    ("string", None, "str"),
    ("date", None, "date"),
    ("datetime", "", "datetime"),
    ("integer", None, "int"),  # basic, even though a class of that name is compiled
    ("Person", None, "Union[Reference, 'Person', LegacyModel]"),
    ("Pet", None, "'Pet'"),
    ("_pet", None, "'_pet'"),
    ("1pet", None, "'1pet'"),
    ("Éa", None, "'Éa'"),
    ("ßa", None, "ßa"),  # "ß".upper() is "SS"
    ("money", None, "money"),
    ("array", None, "array"),
    ("dictionary", None, "dictionary"),
    ("array", TypeData(type="Person"), "list[Union[Reference, 'Person', LegacyModel]]"),
    ("array", ARRAY_OF("array", TypeData(type="number")), "list[list[list[float]]]"),
    ("dictionary", DictSchema(key=TypeData(type="string"), value=ARRAY_OF("Pet")), "dict[str, list['Pet']]"),
    ("dictionary", LegacyDictSchema(key_type="string", value_type="Pet"), "dict[str, 'Pet']"),
]


@pytest.mark.parametrize("type_, items, annotation", ANNOTATIONS)
def test_annotations(person_compiled, type_, items, annotation):
    assert person_compiled._render_type_annotation(type_, items) == annotation


@pytest.mark.parametrize(
    "type_, items, error, message",
    [
        ("string", TypeData(type="string"), ValueError, r'^Unknown property type: "string"$'),
        ("dictionary", TypeData(type="string"), ValueError, r'^Unknown property type: "dictionary"$'),
        ("array", TypeData(type="dictionary", items=TypeData(type="x")), ValueError, '"dictionary"'),
        ("", None, IndexError, r"^string index out of range$"),
        (None, None, TypeError, r"^Argument 'type_' has incorrect type \(expected str, got NoneType\)$"),
    ],
)
def test_annotation_errors(registry, type_, items, error, message):
    with pytest.raises(error, match=message):
        registry._render_type_annotation(type_, items)


class Types(dict):
    """BASIC_TYPES_MAP stand-in whose membership test raises."""

    def __init__(self, error):
        self.error = error

    def __contains__(self, key):
        raise self.error


@pytest.mark.parametrize(
    "types_map, outcome",
    [
        (Types(ValueError("x")), "'Pet'"),
        (Types(UnicodeError("x")), "'Pet'"),
        (Types(KeyError("x")), KeyError("x")),
        ({"Pet": SimpleNamespace(__name__=3)}, TypeError("Expected unicode, got int")),
        ({"Pet": SimpleNamespace(__name__="Basic")}, "Basic"),
    ],
)
def test_only_value_errors_of_the_basic_type_lookup_are_dropped(registry, monkeypatch, types_map, outcome):
    monkeypatch.setattr(class_foundry, "CoreTypes", lambda value: value)
    monkeypatch.setattr(class_foundry, "BASIC_TYPES_MAP", types_map)
    if isinstance(outcome, str):
        assert registry._render_type_annotation("Pet", None) == outcome
    else:
        with pytest.raises(type(outcome), match=str(outcome)):
            registry._render_type_annotation("Pet", None)


@pytest.mark.parametrize(
    "type_, items, types",
    [
        ("Pet", None, {"Pet"}),
        ("dictionary", DictSchema(key=TypeData(type="k"), value=ARRAY_OF("Person")), {"dictionary", "k", "array", "Person"}),
        ("dictionary", LegacyDictSchema(key_type="k", value_type="dictionary"), {"dictionary", "k"}),
        ("array", ARRAY_OF("dictionary", DictSchema(key=TypeData(type="k"), value=TypeData(type="v"))), {"array", "dictionary", "k", "v"}),
        ("anything", TypeData(type="x"), {"anything", "x"}),
    ],
)
def test_get_all_types(registry, type_, items, types):
    assert registry._get_all_types(type_, items) == types


def nested_arrays(depth):
    items = SimpleNamespace(type="string", items=None)
    for _ in range(depth):
        items = SimpleNamespace(type="array", items=items)
    return items


@pytest.mark.parametrize("step", ["_render_type_annotation", "_get_all_types"])
def test_nesting_deeper_than_the_stack_is_a_recursion_error(registry, step):
    # Each level is a native call back through self: the interpreter's
    # recursion limit stops it, well before the C stack runs out.
    with pytest.raises(RecursionError):
        getattr(registry, step)("array", nested_arrays(100_000))
    assert registry._render_type_annotation("array", nested_arrays(30)).count("list[") == 31


# --- validators ---------------------------------------------------------------

DICT = PropertyData(type="dictionary", items=DictSchema(key=TypeData(type="string"), value=TypeData(type="integer")))
OPTIONS = lambda *values, **kw: PropertyData(type="string", options=[OptionData(value=v) for v in values], **kw)  # noqa: E731


@pytest.mark.parametrize(
    "properties, blocks",
    [
        (None, []),
        ({}, []),
        ({"d": DICT}, ["D:d"]),
        ({"a": PropertyData(type="array", items=TypeData(type="dictionary", items=DICT.items))}, ["D:a"]),
        ({"d": PropertyData(type="dictionary", items=DictSchema(key=TypeData(type="string"), value=TypeData(type="dictionary", items=DICT.items)))}, ["D:d"]),
        ({"s": PropertyData(type="string"), "e": OPTIONS()}, []),
        ({"s": OPTIONS("a", "b"), "d": DICT}, ['O:s=["a", "b"]', "D:d"]),
        ({"s": OPTIONS(1, True, None)}, ["O:s=[1, true, null]"]),
        ({"s": OPTIONS("é", "😀")}, [r'O:s=["\u00e9", "\ud83d\ude00"]']),
        ({"d": PropertyData(**{**dict(DICT), "options": [OptionData(value={"a": 1})]})}, ["D:d", 'O:d=[{"a": 1}]']),
    ],
)
def test_validator_blocks(registry, use_templates, properties, blocks):
    if properties:
        use_templates(registry, dict_validator="D:{{property_name}}", options_validator="O:{{property_name}}={{property_options}}")
    else:  # nothing is read: the paths lead nowhere
        use_templates(registry, dict_validator=None, options_validator=None)
    assert registry._render_validators(ObjectSchema(properties=properties)) == blocks


def test_options_block_steps_and_failures(registry, use_templates):
    use_templates(registry, options_validator="{{property_options}}/{{property_name}}")
    schema = ObjectSchema(properties={"{{property_options}}": OPTIONS("x")})
    assert registry._render_validators(schema) == ['["x"]/["x"]']  # the name went in first
    bad = OPTIONS("x")
    bad.options[0].value = object()
    with pytest.raises(TypeError, match="not JSON serializable"):
        registry._render_validators(ObjectSchema(properties={"s": bad}))
    use_templates(registry, options_validator=None)
    with pytest.raises(FileNotFoundError):
        registry._render_validators(schema)


# --- custom code ------------------------------------------------------------------


@pytest.mark.parametrize("empty", [None, ""])
def test_no_custom_code(monkeypatch, empty):
    monkeypatch.setattr(class_foundry, "CustomCodeAst", None)  # would fail if called
    assert class_foundry.DefaultMigrationSchemas._process_custom_code(empty) == ("", "")


def test_custom_code_is_split_and_sorted():
    code = (
        "import sys\nfrom os import path\nimport abc\n"
        "def zeta(self): return 1\nx = 1\ndef alpha(self): return 1\nclass Beta: pass\n"
        "def alpha(self): return 2\nprint(x)\n"
    )
    imports, body = class_foundry.DefaultMigrationSchemas._process_custom_code(code)
    assert imports == "import sys\n\nfrom os import path\n\nimport abc\n\n"
    assert body == (
        "x = 1\n\nprint(x)\n\nclass Beta:\n    pass\n\n"
        "def alpha(self):\n    return 1\n\ndef alpha(self):\n    return 2\n\n"
        "def zeta(self):\n    return 1\n\n"
    )
    assert class_foundry.DefaultMigrationSchemas._process_custom_code("import os") == ("import os\n\n", "")


def test_custom_code_renderer_and_sort_key(monkeypatch, recorder):
    class Node:
        def __init__(self, name):
            self.label = name

        def __getattr__(self, attr):
            if self.label == "boom":
                raise RuntimeError("boom")
            raise AttributeError(attr)

    parsed = SimpleNamespace(ast_imports=iter(["i2", "i1"]), ast=[Node("a"), Node("b")])
    parser = recorder(parsed)
    monkeypatch.setattr(class_foundry, "CustomCodeAst", parser)
    monkeypatch.setattr(class_foundry, "astor", SimpleNamespace(to_source=lambda node: getattr(node, "label", node)))
    assert class_foundry.DefaultMigrationSchemas._process_custom_code("  ") == ("i2\ni1\n", "a\nb\n")
    assert parser.calls == [((), {"custom_code": "  "})]
    parsed.ast_imports, parsed.ast = [], [Node("a"), Node("boom")]
    with pytest.raises(RuntimeError, match="boom"):
        class_foundry.DefaultMigrationSchemas._process_custom_code("x")


# --- inheritance --------------------------------------------------------------------


@pytest.mark.parametrize(
    "meta_class, type_, result",
    [
        (MetaClasses.TYPE, "object", "TypeModel"),
        (MetaClasses.TYPE, 5, "TypeModel"),
        ("type", "Person", "TypeModel"),
        (MetaClasses.CLASS, "object", "Model"),
        (MetaClasses.CLASS, "Person", "Person"),
        (None, None, None),
        (MetaClasses.CLASS, 5, TypeError("Expected unicode, got int")),
        (MetaClasses.CLASS, type("Text", (str,), {})("Person"), TypeError("Expected unicode, got Text")),
    ],
)
def test_inheritance(meta_class, type_, result):
    schema = SimpleNamespace(meta_class=meta_class, type=type_)
    resolve = class_foundry.DefaultMigrationSchemas._resolve_class_inheritance
    if isinstance(result, Exception):
        with pytest.raises(TypeError, match=f"^{result}$"):
            resolve(schema)
    else:
        assert resolve(schema) == result
