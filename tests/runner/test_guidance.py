"""What a new user meets: `new`, `schema`, warnings for what looks like a
migration but is skipped, and output that stops quietly when its reader has gone."""
import json
import subprocess
import sys

import pytest

from velkor.migration.runner.source.file_schema import SCHEMA_PATH
from velkor.migration.runner.source.loading import load_document
from .conftest import ALL, applied, migrate


@pytest.mark.parametrize("arguments, path", [
    (["Add coupons"], "app/migrations/0006_add_coupons.json"),
    (["points-per-EURO!", "--module", "loyalty"], "contrib/loyalty/migrations/0002_points_per_euro.json"),
    (["first", "--module", "app"], "app/migrations/0006_first.json"),
])
def test_new_writes_the_next_numbered_valid_empty_migration(shop, arguments, path):
    result = migrate(shop, "new", *arguments)
    assert result.code == 0, result.err
    assert result.out.startswith(f"Created {path}: ")
    assert load_document(shop / path).schemas == []
    assert migrate(shop, "check").code == 0
    assert migrate(shop, "apply").code == 0
    assert len(applied(shop)) == len(ALL) + 1


def test_new_in_an_empty_project_and_twice(tmp_path, shop):
    (shop / "app/migrations").rename(shop / "old")
    assert migrate(shop, "new", "start").out.startswith("Created app/migrations/0001_start.json")
    assert migrate(shop, "new", "start").out.startswith("Created app/migrations/0002_start.json")


@pytest.mark.parametrize("arguments, message", [
    (["x", "--module", "billing"], "no contrib module 'billing': there is no folder contrib/billing/ "
                                   "(contrib modules: loyalty)"),
    (["..."], "'...' does not make a file name"),
])
def test_new_refuses(shop, arguments, message):
    result = migrate(shop, "new", *arguments)
    assert result.code == 1 and message in result.err, result.err
    assert not (shop / "contrib/billing").exists()


def test_schema_prints_the_shipped_json_schema(shop, capsys):
    result = migrate(shop, "schema")
    assert result.code == 0
    assert json.loads(result.out) == json.loads(SCHEMA_PATH.read_text())


@pytest.mark.parametrize("make, warning", [
    (lambda root: (root / "app/migrations").rename(root / "app/migration"),
     "app/migration: skipped: migrations are read from app/migrations/"),
    (lambda root: (root / "contrib/loyalty/migrations").rename(root / "contrib/loyalty/Migrations"),
     "contrib/loyalty/Migrations: skipped: migrations are read from contrib/loyalty/migrations/"),
    (lambda root: (root / "app").rename(root / "apps"), "apps: skipped: did you mean app/?"),
    (lambda root: (root / "app/migrations/0009_x.JSON").write_text("{}"),
     "app/migrations/0009_x.JSON: skipped: a migration file is named NNNN_name.json"),
    (lambda root: (root / "app/migrations/0009_x.json.bak").write_text("{}"),
     "app/migrations/0009_x.json.bak: skipped"),
])
def test_what_looks_like_migrations_but_is_skipped_is_named(shop, make, warning):
    make(shop)
    result = migrate(shop, "status")
    assert result.code == 0
    assert result.err.startswith(f"warning: {warning}") and len(result.err.splitlines()) == 1, result.err


def test_no_warning_for_a_sound_project(shop):
    assert migrate(shop, "status").err == ""


@pytest.mark.parametrize("reader", ["head -1", "true"])  # true reads nothing: the first line already fails
@pytest.mark.parametrize("command", ["status", "history"])
def test_output_into_a_closed_pipe_ends_quietly(embedded_shop, command, reader):
    migrate(embedded_shop, "apply")
    script = (f"{sys.executable} -m velkor.migration.runner --project {embedded_shop} {command} | {reader}; "
              "exit ${PIPESTATUS[0]}")
    done = subprocess.run(["bash", "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert len(done.stdout.splitlines()) <= 1
