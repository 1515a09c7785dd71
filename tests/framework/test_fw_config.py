from pathlib import Path

import pytest

from velkor.configs.main import settings
from velkor.migration.utils import contrib_to_module_root_path
from velkor_utils.config.manager import ConfigError, VelkorConfigManager

FULL = """
[connections.repository]
engine = "sqlite"
path = "data/repository.sqlite3"
[connections.lakehouse]
engine = "delta"
path = "/srv/lakehouse"
[resources_config]
repository = { default = "repository" }
lakehouse = "lakehouse"
"""


def load(root: Path, text: str | None):
    if text is not None:
        (root / "velkor.toml").write_text(text)
    settings.configure(root)
    return VelkorConfigManager().get_config()


def test_default_config_without_file(tmp_path):
    config = load(tmp_path, None)
    assert {name: (c.engine, c.path) for name, c in config.connections.items()} == {
        "repository": ("sqlite", tmp_path / ".velkor" / "repository.sqlite3"),
        "lakehouse": ("delta", tmp_path / ".velkor" / "lakehouse"),
    }
    assert config.resources_config.repository.default == "repository"
    assert config.resources_config.lakehouse == "lakehouse"


def test_full_file_names_connections_and_resolves_relative_paths(tmp_path):
    config = load(tmp_path, FULL)
    assert [c.name for c in config.connections.values()] == ["repository", "lakehouse"]
    assert config.connections["repository"].path == tmp_path / "data" / "repository.sqlite3"
    assert config.connections["lakehouse"].path == Path("/srv/lakehouse")


@pytest.mark.parametrize("resources", [
    'repository = { default = "repository" }',
    'repository = { default = "repository" }\nlakehouse = ""',
    'lakehouse = "repository"',
])
def test_optional_lakehouse_and_repository_default(tmp_path, resources):
    text = '[connections.repository]\nengine = "sqlite"\npath = "r.db"\n[resources_config]\n' + resources
    config = load(tmp_path, text)
    assert list(config.connections) == ["repository"]


def test_malformed_file_reports_file_line_and_column(tmp_path):
    with pytest.raises(ConfigError) as error:
        load(tmp_path, '[connections.repository]\nengine = "sqlite"\npath = \n')
    message = str(error.value)
    assert str(tmp_path / "velkor.toml") in message
    assert "line 3" in message and "column" in message


@pytest.mark.parametrize("text, field", [
    ('[connections.repository]\npath = "r.db"', "connections.repository.engine: field required"),
    ('[connections.repository]\nengine = "mysql"\npath = "r.db"', "connections.repository.engine: input should be"),
    ('[connections.repository]\nengine = "sqlite"\npath = "r.db"\n[resources_config]\nlakehouse = "lake"',
     "resources_config.lakehouse: unknown connection 'lake'"),
    ('[connections.repository]\nengine = "sqlite"\npath = "r.db"\n[resources_config.repository]\ndefault = "x"',
     "resources_config.repository.default: unknown connection 'x'"),
    ('[connection.repository]\nengine = "sqlite"', "connection: extra inputs are not permitted"),
    ('[connections.db]\nengine = "postgresql"\nurl = "postgresql://deploy:secret@db:5432/shop"',
     "connections.db: `url` holds a password: remove it from the file and give it in the environment (PGPASSWORD)"),
    ('[connections.db]\nengine = "postgresql"\nurl = "postgresql://deploy@db/shop?password=secret"',
     "connections.db: `url` holds a password"),
    ('[connections.db]\nengine = "postgresql"\npath = "db.sqlite3"',
     "connections.db: engine 'postgresql' is a server database: give `url` (postgresql://user@host:port/dbname), "
     "not `path`"),
    ('[connections.db]\nengine = "postgresql"', "connections.db: engine 'postgresql' needs `url`"),
    ('[connections.db]\nengine = "postgresql"\nurl = "mysql://deploy@db/shop"', "must be a PostgreSQL URL"),
    ('[connections.db]\nengine = "postgresql"\nurl = "postgresql://deploy@db:5432"', "`url` must name the database"),
    ('[connections.db]\nengine = "sqlite"\nurl = "postgresql://deploy@db/shop"',
     "connections.db: engine 'sqlite' stores in a file: give `path`, not `url`"),
    ('[connections.db]\nengine = "sqlite"', "connections.db: engine 'sqlite' needs `path`"),
    ('[connections.db]\nengine = "sqlite"\npath = "s3://bucket/db"', "`path` cannot be a URI"),
    ('[connections.lake]\nengine = "delta"\npath = "gs://bucket/lake"', "unsupported object store 'gs'"),
    ('[connections.lake]\nengine = "delta"\npath = "s3:///lake"', "names no bucket"),
    ('[connections.lake]\nengine = "delta"\npath = "lake"\nendpoint_url = "http://127.0.0.1:9000"',
     "connections.lake: `endpoint_url` is for a lakehouse on object storage"),
])
def test_invalid_field_names_file_and_field(tmp_path, text, field):
    with pytest.raises(ConfigError, match="velkor.toml") as error:
        load(tmp_path, text)
    assert field in str(error.value)


def test_settings_follow_configure(tmp_path):
    settings.configure(tmp_path)
    assert settings.APP_PATH == tmp_path / "app"
    assert contrib_to_module_root_path("blog") == tmp_path / "contrib" / "blog" / "migrations"
    settings.configure(None)
    assert settings.PROJECT_ROOT == Path.cwd()


TEAM = """
[connections.repository]
engine = "postgresql"
url = "postgresql://deploy@db.internal:5432/shop"
[connections.lakehouse]
engine = "delta"
path = "s3://shop-lakehouse/migrations/"
endpoint_url = "https://s3.eu-west-1.amazonaws.com"
[resources_config]
repository = { default = "repository" }
lakehouse = "lakehouse"
"""


def test_server_and_object_store_locations_are_kept_as_written(tmp_path):
    config = load(tmp_path, TEAM)
    repository, lakehouse = config.connections["repository"], config.connections["lakehouse"]
    assert (repository.path, repository.location) == (None, "postgresql://deploy@db.internal:5432/shop")
    assert lakehouse.path == lakehouse.location == "s3://shop-lakehouse/migrations"
    assert lakehouse.endpoint_url == "https://s3.eu-west-1.amazonaws.com"
