"""Which configuration file is in force, and what the environment changes in it.

The file: ``--config FILE``, else the variable ``VELKOR_CONFIG``, else
``velkor.toml`` in the project folder (a relative FILE is relative to the
current folder). Its connections' ``url``, ``path`` and ``endpoint_url`` may
be overridden, one deployment at a time, by ``VELKOR_<CONNECTION>_URL``,
``VELKOR_<CONNECTION>_PATH`` and ``VELKOR_<CONNECTION>_ENDPOINT_URL`` (the
connection's name in capitals, every other character than a letter or a
digit as ``_``); an empty variable removes the key. A relative ``path``, in
the file or in a variable, is relative to the project folder.

The runner reads the file and applies the variables itself, and hands the
result to the ledger (``record.tables.ProjectVault``): the framework's own
reader of ``velkor.toml`` is not asked.
"""
from __future__ import annotations

import os
import re
import tomllib
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from velkor.configs.main import settings
from velkor_utils.config.data_models.velkor_config import VelkorConfig
from velkor_utils.config.manager import ConfigError, VelkorConfigManager

from velkor.migration.runner.errors import MigrationError
from velkor.migration.runner.redaction import holds_password

CONFIG_VARIABLE = "VELKOR_CONFIG"
CONFIG_OPTION = "--config"
OVERRIDDEN_KEYS = ("url", "path", "endpoint_url")


def override_variable(connection: str, key: str) -> str:
    """The variable that overrides a connection's key: ``VELKOR_REPOSITORY_URL``."""
    return f"VELKOR_{re.sub(r'[^A-Za-z0-9]', '_', connection).upper()}_{key.upper()}"


@dataclass(frozen=True)
class Configuration:
    """The configuration in force: the file, what chose it, the variables that override it, and the result."""

    path: Path
    chosen_by: str | None  # "--config", "VELKOR_CONFIG", or None: the project's velkor.toml
    overridden_by: list[str] = field(default_factory=list)
    config: VelkorConfig | None = None

    def describe(self) -> str:
        """``/srv/shop/velkor.toml (overridden by VELKOR_REPOSITORY_URL)``: names only, never a value."""
        why = [f"chosen by {self.chosen_by}"] if self.chosen_by else []
        if self.overridden_by:
            why.append(f"overridden by {', '.join(self.overridden_by)}")
        return f"{self.path}" + (f" ({'; '.join(why)})" if why else "")

    def document(self) -> dict[str, Any]:
        """As the JSON documents give it."""
        return {"file": str(self.path), "chosen_by": self.chosen_by, "overridden_by": list(self.overridden_by)}


def config_file(root: Path, given: str | os.PathLike[str] | None = None,
                environ: Mapping[str, str] | None = None) -> tuple[Path, str | None]:
    """The configuration file of the project in ``root`` and what chose it; an error when a chosen one is missing."""
    environ = os.environ if environ is None else environ
    if given is not None:
        chosen, by = Path(given), CONFIG_OPTION
    elif environ.get(CONFIG_VARIABLE):
        chosen, by = Path(environ[CONFIG_VARIABLE]), CONFIG_VARIABLE
    else:
        path = root / settings.CONFIG_FILE_NAME
        if not path.is_file():
            raise MigrationError(f"{root}: no {settings.CONFIG_FILE_NAME} here "
                                 "(run in a project folder, or give --project DIR or --config FILE)")
        return path, None
    path = Path.cwd() / chosen.expanduser()
    if not path.is_file():
        raise MigrationError(f"{path}: no such configuration file (given by {by})")
    return path.resolve(), by


def overridden(data: dict[str, Any], environ: Mapping[str, str]) -> tuple[dict[str, Any], list[str]]:
    """The configuration's data with the environment's overrides of its connections, and the variables used."""
    connections = data.get("connections")
    if not isinstance(connections, dict):
        return data, []
    used = []
    changed = {}
    for name, section in connections.items():
        if not isinstance(section, dict):
            changed[name] = section
            continue
        section = dict(section)
        for key in OVERRIDDEN_KEYS:
            variable = override_variable(name, key)
            if variable not in environ:
                continue
            value = environ[variable]
            if holds_password(value):
                raise MigrationError(f"{variable} holds a password: give it in the environment (PGPASSWORD) "
                                     "or in ~/.pgpass, or the credentials in the AWS_* variables")
            if value:
                section[key] = value
            else:
                section.pop(key, None)
            used.append(variable)
        changed[name] = section
    return {**data, "connections": changed}, used


def read_configuration(root: Path, path: Path, chosen_by: str | None,
                       environ: Mapping[str, str] | None = None) -> Configuration:
    """The configuration file read, with the environment's overrides applied, and checked."""
    environ = os.environ if environ is None else environ
    try:
        data = tomllib.loads(path.read_text(encoding="utf-8"))
    except tomllib.TOMLDecodeError as exc:
        raise MigrationError(f"{path}: invalid TOML: {exc}") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise MigrationError(f"{path}: cannot read the file: {exc}") from None
    data, used = overridden(data, environ)
    source = Configuration(path, chosen_by, used).describe()
    try:
        config = VelkorConfigManager.parse(data, source=source, project_root=root)
    except ConfigError as exc:
        raise MigrationError(str(exc)) from None
    return Configuration(path, chosen_by, used, config)


def has_storage(config: VelkorConfig) -> bool:
    """Whether the configuration names where the applied migrations are recorded."""
    resources = config.resources_config
    return bool(resources.repository.default or resources.lakehouse)
