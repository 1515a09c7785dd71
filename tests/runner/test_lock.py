"""One run at a time changes what is applied: with the file lock of the
embedded default, and with the PostgreSQL advisory lock when the repository
is on a server, which holds across hosts."""
import os
import select
import signal
import socket
import subprocess
import sys
import fcntl
import threading

import pytest

from velkor.migration.runner.errors import LockTimeout
from velkor.migration.runner.lock import LOCK_FILE, ProjectLock, project_lock
from velkor.migration.runner.project import Project
from .conftest import ALL, applied, applied_count, host_copy, migrate, migrate_process

POSTGRESQL_ONLY = """\
[connections.repository]
engine = "postgresql"
url = "{url}"

[resources_config.repository]
default = "repository"
"""
HOLDER = """
import sys, time
from pathlib import Path
from velkor.migration.runner.lock import LOCK_FILE, project_lock
from velkor.migration.runner.project import Project
root = Path(sys.argv[1])
lock = project_lock(Project(root).config, root, LOCK_FILE, "a run that is killed")
lock.acquire(0)
print("held", flush=True)
time.sleep(120)
"""


@pytest.fixture(params=["file", "database"])
def kind(request):
    return request.param


@pytest.fixture
def project(kind, shop, servers):
    """The shop, its repository in SQLite (the file lock) or in PostgreSQL (the database lock)."""
    if kind == "database":
        (shop / "velkor.toml").write_text(POSTGRESQL_ONLY.format(url=servers.database()))
    return shop


def lock_of(root, purpose):
    return project_lock(Project(root).config, root, LOCK_FILE, purpose)


def start_holder(project):
    """A process that holds the project's lock; returned once it says so."""
    holding = subprocess.Popen([sys.executable, "-c", HOLDER, str(project)], stdout=subprocess.PIPE, text=True)
    if not select.select([holding.stdout], [], [], 120)[0] or holding.stdout.readline() != "held\n":
        holding.kill()
        raise AssertionError("the holder never took the lock")
    return holding


def holder(kind, purpose):
    """How a run names the holder of the lock in its messages."""
    where = f" on {socket.gethostname()}" if kind == "database" else ""
    return f"pid {os.getpid()}{where}: {purpose}"


@pytest.mark.parametrize("command", [["apply"], ["rollback"], ["repair"]])
def test_a_second_run_gives_up_after_its_wait(project, kind, command):
    lock = lock_of(project, "a test holding the lock")
    lock.acquire(0)
    try:
        result = migrate(project, *command, "--wait", "0.3")
    finally:
        lock.release()
    assert result.code == 3
    where = (f"the lock of the record in {Project(project).config.connections['repository'].url}"
             if kind == "database" else f"the lock {project / LOCK_FILE}")
    assert result.err.splitlines()[-1] == (f"error: another run ({holder(kind, 'a test holding the lock')}) "
                                           f"holds {where}; gave up after 0.3 s (wait longer with --wait SECONDS)")
    assert applied(project) == []


def test_a_waiting_run_goes_on_once_the_lock_is_free(project, kind):
    lock = lock_of(project, "a short run")
    lock.acquire(0)
    threading.Timer(0.5, lock.release).start()
    result = migrate(project, "apply", "--to", "1", "--wait", "30")
    assert result.code == 0, result.err
    assert f"waiting up to 30 s for another run ({holder(kind, 'a short run')}) to finish" in result.err
    assert applied(project) == ALL[:2]


def test_two_runs_at_once_apply_each_migration_once(project, tmp_path, kind):
    second = host_copy(project, tmp_path, "second") if kind == "database" else project
    runs = [migrate_process(root, "apply") for root in (project, second)]
    results = [(run.returncode, out, err) for run in runs for out, err in [run.communicate(timeout=120)]]
    assert [code for code, _, _ in results] == [0, 0], results
    outputs = sorted(out for _, out, _ in results)
    assert outputs[0].startswith("Applying 6 migrations:")
    assert outputs[1] == "Nothing to apply: every migration is applied.\n"
    assert applied(project) == applied(second) == ALL


def test_the_lock_is_free_after_a_failed_run(project):
    (project / "app/migrations/0006_bad.json").write_text("{")
    assert migrate(project, "apply").code == 1
    lock = lock_of(project, "test")
    lock.acquire(0)  # raises if the failed run still held it
    lock.release()


def test_a_killed_holder_leaves_the_lock_free(project):
    holding = start_holder(project)
    try:
        assert migrate(project, "apply", "--wait", "0").code == 3
        holding.send_signal(signal.SIGKILL)
        holding.wait(timeout=30)
        result = migrate(project, "apply", "--wait", "20")
    finally:
        holding.kill()
        holding.wait(timeout=30)
    assert result.code == 0, result.err
    assert applied(project) == ALL


@pytest.mark.parametrize("kind", ["database"])
def test_hosts_naming_the_server_differently_share_the_lock(project, tmp_path):
    """The key is made of the server's own names of the database and schema, not of the URL."""
    other = host_copy(project, tmp_path, "other")
    config = other / "velkor.toml"
    config.write_text(config.read_text().replace("@127.0.0.1:", "@localhost:"))
    lock = lock_of(project, "a host that says 127.0.0.1")
    lock.acquire(0)
    try:
        result = migrate(other, "apply", "--wait", "0.2")
    finally:
        lock.release()
    assert result.code == 3 and "a host that says 127.0.0.1" in result.err


def replace_file(path):
    """Another file put at ``path`` in one step, as an editor or a sync tool does."""
    path.with_name("new").write_text("")
    os.replace(path.with_name("new"), path)


@pytest.mark.parametrize("remove", [os.unlink, replace_file], ids=["unlinked", "replaced"])
def test_the_lock_file_removed_from_under_its_holder_still_holds(shop, remove):
    holding = start_holder(shop)
    try:
        holding.send_signal(signal.SIGSTOP)  # the holder is stopped while its file goes
        remove(shop / LOCK_FILE)
        result = migrate(shop, "apply", "--wait", "0.2")
        assert result.code == 3, result.err
        assert result.err.splitlines()[-1].endswith("gave up after 0.2 s (wait longer with --wait SECONDS)")
        with pytest.raises(LockTimeout):
            lock_of(shop, "another run").acquire(0)
        holding.send_signal(signal.SIGCONT)
        assert applied_count(shop) == 0
    finally:
        holding.kill()
        holding.wait(timeout=30)
    assert migrate(shop, "apply", "--wait", "20").code == 0
    assert applied_count(shop) == len(ALL)


def test_a_waiting_run_locks_the_file_now_at_the_path(tmp_path):
    """The file a waiting run opened is replaced, and the new one taken by a third run, before the
    first holder lets go: the waiting run must not take the old file for the lock."""
    path = tmp_path / LOCK_FILE
    first = ProjectLock(path, "the first run")
    first.acquire(0)
    third = []

    def meanwhile(message):  # the waiting run has opened the file and found it locked
        replace_file(path)
        third.append(os.open(path, os.O_RDWR))
        fcntl.flock(third[0], fcntl.LOCK_EX | fcntl.LOCK_NB)
        first.release()

    try:
        with pytest.raises(LockTimeout):
            ProjectLock(path, "the waiting run").acquire(0.2, on_wait=meanwhile)
    finally:
        first.release()
        for fd in third:
            os.close(fd)
    second = ProjectLock(path, "a later run")
    second.acquire(0)  # free once the third lets go
    second.release()
