import hashlib
import json
from collections.abc import Mapping
from typing import Any

from pydantic import BaseModel


def calculate_schema_fingerprint(schema: BaseModel | Mapping[str, Any]) -> str:
    """Hex SHA-256 of the schema's JSON form.

    A record is dumped in its fields' order (pydantic's own serializer, which
    is fast); a mapping with sorted keys. Property order is part of a schema:
    it is the order of the generated class's fields.
    """
    if isinstance(schema, BaseModel):
        return hashlib.sha256(schema.model_dump_json().encode("utf-8")).hexdigest()
    if not isinstance(schema, Mapping):
        raise TypeError(f"cannot fingerprint a {type(schema).__name__}: expected a schema record or a mapping")
    text = json.dumps(dict(schema), sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return hashlib.sha256(text.encode("utf-8")).hexdigest()
