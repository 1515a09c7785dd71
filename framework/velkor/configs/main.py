"""Project settings.

The project root is the current working directory unless ``configure`` names
another one. Every path is computed when it is read, so ``configure`` takes
effect for everything read afterwards.
"""
from __future__ import annotations

import os
from pathlib import Path


class Settings:
    MIGRATIONS_DIRECTORY_NAME: str = "migrations"
    CONFIG_FILE_NAME: str = "velkor.toml"

    def __init__(self) -> None:
        self._project_root: Path | None = None

    def configure(self, project_root: str | os.PathLike[str] | None = None) -> None:
        """Use ``project_root`` as the project root; ``None`` goes back to the working directory."""
        self._project_root = None if project_root is None else Path(project_root).expanduser().resolve()

    @property
    def configured_root(self) -> Path | None:
        """The root that ``configure`` named; ``None`` while the working directory is the root."""
        return self._project_root

    @property
    def PROJECT_ROOT(self) -> Path:
        return self._project_root if self._project_root is not None else Path.cwd()

    @property
    def APP_PATH(self) -> Path:
        return self.PROJECT_ROOT / "app"

    @property
    def CONTRIB_PATH(self) -> Path:
        return self.PROJECT_ROOT / "contrib"

    @property
    def CONFIG_PATH(self) -> Path:
        return self.PROJECT_ROOT / self.CONFIG_FILE_NAME

    def __repr__(self) -> str:
        return f"Settings(PROJECT_ROOT={self.PROJECT_ROOT})"


settings = Settings()
