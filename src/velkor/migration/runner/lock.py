"""The project lock: one run at a time changes what is applied.

Two kinds, with the same bounded wait and the same messages:

- ``ProjectLock``, a file in the project folder, for a repository on this
  machine (the embedded default);
- ``DatabaseLock``, a PostgreSQL advisory lock, when the repository is a
  PostgreSQL database: every host that runs the project reaches the same
  server, so the lock holds across hosts. Its key is made of what the server
  calls the database and the schema the record lives in (see ``advisory_key``),
  so that every host computes the same key, however it reaches the server.

Either is released however the run ends: the kernel drops a file lock with
the process, and the server drops an advisory lock with the session, which
ends when the process does (or, for a host that vanished, when the server's
TCP keepalive finds its connection dead).
"""
from __future__ import annotations

import fcntl
import hashlib
import os
import re
import socket
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

from velkor.migration.runner.errors import LockLost, LockTimeout, MigrationError
from velkor.migration.runner.redaction import redact

LOCK_FILE = Path(".velkor") / "migrate.lock"  # in the project folder
POLL_SECONDS = 0.05
# How soon the server finds the session of a host that vanished, and so frees its lock.
KEEPALIVE = {"keepalives": 1, "keepalives_idle": 10, "keepalives_interval": 5, "keepalives_count": 3}
SERVER_KEEPALIVE = "-c tcp_keepalives_idle=10 -c tcp_keepalives_interval=5 -c tcp_keepalives_count=3"
CONNECT_TIMEOUT = 10
APPLICATION = "velkor-migrate"


class _Lock:
    """Waits up to a time-out for the lock, telling once that it waits."""

    where: str  # the lock, as messages name it

    def acquire(self, timeout: float, on_wait: Callable[[str], None] | None = None) -> None:
        self._prepare()
        deadline = time.monotonic() + max(timeout, 0.0)
        told = False
        while not self._try():
            holder = self._holder()
            if time.monotonic() >= deadline:
                self._abandon()
                raise LockTimeout(
                    f"another run ({holder}) holds the lock {self.where}; gave up after {timeout:g} s "
                    "(wait longer with --wait SECONDS)") from None
            if on_wait and not told:
                on_wait(f"waiting up to {timeout:g} s for another run ({holder}) to finish")
                told = True
            time.sleep(POLL_SECONDS)
        self._taken()

    def _prepare(self) -> None:
        """Open what the lock is taken on."""

    def _try(self) -> bool:
        raise NotImplementedError

    def _holder(self) -> str:
        """Who holds the lock, in a few words."""
        raise NotImplementedError

    def _abandon(self) -> None:
        """Close what ``_prepare`` opened, without the lock."""

    def _taken(self) -> None:
        """Note who holds the lock now."""

    def release(self) -> None:
        raise NotImplementedError

    def verify(self) -> None:
        """Before the run writes: an error when it no longer holds the lock."""
        if not self._still_held():
            raise LockLost(f"lost the lock {self.where} ({self.lost_because}): another run may have taken it, "
                           "so this run stops before writing; nothing was changed by it")

    lost_because = "it is no longer held"

    def _still_held(self) -> bool:
        return True

    def __enter__(self) -> _Lock:
        return self

    def __exit__(self, *exc_info) -> None:
        self.release()


class ProjectLock(_Lock):
    """An exclusive ``flock`` on a file and on the folder it is in, held from
    ``acquire`` to ``release``.

    The kernel drops the lock when the process ends, however it ends, so a
    crashed run never leaves the project locked. The file holds the pid and
    command of the holder, for the message of a run that gives up waiting.
    The lock on the folder holds when the file is removed from under its
    holder; and either is taken only while its path still names what was
    locked (``_Flock``), so two runs never hold the lock at once.
    """

    def __init__(self, path: Path, purpose: str) -> None:
        self.path = path
        self.where = str(path)
        self.purpose = purpose
        # Always the folder first, then the file: two runs never wait for each other in turn.
        self._folder = _Flock(path.parent, folder=True)
        self._file = _Flock(path, folder=False)
        self._held = False

    def _failed(self, exc: OSError) -> MigrationError:
        self._abandon()
        return MigrationError(f"cannot create the lock file {self.path}: {exc.strerror or exc}")

    def _prepare(self) -> None:
        try:
            self._folder.open()
            self._file.open()
        except OSError as exc:
            raise self._failed(exc) from None

    def _try(self) -> bool:
        try:
            return self._folder.take() and self._file.take()
        except OSError as exc:
            raise self._failed(exc) from None

    def _holder(self) -> str:
        text = os.pread(self._file.fd, 200, 0).decode(errors="replace").strip()  # type: ignore[arg-type]
        return redact(text) or "unknown process"

    def _abandon(self) -> None:
        self._file.close()
        self._folder.close()

    def _taken(self) -> None:
        holder = redact(f"pid {os.getpid()}: {self.purpose}\n").encode()
        try:  # who holds the lock, for the message of a run that gives up waiting
            os.ftruncate(self._file.fd, 0)  # type: ignore[arg-type]
            os.pwrite(self._file.fd, holder, 0)  # type: ignore[arg-type]
        except OSError:
            pass  # a full disk: the lock holds all the same
        self._held = True

    lost_because = "its folder or its file was removed or replaced"

    def _still_held(self) -> bool:
        return self._held and self._folder.still_at_path() and self._file.still_at_path()

    def release(self) -> None:
        if self._held:
            try:
                os.ftruncate(self._file.fd, 0)  # type: ignore[arg-type]
            except OSError:
                pass
            self._abandon()
            self._held = False


class _Flock:
    """An exclusive ``flock`` on what a path names: a file (made when missing)
    or a folder. It counts as taken only while the path still names the file
    locked (the same device and inode): one unlinked or replaced since it was
    opened is let go, and the one now at the path is locked instead."""

    def __init__(self, path: Path, folder: bool) -> None:
        self.path = path
        self.folder = folder
        self.fd: int | None = None
        self.held = False

    def open(self) -> None:
        if self.folder:
            self.path.mkdir(parents=True, exist_ok=True)
            self.fd = os.open(self.path, os.O_RDONLY | os.O_DIRECTORY)
        else:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)

    def take(self) -> bool:
        """Lock without waiting; False while another process holds the lock."""
        while not self.held:
            try:
                fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # type: ignore[arg-type]
            except BlockingIOError:
                return False
            if self.still_at_path():
                self.held = True
            else:
                self.close()
                self.open()
        return True

    def still_at_path(self) -> bool:
        try:
            now = os.stat(self.path)
        except FileNotFoundError:
            return False
        locked = os.fstat(self.fd)  # type: ignore[arg-type]
        return (locked.st_dev, locked.st_ino) == (now.st_dev, now.st_ino)

    def close(self) -> None:
        """Let go of the file, and of the lock with it."""
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        self.held = False


def advisory_key(database: str, schema: str | None) -> int:
    """The advisory lock key of the record kept in a database's schema: the
    first 8 bytes of SHA-256 of "velkor-migrate", the database and the schema
    (NUL between them), read as a signed 64-bit integer."""
    text = f"{APPLICATION}\0{database}\0{schema or ''}".encode()
    return int.from_bytes(hashlib.sha256(text).digest()[:8], "big", signed=True)


class DatabaseLock(_Lock):
    """A session-level PostgreSQL advisory lock on a connection of its own,
    held from ``acquire`` to ``release``. The session's application name says
    who holds it (pid, host, command), for the message of a run that gives up."""

    def __init__(self, url: str, purpose: str) -> None:
        self.url = url
        self.purpose = purpose
        self.where = f"of the record in {redact(url)}"
        self.key: int | None = None
        self._db: Any = None

    def _prepare(self) -> None:
        import psycopg  # only a project on PostgreSQL needs it
        from psycopg.conninfo import conninfo_to_dict

        host = socket.gethostname()
        try:
            settings = {"connect_timeout": CONNECT_TIMEOUT, **KEEPALIVE, **conninfo_to_dict(self.url)}
            settings["options"] = f"{settings.get('options', '')} {SERVER_KEEPALIVE}".strip()
            settings["application_name"] = redact(f"{APPLICATION}: pid {os.getpid()} on {host}: {self.purpose}")[:63]
            self._db = psycopg.connect(**settings, autocommit=True)
            database, schema = self._db.execute("SELECT current_database(), current_schema()").fetchone()
        except psycopg.Error as exc:
            self._abandon()
            raise MigrationError(f"cannot take the lock {self.where}: {server_error(exc)}") from None
        self.key = advisory_key(database, schema)

    def _query(self, statement: str, *params: Any) -> Any:
        import psycopg

        try:
            return self._db.execute(statement, params).fetchone()
        except psycopg.Error as exc:
            self._abandon()
            raise MigrationError(f"lost the connection of the lock {self.where}: {server_error(exc)}") from None

    def _try(self) -> bool:
        return bool(self._query("SELECT pg_try_advisory_lock(%s)", self.key)[0])

    def _holder(self) -> str:
        unsigned = self.key & 0xFFFF_FFFF_FFFF_FFFF  # type: ignore[operator]
        found = self._query(
            "SELECT a.application_name, a.pid FROM pg_locks l LEFT JOIN pg_stat_activity a ON a.pid = l.pid "
            "WHERE l.locktype = 'advisory' AND l.granted AND l.database = "
            "(SELECT oid FROM pg_database WHERE datname = current_database()) "
            "AND l.classid = %s::bigint::oid AND l.objid = %s::bigint::oid AND l.objsubid = 1",
            unsigned >> 32, unsigned & 0xFFFF_FFFF)
        if found is None:
            return "unknown process"
        name, session = found
        prefix = f"{APPLICATION}: "
        if name and name.startswith(prefix):
            return redact(name[len(prefix):])
        return f"PostgreSQL session {session}" if session else "unknown process"

    def _abandon(self) -> None:
        if self._db is not None:
            self._db.close()
            self._db = None

    lost_because = "its session with the database server ended: did the server restart?"

    def _still_held(self) -> bool:
        """Whether this session still holds the lock (a server restart ends the session, and the lock with it)."""
        import psycopg

        unsigned = self.key & 0xFFFF_FFFF_FFFF_FFFF  # type: ignore[operator]
        try:
            found = self._db.execute(
                "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted AND pid = pg_backend_pid() "
                "AND classid = %s::bigint::oid AND objid = %s::bigint::oid AND objsubid = 1",
                (unsigned >> 32, unsigned & 0xFFFF_FFFF)).fetchone()
        except psycopg.Error:
            return False
        return bool(found and found[0])

    def release(self) -> None:
        if self._db is not None:
            try:
                self._db.execute("SELECT pg_advisory_unlock(%s)", (self.key,))
            except Exception:
                pass  # the session ends below, and the lock with it
            self._abandon()


def server_error(exc: BaseException) -> str:
    """A PostgreSQL driver error in one line, redacted."""
    text = str(exc).strip()
    lowered = text.lower()
    if "connection refused" in lowered:
        return "connection refused (is the PostgreSQL server running?)"
    if "password authentication failed" in lowered or "no password supplied" in lowered:
        return "authentication failed (the password comes from PGPASSWORD or ~/.pgpass)"
    first = redact(text.splitlines()[0]) if text else type(exc).__name__
    return re.sub(r'^(connection failed: )?(connection to server at "[^"]*"( \([^)]*\))?, port \d+ failed: )?'
                  r"(FATAL|ERROR):\s+", "", first)


def project_lock(config: Any, root: Path, lock_file: Path, purpose: str) -> _Lock:
    """The lock of a project: in its PostgreSQL database when its repository
    (or else its lakehouse) is one, else the file in the project folder."""
    resources = config.resources_config
    for name in (resources.repository.default, resources.lakehouse):
        connection = config.connections.get(name) if name else None
        if connection is not None and connection.engine == "postgresql":
            return DatabaseLock(connection.url, purpose)
    return ProjectLock(root / lock_file, purpose)
