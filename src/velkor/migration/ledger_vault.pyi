# Type stubs for the native module velkor.migration.ledger_vault.
from abc import ABC, abstractmethod
from typing import Any, ClassVar

from velkor.migration.data_classes import MigrationFile
from velkor_data.connections.manager import ConnectionsManager
from velkor_utils.config.data_models.velkor_config import VelkorConfig
from velkor_utils.config.manager import VelkorConfigManager
from velkor_utils.models.data_models.address import Address

class BaseMigrationStore(ABC):
    @abstractmethod
    def fetch_migrations(self) -> list[MigrationFile]: ...
    @abstractmethod
    def save_migration(self, migration: MigrationFile) -> None: ...
    @abstractmethod
    def delete_migration(self, migration: MigrationFile) -> None: ...

class LedgerVault(BaseMigrationStore):
    migration_address: ClassVar[Address]
    _config_manager: VelkorConfigManager
    _velkor_config: VelkorConfig
    _connections_manager: ConnectionsManager
    def __init__(self) -> None: ...
    def fetch_migrations(self) -> list[MigrationFile]: ...
    def save_migration(self, migration: MigrationFile) -> None: ...
    def delete_migration(self, migration: MigrationFile) -> None: ...
    def _save_historical_data(
        self, address: Address, data: dict[str, Any], metadata: dict[str, Any]
    ) -> None: ...
    @staticmethod
    def _build_migration_data(migration: MigrationFile) -> dict[str, Any]: ...
    @classmethod
    def _build_migration_metadata(
        cls, migration: MigrationFile, object_id: str | None = None
    ) -> tuple[Address, dict[str, Any]]: ...
    def _init_migration_table(self) -> None: ...
