// The module velkor.migration.ledger_vault: its imports and its two classes.
#include "native/calls.hpp"
#include "native/module.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

namespace {

int bind_imports(PyObject* g) {
    struct From {
        const char* module;
        const char* name;
    };
    static const From names[] = {
        {"abc", "ABC"},
        {"abc", "abstractmethod"},
        {"typing", "Any"},
        {"velkor_data.connections.manager", "ConnectionsManager"},
        {"velkor_data.manager", "VelkorDataManager"},
        {"velkor_data.table_schemas.manager", "TableSchemasManager"},
        {"velkor_utils.config.data_models.velkor_config", "VelkorConfig"},
        {"velkor_utils.config.manager", "VelkorConfigManager"},
        {"velkor_utils.models.data_models.address", "Address"},
        {"velkor_utils.models.data_models.metadata", "Metadata"},
        {"velkor_utils.models.data_models.reference", "Reference"},
        {"velkor_utils.models.data_models.reference", "ReferenceData"},
        {"velkor_utils.models.data_models.table_schema", "TableColumnSchema"},
        {"velkor_utils.models.data_models.table_schema", "TableSchema"},
        {"velkor_utils.models.enums", "Versions"},
        {"velkor_utils.query.utils", "Q"},
        {"velkor_utils.utils.identifier", "get_identifier"},
        {"velkor.configs.main", "settings"},
        {"velkor.migration.data_classes", "MigrationFile"},
        {"velkor.migration.data_classes", "ModuleTypes"},
        {"velkor.migration.utils", "contrib_to_module_root_path"},
        {"velkor.migration.utils", "map_module_type_to_schema_type"},
    };
    if (import_module(g, "json", "json") < 0) {
        return -1;
    }
    for (const From& from : names) {
        if (import_from(g, from.module, from.name) < 0) {
            return -1;
        }
    }
    return 0;
}

// Address.from_string("resource#Migration")
Ref parse_migration_address(PyObject* g) {
    Ref address = Globals(g)[Address];
    if (!address) {
        return Ref();
    }
    Ref text = Ref::steal(PyUnicode_FromString("resource#Migration"));
    if (!text) {
        return Ref();
    }
    return call_method(address.get(), from_string, {text.get()});
}

int create_classes(PyObject* g) {
    Ref abc = Globals(g)[ABC];
    if (!abc) {
        return -1;
    }
    Ref store_bases = Ref::steal(PyTuple_Pack(1, abc.get()));
    if (!store_bases) {
        return -1;
    }
    Ref store = make_class(g, "BaseMigrationStore", store_bases.get(),
                           {
                               method(abstract_fetch_migrations_def, Decorator::abstract),
                               method(abstract_save_migration_def, Decorator::abstract),
                               method(abstract_delete_migration_def, Decorator::abstract),
                           });
    if (!store) {
        return -1;
    }
    Ref vault_bases = Ref::steal(PyTuple_Pack(1, store.get()));
    if (!vault_bases) {
        return -1;
    }
    Ref migration_address = parse_migration_address(g);
    if (!migration_address) {
        return -1;
    }
    Ref vault = make_class(g, "LedgerVault", vault_bases.get(),
                           {
                               attribute("migration_address", "Address", migration_address.get()),
                               method(init_def),
                               method(fetch_migrations_def),
                               method(save_migration_def),
                               method(delete_migration_def),
                               method(save_historical_data_def),
                               method(build_migration_data_def, Decorator::static_method),
                               method(build_migration_metadata_def, Decorator::class_method),
                               method(init_migration_table_def),
                           });
    return vault ? 0 : -1;
}

int exec_module(PyObject* module) {
    if (prepare_module() < 0) {
        return -1;
    }
    PyObject* g = PyModule_GetDict(module);
    if (bind_imports(g) < 0) {
        return -1;
    }
    return create_classes(g);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ledger_vault", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace velkor::ledger

PyMODINIT_FUNC PyInit_ledger_vault() { return PyModuleDef_Init(&velkor::ledger::module_def); }
