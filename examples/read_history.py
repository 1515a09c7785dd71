"""The history of the applied migrations, read from the lakehouse by a data
tool alone: polars, or DuckDB's SQL (the lakehouse's tables are standard
Delta tables; see docs/lakehouse.md).

    pip install polars deltalake          # or: pip install duckdb deltalake
    python read_history.py PROJECT/.velkor/lakehouse          # with polars
    python read_history.py --sql PROJECT/.velkor/lakehouse    # with DuckDB

Each line is one version of a migration record, oldest first: when it was
written, whether the migration was saved (applied) or deleted (rolled back),
the migration, and the transaction of the run that wrote it.
"""
import sys
from pathlib import Path


def with_polars(lakehouse):
    import polars as pl

    def latest(frame, *key):  # the last write of each key
        return frame.sort("write_id").unique(list(key), keep="last", maintain_order=True)

    versions = latest(pl.read_delta(str(Path(lakehouse) / "Migration")).filter(pl.col("kind") == "version"),
                      "object_id", "object_version")
    field = pl.col("document").str.json_path_match
    documents = latest(pl.read_delta(str(Path(lakehouse) / "_velkor_metadata"))
                       .filter(pl.col("class_name") == "Migration")
                       .select(field("$.address.object_id").alias("object_id"),
                               field("$.address.object_version").alias("object_version"),
                               field("$.is_deleted").alias("is_deleted"),
                               field("$.transaction.object_id").alias("transaction"),
                               pl.col("write_id")),
                       "object_id", "object_version").drop("write_id")
    data = pl.col("data").str.json_path_match
    return (versions.join(documents, on=["object_id", "object_version"])  # a version without one was never committed
            .sort("write_id")
            .select(pl.from_epoch("written_at", time_unit="s").dt.replace_time_zone("UTC").alias("written_at"),
                    pl.when(pl.col("is_deleted") == "true").then(pl.lit("deleted")).otherwise(pl.lit("saved"))
                    .alias("event"),
                    data("$.module_name").fill_null("app").alias("module"),
                    data("$.migration_name").str.strip_suffix(".json").alias("migration"),
                    "transaction", "object_id", "object_version"))


HISTORY_SQL = """
WITH versions AS (
    SELECT * FROM migration WHERE kind = 'version'
    QUALIFY row_number() OVER (PARTITION BY object_id, object_version ORDER BY write_id DESC) = 1
), documents AS (
    SELECT document ->> '$.address.object_id' AS target_id,
           document ->> '$.address.object_version' AS target_version,
           document ->> '$.is_deleted' = 'true' AS is_deleted,
           document ->> '$.transaction.object_id' AS transaction,
           write_id
    FROM metadata WHERE class_name = 'Migration'
    QUALIFY row_number() OVER (PARTITION BY target_id, target_version ORDER BY write_id DESC) = 1
)
SELECT to_timestamp(v.written_at) AS written_at,
       CASE WHEN d.is_deleted THEN 'deleted' ELSE 'saved' END AS event,
       coalesce(v.data ->> '$.module_name', 'app') AS module,
       regexp_replace(v.data ->> '$.migration_name', '\\.json$', '') AS migration,
       d.transaction, v.object_id, v.object_version
FROM versions AS v JOIN documents AS d ON v.object_id = d.target_id AND v.object_version = d.target_version
ORDER BY v.write_id
"""


def with_duckdb(lakehouse):
    import duckdb
    from deltalake import DeltaTable

    connection = duckdb.connect()
    connection.execute("SET TimeZone = 'UTC'")
    for name, folder in (("migration", "Migration"), ("metadata", "_velkor_metadata")):
        connection.register(name, DeltaTable(str(Path(lakehouse) / folder)).to_pyarrow_dataset())
    return connection.sql(HISTORY_SQL)


if __name__ == "__main__":
    arguments = sys.argv[1:]
    sql = "--sql" in arguments
    folders = [a for a in arguments if a != "--sql"]
    if len(folders) != 1:
        sys.exit(__doc__)
    rows = with_duckdb(folders[0]).fetchall() if sql else with_polars(folders[0]).rows()
    for written_at, event, module, migration, transaction, *_ in rows:
        print(f"{written_at:%Y-%m-%d %H:%M:%S}  {event:<7}  {module}:{migration}  transaction {transaction}")
