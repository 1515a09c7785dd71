// Saving an applied migration, and the row and metadata builders.
//
// Read twice on purpose, as the interpreter does (see module.cpp): the
// repository's name from the configuration at both of its uses in
// save_migration, and cls.migration_address at both of its in
// _build_migration_metadata.
#include "native/calls.hpp"
#include "native/unpack.hpp"
#include "velkor/migration/ledger_vault/address_copy.hpp"
#include "velkor/migration/ledger_vault/configuration.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"
#include "velkor/migration/ledger_vault/shared_steps.hpp"

namespace velkor::ledger {

namespace {

// repository_connection_name and repository_connection_name != lakehouse_connection_name
int has_own_repository(PyObject* repository_connection_name, PyObject* lakehouse_connection_name) {
    const int named = PyObject_IsTrue(repository_connection_name);
    if (named <= 0) {
        return named;
    }
    Ref differs = Ref::steal(
        PyObject_RichCompare(repository_connection_name, lakehouse_connection_name, Py_NE));
    if (!differs) {
        return -1;
    }
    return PyObject_IsTrue(differs.get());
}

// def save_migration(self, migration: MigrationFile) -> None:
//     _migration_data = self._build_migration_data(migration)
//     _address, _metadata = self._build_migration_metadata(migration)
//     self._save_historical_data(address=_address, data=_migration_data, metadata=_metadata)
//     repository_connection_name = self._velkor_config.resources_config.repository.default
//     lakehouse_connection_name = self._velkor_config.resources_config.lakehouse
//     if repository_connection_name and repository_connection_name != lakehouse_connection_name:
//         _connection = self._connections_manager.get_connection(
//             self._velkor_config.resources_config.repository.default)
//         _connection.insert(address=_address, data={**_migration_data, "_metadata": _metadata})
PyObject* save_migration(const Globals&, PyObject* self, PyObject* migration) {
    Ref migration_data = call_method(self, _build_migration_data, {migration});
    if (!migration_data) {
        return nullptr;
    }
    Ref built = call_method(self, _build_migration_metadata, {migration});
    if (!built) {
        return nullptr;
    }
    Ref address_and_metadata[2];
    if (unpack(built.get(), address_and_metadata, 2) < 0) {
        return nullptr;
    }
    PyObject* row_address = address_and_metadata[0].get();
    PyObject* metadata = address_and_metadata[1].get();

    Ref saved = call_method_kw(self, _save_historical_data,
                               {row_address, migration_data.get(), metadata},
                               kw_address_data_metadata);
    if (!saved) {
        return nullptr;
    }

    Ref repository_connection_name = repository_default(self);
    if (!repository_connection_name) {
        return nullptr;
    }
    Ref lakehouse_connection_name = lakehouse_name(self);
    if (!lakehouse_connection_name) {
        return nullptr;
    }
    const int separate = has_own_repository(repository_connection_name.get(),
                                            lakehouse_connection_name.get());
    if (separate < 0) {
        return nullptr;
    }
    if (!separate) {
        Py_RETURN_NONE;
    }

    Ref connection = repository_connection(self);
    if (!connection) {
        return nullptr;
    }
    Ref row = copy_mapping(migration_data.get());
    if (!row || PyDict_SetItem(row.get(), _metadata, metadata) < 0) {
        return nullptr;
    }
    Ref inserted = call_method_kw(connection.get(), insert, {row_address, row.get()},
                                  kw_address_data);
    if (!inserted) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// data[key] = getattr(migration, field)
int set_from(PyObject* data, PyObject* key, PyObject* migration, PyObject* field) {
    Ref value = attr(migration, field);
    if (!value) {
        return -1;
    }
    return PyDict_SetItem(data, key, value.get());
}

// @staticmethod
// def _build_migration_data(migration: MigrationFile) -> dict[str, Any]:
//     return {
//         "number": migration.number,
//         "migration_name": migration.path.name,
//         "module_type": migration.type.value,
//         "module_name": migration.module,
//         "applied_at": migration.applied_at,
//     }
PyObject* build_migration_data(const Globals&, PyObject* migration) {
    Ref data = Ref::steal(PyDict_New());
    if (!data) {
        return nullptr;
    }
    if (set_from(data.get(), number, migration, number) < 0 ||
        set_item_from(data.get(), migration_name, migration, path, name) < 0 ||
        set_item_from(data.get(), module_type, migration, type, value) < 0 ||
        set_from(data.get(), module_name, migration, module) < 0 ||
        set_from(data.get(), applied_at, migration, applied_at) < 0) {
        return nullptr;
    }
    return data.release();
}

// Reference(ref=ReferenceData(**cls.migration_address.model_copy(
//     update={"class_version": Versions.LATEST}).model_dump()))
Ref latest_class_reference(const Globals& g, PyObject* cls) {
    Ref reference_class = g[Reference];
    if (!reference_class) {
        return Ref();
    }
    Ref reference_data_class = g[ReferenceData];
    if (!reference_data_class) {
        return Ref();
    }
    Ref copy_address = attr_path(cls, {migration_address, model_copy});
    if (!copy_address) {
        return Ref();
    }
    Ref versions = g[Versions];
    if (!versions) {
        return Ref();
    }
    Ref latest = attr(versions.get(), LATEST);
    if (!latest) {
        return Ref();
    }
    Ref latest_address = copy_with(copy_address.get(), class_version, latest.get());
    if (!latest_address) {
        return Ref();
    }
    Ref fields = call_method(latest_address.get(), model_dump);
    if (!fields) {
        return Ref();
    }
    Ref reference_data = call_unpacking(reference_data_class.get(), fields.get());
    if (!reference_data) {
        return Ref();
    }
    return call_kw(reference_class.get(), {reference_data.get()}, kw_ref);
}

// @classmethod
// def _build_migration_metadata(cls, migration: MigrationFile, object_id: str | None = None
//                               ) -> tuple[Address, dict[str, Any]]:
//     _address = cls.migration_address.model_copy(update={
//         "object_id": object_id or get_identifier(),
//         "object_version": get_identifier(),
//     })
//     _transaction_manager = VelkorDataManager().get_transaction_manager()
//     _metadata = Metadata(
//         address=_address,
//         class_schema_reference=Reference(ref=ReferenceData(**cls.migration_address.model_copy(
//             update={"class_version": Versions.LATEST}).model_dump())),
//         class_schema_type=map_module_type_to_schema_type(migration.type),
//         transaction=_transaction_manager.transaction_object.address,
//     )
//     return _address, json.loads(_metadata.model_dump_json())
PyObject* build_migration_metadata(const Globals& g, PyObject* cls, PyObject* migration,
                                   PyObject* object_id_given) {
    Ref copy_address = attr_path(cls, {migration_address, model_copy});
    if (!copy_address) {
        return nullptr;
    }
    Ref update = Ref::steal(PyDict_New());
    if (!update) {
        return nullptr;
    }
    const int has_object_id = PyObject_IsTrue(object_id_given);
    if (has_object_id < 0) {
        return nullptr;
    }
    Ref new_object_id = has_object_id ? Ref::borrow(object_id_given) : new_identifier(g);
    if (!new_object_id || PyDict_SetItem(update.get(), object_id, new_object_id.get()) < 0) {
        return nullptr;
    }
    Ref new_object_version = new_identifier(g);
    if (!new_object_version ||
        PyDict_SetItem(update.get(), object_version, new_object_version.get()) < 0) {
        return nullptr;
    }
    Ref row_address = call_kw(copy_address.get(), {update.get()}, kw_update);
    if (!row_address) {
        return nullptr;
    }

    Ref data_manager_class = g[VelkorDataManager];
    if (!data_manager_class) {
        return nullptr;
    }
    Ref data_manager = call(data_manager_class.get());
    if (!data_manager) {
        return nullptr;
    }
    Ref transaction_manager = call_method(data_manager.get(), get_transaction_manager);
    if (!transaction_manager) {
        return nullptr;
    }

    Ref metadata_class = g[Metadata];
    if (!metadata_class) {
        return nullptr;
    }
    Ref class_schema_reference = latest_class_reference(g, cls);
    if (!class_schema_reference) {
        return nullptr;
    }
    Ref schema_type_of = g[map_module_type_to_schema_type];
    if (!schema_type_of) {
        return nullptr;
    }
    Ref migration_type = attr(migration, type);
    if (!migration_type) {
        return nullptr;
    }
    Ref class_schema_type = call(schema_type_of.get(), {migration_type.get()});
    if (!class_schema_type) {
        return nullptr;
    }
    Ref transaction_address =
        attr_path(transaction_manager.get(), {transaction_object, address});
    if (!transaction_address) {
        return nullptr;
    }
    Ref metadata = call_kw(metadata_class.get(),
                           {row_address.get(), class_schema_reference.get(),
                            class_schema_type.get(), transaction_address.get()},
                           kw_metadata);
    if (!metadata) {
        return nullptr;
    }

    Ref parsed = json_form(g, metadata.get());
    if (!parsed) {
        return nullptr;
    }
    return PyTuple_Pack(2, row_address.get(), parsed.get());
}

}  // namespace

constexpr FunctionDef save_migration_def = function<save_migration>(
    "save_migration", {{"self"}, {"migration", "MigrationFile"}}, "None");

constexpr FunctionDef build_migration_data_def = function<build_migration_data>(
    "_build_migration_data", {{"migration", "MigrationFile"}}, "dict[str, Any]");

constexpr FunctionDef build_migration_metadata_def = function<build_migration_metadata>(
    "_build_migration_metadata",
    {{"cls"}, {"migration", "MigrationFile"}, {"object_id", "str | None", nullptr, true}},
    "tuple[Address, dict[str, Any]]");

}  // namespace velkor::ledger
