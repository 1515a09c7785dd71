// Validator blocks for dictionary properties and properties with options.
#include "native/calls.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

PyObject* render_validators(const Globals&, PyObject* self, PyObject* schema) {
    PyErr_SetString(PyExc_NotImplementedError, "_render_validators");
    return nullptr;
}

}  // namespace

const FunctionDef render_validators_def = function<render_validators>(
    "_render_validators", {{"self"}, {"schema", "ObjectSchema"}}, "list[str]");

}  // namespace velkor::foundry
