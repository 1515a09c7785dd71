# Type stubs for the native module velkor.migration._native: the function type
# of the package's native modules.
from typing import Any, final

@final
class native_function:
    __name__: str
    __qualname__: str
    __module__: Any
    __doc__: None
    __annotations__: dict[str, str]
    __defaults__: tuple[None, ...] | None
    __kwdefaults__: None
    __globals__: dict[str, Any]
    __dict__: dict[str, Any]
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __get__(self, instance: object, owner: type | None = None) -> Any: ...
