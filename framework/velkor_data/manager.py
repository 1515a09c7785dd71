"""Transactions of the data layer.

Writes made while a transaction begun with ``begin()`` is current are staged
in it and reach storage together when the block ends: each connection
commits its share in one step per table, connections in the order they were
first written to. An exception leaving the block drops what is staged.
Reads see what is committed, not what is staged.
"""
from __future__ import annotations

import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from pydantic import BaseModel, Field, PrivateAttr

from velkor_utils.models.data_models.address import Address
from velkor_utils.utils.identifier import get_identifier

if TYPE_CHECKING:
    from velkor_data.engines.base import Connection


class Transaction(BaseModel):
    """A unit of work; the metadata of every version written during it names its address."""

    address: Address
    started_at: float = Field(default_factory=time.time)
    _staged: dict[Any, list[Any]] = PrivateAttr(default_factory=dict)
    _committed: list[str] = PrivateAttr(default_factory=list)
    _expected: dict[str, dict[str, int]] = PrivateAttr(default_factory=dict)

    @classmethod
    def new(cls) -> Transaction:
        return cls(address=Address(resource="resource", class_name="Transaction", object_id=get_identifier()))

    def stage(self, connection: Connection, operation: Any) -> None:
        self._staged.setdefault(connection, []).append(operation)

    @property
    def staged(self) -> int:
        """How many writes wait for the commit."""
        return sum(len(operations) for operations in self._staged.values())

    @property
    def committed(self) -> list[str]:
        """The connections whose share is committed, in commit order."""
        return list(self._committed)

    def expect(self, connection_name: str, versions: dict[str, int]) -> None:
        """Commit to that connection only while its tables are at these log
        versions (what the writer read): a conditional commit."""
        self._expected[connection_name] = dict(versions)

    def commit(self) -> None:
        """Write what is staged, connection by connection. When a connection
        fails, the ones before it stay committed (see ``committed``) and the
        rest is dropped; the error propagates."""
        staged, self._staged = self._staged, {}
        for connection, operations in staged.items():
            connection.commit(operations, self._expected.get(connection.name))
            self._committed.append(connection.name)

    def discard(self) -> None:
        self._staged.clear()


class TransactionManager:
    """Holds the current transaction. Outside ``begin()`` a process-wide default transaction is current."""

    def __init__(self) -> None:
        self._stack: list[Transaction] = []
        self._default: Transaction | None = None

    @property
    def transaction_object(self) -> Transaction:
        if self._stack:
            return self._stack[-1]
        if self._default is None:
            self._default = Transaction.new()
        return self._default

    def staging(self) -> Transaction | None:
        """The transaction begun with ``begin()`` that is current, if any: writes are staged in it."""
        return self._stack[-1] if self._stack else None

    @contextmanager
    def begin(self) -> Iterator[Transaction]:
        """Make a new transaction current until the block ends, then commit
        what is staged in it (``commit()`` may also be called inside the block)."""
        transaction = Transaction.new()
        self._stack.append(transaction)
        try:
            yield transaction
        except BaseException:
            transaction.discard()
            raise
        finally:
            self._stack.remove(transaction)
        transaction.commit()


class VelkorDataManager:
    """Entry point of the data layer; every instance shares one transaction manager."""

    _transaction_manager = TransactionManager()

    def get_transaction_manager(self) -> TransactionManager:
        return self._transaction_manager
