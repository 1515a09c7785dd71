#include "native/function.hpp"

#include "native/api.hpp"

namespace velkor {

Ref Globals::operator[](PyObject* name) const {
    PyObject* value = PyDict_GetItemWithError(dict_, name);
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) {
        return Ref();
    }
    value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref();
}

Ref make_function(const Globals& g, const FunctionDef& def, PyObject* qualname) {
    const NativeApi* api = native_api_of(g.function_type());
    if (api == nullptr) {
        return Ref();
    }
    return Ref::steal(api->make_function(g.function_type(), &def, qualname, g.dict()));
}

int expect_exact(PyObject* value, PyTypeObject* type, const char* expected, bool none_allowed) {
    if (Py_TYPE(value) == type || (none_allowed && value == Py_None)) {
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(value)->tp_name);
    return -1;
}

}  // namespace velkor
