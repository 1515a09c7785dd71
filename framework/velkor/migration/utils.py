from __future__ import annotations

from pathlib import Path

from velkor.configs.main import settings
from velkor.migration.data_classes import ModuleTypes
from velkor_utils.models.enums import SchemaTypes


def contrib_to_module_root_path(name: str) -> Path:
    """The migrations folder of the contrib module ``name``."""
    if not isinstance(name, str) or not name:
        raise ValueError(f"contrib module name must be a non-empty text, got {name!r}")
    return settings.CONTRIB_PATH / name / settings.MIGRATIONS_DIRECTORY_NAME


def map_module_type_to_schema_type(module_type: ModuleTypes | str) -> SchemaTypes:
    """The schema type of the classes that a module of this type defines."""
    return SchemaTypes(ModuleTypes(module_type).value)
