from __future__ import annotations

from velkor_utils.models.data_models.table_schema import TableSchema


class TableSchemasManager:
    """Table schemas known to the storage, by class name, shared by the whole process.

    Connections look a class up here whenever they use its table, so a
    registration reaches connections that are already open.
    """

    _tables: dict[str, TableSchema] = {}

    def register_table(self, schema: TableSchema) -> None:
        """Record ``schema`` for its class; registering again replaces the earlier schema."""
        if not isinstance(schema, TableSchema):
            raise TypeError(f"register_table expects a TableSchema, got {type(schema).__name__}")
        self._tables[schema.class_name] = schema

    def get_table(self, class_name: str) -> TableSchema | None:
        return self._tables.get(class_name)

    def tables(self) -> dict[str, TableSchema]:
        return dict(self._tables)

    def reset(self) -> None:
        """Forget every table (for tests)."""
        self._tables.clear()
