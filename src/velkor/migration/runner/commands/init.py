"""``init``: a new project: a commented ``velkor.toml``, ``app/migrations/`` and a first empty migration."""
from __future__ import annotations

from pathlib import Path

from velkor.configs.main import settings

from velkor.migration.runner.commands.new import write_migration
from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.output import Output

FIRST_MIGRATION = "initial"

HEADER = """\
# velkor.toml: where velkor-migrate records which migrations are applied.
#
# The repository holds one row per applied migration; the lakehouse (Delta
# Lake) keeps every version of those rows, with their metadata.
#
# For one deployment, the environment overrides a connection's location
# without changing this file: VELKOR_REPOSITORY_URL or VELKOR_REPOSITORY_PATH,
# VELKOR_LAKEHOUSE_PATH, VELKOR_LAKEHOUSE_ENDPOINT_URL; another file altogether
# with --config FILE or VELKOR_CONFIG.
"""

EMBEDDED = HEADER + """\
#
# The embedded default: both stores in the project's .velkor/ folder (keep it
# out of version control). A relative path is relative to the project folder.

[connections.repository]
engine = "sqlite"
path = ".velkor/repository.sqlite3"

[connections.lakehouse]
engine = "delta"
path = ".velkor/lakehouse"

[resources_config]
lakehouse = "lakehouse"

[resources_config.repository]
default = "repository"
"""

TEAM = HEADER + """\
#
# Shared by every host of the team: the repository in a PostgreSQL database,
# the lakehouse in an S3 bucket. Fill in USER, HOST, DATABASE and BUCKET.
# The database and the bucket must exist; the runner makes its tables in them.

[connections.repository]
engine = "postgresql"
# No password here (a url with one is refused): it comes from PGPASSWORD or ~/.pgpass.
url = "postgresql://USER@HOST:5432/DATABASE"

[connections.lakehouse]
engine = "delta"
# Credentials: AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY (and AWS_SESSION_TOKEN),
# AWS_REGION; or the machine's role.
path = "s3://BUCKET/migrations"
# The S3 endpoint; without it, AWS_ENDPOINT_URL, else AWS's own for the region.
# endpoint_url = "https://s3.eu-west-1.amazonaws.com"

[resources_config]
lakehouse = "lakehouse"

[resources_config.repository]
default = "repository"
"""


def init(out: Output, folder: str | Path, team: bool = False, config: str | Path | None = None) -> int:
    """Start a project in ``folder`` (made if missing): its configuration (``config``, else
    ``folder/velkor.toml``), its app migrations folder and a first empty migration. Nothing is
    overwritten: an existing configuration or a migrations folder with files in it is refused."""
    root = Path(folder).expanduser()
    config_path = Path(config).expanduser() if config is not None else root / settings.CONFIG_FILE_NAME
    migrations = root / "app" / settings.MIGRATIONS_DIRECTORY_NAME
    if root.exists() and not root.is_dir():
        raise MigrationError(f"{root}: not a folder: init makes a project in a folder")
    if config_path.exists():
        raise MigrationError(f"{config_path}: already exists: init writes the configuration of a new project "
                             "and leaves an existing one alone (edit it, or remove it first)")
    if migrations.is_dir() and any(migrations.iterdir()):
        raise MigrationError(f"{migrations}: not empty: init starts the migrations of a new project "
                             "(run velkor-migrate new NAME to add one)")
    try:
        config_path.parent.mkdir(parents=True, exist_ok=True)
        with config_path.open("x", encoding="utf-8") as file:
            file.write(TEAM if team else EMBEDDED)
    except OSError as exc:
        raise MigrationError(f"{config_path}: cannot write the file: {exc.strerror or exc}") from None
    first = write_migration(migrations, 1, FIRST_MIGRATION, FIRST_MIGRATION)
    storage = ("a PostgreSQL repository and an S3 lakehouse, to fill in" if team
               else "the embedded default, SQLite and Delta under .velkor/")
    out.line(f"Created {config_path} ({storage}).")
    out.line(f"Created {first}: add the classes to its \"schemas\" (see velkor-migrate schema).")
    steps = ["fill in the placeholders of velkor.toml"] if team else []
    steps += [f"add the classes to {first.name}", "run velkor-migrate apply"]
    out.line(f"Next: {', then '.join(steps)}.")
    return 0
