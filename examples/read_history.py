"""The history of the applied migrations, read from the lakehouse by a data
tool alone: polars, or DuckDB's SQL (the lakehouse's tables are standard
Delta tables; see docs/lakehouse.md).

    pip install polars deltalake          # or: pip install duckdb deltalake
    python read_history.py PROJECT               # with polars: the lakehouse of PROJECT/velkor.toml
    python read_history.py --sql PROJECT         # with DuckDB
    python read_history.py PROJECT/.velkor/lakehouse
    python read_history.py s3://bucket/prefix    # credentials and endpoint: AWS_* variables

The lakehouse is named by its project folder (the lakehouse connection of its
velkor.toml, with the connection's endpoint_url), by its folder, or by its
s3:// URL. On S3, the credentials come from the usual AWS_* variables and the
endpoint from AWS_ENDPOINT_URL (else AWS's own).

Each line is one version of a migration record, oldest first: when it was
written, whether the migration was saved (applied) or deleted (rolled back),
the migration, and the transaction of the run that wrote it.
"""
import os
import sys
import tomllib
from pathlib import Path


class NoLakehouse(Exception):
    """There is no lakehouse where the command line says."""


def s3_options(endpoint_url=None):
    """How to reach a lakehouse on S3: the endpoint and the AWS_* credentials of the environment
    (an http:// endpoint needs AWS_ALLOW_HTTP)."""
    options = {key.lower(): os.environ[key] for key in (
        "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_REGION") if os.environ.get(key)}
    endpoint = endpoint_url or os.environ.get("AWS_ENDPOINT_URL_S3") or os.environ.get("AWS_ENDPOINT_URL")
    if endpoint:
        options["aws_endpoint_url"] = endpoint
        if endpoint.startswith("http://"):
            options["aws_allow_http"] = "true"
    return options


def find_lakehouse(place):
    """The lakehouse that ``place`` names (a project folder, a lakehouse folder or an s3:// URL)
    and the storage options to read it with (None for a folder)."""
    if place.startswith("s3://"):
        return place.rstrip("/"), s3_options()
    folder = Path(place)
    config = folder / "velkor.toml"
    if not config.is_file():
        return str(folder), None
    settings = tomllib.loads(config.read_text(encoding="utf-8"))
    name = settings.get("resources_config", {}).get("lakehouse")
    connection = settings.get("connections", {}).get(name) if name else None
    if not connection or not connection.get("path"):
        raise NoLakehouse(f"{config} configures no lakehouse (resources_config.lakehouse)")
    path = connection["path"]
    if path.startswith("s3://"):
        return path.rstrip("/"), s3_options(connection.get("endpoint_url"))
    return str(folder / Path(path).expanduser()), None


def check_lakehouse(lakehouse, options=None):
    """NoLakehouse unless ``lakehouse`` holds the Migration table."""
    from deltalake import DeltaTable

    try:
        found = DeltaTable.is_deltatable(table(lakehouse, "Migration"), storage_options=options)
    except Exception as exc:  # an endpoint that cannot be reached, a bucket that does not exist
        first = (str(exc).strip().splitlines() or [type(exc).__name__])[0]
        raise NoLakehouse(f"cannot read the lakehouse {lakehouse}: {first}") from None
    if not found:
        hint = "" if options is not None else "; give the project folder, its lakehouse folder or an s3:// URL"
        raise NoLakehouse(f"no lakehouse at {lakehouse} (no Migration table there{hint})")


def table(lakehouse, name):
    """Where a table of the lakehouse is: a folder, or a prefix of an s3:// URL."""
    return f"{str(lakehouse).rstrip('/')}/{name}"


def with_polars(lakehouse, options=None):
    import polars as pl

    def latest(frame, *key):  # the last write of each key
        return frame.sort("write_id").unique(list(key), keep="last", maintain_order=True)

    versions = latest(pl.read_delta(table(lakehouse, "Migration"), storage_options=options)
                      .filter(pl.col("kind") == "version"), "object_id", "object_version")
    field = pl.col("document").str.json_path_match
    documents = latest(pl.read_delta(table(lakehouse, "_velkor_metadata"), storage_options=options)
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


def with_duckdb(lakehouse, options=None):
    import duckdb
    from deltalake import DeltaTable

    connection = duckdb.connect()
    connection.execute("SET TimeZone = 'UTC'")
    for name, folder in (("migration", "Migration"), ("metadata", "_velkor_metadata")):
        connection.register(name, DeltaTable(table(lakehouse, folder), storage_options=options).to_pyarrow_dataset())
    return connection.sql(HISTORY_SQL)


def main(arguments):
    sql = "--sql" in arguments
    places = [a for a in arguments if a != "--sql"]
    if len(places) != 1:
        sys.exit(__doc__)
    try:
        lakehouse, options = find_lakehouse(places[0])
        check_lakehouse(lakehouse, options)
    except (NoLakehouse, OSError, tomllib.TOMLDecodeError) as exc:
        sys.exit(f"error: {exc}")
    rows = with_duckdb(lakehouse, options).fetchall() if sql else with_polars(lakehouse, options).rows()
    for written_at, event, module, migration, transaction, *_ in rows:
        print(f"{written_at:%Y-%m-%d %H:%M:%S}  {event:<7}  {module}:{migration}  transaction {transaction}")


if __name__ == "__main__":
    main(sys.argv[1:])
