"""Two hosts at different versions of the files share one record: the older
host still starts with the classes the record holds, says which migrations
it has no file of, and cannot withdraw them by accident."""
import json

from velkor.migration.runner import load_classes

from .conftest import ALL, applied_count, host_copy, migrate, write_migration

COUPON = {"Coupon": {"properties": {"code": {"type": "string"}}, "required": ["code"]}}


def test_an_older_host_starts_with_what_a_newer_one_applied(team_shop, tmp_path):
    older = host_copy(team_shop, tmp_path, "older-host")
    write_migration(team_shop, "0006_coupons.json", COUPON)  # the newer deploy
    assert migrate(team_shop, "apply").code == 0

    again = migrate(older, "apply")
    assert again.code == 0 and "every migration of this folder is applied" in again.out, again.out
    assert "Recorded by another run, with no file in this folder: app:0006_coupons" in again.err
    assert load_classes(older).get_model("Coupon")(code="SPRING").code == "SPRING"
    status = json.loads(migrate(older, "status", "--format", "json").out)
    assert status["summary"]["file_missing"] == 1 and status["summary"]["pending"] == 0

    refused = migrate(older, "rollback")
    assert refused.code == 1 and "app:0006_coupons (recorded" in refused.err and "--force" in refused.err
    assert applied_count(team_shop) == len(ALL) + 1
    assert migrate(older, "rollback", "--force").code == 0
    assert applied_count(team_shop) == len(ALL)
