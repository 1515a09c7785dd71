"""Calling native functions: argument binding, the messages of bad calls,
the abstract-class rules, and the registry operations that need no
templates."""
import inspect

import pytest

from velkor.migration import class_foundry, ledger_vault

Foundry = class_foundry.DefaultMigrationSchemas


class StrSubclass(str):
    pass


class Recorder:
    """A ClassVersionManager stand-in that records constructions and calls."""

    def __init__(self, log):
        self.log = log

    def __call__(self):
        self.log.append(("new",))
        return self

    def register_class_version(self, *args, **kwargs):
        self.log.append(("register_class_version", args, kwargs))


@pytest.fixture
def versions(monkeypatch):
    log = []
    monkeypatch.setattr(class_foundry, "ClassVersionManager", Recorder(log))
    return log


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f._build_class_source("X"),
         "_build_class_source() takes exactly 4 positional arguments (2 given)"),
        (lambda f: f._build_class_source("X", 1, 2, 3),
         "_build_class_source() takes exactly 4 positional arguments (5 given)"),
        (lambda f: f._build_class_source(schema=1, schema_type=2),
         "_build_class_source() takes exactly 4 positional arguments (1 given)"),
        (lambda f: f._build_class_source("X", 1, 2, colour=3),
         "_build_class_source() got an unexpected keyword argument 'colour'"),
        (lambda f: f._build_class_source("X", 1, 2, class_name="Y"),
         "_build_class_source() got multiple values for keyword argument 'class_name'"),
        (lambda f: f._render_property("a", None, ()),
         "Argument 'required' has incorrect type (expected list, got tuple)"),
        (lambda f: f._render_property(None, None, None),
         "Argument 'name' has incorrect type (expected str, got NoneType)"),
        (lambda f: f.get_model(StrSubclass("A")),
         "Argument 'name' has incorrect type (expected str, got StrSubclass)"),
        (lambda f: f.register_model_version("A", 1),
         "Argument 'class_version' has incorrect type (expected str, got int)"),
        (lambda f: Foundry.register_model_version(),
         "register_model_version() takes exactly 2 positional arguments (0 given)"),
        (lambda f: ledger_vault.LedgerVault._build_migration_metadata(),
         "_build_migration_metadata() takes at least 2 positional arguments (1 given)"),
        (lambda f: ledger_vault.LedgerVault._build_migration_metadata(1, 2, 3),
         "_build_migration_metadata() takes at most 3 positional arguments (4 given)"),
        (lambda f: ledger_vault.LedgerVault._save_historical_data(None, None, [], 1),
         "Argument 'data' has incorrect type (expected dict, got list)"),
        (lambda f: ledger_vault.LedgerVault._save_historical_data(None, None, {}, 1),
         "Argument 'metadata' has incorrect type (expected dict, got int)"),
    ],
)
def test_bad_calls_raise_type_error(call, message):
    with pytest.raises(TypeError) as error:
        call(Foundry())
    assert str(error.value) == message


def test_keywords_bind_like_positions(versions):
    Foundry.register_model_version(class_version="v2", class_name="A")
    assert versions[-1] == (
        "register_class_version", ("A", "v2"),
        {"is_latest": True, "unregister_previous_versions": False},
    )


def test_type_test_runs_before_the_body(versions):
    with pytest.raises(TypeError):
        Foundry.register_model_version(None, "v1")
    assert versions == []


def test_register_model_version_through_class_and_instance(versions):
    Foundry.register_model_version("A", "v1")
    Foundry().register_model_version("A", "v2")
    assert versions == [
        ("new",),
        ("register_class_version", ("A", "v1"),
         {"is_latest": True, "unregister_previous_versions": False}),
        ("new",),
        ("register_class_version", ("A", "v2"),
         {"is_latest": True, "unregister_previous_versions": False}),
    ]


def test_register_model_version_passes_errors_on(monkeypatch):
    def broken():
        raise RuntimeError("registry down")

    monkeypatch.setattr(class_foundry, "ClassVersionManager", broken)
    with pytest.raises(RuntimeError, match="registry down"):
        Foundry.register_model_version("A", "v1")


def test_a_missing_global_is_a_name_error(monkeypatch):
    monkeypatch.delattr(class_foundry, "ClassVersionManager")
    with pytest.raises(NameError, match="name 'ClassVersionManager' is not defined"):
        Foundry.register_model_version("A", "v1")


def test_new_registry_is_empty():
    foundry = Foundry()
    assert vars(foundry) == {"_classes": {}, "_classes_versions": {}, "_buffered_classes": []}
    assert list(vars(foundry)) == ["_classes", "_classes_versions", "_buffered_classes"]
    with pytest.raises(KeyError) as error:
        foundry.get_model("Person")
    assert error.value.args == ("Person",)


def test_get_model_reads_the_registry():
    foundry = Foundry()
    marker = type("Person", (), {})
    foundry._classes["Person"] = marker
    assert foundry.get_model("Person") is marker
    assert foundry.get_model(name="Person") is marker


@pytest.mark.parametrize(
    "abstract, methods",
    [
        (class_foundry.ClassFoundry,
         ["register_model", "unregister_model", "compile_buffered_classes"]),
        (ledger_vault.BaseMigrationStore,
         ["fetch_migrations", "save_migration", "delete_migration"]),
    ],
)
def test_abstract_classes(abstract, methods):
    with pytest.raises(TypeError, match="Can't instantiate abstract class"):
        abstract()
    partial = type("Partial", (abstract,), {name: lambda self, *a: None for name in methods[:2]})
    with pytest.raises(TypeError, match=methods[2]):
        partial()
    complete = type("Complete", (abstract,), {name: lambda self, *a: None for name in methods})
    instance = complete()
    # The abstract bodies themselves do nothing and can be reached through super().
    for name in methods:
        function = getattr(abstract, name)
        arguments = ["A"] * (len(inspect.signature(function).parameters) - 1)
        assert function(instance, *arguments) is None


def test_subclass_of_class_foundry_inherits_the_registry():
    class Mine(class_foundry.ClassFoundry):
        def register_model(self, class_name, object_schema, schema_type):
            return super().register_model(class_name, object_schema, schema_type)

        def unregister_model(self, class_name):
            return super().unregister_model(class_name)

        def compile_buffered_classes(self):
            return super().compile_buffered_classes()

    mine = Mine()
    assert mine.register_model("A", None, None) is None
    with pytest.raises(TypeError, match="Argument 'class_name'"):
        mine.unregister_model(1)
    assert mine._classes == {} and mine.compile_buffered_classes() is None


def test_operations_leave_nothing_behind(leak_check, versions):
    foundry = Foundry()
    name = "Person" + "x" * 3
    marker = type("Person", (), {})
    foundry._classes[name] = marker
    leak_check(lambda: foundry.get_model(name), foundry, name, marker)
    leak_check(leak_check.raising(KeyError, lambda: foundry.get_model("missing")), foundry)
    leak_check(leak_check.raising(TypeError, lambda: foundry.get_model(1)), foundry)
    leak_check(leak_check.raising(TypeError, lambda: foundry._build_class_source("X", 1, 2, class_name=3)))
    leak_check(leak_check.raising(TypeError, lambda: foundry._build_class_source("X", 1, 2, nope=3)))
    leak_check(lambda: versions.clear() or Foundry.register_model_version(name, name), name)
    leak_check(lambda: Foundry())
    leak_check(lambda: foundry.get_model)
    leak_check(lambda: inspect.signature(foundry.get_model), repeat=100)
