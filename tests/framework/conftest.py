import pytest

from velkor.configs.main import settings
from velkor_data.connections.manager import ConnectionsManager
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.classes.version_manager import ClassVersionManager
from velkor_utils.config.data_models.velkor_config import ConnectionConfig
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.table_schema import TableColumnSchema, TableSchema

MIGRATION = Address.from_string("resource#Migration")


@pytest.fixture(autouse=True)
def clean_registries():
    """Process-wide registries and settings start empty for every test."""
    TableSchemasManager().reset()
    ClassVersionManager().reset()
    settings.configure(None)
    yield
    TableSchemasManager().reset()
    ClassVersionManager().reset()
    settings.configure(None)


@pytest.fixture
def migration_table():
    """The table schema the migration ledger registers."""
    schema = TableSchema(
        address=MIGRATION.model_copy(update={"resource": "repository"}),
        columns=[
            TableColumnSchema(name="number", type=int, default=None, nullable=False),
            TableColumnSchema(name="migration_name", type=str, default=None, nullable=False),
            TableColumnSchema(name="module_type", type=str, default=None, nullable=False),
            TableColumnSchema(name="module_name", type=str, default=None, nullable=True),
            TableColumnSchema(name="applied_at", type=float, default=None),
        ],
        indexed=[],
        unique_columns=[],
    )
    TableSchemasManager().register_table(schema)
    return schema


# The engines, and where each keeps its storage: a file or folder under the
# test's folder, a new database on the PostgreSQL server, a new prefix in the
# S3-compatible server's bucket.
ENGINES = ["sqlite", "delta", "postgresql", "delta-s3"]


@pytest.fixture(params=ENGINES)
def engine(request, servers):
    if request.param == "postgresql":
        servers.admin()  # skips (or fails, in CI) without the server
    elif request.param == "delta-s3":
        servers.lakehouse()
    return request.param


@pytest.fixture
def storage_config(tmp_path, servers):
    """The settings of a connection of an engine; the same name gives the same storage."""
    made = {}

    def config(engine, name="store"):
        if (engine, name) not in made:
            if engine == "postgresql":
                settings = {"engine": "postgresql", "url": servers.database()}
            elif engine == "delta-s3":
                settings = {"engine": "delta", "path": servers.lakehouse(), "endpoint_url": servers.s3_endpoint}
            else:
                settings = {"engine": engine, "path": tmp_path / (f"{name}.sqlite3" if engine == "sqlite" else name)}
            made[engine, name] = ConnectionConfig(name=name, **settings)
        return made[engine, name]

    return config


@pytest.fixture
def make_connection(storage_config):
    """Open a connection of an engine; the same name reaches the same storage."""
    managers = []

    def make(engine, name="store"):
        manager = ConnectionsManager([storage_config(engine, name)])
        managers.append(manager)
        return manager.get_connection(name)

    yield make
    for manager in managers:
        manager.close()
