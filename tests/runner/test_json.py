"""The commands with --format json: one document on stdout,
of the shape docs/json-output.schema.json documents (and no field it does not),
with the exit status of the text output; errors as documents too."""
import copy
import json
import re
import shutil
import sqlite3
from pathlib import Path

import pytest
from jsonschema import Draft202012Validator, FormatChecker

from .conftest import ALL, FakeTerminal, migrate, write_migration

STRING = {"type": "string"}

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


# -- the commands that change the record, and show ------------------------------

CHANGING = [["apply"], ["apply", "--to", "2"], ["rollback"], ["rollback", "--to", "zero"],
            ["rollback", "--dry-run", "--steps", "2"], ["baseline", "3"], ["show", "Customer"],
            ["show", "Order", "--diff"], ["show", "Nobody"]]


@pytest.mark.parametrize("setup", [nothing_applied, half_applied, drifted, no_configuration])
@pytest.mark.parametrize("arguments", CHANGING, ids=" ".join)
def test_the_documents_of_the_commands_that_change_things(embedded_shop, tmp_path, setup, arguments):
    """The text run and the JSON run on two copies set up alike: the same exit status, and the document's shape."""
    twin = tmp_path / "twin"
    shutil.copytree(embedded_shop, twin)
    setup(embedded_shop)
    setup(twin)
    text = migrate(twin, *arguments)
    result = migrate(embedded_shop, *arguments, "--format", "json")
    assert result.code == text.code, (text.err, result.out)
    found = document(result, arguments[0])
    if not found["ok"]:  # the same message, but for the folder and the times the two copies ran at
        def alike(text):
            return re.sub(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", "TIME", text.replace(str(twin), str(embedded_shop)))
        assert alike(text.err).endswith(alike(f"error: {found['error']['message']}\n"))
        assert found["error"]["exit_status"] == result.code


def test_apply_says_where_it_stopped(embedded_shop):
    write_migration(embedded_shop, "0006_broken.json", {"Broken": {"properties": {"x": {"type": "string"}},
                                                                   "custom_code": "raise RuntimeError('no')\n"}})
    write_migration(embedded_shop, "0007_after.json", {"After": {"properties": {"x": {"type": "string"}}}})
    result = migrate(embedded_shop, "apply", "--format", "json")
    found = document(result, "apply")
    assert (result.code, found["stopped"], found["stopped_at"]) == (1, True, "app:0006_broken")
    assert [m["migration"] for m in found["applied"]] == ALL
    assert found["applied"][4]["classes"] == ["Customer"] and found["applied"][4]["compiled_again"] == ["Order"]
    assert found["pending"] == ["app:0006_broken", "app:0007_after"]
    assert "custom code of class Broken raised RuntimeError: no" in found["error"]["message"]
    status = document(migrate(embedded_shop, "status", "--format", "json"), "status")
    assert status["summary"]["applied"] == 6


def test_show_tells_the_class_its_source_and_state(embedded_shop):
    migrate(embedded_shop, "apply", "--to", "3")
    found = document(migrate(embedded_shop, "show", "Order", "--format", "json"), "show")
    assert (found["class"], found["migration"], found["state"], found["compiled_again_by"]) == (
        "Order", "app:0003_orders", "pending", "app:0004_customer_loyalty")
    assert found["source"] == migrate(embedded_shop, "show", "Order").out.split("\n", 1)[1].rstrip("\n")
    diff = document(migrate(embedded_shop, "show", "Customer", "--diff", "--format", "json"), "show")["diff"]
    assert diff.splitlines()[0] == "--- Customer (applied: app:0001_customers)"
    assert document(migrate(embedded_shop, "show", "Order", "--diff", "--format", "json"), "show")["diff"] == ""


def test_json_on_a_terminal_has_no_progress_bar_nor_lines(embedded_shop):
    for number in range(6, 12):
        write_migration(embedded_shop, f"{number:04d}_step.json", {f"Step{number}": {"properties": {"n": STRING}}})
    out, err = FakeTerminal(), FakeTerminal()
    result = migrate(embedded_shop, "apply", "--format", "json", out=out, err=err)
    assert len(document(result, "apply")["applied"]) == 12
    assert result.err == ""
    rolled = migrate(embedded_shop, "rollback", "--to", "zero", "--format", "json", out=FakeTerminal())
    assert len(document(rolled, "rollback")["withdrawn"]) == 12
