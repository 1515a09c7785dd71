"""The ledger on real storage in a temporary project, in every configuration:
round trips, a new process, and failures half-way through."""
import json
import os
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

from velkor.configs.main import settings
from velkor.migration import ledger_vault
from velkor_data.connections.manager import UnknownConnectionError

from .conftest import CONFIGURATIONS, migration, write_project

LISTING = """
import json
from velkor.migration.ledger_vault import LedgerVault
print(json.dumps([[m.number, m.module, str(m.stored_address)]
                  for m in LedgerVault().fetch_migrations()]))
"""


def listed(records):
    return [[m.number, m.module, str(m.stored_address)] for m in records]


def history(vault, name):
    return vault._connections_manager.get_connection(name).history("Migration")


def test_save_list_delete_and_a_new_process(project):
    vault = ledger_vault.LedgerVault()
    first, second = migration(1), migration(2, "blog")
    vault.save_migration(first)
    vault.save_migration(second)
    if not (project.repository or project.lakehouse):
        # Nothing is configured to hold migrations: nothing is written and
        # there is nothing to read from.
        vault.delete_migration(migration(1, stored_address=vault.migration_address))
        assert not (project.root / ".velkor").exists()
        with pytest.raises(UnknownConnectionError):
            vault.fetch_migrations()
        return

    saved = vault.fetch_migrations()
    assert [(m.number, m.path, m.type, m.module, m.applied_at) for m in saved] == [
        (1, project.root / "app/migrations/0001_step.py", first.type, None, first.applied_at),
        (2, project.root / "contrib/blog/migrations/0002_step.py", second.type, "blog",
         second.applied_at)]
    assert all(m.stored_address.class_name == "Migration" for m in saved)

    vault.delete_migration(saved[0])
    remaining = vault.fetch_migrations()
    assert listed(remaining) == listed(saved[1:])

    site = str(Path(ledger_vault.__file__).parents[2])
    environment = {**os.environ, "PYTHONPATH": site}
    result = subprocess.run([sys.executable, "-c", LISTING], cwd=project.root, env=environment,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == listed(remaining)

    if project.lakehouse:
        # The withdrawal is kept as a deleted version described by its own metadata.
        withdrawn = [e for e in history(vault, project.lakehouse) if e["is_deleted"]]
        assert len(withdrawn) == 1
        (entry,) = withdrawn
        assert entry["metadata"]["address"]["object_version"] == entry["object_version"]
        assert entry["metadata"]["prior_version"] == saved[0].stored_address.object_version
        assert entry["data"]["number"] == 1


@pytest.fixture
def split_project(tmp_path):
    """A repository and a separate lakehouse, with one migration saved."""
    settings.configure(write_project(tmp_path, CONFIGURATIONS["repository and lakehouse"]))
    vault = ledger_vault.LedgerVault()
    vault.save_migration(migration(1))
    return vault, tmp_path / ".velkor/repository.sqlite3"


def repository_rows(database):
    with sqlite3.connect(database) as db:
        return db.execute("SELECT number, migration_name, module_type, applied_at, _metadata "
                          "FROM Migration ORDER BY number").fetchall()


def add_trigger(database, when):
    with sqlite3.connect(database) as db:
        db.execute(f"CREATE TRIGGER fail {when} ON Migration "
                   "BEGIN SELECT RAISE(ABORT, 'repository refuses'); END")


@pytest.mark.parametrize("failing_put", [1, 2])
def test_a_failing_put_stops_the_save_before_the_insert(split_project, monkeypatch, failing_put):
    import velkor_data.engines.delta_tables as delta

    vault, database = split_project
    real_write, writes = delta.write_deltalake, []

    def write_deltalake(*args, **kwargs):
        writes.append(args[0])
        if len(writes) == failing_put:
            raise OSError("lakehouse disk full")
        return real_write(*args, **kwargs)

    monkeypatch.setattr(delta, "write_deltalake", write_deltalake)
    with pytest.raises(Exception, match="lakehouse disk full"):
        vault.save_migration(migration(2))
    assert [row[0] for row in repository_rows(database)] == [1]
    assert [m.number for m in vault.fetch_migrations()] == [1]


def test_a_failing_insert_leaves_the_history_and_no_half_row(split_project):
    vault, database = split_project
    add_trigger(database, "AFTER INSERT")
    with pytest.raises(Exception, match="repository refuses"):
        vault.save_migration(migration(2))
    rows = repository_rows(database)
    assert [row[0] for row in rows] == [1] and all(None not in row[:4] for row in rows)
    kept = [e for e in history(vault, "lakehouse") if e["data"]["number"] == 2]
    assert len(kept) == 1 and kept[0]["metadata"]["is_deleted"] is False
    assert [m.number for m in vault.fetch_migrations()] == [1, 2]


def test_a_failing_delete_leaves_the_withdrawal_in_the_history(split_project):
    vault, database = split_project
    (saved,) = vault.fetch_migrations()
    add_trigger(database, "BEFORE DELETE")
    with pytest.raises(Exception, match="repository refuses"):
        vault.delete_migration(saved)
    assert [row[0] for row in repository_rows(database)] == [1]
    assert json.loads(repository_rows(database)[0][4])["address"] == saved.stored_address.model_dump()
    assert vault.fetch_migrations() == []
    assert [e["is_deleted"] for e in history(vault, "lakehouse")] == [False, True]
