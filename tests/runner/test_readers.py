"""Readers never report damage that is not there: not beside a run that
writes, and not on stores that they may read but not write."""
import json
import shutil
import subprocess
import sys

import pytest

from velkor.migration.runner import load_classes

from .conftest import ALL, applied_count, migrate, write_migration


def status_document(root) -> dict:
    result = migrate(root, "status", "--format", "json")
    document = json.loads(result.out)
    assert result.code == 0 and document["ok"], result.out
    return document


def test_status_beside_a_writer_sees_one_version_of_the_record(embedded_shop):
    """A writer applies and withdraws 30 migrations three times over, a commit each; status,
    read the whole time, sees either all of a commit or none of it, and never damage."""
    assert migrate(embedded_shop, "apply").code == 0
    for number in range(6, 36):
        write_migration(embedded_shop, f"{number:04d}_item.json", {f"Item{number}": {"properties": {}}})
    runner = f"{sys.executable} -m velkor.migration.runner --project {embedded_shop}"
    writer = subprocess.Popen(["bash", "-ec", f"for i in 1 2 3; do {runner} apply; {runner} rollback --steps 30; done"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seen = []
    try:
        while writer.poll() is None:
            seen.append(status_document(embedded_shop)["summary"]["applied"])
    finally:
        _, err = writer.communicate(timeout=600)
    assert writer.returncode == 0, err
    assert set(seen) <= {len(ALL), len(ALL) + 30}, seen
    assert applied_count(embedded_shop) == len(ALL)


@pytest.fixture
def read_only_shop(small_disk, embedded_shop):
    """The shop applied on a file system of its own, then mounted read-only."""
    root = small_disk / "shop"
    shutil.copytree(embedded_shop, root)
    assert migrate(root, "apply", "--to", "4").code == 0
    subprocess.run(["mount", "-o", "remount,ro", str(small_disk)], check=True)
    yield root
    subprocess.run(["mount", "-o", "remount,rw", str(small_disk)], check=True)


def test_read_only_stores_are_read_and_refuse_writes_in_one_line(read_only_shop):
    root = read_only_shop
    assert status_document(root)["summary"]["applied"] == len(ALL) - 1
    for command in (["history", "--format", "json"], ["check", "--format", "json"], ["plan", "--format", "json"]):
        result = migrate(root, *command)
        assert json.loads(result.out)["error"] is None, (command, result.out)
    assert "BusinessCustomer" not in load_classes(root)._classes
    refused = migrate(root, "apply")
    assert refused.code == 1 and "Traceback" not in refused.err and len(refused.err.splitlines()) == 1, refused.err
    assert "read-only" in refused.err.lower()
    assert status_document(root)["summary"]["applied"] == len(ALL) - 1
