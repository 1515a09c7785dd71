// The source text of one model class.
#include "native/calls.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

PyObject* build_class_source(const Globals&, PyObject* self, PyObject* class_name, PyObject* schema, PyObject* schema_type) {
    PyErr_SetString(PyExc_NotImplementedError, "_build_class_source");
    return nullptr;
}

}  // namespace

const FunctionDef build_class_source_def = function<build_class_source>(
    "_build_class_source", {{"self"}, {"class_name", "str", &PyUnicode_Type}, {"schema", "ObjectSchema"}, {"schema_type", "SchemaTypes"}}, "tuple[str, str]");

}  // namespace velkor::foundry
