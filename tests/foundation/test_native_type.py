"""One native function type for the whole package, owned by
velkor.migration._native, and modules that can be imported again."""
import gc
import inspect
import subprocess
import sys
from types import SimpleNamespace

import pytest

from velkor.migration import _native, class_foundry, ledger_vault

CLASSES = [class_foundry.ClassFoundry, class_foundry.DefaultMigrationSchemas,
           ledger_vault.BaseMigrationStore, ledger_vault.LedgerVault]


def functions_of(cls):
    for value in vars(cls).values():
        value = getattr(value, "__func__", value)
        if callable(value) and not isinstance(value, type):
            yield value


def test_every_function_of_both_modules_is_of_the_one_type():
    assert {type(f) for cls in CLASSES for f in functions_of(cls)} == {_native.native_function}


def test_a_function_made_by_a_function_is_of_the_one_type(monkeypatch):
    # _process_custom_code makes its sort key when it runs; a node being
    # sorted finds it among the live objects.
    keys = []

    class Node:
        def __getattr__(self, name):
            keys.extend(o for o in gc.get_objects()
                        if type(o) is _native.native_function and o.__name__ == "<lambda>")
            raise AttributeError(name)

    monkeypatch.setattr(class_foundry, "CustomCodeAst",
                        lambda custom_code: SimpleNamespace(ast_imports=[], ast=[Node(), Node()]))
    monkeypatch.setattr(class_foundry, "astor", SimpleNamespace(to_source=lambda node: "pass"))
    class_foundry.DefaultMigrationSchemas._process_custom_code("x")
    assert keys and keys[0].__module__ == "velkor.migration.class_foundry"
    assert keys[0].__qualname__ == "DefaultMigrationSchemas._process_custom_code.<locals>.<lambda>"


def test_the_type_is_named_after_its_module_and_keeps_functions_apart():
    native_function = _native.native_function
    assert (native_function.__module__, native_function.__qualname__) == (
        "velkor.migration._native", "native_function")
    foundry = vars(class_foundry.ClassFoundry)["get_model"]
    ledger = vars(ledger_vault.LedgerVault)["fetch_migrations"]
    assert (foundry.__module__, ledger.__module__) == (
        "velkor.migration.class_foundry", "velkor.migration.ledger_vault")
    with pytest.raises(TypeError, match="cannot create"):
        native_function()
    with pytest.raises(TypeError):
        type("Sub", (native_function,), {})
    with pytest.raises(TypeError):
        native_function.extra = 1


def test_a_functions_module_behaves_like_a_python_functions():
    def python():
        pass

    native = class_foundry.DefaultMigrationSchemas()._render_property.__func__
    module = native.__module__
    try:
        for function in (python, native):
            function.__module__ = 3
            assert function.__module__ == 3
            del function.__module__
            assert function.__module__ is None
            assert getattr(function, "".join(["__mod", "ule__"])) is None
    finally:
        native.__module__ = module


# The child imports both modules three times: as usual; again after they are
# dropped from sys.modules; and again after _native is dropped too.  The
# modules of each round work, after the others are collected.
REIMPORT = """
import gc
import importlib
import inspect
import sys
from types import SimpleNamespace

NAMES = ["velkor.migration.class_foundry", "velkor.migration.ledger_vault"]


def import_both():
    return [importlib.import_module(name) for name in NAMES]


def drop(*names):
    for name in names:
        del sys.modules[name]


def function_types(modules):
    classes = [modules[0].DefaultMigrationSchemas, modules[1].LedgerVault]
    return {type(getattr(value, "__func__", value)) for cls in classes for value in vars(cls).values()
            if callable(getattr(value, "__func__", value)) and not isinstance(value, type)}


def work(modules):
    prop = SimpleNamespace(type="string", items=None, default="it's")
    line = modules[0].DefaultMigrationSchemas()._render_property("n", prop, ["n"])
    record = SimpleNamespace(number=1, path=SimpleNamespace(name="0001.json"), module=None,
                             type=SimpleNamespace(value="app"), applied_at=1.5)
    data = modules[1].LedgerVault._build_migration_data(record)
    signature = str(inspect.signature(modules[1].LedgerVault.save_migration))
    return line, data["migration_name"], signature


native = importlib.import_module("velkor.migration._native")
first = import_both()
drop(*NAMES)
second = import_both()
classes = second[0].DefaultMigrationSchemas
reloaded = importlib.reload(second[0])
drop("velkor.migration._native", *NAMES)
third = import_both()
new_native = importlib.import_module("velkor.migration._native")

print(first[0] is not second[0] is not third[0], reloaded is second[0],
      reloaded.DefaultMigrationSchemas is classes)
print(function_types(first) == function_types(second) == {native.native_function},
      function_types(third) == {new_native.native_function} != {native.native_function})
saved = first[0].DefaultMigrationSchemas._render_property
del native, first, second, reloaded, classes
gc.collect()
print(work(third))
print(saved(third[0].DefaultMigrationSchemas(), "n", SimpleNamespace(type="string", items=None,
                                                                      default=None), []))
"""


def test_both_modules_can_be_imported_again():
    result = subprocess.run([sys.executable, "-c", REIMPORT], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True True True",
        "True True",
        str(("n: str = 'it\\'s'", "0001.json", "(self, migration: 'MigrationFile') -> 'None'")),
        "n: Optional[str] = None",
    ]
