"""What the runner needs of the framework beyond the two native modules, and
beyond the plain records and schemas it reads (``MigrationFile``,
``ObjectSchema``, ``Address``, ``Metadata``, ``Q``, table schemas).

A framework that hosts the runner provides these; the stand-in in this
repository does, and a test holds it to them. Only ``record`` uses the
storage layer's part, and ``project`` (with ``configuration``) the settings and
the configuration's reader.
"""
from __future__ import annotations

from collections.abc import Mapping
from contextlib import AbstractContextManager
from pathlib import Path
from typing import Any, Protocol, runtime_checkable

# The causes a ``StorageError`` gives (``velkor_data.engines.base``): a full disk (NO_SPACE), a store
# that may be read but not written (READ_ONLY), a conditional commit refused (CHANGED_SINCE_READ).
NO_SPACE_CAUSE = "no space left on device"


@runtime_checkable
class Settings(Protocol):
    """``velkor.configs.main.settings``: the project root every path is computed from."""

    CONFIG_FILE_NAME: str
    MIGRATIONS_DIRECTORY_NAME: str

    def configure(self, project_root: Any = None) -> None:
        """Use this root; ``None`` goes back to the working directory."""

    @property
    def configured_root(self) -> Path | None:
        """What ``configure`` set: ``None`` while the working directory is the root."""

    @property
    def PROJECT_ROOT(self) -> Path: ...

    @property
    def APP_PATH(self) -> Path: ...

    @property
    def CONTRIB_PATH(self) -> Path: ...

    @property
    def CONFIG_PATH(self) -> Path: ...


@runtime_checkable
class ConfigReader(Protocol):
    """``velkor_utils.config.manager.VelkorConfigManager``: the runner reads the configuration file the user
    chose, applies the environment's overrides to its data, and has the framework check the result
    (``ConfigError`` naming ``source`` and the field); relative paths are taken from ``project_root``."""

    @staticmethod
    def parse(data: dict[str, Any], source: str, project_root: Path) -> Any:
        """The checked configuration (``VelkorConfig``: ``connections`` and ``resources_config``)."""


@runtime_checkable
class StorageError(Protocol):
    """``velkor_data.engines.base.StorageError``, the one error a store raises."""

    cause: str         # the cause alone, in a few words; NO_SPACE_CAUSE for a full disk
    unavailable: bool  # the store could not be reached at all: nothing is known of what it holds


@runtime_checkable
class Connection(Protocol):
    """A connection to one store (``velkor_data.engines.base.Connection``)."""

    name: str

    def query(self, address: Any, conditions: Any = None) -> list[dict[str, Any]]:
        """Rows with their ``_metadata`` document (its ``address`` included)."""

    def put(self, address: Any, data: Mapping[str, Any]) -> None: ...

    def insert(self, address: Any, data: Mapping[str, Any]) -> None: ...

    def delete(self, address: Any) -> int | None: ...

    def history(self, class_name: str) -> list[dict[str, Any]]:
        """Every version of the class's objects, oldest first: ``written_at``, ``is_deleted``,
        ``object_id``, ``object_version``, ``transaction``, ``data``, ``metadata``."""

    def log_versions(self) -> dict[str, int]:
        """The version of each table's log, for engines that keep one (else empty)."""

    def state(self, classes: list[str] | None = None) -> Any:
        """A JSON value that changes whenever what is stored of ``classes`` changes, found without
        reading the data whole; None when the engine cannot tell cheaply (the data is then read)."""

    def commit(self, operations: list[Any], expected_versions: dict[str, int] | None = None) -> int:
        """Write staged operations; with ``expected_versions``, only while the tables are at those
        log versions (else a StorageError whose cause is CHANGED_SINCE_READ, and nothing written)."""


@runtime_checkable
class Connections(Protocol):
    """``velkor_data.connections.manager.ConnectionsManager``."""

    def config(self, name: str) -> Any:
        """The connection's configuration; its ``location`` names the store without a password."""

    def holds_data(self, name: str) -> bool:
        """Whether the store holds anything, found without opening or creating it."""

    def set_aside(self, name: str) -> Path | str:
        """Move an unreadable store out of the way and say where; a StorageError when it cannot."""

    def get_connection(self, name: str) -> Connection: ...

    def close(self) -> None: ...


@runtime_checkable
class Transaction(Protocol):
    """A transaction begun with ``TransactionManager.begin()``: writes are staged until ``commit``."""

    address: Any

    def commit(self) -> None:
        """Commit connection by connection; when one fails, those before it stay committed."""

    def expect(self, connection_name: str, versions: dict[str, int]) -> None:
        """Commit to that connection only while its tables are at these log versions."""

    @property
    def committed(self) -> list[str]:
        """The names of the connections whose share is committed, in commit order."""


@runtime_checkable
class TransactionManager(Protocol):
    """``VelkorDataManager().get_transaction_manager()``."""

    @property
    def transaction_object(self) -> Transaction:
        """The current transaction (its address goes into every metadata document)."""

    def begin(self) -> AbstractContextManager[Transaction]:
        """A new transaction, current for the block: committed at its end, dropped when it raises."""

