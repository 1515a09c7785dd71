"""What the Delta Lake engine does with its libraries (deltalake, pyarrow): open,
read and append to tables, and list an object store's tables. The engine
imports this module when it first touches a table, so that a run that reads
only the logs' state from their folders imports neither library."""
from __future__ import annotations

import pyarrow as pa
from deltalake import DeltaTable, QueryBuilder, write_deltalake
from deltalake.exceptions import CommitFailedError, DeltaError
from deltalake.fs import DeltaStorageHandler
from pyarrow.fs import FileSelector, FileType

__all__ = ["CLASS_TABLE", "CommitFailedError", "DeltaError", "DeltaTable", "ENGINE_ERRORS", "METADATA_TABLE",
           "append", "check_store", "is_table", "listed_tables", "read_all"]

ENGINE_ERRORS = (DeltaError, OSError, pa.ArrowException)
_COMMON = [("write_id", pa.string()), ("written_at", pa.float64()),
           ("object_id", pa.string()), ("object_version", pa.string())]
CLASS_TABLE = pa.schema(_COMMON + [("kind", pa.string()), ("data", pa.string()), ("metadata", pa.string())])
METADATA_TABLE = pa.schema(_COMMON + [("class_name", pa.string()), ("document", pa.string())])


def is_table(path: str, options: dict[str, str] | None) -> bool:
    return DeltaTable.is_deltatable(path, storage_options=options)


def read_all(table: DeltaTable, where: str = "") -> list[dict]:
    """The table's rows (those ``where`` keeps, an SQL condition) in write
    order, read by the library's own query engine. A scan through Arrow's
    dataset reader starts threads of Arrow's pool, which can abort the
    process at exit ("terminate called without an active exception")."""
    query = f"SELECT * FROM t{' WHERE ' + where if where else ''} ORDER BY write_id"
    try:
        result = QueryBuilder().register("t", table).execute(query).read_all()
    except Exception as exc:
        if type(exc) is not Exception:
            raise
        raise DeltaError(str(exc)) from exc  # the query engine's errors (a data file gone) come as Exception
    return pa.table(result).to_pylist()


def append(target: DeltaTable | str, schema: pa.Schema, items: list[dict], options: dict[str, str] | None) -> None:
    """Append ``items`` to an open table, or make the table at a path with them."""
    write_deltalake(target, pa.Table.from_pylist(items, schema=schema), mode="append", storage_options=options)


def check_store(uri: str, options: dict[str, str]) -> None:
    """Raises when the object store cannot be listed (no bucket, no access)."""
    DeltaStorageHandler(uri, options).get_file_info_selector(FileSelector("", allow_not_found=True))


def listed_tables(uri: str, options: dict[str, str]) -> list[str]:
    """The folders under an object-store prefix that hold a table's log."""
    store = DeltaStorageHandler(uri, options)
    folders = [info.path for info in store.get_file_info_selector(FileSelector("", allow_not_found=True))
               if info.type == FileType.Directory]
    return [folder for folder in sorted(folders)
            if any(info.type == FileType.File and info.path.endswith((".json", ".parquet"))
                   for info in store.get_file_info_selector(FileSelector(f"{folder}/_delta_log", allow_not_found=True)))]
