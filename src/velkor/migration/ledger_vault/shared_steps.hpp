// Steps that saving, deleting and the historical copy all take, written once.
#pragma once

#include "native/calls.hpp"
#include "native/function.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

// get_identifier()
inline Ref new_identifier(const Globals& g) {
    Ref identifier_of = g[get_identifier];
    if (!identifier_of) {
        return Ref();
    }
    return call(identifier_of.get());
}

// json.loads(model.model_dump_json())
inline Ref json_form(const Globals& g, PyObject* model) {
    Ref json_module = g[json];
    if (!json_module) {
        return Ref();
    }
    Ref json_loads = attr(json_module.get(), loads);
    if (!json_loads) {
        return Ref();
    }
    Ref text = call_method(model, model_dump_json);
    if (!text) {
        return Ref();
    }
    return call(json_loads.get(), {text.get()});
}

// target[key] = getattr(getattr(record, field), inner)
inline int set_item_from(PyObject* target, PyObject* key, PyObject* record, PyObject* field,
                         PyObject* inner) {
    Ref value = attr_path(record, {field, inner});
    if (!value) {
        return -1;
    }
    return PyDict_CheckExact(target) ? PyDict_SetItem(target, key, value.get())
                                     : PyObject_SetItem(target, key, value.get());
}

}  // namespace velkor::ledger
