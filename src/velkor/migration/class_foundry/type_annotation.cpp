// Type annotations, type names and references of a type description.
#include "native/calls.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

PyObject* render_type_annotation(const Globals&, PyObject* self, PyObject* type_, PyObject* items) {
    PyErr_SetString(PyExc_NotImplementedError, "_render_type_annotation");
    return nullptr;
}

PyObject* get_all_types(const Globals&, PyObject* self, PyObject* type_, PyObject* items) {
    PyErr_SetString(PyExc_NotImplementedError, "_get_all_types");
    return nullptr;
}

PyObject* is_reference(const Globals&, PyObject* self, PyObject* type_) {
    PyErr_SetString(PyExc_NotImplementedError, "_is_reference");
    return nullptr;
}

}  // namespace

const FunctionDef render_type_annotation_def = function<render_type_annotation>(
    "_render_type_annotation", {{"self"}, {"type_", "str", &PyUnicode_Type}, {"items", "TypeData | DictSchema | LegacyDictSchema | None"}}, "str");

const FunctionDef get_all_types_def = function<get_all_types>(
    "_get_all_types", {{"self"}, {"type_", "str", &PyUnicode_Type}, {"items", "TypeData | DictSchema | LegacyDictSchema | None"}}, "set[str]");

const FunctionDef is_reference_def = function<is_reference>(
    "_is_reference", {{"self"}, {"type_", "str", &PyUnicode_Type}}, "bool");

}  // namespace velkor::foundry
