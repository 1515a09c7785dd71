"""One run names every problem of every file, up to a limit, with the closest known name for a
misspelt one and values as JSON writes them; a "$schema" key is accepted for editors."""
import json

import pytest
from jsonschema import Draft202012Validator

from velkor.migration.runner.errors import MAX_PROBLEMS
from velkor.migration.runner.source.file_schema import SCHEMA_PATH

from .conftest import migrate, write_migration

STRING = {"type": "string"}


def several_bad_files(root):
    write_migration(root, "0006_typo.json", {"Coupon": {"propertes": {"code": STRING}}})
    write_migration(root, "0007_types.json", {"Voucher": {"properties": {
        "code": {"type": "strng"}, "uses": {"type": "integer", "default": True},
        "tier": {"type": "string", "default": "gold", "options": [{"value": "bronze"}]}}}})
    write_migration(root, "0008_owner.json", {"Gift": {"properties": {"owner": {"type": "Custmer"},
                                                                       "order": {"type": "order"}}}})
    (root / "app/migrations/0009_broken.json").write_text('{"schemas": [}')
    write_migration(root, "0010_fields.json", {"Card": {"properties": {"n": {"type": "integer", "defualt": 1}}}},
                    extra="x")


EXPECTED = [
    'app/migrations/0006_typo.json: schemas[0].schema.propertes: unknown field (did you mean "properties"?)',
    'app/migrations/0007_types.json: schemas[0].schema.properties.code.type: "strng" is not a type '
    '(did you mean "string"?)',
    "app/migrations/0007_types.json: schemas[0].schema.properties.uses.default: the default true is not a whole number",
    'app/migrations/0007_types.json: schemas[0].schema.properties.tier.default: the default "gold" is not one of '
    'the options ["bronze"]',
    'app/migrations/0008_owner.json: schemas[0].schema.properties.order.type: "order" is not a type '
    '(did you mean "Order"?)',
    "app/migrations/0009_broken.json:1:14: invalid JSON",
    'app/migrations/0010_fields.json: extra: unknown field',
    'app/migrations/0010_fields.json: schemas[0].schema.properties.n.defualt: unknown field (did you mean "default"?)',
]


@pytest.mark.parametrize("command", [["check"], ["apply"], ["plan"], ["show", "Customer"]])
def test_one_run_names_every_problem_of_every_file(shop, command):
    several_bad_files(shop)
    result = migrate(shop, *command)
    assert result.code == 1
    lines = result.err.removeprefix("error: ").splitlines()
    for expected in EXPECTED:
        assert any(expected in line for line in lines), f"{expected}\nnot in:\n{result.err}"
    assert len(lines) == len(EXPECTED)
    assert "Traceback" not in result.err
    assert json.loads(migrate(shop, "status", "--format", "json").out)["summary"]["applied"] == 0


def test_unknown_classes_are_named_beside_the_files_problems(shop):
    write_migration(shop, "0006_gift.json", {"Gift": {"properties": {"owner": {"type": "Custmer"}}}})
    write_migration(shop, "0007_bad.json", {"Bad": {"properties": {"n": {"type": "integer", "default": "7"}}}})
    result = migrate(shop, "check")
    assert result.err.splitlines() == [
        'error: app/migrations/0006_gift.json: schemas[0].schema.properties.owner.type: unknown class "Custmer": '
        'no migration defines it (did you mean "Customer"?) (core types: string, integer, number, boolean, date, '
        'datetime, array, dictionary)',
        'app/migrations/0007_bad.json: schemas[0].schema.properties.n.default: the default "7" is not a whole number']


def test_a_class_of_an_unreadable_file_is_not_called_unknown(shop):
    (shop / "app/migrations/0006_coupon.json").write_text('{"schemas": [{"class_name": "Coupon", "schema": {}}], "x": 1}')
    write_migration(shop, "0007_gift.json", {"Gift": {"properties": {"coupon": {"type": "Coupon"}}}})
    result = migrate(shop, "check")
    assert result.err == "error: app/migrations/0006_coupon.json: x: unknown field\n"


def test_many_problems_are_cut_at_the_limit(shop):
    for number in range(6, 6 + MAX_PROBLEMS + 10):
        write_migration(shop, f"{number:04d}_bad.json", {f"Bad{number}": {"properties": {"a": {"type": "json"}}}})
    result = migrate(shop, "check")
    lines = result.err.splitlines()
    assert result.code == 1 and len(lines) == MAX_PROBLEMS + 1
    assert lines[-1] == "and 10 more"


def test_a_schema_key_is_accepted_for_editors(shop):
    path = write_migration(shop, "0006_coupons.json", {"Coupon": {"properties": {"code": STRING}}})
    document = {"$schema": "../../migration.schema.json", **json.loads(path.read_text())}
    path.write_text(json.dumps(document))
    assert migrate(shop, "check").code == 0
    Draft202012Validator(json.loads(SCHEMA_PATH.read_text())).validate(document)
