// The base class of a generated model class.
#include "native/calls.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

PyObject* resolve_class_inheritance(const Globals&, PyObject* schema) {
    PyErr_SetString(PyExc_NotImplementedError, "_resolve_class_inheritance");
    return nullptr;
}

}  // namespace

const FunctionDef resolve_class_inheritance_def = function<resolve_class_inheritance>(
    "_resolve_class_inheritance", {{"schema", "ObjectSchema"}}, "str");

}  // namespace velkor::foundry
