"""The project configuration (``velkor.toml``)."""
from __future__ import annotations

from pathlib import Path
from typing import Any, Literal

from pydantic import BaseModel, ConfigDict, Field, ValidationInfo, field_validator, model_validator


class ConfigError(ValueError):
    """The configuration file is malformed or names something wrong."""


class _Section(BaseModel):
    model_config = ConfigDict(extra="forbid")


class ConnectionConfig(_Section):
    name: str
    engine: Literal["sqlite", "delta"]
    path: Path

    @field_validator("path")
    @classmethod
    def _resolve_path(cls, path: Path, info: ValidationInfo) -> Path:
        path = path.expanduser()
        root = (info.context or {}).get("project_root")
        if not path.is_absolute() and root is not None:
            path = Path(root) / path
        return path


class RepositoryConfig(_Section):
    default: str | None = None


class ResourcesConfig(_Section):
    repository: RepositoryConfig = Field(default_factory=RepositoryConfig)
    lakehouse: str | None = None


class VelkorConfig(_Section):
    connections: dict[str, ConnectionConfig] = Field(default_factory=dict)
    resources_config: ResourcesConfig = Field(default_factory=ResourcesConfig)

    @model_validator(mode="before")
    @classmethod
    def _name_connections(cls, data: Any) -> Any:
        """A connection is named by its table key."""
        if isinstance(data, dict) and isinstance(data.get("connections"), dict):
            connections = {}
            for key, value in data["connections"].items():
                if isinstance(value, dict) and "name" not in value:
                    value = {"name": key, **value}
                connections[key] = value
            data = {**data, "connections": connections}
        return data
