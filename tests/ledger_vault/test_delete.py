"""Withdrawing a migration: a deleted version in the history, then the row goes."""
import pytest

from velkor.migration import ledger_vault
from velkor_utils.models.data_models.address import Address

from .conftest import migration

STORED = Address.from_string("resource#Migration::OBJ:V0")
DELETED = "resource#Migration::OBJ:ID1"
CONFIGURATIONS = {
    ("repository", None): [("get_connection", "repository"),
                           ("repository", "delete", str(STORED))],
    ("repository", "lakehouse"): [
        ("get_connection", "lakehouse"), ("lakehouse", "put", DELETED),
        ("lakehouse", "put", "resource#Metadata::ID3"),
        ("get_connection", "repository"), ("repository", "delete", str(STORED))],
    ("store", "store"): [
        ("get_connection", "store"), ("store", "put", DELETED),
        ("store", "put", "resource#Metadata::ID3"),
        ("get_connection", "store"), ("store", "delete", str(STORED))],
    (None, "lakehouse"): [("get_connection", "lakehouse"), ("lakehouse", "put", DELETED),
                          ("lakehouse", "put", "resource#Metadata::ID3")],
    ("", ""): [],
}


@pytest.mark.parametrize("names", list(CONFIGURATIONS), ids=str)
def test_writes_by_configuration(storage, names):
    record = migration(2, stored_address=STORED)
    assert storage.vault(*names).delete_migration(record) is None
    assert storage.writes() == CONFIGURATIONS[names]
    assert record.stored_address is STORED and str(STORED) == "resource#Migration::OBJ:V0"
    deletes = [entry for entry in storage.log if entry[1] == "delete"]
    assert all(entry[2][0] is STORED and entry[3] == {} for entry in deletes)


def test_deleted_version_and_its_metadata(storage):
    storage.vault("repository", "lakehouse").delete_migration(
        migration(2, "blog", stored_address=STORED))
    version, document = [entry[3] for entry in storage.log if entry[1] == "put"]
    assert version["data"] == {"number": 2, "migration_name": "0002_step.py",
                               "module_type": "contrib", "module_name": "blog",
                               "applied_at": 1700000002.5}
    metadata = document["data"]
    # The metadata describes the very version written beside it.
    assert metadata["address"] == version["address"].model_dump() == {
        "resource": "resource", "class_name": "Migration", "class_version": None,
        "object_id": "OBJ", "object_version": "ID1"}
    assert (metadata["prior_version"], metadata["is_deleted"]) == ("V0", True)
    assert metadata["next_version"] is None and metadata["class_schema_type"] == "contrib"
    assert list(metadata)[:1] == ["address"] and list(metadata)[-2:] == ["next_version",
                                                                         "created_at"]


def test_a_record_never_stored_is_ignored(storage, monkeypatch):
    vault = storage.vault("repository", "lakehouse")
    monkeypatch.setattr(ledger_vault.LedgerVault, "_build_migration_data",
                        staticmethod(lambda m: pytest.fail("the row was rebuilt")))
    assert vault.delete_migration(migration(2)) is None
    assert storage.log == [] and next(storage.identifiers) == "ID1"


def test_the_builders_are_reached_through_self(storage):
    calls = []

    class Mine(ledger_vault.LedgerVault):
        @classmethod
        def _build_migration_metadata(cls, m, object_id=None):
            calls.append((cls, object_id))
            return None, {}

    storage.vault("repository", None)
    Mine().delete_migration(migration(2, stored_address=STORED))
    assert calls == [(Mine, "OBJ")]


@pytest.mark.parametrize("failing, reached", [("put", 2), ("delete", 5)])
def test_a_failure_stops_where_it_happens(storage, failing, reached):
    vault = storage.vault("repository", "lakehouse")
    connection = storage.connection("lakehouse" if failing == "put" else "repository")
    connection.fail[failing] = failure = RuntimeError(failing)
    with pytest.raises(RuntimeError) as error:
        vault.delete_migration(migration(2, stored_address=STORED))
    assert error.value is failure
    assert storage.writes() == CONFIGURATIONS[("repository", "lakehouse")][:reached]


def test_delete_leaves_nothing_behind(storage, leak_check):
    vault = storage.vault("repository", "lakehouse")
    record = migration(2, stored_address=STORED)
    leak_check(lambda: storage.log.clear() or vault.delete_migration(record), vault, record,
               STORED, repeat=200)
    storage.connection("repository").fail["delete"] = OSError
    leak_check(leak_check.raising(OSError, lambda: storage.log.clear() or
                                  vault.delete_migration(record)), vault, record, repeat=200)
