// Small call helpers over vectorcall, so module code reads like the Python
// it replaces.  Every helper returns a new reference in a Ref, empty with an
// exception set on failure.
#pragma once

#include <Python.h>

#include <cassert>
#include <initializer_list>

#include "native/ref.hpp"

namespace velkor {

// callable(*args)
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    return Ref::steal(PyObject_Vectorcall(callable, args.begin(), args.size(), nullptr));
}

// callable(*args, **dict(zip(kwnames, kwvalues))); `values` holds the
// positional arguments followed by the keyword values, `kwnames` is a tuple
// of the keyword names.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> values,
                   PyObject* kwnames) {
    const std::size_t nargs = values.size() - PyTuple_GET_SIZE(kwnames);
    return Ref::steal(PyObject_Vectorcall(callable, values.begin(), nargs, kwnames));
}

// obj.name(*args), without making a bound method.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {}) {
    assert(args.size() < 8);
    PyObject* stack[8];
    std::size_t n = 0;
    stack[n++] = obj;
    for (PyObject* arg : args) {
        stack[n++] = arg;
    }
    return Ref::steal(PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

// obj.name(*args, **kw) with keyword names in `kwnames`, values last in `values`.
inline Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> values,
                          PyObject* kwnames) {
    assert(values.size() < 8);
    PyObject* stack[8];
    std::size_t n = 0;
    stack[n++] = obj;
    for (PyObject* value : values) {
        stack[n++] = value;
    }
    const std::size_t nargs = n - PyTuple_GET_SIZE(kwnames);
    return Ref::steal(PyObject_VectorcallMethod(name, stack,
                                                nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// getattr(obj, name)
inline Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

}  // namespace velkor
