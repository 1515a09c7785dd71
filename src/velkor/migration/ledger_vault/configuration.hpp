// The configuration values the ledger reads, each read from the instance's
// configuration anew at every use, and the connection of a given name.
#pragma once

#include "native/calls.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

// self._velkor_config.resources_config
inline Ref resources_of(PyObject* self) {
    Ref config = attr(self, _velkor_config);
    if (!config) {
        return config;
    }
    return attr(config.get(), resources_config);
}

// self._velkor_config.resources_config.repository.default
inline Ref repository_default(PyObject* self) {
    Ref resources = resources_of(self);
    if (!resources) {
        return resources;
    }
    Ref repository_config = attr(resources.get(), repository);
    if (!repository_config) {
        return repository_config;
    }
    return attr(repository_config.get(), default_);
}

// self._velkor_config.resources_config.lakehouse
inline Ref lakehouse_name(PyObject* self) {
    Ref resources = resources_of(self);
    if (!resources) {
        return resources;
    }
    return attr(resources.get(), lakehouse);
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
