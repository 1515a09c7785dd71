"""Random schemas: a compile gives classes or raises an ordinary exception
(never SystemError), and the registry stays consistent either way."""
import pydantic
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velkor.migration.class_foundry import DefaultMigrationSchemas
from velkor_models.enums import MetaClasses
from velkor_models.schemas.data_models.core import DictSchema, LegacyDictSchema, OptionData, TypeData
from velkor_models.schemas.data_models.schema import ObjectSchema, PropertyData
from velkor_utils.models.enums import SchemaTypes

SCALARS = st.sampled_from(["string", "integer", "number", "boolean", "date", "datetime", "Person", "A", "money", "_x"])
# Mostly coherent type descriptions, nested a few levels ...
COHERENT = st.recursive(
    st.tuples(SCALARS, st.none()),
    lambda inner: st.one_of(
        inner.map(lambda element: ("array", TypeData(type=element[0], items=element[1]))),
        st.tuples(SCALARS, inner).map(
            lambda kv: ("dictionary", DictSchema(key=TypeData(type=kv[0]), value=TypeData(type=kv[1][0], items=kv[1][1])))
        ),
        st.tuples(SCALARS, SCALARS).map(lambda kv: ("dictionary", LegacyDictSchema(key_type=kv[0], value_type=kv[1]))),
    ),
    max_leaves=3,
)
# ... and some that are not.
ODD = st.tuples(
    st.sampled_from(["", "object", "array", "dictionary", "string"]),
    st.none() | st.builds(TypeData, type=SCALARS) | st.builds(LegacyDictSchema, key_type=SCALARS, value_type=SCALARS),
)
VALUES = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=8))
PROPERTY = st.builds(
    lambda description, **fields: PropertyData(type=description[0], items=description[1], **fields),
    st.one_of(*[COHERENT] * 9, ODD),
    default=VALUES | st.lists(st.integers(), max_size=2),
    options=st.none() | st.lists(st.builds(OptionData, value=VALUES), max_size=3),
)
NAMES = st.sampled_from([*"abcdefgh", "name", "value", "date", "class", "bad name", "model_config"])
CUSTOM_CODE = st.sampled_from(
    [*[None] * 8, "import math\ndef f(self):\n    return math.pi\n", "def (:", "raise ValueError('x')", "x = 1"]
)
SCHEMA = st.builds(
    ObjectSchema,
    type=st.sampled_from([*["object"] * 8, "Person", "A", "missing"]),
    meta_class=st.sampled_from(list(MetaClasses)),
    properties=st.dictionaries(NAMES, PROPERTY, max_size=4),
    required=st.lists(NAMES, max_size=3),
    custom_code=CUSTOM_CODE,
)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(batch=st.lists(st.tuples(st.sampled_from(["A", "B", "Person"]), SCHEMA), min_size=1, max_size=3))
def test_a_compile_succeeds_or_raises_and_keeps_the_registry_consistent(batch):
    registry = DefaultMigrationSchemas()
    registry.register_model("Person", ObjectSchema(properties={}), SchemaTypes.APP)
    registry.compile_buffered_classes()
    for name, schema in batch:
        registry.register_model(name, schema, SchemaTypes.APP)
    classes, buffer = dict(registry._classes), list(registry._buffered_classes)
    try:
        registry.compile_buffered_classes()
    except SystemError:
        raise  # a fault of ours, never an ordinary failure of a schema
    except Exception:
        assert registry._classes == classes and registry._buffered_classes == buffer
    else:
        assert registry._buffered_classes == []
        assert set(registry._classes) == {"Person"} | {name for name, _ in batch}
        for name, _ in batch:
            assert issubclass(registry.get_model(name), pydantic.BaseModel)
