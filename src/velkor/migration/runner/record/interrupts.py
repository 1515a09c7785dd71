"""Ctrl-C around a commit: a commit is either wholly written or not at all."""
from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager


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
