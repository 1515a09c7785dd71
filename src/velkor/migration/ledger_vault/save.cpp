// Saving an applied migration, and the row and metadata builders.
#include "native/calls.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

namespace {

PyObject* save_migration(const Globals&, PyObject* self, PyObject* migration) {
    PyErr_SetString(PyExc_NotImplementedError, "save_migration");
    return nullptr;
}

PyObject* build_migration_data(const Globals&, PyObject* migration) {
    PyErr_SetString(PyExc_NotImplementedError, "_build_migration_data");
    return nullptr;
}

PyObject* build_migration_metadata(const Globals&, PyObject* cls, PyObject* migration, PyObject* object_id) {
    PyErr_SetString(PyExc_NotImplementedError, "_build_migration_metadata");
    return nullptr;
}

}  // namespace

const FunctionDef save_migration_def = function<save_migration>(
    "save_migration", {{"self"}, {"migration", "MigrationFile"}}, "None");

const FunctionDef build_migration_data_def = function<build_migration_data>(
    "_build_migration_data", {{"migration", "MigrationFile"}}, "dict[str, Any]");

const FunctionDef build_migration_metadata_def = function<build_migration_metadata>(
    "_build_migration_metadata", {{"cls"}, {"migration", "MigrationFile"}, {"object_id", "str | None", nullptr, true}}, "tuple[Address, dict[str, Any]]");

}  // namespace velkor::ledger
