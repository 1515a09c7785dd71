from __future__ import annotations

import tomllib
from pathlib import Path
from typing import Any

from pydantic import ValidationError

from velkor.configs.main import settings
from velkor_utils.config.data_models.velkor_config import ConfigError, VelkorConfig

__all__ = ["ConfigError", "DEFAULT_CONFIG", "VelkorConfigManager"]

# Used when the project has no velkor.toml.
DEFAULT_CONFIG: dict[str, Any] = {
    "connections": {
        "repository": {"engine": "sqlite", "path": ".velkor/repository.sqlite3"},
        "lakehouse": {"engine": "delta", "path": ".velkor/lakehouse"},
    },
    "resources_config": {"repository": {"default": "repository"}, "lakehouse": "lakehouse"},
}


def _describe(error: dict[str, Any]) -> str:
    field = ".".join(str(part) for part in error["loc"]) or "(top level)"
    if error["type"] == "value_error":  # a check of ours: the message says it all
        return f"{field}: {error['msg'].removeprefix('Value error, ')}"
    message = error["msg"][:1].lower() + error["msg"][1:]
    if error["type"] != "missing":
        message += f" (got {error['input']!r})"
    return f"{field}: {message}"


class VelkorConfigManager:
    """Reads the project configuration, by default ``velkor.toml`` in the project root."""

    def __init__(self, config_path: str | Path | None = None) -> None:
        self._config_path = Path(config_path) if config_path is not None else None

    @property
    def config_path(self) -> Path:
        return self._config_path if self._config_path is not None else settings.CONFIG_PATH

    def get_config(self) -> VelkorConfig:
        path = self.config_path
        if path.is_file():
            try:
                data = tomllib.loads(path.read_text(encoding="utf-8"))
            except tomllib.TOMLDecodeError as exc:
                raise ConfigError(f"{path}: invalid TOML: {exc}") from exc
            except (OSError, UnicodeDecodeError) as exc:
                raise ConfigError(f"{path}: cannot read the file: {exc}") from exc
            source = str(path)
        else:
            data, source = DEFAULT_CONFIG, f"{path} (built-in default)"
        return self.parse(data, source=source, project_root=path.parent)

    @staticmethod
    def parse(data: dict[str, Any], source: str, project_root: Path) -> VelkorConfig:
        """Validate configuration data; errors name ``source`` and the field path."""
        try:
            config = VelkorConfig.model_validate(data, context={"project_root": project_root})
        except ValidationError as exc:
            details = "; ".join(_describe(error) for error in exc.errors())
            raise ConfigError(f"{source}: {details}") from None
        for key, connection in config.connections.items():
            if connection.name != key:
                raise ConfigError(f"{source}: connections.{key}.name: must be {key!r} (the table key), got {connection.name!r}")
        resources = config.resources_config
        for field, name in (("resources_config.repository.default", resources.repository.default),
                            ("resources_config.lakehouse", resources.lakehouse)):
            if name and name not in config.connections:
                known = ", ".join(sorted(config.connections)) or "none"
                raise ConfigError(f"{source}: {field}: unknown connection {name!r} (configured: {known})")
        return config
