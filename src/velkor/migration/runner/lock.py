"""The project lock: one run at a time changes what is applied."""
from __future__ import annotations

import fcntl
import os
import time
from collections.abc import Callable
from pathlib import Path

from velkor.migration.runner.errors import LockTimeout, MigrationError

POLL_SECONDS = 0.05


class ProjectLock:
    """An exclusive ``flock`` on a file, held from ``acquire`` to ``release``.

    The kernel drops the lock when the process ends, however it ends, so a
    crashed run never leaves the project locked. The file holds the pid and
    command of the holder, for the message of a run that gives up waiting.
    """

    def __init__(self, path: Path, purpose: str) -> None:
        self.path = path
        self.purpose = purpose
        self._fd: int | None = None

    def acquire(self, timeout: float, on_wait: Callable[[str], None] | None = None) -> None:
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        except OSError as exc:
            raise MigrationError(f"cannot create the lock file {self.path}: {exc.strerror or exc}") from None
        deadline = time.monotonic() + max(timeout, 0.0)
        told = False
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                holder = self._holder(fd)
                if time.monotonic() >= deadline:
                    os.close(fd)
                    raise LockTimeout(
                        f"another run ({holder}) holds the lock {self.path}; gave up after {timeout:g} s "
                        "(wait longer with --wait SECONDS)") from None
                if on_wait and not told:
                    on_wait(f"waiting up to {timeout:g} s for another run ({holder}) to finish")
                    told = True
                time.sleep(POLL_SECONDS)
        try:  # who holds the lock, for the message of a run that gives up waiting
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"pid {os.getpid()}: {self.purpose}\n".encode(), 0)
        except OSError:
            pass  # a full disk: the lock holds all the same
        self._fd = fd

    @staticmethod
    def _holder(fd: int) -> str:
        text = os.pread(fd, 200, 0).decode(errors="replace").strip()
        return text or "unknown process"

    def release(self) -> None:
        if self._fd is not None:
            try:
                os.ftruncate(self._fd, 0)
            except OSError:
                pass
            fcntl.flock(self._fd, fcntl.LOCK_UN)
            os.close(self._fd)
            self._fd = None

    def __enter__(self) -> ProjectLock:
        return self

    def __exit__(self, *exc_info) -> None:
        self.release()
