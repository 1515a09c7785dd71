// The module velkor.migration.ledger_vault: its imports and its two classes.
//
// Evaluation order is the interpreter's, on purpose.  Each body does what
// the Python in the comment above it does, step for step: where that Python
// reads a value twice (a module global, an attribute, an item), the body
// reads it twice too, anew at each use, never keeping the first result.
// Tests replace module globals and attributes with recording fakes and check
// every read, so folding two reads into one is a change of behaviour, not an
// optimisation.
//
// The configuration chains read again at each use are in configuration.hpp.
#include "native/calls.hpp"
#include "native/module.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

namespace {

// import json; from abc import ABC, abstractmethod; ... in the module's order.
constexpr Import imports[] = {
    {"json"},
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

// Address.from_string("resource#Migration")
Ref parse_migration_address(const Globals& g) {
    Ref address = g[Address];
    if (!address) {
        return Ref();
    }
    Ref text = Ref::steal(PyUnicode_FromString("resource#Migration"));
    if (!text) {
        return Ref();
    }
    return call_method(address.get(), from_string, {text.get()});
}

int create_classes(const Globals& g) {
    Ref abc = g[ABC];
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

constexpr ModuleSetUp set_up{"ledger_vault", imports, create_classes};

}  // namespace

}  // namespace velkor::ledger

PyMODINIT_FUNC PyInit_ledger_vault() { return velkor::init_module<velkor::ledger::set_up>(); }
