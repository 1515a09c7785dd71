"""Ctrl-C around a commit: a commit is either wholly written or not at all;
and Ctrl-C inside native code, which may turn it into an error of its own."""
from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager


_received = 0  # Ctrl-C presses that ``raise_counted`` turned into KeyboardInterrupt


def raise_counted(number: int, frame: object) -> None:
    """The command line's Ctrl-C handler: KeyboardInterrupt, counted."""
    global _received
    _received += 1
    raise KeyboardInterrupt


@contextmanager
def interrupts_kept() -> Iterator[None]:
    """Native code (the ledger vault, pydantic's serializer, a storage library)
    can turn a KeyboardInterrupt raised inside it into an error or a panic of
    its own: a block that fails after a counted Ctrl-C raises KeyboardInterrupt."""
    before = _received
    try:
        yield
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as exc:
        if _received != before:
            raise KeyboardInterrupt from exc
        raise


@contextmanager
def interrupts_deferred() -> Iterator[None]:
    """Hold Ctrl-C back until the block is done, and raise it afterwards."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received: list[int] = []
    previous = signal.signal(signal.SIGINT, lambda number, frame: received.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if received:
        raise KeyboardInterrupt


def ignore_interrupts() -> None:
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
