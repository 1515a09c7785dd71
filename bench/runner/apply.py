"""The runner applying many migrations of one schema each, in a temporary
project, on two storages in one run: the embedded default (SQLite repository
+ Delta lakehouse under .velkor/), and a team's (the repository on the
PostgreSQL server, the lakehouse on the S3-compatible server, both on
loopback: those of tools/test-servers, which `make bench` starts).

Reported: the total, and the share of each part:
- compile: registering the schemas and compiling them (the class foundry);
- ledger: the ledger's own work in fetch_migrations and save_migration, that
  is its time less the storage calls it makes;
- storage: the connections' insert / put / delete (staged in the run's
  transaction), their commit, and query (SQLite and Delta);
- lock: taking the project's lock (a file, or the PostgreSQL advisory lock);
- runner: everything else (reading and checking the files, ordering, output).
Then a second run that applies one more migration; then both storages side
by side, with the difference part by part.

Run: PYTHONPATH=build/<name>/site .venv/bin/python -m bench.runner [--count N]
(the team's storage is measured when VELKOR_TEST_POSTGRES_URL and
VELKOR_TEST_S3_ENDPOINT name the servers: tools/test-servers run ...)
"""
from __future__ import annotations

import argparse
import io
import json
import os
import tempfile
import time
import uuid
from collections import Counter
from pathlib import Path

from velkor.migration.runner import lock
from velkor.migration.runner.commands.apply import apply
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
from velkor_data.engines import ENGINES, engine_class
from velkor_data.engines.base import Connection

EMBEDDED = """\
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

storage = Counter()  # seconds per engine and operation, and for the lock


def _timed(method, name=None):
    def wrapper(self, *args, **kwargs):
        started = time.perf_counter()
        try:
            return method(self, *args, **kwargs)
        finally:
            storage[name or f"{self.engine} {method.__name__}"] += time.perf_counter() - started
    return wrapper


def write_migration(folder: Path, number: int) -> None:
    """One class per migration: a few properties, options, and a reference to the first class."""
    properties = {
        "code": {"type": "string"},
        "quantity": {"type": "integer", "default": 0},
        "tags": {"type": "array", "items": {"type": "string"}},
        "state": {"type": "string", "options": [{"value": "new"}, {"value": "done"}]},
    }
    if number > 1:
        properties["first"] = {"type": "Item0001"}
    document = {"schemas": [{"class_name": f"Item{number:04d}",
                             "schema": {"properties": properties, "required": ["code"]}}]}
    (folder / f"{number:04d}_item.json").write_text(json.dumps(document))


def run_apply(root: Path) -> tuple[float, Counter, Counter]:
    storage.clear()
    started = time.perf_counter()
    project = Project(root)
    apply(project, Output(io.StringIO(), io.StringIO()))
    return time.perf_counter() - started, project.timings, Counter(storage)


def report(title: str, total: float, timings: Counter, stored: Counter, migrations: int) -> dict[str, float]:
    """Prints the run's parts; returns them, and each storage operation, in seconds."""
    locking = stored.pop("lock", 0.0)
    storage_total = sum(stored.values())
    parts = {"compile (class foundry)": timings["compile"],
             "ledger (its own work)": timings["ledger"] - storage_total,
             "storage": storage_total,
             "lock": locking,
             "runner": total - timings["compile"] - timings["ledger"] - locking}
    print(f"\n{title}: {total:.2f} s, {1000 * total / migrations:.2f} ms per migration applied")
    for name, seconds in parts.items():
        print(f"  {name:<26} {seconds:8.2f} s  {100 * seconds / total:5.1f} %")
    for name, seconds in sorted(stored.items(), key=lambda item: -item[1]):
        print(f"    {name:<24} {seconds:8.2f} s")
    return {"total": total, **parts, **{f"  {name}": seconds for name, seconds in stored.items()}}


def measure(root: Path, config: str, label: str, count: int) -> dict[str, float]:
    root.mkdir()
    (root / "velkor.toml").write_text(config)
    migrations = root / "app" / "migrations"
    migrations.mkdir(parents=True)
    for number in range(1, count + 1):
        write_migration(migrations, number)
    print(f"\nApplying {count} migrations of one schema each, {label}")
    parts = report(f"apply {count}", *run_apply(root), count)
    write_migration(migrations, count + 1)
    report(f"apply 1 more, with {count} applied", *run_apply(root), 1)
    return parts


def team_config() -> str | None:
    """A velkor.toml on a new database and lakehouse prefix of the test servers, if they run."""
    url, endpoint = os.environ.get("VELKOR_TEST_POSTGRES_URL"), os.environ.get("VELKOR_TEST_S3_ENDPOINT")
    if not (url and endpoint):
        return None
    import psycopg

    name = f"bench_{uuid.uuid4().hex[:12]}"
    with psycopg.connect(url, autocommit=True) as admin:
        admin.execute(f'CREATE DATABASE "{name}"')
    lakehouse = f"s3://{os.environ.get('VELKOR_TEST_S3_BUCKET', 'velkor-test')}/{name}"
    return TEAM.format(url=url.rsplit("/", 1)[0] + "/" + name, lakehouse=lakehouse, endpoint=endpoint)


def side_by_side(embedded: dict[str, float], team: dict[str, float], count: int) -> None:
    print(f"\napply {count}, side by side (seconds; the team's storage less the embedded default's)")
    print(f"  {'':<26} {'embedded':>9} {'team':>9} {'difference':>11}")
    for name in dict.fromkeys([*embedded, *team]):
        mine, theirs = embedded.get(name, 0.0), team.get(name, 0.0)
        print(f"  {name:<26} {mine:9.2f} {theirs:9.2f} {theirs - mine:+11.2f}")


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m bench.runner")
    parser.add_argument("--count", type=int, default=1000, help="migrations to apply (default: %(default)s)")
    args = parser.parse_args()
    for name in ("insert", "put", "query", "delete", "commit"):
        setattr(Connection, name, _timed(getattr(Connection, name)))
    for engine in ENGINES:  # the table log versions the marker keeps
        cls = engine_class(engine)
        cls.log_versions = _timed(cls.log_versions)
    lock._Lock.acquire = _timed(lock._Lock.acquire, "lock")
    with tempfile.TemporaryDirectory(prefix="velkor-bench-") as folder:
        embedded = measure(Path(folder) / "embedded", EMBEDDED,
                           "embedded default storage (SQLite + Delta in the project folder)", args.count)
        config = team_config()
        if config is None:
            print("\nThe team's storage (PostgreSQL + S3) is not measured: no test servers "
                  "(run through tools/test-servers run, as make bench does)")
            return
        team = measure(Path(folder) / "team", config,
                       "a team's storage (PostgreSQL repository + Delta lakehouse on S3, servers on loopback)",
                       args.count)
        side_by_side(embedded, team, args.count)
