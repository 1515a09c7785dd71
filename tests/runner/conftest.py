"""Temporary copies of the example shop, and the runner's command line run in
this process with its output captured."""
import io
import json
import shutil
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

from velkor.configs.main import settings
from velkor.migration.runner.cli import run
from velkor.migration.runner.output import Output
from velkor.migration.runner.key import label_of
from velkor.migration.runner.project import Project
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.classes.version_manager import ClassVersionManager

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "shop"
# The example's migrations, in the order they apply.
ALL = ["loyalty:0001_loyalty_accounts", "app:0001_customers", "app:0002_products", "app:0003_orders",
       "app:0004_customer_loyalty", "app:0005_business_customers"]
SQLITE_ONLY = """\
[connections.repository]
engine = "sqlite"
path = ".velkor/repository.sqlite3"

[resources_config.repository]
default = "repository"
"""


@pytest.fixture(autouse=True)
def clean_process_state():
    TableSchemasManager().reset()
    ClassVersionManager().reset()
    yield
    TableSchemasManager().reset()
    ClassVersionManager().reset()
    settings.configure(None)


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


def migrate(project, *args, out=None, err=None):
    """velkor-migrate --project PROJECT ARGS, in this process."""
    out, err = out or io.StringIO(), err or io.StringIO()
    code = run(["--project", str(project), *args], Output(out, err))
    return SimpleNamespace(code=code, out=out.getvalue(), err=err.getvalue())


def migrate_process(project, *args, **popen):
    """The same in a new process; returns the Popen (or its result when not waiting)."""
    command = [sys.executable, "-m", "velkor.migration.runner", "--project", str(project), *args]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)


def write_migration(project, name, schemas, module=None, **fields):
    """A migration file of the app (or of a contrib module); schemas: class name -> schema."""
    folder = project / ("app" if module is None else f"contrib/{module}") / "migrations"
    folder.mkdir(parents=True, exist_ok=True)
    document = {**fields, "schemas": [{"class_name": c, "schema": s} for c, s in schemas.items()]}
    (folder / name).write_text(json.dumps(document, indent=2))
    return folder / name


def applied_count(project) -> int:
    """How many migrations are applied, as ``status --format json`` counts them."""
    result = migrate(project, "status", "--format", "json")
    assert result.code == 0, f"status fails: {result.err or result.out}"
    return json.loads(result.out)["summary"]["applied"]


def applied(project):
    """Labels of the migrations recorded as applied, in the order they were applied."""
    return [label_of(r) for r in Project(project).applied_records()]


@pytest.fixture
def shop(tmp_path):
    """A copy of the example shop recording to SQLite only (fast)."""
    root = tmp_path / "shop"
    shutil.copytree(EXAMPLE, root, ignore=shutil.ignore_patterns(".velkor"))
    (root / "velkor.toml").write_text(SQLITE_ONLY)
    return root


# A team's storage: the repository on the PostgreSQL server, the lakehouse in
# the S3-compatible server's bucket (each test its own database and prefix).
TEAM = """\
[connections.repository]
engine = "postgresql"
url = "{url}"

[connections.lakehouse]
engine = "delta"
path = "{lakehouse}"
endpoint_url = "{endpoint}"

[resources_config]
lakehouse = "lakehouse"

[resources_config.repository]
default = "repository"
"""


def team_config(servers) -> str:
    """A velkor.toml on new storage on the test servers."""
    return TEAM.format(url=servers.database(), lakehouse=servers.lakehouse(), endpoint=servers.s3_endpoint)


def sqlite_beside_s3_config(servers) -> str:
    """A velkor.toml with a SQLite repository in the project folder beside a new lakehouse on S3."""
    return TEAM.replace('engine = "postgresql"\nurl = "{url}"', 'engine = "sqlite"\npath = ".velkor/repository.sqlite3"'
                        ).format(lakehouse=servers.lakehouse(), endpoint=servers.s3_endpoint)


@pytest.fixture
def team_shop(tmp_path, servers):
    """A copy of the example shop recording to PostgreSQL and the S3 lakehouse."""
    root = tmp_path / "shop"
    shutil.copytree(EXAMPLE, root, ignore=shutil.ignore_patterns(".velkor"))
    (root / "velkor.toml").write_text(team_config(servers))
    return root


def host_copy(project, tmp_path, name):
    """Another host's copy of a project folder: the same files and configuration, none of its local state."""
    root = tmp_path / name
    shutil.copytree(project, root, ignore=shutil.ignore_patterns(".velkor"))
    return root


@pytest.fixture
def embedded_shop(tmp_path):
    """A copy of the example shop on its own configuration: SQLite repository and Delta lakehouse."""
    root = tmp_path / "shop"
    shutil.copytree(EXAMPLE, root, ignore=shutil.ignore_patterns(".velkor"))
    return root


@pytest.fixture
def small_disk(tmp_path):
    """A 16 MiB file system of its own (needs the right to mount one)."""
    mount = tmp_path / "small"
    mount.mkdir()
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", str(mount)], capture_output=True)
    if made.returncode != 0:
        pytest.skip(f"cannot mount a small file system here: {made.stderr.decode().strip()}")
    yield mount
    subprocess.run(["umount", "-l", str(mount)], check=False)
