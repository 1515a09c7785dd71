"""A run commits only while it holds the project's lock and the ledger is as
it read it: a host that lost its lock (the database server restarted under
it) or whose ledger another host wrote meanwhile stops before writing, and
every migration stays recorded once."""
import os
import shutil
import subprocess
import sys

import pytest

from velkor.migration.runner.record.ledger import Ledger

from .conftest import EXAMPLE, applied_count, host_copy, migrate, sqlite_beside_s3_config
from .faults import events, stored_keys


def other_host_applies(root):
    result = subprocess.run([sys.executable, "-m", "velkor.migration.runner", "--project", str(root), "apply"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr


@pytest.fixture
def interfere(monkeypatch):
    """``interfere(step)``: run ``step`` once, when this process's run is about to commit the ledger."""
    original, steps = Ledger.commit, []

    def commit(self, transaction, *args, **kwargs):
        while steps:
            steps.pop()()
        return original(self, transaction, *args, **kwargs)

    monkeypatch.setattr(Ledger, "commit", commit)
    return steps.append


def end_own_lock_session(servers):
    """What a server restart does to this process's lock: its session ends."""
    admin = servers.admin()
    admin.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name LIKE %s",
                  (f"velkor-migrate: pid {os.getpid()} %",))


def assert_recorded_once(root, count):
    assert len(stored_keys(root)) == count
    assert all(times == 1 for (event, _), times in events(root).items() if event == "saved")


def test_a_host_that_lost_its_lock_records_nothing(team_shop, tmp_path, servers, interfere):
    other = host_copy(team_shop, tmp_path, "host-b")
    interfere(lambda: (end_own_lock_session(servers), other_host_applies(other)))
    result = migrate(team_shop, "apply")
    assert result.code == 1 and "lost the lock" in result.err and "nothing was changed" in result.err, result.err
    assert applied_count(team_shop) == applied_count(other) == 6
    assert_recorded_once(team_shop, 6)
    assert migrate(team_shop, "apply").code == 0


def test_a_host_whose_ledger_was_written_meanwhile_records_nothing(tmp_path, servers, interfere):
    """SQLite beside a lakehouse on S3: each host locks its own folder; the lakehouse's versions fence."""
    first = tmp_path / "host-a"
    shutil.copytree(EXAMPLE, first, ignore=shutil.ignore_patterns(".velkor"))
    (first / "velkor.toml").write_text(sqlite_beside_s3_config(servers))
    assert migrate(first, "apply", "--to", "2").code == 0
    other = host_copy(first, tmp_path, "host-b")
    interfere(lambda: other_host_applies(other))
    result = migrate(first, "apply")
    assert result.code == 1 and "another run changed the ledger" in result.err, result.err
    assert applied_count(first) == applied_count(other) == 6
    again = migrate(first, "apply")  # brings this host's repository in line
    assert again.code == 0 and "Nothing to apply" in again.out, again.err
    assert_recorded_once(first, 6)
