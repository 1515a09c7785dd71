"""history: who ran each version, on which host, how long it took (the run
records beside the ledger), --limit and --migration."""
import getpass
import json
import shutil
import socket

import pytest

from .conftest import migrate


def with_history(root):
    """Three runs: two migrations withdrawn and applied again."""
    for command in (["apply", "--to", "3"], ["rollback", "--steps", "2"], ["apply"]):
        result = migrate(root, *command)
        assert result.code == 0, result.err
    return root


def versions(root, *arguments):
    result = migrate(root, "history", "--format", "json", *arguments)
    assert result.code == 0, result.out
    return json.loads(result.out)["versions"]


@pytest.mark.parametrize("storage", ["embedded_shop", "team_shop"])
def test_every_version_says_who_where_and_how_long(request, storage):
    root = with_history(request.getfixturevalue(storage))
    found = versions(root)
    assert len(found) == 10
    for version in found:
        assert version["recorded_as"] == {"saved": "applied", "deleted": "withdrawn"}[version["event"]]
        assert (version["user"], version["host"]) == (getpass.getuser(), socket.gethostname())
        assert isinstance(version["seconds"], float) and version["seconds"] >= 0
    header, rule, first = migrate(root, "history").out.splitlines()[1:4]
    assert header.split()[-3:] == ["user", "host", "seconds"]
    assert first.split()[-3:-1] == [getpass.getuser(), socket.gethostname()]


@pytest.mark.parametrize("limit", [1, 4, 10, 50])
def test_limit_keeps_the_newest(embedded_shop, limit):
    every = versions(with_history(embedded_shop))
    assert versions(embedded_shop, "--limit", str(limit)) == every[-limit:]


@pytest.mark.parametrize("reference", ["app:0002_products", "2", "app:2"])
def test_migration_keeps_its_versions(embedded_shop, reference):
    found = versions(with_history(embedded_shop), "--migration", reference)
    assert [(v["migration"], v["event"]) for v in found] == [
        ("app:0002_products", "saved"), ("app:0002_products", "deleted"), ("app:0002_products", "saved")]
    assert versions(embedded_shop, "--migration", reference, "--limit", "1") == found[-1:]
    text = migrate(embedded_shop, "history", "--migration", reference, "--limit", "2").out
    assert text.splitlines()[0] == ("History of app:0002_products in the lakehouse 'lakehouse': "
                                    "2 versions (the newest of 3), oldest first.")


def test_migration_whose_file_is_gone(embedded_shop):
    with_history(embedded_shop)
    (embedded_shop / "app/migrations/0005_business_customers.json").unlink()
    found = versions(embedded_shop, "--migration", "5")
    assert [(v["migration"], v["event"]) for v in found] == [("app:0005_business_customers", "saved")]
    missing = migrate(embedded_shop, "history", "--migration", "7")
    assert (missing.code, missing.err) == (1, 'error: no migration "7" in the project, nor in its history\n')


def test_versions_written_before_run_records_were_kept(embedded_shop):
    """A lakehouse written before run records were kept (here: their table removed) says nothing of who or how long."""
    assert migrate(embedded_shop, "apply", "--to", "1").code == 0
    shutil.rmtree(embedded_shop / ".velkor" / "lakehouse" / "MigrationRun")
    found = versions(embedded_shop)
    assert [(v["event"], v["recorded_as"], v["user"], v["host"], v["seconds"]) for v in found] == [
        ("saved", None, None, None, None)] * 2
    assert migrate(embedded_shop, "history").out.splitlines()[-1].split()[-3:] == ["-", "-", "-"]
