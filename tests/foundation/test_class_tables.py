"""The two modules' classes against pure-Python twins: names, order, kinds,
qualified names, annotations, defaults, signatures and binding."""
import inspect
import pydoc

import pytest

from velkor.migration import class_foundry, ledger_vault

from . import reference_classes as reference

PAIRS = [
    (class_foundry.ClassFoundry, reference.ClassFoundry),
    (class_foundry.DefaultMigrationSchemas, reference.DefaultMigrationSchemas),
    (ledger_vault.BaseMigrationStore, reference.BaseMigrationStore),
    (ledger_vault.LedgerVault, reference.LedgerVault),
]
IDS = [native.__name__ for native, _ in PAIRS]


def own_members(cls):
    return [name for name in vars(cls) if not name.startswith("__") or name == "__init__"]


def methods_of(cls):
    for name, value in vars(cls).items():
        if isinstance(value, (staticmethod, classmethod)):
            yield name, type(value), value.__func__
        elif callable(value):
            yield name, None, value


@pytest.mark.parametrize("native, twin", PAIRS, ids=IDS)
def test_members_kinds_and_order(native, twin):
    assert own_members(native) == own_members(twin)
    assert [(n, k) for n, k, _ in methods_of(native)] == [(n, k) for n, k, _ in methods_of(twin)]
    assert native.__annotations__ == twin.__annotations__
    assert type(native) is type(twin)
    assert [b.__name__ for b in native.__mro__] == [b.__name__ for b in twin.__mro__]
    assert native.__abstractmethods__ == twin.__abstractmethods__


@pytest.mark.parametrize("native, twin", PAIRS, ids=IDS)
def test_each_function_matches_its_twin(native, twin):
    twins = {name: func for name, _, func in methods_of(twin)}
    for name, _, func in methods_of(native):
        expected = twins[name]
        assert func.__name__ == expected.__name__
        assert func.__qualname__ == expected.__qualname__
        assert func.__module__ == native.__module__
        assert func.__annotations__ == expected.__annotations__
        assert func.__defaults__ == expected.__defaults__
        assert func.__doc__ is None
        assert str(inspect.signature(func)) == str(inspect.signature(expected))
        assert getattr(func, "__isabstractmethod__", False) == getattr(
            expected, "__isabstractmethod__", False
        )


@pytest.mark.parametrize("native, twin", PAIRS, ids=IDS)
def test_help_shows_the_same_signatures(native, twin):
    def signatures(cls):
        text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
        return sorted(line.strip(" |") for line in text.splitlines() if "(" in line and "->" in line)

    assert signatures(native) == signatures(twin)


def test_module_of_classes():
    assert class_foundry.DefaultMigrationSchemas.__module__ == "velkor.migration.class_foundry"
    assert ledger_vault.LedgerVault.__module__ == "velkor.migration.ledger_vault"
    assert class_foundry.DefaultMigrationSchemas.__qualname__ == "DefaultMigrationSchemas"


def test_methods_bind_like_python_functions():
    foundry = class_foundry.DefaultMigrationSchemas()
    function = vars(class_foundry.ClassFoundry)["get_model"]
    assert class_foundry.DefaultMigrationSchemas.get_model is function
    bound = foundry.get_model
    assert inspect.ismethod(bound)
    assert bound.__self__ is foundry and bound.__func__ is function
    assert str(inspect.signature(bound)) == "(name: 'str') -> 'type[Model]'"
    assert function.__get__(None, class_foundry.DefaultMigrationSchemas) is function
    assert "<function ClassFoundry.get_model at 0x" in repr(function)


def test_static_and_class_methods_bind():
    metadata = ledger_vault.LedgerVault._build_migration_metadata
    assert metadata.__self__ is ledger_vault.LedgerVault
    assert str(inspect.signature(metadata)) == (
        "(migration: 'MigrationFile', object_id: 'str | None' = None)"
        " -> 'tuple[Address, dict[str, Any]]'"
    )
    resolve = class_foundry.DefaultMigrationSchemas._resolve_class_inheritance
    assert not inspect.ismethod(resolve)
    assert str(inspect.signature(resolve)) == "(schema: 'ObjectSchema') -> 'str'"


def test_function_attributes_are_writable_like_pythons():
    function = vars(class_foundry.ClassFoundry)["get_model"]
    function.extra = 1
    assert function.__dict__ == {"extra": 1}
    del function.extra
    annotations = function.__annotations__
    assert annotations is function.__annotations__


def test_template_paths_follow_base_dir():
    from velkor.configs.constants import BASE_DIR

    cls = class_foundry.DefaultMigrationSchemas
    folder = BASE_DIR / "migration" / "templates"
    assert cls.model_class_template_layout == folder / "model_class_layout.tmpl"
    assert cls.model_class_template == folder / "model_class.tmpl"
    assert cls.dict_validator_template == folder / "dict_validator.tmpl"
    assert cls.options_validator_template == folder / "options_validator.tmpl"


def test_migration_address_is_parsed_once():
    from velkor_utils.models.data_models.address import Address

    address = ledger_vault.LedgerVault.migration_address
    assert address == Address.from_string("resource#Migration")
    assert address.resource == "resource"
