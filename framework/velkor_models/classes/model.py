"""Base classes of the model classes generated from object schemas."""
from pydantic import BaseModel, ConfigDict


class Model(BaseModel):
    """Base of every generated model class."""

    model_config = ConfigDict(validate_assignment=True, arbitrary_types_allowed=True)


class TypeModel(Model):
    """Base of generated type classes: values embedded in other models."""


class LegacyModel(BaseModel):
    """A reference to an object in the legacy form: its identifier only."""

    id: str
