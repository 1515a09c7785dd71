"""The Delta lakehouse on an S3-compatible server: several hosts making and
committing to one table at once lose no commit, the endpoint may come from
the environment, and an endpoint that does not answer is said in one line."""
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

import velkor_data
from velkor_data.connections.manager import ConnectionsManager
from velkor_data.engines import StorageError
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.config.data_models.velkor_config import ConnectionConfig
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.table_schema import TableColumnSchema, TableSchema

NOTE = TableSchema(address=Address.from_string("r#Note"), columns=[TableColumnSchema(name="text", type=str)])
HOSTS, COMMITS = 4, 8

WRITER = """
import sys, time
from velkor_data.connections.manager import ConnectionsManager
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.config.data_models.velkor_config import ConnectionConfig
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.table_schema import TableColumnSchema, TableSchema
uri, endpoint, start, host, commits = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4], int(sys.argv[5])
TableSchemasManager().register_table(TableSchema(
    address=Address.from_string("r#Note"), columns=[TableColumnSchema(name="text", type=str)]))
config = ConnectionConfig(name="lake", engine="delta", path=uri, endpoint_url=endpoint)
connection = ConnectionsManager([config]).get_connection("lake")
time.sleep(max(0.0, start - time.time()))
for n in range(commits):
    connection.insert(address=Address.from_string(f"r#Note::{host}-{n}:1"), data={"text": f"{host}-{n}"})
"""


def lake(uri, endpoint):
    return ConnectionsManager([ConnectionConfig(name="lake", engine="delta", path=uri, endpoint_url=endpoint)])


def texts(connection):
    return sorted(row["text"] for row in connection.query(address=NOTE.address))


def test_hosts_committing_at_once_lose_no_commit(s3_lakehouse, servers):
    environment = {**os.environ, "PYTHONPATH": str(Path(velkor_data.__file__).parents[1])}
    start = time.time() + 3.0  # every host commits from the same moment, to the same new table
    hosts = [subprocess.Popen([sys.executable, "-c", WRITER, s3_lakehouse, servers.s3_endpoint, str(start),
                               f"host{h}", str(COMMITS)], stderr=subprocess.PIPE, text=True, env=environment)
             for h in range(HOSTS)]
    results = [(host.wait(timeout=300), host.stderr.read()) for host in hosts]
    assert all(code == 0 for code, _ in results), results
    TableSchemasManager().register_table(NOTE)
    connection = lake(s3_lakehouse, servers.s3_endpoint).get_connection("lake")
    assert texts(connection) == sorted(f"host{h}-{n}" for h in range(HOSTS) for n in range(COMMITS))
    assert connection.log_versions()["Note"] == HOSTS * COMMITS - 1  # one log entry per commit, none overwritten


def test_the_endpoint_may_come_from_the_environment(s3_lakehouse, servers, monkeypatch):
    monkeypatch.setenv("AWS_ENDPOINT_URL", servers.s3_endpoint)
    TableSchemasManager().register_table(NOTE)
    connection = lake(s3_lakehouse, None).get_connection("lake")
    connection.insert(address=Address.from_string("r#Note::N:1"), data={"text": "via the environment"})
    assert texts(lake(s3_lakehouse, servers.s3_endpoint).get_connection("lake")) == ["via the environment"]


def test_an_endpoint_that_does_not_answer_is_said_in_one_line(s3_lakehouse):
    with socket.socket() as probe:  # a port nothing listens on
        probe.bind(("127.0.0.1", 0))
        endpoint = f"http://127.0.0.1:{probe.getsockname()[1]}"
    with pytest.raises(StorageError) as error:
        lake(s3_lakehouse, endpoint).get_connection("lake")
    assert str(error.value) == (f"lake: cannot open the lakehouse {s3_lakehouse}: "
                                f"connection refused (no object store answers at {endpoint})")
    assert error.value.unavailable
