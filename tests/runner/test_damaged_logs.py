"""A damaged store is said in one line that names what is wrong and where,
never in a storage library's own words, and every case ends in a working
record after the repair that the message names."""
import json
import os

import pytest

from .conftest import ALL, applied_count, migrate

LAKEHOUSE = ".velkor/lakehouse"
ENGINE_WORDS = ("Kernel error", "ParsedLogPath", "DeltaError", "Traceback")


def newest_entry(root, table):
    return sorted((root / LAKEHOUSE / table / "_delta_log").glob("*.json"))[-1]


def garbage_byte(root):
    entry = newest_entry(root, "_velkor_metadata")
    data = bytearray(entry.read_bytes())
    data[0] = ord("!")
    entry.write_bytes(bytes(data))


def stray_future_entry(root):
    (root / LAKEHOUSE / "Migration" / "_delta_log" / "00000000000000000042.json").write_text("{}\n")


def status_error(root) -> str:
    result = migrate(root, "status", "--format", "json")
    document = json.loads(result.out)
    assert result.code == 1 and document["error"], result.out
    return document["error"]["message"]


@pytest.mark.parametrize("damage", [garbage_byte, stray_future_entry])
def test_a_damaged_log_is_rebuilt_from_the_repository(embedded_shop, damage):
    assert migrate(embedded_shop, "apply").code == 0
    damage(embedded_shop)
    message = status_error(embedded_shop)
    assert "the log of a table is damaged" in message and "repair --from-repository" in message, message
    assert not any(word in message for word in ENGINE_WORDS), message
    plain = migrate(embedded_shop, "repair")
    assert plain.code == 1 and "repair --from-repository" in plain.err, plain.err

    rebuilt = migrate(embedded_shop, "repair", "--from-repository")
    assert rebuilt.code == 0, rebuilt.err
    assert "Moved the unreadable ledger aside" in rebuilt.err
    assert [p.name for p in (embedded_shop / ".velkor").glob("lakehouse.damaged-*")]
    assert applied_count(embedded_shop) == len(ALL)
    assert migrate(embedded_shop, "apply").code == 0


@pytest.mark.parametrize("target", ["/dev/null", "/dev/zero", "/dev/full", "/nonexistent/repository.sqlite3"])
def test_a_repository_linked_to_no_database_is_named_as_such(embedded_shop, target):
    assert migrate(embedded_shop, "apply").code == 0
    repository = embedded_shop / ".velkor/repository.sqlite3"
    for side in (repository, repository.with_name("repository.sqlite3-wal"), repository.with_name("repository.sqlite3-shm")):
        side.unlink(missing_ok=True)
    os.symlink(target, repository)
    message = status_error(embedded_shop)
    assert f"is a symbolic link to {target}" in message and "missing" not in message, message
    repaired = migrate(embedded_shop, "repair")
    assert repaired.code == 0, repaired.err
    assert applied_count(embedded_shop) == len(ALL)
