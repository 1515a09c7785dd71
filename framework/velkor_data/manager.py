from __future__ import annotations

import time
from collections.abc import Iterator
from contextlib import contextmanager

from pydantic import BaseModel, Field

from velkor_utils.models.data_models.address import Address
from velkor_utils.utils.identifier import get_identifier


class Transaction(BaseModel):
    """A unit of work; the metadata of every version written during it names its address."""

    address: Address
    started_at: float = Field(default_factory=time.time)

    @classmethod
    def new(cls) -> Transaction:
        return cls(address=Address(resource="resource", class_name="Transaction", object_id=get_identifier()))


class TransactionManager:
    """Holds the current transaction. Outside ``begin()`` a process-wide default transaction is current."""

    def __init__(self) -> None:
        self._stack: list[Transaction] = []

    @property
    def transaction_object(self) -> Transaction:
        if not self._stack:
            self._stack.append(Transaction.new())
        return self._stack[-1]

    @contextmanager
    def begin(self) -> Iterator[Transaction]:
        """Make a new transaction current until the block ends."""
        transaction = Transaction.new()
        self._stack.append(transaction)
        try:
            yield transaction
        finally:
            self._stack.remove(transaction)


class VelkorDataManager:
    """Entry point of the data layer; every instance shares one transaction manager."""

    _transaction_manager = TransactionManager()

    def get_transaction_manager(self) -> TransactionManager:
        return self._transaction_manager
