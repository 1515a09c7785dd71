// Interned names used by the class foundry: module globals, attributes and
// keyword tuples.  Made once when the module is set up.
#pragma once

#include "native/name.hpp"

namespace velkor::foundry {

// Module globals
inline const Name json{"json"};
inline const Name ABC{"ABC"};
inline const Name astor{"astor"};
inline const Name CustomCodeAst{"CustomCodeAst"};
inline const Name BASIC_TYPES_MAP{"BASIC_TYPES_MAP"};
inline const Name MetaClasses{"MetaClasses"};
inline const Name DictSchema{"DictSchema"};
inline const Name LegacyDictSchema{"LegacyDictSchema"};
inline const Name TypeData{"TypeData"};
inline const Name CoreTypes{"CoreTypes"};
inline const Name calculate_schema_fingerprint{"calculate_schema_fingerprint"};
inline const Name ClassVersionManager{"ClassVersionManager"};
inline const Name SchemaTypes{"SchemaTypes"};
inline const Name Versions{"Versions"};
inline const Name BASE_DIR{"BASE_DIR"};

// Instance state
inline const Name _classes{"_classes"};
inline const Name _classes_versions{"_classes_versions"};
inline const Name _buffered_classes{"_buffered_classes"};

// Methods and attributes
inline const Name register_class_version{"register_class_version"};

inline const Keywords kw_register_class_version{"is_latest", "unregister_previous_versions"};

}  // namespace velkor::foundry
