// Building a ledger: configuration, connections and the Migration table.
#include "native/calls.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

namespace {

PyObject* init(const Globals&, PyObject* self) {
    PyErr_SetString(PyExc_NotImplementedError, "__init__");
    return nullptr;
}

PyObject* init_migration_table(const Globals&, PyObject* self) {
    PyErr_SetString(PyExc_NotImplementedError, "_init_migration_table");
    return nullptr;
}

}  // namespace

const FunctionDef init_def = function<init>(
    "__init__", {{"self"}}, "None");

const FunctionDef init_migration_table_def = function<init_migration_table>(
    "_init_migration_table", {{"self"}}, "None");

}  // namespace velkor::ledger
