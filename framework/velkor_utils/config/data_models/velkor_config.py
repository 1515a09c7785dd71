"""The project configuration (``velkor.toml``)."""
from __future__ import annotations

import re
from pathlib import Path
from typing import Any, Literal
from urllib.parse import parse_qs, urlsplit

from pydantic import BaseModel, ConfigDict, Field, ValidationInfo, field_validator, model_validator


class ConfigError(ValueError):
    """The configuration file is malformed or names something wrong."""


# Engines that store in a file or folder (``path``), and those that talk to a server (``url``).
FILE_ENGINES = ("sqlite", "delta")
SERVER_ENGINES = ("postgresql",)
# Object stores a lakehouse path may name instead of a folder.
OBJECT_STORE_SCHEMES = ("s3",)
_URI = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]*)://")
_SERVER_URL = "postgresql://user@host:port/dbname"
# The Delta Lake library turns a local folder's path into a URL and back,
# decoding it twice and parsing part of it as a host name: a path holding a
# control character, one of \ [ ] ^ |, or % before two hex digits is then
# written elsewhere, refused, or makes the library panic.
_NOT_FOR_DELTA = re.compile(r"[\x00-\x1f\x7f\\\[\]^|]|%[0-9A-Fa-f]{2}")


def is_uri(path: str | Path | None) -> bool:
    """Whether a location names an object store (``s3://bucket/prefix``) rather than a local path."""
    return isinstance(path, str) and _URI.match(path) is not None


class _Section(BaseModel):
    model_config = ConfigDict(extra="forbid")


class ConnectionConfig(_Section):
    """A named storage location: a file or folder (``path``), an object-store URI
    (``path = "s3://bucket/prefix"``, Delta only, ``endpoint_url`` optional), or a
    server database (``url``, PostgreSQL; the password comes from the environment)."""

    name: str
    engine: Literal["sqlite", "delta", "postgresql"]
    path: Path | str | None = None
    url: str | None = None
    endpoint_url: str | None = None

    @field_validator("path", mode="plain")
    @classmethod
    def _resolve_path(cls, path: Any, info: ValidationInfo) -> Path | str | None:
        """A URI stays text; a local path becomes a Path, relative to the project root."""
        if path is None:
            return None
        if not isinstance(path, (str, Path)):
            raise ValueError(f"`path` must be text, got {path!r}")
        text = str(path)
        if _URI.match(text):
            return text.rstrip("/")
        resolved = Path(text).expanduser()
        root = (info.context or {}).get("project_root")
        if not resolved.is_absolute() and root is not None:
            resolved = Path(root) / resolved
        return resolved

    @model_validator(mode="after")
    def _check_location(self) -> ConnectionConfig:
        engine = self.engine
        if engine in SERVER_ENGINES:
            if self.path is not None:
                raise ValueError(f"engine {engine!r} is a server database: give `url` ({_SERVER_URL}), not `path`")
            if not self.url:
                raise ValueError(f"engine {engine!r} needs `url` ({_SERVER_URL})")
            _check_server_url(self.url)
        else:
            if self.url is not None:
                raise ValueError(f"engine {engine!r} stores in {'a file' if engine == 'sqlite' else 'a folder'}: "
                                 "give `path`, not `url`")
            if self.path is None or str(self.path) == "":
                raise ValueError(f"engine {engine!r} needs `path`")
            if is_uri(self.path):
                _check_object_store_uri(engine, self.path)  # type: ignore[arg-type]
            elif engine == "delta":
                _check_delta_folder(self.path)  # type: ignore[arg-type]
        if self.endpoint_url is not None:
            if not is_uri(self.path):
                raise ValueError("`endpoint_url` is for a lakehouse on object storage (path = \"s3://bucket/prefix\")")
            if not re.match(r"^https?://[^/\s]+", self.endpoint_url):
                raise ValueError(f"`endpoint_url` must be an http:// or https:// address, got {self.endpoint_url!r}")
        return self

    @property
    def location(self) -> str:
        """Where the connection stores, for messages: the path, URI or URL (which holds no password)."""
        return self.url if self.url is not None else str(self.path)


def _check_server_url(url: str) -> None:
    parts = urlsplit(url)
    if parts.scheme not in ("postgresql", "postgres"):
        raise ValueError(f"`url` must be a PostgreSQL URL ({_SERVER_URL}), got {url!r}")
    if parts.password is not None or "password" in parse_qs(parts.query):
        raise ValueError("`url` holds a password: remove it from the file and give it in the environment "
                         "(PGPASSWORD) or in ~/.pgpass")
    if not parts.hostname:
        raise ValueError(f"`url` must name the server's host ({_SERVER_URL}), got {url!r}")
    if parts.path.strip("/") == "":
        raise ValueError(f"`url` must name the database ({_SERVER_URL}), got {url!r}")


def _check_delta_folder(path: Path) -> None:
    found = _NOT_FOR_DELTA.search(str(path.resolve()))
    if found:
        raise ValueError(f"the lakehouse folder {str(path)!r} cannot hold Delta tables: its path holds "
                         f"{found.group()!r}, which the Delta Lake library cannot take in a local folder's path: "
                         "move the project, or give the lakehouse another `path`")


def _check_object_store_uri(engine: str, uri: str) -> None:
    scheme = _URI.match(uri).group(1)  # type: ignore[union-attr]
    if engine != "delta":
        raise ValueError(f"engine {engine!r} stores in a local file: `path` cannot be a URI, got {uri!r}")
    if scheme not in OBJECT_STORE_SCHEMES:
        raise ValueError(f"unsupported object store {scheme!r} in `path` {uri!r} (a lakehouse path is a folder "
                         "or s3://bucket/prefix)")
    if not urlsplit(uri).netloc:
        raise ValueError(f"`path` {uri!r} names no bucket (s3://bucket/prefix)")


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
