"""The record keeps the order its runs committed in, whatever the clocks of
the hosts that ran them say: rollback withdraws the migration recorded last."""
import json
import time

from .conftest import ALL, migrate


def states(root) -> dict[str, str]:
    result = migrate(root, "status", "--format", "json")
    assert result.code == 0, result.out
    return {item["migration"]: item["state"] for item in json.loads(result.out)["migrations"]}


def test_rollback_follows_the_record_not_the_clock(shop, monkeypatch):
    assert migrate(shop, "apply", "--to", "4").code == 0
    real = time.time
    monkeypatch.setattr(time, "time", lambda: real() - 600)  # this host's clock: ten minutes behind
    later = migrate(shop, "apply")
    monkeypatch.undo()
    assert later.code == 0 and "clock is 600 s behind the newest record" in later.err, later.err

    assert migrate(shop, "rollback").code == 0
    assert states(shop) == {**{label: "applied" for label in ALL[:-1]}, ALL[-1]: "pending"}
    assert migrate(shop, "rollback", "--steps", "2").code == 0
    assert [label for label, state in states(shop).items() if state == "pending"] == ALL[-3:]


TAG_COLOR = {"Tag": {"properties": {"name": {"type": "string"}, "color": {"type": "string"}}}}
TAG_WEIGHT = {"Tag": {"properties": {"name": {"type": "string"}, "weight": {"type": "integer"}}}}


def test_the_same_files_and_record_give_the_same_classes_whatever_the_order_of_runs(shop, tmp_path):
    """0009 applied, then 0008 out of order; a fresh copy applies both in one run."""
    import shutil
    from velkor.migration.runner import load_classes
    from .conftest import write_migration
    fresh = tmp_path / "fresh"
    shutil.copytree(shop, fresh)
    for root in (shop, fresh):
        write_migration(root, "0009_tags.json", TAG_COLOR)
    assert migrate(shop, "apply").code == 0
    for root in (shop, fresh):
        write_migration(root, "0008_weights.json", TAG_WEIGHT)
    late = migrate(shop, "apply", "--out-of-order")
    assert late.code == 0, late.err
    assert "the definition of app:0009_tags stays in force" in late.err
    assert migrate(fresh, "apply").code == 0
    fields = [list(load_classes(root).get_model("Tag").model_fields) for root in (shop, fresh)]
    assert fields == [["name", "color"], ["name", "color"]]
