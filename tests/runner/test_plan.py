"""plan, apply --dry-run and show --diff: what the pending migrations will change,
told before they run, with nothing recorded."""
import pytest

from velkor.migration.runner.lock import LOCK_FILE, ProjectLock
from .conftest import ALL, applied, migrate, write_migration

STRING = {"type": "string"}
# Customer as 0004_customer_loyalty leaves it, less birthday, with these changes:
# phone becomes a number, email optional, status blocked by default, and a tier.
CUSTOMER_TIERS = {"properties": {
    "first_name": STRING, "last_name": STRING, "email": STRING, "phone": {"type": "integer"},
    "address": {"type": "Address"},
    "status": {"type": "string", "default": "blocked", "options": [{"value": "active"}, {"value": "blocked"}]},
    "preferences": {"type": "dictionary", "items": {"key_type": "string", "value_type": "string"}},
    "loyalty_account": {"type": "LoyaltyAccount"}, "tier": {"type": "string", "default": "bronze"}},
    "required": ["first_name", "last_name"]}
COUPON = {"properties": {"code": STRING, "products": {"type": "array", "items": {"type": "Product"}}},
          "required": ["code"]}
PLAN = """\
Plan: 1 pending migration, in the order apply runs them; nothing is recorded.

app:0006_customer_tiers
  changes Customer, last defined by app:0004_customer_loyalty (applied)
    ~ custom code changed
    ~ email: now optional
    ~ phone: type string -> integer  (breaking: another type: stored values may not fit it)
    ~ status: default "active" -> "blocked"
    + tier: string, default "bronze"
    - birthday: date  (breaking: a removed field: stored records and callers still have it)
    compiled again, as they reference it: Order, BusinessCustomer
  adds Coupon (derives from Model)
    + code: string, required
    + products: Product[]

It compiles; run apply to apply it.
"""


@pytest.fixture
def tiers(shop):
    """The shop, applied, with a pending migration that changes Customer and adds Coupon."""
    assert migrate(shop, "apply").code == 0
    write_migration(shop, "0006_customer_tiers.json", {"Customer": CUSTOMER_TIERS, "Coupon": COUPON},
                    description="Customer tiers, phone numbers as digits, and coupons.")
    return shop


@pytest.mark.parametrize("command", [["plan"], ["apply", "--dry-run"]])
def test_plan_tells_what_the_pending_migration_changes(tiers, command):
    marker = tiers / ".velkor" / "ledger-state.json"
    before = marker.read_bytes()
    result = migrate(tiers, *command)
    assert (result.code, result.err) == (0, "")
    assert result.out == PLAN
    assert applied(tiers) == ALL
    assert marker.read_bytes() == before  # not even the marker of a run is written


def test_plan_of_the_shop_half_applied(shop):
    migrate(shop, "apply", "--to", "3")
    result = migrate(shop, "plan", "--to", "4")
    assert result.code == 0, result.err
    assert result.out.splitlines()[2:8] == [
        "app:0004_customer_loyalty",
        "  changes Customer, last defined by app:0001_customers (applied)",
        "    + phone: string",
        "    + loyalty_account: LoyaltyAccount",
        "    compiled again, as they reference it: Order",
        ""]
    assert applied(shop) == ALL[:4]


def test_a_class_changed_twice_is_held_against_the_pending_definition_before(shop):
    result = migrate(shop, "plan")
    assert result.code == 0, result.err
    assert "  changes Customer, last defined by app:0001_customers (pending)" in result.out
    assert "  adds LoyaltyAccount (derives from Model)" in result.out
    assert "  adds Address (a type, derives from TypeModel)" in result.out
    assert result.out.endswith("All 6 compile; run apply to apply them.\n")


def test_plan_takes_no_lock(tiers):
    lock = ProjectLock(tiers / LOCK_FILE, "a test holding the lock")
    lock.acquire(0)
    try:
        result = migrate(tiers, "plan", "--format", "json")
    finally:
        lock.release()
    assert result.code == 0, result.out


def test_plan_as_json(tiers):
    import json
    result = migrate(tiers, "plan", "--format", "json")
    document = json.loads(result.out)
    assert (result.code, document["ok"], document["compiles"], document["stops_at"]) == (0, True, True, None)
    [step] = document["migrations"]
    assert (step["migration"], step["compiled_again"], step["compiles"]) == (
        "app:0006_customer_tiers", ["Order", "BusinessCustomer"], True)
    customer, coupon = step["classes"]
    assert customer["previous"] == {"migration": "app:0004_customer_loyalty", "applied": True}
    fields = {f["field"]: f for f in customer["fields"]}
    assert fields["phone"]["changed"] == ["type"]
    assert (fields["phone"]["before"]["type"], fields["phone"]["after"]["type"]) == ("string", "integer")
    assert (fields["tier"]["change"], fields["tier"]["after"]["default"]) == ("added", "bronze")
    assert (fields["birthday"]["change"], fields["birthday"]["after"]) == ("removed", None)
    assert fields["email"]["changed"] == ["required"] and fields["email"]["after"]["required"] is False
    assert [c["what"] for c in customer["class_changes"]] == ["custom_code"]
    assert customer["compiled_again"] == ["Order", "BusinessCustomer"]
    assert (coupon["change"], coupon["previous"], coupon["compiled_again"]) == ("added", None, [])


def test_plan_stops_where_apply_would(tiers):
    write_migration(tiers, "0007_broken.json", {"Broken": {"properties": {"x": STRING},
                                                           "custom_code": "raise RuntimeError('no')\n"}})
    write_migration(tiers, "0008_after.json", {"After": {"properties": {"x": STRING}}})
    result = migrate(tiers, "plan")
    assert result.code == 1
    assert "app:0008_after" in result.out  # the whole plan is told first
    assert result.err.startswith("error: app/migrations/0007_broken.json: custom code of class Broken raised "
                                 "RuntimeError: no")
    assert "apply would stop at app:0007_broken, having applied 1 of 3 migrations." in result.err
    import json
    document = json.loads(migrate(tiers, "plan", "--format", "json").out)
    assert (document["ok"], document["compiles"], document["stops_at"]) == (False, False, "app:0007_broken")
    assert [m["compiles"] for m in document["migrations"]] == [True, False, None]
    assert applied(tiers) == ALL


def test_plan_refuses_what_apply_refuses(tiers):
    changed = tiers / "app/migrations/0002_products.json"
    changed.write_text(changed.read_text().replace("The catalogue.", "The catalogue, changed."))
    refused = migrate(tiers, "plan")
    assert refused.code == 1
    assert refused.err == migrate(tiers, "apply").err
    accepted = migrate(tiers, "plan", "--accept-changed", "2")
    assert accepted.code == 0, accepted.err
    assert "apply records the changed file of app:0002_products as applied." in accepted.out
    assert "changed since applied" in migrate(tiers, "status").out  # nothing was accepted yet


@pytest.mark.parametrize("args, message", [
    ([], "Nothing to apply: every migration is applied.\n"),
    (["--to", "3"], "Nothing to apply: app:0003_orders is applied.\n"),
])
def test_plan_with_nothing_pending(shop, args, message):
    migrate(shop, "apply")
    result = migrate(shop, "plan", *args)
    assert (result.code, result.out) == (0, message)


@pytest.mark.parametrize("class_name, expected", [
    ("Customer", ["--- Customer (applied: app:0004_customer_loyalty)",
                  "+++ Customer (pending: app:0006_customer_tiers)",
                  "-    phone: Optional[str] = None", "+    phone: Optional[int] = None",
                  "-    email: str", "+    email: Optional[str] = None",
                  "-    birthday: Optional[date] = None", "+    tier: Optional[str] = 'bronze'",
                  "-    status: Optional[str] = 'active'", "+    status: Optional[str] = 'blocked'"]),
    ("Coupon", ["--- /dev/null", "+++ Coupon (pending: app:0006_customer_tiers)", "+class Coupon(Model):",
                "+    products: Optional[list[Union[Reference, 'Product', LegacyModel]]] = None"]),
])
def test_show_diff(tiers, class_name, expected):
    result = migrate(tiers, "show", class_name, "--diff")
    assert result.code == 0, result.err
    lines = result.out.splitlines()
    for line in expected:
        assert line in lines
    assert all(line[:1] in " +-@" for line in lines)


@pytest.mark.parametrize("class_name, message", [
    ("Address", "Address: no pending migration compiles it again; its applied source is current.\n"),
    ("Order", "Order: app:0006_customer_tiers compiles it again to the same source.\n"),
])
def test_show_diff_without_a_difference(tiers, class_name, message):
    assert migrate(tiers, "show", class_name, "--diff").out == message


def test_show_diff_of_a_class_compiled_again_beside_other_classes(shop):
    """0004 compiles Order again; OrderLine was compiled beside it in 0003, and before it there too."""
    migrate(shop, "apply", "--to", "3")
    result = migrate(shop, "show", "Order", "--diff")
    assert result.code == 0 and "app:0004_customer_loyalty compiles it again to the same source" in result.out, result.out


def test_show_diff_of_an_unknown_class(tiers):
    result = migrate(tiers, "show", "Nobody", "--diff")
    assert result.code == 1 and "no migration defines the class 'Nobody' (defined: Address, BusinessCustomer" in result.err
