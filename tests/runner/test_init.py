"""A project started from nothing: init, new, apply and load_classes() as a user runs them; init
refusing to overwrite; init --team on the team's servers; --version and the bare command."""
import json
import re
import tomllib
from importlib.metadata import version

import pytest

from velkor.migration.runner import load_classes
from velkor.migration.runner.cli import run
from velkor.migration.runner.commands.init import EMBEDDED

from .conftest import EXAMPLE, applied_count, migrate

CUSTOMER = {"class_name": "Customer", "schema": {
    "properties": {"name": {"type": "string"}, "active": {"type": "boolean", "default": True}},
    "required": ["name"]}}


def fill(path, *entries):
    document = json.loads(path.read_text())
    document["schemas"] += list(entries)
    path.write_text(json.dumps(document, indent=2))


def test_first_steps_on_a_fresh_folder(tmp_path):
    root = tmp_path / "projects" / "shop"  # made by init, parents too
    made = migrate(root, "init")
    assert made.code == 0, made.err
    assert "Next: add the classes to 0001_initial.json, then run velkor-migrate apply." in made.out
    assert (root / "velkor.toml").read_text() == EMBEDDED
    assert json.loads((root / "app/migrations/0001_initial.json").read_text()) == {
        "description": "initial", "depends_on": [], "schemas": []}
    added = migrate(root, "new", "customers")
    assert added.code == 0 and "app/migrations/0002_customers.json" in added.out, added.err
    fill(root / "app/migrations/0002_customers.json", CUSTOMER)
    applying = migrate(root, "apply")
    assert applying.code == 0, applying.err
    assert applied_count(root) == 2
    Customer = load_classes(root).get_model("Customer")
    assert Customer(name="Ada").active is True
    assert (root / ".velkor" / "repository.sqlite3").is_file() and (root / ".velkor" / "lakehouse").is_dir()


def test_the_embedded_configuration_is_the_example_shops():
    example = tomllib.loads(EMBEDDED)
    shop = tomllib.loads((EXAMPLE / "velkor.toml").read_text())
    assert example == shop


@pytest.mark.parametrize("existing, message", [
    ({"velkor.toml": "# mine\n"}, "velkor.toml: already exists: init writes the configuration of a new project"),
    ({"app/migrations/0001_mine.json": "{}"}, "app/migrations: not empty: init starts the migrations of a new project"),
])
def test_init_overwrites_nothing(tmp_path, existing, message):
    for name, text in existing.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    result = migrate(tmp_path, "init")
    assert result.code == 1 and message in result.err, result.err
    for name, text in existing.items():
        assert (tmp_path / name).read_text() == text
    assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*") if p.is_file()) == sorted(existing)


def test_init_takes_its_folder_as_an_argument(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert run(["init", "here"]) == 0
    assert (tmp_path / "here/velkor.toml").is_file() and (tmp_path / "here/app/migrations/0001_initial.json").is_file()


def test_new_writes_a_file_where_no_storage_is_configured(tmp_path):
    (tmp_path / "velkor.toml").write_text("")
    result = migrate(tmp_path, "new", "first")
    assert result.code == 0, result.err
    assert (tmp_path / "app/migrations/0001_first.json").is_file()
    refused = migrate(tmp_path, "status")
    assert refused.code == 1 and "resources_config names neither a repository default" in refused.err


def team_filled(text, servers):
    """init --team's placeholders replaced by the test servers' addresses, the endpoint uncommented."""
    text = text.replace("postgresql://USER@HOST:5432/DATABASE", servers.database())
    text = text.replace("s3://BUCKET/migrations", servers.lakehouse())
    return re.sub(r'# endpoint_url = "[^"]*"', f'endpoint_url = "{servers.s3_endpoint}"', text)


def test_init_team_writes_placeholders_without_a_password(tmp_path):
    assert migrate(tmp_path, "init", "--team").code == 0
    text = (tmp_path / "velkor.toml").read_text()
    config = tomllib.loads(text)
    assert config["connections"]["repository"]["url"] == "postgresql://USER@HOST:5432/DATABASE"
    assert config["connections"]["lakehouse"]["path"] == "s3://BUCKET/migrations"
    assert "endpoint_url" not in config["connections"]["lakehouse"] and "# endpoint_url = " in text
    assert "PGPASSWORD" in text and "password =" not in text


def test_init_team_on_the_team_servers(tmp_path, servers):
    assert migrate(tmp_path, "init", "--team").code == 0
    config = tmp_path / "velkor.toml"
    config.write_text(team_filled(config.read_text(), servers))
    fill(tmp_path / "app/migrations/0001_initial.json", CUSTOMER)
    result = migrate(tmp_path, "apply")
    assert result.code == 0, result.err
    assert applied_count(tmp_path) == 1
    assert load_classes(tmp_path).get_model("Customer")(name="Ada").name == "Ada"


def test_version(capsys):
    with pytest.raises(SystemExit) as caught:
        run(["--version"])
    assert caught.value.code == 0
    assert capsys.readouterr().out == f"velkor-migrate {version('velkor-migration')}\n"


def test_no_command_prints_the_help(tmp_path):
    result = migrate(tmp_path)
    assert result.code == 0 and result.err == ""
    assert result.out.startswith("usage: velkor-migrate")
    assert all(f"    {command} " in result.out for command in ("init", "new", "apply", "status"))


def test_the_readme_first_steps_are_what_init_writes():
    section = (EXAMPLE.parents[1] / "README.md").read_text().split("## First steps", 1)[1].split("\n## ", 1)[0]
    shown = section.split("```toml\n", 1)[1].split("```", 1)[0]
    assert tomllib.loads(shown) == tomllib.loads(EMBEDDED)
    schemas = json.loads(section.split("```json\n", 1)[1].split("```", 1)[0])["schemas"]
    assert schemas == [CUSTOMER]
