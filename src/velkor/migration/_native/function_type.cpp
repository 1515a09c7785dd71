// The native function type: a heap type of velkor.migration._native, the
// one type of every native function of the package.
#include "native/compat.hpp"
#include "native/exceptions.hpp"
#include "native/ref.hpp"
#include "velkor/migration/_native/arguments.hpp"
#include "velkor/migration/_native/state.hpp"

namespace velkor {

namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* names[kMaxParams];  // interned parameter names
    PyObject* qualname;           // str
    PyObject* module;             // __module__, any object; nullptr once deleted
    PyObject* globals;            // dict
    PyObject* annotations;        // dict, built on first use; nullptr until then
    PyObject* dict;               // __dict__, nullptr until first use
    PyObject* weakreflist;
};

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

PyObject* name_of(PyObject* self, NativeName name) {
    return (*native_state_of(Py_TYPE(self)))[name];
}

// Every native method is entered here, and here every C++ exception stops.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    NativeFunction* self = as_function(callable);
    const FunctionDef& def = *self->def;
    PyObject* bound[kMaxParams];
    if (bind_arguments(def, self->names, args, PyVectorcall_NARGS(nargsf), kwnames, bound) < 0) {
        return nullptr;
    }
    // Bodies call back into Python through self, so recursion (a nested type
    // description, say) must hit the interpreter's limit, not the C stack's.
    if (Py_EnterRecursiveCall(" while calling a native function")) {
        return nullptr;
    }
    PyObject* result;
    try {
        result = def.body(Globals(self->globals, Py_TYPE(callable)), bound);
    } catch (...) {
        result = raise_from_cpp_exception("native method", self->qualname);
    }
    Py_LeaveRecursiveCall();
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    NativeFunction* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(f->qualname);
    for (PyObject*& name : f->names) {
        Py_CLEAR(name);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Like a Python function: through the class it is itself, through an
// instance a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

// The annotations as text, in parameter order, "return" last.
PyObject* build_annotations(PyObject* self) {
    const FunctionDef& def = *as_function(self)->def;
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return nullptr;
    }
    for (const Param& param : def) {
        if (param.annotation == nullptr) {
            continue;
        }
        Ref text = Ref::steal(PyUnicode_FromString(param.annotation));
        if (!text || PyDict_SetItemString(annotations.get(), param.name, text.get()) < 0) {
            return nullptr;
        }
    }
    if (def.returns != nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(def.returns));
        if (!text ||
            PyDict_SetItem(annotations.get(), name_of(self, NativeName::return_), text.get()) < 0) {
            return nullptr;
        }
    }
    return annotations.release();
}

PyObject* get_annotations(PyObject* self, void*) {
    NativeFunction* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = build_annotations(self);
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || value == Py_None) {
        value = nullptr;
    } else if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    NativeFunction* f = as_function(self);
    Py_XSETREF(f->annotations, value != nullptr ? Py_NewRef(value) : PyDict_New());
    return f->annotations != nullptr ? 0 : -1;
}

PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(as_function(self)->def->name);
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

// A function's __module__ is its own, as a Python function's: any object may
// be set, and once deleted it reads as None.  The type's dict keeps the
// type's own __module__ (a heap type reads it there), so the function's is
// answered here, before the type's dict is searched.
bool is_module_attribute(PyObject* self, PyObject* name) {
    PyObject* module_name = name_of(self, NativeName::dunder_module);
    return name == module_name ||
           (PyUnicode_Check(name) && PyUnicode_Compare(name, module_name) == 0);
}

PyObject* function_getattro(PyObject* self, PyObject* name) {
    if (is_module_attribute(self, name)) {
        PyObject* module = as_function(self)->module;
        return Py_NewRef(module != nullptr ? module : Py_None);
    }
    return PyObject_GenericGetAttr(self, name);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (is_module_attribute(self, name)) {
        Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
        return 0;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_defaults(PyObject* self, void*) {
    const FunctionDef& def = *as_function(self)->def;
    Py_ssize_t count = 0;
    for (const Param& param : def) {
        count += param.defaults_to_none ? 1 : 0;
    }
    if (count == 0) {
        Py_RETURN_NONE;
    }
    PyObject* defaults = PyTuple_New(count);
    for (Py_ssize_t i = 0; defaults != nullptr && i < count; ++i) {
        PyTuple_SET_ITEM(defaults, i, Py_NewRef(Py_None));
    }
    return defaults;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }

// annotations.get(key, empty), as a new reference: building a Parameter runs
// Python code, which may change the dict.
Ref annotation_or(PyObject* annotations, PyObject* key, PyObject* empty) {
    PyObject* annotation = PyDict_GetItemWithError(annotations, key);
    if (annotation == nullptr && PyErr_Occurred()) {
        return Ref();
    }
    return Ref::borrow(annotation != nullptr ? annotation : empty);
}

// inspect.Signature of the parameter table, with the current annotations.
PyObject* get_signature(PyObject* self, void*) {
    NativeFunction* f = as_function(self);
    const FunctionDef& def = *f->def;
    const NativeState& names = *native_state_of(Py_TYPE(self));
    Ref inspect = Ref::steal(PyImport_Import(names[NativeName::inspect]));
    if (!inspect) {
        return nullptr;
    }
    Ref parameter = Ref::steal(PyObject_GetAttr(inspect.get(), names[NativeName::Parameter]));
    Ref signature = Ref::steal(PyObject_GetAttr(inspect.get(), names[NativeName::Signature]));
    if (!parameter || !signature) {
        return nullptr;
    }
    Ref empty = Ref::steal(PyObject_GetAttr(parameter.get(), names[NativeName::empty]));
    Ref kind =
        Ref::steal(PyObject_GetAttr(parameter.get(), names[NativeName::positional_or_keyword]));
    Ref annotations = Ref::steal(get_annotations(self, nullptr));
    Ref parameters = Ref::steal(PyList_New(0));
    Ref parameter_keywords = Ref::steal(
        PyTuple_Pack(2, names[NativeName::default_], names[NativeName::annotation]));
    if (!empty || !kind || !annotations || !parameters || !parameter_keywords) {
        return nullptr;
    }
    for (std::size_t i = 0; i < def.param_count; ++i) {
        Ref annotation = annotation_or(annotations.get(), f->names[i], empty.get());
        if (!annotation) {
            return nullptr;
        }
        PyObject* args[] = {f->names[i], kind.get(),
                            def.params[i].defaults_to_none ? Py_None : empty.get(),
                            annotation.get()};
        Ref param =
            Ref::steal(PyObject_Vectorcall(parameter.get(), args, 2, parameter_keywords.get()));
        if (!param || PyList_Append(parameters.get(), param.get()) < 0) {
            return nullptr;
        }
    }
    Ref returns = annotation_or(annotations.get(), names[NativeName::return_], empty.get());
    Ref signature_keywords = Ref::steal(PyTuple_Pack(1, names[NativeName::return_annotation]));
    if (!returns || !signature_keywords) {
        return nullptr;
    }
    PyObject* args[] = {parameters.get(), returns.get()};
    return PyObject_Vectorcall(signature.get(), args, 1, signature_keywords.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(NativeFunction, vectorcall), Py_READONLY,
     nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, weakreflist), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(NativeFunction, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

}  // namespace

PyType_Spec function_type_spec = {
    "velkor.migration._native.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyObject* make_native_function(PyTypeObject* type, const FunctionDef* def, PyObject* qualname,
                               PyObject* globals) {
    // Owned before the allocation, which may collect garbage and so run
    // Python code.
    PyObject* module_name =
        PyDict_GetItemWithError(globals, (*native_state_of(type))[NativeName::dunder_name]);
    if (module_name == nullptr && PyErr_Occurred()) {
        return nullptr;
    }
    Ref module = Ref::borrow(module_name != nullptr ? module_name : Py_None);
    NativeFunction* f = PyObject_GC_New(NativeFunction, type);
    if (f == nullptr) {
        return nullptr;
    }
    f->vectorcall = function_vectorcall;
    f->def = def;
    for (PyObject*& name : f->names) {
        name = nullptr;
    }
    f->qualname = Py_NewRef(qualname);
    f->module = module.release();
    f->globals = Py_NewRef(globals);
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    Ref function = Ref::steal(reinterpret_cast<PyObject*>(f));
    for (std::size_t i = 0; i < def->param_count; ++i) {
        f->names[i] = PyUnicode_InternFromString(def->params[i].name);
        if (f->names[i] == nullptr) {
            return nullptr;
        }
    }
    PyObject_GC_Track(f);
    return function.release();
}

}  // namespace velkor
