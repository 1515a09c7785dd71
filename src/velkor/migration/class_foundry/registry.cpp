// ClassFoundry: the registry's state, get_model and register_model_version.
#include "native/calls.hpp"
#include "velkor/migration/class_foundry/methods.hpp"
#include "velkor/migration/class_foundry/names.hpp"

namespace velkor::foundry {

namespace {

// def __init__(self) -> None
PyObject* init(const Globals&, PyObject* self) {
    Ref classes = Ref::steal(PyDict_New());
    if (!classes || PyObject_SetAttr(self, _classes, classes.get()) < 0) {
        return nullptr;
    }
    Ref versions = Ref::steal(PyDict_New());
    if (!versions || PyObject_SetAttr(self, _classes_versions, versions.get()) < 0) {
        return nullptr;
    }
    Ref buffered = Ref::steal(PyList_New(0));
    if (!buffered || PyObject_SetAttr(self, _buffered_classes, buffered.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// def get_model(self, name: str) -> type[Model]: return self._classes[name]
PyObject* get_model(const Globals&, PyObject* self, PyObject* name) {
    Ref classes = attr(self, _classes);
    if (!classes) {
        return nullptr;
    }
    return PyObject_GetItem(classes.get(), name);
}

// The abstract methods' own bodies do nothing; their argument tests have run.
PyObject* nothing_1(const Globals&, PyObject*) { Py_RETURN_NONE; }
PyObject* nothing_2(const Globals&, PyObject*, PyObject*) { Py_RETURN_NONE; }
PyObject* nothing_4(const Globals&, PyObject*, PyObject*, PyObject*, PyObject*) { Py_RETURN_NONE; }

// @staticmethod
// def register_model_version(class_name: str, class_version: str) -> None:
//     ClassVersionManager().register_class_version(
//         class_name, class_version, is_latest=True, unregister_previous_versions=False)
PyObject* register_model_version(const Globals& g, PyObject* class_name, PyObject* class_version) {
    Ref manager_class = g[ClassVersionManager];
    if (!manager_class) {
        return nullptr;
    }
    Ref manager = call(manager_class.get());
    if (!manager) {
        return nullptr;
    }
    Ref result = call_method_kw(manager.get(), register_class_version,
                                {class_name, class_version, Py_True, Py_False},
                                kw_register_class_version);
    if (!result) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

constexpr FunctionDef init_def = function<init>("__init__", {{"self"}}, "None");

constexpr FunctionDef get_model_def =
    function<get_model>("get_model", {{"self"}, {"name", "str", &PyUnicode_Type}}, "type[Model]");

constexpr FunctionDef abstract_register_model_def =
    function<nothing_4>("register_model", register_model_params, "None");

constexpr FunctionDef abstract_unregister_model_def = function<nothing_2>(
    "unregister_model", {{"self"}, {"class_name", "str", &PyUnicode_Type}}, "None");

constexpr FunctionDef abstract_compile_buffered_classes_def =
    function<nothing_1>("compile_buffered_classes", {{"self"}}, "None");

constexpr FunctionDef register_model_version_def = function<register_model_version>(
    "register_model_version",
    {{"class_name", "str", &PyUnicode_Type}, {"class_version", "str", &PyUnicode_Type}}, "None");

}  // namespace velkor::foundry
