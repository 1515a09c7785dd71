// The history of a migration row in the lakehouse.
//
// Read twice on purpose, as the interpreter does (see module.cpp): the
// lakehouse's name from the configuration, once for the test and once for
// the connection.
#include "native/calls.hpp"
#include "velkor/migration/ledger_vault/configuration.hpp"
#include "velkor/migration/ledger_vault/methods.hpp"
#include "velkor/migration/ledger_vault/names.hpp"
#include "velkor/migration/ledger_vault/shared_steps.hpp"

namespace velkor::ledger {

namespace {

// def _save_historical_data(self, address: Address, data: dict[str, Any],
//                           metadata: dict[str, Any]) -> None:
//     if not self._velkor_config.resources_config.lakehouse:
//         return None
//     _connection = self._connections_manager.get_connection(
//         self._velkor_config.resources_config.lakehouse)
//     _connection.put(address=address, data=data)
//     _connection.put(address=Address.from_string(f"resource#Metadata::{get_identifier()}"),
//                     data=metadata)
//
// `data` and `metadata` are exactly dicts: the parameter table tests them.
PyObject* save_historical_data(const Globals& g, PyObject* self, PyObject* address,
                               PyObject* data, PyObject* metadata) {
    Ref configured = lakehouse_name(self);
    if (!configured) {
        return nullptr;
    }
    const int has_lakehouse = PyObject_IsTrue(configured.get());
    if (has_lakehouse < 0) {
        return nullptr;
    }
    if (!has_lakehouse) {
        Py_RETURN_NONE;
    }
    Ref connection_name = lakehouse_name(self);
    if (!connection_name) {
        return nullptr;
    }
    Ref connection = connection_named(self, connection_name.get());
    if (!connection) {
        return nullptr;
    }
    Ref data_written = call_method_kw(connection.get(), put, {address, data}, kw_address_data);
    if (!data_written) {
        return nullptr;
    }

    Ref put_metadata = attr(connection.get(), put);
    if (!put_metadata) {
        return nullptr;
    }
    Ref address_class = g[Address];
    if (!address_class) {
        return nullptr;
    }
    Ref parse = attr(address_class.get(), from_string);
    if (!parse) {
        return nullptr;
    }
    Ref identifier = new_identifier(g);
    if (!identifier) {
        return nullptr;
    }
    Ref identifier_text = Ref::steal(PyObject_Format(identifier.get(), nullptr));
    if (!identifier_text) {
        return nullptr;
    }
    Ref address_text =
        Ref::steal(PyUnicode_Concat(metadata_address_prefix, identifier_text.get()));
    if (!address_text) {
        return nullptr;
    }
    Ref metadata_address = call(parse.get(), {address_text.get()});
    if (!metadata_address) {
        return nullptr;
    }
    Ref metadata_written =
        call_kw(put_metadata.get(), {metadata_address.get(), metadata}, kw_address_data);
    if (!metadata_written) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

constexpr FunctionDef save_historical_data_def = function<save_historical_data>(
    "_save_historical_data",
    {{"self"},
     {"address", "Address"},
     {"data", "dict[str, Any]", &PyDict_Type},
     {"metadata", "dict[str, Any]", &PyDict_Type}},
    "None");

}  // namespace velkor::ledger
