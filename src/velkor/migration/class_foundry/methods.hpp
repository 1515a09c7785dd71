// The methods of ClassFoundry and DefaultMigrationSchemas, each defined in
// the file named after what it does.
#pragma once

#include "native/function.hpp"

namespace velkor::foundry {

// The parameters of register_model, abstract in ClassFoundry and concrete in
// DefaultMigrationSchemas.
inline constexpr Param register_model_params[] = {
    {"self"},
    {"class_name", "str", &PyUnicode_Type},
    {"object_schema", "ObjectSchema"},
    {"schema_type", "SchemaTypes"},
};

// registry.cpp: ClassFoundry
extern const FunctionDef init_def;
extern const FunctionDef get_model_def;
extern const FunctionDef abstract_register_model_def;
extern const FunctionDef abstract_unregister_model_def;
extern const FunctionDef abstract_compile_buffered_classes_def;
extern const FunctionDef register_model_version_def;

// buffered_compilation.cpp
extern const FunctionDef register_model_def;
extern const FunctionDef compile_buffered_classes_def;
extern const FunctionDef unregister_model_def;
extern const FunctionDef compile_buffered_classes_inner_def;

// class_source.cpp
extern const FunctionDef build_class_source_def;

// inheritance.cpp
extern const FunctionDef resolve_class_inheritance_def;

// custom_code.cpp
extern const FunctionDef process_custom_code_def;

// property.cpp
extern const FunctionDef render_property_def;

// type_annotation.cpp
extern const FunctionDef render_type_annotation_def;
extern const FunctionDef get_all_types_def;
extern const FunctionDef is_reference_def;

// validators.cpp
extern const FunctionDef render_validators_def;

}  // namespace velkor::foundry
