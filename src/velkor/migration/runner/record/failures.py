"""The one place where the storage layer's errors become the runner's: one
message that says what failed, and whether a failure says anything about
what a store holds."""
from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager

from velkor_data.connections.manager import UnknownConnectionError
from velkor_data.engines.base import NO_SPACE, READ_ONLY, StorageError
from velkor_utils.config.manager import ConfigError

from velkor.migration.runner.errors import MigrationError

STORAGE_ERRORS = (StorageError, UnknownConnectionError, ConfigError)


def storage_message(exc: BaseException) -> str:
    """The one-line text of a storage or configuration error."""
    if isinstance(exc, ConfigError):
        return str(exc)
    return f"storage: {exc}"


@contextmanager
def reported(what: str) -> Iterator[None]:
    """A block that uses the stores: their errors become one message saying what failed."""
    try:
        yield
    except STORAGE_ERRORS as exc:
        raise MigrationError(f"{what}: {storage_message(exc)}") from None


def not_damage(exc: StorageError) -> bool:
    """A full disk, a store this process may not read or write, or one that cannot be reached
    (a server that is down): no damage of the store."""
    return (exc.cause in (NO_SPACE, READ_ONLY) or exc.cause.lower().startswith("permission denied")
            or getattr(exc, "unavailable", False))
