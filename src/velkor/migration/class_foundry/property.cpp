// One typed attribute line per schema property.
#include "native/calls.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

PyObject* render_property(const Globals&, PyObject* self, PyObject* name, PyObject* property_schema, PyObject* required) {
    PyErr_SetString(PyExc_NotImplementedError, "_render_property");
    return nullptr;
}

}  // namespace

const FunctionDef render_property_def = function<render_property>(
    "_render_property", {{"self"}, {"name", "str", &PyUnicode_Type}, {"property_schema", "PropertyData"}, {"required", "list[str]", &PyList_Type}}, "str");

}  // namespace velkor::foundry
