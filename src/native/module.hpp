// What a module's set-up does, in the order its Python source would do it:
// bind imported names, then create classes from their bodies.
#pragma once

#include <Python.h>

#include <vector>

#include "native/function.hpp"
#include "native/ref.hpp"

namespace velkor {

// Readies the shared types and interns every Name of this module.  The first
// step of each module's set-up.
int prepare_module();

// `import <module>`, binding the module under `as` in globals.
int import_module(PyObject* globals, const char* module, const char* as);

// `from <module> import <name>`, binding it under the same name.
int import_from(PyObject* globals, const char* module, const char* name);

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
// now.  The class is bound in globals under its name.
Ref make_class(PyObject* globals, const char* name, PyObject* bases,
               const std::vector<ClassMember>& members);

}  // namespace velkor
