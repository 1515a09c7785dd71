#include "native/module.hpp"

#include "native/name.hpp"

namespace velkor {

namespace {

const Name kName{"__name__"};
const Name kModule{"__module__"};
const Name kQualname{"__qualname__"};
const Name kAnnotations{"__annotations__"};
const Name kPrepare{"__prepare__"};
const Name kAbstractmethod{"abstractmethod"};

// The most derived metaclass of the bases, as the class statement picks it.
PyObject* metaclass_of(PyObject* bases) {
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
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(winner);
}

Ref decorate(PyObject* globals, Ref function, Decorator decorator) {
    switch (decorator) {
        case Decorator::none:
            return function;
        case Decorator::static_method:
            return Ref::steal(PyStaticMethod_New(function.get()));
        case Decorator::class_method:
            return Ref::steal(PyClassMethod_New(function.get()));
        case Decorator::abstract: {
            Ref abstractmethod = Globals(globals)[kAbstractmethod];
            if (!abstractmethod) {
                return Ref();
            }
            return Ref::steal(PyObject_CallOneArg(abstractmethod.get(), function.get()));
        }
    }
    return Ref();
}

int set_member(PyObject* globals, PyObject* namespace_, PyObject* annotations,
               PyObject* class_name, const ClassMember& member) {
    if (member.def == nullptr) {
        if (member.annotation != nullptr) {
            Ref text = Ref::steal(PyUnicode_FromString(member.annotation));
            if (!text || PyDict_SetItemString(annotations, member.name, text.get()) < 0) {
                return -1;
            }
        }
        Ref key = Ref::steal(PyUnicode_InternFromString(member.name));
        if (!key) {
            return -1;
        }
        return PyObject_SetItem(namespace_, key.get(), member.value);
    }
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%s", class_name, member.name));
    if (!qualname) {
        return -1;
    }
    Ref function = make_function(*member.def, qualname.get(), globals);
    if (!function) {
        return -1;
    }
    Ref value = decorate(globals, std::move(function), member.decorator);
    Ref key = Ref::steal(PyUnicode_InternFromString(member.name));
    if (!value || !key) {
        return -1;
    }
    return PyObject_SetItem(namespace_, key.get(), value.get());
}

}  // namespace

int prepare_module() {
    if (ready_function_type() < 0) {
        return -1;
    }
    return Name::intern_all();
}

int import_module(PyObject* globals, const char* module, const char* as) {
    Ref imported = Ref::steal(PyImport_ImportModule(module));
    if (!imported) {
        return -1;
    }
    return PyDict_SetItemString(globals, as, imported.get());
}

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

Ref make_class(PyObject* globals, const char* name, PyObject* bases,
               const std::vector<ClassMember>& members) {
    PyObject* metaclass = metaclass_of(bases);
    if (metaclass == nullptr) {
        return Ref();
    }
    Ref class_name = Ref::steal(PyUnicode_InternFromString(name));
    if (!class_name) {
        return Ref();
    }
    PyObject* prepare_args[] = {metaclass, class_name.get(), bases};
    Ref namespace_ = Ref::steal(PyObject_VectorcallMethod(
        kPrepare, prepare_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!namespace_) {
        return Ref();
    }
    PyObject* module = PyDict_GetItemWithError(globals, kName);
    if (module == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "module globals without __name__");
        }
        return Ref();
    }
    if (PyObject_SetItem(namespace_.get(), kModule, module) < 0 ||
        PyObject_SetItem(namespace_.get(), kQualname, class_name.get()) < 0) {
        return Ref();
    }
    Ref annotations;
    for (const ClassMember& member : members) {
        if (member.annotation != nullptr && !annotations) {
            annotations = Ref::steal(PyDict_New());
            if (!annotations ||
                PyObject_SetItem(namespace_.get(), kAnnotations, annotations.get()) < 0) {
                return Ref();
            }
        }
        if (set_member(globals, namespace_.get(), annotations.get(), class_name.get(), member) <
            0) {
            return Ref();
        }
    }
    PyObject* args[] = {class_name.get(), bases, namespace_.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(metaclass, args, 3, nullptr));
    if (!cls || PyDict_SetItem(globals, class_name.get(), cls.get()) < 0) {
        return Ref();
    }
    return cls;
}

}  // namespace velkor
