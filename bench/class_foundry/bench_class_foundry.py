"""Speed of the class foundry, measured side by side in one run.

    PYTHONPATH=build/<name>/site .venv/bin/python -m bench.class_foundry [--quick]

1. compile_buffered_classes of 1,000 schemas against compile() + eval() of the
   very module text it generates.
2. _build_class_source of a ten-property schema with zero-cost stand-ins for
   every framework name and for the template reads, against the same steps
   written in plain Python (below).
3. _build_class_source per class on the real batch, and the share of the
   template reads, the fingerprint and the custom code parser in it.
4. Compile time from 10 to 10,000 classes.
"""
import builtins
import gc
import statistics
import sys
import time
from functools import partial
from types import SimpleNamespace

from velkor.migration import class_foundry
from velkor.migration.class_foundry import DefaultMigrationSchemas
from velkor_models.schemas.data_models.core import DictSchema, LegacyDictSchema, OptionData, TypeData
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData
from velkor_models.schemas.utils.schema_fingerprint import calculate_schema_fingerprint
from velkor_utils.models.enums import SchemaTypes

# --- the batch ----------------------------------------------------------------

CUSTOM_CODE = """
import math
from typing import ClassVar

UNIT: ClassVar[str] = "m"

def area(self) -> float:
    return math.pi * (self.size or 0) ** 2

def describe(self) -> str:
    return f"{self.title}: {self.area():.2f} {self.UNIT}"
"""


def make_schema(i):
    """About ten properties of mixed types; every third class has options,
    every fourth a dictionary, every eighth a legacy dictionary, every fifth
    custom code."""
    properties = {
        "title": PropertyData(type="string"),
        "size": PropertyData(type="number", default=1.5),
        "count": PropertyData(type="integer", default=0),
        "active": PropertyData(type="boolean", default=True),
        "born": PropertyData(type="date"),
        "seen": PropertyData(type="datetime"),
        "tags": PropertyData(type="array", items=TypeData(type="string")),
        "note": PropertyData(type="string", default="it's here"),
        # The first class of each ten is the parent of the nine others: a
        # forward reference inside the batch, without a chain that grows
        # with the batch.
        "parent": PropertyData(type=f"C{i - i % 10}" if i % 10 else "string"),
    }
    if i % 3 == 0:
        properties["level"] = PropertyData(type="string", options=[OptionData(value=v) for v in ("low", "mid", "high")])
    else:
        properties["level"] = PropertyData(type="integer")
    if i % 4 == 0:
        properties["extra"] = PropertyData(
            type="dictionary", items=DictSchema(key=TypeData(type="string"), value=TypeData(type="array", items=TypeData(type="integer")))
        )
    if i % 8 == 1:
        properties["labels"] = PropertyData(type="dictionary", items=LegacyDictSchema(key_type="string", value_type="string"))
    return ObjectSchema(properties=properties, required=["title", "born"], custom_code=CUSTOM_CODE if i % 5 == 0 else None)


def batch(n):
    return [(f"C{i}", make_schema(i)) for i in range(n)]


def registered(entries, registry=None):
    registry = registry or DefaultMigrationSchemas()
    for name, schema in entries:
        registry.register_model(name, schema, SchemaTypes.APP)
    return registry


def clock(function):
    """CPU time of one call: steadier than wall time on a shared machine."""
    gc.collect()
    start = time.process_time()
    function()
    return time.process_time() - start


# --- 1. compile_buffered_classes against compile() + eval() of its text --------------


def captured_module_text(entries):
    texts = []
    class_foundry.compile = lambda text, *rest: texts.append(text) or builtins.compile(text, *rest)
    try:
        registered(entries).compile_buffered_classes()
    finally:
        del class_foundry.compile
    return texts[0]


def bench_against_host(n=1000, rounds=9):
    entries = batch(n)
    text = captured_module_text(entries)
    ours, host = [], []

    def run_ours():
        ours.append(clock(registered(entries).compile_buffered_classes))

    def run_host():
        host.append(clock(lambda: eval(compile(text, "classes", "exec"), {})))

    # Whichever runs second runs faster, so the order alternates.
    for round_ in range(rounds):
        for run in (run_ours, run_host) if round_ % 2 else (run_host, run_ours):
            run()
    o, h = statistics.median(ours), statistics.median(host)
    print(f"1. {n} classes: compile_buffered_classes {o * 1e3:.1f} ms, compile+eval of its text {h * 1e3:.1f} ms,"
          f" ratio {o / h:.3f} (target <= 1.03); min-based ratio {min(ours) / min(host):.3f}")
    ours, host = [], []
    gc.disable()
    try:
        for round_ in range(4):
            for run in (run_ours, run_host) if round_ % 2 else (run_host, run_ours):
                run()
    finally:
        gc.enable()
    print(f"   with the collector off: {min(ours) * 1e3:.1f} ms against {min(host) * 1e3:.1f} ms,"
          f" ratio {min(ours) / min(host):.3f}")
    return entries


# --- 2. _build_class_source with zero-cost stand-ins, against plain Python ------------

MEMBERS = ["string", "integer", "number", "boolean", "date", "datetime", "array", "dictionary", "object"]


class Member(str):
    """A core type member: equal to its value, with a `.value`."""


def member(text):
    m = Member(text)
    m.value = text
    return m


# CoreTypes(text): list.index raises ValueError for a text that is no member.
CORE_TYPES = partial(MEMBERS.index)
CORE_TYPES.ARRAY, CORE_TYPES.DICTIONARY, CORE_TYPES.OBJECT = map(member, ("array", "dictionary", "object"))


class Record:
    """A schema record stand-in: plain attributes, no validation."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


class DictRecord(Record):
    pass


class LegacyDictRecord(Record):
    pass


def stand_in(value):
    """The same record as plain objects, whose attribute reads and class
    tests cost what the host's cost."""
    if isinstance(value, (list, tuple)):
        return [stand_in(v) for v in value]
    if isinstance(value, dict):
        return {k: stand_in(v) for k, v in value.items()}
    if not hasattr(type(value), "model_fields"):
        return value
    cls = {DictSchema: DictRecord, LegacyDictSchema: LegacyDictRecord}.get(type(value), Record)
    return cls(**{name: stand_in(getattr(value, name)) for name in type(value).model_fields})


STAND_INS = {
    "CoreTypes": CORE_TYPES,
    "BASIC_TYPES_MAP": {
        i: SimpleNamespace(__name__=name) for i, name in enumerate(("str", "int", "float", "bool", "date", "datetime"))
    },
    "MetaClasses": SimpleNamespace(TYPE="type"),
    "DictSchema": DictRecord,
    "LegacyDictSchema": LegacyDictRecord,
    "calculate_schema_fingerprint": "0f1e2d3c4b5a".format,  # ignores its argument
    "json": SimpleNamespace(dumps=repr),
}
CLASS_TEMPLATE = (DefaultMigrationSchemas.model_class_template.read_text())
DICT_TEMPLATE = DefaultMigrationSchemas.dict_validator_template.read_text()
OPTIONS_TEMPLATE = DefaultMigrationSchemas.options_validator_template.read_text()


def zero_cost_templates(registry):
    registry.model_class_template = SimpleNamespace(read_text=CLASS_TEMPLATE.__str__)
    registry.dict_validator_template = SimpleNamespace(read_text=DICT_TEMPLATE.__str__)
    registry.options_validator_template = SimpleNamespace(read_text=OPTIONS_TEMPLATE.__str__)
    return registry


# The same steps in plain Python, reading the same stand-ins.
G = STAND_INS


def quoted(value):
    """The text default as a single-quoted literal."""
    if "'" not in value and "\\" not in value and value.isprintable():
        return "'" + value + "'"
    return repr(value + '"')[:-2] + "'"  # with a '"' inside, repr quotes with '


class PlainSchemas:
    def __init__(self):
        self._classes = {}

    def _build_class_source(self, class_name, schema, schema_type):
        class_inheritance = self._resolve_class_inheritance(schema)
        schema_type_repr = f"SchemaTypes.{schema_type.name}"
        class_fingerprint = G["calculate_schema_fingerprint"](schema)
        properties = []
        for property_name, property_schema in schema.properties.items():
            properties.append(self._render_property(name=property_name, property_schema=property_schema, required=schema.required))
        validators = "\n".join(self._render_validators(schema))
        imports, custom_code = self._process_custom_code(schema.custom_code)
        source = self.model_class_template.read_text()
        source = source.replace("{{class_name}}", class_name)
        source = source.replace("{{class_inheritance}}", class_inheritance)
        source = source.replace("{{schema_type}}", schema_type_repr)
        source = source.replace("{{class_fingerprint}}", class_fingerprint)
        source = source.replace("{{properties}}", "\n    ".join(properties))
        source = source.replace("{{custom_code}}", "\n    ".join(custom_code.split("\n")))
        source = source.replace("{{validators}}", "\n    ".join(validators.split("\n")))
        return imports, source

    @staticmethod
    def _resolve_class_inheritance(schema):
        if schema.meta_class == G["MetaClasses"].TYPE:
            return "TypeModel"
        if schema.type == G["CoreTypes"].OBJECT.value:
            return "Model"
        return schema.type

    @staticmethod
    def _process_custom_code(custom_code):
        if not custom_code:
            return "", ""
        raise NotImplementedError  # the benchmark schema has none

    def _render_property(self, name, property_schema, required):
        _is_required = name in required
        annotation = self._render_type_annotation(property_schema.type, property_schema.items)
        line = name + ": " + (annotation if _is_required else "Optional[" + annotation + "]")
        if property_schema.default is not None:
            if isinstance(property_schema.default, str):
                line += " = " + quoted(property_schema.default)
            else:
                line += " = " + f"{property_schema.default}"
        elif not _is_required:
            line += " = None"
        return line

    def _render_type_annotation(self, type_, items):
        if not items:
            try:
                core = G["CoreTypes"](type_)
                if core in G["BASIC_TYPES_MAP"]:
                    return G["BASIC_TYPES_MAP"][core].__name__
            except ValueError:
                pass
            if self._is_reference(type_):
                return "Union[Reference, '" + type_ + "', LegacyModel]"
            if type_[0].upper() == type_[0]:
                return "'" + type_ + "'"
            return type_
        if type_ == G["CoreTypes"].ARRAY.value:
            return "list[" + self._render_type_annotation(items.type, items.items) + "]"
        if type_ == G["CoreTypes"].DICTIONARY.value:
            if isinstance(items, G["LegacyDictSchema"]):
                key = self._render_type_annotation(items.key_type, None)
                value = self._render_type_annotation(items.value_type, None)
            elif isinstance(items, G["DictSchema"]):
                key = self._render_type_annotation(items.key.type, items.key.items)
                value = self._render_type_annotation(items.value.type, items.value.items)
            else:
                raise ValueError(f'Unknown property type: "{type_}"')
            return "dict[" + key + ", " + value + "]"
        raise ValueError(f'Unknown property type: "{type_}"')

    def _render_validators(self, schema):
        validators = []
        if not schema.properties:
            return validators
        for _name, _property in schema.properties.items():
            _types = self._get_all_types(_property.type, _property.items)
            if G["CoreTypes"].DICTIONARY in _types:
                validators.append(self.dict_validator_template.read_text().replace("{{property_name}}", _name))
            if _property.options:
                block = self.options_validator_template.read_text().replace("{{property_name}}", _name)
                options = G["json"].dumps([option.value for option in _property.options])
                validators.append(block.replace("{{property_options}}", options))
        return validators

    def _get_all_types(self, type_, items):
        types = {type_}
        if items:
            if isinstance(items, G["DictSchema"]):
                types.update(self._get_all_types(items.key.type, items.key.items))
                types.update(self._get_all_types(items.value.type, items.value.items))
            elif isinstance(items, G["LegacyDictSchema"]):
                types.update(self._get_all_types(items.key_type, None))
                types.update(self._get_all_types(items.value_type, None))
            else:
                types.update(self._get_all_types(items.type, items.items))
        return types

    def _is_reference(self, type_):
        return type_ in self._classes


def per_call(function, seconds=0.5):
    """Best of five runs, each about seconds/5 long, in seconds per call."""
    function()
    n = 1
    while clock(lambda: [function() for _ in range(n)]) < seconds / 5:
        n *= 2
    return min(clock(lambda: [function() for _ in range(n)]) for _ in range(5)) / n


class stand_ins_installed:
    """Puts the stand-ins in the module's globals for the length of a block."""

    def __enter__(self):
        self.saved = {name: getattr(class_foundry, name) for name in STAND_INS}
        for name, value in STAND_INS.items():
            setattr(class_foundry, name, value)

    def __exit__(self, *exc):
        for name, value in self.saved.items():
            setattr(class_foundry, name, value)


APP = SimpleNamespace(name="APP")  # a member whose `name` is a plain attribute


def bench_stand_ins():
    schema = make_schema(12)
    del schema.properties["count"]  # ten properties, with options and a dictionary
    schema = stand_in(schema)
    with stand_ins_installed():
        native = zero_cost_templates(DefaultMigrationSchemas())
        plain = zero_cost_templates(PlainSchemas())
        assert len(schema.properties) == 10
        assert native._build_class_source("C12", schema, APP) == plain._build_class_source("C12", schema, APP)
        n = per_call(lambda: native._build_class_source("C12", schema, APP), 1.0)
        p = per_call(lambda: plain._build_class_source("C12", schema, APP), 1.0)
    print(f"2. _build_class_source, ten properties, zero-cost stand-ins: native {n * 1e6:.2f} us,"
          f" plain Python {p * 1e6:.2f} us, {p / n:.1f}x faster (target >= 10x)")


# --- 3. per class on the real batch -----------------------------------------------------------


def template_reads(registry, entries):
    """How many template files the batch's _build_class_source reads."""
    reads = len(entries)
    for _, schema in entries:
        for prop in schema.properties.values():
            reads += registry._get_all_types(prop.type, prop.items) >= {"dictionary"}
            reads += bool(prop.options)
    return reads


def own_work_entries(entries):
    """The batch as plain records without custom code, for the module's own
    share: every framework name and template read is then a zero-cost stand-in."""
    plain_entries = [(name, stand_in(schema)) for name, schema in entries]
    for _, schema in plain_entries:
        schema.custom_code = None
    return plain_entries


def bench_real_batch(entries):
    registry = DefaultMigrationSchemas()
    total = clock(lambda: [registry._build_class_source(name, schema, SchemaTypes.APP) for name, schema in entries])
    reads = template_reads(registry, entries)
    template = registry.model_class_template
    read = clock(lambda: [template.read_text() for _ in range(reads)])
    fingerprint = clock(lambda: [calculate_schema_fingerprint(schema) for _, schema in entries])
    parse = clock(lambda: [registry._process_custom_code(schema.custom_code) for _, schema in entries])
    rest = total - read - fingerprint - parse
    plain_entries = own_work_entries(entries)
    with stand_ins_installed():
        own_registry = zero_cost_templates(DefaultMigrationSchemas())
        own = clock(lambda: [own_registry._build_class_source(name, schema, APP) for name, schema in plain_entries])
    n = len(entries)
    print(f"3. _build_class_source on the real batch: {total / n * 1e6:.1f} us per class:"
          f" template reads {read / n * 1e6:.1f} us ({reads / n:.2f} per class),"
          f" fingerprint {fingerprint / n * 1e6:.1f} us, custom code parse+render {parse / n * 1e6:.1f} us,"
          f" the rest {rest / n * 1e6:.1f} us, of which the module's own work {own / n * 1e6:.1f} us"
          f" (the remainder is the framework's enumeration and class tests and json.dumps)")


# --- 4. growth --------------------------------------------------------------------------------------


def bench_growth(sizes):
    print("4. by batch size, per class: compile_buffered_classes | compile+eval of its text | _build_class_source alone")
    for n in sizes:
        entries = batch(n)
        text = captured_module_text(entries)
        rounds = 3 if n <= 1000 else 1
        ours = min(clock(registered(entries).compile_buffered_classes) for _ in range(rounds))
        host = min(clock(lambda: eval(compile(text, "classes", "exec"), {})) for _ in range(rounds))
        registry = DefaultMigrationSchemas()
        build = min(
            clock(lambda: [registry._build_class_source(name, schema, SchemaTypes.APP) for name, schema in entries])
            for _ in range(rounds)
        )
        print(f"   {n:>6} classes: {ours / n * 1e6:7.1f} us | {host / n * 1e6:7.1f} us | {build / n * 1e6:6.1f} us"
              f"   (total {ours:.2f} s, ratio {ours / host:.3f})")


def main(argv=None):
    quick = "--quick" in (sys.argv[1:] if argv is None else argv)
    entries = bench_against_host(200 if quick else 1000, 3 if quick else 9)
    bench_stand_ins()
    bench_real_batch(entries)
    bench_growth([10, 100, 1000] if quick else [10, 100, 1000, 10000])


if __name__ == "__main__":
    main()
