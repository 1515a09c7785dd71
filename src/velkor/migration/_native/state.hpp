// The state of the module velkor.migration._native: the table it hands to
// the other modules, and the names the function type's attributes use.
#pragma once

#include <Python.h>

#include <cstddef>
#include <iterator>

#include "native/api.hpp"

namespace velkor {

// Names the function type uses: its __module__ and __signature__ are made
// from them.
enum class NativeName : std::size_t {
    dunder_name,
    dunder_module,
    inspect,
    Parameter,
    Signature,
    empty,
    positional_or_keyword,
    default_,
    annotation,
    return_annotation,
    return_,
    count,
};

// The texts of the names, in the order of NativeName.
inline constexpr const char* kNativeNameTexts[] = {
    "__name__", "__module__", "inspect", "Parameter", "Signature", "empty",
    "POSITIONAL_OR_KEYWORD", "default", "annotation", "return_annotation", "return",
};
static_assert(std::size(kNativeNameTexts) == static_cast<std::size_t>(NativeName::count));

struct NativeState {
    NativeApi api;  // first: the capsule and native_api_of() point here
    PyObject* names[static_cast<std::size_t>(NativeName::count)];

    PyObject* operator[](NativeName name) const noexcept {
        return names[static_cast<std::size_t>(name)];
    }
};

// The state of the module that made `function_type`.
inline NativeState* native_state_of(PyTypeObject* function_type) {
    return static_cast<NativeState*>(PyType_GetModuleState(function_type));
}

// The type (its PyType_Spec) and the function that makes its objects
// (function_type.cpp).
extern PyType_Spec function_type_spec;
PyObject* make_native_function(PyTypeObject* type, const FunctionDef* def, PyObject* qualname,
                               PyObject* globals);

}  // namespace velkor
