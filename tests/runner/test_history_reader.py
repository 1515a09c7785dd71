"""The history of the applied migrations read from the lakehouse by a data tool
alone (examples/read_history.py: polars, or DuckDB's SQL) holds the versions
that `velkor-migrate history` lists."""
import json
import os
import re
import runpy
import subprocess
import sys
from datetime import datetime
from pathlib import Path

import pytest

from .conftest import migrate

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "read_history.py"


def with_history(project):
    """The shop applied, two migrations rolled back and applied again: saved and deleted versions
    of one record, over three transactions."""
    for command in (["apply", "--to", "3"], ["rollback", "--steps", "2"], ["apply"]):
        result = migrate(project, *command)
        assert result.code == 0, result.err
    return project


@pytest.fixture
def lakehouse(embedded_shop):
    return with_history(embedded_shop) / ".velkor" / "lakehouse"


def read_history(*arguments, **environment):
    """The example run as a user runs it, from the repository's root."""
    return subprocess.run([sys.executable, str(EXAMPLE), *arguments], capture_output=True, text=True,
                          timeout=300, cwd=ROOT, env={**os.environ, **environment})


def as_history_lists(lakehouse):
    found = json.loads(migrate(lakehouse.parents[1], "history", "--format", "json").out)
    return [(datetime.fromisoformat(v["written_at"]).timestamp(), v["event"], v["migration"], v["transaction"],
             v["object_id"], v["object_version"]) for v in found["versions"]]


@pytest.mark.parametrize("reader", ["with_polars", "with_duckdb"])
def test_an_independent_reader_sees_the_versions_that_history_lists(lakehouse, reader):
    read = runpy.run_path(str(EXAMPLE))[reader]
    result = read(lakehouse)
    rows = result.rows() if reader == "with_polars" else result.fetchall()
    seen = [(written_at.timestamp(), event, f"{module}:{migration}", transaction, object_id, object_version)
            for written_at, event, module, migration, transaction, object_id, object_version in rows]
    expected = as_history_lists(lakehouse)
    assert [row[1:] for row in seen] == [row[1:] for row in expected]
    assert [row[0] for row in seen] == pytest.approx([row[0] for row in expected], abs=1e-5)
    assert len(expected) == 10 and [row[1] for row in expected].count("deleted") == 2


@pytest.mark.parametrize("options", [[], ["--sql"]])
def test_the_example_runs_without_this_package(lakehouse, options):
    script = ("import runpy, sys\n"
              "sys.argv = sys.argv[1:]\n"
              "runpy.run_path(sys.argv[0], run_name='__main__')\n"
              "loaded = sorted(name for name in sys.modules if name.split('.')[0].startswith('velkor'))\n"
              "assert not loaded, loaded\n")
    result = subprocess.run([sys.executable, "-c", script, str(EXAMPLE), *options, str(lakehouse)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 10
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  saved    loyalty:0001_loyalty_accounts  "
                        r"transaction [0-9A-Z]{26}", lines[0])
    assert [line.split()[3] for line in lines if line.split()[2] == "deleted"] == [
        "app:0003_orders", "app:0002_products"]


def test_the_readme_shows_the_example_as_it_runs():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## The history from any data tool"):]
    shown = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert shown in EXAMPLE.read_text(encoding="utf-8")


def test_the_docs_show_the_query_as_it_runs():
    doc = (ROOT / "docs" / "lakehouse.md").read_text(encoding="utf-8")
    shown = re.search(r"```sql\n(.*?)```", doc, re.S).group(1)
    assert shown.strip() == runpy.run_path(str(EXAMPLE))["HISTORY_SQL"].strip()


@pytest.mark.parametrize("options", [[], ["--sql"]])
@pytest.mark.parametrize("named_by", ["project folder", "s3 url"])
def test_the_example_reads_a_lakehouse_on_s3(team_shop, servers, named_by, options):
    """By the project folder (the endpoint from its velkor.toml) or by the lakehouse's s3:// URL
    (the endpoint from AWS_ENDPOINT_URL)."""
    project = with_history(team_shop)
    if named_by == "project folder":
        result = read_history(*options, str(project))
    else:
        url = re.search(r'path = "(s3://[^"]+)"', (project / "velkor.toml").read_text()).group(1)
        result = read_history(*options, url, AWS_ENDPOINT_URL=servers.s3_endpoint)
    assert result.returncode == 0, result.stderr
    seen = [(event, label, transaction) for _, _, event, label, _, transaction in
            (line.split() for line in result.stdout.splitlines())]
    listed = json.loads(migrate(project, "history", "--format", "json").out)["versions"]
    assert seen == [(v["event"], v["migration"], v["transaction"]) for v in listed]
    assert len(seen) == 10


@pytest.mark.parametrize("case", ["after make demo", "a project without one", "an empty s3 prefix"])
def test_where_there_is_no_lakehouse_the_example_says_so_in_one_line(shop, servers, case):
    if case == "after make demo":  # the demo's project was a temporary folder: nothing in the repository
        arguments, environment, said = [".velkor/lakehouse"], {}, "error: no lakehouse at .velkor/lakehouse ("
    elif case == "a project without one":
        arguments, environment, said = [str(shop)], {}, f"error: {shop / 'velkor.toml'} configures no lakehouse"
    else:
        empty = servers.lakehouse()
        arguments, environment = [empty], {"AWS_ENDPOINT_URL": servers.s3_endpoint}
        said = f"error: no lakehouse at {empty} ("
    for options in ([], ["--sql"]):
        result = read_history(*options, *arguments, **environment)
        assert (result.returncode, result.stdout) == (1, "")
        assert len(result.stderr.splitlines()) == 1 and result.stderr.startswith(said), result.stderr
