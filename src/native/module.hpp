// A module's set-up, written once for every module of the package.  It runs
// in the order the module's Python source would: bind the imported names,
// then create the classes from their bodies.
//
//     const Import imports[] = {{"json"}, {"abc", "ABC"}, ...};
//     int create_classes(const Globals& g) { ... make_class(g, ...) ... }
//     constexpr ModuleSetUp set_up{"class_foundry", imports, create_classes};
//     PyMODINIT_FUNC PyInit_class_foundry() { return init_module<set_up>(); }
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "native/function.hpp"
#include "native/ref.hpp"

// The slots every module of the package has besides its set-up.  The
// modules keep interned names for the life of the process
// (docs/native-layer.md), so they load into the main interpreter only, and
// they rely on the GIL.
#if PY_VERSION_HEX >= 0x030D0000
#define VELKOR_MODULE_INTERPRETER_SLOTS                                              \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, \
        {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define VELKOR_MODULE_INTERPRETER_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VELKOR_MODULE_INTERPRETER_SLOTS
#endif

namespace velkor {

// `import <module>` (no name) or `from <module> import <name>`, binding the
// module or the name under its own name in the module globals.
struct Import {
    const char* module;
    const char* name = nullptr;
};

// What a module is: its name, its imports in order, and the classes it makes
// once they are bound.
struct ModuleSetUp {
    const char* name;
    const Import* imports;
    std::size_t import_count;
    int (*create_classes)(const Globals& g);  // 0, or -1 with an exception set

    template <std::size_t N>
    constexpr ModuleSetUp(const char* module_name, const Import (&module_imports)[N],
                          int (*classes)(const Globals&)) noexcept
        : name(module_name), imports(module_imports), import_count(N), create_classes(classes) {}

    constexpr ModuleSetUp(const char* module_name, int (*classes)(const Globals&)) noexcept
        : name(module_name), imports(nullptr), import_count(0), create_classes(classes) {}
};

// The state of each module: the native function type it makes its functions
// of (a strong reference, which keeps velkor.migration._native alive).
struct ModuleState {
    PyTypeObject* function_type;
};

// The module's set-up: takes the function type from velkor.migration._native,
// interns the module's Names, binds the imports and creates the classes.  A
// C++ exception stops here, as it does in a native function.
int exec_module(PyObject* module, const ModuleSetUp& set_up);
int traverse_module(PyObject* module, visitproc visit, void* arg);
int clear_module(PyObject* module);
void free_module(void* module);

// The module initialisation function's result: the module's definition,
// with multi-phase initialisation.
template <const ModuleSetUp& SetUp>
PyObject* init_module() {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* module) {
             return exec_module(module, SetUp);
         })},
        VELKOR_MODULE_INTERPRETER_SLOTS
        {0, nullptr},
    };
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT,
        SetUp.name,
        nullptr,
        sizeof(ModuleState),
        nullptr,
        slots,
        traverse_module,
        clear_module,
        free_module,
    };
    return PyModuleDef_Init(&definition);
}

enum class Decorator { none, abstract, static_method, class_method };

// One statement of a class body, in the order the body runs them.
struct ClassMember {
    const char* name;
    // A method: its definition and decorator.
    const FunctionDef* def = nullptr;
    Decorator decorator = Decorator::none;
    // A class attribute: its annotation text (nullptr: not annotated) and
    // its value (borrowed).
    const char* annotation = nullptr;
    PyObject* value = nullptr;
};

inline ClassMember method(const FunctionDef& def, Decorator decorator = Decorator::none) {
    return ClassMember{def.name, &def, decorator, nullptr, nullptr};
}

inline ClassMember attribute(const char* name, const char* annotation, PyObject* value) {
    return ClassMember{name, nullptr, Decorator::none, annotation, value};
}

// Creates a class as a `class` statement does: the metaclass of the bases is
// called with the name, the bases and a namespace holding __module__,
// __qualname__, __annotations__ (when any member is annotated) and the
// members in order.  Methods get the qualified name "<class>.<method>"; the
// `abstractmethod` decorator is the module global of that name, looked up
// now.  The class is bound in the globals under its name.
Ref make_class(const Globals& g, const char* name, PyObject* bases,
               std::initializer_list<ClassMember> members);

}  // namespace velkor
