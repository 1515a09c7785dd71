// The history of a migration row in the lakehouse.
#include "native/calls.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

namespace {

PyObject* save_historical_data(const Globals&, PyObject* self, PyObject* address, PyObject* data, PyObject* metadata) {
    PyErr_SetString(PyExc_NotImplementedError, "_save_historical_data");
    return nullptr;
}

}  // namespace

const FunctionDef save_historical_data_def = function<save_historical_data>(
    "_save_historical_data", {{"self"}, {"address", "Address"}, {"data", "dict[str, Any]", &PyDict_Type}, {"metadata", "dict[str, Any]", &PyDict_Type}}, "None");

}  // namespace velkor::ledger
