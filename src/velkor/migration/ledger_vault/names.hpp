// Interned names used by the ledger: module globals, attributes and keyword
// tuples.  Made once when the module is set up.
#pragma once

#include "native/name.hpp"

namespace velkor::ledger {

// Module globals
inline const Name json{"json"};
inline const Name ABC{"ABC"};
inline const Name ConnectionsManager{"ConnectionsManager"};
inline const Name VelkorDataManager{"VelkorDataManager"};
inline const Name TableSchemasManager{"TableSchemasManager"};
inline const Name VelkorConfigManager{"VelkorConfigManager"};
inline const Name Address{"Address"};
inline const Name Metadata{"Metadata"};
inline const Name Reference{"Reference"};
inline const Name ReferenceData{"ReferenceData"};
inline const Name TableColumnSchema{"TableColumnSchema"};
inline const Name TableSchema{"TableSchema"};
inline const Name Versions{"Versions"};
inline const Name Q{"Q"};
inline const Name get_identifier{"get_identifier"};
inline const Name settings{"settings"};
inline const Name MigrationFile{"MigrationFile"};
inline const Name ModuleTypes{"ModuleTypes"};
inline const Name contrib_to_module_root_path{"contrib_to_module_root_path"};
inline const Name map_module_type_to_schema_type{"map_module_type_to_schema_type"};

// Attributes and methods
inline const Name from_string{"from_string"};

// The ledger's own state and steps
inline const Name _config_manager{"_config_manager"};
inline const Name _velkor_config{"_velkor_config"};
inline const Name _connections_manager{"_connections_manager"};
inline const Name migration_address{"migration_address"};
inline const Name _init_migration_table{"_init_migration_table"};
inline const Name _build_migration_data{"_build_migration_data"};
inline const Name _build_migration_metadata{"_build_migration_metadata"};
inline const Name _save_historical_data{"_save_historical_data"};

// Configuration: config.connections, config.resources_config.repository.default
// and config.resources_config.lakehouse
inline const Name get_config{"get_config"};
inline const Name connections{"connections"};
inline const Name values{"values"};
inline const Name resources_config{"resources_config"};
inline const Name repository{"repository"};
inline const Name default_{"default"};
inline const Name lakehouse{"lakehouse"};

// Storage and framework records
inline const Name register_table{"register_table"};
inline const Name get_connection{"get_connection"};
inline const Name query{"query"};
inline const Name insert{"insert"};
inline const Name put{"put"};
inline const Name delete_{"delete"};
inline const Name model_copy{"model_copy"};
inline const Name model_dump{"model_dump"};
inline const Name model_dump_json{"model_dump_json"};
inline const Name loads{"loads"};
inline const Name get_transaction_manager{"get_transaction_manager"};
inline const Name transaction_object{"transaction_object"};
inline const Name LATEST{"LATEST"};
inline const Name APP_PATH{"APP_PATH"};
inline const Name MIGRATIONS_DIRECTORY_NAME{"MIGRATIONS_DIRECTORY_NAME"};

// MigrationFile fields (path.name and type.value too)
inline const Name number{"number"};
inline const Name path{"path"};
inline const Name name{"name"};
inline const Name type{"type"};
inline const Name value{"value"};
inline const Name module{"module"};
inline const Name applied_at{"applied_at"};
inline const Name stored_address{"stored_address"};

// Address fields
inline const Name resource{"resource"};
inline const Name class_version{"class_version"};
inline const Name object_id{"object_id"};
inline const Name object_version{"object_version"};

// Keys of a Migration row and of its metadata
inline const Name migration_name{"migration_name"};
inline const Name module_type{"module_type"};
inline const Name module_name{"module_name"};
inline const Name _metadata{"_metadata"};
inline const Name address{"address"};
inline const Name prior_version{"prior_version"};
inline const Name is_deleted{"is_deleted"};

// The text before the identifier in a metadata document's address
inline const Name metadata_address_prefix{"resource#Metadata::"};

// Keyword tuples, one per call shape
inline const Keywords kw_update{"update"};
inline const Keywords kw_name_type_default_nullable{"name", "type", "default", "nullable"};
inline const Keywords kw_name_type_default{"name", "type", "default"};
inline const Keywords kw_table_schema{"address", "columns", "indexed", "unique_columns"};
inline const Keywords kw_current_versions{"_metadata__is_deleted",
                                          "_metadata__next_version__isnull"};
inline const Keywords kw_query{"address", "conditions"};
inline const Keywords kw_migration_file{"number", "path", "type",
                                        "module", "applied_at", "stored_address"};
inline const Keywords kw_ref{"ref"};
inline const Keywords kw_metadata{"address", "class_schema_reference", "class_schema_type",
                                  "transaction"};
inline const Keywords kw_object_id{"object_id"};
inline const Keywords kw_address_data{"address", "data"};
inline const Keywords kw_address_data_metadata{"address", "data", "metadata"};

}  // namespace velkor::ledger
