from enum import Enum


class CoreTypes(str, Enum):
    """Core property types. A member hashes and compares equal to its value."""

    STRING = "string"
    INTEGER = "integer"
    NUMBER = "number"
    BOOLEAN = "boolean"
    DATE = "date"
    DATETIME = "datetime"
    ARRAY = "array"
    DICTIONARY = "dictionary"
    OBJECT = "object"
