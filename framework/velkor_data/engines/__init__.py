"""Storage engines, by the name used in the configuration's ``engine`` field."""
from velkor_data.engines.base import Connection, StorageError
from velkor_data.engines.delta import DeltaConnection
from velkor_data.engines.sqlite import SQLiteConnection

ENGINES: dict[str, type[Connection]] = {
    SQLiteConnection.engine: SQLiteConnection,
    DeltaConnection.engine: DeltaConnection,
}

__all__ = ["ENGINES", "Connection", "DeltaConnection", "SQLiteConnection", "StorageError"]
