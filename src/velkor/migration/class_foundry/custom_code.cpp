// A schema's custom code, split into imports and class body.
#include "native/calls.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

PyObject* process_custom_code(const Globals&, PyObject* custom_code) {
    PyErr_SetString(PyExc_NotImplementedError, "_process_custom_code");
    return nullptr;
}

}  // namespace

const FunctionDef process_custom_code_def = function<process_custom_code>(
    "_process_custom_code", {{"custom_code", "str | None"}}, "tuple[str, str]");

}  // namespace velkor::foundry
