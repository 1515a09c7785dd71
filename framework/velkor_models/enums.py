from enum import Enum


class MetaClasses(str, Enum):
    TYPE = "type"
    CLASS = "class"
