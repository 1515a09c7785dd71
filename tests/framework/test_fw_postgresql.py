"""The PostgreSQL engine when the server refuses, ends a session or runs out of
space, and when several hosts make its tables at once: each failure said in
one line, nothing half-written, and the next use goes on."""
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

import velkor_data
from velkor_data.connections.manager import ConnectionsManager
from velkor_data.engines import StorageError
from velkor_data.manager import VelkorDataManager
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.config.data_models.velkor_config import ConnectionConfig
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.table_schema import TableColumnSchema, TableSchema
from velkor_utils.utils.identifier import get_identifier

NOTE = TableSchema(address=Address.from_string("r#Note"), columns=[TableColumnSchema(name="text", type=str)])


def store(url, name="db"):
    return ConnectionsManager([ConnectionConfig(name=name, engine="postgresql", url=url)])


def note(connection, text):
    connection.insert(address=Address.from_string(f"r#Note::{get_identifier()}:1"), data={"text": text})


def texts(connection):
    return [row["text"] for row in connection.query(address=NOTE.address)]


def database_of(url):
    return url.rsplit("/", 1)[1]


@pytest.mark.parametrize("case, cause", [
    ("wrong password", "authentication failed for user 'velkor' (the password comes from PGPASSWORD or ~/.pgpass)"),
    ("no password", "the server asks for a password: set PGPASSWORD (or put it in ~/.pgpass)"),
    ("no such database", 'database "no_such_database" does not exist'),
])
def test_a_refusing_server_is_said_in_one_line(postgres_url, monkeypatch, tmp_path, case, cause):
    url = postgres_url
    if case == "wrong password":
        monkeypatch.setenv("PGPASSWORD", "wrong")
    elif case == "no password":
        monkeypatch.delenv("PGPASSWORD")
        monkeypatch.setenv("PGPASSFILE", str(tmp_path / "no-pgpass"))
    else:
        url = url.rsplit("/", 1)[0] + "/no_such_database"
    with pytest.raises(StorageError) as error:
        store(url).get_connection("db")
    assert str(error.value) == f"db: cannot open the PostgreSQL database {url}: {cause}"
    assert error.value.unavailable


def test_a_session_the_server_ends_is_said_and_the_next_call_opens_another(postgres_url, servers):
    TableSchemasManager().register_table(NOTE)
    connection = store(postgres_url).get_connection("db")
    note(connection, "before")
    servers.admin().execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                            "WHERE datname = %s AND pid <> pg_backend_pid()", (database_of(postgres_url),))
    with pytest.raises(StorageError) as error:
        note(connection, "lost")
    assert str(error.value).endswith(": the server closed the connection") and error.value.unavailable
    note(connection, "after")
    assert texts(connection) == ["before", "after"]
    connection.close()


MAKER = """
import sys, time
from velkor_data.connections.manager import ConnectionsManager
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.config.data_models.velkor_config import ConnectionConfig
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.table_schema import TableColumnSchema, TableSchema
url, start, host = sys.argv[1], float(sys.argv[2]), sys.argv[3]
TableSchemasManager().register_table(TableSchema(
    address=Address.from_string("r#Note"), columns=[TableColumnSchema(name="text", type=str)],
    unique_together=[["text"]]))
time.sleep(max(0.0, start - time.time()))
connection = ConnectionsManager([ConnectionConfig(name="db", engine="postgresql", url=url)]).get_connection("db")
connection.insert(address=Address.from_string(f"r#Note::{host}:1"), data={"text": host})
"""


def test_hosts_making_the_same_tables_at_once_wait_for_each_other(postgres_url):
    environment = {**os.environ, "PYTHONPATH": str(Path(velkor_data.__file__).parents[1])}
    start = time.time() + 2.0  # every process opens the empty database at the same moment
    hosts = [subprocess.Popen([sys.executable, "-c", MAKER, postgres_url, str(start), f"host{n}"],
                              stderr=subprocess.PIPE, text=True, env=environment) for n in range(4)]
    results = [(host.wait(timeout=120), host.stderr.read()) for host in hosts]
    assert [code for code, _ in results] == [0, 0, 0, 0], results
    TableSchemasManager().register_table(NOTE)
    assert sorted(texts(store(postgres_url).get_connection("db"))) == ["host0", "host1", "host2", "host3"]


@pytest.fixture
def small_tablespace(servers, postgres_url):
    """The database's tables on a 4 MiB file system of their own (needs the right to mount
    one, and the server on this machine); yields the URL and the mount."""
    admin = servers.admin()
    data = Path(admin.execute("SHOW data_directory").fetchone()[0])
    owner = data.stat()
    mount = Path(tempfile.mkdtemp(prefix="velkor-small-", dir="/tmp"))
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size=4m,mode=0700,uid={owner.st_uid},gid={owner.st_gid}",
                           "tmpfs", str(mount)], capture_output=True)
    if made.returncode != 0:
        mount.rmdir()
        pytest.skip(f"cannot mount a small file system here: {made.stderr.decode().strip()}")
    name = f"small_{database_of(postgres_url)}"
    admin.execute(f"CREATE TABLESPACE {name} LOCATION '{mount}'")
    admin.execute(f'ALTER DATABASE "{database_of(postgres_url)}" SET default_tablespace = {name}')
    try:
        yield postgres_url, mount
    finally:
        admin.execute(f'DROP DATABASE IF EXISTS "{database_of(postgres_url)}" WITH (FORCE)')
        admin.execute(f"DROP TABLESPACE IF EXISTS {name}")
        subprocess.run(["umount", "-l", str(mount)], check=False)
        mount.rmdir()


def test_a_full_disk_is_said_in_one_line_and_the_commit_leaves_nothing(small_tablespace):
    url, mount = small_tablespace
    TableSchemasManager().register_table(NOTE)
    manager = store(url)
    connection = manager.get_connection("db")
    note(connection, "kept")
    filler = mount / "filler"
    with open(filler, "wb") as file:  # every free byte of the file system
        try:
            while True:
                file.write(b"\0" * 65536)
        except OSError:
            pass
    with pytest.raises(StorageError) as error:
        with VelkorDataManager().get_transaction_manager().begin():
            for n in range(200):
                note(connection, f"lost {n} " + "x" * 2000)
    assert error.value.cause == "no space left on device" and "\n" not in str(error.value)
    filler.unlink()
    assert texts(connection) == ["kept"]
    note(connection, "after")
    assert texts(connection) == ["kept", "after"]
    manager.close()
