"""A new ledger: configuration, connections manager and the Migration table."""
import pytest

from velkor.migration import ledger_vault
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.table_schema import TableColumnSchema, TableSchema

COLUMNS = [
    {"name": "number", "type": int, "default": None, "nullable": False},
    {"name": "migration_name", "type": str, "default": None, "nullable": False},
    {"name": "module_type", "type": str, "default": None, "nullable": False},
    {"name": "module_name", "type": str, "default": None, "nullable": True},
    {"name": "applied_at", "type": float, "default": None},
]


@pytest.fixture
def recorded(storage, monkeypatch):
    """The table records are real but their construction is logged."""
    for name, real in [("TableColumnSchema", TableColumnSchema), ("TableSchema", TableSchema)]:
        def build(*args, _real=real, _name=name, **kwargs):
            storage.log.append((_name, args, kwargs))
            return _real(*args, **kwargs)
        monkeypatch.setattr(ledger_vault, name, build)
    return storage


def test_construction_sequence_and_table_schema(recorded):
    original = ledger_vault.LedgerVault.migration_address
    vault = ledger_vault.LedgerVault()

    assert list(vars(vault)) == ["_config_manager", "_velkor_config", "_connections_manager"]
    assert vault._velkor_config is recorded.config
    log = recorded.log
    assert log[:4] == [("VelkorConfigManager",), ("get_config",),
                       ("ConnectionsManager", (["repository settings", "lakehouse settings"],), {}),
                       ("TableSchemasManager",)]
    assert log[4:9] == [("TableColumnSchema", (), column) for column in COLUMNS]
    assert [list(kwargs) for _, _, kwargs in log[4:9]] == [list(column) for column in COLUMNS]
    name, args, kwargs = log[9]
    assert (name, args, list(kwargs)) == (
        "TableSchema", (), ["address", "columns", "indexed", "unique_columns"])
    assert kwargs["address"] == original.model_copy(update={"resource": "repository"})
    assert kwargs["indexed"] == [] and kwargs["unique_columns"] == []
    assert log[10:] == [("register_table", (log[10][1][0],), {})]
    assert type(log[10][1][0]) is TableSchema
    # The registration copied the class attribute, which stays as parsed.
    assert ledger_vault.LedgerVault.migration_address is original
    assert str(original) == "resource#Migration"


def test_empty_connections_and_registration_per_ledger(storage):
    storage.config.connections = {}
    ledger_vault.LedgerVault()
    ledger_vault.LedgerVault()
    assert storage.log.count(("ConnectionsManager", ([],), {})) == 2
    assert [entry[0] for entry in storage.log].count("register_table") == 2


@pytest.mark.parametrize("owner, broken, reached", [
    ("VelkorConfigManager", "get_config", ["VelkorConfigManager"]),
    (None, "ConnectionsManager", ["VelkorConfigManager", "get_config"]),
    ("TableSchemasManager", "register_table",
     ["VelkorConfigManager", "get_config", "ConnectionsManager", "TableSchemasManager"]),
])
def test_failures_pass_unchanged_and_stop_construction(storage, monkeypatch, owner, broken,
                                                       reached):
    failure = RuntimeError(broken)

    def fail(*args, **kwargs):
        raise failure

    monkeypatch.setattr(getattr(ledger_vault, owner) if owner else ledger_vault, broken, fail)
    with pytest.raises(RuntimeError) as error:
        ledger_vault.LedgerVault()
    assert error.value is failure
    assert [entry[0] for entry in storage.log] == reached


def test_a_subclass_replaces_the_table_step(storage):
    class Quiet(ledger_vault.LedgerVault):
        def _init_migration_table(self):
            storage.log.append(("own table step",))

    Quiet()
    assert storage.log[-1] == ("own table step",)
    assert "TableSchemasManager" not in [entry[0] for entry in storage.log]


def test_real_registration_names_the_repository(project):
    ledger_vault.LedgerVault()
    registered = TableSchemasManager().get_table("Migration")
    assert registered.address == Address(resource=project.repository, class_name="Migration")
    assert [c.name for c in registered.columns] == [c["name"] for c in COLUMNS]


def test_construction_leaves_nothing_behind(storage, leak_check):
    leak_check(lambda: storage.log.clear() or ledger_vault.LedgerVault(), storage.config)
