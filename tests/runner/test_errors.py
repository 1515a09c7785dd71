"""The faults a user makes: one message naming what and where, an exit code, no traceback."""
import shutil

import pytest

from .conftest import ALL, applied, migrate, write_migration

STRING = {"type": "string"}


def broken_json(root):
    (root / "app/migrations/0006_broken.json").write_text('{\n  "schemas": [\n    {"class_name": "X" "type": "object"}\n  ]\n}\n')


def unknown_field(root):
    write_migration(root, "0006_typo.json", {"Coupon": {"propertes": {"code": STRING}}})


def unknown_type(root):
    write_migration(root, "0006_coupons.json", {"Coupon": {"properties": {"code": STRING}},
                                                "Voucher": {"properties": {"owner": {"type": "Custmer"}}}})


def unknown_base(root):
    write_migration(root, "0006_coupons.json", {"Coupon": {"type": "Discount", "properties": {"code": STRING}}})


def bad_custom_code(root):
    write_migration(root, "0006_coupons.json", {"Coupon": {"properties": {"code": STRING},
                                                           "custom_code": "def valid(self):\n  return self.code ==\n"}})


def failing_import(root):
    write_migration(root, "0006_coupons.json", {"Coupon": {"properties": {"code": STRING}},
                                                "Voucher": {"custom_code": "import no_such_module\n"}})


def bad_file_name(root):
    (root / "app/migrations/6_coupons.json").write_text("{}")


def number_twice(root):
    shutil.copy(root / "app/migrations/0005_business_customers.json", root / "app/migrations/0005_again.json")


def no_config(root):
    (root / "velkor.toml").unlink()


def bad_toml(root):
    (root / "velkor.toml").write_text("[connections.repository\n")


def unknown_engine(root):
    (root / "velkor.toml").write_text('[connections.repository]\nengine = "mysql"\npath = "x"\n'
                                      '[resources_config.repository]\ndefault = "repository"\n')


def no_storage_named(root):
    (root / "velkor.toml").write_text('[connections.repository]\nengine = "sqlite"\npath = "x"\n')


def unreachable_storage(root):
    (root / "blocker").write_text("a file where a folder should be")
    (root / "velkor.toml").write_text('[connections.repository]\nengine = "sqlite"\npath = "blocker/db/r.sqlite3"\n'
                                      '[resources_config.repository]\ndefault = "repository"\n')


def missing_dependency(root):
    write_migration(root, "0006_coupons.json", {"Coupon": {}}, depends_on=["billing:1"])


@pytest.mark.parametrize("make_fault, command, message, code", [
    (broken_json, ["apply"], "app/migrations/0006_broken.json:3:24: invalid JSON: Expecting ',' delimiter", 1),
    (unknown_field, ["apply"], "app/migrations/0006_typo.json: schemas[0].schema.propertes: unknown field", 1),
    (unknown_type, ["apply"], "app/migrations/0006_coupons.json: schemas[1].schema.properties.owner.type: "
                              "unknown class \"Custmer\": no migration defines it (did you mean \"Customer\"?)", 1),
    (unknown_base, ["check"], "app/migrations/0006_coupons.json: schemas[0].schema.type: "
                              "unknown class \"Discount\": no migration defines it", 1),
    (bad_custom_code, ["apply"], "class Coupon does not compile: schema.custom_code: custom code does not parse: line 2", 1),
    (failing_import, ["apply"], "class Voucher does not compile: ModuleNotFoundError: No module named 'no_such_module'", 1),
    (bad_file_name, ["status"], "app/migrations/6_coupons.json: a migration file is named NNNN_name.json", 1),
    (number_twice, ["status"], "app/migrations/0005_business_customers.json: number 5 is also used by "
                               "app/migrations/0005_again.json", 1),
    (no_config, ["status"], "no velkor.toml here", 1),
    (bad_toml, ["apply"], "velkor.toml: invalid TOML", 1),
    (unknown_engine, ["apply"], "velkor.toml: connections.repository.engine: input should be 'sqlite', 'delta' or 'postgresql'", 1),
    (no_storage_named, ["apply"], "resources_config names neither a repository default connection nor a lakehouse", 1),
    (unreachable_storage, ["apply"], "storage: repository: cannot create the folder", 1),
    (missing_dependency, ["check"], "app/migrations/0006_coupons.json: depends_on[0]: no migration \"billing:1\"", 1),
    (lambda root: None, ["apply", "--to", "9"], 'no migration "9" in the project', 1),
    (lambda root: None, ["history"], "no lakehouse is configured", 1),
    (lambda root: None, ["show", "Coupon"], "no migration defines the class 'Coupon'", 1),
])
def test_user_errors(shop, make_fault, command, message, code):
    make_fault(shop)
    result = migrate(shop, *command)
    assert result.code == code
    assert result.err.startswith("error: ") and message in result.err, result.err
    assert "Traceback" not in result.err + result.out


def test_compile_failure_keeps_what_was_applied_before(shop):
    failing_import(shop)
    result = migrate(shop, "apply")
    assert result.code == 1
    assert "Applied 6 of 7; app:0006_coupons was not applied." in result.err
    assert applied(shop) == ALL
    write_migration(shop, "0006_coupons.json", {"Coupon": {"properties": {"code": STRING}}})
    again = migrate(shop, "apply")
    assert "Compiled 0 classes of the applied migrations that the pending ones need." in again.out
    assert "app:0006_coupons" in again.out
    assert applied(shop) == ALL + ["app:0006_coupons"]


def test_a_bad_file_stops_the_run_before_anything_is_applied(shop):
    broken_json(shop)
    assert migrate(shop, "apply").code == 1
    assert applied(shop) == []


def test_a_recorded_migration_whose_file_is_gone(shop):
    migrate(shop, "apply", "--to", "4")
    (shop / "app/migrations/0002_products.json").unlink()
    status = migrate(shop, "status")
    assert status.out.startswith("5 migrations: 4 applied, 1 pending; 1 recorded as applied without a file.")
    assert "(file missing)" in status.out.splitlines()[-1] and "0002_products" in status.out.splitlines()[-1]
    result = migrate(shop, "apply")  # its classes come from the record: the others apply
    assert result.code == 0, result.err
    assert "Recorded by another run, with no file in this folder: app:0002_products" in result.err
    assert len(applied(shop)) == 6


def test_rollback_refuses_to_withdraw_what_an_applied_migration_needs(shop):
    contrib = shop / "contrib"
    contrib.rename(shop / "contrib.away")
    migrate(shop, "apply", "--to", "3")
    (shop / "contrib.away").rename(contrib)
    migrate(shop, "apply", "--to", "loyalty:1")  # applied after the app's first three
    write_migration(shop, "0001_customers.json", {"Customer": {}}, depends_on=["loyalty:1"])
    result = migrate(shop, "rollback")
    assert result.code == 1
    assert "cannot roll back: app:0001_customers depends on loyalty:0001_loyalty_accounts" in result.err
    assert len(applied(shop)) == 4


@pytest.mark.parametrize("arguments", [["rollback", "--steps", "0"], ["apply", "--wait", "soon"], ["migrate"]])
def test_bad_usage_exits_with_2(shop, arguments, capsys):
    with pytest.raises(SystemExit) as caught:
        migrate(shop, *arguments)
    assert caught.value.code == 2
    assert "usage: velkor-migrate" in capsys.readouterr().err


@pytest.mark.parametrize("command", ["apply", "status", "rollback", "history", "show", "check"])
def test_every_command_has_help(shop, command, capsys):
    with pytest.raises(SystemExit) as caught:
        migrate(shop, command, "--help")
    assert caught.value.code == 0
    assert capsys.readouterr().out.startswith(f"usage: velkor-migrate {command} [-h] [--project DIR]")
