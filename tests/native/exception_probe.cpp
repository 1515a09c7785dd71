// The module _velkor_exception_probe, built for the tests only
// (VELKOR_TEST_PROBE): a class whose native methods throw C++ exceptions, to
// show what the barrier in the native function type makes of them.
#include <new>
#include <stdexcept>

#include "native/module.hpp"

namespace velkor::probe {

namespace {

// def throw_bad_alloc(self) -> None
PyObject* throw_bad_alloc(const Globals&, PyObject*) { throw std::bad_alloc(); }

// def throw_runtime_error(self, message: str) -> None
PyObject* throw_runtime_error(const Globals&, PyObject*, PyObject* message) {
    const char* text = PyUnicode_AsUTF8(message);
    if (text == nullptr) {
        return nullptr;
    }
    throw std::runtime_error(text);
}

// def throw_unknown(self) -> None: throws what is no std::exception
PyObject* throw_unknown(const Globals&, PyObject*) { throw 42; }

// def call(self, callable) -> Any: return callable()
PyObject* call(const Globals&, PyObject*, PyObject* callable) {
    return PyObject_CallNoArgs(callable);
}

constexpr FunctionDef throw_bad_alloc_def =
    function<throw_bad_alloc>("throw_bad_alloc", {{"self"}}, "None");
constexpr FunctionDef throw_runtime_error_def = function<throw_runtime_error>(
    "throw_runtime_error", {{"self"}, {"message", "str", &PyUnicode_Type}}, "None");
constexpr FunctionDef throw_unknown_def = function<throw_unknown>("throw_unknown", {{"self"}}, "None");
constexpr FunctionDef call_def = function<call>("call", {{"self"}, {"callable"}}, "Any");

int create_classes(const Globals& g) {
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    if (!bases) {
        return -1;
    }
    Ref probe = make_class(g, "Probe", bases.get(),
                           {
                               method(throw_bad_alloc_def),
                               method(throw_runtime_error_def),
                               method(throw_unknown_def),
                               method(call_def),
                           });
    return probe ? 0 : -1;
}

constexpr ModuleSetUp set_up{"_velkor_exception_probe", create_classes};

}  // namespace

}  // namespace velkor::probe

PyMODINIT_FUNC PyInit__velkor_exception_probe() {
    return velkor::init_module<velkor::probe::set_up>();
}
