"""A run stopped at every storage call in turn, by an I/O error and by the
process ending on the spot: what the run said agrees with what ``status``
says afterwards, the next run completes, and after it the ledger and the
repository hold exactly one record of every applied migration, none of them
saved twice."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from .conftest import EXAMPLE, applied_count, migrate, team_config, write_migration
from .faults import EXIT_STATUS, Injector, events, stored_keys

FAULTS = Path(__file__).with_name("faults.py")
EMBEDDED = (EXAMPLE / "velkor.toml").read_text()  # SQLite repository, Delta lakehouse
NAMES = ["0001_accounts.json", "0002_invoices.json", "0003_notes.json"]


class Configuration:
    """Where the runs record: the embedded default (its stores in the project
    folder, so a copy of the folder is a copy of them), or a team's
    PostgreSQL repository and S3 lakehouse (a copy gets stores of its own)."""

    def __init__(self, name, servers):
        self.name, self.servers = name, servers

    def toml(self):
        return EMBEDDED if self.name == "embedded" else team_config(self.servers)

    def copy(self, base, root, applied_before):
        shutil.copytree(base, root)
        if self.name != "embedded":
            (root / "velkor.toml").write_text(self.toml())
            shutil.rmtree(root / ".velkor", ignore_errors=True)
            if applied_before:
                assert migrate(root, "apply").code == 0


@pytest.fixture(params=["embedded", "team"])
def configuration(request, servers):
    return Configuration(request.param, servers)


@pytest.fixture
def project(tmp_path, configuration):
    root = tmp_path / "base"
    root.mkdir()
    (root / "velkor.toml").write_text(configuration.toml())
    write_migration(root, NAMES[0], {"Account": {"properties": {"code": {"type": "string"}}}})
    write_migration(root, NAMES[1], {"Invoice": {"properties": {"account": {"type": "Account"}}}})
    write_migration(root, NAMES[2], {"Note": {"properties": {"text": {"type": "string"}}}})
    return root


def run_process(root, at, mode, *arguments):
    environment = {**os.environ, "VELKOR_FAULT": f"{at}:{mode}"}
    return subprocess.run([sys.executable, str(FAULTS), "--project", str(root), *arguments],
                          capture_output=True, text=True, env=environment, timeout=300)


def count_calls(root, *arguments) -> int:
    """How many storage calls the command makes when nothing fails."""
    result = run_process(root, 0, "count", *arguments)
    assert result.returncode == 0, result.stderr
    return int(re.search(r"storage calls: (\d+)", result.stderr).group(1))


def claimed_by_apply(result, before: int, total: int) -> int:
    """How many migrations the run said are applied in all, as status should count them."""
    if result.code == 0:
        return total
    if found := re.search(r"Applied (\d+) of \d+;", result.err):
        return before + int(found.group(1))
    if re.search(r"Applied \d+ migrations?[.;]", result.err):
        return total
    return before


def claimed_by_rollback(result, before: int, steps: int) -> int:
    if result.code == 0:
        return before - steps
    if found := re.search(r"Rolled back (\d+) of \d+;", result.err):
        return before - int(found.group(1))
    if re.search(r"Rolled back \d+ migrations?[.;]", result.err):
        return before - steps
    return before


def check_next_run(root, withdrawals: int = 0) -> None:
    """The next run completes; then every migration is recorded exactly once, in both stores,
    and was saved once more than it was withdrawn."""
    after = migrate(root, "apply")
    assert after.code == 0, after.err
    assert sorted(name for _, name in stored_keys(root)) == NAMES
    counted = events(root)
    for name in NAMES:
        saved, deleted = counted["saved", (None, name)], counted["deleted", (None, name)]
        assert saved - deleted == 1 and deleted <= withdrawals, (name, saved, deleted)


def fresh_copy(base, tmp_path, n, configuration, applied_before):
    """A copy of the project and of its stores, as they were before the run."""
    root = tmp_path / f"run{n}"
    configuration.copy(base, root, applied_before)
    return root


COMMANDS = {
    "apply": (["apply"], 0),
    "rollback": (["rollback", "--steps", "2"], 3),
}


@pytest.fixture(params=list(COMMANDS))
def command(request, project, tmp_path, configuration):
    """The command under test, its arguments, how many migrations are applied
    before it runs, and how many storage calls it makes."""
    arguments, before = COMMANDS[request.param]
    if before:
        assert migrate(project, "apply").code == 0
    calls = count_calls(fresh_copy(project, tmp_path, "count", configuration, before), *arguments)
    assert calls > 10
    return request.param, arguments, before, calls


def test_an_io_error_at_every_storage_call(project, tmp_path, command, configuration):
    command, arguments, before, calls = command
    for at in range(1, calls + 1):
        root = fresh_copy(project, tmp_path, at, configuration, before)
        injector = Injector(at, "raise")
        injector.install()
        try:
            result = migrate(root, *arguments)
        finally:
            injector.uninstall()
        assert "Traceback" not in result.err, (at, result.err)
        if command == "apply":
            claimed = claimed_by_apply(result, before, len(NAMES))
        else:
            claimed = claimed_by_rollback(result, before, 2)
        assert applied_count(root) == claimed, (at, result.err)
        check_next_run(root, withdrawals=1 if command == "rollback" else 0)


def test_the_process_ending_before_every_storage_call(project, tmp_path, command, configuration):
    command, arguments, before, calls = command
    for at in range(1, calls + 1):
        root = fresh_copy(project, tmp_path, at, configuration, before)
        result = run_process(root, at, "exit", *arguments)
        assert result.returncode == EXIT_STATUS, (at, result.stderr)
        assert applied_count(root) in range(before - 2, before + len(NAMES) + 1)
        check_next_run(root, withdrawals=1 if command == "rollback" else 0)
