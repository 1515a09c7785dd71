"""The classes an application loads are the ones the record says were
applied: a migration file edited since it was applied changes nothing but a
warning, until the change is recorded with apply --accept-changed."""
import sqlite3
import warnings

import pytest

from velkor.migration.runner import MigrationError, load_classes
from velkor.migration.runner.project import ChangedSinceApplied

from .conftest import migrate, write_migration

COUNTER = {"Counter": {"properties": {"count": {"type": "integer", "default": 0}}}}


@pytest.fixture
def counter(shop):
    """The shop with a Counter applied (a count of 0 by default), then its file edited to 7."""
    path = write_migration(shop, "0006_counter.json", COUNTER)
    assert migrate(shop, "apply").code == 0
    path.write_text(path.read_text().replace('"default": 0', '"default": 7'))
    return shop


def count_of(root, **options) -> int:
    return load_classes(root, **options).get_model("Counter")().count


def test_an_edited_applied_file_changes_no_class(counter):
    with pytest.warns(ChangedSinceApplied, match=r"app/migrations/0006_counter.json changed since it was applied"):
        assert count_of(counter) == 0
    with pytest.raises(MigrationError, match="--accept-changed app:0006_counter"):
        count_of(counter, strict=True)
    shown = migrate(counter, "show", "Counter")
    assert shown.code == 0 and "count: Optional[int] = 0" in shown.out and "as applied" in shown.out, shown.out
    assert "0006_counter.json changed since it was applied" in shown.err
    assert migrate(counter, "show", "Counter", "--strict").code == 1
    assert migrate(counter, "graph", "--strict").code == 1

    assert migrate(counter, "apply", "--accept-changed", "app:0006").code == 0
    with warnings.catch_warnings():
        warnings.simplefilter("error", ChangedSinceApplied)
        assert count_of(counter) == 7


def drop_the_documents(root):
    """The record as it was kept before the applied files' texts were."""
    with sqlite3.connect(root / ".velkor/repository.sqlite3") as db:
        db.execute("UPDATE _velkor_versions SET data = json_remove(data, '$.document') "
                   "WHERE class_name = 'MigrationChecksum'")


def test_a_record_without_the_documents_gets_them_at_the_next_apply(shop):
    path = write_migration(shop, "0006_counter.json", COUNTER)
    assert migrate(shop, "apply").code == 0
    drop_the_documents(shop)
    assert migrate(shop, "apply").code == 0  # the file is as applied: its text is recorded
    path.write_text(path.read_text().replace('"default": 0', '"default": 7'))
    with pytest.warns(ChangedSinceApplied, match="its classes are built as it was applied"):
        assert count_of(shop) == 0


def test_a_record_without_the_document_of_an_edited_file_says_so(shop):
    path = write_migration(shop, "0006_counter.json", COUNTER)
    assert migrate(shop, "apply").code == 0
    drop_the_documents(shop)
    path.write_text(path.read_text().replace('"default": 0', '"default": 7'))
    assert migrate(shop, "apply").code == 1  # changed since applied: nothing is guessed
    with pytest.warns(ChangedSinceApplied, match="the record keeps no text of it from before"):
        assert count_of(shop) == 7
    with pytest.raises(MigrationError):
        count_of(shop, strict=True)


def fields_of(model):
    return {name: str(field.annotation) for name, field in model.model_fields.items()}


def test_loading_some_classes_gives_them_as_loading_all_does(shop):
    assert migrate(shop, "apply").code == 0
    everything = load_classes(shop)
    some = load_classes(shop, classes=["Order"])
    assert {"Order", "OrderLine", "Customer", "Product"} <= set(some._classes) < set(everything._classes)
    for name in some._classes:
        assert fields_of(some.get_model(name)) == fields_of(everything.get_model(name)), name
    with pytest.raises(MigrationError, match=r'no class "Ordr" among the classes of the applied migrations '
                                             r'\(did you mean "Order"\?\)'):
        load_classes(shop, classes=["Ordr"])
