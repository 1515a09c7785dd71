// The module velkor.migration.class_foundry: its imports and its two classes.
//
// Evaluation order is the interpreter's, on purpose.  Each body does what
// the Python in the comment above it does, step for step: where that Python
// reads a value twice (a module global, an attribute, an item), the body
// reads it twice too, anew at each use, never keeping the first result.
// Tests replace module globals and attributes with recording fakes and check
// every read, so folding two reads into one is a change of behaviour, not an
// optimisation.
//
// Here, each template path below reads BASE_DIR afresh, as each line of the
// class body would.
#include "native/calls.hpp"
#include "native/module.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

// import json; from abc import ABC, abstractmethod; ... in the module's order.
constexpr Import imports[] = {
    {"json"},
    {"abc", "ABC"},
    {"abc", "abstractmethod"},
    {"pathlib", "Path"},
    {"typing", "Any"},
    {"astor"},
    {"velkor_models.classes.builder.ast_generator.data_models", "CustomCodeAst"},
    {"velkor_models.classes.constants", "BASIC_TYPES_MAP"},
    {"velkor_models.classes.model", "Model"},
    {"velkor_models.enums", "MetaClasses"},
    {"velkor_models.schemas.data_models.core", "DictSchema"},
    {"velkor_models.schemas.data_models.core", "LegacyDictSchema"},
    {"velkor_models.schemas.data_models.core", "TypeData"},
    {"velkor_models.schemas.data_models.schema", "ObjectSchema"},
    {"velkor_models.schemas.data_models.schema", "PropertyData"},
    {"velkor_models.schemas.enums", "CoreTypes"},
    {"velkor_models.schemas.utils.schema_fingerprint", "calculate_schema_fingerprint"},
    {"velkor_utils.classes.version_manager", "ClassVersionManager"},
    {"velkor_utils.models.enums", "SchemaTypes"},
    {"velkor_utils.models.enums", "Versions"},
    {"velkor.configs.constants", "BASE_DIR"},
};

// BASE_DIR / "migration" / "templates" / file_name
Ref template_path(const Globals& g, const char* file_name) {
    Ref path = g[BASE_DIR];
    for (const char* part : {"migration", "templates", file_name}) {
        if (!path) {
            return Ref();
        }
        Ref text = Ref::steal(PyUnicode_FromString(part));
        if (!text) {
            return Ref();
        }
        path = Ref::steal(PyNumber_TrueDivide(path.get(), text.get()));
    }
    return path;
}

int create_classes(const Globals& g) {
    Ref abc = g[ABC];
    if (!abc) {
        return -1;
    }
    Ref foundry_bases = Ref::steal(PyTuple_Pack(1, abc.get()));
    if (!foundry_bases) {
        return -1;
    }
    Ref foundry = make_class(g, "ClassFoundry", foundry_bases.get(),
                             {
                                 method(init_def),
                                 method(get_model_def),
                                 method(abstract_register_model_def, Decorator::abstract),
                                 method(abstract_unregister_model_def, Decorator::abstract),
                                 method(abstract_compile_buffered_classes_def, Decorator::abstract),
                                 method(register_model_version_def, Decorator::static_method),
                             });
    if (!foundry) {
        return -1;
    }
    Ref layout = template_path(g, "model_class_layout.tmpl");
    Ref model_class = template_path(g, "model_class.tmpl");
    Ref dict_validator = template_path(g, "dict_validator.tmpl");
    Ref options_validator = template_path(g, "options_validator.tmpl");
    Ref schemas_bases = Ref::steal(PyTuple_Pack(1, foundry.get()));
    if (!layout || !model_class || !dict_validator || !options_validator || !schemas_bases) {
        return -1;
    }
    Ref schemas = make_class(
        g, "DefaultMigrationSchemas", schemas_bases.get(),
        {
            attribute("model_class_template_layout", "Path", layout.get()),
            attribute("model_class_template", "Path", model_class.get()),
            attribute("dict_validator_template", "Path", dict_validator.get()),
            attribute("options_validator_template", "Path", options_validator.get()),
            method(register_model_def),
            method(compile_buffered_classes_def),
            method(unregister_model_def),
            method(compile_buffered_classes_inner_def),
            method(build_class_source_def),
            method(resolve_class_inheritance_def, Decorator::static_method),
            method(process_custom_code_def, Decorator::static_method),
            method(render_property_def),
            method(render_type_annotation_def),
            method(render_validators_def),
            method(get_all_types_def),
            method(is_reference_def),
        });
    return schemas ? 0 : -1;
}

constexpr ModuleSetUp set_up{"class_foundry", imports, create_classes};

}  // namespace

}  // namespace velkor::foundry

PyMODINIT_FUNC PyInit_class_foundry() { return velkor::init_module<velkor::foundry::set_up>(); }
