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

}  // namespace velkor::ledger
