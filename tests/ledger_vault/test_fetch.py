"""Listing applied migrations from query rows."""
from pathlib import Path
from types import SimpleNamespace

import pytest

from velkor.migration import ledger_vault
from velkor.migration.data_classes import ModuleTypes
from velkor_utils.models.data_models.address import Address


def row(number, module_name, module_type="contrib", version="V1"):
    return {"number": number, "migration_name": f"{number:04d}_step.py", "module_type": module_type,
            "module_name": module_name, "applied_at": 10.5 + number,
            "_metadata": {"address": {"resource": "resource", "class_name": "Migration",
                                      "object_id": f"O{number}", "object_version": version}}}


@pytest.fixture
def folders(monkeypatch):
    monkeypatch.setattr(ledger_vault, "settings",
                        SimpleNamespace(APP_PATH=Path("/app"), MIGRATIONS_DIRECTORY_NAME="migrations"))
    monkeypatch.setattr(ledger_vault, "contrib_to_module_root_path",
                        lambda name: Path("/contrib", name, "migrations"))


@pytest.mark.parametrize("repository, lakehouse, read", [
    ("repository", "lakehouse", "lakehouse"),
    ("repository", None, "repository"),
    ("repository", "", "repository"),
    ("store", "store", "store"),
])
def test_reads_the_lakehouse_else_the_repository(storage, repository, lakehouse, read):
    assert storage.vault(repository, lakehouse).fetch_migrations() == []
    (_, name), (connection, method, args, kwargs) = storage.log
    assert (name, connection, method, args) == (read, read, "query", ())
    assert list(kwargs) == ["address", "conditions"]
    assert kwargs["address"] is ledger_vault.LedgerVault.migration_address
    assert repr(kwargs["conditions"]) == (
        "Q(_metadata__is_deleted=False, _metadata__next_version__isnull=True)")


def test_rows_become_records_in_their_order(storage, folders):
    rows = [row(3, "blog"), row(2, None, "app"), row(1, "", "app")]
    storage.connection("lakehouse").rows = rows
    records = storage.vault().fetch_migrations()
    assert [(r.number, r.path, r.type, r.module, r.applied_at) for r in records] == [
        (3, Path("/contrib/blog/migrations/0003_step.py"), ModuleTypes.CONTRIB, "blog", 13.5),
        (2, Path("/app/migrations/0002_step.py"), ModuleTypes.APP, None, 12.5),
        (1, Path("/app/migrations/0001_step.py"), ModuleTypes.APP, "", 11.5),
    ]
    assert records[0].stored_address == Address(resource="resource", class_name="Migration",
                                                object_id="O3", object_version="V1")


class Rows(list):
    pass


@pytest.mark.parametrize("result, error, message", [
    ((), TypeError, "Expected list, got tuple"),
    (Rows(), TypeError, "Expected list, got Rows"),
    (None, TypeError, "'NoneType' object is not iterable"),
    ([{"number": 1}], KeyError, "'module_name'"),
    ([{**row(1, None), "module_type": "plugin"}], ValueError, "'plugin' is not a valid ModuleTypes"),
    ([{**row(1, None), "_metadata": {"address": None}}], TypeError,
     "velkor_utils.models.data_models.address.Address() argument after ** must be a mapping, "
     "not NoneType"),
])
def test_bad_query_results_raise(storage, folders, result, error, message):
    storage.connection("lakehouse").rows = result
    with pytest.raises(error) as raised:
        storage.vault().fetch_migrations()
    assert str(raised.value) == message


def test_module_globals_are_read_for_every_row(storage, monkeypatch):
    reads = []

    class Settings:
        MIGRATIONS_DIRECTORY_NAME = "migrations"

        @property
        def APP_PATH(self):
            reads.append("APP_PATH")
            return Path("/app")

    monkeypatch.setattr(ledger_vault, "settings", Settings())
    storage.connection("lakehouse").rows = [row(1, None, "app"), row(2, None, "app")]
    storage.vault().fetch_migrations()
    assert reads == ["APP_PATH", "APP_PATH"]


def test_fetch_leaves_nothing_behind(storage, folders, leak_check):
    vault = storage.vault()
    rows = [row(1, "blog"), row(2, None, "app")]
    connection = storage.connection("lakehouse")
    connection.rows = rows
    leak_check(lambda: storage.log.clear() or vault.fetch_migrations(), vault, rows, *rows)
    for bad in [(), None, [{**row(1, None), "_metadata": {"address": None}}], [{"number": 1}]]:
        connection.rows = bad
        leak_check(leak_check.raising((TypeError, KeyError),
                                      lambda: storage.log.clear() or vault.fetch_migrations()), bad)
