// The methods of BaseMigrationStore and LedgerVault, each defined in the file
// named after what it does.
#pragma once

#include "native/function.hpp"

namespace velkor::ledger {

// store_interface.cpp: BaseMigrationStore
extern const FunctionDef abstract_fetch_migrations_def;
extern const FunctionDef abstract_save_migration_def;
extern const FunctionDef abstract_delete_migration_def;

// construction.cpp
extern const FunctionDef init_def;
extern const FunctionDef init_migration_table_def;

// fetch.cpp
extern const FunctionDef fetch_migrations_def;

// save.cpp
extern const FunctionDef save_migration_def;
extern const FunctionDef build_migration_data_def;
extern const FunctionDef build_migration_metadata_def;

// historical_copy.cpp
extern const FunctionDef save_historical_data_def;

// delete.cpp
extern const FunctionDef delete_migration_def;

}  // namespace velkor::ledger
