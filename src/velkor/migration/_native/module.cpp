// The module velkor.migration._native: the native function type that every
// native module of the package makes its functions of, and the capsule
// `_api` through which they take it (native/api.hpp).
//
// Evaluation order is the interpreter's, on purpose, in every module built
// on this type: a native body reads a value twice where the Python it
// replaces does (a module global through Globals, an attribute, an item),
// anew at each use, because tests replace module globals with recording
// fakes and check every read.  The type does its part: a function's globals
// are the module's dict itself, not a copy, and binding follows a Python
// function's order (positional arguments, then keywords and defaults, then
// the exact-type tests in parameter order).  Keep it so; do not cache.
#include "native/module.hpp"
#include "native/ref.hpp"
#include "velkor/migration/_native/state.hpp"

namespace velkor {

namespace {

NativeState* state_of(PyObject* module) {
    return static_cast<NativeState*>(PyModule_GetState(module));
}

int native_traverse(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module)->api.function_type);
    return 0;
}

// Breaks the cycle of the module and its type.  The names stay until the
// module is freed: the type's attributes read them as long as the type lives.
int native_clear(PyObject* module) {
    Py_CLEAR(state_of(module)->api.function_type);
    return 0;
}

void native_free(void* module) {
    NativeState* state = state_of(static_cast<PyObject*>(module));
    Py_CLEAR(state->api.function_type);
    for (PyObject*& name : state->names) {
        Py_CLEAR(name);
    }
}

int exec_native(PyObject* module) {
    NativeState* state = state_of(module);
    for (std::size_t i = 0; i < std::size(state->names); ++i) {
        state->names[i] = PyUnicode_InternFromString(kNativeNameTexts[i]);
        if (state->names[i] == nullptr) {
            return -1;
        }
    }
    PyObject* type = PyType_FromModuleAndSpec(module, &function_type_spec, nullptr);
    if (type == nullptr) {
        return -1;
    }
    state->api = NativeApi{kNativeApiVersion, reinterpret_cast<PyTypeObject*>(type),
                           make_native_function};
    if (PyModule_AddType(module, state->api.function_type) < 0) {
        return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(&state->api, kNativeApiCapsule, nullptr));
    if (!capsule) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "_api", capsule.get());
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_native)},
    VELKOR_MODULE_INTERPRETER_SLOTS
    {0, nullptr},
};

PyModuleDef native_def = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "The function type of the native modules of velkor.migration.",
    sizeof(NativeState),
    nullptr,
    native_slots,
    native_traverse,
    native_clear,
    native_free,
};

}  // namespace

}  // namespace velkor

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&velkor::native_def); }
