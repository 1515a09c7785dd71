"""Storage engines, by the name used in the configuration's ``engine`` field.

An engine's module is imported when a connection of it is first opened, so
that a program that stores nothing loads no storage library.
"""
from __future__ import annotations

from importlib import import_module

from velkor_data.engines.base import Connection, StorageError

_ENGINE_CLASSES = {
    "sqlite": "velkor_data.engines.sqlite:SQLiteConnection",
    "delta": "velkor_data.engines.delta:DeltaConnection",
    "postgresql": "velkor_data.engines.postgresql:PostgreSQLConnection",
}
ENGINES = tuple(_ENGINE_CLASSES)


def engine_class(name: str) -> type[Connection]:
    """The connection class of an engine (KeyError for an unknown one)."""
    module, _, cls = _ENGINE_CLASSES[name].partition(":")
    return getattr(import_module(module), cls)


__all__ = ["ENGINES", "Connection", "StorageError", "engine_class"]
