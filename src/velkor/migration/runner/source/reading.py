"""Reading a migration file's bytes: a regular file (or a link to one) of at
most ``MAX_FILE_SIZE`` bytes, looked at with ``stat`` before it is opened, so
that a named pipe, a device or a directory named like a migration is refused
instead of read without end or waited on."""
from __future__ import annotations

import hashlib
import os
import stat
from pathlib import Path

from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.source.document import display_path

MAX_FILE_SIZE = 1 << 20  # bytes: a migration file lists schemas; no schema needs more

_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a named pipe (FIFO)"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISSOCK, "a socket"))


def kind_of(mode: int) -> str:
    """What a file that is not a regular one is, in words."""
    for test, kind in _KINDS:
        if test(mode):
            return kind
    return "not a regular file"


def _size(size: int) -> str:
    return f"{size / (1 << 20):.1f} MiB ({size} bytes)" if size >= 1 << 20 else f"{size} bytes"


def _too_large(where: str, size: str) -> MigrationError:
    return MigrationError(f"{where}: {size}: a migration file holds at most {_size(MAX_FILE_SIZE)}")


def checked(path: Path, status: os.stat_result | None = None) -> os.stat_result:
    """The file's status (``stat`` follows a link); a MigrationError naming
    the file when it cannot be a migration."""
    if status is None:
        try:
            status = path.stat()
        except FileNotFoundError:
            if path.is_symlink():
                raise MigrationError(f"{display_path(path)}: a symbolic link to {os.readlink(path)}, which does not "
                                     "exist: a migration file is a regular file (or a link to one)") from None
            raise MigrationError(f"{display_path(path)}: the file is gone") from None
        except OSError as exc:
            raise MigrationError(f"{display_path(path)}: cannot read the file: {exc.strerror or exc}") from None
    if stat.S_ISREG(status.st_mode) and status.st_size <= MAX_FILE_SIZE:
        return status  # (the common case, before the path is made readable for a message)
    where = display_path(path)
    if not stat.S_ISREG(status.st_mode):
        link = f" (a symbolic link to {os.readlink(path)})" if path.is_symlink() else ""
        raise MigrationError(f"{where}: {kind_of(status.st_mode)}{link}, not a file: "
                             "a migration file is a regular file (or a link to one)")
    raise _too_large(where, _size(status.st_size))


def read_bytes(path: Path) -> bytes:
    """The file's bytes. It is opened without waiting (a pipe named like a
    migration does not block) and checked once open, before it is read."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        checked(path)  # says what stands there, when it is no file
        raise MigrationError(f"{display_path(path)}: cannot read the file: {exc.strerror or exc}") from None
    try:
        size = checked(path, os.fstat(descriptor)).st_size
        chunks = []
        left = MAX_FILE_SIZE + 1
        while left > 0:
            # First a byte more than the file holds, then in blocks: a read asked for a whole
            # MiB makes a buffer that large, and costs four times the read of a small file.
            asked = min(left, size + 1 if not chunks else 1 << 16)
            chunk = os.read(descriptor, asked)
            if not chunk:
                break
            chunks.append(chunk)
            left -= len(chunk)
            if len(chunk) < asked and MAX_FILE_SIZE + 1 - left == size:
                break  # as long as the file, and a read gave less than asked: its end (a call fewer per file)
    except OSError as exc:
        raise MigrationError(f"{display_path(path)}: cannot read the file: {exc.strerror or exc}") from None
    finally:
        os.close(descriptor)
    data = b"".join(chunks)
    if len(data) > MAX_FILE_SIZE:  # it grew since it was looked at
        raise _too_large(display_path(path), f"more than {_size(MAX_FILE_SIZE)}")
    return data


def content_checksum(data: bytes) -> str:
    """SHA-256 of a migration file's bytes, line endings made LF (a checkout that turns
    them into CRLF does not change a migration): what the record keeps of it."""
    return hashlib.sha256(data.replace(b"\r\n", b"\n")).hexdigest()
