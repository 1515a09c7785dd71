"""The class snapshot lets a run start from the classes the last run left
instead of every applied document: the classes it gives are the classes the
whole history gives, and it is used only for exactly the migrations it was
made of."""
import hashlib
import json
import shutil

import pytest

from velkor.migration.runner import load_classes
from velkor.migration.runner.classes import reference_graph

from .conftest import migrate, write_migration

SNAPSHOT = ".velkor/class-snapshot.json"


def classes_of(root):
    """Every class's fields: their annotations (what a reference accepts included) and defaults."""
    registry = load_classes(root)
    return {name: {field: (str(info.annotation), repr(info.default))
                   for field, info in registry.get_model(name).model_fields.items()}
            for name in registry._classes}


def history_of(root, tmp_path):
    """The classes of a copy of the folder without its snapshot: built from every applied document."""
    copy = tmp_path / "history"
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(root, copy)
    (copy / SNAPSHOT).unlink(missing_ok=True)
    return classes_of(copy)


@pytest.fixture
def loads(monkeypatch):
    """The files each graph reads (a snapshot stands for the others)."""
    seen = []
    real = reference_graph.load_problems

    def recording(sources, only=None):
        seen.append([source.label for source in (sources if only is None else only)])
        return real(sources, only)

    monkeypatch.setattr(reference_graph, "load_problems", recording)
    return seen


def test_classes_started_from_the_snapshot_are_the_classes_of_the_whole_history(shop, tmp_path, loads):
    write_migration(shop, "0006_loans.json", {
        "Member": {"properties": {"name": {"type": "string"}, "sponsor": {"type": "Member"}}},
        "Loan": {"properties": {"member": {"type": "Member"}, "book": {"type": "Product"}}}})
    write_migration(shop, "0007_products.json", {"Product": {"properties": {"sku": {"type": "string"}}}})
    for step in (["--to", "2"], ["--to", "4"], ["--to", "6"], []):
        assert migrate(shop, "apply", *step).code == 0
    # each run after the first read only the files it applied
    assert loads[1:] == [["app:0003_orders", "app:0004_customer_loyalty"],
                         ["app:0005_business_customers", "app:0006_loans"], ["app:0007_products"]]
    loads.clear()
    assert classes_of(shop) == history_of(shop, tmp_path)
    assert loads[0] == []  # the snapshot stood for every applied migration
    some = load_classes(shop, classes=["Loan"])
    assert set(some._classes) == {"Loan", "Member", "Product"}


def test_an_apply_after_a_rollback_of_the_last_one_starts_from_the_snapshot_before_it(shop, tmp_path, loads):
    for args in (["apply", "--to", "4"], ["apply"], ["rollback"]):
        assert migrate(shop, *args).code == 0
    loads.clear()
    assert migrate(shop, "apply").code == 0
    assert loads == [["app:0005_business_customers"]]
    assert classes_of(shop) == history_of(shop, tmp_path)


def accepted_edit(root):
    path = root / "app/migrations/0002_products.json"
    path.write_text(path.read_text().replace('"price": {"type": "number"}', '"price": {"type": "integer"}'))
    assert migrate(root, "apply", "--accept-changed", "2").code == 0


def rolled_back(root):
    assert migrate(root, "rollback").code == 0


def garbage(root):
    (root / SNAPSHOT).write_bytes(b"{\x00")


def edited(root, change):
    """The snapshot's lines of JSON changed, its digest of them made anew."""
    head, _, payload = (root / SNAPSHOT).read_bytes().partition(b"\n")
    header = json.loads(head)
    line, _, body = payload.partition(b"\n")
    data = json.loads(line)
    change(header, data)
    payload = json.dumps(data).encode() + b"\n" + body
    header["digest"] = hashlib.sha256(payload).hexdigest()
    (root / SNAPSHOT).write_bytes(json.dumps(header).encode() + b"\n" + payload)


def of_other_rules(root):
    edited(root, lambda header, data: header.update(rules="0" * 64))


def of_other_documents(root):
    """The snapshot claims another text for an applied migration."""
    edited(root, lambda header, data: data["sources"][0].__setitem__(2, "0" * 64))


def with_a_class_lost(root):
    """A line of a class cut out (a snapshot spoiled on disk): its digest no longer holds."""
    text = (root / SNAPSHOT).read_bytes()
    (root / SNAPSHOT).write_bytes(text[:text.rindex(b"\n", 0, len(text) - 1) + 1])


@pytest.mark.parametrize("change", [accepted_edit, rolled_back, garbage, of_other_rules, of_other_documents,
                                    with_a_class_lost])
def test_a_snapshot_of_other_migrations_is_not_used(shop, tmp_path, loads, change):
    assert migrate(shop, "apply").code == 0
    change(shop)
    loads.clear()
    assert classes_of(shop) == history_of(shop, tmp_path)
    assert loads[0], "the classes were built from the documents"
