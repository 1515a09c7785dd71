"""The runner applying many migrations of one schema each on the embedded
default storage (SQLite repository + Delta lakehouse under .velkor/), in a
temporary project.

Reported: the total, and the share of each part:
- compile: registering the schemas and compiling them (the class foundry);
- ledger: the ledger's own work in fetch_migrations and save_migration, that
  is its time less the storage calls it makes;
- storage: the connections' insert / put / delete (staged in the run's
  transaction), their commit, and query (SQLite and Delta);
- runner: everything else (reading and checking the files, ordering, the
  lock, output).
Then a second run that applies one more migration.

Run: PYTHONPATH=build/<name>/site .venv/bin/python -m bench.runner [--count N]
"""
from __future__ import annotations

import argparse
import io
import json
import tempfile
import time
from collections import Counter
from pathlib import Path

from velkor.migration.runner import commands
from velkor.migration.runner.output import Output
from velkor.migration.runner.project import Project
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

storage = Counter()  # seconds per engine and operation


def _timed(method):
    def wrapper(self, *args, **kwargs):
        started = time.perf_counter()
        try:
            return method(self, *args, **kwargs)
        finally:
            storage[f"{self.engine} {method.__name__}"] += time.perf_counter() - started
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
    commands.apply(project, Output(io.StringIO(), io.StringIO()))
    return time.perf_counter() - started, project.timings, Counter(storage)


def report(title: str, total: float, timings: Counter, stored: Counter, migrations: int) -> None:
    storage_total = sum(stored.values())
    parts = [("compile (class foundry)", timings["compile"]),
             ("ledger (its own work)", timings["ledger"] - storage_total),
             ("storage (SQLite + Delta)", storage_total),
             ("runner", total - timings["compile"] - timings["ledger"])]
    print(f"\n{title}: {total:.2f} s, {1000 * total / migrations:.2f} ms per migration applied")
    for name, seconds in parts:
        print(f"  {name:<26} {seconds:8.2f} s  {100 * seconds / total:5.1f} %")
    for name, seconds in sorted(stored.items(), key=lambda item: -item[1]):
        print(f"    {name:<24} {seconds:8.2f} s")


def main() -> None:
    parser = argparse.ArgumentParser(prog="python -m bench.runner")
    parser.add_argument("--count", type=int, default=1000, help="migrations to apply (default: %(default)s)")
    args = parser.parse_args()
    for name in ("insert", "put", "query", "delete", "commit"):
        setattr(Connection, name, _timed(getattr(Connection, name)))
    with tempfile.TemporaryDirectory(prefix="velkor-bench-") as folder:
        root = Path(folder)
        (root / "velkor.toml").write_text(EMBEDDED)
        migrations = root / "app" / "migrations"
        migrations.mkdir(parents=True)
        for number in range(1, args.count + 1):
            write_migration(migrations, number)
        print(f"Applying {args.count} migrations of one schema each, embedded default storage")
        report(f"apply {args.count}", *run_apply(root), args.count)
        write_migration(migrations, args.count + 1)
        report(f"apply 1 more (after compiling the {args.count} applied again)", *run_apply(root), 1)
