// Registering, compiling and unregistering buffered schemas.
#include "native/calls.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

PyObject* register_model(const Globals&, PyObject* self, PyObject* class_name, PyObject* object_schema, PyObject* schema_type) {
    PyErr_SetString(PyExc_NotImplementedError, "register_model");
    return nullptr;
}

PyObject* compile_buffered_classes(const Globals&, PyObject* self) {
    PyErr_SetString(PyExc_NotImplementedError, "compile_buffered_classes");
    return nullptr;
}

PyObject* unregister_model(const Globals&, PyObject* self, PyObject* class_name) {
    PyErr_SetString(PyExc_NotImplementedError, "unregister_model");
    return nullptr;
}

PyObject* compile_buffered_classes_inner(const Globals&, PyObject* self) {
    PyErr_SetString(PyExc_NotImplementedError, "_compile_buffered_classes");
    return nullptr;
}

}  // namespace

const FunctionDef register_model_def = function<register_model>(
    "register_model", {{"self"}, {"class_name", "str", &PyUnicode_Type}, {"object_schema", "ObjectSchema"}, {"schema_type", "SchemaTypes"}}, "None");

const FunctionDef compile_buffered_classes_def = function<compile_buffered_classes>(
    "compile_buffered_classes", {{"self"}}, "None");

const FunctionDef unregister_model_def = function<unregister_model>(
    "unregister_model", {{"self"}, {"class_name", "str", &PyUnicode_Type}}, "None");

const FunctionDef compile_buffered_classes_inner_def = function<compile_buffered_classes_inner>(
    "_compile_buffered_classes", {{"self"}}, "list[tuple[str, type[Model]]]");

}  // namespace velkor::foundry
