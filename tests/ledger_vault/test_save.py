"""Saving a migration: the row, its metadata and where each is written."""
import json
from types import SimpleNamespace

import pytest

from velkor.migration import ledger_vault
from velkor_data.manager import VelkorDataManager
from velkor_utils.models.data_models.address import Address

from .conftest import migration

ROW = "resource#Migration::ID1:ID2"
CONFIGURATIONS = {
    ("repository", None): [("get_connection", "repository"), ("repository", "insert", ROW)],
    ("repository", "lakehouse"): [
        ("get_connection", "lakehouse"), ("lakehouse", "put", ROW),
        ("lakehouse", "put", "resource#Metadata::ID3"),
        ("get_connection", "repository"), ("repository", "insert", ROW)],
    ("store", "store"): [("get_connection", "store"), ("store", "put", ROW),
                         ("store", "put", "resource#Metadata::ID3")],
    ("", "lakehouse"): [("get_connection", "lakehouse"), ("lakehouse", "put", ROW),
                        ("lakehouse", "put", "resource#Metadata::ID3")],
    (None, None): [],
}


@pytest.mark.parametrize("names", list(CONFIGURATIONS), ids=str)
def test_writes_by_configuration(storage, names):
    assert storage.vault(*names).save_migration(migration(4, "blog")) is None
    assert storage.writes() == CONFIGURATIONS[names]


def test_row_and_metadata(storage):
    storage.vault("repository", "lakehouse").save_migration(migration(4, "blog"))
    (_, put_data), (_, put_metadata), (_, insert) = [
        (entry[1], entry[3]) for entry in storage.log if entry[0] != "get_connection"]
    data = {"number": 4, "migration_name": "0004_step.py", "module_type": "contrib",
            "module_name": "blog", "applied_at": 1700000004.5}
    assert list(put_data["data"].items()) == list(data.items())
    assert list(insert["data"].items()) == list(data.items()) + [
        ("_metadata", put_metadata["data"])]
    assert put_data["address"] is insert["address"]
    metadata = put_metadata["data"]
    assert metadata == json.loads(json.dumps(metadata))
    transaction = VelkorDataManager().get_transaction_manager().transaction_object.address
    assert {k: metadata[k] for k in metadata if k != "created_at"} == {
        "address": {"resource": "resource", "class_name": "Migration", "class_version": None,
                    "object_id": "ID1", "object_version": "ID2"},
        "class_schema_reference": {"ref": {
            "resource": "resource", "class_name": "Migration", "class_version": "latest",
            "object_id": None, "object_version": None}},
        "class_schema_type": "contrib",
        "transaction": transaction.model_dump(),
        "is_deleted": False, "prior_version": None, "next_version": None,
    }
    assert str(ledger_vault.LedgerVault.migration_address) == "resource#Migration"


@pytest.mark.parametrize("on_instance", [False, True])
@pytest.mark.parametrize("object_id, expected, next_identifier", [
    ("KEEP", ("KEEP", "ID1"), "ID2"), ("", ("ID1", "ID2"), "ID3"), (None, ("ID1", "ID2"), "ID3")])
def test_metadata_builder_object_id(storage, on_instance, object_id, expected, next_identifier):
    owner = storage.vault() if on_instance else ledger_vault.LedgerVault
    address, metadata = owner._build_migration_metadata(migration(1), object_id=object_id)
    assert type(address) is Address and metadata["address"] == address.model_dump()
    assert (address.object_id, address.object_version) == expected
    assert next(storage.identifiers) == next_identifier


def test_a_subclass_replaces_every_step(storage):
    calls = []

    class Mine(ledger_vault.LedgerVault):
        @staticmethod
        def _build_migration_data(m):
            calls.append("data")
            return {"number": m.number}

        @classmethod
        def _build_migration_metadata(cls, m, object_id=None):
            calls.append(("metadata", cls, object_id))
            return [Address.from_string("r#Migration::A:B"), {"own": True}]

        def _save_historical_data(self, **kwargs):
            calls.append(("history", kwargs))

    storage.config.resources_config.lakehouse = None
    storage.log.clear()
    Mine().save_migration(migration(1))
    assert calls == [
        "data", ("metadata", Mine, None),
        ("history", {"address": Address.from_string("r#Migration::A:B"),
                     "data": {"number": 1}, "metadata": {"own": True}})]
    assert storage.log[-1][3]["data"] == {"number": 1, "_metadata": {"own": True}}


@pytest.mark.parametrize("result, error, message", [
    ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    (iter([1]), ValueError, "not enough values to unpack (expected 2, got 1)"),
    (None, TypeError, "cannot unpack non-iterable NoneType object"),
])
def test_the_metadata_pair_unpacks_like_python(storage, monkeypatch, result, error, message):
    monkeypatch.setattr(ledger_vault.LedgerVault, "_build_migration_metadata",
                        classmethod(lambda cls, m, object_id=None: result))
    with pytest.raises(error) as raised:
        storage.vault().save_migration(migration(1))
    assert str(raised.value) == message and storage.log == []


def test_a_failing_put_stops_before_the_insert(storage):
    vault = storage.vault("repository", "lakehouse")
    failure = OSError("lakehouse unreachable")
    storage.connection("lakehouse").fail["put"] = failure
    with pytest.raises(OSError) as error:
        vault.save_migration(migration(1))
    assert error.value is failure
    assert storage.writes() == CONFIGURATIONS[("repository", "lakehouse")][:2]


def test_historical_copy(storage, monkeypatch):
    vault = storage.vault()
    address, data, metadata = Address.from_string("r#Migration::A:B"), {"n": 1}, {"m": 2}
    monkeypatch.setattr(ledger_vault, "get_identifier", lambda: 42)
    assert vault._save_historical_data(address, data=data, metadata=metadata) is None
    (get, name), (_, _, _, put1), (_, _, _, put2) = storage.log
    assert (get, name) == ("get_connection", "lakehouse")
    assert put1["address"] is address and put1["data"] is data
    assert str(put2["address"]) == "resource#Metadata::42" and put2["data"] is metadata


@pytest.mark.parametrize("lakehouse", [None, ""])
def test_no_lakehouse_no_history(storage, lakehouse):
    vault = storage.vault("repository", lakehouse)
    vault._save_historical_data(None, {}, {})
    with pytest.raises(TypeError, match=r"^Argument 'data' .* \(expected dict, got list\)$"):
        vault._save_historical_data(None, [], ())
    assert storage.log == [] and next(storage.identifiers) == "ID1"


class Resources:
    """resources_config that logs each read of its two entries."""

    def __init__(self, reads):
        self.reads = reads

    @property
    def lakehouse(self):
        self.reads.append("lakehouse")
        return "lakehouse"

    @property
    def repository(self):
        self.reads.append("repository")
        return SimpleNamespace(default="repository")


@pytest.mark.parametrize("operation, reads", [
    ("fetch_migrations", ["lakehouse"]),
    ("save_migration", ["lakehouse", "lakehouse", "repository", "lakehouse", "repository"]),
    ("delete_migration", ["lakehouse", "lakehouse", "repository", "repository"]),
])
def test_the_configuration_is_read_at_each_use(storage, operation, reads):
    vault = storage.vault()
    storage.config.resources_config = Resources(logged := [])
    record = migration(1, stored_address=Address.from_string("resource#Migration::O:V"))
    getattr(vault, operation)(*([] if operation == "fetch_migrations" else [record]))
    assert logged == reads


def test_save_leaves_nothing_behind(storage, leak_check):
    vault = storage.vault("repository", "lakehouse")
    record = migration(1, "blog")
    leak_check(lambda: storage.log.clear() or vault.save_migration(record), vault, record,
               repeat=200)
    storage.connection("repository").fail["insert"] = OSError  # a new one at each raise
    leak_check(leak_check.raising(OSError, lambda: storage.log.clear() or
                                  vault.save_migration(record)), vault, record, repeat=200)


def test_failed_unpacking_leaves_nothing_behind(storage, leak_check):
    class Odd(ledger_vault.LedgerVault):
        @staticmethod
        def _build_migration_data(m):
            return [m.number]

        def _save_historical_data(self, **kwargs):
            pass

    vault, record = Odd(), migration(1)
    with pytest.raises(TypeError, match="^'list' object is not a mapping$"):
        vault.save_migration(record)
    leak_check(leak_check.raising(TypeError, lambda: storage.log.clear() or
                                  vault.save_migration(record)), vault, record, repeat=200)
    Odd._build_migration_metadata = classmethod(lambda cls, m, object_id=None: (m, m, m))
    leak_check(leak_check.raising(ValueError, lambda: vault.save_migration(record)), vault,
               record, repeat=200)
