from __future__ import annotations

import ast as _ast

from pydantic import BaseModel, ConfigDict, Field, model_validator

_IMPORT_NODES = (_ast.Import, _ast.ImportFrom)


class CustomCodeAst(BaseModel):
    """Custom code of a schema, parsed and split into its top-level statements.

    ``ast_imports`` holds the import statements and ``ast`` every other
    statement, each in source order. Text that does not parse raises
    ``SyntaxError`` naming the line and column.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True)

    custom_code: str
    ast_imports: list[_ast.stmt] = Field(default_factory=list, exclude=True)
    ast: list[_ast.stmt] = Field(default_factory=list, exclude=True)

    @model_validator(mode="after")
    def _split(self) -> CustomCodeAst:
        try:
            module = _ast.parse(self.custom_code, filename="<custom code>")
        except SyntaxError as exc:
            raise SyntaxError(
                f"custom code does not parse: line {exc.lineno}, column {exc.offset}: {exc.msg}"
            ) from exc
        self.ast_imports = [node for node in module.body if isinstance(node, _IMPORT_NODES)]
        self.ast = [node for node in module.body if not isinstance(node, _IMPORT_NODES)]
        return self
