"""Numbers of migrations: new never takes a number that the record holds, and two files of one
number are a problem that status and check name beside the rest, and that apply refuses."""
import json
import shutil

import pytest

from .conftest import migrate


def status(root):
    result = migrate(root, "status", "--format", "json")
    return result.code, json.loads(result.out)


@pytest.mark.parametrize("deleted, module, created", [
    ("app/migrations/0005_business_customers.json", [], "app/migrations/0005_next.json"),  # not applied: free
    ("app/migrations/0005_business_customers.json", ["--module", "app"], "app/migrations/0005_next.json"),
])
def test_new_reuses_the_number_of_a_file_never_applied(shop, deleted, module, created):
    (shop / deleted).unlink()
    assert migrate(shop, "new", "next", *module).code == 0
    assert (shop / created).is_file()


@pytest.mark.parametrize("deleted, module, created", [
    ("app/migrations/0005_business_customers.json", [], "app/migrations/0006_next.json"),
    ("contrib/loyalty/migrations/0001_loyalty_accounts.json", ["--module", "loyalty"],
     "contrib/loyalty/migrations/0002_next.json"),
])
def test_new_never_takes_a_number_the_record_holds(shop, deleted, module, created):
    assert migrate(shop, "apply").code == 0
    (shop / deleted).unlink()
    result = migrate(shop, "new", "next", *module)
    assert result.code == 0, result.err
    assert (shop / created).is_file()
    code, found = status(shop)
    assert found["summary"]["file_missing"] == 1


def test_two_files_of_one_number(shop):
    again = shop / "app/migrations/0005_again.json"
    shutil.copy(shop / "app/migrations/0005_business_customers.json", again)
    problem = ("app/migrations/0005_business_customers.json: number 5 is also used by app/migrations/0005_again.json "
               "(give each migration of a module a number of its own)")
    code, found = status(shop)
    assert code == 1 and not found["ok"]
    assert [m["migration"] for m in found["migrations"]][-2:] == ["app:0005_again", "app:0005_business_customers"]
    assert found["summary"]["pending"] == 7
    assert found["record"]["duplicates"] == [problem] and problem in found["record"]["problems"]
    assert found["error"] == {"message": problem, "exit_status": 1}
    text = migrate(shop, "status")
    assert text.code == 1 and text.out.startswith("7 migrations: 0 applied, 7 pending.")
    assert text.err == f"error: {problem}\n"
    check = migrate(shop, "check", "--format", "json")
    assert check.code == 1 and json.loads(check.out)["record"]["problems"] == [problem]
    refused = migrate(shop, "apply")
    assert refused.code == 1 and refused.err == f"error: {problem}\n"
    assert status(shop)[1]["summary"]["applied"] == 0
    again.unlink()
    assert migrate(shop, "apply").code == 0
    assert status(shop)[1]["summary"]["applied"] == 6
