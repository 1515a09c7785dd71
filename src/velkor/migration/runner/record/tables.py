"""The runner's tables in the stores, and the two ways it touches them: the
current versions of a class, and a new version written with its metadata
document."""
from __future__ import annotations

import json
from pathlib import Path
from typing import Any

from velkor.migration.data_classes import MigrationFile, ModuleTypes
from velkor.migration.ledger_vault import LedgerVault
from velkor_data.engines.base import Connection
from velkor_data.manager import VelkorDataManager
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.config.data_models.velkor_config import VelkorConfig
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.metadata import Metadata
from velkor_utils.query.utils import Q
from velkor_utils.utils.identifier import get_identifier

MIGRATION = Address(resource="resource", class_name="Migration")
KEY_COLUMNS = ["module_name", "migration_name"]
CURRENT = Q(_metadata__is_deleted=False, _metadata__next_version__isnull=True)

Version = tuple[str, str]  # (object id, object version) of a stored record


class GivenConfiguration:
    """Stands where the ledger vault keeps its configuration's reader: gives the configuration the runner read."""

    def __init__(self, config: VelkorConfig) -> None:
        self._config = config

    def get_config(self) -> VelkorConfig:
        return self._config


class ProjectVault(LedgerVault):
    """The ledger, with the ``Migration`` table keyed by migration: a store
    that enforces keys refuses a second row for one migration.

    With ``config`` (the file the user chose, with the environment's
    overrides: ``configuration``), the vault's connections are made from it:
    the vault's constructor sets ``self._config_manager`` to the framework's
    reader of velkor.toml and reads ``self._config_manager.get_config()``
    back, and here that reader gives ``config``. Without it, the framework's
    reader reads velkor.toml in the project root."""

    def __init__(self, config: VelkorConfig | None = None) -> None:
        self._given_config = config
        self.built_address: Address | None = None
        super().__init__()

    @property
    def _config_manager(self) -> Any:
        return self.__dict__["_config_reader"]

    @_config_manager.setter
    def _config_manager(self, reader: Any) -> None:
        given = self.__dict__.get("_given_config")
        self.__dict__["_config_reader"] = reader if given is None else GivenConfiguration(given)

    def _build_migration_metadata(self, migration: MigrationFile, object_id: str | None = None
                                  ) -> tuple[Address, dict[str, Any]]:
        """Also keeps the address of a new record (``built_address``), so that the run knows where it stored it."""
        address, metadata = super()._build_migration_metadata(migration, object_id)
        if object_id is None:
            self.built_address = address
        return address, metadata

    def _init_migration_table(self) -> None:
        super()._init_migration_table()
        schemas = TableSchemasManager()
        table = schemas.get_table(MIGRATION.class_name)
        schemas.register_table(table.model_copy(update={"unique_together": [KEY_COLUMNS]}))


def current(connection: Connection, address: Address = MIGRATION) -> list[dict[str, Any]]:
    """The current versions of a class's objects: neither deleted nor replaced."""
    return connection.query(address=address, conditions=CURRENT)


def new_metadata(address: Address, **fields: Any) -> dict[str, Any]:
    """The metadata document of a version written in the current transaction."""
    transaction = VelkorDataManager().get_transaction_manager().transaction_object.address
    return json.loads(Metadata(address=address, transaction=transaction, **fields).model_dump_json())


def put_version(connection: Connection, address: Address, data: dict[str, Any], metadata: dict[str, Any]) -> None:
    """Write a version of an object and the metadata document that describes it."""
    connection.put(address=address, data=data)
    connection.put(address=Address(resource="resource", class_name="Metadata", object_id=get_identifier()),
                   data=metadata)


def row_address(row: dict[str, Any]) -> Address:
    return Address(**row["_metadata"]["address"])


def version_of(address: Address | None) -> Version:
    return (address.object_id, address.object_version) if address is not None else ("", "")


def row_version(row: dict[str, Any]) -> Version:
    address = row["_metadata"]["address"]
    return address["object_id"], address["object_version"]


def record_of(row: dict[str, Any]) -> MigrationFile:
    """The record of a stored row, as far as withdrawing it needs."""
    return MigrationFile(number=row["number"], path=Path(row["migration_name"]), type=ModuleTypes(row["module_type"]),
                         module=row["module_name"], applied_at=row["applied_at"], stored_address=row_address(row))
