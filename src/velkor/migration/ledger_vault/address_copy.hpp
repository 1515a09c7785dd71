// Copies of addresses with one field replaced, the way every address the
// ledger writes is made.
#pragma once

#include "native/calls.hpp"
#include "velkor/migration/ledger_vault/names.hpp"

namespace velkor::ledger {

// model_copy(update={field: value}), `model_copy` being the bound method of
// the address to copy, looked up by the caller where its steps say.
inline Ref copy_with(PyObject* model_copy, PyObject* field, PyObject* value) {
    Ref update = Ref::steal(PyDict_New());
    if (!update || PyDict_SetItem(update.get(), field, value) < 0) {
        return Ref();
    }
    return call_kw(model_copy, {update.get()}, kw_update);
}

}  // namespace velkor::ledger
