// What velkor.migration._native hands to the modules that make native
// functions: the one native function type of the package, and the function
// that makes a function object of it.
//
// The table is the start of _native's module state.  _native publishes it as
// the capsule `_native._api`; a module takes it at set-up (module.cpp) and
// keeps a strong reference to the type.  The type keeps its module, and so
// the table, alive: from a function's type the table is always reachable.
#pragma once

#include <Python.h>

#include "native/function.hpp"

namespace velkor {

// A module whose _native comes from another build refuses to load.  Bump it
// whenever NativeApi, FunctionDef or Param change.
inline constexpr unsigned kNativeApiVersion = 1;

inline constexpr const char kNativeModule[] = "velkor.migration._native";
inline constexpr const char kNativeApiCapsule[] = "velkor.migration._native._api";

struct NativeApi {
    unsigned version;  // kNativeApiVersion of the build that made it
    PyTypeObject* function_type;
    // A new function object of `type` (a native function type) for `def` (a
    // definition of static storage), or nullptr with an exception set.
    PyObject* (*make_function)(PyTypeObject* type, const FunctionDef* def, PyObject* qualname,
                               PyObject* globals);
};

// The table of the module that made `function_type`, or nullptr with an
// exception set.
inline const NativeApi* native_api_of(PyTypeObject* function_type) {
    return static_cast<const NativeApi*>(PyType_GetModuleState(function_type));
}

}  // namespace velkor
