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
