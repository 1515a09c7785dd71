"""The record and the classes as they were at any past moment, read from the
lakehouse's own versions: before the first record there is nothing, between
two runs the first one's classes, and after the last run today's."""
import json
from datetime import datetime, timezone

import pytest

from velkor.migration.runner import MigrationError, load_classes

from .conftest import migrate, write_migration

COUNTER = {"Counter": {"properties": {"count": {"type": "integer", "default": 0}}}}
COUNTER_LATER = {"Counter": {"properties": {"count": {"type": "integer", "default": 0}, "step": {"type": "integer"}}}}


def moment() -> str:
    return datetime.now(timezone.utc).isoformat()


@pytest.fixture(params=["embedded_shop", "team_shop"])
def project(request):
    return request.getfixturevalue(request.param)


def test_the_record_and_the_classes_at_past_moments(project):
    before = moment()
    write_migration(project, "0006_counter.json", COUNTER)
    assert migrate(project, "apply").code == 0
    between = moment()
    write_migration(project, "0007_counter_steps.json", COUNTER_LATER)
    assert migrate(project, "apply").code == 0

    with pytest.raises(MigrationError, match="the ledger holds no record as of"):
        load_classes(project, at=before)
    assert list(load_classes(project, at=between).get_model("Counter").model_fields) == ["count"]
    assert list(load_classes(project, at=moment()).get_model("Counter").model_fields) == ["count", "step"]

    status = json.loads(migrate(project, "status", "--at", between, "--format", "json").out)
    assert status["at"] == between and status["summary"]["applied"] == 7 and status["summary"]["pending"] == 1
    shown = migrate(project, "show", "Counter", "--at", between)
    assert shown.code == 0 and "step" not in shown.out and f"as applied at {between}" in shown.out
    history = json.loads(migrate(project, "history", "--at", between, "--format", "json").out)
    assert {v["name"] for v in history["versions"]} == {path.stem for path in (project / "app/migrations").glob("*.json")
                                                        if path.stem != "0007_counter_steps"} | {"0001_loyalty_accounts"}

    (project / "app/migrations/0007_counter_steps.json").unlink()  # the record, not the files, tells
    assert list(load_classes(project, at=moment()).get_model("Counter").model_fields) == ["count", "step"]


@pytest.mark.parametrize("at, problem", [("yesterday", "is neither a time"), ("999", "the ledger has no version 999")])
def test_a_moment_that_names_none_is_said(embedded_shop, at, problem):
    assert migrate(embedded_shop, "apply").code == 0
    result = migrate(embedded_shop, "status", "--at", at)
    assert result.code == 1 and problem in result.err, result.err


def test_a_ledger_without_versions_says_so(shop):
    assert migrate(shop, "apply").code == 0
    result = migrate(shop, "status", "--at", moment())
    assert result.code == 1 and "keeps no past versions" in result.err, result.err
