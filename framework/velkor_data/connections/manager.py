from __future__ import annotations

from collections.abc import Iterable
from pathlib import Path

from velkor_data.engines import ENGINES, Connection, engine_class
from velkor_utils.config.data_models.velkor_config import ConnectionConfig


class UnknownConnectionError(KeyError):
    def __str__(self) -> str:
        return str(self.args[0])


class ConnectionsManager:
    """The configured connections, each opened at its first use and then kept."""

    def __init__(self, connections: Iterable[ConnectionConfig]) -> None:
        self._configs: dict[str, ConnectionConfig] = {}
        for config in connections:
            if not isinstance(config, ConnectionConfig):
                raise TypeError(f"ConnectionsManager expects ConnectionConfig items, got {type(config).__name__}")
            if config.name in self._configs:
                raise ValueError(f"connection {config.name!r} is configured twice")
            if config.engine not in ENGINES:
                raise ValueError(f"connection {config.name!r}: unknown engine {config.engine!r} (known: {', '.join(ENGINES)})")
            self._configs[config.name] = config
        self._open: dict[str, Connection] = {}

    @property
    def names(self) -> list[str]:
        return list(self._configs)

    def config(self, name: str) -> ConnectionConfig:
        """The settings of a configured connection (UnknownConnectionError when there is none)."""
        config = self._configs.get(name)
        if config is None:
            known = ", ".join(repr(n) for n in self._configs) or "none"
            raise UnknownConnectionError(f"unknown connection {name!r} (configured: {known})")
        return config

    def holds_data(self, name: str) -> bool:
        """Whether the connection's storage holds anything, found without opening it."""
        config = self.config(name)
        return engine_class(config.engine).holds_data(config)

    def set_aside(self, name: str) -> Path | str:
        """Move the connection's storage out of the way (renamed beside it,
        ".damaged-" and the time added), so that the next use starts anew;
        returns where it went. An engine that cannot do so raises StorageError."""
        config = self.config(name)
        connection = self._open.pop(name, None)
        if connection is not None:
            connection.close()
        return engine_class(config.engine).set_aside(config)

    def get_connection(self, name: str) -> Connection:
        connection = self._open.get(name)
        if connection is None:
            config = self.config(name)
            connection = self._open[name] = engine_class(config.engine).from_config(config)
        return connection

    def close(self) -> None:
        for connection in self._open.values():
            connection.close()
        self._open.clear()
