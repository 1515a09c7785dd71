// Binding a call's arguments to a native function's parameters (why this is
// apart from native/unpack.hpp: arguments.hpp).
#include "velkor/migration/_native/arguments.hpp"

#include "native/compat.hpp"

namespace velkor {

namespace {

Py_ssize_t required_count(const FunctionDef& def) {
    Py_ssize_t count = 0;
    for (const Param& param : def) {
        if (!param.defaults_to_none) {
            ++count;
        }
    }
    return count;
}

VELKOR_COLD int raise_count(const FunctionDef& def, Py_ssize_t found) {
    const Py_ssize_t most = static_cast<Py_ssize_t>(def.param_count);
    const Py_ssize_t least = required_count(def);
    const char* how = "exactly";
    Py_ssize_t expected = most;
    if (least != most) {
        how = found < least ? "at least" : "at most";
        expected = found < least ? least : most;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.name, how, expected, expected == 1 ? "" : "s", found);
    return -1;
}

bool same_name(PyObject* a, PyObject* b) {
    return a == b || PyUnicode_Compare(a, b) == 0;
}

// The value of keyword `name` in a vectorcall, or nullptr.
PyObject* keyword_value(PyObject* name, PyObject* const* kwvalues, PyObject* kwnames) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            return kwvalues[i];
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (same_name(PyTuple_GET_ITEM(kwnames, i), name)) {
            return kwvalues[i];
        }
    }
    return nullptr;
}

// Every keyword matched a parameter not given by position, or else this
// names the first one that did not.
VELKOR_COLD int raise_bad_keyword(const FunctionDef& def, PyObject* const* names,
                                  Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(def.param_count);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = -1;
        for (Py_ssize_t i = 0; i < nparams; ++i) {
            if (same_name(key, names[i])) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'",
                         def.name, key);
            return -1;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError,
                         "%.200s() got multiple values for keyword argument '%U'", def.name, key);
            return -1;
        }
    }
    // Only a keyword given twice in one call gets here; the caller's own
    // checks make that impossible, but say so rather than pass silently.
    PyErr_Format(PyExc_TypeError, "%.200s() got repeated keyword arguments", def.name);
    return -1;
}

VELKOR_COLD int raise_wrong_type(const Param& param, PyObject* value) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 param.exact_type->tp_name, Py_TYPE(value)->tp_name);
    return -1;
}

int test_types(const FunctionDef& def, PyObject** out) {
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(def.param_count);
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        const Param& param = def.params[i];
        if (param.exact_type != nullptr && Py_TYPE(out[i]) != param.exact_type) {
            return raise_wrong_type(param, out[i]);
        }
    }
    return 0;
}

}  // namespace

int bind_arguments(const FunctionDef& def, PyObject* const* names, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(def.param_count);
    if (nargs > nparams) {
        return raise_count(def, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        PyObject* value = nullptr;
        if (kwnames != nullptr) {
            value = keyword_value(names[i], args + nargs, kwnames);
        }
        if (value != nullptr) {
            ++matched;
        } else if (def.params[i].defaults_to_none) {
            value = Py_None;
        } else {
            return raise_count(def, i);
        }
        out[i] = value;
    }
    if (kwnames != nullptr && matched != PyTuple_GET_SIZE(kwnames)) {
        return raise_bad_keyword(def, names, nargs, kwnames);
    }
    return test_types(def, out);
}

}  // namespace velkor
