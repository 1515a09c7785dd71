"""A migration may change a class by naming only what changes, rename a class
and retire classes; plan names what breaks stored data or callers, and apply
refuses that while the repository holds records of the class."""
import json

import pytest

from velkor.migration.runner import load_classes
from velkor.migration.runner.project import Project
from velkor_data.table_schemas.manager import TableSchemasManager
from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.table_schema import TableColumnSchema, TableSchema

from .conftest import migrate

STRING = {"type": "string"}


def write(root, name, **document):
    path = root / "app" / "migrations" / name
    path.write_text(json.dumps({"schemas": [], **document}))


def fields(root, name):
    return list(load_classes(root).get_model(name).model_fields)


def plan_of(root) -> list[dict]:
    result = migrate(root, "plan", "--format", "json")
    assert result.code == 0, result.out
    return json.loads(result.out)["migrations"]


def store_records(root, class_name, count):
    """Records of a model class in the repository, as an application would have saved them."""
    address = Address(resource="resource", class_name=class_name)
    TableSchemasManager().register_table(TableSchema(address=address, columns=[
        TableColumnSchema(name="note", type=str, nullable=True)]))
    project = Project(root)
    with project.active():
        connection = project.recorder.ledger.connections.get_connection("repository")
        for number in range(count):
            connection.insert(address=address.model_copy(update={"object_id": f"o{number}", "object_version": "v1"}),
                              data={"note": "stored"})
        project.close()


def test_a_class_changed_by_its_changes_alone(shop):
    assert migrate(shop, "apply").code == 0
    before = fields(shop, "Customer")
    write(shop, "0006_customer_contact.json", changes=[{
        "class_name": "Customer", "add": {"mobile": STRING}, "remove": ["phone"],
        "alter": {"email": {"type": "string", "default": "unknown@example.org"}}}])
    [migration] = plan_of(shop)
    [change] = migration["classes"]
    assert change["change"] == "changed"
    assert {(f["field"], f["change"]) for f in change["fields"]} == {
        ("mobile", "added"), ("phone", "removed"), ("email", "changed")}
    assert next(f for f in change["fields"] if f["field"] == "phone")["breaking"]
    assert next(f for f in change["fields"] if f["field"] == "mobile")["breaking"] is None
    assert migrate(shop, "apply").code == 0
    assert fields(shop, "Customer") == [f for f in before if f != "phone"] + ["mobile"]
    assert migrate(shop, "rollback").code == 0
    assert fields(shop, "Customer") == before


def test_a_class_renamed_and_one_retired(shop):
    assert migrate(shop, "apply").code == 0
    write(shop, "0006_rename_orders.json", rename={"Order": "PurchaseOrder"}, retire=["BusinessCustomer"])
    [migration] = plan_of(shop)
    assert migration["retired"] == ["BusinessCustomer"]
    assert [(c["class"], c["change"], c["renamed_from"]) for c in migration["classes"]] == [
        ("PurchaseOrder", "renamed", "Order")]
    assert migrate(shop, "apply").code == 0
    classes = load_classes(shop)._classes
    assert "PurchaseOrder" in classes and "Order" not in classes and "BusinessCustomer" not in classes
    shown = migrate(shop, "show", "BusinessCustomer")
    assert shown.code == 1 and "retired by app:0006_rename_orders" in shown.err
    assert "PurchaseOrder" in migrate(shop, "graph").out
    assert migrate(shop, "rollback").code == 0
    assert {"Order", "BusinessCustomer"} <= set(load_classes(shop)._classes)


@pytest.mark.parametrize("document, problem", [
    ({"retire": ["Product"]}, "cannot retire Product: OrderLine still references it"),
    ({"rename": {"Customer": "Client"}}, "cannot rename Customer to Client: Order still references it"),
    ({"changes": [{"class_name": "Custmer", "add": {"x": STRING}}]}, "no class \"Custmer\" to change before this "
                                                                     "migration (did you mean \"Customer\"?)"),
    ({"changes": [{"class_name": "Customer", "remove": ["nickname"]}]}, "\"nickname\" is not a field of Customer"),
    ({"changes": [{"class_name": "Customer", "add": {"email": STRING}}]}, "\"email\" is already a field of Customer"),
    ({"retire": ["Customer"], "changes": [{"class_name": "Customer", "add": {"x": STRING}}]},
     "\"Customer\" is also named by changes[0]"),
])
def test_what_a_migration_cannot_do_to_a_class(shop, document, problem):
    assert migrate(shop, "apply").code == 0
    write(shop, "0006_bad.json", **document)
    result = migrate(shop, "check")
    assert result.code == 1 and problem in result.err, result.err


def test_a_breaking_change_waits_for_the_stored_records(shop):
    assert migrate(shop, "apply").code == 0
    write(shop, "0006_products_sku.json", changes=[{
        "class_name": "Product", "add": {"barcode": STRING}, "required": ["name", "barcode"]}])
    assert migrate(shop, "apply", "--dry-run").code == 0
    store_records(shop, "Product", 3)
    refused = migrate(shop, "apply")
    assert refused.code == 1 and "app:0006_products_sku breaks Product" in refused.err, refused.err
    assert "holds 3 records" in refused.err and "--allow-breaking" in refused.err
    assert migrate(shop, "apply", "--allow-breaking").code == 0
