"""``schema``: the JSON Schema of a migration file, for editors."""
from __future__ import annotations

from velkor.migration.runner.output import Output
from velkor.migration.runner.source.file_schema import SCHEMA_PATH


def schema(out: Output) -> int:
    """Print the JSON Schema of a migration file."""
    out.line(SCHEMA_PATH.read_text(encoding="utf-8").rstrip("\n"))
    return 0
