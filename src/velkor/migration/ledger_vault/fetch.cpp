// Listing the applied migrations.
//
// Read twice on purpose, as the interpreter does (see module.cpp):
// row["module_name"] is looked up anew at each use, settings and the module
// globals for every row, and the configuration chain afresh for the
// repository's name after the lakehouse's.
#include "native/calls.hpp"
#include "native/unpack.hpp"
#include "velkor/migration/ledger_vault/configuration.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

namespace {

// The folder a row's migration file lives in:
//     contrib_to_module_root_path(row["module_name"]) if row["module_name"]
//     else settings.APP_PATH / settings.MIGRATIONS_DIRECTORY_NAME
Ref module_folder(const Globals& g, PyObject* row) {
    Ref module = Ref::steal(PyObject_GetItem(row, module_name));
    if (!module) {
        return Ref();
    }
    const int named = PyObject_IsTrue(module.get());
    if (named < 0) {
        return Ref();
    }
    if (named) {
        Ref root_path = g[contrib_to_module_root_path];
        if (!root_path) {
            return Ref();
        }
        Ref module_again = Ref::steal(PyObject_GetItem(row, module_name));
        if (!module_again) {
            return Ref();
        }
        return call(root_path.get(), {module_again.get()});
    }
    Ref app_settings = g[settings];
    if (!app_settings) {
        return Ref();
    }
    Ref app_path = attr(app_settings.get(), APP_PATH);
    if (!app_path) {
        return Ref();
    }
    Ref directory = attr(app_settings.get(), MIGRATIONS_DIRECTORY_NAME);
    if (!directory) {
        return Ref();
    }
    return Ref::steal(PyNumber_TrueDivide(app_path.get(), directory.get()));
}

// MigrationFile(
//     number=row["number"],
//     path=folder / row["migration_name"],
//     type=ModuleTypes(row["module_type"]),
//     module=row["module_name"],
//     applied_at=row["applied_at"],
//     stored_address=Address(**row["_metadata"]["address"]),
// )
Ref migration_file(const Globals& g, PyObject* row) {
    Ref folder = module_folder(g, row);
    if (!folder) {
        return Ref();
    }
    Ref record_class = g[MigrationFile];
    if (!record_class) {
        return Ref();
    }
    Ref row_number = Ref::steal(PyObject_GetItem(row, number));
    if (!row_number) {
        return Ref();
    }
    Ref file_name = Ref::steal(PyObject_GetItem(row, migration_name));
    if (!file_name) {
        return Ref();
    }
    Ref file_path = Ref::steal(PyNumber_TrueDivide(folder.get(), file_name.get()));
    if (!file_path) {
        return Ref();
    }
    Ref module_types = g[ModuleTypes];
    if (!module_types) {
        return Ref();
    }
    Ref stored_type = Ref::steal(PyObject_GetItem(row, module_type));
    if (!stored_type) {
        return Ref();
    }
    Ref member = call(module_types.get(), {stored_type.get()});
    if (!member) {
        return Ref();
    }
    Ref module = Ref::steal(PyObject_GetItem(row, module_name));
    if (!module) {
        return Ref();
    }
    Ref applied = Ref::steal(PyObject_GetItem(row, applied_at));
    if (!applied) {
        return Ref();
    }
    Ref address_class = g[Address];
    if (!address_class) {
        return Ref();
    }
    Ref metadata = Ref::steal(PyObject_GetItem(row, _metadata));
    if (!metadata) {
        return Ref();
    }
    Ref stored_fields = Ref::steal(PyObject_GetItem(metadata.get(), address));
    if (!stored_fields) {
        return Ref();
    }
    Ref stored = call_unpacking(address_class.get(), stored_fields.get());
    if (!stored) {
        return Ref();
    }
    return call_kw(record_class.get(),
                   {row_number.get(), file_path.get(), member.get(), module.get(), applied.get(),
                    stored.get()},
                   kw_migration_file);
}

// def fetch_migrations(self) -> list[MigrationFile]:
//     _connection = self._connections_manager.get_connection(
//         self._velkor_config.resources_config.lakehouse
//         or self._velkor_config.resources_config.repository.default)
//     _conditions = Q(_metadata__is_deleted=False, _metadata__next_version__isnull=True)
//     _rows: list = _connection.query(address=self.migration_address, conditions=_conditions)
//     return [MigrationFile(...) for row in _rows]
PyObject* fetch_migrations(const Globals& g, PyObject* self) {
    Ref connection_name = lakehouse_name(self);
    if (!connection_name) {
        return nullptr;
    }
    const int has_lakehouse = PyObject_IsTrue(connection_name.get());
    if (has_lakehouse < 0) {
        return nullptr;
    }
    if (!has_lakehouse) {
        connection_name = repository_default(self);
        if (!connection_name) {
            return nullptr;
        }
    }
    Ref connection = connection_named(self, connection_name.get());
    if (!connection) {
        return nullptr;
    }

    Ref q = g[Q];
    if (!q) {
        return nullptr;
    }
    Ref conditions = call_kw(q.get(), {Py_False, Py_True}, kw_current_versions);
    if (!conditions) {
        return nullptr;
    }
    Ref class_address = attr(self, migration_address);
    if (!class_address) {
        return nullptr;
    }
    Ref rows = call_method_kw(connection.get(), query, {class_address.get(), conditions.get()},
                              kw_query);
    if (!rows) {
        return nullptr;
    }
    // The rows must be a list; None gets through here and fails as Python's
    // `for` does on it.
    if (expect_exact(rows.get(), &PyList_Type, "list", true) < 0) {
        return nullptr;
    }

    Ref result = Ref::steal(PyList_New(0));
    if (!result) {
        return nullptr;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(rows.get()));
    if (!iterator) {
        return nullptr;
    }
    while (Ref row = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref record = migration_file(g, row.get());
        if (!record || PyList_Append(result.get(), record.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return result.release();
}

}  // namespace

constexpr FunctionDef fetch_migrations_def = function<fetch_migrations>(
    "fetch_migrations", {{"self"}}, "list[MigrationFile]");

}  // namespace velkor::ledger
