#include "native/function.hpp"

#include <structmember.h>

#include "native/arguments.hpp"
#include "native/name.hpp"

namespace velkor {

namespace {

const Name kName{"__name__"};
const Name kInspect{"inspect"};
const Name kParameter{"Parameter"};
const Name kSignature{"Signature"};
const Name kEmpty{"empty"};
const Name kPositionalOrKeyword{"POSITIONAL_OR_KEYWORD"};
const Name kDefault{"default"};
const Name kAnnotation{"annotation"};
const Name kReturnAnnotation{"return_annotation"};
const Name kReturn{"return"};

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* names[kMaxParams];  // interned parameter names
    PyObject* qualname;           // str
    PyObject* module;             // __module__, any object
    PyObject* globals;            // dict
    PyObject* annotations;        // dict, built on first use; nullptr until then
    PyObject* dict;               // __dict__, nullptr until first use
    PyObject* weakreflist;
};

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

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
    PyObject* result = def.body(Globals(self->globals), bound);
    Py_LeaveRecursiveCall();
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_function(self);
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
    PyObject_GC_UnTrack(self);
    if (f->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(f->qualname);
    for (PyObject*& name : f->names) {
        Py_CLEAR(name);
    }
    PyObject_GC_Del(self);
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
PyObject* build_annotations(const FunctionDef& def) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) {
        return nullptr;
    }
    for (const Param& param : def.params) {
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
        if (!text || PyDict_SetItem(annotations.get(), kReturn, text.get()) < 0) {
            return nullptr;
        }
    }
    return annotations.release();
}

PyObject* get_annotations(PyObject* self, void*) {
    NativeFunction* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = build_annotations(*f->def);
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

PyObject* get_name(PyObject* self, void*) { return PyUnicode_FromString(as_function(self)->def->name); }

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_SETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_defaults(PyObject* self, void*) {
    const FunctionDef& def = *as_function(self)->def;
    Py_ssize_t count = 0;
    for (const Param& param : def.params) {
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

// inspect.Signature of the parameter table, with the current annotations.
PyObject* get_signature(PyObject* self, void*) {
    NativeFunction* f = as_function(self);
    const FunctionDef& def = *f->def;
    Ref inspect = Ref::steal(PyImport_Import(kInspect));
    if (!inspect) {
        return nullptr;
    }
    Ref parameter = Ref::steal(PyObject_GetAttr(inspect.get(), kParameter));
    Ref signature = Ref::steal(PyObject_GetAttr(inspect.get(), kSignature));
    if (!parameter || !signature) {
        return nullptr;
    }
    Ref empty = Ref::steal(PyObject_GetAttr(parameter.get(), kEmpty));
    Ref kind = Ref::steal(PyObject_GetAttr(parameter.get(), kPositionalOrKeyword));
    Ref annotations = Ref::steal(get_annotations(self, nullptr));
    Ref parameters = Ref::steal(PyList_New(0));
    if (!empty || !kind || !annotations || !parameters) {
        return nullptr;
    }
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        PyObject* annotation = PyDict_GetItemWithError(annotations.get(), f->names[i]);
        if (annotation == nullptr && PyErr_Occurred()) {
            return nullptr;
        }
        PyObject* args[] = {f->names[i], kind.get(),
                            def.params[i].defaults_to_none ? Py_None : empty.get(),
                            annotation != nullptr ? annotation : empty.get()};
        Ref kwnames = Ref::steal(PyTuple_Pack(2, kDefault.get(), kAnnotation.get()));
        if (!kwnames) {
            return nullptr;
        }
        Ref param = Ref::steal(PyObject_Vectorcall(parameter.get(), args, 2, kwnames.get()));
        if (!param || PyList_Append(parameters.get(), param.get()) < 0) {
            return nullptr;
        }
    }
    PyObject* returns = PyDict_GetItemWithError(annotations.get(), kReturn);
    if (returns == nullptr && PyErr_Occurred()) {
        return nullptr;
    }
    PyObject* args[] = {parameters.get(), returns != nullptr ? returns : empty.get()};
    Ref kwnames = Ref::steal(PyTuple_Pack(1, kReturnAnnotation.get()));
    if (!kwnames) {
        return nullptr;
    }
    return PyObject_Vectorcall(signature.get(), args, 1, kwnames.get());
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
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "native_function";
    type.tp_basicsize = sizeof(NativeFunction);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_getattro = PyObject_GenericGetAttr;
    type.tp_setattro = PyObject_GenericSetAttr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_weaklistoffset = offsetof(NativeFunction, weakreflist);
    type.tp_getset = function_getset;
    type.tp_members = function_members;
    type.tp_descr_get = function_descr_get;
    type.tp_dictoffset = offsetof(NativeFunction, dict);
    return type;
}();

}  // namespace

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

int ready_function_type() { return PyType_Ready(&function_type); }

bool is_native_function(PyObject* object) { return Py_TYPE(object) == &function_type; }

Ref make_function(const FunctionDef& def, PyObject* qualname, PyObject* globals) {
    if (def.params.size() != def.body_arity ||
        def.params.size() > static_cast<std::size_t>(kMaxParams)) {
        PyErr_Format(PyExc_SystemError, "%s: the parameter table does not fit the body", def.name);
        return Ref();
    }
    PyObject* module = PyDict_GetItemWithError(globals, kName);
    if (module == nullptr && PyErr_Occurred()) {
        return Ref();
    }
    NativeFunction* f = PyObject_GC_New(NativeFunction, &function_type);
    if (f == nullptr) {
        return Ref();
    }
    f->vectorcall = function_vectorcall;
    f->def = &def;
    for (PyObject*& name : f->names) {
        name = nullptr;
    }
    f->qualname = Py_NewRef(qualname);
    f->module = Py_NewRef(module != nullptr ? module : Py_None);
    f->globals = Py_NewRef(globals);
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    Ref function = Ref::steal(reinterpret_cast<PyObject*>(f));
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        f->names[i] = PyUnicode_InternFromString(def.params[i].name);
        if (f->names[i] == nullptr) {
            return Ref();
        }
    }
    PyObject_GC_Track(function.get());
    return function;
}

}  // namespace velkor
