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
