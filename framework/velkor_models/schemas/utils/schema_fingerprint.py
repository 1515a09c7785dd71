import hashlib
import json
from collections.abc import Mapping
from typing import Any

from pydantic import BaseModel


def calculate_schema_fingerprint(schema: BaseModel | Mapping[str, Any]) -> str:
    """Hex SHA-256 of the schema's canonical JSON form (sorted keys, no blanks)."""
    if isinstance(schema, BaseModel):
        content = schema.model_dump(mode="json")
    elif isinstance(schema, Mapping):
        content = dict(schema)
    else:
        raise TypeError(f"cannot fingerprint a {type(schema).__name__}: expected a schema record or a mapping")
    text = json.dumps(content, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()
