// The configuration values the ledger reads, each read from the instance's
// configuration anew at every use, and the connection of a given name.
//
// The evaluation order of the Python is copied on purpose: each helper looks
// its whole chain up again, one attribute at a time, every time it is called,
// so a method that reads a value twice reads it twice here too.  Tests replace
// the configuration with recording fakes and count the reads; do not keep a
// value from one use for the next.
#pragma once

#include "native/calls.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

// self._velkor_config.resources_config.repository.default
inline Ref repository_default(PyObject* self) {
    return attr_path(self, {_velkor_config, resources_config, repository, default_});
}

// self._velkor_config.resources_config.lakehouse
inline Ref lakehouse_name(PyObject* self) {
    return attr_path(self, {_velkor_config, resources_config, lakehouse});
}

// self._connections_manager.get_connection(connection_name)
inline Ref connection_named(PyObject* self, PyObject* connection_name) {
    Ref manager = attr(self, _connections_manager);
    if (!manager) {
        return manager;
    }
    return call_method(manager.get(), get_connection, {connection_name});
}

// self._connections_manager.get_connection(
//     self._velkor_config.resources_config.repository.default)
inline Ref repository_connection(PyObject* self) {
    Ref name = repository_default(self);
    if (!name) {
        return name;
    }
    return connection_named(self, name.get());
}

}  // namespace velkor::ledger
