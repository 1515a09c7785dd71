// Binding of call arguments to a parameter table, with the messages our
// callers rely on.
//
// This is not native/unpack.hpp, and the two are not one on purpose: this
// binds the arguments of a call to a native function's parameters, the
// interpreter's job on entering a Python function, once per call in the
// function type's vectorcall, on the raw vectorcall arguments and without
// running Python code.  native/unpack.hpp is for the unpacking statements
// inside a body (`a, b = value`, `f(**mapping)`), on arbitrary Python objects
// and with those statements' messages.
#pragma once

#include <Python.h>

#include "native/function.hpp"

namespace velkor {

// Binds a vectorcall's arguments to `def`'s parameters, all of them
// positional-or-keyword, as borrowed references in `out` (parameters left
// out get their default), then applies the exact-type tests in parameter
// order.  `names` holds the interned parameter names.  Returns -1 with
// TypeError set on a bad call:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//   "%.200s() got an unexpected keyword argument '%U'"
//   "%.200s() got multiple values for keyword argument '%U'"
//   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
int bind_arguments(const FunctionDef& def, PyObject* const* names, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

}  // namespace velkor
