// Listing the applied migrations.
#include "native/calls.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

namespace {

PyObject* fetch_migrations(const Globals&, PyObject* self) {
    PyErr_SetString(PyExc_NotImplementedError, "fetch_migrations");
    return nullptr;
}

}  // namespace

const FunctionDef fetch_migrations_def = function<fetch_migrations>(
    "fetch_migrations", {{"self"}}, "list[MigrationFile]");

}  // namespace velkor::ledger
