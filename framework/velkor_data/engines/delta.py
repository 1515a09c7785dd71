"""Delta Lake engine: a folder, or a prefix in an S3 bucket, holding one Delta table per class.

A class table ``<folder>/<class_name>`` holds inserted rows (kind "row", with
their metadata) and put data versions (kind "version"), the data as JSON text.
Metadata documents go to ``<folder>/_velkor_metadata``, tagged with the class
they describe. A commit appends to each table it touches once: the class
tables first, then the metadata documents (the step that makes new versions
visible), then removals, which delete rows from the current state while
Delta's time travel keeps the older table versions. Tables stay open between
commits; small files are compacted and the log is checkpointed as they grow.

On object storage (``path = "s3://bucket/prefix"``), the endpoint is the
connection's ``endpoint_url``, else ``AWS_ENDPOINT_URL_S3`` or
``AWS_ENDPOINT_URL`` from the environment (else AWS itself), and the
credentials and region are the usual ``AWS_*`` variables. A commit writes the
next log entry with a conditional put (``If-None-Match``: create only if
absent), which S3 and S3-compatible stores honour, so that of two hosts
committing the same table version one wins and the other reads the winner's
entry and commits after it: no lock table is needed, and no commit is lost.
A commit that still conflicts after ``COMMIT_ATTEMPTS`` tries is reported.
"""
from __future__ import annotations

import copy
import errno
import hashlib
import json
import os
import random
import re
import time
from datetime import datetime, timezone
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING

from velkor_data.engines.base import (
    READ_ONLY, Connection, Operation, Record, Removal, Step, StorageError, Write, describe_cause,
    permission_denied)
from velkor_utils.config.data_models.velkor_config import ConnectionConfig, is_uri
from velkor_utils.query.utils import Q

if TYPE_CHECKING:
    from deltalake import DeltaTable


def _tables() -> ModuleType:
    """The engine's use of deltalake and pyarrow, imported when a table is first touched
    (``state`` and ``holds_data`` of a local lakehouse read the folders themselves)."""
    from velkor_data.engines import delta_tables
    return delta_tables

_METADATA_FOLDER = "_velkor_metadata"
# Past this many data files a table is compacted, so that reading it stays fast.
COMPACT_AT_FILES = 64
# A checkpoint every this many commits keeps reading the log short.
CHECKPOINT_EVERY = 20
# Free space a commit leaves untouched, beyond a few times what it writes.
SPACE_MARGIN = 1 << 20
# Tries of a commit that conflicts with another writer's (the library retries
# appends itself; this covers what it gives up on), with a growing pause between.
COMMIT_ATTEMPTS = 6
RETRY_PAUSE = 0.05
_ANSI = re.compile(r"\x1b\[[0-9;]*m")


_LOG_ENTRY = re.compile(r"\d{20}\.json")


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def storage_options(endpoint_url: str | None) -> dict[str, str]:
    """What every table call on object storage is given: the endpoint, and
    commits by conditional put. Credentials come from the environment."""
    options = {"conditional_put": "etag"}
    endpoint = endpoint_url or os.environ.get("AWS_ENDPOINT_URL_S3") or os.environ.get("AWS_ENDPOINT_URL")
    if endpoint:
        options["AWS_ENDPOINT_URL"] = endpoint
        if endpoint.startswith("http://"):
            options["AWS_ALLOW_HTTP"] = "true"
    return options


def object_store_cause(exc: BaseException, endpoint: str | None) -> str | None:
    """An object store's error in a few words, or None when it is not one of those known."""
    text = _ANSI.sub("", str(exc))
    where = endpoint or "the S3 endpoint"
    bucket = re.search(r"<BucketName>([^<]+)</BucketName>", text)
    if "NoSuchBucket" in text:
        return f"no such bucket {bucket.group(1)!r}" if bucket else "no such bucket"
    if "Connection refused" in text or "tcp connect error" in text:
        return f"connection refused (no object store answers at {where})"
    if any(code in text for code in ("InvalidAccessKeyId", "SignatureDoesNotMatch", "AccessDenied", "403 Forbidden")):
        return "access denied by the object store (check AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY)"
    if "dns error" in text or "failed to lookup address" in text:
        return f"cannot resolve the host of {where}"
    if "timed out" in text.lower():
        return f"timed out reaching {where}"
    if "Generic S3 error" in text:  # the innermost reason the library gives
        reasons = [line.strip(" ↳") for line in text.splitlines() if line.strip(" ↳")]
        return f"object store error: {reasons[-1][:200]}"
    return None


def log_damage(text: str) -> str | None:
    """The damage of a table's log that the table library reports in its own words, in one line."""
    if "Kernel error" not in text and "Invalid JSON" not in text:
        return None
    if "Expected contiguous commit files" in text or "found gap" in text:
        why = "an entry is missing before a later one"
    elif "Json error" in text or "Invalid JSON" in text or "parsing" in text:
        why = "an entry is not valid JSON"
    else:
        why = "an entry cannot be read"
    return f"the log of a table is damaged ({why})"


def _unreachable_store(cause: str | None) -> bool:
    return cause is not None and cause.startswith(("connection refused", "access denied", "cannot resolve",
                                                   "timed out"))


class DeltaConnection(Connection):
    engine = "delta"

    @property
    def engine_errors(self) -> tuple[type[BaseException], ...]:  # type: ignore[override]
        return _tables().ENGINE_ERRORS

    def __init__(self, name: str, location: str | Path, endpoint_url: str | None = None) -> None:
        self.endpoint_url = endpoint_url
        super().__init__(name, location)

    @classmethod
    def from_config(cls, config: ConnectionConfig) -> DeltaConnection:
        return cls(config.name, config.path, config.endpoint_url)  # type: ignore[arg-type]

    _as_of: datetime | None = None  # a view of the tables as they were then (read only)

    def _open(self) -> None:
        self._open_tables: dict[str, DeltaTable] = {}
        self.remote = is_uri(self.location)
        # Given to every table call; a local folder needs none.
        self._options: dict[str, str] | None = storage_options(self.endpoint_url) if self.remote else None
        if self.remote:
            self.path: Path | str = str(self.location)
            try:  # the bucket is there, and the credentials open it
                _tables().check_store(self.path, self._options)
            except self.engine_errors as exc:
                cause = self._cause(exc)
                raise StorageError(f"{self.name}: cannot open the lakehouse {self.path}: {cause}", cause,
                                   unavailable=self._unreachable(exc)) from exc
            return
        self.path = Path(self.location)
        denied = permission_denied(self.path)
        if denied is not None:
            raise StorageError(f"{self.name}: cannot open the lakehouse folder {self.path}: {denied}", denied)
        try:
            self.path.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise StorageError(f"{self.name}: cannot create the lakehouse folder {self.path}: {describe_cause(exc)}") from exc

    def _cause(self, exc: BaseException) -> str:
        if self.remote:
            cause = object_store_cause(exc, self._options.get("AWS_ENDPOINT_URL"))  # type: ignore[union-attr]
            if cause is not None:
                return cause
        return log_damage(str(exc)) or describe_cause(exc)

    def _unreachable(self, exc: BaseException) -> bool:
        return self.remote and _unreachable_store(self._cause(exc))

    @classmethod
    def holds_data(cls, config: ConnectionConfig) -> bool:
        if not is_uri(config.path):
            path = Path(config.path)  # type: ignore[arg-type]
            return any(path.glob("*/_delta_log/*.json")) or any(path.glob("*/_delta_log/*.parquet"))
        options = storage_options(config.endpoint_url)
        try:
            return bool(_tables().listed_tables(config.path, options))  # type: ignore[arg-type]
        except OSError as exc:
            cause = object_store_cause(exc, options.get("AWS_ENDPOINT_URL")) or describe_cause(exc)
            if cause.startswith("no such bucket"):
                return False
            raise StorageError(f"{config.name}: listing the lakehouse {config.path}: {cause}", cause,
                               unavailable=_unreachable_store(cause)) from exc

    @classmethod
    def set_aside(cls, config: ConnectionConfig) -> Path | str:
        if is_uri(config.path):
            raise StorageError(f"{config.name}: the lakehouse {config.path} on object storage is not moved aside: "
                               "restore it from a backup", "a lakehouse on object storage is not moved aside")
        return super().set_aside(config)

    def log_versions(self) -> dict[str, int]:
        return self._guarded(f"{self.name}: table versions", self._log_versions)

    def _log_versions(self) -> dict[str, int]:
        versions = {}
        if self.remote:
            folders = _tables().listed_tables(self.path, self._options)  # type: ignore[arg-type]
        else:
            folders = [log.parent.name for log in sorted(self.path.glob("*/_delta_log"))]  # type: ignore[union-attr]
        for folder in folders:
            table = self._table(folder)
            if table is not None:
                versions[folder] = table.version()
        return versions

    def state(self, classes: list[str] | None = None) -> list | None:
        """A local lakehouse: each table's log version, its newest log entry's digest and
        its data files' names (of every table, whatever ``classes``). An object store, a
        view of the past, or a lakehouse whose logs cannot be read: None."""
        if self.remote or self._as_of is not None:
            return None
        try:
            return self._state()
        except (*self.engine_errors, ValueError):
            return None

    def _state(self) -> list:
        """Read from the folders themselves (no table is opened): the newest entry of each log."""
        found = []
        for table in sorted(log.parent for log in Path(self.path).glob("*/_delta_log")):
            entries = [int(name[:-5]) for name in os.listdir(table / "_delta_log") if _LOG_ENTRY.fullmatch(name)]
            if not entries:
                continue
            version = max(entries)
            entry = (table / "_delta_log" / f"{version:020d}.json").read_bytes()
            files = "\n".join(sorted(item.name for item in os.scandir(table) if item.name.endswith(".parquet")))
            found.append([table.name, version, hashlib.sha256(entry).hexdigest(),
                          hashlib.sha256(files.encode()).hexdigest()])
        return found

    def _uri(self, folder: str) -> str:
        return f"{self.path}/{folder}" if self.remote else str(Path(self.path) / folder)

    def as_of(self, when: datetime) -> DeltaConnection:
        view = copy.copy(self)
        view._open_tables, view._as_of = {}, when
        return view

    def version_times(self, class_name: str) -> dict[int, datetime]:
        table = self._guarded(f"{self.name}: history of {class_name}", self._table, class_name)
        if table is None:
            return {}
        history = self._guarded(f"{self.name}: history of {class_name}", table.history)
        return {entry["version"]: datetime.fromtimestamp(entry["timestamp"] / 1000, timezone.utc) for entry in history}

    def _table(self, folder: str) -> DeltaTable | None:
        """The open table of a folder, brought up to date (or, for a view ``as_of`` a past time, as it
        was then); None when there is none (or none yet then)."""
        if self._as_of is not None:
            return self._table_as_of(folder)
        table = self._open_tables.get(folder)
        if table is not None:
            table.update_incremental()
            return table
        path = self._uri(folder)
        if not _tables().is_table(path, self._options):
            return None
        table = self._open_tables[folder] = _tables().DeltaTable(path, storage_options=self._options)
        return table

    def _table_as_of(self, folder: str) -> DeltaTable | None:
        table = self._open_tables.get(folder)
        if table is not None:
            return table
        path = self._uri(folder)
        if not _tables().is_table(path, self._options):
            return None
        table = _tables().DeltaTable(path, storage_options=self._options)
        # By the commits' own times (milliseconds), not the files' (an object store may keep whole seconds).
        until = self._as_of.timestamp() * 1000
        versions = [entry["version"] for entry in table.history() if entry["timestamp"] <= until]
        if not versions:
            return None  # made after that time
        table.load_as_version(max(versions))
        self._open_tables[folder] = table
        return table

    def _committed(self, what, *args):
        """Run a commit, again (on the table as it now is) when another
        writer's commit conflicts with it; a conflict that persists is reported."""
        for attempt in range(1, COMMIT_ATTEMPTS + 1):
            try:
                return what(*args)
            except _tables().CommitFailedError as exc:
                if attempt == COMMIT_ATTEMPTS:
                    raise _tables().CommitFailedError(
                        f"the commit conflicted with other writers' {COMMIT_ATTEMPTS} times "
                        f"in a row ({describe_cause(exc)})") from exc
                time.sleep(RETRY_PAUSE * attempt * random.uniform(1, 2))

    def _append(self, folder: str, metadata: bool, items: list[dict]) -> None:
        """``metadata``: the items are metadata documents, else a class table's rows."""
        self._committed(self._append_once, folder, metadata, items)

    def _append_once(self, folder: str, metadata: bool, items: list[dict]) -> None:
        tables = _tables()
        schema = tables.METADATA_TABLE if metadata else tables.CLASS_TABLE
        table = self._table(folder)
        if table is None:
            path = self._uri(folder)
            tables.append(path, schema, items, self._options)
            self._open_tables[folder] = tables.DeltaTable(path, storage_options=self._options)
        else:
            tables.append(table, schema, items, self._options)

    def _maintain(self, folders: list[str]) -> None:
        """Compact the small files and checkpoint the logs that have grown.
        The commit is already complete: a failure here only leaves the work
        for a later commit."""
        for folder in folders:
            table = self._open_tables.get(folder)
            if table is None:
                continue
            try:
                if len(table.file_uris()) > COMPACT_AT_FILES:
                    table.optimize.compact()
                if table.version() and table.version() % CHECKPOINT_EVERY == 0:
                    table.create_checkpoint()
            except self.engine_errors:
                pass

    @staticmethod
    def _common(record: Record) -> dict:
        return {"write_id": record.write_id, "written_at": record.written_at,
                "object_id": record.object_id, "object_version": record.object_version}

    def _item(self, write: Write) -> dict:
        record = write.record
        if write.kind == "document":
            return {**self._common(record), "class_name": write.class_name, "document": json.dumps(record.metadata)}
        return {**self._common(record), "kind": write.kind, "data": json.dumps(record.data),
                "metadata": json.dumps(record.metadata) if write.kind == "row" else None}

    def _commit_steps(self, operations: list[Operation]) -> list[Step]:
        if self._as_of is not None:
            raise StorageError(f"{self.name}: a view of the lakehouse as of {self._as_of} is read only")
        appends: dict[str, list[dict]] = {}
        documents: list[dict] = []
        removals: dict[str, list[Removal]] = {}
        for operation in operations:
            if isinstance(operation, Removal):
                removals.setdefault(operation.class_name, []).append(operation)
            elif operation.kind == "document":
                documents.append(self._item(operation))
            else:
                appends.setdefault(operation.class_name, []).append(self._item(operation))
        size = sum(len(json.dumps(item)) for items in [*appends.values(), documents] for item in items)
        steps: list[Step] = [self._check_writable, lambda: self._check_space(size),
                             lambda: self._check_unique(appends, operations)]
        for folder, items in appends.items():
            steps.append(lambda folder=folder, items=items: self._append(folder, False, items))
        if documents:
            steps.append(lambda: self._append(_METADATA_FOLDER, True, documents))
        for class_name, items in removals.items():
            steps.append(lambda class_name=class_name, items=items: self._remove(class_name, items))
        touched = [*appends, *([_METADATA_FOLDER] if documents else []), *removals]
        steps.append(lambda: self._maintain(touched))
        return steps

    def _check_writable(self) -> None:
        """A lakehouse that can be read but not written (a read-only mount, a folder of another
        user) is read as it stands; a commit to it is refused before anything is written."""
        if self.remote:
            return
        try:
            read_only_mount = bool(os.statvfs(self.path).f_flag & os.ST_RDONLY)
        except OSError:
            read_only_mount = False
        if read_only_mount or not os.access(self.path, os.W_OK | os.X_OK):
            raise StorageError(f"{self.name}: the lakehouse folder {self.path}: {READ_ONLY}", READ_ONLY)

    def _check_space(self, size: int) -> None:
        """Refuse a commit that a nearly full disk may not take: the engine,
        cut short by a full disk, reports it with an internal panic."""
        if self.remote:
            return
        try:
            stats = os.statvfs(self.path)
        except OSError:
            return
        free = stats.f_bavail * stats.f_frsize
        if free < SPACE_MARGIN + 4 * size:
            raise OSError(errno.ENOSPC, f"No space left on device ({free} bytes free in {self.path})")

    def _check_unique(self, appends: dict[str, list[dict]], operations: list[Operation]) -> None:
        """Refuse rows that repeat a key of their table's ``unique_together``."""
        for class_name in appends:
            self._check_unique_rows(class_name, operations)

    def _check_unique_rows(self, class_name: str, operations: list[Operation]) -> None:
        new = [o for o in operations if isinstance(o, Write) and o.kind == "row" and o.class_name == class_name]
        schema = new[0].schema if new else None
        if schema is None or not schema.unique_together:
            return
        removed = {(o.object_id, o.object_version) for o in operations
                   if isinstance(o, Removal) and o.class_name == class_name}
        rows, _ = self._read(class_name, None)
        stored = [r for r in rows if (r.object_id, r.object_version) not in removed
                  and (r.object_id, None) not in removed]
        for group in schema.unique_together:
            seen = {tuple(r.data.get(c) or "" for c in group) for r in stored}  # type: ignore[union-attr]
            for operation in new:
                key = tuple(operation.record.data.get(c) or "" for c in group)  # type: ignore[union-attr]
                if key in seen:
                    columns = ", ".join(f"{class_name}.{c}" for c in group)
                    raise StorageError(f"{self.name}: insert into {class_name}: UNIQUE constraint failed: {columns}",
                                       f"UNIQUE constraint failed: {columns}")
                seen.add(key)

    def _remove(self, class_name: str, removals: list[Removal]) -> int:
        return self._committed(self._remove_once, class_name, removals)

    def _remove_once(self, class_name: str, removals: list[Removal]) -> int:
        table = self._table(class_name)
        if table is None:
            return 0
        predicate = " OR ".join(
            f"(object_id = {_literal(r.object_id)}"
            + (f" AND object_version = {_literal(r.object_version)})" if r.object_version is not None else ")")
            for r in removals)
        return int(table.delete(predicate).get("num_deleted_rows", 0))

    def _read(self, class_name: str, conditions: Q | None) -> tuple[list[Record], list[Record]]:
        table = self._table(class_name)
        rows: list[Record] = []
        versions: list[Record] = []
        if table is None:
            return rows, versions
        for item in _tables().read_all(table):
            metadata = json.loads(item["metadata"]) if item["metadata"] is not None else None
            record = Record(item["write_id"], item["written_at"], item["object_id"], item["object_version"],
                            json.loads(item["data"]), metadata)
            (rows if item["kind"] == "row" else versions).append(record)
        return rows, versions

    def _read_documents(self, class_name: str) -> list[Record]:
        table = self._table(_METADATA_FOLDER)
        if table is None:
            return []
        items = _tables().read_all(table, f"class_name = {_literal(class_name)}")
        return [
            Record(item["write_id"], item["written_at"], item["object_id"], item["object_version"],
                   metadata=json.loads(item["document"]))
            for item in items
        ]

    def table_path(self, class_name: str) -> Path | str:
        """Folder (or URI) of the Delta table of a class (for time travel with ``deltalake``,
        given ``storage_options``)."""
        return Path(self._uri(class_name)) if not self.remote else self._uri(class_name)

    @property
    def storage_options(self) -> dict[str, str] | None:
        return dict(self._options) if self._options is not None else None
