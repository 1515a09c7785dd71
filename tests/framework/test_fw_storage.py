import json
import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest

import velkor_data
from velkor_data.connections.manager import ConnectionsManager
from velkor_data.engines import StorageError
from velkor_data.manager import VelkorDataManager
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.config.data_models.velkor_config import ConnectionConfig
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.metadata import Metadata
from velkor_utils.models.data_models.table_schema import TableColumnSchema, TableSchema
from velkor_utils.query.utils import Q
from velkor_utils.utils.identifier import get_identifier

MIGRATION = Address.from_string("resource#Migration")
CURRENT = dict(_metadata__is_deleted=False, _metadata__next_version__isnull=True)


def row(number, name=None):
    return {"number": number, "migration_name": name or f"{number:04d}_step.json", "module_type": "app",
            "module_name": None, "applied_at": 1.5}


def new_address(object_id=None):
    return MIGRATION.model_copy(update={"object_id": object_id or get_identifier(), "object_version": get_identifier()})


def metadata(address, **fields):
    return json.loads(Metadata(address=address, **fields).model_dump_json())


def insert(connection, number):
    address = new_address()
    connection.insert(address=address, data={**row(number), "_metadata": metadata(address)})
    return address


def put_version(connection, data, address, described=None, **fields):
    """A data version and its metadata document, as the ledger writes history."""
    connection.put(address=address, data=data)
    connection.put(address=Address.from_string("resource#Metadata::" + get_identifier()),
                   data=metadata(described or address, **fields))


def numbers(rows):
    return [r["number"] for r in rows]


def test_insert_query_delete(engine, make_connection, migration_table):
    connection = make_connection(engine)
    first, second = insert(connection, 1), insert(connection, 2)
    rows = connection.query(address=MIGRATION, conditions=Q(**CURRENT))
    assert type(rows) is list and numbers(rows) == [1, 2]
    assert list(rows[0]) == ["number", "migration_name", "module_type", "module_name", "applied_at", "_metadata"]
    assert Address(**rows[1]["_metadata"]["address"]) == second
    assert connection.delete(first) == 1
    assert numbers(connection.query(address=MIGRATION, conditions=Q(**CURRENT))) == [2]


def test_put_versions_join_metadata_and_supersede(engine, make_connection, migration_table):
    connection = make_connection(engine)
    v1 = new_address()
    put_version(connection, row(1), v1)
    v2 = new_address(v1.object_id)
    put_version(connection, row(1, "renamed.json"), v2, prior_version=v1.object_version)
    put_version(connection, row(2), new_address())
    current = connection.query(address=MIGRATION, conditions=Q(**CURRENT))
    assert [(r["number"], r["migration_name"]) for r in current] == [(1, "renamed.json"), (2, "0002_step.json")]
    everything = connection.query(address=MIGRATION, conditions=None)
    assert everything[0]["_metadata"]["next_version"] == v2.object_version


@pytest.mark.parametrize("repository_is_lakehouse", [False, True])
def test_deleted_version_is_filtered_out(engine, make_connection, migration_table, repository_is_lakehouse):
    connection = make_connection(engine)
    stored = new_address()
    put_version(connection, row(1), stored)
    put_version(connection, row(2), new_address())
    # A deletion writes a new version whose metadata (of a version of its own)
    # points back to the stored one.
    put_version(connection, row(1), stored.model_copy(update={"object_version": get_identifier()}),
                described=new_address(stored.object_id), prior_version=stored.object_version, is_deleted=True)
    if repository_is_lakehouse:
        connection.delete(stored)
    assert numbers(connection.query(address=MIGRATION, conditions=Q(**CURRENT))) == [2]
    # History of the object: the stored version (its data gone once deleted),
    # the deleted copy without a metadata document, the deletion's metadata.
    history = [h for h in connection.history("Migration") if h["object_id"] == stored.object_id]
    assert [(h["data"] is not None, h["is_deleted"]) for h in history] == [
        (not repository_is_lakehouse, False), (True, False), (False, True)]


def test_version_without_metadata_is_only_in_history(engine, make_connection, migration_table):
    connection = make_connection(engine)
    address = new_address()
    connection.put(address=address, data=row(7))
    assert connection.query(address=MIGRATION, conditions=None) == []
    [entry] = connection.history("Migration")
    assert (entry["object_version"], entry["data"]["number"], entry["metadata"]) == (address.object_version, 7, None)


@pytest.mark.parametrize("operation, address, data, error", [
    ("insert", new_address(), {**row(1), "extra": 1}, "unknown column"),
    ("insert", new_address(), {**row(1), "number": "one"}, "column 'number' expects int, got str"),
    ("put", new_address(), {**row(1), "migration_name": None}, "column 'migration_name' may not be null"),
    ("put", MIGRATION, row(1), "must name an object id and version"),
    ("insert", Address.from_string("r#Unknown:1:O:V"), row(1), "no table schema is registered for class 'Unknown'"),
    ("put", Address.from_string("r#Metadata::M"), {"is_deleted": True}, "needs an 'address' mapping"),
])
def test_invalid_writes_store_nothing(engine, make_connection, migration_table, operation, address, data, error):
    connection = make_connection(engine)
    with pytest.raises((ValueError, TypeError, LookupError), match=error):
        getattr(connection, operation)(address=address, data=data)
    assert connection.history("Migration") == []


@pytest.mark.parametrize("engine", ["sqlite", "postgresql"], indirect=True)
def test_failed_write_leaves_nothing(engine, make_connection):
    TableSchemasManager().register_table(TableSchema(
        address=Address.from_string("r#Ticket"), columns=[TableColumnSchema(name="code", type=str)],
        unique_columns=["code"]))
    connection = make_connection(engine)
    address = Address.from_string("r#Ticket")
    connection.insert(address=address.model_copy(update={"object_id": "A", "object_version": "1"}), data={"code": "x"})
    with pytest.raises(StorageError, match="UNIQUE"):
        connection.insert(address=address.model_copy(update={"object_id": "B", "object_version": "1"}), data={"code": "x"})
    assert [h["object_id"] for h in connection.history("Ticket")] == ["A"]


def test_registration_reaches_open_connections(engine, make_connection):
    connection = make_connection(engine)
    schema = TableSchema(address=Address.from_string("r#Note"), columns=[TableColumnSchema(name="text", type=str)])
    TableSchemasManager().register_table(schema)
    TableSchemasManager().register_table(schema.model_copy(update={"address": Address.from_string("other#Note")}))
    connection.insert(address=Address.from_string("r#Note::N1:1"), data={"text": "a"})
    TableSchemasManager().register_table(TableSchema(
        address=schema.address, columns=schema.columns + [TableColumnSchema(name="stars", type=int, default=0)]))
    connection.insert(address=Address.from_string("r#Note::N2:1"), data={"text": "b", "stars": 5})
    assert [(r["text"], r["stars"]) for r in connection.query(address=schema.address)] == [("a", 0), ("b", 5)]


def test_rows_persist_across_processes(engine, make_connection, storage_config, migration_table):
    insert(make_connection(engine), 1)
    put_version(make_connection(engine), row(2), new_address())
    script = (
        "import json, sys\n"
        "from velkor_data.connections.manager import ConnectionsManager\n"
        "from velkor_utils.config.data_models.velkor_config import ConnectionConfig\n"
        "from velkor_utils.models.data_models.address import Address\n"
        "from velkor_utils.query.utils import Q\n"
        "config = ConnectionConfig.model_validate_json(sys.argv[1])\n"
        "rows = ConnectionsManager([config]).get_connection('store').query(\n"
        "    address=Address.from_string('resource#Migration'),\n"
        "    conditions=Q(_metadata__is_deleted=False, _metadata__next_version__isnull=True))\n"
        "print(json.dumps([r['number'] for r in rows]))\n"
    )
    env = {**os.environ, "PYTHONPATH": str(Path(velkor_data.__file__).parent.parent)}
    result = subprocess.run([sys.executable, "-c", script, storage_config(engine).model_dump_json()],
                            capture_output=True, text=True, env=env, check=True, timeout=120)
    assert json.loads(result.stdout) == [1, 2]


def unusable(engine, tmp_path, servers):
    """Settings of a connection whose storage cannot be used, and what the error names: where, and why."""
    if engine == "postgresql":
        with socket.socket() as probe:  # a port nothing listens on
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        url = f"postgresql://velkor@127.0.0.1:{port}/velkor"
        return {"engine": engine, "url": url}, [url, "connection refused"]
    if engine == "delta-s3":
        uri = "s3://no-such-bucket/lake"
        return {"engine": "delta", "path": uri, "endpoint_url": servers.s3_endpoint}, [uri, "no such bucket"]
    (tmp_path / "file").write_text("")
    return {"engine": engine, "path": tmp_path / "file" / "store" / "db"}, [str(tmp_path / "file" / "store")]


def test_connections_manager_errors(engine, storage_config, tmp_path, servers):
    manager = ConnectionsManager([storage_config(engine, "a"), storage_config(engine, "b")])
    assert manager.get_connection("a") is manager.get_connection("a")
    with pytest.raises(KeyError, match="unknown connection 'nope' \\(configured: 'a', 'b'\\)"):
        manager.get_connection("nope")
    settings, named = unusable(engine, tmp_path, servers)
    manager = ConnectionsManager([ConnectionConfig(name="c", **settings)])
    with pytest.raises(StorageError) as error:
        manager.get_connection("c")
    message = str(error.value)
    assert message.startswith("c: ") and "\n" not in message
    assert all(part in message for part in named), message


def test_holds_data_is_found_without_making_anything(engine, storage_config, migration_table):
    manager = ConnectionsManager([storage_config(engine)])
    assert manager.holds_data("store") is False
    assert manager.holds_data("store") is False  # looking made nothing
    put_version(manager.get_connection("store"), row(1), new_address())
    assert manager.holds_data("store") is True
    manager.close()


def test_a_staged_commit_is_written_whole_or_not_at_all(engine, make_connection, migration_table):
    """One migration twice in a commit: refused by the key (None counts as a value), and nothing of it is written."""
    schema = migration_table.model_copy(update={"unique_together": [["module_name", "migration_name"]]})
    TableSchemasManager().register_table(schema)
    connection = make_connection(engine)
    insert(connection, 1)
    with pytest.raises(StorageError, match="UNIQUE constraint failed"):
        with VelkorDataManager().get_transaction_manager().begin():
            insert(connection, 2)
            put_version(connection, row(3), new_address())
            insert(connection, 1)  # module_name None again: the same key
    assert numbers(connection.query(address=MIGRATION, conditions=Q(**CURRENT))) == [1]
    with VelkorDataManager().get_transaction_manager().begin():
        insert(connection, 2)
        insert(connection, 3)
    assert numbers(connection.query(address=MIGRATION, conditions=Q(**CURRENT))) == [1, 2, 3]


def test_log_versions_grow_with_each_commit_of_a_table(engine, make_connection, migration_table):
    connection = make_connection(engine)
    assert connection.log_versions() == {}
    insert(connection, 1)
    first = connection.log_versions()
    insert(connection, 2)
    put_version(connection, row(3), new_address())
    later = connection.log_versions()
    if engine == "sqlite":
        assert first == later == {}  # SQLite keeps no table log
        return
    assert set(first) <= set(later) and all(later[table] > version for table, version in first.items())
    assert "_velkor_metadata" in later


def test_set_aside_moves_a_store_or_refuses_clearly(engine, storage_config, migration_table):
    config = storage_config(engine)
    manager = ConnectionsManager([config])
    insert(manager.get_connection("store"), 1)
    if engine in ("postgresql", "delta-s3"):  # a server's storage stays where it is
        with pytest.raises(StorageError, match="is not moved aside") as error:
            manager.set_aside("store")
        assert config.location in str(error.value)
        assert manager.holds_data("store")
        return
    moved = manager.set_aside("store")
    assert ".damaged-" in str(moved) and Path(moved).exists()
    assert not manager.holds_data("store")
    assert manager.get_connection("store").query(address=MIGRATION, conditions=None) == []


@pytest.mark.parametrize("engine", ["sqlite"], indirect=True)
@pytest.mark.parametrize("change", [
    'UPDATE "Migration" SET number = 9',
    'DELETE FROM "Migration"',
    "UPDATE _velkor_versions SET data = '{}' WHERE class_name = 'Migration'",
    "DELETE FROM _velkor_metadata WHERE class_name = 'Migration'",
    'ALTER TABLE "Migration" ADD COLUMN extra TEXT',
    'DROP TABLE "Migration"',
])
def test_sqlite_state_follows_any_write_of_the_class_by_any_program(engine, make_connection, migration_table, change):
    import sqlite3
    connection = make_connection(engine)
    insert(connection, 1)
    put_version(connection, row(2), new_address())
    before = connection.state(["Migration"])
    assert before.startswith("counted ") and connection.state(["Migration"]) == before  # (reading writes nothing)
    with sqlite3.connect(connection.path) as db:
        db.execute(change)
    assert connection.state(["Migration"]) != before
