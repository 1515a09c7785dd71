// Python's unpacking forms, with the interpreter's own messages, for module
// code that must fail exactly as the Python it replaces:
//
//     first, second = value      unpack(value, out, 2)
//     callable(**mapping)        call_unpacking(callable, mapping)
//     {**mapping}                copy_mapping(mapping)
//
// Why this and velkor/migration/_native/arguments.cpp are two: both take
// values apart, but not the same values.  This is for statements inside a
// body: it works on any Python object through the iteration and mapping
// protocols, may run Python code, and fails with the messages of those
// statements ("not enough values to unpack ...", "argument after ** must be
// a mapping").  arguments.cpp binds a call's arguments to a native
// function's parameters before any body runs, once per call in the function
// type's vectorcall: it works on the vectorcall's argument array and keyword
// names against a parameter table, runs no Python code, and fails with the
// messages of a bad call ("f() takes exactly 2 positional arguments (3
// given)").  They share no step, so they stay apart.
#pragma once

#include <Python.h>

#include "native/name.hpp"
#include "native/ref.hpp"

namespace velkor {

namespace unpack_names {
inline const Name qualname{"__qualname__"};
inline const Name module{"__module__"};
inline const Name builtins{"builtins"};
}  // namespace unpack_names

// a, b, ... = value: fills out[0..count) or returns -1 with the interpreter's
// TypeError ("cannot unpack non-iterable ...") or ValueError ("not enough
// values to unpack ...", "too many values to unpack ...") set.
inline int unpack(PyObject* value, Ref* out, int count) {
    if ((PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == count) ||
        (PyList_CheckExact(value) && PyList_GET_SIZE(value) == count)) {
        PyObject** items = PyTuple_CheckExact(value) ? &PyTuple_GET_ITEM(value, 0)
                                                     : &PyList_GET_ITEM(value, 0);
        for (int i = 0; i < count; ++i) {
            out[i] = Ref::borrow(items[i]);
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        out[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected %d, got %d)", count, i);
            }
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", count);
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// {**mapping}: a new dict of the mapping's entries.
inline Ref copy_mapping(PyObject* mapping) {
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) {
        return copy;
    }
    if (PyDict_Update(copy.get(), mapping) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping",
                         Py_TYPE(mapping)->tp_name);
        }
        return Ref();
    }
    return copy;
}

// getattr(obj, name, None) as a Ref, empty without an exception when obj has
// no such attribute.  Returns -1 with an exception set on any other error.
inline int optional_attr(PyObject* obj, PyObject* name, Ref& out) {
    out = Ref::steal(PyObject_GetAttr(obj, name));
    if (out || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return out ? 0 : -1;
    }
    PyErr_Clear();
    return 0;
}

// The callable as the interpreter names it in the message of a bad call:
// "<module>.<qualname>()", just "<qualname>()" for a builtin or without a
// module, and str(callable) without a qualified name.
inline Ref function_str(PyObject* callable) {
    Ref qualname;
    if (optional_attr(callable, unpack_names::qualname, qualname) < 0) {
        return Ref();
    }
    if (!qualname) {
        return Ref::steal(PyObject_Str(callable));
    }
    Ref module;
    if (optional_attr(callable, unpack_names::module, module) < 0) {
        return Ref();
    }
    if (module && module.get() != Py_None) {
        const int other = PyObject_RichCompareBool(module.get(), unpack_names::builtins, Py_NE);
        if (other < 0) {
            return Ref();
        }
        if (other) {
            return Ref::steal(PyUnicode_FromFormat("%S.%S()", module.get(), qualname.get()));
        }
    }
    return Ref::steal(PyUnicode_FromFormat("%S()", qualname.get()));
}

// callable(**mapping)
inline Ref call_unpacking(PyObject* callable, PyObject* mapping) {
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) {
        return kwargs;
    }
    if (PyDict_Update(kwargs.get(), mapping) < 0) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            Ref function = function_str(callable);
            if (function) {
                PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s",
                             function.get(), Py_TYPE(mapping)->tp_name);
            }
        }
        return Ref();
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) {
        return no_args;
    }
    return Ref::steal(PyObject_Call(callable, no_args.get(), kwargs.get()));
}

}  // namespace velkor
