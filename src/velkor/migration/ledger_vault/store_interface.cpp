// BaseMigrationStore: the three operations every migration store offers.
#include "velkor/migration/ledger_vault/methods.hpp"

namespace velkor::ledger {

namespace {

// The interface's own bodies do nothing, so a subclass may call them
// through super() harmlessly.
PyObject* nothing_1(const Globals&, PyObject*) { Py_RETURN_NONE; }
PyObject* nothing_2(const Globals&, PyObject*, PyObject*) { Py_RETURN_NONE; }

}  // namespace

constexpr FunctionDef abstract_fetch_migrations_def =
    function<nothing_1>("fetch_migrations", {{"self"}}, "list[MigrationFile]");

constexpr FunctionDef abstract_save_migration_def =
    function<nothing_2>("save_migration", {{"self"}, {"migration", "MigrationFile"}}, "None");

constexpr FunctionDef abstract_delete_migration_def =
    function<nothing_2>("delete_migration", {{"self"}, {"migration", "MigrationFile"}}, "None");

}  // namespace velkor::ledger
