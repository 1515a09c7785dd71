// Small call helpers over vectorcall, and attribute lookups, so module code
// reads like the Python it replaces.  Every helper returns a new reference in
// a Ref, empty with an exception set on failure.
//
// Arguments are written as a braced list, `call_method(obj, name, {a, b})`;
// its length is a template argument, so the call stack is sized, and a
// keyword call checked against its keyword names, at compile time.
#pragma once

#include <Python.h>

#include <cstddef>

#include "native/name.hpp"
#include "native/ref.hpp"

namespace velkor {

// callable()
inline Ref call(PyObject* callable) {
    return Ref::steal(PyObject_Vectorcall(callable, nullptr, 0, nullptr));
}

// callable(*args)
template <std::size_t N>
Ref call(PyObject* callable, PyObject* const (&args)[N]) {
    return Ref::steal(PyObject_Vectorcall(callable, args, N, nullptr));
}

// callable(*args, **dict(zip(kwnames, kwvalues))); `values` holds the
// positional arguments followed by one value per keyword name.
template <std::size_t N, std::size_t K>
Ref call_kw(PyObject* callable, PyObject* const (&values)[N], const Keywords<K>& kwnames) {
    static_assert(N >= K, "a keyword call needs a value for each keyword name");
    return Ref::steal(PyObject_Vectorcall(callable, values, N - K, kwnames));
}

// obj.name(), without making a bound method.
inline Ref call_method(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_VectorcallMethod(name, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

// obj.name(*args), without making a bound method.
template <std::size_t N>
Ref call_method(PyObject* obj, PyObject* name, PyObject* const (&args)[N]) {
    PyObject* stack[N + 1] = {obj};
    for (std::size_t i = 0; i < N; ++i) {
        stack[i + 1] = args[i];
    }
    return Ref::steal(PyObject_VectorcallMethod(name, stack,
                                                (N + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args, **kw) with keyword names in `kwnames`, values last in `values`.
template <std::size_t N, std::size_t K>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* const (&values)[N],
                   const Keywords<K>& kwnames) {
    static_assert(N >= K, "a keyword call needs a value for each keyword name");
    PyObject* stack[N + 1] = {obj};
    for (std::size_t i = 0; i < N; ++i) {
        stack[i + 1] = values[i];
    }
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (N + 1 - K) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// getattr(obj, name)
inline Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// obj.name1.name2...: one getattr per name, in order, each on the result of
// the one before, as the interpreter evaluates the chain.  Nothing is kept
// between calls, so each call looks the whole chain up anew; the first
// failing lookup's exception stands and the rest are not made.
template <std::size_t N>
Ref attr_path(PyObject* obj, PyObject* const (&names)[N]) {
    static_assert(N >= 1, "an attribute path names at least one attribute");
    Ref value = attr(obj, names[0]);
    for (std::size_t i = 1; i < N && value; ++i) {
        value = attr(value.get(), names[i]);
    }
    return value;
}

}  // namespace velkor
