"""The framework stand-in provides what the runner needs of a framework, as
``velkor.migration.runner.framework`` states it; and a project's operations
leave the framework's settings as they found them."""
import inspect
from pathlib import Path

import pytest

from velkor.configs.main import settings
from velkor.migration.runner import framework
from velkor.migration.runner.project import Project
from velkor_data.connections.manager import ConnectionsManager
from velkor_data.engines.base import NO_SPACE, StorageError
from velkor_data.manager import VelkorDataManager
from velkor_utils.config.data_models.velkor_config import ConnectionConfig
from velkor_utils.config.manager import VelkorConfigManager


def _parameters(function):
    return [name for name in inspect.signature(function).parameters if name != "self"]


def _held_to(obj, protocol):
    assert isinstance(obj, protocol), f"{type(obj).__name__} lacks a member of {protocol.__name__}"
    for name, member in vars(protocol).items():
        if not name.startswith("_") and callable(member):  # a method: the same parameters
            assert _parameters(getattr(obj, name)) == _parameters(member), f"{type(obj).__name__}.{name}"


def test_the_stand_in_holds_to_the_contract(tmp_path):
    manager = ConnectionsManager([
        ConnectionConfig(name="repository", engine="sqlite", path=str(tmp_path / "r.sqlite3")),
        ConnectionConfig(name="lakehouse", engine="delta", path=str(tmp_path / "lakehouse"))])
    transactions = VelkorDataManager().get_transaction_manager()
    with transactions.begin() as transaction:
        for obj, protocol in [(settings, framework.Settings), (manager, framework.Connections),
                              (manager.get_connection("repository"), framework.Connection),
                              (manager.get_connection("lakehouse"), framework.Connection),
                              (StorageError("a: b", "b"), framework.StorageError),
                              (transactions, framework.TransactionManager), (transaction, framework.Transaction),
                              (VelkorConfigManager(), framework.ConfigReader)]:
            _held_to(obj, protocol)
    manager.close()
    assert NO_SPACE == framework.NO_SPACE_CAUSE


@pytest.mark.parametrize("configured", [False, True])
def test_a_project_leaves_the_settings_as_it_found_them(shop, tmp_path, monkeypatch, configured):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    settings.configure(elsewhere if configured else None)
    project = Project(shop)
    with project.active():
        assert settings.PROJECT_ROOT == shop.resolve()
    assert settings.configured_root == (elsewhere.resolve() if configured else None)
    monkeypatch.chdir("/")
    assert settings.PROJECT_ROOT == (elsewhere.resolve() if configured else Path("/"))
