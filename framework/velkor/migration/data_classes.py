from __future__ import annotations

from enum import Enum
from pathlib import Path

from pydantic import BaseModel

from velkor_utils.models.data_models.address import Address


class ModuleTypes(str, Enum):
    APP = "app"
    CONTRIB = "contrib"


class MigrationFile(BaseModel):
    """One migration file of a module, and where it was recorded once applied."""

    number: int
    path: Path
    type: ModuleTypes
    module: str | None = None
    applied_at: float | None = None
    stored_address: Address | None = None
