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


@pytest.fixture(params=["sqlite", "delta"])
def engine(request):
    return request.param


@pytest.fixture
def make_connection(tmp_path):
    """Open a connection of an engine under tmp_path; the same name reaches the same storage."""
    managers = []

    def make(engine, name="store"):
        path = tmp_path / (f"{name}.sqlite3" if engine == "sqlite" else name)
        manager = ConnectionsManager([ConnectionConfig(name=name, engine=engine, path=path)])
        managers.append(manager)
        return manager.get_connection(name)

    yield make
    for manager in managers:
        manager.close()
