"""baseline MIGRATION: every migration up to it recorded as applied without
compiling, apply starting after it, the history telling which records are a
baseline; the record is read from `status --format json`."""
import json

import pytest

from velkor.migration.runner import load_classes
from .conftest import ALL, migrate


def status(root):
    result = migrate(root, "status", "--format", "json")
    assert result.code == 0, result.out
    return json.loads(result.out)


def applied_labels(root):
    return [m["migration"] for m in status(root)["migrations"] if m["state"] == "applied"]


@pytest.mark.parametrize("storage", ["embedded_shop", "team_shop"])
def test_baseline_then_apply(request, storage):
    root = request.getfixturevalue(storage)
    result = migrate(root, "baseline", "app:0003_orders")
    assert result.code == 0, result.err
    assert result.out.splitlines()[-1] == ("Recorded 4 migrations as applied, up to app:0003_orders; 2 pending: "
                                           "apply starts after it.")
    found = status(root)
    assert applied_labels(root) == ALL[:4] and found["record"]["ok"]  # checksums kept: nothing changed since
    applying = migrate(root, "apply", "--format", "json")
    assert applying.code == 0, applying.out
    assert [m["migration"] for m in json.loads(applying.out)["applied"]] == ALL[4:]
    assert applied_labels(root) == ALL
    versions = json.loads(migrate(root, "history", "--format", "json").out)["versions"]
    assert [(v["migration"], v["event"], v["recorded_as"]) for v in versions] == (
        [(label, "saved", "baseline") for label in ALL[:4]] + [(label, "saved", "applied") for label in ALL[4:]])
    text = migrate(root, "history").out.splitlines()[3:]
    assert [line.split()[2] for line in text] == ["baseline"] * 4 + ["saved"] * 2
    assert load_classes(root).get_model("BusinessCustomer").__mro__[1].__name__ == "Customer"


def test_a_baseline_is_withdrawn_as_any_record(embedded_shop):
    assert migrate(embedded_shop, "baseline", "5").code == 0
    assert migrate(embedded_shop, "rollback", "--to", "app:1").code == 0
    assert applied_labels(embedded_shop) == ALL[:2]
    assert migrate(embedded_shop, "apply").code == 0
    assert applied_labels(embedded_shop) == ALL


@pytest.mark.parametrize("setup, target, message", [
    (["apply", "--to", "1"], "3",
     "cannot record a baseline: 2 migrations are applied already (loyalty:0001_loyalty_accounts, "
     "app:0001_customers); a baseline is recorded on a record that holds none: withdraw them first with "
     "`rollback --to zero`"),
    (["status"], "app:0009", 'no migration "app:0009" in the project'),
    (["status"], "billing:1", 'no migration "billing:1" in the project'),
    (["status"], "zero", '"zero" does not name a migration: write [module:]NUMBER, for example 3 or billing:0001'),
])
def test_a_baseline_that_cannot_be_recorded_is_refused(embedded_shop, setup, target, message):
    assert migrate(embedded_shop, *setup).code == 0
    before = status(embedded_shop)
    result = migrate(embedded_shop, "baseline", target)
    assert (result.code, result.err) == (1, f"error: {message}\n")
    assert status(embedded_shop) == before


def test_a_baseline_does_not_compile(embedded_shop):
    """A class whose custom code fails when it is compiled: recorded by a baseline all the same."""
    path = embedded_shop / "app/migrations/0002_products.json"
    document = json.loads(path.read_text())
    document["schemas"][0]["schema"]["custom_code"] = "raise RuntimeError('compiled')\n"
    path.write_text(json.dumps(document))
    assert migrate(embedded_shop, "apply").code == 1
    assert migrate(embedded_shop, "rollback", "--to", "zero").code == 0
    result = migrate(embedded_shop, "baseline", "app:0002_products")
    assert result.code == 0, result.err
    assert applied_labels(embedded_shop) == ALL[:3]


def test_an_invalid_file_is_refused_before_anything_is_recorded(embedded_shop):
    (embedded_shop / "app/migrations/0002_products.json").write_text('{"schemas": [}')
    result = migrate(embedded_shop, "baseline", "3")
    assert result.code == 1 and result.err.startswith("error: app/migrations/0002_products.json"), result.err
    assert applied_labels(embedded_shop) == []
