"""One run at a time changes what is applied."""
import os
import threading

import pytest

from velkor.migration.runner.commands import LOCK_FILE
from velkor.migration.runner.lock import ProjectLock
from .conftest import ALL, applied, migrate, migrate_process


@pytest.mark.parametrize("command", [["apply"], ["rollback"]])
def test_a_second_run_gives_up_after_its_wait(shop, command):
    lock = ProjectLock(shop / LOCK_FILE, "a test holding the lock")
    lock.acquire(0)
    try:
        result = migrate(shop, *command, "--wait", "0.3")
    finally:
        lock.release()
    assert result.code == 3
    assert f"another run (pid {os.getpid()}: a test holding the lock) holds the lock" in result.err
    assert "gave up after 0.3 s" in result.err
    assert applied(shop) == []


def test_a_waiting_run_goes_on_once_the_lock_is_free(shop):
    lock = ProjectLock(shop / LOCK_FILE, "a short run")
    lock.acquire(0)
    threading.Timer(0.5, lock.release).start()
    result = migrate(shop, "apply", "--to", "1", "--wait", "30")
    assert result.code == 0, result.err
    assert "waiting up to 30 s for another run" in result.err
    assert applied(shop) == ALL[:2]


def test_two_runs_at_once_apply_each_migration_once(shop):
    runs = [migrate_process(shop, "apply") for _ in range(2)]
    results = [(run.returncode, out, err) for run in runs for out, err in [run.communicate(timeout=120)]]
    assert [code for code, _, _ in results] == [0, 0], results
    outputs = sorted(out for _, out, _ in results)
    assert outputs[0].startswith("Applying 6 migrations:")
    assert outputs[1] == "Nothing to apply: every migration is applied.\n"
    assert applied(shop) == ALL


def test_the_lock_is_free_after_a_failed_run(shop):
    (shop / "app/migrations/0006_bad.json").write_text("{")
    assert migrate(shop, "apply").code == 1
    lock = ProjectLock(shop / LOCK_FILE, "test")
    lock.acquire(0)  # raises if the failed run still held it
    lock.release()
