// Native functions: how module code defines them and makes them.
//
// A native function behaves like a function written in Python with
// positional-or-keyword parameters only: it is called through vectorcall,
// binds to instances as a method, carries __name__, __qualname__,
// __module__, __doc__, __defaults__, a __dict__ (so abc.abstractmethod can
// mark it), its annotations as text in __annotations__, and a __signature__
// that inspect.signature() reads.  Its type, one for the whole package, lives
// in velkor.migration._native (native/api.hpp).
//
// Its body is a C++ function that receives the module globals and the bound
// arguments, already checked against the parameter table:
//
//     PyObject* get_model(const Globals& g, PyObject* self, PyObject* name);
//     constexpr FunctionDef get_model_def = function<get_model>(
//         "get_model", {{"self"}, {"name", "str", &PyUnicode_Type}}, "type[Model]");
//
// The definition is a constant, made at compile time: a table whose length is
// not the body's number of parameters, or longer than kMaxParams, does not
// compile; nor does one with a parameter that is both exact-type and
// default-None (None would fail its own type test), or one where a parameter
// without a default follows one with a default (a Python function could not
// be written so, and __defaults__ belongs to the last parameters).
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

#include "native/ref.hpp"

namespace velkor {

// The most parameters a native function may have.
inline constexpr std::size_t kMaxParams = 8;

// The module globals of a function, looked up at each use so that a test can
// replace any of them, and the native function type its module uses.
class Globals {
public:
    Globals(PyObject* dict, PyTypeObject* function_type) noexcept
        : dict_(dict), function_type_(function_type) {}

    // The global `name` as a new reference: the module dict first, then the
    // builtins.  Empty Ref with NameError set when neither has it.
    Ref operator[](PyObject* name) const;

    PyObject* dict() const noexcept { return dict_; }
    PyTypeObject* function_type() const noexcept { return function_type_; }

private:
    PyObject* dict_;
    PyTypeObject* function_type_;
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
    const char* returns;  // return annotation text; nullptr: none
    std::size_t param_count;
    Param params[kMaxParams];

    const Param* begin() const noexcept { return params; }
    const Param* end() const noexcept { return params + param_count; }
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

// The parameter table's own rules.  Each check runs while the definition is
// evaluated as a constant; a table that breaks a rule reaches the call below
// of that rule, which is not constexpr, so the definition does not compile
// and the compiler's message names the rule.  (A parameter table is a
// function argument, which static_assert cannot see in C++17.)  Should a
// definition ever be made at run time instead, the same call stops the
// process with the rule's text.
[[noreturn]] inline void a_parameter_is_both_exact_type_and_default_none() {
    Py_FatalError("native function definition: a parameter is both exact-type and default-None");
}

[[noreturn]] inline void a_parameter_without_a_default_follows_one_with_a_default() {
    Py_FatalError(
        "native function definition: a parameter without a default follows one with a default");
}

template <std::size_t N>
constexpr void check_params(const Param (&params)[N]) {
    bool defaulted = false;
    for (std::size_t i = 0; i < N; ++i) {
        // A parameter both exact-type and default-None.  defaults_to_none is
        // tested first: under the sanitizers the address of a type object is
        // not a constant, so there a table breaking this rule fails on the
        // comparison itself ("... is not a constant expression") instead.
        if (params[i].defaults_to_none && params[i].exact_type != nullptr) {
            a_parameter_is_both_exact_type_and_default_none();
        }
        // A parameter without a default after one with a default.
        if (defaulted && !params[i].defaults_to_none) {
            a_parameter_without_a_default_follows_one_with_a_default();
        }
        defaulted = defaulted || params[i].defaults_to_none;
    }
}

}  // namespace detail

// The definition of a function whose body is F.  F takes the globals and one
// PyObject* per parameter of `params`.
template <auto F, std::size_t N>
constexpr FunctionDef function(const char* name, const Param (&params)[N], const char* returns) {
    static_assert(N == detail::Arity<decltype(F)>::value,
                  "the parameter table does not fit the body");
    static_assert(N <= kMaxParams, "more parameters than a native function may have");
    detail::check_params(params);
    FunctionDef def{name, &detail::trampoline<F>, returns, N, {}};
    for (std::size_t i = 0; i < N; ++i) {
        def.params[i] = params[i];
    }
    return def;
}

// A new function object for `def`, of the native function type of `g`, with
// `g`'s dict as __globals__ and its "__name__" as __module__.
Ref make_function(const Globals& g, const FunctionDef& def, PyObject* qualname);

// Raises TypeError "Expected %s, got %.200s" unless `value` is exactly of
// `type` (or None, when `none_allowed`).  Returns -1 when it raised.
int expect_exact(PyObject* value, PyTypeObject* type, const char* expected, bool none_allowed);

}  // namespace velkor
