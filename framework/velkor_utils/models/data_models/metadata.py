import time

from pydantic import BaseModel, ConfigDict, Field

from velkor_utils.models.data_models.address import Address
from velkor_utils.models.data_models.reference import Reference
from velkor_utils.models.enums import SchemaTypes


class Metadata(BaseModel):
    """Metadata of one stored object version."""

    model_config = ConfigDict(validate_assignment=True)

    address: Address
    class_schema_reference: Reference | None = None
    class_schema_type: SchemaTypes | None = None
    transaction: Address | None = None
    is_deleted: bool = False
    prior_version: str | None = None
    next_version: str | None = None
    created_at: float = Field(default_factory=time.time)
