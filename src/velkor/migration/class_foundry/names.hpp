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

// Builtins
inline const Name compile{"compile"};
inline const Name eval{"eval"};

// Methods of DefaultMigrationSchemas, called through self
inline const Name register_model_version_{"register_model_version"};
inline const Name _compile_buffered_classes{"_compile_buffered_classes"};
inline const Name _build_class_source{"_build_class_source"};
inline const Name _resolve_class_inheritance{"_resolve_class_inheritance"};
inline const Name _process_custom_code{"_process_custom_code"};
inline const Name _render_property{"_render_property"};
inline const Name _render_type_annotation{"_render_type_annotation"};
inline const Name _render_validators{"_render_validators"};
inline const Name _get_all_types{"_get_all_types"};
inline const Name _is_reference{"_is_reference"};

// Template paths (class attributes)
inline const Name model_class_template_layout{"model_class_template_layout"};
inline const Name model_class_template{"model_class_template"};
inline const Name dict_validator_template{"dict_validator_template"};
inline const Name options_validator_template{"options_validator_template"};

// Methods and attributes of other objects
inline const Name register_class_version{"register_class_version"};
inline const Name LATEST{"LATEST"};
inline const Name append{"append"};
inline const Name clear{"clear"};
inline const Name read_text{"read_text"};
inline const Name TYPE{"TYPE"};
inline const Name OBJECT{"OBJECT"};
inline const Name ARRAY{"ARRAY"};
inline const Name DICTIONARY{"DICTIONARY"};
inline const Name dunder_name{"__name__"};
inline const Name dumps{"dumps"};
inline const Name to_source{"to_source"};
inline const Name split{"split"};
inline const Name sort{"sort"};
inline const Name upper{"upper"};

// Fields of the framework's records, read as attributes
namespace field {
inline const Name name{"name"};
inline const Name properties{"properties"};
inline const Name required{"required"};
inline const Name custom_code{"custom_code"};
inline const Name meta_class{"meta_class"};
inline const Name type{"type"};
inline const Name items{"items"};
inline const Name default_{"default"};
inline const Name options{"options"};
inline const Name value{"value"};
inline const Name key{"key"};
inline const Name key_type{"key_type"};
inline const Name value_type{"value_type"};
inline const Name ast_imports{"ast_imports"};
inline const Name ast{"ast"};
}  // namespace field

// Placeholders of the templates
inline const Name ph_imports{"{{imports}}"};
inline const Name ph_classes{"{{classes}}"};
inline const Name ph_classes_model_rebuild{"{{classes_model_rebuild}}"};
inline const Name ph_class_name{"{{class_name}}"};
inline const Name ph_class_inheritance{"{{class_inheritance}}"};
inline const Name ph_schema_type{"{{schema_type}}"};
inline const Name ph_class_fingerprint{"{{class_fingerprint}}"};
inline const Name ph_properties{"{{properties}}"};
inline const Name ph_custom_code{"{{custom_code}}"};
inline const Name ph_validators{"{{validators}}"};
inline const Name ph_property_name{"{{property_name}}"};
inline const Name ph_property_options{"{{property_options}}"};

// Literal texts of the generated source
inline const Name text_empty{""};
inline const Name text_newline{"\n"};
inline const Name text_indented_newline{"\n    "};
inline const Name text_quote{"'"};
inline const Name text_colon{": "};
inline const Name text_optional_open{"Optional["};
inline const Name text_close_bracket{"]"};
inline const Name text_assign{" = "};
inline const Name text_assign_none{" = None"};
inline const Name text_union_open{"Union[Reference, '"};
inline const Name text_union_close{"', LegacyModel]"};
inline const Name text_list_open{"list["};
inline const Name text_dict_open{"dict["};
inline const Name text_comma{", "};
inline const Name text_schema_types_dot{"SchemaTypes."};
inline const Name text_model_rebuild{".model_rebuild()"};
inline const Name text_classes{"classes"};
inline const Name text_exec{"exec"};
inline const Name text_type_model{"TypeModel"};
inline const Name text_model{"Model"};
inline const Name sort_key_qualname{"DefaultMigrationSchemas._process_custom_code.<locals>.<lambda>"};

inline const Keywords kw_register_class_version{"is_latest", "unregister_previous_versions"};
inline const Keywords kw_register_model_version{"class_name", "class_version"};
inline const Keywords kw_render_property{"name", "property_schema", "required"};
inline const Keywords kw_custom_code{"custom_code"};
inline const Keywords kw_key{"key"};

}  // namespace velkor::foundry
