// Withdrawing a migration.
#include "native/calls.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

namespace {

PyObject* delete_migration(const Globals&, PyObject* self, PyObject* migration) {
    PyErr_SetString(PyExc_NotImplementedError, "delete_migration");
    return nullptr;
}

}  // namespace

const FunctionDef delete_migration_def = function<delete_migration>(
    "delete_migration", {{"self"}, {"migration", "MigrationFile"}}, "None");

}  // namespace velkor::ledger
