"""Many hosts, one record: runner processes, each with its own copy of the
project folder, sharing one PostgreSQL repository and one S3 lakehouse."""
import os
import re
import select
import socket
import subprocess
import sys
from pathlib import Path

from .conftest import ALL, applied, host_copy, migrate, migrate_process
from .faults import events, stored_keys
from .test_lock import lock_of

HOSTS = 4


def test_hosts_applying_at_once_record_each_migration_once(team_shop, tmp_path):
    """Every host starts while another run holds the lock, so all of them race
    for it the moment it is free: one applies, the others wait, then find
    nothing to apply."""
    hosts = [host_copy(team_shop, tmp_path, f"host{n}") for n in range(HOSTS)]
    lock = lock_of(team_shop, "the deploy before")
    lock.acquire(0)
    try:
        runs = [migrate_process(root, "apply", "--wait", "240") for root in hosts]
        for run in runs:  # each host is waiting for the lock
            assert select.select([run.stderr], [], [], 120)[0], "a host neither waits nor fails"
            line = run.stderr.readline()
            assert re.fullmatch(r"waiting up to 240 s for another run \(pid \d+ on .*: the deploy before\) "
                                r"to finish\n", line), line
    finally:
        lock.release()
    results = [(run.returncode, out, err) for run in runs for out, err in [run.communicate(timeout=600)]]
    assert [code for code, _, _ in results] == [0] * HOSTS, results
    outputs = sorted(out for _, out, _ in results)
    assert outputs[0].startswith("Applying 6 migrations:") and outputs[0].endswith("Applied 6 migrations; 0 pending.\n")
    assert outputs[1:] == ["Nothing to apply: every migration is applied.\n"] * (HOSTS - 1)
    for root in hosts:
        assert applied(root) == ALL
        assert migrate(root, "status").out.startswith("6 migrations: 6 applied, 0 pending.")
    assert len(stored_keys(hosts[0])) == 6  # once in the ledger, and the repository agrees
    assert sorted(count for (event, _), count in events(hosts[0]).items() if event == "saved") == [1] * 6


def test_a_rollback_on_one_host_is_no_damage_on_another(team_shop, tmp_path):
    """The other host's marker remembers 6 records; the shared stores now hold none, written since."""
    first, second = host_copy(team_shop, tmp_path, "first"), host_copy(team_shop, tmp_path, "second")
    assert migrate(first, "apply").code == 0
    assert migrate(second, "apply").out == "Nothing to apply: every migration is applied.\n"
    rolled = migrate(first, "rollback", "--steps", "6")
    assert rolled.code == 0, rolled.err
    status = migrate(second, "status")
    assert status.code == 0 and status.out.startswith("6 migrations: 0 applied, 6 pending."), status.err
    again = migrate(second, "apply")
    assert again.code == 0 and "Applied 6 migrations; 0 pending." in again.out, again.err
    assert applied(first) == ALL


README = Path(__file__).resolve().parents[2] / "README.md"
DEMO = README.parent / "tools" / "demo"


def readme_team_config(servers) -> str:
    """The team's velkor.toml as the README shows it, pointed at the test servers."""
    section = README.read_text().split("## A team", 1)[1]
    text = section.split("```toml\n", 1)[1].split("```", 1)[0]
    replaced = (text.replace("postgresql://deploy@db.internal:5432/shop", servers.database())
                .replace("s3://shop-lakehouse/migrations", servers.lakehouse())
                .replace('# endpoint_url = "https://s3.eu-west-1.amazonaws.com"',
                         f'endpoint_url = "{servers.s3_endpoint}"'))
    assert replaced.count(servers.s3_endpoint) == 1 and "db.internal" not in replaced, text
    return replaced


def test_the_readme_team_configuration_runs_the_main_job(servers, tmp_path):
    config = tmp_path / "team.toml"
    config.write_text(readme_team_config(servers))
    environment = {**os.environ, "PYTHON": sys.executable,
                   "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}",
                   "PYTHONPATH": os.pathsep.join(str(Path(part).resolve())  # the demo works in another folder
                                                 for part in os.environ.get("PYTHONPATH", "").split(os.pathsep) if part)}
    result = subprocess.run([str(DEMO), str(config)], capture_output=True, text=True, env=environment, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"storage: {config}" in result.stdout
    for line in ["Applied 6 migrations; 0 pending.", "Customer accepted: Ada Lovelace, Utrecht NL, status active",
                 "Rolled back 1 migration; 5 applied.", "6 migrations: 5 applied, 1 pending.",
                 "History of the applied migrations in the lakehouse 'lakehouse': 7 versions, oldest first.", "Done."]:
        assert line in result.stdout, result.stdout


def test_a_server_that_does_not_answer_is_said_in_one_line(team_shop):
    with socket.socket() as probe:  # a port nothing listens on: the server is down
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config = team_shop / "velkor.toml"
    url = re.search(r'url = "(.*)"', config.read_text()).group(1)
    down = re.sub(r"127\.0\.0\.1:\d+", f"127.0.0.1:{port}", url)
    config.write_text(config.read_text().replace(url, down))
    apply, status = migrate(team_shop, "apply"), migrate(team_shop, "status")
    assert (apply.code, apply.err) == (1, f"error: cannot take the lock of the record in {down}: "
                                          "connection refused (is the PostgreSQL server running?)\n")
    assert status.code == 1 and status.err.count("\n") == 1, status.err
    assert f"cannot open the PostgreSQL database {down}: connection refused" in status.err


def test_repair_says_why_a_server_repository_cannot_be_read(team_shop, servers):
    import psycopg
    assert migrate(team_shop, "apply").code == 0
    url = re.search(r'url = "(.*)"', (team_shop / "velkor.toml").read_text()).group(1)
    with psycopg.connect(url, autocommit=True) as db:  # the table replaced by something else
        db.execute('ALTER TABLE "Migration" RENAME TO "Migration_old"')
        db.execute('CREATE VIEW "Migration" AS SELECT 1 AS number')
    status = migrate(team_shop, "status")
    assert status.code == 1 and 'cannot be read (column "_metadata" does not exist)' in status.err, status.err
    repair = migrate(team_shop, "repair")
    assert repair.code == 1 and repair.err.count("\n") == 1, repair.err
    assert ('column "_metadata" does not exist; a server database is not moved aside: mend it or restore it '
            'from a backup, then run repair again') in repair.err
