"""The stores of the record of applied migrations when they are damaged, when
the disk fills up, and when the files change after they were applied."""
import io
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from .conftest import ALL, EXAMPLE, applied, applied_count, migrate, migrate_process, write_migration
from .faults import events, stored_keys
from .test_faults import claimed_by_apply, claimed_by_rollback

STRING = {"type": "string"}


def velkor(root):
    return root / ".velkor"


def delete_repository(root):
    for path in velkor(root).glob("repository.sqlite3*"):
        path.unlink()


def corrupt_repository(root):
    delete_repository(root)
    (velkor(root) / "repository.sqlite3").write_bytes(b"this is not a database" * 100)


def delete_migration_log(root):
    shutil.rmtree(velkor(root) / "lakehouse" / "Migration" / "_delta_log")


def empty_every_log(root):
    for log in (velkor(root) / "lakehouse").glob("*/_delta_log"):
        for path in log.iterdir():
            path.unlink()


def empty_newest_metadata_log(root):
    log = velkor(root) / "lakehouse" / "_velkor_metadata" / "_delta_log"
    newest = max(log.glob("*.json"))
    newest.write_text("")


def delete_a_data_file(root):
    next((velkor(root) / "lakehouse" / "Migration").glob("*.parquet")).unlink()


def saved_once(root):
    counted = events(root)
    return all(count == 1 for (event, _), count in counted.items() if event == "saved")


@pytest.mark.parametrize("damage, message, repair", [
    (delete_repository, "the repository 'repository' (", ["repair"]),
    (corrupt_repository, "is not a database", ["repair"]),
    (delete_migration_log, "the log of its table Migration is gone", ["repair", "--from-repository"]),
    (empty_every_log, "is missing or empty, but it held 6 applied migrations", ["repair", "--from-repository"]),
    (delete_a_data_file, "cannot be read", None),
])
def test_a_damaged_store_stops_apply_and_rollback(embedded_shop, damage, message, repair):
    assert migrate(embedded_shop, "apply").code == 0
    damage(embedded_shop)
    for command in (["apply"], ["rollback"], ["status"]):
        result = migrate(embedded_shop, *command)
        assert result.code == 1 and message in result.err, (command, result.err)
        assert "damaged store" in result.err and "Traceback" not in result.err
    if repair is None:
        return
    repaired = migrate(embedded_shop, *repair)
    assert repaired.code == 0, repaired.err
    assert "Repaired: the stores agree on 6 applied migrations." in repaired.out
    again = migrate(embedded_shop, "apply")
    assert again.code == 0 and "Nothing to apply" in again.out, again.err
    assert len(stored_keys(embedded_shop)) == 6 and len(applied(embedded_shop)) == 6
    assert saved_once(embedded_shop) or repair == ["repair", "--from-repository"]


def test_a_damaged_newest_log_entry_does_not_bring_back_a_rolled_back_migration(embedded_shop):
    migrate(embedded_shop, "apply")
    migrate(embedded_shop, "rollback")
    empty_newest_metadata_log(embedded_shop)
    result = migrate(embedded_shop, "apply")
    assert result.code == 1 and "its newest log entries are damaged" in result.err, result.err
    assert "repair --from-repository" in result.err
    assert migrate(embedded_shop, "repair", "--from-repository").code == 0
    assert applied(embedded_shop) == ALL[:5]


def test_repair_will_not_empty_the_repository_after_the_lakehouse_is_lost(embedded_shop):
    migrate(embedded_shop, "apply")
    shutil.rmtree(velkor(embedded_shop) / "lakehouse")
    result = migrate(embedded_shop, "repair")
    assert result.code == 1 and "repair --from-repository" in result.err
    assert len(stored_keys_of_repository(embedded_shop)) == 6


def stored_keys_of_repository(root):
    import sqlite3
    with sqlite3.connect(velkor(root) / "repository.sqlite3") as db:
        return db.execute('SELECT module_name, migration_name FROM "Migration"').fetchall()


def test_a_store_never_used_is_not_damage(embedded_shop, tmp_path):
    """A new project, and a project whose storage moved elsewhere, start afresh."""
    assert migrate(embedded_shop, "apply", "--to", "1").code == 0
    moved = tmp_path / "moved"
    shutil.copytree(embedded_shop, moved, ignore=shutil.ignore_patterns("lakehouse", "repository.sqlite3*"))
    (moved / "velkor.toml").write_text((moved / "velkor.toml").read_text().replace(".velkor/", "store/"))
    result = migrate(moved, "apply")
    assert result.code == 0, result.err
    assert applied(moved) == ALL


def test_the_repository_behind_the_ledger_is_brought_in_line_in_one_line(embedded_shop):
    migrate(embedded_shop, "apply")
    import sqlite3
    with sqlite3.connect(velkor(embedded_shop) / "repository.sqlite3") as db:
        db.execute("DELETE FROM \"Migration\" WHERE migration_name LIKE '0005%'")
    status = migrate(embedded_shop, "status")
    assert "The repository lacks the rows of app:0005_business_customers" in status.err
    result = migrate(embedded_shop, "rollback")
    assert result.err.splitlines() == [
        "Brought the repository in line with the ledger: added the rows of app:0005_business_customers."]
    assert "Rolled back 1 migration; 5 applied." in result.out
    assert len(stored_keys(embedded_shop)) == 5


def test_a_changed_applied_file_is_refused_until_accepted(shop):
    migrate(shop, "apply", "--to", "2")
    path = shop / "app/migrations/0002_products.json"
    path.write_bytes(path.read_bytes().replace(b"\n", b"\r\n"))  # a checkout with other line endings: no change
    assert "changed" not in migrate(shop, "status").out
    path.write_text(path.read_text().replace('"sku"', '"code"'))
    status = migrate(shop, "status")
    assert "1 changed since applied" in status.out and "(changed since applied)" in status.out
    result = migrate(shop, "apply")
    assert result.code == 1
    assert "changed since applied: app:0002_products" in result.err and "--accept-changed app:0002_products" in result.err
    assert len(applied(shop)) == 3
    accepted = migrate(shop, "apply", "--accept-changed", "2", "--to", "2")
    assert accepted.code == 0 and "Accepted the changed file of app:0002_products." in accepted.out
    assert migrate(shop, "apply").code == 0
    assert "changed" not in migrate(shop, "status").out


def test_a_migration_numbered_below_an_applied_one(shop):
    later = shop / "app/migrations/0005_business_customers.json"
    hidden = shop / "0005.away"
    later.rename(hidden)
    write_migration(shop, "0007_coupons.json", {"Coupon": {"properties": {"code": STRING}}})
    migrate(shop, "apply")
    hidden.rename(later)
    status = migrate(shop, "status")
    assert "pending (out of order)" in status.out
    result = migrate(shop, "apply")
    assert result.code == 1
    assert ("app:0005_business_customers is pending but app:0007_coupons, numbered after it, is applied"
            in result.err) and "--out-of-order" in result.err
    assert migrate(shop, "apply", "--out-of-order").code == 0
    assert len(applied(shop)) == 7


def fill(disk, keep=0):
    """Take every free byte of the disk but ``keep``."""
    stats = os.statvfs(disk)
    filler = disk / f"filler{time.monotonic_ns()}"
    with open(filler, "wb") as file:
        try:
            file.write(b"\0" * max(stats.f_bavail * stats.f_frsize - keep, 0))
        except OSError:
            pass
    return filler


@pytest.mark.parametrize("keep", [0, 40_000, 90_000, 1_100_000, 1_500_000])
@pytest.mark.parametrize("command", ["apply", "rollback"])
def test_a_full_disk_is_said_in_one_line(small_disk, embedded_shop, keep, command):
    """In a process of its own, as a user runs it: nothing from the storage engines reaches the terminal."""
    root = small_disk / "shop"
    shutil.copytree(embedded_shop, root)
    assert migrate(root, "apply", "--to", "2" if command == "apply" else "5").code == 0
    filler = fill(small_disk, keep)
    process = migrate_process(root, command)
    out, err = process.communicate(timeout=120)
    if process.returncode != 0:
        assert err.startswith("error: ") and "no space left on device" in err.splitlines()[0], err
        assert "no transaction is active" not in err and "panic" not in err.lower() and "Traceback" not in err
        result = SimpleNamespace(code=process.returncode, err=err)
        claimed = claimed_by_apply(result, 3, 6) if command == "apply" else claimed_by_rollback(result, 6, 1)
        assert applied_count(root) == claimed, err
    filler.unlink()
    assert migrate(root, "apply").code == 0
    assert len(stored_keys(root)) == 6


@pytest.fixture
def many(tmp_path):
    """A project of 200 small migrations on the embedded default."""
    root = tmp_path / "many"
    root.mkdir()
    (root / "velkor.toml").write_text((EXAMPLE / "velkor.toml").read_text())
    for number in range(1, 201):
        write_migration(root, f"{number:04d}_item.json", {f"Item{number}": {"properties": {"code": STRING}}})
    return root


def lines_until(stream, first: str, more: int) -> str:
    """Read a run's lines up to the one starting with ``first`` and ``more`` after it
    (fewer when the run ends first): a known point of the run, however slow the machine."""
    seen = []
    counting = False
    for line in stream:
        seen.append(line)
        counting = counting or line.lstrip().startswith(first)
        if counting:
            if more == 0:
                break
            more -= 1
    return "".join(seen)


@pytest.mark.parametrize("command", ["apply", "rollback"])
def test_ctrl_c_at_random_moments_says_what_is_recorded(many, command):
    """Each run starts with all 200 pending (apply) or applied (rollback) and is interrupted part-way:
    after its first line and a random count of the lines that follow, one per migration."""
    chance = random.Random(3)
    outcomes = set()
    for _ in range(6):
        start = ["rollback", "--to", "zero"] if command == "apply" else ["apply"]
        if applied_count(many) != (0 if command == "apply" else 200):
            assert migrate(many, *start).code == 0
        before = applied_count(many)
        process = migrate_process(many, command, *(["--steps", "200"] if command == "rollback" else []))
        printed = lines_until(process.stdout, "Applying" if command == "apply" else "Rolling back",
                              chance.randint(0, 210))
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
        assert "Traceback" not in err, err
        result = SimpleNamespace(code=process.returncode, err=err)
        claimed = claimed_by_apply(result, before, 200) if command == "apply" else claimed_by_rollback(result, before, 200)
        assert applied_count(many) == claimed, (printed + out, err)
        if process.returncode:
            assert process.returncode == 130 and err.startswith("error: interrupted"), err
        outcomes.add(process.returncode)
    assert 130 in outcomes  # some runs were interrupted indeed
    assert migrate(many, "apply").code == 0
    assert len(stored_keys(many)) == 200


def test_apply_killed_at_random_moments(many):
    """The run is killed (SIGKILL) again and again, at its start, part-way through
    its migrations or at its commit (after the last of them), then runs to its end."""
    root = many
    chance = random.Random(8)
    for _ in range(8):
        process = migrate_process(root, "apply")
        lines_until(process.stdout, "Applying", chance.randint(0, 201))
        process.send_signal(signal.SIGKILL)
        process.communicate()
        status = migrate(root, "status")
        assert status.code == 0, status.err
    final = migrate(root, "apply")
    assert final.code == 0, final.err
    assert len(stored_keys(root)) == 200 and saved_once(root)


def test_ctrl_c_that_native_code_turns_into_an_error_is_still_ctrl_c():
    """pydantic's serializer, called by the ledger vault, reports a KeyboardInterrupt raised
    inside it as an error of its own; a storage library, as a panic."""
    from velkor.migration.runner.record.interrupts import interrupts_kept, raise_counted
    for native_error in (ValueError("Error serializing to JSON: KeyboardInterrupt:"), BaseException("panic")):
        with pytest.raises(KeyboardInterrupt), interrupts_kept():
            try:
                raise_counted(signal.SIGINT, None)
            except KeyboardInterrupt:
                raise native_error from None
    with pytest.raises(ValueError), interrupts_kept():  # no Ctrl-C: the error is the error
        raise ValueError("a fault")


IMPORT_LINE = "import time:"


def test_ctrl_c_at_start_up_says_nothing_was_changed(embedded_shop):
    """Ctrl-C from the moment the program's own code runs (the interpreter's start-up
    before it is the interpreter's): the program's imports, its storage libraries',
    opening the project. The interpreter reports each import it completes
    (``-X importtime``): the signal follows a random count of them."""
    chance = random.Random(5)
    command = [sys.executable, "-X", "importtime", "-m", "velkor.migration.runner",
               "--project", str(embedded_shop), "apply"]
    outcomes = set()
    for attempt in range(10):
        before = applied_count(embedded_shop)
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        imports = []
        for line in process.stderr:  # up to the command line's module, imported by the program's first act
            imports.append(line)
            if line.rstrip().endswith("| velkor.migration.runner.cli"):
                break
        imports += [process.stderr.readline() for _ in range(chance.randint(0, 360))]
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=120)
        said = "".join(line for line in ("".join(imports) + err).splitlines(keepends=True)
                       if not line.startswith(IMPORT_LINE))
        assert "Traceback" not in said and "panic" not in said.lower(), said
        assert process.returncode in (0, 130), said
        if process.returncode == 130:
            assert said.startswith("error: interrupted"), said
        result = SimpleNamespace(code=process.returncode, err=said)
        assert applied_count(embedded_shop) == claimed_by_apply(result, before, 6), said
        outcomes.add(process.returncode)
        if applied_count(embedded_shop):
            assert migrate(embedded_shop, "rollback", "--steps", "6").code == 0
    assert 130 in outcomes


def test_a_migration_recorded_twice_before_keys_were_kept_is_withdrawn_once(embedded_shop):
    from velkor.migration.data_classes import MigrationFile, ModuleTypes
    from velkor.migration.runner.project import Project
    from velkor_data.engines.base import StorageError
    assert migrate(embedded_shop, "apply").code == 0
    project = Project(embedded_shop)
    with project.active(), pytest.raises(StorageError, match="UNIQUE"):
        project.recorder.ledger.save(MigrationFile(number=1, path=Path("0001_customers.json"), type=ModuleTypes.APP,
                                          applied_at=time.time()))
    assert applied(embedded_shop).count("app:0001_customers") == 2
    assert "the ledger records more than once: app:0001_customers" in migrate(embedded_shop, "check").err
    result = migrate(embedded_shop, "apply")
    assert "withdrew the repeated records of app:0001_customers" in result.err
    assert sorted(applied(embedded_shop)) == sorted(ALL) and len(stored_keys(embedded_shop)) == 6


@pytest.mark.parametrize("make_problem, problem", [
    (lambda root: (root / "app/migrations/0002_products.json").write_text(
        (root / "app/migrations/0002_products.json").read_text().replace('"sku"', '"code"')),
     "app:0002_products changed since it was applied"),
    (lambda root: delete_repository(root), "the repository 'repository' ("),
    (lambda root: (root / "app/migrations/0005_business_customers.json").unlink(),
     "recorded as applied, but the file is gone: app:0005_business_customers"),
])
def test_check_reports_the_record(embedded_shop, make_problem, problem):
    assert migrate(embedded_shop, "apply").code == 0
    assert migrate(embedded_shop, "check").code == 0
    make_problem(embedded_shop)
    result = migrate(embedded_shop, "check")
    assert result.code == 1 and problem in result.err, result.err
    assert "but the record of applied migrations has 1 problem:" in result.out


def test_two_projects_in_one_process(shop, tmp_path):
    from velkor.migration.runner import load_classes
    from velkor.migration.runner.commands.apply import apply
    from velkor.migration.runner.output import Output
    from velkor.migration.runner.project import Project
    other = tmp_path / "other"
    shutil.copytree(shop, other)
    quiet = Output(io.StringIO(), io.StringIO())
    first, second = Project(shop), Project(other)
    assert apply(first, quiet, to="1") == 0
    assert apply(second, quiet) == 0
    assert len(first.applied_records()) == 2 and len(second.applied_records()) == 6
    assert all(shop in record.path.parents for record in first.applied_records())
    assert all(other in record.path.parents for record in second.applied_records())
    assert "BusinessCustomer" not in load_classes(shop)._classes
    assert "BusinessCustomer" in load_classes(other)._classes


def test_help_loads_no_storage_library():
    script = ("import io, sys\nfrom contextlib import redirect_stdout\nfrom velkor.migration.runner.cli import run\n"
              "try:\n    with redirect_stdout(io.StringIO()):\n        run(['apply', '--help'])\n"
              "except SystemExit:\n    pass\n"
              "print(sorted({m.split('.')[0] for m in sys.modules} & {'deltalake', 'pyarrow', 'sqlite3', 'psycopg'}))")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "[]"
