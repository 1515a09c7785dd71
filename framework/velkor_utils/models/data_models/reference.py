from pydantic import BaseModel

from velkor_utils.models.data_models.address import Address


class ReferenceData(Address):
    """The address an object reference points to (same fields as ``Address``)."""


class Reference(BaseModel):
    """A reference to another stored object or class schema."""

    ref: ReferenceData
