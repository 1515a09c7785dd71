"""Classes follow the classes they reference: after a migration changes a class,
the classes compiled before that reference it are compiled again in its batch;
apply compiles only what the pending migrations need; apply, check, show and
load_classes() all see the same classes."""
import pytest

from velkor.migration.runner import load_classes
from velkor.migration.runner.classes.compiler import Compiler
from velkor.migration.runner.classes.reference_graph import ClassGraph
from velkor.migration.runner.project import Project
from .conftest import ALL, applied, migrate, write_migration

STRING = {"type": "string"}
CUSTOMER = dict(first_name="Ada", last_name="Lovelace", email="ada@example.org", phone="+31 30 123")
ORDER = dict(placed_at="2025-03-01T10:30:00", lines=[])


@pytest.fixture
def compiled(monkeypatch):
    """The class names of every batch compiled, over all projects of the test."""
    batches = []
    original = Compiler.compile

    def recording(self, registry, source, definitions=None):
        names = original(self, registry, source, definitions)
        batches.append(names)
        return names

    monkeypatch.setattr(Compiler, "compile", recording)
    return batches


def test_an_order_takes_the_customer_of_a_later_migration(shop):
    """0004_customer_loyalty changes Customer after 0003_orders compiled Order against the old one."""
    result = migrate(shop, "apply")
    assert result.code == 0, result.err
    assert ["app:0004_customer_loyalty", "Customer", "(compiled", "again:", "Order)"] in [
        line.split() for line in result.out.splitlines()]
    assert applied(shop) == ALL  # nothing extra recorded for Order
    classes = load_classes(shop)
    customer = classes.get_model("Customer")(**CUSTOMER)
    order = classes.get_model("Order")(customer=customer, **ORDER)
    assert order.customer.phone == "+31 30 123"
    assert classes.get_model("Order").model_fields["customer"].annotation.__args__[1] is classes.get_model("Customer")


def test_followers_through_other_classes_and_base_classes(shop, compiled):
    """Address changes: Customer holds one, Order holds a Customer, BusinessCustomer derives from Customer."""
    migrate(shop, "apply")
    write_migration(shop, "0006_addresses.json", {"Address": {"meta_class": "type", "properties": {
        "street": STRING, "city": STRING, "region": STRING}, "required": ["street", "city"]}})
    compiled.clear()
    result = migrate(shop, "apply")
    assert result.code == 0, result.err
    batch = compiled[-1]
    assert batch[0] == "Address" and set(batch) == {"Address", "Customer", "Order", "BusinessCustomer"}
    assert batch.index("Customer") < batch.index("BusinessCustomer")  # a base class before its derived class
    classes = load_classes(shop)
    address = classes.get_model("Address")(street="Dam 1", city="Amsterdam", region="NH")
    customer = classes.get_model("BusinessCustomer")(**CUSTOMER, company="ACME", vat_number="NL1", address=address)
    assert isinstance(customer, classes.get_model("Customer"))
    order = classes.get_model("Order")(customer=customer, **ORDER)
    assert order.customer.address.region == "NH"


def test_apply_compiles_only_what_the_pending_migrations_need(shop, compiled):
    migrate(shop, "apply")
    write_migration(shop, "0006_coupons.json", {"Coupon": {"properties": {"code": STRING, "product": {
        "type": "Product"}}}})
    compiled.clear()
    result = migrate(shop, "apply")
    assert result.code == 0, result.err
    assert compiled == [["Product"], ["Coupon"]]
    assert "Compiled 1 class of the applied migrations that the pending ones need." in result.out


def test_a_pending_change_compiles_what_its_followers_need(shop, compiled):
    migrate(shop, "apply", "--to", "3")
    compiled.clear()
    assert migrate(shop, "apply", "--to", "4").code == 0
    # Customer changes: Order follows it, and Order needs OrderLine and Product as they are.
    replayed = {name for batch in compiled[:-1] for name in batch}
    assert replayed == {"LoyaltyAccount", "Customer", "Address", "Product", "Order", "OrderLine"}
    assert compiled[-1] == ["Customer", "Order"]


def test_every_command_sees_the_same_classes(shop):
    migrate(shop, "apply")
    check = migrate(shop, "check")
    assert check.out == "Checked 6 migrations: all valid, 7 classes compile.\n"
    source = migrate(shop, "show", "Order").out
    registry = load_classes(shop)
    project = Project(shop)
    definition = ClassGraph.checked(project.applied_sources(project.applied_records())).latest["Order"]
    assert registry._build_class_source(*definition.registration())[1].rstrip() in source
    assert "applied, compiled again by app:0004_customer_loyalty" in source


def test_show_says_whether_a_definition_is_applied_or_pending(shop):
    migrate(shop, "apply", "--to", "1")
    assert "as app:0001_customers defines it (schema type app); as applied" in migrate(shop, "show", "Address").out
    assert "as app:0004_customer_loyalty defines it (schema type app); pending" in migrate(
        shop, "show", "Customer").out


def test_a_follower_that_no_longer_compiles_is_named(shop):
    migrate(shop, "apply", "--to", "3")
    write_migration(shop, "0004_customer_loyalty.json", {"Customer": {"properties": {"total": STRING}}})
    (shop / "app/migrations/0005_business_customers.json").unlink()
    write_migration(shop, "0005_no_total.json", {"Order": {"properties": {"customer": {"type": "Customer"}},
                                                            "custom_code": "_total = Customer.model_fields['total'] is not None\n"}})
    result = migrate(shop, "apply")
    assert result.code == 0, result.err
    write_migration(shop, "0006_customer.json", {"Customer": {"properties": {"name": STRING}}})
    failed = migrate(shop, "apply")
    assert failed.code == 1
    assert ("app/migrations/0006_customer.json: custom code of class Order raised KeyError" in failed.err
            and "(compiled again because it references a class that this migration changes)" in failed.err)
    assert "app:0006_customer" not in applied(shop)


def test_load_classes_names_the_classes_it_has(shop):
    migrate(shop, "apply", "--to", "2")
    classes = load_classes(shop)
    with pytest.raises(KeyError) as caught:
        classes.get_model("Order")
    assert str(caught.value) == "no class 'Order' (the classes: Address, Customer, LoyaltyAccount, Product)"


LIBRARY = {
    "Member": {"properties": {"name": STRING}},
    "Book": {"properties": {"title": STRING}},
    "Loan": {"properties": {"member": {"type": "Member"}, "book": {"type": "Book"}}},
    "Category": {"properties": {"name": STRING, "parent": {"type": "Category"}}},
}


def held(classes, name, field):
    """How a class holds a field, and whether it takes a stored object's reference there."""
    model = classes.get_model(name)
    try:
        model(**{field: {"id": "stored-1"}})
        takes_reference = True
    except ValueError:
        takes_reference = False
    return str(model.model_fields[field].annotation), takes_reference


@pytest.mark.parametrize("change, name, field", [
    ({"class_name": "Book", "add": {"pages": {"type": "integer"}}}, "Loan", "member"),  # Loan follows Book
    ({"class_name": "Category", "add": {"slug": STRING}}, "Category", "parent"),       # a class of itself
])
def test_what_a_reference_takes_depends_on_definitions_only(shop, change, name, field):
    """Loan and Member come in one migration; a later one changes Book, which Loan also references:
    Loan compiles again beside the Member compiled before, and takes the same input as before."""
    write_migration(shop, "0006_library.json", LIBRARY)
    assert migrate(shop, "apply").code == 0
    before = held(load_classes(shop), name, field)
    write_migration(shop, "0007_change.json", {}, changes=[change])
    assert migrate(shop, "apply").code == 0
    assert held(load_classes(shop), name, field) == before
    assert before[1], before  # a reference to a stored object, like every class compiled before
