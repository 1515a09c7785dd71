// Withdrawing a migration.
//
// Read twice on purpose, as the interpreter does (see module.cpp):
// migration.stored_address is looked up anew at each of its five uses, and
// the repository's name from the configuration at both of its.
#include "native/calls.hpp"
#include "native/unpack.hpp"
#include "velkor/migration/ledger_vault/address_copy.hpp"
#include "velkor/migration/ledger_vault/configuration.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"
#include "velkor/migration/ledger_vault/shared_steps.hpp"

namespace velkor::ledger {

namespace {

// _historical_address = migration.stored_address.model_copy(
//     update={"object_version": get_identifier()})
Ref new_version_of(const Globals& g, PyObject* migration) {
    Ref copy_address = attr_path(migration, {stored_address, model_copy});
    if (!copy_address) {
        return Ref();
    }
    Ref version = new_identifier(g);
    if (!version) {
        return Ref();
    }
    return copy_with(copy_address.get(), object_version, version.get());
}

// def delete_migration(self, migration: MigrationFile) -> None:
//     if not migration.stored_address:
//         return None
//     _migration_data = self._build_migration_data(migration)
//     _historical_address = migration.stored_address.model_copy(
//         update={"object_version": get_identifier()})
//     _, _metadata = self._build_migration_metadata(
//         migration, object_id=migration.stored_address.object_id)
//     # The metadata describes the version written beside it, so that the
//     # history pairs the deleted version with its metadata document.
//     _metadata["address"] = json.loads(_historical_address.model_dump_json())
//     _metadata["prior_version"] = migration.stored_address.object_version
//     _metadata["is_deleted"] = True
//     self._save_historical_data(
//         address=_historical_address, data=_migration_data, metadata=_metadata)
//     if self._velkor_config.resources_config.repository.default:
//         _connection = self._connections_manager.get_connection(
//             self._velkor_config.resources_config.repository.default)
//         _connection.delete(migration.stored_address)
PyObject* delete_migration(const Globals& g, PyObject* self, PyObject* migration) {
    Ref stored = attr(migration, stored_address);
    if (!stored) {
        return nullptr;
    }
    const int is_stored = PyObject_IsTrue(stored.get());
    if (is_stored < 0) {
        return nullptr;
    }
    if (!is_stored) {
        Py_RETURN_NONE;
    }

    Ref migration_data = call_method(self, _build_migration_data, {migration});
    if (!migration_data) {
        return nullptr;
    }
    Ref historical_address = new_version_of(g, migration);
    if (!historical_address) {
        return nullptr;
    }
    Ref stored_object_id = attr_path(migration, {stored_address, object_id});
    if (!stored_object_id) {
        return nullptr;
    }
    Ref built = call_method_kw(self, _build_migration_metadata,
                               {migration, stored_object_id.get()}, kw_object_id);
    if (!built) {
        return nullptr;
    }
    Ref unused_address_and_metadata[2];
    if (unpack(built.get(), unused_address_and_metadata, 2) < 0) {
        return nullptr;
    }
    PyObject* metadata = unused_address_and_metadata[1].get();

    Ref historical_form = json_form(g, historical_address.get());
    if (!historical_form || PyObject_SetItem(metadata, address, historical_form.get()) < 0) {
        return nullptr;
    }
    if (set_item_from(metadata, prior_version, migration, stored_address, object_version) < 0 ||
        PyObject_SetItem(metadata, is_deleted, Py_True) < 0) {
        return nullptr;
    }

    Ref saved = call_method_kw(self, _save_historical_data,
                               {historical_address.get(), migration_data.get(), metadata},
                               kw_address_data_metadata);
    if (!saved) {
        return nullptr;
    }

    Ref repository_name = repository_default(self);
    if (!repository_name) {
        return nullptr;
    }
    const int has_repository = PyObject_IsTrue(repository_name.get());
    if (has_repository < 0) {
        return nullptr;
    }
    if (!has_repository) {
        Py_RETURN_NONE;
    }
    Ref connection = repository_connection(self);
    if (!connection) {
        return nullptr;
    }
    Ref stored_for_delete = attr(migration, stored_address);
    if (!stored_for_delete) {
        return nullptr;
    }
    Ref deleted = call_method(connection.get(), delete_, {stored_for_delete.get()});
    if (!deleted) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

constexpr FunctionDef delete_migration_def = function<delete_migration>(
    "delete_migration", {{"self"}, {"migration", "MigrationFile"}}, "None");

}  // namespace velkor::ledger
