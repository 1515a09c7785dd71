"""A store that is lost is never taken for an empty one, on any host, with or
without the marker of the last run: the repository's rows are the only copy
left, and nothing but an explicit repair removes them."""
import json
import re
import shutil

import pytest

from velkor.migration.runner.project import Project
from velkor.migration.runner.record.tables import current
from velkor_utils.models.data_models.address import Address

from .conftest import ALL, applied_count, host_copy, migrate, team_config

MARKER = ".velkor/ledger-state.json"


def repository_rows(root) -> int:
    project = Project(root)
    with project.active():
        rows = current(project.recorder.ledger.copy)
        project.close()
    return len(rows)


def damage_of(root) -> str:
    """The damage that status reports, as its JSON document says it."""
    result = migrate(root, "status", "--format", "json")
    document = json.loads(result.out)
    assert result.code == 1 and not document["ok"], result.out
    return document["error"]["message"]


def directory(path):
    path.unlink()
    path.mkdir()


MARKERS = {
    "kept": lambda path: None,
    "missing": lambda path: path.unlink(),
    "truncated": lambda path: path.write_text(path.read_text()[:25]),
    "garbage": lambda path: path.write_bytes(b"\x00\xff not a marker"),
    "a directory": directory,
    "an older format": lambda path: path.write_text('{"format": 1, "ledger": {"records": 6}}'),
}


@pytest.mark.parametrize("marker", MARKERS)
def test_a_lost_lakehouse_keeps_the_repository_and_is_rebuilt_from_it(embedded_shop, marker):
    assert migrate(embedded_shop, "apply").code == 0
    MARKERS[marker](embedded_shop / MARKER)
    shutil.rmtree(embedded_shop / ".velkor/lakehouse")

    assert "repair --from-repository" in damage_of(embedded_shop)
    for command in (["apply"], ["rollback"], ["plan"]):
        result = migrate(embedded_shop, *command)
        assert result.code == 1 and "damaged store" in result.err, (command, result.err)
    assert repository_rows(embedded_shop) == len(ALL)

    rebuilt = migrate(embedded_shop, "repair", "--from-repository")
    assert rebuilt.code == 0, rebuilt.err
    assert applied_count(embedded_shop) == len(ALL)
    again = migrate(embedded_shop, "apply")
    assert again.code == 0 and "Nothing to apply" in again.out, again.err


def test_an_unreadable_marker_is_said(embedded_shop):
    assert migrate(embedded_shop, "apply").code == 0
    (embedded_shop / MARKER).write_text("{cut sh")
    result = migrate(embedded_shop, "status", "--format", "json")
    document = json.loads(result.out)
    assert result.code == 0 and document["summary"]["applied"] == len(ALL)
    assert [w for w in document["warnings"] if "ledger-state.json" in w and "not a JSON document" in w]


def test_a_new_host_on_a_lost_lakehouse_removes_nothing(team_shop, tmp_path, servers):
    """The team's lakehouse is lost; a host that never ran (no marker) points at the empty one."""
    assert migrate(team_shop, "apply").code == 0
    other = host_copy(team_shop, tmp_path, "new-host")
    url = next(line for line in (team_shop / "velkor.toml").read_text().splitlines() if line.startswith("url"))
    config = team_config(servers)  # a new database and a new, empty lakehouse prefix
    (other / "velkor.toml").write_text("\n".join(url if line.startswith("url") else line
                                                for line in config.splitlines()) + "\n")

    assert "has no trace of 6 records" in damage_of(other)
    assert migrate(other, "apply").code == 1
    assert repository_rows(other) == len(ALL)
    assert migrate(other, "repair", "--from-repository").code == 0
    assert applied_count(other) == len(ALL) and repository_rows(team_shop) == len(ALL)


def test_repair_removes_rows_the_ledger_never_recorded_and_names_them(embedded_shop):
    assert migrate(embedded_shop, "apply").code == 0
    project = Project(embedded_shop)
    with project.active():  # a row for a migration that no run recorded
        copy = project.recorder.ledger.copy
        row = current(copy)[0]
        address = Address(**{**row["_metadata"]["address"], "object_id": "ghost", "object_version": "ghost-1"})
        copy.insert(address=address, data={**row, "migration_name": "0099_ghost.json", "number": 99,
                                           "_metadata": {**row["_metadata"], "address": address.model_dump()}})
        project.close()
    assert "has no trace of 1 record" in damage_of(embedded_shop)
    result = migrate(embedded_shop, "repair")
    assert result.code == 0, result.err
    assert re.search(r"removed the rows the ledger never recorded: \w+:0099_ghost", result.err), result.err
    assert "The ledger holds 6 records, the repository 6 rows." in result.out
    assert repository_rows(embedded_shop) == len(ALL) and applied_count(embedded_shop) == len(ALL)
