from enum import Enum


class SchemaTypes(str, Enum):
    APP = "app"
    CONTRIB = "contrib"


class Versions:
    """Version markers; plain texts, not enumeration members."""

    LATEST: str = "latest"
