import datetime

from velkor_models.schemas.enums import CoreTypes

# Python types of the scalar core types; collections and objects are rendered
# from their items instead.
BASIC_TYPES_MAP: dict[CoreTypes, type] = {
    CoreTypes.STRING: str,
    CoreTypes.INTEGER: int,
    CoreTypes.NUMBER: float,
    CoreTypes.BOOLEAN: bool,
    CoreTypes.DATE: datetime.date,
    CoreTypes.DATETIME: datetime.datetime,
}
