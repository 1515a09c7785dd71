// The native function type shared by both modules.
//
// A native function behaves like a function written in Python with
// positional-or-keyword parameters only: it is called through vectorcall,
// binds to instances as a method (Py_TPFLAGS_METHOD_DESCRIPTOR and __get__),
// carries __name__, __qualname__, __module__, __doc__, __defaults__, a
// __dict__ (so abc.abstractmethod can mark it), its annotations as text in
// __annotations__, and a __signature__ that inspect.signature() reads.
//
// Its body is a C++ function that receives the module globals and the bound
// arguments, already checked against the parameter table:
//
//     PyObject* get_model(const Globals& g, PyObject* self, PyObject* name);
//     const FunctionDef get_model_def = function<get_model>(
//         "get_model", {{"self"}, {"name", "str", &PyUnicode_Type}}, "type[Model]");
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "native/ref.hpp"

namespace velkor {

// The module globals of a function, looked up at each use so that a test can
// replace any of them.
class Globals {
public:
    explicit Globals(PyObject* dict) noexcept : dict_(dict) {}

    // The global `name` as a new reference: the module dict first, then the
    // builtins.  Empty Ref with NameError set when neither has it.
    Ref operator[](PyObject* name) const;

    PyObject* dict() const noexcept { return dict_; }

private:
    PyObject* dict_;
};

struct Param {
    const char* name;
    const char* annotation = nullptr;    // annotation text; nullptr: none
    PyTypeObject* exact_type = nullptr;  // when set, the value must be exactly of this type
    bool defaults_to_none = false;
};

using Body = PyObject* (*)(const Globals&, PyObject* const* args);

struct FunctionDef {
    const char* name;
    Body body;
    std::vector<Param> params;
    const char* returns;  // return annotation text; nullptr: none
    std::size_t body_arity;
};

namespace detail {

template <typename F>
struct Arity;

template <typename... A>
struct Arity<PyObject* (*)(const Globals&, A...)> {
    static constexpr std::size_t value = sizeof...(A);
};

template <auto F, std::size_t... I>
PyObject* invoke(const Globals& g, PyObject* const* args, std::index_sequence<I...>) {
    return F(g, args[I]...);
}

template <auto F>
PyObject* trampoline(const Globals& g, PyObject* const* args) {
    return invoke<F>(g, args, std::make_index_sequence<Arity<decltype(F)>::value>{});
}

}  // namespace detail

// The definition of a function whose body is F.  F takes the globals and one
// PyObject* per parameter; make_function() refuses a table of another length.
template <auto F>
FunctionDef function(const char* name, std::vector<Param> params, const char* returns) {
    return FunctionDef{name, &detail::trampoline<F>, std::move(params), returns,
                       detail::Arity<decltype(F)>::value};
}

// Readies the function type.  Returns -1 with an exception set on failure.
int ready_function_type();

// A new function object for `def`.  Its __module__ is globals["__name__"].
Ref make_function(const FunctionDef& def, PyObject* qualname, PyObject* globals);

bool is_native_function(PyObject* object);

// Raises TypeError "Expected %s, got %.200s" unless `value` is exactly of
// `type` (or None, when `none_allowed`).  Returns -1 when it raised.
int expect_exact(PyObject* value, PyTypeObject* type, const char* expected, bool none_allowed);

}  // namespace velkor
