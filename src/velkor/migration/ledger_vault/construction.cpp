// Building a ledger: configuration, connections and the Migration table.
//
// Read twice on purpose, as the interpreter does (see module.cpp):
// self._config_manager and self._velkor_config are read back from the
// instance right after they are set, not taken from the local value.
#include "native/calls.hpp"
#include "velkor/migration/ledger_vault/address_copy.hpp"
#include "velkor/migration/ledger_vault/configuration.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

namespace {

// def __init__(self) -> None:
//     self._config_manager = VelkorConfigManager()
//     self._velkor_config = self._config_manager.get_config()
//     self._connections_manager = ConnectionsManager(
//         list(self._velkor_config.connections.values()))
//     self._init_migration_table()
PyObject* init(const Globals& g, PyObject* self) {
    Ref config_manager_class = g[VelkorConfigManager];
    if (!config_manager_class) {
        return nullptr;
    }
    Ref config_manager = call(config_manager_class.get());
    if (!config_manager || PyObject_SetAttr(self, _config_manager, config_manager.get()) < 0) {
        return nullptr;
    }

    Ref stored_manager = attr(self, _config_manager);
    if (!stored_manager) {
        return nullptr;
    }
    Ref config = call_method(stored_manager.get(), get_config);
    if (!config || PyObject_SetAttr(self, _velkor_config, config.get()) < 0) {
        return nullptr;
    }

    Ref connections_manager_class = g[ConnectionsManager];
    if (!connections_manager_class) {
        return nullptr;
    }
    Ref configured = attr_path(self, {_velkor_config, connections});
    if (!configured) {
        return nullptr;
    }
    Ref settings_view = call_method(configured.get(), values);
    if (!settings_view) {
        return nullptr;
    }
    Ref settings_list = Ref::steal(PySequence_List(settings_view.get()));
    if (!settings_list) {
        return nullptr;
    }
    Ref connections_manager = call(connections_manager_class.get(), {settings_list.get()});
    if (!connections_manager ||
        PyObject_SetAttr(self, _connections_manager, connections_manager.get()) < 0) {
        return nullptr;
    }

    Ref registered = call_method(self, _init_migration_table);
    if (!registered) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// TableColumnSchema(name=column, type=kind, default=None[, nullable=nullable])
Ref column(const Globals& g, PyObject* column, PyTypeObject* kind, PyObject* nullable) {
    Ref column_class = g[TableColumnSchema];
    if (!column_class) {
        return Ref();
    }
    PyObject* kind_object = reinterpret_cast<PyObject*>(kind);
    if (nullable == nullptr) {
        return call_kw(column_class.get(), {column, kind_object, Py_None},
                       kw_name_type_default);
    }
    return call_kw(column_class.get(), {column, kind_object, Py_None, nullable},
                   kw_name_type_default_nullable);
}

// def _init_migration_table(self) -> None:
//     register_table = TableSchemasManager().register_table
//     address = self.migration_address.model_copy(
//         update={"resource": self._velkor_config.resources_config.repository.default})
//     columns = [
//         TableColumnSchema(name="number", type=int, default=None, nullable=False),
//         TableColumnSchema(name="migration_name", type=str, default=None, nullable=False),
//         TableColumnSchema(name="module_type", type=str, default=None, nullable=False),
//         TableColumnSchema(name="module_name", type=str, default=None, nullable=True),
//         TableColumnSchema(name="applied_at", type=float, default=None),
//     ]
//     register_table(TableSchema(address=address, columns=columns, indexed=[], unique_columns=[]))
PyObject* init_migration_table(const Globals& g, PyObject* self) {
    Ref schemas_manager_class = g[TableSchemasManager];
    if (!schemas_manager_class) {
        return nullptr;
    }
    Ref schemas_manager = call(schemas_manager_class.get());
    if (!schemas_manager) {
        return nullptr;
    }
    Ref register_schema = attr(schemas_manager.get(), register_table);
    if (!register_schema) {
        return nullptr;
    }

    Ref copy_address = attr_path(self, {migration_address, model_copy});
    if (!copy_address) {
        return nullptr;
    }
    Ref repository_name = repository_default(self);
    if (!repository_name) {
        return nullptr;
    }
    Ref table_address = copy_with(copy_address.get(), resource, repository_name.get());
    if (!table_address) {
        return nullptr;
    }

    Ref columns = Ref::steal(PyList_New(0));
    if (!columns) {
        return nullptr;
    }
    const struct {
        PyObject* name;
        PyTypeObject* kind;
        PyObject* nullable;  // nullptr: left to the schema's default
    } table[] = {
        {number, &PyLong_Type, Py_False},
        {migration_name, &PyUnicode_Type, Py_False},
        {module_type, &PyUnicode_Type, Py_False},
        {module_name, &PyUnicode_Type, Py_True},
        {applied_at, &PyFloat_Type, nullptr},
    };
    for (const auto& entry : table) {
        Ref built = column(g, entry.name, entry.kind, entry.nullable);
        if (!built || PyList_Append(columns.get(), built.get()) < 0) {
            return nullptr;
        }
    }

    Ref schema_class = g[TableSchema];
    if (!schema_class) {
        return nullptr;
    }
    Ref indexed = Ref::steal(PyList_New(0));
    Ref unique_columns = Ref::steal(PyList_New(0));
    if (!indexed || !unique_columns) {
        return nullptr;
    }
    Ref schema = call_kw(schema_class.get(),
                         {table_address.get(), columns.get(), indexed.get(), unique_columns.get()},
                         kw_table_schema);
    if (!schema) {
        return nullptr;
    }
    Ref registered = call(register_schema.get(), {schema.get()});
    if (!registered) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

constexpr FunctionDef init_def = function<init>(
    "__init__", {{"self"}}, "None");

constexpr FunctionDef init_migration_table_def = function<init_migration_table>(
    "_init_migration_table", {{"self"}}, "None");

}  // namespace velkor::ledger
