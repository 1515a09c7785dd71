from __future__ import annotations

from collections.abc import Iterable

from velkor_data.engines import ENGINES, Connection
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

    def get_connection(self, name: str) -> Connection:
        connection = self._open.get(name)
        if connection is None:
            config = self._configs.get(name)
            if config is None:
                known = ", ".join(repr(n) for n in self._configs) or "none"
                raise UnknownConnectionError(f"unknown connection {name!r} (configured: {known})")
            connection = self._open[name] = ENGINES[config.engine](config.name, config.path)
        return connection

    def close(self) -> None:
        for connection in self._open.values():
            connection.close()
        self._open.clear()
