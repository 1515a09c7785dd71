"""What a run keeps to read less next time (the record's snapshot, the
documents found valid) is only ever a shortcut: lost, spoiled, stale or
outrun by a change to the stores, it changes nothing a command says. The
record is read from `status --format json`."""
import json
import shutil
import sqlite3
import subprocess
import sys

import pytest

from .conftest import migrate, write_migration

SNAPSHOT = ".velkor/record-snapshot.json"
VALIDATED = ".velkor/validated-documents.json"


def status(root):
    result = migrate(root, "status", "--format", "json")
    assert result.code in (0, 1), result.err
    found = json.loads(result.out)
    found.pop("configuration", None)
    return found


def applied_labels(root):
    return [entry["migration"] for entry in status(root)["migrations"] if entry["state"] == "applied"]


def missing(root, stale):
    (root / SNAPSHOT).unlink()


def garbage(root, stale):
    (root / SNAPSHOT).write_bytes(b"\x00garbage{")


def cut_short(root, stale):
    text = (root / SNAPSHOT).read_bytes()
    (root / SNAPSHOT).write_bytes(text[: len(text) // 2])


def a_folder(root, stale):
    (root / SNAPSHOT).unlink()
    (root / SNAPSHOT).mkdir()


def of_an_earlier_record(root, stale):
    (root / SNAPSHOT).write_bytes(stale)


def with_other_records(root, stale):
    """Records and checksums changed in the snapshot, its stores' states left as they are."""
    data = json.loads((root / SNAPSHOT).read_bytes())
    data["records"] = data["records"][:2]
    data["checksums"] = data["checksums"][:2]
    (root / SNAPSHOT).write_text(json.dumps(data))


@pytest.mark.parametrize("spoil", [missing, garbage, cut_short, a_folder, of_an_earlier_record])
def test_a_spoiled_snapshot_changes_nothing_a_command_says(embedded_shop, spoil):
    assert migrate(embedded_shop, "apply", "--to", "2").code == 0
    stale = (embedded_shop / SNAPSHOT).read_bytes()
    assert migrate(embedded_shop, "apply").code == 0
    expected = status(embedded_shop)
    spoil(embedded_shop, stale)
    assert status(embedded_shop) == expected
    assert migrate(embedded_shop, "rollback").code == 0  # and a run that writes
    assert len(applied_labels(embedded_shop)) == 5


def test_a_snapshot_is_read_only_while_its_stores_are_as_it_says(embedded_shop, tmp_path):
    """Another folder recording to the same stores rolls back: this folder's snapshot (made to lie
    here) no longer describes them, and is not read."""
    assert migrate(embedded_shop, "apply").code == 0
    with_other_records(embedded_shop, None)
    rolled_back_elsewhere(embedded_shop, tmp_path)
    found = status(embedded_shop)
    assert found["summary"]["applied"] == 5 and found["record"]["ok"], found["record"]


def shared_stores(root, tmp_path):
    """A second project folder with the same files, recording to the first one's stores."""
    other = tmp_path / "other"
    shutil.copytree(root, other, ignore=shutil.ignore_patterns(".velkor"))
    text = (root / "velkor.toml").read_text().replace('".velkor/', f'"{root}/.velkor/')
    (other / "velkor.toml").write_text(text)
    return other


def rolled_back_elsewhere(root, tmp_path):
    assert migrate(shared_stores(root, tmp_path), "rollback").code == 0


def row_deleted(root, tmp_path):
    with sqlite3.connect(root / ".velkor/repository.sqlite3") as db:
        db.execute("""DELETE FROM "Migration" WHERE migration_name = '0003_orders.json'""")


def row_edited(root, tmp_path):
    """A row's metadata changed in place: it now says its record was deleted."""
    with sqlite3.connect(root / ".velkor/repository.sqlite3") as db:
        db.execute("""UPDATE "Migration" SET _metadata = json_set(_metadata, '$.is_deleted', json('true'))
                      WHERE migration_name = '0003_orders.json'""")


def row_edited_uncounted(root, tmp_path):
    """The same change, once the database no longer counts the table's writes."""
    with sqlite3.connect(root / ".velkor/repository.sqlite3") as db:
        db.execute('DROP TRIGGER "Migration__counts_update"')
    row_edited(root, tmp_path)


def table_dropped(root, tmp_path):
    """Dropping a table deletes its rows without a trigger firing: damage."""
    with sqlite3.connect(root / ".velkor/repository.sqlite3") as db:
        db.execute('DROP TABLE "Migration"')


@pytest.mark.parametrize("change, applied, lacks", [
    (rolled_back_elsewhere, 5, []),
    (row_deleted, 6, ["app:0003_orders"]),
    (row_edited, 6, ["app:0003_orders"]),
    (row_edited_uncounted, 6, ["app:0003_orders"]),
    (table_dropped, None, None),
])
def test_a_change_to_the_stores_behind_the_snapshot_is_seen(embedded_shop, tmp_path, change, applied, lacks):
    assert migrate(embedded_shop, "apply").code == 0
    assert status(embedded_shop)["record"]["repository"]["lacks"] == []  # (the snapshot says the copy agrees)
    change(embedded_shop, tmp_path)
    found = status(embedded_shop)
    if applied is None:
        assert not found["ok"] and len(found["record"]["damage"]) == 1
    else:
        assert found["summary"]["applied"] == applied and found["record"]["repository"]["lacks"] == lacks


ITEM = {"Item": {"properties": {"code": {"type": "string"}}}}


@pytest.mark.parametrize("cache", ["kept", "lost", "garbage", "of other rules"])
def test_a_file_found_valid_is_checked_again_once_edited(embedded_shop, cache):
    path = write_migration(embedded_shop, "0006_items.json", ITEM)
    assert migrate(embedded_shop, "apply", "--to", "5").code == 0
    assert migrate(embedded_shop, "plan").code == 0  # 0006 is read and found valid
    known = json.loads((embedded_shop / VALIDATED).read_text())
    path.write_text(path.read_text().replace('"properties"', '"propertys"'))
    if cache == "lost":
        (embedded_shop / VALIDATED).unlink()
    elif cache == "garbage":
        (embedded_shop / VALIDATED).write_text("[")
    elif cache == "of other rules":
        from velkor.migration.runner.source.validated import digest
        known = {**known, "rules": "0" * 64, "documents": known["documents"] + [digest(path.read_bytes())]}
        (embedded_shop / VALIDATED).write_text(json.dumps(known))
    result = migrate(embedded_shop, "apply")
    assert result.code == 1 and "0006_items.json" in result.err and "propertys" in result.err, result.err
    assert status(embedded_shop)["summary"]["pending"] == 1  # nothing of 0006 was applied


def test_a_status_the_snapshot_answers_loads_neither_the_table_library_nor_the_foundry(embedded_shop):
    assert migrate(embedded_shop, "apply").code == 0
    script = ("import io, sys\nfrom contextlib import redirect_stdout\nfrom velkor.migration.runner.cli import run\n"
              "with redirect_stdout(io.StringIO()):\n"
              f"    code = run(['--project', {str(embedded_shop)!r}, 'status'])\n"
              "print(code, sorted({m for m in sys.modules if m.split('.')[0] in ('deltalake', 'pyarrow')"
              " or m == 'velkor.migration.class_foundry'}))")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert result.stdout.split() == ["0", "[]"], result.stdout + result.stderr
