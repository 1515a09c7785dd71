// Binding of call arguments to a parameter table, with the messages our
// callers rely on.
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
