// Owning reference handle for PyObject*.
//
// A Ref owns exactly one strong reference, or none.  It cannot be copied;
// moving it hands the reference on.  Module code never calls Py_DECREF by hand:
// every new reference goes into a Ref at once, and borrowed pointers stay plain
// PyObject*.
#pragma once

#include <Python.h>

namespace velkor {

class Ref {
public:
    Ref() noexcept = default;

    // Take over a new reference (the result of most C API calls).  A null
    // pointer gives an empty Ref, so `Ref r = Ref::steal(f()); if (!r) ...`
    // is the error check.
    static Ref steal(PyObject* object) noexcept {
        Ref ref;
        ref.object_ = object;
        return ref;
    }

    // Make a new reference to a borrowed pointer.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return steal(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }

    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }

    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }

    // Hand the reference to the caller (a C API "steals" it, or it is the
    // result of a function).
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

    // A new reference for the caller, keeping this one.
    PyObject* new_reference() const noexcept {
        Py_XINCREF(object_);
        return object_;
    }

    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

}  // namespace velkor
