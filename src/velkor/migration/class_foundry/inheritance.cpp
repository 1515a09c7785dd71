// The base class of a generated model class.
//
// Read twice on purpose, as the interpreter does (see module.cpp):
// schema.type is looked up again for the return value.
#include "native/calls.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

// left == right, by the host's equality (no identity shortcut).
int equals(PyObject* left, PyObject* right) {
    Ref equal = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    if (!equal) {
        return -1;
    }
    return PyObject_IsTrue(equal.get());
}

// @staticmethod
// def _resolve_class_inheritance(schema: ObjectSchema) -> str:
//     if schema.meta_class == MetaClasses.TYPE:
//         return "TypeModel"
//     if schema.type == CoreTypes.OBJECT.value:
//         return "Model"
//     return schema.type
PyObject* resolve_class_inheritance(const Globals& g, PyObject* schema) {
    Ref meta_class = attr(schema, field::meta_class);
    if (!meta_class) {
        return nullptr;
    }
    Ref meta_classes = g[MetaClasses];
    if (!meta_classes) {
        return nullptr;
    }
    Ref type_marker = attr(meta_classes.get(), TYPE);
    if (!type_marker) {
        return nullptr;
    }
    const int is_type = equals(meta_class.get(), type_marker.get());
    if (is_type != 0) {
        return is_type < 0 ? nullptr : Py_NewRef(text_type_model.get());
    }

    Ref parent = attr(schema, field::type);
    if (!parent) {
        return nullptr;
    }
    Ref core_types = g[CoreTypes];
    if (!core_types) {
        return nullptr;
    }
    Ref object_value = attr_path(core_types.get(), {OBJECT, field::value});
    if (!object_value) {
        return nullptr;
    }
    const int is_object = equals(parent.get(), object_value.get());
    if (is_object != 0) {
        return is_object < 0 ? nullptr : Py_NewRef(text_model.get());
    }

    parent = attr(schema, field::type);
    if (!parent || expect_exact(parent.get(), &PyUnicode_Type, "unicode", true) < 0) {
        return nullptr;
    }
    return parent.release();
}

}  // namespace

constexpr FunctionDef resolve_class_inheritance_def = function<resolve_class_inheritance>(
    "_resolve_class_inheritance", {{"schema", "ObjectSchema"}}, "str");

}  // namespace velkor::foundry
