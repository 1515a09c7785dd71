#include "native/module.hpp"

#include <utility>

#include "native/api.hpp"
#include "native/exceptions.hpp"
#include "native/name.hpp"

namespace velkor {

namespace {

ModuleState* state_of(PyObject* module) {
    return static_cast<ModuleState*>(PyModule_GetState(module));
}

// import velkor.migration._native, and keep the function type its capsule
// hands out, provided both come from this build.
int take_function_type(ModuleState* state) {
    Ref native = Ref::steal(PyImport_ImportModule(kNativeModule));
    if (!native) {
        return -1;
    }
    Ref capsule = Ref::steal(PyObject_GetAttrString(native.get(), "_api"));
    if (!capsule) {
        return -1;
    }
    const auto* api =
        static_cast<const NativeApi*>(PyCapsule_GetPointer(capsule.get(), kNativeApiCapsule));
    if (api == nullptr) {
        return -1;
    }
    if (api->version != kNativeApiVersion || api->function_type == nullptr) {
        PyErr_Format(PyExc_ImportError,
                     "%s comes from another build of velkor-migration (native API version %u, "
                     "expected %u)",
                     kNativeModule, api->version, kNativeApiVersion);
        return -1;
    }
    Py_INCREF(api->function_type);
    state->function_type = api->function_type;
    return 0;
}

// `import <module>`
int import_module(PyObject* globals, const char* module) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    if (!imported) {
        return -1;
    }
    return PyDict_SetItemString(globals, module, imported.get());
}

// `from <module> import <name>`
int import_from(PyObject* globals, const char* module, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    if (!imported) {
        return -1;
    }
    Ref value = Ref::steal(PyObject_GetAttrString(imported.get(), name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        return -1;
    }
    return PyDict_SetItemString(globals, name, value.get());
}

int bind_imports(PyObject* globals, const ModuleSetUp& set_up) {
    for (std::size_t i = 0; i < set_up.import_count; ++i) {
        const Import& import = set_up.imports[i];
        const int bound = import.name == nullptr
                              ? import_module(globals, import.module)
                              : import_from(globals, import.module, import.name);
        if (bound < 0) {
            return -1;
        }
    }
    return 0;
}

Ref intern(const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); }

// The most derived metaclass of the bases, as the class statement picks it.
Ref metaclass_of(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) {
            continue;
        }
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return Ref();
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

Ref decorate(const Globals& g, Ref function, Decorator decorator) {
    switch (decorator) {
        case Decorator::none:
            return function;
        case Decorator::static_method:
            return Ref::steal(PyStaticMethod_New(function.get()));
        case Decorator::class_method:
            return Ref::steal(PyClassMethod_New(function.get()));
        case Decorator::abstract: {
            Ref name = intern("abstractmethod");
            if (!name) {
                return Ref();
            }
            Ref abstractmethod = g[name.get()];
            if (!abstractmethod) {
                return Ref();
            }
            return Ref::steal(PyObject_CallOneArg(abstractmethod.get(), function.get()));
        }
    }
    return Ref();
}

int set_member(const Globals& g, PyObject* namespace_, PyObject* annotations,
               PyObject* class_name, const ClassMember& member) {
    Ref key = intern(member.name);
    if (!key) {
        return -1;
    }
    if (member.def == nullptr) {
        if (member.annotation != nullptr) {
            Ref text = Ref::steal(PyUnicode_FromString(member.annotation));
            if (!text || PyDict_SetItem(annotations, key.get(), text.get()) < 0) {
                return -1;
            }
        }
        return PyObject_SetItem(namespace_, key.get(), member.value);
    }
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%s", class_name, member.name));
    if (!qualname) {
        return -1;
    }
    Ref function = make_function(g, *member.def, qualname.get());
    if (!function) {
        return -1;
    }
    Ref value = decorate(g, std::move(function), member.decorator);
    if (!value) {
        return -1;
    }
    return PyObject_SetItem(namespace_, key.get(), value.get());
}

}  // namespace

int exec_module(PyObject* module, const ModuleSetUp& set_up) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return -1;
    }
    try {
        ModuleState* state = state_of(module);
        if (take_function_type(state) < 0 || Name::intern_all() < 0) {
            return -1;
        }
        PyObject* globals = PyModule_GetDict(module);
        if (bind_imports(globals, set_up) < 0) {
            return -1;
        }
        return set_up.create_classes(Globals(globals, state->function_type));
    } catch (...) {
        raise_from_cpp_exception("set-up of module", module_name.get());
        return -1;
    }
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module)->function_type);
    return 0;
}

int clear_module(PyObject* module) {
    Py_CLEAR(state_of(module)->function_type);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

Ref make_class(const Globals& g, const char* name, PyObject* bases,
               std::initializer_list<ClassMember> members) {
    Ref metaclass = metaclass_of(bases);
    Ref class_name = intern(name);
    Ref prepare = intern("__prepare__");
    if (!metaclass || !class_name || !prepare) {
        return Ref();
    }
    PyObject* prepare_args[] = {metaclass.get(), class_name.get(), bases};
    Ref namespace_ = Ref::steal(PyObject_VectorcallMethod(
        prepare.get(), prepare_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!namespace_) {
        return Ref();
    }
    Ref name_key = intern("__name__");
    if (!name_key) {
        return Ref();
    }
    // Owned: the namespace's __setitem__ may be Python code.
    Ref module = Ref::borrow(PyDict_GetItemWithError(g.dict(), name_key.get()));
    if (!module) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "module globals without __name__");
        }
        return Ref();
    }
    Ref module_key = intern("__module__");
    Ref qualname_key = intern("__qualname__");
    if (!module_key || !qualname_key ||
        PyObject_SetItem(namespace_.get(), module_key.get(), module.get()) < 0 ||
        PyObject_SetItem(namespace_.get(), qualname_key.get(), class_name.get()) < 0) {
        return Ref();
    }
    Ref annotations;
    for (const ClassMember& member : members) {
        if (member.annotation != nullptr && !annotations) {
            Ref annotations_key = intern("__annotations__");
            annotations = Ref::steal(PyDict_New());
            if (!annotations_key || !annotations ||
                PyObject_SetItem(namespace_.get(), annotations_key.get(), annotations.get()) < 0) {
                return Ref();
            }
        }
        if (set_member(g, namespace_.get(), annotations.get(), class_name.get(), member) < 0) {
            return Ref();
        }
    }
    PyObject* args[] = {class_name.get(), bases, namespace_.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(metaclass.get(), args, 3, nullptr));
    if (!cls || PyDict_SetItem(g.dict(), class_name.get(), cls.get()) < 0) {
        return Ref();
    }
    return cls;
}

}  // namespace velkor
