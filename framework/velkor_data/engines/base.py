"""What every storage engine offers, and the rules they share.

A connection stores the objects of a class in the table named by the class
name. Two ways to write:

- ``insert(address, data)`` stores a row: the table's columns plus the row's
  metadata under ``"_metadata"``.
- ``put(address, data)`` stores one version document. For the class
  ``Metadata`` the data is a metadata document whose ``"address"`` entry names
  the data version it describes; for any other class it is the data of object
  ``address.object_id`` at version ``address.object_version``. Putting the same
  version (or metadata document) again replaces it.

``query`` returns the inserted rows and the put data versions, in write order,
each with its metadata under ``"_metadata"``. A put version is joined with the
metadata document naming its object id and version; a version that has no
metadata document (yet) is left out of queries, though ``history`` lists it.
A version is superseded (its ``next_version`` is filled in) once a metadata
document of the same object names it as ``prior_version``.

Writes go to storage at once, or, while a transaction begun with
``VelkorDataManager().get_transaction_manager().begin()`` is current, are
staged in it and committed together when it ends (``commit``): one step per
table, and metadata documents after the data they describe, so that a
version becomes visible only once all of it is stored.
"""
from __future__ import annotations

import errno
import json
import os
import pwd
import time
from abc import ABC, abstractmethod
from datetime import datetime
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, ClassVar

from velkor_data.manager import VelkorDataManager
from velkor_utils.config.data_models.velkor_config import ConnectionConfig
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.table_schema import IDENTIFIER, TableSchema
from velkor_utils.query.utils import Q
from velkor_utils.utils.identifier import get_identifier

METADATA_CLASS = "Metadata"


class StorageError(RuntimeError):
    """A storage operation failed; the message names the connection, the operation and the cause.

    ``cause`` is the cause alone, in a few words ("no space left on device").
    ``unavailable``: the storage could not be reached at all (a server that is
    down or refuses the credentials), which tells nothing of what it holds."""

    def __init__(self, message: str, cause: str | None = None, unavailable: bool = False) -> None:
        super().__init__(message)
        self.cause = cause or message
        self.unavailable = unavailable


NO_SPACE = "no space left on device"
READ_ONLY = "the storage is read-only here (a read-only file system, or no write permission)"
CHANGED_SINCE_READ = "another writer committed since this one read"
_CAUSE_LIMIT = 300  # characters of an engine's own message kept in ours


def permission_denied(path: str | Path) -> str | None:
    """Why this process may not read ``path``: the first folder on the way that it may not
    enter, or the path itself, and whose it is. None when it may, or when nothing is there."""
    path = Path(path).absolute()
    for place in [*reversed(path.parents), path]:  # from the root down
        if not place.exists():
            return None
        wanted = os.R_OK | os.X_OK if place.is_dir() else os.R_OK
        if not os.access(place, os.X_OK if place != path else wanted):
            try:
                return f"permission denied: {place} belongs to user {pwd.getpwuid(place.stat().st_uid).pw_name}"
            except (OSError, KeyError):
                return f"permission denied: {place}"
    return None


def describe_cause(exc: BaseException) -> str:
    """A storage engine's error in one short line."""
    chain: BaseException | None = exc
    while chain is not None:  # the full disk often hides behind the error it caused
        if isinstance(chain, OSError) and chain.errno == errno.ENOSPC:
            return NO_SPACE
        chain = chain.__cause__ or chain.__context__
    text = str(exc)
    if "No space left on device" in text or "os error 28" in text:
        return NO_SPACE
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror[:1].lower() + exc.strerror[1:]
    first = text.strip().splitlines()[0].strip() if text.strip() else ""
    if len(first) > _CAUSE_LIMIT:
        first = first[:_CAUSE_LIMIT] + "..."
    return f"{type(exc).__name__}: {first}" if first else type(exc).__name__


def quote(name: str) -> str:
    """A SQL identifier, quoted."""
    return '"' + name.replace('"', '""') + '"'


def conditions_to_sql(conditions: Q | None, columns: set[str], metadata_field: Callable[[list[str]], tuple[str, list[Any]]],
                      json_value: Callable[[Any], Any], placeholder: str) -> tuple[str, list[Any]]:
    """A WHERE clause that keeps at least the rows ``conditions`` matches.

    Lookups on a column or inside ``_metadata`` become SQL (``metadata_field``
    gives the expression and parameters of a path in the metadata JSON,
    ``json_value`` the parameter a value inside it is compared as); any other
    lookup is left to the check in Python that follows every query.
    """
    clauses: list[str] = []
    params: list[Any] = []
    for lookup in conditions.lookups if conditions is not None else ():
        head, rest = lookup.path[0], lookup.path[1:]
        if head == "_metadata" and rest and all(part.isidentifier() for part in rest):
            (target, params_before), in_json = metadata_field(list(rest)), True
        elif head in columns and not rest:
            target, params_before, in_json = quote(head), [], False
        else:
            continue
        if lookup.operator == "isnull":
            clauses.append(f"{target} IS {'' if lookup.value else 'NOT '}NULL")
        elif lookup.value is None:
            clauses.append(f"{target} IS NULL")
        elif isinstance(lookup.value, (str, int, float)):
            clauses.append(f"{target} = {placeholder}")
            params_before.append(json_value(lookup.value) if in_json else lookup.value)
        else:
            continue
        params += params_before
    return (" WHERE " + " AND ".join(clauses)) if clauses else "", params


def _is_engine_panic(exc: BaseException) -> bool:
    """A storage engine written in Rust reports an internal failure as a
    ``PanicException``, which derives from BaseException."""
    return type(exc).__name__ == "PanicException"


@dataclass(frozen=True)
class Record:
    """One stored item: an inserted row, a put data version or a metadata document."""

    write_id: str  # time-ordered identifier of the write: sorts in write order
    written_at: float
    object_id: str
    object_version: str | None
    data: dict[str, Any] | None = None
    metadata: dict[str, Any] | None = None


@dataclass(frozen=True)
class Write:
    """A write waiting for its commit: an inserted row ("row"), a put data
    version ("version") or a metadata document ("document", ``class_name``
    being the class whose version it describes)."""

    kind: str
    class_name: str
    record: Record
    schema: TableSchema | None = None


@dataclass(frozen=True)
class Removal:
    """A delete waiting for its commit: the object's rows and data versions
    (only ``object_version`` when it is given)."""

    class_name: str
    object_id: str
    object_version: str | None


Operation = Write | Removal
Step = Callable[[], Any]


def _json_copy(value: Any, where: str) -> Any:
    try:
        return json.loads(json.dumps(value))
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{where}: not storable as JSON: {exc}") from None


def _check_columns(schema: TableSchema, values: Mapping[str, Any], where: str) -> dict[str, Any]:
    """The row of ``schema`` made of ``values``: defaults filled in, types checked."""
    names = [column.name for column in schema.columns]
    unknown = sorted(set(values) - set(names))
    if unknown:
        raise ValueError(f"{where}: unknown column(s) {unknown}; table {schema.class_name} has {names}")
    row = {}
    for column in schema.columns:
        value = values.get(column.name, column.default)
        if value is None:
            if not column.nullable:
                raise ValueError(f"{where}: column {column.name!r} may not be null")
        elif column.type is float and type(value) is int:
            value = float(value)
        elif not isinstance(value, column.type) or (isinstance(value, bool) and column.type is not bool):
            raise TypeError(f"{where}: column {column.name!r} expects {column.type.__name__}, got {type(value).__name__}")
        row[column.name] = value
    return row


def _check_document(data: Any, where: str) -> dict[str, Any]:
    if not isinstance(data, Mapping):
        raise TypeError(f"{where}: a metadata document must be a mapping, got {type(data).__name__}")
    target = data.get("address")
    if not isinstance(target, Mapping) or not all(
        isinstance(target.get(field), str) and target.get(field)
        for field in ("class_name", "object_id", "object_version")
    ):
        raise ValueError(f"{where}: a metadata document needs an 'address' mapping with class_name, object_id and object_version")
    if not IDENTIFIER.fullmatch(target["class_name"]):
        raise ValueError(f"{where}: the metadata document names an invalid class {target['class_name']!r}")
    return _json_copy(dict(data), where)


def _latest_by_version(records: list[Record], key) -> dict[tuple[str, str], Record]:
    """Last written record per (object id, version)."""
    latest: dict[tuple[str, str], Record] = {}
    for record in sorted(records, key=lambda r: r.write_id):
        latest[key(record)] = record
    return latest


def _document_key(record: Record) -> tuple[str, str]:
    target = record.metadata["address"]  # type: ignore[index]
    return target["object_id"], target["object_version"]


def _join(versions: list[Record], documents: list[Record]) -> list[tuple[Record, dict[str, Any] | None, Record | None]]:
    """Each current data version with its metadata (next_version filled in) and metadata record."""
    by_version = _latest_by_version(documents, _document_key)
    successor: dict[tuple[str, str], str] = {}
    for document in sorted(by_version.values(), key=lambda r: r.write_id):
        prior = document.metadata.get("prior_version")  # type: ignore[union-attr]
        object_id, object_version = _document_key(document)
        if prior:
            successor[(object_id, prior)] = object_version
    joined = []
    for key, version in _latest_by_version(versions, lambda r: (r.object_id, r.object_version)).items():
        document = by_version.get(key)
        metadata = None
        if document is not None:
            metadata = dict(document.metadata)  # type: ignore[arg-type]
            if key in successor:
                metadata["next_version"] = successor[key]
        joined.append((version, metadata, document))
    return joined


class Connection(ABC):
    """A named storage location. Subclasses implement ``_open``, the ``_read*`` steps and ``_commit_steps``."""

    engine: ClassVar[str]
    # Exceptions of the engine that are reported as StorageError.
    engine_errors: ClassVar[tuple[type[BaseException], ...]] = (OSError,)

    def __init__(self, name: str, location: str | Path) -> None:
        self.name = name
        # A file or folder (Path), or the URI or URL of storage elsewhere (str).
        self.location = location
        self._open()

    @classmethod
    def from_config(cls, config: ConnectionConfig) -> Connection:
        return cls(config.name, config.path if config.path is not None else config.location)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name!r} at {self.location}>"

    # -- public interface ------------------------------------------------

    def insert(self, address: Address, data: Mapping[str, Any]) -> None:
        where = self._where("insert", address)
        class_name, object_id = self._target(address, where, need_version=True)
        if not isinstance(data, Mapping):
            raise TypeError(f"{where}: data must be a mapping, got {type(data).__name__}")
        schema = self._schema_for_write(class_name, where)
        metadata = data.get("_metadata")
        if metadata is None:
            metadata = {"address": address.model_dump(), "is_deleted": False, "prior_version": None, "next_version": None}
        elif not isinstance(metadata, Mapping):
            raise TypeError(f"{where}: '_metadata' must be a mapping, got {type(metadata).__name__}")
        row = _check_columns(schema, {k: v for k, v in data.items() if k != "_metadata"}, where)
        record = Record(get_identifier(), time.time(), object_id, address.object_version, row, _json_copy(dict(metadata), where))
        self._submit(where, Write("row", class_name, record, schema))

    def put(self, address: Address, data: Mapping[str, Any]) -> None:
        where = self._where("put", address)
        class_name = self._class_name(address, where)
        if class_name == METADATA_CLASS:
            _, object_id = self._target(address, where, need_version=False)
            document = _check_document(data, where)
            record = Record(get_identifier(), time.time(), object_id, address.object_version, metadata=document)
            self._submit(where, Write("document", document["address"]["class_name"], record))
            return
        _, object_id = self._target(address, where, need_version=True)
        if not isinstance(data, Mapping):
            raise TypeError(f"{where}: data must be a mapping, got {type(data).__name__}")
        if "_metadata" in data:
            raise ValueError(f"{where}: a put data version carries no '_metadata'; put its metadata document under a Metadata address")
        schema = self._schema_for_write(class_name, where)
        row = _check_columns(schema, data, where)
        record = Record(get_identifier(), time.time(), object_id, address.object_version, row)
        self._submit(where, Write("version", class_name, record, schema))

    def query(self, address: Address, conditions: Q | None = None) -> list[dict[str, Any]]:
        where = self._where("query", address)
        class_name = self._class_name(address, where)
        if class_name == METADATA_CLASS:
            raise ValueError(f"{where}: metadata documents are read with the class they describe")
        rows, versions = self._guarded(where, self._read, class_name, conditions)
        documents = self._guarded(where, self._read_documents, class_name)
        found = [(row.write_id, {**row.data, "_metadata": row.metadata}) for row in rows]  # type: ignore[dict-item]
        found += [
            (version.write_id, {**version.data, "_metadata": metadata})  # type: ignore[dict-item]
            for version, metadata, _ in _join(versions, documents)
            if metadata is not None
        ]
        found.sort(key=lambda pair: pair[0])
        schema = TableSchemasManager().get_table(class_name)
        result = [self._shape(schema, row) for _, row in found]
        return [row for row in result if conditions is None or conditions.matches(row)]

    def delete(self, address: Address) -> int | None:
        """Remove the stored rows and data versions of the addressed object
        (only the addressed version when the address names one); metadata
        documents stay. Returns how many were removed, or None when the
        removal is staged in a transaction."""
        where = self._where("delete", address)
        class_name, object_id = self._target(address, where, need_version=False)
        return self._submit(where, Removal(class_name, object_id, address.object_version))

    def history(self, class_name: str) -> list[dict[str, Any]]:
        """Every stored version of the class with its metadata, oldest first.

        Each entry: object_id, object_version, data (None once deleted from
        the table), metadata (None for a version without a metadata document),
        is_deleted, written_at, transaction, and how it was stored ("insert"
        or "put").
        """
        where = f"{self.name}: history of {class_name}"
        rows, versions = self._guarded(where, self._read, class_name, None)
        documents = self._guarded(where, self._read_documents, class_name)
        entries = [(row, row.data, row.metadata, "insert") for row in rows]
        described = set()
        for version, metadata, document in _join(versions, documents):
            entries.append((version, version.data, metadata, "put"))
            if document is not None:
                described.add(_document_key(document))
        for key, document in _latest_by_version(documents, _document_key).items():
            if key not in described:
                object_id, object_version = key
                entries.append((Record(document.write_id, document.written_at, object_id, object_version), None, document.metadata, "put"))
        entries.sort(key=lambda entry: entry[0].write_id)
        return [
            {
                "object_id": record.object_id,
                "object_version": record.object_version,
                "data": data,
                "metadata": metadata,
                "is_deleted": bool(metadata and metadata.get("is_deleted")),
                "written_at": record.written_at,
                "transaction": metadata.get("transaction") if metadata else None,
                "stored": stored,
            }
            for record, data, metadata, stored in entries
        ]

    def commit(self, operations: list[Operation], expected_versions: dict[str, int] | None = None) -> int:
        """Write staged operations, in the engine's steps (each one a single
        storage commit). Returns how many rows and versions were removed.
        ``expected_versions``: the table log versions (``log_versions()``) the
        writer read; when the storage is at others now, another writer
        committed since, and nothing is written (a StorageError, cause
        CHANGED_SINCE_READ)."""
        where = f"{self.name}: commit of {len(operations)} write(s)"
        if expected_versions is None:
            return self._run(where, operations)
        self._guarded(where, self._check_versions, expected_versions)
        return self._run(where, operations)

    def _check_versions(self, expected: dict[str, int]) -> None:
        now = self._log_versions()
        if now != expected:
            changed = sorted(table for table in set(now) | set(expected) if now.get(table) != expected.get(table))
            raise StorageError(f"{self.name}: the tables {', '.join(changed)} were written by another writer since "
                               "this one read them", CHANGED_SINCE_READ)

    def close(self) -> None:
        """Release what the connection holds open."""

    @classmethod
    def holds_data(cls, config: ConnectionConfig) -> bool:
        """Whether anything is stored where ``config`` points (nothing is created to find out)."""
        return Path(config.path).exists()

    @classmethod
    def set_aside(cls, config: ConnectionConfig) -> Path | str:
        """Rename the storage ``config`` points at out of the way; returns the new name."""
        target = Path(f"{config.path}.damaged-{time.strftime('%Y%m%dT%H%M%S')}")
        Path(config.path).rename(target)
        return target

    def log_versions(self) -> dict[str, int]:
        """The version of each table's log, for engines that keep one."""
        return {}

    def state(self, classes: list[str] | None = None) -> Any:
        """A JSON value that changes whenever what is stored of ``classes`` (None: of any
        class) changes: any commit, a file lost or replaced. Found without reading the data
        whole; None when the engine cannot tell cheaply (the data must then be read)."""
        return None

    def as_of(self, when: datetime) -> Connection:
        """The stored data as it was at ``when`` (timezone-aware), read only, for engines that
        keep every version of their tables (time travel); others raise StorageError."""
        raise StorageError(f"{self.name}: a {self.engine} store keeps no past versions to read as of {when}",
                           f"a {self.engine} store keeps no past versions")

    def first_commit(self, class_name: str) -> datetime | None:
        """When the class's table was first written, for engines that keep versions; None when never."""
        return min(self.version_times(class_name).values(), default=None)

    def version_times(self, class_name: str) -> dict[int, datetime]:
        """When each version of the class's table was committed, for engines that keep versions."""
        return {}

    def _log_versions(self) -> dict[str, int]:
        return {}

    # -- engine steps ----------------------------------------------------

    @abstractmethod
    def _open(self) -> None:
        """Prepare the storage location; raise StorageError naming the path when it is unusable."""

    @abstractmethod
    def _commit_steps(self, operations: list[Operation]) -> list[Step]:
        """The storage commits that write ``operations``, in order: data
        before the metadata documents that describe it, removals last. Each
        step returns how many rows and versions it removed (or None)."""

    @abstractmethod
    def _read(self, class_name: str, conditions: Q | None) -> tuple[list[Record], list[Record]]:
        """Inserted rows (at least those matching ``conditions``) and put data versions of the class."""

    @abstractmethod
    def _read_documents(self, class_name: str) -> list[Record]:
        """Metadata documents describing versions of the class."""

    # -- helpers ---------------------------------------------------------

    def _where(self, operation: str, address: Any) -> str:
        return f"{self.name}: {operation} {address}"

    def _submit(self, where: str, operation: Operation) -> int | None:
        """Stage the operation in the current transaction, or write it now."""
        transaction = VelkorDataManager().get_transaction_manager().staging()
        if transaction is not None:
            transaction.stage(self, operation)
            return None
        return self._run(where, [operation])

    def _run(self, where: str, operations: list[Operation]) -> int:
        return sum(self._guarded(where, step) or 0 for step in self._commit_steps(operations))

    def _cause(self, exc: BaseException) -> str:
        return describe_cause(exc)

    def _unreachable(self, exc: BaseException) -> bool:
        """Whether the error says the storage could not be reached (see StorageError.unavailable)."""
        return False

    def _guarded(self, where: str, step, *args):
        try:
            return step(*args)
        except BaseException as exc:
            if not (isinstance(exc, self.engine_errors) or _is_engine_panic(exc)):
                raise
            cause = self._cause(exc)
            raise StorageError(f"{where}: {cause}", cause, unavailable=self._unreachable(exc)) from exc

    @staticmethod
    def _class_name(address: Any, where: str) -> str:
        if not isinstance(address, Address):
            raise TypeError(f"{where}: expected an Address, got {type(address).__name__}")
        if not address.class_name or not IDENTIFIER.fullmatch(address.class_name):
            raise ValueError(f"{where}: the address must name a class (a letter, then letters, digits or '_')")
        return address.class_name

    def _target(self, address: Any, where: str, need_version: bool) -> tuple[str, str]:
        class_name = self._class_name(address, where)
        if not address.object_id or (need_version and not address.object_version):
            wanted = "an object id and version" if need_version else "an object id"
            raise ValueError(f"{where}: the address must name {wanted}")
        return class_name, address.object_id

    @staticmethod
    def _schema_for_write(class_name: str, where: str) -> TableSchema:
        schema = TableSchemasManager().get_table(class_name)
        if schema is None:
            raise LookupError(
                f"{where}: no table schema is registered for class {class_name!r}; "
                "register it with TableSchemasManager().register_table(...)"
            )
        return schema

    @staticmethod
    def _shape(schema: TableSchema | None, row: dict[str, Any]) -> dict[str, Any]:
        """The row with exactly the registered columns (stored values converted back), then ``_metadata``."""
        if schema is None:
            return row
        shaped = {}
        for column in schema.columns:
            value = row.get(column.name, column.default)
            if value is not None and column.type is bool:
                value = bool(value)
            shaped[column.name] = value
        shaped["_metadata"] = row["_metadata"]
        return shaped
