"""The commands on a temporary copy of the example shop, with real storage."""
import pytest
from pydantic import ValidationError

from velkor.migration.runner import load_classes
from .conftest import ALL, applied, migrate, migrate_process


def test_apply_twice_applies_nothing_new(shop):
    first = migrate(shop, "apply")
    assert first.code == 0, first.err
    assert [line.split()[0] for line in first.out.splitlines()[1:-1]] == ALL
    assert "Applied 6 migrations; 0 pending." in first.out
    second = migrate(shop, "apply")
    assert (second.code, second.out) == (0, "Nothing to apply: every migration is applied.\n")
    assert applied(shop) == ALL


@pytest.mark.parametrize("target, expected", [
    ("loyalty:1", ALL[:1]),
    ("2", ALL[:3]),
    ("app:0003_orders", ALL[:4]),
    ("5", ALL),
])
def test_apply_to_stops_after_the_target(shop, target, expected):
    result = migrate(shop, "apply", "--to", target)
    assert result.code == 0, result.err
    assert applied(shop) == expected
    assert f"{6 - len(expected)} pending." in result.out
    assert migrate(shop, "apply", "--to", target).out.startswith("Nothing to apply")
    assert migrate(shop, "apply").code == 0
    assert applied(shop) == expected + [m for m in ALL if m not in expected]


def test_rollback_then_apply_again(shop):
    migrate(shop, "apply")
    result = migrate(shop, "rollback", "--steps", "2")
    assert result.code == 0, result.err
    assert [line.split()[0] for line in result.out.splitlines()[1:3]] == ALL[:3:-1]
    assert applied(shop) == ALL[:4]
    again = migrate(shop, "apply")
    assert "Compiled 6 classes of the applied migrations that the pending ones need." in again.out
    assert applied(shop) == ALL
    assert load_classes(shop).get_model("BusinessCustomer").__mro__[1].__name__ == "Customer"


def test_rollback_of_more_than_applied_is_refused_and_to_zero_withdraws_all(shop):
    migrate(shop, "apply", "--to", "1")
    refused = migrate(shop, "rollback", "--steps", "9")
    assert refused.code == 1 and refused.err.startswith("error: --steps 9, but only 2 migrations are applied")
    assert applied(shop) == ALL[:2]
    assert migrate(shop, "rollback", "--to", "zero").code == 0
    assert applied(shop) == []
    assert migrate(shop, "rollback").out == "Nothing to roll back: no migration is applied.\n"


def test_status_in_a_new_process(shop):
    migrate(shop, "apply", "--to", "3")
    status = migrate_process(shop, "status")
    out, err = status.communicate(timeout=60)
    assert status.returncode == 0, err
    lines = out.splitlines()
    assert lines[0] == "6 migrations: 4 applied, 2 pending."
    assert lines[1].split() == ["#", "migration", "module", "applied", "at"]
    rows = [line.split() for line in lines[3:]]
    assert [f"{module}:{name}" for _, name, module, *_ in rows] == ALL
    assert [number for number, *_ in rows] == ["1", "1", "2", "3", "4", "5"]
    assert [r[3] for r in rows[4:]] == ["pending", "pending"]
    assert all(r[3][:2] == "20" for r in rows[:4])  # a date


def test_classes_of_the_applied_migrations(shop):
    migrate(shop, "apply")
    classes = load_classes(shop)
    customer = classes.get_model("Customer")(
        first_name="Ada", last_name="Lovelace", email="ada@example.org",
        address={"street": "Kerkstraat 1", "city": "Utrecht"}, loyalty_account={"id": "L-1"})
    assert (customer.display_name(), customer.address.country, customer.status) == ("Ada Lovelace", "NL", "active")
    order = classes.get_model("Order")(customer={"id": "C-1"}, placed_at="2025-03-01T10:30:00",
                                       lines=[{"product": {"id": "P"}, "quantity": 3, "unit_price": 2.5}])
    assert str(order.total()) == "7.50"
    with pytest.raises(ValidationError) as caught:
        classes.get_model("Customer")(first_name="Bob", email="bob-at-example", status="gone")
    assert {e["loc"][0] for e in caught.value.errors()} == {"last_name", "email", "status"}


def test_history_on_the_embedded_default(embedded_shop):
    migrate(embedded_shop, "apply", "--to", "1")
    migrate(embedded_shop, "rollback")
    result = migrate(embedded_shop, "history")
    assert result.code == 0, result.err
    rows = [line.split() for line in result.out.splitlines()[3:]]
    assert [(r[2], r[3], r[4]) for r in rows] == [
        ("saved", "0001_loyalty_accounts", "loyalty"), ("saved", "0001_customers", "app"),
        ("deleted", "0001_customers", "app")]
    assert rows[0][5] == rows[1][5] != rows[2][5]  # one transaction per run
    assert applied(embedded_shop) == ALL[:1]


@pytest.mark.parametrize("class_name, expected", [
    ("Customer", ["class Customer(Model):", "loyalty_account: Optional[Union[Reference, 'LoyaltyAccount'",
                  "def display_name(self):", "import re"]),
    ("Address", ["class Address(TypeModel):", "country: Optional[str] = 'NL'"]),
    # compiled again with the Customer of 0004; OrderLine, of its own migration, compiles before it
    ("Order", ["customer: Union[Reference, 'Customer', LegacyModel]",
               "lines: list[Union[Reference, 'OrderLine', LegacyModel]]",
               "as app:0003_orders defines it (schema type app); pending, compiled again by app:0004_customer_loyalty"]),
    ("BusinessCustomer", ["class BusinessCustomer(Customer):", "as app:0005_business_customers defines it"]),
])
def test_show_prints_the_latest_definition(shop, class_name, expected):
    result = migrate(shop, "show", class_name)
    assert result.code == 0, result.err
    for text in expected:
        assert text in result.out
    assert applied(shop) == []


def test_check_compiles_everything_and_records_nothing(shop):
    result = migrate(shop, "check")
    assert (result.code, result.out) == (0, "Checked 6 migrations: all valid, 7 classes compile.\n")
    assert applied(shop) == []
