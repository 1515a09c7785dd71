"""Recording stand-ins for the ledger's framework names, and real projects
on a temporary folder in each of the five storage configurations."""
import itertools
from pathlib import Path
from types import SimpleNamespace

import pytest

from velkor.configs.main import settings
from velkor.migration import ledger_vault
from velkor.migration.data_classes import MigrationFile, ModuleTypes
from velkor_data.table_schemas.manager import TableSchemasManager


@pytest.fixture(autouse=True)
def clean_process_state():
    TableSchemasManager().reset()
    settings.configure(None)
    yield
    TableSchemasManager().reset()
    settings.configure(None)


def migration(number=1, module=None, name=None, stored_address=None):
    module_type = ModuleTypes.CONTRIB if module else ModuleTypes.APP
    return MigrationFile(number=number, path=Path("somewhere", name or f"{number:04d}_step.py"),
                         type=module_type, module=module, applied_at=1700000000.5 + number,
                         stored_address=stored_address)


class Connection:
    """A storage connection that records each call as (connection name, method, arguments)."""

    def __init__(self, log, name):
        self.log, self.name, self.rows = log, name, []
        self.fail = {}  # method name -> exception to raise

    def _record(self, method, *args, **kwargs):
        self.log.append((self.name, method, args, kwargs))
        if method in self.fail:
            raise self.fail[method]

    def query(self, **kwargs):
        self._record("query", **kwargs)
        return self.rows

    def insert(self, **kwargs):
        self._record("insert", **kwargs)

    def put(self, **kwargs):
        self._record("put", **kwargs)

    def delete(self, *args):
        self._record("delete", *args)


class Storage:
    """Recording stand-ins for the configuration, connections and table
    registration, put into the module's globals; every other framework name
    stays real.  Identifiers are ID1, ID2, ... in order of drawing."""

    def __init__(self, monkeypatch):
        self.log = []
        self.connections = {}
        self.config = SimpleNamespace(
            connections={"repository": "repository settings", "lakehouse": "lakehouse settings"},
            resources_config=SimpleNamespace(
                repository=SimpleNamespace(default="repository"), lakehouse="lakehouse"))
        self.identifiers = (f"ID{n}" for n in itertools.count(1))
        storage = self

        class ConfigManager:
            def __init__(self):
                storage.log.append(("VelkorConfigManager",))

            def get_config(self):
                storage.log.append(("get_config",))
                return storage.config

        class ConnectionsManager:
            def __init__(self, *args, **kwargs):
                storage.log.append(("ConnectionsManager", args, kwargs))

            def get_connection(self, *args):
                storage.log.append(("get_connection", *args))
                (name,) = args
                return storage.connection(name)

        class SchemasManager:
            def __init__(self):
                storage.log.append(("TableSchemasManager",))

            def register_table(self, *args, **kwargs):
                storage.log.append(("register_table", args, kwargs))

        for name, value in [("VelkorConfigManager", ConfigManager),
                            ("ConnectionsManager", ConnectionsManager),
                            ("TableSchemasManager", SchemasManager),
                            ("get_identifier", lambda: next(self.identifiers))]:
            monkeypatch.setattr(ledger_vault, name, value)

    def connection(self, name):
        if name not in self.connections:
            self.connections[name] = Connection(self.log, name)
        return self.connections[name]

    def vault(self, *names):
        """A new ledger, optionally with other (repository, lakehouse) names."""
        if names:
            resources = self.config.resources_config
            resources.repository.default, resources.lakehouse = names
        vault = ledger_vault.LedgerVault()
        self.log.clear()
        return vault

    def writes(self):
        """The log, each storage call shortened to (connection, method, address text)."""
        shortened = []
        for entry in self.log:
            if entry[0] in self.connections:
                name, method, args, kwargs = entry
                entry = (name, method, str(kwargs["address"] if "address" in kwargs else args[0]))
            shortened.append(entry)
        return shortened


@pytest.fixture
def storage(monkeypatch):
    return Storage(monkeypatch)


SERVER = object()  # a location on the test servers

CONFIGURATIONS = {
    "repository only": {
        "connections": {"repository": ("sqlite", ".velkor/repository.sqlite3")},
        "repository": "repository", "lakehouse": None},
    "repository and lakehouse": {
        "connections": {"repository": ("sqlite", ".velkor/repository.sqlite3"),
                        "lakehouse": ("delta", ".velkor/lakehouse")},
        "repository": "repository", "lakehouse": "lakehouse"},
    "one delta store for both": {
        "connections": {"store": ("delta", ".velkor/store")},
        "repository": "store", "lakehouse": "store"},
    "one sqlite store for both": {
        "connections": {"store": ("sqlite", ".velkor/store.sqlite3")},
        "repository": "store", "lakehouse": "store"},
    "lakehouse only": {
        "connections": {"lakehouse": ("delta", ".velkor/lakehouse")},
        "repository": None, "lakehouse": "lakehouse"},
    "neither": {
        "connections": {"spare": ("sqlite", ".velkor/spare.sqlite3")},
        "repository": None, "lakehouse": None},
    # On the servers of tools/test-servers: a new database or bucket prefix each.
    "postgresql repository only": {
        "connections": {"repository": ("postgresql", SERVER)},
        "repository": "repository", "lakehouse": None},
    "postgresql repository and lakehouse": {
        "connections": {"repository": ("postgresql", SERVER), "lakehouse": ("delta", ".velkor/lakehouse")},
        "repository": "repository", "lakehouse": "lakehouse"},
    "postgresql repository and s3 lakehouse": {
        "connections": {"repository": ("postgresql", SERVER), "lakehouse": ("delta", SERVER)},
        "repository": "repository", "lakehouse": "lakehouse"},
    "one postgresql store for both": {
        "connections": {"store": ("postgresql", SERVER)},
        "repository": "store", "lakehouse": "store"},
    "one s3 store for both": {
        "connections": {"store": ("delta", SERVER)},
        "repository": "store", "lakehouse": "store"},
    "s3 lakehouse only": {
        "connections": {"lakehouse": ("delta", SERVER)},
        "repository": None, "lakehouse": "lakehouse"},
}


def connection_lines(engine, path, servers):
    """The settings of a connection in velkor.toml; SERVER: new storage on the test servers."""
    if path is not SERVER:
        return [f'engine = "{engine}"', f'path = "{path}"']
    if engine == "postgresql":
        return ['engine = "postgresql"', f'url = "{servers.database()}"']
    return ['engine = "delta"', f'path = "{servers.lakehouse()}"', f'endpoint_url = "{servers.s3_endpoint}"']


def write_project(root, configuration, servers=None):
    """A project folder whose velkor.toml describes one of CONFIGURATIONS."""
    lines = []
    for name, (engine, path) in configuration["connections"].items():
        lines += [f"[connections.{name}]", *connection_lines(engine, path, servers)]
    lines.append("[resources_config]")
    if configuration["lakehouse"]:
        lines.append(f'lakehouse = "{configuration["lakehouse"]}"')
    lines.append("[resources_config.repository]")
    if configuration["repository"]:
        lines.append(f'default = "{configuration["repository"]}"')
    (root / "velkor.toml").write_text("\n".join(lines) + "\n")
    return root


@pytest.fixture(params=list(CONFIGURATIONS))
def project(request, tmp_path, servers):
    """A real project in one configuration, made the current one."""
    configuration = CONFIGURATIONS[request.param]
    settings.configure(write_project(tmp_path, configuration, servers))
    return SimpleNamespace(root=tmp_path, name=request.param, **configuration)
