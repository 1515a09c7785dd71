"""status, history, plan and check with --format json: one document on stdout,
of the shape docs/json-output.schema.json documents (and no field it does not),
with the exit status of the text output; errors as documents too."""
import copy
import json
import sqlite3
from pathlib import Path

import pytest
from jsonschema import Draft202012Validator, FormatChecker

from .conftest import migrate, write_migration

SCHEMA = json.loads((Path(__file__).resolve().parents[2] / "docs" / "json-output.schema.json").read_text())
COMMANDS = ["status", "history", "plan", "check"]


def strict(schema):
    """The schema refusing fields it does not name: the documentation keeps up with the output.
    (The schema itself lets a consumer read a later document that has more.)"""
    schema = copy.deepcopy(schema)
    extended = schema["$defs"]["migration"]  # extended by the items of status and plan

    def close(node):
        if isinstance(node, dict):
            if node.get("type") == "object" and "properties" in node and node is not extended:
                node["unevaluatedProperties"] = False
            for value in node.values():
                close(value)
        elif isinstance(node, list):
            for value in node:
                close(value)

    close(schema)
    return schema


VALIDATOR = Draft202012Validator(strict(SCHEMA), format_checker=FormatChecker())


def document(result, command):
    """The one JSON document a run wrote, checked against the schema."""
    found = json.loads(result.out)
    errors = sorted(VALIDATOR.iter_errors(found), key=lambda e: list(e.path))
    assert not errors, "\n".join(f"{list(e.path)}: {e.message}" for e in errors)
    assert (found["command"], found["version"], found["ok"]) == (command, 1, result.code == 0)
    return found


def nothing_applied(root):
    pass


def half_applied(root):
    assert migrate(root, "apply", "--to", "3").code == 0


def drifted(root):
    """Applied, then a file changed, one deleted, and one added below an applied number."""
    assert migrate(root, "apply").code == 0
    products = root / "app/migrations/0002_products.json"
    products.write_text(products.read_text().replace("The catalogue.", "The catalogue, changed."))
    (root / "app/migrations/0005_business_customers.json").unlink()
    write_migration(root, "0000_early.json", {"Early": {"properties": {"x": {"type": "string"}}}}, module="loyalty")


def behind_the_ledger(root):
    assert migrate(root, "apply").code == 0
    with sqlite3.connect(root / ".velkor" / "repository.sqlite3") as db:
        db.execute("DELETE FROM \"Migration\" WHERE migration_name LIKE '0005%'")


def damaged(root):
    assert migrate(root, "apply").code == 0
    for path in (root / ".velkor").glob("repository.sqlite3*"):
        path.unlink()


def no_configuration(root):
    (root / "velkor.toml").unlink()


def a_bad_file(root):
    (root / "app/migrations/0006_bad.json").write_text('{"schemas": [}')


def a_look_alike(root):
    (root / "app/migrations/0006_skipped.JSON").write_text("{}")


@pytest.mark.parametrize("storage", ["shop", "embedded_shop"])
@pytest.mark.parametrize("setup", [nothing_applied, half_applied, drifted, behind_the_ledger, damaged,
                                   no_configuration, a_bad_file, a_look_alike])
def test_every_document_has_its_shape_and_the_exit_status_of_the_text(request, storage, setup):
    root = request.getfixturevalue(storage)
    setup(root)
    for command in COMMANDS:
        text = migrate(root, command)
        result = migrate(root, command, "--format", "json")
        assert result.code == text.code, (command, text.err, result.out)
        found = document(result, command)
        if found["ok"]:
            assert found["project"] == str(root)
        else:
            assert text.err.endswith(f"error: {found['error']['message']}\n"), command
            assert found["error"]["exit_status"] == result.code
        assert found["warnings"] == [line[len("warning: "):] for line in text.err.splitlines()
                                     if line.startswith("warning: ")]


def test_status_and_check_carry_the_record(shop):
    drifted(shop)
    status = document(migrate(shop, "status", "--format", "json"), "status")
    record = status["record"]
    assert record["changed"] == ["app:0002_products"]
    assert record["file_missing"] == ["app:0005_business_customers"]
    assert record["out_of_order"] == [{"migration": "loyalty:0000_early",
                                       "applied_after": "loyalty:0001_loyalty_accounts"}]
    assert record["ok"] is False and len(record["problems"]) == 3
    assert status["summary"] == {"migrations": 6, "applied": 5, "pending": 1, "file_missing": 1, "changed": 1,
                                 "out_of_order": 1}
    states = {m["migration"]: m for m in status["migrations"]}
    assert states["loyalty:0000_early"]["state"] == "pending" and states["loyalty:0000_early"]["out_of_order"]
    assert states["app:0002_products"]["changed_since_applied"] is True
    assert (states["app:0005_business_customers"]["state"], states["app:0005_business_customers"]["file"]) == (
        "file_missing", None)
    assert status["migrations"][-1]["migration"] == "app:0005_business_customers"  # after the files
    check = migrate(shop, "check", "--format", "json")
    found = document(check, "check")
    assert (check.code, found["ok"], found["record"]) == (1, False, record)
    assert found["error"]["message"] == "\n".join(record["problems"])


def test_the_repository_behind_the_ledger(embedded_shop):
    behind_the_ledger(embedded_shop)
    found = document(migrate(embedded_shop, "status", "--format", "json"), "status")
    assert found["record"]["repository"] == {"lacks": ["app:0005_business_customers"], "extra": [], "repeated": []}


def test_status_on_a_damaged_store_fails_with_the_damage(embedded_shop):
    damaged(embedded_shop)
    result = migrate(embedded_shop, "status", "--format", "json")
    found = document(result, "status")
    assert (result.code, found["ok"]) == (1, False)
    assert found["record"]["damage"] and found["record"]["damage"] == found["record"]["problems"]
    assert found["error"]["message"] == "damaged store: " + "\n".join(found["record"]["damage"])


def test_a_deploy_gate(shop):
    """What a deploy script checks: nothing pending, nothing wrong with the record."""
    def ready():
        found = json.loads(migrate(shop, "status", "--format", "json").out)
        return found["ok"] and found["summary"]["pending"] == 0 and found["record"]["ok"]

    assert not ready()
    migrate(shop, "apply")
    assert ready()


def test_history_lists_every_version(embedded_shop):
    migrate(embedded_shop, "apply", "--to", "1")
    migrate(embedded_shop, "rollback")
    found = document(migrate(embedded_shop, "history", "--format", "json"), "history")
    assert [(v["event"], v["migration"], v["number"]) for v in found["versions"]] == [
        ("saved", "loyalty:0001_loyalty_accounts", 1), ("saved", "app:0001_customers", 1),
        ("deleted", "app:0001_customers", 1)]
    saved, deleted = found["versions"][1:]
    assert saved["object_id"] == deleted["object_id"] and saved["object_version"] != deleted["object_version"]
    assert saved["transaction"] != deleted["transaction"] and saved["applied_at"] == deleted["applied_at"]


def test_a_bad_command_line_is_text_with_status_2(shop, capsys):
    with pytest.raises(SystemExit) as exited:
        migrate(shop, "status", "--format", "json", "--no-such-option")
    assert exited.value.code == 2
    assert "unrecognized arguments: --no-such-option" in capsys.readouterr().err


def test_the_schema_is_valid_and_the_test_refuses_an_undocumented_field(shop):
    Draft202012Validator.check_schema(SCHEMA)
    found = document(migrate(shop, "status", "--format", "json"), "status")
    found["migrations"][0]["undocumented"] = True
    assert ["migrations", 0] in [list(e.path) for e in VALIDATOR.iter_errors(found)]
    assert not list(Draft202012Validator(SCHEMA).iter_errors(found))  # a consumer reads on
