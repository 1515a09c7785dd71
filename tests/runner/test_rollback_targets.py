"""rollback --to, --dry-run and --steps beyond what is applied, as a user runs
them; the record is read from `status --format json`."""
import json

import pytest

from .conftest import ALL, migrate, write_migration


def status(root):
    result = migrate(root, "status", "--format", "json")
    assert result.code == 0, result.out
    return json.loads(result.out)


def applied_labels(root):
    return [m["migration"] for m in status(root)["migrations"] if m["state"] == "applied"]


def withdrawn(result):
    assert result.code == 0, result.out
    return [m["migration"] for m in json.loads(result.out)["withdrawn"]]


@pytest.mark.parametrize("storage", ["embedded_shop", "team_shop"])
@pytest.mark.parametrize("target, kept", [("app:0003_orders", ALL[:4]), ("2", ALL[:3]), ("zero", [])])
def test_rollback_to_withdraws_everything_applied_after_it(request, storage, target, kept):
    root = request.getfixturevalue(storage)
    assert migrate(root, "apply").code == 0
    result = migrate(root, "rollback", "--to", target, "--format", "json")
    assert withdrawn(result) == [label for label in ALL if label not in kept][::-1]
    assert applied_labels(root) == kept
    assert json.loads(result.out)["applied"] == kept


@pytest.mark.parametrize("target, message", [
    ("app:0005_business_customers", "Nothing to roll back: app:0005_business_customers is the latest applied migration."),
    ("ZERO", "Rolled back 6 migrations; 0 applied."),
])
def test_rollback_to_the_latest_or_to_zero_in_text(embedded_shop, target, message):
    assert migrate(embedded_shop, "apply").code == 0
    result = migrate(embedded_shop, "rollback", "--to", target)
    assert (result.code, result.out.splitlines()[-1]) == (0, message)


def test_rollback_to_follows_the_order_of_the_record(embedded_shop):
    """A contrib migration applied last comes before the app's in migration order, but is withdrawn first."""
    assert migrate(embedded_shop, "apply").code == 0
    write_migration(embedded_shop, "0002_tiers.json", {"Tier": {"properties": {"name": {"type": "string"}}}},
                    module="loyalty")
    assert migrate(embedded_shop, "apply", "--out-of-order").code == 0
    result = migrate(embedded_shop, "rollback", "--to", "app:0004_customer_loyalty", "--format", "json")
    assert withdrawn(result) == ["loyalty:0002_tiers", "app:0005_business_customers"]
    assert applied_labels(embedded_shop) == ALL[:5]


@pytest.mark.parametrize("setup, arguments, message", [
    (["apply", "--to", "2"], ["--to", "4"],
     "--to 4: app:0004_customer_loyalty is not applied, so the record cannot be rolled back to it (applied: "
     "loyalty:0001_loyalty_accounts, app:0001_customers, app:0002_products)"),
    (["apply", "--to", "2"], ["--to", "9"], 'no migration "9" in the project'),
    (["apply", "--to", "1"], ["--steps", "5"],
     "--steps 5, but only 2 migrations are applied: loyalty:0001_loyalty_accounts, app:0001_customers "
     "(withdraw them all with --to zero)"),
    (["status"], ["--steps", "2"], "--steps 2, but no migration is applied"),
])
@pytest.mark.parametrize("dry_run", [False, True])
def test_what_cannot_be_withdrawn_is_refused_and_nothing_changes(embedded_shop, setup, arguments, message, dry_run):
    assert migrate(embedded_shop, *setup).code == 0
    before = status(embedded_shop)
    result = migrate(embedded_shop, "rollback", *arguments, *(["--dry-run"] if dry_run else []))
    assert (result.code, result.err) == (1, f"error: {message}\n")
    assert status(embedded_shop) == before


def test_steps_and_to_together_are_a_bad_command_line(embedded_shop, capsys):
    with pytest.raises(SystemExit) as exited:
        migrate(embedded_shop, "rollback", "--steps", "2", "--to", "zero")
    assert exited.value.code == 2
    assert "not allowed with argument" in capsys.readouterr().err


DRY_RUNS = [([], ALL[5:]), (["--steps", "2"], ALL[4:][::-1]), (["--to", "app:1"], ALL[2:][::-1]),
            (["--to", "zero"], ALL[::-1])]


@pytest.mark.parametrize("storage, arguments, expected", [("embedded_shop", *case) for case in DRY_RUNS]
                         + [("team_shop", *case) for case in DRY_RUNS[::3]])
def test_a_dry_run_says_what_would_go_and_changes_nothing(request, storage, arguments, expected):
    root = request.getfixturevalue(storage)
    assert migrate(root, "apply").code == 0
    before = status(root)
    versions = json.loads(migrate(root, "history", "--format", "json").out)["versions"]
    found = migrate(root, "rollback", "--dry-run", *arguments, "--format", "json")
    assert withdrawn(found) == expected and json.loads(found.out)["dry_run"] is True
    text = migrate(root, "rollback", "--dry-run", *arguments)
    assert text.out.splitlines()[0] == (f"Would roll back {len(expected)} migration{'s' * (len(expected) > 1)} "
                                        "(dry run: nothing is recorded):")
    assert [line.split()[0] for line in text.out.splitlines()[1:-1]] == expected
    assert status(root) == before
    assert json.loads(migrate(root, "history", "--format", "json").out)["versions"] == versions


def test_a_dry_run_takes_no_lock(embedded_shop):
    from velkor.migration.runner.lock import LOCK_FILE, project_lock
    from velkor.migration.runner.project import Project

    assert migrate(embedded_shop, "apply").code == 0
    project = Project(embedded_shop)
    lock = project_lock(project.config, project.root, LOCK_FILE, "apply")
    lock.acquire(0)
    try:
        result = migrate(embedded_shop, "rollback", "--dry-run", "--wait", "0")
        assert result.code == 0, result.err
        assert migrate(embedded_shop, "rollback", "--wait", "0").code == 3  # a real one waits for it
    finally:
        lock.release()
    assert applied_labels(embedded_shop) == ALL
